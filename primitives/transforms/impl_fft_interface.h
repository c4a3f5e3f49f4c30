// Complex FFT operations: sizes, spec initialisation, buffer size, release
// and the forward transform. Orders 0 to 5 run the fixed-size kernels;
// orders 6 up to the variant's radix-4 limit the radix-4 kernels on the
// spec's tables; orders above the limit (up to 28) the blocked large
// transform. Included by the variant sources (see
// impl_common.h), which set VP_RADIX4_LIMIT and VP_NORM_LIMIT.
#pragma once

#include "impl_common.h"
#include "impl_fft_radix4.h"
#include "impl_fft_small.h"
#include "impl_fft_tables.h"

#include "impl_bitrev.h"

#ifndef VP_RADIX4_LIMIT
#error "define VP_RADIX4_LIMIT before including the transform implementation"
#endif

namespace {

constexpr int kFftTag = 4;
constexpr int kHeaderBytes = 84;  // 21 words
constexpr int kLargestOrder = 28;
constexpr int kRadix4Limit = VP_RADIX4_LIMIT;
// Highest order run by the natural-order kernel; the SSE2 variant runs its
// limit order as a bit reversal followed by the bit-reversed-input kernel.
constexpr int kNormLimit = VP_RADIX8_PLAN ? kRadix4Limit - 1 : kRadix4Limit;

}  // namespace

#include "impl_fft_large.h"
#include "impl_fft_split.h"
#include "impl_fft_fourway.h"

namespace {

bool validFlag(int flag) { return flag == 8 || flag == 4 || flag == 1 || flag == 2; }

// Table addresses are kept in the header as byte offsets from its start.
inline const float* twiddles(const FFTSpec_C_32fc* spec) {
  return reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(spec) + spec->twiddleOffset);
}
inline const int32_t* bitReverseTable(const FFTSpec_C_32fc* spec) {
  return reinterpret_cast<const int32_t*>(reinterpret_cast<const uint8_t*>(spec) + spec->bitRevOffset);
}

// The layout words of a spec that this variant's initialisation built. A
// valid tag over other values (a damaged record, or a spec of an order this
// variant cannot run) is treated as a foreign spec.
bool layoutMatches(const FFTSpec_C_32fc* spec) {
  const int order = spec->order;
  if (order < 0 || order > kLargestOrder) return false;
  if (order <= 5) return true;
  if (order > kRadix4Limit) return largeLayoutMatches(spec);
  const int n = 1 << order;
  const int twiddleOffset = (kHeaderBytes + 4 * (n / 4 + 1) + 31) & ~31;
  return spec->workSize == ((8 * n + 31) & ~31) && spec->bitRevOffset == kHeaderBytes &&
         spec->twiddleOffset == twiddleOffset;
}

}  // namespace

VpStatus VP_NAME(vpsFFTGetSize_C_32fc)(int order, int flag, int hint, int* pSpecSize, int* pSpecBufferSize,
                                  int* pBufSize) {
  (void)hint;
  if (order < 0 || order > 30) return StatusFftOrderError;
  if (!pSpecSize || !pSpecBufferSize || !pBufSize) return StatusNullPointer;
  if (!validFlag(flag)) return StatusFftFlagError;
  if (order > kLargestOrder) return StatusFftOrderError;
  if (order <= 5) {
    *pSpecSize = 116;
    *pSpecBufferSize = 0;
    *pBufSize = 0;
    return StatusOk;
  }
  const int n = 1 << order;
  const int indexBytes = (4 * (n / 4) + 35) & ~31;  // index table or base sine table, with slack
  if (order > kRadix4Limit) {
    int spec, init, work;
    VP_NAME(vps_getSizesTwd_Large_32f)(order, &spec, &init, &work);
    *pSpecSize = spec + 128;
    *pSpecBufferSize = init + indexBytes + 32;
    *pBufSize = work > 0 ? work + 32 : 0;
    return StatusOk;
  }
  *pSpecSize = ((8 * n + 39) & ~31) + indexBytes + 128;
  *pSpecBufferSize = order <= 10 ? 0 : indexBytes + 32;
  *pBufSize = ((8 * n + 31) & ~31) + 32;
  return StatusOk;
}

