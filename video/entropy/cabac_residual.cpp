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

// The rare tail of coeff_abs_level_minus1: the Exp-Golomb suffix of order 0
// in bypass bins after 14 prefix ones, on the engine stored in the reader.
// Returns the absolute level, bounded to 16 bits (a longer suffix marks the
// slice damaged). Kept out of line so that the block loops hold the engine
// in registers.
__attribute__((noinline, cold)) uint32_t abs_level_suffix(BitReaderCabac* r) {
  constexpr uint32_t kMaxAbs = 32767;
  CabacScope e(r);
  uint32_t v = 14;
  uint32_t k = 0;
  while (e.bypass()) {
    v += 1u << k;
    if (++k >= 15) {
      cabac_mark_damaged(r);
      return kMaxAbs;
    }
  }
  uint32_t suffix = 0;
  while (k--) suffix = (suffix << 1) | e.bypass();
  v += suffix + 1;
  if (v > kMaxAbs) {
    cabac_mark_damaged(r);
    v = kMaxAbs;
  }
  return v;
}

// coeff_abs_level_minus1 + 1 after a first prefix bin of 1: the other
// prefix bins share the context `c`, held in a register while they last.
__attribute__((always_inline)) inline uint32_t abs_level_rest(CabacLocal& e, CabacContext* c) {
  uint32_t key = CabacLocal::load_key(c);
  uint32_t v = 1;
  while (v < 14 && e.decision_held(key)) ++v;
  CabacLocal::store_key(c, key);
  if (__builtin_expect(v < 14, 1)) return v + 1;
  e.store();
  v = abs_level_suffix(e.r);
  e = CabacLocal(e.r);
  return v;
}

// coeff_abs_level_minus1 + 1 with the contexts of the first prefix bin and
// of the others.
__attribute__((always_inline)) inline uint32_t abs_level(CabacLocal& e, CabacContext* first, CabacContext* c) {
  if (!e.decision(first)) return 1;
  return abs_level_rest(e, c);
}

