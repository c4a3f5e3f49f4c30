// CABAC residual blocks of every 4:2:0 category with dequantisation in place.
#include "cabac_residual.h"

#include "cabac_syntax.h"
#include "transforms.h"

const uint8_t FRAME_SCAN4x4[16] = {0, 4, 1, 2, 5, 8, 12, 9, 6, 3, 7, 10, 13, 14, 11, 15};
const uint8_t FIELD_SCAN4x4[16] = {0, 1, 4, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

const uint8_t MapScanPos_SigCoeff_i8x8_frame[64] = {
    0,  1,  2,  3,  4,  5,  5,  4,  4,  3,  3,  4,  4,  4,  5,  5,  4,  4,  4,  4,  3,  3,
    6,  7,  7,  7,  8,  9,  10, 9,  8,  7,  7,  6,  11, 12, 13, 11, 6,  7,  8,  9,  14, 10,
    9,  8,  6,  11, 12, 13, 11, 6,  9,  14, 10, 9,  11, 12, 13, 11, 14, 10, 12, 0,
};
const uint8_t MapScanPos_SigCoeff_i8x8_field[64] = {
    0,  1,  1,  2,  2,  3,  3,  4,  5,  6,  7,  7,  7,  8,  4,  5,  6,  9,  10, 10, 8,  11,
    12, 11, 9,  9,  10, 10, 8,  11, 12, 11, 9,  9,  10, 10, 8,  11, 12, 11, 9,  9,  10, 10,
    8,  13, 13, 9,  9,  10, 10, 8,  13, 13, 9,  9,  10, 10, 14, 14, 14, 14, 14, 0,
};
const uint8_t MapScanPos_LastCoeff_i8x8[64] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7, 8, 8, 8, 8,
};

namespace {

// (significant, last, level) context offsets of categories 0..4 and the
// coded_block_flag offsets.
const uint8_t ctxIdxBlockCatOffsetTable[5][3] = {{0, 0, 0}, {15, 15, 10}, {29, 29, 20}, {44, 44, 30}, {47, 47, 39}};
constexpr uint32_t kCbfCat[5] = {0, 4, 8, 12, 16};
// Scanning positions of a block by category: luma DC, Intra16x16 AC, luma
// 4x4, chroma DC (4:2:0), chroma AC, luma 8x8.
constexpr uint8_t maxNumCoeffTable[6] = {16, 15, 16, 4, 15, 64};


inline bool is_i16x16(uint8_t t) { return t >= 65 && t <= 94; }

// Dequantisation of one level: ((c x scale + rounding) >> right) << left,
// truncated to 16 bits.
struct Dequant {
  int32_t rounding;
  uint32_t right;
  uint32_t left;

  // 4x4 kinds switch at qP 24, the 8x8 kind and the Intra16x16 DC at 36.
  static Dequant of(int32_t qp, int32_t bits) {
    const int32_t per = qp / 6;
    if (per < bits) return {1 << (bits - 1 - per), static_cast<uint32_t>(bits - per), 0};
    return {0, 0, static_cast<uint32_t>(per - bits)};
  }
  int16_t apply(int32_t c, int32_t scale) const {
    const int32_t v = (c * scale + rounding) >> right;
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v) << left));
  }
};

// Context sets of one block kind.
struct BlockCtx {
  CabacContext* sig;
  CabacContext* last;
  CabacContext* level;
  const uint8_t* sigInc;   // by scanning position (8x8 blocks only)
  const uint8_t* lastInc;  // by scanning position (8x8 blocks only)
};

