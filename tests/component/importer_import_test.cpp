// Whole imports of small synthetic streams: what the movie holds (tracks,
// samples, flags, composition offsets, time codes, descriptions, metadata),
// the idle import, the Quick Look path, and bad input.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "importer_stream_kit.h"
#include "importer_test_util.h"

using namespace importer_test;

namespace {

constexpr int kGops = 3;
constexpr int kPictures = 12 * kGops;
// Movie units a picture lasts: the 25p streams here make movies of time
// scale 48000, fine enough to place sound to the sample.
constexpr int kPictureUnits = 48000 / 25;

StreamOptions Basic() {
  StreamOptions o;
  o.pictures = GopPattern(kGops);
  o.timecodeStart = 36000 * 25;  // 10:00:00:00
  return o;
}

std::string Write(const std::string& name, const StreamOptions& o) { return WriteTempFile(name, MakeStream(o)); }

int32_t ExpectedFlags(char type) {
  switch (type) {
    case 'I': return 0;
    case 'i': return 0x00010001;
    case 'b': return 0x08000001;
    default: return 1;
  }
}

}  // namespace

TEST(ImporterImport, SyntheticCameraStreamWithLpcm) {
  const StreamOptions o = Basic();
  ImportRun run;
  ImportFile(&run, Write("basic.m2ts", o));
  ASSERT_EQ(run.result, noErr);
  EXPECT_EQ(run.outFlags, 64);
  MTS_MovieImportGlobalsRecord* store = run.store();
  EXPECT_EQ(store->state, kMTSStateInserted);
  EXPECT_EQ(GetMovieTrackCount(run.movie), 3);
  EXPECT_EQ(GetMovieTimeScale(run.movie), 48000);

  Track video = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
  ASSERT_NE(video, nullptr);
  Media vm = GetTrackMedia(video);
  EXPECT_EQ(GetMediaTimeScale(vm), 25);
  const auto samples = SampleReferences(vm);
  ASSERT_EQ(samples.size(), size_t(kPictures));
  // ptsOffset: the first picture is displayed one frame after it is decoded.
  EXPECT_EQ(store->ptsOffset, 1);
  int64_t offset = 0;
  for (int k = 0; k < kPictures; ++k) {
    const Picture& p = o.pictures[size_t(k)];
    EXPECT_EQ(samples[size_t(k)].flags, uint32_t(ExpectedFlags(p.type))) << k;
    EXPECT_EQ(samples[size_t(k)].displayOffset, (p.display - (k - 1)) - 1) << k;
    EXPECT_EQ(samples[size_t(k)].durationPerSample, 1);
    EXPECT_GE(samples[size_t(k)].dataOffset, offset);
    offset = samples[size_t(k)].dataOffset + samples[size_t(k)].dataSize;
  }

  // 'avc1' description with its extensions.
  const auto desc = DescriptionBytes(vm);
  ASSERT_GE(desc.size(), 86u);
  OSType format = 0;
  std::memcpy(&format, desc.data() + 4, 4);
  EXPECT_EQ(format, FOUR_CHAR_CODE("avc1"));
  const auto avcC = ExtensionAtom(desc, 86, FOUR_CHAR_CODE("avcC"));
  ASSERT_GE(avcC.size(), 7u);
  EXPECT_EQ(avcC[0], 1);
  EXPECT_EQ(avcC[1], 0x64);
  EXPECT_EQ(avcC[3], 0x29);
  EXPECT_EQ(avcC[5], 0xE1);
  EXPECT_EQ(ExtensionAtom(desc, 86, FOUR_CHAR_CODE("colr")), (Bytes{'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(ExtensionAtom(desc, 86, FOUR_CHAR_CODE("fiel")), (Bytes{1, 0}));
  EXPECT_EQ(ExtensionAtom(desc, 86, FOUR_CHAR_CODE("pasp")), (Bytes{0, 0, 0, 1, 0, 0, 0, 1}));

  // Timecode: one sample per picture, in display order.
  Track tc = FindTrack(run.movie, FOUR_CHAR_CODE("tmcd"));
  ASSERT_NE(tc, nullptr);
  std::vector<int64_t> expected(kPictures);
  std::iota(expected.begin(), expected.end(), int64_t(o.timecodeStart));
  EXPECT_EQ(TimecodeValues(store, GetTrackMedia(tc)), expected);
  const auto tcDesc = DescriptionBytes(GetTrackMedia(tc));
  ASSERT_EQ(tcDesc.size(), 38u);
  EXPECT_EQ(store->timecodeDef.flags, 2);
  EXPECT_EQ(store->timecodeDef.numFrames, 25);

  // Sound: one reference of 240 frames per LPCM PES.
  Track sound = FindTrack(run.movie, FOUR_CHAR_CODE("soun"));
  ASSERT_NE(sound, nullptr);
  EXPECT_EQ(GetMediaTimeScale(GetTrackMedia(sound)), 48000);
  for (const auto& r : SampleReferences(GetTrackMedia(sound))) {
    EXPECT_EQ(r.dataSize, 960);
    EXPECT_EQ(r.count, 240);
  }
  EXPECT_EQ(DescriptionText(run.movie), "QORVEX Importer : QORVEX (LPCM)         ");

  // The whole video is in the track; the first 64 MiB rule does not apply.
  EXPECT_EQ(GetTrackDuration(video), kPictures * kPictureUnits);
  TimeValue loaded = 0;
  EXPECT_EQ(MTS_MovieImportGetMaxLoadedTime(store, &loaded), noErr);
  EXPECT_EQ(loaded, kPictures * kPictureUnits);
}

TEST(ImporterImport, AspectRatiosAndFields) {
  struct Case {
    int idc, w, h;
    bool frameMbsOnly;
    uint32_t hs, vs, trackWidth;
  };
  // 32 pixels wide.
  for (const Case& c : {Case{14, 0, 0, true, 4, 3, 42}, Case{5, 0, 0, false, 40, 33, 38},
                        Case{255, 8, 7, true, 8, 7, 36}, Case{255, 5, 0, true, 1, 1, 32},
                        Case{0, 0, 0, true, 1, 1, 32}}) {
    StreamOptions o = Basic();
    o.pictures = GopPattern(1);
    o.sps.aspectRatioIdc = c.idc;
    o.sps.sarWidth = c.w;
    o.sps.sarHeight = c.h;
    o.sps.frameMbsOnly = c.frameMbsOnly;
    ImportRun run;
    ImportFile(&run, Write("aspect.m2ts", o));
    ASSERT_EQ(run.result, noErr) << c.idc;
    Track video = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
    ASSERT_NE(video, nullptr);
    const auto desc = DescriptionBytes(GetTrackMedia(video));
    const Bytes pasp = {0, 0, 0, uint8_t(c.hs), 0, 0, 0, uint8_t(c.vs)};
    EXPECT_EQ(ExtensionAtom(desc, 86, FOUR_CHAR_CODE("pasp")), pasp) << c.idc;
    EXPECT_EQ(ExtensionAtom(desc, 86, FOUR_CHAR_CODE("fiel")),
              c.frameMbsOnly ? Bytes({1, 0}) : Bytes({2, 9}));
    Fixed width = 0, height = 0;
    GetTrackDimensions(video, &width, &height);
    EXPECT_EQ(Fix2Long(width), int32_t(c.trackWidth)) << c.idc;
  }
}

// Field pictures, each PES one field or one frame of two fields: a field
// waits for the next PES, which joins it in one sample only when it is the
// second field of the same frame.
TEST(ImporterImport, FieldPicturesMakeOneSamplePerFrame) {
  // Decode order; each entry one PES: its fields as (kind, frame_num,
  // bottom), kind 'I' IDR, 'i' non-IDR I, 'P', 'b' non-reference B.
  struct Field {
    char kind;
    int frameNum;
    bool bottom;
  };
  const std::vector<std::vector<Field>> pes = {
      {{'I', 0, false}}, {{'P', 0, true}},                    // IDR frame, second field P: one sample
      {{'P', 1, false}, {'P', 1, true}},                      // a frame in one PES
      {{'b', 2, false}}, {{'b', 2, true}},                    // non-reference B frame
      {{'b', 2, true}}, {{'b', 2, false}},                    // the next one, bottom field first
      {{'P', 2, false}}, {{'P', 2, false}},                   // same parity: two samples
      {{'P', 3, false}}, {{'P', 4, true}},                    // other frame_num: two samples
      {{'i', 5, false}}, {{'I', 5, true}},                    // an IDR field is never a second field
      {{'P', 1, false}}, {{'b', 1, true}},                    // reference and not: two samples
      {{'P', 2, true}},                                       // a last field alone
  };
  const std::vector<size_t> samplePes = {2, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  SpsOptions sps;
  sps.frameMbsOnly = false;
  TsWriter w;
  std::vector<size_t> sizes;
  for (size_t k = 0; k < pes.size(); ++k) {
    Bytes au = AccessUnitDelimiter();
    auto append = [&au](const Bytes& b) { au.insert(au.end(), b.begin(), b.end()); };
    if (k == 0) {
      append(Sps(sps));
      append(Pps());
    }
    for (const Field& f : pes[k]) {
      const int type = f.kind == 'I' ? 5 : 1;
      const int ref = f.kind == 'b' ? 0 : 2;
      const int sliceType = f.kind == 'P' ? 5 : f.kind == 'b' ? 6 : 7;
      append(FieldSlice(type, ref, sliceType, f.frameNum, f.bottom));
    }
    sizes.push_back(size_t(MTS_GetVideoLength(au.data(), int32_t(au.size()))));
    const int64_t t = 90000 + int64_t(k) * 1800;
    w.Video(au, t, t);
  }
  // Slice headers as the import reads them.
  mts_import::SlicePicture a{}, b{};
  const Bytes top = FieldSlice(5, 3, 7, 9, false), bottom = FieldSlice(1, 3, 5, 9, true);
  ASSERT_TRUE(mts_import::ReadSlicePicture(top.data(), int32_t(top.size()), 4, 4, false, false, &a));
  ASSERT_TRUE(mts_import::ReadSlicePicture(bottom.data(), int32_t(bottom.size()), 4, 4, false, false, &b));
  EXPECT_TRUE(a.field && !a.bottom && a.idr && a.reference && a.frameNum == 9);
  EXPECT_TRUE(b.field && b.bottom && !b.idr && b.frameNum == 9);
  EXPECT_TRUE(mts_import::SecondFieldOf(a, b));
  EXPECT_FALSE(mts_import::SecondFieldOf(b, a));  // an IDR field
  EXPECT_FALSE(mts_import::ReadSlicePicture(top.data(), 6, 4, 4, false, false, &a));  // header cut short

  const std::string path = WriteTempFile("fields.m2ts", w.bytes());
  for (int32_t flags : {0, kMTSInFlagIdle}) {
    SCOPED_TRACE(flags);
    ImportRun run;
    ImportFile(&run, path, flags);
    ASSERT_EQ(run.result, noErr);
    const Media media = GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("vide")));
    const auto refs = SampleReferences(media);
    ASSERT_EQ(refs.size(), samplePes.size());
    Handle h = NewHandle(0);
    for (size_t k = 0, p = 0; k < refs.size(); p += samplePes[k], ++k) {
      size_t want = 0;
      for (size_t j = p; j < p + samplePes[k]; ++j) want += sizes[j];
      EXPECT_EQ(refs[k].dataSize, want) << k;
      EXPECT_EQ(refs[k].durationPerSample, 1) << k;
      // Read back through the data handler, both fields of a frame at once.
      ASSERT_EQ(GetMediaSampleReferenceData(media, SInt64(k), h), noErr) << k;
      EXPECT_EQ(size_t(GetHandleSize(h)), want) << k;
    }
    DisposeHandle(h);
  }

  // An open group of pictures in fields: the two B frames before the first
  // I picture in display order are left out of the track as two frames, not
  // as four fields.
  const struct {
    char kind;
    int frameNum, display;
  } frames[] = {{'i', 0, 2}, {'b', 1, 0}, {'b', 1, 1}, {'P', 1, 5}, {'b', 2, 3}, {'b', 2, 4}, {'i', 2, 6}};
  TsWriter open;
  int64_t dts = 90000 - 3600;
  for (const auto& f : frames) {
    for (bool bottom : {false, true}) {
      Bytes au = AccessUnitDelimiter();
      auto append = [&au](const Bytes& b) { au.insert(au.end(), b.begin(), b.end()); };
      if (f.kind == 'i' && !bottom) {
        append(Sps(sps));
        append(Pps());
      }
      const bool secondOfI = f.kind == 'i' && bottom;  // coded as a P field
      const int sliceType = f.kind == 'b' ? 6 : (f.kind == 'P' || secondOfI) ? 5 : 7;
      append(FieldSlice(1, f.kind == 'b' ? 0 : 2, sliceType, f.frameNum, bottom));
      open.Video(au, 90000 + f.display * 3600 + (bottom ? 1800 : 0), dts);
      dts += 1800;
    }
  }
  ImportRun run;
  ImportFile(&run, WriteTempFile("open_fields.m2ts", open.bytes()));
  ASSERT_EQ(run.result, noErr);
  const Track video = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
  EXPECT_EQ(GetMediaSampleCount(GetTrackMedia(video)), 7);
  EXPECT_EQ(run.store()->skippedBFrames, 2);
  EXPECT_EQ(GetTrackDuration(video), 5 * kPictureUnits);
}

TEST(ImporterImport, IdleImportOfASmallFileCompletesAtOnce) {
  ImportRun run;
  ImportFile(&run, Write("idle_small.m2ts", Basic()), kMTSInFlagIdle);
  ASSERT_EQ(run.result, noErr);
  // The whole file lies within the first 64 MiB: read and inserted at once.
  EXPECT_EQ(run.outFlags, kMTSOutFlagNeedIdle | kMTSOutFlagComplete);
  MTS_MovieImportGlobalsRecord* store = run.store();
  Track placeholder = FindTrack(run.movie, FOUR_CHAR_CODE("gnrc"));
  ASSERT_NE(placeholder, nullptr);
  // The length the pre-scan expects: its frame estimate.
  const int64_t estimate = (store->lastVideoPTS - store->firstVideoPTS) / 3600;
  EXPECT_EQ(GetTrackDuration(placeholder), TimeValue(estimate * kPictureUnits));
  int32_t outFlags = 0;
  ASSERT_EQ(CallComponentSelector(run.importer, SInt16(23), int32_t(0), &outFlags), noErr);
  EXPECT_EQ(outFlags, kMTSOutFlagComplete);
}

TEST(ImporterImport, IdleImportBeyond64MiB) {
  // Three groups of pictures with 70 MB of null packets before the last.
  Bytes stream = MakeStream(Basic());
  const auto videoStart = [&](size_t pos) {
    return ((stream[pos + 5] & 0x1F) << 8 | stream[pos + 6]) == kVideoPid && (stream[pos + 5] & 0x40);
  };
  size_t cut = 0, videoStarts = 0;
  for (size_t pos = 0; pos < stream.size(); pos += 192)
    if (videoStart(pos) && ++videoStarts == 24 + 1) cut = pos;
  ASSERT_GT(cut, 0u);
  uint8_t null[192] = {0, 0, 0, 0, 0x47, 0x1F, 0xFF, 0x10};
  std::memset(null + 8, 0xFF, sizeof null - 8);
  Bytes padding;
  padding.reserve(70u << 20);
  while (padding.size() < (70u << 20)) padding.insert(padding.end(), null, null + 192);
  stream.insert(stream.begin() + long(cut), padding.begin(), padding.end());
  padding = Bytes();

  ImportRun run;
  RegisterImporter();
  ASSERT_EQ(OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &run.importer), noErr);
  IdleManager im = QTIdleManagerOpen();
  ASSERT_EQ(CallComponentSelector(run.importer, SInt16(30), im), noErr);
  CloseComponent(run.importer);
  run.importer = nullptr;
  ImportFile(&run, WriteTempFile("idle_big.m2ts", stream), kMTSInFlagIdle);
  stream = Bytes();
  ASSERT_EQ(run.result, noErr);
  EXPECT_EQ(run.outFlags, kMTSOutFlagNeedIdle);
  MTS_MovieImportGlobalsRecord* store = run.store();
  EXPECT_EQ(store->state, kMTSStateImporting);
  EXPECT_GE(store->ts_offset, kMTSIdleFirstBytes);
  ASSERT_NE(FindTrack(run.movie, FOUR_CHAR_CODE("gnrc")), nullptr);
  ASSERT_EQ(CallComponentSelector(run.importer, SInt16(30), im), noErr);
  int calls = 0;
  int32_t outFlags = 0;
  while (!(outFlags & kMTSOutFlagComplete) && calls < 100) {
    ASSERT_EQ(CallComponentSelector(run.importer, SInt16(23), int32_t(0), &outFlags), noErr);
    ++calls;
    if (calls == 1) {
      EXPECT_EQ(store->state, kMTSStateEndOfStream);
    }
    if (calls < 20) {
      EXPECT_EQ(outFlags, 0);
    }
  }
  EXPECT_EQ(calls, 20);  // the twentieth idle inserts and completes
  TimeValue duration = 0;
  TimeScale scale = 0;
  EXPECT_EQ(QTIdleManagerGetNextIdleTimeDelta(im, &duration, &scale), noErr);
  EXPECT_EQ(duration, 1);
  EXPECT_EQ(scale, 2);
  Track video = FindTrack(run.movie, FOUR_CHAR_CODE("vide"));
  EXPECT_EQ(SampleReferences(GetTrackMedia(video)).size(), size_t(kPictures));
  EXPECT_EQ(GetTrackDuration(video), kPictures * kPictureUnits);
  QTIdleManagerClose(im);
}

TEST(ImporterImport, QuickLookParentGetsFirstPictureOnly) {
  const std::string path = Write("quicklook.m2ts", Basic());
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The parent of the importing process is named like the Quick Look daemon.
    prctl(PR_SET_NAME, "quicklookd", 0, 0, 0);
    pid_t grandchild = fork();
    if (grandchild == 0) {
      int code = 0;
      {
        ImportRun run;
        ImportFile(&run, path);
        Track video = run.movie ? FindTrack(run.movie, FOUR_CHAR_CODE("vide")) : nullptr;
        if (run.result != noErr) code = 1;
        else if (run.outFlags != 0) code = 2;
        else if (run.store()->state != kMTSStateImporting) code = 3;
        else if (!video || GetTrackDuration(video) == 0 || GetTrackDuration(video) >= kPictures * kPictureUnits) code = 4;
      }
      _exit(code);
    }
    int status = 0;
    waitpid(grandchild, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ImporterImport, LpcmLayoutWithoutSoundTrackIsSkipped) {
  StreamOptions o = Basic();
  o.audio = false;
  Bytes stream = MakeStream(o);
  // Add 5.1 LPCM (channel assignment 9): no sound track is made for it.
  TsWriter w;
  for (int i = 0; i < 100; ++i) w.Audio(LpcmPayload(9, 240, 6), o.firstPts + 450 * i);
  stream.insert(stream.begin(), w.bytes().begin(), w.bytes().end());
  ImportRun run;
  ImportFile(&run, WriteTempFile("lpcm51.m2ts", stream));
  ASSERT_EQ(run.result, noErr);
  EXPECT_EQ(FindTrack(run.movie, FOUR_CHAR_CODE("soun")), nullptr);
  EXPECT_NE(FindTrack(run.movie, FOUR_CHAR_CODE("vide")), nullptr);
  EXPECT_NE(FindTrack(run.movie, FOUR_CHAR_CODE("tmcd")), nullptr);
  EXPECT_EQ(run.store()->isLPCM, 1);
}

TEST(ImporterImport, SecondImportWithOneInstance) {
  const std::string path = Write("twice.m2ts", Basic());
  ImportRun run;
  ImportFile(&run, path);
  ASSERT_EQ(run.result, noErr);
  const SInt32 handles = LiveHandleCount();
  const uint32_t recordsInUse = run.store()->pARec->recordsInUse;
  Movie second = NewMovie(0);
  FSSpec spec{};
  FSPathMakeFSSpec(path.c_str(), &spec);
  Track used = nullptr;
  TimeValue added = 0;
  int32_t outFlags = 0;
  ASSERT_EQ(CallComponentSelector(run.importer, SInt16(2), &spec, second, static_cast<Track>(nullptr), &used,
                                  TimeValue(0), &added, int32_t(0), &outFlags),
            noErr);
  EXPECT_EQ(GetMovieTrackCount(second), 3);
  // The first import's record was given back before the second claimed one.
  EXPECT_EQ(run.store()->pARec->recordsInUse, recordsInUse);
  EXPECT_LE(LiveHandleCount(), handles + 8);
  DisposeMovie(second);
}

// ---- bad input ------------------------------------------------------------

TEST(ImporterBadInput, TruncatedRecordingImportsWhatItHolds) {
  Bytes stream = MakeStream(Basic());
  stream.resize(stream.size() - 1000);  // not a multiple of 192
  ImportRun run;
  ImportFile(&run, WriteTempFile("truncated.m2ts", stream));
  ASSERT_EQ(run.result, noErr);
  const auto samples = SampleReferences(GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("vide"))));
  EXPECT_GE(samples.size(), size_t(kPictures - 2));
  EXPECT_LE(samples.size(), size_t(kPictures));
}

