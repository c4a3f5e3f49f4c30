// The slice-level members: which buffers and rows each weighting member
// changes, explicit and implicit weights taken from the slice, and the whole
// B_Skip / B_Direct_16x16 derivation in both direct modes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "decoder_engine.h"
#include "mb_record.h"
#include "skip_direct.h"
#include "weighted_sample_prediction.h"

namespace {

struct SliceScene {
  std::unique_ptr<SliceDecodeContext> slice{new SliceDecodeContext()};
  std::unique_ptr<MacroblockRecord> mb{new MacroblockRecord()};
  DecodedPicture pics[4] = {};
  SliceScene() {
    mb->slice = slice.get();
    mb->mb_structure = 2;
    slice->picture = &pics[3];
    slice->weightTable = &slice->predWeightTable;
    for (auto& p : pics) p.structure = 2;
    for (int i = 0; i < 3; ++i) slice->RefPicList0[i] = slice->RefPicList1[i] = &pics[i];
  }
};

// A 16x16 block of 8-bit samples and the halves of its 16x8 partitions.
struct alignas(16) Bytes {
  uint8_t s[256];
  void fill(uint8_t v) {
    for (auto& x : s) x = v;
  }
  // Single-list half of rows `row`.. (8 rows of 16), weighted in place.
  LumaHalfBytes single(int row) { return {s + 16 * row, 16, nullptr, 0, s + 16 * row, 16, 16, 8}; }
};
// Bi-predicted half of rows `row`.. of a (list 0) and b (list 1) into out.
LumaHalfBytes bi(Bytes& a, Bytes& b, Bytes& out, int row) {
  return {a.s + 16 * row, 16, b.s + 16 * row, 16, out.s + 16 * row, 16, 16, 8};
}

TEST(WeightedSamplePrediction, ExplicitSingleListHalvesUseTheirQuadrant) {
  SliceScene sc;
  sc.slice->weightingMode = 1;
  PredWeightTable& t = sc.slice->predWeightTable;
  t.luma_log2_weight_denom = 0;
  t.luma_weight_l0[0] = 2, t.luma_offset_l0[0] = -10;
  t.luma_weight_l1[1] = 1, t.luma_offset_l1[1] = 5;
  sc.mb->ref_idx_l0[0] = 0;
  sc.mb->ref_idx_l1[2] = 3;  // field macroblock with shift 1: entry 1
  Bytes b;
  b.fill(100);
  LumaHalfBytes upper = b.single(0), lower = b.single(8);
  WeightedSamplePrediction_L0_L1_16x8(sc.mb.get(), &upper, &lower, 1);
  EXPECT_EQ(190, b.s[0]);
  EXPECT_EQ(190, b.s[7 * 16 + 15]);
  EXPECT_EQ(105, b.s[8 * 16]);
  EXPECT_EQ(b.s + 128, lower.p0);
  // Mode 2 leaves single-list halves alone.
  sc.slice->weightingMode = 2;
  b.fill(100);
  upper = b.single(0), lower = b.single(8);
  WeightedSamplePrediction_L0_L0_16x8(sc.mb.get(), &upper, &lower, 0);
  EXPECT_EQ(100, b.s[0]);
  // The members' table picks by shape and lists: 16x16 list 1 at entry 0
  // clips 100 + 200 x 2 - 10.
  sc.slice->weightingMode = 1;
  t.luma_weight_l1[0] = 2, t.luma_offset_l1[0] = -10;
  b.fill(200);
  LumaHalfBytes whole{b.s, 16, nullptr, 0, b.s, 16, 16, 16};
  const int lists[1] = {2};
  WeighLumaPartitions(sc.mb.get(), 0, lists, &whole, 0);
  EXPECT_EQ(255, b.s[255]);
}

TEST(WeightedSamplePrediction, BiHalvesLandInTheirOutBlock) {
  SliceScene sc;
  sc.slice->weightingMode = 2;
  sc.pics[3].pictureOrderCount = 6, sc.pics[0].pictureOrderCount = 0, sc.pics[1].pictureOrderCount = 4;
  sc.mb->ref_idx_l0[0] = 0, sc.mb->ref_idx_l1[0] = 1;  // weights -32, 96
  sc.mb->ref_idx_l0[2] = 0, sc.mb->ref_idx_l1[2] = 0;  // td 0: 32, 32
  Bytes l0, l1, out;
  l0.fill(40);
  l1.fill(100);
  out.fill(0);
  LumaHalfBytes upper = bi(l0, l1, out, 0), lower = l0.single(8);
  WeightedSamplePrediction_Bi_L0_16x8(sc.mb.get(), &upper, &lower, 0);
  EXPECT_EQ((40 * -32 + 100 * 96 + 32) >> 6, out.s[0]);
  EXPECT_EQ(out.s, upper.p0);
  EXPECT_EQ(nullptr, upper.p1);
  EXPECT_EQ(40, l0.s[8 * 16]);  // list-0 lower half untouched in mode 2
  EXPECT_EQ(0, out.s[8 * 16]);
  EXPECT_EQ(100, l1.s[0]);
  EXPECT_EQ(40, l0.s[0]);
  // Weights 32 and 32 change nothing: the half stays for the combination
  // to average, its blocks untouched.
  out.fill(0);
  upper = bi(l0, l1, out, 0), lower = bi(l0, l1, out, 8);
  WeightedSamplePrediction_Bi_Bi_16x8(sc.mb.get(), &upper, &lower, 0);
  EXPECT_EQ(out.s, upper.p0);
  EXPECT_EQ(l0.s + 128, lower.p0);
  EXPECT_EQ(l1.s + 128, lower.p1);
  EXPECT_EQ(0, out.s[8 * 16]);
  // Explicit bi-prediction, inferred 128 at denominator 7.
  sc.slice->weightingMode = 1;
  PredWeightTable& t = sc.slice->predWeightTable;
  t.luma_log2_weight_denom = 7;
  t.luma_weight_l0[0] = 128;
  t.luma_weight_l1[0] = -1;
  Bytes a, b;
  a.fill(255);
  b.fill(0);
  LumaHalfBytes q{a.s, 16, b.s, 16, a.s, 16, 8, 8};
  WeightedSamplePrediction_Bi_8x8(sc.mb.get(), &q, 2, 0);
  EXPECT_EQ(128, a.s[7 * 16 + 7]);
  EXPECT_EQ(255, a.s[8]);  // 8x8 block only
}

// The weighting an 8-bit partition gets: weights that change nothing are
// plain (the samples, or their rounded average), every other one keeps its
// formula and terms.
TEST(WeightedSamplePrediction, PartitionWeightingPlainOnlyWhereNothingChanges) {
  using K = PartitionWeighting::Kind;
  struct Case {
    uint32_t mode;
    int lists;
    int denom, w0, o0, w1, o1;  // explicit entries 0 of lists 0 and 1
    int ref1;                   // list-1 index (implicit: entry 1 gives 32/32, entry 0 does not)
    K kind;
    int wantW0, wantW1, wantO;
  };
  const Case cases[] = {
      {0, 1, 0, 9, 9, 9, 9, 0, K::kPlain, 0, 0, 0},      // no weighting at all
      {0, 3, 0, 9, 9, 9, 9, 0, K::kPlain, 0, 0, 0},      // default average
      {1, 1, 5, 32, 0, 9, 9, 0, K::kPlain, 0, 0, 0},     // inferred 2^5, offset 0
      {1, 2, 0, 9, 9, 1, 0, 0, K::kPlain, 0, 0, 0},      // denominator 0: weight 1
      {1, 1, 5, 32, 1, 9, 9, 0, K::kSingle, 32, 0, 1},   // an offset
      {1, 1, 5, 31, 0, 9, 9, 0, K::kSingle, 31, 0, 0},   // a weight
      {1, 3, 7, 128, 0, 128, 0, 0, K::kPlain, 0, 0, 0},  // both 2^7: the average
      {1, 3, 7, 128, 1, 128, -1, 0, K::kPlain, 0, 0, 0}, // offsets that round to 0
      {1, 3, 7, 128, 1, 128, 0, 0, K::kTwo, 128, 128, 1},
      {1, 3, 2, 4, 0, 3, 0, 0, K::kTwo, 4, 3, 0},
      {2, 1, 0, 9, 9, 9, 9, 0, K::kPlain, 0, 0, 0},      // implicit: single lists unweighted
      {2, 3, 0, 9, 9, 9, 9, 1, K::kPlain, 0, 0, 0},      // td 0: 32/32
      {2, 3, 0, 9, 9, 9, 9, 0, K::kTwo, -32, 96, 0},
  };
  for (const Case& c : cases) {
    SliceScene sc;
    sc.slice->weightingMode = c.mode;
    sc.pics[3].pictureOrderCount = 6, sc.pics[0].pictureOrderCount = 0, sc.pics[1].pictureOrderCount = 4;
    PredWeightTable& t = sc.slice->predWeightTable;
    t.luma_log2_weight_denom = static_cast<uint8_t>(c.denom);
    t.luma_weight_l0[0] = static_cast<int16_t>(c.w0), t.luma_offset_l0[0] = static_cast<int8_t>(c.o0);
    t.luma_weight_l1[0] = static_cast<int16_t>(c.w1), t.luma_offset_l1[0] = static_cast<int8_t>(c.o1);
    sc.mb->ref_idx_l0[0] = 0;
    sc.mb->ref_idx_l1[0] = static_cast<int8_t>(c.mode == 2 ? c.ref1 : 0);
    if (c.mode == 2 && c.ref1 == 1) sc.pics[1].pictureOrderCount = 0;
    if (c.mode == 2 && c.ref1 == 0) sc.slice->RefPicList1[0] = &sc.pics[1];
    const PartitionWeighting w = PartitionWeightingOf(sc.mb.get(), c.lists, 0, 0);
    const int line = static_cast<int>(&c - cases);
    ASSERT_EQ(c.kind, w.kind) << "case " << line;
    if (c.kind == K::kPlain) continue;
    EXPECT_EQ(c.wantW0, w.w0) << "case " << line;
    if (c.kind == K::kTwo) {
      EXPECT_EQ(c.wantW1, w.w1) << "case " << line;
    }
    EXPECT_EQ(c.wantO, w.o) << "case " << line;
  }
}

TEST(SkipDirect, SpatialWithoutNeighboursIsZeroOnBothLists) {
  SliceScene sc;
  sc.slice->direct_spatial_mv_pred_flag = 1;
  sc.slice->direct_8x8_inference_flag = 1;
  std::unique_ptr<MacroblockRecord[]> col(new MacroblockRecord[1]());
  sc.pics[0].macroblocks = col.get();
  sc.pics[0].mbCount = 1;
  col[0].mb_type = 64;
  for (auto& v : sc.mb->mv_l0) v[0] = 9;
  MotionVectorDerivation_B_Skip_Direct(sc.slice->RefPicList0, sc.slice->RefPicList1, sc.mb.get());
  for (int q = 0; q < 4; ++q) EXPECT_TRUE(sc.mb->pred_flag_l0[q] && sc.mb->pred_flag_l1[q]);
  for (int b = 0; b < 16; ++b) EXPECT_EQ(0, sc.mb->mv_l0[b][0]);
}

TEST(SkipDirect, TemporalScalesTheColocatedVector) {
  SliceScene sc;
  sc.slice->direct_spatial_mv_pred_flag = 0;
  sc.slice->num_ref_idx_l0_active_minus1 = 1;
  std::unique_ptr<MacroblockRecord[]> col(new MacroblockRecord[1]());
  sc.pics[0].macroblocks = col.get();  // list 1 [0] is pics[0]
  sc.pics[0].mbCount = 1;
  sc.slice->RefPicList0[0] = &sc.pics[1];
  sc.pics[1].pictureOrderCount = 0, sc.pics[0].pictureOrderCount = 8, sc.pics[3].pictureOrderCount = 4;
  col[0].mb_type = 20;
  col[0].mb_structure = 2;
  for (int q = 0; q < 4; ++q) col[0].pred_flag_l0[q] = 1, col[0].ref_pic_l0[q] = &sc.pics[1];
  for (auto& v : col[0].mv_l0) v[0] = 16, v[1] = -8;
  MotionVectorDerivation_B_Skip_Direct(sc.slice->RefPicList0, sc.slice->RefPicList1, sc.mb.get());
  for (int b = 0; b < 16; ++b) {
    EXPECT_EQ(8, sc.mb->mv_l0[b][0]);
    EXPECT_EQ(-4, sc.mb->mv_l0[b][1]);
    EXPECT_EQ(-8, sc.mb->mv_l1[b][0]);
  }
  EXPECT_EQ(0, sc.mb->ref_idx_l0[3]);
}

}  // namespace
