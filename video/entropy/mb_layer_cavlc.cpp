// CAVLC macroblock layers of I, P and B slices: mb_type, prediction
// (intra modes, ref_idx, mvd, sub-macroblock types), coded_block_pattern,
// mb_qp_delta with the QP update, I_PCM samples, and the residual call.
//
// Values outside their tables (mb_type, sub_mb_type, coded_block_pattern,
// intra_chroma_pred_mode), an mb_qp_delta outside its range, a ref_idx
// beyond the active list and an mvd beyond 16 bits refuse the macroblock:
// the layer returns false and the slice is given up.
#include <cstring>

#include "cavlc_residual.h"
#include "neighbour_blocks.h"
#include "slice_data.h"

const uint8_t QPcTable[52] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
                              18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 29, 30, 31, 32, 32, 33,
                              34, 34, 35, 35, 36, 36, 37, 37, 37, 38, 38, 38, 39, 39, 39, 39};

// cbp_chroma x 16 + cbp_luma by codeNum.
const uint8_t CBP_Map_intra[48] = {47, 31, 15, 0,  23, 27, 29, 30, 7,  11, 13, 14, 39, 43, 45, 46,
                                   16, 3,  5,  10, 12, 19, 21, 26, 28, 35, 37, 42, 44, 1,  2,  4,
                                   8,  17, 18, 20, 24, 6,  9,  22, 25, 32, 33, 34, 36, 40, 38, 41};
const uint8_t CBP_Map_inter[48] = {0,  16, 1,  2,  4,  8,  32, 3,  5,  10, 12, 15, 47, 7,  11, 13,
                                   14, 6,  9,  31, 35, 37, 42, 44, 33, 34, 36, 40, 39, 43, 45, 46,
                                   17, 18, 20, 24, 19, 21, 26, 28, 23, 27, 29, 30, 22, 25, 38, 41};
const uint8_t CBP_Map_intra_mono[16] = {15, 0, 7, 11, 13, 14, 3, 5, 10, 12, 1, 2, 4, 8, 6, 9};
const uint8_t CBP_Map_inter_mono[16] = {0, 1, 2, 4, 8, 3, 5, 10, 12, 15, 7, 11, 13, 14, 6, 9};

