#include "h264_test_util.h"

#include <cstdlib>

namespace h264test {

PayloadBuffer::PayloadBuffer(uint32_t capacity) {
  const uint32_t bytes = nal_payload_allocation(capacity);
  void* p = nullptr;
  if (posix_memalign(&p, 16, bytes) != 0) std::abort();
  std::memset(p, 0, bytes);
  nal.payload = static_cast<uint8_t*>(p);
  nal.capacity = bytes - 4;
}

PayloadBuffer::~PayloadBuffer() { std::free(nal.payload); }

RbspReader::RbspReader(const std::vector<uint8_t>& rbsp) : buffer(static_cast<uint32_t>(rbsp.size())) {
  for (size_t k = 0; k < rbsp.size(); ++k) buffer.nal.payload[rbsp_byte_offset(static_cast<uint32_t>(k))] = rbsp[k];
  buffer.nal.length = static_cast<uint32_t>(rbsp.size());
  bs_init(&r, buffer.nal.payload, buffer.nal.length);
}

SyntaxState::SyntaxState() {
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  std::memset(static_cast<void*>(&pic), 0, sizeof(pic));
  std::memset(static_cast<void*>(&fb), 0, sizeof(fb));
  std::memset(&sei, 0, sizeof(sei));
  InitSequenceParameterSetHead(&spsHead);
  InitPictureParameterSetHead(&ppsHead);
  ds.spsList = &spsHead;
  ds.ppsList = &ppsHead;
  pic.frameBuffer = &fb;
  pic.picTiming = &sei;
  ds.currentPicture = &pic;
}

SyntaxState::~SyntaxState() {
  FreeSequenceParameterSets(&spsHead);
  FreePictureParameterSets(&ppsHead);
}

std::vector<Unit> parse_units(const uint8_t* data, size_t size, size_t piece) {
  std::vector<Unit> units;
  PayloadBuffer buffer(static_cast<uint32_t>(size) + 8);
  DecoderState ds;
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  size_t pos = 0;
  auto take = [&](const NalUnit& nal) {
    Unit u;
    u.type = nal.nal_unit_type;
    u.refIdc = nal.nal_ref_idc;
    u.rbsp = rbsp_bytes(nal.payload, nal.length);
    units.push_back(std::move(u));
  };
  while (pos < size) {
    const size_t n = piece == 0 ? size : std::min(piece, size - pos);
    ds.parseReadPtr = data + pos;
    ds.parseBytesLeft = static_cast<int32_t>(n);
    pos += n;
    // The last piece holds the end of the last unit.
    ds.wholeNalUnits = pos == size ? 1 : 0;
    for (;;) {
      const int32_t result = ByteStreamParser_AnnexB(&ds, &buffer.nal);
      if (result != kAnnexBUnitReady) break;
      take(buffer.nal);
    }
  }
  return units;
}

std::vector<Pes> video_pes(const std::vector<uint8_t>& file, uint16_t pid) {
  std::vector<Pes> out;
  Pes current;
  bool open = false;
  for (size_t off = 0; off + 192 <= file.size(); off += 192) {
    const uint8_t* ts = file.data() + off + 4;
    if (ts[0] != 0x47) continue;
    const uint16_t packetPid = static_cast<uint16_t>(((ts[1] & 0x1F) << 8) | ts[2]);
    if (packetPid != pid) continue;
    const bool start = (ts[1] & 0x40) != 0;
    const int adaptation = (ts[3] >> 4) & 3;
    size_t p = 4;
    if (adaptation == 2 || adaptation == 0) continue;  // no payload
    if (adaptation == 3) p += 1 + ts[4];
    if (p >= 188) continue;
    if (start) {
      if (open) out.push_back(std::move(current));
      current = Pes();
      open = true;
      const uint8_t* h = ts + p;  // PES header
      const size_t headerLength = 9u + h[8];
      if ((h[7] & 0x80) != 0) {
        current.pts = (static_cast<int64_t>((h[9] >> 1) & 7) << 30) | (static_cast<int64_t>(h[10]) << 22) |
                      (static_cast<int64_t>(h[11] >> 1) << 15) | (static_cast<int64_t>(h[12]) << 7) | (h[13] >> 1);
      }
      p += headerLength;
      if (p > 188) continue;
    }
    if (open) current.data.insert(current.data.end(), ts + p, ts + 188);
  }
  if (open) out.push_back(std::move(current));
  return out;
}

}  // namespace h264test
