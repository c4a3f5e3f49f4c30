// Plain C++ references of the transform kernels, one value at a time with
// the kernels' operations in the kernels' order, so that a kernel must give
// their bits exactly (for inputs without NaN, whose payloads would depend on
// operand order). Shared by the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace transforms_ref {

struct C {
  float re, im;
};
inline C add(C a, C b) { return {a.re + b.re, a.im + b.im}; }
inline C sub(C a, C b) { return {a.re - b.re, a.im - b.im}; }
// z * (wr + i wi), each product rounded before the sum.
inline C mul(C z, float wr, float wi) { return {z.re * wr - z.im * wi, z.im * wr + z.re * wi}; }

inline uint32_t reversed(uint32_t v, int count) {
  uint32_t r = 0;
  for (int i = 0; i < count; ++i) r |= ((v >> i) & 1u) << (count - 1 - i);
  return r;
}

// dst[rev(i)] = src[i] for n elements of `bytes` bytes.
inline void bitReverse(const void* src, void* dst, int n, size_t bytes) {
  const int order = __builtin_ctz(static_cast<unsigned>(n));
  for (int i = 0; i < n; ++i)
    std::memcpy(static_cast<char*>(dst) + reversed(i, order) * bytes, static_cast<const char*>(src) + i * bytes, bytes);
}

// Forward transform of n = 2^order values (n >= 8) in natural order, with the
// radix-4 twiddle table twd of the variant: a first pass of untwiddled
// 4-point transforms of x[b + r n/4], b = rev_(order-2)(m), into group m (a
// radix-8 step on pairs of groups after it at 8 points, and for odd orders in
// the SSE2 plan), radix-4 stages while two groups remain, and a last radix-4
// or radix-2 pass. The turn by -i of the first pass adds or subtracts the
// negated real part, the stages subtract it, as the kernels do.
inline std::vector<C> radix4Forward(const C* x, int n, const float* twd, bool radix8Plan) {
  static const uint32_t kTwd8[2][4] = {{0x3F800000u, 0x3F3504F4u, 0x00000000u, 0xBF3504F4u},
                                        {0x00000000u, 0xBF3504F4u, 0xBF800000u, 0xBF3504F4u}};
  float w8[2][4];
  std::memcpy(w8, kTwd8, sizeof w8);
  const int order = __builtin_ctz(static_cast<unsigned>(n));
  std::vector<C> z(n), out(n);
  for (int m = 0; m < n / 4; ++m) {
    const int b = static_cast<int>(reversed(m, order - 2));
    const C a0 = x[b], a1 = x[b + n / 4], a2 = x[b + n / 2], a3 = x[b + 3 * n / 4];
    const C s02 = add(a0, a2), d02 = sub(a0, a2), s13 = add(a1, a3), d13 = sub(a1, a3);
    const C turned{d13.im, -d13.re};  // -i (a1 - a3)
    z[4 * m] = add(s02, s13);
    z[4 * m + 1] = add(d02, turned);
    z[4 * m + 2] = sub(s02, s13);
    z[4 * m + 3] = sub(d02, turned);
  }
  int len = 4;
  if (n == 8 || (radix8Plan && order % 2 == 1)) {
    for (int h = 0; h < n; h += 8)
      for (int k = 0; k < 4; ++k) {
        const C a = z[h + k], t = mul(z[h + 4 + k], w8[0][k], w8[1][k]);
        z[h + k] = add(a, t);
        z[h + 4 + k] = sub(a, t);
      }
    len = 8;
    if (n == 8) return z;
  }
  const float* t = twd;
  // Radix-4 butterflies of sub-length l over the groups of `count` values of
  // src into dst (which may be src).
  const auto stage = [&](const std::vector<C>& src, std::vector<C>& dst, int l) {
    for (int p = 0; p < n; p += 4 * l)
      for (int q = 0; q < l; ++q) {
        const float* r = t + 24 * (q / 4) + q % 4;
        const C d1 = mul(src[p + 2 * l + q], r[0], r[4]);
        const C d2 = mul(src[p + l + q], r[8], r[12]);
        const C d3 = mul(src[p + 3 * l + q], r[16], r[20]);
        const C s = add(d1, d3), tt = sub(d1, d3), pp = add(src[p + q], d2), qq = sub(src[p + q], d2);
        dst[p + q] = add(s, pp);
        dst[p + l + q] = {qq.re + tt.im, qq.im - tt.re};
        dst[p + 2 * l + q] = sub(pp, s);
        dst[p + 3 * l + q] = {qq.re - tt.im, qq.im + tt.re};
      }
    t += 6 * l;
  };
  for (; 4 * len <= n / 2; len *= 4) stage(z, z, len);
  if (len == n / 4) {
    stage(z, out, len);
  } else {
    for (int q = 0; q < len; ++q) {
      const float* r = t + 8 * (q / 4) + q % 4;
      const C d1 = mul(z[q + len], r[0], r[4]);
      out[q] = add(z[q], d1);
      out[q + len] = sub(z[q], d1);
    }
  }
  return out;
}

// The inverse transform as the kernels compute it: real and imaginary parts
// exchanged on the way in and out of the forward one.
inline std::vector<C> radix4Inverse(const C* x, int n, const float* twd, bool radix8Plan) {
  std::vector<C> s(n);
  for (int i = 0; i < n; ++i) s[i] = {x[i].im, x[i].re};
  std::vector<C> y = radix4Forward(s.data(), n, twd, radix8Plan);
  for (C& v : y) v = {v.im, v.re};
  return y;
}

}  // namespace transforms_ref