// Significance map and levels of one coded block with `kNumCoeff` scanning
// positions on the engine `e`. Writes the significant positions in
// increasing order to pos[] and their signed levels to lv[] (same index)
// and returns their count (at least 1). The significance and last context
// increments are the position itself for 4, 15 and 16 positions (chroma DC
// reads positions 0..2 only) and the tables of `c` for 64.
template <int kNumCoeff>
__attribute__((always_inline)) inline int decode_block(CabacLocal& e, const BlockCtx& c, uint8_t* pos, int32_t* lv) {
  uint8_t* out = pos;
  int i = 0;
  if constexpr (kNumCoeff == 64) {
    for (; i < kNumCoeff - 1; ++i) {
      if (e.decision(c.sig + c.sigInc[i])) {
        *out++ = static_cast<uint8_t>(i);
        if (e.decision(c.last + c.lastInc[i])) goto levels;
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
      lv[k] = e.bypass_sign(1);
      if (first < c.level + 4) {
        CabacLocal::store_key(first, key);
        ++first;
        key = CabacLocal::load_key(first);
      }
      continue;
    }
    CabacLocal::store_key(first, key);
    lv[k] = e.bypass_sign(static_cast<int32_t>(abs_level_rest(e, c.level + 5)));
    --k;
    first = c.level;
    key = CabacLocal::load_key(first);
    break;
  }
  for (CabacContext* rest = c.level + 6; k >= 0; --k) {
    uint32_t abs = 1;
    if (e.decision_held(key)) abs = abs_level_rest(e, rest);
    lv[k] = e.bypass_sign(static_cast<int32_t>(abs));
    rest += (abs > 1 && rest < c.level + 9) ? 1 : 0;
  }
  CabacLocal::store_key(first, key);
  return n;
}

// Dequantises the decoded levels into their places: coefficient k goes to
// coef[scan[pos[k]]].
__attribute__((always_inline)) inline void scatter(int16_t* coef, const uint8_t* scan, const int32_t* scale,
                                                   const Dequant& dq, const uint8_t* pos, const int32_t* lv, int n) {
  for (int k = 0; k < n; ++k) {
    const uint32_t s = scan[pos[k]];
    coef[s] = dq.apply(lv[k], scale[s]);
  }
}

bool field_mb(const MacroblockRecord* mb) { return mb->mb_structure != 2; }

// Context sets of a 4x4 block category (1, 2 or 4) in frame or field
// macroblocks.
BlockCtx ctx_4x4(CabacContext* ctx, bool field, uint32_t cat) {
  const uint8_t* off = ctxIdxBlockCatOffsetTable[cat];
  return {ctx + (field ? kCtxSigField : kCtxSigFrame) + off[0], ctx + (field ? kCtxLastField : kCtxLastFrame) + off[1],
          ctx + kCtxLevel + off[2], nullptr, nullptr};
}

// Scanning positions of the blocks of each category that the block
// coefficient decoder reads (categories 3 and 5 have their own decoders).
const uint8_t maxNumCoeffTable[8] = {16, 15, 16, 0, 15, 0, 0, 0};

// coded_block_flag with context `cbf` and, when it is 1, one block of
// category 1, 2 or 4 into `coef` (16 column-major values), all on one load
// of the engine; AC blocks start at scanning position 1. Frame and field
// macroblocks differ only in scan and significance contexts. Returns the
// flag.
bool decode_4x4(ThreadBuffer* tb, CabacContext* ctx, CabacContext* cbf, bool field, uint32_t cat, int16_t* coef,
                const int32_t* scale, const Dequant& dq) {
  uint8_t pos[16];
  int32_t lv[16];
  int n;
  const uint8_t* scan = field ? FIELD_SCAN4x4 : FRAME_SCAN4x4;
  {
    CabacScope e(&tb->reader);
    if (!e.decision(cbf)) return false;
    const BlockCtx c = ctx_4x4(ctx, field, cat);
    if (maxNumCoeffTable[cat] == 16) {
      n = decode_block<16>(e, c, pos, lv);
    } else {
      n = decode_block<15>(e, c, pos, lv);
      ++scan;
    }
  }
  scatter(coef, scan, scale, dq, pos, lv, n);
  return true;
}

inline bool cabac_decode_coeffs_frame(ThreadBuffer* tb, CabacContext* ctx, CabacContext* cbf, uint32_t cat,
                                      int16_t* coef, const int32_t* scale, const Dequant& dq) {
  return decode_4x4(tb, ctx, cbf, false, cat, coef, scale, dq);
}
inline bool cabac_decode_coeffs_field(ThreadBuffer* tb, CabacContext* ctx, CabacContext* cbf, uint32_t cat,
                                      int16_t* coef, const int32_t* scale, const Dequant& dq) {
  return decode_4x4(tb, ctx, cbf, true, cat, coef, scale, dq);
}

// coded_block_flag with context `cbf` and, when it is 1, the block.
inline bool decode_coded_4x4(ThreadBuffer* tb, CabacContext* ctx, CabacContext* cbf, bool field, uint32_t cat,
                             int16_t* coef, const int32_t* scale, const Dequant& dq) {
  return field ? cabac_decode_coeffs_field(tb, ctx, cbf, cat, coef, scale, dq)
               : cabac_decode_coeffs_frame(tb, ctx, cbf, cat, coef, scale, dq);
}

// coded_block_flag condition of an outside neighbour for luma block bits.
inline uint32_t luma_cbf_outside(const MacroblockRecord* n, uint32_t blk, bool curIntra) {
  if (!n) return curIntra ? 1 : 0;
  if (n->mb_type == MbI_PCM) return 1;
  if (mb_is_skipped(n->mb_type) || !((n->cbp_luma >> (blk >> 2)) & 1)) return 0;
  return (n->luma_nonzero_mask >> blk) & 1;
}

// What the luma blocks of one macroblock share.
struct LumaBlocks {
  ThreadBuffer* tb;
  MacroblockRecord* mb;
  CabacContext* ctx;
  CabacContext* cbf;  // coded_block_flag contexts of the category
  uint32_t cat;       // 1 (Intra16x16 AC) or 2
  bool intra, field;
  uint8_t mbaff;
  const int32_t* scale;
  Dequant dq;
};

// The four 4x4 blocks of the quadrant that starts at block First, in block
// order; the left and upper neighbours outside the macroblock are those of
// blocks 0, 2, 8, 10 (left) and 0, 1, 4, 5 (up).
template <uint32_t First>
inline void decode_luma_quadrant(const LumaBlocks& c) {
  MacroblockRecord* mb = c.mb;
  for (uint32_t blk = First; blk < First + 4; ++blk) {
    uint32_t condA, condB;
    if (blk == 0 || blk == 2 || blk == 8 || blk == 10) {
      const LeftBlock4x4 l = left_edge_block(mb, blk, c.mbaff);
      condA = luma_cbf_outside(l.rec, l.blk, c.intra);
    } else {
      condA = (mb->luma_nonzero_mask >> LeftNeighbourIdxTable[blk]) & 1;
    }
    if (blk == 0 || blk == 1 || blk == 4 || blk == 5) {
      condB = luma_cbf_outside(mb->neighbour_b, UpNeighbourIdxTable[blk], c.intra);
    } else {
      condB = (mb->luma_nonzero_mask >> UpNeighbourIdxTable[blk]) & 1;
    }
    int16_t* coef = mb->luma_coeff + 16 * blk;
    CabacContext* blockCbf = c.cbf + condA + 2 * condB;
    if (!decode_coded_4x4(c.tb, c.ctx, blockCbf, c.field, c.cat, coef, c.scale, c.dq)) continue;
    mb->luma_nonzero_mask = static_cast<uint16_t>(mb->luma_nonzero_mask | (1u << blk));
  }
}

void DecodeCoeffsLuma4x4_0(const LumaBlocks& c) { decode_luma_quadrant<0>(c); }
void DecodeCoeffsLuma4x4_4(const LumaBlocks& c) { decode_luma_quadrant<4>(c); }
void DecodeCoeffsLuma4x4_8(const LumaBlocks& c) { decode_luma_quadrant<8>(c); }
void DecodeCoeffsLuma4x4_12(const LumaBlocks& c) { decode_luma_quadrant<12>(c); }

// The 4x4 luma blocks of the quadrants that cbp_luma names, category 1
// (Intra16x16 AC) or 2.
void decode_luma_4x4_blocks(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, uint32_t cat,
                            const ResidualQuant& q) {
  const bool intra = mb_is_intra(mb->mb_type);
  const LumaBlocks c{tb,     mb,           ctx,    ctx + kCtxCodedBlockFlag + kCbfCat[cat],
                     cat,    intra,        field_mb(mb), q.mbaff,
                     q.ls4x4[intra ? 0 : 3][q.qpY % 6], Dequant::of(q.qpY, 4)};
  const uint8_t cbp = mb->cbp_luma;
  if (cbp & 1) DecodeCoeffsLuma4x4_0(c);
  if (cbp & 2) DecodeCoeffsLuma4x4_4(c);
  if (cbp & 4) DecodeCoeffsLuma4x4_8(c);
  if (cbp & 8) DecodeCoeffsLuma4x4_12(c);
}

// Chroma DC condition of neighbour n for component c.
inline uint32_t chroma_dc_cond(const MacroblockRecord* n, uint32_t c, bool curIntra) {
  if (!n) return curIntra ? 1 : 0;
  if (n->mb_type == MbI_PCM) return 1;
  if (mb_is_skipped(n->mb_type) || n->cbp_chroma == 0) return 0;
  return (n->chroma_nonzero_mask >> c) & 1;
}

// coded_block_flag of the chroma DC block of component iCbCr, from the
// category-3 contexts `cbf` and the left and upper neighbours' conditions.
inline uint32_t cabac_coded_block_flag_ChromaDC_420(ThreadBuffer* tb, CabacContext* cbf, const MacroblockRecord* mb,
                                                    uint32_t iCbCr) {
  const bool intra = mb_is_intra(mb->mb_type);
  const uint32_t condA = chroma_dc_cond(mb->neighbour_a, iCbCr, intra);
  const uint32_t condB = chroma_dc_cond(mb->neighbour_b, iCbCr, intra);
  return cabac_decision(&tb->reader, cbf + condA + 2 * condB);
}

// Chroma AC condition of outside neighbour n, block b of component c.
inline uint32_t chroma_ac_cond(const MacroblockRecord* n, uint32_t c, uint32_t b, bool curIntra) {
  if (!n) return curIntra ? 1 : 0;
  if (n->mb_type == MbI_PCM) return 1;
  if (mb_is_skipped(n->mb_type) || n->cbp_chroma != 3) return 0;
  return (n->chroma_ac_cbf_mask >> (16 * c + b)) & 1;
}

// Left neighbour of chroma block 0 or 2 (MBAFF rows as for luma).
LeftBlock4x4 chroma_left(const MacroblockRecord* mb, uint32_t b, uint8_t mbaff) {
  const LeftBlock4x4 l = left_edge_block(mb, b == 0 ? 0u : 8u, mbaff);
  // Luma blocks 5/7/13/15 of the left edge map to chroma blocks 1/1/3/3.
  return {l.rec, l.blk >= 13 ? 3u : 1u};
}

void cabac_residual_chroma_ac_block_420(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx,
                                        const ResidualQuant& q) {
  const bool intra = mb_is_intra(mb->mb_type);
  const bool field = field_mb(mb);
  CabacContext* cbf = ctx + kCtxCodedBlockFlag + kCbfCat[4];
  for (uint32_t c = 0; c < 2; ++c) {
    const int32_t qp = c ? q.qpCr : q.qpCb;
    const int32_t* scale = q.ls4x4[(intra ? 1 : 4) + c][qp % 6];
    const Dequant dq = Dequant::of(qp, 4);
    for (uint32_t b = 0; b < 4; ++b) {
      uint32_t condA, condB;
      if (b & 1) {
        condA = (mb->chroma_ac_cbf_mask >> (16 * c + b - 1)) & 1;
      } else {
        const LeftBlock4x4 l = chroma_left(mb, b, q.mbaff);
        condA = chroma_ac_cond(l.rec, c, l.blk, intra);
      }
      if (b & 2) {
        condB = (mb->chroma_ac_cbf_mask >> (16 * c + b - 2)) & 1;
      } else {
        condB = chroma_ac_cond(mb->neighbour_b, c, b + 2, intra);
      }
      int16_t* coef = mb->chroma_coeff + 64 * c + 16 * b;
      CabacContext* blockCbf = cbf + condA + 2 * condB;
      if (!decode_coded_4x4(tb, ctx, blockCbf, field, 4, coef, scale, dq)) continue;
      mb->chroma_ac_cbf_mask |= 1u << (16 * c + b);
    }
  }
}

void finish_chroma(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* ctx, const ResidualQuant& q) {
  if (mb->cbp_chroma != 0) cabac_residual_Chroma(tb, mb, ctx, q);
}

}  // namespace

