// CABAC macroblock layers of I, P and B slices: mb_type, intra modes or
// inter prediction (ref_idx, mvd, sub-macroblock types), coded_block_pattern,
// transform size, mb_qp_delta with the QP update, I_PCM samples and the
// residual call. Everything is decoded in place into the record.
#include "cabac_slice.h"

#include <cstdlib>
#include <cstring>

#include "cabac_residual.h"
#include "cabac_syntax.h"

namespace {

inline bool is_intra16x16(uint8_t t) { return t >= MbI_16x16_First && t <= MbI_16x16_Last; }

// ---------------------------------------------------------------------------
// Intra prediction modes.

__attribute__((always_inline)) inline uint8_t read_intra_mode(CabacLocal& e, CabacContext* ctx, const SliceDataState* s,
                                                              const MacroblockRecord* mb, int blk, bool eightByEight) {
  const int predicted = predicted_intra_mode(s, mb, blk, eightByEight);
  if (cabac_prev_intraNxN_pred_mode_flag(e, ctx + kCtxPrevIntraMode)) return static_cast<uint8_t>(predicted);
  const int rem = static_cast<int>(cabac_rem_intraNxN_pred_mode(e, ctx + kCtxRemIntraMode));
  return static_cast<uint8_t>(rem < predicted ? rem : rem + 1);
}

// The parsers below take the caller's engine and work on a copy of it: a
// copy whose address is not taken stays in registers, where the caller's
// object would be reloaded after every context store (a byte store may
// alias it).
void mb_pred_intra(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  CabacLocal e = engine;
  if (mb->mb_type == MbI_NxN) {
    if (mb->transform_size_8x8_flag) {
      for (int b8 = 0; b8 < 4; ++b8)
        std::memset(mb->intra_pred_mode + 4 * b8, read_intra_mode(e, ctx, s, mb, 4 * b8, true), 4);
    } else {
      for (int blk = 0; blk < 16; ++blk) mb->intra_pred_mode[blk] = read_intra_mode(e, ctx, s, mb, blk, false);
    }
  }
  if (s->chroma_format_idc != 0)
    mb->intra_chroma_pred_mode = static_cast<uint8_t>(cabac_intra_chroma_pred_mode(e, ctx + kCtxIntraChroma, mb));
  engine = e;
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
constexpr Partition kPartitions[3][2] = {
    {{0xF, 0, 0}, {0, 0, 0}},     // 16x16
    {{0x3, 0, 0}, {0xC, 2, 8}},   // 16x8
    {{0x5, 0, 0}, {0xA, 1, 4}},   // 8x16
};

// References of list `list`: num_ref_idx_lX_active_minus1 + 1.
uint32_t ref_list_length(const SliceDataState* s, int list) {
  return (list ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1) + 1u;
}

bool ref_present(const SliceDataState* s, const MacroblockRecord* mb, int list) {
  const uint8_t active = list ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1;
  return active > 0 || mb->mb_field_decoding_flag;
}

__attribute__((always_inline)) inline void store_ref(int8_t* refIdx, uint8_t quadrants, uint8_t value) {
  for (int q = 0; q < 4; ++q)
    if (quadrants & (1u << q)) refIdx[q] = static_cast<int8_t>(value);
}

// Stores one mvd pair (x in the low half) in the blocks of `quadrants`.
__attribute__((always_inline)) inline void store_mvd(int16_t (*mvd)[2], uint8_t quadrants, uint32_t pair) {
  const uint64_t two = pair | static_cast<uint64_t>(pair) << 32;
  for (int q = 0; q < 4; ++q) {
    if (!(quadrants & (1u << q))) continue;
    std::memcpy(mvd[4 * q], &two, 8);
    std::memcpy(mvd[4 * q + 2], &two, 8);
  }
}

// ref_idx of one list for the partitions of one shape (pred: the lists of
// each partition), with the list's edges gathered for the mvds after them.
template <uint32_t Shape, int List>
__attribute__((always_inline)) inline void read_refs(CabacLocal& e, CabacContext* ctx, const SliceDataState* s,
                                                     MacroblockRecord* mb, const uint32_t (&pred)[2], ListEdges& g) {
  constexpr int parts = Shape == 0 ? 1 : 2;
  constexpr uint32_t bit = 1u << List;
  int8_t* ref = List ? mb->ref_idx_l1 : mb->ref_idx_l0;
  if (!((pred[0] | pred[1]) & bit)) {
    store_ref(ref, 0xF, kNoRef);
    return;
  }
  gather_edges(mb, List, s->MbaffFrameFlag, ref_list_length(s, List), &g);
  const bool present = ref_present(s, mb, List);
#pragma GCC unroll 2
  for (int p = 0; p < parts; ++p) {
    const Partition part = kPartitions[Shape][p];
    const uint8_t v = !(pred[p] & bit) ? kNoRef
                      : !present       ? 0
                      : List           ? cabac_ref_idx_l1(e, ctx + kCtxRefIdx, mb, part.quadrant, g)
                                       : cabac_ref_idx_l0(e, ctx + kCtxRefIdx, mb, part.quadrant, g);
    store_ref(ref, part.quadrants, v);
  }
}

// The mvds of one list for the partitions of one shape.
template <uint32_t Shape, int List>
__attribute__((always_inline)) inline void read_mvds(CabacLocal& e, CabacContext* ctx, bool bSlice, MacroblockRecord* mb,
                                                     const uint32_t (&pred)[2], const ListEdges& g) {
  constexpr int parts = Shape == 0 ? 1 : 2;
  constexpr uint32_t bit = 1u << List;
  int16_t(*mvd)[2] = List ? mb->mvd_l1 : mb->mvd_l0;
  if (!((pred[0] | pred[1]) & bit)) {
    // P slices never read list 1.
    if (bSlice) std::memset(mvd, 0, sizeof(mb->mvd_l0));
    return;
  }
#pragma GCC unroll 2
  for (int p = 0; p < parts; ++p) {
    const Partition part = kPartitions[Shape][p];
    const uint32_t pair = !(pred[p] & bit) ? 0
                          : List           ? cabac_mvd_l1(e, ctx + kCtxMvdX, mb, part.block, g)
                                           : cabac_mvd_l0(e, ctx + kCtxMvdX, mb, part.block, g);
    store_mvd(mvd, part.quadrants, pair);
  }
}

// mb_pred of one of the 16x16, 16x8 and 8x16 shapes: every ref_idx of list
// 0, then of list 1, then the mvds in the same order.
template <uint32_t Shape>
void mb_pred_shape(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  const uint8_t t = mb->mb_type;
  CabacLocal e = engine;
  const uint32_t pred[2] = {(t >> 4) & 3u, Shape == 0 ? (t >> 4) & 3u : (t >> 2) & 3u};
  const bool bSlice = s->sliceType == kSliceTypeB;
  ListEdges edges0{}, edges1{};
  read_refs<Shape, 0>(e, ctx, s, mb, pred, edges0);
  read_refs<Shape, 1>(e, ctx, s, mb, pred, edges1);
  read_mvds<Shape, 0>(e, ctx, bSlice, mb, pred, edges0);
  read_mvds<Shape, 1>(e, ctx, bSlice, mb, pred, edges1);
  engine = e;
}

// mb_pred of the 16x16, 16x8 and 8x16 inter codes of both slice types.
uint32_t mb_pred_inter(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  const uint8_t t = mb->mb_type;
  const uint32_t shape = t & 3;
  if (shape == 3 || ((t >> 4) & 3) == 0 || (shape != 0 && ((t >> 2) & 3) == 0)) return 17;
  if (shape == 0)
    mb_pred_shape<0>(engine, ctx, s, mb);
  else if (shape == 1)
    mb_pred_shape<1>(engine, ctx, s, mb);
  else
    mb_pred_shape<2>(engine, ctx, s, mb);
  return 0;
}

// The sub-partitions of one quadrant for one list.
__attribute__((always_inline)) inline void read_sub_mvds(CabacLocal& e, CabacContext* ctx, const ListEdges& g,
                                                         MacroblockRecord* mb, int list, int q, uint8_t code) {
  int16_t(*mvd)[2] = list ? mb->mvd_l1 : mb->mvd_l0;
  const int b = 4 * q;
  const uint32_t shape = (code >> 5) & 3;
  static const uint8_t kFirst[4][4] = {{0}, {0, 2}, {0, 1}, {0, 1, 2, 3}};
  static const uint8_t kCount[4] = {1, 2, 2, 4};
  for (int sp = 0; sp < kCount[shape]; ++sp) {
    const int first = b + kFirst[shape][sp];
    const uint8_t blk = static_cast<uint8_t>(first);
    const uint32_t pair =
        list ? cabac_mvd_l1(e, ctx + kCtxMvdX, mb, blk, g) : cabac_mvd_l0(e, ctx + kCtxMvdX, mb, blk, g);
    // Blocks covered, from the first: 8x8 all four, 8x4 a row pair, 4x8 a
    // column pair, 4x4 one.
    const uint64_t two = pair | static_cast<uint64_t>(pair) << 32;
    if (shape == 0) {
      std::memcpy(mvd[first], &two, 8);
      std::memcpy(mvd[first + 2], &two, 8);
    } else if (shape == 1) {
      std::memcpy(mvd[first], &two, 8);
    } else {
      std::memcpy(mvd[first], &pair, 4);
      if (shape == 2) std::memcpy(mvd[first + 2], &pair, 4);
    }
  }
}

uint32_t sub_mb_pred(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb,
                     bool bSlice) {
  CabacLocal e = engine;
  for (int q = 0; q < 4; ++q)
    mb->sub_mb_type[q] =
        bSlice ? cabac_sub_mb_type_B_slice(e, ctx + kCtxSubMbType) : cabac_sub_mb_type_P_slice(e, ctx + kCtxSubMbType);
  const int lists = bSlice ? 2 : 1;
  ListEdges edges[2];
  for (int list = 0; list < lists; ++list) {
    int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
    gather_edges(mb, list, s->MbaffFrameFlag, ref_list_length(s, list), &edges[list]);
    const bool present = ref_present(s, mb, list) && mb->mb_type != MbP_8x8ref0;
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8) {
        ref[q] = 0;
      } else if (!((code >> (3 + list)) & 1)) {
        ref[q] = static_cast<int8_t>(kNoRef);
      } else {
        const uint8_t quadrant = static_cast<uint8_t>(q);
        ref[q] = static_cast<int8_t>(!present ? 0
                                     : list   ? cabac_ref_idx_l1(e, ctx + kCtxRefIdx, mb, quadrant, edges[list])
                                              : cabac_ref_idx_l0(e, ctx + kCtxRefIdx, mb, quadrant, edges[list]));
      }
    }
  }
  for (int list = 0; list < lists; ++list) {
    int16_t(*mvd)[2] = list ? mb->mvd_l1 : mb->mvd_l0;
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      // Direct quadrants and those without the list hold mvd 0.
      if (code != SubMbB_Direct_8x8 && ((code >> (3 + list)) & 1))
        read_sub_mvds(e, ctx, edges[list], mb, list, q, code);
      else
        store_mvd(mvd, static_cast<uint8_t>(1u << q), 0);
    }
  }
  engine = e;
  return 0;
}

