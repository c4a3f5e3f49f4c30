// The decoder's quarter-sample luma interpolators of small blocks. Each
// kernel runs the luma interpolation primitive on the plane seen from its
// left margin: columns -32 .. clampWidth - 33 are the readable ones, and the
// margins repeat the edge samples, so clamping to that range gives the same
// samples as clamping to the picture.
#include <cstring>

#include "luma_sample_interpolation.h"
#include "vpiInterpolate.h"

namespace {

constexpr int32_t kMargin = 32;

template <int W, int H, int XFrac, int YFrac>
void interpolate(uint8_t* dst, ptrdiff_t dstStride, const uint8_t* ref, int32_t x, int32_t y, int32_t rowStep,
                 int32_t clampWidth, int32_t height) {
  // Mostly the window lies inside the plane: the kernel directly.
  if (vpiInterpolateLumaInside(ref - kMargin, rowStep, clampWidth, height, x + kMargin, y, XFrac, YFrac, W, H, dst,
                               static_cast<int32_t>(dstStride)))
    return;
  InterpolateBlockParams p{};
  p.pSrc[0] = ref - kMargin;
  p.srcStep = rowStep;
  p.pDst[0] = dst;
  p.dstStep = static_cast<int32_t>(dstStride);
  p.frameWidth = clampWidth;
  p.frameHeight = height;
  p.blockWidth = W;
  p.blockHeight = H;
  // The whole displacement goes into the vector, so that the primitive's
  // edge test always runs (it skips it only for a zero vector).
  p.mvX = 4 * (x + kMargin) + XFrac;
  p.mvY = 4 * y + YFrac;
  if (p.mvX == 0 && p.mvY == 0) {
    p.blockX = 1;
    p.mvX = -4;
  }
  vpiInterpolateLumaBlock_H264_8u_P1R(&p);
}

}  // namespace

#define LUMA_SAMPLE_DEFINE_KERNEL(name, xf, yf, W, H)                                                         \
  void name(uint8_t* dst, ptrdiff_t dstStride, const uint8_t* ref, int32_t x, int32_t y, int32_t rowStep, \
            int32_t clampWidth, int32_t height) {                                                          \
    interpolate<W, H, xf, yf>(dst, dstStride, ref, x, y, rowStep, clampWidth, height);                     \
  }
LUMA_SAMPLE_KERNELS(LUMA_SAMPLE_DEFINE_KERNEL)
#undef LUMA_SAMPLE_DEFINE_KERNEL

namespace {

// The kernel tables of the four sizes (4x4, 4x8, 8x4, 8x8).
#define LUMA_SAMPLE_TABLE_ENTRY(name, xf, yf, W, H) name,
LumaSampleInterpolationFn const fp_LumaSampleInterPolation[4][16] = {
    {LUMA_SAMPLE_KERNELS_4x4(LUMA_SAMPLE_TABLE_ENTRY)},
    {LUMA_SAMPLE_KERNELS_4x8(LUMA_SAMPLE_TABLE_ENTRY)},
    {LUMA_SAMPLE_KERNELS_8x4(LUMA_SAMPLE_TABLE_ENTRY)},
    {LUMA_SAMPLE_KERNELS_8x8(LUMA_SAMPLE_TABLE_ENTRY)},
};
#undef LUMA_SAMPLE_TABLE_ENTRY

inline int fraction_index(const int16_t* mv) { return (mv[0] & 3) * 4 + (mv[1] & 3); }

}  // namespace

LumaSampleInterpolationFn DecideLumaSampleInterpolation_4x4(const int16_t* mv) {
  return fp_LumaSampleInterPolation[0][fraction_index(mv)];
}
LumaSampleInterpolationFn DecideLumaSampleInterpolation_4x8(const int16_t* mv) {
  return fp_LumaSampleInterPolation[1][fraction_index(mv)];
}
LumaSampleInterpolationFn DecideLumaSampleInterpolation_8x4(const int16_t* mv) {
  return fp_LumaSampleInterPolation[2][fraction_index(mv)];
}
LumaSampleInterpolationFn DecideLumaSampleInterpolation_8x8(const int16_t* mv) {
  return fp_LumaSampleInterPolation[3][fraction_index(mv)];
}
