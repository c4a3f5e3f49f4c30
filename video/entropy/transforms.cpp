// Dequantisation scales and inverse transforms in SSE2 (eight 16-bit lanes,
// wrapping at 16 bits like the scalar definition). The 4x4 transforms work
// on two blocks at once; the transposition from column-major input to
// raster output falls out of the unpack steps.
#include "transforms.h"

#include <emmintrin.h>

namespace {

// normAdjust4x4 and normAdjust8x8 by qP % 6, in raster order (index 4 y + x,
// 8 y + x).
const uint8_t normAdjust[6][16] = {
    {10, 13, 10, 13, 13, 16, 13, 16, 10, 13, 10, 13, 13, 16, 13, 16},
    {11, 14, 11, 14, 14, 18, 14, 18, 11, 14, 11, 14, 14, 18, 14, 18},
    {13, 16, 13, 16, 16, 20, 16, 20, 13, 16, 13, 16, 16, 20, 16, 20},
    {14, 18, 14, 18, 18, 23, 18, 23, 14, 18, 14, 18, 18, 23, 18, 23},
    {16, 20, 16, 20, 20, 25, 20, 25, 16, 20, 16, 20, 20, 25, 20, 25},
    {18, 23, 18, 23, 23, 29, 23, 29, 18, 23, 18, 23, 23, 29, 23, 29},
};
const uint8_t normAdjust8x8[6][64] = {
    {
     20, 19, 25, 19, 20, 19, 25, 19, 19, 18, 24, 18, 19, 18, 24, 18,
     25, 24, 32, 24, 25, 24, 32, 24, 19, 18, 24, 18, 19, 18, 24, 18,
     20, 19, 25, 19, 20, 19, 25, 19, 19, 18, 24, 18, 19, 18, 24, 18,
     25, 24, 32, 24, 25, 24, 32, 24, 19, 18, 24, 18, 19, 18, 24, 18,
    },
    {
     22, 21, 28, 21, 22, 21, 28, 21, 21, 19, 26, 19, 21, 19, 26, 19,
     28, 26, 35, 26, 28, 26, 35, 26, 21, 19, 26, 19, 21, 19, 26, 19,
     22, 21, 28, 21, 22, 21, 28, 21, 21, 19, 26, 19, 21, 19, 26, 19,
     28, 26, 35, 26, 28, 26, 35, 26, 21, 19, 26, 19, 21, 19, 26, 19,
    },
    {
     26, 24, 33, 24, 26, 24, 33, 24, 24, 23, 31, 23, 24, 23, 31, 23,
     33, 31, 42, 31, 33, 31, 42, 31, 24, 23, 31, 23, 24, 23, 31, 23,
     26, 24, 33, 24, 26, 24, 33, 24, 24, 23, 31, 23, 24, 23, 31, 23,
     33, 31, 42, 31, 33, 31, 42, 31, 24, 23, 31, 23, 24, 23, 31, 23,
    },
    {
     28, 26, 35, 26, 28, 26, 35, 26, 26, 25, 33, 25, 26, 25, 33, 25,
     35, 33, 45, 33, 35, 33, 45, 33, 26, 25, 33, 25, 26, 25, 33, 25,
     28, 26, 35, 26, 28, 26, 35, 26, 26, 25, 33, 25, 26, 25, 33, 25,
     35, 33, 45, 33, 35, 33, 45, 33, 26, 25, 33, 25, 26, 25, 33, 25,
    },
    {
     32, 30, 40, 30, 32, 30, 40, 30, 30, 28, 38, 28, 30, 28, 38, 28,
     40, 38, 51, 38, 40, 38, 51, 38, 30, 28, 38, 28, 30, 28, 38, 28,
     32, 30, 40, 30, 32, 30, 40, 30, 30, 28, 38, 28, 30, 28, 38, 28,
     40, 38, 51, 38, 40, 38, 51, 38, 30, 28, 38, 28, 30, 28, 38, 28,
    },
    {
     36, 34, 46, 34, 36, 34, 46, 34, 34, 32, 43, 32, 34, 32, 43, 32,
     46, 43, 58, 43, 46, 43, 58, 43, 34, 32, 43, 32, 34, 32, 43, 32,
     36, 34, 46, 34, 36, 34, 46, 34, 34, 32, 43, 32, 34, 32, 43, 32,
     46, 43, 58, 43, 46, 43, 58, 43, 34, 32, 43, 32, 34, 32, 43, 32,
    },
};

inline int16_t w16(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// One 4x4 butterfly on four vectors of eight 16-bit lanes.
inline void idct4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  const __m128i e0 = _mm_add_epi16(a, c);
  const __m128i e1 = _mm_sub_epi16(a, c);
  const __m128i e2 = _mm_sub_epi16(_mm_srai_epi16(b, 1), d);
  const __m128i e3 = _mm_add_epi16(b, _mm_srai_epi16(d, 1));
  a = _mm_add_epi16(e0, e3);
  b = _mm_add_epi16(e1, e2);
  c = _mm_sub_epi16(e1, e2);
  d = _mm_sub_epi16(e0, e3);
}

// Transforms two column-major 4x4 blocks p and q (16 values each) in place.
void transform_pair(int16_t* p, int16_t* q) {
  // Column-major storage: vector k (k = column x) holds rows 0..3 of column x
  // of p in lanes 0..3 and of q in lanes 4..7. Row transforms combine
  // columns: d0..d3 are the columns.
  __m128i c0 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 0)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + 0)));
  __m128i c1 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 4)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + 4)));
  __m128i c2 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + 8)));
  __m128i c3 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 12)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + 12)));
  idct4(c0, c1, c2, c3);  // along each row: lanes are rows, vectors columns
  // Transpose each block's 4x4 so that vectors become rows.
  const __m128i t0 = _mm_unpacklo_epi16(c0, c1);  // p: r0c0 r0c1 r1c0 r1c1 r2c0 r2c1 r3c0 r3c1
  const __m128i t1 = _mm_unpacklo_epi16(c2, c3);  // p: r0c2 r0c3 ...
  const __m128i t2 = _mm_unpackhi_epi16(c0, c1);  // q
  const __m128i t3 = _mm_unpackhi_epi16(c2, c3);
  const __m128i p01 = _mm_unpacklo_epi32(t0, t1);  // p row 0, row 1
  const __m128i p23 = _mm_unpackhi_epi32(t0, t1);  // p row 2, row 3
  const __m128i q01 = _mm_unpacklo_epi32(t2, t3);
  const __m128i q23 = _mm_unpackhi_epi32(t2, t3);
  // Vectors of rows: r_k holds row k of p (lanes 0..3) and of q (4..7).
  __m128i r0 = _mm_unpacklo_epi64(p01, q01);
  __m128i r1 = _mm_unpackhi_epi64(p01, q01);
  __m128i r2 = _mm_unpacklo_epi64(p23, q23);
  __m128i r3 = _mm_unpackhi_epi64(p23, q23);
  idct4(r0, r1, r2, r3);  // along each column: lanes are columns, vectors rows
  const __m128i k32 = _mm_set1_epi16(32);
  r0 = _mm_srai_epi16(_mm_add_epi16(r0, k32), 6);
  r1 = _mm_srai_epi16(_mm_add_epi16(r1, k32), 6);
  r2 = _mm_srai_epi16(_mm_add_epi16(r2, k32), 6);
  r3 = _mm_srai_epi16(_mm_add_epi16(r3, k32), 6);
  // Raster out: p gets rows 0..3 from the low halves, q from the high halves.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 0), _mm_unpacklo_epi64(r0, r1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 8), _mm_unpacklo_epi64(r2, r3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 0), _mm_unpackhi_epi64(r0, r1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 8), _mm_unpackhi_epi64(r2, r3));
}

