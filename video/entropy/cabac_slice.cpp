// Slice-data walk of CABAC slices: per macroblock the record set-up and
// links, mb_skip_flag and mb_field_decoding_flag, the macroblock layer, the
// inverse transforms and end_of_slice_flag.
#include "cabac_slice.h"

#include <cstddef>
#include <cstring>

#include "cabac_syntax.h"
#include "transforms.h"

namespace {

// The field flag of a coded macroblock of an MBAFF frame, whose record
// already carries the flag inferred for its pair (the top's, for a bottom
// macroblock under a coded top) and the links of that mode. A top
// macroblock, or a bottom one whose top was skipped, decodes the flag; only
// a flag other than the inferred one links the record (and a skipped top)
// anew.
__attribute__((always_inline)) inline void SetNeighbourMacroblocks_cabac_mbaff(CabacLocal& e, const SliceDataState* s,
                                                                               CabacContext* ctx,
                                                                               MacroblockRecord* mb) {
  if ((mb->mb_addr & 1) != 0 && !mb_is_skipped((mb - 1)->mb_type)) return;
  const uint8_t flag = static_cast<uint8_t>(cabac_mb_field_decoding_flag(e, ctx + kCtxMbField, mb));
  if (flag != mb->mb_field_decoding_flag) SetNeighbourMacroblocks_coded_mbaff(s, mb, flag);
}

void clear_coded(MacroblockRecord* mb, bool pSlice) {
  mb->transform_size_8x8_flag = 0;
  clear_coefficients(mb);
  std::memset(mb->mv_l0, 0, sizeof(mb->mv_l0));
  std::memset(mb->mv_l1, 0, sizeof(mb->mv_l1));
  if (pSlice) std::memset(mb->ref_idx_l1, 0xFF, sizeof(mb->ref_idx_l1));
}

// Fetches ahead what the next macroblock of the walk (the next pair's
// macroblock of the same parity in MBAFF frames) reads of the record above
// it. That record was written a row (a pair row) ago and has left the nearer
// caches while the reconstruction following the walk ran: the lines that the
// neighbour conditions read (type, coded blocks, ref_idx and sub-macroblock
// types, the lower mvds, the structure) are requested before the loads that
// wait for them. The next record itself is fetched by clear_coefficients,
// which both walks run. Always inline: a prefetch is no side effect to the
// compiler, which drops the call of a function that only prefetches.
__attribute__((always_inline)) inline void prefetch_ahead(const SliceDataState* s) {
  const uint32_t step = s->MbaffFrameFlag ? 2 : 1;
  const uint32_t next = s->CurrMbAddr + step, rowLength = step * s->widthInMbs;
  if (next < s->firstMbAddr + rowLength || next >= s->mbCount) return;
  const char* above = reinterpret_cast<const char*>(s->records + (next - rowLength));
  __builtin_prefetch(above + offsetof(MacroblockRecord, mb_type));
  __builtin_prefetch(above + offsetof(MacroblockRecord, luma_nonzero_mask));
  __builtin_prefetch(above + offsetof(MacroblockRecord, chroma_ac_cbf_mask));
  __builtin_prefetch(above + offsetof(MacroblockRecord, sub_mb_type));
  constexpr size_t kBottomMvds = 10 * sizeof(int16_t[2]);  // from block 10: the bottom row's
  __builtin_prefetch(above + offsetof(MacroblockRecord, mvd_l0) + kBottomMvds);
  __builtin_prefetch(above + offsetof(MacroblockRecord, mvd_l1) + kBottomMvds);
  __builtin_prefetch(above + offsetof(MacroblockRecord, mb_structure));
}

}  // namespace

