// The data handler component: selector table, standard calls, data
// references, timecode reads and failures, and the start-code conversion.
#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MacMemory.h"
#include "shm_test_util.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace {

using testsupport::StderrCapture;

// ---------------------------------------------------------------------------
// MTS_copy_buffer

std::vector<uint8_t> convert(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(2 * in.size() + 8, 0xEE);
  int n = MTS_copy_buffer(out.data(), in.data(), static_cast<int>(in.size()));
  EXPECT_LE(n, static_cast<int>(2 * in.size()));
  for (size_t i = static_cast<size_t>(n); i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past its result";
  out.resize(static_cast<size_t>(n));
  return out;
}

// The conversion rule written out byte by byte, as plainly as possible.
std::vector<uint8_t> convert_reference(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  long unit = -1;
  bool copying = false;
  auto close = [&] {
    if (unit >= 0) {
      uint32_t n = static_cast<uint32_t>(out.size() - static_cast<size_t>(unit) - 4);
      out[unit] = uint8_t(n >> 24);
      out[unit + 1] = uint8_t(n >> 16);
      out[unit + 2] = uint8_t(n >> 8);
      out[unit + 3] = uint8_t(n);
    }
    unit = -1;
  };
  size_t i = 0;
  while (in.size() - i >= 4) {
    if (in[i] == 0 && in[i + 1] == 0 && in[i + 2] == 1) {
      int type = in[i + 3] & 0x1F;
      if (type == 1 || type == 5 || type == 6 || type == 7 || type == 8 || type == 9) {
        close();
        unit = static_cast<long>(out.size());
        out.insert(out.end(), {0, 0, 0, 0, in[i + 3]});
        copying = true;
      } else if (type == 3) {
        if (copying) out.insert(out.end(), in.begin() + static_cast<long>(i), in.begin() + static_cast<long>(i) + 4);
      } else {
        close();
        copying = false;
      }
      i += 4;
    } else {
      if (copying) out.push_back(in[i]);
      ++i;
    }
  }
  for (; i < in.size(); ++i)
    if (copying) out.push_back(in[i]);
  close();
  return out;
}

TEST(CopyBuffer, PrefixRules) {
  EXPECT_EQ(convert({0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x67, 0xAA}),
            (std::vector<uint8_t>{0, 0, 0, 3, 0x09, 0xF0, 0x00, 0, 0, 0, 2, 0x67, 0xAA}));  // the 11-byte example
  EXPECT_EQ(MTS_copy_buffer(nullptr, nullptr, 0), 0);
  EXPECT_EQ(MTS_copy_buffer(nullptr, nullptr, -3), 0);
  // Bytes before the first prefix are dropped; the last three bytes are
  // never a prefix.
  EXPECT_EQ(convert({0x11, 0x22, 0x00, 0x00, 0x01, 0x65, 0x88, 0x00, 0x00, 0x01}),
            (std::vector<uint8_t>{0, 0, 0, 5, 0x65, 0x88, 0x00, 0x00, 0x01}));
  EXPECT_TRUE(convert({0x00, 0x00, 0x01}).empty());
  EXPECT_TRUE(convert({0x12, 0x34, 0x56, 0x78, 0x9A}).empty());
  // A type-3 prefix stays inside the running unit; before any unit it is
  // skipped.
  EXPECT_EQ(convert({0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x01, 0x41, 0x77, 0x00, 0x00, 0x01, 0x03, 0x55}),
            (std::vector<uint8_t>{0, 0, 0, 7, 0x41, 0x77, 0x00, 0x00, 0x01, 0x03, 0x55}));
  // Filler (12) and end of sequence (10) units are dropped with their bytes.
  EXPECT_EQ(convert({0x00, 0x00, 0x01, 0x06, 0x05, 0x00, 0x00, 0x01, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x68,
                     0xCE, 0x00, 0x00, 0x01, 0x0A, 0x44}),
            (std::vector<uint8_t>{0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 2, 0x68, 0xCE}));
}

TEST(CopyBuffer, MatchesTheByteRuleOnRandomStreams) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> in(rng() % 300);
    // Mostly zeros and ones, so prefixes of every type turn up often.
    for (uint8_t& b : in) {
      unsigned r = rng() % 8;
      b = r < 3 ? 0 : r < 5 ? 1 : static_cast<uint8_t>(rng());
    }
    ASSERT_EQ(convert(in), convert_reference(in)) << "round " << round;
  }
}

