// Reconstruction stage of the H.264 decoder: the per-slice reconstruction
// drivers, intra macroblock reconstruction and the picture deblocking filter.
// The drivers and the deblocking function are entered through the function
// pointers of a slice's SliceDecodeContext.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "decoder_records.h"
#include "mb_record.h"

// ---- Drivers (one call reconstructs one slice; result: its macroblock
// count). Each P and B driver takes a macroblock's chroma step
// (predict_and_combine_P_unit_8bit_chroma and its twins) right after the
// macroblock's luma, so that its record is read once while it is in the
// cache.
uint32_t predict_and_combine_I_unit_8bit(ThreadBuffer* tb);
uint32_t predict_and_combine_P_unit_8bit_luma(ThreadBuffer* tb);
uint32_t predict_and_combine_B_unit_8bit_luma(ThreadBuffer* tb);
// MBAFF frames.
uint32_t predict_and_combine_I_unit_8bit_luma_mbaff(ThreadBuffer* tb);
uint32_t predict_and_combine_P_unit_8bit_luma_mbaff(ThreadBuffer* tb);
uint32_t predict_and_combine_B_unit_8bit_luma_mbaff(ThreadBuffer* tb);

// ---- Reconstruction in steps: a slice's driver run over its macroblocks as
// its entropy decoding finishes them, while their records are in the cache.
// While a walk is open, tb->steps names it and each call of the driver
// reconstructs macroblocks [done, count) (whole pairs in MBAFF frames unless
// `last`); with none open a call reconstructs the whole slice. One walk:
// begin, any number of advances with growing counts, then finish (or end,
// for a slice given up); the result equals one call of the driver after the
// whole slice.
struct ReconstructionSteps {
  ThreadBuffer* tb;
  PredictAndCombineFn driver;
  uint32_t done;   // macroblocks reconstructed, counted from the slice's first
  uint32_t count;  // the slice-data step's record for this step
  bool last;
  alignas(16) uint8_t columns[400];  // the I walks' left-column buffers
};
// Opens a walk of `driver` for the slice of tb; false (nothing opened) when
// the driver is not one of the decoder's six (it then runs only as a whole).
bool reconstruction_steps_begin(ReconstructionSteps* steps, ThreadBuffer* tb, PredictAndCombineFn driver);
// Reconstructs the slice's first `count` macroblocks (those not done yet).
inline void reconstruction_steps_advance(ReconstructionSteps* steps, uint32_t count) {
  if (count <= steps->done) return;
  steps->count = count;
  steps->driver(steps->tb);
}
// Reconstructs the rest of the slice, as far as its slice-data step went,
// and closes the walk.
void reconstruction_steps_finish(ReconstructionSteps* steps);
// Closes the walk, leaving the rest of the slice alone.
void reconstruction_steps_end(ReconstructionSteps* steps);
// Inside the drivers: the driver's walk over the open walk's step, or over
// the whole slice when none is open; the driver's result.
using ReconstructionWalk = void (*)(ReconstructionSteps* steps);
uint32_t drive_walk(ThreadBuffer* tb, ReconstructionWalk walk);

// Inter codes each slice type's member tables serve (B: bothLists); any
// other code but I_PCM is reconstructed as an intra macroblock. A served
// code whose member is not installed leaves its macroblock alone.
bool served_inter_code(bool bothLists, uint8_t code);

// ---- Intra macroblocks
// I slices: left/right are the caller's column buffers (16 luma or 8 chroma
// samples, one writable corner slot before each); right may equal left for
// chroma. Handles I_PCM too.
void CreateIntraPredictionAndCombine_I_8bit(const MacroblockRecord* mb, uint8_t* left, uint8_t* right, uint8_t* dst,
                                            int pitch);
void CreateIntraPredictionAndCombineChroma_I(const MacroblockRecord* mb, const uint8_t* topCb, const uint8_t* topCr,
                                             uint8_t* leftCb, uint8_t* leftCr, uint8_t* rightCb, uint8_t* rightCr,
                                             uint8_t* dstCb, uint8_t* dstCr, int pitch);
// P and B slices: neighbours read back from the picture, constrained intra
// prediction applied. I_PCM is copied by the drivers.
void DecodeIntraPrediction_for_P_B(uint8_t* dst, const MacroblockRecord* mb, int pitch);
void DecodeIntraPredictionChroma_for_P_B(uint8_t* dstCb, uint8_t* dstCr, const MacroblockRecord* mb, int pitch);
// The same in an MBAFF frame, on the addressing the caller gives (field
// macroblocks: first field line and doubled pitch).
void DecodeIntraPrediction_for_P_B_mbaff(uint8_t* dst, const MacroblockRecord* mb, int pitch);
void DecodeIntraPredictionChroma_for_P_B_mbaff(uint8_t* dstCb, uint8_t* dstCr, const MacroblockRecord* mb,
                                               int pitch);

