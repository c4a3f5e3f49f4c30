// Imports of real streams (the committed ones in tests/data and the AVCHD-
// style streams of the test material), checked against what an independent
// reading of each stream gives: one video sample per access unit with flags
// by picture type and composition offsets from the PES time stamps, the
// 'avcC' parameter sets, 'fiel' and 'pasp', the sound format, one time code
// per picture in display order, and the description text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "engine_test_util.h"
#include "importer_stream_kit.h"
#include "importer_test_util.h"
#include "stream_index.h"
#include "testsupport.h"

using namespace importer_test;

namespace {

using Bytes = std::vector<uint8_t>;

// PES of one stream, read by the data handler tests' own small parser.
std::vector<streamindex::Pes> ReadPes(const Bytes& file, bool video) {
  std::vector<streamindex::Pes> out;
  for (auto& p : streamindex::read_pes(file))
    if (p.video == video) out.push_back(std::move(p));
  return out;
}

struct SliceInfo {
  int nalType = -1, refIdc = 0, sliceType = -1;
};

// First slice of an access unit: its NAL header and slice_type.
SliceInfo FirstSlice(const Bytes& au) {
  for (size_t i = 0; i + 4 < au.size(); ++i) {
    if (au[i] || au[i + 1] || au[i + 2] != 1) continue;
    const int type = au[i + 3] & 0x1F;
    if (type != 1 && type != 5) continue;
    // RBSP of the first bytes (emulation prevention removed), then two ue.
    Bytes rbsp;
    for (size_t k = i + 4; k < au.size() && rbsp.size() < 16; ++k) {
      if (k >= 2 && au[k] == 3 && au[k - 1] == 0 && au[k - 2] == 0) continue;
      rbsp.push_back(au[k]);
    }
    size_t bit = 0;
    auto readBit = [&] { return (rbsp[bit / 8] >> (7 - bit % 8)) & 1; };
    auto ue = [&] {
      int zeros = 0;
      while (!readBit()) ++zeros, ++bit;
      ++bit;
      uint32_t v = 1;
      for (int z = 0; z < zeros; ++z, ++bit) v = v << 1 | uint32_t(readBit());
      return int(v - 1);
    };
    SliceInfo s;
    s.nalType = type;
    s.refIdc = (au[i + 3] >> 5) & 3;
    ue();
    s.sliceType = ue();
    return s;
  }
  return {};
}

uint32_t ExpectedFlags(const SliceInfo& s) {
  switch (s.sliceType % 5) {
    case 0: case 3: return 1;
    case 1: return s.refIdc ? 1 : 0x08000001;
    default: return s.nalType == 5 ? 0 : 0x00010001;
  }
}

// The parameter sets of the first access unit as the record copies them:
// each from its NAL header to the byte before the next three-byte start code.
Bytes ParameterSetBody(const Bytes& au, int type) {
  for (size_t i = 0; i + 4 < au.size(); ++i) {
    if (au[i] || au[i + 1] || au[i + 2] != 1 || (au[i + 3] & 0x1F) != type) continue;
    size_t end = i + 3;
    while (end + 3 <= au.size() && !(au[end] == 0 && au[end + 1] == 0 && au[end + 2] == 1)) ++end;
    if (end + 3 > au.size()) end = au.size();
    return Bytes(au.begin() + long(i + 3), au.begin() + long(end));
  }
  return {};
}

// Whether the access unit carries the camera's user data: an SEI with the
// AVCHD user-data UUID followed by "MDPM". The UUID's last six bytes are also
// accepted mis-split (08 00 20 00 C9 A6), as some muxing tools write them and
// as the test material has them.
bool HasCameraUserData(const Bytes& au) {
  static const uint8_t head[10] = {0x17, 0xEE, 0x8C, 0x60, 0xF8, 0x4D, 0x11, 0xD9, 0x8C, 0xD6};
  static const uint8_t tails[2][10] = {{0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66, 'M', 'D', 'P', 'M'},
                                       {0x08, 0x00, 0x20, 0x00, 0xC9, 0xA6, 'M', 'D', 'P', 'M'}};
  for (auto it = std::search(au.begin(), au.end(), head, head + 10); it != au.end();
       it = std::search(it + 1, au.end(), head, head + 10)) {
    for (const auto& tail : tails)
      if (au.end() - it >= 20 && std::equal(tail, tail + 10, it + 10)) return true;
  }
  return false;
}

struct Expectation {
  const char* name;
  bool committed;     // in tests/data (else the test material)
  bool camera;        // the stream is meant to carry camera user data
  bool interlaced;
  uint32_t hSpacing, vSpacing;
  int32_t timeScale, frameDuration;
  OSType soundFormatFlags;  // 0: no sound track
  uint32_t channels, bits;
  int32_t sampleRate;
  bool lpcm;
  bool dropFrame;
};

const Expectation kStreams[] = {
    {"importer/importer_lpcm_20.m2ts", true, true, false, 1, 1, 25, 1, 14, 2, 16, 48000, true, false},
    {"importer/importer_ac3_51_i.m2ts", true, true, true, 4, 3, 30000, 1001, 12, 6, 16, 48000, false, true},
    {"importer/importer_lpcm_mono24.m2ts", true, false, false, 1, 1, 25, 1, 14, 2, 24, 48000, true, false},
    {"sample.m2ts", true, false, false, 1, 1, 25, 1, 12, 2, 16, 48000, false, false},
    {"avchd/small_lpcm_20_avchd.m2ts", false, true, false, 1, 1, 25, 1, 14, 2, 16, 48000, true, false},
    {"avchd/small_lpcm_51_avchd.m2ts", false, true, false, 1, 1, 25, 1, 0, 0, 0, 48000, true, false},
    {"avchd/small_ac3_20_avchd.m2ts", false, true, false, 1, 1, 25, 1, 12, 2, 16, 48000, false, false},
    {"avchd/small_ac3_51_avchd.m2ts", false, true, false, 1, 1, 25, 1, 12, 6, 16, 48000, false, false},
    {"avchd/small_mbaff_ac3_20_avchd.m2ts", false, true, true, 1, 1, 25, 1, 12, 2, 16, 48000, false, false},
    {"avchd/avchd_1080i_10s_ac3_20_avchd.m2ts", false, true, true, 1, 1, 30000, 1001, 12, 2, 16, 48000, false,
     false},
};

class ImporterStreams : public ::testing::TestWithParam<Expectation> {};

}  // namespace

