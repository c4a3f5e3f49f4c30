// Weighted sample prediction of 16-bit blocks against the standard's
// formulas at the extremes (denominators 0 and 7, weights -128, 127 and the
// inferred 128, offsets +-127), and the implicit weights of worked picture
// order counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "weighting.h"

namespace {

std::mt19937& rng() {
  static std::mt19937 r(103);
  return r;
}
int randomIn(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng()); }

int clip(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 0, 255)); }

struct alignas(16) Block {
  uint16_t s[16 * 16];
};

void fill(Block& b) {
  for (auto& v : b.s) {
    const int pick = randomIn(0, 5);
    v = static_cast<uint16_t>(pick == 0 ? 0 : (pick == 1 ? 255 : randomIn(0, 255)));
  }
}

const int kWeights[] = {-128, -127, -64, -1, 0, 1, 2, 32, 64, 96, 127, 128};
const int kOffsets[] = {-128, -127, -10, 0, 1, 127};

TEST(Weighting, SingleListEveryExtreme) {
  for (int logWD = 0; logWD <= 7; ++logWD) {
    for (int w : kWeights) {
      for (int o : kOffsets) {
        for (int width : {8, 16}) {
          Block b, orig;
          fill(b);
          orig = b;
          const int rows = width == 16 ? 16 : 8;
          weight_samples_single(b.s, 16, width, rows, w, o, logWD);
          for (int i = 0; i < 256; ++i) {
            const int r = i / 16, c = i % 16;
            const int p = orig.s[i];
            const int64_t rnd = logWD ? (1 << (logWD - 1)) : 0;
            const int want = (r < rows && c < width) ? clip(((p * int64_t{w} + rnd) >> logWD) + o) : p;
            ASSERT_EQ(want, b.s[i]) << "logWD " << logWD << " w " << w << " o " << o;
          }
        }
      }
    }
  }
}

TEST(Weighting, TwoListsEveryExtremeAndInPlace) {
  for (int logWD = 0; logWD <= 7; ++logWD) {
    for (int w0 : kWeights) {
      for (int w1 : kWeights) {
        const int o0 = kOffsets[randomIn(0, 5)], o1 = kOffsets[randomIn(0, 5)];
        const int o = (o0 + o1 + 1) >> 1;
        Block a, b, d;
        fill(a);
        fill(b);
        weight_samples_bi(a.s, 16, b.s, 16, d.s, 16, 16, 16, w0, w1, logWD, o);
        for (int i = 0; i < 256; ++i) {
          const int want = clip(((a.s[i] * int64_t{w0} + b.s[i] * int64_t{w1} + (1 << logWD)) >> (logWD + 1)) + o);
          ASSERT_EQ(want, d.s[i]) << "logWD " << logWD << " w " << w0 << "," << w1;
        }
        weight_samples_bi(a.s, 16, b.s, 16, a.s, 16, 8, 8, w0, w1, logWD, o);  // over list 0, 8-wide
        for (int r = 0; r < 8; ++r)
          for (int c = 0; c < 8; ++c) ASSERT_EQ(d.s[r * 16 + c], a.s[r * 16 + c]);
      }
    }
  }
}

TEST(Weighting, ImplicitWeightsOfWorkedPictureOrderCounts) {
  struct Case {
    int cur, p0, p1, w0, w1;
  };
  const Case cases[] = {{2, 0, 4, 32, 32}, {2, 0, 8, 48, 16}, {1, 0, 3, 43, 21},  {6, 0, 4, -32, 96},
                        {4, 0, 2, -64, 128}, {-1, 0, 1, 128, -64}, {3, 0, 1, 32, 32}, {5, 4, 4, 32, 32}};
  for (const Case& c : cases) {
    int32_t w0, w1;
    implicit_bipred_weights(c.cur, c.p0, c.p1, &w0, &w1);
    EXPECT_EQ(c.w0, w0) << c.cur << " " << c.p0 << " " << c.p1;
    EXPECT_EQ(c.w1, w1) << c.cur << " " << c.p0 << " " << c.p1;
  }
  int32_t td;
  EXPECT_EQ(1023, dist_scale_factor(20, 0, 1, &td));  // tx 16384, (20 tx + 32) >> 6 = 5120
  EXPECT_EQ(1, td);
  dist_scale_factor(0, 3, 0, &td);
  EXPECT_EQ(-3, td);
  // Far-apart counts clip instead of overflowing.
  EXPECT_EQ(dist_scale_factor(127, 0, 1, &td), dist_scale_factor(INT32_MAX, INT32_MIN, INT32_MIN + 1, &td));
}

}  // namespace
