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
// Scanning positions of the block coefficient decoder by category;
// categories 3 and 5 (chroma DC, luma 8x8) have decoders of their own.
constexpr uint8_t maxNumCoeffTable[8] = {16, 15, 16, 0, 15, 0, 0, 0};

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

// Significance map and levels of one coded block with `numCoeff` scanning
// positions on the engine `e` (k8x8: the 64 of a luma 8x8 block). Writes
// the significant positions in increasing order to pos[], hands each signed
// level with its position to put(position, level) as soon as it is decoded
// (no second pass over the levels, no loop that ends on the count) and
// returns their count (at least 1). The significance and last context
// increments are the position itself for 4, 15 and 16 positions (chroma DC
// reads positions 0..2 only) and the tables of `c` for 64.
template <bool k8x8, typename Put>
__attribute__((always_inline)) inline int decode_block(CabacLocal& e, const BlockCtx& c, int numCoeff, uint8_t* pos,
                                                       Put&& put) {
  uint8_t* out = pos;
  int i = 0;
  if constexpr (k8x8) {
    for (; i < numCoeff - 1; ++i) {
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
    for (; i < numCoeff - 1; ++i, ++sig, ++last) {
      const uint64_t lastRow = CabacLocal::row_of(CabacLocal::load_key(last));
      const uint64_t nextRow = CabacLocal::row_of(CabacLocal::load_key(sig + 1));
      if (e.decision_row(sig, sigRow)) {
        *out++ = static_cast<uint8_t>(i);
        if (e.decision_row(last, lastRow)) goto levels;
      }
      sigRow = nextRow;
    }
  }
  *out++ = static_cast<uint8_t>(numCoeff - 1);
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

// The block coefficient decoder of categories 1, 2 and 4 (Intra16x16 AC,
// luma 4x4, chroma AC) on the engine `e`, one body for frame and field
// macroblocks: significance map, levels and signs of one coded block, each
// level dequantised into its place in `coef` (the 16 column-major values of
// the block; AC blocks start at scanning position 1 and leave the DC alone).
template <bool kField>
__attribute__((always_inline)) inline void cabac_decode_coeffs(CabacLocal& e, CabacContext* contexts,
                                                               uint8_t ctxBlockCat, int16_t* coef, uint8_t left,
                                                               uint8_t right, uint8_t rounding,
                                                               const int32_t* levelScale) {
  const uint8_t* off = ctxIdxBlockCatOffsetTable[ctxBlockCat];
  const BlockCtx c = {contexts + (kField ? kCtxSigField : kCtxSigFrame) + off[0],
                      contexts + (kField ? kCtxLastField : kCtxLastFrame) + off[1], contexts + kCtxLevel + off[2],
                      nullptr, nullptr};
  // AC blocks (15 positions) start at scanning position 1.
  const int numCoeff = maxNumCoeffTable[ctxBlockCat];
  const uint8_t* scan = (kField ? FIELD_SCAN4x4 : FRAME_SCAN4x4) + (16 - numCoeff);
  uint8_t pos[16];
  decode_block<false>(e, c, numCoeff, pos,
                      DequantPut{coef, scan, levelScale, Dequant{rounding, right, left}});
}

__attribute__((always_inline)) inline void cabac_decode_coeffs_frame(CabacLocal& e, CabacContext* contexts,
                                                                     uint8_t ctxBlockCat, int16_t* coef, uint8_t left,
                                                                     uint8_t right, uint8_t rounding,
                                                                     const int32_t* levelScale) {
  cabac_decode_coeffs<false>(e, contexts, ctxBlockCat, coef, left, right, rounding, levelScale);
}

__attribute__((always_inline)) inline void cabac_decode_coeffs_field(CabacLocal& e, CabacContext* contexts,
                                                                     uint8_t ctxBlockCat, int16_t* coef, uint8_t left,
                                                                     uint8_t right, uint8_t rounding,
                                                                     const int32_t* levelScale) {
  cabac_decode_coeffs<true>(e, contexts, ctxBlockCat, coef, left, right, rounding, levelScale);
}

// One coded block by the decoder of the macroblock's structure.
__attribute__((always_inline)) inline void decode_coeffs_of(CabacLocal& e, bool field, CabacContext* contexts,
                                                            uint8_t ctxBlockCat, int16_t* coef, const Dequant& dq,
                                                            const int32_t* levelScale) {
  const uint8_t left = static_cast<uint8_t>(dq.left), right = static_cast<uint8_t>(dq.right);
  const uint8_t rounding = static_cast<uint8_t>(dq.rounding);
  if (field)
    cabac_decode_coeffs_field(e, contexts, ctxBlockCat, coef, left, right, rounding, levelScale);
  else
    cabac_decode_coeffs_frame(e, contexts, ctxBlockCat, coef, left, right, rounding, levelScale);
}

// coded_block_flag condition of an outside neighbour for luma block bits.
inline uint32_t luma_cbf_outside(const MacroblockRecord* n, uint32_t blk, bool curIntra) {
  if (!n) return curIntra ? 1 : 0;
  if (n->mb_type == MbI_PCM) return 1;
  if (mb_is_skipped(n->mb_type) || !((n->cbp_luma >> (blk >> 2)) & 1)) return 0;
  return (n->luma_nonzero_mask >> blk) & 1;
}

// The left neighbours of a luma quadrant on the macroblock's left edge:
// the record (null when absent; in MBAFF frames the pair's top or bottom
// record, as the rows meet) and its blocks beside the quadrant's
// upper-left and lower-left 4x4 blocks.
struct LumaLeftBlocks {
  const MacroblockRecord* rec;
  uint8_t upper;
  uint8_t lower;
};

// The members of the luma quadrant family by name and first block, for
// X(name, first).
#define CABAC_LUMA_QUADRANT_MEMBERS(X) \
  X(DecodeCoeffsLuma4x4_0, 0)          \
  X(DecodeCoeffsLuma4x4_4, 4)          \
  X(DecodeCoeffsLuma4x4_8, 8)          \
  X(DecodeCoeffsLuma4x4_12, 12)

// What every coded 4x4 luma block of a macroblock shares besides its
// category: the context array, the coded_block_flag offset of the category
// in that group, and the 4x4 dequantisation of QP'Y (LevelScale row,
// rounding, right shift, left shift).
struct LumaBlockParams {
  CabacContext* contexts;
  const int32_t* levelScale;
  uint8_t rounding, right, leftShift, cbfOffset;
};

// The four 4x4 blocks first .. first + 3 of one quadrant, in block order,
// on one load of the engine, by the block decoder of the macroblock's
// structure (kField), of category kCat; the body that the members of the
// quadrant family share, kept out of line so that one copy of each block
// decoder and category serves all four. The coded_block_flag condition of
// block first + j's left and upper neighbour is bit bits[j] and
// bits[4 + j] of `conds`: bits 0..15 the coded blocks of this macroblock
// (those of quadrants not decoded stay 0), bits 16, 17 the outside left
// neighbours of the quadrant's upper-left and lower-left blocks, bits 18,
// 19 the outside upper neighbours of its upper-left and upper-right blocks.
// Adds the coded blocks to luma_nonzero_mask.
template <bool kField, uint8_t kCat>
__attribute__((noinline)) void luma_quadrant_blocks(ThreadBuffer* tb, MacroblockRecord* mb,
                                                    const LumaBlockParams& params, uint32_t first, uint32_t conds,
                                                    const uint8_t* bits) {
  // A copy that the context and coefficient stores cannot reach, so that
  // the blocks do not read it anew.
  const LumaBlockParams p = params;
  CabacContext* cbf = p.contexts + kCtxCodedBlockFlag + p.cbfOffset;
  CabacScope e(&tb->reader);
  for (uint32_t j = 0; j < 4; ++j) {
    const uint32_t condA = (conds >> bits[j]) & 1, condB = (conds >> bits[4 + j]) & 1;
    if (!cabac_DecodeDecision(e, cbf + condA + 2 * condB)) continue;
    conds |= 1u << (first + j);
    int16_t* coef = mb->luma_coeff + 16 * (first + j);
    if constexpr (kField)
      cabac_decode_coeffs_field(e, p.contexts, kCat, coef, p.leftShift, p.right, p.rounding, p.levelScale);
    else
      cabac_decode_coeffs_frame(e, p.contexts, kCat, coef, p.leftShift, p.right, p.rounding, p.levelScale);
  }
  mb->luma_nonzero_mask = static_cast<uint16_t>(conds);
}

// The quadrant family: the four 4x4 luma blocks of the 8x8 quadrant that
// starts at luma4x4BlkIdx kFirst, each coded block of category
// `ctxBlockCat` with its coded_block_flag contexts at `cbfOffset` in that
// group, dequantised with the 4x4 parameters of QP'Y (rounding, right
// shift, left shift and the LevelScale row). The members run for each set
// cbp_luma bit, quadrants in order: each reads the coded blocks of the
// quadrants before it from luma_nonzero_mask. Which neighbour each block
// reads is fixed per member: a left-column quadrant (0, 8) meets the left
// macroblock through `left`, a top-row one (0, 4) the upper macroblock's
// bottom row (blocks 10, 11 or 14, 15); the others ignore `left`.
template <uint32_t kFirst, bool kField>
__attribute__((always_inline)) inline void decode_coeffs_luma_quadrant(MacroblockRecord* mb, ThreadBuffer* tb,
                                                                       LumaLeftBlocks left, uint8_t rounding,
                                                                       uint8_t right, uint8_t leftShift,
                                                                       uint8_t ctxBlockCat, uint8_t cbfOffset,
                                                                       CabacContext* contexts,
                                                                       const int32_t* levelScale) {
  constexpr bool kLeftOutside = (kFirst & 4) == 0, kUpOutside = kFirst < 8;
  // Condition bit of each block's left neighbour, then of each block's
  // upper neighbour (see luma_quadrant_blocks).
  static constexpr uint8_t kBits[8] = {kLeftOutside ? 16 : kFirst - 3, kFirst, kLeftOutside ? 17 : kFirst - 1,
                                       kFirst + 2, kUpOutside ? 18 : kFirst - 6, kUpOutside ? 19 : kFirst - 5,
                                       kFirst, kFirst + 1};
  const bool intra = mb_is_intra(mb->mb_type);
  uint32_t conds = mb->luma_nonzero_mask;
  if constexpr (kLeftOutside)
    conds |= luma_cbf_outside(left.rec, left.upper, intra) << 16 | luma_cbf_outside(left.rec, left.lower, intra) << 17;
  if constexpr (kUpOutside)
    conds |= luma_cbf_outside(mb->neighbour_b, kFirst + 10, intra) << 18 |
             luma_cbf_outside(mb->neighbour_b, kFirst + 11, intra) << 19;
  const LumaBlockParams p = {contexts, levelScale, rounding, right, leftShift, cbfOffset};
  if (ctxBlockCat == 1)
    luma_quadrant_blocks<kField, 1>(tb, mb, p, kFirst, conds, kBits);
  else
    luma_quadrant_blocks<kField, 2>(tb, mb, p, kFirst, conds, kBits);
}

// The family's members for frame (kField false) or field macroblocks.
template <bool kField>
struct LumaQuadrants {
#define CABAC_LUMA_QUADRANT_DEFINE(name, first)                                                                   \
  __attribute__((always_inline)) static void name(MacroblockRecord* mb, ThreadBuffer* tb, LumaLeftBlocks left,     \
                                                  uint8_t rounding, uint8_t right, uint8_t leftShift,             \
                                                  uint8_t ctxBlockCat, uint8_t cbfOffset, CabacContext* contexts, \
                                                  const int32_t* levelScale) {                                    \
    decode_coeffs_luma_quadrant<first, kField>(mb, tb, left, rounding, right, leftShift, ctxBlockCat, cbfOffset,   \
                                               contexts, levelScale);                                             \
  }
  CABAC_LUMA_QUADRANT_MEMBERS(CABAC_LUMA_QUADRANT_DEFINE)
#undef CABAC_LUMA_QUADRANT_DEFINE
};

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
  CabacContext* cbf = ctx + kCtxCodedBlockFlag + kCbfCat[4];
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
      if (!cabac_DecodeDecision(e, cbf + condA + 2 * condB)) continue;
      conds |= 1u << b;
      decode_coeffs_of(e, field, ctx, 4, mb->chroma_coeff + 64 * c + 16 * b, dq, scale);
    }
    mb->chroma_ac_cbf_mask |= (conds & 0xFu) << (16 * c);
  }
}

