// The SSSE3 (compiled with -mssse3) chroma kernels of inter prediction.
#define VP_ISA 3
#define VP_FN(name) ssse3_##name
#include "chroma_simd.inc"
