// Blocked forward FFT of the orders above the radix-4 limit (up to 28).
// N = 2^order is split as 2^blk blocks of 2^L values:
// 1. the input is put into bit-reversed order (from the block threshold on,
//    64 x 64 tiles at a time through the work buffer);
// 2. every block is transformed by the bit-reversed-input radix-4 kernel
//    (result in split-4 layout), or, when 2^L is above the leaf limit, by
//    the same scheme one level down;
// 3. the blk remaining factors of two are combined by blk/2 radix-4 factor
//    steps on a merge buffer that holds a narrow band of columns of every
//    block, so each step works in cache.
// The level twiddle tables are stored in the order the factor steps read
// them. Included by the variant sources (see impl_common.h).
#pragma once

#include <stddef.h>

#include "impl_bitrev.h"
#include "impl_common.h"
#include "impl_fft_radix4.h"
#include "impl_fft_tables.h"

namespace {

// Per-variant geometry. Index of the order tables: order - 9 (orders 9 to 32).
#if VP_RADIX8_PLAN
constexpr int kLeafLimit = 15;           // leaves up to 2^15 values
constexpr int kBlockBitRevFrom = 17;     // tile-wise bit reversal from this order
constexpr int kTileStraightTo = 18;      // out of place: tiles read straight from the source up to here
constexpr size_t kCopyPieceValues = size_t{1} << 19;
const int32_t tbl_blk_order[24] = {0, 0, 0, 0, 0, 0, 0, 4, 4, 4, 6, 6, 6, 8, 8, 8, 8, 8, 8, 8, 8, 8, 0, 0};
const int32_t tbl_buf_order[24] = {0, 0, 0, 0, 0, 0, 0, 9, 10, 10, 13, 13, 13, 14, 14, 14, 14, 14, 14, 14, 14, 14, 0, 0};
#else
constexpr int kLeafLimit = 17;
constexpr int kBlockBitRevFrom = 19;
constexpr int kTileStraightTo = 22;
constexpr size_t kCopyPieceValues = size_t{1} << 23;
// The SSSE3 and SSE4.1 rows differ at order 20 only: 64 runs of 2^14 with
// chunks of 64 columns against 16 runs of 2^16.
#ifndef VP_LARGE_ORDER20_BLK
#error "define VP_LARGE_ORDER20_BLK before including the transform implementation"
#endif
const int32_t tbl_blk_order[24] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 4, VP_LARGE_ORDER20_BLK, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 0, 0};
const int32_t tbl_buf_order[24] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 10, VP_LARGE_ORDER20_BLK + 6, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 0, 0};
#endif

constexpr int kTileBits = 12;            // a tile is 64 x 64 values
constexpr size_t kTileBytes = size_t{8} << kTileBits;
constexpr int kLevelWord = 7;            // header word 18 + depth is large[7 + depth]

inline int blkOrder(int m) { return tbl_blk_order[m - 9]; }
inline int bufOrder(int m) { return tbl_buf_order[m - 9]; }
inline int32_t roundDown32(size_t v) { return static_cast<int32_t>(v & ~size_t{31}); }

// Where the tables of a large spec lie (byte offsets from the header) and
// how large its work buffer is. One computation serves the table builder and
// the check of a spec handed to the transform.
struct LargeLayout {
  size_t leafOffset = 0;
  size_t levelOffset[2] = {0, 0};
  size_t workBytes = 0;
  size_t end = 0;
};

size_t layoutStep(LargeLayout& lay, int m, int depth, size_t off) {
  const int L = m - blkOrder(m);
  if (L <= kLeafLimit) {
    lay.leafOffset = off;
    off += size_t{8} << L;  // the leaf table ends on a 32-byte boundary
    lay.workBytes = size_t{8} << L;
  } else {
    off = layoutStep(lay, L, depth + 1, off);
  }
  lay.levelOffset[depth] = off;
  const size_t merge = size_t{8} << bufOrder(m);
  if (merge > lay.workBytes) lay.workBytes = merge;
  return off + (size_t{4} << m);
}

