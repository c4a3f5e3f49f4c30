// Plain reference of the intra residual adders: one sample at a time in int
// arithmetic, the layouts spelled out per sample. The vector bodies are
// tested against it.
#include "intra_prediction.h"

namespace {

inline uint8_t clip_pixel(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Index of sample (x, y) of a block whose n x n samples are stored as 4x4
// blocks of 16 (raster inside a block), the blocks in luma4x4BlkIdx order
// (n = 16) or chroma block order (n = 8).
inline int in_4x4_blocks(int n, int x, int y) {
  const int bx = x >> 2, by = y >> 2;
  const int block = n == 16 ? 4 * ((bx >> 1) + 2 * (by >> 1)) + (bx & 1) + 2 * (by & 1) : bx + 2 * by;
  return 16 * block + 4 * (y & 3) + (x & 3);
}

template <typename PredIndex, typename ResIndex>
void add(uint8_t* dst, int pitch, int n, const uint8_t* pred, const int16_t* res, PredIndex p, ResIndex r) {
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) dst[y * pitch + x] = clip_pixel(pred[p(x, y)] + res[r(x, y)]);
}

}  // namespace

void c_intra_add_residual_4x4(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res) {
  auto raster = [](int x, int y) { return 4 * y + x; };
  add(dst, pitch, 4, pred, res, raster, raster);
}

void c_intra_add_residual_8x8(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res) {
  auto raster = [](int x, int y) { return 8 * y + x; };
  add(dst, pitch, 8, pred, res, raster, raster);
}

void c_intra_add_residual_16x16(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res) {
  add(dst, pitch, 16, pred, res, [](int x, int y) { return 16 * y + x; },
      [](int x, int y) { return in_4x4_blocks(16, x, y); });
}

void c_intra_add_residual_chroma(uint8_t* dst, int pitch, const uint8_t* pred, const int16_t* res) {
  auto blocks = [](int x, int y) { return in_4x4_blocks(8, x, y); };
  add(dst, pitch, 8, pred, res, blocks, blocks);
}
