// Imports of damaged recordings: bytes in front of the first packet, a
// recording cut short, two recordings joined (time stamps restart), a cut
// recording joined with a whole one, a damaged stretch. Each imports what it
// holds, and every sample reads back through the data handler.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>

#include "importer_stream_kit.h"
#include "importer_test_util.h"
#include "testsupport.h"

using namespace importer_test;

namespace {

struct Sample {
  MediaSampleReference ref;
  Bytes bytes;  // read through the data handler
};

struct Imported {
  ComponentResult result = 0;
  std::vector<Sample> video, sound;
  std::vector<int64_t> timecodes;
  TimeValue videoDuration = 0;
  TimeValue maxLoaded = 0;  // MovieImportGetMaxLoadedTime's answer
  int64_t soundLostTicks = 0;
  std::vector<MTS_LeftOutSound> leftOutSound;
};

std::vector<Sample> ReadSamples(Media media) {
  std::vector<Sample> out;
  if (!media) return out;
  Handle h = NewHandle(0);
  const auto refs = SampleReferences(media);
  for (size_t k = 0; k < refs.size(); ++k) {
    EXPECT_EQ(GetMediaSampleReferenceData(media, SInt64(k), h), noErr) << k;
    const auto* p = reinterpret_cast<const uint8_t*>(*h);
    out.push_back({refs[k], Bytes(p, p + GetHandleSize(h))});
  }
  DisposeHandle(h);
  return out;
}

Imported Import(const std::string& name, const Bytes& stream) {
  ImportRun run;
  ImportFile(&run, WriteTempFile(name, stream));
  Imported m;
  m.result = run.result;
  if (run.result != noErr) return m;
  Track v = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
  Track s = FindTrack(run.movie, FOUR_CHAR_CODE("soun"));
  Track t = FindTrack(run.movie, FOUR_CHAR_CODE("tmcd"));
  m.video = ReadSamples(v ? GetTrackMedia(v) : nullptr);
  m.sound = ReadSamples(s ? GetTrackMedia(s) : nullptr);
  if (t) m.timecodes = TimecodeValues(run.store(), GetTrackMedia(t));
  if (v) m.videoDuration = GetTrackDuration(v);
  EXPECT_EQ(MTS_MovieImportGetMaxLoadedTime(run.store(), &m.maxLoaded), noErr);
  m.soundLostTicks = run.store()->soundLostTicks;
  if (run.store()->leftOutSound) m.leftOutSound = *run.store()->leftOutSound;
  return m;
}

bool SameSample(const Sample& a, const Sample& b) {
  return a.bytes == b.bytes && a.ref.dataSize == b.ref.dataSize && a.ref.count == b.ref.count &&
         a.ref.durationPerSample == b.ref.durationPerSample && a.ref.flags == b.ref.flags;
}

// Display times (decode time + composition offset) of video samples
// [from, to): the first and last in display order.
std::pair<int64_t, int64_t> DisplaySpan(const std::vector<Sample>& v, size_t from, size_t to) {
  int64_t decode = 0, lo = INT64_MAX, hi = INT64_MIN;
  for (size_t k = 0; k < to; ++k) {
    if (k >= from) {
      lo = std::min(lo, decode + v[k].ref.displayOffset);
      hi = std::max(hi, decode + v[k].ref.displayOffset);
    }
    decode += v[k].ref.durationPerSample;
  }
  return {lo, hi};
}

Bytes Noise(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + long(std::min(n, b.size()))); }

