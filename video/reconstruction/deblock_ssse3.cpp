// The SSSE3 (compiled with -mssse3) deblocking edge filter kernels.
#define VP_FN(name) ssse3_##name
#include "deblock_simd.inc"