// The prediction parsers of each slice type: one body serves both.
inline uint32_t mb_pred_P_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(e, ctx, s, mb);
}
inline uint32_t mb_pred_B_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(e, ctx, s, mb);
}
inline uint32_t sub_mb_pred_P_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return sub_mb_pred(e, ctx, s, mb, false);
}
inline uint32_t sub_mb_pred_B_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return sub_mb_pred(e, ctx, s, mb, true);
}

void derive_intra16x16_cbp(MacroblockRecord* mb) {
  const int t = mb->mb_type;
  mb->cbp_luma = t >= 77 ? 15 : 0;
  const int c = ((t - 65) >> 2) % 3;
  mb->cbp_chroma = static_cast<uint8_t>(c == 2 ? 3 : c);
}

}  // namespace

// The layer after mb_type, shared by I, P and B macroblocks: every element
// up to mb_qp_delta on the caller's engine, which is stored back into the
// reader before the residual (or the I_PCM samples).
void cabac_layer_after_type(CabacLocal& engine, ThreadBuffer* tb, CabacContext* ctx, SliceDataState* s,
                            MacroblockRecord* mb, bool bSlice) {
  const uint8_t t = mb->mb_type;
  if (t == MbI_PCM) {
    engine.store();
    read_pcm(tb, s, mb);
    return;
  }
  bool noSub8x8 = true;
  if ((t & 0xDC) == 0) {  // P_8x8, B_8x8
    if (bSlice)
      sub_mb_pred_B_slice(engine, ctx, s, mb);
    else
      sub_mb_pred_P_slice(engine, ctx, s, mb);
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8 ? !s->direct_8x8_inference_flag : (code & 7) > 1) noSub8x8 = false;
    }
  } else if (mb_is_intra(t)) {
    mb->transform_size_8x8_flag =
        (s->transform_8x8_mode_flag && t == MbI_NxN)
            ? static_cast<uint8_t>(cabac_transform_size_8x8_flag(engine, ctx + kCtxTransform8x8, mb))
            : 0;
    mb_pred_intra(engine, ctx, s, mb);
  } else if (t == MbB_Direct_16x16) {
    std::memset(mb->ref_idx_l0, 0, 4);
    std::memset(mb->ref_idx_l1, 0, 4);
  } else if (bSlice) {
    mb_pred_B_slice(engine, ctx, s, mb);
  } else {
    mb_pred_P_slice(engine, ctx, s, mb);
  }
  const bool intra16x16 = is_intra16x16(t);
  bool coded = true;
  int8_t delta = 0;
  CabacLocal e = engine;
  if (intra16x16) {
    derive_intra16x16_cbp(mb);
  } else {
    mb->cbp_luma = static_cast<uint8_t>(cabac_coded_block_pattern_luma(e, ctx + kCtxCbpLuma, mb, s->MbaffFrameFlag));
    mb->cbp_chroma = s->chroma_format_idc != 0
                         ? static_cast<uint8_t>(cabac_coded_block_pattern_chroma(e, ctx + kCtxCbpChroma, mb))
                         : 0;
    if (mb->cbp_luma != 0 && s->transform_8x8_mode_flag && t != MbI_NxN && noSub8x8 &&
        (t != MbB_Direct_16x16 || s->direct_8x8_inference_flag))
      mb->transform_size_8x8_flag = static_cast<uint8_t>(cabac_transform_size_8x8_flag(e, ctx + kCtxTransform8x8, mb));
    coded = mb->cbp_luma != 0 || mb->cbp_chroma != 0;
  }
  if (coded) delta = cabac_mb_qp_delta(e, ctx + kCtxMbQpDelta, s->lastMbQpDelta);
  e.store();
  if (!coded) {
    s->lastMbQpDelta = 0;
    update_qp(s, mb, 0, false);
    return;
  }
  s->lastMbQpDelta = delta;
  update_qp(s, mb, delta, true);
  const ResidualQuant q{s->ls4x4, s->ls8x8, s->QPY, s->QPCb, s->QPCr, s->MbaffFrameFlag};
  if (mb->transform_size_8x8_flag)
    cabac_residual_8x8(tb, mb, ctx, q);
  else if (intra16x16)
    cabac_residual_16x16(tb, mb, ctx, q);
  else
    cabac_residual_4x4(tb, mb, ctx, q);
}

uint32_t decode_macroblock_layer_I_slice_cabac(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                               MacroblockRecord* mb) {
  CabacLocal e(&tb->reader);
  mb->mb_type = cabac_mb_type_I_slice(e, ctx + kCtxMbType, mb);
  CabacLocal engine = e;
  cabac_layer_after_type(engine, tb, ctx, s, mb, false);
  return 0;
}
