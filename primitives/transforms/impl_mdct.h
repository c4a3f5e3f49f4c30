// Inverse MDCT: sizes, spec initialisation and transform, with the pre- and
// post-processing around the complex FFT (and the matching forward pair).
// A power-of-two length len runs on an FFT of len/4 points; lengths 12 and
// 36 have closed-form kernels. Included by the variant sources (see
// impl_common.h) after impl_fft_interface.h.
#pragma once

#include "impl_common.h"
#include "impl_fft_interface.h"

namespace {

constexpr int kMdctTag = 56;
constexpr int kMdctHeaderBytes = 28;
constexpr int kMdctTwiddleOffset = 32;

bool isPowerOfTwo(int len) { return len > 0 && (len & (len - 1)) == 0; }
int log2Of(int v) {
  int k = 0;
  while ((1 << k) < v) ++k;
  return k;
}
// Twiddle area: len/2 floats rounded up to whole blocks of 32 floats.
int64_t twiddleAreaBytes(int len) { return (static_cast<int64_t>(len / 2) + 31) / 32 * 128; }

// Longer lengths are refused: from 2^29 on the work-buffer size 4*len + 64
// (and from 2^30 the spec size) no longer fits a signed 32-bit byte count.
constexpr int kMaxLength = 1 << 28;
bool supportedLength(int len) { return len == 12 || len == 36 || (isPowerOfTwo(len) && len >= 32 && len <= kMaxLength); }

// The layout words of a spec that initialisation built; a valid tag over
// other values (a damaged record) is treated as a foreign spec.
bool layoutMatches(const MDCTInvSpec_32f* spec) {
  const int len = spec->length;
  if (!supportedLength(len) || spec->twiddleOffset != kMdctTwiddleOffset) return false;
  if (!isPowerOfTwo(len)) return spec->fftSpecOffset == 0 && spec->workSize == 4 * len + 32;
  const int order = log2Of(len / 4);
  const int fftBuffer = order <= 5 ? 0 : 8 * (1 << order) + 32;
  return spec->fftSpecOffset == kMdctTwiddleOffset + twiddleAreaBytes(len) && spec->fftOrder == order &&
         spec->workSize == fftBuffer + 4 * len + 32;
}

// ---- Processing steps around the FFT. The twiddle table holds, per step g,
// ts and tc of the front quadruple k = 4g..4g+3, then of the back quadruple
// k = len/4-4g-4..len/4-4g-1 (16 floats).

// Z[k] = (a + i*b) * (c - i*s): re = a*c + b*s, im = b*c - a*s.
inline void rotateIn(__m128 a, __m128 b, __m128 s, __m128 c, float* dst) {
  const __m128 re = _mm_add_ps(_mm_mul_ps(a, c), _mm_mul_ps(b, s));
  const __m128 im = _mm_sub_ps(_mm_mul_ps(b, c), _mm_mul_ps(a, s));
  storeInterleaved(dst, re, im);
}
// A + i*B = Z * (s + i*c): A = R*s - I*c, B = I*s + R*c.
inline void rotateOut(const float* z, __m128 s, __m128 c, __m128& a, __m128& b) {
  __m128 re, im;
  interleavedToSplit(_mm_load_ps(z), _mm_load_ps(z + 4), re, im);
  a = _mm_sub_ps(_mm_mul_ps(re, s), _mm_mul_ps(im, c));
  b = _mm_add_ps(_mm_mul_ps(im, s), _mm_mul_ps(re, c));
}
inline __m128 evens(__m128 lo, __m128 hi) { return _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)); }
inline __m128 oddsReversed(__m128 lo, __m128 hi) { return _mm_shuffle_ps(hi, lo, _MM_SHUFFLE(1, 3, 1, 3)); }
inline __m128 negate(__m128 v) { return _mm_xor_ps(v, constVec(kSignAll)); }
inline void storeRun(float* y, __m128 even, __m128 odd) { storeInterleaved(y, even, odd); }

