// Complex FFT operations of every variant: sizes, statuses, spec header,
// accuracy against a double-precision DFT on every path (in place, out of
// place, misaligned, with and without a work buffer), exact results and the
// scaling flags, and agreement between the variants.
#include <algorithm>

#include "transforms_test_util.h"

namespace {

using namespace transforms_test;

TEST(FftSizes, MatchTheStatedValues) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    int s, i, b;
    for (int order = 0; order <= 5; ++order) {
      ASSERT_EQ(v.fftGetSize(order, 8, 0, &s, &i, &b), 0);
      EXPECT_EQ(s, 116);
      EXPECT_EQ(i, 0);
      EXPECT_EQ(b, 0);
    }
    for (int order = 6; order <= v.radix4Limit; ++order) {
      const int n = 1 << order;
      ASSERT_EQ(v.fftGetSize(order, 1, 0, &s, &i, &b), 0);
      EXPECT_EQ(s, 9 * n + 192) << order;
      EXPECT_EQ(i, order <= 10 ? 0 : n + 64) << order;
      EXPECT_EQ(b, 8 * n + 32) << order;
    }
    ASSERT_EQ(v.fftGetSize(7, 4, 0, &s, &i, &b), 0);
    EXPECT_EQ(s, 1344);
    EXPECT_EQ(b, 1056);
    ASSERT_EQ(v.fftGetSize(11, 2, 0, &s, &i, &b), 0);
    EXPECT_EQ(s, 18624);
    EXPECT_EQ(i, 2112);
    EXPECT_EQ(b, 16416);
  }
  int s, i, b;
  ASSERT_EQ(ssse3_vpsFFTGetSize_C_32fc(17, 8, 0, &s, &i, &b), 0);
  EXPECT_EQ(s, 1179840);
  EXPECT_EQ(i, 131136);
  EXPECT_EQ(b, 1048608);
}

TEST(FftStatus, GetSizeChecksInOrder) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    int s = 7, i = 7, b = 7;
    EXPECT_EQ(v.fftGetSize(-1, 8, 0, nullptr, nullptr, nullptr), -15);
    EXPECT_EQ(v.fftGetSize(31, 8, 0, &s, &i, &b), -15);
    EXPECT_EQ(v.fftGetSize(29, 8, 0, &s, nullptr, &b), -8);
    EXPECT_EQ(v.fftGetSize(6, 3, 0, &s, &i, &b), -16);
    EXPECT_EQ(v.fftGetSize(29, 3, 0, &s, &i, &b), -16);
    EXPECT_EQ(v.fftGetSize(29, 8, 0, &s, &i, &b), -15);
    EXPECT_EQ(s, 7);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(b, 7);
  }
}

TEST(FftStatus, InitChecksInOrderAndNeverLeavesAFailedSpecValid) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    alignas(32) uint8_t mem[4096 + 32];
    FFTSpec_C_32fc* spec = nullptr;
    EXPECT_EQ(v.fftInit(nullptr, 40, 3, 0, nullptr, nullptr), -8);
    EXPECT_EQ(v.fftInit(&spec, 29, 8, 0, mem, nullptr), -15);
    EXPECT_EQ(v.fftInit(&spec, 29, 8, 0, nullptr, nullptr), -15);
    EXPECT_EQ(v.fftInit(&spec, 6, 3, 0, nullptr, nullptr), -8);
    std::memset(mem, 0x5A, sizeof mem);
    EXPECT_EQ(v.fftInit(&spec, 6, 3, 77, mem + 1, nullptr), -16);
    const FFTSpec_C_32fc* header = reinterpret_cast<const FFTSpec_C_32fc*>(mem + 32);
    EXPECT_EQ(header->tag, 0);
    EXPECT_EQ(header->order, 6);
    EXPECT_EQ(header->hint, 77);
    EXPECT_EQ(spec, nullptr);
    // Order 11 needs the initialisation buffer; the spec must stay invalid.
    std::vector<uint8_t> big(Fft::sizeBytes(v, 11, 8, 0));
    EXPECT_EQ(v.fftInit(&spec, 11, 8, 0, big.data(), nullptr), -8);
    EXPECT_EQ(spec, nullptr);
    const FFTSpec_C_32fc* bigHeader = reinterpret_cast<const FFTSpec_C_32fc*>(alignUp(big.data()));
    EXPECT_NE(bigHeader->tag, 4);
    int size = 0;
    EXPECT_EQ(v.fftGetBufSize(bigHeader, &size), -17);
    // Order 10 takes its twiddles from the fixed table: no init buffer needed.
    std::vector<uint8_t> mid(Fft::sizeBytes(v, 10, 8, 0));
    EXPECT_EQ(v.fftInit(&spec, 10, 8, 0, mid.data(), nullptr), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(spec), alignUp(mid.data()));
  }
}

