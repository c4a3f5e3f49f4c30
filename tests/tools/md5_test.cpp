#include "md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Md5, KnownDigests) {
  EXPECT_EQ(md5_hex("", 0), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
  std::string digits = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
  EXPECT_EQ(md5_hex(digits.data(), digits.size()), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PiecewiseEqualsWhole) {
  std::string text(1000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = char(i * 7 + 3);
  std::string whole = md5_hex(text.data(), text.size());
  for (size_t piece : {1u, 3u, 63u, 64u, 65u, 200u}) {
    Md5 m;
    for (size_t at = 0; at < text.size(); at += piece) m.update(text.data() + at, std::min(piece, text.size() - at));
    EXPECT_EQ(m.hex(), whole) << piece;
  }
}

}  // namespace
