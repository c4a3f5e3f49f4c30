// The shared-memory record store: claiming and releasing records, the limits,
// the frame index and its lookups, and the store seen from several processes.
#include "MTS_Log.h"
#include "MTS_SharedMemory.h"
#include "shm_test_util.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

using shmtest::existing_regions;
using shmtest::peek_directory;
using shmtest::Peer;
using testsupport::StderrCapture;

char kPath[] = "/media/card/PRIVATE/AVCHD/BDMV/STREAM/00001.MTS";

// One record as an importer holds it.
struct Held {
  uint32_t id = 0;
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  void release() {
    ASSERT_EQ(MTS_ReleaseOneAvchdDataRecord(dir, rec, static_cast<int32_t>(id)), 0);
    dir = nullptr;
    rec = nullptr;
  }
};

int create(Held* h, int32_t capacity, int64_t fileSize = 1000) {
  return MTS_CreateAvchdDataRecord(&h->id, &h->dir, &h->rec, fileSize, capacity,
                                   shmtest::path_from_string, kPath);
}

// One record as a data handler maps it: by id, under the lock.
int map_by_id(Held* h, int32_t id) {
  int err = MTS_MapAndLockAvchdRecordDirectory(&h->dir, "test");
  if (err != 0) return err;
  err = MTS_GetAvchdDataRecordByID(h->dir, &h->rec, id);
  MTS_LockUnlock(&h->dir->lock);
  if (err != 0) MTS_UnmapAvchdRecordDirectory(h->dir);
  h->id = static_cast<uint32_t>(id);
  return err;
}

struct Found {
  int result;
  bool exact;
  int64_t key;  // of the entry found
  int64_t value;
};

Found find(const Held& h, int64_t key, int32_t* hint, bool next = false) {
  FrameOffsetEntry e;
  e.qt_offset = -99;
  e.value = -99;
  Found f{};
  f.result = MTS_FindFrameOffset(h.dir, h.rec, hint, key, &e, &f.exact, next);
  f.key = e.qt_offset;
  f.value = e.value;
  return f;
}

using RecordStore = shmtest::ShmTest;

TEST(FrameIndexHash, HomeSlotAndProbe) {
  EXPECT_EQ(MTS_HashTable_Hash(3, 6), 0);
  EXPECT_EQ(MTS_HashTable_Hash(7, 15), 1);
  EXPECT_EQ(MTS_HashTable_Hash(1000, 0x123456789LL), static_cast<int>(0x123456789LL % 1000));
  EXPECT_EQ(MTS_HashTable_ReHash(3, 2), 0);
  EXPECT_EQ(MTS_HashTable_ReHash(3, 0), 1);
  EXPECT_EQ(MTS_HashTable_Hash(0, 5), -1);  // no table, no slot
}

TEST_F(RecordStore, CreateFillsRecordAndDirectory) {
  Held h;
  ASSERT_EQ(create(&h, 10, 987654321), 0);
  EXPECT_EQ(h.id, 0u);
  EXPECT_EQ(h.rec->fileSize, 987654321);
  EXPECT_STREQ(h.rec->path, kPath);
  EXPECT_EQ(h.rec->capacity, 10);
  EXPECT_EQ(h.rec->head, -1);
  EXPECT_EQ(h.rec->tail, 0u);
  EXPECT_EQ(MTS_MappedCapacity(h.rec), 10);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(h.rec);
  for (size_t i = kMTSRecordHeaderSize; i < kMTSRecordHeaderSize + 200u; ++i) ASSERT_EQ(bytes[i], 0xFF);
  // Behind the header's check: no entries, no file identity (no file at kPath).
  for (size_t i = kMTSRecordHeaderSize + 204u; i < MTS_RecordRegionSize(10); ++i) ASSERT_EQ(bytes[i], 0);

  auto dir = peek_directory();
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->recordsInUse, 1u);
  EXPECT_EQ(dir->refCount[0], 1u);
  EXPECT_EQ(dir->lock, 0);
  EXPECT_EQ(existing_regions().size(), 2u);
  h.release();
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, LowestFreeIdWinsAndDirectoryIsRecreated) {
  Held a, b, c;
  ASSERT_EQ(create(&a, 4), 0);
  ASSERT_EQ(create(&b, 4), 0);
  EXPECT_EQ(a.id, 0u);
  EXPECT_EQ(b.id, 1u);
  a.release();
  ASSERT_EQ(create(&c, 4), 0);
  EXPECT_EQ(c.id, 0u);
  EXPECT_EQ(peek_directory()->recordsInUse, 2u);
  b.release();
  c.release();
  EXPECT_TRUE(existing_regions().empty());
  EXPECT_FALSE(peek_directory());

  // After the last release a new import starts a new, empty directory.
  Held d;
  ASSERT_EQ(create(&d, 4), 0);
  EXPECT_EQ(d.id, 0u);
  EXPECT_EQ(peek_directory()->recordsInUse, 1u);
  d.release();
}

TEST_F(RecordStore, ThousandAndFirstRecordIsRefused) {
  // Each mapping keeps its descriptor: 2000 of them.
  struct rlimit files;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_cur < 2100 && files.rlim_max >= 2100) {
    files.rlim_cur = 2100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  if (files.rlim_cur < 2100) GTEST_SKIP() << "needs 2100 open files";
  std::vector<Held> held(kMTSRecordCount);
  for (int i = 0; i < kMTSRecordCount; ++i) {
    ASSERT_EQ(create(&held[i], 1), 0) << i;
    ASSERT_EQ(held[i].id, static_cast<uint32_t>(i));
  }
  Held extra;
  StderrCapture capture;
  EXPECT_EQ(create(&extra, 1), kMTSErrNoFreeId);
  std::string log = capture.text();
  EXPECT_NE(log.find("MTS_GetOneAvchdDataRecord:("), std::string::npos) << log;
  EXPECT_NE(log.find(")[ERR]All table FULL\n"), std::string::npos) << log;
  EXPECT_NE(log.find(")[ERR]failed to MTS_GetOneAvchdDataRecord: err=-42.\n"), std::string::npos);
  EXPECT_EQ(extra.dir, nullptr);
  EXPECT_EQ(peek_directory()->recordsInUse, static_cast<uint32_t>(kMTSRecordCount));
  EXPECT_EQ(peek_directory()->lock, 0);

  // One id given back is taken again.
  held[500].release();
  ASSERT_EQ(create(&extra, 1), 0);
  EXPECT_EQ(extra.id, 500u);
  held[500] = extra;
  for (Held& h : held) h.release();
  EXPECT_TRUE(existing_regions().empty());
}