TEST_P(ImporterStreams, MovieMatchesTheStream) {
  const Expectation& e = GetParam();
  std::string path;
  if (e.committed) {
    path = testsupport::local_data_file(e.name);
  } else {
    AVCHD_REQUIRE_TESTDATA(p, e.name);
    path = p;
  }
  const Bytes file = testsupport::read_file(path);
  const auto video = ReadPes(file, true);
  const auto audio = ReadPes(file, false);
  ASSERT_FALSE(video.empty());

  ImportRun run;
  ImportFile(&run, path);
  ASSERT_EQ(run.result, noErr);
  EXPECT_EQ(run.outFlags, 64);
  MTS_MovieImportGlobalsRecord* store = run.store();
  EXPECT_EQ(store->timeScale, e.timeScale);
  EXPECT_EQ(store->frameDuration, e.frameDuration);

  // Video: one sample per access unit.
  Track vt = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
  ASSERT_NE(vt, nullptr);
  const auto samples = SampleReferences(GetTrackMedia(vt));
  ASSERT_EQ(samples.size(), video.size());
  int64_t minPts = INT64_MAX;
  for (const auto& p : video) minPts = std::min(minPts, p.pts);
  const int64_t delay = std::llround((minPts - video[0].dts) * double(e.timeScale) / 90000.0);
  EXPECT_EQ(store->ptsOffset, delay);
  for (size_t k = 0; k < video.size(); ++k) {
    const SliceInfo s = FirstSlice(video[k].payload);
    EXPECT_EQ(samples[k].flags, ExpectedFlags(s)) << k;
    const int64_t offset = std::llround((video[k].pts - video[k].dts) * double(e.timeScale) / 90000.0) - delay;
    EXPECT_EQ(samples[k].displayOffset, offset) << k;
    EXPECT_EQ(samples[k].dataSize, MTS_GetVideoLength(video[k].payload.data(), int32_t(video[k].payload.size()))) << k;
  }
  // The size of each video sample is exactly what the data handler serves:
  // NAL units behind 4-byte lengths that fill the sample.
  Handle bytes = NewHandle(0);
  for (size_t k = 0; k < samples.size(); k += 7) {
    ASSERT_EQ(GetMediaSampleReferenceData(GetTrackMedia(vt), SInt64(k), bytes), noErr) << k;
    const auto* p = reinterpret_cast<const uint8_t*>(*bytes);
    const size_t size = size_t(GetHandleSize(bytes));
    ASSERT_EQ(size, size_t(samples[k].dataSize)) << k;
    size_t pos = 0;
    while (pos + 4 <= size) pos += 4 + (size_t(p[pos]) << 24 | size_t(p[pos + 1]) << 16 | size_t(p[pos + 2]) << 8 | p[pos + 3]);
    EXPECT_EQ(pos, size) << k;
  }
  DisposeHandle(bytes);

  const auto desc = DescriptionBytes(GetTrackMedia(vt));
  const auto avcC = ExtensionAtom(desc, 86, FOUR_CHAR_CODE("avcC"));
  const Bytes sps = ParameterSetBody(video[0].payload, 7), pps = ParameterSetBody(video[0].payload, 8);
  ASSERT_FALSE(sps.empty());
  Bytes expectedAvcC = {1, 0x64, 0, 0x29, 0xFF, 0xE1, uint8_t(sps.size() >> 8), uint8_t(sps.size())};
  expectedAvcC.insert(expectedAvcC.end(), sps.begin(), sps.end());
  expectedAvcC.insert(expectedAvcC.end(), {1, uint8_t(pps.size() >> 8), uint8_t(pps.size())});
  expectedAvcC.insert(expectedAvcC.end(), pps.begin(), pps.end());
  EXPECT_EQ(avcC, expectedAvcC);
  EXPECT_EQ(ExtensionAtom(desc, 86, FOUR_CHAR_CODE("fiel")), e.interlaced ? Bytes({2, 9}) : Bytes({1, 0}));
  EXPECT_EQ(ExtensionAtom(desc, 86, FOUR_CHAR_CODE("pasp")),
            (Bytes{0, 0, 0, uint8_t(e.hSpacing), 0, 0, 0, uint8_t(e.vSpacing)}));

  // Sound.
  Track st = FindTrack(run.movie, FOUR_CHAR_CODE("soun"));
  if (e.soundFormatFlags == 0) {
    EXPECT_EQ(st, nullptr);
  } else {
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(GetMediaTimeScale(GetTrackMedia(st)), e.sampleRate);
    EXPECT_EQ(SampleReferences(GetTrackMedia(st)).size(), audio.size());
    EXPECT_EQ(store->isLPCM, e.lpcm ? 1 : 0);
    const auto sdesc = DescriptionBytes(GetTrackMedia(st));
    EXPECT_GE(sdesc.size(), 36u);
  }

  // Timecode: one sample per picture, consecutive frame numbers.
  EXPECT_EQ(HasCameraUserData(video[0].payload), e.camera);
  Track tt = FindTrack(run.movie, FOUR_CHAR_CODE("tmcd"));
  if (!HasCameraUserData(video[0].payload)) {
    EXPECT_EQ(tt, nullptr);
    EXPECT_EQ(DescriptionText(run.movie), "QORVEX Importer : ----------------------");
  } else {
    ASSERT_NE(tt, nullptr);
    const auto values = TimecodeValues(store, GetTrackMedia(tt));
    ASSERT_EQ(values.size(), video.size());
    for (size_t i = 1; i < values.size(); ++i) EXPECT_EQ(values[i], values[0] + int64_t(i)) << i;
    EXPECT_EQ(store->timecodeDef.flags, e.dropFrame ? 3 : 2);
    EXPECT_EQ(store->timecodeDef.numFrames, (e.timeScale + e.frameDuration - 1) / e.frameDuration);  // 30 at 29.97
    EXPECT_EQ(DescriptionText(run.movie), e.lpcm ? "QORVEX Importer : QORVEX (LPCM)         "
                                                 : "QORVEX Importer : QORVEX (Dolby Digital)");
  }
}

