// Spectral transforms: the inverse MDCT, which the AC-3 decoder applies to
// each audio block, and the forward complex FFT it is built on.
//
// Every transform is described by a spec record that lives in caller memory:
// the caller asks a GetSize call for the byte sizes, hands blocks of those
// sizes to the Init call, and passes the spec to the transform. The library
// rounds every block up to a 32-byte boundary itself (the reported sizes
// include that slack). Specs are read-only once built, so one spec serves any
// number of concurrent transforms, each with its own work buffer.
//
// Each operation exists once per processor variant (prefixes sse2_, ssse3_,
// sse41_). The inverse MDCT also has a public entry point without prefix that
// jumps to the member selected by the process-wide variant index; the FFT
// operations are reached by their variant names only.
//
// Statuses: 0 success; -6 unsupported length; -8 null pointer; -9 no memory
// for a work buffer; -15 FFT order out of range (0 to 28);
// -16 bad FFT scaling flag; -17 a spec of the wrong kind or no longer valid.
#pragma once

#include <cstdint>

#include "vpCore.h"

// Complex FFT spec. The 21-word header (84 bytes) sits on a 32-byte boundary
// and is followed by the bit-reverse index table and the twiddle table. The
// table addresses are kept as byte offsets from the header's start, so the
// record has the same size in every build.
typedef struct FFTSpec_C_32fc {
  int32_t tag;            // 4 while the spec is valid, 0 otherwise
  int32_t order;          // N = 2^order complex points
  int32_t scaleForward;   // 1: the forward transform multiplies by scale
  int32_t scaleInverse;   // 1: an inverse transform would multiply by scale
  float scale;            // 1/N, 1/sqrt(N), or 0.0 when neither direction scales
  int32_t hint;           // stored, never read
  int32_t workSize;       // bytes of work buffer a forward transform needs
  int32_t ownsMemory;     // 0: the memory belongs to the caller
  int32_t reserved;
  int32_t bitRevOffset;   // bit-reverse index table, bytes from the header
  int32_t twiddleOffset;  // radix-4 twiddle table, bytes from the header
  int32_t large[10];      // used by the blocked transform of large orders
} FFTSpec_C_32fc;

// Inverse-MDCT spec: a 7-word header (28 bytes) on a 32-byte boundary, the
// twiddle table 32 bytes after it, then the inner FFT spec.
typedef struct MDCTInvSpec_32f {
  int32_t tag;            // 56 while the spec is valid
  int32_t length;         // len: len/2 coefficients in, len samples out
  int32_t workSize;       // bytes a transform allocates when given no buffer
  int32_t fftOrder;       // log2(len/4); 0 for len 12 and 36
  int32_t ownsMemory;     // 0: the memory belongs to the caller
  int32_t twiddleOffset;  // bytes from the header to the twiddle table
  int32_t fftSpecOffset;  // bytes from the header to the FFT spec; 0 if none
} MDCTInvSpec_32f;

typedef struct {
  float re;
  float im;
} vpComplex32f;

// Inverse MDCT: y[n] = (2/len) * sum_k x[k] cos(2*pi/len (n + 1/2 + len/4)(k + 1/2)),
// n = 0..len-1, k = 0..len/2-1. Lengths 12, 36 and powers of two from 32.
VP_DECLARE_VARIANTS(VpStatus, vpsMDCTInvGetSize_32f,
                    (int32_t len, int32_t* pSpecSize, int32_t* pSpecBufferSize, int32_t* pBufSize));
VP_DECLARE_VARIANTS(VpStatus, vpsMDCTInvInit_32f,
                    (MDCTInvSpec_32f** ppSpec, int32_t len, uint8_t* pMemSpec, uint8_t* pMemInit));
VP_DECLARE_VARIANTS(VpStatus, vpsMDCTInv_32f,
                    (const float* pSrc, float* pDst, const MDCTInvSpec_32f* pSpec, uint8_t* pBuffer));

// Forward complex FFT of N = 2^order interleaved complex floats:
// X[k] = sum_j x[j] e^(-2*pi*i*jk/N), times the spec's scale when the
// scaling flag asks for it (flag 8: none; 1: 1/N forward; 2: 1/N inverse;
// 4: 1/sqrt(N) both). pSrc may equal pDst. Variant members only.
VP_DECLARE_MEMBERS(VpStatus, vpsFFTGetSize_C_32fc,
                   (int32_t order, int32_t flag, int32_t hint, int32_t* pSpecSize, int32_t* pSpecBufferSize,
                    int32_t* pBufSize));
VP_DECLARE_MEMBERS(VpStatus, vpsFFTInit_C_32fc,
                   (FFTSpec_C_32fc** ppFFTSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* pMemSpec,
                    uint8_t* pMemInit));
VP_DECLARE_MEMBERS(VpStatus, vpsFFTGetBufSize_C_32fc, (const FFTSpec_C_32fc* pFFTSpec, int32_t* pBufSize));
VP_DECLARE_MEMBERS(VpStatus, vpsFFTFree_C_32fc, (FFTSpec_C_32fc* pFFTSpec));
VP_DECLARE_MEMBERS(VpStatus, vpsFFTFwd_CToC_32fc,
                   (const vpComplex32f* pSrc, vpComplex32f* pDst, const FFTSpec_C_32fc* pFFTSpec, uint8_t* pBuffer));
