// The shape every sample-kernel table of the decoder shares: a plain
// reference table c_<name>, one vector table per instruction set
// (sse2_<name>, ssse3_<name>, sse41_<name>: one body compiled per set), the
// four slots the primitives' variant index selects among (sse2, sse2, ssse3,
// sse41) and <name>(), the table of the variant the process runs (SSE2 until
// a selection, or the one VP_FORCE_VARIANT names). The tables are constant,
// so any thread may call <name>() at any time and keep the reference.
#pragma once

#include "vpDispatch.h"

// Declarations and the inline accessor, in the area's header (a complete
// declaration list: no semicolon after it).
#define VIDEO_DSP_DECLARE_TABLES(Type, name)  \
  extern const Type c_##name;                 \
  extern const Type sse2_##name;              \
  extern const Type ssse3_##name;             \
  extern const Type sse41_##name;             \
  extern const Type* const name##_arraddr[4]; \
  inline const Type& name() { return *vpSelect(name##_arraddr); }

// The four slots, in one source file of the area.
#define VIDEO_DSP_DEFINE_SELECTION(Type, name) \
  const Type* const name##_arraddr[4] = {&sse2_##name, &sse2_##name, &ssse3_##name, &sse41_##name};
