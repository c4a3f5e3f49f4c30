// The components' error log and the wrappers around their one spin lock.
#pragma once

#include "OSSpinLock.h"

// Writes one line to standard error: "<functionName>:(<line>)" followed
// directly by the formatted message; at most 1023 characters. The message
// supplies its own line end. Returns the number of characters written, or a
// negative value when the write fails.
int PrintLog(const char* functionName, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Turns the log off (0) or on again (non-zero) for the whole process; it is on
// from the start. For host programs that report failures in their own words;
// while off, PrintLog writes nothing and returns 0.
void PrintLogSetEnabled(int enabled);

// The last failure of the store in this thread, said for a person: what
// happened and what to do. Set with the result code it comes with (0: any
// code, for a failure that shows under several). MTS_Problem gives the text
// when the last failure set came with `code` (or 0), else NULL.
void MTS_SetProblem(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
const char* MTS_Problem(int code);
// The words for memory that ran short, the same from every component and
// tool: "out of memory for <what>: free some memory or raise the process's
// limit (ulimit -v), then try again". `what` names what the memory was for
// ("the importer's demultiplexer"). The text lives in a buffer of the
// calling thread, good until its next call.
const char* MTS_OutOfMemoryText(const char* what);
// Makes those words the last failure, under `code` (0, the default: under
// any code, since an allocation that fails surfaces under whatever code the
// failing step returns, which alone would tell another story).
void MTS_SayOutOfMemory(const char* what, int code = 0);
// Says, when `error` is EMFILE or ENFILE, that no file descriptor was left to
// open `what` ("the recording"), under any result code, and returns true;
// returns false for any other error and says nothing.
bool MTS_SayOutOfDescriptors(int error, const char* what);

// Reports from the function in whose body the report stands.
#define MTS_LOG(...) PrintLog(__func__, __LINE__, __VA_ARGS__)

// How long a waiter waits for a live holder of the store's lock.
constexpr int kMTSLockTimeoutMs = 3000;

void MTS_LockInit(OSSpinLock* lock);
// Takes the lock. A holder that no longer holds it (it ended inside) is
// taken over (reported); a live holder is waited for at most
// kMTSLockTimeoutMs. Returns true when the lock is held, false (reported)
// when it was not taken: NULL address, timeout, or a file lock that cannot
// be taken.
bool MTS_LockLock(OSSpinLock* lock);
void MTS_LockUnlock(OSSpinLock* lock);
