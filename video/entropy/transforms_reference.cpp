// Plain reference of the inverse transform kernels: the standard's integer
// formulas element by element, every intermediate wrapped to 16 bits as the
// vector lanes wrap.
#include "transforms.h"

namespace {

inline int16_t w16(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// One 4-point pass over in[0], in[step], ... into out likewise.
void idct4_1d(const int16_t* in, int16_t* out, int step) {
  const int16_t d0 = in[0], d1 = in[step], d2 = in[2 * step], d3 = in[3 * step];
  const int16_t e0 = w16(d0 + d2), e1 = w16(d0 - d2);
  const int16_t e2 = w16((d1 >> 1) - d3), e3 = w16(d1 + (d3 >> 1));
  out[0] = w16(e0 + e3);
  out[step] = w16(e1 + e2);
  out[2 * step] = w16(e1 - e2);
  out[3 * step] = w16(e0 - e3);
}

// One 8-point pass likewise.
void idct8_1d(const int16_t* in, int16_t* out, int step) {
  int16_t d[8];
  for (int i = 0; i < 8; ++i) d[i] = in[i * step];
  const int16_t a0 = w16(d[0] + d[4]), a4 = w16(d[0] - d[4]);
  const int16_t a2 = w16((d[2] >> 1) - d[6]), a6 = w16(d[2] + (d[6] >> 1));
  const int16_t b0 = w16(a0 + a6), b2 = w16(a4 + a2), b4 = w16(a4 - a2), b6 = w16(a0 - a6);
  const int16_t a1 = w16(d[5] - d[3] - d[7] - (d[7] >> 1));
  const int16_t a3 = w16(d[1] + d[7] - d[3] - (d[3] >> 1));
  const int16_t a5 = w16(d[7] - d[1] + d[5] + (d[5] >> 1));
  const int16_t a7 = w16(d[3] + d[5] + d[1] + (d[1] >> 1));
  const int16_t b1 = w16(a1 + (a7 >> 2)), b7 = w16(a7 - (a1 >> 2));
  const int16_t b3 = w16(a3 + (a5 >> 2)), b5 = w16((a3 >> 2) - a5);
  const int16_t r[8] = {w16(b0 + b7), w16(b2 + b5), w16(b4 + b3), w16(b6 + b1),
                        w16(b6 - b1), w16(b4 - b3), w16(b2 - b5), w16(b0 - b7)};
  for (int i = 0; i < 8; ++i) out[i * step] = r[i];
}

// An n x n block, column-major (element (row y, column x) at n * x + y):
// rows first, then columns, then (r + 32) >> 6, raster out.
template <int n, void (*pass)(const int16_t*, int16_t*, int)>
void inverse(int16_t* block) {
  int16_t t[n * n], u[n * n];
  for (int y = 0; y < n; ++y) pass(block + y, t + y, n);  // row y: stride n in column-major
  for (int x = 0; x < n; ++x) pass(t + n * x, u + n * x, 1);  // column x
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) block[n * y + x] = static_cast<int16_t>(w16(u[n * x + y] + 32) >> 6);
}

void inverse_4x4_pair(int16_t* p, int16_t* q) {
  inverse<4, idct4_1d>(p);
  inverse<4, idct4_1d>(q);
}

}  // namespace

const TransformDsp c_transform_dsp = {&inverse_4x4_pair, &inverse<8, idct8_1d>};
