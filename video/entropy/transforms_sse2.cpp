// The SSE2 inverse transform kernels.
#define VP_FN(name) sse2_##name
#include "transforms_simd.inc"
