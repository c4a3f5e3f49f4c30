// Fuzzes the EP-map parser of clip-information files.
#include "TSDemuxer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 24)) return 0;
  // An exact-size copy, so that a read past the image shows.
  std::vector<uint8_t> clip(data, data + size);
  const int32_t maxEntries = 4096;
  std::vector<EPMapEntry> entries(maxEntries);
  uint32_t count = 0, packets = 0, width = 0;
  int32_t r = TSDemuxParseCPILib(clip.empty() ? nullptr : clip.data(), int32_t(size), maxEntries, entries.data(),
                                 &count, &packets, &width);
  if (r == kCPIOk && count > uint32_t(maxEntries)) __builtin_trap();
  if (width != 0 && width != 1920 && width != 1440 && width != 1280 && width != 720) __builtin_trap();
  return 0;
}
