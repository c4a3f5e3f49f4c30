// Fuzzes the stream call the way the components drive it, and the packet and
// stream-information calls on the same bytes.
//
// Input: one control byte, then source packets. Control bit 0 puts the sync
// byte in place in every source packet (so that the parser goes deeper than
// the sync check); bits 1..3 choose the size of the chunks offered.
#include "TSDemuxer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  std::vector<uint8_t> stream(data + 1, data + size);
  if (control & 1) {
    for (size_t pos = 4; pos < stream.size(); pos += kTSSourcePacketSize) stream[pos] = 0x47;
  }
  static const size_t kChunks[8] = {192, 0x2d000, 192 * 7, 1000, 188, 0x2ffff, 0x30000, 192 * 1024};
  const size_t chunk = kChunks[(control >> 1) & 7];

  TSDemuxContext* ctx = TSOpenDemuxLib();
  if (ctx == nullptr) return 0;
  TSDemuxOutput out;
  std::memset(&out, 0, sizeof out);
  out.status = kTSStatusNeedInput;
  size_t position = 0;
  const uint8_t none = 0;
  uint64_t checksum = 0;
  for (int calls = 0; calls < 1 << 20; ++calls) {
    uint32_t status;
    if (out.status & kTSStatusNeedInput) {
      size_t n = stream.size() - position < chunk ? stream.size() - position : chunk;
      if (n == 0) break;
      status = TSDemuxStreamLib(stream.data() + position, int32_t(n), &out, ctx);
      position += n;
    } else {
      status = TSDemuxStreamLib(&none, 0, &out, ctx);
    }
    // Touch every byte reported, so that a size beyond the buffer shows.
    if (status & kTSStatusVideo)
      for (int32_t i = 0; i < out.videoSize; i += 97) checksum += out.pVideo[i];
    if (status & kTSStatusAudio)
      for (int32_t i = 0; i < out.audioSize; ++i) checksum += out.pAudio[i];
    if (out.videoSize < 0 || out.videoSize > kTSVideoBufferSize || out.audioSize < 0 ||
        out.audioSize > kTSAudioBufferSize)
      __builtin_trap();
  }
  TSCloseDemuxLib(ctx);

  for (size_t pos = 0; pos + kTSSourcePacketSize <= stream.size() && pos < 64 * 192; pos += kTSSourcePacketSize) {
    TSDemuxPacketInfo rec;
    if (TSDemuxPacketLib(stream.data() + pos, kTSSourcePacketSize, &rec) && rec.payloadSize > 0) {
      if (rec.payloadSize > kTSPayloadAreaSize) __builtin_trap();
      checksum += rec.pPayload[rec.payloadSize - 1];
    }
  }
  int32_t info[kStreamInfoWords];
  TSGetStreamInfoLib(info, stream.data(), int32_t(stream.size()));
  return checksum == 0x123456789ull ? 1 : 0;
}
