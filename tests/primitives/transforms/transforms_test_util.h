// What the transform tests share: the processor variants with their entry
// points, double-precision references, seeded random data and guarded
// buffers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "transforms_internal.h"
#include "vpTransforms.h"

namespace transforms_test {

struct Variant {
  const char* name;
  bool (*available)();
  int (*fftGetSize)(int, int, int, int*, int*, int*);
  int (*fftInit)(FFTSpec_C_32fc**, int, int, int, uint8_t*, uint8_t*);
  int (*fftGetBufSize)(const FFTSpec_C_32fc*, int*);
  int (*fftFree)(FFTSpec_C_32fc*);
  int (*fftFwd)(const vpComplex32f*, vpComplex32f*, const FFTSpec_C_32fc*, uint8_t*);
  int (*mdctGetSize)(int, int*, int*, int*);
  int (*mdctInit)(MDCTInvSpec_32f**, int, uint8_t*, uint8_t*);
  int (*mdctInv)(const float*, float*, const MDCTInvSpec_32f*, uint8_t*);
  int radix4Limit;  // highest FFT order of the radix-4 path
};

inline bool always() { return true; }
inline bool hasSsse3() { return __builtin_cpu_supports("ssse3"); }
inline bool hasSse41() { return __builtin_cpu_supports("sse4.1"); }

inline const std::vector<Variant>& variants() {
  static const std::vector<Variant> all = {
      {"sse2", always, sse2_vpsFFTGetSize_C_32fc, sse2_vpsFFTInit_C_32fc, sse2_vpsFFTGetBufSize_C_32fc,
       sse2_vpsFFTFree_C_32fc, sse2_vpsFFTFwd_CToC_32fc, sse2_vpsMDCTInvGetSize_32f, sse2_vpsMDCTInvInit_32f,
       sse2_vpsMDCTInv_32f, 15},
      {"ssse3", hasSsse3, ssse3_vpsFFTGetSize_C_32fc, ssse3_vpsFFTInit_C_32fc, ssse3_vpsFFTGetBufSize_C_32fc,
       ssse3_vpsFFTFree_C_32fc, ssse3_vpsFFTFwd_CToC_32fc, ssse3_vpsMDCTInvGetSize_32f, ssse3_vpsMDCTInvInit_32f,
       ssse3_vpsMDCTInv_32f, 17},
      {"sse41", hasSse41, sse41_vpsFFTGetSize_C_32fc, sse41_vpsFFTInit_C_32fc, sse41_vpsFFTGetBufSize_C_32fc,
       sse41_vpsFFTFree_C_32fc, sse41_vpsFFTFwd_CToC_32fc, sse41_vpsMDCTInvGetSize_32f, sse41_vpsMDCTInvInit_32f,
       sse41_vpsMDCTInv_32f, 17},
  };
  return all;
}

// Byte block with guard bytes on both sides; data() is `offset` bytes past a
// 64-byte boundary.
class Guarded {
 public:
  static constexpr uint8_t kGuard = 0xA5;
  static constexpr size_t kGuardBytes = 64;
  Guarded(size_t bytes, size_t offset = 0) : bytes_(bytes), offset_(offset), raw_(bytes + 2 * kGuardBytes + 128) {
    base_ = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(raw_.data()) + kGuardBytes + 63) & ~uintptr_t{63});
    std::memset(raw_.data(), kGuard, raw_.size());
  }
  uint8_t* data() { return base_ + offset_; }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(data());
  }
  // True when nothing outside [data(), data() + bytes) was written.
  bool guardsIntact() const {
    const uint8_t* begin = base_ + offset_;
    const uint8_t* end = begin + bytes_;
    for (const uint8_t* p = raw_.data(); p < begin; ++p)
      if (*p != kGuard) return false;
    for (const uint8_t* p = end; p < raw_.data() + raw_.size(); ++p)
      if (*p != kGuard) return false;
    return true;
  }
  bool untouched() const {
    for (uint8_t b : raw_)
      if (b != kGuard) return false;
    return true;
  }

 private:
  size_t bytes_, offset_;
  std::vector<uint8_t> raw_;
  uint8_t* base_;
};

inline std::vector<float> randomFloats(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& f : v) f = dist(rng);
  return v;
}

using cd = std::complex<double>;

