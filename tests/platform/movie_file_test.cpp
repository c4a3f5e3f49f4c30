// Saving a movie as .mov: a movie built by hand from an H.264 elementary
// stream, an LPCM track and a timecode track, each on its own memory data
// reference, is written out and read back with our own atom walk and, when
// installed, with ffprobe and ffmpeg.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "DataHandler.h"
#include "ImageCompression.h"
#include "MacMemory.h"
#include "MovieDump.h"
#include "MovieFile.h"
#include "Movies.h"
#include "Sound.h"
#include "TimeCode.h"
#include "testsupport.h"

namespace {

constexpr TimeValue kFrame = 1001;
constexpr TimeScale kScale = 30000;
constexpr SInt32 kFirstFrameNumber = 107892;  // 01:00:00;00 at 29.97 drop frame

UInt32 be32(const UInt8* p) { return (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | p[3]; }
void put32(std::vector<UInt8>& v, UInt32 x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(UInt8(x >> s));
}

// NAL units of an Annex B buffer (without start codes or trailing zeros).
std::vector<std::vector<UInt8>> nal_units(const UInt8* p, size_t n) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= n; ++i)
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) starts.push_back(i + 3);
  std::vector<std::vector<UInt8>> out;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : n;
    while (end > starts[k] && p[end - 1] == 0) --end;
    out.emplace_back(p + starts[k], p + end);
  }
  return out;
}

struct AccessUnit {
  size_t offset;  // in the length-prefixed video buffer
  size_t size;
  SInt32 display;
  bool idr;
  bool reference;
};

struct Clip {
  std::vector<UInt8> video;  // access units in decode order, 4-byte NAL lengths
  std::vector<AccessUnit> units;
  std::vector<UInt8> sps, pps;
};

bool load_clip(Clip* clip) {
  std::vector<UInt8> es = testsupport::read_file(testsupport::local_data_file("platform/clip.264"));
  std::istringstream packets(testsupport::read_text(testsupport::local_data_file("platform/clip.packets")));
  size_t pos, size;
  SInt32 display;
  while (packets >> pos >> size >> display) {
    if (pos + size > es.size()) return false;
    AccessUnit au = {clip->video.size(), 0, display, false, false};
    for (const std::vector<UInt8>& nal : nal_units(es.data() + pos, size)) {
      int type = nal[0] & 31;
      if (type == 7 && clip->sps.empty()) clip->sps = nal;
      if (type == 8 && clip->pps.empty()) clip->pps = nal;
      if (type == 5) au.idr = true;
      if (type == 1 || type == 5) au.reference = (nal[0] & 0x60) != 0;
      put32(clip->video, UInt32(nal.size()));
      clip->video.insert(clip->video.end(), nal.begin(), nal.end());
    }
    au.size = clip->video.size() - au.offset;
    clip->units.push_back(au);
  }
  return clip->units.size() == 10 && !clip->sps.empty() && !clip->pps.empty();
}

Handle data_ref_of(const std::vector<UInt8>& bytes) {
  Handle ref = nullptr;
  NewPointerDataRef(bytes.data(), Size(bytes.size()), &ref);
  return ref;
}

Handle video_description(const Clip& clip) {
  Handle desc = NewHandleClear(sizeof(ImageDescription));
  auto* d = reinterpret_cast<ImageDescription*>(*desc);
  d->idSize = sizeof(ImageDescription);
  d->cType = FOUR_CHAR_CODE("avc1");
  d->temporalQuality = d->spatialQuality = 0x200;
  d->width = 176;
  d->height = 144;
  d->hRes = d->vRes = 0x00480000;
  d->frameCount = 1;
  d->depth = 24;
  d->clutID = -1;
  std::vector<UInt8> avcC = {1, clip.sps[1], clip.sps[2], clip.sps[3], 0xFF, 0xE1};
  avcC.push_back(UInt8(clip.sps.size() >> 8));
  avcC.push_back(UInt8(clip.sps.size()));
  avcC.insert(avcC.end(), clip.sps.begin(), clip.sps.end());
  avcC.push_back(1);
  avcC.push_back(UInt8(clip.pps.size() >> 8));
  avcC.push_back(UInt8(clip.pps.size()));
  avcC.insert(avcC.end(), clip.pps.begin(), clip.pps.end());
  Handle ext = nullptr;
  PtrToHand(avcC.data(), &ext, Size(avcC.size()));
  AddImageDescriptionExtension(desc, ext, FOUR_CHAR_CODE("avcC"));
  DisposeHandle(ext);
  FieldInfoImageDescriptionExtension2 fiel = {1, 0};
  ICMImageDescriptionSetProperty(desc, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("fiel"), 2, &fiel);
  PixelAspectRatioImageDescriptionExtension pasp = {1, 1};
  ICMImageDescriptionSetProperty(desc, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("pasp"), 8, &pasp);
  return desc;
}

