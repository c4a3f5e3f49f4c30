// Prediction plus residual, clipped to 8 bits and stored into the picture.
// x86-64 always has SSE2, so these need no per-processor variants.
#include <emmintrin.h>

#include <cstring>

#include "intra_prediction.h"

namespace {

// Rows of 4 samples: two rows per vector of eight 16-bit lanes.
inline __m128i add_clip_4x2(const int16_t* res, const uint8_t* pred) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pred)), zero);
  const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(res));
  return _mm_packus_epi16(_mm_add_epi16(p, r), zero);
}

inline __m128i add_clip_8(const int16_t* res, const uint8_t* pred) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pred)), zero);
  const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(res));
  return _mm_packus_epi16(_mm_add_epi16(p, r), zero);
}

inline void store4(uint8_t* dst, __m128i v, int shift) {
  const int32_t word = _mm_cvtsi128_si32(shift ? _mm_srli_si128(v, 4) : v);
  std::memcpy(dst, &word, 4);
}

// One 4x4 block whose residual rows follow each other (stride 4).
void add_block_4x4(const int16_t* res, const uint8_t* pred, uint8_t* dst, int pitch) {
  const __m128i top = add_clip_4x2(res, pred);
  const __m128i bottom = add_clip_4x2(res + 8, pred + 8);
  store4(dst, top, 0);
  store4(dst + pitch, top, 1);
  store4(dst + 2 * pitch, bottom, 0);
  store4(dst + 3 * pitch, bottom, 1);
}

void copy_edges(const uint8_t* dst, int pitch, int n, uint8_t* rightCol, uint8_t* bottomRow) {
  if (rightCol)
    for (int y = 0; y < n; ++y) rightCol[y] = dst[y * pitch + n - 1];
  if (bottomRow) std::memcpy(bottomRow, dst + (n - 1) * pitch, n);
}

}  // namespace

void combine_intra_samples_4x4_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                    uint8_t* bottomRow, uint8_t* dst, int pitch) {
  add_block_4x4(res, pred, dst, pitch);
  copy_edges(dst, pitch, 4, rightCol, bottomRow);
}

void combine_intra_samples_8x8_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                    uint8_t* bottomRow, uint8_t* dst, int pitch) {
  for (int y = 0; y < 8; ++y)
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + y * pitch), add_clip_8(res + 8 * y, pred + 8 * y));
  copy_edges(dst, pitch, 8, rightCol, bottomRow);
}

void combine_intra_samples_16x16_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                      uint8_t* bottomRow, uint8_t* dst, int pitch) {
  // Row y of the macroblock in the 4x4-block residual layout: the four blocks
  // of that row start at offset[y], +16, +64 and +80.
  static const unsigned kOffset[16] = {0, 4, 8, 12, 32, 36, 40, 44, 128, 132, 136, 140, 160, 164, 168, 172};
  const __m128i zero = _mm_setzero_si128();
  for (int y = 0; y < 16; ++y) {
    const int16_t* r = res + kOffset[y];
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pred + 16 * y));
    const __m128i r0 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r)),
                                          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + 16)));
    const __m128i r1 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + 64)),
                                          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + 80)));
    const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(p, zero), r0);
    const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(p, zero), r1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + y * pitch), _mm_packus_epi16(lo, hi));
  }
  copy_edges(dst, pitch, 16, rightCol, bottomRow);
}

void combine_intra_chroma_samples(const int16_t* res, const uint8_t* pred, uint8_t* rightCol, uint8_t* dst,
                                  int pitch) {
  for (int b = 0; b < 4; ++b)
    add_block_4x4(res + 16 * b, pred + 16 * b, dst + 4 * (b & 1) + 4 * (b >> 1) * pitch, pitch);
  copy_edges(dst, pitch, 8, rightCol, nullptr);
}
