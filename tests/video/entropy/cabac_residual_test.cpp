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