void finish_chroma(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, const ResidualQuant& q) {
  if (mb->cbp_chroma != 0) cabac_residual_Chroma(tb, mb, ctx, q);
}

// The left record of a left-column quadrant and its blocks beside the
// quadrant's upper-left and lower-left blocks (`blk`, `blk` + 2).
__attribute__((always_inline)) inline LumaLeftBlocks luma_left_blocks(const MacroblockRecord* mb, uint32_t blk,
                                                                       uint8_t mbaff) {
  const LeftBlock4x4 upper = left_edge_block(mb, blk, mbaff), lower = left_edge_block(mb, blk + 2, mbaff);
  return {upper.rec, static_cast<uint8_t>(upper.blk), static_cast<uint8_t>(lower.blk)};
}

// The quadrants that cbp_luma names, category 2 (luma 4x4) or 1 (Intra16x16
// AC), with the 4x4 dequantisation of QP'Y, by the family members of frame
// or field macroblocks.
template <bool kField>
void luma_quadrants(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, uint8_t cat,
                                              const ResidualQuant& q) {
  const uint8_t cbp = mb->cbp_luma;
  const int32_t* scale = q.ls4x4[mb_is_intra(mb->mb_type) ? 0 : 3][q.qpY % 6];
  const Dequant dq = Dequant::of(q.qpY, 4);
  const uint8_t rounding = static_cast<uint8_t>(dq.rounding), right = static_cast<uint8_t>(dq.right);
  const uint8_t leftShift = static_cast<uint8_t>(dq.left), cbf = static_cast<uint8_t>(kCbfCat[cat]);
  using Members = LumaQuadrants<kField>;
  if (cbp & 1)
    Members::DecodeCoeffsLuma4x4_0(mb, tb, luma_left_blocks(mb, 0, q.mbaff), rounding, right, leftShift, cat, cbf,
                                   ctx, scale);
  if (cbp & 2) Members::DecodeCoeffsLuma4x4_4(mb, tb, {}, rounding, right, leftShift, cat, cbf, ctx, scale);
  if (cbp & 4)
    Members::DecodeCoeffsLuma4x4_8(mb, tb, luma_left_blocks(mb, 8, q.mbaff), rounding, right, leftShift, cat, cbf,
                                   ctx, scale);
  if (cbp & 8) Members::DecodeCoeffsLuma4x4_12(mb, tb, {}, rounding, right, leftShift, cat, cbf, ctx, scale);
}

