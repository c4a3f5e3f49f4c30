// The inverse transform kernels, one benchmark each, the plain reference
// beside the SSE2, SSSE3 and SSE4.1 variants (argument: 0 reference, 1 SSE2,
// 2 SSSE3, 3 SSE4.1). Every iteration transforms a fresh copy of typical
// coefficients.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "bench_variants.h"
#include "transforms.h"

namespace {

const TransformDsp* table(benchmark::State& state) {
  static const TransformDsp* const tables[4] = {&c_transform_dsp, &sse2_transform_dsp, &ssse3_transform_dsp, &sse41_transform_dsp};
  return variantTable(state, tables);
}

struct Coefficients {
  alignas(16) int16_t source[64], work[64];
  Coefficients() {
    std::mt19937 rng(8);
    for (int16_t& c : source) c = static_cast<int16_t>(static_cast<int>(rng() % 513) - 256);
  }
};

void BM_Inverse4x4Pair(benchmark::State& state) {
  const TransformDsp* t = table(state);
  if (!t) return;
  Coefficients c;
  for (auto _ : state) {
    std::memcpy(c.work, c.source, 64);
    t->inverse_4x4_pair(c.work, c.work + 16);
    benchmark::ClobberMemory();
  }
}

void BM_Inverse8x8(benchmark::State& state) {
  const TransformDsp* t = table(state);
  if (!t) return;
  Coefficients c;
  for (auto _ : state) {
    std::memcpy(c.work, c.source, sizeof c.work);
    t->inverse_8x8(c.work);
    benchmark::ClobberMemory();
  }
}

// A macroblock's eight chroma blocks, as the slice walk transforms them
// (the current variant): argument 0 every block through the transform, 1
// the DC-only blocks filled (no AC anywhere), 2 one block with AC per
// component and the others filled.
void BM_ChromaBlocks(benchmark::State& state) {
  alignas(16) int16_t source[128] = {}, work[128];
  std::mt19937 rng(9);
  for (int b = 0; b < 8; ++b) source[16 * b] = static_cast<int16_t>(static_cast<int>(rng() % 513) - 256);
  const uint32_t full = state.range(0) == 2 ? 0x11u : 0u;
  for (int b : {0, 4})
    if (full != 0)
      for (int i = 1; i < 16; ++i) source[16 * b + i] = static_cast<int16_t>(static_cast<int>(rng() % 65) - 32);
  for (auto _ : state) {
    std::memcpy(work, source, sizeof work);
    if (state.range(0) == 0)
      transform_chroma_4x4(work);
    else
      transform_chroma_4x4(work, static_cast<uint8_t>(~full));
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(BM_Inverse4x4Pair)->DenseRange(0, 3)->ArgName("variant");
BENCHMARK(BM_Inverse8x8)->DenseRange(0, 3)->ArgName("variant");
BENCHMARK(BM_ChromaBlocks)->DenseRange(0, 2)->ArgName("blocks");

BENCHMARK_MAIN();
