// The four-way split FFT of 4M points (SSSE3 and SSE4.1 members): two core
// calls leave the M-point transforms of the residue classes x[4j + e],
// e = 0, 1 (first call) and e = 2, 3 (second call, source advanced by two
// values), in split-4 layout one after the other; one last-factor pass,
// whole or in runs of butterflies, combines them into the 4M-point
// transform in natural order.
//
// A core call gathers each residue class in bit-reversed order into its
// half of the work area and runs the bit-reversed-input kernel there, so
// each sub-transform gets the bits of the M-point natural-order kernel. The
// inverse members exchange real and imaginary parts on the way in and out
// (see impl_fft_split.h). Included by the variant sources (see
// impl_common.h).
#pragma once

#include "impl_common.h"
#include "impl_fft_radix4.h"
#include "impl_fft_tables.h"

#if !VP_RADIX8_PLAN

namespace {

// Exchanges the real and imaginary vectors of the count split-4 groups at w
// (any alignment).
void swapSplitGroups(float* w, size_t count) {
  for (size_t g = 0; g < count; ++g, w += 8) {
    const __m128 re = _mm_loadu_ps(w), im = _mm_loadu_ps(w + 4);
    _mm_storeu_ps(w, im);
    _mm_storeu_ps(w + 4, re);
  }
}

// Core of both member pairs. part(i, 0) and part(i, 1) are the real and
// imaginary parts of source value i; work is 16-byte aligned and holds 2M
// values; the results go to out (which may be work). Both residue classes
// are gathered before the first result is stored, so out may overlap the
// source.
template <typename Part>
void coreTransforms(Part part, float* work, float* out, int len, const float* twd, bool inverse) {
  if (len < 32) return;  // below the smallest table the kernel runs on: nothing is done
  const size_t m = static_cast<size_t>(len);
  int order = 0;
  while ((size_t{1} << order) < m) ++order;
  for (size_t e = 0; e < 2; ++e) {
    float* half = work + 2 * m * e;
    uint32_t r = 0;
    for (size_t j = 0; j < m; ++j) {
      if (j > 0) r = nextReversed(r, order);
      half[2 * r] = part(4 * j + e, inverse ? 1 : 0);
      half[2 * r + 1] = part(4 * j + e, inverse ? 0 : 1);
    }
  }
  for (size_t e = 0; e < 2; ++e) {
    float* half = work + 2 * m * e;
    radix4BitReversed<false>(half, half, out + 2 * m * e, len, twd, false);
    if (inverse) swapSplitGroups(out + 2 * m * e, m / 4);
  }
}

void coreInterleaved(const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd, float* pBuf,
                     bool inverse) {
  float* dst = reinterpret_cast<float*>(pDst);
  const bool direct = pSrc != pDst && aligned16(pDst);
  const float* src = reinterpret_cast<const float*>(pSrc);
  coreTransforms([src](size_t i, int c) { return src[2 * i + c]; }, direct ? dst : pBuf, dst, len, pTwd, inverse);
}

// Last radix-4 factor on four quarters in natural residue order; forward
// twiddles, conjugated (and the turn made by +i) for the inverse.
template <typename Store>
void lastFactor(const float* pSrc, int len, int count, const float* pTwd, bool inverse, Store store) {
  const size_t l = static_cast<size_t>(len);
  for (size_t j = 0; j + 4 <= static_cast<size_t>(count); j += 4, pTwd += 24) {
    const float* s = pSrc + 2 * j;
    SplitVec q0 = loadSV(s), q1 = loadSV(s + 2 * l), q2 = loadSV(s + 4 * l), q3 = loadSV(s + 6 * l);
    SplitVec w1 = loadSV(pTwd), w2 = loadSV(pTwd + 8), w3 = loadSV(pTwd + 16);
    if (inverse) {
      // z * conj(w) = s(s(z) * w) with s exchanging the parts.
      q1 = {q1.im, q1.re};
      q2 = {q2.im, q2.re};
      q3 = {q3.im, q3.re};
      q0 = {q0.im, q0.re};
    }
    const SplitVec p1 = cmulSV(q1, w1), p2 = cmulSV(q2, w2), p3 = cmulSV(q3, w3);
    const SplitVec u0 = addSV(q0, p2), u1 = subSV(q0, p2), v0 = addSV(p1, p3), v1 = subSV(p1, p3);
    // U1 - i V1 and U1 + i V1.
    SplitVec x0 = addSV(u0, v0), x2 = subSV(u0, v0);
    SplitVec x1 = {_mm_add_ps(u1.re, v1.im), _mm_sub_ps(u1.im, v1.re)};
    SplitVec x3 = {_mm_sub_ps(u1.re, v1.im), _mm_add_ps(u1.im, v1.re)};
    if (inverse) {
      x0 = {x0.im, x0.re};
      x1 = {x1.im, x1.re};
      x2 = {x2.im, x2.re};
      x3 = {x3.im, x3.re};
    }
    store(j, x0);
    store(l + j, x1);
    store(2 * l + j, x2);
    store(3 * l + j, x3);
  }
}

void lastFactorInterleaved(const float* pSrc, float* pDst, int len, int count, const float* pTwd, bool inverse) {
  // Every store of a step follows all its loads, so pDst may be pSrc.
  lastFactor(pSrc, len, count, pTwd, inverse,
             [pDst](size_t k, SplitVec x) { storeInterleaved(pDst + 2 * k, x.re, x.im); });
}
void lastFactorSplit(const float* pSrc, float* pDstRe, float* pDstIm, int len, int count, const float* pTwd,
                     bool inverse) {
  lastFactor(pSrc, len, count, pTwd, inverse, [pDstRe, pDstIm](size_t k, SplitVec x) {
    _mm_storeu_ps(pDstRe + k, x.re);
    _mm_storeu_ps(pDstIm + k, x.im);
  });
}

}  // namespace

