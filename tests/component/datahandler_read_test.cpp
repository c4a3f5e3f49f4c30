// Reads through the data handler of frame indexes built from real AVCHD
// streams, checked against an independent parse of the same files.
#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MacMemory.h"
#include "md5.h"
#include "shm_test_util.h"
#include "stream_index.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sched.h>
#include <sys/mman.h>
#include <thread>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using streamindex::Pes;
using streamindex::Sample;
using testsupport::StderrCapture;

int g_completions = 0;
void count_completion(Ptr, RefCon, OSErr err) {
  if (err == noErr) ++g_completions;
}

// The kind of 16-bit PCM an AC-3 frame decodes into: 1536 sample frames.
int64_t ac3_frame_bytes(const std::vector<Pes>& pes) {
  for (const Pes& p : pes) {
    if (!p.video && p.payload.size() > 7 && p.payload[0] == 0x0B && p.payload[1] == 0x77) {
      static const int kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
      int acmod = p.payload[6] >> 5;
      // lfeon follows acmod and its optional 2-bit fields.
      int bit = 8 * 6 + 3;
      if ((acmod & 1) && acmod != 1) bit += 2;
      if (acmod & 4) bit += 2;
      if (acmod == 2) bit += 2;
      int lfe = (p.payload[static_cast<size_t>(bit / 8)] >> (7 - bit % 8)) & 1;
      return 1536 * 2 * (kChannels[acmod] + lfe);
    }
  }
  return 0;
}

// One imported file: its record and frame index, as an importer leaves them.
class StreamRead : public shmtest::ShmTest {
 protected:
  void SetUp() override {
    ShmTest::SetUp();
    MTS_DataHRegister();
  }
  void TearDown() override {
    for (ComponentInstance ci : open_) CloseComponent(ci);
    open_.clear();
    if (rec_ != nullptr) MTS_ReleaseOneAvchdDataRecord(dir_, rec_, static_cast<int32_t>(id_));
    rec_ = nullptr;
    if (fileHandler_ != nullptr) CloseComponent(fileHandler_);
    fileHandler_ = nullptr;
    for (Handle h : handles_) DisposeHandle(h);
    handles_.clear();
    ShmTest::TearDown();
  }

  // Builds the record of `path` the way the importer does; false (with a
  // failure recorded) when something does not work.
  bool import(const std::string& path) {
    file_ = testsupport::read_file(path);
    if (file_.empty()) return false;
    pes_ = streamindex::read_pes(file_);
    samples_ = streamindex::layout(pes_, ac3_frame_bytes(pes_));
    CFStringRef cfPath = CFStringCreateWithCString(kCFAllocatorDefault, path.c_str(), kCFStringEncodingUTF8);
    Handle aliasRef = nullptr;
    OSType aliasType = 0;
    EXPECT_EQ(QTNewDataReferenceFromFullPathCFString(cfPath, kQTNativeDefaultPathStyle, 0, &aliasRef, &aliasType),
              noErr);
    CFRelease(cfPath);
    handles_.push_back(aliasRef);
    EXPECT_EQ(OpenADataHandler(aliasRef, aliasType, nullptr, 0, nullptr, kDataHCanRead, &fileHandler_), noErr);
    int32_t capacity = static_cast<int32_t>(samples_.size() * 1.2 + 1.0);
    int err = MTS_SetDataHandler(&id_, &dir_, &rec_, fileHandler_, static_cast<SInt64>(file_.size()), capacity);
    EXPECT_EQ(err, 0);
    if (err != 0) return false;
    EXPECT_STREQ(rec_->path, path.c_str());
    return streamindex::fill_index(dir_, rec_, samples_);
  }

  // Starts over with another file (for tests that loop over several).
  bool reimport(const std::string& path) {
    TearDown();
    SetUp();
    return import(path);
  }

  static MTS_DataHGlobalsRecord* globals(ComponentInstance ci) {
    return reinterpret_cast<MTS_DataHGlobalsRecord*>(GetComponentInstanceStorage(ci));
  }

  ComponentInstance open_handler(uint32_t type) {
    AvchdDataRef ref{id_, type};
    Handle h = nullptr;
    PtrToHand(&ref, &h, Size(sizeof ref));
    handles_.push_back(h);
    ComponentInstance ci = nullptr;
    EXPECT_EQ(OpenADataHandler(h, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead, &ci), noErr);
    if (ci != nullptr) open_.push_back(ci);
    return ci;
  }

