// Internal interface of the spectral transforms: the per-variant table
// builders, kernels and processing steps behind vpTransforms.h. Nothing here
// checks its arguments; the public operations validate before they call.
#pragma once

#include <cstdint>

#include "vpTransforms.h"

// sin(2*pi*k/1024) for k = 0..256, then seven zeros: the base sine table of
// every FFT spec of order 6 to 10.
extern const float fft_fix_twiddle_table_32f[264];

// Table builders. Each writes at pTab and returns the next 32-byte boundary
// after what it wrote (pTab itself when it writes nothing).
VP_DECLARE_MEMBERS(float*, vps_initTabTwdBase_32f, (int order, float* pTab));
VP_DECLARE_MEMBERS(float*, vps_initTabTwd_L1_32f, (int order, const float* pBase, int baseOrder, float* pTab));
VP_DECLARE_MEMBERS(int32_t*, vps_initTabBitRevNorm, (int order, int32_t* pTab));
VP_DECLARE_MEMBERS(int32_t*, vps_initTabBitRev, (int order, int32_t* pTab));
VP_DECLARE_MEMBERS(int32_t*, vps_initTabBitRevLarge, (int order, int k, int32_t* pTab));

// Radix-4 forward FFT of len complex values, natural order in and out,
// reading the input through the bit-reverse index table; len below 8 does
// nothing.
VP_DECLARE_MEMBERS(void, vps_cRadix4FwdNorm_32fc,
                   (const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                    const int32_t* pBitRev, float* pBuffer));
// Radix-4 forward FFT of len values already in bit-reversed order, in place;
// interleave 1 leaves interleaved output, any other value the split-4 layout;
// len below 32 does nothing.
VP_DECLARE_MEMBERS(void, vps_cRadix4Fwd_32fc,
                   (vpComplex32f* pSrcDst, int len, const float* pTwd, float* pBuffer, int interleave));

// Inverse twins of the two kernels (e^(+2 pi i jk/N), unscaled), on the same
// tables and with the same work-area rules.
VP_DECLARE_MEMBERS(void, vps_cRadix4InvNorm_32fc,
                   (const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                    const int32_t* pBitRev, float* pBuffer));
VP_DECLARE_MEMBERS(void, vps_cRadix4Inv_32fc,
                   (vpComplex32f* pSrcDst, int len, const float* pTwd, float* pBuffer, int interleave));

// The four kernels on split complex data (separate real and imaginary
// arrays of len floats): natural input to separate destination arrays
// (which may be the source arrays), or bit-reversed input in place. pBuffer:
// 8N bytes, 16-byte aligned. They give the interleaved kernels' bits; len
// below 8 does nothing.
VP_DECLARE_MEMBERS(void, vps_crRadix4FwdNorm_32f,
                   (const float* pSrcRe, const float* pSrcIm, float* pDstRe, float* pDstIm, int len,
                    const float* pTwd, const int32_t* pBitRev, float* pBuffer));
VP_DECLARE_MEMBERS(void, vps_crRadix4InvNorm_32f,
                   (const float* pSrcRe, const float* pSrcIm, float* pDstRe, float* pDstIm, int len,
                    const float* pTwd, const int32_t* pBitRev, float* pBuffer));
VP_DECLARE_MEMBERS(void, vps_crRadix4Fwd_32f, (float* pRe, float* pIm, int len, const float* pTwd, float* pBuffer));
VP_DECLARE_MEMBERS(void, vps_crRadix4Inv_32f, (float* pRe, float* pIm, int len, const float* pTwd, float* pBuffer));

// Fixed-size forward FFTs of 1 to 32 points, plain and scaled.
VP_DECLARE_MEMBERS(void, vps_cFFT_1_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst));
VP_DECLARE_MEMBERS(void, vps_cFFT_2_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_4_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_8_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_16_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_32_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst));
VP_DECLARE_MEMBERS(void, vps_cFFT_1_scale_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst, float scale));
VP_DECLARE_MEMBERS(void, vps_cFFT_2_scale_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst, float scale));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_4_scale_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst, float scale));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_8_scale_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst, float scale));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_16_scale_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst, float scale));
VP_DECLARE_MEMBERS(void, vps_cFFTfwd_32_scale_32fc, (const vpComplex32f* pSrc, vpComplex32f* pDst, float scale));

// The steps around the FFT of a power-of-two MDCT of length len.
VP_DECLARE_MEMBERS(void, vps_MDCTInvPreProcPow2_32f, (const float* pSrc, float* pDst, int len, const float* pTwd));
VP_DECLARE_MEMBERS(void, vps_MDCTInvPostProcPow2_32f, (const float* pSrc, float* pDst, int len, const float* pTwd));
VP_DECLARE_MEMBERS(void, vps_MDCTFwdPreProcPow2_32f, (const float* pSrc, float* pDst, int len, const float* pTwd));
VP_DECLARE_MEMBERS(void, vps_MDCTFwdPostProcPow2_32f, (const float* pSrc, float* pDst, int len, const float* pTwd));

