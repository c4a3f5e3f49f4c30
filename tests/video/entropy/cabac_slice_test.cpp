// CABAC slice walks on slices written by the test encoder: a whole slice
// ends exactly at its stop bit, data after it or past the picture refuse the
// slice, and damaged data always ends the walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cabac_residual.h"
#include "cabac_slice.h"
#include "cabac_syntax.h"
#include "cabac_test_encoder.h"
#include "transforms.h"

namespace {

struct Picture {
  MacroblockRecord* records;
  uint32_t count;
  explicit Picture(uint32_t n) : count(n) {
    records = static_cast<MacroblockRecord*>(std::aligned_alloc(16, sizeof(MacroblockRecord) * n));
    std::memset(records, 0, sizeof(MacroblockRecord) * n);
  }
  ~Picture() { std::free(records); }
};

struct CabacSlice : ::testing::Test {
  int32_t ls4[6][6][16];
  int32_t ls8[2][6][64];
  CabacContext enc[kCabacContextCount], dec[kCabacContextCount];

  void SetUp() override {
    uint8_t w4[6][16], w8[2][64];
    std::memset(w4, 16, sizeof(w4));
    std::memset(w8, 16, sizeof(w8));
    build_level_scale(w4, w8, ls4, ls8);
  }

  SliceDataState state(Picture& p, uint32_t width, uint8_t sliceType) {
    SliceDataState s{};
    s.records = p.records;
    s.widthInMbs = width;
    s.mbCount = p.count;
    s.structure = 2;
    s.chroma_format_idc = 1;
    s.sliceType = sliceType;
    s.firstMb = s.currentMb = p.records;
    s.QPY = 26;
    s.ls4x4 = ls4;
    s.ls8x8 = ls8;
    return s;
  }

  // An Intra16x16 macroblock (prediction mode `mode`, no residual) of an I
  // slice at the left edge of a one-row picture; `left` says whether the
  // macroblock before it is available.
  void intra16x16(CabacTestEncoder* e, uint32_t mode, bool left) {
    // mb_type: bin 0 (left neighbour is not I_NxN), terminate 0, luma 0,
    // chroma 0, two mode bins.
    e->decision(&enc[kCtxMbType + (left ? 1 : 0)], 1);
    e->terminate(0);
    e->decision(&enc[kCtxMbType + 3], 0);
    e->decision(&enc[kCtxMbType + 4], 0);
    e->decision(&enc[kCtxMbType + 6], mode >> 1);
    e->decision(&enc[kCtxMbType + 7], mode & 1);
    e->decision(&enc[kCtxIntraChroma], 0);      // intra_chroma_pred_mode 0
    e->decision(&enc[kCtxMbQpDelta], 0);        // mb_qp_delta 0
    // DC coded_block_flag 0: an absent upper neighbour counts 1, the left
    // Intra16x16 neighbour without DC counts 0.
    e->decision(&enc[kCtxCodedBlockFlag + (left ? 0 : 1) + 2], 0);
  }

  // Three Intra16x16 macroblocks of modes 0, 1, 2 in a one-row I slice of
  // three; `lastEnds` says whether the third one's end_of_slice_flag is 1.
  std::vector<uint8_t> three_macroblocks(bool lastEnds, size_t* payload) {
    cabac_init_contexts_i_slice(30, enc);
    std::memcpy(dec, enc, sizeof enc);
    CabacTestEncoder e;
    for (uint32_t i = 0; i < 3; ++i) {
      intra16x16(&e, i, i > 0);
      e.terminate(lastEnds && i == 2);
    }
    if (!lastEnds) e.terminate(1);
    return e.bytes(payload);
  }
};

TEST_F(CabacSlice, IntraSliceEndsOnItsStopBit) {
  Picture p(3);
  SliceDataState s = state(p, 3, 2);
  size_t payload = 0;
  std::vector<uint8_t> data = three_macroblocks(true, &payload);
  ThreadBuffer tb{};
  bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
  EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceDone);
  EXPECT_EQ(p.records[0].slice_mb_count, 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(p.records[i].mb_type, 65 + i);
    EXPECT_EQ(p.records[i].qp_y, 26);  // the running QP of the state
    EXPECT_EQ(p.records[i].luma_dc_nonzero, 0);
  }
  EXPECT_EQ(0, std::memcmp(enc, dec, sizeof enc));

