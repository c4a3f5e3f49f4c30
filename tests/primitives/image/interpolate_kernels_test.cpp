// The named kernel families of the interpolation and averaging primitives:
// every kernel-table index reaches the member its list row names, in every
// variant; the luma kernels give the same bytes from every source offset
// within a 64-byte line; and the interleaved-chroma kernels against a plain
// split of the (Cb, Cr) pairs, filtered by the planar kernels at every
// eighth-sample fraction.
#include <cstring>
#include <string>

#include "image_test_util.h"
#include "interpolate_internal.h"

using imagetest::GuardedBlock;
using imagetest::Plane;
using imagetest::randomIn;

namespace {

// The kernel tables of one variant.
struct VariantTables {
  uint32_t slot;
  const char* variant;
  const VpKernelFn* luma;
  const VpKernelFn* chroma;
  const VpKernelFn* nv12;
  const VpAverageFn* average;
};

std::vector<VariantTables> variants() {
  const VariantTables all[] = {
      {1, "sse2", sse2::h264_interpolate_luma_type_table_8u_w7m7, sse2::h264_interpolate_chroma_type_table_8u_w7m7,
       sse2::h264_interpolate_chroma_type_table_nv12touv_8u_w7m7, sse2::interpolate_block_h264_function_table},
      {2, "ssse3", ssse3::h264_interpolate_luma_type_table_8u_v8u8, ssse3::h264_interpolate_chroma_type_table_8u_v8u8,
       ssse3::h264_interpolate_chroma_type_table_nv12touv_8u_w7m7, ssse3::interpolate_block_h264_function_table},
      {3, "sse41", sse41::h264_interpolate_luma_type_table_8u_v8u8, sse41::h264_interpolate_chroma_type_table_8u_v8u8,
       sse41::h264_interpolate_chroma_type_table_nv12touv_8u_w7m7, sse41::interpolate_block_h264_function_table}};
  std::vector<VariantTables> out;
  for (const auto& v : all) {
    if ((vpForcedVariant() == 0 || vpForcedVariant() == v.slot) && checkasm::processorHas(v.slot)) out.push_back(v);
  }
  return out;
}

int lumaGroup(int width) { return (width * 2) & 48; }

// Positions built on the centre sample j (index dy * 4 + dx).
enum { Pf = 6, Pi = 9, Pj = 10, Pk = 11, Pq = 14 };

#define EXPECT_LUMA_ENTRY(name, pos, width)                               \
  EXPECT_EQ(t.luma[lumaGroup(width) | (pos)], &ns::name) << t.variant << " " #name; \
  if ((width) == 16) {                                                     \
    EXPECT_EQ(t.luma[48 | (pos)], &ns::name) << t.variant << " " #name;      \
  }
#define EXPECT_CHROMA_ENTRY(name, width, kind)                                           \
  EXPECT_EQ(t.chroma[((width) & 12) | (kind)], &ns::name) << t.variant << " " #name;         \
  if ((width) == 8) {                                                                  \
    EXPECT_EQ(t.chroma[12 | (kind)], &ns::name) << t.variant << " " #name;                 \
  }
#define EXPECT_NV12_ENTRY(name, width, kind)                                             \
  EXPECT_EQ(t.nv12[((width) & 12) | (kind)], &ns::name) << t.variant << " " #name;           \
  if ((width) == 8) {                                                                  \
    EXPECT_EQ(t.nv12[12 | (kind)], &ns::name) << t.variant << " " #name;                 \
  }
#define EXPECT_AVERAGE_ENTRY(name, width, height)                                    \
  if ((width) != 0) {                                                                 \
    EXPECT_EQ(t.average[5 * ((width) >> 2) + ((height) >> 2)], &ns::name) << #name;   \
  } else {                                                                            \
    generic = &ns::name;                                                              \
  }

TEST(InterpolateKernels, EveryIndexReachesItsNamedMember) {
  for (const VariantTables& t : variants()) {
    VpAverageFn generic = nullptr;
    int dedicated = 0;
    switch (t.slot) {
#define CHECK_NAMESPACE(slotNumber, variantNs)                   \
  case slotNumber: {                                             \
    namespace ns = variantNs;                                    \
    VPI_LUMA_KERNELS(EXPECT_LUMA_ENTRY)                          \
    VPI_CHROMA_KERNELS(EXPECT_CHROMA_ENTRY)                      \
    VPI_NV12_CHROMA_KERNELS(EXPECT_NV12_ENTRY)                   \
    VPI_AVERAGE_KERNELS(EXPECT_AVERAGE_ENTRY)                    \
    break;                                                       \
  }
      CHECK_NAMESPACE(1, sse2)
      CHECK_NAMESPACE(2, ssse3)
      CHECK_NAMESPACE(3, sse41)
#undef CHECK_NAMESPACE
    }
    // Every size without a dedicated kernel takes the generic one.
    for (int i = 0; i < 25; ++i) dedicated += t.average[i] != generic;
    EXPECT_EQ(10, dedicated) << t.variant;
  }
}

// Luma blocks whose source starts at every offset of a 64-byte line (rows
// that straddle a line are copied first in the SSE2 variant), at every
// position and width, against the standard's formulas.
TEST(InterpolateKernels, LumaFromEveryOffsetInALine) {
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
    // Plane steps that keep every row at one offset (128) or move it (100).
    for (int step : {128, 100}) {
      const Plane plane(96, 40, step);
      for (int width : {4, 8, 16}) {
        for (int pos = 0; pos < 16; ++pos) {
          for (int x = 8; x < 8 + 64; ++x) {
            const int height = 4 << (x % 3);
            uint8_t dst[16 * 16];
            InterpolateBlockParams p{};
            p.pSrc[0] = plane.origin();
            p.srcStep = step;
            p.pDst[0] = dst;
            p.dstStep = 16;
            p.frameWidth = plane.width;
            p.frameHeight = plane.height;
            p.blockWidth = width;
            p.blockHeight = height;
            p.blockX = x;
            p.blockY = 8;
            p.mvX = pos & 3;
            p.mvY = (pos >> 2) + 4 * (x % 5) - 8;
            ASSERT_EQ(0, m.fn(&p));
            for (int yy = 0; yy < height; ++yy) {
              for (int xx = 0; xx < width; ++xx) {
                ASSERT_EQ(imagetest::lumaSample(plane, 4 * (x + xx) + p.mvX, 4 * (8 + yy) + p.mvY),
                          dst[yy * 16 + xx])
                    << m.name << " width " << width << " pos " << pos << " x " << x << " step " << step;
              }
            }
          }
        }
      }
    }
  }
}

