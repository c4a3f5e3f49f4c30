// Sample conversion: the public 32f-to-16s conversion of every member against
// the scalar rule for each rounding mode and scale factor, at every
// misalignment, with guard bytes and the caller's MXCSR; the edge tables of
// the other conversion kernels.
#include <cmath>
#include <limits>
#include <vector>

#include "checkasm.h"
#include "reference.h"

namespace {

using checkasm::Guarded;

float convertInput(size_t i) {
  static const float specials[] = {2.5f, 3.5f, -2.5f, 0.5f, -0.5f, 2.7f, -2.7f, 0.49999997f, 40000.0f,
                                   -40000.0f, -1e10f, INFINITY, -INFINITY, NAN, -NAN, 32767.5f, -32768.5f,
                                   3.0f, 5.0f, -0.0f, 1e-40f};
  if (checkasm::rng()() % 4 == 0) return specials[i % (sizeof specials / sizeof specials[0])];
  return checkasm::randomFloat(50000.0f);
}

TEST(Convert, Every32f16sMemberModeScaleAndMisalignment) {
  for (const auto& m : CHECKASM_MEMBERS(vpsConvert_32f16s_Sfs)) {
    for (int32_t mode : {0, 1, 2, 7}) {
      for (int32_t sf : {0, 1, 3, -2, -15}) {
        for (int32_t len : checkasm::sweepLengths(1029)) {
          const size_t n = static_cast<size_t>(len);
          for (size_t so = 0; so < 16; so += 4) {
            for (size_t d = 0; d < 16; d += 2) {
              Guarded src(n * 4, so), dst(n * 2, d);
              std::vector<int16_t> want(n);
              for (size_t i = 0; i < n; ++i) {
                src.as<float>()[i] = convertInput(i);
                want[i] = reference::convert16s(src.as<float>()[i], mode, sf);
              }
              checkasm::MxcsrScope mxcsr;
              ASSERT_EQ(StatusOk, m.fn(src.as<float>(), dst.as<int16_t>(), len, mode, sf));
              EXPECT_EQ(0x1F80u, _mm_getcsr() & checkasm::kMxcsrControl);
              ASSERT_EQ(0, std::memcmp(want.data(), dst.data(), n * 2))
                  << checkasm::where(m.name, n, so, d) << " mode " << mode << " factor " << sf;
              ASSERT_TRUE(dst.guardsIntact());
            }
          }
        }
      }
    }
  }
}

// Worked values {input, mode, scale factor, result}: ties by mode, saturation,
// NaN by mode, scaled values, and factors whose multiplier underflows or
// overflows.
TEST(Convert, EdgeTable32f16s) {
  struct Row {
    float x;
    int32_t mode, sf;
    int16_t want;
  };
  const Row rows[] = {{2.5f, 1, 0, 2},          {3.5f, 1, 0, 4},         {-2.5f, 1, 0, -2},      {0.5f, 1, 0, 0},
                      {2.7f, 0, 0, 2},          {-2.7f, 0, 0, -2},       {2.5f, 2, 0, 3},        {-2.5f, 2, 0, -3},
                      {0.49999997f, 2, 0, 0},   {NAN, 0, 0, 0},          {NAN, 1, 0, 0},         {NAN, 2, 0, 32767},
                      {NAN, -4, 0, 32767},      {3.0f, 0, 1, 1},         {3.0f, 1, 1, 2},        {3.0f, 2, 1, 2},
                      {5.0f, 1, 1, 2},          {5.0f, 2, 1, 3},         {1.0f, 1, -15, 32767},  {1e4f, 1, 200, 0},
                      {1.0f, 1, -2000000000, 32767}};
  checkasm::MxcsrScope mxcsr;
  for (const auto& m : CHECKASM_MEMBERS(vpsConvert_32f16s_Sfs)) {
    auto one = [&](float x, int32_t mode, int32_t sf) {
      int16_t out = 0x5555;
      EXPECT_EQ(StatusOk, m.fn(&x, &out, 1, mode, sf));
      return out;
    };
    for (const Row& r : rows) EXPECT_EQ(r.want, one(r.x, r.mode, r.sf)) << m.name << " " << r.x << " " << r.mode << " " << r.sf;
    for (int32_t mode : {0, 1, 2}) {
      for (float big : {40000.0f, INFINITY}) EXPECT_EQ(32767, one(big, mode, 0)) << m.name;
      for (float small : {-40000.0f, -1e10f, -INFINITY}) EXPECT_EQ(-32768, one(small, mode, 0)) << m.name;
    }
  }
}

TEST(Convert, CallerMxcsrComesBack) {
  const float in[9] = {2.5f, NAN, 3.5f, -2.5f, 1e10f, 0.5f, 7.5f, -7.5f, 100.25f};
  // toward zero; down with DAZ and FTZ; up with masks cleared for overflow
  for (uint32_t word : {0x7F80u, 0x3FC0u | 0x8000u, 0x5F80u & ~0x0400u, 0x1F80u}) {
    for (const auto& m : CHECKASM_MEMBERS(vpsConvert_32f16s_Sfs)) {
      for (int32_t mode : {0, 1, 2}) {
        int16_t out[9];
        const uint16_t x87 = ps_get_cw_fpu();
        {
          checkasm::MxcsrScope mxcsr(word);
          ASSERT_EQ(StatusOk, m.fn(in, out, 9, mode, 0));
          EXPECT_EQ(word & checkasm::kMxcsrControl, _mm_getcsr() & checkasm::kMxcsrControl) << m.name << " " << mode;
          if (mode != 2) {
            EXPECT_EQ(0u, _mm_getcsr() & 1u) << "the invalid flag of a NaN does not survive";
          }
        }
        EXPECT_EQ(x87, ps_get_cw_fpu()) << "the x87 control word is not touched";
        EXPECT_EQ(mode == 0 ? 2 : (mode == 1 ? 2 : 3), out[0]) << m.name;
        EXPECT_EQ(mode == 2 ? 32767 : 0, out[1]) << m.name;
        EXPECT_EQ(mode == 0 ? 3 : 4, out[2]) << m.name;
      }
    }
  }
}

// With the caller already rounding to nearest and no invalid operation, the
// register is left as the conversion leaves it: the precision flag stays.
TEST(Convert, FlagsRaisedUnderNearestStay) {
  const float in[3] = {2.5f, 1.25f, -7.75f};
  for (const auto& m : CHECKASM_MEMBERS(vpsConvert_32f16s_Sfs)) {
    checkasm::MxcsrScope mxcsr(0x1F80);
    int16_t out[3];
    ASSERT_EQ(StatusOk, m.fn(in, out, 3, 1, 0));
    EXPECT_EQ(0x1FA0u, _mm_getcsr()) << m.name;
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsJoin_32f16s_D2L)) {
    checkasm::MxcsrScope mxcsr(0x1F80);
    const float nan[4] = {NAN, 1.0f, 2.0f, 3.0f};
    const float* src[2] = {nan, in};
    int16_t out[6];
    ASSERT_EQ(StatusOk, m.fn(src, 2, 3, out));
    EXPECT_EQ(0x1F81u, _mm_getcsr() & 0xFFFFFFC1u) << m.name << ": invalid stays set for the caller";
  }
}

