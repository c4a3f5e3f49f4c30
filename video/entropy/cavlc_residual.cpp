// CAVLC residual blocks of a macroblock: nC from the neighbours' counts, the
// block decoders of the image primitives, and dequantisation of the
// non-zero coefficients as they are stored.
#include "cavlc_residual.h"

#include <algorithm>
#include <cstring>

#include "cavlc_tables.h"
#include "neighbour_blocks.h"
#include "transforms.h"
#include "vpImage.h"

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

// Below this many bytes left, a block is decoded from a zero-padded copy of
// the rest of the payload: the block decoder reads ahead and a damaged block
// may run on for up to about 130 bytes.
constexpr uint32_t kTailBytes = 256;

// Count of a neighbour's block: 0 when it was skipped, 16 for I_PCM.
int neighbour_count(const MacroblockRecord* n, const int16_t* counts, int blk) {
  if (mb_is_skipped(n->mb_type)) return 0;
  if (n->mb_type == MbI_PCM) return 16;
  return counts[blk];
}

int combine_nc(bool haveA, int nA, bool haveB, int nB) {
  if (haveA && haveB) return (nA + nB + 1) >> 1;
  if (haveA) return nA;
  if (haveB) return nB;
  return 0;
}

// nC of luma 4x4 block 4 b8 + b4.
int luma_nc(const MacroblockRecord* mb, int blk, bool mbaff) {
  int ablk, bblk;
  const MacroblockRecord* a = neighbour_blocks::left_luma(mb, blk, mbaff, &ablk);
  const MacroblockRecord* b = neighbour_blocks::up_luma(mb, blk, &bblk);
  return combine_nc(a != nullptr, a ? neighbour_count(a, a->total_coeff_luma, ablk) : 0, b != nullptr,
                    b ? neighbour_count(b, b->total_coeff_luma, bblk) : 0);
}

// nC of chroma AC block b4 of component c.
int chroma_nc(const MacroblockRecord* mb, int c, int b4, bool mbaff) {
  int ablk, bblk;
  const MacroblockRecord* a = neighbour_blocks::left_chroma(mb, b4, mbaff, &ablk);
  const MacroblockRecord* b = neighbour_blocks::up_chroma(mb, b4, &bblk);
  return combine_nc(a != nullptr, a ? neighbour_count(a, a->total_coeff_chroma + 4 * c, ablk) : 0, b != nullptr,
                    b ? neighbour_count(b, b->total_coeff_chroma + 4 * c, bblk) : 0);
}

// Runs one block decoder call on the reader. Near the end of the payload it
// decodes from a padded copy so that no read leaves the buffer, and it
// refuses a block that consumed more bits than the payload holds. Returns
// the block's count, or -1 (reader marked damaged).
template <typename Decode>
int run_block(BitReaderCabac* r, Decode&& decode) {
  if (r->overrun != 0) return -1;
  const uint32_t avail = r->bytesLeft;
  alignas(16) uint8_t tail[kTailBytes + 16];
  const uint8_t* base = r->pWord;
  if (avail < kTailBytes) {
    std::memset(tail, 0, sizeof(tail));
    // Whole words: the payload is stored word by word in reading order, and
    // the word holding its last byte is readable in full.
    std::memcpy(tail, r->pWord, (avail + 3u) & ~3u);
    base = tail;
  }
  uint32_t* wp = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(base));
  int32_t offset = r->bitPos;
  int16_t count = 0;
  if (decode(&wp, &offset, &count) != StatusOk) {
    r->overrun = kReaderDamaged;
    return -1;
  }
  const uint32_t advanced = static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(wp) - base);
  const int64_t usedBits = int64_t{advanced} * 8 + r->bitPos - offset;
  const int64_t availBits = int64_t{avail} * 8 - (31 - r->bitPos);
  if (usedBits > availBits) {
    r->overrun = kReaderDamaged;
    return -1;
  }
  r->pWord += advanced;
  r->bytesLeft -= advanced;
  r->bitPos = offset;
  r->word = bs_load_word(r->pWord);
  return count;
}

// Decodes one 4x4 (maxNumCoeff 16) or AC (15) block into buf at the scan's
// storage positions.
int read_block(BitReaderCabac* r, int16_t* buf, int nC, int maxNum, const int32_t* scan) {
  return run_block(r, [&](uint32_t** wp, int32_t* off, int16_t* count) {
    int16_t* out = buf;
    return vpiDecodeCAVLCCoeffs_H264_1u16s(wp, off, count, &out, static_cast<uint32_t>(nC),
                                           static_cast<int16_t>(maxNum), CoeffTokenTable, TotalZerosTable,
                                           RunBeforeTable, scan);
  });
}

