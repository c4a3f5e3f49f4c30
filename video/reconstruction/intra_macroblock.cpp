// Intra macroblock reconstruction: gathers the usable neighbour samples,
// predicts block by block in decoding order and adds the residual straight
// into the picture.
#include <cstring>

#include "intra_prediction.h"
#include "reconstruction.h"

namespace {

struct Usable {
  bool a, b, c, d;
};

Usable usable_in_i_slice(const MacroblockRecord* mb) {
  return {mb->neighbour_a != nullptr, mb->neighbour_b != nullptr, mb->neighbour_c != nullptr,
          mb->neighbour_d != nullptr};
}

// In P and B slices a neighbour also has to be intra when the slice uses
// constrained intra prediction.
Usable usable_in_inter_slice(const MacroblockRecord* mb) {
  const bool constrained = mb->slice != nullptr && mb->slice->constrained_intra_pred_flag != 0;
  auto ok = [constrained](const MacroblockRecord* n) { return n != nullptr && (!constrained || mb_is_intra(n->mb_type)); };
  return {ok(mb->neighbour_a), ok(mb->neighbour_b), ok(mb->neighbour_c), ok(mb->neighbour_d)};
}

// Decoding order of the n x n blocks of a macroblock (4x4: luma4x4BlkIdx).
inline int block_order(int n, int bx, int by) {
  return n == 4 ? 4 * ((bx >> 1) + 2 * (by >> 1)) + (bx & 1) + 2 * (by & 1) : bx + 2 * by;
}

// n x n block walk (n = 4 or 8) in decoding order. Every sample a block
// reads comes from the picture (the row above the macroblock, and its own
// blocks, reconstructed before any later block reads them) or, for the
// macroblock's left column, from left (16 samples; corner is the
// macroblock's above-left sample).
template <int n>
void predict_blocks(const MacroblockRecord* mb, const Usable& u, const uint8_t* mbLeft, uint8_t mbCorner, uint8_t* dst,
                    int pitch) {
  constexpr int grid = 16 / n;
  for (int k = 0; k < grid * grid; ++k) {
    // Position of block k in decoding order.
    static const uint8_t kX4[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
    static const uint8_t kY4[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};
    const int bx = n == 4 ? kX4[k] : k & 1;
    const int by = n == 4 ? kY4[k] : k >> 1;
    const int x0 = n * bx, y0 = n * by;
    const bool hasLeft = bx > 0 || u.a;
    const bool hasTop = by > 0 || u.b;
    const bool hasCorner = bx > 0 ? (by > 0 || u.b) : (by > 0 ? u.a : u.d);
    bool hasTopRight;
    if (by == 0)
      hasTopRight = bx < grid - 1 ? u.b : u.c;
    else
      hasTopRight = bx < grid - 1 && block_order(n, bx + 1, by - 1) < k;

    uint8_t* out = dst + y0 * pitch + x0;
    uint8_t corner = 0;
    if (hasCorner) corner = x0 > 0 ? out[-pitch - 1] : y0 > 0 ? mbLeft[y0 - 1] : mbCorner;
    alignas(16) uint8_t top[32];
    alignas(16) uint8_t left[32];
    if (hasTop) {
      const uint8_t* above = out - pitch;
      std::memcpy(top + 8, above, n);
      if (hasTopRight)
        std::memcpy(top + 8 + n, above + n, n);
      else
        std::memset(top + 8 + n, above[n - 1], n);
      top[7] = hasCorner ? corner : top[8];
    }
    if (hasLeft) {
      if (x0 == 0)
        std::memcpy(left + 8, mbLeft + y0, n);
      else
        for (int i = 0; i < n; ++i) left[8 + i] = out[i * pitch - 1];
      left[7] = hasCorner ? corner : left[8];
    }

    alignas(16) uint8_t pred[64];
    const uint8_t mode = mb->intra_pred_mode[n == 4 ? k : 4 * k];
    // The block goes straight into the picture: the later blocks read their
    // neighbours' samples there, so no column or row is copied out.
    if constexpr (n == 4) {
      create_prediction_4x4_8bit(pred, hasLeft ? left + 8 : nullptr, hasTop ? top + 8 : nullptr, mode);
      combine_intra_samples_4x4_8bit(mb->luma_coeff + 16 * k, pred, nullptr, nullptr, out, pitch);
    } else {
      create_prediction_8x8_8bit(pred, hasLeft ? left + 8 : nullptr, hasTop ? top + 8 : nullptr, mode);
      combine_intra_samples_8x8_8bit(mb->luma_coeff + 64 * k, pred, nullptr, nullptr, out, pitch);
    }
  }
}

// Luma of an intra macroblock. left points at 16 left samples with a
// writable corner slot before them; right (optional) receives column 15.
// The above-right samples are read into a local buffer (or substituted when
// C is unusable), never written into the picture.
void reconstruct_luma(const MacroblockRecord* mb, Usable u, uint8_t* left, uint8_t* dst, int pitch, uint8_t* right) {
  const uint8_t corner = u.d ? dst[-pitch - 1] : 128;
  left[-1] = u.d ? corner : left[0];

  if (mb->mb_type == MbI_NxN) {
    if (mb->transform_size_8x8_flag)
      predict_blocks<8>(mb, u, left, corner, dst, pitch);
    else
      predict_blocks<4>(mb, u, left, corner, dst, pitch);
    if (right)
      for (int y = 0; y < 16; ++y) right[y] = dst[y * pitch + 15];
    return;
  }
  alignas(16) uint8_t top[48];
  alignas(16) uint8_t leftCol[32];
  if (u.b) {
    std::memcpy(top + 16, dst - pitch, 16);
    top[15] = u.d ? corner : top[16];
  }
  if (u.a) {
    std::memcpy(leftCol + 8, left, 16);
    leftCol[7] = u.d ? corner : leftCol[8];
  }
  alignas(16) uint8_t pred[256];
  const int code = mb->mb_type;
  const uint8_t mode = static_cast<uint8_t>(code >= 65 && code <= 94 ? (code - 65) % 4 : 2);
  create_prediction_16x16_8bit(pred, u.a ? leftCol + 8 : nullptr, u.b ? top + 16 : nullptr, mode);
  combine_intra_samples_16x16_8bit(mb->luma_coeff, pred, right, nullptr, dst, pitch);
}

// Chroma of one component; left holds 8 samples with a filled corner slot.
void reconstruct_chroma_component(const MacroblockRecord* mb, Usable u, const uint8_t* top, const uint8_t* left,
                                  const int16_t* res, uint8_t* right, uint8_t* dst, int pitch) {
  alignas(16) uint8_t topBuf[24];
  const uint8_t* topArg = nullptr;
  if (u.b) {
    std::memcpy(topBuf + 8, top, 8);
    topBuf[7] = u.d ? top[-1] : top[0];
    topArg = topBuf + 8;
  }
  alignas(16) uint8_t pred[64];
  create_prediction_chroma_8bit(pred, u.a ? left : nullptr, topArg, mb->intra_chroma_pred_mode);
  combine_intra_chroma_samples(res, pred, right, dst, pitch);
}

const uint8_t* pcm_bytes(const int16_t* area) { return reinterpret_cast<const uint8_t*>(area); }

}  // namespace

void copy_pcm_luma(const MacroblockRecord* mb, uint8_t* dst, int pitch) {
  for (int y = 0; y < 16; ++y) std::memcpy(dst + y * pitch, pcm_bytes(mb->luma_coeff) + 16 * y, 16);
}

void copy_pcm_chroma(const MacroblockRecord* mb, uint8_t* dstCb, uint8_t* dstCr, int pitch) {
  for (int y = 0; y < 8; ++y) {
    std::memcpy(dstCb + y * pitch, pcm_bytes(mb->chroma_coeff) + 8 * y, 8);
    std::memcpy(dstCr + y * pitch, pcm_bytes(mb->chroma_coeff + 64) + 8 * y, 8);
  }
}

void CreateIntraPredictionAndCombine_I_8bit(const MacroblockRecord* mb, uint8_t* left, uint8_t* right, uint8_t* dst,
                                            int pitch) {
  if (mb->mb_type == MbI_PCM) {
    copy_pcm_luma(mb, dst, pitch);
    for (int y = 0; y < 16; ++y) right[y] = dst[y * pitch + 15];
    return;
  }
  reconstruct_luma(mb, usable_in_i_slice(mb), left, dst, pitch, right);
}

void CreateIntraPredictionAndCombineChroma_I(const MacroblockRecord* mb, const uint8_t* topCb, const uint8_t* topCr,
                                             uint8_t* leftCb, uint8_t* leftCr, uint8_t* rightCb, uint8_t* rightCr,
                                             uint8_t* dstCb, uint8_t* dstCr, int pitch) {
  const Usable u = usable_in_i_slice(mb);
  leftCb[-1] = u.d ? topCb[-1] : leftCb[0];
  leftCr[-1] = u.d ? topCr[-1] : leftCr[0];
  if (mb->mb_type == MbI_PCM) {
    copy_pcm_chroma(mb, dstCb, dstCr, pitch);
    for (int y = 0; y < 8; ++y) rightCb[y] = dstCb[y * pitch + 7], rightCr[y] = dstCr[y * pitch + 7];
    return;
  }
  reconstruct_chroma_component(mb, u, topCb, leftCb, mb->chroma_coeff, rightCb, dstCb, pitch);
  reconstruct_chroma_component(mb, u, topCr, leftCr, mb->chroma_coeff + 64, rightCr, dstCr, pitch);
}

namespace {

void intra_luma_in_inter_slice(uint8_t* dst, const MacroblockRecord* mb, int pitch, Usable u) {
  alignas(16) uint8_t left[32];
  for (int y = 0; y < 16; ++y) left[8 + y] = u.a ? dst[y * pitch - 1] : 128;
  reconstruct_luma(mb, u, left + 8, dst, pitch, nullptr);
}

}  // namespace

void DecodeIntraPrediction_for_P_B(uint8_t* dst, const MacroblockRecord* mb, int pitch) {
  intra_luma_in_inter_slice(dst, mb, pitch, usable_in_inter_slice(mb));
}

// In an MBAFF frame the bottom macroblock of a frame pair has no usable
// above-right samples, whatever its C link says.
void DecodeIntraPrediction_for_P_B_mbaff(uint8_t* dst, const MacroblockRecord* mb, int pitch) {
  Usable u = usable_in_inter_slice(mb);
  if ((mb->mb_addr & 1) != 0 && mb->mb_structure == kFrame) u.c = false;
  intra_luma_in_inter_slice(dst, mb, pitch, u);
}

void DecodeIntraPredictionChroma_for_P_B_mbaff(uint8_t* dstCb, uint8_t* dstCr, const MacroblockRecord* mb, int pitch) {
  DecodeIntraPredictionChroma_for_P_B(dstCb, dstCr, mb, pitch);
}

void DecodeIntraPredictionChroma_for_P_B(uint8_t* dstCb, uint8_t* dstCr, const MacroblockRecord* mb, int pitch) {
  const Usable u = usable_in_inter_slice(mb);
  uint8_t* dsts[2] = {dstCb, dstCr};
  for (int c = 0; c < 2; ++c) {
    uint8_t* dst = dsts[c];
    alignas(16) uint8_t left[24];
    for (int y = 0; y < 8; ++y) left[8 + y] = u.a ? dst[y * pitch - 1] : 128;
    left[7] = u.d ? dst[-pitch - 1] : left[8];
    reconstruct_chroma_component(mb, u, u.b ? dst - pitch : nullptr, left + 8, mb->chroma_coeff + 64 * c, nullptr,
                                 dst, pitch);
  }
}
