// Luma and chroma edge sample filters of the in-loop deblocking filter.
// One set of thresholds per call; every line is filtered from the samples as
// they were on entry (a line's outputs never feed another line).
#include "deblock_filters.h"

#include <cstddef>
#include <cstdlib>

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

Thresholds thresholds(uint8_t bS, uint8_t qPav, const int8_t* offsets) {
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

// `lines` lines starting at q0, `along` apart, each crossing the edge by `across`.
void filter_luma(uint8_t* q0, ptrdiff_t along, ptrdiff_t across, int lines, uint8_t bS, uint8_t qPav,
                 const int8_t* offsets) {
  const Thresholds t = thresholds(bS, qPav, offsets);
  if (t.alpha == 0 || t.beta == 0) return;
  for (int i = 0; i < lines; ++i) filter_luma_line(q0 + i * along, across, bS, t);
}

void filter_chroma(uint8_t* a, uint8_t* b, ptrdiff_t along, ptrdiff_t across, int lines, uint8_t bS,
                   uint8_t qPavA, uint8_t qPavB, const int8_t* offsets) {
  const Thresholds ta = thresholds(bS, qPavA, offsets);
  const Thresholds tb = thresholds(bS, qPavB, offsets);
  for (int i = 0; i < lines; ++i) filter_chroma_line(a + i * along, across, bS, ta);
  for (int i = 0; i < lines; ++i) filter_chroma_line(b + i * along, across, bS, tb);
}

}  // namespace

void FilteringProcessVerticalLuma8x8(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  filter_luma(q0, pitch, 1, 8, bS, qPav, offsets);
}

void FilteringProcessVerticalLuma4x4(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  filter_luma(q0, pitch, 1, 4, bS, qPav, offsets);
}

void FilteringProcessHorizontalLuma8x8(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch) {
  filter_luma(q0, 1, pitch, 8, bS, qPav, offsets);
}

void FilteringProcessHorizontalLuma4x4(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch) {
  filter_luma(q0, 1, pitch, 4, bS, qPav, offsets);
}

void FilteringProcessVerticalLuma(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  filter_luma(q0, 0, 1, 1, bS, qPav, offsets);
}

void FilteringProcessVerticalChroma4x4(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets) {
  filter_chroma(a, b, pitch, 1, 4, bS, qPavA, qPavB, offsets);
}

void FilteringProcessVerticalChroma2x2(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets) {
  filter_chroma(a, b, pitch, 1, 2, bS, qPavA, qPavB, offsets);
}

void FilteringProcessHorizontalChroma4x4(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch) {
  filter_chroma(a, b, 1, pitch, 4, bS, qPavA, qPavB, offsets);
}

void FilteringProcessHorizontalChroma2x2(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch) {
  filter_chroma(a, b, 1, pitch, 2, bS, qPavA, qPavB, offsets);
}

void FilteringProcessVerticalChroma(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                    const int8_t* offsets) {
  filter_chroma(a, b, 0, 1, 1, bS, qPavA, qPavB, offsets);
}
