// Luma combination routines against a per-sample model: every routine, both
// residual layouts, random predictions and residuals, guard bytes around the
// destination block; and the combination kernel of every variant against
// the reference at the 16-bit extremes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "checkasm.h"
#include "inter_prediction.h"
#include "luma_combine_dsp.h"

namespace {

constexpr int kPitch = 48;
constexpr int kGuard = 32;

// Residual of luma sample (x, y) in the record layout the flag selects.
int residual_at(const int16_t* res, bool flag8x8, int x, int y) {
  if (flag8x8) return res[64 * (2 * (y / 8) + x / 8) + 8 * (y % 8) + x % 8];
  const int blk = 4 * (2 * (y / 8) + x / 8) + 2 * ((y / 4) % 2) + (x / 4) % 2;
  return res[16 * blk + 4 * (y % 4) + x % 4];
}

uint8_t clip(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
int avg(int a, int b) { return (a + b + 1) >> 1; }

struct Case {
  alignas(16) int16_t res[256];
  alignas(16) int16_t a[256], b[256], c[256], d[256];
  alignas(16) uint8_t ba[256], bb[256], bc[256], bd[256];  // the same samples as bytes
  std::vector<uint8_t> picture = std::vector<uint8_t>(kGuard * 2 + 16 * kPitch, 0xA5);
  uint8_t* dst() { return picture.data() + kGuard; }

  void fill(std::mt19937& rng) {
    std::uniform_int_distribution<int> pred(0, 255), resid(-300, 300);
    for (int i = 0; i < 256; ++i) {
      res[i] = static_cast<int16_t>(resid(rng));
      a[i] = static_cast<int16_t>(pred(rng));
      b[i] = static_cast<int16_t>(pred(rng));
      c[i] = static_cast<int16_t>(pred(rng));
      d[i] = static_cast<int16_t>(pred(rng));
      ba[i] = static_cast<uint8_t>(a[i]), bb[i] = static_cast<uint8_t>(b[i]);
      bc[i] = static_cast<uint8_t>(c[i]), bd[i] = static_cast<uint8_t>(d[i]);
    }
    std::fill(picture.begin(), picture.end(), 0xA5);
  }

  // Checks the 16x16 block against model(x, y) (prediction before residual)
  // and that nothing else of the picture changed.
  void check(const std::function<int(int, int)>& model, bool withResidual, bool flag8x8, const char* what) {
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < kPitch; ++x) {
        const uint8_t got = dst()[y * kPitch + x];
        if (x >= 16) {
          ASSERT_EQ(got, 0xA5) << what << " wrote outside the block at " << x << "," << y;
          continue;
        }
        const int want = model(x, y) + (withResidual ? residual_at(res, flag8x8, x, y) : 0);
        ASSERT_EQ(got, clip(want)) << what << " flag " << flag8x8 << " at " << x << "," << y;
      }
    for (int i = 0; i < kGuard; ++i) {
      ASSERT_EQ(picture[i], 0xA5) << what;
      ASSERT_EQ(picture[kGuard + 16 * kPitch + i], 0xA5) << what;
    }
  }
};

// Sample (x, y) of a rows-of-16 plane, a column plane, and four 8x8 tiles.
int row16(const int16_t* p, int x, int y) { return p[16 * y + x]; }
int column(const int16_t* p, int x, int y) { return p[8 * y + x % 8]; }
// Byte blocks: rows of 16 (16-wide partitions) and columns (rows of 8).
LumaBlockBytes rows(const uint8_t* p, int row = 0) { return {p + 16 * row, 16}; }
LumaBlockBytes col(const uint8_t* p) { return {p, 8}; }

int tile(const int16_t* t, int x, int y) { return t[64 * (2 * (y / 8) + x / 8) + 8 * (y % 8) + x % 8]; }

TEST(LumaCombine, EveryRoutineMatchesTheModel) {
  std::mt19937 rng(17);
  Case k;
  for (int round = 0; round < 20; ++round) {
    for (uint8_t flag : {0, 1}) {
      const bool f = flag != 0;
      k.fill(rng);
      CombineSamplesLuma_LX_16x16(k.res, rows(k.ba), rows(k.ba, 8), k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return row16(k.a, x, y); }, true, f, "LX_16x16");
      k.fill(rng);
      CombineSamplesLuma_Bi_16x16(k.res, rows(k.ba), rows(k.bb), rows(k.ba, 8), rows(k.bb, 8), k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return avg(row16(k.a, x, y), row16(k.b, x, y)); }, true, f, "Bi_16x16");
      k.fill(rng);
      CombineSamplesLuma_LX_Bi_16x8(k.res, rows(k.ba), rows(k.ba, 8), rows(k.bb), k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return y < 8 ? row16(k.a, x, y) : avg(row16(k.a, x, y), row16(k.b, x, y - 8)); },
              true, f, "LX_Bi_16x8");
      k.fill(rng);
      CombineSamplesLuma_Bi_LX_16x8(k.res, rows(k.ba), rows(k.bb), rows(k.ba, 8), k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return y < 8 ? avg(row16(k.a, x, y), row16(k.b, x, y)) : row16(k.a, x, y); },
              true, f, "Bi_LX_16x8");
      k.fill(rng);
      CombineSamplesLuma_LX_8x16(k.res, col(k.ba), col(k.bb), k.dst(), kPitch, flag);  // right first
      k.check([&](int x, int y) { return x < 8 ? column(k.b, x, y) : column(k.a, x, y); }, true, f, "LX_8x16");
      k.fill(rng);
      CombineSamplesLuma_LX_Bi_8x16(k.res, col(k.ba), col(k.bb), col(k.bc), k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return x < 8 ? column(k.a, x, y) : avg(column(k.b, x, y), column(k.c, x, y)); },
              true, f, "LX_Bi_8x16");
      k.fill(rng);
      CombineSamplesLuma_Bi_LX_8x16(k.res, col(k.ba), col(k.bb), col(k.bc), k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return x < 8 ? avg(column(k.a, x, y), column(k.b, x, y)) : column(k.c, x, y); },
              true, f, "Bi_LX_8x16");
      k.fill(rng);
      CombineSamplesLuma_Bi_8x16(k.res, col(k.ba), col(k.bb), col(k.bc), col(k.bd), k.dst(), kPitch, flag);
      k.check(
          [&](int x, int y) {
            return x < 8 ? avg(column(k.a, x, y), column(k.b, x, y)) : avg(column(k.c, x, y), column(k.d, x, y));
          },
          true, f, "Bi_8x16");
      k.fill(rng);
      CombineSamplesLuma_LX_8x8(k.res, k.a, k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return tile(k.a, x, y); }, true, f, "LX_8x8");
      k.fill(rng);
      CombineSamplesLuma_Bi_8x8(k.res, k.a, k.b, k.dst(), kPitch, flag);
      k.check([&](int x, int y) { return avg(tile(k.a, x, y), tile(k.b, x, y)); }, true, f, "Bi_8x8");
    }
    k.fill(rng);
    CombineSamplesLuma_P_Skip(rows(k.ba), k.dst(), kPitch);
    k.check([&](int x, int y) { return row16(k.a, x, y); }, false, false, "P_Skip");
    k.fill(rng);
    CombineSamplesLuma_B_Skip(rows(k.ba), rows(k.bb), k.dst(), kPitch);
    k.check([&](int x, int y) { return avg(row16(k.a, x, y), row16(k.b, x, y)); }, false, false, "B_Skip");
    k.fill(rng);
    CombineSamplesLuma_P_Skip_8x8(k.a, k.dst(), kPitch);
    k.check([&](int x, int y) { return tile(k.a, x, y); }, false, false, "P_Skip_8x8");
    k.fill(rng);
    CombineSamplesLuma_B_Skip_8x8(k.a, k.b, k.dst(), kPitch);
    k.check([&](int x, int y) { return avg(tile(k.a, x, y), tile(k.b, x, y)); }, false, false, "B_Skip_8x8");
  }
}

