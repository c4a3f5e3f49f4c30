// MBAFF frame deblocking against a sample-level model: every picture line
// belongs to the frame or field macroblock its pair's kind gives it, edges
// are filtered macroblock by macroblock in address order on the lines of the
// macroblock's own kind, and the p samples of a macroblock edge are the
// picture samples the standard's mixed-edge rules name (the same line for
// left edges, the field lines above for top edges of field macroblocks and
// of a frame macroblock under a field pair). Random pair kinds, so frame
// pairs meet field pairs on both kinds of edge.
#include <gtest/gtest.h>

#include <random>

#include "deblock_model.h"
#include "picture_fixture.h"

namespace {

using namespace deblock_model;

int blk_index(int x, int y) {
  const int bx = x / 4, by = y / 4;
  return 4 * ((bx >> 1) + 2 * (by >> 1)) + (bx & 1) + 2 * (by & 1);
}

class MbaffModel {
 public:
  explicit MbaffModel(TestPicture& tp) : tp_(tp), y_(tp.y), cb_(tp.cb), cr_(tp.cr) {}

  void run() {
    const int total = tp_.widthMbs * tp_.heightMbs;
    for (int n = 0; n < total; ++n) macroblock(n);
    const int w = 16 * tp_.widthMbs;
    for (int line = 0; line < 16 * tp_.heightMbs; ++line)
      for (int i = 0; i < 32; ++i) at(y_, 32, tp_.lumaPitch, -32 + i, line) = at(y_, 32, tp_.lumaPitch, 0, line),
                                   at(y_, 32, tp_.lumaPitch, w + i, line) = at(y_, 32, tp_.lumaPitch, w - 1, line);
    for (auto* plane : {&cb_, &cr_})
      for (int line = 0; line < 8 * tp_.heightMbs; ++line)
        for (int i = 0; i < 8; ++i) at(*plane, 8, tp_.chromaPitch, -8 + i, line) = at(*plane, 8, tp_.chromaPitch, 0, line),
                                    at(*plane, 8, tp_.chromaPitch, w / 2 + i, line) =
                                        at(*plane, 8, tp_.chromaPitch, w / 2 - 1, line);
  }

  std::vector<uint8_t>& y() { return y_; }
  std::vector<uint8_t>& cb() { return cb_; }
  std::vector<uint8_t>& cr() { return cr_; }

 private:
  struct Local {
    int n, x, y;  // macroblock and position inside it
  };

  static uint8_t& at(std::vector<uint8_t>& plane, int margin, int pitch, int x, int line) {
    return plane[static_cast<size_t>(line * pitch + margin + x)];
  }
  const MacroblockRecord& rec(int n) const { return tp_.mbs[static_cast<size_t>(n)]; }
  bool field_pair(int n) const { return rec(n & ~1).mb_structure != kFrame; }

  // Picture line of row ly of macroblock n (size 16 luma, 8 chroma); ly may
  // be negative (rows above the macroblock in its own line spacing).
  int line_of(int n, int ly, int size) const {
    const int pairRow = (n / 2) / tp_.widthMbs, bottom = n & 1;
    return field_pair(n) ? 2 * size * pairRow + 2 * ly + bottom : 2 * size * pairRow + size * bottom + ly;
  }
  // The macroblock holding a sample of the picture, and its place in it.
  Local local_of(int x, int line, int size) const {
    const int pairRow = line / (2 * size), column = x / size, inPair = line % (2 * size);
    const int top = 2 * (pairRow * tp_.widthMbs + column);
    if (field_pair(top)) return {top + (inPair & 1), x % size, inPair >> 1};
    return {top + inPair / size, x % size, inPair % size};
  }

  int strength(const Local& p, const Local& q, bool vertical, bool mbEdge) const {
    const MacroblockRecord& mp = rec(p.n);
    const MacroblockRecord& mq = rec(q.n);
    if (mb_is_intra(mp.mb_type) || mb_is_intra(mq.mb_type)) {
      if (!mbEdge) return 3;
      return vertical || (mp.mb_structure == kFrame && mq.mb_structure == kFrame) ? 4 : 3;
    }
    auto coded = [](const MacroblockRecord& m, const Local& l) {
      int b = blk_index(l.x, l.y);
      if (m.transform_size_8x8_flag) b &= ~3;
      return (m.luma_nonzero_mask >> b) & 1;
    };
    if (coded(mp, p) || coded(mq, q)) return 2;
    // Every inter macroblock here carries the same motion: only a mixed
    // edge (frame beside field) is filtered.
    return mbEdge && (mp.mb_structure == kFrame) != (mq.mb_structure == kFrame) ? 1 : 0;
  }

