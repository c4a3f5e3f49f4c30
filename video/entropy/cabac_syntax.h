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
