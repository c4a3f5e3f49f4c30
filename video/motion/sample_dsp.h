// The shape every sample-kernel table of the decoder shares: a plain
// reference table c_<name>, one vector table per instruction set
// (sse2_<name>, ssse3_<name>, sse41_<name>: one body compiled per set), the
// four slots the primitives' variant index selects among (sse2, sse2, ssse3,
// sse41) and <name>(), the table of the current index.
#pragma once

#include "vpDispatch.h"

#define VIDEO_DSP_DECLARE_TABLES(Type, name)     \
  extern const Type c_##name;                    \
  extern const Type sse2_##name;                 \
  extern const Type ssse3_##name;                \
  extern const Type sse41_##name;                \
  extern const Type* const name##_arraddr[4];    \
  const Type& name()

// Defines the slots and the accessor, in the file that owns the callers.
#define VIDEO_DSP_DEFINE_SELECTION(Type, name)                                                   \
  const Type* const name##_arraddr[4] = {&sse2_##name, &sse2_##name, &ssse3_##name, &sse41_##name}; \
  const Type& name() { return *vpSelect(name##_arraddr); }
