// What the transform tests share: the processor variants with every member
// the tests call, double-precision references, seeded random data and
// guarded buffers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "transforms_internal.h"
#include "vpTransforms.h"

namespace transforms_test {

using Permute1 = void (*)(void*, int, const int32_t*);
using Permute2 = void (*)(const void*, void*, int, const int32_t*);

// Every member of a variant that the tests call, as an X-macro list:
// S(p, field, name) is one function, A(p, field, count, names...) an array
// of them (pairs are [forward, inverse]). The pair schedule of the
// permutations is swap (4- and 8-byte elements) and blk (in place; s, c, d,
// z), the tile schedule tile1 and tile2 (S, C, D, Z).
#define TT_MEMBERS(S, A, p)                                                                                     \
  S(p, fftGetSize, vpsFFTGetSize_C_32fc) S(p, fftInit, vpsFFTInit_C_32fc)                                        \
  S(p, fftGetBufSize, vpsFFTGetBufSize_C_32fc) S(p, fftFree, vpsFFTFree_C_32fc) S(p, fftFwd, vpsFFTFwd_CToC_32fc) \
  S(p, mdctGetSize, vpsMDCTInvGetSize_32f) S(p, mdctInit, vpsMDCTInvInit_32f) S(p, mdctInv, vpsMDCTInv_32f)       \
  S(p, invPre, vps_MDCTInvPreProcPow2_32f) S(p, invPost, vps_MDCTInvPostProcPow2_32f)                            \
  S(p, fwdPre, vps_MDCTFwdPreProcPow2_32f) S(p, fwdPost, vps_MDCTFwdPostProcPow2_32f)                            \
  S(p, twdBase, vps_initTabTwdBase_32f) S(p, twdStages, vps_initTabTwd_L1_32f)                                   \
  S(p, bitRevNorm, vps_initTabBitRevNorm) S(p, bitRevSwap, vps_initTabBitRev)                                    \
  S(p, bitRevLarge, vps_initTabBitRevLarge) A(p, swap1, 2, vps_BitRev1_4, vps_BitRev1_8)                         \
  A(p, swap2, 2, vps_BitRev2_4, vps_BitRev2_8)                                                                   \
  A(p, blk, 4, vps_sBitRev1_Blk, vps_cBitRev1_Blk, vps_dBitRev1_Blk, vps_zBitRev1_Blk)                          \
  A(p, tile1, 4, vps_BitRev1_S, vps_BitRev1_C, vps_BitRev1_D, vps_BitRev1_Z)                                    \
  A(p, tile2, 4, vps_BitRev2_S, vps_BitRev2_C, vps_BitRev2_D, vps_BitRev2_Z)                                    \
  A(p, small, 6, vps_cFFT_1_32fc, vps_cFFT_2_32fc, vps_cFFTfwd_4_32fc, vps_cFFTfwd_8_32fc, vps_cFFTfwd_16_32fc,   \
    vps_cFFTfwd_32_32fc)                                                                                         \
  A(p, smallScaled, 6, vps_cFFT_1_scale_32fc, vps_cFFT_2_scale_32fc, vps_cFFTfwd_4_scale_32fc,                   \
    vps_cFFTfwd_8_scale_32fc, vps_cFFTfwd_16_scale_32fc, vps_cFFTfwd_32_scale_32fc)                              \
  A(p, norm, 2, vps_cRadix4FwdNorm_32fc, vps_cRadix4InvNorm_32fc)                                               \
  A(p, bitReversed, 2, vps_cRadix4Fwd_32fc, vps_cRadix4Inv_32fc)                                                \
  A(p, crNorm, 2, vps_crRadix4FwdNorm_32f, vps_crRadix4InvNorm_32f)                                             \
  A(p, crBitReversed, 2, vps_crRadix4Fwd_32f, vps_crRadix4Inv_32f) S(p, fact4, vps_cFftFwd_Fact4_32fc)           \
  S(p, merge, vps_cFft_BlkMerge_32fc) S(p, split, vps_cFft_BlkSplit_32fc) S(p, crMerge, vps_crFft_BlkMerge_32f)  \
  S(p, crSplit, vps_crFft_BlkSplit_32f)
// The four-way split FFT, in SSSE3 and SSE4.1 only.
#define TT_FOURWAY_MEMBERS(A, p)                                                                                \
  A(p, core, 2, vps_cFftFwd_CoreMT_32fc, vps_cFftInv_CoreMT_32fc)                                               \
  A(p, crCore, 2, vps_crFftFwd_CoreMT_32f, vps_crFftInv_CoreMT_32f)                                             \
  A(p, last, 2, vps_cFftFwd_Fact4_Last_32fc, vps_cFftInv_Fact4_Last_32fc)                                       \
  A(p, crLast, 2, vps_crFftFwd_Fact4_Last_32f, vps_crFftInv_Fact4_Last_32f)

#define TT_CAT(a, b) TT_CAT2(a, b)
#define TT_CAT2(a, b) a##b
#define TT_FIRST(a, ...) a
#define TT_FIELD(p, field, name) decltype(&p##_##name) field;
#define TT_ARRAY_FIELD(p, field, count, ...) decltype(&TT_CAT(p##_, TT_FIRST(__VA_ARGS__))) field[count];
#define TT_NAMES2(p, a, b) p##_##a, p##_##b
#define TT_NAMES4(p, a, b, c, d) TT_NAMES2(p, a, b), TT_NAMES2(p, c, d)
#define TT_NAMES6(p, a, b, c, d, e, f) TT_NAMES4(p, a, b, c, d), TT_NAMES2(p, e, f)
#define TT_INIT(p, field, name) p##_##name,
#define TT_ARRAY_INIT(p, field, count, ...) {TT_NAMES##count(p, __VA_ARGS__)},
#define TT_NO_ARRAY(p, field, count, ...) {},

struct Variant {
  const char* name;
  bool (*available)();
  int radix4Limit;  // highest FFT order of the radix-4 path
  bool radix8Plan;  // odd orders start with a radix-8 pass (SSE2)
  TT_MEMBERS(TT_FIELD, TT_ARRAY_FIELD, sse2)
  TT_FOURWAY_MEMBERS(TT_ARRAY_FIELD, ssse3)
};

inline const std::vector<Variant>& variants() {
  static const std::vector<Variant> all = {
      {"sse2", [] { return true; }, 15, true,
       TT_MEMBERS(TT_INIT, TT_ARRAY_INIT, sse2) TT_FOURWAY_MEMBERS(TT_NO_ARRAY, sse2)},
      {"ssse3", [] { return __builtin_cpu_supports("ssse3") != 0; }, 17, false,
       TT_MEMBERS(TT_INIT, TT_ARRAY_INIT, ssse3) TT_FOURWAY_MEMBERS(TT_ARRAY_INIT, ssse3)},
      {"sse41", [] { return __builtin_cpu_supports("sse4.1") != 0; }, 17, false,
       TT_MEMBERS(TT_INIT, TT_ARRAY_INIT, sse41) TT_FOURWAY_MEMBERS(TT_ARRAY_INIT, sse41)},
  };
  return all;
}

// The variants this processor runs.
inline std::vector<std::reference_wrapper<const Variant>> availableVariants() {
  std::vector<std::reference_wrapper<const Variant>> out;
  for (const Variant& v : variants())
    if (v.available()) out.push_back(v);
  return out;
}

// Byte block with guard bytes on both sides; data() is `offset` bytes past a
// 64-byte boundary. The second form starts with a copy of x.
class Guarded {
 public:
  static constexpr uint8_t kGuard = 0xA5;
  Guarded(size_t bytes, size_t offset = 0) : bytes_(bytes), raw_(bytes + 256, kGuard) {
    begin_ = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(raw_.data()) + 127) & ~uintptr_t{63}) + offset;
  }
  Guarded(const std::vector<float>& x, size_t offset) : Guarded(4 * x.size(), offset) {
    std::copy(x.begin(), x.end(), as<float>());
  }
  uint8_t* data() { return begin_; }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(begin_);
  }
  // True when nothing before data() nor from data() + from on was written.
  bool unwrittenFrom(size_t from) const {
    const uint8_t *begin = begin_, *end = raw_.data() + raw_.size();
    return std::all_of(raw_.data(), begin, isGuard) && std::all_of(begin + from, end, isGuard);
  }
  bool guardsIntact() const { return unwrittenFrom(bytes_); }
  bool untouched() const { return unwrittenFrom(0); }

 private:
  static bool isGuard(uint8_t b) { return b == kGuard; }
  size_t bytes_;
  std::vector<uint8_t> raw_;
  uint8_t* begin_;
};

