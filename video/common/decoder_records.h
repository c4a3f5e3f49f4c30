// Records that the decoding engine and its stages share: the per-slice
// context that the entropy, reconstruction and deblocking stages read and
// update, with the slice-data walk's part of it, the stage table through
// which the engine runs the stages, and the rows of a picture that are
// final, which prediction waits for while a reference is being decoded.
// The stages reach the engine only through these records: what they need
// of it (the wait for reference rows, the report of finished rows) is a
// function the engine stores in the slice's context.
#pragma once

#include <cstdint>

#include "bitstream.h"
#include "decoder_state.h"

struct NalUnit;

// The slice-data walk's view of a slice (see slice_data.h).
struct SliceDataState {
  // Cursor of the walk.
  uint32_t CurrMbAddr;
  uint32_t firstMbAddr;  // first_mb_in_slice x (1 + MbaffFrameFlag)
  MacroblockRecord* currentMb;
  MacroblockRecord* firstMb;
  // Picture.
  MacroblockRecord* records;  // one per macroblock address
  uint32_t widthInMbs;
  uint32_t mbCount;  // PicSizeInMbs of the picture being decoded
  uint8_t structure;  // kTopField, kBottomField or kFrame
  uint8_t chroma_format_idc;
  // Slice.
  SliceDecodeContext* owner;  // stored in every record's slice link
  uint8_t sliceType;          // kSliceTypeP, kSliceTypeB or kSliceTypeI
  uint8_t MbaffFrameFlag;
  uint8_t entropy_coding_mode_flag;
  uint8_t constrained_intra_pred_flag;
  uint8_t transform_8x8_mode_flag;
  uint8_t direct_8x8_inference_flag;
  uint8_t num_ref_idx_l0_active_minus1;
  uint8_t num_ref_idx_l1_active_minus1;
  int8_t chroma_qp_index_offset;
  int8_t second_chroma_qp_index_offset;
  uint8_t disable_deblocking_filter_idc;
  int8_t FilterOffsetA;
  int8_t FilterOffsetB;
  // QP state carried from macroblock to macroblock.
  int8_t lastMbQpDelta;
  int32_t QPY;  // QP'Y of the last macroblock that had an mb_qp_delta
  uint8_t QpBdOffsetY;
  int32_t QPCb;  // QP'Cb, QP'Cr of the current macroblock
  int32_t QPCr;
  uint8_t QpBdOffsetC;
  // LevelScale tables: 4x4 intra Y, Cb, Cr, inter Y, Cb, Cr; 8x8 intra Y,
  // inter Y; rows by qP % 6, entries column-major.
  const int32_t (*ls4x4)[6][16];
  const int32_t (*ls8x8)[6][64];
  // Where a walk that failed found the damage: the macroblocks it decoded
  // before the one it gave up on, counted from the slice's first.
  uint32_t mbsBeforeDamage;
};

// One CABAC context variable.
struct CabacContext {
  uint8_t pStateIdx;
  uint8_t valMPS;
};
constexpr uint32_t kCabacContextCount = 436;

// Reference lists hold this many entries; a slice uses at most 32.
constexpr uint32_t kRefListSize = 63;
constexpr uint32_t kMaxActiveRefs = 32;

// Explicit weighted-prediction table of a slice. Weights are 16-bit: the
// inferred weight 2^7 = 128 of a denominator of 7 does not fit 8 bits.
struct PredWeightTable {
  uint8_t luma_log2_weight_denom;
  uint8_t chroma_log2_weight_denom;
  int16_t luma_weight_l0[32];
  int8_t luma_offset_l0[32];
  int16_t chroma_weight_l0[32][2];  // Cb, then Cr
  int8_t chroma_offset_l0[32][2];
  int16_t luma_weight_l1[32];
  int8_t luma_offset_l1[32];
  int16_t chroma_weight_l1[32][2];
  int8_t chroma_offset_l1[32][2];
};

