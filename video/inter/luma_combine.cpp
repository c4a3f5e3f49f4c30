// Combination of 16-bit luma predictions with the residual into the picture.
// Every routine describes where the prediction of each 8x8 quarter comes
// from (one source, or two to average) and calls the combination kernel of
// the current variant.
#include <array>

#include "inter_prediction.h"
#include "luma_combine_dsp.h"

VIDEO_DSP_DEFINE_SELECTION(LumaCombineDsp, luma_combine_dsp)

namespace {

using Quarters = std::array<LumaQuarterSource, 4>;

// Sources as four 8x8 tiles of 64 samples in quarter order.
Quarters tiles8(const int16_t* a, const int16_t* b) {
  const auto q = [&](int i) { return LumaQuarterSource{a + 64 * i, b ? b + 64 * i : nullptr, 8}; };
  return {q(0), q(1), q(2), q(3)};
}

inline void combine(const Quarters& q, const int16_t* residual, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_dsp().combine_16x16(dst, pitch, q.data(), residual, flag8x8);
}

}  // namespace

void CombineSamplesLuma_P_Skip_8x8(const int16_t* tiles, uint8_t* dst, uint32_t pitch) {
  combine(tiles8(tiles, nullptr), nullptr, dst, pitch, 0);
}

void CombineSamplesLuma_B_Skip_8x8(const int16_t* tiles0, const int16_t* tiles1, uint8_t* dst, uint32_t pitch) {
  combine(tiles8(tiles0, tiles1), nullptr, dst, pitch, 0);
}

void CombineSamplesLuma_LX_8x8(const int16_t* residual, const int16_t* tiles, uint8_t* dst, uint32_t pitch,
                               uint8_t flag8x8) {
  combine(tiles8(tiles, nullptr), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_8x8(const int16_t* residual, const int16_t* tiles0, const int16_t* tiles1, uint8_t* dst,
                               uint32_t pitch, uint8_t flag8x8) {
  combine(tiles8(tiles0, tiles1), residual, dst, pitch, flag8x8);
}
