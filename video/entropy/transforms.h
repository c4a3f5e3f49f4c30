// Dequantisation scales and the in-place inverse transforms of a macroblock
// record's coefficients.
#pragma once

#include <cstdint>

#include "video_dsp.h"

struct MacroblockRecord;

// LevelScale tables of a slice from its weight matrices (raster order, as the
// parameter sets keep them): ls4x4[t][m][4x + y] = weight4x4[t][4y + x] x
// normAdjust4x4[m][4y + x] for t = intra Y, Cb, Cr, inter Y, Cb, Cr, and
// ls8x8[t][m][8x + y] likewise for t = intra Y, inter Y.
void build_level_scale(const uint8_t weight4x4[6][16], const uint8_t weight8x8[2][64], int32_t ls4x4[6][6][16],
                       int32_t ls8x8[2][6][64]);

// Inverse Hadamard of the Intra16x16 DC block dc (column-major), each result
// scaled as ((f x scale + rounding) >> right) << left and written to index 0
// of its luma block.
uint32_t InverseHadamardLumaDC(int16_t* luma_coeff, const int16_t* dc, int16_t scale, uint8_t rounding,
                               uint8_t right, uint8_t left);
// The inverse transform kernels of one instruction set (or of the plain
// reference). A block is 16 (4x4) or 64 (8x8) coefficients, column-major on
// entry; the residual replaces it in raster order. Every intermediate wraps
// at 16 bits. No alignment is required.
struct TransformDsp {
  // Two 4x4 blocks p and q, each in place.
  void (*inverse_4x4_pair)(int16_t* p, int16_t* q);
  // One 8x8 block in place.
  void (*inverse_8x8)(int16_t* block);
};

// The plain reference (per-element formulas), the vector bodies compiled for
// SSE2, SSSE3 and SSE4.1 and transform_dsp(), the current variant's.
VIDEO_DSP_DECLARE_TABLES(TransformDsp, transform_dsp)

// 4x4 inverse transforms of the luma blocks the mask selects (bit k: the
// block at luma_coeff + 16 k); column-major in, raster out. Of them, those
// that dcOnly names hold only their first coefficient and are filled with
// the one value their transform gives; the others are transformed two at a
// time, whichever they are. Blocks outside the mask are left as they are.
uint32_t transform_luma_4x4(int16_t* luma_coeff, uint16_t mask, uint16_t dcOnly = 0);
// 8x8 inverse transforms of the quadrants the mask selects.
uint32_t transform_luma_8x8(int16_t* luma_coeff, uint8_t mask);
// 4x4 inverse transforms of all eight chroma blocks (Cb 0..3, then Cr), of
// which those that dcOnly names (bit k: block k) hold only their DC.
uint32_t transform_chroma_4x4(int16_t* chroma_coeff, uint8_t dcOnly = 0);

// The coefficient blocks of a record (coeff_dirty): bit k luma 4x4 block k,
// bit 16 all eight chroma blocks.
constexpr uint32_t kCoeffDirtyChroma = 1u << 16;
constexpr uint32_t kCoeffDirtyAll = 0xFFFFu | kCoeffDirtyChroma;
// Zeroes the blocks of a record that may hold values of an earlier
// macroblock, before a coded macroblock is decoded into it. Until
// note_transformed_coefficients every block counts as written, so that the
// blocks of a macroblock given up half-way are cleared next time.
void clear_coefficients(MacroblockRecord* mb);

// Zeroes `count` 16-byte groups at p (16-byte aligned) with vector stores:
// the compiler's own expansion of a memset (a string store) starts too
// slowly for a few hundred bytes. The group type is the compiler's generic
// 16-byte vector.
template <int count>
inline void zero_coefficient_groups(int16_t* p) {
  using Group = int16_t __attribute__((vector_size(16), may_alias));
  auto* g = reinterpret_cast<Group*>(p);
  const Group zero = {};
  for (int i = 0; i < count; i += 2) {
    g[i] = zero;
    g[i + 1] = zero;
    __asm__ volatile("" ::: "memory");  // kept as stores, not folded back into a string store
  }
}

// After a coded macroblock's inverse transforms: the blocks it may have left
// non-zero, from its residual masks.
void note_transformed_coefficients(MacroblockRecord* mb);
