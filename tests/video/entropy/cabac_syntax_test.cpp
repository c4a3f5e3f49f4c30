// The syntax-element decoders on bin strings written by the test encoder
// with the contexts each bin must use: a decoder that reads a wrong context
// ends with context states different from the encoder's.
#include "cabac_syntax.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "cabac_test_encoder.h"

namespace {

// Bin kinds of a scripted string: context-coded at a group offset,
// bypass, or terminate.
constexpr int kBypass = -1;
constexpr int kTerm = -2;

struct ScriptBin {
  int ctx;
  uint32_t bin;
};
using Script = std::vector<ScriptBin>;

// Contexts with distinct states, so that any wrong choice shows.
void distinct_contexts(CabacContext* c, size_t n, uint32_t seed) {
  for (size_t i = 0; i < n; ++i) {
    c[i].pStateIdx = static_cast<uint8_t>((i * 7 + seed) % 63);
    c[i].valMPS = static_cast<uint8_t>((i + seed) & 1);
  }
}

struct Harness {
  CabacContext enc[16], dec[16];
  std::vector<uint8_t> data;
  ThreadBuffer tb{};

  // Encodes the script (followed by a few padding bins and the final
  // terminate) and starts the decoder on it.
  void start(const Script& s, uint32_t seed = 3) {
    distinct_contexts(enc, 16, seed);
    std::memcpy(dec, enc, sizeof enc);
    CabacTestEncoder e;
    for (const ScriptBin& b : s) {
      if (b.ctx == kBypass) {
        e.bypass(b.bin);
      } else if (b.ctx == kTerm) {
        e.terminate(b.bin);
      } else {
        e.decision(&enc[b.ctx], b.bin);
      }
    }
    CabacContext pad{30, 0};
    for (int i = 0; i < 8; ++i) e.decision(&pad, 0);
    e.terminate(1);
    size_t payload = 0;
    data = e.bytes(&payload);
    cabac_test_start(&tb, data, payload);
  }

  void expect_same_contexts(const char* what) {
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(dec[i].pStateIdx, enc[i].pStateIdx) << what << " context " << i;
      EXPECT_EQ(dec[i].valMPS, enc[i].valMPS) << what << " context " << i;
    }
  }
};

MacroblockRecord blank_record() {
  MacroblockRecord m;
  std::memset(&m, 0, sizeof m);
  m.mb_structure = 2;
  return m;
}

// Bins of an intra mb_type tail (after its first bin = 1): terminate, then
// luma, chroma flag, class, two mode bins at the given contexts.
void intra_tail(Script* s, uint8_t code, const int (&at)[5]) {
  if (code == MbI_PCM) {
    s->push_back({kTerm, 1});
    return;
  }
  s->push_back({kTerm, 0});
  const uint32_t v = code - 65u;
  const uint32_t cls = (v >> 2) % 3;
  s->push_back({at[0], v >= 12});
  s->push_back({at[1], cls != 0});
  if (cls) s->push_back({at[2], cls == 2});
  s->push_back({at[3], (v >> 1) & 1});
  s->push_back({at[4], v & 1});
}

// Bins of a bin string whose i-th bin uses context ctxOf(i, bins).
template <typename CtxOf>
Script bins_of(const char* bins, CtxOf ctxOf) {
  Script s;
  for (size_t i = 0; bins[i]; ++i) s.push_back({ctxOf(i, bins), static_cast<uint32_t>(bins[i] - '0')});
  return s;
}

