// Luma prediction of whole macroblocks in frame and field pictures. Two
// templates cover every member: luma_partition_member for the 16x16, 16x8
// and 8x16 types (shape and partition lists read from the MbTypeCode bits)
// and luma_skip_member for P_Skip, B_Skip and B_Direct_16x16.
//
// A member derives its motion vectors, interpolates each partition and list
// from the reference into a 16-bit prediction layout, records the reference
// picture and its identifier for deblocking and later direct prediction,
// weights when the slice asks for it, and combines with the residual.
#include <cstddef>
#include <cstring>

#include "inter_internal.h"
#include "direct_motion.h"
#include "luma_sample_interpolation.h"
#include "motion_vectors.h"
#include "skip_direct.h"
#include "weighted_sample_prediction.h"
#include "weighting.h"
#include "weighting_dsp.h"
#include "inter_prediction.h"
#include "vpiInterpolate.h"

namespace {

// Reference records of a list: the picture in the given quadrants and its
// identifier byte in the given 4x4 blocks.
void record_reference(MacroblockRecord* mb, int list, const inter::PartitionReference& ref, unsigned quadrantMask,
                      unsigned blockMask) {
  DecodedPicture** pics = list ? mb->ref_pic_l1 : mb->ref_pic_l0;
  uint8_t* ids = list ? mb->ref_id_l1 : mb->ref_id_l0;
  const uint8_t id = ref.id;
  for (int q = 0; q < 4; ++q)
    if (quadrantMask & (1u << q)) pics[q] = ref.pic;
  for (int b = 0; b < 16; ++b)
    if (blockMask & (1u << b)) ids[b] = id;
}

// The residual the combination adds: none (null) when the macroblock coded
// no luma coefficients, whose residual is then all zero, so that its 512
// bytes are not read.
inline const int16_t* luma_residual(const MacroblockRecord* mb) {
  return (mb->cbp_luma | mb->luma_dc_nonzero) != 0 ? mb->luma_coeff : nullptr;
}

struct LumaCall {
  DecodedPicture* const* lists[2];
  uint16_t mbX, mbY;
  uint8_t* dst;
  MacroblockRecord* mb;
  uint32_t pitch, frameWidth, frameHeight;
};

// The weighting routines look explicit weights up with the reference index
// shifted by this: 1 for a field macroblock of an MBAFF frame.
template <bool Mbaff>
inline uint8_t weight_shift(const MacroblockRecord* mb) {
  return Mbaff && mb->mb_structure != 2 ? 1 : 0;
}

// First luma sample of the reference a partition reads: the bottom field
// starts one frame line (half the field pitch) down.
inline const uint8_t* luma_source(const inter::PartitionReference& ref, uint32_t pitch) {
  return frame_luma(ref.pic) + (ref.bottomField ? pitch / 2 : 0);
}

// Interpolates the block (offset ox, oy; w x h) of list `list` with the
// reference index of quadrant q and the vector of 4x4 block b into dst (row
// stride dstStride), and records the reference.
template <bool Mbaff>
void interpolate_partition(const LumaCall& call, int list, int q, int b, int ox, int oy, int w, int h,
                           unsigned quadrantMask, unsigned blockMask, int16_t* dst, int dstStride) {
  MacroblockRecord* mb = call.mb;
  const int8_t refIdx = list ? mb->ref_idx_l1[q] : mb->ref_idx_l0[q];
  const inter::PartitionReference ref = inter::reference_for<Mbaff>(call.lists[list], mb, list, refIdx);
  record_reference(mb, list, ref, quadrantMask, blockMask);
  const int16_t* mv = list ? mb->mv_l1[b] : mb->mv_l0[b];
  // The six-tap filter reads three lines below the block.
  await_reference_lines(mb->slice, ref.pic, mb->mb_structure != 2, ref.bottomField,
                        call.mbY + oy + (mv[1] >> 2) + h + 3);
  alignas(16) uint8_t scratch[256];
  InterpolateBlockParams params{};
  params.pSrc[0] = luma_source(ref, call.pitch);
  params.srcStep = static_cast<int32_t>(call.pitch);
  params.pDst[0] = scratch;
  params.dstStep = w;
  // The primitive clamps to the picture itself (the pitch less both
  // margins), so vectors far past the right edge replicate the edge sample.
  params.frameWidth = static_cast<int32_t>(call.frameWidth > 64 ? call.frameWidth - 64 : call.frameWidth);
  params.frameHeight = static_cast<int32_t>(call.frameHeight);
  params.blockWidth = w;
  params.blockHeight = h;
  params.blockX = static_cast<uint16_t>(call.mbX + ox);
  params.blockY = static_cast<uint16_t>(call.mbY + oy);
  params.mvX = mv[0];
  params.mvY = mv[1];
  vpiInterpolateLumaBlock_H264_8u_P1R(&params);
  weighting_dsp().widen(scratch, w, dst, dstStride, w, h);
}

// Motion vector derivation of one partition and list.
#define INTER_DERIVE(name) (Mbaff ? MotionVectorDerivation_##name##_mbaff : MotionVectorDerivation_##name)
template <bool Mbaff>
void derive(int shape, int list, int part, MacroblockRecord* mb) {
  switch (shape * 4 + list * 2 + part) {
    case 0: INTER_DERIVE(16x16_L0)(mb); break;
    case 2: INTER_DERIVE(16x16_L1)(mb); break;
    case 4: INTER_DERIVE(16x8_L0_upper)(mb); break;
    case 5: INTER_DERIVE(16x8_L0_lower)(mb); break;
    case 6: INTER_DERIVE(16x8_L1_upper)(mb); break;
    case 7: INTER_DERIVE(16x8_L1_lower)(mb); break;
    case 8: INTER_DERIVE(8x16_L0_left)(mb); break;
    case 9: INTER_DERIVE(8x16_L0_right)(mb); break;
    case 10: INTER_DERIVE(8x16_L1_left)(mb); break;
    case 11: INTER_DERIVE(8x16_L1_right)(mb); break;
    default: break;
  }
}
#undef INTER_DERIVE

// 16x16, 16x8 and 8x16 macroblocks of MbTypeCode Code; weigh is the type's
// weighting routine.
template <uint8_t Code, bool Mbaff, class Weigh>
void luma_partition_member(const LumaCall& call, Weigh weigh) {
  constexpr int kShape = Code & 3;  // 0 16x16, 1 16x8, 2 8x16
  constexpr int kParts = kShape ? 2 : 1;
  constexpr int kPred0 = (Code >> 4) & 3, kPred1 = kShape ? (Code >> 2) & 3 : 0;
  constexpr int kPred[2] = {kPred0, kPred1};
  constexpr bool kHasBi = kPred0 == 3 || kPred1 == 3;
  // The list whose predictions fill the main plane: the single-list
  // partition's, or list 0.
  constexpr int kMain = kPred0 != 3 ? kPred0 - 1 : kPred1 != 3 && kShape ? kPred1 - 1 : 0;
  MacroblockRecord* mb = call.mb;

  // Within a list the second partition's prediction reads the first's result.
  for (int list = 0; list < 2; ++list)
    for (int p = 0; p < kParts; ++p)
      if (kPred[p] & (1 << list)) derive<Mbaff>(kShape, list, p, mb);

  const uint32_t mode = mb->slice->weightingMode;
  const bool weighted = kHasBi ? mode != 0 : mode == 1;
  const uint8_t flag = mb->transform_size_8x8_flag;
  const int16_t* res = luma_residual(mb);
  const uint8_t shift = weight_shift<Mbaff>(mb);

  if constexpr (kShape == 0) {
    alignas(16) InterPredictionBuffer buf[2];
    for (int list = 0; list < 2; ++list)
      if (kPred0 & (1 << list))
        interpolate_partition<Mbaff>(call, list, 0, 0, 0, 0, 16, 16, 0xF, 0xFFFF, buf[kHasBi ? list : 0], 16);
    if constexpr (kHasBi) {
      if (weighted) weigh(mb, buf[0], buf[1], shift);
      if (!weighted) return CombineSamplesLuma_Bi_16x16(res, buf[0], buf[1], call.dst, call.pitch, flag);
    } else if (weighted) {
      weigh(mb, buf[0], shift);
    }
    CombineSamplesLuma_LX_16x16(res, buf[0], call.dst, call.pitch, flag);
  } else if constexpr (kShape == 1) {
    alignas(16) InterPredictionBuffer planes[2];  // main, second
    int16_t* main = planes[0];
    int16_t* second = planes[1];
    for (int p = 0; p < 2; ++p)
      for (int list = 0; list < 2; ++list) {
        if (!(kPred[p] & (1 << list))) continue;
        const bool inMain = kPred[p] != 3 || list == kMain;
        int16_t* rows = inMain ? main + 128 * p : second + (kPred0 == 3 && kPred1 == 3 ? 128 * p : 0);
        interpolate_partition<Mbaff>(call, list, 2 * p, 8 * p, 0, 8 * p, 16, 8, 3u << (2 * p), 0xFFu << (8 * p), rows, 16);
      }
    if constexpr (kHasBi) {
      if (weighted) {
        weigh(mb, kMain == 0 ? main : second, kMain == 0 ? second : main, shift);
      } else {
        if constexpr (kPred0 == 3 && kPred1 == 3)
          return CombineSamplesLuma_Bi_16x16(res, main, second, call.dst, call.pitch, flag);
        else if constexpr (kPred1 == 3)
          return CombineSamplesLuma_LX_Bi_16x8(res, main, second, call.dst, call.pitch, flag);
        else
          return CombineSamplesLuma_Bi_LX_16x8(res, main, second, call.dst, call.pitch, flag);
      }
    } else if (weighted) {
      weigh(mb, main, shift);
    }
    CombineSamplesLuma_LX_16x16(res, main, call.dst, call.pitch, flag);
  } else {
    constexpr int kLeftPlanes = kPred0 == 3 ? 2 : 1;
    constexpr int kPlanes = kLeftPlanes + (kPred1 == 3 ? 2 : 1);
    alignas(16) PredictionColumn planes[kPlanes];
    int next = 0;
    for (int p = 0; p < 2; ++p)
      for (int list = 0; list < 2; ++list)
        if (kPred[p] & (1 << list))
          interpolate_partition<Mbaff>(call, list, p, 4 * p, 8 * p, 0, 8, 16, 5u << p, 0xF0Fu << (4 * p), planes[next++], 8);
    constexpr int kLeftResult = kPred0 == 3 ? kMain : 0;
    constexpr int kRightResult = kLeftPlanes + (kPred1 == 3 ? kMain : 0);
    if constexpr (kHasBi) {
      if (weighted) {
        if constexpr (kPlanes == 3)
          weigh(mb, planes[0], planes[1], planes[2], shift);
        else
          weigh(mb, planes[0], planes[1], planes[2], planes[3], shift);
      } else {
        if constexpr (kPlanes == 4)
          return CombineSamplesLuma_Bi_8x16(res, planes[0], planes[1], planes[2], planes[3], call.dst, call.pitch,
                                            flag);
        else if constexpr (kPred1 == 3)
          return CombineSamplesLuma_LX_Bi_8x16(res, planes[0], planes[1], planes[2], call.dst, call.pitch, flag);
        else
          return CombineSamplesLuma_Bi_LX_8x16(res, planes[0], planes[1], planes[2], call.dst, call.pitch, flag);
      }
    } else if (weighted) {
      weigh(mb, planes[0], planes[1], shift);
    }
    CombineSamplesLuma_LX_8x16(res, planes[kRightResult], planes[kLeftResult], call.dst, call.pitch, flag);
  }
}

// The direct luma prediction of one quadrant into its tile: one 8x8 kernel
// call, or one 4x4 call per block when direct motion was derived per 4x4
// block (no 8x8 inference).
template <bool Mbaff>
void predict_quadrant(const LumaCall& call, int list, int q, bool perBlock, int16_t* tile) {
  MacroblockRecord* mb = call.mb;
  const int8_t refIdx = list ? mb->ref_idx_l1[q] : mb->ref_idx_l0[q];
  const inter::PartitionReference ref = inter::reference_for<Mbaff>(call.lists[list], mb, list, refIdx);
  record_reference(mb, list, ref, 1u << q, 0xFu << (4 * q));
  const int16_t(*mvs)[2] = list ? mb->mv_l1 : mb->mv_l0;
  const int qx = call.mbX + 8 * (q & 1), qy = call.mbY + 8 * (q >> 1);
  for (int k = 0; k < (perBlock ? 4 : 1); ++k) {
    const int16_t* mv = mvs[4 * q + k];
    const int bx = perBlock ? 4 * (k & 1) : 0, by = perBlock ? 4 * (k >> 1) : 0;
    const auto kernel = perBlock ? DecideLumaSampleInterpolation_4x4(mv) : DecideLumaSampleInterpolation_8x8(mv);
    kernel(tile + 8 * by + bx, luma_source(ref, call.pitch), qx + bx + (mv[0] >> 2), qy + by + (mv[1] >> 2), call.pitch,
           call.frameWidth, call.frameHeight);
  }
}

// True when every quadrant of list `list` uses one reference index and
// vector, so the macroblock can be predicted as one 16x16 block.
bool quadrants_agree(const MacroblockRecord* mb, int list, bool perBlock) {
  const int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
  const int16_t(*mv)[2] = list ? mb->mv_l1 : mb->mv_l0;
  for (int b = 1; b < 16; ++b) {
    if (!perBlock && (b & 3)) continue;
    if (mv[b][0] != mv[0][0] || mv[b][1] != mv[0][1] || ref[b >> 2] != ref[0]) return false;
  }
  return true;
}

// P_Skip (147), B_Skip (227) and B_Direct_16x16 (107).
template <uint8_t Code, bool Mbaff>
void luma_skip_member(const LumaCall& call) {
  constexpr bool kResidual = Code == MbB_Direct_16x16;
  MacroblockRecord* mb = call.mb;
  const SliceDecodeContext* s = mb->slice;
  const uint32_t mode = s->weightingMode;
  const uint8_t flag = mb->transform_size_8x8_flag;
  const int16_t* res = luma_residual(mb);
  const uint8_t shift = weight_shift<Mbaff>(mb);
  if constexpr (Code == MbP_Skip) {
    (Mbaff ? MotionVectorDerivation_P_Skip_mbaff : MotionVectorDerivation_P_Skip)(mb);
    alignas(16) InterPredictionBuffer buf;
    interpolate_partition<Mbaff>(call, 0, 0, 0, 0, 0, 16, 16, 0xF, 0xFFFF, buf, 16);
    if (mode != 0) WeightedSamplePrediction_L0_16x16(mb, buf, shift);
    CombineSamplesLuma_P_Skip(buf, call.dst, call.pitch);
    return;
  }
  // The derivation may take its lists as plain arrays of pointers; it only
  // reads them.
  (Mbaff ? MotionVectorDerivation_B_Skip_Direct_mbaff : MotionVectorDerivation_B_Skip_Direct)(const_cast<DecodedPicture**>(call.lists[0]),
                                       const_cast<DecodedPicture**>(call.lists[1]), mb);
  const int lists = mb->pred_flag_l0[0] != 1 ? 2 : mb->pred_flag_l1[0] != 1 ? 1 : 3;
  const bool perBlock = s->direct_8x8_inference_flag == 0;
  const bool agree = (!(lists & 1) || quadrants_agree(mb, 0, perBlock)) && (!(lists & 2) || quadrants_agree(mb, 1, perBlock));
  alignas(16) InterPredictionBuffer buf[2];
  int16_t* out = buf[lists == 2 ? 1 : 0];
  bool average = false;
  if (agree) {
    for (int list = 0; list < 2; ++list)
      if (lists & (1 << list)) interpolate_partition<Mbaff>(call, list, 0, 0, 0, 0, 16, 16, 0xF, 0xFFFF, buf[list], 16);
    if (lists == 3) {
      if (mode != 0)
        WeightedSamplePrediction_Bi_16x16(mb, buf[0], buf[1], shift);
      else
        average = true;
    } else if (mode == 1) {
      if (lists == 1)
        WeightedSamplePrediction_L0_16x16(mb, buf[0], shift);
      else
        WeightedSamplePrediction_L1_16x16(mb, buf[1], shift);
    }
    if (average) {
      if (kResidual) return CombineSamplesLuma_Bi_16x16(res, buf[0], buf[1], call.dst, call.pitch, flag);
      return CombineSamplesLuma_B_Skip(buf[0], buf[1], call.dst, call.pitch);
    }
    if (kResidual) return CombineSamplesLuma_LX_16x16(res, out, call.dst, call.pitch, flag);
    return CombineSamplesLuma_P_Skip(out, call.dst, call.pitch);
  }
  for (uint8_t q = 0; q < 4; ++q) {
    for (int list = 0; list < 2; ++list)
      if (lists & (1 << list)) predict_quadrant<Mbaff>(call, list, q, perBlock, buf[list] + 64 * q);
    if (lists == 3) {
      if (mode != 0) WeightedSamplePrediction_Bi_8x8(mb, buf[0] + 64 * q, buf[1] + 64 * q, q, shift);
    } else if (mode == 1) {
      if (lists == 1)
        WeightedSamplePrediction_L0_8x8(mb, buf[0] + 64 * q, q, shift);
      else
        WeightedSamplePrediction_L1_8x8(mb, buf[1] + 64 * q, q, shift);
    }
  }
  average = lists == 3 && mode == 0;
  if (average) {
    if (kResidual) return CombineSamplesLuma_Bi_8x8(res, buf[0], buf[1], call.dst, call.pitch, flag);
    return CombineSamplesLuma_B_Skip_8x8(buf[0], buf[1], call.dst, call.pitch);
  }
  if (kResidual) return CombineSamplesLuma_LX_8x8(res, out, call.dst, call.pitch, flag);
  CombineSamplesLuma_P_Skip_8x8(out, call.dst, call.pitch);
}

}  // namespace