// The claim on its own, under the lock a caller takes: a record whose index
// may grow to the limit given, and one that keeps its capacity.
TEST_F(RecordStore, ClaimedRecordGrowsUpToItsLimit) {
  Held first;
  ASSERT_EQ(create(&first, 4), 0);
  AvchdRecordDirectory* dir = nullptr;
  ASSERT_EQ(MTS_MapAndLockAvchdRecordDirectory(&dir, "test"), 0);
  AvchdDataRecord* growing = nullptr;
  AvchdDataRecord* fixed = nullptr;
  uint32_t growingId = 0, fixedId = 0;
  EXPECT_EQ(MTS_GetOneAvchdDataRecord(dir, &growing, &growingId, 4, 64), 0);
  EXPECT_EQ(MTS_GetOneAvchdDataRecord(dir, &fixed, &fixedId, 4), 0);
  MTS_LockUnlock(&dir->lock);
  ASSERT_NE(growing, nullptr);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(growingId, 1u);
  EXPECT_EQ(fixedId, 2u);
  EXPECT_EQ(MTS_FrameIndexLimit(growing), 64);
  EXPECT_EQ(MTS_FrameIndexLimit(fixed), 4);
  for (int64_t i = 0; i < 20; ++i) ASSERT_EQ(MTS_PutFrameOffset(dir, growing, i * 10, i), 0) << i;
  EXPECT_GT(MTS_MappedCapacity(growing), 20);
  for (int64_t i = 0; i < 4; ++i) ASSERT_EQ(MTS_PutFrameOffset(dir, fixed, i * 10, i), 0) << i;
  EXPECT_EQ(MTS_PutFrameOffset(dir, fixed, 40, 4), kMTSErrTableFull);
  int32_t hint = -1;
  Held g{growingId, dir, growing};
  for (int64_t i = 0; i < 20; ++i) EXPECT_EQ(find(g, i * 10 + 3, &hint).value, i) << i;
  // A release unmaps the directory it is given: the second record's own.
  Held f{fixedId, nullptr, fixed};
  ASSERT_EQ(MTS_MapAndLockAvchdRecordDirectory(&f.dir, "test"), 0);
  MTS_LockUnlock(&f.dir->lock);
  f.release();
  g.release();
  first.release();
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, FailedCreationLeavesNothingBehind) {
  // The host gives no path: the claimed id is given back, and the directory
  // this call created goes too.
  auto failing = [](void*, char*, size_t) { return -2000; };
  Held h;
  StderrCapture capture;
  EXPECT_EQ(MTS_CreateAvchdDataRecord(&h.id, &h.dir, &h.rec, 1, 8, failing, nullptr), -2000);
  EXPECT_EQ(create(&h, 0), kMTSErrParam);
  EXPECT_EQ(create(&h, -5), kMTSErrParam);
  capture.text();
  EXPECT_EQ(h.dir, nullptr);
  EXPECT_TRUE(existing_regions().empty());

  // With another record alive the directory stays, its count unchanged.
  Held alive;
  ASSERT_EQ(create(&alive, 8), 0);
  EXPECT_EQ(MTS_CreateAvchdDataRecord(&h.id, &h.dir, &h.rec, 1, 8, failing, nullptr), -2000);
  EXPECT_EQ(peek_directory()->recordsInUse, 1u);
  EXPECT_EQ(peek_directory()->refCount[1], 0u);
  alive.release();
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, ReferencesFollowEveryUser) {
  Held importer, handler1, handler2;
  ASSERT_EQ(create(&importer, 16), 0);
  ASSERT_EQ(map_by_id(&handler1, 0), 0);
  ASSERT_EQ(map_by_id(&handler2, 0), 0);
  EXPECT_EQ(peek_directory()->refCount[0], 3u);
  EXPECT_EQ(MTS_PutFrameOffset(importer.dir, importer.rec, 0, 77), 0);
  int32_t hint = -1;
  EXPECT_EQ(find(handler1, 0, &hint).value, 77);

  // The importer goes first: both regions stay for the data handlers.
  importer.release();
  EXPECT_EQ(peek_directory()->refCount[0], 2u);
  EXPECT_EQ(peek_directory()->recordsInUse, 1u);
  EXPECT_EQ(find(handler2, 0, &hint).value, 77);
  handler1.release();
  EXPECT_EQ(peek_directory()->refCount[0], 1u);
  handler2.release();
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, BadIdsAndArguments) {
  Held h;
  ASSERT_EQ(create(&h, 4), 0);
  AvchdDataRecord* rec = nullptr;
  StderrCapture capture;
  EXPECT_EQ(MTS_GetAvchdDataRecordByID(h.dir, &rec, 1000), kMTSErrParam);
  EXPECT_EQ(MTS_GetAvchdDataRecordByID(h.dir, &rec, -1), kMTSErrParam);
  EXPECT_EQ(MTS_GetAvchdDataRecordByID(nullptr, &rec, 0), kMTSErrParam);
  EXPECT_EQ(MTS_GetAvchdDataRecordByID(h.dir, &rec, 1), kMTSErrParam);  // not claimed
  EXPECT_EQ(MTS_ReleaseOneAvchdDataRecord(h.dir, h.rec, 1000), 1);
  EXPECT_EQ(MTS_ReleaseOneAvchdDataRecord(h.dir, nullptr, 0), 1);
  EXPECT_EQ(MTS_ReleaseOneAvchdDataRecord(nullptr, h.rec, 0), 1);
  std::string log = capture.text();
  EXPECT_NE(log.find("[ERR]NO pARec=(nil) or Illegal recordID=0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[ERR]Uninitialized AvchdDataRecord\n"), std::string::npos);
  EXPECT_NE(log.find("[ERR]NO pARec=" ), std::string::npos);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(peek_directory()->refCount[0], 1u);  // nothing changed
  EXPECT_EQ(peek_directory()->recordsInUse, 1u);
  h.release();
}

