// LPCM and AC-3 stream-header parsers and the LPCM conversion: synthetic
// headers for every rule, and the headers of real streams.
#include "AudioStreamInfo.h"
#include "TSDemuxer.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// First complete audio PES payload of an AVCHD-style stream.
std::vector<uint8_t> first_audio_pes(const std::string& path) {
  std::vector<uint8_t> file = testsupport::read_file(path);
  std::vector<uint8_t> pes;
  TSDemuxContext* ctx = TSOpenDemuxLib();
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  size_t position = 0;
  const uint8_t none = 0;
  while (pes.empty()) {
    uint32_t status;
    if (out.status & kTSStatusNeedInput) {
      size_t n = std::min<size_t>(0x2d000, file.size() - position);
      if (n == 0) break;
      status = TSDemuxStreamLib(file.data() + position, int32_t(n), &out, ctx);
      position += n;
    } else {
      status = TSDemuxStreamLib(&none, 0, &out, ctx);
    }
    if (status & kTSStatusAudio) pes.assign(out.pAudio, out.pAudio + out.audioSize);
  }
  TSCloseDemuxLib(ctx);
  return pes;
}

const LPCMStreamInfo kUntouchedLPCM = {0xAAAAAAAA, 0xBBBBBBBB, 0xCCCCCCCC, 0xDDDDDDDD};
const AC3StreamInfo kUntouchedAC3 = {0xAAAAAAAA, 0xBBBBBBBB, 0xCCCCCCCC, 0xDDDDDDDD};

int32_t lpcm_header(uint8_t byte2, uint8_t byte3, LPCMStreamInfo* info) {
  const uint8_t header[4] = {0x03, 0xC0, byte2, byte3};
  *info = kUntouchedLPCM;
  return AVCHDAudioGetLPCMStreamInfoLib(info, header, 4);
}

TEST(LPCMHeader, ChannelAssignments) {
  // assignment -> {code, coded channels}; 0 means rejected
  struct Row {
    uint8_t assignment;
    int32_t result;
    uint32_t code, channels;
  };
  const Row rows[] = {{0, -2, 0, 0},  {1, 0, 0, 2},   {2, -2, 0, 0},  {3, 0, 1, 2},   {4, 0, 2, 4},
                      {5, 0, 3, 4},   {6, 0, 4, 4},   {7, 0, 5, 4},   {8, 0, 6, 6},   {9, 0, 7, 6},
                      {10, 0, 8, 8},  {11, 0, 9, 8},  {12, -2, 0, 0}, {13, -2, 0, 0}, {14, -2, 0, 0},
                      {15, -2, 0, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(int(r.assignment));
    LPCMStreamInfo info;
    ASSERT_EQ(lpcm_header(uint8_t(r.assignment << 4 | 1), 0x40, &info), r.result);
    if (r.result != 0) {
      EXPECT_EQ(std::memcmp(&info, &kUntouchedLPCM, sizeof info), 0) << "nothing written";
      continue;
    }
    EXPECT_EQ(info.channelCode, r.code);
    EXPECT_EQ(info.channels, r.channels);
    EXPECT_EQ(info.sampleRate, 48000u);
    EXPECT_EQ(info.bitsPerSample, 16u);
  }
}

TEST(LPCMHeader, RatesAndWidths) {
  LPCMStreamInfo info;
  for (uint8_t rate = 0; rate < 16; ++rate) {
    int32_t r = lpcm_header(uint8_t(0x30 | rate), 0x80, &info);
    uint32_t want = rate == 1 ? 48000 : rate == 4 ? 96000 : rate == 5 ? 192000 : 0;
    if (want == 0) {
      EXPECT_EQ(r, -2) << int(rate);
      // The channel fields are written before the rate fails; the rest are not.
      EXPECT_EQ(info.channelCode, 1u);
      EXPECT_EQ(info.channels, 2u);
      EXPECT_EQ(info.sampleRate, kUntouchedLPCM.sampleRate);
      EXPECT_EQ(info.bitsPerSample, kUntouchedLPCM.bitsPerSample);
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(info.sampleRate, want);
      EXPECT_EQ(info.bitsPerSample, 20u);
    }
  }
  ASSERT_EQ(lpcm_header(0x31, 0xC0 | 0x3F, &info), 0);  // bits 5..0 of byte 3 are not read
  EXPECT_EQ(info.bitsPerSample, 24u);
  ASSERT_EQ(lpcm_header(0x31, 0x3F, &info), -2);  // width code 0
  EXPECT_EQ(info.channelCode, 1u);
  EXPECT_EQ(info.channels, 2u);
  EXPECT_EQ(info.sampleRate, 48000u);
  EXPECT_EQ(info.bitsPerSample, kUntouchedLPCM.bitsPerSample);
}

TEST(LPCMHeader, ShortOrMissingInput) {
  const uint8_t header[4] = {0, 0, 0x31, 0x40};
  LPCMStreamInfo info = kUntouchedLPCM;
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, header, 3), -1);
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, header, 0), -1);
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(nullptr, header, 4), -2);
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, nullptr, 4), -2);
  EXPECT_EQ(std::memcmp(&info, &kUntouchedLPCM, sizeof info), 0);
}

