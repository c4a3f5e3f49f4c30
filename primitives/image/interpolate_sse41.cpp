// The SSE4.1 members of the interpolation, averaging and weighting primitives.
#define VP_FN(name) sse41_##name
#include "interpolate_body.inc"
