// Picture deblocking against a sample-level model of the standard's
// filtering process: boundary strengths derived per sample from the blocks
// that hold p0 and q0, slice-level filter control, and the margins.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <random>

#include "deblock_model.h"
#include "picture_fixture.h"

namespace {

using namespace deblock_model;

int blk_index(int x, int y) {  // luma4x4BlkIdx of the 4x4 block holding (x, y) of a macroblock
  const int bx = x / 4, by = y / 4;
  return 4 * ((bx >> 1) + 2 * (by >> 1)) + (bx & 1) + 2 * (by & 1);
}

class DeblockModel {
 public:
  DeblockModel(TestPicture& tp, bool field) : y_(tp.y), cb_(tp.cb), cr_(tp.cr), tp_(tp), field_(field) {}

  void run() {
    const int total = tp_.widthMbs * tp_.heightMbs;
    for (int n = 0; n < total; ++n) {
      const MacroblockRecord& mb = tp_.mbs[static_cast<size_t>(n)];
      const MacroblockRecord& head = *mb.slice->firstMb;
      if (head.deblock_idc == 1) continue;
      macroblock(n, head);
    }
    const int w = 16 * tp_.widthMbs;
    for (int yy = 0; yy < 16 * tp_.heightMbs; ++yy)
      for (int i = 0; i < 32; ++i) luma(-32 + i, yy) = luma(0, yy), luma(w + i, yy) = luma(w - 1, yy);
    for (auto* plane : {&cb_, &cr_})
      for (int yy = 0; yy < 8 * tp_.heightMbs; ++yy)
        for (int i = 0; i < 8; ++i) {
          uint8_t* line = plane->data() + yy * tp_.chromaPitch + 8;
          line[-8 + i] = line[0];
          line[w / 2 + i] = line[w / 2 - 1];
        }
  }

  std::vector<uint8_t> y_, cb_, cr_;

 private:
  uint8_t& luma(int x, int yy) { return y_[static_cast<size_t>(yy * tp_.lumaPitch + 32 + x)]; }
  uint8_t& chroma(std::vector<uint8_t>& plane, int x, int yy) {
    return plane[static_cast<size_t>(yy * tp_.chromaPitch + 8 + x)];
  }
  const MacroblockRecord& mb_of(int x, int yy) { return tp_.mbs[static_cast<size_t>(tp_.mb_at(x, yy))]; }

  // Strength of the edge between luma samples p0 and q0, on the edge at
  // `edge` (0, 4, 8 or 12) of q's macroblock.
  int strength(int px, int py, int qx, int qy, bool vertical, int edge) {
    const bool mbEdge = edge == 0;
    const MacroblockRecord& p = mb_of(px, py);
    const MacroblockRecord& q = mb_of(qx, qy);
    if (mb_is_intra(p.mb_type) || mb_is_intra(q.mb_type)) {
      if (mbEdge && (!field_ || vertical)) return 4;
      return 3;
    }
    auto coefficients = [](const MacroblockRecord& m, int x, int yy) {
      int b = blk_index(x % 16, yy % 16);
      if (m.transform_size_8x8_flag) b &= ~3;  // the 8x8 block: all four bits agree
      return (m.luma_nonzero_mask >> b) & 1;
    };
    if (coefficients(p, px, py) || coefficients(q, qx, qy)) return 2;
    // The middle edge of a macroblock whose partitions it does not separate
    // takes no motion test.
    if (edge == 8 && ((q.mb_type & 3) & (vertical ? 2 : 1)) == 0) return 0;
    const int pb = blk_index(px % 16, py % 16), qb = blk_index(qx % 16, qy % 16);
    struct Motion {
      int count;
      int id[2];
      const int16_t* mv[2];
    };
    auto motion = [](const MacroblockRecord& m, int b) {
      Motion mo{0, {0, 0}, {nullptr, nullptr}};
      if (m.pred_flag_l0[b >> 2]) mo.id[mo.count] = m.ref_id_l0[b], mo.mv[mo.count++] = m.mv_l0[b];
      if (m.pred_flag_l1[b >> 2]) mo.id[mo.count] = m.ref_id_l1[b], mo.mv[mo.count++] = m.mv_l1[b];
      return mo;
    };
    const Motion mp = motion(p, pb), mq = motion(q, qb);
    if (mq.count == 0) return 0;  // q predicts from neither list
    const int limit = field_ ? 2 : 4;
    auto far = [limit](const int16_t* a, const int16_t* b) {
      return std::abs(a[0] - b[0]) >= 4 || std::abs(a[1] - b[1]) >= limit;
    };
    if (mp.count != mq.count) return 1;
    if (mp.count == 1) return mp.id[0] != mq.id[0] || far(mp.mv[0], mq.mv[0]) ? 1 : 0;
    const bool sameSet = (mp.id[0] == mq.id[0] && mp.id[1] == mq.id[1]) || (mp.id[0] == mq.id[1] && mp.id[1] == mq.id[0]);
    if (!sameSet) return 1;
    if (mp.id[0] != mp.id[1]) {
      // Each vector against the other block's vector of the same picture.
      const int j0 = mq.id[0] == mp.id[0] ? 0 : 1;
      return far(mp.mv[0], mq.mv[j0]) || far(mp.mv[1], mq.mv[1 - j0]) ? 1 : 0;
    }
    const bool straight = far(mp.mv[0], mq.mv[0]) || far(mp.mv[1], mq.mv[1]);
    const bool crossed = far(mp.mv[0], mq.mv[1]) || far(mp.mv[1], mq.mv[0]);
    return straight && crossed ? 1 : 0;
  }

