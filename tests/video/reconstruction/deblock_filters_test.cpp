// Edge sample filters against a plain model of the standard's luma and
// chroma filtering, for every bS and every alpha/beta/tC0 index, on vertical
// and horizontal edges of every segment length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "deblock_filters.h"
#include "deblock_model.h"

namespace {

using namespace deblock_model;

// A plane with a guard ring; the edge lies between columns (or rows) 7 and 8.
struct Plane {
  static constexpr int kPitch = 40, kRows = 32;
  std::vector<uint8_t> s = std::vector<uint8_t>(kPitch * kRows);
  uint8_t* at(int x, int y) { return s.data() + (y + 4) * kPitch + x + 4; }
};

// Samples that often pass the thresholds: a smooth ramp per side with a
// step across the edge, or noise, or the value extremes.
void fill(Plane& pl, std::mt19937& rng, int style) {
  std::uniform_int_distribution<int> any(0, 255), small(-3, 3), step(-40, 40), pick(0, 1);
  for (auto& v : pl.s) v = static_cast<uint8_t>(any(rng));
  if (style == 0) return;
  const int base = any(rng);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      int v;
      if (style == 3)
        v = pick(rng) ? 255 : 0;
      else
        v = base + (x >= 8 ? step(rng) / (style == 1 ? 1 : 8) : 0) + small(rng);
      *pl.at(x, y) = static_cast<uint8_t>(clip3(0, 255, v));
    }
}

// Applies the model to line i of a vertical (true) or horizontal edge at
// sample (8, 0) or (0, 8).
void model_line_at(Plane& pl, bool vertical, int i, int bS, int indexA, int indexB, bool chroma) {
  model_samples(vertical ? pl.at(8, i) : pl.at(i, 8), vertical ? 1 : Plane::kPitch, bS, indexA, indexB, chroma);
}

struct Offsets {
  int8_t a, b;
};
const Offsets kOffsets[] = {{0, 0}, {12, -12}, {-12, 12}, {6, 0}, {0, -6}, {12, 12}, {-12, -12}};

// The edge filter model reads these tables, so they are checked on their
// own: zero thresholds below index 16, known end values, and every column
// non-decreasing with the index.
TEST(DeblockTables, KnownValues) {
  EXPECT_TRUE(AlphaTable[16] == 4 && AlphaTable[51] == 255 && BetaTable[16] == 2 && BetaTable[51] == 18);
  const uint8_t last[5] = {0, 13, 17, 25, 25};
  for (int c = 0; c < 5; ++c) EXPECT_EQ(ClipTable[5 * 51 + c], last[c]);
  // The first non-zero tC0 of bS 3, 2 and 1.
  EXPECT_TRUE(ClipTable[5 * 17 + 3] == 1 && ClipTable[5 * 20 + 2] == 0 && ClipTable[5 * 21 + 2] == 1);
  EXPECT_TRUE(ClipTable[5 * 22 + 1] == 0 && ClipTable[5 * 23 + 1] == 1);
  for (int i = 0; i < 52; ++i) {
    EXPECT_TRUE(i >= 16 || (AlphaTable[i] == 0 && BetaTable[i] == 0)) << i;
    EXPECT_TRUE(i >= 17 || (ClipTable[5 * i + 1] == 0 && ClipTable[5 * i + 2] == 0 && ClipTable[5 * i + 3] == 0)) << i;
    EXPECT_TRUE(ClipTable[5 * i] == 0 && ClipTable[5 * i + 4] == ClipTable[5 * i + 3]) << i;
    EXPECT_TRUE(ClipTable[5 * i + 1] <= ClipTable[5 * i + 2] && ClipTable[5 * i + 2] <= ClipTable[5 * i + 3]) << i;
    if (i == 0) continue;
    EXPECT_TRUE(AlphaTable[i] >= AlphaTable[i - 1] && BetaTable[i] >= BetaTable[i - 1]) << i;
    for (int c = 1; c < 4; ++c) EXPECT_GE(ClipTable[5 * i + c], ClipTable[5 * (i - 1) + c]) << i;
  }
}

