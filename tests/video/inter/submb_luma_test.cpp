// Luma side of sub-macroblock prediction against plain models: the 8x8
// weighting routines (explicit single-list and bi-predictive weights, the
// inferred weight 128, implicit weights from picture order counts), the
// direct quadrant's motion kept per 4x4 block without 8x8 inference, and a
// defined prediction for quadrants of unknown type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "decoder_engine.h"
#include "inter_prediction.h"
#include "mb_record.h"
#include "weighted_sample_prediction.h"

namespace {

int clip(int v) { return std::min(255, std::max(0, v)); }

struct WeightRow {
  const char* what;
  uint32_t mode;  // 1 explicit, 2 implicit
  int lists;      // 1 list 0, 2 list 1, 3 both
  int logWD, w0, o0, w1, o1;
  int poc0, poc1;  // implicit: the references' picture order counts (current 8)
};

// The standard's formulas, sample by sample.
int weight_model(const WeightRow& r, int a, int b) {
  if (r.mode == 1 && r.lists != 3) {
    const int w = r.lists == 1 ? r.w0 : r.w1, o = r.lists == 1 ? r.o0 : r.o1, p = r.lists == 1 ? a : b;
    return clip(r.logWD ? ((p * w + (1 << (r.logWD - 1))) >> r.logWD) + o : p * w + o);
  }
  if (r.mode == 1) return clip(((a * r.w0 + b * r.w1 + (1 << r.logWD)) >> (r.logWD + 1)) + ((r.o0 + r.o1 + 1) >> 1));
  int w0 = 32, w1 = 32;
  const int tb = std::clamp(8 - r.poc0, -128, 127), td = std::clamp(r.poc1 - r.poc0, -128, 127);
  if (td != 0) {
    const int tx = (16384 + std::abs(td / 2)) / td;
    const int scale = std::clamp((tb * tx + 32) >> 6, -1024, 1023) >> 2;
    if (scale >= -64 && scale <= 128) w1 = scale, w0 = 64 - scale;
  }
  return clip((a * w0 + b * w1 + 32) >> 6);
}

TEST(SubMacroblockLuma, QuadrantWeightingMatchesTheFormulas) {
  const WeightRow rows[] = {
      {"explicit list 0", 1, 1, 5, 40, -3, 0, 0, 0, 0},
      {"explicit list 1, denominator 0", 1, 2, 0, 0, 0, -2, 100, 0, 0},
      {"inferred 128, one list", 1, 1, 7, 128, 0, 0, 0, 0, 0},
      {"inferred 128 in both lists", 1, 3, 7, 128, 0, 128, 0, 0, 0},
      {"explicit pair, offsets of opposite signs", 1, 3, 6, -128, -1, 127, 3, 0, 0},
      {"implicit, references either side", 2, 3, 0, 0, 0, 0, 0, 4, 16},
      {"implicit, references at one count", 2, 3, 0, 0, 0, 0, 0, 4, 4},
      {"implicit, weight out of range", 2, 3, 0, 0, 0, 0, 0, 0, 2},
  };
  std::mt19937 rng(18);
  for (const WeightRow& r : rows) {
    DecodedPicture cur{}, ref0{}, ref1{};
    cur.pictureOrderCount = 8;
    ref0.pictureOrderCount = r.poc0;
    ref1.pictureOrderCount = r.poc1;
    SliceDecodeContext slice{};
    PredWeightTable table{};
    slice.picture = &cur;
    slice.weightingMode = r.mode;
    slice.weightTable = &table;
    slice.RefPicList0[2] = &ref0;
    slice.RefPicList1[1] = &ref1;
    table.luma_log2_weight_denom = static_cast<uint8_t>(r.logWD);
    table.luma_weight_l0[2] = static_cast<int16_t>(r.w0);
    table.luma_offset_l0[2] = static_cast<int16_t>(r.o0);
    table.luma_weight_l1[1] = static_cast<int16_t>(r.w1);
    table.luma_offset_l1[1] = static_cast<int16_t>(r.o1);
    MacroblockRecord mb{};
    mb.slice = &slice;
    mb.mb_structure = 2;
    const uint8_t q = 3;
    mb.ref_idx_l0[q] = 2;
    mb.ref_idx_l1[q] = 1;
    alignas(16) uint8_t a[64], b[64];
    for (int i = 0; i < 64; ++i) {
      // The extremes first, then random samples.
      a[i] = static_cast<uint8_t>(i < 2 ? 255 * i : i < 4 ? 255 : static_cast<int>(rng() % 256));
      b[i] = static_cast<uint8_t>(i < 2 ? 255 * i : i < 4 ? 255 * (i - 2) : static_cast<int>(rng() % 256));
    }
    int want[64];
    for (int i = 0; i < 64; ++i) want[i] = weight_model(r, a[i], b[i]);
    uint8_t* const single = r.lists == 2 ? b : a;
    LumaHalfBytes h{single, 8, r.lists == 3 ? b : nullptr, 8, a, 8, 8, 8};
    if (r.lists == 1) WeightedSamplePrediction_L0_8x8(&mb, &h, q, 0);
    if (r.lists == 2) WeightedSamplePrediction_L1_8x8(&mb, &h, q, 0);
    if (r.lists == 3) WeightedSamplePrediction_Bi_8x8(&mb, &h, q, 0);
    // Weights that change nothing leave both lists to the combination's
    // rounded average.
    uint8_t out[64];
    for (int i = 0; i < 64; ++i) out[i] = h.p1 ? static_cast<uint8_t>((h.p0[i] + h.p1[i] + 1) >> 1) : h.p0[i];
    for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i], want[i]) << r.what << " sample " << i;
  }
}