void mdctInvPre(const float* x, float* z, int len, const float* twd) {
  const int half = len / 2, quarter = len / 4;
  for (int g = 0; g < len / 32; ++g, twd += 16) {
    const float* f = x + 8 * g;
    const float* b = x + half - 8 - 8 * g;
    const __m128 f0 = _mm_loadu_ps(f), f1 = _mm_loadu_ps(f + 4);
    const __m128 b0 = _mm_loadu_ps(b), b1 = _mm_loadu_ps(b + 4);
    // Front quadruple: a = x[2k], b = x[len/2-1-2k] from the back group.
    rotateIn(evens(f0, f1), oddsReversed(b0, b1), _mm_load_ps(twd), _mm_load_ps(twd + 4), z + 8 * g);
    rotateIn(evens(b0, b1), oddsReversed(f0, f1), _mm_load_ps(twd + 8), _mm_load_ps(twd + 12),
             z + 2 * (quarter - 4 - 4 * g));
  }
}

void mdctInvPost(const float* z, float* y, int len, const float* twd) {
  const int q = len / 4;
  for (int g = 0; g < len / 32; ++g, twd += 16) {
    __m128 af, bf, ab, bb;
    rotateOut(z + 8 * g, _mm_load_ps(twd), _mm_load_ps(twd + 4), af, bf);
    rotateOut(z + 2 * (q - 4 - 4 * g), _mm_load_ps(twd + 8), _mm_load_ps(twd + 12), ab, bb);
    storeRun(y + q - 8 - 8 * g, bb, reverse4(af));
    storeRun(y + q + 8 * g, negate(af), reverse4(negate(bb)));
    storeRun(y + 3 * q - 8 - 8 * g, negate(ab), reverse4(negate(bf)));
    storeRun(y + 3 * q + 8 * g, negate(bf), reverse4(negate(ab)));
  }
}

void mdctFwdPre(const float* x, float* z, int len, const float* twd) {
  const int quarter = len / 4, threeQ = 3 * len / 4;
  for (int g = 0; g < len / 32; ++g, twd += 16) {
    const float* pf1 = x + quarter + 8 * g;
    const float* pf3 = x + threeQ + 8 * g;
    const float* pb1 = x + quarter - 8 - 8 * g;
    const float* pb3 = x + threeQ - 8 - 8 * g;
    const __m128 f1a = _mm_loadu_ps(pf1), f1b = _mm_loadu_ps(pf1 + 4);
    const __m128 f3a = _mm_loadu_ps(pf3), f3b = _mm_loadu_ps(pf3 + 4);
    const __m128 b1a = _mm_loadu_ps(pb1), b1b = _mm_loadu_ps(pb1 + 4);
    const __m128 b3a = _mm_loadu_ps(pb3), b3b = _mm_loadu_ps(pb3 + 4);
    // Folded values r[n]: -x[3N/4+n] - x[3N/4-1-n] below N/4, x[n-N/4] - x[3N/4-1-n] above.
    const __m128 aFront = _mm_sub_ps(negate(evens(f3a, f3b)), oddsReversed(b3a, b3b));
    const __m128 bFront = _mm_sub_ps(oddsReversed(b1a, b1b), evens(f1a, f1b));
    const __m128 aBack = _mm_sub_ps(evens(b1a, b1b), oddsReversed(f1a, f1b));
    const __m128 bBack = _mm_sub_ps(negate(oddsReversed(f3a, f3b)), evens(b3a, b3b));
    rotateIn(aFront, bFront, _mm_load_ps(twd), _mm_load_ps(twd + 4), z + 8 * g);
    rotateIn(aBack, bBack, _mm_load_ps(twd + 8), _mm_load_ps(twd + 12), z + 2 * (quarter - 4 - 4 * g));
  }
}

void mdctFwdPost(const float* z, float* out, int len, const float* twd) {
  const int q = len / 4, half = len / 2;
  for (int g = 0; g < len / 32; ++g, twd += 16) {
    __m128 af, bf, ab, bb;
    rotateOut(z + 8 * g, _mm_load_ps(twd), _mm_load_ps(twd + 4), af, bf);
    rotateOut(z + 2 * (q - 4 - 4 * g), _mm_load_ps(twd + 8), _mm_load_ps(twd + 12), ab, bb);
    storeRun(out + 8 * g, bf, reverse4(ab));
    storeRun(out + half - 8 - 8 * g, bb, reverse4(af));
  }
}

