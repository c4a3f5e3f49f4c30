// CABAC decoders of the macroblock-level syntax elements: skip and field
// flags, mb_type of each slice type, transform size, intra modes, coded block
// pattern and mb_qp_delta.
#include "cabac_syntax.h"

uint32_t cabac_mb_skip_flag(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  return cabac_decision(&tb->reader, ctx + cabac_skip_inc(mb));
}

uint32_t cabac_mb_field_decoding_flag(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  const uint32_t inc = (a && a->mb_structure != 2) + (b && b->mb_structure != 2);
  return cabac_decision(&tb->reader, ctx + inc);
}

uint8_t cabac_mb_type_I_slice(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  CabacScope e(&tb->reader);
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  const uint32_t inc = (a && a->mb_type != MbI_NxN) + (b && b->mb_type != MbI_NxN);
  if (!e.decision(ctx + inc)) return MbI_NxN;
  return cabac_intra_mb_type_rest<3, 4, 5, 6, 7>(e, ctx);
}

uint8_t cabac_mb_type_P_slice(ThreadBuffer* tb, CabacContext* ctx) {
  CabacScope e(&tb->reader);
  return cabac_mb_type_P_bins(e, ctx);
}

uint8_t cabac_mb_type_B_slice(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  CabacScope e(&tb->reader);
  return cabac_mb_type_B_bins(e, ctx, cabac_mb_type_B_inc(mb));
}

uint32_t cabac_transform_size_8x8_flag(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  return cabac_decision(&tb->reader, ctx + cabac_transform_8x8_inc(mb));
}

uint32_t cabac_prev_intraNxN_pred_mode_flag(ThreadBuffer* tb, CabacContext* ctx) {
  return cabac_decision(&tb->reader, ctx);
}

uint32_t cabac_rem_intraNxN_pred_mode(ThreadBuffer* tb, CabacContext* ctx) {
  CabacScope e(&tb->reader);
  return cabac_rem_intra_mode_bins(e, ctx);
}

uint32_t cabac_intra_chroma_pred_mode(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  CabacScope e(&tb->reader);
  return cabac_intra_chroma_bins(e, ctx, cabac_intra_chroma_inc(mb));
}

uint32_t cabac_coded_block_pattern_luma(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb,
                                        uint8_t MbaffFrameFlag) {
  CabacScope e(&tb->reader);
  return cabac_cbp_luma_bins(e, ctx, cabac_cbp_luma_beside(mb, MbaffFrameFlag));
}

uint32_t cabac_coded_block_pattern_chroma(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  CabacScope e(&tb->reader);
  return cabac_cbp_chroma_bins(e, ctx, cabac_cbp_chroma_seen(mb->neighbour_a), cabac_cbp_chroma_seen(mb->neighbour_b));
}

int8_t cabac_mb_qp_delta(ThreadBuffer* tb, CabacContext* ctx, int8_t lastMbQpDelta) {
  CabacScope e(&tb->reader);
  return cabac_mb_qp_delta_bins(e, ctx, lastMbQpDelta);
}
