// The SSE4.1 (compiled with -msse4.1) deblocking edge filter kernels.
#define VP_FN(name) sse41_##name
#include "deblock_simd.inc"
