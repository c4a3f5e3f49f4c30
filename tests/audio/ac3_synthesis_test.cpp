// Synthesis stages on synthetic data: rematrixing, the inverse transform of
// long and block-switched blocks against the direct formulas, downmixing of
// every layout against the mixing rules written out independently here, and
// the block gain, window, overlap and 16-bit output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <random>
#include <vector>

#include "AC3DecState.h"
#include "AC3Tables.h"
#include "ac3_test_util.h"

using namespace ac3dec;
using ac3test::Instance;

namespace {

void FillRandom(float* p, int n, std::mt19937& rng, float scale) {
  std::uniform_real_distribution<float> u(-scale, scale);
  for (int i = 0; i < n; ++i) p[i] = u(rng);
}

// --- Rematrixing -------------------------------------------------------------

// Bands follow the coupling start (every flag set, endmant 253); then flags
// 1 and 3 only, with the shorter channel limiting the bins.
TEST(Rematrixing, BandsFlagsAndTheShorterChannel) {
  struct Case {
    int cplinu, cplbegf, nrematbd, flags, end0, end1;
    std::vector<std::pair<int, int>> bins;  // rematrixed ranges
  };
  const Case cases[] = {{0, 0, 4, 15, 253, 253, {{13, 252}}}, {1, 0, 2, 15, 253, 253, {{13, 36}}},
                        {1, 1, 3, 15, 253, 253, {{13, 48}}},  {1, 2, 3, 15, 253, 253, {{13, 60}}},
                        {1, 5, 4, 15, 253, 253, {{13, 96}}},  {0, 0, 4, 10, 100, 80, {{25, 36}, {61, 79}}}};
  for (const Case& c : cases) {
    Instance in;
    AC3DecState* s = in.s;
    s->audblk.cplinu = uint8_t(c.cplinu);
    s->audblk.cplbegf = uint8_t(c.cplbegf);
    s->audblk.nrematbd = uint8_t(c.nrematbd);
    for (int b = 0; b < 4; ++b) s->audblk.rematflg[b] = (c.flags >> b) & 1;
    s->audblk.endmant[0] = uint8_t(c.end0);
    s->audblk.endmant[1] = uint8_t(c.end1);
    for (int k = 0; k < 256; ++k) s->coeffs[0][k] = 3.0f, s->coeffs[1][k] = 1.0f;
    Rematrixing(s);
    for (int k = 0; k < 256; ++k) {
      bool inBand = false;
      for (auto [lo, hi] : c.bins) inBand |= k >= lo && k <= hi;
      ASSERT_EQ(s->coeffs[0][k], inBand ? 4.0f : 3.0f) << "bin " << k << " case " << (&c - cases);
      ASSERT_EQ(s->coeffs[1][k], inBand ? 2.0f : 1.0f) << "bin " << k << " case " << (&c - cases);
    }
  }
}

// --- Inverse transform -------------------------------------------------------

// Long block: T[n] = 1/256 × Σ X[k] cos(π/1024 (2n + 257)(2k + 1)).
std::vector<double> DirectLong(const float* x) {
  std::vector<double> t(512);
  for (int n = 0; n < 512; ++n) {
    double acc = 0;
    for (int k = 0; k < 256; ++k) acc += x[k] * std::cos(M_PI / 1024 * (2 * n + 257) * (2 * k + 1));
    t[size_t(n)] = acc / 256;
  }
  return t;
}

// Block-switched: the even coefficients make the first half, the odd ones the
// second, both on the scale of a long block.
std::vector<double> DirectShort(const float* x) {
  std::vector<double> t(512);
  for (int n = 0; n < 256; ++n) {
    double first = 0, second = 0;
    for (int k = 0; k < 128; ++k) {
      first += x[2 * k] * std::cos(M_PI / 512 * (2 * n + 1) * (2 * k + 1));
      second += x[2 * k + 1] * std::cos(M_PI / 512 * (2 * n + 257) * (2 * k + 1));
    }
    t[size_t(n)] = first / 256;
    t[size_t(256 + n)] = second / 256;
  }
  return t;
}

void ExpectClose(const float* got, const std::vector<double>& want, const char* what) {
  double peak = 0;
  for (double v : want) peak = std::max(peak, std::fabs(v));
  for (size_t n = 0; n < want.size(); ++n)
    ASSERT_NEAR(got[n], want[n], 2e-6 * peak + 1e-12) << what << " sample " << n;
}

TEST(InverseTransform, LongAndSwitchedBlocksMatchTheDirectFormulas) {
  std::mt19937 rng(7);
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.acmod = 7;
  s->bsi.nfchans = 5;
  s->bsi.lfeon = 1;
  s->outFormat.lfe = 1;
  const uint8_t switched[5] = {0, 1, 0, 1, 1};
  for (int ch = 0; ch < 6; ++ch) FillRandom(s->coeffs[ch], 256, rng, 1.0f);
  for (int ch = 0; ch < 5; ++ch) s->audblk.blksw[ch] = switched[ch];
  for (int i = 7; i < 256; ++i) s->coeffs[kLfeRow][i] = 0;
  EXPECT_EQ(InverseTransform(s), 0);
  for (int ch = 0; ch < 5; ++ch)
    ExpectClose(s->timeRows[ch], switched[ch] ? DirectShort(s->coeffs[ch]) : DirectLong(s->coeffs[ch]),
                switched[ch] ? "switched" : "long");
  ExpectClose(s->timeRows[kLfeRow], DirectLong(s->coeffs[kLfeRow]), "lfe");
}

TEST(InverseTransform, LfeIsTransformedOnlyWhenTheOutputWantsIt) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.acmod = 7;
  s->bsi.nfchans = 5;
  s->bsi.lfeon = 1;
  s->outFormat.lfe = 0;
  s->coeffs[kLfeRow][0] = 1.0f;
  s->timeRows[kLfeRow][0] = 123.0f;
  InverseTransform(s);
  EXPECT_EQ(s->timeRows[kLfeRow][0], 123.0f);
  s->outFormat.lfe = 1;
  InverseTransform(s);
  EXPECT_NE(s->timeRows[kLfeRow][0], 123.0f);
}

