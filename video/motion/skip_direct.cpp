// Slice-level members of skip and direct motion.
#include "skip_direct.h"

#include "decoder_engine.h"
#include "direct_motion.h"
#include "mb_record.h"
#include "motion_vectors.h"

namespace {

DirectContext contextOf(const MacroblockRecord* mb, DecodedPicture** list0, DecodedPicture** list1, bool mbaff,
                        bool inference8x8) {
  const SliceDecodeContext* s = mb->slice;
  DirectContext ctx{};
  ctx.refPicList0 = list0;
  ctx.refPicList1 = list1;
  ctx.refPicList0Length = static_cast<uint32_t>(s->num_ref_idx_l0_active_minus1) + 1;
  ctx.currentPoc = s->picture != nullptr ? s->picture->pictureOrderCount : 0;
  ctx.inference8x8 = inference8x8;
  ctx.mbaff = mbaff;
  ctx.fieldPicture = s->field_pic_flag != 0;
  ctx.currentPicture = s->picture;
  ctx.refParity0 = s->refParity[0];
  ctx.refParity1 = s->refParity[1];
  ctx.widthInMbs = s->picture != nullptr ? s->picture->widthInMbs : 0;
  return ctx;
}

}  // namespace

DirectContext direct_context(const MacroblockRecord* mb, DecodedPicture** list0, DecodedPicture** list1, bool mbaff) {
  return contextOf(mb, list0, list1, mbaff, mb->slice->direct_8x8_inference_flag != 0);
}

namespace {

template <bool Mbaff>
void wholeMacroblock(DecodedPicture** list0, DecodedPicture** list1, MacroblockRecord* mb) {
  const DirectContext ctx = contextOf(mb, list0, list1, Mbaff, mb->slice->direct_8x8_inference_flag != 0);
  if (mb->slice->direct_spatial_mv_pred_flag)
    spatial_direct(ctx, mb, 0xF);
  else
    temporal_direct(ctx, mb, 0xF);
}

}  // namespace

void MotionVectorDerivation_B_Skip_Direct(DecodedPicture** l0, DecodedPicture** l1, MacroblockRecord* mb) {
  wholeMacroblock<false>(l0, l1, mb);
}
void MotionVectorDerivation_B_Skip_Direct_mbaff(DecodedPicture** l0, DecodedPicture** l1, MacroblockRecord* mb) {
  wholeMacroblock<true>(l0, l1, mb);
}

void TemporalDirectDerivation(MacroblockRecord* mb, DecodedPicture** l0, DecodedPicture** l1, uint8_t q) {
  temporal_direct_quadrant(contextOf(mb, l0, l1, false, false), mb, q & 3);
}
void TemporalDirectDerivation_mbaff(MacroblockRecord* mb, DecodedPicture** l0, DecodedPicture** l1, uint8_t q) {
  temporal_direct_quadrant(contextOf(mb, l0, l1, true, false), mb, q & 3);
}
void TemporalDirectDerivation_8x8_inference(MacroblockRecord* mb, DecodedPicture** l0, DecodedPicture** l1,
                                            uint8_t q) {
  temporal_direct_quadrant(contextOf(mb, l0, l1, false, true), mb, q & 3);
}
void TemporalDirectDerivation_8x8_inference_mbaff(MacroblockRecord* mb, DecodedPicture** l0, DecodedPicture** l1,
                                                  uint8_t q) {
  temporal_direct_quadrant(contextOf(mb, l0, l1, true, true), mb, q & 3);
}

void SpatialDirectDerivation(MacroblockRecord* mb, DecodedPicture** l0, DecodedPicture** l1, uint8_t q,
                             int8_t refIdxL0, int8_t refIdxL1, uint8_t zero) {
  const DirectContext ctx = contextOf(mb, l0, l1, false, mb->slice->direct_8x8_inference_flag != 0);
  spatial_direct_quadrant(ctx, mb, q & 3, refIdxL0, refIdxL1, zero != 0);
}
void SpatialDirectDerivation_mbaff(MacroblockRecord* mb, DecodedPicture** l0, DecodedPicture** l1, uint8_t q,
                                   int8_t refIdxL0, int8_t refIdxL1, uint8_t zero) {
  const DirectContext ctx = contextOf(mb, l0, l1, true, mb->slice->direct_8x8_inference_flag != 0);
  spatial_direct_quadrant(ctx, mb, q & 3, refIdxL0, refIdxL1, zero != 0);
}

DecodedPicture* CoLocated4x4SubMacroblockPartition(DecodedPicture** l0, DecodedPicture** l1, uint8_t q, uint8_t k,
                                                   MacroblockRecord* mb, int16_t* mvCol, int8_t* refIdxCol) {
  const DirectContext ctx = contextOf(mb, l0, l1, false, mb->slice->direct_8x8_inference_flag != 0);
  return colocated_block(ctx, mb, q & 3, k & 3, mvCol, refIdxCol);
}
DecodedPicture* CoLocated4x4SubMacroblockPartition_mbaff(DecodedPicture** l0, DecodedPicture** l1, uint8_t q,
                                                         uint8_t k, MacroblockRecord* mb, int16_t* mvCol,
                                                         int8_t* refIdxCol) {
  const DirectContext ctx = contextOf(mb, l0, l1, true, mb->slice->direct_8x8_inference_flag != 0);
  return colocated_block(ctx, mb, q & 3, k & 3, mvCol, refIdxCol);
}