// Forward DFT in double precision: direct for small sizes, iterative radix 2
// with exactly computed twiddles above.
inline std::vector<cd> referenceDft(const std::vector<cd>& x) {
  const size_t n = x.size();
  std::vector<cd> out(n);
  if (n <= 64) {
    for (size_t k = 0; k < n; ++k) {
      cd s = 0;
      for (size_t j = 0; j < n; ++j) s += x[j] * std::polar(1.0, -2.0 * M_PI * double((j * k) % n) / double(n));
      out[k] = s;
    }
    return out;
  }
  int bitsCount = 0;
  while ((size_t{1} << bitsCount) < n) ++bitsCount;
  for (size_t i = 0; i < n; ++i) {
    size_t r = 0;
    for (int b = 0; b < bitsCount; ++b) r |= ((i >> b) & 1) << (bitsCount - 1 - b);
    out[r] = x[i];
  }
  std::vector<cd> w(n / 2);
  for (size_t k = 0; k < n / 2; ++k) w[k] = std::polar(1.0, -2.0 * M_PI * double(k) / double(n));
  for (size_t len = 2; len <= n; len *= 2) {
    const size_t step = n / len;
    for (size_t base = 0; base < n; base += len)
      for (size_t k = 0; k < len / 2; ++k) {
        const cd t = w[k * step] * out[base + k + len / 2];
        out[base + k + len / 2] = out[base + k] - t;
        out[base + k] += t;
      }
  }
  return out;
}

inline std::vector<cd> toComplex(const float* interleaved, size_t n) {
  std::vector<cd> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = cd(interleaved[2 * i], interleaved[2 * i + 1]);
  return v;
}

// Relative L2 error of got (interleaved floats) against want.
inline double relativeError(const float* got, const std::vector<cd>& want, double scale = 1.0) {
  double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const cd w = want[i] * scale;
    num += std::norm(cd(got[2 * i], got[2 * i + 1]) - w);
    den += std::norm(w);
  }
  return den == 0 ? std::sqrt(num) : std::sqrt(num / den);
}

// Direct inverse MDCT in double precision.
inline std::vector<double> referenceImdct(const float* x, int len) {
  std::vector<double> y(len);
  for (int n = 0; n < len; ++n) {
    double s = 0;
    for (int k = 0; k < len / 2; ++k)
      s += x[k] * std::cos(2.0 * M_PI / len * (n + 0.5 + len / 4.0) * (k + 0.5));
    y[n] = 2.0 / len * s;
  }
  return y;
}

inline double relativeErrorReal(const float* got, const std::vector<double>& want) {
  double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    num += (got[i] - want[i]) * (got[i] - want[i]);
    den += want[i] * want[i];
  }
  return std::sqrt(num / den);
}

inline uint8_t* alignUp(uint8_t* p) {
  return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
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

// Runs the forward transform of x (interleaved) into a fresh result.
struct Path {
  size_t dstOffset = 0, srcOffset = 0;
  bool inPlace = false, withBuffer = true;
  size_t bufOffset = 0;
};

inline std::vector<float> forward(const Variant& v, const Fft& f, const std::vector<float>& x, Path path = {}) {
  const size_t dstOffset = path.dstOffset, bufOffset = path.bufOffset;
  const bool inPlace = path.inPlace, withBuffer = path.withBuffer;
  const size_t bytes = x.size() * 4;
  Guarded dst(bytes, dstOffset);
  std::copy(x.begin(), x.end(), dst.as<float>());
  Guarded src(bytes, path.srcOffset);
  std::copy(x.begin(), x.end(), src.as<float>());
  Guarded buf(std::max(f.bufSize, 1), bufOffset);
  const vpComplex32f* in = inPlace ? dst.as<vpComplex32f>() : src.as<vpComplex32f>();
  EXPECT_EQ(v.fftFwd(in, dst.as<vpComplex32f>(), f.p, withBuffer ? buf.data() : nullptr), 0);
  EXPECT_TRUE(dst.guardsIntact());
  EXPECT_TRUE(buf.guardsIntact());
  if (!inPlace) {
    EXPECT_TRUE(std::equal(x.begin(), x.end(), src.as<float>())) << "source changed";
  }
  return std::vector<float>(dst.as<float>(), dst.as<float>() + x.size());
}

}  // namespace transforms_test