TEST_F(RecordStore, DataHandlerNeverCreatesTheDirectory) {
  AvchdRecordDirectory* dir = nullptr;
  StderrCapture capture;
  EXPECT_EQ(MTS_MapAndLockAvchdRecordDirectory(&dir, "MTS_DataHSetDataRef"), kMTSErrOpen);
  EXPECT_NE(capture.text().find("MTS_DataHSetDataRef:("), std::string::npos);
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, WaitsForTheCreatorToSizeTheDirectory) {
  // A creator has made the name but not sized it yet: opening must wait
  // instead of touching a region of 0 bytes.
  int fd = shm_open(shmtest::region_name(-1).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  std::thread creator([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(ftruncate(fd, kMTSDirectorySize), 0);
  });
  Held h;
  EXPECT_EQ(create(&h, 4), 0);
  creator.join();
  close(fd);
  EXPECT_EQ(h.id, 0u);
  h.release();
}

TEST_F(RecordStore, RepairsADirectoryNeverSized) {
  // Its creator died between creating and sizing it: it is sized now, not
  // refused for good.
  int fd = shm_open(shmtest::region_name(-1).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  Held h;
  ASSERT_EQ(create(&h, 4), 0);
  EXPECT_EQ(h.id, 0u);
  EXPECT_EQ(peek_directory()->recordsInUse, 1u);
  h.release();
  EXPECT_TRUE(existing_regions().empty());
}

// Starts a second import in a thread of its own while the test holds the
// directory's lock, and gives it the time to open the directory and wait for
// the lock: its result and what its failure said come in `*result` and
// `*words` once the thread is joined.
std::thread claim_meanwhile(Held* second, std::atomic<int>* result, std::string* words) {
  std::thread importer([=] {
    *result = create(second, 4);
    const char* said = MTS_Problem(*result);
    *words = said ? said : "";
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it opens and spins
  return importer;
}

TEST_F(RecordStore, ClaimNeverLandsInARemovedDirectory) {
  // An importer opens the directory while the last user is removing it. Once
  // it gets the lock the directory has no name any more: it must start over
  // with a new one, not claim into the orphan.
  Held first;
  ASSERT_EQ(create(&first, 4), 0);
  MTS_LockLock(&first.dir->lock);
  Held second;
  std::atomic<int> result{1};
  std::string words;
  std::thread importer = claim_meanwhile(&second, &result, &words);
  // What the last release does under the lock.
  first.dir->refCount[0] = 0;
  first.dir->recordsInUse = 0;
  shm_unlink(shmtest::region_name(0).c_str());
  shm_unlink(shmtest::region_name(-1).c_str());
  MTS_LockUnlock(&first.dir->lock);
  importer.join();
  ASSERT_EQ(result.load(), 0);
  auto dir = peek_directory();
  ASSERT_TRUE(dir);  // the claim is in the directory that has the name
  EXPECT_EQ(dir->recordsInUse, 1u);
  EXPECT_EQ(dir->refCount[second.id], 1u);
  EXPECT_EQ(first.dir->recordsInUse, 0u);  // the orphan got nothing
  second.release();
  munmap(first.rec, MTS_RecordRegionSize(4));
  munmap(first.dir, kMTSDirectorySize);
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, DirectoryShrunkWhileWaitingIsSizedWithWords) {
  // Another process cuts the directory short while an importer waits for its
  // lock, and a file-size limit keeps it from growing back: the importer
  // says why, as when it creates the directory.
  Held first;
  ASSERT_EQ(create(&first, 4), 0);
  MTS_LockLock(&first.dir->lock);
  Held second;
  std::atomic<int> result{0};
  std::string words;
  std::thread importer = claim_meanwhile(&second, &result, &words);
  const int fd = shm_open(shmtest::region_name(-1).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 4000;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_EQ(ftruncate(fd, 100), 0);
  MTS_LockUnlock(&first.dir->lock);
  importer.join();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(result.load(), kMTSErrMap);
  EXPECT_EQ(words, "the file-size limit (ulimit -f) of 4000 bytes is too small for the record store: the record "
                   "store's directory needs a shared-memory region of 4008 bytes; raise the limit, then try again");
  ASSERT_EQ(ftruncate(fd, kMTSDirectorySize), 0);
  close(fd);
  first.release();
}

TEST_F(RecordStore, DirectoryThatCannotBeSizedIsSaidWhateverTheLogMeets) {
  // A file-size limit keeps a new directory from its size. The log names the
  // call that failed; and where the log's own write fails too (standard
  // error on a full device), the words still tell of the limit.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 4000;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  const std::string limitWords = "the file-size limit (ulimit -f) of 4000 bytes is too small for the record store: "
                                 "the record store's directory needs a shared-memory region of 4008 bytes; raise "
                                 "the limit, then try again";
  for (const bool logFails : {false, true}) {
    StderrCapture capture;
    const int full = logFails ? open("/dev/full", O_WRONLY) : -1;
    const int kept = logFails ? dup(STDERR_FILENO) : -1;
    if (logFails) dup2(full, STDERR_FILENO);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Held h;
    const int result = create(&h, 4);
    const char* said = MTS_Problem(result);
    const std::string words = said ? said : "";
    setrlimit(RLIMIT_FSIZE, &saved);
    if (logFails) {
      dup2(kept, STDERR_FILENO);
      close(kept);
      close(full);
    }
    const std::string log = capture.text();
    EXPECT_EQ(result, kMTSErrMap) << logFails;
    EXPECT_EQ(words, limitWords) << logFails;
    if (!logFails) {
      EXPECT_NE(log.find("[ERR]failed to fallocate(fd="), std::string::npos) << log;
    }
    EXPECT_TRUE(existing_regions().empty());
  }
  signal(SIGXFSZ, oldHandler);
}

// ---------------------------------------------------------------------------
// Frame index

TEST_F(RecordStore, PutKeepsFirstValueAndFillsUp) {
  Held h;
  ASSERT_EQ(create(&h, 3), 0);
  FrameOffsetEntry* e = MTS_RecordEntries(h.rec);
  // 0, 3 and 6 all hash to slot 0.
  EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, 0, 100), 0);
  EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, 3, 103), 0);
  EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, 6, 106), 0);
  EXPECT_EQ(int64_t(e[2].qt_offset), 6);
  EXPECT_EQ(int64_t(e[2].value), 106);
  EXPECT_EQ(e[0].next, 1);
  EXPECT_EQ(e[1].next, 2);
  EXPECT_EQ(e[2].next, -1);
  EXPECT_EQ(h.rec->head, 0);
  EXPECT_EQ(h.rec->tail, 2u);
  EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, 3, 999), 0);  // present: kept
  EXPECT_EQ(int64_t(e[1].value), 103);
  EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, 9, 109), kMTSErrTableFull);
  EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, -4, 1), kMTSErrParam);
  StderrCapture capture;
  EXPECT_EQ(MTS_PutFrameOffset(nullptr, h.rec, 1, 1), kMTSErrControl);
  EXPECT_NE(capture.text().find("[ERR]MTS_PutFrameOffset argument error(pARec=NULL)\n"),
            std::string::npos);
  EXPECT_EQ(h.dir->lock, 0);
  h.release();
}

