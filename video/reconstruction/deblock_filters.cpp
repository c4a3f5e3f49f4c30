// Luma and chroma edge sample filters of the in-loop deblocking filter.
// One set of thresholds per call; every line is filtered from the samples as
// they were on entry (a line's outputs never feed another line).
#include "deblock_filters.h"

#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

const uint8_t AlphaTable[52] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,   0,   0,   0,   0,   0,   4,   4,
    5,  6,  7,  8,  9,  10, 12, 13, 15, 17, 20,  22,  25,  28,  32,  36,  40,  45,
    50, 56, 63, 71, 80, 90, 101, 113, 127, 144, 162, 182, 203, 226, 255, 255};

const uint8_t BetaTable[52] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,
    6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18};

const uint8_t ClipTable[52 * 5] = {
    0, 0, 0, 0, 0,  // 0
    0, 0, 0, 0, 0,  // 1
    0, 0, 0, 0, 0,  // 2
    0, 0, 0, 0, 0,  // 3
    0, 0, 0, 0, 0,  // 4
    0, 0, 0, 0, 0,  // 5
    0, 0, 0, 0, 0,  // 6
    0, 0, 0, 0, 0,  // 7
    0, 0, 0, 0, 0,  // 8
    0, 0, 0, 0, 0,  // 9
    0, 0, 0, 0, 0,  // 10
    0, 0, 0, 0, 0,  // 11
    0, 0, 0, 0, 0,  // 12
    0, 0, 0, 0, 0,  // 13
    0, 0, 0, 0, 0,  // 14
    0, 0, 0, 0, 0,  // 15
    0, 0, 0, 0, 0,  // 16
    0, 0, 0, 1, 1,  // 17
    0, 0, 0, 1, 1,  // 18
    0, 0, 0, 1, 1,  // 19
    0, 0, 0, 1, 1,  // 20
    0, 0, 1, 1, 1,  // 21
    0, 0, 1, 1, 1,  // 22
    0, 1, 1, 1, 1,  // 23
    0, 1, 1, 1, 1,  // 24
    0, 1, 1, 1, 1,  // 25
    0, 1, 1, 1, 1,  // 26
    0, 1, 1, 2, 2,  // 27
    0, 1, 1, 2, 2,  // 28
    0, 1, 1, 2, 2,  // 29
    0, 1, 1, 2, 2,  // 30
    0, 1, 2, 3, 3,  // 31
    0, 1, 2, 3, 3,  // 32
    0, 2, 2, 3, 3,  // 33
    0, 2, 2, 4, 4,  // 34
    0, 2, 3, 4, 4,  // 35
    0, 2, 3, 4, 4,  // 36
    0, 3, 3, 5, 5,  // 37
    0, 3, 4, 6, 6,  // 38
    0, 3, 4, 6, 6,  // 39
    0, 4, 5, 7, 7,  // 40
    0, 4, 5, 8, 8,  // 41
    0, 4, 6, 9, 9,  // 42
    0, 5, 7, 10, 10,  // 43
    0, 6, 8, 11, 11,  // 44
    0, 6, 8, 13, 13,  // 45
    0, 7, 10, 14, 14,  // 46
    0, 8, 11, 16, 16,  // 47
    0, 9, 12, 18, 18,  // 48
    0, 10, 13, 20, 20,  // 49
    0, 11, 15, 23, 23,  // 50
    0, 13, 17, 25, 25,  // 51
};

namespace {

inline int clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }
inline uint8_t clip_pixel(int v) { return static_cast<uint8_t>(clip3(0, 255, v)); }

struct Thresholds {
  int alpha, beta, tc0;
};

inline Thresholds thresholds(uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  const int indexA = clip3(0, 51, qPav + offsets[0]);
  const int indexB = clip3(0, 51, qPav + offsets[1]);
  return {AlphaTable[indexA], BetaTable[indexB], bS < 4 ? ClipTable[5 * indexA + bS] : 0};
}