// --- Downmixing --------------------------------------------------------------

enum { L, C, R, Ls, Rs, S, kRoles };

// Channels of each acmod in coded order.
const std::vector<int> kCoded[8] = {{}, {C}, {L, R}, {L, C, R}, {L, R, S}, {L, C, R, S}, {L, R, Ls, Rs}, {L, C, R, Ls, Rs}};
const int kFronts[8] = {2, 1, 2, 3, 2, 3, 2, 3};
const int kRears[8] = {0, 0, 0, 0, 1, 1, 2, 2};

// The mixing rules, written out from the layout tables: expected output
// channels (in output order) from the stream's roles.
std::vector<std::vector<double>> ExpectedMix(int acmod, int outAcmod, int ltrt, double c, double sl,
                                             const std::vector<std::vector<double>>& role) {
  const size_t n = 512;
  auto zero = std::vector<double>(n, 0.0);
  auto get = [&](int r) { return role[size_t(r)]; };
  const int F = kFronts[acmod], B = kRears[acmod];
  const double k = double(0.707f);
  std::vector<std::vector<double>> out;
  auto lin = [&](std::initializer_list<std::pair<double, int>> terms) {
    std::vector<double> v(n, 0.0);
    for (auto& t : terms)
      for (size_t i = 0; i < n; ++i) v[i] += t.first * role[size_t(t.second)][i];
    return v;
  };
  if (outAcmod == 1) {
    std::vector<double> m;
    if (F == 1) m = get(C);
    if (F == 2) m = lin({{0.5, L}, {0.5, R}});
    if (F == 3) m = lin({{0.5 * c, C}, {0.5, L}, {0.5, R}});
    std::vector<double> rear = B == 1 ? lin({{0.5 * sl, S}}) : B == 2 ? lin({{0.5 * sl, Ls}, {0.5 * sl, Rs}}) : zero;
    for (size_t i = 0; i < n; ++i) m[i] += rear[i];
    out.push_back(m);
    return out;
  }
  if (outAcmod == 2) {
    const double cc = ltrt ? k : c;
    std::vector<double> l = F == 1 ? lin({{cc, C}}) : F == 2 ? get(L) : lin({{1, L}, {cc, C}});
    std::vector<double> r = F == 1 ? lin({{cc, C}}) : F == 2 ? get(R) : lin({{1, R}, {cc, C}});
    std::vector<double> al = zero, ar = zero;
    if (ltrt) {
      if (B == 1) al = lin({{-k, S}}), ar = lin({{k, S}});
      if (B == 2) al = lin({{-k, Ls}, {-k, Rs}}), ar = lin({{k, Ls}, {k, Rs}});
    } else {
      if (B == 1) al = ar = lin({{k * sl, S}});
      if (B == 2) al = lin({{sl, Ls}}), ar = lin({{sl, Rs}});
    }
    for (size_t i = 0; i < n; ++i) l[i] += al[i], r[i] += ar[i];
    out.push_back(l);
    out.push_back(r);
    return out;
  }
  const int Fo = kFronts[outAcmod], Bo = kRears[outAcmod];
  std::vector<double> l, cen, r;
  if (Fo == 2) {
    l = F == 1 ? lin({{k, C}}) : F == 2 ? get(L) : lin({{1, L}, {c, C}});
    r = F == 1 ? lin({{k, C}}) : F == 2 ? get(R) : lin({{1, R}, {c, C}});
  } else {
    l = F == 1 ? zero : get(L);
    cen = F == 2 ? zero : get(C);
    r = F == 1 ? zero : get(R);
  }
  std::vector<double> s = zero, ls = zero, rs = zero;
  if (B == 1) {
    if (Bo == 0) {
      auto add = lin({{k * sl, S}});
      for (size_t i = 0; i < n; ++i) l[i] += add[i], r[i] += add[i];
    }
    if (Bo == 1) s = get(S);
    if (Bo == 2) ls = rs = lin({{k, S}});
  }
  if (B == 2) {
    if (Bo == 0) {
      auto al = lin({{sl, Ls}}), ar = lin({{sl, Rs}});
      for (size_t i = 0; i < n; ++i) l[i] += al[i], r[i] += ar[i];
    }
    if (Bo == 1) s = lin({{sl, Ls}, {sl, Rs}});
    if (Bo == 2) ls = get(Ls), rs = get(Rs);
  }
  out.push_back(l);
  if (Fo == 3) out.push_back(cen);
  out.push_back(r);
  if (Bo == 1) out.push_back(s);
  if (Bo == 2) out.push_back(ls), out.push_back(rs);
  return out;
}

