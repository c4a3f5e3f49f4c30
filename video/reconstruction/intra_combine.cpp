// Prediction plus residual, clipped to 8 bits and stored into the picture
// through the residual adders of the running variant; the right column and
// bottom row of the result are then copied out for the next blocks.
#include <cstring>

#include "intra_prediction.h"

namespace {

void copy_edges(const uint8_t* dst, int pitch, int n, uint8_t* rightCol, uint8_t* bottomRow) {
  if (rightCol)
    for (int y = 0; y < n; ++y) rightCol[y] = dst[y * pitch + n - 1];
  if (bottomRow) std::memcpy(bottomRow, dst + (n - 1) * pitch, n);
}

}  // namespace

void combine_intra_samples_4x4_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                    uint8_t* bottomRow, uint8_t* dst, int pitch) {
  intra_prediction_dsp().add_residual_4x4(dst, pitch, pred, res);
  copy_edges(dst, pitch, 4, rightCol, bottomRow);
}

void combine_intra_samples_8x8_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                    uint8_t* bottomRow, uint8_t* dst, int pitch) {
  intra_prediction_dsp().add_residual_8x8(dst, pitch, pred, res);
  copy_edges(dst, pitch, 8, rightCol, bottomRow);
}

void combine_intra_samples_16x16_8bit(const int16_t* res, const uint8_t* pred, uint8_t* rightCol,
                                      uint8_t* bottomRow, uint8_t* dst, int pitch) {
  intra_prediction_dsp().add_residual_16x16(dst, pitch, pred, res);
  copy_edges(dst, pitch, 16, rightCol, bottomRow);
}

void combine_intra_chroma_samples(const int16_t* res, const uint8_t* pred, uint8_t* rightCol, uint8_t* dst,
                                  int pitch) {
  intra_prediction_dsp().add_residual_chroma(dst, pitch, pred, res);
  copy_edges(dst, pitch, 8, rightCol, nullptr);
}
