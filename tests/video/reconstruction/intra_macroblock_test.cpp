// Intra macroblock reconstruction through the slice drivers, against a model
// that derives the availability of every neighbour sample the way the
// standard does (same slice, already decoded, intra when constrained) and
// predicts with the plain formula models. Pictures are cut into slices that
// start anywhere in a row and are reconstructed in a shuffled order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "intra_model.h"
#include "picture_fixture.h"

namespace {

using namespace intra_model;

int clip255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Reference reconstruction over copies of the planes; it also chooses each
// macroblock's type, modes and residual and stores them in the records.
class Model {
 public:
  Model(TestPicture& tp, std::mt19937& rng, bool interSlice, bool constrained)
      : y_(tp.y), cb_(tp.cb), cr_(tp.cr), tp_(tp), rng_(rng), inter_(interSlice), constrained_(constrained) {}

  void run() {
    for (int n = 0; n < tp_.widthMbs * tp_.heightMbs; ++n) macroblock(n);
    fill_all_margins();
  }

  std::vector<uint8_t> y_, cb_, cr_;

 private:
  uint8_t& luma(int x, int yy) { return y_[static_cast<size_t>(yy * tp_.lumaPitch + 32 + x)]; }
  uint8_t& chroma(int c, int x, int yy) {
    return (c == 0 ? cb_ : cr_)[static_cast<size_t>(yy * tp_.chromaPitch + 8 + x)];
  }

  // Availability of luma sample (x, y) for the block `order` of size n in
  // macroblock cur (n 16 for whole-macroblock prediction).
  bool available(int x, int yy, int cur, int n, int order) {
    if (x < 0 || yy < 0 || x >= 16 * tp_.widthMbs || yy >= 16 * tp_.heightMbs) return false;
    const int m = tp_.mb_at(x, yy);
    if (tp_.sliceOf[static_cast<size_t>(m)] != tp_.sliceOf[static_cast<size_t>(cur)]) return false;
    if (m > cur) return false;
    if (m == cur) {
      if (n == 16) return false;
      const int bx = (x % 16) / n, by = (yy % 16) / n;
      const int idx = n == 4 ? 4 * ((bx >> 1) + 2 * (by >> 1)) + (bx & 1) + 2 * (by & 1) : bx + 2 * by;
      return idx < order;
    }
    return !(constrained_ && !mb_is_intra(tp_.mbs[static_cast<size_t>(m)].mb_type));
  }

  int16_t residual() {
    std::uniform_int_distribution<int> small(-20, 20), big(-300, 300), pick(0, 9);
    return static_cast<int16_t>(pick(rng_) == 0 ? big(rng_) : small(rng_));
  }

  // A random mode that the availability allows.
  template <class Allowed>
  int choose_mode(int count, const Availability& av, Allowed allowed) {
    std::uniform_int_distribution<int> pick(0, count - 1);
    for (;;) {
      const int m = pick(rng_);
      if (allowed(m, av)) return m;
    }
  }

  void macroblock(int n) {
    MacroblockRecord& mb = tp_.mbs[static_cast<size_t>(n)];
    std::uniform_int_distribution<int> kind(0, 9);
    const int k = kind(rng_);
    if (inter_ && k >= 8) {
      mb.mb_type = MbL0_16x16;  // left as the picture holds it
      return;
    }
    const int x0 = 16 * (n % tp_.widthMbs), y0 = 16 * (n / tp_.widthMbs);
    if (k == 0) {
      pcm(mb, x0, y0);
      return;
    }
    if (k <= 3) {
      blocks(mb, n, 4, x0, y0);
    } else if (k <= 5) {
      mb.transform_size_8x8_flag = 1;
      blocks(mb, n, 8, x0, y0);
    } else {
      whole(mb, n, x0, y0);
    }
    chroma_mb(mb, n, x0 / 2, y0 / 2);
  }

  void pcm(MacroblockRecord& mb, int x0, int y0) {
    mb.mb_type = MbI_PCM;
    auto* l = reinterpret_cast<uint8_t*>(mb.luma_coeff);
    auto* c = reinterpret_cast<uint8_t*>(mb.chroma_coeff);
    std::uniform_int_distribution<int> any(0, 255);
    for (int i = 0; i < 256; ++i) l[i] = static_cast<uint8_t>(any(rng_));
    for (int i = 0; i < 64; ++i) c[i] = static_cast<uint8_t>(any(rng_)), c[128 + i] = static_cast<uint8_t>(any(rng_));
    for (int yy = 0; yy < 16; ++yy)
      for (int x = 0; x < 16; ++x) luma(x0 + x, y0 + yy) = l[16 * yy + x];
    for (int yy = 0; yy < 8; ++yy)
      for (int x = 0; x < 8; ++x) {
        chroma(0, x0 / 2 + x, y0 / 2 + yy) = c[8 * yy + x];
        chroma(1, x0 / 2 + x, y0 / 2 + yy) = c[128 + 8 * yy + x];
      }
  }

