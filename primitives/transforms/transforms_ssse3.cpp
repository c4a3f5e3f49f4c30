// Spectral transforms, SSSE3 members: radix-4 first pass, a radix-2 last pass for odd orders, and
// the radix-4 path up to order 17. Compiled with -mssse3.
#define VP_PREFIX ssse3_
#define VP_RADIX8_PLAN 0
#define VP_RADIX4_LIMIT 17

#include "impl_bitrev.h"
#include "impl_fft_interface.h"
#include "impl_mdct.h"
