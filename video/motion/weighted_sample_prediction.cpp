// Luma weighted sample prediction members: each splits its macroblock into
// halves (single-list or bi-predicted) and weights them with the formulas of
// weighting.h.
#include "weighted_sample_prediction.h"

#include "decoder_engine.h"
#include "mb_record.h"
#include "weighting.h"
#include "weighting_dsp.h"

namespace {

enum Use { kL0, kL1, kBi };

// One half: its buffers (p1 and dst only for bi-prediction), shape and the
// quadrant whose reference indices apply.
struct Half {
  Use use;
  int16_t* p0;  // the single-list samples, or the list-0 samples
  int16_t* p1;  // list-1 samples of a bi-predicted half
  int16_t* dst;
  int32_t stride;  // samples
  int32_t width;
  int32_t rows;
  int quadrant;
};

uint16_t* samples(int16_t* p) { return reinterpret_cast<uint16_t*>(p); }

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
  const bool fieldInFrame = s->field_pic_flag == 0 && mb->mb_structure != 2;
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

void apply(const MacroblockRecord* mb, const Half& h, uint8_t shift) {
  const Formula f = formula(mb, h.use, h.quadrant, shift);
  if (f.kind == Formula::kSingle) weight_samples_single(samples(h.p0), h.stride, h.width, h.rows, f.w0, f.o, f.logWD);
  if (f.kind == Formula::kTwo)
    weight_samples_bi(samples(h.p0), h.stride, samples(h.p1), h.stride, samples(h.dst), h.stride, h.width, h.rows,
                      f.w0, f.w1, f.logWD, f.o);
}

// Halves of the three buffer shapes.
Half wide(Use use, int16_t* p0, int16_t* p1, int16_t* dst, int rowStart, int rows, int q) {
  return {use, p0 + 16 * rowStart, p1 != nullptr ? p1 + 16 * rowStart : nullptr, dst != nullptr ? dst + 16 * rowStart : nullptr,
          16, 16, rows, q};
}
Half column(Use use, int16_t* p0, int16_t* p1, int16_t* dst, int q) { return {use, p0, p1, dst, 8, 8, 16, q}; }

}  // namespace

#define WSP_BODY(name, params) void WeightedSamplePrediction_##name(MacroblockRecord* mb, WSP_UNPAREN params, uint8_t s)

WSP_BODY(L0_16x16, (WSP_ONE)) { apply(mb, wide(kL0, buf, nullptr, nullptr, 0, 16, 0), s); }
WSP_BODY(L1_16x16, (WSP_ONE)) { apply(mb, wide(kL1, buf, nullptr, nullptr, 0, 16, 0), s); }
WSP_BODY(Bi_16x16, (WSP_TWO)) { apply(mb, wide(kBi, bufL0, bufL1, bufL0, 0, 16, 0), s); }

