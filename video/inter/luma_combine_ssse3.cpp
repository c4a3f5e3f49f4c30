// The SSSE3 (compiled with -mssse3) luma combination kernel of inter prediction.
#define VP_ISA 3
#define VP_FN(name) ssse3_##name
#include "luma_combine_simd.inc"
