// The slice-data walk of CAVLC slices and the pieces that CABAC slices share
// with it: record set-up, neighbour links of frame, field and MBAFF
// pictures, skipped macroblocks and the in-place inverse transforms; and the
// engine's entry into slice-data decoding.
#include "slice_data.h"

#include <cstring>

#include "cabac_slice.h"
#include "decoder_records.h"
#include "neighbour_blocks.h"
#include "parameter_sets.h"
#include "reconstruction.h"
#include "transforms.h"

namespace {

// Pairs around the pair of macroblock address n in an MBAFF frame; a null
// top record means the pair is not available.
struct PairLinks {
  MacroblockRecord* left;
  MacroblockRecord* up;
  MacroblockRecord* upRight;
  MacroblockRecord* upLeft;
};

PairLinks pair_links(const SliceDataState* s, uint32_t n) {
  const uint32_t w = s->widthInMbs, f = s->firstMbAddr;
  const uint32_t top = n & ~1u;
  MacroblockRecord* rec = s->records;
  PairLinks p{nullptr, nullptr, nullptr, nullptr};
  const uint32_t column = top % (2 * w);  // one division for both edge tests
  const bool leftColumn = column == 0;
  const bool rightColumn = column == 2 * w - 2;
  if (!leftColumn && top != f) p.left = rec + top - 2;
  if (top >= f + 2 * w) {
    p.up = rec + top - 2 * w;
    if (!rightColumn) p.upRight = rec + top - 2 * w + 2;
    p.upLeft = p.up->neighbour_a;
  } else if (!rightColumn && top == f + 2 * w - 2) {
    p.upRight = rec + f;
  }
  return p;
}

// The same pairs read off the links of the pair's top record, once linked:
// its A link is the left pair's top, and its B, C and D links are set
// exactly when the pairs above, above right and above left are available
// (the pair above right of the slice's first row is the slice's first pair,
// at the same address). No division, and no load of the neighbours.
PairLinks pair_links_of_linked_top(const SliceDataState* s, MacroblockRecord* top) {
  MacroblockRecord* up = top - 2 * s->widthInMbs;
  return {top->neighbour_a, top->neighbour_b ? up : nullptr, top->neighbour_c ? up + 2 : nullptr,
          top->neighbour_d ? up - 2 : nullptr};
}

inline bool is_frame_pair(const MacroblockRecord* top) { return top->mb_structure == kFrame; }

// Links of a record for its pair's mode.
void link_mbaff(MacroblockRecord* mb, bool field, const PairLinks& p) {
  const bool top = (mb->mb_addr & 1) == 0;
  auto pick = [](MacroblockRecord* pairTop, bool bottom) -> MacroblockRecord* {
    return pairTop == nullptr ? nullptr : bottom ? pairTop + 1 : pairTop;
  };
  mb->mb_structure = field ? (top ? kTopField : kBottomField) : kFrame;
  if (top && !field) {
    mb->neighbour_a = pick(p.left, false);
    mb->neighbour_b = pick(p.up, true);
    mb->neighbour_c = pick(p.upRight, true);
    mb->neighbour_d = pick(p.upLeft, true);
  } else if (top) {
    mb->neighbour_a = pick(p.left, false);
    mb->neighbour_b = p.up ? pick(p.up, is_frame_pair(p.up)) : nullptr;
    mb->neighbour_c = p.upRight ? pick(p.upRight, is_frame_pair(p.upRight)) : nullptr;
    mb->neighbour_d = p.upLeft ? pick(p.upLeft, is_frame_pair(p.upLeft)) : nullptr;
  } else if (!field) {
    const bool leftFrame = p.left && is_frame_pair(p.left);
    mb->neighbour_a = pick(p.left, leftFrame);
    mb->neighbour_b = mb - 1;
    mb->neighbour_c = nullptr;
    mb->neighbour_d = pick(p.left, !leftFrame);
  } else {
    const bool leftFrame = p.left && is_frame_pair(p.left);
    mb->neighbour_a = pick(p.left, !leftFrame);
    mb->neighbour_b = pick(p.up, true);
    mb->neighbour_c = pick(p.upRight, true);
    mb->neighbour_d = pick(p.upLeft, true);
  }
}

// Field flag of a pair that carries none: the left pair's, else the upper
// pair's, else frame.
uint8_t infer_field_flag(const PairLinks& p) {
  if (p.left) return p.left->mb_field_decoding_flag;
  if (p.up) return p.up->mb_field_decoding_flag;
  return 0;
}

// Moves the cursor to the next macroblock; false past the picture.
bool advance(SliceDataState* s, MacroblockRecord** mb) {
  if (s->CurrMbAddr + 1 >= s->mbCount) return false;
  ++s->CurrMbAddr;
  ++*mb;
  s->currentMb = *mb;
  (*mb)->slice_first_flag = 0;
  if (!s->MbaffFrameFlag) link_neighbours(s, *mb);
  return true;
}

uint32_t slice_end(SliceDataState* s, const MacroblockRecord* last) {
  s->firstMb->slice_mb_count = last->mb_addr - s->firstMb->mb_addr + 1;
  return kSliceDone;
}

// The field flag of a coded MBAFF macroblock: read for a top macroblock and
// for a bottom one whose top was skipped; else the top's.
void SetNeighbourMacroblocks_cavlc_mbaff(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  const bool top = (mb->mb_addr & 1) == 0;
  uint8_t flag;
  if (top || mb_is_skipped((mb - 1)->mb_type))
    flag = static_cast<uint8_t>(u_n(r, 1));
  else
    flag = (mb - 1)->mb_field_decoding_flag;
  SetNeighbourMacroblocks_coded_mbaff(s, mb, flag);
}

// After a CAVLC layer: the block decoders moved the word pointer, so the
// current word is reloaded; false when the macroblock was refused.
bool finish_layer(BitReaderCabac* r, bool ok) {
  if (r->overrun == 0) r->word = bs_load_word(r->pWord);
  return ok && r->overrun == 0;
}

// Fields of a coded P or B macroblock cleared before its layer.
void clear_coded(MacroblockRecord* mb, bool pSlice) {
  mb->transform_size_8x8_flag = 0;
  clear_coefficients(mb);
  std::memset(mb->mv_l0, 0, sizeof(mb->mv_l0));
  std::memset(mb->mv_l1, 0, sizeof(mb->mv_l1));
  if (pSlice) std::memset(mb->ref_idx_l1, 0xFF, sizeof(mb->ref_idx_l1));
}

uint32_t walk_i(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb, MacroblockSink* sink) {
  for (;;) {
    setup_record(s, mb, true);
    if (s->MbaffFrameFlag) SetNeighbourMacroblocks_cavlc_mbaff(r, s, mb);
    if (!finish_layer(r, decode_macroblock_layer_I_slice_cavlc(r, s, mb))) return slice_damaged(s);
    transform_macroblock(mb);
    hand_over(s, sink, mb);
    if (!more_rbsp_data(r)) return slice_end(s, mb);
    if (!advance(s, &mb)) return slice_damaged(s);
  }
}

uint32_t walk_p_b(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb, MacroblockSink* sink) {
  const bool bSlice = s->sliceType == kSliceTypeB;
  bool moreData = true;
  for (;;) {
    setup_record(s, mb, false);
    if (s->MbaffFrameFlag) SetNeighbourMacroblocks_mbaff_for_p_b(s, mb);
    const uint32_t run = ue_v(r);
    if (r->overrun) return slice_damaged(s);
    // Nothing is read within a run: whether data follow it is known at its
    // start.
    if (run > 0) moreData = more_rbsp_data(r) != 0;
    for (uint32_t i = 0; i < run; ++i) {
      setup_skipped(s, mb, bSlice);
      hand_over(s, sink, mb);
      if (!moreData && i == run - 1) return slice_end(s, mb);
      if (!advance(s, &mb)) return slice_damaged(s);
      setup_record(s, mb, false);
      if (s->MbaffFrameFlag) SetNeighbourMacroblocks_mbaff_for_p_b(s, mb);
    }
    if (moreData) {
      clear_coded(mb, !bSlice);
      if (s->MbaffFrameFlag) SetNeighbourMacroblocks_cavlc_mbaff(r, s, mb);
      const bool ok = bSlice ? decode_macroblock_layer_B_slice_cavlc(r, s, mb)
                             : decode_macroblock_layer_P_slice_cavlc(r, s, mb);
      if (!finish_layer(r, ok)) return slice_damaged(s);
      moreData = more_rbsp_data(r) != 0;
      transform_macroblock(mb);
      hand_over(s, sink, mb);
    }
    if (!moreData) return slice_end(s, mb);
    if (!advance(s, &mb)) return slice_damaged(s);
  }
}

}  // namespace