  // Reads `size` bytes at `qt`; the result, with the bytes in *out.
  static ComponentResult read(ComponentInstance dh, int64_t qt, int64_t size, std::vector<uint8_t>* out,
                              bool* completed = nullptr) {
    out->assign(static_cast<size_t>(size), 0xEE);
    wide offset = qt;
    int before = g_completions;
    ComponentResult r = DataHScheduleData64(dh, reinterpret_cast<Ptr>(out->data()), &offset, SInt32(size), 0,
                                            nullptr, count_completion);
    if (completed != nullptr) *completed = g_completions == before + 1;
    return r;
  }

  // What the data handler must deliver for a sample.
  std::vector<uint8_t> expected(const Sample& s) const {
    const Pes& p = pes_[s.pes];
    if (p.video) {
      std::vector<uint8_t> converted(2 * p.payload.size() + 1);
      converted.resize(static_cast<size_t>(
          MTS_copy_buffer(converted.data(), p.payload.data(), static_cast<int>(p.payload.size()))));
      return converted;
    }
    return std::vector<uint8_t>(p.payload.begin() + 4, p.payload.end());
  }

  std::vector<const Sample*> of_kind(int kind) const {
    std::vector<const Sample*> list;
    for (const Sample& s : samples_)
      if (s.kind == kind) list.push_back(&s);
    return list;
  }

  // Checks one video read against the access unit, independently of the
  // conversion: the same NAL units, in order, trailing zeros aside.
  void expect_access_unit(const std::vector<uint8_t>& got, const Sample& s) {
    std::vector<std::vector<uint8_t>> units;
    ASSERT_TRUE(streamindex::length_prefixed_units(got.data(), got.size(), &units)) << "qt_offset " << s.qt_offset;
    const Pes& p = pes_[s.pes];
    std::vector<std::vector<uint8_t>> want = streamindex::nal_units(p.payload.data(), p.payload.size());
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(units, want) << "qt_offset " << s.qt_offset;
  }

  std::vector<uint8_t> file_;
  std::vector<Pes> pes_;
  std::vector<Sample> samples_;
  uint32_t id_ = 0;
  AvchdRecordDirectory* dir_ = nullptr;
  AvchdDataRecord* rec_ = nullptr;
  ComponentInstance fileHandler_ = nullptr;
  std::vector<ComponentInstance> open_;
  std::vector<Handle> handles_;
};

const char* const kSmallFiles[] = {"avchd/small_lpcm_20_avchd.m2ts", "avchd/small_lpcm_51_avchd.m2ts",
                                   "avchd/small_ac3_20_avchd.m2ts", "avchd/small_ac3_51_avchd.m2ts",
                                   "avchd/small_mbaff_ac3_20_avchd.m2ts"};

TEST_F(StreamRead, EveryVideoSampleIsItsAccessUnit) {
  for (const char* name : kSmallFiles) {
    SCOPED_TRACE(name);
    AVCHD_REQUIRE_TESTDATA(path, name);
    ASSERT_TRUE(reimport(path));
    ComponentInstance dh = open_handler(kAvchdDataRefVideo);
    std::vector<const Sample*> video = of_kind(kAvchdDataRefVideo);
    ASSERT_GE(video.size(), 40u);
    std::vector<uint8_t> got;
    for (const Sample* s : video) {
      bool completed = false;
      ASSERT_EQ(read(dh, s->qt_offset, s->size, &got, &completed), noErr) << s->qt_offset;
      EXPECT_TRUE(completed);
      expect_access_unit(got, *s);
    }
  }
}

