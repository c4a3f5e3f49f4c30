// Averaging and explicit weighting of prediction blocks: every member
// against the standard's formulas, at the extremes of weights, offsets and
// denominators, with guard bytes, misaligned rows and in-place use.
#include <cstring>
#include <string>

#include "image_test_util.h"

using imagetest::GuardedBlock;
using imagetest::randomIn;

namespace {

uint8_t clip(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

TEST(Average, EverySizeAndMember) {
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateBlock_H264_8u_P3P1R)) {
    for (int w = 2; w <= 16; ++w) {
      for (int h = 2; h <= 16; ++h) {
        const int s1 = w + randomIn(0, 9), s2 = w + randomIn(0, 9), sd = w + randomIn(0, 9);
        std::vector<uint8_t> a(s1 * h + 3), b(s2 * h + 5);
        for (auto& v : a) v = static_cast<uint8_t>(randomIn(0, 255));
        for (auto& v : b) v = static_cast<uint8_t>(randomIn(0, 255));
        GuardedBlock d(w, h, sd, randomIn(0, 15));
        ASSERT_EQ(0, m.fn(a.data() + 3, b.data() + 5, d.block(), w, h, s1, s2, sd));
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            ASSERT_EQ((a[3 + y * s1 + x] + b[5 + y * s2 + x] + 1) >> 1, d.block()[y * sd + x])
                << m.name << " " << w << "x" << h;
        ASSERT_TRUE(d.guardsIntact(w, h)) << m.name << " " << w << "x" << h;
        // In place over the second block.
        std::vector<uint8_t> want(b);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) want[5 + y * s2 + x] = (a[3 + y * s1 + x] + b[5 + y * s2 + x] + 1) >> 1;
        ASSERT_EQ(0, m.fn(a.data() + 3, b.data() + 5, b.data() + 5, w, h, s1, s2, s2));
        ASSERT_EQ(want, b) << m.name;
      }
    }
  }
}

TEST(Average, Statuses) {
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateBlock_H264_8u_P3P1R)) {
    uint8_t big[17 * 17] = {};
    EXPECT_EQ(StatusSizeError, m.fn(big, big, big, 1, 4, 17, 17, 17));
    EXPECT_EQ(StatusSizeError, m.fn(big, big, big, 17, 4, 17, 17, 17));
    EXPECT_EQ(StatusSizeError, m.fn(big, big, big, 4, 0, 17, 17, 17));
    EXPECT_EQ(StatusSizeError, m.fn(big, big, big, 4, static_cast<uint32_t>(-4), 17, 17, 17));
    EXPECT_EQ(StatusNullPointer, m.fn(big, big, nullptr, 1, 0, 17, 17, 17));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, big, big, 4, 4, 17, 17, 17));
  }
}

uint8_t uniRef(int p, int w, int o, int logWD) {
  const int64_t rnd = logWD ? (int64_t{1} << (logWD - 1)) : 0;
  return clip(((p * int64_t{w} + rnd) >> logWD) + o);
}

uint8_t biRef(int a, int b, int w1, int w2, int shift, int o) {
  const int64_t rnd = shift ? (int64_t{1} << (shift - 1)) : 0;
  return clip(((a * int64_t{w1} + b * int64_t{w2} + rnd) >> shift) + o);
}

const int kSides[] = {2, 4, 8, 16};

TEST(UniDirWeight, ExtremesEverySizeAndMember) {
  const int weights[] = {-128, -127, -1, 0, 1, 2, 64, 127, 128, 255, -40000, 70000};
  const int offsets[] = {-127, -128, -10, 0, 1, 127, 300, -3000000};
  for (const auto& m : CHECKASM_MEMBERS(vpiUniDirWeightBlock_H264_8u_C1IR)) {
    for (int logWD : {0, 1, 5, 6, 7, 15, 31}) {
      for (int w : weights) {
        for (int o : offsets) {
          const int bw = kSides[randomIn(0, 3)], bh = kSides[randomIn(0, 3)];
          const int step = bw + randomIn(0, 40);
          GuardedBlock d(bw, bh, step, randomIn(0, 15));
          std::vector<uint8_t> src(bw * bh);
          for (int y = 0; y < bh; ++y)
            for (int x = 0; x < bw; ++x) {
              const int v = randomIn(0, 3) == 0 ? 255 * randomIn(0, 1) : randomIn(0, 255);
              src[y * bw + x] = d.block()[y * step + x] = static_cast<uint8_t>(v);
            }
          ASSERT_EQ(0, m.fn(d.block(), step, logWD, w, o, bw, bh));
          for (int y = 0; y < bh; ++y)
            for (int x = 0; x < bw; ++x)
              ASSERT_EQ(uniRef(src[y * bw + x], w, o, logWD), d.block()[y * step + x])
                  << m.name << " logWD " << logWD << " w " << w << " o " << o;
          ASSERT_TRUE(d.guardsIntact(bw, bh));
        }
      }
    }
  }
}

