// The decoder's quarter-sample luma interpolators of small blocks (4x4, 4x8,
// 8x4, 8x8, width x height), one kernel per position and size, with one
// selector per size.
//
// A kernel writes width x height prediction samples (8-bit) at dst, rows
// dstStride bytes apart, nothing else. It reads the reference plane (8-bit, column 0 of row 0 at
// `ref`, rows `rowStep` bytes apart, 32 margin columns holding copies of the
// edge samples on each side) around the integer sample (x, y), any values
// allowed: columns are kept within the margins of a plane whose pitch is
// `clampWidth`, rows are clamped to 0..height-1. The results are H.264's
// luma sample interpolation with every reference coordinate clamped to the
// picture.
#pragma once

#include <cstddef>
#include <cstdint>

using LumaSampleInterpolationFn = void (*)(uint8_t* dst, ptrdiff_t dstStride, const uint8_t* ref, int32_t x,
                                           int32_t y, int32_t rowStep, int32_t clampWidth, int32_t height);

// The kernels of each size in selector order (index xFrac * 4 + yFrac):
// name, xFrac, yFrac, width, height. The position letters are those of the
// standard's sample grid (G a b c / d e f g / h i j k / n p q r for yFrac
// 0..3 and xFrac 0..3).
#define LUMA_SAMPLE_KERNELS_4x4(X)                                                           \
  X(LumaSampleInterpolation_G_4x4, 0, 0, 4, 4) X(LumaSampleInterpolation_d_4x4, 0, 1, 4, 4)  \
  X(LumaSampleInterpolation_h_4x4, 0, 2, 4, 4) X(LumaSampleInterpolation_n_4x4, 0, 3, 4, 4)  \
  X(LumaSampleInterpolation_a_4x4, 1, 0, 4, 4) X(LumaSampleInterpolation_e_4x4, 1, 1, 4, 4)  \
  X(LumaSampleInterpolation_i_4x4, 1, 2, 4, 4) X(LumaSampleInterpolation_p_4x4, 1, 3, 4, 4)  \
  X(LumaSampleInterpolation_b_4x4, 2, 0, 4, 4) X(LumaSampleInterpolation_f_4x4, 2, 1, 4, 4)  \
  X(LumaSampleInterpolation_j_4x4, 2, 2, 4, 4) X(LumaSampleInterpolation_q_4x4, 2, 3, 4, 4)  \
  X(LumaSampleInterpolation_c_4x4, 3, 0, 4, 4) X(LumaSampleInterpolation_g_4x4, 3, 1, 4, 4)  \
  X(LumaSampleInterpolation_k_4x4, 3, 2, 4, 4) X(LumaSampleInterpolation_r_4x4, 3, 3, 4, 4)
#define LUMA_SAMPLE_KERNELS_4x8(X)                                                           \
  X(LumaSampleInterpolation_G_4x8, 0, 0, 4, 8) X(LumaSampleInterpolation_d_4x8, 0, 1, 4, 8)  \
  X(LumaSampleInterpolation_h_4x8, 0, 2, 4, 8) X(LumaSampleInterpolation_n_4x8, 0, 3, 4, 8)  \
  X(LumaSampleInterpolation_a_4x8, 1, 0, 4, 8) X(LumaSampleInterpolation_e_4x8, 1, 1, 4, 8)  \
  X(LumaSampleInterpolation_i_4x8, 1, 2, 4, 8) X(LumaSampleInterpolation_p_4x8, 1, 3, 4, 8)  \
  X(LumaSampleInterpolation_b_4x8, 2, 0, 4, 8) X(LumaSampleInterpolation_f_4x8, 2, 1, 4, 8)  \
  X(LumaSampleInterpolation_j_4x8, 2, 2, 4, 8) X(LumaSampleInterpolation_q_4x8, 2, 3, 4, 8)  \
  X(LumaSampleInterpolation_c_4x8, 3, 0, 4, 8) X(LumaSampleInterpolation_g_4x8, 3, 1, 4, 8)  \
  X(LumaSampleInterpolation_k_4x8, 3, 2, 4, 8) X(LumaSampleInterpolation_r_4x8, 3, 3, 4, 8)
