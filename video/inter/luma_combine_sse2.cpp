// The SSE2 luma combination kernel of inter prediction.
#define VP_ISA 2
#define VP_FN(name) sse2_##name
#include "luma_combine_simd.inc"
