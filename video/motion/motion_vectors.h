// Motion-vector prediction of whole-macroblock partitions (16x16, 16x8,
// 8x16) and P_Skip: the predictor from the neighbours A, B, C (or D), the
// stored mvd added, final vectors and prediction flags written into the
// current record. One function per shape, partition and list, in a frame set
// (pictures without MBAFF) and an _mbaff set.
//
// The record must hold the parsed ref_idx of the partition's quadrants and
// the partition's mvd; the upper 16x8 (left 8x16) partition is derived
// before the lower (right) one, since the second reads the first.
#pragma once

#include <cstdint>

struct MacroblockRecord;

// Columns: frame member, MBAFF member, list, partition.
#define MOTION_VECTOR_DERIVATIONS(X)                                                                     \
  X(MotionVectorDerivation_16x16_L0, MotionVectorDerivation_16x16_L0_mbaff, 0, Whole)                    \
  X(MotionVectorDerivation_16x16_L1, MotionVectorDerivation_16x16_L1_mbaff, 1, Whole)                    \
  X(MotionVectorDerivation_16x8_L0_upper, MotionVectorDerivation_16x8_L0_upper_mbaff, 0, Upper)          \
  X(MotionVectorDerivation_16x8_L1_upper, MotionVectorDerivation_16x8_L1_upper_mbaff, 1, Upper)          \
  X(MotionVectorDerivation_16x8_L0_lower, MotionVectorDerivation_16x8_L0_lower_mbaff, 0, Lower)          \
  X(MotionVectorDerivation_16x8_L1_lower, MotionVectorDerivation_16x8_L1_lower_mbaff, 1, Lower)          \
  X(MotionVectorDerivation_8x16_L0_left, MotionVectorDerivation_8x16_L0_left_mbaff, 0, Left)             \
  X(MotionVectorDerivation_8x16_L1_left, MotionVectorDerivation_8x16_L1_left_mbaff, 1, Left)             \
  X(MotionVectorDerivation_8x16_L0_right, MotionVectorDerivation_8x16_L0_right_mbaff, 0, Right)          \
  X(MotionVectorDerivation_8x16_L1_right, MotionVectorDerivation_8x16_L1_right_mbaff, 1, Right)

#define MOTION_VECTOR_DECLARE(name, mbaffName, list, part) \
  void name(MacroblockRecord* mb);                         \
  void mbaffName(MacroblockRecord* mb);
MOTION_VECTOR_DERIVATIONS(MOTION_VECTOR_DECLARE)
#undef MOTION_VECTOR_DECLARE

// P_Skip: list-0 flags set, list-1 flags cleared, all 16 vectors either zero
// or the 16x16 predictor of reference 0. The result is unused (0).
int32_t MotionVectorDerivation_P_Skip(MacroblockRecord* mb);
int32_t MotionVectorDerivation_P_Skip_mbaff(MacroblockRecord* mb);

// The 16x16 predictor of the record's ref_idx_lX[0], written to mvp (x, y).
void LumaMotionVectorPrediction16x16_L0(MacroblockRecord* mb, int16_t* mvp);
void LumaMotionVectorPrediction16x16_L1(MacroblockRecord* mb, int16_t* mvp);
void LumaMotionVectorPrediction16x16_L0_mbaff(MacroblockRecord* mb, int16_t* mvp);
void LumaMotionVectorPrediction16x16_L1_mbaff(MacroblockRecord* mb, int16_t* mvp);

// Spatial-direct reference index of list 0 or 1 in an MBAFF frame: the
// MinPositive of the 16x16 neighbours' indices, scaled between field and
// frame macroblocks; -1 when no neighbour uses the list.
int8_t spatial_direct_ref_idx_mbaff(MacroblockRecord* mb, int list);

// Both lists' spatial-direct reference index (as above; -1 when no
// neighbour uses the list) and the 16x16 predictor for it (zero for -1),
// the neighbours located once for both lists. A B_Direct_8x8 quadrant
// (quadrant set) forms the predictors by its named step.
void spatial_direct_neighbours(MacroblockRecord* mb, bool mbaff, bool quadrant, int8_t refIdx[2],
                               int16_t mvp[2][2]);
