// The SSE2 kernels of weighted and averaged inter prediction.
#define VP_ISA 2
#define VP_FN(name) sse2_##name
#include "weighting_simd.inc"