using PredictAndCombineFn = uint32_t (*)(ThreadBuffer*);
using DeblockFn = uint32_t (*)(DecodedPicture*);
// Row-wise deblocking of a picture while it is reconstructed: filters its
// rows [first, end) (pair rows in MBAFF frames; first < end), which are
// reconstructed and whose next row is too, going on from where the previous
// call on the picture stopped (first 0 starts the pass; `pass` carries it
// from call to call), and refreshes the margins of the rows the filter has
// left for good. Returns the rows from the top that are final: filtered,
// with their margins, and changed by no later call (all of them once `end`
// is the picture's last row).
struct DeblockPass;
using DeblockRowsFn = uint32_t (*)(DecodedPicture* picture, DeblockPass* pass, uint32_t first, uint32_t end);

// Stages the engine runs, through one table: the slice-data walk of each
// slice type, reconstruction of each slice type (frame or field slices, and
// MBAFF slices) and the deblocking filter of a picture, whole or row by row.
// Without the row entries (null) every picture is filtered whole once it is
// finished.
struct DecoderStages {
  int32_t (*entropyI)(ThreadBuffer* tb);
  int32_t (*entropyP)(ThreadBuffer* tb);
  int32_t (*entropyB)(ThreadBuffer* tb);
  PredictAndCombineFn reconstructI;
  PredictAndCombineFn reconstructIMbaff;
  PredictAndCombineFn reconstructP;
  PredictAndCombineFn reconstructPMbaff;
  PredictAndCombineFn reconstructB;
  PredictAndCombineFn reconstructBMbaff;
  DeblockFn deblock;
  DeblockFn deblockMbaff;
  DeblockRowsFn deblockRows;
  DeblockRowsFn deblockRowsMbaff;
};

// Words of the set of records a slice holds beside its list entries: room
// for every pool the decoder opens.
constexpr uint32_t kMotionHoldWords = 18;

// One record per slice. Its SliceDataState part is the slice-data walk's
// view: the slice's flags and offsets, the walk's cursor and the QP state
// carried from macroblock to macroblock, which the walk updates in place;
// the picture fields of that part are set when entropy decoding starts.
struct SliceDecodeContext : SliceDataState {
  uint32_t CurrPicNum;
  PictureParameterSet* ppsList;
  PictureParameterSet* pps;
  NalUnit* nalUnit;
  CabacContext* cabacContexts;
  DecodedPicture* picture;
  uint8_t field_pic_flag;
  int8_t SliceQPY;
  int32_t LevelScale4x4[6][6][16];  // Y, Cb, Cr intra then inter; by qP % 6
  int32_t LevelScale8x8[2][6][64];  // Y intra, Y inter
  uint8_t direct_spatial_mv_pred_flag;
  DecodedPicture* RefPicList0[kRefListSize];
  DecodedPicture* RefPicList1[kRefListSize];
  uint32_t weightingMode;  // 0 none, 1 explicit, 2 implicit
  PredWeightTable* weightTable;
  PredictAndCombineFn predictAndCombine;
  DeblockFn deblock;
  // Slice header as parsed.
  uint32_t first_mb_in_slice;
  uint8_t slice_type;  // kSliceTypeP, kSliceTypeB or kSliceTypeI
  uint8_t pic_parameter_set_id;
  uint32_t frame_num;
  uint8_t field_pic_flag_coded;
  uint8_t bottom_field_flag;
  uint16_t idr_pic_id;
  uint32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
  uint8_t redundant_pic_cnt;
  uint8_t num_ref_idx_active_override_flag;
  PredWeightTable predWeightTable;
  uint8_t no_output_of_prior_pics_flag;
  uint8_t long_term_reference_flag;
  // Refused syntax read in this header, the header being read on past it
  // (kVideoRefusal..., 0 none), and its operation.
  uint8_t refusedSyntax;
  uint8_t refusedOperation;
  uint8_t memory_management_control_operation;
  uint32_t difference_of_pic_nums_minus1;
  uint8_t cabac_init_idc;
  int8_t slice_qp_delta;
  // Number of list entries found (entries past them are null).
  uint8_t refCount[2];
  // Entries of list 0 / 1 (bit i for entry i) that a modification named
  // but that no picture received has: each holds a stand-in reference so
  // that no stage reads a null entry, and a macroblock predicting from one
  // refers to a picture never received.
  uint64_t missingEntries[2];
  // In a field slice, the parity of the field each entry of list 0 / 1
  // stands for (0 top, 1 bottom): a frame coded as one picture is one record
  // that serves as either field. Frame slices leave them 0.
  uint8_t refParity[2][kRefListSize];
  // Pictures this slice holds against recycling (its own and its
  // references) until its reconstruction is over.
  uint8_t holdsPictures;
  // Macroblock address the slice's data must end before: the next slice
  // start taken for the picture (or the picture's end), fixed once the next
  // slice or the end of the picture's input is parsed. 0: the picture's end.
  uint32_t mbLimit;
  uint8_t limitPending;  // taken, its limit not fixed yet: entropy decoding waits
  uint8_t claimed;       // its range counts in the picture's mbClaims until its entropy decoding ends
  // Every reference picture of the slice was decoded when its entropy
  // decoding started: the slice may be reconstructed alongside it.
  uint8_t referencesFinal;
  // Set while the slice is reconstructed by the decoder's own stages: the
  // instance (for waits on references) and what the reconstruction reported
  // of the rows it completed, so that the picture is filtered and published
  // row by row. Reconstruction drivers call rowDone, when set, after the last
  // macroblock of each macroblock row (pair row) of the slice.
  VideoDecoder* decoder;
  void (*rowDone)(ThreadBuffer* tb, uint32_t row);
  uint32_t rowsReported;  // rows up to the last one reported
  uint8_t awaitRefs;      // its references are not all finished: prediction waits for their rows
  // The engine's wait while awaitRefs is set: returns once `rows` rows of
  // `ref` are final, or when the decoder is being stopped and nothing else
  // runs (then it clears awaitRefs).
  void (*awaitRows)(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows);
  // While such a slice is reconstructed: its first list-1 reference and that
  // one's other field, when they were not finished as it started (else
  // null). Direct prediction reads their macroblock records, which stay
  // bound until the slice ends (DecodedPicture::colocatedPins).
  DecodedPicture* colocatedLive[2];
  // Macroblocks [firstMbAddr, motionKeptTo) of a reference picture's slice
  // have their co-located motion kept: each row is kept as it is
  // reconstructed, while its records are still in cache.
  uint32_t motionKeptTo;
  // The records a slice holds beside its list entries (the other fields of
  // the fields its lists name): bits by pool index.
  uint64_t motionHeld[kMotionHoldWords];
  DecodedPicture* motionHeldPool;
  uint32_t motionHeldWords;
};