  void blocks(MacroblockRecord& mb, int n, int size, int x0, int y0) {
    mb.mb_type = MbI_NxN;
    const int count = 256 / (size * size);
    for (int order = 0; order < count; ++order) {
      int bx, by;
      if (size == 4) {
        static const int kX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
        static const int kY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};
        bx = kX[order], by = kY[order];
      } else {
        bx = order & 1, by = order >> 1;
      }
      const int xb = x0 + size * bx, yb = y0 + size * by;
      const Availability av{available(xb - 1, yb, n, size, order), available(xb, yb - 1, n, size, order),
                             available(xb + size, yb - 1, n, size, order),
                             available(xb - 1, yb - 1, n, size, order)};
      Neighbours nb{};
      for (int i = 0; i < 2 * size; ++i) nb.up[i] = av.top && (i < size || av.topRight) ? luma(xb + i, yb - 1) : 0;
      for (int i = 0; i < size; ++i) nb.left[i] = av.left ? luma(xb - 1, yb + i) : 0;
      nb.corner = av.corner ? luma(xb - 1, yb - 1) : 0;
      const int mode = choose_mode(9, av, mode_allowed);
      uint8_t pred[64];
      if (size == 4) {
        mb.intra_pred_mode[order] = static_cast<uint8_t>(mode);
        model_4x4(mode, nb, av, pred);
      } else {
        for (int i = 0; i < 4; ++i) mb.intra_pred_mode[4 * order + i] = static_cast<uint8_t>(mode);
        model_8x8(mode, nb, av, pred);
      }
      int16_t* res = mb.luma_coeff + size * size * order;
      for (int i = 0; i < size * size; ++i) res[i] = residual();
      for (int yy = 0; yy < size; ++yy)
        for (int x = 0; x < size; ++x)
          luma(xb + x, yb + yy) = static_cast<uint8_t>(clip255(pred[size * yy + x] + res[size * yy + x]));
    }
  }

  void whole(MacroblockRecord& mb, int n, int x0, int y0) {
    const Availability av{available(x0 - 1, y0, n, 16, 0), available(x0, y0 - 1, n, 16, 0), false,
                          available(x0 - 1, y0 - 1, n, 16, 0)};
    Neighbours nb{};
    for (int i = 0; i < 16; ++i) {
      nb.up[i] = av.top ? luma(x0 + i, y0 - 1) : 0;
      nb.left[i] = av.left ? luma(x0 - 1, y0 + i) : 0;
    }
    nb.corner = av.corner ? luma(x0 - 1, y0 - 1) : 0;
    const int mode = choose_mode(4, av, mode_allowed_16x16);
    mb.mb_type = static_cast<uint8_t>(65 + mode + 4 * std::uniform_int_distribution<int>(0, 5)(rng_));
    uint8_t pred[256];
    model_16x16(mode, nb, av, pred);
    for (int i = 0; i < 256; ++i) mb.luma_coeff[i] = residual();
    for (int yy = 0; yy < 16; ++yy)
      for (int x = 0; x < 16; ++x) {
        const int blk = 4 * ((x / 8) + 2 * (yy / 8)) + ((x / 4) & 1) + 2 * ((yy / 4) & 1);
        luma(x0 + x, y0 + yy) =
            static_cast<uint8_t>(clip255(pred[16 * yy + x] + mb.luma_coeff[16 * blk + 4 * (yy & 3) + (x & 3)]));
      }
  }