// Significance map and levels of one coded block with `kNumCoeff` scanning
// positions on the engine `e`. Writes the significant positions in
// increasing order to pos[], hands each signed level with its position to
// put(position, level) as soon as it is decoded (no second pass over the
// levels, no loop that ends on the count) and returns their count (at
// least 1). The significance and last context
// increments are the position itself for 4, 15 and 16 positions (chroma DC
// reads positions 0..2 only) and the tables of `c` for 64.
template <int kNumCoeff, typename Put>
__attribute__((always_inline)) inline int decode_block(CabacLocal& e, const BlockCtx& c, uint8_t* pos, Put&& put) {
  uint8_t* out = pos;
  int i = 0;
  if constexpr (kNumCoeff == 64) {
    for (; i < kNumCoeff - 1; ++i) {
      if (cabac_DecodeDecision(e, c.sig + c.sigInc[i])) {
        *out++ = static_cast<uint8_t>(i);
        if (cabac_DecodeDecision(e, c.last + c.lastInc[i])) goto levels;
      }
    }
  } else {
    // The rows of both flags that may follow a significance flag are read
    // before its branch, so that a mispredicted branch does not add their
    // loads to the chain. (The read for the position after the last one
    // touches the next context of the array; it is never decided.)
    CabacContext* sig = c.sig;
    CabacContext* last = c.last;
    uint64_t sigRow = CabacLocal::row_of(CabacLocal::load_key(sig));
    for (; i < kNumCoeff - 1; ++i, ++sig, ++last) {
      const uint64_t lastRow = CabacLocal::row_of(CabacLocal::load_key(last));
      const uint64_t nextRow = CabacLocal::row_of(CabacLocal::load_key(sig + 1));
      if (e.decision_row(sig, sigRow)) {
        *out++ = static_cast<uint8_t>(i);
        if (e.decision_row(last, lastRow)) goto levels;
      }
      sigRow = nextRow;
    }
  }
  *out++ = static_cast<uint8_t>(kNumCoeff - 1);
levels:
  // The level contexts follow the counts of levels decoded so far equal to
  // 1 and greater than 1. Until a level greater than 1 appears the first
  // prefix bin takes increment 1 + min(ones, 3) and the others 5; after it,
  // the first bin takes 0 and the others 5 + min(greater, 4). Levels go
  // from the last position down.
  const int n = static_cast<int>(out - pos);
  int k = n - 1;
  // The first-bin context of the current count of ones, held in a register
  // while the count stays (from 3 ones on, and for every level after the
  // first above 1, one context decides bin after bin).
  CabacContext* first = c.level + 1;
  uint32_t key = CabacLocal::load_key(first);
  for (; k >= 0; --k) {
    if (!e.decision_held(key)) {
      put(pos[k], e.bypass_sign(1));
      if (first < c.level + 4) {
        CabacLocal::store_key(first, key);
        ++first;
        key = CabacLocal::load_key(first);
      }
      continue;
    }
    CabacLocal::store_key(first, key);
    put(pos[k], e.bypass_sign(static_cast<int32_t>(cabac_coeff_abs_level_above_1(e, c.level + 5))));
    --k;
    first = c.level;
    key = CabacLocal::load_key(first);
    break;
  }
  for (CabacContext* rest = c.level + 6; k >= 0; --k) {
    const uint32_t abs = cabac_coeff_abs_level_minus1(e, key, rest);
    put(pos[k], e.bypass_sign(static_cast<int32_t>(abs)));
    rest += (abs > 1 && rest < c.level + 9) ? 1 : 0;
  }
  CabacLocal::store_key(first, key);
  return n;
}

// Dequantises each level as it is decoded into its place: the level at
// scanning position p goes to coef[scan[p]].
struct DequantPut {
  int16_t* coef;
  const uint8_t* scan;
  const int32_t* scale;
  Dequant dq;
  __attribute__((always_inline)) void operator()(uint32_t p, int32_t v) const {
    const uint32_t s = scan[p];
    coef[s] = dq.apply(v, scale[s]);
  }
};

bool field_mb(const MacroblockRecord* mb) { return mb->mb_structure != kFrame; }

