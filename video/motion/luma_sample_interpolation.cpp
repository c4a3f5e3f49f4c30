// The decoder's quarter-sample luma interpolators of small blocks. Each
// kernel runs the luma interpolation primitive on the plane seen from its
// left margin: columns -32 .. clampWidth - 33 are the readable ones, and the
// margins repeat the edge samples, so clamping to that range gives the same
// samples as clamping to the picture. The 8-bit block is then widened into
// the 16-bit prediction rows.
#include <emmintrin.h>

#include <cstring>

#include "luma_sample_interpolation.h"
#include "vpiInterpolate.h"

namespace {

constexpr int32_t kMargin = 32;

template <int W, int H, int XFrac, int YFrac>
void interpolate(int16_t* dst, const uint8_t* ref, int32_t x, int32_t y, int32_t rowStep, int32_t clampWidth,
                 int32_t height) {
  alignas(16) uint8_t block[8 * H];
  InterpolateBlockParams p{};
  p.pSrc[0] = ref - kMargin;
  p.srcStep = rowStep;
  p.pDst[0] = block;
  p.dstStep = 8;
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
  const __m128i zero = _mm_setzero_si128();
  for (int r = 0; r < H; ++r) {
    const __m128i wide = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(block + 8 * r)), zero);
    if (W == 8) {
      _mm_store_si128(reinterpret_cast<__m128i*>(dst + 8 * r), wide);
    } else {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 8 * r), wide);
    }
  }
}

}  // namespace

#define LUMA_SAMPLE_DEFINE_KERNEL(pos, xf, yf, W, H)                                                          \
  void LumaSampleInterpolation_##pos##_##W##x##H(int16_t* dst, const uint8_t* ref, int32_t x, int32_t y,     \
                                                  int32_t rowStep, int32_t clampWidth, int32_t height) {     \
    interpolate<W, H, xf, yf>(dst, ref, x, y, rowStep, clampWidth, height);                                  \
  }
#define LUMA_SAMPLE_TABLE_ENTRY(pos, W, H) LumaSampleInterpolation_##pos##_##W##x##H,
// Table order: index xFrac * 4 + yFrac.
#define LUMA_SAMPLE_TABLE(W, H)                                                                               \
  LUMA_SAMPLE_TABLE_ENTRY(G, W, H) LUMA_SAMPLE_TABLE_ENTRY(d, W, H) LUMA_SAMPLE_TABLE_ENTRY(h, W, H)          \
  LUMA_SAMPLE_TABLE_ENTRY(n, W, H) LUMA_SAMPLE_TABLE_ENTRY(a, W, H) LUMA_SAMPLE_TABLE_ENTRY(e, W, H)          \
  LUMA_SAMPLE_TABLE_ENTRY(i, W, H) LUMA_SAMPLE_TABLE_ENTRY(p, W, H) LUMA_SAMPLE_TABLE_ENTRY(b, W, H)          \
  LUMA_SAMPLE_TABLE_ENTRY(f, W, H) LUMA_SAMPLE_TABLE_ENTRY(j, W, H) LUMA_SAMPLE_TABLE_ENTRY(q, W, H)          \
  LUMA_SAMPLE_TABLE_ENTRY(c, W, H) LUMA_SAMPLE_TABLE_ENTRY(g, W, H) LUMA_SAMPLE_TABLE_ENTRY(k, W, H)          \
  LUMA_SAMPLE_TABLE_ENTRY(r, W, H)
#define LUMA_SAMPLE_DEFINE_SIZE(W, H)                                                                         \
  LUMA_SAMPLE_POSITIONS(LUMA_SAMPLE_DEFINE_KERNEL, W, H)                                                      \
  namespace {                                                                                                 \
  LumaSampleInterpolationFn const fp_LumaSampleInterPolation_##W##x##H[16] = {                                \
      LUMA_SAMPLE_TABLE(W, H)};                                                  \
  }                                                                                                           \
  LumaSampleInterpolationFn DecideLumaSampleInterpolation_##W##x##H(const int16_t* mv) {                      \
    return fp_LumaSampleInterPolation_##W##x##H[(mv[0] & 3) * 4 + (mv[1] & 3)];                                \
  }

LUMA_SAMPLE_SIZES(LUMA_SAMPLE_DEFINE_SIZE)