// ---------------------------------------------------------------------------
// The component

class DataHandler : public shmtest::ShmTest {
 protected:
  void SetUp() override {
    ShmTest::SetUp();
    MTS_DataHRegister();
  }

  ComponentInstance open() {
    ComponentInstance ci = nullptr;
    EXPECT_EQ(OpenADefaultComponent(kDataHandlerComponentType, kMTSComponentSubType, &ci), noErr);
    return ci;
  }

  static MTS_DataHGlobalsRecord* globals(ComponentInstance ci) {
    return reinterpret_cast<MTS_DataHGlobalsRecord*>(GetComponentInstanceStorage(ci));
  }

  // A record as an importer leaves it, with `path` as the file.
  void make_record(const char* path, int32_t capacity = 64) {
    struct stat st;
    int64_t size = stat(path, &st) == 0 ? st.st_size : 1000;
    ASSERT_EQ(MTS_CreateAvchdDataRecord(&id_, &dir_, &rec_, size, capacity, shmtest::path_from_string,
                                        const_cast<char*>(path)),
              0);
  }
  void release_record() {
    if (rec_ != nullptr) MTS_ReleaseOneAvchdDataRecord(dir_, rec_, static_cast<int32_t>(id_));
    rec_ = nullptr;
  }
  void TearDown() override {
    release_record();
    ShmTest::TearDown();
  }

  static Handle data_ref(uint32_t id, uint32_t type) {
    AvchdDataRef ref{id, type};
    Handle h = nullptr;
    EXPECT_EQ(PtrToHand(&ref, &h, Size(sizeof ref)), noErr);
    return h;
  }

  uint32_t id_ = 0;
  AvchdRecordDirectory* dir_ = nullptr;
  AvchdDataRecord* rec_ = nullptr;
};

struct Completion {
  static int calls;
  static OSErr err;
  static RefCon refCon;
  static void routine(Ptr, RefCon r, OSErr e) {
    ++calls;
    err = e;
    refCon = r;
  }
  static void reset() {
    calls = 0;
    err = 1;
    refCon = 0;
  }
};
int Completion::calls = 0;
OSErr Completion::err = 1;
RefCon Completion::refCon = 0;

TEST_F(DataHandler, SelectorTable) {
  // Every selector with a row of its own, by how it is answered.
  const std::set<int> own = {-6, -5, -4, -3, -2, -1, 10, 11, 12, 14, 19, 46};
  const std::set<int> nothing = {8, 9, 13, 15};
  std::set<int> unimplemented = {0, 1, 7, 56, 57, 63, 74, 75, 76, 77, 128, 129, 130, 143};
  for (int s = 132; s <= 141; ++s) unimplemented.insert(s);

  ComponentInstance dh = open();
  ASSERT_NE(dh, nullptr);
  ComponentInstance ptr = nullptr;
  ASSERT_EQ(OpenADefaultComponent(kDataHandlerComponentType, kPointerDataHandlerSubType, &ptr), noErr);

  for (int s = -12; s <= 400; ++s) {
    SInt16 sel = static_cast<SInt16>(s);
    ComponentResult canDo = CallComponentCanDo(dh, sel);
    if (own.count(s) || nothing.count(s)) {
      EXPECT_EQ(canDo, 1) << s;
    } else {
      EXPECT_EQ(canDo, CallComponentCanDo(ptr, sel)) << s;  // the delegate answers
    }
    if (unimplemented.count(s)) {
      EXPECT_EQ(CallComponentSelector(dh, sel), badComponentSelector) << s;
    }
    if (nothing.count(s)) {
      EXPECT_EQ(CallComponentSelector(dh, sel), noErr) << s;
    }
  }
  EXPECT_EQ(CallComponentVersion(dh), 0x10000);
  EXPECT_EQ(CallComponentTarget(dh, ptr), noErr);
  EXPECT_EQ(globals(dh)->target, ptr);

  // Delegated: the pointer data handler answers, and 300 is outside every table.
  SInt32 size1 = 7, size2 = 7;
  EXPECT_EQ(CallComponentSelector(dh, kDataHGetFileSizeSelect, &size1),
            CallComponentSelector(ptr, kDataHGetFileSizeSelect, &size2));
  EXPECT_EQ(size1, size2);
  EXPECT_EQ(CallComponentSelector(dh, SInt16(300)), CallComponentSelector(ptr, SInt16(300)));
  EXPECT_EQ(CloseComponent(ptr), noErr);
  EXPECT_EQ(CloseComponent(dh), noErr);
}

