// Samples read back through the data handler as a movie export reads them,
// one after the other: each stretch of the file is read once. Samples of
// damaged recordings after a successful import (a packet sent twice, a
// sample whose frame is not where the import found it, a PES too large for
// the demultiplexer): every read of an imported sample succeeds with the
// sample's length; what the recording holds is served, else silence (sound)
// or zero bytes (video), reported once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "MTS_DataHandler.h"
#include "MTS_SoundFrames.h"
#include "importer_stream_kit.h"
#include "importer_test_util.h"
#include "testsupport.h"

using namespace importer_test;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kPacket = 192;

uint32_t Pid(const uint8_t* packet) { return uint32_t(packet[5] & 0x1F) << 8 | packet[6]; }
bool StartsPes(const uint8_t* packet) { return (packet[5] & 0x40) != 0; }

// File offsets of the packets of `pid` that start a PES.
std::vector<size_t> PesStarts(const Bytes& file, uint32_t pid) {
  std::vector<size_t> starts;
  for (size_t at = 0; at + kPacket <= file.size(); at += kPacket)
    if (Pid(&file[at]) == pid && StartsPes(&file[at])) starts.push_back(at);
  return starts;
}

// One import of a (damaged) recording with a data handler open on each of
// its sound and video references.
struct Imported {
  ImportRun run;
  ComponentInstance sound = nullptr, video = nullptr;
  Media soundMedia = nullptr, videoMedia = nullptr;

  void Open(const std::string& name, const Bytes& file) {
    ImportFile(&run, WriteTempFile(name, file));
    ASSERT_EQ(run.result, noErr);
    soundMedia = GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("soun")));
    videoMedia = GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("vide")));
    ASSERT_NE(soundMedia, nullptr);
    ASSERT_NE(videoMedia, nullptr);
    ASSERT_EQ(OpenADataHandler(run.store()->soundDataRef, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead,
                               &sound),
              noErr);
    ASSERT_EQ(OpenADataHandler(run.store()->videoDataRef, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead,
                               &video),
              noErr);
  }
  ~Imported() {
    if (sound) CloseComponent(sound);
    if (video) CloseComponent(video);
  }
};

int g_completions = 0;
void CountCompletion(Ptr, RefCon, OSErr err) {
  if (err == noErr) ++g_completions;
}

// Reads one sample reference whole; the result, with completion checked.
ComponentResult Read(ComponentInstance dh, const MediaSampleReference& r, Bytes* out) {
  out->assign(size_t(r.dataSize), 0xEE);
  wide offset = r.dataOffset;
  const int before = g_completions;
  ComponentResult err = DataHScheduleData64(dh, reinterpret_cast<Ptr>(out->data()), &offset, SInt32(r.dataSize), 0,
                                            nullptr, CountCompletion);
  EXPECT_EQ(g_completions, before + (err == noErr ? 1 : 0));
  return err;
}

// Every sample of a media read in media order through one handler.
std::vector<Bytes> ReadAll(ComponentInstance dh, Media media) {
  std::vector<Bytes> all;
  for (const MediaSampleReference& r : SampleReferences(media)) {
    all.emplace_back();
    EXPECT_EQ(Read(dh, r, &all.back()), noErr) << r.dataOffset;
  }
  return all;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The entry of key `qt_offset` in the import's frame index, to be changed in
// place as damage of the index would.
FrameOffsetEntry* IndexEntry(MTS_MovieImportGlobalsRecord* store, int64_t qt_offset) {
  AvchdDataRecord* rec = store->pRec;
  FrameOffsetEntry* entries = MTS_RecordEntries(rec);
  const int32_t capacity = MTS_MappedCapacity(rec);
  for (int32_t probes = 0, slot = MTS_HashTable_Hash(capacity, qt_offset); probes < capacity; ++probes) {
    if (entries[slot].qt_offset == qt_offset) return &entries[slot];
    slot = MTS_HashTable_ReHash(capacity, slot);
  }
  return nullptr;
}

// Gives entry `e` of the import's frame index the value `value` as a writer
// of the index would: the index's checks follow.
void SetIndexValue(MTS_MovieImportGlobalsRecord* store, FrameOffsetEntry* e, int64_t value) {
  FrameOffsetEntry* entries = MTS_RecordEntries(store->pRec);
  const int32_t slot = int32_t(e - entries);
  auto* seal = reinterpret_cast<MTS_RecordSeal*>(entries + MTS_MappedCapacity(store->pRec));
  seal->entrySum += MTS_EntryCheckTerm(slot, e->qt_offset, value) - MTS_EntryCheckTerm(slot, e->qt_offset, e->value);
  e->value = value;
}

// Bytes this process has read from files so far.
int64_t BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = -1;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

// Read-like and write-like system calls this process has made so far.
int64_t SystemCalls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = -1, calls = 0;
  int found = 0;
  while (io >> key >> value)
    if (key == "syscr:" || key == "syscw:") calls += value, ++found;
  return found == 2 ? calls : -1;
}

}  // namespace

