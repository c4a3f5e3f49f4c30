// The decoder's named chroma kernels: each calls its entry in the chroma
// table of the current variant.
#include "chroma_dsp.h"
#include "inter_prediction.h"

VIDEO_DSP_DEFINE_SELECTION(ChromaDsp, chroma_dsp)

void CombineChromaSamples_8x8(const int16_t* residual, const int16_t* pred, int16_t* out) {
  chroma_dsp().add_8x8(residual, 0, pred, out);
}

void CombineChromaSamples_8x4(const int16_t* residual, uint8_t block, const int16_t* pred, int16_t* out) {
  chroma_dsp().add_8x4(residual, block, pred, out);
}

void CombineChromaSamples_4x8(const int16_t* residual, uint8_t block, const int16_t* pred, int16_t* out) {
  chroma_dsp().add_4x8(residual, block, pred, out);
}

void CombineChromaSamples_4x4_Direct(const int16_t* block, const int16_t* pred, int16_t* out) {
  chroma_dsp().add_4x4(block, 0, pred, out);
}
