// Spin lock over one 32-bit word. The word may live in memory shared between
// processes: acquisition and release are plain atomic operations on the word
// itself, so every thread of every process that maps it is excluded.
#pragma once

#include <cstdint>

typedef int32_t OSSpinLock;  // 0 free, anything else held

#define OS_SPINLOCK_INIT 0

// Takes the lock, busy-waiting (with pause, then yielding the processor)
// while another holder has it. Not recursive.
void OSSpinLockLock(volatile OSSpinLock* lock);

// Releases the lock. Only the holder calls it.
void OSSpinLockUnlock(volatile OSSpinLock* lock);

// Takes the lock if it is free; returns true when taken.
bool OSSpinLockTry(volatile OSSpinLock* lock);
