// Every variant of the deblocking kernels against the plain reference
// (checkasm style): every kernel, direction, segment length, strength,
// qPav and filter offset, on seeded random samples, smooth steps that pass
// the thresholds and the 0/255 extremes, planes at every misalignment with
// guard bytes around them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "checkasm.h"
#include "deblock_filters.h"
#include "vpDispatch.h"

namespace {

using Table = const DeblockDsp*;

// A 32 x 32 plane; the kernels get the sample at (8, 8).
constexpr int kPitch = 32, kRows = 32, kAt = 8 * kPitch + 8;

void fill(uint8_t* s, std::mt19937& rng, int style) {
  std::uniform_int_distribution<int> any(0, 255), small(-3, 3), step(-40, 40);
  const int base = any(rng), jump = step(rng) / (style == 2 ? 8 : 1);
  for (int y = 0; y < kRows; ++y)
    for (int x = 0; x < kPitch; ++x) {
      int v = any(rng);
      if (style == 1 || style == 2) v = base + ((x >= 8 + 4 * (y & 1)) ? jump : 0) + small(rng);
      if (style == 3) v = (rng() & 1) ? 255 : 0;
      if (style == 4) v = base + ((x ^ y) & 4 ? jump : 0);  // steps at every 4th sample
      s[y * kPitch + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
}

const int8_t kOffsets[][2] = {{0, 0}, {12, -12}, {-12, 12}, {6, 0}, {0, -6}, {12, 12}, {-12, -12}};

// The threshold tables of kOffsets, by the same index.
const ThresholdTable* thresholds(int i) {
  static const auto* tables = [] {
    auto* t = new ThresholdTable[std::size(kOffsets)];
    for (size_t k = 0; k < std::size(kOffsets); ++k) build_threshold_table(kOffsets[k], &t[k]);
    return t;
  }();
  return &tables[i];
}

// Runs `call(table, planeA, planeB)` on the reference and on every variant
// over identical planes (Cb and Cr for chroma), then compares the planes and
// the guards.
template <typename Call>
void compare(const char* what, std::mt19937& rng, int style, size_t misalign, Call call) {
  uint8_t base[2][kPitch * kRows];
  fill(base[0], rng, style);
  fill(base[1], rng, style);
  uint8_t want[2][kPitch * kRows];
  std::memcpy(want, base, sizeof want);
  call(&c_deblock_dsp, want[0] + kAt, want[1] + kAt);
  for (const auto& m : checkasm::members<Table>(&sse2_deblock_dsp, &ssse3_deblock_dsp, &sse41_deblock_dsp)) {
    checkasm::Guarded a(sizeof base[0], misalign), b(sizeof base[1], (misalign * 7) % 16);
    std::memcpy(a.data(), base[0], sizeof base[0]);
    std::memcpy(b.data(), base[1], sizeof base[1]);
    call(m.fn, a.data() + kAt, b.data() + kAt);
    ASSERT_EQ(0, std::memcmp(a.data(), want[0], sizeof want[0])) << m.name << " " << what << " style " << style;
    ASSERT_EQ(0, std::memcmp(b.data(), want[1], sizeof want[1])) << m.name << " " << what << " style " << style;
    ASSERT_TRUE(a.guardsIntact() && b.guardsIntact()) << m.name << " " << what;
  }
}

// The segment kernels: both directions, both lengths, bS 1..4, every qPav,
// every offset pair; chroma with a second plane at its own qPav.
TEST(DeblockDsp, SegmentKernelsMatchTheReference) {
  std::mt19937 rng(2027);
  std::uniform_int_distribution<int> qp(0, 51);
  int n = 0;
  for (int bS = 1; bS <= 4; ++bS)
    for (int qPav = 0; qPav <= 51; ++qPav)
      for (const auto& o : kOffsets)
        for (const bool vertical : {true, false})
          for (const int half : {0, 1}) {
            const int style = n % 5;
            const size_t misalign = static_cast<size_t>(n++ % 16);
            const uint8_t s = static_cast<uint8_t>(bS), q = static_cast<uint8_t>(qPav),
                          q2 = static_cast<uint8_t>(qp(rng));
            compare("luma lines", rng, style, misalign, [&](Table t, uint8_t* a, uint8_t*) {
              t->luma_lines(a, kPitch, vertical, 8 >> half, s, q, o);
            });
            compare("chroma lines", rng, style, misalign, [&](Table t, uint8_t* a, uint8_t* b) {
              t->chroma_lines(a, b, kPitch, vertical, 4 >> half, s, q, q2, o);
            });
            if (vertical && half == 0) {
              compare("luma row", rng, style, misalign, [&](Table t, uint8_t* a, uint8_t*) { t->luma_row(a, s, q, o); });
              compare("chroma row", rng, style, misalign,
                      [&](Table t, uint8_t* a, uint8_t* b) { t->chroma_row(a, b, s, q, q2, o); });
            }
          }
}

// The macroblock kernels: random strengths per segment (bS 4 only on edge 0,
// on all its segments), either direction absent, 8x8-transform macroblocks
// (edges 1 and 3 at 0), no inner edge at all, qPav of edge 0 and of the
// inner edges apart.
TEST(DeblockDsp, MacroblockKernelsMatchTheReference) {
  std::mt19937 rng(2028);
  std::uniform_int_distribution<int> qp(0, 51), strength(0, 3), offset(0, 6);
  for (int trial = 0; trial < 6000; ++trial) {
    uint8_t bs[2][4][4];
    for (auto& dir : bs) {
      const bool intraEdge0 = rng() % 3 == 0, t8 = rng() & 1;
      for (int e = 0; e < 4; ++e)
        for (int k = 0; k < 4; ++k)
          dir[e][k] = static_cast<uint8_t>(e == 0 && intraEdge0 ? 4 : (t8 && (e & 1)) ? 0 : strength(rng));
    }
    // Every third trial filters the outer edges alone (the kernels' short
    // way for macroblocks without inner edges).
    if (trial % 3 == 1)
      for (auto& dir : bs)
        for (int e = 1; e < 4; ++e) std::fill(dir[e], dir[e] + 4, uint8_t{0});
    const int dirs = trial % 4;  // 0 both, 1 vertical only, 2 horizontal only, 3 neither
    const uint8_t(*vbs)[4] = dirs == 0 || dirs == 1 ? bs[0] : nullptr;
    const uint8_t(*hbs)[4] = dirs == 0 || dirs == 2 ? bs[1] : nullptr;
    auto u8 = [&] { return static_cast<uint8_t>(qp(rng)); };
    const uint8_t qpV[2] = {u8(), u8()}, qpH[2] = {u8(), u8()};
    const uint8_t qpCV[2][2] = {{u8(), u8()}, {u8(), u8()}}, qpCH[2][2] = {{u8(), u8()}, {u8(), u8()}};
    const ThresholdTable* o = thresholds(offset(rng));
    const int style = trial % 5;
    const size_t misalign = static_cast<size_t>(trial % 16);
    compare("luma macroblock", rng, style, misalign,
            [&](Table t, uint8_t* y, uint8_t*) { t->luma_macroblock(y, kPitch, vbs, hbs, qpV, qpH, o); });
    compare("chroma macroblock", rng, style, misalign, [&](Table t, uint8_t* cb, uint8_t* cr) {
      t->chroma_macroblock(cb, cr, kPitch, vbs, hbs, qpCV, qpCH, o);
    });
  }
}

// The luma filters that the macroblock kernels compute in bytes, each on
// every pair (p0, q0), the other samples of the lines near p0 and q0 (qPav
// 51: alpha 255, beta 18, tC0 up to 25) so that nearly every line is
// filtered: the p0/q0 delta of bS 1..3 across horizontal edge 2, and bS 4
// (most lines taking the three-sample form) across the top edge.
TEST(DeblockDsp, ByteFiltersOnEveryP0Q0) {
  struct Case {
    uint8_t bS;
    int edge;
  };
  const Case cases[] = {{1, 2}, {2, 2}, {3, 2}, {4, 0}};
  std::mt19937 rng(2030);
  std::uniform_int_distribution<int> any(0, 255), near(-17, 17);
  const uint8_t qp[2] = {51, 51};
  const auto variants = checkasm::members<Table>(&sse2_deblock_dsp, &ssse3_deblock_dsp, &sse41_deblock_dsp);
  for (const Case& c : cases) {
    uint8_t hbs[4][4] = {};
    std::fill(hbs[c.edge], hbs[c.edge] + 4, c.bS);
    const int q0Row = 4 * c.edge;
    for (int first = 0; first < 65536; first += 16) {
      uint8_t base[kPitch * kRows];
      for (auto& v : base) v = static_cast<uint8_t>(any(rng));
      for (int x = 0; x < 16; ++x) {
        const int p0 = (first + x) >> 8, q0 = (first + x) & 255;
        auto at = [&](int row) -> uint8_t& { return base[kAt + (q0Row + row) * kPitch + x]; };
        auto around = [&](int v) { return static_cast<uint8_t>(std::clamp(v + near(rng), 0, 255)); };
        at(-1) = static_cast<uint8_t>(p0), at(0) = static_cast<uint8_t>(q0);
        for (int k = 2; k <= 4; ++k) at(-k) = around(p0), at(k - 1) = around(q0);
      }
      uint8_t want[kPitch * kRows];
      std::memcpy(want, base, sizeof want);
      c_deblock_dsp.luma_macroblock(want + kAt, kPitch, nullptr, hbs, qp, qp, thresholds(0));
      for (const auto& m : variants) {
        uint8_t got[kPitch * kRows];
        std::memcpy(got, base, sizeof got);
        m.fn->luma_macroblock(got + kAt, kPitch, nullptr, hbs, qp, qp, thresholds(0));
        ASSERT_EQ(0, std::memcmp(got, want, sizeof got)) << m.name << " bS " << int(c.bS) << " from " << first;
      }
    }
  }
}

// The strength kernels: prediction flags of every combination (a quadrant
// with neither list included), few picture ids so that blocks often match,
// straight or swapped; vectors near the limits, and the 16-bit extremes.
TEST(DeblockDsp, StrengthKernelsMatchTheReference) {
  std::mt19937 rng(2029);
  auto vector = [&](int16_t base) -> int16_t {
    switch (rng() % 4) {
      case 0: return base;
      case 1: return static_cast<int16_t>(base + static_cast<int>(rng() % 9) - 4);
      case 2: return static_cast<int16_t>(rng());
      default: return (rng() & 1) ? INT16_MAX : INT16_MIN;
    }
  };
  const auto variants = checkasm::members<Table>(&sse2_deblock_dsp, &ssse3_deblock_dsp, &sse41_deblock_dsp);
  for (int trial = 0; trial < 20000; ++trial) {
    uint8_t f0[4], f1[4], id0[16], id1[16];
    int16_t mv0[16][2], mv1[16][2];
    for (int q = 0; q < 4; ++q) {
      const unsigned use = trial % 8 == 0 ? rng() % 4 : 1 + rng() % 3;  // 0: neither list
      f0[q] = use & 1, f1[q] = (use >> 1) & 1;
    }
    const int16_t base = vector(0);
    for (int b = 0; b < 16; ++b) {
      id0[b] = static_cast<uint8_t>(rng() % 3), id1[b] = static_cast<uint8_t>(rng() % 3);
      for (int c = 0; c < 2; ++c) mv0[b][c] = vector(base), mv1[b][c] = vector(base);
    }
    BlockMotion want[2], got;
    BlockRowMotion above;
    c_deblock_dsp.block_motion(f0, f1, id0, id1, mv0, mv1, &want[0]);
    for (const auto& m : variants) {
      std::memset(&got, 0x5A, sizeof got);
      m.fn->block_motion(f0, f1, id0, id1, mv0, mv1, &got);
      ASSERT_EQ(0, std::memcmp(&want[0], &got, sizeof got)) << m.name << " motion, trial " << trial;
    }
    // Every third macroblock has one motion throughout (the kernels' short
    // way for 16x16 partitions and skipped macroblocks).
    if (trial % 3 == 2)
      for (int r = 1; r < 16; ++r) {
        want[0].ids[r] = want[0].ids[0];
        std::memcpy(want[0].mvA[r], want[0].mvA[0], sizeof want[0].mvA[r]);
        std::memcpy(want[0].mvB[r], want[0].mvB[0], sizeof want[0].mvB[r]);
      }
    // The neighbours: another macroblock's motion (or this one's, shifted).
    std::memcpy(&want[1], &want[0], sizeof want[1]);
    for (int r = 0; r < 16; ++r) {
      if (rng() % 3) continue;
      want[1].ids[r] = rng() % 8 == 0 ? kNoListPicture | kNoListPicture << 16
                                      : rng() % 4 | (rng() % 2 ? kOneListPicture : rng() % 3) << 16;
      want[1].mvA[r][1] = vector(base);
    }
    for (int k = 0; k < 4; ++k) {
      above.ids[k] = want[1].ids[4 * k + 1];
      for (int c = 0; c < 2; ++c) above.mvA[k][c] = want[1].mvA[k][c], above.mvB[k][c] = want[1].mvB[k][c];
    }
    const unsigned codedV = rng() & (trial % 3 ? 0xFFFFu : 0u), codedH = rng() & 0xFFFFu;
    const int limitY = trial & 1 ? 4 : 2;
    const bool splitV = rng() & 1, splitH = rng() & 1;
    uint8_t wantBs[2][16], gotBs[2][16];
    c_deblock_dsp.motion_strengths(&want[0], &want[1], &above, codedV, codedH, limitY, splitV, splitH, wantBs[0],
                                   wantBs[1]);
    for (const auto& m : variants) {
      m.fn->motion_strengths(&want[0], &want[1], &above, codedV, codedH, limitY, splitV, splitH, gotBs[0], gotBs[1]);
      ASSERT_EQ(0, std::memcmp(wantBs, gotBs, sizeof gotBs)) << m.name << " strengths, trial " << trial;
    }
  }
}

// The bS 1 motion test (IsFilteringStrength1 in the strength kernels) on
// the cases its rule spells out, through block_motion and motion_strengths
// of the reference and every variant: the block q of the current
// macroblock against p of the left and upper macroblocks (edge 0 of both
// directions), with the current macroblock of one motion throughout and
// not (its last block moved away).
TEST(DeblockDsp, MotionTestFollowsTheRuleOfEveryCase) {
  struct Block {
    uint8_t l0, l1, id0, id1;
    int16_t mv0x, mv0y, mv1x, mv1y;
  };
  struct Case {
    const char* what;
    Block q, p;
    int limitY;
    uint8_t bS;
  };
  const Case cases[] = {
      {"same picture, same vector", {1, 0, 3, 0, 5, 5, 0, 0}, {1, 0, 3, 0, 5, 5, 0, 0}, 4, 0},
      {"other picture", {1, 0, 3, 0, 5, 5, 0, 0}, {1, 0, 4, 0, 5, 5, 0, 0}, 4, 1},
      {"list 0 against list 1 of the same picture", {1, 0, 3, 0, 5, 5, 0, 0}, {0, 1, 0, 3, 0, 0, 5, 5}, 4, 0},
      {"horizontal 3 apart", {1, 0, 3, 0, 8, 0, 0, 0}, {1, 0, 3, 0, 5, 0, 0, 0}, 4, 0},
      {"horizontal 4 apart", {1, 0, 3, 0, 9, 0, 0, 0}, {1, 0, 3, 0, 5, 0, 0, 0}, 4, 1},
      {"vertical 3 apart, frame", {1, 0, 3, 0, 0, 3, 0, 0}, {1, 0, 3, 0, 0, 0, 0, 0}, 4, 0},
      {"vertical 4 apart, frame", {1, 0, 3, 0, 0, -4, 0, 0}, {1, 0, 3, 0, 0, 0, 0, 0}, 4, 1},
      {"vertical 2 apart, field", {1, 0, 3, 0, 0, 2, 0, 0}, {1, 0, 3, 0, 0, 0, 0, 0}, 2, 1},
      {"vertical 1 apart, field", {1, 0, 3, 0, 0, 1, 0, 0}, {1, 0, 3, 0, 0, 0, 0, 0}, 2, 0},
      {"one vector against two", {1, 0, 3, 0, 5, 5, 0, 0}, {1, 1, 3, 3, 5, 5, 5, 5}, 4, 1},
      {"two against one", {1, 1, 3, 4, 5, 5, 5, 5}, {1, 0, 3, 0, 5, 5, 0, 0}, 4, 1},
      {"two, lists swapped", {1, 1, 3, 4, 1, 2, 7, 8}, {1, 1, 4, 3, 7, 8, 1, 2}, 4, 0},
      {"two, lists swapped, a vector apart", {1, 1, 3, 4, 1, 2, 7, 8}, {1, 1, 4, 3, 7, 8, 1, 6}, 4, 1},
      {"two, other pictures", {1, 1, 3, 4, 1, 2, 7, 8}, {1, 1, 3, 5, 1, 2, 7, 8}, 4, 1},
      {"one picture twice, vectors swapped", {1, 1, 3, 3, 1, 2, 9, 9}, {1, 1, 3, 3, 9, 9, 1, 2}, 4, 0},
      {"one picture twice, straight near", {1, 1, 3, 3, 1, 2, 9, 9}, {1, 1, 3, 3, 1, 2, 9, 9}, 4, 0},
      {"one picture twice, both pairings apart", {1, 1, 3, 3, 1, 2, 9, 9}, {1, 1, 3, 3, 1, 2, 20, 9}, 4, 1},
      {"one picture twice against two pictures", {1, 1, 3, 3, 1, 2, 1, 2}, {1, 1, 3, 4, 1, 2, 1, 2}, 4, 1},
      {"q from neither list", {0, 0, 3, 0, 5, 5, 0, 0}, {1, 0, 4, 0, 50, 5, 0, 0}, 4, 0},
      {"p from neither list", {1, 0, 3, 0, 5, 5, 0, 0}, {0, 0, 3, 0, 5, 5, 0, 0}, 4, 1},
      {"two against neither", {1, 1, 3, 4, 5, 5, 5, 5}, {0, 0, 3, 4, 5, 5, 5, 5}, 4, 1},
      {"both from neither list", {0, 0, 3, 0, 5, 5, 0, 0}, {0, 0, 3, 0, 5, 5, 0, 0}, 4, 0},
  };
  auto motion_of = [](const DeblockDsp* t, const Block& b, bool moved) {
    uint8_t f0[4], f1[4], id0[16], id1[16];
    int16_t mv0[16][2], mv1[16][2];
    for (int q = 0; q < 4; ++q) f0[q] = b.l0, f1[q] = b.l1;
    for (int k = 0; k < 16; ++k) {
      id0[k] = b.id0, id1[k] = b.id1;
      mv0[k][0] = b.mv0x, mv0[k][1] = b.mv0y, mv1[k][0] = b.mv1x, mv1[k][1] = b.mv1y;
    }
    if (moved) mv0[15][0] = static_cast<int16_t>(mv0[15][0] + 64), mv1[15][0] = static_cast<int16_t>(mv1[15][0] + 64);
    BlockMotion m;
    t->block_motion(f0, f1, id0, id1, mv0, mv1, &m);
    return m;
  };
  auto tables = checkasm::members<Table>(&sse2_deblock_dsp, &ssse3_deblock_dsp, &sse41_deblock_dsp);
  tables.insert(tables.begin(), {0, "reference", &c_deblock_dsp});
  for (const Case& c : cases)
    for (const bool moved : {false, true})
      for (const auto& m : tables) {
        const BlockMotion cur = motion_of(m.fn, c.q, moved), neighbour = motion_of(m.fn, c.p, false);
        BlockRowMotion above;
        std::memcpy(above.ids, neighbour.ids + 12, sizeof above.ids);
        std::memcpy(above.mvA, neighbour.mvA + 12, sizeof above.mvA);
        std::memcpy(above.mvB, neighbour.mvB + 12, sizeof above.mvB);
        alignas(16) uint8_t bs[2][16];
        m.fn->motion_strengths(&cur, &neighbour, &above, 0, 0, c.limitY, true, true, bs[0], bs[1]);
        const char* how = moved ? ", moved" : "";
        for (int k = 0; k < 4; ++k) {
          EXPECT_EQ(bs[0][k], c.bS) << m.name << ": " << c.what << ", left edge segment " << k << how;
          EXPECT_EQ(bs[1][k], c.bS) << m.name << ": " << c.what << ", top edge segment " << k << how;
        }
      }
}

TEST(DeblockDsp, DispatchPicksTheVariantTable) {
  EXPECT_EQ(&deblock_dsp(), deblock_dsp_arraddr[vpVariantIndex.load() & 3u]);
  EXPECT_EQ(deblock_dsp_arraddr[0], &sse2_deblock_dsp);
}

}  // namespace
