// The SSE4.1 (compiled with -msse4.1) kernels of weighted and averaged inter prediction.
#define VP_ISA 41
#define VP_FN(name) sse41_##name
#include "weighting_simd.inc"
