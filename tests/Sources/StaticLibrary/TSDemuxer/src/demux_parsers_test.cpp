// The packet parser, the program-map stream information (synthetic packets
// and the program maps of real recordings) and the packet call.
#include "TSDemuxer.h"
#include "testsupport.h"
#include "ts_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

namespace {

using namespace demuxtest;

const uint8_t* ts_packet(const Bytes& source) { return source.data() + 4; }

// One packet through DemuxParseATSPacket, from a freshly cleared record.
struct Parsed {
  int32_t result = 0;
  ATSPacketInfo info;
  int32_t length = -1;
  Bytes payload;
};

Parsed parse(const uint8_t* packet) {
  Parsed r;
  DemuxInit(&r.info);
  uint8_t area[184];
  r.result = DemuxParseATSPacket(packet, 188, &r.info, area, &r.length);
  if (r.result == 1) r.payload.assign(area, area + r.length);
  return r;
}

Parsed parse(const Bytes& source) { return parse(ts_packet(source)); }

TEST(PacketParser, ClockValues) {
  for (int64_t t : {int64_t(0), int64_t(1), int64_t(90000), int64_t(0x123456789), int64_t(0x1FFFFFFFF)}) {
    uint8_t b[5];
    put_clock(b, 2, t);
    EXPECT_EQ(GetClock(b), t);
    b[0] |= 0xF0;  // the prefix is not part of the value
    EXPECT_EQ(GetClock(b), t);
  }
}

TEST(PacketParser, RefusesShortOrUnsyncedPackets) {
  Bytes p = source_packet(kTSVideoPID, true, pes_header(0xE0, 1));
  ATSPacketInfo info;
  std::memset(&info, 0x5A, sizeof info);
  const ATSPacketInfo before = info;
  uint8_t payload[184];
  int32_t length = -1;
  EXPECT_EQ(DemuxParseATSPacket(ts_packet(p), 187, &info, payload, &length), 0);
  p[4] = 0x48;
  EXPECT_EQ(DemuxParseATSPacket(ts_packet(p), 188, &info, payload, &length), 0);
  EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
  EXPECT_EQ(length, -1);
}

TEST(PacketParser, VideoStartWithBothTimeStamps) {
  const Bytes data = pattern(100, 30);
  Bytes body = pes_header(0xE0, 0x1ABCDEF01, 0x1ABCDE000);
  append(body, data);
  Bytes p = source_packet(kTSVideoPID, true, body);
  Parsed r = parse(p);
  ASSERT_EQ(r.result, 1);
  // The stream id is kept for audio starts only.
  EXPECT_EQ(std::make_tuple(r.info.pid, r.info.bPUSI, r.info.bPTS, r.info.PTS, r.info.bDTS, r.info.DTS,
                            r.info.streamId, r.info.areaSize, r.length, PayloadLength(&r.info)),
            std::make_tuple(kTSVideoPID, 1u, 1, int64_t(0x1ABCDEF01), 1, int64_t(0x1ABCDE000), 0u, 184u, 100, 100));
  EXPECT_EQ(Payload(&r.info), ts_packet(p) + 88);
  EXPECT_EQ(r.payload, data);
}

TEST(PacketParser, AudioStartWithStreamIdExtension) {
  // The AC-3 start of an AVCHD recording: PTS, PES extension with one byte.
  Bytes body = pes_header(0xFD, 128523, -1, 1);
  ASSERT_EQ(body.size(), 17u);
  append(body, pattern(50, 31));
  Parsed r = parse(source_packet(kTSAudioPID, true, body));
  ASSERT_EQ(r.result, 1);
  EXPECT_EQ(std::make_tuple(r.info.streamId, r.info.bPTS, r.info.PTS, r.info.bDTS),
            std::make_tuple(0xFDu, 1, int64_t(128523), 0));
  EXPECT_EQ(r.payload, pattern(50, 31));
  // Without an extension the header is 14 bytes.
  Bytes plain = pes_header(0xBD, 7);
  append(plain, pattern(20, 32));
  r = parse(source_packet(kTSAudioPID, true, plain));
  EXPECT_EQ(r.payload, pattern(20, 32));
}

TEST(PacketParser, OffsetsNeverPassThePacket) {
  // A large adaptation field leaves little room: headers, extensions and
  // stuffing that reach past the packet give an empty payload, never a
  // negative one.
  for (uint32_t pid : {kTSVideoPID, kTSAudioPID}) {
    for (int afl = 150; afl < 256; ++afl) {
      Bytes header = pes_header(0xFD, 1000, pid == kTSVideoPID ? 900 : -1, pid == kTSAudioPID ? 127 : -1);
      Bytes p = source_packet(pid, true, header);
      p[7] = 0x30;
      p[8] = uint8_t(afl);
      size_t base = 4 + 4 + 1 + size_t(afl);
      for (size_t i = 0; i < header.size() && base + i < 192; ++i) p[base + i] = header[i];
      Parsed r = parse(p);
      ASSERT_EQ(r.result, 1);
      EXPECT_GE(r.length, 0);
      EXPECT_LE(r.info.payloadOffset, 184u);
      EXPECT_EQ(r.length, PayloadLength(&r.info));
    }
  }
  // A run of 0xFF to the end of the packet.
  Parsed r = parse(source_packet(kTSVideoPID, true, pes_header(0xE0, 5, -1, -1, 170)));
  ASSERT_EQ(r.result, 1);
  EXPECT_EQ(r.length, 0);
}

TEST(PacketParser, PayloadlessAndContinuationPackets) {
  Bytes p = source_packet(kTSVideoPID, false, pattern(184, 33));
  EXPECT_EQ(parse(p).payload, pattern(184, 33));
  p[7] = 0x20;  // adaptation field only
  EXPECT_EQ(parse(p).length, 0);
  EXPECT_EQ(parse(source_packet(kTSAudioPID, false, pattern(100, 34))).payload, pattern(100, 34));
  // Other PIDs: the whole area is the payload.
  EXPECT_EQ(parse(source_packet(0x1200, false, pattern(100, 35))).length, 184);
}

TEST(PacketParser, ProgramClockReference) {
  Bytes p(192, 0xFF);
  p[4] = 0x47;
  p[5] = 0x10;
  p[6] = 0x01;  // PID 0x1001
  p[7] = 0x20;  // adaptation field only
  p[8] = 183;
  p[9] = 0x10;  // PCR_flag
  const int64_t base = 0x1F0F0F0F1, ext = 0x155;
  p[10] = uint8_t(base >> 25);
  p[11] = uint8_t(base >> 17);
  p[12] = uint8_t(base >> 9);
  p[13] = uint8_t(base >> 1);
  p[14] = uint8_t((base & 1) << 7 | 0x7E | (ext >> 8));
  p[15] = uint8_t(ext);
  Parsed r = parse(p);
  ASSERT_EQ(r.result, 1);
  EXPECT_EQ(std::make_tuple(r.info.bPCR, r.info.pcrBase, r.info.pcrExt, r.info.pcr, r.length),
            std::make_tuple(1, base, ext, base * 300 + ext, 184));
  p[9] = 0x00;  // no PCR_flag
  EXPECT_EQ(parse(p).info.bPCR, 0);
}

// The program map of a recording, as the test material gives it.
struct ProgramMapCase {
  const char* file;
  bool lpcm;
  uint32_t videoFormat, frameRate, aspect;
  int32_t sampleRate, kbps, channelCode;  // stream information words
  uint32_t bitRateCode, numChannels, bsid;  // AC-3 descriptor
};

const ProgramMapCase kProgramMaps[] = {
    {"avchd/small_ac3_20_avchd.m2ts", false, 2, 3, 2, 48000, 192, 1, 10, 2, 8},
    {"avchd/small_ac3_51_avchd.m2ts", false, 2, 3, 2, 48000, 448, 6, 15, 7, 8},
    {"avchd/small_mbaff_ac3_20_avchd.m2ts", false, 2, 3, 2, 48000, 256, 1, 12, 2, 8},
    {"avchd/avchd_1080i_10s_ac3_20_avchd.m2ts", false, 4, 4, 3, 48000, 256, 1, 12, 2, 8},
    {"avchd/camera_header_7packets.mts", false, 4, 3, 3, 48000, 256, 1, 12, 2, 4},
    {"avchd/small_lpcm_20_avchd.m2ts", true, 2, 3, 2, 48000, 16, 1, 0, 0, 0},
    {"avchd/small_lpcm_51_avchd.m2ts", true, 2, 3, 2, 48000, 16, 7, 0, 0, 0},
};

TEST(ProgramMap, RealRecordings) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  for (const ProgramMapCase& c : kProgramMaps) {
    SCOPED_TRACE(c.file);
    std::string path = testsupport::testdata_file(c.file);
    if (path.empty()) GTEST_SKIP() << "test material missing: " << c.file;
    Bytes file = testsupport::read_file(path);
    if (file.size() > 192 * 64) file.resize(192 * 64);

    int32_t info[kStreamInfoWords];
    for (int32_t& w : info) w = 0x7777;
    ASSERT_EQ(TSGetStreamInfoLib(info, file.data(), int32_t(file.size())), 0);
    EXPECT_EQ(std::make_tuple(info[kStreamInfoIsLPCM], info[kStreamInfoVideoFormat], info[kStreamInfoVideoFrameRate],
                              info[kStreamInfoVideoAspectRatio]),
              std::make_tuple(c.lpcm ? 1 : 0, int32_t(c.videoFormat), int32_t(c.frameRate), int32_t(c.aspect)));
    // Only the words of the program's audio kind are written.
    const int rate = c.lpcm ? kStreamInfoLPCMSampleRate : kStreamInfoAC3SampleRate;
    EXPECT_EQ(std::make_tuple(info[rate], info[rate + 1], info[rate + 2], info[rate + 3]),
              std::make_tuple(c.sampleRate, -1, c.kbps, c.channelCode));
    EXPECT_EQ(info[c.lpcm ? kStreamInfoAC3SampleRate : kStreamInfoLPCMSampleRate], 0x7777);

    // The parse record of the program-map packet itself.
    size_t pos = 0;
    while (pos + 192 <= file.size() && ((file[pos + 5] & 0x1F) << 8 | file[pos + 6]) != int(kTSProgramMapPID))
      pos += 192;
    ASSERT_LT(pos + 192, file.size() + 1);
    Parsed parsed = parse(file.data() + pos + 4);
    ASSERT_EQ(parsed.result, 1);
    const ATSPacketInfo& pmt = parsed.info;
    EXPECT_EQ(std::make_tuple(pmt.bPMT, pmt.videoDescTag, pmt.videoDescLength, pmt.videoFormatId, pmt.videoCodingType,
                              pmt.pmtVideoFormat, pmt.pmtFrameRate, pmt.bLPCM),
              std::make_tuple(1, 0x05u, 8u, 0x48444D56u /* "HDMV" */, 0x1Bu, c.videoFormat, c.frameRate, c.lpcm ? 1 : 0));
    if (c.lpcm) {
      EXPECT_EQ(std::make_tuple(pmt.lpcmDescTag, pmt.lpcmFormatId, pmt.lpcmCodingType, pmt.lpcmSamplingFrequency,
                                pmt.lpcmBitsPerSample),
                std::make_tuple(0x05u, 0x48444D56u, 0x80u, 1u, 1u));
    } else {
      EXPECT_EQ(std::make_tuple(pmt.ac3DescTag, pmt.sample_rate_code, pmt.bsid, pmt.bit_rate_code, pmt.num_channels,
                                pmt.bsmod),
                std::make_tuple(0x81u, 0u, c.bsid, c.bitRateCode, c.numChannels, 0u));
    }
  }
}

