// Plain reference of the weighting kernels: the formulas sample by sample.
#include <algorithm>

#include "weighting_dsp.h"

namespace {

inline uint16_t clip_sample(int64_t v) { return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 255)); }

template <class T>
void c_weight_single(T* buf, ptrdiff_t stride, int32_t width, int32_t rows, int32_t w, int32_t o,
                     int32_t logWD) {
  const int64_t rnd = logWD > 0 ? int64_t{1} << (logWD - 1) : 0;
  for (int32_t r = 0; r < rows; ++r, buf += stride)
    for (int32_t x = 0; x < width; ++x) buf[x] = static_cast<T>(clip_sample(((buf[x] * int64_t{w} + rnd) >> logWD) + o));
}

template <class T>
void c_weight_bi(const T* p0, ptrdiff_t stride0, const T* p1, ptrdiff_t stride1, T* dst,
                 ptrdiff_t strideDst, int32_t width, int32_t rows, int32_t w0, int32_t w1, int32_t logWD, int32_t o) {
  for (int32_t r = 0; r < rows; ++r, p0 += stride0, p1 += stride1, dst += strideDst)
    for (int32_t x = 0; x < width; ++x)
      dst[x] = static_cast<T>(
          clip_sample(((p0[x] * int64_t{w0} + p1[x] * int64_t{w1} + (int64_t{1} << logWD)) >> (logWD + 1)) + o));
}

void c_average(const uint16_t* p0, ptrdiff_t stride0, const uint16_t* p1, ptrdiff_t stride1, uint16_t* dst,
               ptrdiff_t strideDst, int32_t width, int32_t rows) {
  for (int32_t r = 0; r < rows; ++r, p0 += stride0, p1 += stride1, dst += strideDst)
    for (int32_t x = 0; x < width; ++x) dst[x] = static_cast<uint16_t>((p0[x] + p1[x] + 1) >> 1);
}

void c_widen(const uint8_t* src, ptrdiff_t srcStride, int16_t* dst, ptrdiff_t dstStride, int32_t width,
             int32_t rows) {
  for (int32_t r = 0; r < rows; ++r, src += srcStride, dst += dstStride)
    for (int32_t x = 0; x < width; ++x) dst[x] = src[x];
}

}  // namespace

const WeightingDsp c_weighting_dsp = {c_weight_single<uint16_t>, c_weight_bi<uint16_t>, c_weight_single<uint8_t>,
                                      c_weight_bi<uint8_t>,         c_average,             c_widen};
