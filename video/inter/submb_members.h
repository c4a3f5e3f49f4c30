// Templates of the sub-macroblock share of inter prediction, one per family:
// the luma quadrant members (per list and sub-macroblock shape), the direct
// quadrant, the per-quadrant chroma kernels, and the luma and chroma drivers
// of P_8x8 / P_8x8ref0 and B_8x8 macroblocks.
//
// Every template takes a picture policy Pic:
//   Pic::kMbaff      false for frame and field pictures, true in MBAFF frames;
//   Pic::Neighbours  the neighbour-locating policy of the motion-vector
//                    predictors (submb_motion.h).
// The MBAFF differences are confined to reference_view (which field of which
// frame a field macroblock reads), the weight-index shift, the direct
// derivation and the neighbour policy, so MBAFF members are instantiations
// of the same templates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chroma_dsp.h"
#include "inter_internal.h"
#include "direct_motion.h"
#include "luma_sample_interpolation.h"
#include "skip_direct.h"
#include "submb_motion.h"
#include "weighted_sample_prediction.h"
#include "weighting.h"
#include "inter_prediction.h"
#include "luma_combine_dsp.h"
#include "weighting_dsp.h"

namespace submb {

struct FramePicture {
  static constexpr bool kMbaff = false;
  using Neighbours = FrameNeighbours;
};

// Sub-partition geometry of a shape (0 8x8, 1 8x4, 2 4x8, 3 4x4): its size,
// count, and the first 4x4 block (0..3 within the quadrant) of partition s.
template <int Shape>
struct SubShape {
  static constexpr int kWidth = Shape == 0 || Shape == 1 ? 8 : 4;
  static constexpr int kHeight = Shape == 0 || Shape == 2 ? 8 : 4;
  static constexpr int kCount = (8 / kWidth) * (8 / kHeight);
  static constexpr int first_block(int s) { return Shape == 1 ? 2 * s : s; }
  // The 4x4 blocks (bits 0..3 within the quadrant) partition s covers.
  static constexpr unsigned blocks(int s) { return Shape == 0 ? 0xFu : Shape == 1 ? 3u << (2 * s) : Shape == 2 ? 5u << s : 1u << s; }
};

// The picture a quadrant's list reads, and how: bottom is set when a field
// macroblock of an MBAFF frame reads the bottom field of its reference frame
// (the plane then starts one frame line, half the passed pitch, lower);
// structure is the parity seen (kTopField, kBottomField or kFrame).
struct ReferenceView {
  DecodedPicture* pic;
  bool bottom;
  uint8_t structure;
  uint8_t id;
};

template <class Pic>
ReferenceView reference_view(DecodedPicture* const* list, const MacroblockRecord* mb, int listIdx, int refIdx) {
  // The whole-macroblock members' choice, so that identifiers of one frame
  // compare equal across partition kinds (MBAFF frames number fields 2 x
  // access unit + bottom, frame macroblocks included).
  const inter::PartitionReference r = inter::reference_for<Pic::kMbaff>(list, mb, listIdx, refIdx);
  const bool field = mb->mb_structure != kFrame;
  return {r.pic, r.bottomField, static_cast<uint8_t>(field ? (r.bottomField ? kBottomField : kTopField) : kFrame),
          r.id};
}

// Weight-table index shift: field macroblocks of MBAFF frames index by
// refIdx >> 1.
template <class Pic>
uint8_t weight_shift(const MacroblockRecord* mb) {
  return Pic::kMbaff && mb->mb_structure != kFrame ? 1 : 0;
}

// (The lists' fields are picked before indexing: indexing a conditional
// between two arrays read the wrong array in the sanitizer build.)
inline int8_t ref_idx(const MacroblockRecord* mb, int list, int q) { return list ? mb->ref_idx_l1[q] : mb->ref_idx_l0[q]; }
inline const int16_t* vector_of(const MacroblockRecord* mb, int list, int blk) {
  return list ? mb->mv_l1[blk] : mb->mv_l0[blk];
}

// Records the quadrant's reference picture and identity for list `list`.
inline void record_reference(MacroblockRecord* mb, int list, int q, const ReferenceView& v) {
  DecodedPicture** pics = list ? mb->ref_pic_l1 : mb->ref_pic_l0;
  uint8_t* ids = list ? mb->ref_id_l1 : mb->ref_id_l0;
  pics[q] = v.pic;
  std::memset(ids + 4 * q, v.id, 4);
}

// What every quadrant routine of one macroblock shares.
struct QuadrantCall {
  DecodedPicture* const* lists[2];
  MacroblockRecord* mb;
  uint16_t x, y;  // the macroblock's first sample (luma or chroma)
  uint32_t pitch, width, height;
};

// Records the reference of quadrant q of list `list` and calls
// each(view, blk, cx, cy) for every sub-partition of shape Shape: blk its
// first 4x4 block (whose vector it uses), (cx, cy) that block's offset in
// the macroblock.
template <class Pic, int Shape, class Each>
void for_each_subpartition(const QuadrantCall& c, int list, int q, Each each) {
  using S = SubShape<Shape>;
  MacroblockRecord* mb = c.mb;
  const ReferenceView v = reference_view<Pic>(c.lists[list], mb, list, ref_idx(mb, list, q));
  record_reference(mb, list, q, v);
  for (int s = 0; s < S::kCount; ++s) {
    const int blk = 4 * q + S::first_block(s);
    each(v, blk, block_x(blk), block_y(blk));
  }
}

// Completes the quadrant's vectors of list List (predictor + difference,
// sub-partition by sub-partition) and marks the list used.
template <class Pic, int List, int Shape>
void complete_vectors(MacroblockRecord* mb, int q) {
  using S = SubShape<Shape>;
  uint8_t* flags = List ? mb->pred_flag_l1 : mb->pred_flag_l0;
  flags[q] = 1;
  const int refIdx = ref_idx(mb, List, q);
  int16_t(*mv)[2] = List ? mb->mv_l1 : mb->mv_l0;
  const int16_t(*mvd)[2] = List ? mb->mvd_l1 : mb->mvd_l0;
  for (int s = 0; s < S::kCount; ++s) {
    const int first = 4 * q + S::first_block(s);
    int16_t mvp[2];
    // The named predictor of the position, where its neighbours may lie in
    // other macroblocks; else the same rule in place.
    const SubMbMvPredictor named = kSubMbMvPredictors[Pic::kMbaff][List][S::kWidth == 8][first];
    if (named)
      named(mb, mvp);
    else
      submb_mv_predictor<typename Pic::Neighbours>(mb, List, first, S::kWidth, refIdx, mvp);
    // The sub-partition's difference stands in its first block. Components
    // wrap modulo 2^16.
    const int16_t x = static_cast<int16_t>(static_cast<uint16_t>(mvd[first][0]) + static_cast<uint16_t>(mvp[0]));
    const int16_t y = static_cast<int16_t>(static_cast<uint16_t>(mvd[first][1]) + static_cast<uint16_t>(mvp[1]));
    for (int k = 0; k < 4; ++k) {
      if (!(S::blocks(s) & (1u << k))) continue;
      mv[4 * q + k][0] = x;
      mv[4 * q + k][1] = y;
    }
  }
}

// Interpolates quadrant q of list `list` in 8-bit samples into dst (the
// quadrant's first sample; rows of 16), one kernel of the sub-partition's
// size per sub-partition of shape Shape, and records the reference.
template <int W, int H>
LumaSampleInterpolationFn luma_kernel(const int16_t* mv) {
  if constexpr (W == 8 && H == 8) return DecideLumaSampleInterpolation_8x8(mv);
  if constexpr (W == 8 && H == 4) return DecideLumaSampleInterpolation_8x4(mv);
  if constexpr (W == 4 && H == 8) return DecideLumaSampleInterpolation_4x8(mv);
  if constexpr (W == 4 && H == 4) return DecideLumaSampleInterpolation_4x4(mv);
}

template <class Pic, int Shape>
void interpolate_quadrant_bytes(const QuadrantCall& c, int list, int q, uint8_t* dst) {
  using S = SubShape<Shape>;
  MacroblockRecord* mb = c.mb;
  for_each_subpartition<Pic, Shape>(c, list, q, [&](const ReferenceView& v, int blk, int cx, int cy) {
    const uint8_t* plane = frame_luma(v.pic) + (v.bottom ? c.pitch / 2 : 0);
    const int16_t* mv = vector_of(mb, list, blk);
    // The six-tap filter reads three lines below the block.
    await_reference_lines(mb->slice, v.pic, mb->mb_structure != kFrame, v.bottom,
                          c.y + cy + (mv[1] >> 2) + S::kHeight + 3);
    luma_kernel<S::kWidth, S::kHeight>(mv)(dst + 16 * (cy & 7) + (cx & 7), 16, plane, c.x + cx + (mv[0] >> 2),
                                           c.y + cy + (mv[1] >> 2), static_cast<int32_t>(c.pitch),
                                           static_cast<int32_t>(c.width), static_cast<int32_t>(c.height));
  });
}

// CreateInterPrediction_{P_L0,B_L1}_<shape>: completes the quadrant's
// vectors of list List and interpolates it in 8-bit samples into dst.
template <class Pic, int List, int Shape>
void luma_quadrant(const QuadrantCall& c, int q, uint8_t* dst) {
  complete_vectors<Pic, List, Shape>(c.mb, q);
  interpolate_quadrant_bytes<Pic, Shape>(c, List, q, dst);
}

// Derives the direct motion of quadrant q; returns the lists it predicts
// from (1 list 0, 2 list 1, 3 both).
template <class Pic>
int derive_direct(const QuadrantCall& c, int q) {
  MacroblockRecord* mb = c.mb;
  auto* l0 = const_cast<DecodedPicture**>(c.lists[0]);
  auto* l1 = const_cast<DecodedPicture**>(c.lists[1]);
  if constexpr (Pic::kMbaff)
    MotionVectorDerivation_B_Direct_8x8_mbaff(l0, l1, mb, static_cast<uint8_t>(q));
  else
    MotionVectorDerivation_B_Direct_8x8(l0, l1, mb, static_cast<uint8_t>(q));
  return mb->pred_flag_l0[q] ? (mb->pred_flag_l1[q] ? 3 : 1) : 2;
}

// CreateInterPrediction_B_Direct_8x8: derives the quadrant's direct motion
// and interpolates each list it uses in 8-bit samples, a single list into
// dst0, both into dst0 (list 0) and dst1 (list 1). Under 8x8 inference the
// quadrant is one 8x8 block; otherwise each 4x4 block has its own vector.
template <class Pic>
void direct_luma_quadrant(const QuadrantCall& c, int q, uint8_t* dst0, uint8_t* dst1) {
  const int lists = derive_direct<Pic>(c, q);
  const bool perBlock = c.mb->slice->direct_8x8_inference_flag == 0;
  for (int list = 0; list < 2; ++list) {
    if (!(lists & (1 << list))) continue;
    uint8_t* at = list && lists == 3 ? dst1 : dst0;
    if (perBlock)
      interpolate_quadrant_bytes<Pic, 3>(c, list, q, at);
    else
      interpolate_quadrant_bytes<Pic, 0>(c, list, q, at);
  }
}

// The member sets a driver dispatches to, by list and shape.
using SubMbLumaMember = void (*)(INTER_SUBMB_LUMA_ARGS);
using SubMbChromaMember = void (*)(INTER_SUBMB_CHROMA_ARGS);
using SubMbDirectLuma = void (*)(INTER_SUBMB_DIRECT_LUMA_ARGS);
using SubMbDirectChroma = void (*)(INTER_SUBMB_DIRECT_CHROMA_ARGS);
struct SubMbMembers {
  SubMbLumaMember luma[2][4];
  SubMbChromaMember chroma[2][4];
  SubMbDirectLuma directLuma;
  SubMbDirectChroma directChroma;
};

// SubMbTypeCode of a known sub-macroblock type: NumSubMbPart | pred << 3 |
// shape << 5 with the part count the shape implies; 252 is direct. P slices
// know only the list-0 codes.
constexpr bool known_sub_code(int code, bool bSlice) {
  const int shape = (code >> 5) & 3, pred = (code >> 3) & 3;
  const int parts = shape == 0 ? 1 : shape == 3 ? 4 : 2;
  return code < 128 && (code & 7) == parts && pred != 0 && (bSlice || pred == 1);
}

// Luma of a P_8x8 / P_8x8ref0 (BSlice false) or B_8x8 macroblock in 8-bit
// samples: each quadrant's vectors completed (or its direct motion derived)
// and its lists interpolated into the quadrant of a block of 16 x 16, a
// single-list quadrant weighted in place, a bi-predicted one weighted into
// its list-0 block or left to the combination to average; then the
// combination adds the residual into the picture. A quadrant of an unknown
// code is predicted as 0. Nothing is written to the picture before every
// prediction is formed, so a damaged stream's stand-in reference (the
// picture being decoded) is read as it was.
template <class Pic, bool BSlice>
void luma_driver(const QuadrantCall& c, uint8_t* dst, const SubMbMembers& m) {
  MacroblockRecord* mb = c.mb;
  alignas(16) uint8_t blocks[2][256];  // rows of 16: list-0 (or single-list) and list-1 predictions
  LumaQuarterBytes quarters[4];
  const uint32_t mode = mb->slice->weightingMode;
  for (int q = 0; q < 4; ++q) {
    const int offset = 8 * (q & 1) + 128 * (q >> 1);
    uint8_t* const b0 = blocks[0] + offset;
    uint8_t* const b1 = blocks[1] + offset;
    quarters[q] = {b0, nullptr, 16, 0};
    const uint8_t code = mb->sub_mb_type[q];
    int lists;
    if (BSlice && code == SubMbB_Direct_8x8) {
      m.directLuma(c.lists[0], c.lists[1], mb, static_cast<uint8_t>(q), c.x, c.y, b0, b1, c.pitch, c.width,
                   c.height);
      lists = mb->pred_flag_l0[q] ? (mb->pred_flag_l1[q] ? 3 : 1) : 2;
    } else if (!known_sub_code(code, BSlice)) {
      for (int r = 0; r < 8; ++r) std::memset(b0 + 16 * r, 0, 8);
      continue;
    } else {
      const int shape = (code >> 5) & 3;
      lists = (code >> 3) & 3;
      if (lists & 1)
        m.luma[0][shape](c.lists[0], mb, static_cast<uint8_t>(q), c.x, c.y, b0, c.pitch, c.width, c.height);
      if (lists & 2)
        m.luma[1][shape](c.lists[1], mb, static_cast<uint8_t>(q), c.x, c.y, lists == 3 ? b1 : b0, c.pitch, c.width,
                         c.height);
    }
    // A single-list quadrant weighted in place, a bi-predicted one into
    // its list-0 block, or left to the combination to average.
    LumaHalfBytes half{b0, 16, lists == 3 ? b1 : nullptr, 16, b0, 16, 8, 8};
    const uint8_t quadrant = static_cast<uint8_t>(q);
    if (lists == 3 && mode != 0)
      WeightedSamplePrediction_Bi_8x8(mb, &half, quadrant, weight_shift<Pic>(mb));
    else if (lists == 2 && mode == 1)
      WeightedSamplePrediction_L1_8x8(mb, &half, quadrant, weight_shift<Pic>(mb));
    else if (lists == 1 && mode == 1)
      WeightedSamplePrediction_L0_8x8(mb, &half, quadrant, weight_shift<Pic>(mb));
    quarters[q] = {half.p0, half.p1, half.stride0, half.stride1};
  }
  luma_combine_dsp().combine_bytes_16x16(dst, c.pitch, quarters, mb->luma_coeff, mb->transform_size_8x8_flag);
}

// ---- Chroma (4:2:0: a luma vector counted in quarter luma samples, read as
// eighths of a chroma sample, serves the chroma as it is).

// Single-list explicit weights (w, o) and denominator of component comp for
// list `list` of quadrant q; false when the slice has no explicit weights
// for it (default weights apply).
template <class Pic>
bool chroma_weight(const MacroblockRecord* mb, int list, int q, int comp, int32_t* w, int32_t* o, int32_t* logWD) {
  const PredWeightTable* t = mb->slice->weightTable;
  const int idx = ref_idx(mb, list, q) >> weight_shift<Pic>(mb);
  if (t == nullptr || idx < 0 || idx >= 32) return false;
  *w = list ? t->chroma_weight_l1[idx][comp] : t->chroma_weight_l0[idx][comp];
  *o = list ? t->chroma_offset_l1[idx][comp] : t->chroma_offset_l0[idx][comp];
  *logWD = t->chroma_log2_weight_denom & 7;
  return true;
}

// Interpolates quadrant q of list `list` for both components into the
// slots, one bilinear block per sub-partition of shape Shape (a 4x4 chroma
// block per 8x8, 4x2 per 8x4, 2x4 per 4x8, 2x2 per 4x4), unweighted.
// Returns the picture read.
template <class Pic, int Shape>
DecodedPicture* interpolate_chroma_quadrant(const QuadrantCall& c, int list, int q, int16_t* cbSlot, int16_t* crSlot) {
  using S = SubShape<Shape>;
  const MacroblockRecord* mb = c.mb;
  const ReferenceView v = reference_view<Pic>(c.lists[list], mb, list, ref_idx(mb, list, q));
  // A field predicting from a field of the other parity is offset by a
  // quarter chroma sample vertically.
  const int dv = v.structure == kTopField && mb->mb_structure == kBottomField   ? 2
                 : v.structure == kBottomField && mb->mb_structure == kTopField ? -2
                                                                                : 0;
  constexpr int kCols = S::kWidth / 2, kRows = S::kHeight / 2;
  const ptrdiff_t offset = v.bottom ? c.pitch / 2 : 0;
  for (int s = 0; s < S::kCount; ++s) {
    const int blk = 4 * q + S::first_block(s);
    const int16_t* mv = vector_of(mb, list, blk);
    const int32_t vx = mv[0], vy = static_cast<int16_t>(mv[1] + dv);
    const int col = block_x(blk) / 2 & 3, row = block_y(blk) / 2 & 3;
    const int32_t xInt = c.x + 4 * (q & 1) + col + (vx >> 3), yInt = c.y + 4 * (q >> 1) + row + (vy >> 3);
    // In luma lines: chroma line l lies on luma lines 2l and 2l + 1.
    await_reference_lines(mb->slice, v.pic, mb->mb_structure != kFrame, v.bottom, 2 * (yInt + kRows + 1) + 1);
    int16_t* slots[2] = {cbSlot, crSlot};
    // Both planes in one call: rows of 8, the Cb rows first.
    alignas(16) int16_t rows[2][8 * kRows];
    GetChromaPrediction(kRows, frame_cb(v.pic) + offset, frame_cr(v.pic) + offset, xInt, yInt, vx & 7, vy & 7,
                        rows[0], static_cast<int32_t>(c.width), static_cast<int32_t>(c.height),
                        static_cast<int32_t>(c.pitch));
    for (int comp = 0; comp < 2; ++comp)
      for (int r = 0; r < kRows; ++r) std::memcpy(slots[comp] + 4 * (row + r) + col, rows[comp] + 8 * r, kCols * 2);
  }
  return v.pic;
}

// Explicit single-list weighting of both slots (16 samples each, seen as two
// rows of 8) when the slice weights explicitly.
template <class Pic>
void weigh_chroma_single(const MacroblockRecord* mb, int list, int q, int16_t* cbSlot, int16_t* crSlot) {
  if (mb->slice->weightingMode != 1) return;
  int16_t* slots[2] = {cbSlot, crSlot};
  for (int comp = 0; comp < 2; ++comp) {
    int32_t w, o, logWD;
    if (chroma_weight<Pic>(mb, list, q, comp, &w, &o, &logWD))
      weight_samples_single(reinterpret_cast<uint16_t*>(slots[comp]), 8, 8, 2, w, o, logWD);
  }
}

// CreateInterPredictionChroma_{P_L0,B_L1}_<shape>: the quadrant's chroma of
// one list, weighted explicitly unless the quadrant is bi-predicted (its
// driver then combines the two lists).
template <class Pic, int List, int Shape>
void chroma_quadrant(const QuadrantCall& c, int q, int16_t* cbSlot, int16_t* crSlot) {
  interpolate_chroma_quadrant<Pic, Shape>(c, List, q, cbSlot, crSlot);
  if (((c.mb->sub_mb_type[q] >> 3) & 3) != 3) weigh_chroma_single<Pic>(c.mb, List, q, cbSlot, crSlot);
}

// Bi-prediction of both components from the list-0 slots a and list-1 slots
// b into out, by the slice's weighting mode; sums in 32 bits.
template <class Pic>
void combine_chroma_bi(DecodedPicture* const* const lists[2], const MacroblockRecord* mb, int q, int16_t (*a)[16],
                       int16_t (*b)[16], int16_t* outCb, int16_t* outCr) {
  const SliceDecodeContext* s = mb->slice;
  int16_t* out[2] = {outCb, outCr};
  for (int comp = 0; comp < 2; ++comp) {
    int32_t w0 = 1, w1 = 1, logWD = 0, o = 0;
    int32_t o0, o1, d;
    if (s->weightingMode == 1 && chroma_weight<Pic>(mb, 0, q, comp, &w0, &o0, &logWD) &&
        chroma_weight<Pic>(mb, 1, q, comp, &w1, &o1, &d)) {
      o = (o0 + o1 + 1) >> 1;
    } else if (s->weightingMode == 2) {
      int32_t cur, poc0, poc1;
      inter::implicit_counts<Pic::kMbaff>(mb, inter::reference_for<Pic::kMbaff>(lists[0], mb, 0, ref_idx(mb, 0, q)),
                                          inter::reference_for<Pic::kMbaff>(lists[1], mb, 1, ref_idx(mb, 1, q)),
                                          &cur, &poc0, &poc1);
      inter::implicit_weights(cur, poc0, poc1, &w0, &w1);
      logWD = 5;
    } else {
      // The default average: exact in the averaging kernel.
      weighting_dsp().average(reinterpret_cast<const uint16_t*>(a[comp]), 8, reinterpret_cast<const uint16_t*>(b[comp]),
                              8, reinterpret_cast<uint16_t*>(out[comp]), 8, 8, 2);
      continue;
    }
    weight_samples_bi(reinterpret_cast<const uint16_t*>(a[comp]), 8, reinterpret_cast<const uint16_t*>(b[comp]), 8,
                      reinterpret_cast<uint16_t*>(out[comp]), 8, 8, 2, w0, w1, logWD, o);
  }
}

// CreateInterPredictionChroma_B_Direct_8x8: the direct quadrant's chroma
// from the motion its luma derived; per 2x2 block when direct motion was
// derived per 4x4 luma block.
template <class Pic>
void direct_chroma_quadrant(const QuadrantCall& c, int q, int16_t* cbSlot, int16_t* crSlot) {
  const MacroblockRecord* mb = c.mb;
  const int lists = mb->pred_flag_l0[q] ? (mb->pred_flag_l1[q] ? 3 : 1) : 2;
  const bool perBlock = mb->slice->direct_8x8_inference_flag == 0;
  alignas(16) int16_t tmp[2][2][16];  // [list][component]
  for (int list = 0; list < 2; ++list) {
    if (!(lists & (1 << list))) continue;
    int16_t* cb = lists == 3 ? tmp[list][0] : cbSlot;
    int16_t* cr = lists == 3 ? tmp[list][1] : crSlot;
    if (perBlock)
      interpolate_chroma_quadrant<Pic, 3>(c, list, q, cb, cr);
    else
      interpolate_chroma_quadrant<Pic, 0>(c, list, q, cb, cr);
  }
  if (lists == 3)
    combine_chroma_bi<Pic>(c.lists, mb, q, tmp[0], tmp[1], cbSlot, crSlot);
  else
    weigh_chroma_single<Pic>(mb, lists == 2, q, cbSlot, crSlot);
}

// Chroma of a P_8x8 / P_8x8ref0 or B_8x8 macroblock: each quadrant into its
// slots, bi-predicted quadrants combined, then the residual added and the
// 8x8 Cb and Cr blocks stored. A quadrant of an unknown code is predicted as
// 0.
template <class Pic, bool BSlice>
void chroma_driver(const QuadrantCall& c, uint8_t* dstCb, uint8_t* dstCr, const SubMbMembers& m) {
  MacroblockRecord* mb = c.mb;
  alignas(16) int16_t slots[2][4][16];  // [component][quadrant]
  for (int q = 0; q < 4; ++q) {
    const uint8_t code = mb->sub_mb_type[q];
    if (BSlice && code == SubMbB_Direct_8x8) {
      m.directChroma(c.lists[0], c.lists[1], mb, static_cast<uint8_t>(q), c.x, c.y, slots[0][q], slots[1][q],
                     c.pitch, c.width, c.height);
      continue;
    }
    if (!known_sub_code(code, BSlice)) {
      std::memset(slots[0][q], 0, sizeof slots[0][q]);
      std::memset(slots[1][q], 0, sizeof slots[1][q]);
      continue;
    }
    const int shape = (code >> 5) & 3, lists = (code >> 3) & 3;
    if (lists != 3) {
      const int list = lists == 2;
      m.chroma[list][shape](c.lists[list], mb, static_cast<uint8_t>(q), c.x, c.y, slots[0][q], slots[1][q], c.pitch,
                            c.width, c.height);
      continue;
    }
    alignas(16) int16_t tmp[2][2][16];
    for (int list = 0; list < 2; ++list)
      m.chroma[list][shape](c.lists[list], mb, static_cast<uint8_t>(q), c.x, c.y, tmp[list][0], tmp[list][1],
                            c.pitch, c.width, c.height);
    combine_chroma_bi<Pic>(c.lists, mb, q, tmp[0], tmp[1], slots[0][q], slots[1][q]);
  }
  const ChromaDsp& dsp = chroma_dsp();
  dsp.put_blocks_8x8(dstCb, c.pitch, slots[0][0], mb->chroma_coeff);
  dsp.put_blocks_8x8(dstCr, c.pitch, slots[1][0], mb->chroma_coeff + 64);
}

}  // namespace submb

