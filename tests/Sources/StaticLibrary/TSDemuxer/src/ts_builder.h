// Builds source packets and PES headers for the demultiplexer tests.
#pragma once

#include <cstdint>
#include <vector>

namespace demuxtest {

using Bytes = std::vector<uint8_t>;

// 5 bytes of a PES time stamp with the given 4-bit prefix and marker bits.
inline void put_clock(uint8_t* p, uint8_t prefix, int64_t t) {
  p[0] = uint8_t(prefix << 4 | ((t >> 29) & 0x0E) | 1);
  p[1] = uint8_t(t >> 22);
  p[2] = uint8_t(((t >> 14) & 0xFE) | 1);
  p[3] = uint8_t(t >> 7);
  p[4] = uint8_t(((t << 1) & 0xFE) | 1);
}

// PES header: start code, stream id, length 0, flags, then the time stamps
// (pts < 0: none; dts < 0: PTS only). With extensionLength >= 0 a PES
// extension with PES_extension_flag_2 and that many bytes follows (as AVCHD
// AC-3 streams carry stream_id_extension).
inline Bytes pes_header(uint8_t streamId, int64_t pts, int64_t dts = -1, int extensionLength = -1,
                        int stuffing = 0) {
  Bytes h = {0x00, 0x00, 0x01, streamId, 0x00, 0x00, 0x80, 0x00, 0x00};
  uint8_t flags = pts < 0 ? 0 : dts < 0 ? 2 : 3;
  h[7] = uint8_t(flags << 6 | (extensionLength >= 0 ? 1 : 0));
  if (flags >= 2) {
    h.resize(h.size() + 5);
    put_clock(&h[h.size() - 5], flags == 3 ? 3 : 2, pts);
  }
  if (flags == 3) {
    h.resize(h.size() + 5);
    put_clock(&h[h.size() - 5], 1, dts);
  }
  if (extensionLength >= 0) {
    h.push_back(0x01);  // PES_extension_flag_2 only
    h.push_back(uint8_t(0x80 | extensionLength));
    for (int i = 0; i < extensionLength; ++i) h.push_back(0x71);
  }
  for (int i = 0; i < stuffing; ++i) h.push_back(0xFF);
  h[8] = uint8_t(h.size() - 9);
  return h;
}

// One 192-byte source packet carrying `payload` (at most 184 bytes); a shorter
// payload is preceded by adaptation-field stuffing.
inline Bytes source_packet(uint32_t pid, bool pusi, const Bytes& payload, uint8_t continuity = 0) {
  Bytes p(192, 0);
  p[0] = 0x12;  // arrival time stamp, not read
  p[4] = 0x47;
  p[5] = uint8_t((pusi ? 0x40 : 0) | ((pid >> 8) & 0x1F));
  p[6] = uint8_t(pid);
  size_t n = payload.size() > 184 ? 184 : payload.size();
  if (n == 184) {
    p[7] = uint8_t(0x10 | (continuity & 0x0F));
  } else {
    p[7] = uint8_t(0x30 | (continuity & 0x0F));
    p[8] = uint8_t(183 - n);  // adaptation_field_length
    if (p[8] > 0) p[9] = 0x00;
    for (size_t i = 10; i < 192 - n; ++i) p[i] = 0xFF;
  }
  for (size_t i = 0; i < n; ++i) p[192 - n + i] = payload[i];
  return p;
}

// Source packets of one PES: header + data, cut into packets.
inline Bytes pes_packets(uint32_t pid, const Bytes& header, const Bytes& data) {
  Bytes all = header;
  all.insert(all.end(), data.begin(), data.end());
  Bytes out;
  for (size_t pos = 0; pos < all.size(); pos += 184) {
    size_t n = all.size() - pos < 184 ? all.size() - pos : 184;
    Bytes piece(all.begin() + long(pos), all.begin() + long(pos + n));
    Bytes pkt = source_packet(pid, pos == 0, piece, uint8_t(pos / 184));
    out.insert(out.end(), pkt.begin(), pkt.end());
  }
  return out;
}

inline Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
  return b;
}

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

}  // namespace demuxtest