void decode_luma_quadrants(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, uint8_t cat,
                           const ResidualQuant& q) {
  if (mb->cbp_luma == 0) return;
  if (field_mb(mb))
    luma_quadrants<true>(tb, mb, ctx, cat, q);
  else
    luma_quadrants<false>(tb, mb, ctx, cat, q);
}

}  // namespace

void cabac_residual_4x4(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q) {
  decode_luma_quadrants(tb, mb, contexts, 2, q);
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
    if (coded)
      decode_block<false>(e, c, 16, pos, [&](uint32_t p, int32_t v) { dc[scan[p]] = static_cast<int16_t>(v); });
  }
  if (coded) {
    mb->luma_dc_nonzero = 1;
    const Dequant dq = Dequant::of(q.qpY, 6);
    InverseHadamardLumaDC(mb->luma_coeff, dc, static_cast<int16_t>(q.ls4x4[0][q.qpY % 6][0]),
                          static_cast<uint8_t>(dq.rounding), static_cast<uint8_t>(dq.right),
                          static_cast<uint8_t>(dq.left));
  }
  decode_luma_quadrants(tb, mb, contexts, 1, q);
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
    decode_block<true>(e, c, 64, pos, DequantPut{mb->luma_coeff + 64 * quad, scan, scale, dq});
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
    decode_block<false>(e, c, 4, pos, [&](uint32_t p, int32_t l) { v[p] = static_cast<int16_t>(l); });
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
