#include "stream_index.h"

#include "MTS_DataHandler.h"

namespace streamindex {

std::vector<Pes> read_pes(const std::vector<uint8_t>& file) {
  std::vector<Pes> all;
  long current[2] = {-1, -1};  // open PES of audio, video
  for (size_t at = 0; at + 192 <= file.size(); at += 192) {
    const uint8_t* p = file.data() + at + 4;
    if (p[0] != 0x47) continue;
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    if (pid != 0x1011 && pid != 0x1100) continue;
    bool video = pid == 0x1011;
    bool start = (p[1] & 0x40) != 0;
    int afc = (p[3] >> 4) & 3;
    size_t offset = 4;
    if (afc == 2) continue;  // no payload
    if (afc == 3) offset += 1 + p[4];
    if (offset >= 188) continue;
    const uint8_t* payload = p + offset;
    size_t length = 188 - offset;
    if (start) {
      // PES header: start code, stream id, length, flags, header length.
      if (length < 9) continue;
      size_t header = 9 + payload[8];
      if (header > length) continue;
      Pes pes;
      pes.video = video;
      pes.firstPacket = static_cast<int64_t>(at);
      auto clock = [](const uint8_t* c) {
        return (int64_t(c[0] >> 1) & 7) << 30 | int64_t(c[1]) << 22 | int64_t(c[2] >> 1) << 15 |
               int64_t(c[3]) << 7 | int64_t(c[4] >> 1);
      };
      const int flags = payload[7] >> 6;
      if ((flags & 2) && header >= 14) pes.pts = clock(payload + 9);
      pes.dts = (flags == 3 && header >= 19) ? clock(payload + 14) : pes.pts;
      pes.payload.assign(payload + header, payload + length);
      current[video] = static_cast<long>(all.size());
      all.push_back(std::move(pes));
    } else if (current[video] >= 0) {
      std::vector<uint8_t>& b = all[static_cast<size_t>(current[video])].payload;
      b.insert(b.end(), payload, payload + length);
    }
  }
  return all;
}

namespace {

void strip_trailing_zeros(std::vector<uint8_t>* unit) {
  while (!unit->empty() && unit->back() == 0) unit->pop_back();
}

bool kept_type(int type) { return type == 1 || (type >= 5 && type <= 9); }

}  // namespace

std::vector<std::vector<uint8_t>> nal_units(const uint8_t* data, size_t size) {
  std::vector<size_t> starts;  // first byte after each prefix
  for (size_t i = 0; i + 3 <= size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  std::vector<std::vector<uint8_t>> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : size;
    if (starts[k] >= end) continue;
    std::vector<uint8_t> unit(data + starts[k], data + end);
    strip_trailing_zeros(&unit);
    if (!unit.empty() && kept_type(unit[0] & 0x1F)) units.push_back(std::move(unit));
  }
  return units;
}

bool length_prefixed_units(const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>* units) {
  units->clear();
  size_t at = 0;
  while (at < size) {
    if (size - at < 4) return false;
    size_t n = (size_t(data[at]) << 24) | (size_t(data[at + 1]) << 16) | (size_t(data[at + 2]) << 8) | data[at + 3];
    at += 4;
    if (n > size - at) return false;
    std::vector<uint8_t> unit(data + at, data + at + n);
    strip_trailing_zeros(&unit);
    units->push_back(std::move(unit));
    at += n;
  }
  return true;
}

std::vector<Sample> layout(const std::vector<Pes>& pes, int64_t ac3FrameBytes) {
  std::vector<Sample> samples;
  int64_t next = 0;
  bool seen[2] = {false, false};
  std::vector<uint8_t> converted;
  for (size_t i = 0; i < pes.size(); ++i) {
    const Pes& p = pes[i];
    Sample s;
    s.kind = p.video ? kAvchdDataRefVideo : kAvchdDataRefSound;
    s.qt_offset = next;
    s.pes = i;
    s.value = seen[p.video] ? p.firstPacket - 192 : 0;
    seen[p.video] = true;
    if (p.video) {
      converted.resize(2 * p.payload.size() + 1);
      s.size = MTS_copy_buffer(converted.data(), p.payload.data(), static_cast<int>(p.payload.size()));
    } else if (p.payload.size() >= 2 && p.payload[0] == 0x0B && p.payload[1] == 0x77) {
      s.size = ac3FrameBytes;
    } else {
      s.size = static_cast<int64_t>(p.payload.size()) - 4;
    }
    next += s.size;
    samples.push_back(s);
  }
  return samples;
}

bool fill_index(AvchdRecordDirectory* dir, AvchdDataRecord* rec, const std::vector<Sample>& samples) {
  for (const Sample& s : samples) {
    if (MTS_PutFrameOffset(dir, rec, s.qt_offset, s.value) != 0) return false;
  }
  return true;
}

}  // namespace streamindex
