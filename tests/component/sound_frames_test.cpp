// AC-3 sound of a stream whose audio PES carry several frames each (ffmpeg's
// m2ts muxer packs three), imported and read back through one data handler
// in media order, as a movie export does: every frame is a sample, the
// samples are the PCM that decoding the frames in stream order gives, and a
// frame that does not decode is silence of its length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "MTS_DataHandler.h"
#include "MTS_SoundFrames.h"
#include "importer_stream_kit.h"
#include "importer_test_util.h"
#include "stream_index.h"
#include "testsupport.h"

using namespace importer_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char kStream[] = "sound/ac3_3_per_pes.m2ts";

int g_completions = 0;
void CountCompletion(Ptr, RefCon, OSErr err) {
  if (err == noErr) ++g_completions;
}

// The AC-3 frames of the stream in order: the audio PES payloads joined and
// cut into `count` frames of equal size (a constant bit rate stream).
std::vector<Bytes> Ac3Frames(const Bytes& file, int count) {
  Bytes es;
  for (const auto& p : streamindex::read_pes(file))
    if (!p.video) es.insert(es.end(), p.payload.begin(), p.payload.end());
  std::vector<Bytes> frames;
  const size_t size = es.size() / size_t(count);
  for (size_t at = 0; at + size <= es.size(); at += size) frames.emplace_back(es.begin() + long(at), es.begin() + long(at + size));
  return frames;
}

// Changes 16 bytes behind the header of each frame listed in `bad`, so that
// its checks fail.
void DamageFrames(Bytes* file, const std::vector<Bytes>& frames, const std::vector<size_t>& bad) {
  for (size_t k : bad) {
    const Bytes& f = frames[k];
    auto at = std::search(file->begin(), file->end(), f.begin() + 40, f.begin() + 56);
    ASSERT_NE(at, file->end()) << k;
    for (int i = 0; i < 16; ++i) at[i] ^= 0xA5;
  }
}

// Our decoder over the frames in stream order.
std::vector<Bytes> DecodeInOrder(const std::vector<Bytes>& frames) {
  AC3DecState* decoder = AC3DecInitLib();
  std::vector<Bytes> pcm;
  Bytes out(kMTSAC3OutputSize);
  for (const Bytes& f : frames) {
    ac3decInfo info{};
    info.outFollowsStream = 1;
    info.pInput = f.data();
    info.nInputBytes = int32_t(f.size());
    info.nOutputCapacity = kMTSAC3OutputSize;
    info.pOutput = reinterpret_cast<int16_t*>(out.data());
    EXPECT_EQ(AC3DecodeAFrameLib(decoder, &info), 0);
    pcm.emplace_back(out.begin(), out.begin() + info.nOutputBytes);
  }
  AC3DecCloseLib(decoder);
  return pcm;
}

// An imported copy of the stream (damaged by `damage` first) with one data
// handler open on its sound, as an export reads it.
class SoundFrames : public ::testing::Test {
 protected:
  void Import(const std::function<void(Bytes*)>& damage = nullptr) {
    file_ = testsupport::read_file(testsupport::local_data_file(kStream));
    ASSERT_FALSE(file_.empty());
    const std::string counted = testsupport::read_text(testsupport::local_data_file("sound/ac3_3_per_pes.frames"));
    frames_ = Ac3Frames(file_, std::stoi(counted));
    ASSERT_EQ(frames_.size(), size_t(std::stoi(counted)));
    if (damage) damage(&file_);
    ImportFile(&run_, WriteTempFile("ac3_3_per_pes.m2ts", file_));
    ASSERT_EQ(run_.result, noErr);
    Track st = FindTrack(run_.movie, FOUR_CHAR_CODE("soun"));
    ASSERT_NE(st, nullptr);
    media_ = GetTrackMedia(st);
    ASSERT_EQ(OpenADataHandler(run_.store()->soundDataRef, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead,
                               &dh_),
              noErr);
  }
  void TearDown() override {
    if (dh_) CloseComponent(dh_);
  }

