// The start-code scan of the importer's video step, with SSE2 compares (the
// x86-64 baseline); the importer spends a good part of its time here, as
// every byte of the video passes through it.
#include <emmintrin.h>

#include "MTS_MovieImport.h"

namespace mts_import {

namespace {

inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Bit k set when a start code begins at p + k (k from 0 to 15); reads p[0]
// to p[17].
inline int StartCodeMask16(const uint8_t* p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  const __m128i hit = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(Load(p), zero), _mm_cmpeq_epi8(Load(p + 1), zero)),
                                    _mm_cmpeq_epi8(Load(p + 2), one));
  return _mm_movemask_epi8(hit);
}

// False when no start code can begin at p[0] to p[63]. Such a start code
// puts two zero bytes in a row at p + k and p + k + 1, k from 0 to 63, and
// one of the two lies at an odd offset no greater than 63; so a block with
// no zero at any odd offset holds none. Compressed pictures have few zero
// bytes, and most blocks are passed over with this one test.
inline bool ZeroAtOddOffset64(const uint8_t* p) {
  const __m128i least = _mm_min_epu8(_mm_min_epu8(Load(p), Load(p + 16)), _mm_min_epu8(Load(p + 32), Load(p + 48)));
  // Every even-offset byte is set to 0xFF so that it never compares equal.
  const __m128i odd = _mm_or_si128(least, _mm_set1_epi16(0x00FF));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(odd, _mm_setzero_si128())) != 0;
}

}  // namespace

int32_t NextStartCode(const uint8_t* buffer, int32_t from, int32_t length) {
  int32_t i = from < 0 ? 0 : from;
  // A block of 64 positions is passed over in one test, or checked 16
  // positions at a time; each check loads bytes i..i+17, and a start code
  // found at i+15 still has its fourth byte at i+18, hence the 67 and 19.
  for (; length - i >= 67; i += 64) {
    if (!ZeroAtOddOffset64(buffer + i)) continue;
    for (int32_t k = 0; k < 64; k += 16) {
      const int mask = StartCodeMask16(buffer + i + k);
      if (mask != 0) return i + k + __builtin_ctz(static_cast<unsigned>(mask));
    }
  }
  for (; length - i >= 19; i += 16) {
    const int mask = StartCodeMask16(buffer + i);
    if (mask != 0) return i + __builtin_ctz(static_cast<unsigned>(mask));
  }
  for (; length - i >= 4; ++i)
    if (buffer[i] == 0 && buffer[i + 1] == 0 && buffer[i + 2] == 1) return i;
  return length;
}

}  // namespace mts_import
