// Intra predictors against a plain model of the standard's per-sample
// formulas, written over the neighbour sample array p[x, y] with explicit
// availability, for every combination of left, upper, upper-right and
// upper-left availability. The model builds the predictors' arguments the
// way the macroblock reconstruction does (null sides, corner slots,
// substituted upper-right samples), so the corner-slot convention is checked
// too.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "intra_model.h"
#include "intra_prediction.h"

namespace {

using namespace intra_model;

Neighbours random_neighbours(std::mt19937& rng, int style) {
  Neighbours nb{};
  std::uniform_int_distribution<int> full(0, 255);
  std::uniform_int_distribution<int> edge(0, 1);
  for (int& v : nb.up) v = style == 0 ? full(rng) : style == 1 ? 255 * edge(rng) : 250 + edge(rng) * 5;
  for (int& v : nb.left) v = style == 0 ? full(rng) : style == 1 ? 255 * edge(rng) : edge(rng) * 5;
  nb.corner = style == 0 ? full(rng) : 255 * edge(rng);
  return nb;
}

// Reference arguments laid out the way the reconstruction hands them over,
// with guard room on both sides of every sample the predictors may read.
struct Arguments {
  alignas(16) uint8_t topBuf[64];
  alignas(16) uint8_t leftBuf[64];
  const uint8_t* top = nullptr;
  const uint8_t* left = nullptr;
};

// n: samples per side (4, 8, 16); topRightCount: above-right samples (n for
// 4x4 and 8x8, 0 otherwise). Unavailable upper-right samples repeat p[n-1, -1].
Arguments make_arguments(const Neighbours& nb, const Availability& av, int n, int topRightCount) {
  Arguments a;
  std::memset(a.topBuf, 0xA5, sizeof a.topBuf);
  std::memset(a.leftBuf, 0x5A, sizeof a.leftBuf);
  uint8_t* top = a.topBuf + 16;
  uint8_t* left = a.leftBuf + 16;
  for (int x = 0; x < n; ++x) top[x] = static_cast<uint8_t>(nb.up[x]);
  for (int x = n; x < n + topRightCount; ++x)
    top[x] = static_cast<uint8_t>(av.topRight ? nb.up[x] : nb.up[n - 1]);
  for (int y = 0; y < n; ++y) left[y] = static_cast<uint8_t>(nb.left[y]);
  top[-1] = static_cast<uint8_t>(av.corner ? nb.corner : top[0]);
  left[-1] = static_cast<uint8_t>(av.corner ? nb.corner : left[0]);
  a.top = av.top ? top : nullptr;
  a.left = av.left ? left : nullptr;
  return a;
}

using Model = void (*)(int, const Neighbours&, const Availability&, uint8_t*);
using Dispatcher = void (*)(uint8_t*, const uint8_t*, const uint8_t*, uint8_t);

struct Family {
  const char* name;
  int side, topRight, predSize, modes;
  const IntraPredictor* table;
  Dispatcher dispatch;
  Model model;
  bool (*allowed)(int, const Availability&);
};

// The plain reference's tables; the vector variants are held against them
// in intra_dsp_test.cpp.
const IntraLumaPredictors& kReference = c_intra_prediction_dsp.fp_intra_prediction;
const Family kFamilies[] = {
    {"4x4", 4, 4, 16, 9, kReference.size4x4, create_prediction_4x4_8bit, model_4x4, mode_allowed},
    {"8x8", 8, 8, 64, 9, kReference.size8x8, create_prediction_8x8_8bit, model_8x8, mode_allowed},
    {"16x16", 16, 0, 256, 4, kReference.size16x16, create_prediction_16x16_8bit, model_16x16,
     mode_allowed_16x16},
    {"chroma", 8, 0, 64, 4, c_intra_prediction_dsp.fp_intra_chroma_prediction, create_prediction_chroma_8bit,
     model_chroma, mode_allowed_chroma},
};

constexpr int kGuard = 16;

// Runs one predictor into a buffer with guard bytes and checks the guards
// and that the reference samples (and the room around them) stay untouched.
std::vector<uint8_t> run(IntraPredictor fn, const Arguments& a, int predSize) {
  alignas(16) uint8_t buf[256 + 2 * kGuard];
  std::memset(buf, 0xEE, sizeof buf);
  const Arguments before = a;
  fn(buf + kGuard, a.left, a.top);
  EXPECT_EQ(0, std::memcmp(before.topBuf, a.topBuf, sizeof a.topBuf));
  EXPECT_EQ(0, std::memcmp(before.leftBuf, a.leftBuf, sizeof a.leftBuf));
  for (int i = 0; i < kGuard; ++i) {
    EXPECT_EQ(buf[i], 0xEE);
    EXPECT_EQ(buf[kGuard + predSize + i], 0xEE);
  }
  return std::vector<uint8_t>(buf + kGuard, buf + kGuard + predSize);
}

TEST(IntraPrediction, EveryModeMatchesTheModelForEveryAvailability) {
  std::mt19937 rng(1234);
  for (const Family& fam : kFamilies) {
    for (const Availability& av : all_availabilities()) {
      for (int iter = 0; iter < 60; ++iter) {
        const Neighbours nb = random_neighbours(rng, iter % 3);
        const Arguments args = make_arguments(nb, av, fam.side, fam.topRight);
        for (int mode = 0; mode < fam.modes; ++mode) {
          if (!fam.allowed(mode, av)) continue;
          std::vector<uint8_t> expected(fam.predSize);
          fam.model(mode, nb, av, expected.data());
          EXPECT_EQ(run(fam.table[mode], args, fam.predSize), expected)
              << fam.name << " mode " << mode << " L" << av.left << " T" << av.top << " TR" << av.topRight
              << " D" << av.corner;
          alignas(16) uint8_t viaDispatch[256];
          fam.dispatch(viaDispatch, args.left, args.top, static_cast<uint8_t>(mode));
          EXPECT_EQ(std::vector<uint8_t>(viaDispatch, viaDispatch + fam.predSize), expected);
        }
      }
    }
  }
}

// Modes outside a table, or modes whose side is missing, predict DC from the
// sides present instead of reading through a null pointer.
TEST(IntraPrediction, InvalidModesAndMissingSidesFallBackToDc) {
  std::mt19937 rng(7);
  for (const Family& fam : kFamilies) {
    const int dcMode = fam.table == c_intra_prediction_dsp.fp_intra_chroma_prediction ? 0 : 2;
    for (const Availability& av : all_availabilities()) {
      const Neighbours nb = random_neighbours(rng, 0);
      const Arguments args = make_arguments(nb, av, fam.side, fam.topRight);
      std::vector<uint8_t> dc(fam.predSize);
      fam.model(dcMode, nb, av, dc.data());
      for (int mode = 0; mode < 256; ++mode) {
        const bool inTable = mode < fam.modes;
        const bool sidesPresent = inTable && fam.allowed(mode, Availability{av.left, av.top, true, true});
        if (sidesPresent) continue;
        alignas(16) uint8_t out[256];
        fam.dispatch(out, args.left, args.top, static_cast<uint8_t>(mode));
        EXPECT_EQ(std::vector<uint8_t>(out, out + fam.predSize), dc) << fam.name << " mode " << mode;
      }
    }
  }
}

// ---- combination ----

// 4x4, 8x8, 16x16 (residual in 4x4 blocks) and chroma (four-block layout):
// clipped sums, the right column and bottom row copies, nothing written
// past the block.
TEST(IntraCombine, ClipsAndCopiesEdges) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> sample(0, 255), residual(-600, 600);
  alignas(16) int16_t res[256];
  alignas(16) uint8_t pred[256];
  const int pitch = 48;
  std::vector<uint8_t> plane(pitch * 20);
  uint8_t* dst = plane.data() + 2 * pitch + 3;  // deliberately unaligned
  auto clipped = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  for (int iter = 0; iter < 50; ++iter) {
    for (int i = 0; i < 256; ++i) res[i] = static_cast<int16_t>(residual(rng)), pred[i] = static_cast<uint8_t>(sample(rng));
    for (int kind = 0; kind < 4; ++kind) {
      const int n = kind == 2 ? 16 : kind == 0 ? 4 : 8;
      uint8_t right[16], bottom[16];
      std::fill(plane.begin(), plane.end(), 0xCC);
      if (kind == 0) combine_intra_samples_4x4_8bit(res, pred, right, bottom, dst, pitch);
      if (kind == 1) combine_intra_samples_8x8_8bit(res, pred, right, bottom, dst, pitch);
      if (kind == 2) combine_intra_samples_16x16_8bit(res, pred, right, bottom, dst, pitch);
      if (kind == 3) combine_intra_chroma_samples(res, pred, right, dst, pitch);
      for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
          const int in4x4 = 4 * (y & 3) + (x & 3);
          int p = n * y + x, r = p;
          if (kind == 2) r = 16 * ((x / 8) * 4 + (y / 8) * 8 + ((x / 4) & 1) + 2 * ((y / 4) & 1)) + in4x4;
          if (kind == 3) p = r = 16 * ((x >> 2) + 2 * (y >> 2)) + in4x4;
          ASSERT_EQ(dst[y * pitch + x], clipped(pred[p] + res[r])) << "kind " << kind;
        }
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(right[i], dst[i * pitch + n - 1]);
        EXPECT_TRUE(kind == 3 || bottom[i] == dst[(n - 1) * pitch + i]) << "kind " << kind;
        EXPECT_TRUE(dst[i * pitch + n] == 0xCC && dst[n * pitch + i] == 0xCC) << "kind " << kind;
      }
    }
  }
}

}  // namespace
