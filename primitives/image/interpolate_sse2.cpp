// The SSE2 members of the interpolation, averaging and weighting primitives.
#define VP_FN(name) sse2_##name
#include "interpolate_body.inc"
