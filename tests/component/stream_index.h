// An independent look at an AVCHD transport stream for the data handler
// tests: its PES payloads per stream, cut by a small parser of our own, and
// the frame index an importer would build for them.
#pragma once

#include "MTS_SharedMemory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace streamindex {

struct Pes {
  bool video = false;
  int64_t firstPacket = 0;       // file offset of the source packet holding its start
  int64_t pts = -1, dts = -1;    // dts = pts when only a PTS is coded
  std::vector<uint8_t> payload;  // the PES payload (after the PES header)
};

// Every PES on the video (0x1011) and audio (0x1100) PIDs, in the order their
// first packets appear. The last PES of each stream ends with the file.
std::vector<Pes> read_pes(const std::vector<uint8_t>& file);

// NAL units of an Annex B byte stream by the standard's rule (00 00 01
// prefixes; a unit ends before the next prefix), trailing zero bytes removed,
// keeping only types 1, 5, 6, 7, 8 and 9.
std::vector<std::vector<uint8_t>> nal_units(const uint8_t* data, size_t size);

// Units of a length-prefixed buffer (4-byte big-endian lengths), trailing zero
// bytes removed; false when the lengths do not tile the buffer.
bool length_prefixed_units(const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>* units);

struct Sample {
  int kind = 0;        // kAvchdDataRefSound or kAvchdDataRefVideo
  int64_t qt_offset = 0;
  int64_t size = 0;    // bytes the data handler delivers for it
  int64_t value = 0;   // the file offset the index maps it to
  size_t pes = 0;      // index into the PES list
};

// Lays the samples out as an importer does: consecutive qt_offset ranges in
// the order of the PES, each mapped to the packet before its first packet (0
// for the first sample of each stream). Video sizes come from the length
// conversion, LPCM sizes are the payload less its 4-byte header, AC-3 sizes
// `ac3FrameBytes`.
std::vector<Sample> layout(const std::vector<Pes>& pes, int64_t ac3FrameBytes);

// Enters the samples into a record's frame index; false when one fails.
bool fill_index(AvchdRecordDirectory* dir, AvchdDataRecord* rec, const std::vector<Sample>& samples);

}  // namespace streamindex
