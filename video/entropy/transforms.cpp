// Dequantisation scales, the Intra16x16 DC transform, and the callers of
// the inverse transform kernels: which blocks of a macroblock to transform.
#include "transforms.h"

#include <cstring>

#include "mb_record.h"

namespace {

// normAdjust4x4 and normAdjust8x8 by qP % 6, in raster order (index 4 y + x,
// 8 y + x).
const uint8_t normAdjust[6][16] = {
    {10, 13, 10, 13, 13, 16, 13, 16, 10, 13, 10, 13, 13, 16, 13, 16},
    {11, 14, 11, 14, 14, 18, 14, 18, 11, 14, 11, 14, 14, 18, 14, 18},
    {13, 16, 13, 16, 16, 20, 16, 20, 13, 16, 13, 16, 16, 20, 16, 20},
    {14, 18, 14, 18, 18, 23, 18, 23, 14, 18, 14, 18, 18, 23, 18, 23},
    {16, 20, 16, 20, 20, 25, 20, 25, 16, 20, 16, 20, 20, 25, 20, 25},
    {18, 23, 18, 23, 23, 29, 23, 29, 18, 23, 18, 23, 23, 29, 23, 29},
};
const uint8_t normAdjust8x8[6][64] = {
    {
     20, 19, 25, 19, 20, 19, 25, 19, 19, 18, 24, 18, 19, 18, 24, 18,
     25, 24, 32, 24, 25, 24, 32, 24, 19, 18, 24, 18, 19, 18, 24, 18,
     20, 19, 25, 19, 20, 19, 25, 19, 19, 18, 24, 18, 19, 18, 24, 18,
     25, 24, 32, 24, 25, 24, 32, 24, 19, 18, 24, 18, 19, 18, 24, 18,
    },
    {
     22, 21, 28, 21, 22, 21, 28, 21, 21, 19, 26, 19, 21, 19, 26, 19,
     28, 26, 35, 26, 28, 26, 35, 26, 21, 19, 26, 19, 21, 19, 26, 19,
     22, 21, 28, 21, 22, 21, 28, 21, 21, 19, 26, 19, 21, 19, 26, 19,
     28, 26, 35, 26, 28, 26, 35, 26, 21, 19, 26, 19, 21, 19, 26, 19,
    },
    {
     26, 24, 33, 24, 26, 24, 33, 24, 24, 23, 31, 23, 24, 23, 31, 23,
     33, 31, 42, 31, 33, 31, 42, 31, 24, 23, 31, 23, 24, 23, 31, 23,
     26, 24, 33, 24, 26, 24, 33, 24, 24, 23, 31, 23, 24, 23, 31, 23,
     33, 31, 42, 31, 33, 31, 42, 31, 24, 23, 31, 23, 24, 23, 31, 23,
    },
    {
     28, 26, 35, 26, 28, 26, 35, 26, 26, 25, 33, 25, 26, 25, 33, 25,
     35, 33, 45, 33, 35, 33, 45, 33, 26, 25, 33, 25, 26, 25, 33, 25,
     28, 26, 35, 26, 28, 26, 35, 26, 26, 25, 33, 25, 26, 25, 33, 25,
     35, 33, 45, 33, 35, 33, 45, 33, 26, 25, 33, 25, 26, 25, 33, 25,
    },
    {
     32, 30, 40, 30, 32, 30, 40, 30, 30, 28, 38, 28, 30, 28, 38, 28,
     40, 38, 51, 38, 40, 38, 51, 38, 30, 28, 38, 28, 30, 28, 38, 28,
     32, 30, 40, 30, 32, 30, 40, 30, 30, 28, 38, 28, 30, 28, 38, 28,
     40, 38, 51, 38, 40, 38, 51, 38, 30, 28, 38, 28, 30, 28, 38, 28,
    },
    {
     36, 34, 46, 34, 36, 34, 46, 34, 34, 32, 43, 32, 34, 32, 43, 32,
     46, 43, 58, 43, 46, 43, 58, 43, 34, 32, 43, 32, 34, 32, 43, 32,
     36, 34, 46, 34, 36, 34, 46, 34, 34, 32, 43, 32, 34, 32, 43, 32,
     46, 43, 58, 43, 46, 43, 58, 43, 34, 32, 43, 32, 34, 32, 43, 32,
    },
};

inline int16_t w16(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// Block of luma4x4BlkIdx at block row i, block column j.
constexpr int kBlockAt[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};

// Starts fetching, with intent to write, every cache line of the record at
// `record`: records are reused pictures apart, so their lines are cold, and
// the first read of one (the clear's read of coeff_dirty, the entropy
// decoder's reads of its fields) would wait for memory. An address as an
// integer: the record after a picture's last one lies past its array, which
// a prefetch allows and pointer arithmetic does not.
inline void prefetch_record(uintptr_t record) {
  constexpr size_t kLines = (sizeof(MacroblockRecord) + 63) / 64 + 1;  // at any alignment
  const uintptr_t first = record & ~static_cast<uintptr_t>(63);
#pragma GCC unroll 32
  for (size_t i = 0; i < kLines; ++i) __builtin_prefetch(reinterpret_cast<const void*>(first + 64 * i), 1, 3);
}

}  // namespace

void build_level_scale(const uint8_t weight4x4[6][16], const uint8_t weight8x8[2][64], int32_t ls4x4[6][6][16],
                       int32_t ls8x8[2][6][64]) {
  for (int t = 0; t < 6; ++t)
    for (int m = 0; m < 6; ++m)
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) ls4x4[t][m][4 * x + y] = weight4x4[t][4 * y + x] * normAdjust[m][4 * y + x];
  for (int t = 0; t < 2; ++t)
    for (int m = 0; m < 6; ++m)
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ls8x8[t][m][8 * x + y] = weight8x8[t][8 * y + x] * normAdjust8x8[m][8 * y + x];
}