TEST(FftSpec, HeaderFieldsByFlag) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    Fft f4(v, 7, 4, 5);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(f4.p), alignUp(f4.spec.data()));
    EXPECT_EQ(f4.p->tag, 4);
    EXPECT_EQ(f4.p->order, 7);
    EXPECT_EQ(f4.p->scaleForward, 1);
    EXPECT_EQ(f4.p->scaleInverse, 1);
    EXPECT_EQ(f4.p->scale, 0.088388346f);
    EXPECT_EQ(f4.p->scale, static_cast<float>(1.0 / std::sqrt(128.0)));
    EXPECT_EQ(f4.p->workSize, 1024);
    EXPECT_EQ(f4.p->ownsMemory, 0);
    EXPECT_EQ(f4.p->bitRevOffset, 84);
    EXPECT_EQ(f4.bufSize, 1056);
    Fft f1(v, 6, 1), f2(v, 6, 2), f8(v, 6, 8), small(v, 5, 1);
    EXPECT_EQ(f1.p->scaleForward, 1);
    EXPECT_EQ(f1.p->scaleInverse, 0);
    EXPECT_EQ(f1.p->scale, 1.0f / 64);
    EXPECT_EQ(f2.p->scaleForward, 0);
    EXPECT_EQ(f2.p->scaleInverse, 1);
    EXPECT_EQ(f2.p->scale, 1.0f / 64);
    EXPECT_EQ(f8.p->scaleForward | f8.p->scaleInverse, 0);
    EXPECT_EQ(bits(f8.p->scale), 0u);
    // The index table (17 words) follows the header; the twiddles start on
    // the next 32-byte boundary.
    EXPECT_EQ(f8.p->twiddleOffset, 160);
    EXPECT_EQ(small.bufSize, 0);
    EXPECT_EQ(small.p->workSize, 0);
  }
}

TEST(FftStatus, TransformAndReleaseChecks) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    Fft f(v, 6, 8);
    std::vector<vpComplex32f> data(64);
    int size;
    EXPECT_EQ(v.fftFwd(nullptr, nullptr, nullptr, nullptr), -8);
    EXPECT_EQ(v.fftFwd(nullptr, data.data(), f.p, nullptr), -8);
    EXPECT_EQ(v.fftFwd(data.data(), nullptr, f.p, nullptr), -8);
    EXPECT_EQ(v.fftGetBufSize(f.p, nullptr), -8);
    EXPECT_EQ(v.fftGetBufSize(nullptr, &size), -8);
    alignas(32) FFTSpec_C_32fc zero = {};
    EXPECT_EQ(v.fftFwd(data.data(), data.data(), &zero, nullptr), -17);
    EXPECT_EQ(v.fftGetBufSize(&zero, &size), -17);
    EXPECT_EQ(v.fftFree(nullptr), -8);
    EXPECT_EQ(v.fftFree(f.p), 0);
    EXPECT_EQ(v.fftFree(f.p), -17);
    EXPECT_EQ(v.fftFwd(data.data(), data.data(), f.p, nullptr), -17);
    // A valid tag over an order this variant cannot run is a foreign spec.
    // So is a valid tag over damaged layout words.
    for (int field = 0; field < 4; ++field) {
      Fft g(v, 6, 8);
      int32_t* words[4] = {&g.p->order, &g.p->workSize, &g.p->bitRevOffset, &g.p->twiddleOffset};
      *words[field] = field == 0 ? 30 : -4;
      EXPECT_EQ(v.fftFwd(data.data(), data.data(), g.p, nullptr), -17) << field;
    }
  }
}

