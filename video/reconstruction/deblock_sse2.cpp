// The SSE2 deblocking edge filter kernels.
#define VP_FN(name) sse2_##name
#include "deblock_simd.inc"
