// mtsinfo FILE: a quick look at an AVCHD transport stream of 192-byte source
// packets: packet count, and per PID the number of packets and of payload
// unit starts, with the stream types the program map gives.
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

namespace {

struct PidCount {
  uint64_t packets = 0;
  uint64_t unitStarts = 0;
  int streamType = -1;
};

// Reads the elementary-stream loop of a program map section that starts in
// one packet (enough for a recording's short program map).
void read_program_map(const uint8_t* payload, size_t size, std::map<int, PidCount>& pids) {
  if (size < 1) return;
  size_t pos = 1 + payload[0];  // pointer_field
  if (pos + 12 > size || payload[pos] != 0x02) return;
  size_t sectionLength = ((payload[pos + 1] & 0x0f) << 8) | payload[pos + 2];
  size_t end = pos + 3 + sectionLength - 4;  // CRC excluded
  if (end > size) end = size;
  size_t programInfoLength = ((payload[pos + 10] & 0x0f) << 8) | payload[pos + 11];
  size_t p = pos + 12 + programInfoLength;
  while (p + 5 <= end) {
    int type = payload[p];
    int pid = ((payload[p + 1] & 0x1f) << 8) | payload[p + 2];
    size_t infoLength = ((payload[p + 3] & 0x0f) << 8) | payload[p + 4];
    pids[pid].streamType = type;
    p += 5 + infoLength;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mtsinfo FILE.MTS\n");
    return 2;
  }
  FILE* f = std::fopen(argv[1], "rb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  std::map<int, PidCount> pids;
  std::vector<int> programMapPids;
  uint8_t packet[192];
  uint64_t count = 0, lost = 0;
  while (std::fread(packet, 1, 192, f) == 192) {
    ++count;
    const uint8_t* ts = packet + 4;
    if (ts[0] != 0x47) {
      ++lost;
      continue;
    }
    int pid = ((ts[1] & 0x1f) << 8) | ts[2];
    bool start = ts[1] & 0x40;
    PidCount& c = pids[pid];
    ++c.packets;
    if (start) ++c.unitStarts;
    int afc = (ts[3] >> 4) & 3;
    size_t offset = 4;
    if (afc & 2) offset += 1 + ts[4];
    if (!(afc & 1) || offset >= 188) continue;
    const uint8_t* payload = ts + offset;
    size_t size = 188 - offset;
    if (pid == 0 && start && size > 16) {
      // Program association: remember the program map PIDs.
      size_t pos = 1 + payload[0];
      if (pos + 8 <= size) {
        size_t sectionLength = ((payload[pos + 1] & 0x0f) << 8) | payload[pos + 2];
        for (size_t p = pos + 8; p + 4 <= pos + 3 + sectionLength - 4 && p + 4 <= size; p += 4) {
          int program = (payload[p] << 8) | payload[p + 1];
          if (program != 0) programMapPids.push_back(((payload[p + 2] & 0x1f) << 8) | payload[p + 3]);
        }
      }
    }
    for (int pm : programMapPids)
      if (pid == pm && start) read_program_map(payload, size, pids);
  }
  std::fclose(f);
  std::printf("%s: %llu source packets of 192 bytes", argv[1], (unsigned long long)count);
  if (lost) std::printf(", %llu without sync byte", (unsigned long long)lost);
  std::printf("\n");
  for (const auto& [pid, c] : pids) {
    std::printf("  PID 0x%04x: %8llu packets, %6llu unit starts", pid, (unsigned long long)c.packets,
                (unsigned long long)c.unitStarts);
    if (c.streamType >= 0) std::printf(", stream type 0x%02x", c.streamType);
    std::printf("\n");
  }
  return 0;
}