namespace {

constexpr uint8_t kNoRef = 0xFF;  // ref_idx -1

inline bool is_intra16x16(uint8_t t) { return t >= MbI_16x16_First && t <= MbI_16x16_Last; }

// ---------------------------------------------------------------------------
// Intra prediction modes.

uint8_t read_mode(BitReaderCabac* r, int predicted) {
  if (ReadOneBit(r)) return static_cast<uint8_t>(predicted);
  const int rem = static_cast<int>(ReadNBits(r, 3));
  return static_cast<uint8_t>(rem < predicted ? rem : rem + 1);
}

bool mb_pred_intra_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  if (mb->mb_type == MbI_NxN) {
    if (mb->transform_size_8x8_flag) {
      for (int b8 = 0; b8 < 4; ++b8) {
        const uint8_t mode = read_mode(r, predicted_intra_mode(s, mb, 4 * b8, true));
        std::memset(mb->intra_pred_mode + 4 * b8, mode, 4);
      }
    } else {
      for (int blk = 0; blk < 16; ++blk) mb->intra_pred_mode[blk] = read_mode(r, predicted_intra_mode(s, mb, blk, false));
    }
  }
  if (s->chroma_format_idc != 0) {
    const uint32_t mode = ue_v(r);
    if (mode > 3) return false;
    mb->intra_chroma_pred_mode = static_cast<uint8_t>(mode);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Inter prediction.

bool ref_present(const SliceDataState* s, const MacroblockRecord* mb, int list) {
  const int minus1 = list == 0 ? s->num_ref_idx_l0_active_minus1 : s->num_ref_idx_l1_active_minus1;
  return minus1 > 0 || mb->mb_field_decoding_flag != 0;
}

// ref_idx of one partition: te(v) over the list's range (doubled for field
// macroblocks of MBAFF frames); false beyond the range.
bool read_ref_idx(BitReaderCabac* r, const SliceDataState* s, const MacroblockRecord* mb, int list, uint8_t* out) {
  uint32_t range = list == 0 ? s->num_ref_idx_l0_active_minus1 : s->num_ref_idx_l1_active_minus1;
  if (s->MbaffFrameFlag && mb->mb_field_decoding_flag) range = 2 * range + 1;
  const uint32_t v = te_v(r, range);
  if (v > range) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

// One mvd pair as the four bytes of an int16_t[2] (x first), written with
// one store: the callers copy it on as a whole, and a 4-byte load of two
// separate 2-byte stores would wait for both to retire instead of being
// forwarded.
bool read_mvd(BitReaderCabac* r, uint32_t* pair) {
  const int32_t x = se_v(r);
  const int32_t y = se_v(r);
  if (x < INT16_MIN || x > INT16_MAX || y < INT16_MIN || y > INT16_MAX) return false;
  const int16_t xy[2] = {static_cast<int16_t>(x), static_cast<int16_t>(y)};
  std::memcpy(pair, xy, 4);
  return true;
}

// Quadrants of partition `part` of a 16x16 (shape 0), 16x8 (1) or 8x16 (2)
// macroblock, as a 4-bit mask; and the bytes of the four per-quadrant
// ref_idx bytes they cover.
constexpr uint8_t kPartQuadrants[3][2] = {{0xF, 0}, {0x3, 0xC}, {0x5, 0xA}};
constexpr uint32_t kPartRefBytes[3][2] = {{0xFFFFFFFFu, 0}, {0x0000FFFFu, 0xFFFF0000u}, {0x00FF00FFu, 0xFF00FF00u}};

// The pair in the four 4x4 blocks of every quadrant of the mask (a quadrant's
// blocks are consecutive).
void store_mvd(int16_t (*mvd)[2], uint8_t quadrants, uint32_t pair) {
  const uint64_t two = pair * 0x0000000100000001ull;
  for (unsigned q = quadrants; q != 0; q &= q - 1) {
    int16_t(*block)[2] = mvd + 4 * __builtin_ctz(q);
    std::memcpy(block, &two, 8);
    std::memcpy(block + 2, &two, 8);
  }
}

// mb_pred() of a macroblock of `shape` (16x16, 16x8 or 8x16) in a slice
// with `lists` reference lists (1 for P, 2 for B): every ref_idx_l0, every
// ref_idx_l1, every mvd_l0, every mvd_l1, in partition order; quadrants of a
// partition that does not use a list get -1. pred[p] is partition p's
// prediction (bit 0 list 0, bit 1 list 1).
template <int kShape, int kLists>
bool mb_pred_partitions(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb, const int* pred) {
  constexpr int kParts = kShape == 0 ? 1 : 2;
  int8_t* refIdx[2] = {mb->ref_idx_l0, mb->ref_idx_l1};
  int16_t(*mvds[2])[2] = {mb->mvd_l0, mb->mvd_l1};
  for (int list = 0; list < kLists; ++list) {
    const bool present = ref_present(s, mb, list);
    uint32_t refs = 0;
    for (int p = 0; p < kParts; ++p) {
      uint32_t v = kNoRef;
      if (pred[p] & (1 << list)) {
        uint8_t idx = 0;
        if (present && !read_ref_idx(r, s, mb, list, &idx)) return false;
        v = idx;
      }
      refs |= (v * 0x01010101u) & kPartRefBytes[kShape][p];
    }
    std::memcpy(refIdx[list], &refs, 4);
  }
  for (int list = 0; list < kLists; ++list)
    for (int p = 0; p < kParts; ++p) {
      if ((pred[p] & (1 << list)) == 0) continue;
      uint32_t pair;
      if (!read_mvd(r, &pair)) return false;
      store_mvd(mvds[list], kPartQuadrants[kShape][p], pair);
    }
  return true;
}

// mb_pred() of a 16x16, 16x8 or 8x16 macroblock of either slice type.
bool mb_pred_inter(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb) {
  const uint8_t t = mb->mb_type;
  const int pred[2] = {(t >> 4) & 3, (t >> 2) & 3};
  if (pred[0] == 0 || pred[1] == 0) return false;
  const bool bSlice = s->sliceType == kSliceTypeB;
  switch (t & 3) {
    case 0:
      return bSlice ? mb_pred_partitions<0, 2>(r, s, mb, pred) : mb_pred_partitions<0, 1>(r, s, mb, pred);
    case 1:
      return bSlice ? mb_pred_partitions<1, 2>(r, s, mb, pred) : mb_pred_partitions<1, 1>(r, s, mb, pred);
    case 2:
      return bSlice ? mb_pred_partitions<2, 2>(r, s, mb, pred) : mb_pred_partitions<2, 1>(r, s, mb, pred);
    default:
      return false;
  }
}

// The mvd pairs of quadrant q with SubMbTypeCode `code` in one list.
bool read_sub_mvds(BitReaderCabac* r, int16_t (*mvd)[2], int q, uint8_t code) {
  // 4x4 blocks of each sub-partition, by shape (8x8, 8x4, 4x8, 4x4).
  static const uint8_t kSubBlocks[4][4] = {{0xF, 0, 0, 0}, {0x3, 0xC, 0, 0}, {0x5, 0xA, 0, 0}, {1, 2, 4, 8}};
  const int shape = code >> 5;
  const int parts = code & 7;
  for (int k = 0; k < parts; ++k) {
    uint32_t pair;
    if (!read_mvd(r, &pair)) return false;
    for (int b = 0; b < 4; ++b)
      if (kSubBlocks[shape][k] & (1u << b)) std::memcpy(mvd[4 * q + b], &pair, 4);
  }
  return true;
}

// sub_mb_pred() of P_8x8, P_8x8ref0 and B_8x8.
bool sub_mb_pred(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb) {
  const bool bSlice = s->sliceType == kSliceTypeB;
  for (int q = 0; q < 4; ++q) {
    const uint32_t code = ue_v(r);
    if (code > (bSlice ? 12u : 3u)) return false;
    mb->sub_mb_type[q] = bSlice ? kBSubMbTypeCodes[code] : kPSubMbTypeCodes[code];
  }
  int8_t* refs[2] = {mb->ref_idx_l0, mb->ref_idx_l1};
  int16_t(*mvds[2])[2] = {mb->mvd_l0, mb->mvd_l1};
  const int lists = bSlice ? 2 : 1;
  for (int list = 0; list < lists; ++list) {
    const bool present = ref_present(s, mb, list) && mb->mb_type != MbP_8x8ref0;
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      uint8_t v = 0;
      if (code == SubMbB_Direct_8x8) {
        v = 0;
      } else if ((code & (8u << list)) == 0) {
        v = kNoRef;
      } else if (present && !read_ref_idx(r, s, mb, list, &v)) {
        return false;
      }
      refs[list][q] = static_cast<int8_t>(v);
    }
  }
  for (int list = 0; list < lists; ++list)
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8) {
        std::memset(mvds[list] + 4 * q, 0, 4 * sizeof(mvds[list][0]));
      } else if ((code & (8u << list)) != 0 && !read_sub_mvds(r, mvds[list], q, code)) {
        return false;
      }
    }
  return true;
}

