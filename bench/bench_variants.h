// What the variant benchmarks share: whether the processor runs the member of
// a dispatch slot (0 the plain reference, 1 SSE2, 2 SSSE3, 3 SSE4.1), the
// slot's label, the choice of a kernel table by the benchmark's argument, and
// the main of benchmarks that register their cases at run time.
#pragma once

#include <benchmark/benchmark.h>

inline bool hasVariant(int slot) {
  __builtin_cpu_init();
  if (slot == 3) return __builtin_cpu_supports("sse4.1");
  if (slot == 2) return __builtin_cpu_supports("ssse3");
  return true;
}

inline const char* variantLabel(int slot) {
  static const char* const labels[4] = {"c", "sse2", "ssse3", "sse41"};
  return labels[slot];
}

// The table of slot state.range(0), labelled; null (the benchmark skipped)
// when the processor lacks that variant.
template <typename Table>
const Table* variantTable(benchmark::State& state, const Table* const (&tables)[4]) {
  const int slot = static_cast<int>(state.range(0));
  if (!hasVariant(slot)) {
    state.SkipWithError("processor lacks this variant");
    return nullptr;
  }
  state.SetLabel(variantLabel(slot));
  return tables[slot];
}

inline int runBenchmarks(int argc, char** argv, void (*registerAll)()) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
