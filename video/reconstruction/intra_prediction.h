// Intra prediction of 8-bit luma and 4:2:0 chroma blocks, and the routines
// that add a residual to a prediction and store the result in a picture.
//
// Every predictor takes (pred, left, top):
//   left[y] = sample left of row y, left[-1] = corner slot;
//   top[x]  = sample above column x, top[-1] = corner slot; for 4x4 and 8x8
//             blocks top[n .. 2n-1] hold the above-right samples (real or
//             substituted by the caller);
// a side that may not be used is passed as null. A corner slot holds the
// above-left sample when it may be used and otherwise the first sample of its
// own side, so that a [1, 2, 1] filter over (slot, side[0], side[1]) gives the
// unavailable-corner formula without a flag.
//
// Prediction layouts: 4x4 = 16 bytes (stride 4); 8x8 = 64 bytes (stride 8);
// 16x16 = 256 bytes (stride 16); chroma = four 4x4 blocks of 16 bytes in
// chroma block order ((0,0), (4,0), (0,4), (4,4)), each with stride 4.
#pragma once

#include <cstdint>

using IntraPredictor = void (*)(uint8_t* pred, const uint8_t* left, const uint8_t* top);

// 4x4 luma, indexed by Intra4x4PredMode (0 vertical .. 8 horizontal up).
void intra_4x4_vertical_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_horizontal_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_dc_prediction_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_diagonal_down_left_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_diagonal_down_right_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_vertical_right_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_horizontal_down_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_vertical_left_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_4x4_horizontal_up_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);

// 8x8 luma with reference sample filtering, indexed by Intra8x8PredMode.
void intra_8x8_vertical_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_horizontal(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_dc_prediction(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_diagonal_down_left(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_diagonal_down_right(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_vertical_right(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_horizontal_down(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_vertical_left(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_8x8_horizontal_up_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);

// 16x16 luma, indexed by (MbTypeCode - 65) mod 4.
void intra_16x16_vertical_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_16x16_horizontal_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_16x16_dc_prediction_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_16x16_plane_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top);

// 4:2:0 chroma, indexed by intra_chroma_pred_mode (0 DC, 1 horizontal,
// 2 vertical, 3 plane).
void intra_chroma_dc_prediction_8x8(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_chroma_horizontal_prediction_8x8(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_chroma_vertical_prediction_8x8(uint8_t* pred, const uint8_t* left, const uint8_t* top);
void intra_chroma_plane_prediction_8x8(uint8_t* pred, const uint8_t* left, const uint8_t* top);

extern const IntraPredictor fp_intra_prediction_4x4[9];
extern const IntraPredictor fp_intra_prediction_8x8[9];
extern const IntraPredictor fp_intra_prediction_16x16[4];
extern const IntraPredictor fp_intra_chroma_prediction[4];

// Dispatchers. A mode outside its table, or a mode whose required side is
// null, predicts DC from the sides that are present (never a call through a
// missing entry, never a read through a null side).
void create_prediction_4x4_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);
void create_prediction_8x8_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);
void create_prediction_16x16_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);
void create_prediction_chroma_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode);

// Combination: dst = clip(pred + res) row by row; the right column and the
// bottom row of the result are copied out when the pointers are not null.
// pred and res must be 16-byte aligned.
void combine_intra_samples_4x4_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                    uint8_t* bottomRow, uint8_t* dst, int pitch);
void combine_intra_samples_8x8_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                    uint8_t* bottomRow, uint8_t* dst, int pitch);
// res is the whole 4x4-block ordered luma residual of a macroblock.
void combine_intra_samples_16x16_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                      uint8_t* bottomRow, uint8_t* dst, int pitch);
// res and pred in the chroma block layout (four 4x4 blocks of 16).
void combine_intra_chroma_samples(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                  uint8_t* dst, int pitch);