TEST(FftAccuracy, EveryOrderAndPathAgainstTheDft) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    for (int order = 0; order <= v.radix4Limit; ++order) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const int n = 1 << order;
      const std::vector<float> x = randomFloats(2 * n, 100 + order);
      Fft f(v, order, 8, order % 3 * 4);
      const std::vector<float> ref = forward(v, f, x);
      const double err = relativeError(ref.data(), referenceDft(toComplex(x.data(), n)));
      EXPECT_LE(err, 2e-7 * order) << err;
      // Every other path gives the same bits.
      Path p;
      p.srcOffset = 8;
      EXPECT_EQ(forward(v, f, x, p), ref) << "misaligned source";
      p = {};
      p.dstOffset = 8;
      EXPECT_EQ(forward(v, f, x, p), ref) << "misaligned destination";
      p.dstOffset = 4;
      p.srcOffset = 12;
      EXPECT_EQ(forward(v, f, x, p), ref) << "both 4 bytes off";
      p = {};
      p.inPlace = true;
      EXPECT_EQ(forward(v, f, x, p), ref) << "in place";
      p.dstOffset = 8;
      EXPECT_EQ(forward(v, f, x, p), ref) << "in place, misaligned";
      p.withBuffer = false;
      EXPECT_EQ(forward(v, f, x, p), ref) << "own buffer";
      p.withBuffer = true;
      p.bufOffset = 4;
      EXPECT_EQ(forward(v, f, x, p), ref) << "buffer 4 bytes off";
    }
  }
}

TEST(FftAccuracy, ImpulseAndConstantAreExact) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    for (int order = 0; order <= v.radix4Limit; ++order) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const int n = 1 << order;
      Fft f(v, order, 8);
      std::vector<float> impulse(2 * n, 0.0f), constant(2 * n, 0.0f);
      impulse[0] = 1.0f;
      for (int i = 0; i < n; ++i) constant[2 * i] = 1.0f;
      const std::vector<float> a = forward(v, f, impulse);
      const std::vector<float> c = forward(v, f, constant);
      for (int k = 0; k < n; ++k) {
        ASSERT_EQ(a[2 * k], 1.0f) << k;
        ASSERT_EQ(a[2 * k + 1], 0.0f) << k;
        ASSERT_EQ(c[2 * k], k == 0 ? float(n) : 0.0f) << k;
        ASSERT_EQ(c[2 * k + 1], 0.0f) << k;
      }
    }
  }
}

TEST(FftScaling, FlagsScaleTheForwardResultAsStated) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    for (int order : {0, 1, 3, 4, 5, 6, 7, 10, 11}) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const int n = 1 << order;
      const std::vector<float> x = randomFloats(2 * n, 7 + order);
      const std::vector<cd> want = referenceDft(toComplex(x.data(), n));
      Fft plain(v, order, 8), byN(v, order, 1), inverseOnly(v, order, 2), bySqrt(v, order, 4);
      const std::vector<float> u = forward(v, plain, x);
      const std::vector<float> s1 = forward(v, byN, x);
      const std::vector<float> s4 = forward(v, bySqrt, x);
      EXPECT_EQ(forward(v, inverseOnly, x), u) << "flag 2 leaves the forward transform unscaled";
      EXPECT_LE(relativeError(s1.data(), want, 1.0 / n), 2e-7 * (order + 1));
      EXPECT_LE(relativeError(s4.data(), want, 1.0 / std::sqrt(double(n))), 2e-7 * (order + 1));
      if (order == 4) continue;  // the scaled 16-point kernel scales inside its last stage
      for (int i = 0; i < 2 * n; ++i) {
        ASSERT_EQ(s1[i], u[i] * byN.p->scale) << i;
        ASSERT_EQ(s4[i], u[i] * bySqrt.p->scale) << i;
      }
    }
  }
}