// The per-slice threshold table: every qPav a record can hold under
// offsets up to the int8 extremes (a damaged header is not range-checked)
// clips its indices to 0..51; an entry lets lines through exactly when
// alpha and beta are both non-zero.
TEST(DeblockTables, ThresholdTableClipsEveryIndex) {
  for (const int8_t a : {-128, -12, -3, 0, 7, 12, 127})
    for (const int8_t b : {-128, -12, 0, 5, 12, 127}) {
      const int8_t offsets[2] = {a, b};
      ThresholdTable t;
      build_threshold_table(offsets, &t);
      for (int qp = 0; qp < 256; ++qp) {
        const int indexA = clip3(0, 51, qp + a), indexB = clip3(0, 51, qp + b);
        const EdgeThresholds& e = t.byQp[qp];
        ASSERT_EQ(e.alpha, AlphaTable[indexA]) << qp << " " << int(a);
        ASSERT_EQ(e.beta, BetaTable[indexB]) << qp << " " << int(b);
        for (int bS = 0; bS < 4; ++bS) ASSERT_EQ(e.tc0[bS], ClipTable[5 * indexA + bS]) << qp << " bS " << bS;
        ASSERT_EQ(e.filters != 0, e.alpha != 0 && e.beta != 0) << qp;
      }
    }
}

// Luma (8-, 4- and 1-line forms) and chroma (4-, 2- and 1-line forms, two
// planes with their own qPav) against the model, vertical and horizontal;
// and the whole-edge forms (edge 0 of the macroblock kernels: 16 luma or 8
// chroma lines) with a random bS up to the tested one per segment, 0
// included.
TEST(DeblockFilters, LumaAndChromaMatchTheModelForEveryStrengthAndIndex) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> qp(0, 51), segment(0, 3);
  const auto u8 = [](int v) { return static_cast<uint8_t>(v); };
  constexpr int P = Plane::kPitch;
  for (const bool chroma : {false, true})
    for (int bS = 1; bS <= 4; ++bS)
      for (int qPav = 0; qPav <= 51; ++qPav)
        for (const Offsets& off : kOffsets)
          for (int style = 0; style < 4; ++style) {
            const int8_t o[2] = {off.a, off.b};
            ThresholdTable thresholds;
            build_threshold_table(o, &thresholds);
            const int qPavB = chroma ? qp(rng) : qPav;
            Plane baseA, baseB;
            fill(baseA, rng, style);
            fill(baseB, rng, style);
            // vertical n, vertical n/2, horizontal n, horizontal n/2, one line, whole vertical, whole horizontal
            for (int form = 0; form < 7; ++form) {
              const bool vertical = form < 2 || form == 4 || form == 5;
              const int lines = form >= 5 ? (chroma ? 8 : 16) : form == 4 ? 1 : (chroma ? 4 : 8) >> (form & 1);
              uint8_t segs[4] = {u8(bS), u8(bS), u8(bS), u8(bS)};
              if (form >= 5 && bS < 4)
                for (uint8_t& v : segs) v = u8(std::min(bS, segment(rng)));
              Plane gotA = baseA, gotB = baseB, wantA = baseA, wantB = baseB;
              uint8_t* a = vertical ? gotA.at(8, 0) : gotA.at(0, 8);
              uint8_t* b = vertical ? gotB.at(8, 0) : gotB.at(0, 8);
              const uint8_t s = u8(bS), q = u8(qPav), qB = u8(qPavB);
              // The whole-edge forms: edge 0 of the macroblock kernels.
              const uint8_t edges[4][4] = {{segs[0], segs[1], segs[2], segs[3]}};
              const uint8_t qps[2] = {q, q}, qpc[2][2] = {{q, qB}, {q, qB}};
              switch (form + 7 * chroma) {
                case 0: FilteringProcessVerticalLuma8x8(a, P, s, q, o); break;
                case 1: FilteringProcessVerticalLuma4x4(a, P, s, q, o); break;
                case 2: FilteringProcessHorizontalLuma8x8(a, s, q, o, P); break;
                case 3: FilteringProcessHorizontalLuma4x4(a, s, q, o, P); break;
                case 4: FilteringProcessVerticalLuma(a, s, q, o); break;
                case 5: case 6: deblock_dsp().luma_macroblock(a, P, vertical ? edges : nullptr, vertical ? nullptr : edges, qps, qps, &thresholds); break;
                case 7: FilteringProcessVerticalChroma4x4(a, b, P, s, q, qB, o); break;
                case 8: FilteringProcessVerticalChroma2x2(a, b, P, s, q, qB, o); break;
                case 9: FilteringProcessHorizontalChroma4x4(a, b, s, q, qB, o, P); break;
                case 10: FilteringProcessHorizontalChroma2x2(a, b, s, q, qB, o, P); break;
                case 11: FilteringProcessVerticalChroma(a, b, s, q, qB, o); break;
                default: deblock_dsp().chroma_macroblock(a, b, P, vertical ? edges : nullptr, vertical ? nullptr : edges, qpc, qpc, &thresholds); break;
              }
              for (int i = 0; i < lines; ++i) {
                const int lineBs = segs[i / (chroma ? 2 : 4) % 4];
                if (lineBs == 0) continue;
                model_line_at(wantA, vertical, i, lineBs, clip3(0, 51, qPav + off.a), clip3(0, 51, qPav + off.b), chroma);
                if (chroma)
                  model_line_at(wantB, vertical, i, lineBs, clip3(0, 51, qPavB + off.a), clip3(0, 51, qPavB + off.b),
                                true);
              }
              ASSERT_EQ(gotA.s, wantA.s) << "chroma " << chroma << " bS " << bS << " qPav " << qPav << " offsets "
                                         << int(off.a) << "," << int(off.b) << " form " << form;
              ASSERT_EQ(gotB.s, wantB.s) << "chroma bS " << bS << " qPav " << qPavB << " form " << form;
            }
          }
}