TEST_F(DataHandler, DataReferences) {
  ComponentInstance dh = open();
  // Reads before a data reference fail, without completion.
  char buffer[4];
  wide offset = 0;
  Completion::reset();
  EXPECT_EQ(DataHScheduleData64(dh, buffer, &offset, 4, 0, nullptr, Completion::routine), paramErr);
  EXPECT_EQ(DataHScheduleData(dh, buffer, 0, 4, 0, nullptr, Completion::routine), paramErr);
  EXPECT_EQ(Completion::calls, 0);
  Boolean equal = 7;
  Handle a = data_ref(3, kAvchdDataRefVideo);
  EXPECT_EQ(DataHCompareDataRef(dh, a, &equal), -1);  // nothing kept yet
  EXPECT_EQ(equal, 0);
  SInt32 flags = 0;
  EXPECT_EQ(DataHCanUseDataRef(dh, a, &flags), noErr);
  EXPECT_EQ(flags, 3);

  // No directory exists: the data handler does not create one.
  StderrCapture capture;
  EXPECT_EQ(DataHSetDataRef(dh, a), kMTSErrOpen);
  EXPECT_NE(capture.text().find("MTS_DataHSetDataRef:("), std::string::npos);
  EXPECT_TRUE(shmtest::existing_regions().empty());
  Handle kept = nullptr;
  EXPECT_EQ(DataHGetDataRef(dh, &kept), noErr);
  EXPECT_EQ(kept, a);  // the caller's handle itself

  Handle same = data_ref(3, kAvchdDataRefVideo);
  Handle otherType = data_ref(3, kAvchdDataRefSound);
  Handle otherId = data_ref(4, kAvchdDataRefVideo);
  EXPECT_EQ(DataHCompareDataRef(dh, same, &equal), noErr);
  EXPECT_EQ(equal, 1);
  EXPECT_EQ(DataHCompareDataRef(dh, otherType, &equal), noErr);
  EXPECT_EQ(equal, 0);
  EXPECT_EQ(DataHCompareDataRef(dh, otherId, &equal), noErr);
  EXPECT_EQ(equal, 0);
  Handle shortRef = NewHandle(4);
  std::memset(*shortRef, 0, 4);
  EXPECT_EQ(DataHCompareDataRef(dh, shortRef, &equal), noErr);
  EXPECT_EQ(equal, 0);
  EXPECT_EQ(CloseComponent(dh), noErr);
  for (Handle h : {a, same, otherType, otherId, shortRef}) DisposeHandle(h);
}

