// Movie toolbox: sample tables and media, display times, edits, sample
// descriptions and their extensions, timecode arithmetic, metadata, atom
// containers with wired actions, the idle manager and the JSON dump.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ImageCompression.h"
#include "MacMemory.h"
#include "MovieDump.h"
#include "Movies.h"
#include "Sound.h"
#include "TimeCode.h"

namespace {

Handle generic_description(OSType format) {
  Handle h = NewHandleClear(16);
  SampleDescription d = {16, format, 0, 0, 0};
  std::memcpy(*h, &d, sizeof d);
  return h;
}

struct MovieFixture : ::testing::Test {
  void SetUp() override {
    handlesBefore = LiveHandleCount();
    movie = NewMovie(0);
    SetMovieTimeScale(movie, 30000);
    Handle ref = nullptr;
    const UInt32 words[2] = {4, 2};
    PtrToHand(words, &ref, 8);
    track = NewMovieTrack(movie, Long2Fix(1920), Long2Fix(1080), 0);
    media = NewTrackMedia(track, VideoMediaType, 30000, ref, FOUR_CHAR_CODE("MTSI"));
    DisposeHandle(ref);
    ASSERT_NE(media, nullptr);
  }
  void TearDown() override {
    DisposeMovie(movie);
    EXPECT_EQ(LiveHandleCount(), handlesBefore);
  }
  SInt32 handlesBefore = 0;
  Movie movie = nullptr;
  Track track = nullptr;
  Media media = nullptr;
};

using SampleTables = MovieFixture;

// Decode order I P B B P B B with one frame of reorder delay: the importer's
// pattern, transferred in runs at each I picture and at the end.
TEST_F(SampleTables, RunsMoveIntoTheMediaWithDisplayTimes) {
  QTMutableSampleTableRef table = nullptr;
  ASSERT_EQ(QTSampleTableCreateMutable(nullptr, 30000, nullptr, &table), noErr);
  Handle desc = generic_description(FOUR_CHAR_CODE("avc1"));
  QTSampleDescriptionID id = 0;
  ASSERT_EQ(QTSampleTableAddSampleDescription(table, desc, 0, &id), noErr);
  EXPECT_EQ(id, 1);
  const TimeValue64 d = 1001;
  const TimeValue64 offsets[7] = {0, 2 * d, -d, -d, 2 * d, -d, -d};
  const MediaSampleFlags flags[7] = {0, 1, 0x08000001, 0x08000001, 1, 0x08000001, 0x08000001};
  SInt64 offset = 0;
  for (int i = 0; i < 7; ++i) {
    SInt64 number = 0;
    ASSERT_EQ(QTSampleTableAddSampleReferences(table, offset, 100 + i, d, offsets[i], 1, flags[i], id, &number), noErr);
    EXPECT_EQ(number, i + 1);
    offset += 100 + i;
  }
  EXPECT_EQ(QTSampleTableGetNumberOfSamples(table), 7);
  TimeValue64 start = -1;
  ASSERT_EQ(AddSampleTableToMedia(media, table, 1, 4, &start), noErr);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(GetMediaSampleCount(media), 4);
  EXPECT_EQ(GetMediaDisplayStartTime(media), 0);  // the B pictures show at 1001 and 2002
  EXPECT_EQ(GetMediaDisplayEndTime(media), 4 * d);
  EXPECT_EQ(GetMediaDisplayDuration(media), 4 * d);
  ASSERT_EQ(AddSampleTableToMedia(media, table, 5, 3, &start), noErr);
  EXPECT_EQ(start, 4 * d);
  EXPECT_EQ(GetMediaDecodeDuration(media), 7 * d);
  EXPECT_EQ(GetMediaDisplayEndTime(media), 7 * d);
  // One description in the media although two runs brought it.
  EXPECT_EQ(GetMediaSampleDescriptionCount(media), 1);
  MediaSampleReference r;
  ASSERT_EQ(GetMediaSampleReferenceAt(media, 6, &r), noErr);
  EXPECT_EQ(r.dataOffset, 100 + 101 + 102 + 103 + 104 + 105);
  EXPECT_EQ(r.dataSize, 106);
  EXPECT_EQ(r.flags, 0x08000001u);
  EXPECT_EQ(r.displayOffset, -d);
  EXPECT_EQ(r.descriptionIndex, 1);

  // Runs outside the table, unknown descriptions, bad durations.
  EXPECT_EQ(AddSampleTableToMedia(media, table, 7, 2, nullptr), invalidSampleNum);
  EXPECT_EQ(AddSampleTableToMedia(media, table, 0, 1, nullptr), invalidSampleNum);
  EXPECT_EQ(QTSampleTableAddSampleReferences(table, 0, 4, d, 0, 1, 0, 2, nullptr), invalidDescriptionID);
  EXPECT_EQ(QTSampleTableAddSampleReferences(table, 0, 4, 0, 0, 1, 0, 1, nullptr), invalidDuration);
  EXPECT_EQ(AddSampleTableToMedia(media, nullptr, 1, 1, nullptr), invalidSampleTable);
  // A run too large to hold is refused whole.
  EXPECT_EQ(QTSampleTableAddSampleReferences(table, 0, 4, d, 0, SInt64(1) << 61, 0, 1, nullptr), memFullErr);
  EXPECT_EQ(QTSampleTableGetNumberOfSamples(table), 7);
  EXPECT_EQ(GetMediaSampleCount(media), 7);
  // A description whose size field disagrees with its handle is refused.
  SetHandleSize(desc, 20);
  EXPECT_EQ(QTSampleTableAddSampleDescription(table, desc, 0, &id), paramErr);
  DisposeHandle(desc);
  QTSampleTableRelease(table);
}

TEST_F(SampleTables, TableTimesConvertToTheMediaScale) {
  QTMutableSampleTableRef table = nullptr;
  ASSERT_EQ(QTSampleTableCreateMutable(nullptr, 600, nullptr, &table), noErr);
  Handle desc = generic_description(FOUR_CHAR_CODE("avc1"));
  QTSampleDescriptionID id = 0;
  QTSampleTableAddSampleDescription(table, desc, 0, &id);
  ASSERT_EQ(QTSampleTableAddSampleReferences(table, 1000, 10, 20, -20, 3, 0, id, nullptr), noErr);
  ASSERT_EQ(AddSampleTableToMedia(media, table, 1, 3, nullptr), noErr);
  EXPECT_EQ(GetMediaDecodeDuration(media), 3000);
  MediaSampleReference r;
  GetMediaSampleReferenceAt(media, 2, &r);
  EXPECT_EQ(r.dataOffset, 1020);
  EXPECT_EQ(r.durationPerSample, 1000);
  EXPECT_EQ(r.displayOffset, -1000);
  DisposeHandle(desc);
  QTSampleTableRelease(table);
}

TEST_F(SampleTables, SoundReferencesCountSampleFrames) {
  Handle desc = generic_description(FOUR_CHAR_CODE("sowt"));
  SampleReference64Record refs[2] = {{0, 6144, 1, 1536, 0}, {6144, 6144, 1, 1536, 0}};
  TimeValue at = -1;
  ASSERT_EQ(AddMediaSampleReferences64(media, desc, 2, refs, &at), noErr);
  EXPECT_EQ(at, 0);
  EXPECT_EQ(GetMediaSampleCount(media), 3072);
  EXPECT_EQ(GetMediaDisplayDuration(media), 3072);
  EXPECT_EQ(GetMediaSampleReferenceCount(media), 2);
  ASSERT_EQ(AddMediaSampleReference(media, 12288, 1, 500, desc, 1, 0, &at), noErr);
  EXPECT_EQ(at, 3072);
  refs[0].durationPerSample = 0;
  EXPECT_EQ(AddMediaSampleReferences64(media, desc, 2, refs, nullptr), invalidDuration);
  EXPECT_EQ(GetMediaSampleReferenceCount(media), 3);  // nothing of a refused call is added
  EXPECT_EQ(AddMediaSampleReferences64(nullptr, desc, 1, refs, nullptr), invalidMedia);
  EXPECT_EQ(GetMoviesError(), invalidMedia);
  DisposeHandle(desc);
}

using Edits = MovieFixture;

// A media no edit plays can be taken off its track and a new one made; one
// that an edit plays stays.
TEST_F(Edits, MediaNoEditPlaysIsDisposed) {
  Handle desc = generic_description(FOUR_CHAR_CODE("avc1"));
  ASSERT_EQ(AddMediaSampleReference(media, 0, 10, 1001, desc, 3, 0, nullptr), noErr);
  ASSERT_EQ(InsertEmptyTrackSegment(track, -1, 1001), noErr);
  ASSERT_EQ(DisposeTrackMedia(media), noErr);
  media = NewTrackMedia(track, VideoMediaType, 30000, nullptr, 0);
  ASSERT_NE(media, nullptr);
  EXPECT_EQ(GetMediaSampleCount(media), 0);
  ASSERT_EQ(AddMediaSampleReference(media, 0, 10, 1001, desc, 3, 0, nullptr), noErr);
  DisposeHandle(desc);
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 0, 1001, fixed1), noErr);
  EXPECT_EQ(DisposeTrackMedia(media), paramErr);
  EXPECT_EQ(GetTrackMedia(track), media);
  EXPECT_EQ(DisposeTrackMedia(nullptr), invalidMedia);
}