void slice_start(SliceDataState* s) {
  MacroblockRecord* first = s->firstMb;
  first->neighbour_a = first->neighbour_b = first->neighbour_c = first->neighbour_d = nullptr;
  s->CurrMbAddr = s->firstMbAddr;
  s->lastMbQpDelta = 0;
}

void setup_record(SliceDataState* s, MacroblockRecord* mb, bool clearCoefficients) {
  mb->slice = s->owner;
  mb->mb_field_decoding_flag = 0;
  mb->mb_addr = s->CurrMbAddr;
  mb->mb_structure = s->structure;
  mb->chroma_nonzero_mask = 0;
  mb->chroma_ac_cbf_mask = 0;
  mb->luma_dc_nonzero = 0;
  mb->luma_nonzero_mask = 0;
  std::memset(mb->pred_flag_l0, 0, sizeof(mb->pred_flag_l0));
  std::memset(mb->pred_flag_l1, 0, sizeof(mb->pred_flag_l1));
  if (clearCoefficients) clear_coefficients(mb);
}

void link_neighbours(const SliceDataState* s, MacroblockRecord* mb) {
  const uint32_t n = s->CurrMbAddr, w = s->widthInMbs, f = s->firstMbAddr;
  mb->neighbour_a = (n % w == 0 || mb == s->firstMb) ? nullptr : mb - 1;
  mb->neighbour_b = n >= f + w ? mb - w : nullptr;
  if (n % w == w - 1)
    mb->neighbour_c = nullptr;
  else if (mb->neighbour_b != nullptr)
    mb->neighbour_c = mb->neighbour_b + 1;
  else
    mb->neighbour_c = n + 1 == f + w ? s->firstMb : nullptr;
  mb->neighbour_d = mb->neighbour_b != nullptr ? mb->neighbour_b->neighbour_a : nullptr;
}

