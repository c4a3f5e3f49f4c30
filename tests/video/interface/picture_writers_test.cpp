// Output writers against an independent model: cropping, field interleave,
// the planar layouts, and the packed formats' vertical 4:2:0 to 4:2:2
// interpolation with its weights and rounding away from the neutral value,
// on every column (also the ones past the last whole 32-pixel block), at
// widths 352, 720 and 1920, into unaligned buffers with guard bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "decoder_engine.h"

namespace {

struct Plane {
  std::vector<uint8_t> block;
  FrameBuffer fb{};
};

struct Picture {
  Plane plane;
  DecodedPicture pic{};
};

// One frame buffer laid out as the engine lays it out, filled at random.
void make_frame_buffer(Plane* p, uint32_t width, uint32_t height, std::mt19937* rng, bool monochrome) {
  const uint32_t lp = width + 64;
  const uint32_t cp = width / 2 + 16;
  const uint32_t ch = height / 2;
  p->block.assign(static_cast<size_t>(lp) * height + 2u * cp * ch + 8u, 0);
  for (auto& b : p->block) b = static_cast<uint8_t>((*rng)());
  uint8_t* base = p->block.data();
  p->fb.Y = base + 32;
  p->fb.Cr = base + static_cast<size_t>(lp) * height + 16;
  p->fb.Cb = p->fb.Cr + static_cast<size_t>(cp) * ch;
  if (monochrome) std::memset(p->fb.Cr - 8, 128, 2u * cp * ch);
}

void make_picture(Picture* p, SequenceParameterSet* sps, uint32_t codedWidth, uint32_t rows, uint8_t structure,
                  uint16_t outW, uint16_t outH, std::mt19937* rng) {
  // A field lies in frame-sized planes, on every other line.
  const uint32_t fields = structure == 2 ? 1 : 2;
  make_frame_buffer(&p->plane, codedWidth, fields * rows, rng, sps->chroma_format_idc == 0);
  DecodedPicture& d = p->pic;
  d.frameBuffer = &p->plane.fb;
  d.sps = sps;
  d.widthInMbs = codedWidth / 16;
  d.lumaPitch = static_cast<uint16_t>(fields * (codedWidth + 64));
  d.chromaPitch = static_cast<uint16_t>(fields * (codedWidth / 2 + 16));
  d.lumaHeight = static_cast<uint16_t>(rows);
  d.chromaHeight = static_cast<uint16_t>(rows / 2);
  d.outputWidth = outW;
  d.outputHeight = outH;
  d.structure = structure;
  d.chroma_format_idc = sps->chroma_format_idc;
}

int model_interp(int a, int b, int w0, int w1) {
  int s = w0 * a + w1 * b;
  if (s > 1024) s += 4;
  if (s < 1024) s -= 4;
  s = s >= 0 ? s / 8 : -((-s + 7) / 8);  // floor
  return s < 1 ? 1 : (s > 254 ? 254 : s);
}

uint8_t at(const uint8_t* plane, uint32_t pitch, uint32_t row, uint32_t col) { return plane[row * pitch + col]; }

// Expected output of the model: the interleaved source rows of a frame or a
// field pair, and for each output row the chroma rows and weights.
struct Source {
  const DecodedPicture* pic;
  uint32_t row;
};

std::vector<uint8_t> model_output(const DecodedPicture* top, const DecodedPicture* bottom, bool frame, uint32_t format,
                                  uint32_t W, uint32_t R) {
  const uint32_t ow = top->outputWidth;
  const uint32_t oh = top->outputHeight;
  const bool packed = format == 1 || format == 2;
  std::vector<uint8_t> out(packed ? 2u * ow * oh : ow * oh + 2u * (ow / 2) * (oh / 2), 0xEE);
  const uint32_t lp = top->lumaPitch;
  const uint32_t cp = top->chromaPitch;
  const uint32_t outRows = frame ? R : 2 * R;
  auto luma_src = [&](uint32_t o) { return frame ? Source{top, o} : Source{o % 2 ? bottom : top, o / 2}; };
  if (!packed) {
    for (uint32_t o = 0; o < outRows; ++o) {
      const Source s = luma_src(o);
      for (uint32_t x = 0; x < W; ++x) out[o * ow + x] = at(picture_luma(s.pic), lp, s.row, x);
    }
    uint8_t* first = out.data() + static_cast<size_t>(outRows) * ow;
    if (top->chroma_format_idc == 0) {
      std::memset(first, 128, 2u * (ow / 2) * (oh / 2));
      return out;
    }
    const uint32_t cRows = outRows / 2;
    for (int plane = 0; plane < 2; ++plane) {
      uint8_t* dst = first + plane * static_cast<size_t>(cRows) * (ow / 2);
      const bool cr = (format == 0) == (plane == 0);  // YV12: V first; IYUV: U first
      for (uint32_t o = 0; o < cRows; ++o) {
        const DecodedPicture* p = frame ? top : (o % 2 ? bottom : top);
        const uint32_t row = frame ? o : o / 2;
        const uint8_t* src = cr ? picture_cr(p) : picture_cb(p);
        for (uint32_t x = 0; x < W / 2; ++x) dst[o * (ow / 2) + x] = at(src, cp, row, x);
      }
    }
    return out;
  }
  for (uint32_t o = 0; o < outRows; ++o) {
    const Source s = luma_src(o);
    // Chroma rows k0, k1 of the source picture and the weights.
    uint32_t k0, k1;
    int w0, w1;
    if (frame) {
      const uint32_t last = R - 1;
      if (o == 0) {
        k0 = k1 = 0; w0 = 6; w1 = 2;
      } else if (o == last) {
        k0 = k1 = R / 2 - 1; w0 = 6; w1 = 2;
      } else if (o % 2) {
        k0 = (o - 1) / 2; k1 = k0 + 1; w0 = 6; w1 = 2;
      } else {
        k0 = (o - 2) / 2; k1 = k0 + 1; w0 = 2; w1 = 6;
      }
    } else {
      const uint32_t j = o / 2;
      const bool bot = o % 2;
      if (j == 0 || j == R - 1) {
        k0 = k1 = j == 0 ? 0 : R / 2 - 1;
        w0 = bot ? 1 : 5; w1 = bot ? 7 : 3;
      } else if (j % 2) {
        k0 = (j - 1) / 2; k1 = k0 + 1;
        w0 = bot ? 7 : 5; w1 = bot ? 1 : 3;
      } else {
        k0 = (j - 2) / 2; k1 = k0 + 1;
        w0 = bot ? 3 : 1; w1 = bot ? 5 : 7;
      }
    }
    const uint8_t* cb = picture_cb(s.pic);
    const uint8_t* cr = picture_cr(s.pic);
    const uint8_t* y = picture_luma(s.pic);
    uint8_t* dst = out.data() + static_cast<size_t>(o) * 2 * ow;
    for (uint32_t x = 0; x < W; x += 2) {
      const int u = model_interp(at(cb, cp, k0, x / 2), at(cb, cp, k1, x / 2), w0, w1);
      const int v = model_interp(at(cr, cp, k0, x / 2), at(cr, cp, k1, x / 2), w0, w1);
      const uint8_t y0 = at(y, lp, s.row, x);
      const uint8_t y1 = at(y, lp, s.row, x + 1);
      uint8_t* d = dst + 2 * x;
      if (format == 1) {
        d[0] = y0; d[1] = static_cast<uint8_t>(u); d[2] = y1; d[3] = static_cast<uint8_t>(v);
      } else {
        d[0] = static_cast<uint8_t>(u); d[1] = y0; d[2] = static_cast<uint8_t>(v); d[3] = y1;
      }
    }
  }
  return out;
}

// Writes into a buffer one byte off alignment with guard bytes either side.
std::vector<uint8_t> write(DecodedPicture* pic, uint32_t format, bool frame, size_t bytes) {
  constexpr size_t kGuard = 64;
  std::vector<uint8_t> buf(bytes + 2 * kGuard + 1, 0xEE);
  uint8_t* out = buf.data() + kGuard + 1;
  EXPECT_EQ(0, write_out_picture(out, pic, format, frame ? 1 : 0));
  for (size_t i = 0; i < kGuard + 1; ++i) EXPECT_EQ(0xEE, buf[i]) << "guard before, byte " << i;
  for (size_t i = kGuard + 1 + bytes; i < buf.size(); ++i) EXPECT_EQ(0xEE, buf[i]) << "guard after";
  return std::vector<uint8_t>(out, out + bytes);
}

size_t output_bytes(uint32_t format, uint16_t ow, uint16_t oh) {
  return (format == 1 || format == 2) ? 2u * ow * oh : static_cast<size_t>(ow) * oh + 2u * (ow / 2) * (oh / 2);
}

struct Case {
  uint32_t width;       // coded width
  uint32_t frameRows;   // coded frame height
  uint32_t cropRight;   // crop units
  uint32_t cropBottom;
  uint8_t frameMbsOnly;
};

class WriterModel : public ::testing::TestWithParam<Case> {};

// Frames; field pairs, written by either field; and a field without its
// second field, whose missing rows are grey: the model takes a grey partner.
TEST_P(WriterModel, PicturesMatchTheModelInEveryFormat) {
  const Case c = GetParam();
  std::mt19937 rng(c.width * 7 + c.frameRows);
  SequenceParameterSet sps{};
  sps.chroma_format_idc = 1;
  sps.frame_mbs_only_flag = c.frameMbsOnly;
  sps.frame_cropping_flag = (c.cropRight || c.cropBottom) ? 1 : 0;
  sps.frame_crop_right_offset = c.cropRight;
  sps.frame_crop_bottom_offset = c.cropBottom;
  const uint32_t W = c.width - 2 * c.cropRight;
  auto check = [&](DecodedPicture* writer, const DecodedPicture* top, const DecodedPicture* bottom, bool frame,
                   uint32_t rows, const char* what) {
    for (uint32_t format = 0; format < 4; ++format) {
      const std::vector<uint8_t> want = model_output(top, bottom, frame, format, W, rows);
      const std::vector<uint8_t> got =
          write(writer, format, frame, output_bytes(format, writer->outputWidth, writer->outputHeight));
      ASSERT_EQ(want.size(), got.size());
      size_t first = 0;
      while (first < got.size() && got[first] == want[first]) ++first;
      EXPECT_EQ(got.size(), first) << what << ", format " << format << " width " << c.width
                                   << ": first difference at byte " << first;
    }
  };
  if (c.frameMbsOnly) {
    const uint32_t R = c.frameRows - 2 * c.cropBottom;
    Picture p;
    make_picture(&p, &sps, c.width, c.frameRows, 2, static_cast<uint16_t>(W), static_cast<uint16_t>(R), &rng);
    check(&p.pic, &p.pic, &p.pic, true, R, "frame");
    return;
  }
  const uint32_t fieldRows = c.frameRows / 2;
  const uint32_t R = fieldRows - 2 * c.cropBottom;
  const uint16_t ow = static_cast<uint16_t>(W);
  const uint16_t oh = static_cast<uint16_t>(2 * R);
  Picture frame, top, bottom, grey;
  make_picture(&frame, &sps, c.width, c.frameRows, 2, ow, static_cast<uint16_t>(c.frameRows - 4 * c.cropBottom), &rng);
  check(&frame.pic, &frame.pic, &frame.pic, true, c.frameRows - 4 * c.cropBottom, "frame");
  make_picture(&top, &sps, c.width, fieldRows, 0, ow, oh, &rng);
  make_picture(&bottom, &sps, c.width, fieldRows, 1, ow, oh, &rng);
  make_picture(&grey, &sps, c.width, fieldRows, 1, ow, oh, &rng);
  std::fill(grey.plane.block.begin(), grey.plane.block.end(), 128);
  top.pic.pairedField = &bottom.pic;
  bottom.pic.pairedField = &top.pic;
  bottom.plane.fb.storage = &top.plane.fb;  // the second field lies in the first one's planes
  check(&top.pic, &top.pic, &bottom.pic, false, R, "pair by the top field");
  check(&bottom.pic, &top.pic, &bottom.pic, false, R, "pair by the bottom field");
  top.pic.pairedField = nullptr;
  check(&top.pic, &top.pic, &grey.pic, false, R, "top field alone");
  bottom.pic.pairedField = nullptr;
  grey.pic.structure = 0;
  check(&bottom.pic, &grey.pic, &bottom.pic, false, R, "bottom field alone");
}

INSTANTIATE_TEST_SUITE_P(Widths, WriterModel,
                         ::testing::Values(Case{352, 288, 0, 0, 1}, Case{720, 480, 0, 0, 0}, Case{720, 576, 0, 0, 0},
                                           Case{1920, 1088, 0, 4, 1}, Case{1920, 1088, 0, 2, 0},
                                           Case{368, 96, 4, 1, 1}, Case{736, 64, 3, 0, 0}));

TEST(Writers, FormatFourOrMoreWritesNothing) {
  DecodedPicture pic{};
  uint8_t out[16];
  std::memset(out, 0x5A, sizeof(out));
  EXPECT_EQ(15, write_out_picture(out, &pic, 4, 1));
  EXPECT_EQ(15, write_out_picture(out, &pic, 7, 0));
  for (uint8_t b : out) EXPECT_EQ(0x5A, b);
}

TEST(Writers, MonochromeHasNeutralChroma) {
  std::mt19937 rng(5);
  SequenceParameterSet sps{};
  sps.chroma_format_idc = 0;
  sps.frame_mbs_only_flag = 1;
  Picture p;
  make_picture(&p, &sps, 64, 32, 2, 64, 32, &rng);
  const std::vector<uint8_t> got = write(&p.pic, 0, true, output_bytes(0, 64, 32));
  for (size_t i = 64 * 32; i < got.size(); ++i) ASSERT_EQ(128, got[i]) << i;
  const std::vector<uint8_t> packed = write(&p.pic, 1, true, output_bytes(1, 64, 32));
  for (size_t i = 1; i < packed.size(); i += 2) ASSERT_EQ(128, packed[i]) << i;
}

}  // namespace
