// The importer's byte-level rules: the sample size of an access unit once
// its start codes become 4-byte lengths, the 'avcC' record, 33-bit time
// stamp unwrapping and LPCM frame sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "MTS_MovieImport.h"

namespace {

using Bytes = std::vector<uint8_t>;

int32_t Length(const Bytes& b) { return MTS_GetVideoLength(b.data(), int32_t(b.size())); }

Bytes AvcC(const Bytes& au) {
  Bytes out(au.size() + 8, 0xEE);
  int32_t n = -1;
  EXPECT_EQ(MTS_create_avcC_extension(au.data(), int32_t(au.size()), out.data(), &n), 0);
  out.resize(size_t(n));
  return out;
}

}  // namespace

TEST(ImporterVideoLength, KeptUnitsCountTheirBytesAndFour) {
  EXPECT_EQ(Length({}), 0);
  // One slice of 3 payload bytes after its header: 4 + 4.
  EXPECT_EQ(Length({0, 0, 1, 0x65, 1, 2, 3}), 8);
  // An access-unit delimiter with one payload byte, then a 4-byte start code:
  // the delimiter counts its header, its byte and the zero of the next code.
  EXPECT_EQ(Length({0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x65, 0xAA}), 7 + 6);
  // Units of types outside the kept set end the current unit and add nothing.
  EXPECT_EQ(Length({0, 0, 1, 0x65, 1, 0, 0, 1, 0x0C, 9, 9, 9}), 6);
  // A type-3 start code inside a kept unit adds its four bytes.
  EXPECT_EQ(Length({0, 0, 1, 0x67, 1, 0, 0, 1, 0x03, 2}), 4 + 2 + 4 + 1);
  // Bytes before the first start code are dropped.
  EXPECT_EQ(Length({7, 7, 0, 0, 1, 0x41, 5}), 6);
  EXPECT_EQ(Length({0, 0, 1}), 0);
}

TEST(ImporterAvcC, DelimiterSpsPpsSeiSlices) {
  const Bytes au = {0, 0, 0, 1, 0x09, 0xF0,                // AUD
                    0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1E,    // SPS
                    0, 0, 0, 1, 0x68, 0xEB, 0xE3,          // PPS
                    0, 0, 1, 0x06, 0x05, 0x01, 0x80,       // SEI
                    0, 0, 1, 0x65, 0x88, 0x84, 0, 0, 1, 0x65, 0x11};
  // The SPS ends with the zero that begins the 4-byte start code after it;
  // the PPS is followed by a 3-byte start code.
  const Bytes expected = {0x01, 0x64, 0x00, 0x29, 0xFF, 0xE1, 0x00, 0x05, 0x67, 0x64,
                          0x00, 0x1E, 0x00, 0x01, 0x00, 0x03, 0x68, 0xEB, 0xE3};
  EXPECT_EQ(AvcC(au), expected);
}

TEST(ImporterAvcC, NoParameterSetsAndLongRecords) {
  EXPECT_EQ(AvcC({0, 0, 1, 0x65, 1, 2, 3}), (Bytes{0x01, 0x64, 0x00, 0x29, 0xFF, 0xE0, 0x00}));
  // Only parameter sets with three-byte start codes: the record outgrows the
  // access unit (the scratch buffer must allow for it).
  const Bytes au = {0, 0, 1, 0x67, 0, 0, 1, 0x68};
  const Bytes record = AvcC(au);
  EXPECT_EQ(record, (Bytes{0x01, 0x64, 0x00, 0x29, 0xFF, 0xE1, 0x00, 0x01, 0x67, 0x01, 0x00, 0x01, 0x68}));
  EXPECT_GT(record.size(), au.size());
  // Only the first run of SPS is taken (the third SPS is not), a type-3 code
  // inside a parameter set is payload, and the PPS scan goes on after it.
  const Bytes twoRuns = {0, 0, 1, 0x67, 0xAA, 0, 0, 1, 0x03, 0, 0, 1, 0x67, 0xBB, 0, 0, 1, 0x65, 0,
                         0, 1, 0x67, 0xCC, 0, 0, 1, 0x68, 0xDD};
  EXPECT_EQ(AvcC(twoRuns), (Bytes{0x01, 0x64, 0x00, 0x29, 0xFF, 0xE2, 0x00, 0x06, 0x67, 0xAA, 0x00, 0x00,
                                  0x01, 0x03, 0x00, 0x02, 0x67, 0xBB, 0x01, 0x00, 0x02, 0x68, 0xDD}));
}