void SetNeighbourMacroblocks_mbaff_for_p_b(const SliceDataState* s, MacroblockRecord* mb) {
  const bool top = (mb->mb_addr & 1) == 0;
  // A bottom record follows its top, which is linked already.
  const PairLinks p = top ? pair_links(s, mb->mb_addr) : pair_links_of_linked_top(s, mb - 1);
  if (!top && !mb_is_skipped((mb - 1)->mb_type)) {
    mb->mb_field_decoding_flag = (mb - 1)->mb_field_decoding_flag;
    link_mbaff(mb, (mb - 1)->mb_structure != kFrame, p);
    return;
  }
  const uint8_t flag = infer_field_flag(p);
  mb->mb_field_decoding_flag = flag;
  if (!top) (mb - 1)->mb_structure = flag ? kTopField : kFrame;
  link_mbaff(mb, flag != 0, p);
}

void SetNeighbourMacroblocks_coded_mbaff(const SliceDataState* s, MacroblockRecord* mb, uint8_t fieldFlag) {
  const bool top = (mb->mb_addr & 1) == 0;
  mb->mb_field_decoding_flag = fieldFlag;
  // The top record of an I slice may still hold a former picture's links:
  // only a bottom one reads the pairs off its top.
  const PairLinks p = top ? pair_links(s, mb->mb_addr) : pair_links_of_linked_top(s, mb - 1);
  if (!top && mb_is_skipped((mb - 1)->mb_type)) {
    MacroblockRecord* t = mb - 1;
    t->mb_field_decoding_flag = fieldFlag;
    link_mbaff(t, fieldFlag != 0, p);
  }
  link_mbaff(mb, fieldFlag != 0, p);
}

void setup_skipped(SliceDataState* s, MacroblockRecord* mb, bool bSlice) {
  mb->mb_type = bSlice ? MbB_Skip : MbP_Skip;
  mb->transform_size_8x8_flag = 0;
  mb->cbp_luma = 0;
  mb->cbp_chroma = 0;
  std::memset(mb->ref_idx_l0, 0, sizeof(mb->ref_idx_l0));
  if (bSlice) std::memset(mb->ref_idx_l1, 0, sizeof(mb->ref_idx_l1));
  update_qp(s, mb, 0, false);
  s->lastMbQpDelta = 0;
}

void transform_macroblock(MacroblockRecord* mb) {
  // PCM samples fill the coefficient areas; a skipped macroblock's were not
  // cleared: either keeps the record's note of written blocks.
  if (mb->mb_type == MbI_PCM || mb_is_skipped(mb->mb_type)) return;
  // Blocks with coefficients are transformed; with an Intra16x16 DC the
  // others hold just their DC. Without an AC block a chroma block holds just
  // its DC.
  const uint32_t luma = mb->luma_nonzero_mask;
  if (mb->cbp_luma != 0 && mb->transform_size_8x8_flag)
    transform_luma_8x8(mb->luma_coeff, mb->cbp_luma);
  else if (mb->luma_dc_nonzero)
    transform_luma_4x4(mb->luma_coeff, 0xFFFFu, static_cast<uint16_t>(~luma));
  else if (mb->cbp_luma != 0)
    transform_luma_4x4(mb->luma_coeff, static_cast<uint16_t>(luma));
  if (mb->cbp_chroma != 0) {
    const uint32_t ac = (mb->chroma_ac_cbf_mask & 15u) | ((mb->chroma_ac_cbf_mask >> 12) & 0xF0u);
    transform_chroma_4x4(mb->chroma_coeff, static_cast<uint8_t>(~ac));
  }
  note_transformed_coefficients(mb);
}

