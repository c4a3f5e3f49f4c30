// Spectral transforms, SSSE3 members: radix-4 first pass, a radix-2 last pass for odd orders, and
// the radix-4 path up to order 17; the blocked large transform splits order 20 into 64 runs of
// 2^14. Compiled with -mssse3.
#define VP_ISA 3
#include "vpVariant.h"
#define VP_RADIX8_PLAN 0
#define VP_RADIX4_LIMIT 17
#define VP_LARGE_ORDER20_BLK 6

#include "fft_interface.inc"
#include "mdct.inc"
