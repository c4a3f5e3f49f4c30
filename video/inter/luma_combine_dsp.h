// The luma combination kernel of inter prediction, as one table per
// instruction set: a 16x16 block of the picture becomes Clip(prediction +
// residual), the prediction of each 8x8 quarter read from one source or
// averaged from two. The named CombineSamplesLuma_* routines describe their
// sources and call the table of the current variant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video_dsp.h"

// Prediction of one 8x8 quarter: row r (0..7) at a + r * stride, or the
// rounded average (a + b + 1) >> 1 of the rows of a and b when b is set.
struct LumaQuarterSource {
  const int16_t* a;
  const int16_t* b;
  int32_t stride;
};

// The same from 8-bit samples, each source with its own stride (bStride
// for the rows of b): interpolated blocks, or reference blocks read in
// place. A source may be the destination block itself (a row is read before
// it is written).
struct LumaQuarterBytes {
  const uint8_t* a;
  const uint8_t* b;
  ptrdiff_t stride;
  ptrdiff_t bStride;
};

struct LumaCombineDsp {
  // Rows 0..15 of dst (pitch apart, 16 bytes each) get Clip(prediction +
  // residual), the 16-bit sum wrapping before the clip. quarters[2 i + h]
  // gives rows 8i.. and columns 8h... residual (null: all zero) holds four
  // 8x8 blocks of 64 when flag8x8 is set, else sixteen 4x4 blocks of 16 in
  // luma4x4BlkIdx order.
  void (*combine_16x16)(uint8_t* dst, ptrdiff_t pitch, const LumaQuarterSource* quarters, const int16_t* residual,
                        uint8_t flag8x8);
  // The same with 8-bit quarter sources.
  void (*combine_bytes_16x16)(uint8_t* dst, ptrdiff_t pitch, const LumaQuarterBytes* quarters,
                              const int16_t* residual, uint8_t flag8x8);
};

// The reference, the vector variants and the current one.
VIDEO_DSP_DECLARE_TABLES(LumaCombineDsp, luma_combine_dsp)
