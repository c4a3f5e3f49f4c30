// Plain reference of the intra 4x4 and 8x8 luma predictors (the vector
// bodies are tested against it). The directional modes are the same
// formulas for both sizes; the 8x8 ones run them over reference samples that
// were first smoothed with a [1, 2, 1] filter.
#include "intra_prediction.h"

#include <cstring>

namespace {

// Reference samples of an N x N block: the upper row with its above-right
// half, the left column, and one corner sample shared by both.
template <int N>
struct Edge {
  int up[2 * N];
  int lf[N];
  int corner;
  int T(int x) const { return x < 0 ? corner : up[x]; }  // p[x, -1]
  int L(int y) const { return y < 0 ? corner : lf[y]; }  // p[-1, y]
};

inline int avg2(int a, int b) { return (a + b + 1) >> 1; }
inline int avg3(int a, int b, int c) { return (a + 2 * b + c + 2) >> 2; }

template <int N>
void predict_ddl(uint8_t* pred, const Edge<N>& e) {
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x)
      pred[y * N + x] = static_cast<uint8_t>(
          (x == N - 1 && y == N - 1) ? (e.T(2 * N - 2) + 3 * e.T(2 * N - 1) + 2) >> 2
                                     : avg3(e.T(x + y), e.T(x + y + 1), e.T(x + y + 2)));
}

template <int N>
void predict_ddr(uint8_t* pred, const Edge<N>& e) {
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) {
      int v;
      if (x > y)
        v = avg3(e.T(x - y - 2), e.T(x - y - 1), e.T(x - y));
      else if (x < y)
        v = avg3(e.L(y - x - 2), e.L(y - x - 1), e.L(y - x));
      else
        v = avg3(e.T(0), e.corner, e.L(0));
      pred[y * N + x] = static_cast<uint8_t>(v);
    }
}

template <int N>
void predict_vr(uint8_t* pred, const Edge<N>& e) {
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) {
      const int z = 2 * x - y;
      const int i = x - (y >> 1);
      int v;
      if (z >= 0 && (z & 1) == 0)
        v = avg2(e.T(i - 1), e.T(i));
      else if (z >= 0)
        v = avg3(e.T(i - 2), e.T(i - 1), e.T(i));
      else if (z == -1)
        v = avg3(e.L(0), e.corner, e.T(0));
      else
        v = avg3(e.L(y - 2 * x - 1), e.L(y - 2 * x - 2), e.L(y - 2 * x - 3));
      pred[y * N + x] = static_cast<uint8_t>(v);
    }
}

template <int N>
void predict_hd(uint8_t* pred, const Edge<N>& e) {
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) {
      const int z = 2 * y - x;
      const int i = y - (x >> 1);
      int v;
      if (z >= 0 && (z & 1) == 0)
        v = avg2(e.L(i - 1), e.L(i));
      else if (z >= 0)
        v = avg3(e.L(i - 2), e.L(i - 1), e.L(i));
      else if (z == -1)
        v = avg3(e.L(0), e.corner, e.T(0));
      else
        v = avg3(e.T(x - 2 * y - 1), e.T(x - 2 * y - 2), e.T(x - 2 * y - 3));
      pred[y * N + x] = static_cast<uint8_t>(v);
    }
}

template <int N>
void predict_vl(uint8_t* pred, const Edge<N>& e) {
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) {
      const int i = x + (y >> 1);
      pred[y * N + x] = static_cast<uint8_t>(
          (y & 1) == 0 ? avg2(e.T(i), e.T(i + 1)) : avg3(e.T(i), e.T(i + 1), e.T(i + 2)));
    }
}

template <int N>
void predict_hu(uint8_t* pred, const Edge<N>& e) {
  const int last = 2 * N - 3;  // the last position that still averages samples
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) {
      const int z = x + 2 * y;
      const int i = y + (x >> 1);
      int v;
      if (z > last)
        v = e.L(N - 1);
      else if (z == last)
        v = (e.L(N - 2) + 3 * e.L(N - 1) + 2) >> 2;
      else if ((z & 1) == 0)
        v = avg2(e.L(i), e.L(i + 1));
      else
        v = avg3(e.L(i), e.L(i + 1), e.L(i + 2));
      pred[y * N + x] = static_cast<uint8_t>(v);
    }
}

template <int N>
void fill_rows(uint8_t* pred, const int* row) {
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) pred[y * N + x] = static_cast<uint8_t>(row[x]);
}

