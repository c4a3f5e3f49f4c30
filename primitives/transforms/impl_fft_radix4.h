// Radix-4 forward FFT kernels on interleaved complex data. Between passes the
// data lives in the split-4 layout (blocks of four values: four real parts,
// then four imaginary parts), so one vector holds four butterflies' real or
// imaginary parts and the middle passes need no shuffles. The bit-reversal
// permutation of the natural-order kernel is merged into its first pass.
//
// Plans (N = 2^n):
// - first pass: radix 4 over groups gathered in bit-reversed order (and, in
//   the SSE2 variant for odd n, radix 8 instead);
// - twiddled radix-4 stages on sub-transforms of length L = 4, 16, ... (8, 32,
//   ... after a radix-8 first pass) while at least two groups remain, run on
//   2048-value slices first while a group fits into a slice;
// - a last pass into the destination: radix 4 with L = N/4, or radix 2 with
//   L = N/2 (odd n in the SSSE3 and SSE4.1 variants).
// Included by the variant sources (see impl_common.h).
#pragma once

#include "impl_common.h"

namespace {

// Constant island of the radix-4 kernels, five vectors read from one base:
// e^(-2*pi*i*k/8) for k = 0..3 (0.70710683 is 0x3F3504F4, one unit in the
// last place above the float nearest to sqrt(1/2)), the sign of lane 2 (the
// forward quarter turn of a value held in lanes 2 and 3), of lane 3 (the
// inverse one), and of lanes 0 and 2 (the real parts of two interleaved
// values).
struct alignas(16) ConstIsland {
  uint32_t twd8re[4];
  uint32_t twd8im[4];
  uint32_t MASK_0800F[4];
  uint32_t MASK_0800I[4];
  uint32_t SIGN_0808[4];
};
const ConstIsland CONST_TABLE = {{0x3F800000u, 0x3F3504F4u, 0x00000000u, 0xBF3504F4u},
                                 {0x00000000u, 0xBF3504F4u, 0xBF800000u, 0xBF3504F4u},
                                 {0, 0, 0x80000000u, 0},
                                 {0, 0, 0, 0x80000000u},
                                 {0x80000000u, 0, 0x80000000u, 0}};

constexpr int kSliceValues = 2048;

// Keeps a loaded vector in a register, so that the compiler does not fold
// the load into each of its uses: every loaded vector feeds two operations,
// and a load folded into both costs two loads.
inline __m128 held(__m128 v) {
  __asm__("" : "+x"(v));
  return v;
}

inline float* block(float* w, int p) { return w + 2 * p; }  // split-4 block holding value p (p % 4 == 0)

using Quad = Butterfly4;

// Two 4-point DFTs at once on interleaved pairs, the -i turn made with the
// island's SIGN_0808.
inline Quad quadButterfly(__m128 x0, __m128 x1, __m128 x2, __m128 x3) {
  return butterfly4(x0, x1, x2, x3, CONST_TABLE.SIGN_0808);
}

// The four outputs of two interleaved butterflies as the split vectors of
// one of them: the first values of the vectors (low halves) or the second.
inline void quadToSplit(const Quad& y, bool high, __m128& re, __m128& im) {
  const __m128 a = high ? _mm_unpackhi_ps(y.y0, y.y1) : _mm_unpacklo_ps(y.y0, y.y1);  // r0 r1 i0 i1
  const __m128 b = high ? _mm_unpackhi_ps(y.y2, y.y3) : _mm_unpacklo_ps(y.y2, y.y3);  // r2 r3 i2 i3
  re = _mm_movelh_ps(a, b);
  im = _mm_movehl_ps(b, a);
}

// Stores them as two split-4 blocks: low halves to dLo, high halves to dHi.
inline void storeQuadSplit(const Quad& y, float* dLo, float* dHi) {
  __m128 re, im;
  quadToSplit(y, false, re, im);
  _mm_store_ps(dLo, re);
  _mm_store_ps(dLo + 4, im);
  quadToSplit(y, true, re, im);
  _mm_store_ps(dHi, re);
  _mm_store_ps(dHi + 4, im);
}

// Radix-8 combination of two 4-point results held as split vectors:
// T[k] = B[k] * W8^k, out[k] = A[k] + T[k], out[k + 4] = A[k] - T[k].
inline void radix8Split(__m128 ar, __m128 ai, __m128 br, __m128 bi, float* d) {
  __m128 tr, ti;
  cmulSplit(br, bi, constVec(CONST_TABLE.twd8re), constVec(CONST_TABLE.twd8im), tr, ti);
  _mm_store_ps(d, _mm_add_ps(ar, tr));
  _mm_store_ps(d + 4, _mm_add_ps(ai, ti));
  _mm_store_ps(d + 8, _mm_sub_ps(ar, tr));
  _mm_store_ps(d + 12, _mm_sub_ps(ai, ti));
}

// 8-point transform in closed form, x[0..7] to out (interleaved); all inputs
// are read before the first store.
void dft8(const float* x, float* out) {
  const __m128 x01 = _mm_loadu_ps(x), x23 = _mm_loadu_ps(x + 4), x45 = _mm_loadu_ps(x + 8), x67 = _mm_loadu_ps(x + 12);
  // Even samples in the low halves, odd samples in the high halves.
  const Quad y = quadButterfly(x01, x23, x45, x67);
  __m128 ar, ai, br, bi;
  quadToSplit(y, false, ar, ai);
  quadToSplit(y, true, br, bi);
  alignas(16) float tmp[16];
  radix8Split(ar, ai, br, bi, tmp);
  storeInterleaved(out, _mm_load_ps(tmp), _mm_load_ps(tmp + 4));
  storeInterleaved(out + 8, _mm_load_ps(tmp + 8), _mm_load_ps(tmp + 12));
}

// Loads two neighbouring interleaved values; with kSwap their real and
// imaginary parts exchanged (the inverse kernels run the forward passes on
// exchanged parts: s(DFT(s(x))) with s(re, im) = (im, re) is the inverse DFT,
// and every product, sum and turn of the forward passes then performs,
// operand for operand, the conjugate product, the same sum and the opposite
// turn of the inverse kernel, so the results are the inverse kernel's bits).
template <bool kSwap>
inline __m128 loadPair(const float* p) {
  const __m128 v = held(_mm_loadu_ps(p));
  return kSwap ? swapPairs(v) : v;
}

// First pass, radix 4: group m (m = 0..N/4-1) gets the 4-point DFT of
// x[b + r*N/4], r = 0..3, b = rev_(n-2)(m), stored at Z[4m..4m+3]. Groups m
// and m + N/8 have b and b + 1, so they are done together from pairs of
// neighbouring inputs; b is read from the index table (entry m is 2b).
template <bool kSwap>
void firstPassRadix4(const float* x, float* w, int n, const int32_t* bitRev) {
  const int quarter = n / 4, eighth = n / 8;
  for (int m = 0; m < eighth; ++m) {
    const float* s = x + bitRev[m];  // float offset of value b
    const Quad y = quadButterfly(loadPair<kSwap>(s), loadPair<kSwap>(s + 2 * quarter),
                                 loadPair<kSwap>(s + 4 * quarter), loadPair<kSwap>(s + 6 * quarter));
    storeQuadSplit(y, block(w, 4 * m), block(w, 4 * (m + eighth)));
  }
}

// First pass, radix 8 (SSE2 variant, odd n): sub-transform s (s = 0..N/8-1)
// of length 8 from x[r + j*N/8], r = rev_(n-3)(s), at Z[8s..8s+7]. For
// s < N/16, r is entry 4s of the index table; sub-transform s + N/16 has r + 1.
template <bool kSwap>
void firstPassRadix8(const float* x, float* w, int n, const int32_t* bitRev) {
  const int q = n / 4, e = n / 8, sixteenth = n / 16;
  for (int s = 0; s < sixteenth; ++s) {
    const float* a = x + 2 * bitRev[4 * s];
    const float* b = a + 2 * e;
    const Quad ya = quadButterfly(loadPair<kSwap>(a), loadPair<kSwap>(a + 2 * q), loadPair<kSwap>(a + 4 * q),
                                  loadPair<kSwap>(a + 6 * q));
    const Quad yb = quadButterfly(loadPair<kSwap>(b), loadPair<kSwap>(b + 2 * q), loadPair<kSwap>(b + 4 * q),
                                  loadPair<kSwap>(b + 6 * q));
    for (int half = 0; half < 2; ++half) {
      __m128 ar, ai, br, bi;
      quadToSplit(ya, half != 0, ar, ai);
      quadToSplit(yb, half != 0, br, bi);
      radix8Split(ar, ai, br, bi, block(w, 8 * (s + half * sixteenth)));
    }
  }
}

// One butterfly of a twiddled radix-4 stage on four split-4 vectors pairs:
// D1 = w1*z2, D2 = w2*z1, D3 = w3*z3 (z1 at +L holds the sub-transform of the
// residue class 2, z2 at +2L that of class 1), then
// out0 = S + P, out1 = Q - iT, out2 = P - S, out3 = Q + iT with
// S = D1 + D3, T = D1 - D3, P = z0 + D2, Q = z0 - D2.
struct Split {
  __m128 re, im;
};
struct Bfly4Out {
  Split o0, o1, o2, o3;
};
inline Bfly4Out radix4Butterfly(Split z0, Split z1, Split z2, Split z3, const float* twd) {
  Split d1, d2, d3;
  cmulSplit(z2.re, z2.im, held(_mm_load_ps(twd)), held(_mm_load_ps(twd + 4)), d1.re, d1.im);
  cmulSplit(z1.re, z1.im, held(_mm_load_ps(twd + 8)), held(_mm_load_ps(twd + 12)), d2.re, d2.im);
  cmulSplit(z3.re, z3.im, held(_mm_load_ps(twd + 16)), held(_mm_load_ps(twd + 20)), d3.re, d3.im);
  const Split s{_mm_add_ps(d1.re, d3.re), _mm_add_ps(d1.im, d3.im)};
  const Split t{_mm_sub_ps(d1.re, d3.re), _mm_sub_ps(d1.im, d3.im)};
  const Split p{_mm_add_ps(z0.re, d2.re), _mm_add_ps(z0.im, d2.im)};
  const Split q{_mm_sub_ps(z0.re, d2.re), _mm_sub_ps(z0.im, d2.im)};
  return {{_mm_add_ps(s.re, p.re), _mm_add_ps(s.im, p.im)},
          {_mm_add_ps(q.re, t.im), _mm_sub_ps(q.im, t.re)},
          {_mm_sub_ps(p.re, s.re), _mm_sub_ps(p.im, s.im)},
          {_mm_sub_ps(q.re, t.im), _mm_add_ps(q.im, t.re)}};
}

inline Split loadSplit(const float* b) { return {held(_mm_load_ps(b)), held(_mm_load_ps(b + 4))}; }
inline void storeSplit(float* b, Split v) {
  _mm_store_ps(b, v.re);
  _mm_store_ps(b + 4, v.im);
}

// Twiddled radix-4 stage in place on `count` values: groups of 4L values,
// each combining four sub-transforms of length L into one of length 4L. Two
// steps of four butterflies go together (two groups when L = 4, whose one
// twiddle record is copied next to the loop once, eight consecutive
// butterflies otherwise).
void radix4Stage(float* w, int count, int len, const float* twd) {
  if (len == 4) {
    alignas(16) float t[24];
    memcpy(t, twd, sizeof t);
#pragma GCC unroll 2
    for (int p = 0; p < count; p += 16) {
      float* b0 = block(w, p);
      const Bfly4Out o = radix4Butterfly(loadSplit(b0), loadSplit(b0 + 8), loadSplit(b0 + 16), loadSplit(b0 + 24), t);
      storeSplit(b0, o.o0);
      storeSplit(b0 + 8, o.o1);
      storeSplit(b0 + 16, o.o2);
      storeSplit(b0 + 24, o.o3);
    }
    return;
  }
  for (int p = 0; p < count; p += 4 * len) {
    float* g = block(w, p);
#pragma GCC unroll 2
    for (int q = 0; q < len; q += 4) {
      float* b0 = g + 2 * q;
      const Bfly4Out o = radix4Butterfly(loadSplit(b0), loadSplit(b0 + 2 * len), loadSplit(b0 + 4 * len),
                                         loadSplit(b0 + 6 * len), twd + 6 * q);
      storeSplit(b0, o.o0);
      storeSplit(b0 + 2 * len, o.o1);
      storeSplit(b0 + 4 * len, o.o2);
      storeSplit(b0 + 6 * len, o.o3);
    }
  }
}

// Radix-8 step in place on pairs of 4-point blocks (2h, 2h + 1) of the work
// area: the second half of the SSE2 plan's radix-8 first pass where the
// 4-point blocks come from a pass of their own.
void radix8Pass(float* w, int count) {
  for (int p = 0; p < count; p += 8) {
    float* d = block(w, p);
    radix8Split(_mm_load_ps(d), _mm_load_ps(d + 4), _mm_load_ps(d + 8), _mm_load_ps(d + 12), d);
  }
}

// A first pass on runs of consecutive values: from n values at src to the
// same positions of the work area w (src may be w).
using RunsPass = void (*)(const float* src, float* w, int n);

// The middle stages of transforms of n values, over the `count` values of the
// work area (one transform, or several side by side), from sub-length `len`
// while at least two groups remain in each transform; returns the sub-length
// reached and advances *twd past the sections used. A first pass on runs,
// when given, goes with the stages: slice by slice when the stages run on
// 2048-value slices, so each slice stays in cache from its first pass to its
// last stage.
int middleStages(float* w, int count, int n, int len, const float** twd, RunsPass runs = nullptr,
                 const float* src = nullptr) {
  if (count > kSliceValues && 4 * len <= kSliceValues && 4 * len <= n / 2) {
    int sliceLen = len;
    const float* sliceTwd = *twd;
    for (int base = 0; base < count; base += kSliceValues) {
      if (runs) runs(src + 2 * base, block(w, base), kSliceValues);
      sliceLen = len;
      sliceTwd = *twd;
      for (; 4 * sliceLen <= kSliceValues && 4 * sliceLen <= n / 2; sliceLen *= 4) {
        radix4Stage(block(w, base), kSliceValues, sliceLen, sliceTwd);
        sliceTwd += 6 * sliceLen;
      }
    }
    len = sliceLen;
    *twd = sliceTwd;
  } else if (runs) {
    runs(src, w, count);
  }
  for (; 4 * len <= n / 2; len *= 4) {
    radix4Stage(w, count, len, *twd);
    *twd += 6 * len;
  }
  return len;
}

// Where the last pass puts four results, values k..k+3 of a transform: the
// stores run after all loads of their butterflies, so the destination may
// be the work area. kSwap exchanges real and imaginary parts (inverse
// kernels, see loadPair).
template <bool kSwap>
struct ToInterleaved {  // interleaved values at d
  float* d;
  void operator()(size_t k, Split v) const { storeInterleaved(d + 2 * k, kSwap ? v.im : v.re, kSwap ? v.re : v.im); }
};
template <bool kSwap>
struct ToSplit4 {  // split-4 blocks at d
  float* d;
  void operator()(size_t k, Split v) const {
    _mm_storeu_ps(d + 2 * k, kSwap ? v.im : v.re);
    _mm_storeu_ps(d + 2 * k + 4, kSwap ? v.re : v.im);
  }
};
struct ToArrays {  // separate real and imaginary arrays (exchange them for the inverse)
  float* re;
  float* im;
  void operator()(size_t k, Split v) const {
    _mm_storeu_ps(re + k, v.re);
    _mm_storeu_ps(im + k, v.im);
  }
};

// Last radix-4 pass (L = N/4, one group) from the work area. Each block of
// four values is read from all four quarters before its outputs are stored.
template <typename Store>
void lastPassRadix4(const float* w, int n, const float* twd, Store store) {
  const int len = n / 4;
  for (int q = 0; q < len; q += 4) {
    const float* b0 = w + 2 * q;
    const Bfly4Out o = radix4Butterfly(loadSplit(b0), loadSplit(b0 + 2 * len), loadSplit(b0 + 4 * len),
                                       loadSplit(b0 + 6 * len), twd + 6 * q);
    store(q, o.o0);
    store(q + len, o.o1);
    store(q + 2 * len, o.o2);
    store(q + 3 * len, o.o3);
  }
}

// Last radix-2 pass (L = N/2): X[q] = D0 + w(q)*Z[q + L], X[q + L] = D0 - w(q)*Z[q + L].
template <typename Store>
void lastPassRadix2(const float* w, int n, const float* twd, Store store) {
  const int len = n / 2;
  for (int q = 0; q < len; q += 4) {
    const float* b0 = w + 2 * q;
    const Split d0 = loadSplit(b0);
    const Split z1 = loadSplit(b0 + 2 * len);
    Split d1;
    cmulSplit(z1.re, z1.im, held(_mm_load_ps(twd + 2 * q)), held(_mm_load_ps(twd + 2 * q + 4)), d1.re, d1.im);
    store(q, {_mm_add_ps(d0.re, d1.re), _mm_add_ps(d0.im, d1.im)});
    store(q + len, {_mm_sub_ps(d0.re, d1.re), _mm_sub_ps(d0.im, d1.im)});
  }
}

template <typename Store>
void lastPass(const float* w, int n, int len, const float* twd, Store store) {
  if (len == n / 4) {
    lastPassRadix4(w, n, twd, store);
  } else {
    lastPassRadix2(w, n, twd, store);
  }
}

// The middle stages and the last pass of one transform of n values, from
// sub-transforms of length `len` in the work area (or from runs of src
// through the first pass `runs`).
template <typename Store>
void finishPasses(float* w, int n, int len, const float* twd, Store store, RunsPass runs = nullptr,
                  const float* src = nullptr) {
  len = middleStages(w, n, n, len, &twd, runs, src);
  lastPass(w, n, len, twd, store);
}

// True when n = 2^k with k odd.
inline bool oddOrder(int n) { return (n & 0x55555555) == 0; }

// Natural-order kernel. kRadix8 selects the SSE2 plan for odd n; kSwap the
// inverse direction.
template <bool kRadix8, bool kSwap>
void radix4Norm(const vpComplex32f* pSrc, vpComplex32f* pDst, int n, const float* pTwd, const int32_t* pBitRev,
                float* pBuffer) {
  const float* x = reinterpret_cast<const float*>(pSrc);
  float* out = reinterpret_cast<float*>(pDst);
  if (n == 8) {
    if (kSwap) {
      alignas(16) float tmp[16];
      for (int i = 0; i < 16; i += 4) _mm_store_ps(tmp + i, loadPair<true>(x + i));
      dft8(tmp, tmp);
      for (int i = 0; i < 16; i += 4) _mm_storeu_ps(out + i, loadPair<true>(tmp + i));
    } else {
      dft8(x, out);
    }
    return;
  }
  // 16 points run in a local area with a built-in index table, so neither
  // the buffer nor the spec's table is touched; otherwise the destination is
  // the work area when it may be.
  static const int32_t kBitRev16[5] = {0, 4, 2, 6, 0};
  alignas(16) float local[32];
  float* w = n == 16 ? local : (pSrc != pDst && aligned16(pDst)) ? out : pBuffer;
  if (n == 16) pBitRev = kBitRev16;
  int len;
  if (kRadix8 && oddOrder(n)) {
    firstPassRadix8<kSwap>(x, w, n, pBitRev);
    len = 8;
  } else {
    firstPassRadix4<kSwap>(x, w, n, pBitRev);
    len = 4;
  }
  finishPasses(w, n, len, pTwd, ToInterleaved<kSwap>{out});
}

// The smallest sizes the kernels serve: 8 points in natural order (closed
// form), 32 in bit-reversed order. Below them a call does nothing, so a
// short array is never read or written past its end.
constexpr int kNormMin = 8;
constexpr int kBitReversedMin = 32;

// First pass of the bit-reversed-input kernels on runs of consecutive
// elements; each run's result overwrites only what the run has read. With
// y[p] = x[rev_n(p)], the radix-4 group m of the natural-order kernel is
// the 4-point transform of the quartet (a, b, c, d) = y[4m..4m+3] taken as
// (a, c, b, d): s1 = a + b, d1 = a - b, s2 = c + d, d2 = c - d, then
// y0 = s1 + s2, y1 = d1 + r(d2), y2 = s1 - s2, y3 = d1 - r(d2), r the turn
// by -i (forward: the sign of lane 2 from MASK_0800F, then an exchange of
// lanes 2 and 3) or by +i (inverse: MASK_0800I). The inverse pass stores its
// results with real and imaginary parts exchanged, as the forward passes
// that follow expect (see loadPair).
template <bool kInverse>
void firstPassRuns4(const float* y, float* w, int n) {
  const __m128 turn = constVec(kInverse ? CONST_TABLE.MASK_0800I : CONST_TABLE.MASK_0800F);
  for (int m = 0; m < n / 4; ++m) {
    const __m128 ab = _mm_loadu_ps(y + 8 * m), cd = _mm_loadu_ps(y + 8 * m + 4);
    const __m128 ac = _mm_movelh_ps(ab, cd), bd = _mm_movehl_ps(cd, ab);
    const __m128 sum = _mm_add_ps(ac, bd);  // s1, s2
    __m128 dif = _mm_xor_ps(_mm_sub_ps(ac, bd), turn);
    dif = _mm_shuffle_ps(dif, dif, _MM_SHUFFLE(2, 3, 1, 0));  // d1, r(d2)
    const __m128 t = _mm_movelh_ps(sum, dif), u = _mm_movehl_ps(dif, sum);
    const __m128 y01 = _mm_add_ps(t, u), y23 = _mm_sub_ps(t, u);
    float* d = block(w, 4 * m);
    const __m128 re = _mm_shuffle_ps(y01, y23, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 im = _mm_shuffle_ps(y01, y23, _MM_SHUFFLE(3, 1, 3, 1));
    _mm_store_ps(d, kInverse ? im : re);
    _mm_store_ps(d + 4, kInverse ? re : im);
  }
}
// Radix 8 (SSE2 plan, odd n): Z[8s..8s+7] = R8(DFT4(y[8s], y[8s+2], y[8s+1], y[8s+3]),
//                                              DFT4(y[8s+4], y[8s+6], y[8s+5], y[8s+7])).
template <bool kInverse>
void firstPassRuns8(const float* y, float* w, int n) {
  firstPassRuns4<kInverse>(y, w, n);
  radix8Pass(w, n);
}

// Bit-reversed-input transform (N >= 32) of the values at y, through the
// work area w (which may be y): the same passes as the natural-order
// kernel, so both give the same bits for the same transform.
template <bool kRadix8, bool kInverse, typename Store>
void radix4BitReversed(const float* y, float* w, int n, const float* twd, Store store) {
  const bool radix8 = kRadix8 && oddOrder(n);
  finishPasses(w, n, radix8 ? 8 : 4, twd, store, radix8 ? firstPassRuns8<kInverse> : firstPassRuns4<kInverse>, y);
}

template <bool kRadix8, bool kInverse>
void radix4BitReversedInPlace(vpComplex32f* pSrcDst, int n, const float* pTwd, float* pBuffer, int interleave) {
  float* y = reinterpret_cast<float*>(pSrcDst);
  float* w = aligned16(pSrcDst) ? y : pBuffer;
  if (interleave == 1) {
    radix4BitReversed<kRadix8, kInverse>(y, w, n, pTwd, ToInterleaved<kInverse>{y});
  } else {
    radix4BitReversed<kRadix8, kInverse>(y, w, n, pTwd, ToSplit4<kInverse>{y});
  }
}

}  // namespace

void VP_NAME(vps_cRadix4FwdNorm_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, int len,
                                                 const float* pTwd, const int32_t* pBitRev, float* pBuffer) {
  if (len < kNormMin) return;
  radix4Norm<VP_RADIX8_PLAN != 0, false>(pSrc, pDst, len, pTwd, pBitRev, pBuffer);
}

void VP_NAME(vps_cRadix4Fwd_32fc)(vpComplex32f* pSrcDst, int len, const float* pTwd, float* pBuffer, int interleave) {
  if (len < kBitReversedMin) return;
  radix4BitReversedInPlace<VP_RADIX8_PLAN != 0, false>(pSrcDst, len, pTwd, pBuffer, interleave);
}

// Inverse twins of the two kernels: e^(+2 pi i mk/N), unscaled.
void VP_NAME(vps_cRadix4InvNorm_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                                      const int32_t* pBitRev, float* pBuffer) {
  if (len < kNormMin) return;
  radix4Norm<VP_RADIX8_PLAN != 0, true>(pSrc, pDst, len, pTwd, pBitRev, pBuffer);
}

void VP_NAME(vps_cRadix4Inv_32fc)(vpComplex32f* pSrcDst, int len, const float* pTwd, float* pBuffer, int interleave) {
  if (len < kBitReversedMin) return;
  radix4BitReversedInPlace<VP_RADIX8_PLAN != 0, true>(pSrcDst, len, pTwd, pBuffer, interleave);
}
