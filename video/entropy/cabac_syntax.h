// CABAC decoders of the macroblock-level and inter syntax elements. Each
// takes the ThreadBuffer (engine state at its head) and a pointer to the
// first context of its element's group, reads neighbour conditions through
// the record's neighbour links, and returns the value in the program's own
// encoding (MbTypeCode, SubMbTypeCode, cbp chroma 0/1/3). None fails: on
// damaged data the unbounded unary codes stop at their largest legal value
// and mark the reader with kCabacDamaged, which ends the slice as failed.
#pragma once

#include <cstdint>

#include "cabac_engine.h"
#include "mb_record.h"

// Value of the reader's overrun flag after a syntax element went beyond its
// range (distinct from 1, running past the payload).
constexpr uint32_t kCabacDamaged = 2;

inline void cabac_mark_damaged(BitReaderCabac* r) {
  if (r->overrun == 0) r->overrun = kCabacDamaged;
}

uint32_t cabac_mb_skip_flag(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb);
uint32_t cabac_mb_field_decoding_flag(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb);
uint8_t cabac_mb_type_I_slice(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb);
uint8_t cabac_mb_type_P_slice(ThreadBuffer* tb, CabacContext* ctx);
uint8_t cabac_mb_type_B_slice(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb);
uint32_t cabac_transform_size_8x8_flag(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb);
uint32_t cabac_prev_intraNxN_pred_mode_flag(ThreadBuffer* tb, CabacContext* ctx);
uint32_t cabac_rem_intraNxN_pred_mode(ThreadBuffer* tb, CabacContext* ctx);
uint32_t cabac_intra_chroma_pred_mode(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb);
uint32_t cabac_coded_block_pattern_luma(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb,
                                        uint8_t MbaffFrameFlag);
uint32_t cabac_coded_block_pattern_chroma(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb);
// The count is bounded: mb_qp_delta lies in -26..+25 for 8-bit video.
int8_t cabac_mb_qp_delta(ThreadBuffer* tb, CabacContext* ctx, int8_t lastMbQpDelta);

// Bin strings of the macroblock-level elements once their neighbour
// conditions are known, on an engine held in registers: the element
// decoders below and the macroblock layer (which keeps one engine across
// its elements) share them.

// The intra mb_type suffix after its first bin (which chose I_NxN or not):
// terminate bin (I_PCM), then luma flag, chroma flag, chroma class and the
// two prediction-mode bins, at contexts a0..a4 of the group.
template <int a0, int a1, int a2, int a3, int a4>
__attribute__((always_inline)) inline uint8_t cabac_intra_mb_type_rest(CabacLocal& e, CabacContext* ctx) {
  if (e.terminate()) return MbI_PCM;
  const uint32_t luma = e.decision(ctx + a0);
  uint32_t cls = e.decision(ctx + a1);
  if (cls) cls += e.decision(ctx + a2);
  const uint32_t p1 = e.decision(ctx + a3);
  const uint32_t p0 = e.decision(ctx + a4);
  return static_cast<uint8_t>(65 + 12 * luma + 4 * cls + 2 * p1 + p0);
}

// ctxIdxInc of mb_skip_flag and of bin 0 of a B slice's mb_type: the
// available neighbours that are not skipped (and, for mb_type, not
// B_Direct_16x16).
inline uint32_t cabac_skip_inc(const MacroblockRecord* mb) {
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  return (a && !mb_is_skipped(a->mb_type)) + (b && !mb_is_skipped(b->mb_type));
}
inline uint32_t cabac_mb_type_B_inc(const MacroblockRecord* mb) {
  auto cond = [](const MacroblockRecord* n) -> uint32_t {
    return n && !mb_is_skipped(n->mb_type) && n->mb_type != MbB_Direct_16x16;
  };
  return cond(mb->neighbour_a) + cond(mb->neighbour_b);
}

__attribute__((always_inline)) inline uint8_t cabac_mb_type_P_bins(CabacLocal& e, CabacContext* ctx) {
  if (e.decision(ctx)) {
    if (!e.decision(ctx + 3)) return MbI_NxN;
    return cabac_intra_mb_type_rest<4, 5, 5, 6, 6>(e, ctx);
  }
  if (!e.decision(ctx + 1)) return e.decision(ctx + 2) ? Mb8x8 : MbL0_16x16;
  return e.decision(ctx + 3) ? MbL0_L0_16x8 : MbL0_L0_8x16;
}

