// The deblocking kernels, one benchmark each, the plain reference beside
// the SSE2, SSSE3 and SSE4.1 variants (argument: 0 reference, 1 SSE2,
// 2 SSSE3, 3 SSE4.1). Samples are a gentle ramp with a step at the edges,
// so that most lines pass the thresholds and are filtered.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "bench_variants.h"
#include "deblock_filters.h"

namespace {

const DeblockDsp* table(benchmark::State& state) {
  static const DeblockDsp* const tables[4] = {&c_deblock_dsp, &sse2_deblock_dsp, &ssse3_deblock_dsp, &sse41_deblock_dsp};
  return variantTable(state, tables);
}

constexpr int kPitch = 64;
const int8_t kOffsets[2] = {0, 0};

const ThresholdTable* thresholds() {
  static const ThresholdTable table = [] {
    ThresholdTable t;
    build_threshold_table(kOffsets, &t);
    return t;
  }();
  return &table;
}

struct Plane {
  alignas(64) uint8_t s[kPitch * 32];
  Plane() {
    std::mt19937 rng(5);
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < kPitch; ++x) s[y * kPitch + x] = static_cast<uint8_t>(100 + (x & 4) * 3 + (y & 4) * 2 + rng() % 3);
  }
  uint8_t* at() { return s + 8 * kPitch + 16; }
};

void BM_LumaLines(benchmark::State& state) {
  const DeblockDsp* t = table(state);
  if (!t) return;
  Plane p;
  const bool vertical = state.range(1) != 0;
  for (auto _ : state) {
    for (uint8_t bS = 1; bS <= 4; ++bS) t->luma_lines(p.at(), kPitch, vertical, 8, bS, 36, kOffsets);
    benchmark::ClobberMemory();
  }
}

void BM_ChromaLines(benchmark::State& state) {
  const DeblockDsp* t = table(state);
  if (!t) return;
  Plane cb, cr;
  const bool vertical = state.range(1) != 0;
  for (auto _ : state) {
    for (uint8_t bS = 1; bS <= 4; ++bS) t->chroma_lines(cb.at(), cr.at(), kPitch, vertical, 4, bS, 36, 38, kOffsets);
    benchmark::ClobberMemory();
  }
}

void BM_Rows(benchmark::State& state) {
  const DeblockDsp* t = table(state);
  if (!t) return;
  Plane y, cb, cr;
  for (auto _ : state) {
    for (uint8_t bS = 1; bS <= 4; ++bS) {
      t->luma_row(y.at(), bS, 36, kOffsets);
      t->chroma_row(cb.at(), cr.at(), bS, 36, 38, kOffsets);
    }
    benchmark::ClobberMemory();
  }
}

// An inter macroblock's strengths: bS 2 on the left edge, 1 and 0 inside.
const uint8_t kStrengths[4][4] = {{2, 2, 2, 2}, {1, 0, 1, 0}, {1, 1, 1, 1}, {0, 1, 0, 1}};
const uint8_t kIntra[4][4] = {{4, 4, 4, 4}, {3, 3, 3, 3}, {3, 3, 3, 3}, {3, 3, 3, 3}};
// Only the macroblock's outer edges: nearly half the macroblocks of inter
// pictures.
const uint8_t kOuter[4][4] = {{2, 2, 1, 1}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};

const uint8_t (*macroblock_strengths(benchmark::State& state))[4] {
  return state.range(1) == 2 ? kOuter : state.range(1) == 1 ? kIntra : kStrengths;
}
// Form 3: the inter strengths under a qPav whose alpha is 0 (low chroma
// qPav is common), which filters nothing.
uint8_t macroblock_qp(benchmark::State& state, uint8_t qp) { return state.range(1) == 3 ? 12 : qp; }

void BM_LumaMacroblock(benchmark::State& state) {
  const DeblockDsp* t = table(state);
  if (!t) return;
  Plane p;
  const auto* bs = macroblock_strengths(state);
  const uint8_t q = macroblock_qp(state, 36), qp[2] = {q, q};
  for (auto _ : state) {
    t->luma_macroblock(p.at(), kPitch, bs, bs, qp, qp, thresholds());
    benchmark::ClobberMemory();
  }
}

