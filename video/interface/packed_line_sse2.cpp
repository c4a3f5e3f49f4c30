// The SSE2 packed-row kernels of the picture writers.
#define VP_ISA 2
#define VP_FN(name) sse2_##name
#include "packed_line_simd.inc"