// ---- Closed-form kernels of lengths 12 and 36.
const float _2cos_pi_18 = 1.9696155f;
const float _2cos_2pi_18 = 1.8793852f;
const float _2cos_4pi_18 = 1.5320889f;
const float _2cos_8pi_18 = 0.34729636f;
const float _2sin_2pi_18 = 0.6840403f;
const float _2sin_4pi_18 = 1.2855753f;
const float sqrt_3 = 1.7320508f;
const float C_1_3 = -0.5f;
const float S_1_3 = -0.8660254f;
const float _cos_3pi_12 = 0.70710677f;
const float _2cos_pi_12 = 1.9318516f;
const float _2cos_5pi_12 = 0.5176381f;

// 1/(12 cos((2k+1) pi/24)), k = 0..5, held to six decimals.
const float kFactor12[6] = {0.084052f, 0.090199f, 0.105039f, 0.13689f, 0.217761f, 0.638442f};

// Groups m = 0..8 of (1/(2 cos((2m+1) pi/36)), -1/(72 cos((2m+1) pi/72)),
// 1/(72 sin((2m+1) pi/72))); group 4 has only the last two (twice the
// general form), its first factor being _cos_3pi_12.
const float twFact36[26] = {0.5019099f, -0.013902f, 0.318411f,  0.517638f,   -0.014009f, 0.106407f, 0.55168897f,
                            -0.014226f, 0.06417f,   0.61038727f, -0.014563f, 0.046188f,  -0.030066f, 0.072587f,
                            0.8717234f, -0.015658f, 0.030079f,  1.1831008f,  -0.016468f, 0.025849f,  1.9318516f,
                            -0.017507f, 0.022815f,  5.7368565f, -0.018838f,  0.020558f};

void mdctInv12(const float* x, float* y) {
  const float t = x[0] + x[1];
  const float u = x[0] - (x[3] + x[4]);
  const float sHigh = ((x[5] + x[4]) + x[3]) + x[2];
  const float sLow = ((x[2] + x[3]) + x[1]) + x[0];
  const float v = S_1_3 * (x[1] + x[2]);
  const float c34 = C_1_3 * (x[3] + x[4]);
  const float p0 = (x[0] - v) - c34;
  const float p1 = (v + x[0]) - c34;
  const float w = S_1_3 * sLow;
  const float cHigh = C_1_3 * sHigh;
  const float m1 = ((t + w) - cHigh) * _2cos_pi_12;
  const float m2 = ((t - w) - cHigh) * _2cos_5pi_12;
  const float h = (t - sHigh) * _cos_3pi_12;
  const float y0 = (p1 - m1) * kFactor12[3];
  const float y1 = (u - h) * kFactor12[4];
  const float y2 = (p0 - m2) * kFactor12[5];
  const float y6 = -((p1 + m1) * kFactor12[2]);
  const float y7 = -((u + h) * kFactor12[1]);
  const float y8 = -((p0 + m2) * kFactor12[0]);
  y[0] = y0;
  y[1] = y1;
  y[2] = y2;
  y[3] = -y2;
  y[4] = -y1;
  y[5] = -y0;
  y[6] = y[11] = y6;
  y[7] = y[10] = y7;
  y[8] = y[9] = y8;
}

// Nine-point stage of the 36-point kernel on z[0..8].
void nine(const float (&z)[9], float (&out)[9]) {
  const float c10 = _2cos_pi_18, c20 = _2cos_2pi_18, c40 = _2cos_4pi_18, c80 = _2cos_8pi_18;
  const float s20 = _2sin_2pi_18, s40 = _2sin_4pi_18, r3 = sqrt_3;
  const float z0x2 = 2.0f * z[0];
  const float e = z[6] + z0x2;
  const float a0 = ((c20 * z[2] + c40 * z[4]) + c80 * z[8]) + e;
  const float a1 = ((((z[2] - z[4]) - z[6]) - z[6]) - z[8]) + z0x2;
  const float a2 = ((e - c80 * z[2]) - c20 * z[4]) + c40 * z[8];
  const float a3 = ((e - c40 * z[2]) + c80 * z[4]) - c20 * z[8];
  const float a4 = (((z[0] - z[2]) + z[4]) - z[6]) + z[8];
  const float b0 = ((c10 * z[1] + s40 * z[5]) + s20 * z[7]) + r3 * z[3];
  const float b1 = r3 * ((z[1] - z[5]) - z[7]);
  const float b2 = ((s40 * z[1] - s20 * z[5]) + c10 * z[7]) - r3 * z[3];
  const float b3 = ((s20 * z[1] + c10 * z[5]) - s40 * z[7]) - r3 * z[3];
  out[0] = a0 + b0;
  out[1] = a1 + b1;
  out[2] = a2 + b2;
  out[3] = a3 + b3;
  out[4] = a4;
  out[5] = a3 - b3;
  out[6] = a2 - b2;
  out[7] = a1 - b1;
  out[8] = a0 - b0;
}