// The record store costs no system call per sample: the importer writes its
// frame-index entries in runs, and the data handlers read the index in large
// pieces and keep it. (Reads of the recording itself come in 0x2D000-byte
// chunks.)
TEST(DataHandlerExport, TheStoreCostsNoSystemCallPerSample) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Bytes file = testsupport::read_file(path);
  if (SystemCalls() < 0) GTEST_SKIP() << "no /proc/self/io to count the system calls";
  const int64_t chunks = int64_t(file.size()) / 0x2D000 + 1;
  Imported imp;
  int64_t before = SystemCalls();
  imp.Open("store_cost.m2ts", file);
  const int64_t importCalls = SystemCalls() - before;
  const int64_t pictures = GetMediaSampleReferenceCount(imp.videoMedia);
  ASSERT_GT(pictures, 250);
  std::printf("import: %lld calls for %lld pictures, %lld chunks of the file\n", (long long)importCalls,
              (long long)pictures, (long long)chunks);
  EXPECT_LT(importCalls, 2 * chunks + pictures / 4);
  for (auto [dh, media] : {std::pair{imp.video, imp.videoMedia}, std::pair{imp.sound, imp.soundMedia}}) {
    const int64_t samples = GetMediaSampleReferenceCount(media);
    before = SystemCalls();
    ReadAll(dh, media);
    const int64_t readCalls = SystemCalls() - before;
    std::printf("export: %lld calls for %lld samples\n", (long long)readCalls, (long long)samples);
    EXPECT_LT(readCalls, 2 * chunks + samples / 4);
  }
}

// A track read in order reads the file once, whatever the number of its
// samples: a read goes on from where the one before left the file.
TEST(DataHandlerExport, EachStretchOfTheFileIsReadOnce) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_ac3_20_avchd.m2ts");
  const Bytes file = testsupport::read_file(path);
  Imported imp;
  imp.Open("in_order.m2ts", file);
  if (BytesRead() < 0) GTEST_SKIP() << "no /proc/self/io to count the bytes read";
  for (auto [dh, media] : {std::pair{imp.video, imp.videoMedia}, std::pair{imp.sound, imp.soundMedia}}) {
    const int64_t samples = GetMediaSampleReferenceCount(media);
    ASSERT_GT(samples, 40);
    const int64_t before = BytesRead();
    ReadAll(dh, media);
    // Besides the recording: the record store's own reads of its regions
    // (the frame index read whole once, small reads per sample).
    const int64_t index = int64_t(MTS_RecordRegionSize(MTS_MappedCapacity(imp.run.store()->pRec)));
    EXPECT_LE(BytesRead() - before, int64_t(file.size()) + 1024 + 64 * samples + index);
  }
}

// The import records the packet before a PES's first packet. When that
// packet itself starts a PES of the stream (it was sent twice), the sample is
// the PES after it, whether the handler reads on in order or starts over.
TEST(DataHandlerDamaged, PacketSentTwice) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_ac3_20_avchd.m2ts");
  const Bytes clean = testsupport::read_file(path);
  Bytes damaged = clean;
  for (uint32_t pid : {0x1100u, 0x1011u}) {
    const size_t at = PesStarts(damaged, pid)[7];
    damaged.insert(damaged.begin() + long(at), damaged.begin() + long(at), damaged.begin() + long(at + kPacket));
  }
  Imported want, got;
  want.Open("clean.m2ts", clean);
  got.Open("packet_twice.m2ts", damaged);

  // Sound: the one-packet PES holds no whole frame and gives no sample, so
  // the samples are those of the clean recording, decoded alike.
  const std::vector<Bytes> cleanSound = ReadAll(want.sound, want.soundMedia);
  testsupport::StderrCapture capture;
  EXPECT_EQ(ReadAll(got.sound, got.soundMedia), cleanSound);
  // Started over at each sample (backwards), as after a seek.
  const auto refs = SampleReferences(got.soundMedia);
  Bytes one;
  for (size_t k = refs.size(); k-- > 0;) {
    ASSERT_EQ(Read(got.sound, refs[k], &one), noErr) << k;
    EXPECT_NE(one, Bytes(one.size(), 0)) << k;
  }

  // Video: the access units of the clean recording, in order, with at most
  // the one-packet PES as a sample of its own among them.
  const std::vector<Bytes> cleanVideo = ReadAll(want.video, want.videoMedia);
  for (bool backwards : {false, true}) {
    const auto vrefs = SampleReferences(got.videoMedia);
    std::vector<Bytes> video(vrefs.size());
    for (size_t i = 0; i < vrefs.size(); ++i) {
      const size_t k = backwards ? vrefs.size() - 1 - i : i;
      ASSERT_EQ(Read(got.video, vrefs[k], &video[k]), noErr) << k;
    }
    ASSERT_LE(video.size(), cleanVideo.size() + 1);
    size_t matched = 0;
    for (const Bytes& v : video)
      if (matched < cleanVideo.size() && v == cleanVideo[matched]) ++matched;
    EXPECT_EQ(matched, cleanVideo.size()) << backwards;
  }
  const std::string log = capture.text();
  EXPECT_EQ(log.find("served as"), std::string::npos) << log;
}