  // The same slice with a non-zero byte after the stop bit is refused.
  std::vector<uint8_t> bytes = cabac_test_words(data);  // reversing the words twice restores stream order
  bytes.resize(payload + 1);
  bytes[payload] = 0x80;
  std::vector<uint8_t> longer = cabac_test_words(bytes);
  std::memset(p.records, 0, sizeof(MacroblockRecord) * 3);
  cabac_init_contexts_i_slice(30, dec);
  s = state(p, 3, 2);
  bs_init(&tb.reader, longer.data(), static_cast<uint32_t>(payload + 1));
  EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceFailed);

  // The same slice is refused under a slice QP outside 0..51.
  for (int32_t qp : {-1, 52}) {
    cabac_init_contexts_i_slice(30, dec);
    s = state(p, 3, 2);
    s.QPY = qp;
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
    EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceFailed) << "QP " << qp;
    EXPECT_EQ(p.records[0].slice_mb_count, 0u) << "QP " << qp;
  }
}

TEST_F(CabacSlice, EndOfSliceThatNeverComesFails) {
  // Three macroblocks whose end_of_slice_flag is always 0 in a picture of
  // three: the walk stops at the picture's end.
  Picture p(3);
  SliceDataState s = state(p, 3, 2);
  size_t payload = 0;
  std::vector<uint8_t> data = three_macroblocks(false, &payload);
  ThreadBuffer tb{};
  bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
  EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceFailed);
  EXPECT_EQ(p.records[0].slice_mb_count, 0u);
  EXPECT_EQ(s.mbsBeforeDamage, 2u);  // the third, where the picture ends, is the damaged one
  EXPECT_EQ(p.records[2].mb_type, 67);
}

TEST_F(CabacSlice, RandomDataAlwaysEnds) {
  // Random payloads for every slice type, frame and MBAFF: the walk ends
  // (done or failed) without touching memory outside the picture.
  std::mt19937 rng(77);
  for (int round = 0; round < 300; ++round) {
    const uint32_t width = 2 + rng() % 3, height = 2 * (1 + rng() % 2);
    Picture p(width * height);
    const uint8_t type = static_cast<uint8_t>(rng() % 3);
    SliceDataState s = state(p, width, type);
    s.MbaffFrameFlag = static_cast<uint8_t>(round & 1);
    s.transform_8x8_mode_flag = static_cast<uint8_t>((round >> 1) & 1);
    s.num_ref_idx_l0_active_minus1 = static_cast<uint8_t>(rng() % 4);
    s.num_ref_idx_l1_active_minus1 = static_cast<uint8_t>(rng() % 4);
    if (type == 2)
      cabac_init_contexts_i_slice(static_cast<int8_t>(rng() % 52), dec);
    else if (type == 0)
      cabac_init_contexts_p_slice(static_cast<int8_t>(rng() % 52), dec, static_cast<uint8_t>(rng() % 3));
    else
      cabac_init_contexts_b_slice(static_cast<int8_t>(rng() % 52), dec, static_cast<uint8_t>(rng() % 3));
    std::vector<uint8_t> bytes(1 + rng() % 400);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    const size_t payload = bytes.size();
    std::vector<uint8_t> data = cabac_test_words(bytes);
    ThreadBuffer tb{};
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
    const uint32_t result = decode_slice_data_cabac(&tb, &s, dec);
    EXPECT_TRUE(result == kSliceDone || result == kSliceFailed);
    EXPECT_LT(s.CurrMbAddr, p.count);
  }
}

// ---------------------------------------------------------------------------
// The walk against a plain one built from the element decoders alone, each
// deriving its own neighbour conditions from the records, on random data.