TEST(Convert, StatusesInOrder) {
  float x = 1.0f;
  int16_t out = 77;
  for (const auto& m : CHECKASM_MEMBERS(vpsConvert_32f16s_Sfs)) {
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, &out, 0, 1, 0));
    EXPECT_EQ(StatusNullPointer, m.fn(&x, nullptr, 1, 1, 0));
    EXPECT_EQ(StatusSizeError, m.fn(&x, &out, 0, 1, 0));
    EXPECT_EQ(StatusSizeError, m.fn(&x, &out, -1, 2, 0));
    EXPECT_EQ(77, out);
  }
}

// The other kernels: each member of each gives the same, table-given values.

const float kTableIn[] = {2.5f, 3.5f, -2.5f, 2.7f, -2.7f, 300.0f, -300.0f, 70000.0f, -70000.0f, INFINITY, -INFINITY, NAN, -NAN, 3e9f, -3e9f};
constexpr int32_t kN = sizeof kTableIn / sizeof kTableIn[0];

TEST(ConvertKernels, To8BitAnd16u) {
  checkasm::MxcsrScope mxcsr;
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_32f8s_Sfs)) {
    int8_t o[kN];
    fn(kTableIn, o, kN, 1, 0);
    const int8_t want[kN] = {2, 4, -2, 3, -3, 127, -128, 127, -128, 127, -128, 0, 0, 127, -128};
    EXPECT_EQ(0, std::memcmp(want, o, kN));
    fn(kTableIn, o, kN, 0, 0);
    EXPECT_EQ(2, o[3]);
    EXPECT_EQ(-2, o[4]);
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_32f8u_Sfs)) {
    uint8_t o[kN];
    fn(kTableIn, o, kN, 1, 0);
    const uint8_t want[kN] = {2, 4, 0, 3, 0, 255, 0, 255, 0, 255, 0, 0, 0, 255, 0};
    EXPECT_EQ(0, std::memcmp(want, o, kN));
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_32f16u_Sfs)) {
    uint16_t o[kN];
    fn(kTableIn, o, kN, 1, 0);
    const uint16_t want[kN] = {2, 4, 0, 3, 0, 300, 0, 65535, 0, 65535, 0, 0, 0, 65535, 0};
    EXPECT_EQ(0, std::memcmp(want, o, sizeof want));
    const float x = 100000.0f;
    fn(&x, o, 1, 2, 1);  // 50000
    EXPECT_EQ(50000, o[0]);
  }
}

