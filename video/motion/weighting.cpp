// Weighted sample prediction of 16-bit prediction blocks, eight samples per
// vector step with 32-bit products (exact for every weight the standard
// allows, the inferred 128 included).
#include "weighting.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace {

// Clip((lanes >> shift) + o) of two groups of four 32-bit lanes, packed to
// eight 16-bit samples 0..255.
inline __m128i finish(__m128i lo, __m128i hi, __m128i shift, __m128i offset) {
  lo = _mm_add_epi32(_mm_sra_epi32(lo, shift), offset);
  hi = _mm_add_epi32(_mm_sra_epi32(hi, shift), offset);
  const __m128i v = _mm_packs_epi32(lo, hi);
  return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255));
}

}  // namespace

void weight_samples_single(uint16_t* buf, int32_t stride, int32_t width, int32_t rows, int32_t w, int32_t o,
                           int32_t logWD) {
  // (p, 1) . (w, rnd) per 32-bit lane: p w + rnd.
  const int32_t rnd = logWD > 0 ? static_cast<int32_t>(1u << ((logWD - 1) & 15)) : 0;
  const __m128i coeff = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(rnd) << 16) |
                                                            static_cast<uint16_t>(w)));
  const __m128i one = _mm_set1_epi16(1);
  const __m128i shift = _mm_cvtsi32_si128(logWD);
  const __m128i offset = _mm_set1_epi32(o);
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t x = 0; x < width; x += 8) {
      __m128i* p = reinterpret_cast<__m128i*>(buf + static_cast<ptrdiff_t>(r) * stride + x);
      const __m128i v = _mm_load_si128(p);
      const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(v, one), coeff);
      const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(v, one), coeff);
      _mm_store_si128(p, finish(lo, hi, shift, offset));
    }
  }
}

void weight_samples_bi(const uint16_t* p0, int32_t stride0, const uint16_t* p1, int32_t stride1, uint16_t* dst,
                       int32_t strideDst, int32_t width, int32_t rows, int32_t w0, int32_t w1, int32_t logWD,
                       int32_t o) {
  const __m128i coeff = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(w1)) << 16) |
                                                            static_cast<uint16_t>(w0)));
  const __m128i rnd = _mm_set1_epi32(static_cast<int32_t>(1u << (logWD & 15)));
  const __m128i shift = _mm_cvtsi32_si128(logWD + 1);
  const __m128i offset = _mm_set1_epi32(o);
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t x = 0; x < width; x += 8) {
      const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(p0 + static_cast<ptrdiff_t>(r) * stride0 + x));
      const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(p1 + static_cast<ptrdiff_t>(r) * stride1 + x));
      const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), coeff), rnd);
      const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), coeff), rnd);
      _mm_store_si128(reinterpret_cast<__m128i*>(dst + static_cast<ptrdiff_t>(r) * strideDst + x),
                      finish(lo, hi, shift, offset));
    }
  }
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
