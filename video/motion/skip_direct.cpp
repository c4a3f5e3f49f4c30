// Slice-level members of skip and direct motion.
#include "skip_direct.h"

#include "decoder_records.h"
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
