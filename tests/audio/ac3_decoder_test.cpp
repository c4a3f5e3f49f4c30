// The public calls: the interface record, creation and reset, the stream
// query, output layouts and switches, and every way a frame can be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "AC3DecState.h"
#include "AC3Tables.h"
#include "ac3_test_util.h"
#include "testsupport.h"

using namespace ac3test;
using Decoder = ac3test::Instance;

namespace {

constexpr int16_t kGuard = 0x5A5A;

std::vector<uint8_t> LocalStream(const char* name) {
  return testsupport::read_file(testsupport::local_data_file(std::string("ac3/") + name));
}

// First frames of committed streams.
std::vector<uint8_t> Frame(const char* stream, size_t index = 0) {
  const auto frames = SplitFrames(LocalStream(stream));
  return index < frames.size() ? frames[index] : std::vector<uint8_t>();
}
std::vector<uint8_t> Frame51() { return Frame("ac3_51_448k_3s.nodither.ac3"); }
std::vector<uint8_t> Frame20() { return Frame("ac3_20_256k_3s.nodither.ac3"); }

// A record set up the way the components set it, with an output buffer that
// has guard samples past the capacity.
struct Call {
  std::vector<uint8_t> in;
  ac3decInfo info = {};
  std::vector<int16_t> out;
  explicit Call(std::vector<uint8_t> input, int32_t capacity = 131072)
      : in(std::move(input)), out(size_t(capacity) / 2 + 64, kGuard) {
    info.outFollowsStream = 1;
    info.pInput = in.data();
    info.nInputBytes = int32_t(in.size());
    info.pOutput = out.data();
    info.nOutputCapacity = capacity;
  }
  bool untouchedFrom(size_t sample) const {
    for (size_t i = sample; i < out.size(); ++i)
      if (out[i] != kGuard) return false;
    return true;
  }
};

// Words 0..13 are 32-bit, words 14 and 15 pointer-sized.
static_assert(offsetof(ac3decInfo, inChannelConfig) == 8 && offsetof(ac3decInfo, outFollowsStream) == 16 &&
                  offsetof(ac3decInfo, dialogNormalization) == 36 && offsetof(ac3decInfo, nOutputBytes) == 44 &&
                  offsetof(ac3decInfo, pInput) == 56 && offsetof(ac3decInfo, pOutput) == 56 + sizeof(void*) &&
                  sizeof(ac3decInfo) == 56 + 2 * sizeof(void*),
              "interface record layout");

TEST(AC3Interface, CreateCloseAndResetHandles) {
  EXPECT_EQ(AC3DecCloseLib(nullptr), 0);
  EXPECT_EQ(AC3DecResetLib(nullptr), -1);
  AC3DecState* s = AC3DecInitLib();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 32, 0u);
  EXPECT_EQ(s->ditherSeed, 1);
  EXPECT_EQ(AC3DecResetLib(s), 0);
  EXPECT_EQ(AC3DecCloseLib(s), 0);
}

TEST(AC3Interface, ResetRestoresTheHistoryOfANewInstance) {
  // Dithered frames: the output depends on the overlap and the dither state.
  // (committed streams have no dither; the material's have)
  const std::string material = testsupport::testdata_file("ac3/ac3_20_256k_3s.ac3");
  const auto frames = material.empty() ? SplitFrames(LocalStream("ac3_51_448k_3s.nodither.ac3"))
                                       : SplitFrames(testsupport::read_file(material));
  const std::vector<uint8_t> f0 = frames[0], f1 = frames[1];
  Decoder fresh, reused;
  Call a(f0), b(f1), c(f0);
  ASSERT_EQ(AC3DecodeAFrameLib(reused.s, &b.info), 0);
  ASSERT_EQ(AC3DecResetLib(reused.s), 0);
  ASSERT_EQ(AC3DecodeAFrameLib(reused.s, &c.info), 0);
  ASSERT_EQ(AC3DecodeAFrameLib(fresh.s, &a.info), 0);
  EXPECT_EQ(a.out, c.out);
}

