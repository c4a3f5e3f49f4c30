// The SSSE3 (compiled with -mssse3) kernels of weighted and averaged inter prediction.
#define VP_ISA 3
#define VP_FN(name) ssse3_##name
#include "weighting_simd.inc"
