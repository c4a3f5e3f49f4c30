// Plain reference arithmetic of the standard's dequantisation, written
// element by element for the tests, and the inverse transforms on row/column
// arrays through the decoder's plain reference kernels. Every intermediate
// wraps at 16 bits, as the decoder's lanes do.
#pragma once

#include <cstdint>

#include "transforms.h"

namespace reftest {

inline int16_t w16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// The inverse transforms through the decoder's plain reference kernels:
// d[row][col] in, r[row][col] out.
template <int n>
inline void inverse(const int16_t d[n][n], int16_t r[n][n], void (*kernel)(int16_t*)) {
  int16_t block[n * n];
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) block[n * x + y] = d[y][x];
  kernel(block);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) r[y][x] = block[n * y + x];
}

inline void idct4(const int16_t d[4][4], int16_t r[4][4]) {
  inverse<4>(d, r, [](int16_t* b) {
    int16_t unused[16] = {};
    c_transform_dsp.inverse_4x4_pair(b, unused);
  });
}

inline void idct8(const int16_t d[8][8], int16_t r[8][8]) { inverse<8>(d, r, c_transform_dsp.inverse_8x8); }

// Intra16x16 DC: c[row][col] of decoded levels -> dcY[row][col], with the
// scaling of the 8x8 rule.
inline void luma_dc(const int16_t c[4][4], int32_t levelScale0, int qP, int16_t out[4][4]) {
  static const int H[4][4] = {{1, 1, 1, 1}, {1, 1, -1, -1}, {1, -1, -1, 1}, {1, -1, 1, -1}};
  int16_t t[4][4], f[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      int32_t s = 0;
      for (int k = 0; k < 4; ++k) s += H[i][k] * c[k][j];
      t[i][j] = w16(s);
    }
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      int32_t s = 0;
      for (int k = 0; k < 4; ++k) s += t[i][k] * H[k][j];
      f[i][j] = w16(s);
    }
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      const int64_t v = int64_t{f[i][j]} * levelScale0;
      out[i][j] = qP >= 36 ? w16(v * (int64_t{1} << (qP / 6 - 6))) : w16((v + (int64_t{1} << (5 - qP / 6))) >> (6 - qP / 6));
    }
}

// 4x4 and AC coefficients.
inline int16_t dequant4(int32_t c, int32_t ls, int qP) {
  const int64_t v = int64_t{c} * ls;
  return qP >= 24 ? w16(v * (int64_t{1} << (qP / 6 - 4))) : w16((v + (int64_t{1} << (3 - qP / 6))) >> (4 - qP / 6));
}

inline int16_t dequant8(int32_t c, int32_t ls, int qP) {
  const int64_t v = int64_t{c} * ls;
  return qP >= 36 ? w16(v * (int64_t{1} << (qP / 6 - 6))) : w16((v + (int64_t{1} << (5 - qP / 6))) >> (6 - qP / 6));
}

}  // namespace reftest
