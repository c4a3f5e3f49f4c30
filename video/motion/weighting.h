// Weighted sample prediction of 16-bit luma prediction blocks (values
// 0..255): the single-list and two-list formulas of
// explicit weighting, and the implicit bi-predictive weights from picture
// order counts. The per-shape weighting members of the inter-prediction
// layer apply these to their partitions.
#pragma once

#include <cstdint>

// Every sample p of a width x rows block (width 8 or 16; stride in samples)
// becomes Clip(((p w + 2^(logWD - 1)) >> logWD) + o), or Clip(p w + o) when
// logWD is 0. Products are formed in 32 bits.
void weight_samples_single(uint16_t* buf, int32_t stride, int32_t width, int32_t rows, int32_t w, int32_t o,
                           int32_t logWD);

// dst = Clip(((p0 w0 + p1 w1 + 2^logWD) >> (logWD + 1)) + o) per sample pair:
// explicit bi-prediction with o = (o0 + o1 + 1) >> 1, implicit with logWD 5
// and o 0. Sums are formed in 32 bits, so the inferred weight 128 at
// denominator 7 is exact. dst may be p0 or p1.
void weight_samples_bi(const uint16_t* p0, int32_t stride0, const uint16_t* p1, int32_t stride1, uint16_t* dst,
                       int32_t strideDst, int32_t width, int32_t rows, int32_t w0, int32_t w1, int32_t logWD,
                       int32_t o);

// DistScaleFactor of the current picture between pic0 and pic1 (tb and td
// clipped to -128..127); *td receives td, 0 meaning no scaling applies.
int32_t dist_scale_factor(int32_t pocCur, int32_t poc0, int32_t poc1, int32_t* td);

// Implicit weights (w0, w1): 32 and 32 when td is 0 or DistScaleFactor >> 2
// lies outside -64..128, else 64 - s and s.
void implicit_bipred_weights(int32_t pocCur, int32_t poc0, int32_t poc1, int32_t* w0, int32_t* w1);