TEST(AC3Query, ReportsRateChannelsCodeAndFrameSize) {
  struct Case {
    const char* stream;
    int32_t rate, channels, code, frameBytes;
  };
  const Case cases[] = {{"ac3_51_448k_3s.nodither.ac3", 48000, 6, AC3_CHANNELS_3_2_LFE, 1792},
                        {"own_10_32k_64k.nodither.ac3", 32000, 1, AC3_CHANNELS_1_0, 384},
                        {"own_22_44k_320k_cpl.nodither.ac3", 44100, 4, AC3_CHANNELS_2_2, 1392},
                        {"own_2b1_32k_160k.nodither.ac3", 32000, 3, AC3_CHANNELS_2_1, 960}};
  Decoder d;
  for (const Case& c : cases) {
    const auto f = Frame(c.stream);
    ac3decInfo info = {};
    info.pInput = f.data();
    info.nInputBytes = int32_t(f.size());
    ASSERT_EQ(AC3DecGetInputInfoLib(d.s, &info), 0) << c.stream;
    EXPECT_EQ(info.sampleRate, c.rate) << c.stream;
    EXPECT_EQ(info.nChannels, c.channels) << c.stream;
    EXPECT_EQ(info.inChannelConfig, c.code) << c.stream;
    EXPECT_EQ(info.nAC3FrameByteSize, c.frameBytes) << c.stream;
  }
}

TEST(AC3Query, TwoChannelsWithLfeHaveNoChannelCode) {
  Decoder d;
  const auto f = Frame("own_21_48k_96k.nodither.ac3");
  ac3decInfo info = {};
  info.inChannelConfig = 99;
  info.nAC3FrameByteSize = 99;
  info.pInput = f.data();
  info.nInputBytes = int32_t(f.size());
  EXPECT_EQ(AC3DecGetInputInfoLib(d.s, &info), -2);
  EXPECT_EQ(info.sampleRate, 48000);
  EXPECT_EQ(info.nChannels, 3);
  EXPECT_EQ(info.inChannelConfig, 99);
  EXPECT_EQ(info.nAC3FrameByteSize, 99);
  // The frame itself decodes in the stream's own layout: L R LFE.
  Call call(f);
  ASSERT_EQ(AC3DecodeAFrameLib(d.s, &call.info), 0);
  EXPECT_EQ(call.info.nOutputBytes, 3 * 3072);
}

TEST(AC3Query, RefusesMissingOrShortInput) {
  Decoder d;
  const auto f = Frame20();
  ac3decInfo info = {};
  EXPECT_EQ(AC3DecGetInputInfoLib(nullptr, &info), -1);
  EXPECT_EQ(AC3DecGetInputInfoLib(d.s, nullptr), -1);
  EXPECT_EQ(AC3DecGetInputInfoLib(d.s, &info), -1);  // no input pointer
  info.pInput = f.data();
  info.nInputBytes = 2 + 29;  // 240 bits after the sync word need 30 bytes
  EXPECT_EQ(AC3DecGetInputInfoLib(d.s, &info), -3);
  info.nInputBytes = 2 + 30;
  EXPECT_EQ(AC3DecGetInputInfoLib(d.s, &info), 0);
  const uint8_t noSync[64] = {0x0B, 0x78};
  info.pInput = noSync;
  info.nInputBytes = sizeof noSync;
  EXPECT_EQ(AC3DecGetInputInfoLib(d.s, &info), -3);
}

// Leading garbage is skipped and counted; of two frames in one buffer only
// the first is decoded.
TEST(AC3Decode, GarbageBeforeTheSyncWordAndTwoFramesInOneBuffer) {
  const auto frames = SplitFrames(LocalStream("ac3_20_256k_3s.nodither.ac3"));
  std::vector<uint8_t> in = {0x00, 0x0B, 0x12, 0x77, 0xFF};
  in.insert(in.end(), frames[0].begin(), frames[0].end());
  in.insert(in.end(), frames[1].begin(), frames[1].end());
  Decoder plain, skipped;
  Call a(frames[0]), b(in);
  ASSERT_EQ(AC3DecodeAFrameLib(plain.s, &a.info), 0);
  ASSERT_EQ(AC3DecodeAFrameLib(skipped.s, &b.info), 0);
  EXPECT_EQ(b.info.nInputBytesUsed, int32_t(5 + frames[0].size()));
  EXPECT_EQ(a.out, b.out);
}

TEST(AC3Decode, RefusesNullArgumentsAndEmptyInput) {
  Decoder d;
  const auto f = Frame20();
  Call call(f);
  EXPECT_EQ(AC3DecodeAFrameLib(nullptr, &call.info), -1);
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, nullptr), -1);
  ac3decInfo noOut = call.info;
  noOut.pOutput = nullptr;
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &noOut), -1);
  ac3decInfo noIn = call.info;
  noIn.pInput = nullptr;
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &noIn), -1);
  call.info.nInputBytes = 0;
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), -3);
  call.info.nInputBytes = -5;
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), -3);
  EXPECT_TRUE(call.untouchedFrom(0));
}

