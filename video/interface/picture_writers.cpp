// Picture output writers: crop the decoded picture, interleave the two fields
// of a field pair, and write planar YV12 / IYUV or packed YUY2 / UYVY (4:2:0
// chroma raised to 4:2:2 by vertical interpolation).

#include <cstring>

#include "decoder_engine.h"
#include "packed_line_dsp.h"
#include "vpDispatch.h"

namespace {

enum Format : uint32_t { kYV12 = 0, kYUY2 = 1, kUYVY = 2, kIYUV = 3 };

struct Geometry {
  uint32_t width;  // cropped luma columns
  uint32_t rows;   // cropped luma rows of this picture (a field's own rows)
};

// SubWidthC and SubHeightC by chroma_format_idc: the cropping units.
const uint8_t SubXXC[4][2] = {{1, 1}, {2, 2}, {2, 1}, {1, 1}};

// The cropped size of `width` x `rows` samples of a frame or a field.
Geometry crop(const SequenceParameterSet* sps, uint32_t width, uint32_t rows, bool frame) {
  Geometry g{width, rows};
  if (sps && sps->frame_cropping_flag) {
    const uint8_t* sub = SubXXC[sps->chroma_format_idc & 3];
    const uint32_t cropX = sub[0] * sps->frame_crop_right_offset;
    const uint32_t cropY = frame ? sub[1] * (2u - sps->frame_mbs_only_flag) * sps->frame_crop_bottom_offset
                                 : sub[1] * sps->frame_crop_bottom_offset;
    g.width = cropX < g.width ? g.width - cropX : 0;
    g.rows = cropY < g.rows ? g.rows - cropY : 0;
  }
  g.width &= 0xFFFFu;
  g.rows &= 0xFFFFu;
  return g;
}

Geometry cropped(const DecodedPicture* p, bool frame) {
  Geometry g = crop(p->sps, 16u * p->widthInMbs, p->lumaHeight, frame);
  // Never more than the output holds.
  if (g.width > p->outputWidth) g.width = p->outputWidth;
  const uint32_t maxRows = frame ? p->outputHeight : p->outputHeight / 2u;
  if (g.rows > maxRows) g.rows = maxRows;
  return g;
}

// The two fields of a pair, top first. A field without its partner is
// written in both places; the missing field's rows are then made grey.
void field_pair(DecodedPicture* p, const DecodedPicture** top, const DecodedPicture** bottom) {
  DecodedPicture* other = p->pairedField;
  if (!other || other->structure == p->structure || other->structure == kFrame) other = p;
  *top = p->structure == kTopField ? p : other;
  *bottom = p->structure == kTopField ? other : p;
}

bool field_missing(const DecodedPicture* p) {
  const DecodedPicture* other = p->pairedField;
  return !other || other->structure == p->structure || other->structure == kFrame;
}

// Every other row of a plane, from the missing field's parity on (row 0 for
// kTopField, row 1 for kBottomField), set to grey (mid-level luma and chroma;
// in packed rows both at once).
void grey_rows(uint8_t* plane, size_t stride, uint32_t parity, uint32_t rows, size_t bytes) {
  for (uint32_t j = 0; j < rows; ++j) std::memset(plane + (2u * j + parity) * stride, 128, bytes);
}

void copy_rows(uint8_t* dst, uint32_t dstStride, const uint8_t* src, uint32_t srcStride, uint32_t rows, uint32_t bytes) {
  for (uint32_t j = 0; j < rows; ++j) std::memcpy(dst + static_cast<size_t>(j) * dstStride, src + static_cast<size_t>(j) * srcStride, bytes);
}

template <Format kFormat>
void write_frame_planar(uint8_t* out, DecodedPicture* p) {
  const Geometry g = cropped(p, true);
  const uint32_t ow = p->outputWidth;
  copy_rows(out, ow, picture_luma(p), p->lumaPitch, g.rows, g.width);
  uint8_t* first = out + static_cast<size_t>(g.rows) * ow;
  if (p->chroma_format_idc == 0) {
    std::memset(first, 128, 2u * (ow / 2u) * (p->outputHeight / 2u));
    return;
  }
  const uint32_t cRows = g.rows / 2;
  uint8_t* second = first + static_cast<size_t>(cRows) * (ow / 2);
  const uint8_t* a = kFormat == kYV12 ? picture_cr(p) : picture_cb(p);
  const uint8_t* b = kFormat == kYV12 ? picture_cb(p) : picture_cr(p);
  copy_rows(first, ow / 2, a, p->chromaPitch, cRows, g.width / 2);
  copy_rows(second, ow / 2, b, p->chromaPitch, cRows, g.width / 2);
}

template <Format kFormat>
void write_field_planar(uint8_t* out, DecodedPicture* p) {
  const DecodedPicture* top;
  const DecodedPicture* bottom;
  field_pair(p, &top, &bottom);
  const Geometry g = cropped(p, false);
  const uint32_t ow = p->outputWidth;
  copy_rows(out, 2 * ow, picture_luma(top), top->lumaPitch, g.rows, g.width);
  copy_rows(out + ow, 2 * ow, picture_luma(bottom), bottom->lumaPitch, g.rows, g.width);
  uint8_t* first = out + 2u * g.rows * static_cast<size_t>(ow);
  if (p->chroma_format_idc == 0) {
    std::memset(first, 128, 2u * (ow / 2u) * (p->outputHeight / 2u));
    return;
  }
  const uint32_t cRows = g.rows / 2;
  const uint32_t cw = ow / 2;
  uint8_t* second = first + 2u * cRows * static_cast<size_t>(cw);
  const uint8_t* ta = kFormat == kYV12 ? picture_cr(top) : picture_cb(top);
  const uint8_t* tb = kFormat == kYV12 ? picture_cb(top) : picture_cr(top);
  const uint8_t* ba = kFormat == kYV12 ? picture_cr(bottom) : picture_cb(bottom);
  const uint8_t* bb = kFormat == kYV12 ? picture_cb(bottom) : picture_cr(bottom);
  const uint32_t tcp = top->chromaPitch, bcp = bottom->chromaPitch;
  copy_rows(first, 2 * cw, ta, tcp, cRows, g.width / 2);
  copy_rows(first + cw, 2 * cw, ba, bcp, cRows, g.width / 2);
  copy_rows(second, 2 * cw, tb, tcp, cRows, g.width / 2);
  copy_rows(second + cw, 2 * cw, bb, bcp, cRows, g.width / 2);
  if (field_missing(p)) {
    const uint32_t parity = p->structure == kTopField ? kBottomField : kTopField;
    grey_rows(out, ow, parity, g.rows, g.width);
    grey_rows(first, cw, parity, cRows, g.width / 2);
    grey_rows(second, cw, parity, cRows, g.width / 2);
  }
}

// Monochrome pictures have chroma planes of 128 (filled when the picture was
// opened), so the packed writers need no special case.
template <Format kFormat>
void write_frame_packed(uint8_t* out, DecodedPicture* p) {
  const Geometry g = cropped(p, true);
  const uint8_t* y = picture_luma(p);
  const size_t stride = 2u * p->outputWidth;
  const uint32_t cp = p->chromaPitch;
  const uint16_t w = static_cast<uint16_t>(g.width);
  auto line = kFormat == kUYVY ? WriteLineUYVY : WriteLineYUY2;
  if (g.rows == 0) return;
  const uint8_t* cb = picture_cb(p);
  const uint8_t* cr = picture_cr(p);
  line(y, cb, cr, w, out, 6, 2, 0);
  uint32_t i = 1;
  for (; i < g.rows - 1; i += 2) {
    line(y + static_cast<size_t>(i) * p->lumaPitch, cb, cr, w, out + i * stride, 6, 2, static_cast<uint16_t>(cp));
    line(y + static_cast<size_t>(i + 1) * p->lumaPitch, cb, cr, w, out + (i + 1) * stride, 2, 6,
         static_cast<uint16_t>(cp));
    cb += cp;
    cr += cp;
  }
  if (i < g.rows) line(y + static_cast<size_t>(i) * p->lumaPitch, cb, cr, w, out + i * stride, 6, 2, 0);
}

struct FieldPlanes {
  const uint8_t* y;
  const uint8_t* cb;
  const uint8_t* cr;
};
FieldPlanes planes_of_field(const DecodedPicture* p) { return {picture_luma(p), picture_cb(p), picture_cr(p)}; }

template <Format kFormat>
void write_field_packed(uint8_t* out, DecodedPicture* p) {
  const DecodedPicture* top;
  const DecodedPicture* bottom;
  field_pair(p, &top, &bottom);
  const Geometry g = cropped(p, false);
  const FieldPlanes ft = planes_of_field(top);
  const FieldPlanes fbm = planes_of_field(bottom);
  const size_t stride = 2u * p->outputWidth;
  const size_t lp = p->lumaPitch;
  const uint16_t cp = p->chromaPitch;
  const uint16_t w = static_cast<uint16_t>(g.width);
  auto line = kFormat == kUYVY ? WriteLineUYVY : WriteLineYUY2;
  if (g.rows == 0) return;
  size_t k = 0;  // chroma row offset of both fields
  line(ft.y, ft.cb, ft.cr, w, out, 5, 3, 0);
  line(fbm.y, fbm.cb, fbm.cr, w, out + stride, 1, 7, 0);
  uint32_t j = 1;
  for (; j < g.rows - 1; j += 2) {
    line(ft.y + j * lp, ft.cb + k, ft.cr + k, w, out + 2 * j * stride, 5, 3, cp);
    line(fbm.y + j * lp, fbm.cb + k, fbm.cr + k, w, out + (2 * j + 1) * stride, 7, 1, cp);
    line(ft.y + (j + 1) * lp, ft.cb + k, ft.cr + k, w, out + (2 * j + 2) * stride, 1, 7, cp);
    line(fbm.y + (j + 1) * lp, fbm.cb + k, fbm.cr + k, w, out + (2 * j + 3) * stride, 3, 5, cp);
    k += cp;
  }
  if (j < g.rows) {
    line(ft.y + j * lp, ft.cb + k, ft.cr + k, w, out + 2 * j * stride, 5, 3, 0);
    line(fbm.y + j * lp, fbm.cb + k, fbm.cr + k, w, out + (2 * j + 1) * stride, 1, 7, 0);
  }
  if (field_missing(p))
    grey_rows(out, stride, p->structure == kTopField ? kBottomField : kTopField, g.rows, 2u * (w & ~1u));
}

// The writers of each picture kind and format.
void write_out_field_yv12(uint8_t* out, DecodedPicture* p) { write_field_planar<kYV12>(out, p); }
void write_out_field_yuy2(uint8_t* out, DecodedPicture* p) { write_field_packed<kYUY2>(out, p); }
void write_out_field_uyvy(uint8_t* out, DecodedPicture* p) { write_field_packed<kUYVY>(out, p); }
void write_out_field_iyuv(uint8_t* out, DecodedPicture* p) { write_field_planar<kIYUV>(out, p); }
void write_out_frame_yv12(uint8_t* out, DecodedPicture* p) { write_frame_planar<kYV12>(out, p); }
void write_out_frame_yuy2(uint8_t* out, DecodedPicture* p) { write_frame_packed<kYUY2>(out, p); }
void write_out_frame_uyvy(uint8_t* out, DecodedPicture* p) { write_frame_packed<kUYVY>(out, p); }
void write_out_frame_iyuv(uint8_t* out, DecodedPicture* p) { write_frame_planar<kIYUV>(out, p); }

using Writer = void (*)(uint8_t*, DecodedPicture*);

// Indexed by 4 x frame + format.
const Writer fp_write_out[8] = {
    write_out_field_yv12, write_out_field_yuy2, write_out_field_uyvy, write_out_field_iyuv,
    write_out_frame_yv12, write_out_frame_yuy2, write_out_frame_uyvy, write_out_frame_iyuv,
};

}  // namespace

