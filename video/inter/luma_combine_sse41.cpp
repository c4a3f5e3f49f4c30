// The SSE4.1 (compiled with -msse4.1) luma combination kernel of inter prediction.
#define VP_ISA 41
#define VP_FN(name) sse41_##name
#include "luma_combine_simd.inc"