// ---------------------------------------------------------------------------
// coded_block_pattern, QP and residual.

// The prediction parsers of each slice type: one body serves both.
inline bool mb_pred_P_slice_cavlc(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(r, s, mb);
}
inline bool mb_pred_B_slice_cavlc(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(r, s, mb);
}
inline bool sub_mb_pred_P_slice_cavlc(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb) {
  return sub_mb_pred(r, s, mb);
}
inline bool sub_mb_pred_B_slice_cavlc(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb) {
  return sub_mb_pred(r, s, mb);
}

void derive_intra16x16_cbp(MacroblockRecord* mb) {
  const int t = mb->mb_type;
  mb->cbp_luma = t >= 77 ? 15 : 0;
  const int c = ((t - 65) >> 2) % 3;
  mb->cbp_chroma = static_cast<uint8_t>(c == 2 ? 3 : c);
}

bool read_cbp(BitReaderCabac* r, const SliceDataState* s, MacroblockRecord* mb) {
  const uint32_t code = ue_v(r);
  const bool mono = s->chroma_format_idc == 0;
  if (code > (mono ? 15u : 47u)) return false;
  const bool intra = mb_is_intra(mb->mb_type);
  const uint8_t byte = mono ? (intra ? CBP_Map_intra_mono : CBP_Map_inter_mono)[code]
                            : (intra ? CBP_Map_intra : CBP_Map_inter)[code];
  mb->cbp_luma = byte & 15;
  mb->cbp_chroma = static_cast<uint8_t>(byte >> 4);
  return true;
}

