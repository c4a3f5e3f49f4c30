// Spectral transforms, SSE2 members: odd orders take a radix-8 first pass, order 15 runs as a bit
// reversal followed by the bit-reversed-input kernel, and the radix-4 path
// ends at order 15.
#define VP_ISA 2
#include "vpVariant.h"
#define VP_RADIX8_PLAN 1
#define VP_RADIX4_LIMIT 15

#include "fft_interface.inc"
#include "mdct.inc"
