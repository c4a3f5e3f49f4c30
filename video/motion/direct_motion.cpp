// Spatial and temporal direct motion of B macroblocks.
#include "direct_motion.h"

#include <algorithm>
#include <cstdlib>

#include "decoder_engine.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "mb_record.h"
#include "motion_vectors.h"
#include "weighted_sample_prediction.h"
#include "weighting.h"

namespace {

constexpr uint8_t Scan4x4LumaBlocksX[16] = {0, 4, 0, 4, 8, 12, 8, 12, 0, 4, 0, 4, 8, 12, 8, 12};
constexpr uint8_t Scan4x4LumaBlocksY[16] = {0, 0, 4, 4, 0, 0, 4, 4, 8, 8, 12, 12, 8, 8, 12, 12};
constexpr uint8_t SubMbPartIdxTable[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};

// Reference index of list `list` of block blk of neighbour n: -1 when n is
// absent, intra or does not use the list there.
int neighbourRef(const MacroblockRecord* n, int blk, int list) {
  if (n == nullptr || mb_is_intra(n->mb_type)) return -1;
  const uint8_t* flags = list ? n->pred_flag_l1 : n->pred_flag_l0;
  if (flags[blk >> 2] == 0) return -1;
  const int8_t* refs = list ? n->ref_idx_l1 : n->ref_idx_l0;
  return refs[blk >> 2];
}

int minPositive(int x, int y) { return (x >= 0 && y >= 0) ? std::min(x, y) : std::max(x, y); }

int8_t spatialRefIdx(const MacroblockRecord* mb, int list) {
  const int a = neighbourRef(mb->neighbour_a, 5, list);
  const int b = neighbourRef(mb->neighbour_b, 10, list);
  const int c = mb->neighbour_c != nullptr ? neighbourRef(mb->neighbour_c, 10, list)
                                           : neighbourRef(mb->neighbour_d, 15, list);
  return static_cast<int8_t>(minPositive(a, minPositive(b, c)));
}

void setVector(int16_t (*mv)[2], int blk, int16_t x, int16_t y) {
  mv[blk][0] = x;
  mv[blk][1] = y;
}

}  // namespace

int8_t SpatialRefIdxDerivationL0(MacroblockRecord* mb) { return spatialRefIdx(mb, 0); }
int8_t SpatialRefIdxDerivationL1(MacroblockRecord* mb) { return spatialRefIdx(mb, 1); }

namespace {

// Parity of entry i of a field picture's list (0 when the lists carry none).
int entry_parity(const uint8_t* parities, int i) { return parities != nullptr ? parities[i] : 0; }

// The field of a field pair nearer to the current picture in order count
// (the top one when both are as near).
DecodedPicture* nearer_field(DecodedPicture* pair, int32_t currentPoc) {
  DecodedPicture* other = pair->pairedField;
  if (other == nullptr) return pair;
  DecodedPicture* top = pair->structure == 0 ? pair : other;
  DecodedPicture* bottom = pair->structure == 0 ? other : pair;
  const int64_t topDiff = std::llabs(static_cast<int64_t>(currentPoc) - top->pictureOrderCount);
  const int64_t bottomDiff = std::llabs(static_cast<int64_t>(currentPoc) - bottom->pictureOrderCount);
  return topDiff < bottomDiff ? top : bottom;
}

// The field of the given parity of a field pair.
DecodedPicture* field_of_pair(DecodedPicture* pair, int parity) {
  if (pair->structure == parity || pair->pairedField == nullptr) return pair;
  return pair->pairedField;
}

}  // namespace

