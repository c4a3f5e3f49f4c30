// What the AC-3 decoder tests share: a bit writer for synthetic bit streams,
// CRC repair of edited frames, whole-stream decoding through the public calls,
// and the PCM comparison against reference decodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AC3DecState.h"
#include "AC3Decoder.h"

namespace ac3test {

// A decoder instance for the length of a test.
struct Instance {
  AC3DecState* s = AC3DecInitLib();
  Instance() = default;
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
  ~Instance() { AC3DecCloseLib(s); }
  ac3dec::AC3AudioBlock& a() { return s->audblk; }
};

// MSB-first bit writer.
class BitWriter {
 public:
  void put(uint32_t value, int bits);
  void align();  // pads with zero bits to a byte boundary
  std::vector<uint8_t>& bytes() { return bytes_; }
  int64_t bit_count() const { return bits_; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t bits_ = 0;
};

// Recomputes crc1 and crc2 of the frame that starts at `frame` (sync word
// first) after its bytes were edited. `words` is the frame size in words.
void FixFrameCrcs(uint8_t* frame, int32_t words);

// Frame size in words of the frame at `frame` (valid sync information).
int32_t FrameWords(const uint8_t* frame);

// Splits a stream of back-to-back frames.
std::vector<std::vector<uint8_t>> SplitFrames(const std::vector<uint8_t>& stream);

// Result of decoding a stream frame by frame through the public calls.
struct Decoded {
  std::vector<int16_t> pcm;
  std::vector<int32_t> frameBytes;  // PCM bytes of each frame
  int32_t channels = 0;             // output channels of the last frame
  int32_t acmod = 0;                // of the last frame (from the query)
  int32_t lfeon = 0;
  int32_t sampleRate = 0;
  int32_t error = 0;  // first non-zero return, 0 when every frame decoded
};
// Decodes payloads (each holding one frame) in the stream's own layout.
Decoded DecodeFrames(const std::vector<std::vector<uint8_t>>& frames);
Decoded DecodeStream(const std::vector<uint8_t>& stream);

// AC-3 payloads of the audio PID of an AVCHD transport stream, in order, as
// the demultiplexer library delivers them.
std::vector<std::vector<uint8_t>> AudioPayloadsOfTransportStream(const std::vector<uint8_t>& ts);

// Reference decodes are in the order L R C LFE (then the surrounds); ours in
// the A/52 order (fronts L C R, then the surrounds, LFE last). Entry i is our
// channel index of reference channel i.
std::vector<int> ReferenceToOurs(int acmod, int lfeon);

struct ChannelDiff {
  int maxAbs = 0;
  double snrDb = 0;  // +inf when identical
};
// Per reference channel, after mapping; sizes must agree (checked by caller).
std::vector<ChannelDiff> CompareInterleaved(const std::vector<int16_t>& ours,
                                            const std::vector<int16_t>& ref,
                                            const std::vector<int>& refToOurs);

std::vector<int16_t> ReadS16(const std::string& path);

}  // namespace ac3test
