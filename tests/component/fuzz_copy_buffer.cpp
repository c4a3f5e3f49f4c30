// Start-code conversion of arbitrary bytes: the output stays within twice
// the input and its length prefixes tile it exactly.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "MTS_DataHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::vector<uint8_t> in(data, data + size);  // exact size: reads past it are caught
  std::vector<uint8_t> out(2 * size);
  int n = MTS_copy_buffer(out.data(), in.data(), static_cast<int>(size));
  if (n < 0 || static_cast<size_t>(n) > 2 * size) std::abort();
  size_t at = 0;
  while (at < static_cast<size_t>(n)) {
    if (n - at < 5) std::abort();  // a unit has its length and a header byte
    size_t len = (size_t(out[at]) << 24) | (size_t(out[at + 1]) << 16) | (size_t(out[at + 2]) << 8) | out[at + 3];
    if (len < 1 || len > static_cast<size_t>(n) - at - 4) std::abort();
    at += 4 + len;
  }
  return 0;
}