// A 32x32 luma plane with its 32-sample margins, holding f(x, y) of the
// clamped position.
struct Plane {
  static constexpr int kW = 32, kH = 32, kPitch = kW + 64;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kPitch * kH);
  std::vector<uint8_t> chroma = std::vector<uint8_t>((kW / 2 + 16) * kH / 2, 128);
  FrameBuffer fb{};
  DecodedPicture pic{};
  int seed;
  explicit Plane(int s, int poc) : seed(s) {
    for (int y = 0; y < kH; ++y)
      for (int x = -32; x < kW + 32; ++x) bytes[y * kPitch + 32 + x] = static_cast<uint8_t>(at(x, y));
    fb.Y = bytes.data() + 32;
    fb.Cb = fb.Cr = chroma.data() + 8;
    pic.frameBuffer = &fb;
    pic.structure = 2;
    pic.pictureOrderCount = poc;
    pic.accessUnitIndex = static_cast<uint32_t>(s);
  }
  int at(int x, int y) const {
    x = std::clamp(x, 0, kW - 1);
    y = std::clamp(y, 0, kH - 1);
    return (x * 7 + y * 13 + seed * 29 + (x * y) % 11) & 255;
  }
};

int block_of(int x, int y) { return 8 * (y / 8) + 4 * (x / 8) + 2 * ((y / 4) % 2) + (x / 4) % 2; }

TEST(SubMacroblockLuma, TemporalDirectQuadrantsFollowTheirCoLocatedBlocks) {
  for (uint8_t inference : {0, 1}) {
    Plane ref0(1, 0), ref1(2, 4), cur(3, 2);
    // The co-located macroblock: list-0 prediction from ref0, a vector of
    // whole samples per 4x4 block (scaled by 1/2 for list 0, -1/2 for list 1).
    MacroblockRecord col{};
    col.mb_type = MbL0_16x16;
    for (int q = 0; q < 4; ++q) {
      col.pred_flag_l0[q] = 1;
      col.ref_idx_l0[q] = 0;
      col.ref_pic_l0[q] = &ref0.pic;
    }
    for (int blk = 0; blk < 16; ++blk) {
      col.mv_l0[blk][0] = static_cast<int16_t>(8 * (blk % 5) - 16);
      col.mv_l0[blk][1] = static_cast<int16_t>(8 * (blk % 3) - 8);
    }
    ref1.pic.macroblocks = &col;
    ref1.pic.mbCount = 1;
    SliceDecodeContext slice{};
    slice.picture = &cur.pic;
    slice.direct_8x8_inference_flag = inference;
    slice.RefPicList0[0] = &ref0.pic;
    slice.RefPicList1[0] = &ref1.pic;
    MacroblockRecord mb{};
    mb.slice = &slice;
    mb.mb_type = Mb8x8;
    mb.mb_structure = 2;
    for (uint8_t& t : mb.sub_mb_type) t = SubMbB_Direct_8x8;
    uint8_t* dst = cur.fb.Y + 8 * Plane::kPitch + 16;  // macroblock at (16, 8)
    DecodeInterPredictionSamples_B_8x8(slice.RefPicList0, slice.RefPicList1, 16, 8, dst, &mb, Plane::kPitch,
                                       Plane::kPitch, Plane::kH);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const int q = 2 * (y / 8) + x / 8;
        const int blk = inference ? 5 * q : block_of(x, y);
        const int mvx = col.mv_l0[blk][0] / 8, mvy = col.mv_l0[blk][1] / 8;  // whole samples, halved
        const int p0 = ref0.at(16 + x + mvx, 8 + y + mvy), p1 = ref1.at(16 + x - mvx, 8 + y - mvy);
        ASSERT_EQ(dst[y * Plane::kPitch + x], (p0 + p1 + 1) >> 1)
            << "inference " << int{inference} << " sample " << x << "," << y;
      }
  }
}