// The centre positions on planes of random 0 and 255 samples, whose
// intermediate sums sweep the whole range the 16-bit centre arithmetic has
// to hold (and saturate).
TEST(InterpolateKernels, CentrePositionsOnExtremeSamples) {
  Plane plane(64, 48, 64);
  for (auto& v : plane.data) v = randomIn(0, 1) ? 255 : 0;
  const int centrePositions[] = {Pf, Pi, Pj, Pk, Pq};
  for (const auto& m : CHECKASM_MEMBERS(vpiInterpolateLumaBlock_H264_8u_P1R)) {
    for (int trial = 0; trial < 400; ++trial) {
      const int width = 4 << randomIn(0, 2);
      const int pos = centrePositions[trial % 5];
      uint8_t dst[16 * 16];
      InterpolateBlockParams p{};
      p.pSrc[0] = plane.origin();
      p.srcStep = 64;
      p.pDst[0] = dst;
      p.dstStep = 16;
      p.frameWidth = 64;
      p.frameHeight = 48;
      p.blockWidth = width;
      p.blockHeight = 16;
      p.blockX = randomIn(2, 64 - width - 4);
      p.blockY = randomIn(2, 48 - 16 - 4);
      p.mvX = pos & 3;
      p.mvY = pos >> 2;
      ASSERT_EQ(0, m.fn(&p));
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < width; ++x)
          ASSERT_EQ(imagetest::lumaSample(plane, 4 * (p.blockX + x) + p.mvX, 4 * (p.blockY + y) + p.mvY),
                    dst[y * 16 + x])
              << m.name << " position " << pos;
    }
  }
}

