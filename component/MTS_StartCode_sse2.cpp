// The start-code scan of the importer's video step, sixteen positions at a
// time with SSE2 compares (the x86-64 baseline); the importer spends a good
// part of its time here, as every byte of the video passes through it.
#include <emmintrin.h>

#include "MTS_MovieImport.h"

namespace mts_import {

int32_t NextStartCode(const uint8_t* buffer, int32_t from, int32_t length) {
  int32_t i = from < 0 ? 0 : from;
  // Bytes i..i+17 are loaded, and a start code found at i+15 still has its
  // fourth byte at i+18.
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  for (; length - i >= 19; i += 16) {
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i + 1));
    const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i + 2));
    const __m128i hit =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(b0, zero), _mm_cmpeq_epi8(b1, zero)), _mm_cmpeq_epi8(b2, one));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return i + __builtin_ctz(static_cast<unsigned>(mask));
  }
  for (; length - i >= 4; ++i)
    if (buffer[i] == 0 && buffer[i + 1] == 0 && buffer[i + 2] == 1) return i;
  return length;
}

}  // namespace mts_import
