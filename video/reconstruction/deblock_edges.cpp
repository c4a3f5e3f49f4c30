// Boundary strengths of the macroblock and internal edges, worked out for a
// whole macroblock at once, and the macroblock kernels that filter with them.
#include "deblock_edges.h"

#include <cstddef>
#include <cstring>

#include "deblock_filters.h"
#include "reconstruction.h"

namespace {

inline bool coded(const MacroblockRecord* mb, int block) { return (mb->luma_nonzero_mask >> block) & 1; }
inline bool is_frame_mb(const MacroblockRecord* mb) { return mb->mb_structure == kFrame; }

// The picture's kind needs no slice: a field macroblock exists only in a
// field picture or an MBAFF frame, and macroblocks of different kinds meet
// only in an MBAFF frame. So an edge with a field macroblock on either side
// is one of a field picture or an MBAFF frame, and a frame/field edge is one
// of an MBAFF frame.
inline bool mixed_kinds(const MacroblockRecord* a, const MacroblockRecord* b) {
  return is_frame_mb(a) != is_frame_mb(b);
}

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

void raster_motion(const MacroblockRecord* mb, MacroblockMotion* m) {
  deblock_dsp().block_motion(mb->pred_flag_l0, mb->pred_flag_l1, mb->ref_id_l0, mb->ref_id_l1, mb->mv_l0, mb->mv_l1,
                             &m->motion);
  m->coded = coded_raster(mb);
  m->codedT = transposed(m->coded);
}

// The motion of a neighbour from the cache, or worked out into `spare`.
const MacroblockMotion* neighbour_motion(const MotionCache& cache, const MacroblockRecord* mb,
                                         MacroblockMotion* spare) {
  for (const MacroblockMotion& m : cache.entries)
    if (m.mb == mb) return &m;
  spare->mb = mb;
  raster_motion(mb, spare);
  return spare;
}

inline void set_edge(uint8_t* edge, uint8_t v) { std::memset(edge, v, 4); }

// bS of an edge 0 whose other side is intra (either side intra).
uint8_t intra_edge0(bool vertical, const MacroblockRecord* cur, const MacroblockRecord* other) {
  return (is_frame_mb(cur) && is_frame_mb(other)) || vertical ? 4 : 3;
}

// bS of the four segments of a top macroblock edge between a frame and a
// field macroblock (MBAFF): 3 with an intra macroblock on either side, else
// 2 where the block below or above the segment has coefficients, else 1,
// whatever the motion.
void mixed_top_edge_strengths(const MacroblockRecord* cur, const MacroblockRecord* above, uint8_t bs[4]) {
  if (mb_is_intra(cur->mb_type) || mb_is_intra(above->mb_type)) {
    set_edge(bs, intra_edge0(false, cur, above));
    return;
  }
  // The first row of blocks of cur and the last row of above
  // (luma4x4BlkIdx), segment by segment.
  static const uint8_t kBelow[4] = {0, 1, 4, 5}, kAbove[4] = {10, 11, 14, 15};
  for (int k = 0; k < 4; ++k) bs[k] = coded(cur, kBelow[k]) || coded(above, kAbove[k]) ? 2 : 1;
}

}  // namespace

void FilteringProcessForHorizontalEdges0(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                         const MacroblockRecord* above, const int8_t* offsets, int lumaPitch,
                                         int chromaPitch) {
  uint8_t bs[4];
  mixed_top_edge_strengths(cur, above, bs);
  const EdgeQp qp = edge_qp(cur, above);
  const auto y = static_cast<uint8_t>(qp.y), qpCb = static_cast<uint8_t>(qp.cb), qpCr = static_cast<uint8_t>(qp.cr);
  // Segments 0-1 and 2-3: one 8-column call where the two agree, else one
  // 4-column call each (no strength here is 0).
  for (int k0 = 0; k0 < 4; k0 += 2) {
    if (bs[k0] == bs[k0 + 1]) {
      FilteringProcessHorizontalLuma8x8(luma + 4 * k0, bs[k0], y, offsets, lumaPitch);
      FilteringProcessHorizontalChroma4x4(cb + 2 * k0, cr + 2 * k0, bs[k0], qpCb, qpCr, offsets, chromaPitch);
      continue;
    }
    for (int k = k0; k < k0 + 2; ++k) {
      FilteringProcessHorizontalLuma4x4(luma + 4 * k, bs[k], y, offsets, lumaPitch);
      FilteringProcessHorizontalChroma2x2(cb + 2 * k, cr + 2 * k, bs[k], qpCb, qpCr, offsets, chromaPitch);
    }
  }
}