template <int N>
void fill_columns(uint8_t* pred, const int* col) {
  for (int y = 0; y < N; ++y) std::memset(pred + y * N, col[y], N);
}

// DC over N samples per present side; 128 when neither is present.
template <int N, int Log2N>
void predict_dc(uint8_t* pred, const int* left, const int* top) {
  int sum = 0;
  for (int i = 0; i < N; ++i) sum += (left ? left[i] : 0) + (top ? top[i] : 0);
  int dc = 128;
  if (left && top)
    dc = (sum + N) >> (Log2N + 1);
  else if (left || top)
    dc = (sum + N / 2) >> Log2N;
  std::memset(pred, dc, N * N);
}

// Unfiltered 4x4 references: the corner comes from the upper row's slot.
Edge<4> raw4(const uint8_t* left, const uint8_t* top) {
  Edge<4> e{};
  if (top) {
    for (int x = 0; x < 8; ++x) e.up[x] = top[x];
    e.corner = top[-1];
  }
  if (left) {
    for (int y = 0; y < 4; ++y) e.lf[y] = left[y];
    if (!top) e.corner = left[-1];
  }
  return e;
}

// Smoothed 8x8 references. Each side is filtered with its own corner slot,
// which holds the side's first sample when the real corner is unusable; the
// filtered corner needs both sides (only the modes that have them read it).
Edge<8> filtered8(const uint8_t* left, const uint8_t* top) {
  Edge<8> e{};
  if (top) {
    e.up[0] = avg3(top[-1], top[0], top[1]);
    for (int x = 1; x < 15; ++x) e.up[x] = avg3(top[x - 1], top[x], top[x + 1]);
    e.up[15] = (top[14] + 3 * top[15] + 2) >> 2;
  }
  if (left) {
    e.lf[0] = avg3(left[-1], left[0], left[1]);
    for (int y = 1; y < 7; ++y) e.lf[y] = avg3(left[y - 1], left[y], left[y + 1]);
    e.lf[7] = (left[6] + 3 * left[7] + 2) >> 2;
  }
  if (top && left) e.corner = avg3(top[0], top[-1], left[0]);
  return e;
}

}  // namespace

// ---- 4x4 ----

void c_intra_4x4_vertical_8bit(uint8_t* pred, const uint8_t*, const uint8_t* top) {
  for (int y = 0; y < 4; ++y) std::memcpy(pred + 4 * y, top, 4);
}

void c_intra_4x4_horizontal_8bit(uint8_t* pred, const uint8_t* left, const uint8_t*) {
  for (int y = 0; y < 4; ++y) std::memset(pred + 4 * y, left[y], 4);
}

void c_intra_4x4_dc_prediction_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  const Edge<4> e = raw4(left, top);
  predict_dc<4, 2>(pred, left ? e.lf : nullptr, top ? e.up : nullptr);
}

void c_intra_4x4_diagonal_down_left_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_ddl<4>(pred, raw4(left, top));
}

void c_intra_4x4_diagonal_down_right_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_ddr<4>(pred, raw4(left, top));
}

void c_intra_4x4_vertical_right_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_vr<4>(pred, raw4(left, top));
}

void c_intra_4x4_horizontal_down_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_hd<4>(pred, raw4(left, top));
}

void c_intra_4x4_vertical_left_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_vl<4>(pred, raw4(left, top));
}

void c_intra_4x4_horizontal_up_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_hu<4>(pred, raw4(left, top));
}

// ---- 8x8 ----

void c_intra_8x8_vertical_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  fill_rows<8>(pred, filtered8(left, top).up);
}

void c_intra_8x8_horizontal(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  fill_columns<8>(pred, filtered8(left, top).lf);
}

void c_intra_8x8_dc_prediction(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  const Edge<8> e = filtered8(left, top);
  predict_dc<8, 3>(pred, left ? e.lf : nullptr, top ? e.up : nullptr);
}

void c_intra_8x8_diagonal_down_left(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_ddl<8>(pred, filtered8(left, top));
}

void c_intra_8x8_diagonal_down_right(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_ddr<8>(pred, filtered8(left, top));
}

void c_intra_8x8_vertical_right(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_vr<8>(pred, filtered8(left, top));
}

void c_intra_8x8_horizontal_down(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_hd<8>(pred, filtered8(left, top));
}

void c_intra_8x8_vertical_left(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_vl<8>(pred, filtered8(left, top));
}

void c_intra_8x8_horizontal_up_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  predict_hu<8>(pred, filtered8(left, top));
}