TEST_F(Edits, InsertionsAppendSplitAndMapToMediaTime) {
  Handle desc = generic_description(FOUR_CHAR_CODE("avc1"));
  ASSERT_EQ(AddMediaSampleReference(media, 0, 10, 1001, desc, 30, 0, nullptr), noErr);
  DisposeHandle(desc);
  SetMovieTimeScale(movie, 600);
  EXPECT_EQ(TrackTimeToMediaDisplayTime(0, track), -1);  // no edit yet
  // Media [2002, 2002 + 10010) appended: 200 movie units.
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 2002, 10010, fixed1), noErr);
  EXPECT_EQ(GetTrackDuration(track), 200);
  EXPECT_EQ(TrackTimeToMediaDisplayTime(0, track), 2002);
  EXPECT_EQ(TrackTimeToMediaDisplayTime(100, track), 2002 + 5000);
  // Media that follows on at the track's end lengthens the last edit.
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 12012, 5005, fixed1), noErr);
  EXPECT_EQ(GetTrackEditCount(track), 1);
  EXPECT_EQ(GetTrackDuration(track), 300);
  EXPECT_EQ(TrackTimeToMediaDisplayTime(250, track), 2002 + 12500);
  // A start beyond the end leaves an empty edit before the new one.
  ASSERT_EQ(InsertMediaIntoTrack(track, 400, 0, 1001, fixed1), noErr);
  EXPECT_EQ(GetTrackEditCount(track), 3);
  EXPECT_EQ(TrackTimeToMediaDisplayTime(350, track), -1);
  // Inserting inside the first edit splits it.
  ASSERT_EQ(InsertMediaIntoTrack(track, 50, 0, 1001, fixed1), noErr);
  EXPECT_EQ(GetTrackEditCount(track), 5);
  TimeValue64 start, duration, mediaTime;
  Fixed rate;
  ASSERT_EQ(GetTrackEdit(track, 3, &start, &duration, &mediaTime, &rate), noErr);
  EXPECT_EQ(start, 70);
  EXPECT_EQ(duration, 250);
  EXPECT_EQ(mediaTime, 2002 + 2500);
  EXPECT_EQ(TrackTimeToMediaDisplayTime(60, track), 500);
  EXPECT_EQ(GetMovieDuration(movie), 440);
  // A range may run past the media's end, but not start there.
  EXPECT_EQ(InsertMediaIntoTrack(track, -1, 30000, 1000, fixed1), noErr);
  EXPECT_EQ(InsertMediaIntoTrack(track, -1, 30031, 1000, fixed1), invalidTime);
  EXPECT_EQ(InsertMediaIntoTrack(track, -1, -1, 1000, fixed1), invalidTime);
  EXPECT_EQ(GetTrackEditCount(track), 6);
  // What does not follow on stays an edit of its own: media that jumps, an
  // other rate, media after a gap; what follows on that one is merged.
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 10000, 1001, fixed1), noErr);
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 11001, 1001, 2 * fixed1), noErr);
  EXPECT_EQ(GetTrackEditCount(track), 8);
  ASSERT_EQ(InsertMediaIntoTrack(track, GetTrackDuration(track) + 10, 12002, 1001, 2 * fixed1), noErr);
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 13003, 1001, 2 * fixed1), noErr);
  EXPECT_EQ(GetTrackEditCount(track), 10);
  ASSERT_EQ(GetTrackEdit(track, 10, &start, &duration, &mediaTime, &rate), noErr);
  EXPECT_EQ(mediaTime, 12002);
  EXPECT_EQ(duration, 20);
  ASSERT_EQ(GetTrackEdit(track, 9, &start, &duration, &mediaTime, &rate), noErr);
  EXPECT_EQ(mediaTime, -1);
  // Refusals: empty, bad rate, no media.
  EXPECT_EQ(InsertMediaIntoTrack(track, -1, 0, 0, fixed1), invalidDuration);
  EXPECT_EQ(InsertMediaIntoTrack(track, -1, 0, 100, 0), paramErr);
  Track empty = NewMovieTrack(movie, 0, 0, 0x100);
  EXPECT_EQ(InsertMediaIntoTrack(empty, -1, 0, 100, fixed1), invalidMedia);
  EXPECT_EQ(GetMovieTrackCount(movie), 2);
  EXPECT_EQ(GetMovieIndTrack(movie, 2), empty);
  EXPECT_EQ(GetTrackID(empty), 2);
}