void CheckDownmix(int acmod, int lfeon, int outAcmod, int outLfe, int ltrt, int cmixlev, int surmixlev,
                  std::mt19937& rng) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.acmod = uint8_t(acmod);
  s->bsi.nfchans = NFCHANS[acmod];
  s->bsi.lfeon = uint8_t(lfeon);
  s->bsi.cmixlev = uint8_t(cmixlev);
  s->bsi.surmixlev = uint8_t(surmixlev);
  s->outFormat.acmod = outAcmod;
  s->outFormat.lfe = outLfe;
  s->outFormat.stereoMode = ltrt;
  // Every row starts with garbage: rows without a coded channel must be
  // silenced, whatever an earlier block left there.
  for (int row = 0; row < 7; ++row) FillRandom(s->timeRows[row], 512, rng, 1000.0f);
  std::vector<std::vector<double>> role(kRoles, std::vector<double>(512, 0.0));
  const std::vector<int>& coded = kCoded[acmod];
  for (size_t ch = 0; ch < coded.size(); ++ch)
    for (int i = 0; i < 512; ++i) role[size_t(coded[ch])][size_t(i)] = s->timeRows[ch][i];
  std::vector<float> lfe(s->timeRows[kLfeRow], s->timeRows[kLfeRow] + 512);

  Downmixing(s);
  const auto want = ExpectedMix(acmod, outAcmod, ltrt && outAcmod == 2, Clev[cmixlev], Slev[surmixlev], role);
  const std::string what = "acmod " + std::to_string(acmod) + " lfe " + std::to_string(lfeon) + " to " +
                           std::to_string(outAcmod) + (ltrt ? " Lt/Rt" : "") + " cmix " +
                           std::to_string(cmixlev) + " surmix " + std::to_string(surmixlev);
  for (size_t o = 0; o < want.size(); ++o)
    for (size_t i = 0; i < 512; ++i)
      ASSERT_NEAR(s->outChannels[o][i], want[o][i], 2e-3) << what << " output " << o << " sample " << i;
  if (outLfe) {
    // The LFE is listed last and never mixed into another channel.
    const float* listed = s->outChannels[want.size()];
    ASSERT_EQ(listed, s->timeRows[kLfeRow]) << what;
    for (int i = 0; i < 512; ++i) ASSERT_EQ(listed[i], lfe[size_t(i)]) << what;
  }
}