TEST_F(DataHandler, SetDataRefFailures) {
  make_record("/nonexistent/dir/00000.MTS");
  StderrCapture capture;

  // Record id 1000: refused, the lock free afterwards.
  ComponentInstance dh = open();
  Handle bad = data_ref(1000, kAvchdDataRefVideo);
  EXPECT_EQ(DataHSetDataRef(dh, bad), paramErr);
  EXPECT_EQ(dir_->lock, 0);
  EXPECT_EQ(CloseComponent(dh), noErr);

  // A handle too short to be a data reference.
  dh = open();
  Handle shortRef = NewHandle(4);
  std::memset(*shortRef, 0, 4);
  EXPECT_EQ(DataHSetDataRef(dh, shortRef), paramErr);
  EXPECT_EQ(CloseComponent(dh), noErr);

  // The file cannot be opened: the read fails cleanly; the reference taken
  // goes back at Close.
  dh = open();
  Handle ref = data_ref(id_, kAvchdDataRefVideo);
  EXPECT_EQ(DataHSetDataRef(dh, ref), kMTSErrOpen);
  EXPECT_EQ(dir_->lock, 0);
  EXPECT_EQ(dir_->refCount[id_], 2u);
  ASSERT_EQ(MTS_PutFrameOffset(dir_, rec_, 0, 0), 0);
  char buffer[16];
  wide offset = 0;
  Completion::reset();
  EXPECT_EQ(DataHScheduleData64(dh, buffer, &offset, 16, 0, nullptr, Completion::routine), kMTSErrOpen);
  EXPECT_EQ(Completion::calls, 0);
  EXPECT_EQ(CloseComponent(dh), noErr);
  EXPECT_EQ(dir_->refCount[id_], 1u);

  // A path without its terminator.
  std::memset(rec_->path, 'x', sizeof rec_->path);
  dh = open();
  EXPECT_EQ(DataHSetDataRef(dh, ref), paramErr);
  EXPECT_EQ(dir_->lock, 0);
  EXPECT_EQ(CloseComponent(dh), noErr);
  EXPECT_EQ(dir_->refCount[id_], 1u);

  std::string log = capture.text();
  EXPECT_NE(log.find("[ERR]NO pARec="), std::string::npos);
  EXPECT_NE(log.find("[ERR]failed to MTS_GetAvchdDataRecordByID(store->recordID=1000). err=-50\n"),
            std::string::npos);
  EXPECT_NE(log.find("[ERR]failed to open(/nonexistent/dir/00000.MTS). errno=2\n"), std::string::npos);
  for (Handle h : {bad, shortRef, ref}) DisposeHandle(h);
}

TEST_F(DataHandler, SecondDataReferenceKeepsTheFirstRecord) {
  make_record("/dev/null");
  ComponentInstance dh = open();
  Handle first = data_ref(id_, kAvchdDataRefTimecode);
  Handle second = data_ref(id_ + 5, kAvchdDataRefVideo);
  ASSERT_EQ(DataHSetDataRef(dh, first), noErr);
  EXPECT_EQ(DataHSetDataRef(dh, second), noErr);
  Handle kept = nullptr;
  DataHGetDataRef(dh, &kept);
  EXPECT_EQ(kept, second);
  EXPECT_EQ(globals(dh)->type, static_cast<UInt32>(kAvchdDataRefTimecode));
  EXPECT_EQ(globals(dh)->recordID, id_);
  EXPECT_EQ(dir_->refCount[id_], 2u);
  EXPECT_EQ(CloseComponent(dh), noErr);
  EXPECT_EQ(dir_->refCount[id_], 1u);
  DisposeHandle(first);
  DisposeHandle(second);
}