// Calls `change(pts, dts)` on the time stamps of every unit start on `pid`
// with a PES header that carries them (dts < 0 when there is none), and
// writes back what it leaves there.
void ChangeTimes(Bytes& stream, int pid, const std::function<void(int index, int64_t& pts, int64_t& dts)>& change) {
  auto get = [](const uint8_t* p) {
    return int64_t((p[0] >> 1) & 7) << 30 | int64_t(p[1]) << 22 | int64_t(p[2] >> 1) << 15 | int64_t(p[3]) << 7 |
           int64_t(p[4] >> 1);
  };
  auto put = [](uint8_t* p, int prefix, uint64_t t) {
    p[0] = uint8_t(prefix << 4 | ((t >> 29) & 0x0E) | 1);
    p[1] = uint8_t(t >> 22);
    p[2] = uint8_t((t >> 14) | 1);
    p[3] = uint8_t(t >> 7);
    p[4] = uint8_t((t << 1) | 1);
  };
  int index = 0;
  for (size_t pos = 0; pos + 192 <= stream.size(); pos += 192) {
    uint8_t* ts = &stream[pos + 4];
    if (ts[0] != 0x47 || !(ts[1] & 0x40) || ((ts[1] & 0x1F) << 8 | ts[2]) != pid) continue;
    uint8_t* pes = ts + 4 + ((ts[3] & 0x20) ? ts[4] + 1 : 0);
    const int flags = pes[7] >> 6;
    if (flags < 2) continue;
    int64_t pts = get(pes + 9), dts = flags == 3 ? get(pes + 14) : -1;
    change(index++, pts, dts);
    put(pes + 9, flags == 3 ? 3 : 2, uint64_t(pts));
    if (flags == 3) put(pes + 14, 1, uint64_t(dts));
  }
}

// Writes `pts` and `dts` into the PES header of the `index`-th unit start.
void SetTimes(Bytes& stream, int pid, int which, int64_t pts, int64_t dts) {
  ChangeTimes(stream, pid, [&](int index, int64_t& p, int64_t& d) {
    if (index != which) return;
    p = pts;
    if (d >= 0) d = dts;
  });
}

// Every time stamp of both streams moved by `ticks`.
Bytes Shifted(Bytes stream, int64_t ticks) {
  for (int pid : {kVideoPid, kAudioPid})
    ChangeTimes(stream, pid, [&](int, int64_t& p, int64_t& d) {
      p += ticks;
      if (d >= 0) d += ticks;
    });
  return stream;
}

// A camera stream with LPCM sound (time codes and sound that read back
// exactly), and the committed AC-3 sample.
std::vector<std::pair<const char*, Bytes>> Sources() {
  StreamOptions o;
  o.pictures = GopPattern(4);
  o.timecodeStart = 36000 * 25;
  return {{"camera", MakeStream(o)}, {"sample", testsupport::read_file(testsupport::local_data_file("sample.m2ts"))}};
}

// MovieImportValidate on a file, through a fresh importer instance.
Boolean Validate(const std::string& path) {
  RegisterImporter();
  ComponentInstance ci = nullptr;
  EXPECT_EQ(OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &ci), noErr);
  FSSpec spec{};
  FSPathMakeFSSpec(path.c_str(), &spec);
  Boolean valid = 99;
  EXPECT_EQ(CallComponentSelector(ci, SInt16(14), &spec, static_cast<Handle>(nullptr), &valid), noErr);
  CloseComponent(ci);
  return valid;
}

TEST(ImporterDamaged, BytesInFrontOfTheFirstPacket) {
  for (const auto& [name, clean] : Sources()) {
    const Imported want = Import("clean.m2ts", clean);
    ASSERT_EQ(want.result, noErr) << name;
    for (size_t prefix : {1u, 5u, 100u, 191u, 1000u}) {
      SCOPED_TRACE(testing::Message() << name << " prefix " << prefix);
      const Bytes prefixed = Cat({Noise(prefix, uint32_t(prefix)), clean});
      EXPECT_EQ(Validate(WriteTempFile("validate.m2ts", prefixed)), 128);
      const Imported got = Import("prefixed.m2ts", prefixed);
      ASSERT_EQ(got.result, noErr);
      ASSERT_EQ(got.video.size(), want.video.size());
      ASSERT_EQ(got.sound.size(), want.sound.size());
      for (size_t k = 0; k < want.video.size(); ++k) EXPECT_TRUE(SameSample(got.video[k], want.video[k])) << k;
      for (size_t k = 0; k < want.sound.size(); ++k) EXPECT_TRUE(SameSample(got.sound[k], want.sound[k])) << k;
      EXPECT_EQ(got.timecodes, want.timecodes);
    }
  }
  // Bytes that hold no packets are still refused.
  EXPECT_EQ(Validate(WriteTempFile("noise.m2ts", Noise(8192, 77))), 0);
}

