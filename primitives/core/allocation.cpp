// Aligned allocation, thread count, the largest-cache query of the copy and
// clear kernels, and the x87 / SSE floating-point control routines.
#include <xmmintrin.h>

#include <cstdlib>
#include <cstring>

#include "vpCoreInternal.h"

void* (*i_malloc)(size_t) = std::malloc;
void* (*i_calloc)(size_t, size_t) = std::calloc;
void* (*i_realloc)(void*, size_t) = std::realloc;
void (*i_free)(void*) = std::free;

namespace {

// The block handed out starts at the first 32-byte boundary that leaves room
// for the pointer-sized back link to the underlying allocation.
constexpr size_t kAlign = 32;
constexpr size_t kSlack = kAlign - 1 + sizeof(void*);

// CPUID leaf-2 descriptor and size code, largest cache first; a code c
// means (c >> 4) << ((c & 15) + 18) bytes. Ends with descriptor 0.
const uint8_t TableCacheSize[] = {
    0xEC, 0xC3, 0xEB, 0x93, 0x4D, 0x16, 0xEA, 0x34, 0x4C, 0x34, 0xE4, 0x15, 0xDE, 0x15,
    0x4B, 0x15, 0x47, 0x15, 0x4E, 0x33, 0x4A, 0x33, 0xE3, 0x14, 0xDD, 0x14, 0xD8, 0x14,
    0x49, 0x14, 0x29, 0x14, 0x46, 0x14, 0x48, 0x32, 0xE2, 0x13, 0xDC, 0x13, 0xD7, 0x13,
    0xD2, 0x13, 0x25, 0x13, 0x7D, 0x13, 0x85, 0x13, 0x45, 0x13, 0xD6, 0x12, 0xD1, 0x12,
    0x23, 0x12, 0x87, 0x12, 0x7C, 0x12, 0x78, 0x12, 0x84, 0x12, 0x44, 0x12, 0xD0, 0x11,
    0x22, 0x11, 0x7B, 0x11, 0x80, 0x11, 0x86, 0x11, 0x3E, 0x11, 0x7F, 0x11, 0x83, 0x11,
    0x43, 0x11, 0x00, 0x00,
};

// Descriptor bytes of CPUID leaf 2; false when they cannot be used (the
// leaf must be queried more than once, or no register holds descriptors).
bool collectDescriptors(uint8_t bytes[16], int* count) {
  uint32_t r[4];
  vpCpuid(2, 0, r);
  if ((r[0] & 0xFF) != 1) return false;
  *count = 0;
  for (int reg = 0; reg < 4; ++reg) {
    uint32_t v = (r[reg] & 0x80000000u) != 0 ? 0 : r[reg];
    if (v == 0) continue;
    for (int b = reg == 0 ? 1 : 0; b < 4; ++b) bytes[(*count)++] = static_cast<uint8_t>(v >> (8 * b));
  }
  return *count > 0;
}

bool reported(const uint8_t* bytes, int count, uint8_t descriptor) {
  for (int i = 0; i < count; ++i) {
    if (bytes[i] == descriptor) return true;
  }
  return false;
}

inline uint16_t readFpuControl() {
  uint16_t cw = 0;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

inline void writeFpuControl(uint16_t cw) { __asm__ volatile("fldcw %0" : : "m"(cw)); }

inline uint16_t readFpuStatus() {
  uint16_t sw = 0;
  __asm__ volatile("fnstsw %0" : "=m"(sw));
  return sw;
}

inline void clearFpuExceptions() { __asm__ volatile("fnclex"); }

// Exception bits: x87 control/status position, portable position.
struct BitPair {
  uint32_t x87;
  uint32_t portable;
};
const BitPair kExceptionBits[] = {
    {0x1, 0x10}, {0x4, 0x8}, {0x8, 0x4}, {0x10, 0x2}, {0x20, 0x1}, {0x2, 0x80000},
};

uint32_t exceptionsToPortable(uint32_t x87) {
  uint32_t p = 0;
  for (const BitPair& b : kExceptionBits) {
    if ((x87 & b.x87) != 0) p |= b.portable;
  }
  return p;
}

uint32_t controlToPortable(uint16_t cw) {
  uint32_t p = exceptionsToPortable(cw);
  p |= static_cast<uint32_t>((cw & 0xC00) >> 2);  // rounding 0x0/0x100/0x200/0x300
  switch (cw & 0x300) {
    case 0x000: p |= 0x20000; break;  // 24-bit mantissa
    case 0x200: p |= 0x10000; break;  // 53-bit
    default: break;                   // 64-bit, and the reserved 0x100
  }
  if ((cw & 0x1000) != 0) p |= 0x40000;
  return p;
}

uint16_t portableToControl(uint32_t p) {
  uint32_t cw = 0;
  for (const BitPair& b : kExceptionBits) {
    if ((p & b.portable) != 0) cw |= b.x87;
  }
  cw |= (p & 0x300) << 2;
  switch (p & 0x30000) {
    case 0x10000: cw |= 0x200; break;
    case 0x00000: cw |= 0x300; break;
    default: break;  // 0x20000 and 0x30000: 24-bit
  }
  if ((p & 0x40000) != 0) cw |= 0x1000;
  return static_cast<uint16_t>(cw);
}

}  // namespace

// ---------------------------------------------------------------------------
// Allocation and threads.

void* vpMalloc(int32_t len) {
  if (len < 1) return nullptr;
  void* raw = i_malloc(static_cast<size_t>(len) + kSlack);
  if (raw == nullptr) return nullptr;
  const uintptr_t p = (reinterpret_cast<uintptr_t>(raw) + kSlack) & ~static_cast<uintptr_t>(kAlign - 1);
  std::memcpy(reinterpret_cast<void*>(p - sizeof(void*)), &raw, sizeof(void*));
  return reinterpret_cast<void*>(p);
}

void vpFree(void* ptr) {
  if (ptr == nullptr) return;
  void* raw = nullptr;
  std::memcpy(&raw, static_cast<uint8_t*>(ptr) - sizeof(void*), sizeof(void*));
  i_free(raw);
}

int32_t vpSetNumThreads(int32_t) { return 1; }

int32_t vpGetNumThreads(int32_t* pNum) {
  if (pNum == nullptr) return StatusNullPointer;
  *pNum = 1;
  return 1;
}

// ---------------------------------------------------------------------------
// Cache size.

int32_t ownGetCacheSize(const VpCacheSizeEntry* table) {
  if (table == nullptr) return -1;
  uint8_t bytes[16];
  int count = 0;
  if (!collectDescriptors(bytes, &count)) return -1;
  for (; table->descriptor != 0; ++table) {
    if (reported(bytes, count, static_cast<uint8_t>(table->descriptor))) return static_cast<int32_t>(table->size);
  }
  return -1;
}

int32_t ownLargestCacheSize() {
  if (vp_is_GenuineIntel() == 0) return -1;
  uint8_t bytes[16];
  int count = 0;
  if (!collectDescriptors(bytes, &count)) return -1;
  for (const uint8_t* e = TableCacheSize; e[0] != 0; e += 2) {
    if (reported(bytes, count, e[0])) return static_cast<int32_t>((e[1] >> 4) << ((e[1] & 15) + 18));
  }
  return -1;
}

// ---------------------------------------------------------------------------
// SSE control/status register.

uint32_t vp_set_rc_ssx(uint32_t rc) {
  const uint32_t old = _mm_getcsr();
  if ((old & 0x6000) != rc) _mm_setcsr((old & ~0x6000u) | rc);
  return old;
}

void vp_set_cw_ssx(uint32_t value) { _mm_setcsr(value); }

uint32_t ps_set_ssx(uint32_t value, uint32_t mask) {
  const uint32_t old = _mm_getcsr();
  _mm_setcsr((old & ~mask) | (value & mask));
  return old;
}

uint32_t ps_get_ssx() { return _mm_getcsr(); }

uint32_t vp_clear_ssx() {
  const uint32_t old = _mm_getcsr();
  _mm_setcsr(0x1F80);
  return old;
}

int32_t vp_tst_daz_ssx() {
  alignas(16) uint8_t area[512];
  std::memset(area, 0, sizeof area);
  __asm__ volatile("fxsave %0" : "=m"(area));
  uint32_t mask = 0;
  std::memcpy(&mask, area + 28, 4);
  return (mask != 0 && (mask & 0x40) != 0) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// x87 control and status words.

uint16_t ps_set_cw_fpu(uint32_t value, uint32_t mask) {
  const uint16_t old = readFpuControl();
  writeFpuControl(static_cast<uint16_t>((old & ~mask) | (value & mask)));
  return old;
}

uint16_t ps_get_cw_fpu() { return readFpuControl(); }
uint16_t ps_get_sw_fpu() { return readFpuStatus(); }

uint16_t ps_clear_fpu() {
  const uint16_t sw = readFpuStatus();
  clearFpuExceptions();
  return sw;
}

uint16_t vp_set_rcpc_fpu(uint32_t value, uint32_t mask) {
  const uint16_t old = readFpuControl();
  if ((old & mask) != value) writeFpuControl(static_cast<uint16_t>((old & ~mask) | value));
  return old;
}

void vp_set_cw_fpu(uint16_t value) { writeFpuControl(value); }

uint32_t vp_control87(uint32_t newValue, uint32_t mask) {
  const uint32_t current = controlToPortable(readFpuControl());
  const uint32_t n = (newValue & mask) | (current & ~mask);
  writeFpuControl(portableToControl(n));
  return n;
}

uint32_t vp_status87() { return exceptionsToPortable(readFpuStatus() & 0x3F); }

uint32_t vp_clear87() {
  const uint32_t s = exceptionsToPortable(readFpuStatus() & 0x3F);
  clearFpuExceptions();
  return s;
}

int32_t vp_isnan(double x) {
  uint64_t b = 0;
  std::memcpy(&b, &x, 8);
  return ((b & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (b & 0x000FFFFFFFFFFFFFull) != 0) ? 1 : 0;
}

int32_t vp_finite(double x) {
  uint64_t b = 0;
  std::memcpy(&b, &x, 8);
  return (b & 0x7FF0000000000000ull) == 0x7FF0000000000000ull ? 0 : 1;
}
