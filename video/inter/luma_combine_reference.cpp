// Plain reference of the luma combination kernel, sample by sample.
#include <algorithm>

#include "luma_combine_dsp.h"

namespace {

// Residual of luma sample (x, y) in the layout flag8x8 selects.
int16_t residual_at(const int16_t* res, uint8_t flag8x8, int x, int y) {
  if (flag8x8) return res[64 * (2 * (y >> 3) + (x >> 3)) + 8 * (y & 7) + (x & 7)];
  const int blk = 4 * (2 * (y >> 3) + (x >> 3)) + 2 * ((y >> 2) & 1) + ((x >> 2) & 1);
  return res[16 * blk + 4 * (y & 3) + (x & 3)];
}

// Row stride of a quarter's second source.
ptrdiff_t second_stride(const LumaQuarterSource& q) { return q.stride; }
ptrdiff_t second_stride(const LumaQuarterBytes& q) { return q.bStride; }

template <class Quarter>
void c_combine(uint8_t* dst, ptrdiff_t pitch, const Quarter* quarters, const int16_t* residual, uint8_t flag8x8) {
  for (int y = 0; y < 16; ++y, dst += pitch)
    for (int x = 0; x < 16; ++x) {
      const Quarter& q = quarters[2 * (y >> 3) + (x >> 3)];
      const ptrdiff_t row = y & 7, column = x & 7;
      uint16_t pred = static_cast<uint16_t>(q.a[row * q.stride + column]);
      if (q.b) pred = static_cast<uint16_t>((pred + static_cast<uint16_t>(q.b[row * second_stride(q) + column]) + 1) >> 1);
      const uint16_t res = residual ? static_cast<uint16_t>(residual_at(residual, flag8x8, x, y)) : 0;
      dst[x] = static_cast<uint8_t>(std::clamp<int>(static_cast<int16_t>(pred + res), 0, 255));
    }
}

}  // namespace

const LumaCombineDsp c_luma_combine_dsp = {c_combine<LumaQuarterSource>, c_combine<LumaQuarterBytes>};
