// Luma and chroma interpolation: every position, block size and member
// against the standard's formulas with clamped reference coordinates, also
// for windows far outside the picture; and the edge fetch in its three
// sample formats.
#include <array>
#include <cstring>
#include <string>

#include "image_test_util.h"

using imagetest::GuardedBlock;
using imagetest::Plane;
using imagetest::randomIn;

namespace {

using InterpolateFn = VpStatus (*)(const InterpolateBlockParams*);

std::string describe(const char* member, const InterpolateBlockParams& p) {
  return std::string(member) + " block " + std::to_string(p.blockWidth) + "x" + std::to_string(p.blockHeight) +
         " at (" + std::to_string(p.blockX) + "," + std::to_string(p.blockY) + ") mv (" + std::to_string(p.mvX) +
         "," + std::to_string(p.mvY) + ") frame " + std::to_string(p.frameWidth) + "x" +
         std::to_string(p.frameHeight);
}

// The parameter block of one block of `plane` (first plane only).
InterpolateBlockParams blockParams(const Plane& plane, int w, int h, int bx, int by, int mvx, int mvy, int dstStep) {
  InterpolateBlockParams p{};
  p.pSrc[0] = plane.origin();
  p.srcStep = plane.step;
  p.dstStep = dstStep;
  p.frameWidth = plane.width;
  p.frameHeight = plane.height;
  p.blockWidth = w;
  p.blockHeight = h;
  p.blockX = bx;
  p.blockY = by;
  p.mvX = mvx;
  p.mvY = mvy;
  return p;
}

// Runs one luma block and compares every sample and the guard band.
void checkLuma(const checkasm::Member<InterpolateFn>& m, const Plane& plane, int w, int h, int bx, int by, int mvx,
               int mvy, int dstStep, int misalign) {
  GuardedBlock dst(w, h, dstStep, misalign);
  InterpolateBlockParams p = blockParams(plane, w, h, bx, by, mvx, mvy, dstStep);
  p.pDst[0] = dst.block();
  const InterpolateBlockParams before = p;
  ASSERT_EQ(0, m.fn(&p)) << describe(m.name, p);
  ASSERT_EQ(0, std::memcmp(&before, &p, sizeof p));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int want = imagetest::lumaSample(plane, 4 * (bx + x) + mvx, 4 * (by + y) + mvy);
      ASSERT_EQ(want, dst.block()[y * dstStep + x]) << describe(m.name, p) << " sample " << x << "," << y;
    }
  }
  ASSERT_TRUE(dst.guardsIntact(w, h)) << describe(m.name, p);
}

const int kWidths[] = {4, 8, 16};
const int kHeights[] = {4, 8, 12, 16};

TEST(LumaInterpolation, EveryPositionSizeAndMemberInsideThePicture) {
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
    const Plane plane(72, 56, 72 + 13);
    for (int w : kWidths) {
      for (int h : kHeights) {
        for (int pos = 0; pos < 16; ++pos) {
          for (int rep = 0; rep < 6; ++rep) {
            const int bx = randomIn(3, plane.width - w - 8);
            const int by = randomIn(3, plane.height - h - 8);
            const int mvx = 4 * randomIn(-1, 2) + (pos & 3);
            const int mvy = 4 * randomIn(-1, 2) + (pos >> 2);
            checkLuma(m, plane, w, h, bx, by, mvx, mvy, 16 + 8 * rep, rep);
          }
        }
      }
    }
  }
}

// Windows reaching up to 64 samples beyond each edge, planes whose width is
// not a multiple of 32 (and one barely larger than the widest window).
TEST(LumaInterpolation, WindowsFarOutsideEveryEdge) {
  const int sizes[][2] = {{50, 36}, {37, 29}, {22, 22}, {176, 40}};
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
    for (const auto& size : sizes) {
      const Plane plane(size[0], size[1], size[0]);
      for (int w : kWidths) {
        for (int h : kHeights) {
          for (int pos = 0; pos < 16; ++pos) {
            for (int rep = 0; rep < 4; ++rep) {
              const int bx = randomIn(0, (plane.width - w) / 16) * 16 & ~3;
              const int by = randomIn(0, (plane.height - h) / 4) * 4;
              const int tx = randomIn(-64 - w, plane.width + 64);
              const int ty = randomIn(-64 - h, plane.height + 64);
              checkLuma(m, plane, w, h, bx, by, 4 * (tx - bx) + (pos & 3), 4 * (ty - by) + (pos >> 2), 16, 0);
            }
          }
        }
      }
    }
  }
}