TEST_F(StreamRead, LpcmSamplesAreTheStreamPcm) {
  for (const char* name : {"avchd/small_lpcm_20_avchd.m2ts", "avchd/small_lpcm_51_avchd.m2ts"}) {
    SCOPED_TRACE(name);
    AVCHD_REQUIRE_TESTDATA(path, name);
    ASSERT_TRUE(reimport(path));
    ComponentInstance dh = open_handler(kAvchdDataRefSound);
    std::vector<const Sample*> sound = of_kind(kAvchdDataRefSound);
    ASSERT_GE(sound.size(), 100u);
    std::vector<uint8_t> got, all;
    for (const Sample* s : sound) {
      ASSERT_EQ(s->size, 240 * 2 * (std::string(name).find("_51_") != std::string::npos ? 6 : 2));
      ASSERT_EQ(read(dh, s->qt_offset, s->size, &got), noErr);
      ASSERT_EQ(got, expected(*s)) << s->qt_offset;
      all.insert(all.end(), got.begin(), got.end());
    }
    EXPECT_EQ(globals(dh)->audioKind, kMTSAudioLPCM);
    if (std::string(name).find("_20_") != std::string::npos) {
      // Big-endian samples: swapped, the reference decoder's 16-bit output.
      for (size_t i = 0; i + 1 < all.size(); i += 2) std::swap(all[i], all[i + 1]);
      std::string want = testsupport::read_text(path.substr(0, path.size() - 5) + ".audio.md5");
      EXPECT_EQ(md5_hex(all.data(), all.size()), want.substr(0, 32));
    }
  }
}

TEST_F(StreamRead, ReadsSpanFramesAndReachTheLastOne) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  ASSERT_TRUE(import(path));
  for (int kind : {kAvchdDataRefVideo, kAvchdDataRefSound}) {
    SCOPED_TRACE(kind);
    ComponentInstance dh = open_handler(static_cast<uint32_t>(kind));
    std::vector<const Sample*> list = of_kind(kind);
    std::vector<uint8_t> got;
    for (size_t i : {size_t(0), size_t(5), list.size() / 2, list.size() - 3}) {
      // From 10 bytes into sample i to 7 bytes into sample i + 2.
      const Sample& a = *list[i];
      std::vector<uint8_t> want = expected(a);
      want.erase(want.begin(), want.begin() + 10);
      std::vector<uint8_t> b = expected(*list[i + 1]);
      std::vector<uint8_t> c = expected(*list[i + 2]);
      want.insert(want.end(), b.begin(), b.end());
      want.insert(want.end(), c.begin(), c.begin() + 7);
      bool completed = false;
      ASSERT_EQ(read(dh, a.qt_offset + 10, static_cast<int64_t>(want.size()), &got, &completed), noErr) << i;
      EXPECT_TRUE(completed);
      EXPECT_EQ(got, want) << i;
    }
    // The last sample ends with the file: served from the unfinished PES.
    const Sample& last = *list.back();
    ASSERT_EQ(read(dh, last.qt_offset, last.size, &got), noErr);
    EXPECT_EQ(got, expected(last));
    ASSERT_EQ(read(dh, last.qt_offset + 1, last.size - 1, &got), noErr);

    // More than remains: an error, no completion, the bytes that exist copied.
    StderrCapture capture;
    bool completed = true;
    EXPECT_EQ(read(dh, last.qt_offset, last.size + 1, &got, &completed), eofErr);
    EXPECT_FALSE(completed);
    EXPECT_TRUE(std::equal(got.begin(), got.end() - 1, expected(last).begin()));
    EXPECT_NE(capture.text().find("[ERR]file over. NO DATA for qt_offset="), std::string::npos);
  }
  // A start beyond the last sample's bytes.
  ComponentInstance dh = open_handler(kAvchdDataRefVideo);
  const Sample& last = *of_kind(kAvchdDataRefVideo).back();
  int64_t end = samples_.back().qt_offset + samples_.back().size;
  std::vector<uint8_t> got;
  StderrCapture capture;
  bool completed = true;
  EXPECT_EQ(read(dh, std::max(end, last.qt_offset + last.size) + 100, 16, &got, &completed), eofErr);
  EXPECT_FALSE(completed);
  capture.text();
}

