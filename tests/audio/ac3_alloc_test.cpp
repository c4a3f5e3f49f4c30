// Exponents, bit allocation, mantissas and dither on synthetic state.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "AC3DecState.h"
#include "AC3Tables.h"
#include "ac3_test_util.h"

using namespace ac3dec;
using ac3test::Instance;
using ac3test::BitWriter;

namespace {

// --- Exponents -----------------------------------------------------------------

TEST(Exponents, UngroupingAndStrategies) {
  for (uint8_t strategy = 1; strategy <= 3; ++strategy) {
    Instance in;
    AC3DecState* s = in.s;
    s->bsi.nfchans = 1;
    const int g = 1 << (strategy - 1);
    in.a().chexpstr[0] = strategy;
    in.a().endmant[0] = 253;
    in.a().nchgrps[0] = 84 / g;
    in.a().exps[0][0] = 12;
    // Groups: +2+2+2, then -2-2-2, then zeros.
    for (int grp = 1; grp <= in.a().nchgrps[0]; ++grp) in.a().exps[0][grp] = grp == 1 ? 124 : grp == 2 ? 0 : 62;
    ExpRow(s, 0)[253] = 77;
    ASSERT_EQ(DecodeExponents(s), 0);
    const int32_t* e = ExpRow(s, 0);
    EXPECT_EQ(e[0], 12);
    const int expected[7] = {14, 16, 18, 16, 14, 12, 12};
    for (int k = 0; k < 7; ++k)
      for (int j = 0; j < g; ++j) EXPECT_EQ(e[1 + k * g + j], expected[k]) << int(strategy) << " " << k;
    EXPECT_EQ(e[252], 12);
    EXPECT_EQ(e[253], 77);  // past the last coded bin: untouched
  }
}

TEST(Exponents, CouplingLfeAndReuse) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.nfchans = 2;
  s->bsi.lfeon = 1;
  AC3AudioBlock& a = in.a();
  a.cplinu = 1;
  a.cplexpstr = 1;
  a.cplstrtmant = 37;
  a.cplendmant = 253;
  a.ncplgrps = 72;
  a.cplabsexp = 7;  // reference 14, not stored in a bin
  for (int g = 0; g < 72; ++g) a.cplexps[g] = 62;
  a.cplexps[0] = 87;  // +1, 0, 0
  a.lfeexpstr = 1;
  a.lfeexps[0] = 3;
  a.lfeexps[1] = 124;
  a.lfeexps[2] = 62;
  a.chexpstr[0] = a.chexpstr[1] = 0;  // reuse
  for (int bin = 0; bin < 256; ++bin) ExpRow(s, kCplSlot)[bin] = -1, ExpRow(s, 1)[bin] = 9;
  ASSERT_EQ(DecodeExponents(s), 0);
  EXPECT_EQ(ExpRow(s, kCplSlot)[36], -1);
  EXPECT_EQ(ExpRow(s, kCplSlot)[37], 15);
  EXPECT_EQ(ExpRow(s, kCplSlot)[252], 15);
  EXPECT_EQ(ExpRow(s, 1)[100], 9);
  const int lfe[7] = {3, 5, 7, 9, 9, 9, 9};
  for (int bin = 0; bin < 7; ++bin) EXPECT_EQ(ExpRow(s, kLfeSlot)[bin], lfe[bin]);
}

