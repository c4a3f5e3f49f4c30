// How the primitives get one member per instruction set. The same way holds
// in every area (core, transforms, image).
//
// A kernel is written once, in a body file (`*.inc`) of its area. Each area
// has three variant sources, <area>_sse2.cpp, <area>_ssse3.cpp and
// <area>_sse41.cpp; each defines VP_ISA (2, 3 or 41), includes this header,
// sets the area's per-variant tunables (a few #defines) and includes the
// area's bodies, so every body is compiled three times. The build gives the
// instruction set by file name (primitives/variants.cmake: *_ssse3.cpp gets
// -mssse3, *_sse41.cpp -msse4.1); this header refuses a variant source built
// without its set.
//
// Inside a body:
//   VP_FN(name)  the member of this variant: sse2_name, ssse3_name, sse41_name
//   VP_VARIANT   the variant as a namespace: sse2, ssse3, sse41
//   VP_ISA       2, 3 or 41, for the few lines that differ (#if VP_ISA >= 3);
//                larger differences go in small helpers, never in copies of a
//                whole kernel.
// Helpers of a body live in an anonymous namespace, so every variant keeps
// its own copies and no code built for one set is reached from another.
//
// To add a kernel to every variant:
//   1. declare its members in the area's header with VP_DECLARE_MEMBERS, or
//      VP_DECLARE_VARIANTS when it has a public name (vpDispatch.h);
//   2. define `ret VP_FN(name)(params) { ... }` in one of the area's bodies
//      (a new body file is included by the area's three variant sources);
//   3. for a public name, define its table with VP_DISPATCH_TABLE(name) and
//      the stub `return vpSelect(name_arraddr)(args);` in the area's
//      dispatch source.
#pragma once

#if !defined(VP_ISA)
#error "a variant source defines VP_ISA (2, 3 or 41) before including vpVariant.h"
#elif VP_ISA == 2
#define VP_VARIANT sse2
#define VP_FN(name) sse2_##name
#elif VP_ISA == 3
#if !defined(__SSSE3__)
#error "an SSSE3 variant source is compiled with -mssse3"
#endif
#define VP_VARIANT ssse3
#define VP_FN(name) ssse3_##name
#elif VP_ISA == 41
#if !defined(__SSE4_1__)
#error "an SSE4.1 variant source is compiled with -msse4.1"
#endif
#define VP_VARIANT sse41
#define VP_FN(name) sse41_##name
#else
#error "VP_ISA is 2, 3 or 41"
#endif