uint32_t InverseHadamardLumaDC(int16_t* luma_coeff, const int16_t* dc, int16_t scale, uint8_t rounding,
                               uint8_t right, uint8_t left) {
  // c[i][j]: row i, column j; dc is column-major.
  int16_t g[4][4];
  for (int i = 0; i < 4; ++i) {  // rows: c x H
    const int32_t c0 = dc[i], c1 = dc[4 + i], c2 = dc[8 + i], c3 = dc[12 + i];
    g[i][0] = w16(c0 + c1 + c2 + c3);
    g[i][1] = w16(c0 + c1 - c2 - c3);
    g[i][2] = w16(c0 - c1 - c2 + c3);
    g[i][3] = w16(c0 - c1 + c2 - c3);
  }
  for (int j = 0; j < 4; ++j) {  // columns: H x (c x H)
    const int32_t a = g[0][j], b = g[1][j], c = g[2][j], d = g[3][j];
    const int16_t f[4] = {w16(a + b + c + d), w16(a + b - c - d), w16(a - b - c + d), w16(a - b + c - d)};
    for (int i = 0; i < 4; ++i) {
      const int32_t scaled = (f[i] * static_cast<int32_t>(scale) + rounding) >> right;
      luma_coeff[16 * kBlockAt[i][j]] = w16(static_cast<int32_t>(static_cast<uint32_t>(scaled) << left));
    }
  }
  return 0;
}

VIDEO_DSP_DEFINE_SELECTION(TransformDsp, transform_dsp)

