// The SSSE3 (compiled with -mssse3) packed-row kernels of the picture writers.
#define VP_ISA 3
#define VP_FN(name) ssse3_##name
#include "packed_line_simd.inc"