// An interleaved plane: `pairs` (Cb, Cr) positions per row.
struct Nv12Plane {
  int pairs, rows, step;
  std::vector<uint8_t> data;
  Nv12Plane(int p, int r, int s) : pairs(p), rows(r), step(s), data(static_cast<size_t>(s) * (r - 1) + 2 * p) {
    for (auto& v : data) v = static_cast<uint8_t>(randomIn(0, 255));
  }
  // One component as a planar plane.
  Plane component(int c) const {
    Plane out(pairs, rows, pairs);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < pairs; ++x) out.data[y * pairs + x] = data[y * step + 2 * x + c];
    return out;
  }
};

// Heights each width's kernels serve.
std::vector<int> heightsOf(int width) {
  if (width == 2) return {2, 4, 8};
  if (width == 4) return {2, 4, 6, 8, 10, 12, 14, 16};
  return {4, 8, 12, 16};
}

TEST(InterpolateKernels, InterleavedChromaAgainstPlainSplitAtEveryFraction) {
  const Nv12Plane nv12(40, 30, 2 * 40 + 7);
  const Plane planes[2] = {nv12.component(0), nv12.component(1)};
  for (const VariantTables& t : variants()) {
    for (int index = 0; index < 16; ++index) {
      const int width = (index & 12) == 0 ? 2 : (index & 12) == 4 ? 4 : 8;
      const bool hasDx = (index & 1) != 0, hasDy = (index & 2) != 0;
      for (int height : heightsOf(width)) {
        for (int frac = 0; frac < 64; ++frac) {
          const int dx = hasDx ? 1 + frac % 7 : 0, dy = hasDy ? 1 + frac / 9 % 7 : 0;
          if (!hasDx && !hasDy && frac > 0) break;
          const int x = randomIn(0, nv12.pairs - width - 1), y = randomIn(0, nv12.rows - height - 1);
          InterpolateKernelParams k{};
          k.pSrc = nv12.data.data() + y * nv12.step + 2 * x;
          k.srcStep = nv12.step;
          k.dx = dx;
          k.dy = dy;
          k.width = width;
          k.height = height;
          const std::string what = std::string(t.variant) + " index " + std::to_string(index) + " height " +
                                   std::to_string(height) + " at " + std::to_string(x) + "," + std::to_string(y);
          if (index == (index & 12)) {
            // Copy: Cb to pDst, Cr to pDst2, both dstStep apart.
            const int dstStep = width + randomIn(0, 9);
            GuardedBlock cb(width, height, dstStep, randomIn(0, 15)), cr(width, height, dstStep, randomIn(0, 15));
            k.pDst = cb.block();
            k.pDst2 = cr.block();
            k.dstStep = dstStep;
            t.nv12[index](&k);
            for (int r = 0; r < height; ++r)
              for (int c = 0; c < width; ++c) {
                ASSERT_EQ(planes[0].at(x + c, y + r), cb.block()[r * dstStep + c]) << what;
                ASSERT_EQ(planes[1].at(x + c, y + r), cr.block()[r * dstStep + c]) << what;
              }
            ASSERT_TRUE(cb.guardsIntact(width, height) && cr.guardsIntact(width, height)) << what;
            break;
          }
          // Split into the scratch layout, then filter each window with the
          // planar kernel of the same index.
          const int windowWidth = width + (hasDx ? 1 : 0), windowHeight = height + (hasDy ? 1 : 0);
          GuardedBlock scratch(16, 2 * kSplitPlaneOffset / 16, 16, randomIn(0, 15));
          k.pDst = scratch.block();
          k.dstStep = 8;  // any other step than 16: nothing written
          t.nv12[index](&k);
          ASSERT_TRUE(scratch.guardsIntact(0, 0)) << what;
          k.dstStep = 16;
          t.nv12[index](&k);
          for (int plane = 0; plane < 2; ++plane) {
            const uint8_t* window = scratch.block() + plane * kSplitPlaneOffset;
            for (int r = 0; r < 20; ++r)
              for (int c = 0; c < 16; ++c) {
                const bool inside = r < windowHeight && c < windowWidth;
                if (inside) {
                  ASSERT_EQ(planes[plane].at(x + c, y + r), window[r * 16 + c]) << what;
                } else {
                  ASSERT_EQ(GuardedBlock::kGuard, window[r * 16 + c]) << what << " outside the window";
                }
              }
            uint8_t out[16 * 16];
            InterpolateKernelParams f = k;
            f.pSrc = window;
            f.srcStep = 16;
            f.pDst = out;
            f.dstStep = 16;
            t.chroma[index](&f);
            for (int r = 0; r < height; ++r)
              for (int c = 0; c < width; ++c)
                ASSERT_EQ(imagetest::chromaSample(planes[plane], 8 * (x + c) + dx, 8 * (y + r) + dy), out[r * 16 + c])
                    << what << " dx " << dx << " dy " << dy;
          }
        }
      }
    }
  }
}

