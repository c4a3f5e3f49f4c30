// Four-slot tables and dispatch stubs of the public core primitives.
#include "vpCoreInternal.h"

thread_local uint32_t vpCacheBypassCount = 0;

#define VP_CORE_STUB(ret, name, params, args) \
  VP_DISPATCH_TABLE(name);                    \
  ret name params { return vpSelect(name##_arraddr) args; }
VP_CORE_PRIMITIVES(VP_CORE_STUB)
#undef VP_CORE_STUB
