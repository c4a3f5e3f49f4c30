// Memory services: plain blocks (Ptr) and movable blocks that know their size
// (Handle). Every call records its outcome for MemError() of the calling
// thread: noErr, memFullErr when the system is out of memory, paramErr for a
// negative size, nilHandleErr / memWZErr for a handle that is NULL or not live.
#pragma once

#include "MacTypes.h"

// The error of the last memory call made on this thread.
OSErr MemError();

// A block of `size` bytes (uninitialised / zero-filled); NULL with MemError()
// memFullErr (or paramErr for a negative size) when it cannot be had.
Ptr NewPtr(Size size);
Ptr NewPtrClear(Size size);
void DisposePtr(Ptr p);  // NULL is accepted
Size GetPtrSize(Ptr p);

// A movable block of `size` bytes; *h is its data (NULL for size 0).
Handle NewHandle(Size size);
Handle NewHandleClear(Size size);
void DisposeHandle(Handle h);  // NULL is accepted
// Byte count of the block; 0 with MemError() nilHandleErr / memWZErr when the
// handle is not a live handle.
Size GetHandleSize(Handle h);
// Grows or shrinks the block, keeping min(old, new) leading bytes; the data
// may move (*h changes), the handle stays. Bytes added are not initialised.
void SetHandleSize(Handle h, Size newSize);
// New handle holding a copy of `size` bytes at `src`.
OSErr PtrToHand(const void* src, Handle* dst, Size size);
// Appends `size` bytes at `src` to the end of the handle.
OSErr PtrAndHand(const void* src, Handle h, Size size);
// New handle with a copy of the block.
OSErr HandToHand(Handle* h);

// Number of handles currently live in the process (for leak checks in tests).
SInt32 LiveHandleCount();
