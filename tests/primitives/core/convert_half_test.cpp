// Half-precision conversions: the edge tables, and every member against an
// independent scalar model over all 65536 halves (and every 16-bit integer).
#include <cmath>
#include <vector>

#include "checkasm.h"
#include "reference.h"

namespace {

// Value of a half by its fields.
double halfValue(uint16_t h) {
  const int e = (h >> 10) & 31, m = h & 1023;
  const double v = e == 0 ? std::ldexp(m, -24) : (e == 31 ? (m ? NAN : INFINITY) : std::ldexp(1024 + m, e - 25));
  return (h & 0x8000) ? -v : v;
}

uint16_t toHalf(float x, bool nearest) {
  const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  const double a = std::fabs(static_cast<double>(x));
  if (std::isnan(x)) return sign | (nearest ? 0x7FFF : 0x7E00);
  if (std::isinf(x)) return sign | 0x7C00;
  // Largest half not above a (truncation) or nearest with ties to even.
  // Positive halves are ordered like their bit patterns: binary search.
  uint16_t best = 0, top = 0x7BFF;
  while (best < top) {
    const uint16_t mid = static_cast<uint16_t>((best + top + 1) / 2);
    if (halfValue(mid) <= a) best = mid; else top = static_cast<uint16_t>(mid - 1);
  }
  if (!nearest) return sign | best;
  const double lo = halfValue(best);
  const double hi = best == 0x7BFF ? 65536.0 : halfValue(static_cast<uint16_t>(best + 1));
  uint16_t r = best;
  if (a - lo > hi - a || (a - lo == hi - a && (best & 1))) r = static_cast<uint16_t>(best + 1);
  return sign | r;
}

TEST(Half, ToSingleIsExactForEveryHalf) {
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_16f32f)) {
    std::vector<uint16_t> in(65536);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint16_t>(i);
    std::vector<float> out(65536);
    fn(in.data(), out.data(), 65536);
    for (size_t i = 0; i < in.size(); ++i) {
      const double want = halfValue(in[i]);
      if (std::isnan(want)) {
        ASSERT_TRUE(std::isnan(out[i])) << i;
        // The payload moves to the top of the single's mantissa; the scaling
        // multiplication makes a signalling NaN quiet.
        ASSERT_EQ(((in[i] & 0x3FFu) << 13) | 0x400000u, reference::bitsOf(out[i]) & 0x7FFFFF) << "payload of " << i;
      } else {
        ASSERT_EQ(want, static_cast<double>(out[i])) << i;
        ASSERT_EQ(std::signbit(want), std::signbit(out[i])) << i;
      }
    }
    EXPECT_EQ(1.0f, out[0x3C00]);
    EXPECT_EQ(std::ldexp(1.0f, -24), out[0x0001]);
    EXPECT_EQ(-INFINITY, out[0xFC00]);
  }
}

TEST(Half, FromSingleBothModes) {
  std::vector<float> in = {65504.0f, 65520.0f, 1e6f, -0.0f, 1.0f + std::ldexp(1.0f, -10), 1.0f + std::ldexp(1.0f, -11),
                           INFINITY, -INFINITY, NAN, std::ldexp(1.0f, -24), std::ldexp(1.5f, -25), std::ldexp(1.0f, -26),
                           6.1e-5f, 3.14159f, -2.71828f, 65519.0f};
  for (int i = 0; i < 300; ++i) in.push_back(checkasm::randomFloat(70000.0f) * (i % 3 == 0 ? 1e-5f : 1.0f));
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_32f16f_Asm)) {
    for (int32_t mode : {0, 1}) {
      std::vector<uint16_t> out(in.size());
      fn(in.data(), out.data(), static_cast<int32_t>(in.size()), mode);
      for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(toHalf(in[i], mode != 0), out[i]) << in[i] << " mode " << mode;
    }
    uint16_t o[3];
    fn(in.data(), o, 3, 1);
    EXPECT_EQ(0x7BFF, o[0]);
    EXPECT_EQ(0x7C00, o[1]);
    EXPECT_EQ(0x7C00, o[2]);
    fn(in.data(), o, 3, 0);
    EXPECT_EQ(0x7BFF, o[1]);
    EXPECT_EQ(0x7BFF, o[2]);
  }
}

TEST(Half, FromInt16EveryValue) {
  std::vector<int16_t> in(65536);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(i);
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_16s16f)) {
    for (int32_t mode : {0, 1}) {
      std::vector<uint16_t> out(in.size());
      fn(in.data(), out.data(), 65536, mode);
      for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(toHalf(static_cast<float>(in[i]), mode != 0), out[i]) << in[i] << " mode " << mode;
      }
    }
    const int16_t edge[] = {2049, 2051, 32767, -32768};
    uint16_t o[4];
    fn(edge, o, 4, 1);
    EXPECT_EQ(2048.0, halfValue(o[0]));
    EXPECT_EQ(2052.0, halfValue(o[1]));
    EXPECT_EQ(0x7800, o[2]);
    EXPECT_EQ(0xF800, o[3]);
    fn(edge, o, 2, 0);
    EXPECT_EQ(2048.0, halfValue(o[0]));
    EXPECT_EQ(2050.0, halfValue(o[1]));
  }
}