// Everything a test movie refers to; the movie reads from these buffers.
struct HandMadeMovie {
  Clip clip;
  std::vector<UInt8> pcm;
  std::vector<UInt8> timecodes;
  Movie movie = nullptr;
  ~HandMadeMovie() { DisposeMovie(movie); }
};

void build_video(HandMadeMovie& h, bool insert = true) {
  Handle ref = data_ref_of(h.clip.video);
  Track track = NewMovieTrack(h.movie, Long2Fix(176), Long2Fix(144), 0);
  Media media = NewTrackMedia(track, VideoMediaType, kScale, ref, kPointerDataHandlerSubType);
  DisposeHandle(ref);
  QTMutableSampleTableRef table = nullptr;
  ASSERT_EQ(QTSampleTableCreateMutable(nullptr, kScale, nullptr, &table), noErr);
  Handle desc = video_description(h.clip);
  QTSampleDescriptionID id = 0;
  ASSERT_EQ(QTSampleTableAddSampleDescription(table, desc, 0, &id), noErr);
  DisposeHandle(desc);
  for (size_t i = 0; i < h.clip.units.size(); ++i) {
    const AccessUnit& au = h.clip.units[i];
    MediaSampleFlags flags = au.idr ? 0 : au.reference ? mediaSampleNotSync : mediaSampleNotSync | mediaSampleDroppable;
    ASSERT_EQ(QTSampleTableAddSampleReferences(table, SInt64(au.offset), ByteCount(au.size), kFrame,
                                               (au.display - SInt32(i)) * kFrame, 1, flags, id, nullptr),
              noErr);
  }
  // Two runs, as an importer moves one group of pictures at a time.
  ASSERT_EQ(AddSampleTableToMedia(media, table, 1, 5, nullptr), noErr);
  ASSERT_EQ(AddSampleTableToMedia(media, table, 6, 5, nullptr), noErr);
  QTSampleTableRelease(table);
  ASSERT_EQ(GetMediaDisplayStartTime(media), 0);
  ASSERT_EQ(GetMediaDisplayDuration(media), 10 * kFrame);
  if (insert) {
    ASSERT_EQ(InsertMediaIntoTrack(track, -1, 0, TimeValue(GetMediaDisplayDuration(media)), fixed1), noErr);
  }
}

void build_sound(HandMadeMovie& h, bool insert = true) {
  const int kRefs = 10, kFramesPerRef = 1600;
  for (int n = 0; n < kRefs * kFramesPerRef; ++n) {
    for (int channel = 0; channel < 2; ++channel) {
      auto v = SInt16(std::lround(8000.0 * std::sin(n * (channel ? 0.05 : 0.03))));
      h.pcm.push_back(UInt8(UInt16(v) >> 8));  // big-endian, as LPCM is stored
      h.pcm.push_back(UInt8(v));
    }
  }
  AudioStreamBasicDescription asbd = {48000, kAudioFormatLinearPCM, 14, 4, 1, 4, 2, 16, 0};
  AudioChannelLayout layout;
  std::memset(&layout, 0, sizeof layout);
  layout.mChannelLayoutTag = kAudioChannelLayoutTag_Stereo;
  SoundDescriptionHandle desc = nullptr;
  ASSERT_EQ(QTSoundDescriptionCreate(&asbd, &layout, 32, nullptr, 0,
                                     kQTSoundDescriptionKind_Movie_LowestPossibleVersion, &desc),
            noErr);
  Handle ref = data_ref_of(h.pcm);
  Track track = NewMovieTrack(h.movie, 0, 0, 0x100);
  Media media = NewTrackMedia(track, SoundMediaType, 48000, ref, kPointerDataHandlerSubType);
  DisposeHandle(ref);
  for (int r = 0; r < kRefs; ++r) {
    SampleReference64Record ref64 = {SInt64(r) * kFramesPerRef * 4, kFramesPerRef * 4, 1, kFramesPerRef, 0};
    ASSERT_EQ(AddMediaSampleReferences64(media, desc, 1, &ref64, nullptr), noErr);
  }
  DisposeHandle(desc);
  if (insert) {
    ASSERT_EQ(InsertMediaIntoTrack(track, -1, 0, kRefs * kFramesPerRef, fixed1), noErr);
  }
}

