// Skip and direct motion of B macroblocks: the spatial reference indices
// from the neighbours, the co-located block of the first list-1 reference,
// and spatial and temporal direct prediction of one 8x8 quadrant. The slice
// facts the derivation depends on (8x8 inference, MBAFF, field picture, the
// current picture order count, the active length of list 0) are passed in,
// so that the slice-level members only gather them.
#pragma once

#include <cstdint>

struct MacroblockRecord;
struct DecodedPicture;
struct SliceDecodeContext;

// What a direct derivation needs of its slice.
struct DirectContext {
  DecodedPicture* const* refPicList0;
  DecodedPicture* const* refPicList1;
  uint32_t refPicList0Length;  // num_ref_idx_l0_active_minus1 + 1
  int32_t currentPoc;
  bool inference8x8;           // direct_8x8_inference_flag
  bool mbaff;                  // MBAFF frame
  bool fieldPicture;           // field_pic_flag
  const DecodedPicture* currentPicture;  // for the field counts of MBAFF field macroblocks (may be null)
  // Field pictures: the parity of each list entry (null: all top).
  const uint8_t* refParity0;
  const uint8_t* refParity1;
  uint32_t widthInMbs;                   // of the current picture
};

// How the co-located block relates to the current macroblock: its vector's
// vertical unit (-1 frame vector for a field macroblock, +1 field vector for
// a frame macroblock, 0 the same) and the parity of the field its reference
// is (-1 when it refers to a frame).
struct ColocatedRelation {
  int verticalScale;
  int refParity;
};

// The co-located block of quadrant q, sub-block k: its vector and reference
// index (-1 when it has no prediction) and the picture it refers to (null
// for none).
DecodedPicture* colocated_block(const DirectContext& ctx, MacroblockRecord* mb, int q, int k, int16_t mvCol[2],
                                int8_t* refIdxCol, ColocatedRelation* relation = nullptr);

// Asks for the motion of the co-located macroblock the direct derivation at
// address addr reads in the usual case (the same address of the first
// list-1 reference, colPic): those records lie far from anything recently
// touched, so B macroblocks fetch them for the macroblock after theirs.
// s is the slice that reads (which copy of colPic's motion it reads).
void prefetch_colocated(const SliceDecodeContext* s, const DecodedPicture* colPic, uint32_t addr);

// Spatial direct of quadrant q with the macroblock's reference indices.
void spatial_direct_quadrant(const DirectContext& ctx, MacroblockRecord* mb, int q, int8_t refIdxL0,
                             int8_t refIdxL1, bool directZeroPrediction);

// Spatial direct of all four quadrants (the predictors derived once).
void spatial_direct_macroblock(const DirectContext& ctx, MacroblockRecord* mb, int8_t refIdxL0, int8_t refIdxL1,
                               bool directZeroPrediction);

// Spatial direct of the quadrants in the mask (bit q) as the macroblock's
// neighbours give it: the reference indices and predictors of both lists
// from one location of the neighbours, the co-located macroblock resolved
// once for all blocks.
void spatial_direct(const DirectContext& ctx, MacroblockRecord* mb, unsigned quadrants);

// Temporal direct of the quadrants in the mask, the co-located macroblock
// resolved once.
void temporal_direct(const DirectContext& ctx, MacroblockRecord* mb, unsigned quadrants);

// Temporal direct of quadrant q: each 4x4 block takes its own co-located
// block, or, under 8x8 inference, the corner block serves the whole quadrant.
void temporal_direct_quadrant(const DirectContext& ctx, MacroblockRecord* mb, int q);