TEST(Half, ToInt16WithScaleFactors) {
  std::vector<uint16_t> in(65536);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint16_t>(i);
  checkasm::MxcsrScope mxcsr;
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_16f16s_Asm)) {
    for (int32_t sf : {-13, -3, 0, 1, 2, 9, 16, 17, 40}) {
      for (int32_t mode : {0, 1}) {
        std::vector<int16_t> out(in.size());
        fn(in.data(), out.data(), 65536, mode, sf);
        for (size_t i = 0; i < in.size(); ++i) {
          double v = halfValue(in[i]);
          if (std::isnan(v)) v = 0.0;
          v = std::ldexp(v, -sf);
          if (sf > 16 && !std::isinf(v)) v = 0.0;
          const double r = mode == 0 ? std::trunc(v) : reference::roundHalfEven(v);
          const int16_t want = static_cast<int16_t>(std::isinf(v) ? (v > 0 ? 32767 : -32768) : reference::saturate(r, -32768, 32767));
          ASSERT_EQ(want, out[i]) << "half " << i << " factor " << sf << " mode " << mode;
        }
      }
    }
    const uint16_t edge[] = {0x7C00, 0x7BFF, 0x3C00};
    int16_t o[3];
    fn(edge, o, 3, 1, 16);
    EXPECT_EQ(32767, o[0]);
    EXPECT_EQ(1, o[1]);
    fn(edge, o, 3, 0, 16);
    EXPECT_EQ(0, o[1]);
    fn(edge, o, 3, 1, 17);
    EXPECT_EQ(0, o[1]);
  }
}

// Every member against the plain bit rules: lengths, offsets and guard bytes
// over random halves (NaN payloads, subnormals, infinities among them),
// singles and integers.
uint16_t halfInput(size_t) { return static_cast<uint16_t>(checkasm::rng()()); }
int16_t int16Input(size_t) { return static_cast<int16_t>(checkasm::rng()()); }
float singleInput(size_t i) {
  static const float extremes[] = {65504.0f, 65519.0f, 65520.0f, 1e6f, -0.0f, INFINITY, -INFINITY, NAN, 6.1e-5f,
                                   std::ldexp(1.5f, -25), reference::floatOf(0x7F812345u), reference::floatOf(0xFFC02000u)};
  if (checkasm::rng()() % 4 == 0) return extremes[i % (sizeof extremes / sizeof extremes[0])];
  const uint32_t exponent = 100 + checkasm::rng()() % 45;  // 2^-27 to 2^17
  return reference::floatOf((checkasm::rng()() & 0x807FFFFFu) | exponent << 23);
}

TEST(Half, EveryKernelAgainstPlainRule) {
  checkasm::sweepKernel<uint16_t, float>(
      "ownvpsCnvrt_16f32f", CHECKASM_KERNELS(ownvpsCnvrt_16f32f),
      [](auto fn, const uint16_t* s, float* d, int32_t n) { fn(s, d, n); }, halfInput, reference::halfToSingle);
  for (int32_t mode : {0, 1, 5}) {
    checkasm::sweepKernel<float, uint16_t>(
        "ownvpsCnvrt_32f16f_Asm", CHECKASM_KERNELS(ownvpsCnvrt_32f16f_Asm),
        [&](auto fn, const float* s, uint16_t* d, int32_t n) { fn(s, d, n, mode); }, singleInput,
        [&](float x) { return reference::singleToHalf(x, mode != 0); });
    checkasm::sweepKernel<int16_t, uint16_t>(
        "ownvpsCnvrt_16s16f", CHECKASM_KERNELS(ownvpsCnvrt_16s16f),
        [&](auto fn, const int16_t* s, uint16_t* d, int32_t n) { fn(s, d, n, mode); }, int16Input,
        [&](int16_t x) { return reference::int16ToHalf(x, mode != 0); });
    // The conversion follows the current rounding: nearest and upward.
    for (uint32_t mxcsr : {0x1F80u, 0x5F80u}) {
      for (int32_t sf : {-20, -14, -13, -1, 0, 1, 2, 9, 16, 17, 40}) {
        checkasm::sweepKernel<uint16_t, int16_t>(
            "ownvpsCnvrt_16f16s_Asm", CHECKASM_KERNELS(ownvpsCnvrt_16f16s_Asm),
            [&](auto fn, const uint16_t* s, int16_t* d, int32_t n) { fn(s, d, n, mode, sf); }, halfInput,
            [&](uint16_t h) { return reference::halfToInt16(h, mode == 0, sf); }, mxcsr);
      }
    }
  }
}

}  // namespace
