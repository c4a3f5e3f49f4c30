// CABAC decoders of the inter syntax elements: ref_idx, mvd and
// sub_mb_type, with their neighbour conditions read from the records
// (MBAFF frame/field pairs included).
#include <cstdlib>

#include "cabac_syntax.h"

const uint8_t LeftNeighbourIdxTable[16] = {5, 0, 7, 2, 1, 4, 3, 6, 13, 8, 15, 10, 9, 12, 11, 14};
const uint8_t LeftSubMBIdx[16] = {1, 0, 1, 0, 0, 1, 0, 1, 3, 2, 3, 2, 2, 3, 2, 3};
const uint8_t UpSubMBIdx[16] = {2, 2, 0, 0, 3, 3, 1, 1, 0, 0, 2, 2, 1, 1, 3, 3};
const uint8_t UpNeighbourIdxTable[16] = {10, 11, 0, 1, 14, 15, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13};

namespace {

inline bool is_8x8_type(uint8_t t) { return (t & 0xDC) == 0; }

// Whether the 4x4 block `blk` (quadrant blk >> 2) of record `n` is
// predicted from list `list` (0 or 1), by its type codes.
inline bool block_uses_list(const MacroblockRecord* n, uint32_t blk, uint32_t list) {
  const uint8_t t = n->mb_type;
  if (is_8x8_type(t)) return (n->sub_mb_type[blk >> 2] >> (3 + list)) & 1;
  uint32_t part = 0;
  if (t & 1) {
    part = blk >= 8;  // 16x8: lower half
  } else if (t & 2) {
    part = (blk & 4) != 0;  // 8x16: right half
  }
  const uint32_t bit = (part ? 2 : 4) + list;
  return (t >> bit) & 1;
}

inline bool skipped_or_intra(const MacroblockRecord* n) { return mb_is_skipped(n->mb_type) || mb_is_intra(n->mb_type); }

// condTerm of ref_idx for quadrant q of record n.
inline uint32_t ref_cond(const MacroblockRecord* n, uint32_t q, uint32_t list, uint32_t threshold) {
  if (!n || skipped_or_intra(n)) return 0;
  if (!block_uses_list(n, q * 4, list)) return 0;
  // Direct-predicted partitions decode no ref_idx: they count as 0 (their
  // indices are derived when the macroblock is reconstructed).
  if (n->mb_type == MbB_Direct_16x16 || (is_8x8_type(n->mb_type) && n->sub_mb_type[q] == SubMbB_Direct_8x8)) return 0;
  const int8_t* ref = list ? n->ref_idx_l1 : n->ref_idx_l0;
  return static_cast<uint8_t>(ref[q]) > threshold ? 1u : 0u;
}

uint8_t decode_ref_idx(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint32_t q, uint32_t list) {
  CabacScope e(&tb->reader);
  const bool curFrame = mb->mb_structure == 2;
  uint32_t condA = 0, condB = 0;
  if (q & 1) {
    condA = ref_cond(mb, q - 1, list, 0);
  } else if (const MacroblockRecord* a = mb->neighbour_a) {
    const bool leftFrame = a->mb_structure == 2;
    // Frame and field macroblocks meet only in MBAFF frames.
    if (curFrame && !leftFrame) {
      condA = ref_cond(a, (mb->mb_addr & 1) ? 3 : 1, list, 1);
    } else if (!curFrame && leftFrame) {
      condA = ref_cond(q == 0 ? a : a + 1, 1, list, 0);
    } else {
      condA = ref_cond(a, q + 1, list, 0);
    }
  }
  if (q & 2) {
    condB = ref_cond(mb, q - 2, list, 0);
  } else if (const MacroblockRecord* b = mb->neighbour_b) {
    condB = ref_cond(b, q + 2, list, curFrame && b->mb_structure != 2 ? 1 : 0);
  }
  return static_cast<uint8_t>(cabac_ref_idx_bins(e, ctx, condA + 2 * condB));
}

// |mvd| of component `comp` in block `blk` of neighbour n, 0 when the block
// does not carry an mvd of the list.
inline uint32_t abs_mvd(const MacroblockRecord* n, uint32_t blk, uint32_t list, uint32_t comp) {
  if (!n || skipped_or_intra(n)) return 0;
  if (!is_8x8_type(n->mb_type) && (n->mb_type & 3) == 3) return 0;  // B_Direct_16x16
  if (!block_uses_list(n, blk, list)) return 0;
  const int16_t(*mvd)[2] = list ? n->mvd_l1 : n->mvd_l0;
  return static_cast<uint32_t>(std::abs(static_cast<int32_t>(mvd[blk][comp])));
}

// Vertical components across a frame/field boundary are scaled to the
// current macroblock's units.
inline uint32_t scale_vertical(uint32_t v, const MacroblockRecord* mb, const MacroblockRecord* n, uint32_t comp,
                               uint8_t mbaff) {
  if (!mbaff || comp == 0 || !n) return v;
  const bool curFrame = mb->mb_structure == 2, nFrame = n->mb_structure == 2;
  if (curFrame && !nFrame) return v * 2;
  if (!curFrame && nFrame) return v >> 1;
  return v;
}

int16_t decode_mvd(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint32_t comp, uint32_t blk,
                   uint32_t list, uint8_t mbaff) {
  blk &= 15;
  // Left neighbour block.
  const MacroblockRecord* left = mb;
  uint32_t leftBlk = LeftNeighbourIdxTable[blk];
  if (blk == 0 || blk == 2 || blk == 8 || blk == 10) {
    const LeftBlock4x4 l = left_edge_block(mb, blk, mbaff);
    left = l.rec;
    leftBlk = l.blk;
  }
  const MacroblockRecord* up = (blk == 0 || blk == 1 || blk == 4 || blk == 5) ? mb->neighbour_b : mb;
  const uint32_t upBlk = UpNeighbourIdxTable[blk];
  const uint32_t sum = scale_vertical(abs_mvd(left, leftBlk, list, comp), mb, left, comp, mbaff) +
                       scale_vertical(abs_mvd(up, upBlk, list, comp), mb, up, comp, mbaff);
  CabacScope e(&tb->reader);
  return static_cast<int16_t>(cabac_mvd_bins(e, ctx, cabac_mvd_inc(sum)));
}

}  // namespace

uint8_t cabac_ref_idx_l0(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t quadrant) {
  return decode_ref_idx(tb, ctx, mb, quadrant & 3u, 0);
}

uint8_t cabac_ref_idx_l1(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t quadrant) {
  return decode_ref_idx(tb, ctx, mb, quadrant & 3u, 1);
}

int16_t cabac_mvd_l0(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t component, int8_t block,
                     uint8_t MbaffFrameFlag) {
  return decode_mvd(tb, ctx, mb, component & 1u, static_cast<uint32_t>(block), 0, MbaffFrameFlag);
}

int16_t cabac_mvd_l1(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t component, int8_t block,
                     uint8_t MbaffFrameFlag) {
  return decode_mvd(tb, ctx, mb, component & 1u, static_cast<uint32_t>(block), 1, MbaffFrameFlag);
}

uint8_t cabac_sub_mb_type_P_slice(ThreadBuffer* tb, CabacContext* ctx) {
  CabacScope e(&tb->reader);
  return cabac_sub_mb_type_P_bins(e, ctx);
}

uint8_t cabac_sub_mb_type_B_slice(ThreadBuffer* tb, CabacContext* ctx) {
  CabacScope e(&tb->reader);
  return cabac_sub_mb_type_B_bins(e, ctx);
}
