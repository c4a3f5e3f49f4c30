// Helpers shared by the luma and chroma members: the reference picture of a
// list entry and the implicit bi-prediction weights.
#pragma once

#include <cstdint>

#include "decoder_engine.h"
#include "mb_record.h"

namespace inter {

// Reference picture refIdx of a list. An index beyond the slice's active
// entries, or an entry without a picture, falls back to entry 0 and then to
// the picture being decoded, so a damaged stream predicts from valid planes.
inline DecodedPicture* reference_of(DecodedPicture* const* list, const MacroblockRecord* mb, int listIdx,
                                    int refIdx) {
  const SliceDecodeContext* s = mb->slice;
  const uint32_t active =
      1u + (listIdx ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1);
  DecodedPicture* pic = static_cast<uint32_t>(refIdx) < active ? list[refIdx] : nullptr;
  if (!pic || !pic->frameBuffer) pic = list[0];
  if (!pic || !pic->frameBuffer) pic = s->picture;
  return pic;
}

// Implicit weights (w0, w1) of a bi-predicted block from the picture order
// counts of the current picture and the two references.
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

}  // namespace inter