__attribute__((always_inline)) inline uint8_t cabac_mb_type_B_bins(CabacLocal& e, CabacContext* ctx, uint32_t inc) {
  // Codes of the six-bin strings 1 1 b2 b3 b4 b5 by their last four bins;
  // 8..12 take one more bin choosing 16x8 (code) or 8x16 (code + 1), 13 is
  // the intra escape.
  static const uint8_t kLong[16] = {60, 21, 22, 41, 42, 25, 26, 37, 29, 45, 53, 57, 61, 0, 38, Mb8x8};
  if (!e.decision(ctx + inc)) return MbB_Direct_16x16;
  if (!e.decision(ctx + 3)) return e.decision(ctx + 5) ? 40 : MbL0_16x16;
  uint32_t v = e.decision(ctx + 4) << 3;
  v |= e.decision(ctx + 5) << 2;
  v |= e.decision(ctx + 5) << 1;
  v |= e.decision(ctx + 5);
  if (v == 13) {
    if (!e.decision(ctx + 5)) return MbI_NxN;
    return cabac_intra_mb_type_rest<6, 7, 7, 8, 8>(e, ctx);
  }
  if (v >= 8 && v <= 12) return static_cast<uint8_t>(kLong[v] + e.decision(ctx + 5));
  return kLong[v];
}

__attribute__((always_inline)) inline uint8_t cabac_sub_mb_type_P_bins(CabacLocal& e, CabacContext* ctx) {
  if (e.decision(ctx)) return 9;
  if (!e.decision(ctx + 1)) return 42;
  return e.decision(ctx + 2) ? 74 : 108;
}

__attribute__((always_inline)) inline uint8_t cabac_sub_mb_type_B_bins(CabacLocal& e, CabacContext* ctx) {
  static const uint8_t kFour[4] = {25, 42, 74, 50};
  static const uint8_t kSix[4] = {82, 58, 90, 108};
  if (!e.decision(ctx)) return SubMbB_Direct_8x8;
  if (!e.decision(ctx + 1)) return e.decision(ctx + 3) ? 17 : 9;
  if (!e.decision(ctx + 2)) {
    uint32_t v = e.decision(ctx + 3) << 1;
    v |= e.decision(ctx + 3);
    return kFour[v];
  }
  if (e.decision(ctx + 3)) return e.decision(ctx + 3) ? 124 : 116;
  uint32_t v = e.decision(ctx + 3) << 1;
  v |= e.decision(ctx + 3);
  return kSix[v];
}

// intra_chroma_pred_mode; condTerm of a neighbour: an intra macroblock other
// than I_PCM whose mode is not 0.
inline uint32_t cabac_intra_chroma_inc(const MacroblockRecord* mb) {
  auto cond = [](const MacroblockRecord* n) -> uint32_t {
    return n && mb_is_intra(n->mb_type) && n->mb_type != MbI_PCM && n->intra_chroma_pred_mode != 0;
  };
  return cond(mb->neighbour_a) + cond(mb->neighbour_b);
}
__attribute__((always_inline)) inline uint32_t cabac_intra_chroma_bins(CabacLocal& e, CabacContext* ctx, uint32_t inc) {
  if (!e.decision(ctx + inc)) return 0;
  if (!e.decision(ctx + 3)) return 1;
  return e.decision(ctx + 3) ? 3u : 2u;
}

// What coded_block_pattern reads of a neighbour: its luma bits with every
// bit set for an unavailable or I_PCM neighbour (condTerm 0); a skipped one
// stores 0 (condTerm 1).
inline uint32_t cabac_cbp_luma_seen(const MacroblockRecord* n) {
  return n == nullptr || n->mb_type == MbI_PCM ? 0xFu : n->cbp_luma;
}
// Its chroma value: 0 for unavailable (and skipped, which store 0), 3 for
// I_PCM.
inline uint32_t cabac_cbp_chroma_seen(const MacroblockRecord* n) {
  return n == nullptr ? 0u : n->mb_type == MbI_PCM ? 3u : n->cbp_chroma;
}