// A program map in the AVCHD layout: video entry with the HDMV registration
// descriptor, then the audio entry.
Bytes program_map_packet(bool lpcm, uint8_t bitRateByte = 0x31, uint16_t programInfoLength = 12) {
  Bytes s = {0x00, 0x02, 0xB0, 0x3C, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xF0, 0x01,
             uint8_t(0xF0 | (programInfoLength >> 8)), uint8_t(programInfoLength)};
  Bytes rest = {0x05, 0x04, 'H', 'D', 'M', 'V', 0x88, 0x04, 0x0F, 0xFF, 0xFC, 0xFC,
                0x1B, 0xF0, 0x11, 0xF0, 0x0A, 0x05, 0x08, 'H',  'D',  'M',  'V',  0xFF, 0x1B, 0x44, 0x3F};
  append(s, rest);
  if (lpcm) {
    append(s, {0x80, 0xF1, 0x00, 0xF0, 0x0A, 0x05, 0x08, 'H', 'D', 'M', 'V', 0xFF, 0x80, 0x31, 0x7F});
  } else {
    append(s, {0x81, 0xF1, 0x00, 0xF0, 0x0F, 0x05, 0x04, 'A', 'C', '-', '3', 0x81, 0x07, 0x08, bitRateByte, 0x05, 0xFF,
               0x00, 0x00, 0x00});
  }
  s.resize(184, 0xFF);
  return source_packet(kTSProgramMapPID, true, s);
}