// One luma line across the edge; s points at q0, `across` steps from q0 to q1.
inline void filter_luma_line(uint8_t* s, ptrdiff_t across, uint8_t bS, const Thresholds& t) {
  const int p0 = s[-across], p1 = s[-2 * across], p2 = s[-3 * across];
  const int q0 = s[0], q1 = s[across], q2 = s[2 * across];
  if (!(std::abs(p0 - q0) < t.alpha && std::abs(p1 - p0) < t.beta && std::abs(q1 - q0) < t.beta)) return;
  const bool ap = std::abs(p2 - p0) < t.beta;
  const bool aq = std::abs(q2 - q0) < t.beta;
  if (bS < 4) {
    const int tc = t.tc0 + ap + aq;
    const int delta = clip3(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
    s[-across] = clip_pixel(p0 + delta);
    s[0] = clip_pixel(q0 - delta);
    const int mid = (p0 + q0 + 1) >> 1;
    if (ap) s[-2 * across] = static_cast<uint8_t>(p1 + clip3(-t.tc0, t.tc0, (p2 + mid - 2 * p1) >> 1));
    if (aq) s[across] = static_cast<uint8_t>(q1 + clip3(-t.tc0, t.tc0, (q2 + mid - 2 * q1) >> 1));
    return;
  }
  const bool small = std::abs(p0 - q0) < ((t.alpha >> 2) + 2);
  if (ap && small) {
    const int p3 = s[-4 * across];
    s[-across] = static_cast<uint8_t>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
    s[-2 * across] = static_cast<uint8_t>((p2 + p1 + p0 + q0 + 2) >> 2);
    s[-3 * across] = static_cast<uint8_t>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
  } else {
    s[-across] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
  }
  if (aq && small) {
    const int q3 = s[3 * across];
    s[0] = static_cast<uint8_t>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
    s[across] = static_cast<uint8_t>((p0 + q0 + q1 + q2 + 2) >> 2);
    s[2 * across] = static_cast<uint8_t>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
  } else {
    s[0] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
  }
}

// One chroma line: only p0 and q0 change.
inline void filter_chroma_line(uint8_t* s, ptrdiff_t across, uint8_t bS, const Thresholds& t) {
  const int p0 = s[-across], p1 = s[-2 * across];
  const int q0 = s[0], q1 = s[across];
  if (!(std::abs(p0 - q0) < t.alpha && std::abs(p1 - p0) < t.beta && std::abs(q1 - q0) < t.beta)) return;
  if (bS < 4) {
    const int tc = t.tc0 + 1;
    const int delta = clip3(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
    s[-across] = clip_pixel(p0 + delta);
    s[0] = clip_pixel(q0 - delta);
  } else {
    s[-across] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
    s[0] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
  }
}

// ---- Vector luma filter: eight lines at a time, one line per 16-bit lane.
// x86-64 always has SSE2, so no other variant is needed.

inline __m128i select(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
inline __m128i absdiff(__m128i a, __m128i b) { return _mm_max_epi16(_mm_sub_epi16(a, b), _mm_sub_epi16(b, a)); }
inline __m128i clip(__m128i v, __m128i lo, __m128i hi) { return _mm_min_epi16(_mm_max_epi16(v, lo), hi); }

// Thresholds per 16-bit lane: one line per lane, so that the lines of
// segments with different bS (and, for chroma, of two planes) share a call.
// on is all ones in the lanes to filter; tc0 is the tC0 of bS 1..3.
struct LaneThresholds {
  __m128i alpha, beta, tc0, on;
};

LaneThresholds uniform(const Thresholds& t) {
  return {_mm_set1_epi16(static_cast<int16_t>(t.alpha)), _mm_set1_epi16(static_cast<int16_t>(t.beta)),
          _mm_set1_epi16(static_cast<int16_t>(t.tc0)), _mm_set1_epi16(-1)};
}

// Samples p3..q3 of up to eight lines: s[0] = p3 ... s[3] = p0, s[4] = q0
// ... s[7] = q3. Filters s[1..6] in place; bS 4 (strong) in every lane or
// bS 1..3 in every lane that is on.
void filter_luma_lanes(__m128i* s, bool strong, const LaneThresholds& t) {
  const __m128i p3 = s[0], p2 = s[1], p1 = s[2], p0 = s[3], q0 = s[4], q1 = s[5], q2 = s[6], q3 = s[7];
  const __m128i active = _mm_and_si128(
      _mm_and_si128(_mm_cmplt_epi16(absdiff(p0, q0), t.alpha), _mm_cmplt_epi16(absdiff(p1, p0), t.beta)),
      _mm_and_si128(_mm_cmplt_epi16(absdiff(q1, q0), t.beta), t.on));
  const __m128i ap = _mm_cmplt_epi16(absdiff(p2, p0), t.beta);
  const __m128i aq = _mm_cmplt_epi16(absdiff(q2, q0), t.beta);
  const __m128i two = _mm_set1_epi16(2), four = _mm_set1_epi16(4);
  if (!strong) {
    const __m128i tc0 = t.tc0;
    const __m128i tc = _mm_sub_epi16(_mm_sub_epi16(tc0, ap), aq);  // masks are -1 where set
    const __m128i ntc = _mm_sub_epi16(_mm_setzero_si128(), tc);
    const __m128i d = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1)), four), 3);
    const __m128i delta = clip(d, ntc, tc);
    const __m128i mid = _mm_avg_epu16(p0, q0);
    const __m128i ntc0 = _mm_sub_epi16(_mm_setzero_si128(), tc0);
    const __m128i dp1 = clip(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(p2, mid), _mm_slli_epi16(p1, 1)), 1), ntc0, tc0);
    const __m128i dq1 = clip(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(q2, mid), _mm_slli_epi16(q1, 1)), 1), ntc0, tc0);
    s[3] = select(active, _mm_add_epi16(p0, delta), p0);
    s[4] = select(active, _mm_sub_epi16(q0, delta), q0);
    s[2] = select(_mm_and_si128(active, ap), _mm_add_epi16(p1, dp1), p1);
    s[5] = select(_mm_and_si128(active, aq), _mm_add_epi16(q1, dq1), q1);
    return;
  }
  const __m128i small = _mm_cmplt_epi16(absdiff(p0, q0), _mm_add_epi16(_mm_srli_epi16(t.alpha, 2), two));
  const __m128i strongP = _mm_and_si128(active, _mm_and_si128(ap, small));
  const __m128i strongQ = _mm_and_si128(active, _mm_and_si128(aq, small));
  const __m128i p0q0 = _mm_add_epi16(p0, q0);
  // p side
  const __m128i p0s = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(p2, _mm_slli_epi16(_mm_add_epi16(p1, p0q0), 1)), _mm_add_epi16(q1, four)), 3);
  const __m128i p1s = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p1), _mm_add_epi16(p0q0, two)), 2);
  const __m128i p2s = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_add_epi16(p3, p2), 1), p2),
                    _mm_add_epi16(_mm_add_epi16(p1, p0q0), four)),
      3);
  const __m128i p0w = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(p1, 1), p0), _mm_add_epi16(q1, two)), 2);
  // q side
  const __m128i q0s = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(q2, _mm_slli_epi16(_mm_add_epi16(q1, p0q0), 1)), _mm_add_epi16(p1, four)), 3);
  const __m128i q1s = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q1), _mm_add_epi16(p0q0, two)), 2);
  const __m128i q2s = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_add_epi16(q3, q2), 1), q2),
                    _mm_add_epi16(_mm_add_epi16(q1, p0q0), four)),
      3);
  const __m128i q0w = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(q1, 1), q0), _mm_add_epi16(p1, two)), 2);
  s[3] = select(active, select(strongP, p0s, p0w), p0);
  s[2] = select(strongP, p1s, p1);
  s[1] = select(strongP, p2s, p2);
  s[4] = select(active, select(strongQ, q0s, q0w), q0);
  s[5] = select(strongQ, q1s, q1);
  s[6] = select(strongQ, q2s, q2);
}

