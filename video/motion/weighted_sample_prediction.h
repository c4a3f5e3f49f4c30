// Luma weighted sample prediction of whole-macroblock partitions and 8x8
// quadrants, in place in the 16-bit prediction buffers (values 0..255, rows
// 16-byte aligned): explicit weights from the slice's table (mode 1) or
// implicit weights from picture order counts (mode 2, bi-predicted halves
// only). Buffers: 16-wide (rows of 16; upper 16x8 partition rows 0-7, lower
// rows 8-15), 8-wide columns (16 rows of 8) and 8x8 blocks (8 rows of 8).
// The last argument is the reference-index shift: 1 for a field macroblock
// of an MBAFF frame, else 0.
#pragma once

#include <cstddef>
#include <cstdint>

struct MacroblockRecord;
struct DecodedPicture;

// The luma prediction of a whole macroblock: 16 rows of 16 samples, or two
// column planes of 16 rows of 8, or four 8x8 tiles. Declared alignas(16).
using InterPredictionBuffer = int16_t[256];
// Sub-macroblock forms: one quadrant's 8 rows of 8 samples, and a column of
// two quadrants (16 rows of 8; the left column holds quadrants 0 and 2).
using QuadrantTile = int16_t[64];
using PredictionColumn = int16_t[128];

#define WSP_ONE int16_t *buf
#define WSP_TWO int16_t *bufL0, int16_t *bufL1
#define WEIGHTED_SAMPLE_PREDICTION_MEMBERS(X)                                                     \
  X(L0_16x16, (WSP_ONE)) X(L1_16x16, (WSP_ONE)) X(Bi_16x16, (WSP_TWO))                           \
  X(L0_L0_16x8, (WSP_ONE)) X(L0_L1_16x8, (WSP_ONE)) X(L1_L0_16x8, (WSP_ONE))                     \
  X(L1_L1_16x8, (WSP_ONE)) X(Bi_Bi_16x8, (WSP_TWO)) X(Bi_L0_16x8, (WSP_TWO))                     \
  X(Bi_L1_16x8, (WSP_TWO)) X(L0_Bi_16x8, (WSP_TWO)) X(L1_Bi_16x8, (WSP_TWO))                     \
  X(L0_L0_8x16, (int16_t * left, int16_t * right)) X(L0_L1_8x16, (int16_t * left, int16_t * right)) \
  X(L1_L0_8x16, (int16_t * left, int16_t * right)) X(L1_L1_8x16, (int16_t * left, int16_t * right)) \
  X(Bi_Bi_8x16, (int16_t * leftL0, int16_t * leftL1, int16_t * rightL0, int16_t * rightL1))       \
  X(Bi_L0_8x16, (int16_t * leftL0, int16_t * leftL1, int16_t * rightL0))                          \
  X(Bi_L1_8x16, (int16_t * leftL0, int16_t * leftL1, int16_t * rightL1))                          \
  X(L0_Bi_8x16, (int16_t * leftL0, int16_t * rightL0, int16_t * rightL1))                         \
  X(L1_Bi_8x16, (int16_t * leftL1, int16_t * rightL0, int16_t * rightL1))                         \
  X(L0_8x8, (WSP_ONE, uint8_t quadrant)) X(L1_8x8, (WSP_ONE, uint8_t quadrant))                   \
  X(Bi_8x8, (WSP_TWO, uint8_t quadrant))

#define WSP_UNPAREN(...) __VA_ARGS__
#define WSP_DECLARE(name, params) \
  void WeightedSamplePrediction_##name(MacroblockRecord* mb, WSP_UNPAREN params, uint8_t refIdxShift);
WEIGHTED_SAMPLE_PREDICTION_MEMBERS(WSP_DECLARE)
#undef WSP_DECLARE

// Weighting of one partition's 8-bit prediction in place, by the rules of
// the members above: lists 1 (list 0) or 2 (list 1) weigh p0 alone, 3 puts
// the two-list combination of p0 and p1 into p0; quadrant gives the
// reference indices. Unweighted cases leave p0 alone.
void WeightPartitionBytes(const MacroblockRecord* mb, int lists, int quadrant, uint8_t* p0, ptrdiff_t stride0,
                          const uint8_t* p1, ptrdiff_t stride1, int32_t width, int32_t rows, uint8_t refIdxShift);

// Picture order count of the field of parity `parity` (0 top, 1 bottom) of a
// reference: a frame's own field count, or the field picture of that parity
// (its paired field for the other parity).
int32_t field_order_count(const DecodedPicture* p, int parity);
