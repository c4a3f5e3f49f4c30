// Motion of sub-macroblock partitions (P_8x8, P_8x8ref0, B_8x8): the
// motion-vector predictor of any partition of 8x8 or smaller, the named
// per-block predictors, and the derivation of a B_Direct_8x8 quadrant.
//
// Every predictor is one call of submb_mv_predictor, which finds the
// neighbours A, B, C (or D) of the partition through a neighbour policy over
// the shared neighbour routine (mbaff_neighbours.h). FrameNeighbours serves
// pictures without MBAFF; MBAFF frames supply their own policy with the same
// two functions and instantiate the same template.
#pragma once

#include <algorithm>
#include <cstdint>

#include "mb_record.h"
#include "mbaff_neighbours.h"

struct DecodedPicture;

namespace submb {

// Position (in luma samples) of the top-left corner of 4x4 block blk
// (luma4x4BlkIdx) inside its macroblock.
constexpr int block_x(int blk) { return 8 * ((blk >> 2) & 1) + 4 * (blk & 1); }
constexpr int block_y(int blk) { return 8 * (blk >> 3) + 4 * ((blk >> 1) & 1); }

// Neighbour policy of pictures without MBAFF: the record and 4x4 block
// covering luma position (xN, yN) relative to the current macroblock
// (null when not available), from the shared neighbour routine; vectors and
// indices are used as they stand. An MBAFF policy locates through
// mbaff_neighbour_location and scales between field and frame macroblocks
// in adjust.
struct FrameNeighbours {
  static MacroblockRecord* locate(MacroblockRecord* cur, int xN, int yN, int* blk) {
    const NeighbourLocation n = frame_neighbour_location(cur, xN, yN);
    *blk = luma4x4_block_at(n.x, n.y);
    return n.mb;
  }
  static void adjust(const MacroblockRecord*, const MacroblockRecord*, int16_t*, int*) {}
};

// One neighbouring partition: available (its macroblock present and, inside
// the current macroblock, already predicted), vector, reference index (-1
// when intra, unavailable or not using the list).
struct NeighbourMotion {
  bool available = false;
  int16_t mv[2] = {0, 0};
  int ref = -1;
};

// Inside the current macroblock a block is predicted before blk when it lies
// in an earlier quadrant, or earlier in the same quadrant (its sub-partitions
// run upper before lower, left before right, 4x4 blocks in block order).
constexpr bool predicted_before(int n, int blk) {
  return (n >> 2) < (blk >> 2) || ((n >> 2) == (blk >> 2) && (n & 3) < (blk & 3));
}

template <class Neighbours>
NeighbourMotion neighbour_motion(MacroblockRecord* cur, int list, int blk, int xN, int yN) {
  NeighbourMotion out;
  int nblk = 0;
  MacroblockRecord* n = Neighbours::locate(cur, xN, yN, &nblk);
  if (n == nullptr || (n == cur && !predicted_before(nblk, blk))) return out;
  out.available = true;
  const int quadrant = nblk >> 2;
  if (mb_is_intra(n->mb_type) || (list ? n->pred_flag_l1[quadrant] : n->pred_flag_l0[quadrant]) == 0) return out;
  const int16_t* mv = list ? n->mv_l1[nblk] : n->mv_l0[nblk];
  out.mv[0] = mv[0];
  out.mv[1] = mv[1];
  out.ref = list ? n->ref_idx_l1[quadrant] : n->ref_idx_l0[quadrant];
  if (n != cur) Neighbours::adjust(cur, n, out.mv, &out.ref);
  return out;
}

// Median prediction of the partition whose first 4x4 block is blk and whose
// width is width luma samples (16 for the direct predictor, which uses the
// whole macroblock's neighbours), for reference index refIdx of list `list`.
template <class Neighbours>
void submb_mv_predictor(MacroblockRecord* mb, int list, int blk, int width, int refIdx, int16_t mvp[2]) {
  const int x = block_x(blk), y = block_y(blk);
  const NeighbourMotion a = neighbour_motion<Neighbours>(mb, list, blk, x - 1, y);
  NeighbourMotion b = neighbour_motion<Neighbours>(mb, list, blk, x, y - 1);
  NeighbourMotion c = neighbour_motion<Neighbours>(mb, list, blk, x + width, y - 1);
  if (!c.available) c = neighbour_motion<Neighbours>(mb, list, blk, x - 1, y - 1);
  if (!b.available && !c.available && a.available) b = c = a;
  const int matches = (a.ref == refIdx) + (b.ref == refIdx) + (c.ref == refIdx);
  if (matches == 1) {
    const NeighbourMotion& n = a.ref == refIdx ? a : b.ref == refIdx ? b : c;
    mvp[0] = n.mv[0];
    mvp[1] = n.mv[1];
    return;
  }
  for (int k = 0; k < 2; ++k) {
    const int va = a.mv[k], vb = b.mv[k], vc = c.mv[k];
    mvp[k] = static_cast<int16_t>(va + vb + vc - std::min({va, vb, vc}) - std::max({va, vb, vc}));
  }
}

}  // namespace submb