  void chroma_mb(MacroblockRecord& mb, int n, int x0, int y0) {
    const Availability av{available(2 * x0 - 1, 2 * y0, n, 16, 0), available(2 * x0, 2 * y0 - 1, n, 16, 0), false,
                          available(2 * x0 - 1, 2 * y0 - 1, n, 16, 0)};
    const int mode = choose_mode(4, av, mode_allowed_chroma);
    mb.intra_chroma_pred_mode = static_cast<uint8_t>(mode);
    for (int c = 0; c < 2; ++c) {
      Neighbours nb{};
      for (int i = 0; i < 8; ++i) {
        nb.up[i] = av.top ? chroma(c, x0 + i, y0 - 1) : 0;
        nb.left[i] = av.left ? chroma(c, x0 - 1, y0 + i) : 0;
      }
      nb.corner = av.corner ? chroma(c, x0 - 1, y0 - 1) : 0;
      uint8_t pred[64];
      model_chroma(mode, nb, av, pred);
      int16_t* res = mb.chroma_coeff + 64 * c;
      for (int i = 0; i < 64; ++i) res[i] = residual();
      for (int yy = 0; yy < 8; ++yy)
        for (int x = 0; x < 8; ++x) {
          const int k = 16 * ((x >> 2) + 2 * (yy >> 2)) + 4 * (yy & 3) + (x & 3);
          chroma(c, x0 + x, y0 + yy) = static_cast<uint8_t>(clip255(pred[k] + res[k]));
        }
    }
  }

  void fill_all_margins() {
    const int w = 16 * tp_.widthMbs;
    for (int yy = 0; yy < 16 * tp_.heightMbs; ++yy)
      for (int i = 0; i < 32; ++i) luma(-32 + i, yy) = luma(0, yy), luma(w + i, yy) = luma(w - 1, yy);
    for (int c = 0; c < 2; ++c)
      for (int yy = 0; yy < 8 * tp_.heightMbs; ++yy)
        for (int i = 0; i < 8; ++i)
          chroma(c, -8 + i, yy) = chroma(c, 0, yy), chroma(c, w / 2 + i, yy) = chroma(c, w / 2 - 1, yy);
  }

  TestPicture& tp_;
  std::mt19937& rng_;
  bool inter_, constrained_;
};

std::vector<int> random_slice_starts(std::mt19937& rng, int total) {
  std::vector<int> starts{0};
  std::uniform_int_distribution<int> gap(1, 6);
  for (int n = gap(rng); n < total; n += gap(rng)) starts.push_back(n);
  return starts;
}

