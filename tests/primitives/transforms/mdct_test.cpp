// Inverse MDCT of every variant and the public dispatch: sizes, statuses,
// spec layout, accuracy against the direct formula for every supported
// length on every path, agreement between the variants, and the pre- and
// post-processing steps (the forward pair included).
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
  const float* twiddles() const {
    return reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(p) + p->twiddleOffset);
  }
  const FFTSpec_C_32fc* fft() const {
    return reinterpret_cast<const FFTSpec_C_32fc*>(reinterpret_cast<const uint8_t*>(p) + p->fftSpecOffset);
  }
};

// Coefficients: all random up to 4096 points, then 24 random ones (so that
// the direct formula stays cheap).
std::vector<float> coefficients(int len, uint32_t seed) {
  std::vector<float> x = randomFloats(len / 2, seed);
  if (len <= 4096) return x;
  std::vector<float> sparse(len / 2, 0.0f);
  std::mt19937 rng(seed);
  for (int i = 0; i < 24; ++i) sparse[rng() % (len / 2)] = x[i];
  return sparse;
}

double basis(int len, int n, int k) { return 2.0 / len * std::cos(2.0 * M_PI / len * (n + 0.5 + len / 4.0) * (k + 0.5)); }

// y[n] = (2/len) sum_k x[k] cos(2 pi/len (n + 1/2 + len/4)(k + 1/2)).
std::vector<double> reference(const std::vector<float>& x, int len) {
  std::vector<double> y(len, 0.0);
  for (int k = 0; k < len / 2; ++k)
    if (x[k] != 0.0f)
      for (int n = 0; n < len; ++n) y[n] += x[k] * basis(len, n, k);
  return y;
}

double relativeErrorReal(const float* got, const std::vector<double>& want) {
  double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i) num += (got[i] - want[i]) * (got[i] - want[i]), den += want[i] * want[i];
  return std::sqrt(num / den);
}

std::vector<float> run(const Variant& v, const Mdct& m, const std::vector<float>& x, size_t dstOffset = 0,
                       bool withBuffer = true, size_t bufOffset = 0) {
  const int len = 2 * static_cast<int>(x.size());
  Guarded src(x, 4), dst(len * 4, dstOffset), buf(std::max(m.bufSize, 1), bufOffset);
  EXPECT_EQ(v.mdctInv(src.as<float>(), dst.as<float>(), m.p, withBuffer ? buf.data() : nullptr), 0);
  EXPECT_TRUE(dst.guardsIntact() && buf.guardsIntact());
  EXPECT_TRUE(std::equal(x.begin(), x.end(), src.as<float>()));
  return std::vector<float>(dst.as<float>(), dst.as<float>() + len);
}

