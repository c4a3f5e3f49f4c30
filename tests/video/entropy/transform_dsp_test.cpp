// Every variant of the inverse transform kernels against the plain
// reference (checkasm style): seeded random blocks of every value range,
// the 16-bit extremes, DC-only and empty blocks, at misaligned addresses,
// with guard bytes around each block.
#include <gtest/gtest.h>

#include <random>

#include "checkasm.h"
#include "transforms.h"
#include "vpDispatch.h"

namespace {

using Table = const TransformDsp*;

std::vector<checkasm::Member<Table>> variants() {
  return checkasm::members<Table>(&sse2_transform_dsp, &ssse3_transform_dsp, &sse41_transform_dsp);
}

int16_t coefficient(std::mt19937& rng, int style) {
  switch (style) {
    case 0: return static_cast<int16_t>(static_cast<int>(rng() % 257) - 128);
    case 1: return static_cast<int16_t>(static_cast<int>(rng() % 8193) - 4096);
    case 2: return static_cast<int16_t>(rng());
    case 3: return (rng() & 1) ? INT16_MAX : INT16_MIN;
    case 4: return INT16_MAX;
    default: return INT16_MIN;
  }
}

// Fills n coefficients: a style per trial, every fifth block DC-only and
// every seventh empty.
void fill(int16_t* c, int n, std::mt19937& rng, int trial) {
  const int style = trial % 6;
  for (int i = 0; i < n; ++i) c[i] = coefficient(rng, style);
  if (trial % 5 == 4)
    for (int i = 1; i < n; ++i) c[i] = 0;
  if (trial % 7 == 6)
    for (int i = 0; i < n; ++i) c[i] = 0;
}

TEST(TransformDsp, EveryVariantMatchesTheReference) {
  std::mt19937 rng(27);
  for (const auto& m : variants())
    for (int trial = 0; trial < 600; ++trial)
      for (const size_t misalign : {0u, 2u, 6u, 10u, 14u}) {
        // 4x4 pair: p and q side by side (as luma pairs lie) or apart (as
        // the chroma planes lie), then one 8x8 block.
        const bool apart = trial & 1;
        checkasm::Guarded got(2 * (apart ? 64 : 16) * sizeof(int16_t), misalign);
        int16_t* p = got.as<int16_t>();
        int16_t* q = p + (apart ? 64 : 16);
        int16_t want[2][16];
        fill(p, 16, rng, trial);
        fill(q, 16, rng, trial + 3);
        std::memcpy(want[0], p, sizeof want[0]);
        std::memcpy(want[1], q, sizeof want[1]);
        c_transform_dsp.inverse_4x4_pair(want[0], want[1]);
        m.fn->inverse_4x4_pair(p, q);
        ASSERT_EQ(0, std::memcmp(want[0], p, sizeof want[0])) << m.name << " 4x4 p trial " << trial << " " << misalign;
        ASSERT_EQ(0, std::memcmp(want[1], q, sizeof want[1])) << m.name << " 4x4 q trial " << trial << " " << misalign;
        ASSERT_TRUE(got.guardsIntact()) << m.name << " 4x4 trial " << trial;

        checkasm::Guarded block(64 * sizeof(int16_t), misalign);
        int16_t want8[64];
        fill(block.as<int16_t>(), 64, rng, trial);
        std::memcpy(want8, block.data(), sizeof want8);
        c_transform_dsp.inverse_8x8(want8);
        m.fn->inverse_8x8(block.as<int16_t>());
        ASSERT_EQ(0, std::memcmp(want8, block.data(), sizeof want8)) << m.name << " 8x8 trial " << trial;
        ASSERT_TRUE(block.guardsIntact()) << m.name << " 8x8 trial " << trial;
      }
}

// An 8x8 block that is DC-only but for one coefficient, at every position
// and at the value extremes: a variant that takes it for DC-only (a lane
// or a vector left out of its test) gives another block.
TEST(TransformDsp, EightByEightWithOneAcCoefficient) {
  const int16_t dcs[] = {0, 1, -1, 100, -32, INT16_MAX, INT16_MIN, 32735};
  const int16_t acs[] = {1, -1, INT16_MAX, INT16_MIN};
  for (const auto& m : variants())
    for (int16_t dc : dcs)
      for (int16_t ac : acs)
        for (int at = 1; at < 64; ++at) {
          alignas(16) int16_t want[64] = {}, got[64] = {};
          want[0] = got[0] = dc;
          want[at] = got[at] = ac;
          c_transform_dsp.inverse_8x8(want);
          m.fn->inverse_8x8(got);
          ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << m.name << " dc " << dc << " ac " << ac << " at " << at;
        }
}

// The table the process runs is the forced variant's, or SSE2 before any
// selection.
TEST(TransformDsp, DispatchPicksTheVariantTable) {
  const uint32_t slot = vpVariantIndex.load() & 3u;
  EXPECT_EQ(&transform_dsp(), transform_dsp_arraddr[slot]);
  EXPECT_EQ(transform_dsp_arraddr[0], &sse2_transform_dsp);
}

}  // namespace