INSTANTIATE_TEST_SUITE_P(All, ImporterStreams, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<Expectation>& info) {
                           std::string n = info.param.name;
                           n = n.substr(n.find('/') + 1);
                           n = n.substr(0, n.find('.'));
                           return n;
                         });

namespace {

// A field-coded recording sent one PES per field (as a remultiplexer writes
// it): one sample per frame holding both fields, of one frame's duration;
// the data handler serves each sample as the two fields' access units, and
// the samples decode to the pictures of the stream.
TEST(ImporterFieldPictures, FieldsSentApartMakeOneSamplePerFrame) {
  const std::string path = testsupport::local_data_file("importer/importer_paff_fields.m2ts");
  const Bytes file = testsupport::read_file(path);
  const auto pes = ReadPes(file, true);
  const auto want = enginetest::framemd5_column(
      testsupport::read_text(testsupport::local_data_file("importer/importer_paff_fields.video.framemd5")));
  ASSERT_EQ(pes.size(), 2 * want.size());  // the stream holds one PES per field
  for (int32_t flags : {0, kMTSInFlagIdle}) {
    SCOPED_TRACE(flags);
    ImportRun run;
    ImportFile(&run, path, flags);
    ASSERT_EQ(run.result, noErr);
    const Track vt = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
    ASSERT_TRUE(vt);
    const Media media = GetTrackMedia(vt);
    const auto refs = SampleReferences(media);
    ASSERT_EQ(refs.size(), want.size());
    EXPECT_EQ(GetMediaTimeScale(media), 30000);
    EXPECT_EQ(GetTrackDuration(vt), TimeValue(1001 * want.size()));
    Bytes annexB;
    Handle h = NewHandle(0);
    for (size_t k = 0; k < refs.size(); ++k) {
      EXPECT_EQ(refs[k].durationPerSample, 1001) << k;
      EXPECT_EQ(refs[k].flags, k == 0 ? 0u : 1u) << k;  // an IDR frame, then P frames
      const auto& a = pes[2 * k].payload;
      const auto& b = pes[2 * k + 1].payload;
      EXPECT_EQ(refs[k].dataSize, uint32_t(MTS_GetVideoLength(a.data(), int32_t(a.size())) +
                                           MTS_GetVideoLength(b.data(), int32_t(b.size()))))
          << k;
      ASSERT_EQ(GetMediaSampleReferenceData(media, SInt64(k), h), noErr) << k;
      std::vector<std::vector<uint8_t>> units;
      ASSERT_TRUE(streamindex::length_prefixed_units(reinterpret_cast<const uint8_t*>(*h), size_t(GetHandleSize(h)),
                                                     &units))
          << k;
      auto units_of = [](const Bytes& au) { return streamindex::nal_units(au.data(), au.size()); };
      auto fields = units_of(a);
      for (auto& u : units_of(b)) fields.push_back(u);
      EXPECT_EQ(units, fields) << k;
      for (const auto& u : units) {
        annexB.insert(annexB.end(), {0, 0, 0, 1});
        annexB.insert(annexB.end(), u.begin(), u.end());
      }
    }
    DisposeHandle(h);
    EXPECT_EQ(enginetest::decode_buffer(annexB, {}).md5s, want);
  }
}

// A camcorder's field-coded recording (1080i50 PAFF, P fields and non-
// reference B fields), sent one PES per field: each sample holds a frame's
// two fields as the recording has them, a picture parameter set sent again
// with other contents between the two fields of one frame included, with
// the flags of its first field; the samples decode to the recording's
// pictures. (ffmpeg decodes the second field of that frame with the set it
// replaced: see the README.)
TEST(ImporterFieldPictures, CameraFieldsKeepTheirParameterSetsAndFlags) {
  AVCHD_REQUIRE_TESTDATA(source, "avchd/camera_1080i50_paff.264");
  AVCHD_REQUIRE_TESTDATA(reference, "avchd/camera_1080i50_paff.video.framemd5");
  AVCHD_REQUIRE_SHARED_MATERIAL();
  // The fields in decode order, each from its access unit delimiter on.
  const Bytes es = testsupport::read_file(source);
  std::vector<Bytes> fields;
  for (const auto& u : streamindex::nal_units(es.data(), es.size())) {
    if ((u[0] & 0x1F) == 9 || fields.empty()) fields.emplace_back();
    fields.back().insert(fields.back().end(), {0, 0, 0, 1});
    fields.back().insert(fields.back().end(), u.begin(), u.end());
  }
  const int display[] = {2, 0, 1, 4, 3, 6, 5, 8, 7, 10, 9, 12, 11};  // of each frame, in decode order
  ASSERT_EQ(fields.size(), 2 * std::size(display));
  TsWriter ts;
  for (size_t n = 0; n < fields.size(); ++n)
    ts.Video(fields[n], 90000 + display[n / 2] * 3600 + int64_t(n % 2) * 1800, 90000 + (int64_t(n) - 2) * 1800);
  ImportRun run;
  ImportFile(&run, WriteTempFile("camera_paff.m2ts", ts.bytes()));
  ASSERT_EQ(run.result, noErr);
  const Media media = GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("vide")));
  const auto refs = SampleReferences(media);
  ASSERT_EQ(refs.size(), std::size(display));
  Bytes annexB;
  Handle h = NewHandle(0);
  for (size_t k = 0; k < refs.size(); ++k) {
    EXPECT_EQ(refs[k].flags, ExpectedFlags(FirstSlice(fields[2 * k]))) << k;
    EXPECT_EQ(refs[k].displayOffset - refs[0].displayOffset, (display[k] - int64_t(k) - 2) * refs[k].durationPerSample) << k;
    ASSERT_EQ(GetMediaSampleReferenceData(media, SInt64(k), h), noErr) << k;
    std::vector<std::vector<uint8_t>> units;
    ASSERT_TRUE(streamindex::length_prefixed_units(reinterpret_cast<const uint8_t*>(*h), size_t(GetHandleSize(h)), &units));
    for (const auto& u : units) {
      annexB.insert(annexB.end(), {0, 0, 0, 1});
      annexB.insert(annexB.end(), u.begin(), u.end());
    }
  }
  DisposeHandle(h);
  EXPECT_EQ(enginetest::decode_buffer(annexB, {}).md5s, enginetest::framemd5_column(testsupport::read_text(reference)));
}

}  // namespace
