// Internal: the part of a transport packet's parse that the stream call needs
// (PID, unit start, where the payload starts, PES time stamps), without the
// program-map and clock fields and without copying the payload.
#pragma once

#include <cstdint>

struct ATSPacketInfo;

namespace tsdemux {

struct PacketLayout {
  uint32_t pid;
  uint32_t pusi;
  uint32_t payloadOffset;  // within the 184-byte area, never above 184
  uint32_t streamId;       // audio PES start only
  uint16_t bPTS;
  uint16_t bDTS;
  int64_t PTS;
  int64_t DTS;
};

// Reads the header of the 188-byte packet (sync byte already checked) and, for
// the video and audio PIDs, the PES header of a unit start. Offsets that would
// reach past the packet are clamped to it; time stamps whose bytes lie past
// the packet are not reported.
void read_packet_layout(const uint8_t* packet, PacketLayout* layout);

// Program-map fields at the fixed offsets of an AVCHD program map.
void read_program_map(const uint8_t* packet, ATSPacketInfo* info);

// Program clock reference of a clock packet (adaptation field only).
void read_clock_reference(const uint8_t* packet, ATSPacketInfo* info);

inline uint32_t read_be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace tsdemux