TEST(ImporterTimestamps, UnwrapNearestToReference) {
  const int64_t wrap = int64_t(1) << 33;
  EXPECT_EQ(mts_import::UnwrapTimestamp(-1, 5), 5);
  EXPECT_EQ(mts_import::UnwrapTimestamp(wrap - 100, 50), wrap + 50);
  EXPECT_EQ(mts_import::UnwrapTimestamp(50, wrap - 100), -100);
  EXPECT_EQ(mts_import::UnwrapTimestamp(1000, 4000), 4000);
  EXPECT_EQ(mts_import::RoundHalfAway(2.5), 3);
  EXPECT_EQ(mts_import::RoundHalfAway(-2.5), -3);
  EXPECT_EQ(mts_import::RoundHalfAway(-2.4), -2);
}

TEST(ImporterLpcm, FramesFromSampleSizeAndChannels) {
  LPCMStreamInfo stereo16{48000, 2, 16, 1}, mono24{48000, 2, 24, 0}, six20{48000, 6, 20, 7};
  EXPECT_EQ(mts_import::LPCMFramesOf(964, stereo16), 240);
  EXPECT_EQ(mts_import::LPCMFramesOf(4 + 240 * 6, mono24), 240);
  EXPECT_EQ(mts_import::LPCMFramesOf(4 + 240 * 18, six20), 240);
  EXPECT_EQ(mts_import::LPCMFramesOf(4, stereo16), 0);
  EXPECT_EQ(mts_import::LPCMFramesOf(2, stereo16), 0);
}

namespace {

// The sample-size rule one byte at a time, with the first slice's header
// position: the reference for the vector start-code scan.
int32_t PlainLength(const uint8_t* b, int32_t n, int32_t* firstSlice) {
  int32_t total = 0, current = 0;
  bool keep = false;
  *firstSlice = -1;
  for (int32_t i = 0; i < n;) {
    if (n - i >= 4 && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
      const int t = b[i + 3] & 0x1F;
      if (t == 1 || t == 5 || t == 6 || t == 7 || t == 8 || t == 9) {
        if (current > 0) total += current + 4;
        current = 1;
        keep = true;
        if (*firstSlice < 0 && (t == 1 || t == 5)) *firstSlice = i + 3;
      } else if (t == 3) {
        if (keep) current += 4;
      } else {
        if (current > 0) total += current + 4;
        current = 0;
        keep = false;
      }
      i += 4;
    } else {
      if (keep) ++current;
      ++i;
    }
  }
  return current > 0 ? total + current + 4 : total;
}

// Bytes dense in start codes, zero runs and NAL headers of every kind.
Bytes DenseBytes(std::mt19937& rng, size_t n) {
  static const uint8_t kPool[] = {0, 0, 0, 0, 1, 1, 3, 0x65, 0x41, 0x01, 0x06, 0x09, 0x67, 0x68, 0x0C, 0x03, 0x80, 0xFF};
  Bytes b(n);
  for (auto& v : b) v = rng() % 4 == 0 ? uint8_t(rng()) : kPool[rng() % sizeof kPool];
  return b;
}

}  // namespace

