// LPCM and AC-3 stream-header parsers and the LPCM conversion: synthetic
// headers for every rule, and the headers of real streams.
#include "AudioStreamInfo.h"
#include "ac3_test_util.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace {

const LPCMStreamInfo kUntouchedLPCM = {0xAAAAAAAA, 0xBBBBBBBB, 0xCCCCCCCC, 0xDDDDDDDD};
const AC3StreamInfo kUntouchedAC3 = {0xAAAAAAAA, 0xBBBBBBBB, 0xCCCCCCCC, 0xDDDDDDDD};

auto Fields(const LPCMStreamInfo& i) { return std::make_tuple(i.sampleRate, i.channels, i.bitsPerSample, i.channelCode); }
auto Fields(const AC3StreamInfo& i) { return std::make_tuple(i.sampleRate, i.channels, i.kbps, i.channelCode); }

int32_t lpcm_header(uint8_t byte2, uint8_t byte3, LPCMStreamInfo* info) {
  const uint8_t header[4] = {0x03, 0xC0, byte2, byte3};
  *info = kUntouchedLPCM;
  return AVCHDAudioGetLPCMStreamInfoLib(info, header, 4);
}

// First audio PES of a test-material stream (skips when absent).
#define REQUIRE_FIRST_AUDIO(data, file, ts)                                               \
  AVCHD_REQUIRE_TESTDATA(data##_path, file);                                              \
  std::vector<uint8_t> data = testsupport::read_file(data##_path);                        \
  if (ts) {                                                                               \
    const auto payloads = ac3test::AudioPayloadsOfTransportStream(data);                  \
    data = payloads.empty() ? std::vector<uint8_t>() : payloads[0];                       \
  }

TEST(LPCMHeader, ChannelAssignmentsRatesAndWidths) {
  // Assignment -> channel code and coded channels; the unlisted ones (0, 2,
  // 12..15) are refused with nothing written.
  const int32_t code[16] = {-1, 0, -1, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, -1, -1, -1};
  const uint32_t channels[16] = {0, 2, 0, 2, 4, 4, 4, 4, 6, 6, 8, 8};
  for (uint8_t a = 0; a < 16; ++a) {
    LPCMStreamInfo info;
    const int32_t rc = lpcm_header(uint8_t(a << 4 | 1), 0x40, &info);
    if (code[a] < 0) {
      EXPECT_EQ(rc, -2) << int(a);
      EXPECT_EQ(std::memcmp(&info, &kUntouchedLPCM, sizeof info), 0) << int(a);
    } else {
      EXPECT_EQ(rc, 0) << int(a);
      EXPECT_EQ(Fields(info), std::make_tuple(48000u, channels[a], 16u, uint32_t(code[a]))) << int(a);
    }
  }
  // Rates: the channel fields are written before a rate fails, the rest not.
  LPCMStreamInfo info;
  for (uint8_t rate = 0; rate < 16; ++rate) {
    const uint32_t want = rate == 1 ? 48000 : rate == 4 ? 96000 : rate == 5 ? 192000 : 0;
    EXPECT_EQ(lpcm_header(uint8_t(0x30 | rate), 0x80, &info), want ? 0 : -2) << int(rate);
    EXPECT_EQ(Fields(info), want ? std::make_tuple(want, 2u, 20u, 1u)
                                 : std::make_tuple(kUntouchedLPCM.sampleRate, 2u, kUntouchedLPCM.bitsPerSample, 1u))
        << int(rate);
  }
  ASSERT_EQ(lpcm_header(0x31, 0xC0 | 0x3F, &info), 0);  // bits 5..0 of byte 3 are not read
  EXPECT_EQ(info.bitsPerSample, 24u);
  ASSERT_EQ(lpcm_header(0x31, 0x3F, &info), -2);  // width code 0
  EXPECT_EQ(Fields(info), std::make_tuple(48000u, 2u, kUntouchedLPCM.bitsPerSample, 1u));
  // Short or missing input.
  const uint8_t header[4] = {0, 0, 0x31, 0x40};
  info = kUntouchedLPCM;
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, header, 3), -1);
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, header, 0), -1);
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(nullptr, header, 4), -2);
  EXPECT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, nullptr, 4), -2);
  EXPECT_EQ(std::memcmp(&info, &kUntouchedLPCM, sizeof info), 0);
}

