// Chroma members against a per-sample model of the chroma prediction of each
// macroblock type: which partition or quadrant a sample belongs to, its
// reference and vector (with the field parity adjustment), the bilinear
// prediction with edge clamping, default, explicit and implicit weighting,
// the residual and the final clip. Random motion, references, weights and
// residuals, in frame and field pictures; P_8x8 and B_8x8 with every
// sub-macroblock type, direct quadrants (per 2x2 block without 8x8
// inference) and unknown types.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include "decoder_engine.h"
#include "inter_dispatch.h"
#include "inter_prediction.h"
#include "mb_record.h"

namespace {

constexpr int kMbW = 4, kMbH = 3;               // a 64x48 picture
constexpr int kCW = 8 * kMbW, kCH = 8 * kMbH;  // chroma size
constexpr int kPitch = kCW + 16;

struct Picture {
  std::vector<uint8_t> cb, cr;
  FrameBuffer fb{};
  DecodedPicture pic{};
  // Rows start half a pitch in: a bottom field's frame planes begin half
  // its (field) pitch above its first row.
  Picture(std::mt19937& rng, int structure, int poc) : cb(kPitch * kCH + kPitch / 2), cr(kPitch * kCH + kPitch / 2) {
    std::uniform_int_distribution<int> v(0, 255);
    for (auto* plane : {&cb, &cr})
      for (int y = 0; y < kCH; ++y) {
        uint8_t* row = plane->data() + kPitch / 2 + y * kPitch + 8;
        for (int x = 0; x < kCW; ++x) row[x] = static_cast<uint8_t>(v(rng));
        for (int m = 1; m <= 8; ++m) {
          row[-m] = row[0];
          row[kCW - 1 + m] = row[kCW - 1];
        }
      }
    const int frameStart = structure == 1 ? 8 : kPitch / 2 + 8;
    fb.Cb = cb.data() + frameStart;
    fb.Cr = cr.data() + frameStart;
    pic.frameBuffer = &fb;
    pic.structure = static_cast<uint8_t>(structure);
    pic.pictureOrderCount = poc;
  }
  int at(int c, int x, int y) const {
    x = x < 0 ? 0 : x >= kCW ? kCW - 1 : x;
    y = y < 0 ? 0 : y >= kCH ? kCH - 1 : y;
    return (c ? cr : cb)[kPitch / 2 + y * kPitch + 8 + x];
  }
};

int clip(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

struct Scene {
  std::vector<std::unique_ptr<Picture>> refs;
  DecodedPicture* lists[2][kRefListSize] = {};
  std::unique_ptr<SliceDecodeContext> slice = std::make_unique<SliceDecodeContext>();
  PredWeightTable table{};
  Picture current;
  MacroblockRecord mb{};
  Scene(std::mt19937& rng, bool field, uint32_t mode, bool inference)
      : current(rng, field ? static_cast<int>(rng() & 1) : 2, 10) {
    std::uniform_int_distribution<int> poc(0, 40), w(-128, 127), o(-128, 127), denom(0, 7);
    for (int i = 0; i < 6; ++i) {
      refs.push_back(std::make_unique<Picture>(rng, field ? static_cast<int>(rng() & 1) : 2, poc(rng)));
      lists[i / 3][i % 3] = &refs.back()->pic;
    }
    *slice = SliceDecodeContext{};
    slice->picture = &current.pic;
    // The drivers hand the members the slice's own lists.
    for (uint32_t i = 0; i < kRefListSize; ++i) {
      slice->RefPicList0[i] = lists[0][i];
      slice->RefPicList1[i] = lists[1][i];
    }
    slice->field_pic_flag = field;
    for (int i = 0; i < 6; ++i) slice->refParity[i / 3][i % 3] = field ? lists[i / 3][i % 3]->structure : 0;
    slice->weightingMode = mode;
    slice->weightTable = &table;
    slice->num_ref_idx_l0_active_minus1 = 2;
    slice->num_ref_idx_l1_active_minus1 = 2;
    slice->direct_8x8_inference_flag = inference;
    table.chroma_log2_weight_denom = static_cast<uint8_t>(denom(rng));
    for (int i = 0; i < 32; ++i)
      for (int c = 0; c < 2; ++c) {
        const bool inferred = (rng() & 3) == 0;
        table.chroma_weight_l0[i][c] = static_cast<int16_t>(inferred ? 1 << table.chroma_log2_weight_denom : w(rng));
        table.chroma_weight_l1[i][c] = static_cast<int16_t>(w(rng));
        table.chroma_offset_l0[i][c] = static_cast<int8_t>(inferred ? 0 : o(rng));
        table.chroma_offset_l1[i][c] = static_cast<int8_t>(o(rng));
      }
    std::uniform_int_distribution<int> mv(-80, 80), ref(0, 2), res(-300, 300);
    mb.slice = slice.get();
    mb.mb_structure = current.pic.structure;
    for (int q = 0; q < 4; ++q) {
      mb.ref_idx_l0[q] = static_cast<int8_t>(ref(rng));
      mb.ref_idx_l1[q] = static_cast<int8_t>(ref(rng));
      const int flags = 1 + static_cast<int>(rng() % 3);
      mb.pred_flag_l0[q] = flags & 1;
      mb.pred_flag_l1[q] = (flags >> 1) & 1;
    }
    for (int b = 0; b < 16; ++b)
      for (int k = 0; k < 2; ++k) {
        mb.mv_l0[b][k] = static_cast<int16_t>(mv(rng));
        mb.mv_l1[b][k] = static_cast<int16_t>(mv(rng));
      }
    for (int16_t& r : mb.chroma_coeff) r = static_cast<int16_t>(res(rng));
    mb.cbp_chroma = 2;  // coded AC: the members read the residual
  }

  // Prediction of component c, sample (x, y) of the macroblock at chroma
  // position (cx, cy), from list l with quadrant q's index and block b's vector.
  int predict(int c, int l, int q, int b, int cx, int cy, int x, int y) const {
    const int idx = l ? mb.ref_idx_l1[q] : mb.ref_idx_l0[q];
    const DecodedPicture* ref = lists[l][idx];
    const Picture* p = nullptr;
    for (const auto& r : refs)
      if (&r->pic == ref) p = r.get();
    const int16_t* v = l ? mb.mv_l1[b] : mb.mv_l0[b];
    int dv = 0;
    if (ref->structure == 0 && mb.mb_structure == 1) dv = 2;
    if (ref->structure == 1 && mb.mb_structure == 0) dv = -2;
    const int vx = v[0], vy = v[1] + dv;
    const int xi = cx + x + (vx >> 3), yi = cy + y + (vy >> 3), dx = vx & 7, dy = vy & 7;
    return ((8 - dx) * (8 - dy) * p->at(c, xi, yi) + dx * (8 - dy) * p->at(c, xi + 1, yi) +
            (8 - dx) * dy * p->at(c, xi, yi + 1) + dx * dy * p->at(c, xi + 1, yi + 1) + 32) >>
           6;
  }

  int weigh(int c, int lists, int q, int p0, int p1) const {
    const uint32_t mode = slice->weightingMode;
    const int d = table.chroma_log2_weight_denom;
    const int i0 = mb.ref_idx_l0[q], i1 = mb.ref_idx_l1[q];
    if (lists != 3) {
      if (mode != 1) return p0;
      const int l = lists == 2;
      const int w = l ? table.chroma_weight_l1[i1][c] : table.chroma_weight_l0[i0][c];
      const int o = l ? table.chroma_offset_l1[i1][c] : table.chroma_offset_l0[i0][c];
      return clip(d ? ((p0 * w + (1 << (d - 1))) >> d) + o : p0 * w + o);
    }
    if (mode == 0) return (p0 + p1 + 1) >> 1;
    if (mode == 1) {
      const int w0 = table.chroma_weight_l0[i0][c], w1 = table.chroma_weight_l1[i1][c];
      const int o = (table.chroma_offset_l0[i0][c] + table.chroma_offset_l1[i1][c] + 1) >> 1;
      return clip(((p0 * w0 + p1 * w1 + (1 << d)) >> (d + 1)) + o);
    }
    const int poc0 = lists_poc(0, i0), poc1 = lists_poc(1, i1);
    int w0 = 32, w1 = 32;
    const int tb = std::max(-128, std::min(127, current.pic.pictureOrderCount - poc0));
    const int td = std::max(-128, std::min(127, poc1 - poc0));
    if (td != 0) {
      const int tx = (16384 + std::abs(td / 2)) / td;
      const int scale = std::max(-1024, std::min(1023, (tb * tx + 32) >> 6));
      if ((scale >> 2) >= -64 && (scale >> 2) <= 128) {
        w1 = scale >> 2;
        w0 = 64 - w1;
      }
    }
    return clip((p0 * w0 + p1 * w1 + 32) >> 6);
  }
  int lists_poc(int l, int idx) const { return lists[l][idx]->pictureOrderCount; }
};

using Member = void (*)(DecodedPicture* const*, DecodedPicture* const*, uint16_t, uint16_t, uint8_t*, uint8_t*,
                        MacroblockRecord*, int, int, int);

// Sub-macroblock types the parsers of a slice kind write.
bool known_sub_type(char slice, int code) {
  static const std::set<int> p = {9, 42, 74, 108}, b = {9, 17, 25, 42, 50, 58, 74, 82, 90, 108, 116, 124};
  return (slice == 'P' ? p : b).count(code) != 0;
}

void run_case(Scene& s, int code, char slice, Member member, int mbX, int mbY) {
  s.mb.mb_type = static_cast<uint8_t>(code);
  const int cx = 8 * mbX, cy = 8 * mbY;
  uint8_t* cb = s.current.fb.Cb + cy * kPitch + cx;
  uint8_t* cr = s.current.fb.Cr + cy * kPitch + cx;
  const bool l1Only = code == 40 || code == 41 || code == 42;
  member(l1Only ? s.lists[1] : s.lists[0], s.lists[1], static_cast<uint16_t>(cx), static_cast<uint16_t>(cy), cb, cr,
         &s.mb, kPitch, kPitch, kCH);
  const int shape = code & 3;
  const bool skipOrDirect = code == MbP_Skip || code == MbB_Skip || code == MbB_Direct_16x16;
  const bool residual = code != MbP_Skip && code != MbB_Skip;
  for (int c = 0; c < 2; ++c)
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        int q = 0, b = 0, lists;
        const int sub = s.mb.sub_mb_type[2 * (y / 4) + x / 4];
        if (code == MbP_Skip) {
          lists = 1;
        } else if (shape == 3 && !skipOrDirect && sub != SubMbB_Direct_8x8) {
          // Sub-macroblock quadrant: the luma block of the sample's
          // sub-partition; an unknown code predicts 0.
          q = 2 * (y / 4) + x / 4;
          const int subShape = (sub >> 5) & 3, row = (y % 4) / 2, col = (x % 4) / 2;
          b = 4 * q + (subShape == 1 ? 2 * row : subShape == 2 ? col : subShape == 3 ? 2 * row + col : 0);
          lists = known_sub_type(slice, sub) ? (sub >> 3) & 3 : 0;
        } else if (skipOrDirect || shape == 3) {
          q = 2 * (y / 4) + x / 4;
          b = 4 * q + (s.slice->direct_8x8_inference_flag ? 0 : 2 * ((y % 4) / 2) + (x % 4) / 2);
          lists = s.mb.pred_flag_l0[q] ? (s.mb.pred_flag_l1[q] ? 3 : 1) : 2;
        } else {
          const int part = shape == 1 ? y / 4 : shape == 2 ? x / 4 : 0;
          q = shape == 1 ? 2 * part : part;
          b = shape == 1 ? 8 * part : 4 * part;
          lists = part ? (code >> 2) & 3 : (code >> 4) & 3;
        }
        const int p0 = lists & 1 ? s.predict(c, 0, q, b, cx, cy, x, y) : 0;
        const int p1 = lists & 2 ? s.predict(c, 1, q, b, cx, cy, x, y) : 0;
        int v = lists ? s.weigh(c, lists, q, lists == 2 ? p1 : p0, p1) : 0;
        if (residual) v += s.mb.chroma_coeff[64 * c + 16 * (2 * (y / 4) + x / 4) + 4 * (y % 4) + x % 4];
        const uint8_t got = (c ? cr : cb)[y * kPitch + x];
        ASSERT_EQ(got, clip(v)) << "code " << code << " component " << c << " sample " << x << "," << y
                                << " mode " << s.slice->weightingMode;
      }
}

struct Row {
  int code;
  char slice;
  Member member;
};
#define CHROMA_ROW(name, mbaffName, slice, code, lists) {code, #slice[0], &inter::chroma_entry<&name>},
// (The MBAFF rows are tested through whole MBAFF streams.)
#define SUBMB_ROW_FRAME(chroma, slice, code) {code, #slice[0], &inter::chroma_entry<&chroma>},
#define SUBMB_ROW_MBAFF(chroma, slice, code)
#define SUBMB_ROW(luma, chroma, slice, pic, lists, code, ...) SUBMB_ROW_##pic(chroma, slice, code)
const Row kMembers[] = {INTER_CHROMA_MEMBERS(CHROMA_ROW) INTER_SUBMB_DRIVERS(SUBMB_ROW)};

// Sub-macroblock types of each slice kind, a direct quadrant, and codes no
// parser writes (predicted as 0).
const int kPSubCodes[] = {9, 42, 74, 108, 0, 17};
const int kBSubCodes[] = {9, 17, 25, 42, 50, 58, 74, 82, 90, 108, 116, 124, 252, 0, 127, 200};

// A random sub-macroblock type per quadrant, with the records the luma pass
// leaves for the chroma pass: list use and reference pictures.
void choose_sub_types(Scene& s, std::mt19937& rng, char slice) {
  for (int q = 0; q < 4; ++q) {
    const int sub = slice == 'P' ? kPSubCodes[rng() % 6] : kBSubCodes[rng() % 16];
    s.mb.sub_mb_type[q] = static_cast<uint8_t>(sub);
    if (sub != SubMbB_Direct_8x8) {
      s.mb.pred_flag_l0[q] = (sub >> 3) & 1;
      s.mb.pred_flag_l1[q] = (sub >> 4) & 1;
    }
    s.mb.ref_pic_l0[q] = s.lists[0][s.mb.ref_idx_l0[q]];
    s.mb.ref_pic_l1[q] = s.lists[1][s.mb.ref_idx_l1[q]];
  }
}

TEST(ChromaMembers, EveryTypeMatchesTheModel) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 12; ++round)
    for (const Row& row : kMembers)
      for (uint32_t mode : {0u, 1u, 2u}) {
        if (row.slice == 'P' && mode == 2) continue;
        Scene s(rng, round % 3 == 2, mode, round % 2 == 0);
        if (row.code == Mb8x8) choose_sub_types(s, rng, row.slice);
        run_case(s, row.code, row.slice, row.member, static_cast<int>(rng() % kMbW), static_cast<int>(rng() % kMbH));
      }
}