namespace {

// The 4x4 inverse transforms of a macroblock's blocks (bit k: the block at
// coeff + 16 k): those of `full` two at a time, whichever they are; those of
// `dcOnly`, whose only coefficient is the first, filled with the one value
// their transform gives.
__attribute__((always_inline)) inline void transform_blocks_4x4(int16_t* coeff, uint32_t full, uint32_t dcOnly) {
  // A block that holds only its DC: both passes spread the DC over their
  // line unchanged, so every sample is (c0 + 32) >> 6 (16-bit lanes wrap as
  // the transform's do). Four such blocks in a row share one vector.
  using Group = int16_t __attribute__((vector_size(16)));
  auto fill = [](int16_t* block, const Group& g) {
    std::memcpy(block, &g, sizeof g);
    std::memcpy(block + 8, &g, sizeof g);
  };
  for (uint32_t q = 0; dcOnly >> (4 * q) != 0; ++q) {
    int16_t* four = coeff + 64 * q;
    const uint32_t bits = (dcOnly >> (4 * q)) & 15u;
    if (bits == 15u) {
      using Lanes = uint16_t __attribute__((vector_size(16)));
      const Lanes dc = {static_cast<uint16_t>(four[0]), static_cast<uint16_t>(four[16]),
                        static_cast<uint16_t>(four[32]), static_cast<uint16_t>(four[48]), 0, 0, 0, 0};
      const Group d = reinterpret_cast<Group>(dc + 32) >> 6;
      for (int k = 0; k < 4; ++k) {
        const int16_t v = d[k];
        fill(four + 16 * k, Group{v, v, v, v, v, v, v, v});
      }
      continue;
    }
    for (uint32_t b = bits; b != 0; b &= b - 1) {
      int16_t* block = four + 16 * __builtin_ctz(b);
      const int16_t v = static_cast<int16_t>(w16(block[0] + 32) >> 6);
      fill(block, Group{v, v, v, v, v, v, v, v});
    }
  }
  if (full == 0) return;
  const auto pair = transform_dsp().inverse_4x4_pair;
  int16_t* waiting = nullptr;
  for (uint32_t b = full; b != 0; b &= b - 1) {
    int16_t* block = coeff + 16 * __builtin_ctz(b);
    if (waiting == nullptr) {
      waiting = block;
    } else {
      pair(waiting, block);
      waiting = nullptr;
    }
  }
  if (waiting != nullptr) {
    alignas(16) int16_t spare[16] = {};
    pair(waiting, spare);
  }
}

}  // namespace

uint32_t transform_luma_4x4(int16_t* luma_coeff, uint16_t mask, uint16_t dcOnly) {
  transform_blocks_4x4(luma_coeff, static_cast<uint32_t>(mask & ~dcOnly), dcOnly & mask);
  return 0;
}

uint32_t transform_luma_8x8(int16_t* luma_coeff, uint8_t mask) {
  const auto inverse = transform_dsp().inverse_8x8;
  for (int q = 0; q < 4; ++q)
    if (mask & (1u << q)) inverse(luma_coeff + 64 * q);
  return 0;
}

uint32_t transform_chroma_4x4(int16_t* chroma_coeff, uint8_t dcOnly) {
  transform_blocks_4x4(chroma_coeff, ~static_cast<uint32_t>(dcOnly) & 0xFFu, dcOnly);
  return 0;
}

void clear_coefficients(MacroblockRecord* mb) {
  // The walk takes the next record after this macroblock: its lines arrive
  // while this one is decoded.
  prefetch_record(reinterpret_cast<uintptr_t>(mb) + sizeof(MacroblockRecord));
  const uint32_t dirty = mb->coeff_dirty;
  mb->coeff_dirty = kCoeffDirtyAll;
  if (dirty & kCoeffDirtyChroma) zero_coefficient_groups<16>(mb->chroma_coeff);
  const uint32_t luma = dirty & 0xFFFFu;
  if (luma == 0xFFFFu) {
    zero_coefficient_groups<32>(mb->luma_coeff);
    return;
  }
  for (int q = 0; q < 4; ++q) {
    const uint32_t bits = (luma >> (4 * q)) & 15u;
    if (bits == 15u) {
      zero_coefficient_groups<8>(mb->luma_coeff + 64 * q);
      continue;
    }
    for (uint32_t b = bits; b != 0; b &= b - 1) zero_coefficient_groups<2>(mb->luma_coeff + 64 * q + 16 * __builtin_ctz(b));
  }
}

void note_transformed_coefficients(MacroblockRecord* mb) {
  // An Intra16x16 DC reaches every block; otherwise only blocks with
  // coefficients (a transformed block without any stays zero). Chroma DC
  // reaches every chroma block.
  const uint32_t luma = mb->luma_dc_nonzero ? 0xFFFFu : mb->luma_nonzero_mask;
  mb->coeff_dirty = luma | (mb->cbp_chroma != 0 ? kCoeffDirtyChroma : 0u);
}