TEST_F(StreamRead, ShortReadIsAnError) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  // The file is shorter than the record says. The record was made before the
  // file stood at its path, so it holds no identity of the file and the open
  // cannot tell: the read must.
  const std::string later = testing::TempDir() + "short_read_" + std::to_string(getpid()) + ".m2ts";
  std::remove(later.c_str());
  file_ = testsupport::read_file(path);
  ASSERT_FALSE(file_.empty());
  pes_ = streamindex::read_pes(file_);
  samples_ = streamindex::layout(pes_, ac3_frame_bytes(pes_));
  ASSERT_EQ(MTS_CreateAvchdDataRecord(&id_, &dir_, &rec_, static_cast<int64_t>(file_.size()) + 192 * 100,
                                      static_cast<int32_t>(samples_.size() * 1.2 + 1.0), shmtest::path_from_string,
                                      const_cast<char*>(later.c_str())),
            0);
  ASSERT_TRUE(streamindex::fill_index(dir_, rec_, samples_));
  ASSERT_EQ(testsupport::run_command("cp '" + path + "' '" + later + "'").exit, 0);
  ComponentInstance dh = open_handler(kAvchdDataRefVideo);
  const Sample& last = *of_kind(kAvchdDataRefVideo).back();
  std::vector<uint8_t> got;
  StderrCapture capture;
  bool completed = true;
  EXPECT_EQ(read(dh, last.qt_offset, last.size, &got, &completed), ioErr);
  EXPECT_FALSE(completed);
  EXPECT_NE(capture.text().find("[ERR]failed to fread(pTSbuffer="), std::string::npos);
  std::remove(later.c_str());
}

TEST_F(StreamRead, RandomOrderAndHeldState) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_51_avchd.m2ts");
  ASSERT_TRUE(import(path));
  std::vector<const Sample*> all;
  for (const Sample& s : samples_) all.push_back(&s);
  std::shuffle(all.begin(), all.end(), std::mt19937(77));
  ComponentInstance video = open_handler(kAvchdDataRefVideo);
  ComponentInstance sound = open_handler(kAvchdDataRefSound);
  std::vector<uint8_t> got;
  for (const Sample* s : all) {
    ASSERT_EQ(read(s->kind == kAvchdDataRefVideo ? video : sound, s->qt_offset, s->size, &got), noErr);
    ASSERT_EQ(got, expected(*s)) << s->qt_offset;
  }

  // After a read the demultiplexer holds the frames that followed it. A
  // request whose frame starts exactly where the file was left must not be
  // served from that held data.
  std::vector<const Sample*> list = of_kind(kAvchdDataRefVideo);
  MTS_DataHGlobalsRecord* g = globals(video);
  ASSERT_EQ(read(video, list[3]->qt_offset, list[3]->size, &got), noErr);
  g->position = list[9]->value;
  ASSERT_EQ(read(video, list[9]->qt_offset, list[9]->size, &got), noErr);
  EXPECT_EQ(got, expected(*list[9]));
}

TEST_F(StreamRead, Ac3Sound) {
  for (const char* name : {"avchd/small_ac3_20_avchd.m2ts", "avchd/small_ac3_51_avchd.m2ts"}) {
    SCOPED_TRACE(name);
    AVCHD_REQUIRE_TESTDATA(path, name);
    ASSERT_TRUE(reimport(path));
    ComponentInstance dh = open_handler(kAvchdDataRefSound);
    MTS_DataHGlobalsRecord* g = globals(dh);
    std::vector<const Sample*> sound = of_kind(kAvchdDataRefSound);
    ASSERT_FALSE(sound.empty());
    // 1536 sample frames in the stream's own layout: 2/0, or 3/2 with LFE.
    const int channels = std::string(name).find("_51_") != std::string::npos ? 6 : 2;
    EXPECT_EQ(sound[0]->size, 1536 * 2 * channels);
    std::vector<uint8_t> got;
    // In order, one decoder instance: the same PCM as the decoder gives for
    // the frames one after the other.
    AC3DecState* reference = AC3DecInitLib();
    ASSERT_NE(reference, nullptr);
    std::vector<int16_t> pcm(kMTSAC3OutputSize / 2);
    for (const Sample* s : sound) {
      const Pes& p = pes_[s->pes];
      ac3decInfo info{};
      info.outFollowsStream = 1;
      info.pInput = p.payload.data();
      info.nInputBytes = static_cast<int32_t>(p.payload.size());
      info.nOutputCapacity = kMTSAC3OutputSize;
      info.pOutput = pcm.data();
      ASSERT_EQ(AC3DecodeAFrameLib(reference, &info), 0);
      ASSERT_EQ(info.nOutputBytes, s->size);
      bool completed = false;
      ASSERT_EQ(read(dh, s->qt_offset, s->size, &got, &completed), noErr) << s->qt_offset;
      EXPECT_TRUE(completed);
      ASSERT_EQ(std::memcmp(got.data(), pcm.data(), got.size()), 0) << s->qt_offset;
    }
    AC3DecCloseLib(reference);
    // Out of order and across two frames: served, of the right size.
    const Sample& a = *sound[sound.size() / 2];
    ASSERT_EQ(read(dh, a.qt_offset + 100, a.size, &got), noErr);
    EXPECT_EQ(g->audioKind, kMTSAudioAC3);  // decided by the first frame, kept
  }
}

