// The blocked transform of the orders above the radix-4 limit: sizes,
// accuracy of every variant at orders 16 to 22 against a double-precision
// DFT on every path, the scaling flags, and its building blocks (factor
// step, block gather and scatter). Orders 23 to 28 need up to 2 GiB and run
// only with AVCHD_LARGE_FFT=1.
#include <cstdlib>

#include "transforms_test_util.h"

namespace {

using namespace transforms_test;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int largestOrder() { return kSanitized ? 20 : 22; }

TEST(FftLargeSizes, WorkedValues) {
  struct Row {
    int variant, order, spec, init, buf;
  };
  // SSE2 16: leaf table 2^12 (32800), level table 262144, index table 65568.
  // SSE2 17: leaf 2^13 (65568), level 524288, tile table 4*32 + 4128 words'
  // bytes; the work buffer holds the two 4096-value tiles.
  // SSSE3 18: leaf 2^14 (131104), level 1048576, index table 262176.
  // SSE2 24: leaf 2^12 under the level of 2^16 under the level of 2^24.
  const Row rows[] = {
      {0, 16, 32800 + 262144 + 65568 + 128, 65536 + 64, 32768 + 32},
      {0, 17, 65568 + 524288 + 128 + 4128 + 128, 131072 + 64, 65536 + 32},
      {1, 18, 131104 + 1048576 + 262176 + 128, 262144 + 64, 131072 + 32},
      {2, 18, 131104 + 1048576 + 262176 + 128, 262144 + 64, 131072 + 32},
      // Order 20: SSSE3 64 runs of 2^14, SSE4.1 16 runs of 2^16.
      {1, 20, 131104 + 4194304 + 1024 + 4128 + 128, 1048576 + 64, 131072 + 32},
      {2, 20, 524320 + 4194304 + 1024 + 4128 + 128, 1048576 + 64, 524288 + 32},
      {0, 24, 32800 + 262144 + 67108864 + 16384 + 4128 + 128, 16777216 + 64, 131072 + 32},
      {1, 28, 131104 + 4194304 + 1073741824 + 262144 + 4128 + 128, 268435456 + 64, 131072 + 32},
  };
  for (const Row& r : rows) {
    const Variant& v = variants()[r.variant];
    SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(r.order));
    int s, i, b;
    ASSERT_EQ(v.fftGetSize(r.order, 8, 0, &s, &i, &b), 0);
    EXPECT_EQ(s, r.spec);
    EXPECT_EQ(i, r.init);
    EXPECT_EQ(b, r.buf);
  }
  for (const Variant& v : variants())
    for (int order = v.radix4Limit + 1; order <= 28; ++order) {
      int s, i, b;
      ASSERT_EQ(v.fftGetSize(order, 1, 0, &s, &i, &b), 0) << order;
      EXPECT_GT(s, 4 << order) << order;
    }
}

// Accuracy and bit-identical paths; one reference per order serves every variant.
TEST(FftLarge, OrdersToTwentyTwoAgainstTheDft) {
  for (int order = 16; order <= largestOrder(); ++order) {
    const int n = 1 << order;
    const std::vector<float> x = randomFloats(2 * n, 300 + order);
    const std::vector<cd> want = referenceDft(toComplex(x.data(), n));
    for (const Variant& v : variants()) {
      if (!v.available() || order <= v.radix4Limit) continue;
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      Fft f(v, order, 8, order % 3 * 4);
      const std::vector<float> ref = forward(v, f, x);
      EXPECT_LE(relativeError(ref.data(), want), 2e-7 * order);
      Path p;
      p.inPlace = true;
      EXPECT_EQ(forward(v, f, x, p), ref) << "in place";
      p = {};
      p.dstOffset = 4;
      p.srcOffset = 12;
      EXPECT_EQ(forward(v, f, x, p), ref) << "misaligned, out of place";
      if (order > 19) continue;
      p.inPlace = true;
      p.withBuffer = false;
      EXPECT_EQ(forward(v, f, x, p), ref) << "misaligned, in place, own buffer";
    }
  }
}

