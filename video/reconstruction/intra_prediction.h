// Intra prediction of 8-bit luma and 4:2:0 chroma blocks, and the routines
// that add a residual to a prediction and store the result in a picture.
//
// Every predictor takes (pred, left, top):
//   left[y] = sample left of row y, left[-1] = corner slot;
//   top[x]  = sample above column x, top[-1] = corner slot; with 4x4 and
//             8x8 blocks top[n .. 2n-1] hold the above-right samples (real or
//             substituted by the caller);
// a side that may not be used is passed as null. A corner slot holds the
// above-left sample when it may be used and otherwise the first sample of its
// own side, so that a [1, 2, 1] filter over (slot, side[0], side[1]) gives the
// unavailable-corner formula without a flag.
//
// Prediction layouts: 4x4 = 16 bytes (stride 4); 8x8 = 64 bytes (stride 8);
// 16x16 = 256 bytes (stride 16); chroma = four 4x4 blocks of 16 bytes in
// chroma block order ((0,0), (4,0), (0,4), (4,4)), each with stride 4.
// A predictor reads no sample outside left[-1 .. n-1] and top[-1 .. 2n-1]
// (top[-1 .. n-1] for 16x16 and chroma), and writes only its block.
#pragma once

#include <cstdint>

#include "video_dsp.h"

using IntraPredictor = void (*)(uint8_t* pred, const uint8_t* left, const uint8_t* top);

// The kernel table of one instruction set (or of the plain reference): the
// predictors, and the residual adders the combination routines below call.
// fp_intra_prediction holds the
// luma tables: 4x4 and 8x8 indexed by Intra4x4PredMode / Intra8x8PredMode
// (0 vertical .. 8 horizontal up), 16x16 by (MbTypeCode - 65) mod 4;
// fp_intra_chroma_prediction is indexed by intra_chroma_pred_mode (0 DC,
// 1 horizontal, 2 vertical, 3 plane).
struct IntraLumaPredictors {
  IntraPredictor size4x4[9];
  IntraPredictor size8x8[9];
  IntraPredictor size16x16[4];
};

// Residual addition: dst rows (dst + y * pitch) = clip(pred + res) to 0..255,
// exact for every 16-bit residual. pred and res of a 4x4 or 8x8 block are
// raster with a row stride of 4 or 8; of 16x16 pred is raster (stride 16)
// and res the macroblock's 16 4x4 blocks in luma4x4BlkIdx order; of chroma
// both are four 4x4 blocks in chroma block order.
using IntraAddResidual = void (*)(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res);

struct IntraPredictionDsp {
  IntraLumaPredictors fp_intra_prediction;
  IntraPredictor fp_intra_chroma_prediction[4];
  IntraAddResidual add_residual_4x4, add_residual_8x8, add_residual_16x16, add_residual_chroma;
};

// Every predictor with its table slot. Each exists four times: c_name, the
// plain reference (scalar, per-sample formulas), and sse2_name, ssse3_name,
// sse41_name, one vector body compiled once per instruction set.
#define INTRA_PREDICTORS(X)                                                          \
  X(intra_4x4_vertical_8bit, fp_intra_prediction.size4x4, 0)                         \
  X(intra_4x4_horizontal_8bit, fp_intra_prediction.size4x4, 1)                       \
  X(intra_4x4_dc_prediction_8bit, fp_intra_prediction.size4x4, 2)                    \
  X(intra_4x4_diagonal_down_left_8bit, fp_intra_prediction.size4x4, 3)               \
  X(intra_4x4_diagonal_down_right_8bit, fp_intra_prediction.size4x4, 4)              \
  X(intra_4x4_vertical_right_8bit, fp_intra_prediction.size4x4, 5)                   \
  X(intra_4x4_horizontal_down_8bit, fp_intra_prediction.size4x4, 6)                  \
  X(intra_4x4_vertical_left_8bit, fp_intra_prediction.size4x4, 7)                    \
  X(intra_4x4_horizontal_up_8bit, fp_intra_prediction.size4x4, 8)                    \
  X(intra_8x8_vertical_8bit, fp_intra_prediction.size8x8, 0)                         \
  X(intra_8x8_horizontal, fp_intra_prediction.size8x8, 1)                            \
  X(intra_8x8_dc_prediction, fp_intra_prediction.size8x8, 2)                         \
  X(intra_8x8_diagonal_down_left, fp_intra_prediction.size8x8, 3)                    \
  X(intra_8x8_diagonal_down_right, fp_intra_prediction.size8x8, 4)                   \
  X(intra_8x8_vertical_right, fp_intra_prediction.size8x8, 5)                        \
  X(intra_8x8_horizontal_down, fp_intra_prediction.size8x8, 6)                       \
  X(intra_8x8_vertical_left, fp_intra_prediction.size8x8, 7)                         \
  X(intra_8x8_horizontal_up_8bit, fp_intra_prediction.size8x8, 8)                    \
  X(intra_16x16_vertical_8bit, fp_intra_prediction.size16x16, 0)                     \
  X(intra_16x16_horizontal_8bit, fp_intra_prediction.size16x16, 1)                   \
  X(intra_16x16_dc_prediction_8bit, fp_intra_prediction.size16x16, 2)               \
  X(intra_16x16_plane_8bit, fp_intra_prediction.size16x16, 3)                        \
  X(intra_chroma_dc_prediction_8x8, fp_intra_chroma_prediction, 0)                   \
  X(intra_chroma_horizontal_prediction_8x8, fp_intra_chroma_prediction, 1)           \
  X(intra_chroma_vertical_prediction_8x8, fp_intra_chroma_prediction, 2)             \
  X(intra_chroma_plane_prediction_8x8, fp_intra_chroma_prediction, 3)