inline __m128i load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline void store8(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline __m128i load4(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}
inline void store4(uint8_t* p, __m128i v) {
  const int32_t w = _mm_cvtsi128_si32(v);
  std::memcpy(p, &w, 4);
}

// Transposes 8 rows of 8 bytes (low halves of r[0..7]) into 8 columns of 8
// bytes, each widened to 16-bit lanes.
void transpose_to_lanes(const __m128i* r, __m128i* col) {
  const __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]), a1 = _mm_unpacklo_epi8(r[2], r[3]);
  const __m128i a2 = _mm_unpacklo_epi8(r[4], r[5]), a3 = _mm_unpacklo_epi8(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  const __m128i c[4] = {_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2), _mm_unpacklo_epi32(b1, b3),
                        _mm_unpackhi_epi32(b1, b3)};
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 4; ++i) {
    col[2 * i] = _mm_unpacklo_epi8(c[i], zero);
    col[2 * i + 1] = _mm_unpackhi_epi8(c[i], zero);
  }
}

// Vertical edge: lines are rows; the eight samples of a row are loaded as one
// group and transposed so that lanes hold rows.
void filter_luma_vertical(uint8_t* q0, ptrdiff_t pitch, int lines, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  const Thresholds t = thresholds(bS, qPav, offsets);
  if (t.alpha == 0 || t.beta == 0) return;
  __m128i rows[8];
  for (int i = 0; i < 8; ++i) rows[i] = i < lines ? load8(q0 + i * pitch - 4) : _mm_setzero_si128();
  __m128i s[8];
  transpose_to_lanes(rows, s);
  filter_luma_lanes(s, bS == 4, uniform(t));
  __m128i packed[8];
  for (int i = 0; i < 8; ++i) packed[i] = _mm_packus_epi16(s[i], s[i]);
  __m128i out[8];
  transpose_to_lanes(packed, out);
  for (int i = 0; i < lines; ++i) store8(q0 + i * pitch - 4, _mm_packus_epi16(out[i], out[i]));
}

// Horizontal edge: lines are columns; each sample row is read and written once.
void filter_luma_horizontal(uint8_t* q0, ptrdiff_t pitch, int lines, uint8_t bS, uint8_t qPav,
                            const int8_t* offsets) {
  const Thresholds t = thresholds(bS, qPav, offsets);
  if (t.alpha == 0 || t.beta == 0) return;
  const __m128i zero = _mm_setzero_si128();
  __m128i s[8];
  for (int k = 0; k < 8; ++k) {
    const uint8_t* row = q0 + (k - 4) * pitch;
    s[k] = _mm_unpacklo_epi8(lines == 8 ? load8(row) : load4(row), zero);
  }
  filter_luma_lanes(s, bS == 4, uniform(t));
  const int first = bS < 4 ? 2 : 1, last = bS < 4 ? 5 : 6;
  for (int k = first; k <= last; ++k) {
    uint8_t* row = q0 + (k - 4) * pitch;
    const __m128i v = _mm_packus_epi16(s[k], s[k]);
    if (lines == 8)
      store8(row, v);
    else
      store4(row, v);
  }
}

// ---- Vector chroma filter: up to four lines of Cb in lanes 0..3 and the
// same lines of Cr in lanes 4..7, each half with its own thresholds.

inline __m128i halves(int a, int b) {
  return _mm_set_epi16(static_cast<int16_t>(b), static_cast<int16_t>(b), static_cast<int16_t>(b),
                       static_cast<int16_t>(b), static_cast<int16_t>(a), static_cast<int16_t>(a),
                       static_cast<int16_t>(a), static_cast<int16_t>(a));
}

// Cb lanes 0..3 and Cr lanes 4..7 with the thresholds of each plane.
LaneThresholds two_planes(const Thresholds& ta, const Thresholds& tb) {
  return {halves(ta.alpha, tb.alpha), halves(ta.beta, tb.beta), halves(ta.tc0, tb.tc0), _mm_set1_epi16(-1)};
}

// s[0] = p1, s[1] = p0, s[2] = q0, s[3] = q1; filters s[1] and s[2] in the
// lanes that are on.
void filter_chroma_lanes(__m128i* s, bool strong, const LaneThresholds& t) {
  const __m128i p1 = s[0], p0 = s[1], q0 = s[2], q1 = s[3];
  const __m128i active = _mm_and_si128(
      _mm_and_si128(_mm_cmplt_epi16(absdiff(p0, q0), t.alpha), _mm_cmplt_epi16(absdiff(p1, p0), t.beta)),
      _mm_and_si128(_mm_cmplt_epi16(absdiff(q1, q0), t.beta), t.on));
  const __m128i two = _mm_set1_epi16(2);
  if (!strong) {
    const __m128i tc = _mm_add_epi16(t.tc0, _mm_set1_epi16(1));
    const __m128i d = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1)),
                      _mm_set1_epi16(4)),
        3);
    const __m128i delta = clip(d, _mm_sub_epi16(_mm_setzero_si128(), tc), tc);
    s[1] = select(active, _mm_add_epi16(p0, delta), p0);
    s[2] = select(active, _mm_sub_epi16(q0, delta), q0);
    return;
  }
  s[1] = select(active, _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(p1, 1), p0), _mm_add_epi16(q1, two)), 2), p0);
  s[2] = select(active, _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(q1, 1), q0), _mm_add_epi16(p1, two)), 2), q0);
}

// Vertical chroma edge: the rows of both planes, p1..q1 of each, transposed
// so that lanes hold rows.
void filter_chroma_vertical(uint8_t* a, uint8_t* b, ptrdiff_t pitch, int lines, uint8_t bS, uint8_t qPavA,
                            uint8_t qPavB, const int8_t* offsets) {
  const Thresholds ta = thresholds(bS, qPavA, offsets), tb = thresholds(bS, qPavB, offsets);
  __m128i rows[8];
  for (int i = 0; i < 4; ++i) {
    rows[i] = i < lines ? load4(a + i * pitch - 2) : _mm_setzero_si128();
    rows[4 + i] = i < lines ? load4(b + i * pitch - 2) : _mm_setzero_si128();
  }
  __m128i s[8];
  transpose_to_lanes(rows, s);  // s[0..3] = p1, p0, q0, q1
  filter_chroma_lanes(s, bS == 4, two_planes(ta, tb));
  __m128i packed[8];
  for (int i = 0; i < 8; ++i) packed[i] = _mm_packus_epi16(s[i], s[i]);
  __m128i out[8];
  transpose_to_lanes(packed, out);
  for (int i = 0; i < lines; ++i) {
    store4(a + i * pitch - 2, _mm_packus_epi16(out[i], out[i]));
    store4(b + i * pitch - 2, _mm_packus_epi16(out[4 + i], out[4 + i]));
  }
}

