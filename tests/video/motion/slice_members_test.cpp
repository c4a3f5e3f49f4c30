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

struct alignas(16) Buf {
  int16_t s[256];
  void fill(int16_t v) {
    for (auto& x : s) x = v;
  }
};

TEST(WeightedSamplePrediction, ExplicitSingleListHalvesUseTheirQuadrant) {
  SliceScene sc;
  sc.slice->weightingMode = 1;
  PredWeightTable& t = sc.slice->predWeightTable;
  t.luma_log2_weight_denom = 0;
  t.luma_weight_l0[0] = 2, t.luma_offset_l0[0] = -10;
  t.luma_weight_l1[1] = 1, t.luma_offset_l1[1] = 5;
  sc.mb->ref_idx_l0[0] = 0;
  sc.mb->ref_idx_l1[2] = 3;  // field macroblock with shift 1: entry 1
  Buf b;
  b.fill(100);
  WeightedSamplePrediction_L0_L1_16x8(sc.mb.get(), b.s, 1);
  EXPECT_EQ(190, b.s[0]);
  EXPECT_EQ(190, b.s[7 * 16 + 15]);
  EXPECT_EQ(105, b.s[8 * 16]);
  // Mode 2 leaves single-list halves alone.
  sc.slice->weightingMode = 2;
  b.fill(100);
  WeightedSamplePrediction_L0_L0_16x8(sc.mb.get(), b.s, 0);
  EXPECT_EQ(100, b.s[0]);
}

TEST(WeightedSamplePrediction, BiHalvesLandInTheRightBuffer) {
  SliceScene sc;
  sc.slice->weightingMode = 2;
  sc.pics[3].pictureOrderCount = 6, sc.pics[0].pictureOrderCount = 0, sc.pics[1].pictureOrderCount = 4;
  sc.mb->ref_idx_l0[0] = 0, sc.mb->ref_idx_l1[0] = 1;  // weights -32, 96
  sc.mb->ref_idx_l0[2] = 0, sc.mb->ref_idx_l1[2] = 0;  // td 0: 32, 32
  Buf l0, l1;
  l0.fill(40);
  l1.fill(100);
  WeightedSamplePrediction_Bi_L0_16x8(sc.mb.get(), l0.s, l1.s, 0);
  EXPECT_EQ((40 * -32 + 100 * 96 + 32) >> 6, l0.s[0]);
  EXPECT_EQ(40, l0.s[8 * 16]);  // list-0 lower half untouched in mode 2
  EXPECT_EQ(100, l1.s[0]);
  l0.fill(40);
  l1.fill(100);
  WeightedSamplePrediction_Bi_L1_16x8(sc.mb.get(), l0.s, l1.s, 0);
  EXPECT_EQ((40 * -32 + 100 * 96 + 32) >> 6, l1.s[0]);
  EXPECT_EQ(40, l0.s[0]);
  l0.fill(40);
  l1.fill(100);
  WeightedSamplePrediction_Bi_Bi_16x8(sc.mb.get(), l0.s, l1.s, 0);
  EXPECT_EQ(70, l0.s[8 * 16]);  // the two halves get their own weights
  // Explicit bi-prediction, inferred 128 at denominator 7.
  sc.slice->weightingMode = 1;
  PredWeightTable& t = sc.slice->predWeightTable;
  t.luma_log2_weight_denom = 7;
  t.luma_weight_l0[0] = 128;
  t.luma_weight_l1[0] = -1;
  Buf a, b;
  a.fill(255);
  b.fill(0);
  WeightedSamplePrediction_Bi_8x8(sc.mb.get(), a.s, b.s, 2, 0);
  EXPECT_EQ(128, a.s[63]);
  EXPECT_EQ(255, a.s[64]);  // 8x8 block only
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