// The `beside` bits of the luma bins for the current macroblock. In MBAFF
// frames a frame macroblock beside a field pair reads one 8x8 row of the
// left record (the upper for a top macroblock, the lower for a bottom one)
// for both its rows; a field macroblock beside a frame pair reads the upper
// row of the top record and of the bottom record.
inline uint32_t cabac_cbp_luma_beside(const MacroblockRecord* mb, uint8_t mbaff) {
  const MacroblockRecord* a = mb->neighbour_a;
  uint32_t left;
  if (a != nullptr && mbaff && (mb->mb_structure == 2) != (a->mb_structure == 2)) {
    if (mb->mb_structure == 2) {
      const uint32_t bit = (cabac_cbp_luma_seen(a) >> ((mb->mb_addr & 1) ? 3 : 1)) & 1;
      left = bit * 3;
    } else {
      left = ((cabac_cbp_luma_seen(a) >> 1) & 1) | (cabac_cbp_luma_seen(a + 1) & 2);
    }
  } else {
    const uint32_t seen = cabac_cbp_luma_seen(a);
    left = ((seen >> 1) & 1) | ((seen >> 2) & 2);
  }
  return left | (cabac_cbp_luma_seen(mb->neighbour_b) & 0xC);
}

// ctxIdxInc of transform_size_8x8_flag.
inline uint32_t cabac_transform_8x8_inc(const MacroblockRecord* mb) {
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  return (a ? a->transform_size_8x8_flag : 0u) + (b ? b->transform_size_8x8_flag : 0u);
}

// The four luma bins. `beside` holds the neighbours' coded bits next to
// the current 8x8 blocks: bit 0 left of block 0, bit 1 left of block 2,
// bit 2 above block 0, bit 3 above block 1; condTerm is a clear bit.
__attribute__((always_inline)) inline uint32_t cabac_cbp_luma_bins(CabacLocal& e, CabacContext* ctx, uint32_t beside) {
  const uint32_t n = ~beside;
  uint32_t cbp = e.decision(ctx + (n & 1) + ((n >> 1) & 2));
  cbp |= e.decision(ctx + (~cbp & 1) + ((n >> 2) & 2)) << 1;
  cbp |= e.decision(ctx + ((n >> 1) & 1) + 2 * (~cbp & 1)) << 2;
  const uint32_t c = ~cbp;
  cbp |= e.decision(ctx + ((c >> 2) & 1) + (c & 2)) << 3;
  return cbp;
}

// The chroma prefix from the neighbours' chroma values (0, 1 or 3).
__attribute__((always_inline)) inline uint32_t cabac_cbp_chroma_bins(CabacLocal& e, CabacContext* ctx, uint32_t a,
                                                                     uint32_t b) {
  if (!e.decision(ctx + (a != 0) + 2 * (b != 0))) return 0;
  return e.decision(ctx + 4 + (a == 3) + 2 * (b == 3)) ? 3u : 1u;
}

// mb_qp_delta. Counts 1..52 give +1, -1, ... +26, -26. Legal values are
// -26..+25, so count 51 (+26) and any count above 52 mark the slice damaged.
__attribute__((always_inline)) inline int8_t cabac_mb_qp_delta_bins(CabacLocal& e, CabacContext* ctx,
                                                                    int8_t lastMbQpDelta) {
  constexpr uint32_t kMaxCount = 52;
  if (!e.decision(ctx + (lastMbQpDelta != 0))) return 0;
  uint32_t k = 1;
  if (e.decision(ctx + 2)) {
    k = 2;
    while (e.decision(ctx + 3)) {
      if (++k > kMaxCount) {
        cabac_mark_damaged(e.r);
        k = kMaxCount;
        break;
      }
    }
  }
  if (k == kMaxCount - 1) cabac_mark_damaged(e.r);
  return static_cast<int8_t>((k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2));
}

// rem_intraNxN_pred_mode: three bins, least significant first.
__attribute__((always_inline)) inline uint32_t cabac_rem_intra_mode_bins(CabacLocal& e, CabacContext* ctx) {
  uint32_t v = e.decision(ctx);
  v |= e.decision(ctx) << 1;
  v |= e.decision(ctx) << 2;
  return v;
}

// The bins of ref_idx and of one mvd component once the context increment
// of their first bin is known, on an engine held in registers: the element
// decoders below and the macroblock layer (which keeps one engine across
// all its inter elements) share them.
constexpr uint32_t kMaxRefIdx = 63;  // 2 x 32 field references - 1

