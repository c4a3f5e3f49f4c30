#include "OSSpinLock.h"

#include <sched.h>
#include <immintrin.h>

static inline bool try_take(volatile OSSpinLock* lock) {
  int32_t expected = 0;
  return __atomic_compare_exchange_n(const_cast<OSSpinLock*>(lock), &expected, 1, false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

bool OSSpinLockTry(volatile OSSpinLock* lock) { return try_take(lock); }

void OSSpinLockLock(volatile OSSpinLock* lock) {
  unsigned spins = 0;
  for (;;) {
    if (try_take(lock)) return;
    // Wait on a plain load so the cache line is not bounced by failed writes.
    while (__atomic_load_n(const_cast<OSSpinLock*>(lock), __ATOMIC_RELAXED) != 0) {
      if (++spins < 64) {
        _mm_pause();
      } else {
        // The holder may be a descheduled process on the same core.
        sched_yield();
      }
    }
  }
}

void OSSpinLockUnlock(volatile OSSpinLock* lock) {
  __atomic_store_n(const_cast<OSSpinLock*>(lock), 0, __ATOMIC_RELEASE);
}