TEST(Descriptions, ImageExtensionsAreBigEndianAtomsCountedInIdSize) {
  SInt32 live = LiveHandleCount();
  Handle desc = NewHandleClear(sizeof(ImageDescription));
  auto* id = reinterpret_cast<ImageDescription*>(*desc);
  id->idSize = sizeof(ImageDescription);
  id->cType = FOUR_CHAR_CODE("avc1");
  const UInt8 colr[10] = {'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 1};
  Handle ext = nullptr;
  PtrToHand(colr, &ext, 10);
  ASSERT_EQ(AddImageDescriptionExtension(desc, ext, FOUR_CHAR_CODE("colr")), noErr);
  DisposeHandle(ext);
  FieldInfoImageDescriptionExtension2 fiel = {2, 9};
  ASSERT_EQ(ICMImageDescriptionSetProperty(desc, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("fiel"), 2, &fiel),
            noErr);
  PixelAspectRatioImageDescriptionExtension pasp = {40, 33};
  ASSERT_EQ(ICMImageDescriptionSetProperty(desc, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("pasp"), 8, &pasp),
            noErr);
  pasp = {4, 3};  // setting again replaces
  ASSERT_EQ(ICMImageDescriptionSetProperty(desc, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("pasp"), 8, &pasp),
            noErr);
  EXPECT_EQ(ICMImageDescriptionSetProperty(desc, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("clap"), 8, &pasp),
            kQTPropertyNotSupportedErr);
  EXPECT_EQ(ICMImageDescriptionSetProperty(desc, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("fiel"), 3, &pasp),
            paramErr);
  const UInt8 expected[] = {0, 0, 0, 18, 'c', 'o', 'l', 'r', 'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 1,
                            0, 0, 0, 10, 'f', 'i', 'e', 'l', 2, 9,
                            0, 0, 0, 16, 'p', 'a', 's', 'p', 0, 0, 0, 4, 0, 0, 0, 3};
  ASSERT_EQ(GetHandleSize(desc), Size(86 + sizeof expected));
  EXPECT_EQ(reinterpret_cast<ImageDescription*>(*desc)->idSize, 86 + SInt32(sizeof expected));
  EXPECT_EQ(std::memcmp(*desc + 86, expected, sizeof expected), 0);
  SInt32 count = 0;
  CountImageDescriptionExtensionType(desc, 0, &count);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(GetImageDescriptionExtension(desc, &ext, FOUR_CHAR_CODE("colr"), 1), noErr);
  EXPECT_EQ(GetHandleSize(ext), 10);
  DisposeHandle(ext);
  DisposeHandle(desc);
  EXPECT_EQ(LiveHandleCount(), live);
}

TEST(Descriptions, SoundDescriptionsTakeTheLowestVersionThatFits) {
  AudioStreamBasicDescription asbd = {48000, kAudioFormatLinearPCM, 14, 4, 1, 4, 2, 16, 0};
  AudioChannelLayout layout;
  std::memset(&layout, 0, sizeof layout);
  layout.mChannelLayoutTag = kAudioChannelLayoutTag_Stereo;
  SoundDescriptionHandle h = nullptr;
  ASSERT_EQ(QTSoundDescriptionCreate(&asbd, &layout, 32, nullptr, 0, kQTSoundDescriptionKind_Movie_LowestPossibleVersion,
                                     &h),
            noErr);
  auto* v0 = reinterpret_cast<SoundDescription*>(*h);
  EXPECT_EQ(v0->dataFormat, FOUR_CHAR_CODE("twos"));
  EXPECT_EQ(v0->version, 0);
  EXPECT_EQ(v0->numChannels, 2);
  EXPECT_EQ(v0->sampleSize, 16);
  EXPECT_EQ(v0->sampleRate, 48000u << 16);
  ASSERT_EQ(GetHandleSize(h), 36 + 24);
  EXPECT_EQ(v0->descSize, 60);
  const UInt8 chan[] = {0, 0, 0, 24, 'c', 'h', 'a', 'n', 0, 0, 0, 0, 0, 0x65, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(*h + 36, chan, sizeof chan), 0);
  DisposeHandle(h);

  // Decoded AC-3: host-order 5.1.
  asbd = {48000, kAudioFormatLinearPCM, 12, 12, 1, 12, 6, 16, 0};
  layout.mChannelLayoutTag = kAudioChannelLayoutTag_AudioUnit_5_1;
  ASSERT_EQ(QTSoundDescriptionCreate(&asbd, &layout, 32, nullptr, 0, kQTSoundDescriptionKind_Movie_LowestPossibleVersion,
                                     &h),
            noErr);
  EXPECT_EQ(reinterpret_cast<SoundDescription*>(*h)->dataFormat, FOUR_CHAR_CODE("sowt"));
  EXPECT_EQ(reinterpret_cast<SoundDescription*>(*h)->numChannels, 6);
  DisposeHandle(h);

  // 24-bit LPCM needs version 2.
  asbd = {96000, kAudioFormatLinearPCM, 14, 6, 1, 6, 2, 24, 0};
  ASSERT_EQ(QTSoundDescriptionCreate(&asbd, nullptr, 0, nullptr, 0, kQTSoundDescriptionKind_Movie_LowestPossibleVersion,
                                     &h),
            noErr);
  auto* v2 = reinterpret_cast<SoundDescriptionV2*>(*h);
  EXPECT_EQ(v2->dataFormat, kAudioFormatLinearPCM);
  EXPECT_EQ(v2->version, 2);
  EXPECT_EQ(v2->audioSampleRate, 96000.0);
  EXPECT_EQ(v2->constBitsPerChannel, 24u);
  EXPECT_EQ(v2->constBytesPerAudioPacket, 6u);
  EXPECT_EQ(GetHandleSize(h), 72);
  DisposeHandle(h);
  EXPECT_EQ(QTSoundDescriptionCreate(&asbd, nullptr, 0, nullptr, 0, kQTSoundDescriptionKind_Movie_Version0, &h),
            paramErr);
  asbd.mFormatID = FOUR_CHAR_CODE("ac-3");
  EXPECT_EQ(QTSoundDescriptionCreate(&asbd, nullptr, 0, nullptr, 0, kQTSoundDescriptionKind_Movie_LowestPossibleVersion,
                                     &h),
            paramErr);
  EXPECT_EQ(h, nullptr);
}

struct TimeCodes : MovieFixture {
  void SetUp() override {
    MovieFixture::SetUp();
    Track t = NewMovieTrack(movie, 0, 0, 0);
    tcMedia = NewTrackMedia(t, TimeCodeMediaType, 30000, nullptr, 0);
    handler = GetMediaHandler(tcMedia);
  }
  SInt32 frame_of(const TimeCodeDef& def, int h, int m, int s, int f, HandlerError* err = nullptr) {
    TimeCodeRecord tc;
    tc.t = {UInt8(h), UInt8(m), UInt8(s), UInt8(f)};
    SInt32 n = -1;
    HandlerError e = TCTimeCodeToFrameNumber(handler, &def, &tc, &n);
    if (err) *err = e;
    return e == noErr ? n : -1;
  }
  Media tcMedia = nullptr;
  MediaHandler handler = nullptr;
};

TEST_F(TimeCodes, DropFrameNumberingLeavesOutTheSkippedNumbers) {
  TimeCodeDef df = {tcDropFrame | tc24HourMax, 30000, 1001, 30, 0};
  EXPECT_EQ(frame_of(df, 1, 0, 0, 0), 107892);  // 01:00:00;00 at 29.97
  EXPECT_EQ(frame_of(df, 0, 0, 59, 29), 1799);
  EXPECT_EQ(frame_of(df, 0, 1, 0, 2), 1800);     // ;00 and ;01 do not exist
  EXPECT_EQ(frame_of(df, 0, 10, 0, 0), 17982);   // tenth minutes keep theirs
  EXPECT_EQ(frame_of(df, 23, 59, 59, 29), 2589407);
  HandlerError err = noErr;
  EXPECT_EQ(frame_of(df, 0, 1, 0, 1, &err), -1);
  EXPECT_EQ(err, invalidTimeCode);
  EXPECT_EQ(frame_of(df, 24, 0, 0, 0, &err), -1);
  EXPECT_EQ(frame_of(df, 0, 0, 0, 30, &err), -1);
  TimeCodeDef ndf = {tc24HourMax, 25, 1, 25, 0};
  EXPECT_EQ(frame_of(ndf, 1, 0, 0, 0), 90000);  // 01:00:00:00 at 25
  TimeCodeDef df60 = {tcDropFrame | tc24HourMax, 60000, 1001, 60, 0};
  EXPECT_EQ(frame_of(df60, 1, 0, 0, 0), 215784);
  EXPECT_EQ(frame_of(df60, 0, 1, 0, 3, &err), -1);
  TimeCodeDef df25 = {tcDropFrame, 25, 1, 25, 0};
  EXPECT_EQ(frame_of(df25, 0, 0, 1, 0, &err), -1);
  EXPECT_EQ(err, invalidTimeCode);
  // Only a timecode media handler answers.
  TimeCodeRecord tc;
  tc.t = {0, 0, 0, 0};
  SInt32 n;
  EXPECT_EQ(TCTimeCodeToFrameNumber(GetMediaHandler(media), &df, &tc, &n), badComponentSelector);
}

TEST_F(TimeCodes, FrameNumbersRoundTrip) {
  for (UInt8 fps : {UInt8(30), UInt8(60)}) {
    TimeCodeDef df = {tcDropFrame | tc24HourMax, fps * 1000, 1001, fps, 0};
    for (SInt32 n = 0; n < fps * 60 * 24; n += 7) {
      TimeCodeRecord tc;
      ASSERT_EQ(TCFrameNumberToTimeCode(handler, n, &df, &tc), noErr);
      SInt32 back = -1;
      ASSERT_EQ(TCTimeCodeToFrameNumber(handler, &df, &tc, &back), noErr) << n;
      ASSERT_EQ(back, n);
    }
  }
}

using MetaData = MovieFixture;

TEST_F(MetaData, ItemsAreKeptInOrderAndReadBack) {
  QTMetaDataRef md = nullptr;
  ASSERT_EQ(QTCopyMovieMetaData(movie, &md), noErr);
  const OSType key = kQTMetaDataCommonKeyDescription;
  const char* text = "QORVEX Importer : ----------------------";
  QTMetaDataItem item = 0;
  ASSERT_EQ(QTMetaDataAddItem(md, kQTMetaDataStorageFormatQuickTime, kQTMetaDataKeyFormatCommon,
                              reinterpret_cast<const UInt8*>(&key), 4, reinterpret_cast<const UInt8*>(text),
                              ByteCount(std::strlen(text)), kQTMetaDataTypeUTF8, &item),
            noErr);
  EXPECT_EQ(QTMetaDataAddItem(md, kQTMetaDataStorageFormatQuickTime, kQTMetaDataKeyFormatCommon,
                              reinterpret_cast<const UInt8*>(&key), 3, nullptr, 0, 1, nullptr),
            kQTMetaDataInvalidKeyFormatErr);
  EXPECT_EQ(QTMetaDataAddItem(md, FOUR_CHAR_CODE("what"), kQTMetaDataKeyFormatCommon,
                              reinterpret_cast<const UInt8*>(&key), 4, nullptr, 0, 1, nullptr),
            paramErr);
  QTMetaDataItem found = 0;
  ASSERT_EQ(QTMetaDataGetNextItem(md, kQTMetaDataStorageFormatQuickTime, kQTMetaDataItemUninitialized,
                                  kQTMetaDataKeyFormatCommon, reinterpret_cast<const UInt8*>(&key), 4, &found),
            noErr);
  EXPECT_EQ(found, item);
  EXPECT_EQ(QTMetaDataGetNextItem(md, 0, found, 0, nullptr, 0, &found), itemNotFoundErr);
  char value[64] = {};
  ByteCount size = 0;
  ASSERT_EQ(QTMetaDataGetItemValue(md, item, reinterpret_cast<UInt8*>(value), sizeof value, &size), noErr);
  EXPECT_EQ(size, 40);
  EXPECT_STREQ(value, text);
  QTMetaDataRelease(md);
  std::string json = MovieToJSON(movie);
  EXPECT_NE(json.find("\"key\": \"desc\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"value\": \"QORVEX Importer : ----------------------\""), std::string::npos);
}

using WiredActions = MovieFixture;

TEST_F(WiredActions, ContainersAreBuiltInFileFormatAndActionsRecorded) {
  QTAtomContainer c = nullptr;
  ASSERT_EQ(QTNewAtomContainer(&c), noErr);
  QTAtom action = 0;
  ASSERT_EQ(QTInsertChild(c, kParentAtomIsContainer, FOUR_CHAR_CODE("actn"), 1, 0, 0, nullptr, &action), noErr);
  const UInt8 which[4] = {0, 0, 0x04, 0x0D};  // 1037
  ASSERT_EQ(QTInsertChild(c, action, FOUR_CHAR_CODE("whic"), 1, 0, 4, which, nullptr), noErr);
  const UInt8 expected[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 64, 's', 'e', 'a', 'n', 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0,
                            0, 0, 0, 44, 'a', 'c', 't', 'n', 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0,
                            0, 0, 0, 24, 'w', 'h', 'i', 'c', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 13};
  ASSERT_EQ(GetHandleSize(c), Size(sizeof expected));
  EXPECT_EQ(std::memcmp(*c, expected, sizeof expected), 0);
  QTAtomID id = 0;
  QTAtom whic = QTFindChildByIndex(c, action, FOUR_CHAR_CODE("whic"), 1, &id);
  ASSERT_NE(whic, 0);
  SInt32 value = 0, got = 0;
  ASSERT_EQ(QTCopyAtomDataToPtr(c, whic, 0, 4, &value, &got), noErr);
  EXPECT_EQ(got, 4);
  // A leaf takes no children; ids are unique among siblings of a type.
  EXPECT_EQ(QTInsertChild(c, whic, FOUR_CHAR_CODE("xxxx"), 1, 0, 0, nullptr, nullptr), invalidAtomErr);
  EXPECT_EQ(QTInsertChild(c, action, FOUR_CHAR_CODE("whic"), 1, 0, 0, nullptr, nullptr), paramErr);

  ASSERT_EQ(MovieExecuteWiredActions(movie, 0, c), noErr);
  ASSERT_EQ(GetMovieWiredActionCount(movie), 1);
  WiredActionRecord r;
  ASSERT_EQ(GetMovieWiredAction(movie, 0, &r), noErr);
  EXPECT_EQ(r.which, 1037);
  EXPECT_EQ(r.actionID, 1);
  EXPECT_NE(MovieToJSON(movie).find("{\"which\": 1037, \"id\": 1, \"parameters\": 0}"), std::string::npos);

  (*c)[13] = 99;  // root size no longer matches
  EXPECT_EQ(MovieExecuteWiredActions(movie, 0, c), invalidAtomContainerErr);
  EXPECT_EQ(GetMovieWiredActionCount(movie), 1);
  QTDisposeAtomContainer(c);
}

TEST(IdleManager, RemembersTheDeltaAskedFor) {
  IdleManager im = QTIdleManagerOpen();
  Boolean needs = 0;
  ASSERT_EQ(QTIdleManagerNeedsAnIdle(im, &needs), noErr);
  EXPECT_TRUE(needs);
  ASSERT_EQ(QTIdleManagerSetNextIdleTimeDelta(im, 1, 2), noErr);
  TimeValue duration = 0;
  TimeScale scale = 0;
  QTIdleManagerGetNextIdleTimeDelta(im, &duration, &scale);
  EXPECT_EQ(duration, 1);
  EXPECT_EQ(scale, 2);
  QTIdleManagerNeedsAnIdle(im, &needs);
  EXPECT_FALSE(needs);
  EXPECT_EQ(QTIdleManagerSetNextIdleTimeDelta(nullptr, 1, 2), paramErr);
  EXPECT_EQ(QTIdleManagerClose(im), noErr);
}

TEST_F(MovieFixture, DumpShowsTracksMediaDescriptionsAndSamples) {
  Handle desc = generic_description(FOUR_CHAR_CODE("avc1"));
  ASSERT_EQ(AddMediaSampleReference(media, 4096, 1234, 1001, desc, 1, 0, nullptr), noErr);
  ASSERT_EQ(InsertMediaIntoTrack(track, -1, 0, 1001, fixed1), noErr);
  DisposeHandle(desc);
  std::string json = MovieToJSON(movie);
  for (const char* part : {"\"timeScale\": 30000, \"duration\": 1001",
                           "\"width\": 1920, \"height\": 1080",
                           "\"edits\": [{\"trackStart\": 0, \"trackDuration\": 1001, \"mediaTime\": 0, \"rate\": 1}]",
                           "\"type\": \"vide\"", "\"dataRef\": {\"type\": \"MTSI\", \"hex\": \"0400000002000000\"}",
                           "{\"index\": 1, \"format\": \"avc1\", \"hex\": \"1000000031637661000000000000000",
                           "{\"offset\": 4096, \"size\": 1234, \"count\": 1, \"duration\": 1001, \"displayOffset\": 0, "
                           "\"flags\": 0, \"description\": 1}"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
}

}  // namespace