TEST(FftVariants, AgreeAsThePlansAllow) {
  // SSSE3 and SSE4.1 run one plan: identical bits. The SSE2 plan matches them
  // exactly for orders up to 5 and for even orders; odd orders from 7 take a
  // radix-8 first pass (and order 15 a separate bit reversal), so they agree
  // to rounding only.
  const Variant& sse2 = variants()[0];
  const Variant& ssse3 = variants()[1];
  const Variant& sse41 = variants()[2];
  if (!ssse3.available()) GTEST_SKIP() << "no SSSE3";
  for (int order = 0; order <= 17; ++order) {
    SCOPED_TRACE(order);
    const int n = 1 << order;
    const std::vector<float> x = randomFloats(2 * n, 999 + order);
    Fft fs(ssse3, order, 8);
    const std::vector<float> b = forward(ssse3, fs, x);
    if (sse41.available()) {
      Fft f4(sse41, order, 8);
      EXPECT_EQ(forward(sse41, f4, x), b);
    }
    if (order > sse2.radix4Limit) continue;
    Fft f2(sse2, order, 8);
    const std::vector<float> a = forward(sse2, f2, x);
    if (order <= 5 || order % 2 == 0) {
      EXPECT_EQ(a, b);
    } else {
      EXPECT_LE(relativeError(a.data(), toComplex(b.data(), n)), 2e-7 * order);
    }
  }
}

TEST(FftBuffer, AlignedOutOfPlaceCallLeavesTheBufferAlone) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    SCOPED_TRACE(v.name);
    for (int order : {6, 7, 12, 13}) {
      const int n = 1 << order;
      Fft f(v, order, 8);
      const std::vector<float> x = randomFloats(2 * n, order);
      std::vector<float> dst(2 * n + 8);
      float* d = reinterpret_cast<float*>(alignUp(reinterpret_cast<uint8_t*>(dst.data())));
      Guarded buf(f.bufSize);
      if (v.radix4Limit == 15 && order == 15) continue;
      ASSERT_EQ(v.fftFwd(reinterpret_cast<const vpComplex32f*>(x.data()), reinterpret_cast<vpComplex32f*>(d), f.p,
                         buf.data()),
                0);
      EXPECT_TRUE(buf.untouched()) << order;
    }
  }
}

}  // namespace

namespace {

void* failingMalloc(size_t) { return nullptr; }

// Makes every allocation of the core fail while it lives.
struct NoMemory {
  NoMemory() { i_malloc = failingMalloc; }
  ~NoMemory() { i_malloc = std::malloc; }
};

TEST(FftBuffer, FailedAllocationIsReportedAndWritesNothing) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    SCOPED_TRACE(v.name);
    for (int order : {5, 6, 7}) {
      Fft f(v, order, 1);
      std::vector<vpComplex32f> src(1 << order, vpComplex32f{1.0f, 2.0f}), dst(1 << order, vpComplex32f{3.0f, 4.0f});
      NoMemory noMemory;
      // Orders up to 5 need no buffer.
      const VpStatus status = v.fftFwd(src.data(), dst.data(), f.p, nullptr);
      EXPECT_EQ(status, order <= 5 ? 0 : -9);
      if (order > 5) {
        for (const vpComplex32f& c : dst) ASSERT_TRUE(c.re == 3.0f && c.im == 4.0f);
      }
    }
  }
}

}  // namespace