// Sizes, header and twiddles: block g of the table holds ts, tc of
// k = 4g.. and of k = len/4-4g-4.., both scaled by 1/sqrt(len/2).
TEST(MdctSpec, SizesHeaderAndTwiddles) {
  struct Row {
    int len, spec, init, buf;  // -1: not checked
  };
  // 8192: FFT order 11 needs an init buffer.
  const Row rows[] = {{12, 116, 0, 112},    {36, 164, 0, 208},    {32, 304, 0, 224},
                      {256, 1404, 0, 1664}, {512, 2492, 0, 3200}, {8192, -1, 2048 + 64, -1}};
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    int32_t s = -1, i = -1, b = -1;
    for (const Row& r : rows) {
      ASSERT_EQ(v.mdctGetSize(r.len, &s, &i, &b), 0) << r.len;
      EXPECT_TRUE((r.spec < 0 || s == r.spec) && i == r.init && (r.buf < 0 || b == r.buf)) << r.len;
    }
    // Lengths whose FFT runs the blocked large transform are sized like the others.
    EXPECT_EQ(v.mdctGetSize(8 << v.radix4Limit, &s, &i, &b), 0);
    for (int len : {32, 256, 512}) {
      Mdct m(v, len, 7);
      const MDCTInvSpec_32f* h = m.p;
      int32_t fftBuf = 0;
      ASSERT_EQ(v.fftGetBufSize(m.fft(), &fftBuf), 0);
      EXPECT_TRUE(h->tag == 56 && h->length == len && h->ownsMemory == 0 && h->twiddleOffset == 32);
      EXPECT_TRUE(h->fftOrder == (len == 32 ? 3 : len == 256 ? 6 : 7) && m.fft()->order == h->fftOrder);
      EXPECT_TRUE(h->fftSpecOffset == 32 + (len / 2 + 31) / 32 * 128 && h->workSize == fftBuf + 4 * len + 32);
      const float* t = m.twiddles();
      const auto tw = [len](double (*f)(double), int k) {
        return static_cast<float>(f((k + 0.125) * (6.283185307179586 / len)) / std::sqrt(len / 2.0));
      };
      for (int k = 0; k < len / 8; ++k) {
        const int g = k / 4, lane = k % 4, mirrored = len / 4 - 4 * g - 4 + lane;
        ASSERT_TRUE(t[16 * g + lane] == tw(std::sin, k) && t[16 * g + 4 + lane] == tw(std::cos, k));
        ASSERT_TRUE(t[16 * g + 8 + lane] == tw(std::sin, mirrored) && t[16 * g + 12 + lane] == tw(std::cos, mirrored));
      }
    }
    Mdct m36(v, 36);
    EXPECT_TRUE(m36.p->fftSpecOffset == 0 && m36.p->workSize == 4 * 36 + 32);
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
    alignas(32) MDCTInvSpec_32f zero = {};
    EXPECT_EQ(v.mdctInv(nullptr, nullptr, nullptr, nullptr), -8);
    EXPECT_EQ(v.mdctInv(data, data, &zero, nullptr), -17);
    EXPECT_EQ(v.mdctInv(nullptr, data, spec, nullptr), -8);
    EXPECT_EQ(v.mdctInv(data, nullptr, spec, nullptr), -8);
    std::vector<float> x(256, 1.0f), y(512, 5.0f);
    for (int field = 0; field < 5; ++field) {  // a damaged spec is refused
      Mdct m(v, 512);
      int32_t* words[5] = {&m.p->length, &m.p->workSize, &m.p->fftOrder, &m.p->twiddleOffset, &m.p->fftSpecOffset};
      *words[field] = field == 0 ? 1 << 30 : 8;
      EXPECT_EQ(v.mdctInv(x.data(), y.data(), m.p, nullptr), -17) << field;
    }
    // Without a buffer the transform allocates one; when it cannot, it says
    // so and writes nothing.
    for (int len : {12, 36, 256, 512}) {
      if (!v.available()) break;
      Mdct m(v, len);
      NoMemory noMemory;
      EXPECT_EQ(v.mdctInv(x.data(), y.data(), m.p, nullptr), -9) << len;
    }
    for (float f : y) ASSERT_EQ(f, 5.0f);
  }
}

// Every length of every variant against the direct formula, with its exact
// symmetries, on every path. SSSE3 and SSE4.1 agree bit for bit; SSE2 agrees
// with them where the inner FFT order is even or at most 5 (len 256, 1024,
// ... and 32 to 128); for odd orders from 7 (len 512, 2048, ...) its FFT
// takes a radix-8 first pass and agrees to rounding only.
TEST(MdctAccuracy, EveryLengthAgainstTheDirectFormulaAndAcrossVariants) {
  std::vector<int> lengths = {12, 36};
  for (int len = 32; len <= 4 << 17; len *= 2) lengths.push_back(len);
  for (int len : lengths) {
    const std::vector<float> x = coefficients(len, len);
    const std::vector<double> want = reference(x, len);
    std::vector<float> results[3];
    for (int vi = 0; vi < 3; ++vi) {
      const Variant& v = variants()[vi];
      if (!v.available() || len > 4 << v.radix4Limit) continue;
      SCOPED_TRACE(std::string(v.name) + " len " + std::to_string(len));
      Mdct m(v, len, 4);
      const std::vector<float> y = results[vi] = run(v, m, x);
      // 12 and 36 points use output factors held to six decimals.
      EXPECT_LE(relativeErrorReal(y.data(), want), len == 12 || len == 36 ? 2e-5 : 1e-6);
      for (int n = 0; n < len / 4; ++n)
        ASSERT_TRUE(y[len / 2 - 1 - n] == -y[n] && y[len - 1 - n] == y[len / 2 + n]) << n;
      EXPECT_EQ(run(v, m, x, 8), y) << "misaligned destination";
      EXPECT_EQ(run(v, m, x, 0, false), y) << "own buffer";
      EXPECT_EQ(run(v, m, x, 4, true, 12), y) << "buffer 12 bytes off";
      // In place: the source occupies the start of the destination.
      std::vector<float> io(len + 1);
      std::copy(x.begin(), x.end(), io.begin() + 1);
      ASSERT_EQ(v.mdctInv(io.data() + 1, io.data() + 1, m.p, nullptr), 0);
      EXPECT_TRUE(std::equal(y.begin(), y.end(), io.begin() + 1)) << "in place";
      // The public entry points follow the process-wide variant index
      // (slots 0 and 1: SSE2).
      for (uint32_t slot = vi == 0 ? 0 : vi + 1; len == 512 && slot <= uint32_t(vi + 1); ++slot) {
        const uint32_t saved = vpVariantIndex.exchange(slot);
        int32_t s, i, b;
        ASSERT_EQ(vpsMDCTInvGetSize_32f(len, &s, &i, &b), 0);
        std::vector<uint8_t> spec(s), init(std::max(i, 1)), buf(b);
        std::vector<float> out(len);
        MDCTInvSpec_32f* p = nullptr;
        EXPECT_TRUE(s == 2492 && vpsMDCTInvInit_32f(&p, len, spec.data(), init.data()) == 0);
        EXPECT_TRUE(vpsMDCTInv_32f(x.data(), out.data(), p, buf.data()) == 0 && out == y) << "slot " << slot;
        EXPECT_EQ(vpsMDCTInv_32f(x.data(), out.data(), nullptr, buf.data()), -8);
        vpVariantIndex.store(saved);
      }
      // Unit impulses give one basis function each.
      for (int k0 : {0, 1, len / 4, len / 2 - 1}) {
        if (len > 512) break;
        std::vector<float> imp(len / 2, 0.0f);
        imp[k0] = 1.0f;
        const std::vector<float> b = run(v, m, imp);
        for (int n = 0; n < len; ++n) ASSERT_NEAR(b[n], basis(len, n, k0), len <= 36 ? 2e-6 : 2e-7) << k0 << " " << n;
      }
    }
    const int order = len >= 32 ? __builtin_ctz(len / 4) : 0;
    EXPECT_TRUE(results[2].empty() || results[1] == results[2]) << len;
    EXPECT_TRUE(results[1].empty() || results[0].empty() || (order > 5 && order % 2) || results[0] == results[1]) << len;
  }
}