TEST_F(StreamRead, Ac3FrameThatDoesNotDecode) {
  AVCHD_REQUIRE_TESTDATA(original, "avchd/small_ac3_20_avchd.m2ts");
  // A copy whose first AC-3 frame has damaged data behind its sync word.
  std::vector<uint8_t> bytes = testsupport::read_file(original);
  std::vector<Pes> pes = streamindex::read_pes(bytes);
  auto first = std::find_if(pes.begin(), pes.end(), [](const Pes& p) { return !p.video; });
  ASSERT_NE(first, pes.end());
  size_t sync = static_cast<size_t>(first->firstPacket);
  while (sync + 1 < bytes.size() && !(bytes[sync] == 0x0B && bytes[sync + 1] == 0x77)) ++sync;
  for (size_t i = sync + 8; i < sync + 40; ++i) bytes[i] ^= 0x5A;
  char path[] = "/tmp/datahandler_ac3_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
  struct Remove {
    const char* path;
    ~Remove() { unlink(path); }
  } remove{path};
  ASSERT_TRUE(import(path));
  ComponentInstance dh = open_handler(kAvchdDataRefSound);
  const Sample& s = *of_kind(kAvchdDataRefSound).front();
  std::vector<uint8_t> got;
  StderrCapture capture;
  bool completed = false;
  // Served as silence of its length: one bad frame never fails a movie.
  EXPECT_EQ(read(dh, s.qt_offset, s.size, &got, &completed), noErr);
  EXPECT_TRUE(completed);
  EXPECT_EQ(got, std::vector<uint8_t>(static_cast<size_t>(s.size), 0));
  // Read again: still silence, and the run is reported once.
  EXPECT_EQ(read(dh, s.qt_offset + 8, 16, &got), noErr);
  EXPECT_EQ(got, std::vector<uint8_t>(16, 0));
  std::string log = capture.text();
  EXPECT_NE(log.find("[ERR]failed to AC3DecodeAFrameLib("), std::string::npos);
  EXPECT_EQ(log.find("[ERR]failed to AC3DecodeAFrameLib(", log.find("[ERR]failed to AC3DecodeAFrameLib(") + 1),
            std::string::npos);
  // The next frame decodes again.
  const Sample& next = *of_kind(kAvchdDataRefSound)[1];
  EXPECT_EQ(read(dh, next.qt_offset, next.size, &got), noErr);
  EXPECT_NE(got, std::vector<uint8_t>(got.size(), 0));

  // Without a decoder (its creation failed) every AC-3 read fails.
  AC3DecCloseLib(globals(dh)->ac3Decoder);
  globals(dh)->ac3Decoder = nullptr;
  completed = true;
  StderrCapture again;
  EXPECT_EQ(read(dh, next.qt_offset, next.size, &got, &completed), -8960);
  EXPECT_FALSE(completed);
  EXPECT_NE(again.text().find("[ERR]failed to AC3DecGetInputInfoLib("), std::string::npos);
}