void run_slices(TestPicture& tp, std::mt19937& rng, uint32_t (*driver)(ThreadBuffer*)) {
  std::vector<size_t> order(tp.slices.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (size_t s : order) {
    ThreadBuffer tb{};
    tb.slice = tp.slices[s].get();
    EXPECT_EQ(driver(&tb), tb.slice->firstMb->slice_mb_count);
  }
}

struct Shape {
  int w, h;
};

// Every macroblock intra or I_PCM, through the I driver and through the P
// and B drivers (their inter members are inter prediction's), walked and
// margined alike.
TEST(IntraMacroblocks, IntraSlicesThroughEveryDriverMatchTheModel) {
  std::mt19937 rng(11);
  uint32_t (*const drivers[3])(ThreadBuffer*) = {predict_and_combine_I_unit_8bit, predict_and_combine_P_unit_8bit_luma,
                                                predict_and_combine_B_unit_8bit_luma};
  const uint8_t sliceTypes[3] = {2, 0, 1};
  for (int d = 0; d < 3; ++d)
    for (const Shape shape : {Shape{1, 3}, Shape{3, 2}, Shape{5, 4}, Shape{4, 1}})
      for (int iter = 0; iter < (d == 0 ? 40 : 5); ++iter) {
        TestPicture tp(shape.w, shape.h);
        tp.fill_random(rng);
        tp.set_slices(iter % 4 == 0 ? std::vector<int>{0} : random_slice_starts(rng, shape.w * shape.h),
                      sliceTypes[d], 0);
        Model model(tp, rng, false, false);
        model.run();
        run_slices(tp, rng, drivers[d]);
        ASSERT_EQ(tp.y, model.y_) << "driver " << d << " " << shape.w << "x" << shape.h << " iteration " << iter;
        ASSERT_EQ(tp.cb, model.cb_);
        ASSERT_EQ(tp.cr, model.cr_);
      }
}

// Intra macroblocks among inter ones, through the P and B entries (the
// inter macroblocks keep the samples the picture holds, as if already
// predicted), slices in a shuffled order.
void run_intra_entries(TestPicture& tp, std::mt19937& rng) {
  std::vector<size_t> order(tp.slices.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (size_t s : order) {
    const SliceDecodeContext* ctx = tp.slices[s].get();
    for (uint32_t n = ctx->firstMbAddr; n < ctx->firstMbAddr + ctx->firstMb->slice_mb_count; ++n) {
      const MacroblockRecord* mb = &tp.mbs[n];
      const int col = static_cast<int>(n) % tp.widthMbs, row = static_cast<int>(n) / tp.widthMbs;
      uint8_t* y = tp.lumaOrigin() + 16 * row * tp.lumaPitch + 16 * col;
      uint8_t* cb = tp.cbOrigin() + 8 * row * tp.chromaPitch + 8 * col;
      uint8_t* cr = tp.crOrigin() + 8 * row * tp.chromaPitch + 8 * col;
      if (mb->mb_type == MbI_PCM) {
        copy_pcm_luma(mb, y, tp.lumaPitch);
        copy_pcm_chroma(mb, cb, cr, tp.chromaPitch);
      } else if (mb_is_intra(mb->mb_type)) {
        DecodeIntraPrediction_for_P_B(y, mb, tp.lumaPitch);
        DecodeIntraPredictionChroma_for_P_B(cb, cr, mb, tp.chromaPitch);
      }
    }
  }
  fill_plane_margins(tp.lumaOrigin(), tp.lumaPitch, 16 * tp.widthMbs, 0, 16 * tp.heightMbs, 32, true, true);
  for (uint8_t* plane : {tp.cbOrigin(), tp.crOrigin()})
    fill_plane_margins(plane, tp.chromaPitch, 8 * tp.widthMbs, 0, 8 * tp.heightMbs, 8, true, true);
}

TEST(IntraMacroblocks, IntraInPAndBSlicesWithAndWithoutConstrainedPrediction) {
  std::mt19937 rng(12);
  for (int constrained = 0; constrained < 2; ++constrained) {
    for (const Shape shape : {Shape{3, 3}, Shape{6, 2}}) {
      for (int iter = 0; iter < 40; ++iter) {
        TestPicture tp(shape.w, shape.h);
        tp.fill_random(rng);
        tp.set_slices(random_slice_starts(rng, shape.w * shape.h), iter % 2 == 1 ? 1 : 0,
                      static_cast<uint8_t>(constrained));
        Model model(tp, rng, true, constrained != 0);
        model.run();
        run_intra_entries(tp, rng);
        ASSERT_EQ(tp.y, model.y_) << "constrained " << constrained << " iteration " << iter;
        ASSERT_EQ(tp.cb, model.cb_);
        ASSERT_EQ(tp.cr, model.cr_);
      }
    }
  }
}

// Units whose count runs past the picture, or that are empty, never write
// outside the picture and report the count they were given; a monochrome
// picture gets only its luma reconstructed.
TEST(IntraMacroblocks, DriversStayInsideThePictureAndItsPlanes) {
  std::mt19937 rng(13);
  for (const bool monochrome : {false, true}) {
    TestPicture tp(2, 2);
    tp.fill_random(rng);
    if (monochrome) tp.pic.chroma_format_idc = 0;
    tp.set_slices({0}, 2, 0);
    const std::vector<uint8_t> cb = tp.cb;
    Model model(tp, rng, false, false);
    model.run();
    ThreadBuffer tb{};
    tb.slice = tp.slices[0].get();
    if (!monochrome) tp.mbs[0].slice_mb_count = 1000;
    EXPECT_EQ(predict_and_combine_I_unit_8bit(&tb), monochrome ? 4u : 1000u);
    EXPECT_EQ(tp.y, model.y_);
    if (monochrome) {
      EXPECT_EQ(tp.cb, cb);
    }
  }
  TestPicture tp(2, 2);
  tp.fill_random(rng);
  tp.set_slices({0}, 2, 0);
  tp.mbs[0].slice_mb_count = 0;
  const std::vector<uint8_t> before = tp.y;
  ThreadBuffer tb{};
  tb.slice = tp.slices[0].get();
  EXPECT_EQ(predict_and_combine_I_unit_8bit(&tb), 0u);
  EXPECT_EQ(tp.y, before);
}

// The bottom macroblock of an MBAFF frame pair predicts as if its
// above-right neighbour were absent; the top one and field pairs do not.
TEST(IntraMacroblocks, MbaffBottomFrameMacroblockHasNoAboveRight) {
  std::mt19937 rng(15);
  TestPicture tp(3, 3);
  tp.set_slices({0}, 0, 0);
  MacroblockRecord& mb = tp.mbs[4];
  mb.mb_type = MbI_NxN;
  for (uint8_t& m : mb.intra_pred_mode) m = 3;  // diagonal down left reads the above-right samples
  for (const uint32_t addr : {4u, 5u})
    for (const uint8_t structure : {uint8_t{2}, uint8_t{0}}) {
      tp.fill_random(rng);
      mb.mb_addr = addr;
      mb.mb_structure = structure;
      const std::vector<uint8_t> before = tp.y;
      uint8_t* dst = tp.lumaOrigin() + 16 * tp.lumaPitch + 16;
      DecodeIntraPrediction_for_P_B_mbaff(dst, &mb, tp.lumaPitch);
      const std::vector<uint8_t> mbaff = tp.y;
      tp.y = before;
      MacroblockRecord* c = mb.neighbour_c;
      if (addr % 2 == 1 && structure == 2) mb.neighbour_c = nullptr;
      DecodeIntraPrediction_for_P_B(dst, &mb, tp.lumaPitch);
      mb.neighbour_c = c;
      EXPECT_EQ(tp.y, mbaff) << "address " << addr << " structure " << int(structure);
    }
}

// Records with values no conforming stream produces (any type code, modes
// past their tables, odd slice counts, any deblocking control and QP) are
// reconstructed and deblocked without reading or writing outside the
// picture (checked under the sanitizers) and without stalling.
TEST(IntraMacroblocks, DamagedRecordsStayInsideThePicture) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> byte(0, 255), small(-300, 300);
  for (int iter = 0; iter < 60; ++iter) {
    TestPicture tp(3 + iter % 3, 2 + iter % 2);
    tp.fill_random(rng);
    const int total = tp.widthMbs * tp.heightMbs;
    tp.set_slices({0, total / 2}, static_cast<uint8_t>(iter % 3), static_cast<uint8_t>(iter % 2));
    // Inter codes the P and B tables name are left out: their members belong
    // to inter prediction and need real reference lists.
    const std::vector<int> named = {3,  20, 21, 22, 25, 26, 29, 30, 35, 37, 38,  40,  41,
                                    42, 45, 46, 53, 54, 57, 58, 60, 61, 62, 107, 147, 227};
    for (auto& mb : tp.mbs) {
      int code = byte(rng);
      if (std::find(named.begin(), named.end(), code) != named.end()) code = MbI_NxN;
      mb.mb_type = static_cast<uint8_t>(code);
      mb.transform_size_8x8_flag = static_cast<uint8_t>(byte(rng) & 1);
      for (uint8_t& m : mb.intra_pred_mode) m = static_cast<uint8_t>(byte(rng));
      mb.intra_chroma_pred_mode = static_cast<uint8_t>(byte(rng));
      for (int16_t& r : mb.luma_coeff) r = static_cast<int16_t>(small(rng));
      for (int16_t& r : mb.chroma_coeff) r = static_cast<int16_t>(small(rng));
      mb.qp_y = static_cast<uint8_t>(byte(rng));
      mb.qp_cb = static_cast<int8_t>(byte(rng) - 128);
      mb.qp_cr = static_cast<int8_t>(byte(rng) - 128);
      mb.luma_nonzero_mask = static_cast<uint16_t>(byte(rng) * 257);
      mb.mb_structure = static_cast<uint8_t>(byte(rng) % 3);
      for (int i = 0; i < 4; ++i) mb.pred_flag_l0[i] = static_cast<uint8_t>(byte(rng) & 1);
      for (int i = 0; i < 4; ++i) mb.pred_flag_l1[i] = static_cast<uint8_t>(byte(rng) & 1);
    }
    for (auto& s : tp.slices) {
      MacroblockRecord& head = *s->firstMb;
      head.deblock_idc = static_cast<uint8_t>(byte(rng) % 4);
      head.filter_offset_a = static_cast<int8_t>(byte(rng) - 128);
      head.filter_offset_b = static_cast<int8_t>(byte(rng) - 128);
      if (iter % 5 == 0) head.slice_mb_count = static_cast<uint32_t>(byte(rng) % 3);  // 0, 1 or 2
    }
    uint32_t (*const drivers[3])(ThreadBuffer*) = {predict_and_combine_P_unit_8bit_luma,
                                                  predict_and_combine_B_unit_8bit_luma,
                                                  predict_and_combine_I_unit_8bit};
    for (auto& s : tp.slices) {
      ThreadBuffer tb{};
      tb.slice = s.get();
      EXPECT_EQ(drivers[iter % 3](&tb), s->firstMb->slice_mb_count);
    }
    EXPECT_EQ(DeblockingFilter(&tp.pic), 0u);
  }
}

}  // namespace