uint32_t decode_slice_data_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockSink* sink) {
  s->mbsBeforeDamage = 0;
  if (s->firstMbAddr >= s->mbCount) return kSliceFailed;
  if (s->currentMb == s->firstMb) {
    slice_start(s);
    s->firstMb->slice_first_flag = 1;
    s->firstMb->deblock_idc = s->disable_deblocking_filter_idc;
    s->firstMb->filter_offset_a = s->FilterOffsetA;
    s->firstMb->filter_offset_b = s->FilterOffsetB;
  }
  if (s->CurrMbAddr >= s->mbCount || !slice_qp_valid(s)) return slice_damaged(s);
  MacroblockRecord* mb = s->records + s->CurrMbAddr;
  s->currentMb = mb;
  return s->sliceType == kSliceTypeI ? walk_i(r, s, mb, sink) : walk_p_b(r, s, mb, sink);
}

namespace {

// Mode of neighbour block `nblk` of record n for the prediction, or -1 when
// the neighbour is not usable (absent, or inter under constrained intra
// prediction). `eightByEight` picks the 4x4 block of the standard's 8x8 rule
// (1 for the left, 2 for the upper neighbour) inside the neighbour's 8x8.
int neighbour_mode(const SliceDataState* s, const MacroblockRecord* self, const MacroblockRecord* n, int nblk,
                   int eightByEight) {
  if (n == nullptr) return -1;
  if (n != self && !mb_is_intra(n->mb_type) && s->constrained_intra_pred_flag) return -1;
  if (n->mb_type != MbI_NxN) return 2;
  if (eightByEight != 0 && n != self) nblk = (nblk & ~3) + eightByEight;
  return n->intra_pred_mode[nblk];
}

}  // namespace

int predicted_intra_mode_at_edge(const SliceDataState* s, const MacroblockRecord* mb, int blk, bool eightByEight) {
  int ablk, bblk;
  const MacroblockRecord* a = neighbour_blocks::left_luma(mb, blk, s->MbaffFrameFlag != 0, &ablk);
  const MacroblockRecord* b = neighbour_blocks::up_luma(mb, blk, &bblk);
  const int modeA = neighbour_mode(
      s, mb, a, ablk, eightByEight ? neighbour_blocks::left_mode_offset_8x8(mb, a, blk, s->MbaffFrameFlag != 0) : 0);
  const int modeB = neighbour_mode(s, mb, b, bblk, eightByEight ? 2 : 0);
  if (modeA < 0 || modeB < 0) return 2;
  return modeA < modeB ? modeA : modeB;
}

void DecodeIPCMMacroBlock(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  bs_align(r);
  uint8_t* luma = reinterpret_cast<uint8_t*>(mb->luma_coeff);
  for (int i = 0; i < 256; ++i) luma[i] = static_cast<uint8_t>(ReadNBits(r, 8));
  if (s->chroma_format_idc != 0) {
    for (int c = 0; c < 2; ++c) {
      uint8_t* chroma = reinterpret_cast<uint8_t*>(mb->chroma_coeff + 64 * c);
      for (int i = 0; i < 64; ++i) chroma[i] = static_cast<uint8_t>(ReadNBits(r, 8));
    }
  }
  mb->transform_size_8x8_flag = 0;
  mb->cbp_luma = 0;
  mb->cbp_chroma = 0;
  s->lastMbQpDelta = 0;
  // QP_Y 0 for the record; the running QP'Y is left for the next macroblock.
  const int32_t saved = s->QPY;
  s->QPY = s->QpBdOffsetY;
  update_qp(s, mb, 0, false);
  s->QPY = saved;
}

