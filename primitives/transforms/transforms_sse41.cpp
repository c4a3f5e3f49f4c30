// Spectral transforms, SSE4.1 members: the same plan and code as the SSSE3 members, compiled with
// -msse4.1; the blocked large transform splits order 20 into 16 runs of 2^16.
#define VP_ISA 41
#include "vpVariant.h"
#define VP_RADIX8_PLAN 0
#define VP_RADIX4_LIMIT 17
#define VP_LARGE_ORDER20_BLK 4

#include "fft_interface.inc"
#include "mdct.inc"
