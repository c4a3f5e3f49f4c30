// Core primitives per variant beside a plain scalar loop (and memcpy for the
// copy): the channel join of the AC-3 output (6 channels x 256), the 32f-to-
// 16s conversion, and byte copies of 4 KiB and 1 MiB.
#include <benchmark/benchmark.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "vpCore.h"

namespace {

bool hasVariant(int slot) {
  __builtin_cpu_init();
  if (slot == 3) return __builtin_cpu_supports("sse4.1");
  if (slot == 2) return __builtin_cpu_supports("ssse3");
  return true;
}

std::vector<float> randomSamples(size_t n) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-40000.0f, 40000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

constexpr int kChannels = 6;
constexpr int kBlock = 256;

// Six channel buffers of 256 samples, apart from each other as a decoder
// keeps them.
struct JoinInput {
  std::vector<std::vector<float>> channels;
  std::vector<const float*> ptrs;
  std::vector<int16_t> out;
  JoinInput() : out(kChannels * kBlock) {
    const std::vector<float> all = randomSamples(kChannels * kBlock);
    for (int c = 0; c < kChannels; ++c) {
      channels.emplace_back(all.begin() + c * kBlock, all.begin() + (c + 1) * kBlock);
      ptrs.push_back(channels.back().data());
    }
  }
};

// The plain loop a caller would write with the standard library ...
inline int16_t scalarSample(float x) {
  if (std::isnan(x)) return 32767;
  return static_cast<int16_t>(std::lrintf(std::fmin(std::fmax(x, -32768.0f), 32767.0f)));
}

// ... and the same rule in single scalar SSE instructions, without calls.
inline int16_t scalarSampleSse(float x) {
  const __m128 v = _mm_min_ss(_mm_set_ss(x), _mm_set_ss(32767.0f));
  return static_cast<int16_t>(_mm_cvtss_si32(_mm_max_ss(v, _mm_set_ss(-32768.0f))));
}

template <int16_t (*Sample)(float)>
void BM_JoinScalarLoop(benchmark::State& state) {
  JoinInput in;
  for (auto _ : state) {
    for (int i = 0; i < kBlock; ++i) {
      for (int c = 0; c < kChannels; ++c) in.out[i * kChannels + c] = Sample(in.ptrs[c][i]);
    }
    benchmark::DoNotOptimize(in.out.data());
  }
  state.SetItemsProcessed(state.iterations() * kChannels * kBlock);
}

using JoinFn = decltype(&vpsJoin_32f16s_D2L);
void BM_Join(benchmark::State& state, JoinFn fn, int slot) {
  if (!hasVariant(slot)) return state.SkipWithError("variant not available");
  JoinInput in;
  for (auto _ : state) {
    fn(in.ptrs.data(), kChannels, kBlock, in.out.data());
    benchmark::DoNotOptimize(in.out.data());
  }
  state.SetItemsProcessed(state.iterations() * kChannels * kBlock);
}

constexpr int kConvertLength = kChannels * kBlock;

template <int16_t (*Sample)(float)>
void BM_ConvertScalarLoop(benchmark::State& state) {
  const std::vector<float> src = randomSamples(kConvertLength);
  std::vector<int16_t> dst(kConvertLength);
  for (auto _ : state) {
    for (int i = 0; i < kConvertLength; ++i) dst[i] = Sample(src[i]);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetItemsProcessed(state.iterations() * kConvertLength);
}

using ConvertFn = decltype(&vpsConvert_32f16s_Sfs);
void BM_Convert(benchmark::State& state, ConvertFn fn, int slot) {
  if (!hasVariant(slot)) return state.SkipWithError("variant not available");
  const std::vector<float> src = randomSamples(kConvertLength);
  std::vector<int16_t> dst(kConvertLength);
  for (auto _ : state) {
    fn(src.data(), dst.data(), kConvertLength, RndNear, 0);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetItemsProcessed(state.iterations() * kConvertLength);
}

struct CopyBuffers {
  std::vector<uint8_t> src, dst;
  explicit CopyBuffers(size_t n) : src(n + 64, 1), dst(n + 64, 0) {}
};

// A byte loop the compiler may neither vectorise nor turn into memcpy (each
// compiler has its own words for that).
#if defined(__clang__)
__attribute__((no_builtin("memcpy"))) void scalarCopy(const uint8_t* s, uint8_t* d, size_t n) {
#pragma clang loop vectorize(disable) interleave(disable)
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
}
#else
__attribute__((optimize("no-tree-vectorize", "no-tree-loop-distribute-patterns"))) void scalarCopy(
    const uint8_t* s, uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
}
#endif

void BM_CopyScalarLoop(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  CopyBuffers b(n);
  for (auto _ : state) {
    scalarCopy(b.src.data(), b.dst.data(), n);
    benchmark::DoNotOptimize(b.dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_CopyMemcpy(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  CopyBuffers b(n);
  for (auto _ : state) {
    std::memcpy(b.dst.data(), b.src.data(), n);
    benchmark::DoNotOptimize(b.dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

using CopyFn = decltype(&vpsCopy_8u);
void BM_Copy(benchmark::State& state, CopyFn fn, int slot) {
  if (!hasVariant(slot)) return state.SkipWithError("variant not available");
  const size_t n = static_cast<size_t>(state.range(0));
  CopyBuffers b(n);
  for (auto _ : state) {
    fn(b.src.data(), b.dst.data(), static_cast<int32_t>(n));
    benchmark::DoNotOptimize(b.dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

}  // namespace

BENCHMARK_TEMPLATE(BM_JoinScalarLoop, scalarSample);
BENCHMARK_TEMPLATE(BM_JoinScalarLoop, scalarSampleSse);
BENCHMARK_CAPTURE(BM_Join, sse2, &sse2_vpsJoin_32f16s_D2L, 1);
BENCHMARK_CAPTURE(BM_Join, ssse3, &ssse3_vpsJoin_32f16s_D2L, 2);
BENCHMARK_CAPTURE(BM_Join, sse41, &sse41_vpsJoin_32f16s_D2L, 3);

BENCHMARK_TEMPLATE(BM_ConvertScalarLoop, scalarSample);
BENCHMARK_TEMPLATE(BM_ConvertScalarLoop, scalarSampleSse);
BENCHMARK_CAPTURE(BM_Convert, sse2, &sse2_vpsConvert_32f16s_Sfs, 1);
BENCHMARK_CAPTURE(BM_Convert, ssse3, &ssse3_vpsConvert_32f16s_Sfs, 2);
BENCHMARK_CAPTURE(BM_Convert, sse41, &sse41_vpsConvert_32f16s_Sfs, 3);

BENCHMARK(BM_CopyScalarLoop)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_CopyMemcpy)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Copy, sse2, &sse2_vpsCopy_8u, 1)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Copy, ssse3, &ssse3_vpsCopy_8u, 2)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Copy, sse41, &sse41_vpsCopy_8u, 3)->Arg(4096)->Arg(1 << 20);

BENCHMARK_MAIN();