TEST(UniDirWeight, WorkedValuesAndStatuses) {
  for (const auto& m : CHECKASM_MEMBERS(vpiUniDirWeightBlock_H264_8u_C1IR)) {
    alignas(16) uint8_t b[16 * 16];
    for (int i = 0; i < 256; ++i) b[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(0, m.fn(b, 16, 6, 64, 0, 16, 16));  // unchanged
    for (int i = 0; i < 256; ++i) ASSERT_EQ(i, b[i]);
    ASSERT_EQ(0, m.fn(b, 16, 7, 128, 0, 16, 16));  // the inferred weight at denominator 7
    for (int i = 0; i < 256; ++i) ASSERT_EQ(i, b[i]);
    EXPECT_EQ(StatusWidthAboveStep, m.fn(b, 8, 0, 1, 0, 16, 2));
    EXPECT_EQ(StatusSizeError, m.fn(b, 16, 0, 1, 0, 16, 6));
    EXPECT_EQ(StatusSizeError, m.fn(b, 16, 0, 1, 0, 6, 4));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 8, 0, 1, 0, 16, 6));
    EXPECT_EQ(StatusOutOfRange, m.fn(b, 16, 32, 1, 0, 4, 4));
    for (int i = 0; i < 256; ++i) ASSERT_EQ(i, b[i]);
  }
}

TEST(WeightedAverage, ExtremesEverySizeAndMember) {
  // (Weights beyond 16 bits, large offsets and shifts take the 64-bit path.)
  const int weights[] = {-128, -64, -32, -1, 0, 1, 32, 64, 96, 127, 128, 5000, -40000, 70000};
  for (const auto& m : CHECKASM_MEMBERS(vpiWeightedAverage_H264_8u_C1IR)) {
    for (int logWD : {0, 1, 5, 6, 7, 29, 30}) {
      for (int w1 : weights) {
        for (int w2 : weights) {
          const int o0 = randomIn(-128, 127), o1 = randomIn(-128, 127);
          const int far = randomIn(0, 1) ? (1 << 20) + randomIn(0, 1) : -(1 << 20) - randomIn(0, 1);
          const int o = randomIn(0, 4) == 0 ? (randomIn(0, 1) ? 127 : -127) : randomIn(0, 9) == 0 ? far : (o0 + o1 + 1) >> 1;
          const int bw = kSides[randomIn(0, 3)], bh = kSides[randomIn(0, 3)];
          const int step = bw + randomIn(0, 20);
          std::vector<uint8_t> a(step * bh), b(step * bh);
          for (auto& v : a) v = static_cast<uint8_t>(randomIn(0, 2) == 0 ? 255 : randomIn(0, 255));
          for (auto& v : b) v = static_cast<uint8_t>(randomIn(0, 2) == 0 ? 0 : randomIn(0, 255));
          std::vector<uint8_t> want(b);
          for (int y = 0; y < bh; ++y)
            for (int x = 0; x < bw; ++x) want[y * step + x] = biRef(a[y * step + x], b[y * step + x], w1, w2, logWD + 1, o);
          ASSERT_EQ(0, m.fn(a.data(), b.data(), step, w1, w2, logWD + 1, o, bw, bh));
          ASSERT_EQ(want, b) << m.name << " w " << w1 << "," << w2 << " logWD " << logWD;
        }
      }
    }
  }
}

TEST(WeightedAverage, Statuses) {
  for (const auto& m : CHECKASM_MEMBERS(vpiWeightedAverage_H264_8u_C1IR)) {
    uint8_t a[4] = {255, 10, 100, 0}, b[4] = {0, 13, 100, 255};
    EXPECT_EQ(StatusWidthAboveStep, m.fn(a, b, 8, 32, 32, 6, 0, 16, 2));
    EXPECT_EQ(StatusWidthAboveStep, m.fn(a, b, -2, 32, 32, 6, 0, 2, 2));
    EXPECT_EQ(StatusSizeError, m.fn(a, b, 16, 32, 32, 6, 0, 4, 6));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, b, 8, 32, 32, 6, 0, 16, 6));
    EXPECT_EQ(StatusOutOfRange, m.fn(a, b, 2, 32, 32, 40, 0, 2, 2));
    EXPECT_EQ(StatusOutOfRange, m.fn(a, b, 2, 32, 32, -1, 0, 2, 2));
  }
}

TEST(Dispatch, PublicNamesReachAMember) {
  uint8_t a[4] = {1, 3, 5, 7}, b[4] = {3, 3, 3, 3}, d[4];
  ASSERT_EQ(0, vpiInterpolateBlock_H264_8u_P3P1R(a, b, d, 2, 2, 2, 2, 2));
  EXPECT_EQ(2, d[0]);
  ASSERT_EQ(0, vpiUniDirWeightBlock_H264_8u_C1IR(d, 2, 0, 2, 1, 2, 2));
  EXPECT_EQ(5, d[0]);
  ASSERT_EQ(0, vpiWeightedAverage_H264_8u_C1IR(a, d, 2, 32, 32, 6, 0, 2, 2));
  EXPECT_EQ(3, d[0]);
  EXPECT_EQ(StatusNullPointer, vpiInterpolateLumaBlock_H264_8u_P1R(nullptr));
  EXPECT_EQ(StatusNullPointer, vpiInterpolateChromaBlock_H264_8u_P2R(nullptr));
}

}  // namespace
