// The arithmetic decoder against the test encoder, the engine's tables and
// the context initialisation.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "cabac_engine.h"
#include "cabac_test_encoder.h"

namespace {

enum class Kind { kDecision, kBypass, kTerminate0 };

struct Bin {
  Kind kind;
  uint32_t ctx;
  uint32_t value;
};

// Random bins on random contexts, each context skewed towards one value so
// that both long MPS runs and LPS hits occur; ends with a terminate 1.
std::vector<Bin> random_bins(std::mt19937* rng, size_t n) {
  std::vector<Bin> bins;
  std::uniform_int_distribution<uint32_t> ctx(0, 15), pct(0, 99), kind(0, 19);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t k = kind(*rng);
    const uint32_t c = ctx(*rng);
    if (k == 0) {
      bins.push_back({Kind::kTerminate0, 0, 0});
    } else if (k < 4) {
      bins.push_back({Kind::kBypass, 0, pct(*rng) & 1});
    } else {
      // Context c produces a 1 with probability (c * 6)%.
      bins.push_back({Kind::kDecision, c, pct(*rng) < c * 6 ? 1u : 0u});
    }
  }
  return bins;
}

void init_contexts(CabacContext* ctx, std::mt19937* rng) {
  for (int i = 0; i < 16; ++i) {
    ctx[i].pStateIdx = static_cast<uint8_t>((*rng)() % 63);
    ctx[i].valMPS = static_cast<uint8_t>((*rng)() & 1);
  }
}

TEST(CabacEngine, DecodesWhatTheEncoderWrote) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 200; ++round) {
    const std::vector<Bin> bins = random_bins(&rng, 50 + round * 20);
    CabacContext enc[16], dec[16];
    init_contexts(enc, &rng);
    std::copy(enc, enc + 16, dec);

    CabacTestEncoder e;
    const int lead = round % 11;  // plain bits ahead of the engine start
    for (int i = 0; i < lead; ++i) e.raw_bit(i & 1);
    for (const Bin& b : bins) {
      if (b.kind == Kind::kDecision) e.decision(&enc[b.ctx], b.value);
      if (b.kind == Kind::kBypass) e.bypass(b.value);
      if (b.kind == Kind::kTerminate0) e.terminate(0);
    }
    e.terminate(1);
    size_t payload = 0;
    const std::vector<uint8_t> data = e.bytes(&payload);

    ThreadBuffer tb{};
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
    for (int i = 0; i < lead; ++i) ASSERT_EQ(ReadOneBit(&tb.reader), static_cast<uint32_t>(i & 1));
    cabac_initialize_engine(&tb);
    for (size_t i = 0; i < bins.size(); ++i) {
      const Bin& b = bins[i];
      uint32_t got = 0;
      if (b.kind == Kind::kDecision) got = (i & 1) ? cabac_DecodeDecision(&tb, &dec[b.ctx]) : cabac_decision(&tb.reader, &dec[b.ctx]);
      if (b.kind == Kind::kBypass) got = cabac_bypass(&tb.reader);
      if (b.kind == Kind::kTerminate0) got = cabac_DecodeTerminate(&tb);
      ASSERT_EQ(got, b.value) << "round " << round << " bin " << i;
      ASSERT_GE(tb.reader.codIRange, 256);
      ASSERT_LE(tb.reader.codIRange, 510);
    }
    ASSERT_EQ(cabac_DecodeTerminate(&tb), 1u);
    // The engine stops exactly on the stop bit the flush wrote.
    EXPECT_EQ(cabac_test_bits_read(&tb, data), e.bit_count()) << "round " << round;
    EXPECT_EQ(tb.reader.overrun, 0u);
    for (int c = 0; c < 16; ++c) {
      EXPECT_EQ(dec[c].pStateIdx, enc[c].pStateIdx);
      EXPECT_EQ(dec[c].valMPS, enc[c].valMPS);
    }
  }
}

TEST(CabacEngine, StartReadsNineBits) {
  const std::vector<uint8_t> data = cabac_test_words({0xA5, 0xC3, 0, 0});
  ThreadBuffer tb{};
  cabac_test_start(&tb, data, 4);
  EXPECT_EQ(tb.reader.codIRange, 510);
  EXPECT_EQ(tb.reader.codIOffset, 0x14B);  // 1010 0101 1
  EXPECT_EQ(tb.reader.bitPos, 31 - 9);
}