// One-dimensional 8-point inverse transform across eight vectors, lane by
// lane, 16-bit wrapping.
inline void idct8(__m128i* v) {
  const __m128i d0 = v[0], d1 = v[1], d2 = v[2], d3 = v[3], d4 = v[4], d5 = v[5], d6 = v[6], d7 = v[7];
  const __m128i e0 = _mm_add_epi16(d0, d4);
  const __m128i e1 = _mm_sub_epi16(_mm_sub_epi16(_mm_sub_epi16(d5, d3), d7), _mm_srai_epi16(d7, 1));
  const __m128i e2 = _mm_sub_epi16(d0, d4);
  const __m128i e3 = _mm_sub_epi16(_mm_sub_epi16(_mm_add_epi16(d1, d7), d3), _mm_srai_epi16(d3, 1));
  const __m128i e4 = _mm_sub_epi16(_mm_srai_epi16(d2, 1), d6);
  const __m128i e5 = _mm_add_epi16(_mm_add_epi16(_mm_sub_epi16(d7, d1), d5), _mm_srai_epi16(d5, 1));
  const __m128i e6 = _mm_add_epi16(d2, _mm_srai_epi16(d6, 1));
  const __m128i e7 = _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(d3, d5), d1), _mm_srai_epi16(d1, 1));
  const __m128i f0 = _mm_add_epi16(e0, e6);
  const __m128i f1 = _mm_add_epi16(e1, _mm_srai_epi16(e7, 2));
  const __m128i f2 = _mm_add_epi16(e2, e4);
  const __m128i f3 = _mm_add_epi16(e3, _mm_srai_epi16(e5, 2));
  const __m128i f4 = _mm_sub_epi16(e2, e4);
  const __m128i f5 = _mm_sub_epi16(_mm_srai_epi16(e3, 2), e5);
  const __m128i f6 = _mm_sub_epi16(e0, e6);
  const __m128i f7 = _mm_sub_epi16(e7, _mm_srai_epi16(e1, 2));
  v[0] = _mm_add_epi16(f0, f7);
  v[1] = _mm_add_epi16(f2, f5);
  v[2] = _mm_add_epi16(f4, f3);
  v[3] = _mm_add_epi16(f6, f1);
  v[4] = _mm_sub_epi16(f6, f1);
  v[5] = _mm_sub_epi16(f4, f3);
  v[6] = _mm_sub_epi16(f2, f5);
  v[7] = _mm_sub_epi16(f0, f7);
}

