// Luma weighted sample prediction members: each splits its macroblock into
// halves (single-list or bi-predicted) and weights them with the formulas of
// weighting.h.
#include "weighted_sample_prediction.h"

#include "decoder_records.h"
#include "mb_record.h"
#include "weighting.h"
#include "weighting_dsp.h"

namespace {

enum Use { kL0, kL1, kBi };

// Explicit weight and offset of list `list` at refIdx; a reference index
// beyond the table gets the inferred values (no weighting).
void explicitWeight(const PredWeightTable* t, int list, int refIdx, int32_t* w, int32_t* o) {
  if (t == nullptr || refIdx < 0 || refIdx >= 32) {
    *w = t != nullptr ? 1 << (t->luma_log2_weight_denom & 7) : 1;
    *o = 0;
    return;
  }
  *w = list ? t->luma_weight_l1[refIdx] : t->luma_weight_l0[refIdx];
  *o = list ? t->luma_offset_l1[refIdx] : t->luma_offset_l0[refIdx];
}

// Implicit weights of a bi-predicted half; 32/32 when either reference is
// missing from its list.
void implicitWeights(const MacroblockRecord* mb, int q, int32_t* w0, int32_t* w1) {
  const SliceDecodeContext* s = mb->slice;
  const bool fieldInFrame = s->field_pic_flag == 0 && mb->mb_structure != kFrame;
  const int i0 = fieldInFrame ? mb->ref_idx_l0[q] >> 1 : mb->ref_idx_l0[q];
  const int i1 = fieldInFrame ? mb->ref_idx_l1[q] >> 1 : mb->ref_idx_l1[q];
  const bool known = i0 >= 0 && i1 >= 0 && i0 < static_cast<int>(kRefListSize) &&
                     i1 < static_cast<int>(kRefListSize) && s->RefPicList0[i0] != nullptr &&
                     s->RefPicList1[i1] != nullptr && s->picture != nullptr;
  if (!known) {
    *w0 = *w1 = 32;
    return;
  }
  if (fieldInFrame) {
    // A field macroblock weighs by the counts of its own field and of the
    // two reference fields (the other parity for an odd index).
    const int parity = static_cast<int>(mb->mb_addr & 1);
    const int parity0 = parity ^ (mb->ref_idx_l0[q] & 1), parity1 = parity ^ (mb->ref_idx_l1[q] & 1);
    implicit_bipred_weights(field_order_count(s->picture, parity), field_order_count(s->RefPicList0[i0], parity0),
                            field_order_count(s->RefPicList1[i1], parity1), w0, w1);
    return;
  }
  if (s->field_pic_flag) {
    // A field picture weighs by the counts of the reference fields.
    implicit_bipred_weights(s->picture->pictureOrderCount, field_order_count(s->RefPicList0[i0], s->refParity[0][i0]),
                            field_order_count(s->RefPicList1[i1], s->refParity[1][i1]), w0, w1);
    return;
  }
  // A frame made of two fields counts as the lower of their counts.
  implicit_bipred_weights(s->picture->pictureOrderCount, frame_order_count(s->RefPicList0[i0]),
                          frame_order_count(s->RefPicList1[i1]), w0, w1);
}

// The formula a half of use `use` at quadrant q gets: none, the
// single-list one with (w0, o) or the two-list one with (w0, w1, o).
struct Formula {
  enum Kind { kNone, kSingle, kTwo } kind;
  int32_t w0, w1, o, logWD;
};

Formula formula(const MacroblockRecord* mb, Use use, int q, uint8_t shift) {
  const SliceDecodeContext* s = mb->slice;
  const uint32_t mode = s->weightingMode;
  const PredWeightTable* t = s->weightTable;
  Formula f{Formula::kNone, 0, 0, 0, t != nullptr ? t->luma_log2_weight_denom & 7 : 0};
  if (use != kBi) {
    if (mode != 1) return f;
    const int list = use == kL1;
    const int8_t ref = list ? mb->ref_idx_l1[q] : mb->ref_idx_l0[q];
    explicitWeight(t, list, ref >> shift, &f.w0, &f.o);
    f.kind = Formula::kSingle;
    return f;
  }
  if (mode == 1) {
    int32_t o0, o1;
    explicitWeight(t, 0, mb->ref_idx_l0[q] >> shift, &f.w0, &o0);
    explicitWeight(t, 1, mb->ref_idx_l1[q] >> shift, &f.w1, &o1);
    f.o = (o0 + o1 + 1) >> 1;
    f.kind = Formula::kTwo;
  } else if (mode == 2) {
    implicitWeights(mb, q, &f.w0, &f.w1);
    f.logWD = 5;
    f.kind = Formula::kTwo;
  }
  return f;
}

// Inlined into each member with the formula: one call per half.
inline __attribute__((always_inline)) PartitionWeighting weighting_of(const MacroblockRecord* mb, Use use, int q,
                                                                      uint8_t shift) {
  const Formula f = formula(mb, use, q & 3, shift);
  const int32_t unit = 1 << f.logWD;
  const bool plain =
      f.kind == Formula::kNone || (f.o == 0 && f.w0 == unit && (f.kind == Formula::kSingle || f.w1 == unit));
  if (plain) return {PartitionWeighting::kPlain, 0, 0, 0, 0};
  return {f.kind == Formula::kSingle ? PartitionWeighting::kSingle : PartitionWeighting::kTwo, f.w0, f.w1, f.o,
          f.logWD};
}

// Weights one half of use `use` with the reference indices of quadrant q:
// a single-list half in place, a bi-predicted one into its out block.
// Weights that change nothing leave the half as it is.
inline void weigh(const MacroblockRecord* mb, Use use, int q, uint8_t shift, LumaHalfBytes* h) {
  const PartitionWeighting wt = weighting_of(mb, use, q, shift);
  if (wt.kind == PartitionWeighting::kPlain) return;
  const WeightingDsp& dsp = weighting_dsp();
  if (wt.kind == PartitionWeighting::kSingle) {
    dsp.weight_single_bytes(const_cast<uint8_t*>(h->p0), h->stride0, h->width, h->rows, wt.w0, wt.o, wt.logWD);
    return;
  }
  dsp.weight_bi_bytes(h->p0, h->stride0, h->p1, h->stride1, h->out, h->outStride, h->width, h->rows, wt.w0, wt.w1,
                      wt.logWD, wt.o);
  *h = {h->out, h->outStride, nullptr, 0, h->out, h->outStride, h->width, h->rows};
}

}  // namespace