uint32_t cabac_slice_ends_here(const BitReaderCabac* r) {
  if (r->overrun) return 0;
  // Remaining payload bits: the unread part of the current word, then the
  // words after it.
  BitReaderCabac probe = *r;
  const uint64_t payloadBits = 8ull * r->bytesLeft;
  uint64_t left = payloadBits - static_cast<uint64_t>(31 - r->bitPos);
  if (r->bytesLeft < 4 && payloadBits < static_cast<uint64_t>(31 - r->bitPos)) return 0;
  // Up to the byte boundary after the next bit, at most one 1-bit (the
  // stop bit, when the encoder's flush left it unread); zeros after it.
  uint32_t ones = 0;
  const uint32_t head = static_cast<uint32_t>((probe.bitPos & 7) + 1);
  for (uint32_t i = 0; i < head && left > 0; ++i, --left) ones += ReadOneBit(&probe);
  if (ones > 1) return 0;
  for (; left >= 16; left -= 16)
    if (ReadNBits(&probe, 16) != 0) return 0;
  while (left > 0) {
    if (ReadOneBit(&probe) != 0) return 0;
    --left;
  }
  return 1;
}

uint32_t decode_slice_data_cabac(ThreadBuffer* tb, SliceDataState* s, CabacContext* contexts, MacroblockSink* sink) {
  BitReaderCabac* r = &tb->reader;
  s->mbsBeforeDamage = 0;
  if (s->firstMbAddr >= s->mbCount) return kSliceFailed;
  if (s->currentMb == s->firstMb) {
    slice_start(s);
    s->firstMb->slice_first_flag = 1;
    s->firstMb->deblock_idc = s->disable_deblocking_filter_idc;
    s->firstMb->filter_offset_a = s->FilterOffsetA;
    s->firstMb->filter_offset_b = s->FilterOffsetB;
    r->overrun = 0;
    bs_align(r);
    cabac_initialize_engine(tb);
  }
  if (s->CurrMbAddr >= s->mbCount || !slice_qp_valid(s)) return slice_damaged(s);
  MacroblockRecord* mb = s->records + s->CurrMbAddr;
  s->currentMb = mb;
  const bool iSlice = s->sliceType == kSliceTypeI, bSlice = s->sliceType == kSliceTypeB;
  for (;;) {
    prefetch_ahead(s);
    setup_record(s, mb, iSlice);
    if (iSlice) {
      if (s->MbaffFrameFlag) {
        // Linked for the inferred mode first: the links name the pairs
        // whose modes select the field flag's context.
        SetNeighbourMacroblocks_mbaff_for_p_b(s, mb);
        CabacScope e(r);
        SetNeighbourMacroblocks_cabac_mbaff(e, s, contexts, mb);
      }
      decode_macroblock_layer_I_slice_cabac(tb, s, contexts, mb);
    } else {
      // mb_skip_flag, mb_field_decoding_flag and mb_type on one engine held
      // in registers; the layer stores it back.
      if (s->MbaffFrameFlag) SetNeighbourMacroblocks_mbaff_for_p_b(s, mb);
      CabacLocal e(r);
      if (!cabac_mb_skip_flag(e, contexts + kCtxMbSkip, mb)) {
        clear_coded(mb, !bSlice);
        if (s->MbaffFrameFlag) SetNeighbourMacroblocks_cabac_mbaff(e, s, contexts, mb);
        if (bSlice)
          decode_macroblock_layer_B_slice(e, tb, s, contexts, mb);
        else
          decode_macroblock_layer_P_slice(e, tb, s, contexts, mb);
      } else {
        // The links and field flag inferred above stand for a skipped
        // macroblock.
        e.store();
        setup_skipped(s, mb, bSlice);
      }
    }
    // Data past the payload or a value out of its range give the slice up.
    if (r->overrun) return slice_damaged(s);
    transform_macroblock(mb);
    hand_over(s, sink, mb);
    if (!s->MbaffFrameFlag || (mb->mb_addr & 1)) {
      uint32_t endOfSlice;
      {
        CabacScope e(r);
        endOfSlice = cabac_DecodeTerminate(e);
      }
      if (endOfSlice) {
        if (!cabac_slice_ends_here(r)) return slice_damaged(s);
        s->firstMb->slice_mb_count = mb->mb_addr - s->firstMb->mb_addr + 1;
        return kSliceDone;
      }
    }
    if (s->CurrMbAddr + 1 >= s->mbCount) return slice_damaged(s);
    ++s->CurrMbAddr;
    ++mb;
    s->currentMb = mb;
    mb->slice_first_flag = 0;
    if (!s->MbaffFrameFlag) link_neighbours(s, mb);
  }
}
