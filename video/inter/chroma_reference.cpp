// Plain reference of the chroma kernels: the bilinear weights sample by
// sample with every coordinate clamped, and the adders element by element.
#include <algorithm>
#include <cstddef>

#include "chroma_dsp.h"

namespace {

template <int N>
void c_bilinear(const uint8_t* plane, int32_t x, int32_t y, int32_t dx, int32_t dy, int16_t* dst, int32_t width,
                int32_t height, int32_t pitch) {
  // The margins repeat each row's edge samples, so clamping the start column
  // into them equals clamping every column to the picture; rows are clamped.
  const auto at = [&](int32_t cx, int32_t cy) {
    return int32_t{plane[static_cast<ptrdiff_t>(std::clamp(cy, 0, height - 1)) * pitch + cx]};
  };
  x = x < -8 ? -8 : std::min(x, width - 17);
  for (int r = 0; r < N; ++r)
    for (int i = 0; i < 8; ++i)
      dst[8 * r + i] = static_cast<int16_t>(
          ((8 - dx) * (8 - dy) * at(x + i, y + r) + dx * (8 - dy) * at(x + i + 1, y + r) +
           (8 - dx) * dy * at(x + i, y + r + 1) + dx * dy * at(x + i + 1, y + r + 1) + 32) >> 6);
}

// Row r, column c of the output adds residual block left (c < 4) or right
// (c >= 4) of the rows' arrangement, at row r mod 4; 16-bit wrapping adds.
template <int Rows, int Cols, class Block>
void add_rows(const int16_t* residual, const int16_t* pred, int16_t* out, Block blockOf) {
  for (int r = 0; r < Rows; ++r)
    for (int c = 0; c < 8; ++c) {
      const int b = blockOf(r, c < 4 || Cols == 4 ? 0 : 1);
      out[8 * r + c] = static_cast<int16_t>(static_cast<uint16_t>(pred[8 * r + c]) +
                                            static_cast<uint16_t>(residual[16 * b + 4 * (r & 3) + (c & 3)]));
    }
}

void c_add_8x8(const int16_t* residual, uint8_t, const int16_t* pred, int16_t* out) {
  add_rows<8, 8>(residual, pred, out, [](int r, int h) { return (r < 4 ? 0 : 2) + h; });
}
void c_add_8x4(const int16_t* residual, uint8_t block, const int16_t* pred, int16_t* out) {
  add_rows<4, 8>(residual, pred, out, [&](int, int h) { return block + h; });
}
void c_add_4x8(const int16_t* residual, uint8_t block, const int16_t* pred, int16_t* out) {
  add_rows<8, 4>(residual, pred, out, [&](int r, int) { return r < 4 ? block : block + 2; });
}
void c_add_4x4(const int16_t* residual, uint8_t, const int16_t* pred, int16_t* out) {
  add_rows<4, 4>(residual, pred, out, [](int, int) { return 0; });
}

// Offset of sample (x, y) of an 8x8 component in 4x4 blocks of 16.
inline int block_offset(int x, int y) { return 16 * (2 * (y >> 2) + (x >> 2)) + 4 * (y & 3) + (x & 3); }

inline uint8_t clip_sum(int16_t pred, int16_t res) {
  const auto sum = static_cast<int16_t>(static_cast<uint16_t>(pred) + static_cast<uint16_t>(res));
  return static_cast<uint8_t>(std::clamp<int>(sum, 0, 255));
}

void c_put_rows(uint8_t* dst, ptrdiff_t pitch, const int16_t* pred, const int16_t* residual, int32_t bx, int32_t by,
                int32_t width, int32_t rows) {
  for (int r = 0; r < rows; ++r, dst += pitch)
    for (int c = 0; c < width; ++c)
      dst[c] = clip_sum(pred[8 * r + c], residual ? residual[block_offset(bx + c, by + r)] : int16_t{0});
}

void c_put_blocks_8x8(uint8_t* dst, ptrdiff_t pitch, const int16_t* pred, const int16_t* residual) {
  for (int r = 0; r < 8; ++r, dst += pitch)
    for (int c = 0; c < 8; ++c) dst[c] = clip_sum(pred[block_offset(c, r)], residual[block_offset(c, r)]);
}

template <int N>
void c_bilinear_pair(const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx, int32_t dy, int16_t* dst,
                     int32_t width, int32_t height, int32_t pitch) {
  c_bilinear<N>(cb, x, y, dx, dy, dst, width, height, pitch);
  c_bilinear<N>(cr, x, y, dx, dy, dst + 8 * N, width, height, pitch);
}

int16_t weighted(const int16_t* p0, const int16_t* p1, const ChromaWeights& w, int i) {
  const int64_t a = p0[i];
  int64_t v = a;
  if (w.kind == ChromaWeights::kSingle)
    v = ((a * w.w0 + (w.logWD > 0 ? int64_t{1} << (w.logWD - 1) : 0)) >> w.logWD) + w.o;
  if (w.kind == ChromaWeights::kTwo) v = ((a * w.w0 + p1[i] * int64_t{w.w1} + (int64_t{1} << w.logWD)) >> (w.logWD + 1)) + w.o;
  return static_cast<int16_t>(w.kind == ChromaWeights::kCopy ? v : std::clamp<int64_t>(v, 0, 255));
}

void c_put_weighted(uint8_t* dst, ptrdiff_t pitch, const int16_t* p0, const int16_t* p1, const ChromaWeights* w,
                    const int16_t* residual, int32_t bx, int32_t by, int32_t width, int32_t rows) {
  for (int r = 0; r < rows; ++r, dst += pitch)
    for (int c = 0; c < width; ++c)
      dst[c] = clip_sum(weighted(p0, p1, *w, 8 * r + c), residual ? residual[block_offset(bx + c, by + r)] : int16_t{0});
}

template <int N>
void c_put_pair(const uint8_t* cb, const uint8_t* cr, int32_t x, int32_t y, int32_t dx, int32_t dy, int32_t width,
                int32_t height, int32_t pitch, const ChromaPutArgs* out) {
  int16_t rows[2][8 * N];
  c_bilinear_pair<N>(cb, cr, x, y, dx, dy, rows[0], width, height, pitch);
  const ChromaWeights copy{ChromaWeights::kCopy, 0, 0, 0, 0};
  for (int c = 0; c < 2; ++c)
    c_put_weighted(out->dst[c], out->pitch, rows[c], nullptr, &copy, out->residual ? out->residual + 64 * c : nullptr,
                   out->bx, out->by, out->width, N);
}

template <int N>
void c_put_pair_bi(const ChromaPairSource* s, const ChromaWeights* w, int32_t width, int32_t height, int32_t pitch,
                   const ChromaPutArgs* out) {
  int16_t rows[2][2][8 * N];  // [source][plane]
  for (int k = 0; k < 2; ++k)
    c_bilinear_pair<N>(s[k].cb, s[k].cr, s[k].x, s[k].y, s[k].dx, s[k].dy, rows[k][0], width, height, pitch);
  for (int c = 0; c < 2; ++c)
    c_put_weighted(out->dst[c], out->pitch, rows[0][c], rows[1][c], &w[c],
                   out->residual ? out->residual + 64 * c : nullptr, out->bx, out->by, out->width, N);
}

}  // namespace

const ChromaDsp c_chroma_dsp = {{c_bilinear<2>, c_bilinear<4>, c_bilinear<8>},
                                c_add_8x8,
                                c_add_8x4,
                                c_add_4x8,
                                c_add_4x4,
                                c_put_rows,
                                c_put_blocks_8x8,
                                {c_bilinear_pair<2>, c_bilinear_pair<4>, c_bilinear_pair<8>},
                                c_put_weighted,
                                {c_put_pair<2>, c_put_pair<4>, c_put_pair<8>},
                                {c_put_pair_bi<2>, c_put_pair_bi<4>, c_put_pair_bi<8>}};