// A recording cut to a few dozen packets holds more frames than its time
// span promises; the frame index must still take them all. (The camera
// stream spends about 50 packets on sound per picture: 40 of its packets
// hold one picture, the PES of which is never completed by a next one.)
TEST(ImporterDamaged, RecordingsCutShort) {
  for (const auto& [name, clean] : Sources()) {
    const size_t scale = name == std::string("camera") ? 4 : 1;
    for (size_t packets : {size_t(40), 60 * scale, 100 * scale}) {
      for (size_t extra : {0u, 77u}) {
        SCOPED_TRACE(testing::Message() << name << " " << packets << " packets + " << extra);
        const Imported got = Import("cut.m2ts", Head(clean, packets * 192 + extra));
        ASSERT_EQ(got.result, noErr);
        EXPECT_GE(got.video.size(), packets == 40 && scale > 1 ? 1u : 2u);
      }
    }
  }
}

// Two recordings joined with `cat`, and a cut one joined with a whole one:
// one movie in which time runs on across the join, every sample reads back,
// and the second recording is displayed after the first.
TEST(ImporterDamaged, JoinedRecordings) {
  for (const auto& [name, clean] : Sources()) {
    const Imported one = Import("clean.m2ts", clean);
    ASSERT_EQ(one.result, noErr) << name;
    const size_t n = one.video.size();
    const size_t cutAt = clean.size() / 2 + 61;  // not on a packet boundary
    struct Join {
      const char* what;
      Bytes stream;
      bool whole;  // the first part is the whole recording
    };
    const Join joins[] = {{"cat", Cat({clean, clean}), true}, {"cut then cat", Cat({Head(clean, cutAt), clean}), false}};
    for (const Join& j : joins) {
      SCOPED_TRACE(testing::Message() << name << " " << j.what);
      const Imported got = Import("joined.m2ts", j.stream);
      ASSERT_EQ(got.result, noErr);
      ASSERT_GT(got.video.size(), n);
      const size_t first = got.video.size() - n;  // samples of the first part
      if (j.whole) {
        ASSERT_EQ(got.video.size(), 2 * n);
        EXPECT_GE(got.sound.size(), 2 * one.sound.size() - 1);
        EXPECT_EQ(got.videoDuration, 2 * one.videoDuration);
        std::vector<int64_t> twice = one.timecodes;
        twice.insert(twice.end(), one.timecodes.begin(), one.timecodes.end());
        EXPECT_EQ(got.timecodes, twice);
      }
      // The second recording comes out whole, after the first.
      for (size_t k = 0; k < n; ++k) EXPECT_TRUE(SameSample(got.video[first + k], one.video[k])) << k;
      EXPECT_LT(DisplaySpan(got.video, 0, first).second, DisplaySpan(got.video, first, got.video.size()).first);
      for (const Sample& s : got.video) EXPECT_GT(s.ref.durationPerSample, 0);
    }
  }
}

// Joined recordings whose time stamps go back at the join, or ahead by an
// hour, imported at once and with idling: the composition offsets are those
// of one recording (the delay between decoding and display comes from the
// start of the file, not from the smaller time stamps of its end).
TEST(ImporterDamaged, JoinedRecordingsWithOtherTimeStamps) {
  for (const auto& [name, clean] : Sources()) {
    const Imported one = Import("clean.m2ts", clean);
    ASSERT_EQ(one.result, noErr);
    const Bytes later = Shifted(clean, int64_t(3600) * 90000);
    for (const Bytes& joined : {Cat({later, clean}), Cat({clean, later})}) {
      SCOPED_TRACE(name);
      for (int32_t flags : {0, kMTSInFlagIdle}) {
        ImportRun run;
        ImportFile(&run, WriteTempFile("joined.m2ts", joined), flags);
        ASSERT_EQ(run.result, noErr) << flags;
        const auto video = SampleReferences(GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("vide"))));
        const size_t n = one.video.size();
        ASSERT_EQ(video.size(), 2 * n);
        for (size_t k = 0; k < 2 * n; ++k)
          EXPECT_EQ(video[k].displayOffset, one.video[k % n].ref.displayOffset) << k;
        if (flags == 0) {
          EXPECT_EQ(GetTrackDuration(FindTrack(run.movie, FOUR_CHAR_CODE("vide"))), 2 * one.videoDuration);
        }
      }
    }
  }
}