inline int16_t w16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// Dequantisation of one coefficient: the 4x4 rule (entries of 16, shift base
// 4) or the 8x8 rule (entries of 64, shift base 6). Shift and rounding are
// fixed once per macroblock and component.
template <int kEntries, int kBase>
struct Scale {
  const int32_t* ls;
  int shift;  // left shift when >= 0, else right shift by -shift with rounding
  int32_t round;
  Scale(const int32_t (*table)[kEntries], int qP) : ls(table[qP % 6]) {
    shift = qP / 6 - kBase;
    round = shift < 0 ? 1 << (-shift - 1) : 0;
  }
  int16_t operator()(int32_t c, int i) const {
    const int64_t v = int64_t{c} * ls[i];
    return shift >= 0 ? w16(v * (int64_t{1} << shift)) : w16((v + round) >> -shift);
  }
};
using Scale4x4 = Scale<16, 4>;
using Scale8x8 = Scale<64, 6>;

const int32_t* scan_of(const MacroblockRecord* mb) {
  return mb->mb_structure == 2 ? FRAME_SCAN_CAVLC : FIELD_SCAN_CAVLC;
}

// Table index of the luma 4x4 LevelScale: intra Y 0, inter Y 3.
int luma_table(const MacroblockRecord* mb) { return mb_is_intra(mb->mb_type) ? 0 : 3; }

void finish_chroma(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  if (mb->cbp_chroma == 0) {
    std::memset(mb->total_coeff_chroma, 0, sizeof(mb->total_coeff_chroma));
    return;
  }
  cavlc_residual_Chroma(r, mb, q);
}

// Reads the four blocks of a coded quadrant (maxNumCoeff 16, or 15 for
// Intra16x16 AC), storing counts and dequantised coefficients from scan
// position first on (0 or 1).
void read_quadrant(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q, int b8, int maxNum,
                   const Scale4x4& scale) {
  const int32_t* scan = scan_of(mb);
  for (int b4 = 0; b4 < 4; ++b4) {
    const int blk = 4 * b8 + b4;
    alignas(16) int16_t buf[16] = {};
    const int count = read_block(r, buf, luma_nc(mb, blk, q.mbaff != 0), maxNum, scan);
    if (count < 0) return;
    mb->total_coeff_luma[blk] = static_cast<int16_t>(count);
    if (count == 0) continue;
    mb->luma_nonzero_mask = static_cast<uint16_t>(mb->luma_nonzero_mask | (1u << blk));
    int16_t* dst = mb->luma_coeff + 16 * blk;
    for (int i = (maxNum == 15 ? 1 : 0); i < 16; ++i)
      if (buf[i] != 0) dst[i] = scale(buf[i], i);
  }
}

void clear_quadrant(MacroblockRecord* mb, int b8, bool keepDc) {
  for (int b4 = 0; b4 < 4; ++b4) {
    const int blk = 4 * b8 + b4;
    mb->total_coeff_luma[blk] = 0;
    int16_t* dst = mb->luma_coeff + 16 * blk;
    std::memset(dst + (keepDc ? 1 : 0), 0, (keepDc ? 15 : 16) * sizeof(int16_t));
  }
}

// The luma 4x4 or Intra16x16 AC blocks of every quadrant, then chroma. An
// uncoded quadrant gets counts of 0 and cleared coefficients (the DC kept
// for Intra16x16).
void read_luma_blocks(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q, int maxNum,
                      const Scale4x4& scale) {
  mb->luma_nonzero_mask = 0;
  for (int b8 = 0; b8 < 4; ++b8) {
    if (mb->cbp_luma & (1u << b8))
      read_quadrant(r, mb, q, b8, maxNum, scale);
    else
      clear_quadrant(mb, b8, maxNum == 15);
  }
  finish_chroma(r, mb, q);
}

}  // namespace

void cavlc_residual_4x4(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  read_luma_blocks(r, mb, q, 16, Scale4x4(q.ls4x4[luma_table(mb)], q.qpY));
}

void cavlc_residual_8x8(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  mb->luma_nonzero_mask = 0;
  const Scale8x8 scale(q.ls8x8[mb_is_intra(mb->mb_type) ? 0 : 1], q.qpY);
  const uint8_t* scan8 = mb->mb_structure == 2 ? FRAME_SCAN8x8 : FIELD_SCAN8x8;
  for (int b8 = 0; b8 < 4; ++b8) {
    if ((mb->cbp_luma & (1u << b8)) == 0) {
      clear_quadrant(mb, b8, false);
      continue;
    }
    mb->luma_nonzero_mask = static_cast<uint16_t>(mb->luma_nonzero_mask | (15u << (4 * b8)));
    int16_t* dst = mb->luma_coeff + 64 * b8;
    for (int b4 = 0; b4 < 4; ++b4) {
      const int blk = 4 * b8 + b4;
      alignas(16) int16_t buf[16] = {};
      const int count = read_block(r, buf, luma_nc(mb, blk, q.mbaff != 0), 16, SCAN_CAVLC);
      if (count < 0) return;
      mb->total_coeff_luma[blk] = static_cast<int16_t>(count);
      for (int k = 0; k < 16; ++k) {
        if (buf[k] == 0) continue;
        const int i = scan8[4 * k + b4];
        dst[i] = scale(buf[k], i);
      }
    }
  }
  finish_chroma(r, mb, q);
}