// Whether 4x4 block `blk` of a parsed record carries an mvd of `list`.
bool block_has_mvd(const MacroblockRecord& m, int blk, int list) {
  const uint8_t t = m.mb_type;
  if (mb_is_skipped(t) || mb_is_intra(t) || t == MbB_Direct_16x16) return false;
  if ((t & 0xDC) == 0)
    return m.sub_mb_type[blk >> 2] != SubMbB_Direct_8x8 && ((m.sub_mb_type[blk >> 2] >> (3 + list)) & 1);
  const bool second = (t & 1) ? blk >= 8 : (t & 2) ? (blk & 4) != 0 : false;
  return (t >> ((second ? 2 : 4) + list)) & 1;
}

// Whether quadrant q's partition of record n is predicted from `list`.
bool plain_uses_list(const MacroblockRecord* n, int blk, int list) {
  const uint8_t t = n->mb_type;
  if ((t & 0xDC) == 0) return (n->sub_mb_type[blk >> 2] >> (3 + list)) & 1;
  const bool second = (t & 1) ? blk >= 8 : (t & 2) ? (blk & 4) != 0 : false;
  return (t >> ((second ? 2 : 4) + list)) & 1;
}

// condTerm of ref_idx read straight off record n, quadrant q.
uint32_t plain_ref_cond(const MacroblockRecord* n, int q, int list, int threshold) {
  if (!n || mb_is_skipped(n->mb_type) || mb_is_intra(n->mb_type) || !plain_uses_list(n, 4 * q, list)) return 0;
  if (n->mb_type == MbB_Direct_16x16 || ((n->mb_type & 0xDC) == 0 && n->sub_mb_type[q] == SubMbB_Direct_8x8)) return 0;
  return static_cast<uint8_t>((list ? n->ref_idx_l1 : n->ref_idx_l0)[q]) > threshold ? 1u : 0u;
}

uint8_t plain_ref(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb, int list, int q) {
  const uint32_t active = (list ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1) + 1u;
  if (active == 1 && !mb->mb_field_decoding_flag) return 0;
  const bool curFrame = mb->mb_structure == 2;
  uint32_t condA = 0, condB = 0;
  if (q & 1) {
    condA = plain_ref_cond(mb, q - 1, list, 0);
  } else if (const MacroblockRecord* a = mb->neighbour_a) {
    const bool leftFrame = a->mb_structure == 2;
    if (curFrame && !leftFrame)
      condA = plain_ref_cond(a, (mb->mb_addr & 1) ? 3 : 1, list, 1);
    else if (!curFrame && leftFrame)
      condA = plain_ref_cond(q == 0 ? a : a + 1, 1, list, 0);
    else
      condA = plain_ref_cond(a, q + 1, list, 0);
  }
  if (q & 2)
    condB = plain_ref_cond(mb, q - 2, list, 0);
  else if (const MacroblockRecord* b = mb->neighbour_b)
    condB = plain_ref_cond(b, q + 2, list, curFrame && b->mb_structure != 2 ? 1 : 0);
  const uint32_t v =
      cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_ref_idx_bins(e, ctx + kCtxRefIdx, condA + 2 * condB); });
  if (v < (mb->mb_field_decoding_flag ? 2 * active : active)) return static_cast<uint8_t>(v);
  cabac_mark_damaged(&tb->reader);
  return 0;
}

// |mvd| of one component of block blk of record n as the context sees it
// from the current macroblock (MBAFF vertical scaling included).
uint32_t plain_abs_mvd(const MacroblockRecord* mb, const MacroblockRecord* n, int blk, int list, int comp, bool mbaff) {
  if (!n || mb_is_skipped(n->mb_type) || mb_is_intra(n->mb_type)) return 0;
  if ((n->mb_type & 0xDC) != 0 && (n->mb_type & 3) == 3) return 0;  // B_Direct_16x16
  if (!plain_uses_list(n, blk, list)) return 0;
  uint32_t v = static_cast<uint32_t>(std::abs((list ? n->mvd_l1 : n->mvd_l0)[blk][comp]));
  if (mbaff && comp == 1 && (mb->mb_structure == 2) != (n->mb_structure == 2))
    v = mb->mb_structure == 2 ? 2 * v : v >> 1;
  return v;
}