TEST_F(RecordStore, LookupsServeEveryByteOfASample) {
  Held h;
  ASSERT_EQ(create(&h, 13), 0);
  int32_t hint = -1;
  EXPECT_EQ(find(h, 0, &hint).result, kMTSErrNotFound);  // nothing added yet
  // Samples at 100, 250, 400 (sizes 150), then the last at 550.
  for (int64_t key : {100, 250, 400, 550}) ASSERT_EQ(MTS_PutFrameOffset(h.dir, h.rec, key, key * 10), 0);

  Found f = find(h, 250, &hint);
  EXPECT_EQ(f.result, 0);
  EXPECT_TRUE(f.exact);
  EXPECT_EQ(f.value, 2500);
  int32_t slotOf250 = static_cast<int32_t>(250 % 13);
  EXPECT_EQ(hint, slotOf250);

  f = find(h, 300, &hint);  // inside the hinted sample
  EXPECT_FALSE(f.exact);
  EXPECT_EQ(f.key, 250);
  EXPECT_EQ(hint, slotOf250);  // a hint hit leaves the hint

  f = find(h, 120, &hint);  // inside another sample: the walk
  EXPECT_EQ(f.result, 0);
  EXPECT_FALSE(f.exact);
  EXPECT_EQ(f.key, 100);

  EXPECT_EQ(find(h, 560, &hint).key, 550);  // past the last start
  EXPECT_EQ(find(h, 5, &hint).key, 550);    // before the first: the last entry
  EXPECT_FALSE(find(h, 5, &hint).exact);
  EXPECT_EQ(find(h, -7, &hint).key, 550);   // a negative key probes nothing

  // The entry after the one found.
  hint = -1;
  EXPECT_EQ(find(h, 100, &hint, true).key, 250);
  EXPECT_EQ(find(h, 260, &hint, true).key, 400);
  EXPECT_EQ(find(h, 550, &hint, true).result, kMTSErrNotFound);
  EXPECT_EQ(h.dir->lock, 0);
  h.release();
}

TEST_F(RecordStore, AnImportsIndexEndsWhereItsWrittenSamplesEnd) {
  Held h;
  ASSERT_EQ(create(&h, 13), 0);
  int32_t hint = -1;
  // Samples at 0, 150 and 300 added the importer's way; where the one at 300
  // ends is not known yet.
  for (int64_t key : {0, 150, 300}) ASSERT_EQ(MTS_AddFrameOffset(h.dir, h.rec, key, key * 10), 0);
  EXPECT_EQ(find(h, 160, &hint).key, 150);
  EXPECT_EQ(find(h, 300, &hint).result, kMTSErrNotYet);
  EXPECT_EQ(find(h, 310, &hint).result, kMTSErrNotYet);  // never inside the sample at 150
  // The importer says where its samples end: the one at 300 is whole.
  ASSERT_EQ(MTS_WriteFrameOffsets(h.rec, 450), 0);
  Found f = find(h, 300, &hint);
  EXPECT_EQ(f.result, 0);
  EXPECT_EQ(f.value, 3000);
  EXPECT_EQ(find(h, 449, &hint).key, 300);
  EXPECT_EQ(find(h, 450, &hint).result, kMTSErrNotYet);
  EXPECT_EQ(find(h, 100000, &hint).result, kMTSErrNotYet);
  // The next sample takes the end entry's slot and place.
  ASSERT_EQ(MTS_AddFrameOffset(h.dir, h.rec, 450, 4500), 0);
  ASSERT_EQ(MTS_WriteFrameOffsets(h.rec, 600), 0);
  EXPECT_EQ(find(h, 450, &hint).value, 4500);
  EXPECT_EQ(find(h, 599, &hint).key, 450);
  EXPECT_EQ(find(h, 600, &hint).result, kMTSErrNotYet);
  EXPECT_EQ(find(h, 300, &hint, true).key, 450);
  EXPECT_EQ(find(h, 450, &hint, true).result, kMTSErrNotFound);  // the end entry is no next sample
  EXPECT_EQ(h.dir->lock, 0);
  h.release();
}

// Another process changes one byte of an entry the import has written: the
// import's own process finds it before it serves the entry.
TEST_F(RecordStore, AnEntryChangedDuringTheImportIsRefusedInItsProcess) {
  Held h;
  ASSERT_EQ(create(&h, 101), 0);  // keys i*100 take slots (i*100) % 101, one each
  for (int64_t i = 0; i < 40; ++i) ASSERT_EQ(MTS_AddFrameOffset(h.dir, h.rec, i * 100, i), 0);
  ASSERT_EQ(MTS_WriteFrameOffsets(h.rec, 4000), 0);
  const int fd = shm_open(shmtest::region_name(static_cast<int32_t>(h.id)).c_str(), O_RDWR, 0);
  const char changed = 10 ^ 1;  // the value of the entry at key 1000
  ASSERT_EQ(pwrite(fd, &changed, 1, kMTSRecordHeaderSize + 20 * (1000 % 101) + 8), 1);
  close(fd);
  for (int64_t i = 40; i < 60; ++i) ASSERT_EQ(MTS_AddFrameOffset(h.dir, h.rec, i * 100, i), 0);
  ASSERT_EQ(MTS_WriteFrameOffsets(h.rec, 6000), 0);
  StderrCapture capture;
  int32_t hint = -1;
  EXPECT_EQ(find(h, 1000, &hint).result, kMTSErrFileChanged);
  ASSERT_NE(MTS_Problem(kMTSErrFileChanged), nullptr);
  EXPECT_NE(std::string(MTS_Problem(kMTSErrFileChanged)).find("record store"), std::string::npos);
  h.release();
}