size_t bitRevTableEnd(int order, size_t off) {
  const size_t words =
      order < kBlockBitRevFrom ? (size_t{1} << (order - 2)) + 1 : (size_t{1} << (order - kTileBits)) + 1025;
  return (off + 4 * words + 31) & ~size_t{31};
}

LargeLayout largeLayout(int order, size_t bitRevOffset) {
  LargeLayout lay;
  lay.end = layoutStep(lay, order, 0, bitRevTableEnd(order, bitRevOffset));
  if (order >= kBlockBitRevFrom && lay.workBytes < 2 * kTileBytes) lay.workBytes = 2 * kTileBytes;
  return lay;
}

// The level twiddle table of a level of order m, in the order the factor
// steps consume it: per column chunk, per stage, per group of rows, per four
// columns, W^k, W^2k and W^3k (the last stage: W^k and W^2k for the first
// half of its rows), each record four real parts then four imaginary parts.
float* writeLevelTable(float* p, int m, const float* base, int baseOrder) {
  const int blk = blkOrder(m), L = m - blk;
  const size_t chunk = size_t{1} << (bufOrder(m) - blk);
  const size_t cols = size_t{1} << L;
  const int stages = blk / 2;
  for (size_t c0 = 0; c0 < cols; c0 += chunk) {
    for (int s = 0; s < stages; ++s) {
      const int mOrder = L + 2 * s + 2;  // the stage makes transforms of 2^mOrder values
      const SineSource src{base, baseOrder - mOrder, 1 << (mOrder - 2)};
      const bool last = s == stages - 1;
      const size_t groups = last ? (size_t{1} << (2 * s)) / 2 : size_t{1} << (2 * s);
      const int factors = last ? 2 : 3;
      for (size_t g = 0; g < groups; ++g) {
        for (size_t u = 0; u < chunk; u += 4) {
          for (int f = 1; f <= factors; ++f) {
            for (int t = 0; t < 4; ++t) {
              const size_t k = c0 + (g << L) + u + t;
              src.cosNegSin(static_cast<int>(f * k), p[t], p[4 + t]);
            }
            p += 8;
          }
        }
      }
    }
  }
  return p;
}

// Spec and work bytes of the level of order m with the levels below it: the
// leaf table (with slack), each level table, and the largest of the leaf
// kernel's work area and the merge buffers.
void getSizeTwd_Step(int m, size_t& spec, size_t& buf) {
  const int L = m - blkOrder(m);
  if (L <= kLeafLimit) {
    spec = static_cast<size_t>(roundDown32((size_t{8} << L) + 39));
    buf = static_cast<size_t>(roundDown32((size_t{8} << L) + 31));
  } else {
    getSizeTwd_Step(L, spec, buf);
  }
  spec += size_t{4} << m;
  const size_t merge = size_t{8} << bufOrder(m);
  if (merge > buf) buf = merge;
}

inline uint8_t* specBytes(const FFTSpec_C_32fc* spec) {
  return const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(spec));
}

// Lays the tables of the level of order m at p (32-byte aligned): the leaf
// table, or the levels below it, then this level's twiddle table; records
// their offsets in the spec and returns the end of this level's reserved
// 4 * 2^m bytes.
uint8_t* initTabTwd_Step(FFTSpec_C_32fc* spec, int m, const float* base, int baseOrder, int depth, uint8_t* p) {
  const int L = m - blkOrder(m);
  uint8_t* level;
  if (L <= kLeafLimit) {
    spec->twiddleOffset = static_cast<int32_t>(p - specBytes(spec));
    level = reinterpret_cast<uint8_t*>(VP_NAME(vps_initTabTwd_L1_32f)(L, base, baseOrder, reinterpret_cast<float*>(p)));
  } else {
    level = initTabTwd_Step(spec, L, base, baseOrder, depth + 1, p);
  }
  spec->large[kLevelWord + depth] = static_cast<int32_t>(level - specBytes(spec));
  writeLevelTable(reinterpret_cast<float*>(level), m, base, baseOrder);
  return level + (size_t{4} << m);
}