// A read handed to a worker thread: the bytes of the read call, and the
// completion routine called on that thread with the read's result, also
// when the read fails.
TEST_F(StreamRead, WorkerThreadRead) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  ASSERT_TRUE(import(path));
  struct Done {
    int calls = 0;
    OSErr err = 1;
    pthread_t thread{};
  };
  auto completion = [](Ptr, RefCon refCon, OSErr err) {
    Done* d = reinterpret_cast<Done*>(refCon);
    ++d->calls;
    d->err = err;
    d->thread = pthread_self();
  };
  const Sample& video = *of_kind(kAvchdDataRefVideo)[7];
  const Sample& sound = *of_kind(kAvchdDataRefSound).back();
  struct Case {
    const Sample* sample;
    int64_t skip, extra;  // read from `skip` bytes in, `extra` bytes past the end
    OSErr result;
  } cases[] = {{&video, 0, 0, noErr}, {&sound, 10, 0, noErr}, {&sound, 0, 1, eofErr}};
  for (const Case& c : cases) {
    ComponentInstance dh = open_handler(static_cast<uint32_t>(c.sample->kind));
    std::vector<uint8_t> got(static_cast<size_t>(c.sample->size - c.skip + c.extra), 0xEE);
    wide offset = c.sample->qt_offset + c.skip;
    Done done;
    ThreadArgsRecord args{globals(dh), reinterpret_cast<Ptr>(got.data()), &offset, SInt32(got.size()),
                          reinterpret_cast<RefCon>(&done), nullptr, completion};
    StderrCapture capture;
    pthread_t worker;
    ASSERT_EQ(pthread_create(&worker, nullptr, workerThread, &args), 0);
    ASSERT_EQ(pthread_join(worker, nullptr), 0);
    capture.text();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.err, c.result);
    EXPECT_TRUE(pthread_equal(done.thread, worker));
    std::vector<uint8_t> want = expected(*c.sample);
    want.erase(want.begin(), want.begin() + c.skip);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << c.sample->qt_offset;
  }
}

TEST_F(StreamRead, CameraSizedStream) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  ASSERT_TRUE(import(path));
  ComponentInstance dh = open_handler(kAvchdDataRefVideo);
  std::vector<const Sample*> video = of_kind(kAvchdDataRefVideo);
  ASSERT_GT(video.size(), 250u);
  std::vector<uint8_t> got;
  for (size_t i = 0; i < video.size(); i += (i < 20 || i + 20 > video.size()) ? 1 : 7) {
    ASSERT_EQ(read(dh, video[i]->qt_offset, video[i]->size, &got), noErr) << i;
    expect_access_unit(got, *video[i]);
  }
}

// Another process of the user truncates the store's regions again and again
// while a data handler reads (then writes their bytes back): reads succeed
// or fail, the reader never dies of SIGBUS, and once the regions are whole
// again every sample is served as before.
TEST_F(StreamRead, RegionsTruncatedUnderAReader) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  ASSERT_TRUE(import(path));
  ComponentInstance video = open_handler(kAvchdDataRefVideo);
  ComponentInstance sound = open_handler(kAvchdDataRefSound);
  struct Region {
    int fd;
    std::vector<uint8_t> bytes;
  };
  std::vector<Region> regions;
  for (int32_t id : {-1, static_cast<int32_t>(id_)}) {
    int fd = shm_open(shmtest::region_name(id).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    Region r{fd, std::vector<uint8_t>(static_cast<size_t>(st.st_size))};
    ASSERT_EQ(pread(fd, r.bytes.data(), r.bytes.size(), 0), static_cast<ssize_t>(r.bytes.size()));
    regions.push_back(std::move(r));
  }
  std::atomic<bool> stop{false};
  std::thread storm([&] {
    while (!stop.load()) {
      for (Region& r : regions) {
        if (ftruncate(r.fd, 0) != 0) return;
        sched_yield();
        if (pwrite(r.fd, r.bytes.data(), r.bytes.size(), 0) != static_cast<ssize_t>(r.bytes.size())) return;
      }
    }
  });
  StderrCapture capture;
  std::vector<uint8_t> got;
  int served = 0, refused = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  AvchdDataRef ref{id_, kAvchdDataRefTimecode};
  Handle refHandle = nullptr;
  PtrToHand(&ref, &refHandle, Size(sizeof ref));
  handles_.push_back(refHandle);
  while (std::chrono::steady_clock::now() < until) {
    for (const Sample& s : samples_) {
      ComponentResult r = read(s.kind == kAvchdDataRefVideo ? video : sound, s.qt_offset, s.size, &got);
      (r == noErr ? served : refused)++;
    }
    // Data handlers come and go too: the directory's counts are read and
    // written meanwhile.
    ComponentInstance passing = nullptr;
    OpenADataHandler(refHandle, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead, &passing);
    if (passing != nullptr) CloseComponent(passing);
  }
  stop = true;
  storm.join();
  capture.text();
  std::printf("during the storm: %d reads served, %d refused\n", served, refused);
  for (const Sample& s : samples_) {
    ASSERT_EQ(read(s.kind == kAvchdDataRefVideo ? video : sound, s.qt_offset, s.size, &got), noErr) << s.qt_offset;
    ASSERT_EQ(got, expected(s)) << s.qt_offset;
  }
  for (Region& r : regions) close(r.fd);
}

