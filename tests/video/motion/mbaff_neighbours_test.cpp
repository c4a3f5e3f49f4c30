// Neighbouring locations in MBAFF frames: every row of the standard's table
// for macroblock pairs (current frame or field macroblock, top or bottom,
// neighbouring pair of either kind) on a real pair layout, and the field and
// frame scaling that motion-vector prediction applies to what it reads there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "mb_record.h"
#include "mbaff_neighbours.h"
#include "direct_motion.h"
#include "motion_vectors.h"
#include "submb_motion.h"

namespace {

// Three pair columns by two pair rows in address order; the current pair is
// the middle one of the lower row, with all four neighbouring pairs.
struct PairGrid {
  static constexpr int kColumns = 3;
  std::unique_ptr<MacroblockRecord[]> mbs{new MacroblockRecord[12]()};
  PairGrid() {
    for (uint32_t n = 0; n < 12; ++n) mbs[n].mb_addr = n;
  }
  MacroblockRecord* pair(int row, int column) { return &mbs[2 * (row * kColumns + column)]; }
  MacroblockRecord* left() { return pair(1, 0); }
  MacroblockRecord* above() { return pair(0, 1); }
  MacroblockRecord* aboveRight() { return pair(0, 2); }
  MacroblockRecord* aboveLeft() { return pair(0, 0); }
  MacroblockRecord* current(bool bottom) { return pair(1, 1) + (bottom ? 1 : 0); }

  // Pair kinds, and the links the slice-data stage gives the current pair's
  // top macroblock (the pair above by the macroblock its kind would read).
  void set_kinds(bool curFrame, bool neighboursFrame) {
    for (int p = 0; p < 6; ++p) {
      const bool frame = p == 4 ? curFrame : neighboursFrame;
      mbs[2 * p].mb_structure = frame ? 2 : 0;
      mbs[2 * p + 1].mb_structure = frame ? 2 : 1;
    }
    MacroblockRecord* top = current(false);
    top->neighbour_a = left();
    top->neighbour_b = above() + 1;
    top->neighbour_c = aboveRight() + 1;
    top->neighbour_d = aboveLeft() + 1;
    MacroblockRecord* bottom = current(true);
    bottom->neighbour_a = left();
    bottom->neighbour_b = top;
  }