TEST(LumaCombine, ResidualPositionsAndClipping) {
  alignas(16) int16_t res[256] = {};
  alignas(16) uint8_t pred[256];
  alignas(16) uint8_t out[16 * 16];
  const LumaBlockBytes upper{pred, 16}, lower{pred + 128, 16};
  // Sample (9, 3): residual 77 in the 4x4 layout, 89 in the 8x8 layout.
  std::fill(pred, pred + 256, 100);
  res[77] = 7;
  CombineSamplesLuma_LX_16x16(res, upper, lower, out, 16, 0);
  EXPECT_EQ(out[3 * 16 + 9], 107);
  res[77] = 0;
  res[89] = -7;
  CombineSamplesLuma_LX_16x16(res, upper, lower, out, 16, 1);
  EXPECT_EQ(out[3 * 16 + 9], 93);
  // Saturation at both ends.
  res[89] = 0;
  pred[0] = 250;
  res[0] = 10;
  pred[1] = 3;
  res[1] = -10;
  CombineSamplesLuma_LX_16x16(res, upper, lower, out, 16, 0);
  EXPECT_EQ(out[0], 255);
  EXPECT_EQ(out[1], 0);
  // The default average rounds half up: 1 and 2 give 2; 0 and 255 give 128.
  alignas(16) uint8_t p0[256], p1[256];
  std::fill(p0, p0 + 256, 1);
  std::fill(p1, p1 + 256, 2);
  p0[5] = 0;
  p1[5] = 255;
  CombineSamplesLuma_B_Skip({p0, 16}, {p1, 16}, out, 16);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(out[5], 128);
  // A prediction formed in the destination itself is stored by P_Skip as
  // it is; one elsewhere is copied.
  std::fill(out, out + 256, 7);
  CombineSamplesLuma_P_Skip({out, 16}, out, 16);
  EXPECT_EQ(out[255], 7);
  CombineSamplesLuma_P_Skip({p1, 16}, out, 16);
  EXPECT_EQ(out[255], 2);
  EXPECT_EQ(out[5], 255);
}

