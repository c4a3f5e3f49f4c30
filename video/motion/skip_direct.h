// The slice-level members of skip and direct motion of whole B_Skip and
// B_Direct_16x16 macroblocks. They gather the slice's facts and run the
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

// The per-quadrant steps (TemporalDirectDerivation and its _8x8_inference
// and _mbaff twins, SpatialDirectDerivation, CoLocated4x4SubMacroblockPartition)
// are those of direct_motion.cpp: the whole-macroblock and quadrant
// derivations run them with the co-located macroblock resolved once.
