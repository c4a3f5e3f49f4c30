// Inverse MDCT of every variant and the public dispatch: sizes, statuses,
// spec layout, accuracy against the direct formula for every supported
// length, exact output symmetries, buffer and in-place paths, agreement
// between the variants, and the pre/post-processing steps (the forward pair
// included).
#include <algorithm>

#include "transforms_test_util.h"

namespace {

using namespace transforms_test;

struct Mdct {
  std::vector<uint8_t> spec, init;
  MDCTInvSpec_32f* p = nullptr;
  int32_t bufSize = 0;
  Mdct(const Variant& v, int len, size_t specOffset = 0) {
    int32_t s = 0, i = 0;
    EXPECT_EQ(v.mdctGetSize(len, &s, &i, &bufSize), 0);
    spec.resize(s + specOffset);
    init.resize(std::max(i, 1));
    EXPECT_EQ(v.mdctInit(&p, len, spec.data() + specOffset, init.data()), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(p), alignUp(spec.data() + specOffset));
  }
};

std::vector<int> lengths(const Variant& v) {
  std::vector<int> all = {12, 36};
  for (int len = 32; len <= 4 << v.radix4Limit; len *= 2) all.push_back(len);
  return all;
}

// Coefficients: all random up to 4096 points, then 24 random ones (so that
// the direct formula stays cheap).
std::vector<float> coefficients(int len, uint32_t seed) {
  std::vector<float> x = randomFloats(len / 2, seed);
  if (len > 4096) {
    std::vector<float> sparse(len / 2, 0.0f);
    std::mt19937 rng(seed);
    for (int i = 0; i < 24; ++i) sparse[rng() % (len / 2)] = x[i];
    x = sparse;
  }
  return x;
}

std::vector<double> reference(const std::vector<float>& x, int len) {
  if (len <= 4096) return referenceImdct(x.data(), len);
  std::vector<double> y(len, 0.0);
  for (int k = 0; k < len / 2; ++k) {
    if (x[k] == 0.0f) continue;
    for (int n = 0; n < len; ++n) y[n] += 2.0 / len * x[k] * std::cos(2.0 * M_PI / len * (n + 0.5 + len / 4.0) * (k + 0.5));
  }
  return y;
}

std::vector<float> run(const Variant& v, const Mdct& m, const std::vector<float>& x, size_t dstOffset = 0,
                       bool withBuffer = true, size_t bufOffset = 0) {
  const int len = 2 * static_cast<int>(x.size());
  Guarded src(x.size() * 4, 4), dst(len * 4, dstOffset), buf(std::max(m.bufSize, 1), bufOffset);
  std::copy(x.begin(), x.end(), src.as<float>());
  EXPECT_EQ(v.mdctInv(src.as<float>(), dst.as<float>(), m.p, withBuffer ? buf.data() : nullptr), 0);
  EXPECT_TRUE(dst.guardsIntact());
  EXPECT_TRUE(buf.guardsIntact());
  EXPECT_TRUE(std::equal(x.begin(), x.end(), src.as<float>()));
  return std::vector<float>(dst.as<float>(), dst.as<float>() + len);
}

TEST(MdctSizes, MatchTheStatedValues) {
  struct Row {
    int len, spec, init, buf;
  };
  const Row rows[] = {{12, 116, 0, 112}, {36, 164, 0, 208}, {32, 304, 0, 224}, {256, 1404, 0, 1664}, {512, 2492, 0, 3200}};
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    for (const Row& r : rows) {
      int32_t s = -1, i = -1, b = -1;
      ASSERT_EQ(v.mdctGetSize(r.len, &s, &i, &b), 0) << r.len;
      EXPECT_EQ(s, r.spec) << r.len;
      EXPECT_EQ(i, r.init) << r.len;
      EXPECT_EQ(b, r.buf) << r.len;
    }
    int32_t s, i, b;
    ASSERT_EQ(v.mdctGetSize(8192, &s, &i, &b), 0);  // FFT order 11 needs an init buffer
    EXPECT_EQ(i, 2048 + 64);
  }
}

