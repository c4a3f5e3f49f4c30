// The SSE4.1 (compiled with -msse4.1) inverse transform kernels.
#define VP_FN(name) sse41_##name
#include "transforms_simd.inc"
