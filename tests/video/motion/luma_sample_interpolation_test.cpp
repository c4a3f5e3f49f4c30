// The decoder's small-block luma interpolators: every position and size
// against the standard's formulas with clamped coordinates, for positions
// inside, across and far outside the picture, frame and field access.
#include <cstring>

#include "../../primitives/image/image_test_util.h"
#include "luma_sample_interpolation.h"

using imagetest::Plane;
using imagetest::randomIn;

namespace {

// A reference frame as the decoder keeps it: pitch = width + 64, 32 margin
// columns on each side holding copies of the edge samples.
struct MarginFrame {
  int width, height, pitch;
  std::vector<uint8_t> data;
  Plane picture;
  MarginFrame(int w, int h) : width(w), height(h), pitch(w + 64), data(static_cast<size_t>(pitch) * h), picture(w, h, w) {
    for (int y = 0; y < h; ++y)
      for (int x = -32; x < w + 32; ++x) data[y * pitch + 32 + x] = static_cast<uint8_t>(picture.at(x, y));
  }
  const uint8_t* origin() const { return data.data() + 32; }
};

using Selector = LumaSampleInterpolationFn (*)(const int16_t*);
struct Size {
  int w, h;
  Selector select;
};
const Size kSizes[] = {{4, 4, DecideLumaSampleInterpolation_4x4},
                       {4, 8, DecideLumaSampleInterpolation_4x8},
                       {8, 4, DecideLumaSampleInterpolation_8x4},
                       {8, 8, DecideLumaSampleInterpolation_8x8}};

// One block: kernel chosen by the selector from mv, integer position (x, y).
void check(const MarginFrame& f, const Size& s, int x, int y, const int16_t mv[2]) {
  // Rows 12 bytes apart (an odd stride), guard bytes around the block.
  constexpr int kStride = 12;
  uint8_t dst[kStride * 9];
  for (auto& v : dst) v = 0xA7;
  s.select(mv)(dst, kStride, f.origin(), x, y, f.pitch, f.pitch, f.height);
  for (int r = 0; r < 9; ++r) {
    for (int c = 0; c < kStride; ++c) {
      const bool inside = c < s.w && r < s.h;
      const int want =
          inside ? imagetest::lumaSample(f.picture, 4 * (x + c) + (mv[0] & 3), 4 * (y + r) + (mv[1] & 3)) : 0xA7;
      ASSERT_EQ(want, dst[kStride * r + c]) << s.w << "x" << s.h << " at " << x << "," << y << " mv " << mv[0]
                                            << "," << mv[1] << " sample " << c << "," << r;
    }
  }
}

TEST(LumaSampleInterpolation, EveryPositionAndSizeAnywhere) {
  const MarginFrame frame(80, 48);
  for (const Size& s : kSizes) {
    for (int pos = 0; pos < 16; ++pos) {
      for (int rep = 0; rep < 40; ++rep) {
        const int16_t mv[2] = {static_cast<int16_t>(4 * randomIn(-50, 50) + (pos >> 2)),
                               static_cast<int16_t>(4 * randomIn(-50, 50) + (pos & 3))};
        int x, y;
        if (rep < 10) {
          x = randomIn(2, frame.width - 12), y = randomIn(2, frame.height - 12);
        } else if (rep < 30) {
          x = randomIn(-60, frame.width + 60), y = randomIn(-60, frame.height + 60);
        } else {
          x = randomIn(0, 1) ? -1000 - rep : frame.width + 100 + rep;
          y = randomIn(0, 1) ? -500 : frame.height + 300;
        }
        check(frame, s, x, y, mv);
      }
    }
  }
}

// A field of a frame: every second row from the first or second row, rows
// clamped to the field's height.
TEST(LumaSampleInterpolation, FieldAccess) {
  const MarginFrame frame(48, 40);
  for (int parity = 0; parity < 2; ++parity) {
    Plane field(48, 20, 48);
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 48; ++x) field.data[y * 48 + x] = static_cast<uint8_t>(frame.picture.at(x, 2 * y + parity));
    for (int pos = 0; pos < 16; ++pos) {
      const int16_t mv[2] = {static_cast<int16_t>(pos >> 2), static_cast<int16_t>(pos & 3)};
      const int x = randomIn(-20, 60), y = randomIn(-10, 30);
      alignas(16) uint8_t dst[64];
      DecideLumaSampleInterpolation_8x8(mv)(dst, 8, frame.origin() + parity * frame.pitch, x, y, 2 * frame.pitch,
                                            frame.pitch, 20);
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
          ASSERT_EQ(imagetest::lumaSample(field, 4 * (x + c) + mv[0], 4 * (y + r) + mv[1]), dst[8 * r + c]);
    }
  }
}

}  // namespace

// Each named kernel is the one its size's selector returns for the name's
// fractions, also for negative vector components (their low two bits count).
TEST(LumaSampleInterpolation, SelectorsReturnTheKernelTheNameGives) {
  struct Named {
    LumaSampleInterpolationFn kernel;
    int xFrac, yFrac;
    Selector select;
  };
#define NAMED_ROW(name, xf, yf, W, H) {name, xf, yf, DecideLumaSampleInterpolation_##W##x##H},
  const Named rows[] = {LUMA_SAMPLE_KERNELS(NAMED_ROW)};
#undef NAMED_ROW
  ASSERT_EQ(64u, sizeof(rows) / sizeof(rows[0]));
  for (const Named& n : rows) {
    for (int whole : {0, -3, 5}) {
      const int16_t mv[2] = {static_cast<int16_t>(4 * whole + n.xFrac), static_cast<int16_t>(4 * -whole + n.yFrac)};
      EXPECT_EQ(n.kernel, n.select(mv)) << "fractions " << n.xFrac << "," << n.yFrac << " vector " << mv[0] << ","
                                        << mv[1];
    }
  }
}