TEST(MdctStatus, ChecksInTheStatedOrder) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    int32_t s = 5, i = 5, b = 5;
    EXPECT_EQ(v.mdctGetSize(17, nullptr, &i, &b), -8);
    EXPECT_EQ(v.mdctGetSize(512, &s, &i, nullptr), -8);
    for (int bad : {0, -32, 16, 24, 28, 48, 100, 1 << 29, 1 << 30}) EXPECT_EQ(v.mdctGetSize(bad, &s, &i, &b), -6) << bad;
    EXPECT_EQ(s, 5);
    // Lengths whose FFT runs the blocked large transform are sized like the others.
    EXPECT_EQ(v.mdctGetSize(8 << v.radix4Limit, &s, &i, &b), 0);

    alignas(32) uint8_t mem[4096];
    MDCTInvSpec_32f* spec = nullptr;
    EXPECT_EQ(v.mdctInit(nullptr, 24, nullptr, nullptr), -6);
    EXPECT_EQ(v.mdctInit(nullptr, 16, nullptr, nullptr), -6);
    EXPECT_EQ(v.mdctInit(nullptr, 12, mem, nullptr), -8);
    EXPECT_EQ(v.mdctInit(&spec, 36, nullptr, nullptr), -8);
    EXPECT_EQ(v.mdctInit(&spec, 64, mem, nullptr), -8);
    EXPECT_EQ(v.mdctInit(&spec, 12, mem, nullptr), 0);
    EXPECT_EQ(v.mdctInit(&spec, 36, mem + 1, nullptr), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(spec), mem + 32);

    float data[64] = {};
    EXPECT_EQ(v.mdctInv(nullptr, nullptr, nullptr, nullptr), -8);
    alignas(32) MDCTInvSpec_32f zero = {};
    EXPECT_EQ(v.mdctInv(data, data, &zero, nullptr), -17);
    EXPECT_EQ(v.mdctInv(nullptr, data, spec, nullptr), -8);
    EXPECT_EQ(v.mdctInv(data, nullptr, spec, nullptr), -8);
  }
}

TEST(MdctStatus, DamagedSpecIsRefused) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    for (int field = 0; field < 5; ++field) {
      Mdct m(v, 512);
      int32_t* words[5] = {&m.p->length, &m.p->workSize, &m.p->fftOrder, &m.p->twiddleOffset, &m.p->fftSpecOffset};
      *words[field] = field == 0 ? 1 << 30 : 8;
      std::vector<float> x(256), y(512);
      EXPECT_EQ(v.mdctInv(x.data(), y.data(), m.p, nullptr), -17) << field;
    }
  }
}

TEST(MdctSpec, HeaderAndTwiddles) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    for (int len : {32, 256, 512}) {
      Mdct m(v, len, 7);
      const MDCTInvSpec_32f* h = m.p;
      EXPECT_EQ(h->tag, 56);
      EXPECT_EQ(h->length, len);
      EXPECT_EQ(h->fftOrder, len == 32 ? 3 : len == 256 ? 6 : 7);
      EXPECT_EQ(h->ownsMemory, 0);
      EXPECT_EQ(h->twiddleOffset, 32);
      EXPECT_EQ(h->fftSpecOffset, 32 + (len / 2 + 31) / 32 * 128);
      int32_t fftBuf = 0;
      const FFTSpec_C_32fc* fft =
          reinterpret_cast<const FFTSpec_C_32fc*>(reinterpret_cast<const uint8_t*>(h) + h->fftSpecOffset);
      ASSERT_EQ(v.fftGetBufSize(fft, &fftBuf), 0);
      EXPECT_EQ(h->workSize, fftBuf + 4 * len + 32);
      EXPECT_EQ(fft->order, h->fftOrder);
      // Block g holds ts, tc of k = 4g.. and of k = len/4-4g-4..
      const float* t = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(h) + 32);
      const double f = 1.0 / std::sqrt(len / 2.0);
      const auto ts = [&](int k) { return static_cast<float>(std::sin((k + 0.125) * (6.283185307179586 / len)) * f); };
      const auto tc = [&](int k) { return static_cast<float>(std::cos((k + 0.125) * (6.283185307179586 / len)) * f); };
      for (int g = 0; g < len / 32; ++g) {
        for (int i = 0; i < 4; ++i) {
          ASSERT_EQ(t[16 * g + i], ts(4 * g + i));
          ASSERT_EQ(t[16 * g + 4 + i], tc(4 * g + i));
          ASSERT_EQ(t[16 * g + 8 + i], ts(len / 4 - 4 * g - 4 + i));
          ASSERT_EQ(t[16 * g + 12 + i], tc(len / 4 - 4 * g - 4 + i));
        }
      }
    }
    Mdct m36(v, 36);
    EXPECT_EQ(m36.p->fftSpecOffset, 0);
    EXPECT_EQ(m36.p->workSize, 4 * 36 + 32);
  }
}