void mdctInv36(const float* x, float* y) {
  float even[9], odd[9];
  even[0] = x[0];
  odd[0] = x[0] + x[1];
  for (int j = 1; j <= 8; ++j) {
    even[j] = x[2 * j - 1] + x[2 * j];
    odd[j] = (x[2 * j - 2] + x[2 * j - 1]) + (x[2 * j] + x[2 * j + 1]);
  }
  float q[9], r[9];
  nine(even, q);
  nine(odd, r);
  float outM[9], outP[9];
  for (int m = 0, k = 0; m < 9; ++m) {
    float rc;
    if (m == 4) {
      rc = _cos_3pi_12;
    } else {
      rc = twFact36[k++];
    }
    const float kp = twFact36[k++];
    const float km = twFact36[k++];
    const float g = r[m] * rc;
    outP[m] = (q[m] + g) * kp;
    outM[m] = (q[m] - g) * km;
  }
  for (int m = 0; m < 9; ++m) {
    y[8 - m] = outM[m];
    y[9 + m] = -outM[m];
    y[26 - m] = outP[m];
    y[27 + m] = outP[m];
  }
}

// Builds the spec header, the inner FFT spec and the twiddle table at the
// aligned start of pMemSpec.
int ownMDCTInit_32f(MDCTInvSpec_32f** ppSpec, int len, uint8_t* pMemSpec, uint8_t* pMemInit) {
  uint8_t* base = alignUp32(pMemSpec);
  MDCTInvSpec_32f* spec = reinterpret_cast<MDCTInvSpec_32f*>(base);
  VP_NAME(vpsZero_8u)(base, kMdctHeaderBytes);
  spec->ownsMemory = 0;
  spec->fftSpecOffset = 0;
  spec->twiddleOffset = kMdctTwiddleOffset;
  spec->tag = kMdctTag;
  spec->length = len;
  int order = 0, fftBuf = 0;
  if (isPowerOfTwo(len)) {
    order = log2Of(len / 4);
    const int64_t fftOffset = kMdctTwiddleOffset + twiddleAreaBytes(len);
    FFTSpec_C_32fc* fft = nullptr;
    int status = VP_NAME(vpsFFTInit_C_32fc)(&fft, order, 8, 0, base + fftOffset, pMemInit);
    if (status == StatusOk) status = VP_NAME(vpsFFTGetBufSize_C_32fc)(fft, &fftBuf);
    if (status != StatusOk) {
      spec->tag = 0;
      return status;
    }
    spec->fftSpecOffset = static_cast<int32_t>(reinterpret_cast<uint8_t*>(fft) - base);
  }
  spec->workSize = fftBuf + 4 * len + 32;
  spec->fftOrder = order;
  if (isPowerOfTwo(len)) {
    const double f = 1.0 / sqrt(static_cast<double>(len / 2));
    const double w = 6.283185307179586 / len;
    float* t = reinterpret_cast<float*>(base + kMdctTwiddleOffset);
    const auto fill = [&](float* dst, int k0) {
      for (int i = 0; i < 4; ++i) {
        const double theta = (static_cast<double>(k0 + i) + 0.125) * w;
        dst[i] = static_cast<float>(sin(theta) * f);
        dst[4 + i] = static_cast<float>(cos(theta) * f);
      }
    };
    for (int g = 0; g < len / 32; ++g, t += 16) {
      fill(t, 4 * g);
      fill(t + 8, len / 4 - 4 * g - 4);
    }
  }
  *ppSpec = spec;
  return StatusOk;
}

}  // namespace