TEST(FftLarge, ScalingFlags) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    for (int order : {v.radix4Limit + 1, v.radix4Limit + 2}) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const int n = 1 << order;
      const std::vector<float> x = randomFloats(2 * n, 11 + order);
      const std::vector<cd> want = referenceDft(toComplex(x.data(), n));
      Fft byN(v, order, 1), bySqrt(v, order, 4), inverseOnly(v, order, 2);
      EXPECT_LE(relativeError(forward(v, byN, x).data(), want, 1.0 / n), 2e-7 * order);
      EXPECT_LE(relativeError(forward(v, bySqrt, x).data(), want, 1.0 / std::sqrt(double(n))), 2e-7 * order);
      EXPECT_LE(relativeError(forward(v, inverseOnly, x).data(), want), 2e-7 * order);
    }
  }
}

TEST(FftLarge, VariantsOfOnePlanAgree) {
  const Variant& ssse3 = variants()[1];
  const Variant& sse41 = variants()[2];
  if (!sse41.available()) GTEST_SKIP() << "no SSE4.1";
  const int order = 18;
  const std::vector<float> x = randomFloats(2 << order, 5);
  Fft a(ssse3, order, 8), b(sse41, order, 8);
  EXPECT_EQ(forward(ssse3, a, x), forward(sse41, b, x));
}

TEST(FftLarge, DamagedLayoutIsAForeignSpec) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    const int order = v.radix4Limit + 1;
    Fft f(v, order, 8);
    std::vector<vpComplex32f> data(size_t{1} << order);
    f.p->large[7] += 32;
    EXPECT_EQ(v.fftFwd(data.data(), data.data(), f.p, nullptr), -17);
  }
}

// The factor step with every twiddle 1: leg 0 = x0 + x1 + x2 + x3,
// leg 1 = x0 - x1 - i(x2 - x3), leg 2 = x0 + x1 - x2 - x3,
// leg 3 = x0 - x1 + i(x2 - x3), with small integers so every sum is exact.
TEST(FftLargeKernels, FactorStepWithUnitTwiddles) {
  using Fact4 = void (*)(float*, float*, int, int, const float*);
  const Fact4 members[] = {sse2_vps_cFftFwd_Fact4_32fc, ssse3_vps_cFftFwd_Fact4_32fc, sse41_vps_cFftFwd_Fact4_32fc};
  const int span = 32, groups = 4;
  alignas(16) float twd[6 * span];
  for (int r = 0; r < span / 4; ++r)
    for (int j = 0; j < 24; ++j) twd[24 * r + j] = (j / 4) % 2 == 0 ? 1.0f : 0.0f;
  for (int m = 0; m < 3; ++m) {
    if (!variants()[m].available()) continue;
    SCOPED_TRACE(variants()[m].name);
    std::vector<float, std::allocator<float>> raw(8 * span * groups + 4);
    float* buf = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(raw.data()) + 15) & ~uintptr_t{15});
    std::mt19937 rng(m);
    for (int i = 0; i < 8 * span * groups; ++i) buf[i] = static_cast<float>(static_cast<int>(rng() % 64) - 32);
    const std::vector<float> in(buf, buf + 8 * span * groups);
    members[m](buf, nullptr, span, groups, twd);
    // Value e of leg j in group g: split-4 groups of four.
    const auto at = [&](const float* p, int g, int j, int e, int part) {
      return p[8 * span * g + 2 * (j * span + e - e % 4) + 4 * part + e % 4];
    };
    for (int g = 0; g < groups; ++g)
      for (int e = 0; e < span; ++e) {
        float x[4][2], y[4][2];
        for (int j = 0; j < 4; ++j)
          for (int c = 0; c < 2; ++c) {
            x[j][c] = at(in.data(), g, j, e, c);
            y[j][c] = at(buf, g, j, e, c);
          }
        for (int c = 0; c < 2; ++c) {
          EXPECT_EQ(y[0][c], x[0][c] + x[1][c] + x[2][c] + x[3][c]);
          EXPECT_EQ(y[2][c], x[0][c] + x[1][c] - x[2][c] - x[3][c]);
        }
        // -i(x2 - x3) = (im(x2 - x3), -re(x2 - x3))
        EXPECT_EQ(y[1][0], x[0][0] - x[1][0] + (x[2][1] - x[3][1]));
        EXPECT_EQ(y[1][1], x[0][1] - x[1][1] - (x[2][0] - x[3][0]));
        EXPECT_EQ(y[3][0], x[0][0] - x[1][0] - (x[2][1] - x[3][1]));
        EXPECT_EQ(y[3][1], x[0][1] - x[1][1] + (x[2][0] - x[3][0]));
      }
  }
}

