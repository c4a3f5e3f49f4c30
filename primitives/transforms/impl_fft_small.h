// Fixed-size forward FFTs of 1, 2, 4, 8, 16 and 32 points: straight-line
// code with the twiddles built in, two complex values per vector from 8
// points up. Each kernel reads all its inputs before its first store (the
// 2-point kernel holds x1 across its first store), so pSrc may equal pDst; no
// alignment is needed. Included by the variant sources (see impl_common.h).
#pragma once

#include "impl_common.h"

namespace {

alignas(16) const uint32_t SIGN_1000[4] = {0, 0, 0, 0x80000000u};
alignas(16) const uint32_t SIGN_0110[4] = {0, 0x80000000u, 0x80000000u, 0};
alignas(16) const float CS_1_8[4] = {0.707106769f, 0.707106769f, -0.707106769f, -0.707106769f};
alignas(16) const float CC_1_8[4] = {0.707106769f, 0.707106769f, 0.707106769f, 0.707106769f};

// Twiddle pairs c_re_j_N = (cos a, cos a, cos b, cos b) and
// c_im_j_N = (sin a, -sin a, sin b, -sin b): W^a on the first and W^b on the
// second value of a vector, angle 2*pi*x/N.
alignas(16) const float c_re_1_16[4] = {1.0f, 1.0f, 0.923879504f, 0.923879504f};  // W^0, W^1
alignas(16) const float c_im_1_16[4] = {0.0f, 0.0f, 0.382683426f, -0.382683426f};
alignas(16) const float c_re_2_16[4] = {0.707106769f, 0.707106769f, 0.382683426f, 0.382683426f};  // W^2, W^3
alignas(16) const float c_im_2_16[4] = {0.707106769f, -0.707106769f, 0.923879504f, -0.923879504f};
alignas(16) const float c_re_3_16[4] = {0.0f, 0.0f, -0.707106769f, -0.707106769f};  // W^4, W^6
alignas(16) const float c_im_3_16[4] = {1.0f, -1.0f, 0.707106769f, -0.707106769f};
alignas(16) const float c_re_4_16[4] = {-0.707106769f, -0.707106769f, -0.923879504f, -0.923879504f};  // W^6, W^9
alignas(16) const float c_im_4_16[4] = {0.707106769f, -0.707106769f, -0.382683426f, 0.382683426f};

alignas(16) const float c_re_1_32[4] = {1.0f, 1.0f, 0.980785251f, 0.980785251f};  // W^0, W^1
alignas(16) const float c_im_1_32[4] = {0.0f, 0.0f, 0.195090324f, -0.195090324f};
alignas(16) const float c_re_2_32[4] = {0.923879504f, 0.923879504f, 0.831469595f, 0.831469595f};  // W^2, W^3
alignas(16) const float c_im_2_32[4] = {0.382683426f, -0.382683426f, 0.555570245f, -0.555570245f};
alignas(16) const float c_re_3_32[4] = {0.707106769f, 0.707106769f, 0.382683426f, 0.382683426f};  // W^4, W^6
alignas(16) const float c_im_3_32[4] = {0.707106769f, -0.707106769f, 0.923879504f, -0.923879504f};
alignas(16) const float c_re_4_32[4] = {0.382683426f, 0.382683426f, -0.195090324f, -0.195090324f};  // W^6, W^9
alignas(16) const float c_im_4_32[4] = {0.923879504f, -0.923879504f, 0.980785251f, -0.980785251f};
alignas(16) const float c_re_5_32[4] = {0.707106769f, 0.707106769f, 0.555570245f, 0.555570245f};  // W^4, W^5
alignas(16) const float c_im_5_32[4] = {0.707106769f, -0.707106769f, 0.831469595f, -0.831469595f};
alignas(16) const float c_re_6_32[4] = {0.0f, 0.0f, -0.707106769f, -0.707106769f};  // W^8, W^12
alignas(16) const float c_im_6_32[4] = {1.0f, -1.0f, 0.707106769f, -0.707106769f};
alignas(16) const float c_re_7_32[4] = {-0.382683426f, -0.382683426f, -0.980785251f, -0.980785251f};  // W^10, W^15
alignas(16) const float c_im_7_32[4] = {0.923879504f, -0.923879504f, 0.195090324f, -0.195090324f};
alignas(16) const float c_re_8_32[4] = {0.382683426f, 0.382683426f, 0.195090324f, 0.195090324f};  // W^6, W^7
alignas(16) const float c_im_8_32[4] = {0.923879504f, -0.923879504f, 0.980785251f, -0.980785251f};
alignas(16) const float c_re_9_32[4] = {-0.707106769f, -0.707106769f, -0.923879504f, -0.923879504f};  // W^12, W^18
alignas(16) const float c_im_9_32[4] = {0.707106769f, -0.707106769f, -0.382683426f, 0.382683426f};
alignas(16) const float c_re_10_32[4] = {-0.923879504f, -0.923879504f, -0.555570245f, -0.555570245f};  // W^14, W^21
alignas(16) const float c_im_10_32[4] = {0.382683426f, -0.382683426f, -0.831469595f, 0.831469595f};

// v times a twiddle pair: v*c_re + swap(v)*c_im.
inline __m128 twiddlePair(__m128 v, const float (&cRe)[4], const float (&cIm)[4]) {
  return _mm_add_ps(_mm_mul_ps(v, _mm_load_ps(cRe)), _mm_mul_ps(swapPairs(v), _mm_load_ps(cIm)));
}

// The 4-point butterfly of the scaled 16-point kernel: the four intermediate
// values are multiplied by the scale before the last additions.
inline Butterfly4 butterfly4Scaled(__m128 x0, __m128 x1, __m128 x2, __m128 x3, __m128 s) {
  const __m128 a = _mm_mul_ps(_mm_add_ps(x0, x2), s);
  const __m128 b = _mm_mul_ps(_mm_sub_ps(x0, x2), s);
  const __m128 c = _mm_mul_ps(_mm_add_ps(x1, x3), s);
  const __m128 d = _mm_mul_ps(mulNegI(_mm_sub_ps(x1, x3)), s);
  return {_mm_add_ps(a, c), _mm_add_ps(b, d), _mm_sub_ps(a, c), _mm_sub_ps(b, d)};
}

inline float* fp(vpComplex32f* p) { return reinterpret_cast<float*>(p); }
inline const float* fp(const vpComplex32f* p) { return reinterpret_cast<const float*>(p); }
// 8-byte accesses that need no alignment.
inline __m128 loadComplex(const vpComplex32f* p) {
  return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}
inline void storeComplex(vpComplex32f* p, __m128 v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v));
}
inline void storeHigh(vpComplex32f* p, __m128 v) { storeComplex(p, _mm_movehl_ps(v, v)); }
// Stores the two values of v at p[0] and p[1].
inline void storePair(vpComplex32f* p, __m128 v) { _mm_storeu_ps(fp(p), v); }

