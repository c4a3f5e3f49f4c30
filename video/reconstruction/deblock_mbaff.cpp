// Deblocking of a whole MBAFF frame: one pass over the macroblock pairs in
// address order (top macroblock, then bottom) with each slice's filter
// control. A frame macroblock is filtered on its 16 consecutive lines, a
// field macroblock on the lines of its field (doubled pitch); edges toward a
// pair of the other kind take the neighbours and line spacing of the
// standard's mixed-edge rules.
#include <cstring>

#include "deblock_edges.h"
#include "deblock_filters.h"
#include "reconstruction.h"

namespace {

inline bool is_frame_mb(const MacroblockRecord* mb) { return mb->mb_structure == kFrame; }
inline bool coded(const MacroblockRecord* mb, int block) { return (mb->luma_nonzero_mask >> block) & 1; }

inline uint8_t average_qp(int a, int b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

struct MbPlanes {
  uint8_t *y, *cb, *cr;
  int lp, cp;
};

// Start lines and pitches of macroblock n of the frame, in the pair at pair
// row `row` and column `column`.
MbPlanes planes_of(const DecodedPicture* pic, uint32_t n, uint32_t row, uint32_t column, bool field) {
  const bool bottom = (n & 1) != 0;
  const int lp = pic->lumaPitch, cp = pic->chromaPitch;
  const ptrdiff_t lumaDown = field ? (bottom ? lp : 0) : (bottom ? 16 * lp : 0);
  const ptrdiff_t chromaDown = field ? (bottom ? cp : 0) : (bottom ? 8 * cp : 0);
  const ptrdiff_t lumaAt = static_cast<ptrdiff_t>(32 * row) * lp + 16 * column + lumaDown;
  const ptrdiff_t chromaAt = static_cast<ptrdiff_t>(16 * row) * cp + 8 * column + chromaDown;
  return {picture_luma(pic) + lumaAt, picture_cb(pic) + chromaAt, picture_cr(pic) + chromaAt,
          field ? 2 * lp : lp, field ? 2 * cp : cp};
}

// n is in the pair at pair row `row` and column `column` (tracked by the
// walk: dividing by the width for every macroblock cost more than the rest
// of this function).
void filter_macroblock(const DecodedPicture* pic, uint32_t n, uint32_t row, uint32_t column, uint8_t idc,
                       const int8_t* offsets, const ThresholdTable* thresholds, MotionCache* cache) {
  const uint32_t w = pic->widthInMbs;
  const MacroblockRecord* recs = pic->macroblocks;
  const MacroblockRecord* mb = recs + n;
  const uint32_t pairAddr = n & ~1u;
  const bool bottom = (n & 1) != 0;
  const bool field = !is_frame_mb(recs + pairAddr);
  const MbPlanes m = planes_of(pic, n, row, column, field);
  if (!bottom && n + 3 < pic->mbCount) {
    // The next pair of the row: 32 frame lines 16 luma samples to the right
    // (a top macroblock's planes start at its pair's first line).
    prefetch_macroblock(mb + 2, m.y + 16, m.cb + 8, m.cr + 8, pic->lumaPitch, pic->chromaPitch, 32);
    prefetch_macroblock(mb + 3, nullptr, nullptr, nullptr, 0, 0, 0);
    if (row != 0) {  // the pair above the next pair
      prefetch_neighbour(mb + 2 - 2 * w);
      prefetch_neighbour(mb + 3 - 2 * w);
    }
  }

  // With idc 2 edges toward another slice (a null link) stay as they are.
  // A left pair of the other kind is filtered line by line, a frame
  // macroblock under a field pair field by field; all other edges take the
  // whole-macroblock strengths.
  const MacroblockRecord* left = nullptr;
  bool mixedLeft = false;
  if (column != 0 && (idc != 2 || mb->neighbour_a != nullptr)) {
    left = mb - 2;
    mixedLeft = left->mb_structure != mb->mb_structure;
  }
  const MacroblockRecord* above = nullptr;
  const MacroblockRecord* aboveFieldPair = nullptr;
  const bool topInsidePair = bottom && !field;
  if ((topInsidePair || row != 0) && (idc != 2 || mb->neighbour_b != nullptr)) {
    if (topInsidePair) {
      above = mb - 1;
    } else {
      const MacroblockRecord* aboveTop = recs + pairAddr - 2 * w;
      const bool aboveField = !is_frame_mb(aboveTop);
      if (!field && aboveField)
        aboveFieldPair = aboveTop;
      else
        // Frame or field pair above a frame macroblock's top, or any pair
        // above a field macroblock: the top field macroblock of a field pair
        // under a field pair meets the same parity, all others the bottom
        // macroblock of the pair above.
        above = (field && aboveField && !bottom) ? aboveTop : aboveTop + 1;
    }
  }
  MacroblockStrengths bs;
  macroblock_strengths(mb, mixedLeft ? nullptr : left, above, &bs, cache);
  if (mixedLeft) FilteringProcessForVerticalEdges0_mbaff(m.y, m.cb, m.cr, mb, left, offsets, m.lp, m.cp);
  if (!aboveFieldPair) {
    filter_macroblock_edges(bs, true, true, m.y, m.cb, m.cr, mb, left, above, thresholds, m.lp, m.cp);
    return;
  }
  // A frame macroblock under a field pair: its even lines against the top
  // field macroblock, then its odd lines against the bottom one (each as the
  // lines of one field: doubled pitch), between its vertical and its other
  // horizontal edges.
  filter_macroblock_edges(bs, true, false, m.y, m.cb, m.cr, mb, left, above, thresholds, m.lp, m.cp);
  const int lp = pic->lumaPitch, cp = pic->chromaPitch;
  for (int k = 0; k < 2; ++k)
    FilteringProcessForHorizontalEdges0(m.y + k * lp, m.cb + k * cp, m.cr + k * cp, mb, aboveFieldPair + k, offsets,
                                        2 * lp, 2 * cp);
  filter_macroblock_edges(bs, false, true, m.y, m.cb, m.cr, mb, left, above, thresholds, m.lp, m.cp);
}

}  // namespace

void FilteringProcessForVerticalEdges0_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                             const MacroblockRecord* left, const int8_t* offsets, int lumaPitch,
                                             int chromaPitch) {
  const MacroblockRecord* pairTop = (cur->mb_addr & 1) ? left - 1 : left;
  const MacroblockRecord* sides[2] = {pairTop, pairTop + 1};
  uint8_t qpY[2], qpCb[2], qpCr[2];
  for (int k = 0; k < 2; ++k) {
    qpY[k] = average_qp(cur->qp_y, sides[k]->qp_y);
    qpCb[k] = average_qp(cur->qp_cb, sides[k]->qp_cb);
    qpCr[k] = average_qp(cur->qp_cr, sides[k]->qp_cr);
  }
  static const uint8_t kCurBlock[4] = {0, 2, 8, 10};
  static const uint8_t kLeftBlockOfField[4] = {5, 7, 13, 15};
  const bool curField = !is_frame_mb(cur);
  const bool curIntra = mb_is_intra(cur->mb_type);
  const int leftBlockOfFrame = (cur->mb_addr & 1) ? 13 : 5;
  // Two groups of eight lines, each against one macroblock of the left
  // pair: a field macroblock's lines 0..7 and 8..15 meet the frame lines of
  // the top and of the bottom macroblock; a frame macroblock's even and odd
  // lines meet the field of their parity. Chroma row j lies on luma line 2j
  // (field) or 4 (j / 2) + j % 2 (frame): lines 0, 2, 4 and 6 of its group.
  // Within a group qPav is one, the line step too (a frame macroblock's
  // lines of one field are two rows apart), and the strength changes at
  // most every second line: lines of equal strength are filtered together,
  // four or eight at a time (two or four chroma rows), the others one by
  // one. Every line is filtered on its own samples, so grouping changes no
  // sample.
  for (int g = 0; g < 2; ++g) {
    const MacroblockRecord* side = sides[g];
    uint8_t bs[8];
    if (curIntra || mb_is_intra(side->mb_type)) {
      std::memset(bs, 4, sizeof bs);
    } else {
      for (int m = 0; m < 8; ++m) {
        const int line = curField ? 8 * g + m : 2 * m + g;
        const int leftBlock = curField ? kLeftBlockOfField[m >> 1] : leftBlockOfFrame + (m < 4 ? 0 : 2);
        bs[m] = coded(cur, kCurBlock[line >> 2]) || coded(side, leftBlock) ? 2 : 1;
      }
    }
    const int step = curField ? 1 : 2;
    const int lp = step * lumaPitch, cp = step * chromaPitch;
    uint8_t* y = luma + (curField ? 8 * g * static_cast<ptrdiff_t>(lumaPitch) : g * lumaPitch);
    const ptrdiff_t chromaAt = curField ? 4 * g * static_cast<ptrdiff_t>(chromaPitch) : g * chromaPitch;
    uint8_t *u = cb + chromaAt, *v = cr + chromaAt;
    auto same = [&](int first, int count, int stride) {
      for (int i = 1; i < count; ++i)
        if (bs[first + i * stride] != bs[first]) return false;
      return true;
    };
    if (same(0, 8, 1)) {
      FilteringProcessVerticalLuma8x8(y, lp, bs[0], qpY[g], offsets);
    } else {
      for (int h = 0; h < 8; h += 4) {
        if (same(h, 4, 1)) {
          FilteringProcessVerticalLuma4x4(y + h * lp, lp, bs[h], qpY[g], offsets);
          continue;
        }
        for (int m = h; m < h + 4; ++m) FilteringProcessVerticalLuma(y + m * lp, bs[m], qpY[g], offsets);
      }
    }
    // Chroma row j with the strength of line 2j.
    if (same(0, 4, 2)) {
      FilteringProcessVerticalChroma4x4(u, v, cp, bs[0], qpCb[g], qpCr[g], offsets);
      continue;
    }
    for (int j = 0; j < 4; j += 2) {
      if (bs[2 * j] == bs[2 * j + 2]) {
        FilteringProcessVerticalChroma2x2(u + j * cp, v + j * cp, cp, bs[2 * j], qpCb[g], qpCr[g], offsets);
        continue;
      }
      for (int i = j; i < j + 2; ++i)
        FilteringProcessVerticalChroma(u + i * cp, v + i * cp, bs[2 * i], qpCb[g], qpCr[g], offsets);
    }
  }
}