// Horizontal chroma edge: rows p1..q1 of each plane read once, rows p0 and q0
// written back.
void filter_chroma_horizontal(uint8_t* a, uint8_t* b, ptrdiff_t pitch, int lines, uint8_t bS, uint8_t qPavA,
                              uint8_t qPavB, const int8_t* offsets) {
  const Thresholds ta = thresholds(bS, qPavA, offsets), tb = thresholds(bS, qPavB, offsets);
  const __m128i zero = _mm_setzero_si128();
  __m128i s[4];
  for (int k = 0; k < 4; ++k) {
    const ptrdiff_t at = (k - 2) * pitch;
    s[k] = _mm_unpacklo_epi8(_mm_unpacklo_epi32(load4(a + at), load4(b + at)), zero);
  }
  filter_chroma_lanes(s, bS == 4, two_planes(ta, tb));
  for (int k = 1; k <= 2; ++k) {
    const ptrdiff_t at = (k - 2) * pitch;
    const __m128i v = _mm_packus_epi16(s[k], s[k]);
    const int32_t wa = _mm_cvtsi128_si32(v), wb = _mm_cvtsi128_si32(_mm_srli_si128(v, 4));
    std::memcpy(a + at, &wa, static_cast<size_t>(lines));
    std::memcpy(b + at, &wb, static_cast<size_t>(lines));
  }
}

// ---- Whole macroblock edges: one bS per segment, carried in the lanes.

inline __m128i pairs(int a, int b, int c, int d) {
  return _mm_set_epi16(static_cast<int16_t>(d), static_cast<int16_t>(d), static_cast<int16_t>(c),
                       static_cast<int16_t>(c), static_cast<int16_t>(b), static_cast<int16_t>(b),
                       static_cast<int16_t>(a), static_cast<int16_t>(a));
}
inline int on_mask(uint8_t bS) { return bS ? -1 : 0; }
inline __m128i loadu(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// The first four bytes of 16 rows (in registers) as four 16-byte columns.
void first_columns(const __m128i* rows, __m128i* c) {
  __m128i x[8], y[4];
  for (int i = 0; i < 8; ++i) x[i] = _mm_unpacklo_epi8(rows[2 * i], rows[2 * i + 1]);
  for (int j = 0; j < 4; ++j) y[j] = _mm_unpacklo_epi16(x[2 * j], x[2 * j + 1]);  // columns 0-3 of rows 4j..4j+3
  const __m128i a01 = _mm_unpacklo_epi32(y[0], y[1]), b01 = _mm_unpackhi_epi32(y[0], y[1]);  // rows 0-7
  const __m128i a23 = _mm_unpacklo_epi32(y[2], y[3]), b23 = _mm_unpackhi_epi32(y[2], y[3]);  // rows 8-15
  c[0] = _mm_unpacklo_epi64(a01, a23);
  c[1] = _mm_unpackhi_epi64(a01, a23);
  c[2] = _mm_unpacklo_epi64(b01, b23);
  c[3] = _mm_unpackhi_epi64(b01, b23);
}

// Four 16-byte columns back as four bytes per row: w[g] holds rows
// 4g..4g+3, one 32-bit word each.
void columns_to_words(const __m128i* c, __m128i* w) {
  const __m128i lo01 = _mm_unpacklo_epi8(c[0], c[1]), hi01 = _mm_unpackhi_epi8(c[0], c[1]);
  const __m128i lo23 = _mm_unpacklo_epi8(c[2], c[3]), hi23 = _mm_unpackhi_epi8(c[2], c[3]);
  w[0] = _mm_unpacklo_epi16(lo01, lo23);
  w[1] = _mm_unpackhi_epi16(lo01, lo23);
  w[2] = _mm_unpacklo_epi16(hi01, hi23);
  w[3] = _mm_unpackhi_epi16(hi01, hi23);
}

// Four bytes from each of 16 rows from `at` as four 16-byte columns.
void load_columns4(const uint8_t* at, ptrdiff_t pitch, __m128i* c) {
  __m128i rows[16];
  for (int i = 0; i < 16; ++i) rows[i] = load4(at + i * pitch);
  first_columns(rows, c);
}

// Writes four 16-byte columns as four bytes on each of 16 rows from `at`.
void store_columns4(uint8_t* at, ptrdiff_t pitch, const __m128i* c) {
  __m128i w[4];
  columns_to_words(c, w);
  for (int g = 0; g < 4; ++g)
    for (int i = 0; i < 4; ++i, at += pitch) {
      store4(at, w[g]);
      w[g] = _mm_srli_si128(w[g], 4);
    }
}

// Four 16-byte columns into the first four bytes of 16 rows in registers.
void set_first_columns(const __m128i* c, __m128i* rows) {
  __m128i w[4];
  columns_to_words(c, w);
  for (int g = 0; g < 4; ++g)
    for (int i = 0; i < 4; ++i) {
      __m128i& r = rows[4 * g + i];
      r = _mm_castps_si128(_mm_move_ss(_mm_castsi128_ps(r), _mm_castsi128_ps(w[g])));
      w[g] = _mm_srli_si128(w[g], 4);
    }
}

// Transposes 16 rows of 16 bytes; its own inverse.
void transpose16(const __m128i* in, __m128i* out) {
  __m128i a[16], b[16], c[16];
  for (int i = 0; i < 8; ++i) {
    a[2 * i] = _mm_unpacklo_epi8(in[2 * i], in[2 * i + 1]);      // columns 0-7 of rows 2i, 2i+1
    a[2 * i + 1] = _mm_unpackhi_epi8(in[2 * i], in[2 * i + 1]);  // columns 8-15
  }
  for (int j = 0; j < 4; ++j) {  // rows 4j..4j+3: columns 0-3, 4-7, 8-11, 12-15
    b[4 * j] = _mm_unpacklo_epi16(a[4 * j], a[4 * j + 2]);
    b[4 * j + 1] = _mm_unpackhi_epi16(a[4 * j], a[4 * j + 2]);
    b[4 * j + 2] = _mm_unpacklo_epi16(a[4 * j + 1], a[4 * j + 3]);
    b[4 * j + 3] = _mm_unpackhi_epi16(a[4 * j + 1], a[4 * j + 3]);
  }
  for (int h = 0; h < 2; ++h)  // rows 8h..8h+7: two columns per register
    for (int g = 0; g < 4; ++g) {
      c[8 * h + 2 * g] = _mm_unpacklo_epi32(b[8 * h + g], b[8 * h + 4 + g]);
      c[8 * h + 2 * g + 1] = _mm_unpackhi_epi32(b[8 * h + g], b[8 * h + 4 + g]);
    }
  for (int k = 0; k < 8; ++k) {
    out[2 * k] = _mm_unpacklo_epi64(c[k], c[8 + k]);
    out[2 * k + 1] = _mm_unpackhi_epi64(c[k], c[8 + k]);
  }
}

// One edge of 16 lines held as bytes: v[0..7] = p3..q3, one line per byte
// lane. Returns false when the thresholds let nothing through.
struct EdgeParams {
  int alpha, beta;
  const uint8_t* clipRow;  // tC0 by bS
};

inline bool edge_params(uint8_t qPav, const int8_t* offsets, EdgeParams* e) {
  const int indexA = clip3(0, 51, qPav + offsets[0]);
  const int indexB = clip3(0, 51, qPav + offsets[1]);
  *e = {AlphaTable[indexA], BetaTable[indexB], ClipTable + 5 * indexA};
  return e->alpha != 0 && e->beta != 0;
}

inline __m128i absdiff8(__m128i a, __m128i b) { return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a)); }
// All ones in the bytes where d < limit + 1.
inline __m128i within8(__m128i d, __m128i limit) {
  return _mm_cmpeq_epi8(_mm_subs_epu8(d, limit), _mm_setzero_si128());
}
// Four segment bytes (in the low 32 bits) spread to 16 lines of four.
inline __m128i per_segment8(__m128i v) {
  v = _mm_unpacklo_epi8(v, v);
  return _mm_unpacklo_epi16(v, v);
}
// The four strengths as bytes, and all ones where a strength is not 0.
inline __m128i strength_bytes(const uint8_t bS[4]) {
  uint32_t w;
  std::memcpy(&w, bS, 4);
  return _mm_cvtsi32_si128(static_cast<int>(w));
}
inline __m128i nonzero8(__m128i v) {
  return _mm_xor_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_set1_epi8(-1));
}
// tC0 of the four strengths as bytes (plus `add` each).
inline __m128i clip_bytes(const uint8_t* clipRow, const uint8_t bS[4], unsigned add) {
  const uint32_t w = clipRow[bS[0]] | clipRow[bS[1]] << 8 | clipRow[bS[2]] << 16 |
                     static_cast<uint32_t>(clipRow[bS[3]]) << 24;
  return _mm_cvtsi32_si128(static_cast<int>(w + add * 0x01010101u));
}