DecodedPicture* colocated_block(const DirectContext& ctx, MacroblockRecord* mb, int q, int k, int16_t mvCol[2],
                                int8_t* refIdxCol, ColocatedRelation* relation) {
  mvCol[0] = mvCol[1] = 0;
  *refIdxCol = -1;
  ColocatedRelation unused;
  ColocatedRelation& rel = relation ? *relation : unused;
  rel = {0, -1};
  const int colIdx = ctx.inference8x8 ? 5 * q : 4 * q + k;
  const int xCol = Scan4x4LumaBlocksX[colIdx];
  const int yCol = Scan4x4LumaBlocksY[colIdx];
  DecodedPicture* colPic = ctx.refPicList1[0];
  if (colPic == nullptr || colPic->macroblocks == nullptr) return nullptr;
  const uint32_t cur = mb->mb_addr;
  const uint32_t w = ctx.widthInMbs != 0 ? ctx.widthInMbs : 1;
  // The co-located macroblock lies at most a macroblock row below the
  // current one's last frame line; its record is final with its rows.
  const uint32_t lastLine = ctx.mbaff ? 32 * (cur / (2 * w)) + 31 : ctx.fieldPicture ? 32 * (cur / w) + 31 : 16 * (cur / w) + 15;
  await_reference_rows(mb->slice, colPic, (lastLine + 16) / 16 + 1);
  uint32_t addr = cur;
  int yM = yCol;
  bool colField = false;
  if (ctx.fieldPicture) {
    if (colPic->structure != 2) {
      colField = true;  // a field: the same macroblock
    } else if (colPic->sps != nullptr && colPic->sps->mb_adaptive_frame_field_flag) {
      // A frame of macroblock pairs: the pair at the macroblock's place.
      const uint32_t pair = 2 * cur;
      if (pair + 1 >= colPic->mbCount) return nullptr;
      if (colPic->macroblocks[pair].mb_structure != 2) {
        addr = pair + (ctx.currentPicture != nullptr && ctx.currentPicture->structure == 1 ? 1u : 0u);
        colField = true;
      } else {
        addr = pair + static_cast<uint32_t>(yCol / 8);
        yM = (2 * yCol) % 16;
        rel.verticalScale = -1;
      }
    } else {
      // A frame: the frame macroblock covering the block's field lines.
      addr = 2 * w * (cur / w) + cur % w + w * static_cast<uint32_t>(yCol / 8);
      yM = (2 * yCol) % 16;
      rel.verticalScale = -1;
    }
  } else if (colPic->structure != 2) {
    // A frame referencing a frame coded as two fields: a frame macroblock
    // reads the field nearer in order count, a field macroblock of an MBAFF
    // frame the field of its own parity.
    colField = true;
    if (ctx.mbaff) {
      const bool curField = mb->mb_structure != 2;
      colPic = curField ? field_of_pair(colPic, static_cast<int>(cur & 1)) : nearer_field(colPic, ctx.currentPoc);
      addr = cur / 2;
      if (!curField) {
        yM = 8 * static_cast<int>(cur % 2) + 4 * (yCol / 8);
        rel.verticalScale = 1;
      }
    } else {
      colPic = nearer_field(colPic, ctx.currentPoc);
      addr = w * (cur / (2 * w)) + cur % w;
      yM = 8 * static_cast<int>((cur / w) % 2) + 4 * (yCol / 8);
      rel.verticalScale = 1;
    }
    if (colPic->macroblocks == nullptr) return nullptr;
  } else if (ctx.mbaff) {
    // The co-located pair is the current pair of the first list-1 frame;
    // kinds that differ select the macroblock and row as the standard's
    // table for MBAFF frames gives them.
    const bool curField = mb->mb_structure != 2;
    colField = colPic->macroblocks[addr].mb_structure != 2;
    if (!curField && colField) {
      // A frame macroblock reads the field nearer in display order.
      const int64_t curPoc = ctx.currentPoc;
      const int64_t topDiff = curPoc - colPic->topFieldOrderCnt, bottomDiff = curPoc - colPic->bottomFieldOrderCnt;
      const bool bottom = (topDiff < 0 ? -topDiff : topDiff) >= (bottomDiff < 0 ? -bottomDiff : bottomDiff);
      addr = 2 * (addr / 2) + (bottom ? 1 : 0);
      yM = 8 * static_cast<int>(cur % 2) + 4 * (yCol / 8);
      rel.verticalScale = 1;
    } else if (curField && !colField) {
      addr = 2 * (addr / 2) + yCol / 8;
      yM = (2 * yCol) % 16;
      rel.verticalScale = -1;
    }
  }
  if (addr >= colPic->mbCount) return nullptr;
  const MacroblockRecord& col = colPic->macroblocks[addr];
  if (mb_is_intra(col.mb_type)) return nullptr;
  const int colQuadrant = 2 * (yM / 8) + xCol / 8;
  const int colBlock = SubMbPartIdxTable[4 * (yM / 4) + xCol / 4];
  int list;
  if (col.pred_flag_l0[colQuadrant]) {
    list = 0;
  } else if (col.pred_flag_l1[colQuadrant]) {
    list = 1;
  } else {
    return nullptr;
  }
  const int16_t(*mv)[2] = list ? col.mv_l1 : col.mv_l0;
  mvCol[0] = mv[colBlock][0];
  mvCol[1] = mv[colBlock][1];
  *refIdxCol = list ? col.ref_idx_l1[colQuadrant] : col.ref_idx_l0[colQuadrant];
  // A field macroblock's identifiers carry the parity of the field it read.
  if (colField) rel.refParity = (list ? col.ref_id_l1[colBlock] : col.ref_id_l0[colBlock]) & 1;
  return list ? col.ref_pic_l1[colQuadrant] : col.ref_pic_l0[colQuadrant];
}

