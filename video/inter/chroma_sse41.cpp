// The SSE4.1 (compiled with -msse4.1) chroma kernels of inter prediction.
#define VP_ISA 41
#define VP_FN(name) sse41_##name
#include "chroma_simd.inc"