static BottomRowMotion bottom_row(const MacroblockMotion& m) {
  BottomRowMotion r;
  std::memcpy(r.row.ids, m.motion.ids + 12, sizeof r.row.ids);
  std::memcpy(r.row.mvA, m.motion.mvA + 12, sizeof r.row.mvA);
  std::memcpy(r.row.mvB, m.motion.mvB + 12, sizeof r.row.mvB);
  r.mb = m.mb;
  r.coded = m.coded;
  return r;
}

void macroblock_strengths(const MacroblockRecord* cur, const MacroblockRecord* left, const MacroblockRecord* above,
                          MacroblockStrengths* bs, MotionCache* cache) {
  const bool leftIntra = left && mb_is_intra(left->mb_type);
  const bool aboveIntra = above && mb_is_intra(above->mb_type);
  const bool intra = mb_is_intra(cur->mb_type);
  const uint32_t rowSize = static_cast<uint32_t>(cache->below.size());
  if (intra) {
    std::memset(bs, 3, sizeof *bs);
  } else {
    // The current macroblock's motion goes to the next entry in turn that
    // holds neither neighbour (the entries fill in turn, so the oldest), for
    // the macroblocks that come next.
    unsigned slot = cache->next;
    while (cache->entries[slot].mb && (cache->entries[slot].mb == left || cache->entries[slot].mb == above))
      slot = slot == 2 ? 0 : slot + 1;
    cache->next = static_cast<uint8_t>(slot == 2 ? 0 : slot + 1);
    MacroblockMotion* own = &cache->entries[slot];
    own->mb = cur;
    raster_motion(cur, own);
    // An edge 0 without a neighbour (or with an intra one, whose strengths
    // are set below) compares zeros.
    static const MacroblockMotion kNone{};
    static const BottomRowMotion kNoRow{};
    MacroblockMotion spareLeft, spareAbove;
    BottomRowMotion aboveRow;
    const MacroblockMotion* lm = left && !leftIntra ? neighbour_motion(*cache, left, &spareLeft) : &kNone;
    const BottomRowMotion* am = &kNoRow;
    if (above && !aboveIntra) {
      const BottomRowMotion* kept = rowSize ? &cache->below[above->mb_addr % rowSize] : nullptr;
      if (kept && kept->mb == above) {
        am = kept;
      } else {
        aboveRow = bottom_row(*neighbour_motion(*cache, above, &spareAbove));
        am = &aboveRow;
      }
    }
    // At the middle edge a 16x16 (or 16x8 for vertical, 8x16 for horizontal)
    // macroblock has the same motion on both sides.
    const int shape = cur->mb_type & 3;
    const unsigned t = own->codedT, r = own->coded;
    const unsigned codedV = (t | t << 4 | static_cast<unsigned>(lm->codedT) >> 12) & 0xFFFF;
    const unsigned codedH = (r | r << 4 | static_cast<unsigned>(am->coded) >> 12) & 0xFFFF;
    deblock_dsp().motion_strengths(&own->motion, &lm->motion, &am->row, codedV, codedH, is_frame_mb(cur) ? 4 : 2,
                                   (shape & 2) != 0, (shape & 1) != 0, bs->vertical[0], bs->horizontal[0]);
    // The last row for the macroblock below, once the entry it replaces (the
    // macroblock above, at the same place) has been read.
    if (rowSize) cache->below[cur->mb_addr % rowSize] = bottom_row(*own);
  }
  if (!left)
    set_edge(bs->vertical[0], 0);
  else if (leftIntra || intra)
    set_edge(bs->vertical[0], intra_edge0(true, cur, left));
  if (!above)
    set_edge(bs->horizontal[0], 0);
  else if (mixed_kinds(cur, above))
    mixed_top_edge_strengths(cur, above, bs->horizontal[0]);
  else if (aboveIntra || intra)
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