// Context sets of a 4x4 block category (1, 2 or 4) in frame or field
// macroblocks.
BlockCtx ctx_4x4(CabacContext* ctx, bool field, uint32_t cat) {
  const uint8_t* off = ctxIdxBlockCatOffsetTable[cat];
  return {ctx + (field ? kCtxSigField : kCtxSigFrame) + off[0], ctx + (field ? kCtxLastField : kCtxLastFrame) + off[1],
          ctx + kCtxLevel + off[2], nullptr, nullptr};
}

// coded_block_flag condition of an outside neighbour for luma block bits.
inline uint32_t luma_cbf_outside(const MacroblockRecord* n, uint32_t blk, bool curIntra) {
  if (!n) return curIntra ? 1 : 0;
  if (n->mb_type == MbI_PCM) return 1;
  if (mb_is_skipped(n->mb_type) || !((n->cbp_luma >> (blk >> 2)) & 1)) return 0;
  return (n->luma_nonzero_mask >> blk) & 1;
}

// coded_block_flag with context `cbf` and, when it is 1, one block of
// kNumCoeff scanning positions on the engine `e`, dequantised by `put`.
template <int kNumCoeff>
__attribute__((always_inline)) inline bool decode_coded_block(CabacLocal& e, const BlockCtx& c, CabacContext* cbf,
                                                             const DequantPut& put) {
  if (!cabac_DecodeDecision(e, cbf)) return false;
  uint8_t pos[16];
  decode_block<kNumCoeff>(e, c, pos, put);
  return true;
}

// Where the coded_block_flag condition of each luma block's left and upper
// neighbour sits in the word that the luma loop keeps: bits 0..15 the
// blocks of this macroblock coded so far, bits 16..19 the outside left
// neighbours of blocks 0, 2, 8, 10 and bits 20..23 the outside upper
// neighbours of blocks 0, 1, 4, 5.
constexpr uint8_t kLeftCondBit[16] = {16, 0, 17, 2, 1, 4, 3, 6, 18, 8, 19, 10, 9, 12, 11, 14};
constexpr uint8_t kUpCondBit[16] = {20, 21, 0, 1, 22, 23, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13};

// Outside conditions of the quadrants that cbp names, in the bits above.
uint32_t luma_outside_conds(const MacroblockRecord* mb, uint8_t cbp, bool intra, uint8_t mbaff) {
  uint32_t w = 0;
  auto left = [&](uint32_t blk, uint32_t bit) {
    const LeftBlock4x4 l = left_edge_block(mb, blk, mbaff);
    w |= luma_cbf_outside(l.rec, l.blk, intra) << bit;
  };
  auto up = [&](uint32_t blk, uint32_t bit) {
    w |= luma_cbf_outside(mb->neighbour_b, UpNeighbourIdxTable[blk], intra) << bit;
  };
  if (cbp & 1) {
    left(0, 16);
    left(2, 17);
    up(0, 20);
    up(1, 21);
  }
  if (cbp & 2) {
    up(4, 22);
    up(5, 23);
  }
  if (cbp & 4) {
    left(8, 18);
    left(10, 19);
  }
  return w;
}

// The 4x4 luma blocks of the quadrants that cbp_luma names, category 1
// (Intra16x16 AC, 15 positions) or 2 (16), all on one load of the engine.
template <int kNumCoeff>
__attribute__((noinline)) void luma_blocks(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, uint32_t cat,
                                           bool intra, const ResidualQuant& q) {
  const bool field = field_mb(mb);
  const uint8_t cbp = mb->cbp_luma;
  const BlockCtx c = ctx_4x4(ctx, field, cat);
  CabacContext* cbf = ctx + kCtxCodedBlockFlag + kCbfCat[cat];
  const uint8_t* scan = (field ? FIELD_SCAN4x4 : FRAME_SCAN4x4) + (16 - kNumCoeff);
  const int32_t* scale = q.ls4x4[intra ? 0 : 3][q.qpY % 6];
  const Dequant dq = Dequant::of(q.qpY, 4);
  uint32_t conds = mb->luma_nonzero_mask | luma_outside_conds(mb, cbp, intra, q.mbaff);
  {
    CabacScope e(&tb->reader);
    for (uint32_t blk = 0; blk < 16; ++blk) {
      if (!((cbp >> (blk >> 2)) & 1)) {
        blk += 3;
        continue;
      }
      const uint32_t condA = (conds >> kLeftCondBit[blk]) & 1, condB = (conds >> kUpCondBit[blk]) & 1;
      if (decode_coded_block<kNumCoeff>(e, c, cbf + condA + 2 * condB,
                                        DequantPut{mb->luma_coeff + 16 * blk, scan, scale, dq}))
        conds |= 1u << blk;
    }
  }
  mb->luma_nonzero_mask = static_cast<uint16_t>(conds);
}