void build_timecode(HandMadeMovie& h) {
  for (int i = 0; i < 10; ++i) put32(h.timecodes, UInt32(kFirstFrameNumber + i));
  Handle desc = NewHandleClear(sizeof(TimeCodeDescription));
  auto* d = reinterpret_cast<TimeCodeDescription*>(*desc);
  d->descSize = sizeof(TimeCodeDescription);
  d->dataFormat = FOUR_CHAR_CODE("tmcd");
  d->timeCodeDef = {tcDropFrame | tc24HourMax, kScale, kFrame, 30, 0};
  Handle ref = data_ref_of(h.timecodes);
  Track track = NewMovieTrack(h.movie, Long2Fix(176), Long2Fix(144), 0);
  Media media = NewTrackMedia(track, TimeCodeMediaType, kScale, ref, kPointerDataHandlerSubType);
  DisposeHandle(ref);
  QTMutableSampleTableRef table = nullptr;
  QTSampleTableCreateMutable(nullptr, kScale, nullptr, &table);
  QTSampleDescriptionID id = 0;
  ASSERT_EQ(QTSampleTableAddSampleDescription(table, desc, 0, &id), noErr);
  DisposeHandle(desc);
  for (int i = 0; i < 10; ++i)
    ASSERT_EQ(QTSampleTableAddSampleReferences(table, i * 4, 4, kFrame, 0, 1, 0, id, nullptr), noErr);
  ASSERT_EQ(AddSampleTableToMedia(media, table, 1, 10, nullptr), noErr);
  QTSampleTableRelease(table);
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 0, 10 * kFrame, fixed1), noErr);
}

void build_movie(HandMadeMovie& h) {
  ASSERT_TRUE(load_clip(&h.clip)) << "tests/data/platform/clip.264 or clip.packets missing or unreadable";
  h.movie = NewMovie(0);
  SetMovieTimeScale(h.movie, kScale);
  build_video(h);
  build_sound(h);
  build_timecode(h);
}

// Atoms of a file region, by type.
std::vector<std::pair<OSType, std::pair<size_t, size_t>>> atoms_in(const std::vector<UInt8>& f, size_t from,
                                                                   size_t to) {
  std::vector<std::pair<OSType, std::pair<size_t, size_t>>> out;
  while (from + 8 <= to) {
    UInt64 size = be32(&f[from]);
    size_t header = 8;
    if (size == 1) {
      size = (UInt64(be32(&f[from + 8])) << 32) | be32(&f[from + 12]);
      header = 16;
    }
    if (size < header || size > to - from) break;
    out.push_back({be32(&f[from + 4]), {from + header, from + size_t(size)}});
    from += size_t(size);
  }
  return out;
}

std::pair<size_t, size_t> child(const std::vector<UInt8>& f, std::pair<size_t, size_t> in, const char (&type)[5],
                                size_t skip = 0) {
  for (auto& a : atoms_in(f, in.first + skip, in.second))
    if (a.first == FOUR_CHAR_CODE(type)) return a.second;
  return {0, 0};
}

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

bool have_program(const char* name) { return !run(std::string("command -v ") + name + " 2>/dev/null").empty(); }

std::vector<std::string> md5_column(const std::string& framemd5) {
  std::vector<std::string> out;
  std::istringstream in(framemd5);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    out.push_back(line.substr(line.rfind(',') + 2));
  }
  return out;
}

class MovieFile : public ::testing::Test {
 protected:
  void SetUp() override {
    handles = LiveHandleCount();
    instances = OpenComponentInstanceCount();
    // One file per process: several builds may run this test at once.
    path = ::testing::TempDir() + "platform_movie_file_test." + std::to_string(getpid()) + ".mov";
  }
  void TearDown() override {
    std::remove(path.c_str());
    EXPECT_EQ(LiveHandleCount(), handles);
    EXPECT_EQ(OpenComponentInstanceCount(), instances);
  }
  SInt32 handles = 0, instances = 0;
  std::string path;
};