// Seeded values uniform in [-1, 1].
inline std::vector<float> randomFloats(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& f : v) f = dist(rng);
  return v;
}

using cd = std::complex<double>;

inline uint32_t reverseBits(uint32_t v, int count) {
  uint32_t r = 0;
  for (int i = 0; i < count; ++i) r |= ((v >> i) & 1u) << (count - 1 - i);
  return r;
}

// DFT in double precision, iterative radix 2 with exactly computed twiddles;
// the inverse (+i, unscaled) as conj(DFT(conj x)).
inline std::vector<cd> referenceDft(std::vector<cd> x, bool inverse = false) {
  const size_t n = x.size();
  std::vector<cd> out(n), w(n / 2);
  const int order = __builtin_ctzll(n);
  for (size_t i = 0; i < n; ++i) out[reverseBits(static_cast<uint32_t>(i), order)] = inverse ? std::conj(x[i]) : x[i];
  for (size_t k = 0; k < n / 2; ++k) w[k] = std::polar(1.0, -2.0 * M_PI * double(k) / double(n));
  for (size_t len = 2; len <= n; len *= 2)
    for (size_t base = 0; base < n; base += len)
      for (size_t k = 0; k < len / 2; ++k) {
        const cd t = w[k * (n / len)] * out[base + k + len / 2];
        out[base + k + len / 2] = out[base + k] - t;
        out[base + k] += t;
      }
  if (inverse)
    for (cd& z : out) z = std::conj(z);
  return out;
}