// Output stores of the kernels: identity or a multiplication by the scale.
struct NoScale {
  __m128 operator()(__m128 v) const { return v; }
};
struct Scale {
  __m128 s;
  __m128 operator()(__m128 v) const { return _mm_mul_ps(v, s); }
};

template <typename Out>
inline void fft4(const vpComplex32f* pSrc, vpComplex32f* pDst, Out out) {
  const Butterfly4 y = butterfly4(loadComplex(pSrc), loadComplex(pSrc + 1), loadComplex(pSrc + 2), loadComplex(pSrc + 3));
  storeComplex(pDst, out(y.y0));
  storeComplex(pDst + 1, out(y.y1));
  storeComplex(pDst + 2, out(y.y2));
  storeComplex(pDst + 3, out(y.y3));
}

// 8 points as 4 x 2: the butterfly of the even samples in the low halves and
// of the odd samples in the high halves, twiddles W8^k on the odd ones, then
// one radix-2 step.
template <typename Out>
inline void fft8(const vpComplex32f* pSrc, vpComplex32f* pDst, Out out) {
  const float* x = fp(pSrc);
  const Butterfly4 y =
      butterfly4(_mm_loadu_ps(x), _mm_loadu_ps(x + 4), _mm_loadu_ps(x + 8), _mm_loadu_ps(x + 12));
  // (E2, O2) -> (E2, -i*O2)
  const __m128 y2 = _mm_xor_ps(_mm_shuffle_ps(y.y2, y.y2, _MM_SHUFFLE(2, 3, 1, 0)), constVec(SIGN_1000));
  // (O1, O3) -> (O1*W8, O3*W8^3)
  const __m128 o13 = _mm_movehl_ps(y.y3, y.y1);
  const __m128 w13 =
      _mm_mul_ps(_mm_add_ps(o13, _mm_xor_ps(swapPairs(o13), constVec(SIGN_0110))), _mm_load_ps(CS_1_8));
  const __m128 e02 = _mm_movelh_ps(y.y0, y2);
  const __m128 o02 = _mm_movehl_ps(y2, y.y0);
  const __m128 e13 = _mm_movelh_ps(y.y1, y.y3);
  const __m128 x02 = out(_mm_add_ps(e02, o02));
  const __m128 x46 = out(_mm_sub_ps(e02, o02));
  const __m128 x13 = out(_mm_add_ps(e13, w13));
  const __m128 x57 = out(_mm_sub_ps(e13, w13));
  storeComplex(pDst + 0, x02);
  storeHigh(pDst + 2, x02);
  storeComplex(pDst + 4, x46);
  storeHigh(pDst + 6, x46);
  storeComplex(pDst + 1, x13);
  storeHigh(pDst + 3, x13);
  storeComplex(pDst + 5, x57);
  storeHigh(pDst + 7, x57);
}

