// Bit-reversal permutations of N = 2^n elements of 4, 8 or 16 bytes: the
// element at index x ends at index rev_n(x). Elements are moved as raw bits
// with vector moves.
// Swap-table forms split an index as top bit, middle n-2 bits and bottom bit
// and walk the swap table (pairs, then fixed points): each entry moves the
// neighbour pairs (2i, 2i + 1) and (N/2 + 2i, N/2 + 2i + 1) of i and of its
// partner with one unpack each way. Index-table forms split an index as top
// two bits, middle n-4 bits and bottom two bits and move 4-by-4 tiles,
// turned in registers, to the tile named by the index table. Unaligned
// moves serve every alignment, so one path gives the same bits for all.
// Included by the variant sources (see impl_common.h).
#pragma once

#include "impl_common.h"

namespace {

inline unsigned char* bytesAt(void* p, size_t elemBytes, size_t i) {
  return static_cast<unsigned char*>(p) + i * elemBytes;
}

// The two neighbour pairs of one swap-table entry: (e[2i], e[2i+1]) at lo and
// (e[H+2i], e[H+2i+1]) at hi. Exchanging (R, S) of the partner r with (P, Q)
// of i gives P' = (R0, S0), Q' = (R1, S1), R' = (P0, Q0), S' = (P1, Q1); a
// fixed point (r = i) is the same rule with R = P, S = Q.
template <int kBytes>
struct PairMove;

template <>
struct PairMove<4> {  // two 4-byte elements in the low 8 bytes of a vector
  static __m128 load(const unsigned char* p) {
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  }
  static void exchange(unsigned char* dstLo, unsigned char* dstHi, __m128 r, __m128 s) {
    const __m128 t = _mm_unpacklo_ps(r, s);
    _mm_storel_pi(reinterpret_cast<__m64*>(dstLo), t);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dstHi), t);
  }
};
template <>
struct PairMove<8> {  // two 8-byte elements in a vector
  static __m128d load(const unsigned char* p) { return _mm_loadu_pd(reinterpret_cast<const double*>(p)); }
  static void exchange(unsigned char* dstLo, unsigned char* dstHi, __m128d r, __m128d s) {
    _mm_storeu_pd(reinterpret_cast<double*>(dstLo), _mm_unpacklo_pd(r, s));
    _mm_storeu_pd(reinterpret_cast<double*>(dstHi), _mm_unpackhi_pd(r, s));
  }
};
struct Pair16 {  // two 16-byte elements
  __m128i a, b;
};
template <>
struct PairMove<16> {
  static Pair16 load(const unsigned char* p) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))};
  }
  static void exchange(unsigned char* dstLo, unsigned char* dstHi, Pair16 r, Pair16 s) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dstLo), r.a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dstLo + 16), s.a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dstHi), r.b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dstHi + 16), s.b);
  }
};

// One table entry pair (i, r), i == r for a fixed point, from src to dst
// (which may be src: everything is loaded before the first store).
template <int kBytes>
inline void swapEntry(const void* src, void* dst, size_t h, size_t i, size_t r) {
  using M = PairMove<kBytes>;
  unsigned char* s = const_cast<unsigned char*>(static_cast<const unsigned char*>(src));
  unsigned char* d = static_cast<unsigned char*>(dst);
  const auto p = M::load(bytesAt(s, kBytes, 2 * i)), q = M::load(bytesAt(s, kBytes, h + 2 * i));
  const auto rr = M::load(bytesAt(s, kBytes, 2 * r)), ss = M::load(bytesAt(s, kBytes, h + 2 * r));
  M::exchange(bytesAt(d, kBytes, 2 * i), bytesAt(d, kBytes, h + 2 * i), rr, ss);
  if (r != i) M::exchange(bytesAt(d, kBytes, 2 * r), bytesAt(d, kBytes, h + 2 * r), p, q);
}

// Swap-table walk: pairs until the closing 0, which stands for the fixed
// point 0, then the fixed points behind it up to the final 0.
template <int kBytes>
void swapTableWalk(const void* src, void* dst, int n, const int32_t* tab) {
  const size_t h = static_cast<size_t>(n) / 2;
  int idx = 0;
  for (; tab[idx] != 0; idx += 2) swapEntry<kBytes>(src, dst, h, size_t(tab[idx] / 4), size_t(tab[idx + 1] / 4));
  for (size_t i = 0;;) {
    swapEntry<kBytes>(src, dst, h, i, i);
    i = size_t(tab[++idx] / 4);
    if (i == 0) break;
  }
}

