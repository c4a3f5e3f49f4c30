// MBAFF frames are not reconstructed yet: these entry points leave the
// macroblock pairs of such a frame untouched and report the unit done, so a
// stream with MBAFF frames still decodes (with wrong pictures), never stalls.
#include "reconstruction.h"

namespace {
uint32_t unit_count(ThreadBuffer* tb) { return tb->slice->firstMb ? tb->slice->firstMb->slice_mb_count : 0; }
}  // namespace

uint32_t predict_and_combine_I_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return unit_count(tb); }
uint32_t predict_and_combine_P_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return unit_count(tb); }
uint32_t predict_and_combine_B_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return unit_count(tb); }
uint32_t DeblockingFilter_mbaff(DecodedPicture*) { return 0; }