TEST(CabacMbType, EveryCodeOfEverySliceType) {
  MacroblockRecord mb = blank_record();
  auto decode = [&](int sliceType, ThreadBuffer* tb, CabacContext* ctx) {
    if (sliceType == 2) return cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_type_I_slice(e, ctx, &mb); });
    return sliceType == 0 ? cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_type_P_slice(e, ctx); })
                          : cabac_test_decode(tb, [&](CabacLocal& e) { return cabac_mb_type_B_slice(e, ctx, &mb); });
  };
  // Inter codes. P: bin 0 at 0, bin 1 at 1, bin 2 at 2 after a 0 else 3.
  // B: bin 0 by neighbours (0 here), bin 1 at 3, bin 2 at 5 after a 0 else
  // 4, later bins at 5.
  const struct {
    int sliceType;
    uint8_t code;
    const char* bins;
  } inter[] = {{0, 20, "000"},       {0, 21, "011"},       {0, 22, "010"},       {0, 3, "001"},
               {1, 107, "0"},        {1, 20, "100"},       {1, 40, "101"},       {1, 60, "110000"},
               {1, 21, "110001"},    {1, 22, "110010"},    {1, 41, "110011"},    {1, 42, "110100"},
               {1, 25, "110101"},    {1, 26, "110110"},    {1, 37, "110111"},    {1, 38, "111110"},
               {1, 29, "1110000"},   {1, 30, "1110001"},   {1, 45, "1110010"},   {1, 46, "1110011"},
               {1, 53, "1110100"},   {1, 54, "1110101"},   {1, 57, "1110110"},   {1, 58, "1110111"},
               {1, 61, "1111000"},   {1, 62, "1111001"},   {1, 3, "111111"}};
  for (const auto& t : inter) {
    const Script s = bins_of(t.bins, [&](size_t i, const char* b) {
      if (t.sliceType == 0) return i < 2 ? static_cast<int>(i) : (b[1] == '0' ? 2 : 3);
      return i == 0 ? 0 : i == 1 ? 3 : (i == 2 && b[1] != '0') ? 4 : 5;
    });
    Harness h;
    h.start(s);
    EXPECT_EQ(decode(t.sliceType, &h.tb, h.dec), t.code) << t.bins;
    h.expect_same_contexts(t.bins);
  }
  // Intra codes: the slice type's prefix, then the suffix contexts.
  const struct {
    int sliceType;
    Script prefix;
    int tail[5];
  } intra[] = {{2, {}, {3, 4, 5, 6, 7}},
               {0, {{0, 1}}, {4, 5, 5, 6, 6}},
               {1, {{0, 1}, {3, 1}, {4, 1}, {5, 1}, {5, 0}, {5, 1}}, {6, 7, 7, 8, 8}}};
  const int firstIntraBin[3] = {3, 5, 0};  // context of the I_NxN-or-not bin, by slice type
  for (const auto& t : intra) {
    for (uint32_t code = 64; code <= 95; ++code) {
      if (code > 88 && code != MbI_PCM) continue;
      Script s = t.prefix;
      s.push_back({firstIntraBin[t.sliceType], code != MbI_NxN});
      if (code != MbI_NxN) intra_tail(&s, static_cast<uint8_t>(code), t.tail);
      Harness h;
      h.start(s);
      EXPECT_EQ(decode(t.sliceType, &h.tb, h.dec), code) << "slice type " << t.sliceType;
      h.expect_same_contexts("intra mb_type");
    }
  }
}

TEST(CabacMbType, NeighbourConditions) {
  MacroblockRecord a = blank_record(), b = blank_record(), mb = blank_record();
  mb.neighbour_a = &a;
  mb.neighbour_b = &b;
  // B slices: skipped and B_Direct_16x16 neighbours count 0.
  const struct {
    uint8_t ta, tb;
    int ctx;
  } cases[] = {{MbB_Skip, MbB_Direct_16x16, 0}, {20, MbB_Skip, 1}, {64, 3, 2}};
  for (const auto& c : cases) {
    a.mb_type = c.ta;
    b.mb_type = c.tb;
    Harness h;
    h.start({{c.ctx, 0}});
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_mb_type_B_slice(e, h.dec, &mb); }),
              MbB_Direct_16x16);
    h.expect_same_contexts("B mb_type bin 0");
  }
  // I slices: I_NxN neighbours count 0.
  a.mb_type = MbI_NxN;
  b.mb_type = 70;
  Harness h;
  h.start({{1, 0}});
  EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_mb_type_I_slice(e, h.dec, &mb); }), MbI_NxN);
  h.expect_same_contexts("I mb_type bin 0");
  // Skip flag: skipped neighbours count 0; field flag: field pairs count 1.
  a.mb_type = MbP_Skip;
  b.mb_type = 20;
  a.mb_structure = 0;
  b.mb_structure = 1;
  Harness s;
  s.start({{1, 1}, {2, 0}});
  EXPECT_EQ(cabac_test_decode(&s.tb, [&](CabacLocal& e) { return cabac_mb_skip_flag(e, s.dec, &mb); }), 1u);
  EXPECT_EQ(cabac_test_decode(&s.tb, [&](CabacLocal& e) { return cabac_mb_field_decoding_flag(e, s.dec, &mb); }), 0u);
  s.expect_same_contexts("skip and field flags");
  // A bottom macroblock (decoding the flag under a skipped top) reads the
  // pairs through its top record's links, not its own (a frame bottom's
  // B link is its top).
  MacroblockRecord pair[2] = {blank_record(), blank_record()};
  pair[0].neighbour_a = &a;
  pair[0].neighbour_b = &b;
  pair[1].neighbour_b = &pair[0];
  pair[1].mb_addr = 1;
  Harness f;
  f.start({{2, 1}});
  EXPECT_EQ(cabac_test_decode(&f.tb, [&](CabacLocal& e) { return cabac_mb_field_decoding_flag(e, f.dec, &pair[1]); }),
            1u);
  f.expect_same_contexts("field flag of a bottom macroblock");
}