// Transposes eight vectors of eight 16-bit lanes.
inline void transpose8(__m128i* v) {
  const __m128i a0 = _mm_unpacklo_epi16(v[0], v[1]), a1 = _mm_unpackhi_epi16(v[0], v[1]);
  const __m128i a2 = _mm_unpacklo_epi16(v[2], v[3]), a3 = _mm_unpackhi_epi16(v[2], v[3]);
  const __m128i a4 = _mm_unpacklo_epi16(v[4], v[5]), a5 = _mm_unpackhi_epi16(v[4], v[5]);
  const __m128i a6 = _mm_unpacklo_epi16(v[6], v[7]), a7 = _mm_unpackhi_epi16(v[6], v[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  v[0] = _mm_unpacklo_epi64(b0, b4);
  v[1] = _mm_unpackhi_epi64(b0, b4);
  v[2] = _mm_unpacklo_epi64(b1, b5);
  v[3] = _mm_unpackhi_epi64(b1, b5);
  v[4] = _mm_unpacklo_epi64(b2, b6);
  v[5] = _mm_unpackhi_epi64(b2, b6);
  v[6] = _mm_unpacklo_epi64(b3, b7);
  v[7] = _mm_unpackhi_epi64(b3, b7);
}

// Block of luma4x4BlkIdx at block row i, block column j.
constexpr int kBlockAt[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};

}  // namespace

void build_level_scale(const uint8_t weight4x4[6][16], const uint8_t weight8x8[2][64], int32_t ls4x4[6][6][16],
                       int32_t ls8x8[2][6][64]) {
  for (int t = 0; t < 6; ++t)
    for (int m = 0; m < 6; ++m)
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) ls4x4[t][m][4 * x + y] = weight4x4[t][4 * y + x] * normAdjust[m][4 * y + x];
  for (int t = 0; t < 2; ++t)
    for (int m = 0; m < 6; ++m)
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ls8x8[t][m][8 * x + y] = weight8x8[t][8 * y + x] * normAdjust8x8[m][8 * y + x];
}

uint32_t InverseHadamardLumaDC(int16_t* luma_coeff, const int16_t* dc, int16_t scale, uint8_t rounding,
                               uint8_t right, uint8_t left) {
  // c[i][j]: row i, column j; dc is column-major.
  int16_t g[4][4];
  for (int i = 0; i < 4; ++i) {  // rows: c x H
    const int32_t c0 = dc[i], c1 = dc[4 + i], c2 = dc[8 + i], c3 = dc[12 + i];
    g[i][0] = w16(c0 + c1 + c2 + c3);
    g[i][1] = w16(c0 + c1 - c2 - c3);
    g[i][2] = w16(c0 - c1 - c2 + c3);
    g[i][3] = w16(c0 - c1 + c2 - c3);
  }
  for (int j = 0; j < 4; ++j) {  // columns: H x (c x H)
    const int32_t a = g[0][j], b = g[1][j], c = g[2][j], d = g[3][j];
    const int16_t f[4] = {w16(a + b + c + d), w16(a + b - c - d), w16(a - b - c + d), w16(a - b + c - d)};
    for (int i = 0; i < 4; ++i) {
      const int32_t scaled = (f[i] * static_cast<int32_t>(scale) + rounding) >> right;
      luma_coeff[16 * kBlockAt[i][j]] = w16(static_cast<int32_t>(static_cast<uint32_t>(scaled) << left));
    }
  }
  return 0;
}

uint32_t transform_luma_4x4(int16_t* luma_coeff, uint16_t mask) {
  for (int q = 0; q < 4; ++q) {
    const unsigned bits = (mask >> (4 * q)) & 15u;
    if (bits == 0) continue;
    if (bits & 3u) transform_pair(luma_coeff + 64 * q, luma_coeff + 64 * q + 16);
    if (bits & 12u) transform_pair(luma_coeff + 64 * q + 32, luma_coeff + 64 * q + 48);
  }
  return 0;
}

uint32_t transform_luma_8x8(int16_t* luma_coeff, uint8_t mask) {
  for (int q = 0; q < 4; ++q) {
    if ((mask & (1u << q)) == 0) continue;
    int16_t* b = luma_coeff + 64 * q;
    // Column-major: vector x holds column x, lanes are rows, so the first
    // pass runs along the rows; after the transposition vectors are rows.
    __m128i v[8];
    for (int x = 0; x < 8; ++x) v[x] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 8 * x));
    idct8(v);
    transpose8(v);
    idct8(v);
    const __m128i k32 = _mm_set1_epi16(32);
    for (int y = 0; y < 8; ++y)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 8 * y), _mm_srai_epi16(_mm_add_epi16(v[y], k32), 6));
  }
  return 0;
}

uint32_t transform_chroma_4x4(int16_t* chroma_coeff) {
  for (int k = 0; k < 4; ++k) transform_pair(chroma_coeff + 16 * k, chroma_coeff + 64 + 16 * k);
  return 0;
}
