// Combination of 16-bit luma predictions with the residual into the picture.
// Every routine is one row loop (combine_rows) told where the prediction of
// each half row (8 samples) comes from; bi-predicted halves take the rounded
// average of two sources.
#include <emmintrin.h>

#include <cstddef>
#include <cstring>

#include "inter_prediction.h"

namespace {

// Offset of the residual of luma sample (0, r) in the 4x4 layout; columns
// 4..7, 8..11 and 12..15 lie 16, 64 and 80 samples further on.
alignas(16) const uint8_t posTable[16] = {0, 4, 8, 12, 32, 36, 40, 44, 128, 132, 136, 140, 160, 164, 168, 172};

inline __m128i load8(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

inline __m128i load4x2(const int16_t* a, const int16_t* b) {
  return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)),
                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
}

// Residual of half h (columns 8h..8h+7) of row r.
inline __m128i residual_half(const int16_t* res, uint8_t flag8x8, int r, int h) {
  if (flag8x8) return load8(res + 64 * (2 * (r >> 3) + h) + 8 * (r & 7));
  const int16_t* p = res + posTable[r] + 64 * h;
  return load4x2(p, p + 16);
}

// Rows 0..15 of dst get clip(pred(r, h) + residual): pred(r, h) gives the
// prediction of half h of row r as 8 int16 lanes.
template <bool kResidual, class Pred>
inline void combine_rows(const int16_t* res, uint8_t flag8x8, uint8_t* dst, uint32_t pitch, Pred pred) {
  for (int r = 0; r < 16; ++r) {
    __m128i left = pred(r, 0);
    __m128i right = pred(r, 1);
    if (kResidual) {
      left = _mm_add_epi16(left, residual_half(res, flag8x8, r, 0));
      right = _mm_add_epi16(right, residual_half(res, flag8x8, r, 1));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<size_t>(r) * pitch), _mm_packus_epi16(left, right));
  }
}

// A null residual stands for an all-zero one: the rows skip reading it.
template <class Pred>
inline void combine(const int16_t* res, uint8_t flag8x8, uint8_t* dst, uint32_t pitch, Pred pred) {
  if (res != nullptr)
    combine_rows<true>(res, flag8x8, dst, pitch, pred);
  else
    combine_rows<false>(nullptr, 0, dst, pitch, pred);
}

inline __m128i avg(__m128i a, __m128i b) { return _mm_avg_epu16(a, b); }

// Sources of one half row.
inline const int16_t* row16(const int16_t* plane, int r, int h) { return plane + 16 * r + 8 * h; }
inline const int16_t* tile(const int16_t* tiles, int r, int h) { return tiles + 64 * (2 * (r >> 3) + h) + 8 * (r & 7); }

}  // namespace

void CombineSamplesLuma_LX_16x16(const int16_t* residual, const int16_t* pred, uint8_t* dst, uint32_t pitch,
                                 uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) { return load8(row16(pred, r, h)); });
}

void CombineSamplesLuma_Bi_16x16(const int16_t* residual, const int16_t* pred0, const int16_t* pred1, uint8_t* dst,
                                 uint32_t pitch, uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch,
                     [&](int r, int h) { return avg(load8(row16(pred0, r, h)), load8(row16(pred1, r, h))); });
}

void CombineSamplesLuma_LX_Bi_16x8(const int16_t* residual, const int16_t* main, const int16_t* second, uint8_t* dst,
                                   uint32_t pitch, uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) {
    const __m128i m = load8(row16(main, r, h));
    return r < 8 ? m : avg(m, load8(row16(second, r - 8, h)));
  });
}

void CombineSamplesLuma_Bi_LX_16x8(const int16_t* residual, const int16_t* main, const int16_t* second, uint8_t* dst,
                                   uint32_t pitch, uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) {
    const __m128i m = load8(row16(main, r, h));
    return r < 8 ? avg(m, load8(row16(second, r, h))) : m;
  });
}

void CombineSamplesLuma_LX_8x16(const int16_t* residual, const int16_t* right, const int16_t* left, uint8_t* dst,
                                uint32_t pitch, uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) { return load8((h ? right : left) + 8 * r); });
}

void CombineSamplesLuma_LX_Bi_8x16(const int16_t* residual, const int16_t* left, const int16_t* rightA,
                                   const int16_t* rightB, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) {
    return h ? avg(load8(rightA + 8 * r), load8(rightB + 8 * r)) : load8(left + 8 * r);
  });
}

void CombineSamplesLuma_Bi_LX_8x16(const int16_t* residual, const int16_t* leftA, const int16_t* leftB,
                                   const int16_t* right, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) {
    return h ? load8(right + 8 * r) : avg(load8(leftA + 8 * r), load8(leftB + 8 * r));
  });
}

void CombineSamplesLuma_Bi_8x16(const int16_t* residual, const int16_t* leftA, const int16_t* leftB,
                                const int16_t* rightA, const int16_t* rightB, uint8_t* dst, uint32_t pitch,
                                uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) {
    return h ? avg(load8(rightA + 8 * r), load8(rightB + 8 * r)) : avg(load8(leftA + 8 * r), load8(leftB + 8 * r));
  });
}

void CombineSamplesLuma_P_Skip(const int16_t* pred, uint8_t* dst, uint32_t pitch) {
  combine_rows<false>(nullptr, 0, dst, pitch, [&](int r, int h) { return load8(row16(pred, r, h)); });
}

void CombineSamplesLuma_B_Skip(const int16_t* pred0, const int16_t* pred1, uint8_t* dst, uint32_t pitch) {
  combine_rows<false>(nullptr, 0, dst, pitch,
                      [&](int r, int h) { return avg(load8(row16(pred0, r, h)), load8(row16(pred1, r, h))); });
}

void CombineSamplesLuma_P_Skip_8x8(const int16_t* tiles, uint8_t* dst, uint32_t pitch) {
  combine_rows<false>(nullptr, 0, dst, pitch, [&](int r, int h) { return load8(tile(tiles, r, h)); });
}

void CombineSamplesLuma_B_Skip_8x8(const int16_t* tiles0, const int16_t* tiles1, uint8_t* dst, uint32_t pitch) {
  combine_rows<false>(nullptr, 0, dst, pitch,
                      [&](int r, int h) { return avg(load8(tile(tiles0, r, h)), load8(tile(tiles1, r, h))); });
}

void CombineSamplesLuma_LX_8x8(const int16_t* residual, const int16_t* tiles, uint8_t* dst, uint32_t pitch,
                               uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch, [&](int r, int h) { return load8(tile(tiles, r, h)); });
}

void CombineSamplesLuma_Bi_8x8(const int16_t* residual, const int16_t* tiles0, const int16_t* tiles1, uint8_t* dst,
                               uint32_t pitch, uint8_t flag8x8) {
  combine(residual, flag8x8, dst, pitch,
                     [&](int r, int h) { return avg(load8(tile(tiles0, r, h)), load8(tile(tiles1, r, h))); });
}