// Every mix of single and averaged quarters, strides 8 and 16, each
// residual layout and none, extremes in predictions and residuals, a
// misaligned destination between guard bytes.
TEST(LumaCombineDsp, EveryVariantMatchesTheReference) {
  std::mt19937 rng(29);
  const int16_t extremes[] = {-32768, -32767, -256, -1, 0, 1, 255, 256, 32767};
  alignas(16) int16_t a[256], b[256], res[256];
  for (int round = 0; round < 64; ++round) {
    for (int i = 0; i < 256; ++i) {
      a[i] = round & 1 ? extremes[rng() % 9] : static_cast<int16_t>(rng() & 255);
      b[i] = round & 2 ? extremes[rng() % 9] : static_cast<int16_t>(rng() & 255);
      res[i] = round & 4 ? extremes[rng() % 9] : static_cast<int16_t>(static_cast<int>(rng() % 601) - 300);
    }
    LumaQuarterSource q[4];
    for (int i = 0; i < 4; ++i) {
      const int stride = (round >> 3) & 1 ? 16 : 8;
      const int offset = stride == 16 ? 128 * (i >> 1) + 8 * (i & 1) : 64 * i;
      q[i] = {a + offset, (round >> (4 + (i & 1))) & 1 ? b + offset : nullptr, stride};
    }
    for (const LumaCombineDsp* t : checkasm::kernels(&sse2_luma_combine_dsp, &ssse3_luma_combine_dsp,
                                                     &sse41_luma_combine_dsp)) {
      for (int mode = 0; mode < 3; ++mode) {
        const int16_t* r = mode == 2 ? nullptr : res;
        std::vector<uint8_t> want(kGuard * 2 + 16 * kPitch + 1, 0xA5), got(want);
        c_luma_combine_dsp.combine_16x16(want.data() + kGuard + 1, kPitch, q, r, static_cast<uint8_t>(mode == 1));
        t->combine_16x16(got.data() + kGuard + 1, kPitch, q, r, static_cast<uint8_t>(mode == 1));
        ASSERT_EQ(want, got) << "round " << round << " mode " << mode;
      }
    }
  }
}

// The 8-bit form: every averaging pattern, both residual layouts and none,
// sources of strides 16 and the picture's (the two of a quarter differing),
// a misaligned destination between guard bytes, and the destination as its
// own source (prediction written into the picture, residual added in place).
TEST(LumaCombineDsp, ByteSourcesMatchTheReference) {
  std::mt19937 rng(31);
  const int16_t extremes[] = {-32768, -32767, -256, -1, 0, 1, 255, 256, 32767};
  alignas(16) uint8_t a[256], b[256];
  alignas(16) int16_t res[256];
  for (int round = 0; round < 64; ++round) {
    for (int i = 0; i < 256; ++i) {
      a[i] = static_cast<uint8_t>(round & 1 ? (rng() & 1) * 255 : rng() & 255);
      b[i] = static_cast<uint8_t>(rng() & 255);
      res[i] = round & 2 ? extremes[rng() % 9] : static_cast<int16_t>(static_cast<int>(rng() % 601) - 300);
    }
    const unsigned pattern = static_cast<unsigned>(round >> 2) & 15;
    std::vector<uint8_t> bRows(16 * kPitch);
    for (int y = 0; y < 16; ++y) std::memcpy(bRows.data() + y * kPitch, b + 16 * y, 16);
    for (const LumaCombineDsp* t : checkasm::kernels(&sse2_luma_combine_dsp, &ssse3_luma_combine_dsp,
                                                     &sse41_luma_combine_dsp)) {
      for (int mode = 0; mode < 3; ++mode) {
        const int16_t* r = mode == 2 ? nullptr : res;
        for (bool inPlace : {false, true}) {
          std::vector<uint8_t> want(kGuard * 2 + 16 * kPitch + 1, 0xA5);
          for (int y = 0; y < 16; ++y) std::memcpy(want.data() + kGuard + 1 + y * kPitch, a + 16 * y, 16);
          std::vector<uint8_t> got(want);
          const auto run = [&](const LumaCombineDsp& dsp, std::vector<uint8_t>& pic) {
            uint8_t* dst = pic.data() + kGuard + 1;
            LumaQuarterBytes q[4];
            for (int i = 0; i < 4; ++i) {
              const int offset = 128 * (i >> 1) + 8 * (i & 1);
              // The two sources of a quarter have different strides: one
              // block of rows of 16, one of rows of the picture's pitch (a
              // reference read in place).
              const ptrdiff_t at = 8 * kPitch * (i >> 1) + 8 * (i & 1);
              const uint8_t* first = inPlace ? dst + at : a + offset;
              const uint8_t* second = inPlace ? b + offset : bRows.data() + at;
              q[i] = {first, (pattern >> i) & 1 ? second : nullptr, inPlace ? kPitch : 16, inPlace ? 16 : kPitch};
            }
            dsp.combine_bytes_16x16(dst, kPitch, q, r, static_cast<uint8_t>(mode == 1));
          };
          run(c_luma_combine_dsp, want);
          run(*t, got);
          ASSERT_EQ(want, got) << "round " << round << " mode " << mode << " in place " << inPlace;
        }
      }
    }
  }
}

}  // namespace