// Windows that leave the interleaved plane: fetched with the interleaved
// edge fetch, split and filtered, they give the prediction of the clamped
// reference coordinates.
TEST(InterpolateKernels, InterleavedChromaWindowsAcrossThePlaneEdges) {
  const Nv12Plane nv12(20, 18, 2 * 20 + 3);  // at least as large as every window
  const Plane planes[2] = {nv12.component(0), nv12.component(1)};
  for (const VariantTables& t : variants()) {
    for (int trial = 0; trial < 3000; ++trial) {
      const int index = randomIn(0, 15);
      const int width = (index & 12) == 0 ? 2 : (index & 12) == 4 ? 4 : 8;
      const int height = heightsOf(width)[randomIn(0, static_cast<int>(heightsOf(width).size()) - 1)];
      const int dx = index & 1 ? randomIn(1, 7) : 0, dy = index & 2 ? randomIn(1, 7) : 0;
      InterpolateKernelParams k{};
      k.windowX = randomIn(-12, nv12.pairs + 4);
      k.windowY = randomIn(-20, nv12.rows + 4);
      k.windowWidth = width + (dx != 0);
      k.windowHeight = height + (dy != 0);
      k.frameWidth = nv12.pairs;
      k.frameHeight = nv12.rows;
      uint32_t flags = (k.windowX < 0 ? 1 : 0) | (nv12.pairs < k.windowX + k.windowWidth ? 2 : 0) |
                       (k.windowY < 0 ? 4 : 0) | (nv12.rows < k.windowY + k.windowHeight ? 8 : 0);
      if (flags == 0) continue;
      const int wx = k.windowX, wy = k.windowY;
      // The fetched window: pairs, 32 bytes a row.
      std::vector<uint8_t> window(32 * 17);
      k.pSrc = nv12.data.data();
      k.srcStep = nv12.step;
      k.pDst = window.data();
      k.dstStep = 32;
      read_data_through_boundary_table_nv12_8u_pxmx[flags](&k);
      alignas(16) uint8_t scratch[2 * kSplitPlaneOffset];
      uint8_t out[2][16 * 16];
      k.pSrc = window.data();
      k.srcStep = 32;
      k.dx = dx;
      k.dy = dy;
      k.width = width;
      k.height = height;
      k.pDst = scratch;
      k.pDst2 = out[1];
      k.dstStep = 16;
      t.nv12[index](&k);
      if ((index & 3) == 0) {
        std::memcpy(out[0], scratch, sizeof out[0]);
      } else {
        for (int plane = 0; plane < 2; ++plane) {
          InterpolateKernelParams f = k;
          f.pSrc = scratch + plane * kSplitPlaneOffset;
          f.srcStep = kSplitRowStep;
          f.pDst = out[plane];
          t.chroma[index](&f);
        }
      }
      for (int plane = 0; plane < 2; ++plane)
        for (int r = 0; r < height; ++r)
          for (int c = 0; c < width; ++c)
            ASSERT_EQ(imagetest::chromaSample(planes[plane], 8 * (wx + c) + dx, 8 * (wy + r) + dy), out[plane][r * 16 + c])
                << t.variant << " index " << index << " window " << wx << "," << wy << " plane " << plane;
    }
  }
}