TEST(CabacSubMbType, EveryCode) {
  const struct {
    uint8_t code;
    Script bins;
  } p[] = {{9, {{0, 1}}}, {42, {{0, 0}, {1, 0}}}, {74, {{0, 0}, {1, 1}, {2, 1}}}, {108, {{0, 0}, {1, 1}, {2, 0}}}};
  for (const auto& c : p) {
    Harness h;
    h.start(c.bins);
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_sub_mb_type_P_slice(e, h.dec); }), c.code);
    h.expect_same_contexts("P sub_mb_type");
  }
  const struct {
    uint8_t code;
    const char* bins;
  } b[] = {{252, "0"},     {9, "100"},     {17, "101"},     {25, "11000"},  {42, "11001"},
           {74, "11010"},  {50, "11011"},  {82, "111000"},  {58, "111001"}, {90, "111010"},
           {108, "111011"}, {116, "11110"}, {124, "11111"}};
  for (const auto& c : b) {
    const Script s = bins_of(c.bins, [](size_t i, const char* bins) {
      return i < 2 ? static_cast<int>(i) : (i == 2 && bins[1] == '1') ? 2 : 3;
    });
    Harness h;
    h.start(s);
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_sub_mb_type_B_slice(e, h.dec); }), c.code)
        << c.bins;
    h.expect_same_contexts(c.bins);
  }
}

Script unary(int first, int second, int rest, uint32_t count) {
  Script s;
  for (uint32_t i = 0; i <= count; ++i) s.push_back({i == 0 ? first : (i == 1 ? second : rest), i < count});
  return s;
}

TEST(CabacMbQpDelta, CountsAndBounds) {
  for (uint32_t k = 0; k <= 52; ++k) {
    for (int last = 0; last <= 1; ++last) {
      Harness h;
      h.start(unary(last, 2, 3, k));
      const int8_t v = cabac_test_decode(
          &h.tb, [&](CabacLocal& e) { return cabac_mb_qp_delta(e, h.dec, static_cast<int8_t>(last * 5)); });
      const int want = (k & 1) ? static_cast<int>((k + 1) / 2) : -static_cast<int>(k / 2);
      EXPECT_EQ(v, want) << k;
      h.expect_same_contexts("mb_qp_delta");
      // +26 is beyond the legal range; everything else is fine.
      EXPECT_EQ(h.tb.reader.overrun, k == 51 ? kCabacDamaged : 0u) << k;
    }
  }
  // A count that never ends stops at the bound and marks the slice.
  Harness h;
  Script s = unary(0, 2, 3, 200);
  h.start(s);
  cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_mb_qp_delta(e, h.dec, 0); });
  EXPECT_EQ(h.tb.reader.overrun, kCabacDamaged);
}

TEST(CabacIntraModes, ChromaRemAndPrev) {
  MacroblockRecord a = blank_record(), b = blank_record(), mb = blank_record();
  mb.neighbour_a = &a;
  mb.neighbour_b = &b;
  a.mb_type = 70;
  a.intra_chroma_pred_mode = 2;  // counts
  b.mb_type = MbI_PCM;
  b.intra_chroma_pred_mode = 2;  // I_PCM never counts
  for (uint32_t mode = 0; mode < 4; ++mode) {
    Script s = {{1, mode > 0}};
    if (mode > 0) s.push_back({3, mode > 1});
    if (mode > 1) s.push_back({3, mode > 2});
    Harness h;
    h.start(s);
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_intra_chroma_pred_mode(e, h.dec, &mb); }),
              mode);
    h.expect_same_contexts("intra_chroma_pred_mode");
  }
  for (uint32_t rem = 0; rem < 8; ++rem) {
    Harness h;
    h.start({{0, 0}, {0, rem & 1}, {0, (rem >> 1) & 1}, {0, rem >> 2}});
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_prev_intraNxN_pred_mode_flag(e, h.dec); }),
              0u);
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_rem_intraNxN_pred_mode(e, h.dec); }), rem);
    h.expect_same_contexts("rem_intra_pred_mode");
  }
}

