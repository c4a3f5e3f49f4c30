// Complex FFT operations of every variant, orders 0 to 28: sizes, statuses,
// spec header, accuracy against a double-precision DFT on every path, exact
// results, scaling flags, agreement between the variants. Orders 23 to 28
// need up to 3.4 GiB and run where the machine has that much memory free, in
// the optimised build only (tests of their own: see CMakeLists.txt).
#include <cstdlib>
#include <fstream>
#include <string>

#include "transforms_test_util.h"

namespace {

using namespace transforms_test;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kLargestOrder = 20;  // sanitizer builds stop early to stay quick
#else
constexpr int kLargestOrder = 22;
#endif

TEST(FftSizes, MatchTheStatedValues) {
  struct Row {
    int variant, order, flag, spec, init, buf;  // variant -1: every variant
  };
  const Row rows[] = {
      {-1, 7, 4, 1344, 0, 1056}, {-1, 11, 2, 18624, 2112, 16416}, {1, 17, 8, 1179840, 131136, 1048608},
      // SSE2 16: leaf table 2^12 (32800), level table 262144, index table 65568.
      {0, 16, 8, 32800 + 262144 + 65568 + 128, 65536 + 64, 32768 + 32},
      // SSE2 17: leaf 2^13 (65568), level 524288, tile table 4*32 + 4128 words'
      // bytes; the work buffer holds the two 4096-value tiles.
      {0, 17, 8, 65568 + 524288 + 128 + 4128 + 128, 131072 + 64, 65536 + 32},
      // SSSE3 and SSE4.1 18: leaf 2^14 (131104), level 1048576, index table 262176.
      {1, 18, 8, 131104 + 1048576 + 262176 + 128, 262144 + 64, 131072 + 32},
      {2, 18, 8, 131104 + 1048576 + 262176 + 128, 262144 + 64, 131072 + 32},
      // Order 20: SSSE3 64 runs of 2^14, SSE4.1 16 runs of 2^16.
      {1, 20, 8, 131104 + 4194304 + 1024 + 4128 + 128, 1048576 + 64, 131072 + 32},
      {2, 20, 8, 524320 + 4194304 + 1024 + 4128 + 128, 1048576 + 64, 524288 + 32},
      // SSE2 24: leaf 2^12 under the level of 2^16 under the level of 2^24.
      {0, 24, 8, 32800 + 262144 + 67108864 + 16384 + 4128 + 128, 16777216 + 64, 131072 + 32},
      {1, 28, 8, 131104 + 4194304 + 1073741824 + 262144 + 4128 + 128, 268435456 + 64, 131072 + 32},
  };
  for (int vi = 0; vi < 3; ++vi) {
    const Variant& v = variants()[vi];
    int s, i, b;
    for (int order = 0; order <= 28; ++order) {
      const int n = 1 << order;
      ASSERT_EQ(v.fftGetSize(order, order % 2 ? 1 : 8, 0, &s, &i, &b), 0);
      const bool radix4 = order > 5 && order <= v.radix4Limit;
      EXPECT_TRUE(order > 5 || (s == 116 && i == 0 && b == 0)) << v.name << " " << order;
      EXPECT_TRUE(!radix4 || (s == 9 * n + 192 && i == (order <= 10 ? 0 : n + 64) && b == 8 * n + 32)) << order;
      EXPECT_TRUE(order <= v.radix4Limit || s > 4 << order) << v.name << " " << order;
    }
    for (const Row& r : rows) {
      if (r.variant != -1 && r.variant != vi) continue;
      ASSERT_EQ(v.fftGetSize(r.order, r.flag, 0, &s, &i, &b), 0);
      EXPECT_TRUE(s == r.spec && i == r.init && b == r.buf) << v.name << " " << r.order << ": " << s << " " << i;
    }
  }
}

TEST(FftSpec, StatusChecksInTheirOrderAndHeaderFields) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    int s = 7, i = 7, b = 7, size = 0;
    EXPECT_EQ(v.fftGetSize(-1, 8, 0, nullptr, nullptr, nullptr), -15);
    EXPECT_EQ(v.fftGetSize(31, 8, 0, &s, &i, &b), -15);
    EXPECT_EQ(v.fftGetSize(29, 8, 0, &s, nullptr, &b), -8);
    EXPECT_EQ(v.fftGetSize(6, 3, 0, &s, &i, &b), -16);
    EXPECT_EQ(v.fftGetSize(29, 3, 0, &s, &i, &b), -16);
    EXPECT_EQ(v.fftGetSize(29, 8, 0, &s, &i, &b), -15);
    EXPECT_TRUE(s == 7 && i == 7 && b == 7) << "sizes written on failure";

