// The SSE2 members of the core primitives.
#define VP_ISA 2
#include "vpVariant.h"
#include "variant_common.inc"
#include "copy_fill.inc"
#include "arithmetic.inc"
#include "swap_deinterleave.inc"
#include "join.inc"
#include "convert.inc"
#include "convert_half.inc"