// Skip and direct macroblocks whose quadrants all move alike (the common
// case, which the frame members predict as one block), in every weighting
// mode, at every macroblock position (the edges among them).
TEST(ChromaMembers, SkipAndDirectMovingAlikeMatchTheModel) {
  std::mt19937 rng(901);
  const std::pair<int, Member> members[] = {
      {MbB_Skip, &inter::chroma_entry<&DecodeInterPredictionSamplesChroma_B_Skip>},
      {MbB_Direct_16x16, &inter::chroma_entry<&DecodeInterPredictionSamplesChroma_B_Direct_16x16>}};
  for (int round = 0; round < 4; ++round)
    for (const auto& m : members)
      for (uint32_t mode : {0u, 1u, 2u})
        for (int mbY = 0; mbY < kMbH; ++mbY)
          for (int mbX = 0; mbX < kMbW; ++mbX) {
            Scene s(rng, round == 3, mode, true);
            for (int q = 1; q < 4; ++q) {
              s.mb.ref_idx_l0[q] = s.mb.ref_idx_l0[0];
              s.mb.ref_idx_l1[q] = s.mb.ref_idx_l1[0];
              s.mb.pred_flag_l0[q] = s.mb.pred_flag_l0[0];
              s.mb.pred_flag_l1[q] = s.mb.pred_flag_l1[0];
            }
            for (int b = 1; b < 16; ++b)
              for (int k = 0; k < 2; ++k) {
                s.mb.mv_l0[b][k] = s.mb.mv_l0[0][k];
                s.mb.mv_l1[b][k] = s.mb.mv_l1[0][k];
              }
            if (round == 1) s.mb.cbp_chroma = 0;  // no residual: not read
            if (round == 1) std::fill(std::begin(s.mb.chroma_coeff), std::end(s.mb.chroma_coeff), int16_t{0});
            run_case(s, m.first, 'B', m.second, mbX, mbY);
          }
}

