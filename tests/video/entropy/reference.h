// Plain reference arithmetic of the standard's dequantisation and inverse
// transforms, written element by element for the tests. Every intermediate
// wraps at 16 bits, as the decoder's lanes do.
#pragma once

#include <cstdint>

namespace reftest {

inline int16_t w16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// 4x4: d[row][col] in, r[row][col] out.
inline void idct4(const int16_t d[4][4], int16_t r[4][4]) {
  int16_t f[4][4], h[4][4];
  for (int i = 0; i < 4; ++i) {
    const int16_t e0 = w16(d[i][0] + d[i][2]), e1 = w16(d[i][0] - d[i][2]);
    const int16_t e2 = w16((d[i][1] >> 1) - d[i][3]), e3 = w16(d[i][1] + (d[i][3] >> 1));
    f[i][0] = w16(e0 + e3);
    f[i][1] = w16(e1 + e2);
    f[i][2] = w16(e1 - e2);
    f[i][3] = w16(e0 - e3);
  }
  for (int j = 0; j < 4; ++j) {
    const int16_t g0 = w16(f[0][j] + f[2][j]), g1 = w16(f[0][j] - f[2][j]);
    const int16_t g2 = w16((f[1][j] >> 1) - f[3][j]), g3 = w16(f[1][j] + (f[3][j] >> 1));
    h[0][j] = w16(g0 + g3);
    h[1][j] = w16(g1 + g2);
    h[2][j] = w16(g1 - g2);
    h[3][j] = w16(g0 - g3);
  }
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r[i][j] = static_cast<int16_t>(w16(h[i][j] + 32) >> 6);
}

inline void idct8_1d(const int16_t* in, int16_t* out) {
  const int32_t a0 = in[0] + in[4];
  const int32_t a4 = in[0] - in[4];
  const int32_t a2 = (in[2] >> 1) - in[6];
  const int32_t a6 = in[2] + (in[6] >> 1);
  const int16_t b0 = w16(w16(a0) + w16(a6)), b2 = w16(w16(a4) + w16(a2));
  const int16_t b4 = w16(w16(a4) - w16(a2)), b6 = w16(w16(a0) - w16(a6));
  const int16_t a1 = w16(-in[3] + in[5] - in[7] - (in[7] >> 1));
  const int16_t a3 = w16(in[1] + in[7] - in[3] - (in[3] >> 1));
  const int16_t a5 = w16(-in[1] + in[7] + in[5] + (in[5] >> 1));
  const int16_t a7 = w16(in[3] + in[5] + in[1] + (in[1] >> 1));
  const int16_t b1 = w16(a1 + (a7 >> 2)), b7 = w16(a7 - (a1 >> 2));
  const int16_t b3 = w16(a3 + (a5 >> 2)), b5 = w16((a3 >> 2) - a5);
  out[0] = w16(b0 + b7);
  out[1] = w16(b2 + b5);
  out[2] = w16(b4 + b3);
  out[3] = w16(b6 + b1);
  out[4] = w16(b6 - b1);
  out[5] = w16(b4 - b3);
  out[6] = w16(b2 - b5);
  out[7] = w16(b0 - b7);
}

inline void idct8(const int16_t d[8][8], int16_t r[8][8]) {
  int16_t t[8][8];
  for (int i = 0; i < 8; ++i) idct8_1d(d[i], t[i]);
  for (int j = 0; j < 8; ++j) {
    int16_t col[8], res[8];
    for (int i = 0; i < 8; ++i) col[i] = t[i][j];
    idct8_1d(col, res);
    for (int i = 0; i < 8; ++i) r[i][j] = static_cast<int16_t>(w16(res[i] + 32) >> 6);
  }
}

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