TEST(AC3Decode, TruncatedFrameGivesShortInputAndWritesNothing) {
  const auto f = Frame51();
  Decoder d;
  // A previous frame's count must not survive the failure.
  Call good(f);
  ASSERT_EQ(AC3DecodeAFrameLib(d.s, &good.info), 0);
  for (size_t keep : {size_t(2), size_t(4), size_t(6), f.size() / 2, f.size() - 1}) {
    std::vector<uint8_t> cut(f.begin(), f.begin() + long(keep));
    Call call(cut);
    call.info.nOutputBytes = 12345;
    EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), -3) << keep;
    EXPECT_TRUE(call.untouchedFrom(0)) << keep;
    EXPECT_EQ(call.info.nOutputBytes, 0) << keep;
  }
}

TEST(AC3Decode, CorruptedByteInEitherCrcRangeIsRefused) {
  const auto f = Frame51();
  const int32_t words = FrameWords(f.data());
  const size_t firstPart = size_t(2 * (words / 2) + 2 * (words / 8));
  for (size_t at : {size_t(3), size_t(10), firstPart - 1, firstPart, f.size() / 2 + firstPart / 2,
                    f.size() - 1}) {
    std::vector<uint8_t> bad = f;
    bad[at] ^= 0x10;
    Decoder d;
    Call call(bad);
    EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), -8) << at;
    EXPECT_TRUE(call.untouchedFrom(0)) << at;
    EXPECT_EQ(call.info.nOutputBytes, 0);
  }
}

// Reserved rate and frame-size codes are refused before the CRC; E-AC-3 and
// bsid 9 and 10 (CRCs repaired) are reserved versions, refused before the
// sync information is used.
TEST(AC3Decode, ReservedCodesAndVersionsAreRefused) {
  const auto f = Frame20();
  auto edited = [&](int at, uint8_t keep, uint8_t set, bool fixCrc) {
    std::vector<uint8_t> e = f;
    e[size_t(at)] = uint8_t((e[size_t(at)] & keep) | set);
    if (fixCrc) FixFrameCrcs(e.data(), FrameWords(e.data()));
    return e;
  };
  const std::pair<std::vector<uint8_t>, int32_t> cases[] = {
      {edited(4, 0x3F, 0xC0, false), -7},  // fscod 3
      {edited(4, 0xC0, 38, false), -2},    // frmsizecod 38
      {edited(5, 7, 9 << 3, true), -7},    {edited(5, 7, 10 << 3, true), -7},
      {LocalStream("eac3_20_96k.eac3"), -7}};
  for (const auto& [in, rc] : cases) {
    ASSERT_GT(in.size(), 16u);
    Decoder d;
    Call call(in);
    EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), rc);
    EXPECT_TRUE(call.untouchedFrom(0));
    ac3decInfo q = call.info;
    EXPECT_EQ(AC3DecGetInputInfoLib(d.s, &q), rc);
  }
}

TEST(AC3Decode, OutputCapacityIsNeverExceeded) {
  const auto f = Frame51();
  Decoder d;
  // One sample short of the frame: five blocks fit, the sixth is refused.
  Call call(f, 18432 - 2);
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), -4);
  EXPECT_TRUE(call.untouchedFrom(5 * 3072 / 2));
  EXPECT_EQ(call.info.nOutputBytes, 5 * 3072);
  Call none(f, 100);
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &none.info), -4);
  EXPECT_TRUE(none.untouchedFrom(0));
  EXPECT_EQ(none.info.nOutputBytes, 0);
}