// Frame-index entries that point where the sample's frame is not: a sound
// sample placed behind the frames of its PES, a picture placed on the last
// packet of the file. Each is served at its length as silence or zero bytes,
// once reported; the samples around it read as before.
TEST(DataHandlerDamaged, SampleNotWhereTheImportFoundIt) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_ac3_20_avchd.m2ts");
  const Bytes file = testsupport::read_file(path);
  // The samples as read from an import of the same recording whose index is
  // sound; the damage is done before the handlers first read the index
  // (they keep what they read: entries never change once written).
  Imported clean, imp;
  clean.Open("index_clean.m2ts", file);
  const std::vector<Bytes> sound = ReadAll(clean.sound, clean.soundMedia);
  const std::vector<Bytes> video = ReadAll(clean.video, clean.videoMedia);
  imp.Open("index_damaged.m2ts", file);
  const auto srefs = SampleReferences(imp.soundMedia);
  const auto vrefs = SampleReferences(imp.videoMedia);

  FrameOffsetEntry* s = IndexEntry(imp.run.store(), srefs[20].dataOffset);
  FrameOffsetEntry* v = IndexEntry(imp.run.store(), vrefs[20].dataOffset);
  ASSERT_NE(s, nullptr);
  ASSERT_NE(v, nullptr);
  int64_t packed = 0;
  ASSERT_TRUE(MTS_PackSoundValue(s->value, 5, &packed));
  SetIndexValue(imp.run.store(), s, packed);
  SetIndexValue(imp.run.store(), v, int64_t(file.size() - kPacket));

  for (int pass = 0; pass < 2; ++pass) {
    testsupport::StderrCapture capture;
    Bytes got;
    for (size_t k : {size_t(19), size_t(20), size_t(21)}) {
      // (A frame read after a start-over lacks its predecessor's overlap:
      // only silence is compared exactly.)
      ASSERT_EQ(Read(imp.sound, srefs[k], &got), noErr) << k;
      ASSERT_EQ(got.size(), sound[k].size());
      EXPECT_EQ(got == Bytes(got.size(), 0), k == 20) << k;
      ASSERT_EQ(Read(imp.video, vrefs[k], &got), noErr) << k;
      if (k == 20) {
        EXPECT_EQ(got.size(), video[k].size());
      } else {
        EXPECT_EQ(got, video[k]) << k;
      }
    }
    // The part of a sample: the same bytes.
    Bytes part(100, 0xEE);
    wide offset = srefs[20].dataOffset + 50;
    ASSERT_EQ(DataHScheduleData64(imp.sound, reinterpret_cast<Ptr>(part.data()), &offset, 100, 0, nullptr, nullptr),
              noErr);
    EXPECT_EQ(part, Bytes(100, 0));
    const std::string log = capture.text();
    EXPECT_EQ(Count(log, "served as silence"), 2u) << log;  // the sample, then its part after a good one
  }
}

// A PES that outgrows the demultiplexer's buffer (the starts of the PES
// after it lost): the import took its first bytes, and so does the read.
TEST(DataHandlerDamaged, PesTooLargeForTheDemultiplexer) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  Bytes file = testsupport::read_file(path);
  const std::vector<size_t> starts = PesStarts(file, 0x1100);
  ASSERT_GT(starts.size(), 40u);
  for (size_t k = 31; k < 38; ++k) file[starts[k] + 5] &= ~0x40;
  Imported imp;
  imp.Open("pes_too_large.m2ts", file);
  testsupport::StderrCapture capture;
  const std::vector<Bytes> sound = ReadAll(imp.sound, imp.soundMedia);
  const std::string log = capture.text();
  EXPECT_EQ(Count(log, "PES too large for the demultiplexer"), 1u) << log;
  const auto refs = SampleReferences(imp.soundMedia);
  ASSERT_EQ(sound.size(), refs.size());
  EXPECT_TRUE(std::any_of(refs.begin(), refs.end(), [](const MediaSampleReference& r) { return r.dataSize == 5756; }));
}
