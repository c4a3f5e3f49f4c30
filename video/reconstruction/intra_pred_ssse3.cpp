// The SSSE3 (compiled with -mssse3) members of the intra predictors and their tables.
#define VP_ISA 3
#define VP_FN(name) ssse3_##name
#include "intra_pred_simd.inc"