// Streams the importer must refuse or import without some track: no video,
// no timing, an empty file and a refused aspect ratio end the import; 500
// pictures a second do not fit the timecode definition (no timecode track,
// nothing overflows); no camera data means no timecode and no wired actions;
// no audio still imports the video.
TEST(ImporterBadInput, MissingPartsAndUnusableValues) {
  struct Case {
    const char* name;
    void (*change)(StreamOptions&);
    ComponentResult result;
    int video, sound, timecode;  // 1 present, 0 absent
    const char* description;
  };
  const Case cases[] = {
      {"novideo", [](StreamOptions& o) { o.video = false; }, invalidMovie, 0, 0, 0, nullptr},
      {"empty", nullptr, invalidMovie, 0, 0, 0, nullptr},
      {"notiming", [](StreamOptions& o) { o.sps.timing = false; }, invalidMovie, 0, 0, 0, nullptr},
      {"aspect7", [](StreamOptions& o) { o.sps.aspectRatioIdc = 7; }, 1, 0, 0, 0, nullptr},
      {"fast", [](StreamOptions& o) { o.sps.timeScale = 1000, o.frameTicks = 180; }, noErr, 1, 1, 0, nullptr},
      {"nocamera", [](StreamOptions& o) { o.camera = false; }, noErr, 1, 1, 0,
       "QORVEX Importer : ----------------------"},
      {"noaudio", [](StreamOptions& o) { o.audio = false; }, noErr, 1, 0, 1,
       "QORVEX Importer : QORVEX (Dolby Digital)"},
  };
  for (const Case& c : cases) {
    StreamOptions o = Basic();
    if (c.change) c.change(o);
    ImportRun run;
    ImportFile(&run, c.change ? Write(std::string(c.name) + ".m2ts", o) : WriteTempFile("empty.m2ts", Bytes(192 * 4, 0)));
    EXPECT_EQ(run.result, c.result) << c.name;
    if (run.result != noErr) {
      EXPECT_TRUE(run.movie == nullptr || FindTrack(run.movie, FOUR_CHAR_CODE("vide")) == nullptr) << c.name;
      continue;
    }
    EXPECT_EQ(FindTrack(run.movie, FOUR_CHAR_CODE("vide")) != nullptr, c.video == 1) << c.name;
    EXPECT_EQ(FindTrack(run.movie, FOUR_CHAR_CODE("soun")) != nullptr, c.sound == 1) << c.name;
    EXPECT_EQ(FindTrack(run.movie, FOUR_CHAR_CODE("tmcd")) != nullptr, c.timecode == 1) << c.name;
    if (c.description) {
      EXPECT_EQ(DescriptionText(run.movie), c.description) << c.name;
    }
    EXPECT_TRUE(c.timecode || GetMovieWiredActionCount(run.movie) == 0) << c.name;
    EXPECT_EQ(run.store()->timeScale, c.change == cases[4].change ? 500 : 25) << c.name;
  }
}