TEST(MdctAccuracy, EverySupportedLengthAgainstTheDirectFormula) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    for (int len : lengths(v)) {
      SCOPED_TRACE(std::string(v.name) + " len " + std::to_string(len));
      const std::vector<float> x = coefficients(len, len);
      Mdct m(v, len, 4);
      const std::vector<float> y = run(v, m, x);
      const double err = relativeErrorReal(y.data(), reference(x, len));
      // 12 and 36 points use output factors held to six decimals.
      EXPECT_LE(err, len == 12 || len == 36 ? 2e-5 : 1e-6) << err;
      for (int n = 0; n < len / 4; ++n) {
        ASSERT_EQ(y[len / 2 - 1 - n], -y[n]) << n;
        ASSERT_EQ(y[len - 1 - n], y[len / 2 + n]) << n;
      }
      EXPECT_EQ(run(v, m, x, 8), y) << "misaligned destination";
      EXPECT_EQ(run(v, m, x, 0, false), y) << "own buffer";
      EXPECT_EQ(run(v, m, x, 4, true, 12), y) << "buffer 12 bytes off";
      // In place: the source occupies the start of the destination.
      std::vector<float> io(len + 1);
      std::copy(x.begin(), x.end(), io.begin() + 1);
      ASSERT_EQ(v.mdctInv(io.data() + 1, io.data() + 1, m.p, nullptr), 0);
      EXPECT_TRUE(std::equal(y.begin(), y.end(), io.begin() + 1)) << "in place";
    }
  }
}

TEST(MdctAccuracy, UnitImpulses) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    for (int len : {12, 36, 32, 256, 512}) {
      SCOPED_TRACE(std::string(v.name) + " len " + std::to_string(len));
      Mdct m(v, len);
      for (int k0 : {0, 1, len / 4, len / 2 - 1}) {
        std::vector<float> x(len / 2, 0.0f);
        x[k0] = 1.0f;
        const std::vector<float> y = run(v, m, x);
        for (int n = 0; n < len; ++n) {
          const double want = 2.0 / len * std::cos(2.0 * M_PI / len * (n + 0.5 + len / 4.0) * (k0 + 0.5));
          ASSERT_NEAR(y[n], want, len <= 36 ? 2e-6 : 2e-7) << k0 << " " << n;
        }
      }
    }
  }
}

