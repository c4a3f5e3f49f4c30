// Frame-index walks over arbitrary record contents, as another process could
// leave them: every lookup and insertion ends, within the record, with a
// result from its documented set.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MTS_SharedMemory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Input: 1 byte capacity, 4 x 8 bytes of keys to look up and insert, then
  // the record's contents from offset 1032 (capacity, head, tail, entries).
  if (size < 33) return 0;
  int32_t capacity = 1 + data[0] % 64;
  int64_t keys[4];
  std::memcpy(keys, data + 1, sizeof keys);
  data += 33;
  size -= 33;

  std::vector<uint8_t> region(MTS_RecordRegionSize(capacity), 0xFF);
  size_t tailBytes = region.size() - 1032;
  std::memcpy(region.data() + 1032, data, size < tailBytes ? size : tailBytes);
  AvchdDataRecord* record = reinterpret_cast<AvchdDataRecord*>(region.data());

  int32_t hint = static_cast<int32_t>(keys[3]);
  for (int i = 0; i < 4; ++i) {
    FrameOffsetEntry entry;
    bool exact = false;
    int r = MTS_FindFrameOffsetUnlocked(record, capacity, &hint, keys[i], &entry, &exact, i % 2 == 1);
    if (r != 0 && r != kMTSErrNotFound && r != kMTSErrNotYet) std::abort();
    r = MTS_PutFrameOffsetUnlocked(record, capacity, keys[i] & 0xFFFF, i);
    if (r != 0 && r != kMTSErrTableFull && r != kMTSErrParam) std::abort();
  }
  return 0;
}