template <int kBytes>
void swapTableInPlace(void* data, int n, const int32_t* tab) {
  if (n < 4) return;
  swapTableWalk<kBytes>(data, data, n, tab);
}

template <int kBytes>
void swapTableOutOfPlace(const void* src, void* dst, int n, const int32_t* tab) {
  if (n < 8) {  // no table: N = 1, 2 and 4
    const auto copy = [&](int to, int from) {
      memcpy(bytesAt(dst, kBytes, to), bytesAt(const_cast<void*>(src), kBytes, from), kBytes);
    };
    copy(0, 0);
    if (n == 4) {
      copy(1, 2);
      copy(2, 1);
    }
    copy(n - 1, n - 1);
    return;
  }
  swapTableWalk<kBytes>(src, dst, n, tab);
}

// A 4-by-4 tile: row t holds the four consecutive elements at
// base + t * N/4. turn() makes the tile of the reversal: the element in row
// t, column c lands in row rev2(c), column rev2(t) (rows and columns in the
// order 0, 2, 1, 3).
template <int kBytes>
struct Tile;

template <>
struct Tile<4> {
  __m128 row[4];
  void load(const unsigned char* p, size_t rowBytes) {
    for (int t = 0; t < 4; ++t) row[t] = _mm_loadu_ps(reinterpret_cast<const float*>(p + t * rowBytes));
  }
  void store(unsigned char* p, size_t rowBytes) const {
    for (int t = 0; t < 4; ++t) _mm_storeu_ps(reinterpret_cast<float*>(p + t * rowBytes), row[t]);
  }
  void turn() {
    // Transposing the rows taken as 0, 2, 1, 3 gives columns whose lanes are
    // already in that order; column c becomes row rev2(c).
    __m128 a = row[0], b = row[2], c = row[1], d = row[3];
    _MM_TRANSPOSE4_PS(a, b, c, d);
    row[0] = a;
    row[1] = c;
    row[2] = b;
    row[3] = d;
  }
};
template <>
struct Tile<8> {
  __m128d lo[4], hi[4];  // columns 0, 1 and 2, 3 of each row
  void load(const unsigned char* p, size_t rowBytes) {
    for (int t = 0; t < 4; ++t) {
      lo[t] = _mm_loadu_pd(reinterpret_cast<const double*>(p + t * rowBytes));
      hi[t] = _mm_loadu_pd(reinterpret_cast<const double*>(p + t * rowBytes + 16));
    }
  }
  void store(unsigned char* p, size_t rowBytes) const {
    for (int t = 0; t < 4; ++t) {
      _mm_storeu_pd(reinterpret_cast<double*>(p + t * rowBytes), lo[t]);
      _mm_storeu_pd(reinterpret_cast<double*>(p + t * rowBytes + 16), hi[t]);
    }
  }
  void turn() {
    // New row R = old column rev2(R), its columns the old rows 0, 2, 1, 3.
    const __m128d c0a = _mm_unpacklo_pd(lo[0], lo[2]), c0b = _mm_unpacklo_pd(lo[1], lo[3]);
    const __m128d c1a = _mm_unpackhi_pd(lo[0], lo[2]), c1b = _mm_unpackhi_pd(lo[1], lo[3]);
    const __m128d c2a = _mm_unpacklo_pd(hi[0], hi[2]), c2b = _mm_unpacklo_pd(hi[1], hi[3]);
    const __m128d c3a = _mm_unpackhi_pd(hi[0], hi[2]), c3b = _mm_unpackhi_pd(hi[1], hi[3]);
    lo[0] = c0a, hi[0] = c0b;
    lo[1] = c2a, hi[1] = c2b;
    lo[2] = c1a, hi[2] = c1b;
    lo[3] = c3a, hi[3] = c3b;
  }
};
template <>
struct Tile<16> {
  __m128i e[4][4];
  void load(const unsigned char* p, size_t rowBytes) {
    for (int t = 0; t < 4; ++t)
      for (int c = 0; c < 4; ++c) e[t][c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + t * rowBytes + 16 * c));
  }
  void store(unsigned char* p, size_t rowBytes) const {
    for (int t = 0; t < 4; ++t)
      for (int c = 0; c < 4; ++c) _mm_storeu_si128(reinterpret_cast<__m128i*>(p + t * rowBytes + 16 * c), e[t][c]);
  }
  void turn() {
    static const int kRev2[4] = {0, 2, 1, 3};
    __m128i t[4][4];
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) t[kRev2[c]][kRev2[r]] = e[r][c];
    memcpy(e, t, sizeof e);
  }
};