// After an import in another process, any one byte of its written entries
// changed: a reader refuses the index (-2000) and serves none of it.
TEST_F(RecordStore, AnyByteOfAWrittenEntryChangedIsRefusedNotServed) {
  constexpr int32_t kCapacity = 61;
  Peer importer(SHM_PEER, {"create", std::to_string(kCapacity), "40", "1000"});
  ASSERT_EQ(importer.read_line(), "id 0");
  const int fd = shm_open(shmtest::region_name(0).c_str(), O_RDWR, 0);
  StderrCapture capture;
  for (int32_t slot = 0; slot < kCapacity; ++slot) {
    const off_t entry = kMTSRecordHeaderSize + 20 * slot;
    int64_t key = -1;
    ASSERT_EQ(pread(fd, &key, sizeof key, entry), 8);
    for (off_t at = entry; key != -1 && at < entry + 20; ++at) {
      unsigned char byte = 0;
      ASSERT_EQ(pread(fd, &byte, 1, at), 1);
      const unsigned char changed = byte ^ 0x10;
      ASSERT_EQ(pwrite(fd, &changed, 1, at), 1);
      Held view;
      ASSERT_EQ(map_by_id(&view, 0), 0);
      int32_t hint = -1;
      EXPECT_EQ(find(view, key, &hint).result, kMTSErrFileChanged) << "byte " << at - entry << " of key " << key;
      view.release();
      ASSERT_EQ(pwrite(fd, &byte, 1, at), 1);
    }
  }
  close(fd);
  Held view;
  ASSERT_EQ(map_by_id(&view, 0), 0);
  int32_t hint = -1;
  EXPECT_EQ(find(view, 39000, &hint).value, 39007);
  view.release();
  importer.write_line("release");
  EXPECT_EQ(importer.wait(), 0);
}

// An index started far too small grows as the importer adds its entries:
// every entry stays found, by the importer and by readers that mapped the
// record before it grew, here and in another process; the region stays
// under twice what its entries take.
TEST_F(RecordStore, AGrowingIndexIsFollowedByEveryReader) {
  Held importer;
  ASSERT_EQ(MTS_CreateAvchdDataRecord(&importer.id, &importer.dir, &importer.rec, 123456789, 4,
                                      shmtest::path_from_string, const_cast<char*>("/tmp/peer-file.m2ts"), true),
            0);
  constexpr int64_t kStride = 100;
  for (int64_t i = 0; i < 3; ++i) ASSERT_EQ(MTS_AddFrameOffset(importer.dir, importer.rec, i * kStride, i * 1000 + 7), 0);
  ASSERT_EQ(MTS_WriteFrameOffsets(importer.rec, 3 * kStride), 0);
  Peer reader(SHM_PEER, {"follow", std::to_string(importer.id), std::to_string(kStride)});
  ASSERT_EQ(reader.read_line(), "mapped");
  reader.write_line("3");
  EXPECT_EQ(reader.read_line(), "ok");
  Held here;
  ASSERT_EQ(map_by_id(&here, static_cast<int32_t>(importer.id)), 0);
  int32_t hint = -1;
  EXPECT_EQ(find(here, 2 * kStride, &hint).value, 2007);
  for (int64_t count : {40, 1000, 5000}) {
    for (int64_t i = 3; i < count; ++i) {
      const int64_t key = i * kStride;
      if (i < 40 || i % 1000 == 0 || key > (count - 3) * kStride) {
        // The ones far apart one at a time, the rest in runs.
        ASSERT_EQ(MTS_PutFrameOffset(importer.dir, importer.rec, key, i * 1000 + 7), 0) << i;
      } else {
        ASSERT_EQ(MTS_AddFrameOffset(importer.dir, importer.rec, key, i * 1000 + 7), 0) << i;
      }
    }
    ASSERT_EQ(MTS_WriteFrameOffsets(importer.rec, count * kStride), 0);
    const int32_t capacity = MTS_MappedCapacity(importer.rec);
    EXPECT_GT(capacity, count);
    EXPECT_LE(capacity, 2 * (count + 2));
    reader.write_line(std::to_string(count));
    EXPECT_EQ(reader.read_line(), "ok") << count;
    for (int64_t i = 0; i < count; i += 7) {
      Found f = find(here, i * kStride + 1, &hint);
      ASSERT_EQ(f.key, i * kStride) << i;
      ASSERT_EQ(f.value, i * 1000 + 7) << i;
    }
  }
  EXPECT_EQ(importer.rec->capacity, MTS_MappedCapacity(importer.rec));
  reader.write_line("end");
  EXPECT_EQ(reader.wait(), 0);
  here.release();
  importer.release();

  // Keys out of order are added entry by entry: the index grows there too.
  ASSERT_EQ(MTS_CreateAvchdDataRecord(&importer.id, &importer.dir, &importer.rec, 123456789, 4,
                                      shmtest::path_from_string, const_cast<char*>("/tmp/peer-file.m2ts"), true),
            0);
  for (int64_t i = 500; i-- > 0;) ASSERT_EQ(MTS_PutFrameOffset(importer.dir, importer.rec, i * kStride, i), 0) << i;
  EXPECT_GT(MTS_MappedCapacity(importer.rec), 500);
  for (int64_t i = 0; i < 500; ++i) ASSERT_EQ(find(importer, i * kStride, &hint).value, i) << i;
  importer.release();
}