// One mvd pair into the blocks of `cover` (bit k: block first + k).
void plain_mvd(ThreadBuffer* tb, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb, int list, int first,
               uint32_t cover) {
  static const uint8_t kLeft[16] = {5, 0, 7, 2, 1, 4, 3, 6, 13, 8, 15, 10, 9, 12, 11, 14};
  static const uint8_t kUp[16] = {10, 11, 0, 1, 14, 15, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13};
  const bool mbaff = s->MbaffFrameFlag != 0;
  const MacroblockRecord* left = mb;
  int leftBlk = kLeft[first];
  if (first == 0 || first == 2 || first == 8 || first == 10) {
    left = mb->neighbour_a;
    const bool lower = first >= 8, odd = (first & 2) != 0;
    leftBlk = 5 + 2 * odd + 8 * lower;
    if (left && mbaff && (mb->mb_structure == 2) != (left->mb_structure == 2)) {
      if (mb->mb_structure != 2) {
        if (lower) left = left + 1;
        leftBlk = odd ? 13 : 5;
      } else {
        leftBlk = ((mb->mb_addr & 1) ? 13 : 5) + 2 * lower;
      }
    }
  }
  const MacroblockRecord* up = (first == 0 || first == 1 || first == 4 || first == 5) ? mb->neighbour_b : mb;
  int16_t v[2];
  for (int comp = 0; comp < 2; ++comp) {
    const uint32_t sum =
        plain_abs_mvd(mb, left, leftBlk, list, comp, mbaff) + plain_abs_mvd(mb, up, kUp[first], list, comp, mbaff);
    CabacContext* group = ctx + (comp ? kCtxMvdY : kCtxMvdX);
    v[comp] = static_cast<int16_t>(
        cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mvd_bins(e, group, cabac_mvd_inc(sum)); }));
  }
  for (int k = 0; k < 16; ++k)
    if (cover & (1u << k))
      (list ? mb->mvd_l1 : mb->mvd_l0)[first + k][0] = v[0], (list ? mb->mvd_l1 : mb->mvd_l0)[first + k][1] = v[1];
}

