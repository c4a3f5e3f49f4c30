// Helpers shared by the luma and chroma members: the reference picture of a
// list entry and the implicit bi-prediction weights.
#pragma once

#include <cstdint>

#include "decoder_records.h"
#include "mb_record.h"
#include "weighted_sample_prediction.h"

namespace inter {

// Entry of a list that refIdx reads. An index beyond the slice's active
// entries, or an entry without a picture, falls back to entry 0; -1 when
// that has none either (the picture being decoded then stands in), so a
// damaged stream predicts from valid planes.
inline int reference_entry(DecodedPicture* const* list, const MacroblockRecord* mb, int listIdx, int refIdx) {
  const SliceDecodeContext* s = mb->slice;
  const uint32_t active =
      1u + (listIdx ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1);
  if (static_cast<uint32_t>(refIdx) < active && list[refIdx] && list[refIdx]->frameBuffer) return refIdx;
  return list[0] && list[0]->frameBuffer ? 0 : -1;
}

inline DecodedPicture* reference_of(DecodedPicture* const* list, const MacroblockRecord* mb, int listIdx,
                                    int refIdx) {
  const int e = reference_entry(list, mb, listIdx, refIdx);
  return e >= 0 ? list[e] : mb->slice->picture;
}

// The reference that one partition of one list reads. In a field picture an
// entry is a field: the parity the list gives it. In an MBAFF frame a field
// macroblock's index counts fields: entry refIdx >> 1 of the list, the field
// of the macroblock's own parity for an even index and of the other parity
// for an odd one. The identifier for deblocking tells the fields apart
// (2 x access unit + bottom, modulo 256; in MBAFF frames also for frame
// macroblocks, so that all identifiers of one frame are comparable).
struct PartitionReference {
  DecodedPicture* pic;
  bool bottomField;  // read the bottom field: sources start one frame line down
  uint8_t id;
};

template <bool Mbaff>
inline PartitionReference reference_for(DecodedPicture* const* list, const MacroblockRecord* mb, int listIdx,
                                        int refIdx) {
  if constexpr (!Mbaff) {
    const SliceDecodeContext* s = mb->slice;
    const int e = reference_entry(list, mb, listIdx, refIdx);
    DecodedPicture* pic = e >= 0 ? list[e] : s->picture;
    if (!s->field_pic_flag) return {pic, false, static_cast<uint8_t>(pic->accessUnitIndex)};
    const uint8_t* parities = s->refParity[listIdx ? 1 : 0];
    const bool bottom = e >= 0 ? parities[e] != 0 : pic->structure == kBottomField;
    return {pic, bottom, static_cast<uint8_t>(2 * pic->accessUnitIndex + (bottom ? 1 : 0))};
  } else {
    const bool field = mb->mb_structure != kFrame;
    DecodedPicture* pic = reference_of(list, mb, listIdx, field ? refIdx >> 1 : refIdx);
    const bool bottom = field && ((mb->mb_addr ^ static_cast<uint32_t>(refIdx)) & 1) != 0;
    return {pic, bottom, static_cast<uint8_t>(2 * pic->accessUnitIndex + (bottom ? 1 : 0))};
  }
}

// Picture order counts that implicit weights of a macroblock compare: the
// current picture's and the two references'. A field macroblock of an MBAFF
// frame uses the counts of its own field and of the reference fields.
template <bool Mbaff>
inline void implicit_counts(const MacroblockRecord* mb, const PartitionReference& r0, const PartitionReference& r1,
                            int32_t* cur, int32_t* poc0, int32_t* poc1) {
  const DecodedPicture* pic = mb->slice->picture;
  if (Mbaff && mb->mb_structure != kFrame) {
    // The pair's top macroblock (even address) is of its top field.
    *cur = field_order_count(pic, static_cast<int>(mb->mb_addr & 1));
    *poc0 = field_order_count(r0.pic, r0.bottomField ? kBottomField : kTopField);
    *poc1 = field_order_count(r1.pic, r1.bottomField ? kBottomField : kTopField);
    return;
  }
  *cur = pic->pictureOrderCount;
  if (mb->slice->field_pic_flag) {
    // A field picture weighs by the counts of the reference fields.
    *poc0 = field_order_count(r0.pic, r0.bottomField ? kBottomField : kTopField);
    *poc1 = field_order_count(r1.pic, r1.bottomField ? kBottomField : kTopField);
    return;
  }
  // A frame made of two fields counts as the lower of their counts.
  *poc0 = frame_order_count(r0.pic);
  *poc1 = frame_order_count(r1.pic);
}

// Implicit weights (w0, w1) of a bi-predicted block, worked out from how far
// the current picture lies from each of its two references in order count.
inline void implicit_weights(int32_t cur, int32_t poc0, int32_t poc1, int32_t* w0, int32_t* w1) {
  const auto clip = [](int32_t lo, int32_t hi, int32_t v) { return v < lo ? lo : v > hi ? hi : v; };
  const int32_t tb = clip(-128, 127, cur - poc0);
  const int32_t td = clip(-128, 127, poc1 - poc0);
  *w0 = *w1 = 32;
  if (td == 0) return;
  const int32_t tx = (16384 + (td / 2 < 0 ? -(td / 2) : td / 2)) / td;
  const int32_t scale = clip(-1024, 1023, (tb * tx + 32) >> 6);
  const int32_t w = scale >> 2;
  if (w < -64 || w > 128) return;
  *w1 = w;
  *w0 = 64 - w;
}

// Interpolates the w x h luma block whose first sample is (x, y) of the
// macroblock's picture with vector mv from ref into the 8-bit block dst (row
// stride dstStride), after waiting for the reference lines it reads. pitch
// is the luma pitch the macroblock steps by (twice the frame pitch for
// fields), frameWidth the pitch with both margins, frameHeight the lines.
void interpolate_luma_bytes(const MacroblockRecord* mb, const PartitionReference& ref, const int16_t* mv, int32_t x,
                            int32_t y, int w, int h, uint8_t* dst, int dstStride, uint32_t pitch,
                            uint32_t frameWidth, uint32_t frameHeight);

}  // namespace inter