TEST(Exponents, ValuesOutsideTheCodedRangeRefuseTheBlock) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.nfchans = 1;
  AC3AudioBlock& a = in.a();
  a.chexpstr[0] = 1;
  a.endmant[0] = 73;
  a.nchgrps[0] = 24;
  a.exps[0][0] = 1;
  for (int g = 1; g <= 24; ++g) a.exps[0][g] = 62;
  a.exps[0][3] = 0;  // -2 -2 -2 from 1: below zero
  EXPECT_EQ(DecodeExponents(s), -2);
  a.exps[0][3] = 62;
  a.exps[0][0] = 24;
  a.exps[0][5] = 124;  // above 24
  EXPECT_EQ(DecodeExponents(s), -2);
  a.exps[0][5] = 62;
  a.exps[0][0] = 25;
  EXPECT_EQ(DecodeExponents(s), -2);
  a.exps[0][0] = 24;
  EXPECT_EQ(DecodeExponents(s), 0);
  // A D25 channel whose last group runs past its end bin: the padding may
  // hold anything, only coded bins count.
  a.chexpstr[0] = 2;
  a.endmant[0] = 76;  // 13 groups: bins 1..78
  a.nchgrps[0] = 13;
  for (int g = 1; g <= 13; ++g) a.exps[0][g] = 62;
  a.exps[0][0] = 0;
  a.exps[0][13] = 60;  // 0, 0, -2: the last exponent, -2, covers bins 77 and 78 only
  EXPECT_EQ(DecodeExponents(s), 0);
}

// --- Bit allocation ----------------------------------------------------------------

TEST(BitAllocation, LogAddAndLowComp) {
  EXPECT_EQ(logadd(1000, 1000), 1064);
  EXPECT_EQ(logadd(1000, 998), 1063);
  EXPECT_EQ(logadd(0, 3000), 3000);  // index capped at 255
  EXPECT_EQ(calc_lowcomp(100, 500, 756, 3), 384);
  EXPECT_EQ(calc_lowcomp(100, 500, 756, 10), 320);
  EXPECT_EQ(calc_lowcomp(100, 600, 500, 3), 36);
  EXPECT_EQ(calc_lowcomp(30, 600, 500, 3), 0);
  EXPECT_EQ(calc_lowcomp(100, 500, 600, 3), 100);
  EXPECT_EQ(calc_lowcomp(200, 500, 756, 20), 72);
  EXPECT_EQ(calc_lowcomp(100, 500, 756, 25), 0);
}

void SetDefaults(AC3AudioBlock& a) {
  a.sdcycod = 2, a.fdcycod = 1, a.sgaincod = 1, a.dbpbcod = 2, a.floorcod = 7;
  a.csnroffst = 15;
}

TEST(BitAllocation, ZeroSnrOffsetsClearEverySlot) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.nfchans = 2;
  s->bsi.lfeon = 1;
  for (int i = 0; i < 5 * 256 + 256 + 7; ++i) s->bap[i] = 9;
  SetDefaults(in.a());
  in.a().csnroffst = 0;
  in.a().fsnroffst[2] = 5;  // channel 2 is not in this stream
  in.a().cplinu = 0;
  in.a().cplfsnroffst = 7;  // coupling is not in use
  ASSERT_EQ(BitAllocation(s), 0);
  for (int i = 0; i < 5 * 256 + 256 + 7; ++i) ASSERT_EQ(s->bap[i], 0) << i;
  // One used fine offset: the ordinary computation runs, for flagged slots
  // and their coded bins only.
  for (int i = 0; i < 5 * 256 + 256 + 7; ++i) s->bap[i] = -1;
  in.a().fsnroffst[1] = 1;
  in.a().endmant[0] = in.a().endmant[1] = 100;
  in.a().baRecompute[1] = 1;
  ASSERT_EQ(BitAllocation(s), 0);
  for (int bin = 0; bin < 256; ++bin) {
    EXPECT_EQ(BapRow(s, 0)[bin], -1) << bin;
    if (bin < 100)
      EXPECT_EQ(BapRow(s, 1)[bin], 0) << bin;  // csnroffst 0 leaves no room for bits
    else
      EXPECT_EQ(BapRow(s, 1)[bin], -1) << bin;
  }
}

std::vector<int32_t> Baps(AC3DecState* s, int32_t start, int32_t end, int32_t fastleak, int32_t slowleak,
                          const DeltaBitAlloc* d, const std::vector<int32_t>& exps) {
  std::vector<int32_t> bap(256, -1);
  computeBap(start, end, FASTGAIN[4], (15 - 15) * 64 + 0, fastleak, slowleak, 0, exps.data(), d, bap.data(), s);
  return bap;
}

