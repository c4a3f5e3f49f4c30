// Slice data: the per-slice walk over macroblocks (record set-up, neighbour
// links, skip runs, macroblock layer, in-place inverse transforms) and the
// CAVLC macroblock layers of I, P and B slices.
//
// The walk works on a SliceDataState (decoder_records.h), the slice's
// entropy-decoding view; it is part of the slice's own record
// (SliceDecodeContext), so
// the cursor and QP state the walk leaves are the slice's. CABAC slices use
// the same state, record set-up, neighbour functions, skip set-up and
// transform step; only the per-macroblock syntax differs.
#pragma once

#include <cstdint>

#include "AVCHDVideoDecoder.h"
#include "bitstream.h"
#include "decoder_records.h"
#include "mb_record.h"
#include "neighbour_blocks.h"

// Results of the walk.
enum : uint32_t {
  kSliceDone = 0,
  kSliceFailed = 14,  // ran past the picture, or damaged data refused
  // Damaged, but the macroblocks decoded before the damage are kept: the
  // first record's slice_mb_count says how many (engine entry only).
  kSliceKeptBeforeDamage = 15,
};

// A walk gives its slice up at the current macroblock: no macroblock counts
// as decoded (slice_mb_count 0), and mbsBeforeDamage notes how far it got.
inline uint32_t slice_damaged(SliceDataState* s) {
  s->mbsBeforeDamage = s->CurrMbAddr > s->firstMbAddr ? s->CurrMbAddr - s->firstMbAddr : 0;
  s->firstMb->slice_mb_count = 0;
  return kSliceFailed;
}

// Receiver of the macroblocks a walk decodes, so that they can be
// reconstructed while their records are in the cache: once `step` more
// macroblocks are decoded (counted at the end of a pair in MBAFF frames) the
// walk calls ready(sink, count) with the count of macroblocks decoded, from
// the slice's first. The records the walk reads of earlier macroblocks are
// not changed by their reconstruction.
struct MacroblockSink {
  void (*ready)(MacroblockSink* sink, uint32_t count);
  uint32_t step;
  uint32_t next;  // decoded count of the next call (step at the start)
};

// The walk's call of the sink after macroblock `mb` is decoded.
inline void hand_over(const SliceDataState* s, MacroblockSink* sink, const MacroblockRecord* mb) {
  if (sink == nullptr || (s->MbaffFrameFlag && (mb->mb_addr & 1) == 0)) return;
  const uint32_t decoded = mb->mb_addr + 1 - s->firstMbAddr;
  if (decoded < sink->next) return;
  sink->next = decoded + sink->step;
  sink->ready(sink, decoded);
}

// Decodes the macroblocks of one CAVLC slice from the reader, which stands
// at slice_data(). 0 when the slice ended; 14 when it ran past the picture
// or its data were refused (a value outside its table, a QP out of range,
// data that ran past the payload); the records decoded so far keep their
// contents. Finished macroblocks go to the sink when there is one.
uint32_t decode_slice_data_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockSink* sink = nullptr);

// The entropy stage of the engine's table: the slice data of the slice in
// tb->slice, from the reader of tb, CABAC or CAVLC as the slice says
// (kSliceDone or kSliceFailed).
int32_t binari_decode_i_unit(ThreadBuffer* tb);
int32_t binari_decode_p_unit(ThreadBuffer* tb);
int32_t binari_decode_b_unit(ThreadBuffer* tb);

// Pieces shared with the CABAC walk.

// Slice start on the first macroblock: links of the first record cleared,
// cursor at the first address, last mb_qp_delta 0.
void slice_start(SliceDataState* s);
// The running QP'Y lies in 0..51 + QpBdOffsetY. A slice whose QP lies
// outside (slice_qp_delta beyond its range) is refused before its first
// macroblock: every QP of the slice derives from it.
inline bool slice_qp_valid(const SliceDataState* s) { return s->QPY >= 0 && s->QPY <= 51 + s->QpBdOffsetY; }
// Set-up of a record before anything is decoded for it.
void setup_record(SliceDataState* s, MacroblockRecord* mb, bool clearCoefficients);
// Links of a non-MBAFF record at CurrMbAddr.
void link_neighbours(const SliceDataState* s, MacroblockRecord* mb);
// MBAFF: infers the pair's field flag (top record, or bottom record of a
// skipped top) and links the record for its pair's mode.
void SetNeighbourMacroblocks_mbaff_for_p_b(const SliceDataState* s, MacroblockRecord* mb);
// MBAFF: links a coded macroblock whose field flag is `fieldFlag` (read by
// the caller for a top macroblock, or for a bottom one whose top was
// skipped); a skipped top record is rewritten to the pair's mode.
void SetNeighbourMacroblocks_coded_mbaff(const SliceDataState* s, MacroblockRecord* mb, uint8_t fieldFlag);
// Fields of a skipped macroblock (P_Skip or B_Skip) and the QP of equation
// 7-37 with a delta of 0.
void setup_skipped(SliceDataState* s, MacroblockRecord* mb, bool bSlice);
// In-place inverse transforms of a parsed macroblock (not I_PCM).
void transform_macroblock(MacroblockRecord* mb);

// QP_Y from the running QP'Y and a delta, and the chroma QPs; writes the
// record and the slice's QP'Cb, QP'Cr (and QP'Y when `store`).
void update_qp(SliceDataState* s, MacroblockRecord* mb, int32_t delta, bool store);

// Predicted Intra4x4/Intra8x8 mode of luma block `blk` (the first 4x4 block
// of an 8x8 block when eightByEight) from its left and upper neighbours.
int predicted_intra_mode_at_edge(const SliceDataState* s, const MacroblockRecord* mb, int blk, bool eightByEight);
inline int predicted_intra_mode(const SliceDataState* s, const MacroblockRecord* mb, int blk, bool eightByEight) {
  // Blocks off the left column and the top row (9 of 16, and the fourth 8x8
  // block) read both modes from their own macroblock, here in the parser's
  // loop: no call, no neighbour record, no availability test.
  if ((blk & 5) != 0 && (blk & 10) != 0 && mb->mb_type == MbI_NxN) {
    const int modeA = mb->intra_pred_mode[neighbour_blocks::LeftNeighbour4x4IdxTable[blk]];
    const int modeB = mb->intra_pred_mode[neighbour_blocks::UpNeighbour4x4IdxTable[blk]];
    return modeA < modeB ? modeA : modeB;
  }
  return predicted_intra_mode_at_edge(s, mb, blk, eightByEight);
}

// I_PCM: the samples from the next byte boundary into the coefficient
// arrays (luma 256 bytes, then 64 per chroma component), with the record's
// pattern and QP set as the standard gives them; the running QP is kept for
// the next macroblock.
void DecodeIPCMMacroBlock(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb);

// The CAVLC macroblock layers; false when the macroblock's data were
// refused.
bool decode_macroblock_layer_I_slice_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb);
bool decode_macroblock_layer_P_slice_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb);
bool decode_macroblock_layer_B_slice_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb);

// Tables of the standard: QPc by qPI, and coded_block_pattern by codeNum as
// cbp_chroma x 16 + cbp_luma.
extern const uint8_t QPcTable[52];
extern const uint8_t CBP_Map_intra[48];
extern const uint8_t CBP_Map_inter[48];
extern const uint8_t CBP_Map_intra_mono[16];
extern const uint8_t CBP_Map_inter_mono[16];
