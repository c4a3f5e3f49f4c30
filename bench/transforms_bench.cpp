// Spectral transforms per variant beside FFTW (single precision,
// FFTW_MEASURE, one thread) on the same input: the complex forward FFT of
// 64, 128, 256, 1024 and 4096 points (in place, as the inverse MDCT runs it),
// 2^20 points (the blocked large transform)
// and the 256- and 512-point inverse MDCT (FFTW: a DCT-IV of len/2 points,
// REDFT11, which is what an inverse MDCT computes before its output folding).
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstring>
#include <random>
#include <vector>

#include "vpTransforms.h"

namespace {

bool hasVariant(int slot) {
  __builtin_cpu_init();
  if (slot == 3) return __builtin_cpu_supports("sse4.1");
  if (slot == 2) return __builtin_cpu_supports("ssse3");
  return true;
}

struct Variant {
  int slot;
  decltype(&sse2_vpsFFTGetSize_C_32fc) getSize;
  decltype(&sse2_vpsFFTInit_C_32fc) init;
  decltype(&sse2_vpsFFTFwd_CToC_32fc) fwd;
  decltype(&sse2_vpsMDCTInvGetSize_32f) mdctGetSize;
  decltype(&sse2_vpsMDCTInvInit_32f) mdctInit;
  decltype(&sse2_vpsMDCTInv_32f) mdctInv;
};
const Variant kVariants[] = {
    {1, sse2_vpsFFTGetSize_C_32fc, sse2_vpsFFTInit_C_32fc, sse2_vpsFFTFwd_CToC_32fc, sse2_vpsMDCTInvGetSize_32f,
     sse2_vpsMDCTInvInit_32f, sse2_vpsMDCTInv_32f},
    {2, ssse3_vpsFFTGetSize_C_32fc, ssse3_vpsFFTInit_C_32fc, ssse3_vpsFFTFwd_CToC_32fc, ssse3_vpsMDCTInvGetSize_32f,
     ssse3_vpsMDCTInvInit_32f, ssse3_vpsMDCTInv_32f},
    {3, sse41_vpsFFTGetSize_C_32fc, sse41_vpsFFTInit_C_32fc, sse41_vpsFFTFwd_CToC_32fc, sse41_vpsMDCTInvGetSize_32f,
     sse41_vpsMDCTInvInit_32f, sse41_vpsMDCTInv_32f},
};

std::vector<float> randomFloats(size_t n) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

// Aligned block that frees itself.
struct Block {
  uint8_t* p;
  explicit Block(int bytes) : p(vpsMalloc_8u(bytes < 1 ? 1 : bytes)) {}
  ~Block() { vpsFree(p); }
};

void BM_Fft(benchmark::State& state) {
  const Variant& v = kVariants[state.range(0)];
  const int order = static_cast<int>(state.range(1));
  if (!hasVariant(v.slot)) {
    state.SkipWithError("variant not supported by this processor");
    return;
  }
  const int n = 1 << order;
  int32_t specSize, initSize, bufSize;
  v.getSize(order, 8, 0, &specSize, &initSize, &bufSize);
  Block spec(specSize), init(initSize), buf(bufSize), data(8 * n);
  FFTSpec_C_32fc* p = nullptr;
  v.init(&p, order, 8, 0, spec.p, init.p);
  const std::vector<float> x = randomFloats(2 * n);
  auto* z = reinterpret_cast<vpComplex32f*>(data.p);
  std::memcpy(z, x.data(), 8 * n);
  for (auto _ : state) {
    v.fwd(z, z, p, buf.p);
    benchmark::DoNotOptimize(z);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_FftFftw(benchmark::State& state) {
  const int n = 1 << state.range(0);
  fftwf_complex* z = fftwf_alloc_complex(n);
  fftwf_plan plan = fftwf_plan_dft_1d(n, z, z, FFTW_FORWARD, FFTW_MEASURE);
  const std::vector<float> x = randomFloats(2 * n);
  std::memcpy(z, x.data(), 8 * n);
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::DoNotOptimize(z);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
  fftwf_destroy_plan(plan);
  fftwf_free(z);
}

void BM_Mdct(benchmark::State& state) {
  const Variant& v = kVariants[state.range(0)];
  const int len = static_cast<int>(state.range(1));
  if (!hasVariant(v.slot)) {
    state.SkipWithError("variant not supported by this processor");
    return;
  }
  int32_t specSize, initSize, bufSize;
  v.mdctGetSize(len, &specSize, &initSize, &bufSize);
  Block spec(specSize), init(initSize), buf(bufSize);
  MDCTInvSpec_32f* p = nullptr;
  v.mdctInit(&p, len, spec.p, init.p);
  const std::vector<float> x = randomFloats(len / 2);
  std::vector<float> y(len);
  for (auto _ : state) {
    v.mdctInv(x.data(), y.data(), p, buf.p);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * len);
}

void BM_MdctFftw(benchmark::State& state) {
  const int len = static_cast<int>(state.range(0));
  float* in = fftwf_alloc_real(len / 2);
  float* out = fftwf_alloc_real(len / 2);
  fftwf_plan plan = fftwf_plan_r2r_1d(len / 2, in, out, FFTW_REDFT11, FFTW_MEASURE);
  const std::vector<float> x = randomFloats(len / 2);
  std::memcpy(in, x.data(), 2 * len);
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * len);
  fftwf_destroy_plan(plan);
  fftwf_free(in);
  fftwf_free(out);
}

void fftArgs(benchmark::internal::Benchmark* b) {
  for (int v = 0; v < 3; ++v)
    for (int order : {6, 7, 8, 10, 12, 20}) b->Args({v, order});
}
void mdctArgs(benchmark::internal::Benchmark* b) {
  for (int v = 0; v < 3; ++v)
    for (int len : {256, 512}) b->Args({v, len});
}

BENCHMARK(BM_Fft)->Apply(fftArgs)->ArgNames({"variant", "order"});
BENCHMARK(BM_FftFftw)->DenseRange(6, 8)->Arg(10)->Arg(12)->Arg(20)->ArgName("order");
BENCHMARK(BM_Mdct)->Apply(mdctArgs)->ArgNames({"variant", "len"});
BENCHMARK(BM_MdctFftw)->Arg(256)->Arg(512)->ArgName("len");

}  // namespace

BENCHMARK_MAIN();