std::vector<int32_t> SlopedExponents() {
  std::vector<int32_t> e(256);
  for (int i = 0; i < 256; ++i) e[size_t(i)] = 2 + (i * 13 / 256) + ((i * 7) % 3);
  return e;
}

TEST(BitAllocation, DeltaSegmentsRaiseOrLowerTheirBandsOnly) {
  Instance in;
  SetDefaults(in.a());
  const auto exps = SlopedExponents();
  const auto base = Baps(in.s, 0, 253, 0, 0, nullptr, exps);
  DeltaBitAlloc d = {};
  d.deltbae = 1;
  d.deltnseg = 1;
  d.deltoffst[0] = 30, d.deltlen[0] = 3, d.deltba[0] = 7;  // bands 30..32 masked 512 higher
  d.deltoffst[1] = 5, d.deltlen[1] = 2, d.deltba[1] = 0;   // bands 38..39 masked 512 lower
  const auto delta = Baps(in.s, 0, 253, 0, 0, &d, exps);
  for (int bin = 0; bin < 253; ++bin) {
    const int band = MASKTAB[bin];
    if (band >= 30 && band <= 32)
      EXPECT_LE(delta[size_t(bin)], base[size_t(bin)]) << bin;
    else if (band >= 38 && band <= 39)
      EXPECT_GE(delta[size_t(bin)], base[size_t(bin)]) << bin;
    else
      EXPECT_EQ(delta[size_t(bin)], base[size_t(bin)]) << bin;
  }
  EXPECT_NE(delta, base);
  d.deltbae = 0;  // reuse: the stored segments apply again
  EXPECT_EQ(Baps(in.s, 0, 253, 0, 0, &d, exps), delta);
  d.deltbae = 2;  // none
  EXPECT_EQ(Baps(in.s, 0, 253, 0, 0, &d, exps), base);
  // A reused record whose segments now reach past band 49 is cut there.
  d.deltbae = 0;
  d.deltoffst[0] = 31, d.deltlen[0] = 15, d.deltoffst[1] = 31, d.deltlen[1] = 15;
  const auto cut = Baps(in.s, 0, 253, 0, 0, &d, exps);
  EXPECT_EQ(cut.size(), 256u);
}

TEST(BitAllocation, CouplingLeaksAndEmptyRanges) {
  Instance in;
  SetDefaults(in.a());
  const auto exps = SlopedExponents();
  const auto low = Baps(in.s, 37, 253, (0 << 8) + 768, (0 << 8) + 768, nullptr, exps);
  const auto high = Baps(in.s, 37, 253, (7 << 8) + 768, (7 << 8) + 768, nullptr, exps);
  for (int bin = 0; bin < 37; ++bin) EXPECT_EQ(low[size_t(bin)], -1) << bin;
  int fewer = 0;
  for (int bin = 37; bin < 253; ++bin) {
    EXPECT_LE(high[size_t(bin)], low[size_t(bin)]) << bin;
    fewer += high[size_t(bin)] < low[size_t(bin)];
  }
  EXPECT_GT(fewer, 0);
  const auto none = Baps(in.s, 100, 100, 768, 768, nullptr, exps);
  for (int32_t b : none) EXPECT_EQ(b, -1);
}

TEST(BitAllocation, AddressIsClampedToTheTable) {
  Instance in;
  SetDefaults(in.a());
  in.a().floorcod = 7;  // floor -2048
  std::vector<int32_t> loud(256, 0), quiet(256, 24), bap(256, -1);
  // Mask far below the PSD: address above 63 gives bap 15.
  computeBap(0, 253, FASTGAIN[0], 10000, 0, 0, 0, loud.data(), nullptr, bap.data(), in.s);
  for (int bin = 0; bin < 253; ++bin) ASSERT_EQ(bap[size_t(bin)], 15) << bin;
  // Mask far above: a negative address gives bap 0.
  computeBap(0, 253, FASTGAIN[7], -10000, 0, 0, 2, quiet.data(), nullptr, bap.data(), in.s);
  for (int bin = 0; bin < 253; ++bin) ASSERT_EQ(bap[size_t(bin)], 0) << bin;
}