// The direct path of the current variant: inside the plane the front end's
// bytes (and nothing outside the block); a window touching any edge from
// outside is refused with nothing written. Positions of the block's first
// sample relative to the plane's last fitting column and row, per fraction.
TEST(LumaInterpolation, DirectPathInsideThePlaneOnly) {
  const Plane plane(61, 45, 61 + 11);
  for (int w : kWidths) {
    for (int h : kHeights) {
      for (int pos = 0; pos < 16; ++pos) {
        const int dx = pos & 3, dy = pos >> 2;
        const int left = dx ? 2 : 0, right = dx ? 3 : 0, above = dy ? 2 : 0, below = dy ? 3 : 0;
        // {x, y, inside}: the corners of the range where the window fits,
        // one step beyond each side, and random places.
        const int lastX = plane.width - w - right, lastY = plane.height - h - below;
        std::vector<std::array<int, 3>> cases = {{left, above, 1},          {lastX, lastY, 1},
                                                 {left - 1, above, 0},      {left, above - 1, 0},
                                                 {lastX + 1, lastY, 0},     {lastX, lastY + 1, 0},
                                                 {-40, 3, 0},               {3, plane.height + 9, 0}};
        for (int rep = 0; rep < 4; ++rep) cases.push_back({randomIn(left, lastX), randomIn(above, lastY), 1});
        for (const auto& [x, y, inside] : cases) {
          GuardedBlock got(w, h, 24, x & 7), want(w, h, 24, 0);
          const bool done = vpiInterpolateLumaInside(plane.origin(), plane.step, plane.width, plane.height, x, y, dx,
                                                     dy, w, h, got.block(), 24);
          ASSERT_EQ(inside != 0, done) << "w " << w << " h " << h << " pos " << pos << " at " << x << "," << y;
          if (!done) {
            ASSERT_TRUE(got.guardsIntact(0, 0));
            continue;
          }
          InterpolateBlockParams p = blockParams(plane, w, h, x, y, dx, dy, 24);
          p.pDst[0] = want.block();
          ASSERT_EQ(0, vpiInterpolateLumaBlock_H264_8u_P1R(&p));
          for (int r = 0; r < h; ++r)
            ASSERT_EQ(0, std::memcmp(got.block() + 24 * r, want.block() + 24 * r, w)) << describe("direct", p);
          ASSERT_TRUE(got.guardsIntact(w, h));
        }
      }
    }
  }
}

TEST(LumaInterpolation, EdgeCases) {
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
    const Plane plane(48, 32, 64);
    // Zero vector, a whole-sample move, fraction 3 from mv -1, windows that
    // end exactly at the last column or one beyond it.
    checkLuma(m, plane, 16, 16, 16, 8, 0, 0, 16, 0);
    checkLuma(m, plane, 16, 16, 16, 8, 4, 0, 16, 0);
    checkLuma(m, plane, 8, 8, 8, 8, -1, 0, 16, 0);
    checkLuma(m, plane, 16, 8, 16, 8, 4 * 13 + 1, 0, 16, 0);  // window 27..47: no right flag
    checkLuma(m, plane, 16, 8, 16, 8, 4 * 14 + 1, 0, 16, 0);  // one column further
    for (int mv = -159; mv <= -157; ++mv) checkLuma(m, plane, 16, 16, 0, 0, mv, 0, 16, 0);
  }
}

// Rows of horizontal intermediates that drive the centre sum far beyond the
// clipping range: the result is 255, or 0 with the patterns swapped.
TEST(LumaInterpolation, CentreSaturation) {
  const uint8_t hi[] = {255, 0, 255, 255, 0, 255};
  const uint8_t lo[] = {0, 255, 0, 0, 255, 0};
  for (int swap = 0; swap < 2; ++swap) {
    Plane plane(32, 32, 32);
    for (int y = 0; y < 32; ++y) {
      const bool high = ((y % 3) != 1) != (swap != 0);
      for (int x = 0; x < 32; ++x) plane.data[y * 32 + x] = (high ? hi : lo)[x % 6];
    }
    for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
      for (int bx = 0; bx < 6; ++bx) checkLuma(m, plane, 8, 8, 8 + bx, 8, 2, 2, 16, 0);
    }
  }
}