struct SplitVec {
  __m128 re, im;
};
inline SplitVec loadSV(const float* p) { return {_mm_load_ps(p), _mm_load_ps(p + 4)}; }
inline void storeSV(float* p, SplitVec v) {
  _mm_store_ps(p, v.re);
  _mm_store_ps(p + 4, v.im);
}
inline SplitVec cmulSV(SplitVec z, SplitVec w) {
  SplitVec r;
  cmulSplit(z.re, z.im, w.re, w.im, r.re, r.im);
  return r;
}
inline SplitVec addSV(SplitVec a, SplitVec b) { return {_mm_add_ps(a.re, b.re), _mm_add_ps(a.im, b.im)}; }
inline SplitVec subSV(SplitVec a, SplitVec b) { return {_mm_sub_ps(a.re, b.re), _mm_sub_ps(a.im, b.im)}; }
// -i times the product z * w, the imaginary part formed as zi*wi - zr*wr.
inline SplitVec cmulNegI(SplitVec z, SplitVec w) {
  return {_mm_add_ps(_mm_mul_ps(z.im, w.re), _mm_mul_ps(z.re, w.im)),
          _mm_sub_ps(_mm_mul_ps(z.im, w.im), _mm_mul_ps(z.re, w.re))};
}

// Legs of a butterfly from a = x0 + t1, b = x0 - t1 and c, d: leg 0 = a + c,
// leg 1 = b - i d, leg 2 = a - c, leg 3 = b + i d.
inline void storeLegs(float* l0, float* l1, float* l2, float* l3, SplitVec a, SplitVec b, SplitVec c, SplitVec d) {
  storeSV(l0, addSV(a, c));
  storeSV(l2, subSV(a, c));
  storeSV(l1, {_mm_add_ps(b.re, d.im), _mm_sub_ps(b.im, d.re)});
  storeSV(l3, {_mm_sub_ps(b.re, d.im), _mm_add_ps(b.im, d.re)});
}

alignas(16) const float kHalfSqrt2[4] = {0.70710677f, 0.70710677f, 0.70710677f, 0.70710677f};

}  // namespace

void VP_NAME(vps_cFftFwd_Fact4_32fc)(float* pSrc, float* pDst, int span, int nGroups, const float* pTwd) {
  (void)pDst;
  if (nGroups < 1) return;
  const size_t sp = static_cast<size_t>(span);
  if (nGroups >= 2) {
    for (size_t g = 0; g < static_cast<size_t>(nGroups); ++g) {
      float* l0 = pSrc + 8 * sp * g;
      for (size_t e = 0; e < sp; e += 4) {
        const float* rec = pTwd + 6 * e;
        float* p0 = l0 + 2 * e;
        float *p1 = p0 + 2 * sp, *p2 = p0 + 4 * sp, *p3 = p0 + 6 * sp;
        const SplitVec t2 = cmulSV(loadSV(p2), loadSV(rec));
        const SplitVec t3 = cmulSV(loadSV(p3), loadSV(rec + 16));
        const SplitVec t1 = cmulSV(loadSV(p1), loadSV(rec + 8));
        const SplitVec x0 = loadSV(p0);
        storeLegs(p0, p1, p2, p3, addSV(x0, t1), subSV(x0, t1), addSV(t2, t3), subSV(t2, t3));
      }
    }
    return;
  }
  // Last step: records for the first half of each leg only; the second half
  // uses W^(k + M/8) = W^k e^(-i pi/4) and W^(2(k + M/8)) = -i W^(2k).
  const size_t half = sp / 2;
  const __m128 h = _mm_load_ps(kHalfSqrt2);
  for (size_t e = 0; e < sp; e += 4) {
    const bool second = e >= half;
    const float* rec = pTwd + 4 * (second ? e - half : e);
    float* p0 = pSrc + 2 * e;
    float *p1 = p0 + 2 * sp, *p2 = p0 + 4 * sp, *p3 = p0 + 6 * sp;
    SplitVec w1 = loadSV(rec);
    const SplitVec w2 = loadSV(rec + 8);
    SplitVec t1, u3;
    if (second) {
      w1 = {_mm_mul_ps(_mm_add_ps(w1.re, w1.im), h), _mm_mul_ps(_mm_sub_ps(w1.im, w1.re), h)};
      t1 = cmulNegI(loadSV(p1), w2);
      u3 = cmulNegI(loadSV(p3), w2);
    } else {
      t1 = cmulSV(loadSV(p1), w2);
      u3 = cmulSV(loadSV(p3), w2);
    }
    const SplitVec x2 = loadSV(p2), x0 = loadSV(p0);
    const SplitVec c = cmulSV(addSV(x2, u3), w1);
    const SplitVec d = cmulSV(subSV(x2, u3), w1);
    storeLegs(p0, p1, p2, p3, addSV(x0, t1), subSV(x0, t1), c, d);
  }
}