TEST(BitAllocation, LfeBandsStopAtSeven) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.nfchans = 1;
  s->bsi.lfeon = 1;
  SetDefaults(in.a());
  in.a().lfefsnroffst = 5;
  in.a().baRecompute[kLfeSlot] = 1;
  for (int bin = 0; bin < 7; ++bin) ExpRow(s, kLfeSlot)[bin] = 4 + bin;
  ASSERT_EQ(BitAllocation(s), 0);
  for (int bin = 0; bin < 7; ++bin) {
    EXPECT_GE(BapRow(s, kLfeSlot)[bin], 0);
    EXPECT_LE(BapRow(s, kLfeSlot)[bin], 15);
  }
  // Decreasing PSD over the LFE bins: the first loop runs to its end.
  for (int bin = 0; bin < 7; ++bin) ExpRow(s, kLfeSlot)[bin] = 2;
  ASSERT_EQ(BitAllocation(s), 0);
  EXPECT_GT(BapRow(s, kLfeSlot)[0], 0);
}

// --- Mantissas and dither ------------------------------------------------------------

TEST(Dither, GeneratorSequenceFromSeedOne) {
  uint16_t seed = 1;
  EXPECT_FLOAT_EQ(dither_gen(&seed), -2992.731f);
  EXPECT_EQ(seed, 9081);
  EXPECT_FLOAT_EQ(dither_gen(&seed), -2127.363f);
  EXPECT_EQ(seed, 20273);
  EXPECT_EQ(dither_gen(nullptr), 0.0f);
}

// Codes without a quantiser level and exponents past 24 read as zero.
TEST(Mantissas, CodesWithoutLevelsAndExponentsPast24AreZero) {
  for (int c = 27; c < 32; ++c)
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bap1_mantissas[c][i], 0.0f);
  for (int c = 125; c < 128; ++c)
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bap2_mantissas[c][i], 0.0f);
  for (int c = 121; c < 128; ++c)
    for (int i = 0; i < 2; ++i) EXPECT_EQ(bap4_mantissas[c][i], 0.0f);
  EXPECT_EQ(bap3_mantissas[7], 0.0f);
  EXPECT_EQ(bap5_mantissas[15], 0.0f);
  EXPECT_EQ(u32_scale_factors[24], std::ldexp(1.0f, -39));
  for (int e = 25; e < 32; ++e) EXPECT_EQ(u32_scale_factors[e], 0.0f);
}

struct Unpacked {
  std::vector<float> out;
  int64_t bits;
};

Unpacked Unpack(const std::vector<int32_t>& bap, const std::vector<int32_t>& exp, BitWriter& w,
                MantissaGroups* groups = nullptr, int32_t dithflag = 0, uint16_t* seed = nullptr) {
  w.put(0, 32);
  const std::vector<uint8_t> bytes = w.bytes();
  AC3BitReader r;
  InitBitReader(&r, bytes.data(), int32_t(bytes.size()));
  MantissaGroups fresh = {3, 3, 3, nullptr, nullptr, nullptr};
  Unpacked u;
  u.out.assign(bap.size(), 99.0f);
  UnpackMantissas(bap.data(), exp.data(), u.out.data(), int32_t(bap.size()), dithflag, seed,
                  groups ? groups : &fresh, &r);
  u.bits = BitsRead(&r);
  return u;
}