// First stage of the 16- and 32-point kernels (N = 4M): the butterflies of
// (x[m], x[m+M], x[m+2M], x[m+3M]) two values of m at a time, giving
// y[k][h] = (Y_k[2h], Y_k[2h+1]).
template <int M>
inline void firstStage(const float* x, __m128 (&y)[4][M / 2]) {
  for (int h = 0; h < M / 2; ++h) {
    const Butterfly4 b = butterfly4(_mm_loadu_ps(x + 4 * h), _mm_loadu_ps(x + 2 * M + 4 * h),
                                    _mm_loadu_ps(x + 4 * M + 4 * h), _mm_loadu_ps(x + 6 * M + 4 * h));
    y[0][h] = b.y0;
    y[1][h] = b.y1;
    y[2][h] = b.y2;
    y[3][h] = b.y3;
  }
}

// 16 points as 4 x 4. Y[k][h] = (Y_k[2h], Y_k[2h+1]) after the first stage;
// after the twiddles the values are regrouped as (Z_k[m], Z_k+1[m]) for k = 0
// and k = 2, so that the second stage runs two transforms per vector.
template <bool kScaled>
inline void fft16(const vpComplex32f* pSrc, vpComplex32f* pDst, float scale) {
  __m128 y[4][2];
  firstStage<4>(fp(pSrc), y);
  const __m128 t1 = twiddlePair(_mm_movehl_ps(y[1][0], y[0][0]), c_re_1_16, c_im_1_16);  // Z0[1], Z1[1]
  const __m128 t2 = twiddlePair(_mm_movehl_ps(y[3][0], y[2][0]), c_re_2_16, c_im_2_16);  // Z2[1], Z3[1]
  const __m128 t3 = twiddlePair(y[1][1], c_re_2_16, c_im_2_16);                          // Z1[2], Z1[3]
  const __m128 t4 = twiddlePair(_mm_movelh_ps(y[2][1], y[3][1]), c_re_3_16, c_im_3_16);  // Z2[2], Z3[2]
  const __m128 t5 = twiddlePair(_mm_movehl_ps(y[3][1], y[2][1]), c_re_4_16, c_im_4_16);  // Z2[3], Z3[3]
  const __m128 g0[4] = {_mm_movelh_ps(y[0][0], y[1][0]), t1, _mm_movelh_ps(y[0][1], t3), _mm_movehl_ps(t3, y[0][1])};
  const __m128 g2[4] = {_mm_movelh_ps(y[2][0], y[3][0]), t2, t4, t5};
  const __m128 s = _mm_set1_ps(scale);
  const Butterfly4 a = kScaled ? butterfly4Scaled(g0[0], g0[1], g0[2], g0[3], s) : butterfly4(g0[0], g0[1], g0[2], g0[3]);
  const Butterfly4 b = kScaled ? butterfly4Scaled(g2[0], g2[1], g2[2], g2[3], s) : butterfly4(g2[0], g2[1], g2[2], g2[3]);
  storePair(pDst + 0, a.y0);
  storePair(pDst + 4, a.y1);
  storePair(pDst + 8, a.y2);
  storePair(pDst + 12, a.y3);
  storePair(pDst + 2, b.y0);
  storePair(pDst + 6, b.y1);
  storePair(pDst + 10, b.y2);
  storePair(pDst + 14, b.y3);
}