// A B_Skip macroblock without 8x8 inference whose co-located blocks move
// each on its own and refer to two list-0 pictures: with implicit weights
// the upper quadrants (the reference either side, 32 and 32) average their
// lists while the lower ones (the farther reference, 16 and 48) weigh them.
TEST(SubMacroblockLuma, DirectMotionPerBlockWeighsEachQuadrantByItsReferences) {
  Plane near0(1, 0), far0(4, -4), ref1(2, 4), cur(3, 2);
  MacroblockRecord col{};
  col.mb_type = MbL0_16x16;
  for (int q = 0; q < 4; ++q) {
    col.pred_flag_l0[q] = 1;
    col.ref_idx_l0[q] = static_cast<int8_t>(q / 2);
    col.ref_pic_l0[q] = q < 2 ? &near0.pic : &far0.pic;
  }
  // Whole samples after scaling: a quarter of the co-located vector is 4k
  // (near: halves of 8k) or 16k (far: 3/4 and -1/4 of 16k).
  for (int blk = 0; blk < 16; ++blk) {
    const int k = blk % 3 - 1, l = blk % 5 - 2;
    const int unit = blk < 8 ? 8 : 16;
    col.mv_l0[blk][0] = static_cast<int16_t>(unit * k);
    col.mv_l0[blk][1] = static_cast<int16_t>(unit * l);
  }
  ref1.pic.macroblocks = &col;
  ref1.pic.mbCount = 1;
  SliceDecodeContext slice{};
  slice.picture = &cur.pic;
  slice.weightingMode = 2;
  slice.num_ref_idx_l0_active_minus1 = 1;
  slice.RefPicList0[0] = &near0.pic;
  slice.RefPicList0[1] = &far0.pic;
  slice.RefPicList1[0] = &ref1.pic;
  MacroblockRecord mb{};
  mb.slice = &slice;
  mb.mb_type = MbB_Skip;
  mb.mb_structure = 2;
  uint8_t* dst = cur.fb.Y + 8 * Plane::kPitch + 16;  // macroblock at (16, 8)
  DecodeInterPredictionSamples_B_Skip(slice.RefPicList0, slice.RefPicList1, 16, 8, dst, &mb, Plane::kPitch,
                                      Plane::kPitch, Plane::kH);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const int blk = block_of(x, y);
      const bool near = blk < 8;
      const int mx = col.mv_l0[blk][0] / 4, my = col.mv_l0[blk][1] / 4;  // whole samples
      const int l0x = near ? mx / 2 : 3 * mx / 4, l0y = near ? my / 2 : 3 * my / 4;
      const int p0 = (near ? near0 : far0).at(16 + x + l0x, 8 + y + l0y);
      const int p1 = ref1.at(16 + x + l0x - mx, 8 + y + l0y - my);
      const int want = near ? (p0 + p1 + 1) >> 1 : clip((16 * p0 + 48 * p1 + 32) >> 6);
      ASSERT_EQ(dst[y * Plane::kPitch + x], want) << "sample " << x << "," << y;
    }
}

TEST(SubMacroblockLuma, UnknownQuadrantTypesPredictZero) {
  Plane ref(1, 0), cur(3, 2);
  SliceDecodeContext slice{};
  slice.picture = &cur.pic;
  slice.RefPicList0[0] = slice.RefPicList1[0] = &ref.pic;
  MacroblockRecord mb{};
  mb.slice = &slice;
  mb.mb_type = Mb8x8;
  mb.mb_structure = 2;
  const uint8_t codes[4] = {0, 17, 200, 127};  // 17 (list 1) is unknown in P slices
  for (int16_t& r : mb.luma_coeff) r = static_cast<int16_t>((&r - mb.luma_coeff) * 3 - 200);
  for (bool bSlice : {false, true}) {
    std::copy(codes, codes + 4, mb.sub_mb_type);
    if (bSlice) mb.sub_mb_type[1] = 1;
    uint8_t* dst = cur.fb.Y;
    if (bSlice)
      DecodeInterPredictionSamples_B_8x8(slice.RefPicList0, slice.RefPicList1, 0, 0, dst, &mb, Plane::kPitch,
                                         Plane::kPitch, Plane::kH);
    else
      DecodeInterPredictionSamples_P_8x8(slice.RefPicList0, 0, 0, dst, &mb, Plane::kPitch, Plane::kPitch, Plane::kH);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const int res = mb.luma_coeff[16 * block_of(x, y) + 4 * (y % 4) + x % 4];
        ASSERT_EQ(dst[y * Plane::kPitch + x], clip(res)) << "B " << bSlice << " sample " << x << "," << y;
      }
  }
}

}  // namespace