TEST(ChromaMembers, DamagedReferenceIndexStaysInsideTheList) {
  std::mt19937 rng(5);
  Scene s(rng, false, 0, true);
  for (int q = 0; q < 4; ++q) s.mb.ref_idx_l0[q] = 40;  // past the three active entries
  s.mb.mb_type = 20;
  uint8_t* cb = s.current.fb.Cb;
  DecodeInterPredictionSamplesChroma_P_16x16(s.lists[0], 0, 0, cb, s.current.fb.Cr, &s.mb, kPitch, kPitch, kCH);
  // Predicted from entry 0 instead.
  for (int q = 0; q < 4; ++q) s.mb.ref_idx_l0[q] = 0;
  std::vector<uint8_t> first(cb, cb + 8);
  DecodeInterPredictionSamplesChroma_P_16x16(s.lists[0], 0, 0, cb, s.current.fb.Cr, &s.mb, kPitch, kPitch, kCH);
  EXPECT_EQ(std::vector<uint8_t>(cb, cb + 8), first);
}

// WeightedBiChroma against the model's bi-prediction weighting of every
// mode, on random 4x4 blocks of both components and every quadrant.
TEST(ChromaMembers, WeightedBiChromaMatchesTheModel) {
  std::mt19937 rng(77);
  std::uniform_int_distribution<int> sample(0, 255);
  for (int round = 0; round < 40; ++round)
    for (uint32_t mode : {0u, 1u, 2u}) {
      Scene s(rng, round % 4 == 3, mode, true);
      for (uint32_t i = 0; i < kRefListSize; ++i) {
        s.slice->RefPicList0[i] = s.lists[0][i];
        s.slice->RefPicList1[i] = s.lists[1][i];
      }
      for (uint8_t q = 0; q < 4; ++q)
        for (uint8_t c = 0; c < 2; ++c) {
          uint8_t p0[32], p1[32], want[32];
          for (int k = 0; k < 32; ++k) {
            p0[k] = static_cast<uint8_t>(sample(rng));
            p1[k] = static_cast<uint8_t>(sample(rng));
            // Only columns 0..3 of rows 0..3 change.
            want[k] = (k & 7) < 4 ? static_cast<uint8_t>(s.weigh(c, 3, q, p0[k], p1[k])) : p1[k];
          }
          EXPECT_EQ(0, WeightedBiChroma(p0, p1, &s.mb, q, c));
          ASSERT_EQ(std::vector<uint8_t>(want, want + 32), std::vector<uint8_t>(p1, p1 + 32))
              << "mode " << mode << " quadrant " << int(q) << " component " << int(c);
        }
    }
}

