// Internals of the interpolation primitives shared by the variant bodies and
// the edge fetch.
#pragma once

#include "vpiInterpolate.h"

// Edge fetch that clamps all four sides at once, for windows wider or taller
// than the plane itself (the side tables pick one of two opposite sides).
void c_read_data_through_all_boundaries_8u(InterpolateKernelParams* params);