// The 8-point DFT over m of the second stage of the 32-point kernel, for two
// values of k at once: outputs X[k + 4q], q = 0..7, stored at pDst[k + 4q].
template <typename Out>
inline void fft32Second(const __m128 (&z)[8], vpComplex32f* pDst, Out out) {
  __m128 a[4];
  for (int m = 0; m < 4; ++m) a[m] = _mm_add_ps(z[m], z[m + 4]);
  const __m128 b0 = _mm_sub_ps(z[0], z[4]);
  const __m128 b1 = _mm_sub_ps(z[1], z[5]);
  const Butterfly4 even = butterfly4(a[0], a[1], a[2], a[3]);
  const __m128 c = _mm_load_ps(CC_1_8);
  const __m128 u = _mm_mul_ps(c, b1);
  const __m128 v = _mm_mul_ps(c, _mm_sub_ps(z[7], z[3]));
  const __m128 d62 = _mm_sub_ps(z[6], z[2]);
  const __m128 vPlusU = _mm_add_ps(v, u);
  const __m128 vMinusU = _mm_sub_ps(v, u);
  const __m128 r = _mm_add_ps(b0, vPlusU);
  const __m128 s = _mm_sub_ps(b0, vPlusU);
  const __m128 p = mulNegI(_mm_add_ps(d62, vMinusU));
  const __m128 t = mulNegI(_mm_sub_ps(vMinusU, d62));
  storePair(pDst + 0, out(even.y0));
  storePair(pDst + 8, out(even.y1));
  storePair(pDst + 16, out(even.y2));
  storePair(pDst + 24, out(even.y3));
  storePair(pDst + 4, out(_mm_sub_ps(r, p)));
  storePair(pDst + 28, out(_mm_add_ps(r, p)));
  storePair(pDst + 12, out(_mm_sub_ps(s, t)));
  storePair(pDst + 20, out(_mm_add_ps(s, t)));
}

// 32 points as 4 x 8, the 8-point part as 2 x 4.
template <typename Out>
inline void fft32(const vpComplex32f* pSrc, vpComplex32f* pDst, Out out) {
  __m128 y[4][4];
  firstStage<8>(fp(pSrc), y);
  const __m128 p1 = twiddlePair(_mm_movehl_ps(y[1][0], y[0][0]), c_re_1_32, c_im_1_32);   // Z0[1], Z1[1]
  const __m128 p2 = twiddlePair(_mm_movehl_ps(y[3][0], y[2][0]), c_re_2_32, c_im_2_32);   // Z2[1], Z3[1]
  const __m128 p3 = twiddlePair(y[1][1], c_re_2_32, c_im_2_32);                           // Z1[2], Z1[3]
  const __m128 p4 = twiddlePair(_mm_movelh_ps(y[2][1], y[3][1]), c_re_3_32, c_im_3_32);   // Z2[2], Z3[2]
  const __m128 p5 = twiddlePair(_mm_movehl_ps(y[3][1], y[2][1]), c_re_4_32, c_im_4_32);   // Z2[3], Z3[3]
  const __m128 p6 = twiddlePair(y[1][2], c_re_5_32, c_im_5_32);                           // Z1[4], Z1[5]
  const __m128 p7 = twiddlePair(_mm_movelh_ps(y[2][2], y[3][2]), c_re_6_32, c_im_6_32);   // Z2[4], Z3[4]
  const __m128 p8 = twiddlePair(_mm_movehl_ps(y[3][2], y[2][2]), c_re_7_32, c_im_7_32);   // Z2[5], Z3[5]
  const __m128 p9 = twiddlePair(y[1][3], c_re_8_32, c_im_8_32);                           // Z1[6], Z1[7]
  const __m128 p10 = twiddlePair(_mm_movelh_ps(y[2][3], y[3][3]), c_re_9_32, c_im_9_32);  // Z2[6], Z3[6]
  const __m128 p11 = twiddlePair(_mm_movehl_ps(y[3][3], y[2][3]), c_re_10_32, c_im_10_32);  // Z2[7], Z3[7]
  const __m128 g0[8] = {_mm_movelh_ps(y[0][0], y[1][0]), p1,
                        _mm_movelh_ps(y[0][1], p3),      _mm_movehl_ps(p3, y[0][1]),
                        _mm_movelh_ps(y[0][2], p6),      _mm_movehl_ps(p6, y[0][2]),
                        _mm_movelh_ps(y[0][3], p9),      _mm_movehl_ps(p9, y[0][3])};
  const __m128 g2[8] = {_mm_movelh_ps(y[2][0], y[3][0]), p2, p4, p5, p7, p8, p10, p11};
  fft32Second(g0, pDst, out);
  fft32Second(g2, pDst + 2, out);
}

}  // namespace