TEST_F(RecordStore, DamagedContentsGiveCleanErrors) {
  // Another process writes garbage into a record while we map and walk it: every call must end, without a stray
  // access, in a result from its documented set.
  constexpr int32_t kCapacity = 61;
  Held importer, handler;
  ASSERT_EQ(create(&importer, kCapacity), 0);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(MTS_PutFrameOffset(importer.dir, importer.rec, i * 1000, i), 0);
  ASSERT_EQ(map_by_id(&handler, 0), 0);
  const size_t size = MTS_RecordRegionSize(kCapacity);
  std::vector<unsigned char> pristine(size);
  std::memcpy(pristine.data(), importer.rec, size);
  unsigned char* bytes = reinterpret_cast<unsigned char*>(importer.rec);

  std::mt19937 rng(20261206);
  auto garbage32 = [&]() -> uint32_t {
    switch (rng() % 6) {
      case 0: return 0;
      case 1: return 0xFFFFFFFFu;
      case 2: return 0x80000000u;
      case 3: return rng() % (kCapacity + 3);
      case 4: return static_cast<uint32_t>(kCapacity);
      default: return static_cast<uint32_t>(rng());
    }
  };
  StderrCapture capture;
  for (int round = 0; round < 3000; ++round) {
    std::memcpy(bytes, pristine.data(), size);
    int writes = 1 + static_cast<int>(rng() % 8);
    for (int w = 0; w < writes; ++w) {
      // Aim at the fields walks read (capacity, head, tail, keys, links),
      // and sometimes at any byte.
      size_t at;
      switch (rng() % 4) {
        case 0: at = 1032 + 4 * (rng() % 3); break;
        case 1: at = kMTSRecordHeaderSize + 20 * (rng() % kCapacity) + 16; break;
        case 2: at = kMTSRecordHeaderSize + 20 * (rng() % kCapacity) + 4 * (rng() % 2); break;
        default: at = rng() % (size - 4); break;
      }
      uint32_t v = garbage32();
      std::memcpy(bytes + at, &v, 4);
    }
    int32_t hint = static_cast<int32_t>(garbage32());
    int64_t key = static_cast<int64_t>(rng() % 45000) - 100;
    Found f = find(handler, key, &hint, rng() % 2 == 0);
    ASSERT_TRUE(f.result == 0 || f.result == kMTSErrNotFound || f.result == kMTSErrFileChanged) << round;
    int put = MTS_PutFrameOffset(handler.dir, handler.rec, static_cast<int64_t>(rng() % 90000) - 10, 1);
    ASSERT_TRUE(put == 0 || put == kMTSErrTableFull || put == kMTSErrParam) << round;

    // Mapping anew reads the damaged capacity.
    Held view;
    int mapped = map_by_id(&view, 0);
    if (mapped == 0) {
      ASSERT_EQ(MTS_MappedCapacity(view.rec), importer.rec->capacity);
      int32_t viewHint = -1;
      Found g = find(view, key, &viewHint);
      ASSERT_TRUE(g.result == 0 || g.result == kMTSErrNotFound || g.result == kMTSErrFileChanged);
      view.release();
    } else {
      ASSERT_EQ(mapped, kMTSErrParam) << round;
    }
    ASSERT_EQ(handler.dir->lock, 0);
  }
  capture.text();
  std::memcpy(bytes, pristine.data(), size);
  handler.release();
  importer.release();
  EXPECT_TRUE(existing_regions().empty());
}

// ---------------------------------------------------------------------------
// Several processes

TEST_F(RecordStore, SecondProcessMapsByIdAndLooksUp) {
  Peer a(SHM_PEER, {"create", "400", "300", "1000"});
  ASSERT_TRUE(a.started());
  std::string line = a.read_line();
  ASSERT_EQ(line, "id 0");
  EXPECT_EQ(peek_directory()->refCount[0], 1u);

  Peer b(SHM_PEER, {"lookup", "0", "300", "1000"});
  ASSERT_EQ(b.read_line(), "mapped");
  EXPECT_EQ(peek_directory()->refCount[0], 2u);
  EXPECT_EQ(peek_directory()->recordsInUse, 1u);

  // A in-process user as well.
  Held c;
  ASSERT_EQ(map_by_id(&c, 0), 0);
  EXPECT_EQ(peek_directory()->refCount[0], 3u);
  int32_t hint = -1;
  EXPECT_EQ(find(c, 299 * 1000 + 5, &hint).value, 299 * 1000 + 7);

  a.write_line("release");  // the importer goes first
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(peek_directory()->refCount[0], 2u);
  b.write_line("release");
  EXPECT_EQ(b.wait(), 0);
  EXPECT_EQ(peek_directory()->refCount[0], 1u);
  c.release();
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, EightProcessesPutAndLookUpConcurrently) {
  constexpr int kProcs = 8;
  constexpr int kCount = 2500;
  // Own keys of every process plus 1000 shared ones, with room to spare.
  constexpr int32_t kCapacity = static_cast<int32_t>((kProcs * kCount + 1000) * 1.2 + 1);
  Held owner;
  ASSERT_EQ(create(&owner, kCapacity), 0);
  std::vector<std::unique_ptr<Peer>> peers;
  for (int p = 0; p < kProcs; ++p) {
    peers.emplace_back(new Peer(SHM_PEER, {"stress", "0", std::to_string(p), std::to_string(kProcs),
                                           std::to_string(kCount)}));
    ASSERT_TRUE(peers.back()->started());
  }
  for (auto& p : peers) EXPECT_EQ(p->wait(), 0);
  EXPECT_EQ(peek_directory()->refCount[0], 1u);
  EXPECT_EQ(owner.dir->lock, 0);

  // The chain holds every key exactly once, each with its value.
  const FrameOffsetEntry* e = MTS_RecordEntries(owner.rec);
  std::set<int64_t> seen;
  int32_t slot = owner.rec->head;
  int32_t last = -1;
  while (slot != -1 && seen.size() <= static_cast<size_t>(kCapacity)) {
    ASSERT_TRUE(slot >= 0 && slot < kCapacity);
    ASSERT_TRUE(seen.insert(int64_t(e[slot].qt_offset)).second) << "duplicate " << int64_t(e[slot].qt_offset);
    if (e[slot].qt_offset < 1000000000) {
      ASSERT_EQ(int64_t(e[slot].value), int64_t(e[slot].qt_offset) * 3 + 1);
    } else {
      ASSERT_TRUE(int64_t(e[slot].value) >= 0 && int64_t(e[slot].value) < kProcs);
    }
    last = slot;
    slot = e[slot].next;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kProcs * kCount + 1000));
  EXPECT_EQ(owner.rec->tail, static_cast<uint32_t>(last));
  int occupied = 0;
  for (int32_t i = 0; i < kCapacity; ++i) occupied += e[i].qt_offset != -1;
  EXPECT_EQ(occupied, kProcs * kCount + 1000);
  owner.release();
  EXPECT_TRUE(existing_regions().empty());
}

}  // namespace

// ---------------------------------------------------------------------------
// Processes that die, damaged, shrunk and foreign regions

