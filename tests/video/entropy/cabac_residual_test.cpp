// CABAC residual decoding against blocks written by a test encoder that
// follows the standard's binarisation (significance map, last flags,
// truncated-unary levels with an Exp-Golomb suffix, bypass signs).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "cabac_residual.h"
#include "cabac_syntax.h"
#include "cabac_test_encoder.h"

namespace {

constexpr uint32_t kSig4x4[5] = {0, 15, 29, 44, 47};
constexpr uint32_t kLevel4x4[5] = {0, 10, 20, 30, 39};

struct Quant {
  int32_t ls4x4[6][6][16];
  int32_t ls8x8[2][6][64];
  ResidualQuant q;
  explicit Quant(int32_t qp) {
    for (int t = 0; t < 6; ++t)
      for (int m = 0; m < 6; ++m)
        for (int i = 0; i < 16; ++i) ls4x4[t][m][i] = 16 + i + 3 * m + t;
    for (int t = 0; t < 2; ++t)
      for (int m = 0; m < 6; ++m)
        for (int i = 0; i < 64; ++i) ls8x8[t][m][i] = 20 + i + m + t;
    q = {ls4x4, ls8x8, qp, qp, qp, 0};
  }
};

int16_t dequant(int32_t c, int32_t scale, int32_t qp, int32_t bits) {
  const int32_t per = qp / 6;
  if (per < bits) return static_cast<int16_t>((c * scale + (1 << (bits - 1 - per))) >> (bits - per));
  return static_cast<int16_t>(c * scale * (1 << (per - bits)));
}

MacroblockRecord* fresh_record(std::vector<MacroblockRecord>* store) {
  store->assign(1, MacroblockRecord{});
  MacroblockRecord* mb = store->data();
  std::memset(mb, 0, sizeof *mb);
  mb->mb_structure = 2;
  return mb;
}

TEST(CabacResidual, Luma4x4BlocksAndNeighbourFlags) {
  std::mt19937 rng(99);
  for (int qp : {0, 23, 24, 35, 51}) {
    for (int round = 0; round < 20; ++round) {
      CabacContext enc[kCabacContextCount], dec[kCabacContextCount];
      cabac_init_contexts_p_slice(static_cast<int8_t>(qp), enc, 0);
      std::memcpy(dec, enc, sizeof enc);
      std::vector<MacroblockRecord> store;
      MacroblockRecord* mb = fresh_record(&store);
      mb->mb_type = 20;  // inter: absent neighbours count as not coded
      mb->cbp_luma = static_cast<uint8_t>(rng() & 15);
      const bool field = round & 1;
      if (field) mb->mb_structure = 0;
      int32_t coeffs[16][16] = {};
      uint16_t mask = 0;
      CabacTestEncoder e;
      for (uint32_t blk = 0; blk < 16; ++blk) {
        if (!((mb->cbp_luma >> (blk >> 2)) & 1)) continue;
        const bool coded = rng() % 3 != 0;
        // Neighbour conditions: inside blocks read the mask built so far.
        static const uint8_t kLeft[16] = {5, 0, 7, 2, 1, 4, 3, 6, 13, 8, 15, 10, 9, 12, 11, 14};
        static const uint8_t kUp[16] = {10, 11, 0, 1, 14, 15, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13};
        const bool leftInside = !(blk == 0 || blk == 2 || blk == 8 || blk == 10);
        const bool upInside = !(blk == 0 || blk == 1 || blk == 4 || blk == 5);
        const uint32_t condA = leftInside ? (mask >> kLeft[blk]) & 1 : 0;
        const uint32_t condB = upInside ? (mask >> kUp[blk]) & 1 : 0;
        e.decision(&enc[kCtxCodedBlockFlag + 8 + condA + 2 * condB], coded);
        if (!coded) continue;
        mask = static_cast<uint16_t>(mask | (1u << blk));
        for (int i = 0; i < 16; ++i) {
          const uint32_t r = rng() % 100;
          coeffs[blk][i] = r < 50 ? 0 : (r < 80 ? 1 : static_cast<int32_t>(rng() % 40) + 1) * ((rng() & 1) ? -1 : 1);
        }
        if (blk == 3) coeffs[blk][15] = 3000;  // escape suffix
        coeffs[blk][rng() % 16] = 2;           // never empty
        const BlockCtxSet s = {(field ? kCtxSigField : kCtxSigFrame) + kSig4x4[2],
                               (field ? kCtxLastField : kCtxLastFrame) + kSig4x4[2], kCtxLevel + kLevel4x4[2],
                               kIdentity, kIdentity};
        encode_block(&e, enc, s, coeffs[blk], 16);
      }
      CabacContext pad{20, 1}, padEnc = pad;
      e.decision(&padEnc, 1);
      e.terminate(1);
      size_t payload = 0;
      const std::vector<uint8_t> data = e.bytes(&payload);
      ThreadBuffer tb{};
      cabac_test_start(&tb, data, payload);
      Quant quant(qp);
      cabac_residual_4x4(&tb, mb, dec, quant.q);
      ASSERT_EQ(mb->luma_nonzero_mask, mask);
      const uint8_t* scan = field ? FIELD_SCAN4x4 : FRAME_SCAN4x4;
      for (int blk = 0; blk < 16; ++blk) {
        int16_t want[16] = {};
        for (int i = 0; i < 16; ++i)
          if (coeffs[blk][i]) want[scan[i]] = dequant(coeffs[blk][i], quant.ls4x4[3][qp % 6][scan[i]], qp, 4);
        for (int i = 0; i < 16; ++i) ASSERT_EQ(mb->luma_coeff[16 * blk + i], want[i]) << "block " << blk << " index " << i;
      }
      EXPECT_EQ(cabac_test_decision(&tb, &pad), 1u);
      EXPECT_EQ(cabac_test_terminate(&tb), 1u);
      EXPECT_EQ(cabac_test_bits_read(&tb, data), e.bit_count());
      EXPECT_EQ(0, std::memcmp(enc, dec, sizeof enc));
    }
  }
}

// The left neighbour of luma row yN (0..15) outside the macroblock: the
// record and row in it, by the pair rules of MBAFF frames (pair lt, lt + 1)
// or the plain left macroblock.
std::pair<const MacroblockRecord*, int> left_row(const MacroblockRecord* lt, bool mbaff, bool curFrame, bool curBottom,
                                                 int yN) {
  if (!lt || !mbaff) return {lt, yN};
  const MacroblockRecord* lb = lt + 1;
  const bool leftFrame = lt->mb_structure == kFrame;
  if (curFrame && leftFrame) return {curBottom ? lb : lt, yN};
  if (curFrame) return {yN % 2 ? lb : lt, (yN + (curBottom ? 16 : 0)) >> 1};
  if (!leftFrame) return {curBottom ? lb : lt, yN};
  const int y = 2 * yN + (curBottom ? 1 : 0);
  return {y < 16 ? lt : lb, y % 16};
}

// coded_block_flag condition of luma block blk of an outside neighbour n.
uint32_t outside_cond(const MacroblockRecord* n, int blk, bool curIntra) {
  if (!n) return curIntra;
  if (n->mb_type == MbI_PCM) return 1;
  if (mb_is_skipped(n->mb_type) || !((n->cbp_luma >> (blk / 4)) & 1)) return 0;
  return (n->luma_nonzero_mask >> blk) & 1;
}

TEST(CabacResidual, LumaQuadrantsReadNeighboursOfEveryPairKind) {
  // Records: left pair, current pair, upper macroblock. Each case draws the
  // pair kinds, which macroblock of the pair is decoded, the neighbours'
  // kinds (absent, I_PCM, skipped, coded) and masks, Intra16x16 AC or luma
  // 4x4; the blocks' coded_block_flag contexts follow the standard's
  // neighbour derivation, so a wrong neighbour desynchronises the decoder.
  std::mt19937 rng(3);
  auto blkIdx = [](int x, int y) { return (x & 1) + 2 * (y & 1) + 4 * (x >> 1) + 8 * (y >> 1); };
  for (int round = 0; round < 400; ++round) {
    std::vector<MacroblockRecord> rec(5);
    std::memset(rec.data(), 0, rec.size() * sizeof(MacroblockRecord));
    const bool mbaff = round % 4 != 0, leftFrame = rng() & 1, curFrame = !mbaff || (rng() & 1);
    const bool bottom = mbaff && (rng() & 1), i16 = rng() % 3 == 0;
    for (int k = 0; k < 5; ++k) {
      rec[k].mb_addr = static_cast<uint32_t>(k);
      rec[k].mb_structure = static_cast<uint8_t>(k < 2 && !leftFrame ? k : static_cast<int>(kFrame));
      const uint32_t kind = rng() % 6;
      rec[k].mb_type = kind == 0 ? MbI_PCM : kind == 1 ? 0x80 : 20;
      rec[k].cbp_luma = static_cast<uint8_t>(rng() & 15);
      rec[k].luma_nonzero_mask = static_cast<uint16_t>(rng());
    }
    MacroblockRecord* mb = &rec[2 + bottom];
    std::memset(mb, 0, sizeof *mb);
    mb->mb_addr = 2u + bottom;
    mb->mb_structure = static_cast<uint8_t>(curFrame ? kFrame : bottom ? kBottomField : kTopField);
    mb->mb_type = i16 ? 80 : (rng() & 1) ? MbI_NxN : 20;
    mb->cbp_luma = static_cast<uint8_t>(i16 ? 15 : rng() & 15);
    MacroblockRecord* lt = rng() % 5 ? &rec[0] : nullptr;
    mb->neighbour_a = lt && mbaff && curFrame == leftFrame && bottom ? lt + 1 : lt;
    mb->neighbour_b = rng() % 5 ? &rec[4] : nullptr;
    const bool intra = mb_is_intra(mb->mb_type), field = mb->mb_structure != kFrame;
    CabacContext enc[kCabacContextCount], dec[kCabacContextCount];
    cabac_init_contexts_i_slice(30, enc);
    std::memcpy(dec, enc, sizeof enc);
    CabacTestEncoder e;
    if (i16) {  // DC block not coded
      auto dcCond = [](const MacroblockRecord* n) { return !n || n->mb_type == MbI_PCM ? 1u : 0u; };
      e.decision(&enc[kCtxCodedBlockFlag + dcCond(mb->neighbour_a) + 2 * dcCond(mb->neighbour_b)], 0);
    }
    const uint32_t cat = i16 ? 1 : 2, n = i16 ? 15 : 16;
    const BlockCtxSet set = {(field ? kCtxSigField : kCtxSigFrame) + kSig4x4[cat],
                             (field ? kCtxLastField : kCtxLastFrame) + kSig4x4[cat], kCtxLevel + kLevel4x4[cat],
                             kIdentity, kIdentity};
    int32_t coeffs[16][16] = {};
    uint16_t mask = 0;
    for (int blk = 0; blk < 16; ++blk) {
      if (!((mb->cbp_luma >> (blk / 4)) & 1)) continue;
      const int x = (blk & 1) + 2 * ((blk >> 2) & 1), y = ((blk >> 1) & 1) + 2 * (blk >> 3);
      uint32_t condA, condB;
      if (x > 0) {
        condA = (mask >> blkIdx(x - 1, y)) & 1;
      } else {
        const auto [r, yM] = left_row(lt, mbaff, curFrame, bottom, 4 * y);
        condA = outside_cond(r, blkIdx(3, yM / 4), intra);
      }
      condB = y > 0 ? (mask >> blkIdx(x, y - 1)) & 1 : outside_cond(mb->neighbour_b, blkIdx(x, 3), intra);
      const bool coded = rng() % 4 != 0;
      e.decision(&enc[kCtxCodedBlockFlag + 4 * cat + condA + 2 * condB], coded);
      if (!coded) continue;
      mask = static_cast<uint16_t>(mask | (1u << blk));
      for (uint32_t i = 0; i < n; ++i) coeffs[blk][i] = rng() % 3 == 0 ? static_cast<int32_t>(rng() % 7) - 3 : 0;
      coeffs[blk][rng() % n] = -2;
      encode_block(&e, enc, set, coeffs[blk], static_cast<int>(n));
    }
    e.terminate(1);
    size_t payload = 0;
    const std::vector<uint8_t> data = e.bytes(&payload);
    ThreadBuffer tb{};
    cabac_test_start(&tb, data, payload);
    Quant quant(30);
    quant.q.mbaff = mbaff;
    if (i16)
      cabac_residual_16x16(&tb, mb, dec, quant.q);
    else
      cabac_residual_4x4(&tb, mb, dec, quant.q);
    ASSERT_EQ(mb->luma_nonzero_mask, mask) << "round " << round;
    const uint8_t* scan = (field ? FIELD_SCAN4x4 : FRAME_SCAN4x4) + (16 - n);
    for (int blk = 0; blk < 16; ++blk)
      for (uint32_t i = 0; i < n; ++i)
        ASSERT_EQ(mb->luma_coeff[16 * blk + scan[i]],
                  coeffs[blk][i] ? dequant(coeffs[blk][i], quant.ls4x4[intra ? 0 : 3][0][scan[i]], 30, 4) : 0)
            << "round " << round << " block " << blk;
    EXPECT_EQ(cabac_test_terminate(&tb), 1u);
    EXPECT_EQ(cabac_test_bits_read(&tb, data), e.bit_count());
  }
}

TEST(CabacResidual, Luma8x8AndChroma) {
  std::mt19937 rng(5);
  for (int qp : {10, 35, 36, 51}) {
    CabacContext enc[kCabacContextCount], dec[kCabacContextCount];
    cabac_init_contexts_i_slice(static_cast<int8_t>(qp), enc);
    std::memcpy(dec, enc, sizeof enc);
    std::vector<MacroblockRecord> store;
    MacroblockRecord* mb = fresh_record(&store);
    mb->mb_type = MbI_NxN;
    mb->transform_size_8x8_flag = 1;
    mb->cbp_luma = 0x9;
    mb->cbp_chroma = 3;
    int32_t luma[4][64] = {};
    CabacTestEncoder e;
    for (int quad : {0, 3}) {
      for (int i = 0; i < 64; ++i) luma[quad][i] = rng() % 4 == 0 ? static_cast<int32_t>(rng() % 9) - 4 : 0;
      luma[quad][quad == 0 ? 63 : 5] = -7;
      const BlockCtxSet s = {kCtxSig8x8Frame, kCtxLast8x8Frame, kCtxLevel8x8, MapScanPos_SigCoeff_i8x8_frame,
                             MapScanPos_LastCoeff_i8x8};
      encode_block(&e, enc, s, luma[quad], 64);
    }
    // Chroma DC: Cb coded (absent neighbours of an intra macroblock count
    // as coded), Cr not; then AC: Cb block 1 and Cr block 2 coded.
    const uint8_t dcInc[4] = {0, 1, 2, 2};
    const int32_t cbDc[4] = {5, 0, -2, 1};
    e.decision(&enc[kCtxCodedBlockFlag + 12 + 3], 1);
    encode_block(&e, enc, {kCtxSigFrame + 44, kCtxLastFrame + 44, kCtxLevel + 30, dcInc, dcInc}, cbDc, 4);
    e.decision(&enc[kCtxCodedBlockFlag + 12 + 3], 0);
    int32_t ac[8][15] = {};
    ac[1][0] = 4;
    ac[1][14] = -1;
    ac[6][3] = 2;
    uint32_t acMask = 0;
    for (int c = 0; c < 2; ++c) {
      for (int b = 0; b < 4; ++b) {
        const uint32_t condA = (b & 1) ? (acMask >> (16 * c + b - 1)) & 1 : 1;
        const uint32_t condB = (b & 2) ? (acMask >> (16 * c + b - 2)) & 1 : 1;
        const bool coded = (c == 0 && b == 1) || (c == 1 && b == 2);
        e.decision(&enc[kCtxCodedBlockFlag + 16 + condA + 2 * condB], coded);
        if (!coded) continue;
        acMask |= 1u << (16 * c + b);
        encode_block(&e, enc, {kCtxSigFrame + 47, kCtxLastFrame + 47, kCtxLevel + 39, kIdentity, kIdentity},
                     ac[4 * c + b], 15);
      }
    }
    e.terminate(1);
    size_t payload = 0;
    const std::vector<uint8_t> data = e.bytes(&payload);
    ThreadBuffer tb{};
    cabac_test_start(&tb, data, payload);
    Quant quant(qp);
    cabac_residual_8x8(&tb, mb, dec, quant.q);
    EXPECT_EQ(mb->luma_nonzero_mask, 0xF00F);
    EXPECT_EQ(mb->chroma_nonzero_mask, 1);
    EXPECT_EQ(mb->chroma_ac_cbf_mask, acMask);
    for (int quad : {0, 3})
      for (int i = 0; i < 64; ++i) {
        const int idx = FRAME_SCAN8x8[i];
        const int16_t want = luma[quad][i] ? dequant(luma[quad][i], quant.ls8x8[0][qp % 6][idx], qp, 6) : 0;
        ASSERT_EQ(mb->luma_coeff[64 * quad + idx], want) << quad << " " << i;
      }
    const int32_t f[4] = {cbDc[0] + cbDc[1] + cbDc[2] + cbDc[3], cbDc[0] - cbDc[1] + cbDc[2] - cbDc[3],
                          cbDc[0] + cbDc[1] - cbDc[2] - cbDc[3], cbDc[0] - cbDc[1] - cbDc[2] + cbDc[3]};
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(mb->chroma_coeff[16 * k], static_cast<int16_t>(((f[k] * quant.ls4x4[1][qp % 6][0]) << (qp / 6)) >> 5));
      EXPECT_EQ(mb->chroma_coeff[64 + 16 * k], 0);
    }
    EXPECT_EQ(mb->chroma_coeff[16 * 1 + FRAME_SCAN4x4[1]], dequant(4, quant.ls4x4[1][qp % 6][FRAME_SCAN4x4[1]], qp, 4));
    EXPECT_EQ(mb->chroma_coeff[64 + 16 * 2 + FRAME_SCAN4x4[4]],
              dequant(2, quant.ls4x4[2][qp % 6][FRAME_SCAN4x4[4]], qp, 4));
    EXPECT_EQ(cabac_test_terminate(&tb), 1u);
    EXPECT_EQ(cabac_test_bits_read(&tb, data), e.bit_count());
    EXPECT_EQ(0, std::memcmp(enc, dec, sizeof enc));
  }
}