TEST(LPCMHeader, RealStreams) {
  struct Case {
    const char* file;
    uint32_t channels, code;
  };
  for (const Case& c : {Case{"avchd/small_lpcm_20_avchd.m2ts", 2, 1}, Case{"avchd/small_lpcm_51_avchd.m2ts", 6, 7}}) {
    SCOPED_TRACE(c.file);
    std::string path = testsupport::testdata_file(c.file);
    if (path.empty()) GTEST_SKIP() << "test material missing: " << c.file;
    std::vector<uint8_t> pes = first_audio_pes(path);
    ASSERT_GE(pes.size(), 4u);
    LPCMStreamInfo info;
    ASSERT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, pes.data(), uint32_t(pes.size())), 0);
    EXPECT_EQ(info.sampleRate, 48000u);
    EXPECT_EQ(info.channels, c.channels);
    EXPECT_EQ(info.bitsPerSample, 16u);
    EXPECT_EQ(info.channelCode, c.code);
  }
}

// An AC-3 frame header: sync word, crc1, fscod/frmsizecod, bsid/bsmod, then
// acmod and the following bits (byte 6 and 7) as given.
std::vector<uint8_t> ac3_header(uint8_t fscodFrmsizecod, uint8_t byte6, uint8_t byte7) {
  return {0x0B, 0x77, 0x12, 0x34, fscodFrmsizecod, 0x40, byte6, byte7};
}

// Byte 6 and 7 for acmod with every other bit set to 1 and lfeon as given:
// the parser must find lfeon behind exactly the optional fields acmod has.
void acmod_bytes(uint32_t acmod, uint32_t lfeon, uint8_t* b6, uint8_t* b7) {
  int optional = 0;
  if ((acmod & 1) && acmod != 1) optional += 2;  // cmixlev
  if (acmod & 4) optional += 2;                  // surmixlev
  if (acmod == 2) optional += 2;                 // dsurmod
  uint32_t word = (acmod << 13) | 0x1FFF;
  if (!lfeon) word &= ~(1u << (12 - optional));
  *b6 = uint8_t(word >> 8);
  *b7 = uint8_t(word);
}