void set_output_size(const DecoderState* ds, DecodedPicture* p) {
  const SequenceParameterSet* sps = p->sps;
  p->outputWidth = ds->outputWidth;
  p->outputHeight = ds->outputHeight;
  const uint32_t width = 16u * sps->PicWidthInMbs, height = 16u * sps->FrameHeightInMbs;
  if (width + 64u == ds->lumaPitch && height == ds->lumaHeight) return;
  // A smaller picture (the stream changed size at an IDR picture) is written
  // at its own cropped size, never larger than the output holds.
  const Geometry g = crop(sps, width, height, true);
  if (g.width < p->outputWidth) p->outputWidth = static_cast<uint16_t>(g.width);
  if (g.rows < p->outputHeight) p->outputHeight = static_cast<uint16_t>(g.rows);
}

VIDEO_DSP_DEFINE_SELECTION(PackedLineDsp, packed_line_dsp)

void WriteLineYUY2(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint16_t width, uint8_t* out, uint8_t w0,
                   uint8_t w1, uint16_t next) {
  packed_line_dsp().yuy2(y, cb, cr, width, out, w0, w1, next);
}

void WriteLineUYVY(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint16_t width, uint8_t* out, uint8_t w0,
                   uint8_t w1, uint16_t next) {
  packed_line_dsp().uyvy(y, cb, cr, width, out, w0, w1, next);
}

int32_t write_out_picture(uint8_t* output, DecodedPicture* picture, uint32_t format, uint8_t frame) {
  if (format >= 4) return 15;
  fp_write_out[4u * (frame ? 1u : 0u) + format](output, picture);
  return 0;
}