// The processing steps on their own, with the twiddles of an MDCT spec: the
// forward pair around the FFT gives the scaled MDCT; pre-processing in place
// or from an unaligned source and post-processing to an unaligned
// destination give the same bits; one non-zero FFT output touches exactly
// four samples.
TEST(MdctSteps, ForwardPairAndInverseStepsOnTheirOwn) {
  for (const Variant& v : availableVariants()) {
    for (int len : {32, 64, 256, 512, 1024}) {
      SCOPED_TRACE(std::string(v.name) + " len " + std::to_string(len));
      Mdct m(v, len);
      const float* t = m.twiddles();
      const std::vector<float> x = randomFloats(len, 11 * len);
      Guarded z(2 * len), zin(2 * len + 4), zu(2 * len);
      std::vector<float> out(len / 2), y(len), y2(len + 1);
      std::vector<uint8_t> buf(m.bufSize);
      v.fwdPre(x.data(), z.as<float>(), len, t);
      ASSERT_EQ(v.fftFwd(z.as<vpComplex32f>(), z.as<vpComplex32f>(), m.fft(), buf.data()), 0);
      v.fwdPost(z.as<float>(), out.data(), len, t);
      std::vector<double> want(len / 2, 0.0);
      for (int k = 0; k < len / 2; ++k)
        for (int n = 0; n < len; ++n) want[k] += x[n] * basis(len, n, k);
      EXPECT_LE(relativeErrorReal(out.data(), want), 1e-6);

      v.invPre(x.data(), z.as<float>(), len, t);
      std::copy(x.begin(), x.begin() + len / 2, zin.as<float>());
      v.invPre(zin.as<float>(), zin.as<float>(), len, t);
      EXPECT_EQ(std::memcmp(z.data(), zin.data(), 2 * len), 0) << "pre-processing in place";
      std::copy(x.begin(), x.begin() + len / 2, zin.as<float>() + 1);
      v.invPre(zin.as<float>() + 1, zu.as<float>(), len, t);
      EXPECT_EQ(std::memcmp(z.data(), zu.data(), 2 * len), 0) << "unaligned source";
      v.invPost(z.as<float>(), y.data(), len, t);
      v.invPost(z.as<float>(), y2.data() + 1, len, t);
      EXPECT_TRUE(std::equal(y.begin(), y.end(), y2.begin() + 1)) << "unaligned destination";
      for (int q = 0; q < len / 4; ++q) {
        std::vector<float> one(len / 2, 0.0f);
        one[2 * q] = 1.0f, one[2 * q + 1] = 0.5f;
        Guarded in(one, 0);
        v.invPost(in.as<float>(), y.data(), len, t);
        EXPECT_EQ(std::count_if(y.begin(), y.end(), [](float f) { return f != 0.0f; }), 4) << q;
      }
    }
  }
}

}  // namespace