TEST(AC3Header, LayoutsAndLFE) {
  const uint32_t fullBandwidth[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  for (uint32_t acmod = 0; acmod < 8; ++acmod) {
    for (uint32_t lfeon = 0; lfeon < 2; ++lfeon) {
      SCOPED_TRACE(testing::Message() << "acmod " << acmod << " lfeon " << lfeon);
      uint8_t b6, b7;
      acmod_bytes(acmod, lfeon, &b6, &b7);
      auto h = ac3_header(0x1E, b6, b7);  // 48 kHz, frmsizecod 30: 448 kbit/s
      AC3StreamInfo info = kUntouchedAC3;
      int32_t r = AVCHDAudioGetAC3StreamInfoLib(&info, h.data(), uint32_t(h.size()));
      EXPECT_EQ(info.sampleRate, 48000u);
      EXPECT_EQ(info.kbps, 448u);
      if (acmod == 0 || (lfeon && acmod != 7)) {
        EXPECT_EQ(r, -2);
        EXPECT_EQ(info.channels, kUntouchedAC3.channels);
        EXPECT_EQ(info.channelCode, kUntouchedAC3.channelCode);
      } else if (lfeon) {
        EXPECT_EQ(r, 0);
        EXPECT_EQ(info.channels, 6u);
        EXPECT_EQ(info.channelCode, 7u);
      } else {
        EXPECT_EQ(r, 0);
        EXPECT_EQ(info.channels, fullBandwidth[acmod]);
        EXPECT_EQ(info.channelCode, acmod - 1);
      }
    }
  }
}

TEST(AC3Header, RatesAndRateCodes) {
  const uint32_t kbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
  const uint32_t rates[3] = {48000, 44100, 32000};
  for (uint32_t fscod = 0; fscod < 4; ++fscod) {
    for (uint32_t code = 0; code < 64; ++code) {
      auto h = ac3_header(uint8_t(fscod << 6 | code), 0x40, 0);  // 2/0
      AC3StreamInfo info = kUntouchedAC3;
      int32_t r = AVCHDAudioGetAC3StreamInfoLib(&info, h.data(), uint32_t(h.size()));
      if (fscod == 3) {
        EXPECT_EQ(r, -2);
        EXPECT_EQ(std::memcmp(&info, &kUntouchedAC3, sizeof info), 0);
      } else if (code > 37) {
        EXPECT_EQ(r, -2);
        EXPECT_EQ(info.sampleRate, rates[fscod]);
        EXPECT_EQ(info.kbps, kUntouchedAC3.kbps);
      } else {
        ASSERT_EQ(r, 0);
        EXPECT_EQ(info.sampleRate, rates[fscod]);
        EXPECT_EQ(info.kbps, kbps[code >> 1]);
      }
    }
  }
}

TEST(AC3Header, SyncSearch) {
  AC3StreamInfo info;
  auto h = ac3_header(0x1E, 0x40, 0);
  // Sync word at an odd offset only: not found.
  std::vector<uint8_t> odd = {0};
  odd.insert(odd.end(), h.begin(), h.end());
  odd.push_back(0);
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, odd.data(), uint32_t(odd.size())), -1);
  // ... unless another follows at an even offset.
  std::vector<uint8_t> both = odd;
  ASSERT_EQ(both.size() % 2, 0u);
  both.insert(both.end(), h.begin(), h.end());
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, both.data(), uint32_t(both.size())), 0);
  // Fewer than 8 bytes from the sync word on.
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, h.data(), 7), -1);
  std::vector<uint8_t> late(10, 0);
  late[4] = 0x0B;
  late[5] = 0x77;
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, late.data(), uint32_t(late.size())), -1);
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, h.data(), 0), -1);
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(nullptr, h.data(), 8), -2);
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, nullptr, 8), -2);
}

TEST(AC3Header, RealStreams) {
  struct Case {
    const char* file;
    bool transportStream;
    uint32_t channels, kbps, code;
  };
  const Case cases[] = {
      {"ac3/ac3_10_96k_3s.ac3", false, 1, 96, 0},          {"ac3/ac3_20_256k_3s.ac3", false, 2, 256, 1},
      {"ac3/ac3_51_448k_3s.ac3", false, 6, 448, 7},        {"avchd/small_ac3_20_avchd.m2ts", true, 2, 192, 1},
      {"avchd/small_ac3_51_avchd.m2ts", true, 6, 448, 7},  {"avchd/small_mbaff_ac3_20_avchd.m2ts", true, 2, 256, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string path = testsupport::testdata_file(c.file);
    if (path.empty()) GTEST_SKIP() << "test material missing: " << c.file;
    std::vector<uint8_t> data = c.transportStream ? first_audio_pes(path) : testsupport::read_file(path);
    ASSERT_GE(data.size(), 8u);
    AC3StreamInfo info;
    ASSERT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, data.data(), uint32_t(data.size())), 0);
    EXPECT_EQ(info.sampleRate, 48000u);
    EXPECT_EQ(info.channels, c.channels);
    EXPECT_EQ(info.kbps, c.kbps);
    EXPECT_EQ(info.channelCode, c.code);
  }
  // The real 2/0 header with its LFE bit set (behind dsurmod: byte 6 bit 2).
  std::string path = testsupport::testdata_file("ac3/ac3_20_256k_3s.ac3");
  std::vector<uint8_t> frame = testsupport::read_file(path);
  ASSERT_GE(frame.size(), 8u);
  ASSERT_EQ(frame[6] >> 5, 2);
  frame[6] |= 0x04;
  AC3StreamInfo info = kUntouchedAC3;
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, frame.data(), 8), -2);
  EXPECT_EQ(info.kbps, 256u);
  EXPECT_EQ(info.channels, kUntouchedAC3.channels);
}

