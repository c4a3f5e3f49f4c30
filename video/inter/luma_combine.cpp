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

// 8-bit sources: one partition's prediction, or two to average (b.p set).
using ByteQuarters = std::array<LumaQuarterBytes, 4>;

inline LumaQuarterBytes at(LumaBlockBytes a, LumaBlockBytes b, ptrdiff_t x, ptrdiff_t y) {
  return {a.p + y * a.stride + x, b.p ? b.p + y * b.stride + x : nullptr, a.stride, b.stride};
}

// Two 16-wide partitions: rows 0..7 from the upper one, 8..15 from the lower.
inline ByteQuarters rows16(LumaBlockBytes u0, LumaBlockBytes u1, LumaBlockBytes l0, LumaBlockBytes l1) {
  return {at(u0, u1, 0, 0), at(u0, u1, 8, 0), at(l0, l1, 0, 0), at(l0, l1, 8, 0)};
}

// Two 8-wide partitions of 16 rows: columns 0..7 from the left one.
inline ByteQuarters columns8(LumaBlockBytes l0, LumaBlockBytes l1, LumaBlockBytes r0, LumaBlockBytes r1) {
  return {at(l0, l1, 0, 0), at(r0, r1, 0, 0), at(l0, l1, 0, 8), at(r0, r1, 0, 8)};
}

inline LumaBlockBytes lower_half(LumaBlockBytes b) { return {b.p ? b.p + 8 * b.stride : nullptr, b.stride}; }

inline void combine_bytes(const ByteQuarters& q, const int16_t* residual, uint8_t* dst, uint32_t pitch,
                          uint8_t flag8x8) {
  luma_combine_dsp().combine_bytes_16x16(dst, pitch, q.data(), residual, flag8x8);
}

constexpr LumaBlockBytes kNone{nullptr, 0};

inline void combine(const Quarters& q, const int16_t* residual, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_dsp().combine_16x16(dst, pitch, q.data(), residual, flag8x8);
}

}  // namespace

void CombineSamplesLuma_LX_16x16(const int16_t* residual, LumaBlockBytes upper, LumaBlockBytes lower, uint8_t* dst,
                                 uint32_t pitch, uint8_t flag8x8) {
  combine_bytes(rows16(upper, kNone, lower, kNone), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_16x16(const int16_t* residual, LumaBlockBytes upper0, LumaBlockBytes upper1,
                                 LumaBlockBytes lower0, LumaBlockBytes lower1, uint8_t* dst, uint32_t pitch,
                                 uint8_t flag8x8) {
  combine_bytes(rows16(upper0, upper1, lower0, lower1), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_LX_Bi_16x8(const int16_t* residual, LumaBlockBytes upper, LumaBlockBytes lower0,
                                   LumaBlockBytes lower1, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine_bytes(rows16(upper, kNone, lower0, lower1), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_LX_16x8(const int16_t* residual, LumaBlockBytes upper0, LumaBlockBytes upper1,
                                   LumaBlockBytes lower, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine_bytes(rows16(upper0, upper1, lower, kNone), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_LX_8x16(const int16_t* residual, LumaBlockBytes right, LumaBlockBytes left, uint8_t* dst,
                                uint32_t pitch, uint8_t flag8x8) {
  combine_bytes(columns8(left, kNone, right, kNone), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_LX_Bi_8x16(const int16_t* residual, LumaBlockBytes left, LumaBlockBytes right0,
                                   LumaBlockBytes right1, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine_bytes(columns8(left, kNone, right0, right1), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_LX_8x16(const int16_t* residual, LumaBlockBytes left0, LumaBlockBytes left1,
                                   LumaBlockBytes right, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  combine_bytes(columns8(left0, left1, right, kNone), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_Bi_8x16(const int16_t* residual, LumaBlockBytes left0, LumaBlockBytes left1,
                                LumaBlockBytes right0, LumaBlockBytes right1, uint8_t* dst, uint32_t pitch,
                                uint8_t flag8x8) {
  combine_bytes(columns8(left0, left1, right0, right1), residual, dst, pitch, flag8x8);
}

void CombineSamplesLuma_P_Skip(LumaBlockBytes pred, uint8_t* dst, uint32_t pitch) {
  if (pred.p == dst && pred.stride == static_cast<ptrdiff_t>(pitch)) return;
  combine_bytes(rows16(pred, kNone, lower_half(pred), kNone), nullptr, dst, pitch, 0);
}

void CombineSamplesLuma_B_Skip(LumaBlockBytes pred0, LumaBlockBytes pred1, uint8_t* dst, uint32_t pitch) {
  combine_bytes(rows16(pred0, pred1, lower_half(pred0), lower_half(pred1)), nullptr, dst, pitch, 0);
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