// The gather and scatter routines move groups of four values as vectors;
// the level transform always passes column counts that are multiples of 8.
// A count that is not a multiple of 4 leaves a tail of one to three values
// per row, moved one value at a time: as they are (c forms), or as the
// tail's real parts followed by its imaginary parts (cr forms), so no row
// ever reaches past its cols values. Buffer rows then need not start on a
// 16-byte boundary, so every access is an unaligned one.

void VP_NAME(vps_cFft_BlkMerge_32fc)(const vpComplex32f* pSrc, float* pBuffer, int stride, int rows, int cols) {
  const float* s = reinterpret_cast<const float*>(pSrc);
  const size_t width = 2 * static_cast<size_t>(cols);
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r, pBuffer += width) {
    const float* row = s + 2 * r * static_cast<size_t>(stride);
    size_t c = 0;
    for (; c + 4 <= width; c += 4) _mm_storeu_ps(pBuffer + c, _mm_loadu_ps(row + c));
    if (c < width) memcpy(pBuffer + c, row + c, 8);
  }
}

void VP_NAME(vps_cFft_BlkSplit_32fc)(vpComplex32f* pDst, const float* pBuffer, int stride, int rows, int cols,
                                     int interleave) {
  float* d = reinterpret_cast<float*>(pDst);
  const size_t width = 2 * static_cast<size_t>(cols);
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r, pBuffer += width) {
    float* row = d + 2 * r * static_cast<size_t>(stride);
    size_t c = 0;
    for (; c + 8 <= width; c += 8) {
      const __m128 a = _mm_loadu_ps(pBuffer + c), b = _mm_loadu_ps(pBuffer + c + 4);
      if (interleave == 1) {
        storeInterleaved(row + c, a, b);
      } else {
        _mm_storeu_ps(row + c, a);
        _mm_storeu_ps(row + c + 4, b);
      }
    }
    for (; c < width; c += 2) memcpy(row + c, pBuffer + c, 8);
  }
}

void VP_NAME(vps_crFft_BlkMerge_32f)(const float* pRe, const float* pIm, float* pBuffer, int stride, int rows,
                                     int cols) {
  const size_t n = static_cast<size_t>(cols);
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r) {
    const size_t o = r * static_cast<size_t>(stride);
    size_t c = 0;
    for (; c + 4 <= n; c += 4, pBuffer += 8) {
      _mm_storeu_ps(pBuffer, _mm_loadu_ps(pRe + o + c));
      _mm_storeu_ps(pBuffer + 4, _mm_loadu_ps(pIm + o + c));
    }
    const size_t tail = n - c;
    for (size_t t = 0; t < tail; ++t) {
      pBuffer[t] = pRe[o + c + t];
      pBuffer[tail + t] = pIm[o + c + t];
    }
    pBuffer += 2 * tail;
  }
}

void VP_NAME(vps_crFft_BlkSplit_32f)(float* pRe, float* pIm, const float* pBuffer, int stride, int rows, int cols) {
  const size_t n = static_cast<size_t>(cols);
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r) {
    const size_t o = r * static_cast<size_t>(stride);
    size_t c = 0;
    for (; c + 4 <= n; c += 4, pBuffer += 8) {
      _mm_storeu_ps(pRe + o + c, _mm_loadu_ps(pBuffer));
      _mm_storeu_ps(pIm + o + c, _mm_loadu_ps(pBuffer + 4));
    }
    const size_t tail = n - c;
    for (size_t t = 0; t < tail; ++t) {
      pRe[o + c + t] = pBuffer[t];
      pIm[o + c + t] = pBuffer[tail + t];
    }
    pBuffer += 2 * tail;
  }
}