// The QP update, inline where the residual reads the new QPs right after it:
// the values then pass in registers instead of through the slice state (a
// wide load of fields just stored singly waits for the stores to retire).
inline void update_qp_inline(SliceDataState* s, MacroblockRecord* mb, int32_t delta, bool store) {
  const int32_t off = s->QpBdOffsetY;
  // ((QP'Y - off) + delta + 52 + 2 off) mod (52 + off): deltas within their
  // range need at most two subtractions instead of a division.
  const int32_t n = 52 + off;
  int32_t wrapped = s->QPY + delta + 52 + off;
  if (wrapped >= 0 && wrapped < 3 * n) {
    if (wrapped >= n) wrapped -= n;
    if (wrapped >= n) wrapped -= n;
  } else {
    wrapped %= n;
  }
  const int32_t qp = wrapped - off;
  mb->qp_y = static_cast<uint8_t>(qp);
  if (store) s->QPY = qp + off;
  const int32_t offC = s->QpBdOffsetC;
  // Most macroblocks keep the QP of the one before them in the slice (same
  // chroma offsets): its chroma QPs stand.
  const MacroblockRecord* prev = s->firstMb != nullptr && mb > s->firstMb ? mb - 1 : nullptr;
  if (prev != nullptr && prev->qp_y == qp) {
    mb->qp_cb = prev->qp_cb;
    mb->qp_cr = prev->qp_cr;
    s->QPCb = prev->qp_cb + offC;
    s->QPCr = prev->qp_cr + offC;
    return;
  }
  const int32_t offsets[2] = {s->chroma_qp_index_offset, s->second_chroma_qp_index_offset};
  int32_t qpc[2];
  for (int c = 0; c < 2; ++c) {
    int32_t qPI = qp + offsets[c];
    qPI = qPI < -offC ? -offC : qPI > 51 ? 51 : qPI;
    qpc[c] = qPI < 0 ? qPI : QPcTable[qPI];
  }
  mb->qp_cb = static_cast<int8_t>(qpc[0]);
  mb->qp_cr = static_cast<int8_t>(qpc[1]);
  s->QPCb = qpc[0] + offC;
  s->QPCr = qpc[1] + offC;
}

