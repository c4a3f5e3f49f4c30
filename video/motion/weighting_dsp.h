// Sample kernels of weighted and averaged inter prediction, as one table of
// kernel pointers per instruction set. The blocks are 16-bit prediction
// samples (values 0..255) of `width` columns (a multiple of 8) and `rows`
// rows; strides count samples. No row needs any alignment. Every kernel may
// write over one of its sources (dst equal to p0 or p1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "video_dsp.h"

struct WeightingDsp {
  // buf = Clip(((p w + 2^(logWD - 1)) >> logWD) + o), or Clip(p w + o) when
  // logWD is 0; products in 32 bits.
  void (*weight_single)(uint16_t* buf, ptrdiff_t stride, int32_t width, int32_t rows, int32_t w, int32_t o,
                        int32_t logWD);
  // dst = Clip(((p0 w0 + p1 w1 + 2^logWD) >> (logWD + 1)) + o); sums in 32
  // bits, so the inferred weight 128 at denominator 7 is exact.
  void (*weight_bi)(const uint16_t* p0, ptrdiff_t stride0, const uint16_t* p1, ptrdiff_t stride1, uint16_t* dst,
                    ptrdiff_t strideDst, int32_t width, int32_t rows, int32_t w0, int32_t w1, int32_t logWD,
                    int32_t o);
  // The two weightings on 8-bit samples (width 8 or 16), same formulas.
  void (*weight_single_bytes)(uint8_t* buf, ptrdiff_t stride, int32_t width, int32_t rows, int32_t w, int32_t o,
                              int32_t logWD);
  void (*weight_bi_bytes)(const uint8_t* p0, ptrdiff_t stride0, const uint8_t* p1, ptrdiff_t stride1, uint8_t* dst,
                          ptrdiff_t strideDst, int32_t width, int32_t rows, int32_t w0, int32_t w1, int32_t logWD,
                          int32_t o);
  // dst = (p0 + p1 + 1) >> 1: default bi-prediction.
  void (*average)(const uint16_t* p0, ptrdiff_t stride0, const uint16_t* p1, ptrdiff_t stride1, uint16_t* dst,
                  ptrdiff_t strideDst, int32_t width, int32_t rows);
  // dst = src: interpolated 8-bit samples widened into 16-bit prediction
  // samples; width a multiple of 4, the samples past it left alone.
  void (*widen)(const uint8_t* src, ptrdiff_t srcStride, int16_t* dst, ptrdiff_t dstStride, int32_t width,
                int32_t rows);
};

// The reference, the vector variants and the current one.
VIDEO_DSP_DECLARE_TABLES(WeightingDsp, weighting_dsp)