// A data handler that hands every call on to a file data handler and counts
// the bytes read, standing in for the host's in the pre-scan.
namespace counting {
ComponentInstance target = nullptr;
int64_t bytesRead = 0;
ComponentResult Dispatch(ComponentParameters* params, Handle) {
  if (params->what == kDataHScheduleData64Select) bytesRead += SInt32(params->params[2]);
  if (params->what < 0) return params->what == kComponentOpenSelect || params->what == kComponentCloseSelect ? 0 : 1;
  return DelegateComponentCall(params, target);
}
}  // namespace counting

int64_t PrescanBytes(const Bytes& stream, bool videoPass, bool finds = false) {
  const std::string path = WriteTempFile("prescan.m2ts", stream);
  ImportRun run;
  RegisterImporter();
  EXPECT_EQ(OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &run.importer), noErr);
  MTS_MovieImportGlobalsRecord* store = run.store();
  run.movie = NewMovie(0);
  store->theMovie = run.movie;
  FSSpec spec{};
  FSPathMakeFSSpec(path.c_str(), &spec);
  AliasHandle alias = nullptr;
  QTNewAlias(&spec, &alias, kTrue);
  EXPECT_EQ(OpenADataHandler(alias, FOUR_CHAR_CODE("alis"), nullptr, 0, nullptr, kDataHCanRead, &counting::target),
            noErr);
  static Component wrapper = [] {
    ComponentDescription cd{FOUR_CHAR_CODE("dhlr"), FOUR_CHAR_CODE("cnt "), FOUR_CHAR_CODE("test"), 0, 0};
    return RegisterComponent(&cd, counting::Dispatch, 0, nullptr, nullptr, nullptr);
  }();
  ComponentInstance dh = nullptr;
  EXPECT_EQ(OpenAComponent(wrapper, &dh), noErr);
  store->dataHandler = dh;
  store->fileSize = int64_t(stream.size());
  store->pcmBuffer = static_cast<uint8_t*>(std::malloc(kMTSPcmBufferSize));
  store->wrapReference = -1;
  counting::bytesRead = 0;
  EXPECT_EQ(videoPass ? MTS_GetFrameNum(store) : MTS_GetSoundFrameNum(store), finds ? 0 : 1);
  const int64_t bytes = counting::bytesRead;
  CloseComponent(counting::target);
  DisposeHandle(alias);
  return bytes;
}

