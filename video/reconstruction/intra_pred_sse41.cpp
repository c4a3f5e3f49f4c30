// The SSE4.1 (compiled with -msse4.1) members of the intra predictors and their tables.
#define VP_ISA 41
#define VP_FN(name) sse41_##name
#include "intra_pred_simd.inc"
