// Plain reference of the deblocking kernels: the standard's edge filter
// formulas one line at a time, the motion comparison block by block.
#include <cstdlib>

#include "deblock_filters.h"

namespace {

inline int clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }

inline int index_a(uint8_t qPav, const int8_t* offsets) { return clip3(0, 51, qPav + offsets[0]); }
inline int index_b(uint8_t qPav, const int8_t* offsets) { return clip3(0, 51, qPav + offsets[1]); }

// One line across the edge: s points at q0, `across` steps from q0 to q1;
// only the samples the filter changes are written.
[[gnu::always_inline]] inline void filter_line(uint8_t* s, ptrdiff_t across, int bS, int alpha, int beta, int tc0,
                                              bool chroma) {
  const int p0 = s[-across], p1 = s[-2 * across];
  const int q0 = s[0], q1 = s[across];
  if (!(std::abs(p0 - q0) < alpha && std::abs(p1 - p0) < beta && std::abs(q1 - q0) < beta)) return;
  const int p2 = chroma ? 0 : s[-3 * across], q2 = chroma ? 0 : s[2 * across];
  const bool ap = !chroma && std::abs(p2 - p0) < beta;
  const bool aq = !chroma && std::abs(q2 - q0) < beta;
  if (bS < 4) {
    const int tc = chroma ? tc0 + 1 : tc0 + ap + aq;
    const int delta = clip3(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
    s[-across] = static_cast<uint8_t>(clip3(0, 255, p0 + delta));
    s[0] = static_cast<uint8_t>(clip3(0, 255, q0 - delta));
    const int mid = (p0 + q0 + 1) >> 1;
    if (ap) s[-2 * across] = static_cast<uint8_t>(p1 + clip3(-tc0, tc0, (p2 + mid - 2 * p1) >> 1));
    if (aq) s[across] = static_cast<uint8_t>(q1 + clip3(-tc0, tc0, (q2 + mid - 2 * q1) >> 1));
    return;
  }
  const bool small = std::abs(p0 - q0) < ((alpha >> 2) + 2);
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

// The same with the thresholds of qPav and the offsets.
[[gnu::always_inline]] inline void filter_line(uint8_t* s, ptrdiff_t across, int bS, uint8_t qPav,
                                              const int8_t* offsets, bool chroma) {
  const int indexA = index_a(qPav, offsets);
  filter_line(s, across, bS, AlphaTable[indexA], BetaTable[index_b(qPav, offsets)],
              ClipTable[5 * indexA + (bS < 4 ? bS : 0)], chroma);
}

// Line i of an edge from q0: along the edge a line is a row (vertical edge)
// or a column; `step` crosses the edge.
inline uint8_t* line_at(uint8_t* q0, ptrdiff_t pitch, bool vertical, int i) {
  return vertical ? q0 + i * pitch : q0 + i;
}

void edge_lines(uint8_t* q0, ptrdiff_t pitch, bool vertical, int lines, uint8_t bS, uint8_t qPav,
                const int8_t* offsets, bool chroma) {
  for (int i = 0; i < lines; ++i) filter_line(line_at(q0, pitch, vertical, i), vertical ? 1 : pitch, bS, qPav, offsets, chroma);
}

void luma_lines(uint8_t* q0, ptrdiff_t pitch, bool vertical, int lines, uint8_t bS, uint8_t qPav,
                const int8_t* offsets) {
  edge_lines(q0, pitch, vertical, lines, bS, qPav, offsets, false);
}

void chroma_lines(uint8_t* cb, uint8_t* cr, ptrdiff_t pitch, bool vertical, int lines, uint8_t bS, uint8_t qPavCb,
                  uint8_t qPavCr, const int8_t* offsets) {
  edge_lines(cb, pitch, vertical, lines, bS, qPavCb, offsets, true);
  edge_lines(cr, pitch, vertical, lines, bS, qPavCr, offsets, true);
}

// One edge of `lines` lines with bS[k] for each group of lines / 4, with
// the thresholds of entry t.
void strength_edge(uint8_t* q0, ptrdiff_t pitch, bool vertical, int lines, const uint8_t bS[4],
                   const EdgeThresholds& t, bool chroma) {
  const int per = lines / 4;
  for (int k = 0; k < 4; ++k) {
    if (!bS[k]) continue;
    for (int i = 0; i < per; ++i)
      filter_line(line_at(q0, pitch, vertical, per * k + i), vertical ? 1 : pitch, bS[k], t.alpha, t.beta,
                  bS[k] < 4 ? t.tc0[bS[k]] : 0, chroma);
  }
}

void luma_macroblock(uint8_t* y, ptrdiff_t pitch, const uint8_t (*vbs)[4], const uint8_t (*hbs)[4],
                     const uint8_t qpV[2], const uint8_t qpH[2], const ThresholdTable* table) {
  for (int e = 0; vbs && e < 4; ++e)
    strength_edge(y + 4 * e, pitch, true, 16, vbs[e], table->byQp[qpV[e ? 1 : 0]], false);
  for (int e = 0; hbs && e < 4; ++e)
    strength_edge(y + 4 * e * pitch, pitch, false, 16, hbs[e], table->byQp[qpH[e ? 1 : 0]], false);
}

void chroma_macroblock(uint8_t* cb, uint8_t* cr, ptrdiff_t pitch, const uint8_t (*vbs)[4], const uint8_t (*hbs)[4],
                       const uint8_t (*qpV)[2], const uint8_t (*qpH)[2], const ThresholdTable* table) {
  uint8_t* planes[2] = {cb, cr};
  for (int h = 0; h < 2; ++h) {
    for (int e = 0; vbs && e < 4; e += 2)
      strength_edge(planes[h] + 2 * e, pitch, true, 8, vbs[e], table->byQp[qpV[e ? 1 : 0][h]], true);
    for (int e = 0; hbs && e < 4; e += 2)
      strength_edge(planes[h] + 2 * e * pitch, pitch, false, 8, hbs[e], table->byQp[qpH[e ? 1 : 0][h]], true);
  }
}

// Raster block r (4y + x) as luma4x4BlkIdx.
inline int block_index(int r) {
  const int x = r & 3, y = r >> 2;
  return 4 * (2 * (y >> 1) + (x >> 1)) + 2 * (y & 1) + (x & 1);
}

void block_motion(const uint8_t predFlagL0[4], const uint8_t predFlagL1[4], const uint8_t refIdL0[16],
                  const uint8_t refIdL1[16], const int16_t (*mvL0)[2], const int16_t (*mvL1)[2], BlockMotion* out) {
  for (int r = 0; r < 16; ++r) {
    const int b = block_index(r), q = b >> 2;
    const bool l0 = predFlagL0[q] != 0, l1 = predFlagL1[q] != 0, both = l0 && l1;
    if (!l0 && !l1) {
      out->ids[r] = kNoListPicture | kNoListPicture << 16;
      for (int c = 0; c < 2; ++c) out->mvA[r][c] = out->mvB[r][c] = 0;
      continue;
    }
    const uint32_t first = l0 ? refIdL0[b] : refIdL1[b], second = both ? refIdL1[b] : kOneListPicture;
    out->ids[r] = first | second << 16;
    for (int c = 0; c < 2; ++c) {
      out->mvA[r][c] = l0 ? mvL0[b][c] : mvL1[b][c];
      out->mvB[r][c] = both ? mvL1[b][c] : 0;
    }
  }
}

inline bool near(const int16_t* a, const int16_t* b, int limitY) {
  return std::abs(a[0] - b[0]) < 4 && std::abs(a[1] - b[1]) < limitY;
}

// Block q (the current macroblock's) against block p; a q block without a
// list has the motion of every block.
inline bool same_motion(uint32_t qId, const int16_t* qA, const int16_t* qB, uint32_t pId, const int16_t* pA,
                        const int16_t* pB, int limitY) {
  const uint32_t swapped = pId >> 16 | pId << 16;
  return qId == (kNoListPicture | kNoListPicture << 16) ||
         (qId == pId && near(qA, pA, limitY) && near(qB, pB, limitY)) ||
         (qId == swapped && near(qA, pB, limitY) && near(qB, pA, limitY));
}

void motion_strengths(const BlockMotion* cur, const BlockMotion* left, const BlockRowMotion* above, unsigned codedV,
                      unsigned codedH, int limitY, bool splitV, bool splitH, uint8_t* vertical, uint8_t* horizontal) {
  for (int e = 0; e < 4; ++e)
    for (int k = 0; k < 4; ++k) {
      const int qv = 4 * k + e, qh = 4 * e + k;  // q blocks of vertical edge e / horizontal edge e, segment k
      const bool sameV = (e == 2 && !splitV) ||
                         (e ? same_motion(cur->ids[qv], cur->mvA[qv], cur->mvB[qv], cur->ids[qv - 1], cur->mvA[qv - 1],
                                          cur->mvB[qv - 1], limitY)
                            : same_motion(cur->ids[qv], cur->mvA[qv], cur->mvB[qv], left->ids[qv + 3],
                                          left->mvA[qv + 3], left->mvB[qv + 3], limitY));
      const bool sameH = (e == 2 && !splitH) ||
                         (e ? same_motion(cur->ids[qh], cur->mvA[qh], cur->mvB[qh], cur->ids[qh - 4], cur->mvA[qh - 4],
                                          cur->mvB[qh - 4], limitY)
                            : same_motion(cur->ids[qh], cur->mvA[qh], cur->mvB[qh], above->ids[k], above->mvA[k],
                                          above->mvB[k], limitY));
      const int bit = 4 * e + k;
      vertical[bit] = static_cast<uint8_t>((codedV >> bit) & 1 ? 2 : sameV ? 0 : 1);
      horizontal[bit] = static_cast<uint8_t>((codedH >> bit) & 1 ? 2 : sameH ? 0 : 1);
    }
}

}  // namespace

void c_deblock_line(uint8_t* q0, ptrdiff_t step, int bS, int indexA, int indexB, bool chroma) {
  filter_line(q0, step, bS, AlphaTable[indexA], BetaTable[indexB], ClipTable[5 * indexA + (bS < 4 ? bS : 0)], chroma);
}

void c_deblock_luma_row(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  filter_line(q0, 1, bS, qPav, offsets, false);
}

void c_deblock_chroma_row(uint8_t* cb, uint8_t* cr, uint8_t bS, uint8_t qPavCb, uint8_t qPavCr,
                          const int8_t* offsets) {
  filter_line(cb, 1, bS, qPavCb, offsets, true);
  filter_line(cr, 1, bS, qPavCr, offsets, true);
}

const DeblockDsp c_deblock_dsp = {&luma_lines,         &chroma_lines,         &luma_macroblock,
                                  &chroma_macroblock,  &c_deblock_luma_row,   &c_deblock_chroma_row,
                                  &block_motion,       &motion_strengths};