TEST(ImporterBadInput, PrescanWithoutItsStreamReadsTheFileOnce) {
  // 30 chunks of a stream without audio, then of one without video.
  StreamOptions o = Basic();
  o.audio = false;
  Bytes noAudio = MakeStream(o);
  uint8_t null[192] = {0, 0, 0, 0, 0x47, 0x1F, 0xFF, 0x10};
  std::memset(null + 8, 0xFF, sizeof null - 8);
  while (noAudio.size() < 30u * kMTSChunkSize) noAudio.insert(noAudio.end(), null, null + 192);
  EXPECT_LE(PrescanBytes(noAudio, false), int64_t(noAudio.size()));
  StreamOptions a = Basic();
  a.video = false;
  Bytes noVideo = MakeStream(a);
  while (noVideo.size() < 30u * kMTSChunkSize) noVideo.insert(noVideo.end(), null, null + 192);
  EXPECT_LE(PrescanBytes(noVideo, true), int64_t(noVideo.size()));
  // Audio only at the start: the tail steps back without rereading the file
  // over and over.
  Bytes early = MakeStream(Basic());
  while (early.size() < 30u * kMTSChunkSize) early.insert(early.end(), null, null + 192);
  EXPECT_LE(PrescanBytes(early, false, true), 4 * int64_t(early.size()));
}