TEST(ProgramMap, LPCMProgram) {
  Bytes data = program_map_packet(true);
  append(data, source_packet(kTSVideoPID, false, pattern(184, 36)));
  int32_t info[kStreamInfoWords] = {};
  ASSERT_EQ(TSGetStreamInfoLib(info, data.data(), int32_t(data.size())), 0);
  const int32_t want[5] = {1, 48000, -1, 16, 1};
  for (int w = 0; w < 5; ++w) EXPECT_EQ(info[w], want[w]) << w;
}

TEST(ProgramMap, AC3BitRateCodeReading) {
  // bits 4..0 of bit_rate_code index the rate table, bit 5 flags an upper limit.
  struct Row {
    uint8_t code;
    int32_t result, kbps;
  };
  for (Row r : {Row{0, 0, 32}, Row{12, 0, 256}, Row{12 | 0x20, 0, 256}, Row{18, 0, 640}, Row{19, -4, 0},
                Row{31, -4, 0}, Row{63, -4, 0}}) {
    SCOPED_TRACE(int(r.code));
    Bytes data = program_map_packet(false, uint8_t(r.code << 2 | 1));
    int32_t info[kStreamInfoWords];
    for (int32_t& w : info) w = 0x7777;
    ASSERT_EQ(TSGetStreamInfoLib(info, data.data(), int32_t(data.size())), r.result);
    EXPECT_EQ(std::make_tuple(info[kStreamInfoIsLPCM], info[kStreamInfoAC3SampleRate], info[kStreamInfoAC3BitRate]),
              std::make_tuple(0, 48000, r.result == 0 ? r.kbps : 0x7777));
  }
}

