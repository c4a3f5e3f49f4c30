// Interpolation primitives per variant: a 16x16 luma block at each of the
// 16 quarter-sample positions, and an 8x8 chroma block (both planes) at a
// two-dimensional eighth-sample position, inside a 1920x1088 picture; the
// luma blocks spread over the picture, or all with rows that straddle a
// 64-byte line (which the SSE2 kernels copy first). The interleaved-chroma
// kernels (copy and split of an 8x8 block's window) beside a plain
// byte-by-byte split.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench_variants.h"
#include "interpolate_internal.h"

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

// Arguments: variant slot (1..3), position dy * 4 + dx, straddle (1: every
// row of the source window crosses a 64-byte line).
void BM_Luma16x16(benchmark::State& state) {
  const int slot = static_cast<int>(state.range(0));
  const int pos = static_cast<int>(state.range(1));
  const bool straddle = state.range(2) != 0;
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
  // mv x 12..15 puts the integer sample 3 columns right of block x; with
  // this block x the window (from 2 columns left of it) starts at offset 49
  // of its line.
  const int straddleX = 64 + ((49 + 2 - 3 - static_cast<int>(reinterpret_cast<uintptr_t>(plane.data()) & 63)) & 63);
  int mb = 0;
  for (auto _ : state) {
    p.blockX = straddle ? straddleX + 64 * (mb & 15) : 64 + 16 * (mb & 63);
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
  b->ArgNames({"variant", "pos", "straddle"});
  for (int straddle = 0; straddle < 2; ++straddle)
    for (int slot = 1; slot <= 3; ++slot)
      for (int pos = 0; pos < 16; ++pos) b->Args({slot, pos, straddle});
}

// Interleaved chroma: an 8x8 block's window taken from a (Cb, Cr) plane.
// Arguments: variant slot (0: plain), kernel index (8 copy, 11 split of the
// two-dimensional window).
void BM_Nv12Chroma8x8(benchmark::State& state) {
  const int slot = static_cast<int>(state.range(0));
  const int index = static_cast<int>(state.range(1));
  if (!hasVariant(slot)) {
    state.SkipWithError("variant not supported by this processor");
    return;
  }
  const VpKernelFn* tables[] = {nullptr, sse2::h264_interpolate_chroma_type_table_nv12touv_8u_w7m7,
                                ssse3::h264_interpolate_chroma_type_table_nv12touv_8u_w7m7,
                                sse41::h264_interpolate_chroma_type_table_nv12touv_8u_w7m7};
  static const std::vector<uint8_t> plane = randomPlane(kWidth, kHeight / 2);
  alignas(16) uint8_t out[2 * kSplitPlaneOffset];
  InterpolateKernelParams k{};
  k.srcStep = kWidth;
  k.pDst = out;
  k.pDst2 = out + kSplitPlaneOffset;
  k.dstStep = 16;
  k.width = k.height = 8;
  k.dx = k.dy = index == 11 ? 3 : 0;
  const int rows = index == 11 ? 9 : 8, pairs = index == 11 ? 9 : 8;
  int mb = 0;
  for (auto _ : state) {
    k.pSrc = plane.data() + (32 + 8 * ((mb >> 6) & 31)) * kWidth + 2 * (32 + 8 * (mb & 63));
    ++mb;
    if (slot != 0) {
      tables[slot][index](&k);
    } else {
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < pairs; ++c) {
          out[r * 16 + c] = k.pSrc[r * kWidth + 2 * c];
          out[kSplitPlaneOffset + r * 16 + c] = k.pSrc[r * kWidth + 2 * c + 1];
        }
      }
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}

void nv12Args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"variant", "index"});
  for (int index : {8, 11})
    for (int slot = 0; slot <= 3; ++slot) b->Args({slot, index});
}

}  // namespace

BENCHMARK(BM_Luma16x16)->Apply(lumaArgs);
BENCHMARK(BM_Chroma8x8)->ArgName("variant")->DenseRange(1, 3);
BENCHMARK(BM_Nv12Chroma8x8)->Apply(nv12Args);
BENCHMARK_MAIN();