    alignas(32) uint8_t mem[4096 + 32];
    FFTSpec_C_32fc* spec = nullptr;
    EXPECT_EQ(v.fftInit(nullptr, 40, 3, 0, nullptr, nullptr), -8);
    EXPECT_EQ(v.fftInit(&spec, 29, 8, 0, mem, nullptr), -15);
    EXPECT_EQ(v.fftInit(&spec, 29, 8, 0, nullptr, nullptr), -15);
    EXPECT_EQ(v.fftInit(&spec, 6, 3, 0, nullptr, nullptr), -8);
    std::memset(mem, 0x5A, sizeof mem);
    EXPECT_EQ(v.fftInit(&spec, 6, 3, 77, mem + 1, nullptr), -16);
    const auto* header = reinterpret_cast<const FFTSpec_C_32fc*>(mem + 32);
    EXPECT_TRUE(header->tag == 0 && header->order == 6 && header->hint == 77 && spec == nullptr);
    // Order 11 needs the initialisation buffer; the spec must stay invalid.
    std::vector<uint8_t> big(Fft::sizeBytes(v, 11, 8, 0)), mid(Fft::sizeBytes(v, 10, 8, 0));
    EXPECT_EQ(v.fftInit(&spec, 11, 8, 0, big.data(), nullptr), -8);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(v.fftGetBufSize(reinterpret_cast<const FFTSpec_C_32fc*>(alignUp(big.data())), &size), -17);
    // Order 10 takes its twiddles from the fixed table: no init buffer needed.
    EXPECT_EQ(v.fftInit(&spec, 10, 8, 0, mid.data(), nullptr), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(spec), alignUp(mid.data()));

    Fft f(v, 6, 8);
    std::vector<vpComplex32f> data(size_t{1} << (v.radix4Limit + 1));
    vpComplex32f* d = data.data();
    alignas(32) FFTSpec_C_32fc zero = {};
    EXPECT_EQ(v.fftFwd(nullptr, nullptr, nullptr, nullptr), -8);
    EXPECT_EQ(v.fftFwd(nullptr, d, f.p, nullptr), -8);
    EXPECT_EQ(v.fftFwd(d, nullptr, f.p, nullptr), -8);
    EXPECT_EQ(v.fftGetBufSize(f.p, nullptr), -8);
    EXPECT_EQ(v.fftGetBufSize(nullptr, &size), -8);
    EXPECT_EQ(v.fftFwd(d, d, &zero, nullptr), -17);
    EXPECT_EQ(v.fftGetBufSize(&zero, &size), -17);
    EXPECT_EQ(v.fftFree(nullptr), -8);
    EXPECT_EQ(v.fftFree(f.p), 0);
    EXPECT_EQ(v.fftFree(f.p), -17);
    EXPECT_EQ(v.fftFwd(d, d, f.p, nullptr), -17);
    // A valid tag over an order this variant cannot run, or over damaged
    // layout words (those of a large spec included), is a foreign spec.
    for (int field = 0; field < 5; ++field) {
      Fft g(v, field < 4 ? 6 : v.radix4Limit + 1, 8);
      int32_t* words[5] = {&g.p->order, &g.p->workSize, &g.p->bitRevOffset, &g.p->twiddleOffset, &g.p->large[7]};
      *words[field] = field == 0 ? 30 : field == 4 ? *words[4] + 32 : -4;
      EXPECT_EQ(v.fftFwd(d, d, g.p, nullptr), -17) << field;
    }
    // Header fields by flag.
    Fft f4(v, 7, 4, 5), f1(v, 6, 1), f2(v, 6, 2), f8(v, 6, 8), small(v, 5, 1);
    const FFTSpec_C_32fc& h = *f4.p;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(f4.p), alignUp(f4.spec.data()));
    EXPECT_TRUE(h.tag == 4 && h.order == 7 && h.scaleForward == 1 && h.scaleInverse == 1);
    EXPECT_TRUE(h.scale == 0.088388346f && h.scale == static_cast<float>(1.0 / std::sqrt(128.0)));
    EXPECT_TRUE(h.workSize == 1024 && h.ownsMemory == 0 && h.bitRevOffset == 84 && f4.bufSize == 1056);
    EXPECT_TRUE(f1.p->scaleForward == 1 && f1.p->scaleInverse == 0 && f1.p->scale == 1.0f / 64);
    EXPECT_TRUE(f2.p->scaleForward == 0 && f2.p->scaleInverse == 1 && f2.p->scale == 1.0f / 64);
    EXPECT_TRUE(f8.p->scaleForward == 0 && f8.p->scaleInverse == 0 && bits(f8.p->scale) == 0u);
    // The index table (17 words) follows the header; the twiddles start on
    // the next 32-byte boundary.
    EXPECT_EQ(f8.p->twiddleOffset, 160);
    EXPECT_TRUE(small.bufSize == 0 && small.p->workSize == 0);
    // Without a buffer the transform allocates one; when it cannot, nothing
    // is written. Orders up to 5 need none.
    for (int order : {5, 6, 7}) {
      if (!v.available()) break;
      Fft g(v, order, 1);
      std::vector<vpComplex32f> src(1 << order, vpComplex32f{1.0f, 2.0f}), dst(1 << order, vpComplex32f{3.0f, 4.0f});
      NoMemory noMemory;
      EXPECT_EQ(v.fftFwd(src.data(), dst.data(), g.p, nullptr), order <= 5 ? 0 : -9);
      for (const vpComplex32f& c : dst) ASSERT_TRUE(order <= 5 || (c.re == 3.0f && c.im == 4.0f));
    }
  }
}