TEST_F(MovieFile, SavedMovieHoldsEverySampleAtItsChunkOffset) {
  HandMadeMovie h;
  build_movie(h);
  ASSERT_EQ(SaveMovieAsQuickTimeFile(h.movie, path.c_str()), noErr);
  std::vector<UInt8> f = testsupport::read_file(path);
  auto top = atoms_in(f, 0, f.size());
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].first, FOUR_CHAR_CODE("ftyp"));
  EXPECT_EQ(top[1].first, FOUR_CHAR_CODE("mdat"));
  EXPECT_EQ(top[2].first, FOUR_CHAR_CODE("moov"));
  EXPECT_EQ(top[1].second.second - top[1].second.first, h.clip.video.size() + h.pcm.size() + h.timecodes.size());

  auto moov = top[2].second;
  std::vector<std::pair<size_t, size_t>> traks;
  for (auto& a : atoms_in(f, moov.first, moov.second))
    if (a.first == FOUR_CHAR_CODE("trak")) traks.push_back(a.second);
  ASSERT_EQ(traks.size(), 3u);
  // The video track refers to the timecode track (id 3).
  auto tref = child(f, traks[0], "tref");
  ASSERT_NE(tref.first, 0u);
  EXPECT_EQ(be32(&f[child(f, tref, "tmcd").first]), 3u);
  const std::vector<UInt8>* sources[3] = {&h.clip.video, &h.pcm, &h.timecodes};
  for (int t = 0; t < 3; ++t) {
    auto stbl = child(f, child(f, child(f, traks[size_t(t)], "mdia"), "minf"), "stbl");
    auto stco = child(f, stbl, "stco");
    ASSERT_NE(stco.first, 0u) << t;
    UInt32 chunks = be32(&f[stco.first + 4]);
    // The chunks laid end to end are the media's bytes.
    std::vector<UInt8> joined;
    for (UInt32 c = 0; c < chunks; ++c) {
      size_t at = be32(&f[stco.first + 8 + 4 * c]);
      size_t next = c + 1 < chunks ? be32(&f[stco.first + 12 + 4 * c]) : at + (t == 2 ? 4 : t == 1 ? 6400 : 0);
      if (t == 0) next = at + h.clip.units[c].size;
      joined.insert(joined.end(), f.begin() + long(at), f.begin() + long(next));
    }
    EXPECT_EQ(joined, *sources[t]) << "track " << t + 1;
  }
  // Video: stss names the two IDR pictures; ctts is version 1 (B pictures
  // show before their decode time).
  auto vstbl = child(f, child(f, child(f, traks[0], "mdia"), "minf"), "stbl");
  auto stss = child(f, vstbl, "stss");
  ASSERT_EQ(be32(&f[stss.first + 4]), 2u);
  EXPECT_EQ(be32(&f[stss.first + 8]), 1u);
  EXPECT_EQ(be32(&f[stss.first + 12]), 6u);
  auto ctts = child(f, vstbl, "ctts");
  ASSERT_NE(ctts.first, 0u);
  EXPECT_EQ(f[ctts.first], 1);
  // Sound: 16000 samples of 4 bytes.
  auto sstbl = child(f, child(f, child(f, traks[1], "mdia"), "minf"), "stbl");
  auto stsz = child(f, sstbl, "stsz");
  EXPECT_EQ(be32(&f[stsz.first + 4]), 4u);
  EXPECT_EQ(be32(&f[stsz.first + 8]), 16000u);
}

TEST_F(MovieFile, FfprobeAndFfmpegReadTheSavedMovie) {
  if (!have_program("ffprobe") || !have_program("ffmpeg"))
    GTEST_SKIP() << "ffprobe/ffmpeg not installed: the saved movie is not checked by them";
  HandMadeMovie h;
  build_movie(h);
  ASSERT_EQ(SaveMovieAsQuickTimeFile(h.movie, path.c_str()), noErr);
  std::string probe = run("ffprobe -v error -show_entries stream=index,codec_type,codec_name,codec_tag_string,width,"
                          "height,sample_rate,channels,nb_frames,duration_ts,time_base:stream_tags=timecode "
                          "-of flat '" + path + "'");
  std::map<std::string, std::string> v;
  std::istringstream lines(probe);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    v[line.substr(0, eq)] = value;
  }
  EXPECT_EQ(v["streams.stream.0.codec_type"], "video") << probe;
  EXPECT_EQ(v["streams.stream.0.codec_name"], "h264");
  EXPECT_EQ(v["streams.stream.0.width"], "176");
  EXPECT_EQ(v["streams.stream.0.height"], "144");
  EXPECT_EQ(v["streams.stream.0.nb_frames"], "10");
  EXPECT_EQ(v["streams.stream.0.time_base"], "1/30000");
  EXPECT_EQ(v["streams.stream.0.duration_ts"], "10010");
  EXPECT_EQ(v["streams.stream.1.codec_type"], "audio");
  EXPECT_EQ(v["streams.stream.1.codec_name"], "pcm_s16be");
  EXPECT_EQ(v["streams.stream.1.sample_rate"], "48000");
  EXPECT_EQ(v["streams.stream.1.channels"], "2");
  EXPECT_EQ(v["streams.stream.1.duration_ts"], "16000");
  EXPECT_EQ(v["streams.stream.2.codec_type"], "data");
  EXPECT_EQ(v["streams.stream.2.codec_tag_string"], "tmcd");
  EXPECT_EQ(v["streams.stream.2.nb_frames"], "10");
  EXPECT_EQ(v["streams.stream.2.tags.timecode"], "01:00:00;00");

  std::string decoded = run("ffmpeg -v error -i '" + path + "' -map 0:v -f framemd5 - 2>/dev/null");
  std::vector<std::string> got = md5_column(decoded);
  std::vector<std::string> want =
      md5_column(testsupport::read_text(testsupport::local_data_file("platform/clip.framemd5")));
  ASSERT_EQ(want.size(), 10u);
  EXPECT_EQ(got, want) << decoded;
}