namespace {

// The predictors of the whole macroblock for the two target indices (the
// same for every quadrant).
void spatial_predictors(const DirectContext& ctx, MacroblockRecord* mb, const int8_t targets[2],
                        bool directZeroPrediction, int16_t mvp[2][2]) {
  mvp[0][0] = mvp[0][1] = mvp[1][0] = mvp[1][1] = 0;
  for (int list = 0; list < 2; ++list) {
    if (directZeroPrediction || targets[list] < 0) continue;
    int8_t* refs = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
    const int8_t saved = refs[0];
    refs[0] = targets[list];
    if (list == 0) {
      (ctx.mbaff ? LumaMotionVectorPrediction16x16_L0_mbaff : LumaMotionVectorPrediction16x16_L0)(mb, mvp[0]);
    } else {
      (ctx.mbaff ? LumaMotionVectorPrediction16x16_L1_mbaff : LumaMotionVectorPrediction16x16_L1)(mb, mvp[1]);
    }
    refs[0] = saved;
  }
}

void spatial_quadrant(const DirectContext& ctx, MacroblockRecord* mb, int q, const int8_t targets[2],
                      bool directZeroPrediction, const int16_t mvp[2][2]) {
  mb->ref_idx_l0[q] = std::max<int8_t>(targets[0], 0);
  mb->ref_idx_l1[q] = std::max<int8_t>(targets[1], 0);
  bool colZero = false;
  for (int k = 0; k < 4; ++k) {
    const int blk = 4 * q + k;
    // Under 8x8 inference the quadrant's corner block serves all four.
    if (k == 0 || !ctx.inference8x8) {
      int16_t mvCol[2];
      int8_t refIdxCol;
      colocated_block(ctx, mb, q, k, mvCol, &refIdxCol);
      colZero = refIdxCol == 0 && std::abs(mvCol[0]) <= 1 && std::abs(mvCol[1]) <= 1;
    }
    for (int list = 0; list < 2; ++list) {
      const int8_t ref = targets[list];
      const bool zero = directZeroPrediction || ref < 0 || (ref == 0 && colZero);
      setVector(list ? mb->mv_l1 : mb->mv_l0, blk, zero ? 0 : mvp[list][0], zero ? 0 : mvp[list][1]);
    }
  }
  mb->pred_flag_l0[q] = targets[0] >= 0;
  mb->pred_flag_l1[q] = targets[1] >= 0;
}

}  // namespace

void spatial_direct_quadrant(const DirectContext& ctx, MacroblockRecord* mb, int q, int8_t refIdxL0,
                             int8_t refIdxL1, bool directZeroPrediction) {
  const int8_t targets[2] = {refIdxL0, refIdxL1};
  int16_t mvp[2][2];
  spatial_predictors(ctx, mb, targets, directZeroPrediction, mvp);
  spatial_quadrant(ctx, mb, q, targets, directZeroPrediction, mvp);
}

void spatial_direct_macroblock(const DirectContext& ctx, MacroblockRecord* mb, int8_t refIdxL0, int8_t refIdxL1,
                               bool directZeroPrediction) {
  const int8_t targets[2] = {refIdxL0, refIdxL1};
  int16_t mvp[2][2];
  spatial_predictors(ctx, mb, targets, directZeroPrediction, mvp);
  for (int q = 0; q < 4; ++q) spatial_quadrant(ctx, mb, q, targets, directZeroPrediction, mvp);
}