TEST(LPCMHeader, RealStreams) {
  for (auto [file, channels, code] : {std::make_tuple("avchd/small_lpcm_20_avchd.m2ts", 2u, 1u),
                                      std::make_tuple("avchd/small_lpcm_51_avchd.m2ts", 6u, 7u)}) {
    REQUIRE_FIRST_AUDIO(pes, file, true);
    ASSERT_GE(pes.size(), 4u) << file;
    LPCMStreamInfo info;
    ASSERT_EQ(AVCHDAudioGetLPCMStreamInfoLib(&info, pes.data(), uint32_t(pes.size())), 0);
    EXPECT_EQ(Fields(info), std::make_tuple(48000u, channels, 16u, code)) << file;
  }
}

// An AC-3 frame header: sync word, crc1, fscod/frmsizecod, bsid/bsmod, then
// acmod and the following bits (byte 6 and 7) as given.
std::vector<uint8_t> ac3_header(uint8_t fscodFrmsizecod, uint8_t byte6, uint8_t byte7) {
  return {0x0B, 0x77, 0x12, 0x34, fscodFrmsizecod, 0x40, byte6, byte7};
}

int32_t ac3_info(const std::vector<uint8_t>& h, AC3StreamInfo* info) {
  *info = kUntouchedAC3;
  return AVCHDAudioGetAC3StreamInfoLib(info, h.data(), uint32_t(h.size()));
}

TEST(AC3Header, LayoutsAndLFE) {
  const uint32_t fullBandwidth[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  for (uint32_t acmod = 0; acmod < 8; ++acmod) {
    for (uint32_t lfeon = 0; lfeon < 2; ++lfeon) {
      // Every other bit set: lfeon must be found behind exactly the optional
      // fields (cmixlev, surmixlev, dsurmod) this acmod has.
      const int optional = 2 * (((acmod & 1) && acmod != 1) + ((acmod & 4) != 0) + (acmod == 2));
      uint32_t word = (acmod << 13) | 0x1FFF;
      if (!lfeon) word &= ~(1u << (12 - optional));
      AC3StreamInfo info;
      const int32_t rc = ac3_info(ac3_header(0x1E, uint8_t(word >> 8), uint8_t(word)), &info);
      SCOPED_TRACE(testing::Message() << "acmod " << acmod << " lfeon " << lfeon);
      if (acmod == 0 || (lfeon && acmod != 7)) {
        EXPECT_EQ(rc, -2);
        EXPECT_EQ(Fields(info), std::make_tuple(48000u, kUntouchedAC3.channels, 448u, kUntouchedAC3.channelCode));
      } else {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(Fields(info), lfeon ? std::make_tuple(48000u, 6u, 448u, 7u)
                                      : std::make_tuple(48000u, fullBandwidth[acmod], 448u, acmod - 1));
      }
    }
  }
}

TEST(AC3Header, RatesAndRateCodes) {
  const uint32_t kbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
  const uint32_t rates[3] = {48000, 44100, 32000};
  for (uint32_t fscod = 0; fscod < 4; ++fscod) {
    for (uint32_t code = 0; code < 64; ++code) {
      AC3StreamInfo info;
      const int32_t rc = ac3_info(ac3_header(uint8_t(fscod << 6 | code), 0x40, 0), &info);  // 2/0
      if (fscod == 3) {
        EXPECT_EQ(rc, -2);
        EXPECT_EQ(std::memcmp(&info, &kUntouchedAC3, sizeof info), 0);
      } else {
        EXPECT_EQ(rc, code > 37 ? -2 : 0) << fscod << " " << code;
        EXPECT_EQ(info.sampleRate, rates[fscod]);
        EXPECT_EQ(info.kbps, code > 37 ? kUntouchedAC3.kbps : kbps[code >> 1]);
      }
    }
  }
}

TEST(AC3Header, SyncSearch) {
  AC3StreamInfo info;
  const auto h = ac3_header(0x1E, 0x40, 0);
  std::vector<uint8_t> odd = {0};  // sync word at an odd offset only: not found
  odd.insert(odd.end(), h.begin(), h.end());
  odd.push_back(0);
  EXPECT_EQ(ac3_info(odd, &info), -1);
  std::vector<uint8_t> both = odd;  // ... unless another follows at an even offset
  both.insert(both.end(), h.begin(), h.end());
  EXPECT_EQ(ac3_info(both, &info), 0);
  EXPECT_EQ(ac3_info({h.begin(), h.begin() + 7}, &info), -1);  // fewer than 8 bytes from the sync word
  std::vector<uint8_t> late(10, 0);
  late[4] = 0x0B;
  late[5] = 0x77;
  EXPECT_EQ(ac3_info(late, &info), -1);
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, h.data(), 0), -1);
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(nullptr, h.data(), 8), -2);
  EXPECT_EQ(AVCHDAudioGetAC3StreamInfoLib(&info, nullptr, 8), -2);
}

