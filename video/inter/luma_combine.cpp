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

// Sources laid out as 16x16 rows of 16 samples (b: second list or null).
Quarters plane16(const int16_t* a, const int16_t* b) {
  const auto q = [&](int offset) { return LumaQuarterSource{a + offset, b ? b + offset : nullptr, 16}; };
  return {q(0), q(8), q(128), q(136)};
}

// Sources as four 8x8 tiles of 64 samples in quarter order.
Quarters tiles8(const int16_t* a, const int16_t* b) {
  const auto q = [&](int i) { return LumaQuarterSource{a + 64 * i, b ? b + 64 * i : nullptr, 8}; };
  return {q(0), q(1), q(2), q(3)};
}

// Sources of two 8x16 columns, each 16 rows of 8 samples.
Quarters columns(const int16_t* leftA, const int16_t* leftB, const int16_t* rightA, const int16_t* rightB) {
  return {LumaQuarterSource{leftA, leftB, 8}, LumaQuarterSource{rightA, rightB, 8},
          LumaQuarterSource{leftA + 64, leftB ? leftB + 64 : nullptr, 8},
          LumaQuarterSource{rightA + 64, rightB ? rightB + 64 : nullptr, 8}};
}

// Sources of two 16x8 partitions (rows of 16 samples): the upper one from
// top (averaged with topB when set), the lower one from bottom (with
// bottomB); both partitions' rows start at row 0 of their sources.
Quarters rows16x8(const int16_t* top, const int16_t* topB, const int16_t* bottom, const int16_t* bottomB) {
  return {LumaQuarterSource{top, topB, 16}, LumaQuarterSource{top + 8, topB ? topB + 8 : nullptr, 16},
          LumaQuarterSource{bottom, bottomB, 16}, LumaQuarterSource{bottom + 8, bottomB ? bottomB + 8 : nullptr, 16}};
}

inline void combine(const Quarters& q, const int16_t* residual, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_dsp().combine_16x16(dst, pitch, q.data(), residual, flag8x8);
}

}  // namespace

void CombineSamplesLuma_LX_16x16(const int16_t* residual, const int16_t* pred, uint8_t* dst, uint32_t pitch,
                                 uint8_t flag8x8) {
  combine(plane16(pred, nullptr), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_16x16(const int16_t* residual, const int16_t* pred0, const int16_t* pred1, uint8_t* dst,
                                 uint32_t pitch, uint8_t flag8x8) {
  combine(plane16(pred0, pred1), residual, dst, pitch, flag8x8);
}

// The lower partition averages rows 8..15 of main with rows 0..7 of second.
void CombineSamplesLuma_LX_Bi_16x8(const int16_t* residual, const int16_t* main, const int16_t* second, uint8_t* dst,
                                   uint32_t pitch, uint8_t flag8x8) {
  combine(rows16x8(main, nullptr, main + 128, second), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_LX_16x8(const int16_t* residual, const int16_t* main, const int16_t* second, uint8_t* dst,
                                   uint32_t pitch, uint8_t flag8x8) {
  combine(rows16x8(main, second, main + 128, nullptr), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_LX_8x16(const int16_t* residual, const int16_t* right, const int16_t* left, uint8_t* dst,
                                uint32_t pitch, uint8_t flag8x8) {
  combine(columns(left, nullptr, right, nullptr), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_LX_Bi_8x16(const int16_t* residual, const int16_t* left, const int16_t* rightA,
                                   const int16_t* rightB, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine(columns(left, nullptr, rightA, rightB), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_LX_8x16(const int16_t* residual, const int16_t* leftA, const int16_t* leftB,
                                   const int16_t* right, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine(columns(leftA, leftB, right, nullptr), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_8x16(const int16_t* residual, const int16_t* leftA, const int16_t* leftB,
                                const int16_t* rightA, const int16_t* rightB, uint8_t* dst, uint32_t pitch,
                                uint8_t flag8x8) {
  combine(columns(leftA, leftB, rightA, rightB), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_P_Skip(const int16_t* pred, uint8_t* dst, uint32_t pitch) {
  combine(plane16(pred, nullptr), nullptr, dst, pitch, 0);
}

void CombineSamplesLuma_B_Skip(const int16_t* pred0, const int16_t* pred1, uint8_t* dst, uint32_t pitch) {
  combine(plane16(pred0, pred1), nullptr, dst, pitch, 0);
}

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
