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

// One half of a macroblock's 8-bit luma prediction (a partition: 16x16,
// 16x8, 8x16 or an 8x8 quadrant) as the weighting members see it. p0 holds
// the single list's samples (then writable: the weighting works on them in
// place) or the list-0 samples of a bi-predicted half, p1 its list-1 samples
// (null for a single list); out is where a weighted bi-predicted half goes
// (it may be p0). A weighted bi-predicted half leaves with p0 = out and p1
// null; an unweighted one keeps both, for the combination to average.
struct LumaHalfBytes {
  const uint8_t* p0;
  ptrdiff_t stride0;
  const uint8_t* p1;
  ptrdiff_t stride1;
  uint8_t* out;
  ptrdiff_t outStride;
  int32_t width, rows;
};

// The members, named after the lists of their halves and the shape: the
// first half is the upper (16x8) or left (8x16) partition, or the whole
// macroblock (16x16) or quadrant (8x8); the second the lower or right one.
// The halves' reference indices are those of quadrant 0 and 2 (16x8), 0
// and 1 (8x16), 0 (16x16) or `quadrant` (8x8). A single-list half is
// weighted only in explicit mode (1), a bi-predicted one in both modes.
#define WSP_ONE LumaHalfBytes *half
#define WSP_TWO LumaHalfBytes *first, LumaHalfBytes *second
#define WEIGHTED_SAMPLE_PREDICTION_MEMBERS(X)                                                 \
  X(L0_16x16, (WSP_ONE)) X(L1_16x16, (WSP_ONE)) X(Bi_16x16, (WSP_ONE))                       \
  X(L0_L0_16x8, (WSP_TWO)) X(L0_L1_16x8, (WSP_TWO)) X(L1_L0_16x8, (WSP_TWO))                 \
  X(L1_L1_16x8, (WSP_TWO)) X(Bi_Bi_16x8, (WSP_TWO)) X(Bi_L0_16x8, (WSP_TWO))                 \
  X(Bi_L1_16x8, (WSP_TWO)) X(L0_Bi_16x8, (WSP_TWO)) X(L1_Bi_16x8, (WSP_TWO))                 \
  X(L0_L0_8x16, (WSP_TWO)) X(L0_L1_8x16, (WSP_TWO)) X(L1_L0_8x16, (WSP_TWO))                 \
  X(L1_L1_8x16, (WSP_TWO)) X(Bi_Bi_8x16, (WSP_TWO)) X(Bi_L0_8x16, (WSP_TWO))                 \
  X(Bi_L1_8x16, (WSP_TWO)) X(L0_Bi_8x16, (WSP_TWO)) X(L1_Bi_8x16, (WSP_TWO))                 \
  X(L0_8x8, (WSP_ONE, uint8_t quadrant)) X(L1_8x8, (WSP_ONE, uint8_t quadrant))               \
  X(Bi_8x8, (WSP_ONE, uint8_t quadrant))

#define WSP_UNPAREN(...) __VA_ARGS__
#define WSP_DECLARE(name, params) \
  void WeightedSamplePrediction_##name(const MacroblockRecord* mb, WSP_UNPAREN params, uint8_t refIdxShift);
WEIGHTED_SAMPLE_PREDICTION_MEMBERS(WSP_DECLARE)
#undef WSP_DECLARE
// The member of a macroblock of shape `shape` (0 16x16, 1 16x8, 2 8x16, 3
// four 8x8 quadrants) whose partitions predict from lists[p] (1 list 0, 2
// list 1, 3 both): called on its halves (four quadrants for shape 3) when
// the slice weights them (mode 1, or mode 2 with a bi-predicted half).
void WeighLumaPartitions(const MacroblockRecord* mb, int shape, const int* lists, LumaHalfBytes* halves,
                         uint8_t refIdxShift);

// How a partition's 8-bit prediction is formed from its lists' samples, by
// the rules of the members above: kPlain takes the single list's samples,
// or the rounded average (p0 + p1 + 1) >> 1 of two; kSingle and kTwo are
// the formulas of weighting.h with (w0, o) or (w0, w1, o) at denominator
// logWD. Weights that change nothing are kPlain: the single-list weight
// 2^logWD with offset 0 gives p itself, and two-list weights both 2^logWD
// with offset 0 (implicit 32 and 32 among them) give the rounded average.
// lists: 1 list 0, 2 list 1, 3 both; quadrant gives the reference indices.
struct PartitionWeighting {
  enum Kind : int32_t { kPlain, kSingle, kTwo } kind;
  int32_t w0, w1, o, logWD;
};
PartitionWeighting PartitionWeightingOf(const MacroblockRecord* mb, int lists, int quadrant, uint8_t refIdxShift);

// Picture order count of the field of parity `parity` (kTopField or
// kBottomField) of a reference: a frame's own field count, or the field
// picture of that parity (its paired field for the other parity).
int32_t field_order_count(const DecodedPicture* p, int parity);