TEST(CabacResidual, LevelSuffixIsBounded) {
  // Bypass 1-bins without end after fourteen prefix 1-bins: the level stops
  // at the 16-bit bound and the slice is marked.
  CabacContext enc[10], dec[10];
  for (auto& c : enc) c = {5, 1};
  std::memcpy(dec, enc, sizeof enc);
  CabacTestEncoder e;
  for (int i = 0; i < 14; ++i) e.decision(&enc[i == 0 ? 1 : 5], 1);
  for (int i = 0; i < 40; ++i) e.bypass(1);
  e.terminate(1);
  size_t payload = 0;
  const std::vector<uint8_t> data = e.bytes(&payload);
  ThreadBuffer tb{};
  cabac_test_start(&tb, data, payload);
  uint32_t firstKey = CabacLocal::load_key(&dec[1]);  // no level decoded yet: increment 1
  EXPECT_EQ(cabac_test_decode(&tb, [&](CabacLocal& e) { return cabac_coeff_abs_level_minus1(e, firstKey, &dec[5]); }),
            32767u);
  EXPECT_EQ(tb.reader.overrun, kCabacDamaged);
}

TEST(CabacResidual, ScanTablesArePermutations) {
  for (const uint8_t* t : {FRAME_SCAN4x4, FIELD_SCAN4x4}) {
    uint32_t seen = 0;
    for (int i = 0; i < 16; ++i) seen |= 1u << t[i];
    EXPECT_EQ(seen, 0xFFFFu);
  }
  for (int i = 0; i < 63; ++i) {
    EXPECT_LE(MapScanPos_SigCoeff_i8x8_frame[i], 14);
    EXPECT_LE(MapScanPos_SigCoeff_i8x8_field[i], 14);
    EXPECT_LE(MapScanPos_LastCoeff_i8x8[i], 8);
  }
}

}  // namespace