TEST(ConvertKernels, To32s) {
  checkasm::MxcsrScope mxcsr;
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_32f32s_Sfs)) {
    int32_t o[kN];
    fn(kTableIn, o, kN, 1, 0);
    EXPECT_EQ(2, o[0]);
    EXPECT_EQ(70000, o[7]);
    EXPECT_EQ(INT32_MAX, o[9]);
    EXPECT_EQ(INT32_MIN, o[10]);
    EXPECT_EQ(0, o[11]);
    EXPECT_EQ(0, o[12]);
    EXPECT_EQ(INT32_MAX, o[13]);
    EXPECT_EQ(INT32_MIN, o[14]);
    const float edge[] = {2147483520.0f, 2147483648.0f};
    fn(edge, o, 2, 0, 0);
    EXPECT_EQ(2147483520, o[0]);
    EXPECT_EQ(INT32_MAX, o[1]);
  }
  const double dIn[] = {2.5, 3.5, -2.5, 3e9, -3e9, NAN, 2147483647.4, -2147483648.6};
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_64f32s_Sfs)) {
    int32_t o[8];
    fn(dIn, o, 8, 1, 0);
    const int32_t want[8] = {2, 4, -2, INT32_MAX, INT32_MIN, 0, INT32_MAX, INT32_MIN};
    EXPECT_EQ(0, std::memcmp(want, o, sizeof want));
    fn(dIn, o, 1, 1, -1);  // 5.0
    EXPECT_EQ(5, o[0]);
  }
  EXPECT_EQ(0x1F80u, _mm_getcsr() & checkasm::kMxcsrControl);
}

