// Entry of the worker threads into slice-data decoding: init_slice on the
// slice's first call (overrun flag cleared, QP offsets, LevelScale tables
// from the active picture parameter set), then the walk of the slice's
// entropy mode over the slice context's view, whose cursor and QP state are
// written back for reconstruction.
//
// Kept alone in its file so that programs which link the engine's stand-in
// stages never pull it in beside them.
#include "cabac_slice.h"
#include "decoder_engine.h"
#include "parameter_sets.h"
#include "slice_data.h"
#include "transforms.h"

namespace {

// init_slice: the parts that touch the slice context.
void init_slice(ThreadBuffer* tb, SliceDecodeContext* c) {
  tb->reader.overrun = 0;
  c->CurrMbAddr = c->firstMbAddr;
  c->mb_qp_delta = 0;
  c->QpBdOffsetY = 0;  // 8-bit sequences only
  c->QpBdOffsetC = 0;
  c->QPY = static_cast<int8_t>(c->SliceQPY + c->QpBdOffsetY);
  build_level_scale(c->pps->ScalingList4x4, c->pps->ScalingList8x8, c->LevelScale4x4, c->LevelScale8x8);
}

SliceDataState view_of(SliceDecodeContext* c) {
  DecodedPicture* p = c->picture;
  SliceDataState s{};
  s.CurrMbAddr = c->CurrMbAddr;
  s.firstMbAddr = c->firstMbAddr;
  s.currentMb = c->currentMb;
  s.firstMb = c->firstMb;
  s.records = p->macroblocks;
  s.widthInMbs = p->widthInMbs;
  // A slice's data end before the next slice of the picture starts: running
  // past that limit gives the slice up like running past the picture.
  s.mbCount = c->mbLimit != 0 && c->mbLimit < p->mbCount ? c->mbLimit : p->mbCount;
  s.structure = p->structure;
  s.chroma_format_idc = p->chroma_format_idc;
  s.owner = c;
  s.sliceType = c->slice_type;
  s.MbaffFrameFlag = c->MbaffFrameFlag;
  s.entropy_coding_mode_flag = c->entropy_coding_mode_flag;
  s.constrained_intra_pred_flag = c->constrained_intra_pred_flag;
  s.transform_8x8_mode_flag = c->transform_8x8_mode_flag;
  s.direct_8x8_inference_flag = c->direct_8x8_inference_flag;
  s.num_ref_idx_l0_active_minus1 = c->num_ref_idx_l0_active_minus1;
  s.num_ref_idx_l1_active_minus1 = c->num_ref_idx_l1_active_minus1;
  s.chroma_qp_index_offset = c->chroma_qp_index_offset;
  s.second_chroma_qp_index_offset = c->second_chroma_qp_index_offset;
  s.disable_deblocking_filter_idc = c->disable_deblocking_filter_idc;
  s.FilterOffsetA = c->FilterOffsetA;
  s.FilterOffsetB = c->FilterOffsetB;
  s.lastMbQpDelta = c->mb_qp_delta;
  s.QPY = c->QPY;
  s.QpBdOffsetY = c->QpBdOffsetY;
  s.QPCb = c->QPCb;
  s.QPCr = c->QPCr;
  s.QpBdOffsetC = c->QpBdOffsetC;
  s.ls4x4 = c->LevelScale4x4;
  s.ls8x8 = c->LevelScale8x8;
  return s;
}

// The walk of one slice of any type: CABAC when `cabac` is 1.
int32_t decode_slice(ThreadBuffer* tb, SliceDecodeContext* c, uint8_t cabac) {
  if (c->picture == nullptr || c->picture->macroblocks == nullptr) return kSliceFailed;
  if (c->firstMbAddr < c->picture->mbCount && c->currentMb == c->firstMb) init_slice(tb, c);
  SliceDataState s = view_of(c);
  const uint32_t result = cabac ? decode_slice_data_cabac(tb, &s, c->cabacContexts)
                                                      : decode_slice_data_cavlc(&tb->reader, &s);
  c->CurrMbAddr = s.CurrMbAddr;
  c->currentMb = s.currentMb;
  c->mb_qp_delta = s.lastMbQpDelta;
  c->QPY = static_cast<int8_t>(s.QPY);
  c->QPCb = static_cast<uint8_t>(s.QPCb);
  c->QPCr = static_cast<uint8_t>(s.QPCr);
  return static_cast<int32_t>(result);
}

// The loops of the three slice types; the walk tells the macroblock types
// apart itself.
int32_t binari_decode_i_slice_data(ThreadBuffer* tb, SliceDecodeContext* c, uint8_t cabac) {
  return decode_slice(tb, c, cabac);
}
int32_t binari_decode_p_slice_data(ThreadBuffer* tb, SliceDecodeContext* c, uint8_t cabac) {
  return decode_slice(tb, c, cabac);
}
int32_t binari_decode_b_slice_data(ThreadBuffer* tb, SliceDecodeContext* c, uint8_t cabac) {
  return decode_slice(tb, c, cabac);
}

uint8_t cabac_flag(const SliceDecodeContext* c) { return c->entropy_coding_mode_flag == 1 ? 1 : 0; }

}  // namespace

int32_t binari_decode_i_unit(ThreadBuffer* tb) {
  return binari_decode_i_slice_data(tb, tb->slice, cabac_flag(tb->slice));
}
int32_t binari_decode_p_unit(ThreadBuffer* tb) {
  return binari_decode_p_slice_data(tb, tb->slice, cabac_flag(tb->slice));
}
int32_t binari_decode_b_unit(ThreadBuffer* tb) {
  return binari_decode_b_slice_data(tb, tb->slice, cabac_flag(tb->slice));
}
