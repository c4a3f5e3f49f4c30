// The SSE2 members of the intra predictors and their tables.
#define VP_ISA 2
#define VP_FN(name) sse2_##name
#include "intra_pred_simd.inc"