// A recording whose sound runs on 24 ms past its last picture, joined with
// itself 30 times (imported at once and with idling): all its sound is in
// the movie, and each copy's sound plays with that copy's pictures, within
// a picture; the sound track is as long as the video track.
TEST(ImporterDamaged, JoinedRecordingsWhoseSoundOutlastsThePictures) {
  const Bytes clip = testsupport::read_file(testsupport::local_data_file("importer/importer_sound_longer.m2ts"));
  const Imported one = Import("clip.m2ts", clip);
  ASSERT_EQ(one.result, noErr);
  Bytes joined;
  const int copies = 30;
  for (int k = 0; k < copies; ++k) joined.insert(joined.end(), clip.begin(), clip.end());
  const std::string path = WriteTempFile("joined30.m2ts", joined);
  for (int32_t flags : {0, kMTSInFlagIdle}) {
    SCOPED_TRACE(flags);
    ImportRun run;
    ImportFile(&run, path, flags);
    ASSERT_EQ(run.result, noErr);
    const Track video = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
    const Track sound = FindTrack(run.movie, FOUR_CHAR_CODE("soun"));
    ASSERT_TRUE(video && sound);
    const Media soundMedia = GetTrackMedia(sound);
    const int64_t movieScale = GetMovieTimeScale(run.movie);
    const int64_t rate = GetMediaTimeScale(soundMedia);
    const int64_t frame = movieScale / 25;
    const int64_t copyVideo = GetTrackDuration(video) / copies;  // movie units
    ASSERT_EQ(copyVideo * copies, GetTrackDuration(video));
    EXPECT_EQ(copyVideo, one.videoDuration);
    const int64_t copySound = int64_t(one.sound.size()) * 1536;  // media units
    EXPECT_EQ(GetMediaDisplayDuration(soundMedia), copies * copySound);
    EXPECT_LE(std::llabs(GetTrackDuration(sound) - GetTrackDuration(video)), frame);
    // Every stretch of sound plays at its copy's place: media time m of copy
    // k = m / copySound shows at track time k x copyVideo plus its offset
    // in the copy.
    std::vector<bool> heard(copies);
    for (SInt32 e = 1; e <= GetTrackEditCount(sound); ++e) {
      TimeValue64 start = 0, length = 0, media = 0;
      Fixed mediaRate = 0;
      ASSERT_EQ(GetTrackEdit(sound, e, &start, &length, &media, &mediaRate), noErr);
      if (media < 0) continue;
      const int64_t k = media / copySound;
      heard[size_t(k)] = true;
      const int64_t want = k * copyVideo + (media - k * copySound) * movieScale / rate;
      EXPECT_LE(std::llabs(start - want), frame) << "edit " << e << " of copy " << k;
    }
    for (int k = 0; k < copies; ++k) EXPECT_TRUE(heard[size_t(k)]) << "no sound of copy " << k;
  }
}