// The 4x4 luma blocks of the quadrants that cbp_luma names.
void decode_luma_4x4_blocks(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, uint32_t cat,
                            const ResidualQuant& q) {
  if (mb->cbp_luma == 0) return;
  const bool intra = mb_is_intra(mb->mb_type);
  if (maxNumCoeffTable[cat] == 15) {
    luma_blocks<15>(tb, mb, ctx, cat, intra, q);
  } else {
    luma_blocks<16>(tb, mb, ctx, cat, intra, q);
  }
}

// Chroma DC conditions of neighbour n: bit 0 Cb, bit 1 Cr.
inline uint32_t chroma_dc_conds(const MacroblockRecord* n, bool curIntra) {
  if (!n) return curIntra ? 3u : 0u;
  if (n->mb_type == MbI_PCM) return 3;
  if (mb_is_skipped(n->mb_type) || n->cbp_chroma == 0) return 0;
  return n->chroma_nonzero_mask & 3u;
}

// Chroma AC conditions of outside neighbour n, block b: bit 0 Cb, bit 1 Cr.
inline uint32_t chroma_ac_conds(const MacroblockRecord* n, uint32_t b, bool curIntra) {
  if (!n) return curIntra ? 3u : 0u;
  if (n->mb_type == MbI_PCM) return 3;
  if (mb_is_skipped(n->mb_type) || n->cbp_chroma != 3) return 0;
  const uint32_t m = n->chroma_ac_cbf_mask >> b;
  return (m & 1u) | ((m >> 15) & 2u);
}

// coded_block_flag of component comp's chroma DC block, from the
// neighbours' conditions (bit 0 Cb, bit 1 Cr) of chroma_dc_conds.
__attribute__((always_inline)) inline uint32_t cabac_coded_block_flag_ChromaDC_420(CabacLocal& e, CabacContext* cbf,
                                                                                   uint32_t condA, uint32_t condB,
                                                                                   uint32_t comp) {
  return cabac_DecodeDecision(e, cbf + ((condA >> comp) & 1u) + 2 * ((condB >> comp) & 1u));
}

// Left neighbour of chroma block 0 or 2 (MBAFF rows as for luma).
LeftBlock4x4 chroma_left(const MacroblockRecord* mb, uint32_t b, uint8_t mbaff) {
  const LeftBlock4x4 l = left_edge_block(mb, b == 0 ? 0u : 8u, mbaff);
  // Luma blocks 5/7/13/15 of the left edge map to chroma blocks 1/1/3/3.
  return {l.rec, l.blk >= 13 ? 3u : 1u};
}

// Where the coded_block_flag condition of each chroma AC block's left and
// upper neighbour sits in the word kept for one component: bits 0..3 the
// blocks coded so far, bits 4, 5 the outside left neighbours of blocks 0, 2
// and bits 6, 7 the outside upper neighbours of blocks 0, 1.
constexpr uint8_t kChromaLeftCondBit[4] = {4, 0, 5, 2};
constexpr uint8_t kChromaUpCondBit[4] = {6, 7, 0, 1};