// Every layout, with and without LFE, to Lo/Ro, Lt/Rt and mono at every
// pair of mix levels, and to every larger layout; the LFE is passed through
// (or listed though absent, cleared later by the output stage).
TEST(Downmixing, EveryLayoutToEveryOutput) {
  std::mt19937 rng(11);
  for (int acmod = 1; acmod <= 7; ++acmod) {
    for (int lfeon = 0; lfeon <= 1; ++lfeon)
      for (int cmix = 0; cmix < 4; ++cmix)
        for (int surmix = 0; surmix < 4; ++surmix) {
          CheckDownmix(acmod, lfeon, 2, 0, 0, cmix, surmix, rng);
          CheckDownmix(acmod, lfeon, 2, 0, 1, cmix, surmix, rng);
          CheckDownmix(acmod, lfeon, 1, 0, 0, cmix, surmix, rng);
        }
    for (int out = 3; out <= 7; ++out)
      for (int surmix = 0; surmix < 4; ++surmix) {
        CheckDownmix(acmod, 0, out, 0, 0, (surmix + 1) & 3, surmix, rng);
        CheckDownmix(acmod, 1, out, 0, 1, surmix, surmix, rng);  // Lt/Rt only matters for 2/0
      }
  }
  CheckDownmix(7, 1, 7, 1, 0, 0, 0, rng);  // 3/2+LFE passes through unchanged
  CheckDownmix(2, 1, 2, 1, 0, 0, 0, rng);  // 2/0+LFE: L R LFE
  CheckDownmix(7, 0, 7, 1, 0, 0, 0, rng);
}

TEST(Downmixing, ConstantsAreTheSinglePrecisionValues) {
  EXPECT_EQ(std::vector<float>(Clev, Clev + 4), (std::vector<float>{0.707f, 0.595f, 0.5f, 0.595f}));
  EXPECT_EQ(std::vector<float>(Slev, Slev + 4), (std::vector<float>{0.707f, 0.5f, 0.0f, 0.5f}));
}

// --- Gain, window, overlap and output ----------------------------------------

