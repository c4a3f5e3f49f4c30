// Real CABAC streams through the slice-data walk: every slice of every
// picture is parsed (no reconstruction is needed to parse), and each
// picture's macroblock QPs and type classes, in display order, must equal
// the reference decoder's (tests/data/cabac, made by make.sh). Every slice
// must end exactly on its stop bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cabac_stream_parse.h"
#include "testsupport.h"

using cabacstream::parse_stream;
using cabacstream::ParsedPicture;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    v.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return v;
}

class CabacStreams : public ::testing::TestWithParam<const char*> {};

TEST_P(CabacStreams, MacroblockTypesAndQpsMatchTheReference) {
  const std::string name = GetParam();
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/" + name + ".264");
  const std::vector<uint8_t> file = testsupport::read_file(path);
  int failed = 0;
  const std::vector<ParsedPicture> pics = parse_stream(file, &failed);
  EXPECT_EQ(failed, 0);
  const std::vector<std::string> qp = lines(testsupport::read_text(testsupport::local_data_file("cabac/" + name + ".qp")));
  const std::vector<std::string> types =
      lines(testsupport::read_text(testsupport::local_data_file("cabac/" + name + ".types")));
  ASSERT_EQ(pics.size(), qp.size());
  for (size_t i = 0; i < pics.size(); ++i) {
    EXPECT_EQ(pics[i].qp, qp[i]) << "picture " << i;
    EXPECT_EQ(pics[i].types, types[i]) << "picture " << i;
    if (pics[i].qp != qp[i]) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Features, CabacStreams,
                         ::testing::Values("02_cabac_main", "03_cabac_high_8x8", "05_bpyramid_normal", "11_multiref8",
                                           "12_slices4", "18_constrained_intra", "21_ipcm_cabac", "09_direct_spatial",
                                           "10_direct_temporal"));

}  // namespace