__attribute__((always_inline)) inline uint32_t cabac_ref_idx_bins(CabacLocal& e, CabacContext* ctx, uint32_t inc) {
  if (!e.decision(ctx + inc)) return 0;
  if (!e.decision(ctx + 4)) return 1;
  uint32_t v = 2;
  while (e.decision(ctx + 5)) {
    if (++v > kMaxRefIdx) {
      cabac_mark_damaged(e.r);
      return kMaxRefIdx;
    }
  }
  return v;
}

// ctxIdxInc of mvd bin 0 from the sum of the neighbours' absolute components.
inline uint32_t cabac_mvd_inc(uint32_t sum) { return (sum >= 3 ? 1u : 0u) + (sum > 32 ? 1u : 0u); }

// Unary prefix of up to nine bins (contexts 0..2 by `inc`, then 3, 4, 5 and
// 6 for the rest), the order-3 Exp-Golomb suffix in bypass bins, the sign.
// Magnitudes beyond 32767 (or a suffix order beyond 16) mark the slice
// damaged.
__attribute__((always_inline)) inline int32_t cabac_mvd_bins(CabacLocal& e, CabacContext* ctx, uint32_t inc) {
  constexpr uint32_t kMaxSuffixOrder = 16;
  if (!e.decision(ctx + inc)) return 0;
  uint32_t v = 1;
  CabacContext* c = ctx + 3;
  while (e.decision(c)) {
    if (++v == 9) break;
    c += v <= 4 ? 1 : 0;
  }
  if (__builtin_expect(v == 9, 0)) {
    uint32_t k = 3;
    while (e.bypass()) {
      v += 1u << k;
      if (++k > kMaxSuffixOrder) {
        cabac_mark_damaged(e.r);
        break;
      }
    }
    uint32_t suffix = 0;
    while (k--) suffix = (suffix << 1) | e.bypass();
    v += suffix;
    if (v > 32767) {
      cabac_mark_damaged(e.r);
      v = 32767;
    }
  }
  return e.bypass_sign(static_cast<int32_t>(v));
}

// ref_idx of the partition whose top-left quadrant is `quadrant`; at most 63.
uint8_t cabac_ref_idx_l0(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t quadrant);
uint8_t cabac_ref_idx_l1(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t quadrant);
// One mvd component (0 horizontal, 1 vertical; ctx is that component's
// group) of the partition whose top-left 4x4 block is `block`.
int16_t cabac_mvd_l0(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t component, int8_t block,
                     uint8_t MbaffFrameFlag);
int16_t cabac_mvd_l1(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb, uint8_t component, int8_t block,
                     uint8_t MbaffFrameFlag);
uint8_t cabac_sub_mb_type_P_slice(ThreadBuffer* tb, CabacContext* ctx);
uint8_t cabac_sub_mb_type_B_slice(ThreadBuffer* tb, CabacContext* ctx);

// The record and 4x4 block left of luma block `blk` (0, 2, 8 or 10: blocks
// on the left edge). In MBAFF frames a frame macroblock beside a field pair
// and a field macroblock beside a frame pair meet rows of the other kind;
// the block lies where the neighbouring sample row does.
struct LeftBlock4x4 {
  const MacroblockRecord* rec;
  uint32_t blk;
};

inline LeftBlock4x4 left_edge_block(const MacroblockRecord* mb, uint32_t blk, uint8_t mbaff) {
  const MacroblockRecord* a = mb->neighbour_a;
  const uint32_t lower = blk >= 8 ? 1u : 0u, odd = (blk & 2) ? 1u : 0u;
  if (a && mbaff) {
    const bool curFrame = mb->mb_structure == 2, leftFrame = a->mb_structure == 2;
    if (!curFrame && leftFrame) return {lower ? a + 1 : a, odd ? 13u : 5u};
    if (curFrame && !leftFrame) return {a, ((mb->mb_addr & 1) ? 13u : 5u) + 2 * lower};
  }
  return {a, 5u + 2 * odd + 8 * lower};
}

// Neighbour tables of the 4x4 blocks, indexed by luma4x4BlkIdx.
extern const uint8_t LeftNeighbourIdxTable[16];
extern const uint8_t LeftSubMBIdx[16];
extern const uint8_t UpSubMBIdx[16];
extern const uint8_t UpNeighbourIdxTable[16];
