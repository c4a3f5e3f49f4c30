// Vector intra predictors and residual adders against the plain reference, checkasm style: every
// variant the processor runs, every predictor, every combination of present
// sides, seeded random samples with independent corner slots, flat and
// alternating 0/255 extremes, side pointers at every alignment in buffers
// that end right after the last sample a predictor may read (AddressSanitizer
// sees any read beyond), and guard bytes around misaligned outputs.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "intra_prediction.h"
#include "vpDispatch.h"

namespace {

struct Variant {
  const char* name;
  uint32_t slot;
  const IntraPredictionDsp* table;
  bool supported;
};

std::vector<Variant> variants() {
  __builtin_cpu_init();
  return {{"sse2", VpVariantSse2, &sse2_intra_prediction_dsp, true},
          {"ssse3", VpVariantSsse3, &ssse3_intra_prediction_dsp, __builtin_cpu_supports("ssse3") != 0},
          {"sse41", VpVariantSse41, &sse41_intra_prediction_dsp, __builtin_cpu_supports("sse4.1") != 0}};
}

// One table of IntraPredictionDsp with what its predictors read and write.
struct Family {
  const char* name;
  const IntraPredictor* (*entries)(const IntraPredictionDsp&);
  int count;
  int leftSamples, topSamples;  // beyond the corner slot
  int predSize;
  const uint8_t* needs;  // bit 0 left, bit 1 top, per mode
};

const uint8_t kNeeds4x4And8x8[9] = {2, 1, 0, 2, 3, 3, 3, 2, 1};
const uint8_t kNeeds16x16[4] = {2, 1, 0, 3};
const uint8_t kNeedsChroma[4] = {0, 1, 2, 3};

const Family kFamilies[] = {
    {"4x4", [](const IntraPredictionDsp& d) -> const IntraPredictor* { return d.fp_intra_prediction.size4x4; }, 9,
     4, 8, 16, kNeeds4x4And8x8},
    {"8x8", [](const IntraPredictionDsp& d) -> const IntraPredictor* { return d.fp_intra_prediction.size8x8; }, 9,
     8, 16, 64, kNeeds4x4And8x8},
    {"16x16", [](const IntraPredictionDsp& d) -> const IntraPredictor* { return d.fp_intra_prediction.size16x16; },
     4, 16, 16, 256, kNeeds16x16},
    {"chroma", [](const IntraPredictionDsp& d) -> const IntraPredictor* { return d.fp_intra_chroma_prediction; }, 4,
     8, 8, 64, kNeedsChroma},
};

// A side of `samples` samples after its corner slot, starting at byte
// offset `misalign` of a heap block that ends with the last sample.
struct Side {
  std::unique_ptr<uint8_t[]> block;
  uint8_t* samples;  // samples[-1] is the corner slot
  Side(int count, int misalign) : block(new uint8_t[misalign + 1 + count]), samples(block.get() + misalign + 1) {}
};

// Sample patterns: random, all 0, all 255, 0/255 alternating, random 0/255.
uint8_t sample(std::mt19937& rng, int pattern, int i) {
  switch (pattern) {
    case 0: return static_cast<uint8_t>(rng());
    case 1: return 0;
    case 2: return 255;
    case 3: return (i & 1) ? 255 : 0;
    default: return (rng() & 1) ? 255 : 0;
  }
}

constexpr int kGuard = 32;

TEST(IntraDsp, EveryVariantMatchesTheReference) {
  std::mt19937 rng(2024);
  for (const Variant& v : variants()) {
    if (!v.supported) {
      std::printf("variant %s not run: the processor lacks it\n", v.name);
      continue;
    }
    for (const Family& fam : kFamilies) {
      const IntraPredictor* reference = fam.entries(c_intra_prediction_dsp);
      const IntraPredictor* tested = fam.entries(*v.table);
      for (int mode = 0; mode < fam.count; ++mode) {
        for (int sides = 0; sides < 4; ++sides) {
          if ((fam.needs[mode] & sides) != fam.needs[mode]) continue;  // never called so
          for (int iter = 0; iter < 48; ++iter) {
            const int pattern = iter < 40 ? iter % 5 : 0;
            Side left(fam.leftSamples, iter % 16), top(fam.topSamples, (iter * 7) % 16);
            for (int i = -1; i < fam.leftSamples; ++i) left.samples[i] = sample(rng, pattern, i);
            for (int i = -1; i < fam.topSamples; ++i) top.samples[i] = sample(rng, pattern, i + 1);
            const uint8_t* l = (sides & 1) ? left.samples : nullptr;
            const uint8_t* t = (sides & 2) ? top.samples : nullptr;
            alignas(16) uint8_t want[256];
            reference[mode](want, l, t);
            alignas(16) uint8_t out[256 + 2 * kGuard + 16];
            std::memset(out, 0xE7, sizeof out);
            const int misalign = iter % 4 == 3 ? iter % 16 : 0;
            uint8_t* pred = out + kGuard + misalign;
            tested[mode](pred, l, t);
            const std::string where = std::string(v.name) + " " + fam.name + " mode " + std::to_string(mode) +
                                      " sides " + std::to_string(sides) + " pattern " + std::to_string(pattern);
            ASSERT_EQ(0, std::memcmp(pred, want, fam.predSize)) << where;
            for (uint8_t* g = out; g < pred; ++g) ASSERT_EQ(*g, 0xE7) << where << " guard before";
            for (uint8_t* g = pred + fam.predSize; g < out + sizeof out; ++g)
              ASSERT_EQ(*g, 0xE7) << where << " guard after";
          }
        }
      }
    }
  }
}

// Residual adders: every variant against the reference on a plane with odd
// and misaligned pitches, every byte outside the block a guard; residuals
// across the whole 16-bit range, so sums clip at both ends and never wrap.
TEST(IntraDsp, ResidualAddersMatchTheReference) {
  struct Adder {
    const char* name;
    IntraAddResidual IntraPredictionDsp::*slot;
    int n;
  };
  const Adder adders[] = {{"4x4", &IntraPredictionDsp::add_residual_4x4, 4},
                          {"8x8", &IntraPredictionDsp::add_residual_8x8, 8},
                          {"16x16", &IntraPredictionDsp::add_residual_16x16, 16},
                          {"chroma", &IntraPredictionDsp::add_residual_chroma, 8}};
  std::mt19937 rng(77);
  const int pitches[] = {16, 17, 24, 35, 64, 1931};
  for (const Variant& v : variants()) {
    if (!v.supported) continue;
    for (const Adder& a : adders) {
      for (int iter = 0; iter < 60; ++iter) {
        const int pitch = pitches[iter % 6];
        const int pattern = iter % 5;
        alignas(16) int16_t resBuf[256 + 8];
        alignas(16) uint8_t predBuf[256 + 16];
        int16_t* res = resBuf + (iter % 3 == 2 ? 1 : 0);  // misaligned by one sample at times
        uint8_t* pred = predBuf + (iter % 7);
        for (int i = 0; i < 256; ++i) {
          pred[i] = sample(rng, pattern, i);
          const int r = pattern == 0 ? static_cast<int>(rng() % 1201) - 600
                        : pattern == 1 ? 32767 - static_cast<int>(rng() % 300)
                        : pattern == 2 ? -32768 + static_cast<int>(rng() % 300)
                                       : static_cast<int>(static_cast<int16_t>(rng()));
          res[i] = static_cast<int16_t>(r);
        }
        const int rows = a.n + 2;
        std::vector<uint8_t> want(static_cast<size_t>(pitch) * rows + 32, 0x3C), got = want;
        const int offset = pitch + 1 + iter % 13;  // one row and a few bytes in
        (c_intra_prediction_dsp.*a.slot)(want.data() + offset, pitch, pred, res);
        ((*v.table).*a.slot)(got.data() + offset, pitch, pred, res);
        ASSERT_EQ(want, got) << v.name << " " << a.name << " pitch " << pitch << " pattern " << pattern;
        for (size_t i = 0; i < want.size(); ++i) {
          const long rel = static_cast<long>(i) - offset;
          const bool inside = rel >= 0 && rel / pitch < a.n && rel % pitch < a.n;
          if (!inside) {
            ASSERT_EQ(want[i], 0x3C) << a.name << " wrote outside its block";
          }
        }
      }
    }
  }
}

// The shared table follows the primitives' variant index (slots 0 and 1
// SSE2, 2 SSSE3, 3 SSE4.1), which VP_FORCE_VARIANT fixes for a process.
TEST(IntraDsp, TableFollowsTheVariantIndex) {
  const uint32_t saved = vpVariantIndex.load();
  const IntraPredictionDsp* expected[4] = {&sse2_intra_prediction_dsp, &sse2_intra_prediction_dsp,
                                           &ssse3_intra_prediction_dsp, &sse41_intra_prediction_dsp};
  for (uint32_t slot = 0; slot < 4; ++slot) {
    vpVariantIndex.store(slot);
    EXPECT_EQ(&intra_prediction_dsp(), expected[slot]) << "slot " << slot;
    EXPECT_EQ(intra_prediction_dsp_arraddr[slot], expected[slot]);
  }
  vpVariantIndex.store(saved);
  // Every entry of every table is filled, under the member of its name.
  for (const IntraPredictionDsp* d : {&c_intra_prediction_dsp, &sse2_intra_prediction_dsp,
                                      &ssse3_intra_prediction_dsp, &sse41_intra_prediction_dsp})
    for (const Family& fam : kFamilies)
      for (int mode = 0; mode < fam.count; ++mode) EXPECT_NE(fam.entries(*d)[mode], nullptr) << fam.name << mode;
#define INTRA_CHECK_SLOT(name, table, mode)                      \
  EXPECT_EQ(c_intra_prediction_dsp.table[mode], &c_##name);      \
  EXPECT_EQ(sse2_intra_prediction_dsp.table[mode], &sse2_##name); \
  EXPECT_EQ(ssse3_intra_prediction_dsp.table[mode], &ssse3_##name); \
  EXPECT_EQ(sse41_intra_prediction_dsp.table[mode], &sse41_##name);
  INTRA_PREDICTORS(INTRA_CHECK_SLOT)
#undef INTRA_CHECK_SLOT
#define INTRA_CHECK_ADDER(name, slot)                          \
  EXPECT_EQ(c_intra_prediction_dsp.slot, &c_##name);           \
  EXPECT_EQ(sse2_intra_prediction_dsp.slot, &sse2_##name);     \
  EXPECT_EQ(ssse3_intra_prediction_dsp.slot, &ssse3_##name);   \
  EXPECT_EQ(sse41_intra_prediction_dsp.slot, &sse41_##name);
  INTRA_ADDERS(INTRA_CHECK_ADDER)
#undef INTRA_CHECK_ADDER
}

}  // namespace