TEST(ImporterBadInput, PtsWrapAround) {
  StreamOptions o = Basic();
  o.firstPts = (int64_t(1) << 33) - 10 * 3600;
  ImportRun run;
  ImportFile(&run, Write("wrap.m2ts", o));
  ASSERT_EQ(run.result, noErr);
  MTS_MovieImportGlobalsRecord* store = run.store();
  EXPECT_EQ(store->ptsOffset, 1);
  EXPECT_GE(store->videoFrames, kPictures - 2);
  const auto samples = SampleReferences(GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("vide"))));
  ASSERT_EQ(samples.size(), size_t(kPictures));
  for (int k = 0; k < kPictures; ++k)
    EXPECT_EQ(samples[size_t(k)].displayOffset, (o.pictures[size_t(k)].display - (k - 1)) - 1) << k;
  EXPECT_EQ(GetTrackDuration(FindTrack(run.movie, FOUR_CHAR_CODE("vide"))), kPictures * kPictureUnits);
  EXPECT_GT(GetTrackDuration(FindTrack(run.movie, FOUR_CHAR_CODE("soun"))), 0);
}

TEST(ImporterBadInput, FailedReadIsAnError) {
  const std::string path = Write("shortread.m2ts", Basic());
  ImportRun run;
  ImportFile(&run, path);
  ASSERT_EQ(run.result, noErr);
  MTS_MovieImportGlobalsRecord* store = run.store();
  // The file is shorter than the import believes: the read comes up short.
  store->state = kMTSStateImporting;
  store->ts_offset = store->fileSize - 192;
  store->fileSize += 192 * 20;
  store->pTSInfo->status = 2;
  EXPECT_EQ(MTS_decode_one_sample(store), ioErr);
}