#define LUMA_SAMPLE_KERNELS_8x4(X)                                                           \
  X(LumaSampleInterpolation_G_8x4, 0, 0, 8, 4) X(LumaSampleInterpolation_d_8x4, 0, 1, 8, 4)  \
  X(LumaSampleInterpolation_h_8x4, 0, 2, 8, 4) X(LumaSampleInterpolation_n_8x4, 0, 3, 8, 4)  \
  X(LumaSampleInterpolation_a_8x4, 1, 0, 8, 4) X(LumaSampleInterpolation_e_8x4, 1, 1, 8, 4)  \
  X(LumaSampleInterpolation_i_8x4, 1, 2, 8, 4) X(LumaSampleInterpolation_p_8x4, 1, 3, 8, 4)  \
  X(LumaSampleInterpolation_b_8x4, 2, 0, 8, 4) X(LumaSampleInterpolation_f_8x4, 2, 1, 8, 4)  \
  X(LumaSampleInterpolation_j_8x4, 2, 2, 8, 4) X(LumaSampleInterpolation_q_8x4, 2, 3, 8, 4)  \
  X(LumaSampleInterpolation_c_8x4, 3, 0, 8, 4) X(LumaSampleInterpolation_g_8x4, 3, 1, 8, 4)  \
  X(LumaSampleInterpolation_k_8x4, 3, 2, 8, 4) X(LumaSampleInterpolation_r_8x4, 3, 3, 8, 4)
#define LUMA_SAMPLE_KERNELS_8x8(X)                                                           \
  X(LumaSampleInterpolation_G_8x8, 0, 0, 8, 8) X(LumaSampleInterpolation_d_8x8, 0, 1, 8, 8)  \
  X(LumaSampleInterpolation_h_8x8, 0, 2, 8, 8) X(LumaSampleInterpolation_n_8x8, 0, 3, 8, 8)  \
  X(LumaSampleInterpolation_a_8x8, 1, 0, 8, 8) X(LumaSampleInterpolation_e_8x8, 1, 1, 8, 8)  \
  X(LumaSampleInterpolation_i_8x8, 1, 2, 8, 8) X(LumaSampleInterpolation_p_8x8, 1, 3, 8, 8)  \
  X(LumaSampleInterpolation_b_8x8, 2, 0, 8, 8) X(LumaSampleInterpolation_f_8x8, 2, 1, 8, 8)  \
  X(LumaSampleInterpolation_j_8x8, 2, 2, 8, 8) X(LumaSampleInterpolation_q_8x8, 2, 3, 8, 8)  \
  X(LumaSampleInterpolation_c_8x8, 3, 0, 8, 8) X(LumaSampleInterpolation_g_8x8, 3, 1, 8, 8)  \
  X(LumaSampleInterpolation_k_8x8, 3, 2, 8, 8) X(LumaSampleInterpolation_r_8x8, 3, 3, 8, 8)
#define LUMA_SAMPLE_KERNELS(X) \
  LUMA_SAMPLE_KERNELS_4x4(X) LUMA_SAMPLE_KERNELS_4x8(X) LUMA_SAMPLE_KERNELS_8x4(X) LUMA_SAMPLE_KERNELS_8x8(X)

#define LUMA_SAMPLE_DECLARE_KERNEL(name, xf, yf, W, H)                                                         \
  void name(uint8_t* dst, ptrdiff_t dstStride, const uint8_t* ref, int32_t x, int32_t y, int32_t rowStep, \
            int32_t clampWidth, int32_t height);
LUMA_SAMPLE_KERNELS(LUMA_SAMPLE_DECLARE_KERNEL)
#undef LUMA_SAMPLE_DECLARE_KERNEL

// The selectors take a motion vector (x, then y, quarter samples) and return
// the kernel of their size at index (x & 3) * 4 + (y & 3) of
// fp_LumaSampleInterPolation.
LumaSampleInterpolationFn DecideLumaSampleInterpolation_4x4(const int16_t* mv);
LumaSampleInterpolationFn DecideLumaSampleInterpolation_4x8(const int16_t* mv);
LumaSampleInterpolationFn DecideLumaSampleInterpolation_8x4(const int16_t* mv);
LumaSampleInterpolationFn DecideLumaSampleInterpolation_8x8(const int16_t* mv);