TEST(MdctVariants, AgreeAsThePlansAllow) {
  // SSSE3 and SSE4.1 agree bit for bit. SSE2 agrees with them bit for bit
  // where the inner FFT order is even or at most 5 (len 256, 1024, ... and
  // 32 to 128); for odd orders from 7 (len 512, 2048, ...) its FFT takes a
  // radix-8 first pass and agrees to rounding only.
  const Variant& sse2 = variants()[0];
  const Variant& ssse3 = variants()[1];
  const Variant& sse41 = variants()[2];
  if (!ssse3.available() || !sse41.available()) GTEST_SKIP() << "needs SSE4.1";
  for (int len : lengths(sse2)) {
    SCOPED_TRACE(len);
    const std::vector<float> x = coefficients(len, 3 * len);
    Mdct a(sse2, len), b(ssse3, len), c(sse41, len);
    const std::vector<float> ya = run(sse2, a, x), yb = run(ssse3, b, x), yc = run(sse41, c, x);
    EXPECT_EQ(yb, yc);
    const int order = len >= 32 ? static_cast<int>(std::log2(len / 4)) : 0;
    if (order <= 5 || order % 2 == 0) {
      EXPECT_EQ(ya, yb);
    } else {
      std::vector<double> want(yb.begin(), yb.end());
      EXPECT_LE(relativeErrorReal(ya.data(), want), 1e-6);
    }
  }
}

TEST(MdctDispatch, PublicEntryPointsFollowTheVariantIndex) {
  const uint32_t saved = vpVariantIndex.load();
  for (uint32_t slot = 0; slot < 4; ++slot) {
    const Variant& v = variants()[slot <= 1 ? 0 : slot - 1];
    if (!v.available()) continue;
    SCOPED_TRACE(slot);
    vpVariantIndex.store(slot);
    int32_t s, i, b;
    ASSERT_EQ(vpsMDCTInvGetSize_32f(512, &s, &i, &b), 0);
    EXPECT_EQ(s, 2492);
    std::vector<uint8_t> spec(s), init(std::max(i, 1)), buf(b);
    MDCTInvSpec_32f* p = nullptr;
    ASSERT_EQ(vpsMDCTInvInit_32f(&p, 512, spec.data(), init.data()), 0);
    const std::vector<float> x = randomFloats(256, 5);
    std::vector<float> y(512);
    ASSERT_EQ(vpsMDCTInv_32f(x.data(), y.data(), p, buf.data()), 0);
    Mdct m(v, 512);
    EXPECT_EQ(run(v, m, x), y);
    EXPECT_EQ(vpsMDCTInv_32f(x.data(), y.data(), nullptr, buf.data()), -8);
  }
  vpVariantIndex.store(saved);
}

// The processing steps on their own, with the twiddles of an MDCT spec.
struct Steps {
  void (*invPre)(const float*, float*, int, const float*);
  void (*invPost)(const float*, float*, int, const float*);
  void (*fwdPre)(const float*, float*, int, const float*);
  void (*fwdPost)(const float*, float*, int, const float*);
};
const Steps kSteps[3] = {
    {sse2_vps_MDCTInvPreProcPow2_32f, sse2_vps_MDCTInvPostProcPow2_32f, sse2_vps_MDCTFwdPreProcPow2_32f,
     sse2_vps_MDCTFwdPostProcPow2_32f},
    {ssse3_vps_MDCTInvPreProcPow2_32f, ssse3_vps_MDCTInvPostProcPow2_32f, ssse3_vps_MDCTFwdPreProcPow2_32f,
     ssse3_vps_MDCTFwdPostProcPow2_32f},
    {sse41_vps_MDCTInvPreProcPow2_32f, sse41_vps_MDCTInvPostProcPow2_32f, sse41_vps_MDCTFwdPreProcPow2_32f,
     sse41_vps_MDCTFwdPostProcPow2_32f},
};

const float* twiddlesOf(const Mdct& m) {
  return reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(m.p) + m.p->twiddleOffset);
}
const FFTSpec_C_32fc* fftOf(const Mdct& m) {
  return reinterpret_cast<const FFTSpec_C_32fc*>(reinterpret_cast<const uint8_t*>(m.p) + m.p->fftSpecOffset);
}

