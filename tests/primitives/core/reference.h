// Plain scalar references of the core primitives' numeric rules.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

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

}  // namespace reference