void VP_NAME(vps_getSizesTwd_Large_32f)(int order, int* pSpecSize, int* pInitSize, int* pBufSize) {
  size_t spec = 0, buf = 0;
  getSizeTwd_Step(order, spec, buf);
  if (order < kBlockBitRevFrom) {
    spec += static_cast<size_t>(roundDown32((size_t{1} << order) + 35));
  } else {
    spec += (size_t{4} << (order - kTileBits)) + 4128;
    if (buf < 2 * kTileBytes) buf = 2 * kTileBytes;
  }
  *pSpecSize = static_cast<int>(spec);
  *pInitSize = 0;
  *pBufSize = static_cast<int>(buf);
}

int32_t* VP_NAME(vps_initTabTwd_Large_32f)(FFTSpec_C_32fc* pSpec, int order, const float* pTwdBase, int baseOrder,
                                           int32_t* pTab) {
  uint8_t* base = specBytes(pSpec);
  const int32_t* tables = order < kBlockBitRevFrom ? VP_NAME(vps_initTabBitRevNorm)(order, pTab)
                                                   : VP_NAME(vps_initTabBitRevLarge)(order, kTileBits / 2, pTab);
  uint8_t* end = initTabTwd_Step(pSpec, order, pTwdBase, baseOrder, 0,
                                 const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(tables)));
  pSpec->workSize = static_cast<int32_t>(largeLayout(order, static_cast<size_t>(reinterpret_cast<uint8_t*>(pTab) - base)).workBytes);
  return reinterpret_cast<int32_t*>(end);
}

