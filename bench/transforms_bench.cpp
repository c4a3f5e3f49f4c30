// Spectral transforms per variant beside FFTW (single precision,
// FFTW_MEASURE, one thread) on the same input: the complex forward FFT of
// 64, 128, 256, 1024 and 4096 points (in place, as the inverse MDCT runs it),
// 2^20 points (the blocked large transform)
// and the 256- and 512-point inverse MDCT (FFTW: a DCT-IV of len/2 points,
// REDFT11, which is what an inverse MDCT computes before its output folding).
// Without FFTW the comparison is left out. The vector kernels beside their
// plain references: the bit-reversal permutations, the split-complex kernels
// and the four-way core kernels.
#include <benchmark/benchmark.h>
#if AVCHD_HAVE_FFTW
#include <fftw3.h>
#endif

#include <cstring>
#include <random>
#include <vector>

#include "bench_variants.h"
#include "transforms_internal.h"
#include "transforms_reference.h"
#include "vpTransforms.h"

namespace {

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

#if AVCHD_HAVE_FFTW
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

#endif

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

#if AVCHD_HAVE_FFTW
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

#endif

void fftArgs(benchmark::internal::Benchmark* b) {
  for (int v = 0; v < 3; ++v)
    for (int order : {6, 7, 8, 10, 12, 20}) b->Args({v, order});
}
void mdctArgs(benchmark::internal::Benchmark* b) {
  for (int v = 0; v < 3; ++v)
    for (int len : {256, 512}) b->Args({v, len});
}

BENCHMARK(BM_Fft)->Apply(fftArgs)->ArgNames({"variant", "order"});
BENCHMARK(BM_Mdct)->Apply(mdctArgs)->ArgNames({"variant", "len"});
#if AVCHD_HAVE_FFTW
BENCHMARK(BM_FftFftw)->DenseRange(6, 8)->Arg(10)->Arg(12)->Arg(20)->ArgName("order");
BENCHMARK(BM_MdctFftw)->Arg(256)->Arg(512)->ArgName("len");
#endif

// The kernels of one variant that the kernel benchmarks call.
struct KernelVariant {
  int slot;
  decltype(&sse2_vps_initTabBitRevNorm) bitRevNorm;
  decltype(&sse2_vps_initTabBitRev) bitRevSwap;
  decltype(&sse2_vps_initTabTwd_L1_32f) twdStages;
  decltype(&sse2_vps_BitRev1_C) bitRev1C;
  decltype(&sse2_vps_BitRev2_C) bitRev2C;
  decltype(&sse2_vps_cBitRev1_Blk) cBitRevBlk;
  decltype(&sse2_vps_crRadix4FwdNorm_32f) crNorm;
  decltype(&sse2_vps_crRadix4Fwd_32f) crBitReversed;
  decltype(&ssse3_vps_cFftFwd_CoreMT_32fc) core;
  bool radix8Plan;
};
#define KV_MEMBERS(p)                                                                                  \
  p##_vps_initTabBitRevNorm, p##_vps_initTabBitRev, p##_vps_initTabTwd_L1_32f, p##_vps_BitRev1_C,      \
      p##_vps_BitRev2_C, p##_vps_cBitRev1_Blk, p##_vps_crRadix4FwdNorm_32f, p##_vps_crRadix4Fwd_32f
const KernelVariant kKernelVariants[] = {
    {1, KV_MEMBERS(sse2), nullptr, true},
    {2, KV_MEMBERS(ssse3), ssse3_vps_cFftFwd_CoreMT_32fc, false},
    {3, KV_MEMBERS(sse41), sse41_vps_cFftFwd_CoreMT_32fc, false},
};

// Tables of one order (twiddles up to order 10, from the fixed table) and
// aligned data blocks around them.
struct KernelSetup {
  int n;
  Block rev, swap, twd, a, b, buf;
  KernelSetup(const KernelVariant& v, int order)
      : n(1 << order), rev(4 * (n / 4 + 8)), swap(4 * (n / 4 + 8)), twd(8 * n + 64), a(16 * n), b(16 * n),
        buf(16 * n) {
    v.bitRevNorm(order, reinterpret_cast<int32_t*>(rev.p));
    v.bitRevSwap(order, reinterpret_cast<int32_t*>(swap.p));
    if (order <= 10) v.twdStages(order, fft_fix_twiddle_table_32f, 10, reinterpret_cast<float*>(twd.p));
    const std::vector<float> x = randomFloats(4 * n);
    std::memcpy(a.p, x.data(), 16 * n);
  }
  const int32_t* revTab() const { return reinterpret_cast<const int32_t*>(rev.p); }
  const int32_t* swapTab() const { return reinterpret_cast<const int32_t*>(swap.p); }
  const float* twiddles() const { return reinterpret_cast<const float*>(twd.p); }
  float* fa() const { return reinterpret_cast<float*>(a.p); }
  float* fb() const { return reinterpret_cast<float*>(b.p); }
};

const KernelVariant* kernelVariant(benchmark::State& state) {
  const KernelVariant& v = kKernelVariants[state.range(0)];
  if (!hasVariant(v.slot)) {
    state.SkipWithError("variant not supported by this processor");
    return nullptr;
  }
  return &v;
}

// Bit reversal of N complex values: in place and out of place with the
// index table, in place with the swap table (as on the large transform's
// 4096-value tiles), and the plain element-by-element reversal.
void BM_BitRev(benchmark::State& state) {
  const KernelVariant* v = kernelVariant(state);
  if (!v) return;
  const int order = static_cast<int>(state.range(1)), form = static_cast<int>(state.range(2));
  KernelSetup k(*v, order);
  for (auto _ : state) {
    switch (form) {
      case 0: v->bitRev1C(k.a.p, k.n, k.revTab()); break;
      case 1: v->bitRev2C(k.a.p, k.b.p, k.n, k.revTab()); break;
      case 2: v->cBitRevBlk(k.a.p, k.n, k.swapTab()); break;
      default: transforms_ref::bitReverse(k.a.p, k.b.p, k.n, 8); break;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * k.n);
}
BENCHMARK(BM_BitRev)
    ->ArgsProduct({{0, 1, 2}, {10, 12}, {0, 1, 2, 3}})
    ->ArgNames({"variant", "order", "form(0=BitRev1_C,1=BitRev2_C,2=cBitRev1_Blk,3=plain)"});

// The split-complex kernels (natural-order and bit-reversed input) beside the
// plain reference transform.
void BM_SplitKernels(benchmark::State& state) {
  const KernelVariant* v = kernelVariant(state);
  if (!v) return;
  const int order = static_cast<int>(state.range(1)), form = static_cast<int>(state.range(2));
  KernelSetup k(*v, order);
  float *re = k.fa(), *im = k.fa() + k.n, *outRe = k.fb(), *outIm = k.fb() + k.n;
  auto* buf = reinterpret_cast<float*>(k.buf.p);
  std::vector<transforms_ref::C> x(k.n);
  for (int i = 0; i < k.n; ++i) x[i] = {re[i], im[i]};
  for (auto _ : state) {
    switch (form) {
      case 0: v->crNorm(re, im, outRe, outIm, k.n, k.twiddles(), k.revTab(), buf); break;
      case 1: v->crBitReversed(re, im, k.n, k.twiddles(), buf); break;
      default: benchmark::DoNotOptimize(transforms_ref::radix4Forward(x.data(), k.n, k.twiddles(), v->radix8Plan));
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * k.n);
}
BENCHMARK(BM_SplitKernels)
    ->ArgsProduct({{0, 1, 2}, {8, 10}, {0, 1, 2}})
    ->ArgNames({"variant", "order", "form(0=crNorm,1=crBitReversed,2=plain)"});

// Both core calls of a four-way split of 4M points (M = 2^order) beside the
// plain reference transforms of the four residue classes.
void BM_CoreKernels(benchmark::State& state) {
  const KernelVariant* v = kernelVariant(state);
  if (!v) return;
  if (!v->core) {
    state.SkipWithError("no four-way core in this variant");
    return;
  }
  const int order = static_cast<int>(state.range(1)), form = static_cast<int>(state.range(2));
  KernelSetup k(*v, order);
  const int n = k.n;
  Block src(32 * n), dst(32 * n);  // 4M values in, the four M-point transforms out
  const std::vector<float> x = randomFloats(8 * n);
  std::memcpy(src.p, x.data(), 32 * n);
  auto* s = reinterpret_cast<const vpComplex32f*>(src.p);
  auto* d = reinterpret_cast<vpComplex32f*>(dst.p);
  std::vector<transforms_ref::C> cls(n);
  for (auto _ : state) {
    if (form == 0) {
      v->core(s, d, n, k.twiddles(), k.revTab(), reinterpret_cast<float*>(k.buf.p));
      v->core(s + 2, d + 2 * n, n, k.twiddles(), k.revTab(), reinterpret_cast<float*>(k.buf.p));
    } else {
      for (int e = 0; e < 4; ++e) {
        for (int j = 0; j < n; ++j) cls[j] = {x[2 * (4 * j + e)], x[2 * (4 * j + e) + 1]};
        benchmark::DoNotOptimize(transforms_ref::radix4Forward(cls.data(), n, k.twiddles(), false));
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 4 * n);
}
BENCHMARK(BM_CoreKernels)->ArgsProduct({{1, 2}, {8, 10}, {0, 1}})->ArgNames({"variant", "order", "form(0=CoreMT,1=plain)"});

}  // namespace

BENCHMARK_MAIN();
