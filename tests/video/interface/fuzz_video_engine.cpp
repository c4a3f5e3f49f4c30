// Fuzz target: whole decoder instances over mutated streams, fed in pieces
// of a size taken from the input, through the library calls only. A decoder
// that stalls must be seen: its own wait is longer than the time libFuzzer
// gives one input (-timeout), and a wait that timed out all the same aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AVCHDVideoDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  const uint32_t chunk = 16u + 64u * data[0];
  const uint8_t threads = static_cast<uint8_t>(1 + (data[1] & 3));
  data += 2;
  size -= 2;
  VideoDecoderParams p;
  if (AVCHDGetVideoDecoderInfoLib(&p, data, static_cast<int32_t>(size)) != 0) {
    std::memset(&p, 0, sizeof(p));
    p.codedWidth = p.outputWidth = 176;
    p.codedHeight = p.outputHeight = 144;
  }
  if (static_cast<uint32_t>(p.codedWidth) * p.codedHeight > 1920u * 1088u) return 0;
  p.outputFormat = threads & 3;
  p.threads = threads;
  p.timeoutMs = 60000;
  p.flags = 0;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  if (!dec) return 0;
  std::vector<uint8_t> out(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&p)) + 16);
  size_t fed = 0;
  int32_t eos = 0;
  uint32_t take = static_cast<uint32_t>(size < chunk ? size : chunk);
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, out.data(), data, take, 0, 0);
  fed = take;
  for (int calls = 0; calls < 100000; ++calls) {
    if (st & (kStatusError | kStatusEndOfStream)) break;
    const uint8_t* in = nullptr;
    take = 0;
    if (st & kStatusNeedInput) {
      take = static_cast<uint32_t>(size - fed < chunk ? size - fed : chunk);
      in = take ? data + fed : nullptr;
      fed += take;
      if (take == 0) eos = 1;
    }
    st = AVCHDDecodeVideoStreamLib(dec, out.data(), in, take, eos, 0);
  }
  if ((st & kStatusError) && AVCHDVideoDecoderGetErrorCodeLib(dec) == kVideoErrorTimeout) std::abort();
  if (st & kStatusError) AVCHDResetVideoDecoderLib(dec);
  AVCHDCloseVideoDecoderLib(dec);
  return 0;
}