// The import in one process, the reads in another.
TEST_F(StreamRead, ImporterInAnotherProcess) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  shmtest::Peer importer(SHM_PEER, {"import", path});
  ASSERT_TRUE(importer.started());
  std::string line = importer.read_line();
  ASSERT_EQ(line.rfind("id ", 0), 0u) << line;
  id_ = static_cast<uint32_t>(std::stoul(line.substr(3)));
  EXPECT_EQ(shmtest::peek_directory()->refCount[id_], 1u);

  // The same layout, computed here from the file.
  file_ = testsupport::read_file(path);
  pes_ = streamindex::read_pes(file_);
  samples_ = streamindex::layout(pes_, 0);
  ComponentInstance video = open_handler(kAvchdDataRefVideo);
  ComponentInstance sound = open_handler(kAvchdDataRefSound);
  EXPECT_EQ(shmtest::peek_directory()->refCount[id_], 3u);
  std::vector<uint8_t> got;
  for (size_t i = 0; i < samples_.size(); i += 5) {
    const Sample& s = samples_[i];
    ASSERT_EQ(read(s.kind == kAvchdDataRefVideo ? video : sound, s.qt_offset, s.size, &got), noErr);
    ASSERT_EQ(got, expected(s));
  }
  CloseComponent(video);
  open_.erase(std::find(open_.begin(), open_.end(), video));
  EXPECT_EQ(shmtest::peek_directory()->refCount[id_], 2u);

  // The importer goes while a data handler still reads.
  importer.write_line("release");
  EXPECT_EQ(importer.wait(), 0);
  EXPECT_EQ(shmtest::peek_directory()->refCount[id_], 1u);
  const Sample* lastSound = of_kind(kAvchdDataRefSound).back();
  ASSERT_EQ(read(sound, lastSound->qt_offset, lastSound->size, &got), noErr);
  EXPECT_EQ(got, expected(*lastSound));
  CloseComponent(sound);
  open_.clear();
  EXPECT_TRUE(shmtest::existing_regions().empty());
}

}  // namespace

namespace {

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
}

}  // namespace

// A recording replaced or rewritten after its import (same size, other
// content) is not served at the old offsets, even when its modification
// time is put back afterwards (touch -r).
TEST_F(StreamRead, ChangedFilesAreNotRead) {
  const std::vector<uint8_t> bytes = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  ASSERT_FALSE(bytes.empty());
  std::vector<uint8_t> other = bytes;
  for (size_t i = 192 * 8; i < other.size(); ++i) other[i] ^= 0x5A;
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/changed_" + std::to_string(getpid()) + ".m2ts";
  enum Change { kRewritten, kRewrittenTimeKept, kReplaced };
  for (Change change : {kRewritten, kRewrittenTimeKept, kReplaced}) {
    const bool inPlace = change != kReplaced;
    SCOPED_TRACE(change == kRewritten ? "rewritten in place"
                 : change == kRewrittenTimeKept ? "rewritten in place, modification time put back"
                                                : "replaced by another file");
    write_file(path, bytes);
    ASSERT_TRUE(reimport(path));
    ComponentInstance dh = open_handler(kAvchdDataRefVideo);
    const Sample& first = *of_kind(kAvchdDataRefVideo).front();
    std::vector<uint8_t> before, after;
    ASSERT_EQ(read(dh, first.qt_offset, first.size, &before), noErr);

    if (inPlace) {
      FILE* f = std::fopen(path.c_str(), "r+b");
      ASSERT_NE(f, nullptr);
      struct stat imported;
      ASSERT_EQ(fstat(fileno(f), &imported), 0);
      ASSERT_EQ(std::fwrite(other.data(), 1, other.size(), f), other.size());
      std::fclose(f);
      struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 10, 0}};
      if (change == kRewrittenTimeKept) later[1] = imported.st_mtim;
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    } else {
      write_file(path + ".new", other);
      ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
    }
    StderrCapture capture;
    if (inPlace) {
      EXPECT_EQ(read(dh, first.qt_offset, first.size, &after), kMTSErrFileChanged);
    } else {
      // The open file is still the imported one.
      EXPECT_EQ(read(dh, first.qt_offset, first.size, &after), noErr);
      EXPECT_EQ(after, before);
    }
    // A data handler opened now refuses the file.
    AvchdDataRef ref{id_, kAvchdDataRefVideo};
    Handle h = nullptr;
    PtrToHand(&ref, &h, Size(sizeof ref));
    handles_.push_back(h);
    ComponentInstance late = nullptr;
    EXPECT_NE(OpenADataHandler(h, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead, &late), noErr);
    if (late != nullptr) open_.push_back(late);
    std::string log = capture.text();
    size_t lines = 0;
    for (size_t at = log.find("changed since its import"); at != std::string::npos;
         at = log.find("changed since its import", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, inPlace ? 2u : 1u) << log;  // one per refusal
  }
  std::remove(path.c_str());
}

