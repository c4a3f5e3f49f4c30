// Four-slot tables and dispatch stubs of the public core primitives.
#include "vpCoreInternal.h"

thread_local uint32_t vpCacheBypassCount = 0;

// The stub reads the table its list row names, so every table name is
// spelled out once in the list.
#define VP_CORE_STUB(ret, name, table, params, args) \
  VP_DISPATCH_TABLE(name);                           \
  ret name params { return vpSelect(table) args; }
VP_CORE_PRIMITIVES(VP_CORE_STUB)
#undef VP_CORE_STUB
