// CABAC decoders of the macroblock-level syntax elements: skip and field
// flags, mb_type of each slice type, transform size, intra modes, coded block
// pattern and mb_qp_delta.
#include "cabac_syntax.h"

namespace {

inline bool is_pcm(const MacroblockRecord* n) { return n->mb_type == MbI_PCM; }

// The intra mb_type suffix after its first bin (which chose I_NxN or not):
// terminate bin (I_PCM), then luma flag, chroma flag, chroma class and the
// two prediction-mode bins, with the contexts of `at` (offsets into `ctx`).
uint8_t intra_mb_type_rest(CabacLocal& e, CabacContext* ctx, const uint8_t (&at)[5]) {
  if (e.terminate()) return MbI_PCM;
  const uint32_t luma = e.decision(ctx + at[0]);
  uint32_t cls = e.decision(ctx + at[1]);
  if (cls) cls += e.decision(ctx + at[2]);
  const uint32_t p1 = e.decision(ctx + at[3]);
  const uint32_t p0 = e.decision(ctx + at[4]);
  return static_cast<uint8_t>(65 + 12 * luma + 4 * cls + 2 * p1 + p0);
}

constexpr uint8_t kISuffix[5] = {3, 4, 5, 6, 7};
constexpr uint8_t kPSuffix[5] = {4, 5, 5, 6, 6};
constexpr uint8_t kBSuffix[5] = {6, 7, 7, 8, 8};

}  // namespace

uint32_t cabac_mb_skip_flag(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  const uint32_t inc = (a && !mb_is_skipped(a->mb_type)) + (b && !mb_is_skipped(b->mb_type));
  return cabac_decision(&tb->reader, ctx + inc);
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
  return intra_mb_type_rest(e, ctx, kISuffix);
}

uint8_t cabac_mb_type_P_slice(ThreadBuffer* tb, CabacContext* ctx) {
  CabacScope e(&tb->reader);
  if (e.decision(ctx)) {
    if (!e.decision(ctx + 3)) return MbI_NxN;
    return intra_mb_type_rest(e, ctx, kPSuffix);
  }
  if (!e.decision(ctx + 1)) return e.decision(ctx + 2) ? Mb8x8 : MbL0_16x16;
  return e.decision(ctx + 3) ? MbL0_L0_16x8 : MbL0_L0_8x16;
}

uint8_t cabac_mb_type_B_slice(ThreadBuffer* tb, CabacContext* ctx, const MacroblockRecord* mb) {
  // Codes of the six-bin strings 1 1 b2 b3 b4 b5 by their last four bins;
  // 8..12 take one more bin choosing 16x8 (code) or 8x16 (code + 1), 13 is
  // the intra escape.
  static const uint8_t kLong[16] = {60, 21, 22, 41, 42, 25, 26, 37, 29, 45, 53, 57, 61, 0, 38, Mb8x8};
  CabacScope e(&tb->reader);
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  const uint32_t inc = (a && !mb_is_skipped(a->mb_type) && a->mb_type != MbB_Direct_16x16) +
                       (b && !mb_is_skipped(b->mb_type) && b->mb_type != MbB_Direct_16x16);
  if (!e.decision(ctx + inc)) return MbB_Direct_16x16;
  if (!e.decision(ctx + 3)) return e.decision(ctx + 5) ? 40 : MbL0_16x16;
  uint32_t v = e.decision(ctx + 4) << 3;
  v |= e.decision(ctx + 5) << 2;
  v |= e.decision(ctx + 5) << 1;
  v |= e.decision(ctx + 5);
  if (v == 13) {
    if (!e.decision(ctx + 5)) return MbI_NxN;
    return intra_mb_type_rest(e, ctx, kBSuffix);
  }
  if (v >= 8 && v <= 12) return static_cast<uint8_t>(kLong[v] + e.decision(ctx + 5));
  return kLong[v];
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
  auto cond = [](const MacroblockRecord* n) {
    return n && mb_is_intra(n->mb_type) && !is_pcm(n) && n->intra_chroma_pred_mode != 0 ? 1u : 0u;
  };
  if (!e.decision(ctx + cond(mb->neighbour_a) + cond(mb->neighbour_b))) return 0;
  if (!e.decision(ctx + 3)) return 1;
  return e.decision(ctx + 3) ? 3u : 2u;
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