TEST_F(DataHandler, TimecodeReads) {
  make_record("/dev/null");
  // Timecode samples of 4 bytes at 0x80000000 and on, frame numbers 1000 on.
  const int64_t base = 0x80000000LL;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(MTS_PutFrameOffset(dir_, rec_, base + 4 * i, 1000 + i), 0);
  ComponentInstance dh = open();
  Handle ref = data_ref(id_, kAvchdDataRefTimecode);
  ASSERT_EQ(DataHSetDataRef(dh, ref), noErr);

  uint8_t out[12];
  std::memset(out, 0xEE, sizeof out);
  wide offset = base;
  Completion::reset();
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(out), &offset, 8, 42, nullptr, Completion::routine), noErr);
  EXPECT_EQ(Completion::calls, 1);
  EXPECT_EQ(Completion::err, noErr);
  EXPECT_EQ(Completion::refCon, 42);
  const uint8_t two[8] = {0, 0, 0x03, 0xE8, 0, 0, 0x03, 0xE9};
  EXPECT_EQ(std::memcmp(out, two, 8), 0);
  EXPECT_EQ(out[8], 0xEE);

  // The 32-bit call takes its offset as unsigned: 0x80000008 is not negative.
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(DataHScheduleData(dh, reinterpret_cast<Ptr>(out), SInt32(0x80000008u), 4, 0, nullptr, nullptr), noErr);
  const uint8_t third[4] = {0, 0, 0x03, 0xEA};
  EXPECT_EQ(std::memcmp(out, third, 4), 0);

  // Six bytes: the second word is cut to what fits, and the log says so.
  std::memset(out, 0xEE, sizeof out);
  StderrCapture capture;
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(out), &offset, 6, 0, nullptr, Completion::routine), noErr);
  EXPECT_NE(capture.text().find("[ERR]Data Size Bigger than DataSize=6, qtTmp_offset=8\n"), std::string::npos);
  EXPECT_EQ(std::memcmp(out, two, 6), 0);
  EXPECT_EQ(out[6], 0xEE);
  EXPECT_EQ(Completion::calls, 2);

  // Size 0: nothing written, completed.
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(out), &offset, 0, 0, nullptr, Completion::routine), noErr);
  EXPECT_EQ(Completion::calls, 3);
  EXPECT_EQ(CloseComponent(dh), noErr);
  DisposeHandle(ref);
}

TEST_F(DataHandler, LookupFailuresAndOtherTypes) {
  make_record("/dev/null");
  ComponentInstance dh = open();
  Handle ref = data_ref(id_, kAvchdDataRefTimecode);
  ASSERT_EQ(DataHSetDataRef(dh, ref), noErr);
  uint8_t out[4];
  wide offset = 0;
  Completion::reset();
  StderrCapture capture;
  // An empty index serves nothing.
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(out), &offset, 4, 0, nullptr, Completion::routine),
            kMTSErrNotFound);
  EXPECT_NE(capture.text().find("[ERR]failed to MTS_GetFrameOffset ofs64=0 dataSize=4\n"), std::string::npos);
  EXPECT_EQ(Completion::calls, 0);
  EXPECT_EQ(CloseComponent(dh), noErr);

  // A type that is neither sound, video nor timecode delivers nothing.
  ASSERT_EQ(MTS_PutFrameOffset(dir_, rec_, 0, 5), 0);
  dh = open();
  Handle odd = data_ref(id_, 9);
  ASSERT_EQ(DataHSetDataRef(dh, odd), noErr);
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(out), &offset, 4, 0, nullptr, Completion::routine), noErr);
  EXPECT_EQ(Completion::calls, 1);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(CloseComponent(dh), noErr);
  DisposeHandle(ref);
  DisposeHandle(odd);
}

TEST_F(DataHandler, NextFrameOffset) {
  make_record("/dev/null");
  for (int64_t k : {0, 10, 20}) ASSERT_EQ(MTS_PutFrameOffset(dir_, rec_, k, k + 1), 0);
  ComponentInstance dh = open();
  Handle ref = data_ref(id_, kAvchdDataRefVideo);
  ASSERT_EQ(DataHSetDataRef(dh, ref), noErr);
  FrameOffsetEntry e;
  EXPECT_EQ(MTS_GetNextFrameOffset(globals(dh), globals(dh)->pRec, 0, &e), 0);
  EXPECT_EQ(int64_t(e.qt_offset), 10);
  EXPECT_EQ(MTS_GetNextFrameOffset(globals(dh), globals(dh)->pRec, 15, &e), 0);
  EXPECT_EQ(int64_t(e.qt_offset), 20);
  StderrCapture capture;
  EXPECT_EQ(MTS_GetNextFrameOffset(globals(dh), globals(dh)->pRec, 25, &e), 0);
  EXPECT_NE(capture.text().find(", type=2, qt_offset=25\n"), std::string::npos);
  EXPECT_EQ(int64_t(e.qt_offset), 20);  // unchanged
  EXPECT_EQ(CloseComponent(dh), noErr);
  DisposeHandle(ref);
}

}  // namespace