TEST(CabacCodedBlockPattern, LumaAndChromaConditions) {
  MacroblockRecord a = blank_record(), b = blank_record(), mb = blank_record();
  // No neighbours: context 0 for block 0; inner blocks follow earlier bins.
  {
    Harness h;
    // blocks 0..3 = 1, 0, 1, 1: block 1 left = block 0 (coded: 0), up none;
    // block 2 up = block 0 (0); block 3 left = block 2 (0), up = block 1 (1).
    h.start({{0, 1}, {0, 0}, {0, 1}, {2, 1}});
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_luma(e, h.dec, &mb, 0); }),
              13u);
    h.expect_same_contexts("cbp luma, no neighbours");
  }
  mb.neighbour_a = &a;
  mb.neighbour_b = &b;
  a.mb_type = MbP_Skip;  // skipped: condTerm 1 for luma, 0 for chroma
  b.mb_type = MbI_PCM;   // I_PCM: 0 for luma, 1 for chroma
  {
    Harness h;
    h.start({{1, 0}, {1 + 0, 0}, {1 + 2, 0}, {3, 0}, {0 + 2, 1}, {4 + 2, 1}});
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_luma(e, h.dec, &mb, 0); }),
              0u);
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_chroma(e, h.dec, &mb); }),
              3u);
    h.expect_same_contexts("cbp, skipped left and I_PCM above");
  }
  // An Intra16x16 neighbour of chroma class 2 has cbp_chroma 3: bin 1 sees it.
  a.mb_type = 85;
  a.cbp_chroma = 3;
  a.cbp_luma = 15;
  b.mb_type = 20;
  b.cbp_chroma = 1;
  b.cbp_luma = 0x4;  // block 2 coded, block 3 not
  {
    Harness h;
    h.start({{0, 1}, {0 + 2, 1}, {0, 0}, {1, 1}, {1 + 2, 1}, {4 + 1, 0}});
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_luma(e, h.dec, &mb, 0); }),
              11u);
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_chroma(e, h.dec, &mb); }),
              1u);
    h.expect_same_contexts("cbp, coded neighbours");
  }
  // MBAFF: a bottom frame macroblock beside a field pair reads block 3 of A
  // for both of its left blocks; a top field macroblock beside a frame pair
  // reads block 1 of the left pair's bottom record for block 2.
  MacroblockRecord pair[2] = {blank_record(), blank_record()};
  pair[0].mb_type = pair[1].mb_type = 20;
  pair[0].mb_structure = pair[1].mb_structure = 0;
  pair[0].cbp_luma = 0x8;  // block 3 coded: condTerm 0; block 1 not: 1
  mb.neighbour_a = &pair[0];
  mb.neighbour_b = nullptr;
  mb.mb_addr = 7;
  {
    Harness h;
    h.start({{0, 0}, {1, 0}, {2, 0}, {3, 0}});
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_luma(e, h.dec, &mb, 1); }),
              0u);
    h.expect_same_contexts("cbp, bottom frame beside field pair");
  }
  pair[0].mb_structure = pair[1].mb_structure = 2;
  pair[0].cbp_luma = 0x2;  // top record: block 1 coded
  pair[1].cbp_luma = 0x0;  // bottom record: block 1 not coded
  mb.mb_structure = 0;
  mb.mb_addr = 6;
  {
    Harness h;
    h.start({{0, 0}, {1, 0}, {1 + 2, 0}, {3, 0}});
    EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_coded_block_pattern_luma(e, h.dec, &mb, 1); }),
              0u);
    h.expect_same_contexts("cbp, top field beside frame pair");
  }
}