namespace submb {

// The members of one picture kind ('F' frame and field pictures, 'M' MBAFF
// frames), gathered from the member lists.
constexpr SubMbMembers members_of(char kind) {
  SubMbMembers m{};
#define SUBMB_LUMA_ENTRY(name, pic, list, shape) \
  if (#pic[0] == kind) m.luma[list][shape] = &name;
#define SUBMB_CHROMA_ENTRY(name, pic, list, shape) \
  if (#pic[0] == kind) m.chroma[list][shape] = &name;
#define SUBMB_DIRECT_ENTRY(luma, chroma, pic) \
  if (#pic[0] == kind) {                      \
    m.directLuma = &luma;                     \
    m.directChroma = &chroma;                 \
  }
  INTER_SUBMB_LUMA_MEMBERS(SUBMB_LUMA_ENTRY)
  INTER_SUBMB_CHROMA_MEMBERS(SUBMB_CHROMA_ENTRY)
  INTER_SUBMB_DIRECT_MEMBERS(SUBMB_DIRECT_ENTRY)
#undef SUBMB_LUMA_ENTRY
#undef SUBMB_CHROMA_ENTRY
#undef SUBMB_DIRECT_ENTRY
  return m;
}

}  // namespace submb

// One-line definitions of the members of the lists' rows of picture kind
// `pic`, for the file that defines that kind; Policy is its picture policy.
#define SUBMB_DEFINE_LUMA(Policy, name, list, shape)                                                            \
  void name(INTER_SUBMB_LUMA_ARGS) {                                                                            \
    submb::luma_quadrant<Policy, list, shape>({{refList, refList}, mb, mbX, mbY, pitch, frameWidth, frameHeight}, q, \
                                              block);                                                           \
  }
#define SUBMB_DEFINE_CHROMA(Policy, name, list, shape)                                                          \
  void name(INTER_SUBMB_CHROMA_ARGS) {                                                                          \
    submb::chroma_quadrant<Policy, list, shape>(                                                                \
        {{refList, refList}, mb, chromaX, chromaY, chromaPitch, chromaWidth, chromaHeight}, q, cbSlot, crSlot); \
  }
#define SUBMB_DEFINE_DIRECT(Policy, luma, chroma)                                                                \
  void luma(INTER_SUBMB_DIRECT_LUMA_ARGS) {                                                                      \
    submb::direct_luma_quadrant<Policy>({{refList0, refList1}, mb, mbX, mbY, pitch, frameWidth, frameHeight}, q, \
                                        block0, block1);                                                         \
  }                                                                                                              \
  void chroma(INTER_SUBMB_DIRECT_CHROMA_ARGS) {                                                                  \
    submb::direct_chroma_quadrant<Policy>(                                                                       \
        {{refList0, refList1}, mb, chromaX, chromaY, chromaPitch, chromaWidth, chromaHeight}, q, cbSlot, crSlot); \
  }
#define SUBMB_LISTS_ONE refList, refList
#define SUBMB_LISTS_TWO refList0, refList1
#define SUBMB_DEFINE_DRIVER(Policy, kind, luma, chroma, slice, lists)                                             \
  void luma(INTER_LUMA_ARGS_##lists) {                                                                           \
    static constexpr submb::SubMbMembers kMembers = submb::members_of(kind);                                     \
    submb::luma_driver<Policy, #slice[0] == 'B'>({{SUBMB_LISTS_##lists}, mb, mbX, mbY, pitch, frameWidth,         \
                                                  frameHeight},                                                  \
                                                 dst, kMembers);                                                 \
  }                                                                                                              \
  void chroma(INTER_CHROMA_ARGS_##lists) {                                                                       \
    static constexpr submb::SubMbMembers kMembers = submb::members_of(kind);                                     \
    submb::chroma_driver<Policy, #slice[0] == 'B'>(                                                              \
        {{SUBMB_LISTS_##lists}, mb, chromaX, chromaY, chromaPitch, chromaWidth, chromaHeight}, dstCb, dstCr,      \
        kMembers);                                                                                               \
  }
