// Packed-row kernels of the picture writers, every variant the processor
// runs against the plain reference, checkasm style: YUY2 and UYVY, every
// even width up to 70 and a full 1920 row (vector blocks and the pair-wise
// rest), every weight pair of the 4:2:0 to 4:2:2 interpolation, chroma at
// 0, 255 and the mid level (sums landing exactly on 1024), misaligned rows,
// guard bytes around the output.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "checkasm.h"
#include "packed_line_dsp.h"

namespace {

using checkasm::Guarded;

TEST(PackedLineDsp, EveryVariantMatchesTheReference) {
  std::vector<uint16_t> widths;
  for (uint16_t w = 0; w <= 70; w += 2) widths.push_back(w);
  widths.push_back(1920);
  const uint8_t weights[][2] = {{8, 0}, {7, 1}, {6, 2}, {5, 3}, {4, 4}, {3, 5}, {2, 6}, {1, 7}, {0, 8}};
  const uint8_t extremes[] = {0, 255, 128, 127, 129, 1, 254};
  const auto variants = checkasm::members(&sse2_packed_line_dsp, &ssse3_packed_line_dsp, &sse41_packed_line_dsp);
  for (const auto& v : variants) {
    for (uint16_t width : widths) {
      for (size_t misalign : {0, 1, 7}) {
        const uint16_t next = static_cast<uint16_t>(width / 2 + 3);
        Guarded y(width, misalign), cb(static_cast<size_t>(next) * 2, misalign + 3), cr(cb.size(), misalign);
        checkasm::fillRandom(y.data(), y.size());
        for (Guarded* c : {&cb, &cr})
          for (size_t i = 0; i < c->size(); ++i)
            c->data()[i] = checkasm::rng()() % 3 ? extremes[checkasm::rng()() % 7] : static_cast<uint8_t>(checkasm::rng()());
        for (const auto& w : weights) {
          for (int uyvy = 0; uyvy < 2; ++uyvy) {
            Guarded want(2u * width, misalign), got(2u * width, misalign + 1);
            const PackedLineFn ref = uyvy ? c_packed_line_dsp.uyvy : c_packed_line_dsp.yuy2;
            const PackedLineFn fn = uyvy ? v.fn->uyvy : v.fn->yuy2;
            ref(y.data(), cb.data(), cr.data(), width, want.data(), w[0], w[1], next);
            fn(y.data(), cb.data(), cr.data(), width, got.data(), w[0], w[1], next);
            const std::string at = std::string(v.name) + (uyvy ? " uyvy" : " yuy2") + " width " +
                                   std::to_string(width) + " weights " + std::to_string(w[0]) + "," +
                                   std::to_string(w[1]) + " +" + std::to_string(misalign);
            ASSERT_EQ(0, std::memcmp(want.data(), got.data(), want.size())) << at;
            ASSERT_TRUE(got.guardsIntact() && y.guardsIntact() && cb.guardsIntact() && cr.guardsIntact()) << at;
          }
        }
      }
    }
  }
}

}  // namespace
