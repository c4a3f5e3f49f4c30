// The small string subset the components use: immutable strings made from
// C strings, converted back into caller buffers, released by reference count.
#pragma once

#include "MacTypes.h"

struct CFStringOpaque;
typedef const CFStringOpaque* CFStringRef;
typedef const void* CFTypeRef;
typedef const void* CFAllocatorRef;
typedef UInt32 CFStringEncoding;
typedef SInt32 CFIndex;

constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
constexpr CFStringEncoding kCFStringEncodingASCII = 0x0600;
constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;

// A new string holding `cStr` (NUL-terminated); NULL when `cStr` is NULL, the
// encoding is not UTF-8 / ASCII, or the text is not valid in it.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
// Number of characters (Unicode code points) of the string.
CFIndex CFStringGetLength(CFStringRef str);
// Writes the string NUL-terminated into `buffer` of `bufferSize` bytes. False,
// with nothing but a terminator written (when there is room for one), when it
// does not fit, the encoding cannot express it, or an argument is bad.
Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
// Pointer to the UTF-8 text while the string lives (never NULL for a string).
const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding);
CFTypeRef CFRetain(CFTypeRef cf);
// Drops one reference; the last one frees the string. NULL is accepted.
void CFRelease(CFTypeRef cf);