// The mixed frame/field left edge filters line by line: lines one or two
// rows apart, strengths drawn per line from 0..4 (weak and strong lines
// side by side, or all alike; 0 is passed over as the caller does), every
// qPav and offset, against the model line by line.
TEST(DeblockFilters, LineByLineWithChangingStrengths) {
  std::mt19937 rng(2031);
  std::uniform_int_distribution<int> qp(0, 51), strength(0, 4), weak(1, 3);
  for (int trial = 0; trial < 2000; ++trial) {
    int bs[8];
    const int mix = trial % 4;  // 0 any, 1 all bS 4, 2 all 0, 3 bS 1..3
    for (int& b : bs) b = mix == 0 ? strength(rng) : mix == 1 ? 4 : mix == 2 ? 0 : weak(rng);
    const int q = trial % 52, q2 = qp(rng);
    const Offsets off = kOffsets[trial % std::size(kOffsets)];
    const int8_t o[2] = {off.a, off.b};
    const int step = (trial & 4) ? 2 : 1;
    Plane gotY, gotCb, gotCr;
    fill(gotY, rng, trial % 4);
    fill(gotCb, rng, trial % 4);
    fill(gotCr, rng, trial % 4);
    Plane wantY = gotY, wantCb = gotCb, wantCr = gotCr;
    for (int i = 0; i < 8; ++i) {
      if (bs[i] == 0) continue;
      const uint8_t s = static_cast<uint8_t>(bs[i]);
      const int line = step * i;
      FilteringProcessVerticalLuma(gotY.at(8, line), s, static_cast<uint8_t>(q), o);
      model_line_at(wantY, true, line, bs[i], clip3(0, 51, q + off.a), clip3(0, 51, q + off.b), false);
      if (i >= 4) continue;  // chroma: four lines of each plane
      FilteringProcessVerticalChroma(gotCb.at(8, line), gotCr.at(8, line), s, static_cast<uint8_t>(q),
                                     static_cast<uint8_t>(q2), o);
      model_line_at(wantCb, true, line, bs[i], clip3(0, 51, q + off.a), clip3(0, 51, q + off.b), true);
      model_line_at(wantCr, true, line, bs[i], clip3(0, 51, q2 + off.a), clip3(0, 51, q2 + off.b), true);
    }
    ASSERT_EQ(gotY.s, wantY.s) << "trial " << trial;
    ASSERT_EQ(gotCb.s, wantCb.s) << "trial " << trial;
    ASSERT_EQ(gotCr.s, wantCr.s) << "trial " << trial;
  }
}

}  // namespace