TEST(LumaInterpolation, SameBytesFromEveryPlaneOffset) {
  Plane plane(64, 40, 64);
  std::vector<uint8_t> shifted(64 * 40 + 64);
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
    for (int offset = 0; offset < 64; offset += 7) {
      std::memcpy(shifted.data() + offset, plane.data.data(), plane.data.size());
      for (int pos = 0; pos < 16; ++pos) {
        uint8_t a[16 * 16], b[16 * 16];
        InterpolateBlockParams p = blockParams(plane, 16, 16, 20, 12, 8 + (pos & 3), -4 + (pos >> 2), 16);
        p.pDst[0] = a;
        ASSERT_EQ(0, m.fn(&p));
        p.pSrc[0] = shifted.data() + offset;
        p.pDst[0] = b;
        ASSERT_EQ(0, m.fn(&p));
        ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << m.name << " offset " << offset;
      }
    }
  }
}

TEST(LumaInterpolation, StatusesAndNothingWrittenOnFailure) {
  const Plane plane(64, 64, 64);
  uint8_t dst[16 * 16];
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
    InterpolateBlockParams p = blockParams(plane, 0, 0, 0, 0, 0, 0, 16);
    p.pDst[0] = dst;
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr));
    const int good[][2] = {{4, 4}, {8, 8}, {16, 16}, {4, 16}, {16, 4}, {8, 12}};
    for (const auto& s : good) {
      p.blockWidth = s[0];
      p.blockHeight = s[1];
      EXPECT_EQ(0, m.fn(&p)) << m.name;
    }
    const int bad[][2] = {{2, 4}, {5, 4}, {32, 4}, {4, 2}, {4, 6}, {0, 4}, {12, 4}, {4, 0}, {4, -4}, {16, 20}};
    std::memset(dst, 0x77, sizeof dst);
    for (const auto& s : bad) {
      p.blockWidth = s[0];
      p.blockHeight = s[1];
      p.mvX = 5;
      EXPECT_EQ(StatusSizeError, m.fn(&p)) << m.name << " " << s[0] << "x" << s[1];
    }
    p.blockWidth = 5;
    p.pSrc[0] = nullptr;
    EXPECT_EQ(StatusNullPointer, m.fn(&p));
    p.pSrc[0] = plane.origin();
    p.pDst[0] = nullptr;
    EXPECT_EQ(StatusNullPointer, m.fn(&p));
    for (uint8_t v : dst) ASSERT_EQ(0x77, v);
  }
}

// ---------------------------------------------------------------------------

void checkChroma(const checkasm::Member<InterpolateFn>& m, const Plane& cb, const Plane& cr, int w, int h, int bx,
                 int by, int mvx, int mvy, int dstStep, int misalign) {
  GuardedBlock d0(w, h, dstStep, misalign), d1(w, h, dstStep, misalign + 1);
  InterpolateBlockParams p = blockParams(cb, w, h, bx, by, mvx, mvy, dstStep);
  p.pSrc[1] = cr.origin();
  p.pDst[0] = d0.block();
  p.pDst[1] = d1.block();
  const InterpolateBlockParams before = p;
  ASSERT_EQ(0, m.fn(&p)) << describe(m.name, p);
  ASSERT_EQ(0, std::memcmp(&before, &p, sizeof p));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int xe = 8 * (bx + x) + mvx, ye = 8 * (by + y) + mvy;
      ASSERT_EQ(imagetest::chromaSample(cb, xe, ye), d0.block()[y * dstStep + x]) << describe(m.name, p);
      ASSERT_EQ(imagetest::chromaSample(cr, xe, ye), d1.block()[y * dstStep + x]) << describe(m.name, p);
    }
  }
  ASSERT_TRUE(d0.guardsIntact(w, h)) << describe(m.name, p);
  ASSERT_TRUE(d1.guardsIntact(w, h)) << describe(m.name, p);
}

const int kChromaSizes[][2] = {{8, 8}, {8, 4}, {4, 8}, {4, 4}, {4, 2}, {2, 4}, {2, 2}, {8, 16}, {4, 16}, {2, 8}, {8, 12}};