namespace {

// Maps the directory region by name, as another process of the user would
// reach it, creating it (0600, full size) when asked.
AvchdRecordDirectory* raw_directory(bool create) {
  int fd = shm_open(shmtest::region_name(-1).c_str(), O_RDWR | (create ? O_CREAT | O_EXCL : 0), 0600);
  if (fd < 0) return nullptr;
  if (create && ftruncate(fd, kMTSDirectorySize) != 0) return nullptr;
  void* p = mmap(nullptr, kMTSDirectorySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<AvchdRecordDirectory*>(p);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(RecordStore, KilledLockHolderNeitherBlocksNorKeepsItsRecord) {
  Peer holder(SHM_PEER, {"lock"});
  ASSERT_EQ(holder.read_line(), "locked id 0");
  holder.kill_now();
  Held h;
  StderrCapture capture;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(create(&h, 4), 0);
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_NE(capture.text().find(")[ERR]MTS_LockLock took over the lock of process "), std::string::npos);
  EXPECT_EQ(h.id, 0u);  // the dead import's id came back
  EXPECT_EQ(peek_directory()->recordsInUse, 1u);
  h.release();
  EXPECT_TRUE(existing_regions().empty());
}

// The lock word names a holder, but whether the lock is held is the
// kernel's to say: a word naming a process that does not hold it (pid 1, a
// live process that maps the store, garbage) blocks nobody, and a live
// holder keeps the lock whatever its word is made to say (a holder in
// another pid namespace writes an id that means nothing here); a holder is
// named only when the word names it.
TEST_F(RecordStore, LockWordsDecideNothing) {
  Held h;
  ASSERT_EQ(create(&h, 64), 0);
  Peer bystander(SHM_PEER, {"create", "8", "0", "1"});  // maps the store, holds no lock
  ASSERT_EQ(bystander.read_line(), "id 1");
  const int32_t notHolders[] = {1, bystander.pid(), INT32_MAX};
  StderrCapture capture;
  int64_t key = 0;
  for (int32_t word : notHolders) {
    SCOPED_TRACE(word);
    h.dir->lock = word;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, key++, 7), 0);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_EQ(h.dir->lock, 0);
  }

  for (int32_t word : {0, bystander.pid(), 0x7FFFFFF0}) {
    SCOPED_TRACE(word);
    Peer holder(SHM_PEER, {"lock"});
    ASSERT_EQ(holder.read_line().rfind("locked id ", 0), 0u);
    EXPECT_EQ(h.dir->lock, holder.pid());
    int32_t seen = -1;
    EXPECT_EQ(OSSpinLockLockBounded(&h.dir->lock, 100, &seen), kOSSpinLockTimedOut);
    EXPECT_EQ(seen, holder.pid()) << "a word that names the holder names it";
    h.dir->lock = word;
    seen = -1;
    EXPECT_EQ(OSSpinLockLockBounded(&h.dir->lock, 100, &seen), kOSSpinLockTimedOut);
    EXPECT_EQ(seen, 0) << "a word that names no holder names nobody";
    // Killed inside: the lock is free at once, whatever the word says.
    holder.kill_now();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, key++, 7), 0);
    EXPECT_LT(seconds_since(start), 0.5);
  }
  capture.text();
  bystander.write_line("");
  EXPECT_EQ(bystander.wait(), 0);
  h.release();

  // For a user other than root, pid 1 is a live process that cannot be
  // inspected at all.
  if (geteuid() != 0) return;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    Held other;
    if (create(&other, 8) != 0) _exit(11);
    other.dir->lock = 1;
    auto start = std::chrono::steady_clock::now();
    if (MTS_PutFrameOffset(other.dir, other.rec, 0, 7) != 0) _exit(12);
    if (seconds_since(start) >= 0.5) _exit(13);
    _exit(MTS_ReleaseOneAvchdDataRecord(other.dir, other.rec, static_cast<int32_t>(other.id)) == 0 ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A process killed after its release set the count to 0 but before it removed
// the region leaves a region nobody holds under a free id: the next claim
// removes it, so the last release leaves nothing behind.
TEST_F(RecordStore, RegionLeftUnderAFreeIdIsRemoved) {
  Held a, b;
  ASSERT_EQ(create(&a, 4), 0);
  const std::string orphan = shmtest::region_name(5);
  int fd = shm_open(orphan.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(create(&b, 4), 0);
  EXPECT_EQ(b.id, 1u);
  a.release();
  b.release();
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, DamagedDirectoriesAreRepaired) {
  struct Case {
    const char* name;
    void (*damage)(AvchdRecordDirectory*);
  };
  const Case cases[] = {
      {"every byte 0xFF", [](AvchdRecordDirectory* d) { std::memset(d, 0xFF, kMTSDirectorySize); }},
      {"random bytes",
       [](AvchdRecordDirectory* d) {
         std::mt19937 rng(24);
         auto* bytes = reinterpret_cast<unsigned char*>(d);
         for (int i = 0; i < kMTSDirectorySize; ++i) bytes[i] = static_cast<unsigned char>(rng());
       }},
      {"every id claimed by imports that were killed",
       [](AvchdRecordDirectory* d) {
         d->recordsInUse = kMTSRecordCount;
         for (uint32_t& c : d->refCount) c = 1;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    shmtest::remove_all_regions();
    AvchdRecordDirectory* raw = raw_directory(true);
    ASSERT_NE(raw, nullptr);
    c.damage(raw);
    StderrCapture capture;
    auto start = std::chrono::steady_clock::now();
    Held handler;
    EXPECT_NE(map_by_id(&handler, 0), 0);  // nothing to map, and no hang
    Held h;
    ASSERT_EQ(create(&h, 4), 0);
    EXPECT_LT(seconds_since(start), 2.0);
    capture.text();
    EXPECT_EQ(h.id, 0u);
    EXPECT_EQ(raw->recordsInUse, 1u);
    EXPECT_EQ(raw->refCount[0], 1u);
    EXPECT_EQ(std::count(std::begin(raw->refCount), std::end(raw->refCount), 0u), kMTSRecordCount - 1);
    munmap(raw, kMTSDirectorySize);
    h.release();
    EXPECT_TRUE(existing_regions().empty());
  }
}

TEST_F(RecordStore, RecordsOfLiveProcessesSurviveRepairs) {
  Peer importer(SHM_PEER, {"create", "16", "4", "10"});
  ASSERT_EQ(importer.read_line(), "id 0");
  // Another process of the user wiped the directory's counts.
  AvchdRecordDirectory* raw = raw_directory(false);
  ASSERT_NE(raw, nullptr);
  std::memset(raw, 0, offsetof(AvchdRecordDirectory, lock));
  Held h;
  StderrCapture capture;
  ASSERT_EQ(create(&h, 4), 0);
  EXPECT_EQ(h.id, 1u);  // id 0 is still held: counted again, not reused
  EXPECT_EQ(raw->refCount[0], 1u);
  Held handler;
  ASSERT_EQ(map_by_id(&handler, 0), 0);
  int32_t hint = -1;
  EXPECT_EQ(find(handler, 30, &hint).value, 3 * 1000 + 7);
  importer.write_line("");
  EXPECT_EQ(importer.wait(), 0);
  handler.release();
  h.release();
  munmap(raw, kMTSDirectorySize);
  EXPECT_TRUE(existing_regions().empty());
}

// Puts a copy of record `id`'s region (same bytes, a new region) in its
// place under its name, as another process of the user may.
void replace_with_copy(int32_t id) {
  const std::string name = shmtest::region_name(id);
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  std::vector<unsigned char> bytes(static_cast<size_t>(st.st_size));
  ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  close(fd);
  const std::string copy = name + "-copy";
  fd = shm_open(copy.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  close(fd);
  ASSERT_EQ(rename(("/dev/shm" + copy).c_str(), ("/dev/shm" + name).c_str()), 0);
}

TEST_F(RecordStore, ReadersOfAReplacedRegionKeepTheImportsIndex) {
  // The import adds entries after its region was copied and the copy put in
  // its place; then an import in another process claims the id, as the copy
  // was held by nobody, and fills its own index under the name.
  Held importer;
  ASSERT_EQ(create(&importer, 64), 0);
  for (int64_t i = 0; i < 10; ++i) ASSERT_EQ(MTS_PutFrameOffset(importer.dir, importer.rec, i * 100, i), 0);
  replace_with_copy(static_cast<int32_t>(importer.id));
  for (int64_t i = 10; i < 20; ++i) ASSERT_EQ(MTS_PutFrameOffset(importer.dir, importer.rec, i * 100, i), 0);
  Peer other(SHM_PEER, {"create", "64", "20", "100"});
  ASSERT_EQ(other.read_line(), "id " + std::to_string(importer.id));

  StderrCapture capture;
  Held reader;
  ASSERT_EQ(map_by_id(&reader, static_cast<int32_t>(importer.id)), 0);
  int32_t hint = -1;
  for (int64_t i = 0; i < 20; ++i) {
    Found f = find(reader, i * 100, &hint);
    ASSERT_EQ(f.result, 0);
    EXPECT_TRUE(f.exact);
    EXPECT_EQ(f.value, i) << "an entry of another import";
  }
  EXPECT_NE(capture.text().find("is no longer the region its import made"), std::string::npos);
  reader.release();
  other.write_line("");
  EXPECT_EQ(other.wait(), 0);
  importer.release();
}

TEST_F(RecordStore, ACopyNobodyHoldsIsNotRead) {
  // The import runs in another process, which holds its region; a copy of
  // it (missing what the import adds later) stands under its name.
  Peer importer(SHM_PEER, {"create", "64", "10", "100"});
  ASSERT_EQ(importer.read_line(), "id 0");
  replace_with_copy(0);
  StderrCapture capture;
  Held reader;
  EXPECT_EQ(map_by_id(&reader, 0), kMTSErrOpen);
  EXPECT_NE(capture.text().find("is held by no import"), std::string::npos);
  const char* problem = MTS_Problem(kMTSErrOpen);
  ASSERT_NE(problem, nullptr);
  EXPECT_NE(std::string(problem).find("import the recording again"), std::string::npos);
  importer.write_line("");
  EXPECT_EQ(importer.wait(), 0);
}

TEST_F(RecordStore, ShrunkRegionsGiveErrorsNotSigbus) {
  for (int32_t shrunk : {-1, 0}) {  // the directory, the record
    SCOPED_TRACE(shrunk);
    Held h;
    ASSERT_EQ(create(&h, 16), 0);
    ASSERT_EQ(MTS_PutFrameOffset(h.dir, h.rec, 0, 5), 0);
    int fd = shm_open(shmtest::region_name(shrunk).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0), 0);
    close(fd);
    StderrCapture capture;
    EXPECT_EQ(MTS_PutFrameOffset(h.dir, h.rec, 100, 6), kMTSErrMap);
    int32_t hint = -1;
    EXPECT_EQ(find(h, 0, &hint).result, kMTSErrNotFound);
    h.release();
    EXPECT_NE(capture.text().find(" has 0 bytes, not "), std::string::npos);
    shmtest::remove_all_regions();
  }
}

TEST_F(RecordStore, RegionsArePrivateToTheirUser) {
  mode_t umaskWas = umask(0);
  Held h;
  ASSERT_EQ(create(&h, 4), 0);
  umask(umaskWas);
  const std::string uid = "-" + std::to_string(geteuid());
  for (int32_t id : {-1, 0}) {
    std::string name = shmtest::region_name(id);
    EXPECT_EQ(name.compare(name.size() - uid.size(), uid.size(), uid), 0) << name;
    struct stat st;
    ASSERT_EQ(stat(("/dev/shm" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
    EXPECT_EQ(st.st_uid, geteuid());
  }
  h.release();

  // A directory of this user that others may open is not joined: a data
  // handler refuses it, an importer replaces it.
  int fd = shm_open(shmtest::region_name(-1).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0666), 0);
  ASSERT_EQ(ftruncate(fd, kMTSDirectorySize), 0);
  close(fd);
  StderrCapture capture;
  Held handler;
  EXPECT_EQ(map_by_id(&handler, 0), kMTSErrOpen);
  ASSERT_EQ(create(&h, 4), 0);
  struct stat st;
  ASSERT_EQ(stat(("/dev/shm" + shmtest::region_name(-1)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  h.release();
  EXPECT_TRUE(existing_regions().empty());
}

TEST_F(RecordStore, RegionsOfOtherUsersAreNeverUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "making another user's region needs root";
  const uid_t other = 65534;
  auto plant = [&](int32_t id, off_t size) {
    int fd = shm_open(shmtest::region_name(id).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    ASSERT_EQ(fchown(fd, other, other), 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  };
  StderrCapture capture;
  // Another user's record region waiting under the first id is passed over,
  // never filled or served.
  plant(0, static_cast<off_t>(MTS_RecordRegionSize(4)));
  Held h;
  ASSERT_EQ(create(&h, 4), 0);
  EXPECT_EQ(h.id, 1u);
  h.dir->refCount[0] = 1;  // a data handler is sent to it all the same
  Held handler;
  EXPECT_EQ(map_by_id(&handler, 0), kMTSErrOpen);
  h.dir->refCount[0] = 0;
  h.release();
  EXPECT_NE(capture.text().find("is not this user's own"), std::string::npos);
  shmtest::remove_all_regions();

  // Another user's directory under this user's name is not joined.
  plant(-1, kMTSDirectorySize);
  EXPECT_EQ(create(&h, 4), kMTSErrOpen);
  EXPECT_EQ(map_by_id(&handler, 0), kMTSErrOpen);
  EXPECT_NE(capture.text().find("(uid=65534 mode=666), not used"), std::string::npos);
}