namespace {

// True when the layout words of a large spec are those its order gives.
bool largeLayoutMatches(const FFTSpec_C_32fc* spec) {
  const int order = spec->order;
  const LargeLayout lay = largeLayout(order, static_cast<size_t>(kHeaderBytes));
  if (spec->bitRevOffset != kHeaderBytes || static_cast<size_t>(spec->twiddleOffset) != lay.leafOffset ||
      static_cast<size_t>(spec->workSize) != lay.workBytes ||
      static_cast<size_t>(spec->large[kLevelWord]) != lay.levelOffset[0])
    return false;
  const int L = order - blkOrder(order);
  return L <= kLeafLimit || static_cast<size_t>(spec->large[kLevelWord + 1]) == lay.levelOffset[1];
}

// Bit-reversed order of the source into the destination.
void largeBitReverse(const FFTSpec_C_32fc* spec, const vpComplex32f* pSrc, vpComplex32f* pDst, int order,
                     float* buffer) {
  const size_t n = size_t{1} << order;
  const int32_t* tab = reinterpret_cast<const int32_t*>(specBytes(spec) + spec->bitRevOffset);
  if (order < kBlockBitRevFrom) {
    if (pSrc == pDst) {
      VP_NAME(vps_BitRev1_C)(pDst, static_cast<int>(n), tab);
    } else {
#if VP_RADIX8_PLAN
      VP_NAME(vpsCopy_8u)(reinterpret_cast<const uint8_t*>(pSrc), reinterpret_cast<uint8_t*>(pDst),
                          static_cast<int32_t>(8 * n));
      VP_NAME(vps_BitRev1_C)(pDst, static_cast<int>(n), tab);
#else
      VP_NAME(vps_BitRev2_C)(pSrc, pDst, static_cast<int>(n), tab);
#endif
    }
    return;
  }
  // 64 rows of n/64 values; tile i is columns 64i..64i+63 of every row, and
  // goes, bit-reversed inside, to the tile named by table word i.
  const int stride = static_cast<int>(n >> 6);
  const size_t tiles = n >> kTileBits;
  const int32_t* swapTab = tab + tiles;
  float* a = buffer;
  float* b = buffer + kTileBytes / 4;
  const auto tileIn = [&](const vpComplex32f* from, size_t col, float* t) {
    VP_NAME(vps_cFft_BlkMerge_32fc)(from + col, t, stride, 64, 64);
    VP_NAME(vps_cBitRev1_Blk)(t, 1 << kTileBits, swapTab);
  };
  const auto tileOut = [&](size_t col, const float* t) {
    VP_NAME(vps_cFft_BlkSplit_32fc)(pDst + col, t, stride, 64, 64, 0);
  };
  if (pSrc != pDst && order <= kTileStraightTo) {
    for (size_t i = 0; i < tiles; ++i) {
      tileIn(pSrc, static_cast<size_t>(tab[i]), a);
      tileOut(64 * i, a);
    }
    return;
  }
  if (pSrc != pDst) {
    for (size_t o = 0; o < n; o += kCopyPieceValues) {
      const size_t count = n - o < kCopyPieceValues ? n - o : kCopyPieceValues;
      VP_NAME(vpsCopy_8u)(reinterpret_cast<const uint8_t*>(pSrc + o), reinterpret_cast<uint8_t*>(pDst + o),
                          static_cast<int32_t>(8 * count));
    }
  }
  for (size_t i = 0; i < tiles; ++i) {
    const size_t col = 64 * i, partner = static_cast<size_t>(tab[i]);
    if (col > partner) continue;  // exchanged at the partner's index
    tileIn(pDst, col, a);
    if (col != partner) {
      tileIn(pDst, partner, b);
      tileOut(col, b);
    }
    tileOut(partner, a);
  }
}

// Steps 2 and 3 on 2^m values in bit-reversed order at p: leaf transforms,
// then the factor steps chunk by chunk. The top level (depth 0) leaves the
// result interleaved, deeper levels in split-4 layout for the enclosing
// level's factor steps.
void cFftFwd_BlkStep(const FFTSpec_C_32fc* spec, vpComplex32f* p, int m, int depth, float* buffer) {
  const int interleave = depth == 0 ? 1 : 0;
  const int blk = blkOrder(m), L = m - blk;
  const size_t len = size_t{1} << L;
  const int rows = 1 << blk;
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r) {
    vpComplex32f* blockStart = p + r * len;
    if (L <= kLeafLimit) {
      const float* leafTwd = reinterpret_cast<const float*>(specBytes(spec) + spec->twiddleOffset);
      VP_NAME(vps_cRadix4Fwd_32fc)(blockStart, static_cast<int>(len), leafTwd, buffer, 0);
      if (spec->scaleForward)
        VP_NAME(vpsMulC_32f_I)(spec->scale, reinterpret_cast<float*>(blockStart), static_cast<int32_t>(2 * len));
    } else {
      cFftFwd_BlkStep(spec, blockStart, L, depth + 1, buffer);
    }
  }
  const int chunk = 1 << (bufOrder(m) - blk);
  const float* twd = reinterpret_cast<const float*>(specBytes(spec) + spec->large[kLevelWord + depth]);
  for (size_t c0 = 0; c0 < len; c0 += static_cast<size_t>(chunk)) {
    VP_NAME(vps_cFft_BlkMerge_32fc)(p + c0, buffer, static_cast<int>(len), rows, chunk);
    int span = chunk;
    for (int groups = rows / 4; groups >= 1; groups /= 4, span *= 4) {
      VP_NAME(vps_cFftFwd_Fact4_32fc)(buffer, buffer, span, groups, twd);
      twd += groups > 1 ? 6 * static_cast<size_t>(span) : 2 * static_cast<size_t>(span);
    }
    VP_NAME(vps_cFft_BlkSplit_32fc)(p + c0, buffer, static_cast<int>(len), rows, chunk, interleave);
  }
}

}  // namespace

void VP_NAME(vps_cFftFwd_Large_32fc)(const FFTSpec_C_32fc* pSpec, const vpComplex32f* pSrc, vpComplex32f* pDst,
                                     int order, float* pBuffer) {
  largeBitReverse(pSpec, pSrc, pDst, order, pBuffer);
  cFftFwd_BlkStep(pSpec, pDst, order, 0, pBuffer);
}
