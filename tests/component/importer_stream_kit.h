// Builds small AVCHD-style transport streams for the importer's tests:
// parameter sets and slice headers written bit by bit, the camera's MDPM
// user-data SEI, LPCM audio, PES with chosen time stamps, 192-byte source
// packets on the fixed video and audio PIDs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace importer_test {

using Bytes = std::vector<uint8_t>;

struct SpsOptions {
  int widthMbs = 2;       // pic_width_in_mbs_minus1 + 1
  int heightMapUnits = 2; // pic_height_in_map_units_minus1 + 1
  bool frameMbsOnly = true;
  bool timing = true;
  uint32_t numUnitsInTick = 1;
  uint32_t timeScale = 50;
  int aspectRatioIdc = -1; // -1: no aspect ratio information
  int sarWidth = 0, sarHeight = 0;
};

// NAL units with a 4-byte start code and emulation prevention.
Bytes Sps(const SpsOptions& options);
Bytes Pps();
// A slice NAL unit: nal_unit_type 5 or 1, its nal_ref_idc and slice_type.
Bytes Slice(int nalUnitType, int nalRefIdc, int sliceType);
// A slice NAL unit of a field picture (a sequence parameter set without
// frame_mbs_only_flag): frame_num in 4 bits, then field_pic_flag 1 and the
// parity.
Bytes FieldSlice(int nalUnitType, int nalRefIdc, int sliceType, int frameNum, bool bottom);
Bytes AccessUnitDelimiter();
// The camera's user-data SEI with a time code (hh, mm, ss, ff, drop flag)
// and camera model code.
Bytes CameraSei(int hours, int minutes, int seconds, int frames, bool drop, uint32_t modelCode = 0x0412);

// A 16-bit LPCM PES payload: the 4-byte header, then `frames` big-endian
// sample frames of `channels` channels (channel assignment 1 mono, 3 stereo).
Bytes LpcmPayload(int channelAssignment, int frames, int channels, int bitsCode = 1, uint8_t seed = 0);

constexpr int kVideoPid = 0x1011;
constexpr int kAudioPid = 0x1100;

// Source packets of one stream.
class TsWriter {
 public:
  // One PES; dts < 0 writes a PTS only.
  void Pes(int pid, int streamId, const Bytes& payload, int64_t pts, int64_t dts = -1);
  void Video(const Bytes& au, int64_t pts, int64_t dts) { Pes(kVideoPid, 0xE0, au, pts, dts); }
  void Audio(const Bytes& payload, int64_t pts) { Pes(kAudioPid, 0xBD, payload, pts); }
  const Bytes& bytes() const { return out_; }

 private:
  Bytes out_;
  uint8_t cc_[0x2000] = {};
};

// A picture of a synthetic stream: its slice kind in decode order.
struct Picture {
  char type;    // 'I' (IDR), 'i' (non-IDR I), 'P', 'B' (reference), 'b' (non-reference)
  int display;  // position in display order
};

struct StreamOptions {
  SpsOptions sps;
  std::vector<Picture> pictures;
  int64_t firstPts = 90000;   // PTS of the first picture in display order
  int64_t frameTicks = 3600;  // 90 kHz ticks per picture
  bool camera = true;         // MDPM SEI in every access unit
  bool audio = true;          // LPCM stereo, 240 frames per PES
  bool video = true;
  int timecodeStart = 0;      // frame number (25 fps, no drop) of display position 0
};

// A closed-GOP pattern of `gops` groups of 12 pictures I b b P b b P b b P b b
// in decode order I P b b P b b P b b P b b... (display positions filled in).
std::vector<Picture> GopPattern(int gops);

// The whole stream of 192-byte source packets.
Bytes MakeStream(const StreamOptions& options);

// Writes bytes to a fresh file in the test's temporary directory.
std::string WriteTempFile(const std::string& name, const Bytes& bytes);

}  // namespace importer_test