// mb_qp_delta, QP and residual of a macroblock whose type, prediction and
// coded_block_pattern are stored.
bool qp_and_residual(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  const bool i16 = is_intra16x16(mb->mb_type);
  if (mb->cbp_luma == 0 && mb->cbp_chroma == 0 && !i16) {
    s->lastMbQpDelta = 0;
    update_qp(s, mb, 0, false);
    std::memset(mb->total_coeff_luma, 0, sizeof(mb->total_coeff_luma));
    std::memset(mb->total_coeff_chroma, 0, sizeof(mb->total_coeff_chroma));
    return true;
  }
  const int32_t delta = se_v(r);
  const int32_t half = s->QpBdOffsetY / 2;
  if (delta < -(26 + half) || delta > 25 + half) return false;
  s->lastMbQpDelta = static_cast<int8_t>(delta);
  update_qp_inline(s, mb, delta, true);
  const ResidualQuant q{s->ls4x4, s->ls8x8, s->QPY, s->QPCb, s->QPCr, s->MbaffFrameFlag};
  if (mb->transform_size_8x8_flag)
    cavlc_residual_8x8(r, mb, q);
  else if (i16)
    cavlc_residual_16x16(r, mb, q);
  else
    cavlc_residual_4x4(r, mb, q);
  return r->overrun == 0;
}

// The layer after mb_type: the steps shared by I, P and B macroblocks.
bool layer_after_type(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  const uint8_t t = mb->mb_type;
  if (t == MbI_PCM) {
    DecodeIPCMMacroBlock(r, s, mb);
    return true;
  }
  bool noSub8x8 = true;
  if ((t & 0xDC) == 0) {  // P_8x8, P_8x8ref0, B_8x8
    const bool bSlice = s->sliceType == kSliceTypeB;
    if (!(bSlice ? sub_mb_pred_B_slice_cavlc(r, s, mb) : sub_mb_pred_P_slice_cavlc(r, s, mb))) return false;
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8 ? !s->direct_8x8_inference_flag : (code & 7) > 1) noSub8x8 = false;
    }
  } else if (mb_is_intra(t)) {
    mb->transform_size_8x8_flag = (s->transform_8x8_mode_flag && t == MbI_NxN) ? static_cast<uint8_t>(u_n(r, 1)) : 0;
    if (!mb_pred_intra_cavlc(r, s, mb)) return false;
  } else if (t == MbB_Direct_16x16) {
    std::memset(mb->ref_idx_l0, 0, 4);
    std::memset(mb->ref_idx_l1, 0, 4);
  } else if (!(s->sliceType == kSliceTypeB ? mb_pred_B_slice_cavlc(r, s, mb) : mb_pred_P_slice_cavlc(r, s, mb))) {
    return false;
  }
  if (is_intra16x16(t)) {
    derive_intra16x16_cbp(mb);
  } else {
    if (!read_cbp(r, s, mb)) return false;
    if (mb->cbp_luma != 0 && s->transform_8x8_mode_flag && t != MbI_NxN && noSub8x8 &&
        (t != MbB_Direct_16x16 || s->direct_8x8_inference_flag))
      mb->transform_size_8x8_flag = static_cast<uint8_t>(u_n(r, 1));
  }
  return qp_and_residual(r, s, mb);
}

}  // namespace

void update_qp(SliceDataState* s, MacroblockRecord* mb, int32_t delta, bool store) {
  update_qp_inline(s, mb, delta, store);
}

bool decode_macroblock_layer_I_slice_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  const uint32_t code = ue_v(r);
  if (code > 25) return false;
  mb->mb_type = code == 25 ? static_cast<uint8_t>(MbI_PCM) : static_cast<uint8_t>(MbI_NxN + code);
  return layer_after_type(r, s, mb);
}

bool decode_macroblock_layer_P_slice_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  const uint32_t code = ue_v(r);
  if (code > 30) return false;
  mb->mb_type = kPMbTypeCodes[code];
  return layer_after_type(r, s, mb);
}

bool decode_macroblock_layer_B_slice_cavlc(BitReaderCabac* r, SliceDataState* s, MacroblockRecord* mb) {
  const uint32_t code = ue_v(r);
  if (code > 48) return false;
  mb->mb_type = kBMbTypeCodes[code];
  return layer_after_type(r, s, mb);
}
