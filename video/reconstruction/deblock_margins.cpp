// Margin refresh after deblocking: the lines of a macroblock row (or pair
// row) whose first or last sample the filter can have changed get their
// left or right margins copied again from that sample. The filter changes at
// most three samples on either side of an edge, so the last picture column
// changes only with horizontal edges: the row's top edge (lines -3..2, in
// MBAFF field mode -6..5 as frame lines) and its internal edges (y = 4, 8,
// 12, or y = 8 alone for the 8x8 transform).
#include <cstring>

#include "reconstruction.h"

namespace {

constexpr int kLumaMargin = 32;
constexpr int kChromaMargin = 8;

// Lines first..last (inclusive, relative to the row's line 0 at `edge`) of
// one plane. Right margins: edge is the first margin sample; left margins:
// edge is the picture's first sample.
void copy_right(uint8_t* edge, int pitch, int first, int last, int margin) {
  for (int l = first; l <= last; ++l) {
    uint8_t* line = edge + static_cast<ptrdiff_t>(l) * pitch;
    std::memset(line, line[-1], margin);
  }
}

void copy_left(uint8_t* edge, int pitch, int first, int last, int margin) {
  for (int l = first; l <= last; ++l) {
    uint8_t* line = edge + static_cast<ptrdiff_t>(l) * pitch;
    std::memset(line - margin, line[0], margin);
  }
}

void copy_right_planes(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch, int lumaFirst,
                       int lumaLast, int chromaFirst, int chromaLast) {
  copy_right(luma, lumaPitch, lumaFirst, lumaLast, kLumaMargin);
  copy_right(cb, chromaPitch, chromaFirst, chromaLast, kChromaMargin);
  copy_right(cr, chromaPitch, chromaFirst, chromaLast, kChromaMargin);
}

void copy_left_planes(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch, int lumaFirst,
                      int lumaLast, int chromaFirst, int chromaLast) {
  copy_left(luma, lumaPitch, lumaFirst, lumaLast, kLumaMargin);
  copy_left(cb, chromaPitch, chromaFirst, chromaLast, kChromaMargin);
  copy_left(cr, chromaPitch, chromaFirst, chromaLast, kChromaMargin);
}

// Right margin of MB row 0 whose last macroblock uses the 8x8 transform:
// the internal edge y = 8 only (chroma y = 4).
void CopyRightEdge8x8ForTopRow(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch) {
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, 0, 2, 0, 0);
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, 5, 10, 3, 4);
}

// Right margin of MB row r >= 1 whose last macroblock uses 4x4 transforms.
void CopyRightEdge4x4(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch) {
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, -3, 14, -1, 6);
}

}  // namespace

void CopyRightEdge4x4ForTopRow(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch) {
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, 0, 14, 0, 6);
}

void CopyRightEdge8x8(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch) {
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, -3, 2, -1, 0);
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, 5, 10, 3, 4);
}

void CopyLeftEdgeForTopRow_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch) {
  copy_left_planes(luma, cb, cr, lumaPitch, chromaPitch, 0, 31, 0, 15);
}

void CopyRightEdgeForTopRow_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch) {
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, 0, 31, 0, 15);
}

void CopyRightEdge_mbaff(uint8_t* luma, uint8_t* cb, uint8_t* cr, int lumaPitch, int chromaPitch) {
  copy_right_planes(luma, cb, cr, lumaPitch, chromaPitch, -6, 31, -2, 15);
}

void refresh_deblocked_rows(const DecodedPicture* pic, uint32_t first, uint32_t last) {
  const uint32_t w = pic->widthInMbs;
  const uint32_t rows = pic->mbCount / w;
  const int lp = pic->lumaPitch, cp = pic->chromaPitch;
  for (uint32_t r = first; r < last && r < rows; ++r) {
    uint8_t* y = picture_luma(pic) + static_cast<ptrdiff_t>(16 * r) * lp;
    uint8_t* cb = picture_cb(pic) + static_cast<ptrdiff_t>(8 * r) * cp;
    uint8_t* cr = picture_cr(pic) + static_cast<ptrdiff_t>(8 * r) * cp;
    // Left: the top edge and every horizontal internal edge reach column 0.
    if (r == 0)
      copy_left_planes(y, cb, cr, lp, cp, 0, 15, 0, 7);
    else
      copy_left_planes(y, cb, cr, lp, cp, -3, 15, -1, 7);
    // Right: by the transform of the row's last macroblock; the last row
    // (below row 0) is refreshed whole.
    uint8_t* ry = y + 16 * w;
    uint8_t* rcb = cb + 8 * w;
    uint8_t* rcr = cr + 8 * w;
    const bool eight = pic->macroblocks[(r + 1) * w - 1].transform_size_8x8_flag != 0;
    if (r == 0)
      (eight ? CopyRightEdge8x8ForTopRow : CopyRightEdge4x4ForTopRow)(ry, rcb, rcr, lp, cp);
    else
      (eight && r + 1 < rows ? CopyRightEdge8x8 : CopyRightEdge4x4)(ry, rcb, rcr, lp, cp);
  }
}

void refresh_deblocked_margins(const DecodedPicture* pic) {
  refresh_deblocked_rows(pic, 0, pic->mbCount / pic->widthInMbs);
}

void refresh_deblocked_rows_mbaff(const DecodedPicture* pic, uint32_t first, uint32_t last) {
  const uint32_t w = pic->widthInMbs;
  const uint32_t pairRows = pic->mbCount / (2 * w);
  const int lp = pic->lumaPitch, cp = pic->chromaPitch;
  for (uint32_t r = first; r < last && r < pairRows; ++r) {
    uint8_t* y = picture_luma(pic) + static_cast<ptrdiff_t>(32 * r) * lp;
    uint8_t* cb = picture_cb(pic) + static_cast<ptrdiff_t>(16 * r) * cp;
    uint8_t* cr = picture_cr(pic) + static_cast<ptrdiff_t>(16 * r) * cp;
    if (r == 0) {
      CopyLeftEdgeForTopRow_mbaff(y, cb, cr, lp, cp);
      CopyRightEdgeForTopRow_mbaff(y + 16 * w, cb + 8 * w, cr + 8 * w, lp, cp);
    } else {
      copy_left_planes(y, cb, cr, lp, cp, -6, 31, -2, 15);
      CopyRightEdge_mbaff(y + 16 * w, cb + 8 * w, cr + 8 * w, lp, cp);
    }
  }
}

void refresh_deblocked_margins_mbaff(const DecodedPicture* pic) {
  refresh_deblocked_rows_mbaff(pic, 0, pic->mbCount / (2 * pic->widthInMbs));
}
