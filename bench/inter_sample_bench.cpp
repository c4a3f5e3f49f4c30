// Sample kernels of inter prediction, each in its plain reference (c) and in
// every vector variant the processor runs, side by side:
// "<kernel>/<size>/<variant>", nanoseconds per call. Inputs cycle through
// 16 sets of random 16-bit prediction samples.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <type_traits>

#include "bench_variants.h"
#include "chroma_dsp.h"
#include "luma_combine_dsp.h"
#include "weighting_dsp.h"

namespace {

constexpr int kSets = 16;

struct Inputs {
  alignas(16) uint16_t a[kSets][256];
  alignas(16) uint16_t b[kSets][256];
  alignas(16) uint16_t out[256];
  // A chroma plane of 64 x 32 samples with 8-sample margins.
  alignas(16) uint8_t plane[80 * 32];
  alignas(16) int16_t chromaOut[64];
  Inputs() {
    std::mt19937 rng(27);
    for (auto& v : plane) v = static_cast<uint8_t>(rng() & 255);
    for (int s = 0; s < kSets; ++s) {
      for (auto& v : a[s]) v = static_cast<uint16_t>(rng() & 255);
      for (auto& v : b[s]) v = static_cast<uint16_t>(rng() & 255);
    }
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

// Runs `call(inputs, k)` once per iteration, k cycling through the input sets.
template <typename Call>
void over_sets(benchmark::State& state, Call call) {
  Inputs& in = inputs();
  int k = 0;
  for (auto _ : state) {
    call(in, k);
    k = (k + 1) & (kSets - 1);
    benchmark::ClobberMemory();
  }
}

// Explicit weights of a typical fade: weight 45 of denominator 5, offset -3.
void weight_single(benchmark::State& state, const WeightingDsp* dsp, int width, int rows) {
  over_sets(state, [&](Inputs& in, int k) {
    dsp->weight_single(in.a[k], width, width, rows, 45, -3, 5);
  });
}

void weight_bi(benchmark::State& state, const WeightingDsp* dsp, int width, int rows) {
  over_sets(state, [&](Inputs& in, int k) {
    dsp->weight_bi(in.a[k], width, in.b[k], width, in.out, width, width, rows, 40, 24, 5, 2);
  });
}

// The byte forms on the low bytes of the same sets: implicit weights of a
// B picture a third of the way (21, 43), and a fade.
void weight_bi_bytes(benchmark::State& state, const WeightingDsp* dsp, int width, int rows) {
  over_sets(state, [&](Inputs& in, int k) {
    dsp->weight_bi_bytes(reinterpret_cast<const uint8_t*>(in.a[k]), width, reinterpret_cast<const uint8_t*>(in.b[k]),
                         width, reinterpret_cast<uint8_t*>(in.out), width, width, rows, 21, 43, 5, 0);
  });
}

void weight_single_bytes(benchmark::State& state, const WeightingDsp* dsp, int width, int rows) {
  over_sets(state, [&](Inputs& in, int k) {
    dsp->weight_single_bytes(reinterpret_cast<uint8_t*>(in.a[k]), width, width, rows, 45, -3, 5);
  });
}

void average(benchmark::State& state, const WeightingDsp* dsp, int width, int rows) {
  over_sets(state, [&](Inputs& in, int k) {
    dsp->average(in.a[k], width, in.b[k], width, in.out, width, width, rows);
  });
}

void widen(benchmark::State& state, const WeightingDsp* dsp, int width, int rows) {
  over_sets(state, [&](Inputs& in, int k) {
    dsp->widen(in.plane + 64 * k, width, reinterpret_cast<int16_t*>(in.out), width, width, rows);
  });
}

// Fractions (dx, dy) cycle through the 64 positions, block origins through
// the interior of the plane.
void chroma_bilinear(benchmark::State& state, ChromaBilinearFn fn) {
  Inputs& in = inputs();
  int k = 0;
  for (auto _ : state) {
    fn(in.plane + 8, 4 + (k & 31), 4 + (k >> 3 & 15), k & 7, k >> 3 & 7, in.chromaOut, 80, 32, 80);
    k = (k + 1) & 63;
    benchmark::ClobberMemory();
  }
}

// Both planes at once (the plane serves as Cb and, one row on, as Cr).
void chroma_bilinear_pair(benchmark::State& state, ChromaBilinearPairFn fn) {
  Inputs& in = inputs();
  alignas(16) static int16_t out[128];
  int k = 0;
  for (auto _ : state) {
    fn(in.plane + 8, in.plane + 88, 4 + (k & 31), 4 + (k >> 3 & 15), k & 7, k >> 3 & 7, out, 80, 31, 80);
    k = (k + 1) & 63;
    benchmark::ClobberMemory();
  }
}

// Both planes straight into a picture with a residual.
void chroma_put_pair(benchmark::State& state, ChromaPutPairFn fn) {
  Inputs& in = inputs();
  alignas(16) static uint8_t picture[2][8 * 64];
  int k = 0;
  for (auto _ : state) {
    const ChromaPutArgs out{{picture[0], picture[1]}, 64, reinterpret_cast<const int16_t*>(in.b[k]), 0, 0, 8};
    fn(in.plane + 8, in.plane + 88, 4 + (k & 31), 4 + (k >> 3 & 15), k & 7, k >> 3 & 7, 80, 31, 80, &out);
    k = (k + 1) & 15;
    benchmark::ClobberMemory();
  }
}

// Two-list prediction of both planes straight into a picture with a
// residual: implicit weights (21, 43), or (32, 32), which average.
void chroma_put_pair_bi(benchmark::State& state, ChromaPutBiFn fn, int32_t w0) {
  Inputs& in = inputs();
  alignas(16) static uint8_t picture[2][8 * 64];
  const int32_t w1 = 64 - w0;
  const ChromaWeights w[2] = {{ChromaWeights::kTwo, w0, w1, 0, 5}, {ChromaWeights::kTwo, w0, w1, 0, 5}};
  int k = 0;
  for (auto _ : state) {
    const ChromaPutArgs out{{picture[0], picture[1]}, 64, reinterpret_cast<const int16_t*>(in.b[k]), 0, 0, 8};
    const ChromaPairSource sources[2] = {
        {in.plane + 8, in.plane + 88, 4 + (k & 31), 4 + (k >> 3 & 15), k & 7, k >> 3 & 7},
        {in.plane + 88, in.plane + 8, 4 + (k >> 1 & 31), 4 + (k >> 2 & 15), (k + 3) & 7, (k >> 3) ^ 5}};
    fn(sources, w, 80, 31, 80, &out);
    k = (k + 1) & 15;
    benchmark::ClobberMemory();
  }
}

// Weighted 8x8 chroma store with a residual: implicit weights (21, 43).
void chroma_put_weighted(benchmark::State& state, const ChromaDsp* dsp) {
  alignas(16) static uint8_t picture[8 * 64];
  const ChromaWeights w{ChromaWeights::kTwo, 21, 43, 0, 5};
  over_sets(state, [&](Inputs& in, int k) {
    dsp->put_weighted(picture, 64, reinterpret_cast<const int16_t*>(in.a[k]), reinterpret_cast<const int16_t*>(in.b[k]),
                      &w, reinterpret_cast<const int16_t*>(in.b[(k + 1) & 15]), 0, 0, 8, 8);
  });
}

// 16x16 luma combination from 16-bit (Quarter LumaQuarterSource) or 8-bit
// sources (LumaQuarterBytes: the bytes of the same sets): kAverage averages
// two sources per quarter, kResidual adds a residual in 4x4 blocks.
template <class Quarter, bool kAverage, bool kResidual>
void luma_combine(benchmark::State& state, const LumaCombineDsp* dsp) {
  using Sample = std::remove_cv_t<std::remove_pointer_t<decltype(Quarter::a)>>;
  alignas(16) static uint8_t picture[16 * 64];
  over_sets(state, [&](Inputs& in, int k) {
    const auto* a = reinterpret_cast<const Sample*>(in.a[k]);
    const auto* b = kAverage ? reinterpret_cast<const Sample*>(in.b[k]) : nullptr;
    const auto quarter = [&](int at) {
      Quarter q{};
      q.a = a + at;
      q.b = b ? b + at : nullptr;
      q.stride = 16;
      if constexpr (sizeof(Sample) == 1) q.bStride = 16;
      return q;
    };
    const Quarter q[4] = {quarter(0), quarter(8), quarter(128), quarter(136)};
    const auto* res = kResidual ? reinterpret_cast<const int16_t*>(in.b[(k + 1) & 15]) : nullptr;
    if constexpr (sizeof(Sample) == 2)
      dsp->combine_16x16(picture, 64, q, res, 0);
    else
      dsp->combine_bytes_16x16(picture, 64, q, res, 0);
  });
}

struct Variant {
  const char* label;
  const WeightingDsp* weighting;
  const ChromaDsp* chroma;
  const LumaCombineDsp* combine;
  bool supported;
};

void register_all() {
  const Variant variants[] = {
      {"c", &c_weighting_dsp, &c_chroma_dsp, &c_luma_combine_dsp, true},
      {"sse2", &sse2_weighting_dsp, &sse2_chroma_dsp, &sse2_luma_combine_dsp, true},
      {"ssse3", &ssse3_weighting_dsp, &ssse3_chroma_dsp, &ssse3_luma_combine_dsp,
       hasVariant(2)},
      {"sse41", &sse41_weighting_dsp, &sse41_chroma_dsp, &sse41_luma_combine_dsp,
       hasVariant(3)}};
  using Kernel = void (*)(benchmark::State&, const WeightingDsp*, int, int);
  const struct {
    const char* name;
    Kernel run;
  } kernels[] = {{"weight_single", weight_single}, {"weight_bi", weight_bi}, {"average", average}, {"widen", widen},
                 {"weight_single_bytes", weight_single_bytes}, {"weight_bi_bytes", weight_bi_bytes}};
  const int sizes[][2] = {{16, 16}, {8, 8}, {8, 4}};
  for (const auto& kernel : kernels)
    for (const auto& size : sizes)
      for (const Variant& v : variants)
        if (v.supported)
          benchmark::RegisterBenchmark((std::string(kernel.name) + "/" + std::to_string(size[0]) + "x" +
                                        std::to_string(size[1]) + "/" + v.label)
                                           .c_str(),
                                       kernel.run, v.weighting, size[0], size[1]);
  for (int n = 0; n < 3; ++n)
    for (const Variant& v : variants)
      if (v.supported)
        benchmark::RegisterBenchmark(("chroma_bilinear/8x" + std::to_string(2 << n) + "/" + v.label).c_str(),
                                     chroma_bilinear, v.chroma->bilinear[n]);
  for (int n = 0; n < 3; ++n)
    for (const Variant& v : variants)
      if (v.supported)
        benchmark::RegisterBenchmark(("chroma_bilinear_pair/8x" + std::to_string(2 << n) + "/" + v.label).c_str(),
                                     chroma_bilinear_pair, v.chroma->bilinear_pair[n]);
  for (int n = 0; n < 3; ++n)
    for (const Variant& v : variants)
      if (v.supported)
        benchmark::RegisterBenchmark(("chroma_put_pair/8x" + std::to_string(2 << n) + "/" + v.label).c_str(),
                                     chroma_put_pair, v.chroma->put_pair[n]);
  for (int n = 0; n < 3; ++n)
    for (const Variant& v : variants)
      if (v.supported)
        for (int32_t w0 : {21, 32})
          benchmark::RegisterBenchmark(("chroma_put_pair_bi/8x" + std::to_string(2 << n) + (w0 == 32 ? "/average/" : "/") +
                                        v.label).c_str(),
                                       chroma_put_pair_bi, v.chroma->put_pair_bi[n], w0);
  for (const Variant& v : variants)
    if (v.supported)
      benchmark::RegisterBenchmark((std::string("chroma_put_weighted/8x8/") + v.label).c_str(), chroma_put_weighted,
                                   v.chroma);
  const struct {
    const char* name;
    void (*run)(benchmark::State&, const LumaCombineDsp*);
  } combines[] = {{"luma_combine/single", luma_combine<LumaQuarterSource, false, false>},
                  {"luma_combine/single_residual", luma_combine<LumaQuarterSource, false, true>},
                  {"luma_combine/average_residual", luma_combine<LumaQuarterSource, true, true>},
                  {"luma_combine_bytes/single_residual", luma_combine<LumaQuarterBytes, false, true>},
                  {"luma_combine_bytes/average", luma_combine<LumaQuarterBytes, true, false>},
                  {"luma_combine_bytes/average_residual", luma_combine<LumaQuarterBytes, true, true>}};
  for (const auto& c : combines)
    for (const Variant& v : variants)
      if (v.supported) benchmark::RegisterBenchmark((std::string(c.name) + "/" + v.label).c_str(), c.run, v.combine);
}

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, register_all); }
