// The SSE2 chroma kernels of inter prediction.
#define VP_ISA 2
#define VP_FN(name) sse2_##name
#include "chroma_simd.inc"