void plain_layer(ThreadBuffer* tb, CabacContext* ctx, SliceDataState* s, MacroblockRecord* mb) {
  const bool bSlice = s->sliceType == 1;
  const uint8_t t = mb->mb_type =
      s->sliceType == 2
          ? cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_type_I_slice(e, ctx + kCtxMbType, mb); })
      : bSlice ? cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_type_B_slice(e, ctx + kCtxMbType, mb); })
               : cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_type_P_slice(e, ctx + kCtxMbType); });
  if (t == MbI_PCM) {
    DecodeIPCMMacroBlock(&tb->reader, s, mb);
    cabac_initialize_engine(tb);
    return;
  }
  bool noSub8x8 = true;
  if ((t & 0xDC) == 0) {
    for (int q = 0; q < 4; ++q)
      mb->sub_mb_type[q] =
          bSlice
              ? cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_sub_mb_type_B_slice(e, ctx + kCtxSubMbType); })
              : cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_sub_mb_type_P_slice(e, ctx + kCtxSubMbType); });
    for (int list = 0; list < 1 + bSlice; ++list)
      for (int q = 0; q < 4; ++q) {
        const uint8_t c = mb->sub_mb_type[q];
        int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
        ref[q] = c == SubMbB_Direct_8x8     ? 0
                 : !((c >> (3 + list)) & 1) ? -1
                 : t == MbP_8x8ref0         ? 0
                                            : plain_ref(tb, ctx, s, mb, list, q);
      }
    static const uint8_t kFirst[4][4] = {{0}, {0, 2}, {0, 1}, {0, 1, 2, 3}}, kCount[4] = {1, 2, 2, 4},
                         kCover[4] = {0xF, 3, 5, 1};
    for (int list = 0; list < 1 + bSlice; ++list)
      for (int q = 0; q < 4; ++q) {
        const uint8_t c = mb->sub_mb_type[q], shape = (c >> 5) & 3;
        if (c == SubMbB_Direct_8x8) std::memset(list ? mb->mvd_l1[4 * q] : mb->mvd_l0[4 * q], 0, 16);
        if (c == SubMbB_Direct_8x8 || !((c >> (3 + list)) & 1)) continue;
        for (int k = 0; k < kCount[shape]; ++k)
          plain_mvd(tb, ctx, s, mb, list, 4 * q + kFirst[shape][k], kCover[shape]);
      }
    for (int q = 0; q < 4; ++q) {
      const uint8_t c = mb->sub_mb_type[q];
      if (c == SubMbB_Direct_8x8 ? !s->direct_8x8_inference_flag : (c & 7) > 1) noSub8x8 = false;
    }
  } else if (mb_is_intra(t)) {
    mb->transform_size_8x8_flag =
        s->transform_8x8_mode_flag && t == MbI_NxN
            ? static_cast<uint8_t>(cabac_test_decode(
                  tb, [&](CabacLocal& e) { return cabac_transform_size_8x8_flag(e, ctx + kCtxTransform8x8, mb); }))
            : 0;
    for (int blk = 0; t == MbI_NxN && blk < 16; blk += mb->transform_size_8x8_flag ? 4 : 1) {
      const int pred = predicted_intra_mode(s, mb, blk, mb->transform_size_8x8_flag);
      int mode = pred;
      if (!cabac_test_decode(
              tb, [&](CabacLocal& e) { return cabac_prev_intraNxN_pred_mode_flag(e, ctx + kCtxPrevIntraMode); })) {
        mode = static_cast<int>(cabac_test_decode(
            tb, [&](CabacLocal& e) { return cabac_rem_intraNxN_pred_mode(e, ctx + kCtxRemIntraMode); }));
        if (mode >= pred) ++mode;
      }
      std::memset(mb->intra_pred_mode + blk, mode, mb->transform_size_8x8_flag ? 4 : 1);
    }
    mb->intra_chroma_pred_mode = static_cast<uint8_t>(cabac_test_decode(
        tb, [&](CabacLocal& e) { return cabac_intra_chroma_pred_mode(e, ctx + kCtxIntraChroma, mb); }));
  } else if (t == MbB_Direct_16x16) {
    std::memset(mb->ref_idx_l0, 0, 4);
    std::memset(mb->ref_idx_l1, 0, 4);
  } else {
    // 16x16, 16x8, 8x16: partitions' quadrant sets and first blocks.
    static const uint8_t kQuads[3][2] = {{0xF, 0}, {0x3, 0xC}, {0x5, 0xA}}, kBlock[3][2] = {{0, 0}, {0, 8}, {0, 4}};
    static const uint16_t kBlocks[3][2] = {{0xFFFF, 0}, {0xFF, 0xFF}, {0xF0F, 0xF0F}};
    const int shape = t & 3, parts = shape ? 2 : 1;
    const uint32_t pred[2] = {(t >> 4) & 3u, shape ? (t >> 2) & 3u : (t >> 4) & 3u};
    for (int list = 0; list < 2; ++list)
      for (int p = 0; p < parts; ++p) {
        const int8_t v = (pred[p] >> list) & 1 ? plain_ref(tb, ctx, s, mb, list, kBlock[shape][p] >> 2) : -1;
        for (int q = 0; q < 4; ++q)
          if (kQuads[shape][p] & (1 << q)) (list ? mb->ref_idx_l1 : mb->ref_idx_l0)[q] = v;
      }
    for (int list = 0; list < 2; ++list)
      for (int p = 0; p < parts; ++p)
        if ((pred[p] >> list) & 1) plain_mvd(tb, ctx, s, mb, list, kBlock[shape][p], kBlocks[shape][p]);
  }
  const bool i16 = t >= MbI_16x16_First && t <= MbI_16x16_Last;
  if (i16) {
    mb->cbp_luma = t >= 77 ? 15 : 0;
    mb->cbp_chroma = static_cast<uint8_t>(((t - 65) >> 2) % 3 == 2 ? 3 : ((t - 65) >> 2) % 3);
  } else {
    mb->cbp_luma = static_cast<uint8_t>(cabac_test_decode(tb, [&](CabacLocal& e) {
      return cabac_coded_block_pattern_luma(e, ctx + kCtxCbpLuma, mb, s->MbaffFrameFlag);
    }));
    mb->cbp_chroma = static_cast<uint8_t>(cabac_test_decode(
        tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_chroma(e, ctx + kCtxCbpChroma, mb); }));
    if (mb->cbp_luma && s->transform_8x8_mode_flag && t != MbI_NxN && noSub8x8 &&
        (t != MbB_Direct_16x16 || s->direct_8x8_inference_flag))
      mb->transform_size_8x8_flag = static_cast<uint8_t>(cabac_test_decode(
          tb, [&](CabacLocal& e) { return cabac_transform_size_8x8_flag(e, ctx + kCtxTransform8x8, mb); }));
    if (!mb->cbp_luma && !mb->cbp_chroma) {
      s->lastMbQpDelta = 0;
      update_qp(s, mb, 0, false);
      return;
    }
  }
  s->lastMbQpDelta =
      cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_qp_delta(e, ctx + kCtxMbQpDelta, s->lastMbQpDelta); });
  update_qp(s, mb, s->lastMbQpDelta, true);
  const ResidualQuant q{s->ls4x4, s->ls8x8, s->QPY, s->QPCb, s->QPCr, s->MbaffFrameFlag};
  if (mb->transform_size_8x8_flag)
    cabac_residual_8x8(tb, mb, ctx, q);
  else if (i16)
    cabac_residual_16x16(tb, mb, ctx, q);
  else
    cabac_residual_4x4(tb, mb, ctx, q);
}

