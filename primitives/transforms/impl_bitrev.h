// Bit-reversal permutations of N = 2^n elements of 4, 8 or 16 bytes: the
// element at index x ends at index rev_n(x). Elements are moved as raw bytes.
// Swap-table forms split an index as top bit, middle n-2 bits and bottom bit
// and walk the swap table (pairs, then fixed points); index-table forms split
// it as top two bits, middle n-4 bits and bottom two bits and move 4-by-4
// blocks, transposed, to the block named by the index table. Included by the
// SSE2 and SSSE3 variant sources (see impl_common.h).
#pragma once

#include "impl_common.h"

namespace {

struct Elem16 {
  uint64_t lo, hi;
};

template <typename T>
class ElemArray {
 public:
  explicit ElemArray(void* p) : base_(static_cast<unsigned char*>(p)) {}
  T get(int i) const {
    T v;
    memcpy(&v, base_ + static_cast<size_t>(i) * sizeof(T), sizeof(T));
    return v;
  }
  void set(int i, const T& v) { memcpy(base_ + static_cast<size_t>(i) * sizeof(T), &v, sizeof(T)); }
  void swap(int i, int j) {
    const T a = get(i);
    set(i, get(j));
    set(j, a);
  }

 private:
  unsigned char* base_;
};

// Swap-table form in place: index x = a*N/2 + 2m + b goes to b*N/2 + 2*rev(m) + a.
template <typename T>
void swapTableInPlace(void* data, int n, const int32_t* tab) {
  if (n < 4) return;
  ElemArray<T> d(data);
  const int h = n / 2;
  int idx = 0;
  for (; tab[idx] != 0; idx += 2) {
    const int i = tab[idx] / 4, r = tab[idx + 1] / 4;
    d.swap(2 * i, 2 * r);
    d.swap(2 * i + 1, h + 2 * r);
    d.swap(h + 2 * i, 2 * r + 1);
    d.swap(h + 2 * i + 1, h + 2 * r + 1);
  }
  // The closing 0 stands for the fixed point 0; the others follow it.
  for (int i = 0;;) {
    d.swap(2 * i + 1, h + 2 * i);
    i = tab[++idx] / 4;
    if (i == 0) break;
  }
}

template <typename T>
void swapTableOutOfPlace(const void* src, void* dst, int n, const int32_t* tab) {
  ElemArray<T> s(const_cast<void*>(src)), d(dst);
  if (n < 8) {
    d.set(0, s.get(0));
    if (n == 4) {
      d.set(1, s.get(2));
      d.set(2, s.get(1));
    }
    d.set(n - 1, s.get(n - 1));
    return;
  }
  const int h = n / 2;
  const auto exchange = [&](int i, int j) {
    d.set(i, s.get(j));
    d.set(j, s.get(i));
  };
  int idx = 0;
  for (; tab[idx] != 0; idx += 2) {
    const int i = tab[idx] / 4, r = tab[idx + 1] / 4;
    exchange(2 * i, 2 * r);
    exchange(2 * i + 1, h + 2 * r);
    exchange(h + 2 * i, 2 * r + 1);
    exchange(h + 2 * i + 1, h + 2 * r + 1);
  }
  for (int i = 0;;) {
    d.set(2 * i, s.get(2 * i));
    d.set(h + 2 * i + 1, s.get(h + 2 * i + 1));
    exchange(2 * i + 1, h + 2 * i);
    i = tab[++idx] / 4;
    if (i == 0) break;
  }
}

// The 8-element permutation 0, 4, 2, 6, 1, 5, 3, 7.
const int kRev8[8] = {0, 4, 2, 6, 1, 5, 3, 7};
const int kRev2[4] = {0, 2, 1, 3};

// Reads the 4-by-4 block m (rows t*N/4, columns 4m + c) of a into b[t][c].
template <typename T>
void readBlock(const ElemArray<T>& a, int n, int m, T (&b)[4][4]) {
  for (int t = 0; t < 4; ++t)
    for (int c = 0; c < 4; ++c) b[t][c] = a.get(t * (n / 4) + 4 * m + c);
}
// Writes b into block m transposed with rows and columns in the order
// 0, 2, 1, 3: element (t, c) lands in row rev2(c), column rev2(t).
template <typename T>
void writeBlockTransposed(ElemArray<T>& a, int n, int m, const T (&b)[4][4]) {
  for (int t = 0; t < 4; ++t)
    for (int c = 0; c < 4; ++c) a.set(kRev2[c] * (n / 4) + 4 * m + kRev2[t], b[t][c]);
}

template <typename T>
void indexTableInPlace(void* data, int n, const int32_t* tab) {
  ElemArray<T> d(data);
  if (n == 8) {
    d.swap(1, 4);
    d.swap(3, 6);
    return;
  }
  T a[4][4], b[4][4];
  for (int m = n / 16 - 1; m >= 0; --m) {
    const int target = tab[m] / 8;  // entry m is 8*rev_(n-4)(m)
    if (target < m) continue;
    readBlock(d, n, m, a);
    if (target != m) {
      readBlock(d, n, target, b);
      writeBlockTransposed(d, n, m, b);
    }
    writeBlockTransposed(d, n, target, a);
  }
}

template <typename T, int kScatterLimit>
void indexTableOutOfPlace(const void* src, void* dst, int n, const int32_t* tab) {
  ElemArray<T> s(const_cast<void*>(src)), d(dst);
  if (n == 8) {
    for (int i = 0; i < 8; ++i) d.set(i, s.get(kRev8[i]));
    return;
  }
  T a[4][4];
  if (n <= kScatterLimit) {
    // Source-sequential: block m goes to the block the table names.
    for (int m = n / 16 - 1; m >= 0; --m) {
      readBlock(s, n, m, a);
      writeBlockTransposed(d, n, tab[m] / 8, a);
    }
  } else {
    // Destination-sequential: block m comes from the block the table names.
    int next = tab[0] / 8;
    for (int m = 0; m < n / 16; ++m) {
      const int from = next;
      next = tab[m + 1] / 8;
      readBlock(s, n, from, a);
      writeBlockTransposed(d, n, m, a);
    }
  }
}

}  // namespace

void VP_NAME(vps_BitRev1_4)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<uint32_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev1_8)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<uint64_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev2_4)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  swapTableOutOfPlace<uint32_t>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_8)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  swapTableOutOfPlace<uint64_t>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_sBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<uint32_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_cBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<uint64_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_dBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<uint64_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_zBitRev1_Blk)(void* pSrcDst, int len, const int32_t* pTab) {
  swapTableInPlace<Elem16>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev1_S)(void* pSrcDst, int len, const int32_t* pTab) {
  indexTableInPlace<uint32_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev1_C)(void* pSrcDst, int len, const int32_t* pTab) {
  indexTableInPlace<uint64_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev1_D)(void* pSrcDst, int len, const int32_t* pTab) {
  indexTableInPlace<uint64_t>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev1_Z)(void* pSrcDst, int len, const int32_t* pTab) {
  indexTableInPlace<Elem16>(pSrcDst, len, pTab);
}
void VP_NAME(vps_BitRev2_S)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<uint32_t, 65536>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_C)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<uint64_t, 32768>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_D)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<uint64_t, 32768>(pSrc, pDst, len, pTab);
}
void VP_NAME(vps_BitRev2_Z)(const void* pSrc, void* pDst, int len, const int32_t* pTab) {
  indexTableOutOfPlace<Elem16, 32768>(pSrc, pDst, len, pTab);
}