  ComponentResult Read(int64_t qt, int64_t size, Bytes* out) {
    out->assign(size_t(size), 0xEE);
    wide offset = qt;
    const int before = g_completions;
    ComponentResult r = DataHScheduleData64(dh_, reinterpret_cast<Ptr>(out->data()), &offset, SInt32(size), 0,
                                            nullptr, CountCompletion);
    EXPECT_EQ(g_completions, before + (r == noErr ? 1 : 0));
    return r;
  }

  Bytes file_;
  std::vector<Bytes> frames_;
  ImportRun run_;
  Media media_ = nullptr;
  ComponentInstance dh_ = nullptr;
};

// Largest difference between two blocks of 16-bit samples of equal size
// (INT32_MAX when the sizes differ). Frames decoded again for a read that
// starts inside a PES move the decoder's dither on, so samples may differ
// from a decode in stream order within the dither's amplitude.
int MaxDifference(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size()) return INT32_MAX;
  int worst = 0;
  for (size_t i = 0; i + 1 < a.size(); i += 2)
    worst = std::max(worst, std::abs(int16_t(a[i] | a[i + 1] << 8) - int16_t(b[i] | b[i + 1] << 8)));
  return worst;
}

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace

TEST_F(SoundFrames, EveryFrameOfAPesIsASampleOfItsDecodedPcm) {
  Import();
  const auto refs = SampleReferences(media_);
  ASSERT_EQ(refs.size(), frames_.size());  // 63 frames in 21 PES
  for (const auto& r : refs) {
    EXPECT_EQ(r.dataSize, 1536 * 2 * 2);
    EXPECT_EQ(r.count, 1536);
  }
  EXPECT_EQ(GetMediaDisplayDuration(media_), int64_t(1536) * int64_t(frames_.size()));
  // The track plays the media without a break: the last PES, timed at the
  // end of the file by the estimate of the sound's end, leaves no gap.
  const Track st = FindTrack(run_.movie, FOUR_CHAR_CODE("soun"));
  TimeValue64 start = 0, length = 0, media = 0, nextMedia = -1;
  Fixed rate = 0;
  for (SInt32 e = 1; e <= GetTrackEditCount(st); ++e) {
    ASSERT_EQ(GetTrackEdit(st, e, &start, &length, &media, &rate), noErr);
    if (nextMedia >= 0) {
      EXPECT_EQ(media, nextMedia) << e;
    }
    nextMedia = media + length * 48000 / GetMovieTimeScale(run_.movie);
  }
  // From the first picture's time in the first frame to the last picture's
  // end, 2 s in a movie of time scale 48000 (once 1536 samples in, to the
  // last picture's start: 49 of 1/25 s).
  EXPECT_EQ(GetMovieTimeScale(run_.movie), 48000);
  EXPECT_EQ(GetTrackDuration(st), 96000);

  // In media order through one handler: the frames decoded in stream order.
  const std::vector<Bytes> want = DecodeInOrder(frames_);
  std::vector<Bytes> got(refs.size());
  for (size_t k = 0; k < refs.size(); ++k) {
    ASSERT_EQ(Read(refs[k].dataOffset, refs[k].dataSize, &got[k]), noErr) << k;
    ASSERT_LE(MaxDifference(got[k], want[k]), 4) << k;
  }

  // And ffmpeg's decode of the stream, within the AC-3 decoders' tolerance.
  const Bytes reference = testsupport::read_file(testsupport::local_data_file("sound/ac3_3_per_pes.s16"));
  const Bytes all = Join(got);
  ASSERT_EQ(all.size(), reference.size());
  double signal = 0, noise = 0;
  for (size_t i = 0; i + 1 < all.size(); i += 2) {
    const int a = int16_t(all[i] | all[i + 1] << 8), b = int16_t(reference[i] | reference[i + 1] << 8);
    signal += double(b) * b;
    noise += double(a - b) * (a - b);
  }
  EXPECT_LE(MaxDifference(all, reference), 4);
  EXPECT_GE(10 * std::log10(signal / std::max(noise, 1.0)), 75.0);

  // Out of order, a frame after the first of its PES still decodes as in
  // stream order (the first one starts from whatever the handler decoded
  // last); a read that spans frames goes on through the PES and into the
  // next.
  std::vector<size_t> order;
  for (size_t k = 0; k < refs.size(); ++k)
    if (k % 3 != 0) order.push_back(k);
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  Bytes one;
  for (size_t k : order) {
    ASSERT_EQ(Read(refs[k].dataOffset, refs[k].dataSize, &one), noErr) << k;
    ASSERT_LE(MaxDifference(one, want[k]), 4) << k;
  }
  for (size_t k : {size_t(1), size_t(2), size_t(31), size_t(59)}) {
    Bytes span = Join({want[k], want[k + 1], want[k + 2], want[k + 3]});
    span.erase(span.begin(), span.begin() + 100);
    span.resize(span.size() - 50);
    ASSERT_EQ(Read(refs[k].dataOffset + 100, int64_t(span.size()), &one), noErr) << k;
    EXPECT_LE(MaxDifference(one, span), 4) << k;
  }
}