TEST(Mantissas, SymmetricAsymmetricAndScaled) {
  BitWriter w;
  w.put(9 * 2 + 3 * 0 + 1, 5);  // bap 1 group: +, -, 0
  w.put(7, 3);                  // bap 3 code 7: no level
  w.put(6, 3);                  // bap 3: +6/7
  w.put(15, 4);                 // bap 5 code 15: no level
  w.put(0x10, 5);               // bap 6: -1.0
  w.put(0x8000, 16);            // bap 15: -1.0
  w.put(0x7FFF, 16);            // bap 15: just below +1.0
  const std::vector<int32_t> bap = {1, 3, 3, 5, 6, 15, 15, 1, 1};
  const std::vector<int32_t> exp = {0, 0, 1, 0, 2, 3, 0, 0, 0};
  const Unpacked u = Unpack(bap, exp, w);
  EXPECT_EQ(u.bits, 5 + 3 + 3 + 4 + 5 + 16 + 16);
  EXPECT_FLOAT_EQ(u.out[0], 2.0f / 3.0f);
  EXPECT_EQ(u.out[1], 0.0f);
  EXPECT_FLOAT_EQ(u.out[2], 6.0f / 7.0f / 2.0f);
  EXPECT_EQ(u.out[3], 0.0f);
  EXPECT_EQ(u.out[4], -0.25f);
  EXPECT_EQ(u.out[5], -0.125f);
  EXPECT_FLOAT_EQ(u.out[6], 32767.0f / 32768.0f);
  EXPECT_FLOAT_EQ(u.out[7], -2.0f / 3.0f);  // rest of the first group
  EXPECT_EQ(u.out[8], 0.0f);
}

TEST(Mantissas, GroupsSpanRangesAndTruncatedInputReadsZeros) {
  BitWriter w;
  w.put(25 * 4 + 5 * 0 + 2, 7);  // bap 2 group: +4/5, -4/5, 0
  w.put(11 * 10 + 0, 7);         // bap 4 group: +10/11, -10/11
  MantissaGroups groups = {3, 3, 3, nullptr, nullptr, nullptr};
  w.put(0, 32);
  const std::vector<uint8_t> bytes = w.bytes();
  AC3BitReader r;
  InitBitReader(&r, bytes.data(), int32_t(bytes.size()));
  const std::vector<int32_t> bap = {2, 4}, exp = {0, 0};
  float first[2], second[3];
  UnpackMantissas(bap.data(), exp.data(), first, 2, 0, nullptr, &groups, &r);
  EXPECT_EQ(BitsRead(&r), 14);
  const std::vector<int32_t> bap2 = {2, 2, 4}, exp2 = {0, 0, 0};
  UnpackMantissas(bap2.data(), exp2.data(), second, 3, 0, nullptr, &groups, &r);
  EXPECT_EQ(BitsRead(&r), 14);  // both groups were already held
  EXPECT_FLOAT_EQ(first[0], 0.8f);
  EXPECT_FLOAT_EQ(first[1], 10.0f / 11.0f);
  EXPECT_FLOAT_EQ(second[0], -0.8f);
  EXPECT_EQ(second[1], 0.0f);
  EXPECT_FLOAT_EQ(second[2], -10.0f / 11.0f);

  // Past the end of the data every code reads as 0: -2/3 for bap 1.
  const std::vector<uint8_t> empty = {0x00};
  InitBitReader(&r, empty.data(), 0);
  MantissaGroups g2 = {3, 3, 3, nullptr, nullptr, nullptr};
  const std::vector<int32_t> b1 = {1, 6}, e1 = {0, 0};
  float v[2];
  UnpackMantissas(b1.data(), e1.data(), v, 2, 0, nullptr, &g2, &r);
  EXPECT_FLOAT_EQ(v[0], -2.0f / 3.0f);
  EXPECT_EQ(v[1], 0.0f);
}

TEST(Mantissas, ZeroBitBinsTakeDitherOnlyWhenAsked) {
  BitWriter w;
  const std::vector<int32_t> bap(8, 0), exp = {0, 1, 2, 3, 4, 5, 24, 0};
  Unpacked quiet = Unpack(bap, exp, w);
  EXPECT_EQ(quiet.bits, 0);
  for (float v : quiet.out) EXPECT_EQ(v, 0.0f);
  uint16_t seed = 1;
  BitWriter w2;
  Unpacked noisy = Unpack(bap, exp, w2, nullptr, 1, &seed);
  EXPECT_EQ(noisy.bits, 0);
  uint16_t check = 1;
  for (size_t i = 0; i < bap.size(); ++i)
    EXPECT_EQ(noisy.out[i], dither_gen(&check) * u32_scale_factors[exp[i]]) << i;
  EXPECT_EQ(seed, check);
  BitWriter w3;
  Unpacked noSeed = Unpack(bap, exp, w3, nullptr, 1, nullptr);
  for (float v : noSeed.out) EXPECT_EQ(v, 0.0f);
}

