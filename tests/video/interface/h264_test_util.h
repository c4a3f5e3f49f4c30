// Helpers of the syntax-layer tests: a bit writer for hand-made RBSPs, Annex B
// framing with emulation prevention, the NAL units of a buffer as the parser
// delivers them, and the video PES payloads of an AVCHD transport stream.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "annexb.h"
#include "bitstream.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "sei.h"

namespace h264test {

class BitWriter {
 public:
  void bits(uint64_t value, int n) {
    for (int i = n - 1; i >= 0; --i) bit(static_cast<uint32_t>((value >> i) & 1u));
  }
  void bit(uint32_t b) {
    if (used_ == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80u >> used_);
    used_ = (used_ + 1) & 7;
  }
  void ue(uint64_t v) {
    const uint64_t code = v + 1;
    int len = 0;
    while ((code >> len) > 1) ++len;
    bits(0, len);
    bits(code, len + 1);
  }
  void se(int64_t v) { ue(v > 0 ? 2 * static_cast<uint64_t>(v) - 1 : 2 * static_cast<uint64_t>(-v)); }
  void byte(uint8_t b) { bits(b, 8); }
  // rbsp_trailing_bits
  void trailing() {
    bit(1);
    while (used_ != 0) bit(0);
  }
  bool aligned() const { return used_ == 0; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

// A NAL unit in Annex B form: start code, header byte, payload with
// emulation-prevention bytes inserted.
inline std::vector<uint8_t> annexb_unit(uint8_t header, const std::vector<uint8_t>& rbsp, bool longStartCode = true) {
  std::vector<uint8_t> out;
  if (longStartCode) out.push_back(0);
  out.insert(out.end(), {0, 0, 1, header});
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

inline void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
  out.insert(out.end(), more.begin(), more.end());
}

// RBSP bytes of a payload in the parser's word order.
inline std::vector<uint8_t> rbsp_bytes(const uint8_t* payload, uint32_t length) {
  std::vector<uint8_t> out(length);
  for (uint32_t k = 0; k < length; ++k) out[k] = payload[rbsp_byte_offset(k)];
  return out;
}

struct Unit {
  uint32_t type = 0;
  uint8_t refIdc = 0;
  std::vector<uint8_t> rbsp;
  bool operator==(const Unit& o) const { return type == o.type && refIdc == o.refIdc && rbsp == o.rbsp; }
};

// Runs the Annex B parser over `data` in pieces of `piece` bytes (0: whole)
// and collects every NAL unit it delivers. The last unit ends with the input.
std::vector<Unit> parse_units(const uint8_t* data, size_t size, size_t piece = 0);

// A scratch payload buffer for the parser, zeroed, with the reader's guard.
struct PayloadBuffer {
  explicit PayloadBuffer(uint32_t capacity);
  ~PayloadBuffer();
  PayloadBuffer(const PayloadBuffer&) = delete;
  PayloadBuffer& operator=(const PayloadBuffer&) = delete;
  NalUnit nal{};
};

// Puts an RBSP into a payload buffer in word order and points a reader at it.
struct RbspReader {
  explicit RbspReader(const std::vector<uint8_t>& rbsp);
  PayloadBuffer buffer;
  BitReaderCabac r{};
};

// A decoder state with parameter-set lists and one access unit (picture,
// frame buffer, timing record) whose SPS link follows the latest SPS.
struct SyntaxState {
  SyntaxState();
  ~SyntaxState();
  SyntaxState(const SyntaxState&) = delete;
  SyntaxState& operator=(const SyntaxState&) = delete;

  // Runs `parse` on a ThreadBuffer whose reader stands at the start of `rbsp`.
  template <typename F>
  int32_t run(const std::vector<uint8_t>& rbsp, F parse, uint32_t* overrun = nullptr) {
    RbspReader r(rbsp);
    ThreadBuffer tb;
    std::memset(static_cast<void*>(&tb), 0, sizeof(tb));
    tb.reader = r.r;
    tb.decoderState = &ds;
    const int32_t result = parse(&tb);
    if (overrun) *overrun = tb.reader.overrun;
    return result;
  }

  DecoderState ds;
  SequenceParameterSet spsHead;
  PictureParameterSet ppsHead;
  DecodedPicture pic;
  FrameBuffer fb;
  SeiRecord sei;
};

struct Pes {
  int64_t pts = -1;
  std::vector<uint8_t> data;  // PES payload: the Annex B access unit
};

// Video PES (PID 0x1011) of a file of 192-byte source packets, in file order.
std::vector<Pes> video_pes(const std::vector<uint8_t>& file, uint16_t pid = 0x1011);

}  // namespace h264test