void temporal_direct_quadrant(const DirectContext& ctx, MacroblockRecord* mb, int q) {
  const bool fieldMbInFrame = !ctx.fieldPicture && mb->mb_structure != 2;
  // The parity of the current field: of the picture, or of the macroblock.
  const int parity = ctx.fieldPicture ? (ctx.currentPicture != nullptr && ctx.currentPicture->structure == 1 ? 1 : 0)
                                      : static_cast<int>(mb->mb_addr & 1);
  const int blocks = ctx.inference8x8 ? 1 : 4;
  int refIdxL0 = 0;
  for (int k = 0; k < blocks; ++k) {
    int16_t mvCol[2];
    int8_t refIdxCol;
    ColocatedRelation rel;
    DecodedPicture* refPicCol = colocated_block(ctx, mb, q, k, mvCol, &refIdxCol, &rel);
    // The lowest list-0 index that holds the co-located reference: the field
    // the co-located block read (a frame block's reference seen as its field
    // of the current parity) in field pictures and field macroblocks, the
    // frame holding it otherwise. A stream whose reference is missing from
    // the list gets index 0 (never an index beyond the list).
    const int refParity = rel.refParity >= 0 ? rel.refParity : parity;
    int i = 0;
    if (refIdxCol >= 0 && refPicCol != nullptr) {
      const DecodedPicture* target = frame_record(refPicCol);
      for (uint32_t n = 0; n < ctx.refPicList0Length; ++n) {
        DecodedPicture* p = ctx.refPicList0[n];
        if (p == nullptr || frame_record(p) != target) continue;
        if (ctx.fieldPicture && entry_parity(ctx.refParity0, static_cast<int>(n)) != refParity) continue;
        i = static_cast<int>(n);
        break;
      }
    }
    refIdxL0 = i;
    if (fieldMbInFrame) refIdxL0 = 2 * i + (refParity != parity ? 1 : 0);
    if (rel.verticalScale < 0) mvCol[1] = static_cast<int16_t>(mvCol[1] / 2);
    if (rel.verticalScale > 0) mvCol[1] = static_cast<int16_t>(mvCol[1] * 2);
    const DecodedPicture* pic0 = ctx.refPicList0[fieldMbInFrame ? refIdxL0 / 2 : refIdxL0];
    const DecodedPicture* pic1 = ctx.refPicList1[0];
    int32_t td = 0;
    int32_t dsf = 0;
    if (pic0 != nullptr && pic1 != nullptr) {
      if (fieldMbInFrame && ctx.currentPicture != nullptr) {
        dsf = dist_scale_factor(field_order_count(ctx.currentPicture, parity),
                                field_order_count(pic0, parity ^ (refIdxL0 & 1)), field_order_count(pic1, parity),
                                &td);
      } else if (ctx.fieldPicture) {
        dsf = dist_scale_factor(ctx.currentPoc, field_order_count(pic0, entry_parity(ctx.refParity0, refIdxL0)),
                                field_order_count(pic1, entry_parity(ctx.refParity1, 0)), &td);
      } else {
        dsf = dist_scale_factor(ctx.currentPoc, frame_order_count(pic0), frame_order_count(pic1), &td);
      }
    }
    int16_t l0[2], l1[2];
    for (int c = 0; c < 2; ++c) {
      if (td == 0) {
        l0[c] = mvCol[c];
        l1[c] = 0;
      } else {
        l0[c] = static_cast<int16_t>((dsf * mvCol[c] + 128) >> 8);
        l1[c] = static_cast<int16_t>(l0[c] - mvCol[c]);
      }
    }
    for (int b = ctx.inference8x8 ? 0 : k; b < (ctx.inference8x8 ? 4 : k + 1); ++b) {
      setVector(mb->mv_l0, 4 * q + b, l0[0], l0[1]);
      setVector(mb->mv_l1, 4 * q + b, l1[0], l1[1]);
    }
  }
  mb->ref_idx_l0[q] = static_cast<int8_t>(refIdxL0);
  mb->ref_idx_l1[q] = 0;
  mb->pred_flag_l0[q] = 1;
  mb->pred_flag_l1[q] = 1;
}
