// Motion-vector prediction of whole-macroblock partitions against a direct
// implementation of the standard's rules: neighbours found by luma location
// (A left, B above, C above right, D above left of the partition), C
// replaced by D when unavailable, directional rules of 16x8 and 8x16, the
// single-match rule and the median. Every partition shape and list, every
// neighbour-availability case, random neighbour content.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "mb_record.h"
#include "motion_vectors.h"

namespace {

std::mt19937& rng() {
  static std::mt19937 r(1606);
  return r;
}
int randomIn(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng()); }

// luma4x4BlkIdx of the 4x4 block at raster (x / 4, y / 4).
int blockAt(int x, int y) {
  static const int kRasterToBlk[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};
  return kRasterToBlk[(y / 4) * 4 + x / 4];
}

struct Triple {
  int x = 0, y = 0, ref = -1;
};

// Partition geometry and the calls under test.
struct Shape {
  const char* name;
  int x, y, w, h;  // in luma samples within the macroblock
  int quadrant;    // whose ref_idx is the target
  int mvdBlock;
  void (*derive[2])(MacroblockRecord*);
  void (*first[2])(MacroblockRecord*);  // the partition derived before it, if any
};

const Shape kShapes[] = {
    {"16x16", 0, 0, 16, 16, 0, 0, {MotionVectorDerivation_16x16_L0, MotionVectorDerivation_16x16_L1}, {nullptr, nullptr}},
    {"16x8 upper", 0, 0, 16, 8, 0, 0, {MotionVectorDerivation_16x8_L0_upper, MotionVectorDerivation_16x8_L1_upper}, {nullptr, nullptr}},
    {"16x8 lower", 0, 8, 16, 8, 2, 8, {MotionVectorDerivation_16x8_L0_lower, MotionVectorDerivation_16x8_L1_lower},
     {MotionVectorDerivation_16x8_L0_upper, MotionVectorDerivation_16x8_L1_upper}},
    {"8x16 left", 0, 0, 8, 16, 0, 0, {MotionVectorDerivation_8x16_L0_left, MotionVectorDerivation_8x16_L1_left}, {nullptr, nullptr}},
    {"8x16 right", 8, 0, 8, 16, 1, 4, {MotionVectorDerivation_8x16_L0_right, MotionVectorDerivation_8x16_L1_right},
     {MotionVectorDerivation_8x16_L0_left, MotionVectorDerivation_8x16_L1_left}},
};

// The current macroblock and its four neighbours (0 A, 1 B, 2 C, 3 D).
struct Scene {
  std::unique_ptr<MacroblockRecord[]> mbs{new MacroblockRecord[5]()};
  MacroblockRecord& cur() { return mbs[4]; }
  bool present[4] = {};

  void randomise(int availability) {
    for (int n = 0; n < 5; ++n) {
      MacroblockRecord& m = mbs[n];
      std::memset(static_cast<void*>(&m), 0, sizeof m);
      m.mb_structure = 2;
      m.mb_type = (n < 4 && randomIn(0, 5) == 0) ? 64 : 20;  // intra or inter
      for (int q = 0; q < 4; ++q) {
        m.ref_idx_l0[q] = static_cast<int8_t>(randomIn(0, 2));
        m.ref_idx_l1[q] = static_cast<int8_t>(randomIn(0, 2));
        m.pred_flag_l0[q] = n < 4 ? static_cast<uint8_t>(randomIn(0, 3) != 0) : 0;
        m.pred_flag_l1[q] = n < 4 ? static_cast<uint8_t>(randomIn(0, 3) != 0) : 0;
      }
      for (int b = 0; b < 16; ++b)
        for (int c = 0; c < 2; ++c) {
          // Small values make equal components and medians common.
          const int small = randomIn(-3, 3);
          m.mv_l0[b][c] = static_cast<int16_t>(small * (randomIn(0, 4) == 0 ? 9000 : 1));
          m.mv_l1[b][c] = static_cast<int16_t>(randomIn(-3, 3));
          const int delta = randomIn(-40, 40);
          m.mvd_l0[b][c] = static_cast<int16_t>(delta * (randomIn(0, 9) == 0 ? 1000 : 1));
          m.mvd_l1[b][c] = static_cast<int16_t>(randomIn(-40, 40));
        }
    }
    MacroblockRecord& c = cur();
    MacroblockRecord** links[4] = {&c.neighbour_a, &c.neighbour_b, &c.neighbour_c, &c.neighbour_d};
    for (int n = 0; n < 4; ++n) {
      present[n] = (availability >> n) & 1;
      *links[n] = present[n] ? &mbs[n] : nullptr;
    }
  }
};

