// CABAC macroblock layers of I, P and B slices: mb_type, intra modes or
// inter prediction (ref_idx, mvd, sub-macroblock types), coded_block_pattern,
// transform size, mb_qp_delta with the QP update, I_PCM samples and the
// residual call. Everything is decoded in place into the record.
#include "cabac_slice.h"

#include <cstring>

#include "cabac_residual.h"
#include "cabac_syntax.h"

namespace {

inline bool is_intra16x16(uint8_t t) { return t >= MbI_16x16_First && t <= MbI_16x16_Last; }

// ---------------------------------------------------------------------------
// Intra prediction modes.

uint8_t read_intra_mode(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, const MacroblockRecord* mb,
                        int blk, bool eightByEight) {
  const int predicted = predicted_intra_mode(s, mb, blk, eightByEight);
  if (cabac_prev_intraNxN_pred_mode_flag(tb, ctx + kCtxPrevIntraMode)) return static_cast<uint8_t>(predicted);
  const int rem = static_cast<int>(cabac_rem_intraNxN_pred_mode(tb, ctx + kCtxRemIntraMode));
  return static_cast<uint8_t>(rem < predicted ? rem : rem + 1);
}

void mb_pred_intra(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  if (mb->mb_type == MbI_NxN) {
    if (mb->transform_size_8x8_flag) {
      for (int b8 = 0; b8 < 4; ++b8)
        std::memset(mb->intra_pred_mode + 4 * b8, read_intra_mode(tb, ctx, s, mb, 4 * b8, true), 4);
    } else {
      for (int blk = 0; blk < 16; ++blk) mb->intra_pred_mode[blk] = read_intra_mode(tb, ctx, s, mb, blk, false);
    }
  }
  if (s->chroma_format_idc != 0)
    mb->intra_chroma_pred_mode = static_cast<uint8_t>(cabac_intra_chroma_pred_mode(tb, ctx + kCtxIntraChroma, mb));
}

// I_PCM: the samples follow the terminate bin at the next byte boundary;
// the engine restarts after them.
void read_pcm(ThreadBuffer* tb, SliceDataState* s, MacroblockRecord* mb) {
  DecodeIPCMMacroBlock(&tb->reader, s, mb);
  cabac_initialize_engine(tb);
}

// ---------------------------------------------------------------------------
// Inter prediction.

constexpr uint8_t kNoRef = 0xFF;  // ref_idx -1

// Quadrant sets of the partitions of each shape, and the first quadrant
// and first 4x4 block of each partition.
struct Partition {
  uint8_t quadrants;  // bit q: quadrant q
  uint8_t quadrant;
  uint8_t block;
};
const Partition kPartitions[3][2] = {
    {{0xF, 0, 0}, {0, 0, 0}},     // 16x16
    {{0x3, 0, 0}, {0xC, 2, 8}},   // 16x8
    {{0x5, 0, 0}, {0xA, 1, 4}},   // 8x16
};

bool ref_present(const SliceDataState* s, const MacroblockRecord* mb, int list) {
  const uint8_t active = list ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1;
  return active > 0 || mb->mb_field_decoding_flag;
}

// The decoded ref_idx, bounded by the active list (twice it plus one for
// the field macroblocks of an MBAFF frame); a value beyond it marks the
// slice damaged.
uint8_t read_ref_idx(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, const MacroblockRecord* mb,
                     int list, uint8_t quadrant) {
  const uint8_t v = list ? cabac_ref_idx_l1(tb, ctx + kCtxRefIdx, mb, quadrant)
                         : cabac_ref_idx_l0(tb, ctx + kCtxRefIdx, mb, quadrant);
  const uint32_t active = (list ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1) + 1u;
  const uint32_t limit = mb->mb_field_decoding_flag ? 2 * active : active;
  if (v >= limit) {
    cabac_mark_damaged(&tb->reader);
    return 0;
  }
  return v;
}

void store_ref(int8_t* refIdx, uint8_t quadrants, uint8_t value) {
  for (int q = 0; q < 4; ++q)
    if (quadrants & (1u << q)) refIdx[q] = static_cast<int8_t>(value);
}

void store_mvd(int16_t (*mvd)[2], uint8_t quadrants, int16_t x, int16_t y) {
  for (int q = 0; q < 4; ++q) {
    if (!(quadrants & (1u << q))) continue;
    for (int b = 4 * q; b < 4 * q + 4; ++b) {
      mvd[b][0] = x;
      mvd[b][1] = y;
    }
  }
}

// One mvd pair of list `list` for the partition whose first block is blk.
void read_mvd_pair(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, const MacroblockRecord* mb, int list,
                   int8_t blk, int16_t* x, int16_t* y) {
  auto one = list ? cabac_mvd_l1 : cabac_mvd_l0;
  *x = one(tb, ctx + kCtxMvdX, mb, 0, blk, s->MbaffFrameFlag);
  *y = one(tb, ctx + kCtxMvdY, mb, 1, blk, s->MbaffFrameFlag);
}

// mb_pred of the 16x16, 16x8 and 8x16 inter codes of both slice types.
uint32_t mb_pred_inter(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  const uint8_t t = mb->mb_type;
  const uint32_t shape = t & 3;
  if (shape == 3 || ((t >> 4) & 3) == 0 || (shape != 0 && ((t >> 2) & 3) == 0)) return 17;
  const int parts = shape == 0 ? 1 : 2;
  uint32_t pred[2] = {(t >> 4) & 3u, shape == 0 ? (t >> 4) & 3u : (t >> 2) & 3u};
  for (int list = 0; list < 2; ++list) {
    int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
    for (int p = 0; p < parts; ++p) {
      const Partition& part = kPartitions[shape][p];
      if (!(pred[p] & (1u << list))) {
        store_ref(ref, part.quadrants, kNoRef);
        continue;
      }
      const uint8_t v = ref_present(s, mb, list) ? read_ref_idx(tb, ctx, s, mb, list, part.quadrant) : 0;
      store_ref(ref, part.quadrants, v);
    }
  }
  for (int list = 0; list < 2; ++list) {
    for (int p = 0; p < parts; ++p) {
      if (!(pred[p] & (1u << list))) continue;
      const Partition& part = kPartitions[shape][p];
      int16_t x, y;
      read_mvd_pair(tb, ctx, s, mb, list, static_cast<int8_t>(part.block), &x, &y);
      store_mvd(list ? mb->mvd_l1 : mb->mvd_l0, part.quadrants, x, y);
    }
  }
  return 0;
}

// The sub-partitions of one quadrant for one list.
void read_sub_mvds(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb, int list,
                   int q, uint8_t code) {
  int16_t(*mvd)[2] = list ? mb->mvd_l1 : mb->mvd_l0;
  const int b = 4 * q;
  const uint32_t shape = (code >> 5) & 3;
  static const uint8_t kFirst[4][4] = {{0}, {0, 2}, {0, 1}, {0, 1, 2, 3}};
  static const uint8_t kCount[4] = {1, 2, 2, 4};
  for (int sp = 0; sp < kCount[shape]; ++sp) {
    const int first = b + kFirst[shape][sp];
    int16_t x, y;
    read_mvd_pair(tb, ctx, s, mb, list, static_cast<int8_t>(first), &x, &y);
    // Blocks covered: 8x8 all four, 8x4 a row pair, 4x8 a column pair, 4x4 one.
    const int cover[4][4] = {{0, 1, 2, 3}, {0, 1, -1, -1}, {0, 2, -1, -1}, {0, -1, -1, -1}};
    for (int k = 0; k < 4 && cover[shape][k] >= 0; ++k) {
      mvd[first + cover[shape][k]][0] = x;
      mvd[first + cover[shape][k]][1] = y;
    }
  }
}

uint32_t sub_mb_pred(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb, bool bSlice) {
  for (int q = 0; q < 4; ++q)
    mb->sub_mb_type[q] = bSlice ? cabac_sub_mb_type_B_slice(tb, ctx + kCtxSubMbType)
                                : cabac_sub_mb_type_P_slice(tb, ctx + kCtxSubMbType);
  for (int list = 0; list < (bSlice ? 2 : 1); ++list) {
    int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8) {
        ref[q] = 0;
      } else if (!((code >> (3 + list)) & 1)) {
        ref[q] = static_cast<int8_t>(kNoRef);
      } else {
        ref[q] = static_cast<int8_t>(ref_present(s, mb, list) && mb->mb_type != MbP_8x8ref0
                                         ? read_ref_idx(tb, ctx, s, mb, list, static_cast<uint8_t>(q))
                                         : 0);
      }
    }
  }
  for (int list = 0; list < (bSlice ? 2 : 1); ++list) {
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8) {
        store_mvd(list ? mb->mvd_l1 : mb->mvd_l0, static_cast<uint8_t>(1u << q), 0, 0);
      } else if ((code >> (3 + list)) & 1) {
        read_sub_mvds(tb, ctx, s, mb, list, q, code);
      }
    }
  }
  return 0;
}