#define WSP_SINGLE_16x8(a, b)                                        \
  WSP_BODY(a##_##b##_16x8, (WSP_ONE)) {                              \
    apply(mb, wide(k##a, buf, nullptr, nullptr, 0, 8, 0), s);        \
    apply(mb, wide(k##b, buf, nullptr, nullptr, 8, 8, 2), s);        \
  }
WSP_SINGLE_16x8(L0, L0)
WSP_SINGLE_16x8(L0, L1)
WSP_SINGLE_16x8(L1, L0)
WSP_SINGLE_16x8(L1, L1)

WSP_BODY(Bi_Bi_16x8, (WSP_TWO)) {
  apply(mb, wide(kBi, bufL0, bufL1, bufL0, 0, 8, 0), s);
  apply(mb, wide(kBi, bufL0, bufL1, bufL0, 8, 8, 2), s);
}
WSP_BODY(Bi_L0_16x8, (WSP_TWO)) {
  apply(mb, wide(kBi, bufL0, bufL1, bufL0, 0, 8, 0), s);
  apply(mb, wide(kL0, bufL0, nullptr, nullptr, 8, 8, 2), s);
}
WSP_BODY(Bi_L1_16x8, (WSP_TWO)) {
  apply(mb, wide(kBi, bufL0, bufL1, bufL1, 0, 8, 0), s);
  apply(mb, wide(kL1, bufL1, nullptr, nullptr, 8, 8, 2), s);
}
// The lower partition's other-list prediction lies in rows 0-7 of that
// list's buffer.
WSP_BODY(L0_Bi_16x8, (WSP_TWO)) {
  apply(mb, wide(kL0, bufL0, nullptr, nullptr, 0, 8, 0), s);
  apply(mb, {kBi, bufL0 + 128, bufL1, bufL0 + 128, 16, 16, 8, 2}, s);
}
WSP_BODY(L1_Bi_16x8, (WSP_TWO)) {
  apply(mb, wide(kL1, bufL1, nullptr, nullptr, 0, 8, 0), s);
  apply(mb, {kBi, bufL0, bufL1 + 128, bufL1 + 128, 16, 16, 8, 2}, s);
}

#define WSP_SINGLE_8x16(a, b)                                              \
  WSP_BODY(a##_##b##_8x16, (int16_t * left, int16_t * right)) {            \
    apply(mb, column(k##a, left, nullptr, nullptr, 0), s);                 \
    apply(mb, column(k##b, right, nullptr, nullptr, 1), s);                \
  }
WSP_SINGLE_8x16(L0, L0)
WSP_SINGLE_8x16(L0, L1)
WSP_SINGLE_8x16(L1, L0)
WSP_SINGLE_8x16(L1, L1)

WSP_BODY(Bi_Bi_8x16, (int16_t * leftL0, int16_t * leftL1, int16_t * rightL0, int16_t * rightL1)) {
  apply(mb, column(kBi, leftL0, leftL1, leftL0, 0), s);
  apply(mb, column(kBi, rightL0, rightL1, rightL0, 1), s);
}
WSP_BODY(Bi_L0_8x16, (int16_t * leftL0, int16_t * leftL1, int16_t * rightL0)) {
  apply(mb, column(kBi, leftL0, leftL1, leftL0, 0), s);
  apply(mb, column(kL0, rightL0, nullptr, nullptr, 1), s);
}
WSP_BODY(Bi_L1_8x16, (int16_t * leftL0, int16_t * leftL1, int16_t * rightL1)) {
  apply(mb, column(kBi, leftL0, leftL1, leftL1, 0), s);
  apply(mb, column(kL1, rightL1, nullptr, nullptr, 1), s);
}
WSP_BODY(L0_Bi_8x16, (int16_t * leftL0, int16_t * rightL0, int16_t * rightL1)) {
  apply(mb, column(kL0, leftL0, nullptr, nullptr, 0), s);
  apply(mb, column(kBi, rightL0, rightL1, rightL0, 1), s);
}
WSP_BODY(L1_Bi_8x16, (int16_t * leftL1, int16_t * rightL0, int16_t * rightL1)) {
  apply(mb, column(kL1, leftL1, nullptr, nullptr, 0), s);
  apply(mb, column(kBi, rightL0, rightL1, rightL1, 1), s);
}

WSP_BODY(L0_8x8, (WSP_ONE, uint8_t quadrant)) { apply(mb, {kL0, buf, nullptr, nullptr, 8, 8, 8, quadrant & 3}, s); }
WSP_BODY(L1_8x8, (WSP_ONE, uint8_t quadrant)) { apply(mb, {kL1, buf, nullptr, nullptr, 8, 8, 8, quadrant & 3}, s); }
WSP_BODY(Bi_8x8, (WSP_TWO, uint8_t quadrant)) { apply(mb, {kBi, bufL0, bufL1, bufL0, 8, 8, 8, quadrant & 3}, s); }

PartitionWeighting PartitionWeightingOf(const MacroblockRecord* mb, int lists, int quadrant, uint8_t refIdxShift) {
  const Formula f = formula(mb, lists == 3 ? kBi : lists == 2 ? kL1 : kL0, quadrant & 3, refIdxShift);
  const int32_t unit = 1 << f.logWD;
  const bool plain = f.kind == Formula::kNone || (f.o == 0 && f.w0 == unit && (f.kind == Formula::kSingle || f.w1 == unit));
  if (plain) return {PartitionWeighting::kPlain, 0, 0, 0, 0};
  return {f.kind == Formula::kSingle ? PartitionWeighting::kSingle : PartitionWeighting::kTwo, f.w0, f.w1, f.o,
          f.logWD};
}

int32_t field_order_count(const DecodedPicture* p, int parity) { return field_order_count_of(p, parity); }
