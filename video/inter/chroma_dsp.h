// Sample kernels of chroma inter prediction, as one table of kernel
// pointers per instruction set: the bilinear eighth-sample predictors and
// the chroma residual adders and stores. The decoder's named chroma
// predictions and combinations (GetChromaPrediction_*,
// CombineChromaSamples_*, below) call the table of the current variant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video_dsp.h"

// Bilinear prediction of a fixed number of rows of 8 samples; the arguments
// are those of GetChromaPrediction_2Lines and its siblings.
using ChromaBilinearFn = void (*)(const uint8_t* plane, int32_t x, int32_t y, int32_t dx, int32_t dy, int16_t* dst,
                                  int32_t width, int32_t height, int32_t pitch);
// Residual adders: those of CombineChromaSamples_8x4 and _4x8 take a block
// index; the 8x8 and 4x4 ones ignore it.
using ChromaAddFn = void (*)(const int16_t* residual, uint8_t block, const int16_t* pred, int16_t* out);

// Bilinear prediction of both chroma planes at one position: rows of 8
// samples of the Cb plane at dst, of the Cr plane at dst + 8 * rows; the
// other arguments as for ChromaBilinearFn (both planes share pitch and size).
using ChromaBilinearPairFn = void (*)(const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx,
                                      int32_t dy, int16_t* dst, int32_t width, int32_t height, int32_t pitch);

// How put_weighted forms a prediction sample from p0 (and p1): p0 itself
// (kCopy), Clip(((p0 w0 + 2^(logWD - 1)) >> logWD) + o) (kSingle; p0 w0 + o
// when logWD is 0), or Clip(((p0 w0 + p1 w1 + 2^logWD) >> (logWD + 1)) + o)
// (kTwo; the default average is w0 = w1 = 1, logWD 0, o 0). Products and sums
// are exact (32 bits).
struct ChromaWeights {
  enum Kind : int32_t { kCopy, kSingle, kTwo } kind;
  int32_t w0, w1, o, logWD;
};

// Destination of a prediction stored straight into the picture: the blocks
// of both planes (rows pitch apart, width 2, 4 or 8) and, unless null, the
// residual of both components (Cb's 64 samples in 4x4 blocks, then Cr's),
// read at columns bx.. and rows by.. of each.
struct ChromaPutArgs {
  uint8_t* dst[2];
  std::ptrdiff_t pitch;
  const int16_t* residual;
  int32_t bx, by, width;
};
using ChromaPutPairFn = void (*)(const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx, int32_t dy,
                                 int32_t width, int32_t height, int32_t pitch, const ChromaPutArgs* out);

// One source of a two-list prediction: both planes of a reference and the
// block's position in them, as for ChromaPutPairFn.
struct ChromaPairSource {
  const uint8_t* cb;
  const uint8_t* cr;
  int32_t x, y, dx, dy;
};
// Two-list prediction straight into the picture: each plane's rows (2, 4
// or 8) predicted from both sources, combined by the two-list weights of
// the plane (w[0] Cb, w[1] Cr, kind kTwo), plus the residual, stored; the
// other arguments as for ChromaPutPairFn.
using ChromaPutBiFn = void (*)(const ChromaPairSource* sources, const ChromaWeights* w, int32_t width,
                               int32_t height, int32_t pitch, const ChromaPutArgs* out);

struct ChromaDsp {
  ChromaBilinearFn bilinear[3];  // 2, 4 and 8 rows
  ChromaAddFn add_8x8, add_8x4, add_4x8, add_4x4;
  // Stores a block of width (2, 4 or 8) x rows samples at dst (rows pitch
  // apart): Clip(pred + residual), the 16-bit sum wrapping before the clip.
  // pred holds rows of 8 samples; residual (null: all zero) is the
  // component's 8x8 residual in 4x4 blocks of 16, read at columns bx.. and
  // rows by.. of it.
  void (*put_rows)(uint8_t* dst, std::ptrdiff_t pitch, const int16_t* pred, const int16_t* residual, int32_t bx,
                   int32_t by, int32_t width, int32_t rows);
  // Stores the 8x8 block Clip(pred + residual) at dst, prediction and
  // residual both in 4x4 blocks of 16.
  void (*put_blocks_8x8)(uint8_t* dst, std::ptrdiff_t pitch, const int16_t* pred, const int16_t* residual);
  ChromaBilinearPairFn bilinear_pair[3];  // 2, 4 and 8 rows
  // put_rows of the prediction that w forms from p0 and p1 (rows of 8
  // samples 0..255; p1 read only by kTwo).
  void (*put_weighted)(uint8_t* dst, std::ptrdiff_t pitch, const int16_t* p0, const int16_t* p1,
                       const ChromaWeights* w, const int16_t* residual, int32_t bx, int32_t by, int32_t width,
                       int32_t rows);
  // bilinear_pair and put_weighted of the plain prediction (kCopy) in one:
  // each plane's rows (2, 4 or 8) of the block, plus the residual, stored.
  ChromaPutPairFn put_pair[3];
  ChromaPutBiFn put_pair_bi[3];
};