// One input and reference per order serve every variant. Every path gives
// the bits of the plain out-of-place call; an out-of-place source stays as
// it was. Scaling flag 2 leaves the forward transform alone; 1 and 4 scale
// it by 1/N and 1/sqrt(N): exactly the unscaled bits times the factor, but
// in the scaled 16-point kernel and the large transform, which scale inside.
// SSSE3 and SSE4.1 run one plan (but for order 20, whose runs differ):
// identical bits. The SSE2 plan gives their bits at orders up to 5 and at
// even orders up to its radix-4 limit; elsewhere (a radix-8 first pass for
// odd orders, a separate bit reversal at 15, other blocks above) only the
// bound against the DFT ties them.
TEST(FftAccuracy, EveryOrderPathAndScalingAgainstTheDftAndAcrossVariants) {
  struct Case {
    Path path;
    const char* what;
    int upTo;  // highest order the case runs at (the large ones are slow)
  };
  const Case cases[] = {
      {{8, 0, 0, false, true}, "misaligned source", 17},
      {{0, 8, 0, false, true}, "misaligned destination", 17},
      {{12, 4, 0, false, true}, "both 4 bytes off", 28},
      {{0, 0, 0, true, true}, "in place", 28},
      {{0, 8, 0, true, true}, "in place, misaligned", 17},
      {{0, 4, 0, true, false}, "in place, misaligned, own buffer", 19},
      {{0, 8, 4, true, true}, "buffer 4 bytes off", 17},
  };
  for (int order = 0; order <= kLargestOrder; ++order) {
    const int n = 1 << order;
    const std::vector<float> x = randomFloats(2 * n, 100 + order);
    const std::vector<cd> want = referenceDft(toComplex(x.data(), n));
    std::vector<float> results[3];
    for (int vi = 0; vi < 3; ++vi) {
      const Variant& v = variants()[vi];
      if (!v.available()) continue;
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      Fft f(v, order, 8, order % 3 * 4);
      // An aligned out-of-place call of the radix-4 path works in its destination.
      const std::vector<float> ref = results[vi] = forward(v, f, x, {0, 0, 0, false, true, order <= v.radix4Limit});
      EXPECT_LE(relativeError(ref.data(), want), 2e-7 * order);
      for (const Case& c : cases) ASSERT_TRUE(order > c.upTo || forward(v, f, x, c.path) == ref) << c.what;
      if (order <= 11 || order == v.radix4Limit + 1 || order == v.radix4Limit + 2) {
        Fft byN(v, order, 1), inverseOnly(v, order, 2), bySqrt(v, order, 4);
        const std::vector<float> s1 = forward(v, byN, x), s4 = forward(v, bySqrt, x);
        EXPECT_EQ(forward(v, inverseOnly, x), ref);
        EXPECT_LE(relativeError(s1.data(), want, 1.0 / n), 2e-7 * (order + 1));
        EXPECT_LE(relativeError(s4.data(), want, 1.0 / std::sqrt(double(n))), 2e-7 * (order + 1));
        for (int i = 0; i < 2 * n && order != 4 && order <= v.radix4Limit; ++i)
          ASSERT_TRUE(s1[i] == ref[i] * byN.p->scale && s4[i] == ref[i] * bySqrt.p->scale) << i;
      }
      if (order > v.radix4Limit) continue;
      // A unit impulse and a constant transform exactly.
      std::vector<float> impulse(2 * n, 0.0f), constant(2 * n, 0.0f);
      impulse[0] = 1.0f;
      for (int k = 0; k < n; ++k) constant[2 * k] = 1.0f;
      const std::vector<float> a = forward(v, f, impulse), c = forward(v, f, constant);
      for (int k = 0; k < n; ++k)
        ASSERT_TRUE(a[2 * k] == 1 && a[2 * k + 1] == 0 && c[2 * k] == (k == 0 ? n : 0) && c[2 * k + 1] == 0) << k;
    }
    EXPECT_TRUE(results[2].empty() || order == 20 || results[1] == results[2]) << "SSSE3 and SSE4.1, order " << order;
    const bool samePlan = order <= 15 && (order <= 5 || order % 2 == 0);
    EXPECT_TRUE(results[1].empty() || !samePlan || results[0] == results[1]) << "SSE2 and SSSE3, order " << order;
  }
}

