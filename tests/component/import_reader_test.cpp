// A second application reading a recording while it is being imported: an
// idle import runs in this process, and after each idle call every sample
// reference that is new in the media is handed to another process (shm_peer
// read), which reads it through its own data handler on the same data
// reference. Once the import has ended, this process reads every sample
// through its own data handlers and compares.
#include "importer_test_util.h"
#include "shm_test_util.h"
#include "testsupport.h"

#include "MTS_DataHandler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using importer_test::FindTrack;
using importer_test::ImportRun;
using importer_test::SampleReferences;

// One sample handed to the reader: what it got, whether a track showed the
// sample when it was read, and whether it was ever refused as not there yet.
struct Handed {
  uint32_t type = 0;
  int64_t qt = 0;
  int64_t size = 0;
  int64_t mediaTime = 0;
  bool shown = false;
  bool waited = false;
  bool shownFailed = false;
  int result = 0;
  uint64_t hash = 0;
};

struct Counts {
  int handed = 0;
  int wrongBytes = 0;    // read without error, but not the sample's bytes
  int shownFailing = 0;  // shown by its track, yet the read failed
  int notYet = 0;        // refused as not there yet, and read when asked again
  int otherErrors = 0;   // still refused once the import has ended
};

// `copies` + 1 recordings joined end to end, taken from `sources` in turn,
// with 64 MiB of null packets after the first: the first call of an idle
// import reads past them, the copies behind them come in idle calls.
std::string JoinWithPadding(const std::vector<std::string>& sources, int copies, const std::string& name) {
  std::vector<std::vector<uint8_t>> recordings;
  for (const std::string& source : sources) recordings.push_back(testsupport::read_file(source));
  const std::string path = testing::TempDir() + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return "";
  std::fwrite(recordings[0].data(), 1, recordings[0].size(), f);
  uint8_t null[192] = {0, 0, 0, 0, 0x47, 0x1F, 0xFF, 0x10};
  std::memset(null + 8, 0xFF, sizeof null - 8);
  std::vector<uint8_t> padding;
  for (int i = 0; i < 4096; ++i) padding.insert(padding.end(), null, null + sizeof null);
  for (size_t written = 0; written < kMTSIdleFirstBytes; written += padding.size())
    std::fwrite(padding.data(), 1, padding.size(), f);
  for (int i = 1; i <= copies; ++i) {
    const std::vector<uint8_t>& one = recordings[i % recordings.size()];
    std::fwrite(one.data(), 1, one.size(), f);
  }
  std::fclose(f);
  return path;
}

class ImportReader : public shmtest::ShmTest {
 protected:
  struct Track3 {
    uint32_t type;
    OSType mediaType;
    size_t handed = 0;
  };

  // Hands the reader every sample reference of the three media that it has
  // not had yet, after those it was told are not there yet (a reader asks
  // for them again later, in the order it plays them).
  static void HandNew(ImportRun* run, shmtest::Peer* reader, std::vector<Track3>* tracks, std::vector<Handed>* all) {
    for (Track3& t : *tracks) {
      ::Track track = FindTrack(run->movie, t.mediaType);
      if (track == nullptr) continue;
      std::vector<size_t> toRead;
      for (size_t i = 0; i < all->size(); ++i) {
        if ((*all)[i].type == t.type && (*all)[i].result == kMTSErrNotYet) toRead.push_back(i);
      }
      const std::vector<MediaSampleReference> refs = SampleReferences(GetTrackMedia(track));
      int64_t time = 0;
      for (size_t i = 0; i < refs.size(); ++i) {
        const MediaSampleReference& r = refs[i];
        if (i >= t.handed) {
          Handed h;
          h.type = t.type;
          h.qt = r.dataOffset;
          h.size = r.dataSize;
          h.mediaTime = time;
          toRead.push_back(all->size());
          all->push_back(h);
        }
        time += r.count * r.durationPerSample;
      }
      t.handed = refs.size();
      // What the track shows: the media ranges of its edits.
      std::vector<std::pair<int64_t, int64_t>> shown;
      for (SInt32 e = 1; e <= GetTrackEditCount(track); ++e) {
        TimeValue64 start = 0, duration = 0, mediaTime = 0;
        Fixed rate = 0;
        GetTrackEdit(track, e, &start, &duration, &mediaTime, &rate);
        const int64_t span = duration * GetMediaTimeScale(GetTrackMedia(track)) / GetMovieTimeScale(run->movie);
        if (mediaTime >= 0) shown.emplace_back(mediaTime, mediaTime + span);
      }
      for (size_t i : toRead) {
        Handed& h = (*all)[i];
        h.shown = std::any_of(shown.begin(), shown.end(),
                              [&](const auto& r) { return h.mediaTime >= r.first && h.mediaTime < r.second; });
        std::ostringstream line;
        line << h.type << ' ' << h.qt << ' ' << h.size;
        reader->write_line(line.str());
        std::istringstream answer(reader->read_line());
        answer >> h.result >> h.hash;
        if (h.result == kMTSErrNotYet) h.waited = true;
        if (h.shown && h.result != noErr && !h.shownFailed) {
          h.shownFailed = true;
          ADD_FAILURE() << "shown sample of type " << h.type << " at qt_offset " << h.qt << " failed: " << h.result;
        }
      }
    }
  }

