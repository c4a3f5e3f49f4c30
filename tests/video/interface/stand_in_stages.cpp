// Stand-ins for the slice-data, reconstruction and deblocking stages, for
// tests of the engine alone: they let whole streams run (picture counts,
// output order, threading) without decoding a macroblock. Each slice fills
// its own macroblocks with a pattern made of its picture's identity: luma
// holds the low byte of its picture order count, Cb the low byte of
// frame_num and Cr 128. A picture whose slices all came is filled whole,
// margins and the planes beyond a smaller picture included.
#include <cstring>

#include "stand_in_stages.h"

namespace {

void fill_lines(uint8_t* plane, uint32_t pitch, uint32_t y0, uint32_t y1, int32_t x0, int32_t x1, int value) {
  for (uint32_t y = y0; y < y1; ++y)
    std::memset(plane + static_cast<size_t>(y) * pitch + x0, value, static_cast<size_t>(x1 - x0));
}

// Fills macroblock `a`: its 16 lines (the rest of the planes below it in the
// last row) and its columns, with the margin beside it at either end of its
// row (the rest of the planes right of it in the last column).
void fill_macroblock(const DecodedPicture* p, uint32_t a) {
  const uint32_t w = p->widthInMbs;
  const bool pairs = p->structure == kFrame && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t cell = pairs ? a / 2 : a;
  const uint32_t col = cell % w;
  const uint32_t rowLines = pairs ? 32 : 16;
  const uint32_t y0 = cell / w * rowLines + (pairs && a % 2 ? 16 : 0);
  const bool lastRow = cell / w + 1 == p->mbCount / (pairs ? 2 : 1) / w;
  const bool lastLines = lastRow && (!pairs || a % 2 == 1);
  const uint32_t y1 = lastLines || y0 + 16 > p->lumaHeight ? p->lumaHeight : y0 + 16;
  const int32_t width = static_cast<int32_t>(frame_luma_pitch(p)) - 64;
  const int32_t x0 = col == 0 ? -32 : static_cast<int32_t>(16 * col);
  const int32_t x1 = col + 1 == w ? width + 32 : static_cast<int32_t>(16 * col + 16);
  fill_lines(picture_luma(p), p->lumaPitch, y0, y1, x0, x1, p->pictureOrderCount & 0xFF);
  if (p->chroma_format_idc == 0) return;
  const uint32_t c1 = lastLines ? p->chromaHeight : y1 / 2;
  const int32_t cx0 = col == 0 ? -8 : x0 / 2;
  const int32_t cx1 = col + 1 == w ? width / 2 + 8 : x1 / 2;
  fill_lines(picture_cb(p), p->chromaPitch, y0 / 2, c1, cx0, cx1, static_cast<int>(p->frameNum & 0xFF));
  fill_lines(picture_cr(p), p->chromaPitch, y0 / 2, c1, cx0, cx1, 128);
}

// A slice's macroblocks: from its first to the next slice's start (or the
// picture's end), the range the engine fixed before its slice data ran.
uint32_t reconstruct(ThreadBuffer* tb) {
  const SliceDecodeContext* s = tb->slice;
  const DecodedPicture* p = s->picture;
  const uint32_t end = s->mbLimit != 0 && s->mbLimit < p->mbCount ? s->mbLimit : p->mbCount;
  if (p->widthInMbs == 0 || s->firstMbAddr >= end) return 0;
  for (uint32_t a = s->firstMbAddr; a < end; ++a) fill_macroblock(p, a);
  return end - s->firstMbAddr;
}

int32_t no_slice_data(ThreadBuffer*) { return 0; }
uint32_t no_deblocking(DecodedPicture*) { return 0; }

}  // namespace

// Without row-wise deblocking: the engine deblocks whole pictures.
const DecoderStages kStandInStages = {
    no_slice_data, no_slice_data, no_slice_data, reconstruct, reconstruct,   reconstruct,   reconstruct,
    reconstruct,   reconstruct,   no_deblocking, no_deblocking, nullptr,     nullptr,
};