TEST(ChromaInterpolation, EveryPositionSizeAndMember) {
  const int planes[][3] = {{40, 28, 45}, {25, 19, 25}, {9, 17, 9}, {88, 20, 96}};
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateChromaBlock_H264_8u_P2R)) {
    for (const auto& ps : planes) {
      const Plane cb(ps[0], ps[1], ps[2]), cr(ps[0], ps[1], ps[2]);
      for (const auto& s : kChromaSizes) {
        const int w = s[0], h = s[1];
        if (w > cb.width || h > cb.height) continue;
        for (int pos = 0; pos < 64; ++pos) {
          for (int rep = 0; rep < 3; ++rep) {
            const int bx = randomIn(0, cb.width - w), by = randomIn(0, cb.height - h);
            // Inside, then up to 64 samples beyond every edge.
            const int tx = rep == 0 ? randomIn(0, cb.width - w - 1 < 0 ? 0 : cb.width - w - 1)
                                    : randomIn(-64 - w, cb.width + 64);
            const int ty = rep == 0 ? randomIn(0, cb.height - h - 1 < 0 ? 0 : cb.height - h - 1)
                                    : randomIn(-64 - h, cb.height + 64);
            checkChroma(m, cb, cr, w, h, bx, by, 8 * (tx - bx) + (pos & 7), 8 * (ty - by) + (pos >> 3), 8 + 8 * rep,
                        rep);
          }
        }
      }
    }
  }
}

TEST(ChromaInterpolation, EdgeCasesAndStatuses) {
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateChromaBlock_H264_8u_P2R)) {
    Plane cb(16, 16, 16), cr(16, 16, 16);
    checkChroma(m, cb, cr, 4, 4, 4, 4, 0, 0, 8, 0);
    checkChroma(m, cb, cr, 4, 4, 4, 4, 8, 0, 8, 0);
    checkChroma(m, cb, cr, 4, 4, 4, 4, -1, 0, 8, 0);
    checkChroma(m, cb, cr, 8, 8, 0, 0, -8 * 40 + 3, 5, 8, 0);
    uint8_t d0[8 * 8], d1[8 * 8];
    InterpolateBlockParams p = blockParams(cb, 4, 4, 0, 0, 0, 0, 8);
    p.pSrc[1] = cr.origin();
    p.pDst[0] = d0;
    p.pDst[1] = d1;
    std::memset(d0, 0x33, sizeof d0);
    std::memset(d1, 0x33, sizeof d1);
    const int bad[][2] = {{3, 4}, {16, 4}, {4, 3}, {0, 4}, {6, 4}, {12, 4}, {4, 0}, {4, 18}, {8, -2}};
    for (const auto& s : bad) {
      p.blockWidth = s[0];
      p.blockHeight = s[1];
      EXPECT_EQ(StatusSizeError, m.fn(&p)) << m.name << " " << s[0] << "x" << s[1];
    }
    p.blockWidth = p.blockHeight = 4;
    p.pSrc[1] = nullptr;
    EXPECT_EQ(StatusNullPointer, m.fn(&p));
    p.pSrc[1] = cr.origin();
    p.pDst[1] = nullptr;
    EXPECT_EQ(StatusNullPointer, m.fn(&p));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr));
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(d0[i] == 0x33 && d1[i] == 0x33);
  }
}

// ---------------------------------------------------------------------------
// Edge fetch.

// Reference: the window with the flagged sides clamped, positions of
// `unit` bytes, steps in `stepUnit`-byte units.
void fetchReference(const std::vector<uint8_t>& plane, int planeStep, int fw, int fh, int wx, int wy, int ww, int wh,
                    int unit, uint32_t flags, std::vector<uint8_t>& out, int outStep) {
  for (int r = 0; r < wh; ++r) {
    int y = wy + r;
    if (flags & 4) y = std::max(y, 0);
    if (flags & 8) y = std::min(y, fh - 1);
    for (int c = 0; c < ww; ++c) {
      int x = wx + c;
      if (flags & 1) x = std::max(x, 0);
      if (flags & 2) x = std::min(x, fw - 1);
      std::memcpy(&out[r * outStep + c * unit], &plane[y * planeStep + x * unit], unit);
    }
  }
}

