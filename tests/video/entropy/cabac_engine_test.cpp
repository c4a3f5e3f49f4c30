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

// Writes the bins and the final terminate 1; returns the stream.
std::vector<uint8_t> encode_bins(CabacTestEncoder* e, const std::vector<Bin>& bins, CabacContext* enc,
                                 size_t* payload) {
  for (const Bin& b : bins) {
    if (b.kind == Kind::kDecision) e->decision(&enc[b.ctx], b.value);
    if (b.kind == Kind::kBypass) e->bypass(b.value);
    if (b.kind == Kind::kTerminate0) e->terminate(0);
  }
  e->terminate(1);
  return e->bytes(payload);
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
    size_t payload = 0;
    const std::vector<uint8_t> data = encode_bins(&e, bins, enc, &payload);

    ThreadBuffer tb{};
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
    for (int i = 0; i < lead; ++i) ASSERT_EQ(ReadOneBit(&tb.reader), static_cast<uint32_t>(i & 1));
    cabac_initialize_engine(&tb);
    for (size_t i = 0; i < bins.size(); ++i) {
      const Bin& b = bins[i];
      uint32_t got = 0;
      if (b.kind == Kind::kDecision) got = cabac_test_decision(&tb, &dec[b.ctx]);
      if (b.kind == Kind::kBypass) got = cabac_test_decode(&tb, [](CabacLocal& e) { return e.bypass(); });
      if (b.kind == Kind::kTerminate0) got = cabac_test_terminate(&tb);
      ASSERT_EQ(got, b.value) << "round " << round << " bin " << i;
      ASSERT_GE(tb.reader.codIRange, 256);
      ASSERT_LE(tb.reader.codIRange, 510);
    }
    ASSERT_EQ(cabac_test_terminate(&tb), 1u);
    // The engine stops exactly on the stop bit the flush wrote.
    EXPECT_EQ(cabac_test_bits_read(&tb, data), e.bit_count()) << "round " << round;
    EXPECT_EQ(tb.reader.overrun, 0u);
    for (int c = 0; c < 16; ++c) {
      EXPECT_EQ(dec[c].pStateIdx, enc[c].pStateIdx);
      EXPECT_EQ(dec[c].valMPS, enc[c].valMPS);
    }
  }
}

// Decisions on keys held in registers (runs of bins on one context, as the
// residual level loops decode them) against the encoder, mixed with bypass
// and terminate bins on the same register engine: the successor taken from
// the pair read up front must be the one the context itself would reach.
TEST(CabacEngine, HeldKeysDecodeLikeContexts) {
  std::mt19937 rng(99);
  for (int round = 0; round < 100; ++round) {
    std::vector<Bin> bins = random_bins(&rng, 40 + round * 10);
    // Stretch some decisions into runs on their context, as a level prefix.
    for (size_t i = 0; i < bins.size(); i += 7) {
      if (bins[i].kind != Kind::kDecision) continue;
      const Bin run = bins[i];
      for (uint32_t k = 0; k < rng() % 20; ++k) bins.insert(bins.begin() + i, {run.kind, run.ctx, rng() % 3 == 0 ? 1u : 0u});
    }
    CabacContext enc[16], dec[16];
    init_contexts(enc, &rng);
    std::copy(enc, enc + 16, dec);
    CabacTestEncoder e;
    size_t payload = 0;
    const std::vector<uint8_t> data = encode_bins(&e, bins, enc, &payload);

    ThreadBuffer tb{};
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
    cabac_initialize_engine(&tb);
    {
      CabacScope engine(&tb.reader);
      uint32_t keys[16];
      for (int c = 0; c < 16; ++c) keys[c] = CabacLocal::load_key(&dec[c]);
      for (size_t i = 0; i < bins.size(); ++i) {
        const Bin& b = bins[i];
        uint32_t got = 0;
        if (b.kind == Kind::kDecision) got = engine.decision_held(keys[b.ctx]);
        if (b.kind == Kind::kBypass) got = engine.bypass();
        if (b.kind == Kind::kTerminate0) got = cabac_DecodeTerminate(engine);
        ASSERT_EQ(got, b.value) << "round " << round << " bin " << i;
      }
      for (int c = 0; c < 16; ++c) CabacLocal::store_key(&dec[c], keys[c]);
    }
    ASSERT_EQ(cabac_test_terminate(&tb), 1u);
    EXPECT_EQ(cabac_test_bits_read(&tb, data), e.bit_count()) << "round " << round;
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
  EXPECT_EQ(cabac_test_decision(&tb, &c), 0u);
  EXPECT_EQ(c.pStateIdx, 62);  // stays at the top state
  EXPECT_EQ(tb.reader.codIRange, 510 - 9);
  EXPECT_EQ(tb.reader.bitPos, before);
  // MPS leaving less than 256 doubles once and reads one bit.
  tb.reader.codIRange = 260;
  c = {0, 1};
  EXPECT_EQ(cabac_test_decision(&tb, &c), 1u);
  EXPECT_EQ(tb.reader.codIRange, (260 - 128) * 2);
  EXPECT_EQ(tb.reader.bitPos, before - 1);
  // LPS at state 62 (range 6) shifts by six and reads six bits at once.
  tb.reader.codIRange = 300;
  tb.reader.codIOffset = 299;
  c = {62, 0};
  before = tb.reader.bitPos;
  EXPECT_EQ(cabac_test_decision(&tb, &c), 1u);
  EXPECT_EQ(tb.reader.codIRange, 6 << 6);
  EXPECT_EQ(tb.reader.bitPos, before - 6);
  EXPECT_EQ(c.pStateIdx, 38);
  // LPS at state 0 flips the MPS and stays at 0; range 240 shifts by one.
  tb.reader.codIRange = 510;
  tb.reader.codIOffset = 509;
  c = {0, 0};
  before = tb.reader.bitPos;
  EXPECT_EQ(cabac_test_decision(&tb, &c), 1u);
  EXPECT_EQ(c.valMPS, 1);
  EXPECT_EQ(c.pStateIdx, 0);
  EXPECT_EQ(tb.reader.codIRange, 480);
  EXPECT_EQ(tb.reader.bitPos, before - 1);
  // Terminate 1 consumes nothing and leaves the range reduced.
  tb.reader.codIRange = 300;
  tb.reader.codIOffset = 298;
  before = tb.reader.bitPos;
  EXPECT_EQ(cabac_test_terminate(&tb), 1u);
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
    cabac_test_decision(&tb, &c);
    cabac_test_decode(&tb, [](CabacLocal& e) { return e.bypass(); });
  }
  EXPECT_NE(tb.reader.overrun, 0u);
  EXPECT_LE(tb.reader.pWord, data.data() + 4);
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