  // Filters one luma line across an edge: q samples at qLine[k], p samples at
  // pLine[k] (columns, vertical edge) or lines (horizontal edge).
  void filter(std::vector<uint8_t>& plane, int margin, int pitch, bool vertical, int fixed, const int* qs,
              const int* ps, int bS, int qPav, bool chroma) {
    int p[4], q[4];
    auto sample = [&](int pos) -> uint8_t& {
      return vertical ? at(plane, margin, pitch, pos, fixed) : at(plane, margin, pitch, fixed, pos);
    };
    for (int k = 0; k < 4; ++k) p[k] = sample(ps[k]), q[k] = sample(qs[k]);
    const MacroblockRecord& head = rec(0);
    model_line(p, q, bS, clip3(0, 51, qPav + head.filter_offset_a), clip3(0, 51, qPav + head.filter_offset_b),
               chroma);
    for (int k = 0; k < (chroma ? 1 : 3); ++k) sample(ps[k]) = static_cast<uint8_t>(p[k]), sample(qs[k]) = static_cast<uint8_t>(q[k]);
  }

  void macroblock(int n) {
    const MacroblockRecord& mb = rec(n);
    const int column = (n / 2) % tp_.widthMbs, pairRow = (n / 2) / tp_.widthMbs;
    const int x0 = 16 * column;
    const bool t8 = mb.transform_size_8x8_flag != 0;
    // Vertical edges: p samples on the same picture line.
    for (int e = 0; e < 16; e += 4) {
      if ((e == 0 && column == 0) || (t8 && (e == 4 || e == 12))) continue;
      int bsOfRow[16];
      for (int ly = 0; ly < 16; ++ly) {
        const int line = line_of(n, ly, 16);
        const Local q{n, e, ly};
        const Local p = local_of(x0 + e - 1, line, 16);
        bsOfRow[ly] = strength(p, q, true, e == 0);
        const int qs[4] = {x0 + e, x0 + e + 1, x0 + e + 2, x0 + e + 3};
        const int ps[4] = {x0 + e - 1, x0 + e - 2, x0 + e - 3, x0 + e - 4};
        if (bsOfRow[ly]) filter(y_, 32, tp_.lumaPitch, true, line, qs, ps, bsOfRow[ly], (rec(p.n).qp_y + mb.qp_y + 1) >> 1, false);
      }
      if (e != 0 && e != 8) continue;
      const bool mixedFrame = e == 0 && mb.mb_structure == kFrame && field_pair(n - 2);
      for (int j = 0; j < 8; ++j) {
        const int bS = bsOfRow[mixedFrame ? 4 * (j / 2) + (j % 2) : 2 * j];
        const int line = line_of(n, j, 8), cx = x0 / 2 + e / 2;
        const Local p = local_of(cx - 1, line, 8);
        const int qs[4] = {cx, cx + 1, cx + 2, cx + 3}, ps[4] = {cx - 1, cx - 2, cx - 3, cx - 4};
        if (!bS) continue;
        filter(cb_, 8, tp_.chromaPitch, true, line, qs, ps, bS, (rec(p.n).qp_cb + mb.qp_cb + 1) >> 1, true);
        filter(cr_, 8, tp_.chromaPitch, true, line, qs, ps, bS, (rec(p.n).qp_cr + mb.qp_cr + 1) >> 1, true);
      }
    }
    // Horizontal edges: the top edge of a frame macroblock under a field pair
    // is filtered twice in field lines (even lines, then odd lines).
    const bool topOfPair = (n & 1) == 0;
    for (int e = 0; e < 16; e += 4) {
      if ((t8 && (e == 4 || e == 12))) continue;
      if (e == 0 && topOfPair && pairRow == 0) continue;
      if (e == 0 && (n & 1) && field_pair(n) && pairRow == 0) continue;
      const bool underField = e == 0 && topOfPair && !field_pair(n) && field_pair(n - 2 * tp_.widthMbs);
      for (int pass = 0; pass < (underField ? 2 : 1); ++pass) {
        // Lines of the q and p samples for luma (size 16) and chroma (8).
        auto lines = [&](int size, int* qs, int* ps) {
          const int first = underField ? 2 * size * pairRow + pass : line_of(n, e * size / 16, size);
          const int step = underField || field_pair(n) ? 2 : 1;
          for (int k = 0; k < 4; ++k) qs[k] = first + step * k, ps[k] = first - step * (k + 1);
        };
        int qs[4], ps[4];
        lines(16, qs, ps);
        int bsOfColumn[16];
        for (int lx = 0; lx < 16; ++lx) {
          const Local q = local_of(x0 + lx, qs[0], 16);
          const Local p = local_of(x0 + lx, ps[0], 16);
          bsOfColumn[lx] = strength(p, q, false, e == 0);
          if (bsOfColumn[lx])
            filter(y_, 32, tp_.lumaPitch, false, x0 + lx, qs, ps, bsOfColumn[lx], (rec(p.n).qp_y + mb.qp_y + 1) >> 1, false);
        }
        if (e != 0 && e != 8) continue;
        lines(8, qs, ps);
        for (int cx = 0; cx < 8; ++cx) {
          const int bS = bsOfColumn[2 * cx];
          const Local p = local_of(x0 / 2 + cx, ps[0], 8);
          if (!bS) continue;
          filter(cb_, 8, tp_.chromaPitch, false, x0 / 2 + cx, qs, ps, bS, (rec(p.n).qp_cb + mb.qp_cb + 1) >> 1, true);
          filter(cr_, 8, tp_.chromaPitch, false, x0 / 2 + cx, qs, ps, bS, (rec(p.n).qp_cr + mb.qp_cr + 1) >> 1, true);
        }
      }
    }
  }