// The chroma AC blocks of both components on the engine `e`. The outside
// conditions are read once for both components.
__attribute__((always_inline)) inline void cabac_residual_chroma_ac_block_420(CabacLocal& e, MacroblockRecord* mb,
                                                                              CabacContext* ctx, const ResidualQuant& q,
                                                                              bool intra, bool field) {
  const BlockCtx bc = ctx_4x4(ctx, field, 4);
  CabacContext* cbf = ctx + kCtxCodedBlockFlag + kCbfCat[4];
  const uint8_t* scan = (field ? FIELD_SCAN4x4 : FRAME_SCAN4x4) + 1;
  const LeftBlock4x4 l0 = chroma_left(mb, 0, q.mbaff), l2 = chroma_left(mb, 2, q.mbaff);
  const uint32_t a0 = chroma_ac_conds(l0.rec, l0.blk, intra), a2 = chroma_ac_conds(l2.rec, l2.blk, intra);
  const uint32_t b2 = chroma_ac_conds(mb->neighbour_b, 2, intra), b3 = chroma_ac_conds(mb->neighbour_b, 3, intra);
  for (uint32_t c = 0; c < 2; ++c) {
    const int32_t qp = c ? q.qpCr : q.qpCb;
    const int32_t* scale = q.ls4x4[(intra ? 1 : 4) + c][qp % 6];
    const Dequant dq = Dequant::of(qp, 4);
    uint32_t conds = (mb->chroma_ac_cbf_mask >> (16 * c)) & 0xFu;
    conds |= ((a0 >> c) & 1) << 4 | ((a2 >> c) & 1) << 5 | ((b2 >> c) & 1) << 6 | ((b3 >> c) & 1) << 7;
    for (uint32_t b = 0; b < 4; ++b) {
      const uint32_t condA = (conds >> kChromaLeftCondBit[b]) & 1, condB = (conds >> kChromaUpCondBit[b]) & 1;
      if (decode_coded_block<15>(e, bc, cbf + condA + 2 * condB,
                                 DequantPut{mb->chroma_coeff + 64 * c + 16 * b, scan, scale, dq}))
        conds |= 1u << b;
    }
    mb->chroma_ac_cbf_mask |= (conds & 0xFu) << (16 * c);
  }
}

void finish_chroma(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, const ResidualQuant& q) {
  if (mb->cbp_chroma != 0) cabac_residual_Chroma(tb, mb, ctx, q);
}

}  // namespace

void cabac_residual_4x4(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q) {
  decode_luma_4x4_blocks(tb, mb, contexts, 2, q);
  finish_chroma(tb, mb, contexts, q);
}

void cabac_residual_16x16(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q) {
  auto cond = [](const MacroblockRecord* n) -> uint32_t {
    if (!n || n->mb_type == MbI_PCM) return 1;
    return is_i16x16(n->mb_type) && n->luma_dc_nonzero != 0 ? 1u : 0u;
  };
  const bool field = field_mb(mb);
  const BlockCtx c = {contexts + (field ? kCtxSigField : kCtxSigFrame),
                      contexts + (field ? kCtxLastField : kCtxLastFrame), contexts + kCtxLevel, nullptr, nullptr};
  const uint8_t* scan = field ? FIELD_SCAN4x4 : FRAME_SCAN4x4;
  alignas(16) int16_t dc[16] = {};
  CabacContext* cbf = contexts + kCtxCodedBlockFlag + kCbfCat[0] + cond(mb->neighbour_a) + 2 * cond(mb->neighbour_b);
  bool coded;
  {
    uint8_t pos[16];
    CabacScope e(&tb->reader);
    coded = cabac_DecodeDecision(e, cbf) != 0;
    if (coded) decode_block<16>(e, c, pos, [&](uint32_t p, int32_t v) { dc[scan[p]] = static_cast<int16_t>(v); });
  }
  if (coded) {
    mb->luma_dc_nonzero = 1;
    const Dequant dq = Dequant::of(q.qpY, 6);
    InverseHadamardLumaDC(mb->luma_coeff, dc, static_cast<int16_t>(q.ls4x4[0][q.qpY % 6][0]),
                          static_cast<uint8_t>(dq.rounding), static_cast<uint8_t>(dq.right),
                          static_cast<uint8_t>(dq.left));
  }
  decode_luma_4x4_blocks(tb, mb, contexts, 1, q);
  finish_chroma(tb, mb, contexts, q);
}