TEST(ImporterVideoLength, VectorScanMatchesPlainOnEveryAlignmentAndEnd) {
  std::mt19937 rng(28);
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 70; ++n) sizes.push_back(n);
  for (size_t n : {127, 128, 129, 1000, 4099}) sizes.push_back(n);
  for (size_t n : sizes) {
    for (int round = 0; round < 6; ++round) {
      Bytes data = DenseBytes(rng, n);
      // Start codes split across the end: 00 | 00 00 | 00 00 01 as the last bytes.
      const size_t tail = size_t(round % 4);
      for (size_t k = 0; k < tail && k < n; ++k) data[n - 1 - k] = (k == 0 && tail == 3) ? 1 : 0;
      for (size_t align = 0; align < 16; ++align) {
        // The bytes end where the allocation ends: a read past them is caught.
        Bytes buffer(align + n);
        std::copy(data.begin(), data.end(), buffer.begin() + long(align));
        const uint8_t* p = buffer.data() + align;
        int32_t wantSlice = 0, gotSlice = 0;
        const int32_t want = PlainLength(p, int32_t(n), &wantSlice);
        ASSERT_EQ(mts_import::VideoSampleLength(p, int32_t(n), &gotSlice), want) << n << " " << align;
        ASSERT_EQ(gotSlice, wantSlice) << n << " " << align;
        ASSERT_EQ(MTS_GetVideoLength(p, int32_t(n)), want);
        const int32_t from = n > 0 ? int32_t(rng() % n) : 0;
        int32_t next = from;
        while (next + 4 <= int32_t(n) && !(p[next] == 0 && p[next + 1] == 0 && p[next + 2] == 1)) ++next;
        ASSERT_EQ(mts_import::NextStartCode(p, from, int32_t(n)), next + 4 <= int32_t(n) ? next : int32_t(n));
      }
    }
  }
}

// Picture-like bytes: no zeros, so that whole blocks are passed over, then one
// start code or lone zeros put at every position near block edges and ends.
TEST(ImporterVideoLength, ScanFindsEveryStartCodeInBytesWithFewZeros) {
  std::mt19937 rng(64);
  for (size_t n : {66, 67, 68, 130, 131, 200, 259}) {
    for (size_t at = 0; at < n; ++at) {
      for (int form = 0; form < 3; ++form) {
        Bytes buffer(1 + n);  // one byte in front: the scan starts unaligned
        for (auto& v : buffer) v = uint8_t(1 + rng() % 255);
        uint8_t* p = buffer.data() + 1;
        static const uint8_t kForms[3][3] = {{0, 0, 1}, {0, 0, 2}, {0, 5, 0}};
        for (size_t k = 0; k < 3 && at + k < n; ++k) p[at + k] = kForms[form][k];
        const int32_t from = int32_t(rng() % 3);
        int32_t want = from;
        while (want + 4 <= int32_t(n) && !(p[want] == 0 && p[want + 1] == 0 && p[want + 2] == 1)) ++want;
        if (want + 4 > int32_t(n)) want = int32_t(n);
        ASSERT_EQ(mts_import::NextStartCode(p, from, int32_t(n)), want) << n << " " << at << " " << form;
      }
    }
  }
}