// Ties away from zero; the 32s kernel sets rounding toward zero itself, the
// others run under their caller's.
TEST(ConvertKernels, TiesAwayFromZero) {
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrtFin_32f32s_Sfs)) {
    checkasm::MxcsrScope mxcsr(0x1F80);
    int32_t o[kN];
    fn(kTableIn, o, kN, 0);
    EXPECT_EQ(0x1F80u, _mm_getcsr() & checkasm::kMxcsrControl);
    EXPECT_EQ(3, o[0]);
    EXPECT_EQ(4, o[1]);
    EXPECT_EQ(-3, o[2]);
    EXPECT_EQ(INT32_MAX, o[11]) << "NaN with its sign bit clear";
    EXPECT_EQ(INT32_MIN, o[12]) << "NaN with its sign bit set";
  }
  checkasm::MxcsrScope towardZero(0x7F80);
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrtFin_32f8s_Sfs)) {
    int8_t o[kN];
    fn(kTableIn, o, kN, 0);
    const int8_t want[kN] = {3, 4, -3, 3, -3, 127, -128, 127, -128, 127, -128, 127, 127, 127, -128};
    EXPECT_EQ(0, std::memcmp(want, o, kN));
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrtFin_32f8u_Sfs)) {
    uint8_t o[kN];
    fn(kTableIn, o, kN, 0);
    EXPECT_EQ(3, o[0]);
    EXPECT_EQ(255, o[11]);
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrtFin_32f16u_Sfs)) {
    uint16_t o[kN];
    fn(kTableIn, o, kN, 0);
    EXPECT_EQ(3, o[0]);
    EXPECT_EQ(0, o[11]);
    EXPECT_EQ(65535, o[7]);
  }
  const double dIn[] = {2.5, -2.5, NAN, 0.49999999999999994};
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrtFin_64f32s_Sfs)) {
    int32_t o[4];
    fn(dIn, o, 4, 0);
    EXPECT_EQ(3, o[0]);
    EXPECT_EQ(-3, o[1]);
    EXPECT_EQ(INT32_MAX, o[2]);
    EXPECT_EQ(0, o[3]);
  }
  EXPECT_EQ(0x7F80u, _mm_getcsr() & checkasm::kMxcsrControl);
}

TEST(ConvertKernels, IntegerToFloat) {
  const int8_t s8[] = {-128, -1, 0, 127};
  const uint8_t u8[] = {0, 1, 200, 255};
  const int16_t s16[] = {-32768, -1, 0, 32767};
  const uint16_t u16[] = {0, 1, 40000, 65535};
  const int32_t s32[] = {16777217, -16777217, INT32_MAX, 5};
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_8s32f)) {
    float o[4];
    fn(s8, o, 4);
    EXPECT_EQ(-128.0f, o[0]);
    EXPECT_EQ(127.0f, o[3]);
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_8u32f)) {
    float o[4];
    fn(u8, o, 4);
    EXPECT_EQ(255.0f, o[3]);
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_16s32f)) {
    float o[4];
    fn(s16, o, 4);
    EXPECT_EQ(-32768.0f, o[0]);
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_16u32f)) {
    float o[4];
    fn(u16, o, 4);
    EXPECT_EQ(65535.0f, o[3]);
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_32s32f)) {
    float o[4];
    {
      checkasm::MxcsrScope up(0x5F80);
      fn(s32, o, 4);
    }
    EXPECT_EQ(16777218.0f, o[0]) << "rounded up under the caller's mode";
    EXPECT_EQ(-16777216.0f, o[1]);
    EXPECT_EQ(2147483648.0f, o[2]);
    EXPECT_EQ(5.0f, o[3]);
  }
  for (auto fn : CHECKASM_KERNELS(ownvpsCnvrt_32s64f)) {
    double o[4];
    fn(s32, o, 4);
    EXPECT_EQ(16777217.0, o[0]);
    EXPECT_EQ(2147483647.0, o[2]);
  }
}

TEST(ConvertKernels, Shift64To32RoundsAwayAndSaturates) {
  const int64_t in[] = {3, -3, 5, -5, 4, INT64_MAX, INT64_MIN, (int64_t{1} << 32) - 1, -(int64_t{1} << 32) - 1, 0};
  for (auto fn : CHECKASM_KERNELS(ownsConvert_64s32s_SfPosFin_W7)) {
    int32_t o[10];
    fn(in, o, 10, 1);
    // 1.5, -1.5, 2.5, -2.5, 2, overflow, overflow, 2147483647.5, -2147483648.5, 0
    const int32_t want[10] = {2, -2, 3, -3, 2, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, 0};
    EXPECT_EQ(0, std::memcmp(want, o, sizeof want));
    fn(in, o, 10, 31);
    EXPECT_EQ(0, o[0]);
    EXPECT_EQ(2, o[7]);  // (2^32 - 1) / 2^31 = 1.99...
    fn(in, o, 10, 40);
    EXPECT_EQ(8388608, o[5]);  // INT64_MAX / 2^40, rounded
    fn(in, o, 10, 0);
    EXPECT_EQ(3, o[0]);
    EXPECT_EQ(INT32_MAX, o[7]);
  }
}

