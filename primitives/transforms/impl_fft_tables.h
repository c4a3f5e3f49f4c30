// Twiddle and bit-reverse table builders of the FFT spec. Every twiddle is a
// copy of an entry of one quarter-wave sine table, or its negation, chosen by
// quadrant symmetry; only the base sine table of orders 11 and up evaluates
// sin and cos. Included by the variant sources (see impl_common.h), which
// set VP_RADIX8_PLAN to 1 for the SSE2 layout of odd orders.
#pragma once

#include "impl_common.h"

#ifndef VP_RADIX8_PLAN
#error "define VP_RADIX8_PLAN before including the transform implementation"
#endif

namespace {

// The next value of a k-bit reversed counter: rev_k(i + 1) from r = rev_k(i).
inline uint32_t nextReversed(uint32_t r, int k) {
  uint32_t h = 1u << (k - 1);
  while (h <= r) {
    r -= h;
    h >>= 1;
  }
  return r + h;
}

// A negated table value is formed as 0 - v, so a negated zero stays +0.0.
inline float negated(float v) { return 0.0f - v; }

// Quarter-wave lookup for a stage of length L = 2^m from a base sine table of
// base order b: S(j) = base[j << (b - m)] = sin(2*pi*j/L), 0 <= j <= L/4.
struct SineSource {
  const float* base;
  int shift;
  int quarter;  // L/4
  float s(int j) const { return base[static_cast<size_t>(j) << shift]; }
  // cos(2*pi*j/L) and -sin(2*pi*j/L) for 0 <= j < 3L/4.
  void cosNegSin(int j, float& c, float& ns) const {
    const int q = quarter, h = 2 * quarter;
    if (j <= q) {
      c = s(q - j);
      ns = negated(s(j));
    } else if (j <= h) {
      c = negated(s(j - q));
      ns = negated(s(h - j));
    } else {
      c = negated(s(3 * q - j));
      ns = s(j - h);
    }
  }
};

// Radix-4 stage table of length L: L/16 groups of 24 floats, for k = 4g..4g+3
// the real and then the imaginary parts of W^k, W^2k and W^3k, W = e^(-2*pi*i/L).
float* writeStageTable(float* p, int m, const float* base, int baseOrder) {
  const int L = 1 << m;
  const SineSource src{base, baseOrder - m, L / 4};
  for (int g = 0; g < L / 16; ++g) {
    for (int j = 1; j <= 3; ++j) {
      for (int t = 0; t < 4; ++t) src.cosNegSin(j * (4 * g + t), p[t], p[4 + t]);
      p += 8;
    }
  }
  return p;
}

#if !VP_RADIX8_PLAN
// Radix-2 final table of length N (the SSSE3 layout of odd orders): N/8
// groups of 8 floats, the real and imaginary parts of W^k for k = 4g..4g+3.
float* writeRadix2Table(float* p, int order, const float* base, int baseOrder) {
  const int n = 1 << order;
  const SineSource src{base, baseOrder - order, n / 4};
  for (int g = 0; g < n / 8; ++g) {
    for (int t = 0; t < 4; ++t) src.cosNegSin(4 * g + t, p[t], p[4 + t]);
    p += 8;
  }
  return p;
}
#endif

}  // namespace

float* VP_NAME(vps_initTabTwdBase_32f)(int order, float* pTab) {
  const int n = 1 << order;
  const int quarter = n / 4;
  if (order > 10) {
    const double step = 6.283185307179586 / static_cast<double>(n);
    for (int k = 0; k <= n / 8; ++k) pTab[k] = static_cast<float>(sin(static_cast<double>(k) * step));
    for (int k = n / 8 + 1; k <= quarter; ++k) pTab[k] = static_cast<float>(cos(static_cast<double>(quarter - k) * step));
  } else {
    for (int k = 0; k < quarter; ++k) pTab[k] = fft_fix_twiddle_table_32f[k << (10 - order)];
    pTab[quarter] = 1.0f;
  }
  return alignUp32(pTab + quarter + 1);
}

float* VP_NAME(vps_initTabTwd_L1_32f)(int order, const float* pBase, int baseOrder, float* pTab) {
  const int n = 1 << order;
  if (n < 9) return pTab;
  float* p = pTab;
#if VP_RADIX8_PLAN
  // Odd orders start at stage 32: their first pass is a radix-8 step with
  // built-in constants.
  for (int m = 4 + (order & 1); m <= order; m += 2) p = writeStageTable(p, m, pBase, baseOrder);
#else
  for (int m = 4; m <= order; m += 2) p = writeStageTable(p, m, pBase, baseOrder);
  if (order & 1) p = writeRadix2Table(p, order, pBase, baseOrder);
#endif
  return alignUp32(pTab + 2 * n);
}

int32_t* VP_NAME(vps_initTabBitRevNorm)(int order, int32_t* pTab) {
  if (order < 2) return pTab;
  const int m = 1 << (order - 2);
  uint32_t r = 0;
  pTab[0] = 0;
  for (int i = 1; i < m; ++i) {
    r = nextReversed(r, order - 2);
    pTab[i] = static_cast<int32_t>(2 * r);
  }
  pTab[m] = 0;
  return alignUp32(pTab + m + 1);
}

int32_t* VP_NAME(vps_initTabBitRev)(int order, int32_t* pTab) {
  if (order < 2) return pTab;
  const int m = 1 << (order - 2);
  int front = 0, back = m - 1;
  uint32_t r = 0;
  for (int i = 1; i < m; ++i) {
    r = nextReversed(r, order - 2);
    if (static_cast<uint32_t>(i) < r) {
      pTab[front++] = 4 * i;
      pTab[front++] = static_cast<int32_t>(4 * r);
    } else if (static_cast<uint32_t>(i) == r) {
      pTab[back--] = 4 * i;
    }
  }
  pTab[front] = 0;  // closes the pairs; stands for the fixed point 0
  pTab[m] = 0;
  return alignUp32(pTab + m + 1);
}

int32_t* VP_NAME(vps_initTabBitRevLarge)(int order, int k, int32_t* pTab) {
  const int bits = order - 2 * k;
  const int count = 1 << bits;
  uint32_t r = 0;
  pTab[0] = 0;
  for (int i = 1; i < count; ++i) {
    r = nextReversed(r, bits);
    pTab[i] = static_cast<int32_t>(r << k);
  }
  return VP_NAME(vps_initTabBitRev)(2 * k, pTab + count);
}