// Rows of a picture record that are final for the use it has now (0 while
// its first slice is not reconstructed), and the count of its rows.
inline uint32_t ready_rows(const DecodedPicture* p) {
  const uint64_t v = __atomic_load_n(&p->readyRows, __ATOMIC_ACQUIRE);
  return static_cast<uint32_t>(v >> 32) == p->setUpOrder ? static_cast<uint32_t>(v) : 0;
}
inline uint32_t picture_rows(const DecodedPicture* p) { return p->widthInMbs ? p->mbCount / p->widthInMbs : 0; }

// Waits until `rows` rows of 16 lines of reference `ref` (all of it when it
// is a field, and of the other field of its frame too) are final: at once
// for the slice's own picture and for rows already published, else through
// the engine's wait of the slice (see SliceDecodeContext::awaitRows).
inline void await_reference_rows(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows) {
  if (!s || !s->awaitRefs || ref == s->picture) return;
  if (ref->structure == kFrame && ready_rows(ref) >= rows) return;
  s->awaitRows(s, ref, rows);
}

// The same for a block that reads lines up to lastLine of the reference,
// counted in the lines the reader steps through: a field's (fieldRead, of
// the parity `bottom`) or the frame's. Lines past the picture are read as
// its last line.
inline void await_reference_lines(const SliceDecodeContext* s, const DecodedPicture* ref, bool fieldRead, bool bottom,
                                  int32_t lastLine) {
  if (!s || !s->awaitRefs || ref == s->picture) return;
  const int32_t height = ref->lumaHeight;
  int32_t line = lastLine < 0 ? 0 : lastLine;
  if (fieldRead) {
    if (line > height / 2 - 1) line = height / 2 - 1;
    line = 2 * line + (bottom ? 1 : 0);
  } else if (line > height - 1) {
    line = height - 1;
  }
  await_reference_rows(s, ref, static_cast<uint32_t>(line < 0 ? 0 : line) / 16u + 1u);
}