// (a + b) >> 1 on bytes: the rounding-up average less the carry bit.
inline __m128i avg_down(__m128i a, __m128i b) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

// p0 + delta and q0 - delta on 16 lines of bytes, delta =
// (4 * (q0 - p0) + (p1 - q1) + 4) >> 3 clipped to +-tc (bytes), in 16-bit
// lanes and saturated back to bytes.
void add_delta(__m128i p1, __m128i p0, __m128i q0, __m128i q1, __m128i tc, __m128i* p0n, __m128i* q0n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i p[2], q[2];
  for (int h = 0; h < 2; ++h) {
    auto widen = [&](__m128i x) { return h ? _mm_unpackhi_epi8(x, zero) : _mm_unpacklo_epi8(x, zero); };
    const __m128i wp1 = widen(p1), wp0 = widen(p0), wq0 = widen(q0), wq1 = widen(q1), wtc = widen(tc);
    const __m128i d = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(wq0, wp0), 2), _mm_sub_epi16(wp1, wq1)),
                      _mm_set1_epi16(4)),
        3);
    const __m128i delta = clip(d, _mm_sub_epi16(zero, wtc), wtc);
    p[h] = _mm_add_epi16(wp0, delta);
    q[h] = _mm_sub_epi16(wq0, delta);
  }
  *p0n = _mm_packus_epi16(p[0], p[1]);
  *q0n = _mm_packus_epi16(q[0], q[1]);
}

// bS 1..3 on 16 lines held as bytes (v[1..6] = p2..q2, line i in byte i,
// segment k in bytes 4k..4k+3): the thresholds, p1 and q1 on bytes; only
// the p0/q0 delta in 16-bit lanes. (p2 + ((p0 + q0 + 1) >> 1)) >> 1 is the
// rounding-up byte average less the carry bit; clipping p1 to p1 +- tC0
// saturates exactly as the result lies between the two.
void filter_luma_normal_bytes(__m128i* v, const uint8_t bS[4], const EdgeParams& e) {
  const __m128i p2 = v[1], p1 = v[2], p0 = v[3], q0 = v[4], q1 = v[5], q2 = v[6];
  const __m128i alpha1 = _mm_set1_epi8(static_cast<char>(e.alpha - 1));
  const __m128i beta1 = _mm_set1_epi8(static_cast<char>(e.beta - 1));
  const __m128i on = per_segment8(nonzero8(strength_bytes(bS)));
  const __m128i active =
      _mm_and_si128(_mm_and_si128(within8(absdiff8(p0, q0), alpha1), within8(absdiff8(p1, p0), beta1)),
                    _mm_and_si128(within8(absdiff8(q1, q0), beta1), on));
  if (_mm_movemask_epi8(active) == 0) return;
  const __m128i ap = within8(absdiff8(p2, p0), beta1), aq = within8(absdiff8(q2, q0), beta1);
  const __m128i tc0 = per_segment8(clip_bytes(e.clipRow, bS, 0));
  const __m128i mid = _mm_avg_epu8(p0, q0);
  auto clip_near = [&](__m128i x, __m128i c) {
    return _mm_min_epu8(_mm_max_epu8(x, _mm_subs_epu8(c, tc0)), _mm_adds_epu8(c, tc0));
  };
  const __m128i p1n = clip_near(avg_down(p2, mid), p1), q1n = clip_near(avg_down(q2, mid), q1);
  // tC = tC0 + ap + aq (the masks are -1 where set).
  __m128i p0n, q0n;
  add_delta(p1, p0, q0, q1, _mm_sub_epi8(_mm_sub_epi8(tc0, ap), aq), &p0n, &q0n);
  v[3] = select(active, p0n, p0);
  v[4] = select(active, q0n, q0);
  v[2] = select(_mm_and_si128(active, ap), p1n, p1);
  v[5] = select(_mm_and_si128(active, aq), q1n, q1);
}

