// The SSE4.1 (compiled with -msse4.1) packed-row kernels of the picture writers.
#define VP_ISA 41
#define VP_FN(name) sse41_##name
#include "packed_line_simd.inc"