// What the components log (to standard error) while `run` runs.
std::string LoggedBy(const std::function<void()>& run) {
  const std::string path = WriteTempFile("log.txt", {});
  fflush(stderr);
  const int saved = dup(2);
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  dup2(fd, 2);
  close(fd);
  run();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  return testsupport::read_text(path);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Packets shuffled within small windows (PES cut, time stamps back and
// forth) and packets lost: the sound keeps to the pictures it has, never
// running on past the video.
TEST(ImporterDamaged, ShuffledAndLostPacketsKeepTheSoundWithinTheVideo) {
  const Bytes clean = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  std::mt19937 random(7);
  int compared = 0;
  for (int variant = 0; variant < 8; ++variant) {
    SCOPED_TRACE(variant);
    std::vector<Bytes> packets;
    for (size_t at = 0; at + 192 <= clean.size(); at += 192)
      packets.emplace_back(clean.begin() + long(at), clean.begin() + long(at + 192));
    if (variant % 2 == 0) {
      for (size_t at = 0; at < packets.size(); at += 8)
        std::shuffle(packets.begin() + long(at), packets.begin() + long(std::min(at + 8, packets.size())), random);
    } else {
      for (int k = 0; k < 30; ++k) packets.erase(packets.begin() + long(random() % packets.size()));
    }
    Bytes stream;
    for (const Bytes& p : packets) stream.insert(stream.end(), p.begin(), p.end());
    ImportRun run;
    ImportFile(&run, WriteTempFile("shuffled.m2ts", stream));
    ASSERT_EQ(run.result, noErr);
    const Track video = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
    const Track sound = FindTrack(run.movie, FOUR_CHAR_CODE("soun"));
    // A shuffle that spoils the sequence parameter set leaves the time base
    // unusable; only movies of the recording's own time base are compared.
    if (!video || !sound || GetMediaTimeScale(GetTrackMedia(video)) != 25) continue;
    ++compared;
    EXPECT_LE(GetTrackDuration(sound), GetTrackDuration(video));
  }
  EXPECT_GE(compared, 6);
}

// The file offset of the first packet that starts a PES of stream `pid`.
int64_t FirstPesAt(const Bytes& stream, int pid) {
  size_t at = 0;
  while (at + 192 <= stream.size() &&
         !((stream[at + 5] & 0x40) && ((stream[at + 5] & 0x1F) << 8 | stream[at + 6]) == pid))
    at += 192;
  return int64_t(at);
}

// `stream` with the LPCM header of every audio PES saying mono: the samples
// keep their size (a mono channel is carried in two), only the layout says
// otherwise.
Bytes WithMonoLPCMHeaders(Bytes stream) {
  for (size_t at = 0; at + 192 <= stream.size(); at += 192) {
    const uint8_t* p = &stream[at + 4];
    if (!(p[1] & 0x40) || ((p[1] & 0x1F) << 8 | p[2]) != kAudioPid) continue;
    const size_t pes = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
    const size_t header = pes + 9 + p[pes + 8];  // the LPCM header's first byte
    if (header + 2 < 188) stream[at + 4 + header + 2] = uint8_t(0x10 | (p[header + 2] & 0x0F));
  }
  return stream;
}

// A recording joined from parts of different audio (AC-3 then LPCM, LPCM
// then AC-3, AC-3 then LPCM then AC-3, stereo LPCM then mono LPCM of the
// same sample size, which stores as many bytes): the sound track holds the sound of
// the first part's kind, none of the other part's bytes taken for it, and
// the import says once that the other part is not imported; the sound left
// out is not counted as lost. The stretch left out is kept with its kind,
// from the other part's first audio PES to the first audio PES of the
// track's kind after it (0 when none comes).
TEST(ImporterDamaged, JoinedRecordingsOfDifferentAudio) {
  const Bytes ac3 = testsupport::read_file(testsupport::local_data_file("sample.m2ts"));
  const Bytes lpcm = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  const Imported ac3Only = Import("ac3.m2ts", ac3), lpcmOnly = Import("lpcm.m2ts", lpcm);
  ASSERT_EQ(ac3Only.result, noErr);
  ASSERT_EQ(lpcmOnly.result, noErr);
  std::vector<Sample> ac3Twice = ac3Only.sound;
  ac3Twice.insert(ac3Twice.end(), ac3Only.sound.begin(), ac3Only.sound.end());
  const int64_t ac3Size = int64_t(ac3.size()), lpcmSize = int64_t(lpcm.size());
  const int64_t ac3At = FirstPesAt(ac3, kAudioPid), lpcmAt = FirstPesAt(lpcm, kAudioPid);
  const struct {
    Bytes stream;
    const std::vector<Sample>& sound;
    const char* message;
    MTS_LeftOutSound left;
  } joins[] = {{Cat({ac3, lpcm}), ac3Only.sound, "LPCM audio from ts_offset=", {ac3Size + lpcmAt, 0, {0, 1, 16, 48000}}},
               {Cat({lpcm, ac3}), lpcmOnly.sound, "AC-3 audio from ts_offset=", {lpcmSize + ac3At, 0, {1, 1, 0, 48000}}},
               {Cat({ac3, lpcm, ac3}), ac3Twice, "LPCM audio from ts_offset=",
                {ac3Size + lpcmAt, ac3Size + lpcmSize + ac3At, {0, 1, 16, 48000}}},
               {Cat({lpcm, WithMonoLPCMHeaders(lpcm)}), lpcmOnly.sound, "LPCM audio of another layout",
                {lpcmSize + lpcmAt, 0, {0, 0, 16, 48000}}}};
  for (const auto& j : joins) {
    SCOPED_TRACE(j.message);
    Imported got;
    const std::string log = LoggedBy([&] { got = Import("mixed.m2ts", j.stream); });
    ASSERT_EQ(got.result, noErr);
    ASSERT_EQ(got.sound.size(), j.sound.size());
    for (size_t k = 0; k < got.sound.size(); ++k) EXPECT_TRUE(SameSample(got.sound[k], j.sound[k])) << k;
    EXPECT_EQ(Count(log, j.message), 1u) << log;
    EXPECT_EQ(Count(log, "is not imported"), 1u) << log;
    EXPECT_EQ(got.soundLostTicks, 0);
    ASSERT_EQ(got.leftOutSound.size(), 1u);
    const MTS_LeftOutSound& left = got.leftOutSound[0];
    EXPECT_EQ(left.from, j.left.from);
    EXPECT_EQ(left.to, j.left.to);
    EXPECT_EQ(left.kind.ac3, j.left.kind.ac3);
    EXPECT_EQ(left.kind.channelCode, j.left.kind.channelCode);
    EXPECT_EQ(left.kind.bitsPerSample, j.left.kind.bitsPerSample);
    EXPECT_EQ(left.kind.sampleRate, j.left.kind.sampleRate);
  }
}

// AC-3, 10.8 s of LPCM, AC-3 again (imported at once and with idling): the
// LPCM stretch, longer than any restart of a time line, stays empty in the
// sound track, and the last part's sound plays with its pictures.
TEST(ImporterDamaged, SoundAfterALongStretchOfOtherAudioKeepsItsTime) {
  const Bytes ac3 = testsupport::read_file(testsupport::local_data_file("sample.m2ts"));
  const Bytes lpcm = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  const int lpcmParts = 9;  // 1.2 s each
  Bytes joined = ac3;
  for (int k = 0; k < lpcmParts; ++k) joined.insert(joined.end(), lpcm.begin(), lpcm.end());
  joined.insert(joined.end(), ac3.begin(), ac3.end());
  const std::string path = WriteTempFile("ac3_lpcm_ac3.m2ts", joined);
  for (int32_t flags : {0, kMTSInFlagIdle}) {
    SCOPED_TRACE(flags);
    ImportRun run;
    ImportFile(&run, path, flags);
    ASSERT_EQ(run.result, noErr);
    const Track video = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
    const Track sound = FindTrack(run.movie, FOUR_CHAR_CODE("soun"));
    ASSERT_TRUE(video && sound);
    const int64_t movieScale = GetMovieTimeScale(run.movie);
    const int64_t frame = movieScale / 25;
    ASSERT_EQ(GetTrackEditCount(sound), 3);
    TimeValue64 start = 0, length = 0, media = 0;
    ASSERT_EQ(GetTrackEdit(sound, 2, &start, &length, &media, nullptr), noErr);
    EXPECT_EQ(media, -1);
    EXPECT_LE(std::llabs(length - lpcmParts * movieScale * 6 / 5), frame) << length;
    ASSERT_EQ(GetTrackEdit(sound, 3, &start, &length, &media, nullptr), noErr);
    EXPECT_LE(std::llabs(start + length - GetTrackDuration(video)), 2 * frame) << start << " + " << length;
  }
}

// A recording joined from parts of different picture sizes: the stretch of
// the other size stays empty in the video track, and the time loaded runs to
// the track's end, that stretch included.
TEST(ImporterDamaged, TimeLoadedCountsPicturesOfAnotherSizeLeftOut) {
  const Bytes large = testsupport::read_file(testsupport::local_data_file("sample.m2ts"));
  const Bytes small = testsupport::read_file(testsupport::local_data_file("importer/importer_sound_longer.m2ts"));
  const Imported got = Import("sizes.m2ts", Cat({large, small, large}));
  ASSERT_EQ(got.result, noErr);
  int64_t media = 0;
  for (const Sample& v : got.video) media += v.ref.durationPerSample * v.ref.count;
  EXPECT_GT(got.videoDuration, media);  // the time left out is in the track
  EXPECT_EQ(got.maxLoaded, got.videoDuration);
}

// Overwrites what follows the PES header in the `which`-th unit start on
// `pid` with `count` bytes of 0xFF (to the end of the packet at most).
void Spoil(Bytes& stream, int pid, int which, size_t count) {
  for (size_t pos = 0; pos + 192 <= stream.size(); pos += 192) {
    uint8_t* ts = &stream[pos + 4];
    if (!(ts[1] & 0x40) || ((ts[1] & 0x1F) << 8 | ts[2]) != pid || which-- > 0) continue;
    uint8_t* pes = ts + 4 + ((ts[3] & 0x20) ? ts[4] + 1 : 0);
    uint8_t* payload = pes + 9 + pes[8];
    std::fill(payload, std::min(payload + count, ts + 188), 0xFF);
    return;
  }
}

// A PES that gives no sample (a picture without a readable slice, an LPCM
// PES without a valid header) leaves the others where they are: the sample
// after it reads back its own bytes, not the spoilt PES's.
TEST(ImporterDamaged, PesWithoutSampleLeavesTheNextOneItsOwnBytes) {
  const Bytes clean = Sources()[0].second;
  const Imported want = Import("clean.m2ts", clean);
  ASSERT_EQ(want.result, noErr);
  Bytes stream = clean;
  Spoil(stream, kVideoPid, 14, 184);
  Spoil(stream, kAudioPid, 50, 4);
  const Imported got = Import("spoilt.m2ts", stream);
  ASSERT_EQ(got.result, noErr);
  ASSERT_EQ(got.video.size(), want.video.size() - 1);
  for (size_t k = 0; k < got.video.size(); ++k)
    EXPECT_EQ(got.video[k].bytes, want.video[k < 14 ? k : k + 1].bytes) << k;
  ASSERT_EQ(got.sound.size(), want.sound.size() - 1);
  for (size_t k = 0; k < got.sound.size(); ++k)
    EXPECT_EQ(got.sound[k].bytes, want.sound[k < 50 ? k : k + 1].bytes) << k;
}

// An AC-3 PES of three frames whose first sync word is spoilt is no audio of
// another kind: its other two frames are still sound samples, and nothing is
// said of audio left out.
TEST(ImporterDamaged, AC3PesWithItsFirstSyncWordSpoilt) {
  const Bytes clean = testsupport::read_file(testsupport::local_data_file("sound/ac3_3_per_pes.m2ts"));
  const Imported want = Import("clean.m2ts", clean);
  ASSERT_EQ(want.result, noErr);
  Bytes stream = clean;
  Spoil(stream, kAudioPid, 5, 2);
  Imported got;
  const std::string log = LoggedBy([&] { got = Import("spoilt.m2ts", stream); });
  ASSERT_EQ(got.result, noErr);
  EXPECT_EQ(got.sound.size(), want.sound.size() - 1);
  EXPECT_EQ(log.find("is not imported"), std::string::npos) << log;
}

// The pre-scan sizes the first AC-3 frame from its header and decodes
// nothing: a header that sizes no whole frame within its PES is logged as
// that, not as a failed decode.
TEST(ImporterDamaged, FirstAC3FrameSizedPastItsPesIsLoggedAsSuch) {
  Bytes stream = testsupport::read_file(testsupport::local_data_file("importer/importer_ac3_51_i.m2ts"));
  for (size_t pos = 0; pos + 192 <= stream.size(); pos += 192) {
    uint8_t* ts = &stream[pos + 4];
    if (!(ts[1] & 0x40) || ((ts[1] & 0x1F) << 8 | ts[2]) != kAudioPid) continue;
    uint8_t* pes = ts + 4 + ((ts[3] & 0x20) ? ts[4] + 1 : 0);
    uint8_t* frame = pes + 9 + pes[8];
    ASSERT_EQ(frame[0] << 8 | frame[1], 0x0B77);
    frame[4] = (frame[4] & 0xC0) | 37;  // frmsizecod 37: 2,560 bytes, past the 1,792 of the PES
    break;
  }
  const std::string log = LoggedBy([&] { Import("sized_past.m2ts", stream); });
  EXPECT_NE(log.find("[ERR]no whole AC-3 frame in the first audio PES"), std::string::npos) << log;
  EXPECT_EQ(log.find("AC3DecodeAFrameLib"), std::string::npos) << log;
}

// A damaged stretch, bytes lost or bytes added in the middle: the samples
// before and after come out whole.
TEST(ImporterDamaged, DamagedStretchInTheMiddle) {
  const auto sources = Sources();
  const Bytes& clean = sources[0].second;
  const Imported want = Import("clean.m2ts", clean);
  ASSERT_EQ(want.result, noErr);
  const size_t mid = clean.size() / 2 + 33;
  const Bytes a = Head(clean, mid), rest(clean.begin() + long(mid), clean.end());
  const std::pair<const char*, Bytes> cases[] = {
      {"noise over 600 bytes", Cat({a, Noise(600, 9), Bytes(rest.begin() + 600, rest.end())})},
      {"100 bytes lost", Cat({a, Bytes(rest.begin() + 100, rest.end())})},
      {"300 bytes added", Cat({a, Noise(300, 10), rest})},
  };
  for (const auto& [what, stream] : cases) {
    SCOPED_TRACE(what);
    const Imported got = Import("damaged.m2ts", stream);
    ASSERT_EQ(got.result, noErr);
    ASSERT_GE(got.video.size(), want.video.size() - 3);
    for (size_t k = 0; k < 10; ++k) {
      EXPECT_TRUE(SameSample(got.video[k], want.video[k])) << k;
      EXPECT_TRUE(SameSample(got.video[got.video.size() - 1 - k], want.video[want.video.size() - 1 - k])) << k;
    }
  }
}

// Time stamps damaged in the middle of a recording (one picture's jump far
// ahead, one far back, one sound PES far off): every picture is still there
// in order, and display stays in decode order around the damage.
TEST(ImporterDamaged, DamagedTimeStamps) {
  const auto sources = Sources();
  const Bytes& clean = sources[0].second;
  const Imported want = Import("clean.m2ts", clean);
  ASSERT_EQ(want.result, noErr);
  Bytes stream = clean;
  SetTimes(stream, kVideoPid, 13, int64_t(1) << 32, (int64_t(1) << 32) - 3600);
  SetTimes(stream, kVideoPid, 30, 4600, 1000);
  SetTimes(stream, kAudioPid, 100, 5, 0);
  const Imported got = Import("stamps.m2ts", stream);
  ASSERT_EQ(got.result, noErr);
  ASSERT_EQ(got.video.size(), want.video.size());
  for (size_t k = 0; k < want.video.size(); ++k) {
    EXPECT_TRUE(SameSample(got.video[k], want.video[k])) << k;
    if (k != 13 && k != 30) {
      EXPECT_EQ(got.video[k].ref.displayOffset, want.video[k].ref.displayOffset) << k;
    }
  }
  EXPECT_EQ(got.videoDuration, want.videoDuration);
  EXPECT_GE(got.sound.size(), want.sound.size() - 1);
  EXPECT_EQ(got.timecodes, want.timecodes);
  const size_t n = want.video.size();
  EXPECT_LT(DisplaySpan(got.video, 0, 12).second, DisplaySpan(got.video, 14, n).first);
}

}  // namespace