TEST(CabacTransformFlag, NeighbourFlags) {
  MacroblockRecord a = blank_record(), b = blank_record(), mb = blank_record();
  mb.neighbour_a = &a;
  mb.neighbour_b = &b;
  a.transform_size_8x8_flag = 1;
  b.transform_size_8x8_flag = 1;
  Harness h;
  h.start({{2, 1}});
  EXPECT_EQ(cabac_test_decode(&h.tb, [&](CabacLocal& e) { return cabac_transform_size_8x8_flag(e, h.dec, &mb); }), 1u);
  h.expect_same_contexts("transform_size_8x8_flag");
}

// The bins of an mvd value whose first bin uses context `first`.
Script mvd_bins(int first, int32_t value) {
  static const int kCtx[9] = {0, 3, 4, 5, 6, 6, 6, 6, 6};
  const uint32_t mag = static_cast<uint32_t>(value < 0 ? -value : value);
  Script s;
  for (uint32_t i = 0; i < 9; ++i) {
    s.push_back({i == 0 ? first : kCtx[i], i < mag});
    if (i >= mag) break;
  }
  if (mag >= 9) {
    uint32_t rest = mag - 9, k = 3;
    while (rest >= (1u << k)) {
      s.push_back({kBypass, 1});
      rest -= 1u << k;
      ++k;
    }
    s.push_back({kBypass, 0});
    while (k--) s.push_back({kBypass, (rest >> k) & 1});
  }
  if (mag) s.push_back({kBypass, value < 0});
  return s;
}

// The bins of an mvd pair: x with the horizontal group (contexts 0..6),
// then y with the vertical group after it (7..13).
Script mvd_pair_bins(int firstX, int32_t x, int firstY, int32_t y) {
  Script s = mvd_bins(firstX, x);
  for (ScriptBin b : mvd_bins(firstY, y)) s.push_back({b.ctx >= 0 ? b.ctx + 7 : b.ctx, b.bin});
  return s;
}

// Both components of an mvd pair decoded by cabac_mvd_l0 or _l1 with the
// edges that the layer gathers for the list.
std::pair<int32_t, int32_t> decode_mvd(Harness* h, const MacroblockRecord* mb, int list, uint8_t block, uint8_t mbaff) {
  ListEdges g;
  gather_edges(mb, list, mbaff, 1, &g);
  const uint32_t pair = cabac_test_decode(&h->tb, [&](CabacLocal& e) {
    return list ? cabac_mvd_l1(e, h->dec, mb, block, g) : cabac_mvd_l0(e, h->dec, mb, block, g);
  });
  return {static_cast<int16_t>(pair & 0xFFFF), static_cast<int16_t>(pair >> 16)};
}

TEST(CabacMvd, ValuesAndSumContexts) {
  MacroblockRecord a = blank_record(), b = blank_record(), mb = blank_record();
  a.mb_type = b.mb_type = 20;  // L0 16x16
  mb.mb_type = 20;
  mb.neighbour_a = &a;
  mb.neighbour_b = &b;
  const int32_t values[] = {0, 1, -1, 2, 8, -8, 9, -9, 16, 17, 24, 25, 100, -1000, 8191, -16384};
  const struct {
    int16_t left, up;
    int ctx;
  } sums[] = {{0, 2, 0}, {1, 2, 1}, {-16, 16, 1}, {16, -17, 2}};
  for (const auto& sum : sums) {
    a.mvd_l0[5][0] = sum.left;  // left of block 0 is block 5 of A
    b.mvd_l0[10][0] = sum.up;   // above block 0 is block 10 of B
    for (int32_t v : values) {
      Harness h;
      h.start(mvd_pair_bins(sum.ctx, v, 0, -v));
      EXPECT_EQ(decode_mvd(&h, &mb, 0, 0, 0), std::make_pair(v, -v));
      h.expect_same_contexts("mvd");
      EXPECT_EQ(h.tb.reader.overrun, 0u);
    }
  }
  // A neighbour holds mvd 0 in the lists it does not use (as the layer
  // leaves it); an intra neighbour adds 0 whatever it holds.
  a.mvd_l1[5][1] = 0;
  b.mb_type = 70;
  b.mvd_l1[10][1] = 40;
  mb.mb_type = 40;  // L1 16x16
  Harness h;
  h.start(mvd_pair_bins(0, 0, 0, 3));
  EXPECT_EQ(decode_mvd(&h, &mb, 1, 0, 0), std::make_pair(0, 3));
  h.expect_same_contexts("mvd list 1");
}