#define INTER_LUMA_CALL_ONE LumaCall{{refList, refList}, mbX, mbY, dst, mb, pitch, frameWidth, frameHeight}
#define INTER_LUMA_CALL_TWO LumaCall{{refList0, refList1}, mbX, mbY, dst, mb, pitch, frameWidth, frameHeight}

#define INTER_DEFINE_PARTITION_MEMBER(name, mbaffName, slice, code, lists, weighting)                          \
  void name(INTER_LUMA_ARGS_##lists) {                                                                         \
    luma_partition_member<code, false>(INTER_LUMA_CALL_##lists, [](auto... args) { weighting(args...); });      \
  }                                                                                                            \
  void mbaffName(INTER_LUMA_ARGS_##lists) {                                                                 \
    luma_partition_member<code, true>(INTER_LUMA_CALL_##lists, [](auto... args) { weighting(args...); });       \
  }
INTER_LUMA_PARTITION_MEMBERS(INTER_DEFINE_PARTITION_MEMBER)

#define INTER_DEFINE_SKIP_MEMBER(name, mbaffName, slice, code, lists)                               \
  void name(INTER_LUMA_ARGS_##lists) { luma_skip_member<code, false>(INTER_LUMA_CALL_##lists); } \
  void mbaffName(INTER_LUMA_ARGS_##lists) { luma_skip_member<code, true>(INTER_LUMA_CALL_##lists); }
INTER_LUMA_SKIP_MEMBERS(INTER_DEFINE_SKIP_MEMBER)
