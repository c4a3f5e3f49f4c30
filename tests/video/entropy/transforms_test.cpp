// Inverse transforms and LevelScale tables against the standard's integer
// formulas (reference.h), on random and extreme inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
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

// Block `in` (n x n, column-major) against the formulas, or unchanged.
void expect_block(const int16_t* in, const int16_t* got, int n, bool transformed, int trial) {
  int16_t d4[4][4], r4[4][4], d8[8][8], r8[8][8];
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) (n == 4 ? d4[y][x] : d8[y][x]) = in[n * x + y];
  if (n == 4)
    reftest::idct4(d4, r4);
  else
    reftest::idct8(d8, r8);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x)
      ASSERT_EQ(got[n * y + x], !transformed ? in[n * y + x] : n == 4 ? r4[y][x] : r8[y][x]) << trial << " n " << n;
}

// Luma 4x4 (the blocks the mask names, paired as they come), chroma 4x4
// (all eight blocks) and luma 8x8 (quadrants by the mask); every fifth
// trial has DC-only blocks.
TEST(InverseTransforms, FourByFourAndEightByEightMatchTheFormulas) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 1200; ++trial) {
    const int kind = trial % 3, n = kind == 2 ? 8 : 4, blocks = kind == 0 ? 16 : kind == 1 ? 8 : 4;
    alignas(16) int16_t coeff[256], got[256];
    for (int i = 0; i < 256; ++i) coeff[i] = (trial % 5 == 4 && i % (n * n)) ? 0 : random_coef(rng, trial);
    std::copy(coeff, coeff + 256, got);
    const uint32_t mask = rng();
    if (kind == 0)
      transform_luma_4x4(got, static_cast<uint16_t>(mask));
    else if (kind == 1)
      transform_chroma_4x4(got);
    else
      transform_luma_8x8(got, static_cast<uint8_t>(mask & 15u));
    for (int b = 0; b < blocks; ++b) {
      const bool on = kind == 1 || ((mask >> b) & 1u) != 0;
      expect_block(coeff + n * n * b, got + n * n * b, n, on, trial);
    }
    for (int i = 16 * blocks * (n / 4) * (n / 4); i < 256; ++i) ASSERT_EQ(got[i], coeff[i]);
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

// Blocks transformed two at a time in any pairing (an odd one out too), DC-
// only blocks filled with their one value (the 16-bit wrap of c0 + 32 at the
// extremes included): luma (16 blocks, those outside the mask untouched)
// and chroma (all 8, some DC-only).
TEST(InverseTransforms, BlocksByMaskWithDcOnlyFills) {
  std::mt19937 rng(7);
  struct Case {
    int blocks;
    uint32_t full, dcOnly;
  };
  const Case fixed[] = {{16, 0x0001, 0xFFFE}, {16, 0x8421, 0x7BDE}, {16, 0xFFFF, 0}, {16, 0, 0xFFFF},
                        {16, 0x0007, 0},      {8, 0x00, 0xFF},      {8, 0x11, 0xEE},  {8, 0x80, 0x00}};
  for (int trial = 0; trial < 800; ++trial) {
    Case c = trial < 8 ? fixed[trial] : Case{trial % 2 ? 16 : 8, 0, 0};
    const uint32_t all = (1u << c.blocks) - 1;
    if (trial >= 8) {
      c.full = rng() & all;
      c.dcOnly = rng() & all & ~c.full;
    }
    if (c.blocks == 8) c.full = ~c.dcOnly & all;
    alignas(16) int16_t coeff[256], got[256];
    for (int b = 0; b < 16; ++b)
      for (int i = 0; i < 16; ++i) {
        const bool dc = (c.dcOnly >> b) & 1u;
        coeff[16 * b + i] = dc && i != 0 ? 0 : random_coef(rng, trial + b);
      }
    std::copy(coeff, coeff + 256, got);
    if (c.blocks == 16)
      transform_luma_4x4(got, static_cast<uint16_t>(c.full | c.dcOnly), static_cast<uint16_t>(c.dcOnly));
    else
      transform_chroma_4x4(got, static_cast<uint8_t>(c.dcOnly));
    for (int b = 0; b < 16; ++b) {
      const bool on = b < c.blocks && (((c.full | c.dcOnly) >> b) & 1u);
      expect_block(coeff + 16 * b, got + 16 * b, 4, on, trial);
    }
  }
}

// A record clears only the blocks its note names, then counts every block
// as written until its transforms; the note after them follows the masks.
TEST(CoefficientClearing, ClearsTheNotedBlocksAndNotesWhatTheTransformsLeft) {
  static MacroblockRecord mb;
  const uint32_t dirty[] = {0, 1u, 0x8001u, 0xF0F0u, 0xFFFFu, kCoeffDirtyChroma, 0x12345u & kCoeffDirtyAll, kCoeffDirtyAll};
  for (uint32_t d : dirty) {
    std::fill(std::begin(mb.luma_coeff), std::end(mb.luma_coeff), int16_t{-5});
    std::fill(std::begin(mb.chroma_coeff), std::end(mb.chroma_coeff), int16_t{9});
    mb.coeff_dirty = d;
    clear_coefficients(&mb);
    EXPECT_EQ(mb.coeff_dirty, kCoeffDirtyAll);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(mb.luma_coeff[i], (d >> (i / 16)) & 1u ? 0 : -5) << d << " at " << i;
    for (int i = 0; i < 128; ++i) ASSERT_EQ(mb.chroma_coeff[i], d & kCoeffDirtyChroma ? 0 : 9) << d << " at " << i;
  }
  struct Note {
    uint16_t dc, mask;
    uint8_t cbpChroma;
    uint32_t want;
  };
  const Note notes[] = {{0, 0, 0, 0},           {0, 0x0030, 0, 0x0030},       {1, 0x0030, 0, 0xFFFF},
                        {0, 0, 1, kCoeffDirtyChroma}, {0, 0xF00F, 2, 0xF00F | kCoeffDirtyChroma}, {1, 0, 3, kCoeffDirtyAll}};
  for (const Note& n : notes) {
    mb.luma_dc_nonzero = n.dc;
    mb.luma_nonzero_mask = n.mask;
    mb.cbp_chroma = n.cbpChroma;
    note_transformed_coefficients(&mb);
    EXPECT_EQ(mb.coeff_dirty, n.want) << n.mask;
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