TEST(AC3Decode, BrokenBlockRuleReportsOnlyTheBytesOfThisFrame) {
  // Clear cplstre of block 0 (a block-0 rule), behind the bit-stream
  // information, and repair the CRCs so that the block parser sees it.
  std::vector<uint8_t> f = Frame20();
  Decoder probe;
  ac3dec::AC3BitReader r;
  ac3dec::InitBitReader(&r, f.data(), int32_t(f.size()));
  ASSERT_EQ(ac3dec::GetSynch(&r), 0);
  ASSERT_EQ(ac3dec::ParseSyncInfo(probe.s, &r), 0);
  ASSERT_EQ(ac3dec::ParseBsi(probe.s, &r), 0);
  // blksw[2], dithflag[2], dynrnge (0 in these streams), then cplstre.
  const int64_t cplstre = ac3dec::BitsRead(&r) + 2 + 2 + 1;
  ASSERT_TRUE(f[size_t(cplstre >> 3)] & (0x80 >> (cplstre & 7)));
  f[size_t(cplstre >> 3)] &= uint8_t(~(0x80 >> (cplstre & 7)));
  FixFrameCrcs(f.data(), FrameWords(f.data()));

  Decoder d;
  Call good(Frame20());
  ASSERT_EQ(AC3DecodeAFrameLib(d.s, &good.info), 0);
  Call call(f);
  call.info.nOutputBytes = good.info.nOutputBytes;
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), -2);
  EXPECT_EQ(call.info.nOutputBytes, 0);
  EXPECT_TRUE(call.untouchedFrom(0));
  // The instance stays usable.
  Call again(Frame20());
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &again.info), 0);
}

// The stream's own layout and every fixed one; an LFE requested from a
// stream without one is silent; no layout yet, and a kept layout.
TEST(AC3Decode, OutputLayoutsAndTheirSizes) {
  const auto f = Frame51();
  const int32_t bytes[9] = {3072, 6144, 9216, 9216, 12288, 12288, 15360, 18432, 18432};
  for (int32_t code = 0; code <= 8; ++code) {  // 8: the stream's own
    Decoder d;
    Call call(f);
    call.info.outFollowsStream = code == 8;
    call.info.outChannelConfig = code;
    ASSERT_EQ(AC3DecodeAFrameLib(d.s, &call.info), 0) << code;
    EXPECT_EQ(call.info.nOutputBytes, bytes[code]) << code;
    EXPECT_EQ(call.info.nAC3FrameByteSize, 1792);
    EXPECT_EQ(call.info.nInputBytesUsed, 1792);
    EXPECT_TRUE(call.untouchedFrom(size_t(bytes[code]) / 2));
  }
  Decoder d;
  Call lfe(Frame20());
  lfe.info.outFollowsStream = 0;
  lfe.info.outChannelConfig = 7;
  ASSERT_EQ(AC3DecodeAFrameLib(d.s, &lfe.info), 0);
  ASSERT_EQ(lfe.info.nOutputBytes, 18432);
  for (int i = 0; i < 1536; ++i) ASSERT_EQ(lfe.out[size_t(i) * 6 + 5], 0) << i;

  Decoder fresh;
  Call first(f);
  first.info.outFollowsStream = 0;
  first.info.outChannelConfig = 8;
  EXPECT_EQ(AC3DecodeAFrameLib(fresh.s, &first.info), -6);
  Call stereo(f);
  stereo.info.outFollowsStream = 0;
  stereo.info.outChannelConfig = 1;
  ASSERT_EQ(AC3DecodeAFrameLib(fresh.s, &stereo.info), 0);
  Call kept(f);
  kept.info.outFollowsStream = 0;
  kept.info.outChannelConfig = -1;  // read unsigned: above 7, keeps 2/0
  ASSERT_EQ(AC3DecodeAFrameLib(fresh.s, &kept.info), 0);
  EXPECT_EQ(kept.info.nOutputBytes, 6144);
}

