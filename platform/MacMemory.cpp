#include "MacMemory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

thread_local OSErr t_memError = noErr;
std::atomic<SInt32> g_liveHandles{0};

constexpr UInt32 kHandleMagic = 0x484E444Cu;  // "HNDL" while live
constexpr UInt32 kDeadMagic = 0xDEADDEADu;

// A handle points at `data`, the first field, so *h is the data.
struct HandleBlock {
  char* data;
  Size size;
  UInt32 magic;
};

// Plain blocks carry their size just before the data, in a 16-byte header so
// the data keeps the allocator's alignment.
struct alignas(16) PtrHeader {
  Size size;
};

OSErr set_error(OSErr err) {
  t_memError = err;
  return err;
}

HandleBlock* live_block(Handle h) {
  if (h == nullptr) {
    set_error(nilHandleErr);
    return nullptr;
  }
  auto* block = reinterpret_cast<HandleBlock*>(h);
  if (block->magic != kHandleMagic) {
    set_error(memWZErr);
    return nullptr;
  }
  return block;
}

Ptr new_ptr(Size size, bool clear) {
  if (size < 0) {
    set_error(paramErr);
    return nullptr;
  }
  size_t total = sizeof(PtrHeader) + size_t(size);
  void* raw = clear ? std::calloc(1, total) : std::malloc(total);
  if (raw == nullptr) {
    set_error(memFullErr);
    return nullptr;
  }
  static_cast<PtrHeader*>(raw)->size = size;
  set_error(noErr);
  return static_cast<char*>(raw) + sizeof(PtrHeader);
}

Handle new_handle(Size size, bool clear) {
  if (size < 0) {
    set_error(paramErr);
    return nullptr;
  }
  auto* block = static_cast<HandleBlock*>(std::malloc(sizeof(HandleBlock)));
  if (block == nullptr) {
    set_error(memFullErr);
    return nullptr;
  }
  block->data = nullptr;
  if (size > 0) {
    block->data = static_cast<char*>(clear ? std::calloc(1, size_t(size)) : std::malloc(size_t(size)));
    if (block->data == nullptr) {
      std::free(block);
      set_error(memFullErr);
      return nullptr;
    }
  }
  block->size = size;
  block->magic = kHandleMagic;
  g_liveHandles.fetch_add(1, std::memory_order_relaxed);
  set_error(noErr);
  return &block->data;
}

}  // namespace

OSErr MemError() { return t_memError; }

Ptr NewPtr(Size size) { return new_ptr(size, false); }
Ptr NewPtrClear(Size size) { return new_ptr(size, true); }

void DisposePtr(Ptr p) {
  if (p != nullptr) std::free(p - sizeof(PtrHeader));
  set_error(noErr);
}

Size GetPtrSize(Ptr p) {
  if (p == nullptr) {
    set_error(nilHandleErr);
    return 0;
  }
  set_error(noErr);
  return reinterpret_cast<PtrHeader*>(p - sizeof(PtrHeader))->size;
}

Handle NewHandle(Size size) { return new_handle(size, false); }
Handle NewHandleClear(Size size) { return new_handle(size, true); }

void DisposeHandle(Handle h) {
  if (h == nullptr) {
    set_error(noErr);
    return;
  }
  HandleBlock* block = live_block(h);
  if (block == nullptr) return;
  std::free(block->data);
  block->magic = kDeadMagic;
  std::free(block);
  g_liveHandles.fetch_sub(1, std::memory_order_relaxed);
  set_error(noErr);
}

Size GetHandleSize(Handle h) {
  HandleBlock* block = live_block(h);
  if (block == nullptr) return 0;
  set_error(noErr);
  return block->size;
}

void SetHandleSize(Handle h, Size newSize) {
  HandleBlock* block = live_block(h);
  if (block == nullptr) return;
  if (newSize < 0) {
    set_error(paramErr);
    return;
  }
  if (newSize == 0) {
    std::free(block->data);
    block->data = nullptr;
  } else {
    char* grown = static_cast<char*>(std::realloc(block->data, size_t(newSize)));
    if (grown == nullptr) {
      set_error(memFullErr);  // the old block stays as it was
      return;
    }
    block->data = grown;
  }
  block->size = newSize;
  set_error(noErr);
}

OSErr PtrToHand(const void* src, Handle* dst, Size size) {
  if (dst == nullptr || (src == nullptr && size > 0)) return set_error(paramErr);
  Handle h = NewHandle(size);
  if (h == nullptr) {
    *dst = nullptr;
    return MemError();
  }
  if (size > 0) std::memcpy(*h, src, size_t(size));
  *dst = h;
  return set_error(noErr);
}

OSErr PtrAndHand(const void* src, Handle h, Size size) {
  if (size < 0 || (src == nullptr && size > 0)) return set_error(paramErr);
  Size old = GetHandleSize(h);
  if (MemError() != noErr) return MemError();
  if (size > INT32_MAX - old) return set_error(memFullErr);
  SetHandleSize(h, old + size);
  if (MemError() != noErr) return MemError();
  if (size > 0) std::memcpy(*h + old, src, size_t(size));
  return noErr;
}

OSErr HandToHand(Handle* h) {
  if (h == nullptr) return set_error(paramErr);
  Size size = GetHandleSize(*h);
  if (MemError() != noErr) return MemError();
  return PtrToHand(**h, h, size);
}

SInt32 LiveHandleCount() { return g_liveHandles.load(std::memory_order_relaxed); }