// Chroma blocks from every offset in a 64-byte line, every width, filter
// kind and height (rows that straddle a line are read from aligned groups in
// the SSE2 variant).
TEST(InterpolateKernels, ChromaFromEveryOffsetInALine) {
  for (const VariantTables& t : variants()) {
    for (int step : {128, 100}) {
      const Plane plane(96, 20, step);
      for (int index = 0; index < 12; ++index) {
        const int width = (index & 12) == 0 ? 2 : (index & 12) == 4 ? 4 : 8;
        for (int height : heightsOf(width)) {
          for (int x = 8; x < 8 + 64; ++x) {
            const int dx = index & 1 ? 1 + x % 7 : 0, dy = index & 2 ? 1 + x % 5 : 0;
            uint8_t out[16 * 8];
            InterpolateKernelParams k{};
            k.pSrc = plane.origin() + x;
            k.srcStep = step;
            k.pDst = out;
            k.dstStep = 8;
            k.dx = dx;
            k.dy = dy;
            k.width = width;
            k.height = height;
            t.chroma[index](&k);
            for (int r = 0; r < height; ++r)
              for (int c = 0; c < width; ++c)
                ASSERT_EQ(imagetest::chromaSample(plane, 8 * (x + c) + dx, 8 * r + dy), out[r * 8 + c])
                    << t.variant << " index " << index << " x " << x << " step " << step;
          }
        }
      }
    }
  }
}

// The planar chroma kernels at the sample extremes, every fraction: flat 0
// and 255, and 0/255 checkerboards, whose sums reach the 16-bit lanes' top.
TEST(InterpolateKernels, ChromaKernelsAtTheExtremes) {
  for (const VariantTables& t : variants()) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      Plane plane(12, 20, 12);
      for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 12; ++x)
          plane.data[y * 12 + x] = pattern == 0 ? 0 : pattern == 1 ? 255 : ((x + y + pattern) & 1) ? 255 : 0;
      for (int index = 0; index < 16; ++index) {
        const int width = (index & 12) == 0 ? 2 : (index & 12) == 4 ? 4 : 8;
        for (int frac = 0; frac < 64; ++frac) {
          const int dx = index & 1 ? 1 + frac % 7 : 0, dy = index & 2 ? 1 + frac / 8 % 7 : 0;
          uint8_t out[16 * 8];
          InterpolateKernelParams k{};
          k.pSrc = plane.origin() + 12 + 1;
          k.srcStep = 12;
          k.pDst = out;
          k.dstStep = 8;
          k.dx = dx;
          k.dy = dy;
          k.width = width;
          k.height = 16 - 2 * (width == 2) * 4;
          t.chroma[index](&k);
          for (int r = 0; r < k.height; ++r)
            for (int c = 0; c < width; ++c)
              ASSERT_EQ(imagetest::chromaSample(plane, 8 * (1 + c) + dx, 8 * (1 + r) + dy), out[r * 8 + c])
                  << t.variant << " pattern " << pattern << " index " << index;
        }
      }
    }
  }
}

}  // namespace