void VP_NAME(vps_cFftFwd_CoreMT_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                                      const int32_t* pBitRev, float* pBuf) {
  (void)pBitRev;
  coreInterleaved(pSrc, pDst, len, pTwd, pBuf, false);
}
void VP_NAME(vps_cFftInv_CoreMT_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                                      const int32_t* pBitRev, float* pBuf) {
  (void)pBitRev;
  coreInterleaved(pSrc, pDst, len, pTwd, pBuf, true);
}
void VP_NAME(vps_crFftFwd_CoreMT_32f)(const float* pSrcRe, const float* pSrcIm, float* pDst, int len,
                                      const float* pTwd, const int32_t* pBitRev) {
  (void)pBitRev;
  coreTransforms([pSrcRe, pSrcIm](size_t i, int c) { return c ? pSrcIm[i] : pSrcRe[i]; }, pDst, pDst, len, pTwd, false);
}
void VP_NAME(vps_crFftInv_CoreMT_32f)(const float* pSrcRe, const float* pSrcIm, float* pDst, int len,
                                      const float* pTwd, const int32_t* pBitRev) {
  (void)pBitRev;
  coreTransforms([pSrcRe, pSrcIm](size_t i, int c) { return c ? pSrcIm[i] : pSrcRe[i]; }, pDst, pDst, len, pTwd, true);
}

void VP_NAME(vps_cFftFwd_Fact4_Last_32fc)(const float* pSrc, float* pDst, int len, int count, const float* pTwd) {
  lastFactorInterleaved(pSrc, pDst, len, count, pTwd, false);
}
void VP_NAME(vps_cFftInv_Fact4_Last_32fc)(const float* pSrc, float* pDst, int len, int count, const float* pTwd) {
  lastFactorInterleaved(pSrc, pDst, len, count, pTwd, true);
}
void VP_NAME(vps_crFftFwd_Fact4_Last_32f)(const float* pSrc, float* pDstRe, float* pDstIm, int len, int count,
                                          const float* pTwd) {
  lastFactorSplit(pSrc, pDstRe, pDstIm, len, count, pTwd, false);
}
void VP_NAME(vps_crFftInv_Fact4_Last_32f)(const float* pSrc, float* pDstRe, float* pDstIm, int len, int count,
                                          const float* pTwd) {
  lastFactorSplit(pSrc, pDstRe, pDstIm, len, count, pTwd, true);
}

#endif  // !VP_RADIX8_PLAN