// {switches, compre, compr, dynrng, dialnorm, gain}: all switches off gives
// 1.0 whatever the words say; dynamic range words; heavy compression (the
// compr word when present, else plain dynrng); dialogue normalisation.
TEST(BlockGain, DynamicRangeCompressionAndDialogueNormalisation) {
  enum { kDrc = 1, kHeavy = 2, kDialNorm = 4 };
  const float rf = 3.6665f;
  struct Row {
    int switches, compre, compr, dynrng, dialnorm;
    float gain;
  };
  const Row rows[] = {{0, 1, 0x80, 0x80, 25, 1.0f},         {kDrc, 0, 0, 0x00, 31, 1.0f},
                      {kDrc, 0, 0, 0x80, 31, 0.0625f},       {kDrc, 0, 0, 0x7F, 31, 15.75f},
                      {kDrc, 0, 0, 0x20, 31, 2.0f},          {kDrc, 0, 0, 0xE0, 31, 0.5f},
                      {kHeavy, 1, 0xF0, 0x00, 31, 0.5f * rf}, {kHeavy, 1, 0x10, 0x00, 31, 2.0f * rf},
                      {kHeavy, 1, 0x00, 0x20, 31, 2.0f * rf}, {kHeavy, 0, 0xF0, 0x20, 31, 2.0f},
                      {kDialNorm, 0, 0, 0, 31, 1.0f},        {kDialNorm, 0, 0, 0, 0, 1.0f},
                      {kDialNorm, 0, 0, 0, 25, 0.5f},        {kDialNorm, 0, 0, 0, 19, 0.25f},
                      {kDialNorm, 0, 0, 0, 1, 0.03125f}};
  Instance in;
  for (const Row& r : rows) {
    in.s->outFormat.dynamicRange = (r.switches & kDrc) != 0;
    in.s->outFormat.heavyCompression = (r.switches & kHeavy) != 0;
    in.s->outFormat.dialNorm = (r.switches & kDialNorm) != 0;
    EXPECT_EQ(dynamicRange(r.compre, r.compr, r.dynrng, r.dialnorm, in.s), r.gain) << (&r - rows);
  }
}

TEST(WindowOverlap, RoundsToEvenSaturatesAndKeepsTheTail) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.acmod = 1;
  s->outFormat.acmod = 1;
  s->outChannels[0] = s->timeRows[0];
  float* p = s->timeRows[0];
  const float values[6] = {2.5f, 3.5f, -2.5f, 40000.0f, -40000.0f, 0.49f};
  const int16_t expect[6] = {2, 4, -2, 32767, -32768, 0};
  for (int i = 0; i < 256; ++i) {
    p[i] = 0.0f;
    s->overlap[0][i] = values[i % 6];
    p[256 + i] = -1.0f / 16777216.0f;  // after the -2^24 scale and window: w[255 - i]
  }
  int16_t out[256];
  EXPECT_EQ(WindowOverlap(s, out), 256);
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(out[i], expect[i % 6]) << i;
    ASSERT_EQ(s->overlap[0][i], TransformWindow[255 - i]) << i;
  }
}

TEST(WindowOverlap, FirstBlockRisesWithTheWindow) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.acmod = 1;
  s->outFormat.acmod = 1;
  s->outChannels[0] = s->timeRows[0];
  for (int i = 0; i < 512; ++i) s->timeRows[0][i] = -0.5f;
  int16_t out[256];
  WindowOverlap(s, out);
  for (int i = 0; i < 256; ++i) {
    const double want = std::min(32767.0, std::nearbyint(8388608.0 * TransformWindow[i]));
    ASSERT_EQ(out[i], int16_t(want)) << i;
  }
  EXPECT_EQ(out[0], 1174);  // 2^23 × 0.00014, rounded
}

TEST(WindowOverlap, MissingLfeIsSilentAndChannelsInterleave) {
  Instance in;
  AC3DecState* s = in.s;
  s->bsi.acmod = 7;
  s->bsi.lfeon = 0;
  s->outFormat.acmod = 7;
  s->outFormat.lfe = 1;
  for (int c = 0; c < 6; ++c) {
    s->outChannels[c] = s->timeRows[c];
    for (int i = 0; i < 512; ++i) s->timeRows[c][i] = float(c + 1) / -16777216.0f * 1000.0f;
  }
  std::vector<int16_t> out(6 * 256);
  EXPECT_EQ(WindowOverlap(s, out.data()), 6 * 256);
  for (int i = 128; i < 256; ++i)
    for (int c = 0; c < 6; ++c) {
      const int want = c == 5 ? 0 : int(std::nearbyint(float(c + 1) * 1000.0f * TransformWindow[i]));
      ASSERT_NEAR(out[size_t(i) * 6 + size_t(c)], want, 1) << i << " " << c;
    }
}

}  // namespace