// The prediction parsers of each slice type: one body serves both.
inline uint32_t mb_pred_P_slice(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(tb, ctx, s, mb);
}
inline uint32_t mb_pred_B_slice(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(tb, ctx, s, mb);
}
inline uint32_t sub_mb_pred_P_slice(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s,
                                    MacroblockRecord* mb) {
  return sub_mb_pred(tb, ctx, s, mb, false);
}
inline uint32_t sub_mb_pred_B_slice(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s,
                                    MacroblockRecord* mb) {
  return sub_mb_pred(tb, ctx, s, mb, true);
}

void derive_intra16x16_cbp(MacroblockRecord* mb) {
  const int t = mb->mb_type;
  mb->cbp_luma = t >= 77 ? 15 : 0;
  const int c = ((t - 65) >> 2) % 3;
  mb->cbp_chroma = static_cast<uint8_t>(c == 2 ? 3 : c);
}

// The layer after mb_type, shared by I, P and B macroblocks.
void layer_after_type(ThreadBuffer* tb, CabacContext* ctx, SliceDataState* s, MacroblockRecord* mb, bool bSlice) {
  const uint8_t t = mb->mb_type;
  if (t == MbI_PCM) {
    read_pcm(tb, s, mb);
    return;
  }
  bool noSub8x8 = true;
  if ((t & 0xDC) == 0) {  // P_8x8, B_8x8
    if (bSlice)
      sub_mb_pred_B_slice(tb, ctx, s, mb);
    else
      sub_mb_pred_P_slice(tb, ctx, s, mb);
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8 ? !s->direct_8x8_inference_flag : (code & 7) > 1) noSub8x8 = false;
    }
  } else if (mb_is_intra(t)) {
    mb->transform_size_8x8_flag =
        (s->transform_8x8_mode_flag && t == MbI_NxN)
            ? static_cast<uint8_t>(cabac_transform_size_8x8_flag(tb, ctx + kCtxTransform8x8, mb))
            : 0;
    mb_pred_intra(tb, ctx, s, mb);
  } else if (t == MbB_Direct_16x16) {
    std::memset(mb->ref_idx_l0, 0, 4);
    std::memset(mb->ref_idx_l1, 0, 4);
  } else if (bSlice) {
    mb_pred_B_slice(tb, ctx, s, mb);
  } else {
    mb_pred_P_slice(tb, ctx, s, mb);
  }
  if (is_intra16x16(t)) {
    derive_intra16x16_cbp(mb);
  } else {
    mb->cbp_luma = static_cast<uint8_t>(cabac_coded_block_pattern_luma(tb, ctx + kCtxCbpLuma, mb, s->MbaffFrameFlag));
    mb->cbp_chroma = s->chroma_format_idc != 0
                         ? static_cast<uint8_t>(cabac_coded_block_pattern_chroma(tb, ctx + kCtxCbpChroma, mb))
                         : 0;
    if (mb->cbp_luma != 0 && s->transform_8x8_mode_flag && t != MbI_NxN && noSub8x8 &&
        (t != MbB_Direct_16x16 || s->direct_8x8_inference_flag))
      mb->transform_size_8x8_flag =
          static_cast<uint8_t>(cabac_transform_size_8x8_flag(tb, ctx + kCtxTransform8x8, mb));
  }
  if (mb->cbp_luma == 0 && mb->cbp_chroma == 0 && !is_intra16x16(t)) {
    s->lastMbQpDelta = 0;
    update_qp(s, mb, 0, false);
    return;
  }
  const int8_t delta = cabac_mb_qp_delta(tb, ctx + kCtxMbQpDelta, s->lastMbQpDelta);
  s->lastMbQpDelta = delta;
  update_qp(s, mb, delta, true);
  const ResidualQuant q{s->ls4x4, s->ls8x8, s->QPY, s->QPCb, s->QPCr, s->MbaffFrameFlag};
  if (mb->transform_size_8x8_flag)
    cabac_residual_8x8(tb, mb, ctx, q);
  else if (is_intra16x16(t))
    cabac_residual_16x16(tb, mb, ctx, q);
  else
    cabac_residual_4x4(tb, mb, ctx, q);
}

}  // namespace

uint32_t decode_macroblock_layer_I_slice_cabac(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                               MacroblockRecord* mb) {
  mb->mb_type = cabac_mb_type_I_slice(tb, ctx + kCtxMbType, mb);
  layer_after_type(tb, ctx, s, mb, false);
  return 0;
}

uint32_t decode_macroblock_layer_P_slice(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                         MacroblockRecord* mb) {
  mb->mb_type = cabac_mb_type_P_slice(tb, ctx + kCtxMbType);
  layer_after_type(tb, ctx, s, mb, false);
  return 0;
}

uint32_t decode_macroblock_layer_B_slice(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                         MacroblockRecord* mb) {
  mb->mb_type = cabac_mb_type_B_slice(tb, ctx + kCtxMbType, mb);
  layer_after_type(tb, ctx, s, mb, true);
  return 0;
}