void filter_luma_vectors(__m128i* v, const uint8_t bS[4], const EdgeParams& e) {
  if (bS[0] != 4) {
    filter_luma_normal_bytes(v, bS, e);
    return;
  }
  const __m128i zero = _mm_setzero_si128();
  __m128i s[2][8];
  for (int k = 0; k < 8; ++k) {
    s[0][k] = _mm_unpacklo_epi8(v[k], zero);
    s[1][k] = _mm_unpackhi_epi8(v[k], zero);
  }
  const __m128i all = _mm_set1_epi16(-1), unused = zero;
  for (int h = 0; h < 2; ++h) {
    const LaneThresholds t = {_mm_set1_epi16(static_cast<int16_t>(e.alpha)),
                              _mm_set1_epi16(static_cast<int16_t>(e.beta)), unused, all};
    filter_luma_lanes(s[h], true, t);
  }
  for (int k = 1; k < 7; ++k) v[k] = _mm_packus_epi16(s[0][k], s[1][k]);
}

void luma_edge(uint8_t* q0, ptrdiff_t pitch, bool vertical, const uint8_t bS[4], uint8_t qPav, const int8_t* offsets) {
  EdgeParams e;
  if (!edge_params(qPav, offsets, &e)) return;
  __m128i v[8];
  if (vertical) {
    load_columns4(q0 - 4, pitch, v);
    load_columns4(q0, pitch, v + 4);
    filter_luma_vectors(v, bS, e);
    store_columns4(q0 - 4, pitch, v);
    store_columns4(q0, pitch, v + 4);
    return;
  }
  for (int k = 0; k < 8; ++k) v[k] = loadu(q0 + (k - 4) * pitch);
  filter_luma_vectors(v, bS, e);
  for (int k = 1; k < 7; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(q0 + (k - 4) * pitch), v[k]);
}

// The luma of one macroblock: its 16 rows (and the four samples left of
// them, the four rows above) read once; the vertical edges filtered on
// columns, the horizontal edges on rows; everything written back once.
void luma_macroblock(uint8_t* y, ptrdiff_t pitch, const uint8_t (*vbs)[4], const uint8_t (*hbs)[4],
                     const uint8_t qpV[2], const uint8_t qpH[2], const int8_t* offsets) {
  auto any = [](const uint8_t* bs) {
    uint32_t w;
    std::memcpy(&w, bs, 4);
    return w != 0;
  };
  auto anyOf = [&](const uint8_t (*bs)[4]) { return bs && (any(bs[0]) || any(bs[1]) || any(bs[2]) || any(bs[3])); };
  if (!anyOf(vbs)) vbs = nullptr;
  if (!anyOf(hbs)) hbs = nullptr;
  if (!vbs && !hbs) return;
  __m128i rows[16];
  for (int i = 0; i < 16; ++i) rows[i] = loadu(y + i * pitch);
  EdgeParams e;
  if (vbs && !any(vbs[1]) && !any(vbs[2]) && !any(vbs[3])) {
    // Only the left edge: its four columns of the rows, no whole transpose.
    if (edge_params(qpV[0], offsets, &e)) {
      __m128i cols[8];  // columns -4..3
      load_columns4(y - 4, pitch, cols);
      first_columns(rows, cols + 4);
      filter_luma_vectors(cols, vbs[0], e);
      store_columns4(y - 4, pitch, cols);
      set_first_columns(cols + 4, rows);
    }
  } else if (vbs) {
    __m128i cols[20];  // columns -4..15
    transpose16(rows, cols + 4);
    const bool leftEdge = any(vbs[0]) && edge_params(qpV[0], offsets, &e);
    if (leftEdge) {
      load_columns4(y - 4, pitch, cols);
      filter_luma_vectors(cols, vbs[0], e);
      store_columns4(y - 4, pitch, cols);
    }
    if (edge_params(qpV[1], offsets, &e))
      for (int k = 1; k < 4; ++k)
        if (any(vbs[k])) filter_luma_vectors(cols + 4 * k, vbs[k], e);
    transpose16(cols + 4, rows);
  }
  if (hbs) {
    if (any(hbs[0]) && edge_params(qpH[0], offsets, &e)) {
      __m128i v[8];
      for (int k = 0; k < 4; ++k) v[k] = loadu(y + (k - 4) * pitch);
      for (int k = 0; k < 4; ++k) v[4 + k] = rows[k];
      filter_luma_vectors(v, hbs[0], e);
      for (int k = 1; k < 4; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(y + (k - 4) * pitch), v[k]);
      for (int k = 0; k < 3; ++k) rows[k] = v[4 + k];
    }
    if (edge_params(qpH[1], offsets, &e))
      for (int k = 1; k < 4; ++k)
        if (any(hbs[k])) filter_luma_vectors(rows + 4 * k - 4, hbs[k], e);
  }
  for (int i = 0; i < 16; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(y + i * pitch), rows[i]);
}

// Columns p1, p0, q0, q1 of eight rows of four bytes, widened to lanes.
void chroma_columns(const uint8_t* p1, ptrdiff_t pitch, __m128i* s) {
  __m128i x[4];
  for (int i = 0; i < 4; ++i) x[i] = _mm_unpacklo_epi8(load4(p1 + 2 * i * pitch), load4(p1 + (2 * i + 1) * pitch));
  const __m128i y0 = _mm_unpacklo_epi16(x[0], x[1]), y1 = _mm_unpacklo_epi16(x[2], x[3]);
  const __m128i z0 = _mm_unpacklo_epi32(y0, y1), z1 = _mm_unpackhi_epi32(y0, y1);
  const __m128i zero = _mm_setzero_si128();
  s[0] = _mm_unpacklo_epi8(z0, zero);
  s[1] = _mm_unpackhi_epi8(z0, zero);
  s[2] = _mm_unpacklo_epi8(z1, zero);
  s[3] = _mm_unpackhi_epi8(z1, zero);
}