// Boundary cases of the weights, with exact expected samples.
TEST(ChromaMembers, WeightedBiChromaWeightBoundaries) {
  struct Row {
    uint32_t mode;
    int poc0, poc1, cur;    // implicit
    int o0, o1, w0, w1;     // explicit (denominator 0)
    int p0, p1, want;
  };
  const Row rows[] = {
      {2, 8, 8, 4, 0, 0, 0, 0, 10, 21, 16},      // td 0: average, rounded up
      {2, 0, 1, 2, 0, 0, 0, 0, 100, 50, 0},      // w1 = 128, w0 = -64: (-6400 + 6400 + 32) >> 6
      {2, 0, 2, 5, 0, 0, 0, 0, 100, 50, 75},     // w1 = 160 is out of range: 32 / 32
      {1, 0, 0, 0, -3, 5, 1, 1, 10, 20, 16},     // offset (-3 + 5 + 1) >> 1 = 1
      {1, 0, 0, 0, -3, -4, 1, 1, 10, 20, 12},    // offset (-3 - 4 + 1) >> 1 = -3
  };
  std::mt19937 rng(3);
  for (const Row& r : rows) {
    Scene s(rng, false, r.mode, true);
    s.current.pic.pictureOrderCount = r.cur;
    s.lists[0][0]->pictureOrderCount = r.poc0;
    s.lists[1][0]->pictureOrderCount = r.poc1;
    s.slice->RefPicList0[0] = s.lists[0][0];
    s.slice->RefPicList1[0] = s.lists[1][0];
    s.table.chroma_log2_weight_denom = 0;
    s.table.chroma_weight_l0[0][0] = static_cast<int16_t>(r.w0);
    s.table.chroma_weight_l1[0][0] = static_cast<int16_t>(r.w1);
    s.table.chroma_offset_l0[0][0] = static_cast<int8_t>(r.o0);
    s.table.chroma_offset_l1[0][0] = static_cast<int8_t>(r.o1);
    s.mb.ref_idx_l0[0] = s.mb.ref_idx_l1[0] = 0;
    uint8_t p0[32], p1[32];
    std::fill(p0, p0 + 32, static_cast<uint8_t>(r.p0));
    std::fill(p1, p1 + 32, static_cast<uint8_t>(r.p1));
    WeightedBiChroma(p0, p1, &s.mb, 0, 0);
    EXPECT_EQ(r.want, p1[0]) << "mode " << r.mode << " pocs " << r.poc0 << "," << r.poc1 << "," << r.cur;
  }
}

}  // namespace
