// Plain scalar references of the core primitives' numeric rules.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace reference {

inline uint32_t bitsOf(float v) {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return b;
}
inline float floatOf(uint32_t b) {
  float v;
  std::memcpy(&v, &b, 4);
  return v;
}

// Nearest integer, ties to even, of a finite value (exact in double).
inline double roundHalfEven(double x) {
  double r = std::floor(x);
  const double diff = x - r;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
  return r;
}

inline double roundHalfAway(double x) { return x < 0 ? -std::floor(-x + 0.5) : std::floor(x + 0.5); }

inline int32_t saturate(double v, double lo, double hi) {
  return static_cast<int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

// The join's sample rule with two channels or more: NaN gives 32767.
inline int16_t joinSample(float x) {
  if (std::isnan(x)) return 32767;
  return static_cast<int16_t>(saturate(roundHalfEven(x), -32768, 32767));
}

// 32f to 16s with rounding mode and scale factor (the x * 2^-sf product
// rounded to single precision first, as the primitive does).
inline int16_t convert16s(float x, int rndMode, int sf) {
  float v = x;
  if (sf != 0) v = static_cast<float>(static_cast<double>(x) * std::ldexp(1.0, -sf));
  if (std::isnan(v)) return rndMode == 0 || rndMode == 1 ? 0 : 32767;
  if (std::isinf(v)) return v > 0 ? 32767 : -32768;
  double r;
  if (rndMode == 0) {
    r = std::trunc(static_cast<double>(v));
  } else if (rndMode == 1) {
    r = roundHalfEven(v);
  } else {
    // |v| + 0.5 rounded toward zero in single precision, then truncated.
    const double a = std::fabs(static_cast<double>(v)) + 0.5;
    float af = static_cast<float>(a);
    if (static_cast<double>(af) > a) af = std::nextafter(af, 0.0f);
    r = std::trunc(static_cast<double>(af));
    if (v < 0) r = -r;
  }
  return static_cast<int16_t>(saturate(r, -32768, 32767));
}

// ---------------------------------------------------------------------------
// The conversion kernels, one element at a time.

// 2^-sf formed as the kernels form it: repeated halving or doubling in
// single precision under the current rounding (stops once it settles).
inline float scaleFactor(int sf) {
  float m = 1.0f;
  for (int k = 0; k < (sf < 0 ? -sf : sf) && k < 300; ++k) m *= sf > 0 ? 0.5f : 2.0f;
  return m;
}

template <typename D>
inline D saturateTo(double r) {
  const double lo = std::numeric_limits<D>::min(), hi = std::numeric_limits<D>::max();
  return static_cast<D>(r < lo ? lo : (r > hi ? hi : r));
}

// What a NaN value takes: the clamp (the largest value, 0 for 16u) and, for
// 32f to 32s, the extreme of the NaN's sign.
template <typename D, typename S>
inline D nanClamp(S v) {
  if constexpr (std::is_same_v<D, uint16_t>) return 0;
  if constexpr (std::is_same_v<D, int32_t> && std::is_same_v<S, float>) {
    if (std::signbit(v)) return std::numeric_limits<D>::min();
  }
  return std::numeric_limits<D>::max();
}

// Modes 0 (truncation) and 1 (nearest even), under rounding to nearest:
// x * 2^-sf rounded to the source precision, then saturated. A NaN source
// gives 0; a NaN made by the scaling (infinity times 0) takes the clamp.
template <typename D, typename S>
inline D convertSfs(S x, int mode, int sf) {
  const S v = sf == 0 ? x : x * static_cast<S>(scaleFactor(sf));
  if (std::isnan(x)) return 0;
  if (std::isnan(v)) return nanClamp<D>(v);
  return saturateTo<D>(mode == 0 ? std::trunc(static_cast<double>(v)) : roundHalfEven(static_cast<double>(v)));
}

// Ties away from zero, run under rounding toward zero (so is the product);
// NaN takes the clamp.
template <typename D, typename S>
inline D convertFin(S x, int sf) {
  const S v = sf == 0 ? x : x * static_cast<S>(scaleFactor(sf));
  if (std::isnan(v)) return nanClamp<D>(v);
  return saturateTo<D>(roundHalfAway(static_cast<double>(v)));
}

// 64 to 32 bits, x / 2^f rounded with ties away from zero, saturated.
inline int32_t shift64To32(int64_t x, int f) {
  const __int128 value = (static_cast<__int128>(x) + ((static_cast<__int128>(1) << (f - 1)) - 1) + (x >= 0)) >> f;
  return value > INT32_MAX ? INT32_MAX : (value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value));
}

// Half precision, by the bit rules of the kernels (results under the
// default control word).
inline float halfToSingle(uint16_t h) {
  const uint32_t w = static_cast<uint32_t>(h) << 16;
  uint32_t v = (w & 0x7FFFFFFFu) >> 3;
  if ((h & 0x7C00) == 0x7C00) v |= 0x7F800000u;
  return floatOf(v | (w & 0x80000000u)) * floatOf(0x77800000u);  // 2^112
}

inline uint16_t singleToHalf(float x, bool nearest) {
  const uint32_t sign = (bitsOf(x) >> 16) & 0x8000u;
  const float a = floatOf(bitsOf(x) & 0x7FFFFFFFu);
  const float limit = nearest || !std::isfinite(a) ? 65536.0f : floatOf(0x477FFFFFu);
  const uint32_t b = bitsOf((std::isnan(a) ? a : std::fmin(a, limit)) * floatOf(0x07800000u));  // 2^-112
  const uint32_t r = nearest ? std::min<uint32_t>((b + 0xFFFu + ((b >> 13) & 1u)) >> 13, 0x7FFFu) : (b >> 13) & 0x7FFFu;
  return static_cast<uint16_t>(sign | r);
}

inline uint16_t int16ToHalf(int16_t x, bool nearest) {
  const uint32_t b = bitsOf(static_cast<float>(x));
  const uint32_t c = nearest ? b + 0xFFFu + ((b >> 13) & 1u) : b;
  const uint32_t hi = c >> 16 > 0x3800u ? (c >> 16) - 0x3800u : 0u;
  return static_cast<uint16_t>(((c >> 31) << 15) | ((((hi << 16) | (c & 0xFFFFu)) >> 13) & 0x7FFFu));
}

// Half to integer, scale 2^-f: the exact value, NaN as +0, converted by
// truncation or the current rounding, saturated; above factor 16 only
// infinities survive.
inline int16_t halfToInt16(uint16_t h, bool truncate, int f) {
  const int e = (h >> 10) & 31, m = h & 1023;
  if (e == 31 && m != 0) return 0;
  const bool negative = (h & 0x8000) != 0;
  if (e == 31) return negative ? -32768 : 32767;
  if (f > 16) return 0;
  const double v = std::ldexp(e == 0 ? m : 1024 + m, (e == 0 ? -24 : e - 25) - f);
  if (v >= 65536.0) return negative ? -32768 : 32767;
  const float signedV = static_cast<float>(negative ? -v : v);
  return saturateTo<int16_t>(truncate ? std::trunc(signedV) : std::nearbyint(signedV));
}

}  // namespace reference