TEST(FftLargeKernels, GatherAndScatterRoundTrip) {
  const int stride = 100, rows = 5, cols = 24;
  const std::vector<float> src = randomFloats(2 * stride * rows + 2, 9);
  alignas(16) float buf[2 * rows * cols];
  for (int offset : {0, 1}) {
    SCOPED_TRACE(offset);
    const auto* s = reinterpret_cast<const vpComplex32f*>(src.data() + 2 * offset);
    sse2_vps_cFft_BlkMerge_32fc(s, buf, stride, rows, cols);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < 2 * cols; ++c) ASSERT_EQ(buf[2 * cols * r + c], src[2 * offset + 2 * stride * r + c]);
    std::vector<float> back(src.size(), 0.0f), inter(src.size(), 0.0f);
    sse2_vps_cFft_BlkSplit_32fc(reinterpret_cast<vpComplex32f*>(back.data() + 2 * offset), buf, stride, rows, cols, 0);
    sse2_vps_cFft_BlkSplit_32fc(reinterpret_cast<vpComplex32f*>(inter.data() + 2 * offset), buf, stride, rows, cols,
                                1);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        const size_t o = 2 * offset + 2 * stride * r;
        ASSERT_EQ(back[o + 2 * c], src[o + 2 * c]);
        ASSERT_EQ(back[o + 2 * c + 1], src[o + 2 * c + 1]);
        // Split-4 groups come out interleaved.
        const int g = c / 4 * 8, t = c % 4;
        ASSERT_EQ(inter[o + 2 * c], src[o + g + t]);
        ASSERT_EQ(inter[o + 2 * c + 1], src[o + g + 4 + t]);
      }
    // Separate arrays: per four values, four real parts then four imaginary parts.
    const float* re = src.data() + offset;
    const float* im = src.data() + stride * rows + offset;
    sse2_vps_crFft_BlkMerge_32f(re, im, buf, stride / 2, rows, cols / 2);
    std::vector<float> re2(src.size()), im2(src.size());
    sse2_vps_crFft_BlkSplit_32f(re2.data(), im2.data(), buf, stride / 2, rows, cols / 2);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols / 2; ++c) {
        ASSERT_EQ(buf[cols * r + c / 4 * 8 + c % 4], re[stride / 2 * r + c]);
        ASSERT_EQ(buf[cols * r + c / 4 * 8 + 4 + c % 4], im[stride / 2 * r + c]);
        ASSERT_EQ(re2[stride / 2 * r + c], re[stride / 2 * r + c]);
        ASSERT_EQ(im2[stride / 2 * r + c], im[stride / 2 * r + c]);
      }
  }
}