// The named predictors: columns are the frame and MBAFF members, the list, the
// partition width and the first 4x4 block of the partition. Each writes the
// predictor for the reference index of the block's quadrant into mvp.
#define SUBMB_MV_PREDICTORS(X)                                                                           \
  X(LumaMotionVectorPrediction8x8_L0_0, LumaMotionVectorPrediction8x8_L0_0_mbaff, 0, 8, 0)               \
  X(LumaMotionVectorPrediction8x8_L0_1, LumaMotionVectorPrediction8x8_L0_1_mbaff, 0, 8, 4)               \
  X(LumaMotionVectorPrediction8x8_L0_2, LumaMotionVectorPrediction8x8_L0_2_mbaff, 0, 8, 8)               \
  X(LumaMotionVectorPrediction8x8_L0_3, LumaMotionVectorPrediction8x8_L0_3_mbaff, 0, 8, 12)              \
  X(LumaMotionVectorPrediction8x4_L0_0_lower, LumaMotionVectorPrediction8x4_L0_0_lower_mbaff, 0, 8, 2)   \
  X(LumaMotionVectorPrediction8x4_L0_2_lower, LumaMotionVectorPrediction8x4_L0_2_lower_mbaff, 0, 8, 10)  \
  X(LumaMotionVectorPrediction4x4_L0_0, LumaMotionVectorPrediction4x4_L0_0_mbaff, 0, 4, 0)               \
  X(LumaMotionVectorPrediction4x4_L0_1, LumaMotionVectorPrediction4x4_L0_1_mbaff, 0, 4, 1)               \
  X(LumaMotionVectorPrediction4x4_L0_2, LumaMotionVectorPrediction4x4_L0_2_mbaff, 0, 4, 2)               \
  X(LumaMotionVectorPrediction4x4_L0_4, LumaMotionVectorPrediction4x4_L0_4_mbaff, 0, 4, 4)               \
  X(LumaMotionVectorPrediction4x4_L0_5, LumaMotionVectorPrediction4x4_L0_5_mbaff, 0, 4, 5)               \
  X(LumaMotionVectorPrediction4x4_L0_8, LumaMotionVectorPrediction4x4_L0_8_mbaff, 0, 4, 8)               \
  X(LumaMotionVectorPrediction4x4_L0_10, LumaMotionVectorPrediction4x4_L0_10_mbaff, 0, 4, 10)            \
  X(LumaMotionVectorPrediction4x4_L0_12, LumaMotionVectorPrediction4x4_L0_12_mbaff, 0, 4, 12)            \
  X(LumaMotionVectorPrediction8x8_L1_0, LumaMotionVectorPrediction8x8_L1_0_mbaff, 1, 8, 0)               \
  X(LumaMotionVectorPrediction8x8_L1_1, LumaMotionVectorPrediction8x8_L1_1_mbaff, 1, 8, 4)               \
  X(LumaMotionVectorPrediction8x8_L1_2, LumaMotionVectorPrediction8x8_L1_2_mbaff, 1, 8, 8)               \
  X(LumaMotionVectorPrediction8x8_L1_3, LumaMotionVectorPrediction8x8_L1_3_mbaff, 1, 8, 12)              \
  X(LumaMotionVectorPrediction8x4_L1_0_lower, LumaMotionVectorPrediction8x4_L1_0_lower_mbaff, 1, 8, 2)   \
  X(LumaMotionVectorPrediction8x4_L1_2_lower, LumaMotionVectorPrediction8x4_L1_2_lower_mbaff, 1, 8, 10)  \
  X(LumaMotionVectorPrediction4x4_L1_0, LumaMotionVectorPrediction4x4_L1_0_mbaff, 1, 4, 0)               \
  X(LumaMotionVectorPrediction4x4_L1_1, LumaMotionVectorPrediction4x4_L1_1_mbaff, 1, 4, 1)               \
  X(LumaMotionVectorPrediction4x4_L1_2, LumaMotionVectorPrediction4x4_L1_2_mbaff, 1, 4, 2)               \
  X(LumaMotionVectorPrediction4x4_L1_4, LumaMotionVectorPrediction4x4_L1_4_mbaff, 1, 4, 4)               \
  X(LumaMotionVectorPrediction4x4_L1_5, LumaMotionVectorPrediction4x4_L1_5_mbaff, 1, 4, 5)               \
  X(LumaMotionVectorPrediction4x4_L1_8, LumaMotionVectorPrediction4x4_L1_8_mbaff, 1, 4, 8)               \
  X(LumaMotionVectorPrediction4x4_L1_10, LumaMotionVectorPrediction4x4_L1_10_mbaff, 1, 4, 10)            \
  X(LumaMotionVectorPrediction4x4_L1_12, LumaMotionVectorPrediction4x4_L1_12_mbaff, 1, 4, 12)

#define SUBMB_MV_DECLARE(name, mbaffName, list, width, blk) \
  void name(MacroblockRecord* mb, int16_t* mvp);            \
  void mbaffName(MacroblockRecord* mb, int16_t* mvp);
SUBMB_MV_PREDICTORS(SUBMB_MV_DECLARE)
#undef SUBMB_MV_DECLARE

// The named predictors by [MBAFF][list][partition width 8][first block];
// null where every neighbour lies inside the macroblock and the quadrant
// member computes the rule in place.
using SubMbMvPredictor = void (*)(MacroblockRecord* mb, int16_t* mvp);
extern const SubMbMvPredictor kSubMbMvPredictors[2][2][2][16];

// Direct motion of B_Direct_8x8 quadrant q (spatial or temporal by the
// slice): reference indices, prediction flags and the vectors of its four
// 4x4 blocks (one per block without 8x8 inference).
void MotionVectorDerivation_B_Direct_8x8(DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                                         MacroblockRecord* mb, uint8_t q);
void MotionVectorDerivation_B_Direct_8x8_mbaff(DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                                               MacroblockRecord* mb, uint8_t q);