// Bit-reversal permutations of N elements.
// Swap-table forms (_4, _8, _Blk) use the table of vps_initTabBitRev,
// index-table forms (_S, _C, _D, _Z) the table of vps_initTabBitRevNorm, both
// built for order log2(N).
VP_DECLARE_MEMBERS(void, vps_BitRev1_4, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev1_8, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev2_4, (const void* pSrc, void* pDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev2_8, (const void* pSrc, void* pDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_sBitRev1_Blk, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_cBitRev1_Blk, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_dBitRev1_Blk, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_zBitRev1_Blk, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev1_S, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev1_C, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev1_D, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev1_Z, (void* pSrcDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev2_S, (const void* pSrc, void* pDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev2_C, (const void* pSrc, void* pDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev2_D, (const void* pSrc, void* pDst, int len, const int32_t* pTab));
VP_DECLARE_MEMBERS(void, vps_BitRev2_Z, (const void* pSrc, void* pDst, int len, const int32_t* pTab));

// Blocked transform of the orders above the radix-4 limit.
// Spec, init and work bytes of the tables of a large order (without header,
// base table and slack).
VP_DECLARE_MEMBERS(void, vps_getSizesTwd_Large_32f, (int order, int* pSpecSize, int* pInitSize, int* pBufSize));
// Lays the bit-reverse table at pTab, then the leaf and level twiddle tables;
// sets the twiddle offset, the level-table offsets and the work size of the
// spec. Returns the end of the tables.
VP_DECLARE_MEMBERS(int32_t*, vps_initTabTwd_Large_32f,
                   (FFTSpec_C_32fc * pSpec, int order, const float* pTwdBase, int baseOrder, int32_t* pTab));
// Forward transform of 2^order values (pSrc may equal pDst), scaled as the
// spec says; pBuffer holds the spec's work size, 16-byte aligned.
VP_DECLARE_MEMBERS(void, vps_cFftFwd_Large_32fc,
                   (const FFTSpec_C_32fc* pSpec, const vpComplex32f* pSrc, vpComplex32f* pDst, int order,
                    float* pBuffer));
// One radix-4 factor step in place on nGroups groups of four legs of span
// values each, split-4 layout; nGroups 1 is the last step with its halved
// twiddle records. pDst is not used.
VP_DECLARE_MEMBERS(void, vps_cFftFwd_Fact4_32fc, (float* pSrc, float* pDst, int span, int nGroups, const float* pTwd));
// Gathers rows of cols values (any count; the transform uses multiples of 8) at pSrc + r * stride into the
// buffer, row after row, and scatters them back (interleave 1: split-4 groups
// become interleaved values). The cr forms take separate real and imaginary
// arrays, strides in floats.
VP_DECLARE_MEMBERS(void, vps_cFft_BlkMerge_32fc,
                   (const vpComplex32f* pSrc, float* pBuffer, int stride, int rows, int cols));
VP_DECLARE_MEMBERS(void, vps_cFft_BlkSplit_32fc,
                   (vpComplex32f * pDst, const float* pBuffer, int stride, int rows, int cols, int interleave));
VP_DECLARE_MEMBERS(void, vps_crFft_BlkMerge_32f,
                   (const float* pRe, const float* pIm, float* pBuffer, int stride, int rows, int cols));
VP_DECLARE_MEMBERS(void, vps_crFft_BlkSplit_32f,
                   (float* pRe, float* pIm, const float* pBuffer, int stride, int rows, int cols));

// Four-way split FFT of 4M points (SSSE3 and SSE4.1 members only). A core
// call writes the M-point transforms of x[4j] and x[4j + 1] (source advanced
// by two values: x[4j + 2] and x[4j + 3]) to pDst, 2M values in split-4
// layout; len = M >= 32 (smaller M: nothing is done); pTwd and pBitRev are the tables of order log2(M);
// pBuf (2M values, 16-byte aligned) is used when pDst equals pSrc or is not
// 16-byte aligned. The cr forms read separate arrays and work in pDst
// (16-byte aligned).
#define VP_DECLARE_SSSE3_SSE41(ret, name, params) \
  ret ssse3_##name params;                         \
  ret sse41_##name params
VP_DECLARE_SSSE3_SSE41(void, vps_cFftFwd_CoreMT_32fc,
                       (const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                        const int32_t* pBitRev, float* pBuf));
VP_DECLARE_SSSE3_SSE41(void, vps_cFftInv_CoreMT_32fc,
                       (const vpComplex32f* pSrc, vpComplex32f* pDst, int len, const float* pTwd,
                        const int32_t* pBitRev, float* pBuf));
VP_DECLARE_SSSE3_SSE41(void, vps_crFftFwd_CoreMT_32f,
                       (const float* pSrcRe, const float* pSrcIm, float* pDst, int len, const float* pTwd,
                        const int32_t* pBitRev));
VP_DECLARE_SSSE3_SSE41(void, vps_crFftInv_CoreMT_32f,
                       (const float* pSrcRe, const float* pSrcIm, float* pDst, int len, const float* pTwd,
                        const int32_t* pBitRev));
// Last radix-4 factor: quarters of len values (transforms of x[4m + r], natural
// residue order, split-4 layout, 16-byte aligned) to the 4*len-point
// transform; count butterflies (a multiple of 4) from the run the pointers
// name; pTwd: the run's records of W^j, W^2j, W^3j, W = e^(-2 pi i/(4 len)).
// The interleaved forms accept pDst equal to pSrc; otherwise the source is
// only read, whatever the destination's alignment.
VP_DECLARE_SSSE3_SSE41(void, vps_cFftFwd_Fact4_Last_32fc,
                       (const float* pSrc, float* pDst, int len, int count, const float* pTwd));
VP_DECLARE_SSSE3_SSE41(void, vps_cFftInv_Fact4_Last_32fc,
                       (const float* pSrc, float* pDst, int len, int count, const float* pTwd));
VP_DECLARE_SSSE3_SSE41(void, vps_crFftFwd_Fact4_Last_32f,
                       (const float* pSrc, float* pDstRe, float* pDstIm, int len, int count, const float* pTwd));
VP_DECLARE_SSSE3_SSE41(void, vps_crFftInv_Fact4_Last_32f,
                       (const float* pSrc, float* pDstRe, float* pDstIm, int len, int count, const float* pTwd));