TEST(ImporterVideoLength, FirstSliceSpanDescribesTheSliceAsTheWholeUnit) {
  std::mt19937 rng(1028);
  int cut = 0;
  for (int round = 0; round < 3000; ++round) {
    // A delimiter, an SEI, then a slice whose first payload bytes range from
    // plain to zero-heavy (long Exp-Golomb codes, emulation prevention).
    Bytes au = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x06, 0x05, 0x02, 0x80};
    au.insert(au.end(), {0, 0, 1, uint8_t(rng() % 2 ? 0x65 : 0x01 | (rng() % 4) << 5)});
    const size_t payload = rng() % 80;
    const int zeroOdds = int(rng() % 5);
    for (size_t k = 0; k < payload; ++k)
      au.push_back(int(rng() % 8) < zeroOdds ? 0 : rng() % 3 == 0 ? uint8_t(rng() % 4) : uint8_t(rng()));
    if (rng() % 3 == 0) au.insert(au.end(), {0, 0, 1, 0x41, 0x9A});
    const int32_t n = int32_t(au.size());
    int32_t firstSlice = -1;
    mts_import::VideoSampleLength(au.data(), n, &firstSlice);
    const int32_t span = mts_import::FirstSliceSpan(au.data(), n, firstSlice);
    ASSERT_LE(span, n);
    cut += span < n;
    VideoStreamInfo whole{}, part{};
    AVCHDGetVideoStreamInfoLib(&whole, au.data(), n, 4);
    AVCHDGetVideoStreamInfoLib(&part, au.data(), span, 4);
    EXPECT_EQ(part.status, whole.status) << round;
    EXPECT_EQ(part.nal_unit_type, whole.nal_unit_type) << round;
    EXPECT_EQ(part.nal_ref_idc, whole.nal_ref_idc) << round;
    ASSERT_EQ(part.pPayload != nullptr, whole.pPayload != nullptr) << round;
    if (whole.pPayload && (whole.nal_unit_type == 1 || whole.nal_unit_type == 5)) {
      const auto* a = static_cast<const SliceSummary*>(whole.pPayload);
      const auto* b = static_cast<const SliceSummary*>(part.pPayload);
      EXPECT_EQ(b->first_mb_in_slice, a->first_mb_in_slice) << round;
      EXPECT_EQ(b->slice_type, a->slice_type) << round;
      EXPECT_EQ(b->pic_parameter_set_id, a->pic_parameter_set_id) << round;
    }
    AVCHDReleaseVideoStreamInfoLib(&whole);
    AVCHDReleaseVideoStreamInfoLib(&part);
  }
  EXPECT_GT(cut, 300);  // the cut itself is exercised, not only the fall-back
}

// Frame numbers (from 1) and movie time, both ways, truncating: 29.97 frames
// per second in a movie of time scale 600, and a record without a time
// scale or frame duration (nothing imported yet) answers 0.
TEST(ImporterFrameTime, FrameNumbersAndMovieTime) {
  MTS_MovieImportGlobalsRecord store{};
  store.theMovie = NewMovie(0);
  ASSERT_EQ(GetMovieTimeScale(store.theMovie), 600);
  store.timeScale = 30000;
  store.frameDuration = 1001;
  EXPECT_EQ(MTS_frame_number_to_movie_time(&store, 1), 0);
  EXPECT_EQ(MTS_frame_number_to_movie_time(&store, 31), 600);     // 600.6
  EXPECT_EQ(MTS_frame_number_to_movie_time(&store, 1801), 36036);  // one minute of frames
  EXPECT_EQ(MTS_movie_time_to_frame_number(&store, 0), 1);
  EXPECT_EQ(MTS_movie_time_to_frame_number(&store, 600), 30);      // 29.97 + 1
  EXPECT_EQ(MTS_movie_time_to_frame_number(&store, 36036), 1801);
  // A long recording: (f - 1) x duration x scale overflows 32 bits.
  EXPECT_EQ(MTS_frame_number_to_movie_time(&store, 1000001), 20020000);
  SetMovieTimeScale(store.theMovie, 90000);
  store.timeScale = 50;
  store.frameDuration = 1;
  EXPECT_EQ(MTS_frame_number_to_movie_time(&store, 3), 3600);
  EXPECT_EQ(MTS_movie_time_to_frame_number(&store, 3600), 3);
  store.timeScale = 0;
  store.frameDuration = 0;
  EXPECT_EQ(MTS_frame_number_to_movie_time(&store, 5), 0);
  EXPECT_EQ(MTS_movie_time_to_frame_number(&store, 5), 0);
  DisposeMovie(store.theMovie);
}

TEST(ImporterFrameTime, TwoWordHandle) {
  Handle h = nullptr;
  ASSERT_EQ(MTS_create_PtrToHand(0x01020304u, 0xA0B0C0D0u, &h), noErr);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(GetHandleSize(h), 8);
  uint32_t words[2];
  std::memcpy(words, *h, sizeof words);
  EXPECT_EQ(words[0], 0x01020304u);
  EXPECT_EQ(words[1], 0xA0B0C0D0u);
  DisposeHandle(h);
}

