// Core primitives per variant beside a plain scalar loop (and memcpy for the
// copy): the channel join of the AC-3 output (6 channels x 256), the 32f-to-
// 16s conversion, byte copies of 4 KiB and 1 MiB, and every conversion
// kernel (4096 elements) beside the plain per-element rule it is tested
// against (Conversion/<kernel>/plain|sse2|ssse3|sse41).
#include <benchmark/benchmark.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_variants.h"
#include "reference.h"
#include "vpCoreInternal.h"

namespace {

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

// Conversion kernels: one benchmark per kernel and member, and one of the
// plain loop over the reference rule.
constexpr int kConversionLength = 4096;

template <typename T>
std::vector<T> conversionInput(T (*one)(std::mt19937&)) {
  std::mt19937 rng(11);
  std::vector<T> v(kConversionLength);
  for (T& x : v) x = one(rng);
  return v;
}

float floatSample(std::mt19937& r) { return std::uniform_real_distribution<float>(-40000.0f, 40000.0f)(r); }
double doubleSample(std::mt19937& r) { return std::uniform_real_distribution<double>(-3e9, 3e9)(r); }
template <typename T>
T bitsSample(std::mt19937& r) { return static_cast<T>(r() ^ (uint64_t{r()} << 32)); }
int64_t shiftSample(std::mt19937& r) { return static_cast<int64_t>(uint64_t{r()} << 32 | r()) >> (r() % 28); }
uint16_t halfSample(std::mt19937& r) { return static_cast<uint16_t>(r() % 0x7C00 | (r() & 0x8000)); }

template <typename S, typename D>
using Kernel = std::function<void(const S*, D*, int32_t)>;

template <typename S, typename D>
void registerConversion(const std::string& name, S (*sample)(std::mt19937&), D (*plain)(S),
                        std::vector<Kernel<S, D>> members, uint32_t mxcsr = 0x1F80) {
  const std::vector<S> src = conversionInput(sample);
  auto run = [src, mxcsr](benchmark::State& state, const Kernel<S, D>& fn) {
    std::vector<D> dst(kConversionLength);
    const uint32_t saved = _mm_getcsr();
    _mm_setcsr(mxcsr);
    for (auto _ : state) {
      fn(src.data(), dst.data(), kConversionLength);
      benchmark::DoNotOptimize(dst.data());
    }
    _mm_setcsr(saved);
    state.SetItemsProcessed(state.iterations() * kConversionLength);
  };
  benchmark::RegisterBenchmark(("Conversion/" + name + "/plain").c_str(), run, Kernel<S, D>([plain](const S* s, D* d, int32_t n) {
    for (int32_t i = 0; i < n; ++i) d[i] = plain(s[i]);
  }));
  const char* variants[] = {"sse2", "ssse3", "sse41"};
  for (int slot = 1; slot <= 3; ++slot) {
    if (hasVariant(slot)) benchmark::RegisterBenchmark(("Conversion/" + name + "/" + variants[slot - 1]).c_str(), run, members[slot - 1]);
  }
}

// The three members of a kernel, called with the trailing arguments given.
#define CONVERSION_MEMBERS(S, D, kernel, ...)                                           \
  std::vector<Kernel<S, D>> {                                                            \
    [](const S* s, D* d, int32_t n) { sse2_##kernel(s, d, n __VA_ARGS__); },              \
        [](const S* s, D* d, int32_t n) { ssse3_##kernel(s, d, n __VA_ARGS__); },         \
        [](const S* s, D* d, int32_t n) { sse41_##kernel(s, d, n __VA_ARGS__); }          \
  }

const bool kConversionsRegistered = [] {
  using reference::convertFin;
  using reference::convertSfs;
  registerConversion<float, int8_t>("32f8s_Sfs", floatSample, [](float x) { return convertSfs<int8_t>(x, 1, 0); },
                                    CONVERSION_MEMBERS(float, int8_t, ownvpsCnvrt_32f8s_Sfs, , 1, 0));
  registerConversion<float, uint8_t>("32f8u_Sfs", floatSample, [](float x) { return convertSfs<uint8_t>(x, 1, 0); },
                                     CONVERSION_MEMBERS(float, uint8_t, ownvpsCnvrt_32f8u_Sfs, , 1, 0));
  registerConversion<float, int16_t>("32f16s_Sfs", floatSample, [](float x) { return convertSfs<int16_t>(x, 1, 0); },
                                     CONVERSION_MEMBERS(float, int16_t, ownvpsCnvrt_32f16s_Sfs, , 1, 0));
  registerConversion<float, int16_t>("32f16s_Sfs_scaled_trunc", floatSample,
                                     [](float x) { return convertSfs<int16_t>(x, 0, 3); },
                                     CONVERSION_MEMBERS(float, int16_t, ownvpsCnvrt_32f16s_Sfs, , 0, 3));
  registerConversion<float, uint16_t>("32f16u_Sfs", floatSample, [](float x) { return convertSfs<uint16_t>(x, 1, 0); },
                                      CONVERSION_MEMBERS(float, uint16_t, ownvpsCnvrt_32f16u_Sfs, , 1, 0));
  registerConversion<float, int32_t>("32f32s_Sfs", floatSample, [](float x) { return convertSfs<int32_t>(x, 1, 0); },
                                     CONVERSION_MEMBERS(float, int32_t, ownvpsCnvrt_32f32s_Sfs, , 1, 0));
  registerConversion<double, int32_t>("64f32s_Sfs", doubleSample, [](double x) { return convertSfs<int32_t>(x, 1, 0); },
                                      CONVERSION_MEMBERS(double, int32_t, ownvpsCnvrt_64f32s_Sfs, , 1, 0));
  // Ties away from zero, under rounding toward zero as their callers run them.
  registerConversion<float, int8_t>("Fin_32f8s_Sfs", floatSample, [](float x) { return convertFin<int8_t>(x, 0); },
                                    CONVERSION_MEMBERS(float, int8_t, ownvpsCnvrtFin_32f8s_Sfs, , 0), 0x7F80);
  registerConversion<float, uint8_t>("Fin_32f8u_Sfs", floatSample, [](float x) { return convertFin<uint8_t>(x, 0); },
                                     CONVERSION_MEMBERS(float, uint8_t, ownvpsCnvrtFin_32f8u_Sfs, , 0), 0x7F80);
  registerConversion<float, int16_t>("Fin_32f16s_Sfs", floatSample, [](float x) { return convertFin<int16_t>(x, 0); },
                                     CONVERSION_MEMBERS(float, int16_t, ownvpsCnvrtFin_32f16s_Sfs, , 0), 0x7F80);
  registerConversion<float, uint16_t>("Fin_32f16u_Sfs", floatSample, [](float x) { return convertFin<uint16_t>(x, 0); },
                                      CONVERSION_MEMBERS(float, uint16_t, ownvpsCnvrtFin_32f16u_Sfs, , 0), 0x7F80);
  registerConversion<float, int32_t>("Fin_32f32s_Sfs", floatSample, [](float x) { return convertFin<int32_t>(x, 0); },
                                     CONVERSION_MEMBERS(float, int32_t, ownvpsCnvrtFin_32f32s_Sfs, , 0), 0x7F80);
  registerConversion<double, int32_t>("Fin_64f32s_Sfs", doubleSample, [](double x) { return convertFin<int32_t>(x, 0); },
                                      CONVERSION_MEMBERS(double, int32_t, ownvpsCnvrtFin_64f32s_Sfs, , 0), 0x7F80);
  registerConversion<int8_t, float>("8s32f", bitsSample<int8_t>, [](int8_t x) { return static_cast<float>(x); },
                                    CONVERSION_MEMBERS(int8_t, float, ownvpsCnvrt_8s32f));
  registerConversion<uint8_t, float>("8u32f", bitsSample<uint8_t>, [](uint8_t x) { return static_cast<float>(x); },
                                     CONVERSION_MEMBERS(uint8_t, float, ownvpsCnvrt_8u32f));
  registerConversion<int16_t, float>("16s32f", bitsSample<int16_t>, [](int16_t x) { return static_cast<float>(x); },
                                     CONVERSION_MEMBERS(int16_t, float, ownvpsCnvrt_16s32f));
  registerConversion<uint16_t, float>("16u32f", bitsSample<uint16_t>, [](uint16_t x) { return static_cast<float>(x); },
                                      CONVERSION_MEMBERS(uint16_t, float, ownvpsCnvrt_16u32f));
  registerConversion<int32_t, float>("32s32f", bitsSample<int32_t>, [](int32_t x) { return static_cast<float>(x); },
                                     CONVERSION_MEMBERS(int32_t, float, ownvpsCnvrt_32s32f));
  registerConversion<int32_t, double>("32s64f", bitsSample<int32_t>, [](int32_t x) { return static_cast<double>(x); },
                                      CONVERSION_MEMBERS(int32_t, double, ownvpsCnvrt_32s64f));
  registerConversion<int64_t, int32_t>("64s32s_SfPosFin_W7", shiftSample,
                                       [](int64_t x) { return reference::shift64To32(x, 8); },
                                       CONVERSION_MEMBERS(int64_t, int32_t, ownsConvert_64s32s_SfPosFin_W7, , 8));
  registerConversion<uint16_t, float>("16f32f", halfSample, reference::halfToSingle,
                                      CONVERSION_MEMBERS(uint16_t, float, ownvpsCnvrt_16f32f));
  registerConversion<float, uint16_t>("32f16f", floatSample, [](float x) { return reference::singleToHalf(x, true); },
                                      CONVERSION_MEMBERS(float, uint16_t, ownvpsCnvrt_32f16f_Asm, , 1));
  registerConversion<int16_t, uint16_t>("16s16f", bitsSample<int16_t>,
                                        [](int16_t x) { return reference::int16ToHalf(x, true); },
                                        CONVERSION_MEMBERS(int16_t, uint16_t, ownvpsCnvrt_16s16f, , 1));
  registerConversion<uint16_t, int16_t>("16f16s", halfSample,
                                        [](uint16_t h) { return reference::halfToInt16(h, false, 0); },
                                        CONVERSION_MEMBERS(uint16_t, int16_t, ownvpsCnvrt_16f16s_Asm, , 1, 0));
  return true;
}();

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
