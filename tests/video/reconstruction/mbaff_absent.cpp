// Linked into the stream test only while the MBAFF drivers and deblocking do
// not exist yet: the streams it decodes have no MBAFF frames, so these are
// never called; they reconstruct nothing and report the unit done.
#include "reconstruction.h"

namespace {
uint32_t unit_count(ThreadBuffer* tb) { return tb->slice->firstMb ? tb->slice->firstMb->slice_mb_count : 0; }
}  // namespace

uint32_t predict_and_combine_I_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return unit_count(tb); }
uint32_t predict_and_combine_P_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return unit_count(tb); }
uint32_t predict_and_combine_B_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return unit_count(tb); }
uint32_t DeblockingFilter_mbaff(DecodedPicture*) { return 0; }
