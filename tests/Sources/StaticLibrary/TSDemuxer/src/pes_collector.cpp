#include "pes_collector.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace demuxtest {

std::vector<PesRecord> collect_pes(const std::vector<uint8_t>& data, size_t chunk, uint32_t* badStatus) {
  std::vector<PesRecord> records;
  TSDemuxContext* ctx = TSOpenDemuxLib();
  if (ctx == nullptr) return records;
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  size_t position = 0;
  if (badStatus) *badStatus = 0;
  const uint8_t dummy = 0;
  for (;;) {
    uint32_t status;
    if (out.status & kTSStatusNeedInput) {
      size_t n = std::min(chunk, data.size() - position);
      if (n == 0) break;
      status = TSDemuxStreamLib(data.data() + position, int32_t(n), &out, ctx);
      position += n;
    } else {
      status = TSDemuxStreamLib(&dummy, 0, &out, ctx);
    }
    if (status & kTSStatusVideo)
      records.push_back({'v', out.videoSize, out.bPTS, out.PTS, out.bDTS, out.DTS, false, status});
    if (status & kTSStatusAudio)
      records.push_back({'a', out.audioSize, out.bPTS, out.PTS, out.bDTS, out.DTS, false, status});
    uint32_t rest = status & ~(kTSStatusVideo | kTSStatusAudio | kTSStatusHeld | kTSStatusNeedInput);
    if (rest != 0) {
      if (badStatus) *badStatus = status;
      break;
    }
  }
  // Drained: what is still assembled is the last PES of each stream.
  if (out.videoSize > 0) records.push_back({'v', out.videoSize, 0, 0, 0, 0, true, out.status});
  if (out.audioSize > 0) records.push_back({'a', out.audioSize, 0, 0, 0, 0, true, out.status});
  TSCloseDemuxLib(ctx);
  return records;
}

std::vector<ExpectedPes> read_expectations(const std::string& path) {
  std::vector<ExpectedPes> expected;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    ExpectedPes e{};
    if (fields >> e.kind >> e.size >> e.PTS >> e.DTS) expected.push_back(e);
  }
  return expected;
}

}  // namespace demuxtest