void VP_NAME(vps_cFFT_1_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst) { memmove(pDst, pSrc, 8); }
void VP_NAME(vps_cFFT_1_scale_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, float scale) {
  const float re = pSrc->re * scale;
  const float im = pSrc->im * scale;
  pDst->re = re;
  pDst->im = im;
}

void VP_NAME(vps_cFFT_2_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst) {
  const float x1r = pSrc[1].re, x1i = pSrc[1].im;
  pDst[1].re = pSrc[0].re - x1r;
  pDst[1].im = pSrc[0].im - x1i;
  pDst[0].re = pSrc[0].re + x1r;
  pDst[0].im = pSrc[0].im + x1i;
}
void VP_NAME(vps_cFFT_2_scale_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, float scale) {
  const float x1r = pSrc[1].re, x1i = pSrc[1].im;
  pDst[1].re = (pSrc[0].re - x1r) * scale;
  pDst[1].im = (pSrc[0].im - x1i) * scale;
  pDst[0].re = (pSrc[0].re + x1r) * scale;
  pDst[0].im = (pSrc[0].im + x1i) * scale;
}

void VP_NAME(vps_cFFTfwd_4_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst) { fft4(pSrc, pDst, NoScale{}); }
void VP_NAME(vps_cFFTfwd_4_scale_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, float scale) {
  fft4(pSrc, pDst, Scale{_mm_set1_ps(scale)});
}
void VP_NAME(vps_cFFTfwd_8_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst) { fft8(pSrc, pDst, NoScale{}); }
void VP_NAME(vps_cFFTfwd_8_scale_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, float scale) {
  fft8(pSrc, pDst, Scale{_mm_set1_ps(scale)});
}
void VP_NAME(vps_cFFTfwd_16_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst) { fft16<false>(pSrc, pDst, 1.0f); }
void VP_NAME(vps_cFFTfwd_16_scale_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, float scale) {
  fft16<true>(pSrc, pDst, scale);
}
void VP_NAME(vps_cFFTfwd_32_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst) { fft32(pSrc, pDst, NoScale{}); }
void VP_NAME(vps_cFFTfwd_32_scale_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, float scale) {
  fft32(pSrc, pDst, Scale{_mm_set1_ps(scale)});
}


namespace {

using SmallFft = void (*)(const vpComplex32f*, vpComplex32f*);
using SmallFftScaled = void (*)(const vpComplex32f*, vpComplex32f*, float);

// Indexed by the order 0..5.
const SmallFft tbl_cFFTfwd_small[6] = {
    VP_NAME(vps_cFFT_1_32fc),     VP_NAME(vps_cFFT_2_32fc),      VP_NAME(vps_cFFTfwd_4_32fc),
    VP_NAME(vps_cFFTfwd_8_32fc),  VP_NAME(vps_cFFTfwd_16_32fc),  VP_NAME(vps_cFFTfwd_32_32fc)};
const SmallFftScaled tbl_cFFTfwd_small_scale[6] = {
    VP_NAME(vps_cFFT_1_scale_32fc),    VP_NAME(vps_cFFT_2_scale_32fc),     VP_NAME(vps_cFFTfwd_4_scale_32fc),
    VP_NAME(vps_cFFTfwd_8_scale_32fc), VP_NAME(vps_cFFTfwd_16_scale_32fc), VP_NAME(vps_cFFTfwd_32_scale_32fc)};

}  // namespace