void cabac_residual_8x8(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q) {
  const bool field = field_mb(mb);
  const BlockCtx c = {contexts + (field ? kCtxSig8x8Field : kCtxSig8x8Frame),
                      contexts + (field ? kCtxLast8x8Field : kCtxLast8x8Frame), contexts + kCtxLevel8x8,
                      field ? MapScanPos_SigCoeff_i8x8_field : MapScanPos_SigCoeff_i8x8_frame,
                      MapScanPos_LastCoeff_i8x8};
  const uint8_t* scan = field ? FIELD_SCAN8x8 : FRAME_SCAN8x8;
  const int32_t* scale = q.ls8x8[mb_is_intra(mb->mb_type) ? 0 : 1][q.qpY % 6];
  const Dequant dq = Dequant::of(q.qpY, 6);
  for (uint32_t quad = 0; quad < 4; ++quad) {
    if (!((mb->cbp_luma >> quad) & 1)) continue;
    mb->luma_nonzero_mask = static_cast<uint16_t>(mb->luma_nonzero_mask | (0xFu << (4 * quad)));
    uint8_t pos[64];
    CabacScope e(&tb->reader);
    decode_block<64>(e, c, pos, DequantPut{mb->luma_coeff + 64 * quad, scan, scale, dq});
  }
  finish_chroma(tb, mb, contexts, q);
}

void cabac_residual_Chroma(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q) {
  const bool intra = mb_is_intra(mb->mb_type);
  const bool field = field_mb(mb);
  mb->chroma_nonzero_mask = 0;
  const BlockCtx c = {contexts + (field ? kCtxSigField : kCtxSigFrame) + ctxIdxBlockCatOffsetTable[3][0],
                      contexts + (field ? kCtxLastField : kCtxLastFrame) + ctxIdxBlockCatOffsetTable[3][1],
                      contexts + kCtxLevel + ctxIdxBlockCatOffsetTable[3][2], nullptr, nullptr};
  CabacContext* cbf = contexts + kCtxCodedBlockFlag + kCbfCat[3];
  const uint32_t condA = chroma_dc_conds(mb->neighbour_a, intra), condB = chroma_dc_conds(mb->neighbour_b, intra);
  CabacScope e(&tb->reader);
  for (uint32_t comp = 0; comp < 2; ++comp) {
    if (!cabac_coded_block_flag_ChromaDC_420(e, cbf, condA, condB, comp)) continue;
    int16_t v[4] = {};
    uint8_t pos[4];
    decode_block<4>(e, c, pos, [&](uint32_t p, int32_t l) { v[p] = static_cast<int16_t>(l); });
    mb->chroma_nonzero_mask = static_cast<uint8_t>(mb->chroma_nonzero_mask | (1u << comp));
    // 2x2 transform in 16-bit sums, then scaling.
    const int16_t f[4] = {static_cast<int16_t>(v[0] + v[1] + v[2] + v[3]), static_cast<int16_t>(v[0] - v[1] + v[2] - v[3]),
                          static_cast<int16_t>(v[0] + v[1] - v[2] - v[3]), static_cast<int16_t>(v[0] - v[1] - v[2] + v[3])};
    const int32_t qp = comp ? q.qpCr : q.qpCb;
    const int32_t scale = q.ls4x4[(intra ? 1 : 4) + comp][qp % 6][0];
    for (int k = 0; k < 4; ++k) {
      const uint32_t shifted = static_cast<uint32_t>(f[k] * scale) << (qp / 6);
      mb->chroma_coeff[64 * comp + 16 * k] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<int32_t>(shifted) >> 5));
    }
  }
  if (mb->cbp_chroma & 2) cabac_residual_chroma_ac_block_420(e, mb, contexts, q, intra, field);
}
