// Boundary strengths of the macroblock and internal edges, and the calls
// into the sample filters that they group.
#include <cstdlib>

#include "deblock_filters.h"
#include "reconstruction.h"

namespace {

// (q block, p block) of the four segments of each edge, vertical x = 0, 4,
// 8, 12 then horizontal y = 0, 4, 8, 12 (luma4x4BlkIdx numbers).
const uint8_t kSegmentBlocks[2][4][4][2] = {
    {{{0, 5}, {2, 7}, {8, 13}, {10, 15}},
     {{1, 0}, {3, 2}, {9, 8}, {11, 10}},
     {{4, 1}, {6, 3}, {12, 9}, {14, 11}},
     {{5, 4}, {7, 6}, {13, 12}, {15, 14}}},
    {{{0, 10}, {1, 11}, {4, 14}, {5, 15}},
     {{2, 0}, {3, 1}, {6, 4}, {7, 5}},
     {{8, 2}, {9, 3}, {12, 6}, {13, 7}},
     {{10, 8}, {11, 9}, {14, 12}, {15, 13}}}};

inline bool coded(const MacroblockRecord* mb, int block) { return (mb->luma_nonzero_mask >> block) & 1; }
inline bool is_frame_mb(const MacroblockRecord* mb) { return mb->mb_structure == 2; }
inline uint8_t usage(const MacroblockRecord* mb, int block) {
  return static_cast<uint8_t>((mb->pred_flag_l0[block >> 2] ? 1 : 0) + (mb->pred_flag_l1[block >> 2] ? 2 : 0));
}

struct SliceKind {
  bool mbaff, field;
};
SliceKind slice_kind(const MacroblockRecord* mb) {
  if (!mb->slice) return {false, mb->mb_structure != 2};
  return {mb->slice->MbaffFrameFlag != 0, mb->slice->field_pic_flag != 0};
}

// Strengths of the four segments of one edge.
void edge_strengths(bool vertical, int edge, const MacroblockRecord* cur, const MacroblockRecord* other,
                    uint8_t bs[4]) {
  const auto& blocks = kSegmentBlocks[vertical ? 0 : 1][edge];
  if (edge == 0) {
    const SliceKind kind = slice_kind(cur);
    const bool bothFrame = is_frame_mb(cur) && is_frame_mb(other);
    if (mb_is_intra(cur->mb_type) || mb_is_intra(other->mb_type)) {
      const uint8_t s = (bothFrame || (vertical && (kind.mbaff || kind.field))) ? 4 : 3;
      for (int k = 0; k < 4; ++k) bs[k] = s;
      return;
    }
    const bool mixed = !vertical && kind.mbaff && is_frame_mb(cur) != is_frame_mb(other);
    for (int k = 0; k < 4; ++k) {
      const int q = blocks[k][0], p = blocks[k][1];
      bs[k] = coded(cur, q) || coded(other, p) ? 2 : mixed ? 1 : IsFilteringStrength1(cur, q, other, p);
    }
    return;
  }
  if (mb_is_intra(cur->mb_type)) {
    for (int k = 0; k < 4; ++k) bs[k] = 3;
    return;
  }
  // At the middle edge a 16x16 (or 16x8 for vertical, 8x16 for horizontal)
  // macroblock has the same motion on both sides.
  const int shape = cur->mb_type & 3;
  const bool onePartition = edge == 2 && (vertical ? (shape & 2) == 0 : (shape & 1) == 0);
  for (int k = 0; k < 4; ++k) {
    const int q = blocks[k][0], p = blocks[k][1];
    bs[k] = coded(cur, q) || coded(cur, p) ? 2 : onePartition ? 0 : IsFilteringStrength1(cur, q, cur, p);
  }
}

struct EdgeQp {
  uint8_t y, cb, cr;
};

EdgeQp edge_qp(const MacroblockRecord* cur, const MacroblockRecord* other) {
  auto avg = [](int a, int b) { return static_cast<uint8_t>((a + b + 1) >> 1); };
  if (other == cur) return {cur->qp_y, static_cast<uint8_t>(cur->qp_cb), static_cast<uint8_t>(cur->qp_cr)};
  return {avg(cur->qp_y, other->qp_y), avg(cur->qp_cb, other->qp_cb), avg(cur->qp_cr, other->qp_cr)};
}

// Filters one luma edge (and its chroma edge when cb is not null), merging
// equal strengths of segments 0-1 and 2-3 into 8-line calls.
void filter_edge(bool vertical, const uint8_t bs[4], const EdgeQp& qp, uint8_t* luma, uint8_t* cb, uint8_t* cr,
                 const int8_t* offsets, int lp, int cp) {
  auto lumaAt = [&](int k) { return vertical ? luma + 4 * k * lp : luma + 4 * k; };
  auto chromaStep = [&](int k) { return vertical ? 2 * k * cp : 2 * k; };
  for (int pair = 0; pair < 2; ++pair) {
    const int k0 = 2 * pair;
    if (bs[k0] == bs[k0 + 1]) {
      if (bs[k0] == 0) continue;
      if (vertical)
        FilteringProcessVerticalLuma8x8(lumaAt(k0), lp, bs[k0], qp.y, offsets);
      else
        FilteringProcessHorizontalLuma8x8(lumaAt(k0), bs[k0], qp.y, offsets, lp);
      if (!cb) continue;
      const int step = chromaStep(k0);
      if (vertical)
        FilteringProcessVerticalChroma4x4(cb + step, cr + step, cp, bs[k0], qp.cb, qp.cr, offsets);
      else
        FilteringProcessHorizontalChroma4x4(cb + step, cr + step, bs[k0], qp.cb, qp.cr, offsets, cp);
      continue;
    }
    for (int k = k0; k < k0 + 2; ++k) {
      if (bs[k] == 0) continue;
      if (vertical)
        FilteringProcessVerticalLuma4x4(lumaAt(k), lp, bs[k], qp.y, offsets);
      else
        FilteringProcessHorizontalLuma4x4(lumaAt(k), bs[k], qp.y, offsets, lp);
      if (!cb) continue;
      const int step = chromaStep(k);
      if (vertical)
        FilteringProcessVerticalChroma2x2(cb + step, cr + step, cp, bs[k], qp.cb, qp.cr, offsets);
      else
        FilteringProcessHorizontalChroma2x2(cb + step, cr + step, bs[k], qp.cb, qp.cr, offsets, cp);
    }
  }
}

void run_edge(bool vertical, int edge, uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
              const MacroblockRecord* other, const int8_t* offsets, int lp, int cp) {
  uint8_t bs[4];
  edge_strengths(vertical, edge, cur, other, bs);
  filter_edge(vertical, bs, edge_qp(cur, other), luma, cb, cr, offsets, lp, cp);
}

// Two motion vectors differ when a component is 4 or more quarter samples
// apart (vertically 2 in field macroblocks, whose units are field lines).
inline bool mv_differs(const int16_t* a, const int16_t* b, int limitY) {
  return std::abs(a[0] - b[0]) >= 4 || std::abs(a[1] - b[1]) >= limitY;
}

}  // namespace

