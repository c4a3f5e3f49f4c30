// Spectral transforms, SSE4.1 members: the same plan and code as the SSSE3 members, compiled with
// -msse4.1.
#define VP_PREFIX sse41_
#define VP_RADIX8_PLAN 0
#define VP_RADIX4_LIMIT 17

#include "impl_fft_interface.h"
#include "impl_mdct.h"
