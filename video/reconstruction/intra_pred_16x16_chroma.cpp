// Plain reference of the intra 16x16 luma and 4:2:0 chroma predictors: the
// per-sample formulas the vector bodies are tested against.
#include "intra_prediction.h"

#include <cstring>

namespace {

inline uint8_t clip_pixel(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

int sum_of(const uint8_t* s, int n) {
  int sum = 0;
  for (int i = 0; i < n; ++i) sum += s[i];
  return sum;
}

// Byte offset of chroma sample (x, y) in the four-block chroma layout.
inline int chroma_index(int x, int y) { return 16 * ((x >> 2) + 2 * (y >> 2)) + 4 * (y & 3) + (x & 3); }

void fill_chroma_block(uint8_t* pred, int block, int value) { std::memset(pred + 16 * block, value, 16); }

}  // namespace

void c_intra_16x16_vertical_8bit(uint8_t* pred, const uint8_t*, const uint8_t* top) {
  for (int y = 0; y < 16; ++y) std::memcpy(pred + 16 * y, top, 16);
}

void c_intra_16x16_horizontal_8bit(uint8_t* pred, const uint8_t* left, const uint8_t*) {
  for (int y = 0; y < 16; ++y) std::memset(pred + 16 * y, left[y], 16);
}

void c_intra_16x16_dc_prediction_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  int dc = 128;
  if (left && top)
    dc = (sum_of(left, 16) + sum_of(top, 16) + 16) >> 5;
  else if (left)
    dc = (sum_of(left, 16) + 8) >> 4;
  else if (top)
    dc = (sum_of(top, 16) + 8) >> 4;
  std::memset(pred, dc, 256);
}

void c_intra_16x16_plane_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  // The above-left sample enters both gradients through top[-1].
  int h = 0, v = 0;
  for (int i = 0; i < 8; ++i) {
    h += (i + 1) * (top[8 + i] - top[6 - i]);
    v += (i + 1) * (left[8 + i] - (i == 7 ? top[-1] : left[6 - i]));
  }
  const int a = 16 * (left[15] + top[15]);
  const int b = (5 * h + 32) >> 6;
  const int c = (5 * v + 32) >> 6;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) pred[16 * y + x] = clip_pixel((a + b * (x - 7) + c * (y - 7) + 16) >> 5);
}

void c_intra_chroma_dc_prediction_8x8(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  // Blocks 0 and 3 average both sides; block 1 prefers the upper side,
  // block 2 the left side.
  const int l0 = left ? sum_of(left, 4) : 0, l1 = left ? sum_of(left + 4, 4) : 0;
  const int t0 = top ? sum_of(top, 4) : 0, t1 = top ? sum_of(top + 4, 4) : 0;
  auto both = [&](int l, int t) {
    if (left && top) return (l + t + 4) >> 3;
    if (left) return (l + 2) >> 2;
    if (top) return (t + 2) >> 2;
    return 128;
  };
  fill_chroma_block(pred, 0, both(l0, t0));
  fill_chroma_block(pred, 1, top ? (t1 + 2) >> 2 : left ? (l0 + 2) >> 2 : 128);
  fill_chroma_block(pred, 2, left ? (l1 + 2) >> 2 : top ? (t0 + 2) >> 2 : 128);
  fill_chroma_block(pred, 3, both(l1, t1));
}

void c_intra_chroma_horizontal_prediction_8x8(uint8_t* pred, const uint8_t* left, const uint8_t*) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) pred[chroma_index(x, y)] = left[y];
}

void c_intra_chroma_vertical_prediction_8x8(uint8_t* pred, const uint8_t*, const uint8_t* top) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) pred[chroma_index(x, y)] = top[x];
}

void c_intra_chroma_plane_prediction_8x8(uint8_t* pred, const uint8_t* left, const uint8_t* top) {
  int h = 0, v = 0;
  for (int i = 0; i < 4; ++i) {
    h += (i + 1) * (top[4 + i] - top[2 - i]);
    v += (i + 1) * (left[4 + i] - left[2 - i]);
  }
  const int a = 16 * (left[7] + top[7]);
  const int b = (34 * h + 32) >> 6;
  const int c = (34 * v + 32) >> 6;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) pred[chroma_index(x, y)] = clip_pixel((a + b * (x - 3) + c * (y - 3) + 16) >> 5);
}

