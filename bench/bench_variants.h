// What the primitive benchmarks share: whether the processor runs the member
// of a dispatch slot (1 SSE2, 2 SSSE3, 3 SSE4.1).
#pragma once

inline bool hasVariant(int slot) {
  __builtin_cpu_init();
  if (slot == 3) return __builtin_cpu_supports("sse4.1");
  if (slot == 2) return __builtin_cpu_supports("ssse3");
  return true;
}