void checkFetchFormat(const VpEdgeFetchFn* table, int unit, int stepUnit, const char* name) {
  const int fw = 24, fh = 20, planeStep = fw * unit + 8;  // bytes
  std::vector<uint8_t> plane(planeStep * fh);
  for (auto& v : plane) v = static_cast<uint8_t>(randomIn(0, 255));
  for (int trial = 0; trial < 4000; ++trial) {
    const int ww = randomIn(1, 21), wh = randomIn(1, 20);
    const int wx = randomIn(-40, fw + 40), wy = randomIn(-40, fh + 40);
    // The flags of the window, as a front end computes them.
    uint32_t flags = 0;
    if (wx < 0) flags |= 1;
    if (fw < wx + ww) flags |= 2;
    if (wy < 0) flags |= 4;
    if (fh < wy + wh) flags |= 8;
    if (((flags & 3) == 3) || ((flags & 12) == 12)) continue;  // only windows larger than the plane
    const int outStep = ((ww * unit + 15) & ~15) + 16;
    std::vector<uint8_t> out(outStep * wh + 32, 0xEE), want(outStep * wh + 32, 0xEE);
    InterpolateKernelParams k{};
    k.pSrc = plane.data();
    k.srcStep = planeStep / stepUnit;
    k.pDst = out.data() + 1;
    k.dstStep = outStep / stepUnit;
    k.windowX = wx;
    k.windowY = wy;
    k.windowWidth = ww;
    k.windowHeight = wh;
    k.frameWidth = fw;
    k.frameHeight = fh;
    table[flags](&k);
    if (flags == 0) {
      ASSERT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0xEE; })) << name;
      continue;
    }
    fetchReference(plane, planeStep, fw, fh, wx, wy, ww, wh, unit, flags, want, outStep);
    std::memmove(want.data() + 1, want.data(), want.size() - 1);
    want[0] = 0xEE;
    ASSERT_EQ(want, out) << name << " flags " << flags << " window " << wx << "," << wy << " " << ww << "x" << wh;
    // A second fetch with the (possibly moved) record gives the same output.
    const std::vector<uint8_t> first = out;
    table[flags](&k);
    ASSERT_EQ(first, out) << name;
    // The entries that name both sides of one axis or of both pick the side
    // by the window's sign and give the same output as that side's own
    // entry.
    const uint32_t horizontal = flags & 3 ? 3u : 0u, vertical = flags & 12 ? 12u : 0u;
    for (uint32_t both : {flags | horizontal, flags | vertical, flags | horizontal | vertical}) {
      if (both == flags) continue;
      std::fill(out.begin(), out.end(), 0xEE);
      k.windowX = wx;
      k.windowY = wy;
      table[both](&k);
      ASSERT_EQ(first, out) << name << " flags " << both << " for " << flags;
    }
  }
}

TEST(EdgeFetch, EveryFlagCombinationInEveryFormat) {
  checkFetchFormat(read_data_through_boundary_table_8u_pxmx, 1, 1, "8u");
  checkFetchFormat(read_data_through_boundary_table_nv12_8u_pxmx, 2, 1, "nv12_8u");
  checkFetchFormat(read_data_through_boundary_table_16u_pxmx, 2, 2, "16u");
}

TEST(EdgeFetch, OriginMovesNextToTheSide) {
  std::vector<uint8_t> plane(8 * 8);
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = static_cast<uint8_t>(i);
  uint8_t out[16 * 16];
  InterpolateKernelParams k{};
  k.pSrc = plane.data();
  k.srcStep = 8;
  k.pDst = out;
  k.dstStep = 16;
  k.frameWidth = k.frameHeight = 8;
  k.windowX = -20;
  k.windowY = 0;
  k.windowWidth = 9 - 1;  // at most the plane's width
  k.windowHeight = 4;
  read_data_through_boundary_table_8u_pxmx[1](&k);
  EXPECT_EQ(1 - 8, k.windowX);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 8; ++c) ASSERT_EQ(plane[r * 8], out[r * 16 + c]);
  k.windowX = 0;
  k.windowY = 8 + 5;
  k.windowWidth = 8;
  read_data_through_boundary_table_8u_pxmx[8](&k);
  EXPECT_EQ(7, k.windowY);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 8; ++c) ASSERT_EQ(plane[7 * 8 + c], out[r * 16 + c]);
  // Each member of the wrapper reaches the table.
  for (auto fn : {&sse2_vpiReadDataBlockThroughBoundary_8u, &ssse3_vpiReadDataBlockThroughBoundary_8u,
                  &sse41_vpiReadDataBlockThroughBoundary_8u}) {
    k.windowX = -2;
    k.windowY = 0;
    k.windowWidth = 3;
    k.windowHeight = 2;
    EXPECT_EQ(0, fn(1, &k));
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(plane[r * 8], out[r * 16 + c]);
  }
}

}  // namespace
