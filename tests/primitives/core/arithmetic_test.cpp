// Vector arithmetic: every member against one scalar IEEE operation per
// element (two, unfused, for the scaled accumulation), at every
// misalignment, with guard bytes; special factors; statuses; MXCSR.
#include <cmath>
#include <vector>

#include "checkasm.h"
#include "reference.h"

namespace {

using checkasm::Guarded;

float element(size_t i) {
  switch (checkasm::rng()() % 16) {
    case 0: return NAN;
    case 1: return (i & 1) ? INFINITY : -INFINITY;
    case 2: return (i & 1) ? 0.0f : -0.0f;
    case 3: return 1e-41f;
    default: return checkasm::randomFloat(1000.0f);
  }
}

void fillFloats(float* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const float v = element(i);
    std::memcpy(p + i, &v, 4);
  }
}

bool sameBits(const float* a, const float* b, size_t n) { return std::memcmp(a, b, n * 4) == 0; }

// Sweeps lengths and misalignments of a two-input operation; `call` runs the
// member on (in, inOut) and `ref` gives the expected element.
template <typename Call, typename Ref>
void sweepTwoInputs(const char* name, Call call, Ref ref, bool inPlace) {
  std::vector<int32_t> lengths = checkasm::sweepLengths(4099);
  for (int32_t len : lengths) {
    const size_t n = static_cast<size_t>(len), bytes = n * 4;
    for (size_t so = 0; so < 16; so += 4) {
      for (size_t d = 0; d < 16; d += 4) {
        Guarded a(bytes, so), b(bytes, d), out(bytes, (d + 8) % 16);
        fillFloats(a.as<float>(), n);
        fillFloats(b.as<float>(), n);
        std::vector<float> want(n);
        for (size_t i = 0; i < n; ++i) want[i] = ref(a.as<float>()[i], b.as<float>()[i]);
        const uint32_t before = _mm_getcsr();
        ASSERT_EQ(StatusOk, call(a.as<float>(), b.as<float>(), out.as<float>(), len));
        EXPECT_MXCSR_CONTROL_KEPT(before);
        float* result = inPlace ? b.as<float>() : out.as<float>();
        ASSERT_TRUE(sameBits(want.data(), result, n)) << checkasm::where(name, n, so, d);
        ASSERT_TRUE(a.guardsIntact() && b.guardsIntact() && out.guardsIntact()) << checkasm::where(name, n, so, d);
      }
    }
  }
}

// NaN results compare by bits; the processor's NaN rules are the same for a
// scalar and a packed operation.
float add(float x, float y) { return _mm_cvtss_f32(_mm_add_ss(_mm_set_ss(x), _mm_set_ss(y))); }
float sub(float x, float y) { return _mm_cvtss_f32(_mm_sub_ss(_mm_set_ss(x), _mm_set_ss(y))); }
float mul(float x, float y) { return _mm_cvtss_f32(_mm_mul_ss(_mm_set_ss(x), _mm_set_ss(y))); }

TEST(Arithmetic, AddSubMulAndAccumulateEveryMember) {
  checkasm::MxcsrScope mxcsr;
  for (const auto& m : CHECKASM_MEMBERS(vpsAdd_32f)) {
    sweepTwoInputs(m.name, [&](const float* a, const float* b, float* o, int32_t n) { return m.fn(a, b, o, n); },
                   [](float x, float y) { return add(x, y); }, false);
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsAdd_32f_I)) {
    sweepTwoInputs(m.name, [&](const float* a, float* b, float*, int32_t n) { return m.fn(a, b, n); },
                   [](float x, float y) { return add(y, x); }, true);
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsSub_32f_I)) {
    sweepTwoInputs(m.name, [&](const float* a, float* b, float*, int32_t n) { return m.fn(a, b, n); },
                   [](float x, float y) { return sub(y, x); }, true);  // pSrcDst - pSrc
  }
  const float val = 1.75f;
  for (const auto& m : CHECKASM_MEMBERS(vpsMulC_32f)) {
    sweepTwoInputs(m.name, [&](const float* a, const float*, float* o, int32_t n) { return m.fn(a, val, o, n); },
                   [&](float x, float) { return mul(x, val); }, false);
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsMulC_32f_I)) {
    sweepTwoInputs(m.name, [&](const float*, float* b, float*, int32_t n) { return m.fn(val, b, n); },
                   [&](float, float y) { return mul(y, val); }, true);
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsAddProductC_32f)) {
    sweepTwoInputs(m.name, [&](const float* a, float* b, float*, int32_t n) { return m.fn(a, val, b, n); },
                   [&](float x, float y) { return add(mul(x, val), y); }, true);
  }
}

