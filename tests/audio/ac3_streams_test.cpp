// Real streams through the public calls, against ffmpeg's decodes committed
// by tests/data/ac3/make.sh.
//
// Dither fills bins that carry no bits with a random sequence of each
// decoder's own, so a dithered stream can only match another decoder where the
// encoder left no such bins. The streams named *.nodither.ac3 have every
// dithflag cleared; they must match within rounding (4 LSB, 75 dB). The
// original streams of the external material must decode to exactly the same
// frame count and sizes, and differ from the reference by no more than the
// two decoders' dither explains.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ac3_test_util.h"
#include "checkasm.h"
#include "testsupport.h"
#include "vpCoreInternal.h"

using namespace ac3test;

namespace {

constexpr int kMaxDiff = 4;
constexpr double kMinSnrDb = 75.0;
// With the two decoders' different dither in bins without bits.
constexpr double kMinSnrDbDithered = 30.0;
// Where the reference's own dither is known (its decode of the same stream
// without dither), our distance to it may exceed that dither by our own,
// which is of the same size: at most 3 dB.
constexpr double kDitherMarginDb = 3.0;

std::string Local(const std::string& name) { return testsupport::local_data_file("ac3/" + name); }

void ExpectWithinRounding(const Decoded& d, const std::vector<int16_t>& ref) {
  ASSERT_EQ(d.error, 0);
  ASSERT_EQ(d.pcm.size(), ref.size());
  const std::vector<int> map = ReferenceToOurs(d.acmod, d.lfeon);
  ASSERT_EQ(int(map.size()), d.channels);
  const std::vector<ChannelDiff> diffs = CompareInterleaved(d.pcm, ref, map);
  for (size_t c = 0; c < diffs.size(); ++c) {
    EXPECT_LE(diffs[c].maxAbs, kMaxDiff) << "reference channel " << c;
    EXPECT_GE(diffs[c].snrDb, kMinSnrDb) << "reference channel " << c;
  }
}

// Frame sizes (bytes) from a reference .framemd5 file: the fifth field.
std::vector<int32_t> FrameSizesOf(const std::string& framemd5) {
  std::vector<int32_t> sizes;
  std::istringstream in(testsupport::read_text(framemd5));
  std::string line, size;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    for (int i = 0; i < 5; ++i) std::getline(fields, size, ',');
    sizes.push_back(std::stoi(size));
  }
  return sizes;
}

// `name`.s16 is the reference; `name`.nodither.s16, when committed, the
// reference decoder's output for the same stream without dither.
void ExpectCloseToDitheredReference(const Decoded& d, const std::string& name,
                                    const std::string& framemd5) {
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(d.frameBytes, FrameSizesOf(framemd5));
  const std::vector<int16_t> ref = ReadS16(Local(name + ".s16"));
  ASSERT_EQ(d.pcm.size(), ref.size());
  const std::vector<ChannelDiff> diffs = CompareInterleaved(d.pcm, ref, ReferenceToOurs(d.acmod, d.lfeon));
  const std::vector<int16_t> refWithoutDither = ReadS16(Local(name + ".nodither.s16"));
  std::vector<ChannelDiff> refDither;
  if (refWithoutDither.size() == ref.size()) {
    std::vector<int> same(diffs.size());
    for (size_t c = 0; c < same.size(); ++c) same[c] = int(c);
    refDither = CompareInterleaved(refWithoutDither, ref, same);
  }
  for (size_t c = 0; c < diffs.size(); ++c) {
    double floor = kMinSnrDbDithered;
    if (!refDither.empty()) floor = std::min(kMinSnrDb, refDither[c].snrDb - kDitherMarginDb);
    EXPECT_GE(diffs[c].snrDb, floor) << "reference channel " << c;
  }
}

std::string ParamName(const ::testing::TestParamInfo<const char*>& info) { return info.param; }

struct NoDither {
  const char* name;
  int acmod, lfeon, rate;
};
class NoDitherStream : public ::testing::TestWithParam<NoDither> {};

// Streams without dither: every layout class, 32/44.1/48 kHz, 64..640 kbit/s,
// with and without coupling, and the 3-second streams of the material.
TEST_P(NoDitherStream, MatchesReferenceWithinRounding) {
  const std::string name = GetParam().name;
  const std::vector<uint8_t> stream = testsupport::read_file(Local(name + ".nodither.ac3"));
  ASSERT_FALSE(stream.empty()) << name;
  const Decoded d = DecodeStream(stream);
  EXPECT_EQ(d.acmod, GetParam().acmod);
  EXPECT_EQ(d.lfeon, GetParam().lfeon);
  EXPECT_EQ(d.sampleRate, GetParam().rate);
  ExpectWithinRounding(d, ReadS16(Local(name + ".nodither.s16")));
}

