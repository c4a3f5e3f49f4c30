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
//
// A word that lives in a file may instead be guarded by the kernel
// (OSSpinLockBindFile): the exclusion is then an open-file-description lock
// on the word's first byte, which the kernel drops when its holder ends, so
// a dead holder is recognised whatever process ids say and whoever owns the
// process an id names now. The word itself is still written (the holder's
// process id while held, 0 when free) for whoever reads it, but no longer
// decides anything; it is read and written through the file, never through
// a mapping another process may shrink.
#pragma once

#include <cstdint>
#include <sys/types.h>

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
  kOSSpinLockTimedOut = 2,  // a live holder kept it for timeoutMs
  kOSSpinLockFailed = 3     // a bound word whose file lock cannot be taken (errno set)
};

// Takes the lock like OSSpinLockLock but waits at most `timeoutMs`
// milliseconds (negative: no limit). `*holder` (when not NULL) receives the
// word found held: the gone holder on kOSSpinLockTakenOver, the live one on
// kOSSpinLockTimedOut. On kOSSpinLockTimedOut for a bound word it is the
// word's process only when that process is seen to hold the file lock, else
// 0 (the word may be stale or unwritten, or name a process of another pid
// namespace). For a bound word, kOSSpinLockTakenOver means that the
// word was found not free although nobody held the file lock (its holder
// ended inside, or someone else wrote the word).
OSSpinLockOutcome OSSpinLockLockBounded(volatile OSSpinLock* lock, int timeoutMs, int32_t* holder);

// True when the value `holder`, read from the word at `lock`, names no live
// holder (see above). Costs a system call; reading the holder's memory map
// (the reuse test) is done only when `checkMaps` is set.
bool OSSpinLockHolderIsGone(const volatile OSSpinLock* lock, int32_t holder, bool checkMaps);

// Guards the word at `lock`, the 4 bytes at `offset` of the file open on
// `fd` (which the caller keeps open until OSSpinLockUnbindFile), by a kernel
// lock on that file from now on. Every thread of every process that binds the
// word of the same file is excluded from the others; so is a process forked
// while it had the word bound (it takes a file description of its own).
void OSSpinLockBindFile(volatile OSSpinLock* lock, int fd, off_t offset);

// Ends the binding of `lock` (before its file is closed or unmapped).
void OSSpinLockUnbindFile(volatile OSSpinLock* lock);

// For a bound word held by this process: whether its file still reached the
// word when the lock was taken (false: the file had shrunk below it).
bool OSSpinLockBoundWordReached(const volatile OSSpinLock* lock);
