#include "CFString.h"

#include <exception>
#include <atomic>
#include <cstring>
#include <new>
#include <string>

struct CFStringOpaque {
  mutable std::atomic<SInt32> references{1};
  std::string utf8;
};

namespace {

// Counts code points; false when the bytes are not well-formed UTF-8.
bool utf8_length(const std::string& s, CFIndex* length) {
  CFIndex count = 0;
  size_t i = 0;
  while (i < s.size()) {
    auto c = UInt8(s[i]);
    size_t extra;
    if (c < 0x80) extra = 0;
    else if (c >= 0xC2 && c < 0xE0) extra = 1;
    else if ((c & 0xF0) == 0xE0) extra = 2;
    else if (c >= 0xF0 && c < 0xF5) extra = 3;
    else return false;
    if (i + extra >= s.size() && extra != 0) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((UInt8(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
    ++count;
  }
  *length = count;
  return true;
}

bool is_ascii(const std::string& s) {
  for (char c : s)
    if (UInt8(c) >= 0x80) return false;
  return true;
}

bool known_encoding(CFStringEncoding e) { return e == kCFStringEncodingUTF8 || e == kCFStringEncodingASCII; }

}  // namespace

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) try {
  if (cStr == nullptr || !known_encoding(encoding)) return nullptr;
  std::string text(cStr);
  CFIndex length = 0;
  if (!utf8_length(text, &length)) return nullptr;
  if (encoding == kCFStringEncodingASCII && !is_ascii(text)) return nullptr;
  auto* s = new (std::nothrow) CFStringOpaque;
  if (s == nullptr) return nullptr;
  s->utf8 = std::move(text);
  return s;
} catch (const std::exception&) {
  return nullptr;
}

CFIndex CFStringGetLength(CFStringRef str) {
  if (str == nullptr) return 0;
  CFIndex length = 0;
  utf8_length(str->utf8, &length);
  return length;
}

Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
  if (buffer == nullptr || bufferSize <= 0) return false;
  buffer[0] = '\0';
  if (str == nullptr || !known_encoding(encoding)) return false;
  if (encoding == kCFStringEncodingASCII && !is_ascii(str->utf8)) return false;
  if (str->utf8.size() + 1 > size_t(bufferSize)) return false;
  std::memcpy(buffer, str->utf8.c_str(), str->utf8.size() + 1);
  return true;
}

const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding) { return str ? str->utf8.c_str() : nullptr; }

CFTypeRef CFRetain(CFTypeRef cf) {
  if (cf != nullptr) static_cast<const CFStringOpaque*>(cf)->references.fetch_add(1);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (cf == nullptr) return;
  auto* s = static_cast<const CFStringOpaque*>(cf);
  if (s->references.fetch_sub(1) == 1) delete s;
}