// A conversion record over `input` into out (with guard bytes around it).
struct Conversion {
  std::vector<uint8_t> input;
  std::vector<uint8_t> out;
  LPCMConvertInfo info{};
  static constexpr size_t kGuard = 16;
  Conversion(std::vector<uint8_t> in, int32_t code, int32_t capacity, size_t misalign = 0)
      : input(std::move(in)), out(capacity + 2 * kGuard + misalign, 0xEE) {
    info.sampleRate = 48000;
    info.bitsPerSample = 16;
    info.channelCode = code;
    info.outputBytes = -7;
    info.inputBytes = int32_t(input.size());
    info.outputCapacity = capacity;
    info.pInput = input.data();
    info.pOutput = out.data() + kGuard + misalign;
  }
  bool guards_intact(size_t written) const {
    const uint8_t* start = info.pOutput;
    for (const uint8_t* p = out.data(); p < start; ++p)
      if (*p != 0xEE) return false;
    for (const uint8_t* p = start + written; p < out.data() + out.size(); ++p)
      if (*p != 0xEE) return false;
    return true;
  }
};

uint16_t host_sample(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

TEST(LPCMConversion, StereoAndMono) {
  const std::vector<uint8_t> in = {0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04};
  for (size_t misalign : {0, 1}) {
    Conversion stereo(in, 1, 8, misalign);
    ASSERT_EQ(LPCM2PCMLib(&stereo.info), 0);
    EXPECT_EQ(stereo.info.outputBytes, 8);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(host_sample(stereo.info.pOutput + 2 * i), i + 1);
    EXPECT_TRUE(stereo.guards_intact(8));

    Conversion mono(in, 0, 4, misalign);
    ASSERT_EQ(LPCM2PCMLib(&mono.info), 0);
    EXPECT_EQ(mono.info.outputBytes, 4);
    EXPECT_EQ(host_sample(mono.info.pOutput), 1);
    EXPECT_EQ(host_sample(mono.info.pOutput + 2), 3);
    EXPECT_TRUE(mono.guards_intact(4));
  }
}

TEST(LPCMConversion, LongBlockKeepsEverySample) {
  std::vector<uint8_t> in(4 * 1001);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 37 + 11);
  for (size_t misalign : {0, 1, 2}) {
    Conversion c(in, 1, int32_t(in.size()), misalign);
    ASSERT_EQ(LPCM2PCMLib(&c.info), 0);
    for (size_t i = 0; i < in.size(); i += 2) {
      ASSERT_EQ(host_sample(c.info.pOutput + i), uint16_t(in[i] << 8 | in[i + 1])) << i;
    }
    EXPECT_TRUE(c.guards_intact(in.size()));
  }
}

TEST(LPCMConversion, Refusals) {
  const std::vector<uint8_t> eight(8, 0x12);
  {
    Conversion c(std::vector<uint8_t>(6, 0), 1, 64);
    EXPECT_EQ(LPCM2PCMLib(&c.info), -3);
  }
  {
    Conversion c(eight, 1, 7);  // stereo needs the input size
    EXPECT_EQ(LPCM2PCMLib(&c.info), -4);
    EXPECT_TRUE(c.guards_intact(0));
    EXPECT_EQ(c.info.outputBytes, -7);
  }
  {
    Conversion c(eight, 0, 3);  // mono needs half of it
    EXPECT_EQ(LPCM2PCMLib(&c.info), -4);
  }
  {
    Conversion c({}, 1, 64);
    c.info.pInput = eight.data();
    EXPECT_EQ(LPCM2PCMLib(&c.info), -5);
  }
  {
    Conversion c(eight, 2, 64);
    EXPECT_EQ(LPCM2PCMLib(&c.info), -2);
    c.info.channelCode = 1;
    c.info.bitsPerSample = 24;
    EXPECT_EQ(LPCM2PCMLib(&c.info), -2);
    c.info.bitsPerSample = 16;
    c.info.sampleRate = 44100;
    EXPECT_EQ(LPCM2PCMLib(&c.info), -2);
    c.info.sampleRate = 192000;
    EXPECT_EQ(LPCM2PCMLib(&c.info), 0);
    c.info.pInput = nullptr;
    EXPECT_EQ(LPCM2PCMLib(&c.info), -1);
    c.info.pInput = eight.data();
    c.info.pOutput = nullptr;
    EXPECT_EQ(LPCM2PCMLib(&c.info), -1);
  }
  EXPECT_EQ(LPCM2PCMLib(nullptr), -1);
}

}  // namespace