uint32_t cabac_coeff_abs_level_minus1(ThreadBuffer* tb, CabacContext* levelCtx, uint32_t numDecodAbsLevelGt1,
                                      uint32_t numDecodAbsLevelEq1) {
  const uint32_t inc0 = numDecodAbsLevelGt1 ? 0 : (numDecodAbsLevelEq1 >= 3 ? 4 : 1 + numDecodAbsLevelEq1);
  CabacScope e(&tb->reader);
  return abs_level(e, levelCtx + inc0, levelCtx + 5 + (numDecodAbsLevelGt1 > 4 ? 4 : numDecodAbsLevelGt1));
}

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
    int32_t lv[16];
    CabacScope e(&tb->reader);
    coded = e.decision(cbf) != 0;
    if (coded) {
      const int n = decode_block<16>(e, c, pos, lv);
      for (int k = 0; k < n; ++k) dc[scan[pos[k]]] = static_cast<int16_t>(lv[k]);
    }
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
    int32_t lv[64];
    int n;
    {
      CabacScope e(&tb->reader);
      n = decode_block<64>(e, c, pos, lv);
    }
    scatter(mb->luma_coeff + 64 * quad, scan, scale, dq, pos, lv, n);
  }
  finish_chroma(tb, mb, contexts, q);
}

