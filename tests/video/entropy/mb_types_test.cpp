// Type codes: the standard's values map to codes whose bits say what the
// macroblock is.
#include <gtest/gtest.h>

#include "mb_record.h"

namespace {

TEST(MbTypeCodes, PAndBTablesFollowTheCodeRules) {
  EXPECT_EQ(kPMbTypeCodes[4], MbP_8x8ref0);
  EXPECT_EQ(kPMbTypeCodes[5], MbI_NxN);
  EXPECT_EQ(kPMbTypeCodes[30], MbI_PCM);
  EXPECT_EQ(kBMbTypeCodes[0], MbB_Direct_16x16);
  EXPECT_EQ(kBMbTypeCodes[22], Mb8x8);
  EXPECT_EQ(kBMbTypeCodes[23], MbI_NxN);
  EXPECT_EQ(kBMbTypeCodes[48], MbI_PCM);
  for (int v = 5; v <= 29; ++v) EXPECT_EQ(kPMbTypeCodes[v], kBMbTypeCodes[v + 18]);
  // B partition types 1..21: shape from the type's name, predictions of the
  // two partitions (L0 1, L1 2, Bi 3) in the standard's order.
  const int shape[22] = {0, 0, 0, 0, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2};
  const int p0[22] = {0, 1, 2, 3, 1, 1, 2, 2, 1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 3, 3, 3, 3};
  const int p1[22] = {0, 1, 2, 3, 1, 1, 2, 2, 2, 2, 1, 1, 3, 3, 3, 3, 1, 1, 2, 2, 3, 3};
  for (int v = 1; v <= 21; ++v) {
    const uint8_t code = kBMbTypeCodes[v];
    EXPECT_EQ(code & 3, shape[v]) << v;
    EXPECT_EQ((code >> 4) & 3, p0[v]) << v;
    EXPECT_EQ((code >> 2) & 3, p1[v]) << v;
    EXPECT_FALSE(mb_is_intra(code));
  }
  EXPECT_TRUE(mb_is_skipped(MbP_Skip));
  EXPECT_TRUE(mb_is_skipped(MbB_Skip));
  EXPECT_FALSE(mb_is_intra(MbB_Direct_16x16));
  for (int v = 0; v <= 25; ++v) EXPECT_TRUE(mb_is_intra(kPMbTypeCodes[5 + v]));
}

TEST(MbTypeCodes, SubMacroblockCodesCarryPartsPredictionAndShape) {
  // NumSubMbPart | pred << 3 | shape << 5.
  const int parts[4] = {1, 2, 2, 4};
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(kPSubMbTypeCodes[v] & 7, parts[v]);
    EXPECT_EQ((kPSubMbTypeCodes[v] >> 3) & 3, 1);
    EXPECT_EQ(kPSubMbTypeCodes[v] >> 5, v);
  }
  EXPECT_EQ(kBSubMbTypeCodes[0], SubMbB_Direct_8x8);
  const int bShape[13] = {0, 0, 0, 0, 1, 2, 1, 2, 1, 2, 3, 3, 3};
  const int bPred[13] = {0, 1, 2, 3, 1, 1, 2, 2, 3, 3, 1, 2, 3};
  for (int v = 1; v < 13; ++v) {
    EXPECT_EQ(kBSubMbTypeCodes[v] >> 5, bShape[v]) << v;
    EXPECT_EQ((kBSubMbTypeCodes[v] >> 3) & 3, bPred[v]) << v;
    EXPECT_EQ(kBSubMbTypeCodes[v] & 7, parts[bShape[v]]) << v;
  }
}

}  // namespace