// Every conversion kernel, every member, against the plain per-element rule
// over rounding modes and scale factors (including multipliers that flush to
// zero or overflow), at every length up to 65 and a large one, misaligned,
// with guard bytes.
template <typename T>
T extremeOr(size_t i, const std::vector<T>& extremes, T random) {
  return checkasm::rng()() % 4 == 0 ? extremes[i % extremes.size()] : random;
}

float floatInput(size_t i) {
  static const std::vector<float> extremes = {
      2.5f, -2.5f, 3.5f, 0.5f, -0.5f, 0.49999997f, 126.5f, 127.5f, -128.5f, 254.5f, 255.5f, 32766.5f, 32767.5f,
      -32768.5f, 65534.5f, 65535.5f, 2147483520.0f, 2147483648.0f, -2147483648.0f, -2147483904.0f, 1e10f, -1e10f,
      INFINITY, -INFINITY, NAN, -NAN, reference::floatOf(0x7FA00001u), reference::floatOf(0xFFC12345u), 0.0f, -0.0f,
      1e-40f, -1e-40f, 3e38f};
  const float scales[] = {2.0f, 300.0f, 70000.0f, 3e9f};
  return extremeOr(i, extremes, checkasm::randomFloat(scales[checkasm::rng()() % 4]));
}

double doubleInput(size_t i) {
  static const std::vector<double> extremes = {2.5, -2.5, 3.5, 0.49999999999999994, 2147483647.4, 2147483647.5,
                                               -2147483648.5, -2147483649.0, 1e300, -1e300, INFINITY, -INFINITY,
                                               NAN, -NAN, 0.0, -0.0, 5e-324};
  return extremeOr(i, extremes, static_cast<double>(checkasm::randomFloat(3e9f)) + 0.25 * (checkasm::rng()() % 4));
}

template <typename T>
T integerInput(size_t i) {
  static const std::vector<T> extremes = {std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), 0, 1,
                                          static_cast<T>(-1)};
  return extremeOr(i, extremes, static_cast<T>(checkasm::rng()() ^ (uint64_t{checkasm::rng()()} << 32)));
}

const int32_t kFactors[] = {0, 1, 3, -2, -15, 31, 160, -130};

#define SWEEP_SFS(S, D, kernel, input)                                                                          \
  for (int32_t mode : {0, 1})                                                                                   \
    for (int32_t sf : kFactors)                                                                                 \
      checkasm::sweepKernel<S, D>(                                                                              \
          #kernel, CHECKASM_KERNELS(kernel),                                                                    \
          [&](auto fn, const S* s, D* d, int32_t n) { fn(s, d, n, mode, sf); }, input,                          \
          [&](S x) { return reference::convertSfs<D>(x, mode, sf); })

// The ties-away kernels run under rounding toward zero, as the public
// conversion calls them; factors whose multiplier stays exact.
#define SWEEP_FIN(S, D, kernel, input)                                                                         \
  for (int32_t sf : {0, 1, 3, -2, -15, 31})                                                                    \
    checkasm::sweepKernel<S, D>(                                                                               \
        #kernel, CHECKASM_KERNELS(kernel), [&](auto fn, const S* s, D* d, int32_t n) { fn(s, d, n, sf); },      \
        input, [&](S x) { return reference::convertFin<D>(x, sf); }, 0x7F80)