// The standard's neighbour of the partition at luma location (xN, yN)
// relative to the macroblock; `decoded` says which current blocks exist.
bool locate(Scene& s, int xN, int yN, uint16_t decoded, MacroblockRecord** mb, int* blk) {
  int n = -1;
  if (yN < 0) n = xN < 0 ? 3 : (xN < 16 ? 1 : 2);
  else if (yN < 16 && xN < 0) n = 0;
  else if (yN < 16 && xN < 16) {
    const int b = blockAt(xN, yN);
    if (!((decoded >> b) & 1)) return false;
    *mb = &s.cur();
    *blk = b;
    return true;
  } else {
    return false;
  }
  if (!s.present[n]) return false;
  *mb = &s.mbs[n];
  *blk = blockAt((xN + 16) % 16, (yN + 16) % 16);
  return true;
}

Triple tripleOf(MacroblockRecord* m, int blk, int list) {
  Triple t;
  const uint8_t* flags = list ? m->pred_flag_l1 : m->pred_flag_l0;
  if ((m->mb_type & 0x60) == 0x40 || flags[blk / 4] == 0) return t;
  const int16_t(*mv)[2] = list ? m->mv_l1 : m->mv_l0;
  t.x = mv[blk][0];
  t.y = mv[blk][1];
  const int8_t* refs = list ? m->ref_idx_l1 : m->ref_idx_l0;
  t.ref = refs[blk / 4];
  return t;
}

// The predictor by the standard's rules.
void standardPredictor(Scene& s, const Shape& sh, int list, uint16_t decoded, int refIdx, int out[2]) {
  MacroblockRecord* m;
  int blk;
  Triple a, b, c;
  const bool availA = locate(s, sh.x - 1, sh.y, decoded, &m, &blk);
  if (availA) a = tripleOf(m, blk, list);
  const bool availB = locate(s, sh.x, sh.y - 1, decoded, &m, &blk);
  if (availB) b = tripleOf(m, blk, list);
  bool availC = locate(s, sh.x + sh.w, sh.y - 1, decoded, &m, &blk);
  if (availC) {
    c = tripleOf(m, blk, list);
  } else {
    availC = locate(s, sh.x - 1, sh.y - 1, decoded, &m, &blk);
    if (availC) c = tripleOf(m, blk, list);
  }
  const Triple* pick = nullptr;
  if (sh.w == 16 && sh.h == 8) pick = sh.y == 0 ? (b.ref == refIdx ? &b : nullptr) : (a.ref == refIdx ? &a : nullptr);
  if (sh.w == 8 && sh.h == 16) pick = sh.x == 0 ? (a.ref == refIdx ? &a : nullptr) : (c.ref == refIdx ? &c : nullptr);
  if (pick == nullptr) {
    if (!availB && !availC && availA) b = c = a;
    const int matches = (a.ref == refIdx) + (b.ref == refIdx) + (c.ref == refIdx);
    if (matches == 1) {
      pick = a.ref == refIdx ? &a : (b.ref == refIdx ? &b : &c);
    } else {
      out[0] = std::max(std::min(a.x, b.x), std::min(std::max(a.x, b.x), c.x));
      out[1] = std::max(std::min(a.y, b.y), std::min(std::max(a.y, b.y), c.y));
      return;
    }
  }
  out[0] = pick->x;
  out[1] = pick->y;
}