TEST(CabacEngine, RenormalisationSteps) {
  std::vector<uint8_t> data(16, 0xFF);
  ThreadBuffer tb{};
  // MPS with the range left at 256 or more reads nothing.
  cabac_test_start(&tb, data, 8);
  tb.reader.codIOffset = 0;
  CabacContext c{62, 0};
  int before = tb.reader.bitPos;
  EXPECT_EQ(cabac_decision(&tb.reader, &c), 0u);
  EXPECT_EQ(c.pStateIdx, 62);  // stays at the top state
  EXPECT_EQ(tb.reader.codIRange, 510 - 9);
  EXPECT_EQ(tb.reader.bitPos, before);
  // MPS leaving less than 256 doubles once and reads one bit.
  tb.reader.codIRange = 260;
  c = {0, 1};
  EXPECT_EQ(cabac_decision(&tb.reader, &c), 1u);
  EXPECT_EQ(tb.reader.codIRange, (260 - 128) * 2);
  EXPECT_EQ(tb.reader.bitPos, before - 1);
  // LPS at state 62 (range 6) shifts by six and reads six bits at once.
  tb.reader.codIRange = 300;
  tb.reader.codIOffset = 299;
  c = {62, 0};
  before = tb.reader.bitPos;
  EXPECT_EQ(cabac_decision(&tb.reader, &c), 1u);
  EXPECT_EQ(tb.reader.codIRange, 6 << 6);
  EXPECT_EQ(tb.reader.bitPos, before - 6);
  EXPECT_EQ(c.pStateIdx, 38);
  // LPS at state 0 flips the MPS and stays at 0; range 240 shifts by one.
  tb.reader.codIRange = 510;
  tb.reader.codIOffset = 509;
  c = {0, 0};
  before = tb.reader.bitPos;
  EXPECT_EQ(cabac_decision(&tb.reader, &c), 1u);
  EXPECT_EQ(c.valMPS, 1);
  EXPECT_EQ(c.pStateIdx, 0);
  EXPECT_EQ(tb.reader.codIRange, 480);
  EXPECT_EQ(tb.reader.bitPos, before - 1);
  // Terminate 1 consumes nothing and leaves the range reduced.
  tb.reader.codIRange = 300;
  tb.reader.codIOffset = 298;
  before = tb.reader.bitPos;
  EXPECT_EQ(cabac_DecodeTerminate(&tb), 1u);
  EXPECT_EQ(tb.reader.codIRange, 298);
  EXPECT_EQ(tb.reader.bitPos, before);
}

TEST(CabacEngine, RunsOnFillerPastThePayload) {
  // A payload of four bytes: decoding many bins ends in the filler word
  // with the overrun flag raised and no read beyond the buffer.
  const std::vector<uint8_t> data = cabac_test_words({0x12, 0x34, 0x56, 0x78});
  ThreadBuffer tb{};
  cabac_test_start(&tb, data, 4);
  CabacContext c{10, 0};
  for (int i = 0; i < 10000; ++i) {
    cabac_decision(&tb.reader, &c);
    cabac_bypass(&tb.reader);
  }
  EXPECT_NE(tb.reader.overrun, 0u);
  EXPECT_LE(tb.reader.pWord, data.data() + 4);
}

TEST(CabacTables, SpotValues) {
  EXPECT_EQ(rangeTabLPS[0][0], 128);
  EXPECT_EQ(rangeTabLPS[0][3], 240);
  EXPECT_EQ(rangeTabLPS[12][3], 128);
  EXPECT_EQ(rangeTabLPS[62][0], 6);
  EXPECT_EQ(rangeTabLPS[62][3], 9);
  EXPECT_EQ(rangeTabLPS[63][2], 2);
  EXPECT_EQ(transIdxLPS[0], 0);
  EXPECT_EQ(transIdxLPS[62], 38);
  EXPECT_EQ(transIdxLPS[63], 63);
  for (int s = 0; s < 63; ++s) {
    EXPECT_LE(transIdxLPS[s], 38);
    for (int q = 1; q < 4; ++q) EXPECT_GT(rangeTabLPS[s][q], rangeTabLPS[s][q - 1]);
    for (int q = 0; s > 0 && q < 4; ++q) EXPECT_LE(rangeTabLPS[s][q], rangeTabLPS[s - 1][q]);
  }
  EXPECT_EQ(BinShiftTbl[0], 9);
  EXPECT_EQ(BinShiftTbl[1], 8);
  EXPECT_EQ(BinShiftTbl[6], 6);
  EXPECT_EQ(BinShiftTbl[127], 2);
  EXPECT_EQ(BinShiftTbl[128], 1);
  EXPECT_EQ(BinShiftTbl[240], 1);
  EXPECT_EQ(BinShiftTbl[255], 1);
}

