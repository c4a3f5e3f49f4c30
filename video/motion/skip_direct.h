// The slice-level members of skip and direct motion: whole B_Skip and
// B_Direct_16x16 macroblocks, and the per-quadrant derivations that the
// B_8x8 direct path calls. They gather the slice's facts and run the
// derivations of direct_motion.h. The reference lists are arrays of
// DecodedPicture pointers (the slice's RefPicList0 and RefPicList1).
#pragma once

#include <cstdint>

#include "direct_motion.h"

struct MacroblockRecord;
struct DecodedPicture;

// The direct context of the macroblock's slice with the given lists.
DirectContext direct_context(const MacroblockRecord* mb, DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                             bool mbaff);

void MotionVectorDerivation_B_Skip_Direct(DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                                          MacroblockRecord* mb);
void MotionVectorDerivation_B_Skip_Direct_mbaff(DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                                                MacroblockRecord* mb);

#define SKIP_DIRECT_QUADRANT_MEMBERS(X) \
  X(TemporalDirectDerivation) X(TemporalDirectDerivation_mbaff) X(TemporalDirectDerivation_8x8_inference) \
  X(TemporalDirectDerivation_8x8_inference_mbaff)
#define SKIP_DIRECT_DECLARE_QUADRANT(name)                                                                  \
  void name(MacroblockRecord* mb, DecodedPicture** refPicList0, DecodedPicture** refPicList1, uint8_t q);
SKIP_DIRECT_QUADRANT_MEMBERS(SKIP_DIRECT_DECLARE_QUADRANT)
#undef SKIP_DIRECT_DECLARE_QUADRANT

void SpatialDirectDerivation(MacroblockRecord* mb, DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                             uint8_t q, int8_t refIdxL0, int8_t refIdxL1, uint8_t directZeroPredictionFlag);
void SpatialDirectDerivation_mbaff(MacroblockRecord* mb, DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                                   uint8_t q, int8_t refIdxL0, int8_t refIdxL1, uint8_t directZeroPredictionFlag);

// The co-located block of quadrant q, sub-block k (returns its reference
// picture, null for none; fills mvCol and refIdxCol).
DecodedPicture* CoLocated4x4SubMacroblockPartition(DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                                                   uint8_t q, uint8_t k, MacroblockRecord* mb, int16_t* mvCol,
                                                   int8_t* refIdxCol);
DecodedPicture* CoLocated4x4SubMacroblockPartition_mbaff(DecodedPicture** refPicList0, DecodedPicture** refPicList1,
                                                         uint8_t q, uint8_t k, MacroblockRecord* mb,
                                                         int16_t* mvCol, int8_t* refIdxCol);