  // The links slice-data decoding gives each macroblock of the current pair
  // for its own kind: the macroblocks covering the 16x16 neighbour positions
  // (-1, 0), (0, -1), (16, -1) and (-1, -1), found from the pair links above.
  void link_each_macroblock() {
    MacroblockRecord* links[2][4];
    for (int bottom = 0; bottom < 2; ++bottom) {
      MacroblockRecord* m = current(bottom != 0);
      links[bottom][0] = mbaff_neighbour_location(m, -1, 0).mb;
      links[bottom][1] = mbaff_neighbour_location(m, 0, -1).mb;
      links[bottom][2] = mbaff_neighbour_location(m, 16, -1).mb;
      links[bottom][3] = mbaff_neighbour_location(m, -1, -1).mb;
    }
    for (int bottom = 0; bottom < 2; ++bottom) {
      MacroblockRecord* m = current(bottom != 0);
      m->neighbour_a = links[bottom][0], m->neighbour_b = links[bottom][1];
      m->neighbour_c = links[bottom][2], m->neighbour_d = links[bottom][3];
    }
  }
};

struct LocationCase {
  bool curFrame, curBottom, neighboursFrame;
  int xN, yN;
  char pair;  // 'A', 'B', 'C', 'D', 'O' (own pair) or '-' (not available)
  bool lower;
  int yW;
};

const LocationCase kTable[] = {
    // Left column: frame rows alternate between a field pair's macroblocks,
    // field rows span both macroblocks of a frame pair.
    {true, false, true, -1, 5, 'A', false, 5},
    {true, false, false, -1, 4, 'A', false, 2},
    {true, false, false, -1, 5, 'A', true, 2},
    {true, true, true, -1, 5, 'A', true, 5},
    {true, true, false, -1, 5, 'A', true, 10},
    {false, false, true, -1, 3, 'A', false, 6},
    {false, false, true, -1, 11, 'A', true, 6},
    {false, true, true, -1, 3, 'A', false, 7},
    {false, true, true, -1, 9, 'A', true, 3},
    {false, false, false, -1, 3, 'A', false, 3},
    {false, true, false, -1, 3, 'A', true, 3},
    // Above left.
    {true, false, false, -1, -1, 'D', true, 15},
    {true, true, true, -1, -1, 'A', false, 15},
    {true, true, false, -1, -1, 'A', true, 7},
    {false, false, true, -1, -1, 'D', true, 14},
    {false, false, false, -1, -1, 'D', false, 15},
    {false, true, true, -1, -1, 'D', true, 15},
    // Above.
    {true, false, false, 0, -1, 'B', true, 15},
    {true, true, false, 3, -1, 'O', false, 15},
    {false, false, true, 0, -1, 'B', true, 14},
    {false, false, false, 0, -1, 'B', false, 15},
    {false, true, true, 0, -1, 'B', true, 15},
    // Above right: never for a bottom frame macroblock.
    {true, false, true, 16, -1, 'C', true, 15},
    {true, true, true, 16, -1, '-', false, 0},
    {false, false, false, 16, -1, 'C', false, 15},
    {false, false, true, 16, -1, 'C', true, 14},
    {false, true, true, 16, -1, 'C', true, 15},
    // Inside, and right of or below the macroblock.
    {false, true, true, 5, 9, 'O', true, 9},
    {true, false, true, 16, 0, '-', false, 0},
    {true, false, true, 0, 16, '-', false, 0},
};

TEST(MbaffNeighbours, EveryRowOfThePairTable) {
  for (const LocationCase& c : kTable) {
    PairGrid g;
    g.set_kinds(c.curFrame, c.neighboursFrame);
    MacroblockRecord* cur = g.current(c.curBottom);
    const NeighbourLocation loc = mbaff_neighbour_location(cur, c.xN, c.yN);
    SCOPED_TRACE(testing::Message() << "cur " << (c.curFrame ? "frame" : "field") << (c.curBottom ? " bottom" : " top")
                                    << ", neighbours " << (c.neighboursFrame ? "frame" : "field") << ", (" << c.xN
                                    << ", " << c.yN << ")");
    if (c.pair == '-') {
      EXPECT_EQ(nullptr, loc.mb);
      continue;
    }
    MacroblockRecord* pairTop = c.pair == 'A'   ? g.left()
                                : c.pair == 'B' ? g.above()
                                : c.pair == 'C' ? g.aboveRight()
                                : c.pair == 'D' ? g.aboveLeft()
                                                : g.current(false);
    EXPECT_EQ(pairTop + (c.lower ? 1 : 0), loc.mb);
    EXPECT_EQ((c.xN + 16) % 16, loc.x);
    EXPECT_EQ(c.yW, loc.y);
  }
}

TEST(MbaffNeighbours, UnavailablePairsAndPicturesWithoutMbaff) {
  PairGrid g;
  g.set_kinds(true, false);
  g.current(false)->neighbour_a = nullptr;
  g.current(false)->neighbour_d = nullptr;
  EXPECT_EQ(nullptr, mbaff_neighbour_location(g.current(false), -1, 4).mb);
  EXPECT_EQ(nullptr, mbaff_neighbour_location(g.current(true), -1, -1).mb);
  EXPECT_EQ(nullptr, mbaff_neighbour_location(g.current(false), -1, -1).mb);
  // Frame and field pictures read the links as they are.
  MacroblockRecord* cur = g.current(false);
  EXPECT_EQ(cur->neighbour_b, frame_neighbour_location(cur, 7, -1).mb);
  EXPECT_EQ(cur->neighbour_c, frame_neighbour_location(cur, 16, -1).mb);
  EXPECT_EQ(nullptr, frame_neighbour_location(cur, -1, 3).mb);
  EXPECT_EQ(13, luma4x4_block_at(15, 8));
  EXPECT_EQ(7, luma4x4_block_at(12, 7));
}

// The edge positions read off each macroblock's own links give the
// macroblock and 4x4 block of the pair table: every kind of the current
// macroblock, of each neighbouring pair and each pair's availability.
TEST(MbaffNeighbours, EdgePositionsFromTheOwnLinksFollowThePairTable) {
  for (int bits = 0; bits < 1 << 10; ++bits) {
    PairGrid g;
    g.set_kinds((bits & 1) != 0, true);
    for (int p = 0; p < 4; ++p)  // pairs 0..3: above left, above, above right, left
      if (bits & (2 << p)) g.mbs[2 * p].mb_structure = 0, g.mbs[2 * p + 1].mb_structure = 1;
    MacroblockRecord* top = g.current(false);
    MacroblockRecord** links[4] = {&top->neighbour_a, &top->neighbour_b, &top->neighbour_c, &top->neighbour_d};
    for (int l = 0; l < 4; ++l)
      if (bits & (32 << l)) *links[l] = nullptr;
    g.link_each_macroblock();
    for (MacroblockRecord* cur : {top, g.current(true)}) {
      for (int xN = -1; xN <= 16; ++xN) {
        for (int yN : {-1, 0}) {
          if (yN == 0 && xN != -1) continue;
          SCOPED_TRACE(testing::Message() << "kinds " << bits << ", mb " << cur->mb_addr << ", (" << xN << ", " << yN << ")");
          const NeighbourLocation want = mbaff_neighbour_location(cur, xN, yN);
          const NeighbourLocation got = mbaff_edge_location(cur, xN, yN);
          ASSERT_EQ(want.mb, got.mb);
          if (want.mb) {
            ASSERT_EQ(luma4x4_block_at(want.x, want.y), luma4x4_block_at(got.x, got.y));
          }
        }
      }
      // The sub-macroblock policy, which picks between the two, anywhere.
      for (int xN = -1; xN <= 16; ++xN) {
        for (int yN = -1; yN < 16; ++yN) {
          const NeighbourLocation want = mbaff_neighbour_location(cur, xN, yN);
          int blk = -1;
          ASSERT_EQ(want.mb, MbaffNeighbours::locate(cur, xN, yN, &blk)) << bits << " " << xN << " " << yN;
          if (want.mb) {
            ASSERT_EQ(luma4x4_block_at(want.x, want.y), blk) << bits << " " << xN << " " << yN;
          }
        }
      }
    }
  }
}

// What the predictor reads at those locations is scaled between field and
// frame units: a frame macroblock doubles a field neighbour's vertical
// vector and halves its index, a field macroblock halves a frame
// neighbour's vector (toward zero) and doubles its index.
TEST(MbaffNeighbours, PredictorScalesBetweenFieldAndFrame) {
  struct Case {
    bool curFrame, curBottom;
    int mvY, refIdx, target;
    int expectY;
  } cases[] = {
      {true, false, -3, 1, 0, -6},   // field index 1 is frame index 0: single match
      {true, true, 5, 0, 0, 10},
      {false, false, -7, 0, 0, -3},  // frame index 0 is field index 0
      {false, true, 7, 1, 2, 3},
  };
  for (const Case& c : cases) {
    PairGrid g;
    g.set_kinds(c.curFrame, !c.curFrame);
    // Only the left pair is available: its two macroblocks carry the same
    // motion in every block.
    MacroblockRecord* top = g.current(false);
    top->neighbour_b = top->neighbour_c = top->neighbour_d = nullptr;
    g.link_each_macroblock();
    for (MacroblockRecord* a : {g.left(), g.left() + 1}) {
      a->mb_type = 20;
      for (int q = 0; q < 4; ++q) a->pred_flag_l0[q] = 1, a->ref_idx_l0[q] = static_cast<int8_t>(c.refIdx);
      for (auto& mv : a->mv_l0) mv[0] = 4, mv[1] = static_cast<int16_t>(c.mvY);
    }
    MacroblockRecord* cur = g.current(c.curBottom);
    cur->ref_idx_l0[0] = static_cast<int8_t>(c.target);
    int16_t mvp[2];
    LumaMotionVectorPrediction16x16_L0_mbaff(cur, mvp);
    EXPECT_EQ(4, mvp[0]);
    EXPECT_EQ(c.expectY, mvp[1]) << "cur frame " << c.curFrame << " bottom " << c.curBottom;
  }
}

// The spatial-direct index of a macroblock of a picture without MBAFF, by
// the rule itself: MinPositive of A (block 5), B (block 10) and C (block 10,
// or D's block 15 when C is absent), each the index of its quadrant, -1
// where the neighbour is absent, intra or not using the list.
int8_t frame_spatial_ref_idx(const MacroblockRecord* cur, int list) {
  auto index = [list](const MacroblockRecord* n, int quadrant) {
    if (n == nullptr || mb_is_intra(n->mb_type) || !(list ? n->pred_flag_l1 : n->pred_flag_l0)[quadrant]) return -1;
    return static_cast<int>((list ? n->ref_idx_l1 : n->ref_idx_l0)[quadrant]);
  };
  auto minPositive = [](int x, int y) { return x >= 0 && y >= 0 ? std::min(x, y) : std::max(x, y); };
  const int c = cur->neighbour_c ? index(cur->neighbour_c, 2) : index(cur->neighbour_d, 3);
  return static_cast<int8_t>(minPositive(index(cur->neighbour_a, 1), minPositive(index(cur->neighbour_b, 2), c)));
}

// The spatial-direct indices and predictors of both lists, from one location
// of the neighbours, equal what the per-list members give: random pair kinds,
// availability and motion (intra, one list, both, scaled indices) around
// either macroblock of the current pair.
TEST(MbaffNeighbours, SpatialDirectOfBothListsMatchesThePerListMembers) {
  std::mt19937 rng(7);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  for (int round = 0; round < 4000; ++round) {
    PairGrid g;
    g.set_kinds(pick(2) == 0, pick(2) == 0);
    for (int p = 0; p < 6; ++p)  // each pair its own kind
      if (p != 4 && pick(3) == 0) g.mbs[2 * p].mb_structure ^= 2, g.mbs[2 * p + 1].mb_structure = g.mbs[2 * p].mb_structure == 2 ? 2 : 1;
    MacroblockRecord* top = g.current(false);
    if (pick(4) == 0) top->neighbour_a = nullptr;
    if (pick(4) == 0) top->neighbour_b = nullptr;
    if (pick(3) == 0) top->neighbour_c = nullptr;
    if (pick(4) == 0) top->neighbour_d = nullptr;
    const bool mbaff = pick(4) != 0;
    if (mbaff) g.link_each_macroblock();
    // A picture without MBAFF links every macroblock itself: the top one
    // stands for it.
    MacroblockRecord* cur = mbaff ? g.current(pick(2) == 1) : top;
    if (!mbaff) cur->mb_structure = 2;
    for (int n = 0; n < 12; ++n) {
      MacroblockRecord& m = g.mbs[n];
      if (&m == cur) continue;
      m.mb_type = pick(5) == 0 ? MbI_NxN : MbL0_16x16;
      for (int q = 0; q < 4; ++q) {
        m.pred_flag_l0[q] = static_cast<uint8_t>(pick(3) != 0);
        m.pred_flag_l1[q] = static_cast<uint8_t>(pick(2));
        m.ref_idx_l0[q] = static_cast<int8_t>(pick(4));
        m.ref_idx_l1[q] = static_cast<int8_t>(pick(4));
      }
      for (int b = 0; b < 16; ++b)
        for (int c = 0; c < 2; ++c) {
          m.mv_l0[b][c] = static_cast<int16_t>(pick(9) - 4);
          m.mv_l1[b][c] = static_cast<int16_t>(pick(9) - 4);
        }
    }
    int8_t refIdx[2], quadrantRefIdx[2];
    int16_t mvp[2][2], quadrantMvp[2][2];
    spatial_direct_neighbours(cur, mbaff, false, refIdx, mvp);
    // A B_Direct_8x8 quadrant's step gives the same.
    spatial_direct_neighbours(cur, mbaff, true, quadrantRefIdx, quadrantMvp);
    SCOPED_TRACE(testing::Message() << "round " << round);
    for (int list = 0; list < 2; ++list) {
      ASSERT_EQ(refIdx[list], quadrantRefIdx[list]);
      EXPECT_EQ(mvp[list][0], quadrantMvp[list][0]);
      EXPECT_EQ(mvp[list][1], quadrantMvp[list][1]);
      const int8_t expect = mbaff ? spatial_direct_ref_idx_mbaff(cur, list) : frame_spatial_ref_idx(cur, list);
      ASSERT_EQ(expect, refIdx[list]) << "list " << list;
      int16_t want[2] = {0, 0};
      if (expect >= 0) {
        (list ? cur->ref_idx_l1 : cur->ref_idx_l0)[0] = expect;
        using Predictor = void (*)(MacroblockRecord*, int16_t*);
        const Predictor predictors[2][2] = {{LumaMotionVectorPrediction16x16_L0, LumaMotionVectorPrediction16x16_L1},
                                            {LumaMotionVectorPrediction16x16_L0_mbaff,
                                             LumaMotionVectorPrediction16x16_L1_mbaff}};
        predictors[mbaff][list](cur, want);
      }
      EXPECT_EQ(want[0], mvp[list][0]) << "list " << list;
      EXPECT_EQ(want[1], mvp[list][1]) << "list " << list;
    }
  }
}

}  // namespace