void deblock_pass_run_mbaff(DecodedPicture* pic, DeblockPass* pass, uint32_t end) {
  const uint32_t w = pic->widthInMbs, total = pic->mbCount;
  if (w == 0 || total < 2 || pic->macroblocks == nullptr || pic->frameBuffer == nullptr) {
    pass->next = total;
    return;
  }
  if (end > total) end = total;
  uint32_t n = pass->next;
  // Pair row and column of the pair at n.
  uint32_t row = n / (2 * w), column = (n % (2 * w)) / 2;
  auto nextPair = [&] {
    if (++column == w) column = 0, ++row;
  };
  while (n < end && n + 1 < total) {
    const MacroblockRecord* top = pic->macroblocks + n;
    if (top->slice_first_flag) {
      pass->idc = top->deblock_idc;
      set_pass_offsets(pass, &top->filter_offset_a);  // FilterOffsetB follows it
      if (pass->idc == 1) {
        // Pass over the whole slice; a count of 0 ran past the picture's end.
        if (top->slice_mb_count == 0) {
          n = total;
          break;
        }
        n += (top->slice_mb_count + 1) & ~1u;
        row = n / (2 * w);
        column = (n % (2 * w)) / 2;
        continue;
      }
    } else if (pass->idc == 1) {
      n += 2;  // not at a slice start after passing over one: step on
      nextPair();
      continue;
    }
    filter_macroblock(pic, n, row, column, pass->idc, pass->offsets, &pass->thresholds, &pass->cache);
    filter_macroblock(pic, n + 1, row, column, pass->idc, pass->offsets, &pass->thresholds, &pass->cache);
    pass->filteredAny = true;
    n += 2;
    nextPair();
  }
  pass->next = n + 1 >= total ? total : n;
}

uint32_t DeblockingFilter_mbaff(DecodedPicture* pic) {
  const uint32_t w = pic->widthInMbs, total = pic->mbCount;
  if (w == 0 || total < 2 || pic->macroblocks == nullptr || pic->frameBuffer == nullptr) return 0;
  DeblockPass pass;
  deblock_pass_start(&pass, pic, true);
  deblock_pass_run_mbaff(pic, &pass, total);
  if (!pass.filteredAny) return 0;
  refresh_deblocked_margins_mbaff(pic);
  return 0;
}