// Destinations that are not even 4-byte aligned take their own path.
TEST(Arithmetic, DestinationsAtOddAddresses) {
  checkasm::MxcsrScope mxcsr;
  for (const auto& m : CHECKASM_MEMBERS(vpsAdd_32f)) {
    for (int32_t len : {10, 11, 37, 1000}) {
      for (size_t d : {1u, 2u, 3u, 7u}) {
        const size_t n = static_cast<size_t>(len);
        Guarded a(n * 4, 0), b(n * 4, 4), out(n * 4, d);
        fillFloats(a.as<float>(), n);
        fillFloats(b.as<float>(), n);
        ASSERT_EQ(StatusOk, m.fn(a.as<float>(), b.as<float>(), out.as<float>(), len));
        for (size_t i = 0; i < n; ++i) {
          const float want = add(a.as<float>()[i], b.as<float>()[i]);
          float got;
          std::memcpy(&got, out.data() + 4 * i, 4);
          ASSERT_EQ(reference::bitsOf(want), reference::bitsOf(got)) << checkasm::where(m.name, n, d);
        }
        ASSERT_TRUE(out.guardsIntact());
      }
    }
  }
}

TEST(Arithmetic, SpecialFactors) {
  const uint32_t sNaN = 0x7F800001u, payload = 0xFFC12345u;
  float src[12], dst[12];
  for (int i = 0; i < 12; ++i) src[i] = static_cast<float>(i) - 5.5f;
  src[0] = reference::floatOf(sNaN);
  src[1] = reference::floatOf(payload);
  src[2] = -INFINITY;
  for (const auto& m : CHECKASM_MEMBERS(vpsMulC_32f)) {
    ASSERT_EQ(StatusOk, m.fn(src, 1.0f, dst, 12));
    EXPECT_TRUE(sameBits(src, dst, 12)) << m.name << ": a factor of 1 copies bits";
    ASSERT_EQ(StatusOk, m.fn(src, -0.0f, dst, 12));
    for (float v : dst) EXPECT_EQ(0u, reference::bitsOf(v)) << m.name << ": a zero factor gives +0.0";
    ASSERT_EQ(StatusOk, m.fn(src, NAN, dst, 12));
    for (float v : dst) EXPECT_TRUE(std::isnan(v)) << m.name;
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsMulC_32f_I)) {
    float data[12];
    std::memcpy(data, src, sizeof data);
    ASSERT_EQ(StatusOk, m.fn(1.0f, data, 12));
    EXPECT_TRUE(sameBits(src, data, 12)) << m.name;
    ASSERT_EQ(StatusOk, m.fn(0.0f, data, 12));
    for (float v : data) EXPECT_EQ(0u, reference::bitsOf(v)) << m.name;
  }
}

TEST(Arithmetic, AccumulationIsNeverFused) {
  const float x = 1.0f + std::ldexp(1.0f, -12);
  for (const auto& m : CHECKASM_MEMBERS(vpsAddProductC_32f)) {
    std::vector<float> src(19, x), acc(19, -(1.0f + std::ldexp(1.0f, -11)));
    ASSERT_EQ(StatusOk, m.fn(src.data(), x, acc.data(), 19));
    for (float v : acc) EXPECT_EQ(0.0f, v) << m.name << ": a fused multiply-add gives 2^-24";
  }
}

TEST(Arithmetic, CallerRoundingModeApplies) {
  for (const auto& m : CHECKASM_MEMBERS(vpsAdd_32f)) {
    std::vector<float> a(20, 1.0f), b(20, std::ldexp(1.0f, -30)), o(20);
    {
      checkasm::MxcsrScope up(0x5F80);
      ASSERT_EQ(StatusOk, m.fn(a.data(), b.data(), o.data(), 20));
      EXPECT_EQ(0x5F80u & checkasm::kMxcsrControl, _mm_getcsr() & checkasm::kMxcsrControl);
    }
    for (float v : o) EXPECT_EQ(std::nextafter(1.0f, 2.0f), v) << m.name;
  }
}

TEST(Arithmetic, StatusesInOrder) {
  float a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 4};
  for (const auto& m : CHECKASM_MEMBERS(vpsAdd_32f)) {
    EXPECT_EQ(StatusNullPointer, m.fn(a, b, nullptr, 4));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, b, a, 0));
    EXPECT_EQ(StatusSizeError, m.fn(a, b, b, 0));
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsAdd_32f_I)) EXPECT_EQ(StatusNullPointer, m.fn(a, nullptr, 0));
  for (const auto& m : CHECKASM_MEMBERS(vpsSub_32f_I)) EXPECT_EQ(StatusSizeError, m.fn(a, b, -3));
  for (const auto& m : CHECKASM_MEMBERS(vpsMulC_32f)) EXPECT_EQ(StatusNullPointer, m.fn(a, 1.0f, nullptr, 0));
  for (const auto& m : CHECKASM_MEMBERS(vpsMulC_32f_I)) {
    EXPECT_EQ(StatusNullPointer, m.fn(1.0f, nullptr, 4));
    EXPECT_EQ(StatusSizeError, m.fn(0.0f, b, 0));
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsAddProductC_32f)) {
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 2.0f, b, 0));
    EXPECT_EQ(StatusSizeError, m.fn(a, 2.0f, b, 0));
  }
  EXPECT_EQ(1.0f, b[0]);
  EXPECT_EQ(4.0f, b[3]);
}

}  // namespace