void BM_ChromaMacroblock(benchmark::State& state) {
  const DeblockDsp* t = table(state);
  if (!t) return;
  Plane cb, cr;
  const auto* bs = macroblock_strengths(state);
  const uint8_t a = macroblock_qp(state, 36), b = macroblock_qp(state, 38), qp[2][2] = {{a, b}, {a, b}};
  for (auto _ : state) {
    t->chroma_macroblock(cb.at(), cr.at(), kPitch, bs, bs, qp, qp, thresholds());
    benchmark::ClobberMemory();
  }
}

struct Motion {
  uint8_t f0[4] = {1, 1, 1, 1}, f1[4] = {0, 1, 0, 1}, id0[16], id1[16];
  int16_t mv0[16][2], mv1[16][2];
  Motion() {
    std::mt19937 rng(6);
    for (int b = 0; b < 16; ++b) {
      id0[b] = static_cast<uint8_t>(rng() % 2), id1[b] = static_cast<uint8_t>(rng() % 2);
      for (int c = 0; c < 2; ++c) mv0[b][c] = static_cast<int16_t>(rng() % 9), mv1[b][c] = static_cast<int16_t>(rng() % 9);
    }
  }
};

void BM_BlockMotion(benchmark::State& state) {
  const DeblockDsp* t = table(state);
  if (!t) return;
  Motion m;
  BlockMotion out;
  for (auto _ : state) {
    t->block_motion(m.f0, m.f1, m.id0, m.id1, m.mv0, m.mv1, &out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
}

void BM_MotionStrengths(benchmark::State& state) {
  const DeblockDsp* t = table(state);
  if (!t) return;
  Motion m;
  BlockMotion cur, left;
  c_deblock_dsp.block_motion(m.f0, m.f1, m.id0, m.id1, m.mv0, m.mv1, &cur);
  c_deblock_dsp.block_motion(m.f1, m.f0, m.id1, m.id0, m.mv1, m.mv0, &left);
  BlockRowMotion above;
  std::memcpy(above.ids, left.ids + 12, sizeof above.ids);
  std::memcpy(above.mvA, left.mvA + 12, sizeof above.mvA);
  std::memcpy(above.mvB, left.mvB + 12, sizeof above.mvB);
  alignas(16) uint8_t bs[2][16];
  if (state.range(1))  // one motion for the whole macroblock
    for (int r = 1; r < 16; ++r) {
      cur.ids[r] = cur.ids[0];
      std::memcpy(cur.mvA[r], cur.mvA[0], sizeof cur.mvA[r]);
      std::memcpy(cur.mvB[r], cur.mvB[0], sizeof cur.mvB[r]);
    }
  for (auto _ : state) {
    t->motion_strengths(&cur, &left, &above, 0x0F0F, 0x00F0, 4, true, false, bs[0], bs[1]);
    benchmark::ClobberMemory();
  }
}

void variants(benchmark::internal::Benchmark* b) {
  for (int slot = 0; slot < 4; ++slot) b->Arg(slot);
}
void variantsAndForms(benchmark::internal::Benchmark* b, int forms) {
  b->ArgNames({"variant", "form"});
  for (int form = 0; form < forms; ++form)
    for (int slot = 0; slot < 4; ++slot) b->Args({slot, form});
}
void variantsAndForms(benchmark::internal::Benchmark* b) { variantsAndForms(b, 2); }
void variantsAndMacroblockForms(benchmark::internal::Benchmark* b) { variantsAndForms(b, 4); }

}  // namespace

// form: horizontal (0) or vertical (1) edges; for the macroblock kernels,
// inter (0), intra (1) or outer-edge-only (2) strengths, or inter strengths
// under a qPav that filters nothing (3); for the motion strengths, blocks of
// different motion (0) or one motion throughout (1).
BENCHMARK(BM_LumaLines)->Apply(variantsAndForms);
BENCHMARK(BM_ChromaLines)->Apply(variantsAndForms);
BENCHMARK(BM_Rows)->Apply(variants);
BENCHMARK(BM_LumaMacroblock)->Apply(variantsAndMacroblockForms);
BENCHMARK(BM_ChromaMacroblock)->Apply(variantsAndMacroblockForms);
BENCHMARK(BM_BlockMotion)->Apply(variants);
BENCHMARK(BM_MotionStrengths)->Apply(variantsAndForms);

BENCHMARK_MAIN();
