// Radix-4 kernels on split complex data: real parts and imaginary parts in
// two float arrays. The data are zipped into the work buffer (real and
// imaginary parts exchanged for the inverse direction, since exchanging the
// parts before and after a forward transform gives the inverse one), put
// into bit-reversed order when the input is natural, transformed there by
// the bit-reversed-input kernel into the split-4 layout, and scattered to
// the two arrays. So every result has the bits of the interleaved kernel of
// the same direction on the same values. 8 and 16 points run in a local
// area; below 8 points the kernels do nothing. Included by the variant
// sources (see impl_common.h).
#pragma once

#include "impl_bitrev.h"
#include "impl_common.h"
#include "impl_fft_large.h"
#include "impl_fft_radix4.h"

namespace {

void zipParts(const float* a, const float* b, float* dst, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 va = _mm_loadu_ps(a + i), vb = _mm_loadu_ps(b + i);
    _mm_storeu_ps(dst + 2 * i, _mm_unpacklo_ps(va, vb));
    _mm_storeu_ps(dst + 2 * i + 4, _mm_unpackhi_ps(va, vb));
  }
}

inline uint32_t reverseLow(uint32_t v, int bitCount) {
  uint32_t r = 0;
  for (int b = 0; b < bitCount; ++b) r |= ((v >> b) & 1u) << (bitCount - 1 - b);
  return r;
}

// inverse: exchange the parts on the way in and out. natural: the input is
// in natural order and bitRev is its index table (not read below 32
// points); otherwise the input is in bit-reversed order.
void crRadix4(const float* re, const float* im, float* outRe, float* outIm, int len, const float* twd,
              bool natural, const int32_t* bitRev, float* buffer, bool inverse) {
  if (len < 8) return;
  const float* a = inverse ? im : re;
  const float* b = inverse ? re : im;
  float* outA = inverse ? outIm : outRe;
  float* outB = inverse ? outRe : outIm;
  const size_t n = static_cast<size_t>(len);
  if (len < 32) {
    alignas(16) float local[32];
    const int bitCount = len == 8 ? 3 : 4;
    for (size_t i = 0; i < n; ++i) {
      const size_t j = natural ? i : reverseLow(static_cast<uint32_t>(i), bitCount);
      local[2 * j] = a[i];
      local[2 * j + 1] = b[i];
    }
    vpComplex32f* z = reinterpret_cast<vpComplex32f*>(local);
    radix4FwdNorm<VP_RADIX8_PLAN != 0>(z, z, len, twd, nullptr, nullptr);
    for (size_t i = 0; i < n; ++i) {
      outA[i] = local[2 * i];
      outB[i] = local[2 * i + 1];
    }
    return;
  }
  zipParts(a, b, buffer, n);
  if (natural) VP_NAME(vps_BitRev1_C)(buffer, len, bitRev);
  radix4FwdBitReversed<VP_RADIX8_PLAN != 0>(reinterpret_cast<vpComplex32f*>(buffer), len, twd, buffer, 0);
  VP_NAME(vps_crFft_BlkSplit_32f)(outA, outB, buffer, len, 1, len);
}

}  // namespace

void VP_NAME(vps_crRadix4FwdNorm_32f)(const float* pSrcRe, const float* pSrcIm, float* pDstRe, float* pDstIm, int len,
                                      const float* pTwd, const int32_t* pBitRev, float* pBuffer) {
  crRadix4(pSrcRe, pSrcIm, pDstRe, pDstIm, len, pTwd, true, pBitRev, pBuffer, false);
}
void VP_NAME(vps_crRadix4InvNorm_32f)(const float* pSrcRe, const float* pSrcIm, float* pDstRe, float* pDstIm, int len,
                                      const float* pTwd, const int32_t* pBitRev, float* pBuffer) {
  crRadix4(pSrcRe, pSrcIm, pDstRe, pDstIm, len, pTwd, true, pBitRev, pBuffer, true);
}
void VP_NAME(vps_crRadix4Fwd_32f)(float* pRe, float* pIm, int len, const float* pTwd, float* pBuffer) {
  crRadix4(pRe, pIm, pRe, pIm, len, pTwd, false, nullptr, pBuffer, false);
}
void VP_NAME(vps_crRadix4Inv_32f)(float* pRe, float* pIm, int len, const float* pTwd, float* pBuffer) {
  crRadix4(pRe, pIm, pRe, pIm, len, pTwd, false, nullptr, pBuffer, true);
}