void VP_NAME(vps_MDCTInvPreProcPow2_32f)(const float* pSrc, float* pDst, int len, const float* pTwd) {
  mdctInvPre(pSrc, pDst, len, pTwd);
}
void VP_NAME(vps_MDCTInvPostProcPow2_32f)(const float* pSrc, float* pDst, int len, const float* pTwd) {
  mdctInvPost(pSrc, pDst, len, pTwd);
}
void VP_NAME(vps_MDCTFwdPreProcPow2_32f)(const float* pSrc, float* pDst, int len, const float* pTwd) {
  mdctFwdPre(pSrc, pDst, len, pTwd);
}
void VP_NAME(vps_MDCTFwdPostProcPow2_32f)(const float* pSrc, float* pDst, int len, const float* pTwd) {
  mdctFwdPost(pSrc, pDst, len, pTwd);
}

VpStatus VP_NAME(vpsMDCTInvGetSize_32f)(int len, int* pSpecSize, int* pSpecBufferSize, int* pBufSize) {
  if (!pSpecSize || !pSpecBufferSize || !pBufSize) return StatusNullPointer;
  if (!supportedLength(len)) return StatusSizeError;
  const bool pow2 = isPowerOfTwo(len);
  *pSpecSize = 0;
  *pSpecBufferSize = 0;
  *pBufSize = 0;
  if (pow2) {
    int fftSpecSize = 0;
    const int status = VP_NAME(vpsFFTGetSize_C_32fc)(log2Of(len / 4), 8, 0, &fftSpecSize, pSpecBufferSize, pBufSize);
    if (status != StatusOk) return status;
    *pSpecSize = fftSpecSize + 32;
    *pBufSize += 32;
  }
  *pSpecSize += (len / 2) * 4 + 92;
  *pBufSize += 4 * len + 64;
  return StatusOk;
}

VpStatus VP_NAME(vpsMDCTInvInit_32f)(MDCTInvSpec_32f** ppSpec, int len, uint8_t* pMemSpec, uint8_t* pMemInit) {
  if (!isPowerOfTwo(len)) {
    if (len != 12 && len != 36) return StatusSizeError;
    if (!ppSpec || !pMemSpec) return StatusNullPointer;
  } else {
    if (!supportedLength(len)) return StatusSizeError;
    if (!ppSpec || !pMemSpec || !pMemInit) return StatusNullPointer;
  }
  return ownMDCTInit_32f(ppSpec, len, pMemSpec, pMemInit);
}

VpStatus VP_NAME(vpsMDCTInv_32f)(const float* pSrc, float* pDst, const MDCTInvSpec_32f* pSpec, uint8_t* pBuffer) {
  if (!pSpec) return StatusNullPointer;
  if (pSpec->tag != kMdctTag) return StatusContextMismatch;
  if (!pSrc || !pDst) return StatusNullPointer;
  const int len = pSpec->length;
  if (!layoutMatches(pSpec)) return StatusContextMismatch;
  // The buffer is obtained before the length is looked at, so 12 and 36
  // allocate too when given none.
  const WorkBuffer buffer(pBuffer, pSpec->workSize);
  if (!buffer.data()) return StatusNoMemory;
  uint8_t* work = buffer.data();
  int status = StatusOk;
  if (len == 12) {
    mdctInv12(pSrc, pDst);
  } else if (len == 36) {
    mdctInv36(pSrc, pDst);
  } else {
    const uint8_t* base = reinterpret_cast<const uint8_t*>(pSpec);
    const float* twd = reinterpret_cast<const float*>(base + pSpec->twiddleOffset);
    const FFTSpec_C_32fc* fft = reinterpret_cast<const FFTSpec_C_32fc*>(base + pSpec->fftSpecOffset);
    float* z = reinterpret_cast<float*>(work);
    mdctInvPre(pSrc, z, len, twd);
    vpComplex32f* zc = reinterpret_cast<vpComplex32f*>(z);
    status = VP_NAME(vpsFFTFwd_CToC_32fc)(zc, zc, fft, work + 2 * len);
    if (status == StatusOk) mdctInvPost(z, pDst, len, twd);
  }
  return status;
}