  void macroblock(int n, const MacroblockRecord& head) {
    const MacroblockRecord& mb = tp_.mbs[static_cast<size_t>(n)];
    const int x0 = 16 * (n % tp_.widthMbs), y0 = 16 * (n / tp_.widthMbs);
    const int idc = head.deblock_idc;
    const bool left = x0 > 0 && (idc == 0 || tp_.sliceOf[static_cast<size_t>(n - 1)] == tp_.sliceOf[static_cast<size_t>(n)]);
    const bool top = y0 > 0 && (idc == 0 || tp_.sliceOf[static_cast<size_t>(n - tp_.widthMbs)] ==
                                                  tp_.sliceOf[static_cast<size_t>(n)]);
    for (int vertical = 1; vertical >= 0; --vertical)
      for (int e = 0; e < 16; e += 4) {
        if (e == 0 && !(vertical ? left : top)) continue;
        const bool lumaEdge = !(mb.transform_size_8x8_flag && (e == 4 || e == 12));
        for (int i = 0; i < 16; ++i) {
          const int qx = vertical ? x0 + e : x0 + i, qy = vertical ? y0 + i : y0 + e;
          const int px = vertical ? qx - 1 : qx, py = vertical ? qy : qy - 1;
          const int bS = strength(px, py, qx, qy, vertical != 0, e);
          const MacroblockRecord& p = mb_of(px, py);
          if (lumaEdge && bS > 0)
            line(&luma(qx, qy), vertical ? 1 : tp_.lumaPitch, bS, (p.qp_y + mb.qp_y + 1) >> 1, head, false);
          // Chroma edges at chroma 0 and 4; chroma line i / 2 uses luma line i.
          if ((e == 0 || e == 8) && (i % 2 == 0) && bS > 0) {
            const int cx = vertical ? (x0 + e) / 2 : x0 / 2 + i / 2, cy = vertical ? y0 / 2 + i / 2 : (y0 + e) / 2;
            const ptrdiff_t step = vertical ? 1 : tp_.chromaPitch;
            line(&chroma(cb_, cx, cy), step, bS, (p.qp_cb + mb.qp_cb + 1) >> 1, head, true);
            line(&chroma(cr_, cx, cy), step, bS, (p.qp_cr + mb.qp_cr + 1) >> 1, head, true);
          }
        }
      }
  }

  void line(uint8_t* q0, ptrdiff_t step, int bS, int qPav, const MacroblockRecord& head, bool chroma) {
    model_samples(q0, step, bS, clip3(0, 51, qPav + head.filter_offset_a), clip3(0, 51, qPav + head.filter_offset_b),
                  chroma);
  }

