// Edge sample filters against a plain model of the standard's luma and
// chroma filtering, for every bS and every alpha/beta/tC0 index, on vertical
// and horizontal edges of every segment length.
#include <gtest/gtest.h>

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
  static constexpr int kPitch = 40, kRows = 24;
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

// Applies the model to `lines` lines of a vertical (true) or horizontal edge
// at sample (8, 0) or (0, 8).
void model_edge(Plane& pl, bool vertical, int lines, int bS, int indexA, int indexB, bool chroma) {
  for (int i = 0; i < lines; ++i) {
    int p[4], q[4];
    for (int k = 0; k < 4; ++k) {
      p[k] = vertical ? *pl.at(7 - k, i) : *pl.at(i, 7 - k);
      q[k] = vertical ? *pl.at(8 + k, i) : *pl.at(i, 8 + k);
    }
    model_line(p, q, bS, indexA, indexB, chroma);
    for (int k = 0; k < 4; ++k) {
      (vertical ? *pl.at(7 - k, i) : *pl.at(i, 7 - k)) = static_cast<uint8_t>(p[k]);
      (vertical ? *pl.at(8 + k, i) : *pl.at(i, 8 + k)) = static_cast<uint8_t>(q[k]);
    }
  }
}

struct Offsets {
  int8_t a, b;
};
const Offsets kOffsets[] = {{0, 0}, {12, -12}, {-12, 12}, {6, 0}, {0, -6}, {12, 12}, {-12, -12}};

TEST(DeblockTables, KnownValues) {
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(AlphaTable[i], 0);
    EXPECT_EQ(BetaTable[i], 0);
  }
  EXPECT_EQ(AlphaTable[16], 4);
  EXPECT_EQ(AlphaTable[51], 255);
  EXPECT_EQ(BetaTable[16], 2);
  EXPECT_EQ(BetaTable[51], 18);
  for (int i = 1; i < 52; ++i) {
    EXPECT_GE(AlphaTable[i], AlphaTable[i - 1]);
    EXPECT_GE(BetaTable[i], BetaTable[i - 1]);
  }
  for (int i = 0; i < 17; ++i)
    for (int c = 0; c < 5; ++c) EXPECT_EQ(ClipTable[5 * i + c], 0);
  EXPECT_EQ(ClipTable[5 * 17 + 3], 1);
  EXPECT_EQ(ClipTable[5 * 20 + 2], 0);
  EXPECT_EQ(ClipTable[5 * 21 + 2], 1);
  EXPECT_EQ(ClipTable[5 * 22 + 1], 0);
  EXPECT_EQ(ClipTable[5 * 23 + 1], 1);
  const uint8_t last[5] = {0, 13, 17, 25, 25};
  for (int c = 0; c < 5; ++c) EXPECT_EQ(ClipTable[5 * 51 + c], last[c]);
  for (int i = 0; i < 52; ++i) {
    EXPECT_EQ(ClipTable[5 * i], 0);
    EXPECT_EQ(ClipTable[5 * i + 4], ClipTable[5 * i + 3]);
    EXPECT_LE(ClipTable[5 * i + 1], ClipTable[5 * i + 2]);
    EXPECT_LE(ClipTable[5 * i + 2], ClipTable[5 * i + 3]);
    for (int c = 1; c < 4 && i > 0; ++c) EXPECT_GE(ClipTable[5 * i + c], ClipTable[5 * (i - 1) + c]);
  }
}

TEST(DeblockFilters, LumaMatchesModelForEveryStrengthAndIndex) {
  std::mt19937 rng(2024);
  for (int bS = 1; bS <= 4; ++bS)
    for (int qPav = 0; qPav <= 51; ++qPav)
      for (const Offsets& off : kOffsets)
        for (int style = 0; style < 4; ++style) {
          const int8_t offsets[2] = {off.a, off.b};
          const int indexA = clip3(0, 51, qPav + off.a), indexB = clip3(0, 51, qPav + off.b);
          Plane base;
          fill(base, rng, style);
          const auto u8 = [](int v) { return static_cast<uint8_t>(v); };
          struct Case {
            bool vertical;
            int lines;
          };
          for (const Case c : {Case{true, 8}, Case{true, 4}, Case{false, 8}, Case{false, 4}, Case{true, 1}}) {
            Plane got = base, want = base;
            if (c.vertical && c.lines == 8)
              FilteringProcessVerticalLuma8x8(got.at(8, 0), Plane::kPitch, u8(bS), u8(qPav), offsets);
            else if (c.vertical && c.lines == 4)
              FilteringProcessVerticalLuma4x4(got.at(8, 0), Plane::kPitch, u8(bS), u8(qPav), offsets);
            else if (c.vertical)
              FilteringProcessVerticalLuma(got.at(8, 0), u8(bS), u8(qPav), offsets);
            else if (c.lines == 8)
              FilteringProcessHorizontalLuma8x8(got.at(0, 8), u8(bS), u8(qPav), offsets, Plane::kPitch);
            else
              FilteringProcessHorizontalLuma4x4(got.at(0, 8), u8(bS), u8(qPav), offsets, Plane::kPitch);
            model_edge(want, c.vertical, c.lines, bS, indexA, indexB, false);
            ASSERT_EQ(got.s, want.s) << "bS " << bS << " qPav " << qPav << " offsets " << int(off.a) << ","
                                     << int(off.b) << " vertical " << c.vertical << " lines " << c.lines;
          }
        }
}