// Column counts that are no multiple of 4 move their tail value by value and
// never touch anything past a row's cols values, in any variant.
TEST(FftLargeKernels, GatherAndScatterOfOddColumnCounts) {
  using Merge = void (*)(const vpComplex32f*, float*, int, int, int);
  using Split = void (*)(vpComplex32f*, const float*, int, int, int, int);
  using CrMerge = void (*)(const float*, const float*, float*, int, int, int);
  using CrSplit = void (*)(float*, float*, const float*, int, int, int);
  const Merge merges[] = {sse2_vps_cFft_BlkMerge_32fc, ssse3_vps_cFft_BlkMerge_32fc, sse41_vps_cFft_BlkMerge_32fc};
  const Split splits[] = {sse2_vps_cFft_BlkSplit_32fc, ssse3_vps_cFft_BlkSplit_32fc, sse41_vps_cFft_BlkSplit_32fc};
  const CrMerge crMerges[] = {sse2_vps_crFft_BlkMerge_32f, ssse3_vps_crFft_BlkMerge_32f, sse41_vps_crFft_BlkMerge_32f};
  const CrSplit crSplits[] = {sse2_vps_crFft_BlkSplit_32f, ssse3_vps_crFft_BlkSplit_32f, sse41_vps_crFft_BlkSplit_32f};
  const int rows = 3, stride = 16;
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    for (int cols : {0, 1, 3, 5, 6, 7, 9}) {
      SCOPED_TRACE(std::string(variants()[v].name) + " cols " + std::to_string(cols));
      const std::vector<float> x = randomFloats(2 * stride * rows, 40 + cols);
      Guarded buf(8 * rows * cols), back(8 * stride * rows, 4);
      merges[v](reinterpret_cast<const vpComplex32f*>(x.data()), buf.as<float>(), stride, rows, cols);
      EXPECT_TRUE(buf.guardsIntact());
      for (int interleave : {0, 1}) {
        splits[v](back.as<vpComplex32f>(), buf.as<float>(), stride, rows, cols, interleave);
        EXPECT_TRUE(back.guardsIntact());
        // The tail past the whole groups of four comes back as it went in.
        for (int r = 0; r < rows; ++r)
          for (int c = cols / 4 * 4; c < cols; ++c) {
            EXPECT_EQ(back.as<float>()[2 * (stride * r + c)], x[2 * (stride * r + c)]);
            EXPECT_EQ(back.as<float>()[2 * (stride * r + c) + 1], x[2 * (stride * r + c) + 1]);
          }
      }
      Guarded crBuf(8 * rows * cols), re(4 * stride * rows), im(4 * stride * rows, 4);
      crMerges[v](x.data(), x.data() + stride * rows, crBuf.as<float>(), stride, rows, cols);
      crSplits[v](re.as<float>(), im.as<float>(), crBuf.as<float>(), stride, rows, cols);
      EXPECT_TRUE(crBuf.guardsIntact() && re.guardsIntact() && im.guardsIntact());
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
          EXPECT_EQ(re.as<float>()[stride * r + c], x[stride * r + c]);
          EXPECT_EQ(im.as<float>()[stride * r + c], x[stride * rows + stride * r + c]);
        }
    }
  }
}

// Orders 23 to 28 on a sum of two tones, whose transform is known exactly:
// x[j] = a e^(2 pi i f j / N) + b e^(2 pi i g j / N) gives N a at f, N b at g.
TEST(FftLargeOptIn, OrdersToTwentyEight) {
  if (!std::getenv("AVCHD_LARGE_FFT")) GTEST_SKIP() << "set AVCHD_LARGE_FFT=1 to run orders 23 to 28 (2 GiB)";
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    for (int order = 23; order <= 28; ++order) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const size_t n = size_t{1} << order;
      const size_t f = 12345, g = n - 77;
      int s, i, b;
      ASSERT_EQ(v.fftGetSize(order, 1, 0, &s, &i, &b), 0);
      std::vector<uint8_t> spec(s), init(i), buf(b);
      FFTSpec_C_32fc* p = nullptr;
      ASSERT_EQ(v.fftInit(&p, order, 1, 0, spec.data(), init.data()), 0);
      std::vector<vpComplex32f> data(n);
      for (size_t j = 0; j < n; ++j) {
        const double pf = 2 * M_PI * double((f * j) % n) / double(n), pg = 2 * M_PI * double((g * j) % n) / double(n);
        data[j].re = static_cast<float>(0.5 * std::cos(pf) - 0.25 * std::sin(pg));
        data[j].im = static_cast<float>(0.5 * std::sin(pf) + 0.25 * std::cos(pg));
      }
      ASSERT_EQ(v.fftFwd(data.data(), data.data(), p, buf.data()), 0);
      double err = 0;
      for (size_t k = 0; k < n; ++k) {
        const cd want = k == f ? cd(0.5, 0) : k == g ? cd(0, 0.25) : cd(0, 0);
        err += std::norm(cd(data[k].re, data[k].im) - want);
      }
      EXPECT_LE(std::sqrt(err / (0.25 + 0.0625)), 2e-7 * order);
    }
  }
}

}  // namespace