  // Imports the join with idling, hands every new sample to a reader after
  // each call, and checks what the reader got against this process's reads
  // once the import has ended.
  Counts ReadWhileImporting(const std::string& path) {
    Counts counts;
    ImportRun run;
    importer_test::RegisterImporter();
    EXPECT_EQ(OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &run.importer), noErr);
    IdleManager im = QTIdleManagerOpen();
    EXPECT_EQ(CallComponentSelector(run.importer, SInt16(30), im), noErr);
    CloseComponent(run.importer);
    run.importer = nullptr;
    importer_test::ImportFile(&run, path, kMTSInFlagIdle);
    EXPECT_EQ(run.result, noErr);
    EXPECT_EQ(run.outFlags, kMTSOutFlagNeedIdle);
    if (run.result != noErr) return counts;
    EXPECT_EQ(CallComponentSelector(run.importer, SInt16(30), im), noErr);

    shmtest::Peer reader(SHM_PEER, {"read", std::to_string(run.store()->recordID)});
    EXPECT_TRUE(reader.started());
    std::vector<Track3> tracks = {{kAvchdDataRefSound, FOUR_CHAR_CODE("soun")},
                                  {kAvchdDataRefVideo, FOUR_CHAR_CODE("vide")},
                                  {kAvchdDataRefTimecode, FOUR_CHAR_CODE("tmcd")}};
    std::vector<Handed> handed;
    int32_t outFlags = run.outFlags;
    for (int calls = 0; calls < 1000; ++calls) {
      HandNew(&run, &reader, &tracks, &handed);
      if (outFlags & kMTSOutFlagComplete) break;
      EXPECT_EQ(CallComponentSelector(run.importer, SInt16(23), int32_t(0), &outFlags), noErr);
    }
    EXPECT_TRUE(outFlags & kMTSOutFlagComplete);
    reader.write_line("end");
    EXPECT_EQ(reader.wait(), 0);

    // This process's own reads, after the import.
    ComponentInstance handlers[4] = {};
    Handle refs[4] = {};
    for (uint32_t type = kAvchdDataRefSound; type <= kAvchdDataRefTimecode; ++type) {
      AvchdDataRef ref{static_cast<uint32_t>(run.store()->recordID), type};
      PtrToHand(&ref, &refs[type], Size(sizeof ref));
      EXPECT_EQ(OpenADataHandler(refs[type], kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead, &handlers[type]),
                noErr);
    }
    std::vector<uint8_t> buffer;
    for (const Handed& h : handed) {
      buffer.assign(static_cast<size_t>(h.size), 0);
      wide offset = h.qt;
      const ComponentResult r = DataHScheduleData64(handlers[h.type], reinterpret_cast<Ptr>(buffer.data()), &offset,
                                                    SInt32(h.size), 0, nullptr, nullptr);
      EXPECT_EQ(r, noErr) << "type " << h.type << " qt_offset " << h.qt;
      ++counts.handed;
      if (h.result == noErr && r == noErr && h.hash != shmtest::fnv1a(buffer.data(), buffer.size()) &&
          ++counts.wrongBytes <= 3) {
        ADD_FAILURE() << "other bytes read for type " << h.type << " qt_offset " << h.qt << " size " << h.size;
      }
      if (h.result != noErr) ++counts.otherErrors;
      if (h.waited) ++counts.notYet;
      if (h.shownFailed) ++counts.shownFailing;
    }
    for (uint32_t type = kAvchdDataRefSound; type <= kAvchdDataRefTimecode; ++type) {
      if (handlers[type] != nullptr) CloseComponent(handlers[type]);
      DisposeHandle(refs[type]);
    }
    QTIdleManagerClose(im);
    return counts;
  }
};

// Joins of AC-3, LPCM and MBAFF recordings, long enough behind the first
// 64 MiB for many joins, idle insertions and runs of index entries, and a
// join whose sound changes kind at every recording: the reader never gets
// another sample's bytes, and every sample a track shows reads.
TEST_F(ImportReader, ASecondProcessReadsRightBytesOrNotYet) {
  const std::vector<std::vector<std::string>> joins = {{"small_ac3_20_avchd"},
                                                       {"small_lpcm_20_avchd"},
                                                       {"small_mbaff_ac3_20_avchd"},
                                                       {"small_ac3_20_avchd", "small_lpcm_20_avchd"}};
  for (const std::vector<std::string>& join : joins) {
    std::vector<std::string> sources;
    std::string name;
    for (const std::string& part : join) {
      AVCHD_REQUIRE_TESTDATA(source, "avchd/" + part + ".m2ts");
      sources.push_back(source);
      name += (name.empty() ? "" : "+") + part;
    }
    const std::string path = JoinWithPadding(sources, 80, name + "_joined_" + std::to_string(getpid()) + ".m2ts");
    ASSERT_FALSE(path.empty());
    const Counts c = ReadWhileImporting(path);
    std::remove(path.c_str());
    std::printf("%s: %d samples handed, %d wrong bytes, %d shown failing, %d not yet, %d other errors\n",
                name.c_str(), c.handed, c.wrongBytes, c.shownFailing, c.notYet, c.otherErrors);
    EXPECT_GT(c.handed, 1000) << name;
    EXPECT_EQ(c.wrongBytes, 0) << name;
    EXPECT_EQ(c.shownFailing, 0) << name;
    EXPECT_EQ(c.otherErrors, 0) << name;
  }
}

}  // namespace
