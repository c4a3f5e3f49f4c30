// The SSSE3 members of the interpolation, averaging and weighting primitives.
#define VP_FN(name) ssse3_##name
#include "interpolate_body.inc"
