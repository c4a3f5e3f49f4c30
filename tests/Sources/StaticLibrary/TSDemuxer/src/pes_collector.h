// Runs the stream call over a whole file image the way the components do
// (chunks offered only after a status with the need-input bit, length 0
// otherwise) and records every PES it reports.
#pragma once

#include "TSDemuxer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace demuxtest {

struct PesRecord {
  char kind;  // 'v' or 'a'
  int32_t size;
  uint16_t bPTS;
  int64_t PTS;
  uint16_t bDTS;
  int64_t DTS;
  bool drained;  // the last PES, counted when the input ran out (no time stamps reported)
  uint32_t status;
};

// Collects the PES of `data` fed in chunks of `chunk` bytes. Ends at the first
// status that is neither a report, "consumed", "held" nor "need input"
// (stored in *badStatus, else 0).
std::vector<PesRecord> collect_pes(const std::vector<uint8_t>& data, size_t chunk, uint32_t* badStatus = nullptr);

// The same PES as ffprobe reports them: "v|a SIZE PTS DTS" lines.
struct ExpectedPes {
  char kind;
  int32_t size;
  int64_t PTS;
  int64_t DTS;
};
std::vector<ExpectedPes> read_expectations(const std::string& path);

}  // namespace demuxtest