TEST(CabacMvd, MbaffVerticalScaling) {
  MacroblockRecord a = blank_record(), mb = blank_record();
  a.mb_type = 20;
  mb.mb_type = 20;
  mb.neighbour_a = &a;
  // Field neighbour, frame current: vertical 2 doubles to 4 (context 1).
  a.mb_structure = 0;
  a.mvd_l0[5][1] = 2;
  {
    Harness h;
    h.start(mvd_pair_bins(0, 0, 1, 1));
    EXPECT_EQ(decode_mvd(&h, &mb, 0, 0, 1), std::make_pair(0, 1));
    h.expect_same_contexts("mvd doubled");
  }
  // Frame neighbour, field current: vertical 5 halves to 2 (context 0);
  // block 8 reads block 5 of the record after A.
  MacroblockRecord pair[2] = {blank_record(), blank_record()};
  pair[0].mb_type = pair[1].mb_type = 20;
  pair[1].mvd_l0[5][1] = 5;
  pair[0].mvd_l0[13][1] = 40;
  mb.mb_structure = 1;
  mb.neighbour_a = &pair[0];
  {
    Harness h;
    h.start(mvd_pair_bins(0, 0, 0, -2));
    EXPECT_EQ(decode_mvd(&h, &mb, 0, 8, 1), std::make_pair(0, -2));
    h.expect_same_contexts("mvd halved");
  }
}

// ref_idx of list 0 for the partition at quadrant q, the list holding
// `active` references.
uint32_t decode_ref_idx(Harness* h, const MacroblockRecord* mb, uint8_t q, uint8_t mbaff, uint32_t active = 63) {
  ListEdges g;
  gather_edges(mb, 0, mbaff, active, &g);
  return cabac_test_decode(&h->tb, [&](CabacLocal& e) { return cabac_ref_idx_l0(e, h->dec, mb, q, g); });
}

TEST(CabacRefIdx, ValuesConditionsAndBound) {
  MacroblockRecord a = blank_record(), b = blank_record(), mb = blank_record();
  a.mb_type = b.mb_type = 20;
  mb.mb_type = 21;  // 16x8
  mb.neighbour_a = &a;
  mb.neighbour_b = &b;
  a.ref_idx_l0[1] = 1;  // left of quadrant 0: counts
  b.ref_idx_l0[2] = 0;  // above: 0 never counts
  for (uint32_t v = 0; v < 6; ++v) {
    Harness h;
    h.start(unary(1, 4, 5, v));
    EXPECT_EQ(decode_ref_idx(&h, &mb, 0, 0), v);
    h.expect_same_contexts("ref_idx");
  }
  // Lower partition: above is the current quadrant 0.
  mb.ref_idx_l0[0] = 2;
  a.ref_idx_l0[3] = 0;
  {
    Harness h;
    h.start(unary(2, 4, 5, 1));
    EXPECT_EQ(decode_ref_idx(&h, &mb, 2, 0), 1u);
    h.expect_same_contexts("ref_idx lower partition");
  }
  // MBAFF: frame current beside a field pair uses threshold 1.
  a.mb_structure = 0;
  a.ref_idx_l0[1] = 1;
  mb.ref_idx_l0[0] = 0;
  {
    Harness h;
    h.start(unary(0, 4, 5, 0));
    EXPECT_EQ(decode_ref_idx(&h, &mb, 0, 1), 0u);
    h.expect_same_contexts("ref_idx threshold 1");
  }
  // The last index of the list is fine; one beyond it, or a run of 1-bins
  // past any list (stopped at 63), gives 0 and marks the slice.
  for (uint32_t v : {3u, 4u, 100u}) {
    Harness h;
    h.start(unary(0, 4, 5, v));
    EXPECT_EQ(decode_ref_idx(&h, &mb, 0, 1, 4), v < 4 ? v : 0u) << v;
    EXPECT_EQ(h.tb.reader.overrun, v < 4 ? 0u : kCabacDamaged) << v;
  }
  // A field macroblock of an MBAFF frame has twice the list (its left
  // neighbour, a field macroblock too, now counts with threshold 0).
  mb.mb_field_decoding_flag = 1;
  mb.mb_structure = 0;
  Harness h;
  h.start(unary(1, 4, 5, 7));
  EXPECT_EQ(decode_ref_idx(&h, &mb, 0, 1, 4), 7u);
  EXPECT_EQ(h.tb.reader.overrun, 0u);
}

}  // namespace