TEST(MotionVectorPrediction, EveryShapeListAndAvailabilityCase) {
  Scene s;
  int checked = 0;
  for (const Shape& sh : kShapes) {
    for (int list = 0; list < 2; ++list) {
      for (int availability = 0; availability < 16; ++availability) {
        // D lies before B in decoding order: B missing implies D missing.
        if (!(availability & 2) && (availability & 8)) continue;
        for (int rep = 0; rep < 150; ++rep) {
          s.randomise(availability);
          MacroblockRecord& cur = s.cur();
          uint16_t decoded = 0;
          if (sh.first[list] != nullptr) {
            sh.first[list](&cur);
            decoded = sh.y == 8 ? 0x00FF : 0x0F0F;
          }
          const int refIdx = (list ? cur.ref_idx_l1 : cur.ref_idx_l0)[sh.quadrant];
          int mvp[2];
          standardPredictor(s, sh, list, decoded, refIdx, mvp);
          const MacroblockRecord before = cur;
          sh.derive[list](&cur);
          const int16_t(*mvd)[2] = list ? before.mvd_l1 : before.mvd_l0;
          const int16_t(*mv)[2] = list ? cur.mv_l1 : cur.mv_l0;
          const int16_t(*mvBefore)[2] = list ? before.mv_l1 : before.mv_l0;
          for (int b = 0; b < 16; ++b) {
            int bx = 0, by = 0;
            for (int y = 0; y < 16; y += 4)
              for (int x = 0; x < 16; x += 4)
                if (blockAt(x, y) == b) bx = x, by = y;
            const bool inside = bx >= sh.x && bx < sh.x + sh.w && by >= sh.y && by < sh.y + sh.h;
            for (int k = 0; k < 2; ++k) {
              const int16_t want = inside ? static_cast<int16_t>(mvd[sh.mvdBlock][k] + mvp[k]) : mvBefore[b][k];
              ASSERT_EQ(want, mv[b][k]) << sh.name << " L" << list << " availability " << availability << " block "
                                        << b;
            }
          }
          for (int q = 0; q < 4; ++q) {
            const bool inside = ((q & 1) * 8 >= sh.x && (q & 1) * 8 < sh.x + sh.w) &&
                                ((q >> 1) * 8 >= sh.y && (q >> 1) * 8 < sh.y + sh.h);
            const uint8_t flag = (list ? cur.pred_flag_l1 : cur.pred_flag_l0)[q];
            const uint8_t was = (list ? before.pred_flag_l1 : before.pred_flag_l0)[q];
            ASSERT_EQ(inside ? 1 : was, flag) << sh.name;
          }
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 10000);
}

// The 16x16 predictor alone, and P_Skip's zero rules, against the same model.
TEST(MotionVectorPrediction, PSkipAndThe16x16Predictor) {
  Scene s;
  const Shape& whole = kShapes[0];
  for (int availability = 0; availability < 16; ++availability) {
    if (!(availability & 2) && (availability & 8)) continue;
    for (int rep = 0; rep < 300; ++rep) {
      s.randomise(availability);
      MacroblockRecord& cur = s.cur();
      for (int q = 0; q < 4; ++q) cur.ref_idx_l0[q] = 0;
      // Make zero neighbours common.
      if (rep % 3 == 0 && s.present[0]) {
        s.mbs[0].mv_l0[5][0] = s.mbs[0].mv_l0[5][1] = 0;
        s.mbs[0].ref_idx_l0[1] = 0;
      }
      int mvp[2];
      standardPredictor(s, whole, 0, 0, 0, mvp);
      int16_t got[2];
      LumaMotionVectorPrediction16x16_L0(&cur, got);
      ASSERT_EQ(mvp[0], got[0]) << availability << " rep " << rep;
      ASSERT_EQ(mvp[1], got[1]) << availability << " rep " << rep;
      MacroblockRecord* m;
      int blk;
      Triple a, b;
      const bool availA = locate(s, -1, 0, 0, &m, &blk);
      if (availA) a = tripleOf(m, blk, 0);
      const bool availB = locate(s, 0, -1, 0, &m, &blk);
      if (availB) b = tripleOf(m, blk, 0);
      const bool zero = !availA || !availB || (a.ref == 0 && a.x == 0 && a.y == 0) || (b.ref == 0 && b.x == 0 && b.y == 0);
      MotionVectorDerivation_P_Skip(&cur);
      for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(zero ? 0 : mvp[0], cur.mv_l0[i][0]) << availability;
        ASSERT_EQ(zero ? 0 : mvp[1], cur.mv_l0[i][1]);
      }
      for (int q = 0; q < 4; ++q) ASSERT_TRUE(cur.pred_flag_l0[q] == 1 && cur.pred_flag_l1[q] == 0);
    }
  }
}

}  // namespace
