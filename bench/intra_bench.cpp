// Intra predictors and residual adders, each kernel in its plain reference
// (c) and in every vector variant the processor runs, side by side:
// "<kernel>/<variant>", nanoseconds per call. Inputs cycle through 16 sets
// of random reference samples with both sides present.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "bench_variants.h"
#include "intra_prediction.h"

namespace {

struct Variant {
  const char* label;
  const IntraPredictionDsp* dsp;
  bool supported;
};

constexpr int kSets = 16;

struct Inputs {
  alignas(16) uint8_t left[kSets][48];
  alignas(16) uint8_t top[kSets][48];
  alignas(16) int16_t res[kSets][256];
  alignas(16) uint8_t pred[256];
  alignas(16) uint8_t plane[64 * 24];
  Inputs() {
    std::mt19937 rng(9);
    for (int s = 0; s < kSets; ++s) {
      for (auto& v : left[s]) v = static_cast<uint8_t>(rng());
      for (auto& v : top[s]) v = static_cast<uint8_t>(rng());
      for (auto& v : res[s]) v = static_cast<int16_t>(static_cast<int>(rng() % 129) - 64);
    }
    for (auto& v : pred) v = static_cast<uint8_t>(rng());
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

void run_predictor(benchmark::State& state, IntraPredictor fn) {
  Inputs& in = inputs();
  int k = 0;
  for (auto _ : state) {
    fn(in.pred, in.left[k] + 16, in.top[k] + 16);
    k = (k + 1) & (kSets - 1);
    benchmark::ClobberMemory();
  }
}

void run_adder(benchmark::State& state, IntraAddResidual fn) {
  Inputs& in = inputs();
  int k = 0;
  for (auto _ : state) {
    fn(in.plane + 64 + 16, 64, in.pred, in.res[k]);
    k = (k + 1) & (kSets - 1);
    benchmark::ClobberMemory();
  }
}

void register_all() {
  const Variant variants[] = {{"c", &c_intra_prediction_dsp, true},
                              {"sse2", &sse2_intra_prediction_dsp, true},
                              {"ssse3", &ssse3_intra_prediction_dsp, hasVariant(2)},
                              {"sse41", &sse41_intra_prediction_dsp, hasVariant(3)}};
#define INTRA_BENCH_PREDICTOR(name, table, mode)                                                     \
  for (const Variant& v : variants)                                                                  \
    if (v.supported)                                                                                 \
      benchmark::RegisterBenchmark((std::string(#name) + "/" + v.label).c_str(), run_predictor, \
                                   v.dsp->table[mode]);
  INTRA_PREDICTORS(INTRA_BENCH_PREDICTOR)
#undef INTRA_BENCH_PREDICTOR
#define INTRA_BENCH_ADDER(name, slot)                                                                          \
  for (const Variant& v : variants)                                                                            \
    if (v.supported)                                                                                           \
      benchmark::RegisterBenchmark((std::string(#name) + "/" + v.label).c_str(), run_adder, v.dsp->slot);
  INTRA_ADDERS(INTRA_BENCH_ADDER)
#undef INTRA_BENCH_ADDER
}

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, register_all); }
