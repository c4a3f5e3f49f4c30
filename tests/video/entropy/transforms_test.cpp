// Inverse transforms and LevelScale tables against the standard's integer
// formulas (reference.h), on random and extreme inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "mb_record.h"
#include "reference.h"
#include "transforms.h"

namespace {

int16_t random_coef(std::mt19937& rng, int trial) {
  switch (trial % 4) {
    case 0: return static_cast<int16_t>(static_cast<int>(rng() % 257) - 128);
    case 1: return static_cast<int16_t>(static_cast<int>(rng() % 8193) - 4096);
    case 2: return static_cast<int16_t>(rng());  // full range: the 16-bit wrap must match
    default: return (rng() & 1) ? INT16_MAX : INT16_MIN;
  }
}

TEST(InverseTransforms, Luma4x4MatchesTheFormulasForEveryMaskPair) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 400; ++trial) {
    alignas(16) int16_t coeff[256];
    for (int16_t& v : coeff) v = random_coef(rng, trial);
    const uint16_t mask = static_cast<uint16_t>(rng());
    alignas(16) int16_t got[256];
    std::copy(coeff, coeff + 256, got);
    transform_luma_4x4(got, mask);
    for (int blk = 0; blk < 16; ++blk) {
      const bool pairSelected = (mask >> (blk & ~1)) & 3u;
      const int16_t* in = coeff + 16 * blk;
      if (!pairSelected) {
        for (int i = 0; i < 16; ++i) ASSERT_EQ(got[16 * blk + i], in[i]);
        continue;
      }
      int16_t d[4][4], r[4][4];
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) d[y][x] = in[4 * x + y];
      reftest::idct4(d, r);
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) ASSERT_EQ(got[16 * blk + 4 * y + x], r[y][x]) << trial << " " << blk;
    }
  }
}

TEST(InverseTransforms, DcOnlyBlocksGiveFlatResiduals) {
  alignas(16) int16_t coeff[256] = {};
  coeff[16 * 5] = 100;
  coeff[16 * 9] = -64;
  transform_luma_4x4(coeff, 0xFFFF);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(coeff[16 * 5 + i], (100 + 32) >> 6);
    EXPECT_EQ(coeff[16 * 9 + i], (-64 + 32) >> 6);
    EXPECT_EQ(coeff[16 * 4 + i], 0);  // the pair partner of block 5, all zero
  }
  alignas(16) int16_t chroma[128] = {};
  chroma[16 * 3] = 200;
  chroma[64 + 16 * 1] = -200;
  transform_chroma_4x4(chroma);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(chroma[16 * 3 + i], (200 + 32) >> 6);
    EXPECT_EQ(chroma[64 + 16 + i], (-200 + 32) >> 6);
  }
}

TEST(InverseTransforms, Chroma4x4TransformsAllEightBlocks) {
  std::mt19937 rng(2);
  for (int trial = 0; trial < 200; ++trial) {
    alignas(16) int16_t coeff[128];
    for (int16_t& v : coeff) v = random_coef(rng, trial);
    alignas(16) int16_t got[128];
    std::copy(coeff, coeff + 128, got);
    transform_chroma_4x4(got);
    for (int blk = 0; blk < 8; ++blk) {
      int16_t d[4][4], r[4][4];
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) d[y][x] = coeff[16 * blk + 4 * x + y];
      reftest::idct4(d, r);
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) ASSERT_EQ(got[16 * blk + 4 * y + x], r[y][x]);
    }
  }
}

TEST(InverseTransforms, Luma8x8MatchesTheFormulas) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 400; ++trial) {
    alignas(16) int16_t coeff[256];
    for (int16_t& v : coeff) v = random_coef(rng, trial);
    const uint8_t mask = static_cast<uint8_t>(rng() & 15u);
    alignas(16) int16_t got[256];
    std::copy(coeff, coeff + 256, got);
    transform_luma_8x8(got, mask);
    for (int q = 0; q < 4; ++q) {
      const int16_t* in = coeff + 64 * q;
      if (!(mask & (1u << q))) {
        for (int i = 0; i < 64; ++i) ASSERT_EQ(got[64 * q + i], in[i]);
        continue;
      }
      int16_t d[8][8], r[8][8];
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) d[y][x] = in[8 * x + y];
      reftest::idct8(d, r);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ASSERT_EQ(got[64 * q + 8 * y + x], r[y][x]) << trial;
    }
  }
}

TEST(InverseTransforms, LumaDcHadamardAndScaling) {
  std::mt19937 rng(4);
  static const int kBlockAt[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};
  for (int trial = 0; trial < 600; ++trial) {
    alignas(16) int16_t dc[16];
    for (int16_t& v : dc) v = trial % 3 == 2 ? random_coef(rng, trial) : static_cast<int16_t>(rng() % 601) - 300;
    const int qP = trial % 52;
    const int32_t ls = 16 * (10 + static_cast<int>(rng() % 9));
    alignas(16) int16_t coeff[256];
    for (int16_t& v : coeff) v = 77;
    if (qP < 36)
      InverseHadamardLumaDC(coeff, dc, static_cast<int16_t>(ls), static_cast<uint8_t>(1u << (5 - qP / 6)),
                            static_cast<uint8_t>(6 - qP / 6), 0);
    else
      InverseHadamardLumaDC(coeff, dc, static_cast<int16_t>(ls), 0, 0, static_cast<uint8_t>(qP / 6 - 6));
    int16_t c[4][4], out[4][4];
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) c[y][x] = dc[4 * x + y];
    reftest::luma_dc(c, ls, qP, out);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        ASSERT_EQ(coeff[16 * kBlockAt[i][j]], out[i][j]) << trial;
        for (int k = 1; k < 16; ++k) ASSERT_EQ(coeff[16 * kBlockAt[i][j] + k], 77);
      }
  }
}

TEST(LevelScale, FlatMatricesGiveSixteenTimesNormAdjust) {
  uint8_t w4[6][16], w8[2][64];
  std::fill(&w4[0][0], &w4[0][0] + 96, 16);
  std::fill(&w8[0][0], &w8[0][0] + 128, 16);
  static int32_t ls4[6][6][16], ls8[2][6][64];
  build_level_scale(w4, w8, ls4, ls8);
  for (int t = 0; t < 6; ++t) {
    EXPECT_EQ(ls4[t][0][0], 160);
    EXPECT_EQ(ls4[t][0][4 * 1 + 1], 256);
    EXPECT_EQ(ls4[t][0][4 * 1 + 0], 208);
    EXPECT_EQ(ls4[t][5][4 * 3 + 3], 16 * 29);
  }
  EXPECT_EQ(ls8[0][0][0], 16 * 20);
  EXPECT_EQ(ls8[1][5][8 * 2 + 2], 16 * 58);
  EXPECT_EQ(ls8[0][0][8 * 1 + 1], 16 * 18);
  EXPECT_EQ(ls8[0][0][8 * 4 + 1], 16 * 19);  // x 4, y 1
  EXPECT_EQ(ls8[0][0][8 * 2 + 0], 16 * 25);  // x 2, y 0
  EXPECT_EQ(ls8[0][0][8 * 2 + 1], 16 * 24);  // x 2, y 1

  // A non-flat matrix lands transposed: raster (x 1, y 0) at column-major 4.
  w4[3][1] = 40;
  w8[1][8 * 0 + 3] = 7;
  build_level_scale(w4, w8, ls4, ls8);
  EXPECT_EQ(ls4[3][2][4], 40 * 16);
  EXPECT_EQ(ls8[1][1][8 * 3 + 0], 7 * 21);
}

}  // namespace