// Mixing comes before the window and the gain, which are linear, so the
// downmixed PCM is the mix of the stream's own channels within rounding.
TEST(AC3Decode, DownmixedOutputIsTheMixOfTheDecodedChannels) {
  const auto frames = SplitFrames(LocalStream("ac3_51_448k_3s.nodither.ac3"));
  const Decoded six = DecodeFrames({frames.begin(), frames.begin() + 8});
  ASSERT_EQ(six.error, 0);
  Decoder probe;
  Call header(frames[0]);
  ASSERT_EQ(AC3DecodeAFrameLib(probe.s, &header.info), 0);
  const double clev = ac3dec::Clev[probe.s->bsi.cmixlev];
  const double slev = ac3dec::Slev[probe.s->bsi.surmixlev];
  const double k = 0.707f;
  struct Mode {
    int32_t code, stereoMode;
  };
  for (const Mode m : {Mode{1, 0}, Mode{1, 1}, Mode{0, 0}}) {
    Decoder d;
    std::vector<int16_t> mixed;
    for (size_t f = 0; f < 8; ++f) {
      Call call(frames[f]);
      call.info.outFollowsStream = 0;
      call.info.outChannelConfig = m.code;
      call.info.stereoMode = m.stereoMode;
      ASSERT_EQ(AC3DecodeAFrameLib(d.s, &call.info), 0);
      mixed.insert(mixed.end(), call.out.begin(), call.out.begin() + call.info.nOutputBytes / 2);
    }
    const size_t outCh = m.code == 0 ? 1 : 2;
    ASSERT_EQ(mixed.size(), six.pcm.size() / 6 * outCh);
    int worst = 0;
    for (size_t i = 0; i < six.pcm.size() / 6; ++i) {
      const int16_t* x = &six.pcm[i * 6];  // L C R Ls Rs LFE
      const double L = x[0], C = x[1], R = x[2], Ls = x[3], Rs = x[4];
      double want[2];
      if (m.code == 0) {
        want[0] = 0.5 * clev * C + 0.5 * (L + R) + 0.5 * slev * (Ls + Rs);
      } else if (m.stereoMode) {
        want[0] = L + k * C - k * (Ls + Rs);
        want[1] = R + k * C + k * (Ls + Rs);
      } else {
        want[0] = L + clev * C + slev * Ls;
        want[1] = R + clev * C + slev * Rs;
      }
      for (size_t c = 0; c < outCh; ++c) {
        const double w = std::max(-32768.0, std::min(32767.0, want[c]));
        worst = std::max(worst, int(std::lround(std::fabs(mixed[i * outCh + c] - w))));
      }
    }
    // Each input sample carries up to half an LSB of rounding.
    EXPECT_LE(worst, 3) << "code " << m.code << " Lt/Rt " << m.stereoMode;
  }
}

TEST(AC3Decode, SwitchesOutOfRangeAreRefused) {
  const auto f = Frame20();
  for (int field = 4; field <= 9; ++field) {
    if (field == 5) continue;
    Decoder d;
    Call call(f);
    reinterpret_cast<int32_t*>(&call.info)[field] = 2;
    EXPECT_EQ(AC3DecodeAFrameLib(d.s, &call.info), -2) << field;
    EXPECT_TRUE(call.untouchedFrom(0));
  }
}

// A frame header of acmod 0 (1+1, two independent mono programmes), valid
// CRCs; the decoder refuses it before any audio block.
std::vector<uint8_t> DualMonoFrame() {
  BitWriter w;
  w.put(0x0B77, 16);
  w.put(0, 16);  // crc1, fixed below
  w.put(0, 2);   // 48 kHz
  w.put(8, 6);   // 96 kbit/s: 192 words
  w.put(8, 5);   // bsid
  w.put(0, 3);   // bsmod
  w.put(0, 3);   // acmod 0
  w.align();
  std::vector<uint8_t> f = w.bytes();
  f.resize(384, 0);
  FixFrameCrcs(f.data(), 192);
  return f;
}

TEST(AC3Decode, DualMonoIsRefused) {
  const auto f = DualMonoFrame();
  Decoder d;
  ac3decInfo q = {};
  q.pInput = f.data();
  q.nInputBytes = int32_t(f.size());
  EXPECT_EQ(AC3DecGetInputInfoLib(d.s, &q), -2);
  Call follow(f);
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &follow.info), -6);
  Call fixed(f);
  fixed.info.outFollowsStream = 0;
  fixed.info.outChannelConfig = 1;
  EXPECT_EQ(AC3DecodeAFrameLib(d.s, &fixed.info), -2);
  EXPECT_TRUE(follow.untouchedFrom(0) && fixed.untouchedFrom(0));
}

TEST(AC3Decode, BlocksOverrunningTheFrameAreReported) {
  // A frame whose size code says 64 words while the blocks need more: cut a
  // real frame's size code down and repair the CRCs over the shorter frame.
  std::vector<uint8_t> f = Frame51();
  f[4] = uint8_t(f[4] & 0xC0);  // frmsizecod 0: 64 words
  FixFrameCrcs(f.data(), 64);
  Decoder d;
  Call call(f);
  const int32_t rc = AC3DecodeAFrameLib(d.s, &call.info);
  EXPECT_NE(rc, 0);
  EXPECT_LE(call.info.nOutputBytes, 18432);
  EXPECT_TRUE(call.untouchedFrom(18432 / 2));
}

}  // namespace