// The residual adders with their table slots, in the same four forms.
#define INTRA_ADDERS(X)                                  \
  X(intra_add_residual_4x4, add_residual_4x4)           \
  X(intra_add_residual_8x8, add_residual_8x8)           \
  X(intra_add_residual_16x16, add_residual_16x16)       \
  X(intra_add_residual_chroma, add_residual_chroma)

#define INTRA_DECLARE_PREDICTOR(name, table, mode)                                  \
  void c_##name(uint8_t* pred, const uint8_t* left, const uint8_t* top);            \
  void sse2_##name(uint8_t* pred, const uint8_t* left, const uint8_t* top);         \
  void ssse3_##name(uint8_t* pred, const uint8_t* left, const uint8_t* top);        \
  void sse41_##name(uint8_t* pred, const uint8_t* left, const uint8_t* top);
INTRA_PREDICTORS(INTRA_DECLARE_PREDICTOR)
#undef INTRA_DECLARE_PREDICTOR
#define INTRA_DECLARE_ADDER(name, slot)                                                \
  void c_##name(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res);     \
  void sse2_##name(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res);  \
  void ssse3_##name(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res); \
  void sse41_##name(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res);
INTRA_ADDERS(INTRA_DECLARE_ADDER)
#undef INTRA_DECLARE_ADDER

// The tables of the plain reference and of each instruction set, and
// intra_prediction_dsp(), the current variant's.
VIDEO_DSP_DECLARE_TABLES(IntraPredictionDsp, intra_prediction_dsp)

// Dispatchers. A mode outside its table, or a mode whose required side is
// null, predicts DC from the sides that are present (never a call through a
// missing entry, never a read through a null side).
void create_prediction_4x4_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);
void create_prediction_8x8_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);
void create_prediction_16x16_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);
void create_prediction_chroma_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);

// Combination: dst = clip(pred + res) row by row; the right column and the
// bottom row of the result are copied out when the pointers are not null.
// pred and res must be 16-byte aligned. Inline: the block walks call them
// for every block, where the edge pointers are null and the copies fold away.
inline void copy_intra_block_edges(const uint8_t* dst, int pitch, int n, uint8_t* rightCol, uint8_t* bottomRow) {
  if (rightCol)
    for (int y = 0; y < n; ++y) rightCol[y] = dst[y * pitch + n - 1];
  if (bottomRow)
    for (int x = 0; x < n; ++x) bottomRow[x] = dst[(n - 1) * pitch + x];
}
inline void combine_intra_samples_4x4_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                           uint8_t* bottomRow, uint8_t* dst, int pitch) {
  intra_prediction_dsp().add_residual_4x4(dst, pitch, pred, res);
  copy_intra_block_edges(dst, pitch, 4, rightCol, bottomRow);
}
inline void combine_intra_samples_8x8_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                           uint8_t* bottomRow, uint8_t* dst, int pitch) {
  intra_prediction_dsp().add_residual_8x8(dst, pitch, pred, res);
  copy_intra_block_edges(dst, pitch, 8, rightCol, bottomRow);
}
// res is the whole 4x4-block ordered luma residual of a macroblock.
inline void combine_intra_samples_16x16_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                             uint8_t* bottomRow, uint8_t* dst, int pitch) {
  intra_prediction_dsp().add_residual_16x16(dst, pitch, pred, res);
  copy_intra_block_edges(dst, pitch, 16, rightCol, bottomRow);
}
// res and pred in the chroma block layout (four 4x4 blocks of 16).
inline void combine_intra_chroma_samples(const int16_t* res, const uint8_t* pred, uint8_t* rightCol, uint8_t* dst,
                                         int pitch) {
  intra_prediction_dsp().add_residual_chroma(dst, pitch, pred, res);
  copy_intra_block_edges(dst, pitch, 8, rightCol, nullptr);
}
