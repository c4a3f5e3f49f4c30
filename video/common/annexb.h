// Annex B byte-stream parser: finds start codes, reads the NAL unit header,
// strips the emulation-prevention bytes and stores the payload of the NAL
// units it is asked for, laid out in the bit reader's word order. Input
// may stop anywhere, inside a unit or a start code: the parser keeps its
// place and goes on with whatever chunk it is handed next.
#pragma once

#include <cstdint>

struct DecoderState;

// Size of a decode task's payload buffer.
constexpr uint32_t kNalPayloadBufferSize = 4687500;

struct NalUnit {
  uint32_t nal_unit_type;  // low five bits of the latest header byte
  uint8_t nal_ref_idc;     // written for types 1, 5, 7 and 8 only
  uint8_t* payload;        // RBSP, each four-byte group byte-reversed
  uint32_t length;         // RBSP bytes copied so far
  uint32_t capacity;       // RBSP bytes the buffer holds (a multiple of 4); the
                           // buffer has 4 more readable bytes for the reader.
                           // Bytes of a longer unit are dropped.
};

// Payload buffer size for a capacity of `rbspBytes`: whole words plus the word
// the reader may load after the payload, and never below the 8 bytes that a
// parameter-set id peek can touch.
inline uint32_t nal_payload_allocation(uint32_t rbspBytes) {
  const uint32_t words = (rbspBytes < 4u ? 4u : (rbspBytes + 3u) & ~3u);
  return words + 4u;
}

// Result codes of the parser.
enum : int32_t {
  kAnnexBUnitReady = 0,   // a complete wanted NAL unit is in the NalUnit
  kAnnexBNeedInput = 7,   // input used up, nothing pending
  kAnnexBPending = 8,     // input used up inside a unit or a start code
};

int32_t ByteStreamParser_AnnexB(DecoderState* ds, NalUnit* nal);

// Offset in the payload of RBSP byte k.
inline uint32_t rbsp_byte_offset(uint32_t k) { return 4u * (k / 4u) + 3u - (k % 4u); }

// Reads one ue(v) code whose first bit is the top bit of the payload byte p
// points to; no bit reader is involved. The payload must start 4-byte aligned.
// Codes with
// more than 16 leading zeros yield 0xFFFFFFFF.
uint32_t GetParameterSetID(const uint8_t* p);