TEST_F(SoundFrames, FrameThatDoesNotDecodeIsSilenceOfItsLength) {
  // Frame 0 (which also sizes the import), frame 4 (the middle one of the
  // second PES), and frames 8 and 9 (the last of the third PES and the first
  // of the fourth): bytes behind their headers changed, so their checks fail.
  const std::vector<size_t> bad = {0, 4, 8, 9};
  Import([&](Bytes* file) { DamageFrames(file, Ac3Frames(*file, 63), bad); });
  const auto refs = SampleReferences(media_);
  ASSERT_EQ(refs.size(), frames_.size());  // the importer counts them all

  const std::vector<Bytes> want = DecodeInOrder(frames_);
  testsupport::StderrCapture capture;
  Bytes got;
  for (size_t k = 0; k < refs.size(); ++k) {
    ASSERT_EQ(Read(refs[k].dataOffset, refs[k].dataSize, &got), noErr) << k;
    if (std::find(bad.begin(), bad.end(), k) != bad.end()) {
      EXPECT_EQ(got, Bytes(1536 * 2 * 2, 0)) << k;
    } else if (k == 2 || k == 3) {
      EXPECT_LE(MaxDifference(got, want[k]), 4) << k;
    }
  }
  // One report per run of such frames, not per read.
  const std::string log = capture.text();
  size_t reports = 0;
  for (size_t at = log.find("served as silence"); at != std::string::npos; at = log.find("served as silence", at + 1))
    ++reports;
  EXPECT_EQ(reports, 3u) << log;
}

// A camera recording whose first AC-3 frame does not decode: the frame
// still sizes the import (frame index, sound estimate), and it is imported
// whole.
TEST(SoundFramesImport, FirstFrameThatDoesNotDecode) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_ac3_20_avchd.m2ts");
  Bytes file = testsupport::read_file(path);
  std::vector<Bytes> frames;
  for (const auto& p : streamindex::read_pes(file))
    if (!p.video) frames.push_back(p.payload);
  DamageFrames(&file, frames, {0});
  ImportRun run;
  ImportFile(&run, WriteTempFile("first_ac3_frame_damaged.m2ts", file));
  ASSERT_EQ(run.result, noErr);
  Track st = FindTrack(run.movie, FOUR_CHAR_CODE("soun"));
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(SampleReferences(GetTrackMedia(st)).size(), frames.size());
}

TEST(SoundValue, FramePositionRidesInBitsAFileOffsetDoesNotUse) {
  struct Case {
    int64_t offset;
    int32_t frame;
    bool packs;
  };
  const Case cases[] = {
      {0, 0, true},       {191, 1, true},          {(int64_t(1) << 48) - 1, 0x7FFF, true},
      {-5, 0, true},      {-5, 1, false},          {int64_t(1) << 48, 1, false},
      {1000, 0x8000, false}, {int64_t(1) << 50, 0, true},
  };
  for (const Case& c : cases) {
    int64_t value = 0;
    ASSERT_EQ(MTS_PackSoundValue(c.offset, c.frame, &value), c.packs) << c.offset << " " << c.frame;
    if (!c.packs || c.offset >= (int64_t(1) << 48)) continue;
    EXPECT_EQ(MTS_SoundValueOffset(value), c.offset);
    EXPECT_EQ(MTS_SoundValueFrame(value), c.frame);
  }
}