// The memory the kernel says can be taken without swapping, in MiB (0 when
// it cannot be read).
long AvailableMiB() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  long kib = 0;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") return kib / 1024;
    meminfo.ignore(256, '\n');
  }
  return 0;
}

// The input of order log2(data.size()): a = 1/2 at f and b = i/4 at g. Each
// tone turns by its step in double precision, and is set from its cosine and
// sine every 4096 samples: the drift stays far below a float's rounding (one
// sample in some ten thousand rounds to the neighbouring float), at a small
// part of the cost of evaluating every sample.
void twoTones(std::vector<vpComplex32f>& data, size_t f, size_t g) {
  const size_t n = data.size();
  const auto turn = [n](size_t freq, size_t j) { return 2 * M_PI * double(freq * j % n) / double(n); };
  const double stepF = turn(f, 1), stepG = turn(g, 1);
  const double sfRe = std::cos(stepF), sfIm = std::sin(stepF), sgRe = std::cos(stepG), sgIm = std::sin(stepG);
  double fRe = 0, fIm = 0, gRe = 0, gIm = 0;
  for (size_t j = 0; j < n; ++j) {
    if (j % 4096 == 0) {
      fRe = std::cos(turn(f, j)), fIm = std::sin(turn(f, j));
      gRe = std::cos(turn(g, j)), gIm = std::sin(turn(g, j));
    }
    data[j] = {static_cast<float>(0.5 * fRe - 0.25 * gIm), static_cast<float>(0.5 * fIm + 0.25 * gRe)};
    const double nfRe = fRe * sfRe - fIm * sfIm, ngRe = gRe * sgRe - gIm * sgIm;
    fIm = fRe * sfIm + fIm * sfRe;
    gIm = gRe * sgIm + gIm * sgRe;
    fRe = nfRe;
    gRe = ngRe;
  }
}

// Orders [from, to] of every variant, where the machine has neededMiB free,
// on a sum of two tones, whose transform is known exactly:
// x[j] = a e^(2 pi i f j / N) + b e^(2 pi i g j / N) gives N a at f, N b at g.
void checkLargeOrders(int from, int to, long neededMiB) {
  const long available = AvailableMiB();
  if (available < neededMiB)
    GTEST_SKIP() << "not enough memory for FFT orders " << from << " to " << to << ": " << available << " MiB free, "
                 << neededMiB << " needed";
  for (const Variant& v : availableVariants()) {
    for (int order = from; order <= to; ++order) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const size_t n = size_t{1} << order, f = 12345, g = n - 77;
      int s, i, b;
      ASSERT_EQ(v.fftGetSize(order, 1, 0, &s, &i, &b), 0);
      std::vector<uint8_t> spec(s), init(i), buf(b);
      FFTSpec_C_32fc* p = nullptr;
      ASSERT_EQ(v.fftInit(&p, order, 1, 0, spec.data(), init.data()), 0);
      std::vector<vpComplex32f> data(n);
      twoTones(data, f, g);
      ASSERT_EQ(v.fftFwd(data.data(), data.data(), p, buf.data()), 0);
      double err = 0;
      for (size_t k = 0; k < n; ++k)
        err += std::norm(cd(data[k].re, data[k].im) - (k == f ? cd(0.5, 0) : k == g ? cd(0, 0.25) : cd(0, 0)));
      EXPECT_LE(std::sqrt(err / (0.25 + 0.0625)), 2e-7 * order);
    }
  }
}

// Order 28 holds the data (2 GiB), the work buffer and the tables: about 3.4
// GiB at its peak, half that for order 27. Two tests, which the suite runs
// beside each other and beside the rest (optimised build only: under the
// sanitizers they would take minutes).
TEST(FftLarge, OrdersTwentyThreeToTwentySeven) { checkLargeOrders(23, 27, 2048); }
TEST(FftLarge, OrderTwentyEight) { checkLargeOrders(28, 28, 4096); }

}  // namespace