TEST(ConvertKernels, FloatToIntegerAgainstPlainRule) {
  SWEEP_SFS(float, int8_t, ownvpsCnvrt_32f8s_Sfs, floatInput);
  SWEEP_SFS(float, uint8_t, ownvpsCnvrt_32f8u_Sfs, floatInput);
  SWEEP_SFS(float, int16_t, ownvpsCnvrt_32f16s_Sfs, floatInput);
  SWEEP_SFS(float, uint16_t, ownvpsCnvrt_32f16u_Sfs, floatInput);
  SWEEP_SFS(float, int32_t, ownvpsCnvrt_32f32s_Sfs, floatInput);
  SWEEP_SFS(double, int32_t, ownvpsCnvrt_64f32s_Sfs, doubleInput);
  SWEEP_FIN(float, int8_t, ownvpsCnvrtFin_32f8s_Sfs, floatInput);
  SWEEP_FIN(float, uint8_t, ownvpsCnvrtFin_32f8u_Sfs, floatInput);
  SWEEP_FIN(float, int16_t, ownvpsCnvrtFin_32f16s_Sfs, floatInput);
  SWEEP_FIN(float, uint16_t, ownvpsCnvrtFin_32f16u_Sfs, floatInput);
  SWEEP_FIN(float, int32_t, ownvpsCnvrtFin_32f32s_Sfs, floatInput);
  SWEEP_FIN(double, int32_t, ownvpsCnvrtFin_64f32s_Sfs, doubleInput);
}

#define SWEEP_TO_FLOAT(S, D, kernel, mxcsr)                                                                      \
  checkasm::sweepKernel<S, D>(                                                                                   \
      #kernel, CHECKASM_KERNELS(kernel), [](auto fn, const S* s, D* d, int32_t n) { fn(s, d, n); },               \
      integerInput<S>, [](S x) { return static_cast<D>(x); }, mxcsr)

TEST(ConvertKernels, IntegerToFloatAgainstPlainRule) {
  SWEEP_TO_FLOAT(int8_t, float, ownvpsCnvrt_8s32f, 0x1F80);
  SWEEP_TO_FLOAT(uint8_t, float, ownvpsCnvrt_8u32f, 0x1F80);
  SWEEP_TO_FLOAT(int16_t, float, ownvpsCnvrt_16s32f, 0x1F80);
  SWEEP_TO_FLOAT(uint16_t, float, ownvpsCnvrt_16u32f, 0x1F80);
  for (uint32_t mxcsr : {0x1F80u, 0x3F80u, 0x5F80u, 0x7F80u}) SWEEP_TO_FLOAT(int32_t, float, ownvpsCnvrt_32s32f, mxcsr);
  SWEEP_TO_FLOAT(int32_t, double, ownvpsCnvrt_32s64f, 0x1F80);
}

// Magnitudes spread over every bit length, and the values at the edges of
// each factor's range: the last that fits, the first that saturates, and
// the one whose rounding carries past 0x7FFFFFFF.
int64_t shiftInput(size_t i) {
  static const std::vector<int64_t> extremes = [] {
    std::vector<int64_t> v = {INT64_MIN, INT64_MAX, 0, -1, 1};
    for (int f = 1; f <= 31; ++f) {
      const int64_t top = int64_t{0x7FFFFFFF} << f;
      for (int64_t x : {top, top + (int64_t{1} << (f - 1)), top + (int64_t{1} << f), -top - (int64_t{1} << f),
                        -top - (int64_t{1} << f) - 1}) v.push_back(x);
    }
    return v;
  }();
  const int64_t random = static_cast<int64_t>(uint64_t{checkasm::rng()()} << 32 | checkasm::rng()());
  return extremeOr(i, extremes, random >> (checkasm::rng()() % 64));
}

TEST(ConvertKernels, Shift64To32AgainstPlainRule) {
  for (int32_t f : {1, 2, 7, 16, 30, 31}) {
    checkasm::sweepKernel<int64_t, int32_t>(
        "ownsConvert_64s32s_SfPosFin_W7", CHECKASM_KERNELS(ownsConvert_64s32s_SfPosFin_W7),
        [&](auto fn, const int64_t* s, int32_t* d, int32_t n) { fn(s, d, n, f); }, shiftInput,
        [&](int64_t x) { return reference::shift64To32(x, f); });
  }
}

}  // namespace
