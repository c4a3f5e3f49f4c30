// MD5 message digest (RFC 1321), for the reference checksums that the
// decoders' outputs are compared against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Md5 {
 public:
  Md5() { reset(); }
  void reset();
  void update(const void* data, size_t size);
  // Finishes the digest and returns it as 32 lower-case hex digits; the
  // object is reset afterwards.
  std::string hex();

 private:
  void block(const uint8_t* p);
  uint32_t state_[4];
  uint64_t length_;
  uint8_t buffer_[64];
  size_t fill_;
};

std::string md5_hex(const void* data, size_t size);
