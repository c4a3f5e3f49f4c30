// Interpolation primitives per variant: a 16x16 luma block at each of the
// 16 quarter-sample positions, and an 8x8 chroma block (both planes) at a
// two-dimensional eighth-sample position, inside a 1920x1088 picture.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench_variants.h"
#include "vpiInterpolate.h"

namespace {

using InterpolateFn = VpStatus (*)(const InterpolateBlockParams*);
const InterpolateFn kLuma[] = {sse2_vpiInterpolateLumaBlock_H264_8u_P1R, sse2_vpiInterpolateLumaBlock_H264_8u_P1R,
                               ssse3_vpiInterpolateLumaBlock_H264_8u_P1R, sse41_vpiInterpolateLumaBlock_H264_8u_P1R};
const InterpolateFn kChroma[] = {sse2_vpiInterpolateChromaBlock_H264_8u_P2R,
                                 sse2_vpiInterpolateChromaBlock_H264_8u_P2R,
                                 ssse3_vpiInterpolateChromaBlock_H264_8u_P2R,
                                 sse41_vpiInterpolateChromaBlock_H264_8u_P2R};

constexpr int kWidth = 1920;
constexpr int kHeight = 1088;

std::vector<uint8_t> randomPlane(int w, int h) {
  std::mt19937 rng(11);
  std::vector<uint8_t> v(static_cast<size_t>(w) * h);
  for (auto& x : v) x = static_cast<uint8_t>(rng());
  return v;
}

// Arguments: variant slot (1..3), position dy * 4 + dx.
void BM_Luma16x16(benchmark::State& state) {
  const int slot = static_cast<int>(state.range(0));
  const int pos = static_cast<int>(state.range(1));
  if (!hasVariant(slot)) {
    state.SkipWithError("variant not supported by this processor");
    return;
  }
  static const std::vector<uint8_t> plane = randomPlane(kWidth, kHeight);
  alignas(16) uint8_t dst[16 * 16];
  InterpolateBlockParams p{};
  p.pSrc[0] = plane.data();
  p.srcStep = kWidth;
  p.pDst[0] = dst;
  p.dstStep = 16;
  p.frameWidth = kWidth;
  p.frameHeight = kHeight;
  p.blockWidth = p.blockHeight = 16;
  p.mvX = 12 + (pos & 3);
  p.mvY = -8 + (pos >> 2);
  int mb = 0;
  for (auto _ : state) {
    p.blockX = 64 + 16 * (mb & 63);
    p.blockY = 64 + 16 * ((mb >> 6) & 31);
    ++mb;
    kLuma[slot](&p);
    benchmark::DoNotOptimize(dst);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Chroma8x8(benchmark::State& state) {
  const int slot = static_cast<int>(state.range(0));
  if (!hasVariant(slot)) {
    state.SkipWithError("variant not supported by this processor");
    return;
  }
  static const std::vector<uint8_t> cb = randomPlane(kWidth / 2, kHeight / 2);
  static const std::vector<uint8_t> cr = randomPlane(kWidth / 2, kHeight / 2);
  alignas(16) uint8_t d0[8 * 8], d1[8 * 8];
  InterpolateBlockParams p{};
  p.pSrc[0] = cb.data();
  p.pSrc[1] = cr.data();
  p.srcStep = kWidth / 2;
  p.pDst[0] = d0;
  p.pDst[1] = d1;
  p.dstStep = 8;
  p.frameWidth = kWidth / 2;
  p.frameHeight = kHeight / 2;
  p.blockWidth = p.blockHeight = 8;
  p.mvX = 13;
  p.mvY = -11;
  int mb = 0;
  for (auto _ : state) {
    p.blockX = 32 + 8 * (mb & 63);
    p.blockY = 32 + 8 * ((mb >> 6) & 31);
    ++mb;
    kChroma[slot](&p);
    benchmark::DoNotOptimize(d0);
    benchmark::DoNotOptimize(d1);
  }
  state.SetItemsProcessed(state.iterations());
}



void lumaArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"variant", "pos"});
  for (int slot = 1; slot <= 3; ++slot)
    for (int pos = 0; pos < 16; ++pos) b->Args({slot, pos});
}

}  // namespace

BENCHMARK(BM_Luma16x16)->Apply(lumaArgs);
BENCHMARK(BM_Chroma8x8)->ArgName("variant")->DenseRange(1, 3);
BENCHMARK_MAIN();