uint8_t IsFilteringStrength1(const MacroblockRecord* q, int qBlock, const MacroblockRecord* p, int pBlock) {
  const int limitY = is_frame_mb(q) ? 4 : 2;
  const uint8_t uq = usage(q, qBlock), up = usage(p, pBlock);
  if (uq == 0) return 0;
  if (uq != 3) {
    if (up != 1 && up != 2) return 1;
    const uint8_t idq = uq == 1 ? q->ref_id_l0[qBlock] : q->ref_id_l1[qBlock];
    const uint8_t idp = up == 1 ? p->ref_id_l0[pBlock] : p->ref_id_l1[pBlock];
    if (idq != idp) return 1;
    const int16_t* mq = uq == 1 ? q->mv_l0[qBlock] : q->mv_l1[qBlock];
    const int16_t* mp = up == 1 ? p->mv_l0[pBlock] : p->mv_l1[pBlock];
    return mv_differs(mq, mp, limitY) ? 1 : 0;
  }
  if (up != 3) return 1;
  const uint8_t p0 = p->ref_id_l0[pBlock], p1 = p->ref_id_l1[pBlock];
  const uint8_t q0 = q->ref_id_l0[qBlock], q1 = q->ref_id_l1[qBlock];
  const int16_t *qa = q->mv_l0[qBlock], *qb = q->mv_l1[qBlock];
  const int16_t *pa = p->mv_l0[pBlock], *pb = p->mv_l1[pBlock];
  const bool straight = mv_differs(qa, pa, limitY) || mv_differs(qb, pb, limitY);
  const bool crossed = mv_differs(qa, pb, limitY) || mv_differs(qb, pa, limitY);
  if (p0 == p1) {
    if (q0 != p0 || q1 != p0) return 1;
    return straight && crossed ? 1 : 0;
  }
  if (q0 == p0 && q1 == p1) return straight ? 1 : 0;
  if (q0 == p1 && q1 == p0) return crossed ? 1 : 0;
  return 1;
}

void FilteringProcessForVerticalEdges0(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                       const MacroblockRecord* left, const int8_t* offsets, int lumaPitch,
                                       int chromaPitch) {
  run_edge(true, 0, luma, cb, cr, cur, left, offsets, lumaPitch, chromaPitch);
}

void FilteringProcessForVerticalEdges1(uint8_t* luma, const MacroblockRecord* cur, const int8_t* offsets,
                                       int lumaPitch) {
  run_edge(true, 1, luma, nullptr, nullptr, cur, cur, offsets, lumaPitch, 0);
}

void FilteringProcessForVerticalEdges2(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                       const int8_t* offsets, int lumaPitch, int chromaPitch) {
  run_edge(true, 2, luma, cb, cr, cur, cur, offsets, lumaPitch, chromaPitch);
}

void FilteringProcessForVerticalEdges3(uint8_t* luma, const MacroblockRecord* cur, const int8_t* offsets,
                                       int lumaPitch) {
  run_edge(true, 3, luma, nullptr, nullptr, cur, cur, offsets, lumaPitch, 0);
}

void FilteringProcessForHorizontalEdges0(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                         const MacroblockRecord* above, const int8_t* offsets, int lumaPitch,
                                         int chromaPitch) {
  run_edge(false, 0, luma, cb, cr, cur, above, offsets, lumaPitch, chromaPitch);
}

void FilteringProcessForHorizontalEdges1(uint8_t* luma, const MacroblockRecord* cur, const int8_t* offsets,
                                         int lumaPitch) {
  run_edge(false, 1, luma, nullptr, nullptr, cur, cur, offsets, lumaPitch, 0);
}

void FilteringProcessForHorizontalEdges2(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                         const int8_t* offsets, int lumaPitch, int chromaPitch) {
  run_edge(false, 2, luma, cb, cr, cur, cur, offsets, lumaPitch, chromaPitch);
}

void FilteringProcessForHorizontalEdges3(uint8_t* luma, const MacroblockRecord* cur, const int8_t* offsets,
                                         int lumaPitch) {
  run_edge(false, 3, luma, nullptr, nullptr, cur, cur, offsets, lumaPitch, 0);
}