// Thresholds of one chroma plane's edge, two lines per segment; false when
// they let nothing through.
bool chroma_thresholds(uint8_t qPav, const int8_t* offsets, const uint8_t bS[4], __m128i on, LaneThresholds* t) {
  EdgeParams e;
  if (!edge_params(qPav, offsets, &e)) return false;
  *t = {_mm_set1_epi16(static_cast<int16_t>(e.alpha)), _mm_set1_epi16(static_cast<int16_t>(e.beta)),
        pairs(e.clipRow[bS[0]], e.clipRow[bS[1]], e.clipRow[bS[2]], e.clipRow[bS[3]]), on};
  return true;
}

inline __m128i chroma_on(const uint8_t bS[4]) {
  return pairs(on_mask(bS[0]), on_mask(bS[1]), on_mask(bS[2]), on_mask(bS[3]));
}

void chroma_edge(uint8_t* a, uint8_t* b, ptrdiff_t pitch, bool vertical, const uint8_t bS[4], uint8_t qPavA,
                 uint8_t qPavB, const int8_t* offsets) {
  uint8_t* planes[2] = {a, b};
  const uint8_t qps[2] = {qPavA, qPavB};
  const bool strong = bS[0] == 4;
  const __m128i on = chroma_on(bS);
  const __m128i zero = _mm_setzero_si128();
  for (int h = 0; h < 2; ++h) {
    LaneThresholds t;
    if (!chroma_thresholds(qps[h], offsets, bS, on, &t)) continue;
    uint8_t* q0 = planes[h];
    __m128i s[4];
    if (vertical) {
      chroma_columns(q0 - 2, pitch, s);
    } else {
      for (int k = 0; k < 4; ++k) s[k] = _mm_unpacklo_epi8(load8(q0 + (k - 2) * pitch), zero);
    }
    filter_chroma_lanes(s, strong, t);
    if (!vertical) {
      store8(q0 - pitch, _mm_packus_epi16(s[1], s[1]));
      store8(q0, _mm_packus_epi16(s[2], s[2]));
      continue;
    }
    // p0 and q0 of each row, two bytes per row at q0 - 1.
    const __m128i v = _mm_packus_epi16(s[1], s[2]);
    __m128i w = _mm_unpacklo_epi8(v, _mm_srli_si128(v, 8));
    uint8_t* row = q0 - 1;
    for (int i = 0; i < 8; i += 2, row += 2 * pitch) {
      const uint32_t two = static_cast<uint32_t>(_mm_cvtsi128_si32(w));
      const uint16_t lo = static_cast<uint16_t>(two), hi = static_cast<uint16_t>(two >> 16);
      std::memcpy(row, &lo, 2);
      std::memcpy(row + pitch, &hi, 2);
      w = _mm_srli_si128(w, 4);
    }
  }
}

// One chroma edge of both planes held as bytes: v[0..3] = p1, p0, q0, q1
// with Cb lines in bytes 0-7 and Cr lines in bytes 8-15 (segment k in the
// bytes 2k, 2k + 1 of each half). Thresholds and the bS 4 filter on bytes:
// (2 * p1 + p0 + q1 + 2) >> 2 is the rounding-up average of p1 and the
// rounded-down average of p0 and q1. The bS 1..3 delta in 16-bit lanes.
void filter_chroma_vectors(__m128i* v, const uint8_t bS[4], const uint8_t qp[2], const int8_t* offsets) {
  EdgeParams e[2];
  const bool pass[2] = {edge_params(qp[0], offsets, &e[0]), edge_params(qp[1], offsets, &e[1])};
  if (!pass[0] && !pass[1]) return;
  const __m128i p1 = v[0], p0 = v[1], q0 = v[2], q1 = v[3];
  auto planes = [](int cb, int cr) {
    return _mm_unpacklo_epi64(_mm_set1_epi8(static_cast<char>(cb)), _mm_set1_epi8(static_cast<char>(cr)));
  };
  // Two lines per segment in each half.
  const __m128i onSegments = nonzero8(strength_bytes(bS));
  const __m128i onLines = _mm_unpacklo_epi8(onSegments, onSegments);
  const __m128i on = _mm_and_si128(_mm_unpacklo_epi64(onLines, onLines), planes(pass[0] ? -1 : 0, pass[1] ? -1 : 0));
  const __m128i alpha1 = planes(e[0].alpha - 1, e[1].alpha - 1), beta1 = planes(e[0].beta - 1, e[1].beta - 1);
  const __m128i active =
      _mm_and_si128(_mm_and_si128(within8(absdiff8(p0, q0), alpha1), within8(absdiff8(p1, p0), beta1)),
                    _mm_and_si128(within8(absdiff8(q1, q0), beta1), on));
  if (_mm_movemask_epi8(active) == 0) return;
  __m128i p0n, q0n;
  if (bS[0] == 4) {
    p0n = _mm_avg_epu8(p1, avg_down(p0, q1));
    q0n = _mm_avg_epu8(q1, avg_down(q0, p1));
  } else {
    auto lines = [&](int h) {
      const __m128i tcSegments = clip_bytes(pass[h] ? e[h].clipRow : ClipTable, bS, 1);
      return _mm_unpacklo_epi8(tcSegments, tcSegments);
    };
    add_delta(p1, p0, q0, q1, _mm_unpacklo_epi64(lines(0), lines(1)), &p0n, &q0n);
  }
  v[1] = select(active, p0n, p0);
  v[2] = select(active, q0n, q0);
}

