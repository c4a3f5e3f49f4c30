// Deblocking of a whole frame or field picture: one pass over the
// macroblocks in address order with each slice's filter control, then a
// refresh of the picture margins.
#include "deblock_edges.h"
#include "reconstruction.h"

namespace {

const int8_t kNoOffsets[2] = {0, 0};
// How many macroblocks ahead of the one being filtered its records are
// fetched: the records of a decoded picture have mostly left the caches,
// and one macroblock's deblocking is too short a time to bring them back.
constexpr uint32_t kRecordsAhead = 3;

void filter_macroblock(const DecodedPicture* pic, uint32_t n, uint8_t idc, const ThresholdTable* thresholds,
                      MotionCache* cache) {
  const uint32_t w = pic->widthInMbs;
  const MacroblockRecord* mb = pic->macroblocks + n;
  const uint32_t column = n % w, row = n / w;
  const int lp = pic->lumaPitch, cp = pic->chromaPitch;
  uint8_t* y = picture_luma(pic) + static_cast<ptrdiff_t>(16 * row) * lp + 16 * column;
  uint8_t* cb = picture_cb(pic) + static_cast<ptrdiff_t>(8 * row) * cp + 8 * column;
  uint8_t* cr = picture_cr(pic) + static_cast<ptrdiff_t>(8 * row) * cp + 8 * column;
  // With idc 2 edges toward another slice (a null neighbour link) stay as
  // they are; with idc 0 the neighbour is taken by address.
  const bool leftEdge = column != 0 && (idc == 0 || mb->neighbour_a != nullptr);
  const bool topEdge = row != 0 && (idc == 0 || mb->neighbour_b != nullptr);
  // The rows from the next macroblock of the row on (16 luma samples to the
  // right), the record of a macroblock further on and of the one above it.
  if (n + kRecordsAhead < pic->mbCount) {
    prefetch_macroblock(mb + kRecordsAhead, y + 16, cb + 8, cr + 8, lp, cp, 16);
    if (n + kRecordsAhead >= w) prefetch_neighbour(mb + kRecordsAhead - w);
  }
  // All strengths first, then the vertical edges left to right and the
  // horizontal ones top to bottom, passing over edges of strength 0.
  const MacroblockRecord* left = leftEdge ? mb - 1 : nullptr;
  const MacroblockRecord* above = topEdge ? mb - w : nullptr;
  MacroblockStrengths bs;
  macroblock_strengths(mb, left, above, &bs, cache);
  filter_macroblock_edges(bs, true, true, y, cb, cr, mb, left, above, thresholds, lp, cp);
}

}  // namespace

void deblock_pass_start(DeblockPass* pass, const DecodedPicture* pic, bool mbaff) {
  pass->next = 0;
  pass->idc = 0;
  set_pass_offsets(pass, kNoOffsets);
  pass->filteredAny = false;
  pass->cache.next = 0;
  for (MacroblockMotion& e : pass->cache.entries) e = MacroblockMotion{};
  pass->cache.below.assign((mbaff ? 2 : 1) * static_cast<size_t>(pic->widthInMbs), BottomRowMotion{});
}

void deblock_pass_run(DecodedPicture* pic, DeblockPass* pass, uint32_t end) {
  const uint32_t w = pic->widthInMbs, total = pic->mbCount;
  if (w == 0 || total == 0 || pic->macroblocks == nullptr || pic->frameBuffer == nullptr) {
    pass->next = total;
    return;
  }
  if (end > total) end = total;
  uint32_t n = pass->next;
  while (n < end) {
    const MacroblockRecord* mb = pic->macroblocks + n;
    if (mb->slice_first_flag) {
      pass->idc = mb->deblock_idc;
      set_pass_offsets(pass, &mb->filter_offset_a);  // FilterOffsetB follows it
      if (pass->idc == 1) {
        // Pass over the whole slice. A slice whose count is 0 ran past the
        // picture's end, so the walk ends there.
        n = mb->slice_mb_count == 0 ? total : n + mb->slice_mb_count;
        continue;
      }
    } else if (pass->idc == 1) {
      ++n;  // not at a slice start after passing over one: step on, never stall
      continue;
    }
    filter_macroblock(pic, n, pass->idc, &pass->thresholds, &pass->cache);
    pass->filteredAny = true;
    ++n;
  }
  pass->next = n;
}

uint32_t DeblockingFilter(DecodedPicture* pic) {
  const uint32_t w = pic->widthInMbs, total = pic->mbCount;
  if (w == 0 || total == 0 || pic->macroblocks == nullptr || pic->frameBuffer == nullptr) return 0;
  DeblockPass pass;
  deblock_pass_start(&pass, pic, false);
  deblock_pass_run(pic, &pass, total);
  if (!pass.filteredAny) return 0;
  // Lines the filter left alone keep the margins reconstruction gave them.
  refresh_deblocked_margins(pic);
  return 0;
}

void fill_picture_margins(const DecodedPicture* pic) {
  const uint32_t w = pic->widthInMbs;
  const int rows = static_cast<int>(pic->mbCount / w);
  fill_plane_margins(picture_luma(pic), pic->lumaPitch, static_cast<int>(16 * w), 0, 16 * rows, 32, true, true);
  for (uint8_t* plane : {picture_cb(pic), picture_cr(pic)})
    fill_plane_margins(plane, pic->chromaPitch, static_cast<int>(8 * w), 0, 8 * rows, 8, true, true);
}
