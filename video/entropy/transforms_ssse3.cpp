// The SSSE3 (compiled with -mssse3) inverse transform kernels.
#define VP_FN(name) ssse3_##name
#include "transforms_simd.inc"