// Reconstruction alongside parsing writes the derived ref_idx of direct
// quadrants into finished records: the sink does the same with a marker.
struct ScribblingSink : MacroblockSink {
  MacroblockRecord* records;
  uint32_t first, done;
  static void scribble(MacroblockSink* base, uint32_t count) {
    auto* self = static_cast<ScribblingSink*>(base);
    for (; self->done < count; ++self->done) {
      MacroblockRecord& m = self->records[self->first + self->done];
      for (int q = 0; q < 4; ++q)
        if (mb_is_skipped(m.mb_type) || m.mb_type == MbB_Direct_16x16 ||
            ((m.mb_type & 0xDC) == 0 && m.sub_mb_type[q] == SubMbB_Direct_8x8))
          m.ref_idx_l0[q] = m.ref_idx_l1[q] = 5;
    }
  }
};

uint32_t plain_walk(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx, MacroblockSink* sink) {
  BitReaderCabac* r = &tb->reader;
  slice_start(s);
  bs_align(r);
  cabac_initialize_engine(tb);
  MacroblockRecord* mb = s->records + s->CurrMbAddr;
  const bool iSlice = s->sliceType == 2, bSlice = s->sliceType == 1, mbaff = s->MbaffFrameFlag;
  for (;;) {
    s->currentMb = mb;
    setup_record(s, mb, iSlice);
    if (mbaff && !iSlice) SetNeighbourMacroblocks_mbaff_for_p_b(s, mb);
    if (!iSlice && cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_skip_flag(e, ctx + kCtxMbSkip, mb); })) {
      setup_skipped(s, mb, bSlice);
    } else {
      if (!iSlice) {
        mb->transform_size_8x8_flag = 0;
        std::memset(mb->luma_coeff, 0, sizeof mb->luma_coeff);
        std::memset(mb->chroma_coeff, 0, sizeof mb->chroma_coeff);
        if (!bSlice) std::memset(mb->ref_idx_l1, 0xFF, 4);
      }
      if (mbaff) {
        // The pair's flag: decoded for a top macroblock and a bottom one
        // under a skipped top, with the left and upper pairs' flags as
        // condTerms.
        const uint32_t top = mb->mb_addr & ~1u, w = s->widthInMbs;
        const bool decoded = top == mb->mb_addr || mb_is_skipped((mb - 1)->mb_type);
        uint8_t flag = decoded ? 0 : (mb - 1)->mb_field_decoding_flag;
        if (decoded) {
          const uint32_t inc =
              (top % (2 * w) && top != s->firstMbAddr ? s->records[top - 2].mb_field_decoding_flag : 0) +
              (top >= s->firstMbAddr + 2 * w ? s->records[top - 2 * w].mb_field_decoding_flag : 0);
          flag = static_cast<uint8_t>(cabac_test_decision(tb, ctx + kCtxMbField + inc));
        }
        SetNeighbourMacroblocks_coded_mbaff(s, mb, flag);
      }
      plain_layer(tb, ctx, s, mb);
    }
    if (r->overrun) return kSliceFailed;
    transform_macroblock(mb);
    hand_over(s, sink, mb);
    if ((!mbaff || (mb->mb_addr & 1)) && cabac_test_terminate(tb))
      return cabac_slice_ends_here(r) ? kSliceDone : kSliceFailed;
    if (s->CurrMbAddr + 1 >= s->mbCount) return kSliceFailed;
    ++s->CurrMbAddr;
    ++mb;
    if (!mbaff) link_neighbours(s, mb);
  }
}