// A movie whose tracks have several edits, as a joined recording's have:
// pictures, 0.1 s left empty, pictures again; sound from inside a sample
// reference, 0.1 s left empty, sound from inside another. The saved movie
// plays them with one edit a track: the sound as it plays, the media
// before its first edit kept, silence for the empty edit and nothing of
// what the edits leave out after that; the last picture decoded before the
// empty edit lasts on to the pictures after it. ffmpeg reads each sample
// once, in a copy too.
TEST_F(MovieFile, SavedTracksPlayTheirEditsWithOneEdit) {
  HandMadeMovie h;
  ASSERT_TRUE(load_clip(&h.clip)) << "tests/data/platform/clip.264 or clip.packets missing or unreadable";
  h.movie = NewMovie(0);
  SetMovieTimeScale(h.movie, kScale);
  build_video(h, false);
  build_sound(h, false);
  const TimeValue gap = 3000;  // 0.1 s: 4800 sound frames
  Track video = GetMovieIndTrack(h.movie, 1), sound = GetMovieIndTrack(h.movie, 2);
  ASSERT_EQ(InsertMediaIntoTrack(video, -1, 0, 5 * kFrame, fixed1), noErr);
  ASSERT_EQ(InsertMediaIntoTrack(video, 5 * kFrame + gap, 5 * kFrame, 5 * kFrame, fixed1), noErr);
  ASSERT_EQ(InsertMediaIntoTrack(sound, -1, 800, 3200, fixed1), noErr);
  ASSERT_EQ(InsertMediaIntoTrack(sound, 2000 + gap, 4800, 11200, fixed1), noErr);
  ASSERT_EQ(GetTrackEditCount(video), 3);
  ASSERT_EQ(GetTrackEditCount(sound), 3);
  ASSERT_EQ(SaveMovieAsQuickTimeFile(h.movie, path.c_str()), noErr);

  std::vector<UInt8> f = testsupport::read_file(path);
  auto top = atoms_in(f, 0, f.size());
  ASSERT_EQ(top.size(), 3u);
  std::vector<std::pair<size_t, size_t>> traks;
  for (auto& a : atoms_in(f, top[2].second.first, top[2].second.second))
    if (a.first == FOUR_CHAR_CODE("trak")) traks.push_back(a.second);
  ASSERT_EQ(traks.size(), 2u);
  // One edit each: {track duration, media time}.
  auto edit = [&](size_t t) {
    auto elst = child(f, child(f, traks[t], "edts"), "elst");
    EXPECT_EQ(be32(&f[elst.first + 4]), 1u) << t;
    return std::make_pair(be32(&f[elst.first + 8]), be32(&f[elst.first + 12]));
  };
  EXPECT_EQ(edit(0), std::make_pair(UInt32(10 * kFrame + gap), UInt32(0)));
  EXPECT_EQ(edit(1), std::make_pair(UInt32(2000 + gap + 7000), UInt32(800)));
  // Video: the fifth picture decoded lasts on through the gap.
  auto vstbl = child(f, child(f, child(f, traks[0], "mdia"), "minf"), "stbl");
  auto stts = child(f, vstbl, "stts");
  std::vector<UInt32> durations;
  for (UInt32 r = 0; r < be32(&f[stts.first + 4]); ++r)
    durations.insert(durations.end(), be32(&f[stts.first + 8 + 8 * r]), be32(&f[stts.first + 12 + 8 * r]));
  std::vector<UInt32> want(10, UInt32(kFrame));
  want[4] += UInt32(gap);
  EXPECT_EQ(durations, want);
  // Sound: the chunks laid end to end are the media to the first edit's
  // end, silence, and the media of the second edit.
  auto sstbl = child(f, child(f, child(f, traks[1], "mdia"), "minf"), "stbl");
  auto stco = child(f, sstbl, "stco");
  auto stsc = child(f, sstbl, "stsc");
  std::vector<UInt32> perChunk;
  for (UInt32 e = 0, n = be32(&f[stsc.first + 4]); e < n; ++e) {
    const UInt32 first = be32(&f[stsc.first + 8 + 12 * e]);
    const UInt32 last = e + 1 < n ? be32(&f[stsc.first + 20 + 12 * e]) : be32(&f[stco.first + 4]) + 1;
    perChunk.insert(perChunk.end(), last - first, be32(&f[stsc.first + 12 + 12 * e]));
  }
  std::vector<UInt8> played;
  for (UInt32 c = 0; c < perChunk.size(); ++c) {
    const size_t at = be32(&f[stco.first + 8 + 4 * c]);
    played.insert(played.end(), f.begin() + long(at), f.begin() + long(at + 4 * perChunk[c]));
  }
  std::vector<UInt8> expected(h.pcm.begin(), h.pcm.begin() + 4000 * 4);
  expected.insert(expected.end(), 4800 * 4, 0);
  expected.insert(expected.end(), h.pcm.begin() + 4800 * 4, h.pcm.end());
  EXPECT_TRUE(played == expected) << played.size() << " bytes against " << expected.size();
  auto stsz = child(f, sstbl, "stsz");
  EXPECT_EQ(be32(&f[stsz.first + 8]), 4000u + 4800 + 11200);

  if (!have_program("ffprobe") || !have_program("ffmpeg"))
    GTEST_SKIP() << "ffprobe/ffmpeg not installed: the saved movie is not checked by them";
  const std::string mkv = path + ".mkv";
  run("ffmpeg -v error -y -i '" + path + "' -map 0 -c copy '" + mkv + "' 2>&1");
  for (const std::string& file : {path, mkv}) {
    EXPECT_EQ(run("ffprobe -v error -count_packets -select_streams v -show_entries stream=nb_read_packets -of "
                  "csv=p=0 '" + file + "'"),
              "10\n")
        << file;
    // The sound from the first edit on, silence included, once.
    EXPECT_EQ(run("ffmpeg -v error -i '" + file + "' -map 0:a -f s16le - | wc -c"),
              std::to_string((3200 + 4800 + 11200 + (file == mkv ? 800 : 0)) * 4) + "\n")
        << file;
  }
  std::remove(mkv.c_str());
}

