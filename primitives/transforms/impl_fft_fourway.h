// The four-way split FFT of 4M points (SSSE3 and SSE4.1 members): two core
// calls leave the M-point transforms of the residue classes x[4j + e],
// e = 0, 1 (first call) and e = 2, 3 (second call, source advanced by two
// values), in split-4 layout one after the other; one last-factor pass,
// whole or in runs of butterflies, combines them into the 4M-point
// transform in natural order.
//
// A core call gathers both residue classes through the index table (entry g
// is twice the b of block g) into the two halves of its work area with
// untwiddled 4-point transforms, runs the radix-4 stages of the M-point
// natural-order kernel over both halves at once, and ends with one last pass
// per half into the destination, so each sub-transform gets the bits of the
// M-point natural-order kernel. The inverse members exchange real and
// imaginary parts on the way in and out (see loadPair in impl_fft_radix4.h).
// Included by the variant sources (see impl_common.h).
#pragma once

#include "impl_common.h"
#include "impl_fft_radix4.h"
#include "impl_fft_split.h"

#if !VP_RADIX8_PLAN

namespace {

// First pass of the interleaved members: value x[4b + rM + e] is quarter r
// of class e at b, so one 16-byte load holds both classes; the low halves of
// the 4-point results go to block g of the first half, the high halves to
// block g of the second. Stops after the step whose next entry is the
// table's terminating 0.
template <bool kSwap>
void coreFirstPassInterleaved(const float* x, float* w, int m, const int32_t* bitRev) {
  const size_t quarter = 2 * static_cast<size_t>(m);  // floats
  for (int g = 0;; g += 2) {
    for (int h = 0; h < 2; ++h) {
      const float* s = x + 4 * static_cast<size_t>(g + h == 0 ? 0 : bitRev[g + h]);
      const Quad y = quadButterfly(loadPair<kSwap>(s), loadPair<kSwap>(s + quarter), loadPair<kSwap>(s + 2 * quarter),
                                   loadPair<kSwap>(s + 3 * quarter));
      storeQuadSplit(y, block(w, 4 * (g + h)), block(w, m + 4 * (g + h)));
    }
    if (bitRev[g + 2] == 0) break;
  }
}

// Two classes' values at j and j + 1 of one quarter: x[4j], x[4j + 1],
// x[4j + 4], x[4j + 5] from float p = 4j of one array.
inline __m128 loadClassPairs(const float* p) {
  const __m128 lo = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  return _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(p + 4));
}

// First pass of the split members: step g takes c = entry 2g (2 rev_(m-3)(g))
// and transforms, lane by lane, class 0 and 1 at j = c and j = c + 1; they
// fill block g and block g + M/8 of both halves. Stops at the first entry
// that is not positive.
void coreFirstPassSplit(const float* re, const float* im, float* w, int m, const int32_t* bitRev) {
  for (int g = 0;; ++g) {
    const size_t c = g == 0 ? 0 : static_cast<size_t>(bitRev[2 * g]);
    Split a[4];
    for (size_t r = 0; r < 4; ++r) {
      const size_t off = 4 * c + r * static_cast<size_t>(m);
      a[r] = {loadClassPairs(re + off), loadClassPairs(im + off)};
    }
    SplitQuad y = butterflySplit(a[0], a[1], a[2], a[3]);
    transposeQuad(y);
    storeSplit(block(w, 4 * g), y.y0);
    storeSplit(block(w, m + 4 * g), y.y1);
    storeSplit(block(w, 4 * g + m / 2), y.y2);
    storeSplit(block(w, m + 4 * g + m / 2), y.y3);
    if (bitRev[2 * g + 2] <= 0) break;
  }
}

// The core of all four members, after its first pass has filled the work
// area: the radix-4 stages of M-point transforms over both halves (slice by
// slice above 2048 values), then the last pass of each half into out, split-4
// layout (kSwap: parts exchanged back).
template <bool kSwap, typename FirstPass>
void CoreMT(FirstPass firstPass, float* work, float* out, int len, const float* twd) {
  if (len < 32) return;  // below the smallest table the kernel runs on: nothing is done
  firstPass(work);
  const int l = middleStages(work, 2 * len, len, 4, &twd);
  for (size_t e = 0; e < 2; ++e) {
    const size_t half = 2 * static_cast<size_t>(len) * e;
    lastPass(work + half, len, l, twd, ToSplit4<kSwap>{out + half});
  }
}

template <bool kInverse>
void coreInterleaved(const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                     const int32_t* pBitRev, float* pBuf) {
  float* dst = reinterpret_cast<float*>(pDst);
  const float* src = reinterpret_cast<const float*>(pSrc);
  float* work = pSrc != pDst && aligned16(pDst) ? dst : pBuf;
  CoreMT<kInverse>([&](float* w) { coreFirstPassInterleaved<kInverse>(src, w, len, pBitRev); }, work, dst, len, pTwd);
}

// Exchanging the two source arrays, and the parts of the results, turns the
// forward core into the inverse one.
template <bool kInverse>
void coreSplit(const float* pSrcRe, const float* pSrcIm, float* pDst, int len, const float* pTwd,
               const int32_t* pBitRev) {
  const float* re = kInverse ? pSrcIm : pSrcRe;
  const float* im = kInverse ? pSrcRe : pSrcIm;
  CoreMT<kInverse>([&](float* w) { coreFirstPassSplit(re, im, w, len, pBitRev); }, pDst, pDst, len, pTwd);
}

// Last radix-4 factor on four quarters in natural residue order; forward
// twiddles, conjugated (and the turn made by +i) for the inverse.
template <typename Store>
void Fact4_Last(const float* pSrc, int len, int count, const float* pTwd, bool inverse, Store store) {
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
  Fact4_Last(pSrc, len, count, pTwd, inverse,
             [pDst](size_t k, SplitVec x) { storeInterleaved(pDst + 2 * k, x.re, x.im); });
}
void lastFactorSplit(const float* pSrc, float* pDstRe, float* pDstIm, int len, int count, const float* pTwd,
                     bool inverse) {
  Fact4_Last(pSrc, len, count, pTwd, inverse, [pDstRe, pDstIm](size_t k, SplitVec x) {
    _mm_storeu_ps(pDstRe + k, x.re);
    _mm_storeu_ps(pDstIm + k, x.im);
  });
}

}  // namespace

void VP_NAME(vps_cFftFwd_CoreMT_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                                      const int32_t* pBitRev, float* pBuf) {
  coreInterleaved<false>(pSrc, pDst, len, pTwd, pBitRev, pBuf);
}
void VP_NAME(vps_cFftInv_CoreMT_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                                      const int32_t* pBitRev, float* pBuf) {
  coreInterleaved<true>(pSrc, pDst, len, pTwd, pBitRev, pBuf);
}
void VP_NAME(vps_crFftFwd_CoreMT_32f)(const float* pSrcRe, const float* pSrcIm, float* pDst, int len,
                                      const float* pTwd, const int32_t* pBitRev) {
  coreSplit<false>(pSrcRe, pSrcIm, pDst, len, pTwd, pBitRev);
}
void VP_NAME(vps_crFftInv_CoreMT_32f)(const float* pSrcRe, const float* pSrcIm, float* pDst, int len,
                                      const float* pTwd, const int32_t* pBitRev) {
  coreSplit<true>(pSrcRe, pSrcIm, pDst, len, pTwd, pBitRev);
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