void cabac_residual_Chroma(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q) {
  const bool intra = mb_is_intra(mb->mb_type);
  mb->chroma_nonzero_mask = 0;
  const BlockCtx c = {contexts + (field_mb(mb) ? kCtxSigField : kCtxSigFrame) + ctxIdxBlockCatOffsetTable[3][0],
                      contexts + (field_mb(mb) ? kCtxLastField : kCtxLastFrame) + ctxIdxBlockCatOffsetTable[3][1],
                      contexts + kCtxLevel + ctxIdxBlockCatOffsetTable[3][2], nullptr, nullptr};
  CabacContext* cbf = contexts + kCtxCodedBlockFlag + kCbfCat[3];
  for (uint32_t comp = 0; comp < 2; ++comp) {
    if (!cabac_coded_block_flag_ChromaDC_420(tb, cbf, mb, comp)) continue;
    int16_t v[4] = {};
    {
      uint8_t pos[4];
      int32_t lv[4];
      CabacScope e(&tb->reader);
      const int n = decode_block<4>(e, c, pos, lv);
      for (int k = 0; k < n; ++k) v[pos[k]] = static_cast<int16_t>(lv[k]);
    }
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
  if (mb->cbp_chroma & 2) cabac_residual_chroma_ac_block_420(tb, mb, contexts, q);
}