TEST_F(MovieFile, FileDataReferencesAreReadThroughTheFileHandler) {
  std::string source = ::testing::TempDir() + "platform_movie_file_source." + std::to_string(getpid()) + ".bin";
  std::vector<UInt8> bytes;
  for (int i = 0; i < 5000; ++i) bytes.push_back(UInt8(i * 13));
  FILE* f = std::fopen(source.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  FSSpec fileSpec;
  AliasHandle alias = nullptr;
  ASSERT_EQ(FSPathMakeFSSpec(source.c_str(), &fileSpec), noErr);
  ASSERT_EQ(QTNewAlias(&fileSpec, &alias, 1), noErr);
  Movie movie = NewMovie(0);
  Track track = NewMovieTrack(movie, 0, 0, 0);
  Media media = NewTrackMedia(track, GenericMediaType, 600, alias, rAliasType);
  Handle desc = NewHandleClear(16);
  SampleDescription d = {16, FOUR_CHAR_CODE("gnrc"), 0, 0, 0};
  std::memcpy(*desc, &d, 16);
  // Two samples out of order in the file: the movie file holds them in
  // sample order.
  ASSERT_EQ(AddMediaSampleReference(media, 3000, 2000, 600, desc, 1, 0, nullptr), noErr);
  ASSERT_EQ(AddMediaSampleReference(media, 0, 3000, 600, desc, 1, 0, nullptr), noErr);
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 0, 1200, fixed1), noErr);
  ASSERT_EQ(SaveMovieAsQuickTimeFile(movie, path.c_str()), noErr);
  std::vector<UInt8> saved = testsupport::read_file(path);
  auto top = atoms_in(saved, 0, saved.size());
  ASSERT_EQ(top.size(), 3u);
  std::vector<UInt8> mdat(saved.begin() + long(top[1].second.first), saved.begin() + long(top[1].second.second));
  std::vector<UInt8> expected(bytes.begin() + 3000, bytes.end());
  expected.insert(expected.end(), bytes.begin(), bytes.begin() + 3000);
  EXPECT_EQ(mdat, expected);
  // One sample read on its own.
  Handle one = NewHandle(0);
  ASSERT_EQ(GetMediaSampleReferenceData(media, 0, one), noErr);
  ASSERT_EQ(GetHandleSize(one), 2000);
  EXPECT_EQ(std::memcmp(*one, bytes.data() + 3000, 2000), 0);
  EXPECT_EQ(GetMediaSampleReferenceData(media, 2, one), paramErr);
  DisposeHandle(one);
  DisposeHandle(desc);
  DisposeHandle(alias);
  DisposeMovie(movie);
  std::remove(source.c_str());
}