using SliceInit = void (*)(int8_t, CabacContext*, uint8_t);

void init_i(int8_t qp, CabacContext* c, uint8_t) { cabac_init_contexts_i_slice(qp, c); }
void init_p(int8_t qp, CabacContext* c, uint8_t idc) { cabac_init_contexts_p_slice(qp, c, idc); }
void init_b(int8_t qp, CabacContext* c, uint8_t idc) { cabac_init_contexts_b_slice(qp, c, idc); }

// Array index `idx` after the slice initialisation holds, at every QP, the
// state that the pair (m, n) gives.
void expect_mn(SliceInit init, uint8_t idc, uint32_t idx, int m, int n, const char* what) {
  const int8_t pair[1][2] = {{static_cast<int8_t>(m), static_cast<int8_t>(n)}};
  for (int qp = 0; qp <= 51; ++qp) {
    CabacContext all[kCabacContextCount], want;
    init(static_cast<int8_t>(qp), all, idc);
    cabac_initialize_context(static_cast<int8_t>(qp), pair, &want, 1);
    ASSERT_EQ(all[idx].pStateIdx, want.pStateIdx) << what << " at QP " << qp;
    ASSERT_EQ(all[idx].valMPS, want.valMPS) << what << " at QP " << qp;
  }
}

TEST(CabacContexts, IndexMapPicksTheRightValues) {
  // mb_type of I slices, its first context.
  expect_mn(init_i, 0, kCtxMbType, 20, -15, "I mb_type ctxIdx 3");
  expect_mn(init_i, 0, kCtxMbType + 3, -28, 127, "I mb_type ctxIdx 6");
  // Skip, mb_type and sub_mb_type follow the slice type.
  expect_mn(init_p, 0, kCtxMbSkip, 23, 33, "P skip idc 0");
  expect_mn(init_b, 0, kCtxMbSkip, 18, 64, "B skip idc 0");
  expect_mn(init_p, 1, kCtxMbSkip, 22, 25, "P skip idc 1");
  expect_mn(init_p, 2, kCtxMbSkip, 29, 16, "P skip idc 2");
  expect_mn(init_p, 0, kCtxMbType, 1, 9, "P mb_type idc 0");
  expect_mn(init_b, 0, kCtxMbType, 26, 67, "B mb_type idc 0");
  expect_mn(init_p, 0, kCtxSubMbType, 12, 49, "P sub_mb_type idc 0");
  expect_mn(init_b, 0, kCtxSubMbType, -6, 86, "B sub_mb_type idc 0");
  // Groups shared by all slice types.
  expect_mn(init_i, 0, kCtxMbQpDelta, 0, 41, "mb_qp_delta");
  expect_mn(init_p, 2, kCtxPrevIntraMode, 13, 41, "prev_intra_pred_mode_flag");
  expect_mn(init_b, 1, kCtxRemIntraMode, 3, 62, "rem_intra_pred_mode");
  expect_mn(init_i, 0, kCtxIntraChroma, -9, 83, "intra_chroma_pred_mode");
  expect_mn(init_i, 0, kCtxMbField, 0, 11, "I field flag");
  expect_mn(init_p, 0, kCtxMbField, 0, 45, "field flag idc 0");
  expect_mn(init_i, 0, kCtxTransform8x8, 31, 21, "I transform_size_8x8_flag");
  expect_mn(init_p, 0, kCtxTransform8x8, 12, 40, "transform_size_8x8_flag idc 0");
  expect_mn(init_p, 1, kCtxTransform8x8, 25, 32, "transform_size_8x8_flag idc 1");
  expect_mn(init_p, 2, kCtxTransform8x8, 21, 33, "transform_size_8x8_flag idc 2");
  expect_mn(init_i, 0, kCtxCbpLuma, -17, 127, "I cbp luma");
  expect_mn(init_i, 0, kCtxCodedBlockFlag, -17, 123, "I coded_block_flag");
  expect_mn(init_i, 0, kCtxSigFrame, -7, 93, "I significance, frame");
  expect_mn(init_i, 0, kCtxLastFrame, 24, 0, "I last, frame");
  expect_mn(init_i, 0, kCtxLevel, -3, 71, "I level");
  expect_mn(init_i, 0, kCtxSigField, -6, 93, "I significance, field");
  expect_mn(init_i, 0, kCtxLastField, 15, 6, "I last, field");
  expect_mn(init_i, 0, kCtxSig8x8Frame, -17, 120, "I 8x8 significance, frame");
  expect_mn(init_i, 0, kCtxLast8x8Frame, 23, -13, "I 8x8 last, frame");
  expect_mn(init_i, 0, kCtxLevel8x8, -3, 75, "I 8x8 level");
  expect_mn(init_i, 0, kCtxSig8x8Field, -14, 106, "I 8x8 significance, field");
  expect_mn(init_i, 0, kCtxLast8x8Field, 21, -10, "I 8x8 last, field");
  expect_mn(init_p, 0, kCtxRefIdx, -7, 67, "ref_idx idc 0");
  expect_mn(init_p, 0, kCtxMvdX, -3, 69, "mvd x idc 0");
  expect_mn(init_p, 0, kCtxMvdY, 0, 58, "mvd y idc 0");
  expect_mn(init_b, 2, kCtxMvdY + 6, -1, 101, "mvd y idc 2 last");
}

