// The packed-row kernels of the picture output writers, as one table per
// instruction set: one output row of YUY2 (Y U Y V) or UYVY (U Y V Y) from a
// luma row and two chroma rows raised to 4:2:2 by vertical interpolation.
// WriteLineYUY2 and WriteLineUYVY call the table of the current variant.
#pragma once

#include <cstdint>

#include "video_dsp.h"

// width luma samples (even) from y; chroma sample i is the interpolation of
// cb[i] and cb[i + next] (likewise cr) with weights w0 + w1 = 8: the sum is
// pushed 4 away from the mid level 1024 (unless equal to it), shifted right
// by 3 and clipped to 1..254.
using PackedLineFn = void (*)(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint16_t width, uint8_t* out,
                              uint8_t w0, uint8_t w1, uint16_t next);

struct PackedLineDsp {
  PackedLineFn yuy2, uyvy;
};

// The plain reference, the vector variants (one body compiled per set), the
// four slots of the primitives' variant index (sse2, sse2, ssse3, sse41) and
// the table of the current index.
VIDEO_DSP_DECLARE_TABLES(PackedLineDsp, packed_line_dsp)