// The 8-element permutation 0, 4, 2, 6, 1, 5, 3, 7.
const int kRev8[8] = {0, 4, 2, 6, 1, 5, 3, 7};

template <int kBytes>
void indexTableInPlace(void* data, int n, const int32_t* tab) {
  unsigned char* d = static_cast<unsigned char*>(data);
  if (n == 8) {
    unsigned char tmp[8 * kBytes];
    memcpy(tmp, d, sizeof tmp);
    for (int i = 0; i < 8; ++i) memcpy(d + i * kBytes, tmp + kRev8[i] * kBytes, kBytes);
    return;
  }
  const size_t rowBytes = static_cast<size_t>(n / 4) * kBytes, tileBytes = 4 * kBytes;
  Tile<kBytes> a, b;
  for (int m = n / 16 - 1; m >= 0; --m) {
    const int target = tab[m] / 8;  // entry m is 8*rev_(n-4)(m)
    if (target < m) continue;
    a.load(d + m * tileBytes, rowBytes);
    a.turn();
    if (target != m) {
      b.load(d + target * tileBytes, rowBytes);
      b.turn();
      b.store(d + m * tileBytes, rowBytes);
    }
    a.store(d + target * tileBytes, rowBytes);
  }
}

template <int kBytes, int kScatterLimit>
void indexTableOutOfPlace(const void* src, void* dst, int n, const int32_t* tab) {
  const unsigned char* s = static_cast<const unsigned char*>(src);
  unsigned char* d = static_cast<unsigned char*>(dst);
  if (n == 8) {
    for (int i = 0; i < 8; ++i) memcpy(d + i * kBytes, s + kRev8[i] * kBytes, kBytes);
    return;
  }
  const size_t rowBytes = static_cast<size_t>(n / 4) * kBytes, tileBytes = 4 * kBytes;
  Tile<kBytes> a;
  if (n <= kScatterLimit) {
    // Source-sequential: tile m goes to the tile the table names.
    for (int m = n / 16 - 1; m >= 0; --m) {
      a.load(s + m * tileBytes, rowBytes);
      a.turn();
      a.store(d + (tab[m] / 8) * tileBytes, rowBytes);
    }
  } else {
    // Destination-sequential: tile m comes from the tile the table names,
    // the next entry read one step ahead.
    int next = tab[0] / 8;
    for (int m = 0; m < n / 16; ++m) {
      const int from = next;
      next = tab[m + 1] / 8;
      a.load(s + from * tileBytes, rowBytes);
      a.turn();
      a.store(d + m * tileBytes, rowBytes);
    }
  }
}

}  // namespace

void VP_NAME(vps_BitRev1_4)(void* pSrcDst, int len, const int32_t* pTab) { swapTableInPlace<4>(pSrcDst, len, pTab); }
void VP_NAME(vps_BitRev1_8)(void* pSrcDst, int len, const int32_t* pTab) { swapTableInPlace<8>(pSrcDst, len, pTab); }
void VP_NAME(vps_BitRev2_4)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  swapTableOutOfPlace<4>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_8)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  swapTableOutOfPlace<8>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_sBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<4>(pSrcDst, len, pTab);
}
void VP_NAME(vps_cBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<8>(pSrcDst, len, pTab);
}
void VP_NAME(vps_dBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<8>(pSrcDst, len, pTab);
}
void VP_NAME(vps_zBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<16>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev1_S)(void* pSrcDst, int len, const int32_t* pTab) { indexTableInPlace<4>(pSrcDst, len, pTab); }
void VP_NAME(vps_BitRev1_C)(void* pSrcDst, int len, const int32_t* pTab) { indexTableInPlace<8>(pSrcDst, len, pTab); }
void VP_NAME(vps_BitRev1_D)(void* pSrcDst, int len, const int32_t* pTab) { indexTableInPlace<8>(pSrcDst, len, pTab); }
void VP_NAME(vps_BitRev1_Z)(void* pSrcDst, int len, const int32_t* pTab) {
  indexTableInPlace<16>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev2_S)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<4, 65536>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_C)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<8, 32768>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_D)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<8, 32768>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_Z)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<16, 32768>(pSrc, pDst, len, pTab);
}