// A folder of the test's own, so that what a save leaves behind can be listed.
struct PrivateDir {
  std::string path;
  PrivateDir() {
    std::string name = ::testing::TempDir() + "platform_movie_file_dir.XXXXXX";
    if (::mkdtemp(&name[0]) != nullptr) path = name;
  }
  ~PrivateDir() {
    if (!path.empty()) testsupport::run_command("rm -rf '" + path + "'");
  }
  std::string entries() const { return testsupport::run_command("ls -A '" + path + "'").out; }
};

// A failed save leaves what was at the destination as it was (an earlier
// movie survives) and removes only the file it wrote itself.
TEST_F(MovieFile, AFailedSaveKeepsWhatWasThereAndLeavesNoFileOfItsOwn) {
  PrivateDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string target = dir.path + "/movie.mov";
  std::vector<UInt8> bytes(100, 7);
  auto save_one = [&](OSType dataRefType, SInt64 offset) {
    Movie movie = NewMovie(0);
    Handle ref = data_ref_of(bytes);
    Track track = NewMovieTrack(movie, 0, 0, 0);
    Media media = NewTrackMedia(track, GenericMediaType, 600, ref, dataRefType);
    Handle desc = NewHandleClear(16);
    SampleDescription d = {16, FOUR_CHAR_CODE("gnrc"), 0, 0, 0};
    std::memcpy(*desc, &d, 16);
    EXPECT_EQ(AddMediaSampleReference(media, offset, 20, 600, desc, 1, 0, nullptr), noErr);
    OSErr err = SaveMovieAsQuickTimeFile(movie, target.c_str());
    DisposeHandle(ref);
    DisposeHandle(desc);
    DisposeMovie(movie);
    return err;
  };
  EXPECT_EQ(save_one(kPointerDataHandlerSubType, 80), noErr);
  const std::vector<UInt8> earlier = testsupport::read_file(target);
  ASSERT_FALSE(earlier.empty());
  EXPECT_EQ(save_one(kPointerDataHandlerSubType, 90), eofErr);  // past the end of the memory
  EXPECT_EQ(testsupport::read_file(target), earlier);
  EXPECT_EQ(save_one(FOUR_CHAR_CODE("none"), 0), cantFindHandler);
  EXPECT_EQ(testsupport::read_file(target), earlier);
  EXPECT_EQ(dir.entries(), "movie.mov\n");
  // Nothing there before: nothing there after.
  ASSERT_EQ(std::remove(target.c_str()), 0);
  EXPECT_EQ(save_one(kPointerDataHandlerSubType, 90), eofErr);
  EXPECT_EQ(dir.entries(), "");
  EXPECT_EQ(SaveMovieAsQuickTimeFile(nullptr, target.c_str()), paramErr);
}

