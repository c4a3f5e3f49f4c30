// CABAC decoders of the macroblock-level and inter syntax elements. Each
// takes the ThreadBuffer's engine held in registers (CabacLocal) and a
// pointer to the first context of its element's group, reads neighbour
// conditions through the record's neighbour links, and returns the value as
// this decoder stores it (MbTypeCode, SubMbTypeCode, cbp chroma 0/1/3).
// None fails: on damaged data the unbounded unary codes stop at their
// largest legal value and mark the reader with kCabacDamaged, which ends the
// slice as failed.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "cabac_engine.h"
#include "mb_record.h"

// Value of the reader's overrun flag after a syntax element went beyond its
// range (distinct from 1, running past the payload).
constexpr uint32_t kCabacDamaged = 2;

inline void cabac_mark_damaged(BitReaderCabac* r) {
  if (r->overrun == 0) r->overrun = kCabacDamaged;
}

// The slice walk and the macroblock layers keep one engine across the
// elements of a macroblock and call the decoders below inlined.

// The intra mb_type suffix after its first bin (which chose I_NxN or not):
// terminate bin (I_PCM), then luma flag, chroma flag, chroma class and the
// two prediction-mode bins, at contexts a0..a4 of the group.
template <int a0, int a1, int a2, int a3, int a4>
__attribute__((always_inline)) inline uint8_t cabac_intra_mb_type_rest(CabacLocal& e, CabacContext* ctx) {
  if (cabac_DecodeTerminate(e)) return MbI_PCM;
  const uint32_t luma = cabac_DecodeDecision(e, ctx + a0);
  uint32_t cls = cabac_DecodeDecision(e, ctx + a1);
  if (cls) cls += cabac_DecodeDecision(e, ctx + a2);
  const uint32_t p1 = cabac_DecodeDecision(e, ctx + a3);
  const uint32_t p0 = cabac_DecodeDecision(e, ctx + a4);
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

__attribute__((always_inline)) inline uint32_t cabac_mb_skip_flag(CabacLocal& e, CabacContext* ctx,
                                                                  const MacroblockRecord* mb) {
  return cabac_DecodeDecision(e, ctx + cabac_skip_inc(mb));
}

// mb_field_decoding_flag of the pair of `mb`: condTerm 1 for each of the
// left and the upper pair that is available and a field pair. The pair's
// top record names them by its A and B links, which the walk sets (for the
// pair's inferred mode) before the flag is decoded.
__attribute__((always_inline)) inline uint32_t cabac_mb_field_decoding_flag(CabacLocal& e, CabacContext* ctx,
                                                                            const MacroblockRecord* mb) {
  const MacroblockRecord* top = (mb->mb_addr & 1) ? mb - 1 : mb;
  const MacroblockRecord *a = top->neighbour_a, *b = top->neighbour_b;
  return cabac_DecodeDecision(e, ctx + (a && a->mb_structure != kFrame) + (b && b->mb_structure != kFrame));
}

__attribute__((always_inline)) inline uint8_t cabac_mb_type_I_slice(CabacLocal& e, CabacContext* ctx,
                                                                    const MacroblockRecord* mb) {
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  const uint32_t inc = (a && a->mb_type != MbI_NxN) + (b && b->mb_type != MbI_NxN);
  if (!cabac_DecodeDecision(e, ctx + inc)) return MbI_NxN;
  return cabac_intra_mb_type_rest<3, 4, 5, 6, 7>(e, ctx);
}

__attribute__((always_inline)) inline uint8_t cabac_mb_type_P_slice(CabacLocal& e, CabacContext* ctx) {
  if (cabac_DecodeDecision(e, ctx)) {
    if (!cabac_DecodeDecision(e, ctx + 3)) return MbI_NxN;
    return cabac_intra_mb_type_rest<4, 5, 5, 6, 6>(e, ctx);
  }
  if (!cabac_DecodeDecision(e, ctx + 1)) return cabac_DecodeDecision(e, ctx + 2) ? Mb8x8 : MbL0_16x16;
  return cabac_DecodeDecision(e, ctx + 3) ? MbL0_L0_16x8 : MbL0_L0_8x16;
}

__attribute__((always_inline)) inline uint8_t cabac_mb_type_B_slice(CabacLocal& e, CabacContext* ctx,
                                                                    const MacroblockRecord* mb) {
  // Codes of the six-bin strings 1 1 b2 b3 b4 b5 by their last four bins;
  // 8..12 take one more bin choosing 16x8 (code) or 8x16 (code + 1), 13 is
  // the intra escape.
  static const uint8_t kLong[16] = {60, 21, 22, 41, 42, 25, 26, 37, 29, 45, 53, 57, 61, 0, 38, Mb8x8};
  if (!cabac_DecodeDecision(e, ctx + cabac_mb_type_B_inc(mb))) return MbB_Direct_16x16;
  if (!cabac_DecodeDecision(e, ctx + 3)) return cabac_DecodeDecision(e, ctx + 5) ? 40 : MbL0_16x16;
  uint32_t v = cabac_DecodeDecision(e, ctx + 4) << 3;
  v |= cabac_DecodeDecision(e, ctx + 5) << 2;
  v |= cabac_DecodeDecision(e, ctx + 5) << 1;
  v |= cabac_DecodeDecision(e, ctx + 5);
  if (v == 13) {
    if (!cabac_DecodeDecision(e, ctx + 5)) return MbI_NxN;
    return cabac_intra_mb_type_rest<6, 7, 7, 8, 8>(e, ctx);
  }
  if (v >= 8 && v <= 12) return static_cast<uint8_t>(kLong[v] + cabac_DecodeDecision(e, ctx + 5));
  return kLong[v];
}

__attribute__((always_inline)) inline uint8_t cabac_sub_mb_type_P_slice(CabacLocal& e, CabacContext* ctx) {
  if (cabac_DecodeDecision(e, ctx)) return 9;
  if (!cabac_DecodeDecision(e, ctx + 1)) return 42;
  return cabac_DecodeDecision(e, ctx + 2) ? 74 : 108;
}

__attribute__((always_inline)) inline uint8_t cabac_sub_mb_type_B_slice(CabacLocal& e, CabacContext* ctx) {
  static const uint8_t kFour[4] = {25, 42, 74, 50};
  static const uint8_t kSix[4] = {82, 58, 90, 108};
  if (!cabac_DecodeDecision(e, ctx)) return SubMbB_Direct_8x8;
  if (!cabac_DecodeDecision(e, ctx + 1)) return cabac_DecodeDecision(e, ctx + 3) ? 17 : 9;
  if (!cabac_DecodeDecision(e, ctx + 2)) {
    uint32_t v = cabac_DecodeDecision(e, ctx + 3) << 1;
    v |= cabac_DecodeDecision(e, ctx + 3);
    return kFour[v];
  }
  if (cabac_DecodeDecision(e, ctx + 3)) return cabac_DecodeDecision(e, ctx + 3) ? 124 : 116;
  uint32_t v = cabac_DecodeDecision(e, ctx + 3) << 1;
  v |= cabac_DecodeDecision(e, ctx + 3);
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
__attribute__((always_inline)) inline uint32_t cabac_intra_chroma_pred_mode(CabacLocal& e, CabacContext* ctx,
                                                                            const MacroblockRecord* mb) {
  if (!cabac_DecodeDecision(e, ctx + cabac_intra_chroma_inc(mb))) return 0;
  if (!cabac_DecodeDecision(e, ctx + 3)) return 1;
  return cabac_DecodeDecision(e, ctx + 3) ? 3u : 2u;
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
  if (a != nullptr && mbaff && (mb->mb_structure == kFrame) != (a->mb_structure == kFrame)) {
    if (mb->mb_structure == kFrame) {
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

// transform_size_8x8_flag: condTerm the neighbour's own flag.
__attribute__((always_inline)) inline uint32_t cabac_transform_size_8x8_flag(CabacLocal& e, CabacContext* ctx,
                                                                             const MacroblockRecord* mb) {
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  return cabac_DecodeDecision(e, ctx + (a ? a->transform_size_8x8_flag : 0u) + (b ? b->transform_size_8x8_flag : 0u));
}

// The four luma bins of coded_block_pattern. The neighbours' coded bits
// next to the current 8x8 blocks (cabac_cbp_luma_beside: bit 0 left of
// block 0, bit 1 left of block 2, bit 2 above block 0, bit 3 above block 1)
// give condTerm 1 where clear.
__attribute__((always_inline)) inline uint32_t cabac_coded_block_pattern_luma(CabacLocal& e, CabacContext* ctx,
                                                                              const MacroblockRecord* mb,
                                                                              uint8_t MbaffFrameFlag) {
  const uint32_t n = ~cabac_cbp_luma_beside(mb, MbaffFrameFlag);
  uint32_t cbp = cabac_DecodeDecision(e, ctx + (n & 1) + ((n >> 1) & 2));
  cbp |= cabac_DecodeDecision(e, ctx + (~cbp & 1) + ((n >> 2) & 2)) << 1;
  cbp |= cabac_DecodeDecision(e, ctx + ((n >> 1) & 1) + 2 * (~cbp & 1)) << 2;
  const uint32_t c = ~cbp;
  cbp |= cabac_DecodeDecision(e, ctx + ((c >> 2) & 1) + (c & 2)) << 3;
  return cbp;
}

// The chroma prefix of coded_block_pattern from the neighbours' chroma
// values (0, 1 or 3).
__attribute__((always_inline)) inline uint32_t cabac_coded_block_pattern_chroma(CabacLocal& e, CabacContext* ctx,
                                                                                const MacroblockRecord* mb) {
  const uint32_t a = cabac_cbp_chroma_seen(mb->neighbour_a), b = cabac_cbp_chroma_seen(mb->neighbour_b);
  if (!cabac_DecodeDecision(e, ctx + (a != 0) + 2 * (b != 0))) return 0;
  return cabac_DecodeDecision(e, ctx + 4 + (a == 3) + 2 * (b == 3)) ? 3u : 1u;
}

// mb_qp_delta. Counts 1..52 give +1, -1, ... +26, -26. Legal values are
// -26..+25, so count 51 (+26) and any count above 52 mark the slice damaged.
__attribute__((always_inline)) inline int8_t cabac_mb_qp_delta(CabacLocal& e, CabacContext* ctx, int8_t lastMbQpDelta) {
  constexpr uint32_t kMaxCount = 52;
  if (!cabac_DecodeDecision(e, ctx + (lastMbQpDelta != 0))) return 0;
  uint32_t k = 1;
  if (cabac_DecodeDecision(e, ctx + 2)) {
    k = 2;
    while (cabac_DecodeDecision(e, ctx + 3)) {
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

// prev_intra4x4_pred_mode_flag and prev_intra8x8_pred_mode_flag.
__attribute__((always_inline)) inline uint32_t cabac_prev_intraNxN_pred_mode_flag(CabacLocal& e, CabacContext* ctx) {
  return cabac_DecodeDecision(e, ctx);
}

// rem_intra4x4_pred_mode and rem_intra8x8_pred_mode: three bins, least
// significant first.
__attribute__((always_inline)) inline uint32_t cabac_rem_intraNxN_pred_mode(CabacLocal& e, CabacContext* ctx) {
  uint32_t v = cabac_DecodeDecision(e, ctx);
  v |= cabac_DecodeDecision(e, ctx) << 1;
  v |= cabac_DecodeDecision(e, ctx) << 2;
  return v;
}

// The bins of ref_idx and of one mvd component once the context increment
// of their first bin is known.
constexpr uint32_t kMaxRefIdx = 63;  // 2 x 32 field references - 1

__attribute__((always_inline)) inline uint32_t cabac_ref_idx_bins(CabacLocal& e, CabacContext* ctx, uint32_t inc) {
  if (!cabac_DecodeDecision(e, ctx + inc)) return 0;
  if (!cabac_DecodeDecision(e, ctx + 4)) return 1;
  uint32_t v = 2;
  while (cabac_DecodeDecision(e, ctx + 5)) {
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
  if (!cabac_DecodeDecision(e, ctx + inc)) return 0;
  uint32_t v = 1;
  CabacContext* c = ctx + 3;
  while (cabac_DecodeDecision(e, c)) {
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
    const bool curFrame = mb->mb_structure == kFrame, leftFrame = a->mb_structure == kFrame;
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

// What the ref_idx and mvd decoders of one list read outside the current
// macroblock, gathered once per macroblock and list so that no neighbour
// derivation runs per partition, and the list's length. Coded inter
// macroblocks keep, for every list the slice reads, ref_idx -1 on the
// quadrants that do not use the list (0 on direct ones) and mvd 0 on their
// blocks: inside the current macroblock and in coded neighbours the stored
// values alone then give the conditions.
struct ListEdges {
  const int8_t* leftRef[2];                          // left of quadrants 0 and 2
  const int8_t* upRef[2];                            // above quadrants 0 and 1
  const int16_t* leftMvd[4];                         // mvd pair left of 4x4 rows 0..3
  const int16_t* upMvd[4];                           // above 4x4 columns 0..3
  int8_t leftThreshold, upThreshold;                 // 1 for a frame macroblock beside field ones
  uint8_t leftDouble, leftHalve, upDouble, upHalve;  // vertical mvd scaling
  uint32_t refLimit;                                 // ref_idx values of the list (twice for field macroblocks)
};

// Whether a neighbour record carries decoded ref_idx and mvd values: not
// unavailable, skipped, intra or B_Direct_16x16 (whose contributions are 0).
inline bool carries_motion_syntax(const MacroblockRecord* n) {
  return n != nullptr && !mb_is_skipped(n->mb_type) && !mb_is_intra(n->mb_type) && n->mb_type != MbB_Direct_16x16;
}

inline constexpr int8_t kNoRefBeside = -1;
inline constexpr int16_t kNoMvds[16][2] = {};

// The ref_idx of quadrant q of a record that carries motion syntax. A
// direct quadrant counts as 0: once its macroblock has been reconstructed
// (which may happen while this slice is still being parsed) it holds the
// derived index.
inline const int8_t* cabac_ref_at(const MacroblockRecord* n, const int8_t* refs, int q) {
  return (n->mb_type & 0xDC) == 0 && n->sub_mb_type[q] == SubMbB_Direct_8x8 ? &kNoRefBeside : refs + q;
}

// The edges of list `list` (0 or 1) of macroblock `mb`, whose list holds
// numRefIdxActive (num_ref_idx_lX_active_minus1 + 1) references.
__attribute__((always_inline)) inline void gather_edges(const MacroblockRecord* mb, int list, uint8_t mbaff,
                                                        uint32_t numRefIdxActive, ListEdges* g) {
  const bool curFrame = mb->mb_structure == kFrame;
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  g->leftThreshold = g->upThreshold = 0;
  g->leftDouble = g->leftHalve = g->upDouble = g->upHalve = 0;
  g->refLimit = mb->mb_field_decoding_flag ? 2 * numRefIdxActive : numRefIdxActive;
  if (a == nullptr) {
    g->leftRef[0] = g->leftRef[1] = &kNoRefBeside;
    for (int y = 0; y < 4; ++y) g->leftMvd[y] = kNoMvds[0];
  } else {
    const bool aCarries = carries_motion_syntax(a);
    const int16_t(*aMvd)[2] = aCarries ? (list ? a->mvd_l1 : a->mvd_l0) : kNoMvds;
    const int8_t* aRef = list ? a->ref_idx_l1 : a->ref_idx_l0;
    const bool leftFrame = a->mb_structure == kFrame;
    if (!mbaff || curFrame == leftFrame) {
      g->leftRef[0] = aCarries ? cabac_ref_at(a, aRef, 1) : &kNoRefBeside;
      g->leftRef[1] = aCarries ? cabac_ref_at(a, aRef, 3) : &kNoRefBeside;
      g->leftMvd[0] = aMvd[5];
      g->leftMvd[1] = aMvd[7];
      g->leftMvd[2] = aMvd[13];
      g->leftMvd[3] = aMvd[15];
    } else if (curFrame) {
      // A frame macroblock beside a field pair: all four rows from one
      // 8x8 row of the left record.
      const int q = (mb->mb_addr & 1) ? 3 : 1;
      g->leftRef[0] = g->leftRef[1] = aCarries ? cabac_ref_at(a, aRef, q) : &kNoRefBeside;
      g->leftThreshold = 1;
      g->leftMvd[0] = g->leftMvd[1] = aMvd[4 * q + 1];
      g->leftMvd[2] = g->leftMvd[3] = aMvd[4 * q + 3];
      g->leftDouble = 1;
    } else {
      // A field macroblock beside a frame pair: the upper rows from the top
      // record, the lower ones from the bottom record.
      const MacroblockRecord* a1 = a + 1;
      const bool a1Carries = carries_motion_syntax(a1);
      const int16_t(*a1Mvd)[2] = a1Carries ? (list ? a1->mvd_l1 : a1->mvd_l0) : kNoMvds;
      g->leftRef[0] = aCarries ? cabac_ref_at(a, aRef, 1) : &kNoRefBeside;
      g->leftRef[1] = a1Carries ? cabac_ref_at(a1, list ? a1->ref_idx_l1 : a1->ref_idx_l0, 1) : &kNoRefBeside;
      g->leftMvd[0] = aMvd[5];
      g->leftMvd[1] = aMvd[13];
      g->leftMvd[2] = a1Mvd[5];
      g->leftMvd[3] = a1Mvd[13];
      g->leftHalve = 1;
    }
  }
  if (b == nullptr) {
    g->upRef[0] = g->upRef[1] = &kNoRefBeside;
    for (int x = 0; x < 4; ++x) g->upMvd[x] = kNoMvds[0];
  } else {
    const bool bCarries = carries_motion_syntax(b);
    const int16_t(*bMvd)[2] = bCarries ? (list ? b->mvd_l1 : b->mvd_l0) : kNoMvds;
    const int8_t* bRef = list ? b->ref_idx_l1 : b->ref_idx_l0;
    const bool upFrame = b->mb_structure == kFrame;
    g->upRef[0] = bCarries ? cabac_ref_at(b, bRef, 2) : &kNoRefBeside;
    g->upRef[1] = bCarries ? cabac_ref_at(b, bRef, 3) : &kNoRefBeside;
    g->upThreshold = curFrame && !upFrame ? 1 : 0;
    g->upMvd[0] = bMvd[10];
    g->upMvd[1] = bMvd[11];
    g->upMvd[2] = bMvd[14];
    g->upMvd[3] = bMvd[15];
    if (mbaff) {
      g->upDouble = curFrame && !upFrame;
      g->upHalve = !curFrame && upFrame;
    }
  }
}

// ref_idx of one list for the partition whose first quadrant is q, with the
// current macroblock's values of that list stored so far; a value beyond
// the list marks the slice damaged and gives 0.
__attribute__((always_inline)) inline uint8_t cabac_ref_idx(CabacLocal& e, CabacContext* ctx, const int8_t* ref,
                                                            uint32_t q, const ListEdges& g) {
  const uint32_t condA = (q & 1) ? ref[q - 1] > 0 : *g.leftRef[q >> 1] > g.leftThreshold;
  const uint32_t condB = (q & 2) ? ref[q - 2] > 0 : *g.upRef[q] > g.upThreshold;
  const uint32_t v = cabac_ref_idx_bins(e, ctx, condA + 2 * condB);
  if (v >= g.refLimit) {
    cabac_mark_damaged(e.r);
    return 0;
  }
  return static_cast<uint8_t>(v);
}

// ref_idx_l0 and ref_idx_l1 of the partition whose top-left quadrant is
// `quadrant` (ctx: the ref_idx group; edges: gather_edges of the list).
__attribute__((always_inline)) inline uint8_t cabac_ref_idx_l0(CabacLocal& e, CabacContext* ctx,
                                                               const MacroblockRecord* mb, uint8_t quadrant,
                                                               const ListEdges& edges) {
  return cabac_ref_idx(e, ctx, mb->ref_idx_l0, quadrant, edges);
}
__attribute__((always_inline)) inline uint8_t cabac_ref_idx_l1(CabacLocal& e, CabacContext* ctx,
                                                               const MacroblockRecord* mb, uint8_t quadrant,
                                                               const ListEdges& edges) {
  return cabac_ref_idx(e, ctx, mb->ref_idx_l1, quadrant, edges);
}

// Position of each 4x4 block (luma4x4BlkIdx) in the macroblock.
struct BlockAt {
  uint8_t x, y;
};
inline constexpr BlockAt kBlockAt[16] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 0}, {3, 0}, {2, 1}, {3, 1},
                                         {0, 2}, {1, 2}, {0, 3}, {1, 3}, {2, 2}, {3, 2}, {2, 3}, {3, 3}};

// Both mvd components of one list for the (sub-)partition whose first block
// is blk, from the absolute components left of and above that block: the
// horizontal one with the group at ctx, then the vertical one with the
// group after it. Returns x in the low half, y in the high half.
__attribute__((always_inline)) inline uint32_t cabac_mvd(CabacLocal& e, CabacContext* ctx, const int16_t (*mvd)[2],
                                                         uint32_t blk, const ListEdges& g) {
  const BlockAt at = kBlockAt[blk];
  const int16_t* l = at.x ? mvd[LeftNeighbourIdxTable[blk]] : g.leftMvd[at.y];
  const int16_t* u = at.y ? mvd[UpNeighbourIdxTable[blk]] : g.upMvd[at.x];
  const uint32_t lx = static_cast<uint32_t>(std::abs(l[0])), ux = static_cast<uint32_t>(std::abs(u[0]));
  uint32_t ly = static_cast<uint32_t>(std::abs(l[1])), uy = static_cast<uint32_t>(std::abs(u[1]));
  if (!at.x) ly = (ly << g.leftDouble) >> g.leftHalve;
  if (!at.y) uy = (uy << g.upDouble) >> g.upHalve;
  const int32_t x = cabac_mvd_bins(e, ctx, cabac_mvd_inc(lx + ux));
  const int32_t y = cabac_mvd_bins(e, ctx + (kCtxMvdY - kCtxMvdX), cabac_mvd_inc(ly + uy));
  return static_cast<uint16_t>(x) | static_cast<uint32_t>(y) << 16;
}

// mvd_l0 and mvd_l1 of the (sub-)partition whose top-left 4x4 block is
// `block` (ctx: the horizontal group; edges: gather_edges of the list).
__attribute__((always_inline)) inline uint32_t cabac_mvd_l0(CabacLocal& e, CabacContext* ctx,
                                                            const MacroblockRecord* mb, uint8_t block,
                                                            const ListEdges& edges) {
  return cabac_mvd(e, ctx, mb->mvd_l0, block, edges);
}
__attribute__((always_inline)) inline uint32_t cabac_mvd_l1(CabacLocal& e, CabacContext* ctx,
                                                            const MacroblockRecord* mb, uint8_t block,
                                                            const ListEdges& edges) {
  return cabac_mvd(e, ctx, mb->mvd_l1, block, edges);
}