inline std::vector<cd> toComplex(const float* interleaved, size_t n) {
  std::vector<cd> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = cd(interleaved[2 * i], interleaved[2 * i + 1]);
  return v;
}

// Relative L2 error of got (interleaved floats) against want times scale.
inline double relativeError(const float* got, const std::vector<cd>& want, double scale = 1.0) {
  double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i)
    num += std::norm(cd(got[2 * i], got[2 * i + 1]) - want[i] * scale), den += std::norm(want[i] * scale);
  return den == 0 ? std::sqrt(num) : std::sqrt(num / den);
}

template <typename T>
T* alignUp(T* p) {
  return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
}

inline uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// A built spec with its memory.
struct Fft {
  Guarded spec, init;
  FFTSpec_C_32fc* p = nullptr;
  int bufSize = 0;
  Fft(const Variant& v, int order, int flag, size_t specOffset = 0)
      : spec(sizeBytes(v, order, flag, 0), specOffset), init(std::max(sizeBytes(v, order, flag, 1), 1), 3) {
    EXPECT_EQ(v.fftInit(&p, order, flag, 0, spec.data(), init.data()), 0);
    EXPECT_EQ(v.fftGetBufSize(p, &bufSize), 0);
  }
  static int sizeBytes(const Variant& v, int order, int flag, int which) {
    int s[3] = {};
    EXPECT_EQ(v.fftGetSize(order, flag, 0, &s[0], &s[1], &s[2]), 0);
    return s[which];
  }
};

// How a forward transform is called: offsets of the arrays from a 64-byte
// boundary, in place or not, with the caller's buffer or none, and whether
// the buffer must come back untouched.
struct Path {
  size_t srcOffset = 0, dstOffset = 0, bufOffset = 0;
  bool inPlace = false, withBuffer = true, bufferUntouched = false;
};

// Runs the forward transform of x (interleaved) into a fresh result; checks
// the guards and that an out-of-place source is left as it was.
inline std::vector<float> forward(const Variant& v, const Fft& f, const std::vector<float>& x, Path path = {}) {
  Guarded dst(x, path.dstOffset), src(x, path.srcOffset), buf(std::max(f.bufSize, 1), path.bufOffset);
  const vpComplex32f* in = path.inPlace ? dst.as<vpComplex32f>() : src.as<vpComplex32f>();
  EXPECT_EQ(v.fftFwd(in, dst.as<vpComplex32f>(), f.p, path.withBuffer ? buf.data() : nullptr), 0);
  EXPECT_TRUE(dst.guardsIntact() && buf.guardsIntact() && (!path.bufferUntouched || buf.untouched()));
  EXPECT_TRUE(path.inPlace || std::equal(x.begin(), x.end(), src.as<float>())) << "source changed";
  return std::vector<float>(dst.as<float>(), dst.as<float>() + x.size());
}

// Makes every allocation of the core fail while it lives.
struct NoMemory {
  static void* fail(size_t) { return nullptr; }
  NoMemory() { i_malloc = fail; }
  ~NoMemory() { i_malloc = std::malloc; }
};

}  // namespace transforms_test