TEST(MdctSteps, ForwardPairGivesTheScaledMdct) {
  for (size_t vi = 0; vi < 3; ++vi) {
    const Variant& v = variants()[vi];
    if (!v.available()) continue;
    for (int len : {32, 64, 256, 512, 1024}) {
      SCOPED_TRACE(std::string(v.name) + " len " + std::to_string(len));
      Mdct m(v, len);
      const std::vector<float> x = randomFloats(len, 11 * len);
      std::vector<float> z(len / 2 + 8), out(len / 2);
      float* za = reinterpret_cast<float*>(alignUp(reinterpret_cast<uint8_t*>(z.data())));
      std::vector<uint8_t> buf(m.bufSize);
      kSteps[vi].fwdPre(x.data(), za, len, twiddlesOf(m));
      auto* zc = reinterpret_cast<vpComplex32f*>(za);
      ASSERT_EQ(v.fftFwd(zc, zc, fftOf(m), buf.data()), 0);
      kSteps[vi].fwdPost(za, out.data(), len, twiddlesOf(m));
      std::vector<double> want(len / 2);
      for (int k = 0; k < len / 2; ++k) {
        double s = 0;
        for (int n = 0; n < len; ++n) s += x[n] * std::cos(2.0 * M_PI / len * (n + 0.5 + len / 4.0) * (k + 0.5));
        want[k] = 2.0 / len * s;
      }
      EXPECT_LE(relativeErrorReal(out.data(), want), 1e-6);
    }
  }
}

TEST(MdctSteps, InPlaceMisalignedAndSparseBehaviour) {
  for (size_t vi = 0; vi < 3; ++vi) {
    const Variant& v = variants()[vi];
    if (!v.available()) continue;
    SCOPED_TRACE(v.name);
    const int len = 64, q = len / 4;
    Mdct m(v, len);
    const float* t = twiddlesOf(m);
    const std::vector<float> x = randomFloats(len / 2, 77);
    alignas(16) float z[len / 2], zin[len / 2 + 1];
    kSteps[vi].invPre(x.data(), z, len, t);
    std::copy(x.begin(), x.end(), zin);
    kSteps[vi].invPre(zin, zin, len, t);
    EXPECT_TRUE(std::equal(z, z + len / 2, zin)) << "pre-processing in place";
    std::copy(x.begin(), x.end(), zin + 1);
    alignas(16) float zu[len / 2];
    kSteps[vi].invPre(zin + 1, zu, len, t);
    EXPECT_TRUE(std::equal(z, z + len / 2, zu)) << "unaligned source";

    std::vector<float> y(len), y2(len + 1);
    kSteps[vi].invPost(z, y.data(), len, t);
    kSteps[vi].invPost(z, y2.data() + 1, len, t);
    EXPECT_TRUE(std::equal(y.begin(), y.end(), y2.begin() + 1)) << "unaligned destination";
    // One non-zero FFT output touches exactly four samples; zero gives zero.
    for (int qi = 0; qi < q; ++qi) {
      alignas(16) float one[len / 2] = {};
      one[2 * qi] = 1.0f;
      one[2 * qi + 1] = 0.5f;
      kSteps[vi].invPost(one, y.data(), len, t);
      EXPECT_EQ(std::count_if(y.begin(), y.end(), [](float f) { return f != 0.0f; }), 4) << qi;
    }
  }
}

}  // namespace

namespace {

void* failingMalloc(size_t) { return nullptr; }

TEST(MdctStatus, FailedAllocationIsReportedAndWritesNothing) {
  for (const Variant& v : variants()) {
    if (!v.available()) continue;
    SCOPED_TRACE(v.name);
    for (int len : {12, 36, 256, 512}) {
      Mdct m(v, len);
      std::vector<float> x(len / 2, 1.0f), y(len, 5.0f);
      i_malloc = failingMalloc;
      const VpStatus status = v.mdctInv(x.data(), y.data(), m.p, nullptr);
      i_malloc = std::malloc;
      EXPECT_EQ(status, -9) << len;
      for (float f : y) ASSERT_EQ(f, 5.0f);
    }
  }
}

}  // namespace
