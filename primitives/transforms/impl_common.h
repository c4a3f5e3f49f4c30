// Code shared by the per-variant transform sources. This header and the
// impl_*.h files behind it are included by one source file per processor
// variant (transforms_sse2.cpp, transforms_ssse3.cpp, transforms_sse41.cpp),
// each compiled for its own instruction set and defining VP_PREFIX first.
// Everything here has internal linkage, so every variant gets its own copy of
// the code and of the constant tables, and no code built for one instruction
// set can be picked up by another. The arithmetic is written once with SSE2
// operations in a fixed order, so the variants give identical bits.
#pragma once

#ifndef VP_PREFIX
#error "define VP_PREFIX before including the transform implementation"
#endif

#include <emmintrin.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include "transforms_internal.h"
#include "vpCore.h"

#define VP_CAT2(a, b) a##b
#define VP_CAT(a, b) VP_CAT2(a, b)
#define VP_NAME(name) VP_CAT(VP_PREFIX, name)

namespace {

inline uint8_t* alignUp32(uint8_t* p) {
  return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 31) & ~static_cast<uintptr_t>(31));
}
template <typename T>
inline T* alignUp32(T* p) {
  return reinterpret_cast<T*>(alignUp32(reinterpret_cast<uint8_t*>(p)));
}
inline bool aligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

inline __m128 constVec(const uint32_t (&bits)[4]) { return _mm_load_ps(reinterpret_cast<const float*>(bits)); }

// (re0, im0, re1, im1) -> (im0, re0, im1, re1)
inline __m128 swapPairs(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }
// Reverses the four lanes.
inline __m128 reverse4(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }

// Complex products on split vectors (four real parts, four imaginary parts),
// each product rounded before the sum: re = zr*wr - zi*wi, im = zi*wr + zr*wi.
inline void cmulSplit(__m128 zr, __m128 zi, __m128 wr, __m128 wi, __m128& outR, __m128& outI) {
  outR = _mm_sub_ps(_mm_mul_ps(zr, wr), _mm_mul_ps(zi, wi));
  outI = _mm_add_ps(_mm_mul_ps(zi, wr), _mm_mul_ps(zr, wi));
}

// Two interleaved complex values per vector <-> split-4 vectors of four values.
inline void interleavedToSplit(__m128 lo, __m128 hi, __m128& re, __m128& im) {
  re = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
  im = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
}
inline void storeInterleaved(float* p, __m128 re, __m128 im) {
  _mm_storeu_ps(p, _mm_unpacklo_ps(re, im));
  _mm_storeu_ps(p + 4, _mm_unpackhi_ps(re, im));
}

// Work buffer of one transform call: the caller's, from its first 32-byte
// boundary, or a block of `size` bytes from this variant's allocator,
// released when the call ends.
class WorkBuffer {
 public:
  WorkBuffer(uint8_t* given, int size) {
    if (given) {
      data_ = alignUp32(given);
    } else if (size > 0) {
      owned_ = VP_NAME(vpsMalloc_8u)(size);
      data_ = owned_;
    }
  }
  ~WorkBuffer() { VP_NAME(vpsFree)(owned_); }
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  // False when a block was needed and could not be had.
  bool ok(int size) const { return data_ || size <= 0; }
  uint8_t* data() const { return data_; }

 private:
  uint8_t* data_ = nullptr;
  uint8_t* owned_ = nullptr;
};

// Sign masks shared by the kernels.
alignas(16) const uint32_t SIGN_RE[4] = {0x80000000u, 0, 0x80000000u, 0};  // real parts of two values
alignas(16) const uint32_t kSignAll[4] = {0x80000000u, 0x80000000u, 0x80000000u, 0x80000000u};

// (re, im) -> (im, -re) on both values: flip the real signs (with SIGN_RE or
// an equal mask of the caller's constants), then swap.
inline __m128 mulNegI(__m128 v, const uint32_t (&signRe)[4] = SIGN_RE) {
  return swapPairs(_mm_xor_ps(v, constVec(signRe)));
}

// 4-point forward DFT of (x0, x1, x2, x3), two interleaved values per vector:
// a = x0 + x2, b = x0 - x2, c = x1 + x3, d = -i(x1 - x3);
// y0 = a + c, y1 = b + d, y2 = a - c, y3 = b - d.
struct Butterfly4 {
  __m128 y0, y1, y2, y3;
};
inline Butterfly4 butterfly4(__m128 x0, __m128 x1, __m128 x2, __m128 x3, const uint32_t (&signRe)[4] = SIGN_RE) {
  const __m128 a = _mm_add_ps(x0, x2);
  const __m128 b = _mm_sub_ps(x0, x2);
  const __m128 c = _mm_add_ps(x1, x3);
  const __m128 d = mulNegI(_mm_sub_ps(x1, x3), signRe);
  return {_mm_add_ps(a, c), _mm_add_ps(b, d), _mm_sub_ps(a, c), _mm_sub_ps(b, d)};
}

}  // namespace
