// Spatial and temporal direct motion on hand-built neighbour sets and
// co-located pictures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "bitstream.h"
#include "decoder_engine.h"
#include "decoder_state.h"
#include "direct_motion.h"
#include "mb_record.h"
#include "motion_vectors.h"

namespace {

// A current macroblock with neighbours A..D, a co-located picture whose
// record at the same address is `col`, and reference pictures with POCs.
struct DirectScene {
  std::unique_ptr<MacroblockRecord[]> nbs{new MacroblockRecord[5]()};
  std::unique_ptr<MacroblockRecord[]> colRecords{new MacroblockRecord[4]()};
  DecodedPicture pics[4] = {};  // 0, 1: list 0; 2: list 1 [0] (co-located); 3: elsewhere
  DecodedPicture* list0[2] = {&pics[0], &pics[1]};
  DecodedPicture* list1[1] = {&pics[2]};
  MacroblockRecord& cur() { return nbs[4]; }
  MacroblockRecord& col() { return colRecords[1]; }
  DirectContext ctx{};

  DirectScene() {
    for (int i = 0; i < 4; ++i) {
      pics[i].structure = 2;
      pics[i].accessUnitIndex = 100 + i;
    }
    pics[0].pictureOrderCount = 0;
    pics[1].pictureOrderCount = -4;
    pics[2].pictureOrderCount = 8;
    pics[2].macroblocks = colRecords.get();
    pics[2].mbCount = 4;
    for (int i = 0; i < 5; ++i) nbs[i].mb_structure = 2;
    for (int i = 0; i < 4; ++i) colRecords[i].mb_structure = 2, colRecords[i].mb_addr = i;
    cur().mb_addr = 1;
    cur().mb_type = MbB_Direct_16x16;
    ctx.refPicList0 = list0;
    ctx.refPicList1 = list1;
    ctx.refPicList0Length = 2;
    ctx.currentPoc = 4;
  }
  // Neighbour n (0 A .. 3 D) uses list `list` with index ref and vector mv in
  // every quadrant.
  void inter(int n, int list, int ref, int16_t x, int16_t y) {
    MacroblockRecord& m = nbs[n];
    m.mb_type = 20;
    for (int q = 0; q < 4; ++q) {
      (list ? m.pred_flag_l1 : m.pred_flag_l0)[q] = 1;
      (list ? m.ref_idx_l1 : m.ref_idx_l0)[q] = static_cast<int8_t>(ref);
    }
    for (auto& v : (list ? m.mv_l1 : m.mv_l0)) v[0] = x, v[1] = y;
  }
  void link(bool a, bool b, bool c, bool d) {
    cur().neighbour_a = a ? &nbs[0] : nullptr;
    cur().neighbour_b = b ? &nbs[1] : nullptr;
    cur().neighbour_c = c ? &nbs[2] : nullptr;
    cur().neighbour_d = d ? &nbs[3] : nullptr;
  }
  // The spatial-direct reference index of list `list` as the derivation's
  // step finds it.
  int8_t spatial_ref_idx(int list) {
    int8_t refIdx[2];
    int16_t mvp[2][2];
    spatial_direct_neighbours(&cur(), false, false, refIdx, mvp);
    return refIdx[list];
  }
  // The co-located macroblock uses list 0 with index ref of picture pic and
  // vector mv.
  void colocated(int ref, DecodedPicture* pic, int16_t x, int16_t y) {
    MacroblockRecord& c = col();
    c.mb_type = 20;
    for (int q = 0; q < 4; ++q) c.pred_flag_l0[q] = 1, c.ref_idx_l0[q] = static_cast<int8_t>(ref), c.ref_pic_l0[q] = pic;
    for (auto& v : c.mv_l0) v[0] = x, v[1] = y;
  }
};

TEST(SpatialDirect, ReferenceIndicesAreMinPositive) {
  DirectScene s;
  s.link(true, true, false, true);
  s.inter(0, 0, 2, 1, 1);
  s.inter(1, 0, 1, 1, 1);
  s.inter(3, 0, 0, 1, 1);  // D stands in for the absent C
  EXPECT_EQ(0, s.spatial_ref_idx(0));
  EXPECT_EQ(-1, s.spatial_ref_idx(1));
  s.link(true, true, true, true);
  s.nbs[2].mb_type = 64;  // intra C: -1, D no longer read
  EXPECT_EQ(1, s.spatial_ref_idx(0));
}

TEST(SpatialDirect, AllNeighboursIntraOrAbsentGiveZeroVectorsOnBothLists) {
  DirectScene s;
  s.link(true, false, false, false);
  s.nbs[0].mb_type = 64;
  const int8_t r0 = s.spatial_ref_idx(0), r1 = s.spatial_ref_idx(1);
  ASSERT_TRUE(r0 < 0 && r1 < 0);
  for (int q = 0; q < 4; ++q) spatial_direct_quadrant(s.ctx, &s.cur(), q, 0, 0, true);
  for (int q = 0; q < 4; ++q) {
    EXPECT_TRUE(s.cur().pred_flag_l0[q] && s.cur().pred_flag_l1[q]);
    EXPECT_TRUE(s.cur().ref_idx_l0[q] == 0 && s.cur().ref_idx_l1[q] == 0);
  }
  for (int b = 0; b < 16; ++b) EXPECT_TRUE(s.cur().mv_l0[b][0] == 0 && s.cur().mv_l1[b][1] == 0);
}

TEST(SpatialDirect, OnlyListOneAndTheColocatedZeroRule) {
  DirectScene s;
  s.link(true, false, false, false);
  s.inter(0, 1, 0, 6, -2);
  const int8_t r0 = s.spatial_ref_idx(0), r1 = s.spatial_ref_idx(1);
  ASSERT_EQ(-1, r0);
  ASSERT_EQ(0, r1);
  s.colocated(0, &s.pics[0], 2, 0);  // not "zero": predictor used
  spatial_direct_quadrant(s.ctx, &s.cur(), 0, r0, r1, false);
  EXPECT_EQ(0, s.cur().pred_flag_l0[0]);
  EXPECT_EQ(0, s.cur().ref_idx_l0[0]);
  EXPECT_EQ(1, s.cur().pred_flag_l1[0]);
  for (int b = 0; b < 4; ++b) {
    EXPECT_EQ(0, s.cur().mv_l0[b][0]);
    EXPECT_EQ(6, s.cur().mv_l1[b][0]);
    EXPECT_EQ(-2, s.cur().mv_l1[b][1]);
  }
  s.colocated(0, &s.pics[0], 1, -1);  // zero: the list with index 0 gets (0, 0)
  spatial_direct_quadrant(s.ctx, &s.cur(), 1, r0, r1, false);
  for (int b = 4; b < 8; ++b) EXPECT_TRUE(s.cur().mv_l1[b][0] == 0 && s.cur().mv_l1[b][1] == 0);
  s.col().mb_type = 64;  // intra co-located: no zero rule
  spatial_direct_quadrant(s.ctx, &s.cur(), 2, r0, r1, false);
  EXPECT_EQ(6, s.cur().mv_l1[8][0]);
}

TEST(TemporalDirect, ScalingByPictureDistances) {
  DirectScene s;
  // cur 4, pic0 (list 0 [0]) 0, list 1 [0] 8: tb 4, td 8, tx 2048,
  // DistScaleFactor (4 * 2048 + 32) >> 6 = 128.
  s.colocated(0, &s.pics[0], 10, -7);
  temporal_direct_quadrant(s.ctx, &s.cur(), 0);
  EXPECT_EQ(0, s.cur().ref_idx_l0[0]);
  EXPECT_EQ(0, s.cur().ref_idx_l1[0]);
  EXPECT_TRUE(s.cur().pred_flag_l0[0] && s.cur().pred_flag_l1[0]);
  EXPECT_EQ((128 * 10 + 128) >> 8, s.cur().mv_l0[0][0]);
  EXPECT_EQ(((128 * -7 + 128) >> 8), s.cur().mv_l0[3][1]);
  EXPECT_EQ(((128 * 10 + 128) >> 8) - 10, s.cur().mv_l1[2][0]);
  // The co-located reference is list 0 [1] (POC -4): refIdxL0 1, td 12.
  s.colocated(0, &s.pics[1], 12, 0);
  temporal_direct_quadrant(s.ctx, &s.cur(), 1);
  EXPECT_EQ(1, s.cur().ref_idx_l0[1]);
  const int tx = (16384 + 6) / 12, dsf = (8 * tx + 32) >> 6;
  EXPECT_EQ((dsf * 12 + 128) >> 8, s.cur().mv_l0[4][0]);
  // td = 0: mvCol and zero.
  s.pics[2].pictureOrderCount = 0;
  s.colocated(0, &s.pics[0], 5, 3);
  temporal_direct_quadrant(s.ctx, &s.cur(), 2);
  EXPECT_TRUE(s.cur().mv_l0[8][0] == 5 && s.cur().mv_l0[8][1] == 3 && s.cur().mv_l1[8][0] == 0);
  // tb 20, td 1: DistScaleFactor clipped to 1023.
  s.ctx.currentPoc = 20;
  s.pics[2].pictureOrderCount = 1;
  s.colocated(0, &s.pics[0], 4, 0);
  temporal_direct_quadrant(s.ctx, &s.cur(), 3);
  EXPECT_EQ((1023 * 4 + 128) >> 8, s.cur().mv_l0[12][0]);
}

TEST(TemporalDirect, IntraOrMissingReferencesStayInsideTheList) {
  DirectScene s;
  s.col().mb_type = 64;
  temporal_direct_quadrant(s.ctx, &s.cur(), 0);
  EXPECT_EQ(0, s.cur().ref_idx_l0[0]);
  for (int b = 0; b < 4; ++b) EXPECT_TRUE(s.cur().mv_l0[b][0] == 0 && s.cur().mv_l1[b][1] == 0);
  // A reference that is not in list 0 gives index 0.
  s.colocated(1, &s.pics[3], 8, 8);
  temporal_direct_quadrant(s.ctx, &s.cur(), 1);
  EXPECT_EQ(0, s.cur().ref_idx_l0[1]);
}

TEST(TemporalDirect, EightByEightInferenceUsesTheCornerBlocks) {
  DirectScene s;
  s.ctx.inference8x8 = true;
  s.col().mb_type = 20;
  for (int q = 0; q < 4; ++q) s.col().pred_flag_l0[q] = 1, s.col().ref_pic_l0[q] = &s.pics[0];
  for (int b = 0; b < 16; ++b) s.col().mv_l0[b][0] = static_cast<int16_t>(b);
  s.pics[2].pictureOrderCount = 4;  // td 4 = tb: DistScaleFactor 256, mv_l0 = mvCol
  for (int q = 0; q < 4; ++q) temporal_direct_quadrant(s.ctx, &s.cur(), q);
  const int corner[4] = {0, 5, 10, 15};
  for (int b = 0; b < 16; ++b) EXPECT_EQ(corner[b / 4], s.cur().mv_l0[b][0]) << b;
}

// The whole-macroblock and per-quadrant spatial direct give what the
// named steps give (indices from the neighbours, then each quadrant with
// them), with random neighbour and co-located motion, with and without 8x8
// inference: the co-located block is read once per block or corner.
TEST(SpatialDirect, WholeMacroblockMatchesTheQuadrantSteps) {
  std::mt19937 rng(11);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  for (int round = 0; round < 2000; ++round) {
    DirectScene s;
    s.link(pick(4) != 0, pick(4) != 0, pick(2) != 0, pick(4) != 0);
    for (int n = 0; n < 4; ++n) {
      if (pick(5) == 0) s.nbs[n].mb_type = MbI_NxN;
      for (int list = 0; list < 2; ++list)
        if (pick(3) != 0) s.inter(n, list, pick(3), static_cast<int16_t>(pick(9) - 4), static_cast<int16_t>(pick(9) - 4));
    }
    MacroblockRecord& col = s.col();
    col.mb_type = pick(6) == 0 ? MbI_NxN : MbL0_16x16;
    for (int q = 0; q < 4; ++q) {
      col.pred_flag_l0[q] = static_cast<uint8_t>(pick(2));
      col.pred_flag_l1[q] = static_cast<uint8_t>(pick(2));
      col.ref_idx_l0[q] = static_cast<int8_t>(pick(2));
      col.ref_idx_l1[q] = static_cast<int8_t>(pick(2));
    }
    for (int b = 0; b < 16; ++b)
      for (int c = 0; c < 2; ++c) col.mv_l0[b][c] = static_cast<int16_t>(pick(5) - 2), col.mv_l1[b][c] = static_cast<int16_t>(pick(5) - 2);
    s.ctx.inference8x8 = pick(2) != 0;
    const unsigned mask = pick(2) ? 0xFu : 1u + static_cast<unsigned>(pick(15));

    MacroblockRecord want = s.cur();
    int8_t targets[2];
    int16_t mvp[2][2];
    spatial_direct_neighbours(&want, false, false, targets, mvp);
    int8_t r0 = targets[0], r1 = targets[1];
    const bool zero = r0 < 0 && r1 < 0;
    if (zero) r0 = r1 = 0;
    for (int q = 0; q < 4; ++q)
      if (mask & (1u << q)) spatial_direct_quadrant(s.ctx, &want, q, r0, r1, zero);
    spatial_direct(s.ctx, &s.cur(), mask);
    const MacroblockRecord& got = s.cur();
    SCOPED_TRACE(testing::Message() << "round " << round);
    ASSERT_EQ(0, std::memcmp(want.ref_idx_l0, got.ref_idx_l0, sizeof got.ref_idx_l0));
    ASSERT_EQ(0, std::memcmp(want.ref_idx_l1, got.ref_idx_l1, sizeof got.ref_idx_l1));
    ASSERT_EQ(0, std::memcmp(want.pred_flag_l0, got.pred_flag_l0, sizeof got.pred_flag_l0));
    ASSERT_EQ(0, std::memcmp(want.pred_flag_l1, got.pred_flag_l1, sizeof got.pred_flag_l1));
    ASSERT_EQ(0, std::memcmp(want.mv_l0, got.mv_l0, sizeof got.mv_l0));
    ASSERT_EQ(0, std::memcmp(want.mv_l1, got.mv_l1, sizeof got.mv_l1));
  }
}

// Whole-macroblock temporal direct, which reuses the list-0 index and the
// scale factor between blocks, gives what each quadrant derived on its own
// gives, with co-located blocks of random references, lists and vectors.
TEST(TemporalDirect, WholeMacroblockMatchesTheQuadrants) {
  std::mt19937 rng(5);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  for (int round = 0; round < 1000; ++round) {
    DirectScene s;
    MacroblockRecord& col = s.col();
    col.mb_type = pick(8) == 0 ? MbI_NxN : MbL0_16x16;
    DecodedPicture* refs[3] = {&s.pics[0], &s.pics[1], &s.pics[3]};
    for (int q = 0; q < 4; ++q) {
      col.pred_flag_l0[q] = static_cast<uint8_t>(pick(3) != 0);
      col.pred_flag_l1[q] = static_cast<uint8_t>(pick(2));
      col.ref_idx_l0[q] = col.ref_idx_l1[q] = static_cast<int8_t>(pick(2));
      col.ref_pic_l0[q] = refs[pick(3)];
      col.ref_pic_l1[q] = refs[pick(3)];
    }
    for (int b = 0; b < 16; ++b)
      for (int c = 0; c < 2; ++c)
        col.mv_l0[b][c] = static_cast<int16_t>(pick(64) - 32), col.mv_l1[b][c] = static_cast<int16_t>(pick(64) - 32);
    s.ctx.inference8x8 = pick(2) != 0;
    MacroblockRecord want = s.cur();
    for (int q = 0; q < 4; ++q) temporal_direct_quadrant(s.ctx, &want, q);
    temporal_direct(s.ctx, &s.cur(), 0xF);
    const MacroblockRecord& got = s.cur();
    SCOPED_TRACE(testing::Message() << "round " << round);
    ASSERT_EQ(0, std::memcmp(want.ref_idx_l0, got.ref_idx_l0, sizeof got.ref_idx_l0));
    ASSERT_EQ(0, std::memcmp(want.mv_l0, got.mv_l0, sizeof got.mv_l0));
    ASSERT_EQ(0, std::memcmp(want.mv_l1, got.mv_l1, sizeof got.mv_l1));
  }
}

// Direct prediction reads the same from a finished picture's kept motion as
// from its macroblock records: random co-located records (intra, either
// list or none per quadrant, indices 0..2, vectors around the still limit,
// field and frame pairs, reference identifiers of both parities), frame and
// MBAFF pictures, with and without 8x8 inference; spatial and temporal.
TEST(Colocated, KeptMotionReadsAsTheRecords) {
  std::mt19937 rng(23);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  std::unique_ptr<ColocatedMotion[]> kept{new ColocatedMotion[4]()};
  std::unique_ptr<SliceDecodeContext> slice{new SliceDecodeContext()};
  for (int round = 0; round < 3000; ++round) {
    DirectScene s;
    DecodedPicture* refs[3] = {&s.pics[0], &s.pics[1], &s.pics[3]};
    s.ctx.mbaff = pick(2) != 0;
    s.ctx.inference8x8 = pick(2) != 0;
    s.pics[2].topFieldOrderCnt = 8;
    s.pics[2].bottomFieldOrderCnt = 9;
    // Half the rounds predict every quadrant from list 0 (P pictures), which
    // is kept in one piece; the components include the 16-bit extremes.
    const bool listZero = pick(2) != 0;
    constexpr int16_t kComponents[] = {-32768, -3, -2, -1, 0, 1, 2, 3, 32767};
    for (int a = 0; a < 4; ++a) {
      MacroblockRecord& c = s.colRecords[a];
      c.mb_type = pick(6) == 0 ? MbI_NxN : MbL0_16x16;
      c.mb_structure = s.ctx.mbaff && (a & 1) ? s.colRecords[a - 1].mb_structure
                                              : static_cast<uint8_t>(s.ctx.mbaff && pick(2) ? a & 1 : 2);
      for (int q = 0; q < 4; ++q) {
        c.pred_flag_l0[q] = static_cast<uint8_t>(listZero || pick(3) == 0);
        c.pred_flag_l1[q] = static_cast<uint8_t>(pick(2));
        c.ref_idx_l0[q] = static_cast<int8_t>(pick(3));
        c.ref_idx_l1[q] = static_cast<int8_t>(pick(3));
        c.ref_pic_l0[q] = refs[pick(3)];
        c.ref_pic_l1[q] = refs[pick(3)];
      }
      for (int b = 0; b < 16; ++b) {
        c.ref_id_l0[b] = static_cast<uint8_t>(pick(256));
        c.ref_id_l1[b] = static_cast<uint8_t>(pick(256));
        for (int k = 0; k < 2; ++k)
          c.mv_l0[b][k] = kComponents[pick(9)], c.mv_l1[b][k] = kComponents[pick(9)];
      }
    }
    s.cur().mb_structure = static_cast<uint8_t>(s.ctx.mbaff && pick(2) ? 1 : 2);
    // Neighbours with motion, so that the predictors (which still blocks
    // replace by zero) are not zero themselves; in an MBAFF frame the
    // current bottom macroblock finds its left pair through its top one.
    s.link(true, true, pick(2) != 0, true);
    s.nbs[3].neighbour_a = &s.nbs[0];
    for (int n = 0; n < 3; ++n)
      for (int list = 0; list < 2; ++list)
        s.inter(n, list, pick(2), static_cast<int16_t>(pick(9) - 4), static_cast<int16_t>(pick(9) - 4));
    const int8_t r0 = static_cast<int8_t>(pick(3) - 1), r1 = static_cast<int8_t>(pick(3) - 1);
    const bool spatial = pick(2) != 0, zero = pick(4) == 0;
    s.pics[2].colocated = kept.get();
    keep_colocated_motion(&s.pics[2]);
    s.cur().slice = slice.get();
    const MacroblockRecord before = s.cur();
    MacroblockRecord out[2];
    for (int view = 0; view < 2; ++view) {
      // View 0: a slice that started before the picture was finished (its
      // records); view 1: one that started after (the kept motion). The
      // derivation runs in place: MBAFF neighbours lie beside the record.
      slice->colocatedLive[0] = view == 0 ? &s.pics[2] : nullptr;
      s.cur() = before;
      if (spatial)
        spatial_direct_macroblock(s.ctx, &s.cur(), r0, r1, zero);
      else
        temporal_direct(s.ctx, &s.cur(), 0xF);
      out[view] = s.cur();
    }
    SCOPED_TRACE(testing::Message() << "round " << round);
    ASSERT_EQ(0, std::memcmp(out[0].ref_idx_l0, out[1].ref_idx_l0, sizeof out[0].ref_idx_l0));
    ASSERT_EQ(0, std::memcmp(out[0].ref_idx_l1, out[1].ref_idx_l1, sizeof out[0].ref_idx_l1));
    ASSERT_EQ(0, std::memcmp(out[0].mv_l0, out[1].mv_l0, sizeof out[0].mv_l0));
    ASSERT_EQ(0, std::memcmp(out[0].mv_l1, out[1].mv_l1, sizeof out[0].mv_l1));
  }
}

// A slice keeps its co-located motion row by row as reconstruction reports
// the rows, and the rest when it ends: together exactly its own
// macroblocks, as one pass over them keeps them; a concealed macroblock is
// kept again from its new record.
TEST(Colocated, RowByRowKeepingMatchesOnePass) {
  struct Case {
    bool mbaff;
    uint32_t first, end;
    std::vector<uint32_t> rowsReported;
  };
  const Case cases[] = {{false, 1, 5, {0}}, {false, 0, 6, {0, 1}}, {false, 3, 6, {}},
                        {true, 2, 12, {0}}, {true, 0, 12, {0, 1}}};
  std::mt19937 rng(3);
  for (const Case& c : cases) {
    std::unique_ptr<MacroblockRecord[]> records{new MacroblockRecord[12]()};
    for (uint32_t a = 0; a < 12; ++a) {
      MacroblockRecord& r = records[a];
      r.mb_type = rng() % 4 == 0 ? MbI_NxN : MbL0_16x16;
      r.mb_structure = 2;
      for (int q = 0; q < 4; ++q) r.pred_flag_l0[q] = rng() % 2, r.pred_flag_l1[q] = 1, r.ref_idx_l0[q] = rng() % 2;
      for (auto& v : r.mv_l0) v[0] = static_cast<int16_t>(rng() % 5) - 2, v[1] = 0;
    }
    DecodedPicture pic{};
    pic.macroblocks = records.get();
    pic.widthInMbs = 3;
    pic.mbCount = c.mbaff ? 12 : 6;
    std::unique_ptr<ColocatedMotion[]> rows{new ColocatedMotion[12]()}, whole{new ColocatedMotion[12]()};
    std::unique_ptr<SliceDecodeContext> slice{new SliceDecodeContext()};
    slice->picture = &pic;
    slice->MbaffFrameFlag = c.mbaff;
    slice->firstMbAddr = c.first;
    ThreadBuffer tb{};
    tb.slice = slice.get();
    pic.colocated = whole.get();
    keep_colocated_range(&pic, c.first, c.end);
    pic.colocated = rows.get();
    for (uint32_t row : c.rowsReported) keep_row_motion(&tb, row);
    SCOPED_TRACE(testing::Message() << "slice from " << c.first << " to " << c.end);
    // The reported rows are kept, nothing past them yet (the rows below may
    // still be reconstructed).
    const uint32_t rowEnd = c.rowsReported.empty() ? c.first : (c.rowsReported.back() + 1) * (c.mbaff ? 6 : 3);
    EXPECT_EQ(0, std::memcmp(&rows[c.first], &whole[c.first], (rowEnd - c.first) * sizeof(ColocatedMotion)));
    const ColocatedMotion untouched{};
    if (rowEnd < c.end) {
      EXPECT_EQ(0, std::memcmp(&rows[rowEnd], &untouched, sizeof untouched));
    }
    keep_slice_motion(slice.get(), c.end);
    EXPECT_EQ(0, std::memcmp(&rows[0], &whole[0], 12 * sizeof(ColocatedMotion)));
    // Concealment makes macroblock first + 1 intra: it alone is kept again.
    pic.colocated = rows.get();
    records[c.first + 1].mb_type = MbI_16x16_First;
    std::vector<uint8_t> written(pic.mbCount, 1);
    written[c.first + 1] = 0;
    keep_concealed_motion(&pic, written.data());
    EXPECT_EQ(0, rows[c.first + 1].found);
    EXPECT_EQ(0, std::memcmp(&rows[c.first + 2], &whole[c.first + 2], (12 - c.first - 2) * sizeof(ColocatedMotion)));
  }
}

// An MBAFF frame whose co-located frame holds fewer macroblocks than the
// current address (a damaged or resized stream) reads no co-located motion
// instead of a record past the array.
TEST(Colocated, AddressPastTheColocatedPictureReadsNothing) {
  DirectScene s;
  s.ctx.mbaff = true;
  s.cur().mb_addr = 4;  // the co-located picture has records 0..3
  s.colocated(0, &s.pics[0], 1, 1);
  int16_t mvCol[2] = {7, 7};
  int8_t refIdxCol = 5;
  ColocatedRelation rel{};
  EXPECT_EQ(nullptr, colocated_block(s.ctx, &s.cur(), 0, 0, mvCol, &refIdxCol, &rel));
  EXPECT_EQ(-1, refIdxCol);
  EXPECT_TRUE(mvCol[0] == 0 && mvCol[1] == 0);
  EXPECT_EQ(-1, rel.refParity);
}

// A slice that started before its co-located picture was finished reads that
// picture's macroblock records throughout, never its compact motion (which
// finishing fills while the slice runs); other slices read the compact copy.
TEST(Colocated, SliceStartedBeforeTheColocatedPictureFinishedReadsItsRecords) {
  DirectScene s;
  s.colocated(0, &s.pics[0], 6, -2);
  std::unique_ptr<ColocatedMotion[]> compact{new ColocatedMotion[4]()};
  for (int a = 0; a < 4; ++a) {
    ColocatedMotion& m = compact[a];
    m.found = 0xF;
    m.mb_structure = 2;
    for (int q = 0; q < 4; ++q) m.ref_idx[q] = 1, m.ref_pic[q] = &s.pics[1];
    for (auto& v : m.mv) v[0] = -9, v[1] = 5;
  }
  s.pics[2].colocated = compact.get();
  std::unique_ptr<SliceDecodeContext> slice{new SliceDecodeContext()};
  slice->colocatedLive[0] = &s.pics[2];
  s.cur().slice = slice.get();
  int16_t mvCol[2] = {0, 0};
  int8_t refIdxCol = -1;
  EXPECT_EQ(&s.pics[0], colocated_block(s.ctx, &s.cur(), 0, 0, mvCol, &refIdxCol));
  EXPECT_TRUE(mvCol[0] == 6 && mvCol[1] == -2 && refIdxCol == 0);
  // The other field of its frame counts the same.
  slice->colocatedLive[0] = nullptr;
  slice->colocatedLive[1] = &s.pics[2];
  EXPECT_EQ(&s.pics[0], colocated_block(s.ctx, &s.cur(), 3, 0, mvCol, &refIdxCol));
  EXPECT_TRUE(mvCol[0] == 6 && mvCol[1] == -2 && refIdxCol == 0);
  // Finished before the slice started: the compact copy.
  slice->colocatedLive[1] = nullptr;
  EXPECT_EQ(&s.pics[1], colocated_block(s.ctx, &s.cur(), 0, 0, mvCol, &refIdxCol));
  EXPECT_TRUE(mvCol[0] == -9 && mvCol[1] == 5 && refIdxCol == 1);
  s.cur().slice = nullptr;
}

}  // namespace