TEST(ProgramMap, SearchAndRefusals) {
  int32_t info[kStreamInfoWords];
  Bytes video = source_packet(kTSVideoPID, false, pattern(184, 37));
  Bytes data;
  for (int i = 0; i < 6; ++i) append(data, video);
  EXPECT_EQ(TSGetStreamInfoLib(info, data.data(), int32_t(data.size())), -3);
  // The program map in the last whole packet is found.
  append(data, program_map_packet(true));
  EXPECT_EQ(TSGetStreamInfoLib(info, data.data(), int32_t(data.size())), 0);
  // A packet that fails the parse ends the search.
  Bytes broken = data;
  broken[192 * 2 + 4] = 0;
  EXPECT_EQ(TSGetStreamInfoLib(info, broken.data(), int32_t(broken.size())), -3);
  EXPECT_EQ(TSGetStreamInfoLib(info, data.data(), 187), -1);
  Bytes noSync(400, 0);
  EXPECT_EQ(TSGetStreamInfoLib(info, noSync.data(), int32_t(noSync.size())), -1);
  EXPECT_EQ(TSGetStreamInfoLib(nullptr, data.data(), int32_t(data.size())), -2);
  EXPECT_EQ(TSGetStreamInfoLib(info, nullptr, 1000), -2);
}

