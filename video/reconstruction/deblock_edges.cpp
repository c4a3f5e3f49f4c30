// Boundary strengths of the macroblock and internal edges, and the calls
// into the sample filters that they group.
#include "deblock_edges.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

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

// The picture's kind needs no slice: a field macroblock exists only in a
// field picture or an MBAFF frame, and macroblocks of different kinds meet
// only in an MBAFF frame. So an edge with a field macroblock on either side
// is one of a field picture or an MBAFF frame, and a frame/field edge is one
// of an MBAFF frame.
inline bool mixed_kinds(const MacroblockRecord* a, const MacroblockRecord* b) {
  return is_frame_mb(a) != is_frame_mb(b);
}

}  // namespace

// Strengths of the four segments of one edge.
void edge_strengths(bool vertical, int edge, const MacroblockRecord* cur, const MacroblockRecord* other,
                    uint8_t bs[4]) {
  const auto& blocks = kSegmentBlocks[vertical ? 0 : 1][edge];
  if (edge == 0) {
    const bool bothFrame = is_frame_mb(cur) && is_frame_mb(other);
    if (mb_is_intra(cur->mb_type) || mb_is_intra(other->mb_type)) {
      const uint8_t s = (bothFrame || vertical) ? 4 : 3;
      for (int k = 0; k < 4; ++k) bs[k] = s;
      return;
    }
    const bool mixed = !vertical && mixed_kinds(cur, other);
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

namespace {

// Always inlined, so that the three values stay in registers: returned as a
// struct they came back through a stack slot written in parts and read as
// a whole, which stalls the load.
struct EdgeQp {
  int y, cb, cr;
};

__attribute__((always_inline)) inline EdgeQp edge_qp(const MacroblockRecord* cur, const MacroblockRecord* other) {
  if (other == cur) return {cur->qp_y, cur->qp_cb, cur->qp_cr};
  return {(cur->qp_y + other->qp_y + 1) >> 1, (cur->qp_cb + other->qp_cb + 1) >> 1, (cur->qp_cr + other->qp_cr + 1) >> 1};
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


// ---- Whole-macroblock strengths: the motion of all 16 blocks compared
// with their neighbours four blocks at a time.

// luma_nonzero_mask (luma4x4BlkIdx bits) as raster bits (bit 4y + x) and
// transposed (bit 4x + y). Index k = 8qy + 4qx + 2py + px (quadrant and
// position bits) becomes 8qy + 4py + 2qx + px by swapping bits 1 and 2 of
// the index, i.e. bits 2-3 with bits 4-5 of each byte of the mask; the
// transposed mask is the raster one as a transposed 4x4 bit matrix.
inline unsigned swap_bits(unsigned m, unsigned mask, int shift) {
  const unsigned t = ((m >> shift) ^ m) & mask;
  return m ^ t ^ (t << shift);
}
inline uint16_t coded_raster(const MacroblockRecord* mb) {
  return static_cast<uint16_t>(swap_bits(mb->luma_nonzero_mask, 0x0C0C, 2));
}
inline uint16_t transposed(uint16_t raster) {
  return static_cast<uint16_t>(swap_bits(swap_bits(raster, 0x0A0A, 3), 0x00CC, 6));
}

// False when a quadrant predicts from neither list: such blocks are left to
// the per-block comparison.
bool raster_motion(const MacroblockRecord* mb, MacroblockMotion* m) {
  if (!deblock_dsp().block_motion(mb->pred_flag_l0, mb->pred_flag_l1, mb->ref_id_l0, mb->ref_id_l1, mb->mv_l0,
                                  mb->mv_l1, &m->motion))
    return false;
  m->coded = coded_raster(mb);
  m->codedT = transposed(m->coded);
  return true;
}

// The motion of a neighbour from the cache, or worked out into `spare`.
// Null when its motion is left to the per-block comparison.
const MacroblockMotion* neighbour_motion(const MotionCache& cache, const MacroblockRecord* mb,
                                         MacroblockMotion* spare) {
  for (const MacroblockMotion& m : cache.entries)
    if (m.mb == mb) return m.valid ? &m : nullptr;
  spare->mb = mb;
  spare->valid = raster_motion(mb, spare);
  return spare->valid ? spare : nullptr;
}

inline void set_edge(uint8_t* edge, uint8_t v) { std::memset(edge, v, 4); }

// bS of an edge 0 whose other side is intra (either side intra).
uint8_t intra_edge0(bool vertical, const MacroblockRecord* cur, const MacroblockRecord* other) {
  return (is_frame_mb(cur) && is_frame_mb(other)) || vertical ? 4 : 3;
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

static BottomRowMotion bottom_row(const MacroblockMotion& m) {
  BottomRowMotion r;
  std::memcpy(r.row.ids, m.motion.ids + 12, sizeof r.row.ids);
  std::memcpy(r.row.mvA, m.motion.mvA + 12, sizeof r.row.mvA);
  std::memcpy(r.row.mvB, m.motion.mvB + 12, sizeof r.row.mvB);
  r.mb = m.mb;
  r.coded = m.coded;
  r.valid = m.valid;
  return r;
}

void macroblock_strengths(const MacroblockRecord* cur, const MacroblockRecord* left, const MacroblockRecord* above,
                          MacroblockStrengths* bs, MotionCache* cache) {
  const bool leftIntra = left && mb_is_intra(left->mb_type);
  const bool aboveIntra = above && mb_is_intra(above->mb_type);
  MacroblockMotion* own = nullptr;
  // An edge 0 without a neighbour (or with an intra one, whose strengths
  // are set below) compares zeros.
  static const MacroblockMotion kNone{};
  static const BottomRowMotion kNoRow{};
  MacroblockMotion spareLeft, spareAbove;
  BottomRowMotion aboveRow;
  const MacroblockMotion* lm = &kNone;
  const BottomRowMotion* am = &kNoRow;
  bool vectors = !mb_is_intra(cur->mb_type);
  const uint32_t rowSize = static_cast<uint32_t>(cache->below.size());
  if (vectors) {
    // The current macroblock's motion goes to the next entry in turn that
    // holds neither neighbour (the entries fill in turn, so the oldest), for
    // the macroblocks that come next.
    unsigned slot = cache->next;
    while (cache->entries[slot].mb && (cache->entries[slot].mb == left || cache->entries[slot].mb == above))
      slot = slot == 2 ? 0 : slot + 1;
    cache->next = static_cast<uint8_t>(slot == 2 ? 0 : slot + 1);
    own = &cache->entries[slot];
    own->mb = cur;
    own->valid = raster_motion(cur, own);
    if (left && !leftIntra) lm = neighbour_motion(*cache, left, &spareLeft);
    if (above && !aboveIntra) {
      const BottomRowMotion* kept = rowSize ? &cache->below[above->mb_addr % rowSize] : nullptr;
      if (kept && kept->mb == above) {
        am = kept->valid ? kept : nullptr;
      } else {
        const MacroblockMotion* m = neighbour_motion(*cache, above, &spareAbove);
        aboveRow = m ? bottom_row(*m) : BottomRowMotion{};
        am = m ? &aboveRow : nullptr;
      }
    }
    vectors = own->valid && lm && am;
  }
  if (mb_is_intra(cur->mb_type)) {
    std::memset(bs, 3, sizeof *bs);
  } else if (!vectors) {
    for (int e = 0; e < 4; ++e) {
      if (e || left) edge_strengths(true, e, cur, e ? cur : left, bs->vertical[e]);
      if (e || above) edge_strengths(false, e, cur, e ? cur : above, bs->horizontal[e]);
    }
  } else {
    // At the middle edge a 16x16 (or 16x8 for vertical, 8x16 for horizontal)
    // macroblock has the same motion on both sides.
    const int shape = cur->mb_type & 3;
    const unsigned t = own->codedT, r = own->coded;
    const unsigned codedV = (t | t << 4 | static_cast<unsigned>(lm->codedT) >> 12) & 0xFFFF;
    const unsigned codedH = (r | r << 4 | static_cast<unsigned>(am->coded) >> 12) & 0xFFFF;
    deblock_dsp().motion_strengths(&own->motion, &lm->motion, &am->row, codedV, codedH, is_frame_mb(cur) ? 4 : 2,
                                   (shape & 2) != 0, (shape & 1) != 0, bs->vertical[0], bs->horizontal[0]);
    // Across a frame/field boundary of an MBAFF frame the top edge is never
    // below 1.
    if (above && !aboveIntra && mixed_kinds(cur, above))
      for (uint8_t& v : bs->horizontal[0]) v = v ? v : 1;
  }
  // The last row for the macroblock below, once the entry it replaces (the
  // macroblock above, at the same place) has been read.
  if (rowSize && !mb_is_intra(cur->mb_type)) cache->below[cur->mb_addr % rowSize] = bottom_row(*own);
  if (!left)
    set_edge(bs->vertical[0], 0);
  else if (leftIntra || mb_is_intra(cur->mb_type))
    set_edge(bs->vertical[0], intra_edge0(true, cur, left));
  if (!above)
    set_edge(bs->horizontal[0], 0);
  else if (aboveIntra || mb_is_intra(cur->mb_type))
    set_edge(bs->horizontal[0], intra_edge0(false, cur, above));
  if (cur->transform_size_8x8_flag) {
    set_edge(bs->vertical[1], 0);
    set_edge(bs->vertical[3], 0);
    set_edge(bs->horizontal[1], 0);
    set_edge(bs->horizontal[3], 0);
  }
}

void filter_macroblock_edges(const MacroblockStrengths& bs, bool vertical, bool horizontal, uint8_t* luma,
                             uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur, const MacroblockRecord* left,
                             const MacroblockRecord* above, const ThresholdTable* thresholds, int lumaPitch,
                             int chromaPitch) {
  // Many inter macroblocks filter no edge at all: leave before working out
  // the edges' qPav.
  uint64_t on[4];
  std::memcpy(on, &bs, sizeof on);
  if (((vertical ? on[0] | on[1] : 0) | (horizontal ? on[2] | on[3] : 0)) == 0) return;
  const EdgeQp inner = edge_qp(cur, cur);
  const EdgeQp qpLeft = left ? edge_qp(cur, left) : inner, qpAbove = above ? edge_qp(cur, above) : inner;
  auto byte = [](int v) { return static_cast<uint8_t>(v); };
  const uint8_t qpV[2] = {byte(qpLeft.y), byte(inner.y)}, qpH[2] = {byte(qpAbove.y), byte(inner.y)};
  const DeblockDsp& dsp = deblock_dsp();
  dsp.luma_macroblock(luma, lumaPitch, vertical ? bs.vertical : nullptr, horizontal ? bs.horizontal : nullptr, qpV,
                         qpH, thresholds);
  const uint8_t qpCV[2][2] = {{byte(qpLeft.cb), byte(qpLeft.cr)}, {byte(inner.cb), byte(inner.cr)}};
  const uint8_t qpCH[2][2] = {{byte(qpAbove.cb), byte(qpAbove.cr)}, {byte(inner.cb), byte(inner.cr)}};
  dsp.chroma_macroblock(cb, cr, chromaPitch, vertical ? bs.vertical : nullptr, horizontal ? bs.horizontal : nullptr,
                           qpCV, qpCH, thresholds);
}

void set_pass_offsets(DeblockPass* pass, const int8_t* offsets) {
  pass->offsets = offsets;
  if (pass->built && pass->builtFor[0] == offsets[0] && pass->builtFor[1] == offsets[1]) return;
  build_threshold_table(offsets, &pass->thresholds);
  pass->builtFor[0] = offsets[0];
  pass->builtFor[1] = offsets[1];
  pass->built = true;
}

void prefetch_neighbour(const MacroblockRecord* mb) {
  const char* record = reinterpret_cast<const char*>(mb);
  __builtin_prefetch(record + offsetof(MacroblockRecord, mb_type), 0, 3);
  __builtin_prefetch(record + offsetof(MacroblockRecord, mb_structure), 0, 3);
  __builtin_prefetch(record + offsetof(MacroblockRecord, mb_addr), 0, 3);
}

// How far ahead of the next macroblock the sample rows are fetched, in
// bytes: 8 macroblocks of luma, 12 of chroma.
constexpr uintptr_t kLumaAhead = 128, kChromaAhead = 96;

void prefetch_macroblock(const MacroblockRecord* mb, const uint8_t* luma, const uint8_t* cb, const uint8_t* cr,
                         int lumaPitch, int chromaPitch, int lumaRows) {
  // The lines of the record's fields that deblocking reads, as constant
  // offsets (a list of field pointers was built on the stack at every call).
  static constexpr size_t kFields[] = {offsetof(MacroblockRecord, mb_type),
                                       offsetof(MacroblockRecord, luma_nonzero_mask),
                                       offsetof(MacroblockRecord, pred_flag_l0),
                                       offsetof(MacroblockRecord, mv_l0),
                                       offsetof(MacroblockRecord, mv_l0) + sizeof mb->mv_l0 - 1,
                                       offsetof(MacroblockRecord, mv_l1),
                                       offsetof(MacroblockRecord, mv_l1) + sizeof mb->mv_l1 - 1,
                                       offsetof(MacroblockRecord, ref_id_l0),
                                       offsetof(MacroblockRecord, ref_id_l1) + sizeof mb->ref_id_l1 - 1,
                                       offsetof(MacroblockRecord, mb_structure),
                                       offsetof(MacroblockRecord, filter_offset_b)};
  const char* record = reinterpret_cast<const char*>(mb);
#pragma GCC unroll 16
  for (size_t field : kFields) __builtin_prefetch(record + field, 0, 3);
  // The rows are fetched well ahead of the macroblock that reads them, a
  // cache line (64 bytes across) taking as many macroblocks as share it:
  // each call fetches every fourth luma row (16 samples per macroblock) and
  // every eighth chroma row (8 samples) of the line it has reached, the
  // macroblock's place in the line choosing which. So each call starts about
  // as many loads as one macroblock uses, instead of all rows of a line at
  // once, and a line is complete several macroblocks before it is read.
  // Addresses as integers: near the end of a plane they may pass it, which
  // a prefetch allows and pointer arithmetic does not.
  if (lumaRows == 0) return;
  auto fetchAt = [](uintptr_t a) { __builtin_prefetch(reinterpret_cast<const void*>(a), 0, 3); };
  const uintptr_t y = reinterpret_cast<uintptr_t>(luma) + kLumaAhead;
  for (uintptr_t i = (y >> 4) & 3; i < static_cast<uintptr_t>(lumaRows); i += 4)
    fetchAt(y + i * static_cast<uintptr_t>(lumaPitch));
  const uintptr_t u = reinterpret_cast<uintptr_t>(cb) + kChromaAhead, v = reinterpret_cast<uintptr_t>(cr) + kChromaAhead;
  for (uintptr_t i = (u >> 3) & 7; i < static_cast<uintptr_t>(lumaRows / 2); i += 8) {
    fetchAt(u + i * static_cast<uintptr_t>(chromaPitch));
    fetchAt(v + i * static_cast<uintptr_t>(chromaPitch));
  }
}