// The reference, the vector variants and the current one.
VIDEO_DSP_DECLARE_TABLES(ChromaDsp, chroma_dsp)

// The decoder's chroma predictions: bilinear eighth-sample prediction of 2,
// 4 or 8 rows of 8 samples of both planes at integer position (x, y) with
// fractions (dx, dy), by the current variant: the Cb rows at dst, the Cr
// rows after them. Each plane pointer is sample (0, 0); rows pitch apart, 8
// margin samples left and right of each row. Columns are clamped to
// [-8, width - 17] (width: the pitch), rows to [0, height - 1].
inline void GetChromaPrediction_2Lines(const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx,
                                       int32_t dy, int16_t* dst, int32_t width, int32_t height, int32_t pitch) {
  chroma_dsp().bilinear_pair[0](cb, cr, x, y, dx, dy, dst, width, height, pitch);
}
inline void GetChromaPrediction_4Lines(const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx,
                                       int32_t dy, int16_t* dst, int32_t width, int32_t height, int32_t pitch) {
  chroma_dsp().bilinear_pair[1](cb, cr, x, y, dx, dy, dst, width, height, pitch);
}
inline void GetChromaPrediction_8Lines(const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx,
                                       int32_t dy, int16_t* dst, int32_t width, int32_t height, int32_t pitch) {
  chroma_dsp().bilinear_pair[2](cb, cr, x, y, dx, dy, dst, width, height, pitch);
}
// By rows: 2, 4 or 8.
inline void GetChromaPrediction(int rows, const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx,
                                int32_t dy, int16_t* dst, int32_t width, int32_t height, int32_t pitch) {
  if (rows == 2) return GetChromaPrediction_2Lines(cb, cr, x, y, dx, dy, dst, width, height, pitch);
  if (rows == 4) return GetChromaPrediction_4Lines(cb, cr, x, y, dx, dy, dst, width, height, pitch);
  GetChromaPrediction_8Lines(cb, cr, x, y, dx, dy, dst, width, height, pitch);
}

// The decoder's chroma combinations: a block's prediction (p0 as it is,
// weighted, or combined with p1, as w says; rows of 8 samples) plus the
// residual of the component's 4x4 blocks it covers (residual: the
// component's 64 samples in 4x4 blocks of 16, null for none), clipped and
// stored at dst (the block's first sample; rows pitch apart), by the current
// variant. 8x8: the whole component; 8x4: the upper (block 0) or lower
// (block 2) half; 4x8: the left (block 0) or right (block 1) column;
// 4x4_Direct: the quadrant of 4x4 block `block`.
inline void CombineChromaSamples_8x8(const int16_t* residual, const int16_t* p0, const int16_t* p1,
                                     const ChromaWeights* w, uint8_t* dst, std::ptrdiff_t pitch) {
  chroma_dsp().put_weighted(dst, pitch, p0, p1, w, residual, 0, 0, 8, 8);
}
inline void CombineChromaSamples_8x4(const int16_t* residual, uint8_t block, const int16_t* p0, const int16_t* p1,
                                     const ChromaWeights* w, uint8_t* dst, std::ptrdiff_t pitch) {
  chroma_dsp().put_weighted(dst, pitch, p0, p1, w, residual, 0, 4 * ((block >> 1) & 1), 8, 4);
}
inline void CombineChromaSamples_4x8(const int16_t* residual, uint8_t block, const int16_t* p0, const int16_t* p1,
                                     const ChromaWeights* w, uint8_t* dst, std::ptrdiff_t pitch) {
  chroma_dsp().put_weighted(dst, pitch, p0, p1, w, residual, 4 * (block & 1), 0, 4, 8);
}
inline void CombineChromaSamples_4x4_Direct(const int16_t* residual, uint8_t block, const int16_t* p0,
                                            const int16_t* p1, const ChromaWeights* w, uint8_t* dst,
                                            std::ptrdiff_t pitch) {
  chroma_dsp().put_weighted(dst, pitch, p0, p1, w, residual, 4 * (block & 1), 4 * ((block >> 1) & 1), 4, 4);
}