// Only a regular file (or nothing) is replaced: a directory, a pipe or a
// device stays; a file keeps its permissions and a link stays a link.
TEST_F(MovieFile, ReplacesOnlyARegularFile) {
  PrivateDir dir;
  ASSERT_FALSE(dir.path.empty());
  HandMadeMovie h;
  build_movie(h);
  const std::string folder = dir.path + "/folder", fifo = dir.path + "/fifo";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& target : {folder, fifo, std::string("/dev/full")}) {
    struct stat before, after;
    ASSERT_EQ(::stat(target.c_str(), &before), 0);
    EXPECT_EQ(SaveMovieAsQuickTimeFile(h.movie, target.c_str()), notAFileErr) << target;
    ASSERT_EQ(::stat(target.c_str(), &after), 0) << target;
    EXPECT_EQ(after.st_mode, before.st_mode) << target;
    EXPECT_EQ(after.st_rdev, before.st_rdev) << target;
  }
  EXPECT_EQ(dir.entries(), "fifo\nfolder\n");

  const std::string file = dir.path + "/movie.mov", link = dir.path + "/link.mov";
  ASSERT_EQ(SaveMovieAsQuickTimeFile(h.movie, file.c_str()), noErr);
  struct stat st;
  const mode_t mask = ::umask(022);
  ::umask(mask);
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << "a new file has the mode any new file gets";
  const std::vector<UInt8> saved = testsupport::read_file(file);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("movie.mov", link.c_str()), 0);
  ASSERT_EQ(SaveMovieAsQuickTimeFile(h.movie, link.c_str()), noErr);
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(testsupport::read_file(file), saved);
  EXPECT_EQ(dir.entries(), "fifo\nfolder\nlink.mov\nmovie.mov\n");
}

// Failures of the file system are said in words that name the path; the
// check before a save finds them without writing anything.
TEST_F(MovieFile, SaysWhyASaveCannotBeMade) {
  PrivateDir dir;
  ASSERT_FALSE(dir.path.empty());
  HandMadeMovie h;
  build_movie(h);
  const std::string a = dir.path + "/a.mov", b = dir.path + "/b.mov";
  ASSERT_EQ(::symlink("b.mov", a.c_str()), 0);
  ASSERT_EQ(::symlink("a.mov", b.c_str()), 0);
  const struct {
    std::string path, said;
  } kCases[] = {
      {dir.path + "/missing/movie.mov", "cannot create a file in " + dir.path + "/missing: no such directory"},
      {dir.path + "/" + std::string(256, 'n'),
       "cannot create a file in " + dir.path + ": the name is 256 bytes long, the file system takes at most 255"},
      {a, "cannot follow the symbolic link " + a + ": too many levels of symbolic links"},
  };
  for (const auto& c : kCases) {
    std::string problem;
    EXPECT_EQ(CheckMovieSaveDestination(c.path.c_str(), &problem), ioErr);
    EXPECT_EQ(problem, c.said);
    problem.clear();
    EXPECT_EQ(SaveMovieAsQuickTimeFile(h.movie, c.path.c_str(), &problem), ioErr);
    EXPECT_EQ(problem, c.said);
  }
  std::string problem = "stale";
  EXPECT_EQ(CheckMovieSaveDestination((dir.path + "/new.mov").c_str(), &problem), noErr);
  EXPECT_EQ(dir.entries(), "a.mov\nb.mov\n");
  EXPECT_EQ(CheckMovieSaveDestination("", &problem), paramErr);
}

// A track whose media has no sample (a sound track made for a recording cut
// before its first whole audio frame) has no sample description to write: it
// is left out, and the rest of the movie opens.
TEST_F(MovieFile, TrackWithoutSamplesIsLeftOut) {
  HandMadeMovie h;
  build_movie(h);
  Handle ref = data_ref_of(h.pcm);
  Track empty = NewMovieTrack(h.movie, 0, 0, 0x100);
  ASSERT_NE(NewTrackMedia(empty, SoundMediaType, 48000, ref, kPointerDataHandlerSubType), nullptr);
  DisposeHandle(ref);
  ASSERT_EQ(GetMovieTrackCount(h.movie), 4);
  ASSERT_EQ(SaveMovieAsQuickTimeFile(h.movie, path.c_str()), noErr);
  std::vector<UInt8> f = testsupport::read_file(path);
  auto top = atoms_in(f, 0, f.size());
  ASSERT_EQ(top.size(), 3u);
  size_t traks = 0;
  for (auto& a : atoms_in(f, top[2].second.first, top[2].second.second)) {
    if (a.first != FOUR_CHAR_CODE("trak")) continue;
    ++traks;
    auto stsd = child(f, child(f, child(f, child(f, a.second, "mdia"), "minf"), "stbl"), "stsd");
    ASSERT_NE(stsd.first, 0u);
    EXPECT_GE(be32(&f[stsd.first + 4]), 1u) << "every sample table has a description";
  }
  EXPECT_EQ(traks, 3u);
  if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: the saved movie is not opened";
  const testsupport::CommandResult r = testsupport::run_command("ffmpeg -v error -i '" + path + "' -f null -");
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

}  // namespace
