// Weighted sample prediction of 16-bit prediction blocks through the
// weighting kernels of the current variant, and the implicit weights.
#include "weighting.h"

#include <algorithm>
#include <cstdlib>

#include "weighting_dsp.h"

VIDEO_DSP_DEFINE_SELECTION(WeightingDsp, weighting_dsp)

void weight_samples_single(uint16_t* buf, int32_t stride, int32_t width, int32_t rows, int32_t w, int32_t o,
                           int32_t logWD) {
  weighting_dsp().weight_single(buf, stride, width, rows, w, o, logWD);
}

void weight_samples_bi(const uint16_t* p0, int32_t stride0, const uint16_t* p1, int32_t stride1, uint16_t* dst,
                       int32_t strideDst, int32_t width, int32_t rows, int32_t w0, int32_t w1, int32_t logWD,
                       int32_t o) {
  weighting_dsp().weight_bi(p0, stride0, p1, stride1, dst, strideDst, width, rows, w0, w1, logWD, o);
}

int32_t dist_scale_factor(int32_t pocCur, int32_t poc0, int32_t poc1, int32_t* td) {
  // Differences in 64 bits: picture order counts may lie far apart.
  const int32_t tb = static_cast<int32_t>(std::clamp<int64_t>(int64_t{pocCur} - poc0, -128, 127));
  *td = static_cast<int32_t>(std::clamp<int64_t>(int64_t{poc1} - poc0, -128, 127));
  if (*td == 0) return 0;
  const int32_t tx = (16384 + std::abs(*td / 2)) / *td;
  return std::clamp((tb * tx + 32) >> 6, -1024, 1023);
}

void implicit_bipred_weights(int32_t pocCur, int32_t poc0, int32_t poc1, int32_t* w0, int32_t* w1) {
  int32_t td;
  const int32_t s = dist_scale_factor(pocCur, poc0, poc1, &td) >> 2;
  if (td == 0 || s < -64 || s > 128) {
    *w0 = *w1 = 32;
  } else {
    *w1 = s;
    *w0 = 64 - s;
  }
}