  TestPicture& tp_;
  std::vector<uint8_t> y_, cb_, cr_;
};

// One slice of random pairs: kinds, intra or inter macroblocks (the inter
// ones all with the same motion), coefficient bits, QPs and samples with
// steps at block edges.
void random_mbaff_picture(TestPicture& tp, std::mt19937& rng) {
  tp.set_slices({0}, 0, 0);
  tp.slices[0]->MbaffFrameFlag = 1;
  std::uniform_int_distribution<int> bit(0, 1), qp(16, 51), off(-6, 6), any(0, 255), small(-3, 3);
  MacroblockRecord* mbs = tp.mbs.data();
  const int total = tp.widthMbs * tp.heightMbs;
  for (int n = 0; n < total; n += 2) {
    const bool field = bit(rng);
    for (int k = 0; k < 2; ++k) {
      MacroblockRecord& mb = mbs[n + k];
      mb.mb_addr = static_cast<uint32_t>(n + k);
      mb.mb_structure = static_cast<uint8_t>(field ? kTopField + k : kFrame);
      mb.neighbour_a = (n / 2) % tp.widthMbs ? &mbs[n - 2] : nullptr;
      mb.neighbour_b = n >= 2 * tp.widthMbs || k ? &mbs[n] : nullptr;
      mb.qp_y = static_cast<uint8_t>(qp(rng));
      mb.qp_cb = static_cast<int8_t>(qp(rng));
      mb.qp_cr = static_cast<int8_t>(qp(rng));
      mb.transform_size_8x8_flag = static_cast<uint8_t>(bit(rng) && bit(rng));
      mb.mb_type = bit(rng) && bit(rng) ? MbI_NxN : MbL0_16x16;
      for (int q = 0; q < 4; ++q) mb.pred_flag_l0[q] = mb.mb_type == MbL0_16x16;
      uint16_t mask = 0;
      for (int b = 0; b < 16; ++b)
        if (bit(rng) && bit(rng) && bit(rng)) mask = static_cast<uint16_t>(mask | (mb.transform_size_8x8_flag ? 0xF << (b & ~3) : 1 << b));
      mb.luma_nonzero_mask = mask;
    }
  }
  mbs[0].filter_offset_a = static_cast<int8_t>(2 * off(rng));
  mbs[0].filter_offset_b = static_cast<int8_t>(2 * off(rng));
  for (auto* plane : {&tp.y, &tp.cb, &tp.cr}) {
    const int base = any(rng);
    for (auto& v : *plane) v = static_cast<uint8_t>(clip3(0, 255, base + small(rng)));
  }
  for (int line = 0; line < 16 * tp.heightMbs; ++line)
    for (int x = 0; x < 16 * tp.widthMbs; ++x)
      if ((x / 4 + line / 3) % 3 == 0) tp.y[static_cast<size_t>(line * tp.lumaPitch + 32 + x)] += 6;
}

TEST(DeblockMbaff, MixedPairsMatchTheModel) {
  std::mt19937 rng(41);
  for (int iter = 0; iter < 60; ++iter) {
    TestPicture tp(iter % 2 ? 3 : 2, iter % 3 ? 4 : 2);  // pair columns, macroblock rows
    random_mbaff_picture(tp, rng);
    MbaffModel model(tp);
    model.run();
    EXPECT_EQ(DeblockingFilter_mbaff(&tp.pic), 0u);
    ASSERT_EQ(tp.y, model.y()) << "iteration " << iter;
    ASSERT_EQ(tp.cb, model.cb()) << "iteration " << iter;
    ASSERT_EQ(tp.cr, model.cr()) << "iteration " << iter;
  }
}

}  // namespace