TEST(CabacContexts, ClippingAndUntouchedRanges) {
  CabacContext c[kCabacContextCount];
  // (m * qp >> 4) + n at or below 0 and at or above 126 clip to state 62.
  const int8_t low[1][2] = {{-16, 0}}, high[1][2] = {{16, 100}};
  cabac_initialize_context(51, low, c, 1);
  EXPECT_EQ(c[0].pStateIdx, 62);
  EXPECT_EQ(c[0].valMPS, 0);
  cabac_initialize_context(51, high, c, 1);
  EXPECT_EQ(c[0].pStateIdx, 62);
  EXPECT_EQ(c[0].valMPS, 1);
  // SliceQPY outside 0..51 is clipped.
  CabacContext a[kCabacContextCount], b[kCabacContextCount];
  cabac_init_contexts_b_slice(-12, a, 0);
  cabac_init_contexts_b_slice(0, b, 0);
  EXPECT_EQ(0, memcmp(a, b, sizeof a));
  cabac_init_contexts_b_slice(70, a, 1);
  cabac_init_contexts_b_slice(51, b, 1);
  EXPECT_EQ(0, memcmp(a, b, sizeof a));
  // Index 421 holds the (0, 0) pair in inter slices.
  EXPECT_EQ(b[kCtxUnused].pStateIdx, 62);
  EXPECT_EQ(b[kCtxUnused].valMPS, 0);
  // Count below 1 writes nothing.
  c[0] = {7, 1};
  cabac_initialize_context(26, high, c, 0);
  EXPECT_EQ(c[0].pStateIdx, 7);
  // I slices leave skip, sub_mb_type, ref_idx and mvd alone; P slices leave
  // mb_type contexts 13, 14 and sub_mb_type 43 alone.
  for (uint32_t qp = 0; qp <= 51; qp += 17) {
    std::memset(c, 0xEE, sizeof c);
    cabac_init_contexts_i_slice(static_cast<int8_t>(qp), c);
    for (uint32_t i = 0; i < kCabacContextCount; ++i) {
      const bool untouched = i < 3 || i == 14 || (i >= 40 && i <= 43) || i >= 415;
      EXPECT_EQ(c[i].pStateIdx == 0xEE, untouched) << "I index " << i;
    }
    std::memset(c, 0xEE, sizeof c);
    cabac_init_contexts_p_slice(static_cast<int8_t>(qp), c, 2);
    for (uint32_t i = 0; i < kCabacContextCount; ++i) {
      const bool untouched = i == 13 || i == 14 || i == 43;
      EXPECT_EQ(c[i].pStateIdx == 0xEE, untouched) << "P index " << i;
    }
    std::memset(c, 0xEE, sizeof c);
    cabac_init_contexts_b_slice(static_cast<int8_t>(qp), c, 1);
    for (uint32_t i = 0; i < kCabacContextCount; ++i) {
      EXPECT_LE(c[i].pStateIdx, 62) << "B index " << i;
      EXPECT_LE(c[i].valMPS, 1) << "B index " << i;
    }
  }
}

}  // namespace
