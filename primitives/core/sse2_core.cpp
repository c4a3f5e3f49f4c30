// The SSE2 members of the core primitives.
#define VP_ISA 2
#define VP_FN(name) sse2_##name
#include "variant_common.inc"
#include "copy_fill.inc"
#include "arithmetic.inc"
#include "swap_deinterleave.inc"
#include "join.inc"
#include "convert.inc"
#include "convert_half.inc"
