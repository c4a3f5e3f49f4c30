// Bilinear eighth-sample chroma prediction kernels and the chroma residual
// adders. One kernel body serves every row count.
#include <emmintrin.h>

#include <algorithm>
#include <cstddef>

#include "inter_prediction.h"

namespace {

inline __m128i load_bytes8(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

// Horizontal pass of one source row: (8 - dx) p[i] + dx p[i + 1] for
// columns i = 0..7, read as two overlapping 8-byte loads so that nothing
// past column 8 is touched. At most 8 * 255.
inline __m128i horizontal(const uint8_t* p, __m128i wLeft, __m128i wRight) {
  return _mm_add_epi16(_mm_mullo_epi16(load_bytes8(p), wLeft), _mm_mullo_epi16(load_bytes8(p + 1), wRight));
}

// The bilinear weights (8 - dx)(8 - dy), dx(8 - dy), (8 - dx)dy, dx dy
// factor into a horizontal and a vertical pass with one rounding at the end,
// so each source row is filtered once and serves two output rows. Every sum
// stays below 64 * 255 + 32, inside 16 bits.
template <int N>
void chroma_prediction(const uint8_t* plane, int32_t x, int32_t y, int32_t dx, int32_t dy, int16_t* dst,
                       int32_t width, int32_t height, int32_t pitch) {
  // The margins repeat each row's edge samples, so clamping the start column
  // into them equals clamping every column to the picture.
  x = x < -8 ? -8 : std::min(x, width - 17);
  const __m128i wLeft = _mm_set1_epi16(static_cast<int16_t>(8 - dx));
  const __m128i wRight = _mm_set1_epi16(static_cast<int16_t>(dx));
  const __m128i wTop = _mm_set1_epi16(static_cast<int16_t>(8 - dy));
  const __m128i wBottom = _mm_set1_epi16(static_cast<int16_t>(dy));
  const __m128i round = _mm_set1_epi16(32);
  const auto row = [&](int k) {
    const int32_t r = std::max(0, std::min(y + k, height - 1));
    return horizontal(plane + static_cast<ptrdiff_t>(r) * pitch + x, wLeft, wRight);
  };
  if (dy == 0) {
    // No vertical pass: the row below has weight 0 and is not read (it may
    // be a cache line of its own).
    for (int r = 0; r < N; ++r) {
      const __m128i sum = _mm_slli_epi16(row(r), 3);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * r), _mm_srli_epi16(_mm_add_epi16(sum, round), 6));
    }
    return;
  }
  __m128i above = row(0);
  for (int r = 0; r < N; ++r) {
    const __m128i below = row(r + 1);
    const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(above, wTop), _mm_mullo_epi16(below, wBottom));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * r), _mm_srli_epi16(_mm_add_epi16(sum, round), 6));
    above = below;
  }
}

inline __m128i load4x2(const int16_t* a, const int16_t* b) {
  return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)),
                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
}

// Rows of an adder: row r of the output is pred row r plus residual columns
// 0..3 from blockLeft(r) and 4..7 from blockRight(r), at row r mod 4.
template <int N, class Left, class Right>
inline void add_chroma_rows(const int16_t* residual, const int16_t* pred, int16_t* out, Left left, Right right) {
  for (int r = 0; r < N; ++r) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pred + 8 * r));
    const __m128i res = load4x2(residual + 16 * left(r) + 4 * (r & 3), residual + 16 * right(r) + 4 * (r & 3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * r), _mm_add_epi16(p, res));
  }
}

}  // namespace

void GetChromaPrediction_2Lines(const uint8_t* plane, int32_t x, int32_t y, int32_t dx, int32_t dy, int16_t* dst,
                                int32_t width, int32_t height, int32_t pitch) {
  chroma_prediction<2>(plane, x, y, dx, dy, dst, width, height, pitch);
}

void GetChromaPrediction_4Lines(const uint8_t* plane, int32_t x, int32_t y, int32_t dx, int32_t dy, int16_t* dst,
                                int32_t width, int32_t height, int32_t pitch) {
  chroma_prediction<4>(plane, x, y, dx, dy, dst, width, height, pitch);
}

void GetChromaPrediction_8Lines(const uint8_t* plane, int32_t x, int32_t y, int32_t dx, int32_t dy, int16_t* dst,
                                int32_t width, int32_t height, int32_t pitch) {
  chroma_prediction<8>(plane, x, y, dx, dy, dst, width, height, pitch);
}

void CombineChromaSamples_8x8(const int16_t* residual, const int16_t* pred, int16_t* out) {
  add_chroma_rows<8>(residual, pred, out, [](int r) { return r < 4 ? 0 : 2; }, [](int r) { return r < 4 ? 1 : 3; });
}

void CombineChromaSamples_8x4(const int16_t* residual, uint8_t block, const int16_t* pred, int16_t* out) {
  add_chroma_rows<4>(residual, pred, out, [&](int) { return block; }, [&](int) { return block + 1; });
}

// Only columns 0..3 are defined: columns 4..7 repeat the left block's residual.
void CombineChromaSamples_4x8(const int16_t* residual, uint8_t block, const int16_t* pred, int16_t* out) {
  const auto b = [&](int r) { return r < 4 ? block : block + 2; };
  add_chroma_rows<8>(residual, pred, out, b, b);
}

void CombineChromaSamples_4x4_Direct(const int16_t* block, const int16_t* pred, int16_t* out) {
  add_chroma_rows<4>(block, pred, out, [](int) { return 0; }, [](int) { return 0; });
}