// I_PCM copy of the raw samples a record holds.
void copy_pcm_luma(const MacroblockRecord* mb, uint8_t* dst, int pitch);
void copy_pcm_chroma(const MacroblockRecord* mb, uint8_t* dstCb, uint8_t* dstCr, int pitch);

// ---- Inter prediction: the P and B drivers call the whole-macroblock inter
// members through tables indexed by MbTypeCode (inter prediction's dispatch
// tables once that stage is built). An empty entry leaves the macroblock's
// samples as they are.
using InterLumaMember = void (*)(DecodedPicture* const* list0, DecodedPicture* const* list1, uint16_t x, uint16_t y,
                                 uint8_t* dst, MacroblockRecord* mb, int pitch, int width, int height);
using InterChromaMember = void (*)(DecodedPicture* const* list0, DecodedPicture* const* list1, uint16_t x,
                                   uint16_t y, uint8_t* dstCb, uint8_t* dstCr, MacroblockRecord* mb, int pitch,
                                   int width, int height);

// ---- Deblocking
uint32_t DeblockingFilter(DecodedPicture* picture);
uint32_t DeblockingFilter_mbaff(DecodedPicture* picture);
// The same filter in pieces (DeblockPass, deblock_edges.h): start a pass
// (for an MBAFF frame or not), then filter the macroblocks from the pass's position up to `end` (an
// address at the start of a macroblock row, or pair row in MBAFF frames, or
// the picture's count). The margins are not refreshed.
struct DeblockPass;
void deblock_pass_start(DeblockPass* pass, const DecodedPicture* picture, bool mbaff);
void deblock_pass_run(DecodedPicture* picture, DeblockPass* pass, uint32_t end);
void deblock_pass_run_mbaff(DecodedPicture* picture, DeblockPass* pass, uint32_t end);
// Left macroblock edge against a left pair of the other kind (frame beside
// field), where strength and qPav may change from line to line: lines of
// equal strength filtered together, the others one by one. luma, cb, cr:
// the macroblock's first samples; the pitches its own (doubled for a field
// macroblock); left the macroblock at the same position in the left pair;
// offsets FilterOffsetA then FilterOffsetB.
void FilteringProcessForVerticalEdges0_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                             const MacroblockRecord* left, const int8_t* offsets, int lumaPitch,
                                             int chromaPitch);

// Copies each line's first and last sample into its left and right margins
// (margin samples each side) for lines [first, first + count) of a plane.
void fill_plane_margins(uint8_t* plane, int pitch, int width, int first, int count, int margin, bool left,
                        bool right);
// The same for every line of a picture's three planes.
void fill_picture_margins(const DecodedPicture* pic);

// Margin refresh after deblocking. Each routine takes the three planes'
// pointers at line 0 of an MB row (MBAFF: pair row), at the picture's first
// sample for a left margin and at the first margin sample right of the
// picture for a right one, and copies the edge sample of each line it names
// into that line's whole margin (32 luma, 8 chroma samples); negative lines
// lie in the row above.
//   CopyRightEdge4x4ForTopRow     luma 0..14, chroma 0..6 (MB row 0, 4x4 transform)
//   CopyRightEdge8x8              luma -3..2 and 5..10, chroma -1, 0, 3, 4
//   CopyLeftEdgeForTopRow_mbaff   luma 0..31, chroma 0..15 (left, pair row 0)
//   CopyRightEdgeForTopRow_mbaff  luma 0..31, chroma 0..15 (pair row 0)
//   CopyRightEdge_mbaff           luma -6..31, chroma -2..15
void CopyRightEdge4x4ForTopRow(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch);
void CopyRightEdge8x8(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch);
void CopyLeftEdgeForTopRow_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch);
void CopyRightEdgeForTopRow_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch);
void CopyRightEdge_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch);
// Every MB row's (pair row's) margins that deblocking can have changed, by
// the routines above and their unnamed siblings: the walk's refresh, made
// once after the whole picture is filtered.
void refresh_deblocked_margins(const DecodedPicture* pic);
void refresh_deblocked_margins_mbaff(const DecodedPicture* pic);
// The same refresh for the rows (pair rows) first..last - 1 alone. A row's
// refresh reads lines of the row above, so it comes once the row below it is
// filtered too.
void refresh_deblocked_rows(const DecodedPicture* pic, uint32_t first, uint32_t last);
void refresh_deblocked_rows_mbaff(const DecodedPicture* pic, uint32_t first, uint32_t last);
