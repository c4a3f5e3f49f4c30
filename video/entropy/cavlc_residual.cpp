// CAVLC residual blocks of a macroblock: nC from the neighbours' counts,
// each residual_block_cavlc() decoded by the block decoders of cavlc_block.h
// (vpiDecodeCAVLCCoeffs_H264_1u16s, vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s)
// with single-lookup tables straight from the reader's payload, and each
// coefficient dequantised as it is stored into the record through the scan.
#include "cavlc_residual.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "cavlc_block.h"
#include "cavlc_tables.h"
#include "neighbour_blocks.h"
#include "transforms.h"

const int32_t FRAME_SCAN_CAVLC[16] = {0, 4, 1, 2, 5, 8, 12, 9, 6, 3, 7, 10, 13, 14, 11, 15};
const int32_t FIELD_SCAN_CAVLC[16] = {0, 1, 4, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const int32_t SCAN_CAVLC[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t FRAME_SCAN8x8[64] = {
    0,  8,  1,  2,  9,  16, 24, 17, 10, 3,  4,  11, 18, 25, 32, 40, 33, 26, 19, 12, 5,  6,
    13, 20, 27, 34, 41, 48, 56, 49, 42, 35, 28, 21, 14, 7,  15, 22, 29, 36, 43, 50, 57, 58,
    51, 44, 37, 30, 23, 31, 38, 45, 52, 59, 60, 53, 46, 39, 47, 54, 61, 62, 55, 63,
};
const uint8_t FIELD_SCAN8x8[64] = {
    0,  1,  2,  8,  9,  3,  4,  10, 16, 11, 5,  6,  7,  12, 17, 24, 18, 13, 14, 15, 19, 25,
    32, 26, 20, 21, 22, 23, 27, 33, 40, 34, 28, 29, 30, 31, 35, 41, 48, 42, 36, 37, 38, 39,
    43, 49, 50, 44, 45, 46, 47, 51, 56, 57, 52, 53, 54, 55, 58, 59, 60, 61, 62, 63,
};

namespace {

using cavlc::BitCursor;
using cavlc::kFixedToken;
using cavlc::w16;
using cavlc::Window;

// The table class from the counts of blocks A and B, each 0..16 or kNoBlock
// when unavailable, whose nC is the mean of two, the one available, or 0.
constexpr int kNoBlock = 64;
struct TokenClassOfSum {
  uint8_t cls[2 * kNoBlock + 1];
  constexpr TokenClassOfSum() : cls() {
    for (int s = 0; s <= 2 * kNoBlock; ++s) {
      const int nC = s < kNoBlock ? (s + 1) >> 1 : (s - kNoBlock) & (kNoBlock - 1);
      cls[s] = static_cast<uint8_t>(nC < 2 ? 0 : nC < 4 ? 1 : nC < 8 ? 2 : kFixedToken);
    }
  }
};
constexpr TokenClassOfSum kTokenClassOfSum;

// Dequantisation of one coefficient: c x LevelScale scaled by 2^(qP / 6 -
// base) (4x4: base 4; 8x8: base 6), a negative exponent with rounding, kept
// in 16 bits. The row is multiplied once per macroblock and component by
// 2^(16 + exponent) (make_scale), so the result is bits 16..31 of
// c x row + 2^15: for a negative exponent these are the rounded right shift,
// for a positive one the low 16 bits of the left shift (whose product has 16
// low zero bits, so the 2^15 carries nothing). Bits 0..31 of a product and a
// sum depend only on bits 0..31 of the operands, so all of it is done in 32
// wrapping bits: a multiply, an add and a fixed shift per coefficient.
struct Scale {
  const uint32_t* ls;  // the LevelScale row of qP % 6, times 2^(16 + exponent)
  int16_t operator()(int32_t c, int i) const {
    return static_cast<int16_t>(static_cast<uint16_t>((static_cast<uint32_t>(c) * ls[i] + 0x8000u) >> 16));
  }
};

// The Scale of qP for LevelScale row `row` of n entries, multiplied into
// `scaled` (which never overlaps the row: a few vector shifts).
inline Scale make_scale(const int32_t* __restrict row, int qP, int base, uint32_t* __restrict scaled, int n) {
  const int shift = 16 + qP / 6 - base;  // 10..20 for QPs up to 51
  for (int i = 0; i < n; ++i) scaled[i] = static_cast<uint32_t>(row[i]) << shift;
  return Scale{scaled};
}

constexpr cavlc::FlatTables kFlat;

// One block through the block decoder, the cursor moved past it; place(p,
// level) receives each coefficient at scan position p. TotalCoeff, or a
// negative status.
template <typename Place>
__attribute__((always_inline)) inline int decode_block(BitCursor* c, int cls, int maxNum, const Place& place) {
  Window w(*c);
  const int count = cavlc::vpiDecodeCAVLCCoeffs_H264_1u16s(w, cls, maxNum, kFlat, cavlc::place_only(place));
  c->pos = w.pos();
  return count;
}

// The same for a 2x2 chroma DC block.
template <typename Place>
__attribute__((always_inline)) inline int decode_chroma_dc_block(BitCursor* c, const Place& place) {
  Window w(*c);
  const int count = cavlc::vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s(w, kFlat, cavlc::place_only(place));
  c->pos = w.pos();
  return count;
}

// ---------------------------------------------------------------------------
// One macroblock's residual: the cursor, and the counts of the blocks around
// and inside the macroblock for nC.

struct Residual {
  BitCursor c;
  MacroblockRecord* mb;
  const ResidualQuant* q;
  bool failed;
  // Luma counts in raster order with a border: entry 5 (y + 1) + x + 1 for
  // block (x, y); row 0 holds the upper neighbours, column 0 the left ones.
  int16_t luma[25];
  // The same for each chroma component, 3 x 3.
  int16_t chromaCounts[2][9];
  // LevelScale rows multiplied for the Scale: luma, Cb, Cr.
  alignas(16) uint32_t scaled[64];
  alignas(16) uint32_t scaledChroma[2][16];

  // A reader already past its payload (or with nothing left) reads zeros,
  // on which every block fails as the first one is decoded.
  Residual(BitReaderCabac* r, MacroblockRecord* m, const ResidualQuant& quant) : mb(m), q(&quant), failed(false) {
    static constexpr uint8_t kNoData[8] = {};
    const bool empty = r->overrun != 0 || r->bytesLeft == 0;
    c.base = empty ? kNoData : r->pWord;
    c.pos = static_cast<uint32_t>(31 - r->bitPos);
    c.lastWord = empty ? 0 : (r->bytesLeft + 3) / 4 - 1;
  }

  // Hands the cursor back to the reader; marks the reader damaged when a
  // block failed or the residual ran past the payload.
  void finish(BitReaderCabac* r) {
    const uint32_t start = static_cast<uint32_t>(31 - r->bitPos);
    if (!failed && c.pos == start) return;  // nothing read
    if (failed || c.pos > uint64_t{r->bytesLeft} * 8) {
      if (r->overrun == 0) r->overrun = kReaderDamaged;
      return;
    }
    const uint32_t advanced = 4 * (c.pos >> 5);
    r->pWord += advanced;
    r->bytesLeft -= advanced;
    r->bitPos = 31 - static_cast<int32_t>(c.pos & 31);
    r->word = bs_load_word(r->pWord);
  }

  static int count_of(const MacroblockRecord* n, const int16_t* counts, int blk) {
    if (n == nullptr) return kNoBlock;
    if (mb_is_skipped(n->mb_type)) return 0;
    if (n->mb_type == MbI_PCM) return 16;
    return counts[blk];
  }

  // Counts of blocks blk[0..n-1] of neighbour nb (a whole edge from one
  // macroblock) into out[0], out[step], ...
  static void edge_counts(const MacroblockRecord* nb, const int16_t* counts, const uint8_t* blk, int n,
                          int16_t* out, int step) {
    const int all = nb == nullptr ? kNoBlock : mb_is_skipped(nb->mb_type) ? 0 : nb->mb_type == MbI_PCM ? 16 : -1;
    for (int i = 0; i < n; ++i) out[step * i] = static_cast<int16_t>(all >= 0 ? all : counts[blk[i]]);
  }

  void luma_borders() {
    static constexpr uint8_t kUpBlocks[4] = {10, 11, 14, 15}, kLeftBlocks[4] = {5, 7, 13, 15};
    const MacroblockRecord* b = mb->neighbour_b;
    edge_counts(b, b ? b->total_coeff_luma : nullptr, kUpBlocks, 4, luma + 1, 1);
    const MacroblockRecord* a = mb->neighbour_a;
    if (q->mbaff == 0 || a == nullptr || (a->mb_structure == kFrame) == (mb->mb_structure == kFrame)) {
      edge_counts(a, a ? a->total_coeff_luma : nullptr, kLeftBlocks, 4, luma + 5, 5);
      return;
    }
    // MBAFF, a left pair coded the other way: each row finds its own block.
    static constexpr uint8_t kLeftColumn[4] = {0, 2, 8, 10};
    for (int i = 0; i < 4; ++i) {
      int nblk;
      const MacroblockRecord* n = neighbour_blocks::left_luma(mb, kLeftColumn[i], true, &nblk);
      luma[5 * (i + 1)] = static_cast<int16_t>(count_of(n, n ? n->total_coeff_luma : nullptr, nblk));
    }
  }

  void chroma_borders() {
    static constexpr uint8_t kUpBlocks[2] = {2, 3}, kLeftBlocks[2] = {1, 3};
    const MacroblockRecord* b = mb->neighbour_b;
    const MacroblockRecord* a = mb->neighbour_a;
    const bool sameLeft = q->mbaff == 0 || a == nullptr || (a->mb_structure == kFrame) == (mb->mb_structure == kFrame);
    for (int comp = 0; comp < 2; ++comp) {
      edge_counts(b, b ? b->total_coeff_chroma + 4 * comp : nullptr, kUpBlocks, 2, chromaCounts[comp] + 1, 1);
      if (sameLeft)
        edge_counts(a, a ? a->total_coeff_chroma + 4 * comp : nullptr, kLeftBlocks, 2, chromaCounts[comp] + 3, 3);
    }
    if (sameLeft) return;
    // MBAFF, a left pair coded the other way: each row finds its own block.
    for (int i = 0; i < 2; ++i) {
      int nblk;
      const MacroblockRecord* n = neighbour_blocks::left_chroma(mb, 2 * i, true, &nblk);
      for (int comp = 0; comp < 2; ++comp)
        chromaCounts[comp][3 * (i + 1)] =
            static_cast<int16_t>(count_of(n, n ? n->total_coeff_chroma + 4 * comp : nullptr, nblk));
    }
  }

  // Raster cell of luma block 4 b8 + b4 in the bordered count grid.
  static int luma_cell(int blk) {
    static constexpr uint8_t kCell[16] = {6, 7, 11, 12, 8, 9, 13, 14, 16, 17, 21, 22, 18, 19, 23, 24};
    return kCell[blk];
  }
  // coeff_token table class of the luma block at `cell`.
  int luma_class(int cell) const { return kTokenClassOfSum.cls[luma[cell - 1] + luma[cell - 5]]; }

  // Decodes luma block blk, keeping its count; -1 after a failure.
  template <typename Place>
  __attribute__((always_inline)) int luma_block(int blk, int maxNum, Place place) {
    const int cell = luma_cell(blk);
    const int count = decode_block(&c, luma_class(cell), maxNum, place);
    if (count < 0) {
      failed = true;
      return -1;
    }
    luma[cell] = static_cast<int16_t>(count);
    mb->total_coeff_luma[blk] = static_cast<int16_t>(count);
    return count;
  }

  const int32_t* scan() const { return mb->mb_structure == kFrame ? FRAME_SCAN_CAVLC : FIELD_SCAN_CAVLC; }

  // Stores a 4x4 block's coefficient dequantised through the scan.
  struct Place4x4 {
    int16_t* dst;
    const int32_t* scan;
    Scale scale;
    void operator()(ptrdiff_t p, int16_t level) const {
      const int i = scan[p];
      dst[i] = scale(level, i);
    }
  };

  // The luma 4x4 or Intra16x16 AC blocks of every coded quadrant
  // (maxNumCoeff 16 or 15), stored dequantised.
  void luma_4x4(int maxNum, const Scale scale) {
    uint32_t nonzero = 0;
    const int32_t* scan = this->scan() + (16 - maxNum);
    clear_counts();
    for (uint32_t coded = mb->cbp_luma & 15u; coded != 0; coded &= coded - 1) {
      const int b8 = __builtin_ctz(coded);
      int16_t* dst = mb->luma_coeff + 64 * b8;
      for (int b4 = 0; b4 < 4; ++b4) {
        const int blk = 4 * b8 + b4;
        const int count = luma_block(blk, maxNum, Place4x4{dst + 16 * b4, scan, scale});
        if (count < 0) break;
        nonzero |= (count != 0 ? 1u : 0u) << blk;
      }
      if (failed) break;
    }
    mb->luma_nonzero_mask = static_cast<uint16_t>(nonzero);
  }

  // The four interleaved 4x4 reads of each coded 8x8 quadrant.
  void luma_8x8() {
    mb->luma_nonzero_mask = 0;
    struct Place8x8 {
      int16_t* dst;
      const uint8_t* scan;  // the 8x8 scan from this 4x4 read's first position
      Scale scale;
      void operator()(ptrdiff_t p, int16_t level) const {
        const int i = scan[4 * p];
        dst[i] = scale(level, i);
      }
    };
    const Scale scale = make_scale(q->ls8x8[mb_is_intra(mb->mb_type) ? 0 : 1][q->qpY % 6], q->qpY, 6, scaled, 64);
    const uint8_t* scan8 = mb->mb_structure == kFrame ? FRAME_SCAN8x8 : FIELD_SCAN8x8;
    clear_counts();
    for (uint32_t coded = mb->cbp_luma & 15u; coded != 0; coded &= coded - 1) {
      const int b8 = __builtin_ctz(coded);
      mb->luma_nonzero_mask = static_cast<uint16_t>(mb->luma_nonzero_mask | (15u << (4 * b8)));
      int16_t* dst = mb->luma_coeff + 64 * b8;
      for (int b4 = 0; b4 < 4; ++b4)
        if (luma_block(4 * b8 + b4, 16, Place8x8{dst, scan8 + b4, scale}) < 0) return;
    }
  }

  // Counts of 0 for every luma block, before the coded quadrants are read
  // (the coefficients of the others are zero already, as the blocks enter
  // zero, or hold the Intra16x16 DC).
  void clear_counts() {
    std::memset(mb->total_coeff_luma, 0, sizeof(mb->total_coeff_luma));
    for (int row = 1; row <= 4; ++row) std::memset(luma + 5 * row + 1, 0, 4 * sizeof(luma[0]));
  }

  // Chroma DC of Cb and Cr, then the AC blocks when cbp_chroma bit 1 is
  // set (else the AC counts are cleared).
  void cavlc_residual_Chroma() {
    mb->chroma_nonzero_mask = 0;
    const int base = mb_is_intra(mb->mb_type) ? 1 : 4;  // Cb table; Cr follows
    const int qPs[2] = {q->qpCb, q->qpCr};
    if (mb->cbp_chroma & 3u) {
      for (int comp = 0; comp < 2; ++comp) {
        int16_t v[4] = {};
        const int count = decode_chroma_dc_block(&c, [&](ptrdiff_t p, int16_t level) { v[p] = level; });
        if (count < 0) {
          failed = true;
          return;
        }
        int16_t* dst = mb->chroma_coeff + 64 * comp;
        if (count == 0) continue;
        const int32_t f[4] = {w16(v[0] + v[1] + v[2] + v[3]), w16(v[0] - v[1] + v[2] - v[3]),
                              w16(v[0] + v[1] - v[2] - v[3]), w16(v[0] - v[1] - v[2] + v[3])};
        // (f x LevelScale x 2^(qP / 6)) >> 5 in 16 bits: bits 16..31 of the
        // product with 2^(qP / 6 + 11), formed in 32 wrapping bits.
        const int qP = qPs[comp];
        const uint32_t ls = static_cast<uint32_t>(q->ls4x4[base + comp][qP % 6][0]) << (qP / 6 + 11);
        for (int k = 0; k < 4; ++k)
          dst[16 * k] = static_cast<int16_t>(static_cast<uint16_t>((static_cast<uint32_t>(f[k]) * ls) >> 16));
      }
    }
    if ((mb->cbp_chroma & 2u) == 0) {
      std::memset(mb->total_coeff_chroma, 0, sizeof(mb->total_coeff_chroma));
      return;
    }
    cavlc_residual_chroma_ac_block_420();
  }

  // The eight chroma AC blocks (Cb 0-3, then Cr 0-3) of a 4:2:0 macroblock,
  // each dequantised into its block after the DC.
  void cavlc_residual_chroma_ac_block_420() {
    const int base = mb_is_intra(mb->mb_type) ? 1 : 4;  // Cb table; Cr follows
    const int qPs[2] = {q->qpCb, q->qpCr};
    chroma_borders();
    const int32_t* scan = this->scan() + 1;
    uint32_t coded = 0;
    for (int comp = 0; comp < 2; ++comp) {
      const Scale scale = make_scale(q->ls4x4[base + comp][qPs[comp] % 6], qPs[comp], 4, scaledChroma[comp], 16);
      int16_t* counts = chromaCounts[comp];
      for (int b4 = 0; b4 < 4; ++b4) {
        const int cell = 3 * ((b4 >> 1) + 1) + (b4 & 1) + 1;
        int16_t* dst = mb->chroma_coeff + 64 * comp + 16 * b4;
        const int count =
            decode_block(&c, kTokenClassOfSum.cls[counts[cell - 1] + counts[cell - 3]], 15, Place4x4{dst, scan, scale});
        if (count < 0) {
          failed = true;
          return;
        }
        counts[cell] = static_cast<int16_t>(count);
        mb->total_coeff_chroma[4 * comp + b4] = static_cast<int16_t>(count);
        coded |= (count != 0 ? 1u : 0u) << (b4 + 16 * comp);
      }
    }
    mb->chroma_ac_cbf_mask |= coded;
  }

  void chroma() {
    if (failed) return;
    if (mb->cbp_chroma == 0) {
      std::memset(mb->total_coeff_chroma, 0, sizeof(mb->total_coeff_chroma));
      return;
    }
    cavlc_residual_Chroma();
  }
};

// Table index of the luma 4x4 LevelScale: intra Y 0, inter Y 3.
int luma_table(const MacroblockRecord* mb) { return mb_is_intra(mb->mb_type) ? 0 : 3; }

}  // namespace

void cavlc_residual_4x4(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  Residual res(r, mb, q);
  res.luma_borders();
  res.luma_4x4(16, make_scale(q.ls4x4[luma_table(mb)][q.qpY % 6], q.qpY, 4, res.scaled, 16));
  res.chroma();
  res.finish(r);
}

void cavlc_residual_8x8(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  Residual res(r, mb, q);
  res.luma_borders();
  res.luma_8x8();
  res.chroma();
  res.finish(r);
}

void cavlc_residual_16x16(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  Residual res(r, mb, q);
  {
    res.luma_borders();
    // DC: nC of block 0, count not kept.
    alignas(16) int16_t dc[16] = {};
    const int32_t* scan = res.scan();
    const int count = decode_block(&res.c, res.luma_class(Residual::luma_cell(0)), 16,
                                   [&](int p, int16_t level) { dc[scan[p]] = level; });
    if (count < 0) {
      res.failed = true;
    } else {
      mb->luma_dc_nonzero = count != 0 ? 1 : 0;
      const int qP = q.qpY;
      if (count != 0) {
        const int16_t factor = static_cast<int16_t>(q.ls4x4[0][qP % 6][0]);
        if (qP < 36)
          InverseHadamardLumaDC(mb->luma_coeff, dc, factor, static_cast<uint8_t>(1u << (5 - qP / 6)),
                                static_cast<uint8_t>(6 - qP / 6), 0);
        else
          InverseHadamardLumaDC(mb->luma_coeff, dc, factor, 0, 0, static_cast<uint8_t>(qP / 6 - 6));
      }
      res.luma_4x4(15, make_scale(q.ls4x4[0][qP % 6], qP, 4, res.scaled, 16));
      res.chroma();
    }
  }
  res.finish(r);
}