INSTANTIATE_TEST_SUITE_P(
    Committed, NoDitherStream,
    ::testing::Values(NoDither{"own_10_32k_64k", 1, 0, 32000}, NoDither{"own_20_44k_128k_cpl", 2, 0, 44100},
                      NoDither{"own_20_48k_640k", 2, 0, 48000}, NoDither{"own_21_48k_96k", 2, 1, 48000},
                      NoDither{"own_30_44k_192k", 3, 0, 44100}, NoDither{"own_2b1_32k_160k", 4, 0, 32000},
                      NoDither{"own_31_48k_224k_cpl", 5, 0, 48000}, NoDither{"own_22_44k_320k_cpl", 6, 0, 44100},
                      NoDither{"own_32_32k_384k", 7, 0, 32000}, NoDither{"own_51_48k_640k", 7, 1, 48000},
                      NoDither{"own_51_44k_384k_cpl", 7, 1, 44100}, NoDither{"ac3_10_96k_3s", 1, 0, 48000},
                      NoDither{"ac3_20_256k_3s", 2, 0, 48000}, NoDither{"ac3_51_448k_3s", 7, 1, 48000}),
    [](const ::testing::TestParamInfo<NoDither>& info) { return std::string(info.param.name); });

class MaterialStream : public ::testing::TestWithParam<const char*> {};

TEST_P(MaterialStream, ThreeSecondStreamMatchesFrameSizesAndStaysClose) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  const std::string name = GetParam();
  AVCHD_REQUIRE_TESTDATA(path, "ac3/" + name + ".ac3");
  AVCHD_REQUIRE_TESTDATA(framemd5, "ac3/" + name + ".s16.framemd5");
  ExpectCloseToDitheredReference(DecodeStream(testsupport::read_file(path)), name, framemd5);
}

INSTANTIATE_TEST_SUITE_P(Ac3, MaterialStream,
                         ::testing::Values("ac3_10_96k_3s", "ac3_20_256k_3s", "ac3_51_448k_3s"), ParamName);

class AvchdStream : public ::testing::TestWithParam<const char*> {};

// The audio of the AVCHD-style recordings, one frame per PES, as the
// demultiplexer delivers it to the data handler.
TEST_P(AvchdStream, AudioMatchesFrameSizesAndStaysClose) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  const std::string name = GetParam();
  AVCHD_REQUIRE_TESTDATA(path, "avchd/" + name + ".m2ts");
  AVCHD_REQUIRE_TESTDATA(framemd5, "avchd/" + name + ".audio.framemd5");
  const auto payloads = AudioPayloadsOfTransportStream(testsupport::read_file(path));
  ASSERT_FALSE(payloads.empty());
  ExpectCloseToDitheredReference(DecodeFrames(payloads), name, framemd5);
}

INSTANTIATE_TEST_SUITE_P(Avchd, AvchdStream,
                         ::testing::Values("small_ac3_20_avchd", "small_ac3_51_avchd",
                                           "small_mbaff_ac3_20_avchd", "avchd_1080i_10s_ac3_20_avchd"),
                         ParamName);

class EveryVariant : public ::testing::TestWithParam<const char*> {};

// One output whichever variant of the primitives runs, but for SSE2: its
// 128-point FFT (the long blocks' inverse transform) takes a radix-8 first
// pass where SSSE3 and SSE4.1 take radix-4 passes and a radix-2 last one,
// which moves a few samples by one unit.
TEST_P(EveryVariant, SameOutputButSse2WithinOneUnit) {
  AVCHD_REQUIRE_TESTDATA(path, std::string("ac3/") + GetParam() + ".ac3");
  const std::vector<uint8_t> stream = testsupport::read_file(path);
  const uint32_t forced = vpForcedVariant();
  std::vector<int16_t> pcm[4];
  for (uint32_t slot = 1; slot <= 3; ++slot) {
    if (!checkasm::processorHas(slot)) continue;
    vpSetForcedVariant(slot);
    pcm[slot] = DecodeStream(stream).pcm;
  }
  vpSetForcedVariant(forced);
  vpStaticInit();
  ASSERT_FALSE(pcm[1].empty());
  EXPECT_TRUE(pcm[3].empty() || pcm[3] == pcm[2]) << "SSE4.1 and SSSE3";
  if (pcm[2].empty()) return;
  ASSERT_EQ(pcm[1].size(), pcm[2].size());
  size_t moved = 0;
  for (size_t i = 0; i < pcm[1].size(); ++i) {
    ASSERT_LE(std::abs(pcm[1][i] - pcm[2][i]), 1) << "sample " << i;
    moved += pcm[1][i] != pcm[2][i];
  }
  EXPECT_LT(moved, pcm[1].size() / 1000) << "SSE2 samples one unit off";
}

INSTANTIATE_TEST_SUITE_P(Ac3, EveryVariant,
                         ::testing::Values("ac3_10_96k_3s", "ac3_20_256k_3s", "ac3_51_448k_3s", "ac3_51_448k_60s"),
                         ParamName);

TEST(MaterialStream, SixtySecondStreamFrameCountAndSizes) {
  AVCHD_REQUIRE_TESTDATA(path, "ac3/ac3_51_448k_60s.ac3");
  int frames = 0, bytes = 0;
  std::istringstream(testsupport::read_text(Local("ac3_51_448k_60s.frames"))) >> frames >> bytes;
  ASSERT_GT(frames, 0);
  const Decoded d = DecodeStream(testsupport::read_file(path));
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(int(d.frameBytes.size()), frames);
  for (int32_t b : d.frameBytes) ASSERT_EQ(b, bytes);
}

}  // namespace