#define WSP_BODY(name, params) \
  void WeightedSamplePrediction_##name(const MacroblockRecord* mb, WSP_UNPAREN params, uint8_t s)

WSP_BODY(L0_16x16, (WSP_ONE)) { weigh(mb, kL0, 0, s, half); }
WSP_BODY(L1_16x16, (WSP_ONE)) { weigh(mb, kL1, 0, s, half); }
WSP_BODY(Bi_16x16, (WSP_ONE)) { weigh(mb, kBi, 0, s, half); }

// Two halves: the first with quadrant 0's indices, the second with those
// of quadrant Q (2 for the lower 16x8 partition, 1 for the right 8x16 one).
#define WSP_HALVES(a, b, shape, q)                           \
  WSP_BODY(a##_##b##_##shape, (WSP_TWO)) {                   \
    weigh(mb, k##a, 0, s, first);                            \
    weigh(mb, k##b, q, s, second);                           \
  }
#define WSP_SHAPE(shape, q)                                                                                     \
  WSP_HALVES(L0, L0, shape, q) WSP_HALVES(L0, L1, shape, q) WSP_HALVES(L1, L0, shape, q)                       \
  WSP_HALVES(L1, L1, shape, q) WSP_HALVES(Bi, Bi, shape, q) WSP_HALVES(Bi, L0, shape, q)                       \
  WSP_HALVES(Bi, L1, shape, q) WSP_HALVES(L0, Bi, shape, q) WSP_HALVES(L1, Bi, shape, q)
WSP_SHAPE(16x8, 2)
WSP_SHAPE(8x16, 1)

WSP_BODY(L0_8x8, (WSP_ONE, uint8_t quadrant)) { weigh(mb, kL0, quadrant, s, half); }
WSP_BODY(L1_8x8, (WSP_ONE, uint8_t quadrant)) { weigh(mb, kL1, quadrant, s, half); }
WSP_BODY(Bi_8x8, (WSP_ONE, uint8_t quadrant)) { weigh(mb, kBi, quadrant, s, half); }

void WeighLumaPartitions(const MacroblockRecord* mb, int shape, const int* lists, LumaHalfBytes* halves,
                         uint8_t refIdxShift) {
  using Member = void (*)(const MacroblockRecord*, LumaHalfBytes*, LumaHalfBytes*, uint8_t);
  // By the lists of the first and the second half (1 L0, 2 L1, 3 Bi).
  static constexpr Member k16x8[3][3] = {
      {WeightedSamplePrediction_L0_L0_16x8, WeightedSamplePrediction_L0_L1_16x8, WeightedSamplePrediction_L0_Bi_16x8},
      {WeightedSamplePrediction_L1_L0_16x8, WeightedSamplePrediction_L1_L1_16x8, WeightedSamplePrediction_L1_Bi_16x8},
      {WeightedSamplePrediction_Bi_L0_16x8, WeightedSamplePrediction_Bi_L1_16x8, WeightedSamplePrediction_Bi_Bi_16x8}};
  static constexpr Member k8x16[3][3] = {
      {WeightedSamplePrediction_L0_L0_8x16, WeightedSamplePrediction_L0_L1_8x16, WeightedSamplePrediction_L0_Bi_8x16},
      {WeightedSamplePrediction_L1_L0_8x16, WeightedSamplePrediction_L1_L1_8x16, WeightedSamplePrediction_L1_Bi_8x16},
      {WeightedSamplePrediction_Bi_L0_8x16, WeightedSamplePrediction_Bi_L1_8x16, WeightedSamplePrediction_Bi_Bi_8x16}};
  const uint32_t mode = mb->slice->weightingMode;
  const int parts = shape == 0 ? 1 : shape == 3 ? 4 : 2;
  bool bi = false;
  for (int p = 0; p < parts; ++p) bi |= lists[p] == 3;
  // Single-list halves are weighted in explicit mode only.
  if (mode != 1 && !(mode == 2 && bi)) return;
  switch (shape) {
    case 0:
      if (lists[0] == 3) return WeightedSamplePrediction_Bi_16x16(mb, halves, refIdxShift);
      if (lists[0] == 2) return WeightedSamplePrediction_L1_16x16(mb, halves, refIdxShift);
      return WeightedSamplePrediction_L0_16x16(mb, halves, refIdxShift);
    case 1: return k16x8[lists[0] - 1][lists[1] - 1](mb, halves, halves + 1, refIdxShift);
    case 2: return k8x16[lists[0] - 1][lists[1] - 1](mb, halves, halves + 1, refIdxShift);
    default:
      for (uint8_t q = 0; q < 4; ++q) {
        if (lists[q] == 3)
          WeightedSamplePrediction_Bi_8x8(mb, halves + q, q, refIdxShift);
        else if (lists[q] == 2)
          WeightedSamplePrediction_L1_8x8(mb, halves + q, q, refIdxShift);
        else if (lists[q] == 1)
          WeightedSamplePrediction_L0_8x8(mb, halves + q, q, refIdxShift);
      }
  }
}

PartitionWeighting PartitionWeightingOf(const MacroblockRecord* mb, int lists, int quadrant, uint8_t refIdxShift) {
  return weighting_of(mb, lists == 3 ? kBi : lists == 2 ? kL1 : kL0, quadrant, refIdxShift);
}

int32_t field_order_count(const DecodedPicture* p, int parity) { return field_order_count_of(p, parity); }
