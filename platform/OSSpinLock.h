// Spin lock over one 32-bit word. The word may live in memory shared between
// processes: acquisition and release are atomic operations on the word
// itself, so every thread of every process that maps it is excluded.
//
// A held word holds the process id of its holder. That makes a lock whose
// holder died (killed, crashed) recoverable: a waiter that finds the holder
// gone takes the word over. A holder is gone when the word holds no possible
// process id, when no process of that id exists, or when the process of that
// id maps no part of the file that holds the word (its id was reused by an
// unrelated process). A live holder's lock is never taken over.
#pragma once

#include <cstdint>

typedef int32_t OSSpinLock;  // 0 free, otherwise the holder's process id

#define OS_SPINLOCK_INIT 0

// Takes the lock, waiting (pause, then yielding, then short sleeps) while a
// live holder has it. Not recursive. Never gives up.
void OSSpinLockLock(volatile OSSpinLock* lock);

// Releases the lock if this process holds it; a word that another process
// took over meanwhile is left alone.
void OSSpinLockUnlock(volatile OSSpinLock* lock);

// Takes the lock if it is free; returns true when taken.
bool OSSpinLockTry(volatile OSSpinLock* lock);

enum OSSpinLockOutcome {
  kOSSpinLockTaken = 0,     // taken from a free word
  kOSSpinLockTakenOver = 1, // taken over from a holder that is gone
  kOSSpinLockTimedOut = 2   // a live holder kept it for timeoutMs
};

// Takes the lock like OSSpinLockLock but waits at most `timeoutMs`
// milliseconds (negative: no limit). `*holder` (when not NULL) receives the
// word found held: the gone holder on kOSSpinLockTakenOver, the live one on
// kOSSpinLockTimedOut.
OSSpinLockOutcome OSSpinLockLockBounded(volatile OSSpinLock* lock, int timeoutMs, int32_t* holder);

// True when the value `holder`, read from the word at `lock`, names no live
// holder (see above). Costs a system call; reading the holder's memory map
// (the reuse test) is done only when `checkMaps` is set.
bool OSSpinLockHolderIsGone(const volatile OSSpinLock* lock, int32_t holder, bool checkMaps);