// The chroma of one macroblock: eight rows of each plane from two samples
// left of it read once (Cb rows, then Cr rows, as 16 rows of 16 bytes:
// columns -2..13, so that the columns of edge 0 are the rows' first four
// bytes and those of edge 2 the next four), vertical edges filtered on
// columns, horizontal edges on the rows, written back once (columns 8..13,
// of the macroblock to the right, as they were).
void chroma_macroblock(uint8_t* cb, uint8_t* cr, ptrdiff_t pitch, const uint8_t (*vbs)[4], const uint8_t (*hbs)[4],
                       const uint8_t (*qpV)[2], const uint8_t (*qpH)[2], const int8_t* offsets) {
  auto any = [](const uint8_t (*bs)[4], int e) {
    uint32_t w = 0;
    if (bs) std::memcpy(&w, bs[e], 4);
    return w != 0;
  };
  const bool v0 = any(vbs, 0), v2 = any(vbs, 2), h0 = any(hbs, 0), h2 = any(hbs, 2);
  if (!(v0 || v2 || h0 || h2)) return;
  uint8_t* planes[2] = {cb, cr};
  __m128i rows[16];
  for (int h = 0; h < 2; ++h)
    for (int i = 0; i < 8; ++i) rows[8 * h + i] = loadu(planes[h] + i * pitch - 2);
  if (v2) {
    __m128i cols[16];  // column c at 2 + c
    transpose16(rows, cols);
    if (v0) filter_chroma_vectors(cols, vbs[0], qpV[0], offsets);
    filter_chroma_vectors(cols + 4, vbs[2], qpV[1], offsets);
    transpose16(cols, rows);
  } else if (v0) {
    __m128i cols[4];
    first_columns(rows, cols);
    filter_chroma_vectors(cols, vbs[0], qpV[0], offsets);
    set_first_columns(cols, rows);
  }
  // Horizontal edges: columns 0-7 are bytes 2-9 of the rows, Cb and Cr
  // side by side; edge 0 takes p1 and p0 from the two rows above.
  const __m128i middle = _mm_set_epi8(0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0);
  for (int e = 0; e < 4; e += 2) {
    if (!(e ? h2 : h0)) continue;
    __m128i v[4];
    for (int k = 0; k < 4; ++k) {
      const int line = 2 * e + k - 2;
      auto part = [&](int h) {
        return line < 0 ? load8(planes[h] + line * pitch) : _mm_srli_si128(rows[8 * h + line], 2);
      };
      v[k] = _mm_unpacklo_epi64(part(0), part(1));
    }
    filter_chroma_vectors(v, hbs[e], e ? qpH[1] : qpH[0], offsets);
    for (int k = 1; k < 3; ++k) {
      const int line = 2 * e + k - 2;
      for (int h = 0; h < 2; ++h) {
        const __m128i part = h ? _mm_srli_si128(v[k], 8) : v[k];
        if (line < 0)
          store8(planes[h] + line * pitch, part);
        else
          rows[8 * h + line] = select(middle, _mm_slli_si128(part, 2), rows[8 * h + line]);
      }
    }
  }
  for (int h = 0; h < 2; ++h)
    for (int i = 0; i < 8; ++i)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[h] + i * pitch - 2), rows[8 * h + i]);
}

}  // namespace

void FilteringProcessVerticalLuma8x8(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  filter_luma_vertical(q0, pitch, 8, bS, qPav, offsets);
}

void FilteringProcessVerticalLuma4x4(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  filter_luma_vertical(q0, pitch, 4, bS, qPav, offsets);
}

void FilteringProcessHorizontalLuma8x8(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch) {
  filter_luma_horizontal(q0, pitch, 8, bS, qPav, offsets);
}

void FilteringProcessHorizontalLuma4x4(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch) {
  filter_luma_horizontal(q0, pitch, 4, bS, qPav, offsets);
}

// The single-row form (mixed frame/field edges) stays scalar.
void FilteringProcessVerticalLuma(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  const Thresholds t = thresholds(bS, qPav, offsets);
  if (t.alpha != 0 && t.beta != 0) filter_luma_line(q0, 1, bS, t);
}

void FilteringProcessVerticalChroma4x4(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets) {
  filter_chroma_vertical(a, b, pitch, 4, bS, qPavA, qPavB, offsets);
}

void FilteringProcessVerticalChroma2x2(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets) {
  filter_chroma_vertical(a, b, pitch, 2, bS, qPavA, qPavB, offsets);
}

void FilteringProcessHorizontalChroma4x4(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch) {
  filter_chroma_horizontal(a, b, pitch, 4, bS, qPavA, qPavB, offsets);
}

void FilteringProcessHorizontalChroma2x2(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch) {
  filter_chroma_horizontal(a, b, pitch, 2, bS, qPavA, qPavB, offsets);
}

// The single-row form stays scalar: Cb, then Cr.
void FilteringProcessVerticalChroma(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                    const int8_t* offsets) {
  filter_chroma_line(a, 1, bS, thresholds(bS, qPavA, offsets));
  filter_chroma_line(b, 1, bS, thresholds(bS, qPavB, offsets));
}

void filter_luma_edge(uint8_t* q0, int pitch, bool vertical, const uint8_t bS[4], uint8_t qPav,
                      const int8_t* offsets) {
  luma_edge(q0, pitch, vertical, bS, qPav, offsets);
}

void filter_chroma_edge(uint8_t* cb, uint8_t* cr, int pitch, bool vertical, const uint8_t bS[4], uint8_t qPavCb,
                        uint8_t qPavCr, const int8_t* offsets) {
  chroma_edge(cb, cr, pitch, vertical, bS, qPavCb, qPavCr, offsets);
}

void filter_luma_macroblock(uint8_t* y, int pitch, const uint8_t (*vertical)[4], const uint8_t (*horizontal)[4],
                            const uint8_t qpVertical[2], const uint8_t qpHorizontal[2], const int8_t* offsets) {
  luma_macroblock(y, pitch, vertical, horizontal, qpVertical, qpHorizontal, offsets);
}

void filter_chroma_macroblock(uint8_t* cb, uint8_t* cr, int pitch, const uint8_t (*vertical)[4],
                              const uint8_t (*horizontal)[4], const uint8_t (*qpVertical)[2],
                              const uint8_t (*qpHorizontal)[2], const int8_t* offsets) {
  chroma_macroblock(cb, cr, pitch, vertical, horizontal, qpVertical, qpHorizontal, offsets);
}