// Two coupled channels of a 2/0 stream plus LFE, every bin without bits:
// the first channel takes the coupling channel's dither, the second fresh
// dither (or zeros), both scaled by their coordinates; the LFE stays silent.
TEST(Mantissas, DecouplingAndLfe) {
  for (int dith1 = 0; dith1 <= 1; ++dith1) {
    Instance in;
    AC3DecState* s = in.s;
    s->bsi.nfchans = 2;
    s->bsi.lfeon = 1;
    AC3AudioBlock& a = in.a();
    a.cplinu = 1;
    a.chincpl[0] = a.chincpl[1] = 1;
    a.dithflag[0] = 1;
    a.dithflag[1] = uint8_t(dith1);
    a.cplstrtmant = 37;
    a.cplendmant = 61;
    a.ncplsubnd = 2;
    a.cplbndend[0] = 49;
    a.cplbndend[1] = 61;
    a.endmant[0] = a.endmant[1] = 37;
    a.cplco[0][0] = 2.0f, a.cplco[0][1] = 4.0f;
    a.cplco[1][0] = -1.0f, a.cplco[1][1] = 0.5f;
    for (int bin = 0; bin < 256; ++bin) ExpRow(s, kCplSlot)[bin] = 3;
    for (int i = 0; i < 5 * 256 + 256 + 7; ++i) s->bap[i] = 0;
    for (int c = 0; c < 6; ++c)
      for (int bin = 0; bin < 256; ++bin) s->coeffs[c][bin] = 5.0f;
    const std::vector<uint8_t> none = {0, 0, 0, 0};
    AC3BitReader r;
    InitBitReader(&r, none.data(), int32_t(none.size()));
    ASSERT_EQ(DecodeMantissas(s, &r), 0);
    EXPECT_EQ(BitsRead(&r), 0);
    uint16_t seed = 1;
    // Order of dither draws: channel 0 (bins 0..36, exponent 0), coupling
    // (bins 37..60), channel 1 (bins 0..36), channel 1's coupling bins.
    for (int bin = 0; bin < 37; ++bin) EXPECT_EQ(s->coeffs[0][bin], dither_gen(&seed) * u32_scale_factors[0]);
    std::vector<float> cpl(61);
    for (int bin = 37; bin < 61; ++bin) cpl[size_t(bin)] = dither_gen(&seed) * u32_scale_factors[3];
    for (int bin = 0; bin < 37; ++bin)
      EXPECT_EQ(s->coeffs[1][bin], dith1 ? dither_gen(&seed) * u32_scale_factors[0] : 0.0f);
    for (int bin = 37; bin < 61; ++bin) {
      const float own = dith1 ? dither_gen(&seed) * u32_scale_factors[3] : 0.0f;
      EXPECT_EQ(s->coeffs[0][bin], cpl[size_t(bin)] * (bin < 49 ? 2.0f : 4.0f)) << bin;
      EXPECT_EQ(s->coeffs[1][bin], own * (bin < 49 ? -1.0f : 0.5f)) << bin;
    }
    EXPECT_EQ(s->ditherSeed, seed);
    for (int bin = 61; bin < 256; ++bin) {
      EXPECT_EQ(s->coeffs[0][bin], 0.0f);
      EXPECT_EQ(s->coeffs[1][bin], 0.0f);
    }
    for (int bin = 0; bin < 7; ++bin) EXPECT_EQ(s->coeffs[kLfeRow][bin], 0.0f);
  }
}

}  // namespace
