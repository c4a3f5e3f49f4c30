#include "importer_stream_kit.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace importer_test {
namespace {

class BitWriter {
 public:
  void u(int n, uint32_t v) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
  }
  void ue(uint32_t v) {
    uint32_t x = v + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    u(len, 0);
    u(len + 1, x);
  }
  void se(int32_t v) { ue(v > 0 ? uint32_t(2 * v - 1) : uint32_t(-2 * v)); }
  Bytes finish() {  // rbsp_trailing_bits
    bit(1);
    while (bits_ % 8) bit(0);
    return bytes_;
  }

 private:
  void bit(int b) {
    if (bits_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= uint8_t(0x80 >> (bits_ % 8));
    ++bits_;
  }
  Bytes bytes_;
  int bits_ = 0;
};

Bytes Nal(uint8_t header, const Bytes& rbsp) {
  Bytes out = {0, 0, 0, 1, header};
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

uint8_t Bcd(int v) { return uint8_t(((v / 10) << 4) | (v % 10)); }

void Append(Bytes& a, const Bytes& b) {
  // resize + copy rather than insert: GCC 12 at -O3 reports a false
  // out-of-bounds read inside vector::insert for small constant vectors.
  const size_t at = a.size();
  a.resize(at + b.size());
  if (!b.empty()) std::memcpy(a.data() + at, b.data(), b.size());
}

void PutTimestamp(Bytes& out, int marker, int64_t ts) {
  ts &= (int64_t(1) << 33) - 1;
  out.push_back(uint8_t((marker << 4) | ((ts >> 29) & 0x0E) | 1));
  out.push_back(uint8_t(ts >> 22));
  out.push_back(uint8_t(((ts >> 14) & 0xFE) | 1));
  out.push_back(uint8_t(ts >> 7));
  out.push_back(uint8_t(((ts << 1) & 0xFE) | 1));
}

}  // namespace

Bytes Sps(const SpsOptions& o) {
  BitWriter w;
  w.u(8, 77);  // Main profile: no chroma or scaling fields
  w.u(8, 0);
  w.u(8, 30);
  w.ue(0);  // seq_parameter_set_id
  w.ue(0);  // log2_max_frame_num_minus4
  w.ue(2);  // pic_order_cnt_type
  w.ue(1);  // num_ref_frames
  w.u(1, 0);
  w.ue(uint32_t(o.widthMbs - 1));
  w.ue(uint32_t(o.heightMapUnits - 1));
  w.u(1, o.frameMbsOnly);
  if (!o.frameMbsOnly) w.u(1, 1);  // mb_adaptive_frame_field_flag
  w.u(1, 1);                       // direct_8x8_inference_flag
  w.u(1, 0);                       // frame_cropping_flag
  const bool vui = o.timing || o.aspectRatioIdc >= 0;
  w.u(1, vui);
  if (vui) {
    w.u(1, o.aspectRatioIdc >= 0);
    if (o.aspectRatioIdc >= 0) {
      w.u(8, uint32_t(o.aspectRatioIdc));
      if (o.aspectRatioIdc == 255) {
        w.u(16, uint32_t(o.sarWidth));
        w.u(16, uint32_t(o.sarHeight));
      }
    }
    w.u(1, 0);  // overscan_info_present_flag
    w.u(1, 0);  // video_signal_type_present_flag
    w.u(1, 0);  // chroma_loc_info_present_flag
    w.u(1, o.timing);
    if (o.timing) {
      w.u(32, o.numUnitsInTick);
      w.u(32, o.timeScale);
      w.u(1, 1);
    }
    w.u(1, 0);  // nal_hrd_parameters_present_flag
    w.u(1, 0);  // vcl_hrd_parameters_present_flag
    w.u(1, 0);  // pic_struct_present_flag
    w.u(1, 0);  // bitstream_restriction_flag
  }
  return Nal(0x67, w.finish());
}

Bytes Pps() {
  BitWriter w;
  w.ue(0);
  w.ue(0);
  w.u(1, 0);
  w.u(1, 0);
  w.ue(0);
  w.ue(0);
  w.ue(0);
  w.u(1, 0);
  w.u(2, 0);
  w.se(0);
  w.se(0);
  w.se(0);
  w.u(1, 1);
  w.u(1, 0);
  w.u(1, 0);
  return Nal(0x68, w.finish());
}

Bytes Slice(int nalUnitType, int nalRefIdc, int sliceType) {
  BitWriter w;
  w.ue(0);  // first_mb_in_slice
  w.ue(uint32_t(sliceType));
  w.ue(0);  // pic_parameter_set_id
  w.u(4, 0);  // frame_num
  for (int i = 0; i < 40; ++i) w.u(8, 0x5A);  // stands in for slice data
  return Nal(uint8_t((nalRefIdc << 5) | nalUnitType), w.finish());
}

Bytes FieldSlice(int nalUnitType, int nalRefIdc, int sliceType, int frameNum, bool bottom) {
  BitWriter w;
  w.ue(0);  // first_mb_in_slice
  w.ue(uint32_t(sliceType));
  w.ue(0);  // pic_parameter_set_id
  w.u(4, uint32_t(frameNum));
  w.u(1, 1);  // field_pic_flag
  w.u(1, bottom);
  for (int i = 0; i < 40; ++i) w.u(8, 0x5A);  // stands in for the rest
  return Nal(uint8_t((nalRefIdc << 5) | nalUnitType), w.finish());
}

Bytes AccessUnitDelimiter() { return Nal(0x09, {0xF0}); }

Bytes CameraSei(int hours, int minutes, int seconds, int frames, bool drop, uint32_t modelCode) {
  static const uint8_t uuid[16] = {0x17, 0xEE, 0x8C, 0x60, 0xF8, 0x4D, 0x11, 0xD9,
                                   0x8C, 0xD6, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66};
  Bytes payload(uuid, uuid + 16);
  Append(payload, {'M', 'D', 'P', 'M', 4});
  Append(payload, {0x13, uint8_t(Bcd(frames) | (drop ? 0x40 : 0)), Bcd(seconds), Bcd(minutes), Bcd(hours)});
  Append(payload, {0x18, 0x20, 0x08, 0x12, 0x31});
  Append(payload, {0xE0, 0x01, 0x03, uint8_t(modelCode >> 8), uint8_t(modelCode)});
  Append(payload, {0xE1, 0x00, 0x00, 0x01, 0x00});
  Bytes rbsp = {5, uint8_t(payload.size())};
  Append(rbsp, payload);
  rbsp.push_back(0x80);
  return Nal(0x06, rbsp);
}

Bytes LpcmPayload(int channelAssignment, int frames, int channels, int bitsCode, uint8_t seed) {
  const int bytesPerSample = bitsCode == 1 ? 2 : 3;
  const int size = frames * channels * bytesPerSample;
  Bytes out = {uint8_t(size >> 8), uint8_t(size), uint8_t((channelAssignment << 4) | 1), uint8_t(bitsCode << 6)};
  for (int i = 0; i < size; ++i) out.push_back(uint8_t(seed + i * 7));
  return out;
}

void TsWriter::Pes(int pid, int streamId, const Bytes& payload, int64_t pts, int64_t dts) {
  Bytes pes = {0, 0, 1, uint8_t(streamId)};
  const int headerLength = dts >= 0 ? 10 : 5;
  const size_t pesLength = pid == kVideoPid ? 0 : 3 + headerLength + payload.size();
  pes.push_back(uint8_t(pesLength >> 8));
  pes.push_back(uint8_t(pesLength));
  pes.push_back(0x80);
  pes.push_back(dts >= 0 ? 0xC0 : 0x80);
  pes.push_back(uint8_t(headerLength));
  PutTimestamp(pes, dts >= 0 ? 3 : 2, pts);
  if (dts >= 0) PutTimestamp(pes, 1, dts);
  Append(pes, payload);

  size_t pos = 0;
  bool first = true;
  while (pos < pes.size()) {
    uint8_t packet[192] = {};
    uint8_t* ts = packet + 4;
    const size_t left = pes.size() - pos;
    ts[0] = 0x47;
    ts[1] = uint8_t((first ? 0x40 : 0) | (pid >> 8));
    ts[2] = uint8_t(pid);
    size_t room = 184;
    size_t at = 4;
    if (left < 184) {
      // Adaptation field of stuffing so that the payload ends the packet.
      const size_t afLength = 183 - left;
      ts[3] = uint8_t(0x30 | (cc_[pid] & 0x0F));
      ts[4] = uint8_t(afLength);
      if (afLength > 0) {
        ts[5] = 0;
        for (size_t i = 1; i < afLength; ++i) ts[5 + i] = 0xFF;
      }
      at = 5 + afLength;
      room = left;
    } else {
      ts[3] = uint8_t(0x10 | (cc_[pid] & 0x0F));
    }
    std::copy(pes.begin() + long(pos), pes.begin() + long(pos + room), ts + at);
    pos += room;
    cc_[pid] = uint8_t(cc_[pid] + 1);
    first = false;
    out_.insert(out_.end(), packet, packet + 192);
  }
}

std::vector<Picture> GopPattern(int gops) {
  // Decode order of one group: I P b b P b b P b b P b b with display
  // positions 0 3 1 2 6 4 5 9 7 8 12->11 ... (closed: the last two b pictures
  // precede the group's last P picture).
  static const Picture group[12] = {{'I', 0}, {'P', 3}, {'b', 1}, {'b', 2},  {'P', 6},  {'b', 4},
                                    {'b', 5}, {'P', 9}, {'b', 7}, {'b', 8}, {'P', 11}, {'b', 10}};
  std::vector<Picture> out;
  for (int g = 0; g < gops; ++g)
    for (const Picture& p : group) out.push_back({p.type, p.display + 12 * g});
  return out;
}

Bytes MakeStream(const StreamOptions& o) {
  TsWriter w;
  const int64_t pts0 = o.firstPts;
  const int64_t audioStep = 240 * 90000 / 48000;  // 450 ticks per PES
  int64_t nextAudio = pts0 - 2 * audioStep;
  const int n = int(o.pictures.size());
  int audioIndex = 0;
  for (int k = 0; k < n; ++k) {
    const Picture& p = o.pictures[k];
    const int64_t dts = pts0 + int64_t(k - 1) * o.frameTicks;
    const int64_t pts = pts0 + int64_t(p.display) * o.frameTicks;
    // Audio up to this picture's decode time.
    while (o.audio && nextAudio < dts + o.frameTicks) {
      w.Audio(LpcmPayload(3, 240, 2, 1, uint8_t(audioIndex++)), nextAudio);
      nextAudio += audioStep;
    }
    if (!o.video) continue;
    Bytes au = AccessUnitDelimiter();
    if (p.type == 'I' || k == 0) {
      Append(au, Sps(o.sps));
      Append(au, Pps());
    }
    if (o.camera) {
      const int f = o.timecodeStart + p.display;
      Append(au, CameraSei(f / 90000 % 24, f / 1500 % 60, f / 25 % 60, f % 25, false));
    }
    switch (p.type) {
      case 'I': Append(au, Slice(5, 3, 7)); break;
      case 'i': Append(au, Slice(1, 3, 7)); break;
      case 'P': Append(au, Slice(1, 2, 5)); break;
      case 'B': Append(au, Slice(1, 2, 6)); break;
      default: Append(au, Slice(1, 0, 6)); break;
    }
    w.Video(au, pts, dts);
  }
  return w.bytes();
}

namespace {

// Files written for a test stay until the process ends (the importer's data
// references and later reads name them), then are removed.
struct TempFiles {
  std::vector<std::string> paths;
  ~TempFiles() {
    for (const std::string& p : paths) ::unlink(p.c_str());
  }
};

TempFiles& Written() {
  static TempFiles files;
  return files;
}

}  // namespace

std::string WriteTempFile(const std::string& name, const Bytes& bytes) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/importer_" + std::to_string(getpid()) + "_" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  std::vector<std::string>& paths = Written().paths;
  if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  return path;
}

}  // namespace importer_test