namespace {

// A store whose video has found a part beginning at file offset 1000 (its
// PES read from 900), its line moved 10 s on.
struct PartsStore {
  MTS_MovieImportGlobalsRecord store{};
  TSDemuxOutput out{};
  PartsStore() {
    store.pTSInfo = &out;
    mts_import::PartsReset(&store.parts);
    store.parts.begun = 2;
    store.parts.video = {mts_import::SeamSide::kOpen, 1000, 900000, 900, 1};
    store.videoTimeShift = 900000;
    store.ts_offset = 1300;
    out.bPTS = 1;
    out.PTS = 132720;
  }
};

}  // namespace

// The first sound of the movie takes the line of the part whose pictures
// began before it in the file (the parts before had no sound), not when it
// began before them (it is the sound of the part before).
TEST(ImporterParts, FirstSoundBelongsToThePartItFollows) {
  PartsStore after;
  after.store.parts.firstSoundAt = 1200;
  EXPECT_EQ(mts_import::PartSoundPES(&after.store, 0, 0, 0, 0, 0), 900000);
  EXPECT_EQ(after.store.parts.soundToPlace, 1);
  EXPECT_EQ(after.store.parts.video.state, mts_import::SeamSide::kClosed);
  EXPECT_EQ(after.store.parts.soundSeamPTS, 132720 + 900000);

  PartsStore before;
  before.store.parts.firstSoundAt = 800;
  EXPECT_EQ(mts_import::PartSoundPES(&before.store, 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(before.store.parts.soundToPlace, 0);
  EXPECT_EQ(before.store.parts.video.state, mts_import::SeamSide::kOpen);
}

// Sound whose stamps restart near where another recording's pictures begin
// is that part's, though its line moves 2 s further than the video's (a
// part without sound between); near a video restart that begins no
// recording (a damaged stamp), only a like move matches.
TEST(ImporterParts, SoundRestartNearAPartBeginTakesItsLine) {
  PartsStore begins;
  begins.store.parts.soundSeen = 1;
  begins.store.soundTimeShift = 1080000;
  EXPECT_EQ(mts_import::PartSoundPES(&begins.store, 1080000, 1080000, 0, 0, 0), 900000);
  EXPECT_EQ(begins.store.parts.soundToPlace, 1);

  PartsStore damaged;
  damaged.store.parts.soundSeen = 1;
  damaged.store.parts.video.begins = 0;
  EXPECT_EQ(mts_import::PartSoundPES(&damaged.store, 1080000, 1080000, 0, 0, 0), 1080000);
  EXPECT_EQ(damaged.store.parts.soundToPlace, 0);
  EXPECT_EQ(damaged.store.parts.sound.state, mts_import::SeamSide::kOpen);
}

// Another recording begins with program tables before a sequence parameter
// set and an IDR picture; a non-IDR picture or no tables begin none.
TEST(ImporterParts, RecordingBeginsAfterTablesWithACodedSequence) {
  const Bytes idr = {0, 0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x68, 0xEE, 0, 0, 1, 0x65, 0x88, 0x84};
  const Bytes nonIdr = {0, 0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x68, 0xEE, 0, 0, 1, 0x41, 0x9A, 0x02};
  EXPECT_TRUE(mts_import::PartBeginsWith(kTSStartAfterTables, idr.data(), int32_t(idr.size())));
  EXPECT_TRUE(mts_import::PartBeginsWith(kTSStartAfterTables | kTSStartAtBreak, idr.data(), int32_t(idr.size())));
  EXPECT_FALSE(mts_import::PartBeginsWith(kTSStartAtBreak, idr.data(), int32_t(idr.size())));
  EXPECT_FALSE(mts_import::PartBeginsWith(kTSStartAfterTables, nonIdr.data(), int32_t(nonIdr.size())));
}