  TestPicture& tp_;
  bool field_;
};

// Random but self-consistent macroblocks: motion constant over each
// partition of the macroblock's shape, coefficient bits per 8x8 block for
// 8x8-transform macroblocks.
void random_macroblocks(TestPicture& tp, std::mt19937& rng, uint8_t structure) {
  std::uniform_int_distribution<int> any(0, 255), kind(0, 9), qp(14, 51), shape(0, 3), flags(1, 3), id(0, 2),
      mv(-6, 6), bit(0, 1);
  for (auto& mb : tp.mbs) {
    mb.mb_structure = structure;
    mb.qp_y = static_cast<uint8_t>(qp(rng));
    mb.qp_cb = static_cast<int8_t>(qp(rng));
    mb.qp_cr = static_cast<int8_t>(qp(rng));
    mb.transform_size_8x8_flag = static_cast<uint8_t>(bit(rng) && bit(rng));
    const int k = kind(rng);
    if (k < 2) {
      mb.mb_type = k == 0 ? MbI_NxN : 70;
      continue;
    }
    const int s = shape(rng);
    mb.mb_type = static_cast<uint8_t>(k == 9 ? MbP_Skip : (0x10 | s));
    std::array<int, 6> motionOf[17];  // prediction flags, two ids, three vector components
    for (auto& m : motionOf) m = {flags(rng), id(rng), id(rng), mv(rng), mv(rng), mv(rng)};
    const int sh = mb.mb_type & 3;
    for (int b = 0; b < 16; ++b) {
      const int quadrant = b >> 2;
      const int part = sh == 0 ? 0 : sh == 1 ? quadrant >> 1 : sh == 2 ? (quadrant & 1) : 1 + b;
      const int qpart = sh == 3 ? 1 + 4 * quadrant : part;  // prediction flags are per quadrant
      mb.pred_flag_l0[quadrant] = static_cast<uint8_t>(motionOf[qpart][0] & 1);
      mb.pred_flag_l1[quadrant] = static_cast<uint8_t>((motionOf[qpart][0] >> 1) & 1);
      mb.ref_id_l0[b] = static_cast<uint8_t>(motionOf[qpart][1]);
      mb.ref_id_l1[b] = static_cast<uint8_t>(motionOf[qpart][2]);
      mb.mv_l0[b][0] = static_cast<int16_t>(motionOf[part][3]);
      mb.mv_l0[b][1] = static_cast<int16_t>(motionOf[part][4]);
      mb.mv_l1[b][0] = static_cast<int16_t>(motionOf[part][5]);
      mb.mv_l1[b][1] = static_cast<int16_t>(motionOf[part][3]);
    }
    uint16_t mask = 0;
    if (k != 9) {
      for (int q = 0; q < 4; ++q)
        for (int i = 0; i < 4; ++i)
          if (mb.transform_size_8x8_flag ? (i == 0 && bit(rng) && bit(rng)) : (bit(rng) && bit(rng) && bit(rng)))
            mask = static_cast<uint16_t>(mask | (mb.transform_size_8x8_flag ? 0xF << (4 * q) : 1 << (4 * q + i)));
    }
    mb.luma_nonzero_mask = mask;
  }
  // Samples: smooth areas with steps at block edges so that filtering happens.
  std::uniform_int_distribution<int> small(-3, 3);
  for (auto* plane : {&tp.y, &tp.cb, &tp.cr}) {
    const int base = any(rng);
    for (auto& v : *plane) v = static_cast<uint8_t>(clip3(0, 255, base + small(rng)));
  }
  for (int yy = 0; yy < 16 * tp.heightMbs; ++yy)
    for (int x = 0; x < 16 * tp.widthMbs; ++x)
      if ((x / 4 + yy / 4) % 3 == 0) tp.y[static_cast<size_t>(yy * tp.lumaPitch + 32 + x)] += 6;
  // Margins as reconstruction leaves them.
  fill_plane_margins(tp.lumaOrigin(), tp.lumaPitch, 16 * tp.widthMbs, 0, 16 * tp.heightMbs, 32, true, true);
  for (uint8_t* plane : {tp.cbOrigin(), tp.crOrigin()})
    fill_plane_margins(plane, tp.chromaPitch, 8 * tp.widthMbs, 0, 8 * tp.heightMbs, 8, true, true);
}

void set_deblock_controls(TestPicture& tp, std::mt19937& rng, bool allowIdc1) {
  std::uniform_int_distribution<int> idc(0, allowIdc1 ? 2 : 0), off(-6, 6);
  for (auto& s : tp.slices) {
    MacroblockRecord& head = *s->firstMb;
    head.deblock_idc = static_cast<uint8_t>(idc(rng) == 1 ? 1 : idc(rng));
    head.filter_offset_a = static_cast<int8_t>(2 * off(rng));
    head.filter_offset_b = static_cast<int8_t>(2 * off(rng));
  }
}

std::vector<int> random_starts(std::mt19937& rng, int total) {
  std::vector<int> starts{0};
  std::uniform_int_distribution<int> gap(1, 7);
  for (int n = gap(rng); n < total; n += gap(rng)) starts.push_back(n);
  return starts;
}

struct Shape {
  int w, h;
};

TEST(DeblockPicture, FramesAndFieldsMatchTheModel) {
  std::mt19937 rng(31);
  for (int field = 0; field < 2; ++field)
    for (const Shape shape : {Shape{1, 3}, Shape{4, 1}, Shape{4, 3}, Shape{6, 4}})
      for (int iter = 0; iter < 30; ++iter) {
        TestPicture tp(shape.w, shape.h);
        tp.set_slices(iter % 3 == 0 ? std::vector<int>{0} : random_starts(rng, shape.w * shape.h), 0, 0);
        for (auto& s : tp.slices) s->field_pic_flag = static_cast<uint8_t>(field);
        random_macroblocks(tp, rng, field ? kTopField : kFrame);
        set_deblock_controls(tp, rng, iter % 2 == 1);
        DeblockModel model(tp, field != 0);
        model.run();
        EXPECT_EQ(DeblockingFilter(&tp.pic), 0u);
        ASSERT_EQ(tp.y, model.y_) << "field " << field << " " << shape.w << "x" << shape.h << " iteration " << iter;
        ASSERT_EQ(tp.cb, model.cb_);
        ASSERT_EQ(tp.cr, model.cr_);
      }
}

// What random_macroblocks leaves out, frames and fields: quadrants that
// predict from neither list (such a q block has the motion of every p
// block, such a p block differs from every q block with a list) and
// vectors whose differences overflow 16 bits.
TEST(DeblockPicture, NoListQuadrantsAndFarVectorsMatchTheModel) {
  std::mt19937 rng(33);
  std::uniform_int_distribution<int> pick(0, 7);
  const int16_t extremes[4] = {-32768, -32766, 32767, 1};
  for (int field = 0; field < 2; ++field)
    for (int iter = 0; iter < 20; ++iter) {
      TestPicture tp(5, 4);
      tp.set_slices(iter % 2 ? std::vector<int>{0} : random_starts(rng, 20), 0, 0);
      for (auto& s : tp.slices) s->field_pic_flag = static_cast<uint8_t>(field);
      random_macroblocks(tp, rng, field ? kTopField : kFrame);
      for (auto& mb : tp.mbs) {
        const int q = pick(rng) & 3;
        if (pick(rng) < 2) mb.pred_flag_l0[q] = mb.pred_flag_l1[q] = 0;
        if (pick(rng) == 0)
          for (auto& v : mb.mv_l1) v[0] = extremes[pick(rng) & 3], v[1] = extremes[pick(rng) & 3];
      }
      set_deblock_controls(tp, rng, false);
      DeblockModel model(tp, field != 0);
      model.run();
      DeblockingFilter(&tp.pic);
      ASSERT_EQ(tp.y, model.y_) << "field " << field << " iteration " << iter;
      ASSERT_EQ(tp.cb, model.cb_);
      ASSERT_EQ(tp.cr, model.cr_);
    }
}

TEST(DeblockPicture, PassedOverSlicesAndEmptyCounts) {
  std::mt19937 rng(32);
  TestPicture tp(3, 3);
  tp.set_slices({0, 4}, 0, 0);
  random_macroblocks(tp, rng, kFrame);
  // Every slice with filtering off: nothing changes, margins included.
  for (auto& s : tp.slices) s->firstMb->deblock_idc = 1;
  const std::vector<uint8_t> y = tp.y;
  DeblockingFilter(&tp.pic);
  EXPECT_EQ(tp.y, y);
  // A passed-over slice whose count is 0 ends the walk instead of stalling.
  tp.mbs[0].slice_mb_count = 0;
  EXPECT_EQ(DeblockingFilter(&tp.pic), 0u);
  EXPECT_EQ(tp.y, y);
}

}  // namespace