// Entry of the worker threads into slice-data decoding: init_slice on the
// slice's first call (overrun flag cleared, QP offsets, LevelScale tables
// from the active picture parameter set), then the walk of the slice's
// entropy mode over the slice's own record, which keeps the cursor and the
// QP state for reconstruction.
namespace {

// init_slice: the parts that touch the slice record.
void init_slice(ThreadBuffer* tb, SliceDecodeContext* c) {
  tb->reader.overrun = 0;
  c->CurrMbAddr = c->firstMbAddr;
  c->lastMbQpDelta = 0;
  c->QpBdOffsetY = 0;  // 8-bit sequences only
  c->QpBdOffsetC = 0;
  c->QPY = static_cast<int8_t>(c->SliceQPY + c->QpBdOffsetY);
  build_level_scale(c->pps->ScalingList4x4, c->pps->ScalingList8x8, c->LevelScale4x4, c->LevelScale8x8);
}

// The picture's part of the walk's view, and its links to the slice's own
// tables (set on every call: a task's record may have been moved).
void bind_picture(SliceDecodeContext* c) {
  DecodedPicture* p = c->picture;
  c->records = p->macroblocks;
  c->widthInMbs = p->widthInMbs;
  // A slice's data end before the next slice of the picture starts: running
  // past that limit gives the slice up like running past the picture.
  c->mbCount = c->mbLimit != 0 && c->mbLimit < p->mbCount ? c->mbLimit : p->mbCount;
  c->structure = p->structure;
  c->chroma_format_idc = p->chroma_format_idc;
  c->owner = c;
  c->sliceType = c->slice_type;
  c->ls4x4 = c->LevelScale4x4;
  c->ls8x8 = c->LevelScale8x8;
}

// Reconstruction that follows the walk: every `kReconstructionStep`
// macroblocks the walk stops for the reconstruction of those it decoded,
// while their records and residuals are still in the cache. The step keeps
// the records of one step (1.3 KB each) well inside the level-2 cache, and
// the two stages' code from evicting each other at every macroblock.
constexpr uint32_t kReconstructionStep = 64;

struct FollowingReconstruction : MacroblockSink {
  ReconstructionSteps steps;
};

void reconstruct_ready(MacroblockSink* sink, uint32_t count) {
  reconstruction_steps_advance(&static_cast<FollowingReconstruction*>(sink)->steps, count);
}

// The reconstruction step of a slice reconstructed alongside its walk: the
// count the driver would have returned.
uint32_t reconstructed_alongside(ThreadBuffer* tb) {
  const MacroblockRecord* first = tb->slice->firstMb;
  return first ? first->slice_mb_count : 0;
}

// A slice given up keeps the macroblocks decoded before its damage, as a
// slice of that many macroblocks (whole pairs in MBAFF frames); the rest of
// its range is concealed with the picture. Nothing kept: the slice stays
// given up.
uint32_t keep_before_damage(SliceDecodeContext* c) {
  const uint32_t kept = c->MbaffFrameFlag ? c->mbsBeforeDamage & ~1u : c->mbsBeforeDamage;
  if (kept == 0 || c->firstMb == nullptr) return kSliceFailed;
  c->firstMb->slice_mb_count = kept;
  return kSliceKeptBeforeDamage;
}

// The walk of one slice of any type: CABAC when `cabac` is 1. A slice whose
// references are final is reconstructed as the walk goes; its reconstruction
// step then only counts its macroblocks. A slice given up after some
// macroblocks keeps those before its damage: reconstructed once, whether
// alongside the walk or later (what the walk reconstructed beyond them is
// concealed with the picture, as are the records it left).
int32_t decode_slice(ThreadBuffer* tb, SliceDecodeContext* c, uint8_t cabac) {
  if (c->picture == nullptr || c->picture->macroblocks == nullptr) return kSliceFailed;
  const bool starting = c->currentMb == c->firstMb;
  if (c->firstMbAddr < c->picture->mbCount && starting) init_slice(tb, c);
  bind_picture(c);
  FollowingReconstruction follow;
  MacroblockSink* sink = nullptr;
  if (c->referencesFinal && starting && reconstruction_steps_begin(&follow.steps, tb, c->predictAndCombine)) {
    follow.ready = reconstruct_ready;
    follow.step = kReconstructionStep;
    follow.next = kReconstructionStep;
    sink = &follow;
  }
  uint32_t result = cabac ? decode_slice_data_cabac(tb, c, c->cabacContexts, sink)
                          : decode_slice_data_cavlc(&tb->reader, c, sink);
  if (result == kSliceFailed) result = keep_before_damage(c);
  if (sink != nullptr && result != kSliceFailed) {
    reconstruction_steps_finish(&follow.steps);
    c->predictAndCombine = reconstructed_alongside;
  } else if (sink != nullptr) {
    reconstruction_steps_end(&follow.steps);
  }
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