TEST_F(CabacSlice, RandomSlicesMatchTheElementDecoders) {
  std::mt19937 rng(2024);
  int compared = 0;
  for (int round = 0; round < 400; ++round) {
    const uint32_t width = 2 + rng() % 4, height = 2 * (1 + rng() % 3);
    const uint8_t type = static_cast<uint8_t>(rng() % 3 == 0 ? 2 : rng() % 2);
    Picture fast(width * height), plain(width * height);
    // Records keep what an earlier picture left in them.
    for (size_t i = 0; i < sizeof(MacroblockRecord) * fast.count; ++i)
      reinterpret_cast<uint8_t*>(fast.records)[i] = reinterpret_cast<uint8_t*>(plain.records)[i] =
          static_cast<uint8_t>(rng());
    // As a decoded picture leaves them: coefficients only in the blocks the
    // record's note names.
    for (Picture* p : {&fast, &plain})
      for (uint32_t i = 0; i < p->count; ++i) {
        MacroblockRecord& m = p->records[i];
        for (int b = 0; b < 16; ++b)
          if (((m.coeff_dirty >> b) & 1u) == 0) std::fill_n(m.luma_coeff + 16 * b, 16, int16_t{0});
        if ((m.coeff_dirty & kCoeffDirtyChroma) == 0) std::fill_n(m.chroma_coeff, 128, int16_t{0});
      }
    SliceDataState s = state(fast, width, type);
    s.MbaffFrameFlag = static_cast<uint8_t>(round & 1);
    s.structure = s.MbaffFrameFlag ? 2 : static_cast<uint8_t>(rng() % 3);
    s.transform_8x8_mode_flag = static_cast<uint8_t>(rng() & 1);
    s.direct_8x8_inference_flag = static_cast<uint8_t>(rng() & 1);
    s.num_ref_idx_l0_active_minus1 = static_cast<uint8_t>(rng() % 16);
    s.num_ref_idx_l1_active_minus1 = static_cast<uint8_t>(rng() % 16);
    SliceDataState t = s;
    t.records = t.firstMb = t.currentMb = plain.records;
    const int8_t qp = static_cast<int8_t>(rng() % 52);
    const uint8_t idc = static_cast<uint8_t>(rng() % 3);
    if (type == 2) cabac_init_contexts_i_slice(qp, dec);
    if (type == 0) cabac_init_contexts_p_slice(qp, dec, idc);
    if (type == 1) cabac_init_contexts_b_slice(qp, dec, idc);
    std::memcpy(enc, dec, sizeof dec);
    std::vector<uint8_t> bytes(64 + rng() % 2000);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    const std::vector<uint8_t> data = cabac_test_words(bytes);
    ThreadBuffer ta{}, tb{};
    bs_init(&ta.reader, data.data(), static_cast<uint32_t>(bytes.size()));
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(bytes.size()));
    ScribblingSink sa, sb;
    sa.ready = sb.ready = ScribblingSink::scribble;
    sa.step = sb.step = sa.next = sb.next = 1;
    sa.records = fast.records;
    sb.records = plain.records;
    sa.first = sb.first = sa.done = sb.done = 0;
    const uint32_t got = decode_slice_data_cabac(&ta, &s, dec, &sa);
    const uint32_t want = plain_walk(&tb, &t, enc, &sb);
    ASSERT_EQ(got == kSliceDone, want == kSliceDone) << "round " << round;
    ASSERT_EQ(s.CurrMbAddr, t.CurrMbAddr) << "round " << round;
    for (uint32_t n = 0; n <= s.CurrMbAddr; ++n, ++compared) {
      const MacroblockRecord &a = fast.records[n], &b = plain.records[n];
      const std::string at = "round " + std::to_string(round) + " macroblock " + std::to_string(n);
      ASSERT_EQ(a.mb_type, b.mb_type) << at;
      auto index = [](const MacroblockRecord* n, const Picture& p) { return n ? n - p.records : -1; };
      EXPECT_EQ(index(a.neighbour_a, fast), index(b.neighbour_a, plain)) << at;
      EXPECT_EQ(index(a.neighbour_b, fast), index(b.neighbour_b, plain)) << at;
      EXPECT_EQ(a.mb_structure, b.mb_structure) << at;
      EXPECT_EQ(a.mb_field_decoding_flag, b.mb_field_decoding_flag) << at;
      EXPECT_EQ(a.cbp_luma, b.cbp_luma) << at;
      EXPECT_EQ(a.cbp_chroma, b.cbp_chroma) << at;
      EXPECT_EQ(a.transform_size_8x8_flag, b.transform_size_8x8_flag) << at;
      EXPECT_EQ(a.qp_y, b.qp_y) << at;
      EXPECT_EQ(0, std::memcmp(a.ref_idx_l0, b.ref_idx_l0, 4)) << at;
      EXPECT_EQ(0, std::memcmp(a.ref_idx_l1, b.ref_idx_l1, 4)) << at;
      EXPECT_EQ(0, std::memcmp(a.luma_coeff, b.luma_coeff, sizeof a.luma_coeff)) << at;
      EXPECT_EQ(0, std::memcmp(a.chroma_coeff, b.chroma_coeff, sizeof a.chroma_coeff)) << at;
      if (mb_is_intra(a.mb_type) && a.mb_type != MbI_PCM) {
        EXPECT_EQ(0, std::memcmp(a.intra_pred_mode, b.intra_pred_mode, 16)) << at;
        EXPECT_EQ(a.intra_chroma_pred_mode, b.intra_chroma_pred_mode) << at;
      }
      if ((a.mb_type & 0xDC) == 0) {
        EXPECT_EQ(0, std::memcmp(a.sub_mb_type, b.sub_mb_type, 4)) << at;
      }
      for (int blk = 0; blk < 16; ++blk)
        for (int list = 0; list < 2; ++list)
          if (block_has_mvd(a, blk, list)) {
            EXPECT_EQ(0, std::memcmp(list ? a.mvd_l1[blk] : a.mvd_l0[blk], list ? b.mvd_l1[blk] : b.mvd_l0[blk], 4))
                << at << " block " << blk << " list " << list << " type " << int(a.mb_type) << " sub "
                << int(a.sub_mb_type[0]) << " " << int(a.sub_mb_type[1]) << " " << int(a.sub_mb_type[2]) << " "
                << int(a.sub_mb_type[3]) << " fast " << a.mvd_l0[blk][0] << "," << a.mvd_l0[blk][1] << " plain "
                << b.mvd_l0[blk][0] << "," << b.mvd_l0[blk][1];
          }
    }
    ASSERT_EQ(ta.reader.pWord, tb.reader.pWord) << "round " << round;
    ASSERT_EQ(ta.reader.bitPos, tb.reader.bitPos) << "round " << round;
    for (uint32_t i = 0; i < kCabacContextCount; ++i)
      ASSERT_TRUE(dec[i].pStateIdx == enc[i].pStateIdx && dec[i].valMPS == enc[i].valMPS)
          << "round " << round << " context " << i << " at " << s.CurrMbAddr << " type " << int(type) << " result "
          << got << " mbtypes " << int(fast.records[0].mb_type) << " " << int(plain.records[0].mb_type);
  }
  EXPECT_GT(compared, 2000);
}

}  // namespace
