// Radix-4 kernels on split complex data: real parts and imaginary parts in
// two float arrays. They run the passes of the interleaved kernels on the
// same tables through the work buffer (split-4 layout): the first pass reads
// the two arrays (through the index table for natural-order input, in runs
// of consecutive positions for bit-reversed input) and the last pass writes
// them, so every result has the bits of the interleaved kernel of the same
// direction on the same values. The inverse kernels exchange the real and
// the imaginary arrays on the way in and out (see loadPair in
// impl_fft_radix4.h). 8 points run in closed form in a local area; below 8
// points the kernels do nothing. Included by the variant sources (see
// impl_common.h).
#pragma once

#include "impl_common.h"
#include "impl_fft_radix4.h"

namespace {

// 4-point DFTs lane by lane on split vectors (four independent transforms):
// Y0 = (x0 + x2) + (x1 + x3), Y2 = (x0 + x2) - (x1 + x3),
// Y1 = (x0 - x2) - i(x1 - x3), Y3 = (x0 - x2) + i(x1 - x3), the turn by -i
// formed as in the interleaved first pass (the real part negated by its sign
// bit, then added or subtracted), so that the two give the same bits.
struct SplitQuad {
  Split y0, y1, y2, y3;
};
inline SplitQuad butterflySplit(Split x0, Split x1, Split x2, Split x3) {
  const Split s02{_mm_add_ps(x0.re, x2.re), _mm_add_ps(x0.im, x2.im)};
  const Split d02{_mm_sub_ps(x0.re, x2.re), _mm_sub_ps(x0.im, x2.im)};
  const Split s13{_mm_add_ps(x1.re, x3.re), _mm_add_ps(x1.im, x3.im)};
  const __m128 d13re = _mm_sub_ps(x1.re, x3.re), d13im = _mm_sub_ps(x1.im, x3.im);
  const __m128 negRe = _mm_xor_ps(d13re, constVec(kSignAll));
  return {{_mm_add_ps(s02.re, s13.re), _mm_add_ps(s02.im, s13.im)},
          {_mm_add_ps(d02.re, d13im), _mm_add_ps(d02.im, negRe)},
          {_mm_sub_ps(s02.re, s13.re), _mm_sub_ps(s02.im, s13.im)},
          {_mm_sub_ps(d02.re, d13im), _mm_sub_ps(d02.im, negRe)}};
}

// Turns four lane-wise 4-point results into four split-4 blocks: after it
// y0 holds the Y0..Y3 of lane 0, y1 those of lane 1, and so on.
inline void transposeQuad(SplitQuad& q) {
  _MM_TRANSPOSE4_PS(q.y0.re, q.y1.re, q.y2.re, q.y3.re);
  _MM_TRANSPOSE4_PS(q.y0.im, q.y1.im, q.y2.im, q.y3.im);
}

inline Split loadArrays(const float* re, const float* im) { return {_mm_loadu_ps(re), _mm_loadu_ps(im)}; }

// First pass of the natural-order split kernels: step t (t = 0..N/16-1)
// takes the four columns c0..c0+3, c0 = 4 rev_(n-4)(t) = 2 * entry 4t of the
// index table, loads x[c + r N/4] as one vector per quarter r, and stores the
// 4-point transform of column c0 + l at the group 4 rev_(n-2)(c0 + l), that
// is blocks t, t + N/8, t + N/16, t + 3N/16 for l = 0, 1, 2, 3.
void crFirstPassNorm(const float* re, const float* im, float* w, int n, const int32_t* bitRev) {
  const int q = n / 4, sixteenth = n / 16;
  for (int t = 0; t < sixteenth; ++t) {
    const int c0 = t == 0 ? 0 : 2 * bitRev[4 * t];
    SplitQuad y = butterflySplit(loadArrays(re + c0, im + c0), loadArrays(re + c0 + q, im + c0 + q),
                                 loadArrays(re + c0 + 2 * q, im + c0 + 2 * q), loadArrays(re + c0 + 3 * q, im + c0 + 3 * q));
    transposeQuad(y);
    storeSplit(block(w, 4 * t), y.y0);
    storeSplit(block(w, 4 * (t + n / 8)), y.y1);
    storeSplit(block(w, 4 * (t + sixteenth)), y.y2);
    storeSplit(block(w, 4 * (t + 3 * sixteenth)), y.y3);
  }
}

// First pass of the bit-reversed-input split kernels, 16 positions a step:
// the quartets (a, b, c, d) of four consecutive positions are transposed into
// lanes and transformed as (a, c, b, d), each into the block of its quartet
// (the interleaved kernel's run pass, see firstPassRuns4).
void crFirstPassRuns(const float* re, const float* im, float* w, int n) {
  for (int p = 0; p < n; p += 16) {
    SplitQuad x{loadArrays(re + p, im + p), loadArrays(re + p + 4, im + p + 4), loadArrays(re + p + 8, im + p + 8),
                loadArrays(re + p + 12, im + p + 12)};
    transposeQuad(x);  // x.y0 = the a of the four quartets, x.y1 their b, ...
    SplitQuad y = butterflySplit(x.y0, x.y2, x.y1, x.y3);
    transposeQuad(y);
    storeSplit(block(w, p), y.y0);
    storeSplit(block(w, p + 4), y.y1);
    storeSplit(block(w, p + 8), y.y2);
    storeSplit(block(w, p + 12), y.y3);
  }
}

// 8 points in closed form through a local interleaved area; natural: the
// input is in natural order, otherwise in bit-reversed order (0 4 2 6 1 5 3 7).
void crSmall8(const float* re, const float* im, float* outRe, float* outIm, bool natural) {
  static const int kRev8[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  alignas(16) float z[16];
  for (int i = 0; i < 8; ++i) {
    const int j = natural ? i : kRev8[i];
    z[2 * j] = re[i];
    z[2 * j + 1] = im[i];
  }
  dft8(z, z);
  for (int i = 0; i < 8; ++i) {
    outRe[i] = z[2 * i];
    outIm[i] = z[2 * i + 1];
  }
}

// The passes after the first one (a radix-8 step first in the SSE2 plan for
// odd n), the last one into the two arrays.
void crFinish(float* w, float* outRe, float* outIm, int n, const float* twd) {
  int len = 4;
  if (VP_RADIX8_PLAN && oddOrder(n)) {
    radix8Pass(w, n);
    len = 8;
  }
  finishPasses(w, n, len, twd, ToArrays{outRe, outIm});
}

// Exchanging the two arrays on both sides turns the forward kernels into
// the inverse ones.
void crNorm(const float* re, const float* im, float* outRe, float* outIm, int len, const float* twd,
            const int32_t* bitRev, float* buffer) {
  if (len < 8) return;
  if (len == 8) {
    crSmall8(re, im, outRe, outIm, true);
    return;
  }
  crFirstPassNorm(re, im, buffer, len, bitRev);
  crFinish(buffer, outRe, outIm, len, twd);
}

void crBitReversed(float* re, float* im, int len, const float* twd, float* buffer) {
  if (len < 8) return;
  if (len == 8) {
    crSmall8(re, im, re, im, false);
    return;
  }
  crFirstPassRuns(re, im, buffer, len);
  crFinish(buffer, re, im, len, twd);
}

}  // namespace

void VP_NAME(vps_crRadix4FwdNorm_32f)(const float* pSrcRe, const float* pSrcIm, float* pDstRe, float* pDstIm, int len,
                                      const float* pTwd, const int32_t* pBitRev, float* pBuffer) {
  crNorm(pSrcRe, pSrcIm, pDstRe, pDstIm, len, pTwd, pBitRev, pBuffer);
}
void VP_NAME(vps_crRadix4InvNorm_32f)(const float* pSrcRe, const float* pSrcIm, float* pDstRe, float* pDstIm, int len,
                                      const float* pTwd, const int32_t* pBitRev, float* pBuffer) {
  crNorm(pSrcIm, pSrcRe, pDstIm, pDstRe, len, pTwd, pBitRev, pBuffer);
}
void VP_NAME(vps_crRadix4Fwd_32f)(float* pRe, float* pIm, int len, const float* pTwd, float* pBuffer) {
  crBitReversed(pRe, pIm, len, pTwd, pBuffer);
}
void VP_NAME(vps_crRadix4Inv_32f)(float* pRe, float* pIm, int len, const float* pTwd, float* pBuffer) {
  crBitReversed(pIm, pRe, len, pTwd, pBuffer);
}