TEST(AC3Header, RealStreams) {
  const std::tuple<const char*, bool, uint32_t, uint32_t, uint32_t> cases[] = {
      {"ac3/ac3_10_96k_3s.ac3", false, 1, 96, 0},          {"ac3/ac3_20_256k_3s.ac3", false, 2, 256, 1},
      {"ac3/ac3_51_448k_3s.ac3", false, 6, 448, 7},        {"avchd/small_ac3_20_avchd.m2ts", true, 2, 192, 1},
      {"avchd/small_ac3_51_avchd.m2ts", true, 6, 448, 7},  {"avchd/small_mbaff_ac3_20_avchd.m2ts", true, 2, 256, 1},
  };
  for (auto [file, ts, channels, kbps, code] : cases) {
    REQUIRE_FIRST_AUDIO(data, file, ts);
    ASSERT_GE(data.size(), 8u) << file;
    AC3StreamInfo info;
    ASSERT_EQ(ac3_info(data, &info), 0) << file;
    EXPECT_EQ(Fields(info), std::make_tuple(48000u, channels, kbps, code)) << file;
  }
  // The real 2/0 header with its LFE bit set (behind dsurmod: byte 6 bit 2).
  REQUIRE_FIRST_AUDIO(frame, "ac3/ac3_20_256k_3s.ac3", false);
  ASSERT_EQ(frame[6] >> 5, 2);
  frame[6] |= 0x04;
  AC3StreamInfo info;
  EXPECT_EQ(ac3_info({frame.begin(), frame.begin() + 8}, &info), -2);
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
    info = {48000, 16, code, -7, int32_t(input.size()), capacity, input.data(), out.data() + kGuard + misalign};
  }
  bool guards_intact(size_t written) const {
    for (const uint8_t* p = out.data(); p < out.data() + out.size(); ++p)
      if ((p < info.pOutput || p >= info.pOutput + written) && *p != 0xEE) return false;
    return true;
  }
  uint16_t sample(size_t i) const {
    uint16_t v;
    std::memcpy(&v, info.pOutput + 2 * i, 2);
    return v;
  }
};

TEST(LPCMConversion, StereoMonoAndLongBlocksAtEveryMisalignment) {
  std::vector<uint8_t> in(4 * 1001);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 37 + 11);
  for (size_t misalign : {0, 1, 2}) {
    Conversion stereo(in, 1, int32_t(in.size()), misalign);
    ASSERT_EQ(LPCM2PCMLib(&stereo.info), 0);
    EXPECT_EQ(stereo.info.outputBytes, int32_t(in.size()));
    for (size_t i = 0; i < in.size() / 2; ++i) ASSERT_EQ(stereo.sample(i), uint16_t(in[2 * i] << 8 | in[2 * i + 1])) << i;
    EXPECT_TRUE(stereo.guards_intact(in.size()));
    // Mono drops the filler channel.
    Conversion mono(in, 0, int32_t(in.size() / 2), misalign);
    ASSERT_EQ(LPCM2PCMLib(&mono.info), 0);
    EXPECT_EQ(mono.info.outputBytes, int32_t(in.size() / 2));
    for (size_t i = 0; i < in.size() / 4; ++i) ASSERT_EQ(mono.sample(i), uint16_t(in[4 * i] << 8 | in[4 * i + 1])) << i;
    EXPECT_TRUE(mono.guards_intact(in.size() / 2));
  }
}

TEST(LPCMConversion, Refusals) {
  const std::vector<uint8_t> eight(8, 0x12);
  auto run = [](Conversion c) { return LPCM2PCMLib(&c.info); };
  EXPECT_EQ(run(Conversion(std::vector<uint8_t>(6, 0), 1, 64)), -3);
  Conversion small(eight, 1, 7);  // stereo needs the input size
  EXPECT_EQ(LPCM2PCMLib(&small.info), -4);
  EXPECT_TRUE(small.guards_intact(0));
  EXPECT_EQ(small.info.outputBytes, -7);
  EXPECT_EQ(run(Conversion(eight, 0, 3)), -4);  // mono needs half of it
  Conversion empty({}, 1, 64);
  empty.info.pInput = eight.data();
  EXPECT_EQ(LPCM2PCMLib(&empty.info), -5);
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
  EXPECT_EQ(LPCM2PCMLib(nullptr), -1);
}

}  // namespace