TEST(DeblockFilters, ChromaMatchesModelForEveryStrengthAndIndex) {
  std::mt19937 rng(77);
  std::uniform_int_distribution<int> qp(0, 51);
  for (int bS = 1; bS <= 4; ++bS)
    for (int qPavA = 0; qPavA <= 51; ++qPavA)
      for (const Offsets& off : kOffsets)
        for (int style = 0; style < 4; ++style) {
          const int qPavB = qp(rng);
          const int8_t offsets[2] = {off.a, off.b};
          Plane baseA, baseB;
          fill(baseA, rng, style);
          fill(baseB, rng, style);
          const auto u8 = [](int v) { return static_cast<uint8_t>(v); };
          struct Case {
            bool vertical;
            int lines;
          };
          for (const Case c : {Case{true, 4}, Case{true, 2}, Case{false, 4}, Case{false, 2}, Case{true, 1}}) {
            Plane gotA = baseA, gotB = baseB, wantA = baseA, wantB = baseB;
            uint8_t* a = c.vertical ? gotA.at(8, 0) : gotA.at(0, 8);
            uint8_t* b = c.vertical ? gotB.at(8, 0) : gotB.at(0, 8);
            if (c.vertical && c.lines == 4)
              FilteringProcessVerticalChroma4x4(a, b, Plane::kPitch, u8(bS), u8(qPavA), u8(qPavB), offsets);
            else if (c.vertical && c.lines == 2)
              FilteringProcessVerticalChroma2x2(a, b, Plane::kPitch, u8(bS), u8(qPavA), u8(qPavB), offsets);
            else if (c.vertical)
              FilteringProcessVerticalChroma(a, b, u8(bS), u8(qPavA), u8(qPavB), offsets);
            else if (c.lines == 4)
              FilteringProcessHorizontalChroma4x4(a, b, u8(bS), u8(qPavA), u8(qPavB), offsets, Plane::kPitch);
            else
              FilteringProcessHorizontalChroma2x2(a, b, u8(bS), u8(qPavA), u8(qPavB), offsets, Plane::kPitch);
            model_edge(wantA, c.vertical, c.lines, bS, clip3(0, 51, qPavA + off.a), clip3(0, 51, qPavA + off.b), true);
            model_edge(wantB, c.vertical, c.lines, bS, clip3(0, 51, qPavB + off.a), clip3(0, 51, qPavB + off.b), true);
            ASSERT_EQ(gotA.s, wantA.s) << "bS " << bS << " qPav " << qPavA << " vertical " << c.vertical;
            ASSERT_EQ(gotB.s, wantB.s) << "bS " << bS << " qPav " << qPavB << " vertical " << c.vertical;
          }
        }
}

// Named corners of the filter: floor division of a negative sum, the tC0 = 0
// rows, and thresholds of 0 leaving every sample alone.
TEST(DeblockFilters, NamedCases) {
  const int8_t none[2] = {0, 0};
  // ((q0 - p0) << 2) + (p1 - q1) + 4 = -9 -> delta -2 (floor), within tC.
  uint8_t line[8] = {100, 100, 100, 101, 99, 100, 100, 100};
  // p0 = 101, q0 = 99: (-2 * 4) + (100 - 100) + 4 = -4 -> -1.
  FilteringProcessVerticalLuma(line + 4, 2, 40, none);
  EXPECT_EQ(line[3], 100);
  EXPECT_EQ(line[4], 100);
  uint8_t floorLine[8] = {100, 100, 102, 102, 100, 103, 100, 100};
  // p1 = 102, p0 = 102, q0 = 100, q1 = 103: -8 + (-1) + 4 = -5 -> -1 (floor of -0.625).
  FilteringProcessVerticalLuma(floorLine + 4, 1, 40, none);
  EXPECT_EQ(floorLine[3], 101);
  EXPECT_EQ(floorLine[4], 101);
  // Alpha 0 below index 16: nothing changes for any bS.
  for (int bS = 1; bS <= 4; ++bS) {
    uint8_t flat[8] = {10, 10, 10, 10, 11, 11, 11, 11};
    FilteringProcessVerticalLuma(flat + 4, static_cast<uint8_t>(bS), 15, none);
    EXPECT_EQ(flat[3], 10);
    EXPECT_EQ(flat[4], 11);
  }
}

}  // namespace