TEST(ProgramMap, LengthsPointingPastThePacket) {
  for (uint16_t programInfo : {uint16_t(150), uint16_t(170), uint16_t(0xFFF)}) {
    Bytes data = program_map_packet(false, 0x31, programInfo);
    int32_t info[kStreamInfoWords];
    int32_t r = TSGetStreamInfoLib(info, data.data(), int32_t(data.size()));
    EXPECT_TRUE(r == 0 || r == -4) << r;
  }
}

TEST(PacketCall, FlagsAndPayload) {
  TSDemuxPacketInfo rec;
  Bytes pmt = program_map_packet(false);
  ASSERT_EQ(TSDemuxPacketLib(pmt.data(), 192, &rec), 1);
  EXPECT_EQ(std::make_tuple(rec.bPMT, rec.bAudio, rec.bVideo, rec.pmtVideoFormat, rec.pmtFrameRate),
            std::make_tuple(1, 0, 0, 4u, 4u));

  Bytes body = pes_header(0xBD, 4500);
  append(body, pattern(30, 38));
  Bytes audio = source_packet(kTSAudioPID, true, body);
  ASSERT_EQ(TSDemuxPacketLib(audio.data(), 192, &rec), 1);
  EXPECT_EQ(std::make_tuple(rec.bAudio, rec.bVideo, rec.bPMT, rec.bPTS, rec.PTS), std::make_tuple(1, 0, 0, 1, int64_t(4500)));
  EXPECT_EQ(Bytes(rec.pPayload, rec.pPayload + rec.payloadSize), pattern(30, 38));

  Bytes video = source_packet(kTSVideoPID, false, pattern(184, 39));
  ASSERT_EQ(TSDemuxPacketLib(video.data(), 192, &rec), 1);
  EXPECT_EQ(rec.bVideo, 1);
  EXPECT_EQ(rec.payloadSize, 184);

  // A short source packet leaves the record alone; a lost sync clears the flags.
  TSDemuxPacketInfo before;
  std::memset(&before, 0x5A, sizeof before);
  rec = before;
  EXPECT_EQ(TSDemuxPacketLib(video.data(), 191, &rec), 0);
  EXPECT_EQ(std::memcmp(&rec, &before, sizeof rec), 0);
  video[4] = 0x46;
  EXPECT_EQ(TSDemuxPacketLib(video.data(), 192, &rec), 0);
  EXPECT_EQ(std::make_tuple(rec.bVideo, rec.bAudio, rec.bPMT), std::make_tuple(0, 0, 0));
  EXPECT_EQ(TSDemuxPacketLib(nullptr, 192, &rec), 0);
  EXPECT_EQ(TSDemuxPacketLib(video.data(), 192, nullptr), 0);
}

TEST(PacketCall, WriteLongIsBigEndian) {
  uint8_t b[4];
  EXPECT_EQ(WriteLong(b, 0x12345678u), 0x12345678u);
  EXPECT_EQ(Bytes(b, b + 4), Bytes({0x12, 0x34, 0x56, 0x78}));
}

}  // namespace
