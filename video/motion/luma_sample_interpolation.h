// The decoder's quarter-sample luma interpolators of small blocks (4x4, 4x8,
// 8x4, 8x8, width x height), one kernel per position and size, with one
// selector per size.
//
// A kernel writes width x height prediction samples (0..255) as 16-bit
// values, rows 8 samples apart; a 4-wide kernel leaves samples 4..7 of each
// row alone. It reads the reference plane (8-bit, column 0 of row 0 at
// `ref`, rows `rowStep` bytes apart, 32 margin columns holding copies of the
// edge samples on each side) around the integer sample (x, y), any values
// allowed: columns are kept within the margins of a plane whose pitch is
// `clampWidth`, rows are clamped to 0..height-1. The results are H.264's
// luma sample interpolation with every reference coordinate clamped to the
// picture.
#pragma once

#include <cstdint>

using LumaSampleInterpolationFn = void (*)(int16_t* dst, const uint8_t* ref, int32_t x, int32_t y, int32_t rowStep,
                                           int32_t clampWidth, int32_t height);

// Every position of one size: position letter, xFrac, yFrac (G a b c /
// d e f g / h i j k / n p q r for yFrac 0..3 and xFrac 0..3).
#define LUMA_SAMPLE_POSITIONS(X, W, H)                                                                        \
  X(G, 0, 0, W, H) X(a, 1, 0, W, H) X(b, 2, 0, W, H) X(c, 3, 0, W, H) X(d, 0, 1, W, H) X(e, 1, 1, W, H)       \
  X(f, 2, 1, W, H) X(g, 3, 1, W, H) X(h, 0, 2, W, H) X(i, 1, 2, W, H) X(j, 2, 2, W, H) X(k, 3, 2, W, H)       \
  X(n, 0, 3, W, H) X(p, 1, 3, W, H) X(q, 2, 3, W, H) X(r, 3, 3, W, H)

#define LUMA_SAMPLE_SIZES(X) X(4, 4) X(4, 8) X(8, 4) X(8, 8)

#define LUMA_SAMPLE_DECLARE_KERNEL(pos, xf, yf, W, H)                                                          \
  void LumaSampleInterpolation_##pos##_##W##x##H(int16_t* dst, const uint8_t* ref, int32_t x, int32_t y,      \
                                                  int32_t rowStep, int32_t clampWidth, int32_t height);
// The selectors take a motion vector (x, then y, quarter samples) and return
// the kernel of table index (x & 3) * 4 + (y & 3).
#define LUMA_SAMPLE_DECLARE_SIZE(W, H)                                                                         \
  LUMA_SAMPLE_POSITIONS(LUMA_SAMPLE_DECLARE_KERNEL, W, H)                                                      \
  LumaSampleInterpolationFn DecideLumaSampleInterpolation_##W##x##H(const int16_t* mv);

LUMA_SAMPLE_SIZES(LUMA_SAMPLE_DECLARE_SIZE)