VpStatus VP_NAME(vpsFFTInit_C_32fc)(FFTSpec_C_32fc** ppFFTSpec, int order, int flag, int hint, uint8_t* pMemSpec,
                               uint8_t* pMemInit) {
  if (!ppFFTSpec) return StatusNullPointer;
  if (order < 0 || order > kLargestOrder) return StatusFftOrderError;
  if (!pMemSpec) return StatusNullPointer;
  uint8_t* base = alignUp32(pMemSpec);
  FFTSpec_C_32fc* spec = reinterpret_cast<FFTSpec_C_32fc*>(base);
  VP_NAME(vpsZero_8u)(base, kHeaderBytes);
  spec->hint = hint;
  spec->order = order;
  spec->ownsMemory = 0;
  const int n = 1 << order;
  switch (flag) {
    case 8:
      break;
    case 1:
      spec->scaleForward = 1;
      spec->scale = 1.0f / static_cast<float>(n);
      break;
    case 2:
      spec->scaleInverse = 1;
      spec->scale = 1.0f / static_cast<float>(n);
      break;
    case 4:
      spec->scaleForward = 1;
      spec->scaleInverse = 1;
      spec->scale = static_cast<float>(1.0 / sqrt(static_cast<double>(n)));
      break;
    default:
      spec->tag = 0;
      return StatusFftFlagError;
  }
  if (order <= 5) {
    spec->workSize = 0;
    spec->tag = kFftTag;
    *ppFFTSpec = spec;
    return StatusOk;
  }
  const float* sine = fft_fix_twiddle_table_32f;
  int baseOrder = 10;
  if (order > 10) {
    // The header is written already, but the spec stays marked invalid.
    if (!pMemInit) return StatusNullPointer;
    float* table = alignUp32(reinterpret_cast<float*>(pMemInit));
    VP_NAME(vps_initTabTwdBase_32f)(order, table);
    sine = table;
    baseOrder = order;
  }
  spec->bitRevOffset = kHeaderBytes;
  if (order > kRadix4Limit) {
    VP_NAME(vps_initTabTwd_Large_32f)(spec, order, sine, baseOrder, reinterpret_cast<int32_t*>(base + kHeaderBytes));
    spec->tag = kFftTag;
    *ppFFTSpec = spec;
    return StatusOk;
  }
  int32_t* twd = VP_NAME(vps_initTabBitRevNorm)(order, reinterpret_cast<int32_t*>(base + kHeaderBytes));
  spec->twiddleOffset = static_cast<int32_t>(reinterpret_cast<uint8_t*>(twd) - base);
  VP_NAME(vps_initTabTwd_L1_32f)(order, sine, baseOrder, reinterpret_cast<float*>(twd));
  spec->workSize = (8 * n + 31) & ~31;
  spec->tag = kFftTag;
  *ppFFTSpec = spec;
  return StatusOk;
}

VpStatus VP_NAME(vpsFFTGetBufSize_C_32fc)(const FFTSpec_C_32fc* pFFTSpec, int* pBufSize) {
  if (!pBufSize || !pFFTSpec) return StatusNullPointer;
  if (pFFTSpec->tag != kFftTag) return StatusContextMismatch;
  *pBufSize = pFFTSpec->workSize > 0 ? pFFTSpec->workSize + 32 : 0;
  return StatusOk;
}

VpStatus VP_NAME(vpsFFTFree_C_32fc)(FFTSpec_C_32fc* pFFTSpec) {
  if (!pFFTSpec) return StatusNullPointer;
  if (pFFTSpec->tag != kFftTag) return StatusContextMismatch;
  pFFTSpec->tag = 0;
  return StatusOk;
}

VpStatus VP_NAME(vpsFFTFwd_CToC_32fc)(const vpComplex32f* pSrc, vpComplex32f* pDst, const FFTSpec_C_32fc* pFFTSpec,
                                 uint8_t* pBuffer) {
  if (!pFFTSpec) return StatusNullPointer;
  if (pFFTSpec->tag != kFftTag) return StatusContextMismatch;
  if (!pSrc || !pDst) return StatusNullPointer;
  if (!layoutMatches(pFFTSpec)) return StatusContextMismatch;
  const int order = pFFTSpec->order;
  if (order <= 5) {
    if (pFFTSpec->scaleForward) {
      tbl_cFFTfwd_small_scale[order](pSrc, pDst, pFFTSpec->scale);
    } else {
      tbl_cFFTfwd_small[order](pSrc, pDst);
    }
    return StatusOk;
  }
  const int size = pFFTSpec->workSize;
  const WorkBuffer work(size > 0 ? pBuffer : nullptr, size);
  if (!work.ok(size)) return StatusNoMemory;
  const int n = 1 << order;
  float* buffer = reinterpret_cast<float*>(work.data());
  if (order > kRadix4Limit) {
    VP_NAME(vps_cFftFwd_Large_32fc)(pFFTSpec, pSrc, pDst, order, buffer);  // scales by itself
    return StatusOk;
  }
  if (order <= kNormLimit) {
    VP_NAME(vps_cRadix4FwdNorm_32fc)(pSrc, pDst, n, twiddles(pFFTSpec), bitReverseTable(pFFTSpec), buffer);
  } else {
#if VP_RADIX8_PLAN
    // Bit reversal into the destination, then the radix-4 stages in place.
    if (pSrc == pDst) {
      VP_NAME(vps_BitRev1_C)(pDst, n, bitReverseTable(pFFTSpec));
    } else {
      VP_NAME(vps_BitRev2_C)(pSrc, pDst, n, bitReverseTable(pFFTSpec));
    }
    VP_NAME(vps_cRadix4Fwd_32fc)(pDst, n, twiddles(pFFTSpec), buffer, 1);
#endif
  }
  if (pFFTSpec->scaleForward) VP_NAME(vpsMulC_32f_I)(pFFTSpec->scale, reinterpret_cast<float*>(pDst), 2 * n);
  return StatusOk;
}

