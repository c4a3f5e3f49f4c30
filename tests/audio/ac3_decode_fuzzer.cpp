// Fuzzes the AC-3 decoder through its public calls, the way the components
// drive it, frame after frame over the input.
//
// Input: two control bytes, then the stream. Control byte 0: bit 0 repairs
// the CRCs of every frame found at a sync word (so that mutations reach the
// block parsers instead of stopping at the CRC check); bits 1..4 choose the
// output layout (8 and above: the stream's own); bit 5 the Lt/Rt mode, bit 6
// dynamic range, bit 7 heavy compression. Control byte 1: bits 0..2 choose
// the output capacity; bit 3 dialogue normalisation.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "AC3Decoder.h"
#include "ac3_test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t control = data[0];
  const uint8_t control2 = data[1];
  std::vector<uint8_t> stream(data + 2, data + size);
  if (control & 1) {
    for (size_t pos = 0; pos + 5 <= stream.size(); ++pos) {
      if (stream[pos] != 0x0B || stream[pos + 1] != 0x77) continue;
      const int32_t words = ac3test::FrameWords(&stream[pos]);
      if (words > 0 && pos + size_t(2 * words) <= stream.size()) ac3test::FixFrameCrcs(&stream[pos], words);
    }
  }
  static const int32_t kCapacity[8] = {131072, 18432, 18430, 6144, 3072, 512, 1, 0};
  const int32_t capacity = kCapacity[control2 & 7];
  // Exactly the capacity, so that a write past it is caught.
  std::vector<int16_t> out(size_t(capacity + 1) / 2);
  std::vector<int16_t> spare(1);

  AC3DecState* dec = AC3DecInitLib();
  if (!dec) return 0;
  size_t pos = 0;
  for (int frame = 0; frame < 64 && pos < stream.size(); ++frame) {
    ac3decInfo info = {};
    info.pInput = stream.data() + pos;
    info.nInputBytes = int32_t(stream.size() - pos);
    AC3DecGetInputInfoLib(dec, &info);
    const int32_t layout = (control >> 1) & 15;
    info.outFollowsStream = layout >= 8 ? 1 : 0;
    info.outChannelConfig = layout;
    info.stereoMode = (control >> 5) & 1;
    info.dynamicRange = (control >> 6) & 1;
    info.heavyCompression = (control >> 7) & 1;
    info.dialogNormalization = (control2 >> 3) & 1;
    info.nOutputCapacity = capacity;
    info.pOutput = out.empty() ? spare.data() : out.data();
    const int32_t rc = AC3DecodeAFrameLib(dec, &info);
    if (info.nOutputBytes < 0 || info.nOutputBytes > capacity) __builtin_trap();
    if (rc == 0 && info.nInputBytesUsed <= 0) __builtin_trap();
    // After a failure, go on behind the sync word that failed, as a caller
    // resynchronising would.
    const size_t step = rc == 0 ? size_t(info.nInputBytesUsed) : 1;
    pos += step;
  }
  AC3DecCloseLib(dec);
  return 0;
}