void cavlc_residual_16x16(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  // DC: nC of block 0, count not kept.
  alignas(16) int16_t dc[16] = {};
  const int count = read_block(r, dc, luma_nc(mb, 0, q.mbaff != 0), 16, scan_of(mb));
  if (count < 0) return;
  mb->luma_dc_nonzero = count != 0 ? 1 : 0;
  const int qP = q.qpY;
  if (count != 0) {
    const int16_t factor = static_cast<int16_t>(q.ls4x4[0][qP % 6][0]);
    if (qP < 36)
      InverseHadamardLumaDC(mb->luma_coeff, dc, factor, static_cast<uint8_t>(1u << (5 - qP / 6)),
                            static_cast<uint8_t>(6 - qP / 6), 0);
    else
      InverseHadamardLumaDC(mb->luma_coeff, dc, factor, 0, 0, static_cast<uint8_t>(qP / 6 - 6));
  } else {
    for (int blk = 0; blk < 16; ++blk) mb->luma_coeff[16 * blk] = 0;
  }
  read_luma_blocks(r, mb, q, 15, Scale4x4(q.ls4x4[0], qP));
}

namespace {

// The eight chroma AC blocks (Cb 0-3, then Cr 0-3) of a 4:2:0 macroblock,
// each dequantised into its block after the DC.
void cavlc_residual_chroma_ac_block_420(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  const int base = mb_is_intra(mb->mb_type) ? 1 : 4;  // Cb table; Cr follows
  const int qPs[2] = {q.qpCb, q.qpCr};
  const int32_t* scan = scan_of(mb);
  for (int c = 0; c < 2; ++c) {
    const Scale4x4 scale(q.ls4x4[base + c], qPs[c]);
    for (int b4 = 0; b4 < 4; ++b4) {
      alignas(16) int16_t buf[16] = {};
      const int count = read_block(r, buf, chroma_nc(mb, c, b4, q.mbaff != 0), 15, scan);
      if (count < 0) return;
      mb->total_coeff_chroma[4 * c + b4] = static_cast<int16_t>(count);
      if (count == 0) continue;
      mb->chroma_ac_cbf_mask |= 1u << (b4 + 16 * c);
      int16_t* dst = mb->chroma_coeff + 64 * c + 16 * b4;
      for (int i = 1; i < 16; ++i)
        if (buf[i] != 0) dst[i] = scale(buf[i], i);
    }
  }
}

}  // namespace

void cavlc_residual_Chroma(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q) {
  mb->chroma_nonzero_mask = 0;
  const int base = mb_is_intra(mb->mb_type) ? 1 : 4;  // Cb table; Cr follows
  const int qPs[2] = {q.qpCb, q.qpCr};
  if (mb->cbp_chroma & 3u) {
    for (int c = 0; c < 2; ++c) {
      alignas(16) int16_t v[4] = {};
      const int count = run_block(r, [&](uint32_t** wp, int32_t* off, int16_t* n) {
        int16_t* out = v;
        return vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s(wp, off, n, &out, CoeffTokenTable[3], TotalZerosCRTable,
                                                      RunBeforeTable);
      });
      if (count < 0) return;
      int16_t* dst = mb->chroma_coeff + 64 * c;
      if (count == 0) {
        for (int k = 0; k < 4; ++k) dst[16 * k] = 0;
        continue;
      }
      const int32_t f[4] = {w16(v[0] + v[1] + v[2] + v[3]), w16(v[0] - v[1] + v[2] - v[3]),
                            w16(v[0] + v[1] - v[2] - v[3]), w16(v[0] - v[1] - v[2] + v[3])};
      const int qP = qPs[c];
      const int64_t ls = q.ls4x4[base + c][qP % 6][0];
      for (int k = 0; k < 4; ++k) dst[16 * k] = w16(((f[k] * ls) * (int64_t{1} << (qP / 6))) >> 5);
    }
  }
  if ((mb->cbp_chroma & 2u) == 0) {
    std::memset(mb->total_coeff_chroma, 0, sizeof(mb->total_coeff_chroma));
    return;
  }
  cavlc_residual_chroma_ac_block_420(r, mb, q);
}
