// The packed-row kernels of the picture writers (one 1920-pixel row of YUY2
// or UYVY from luma and two interpolated chroma rows) in the plain reference
// (c) and every vector variant the processor runs, side by side:
// "<kernel>/<variant>", nanoseconds per row.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "bench_variants.h"
#include "packed_line_dsp.h"

namespace {

constexpr int kWidth = 1920;

struct Rows {
  alignas(16) uint8_t y[kWidth];
  alignas(16) uint8_t chroma[2][2 * kWidth];  // two rows kWidth apart each
  alignas(16) uint8_t out[2 * kWidth];
  Rows() {
    std::mt19937 rng(4);
    for (auto& v : y) v = static_cast<uint8_t>(rng());
    for (auto& c : chroma)
      for (auto& v : c) v = static_cast<uint8_t>(rng());
  }
};

void run(benchmark::State& state, PackedLineFn fn) {
  static Rows rows;
  for (auto _ : state) {
    fn(rows.y, rows.chroma[0], rows.chroma[1], kWidth, rows.out, 6, 2, kWidth);
    benchmark::ClobberMemory();
  }
}

void register_all() {
  const struct {
    const char* label;
    const PackedLineDsp* dsp;
    bool supported;
  } variants[] = {{"c", &c_packed_line_dsp, true},
                  {"sse2", &sse2_packed_line_dsp, true},
                  {"ssse3", &ssse3_packed_line_dsp, hasVariant(2)},
                  {"sse41", &sse41_packed_line_dsp, hasVariant(3)}};
  for (const auto& v : variants) {
    if (!v.supported) continue;
    benchmark::RegisterBenchmark((std::string("packed_line_yuy2/") + v.label).c_str(), run, v.dsp->yuy2);
    benchmark::RegisterBenchmark((std::string("packed_line_uyvy/") + v.label).c_str(), run, v.dsp->uyvy);
  }
}

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, register_all); }