// Each word of a timecode read comes from the entry of its own sample: a
// lookup that lands inside another sample serves nothing.
TEST_F(StreamRead, TimecodeWordsComeOnlyFromTheirOwnEntries) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  ASSERT_TRUE(import(path));
  const int64_t t = samples_.back().qt_offset + samples_.back().size;
  // Time codes 100 and 101 at t and t + 4; the next sample starts at t + 16.
  for (int64_t k : {0, 1}) ASSERT_EQ(MTS_PutFrameOffset(dir_, rec_, t + 4 * k, 100 + k), 0);
  ASSERT_EQ(MTS_PutFrameOffset(dir_, rec_, t + 16, 0), 0);
  ComponentInstance tc = open_handler(kAvchdDataRefTimecode);
  std::vector<uint8_t> got;
  ASSERT_EQ(read(tc, t, 8, &got), noErr);
  EXPECT_EQ(got, (std::vector<uint8_t>{0, 0, 0, 100, 0, 0, 0, 101}));
  StderrCapture capture;
  EXPECT_EQ(read(tc, t + 4, 8, &got), kMTSErrFileChanged);  // no time code at t + 8
  EXPECT_EQ(read(tc, t + 2, 4, &got), kMTSErrFileChanged);
}

// A failure the store meets is said in words the tool can pass on: what
// happened and what to do.
TEST_F(StreamRead, FailuresSayWhatHappened) {
  const std::vector<uint8_t> bytes = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  ASSERT_FALSE(bytes.empty());
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/said_" + std::to_string(getpid()) + ".m2ts";
  std::vector<uint8_t> got;
  StderrCapture capture;

  // The frame index cut short by another process under a reader.
  write_file(path, bytes);
  ASSERT_TRUE(reimport(path));
  ComponentInstance dh = open_handler(kAvchdDataRefVideo);
  const Sample first = *of_kind(kAvchdDataRefVideo).front();  // the same in both imports
  ASSERT_EQ(read(dh, first.qt_offset, first.size, &got), noErr);
  int fd = shm_open(shmtest::region_name(static_cast<int32_t>(id_)).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  close(fd);
  EXPECT_EQ(read(dh, first.qt_offset + 1, 16, &got), kMTSErrNotFound);
  const char* said = MTS_Problem(kMTSErrNotFound);
  ASSERT_NE(said, nullptr);
  EXPECT_NE(std::string(said).find("frame index of this import (shared memory) was cut short by another process"),
            std::string::npos)
      << said;

  // The recording written over after its import.
  ASSERT_TRUE(reimport(path));
  dh = open_handler(kAvchdDataRefVideo);
  ASSERT_EQ(read(dh, first.qt_offset, first.size, &got), noErr);
  std::vector<uint8_t> other = bytes;
  other[other.size() / 2] ^= 0x5A;
  write_file(path, other);
  EXPECT_EQ(read(dh, first.qt_offset, first.size, &got), kMTSErrFileChanged);
  said = MTS_Problem(kMTSErrFileChanged);
  ASSERT_NE(said, nullptr);
  EXPECT_NE(std::string(said).find("the recording " + path + " changed after it was imported"), std::string::npos)
      << said;
  capture.text();
  std::remove(path.c_str());
}

