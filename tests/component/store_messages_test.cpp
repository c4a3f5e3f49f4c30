// What mtsimport and the store say when the record store stands in its way:
// a store whose lock a stopped process holds names that process, and no
// process it does not know to hold the lock; a record changed under an
// import is blamed, not the recording; a file-size limit too small for the
// store is named.
#include "DataHandler.h"
#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MacMemory.h"
#include "shm_test_util.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

using StoreMessages = shmtest::ShmTest;

// mtsimport's standard error for `command`'s arguments, and its wait status.
std::string ImportSays(const std::string& command, int* status) {
  FILE* p = popen((command + " 2>&1 >/dev/null").c_str(), "r");
  if (p == nullptr) return {};
  std::string said;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) said.append(buffer, n);
  *status = pclose(p);
  return said;
}

// What a reader in this process makes of record `id` of the file at `path`:
// the code of its check of the record and the file, and the words.
std::string ReaderSays(uint32_t id, const std::string& path) {
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  if (MTS_MapAndLockAvchdRecordDirectory(&dir, "test") != 0) return std::string("no directory");
  const int err = MTS_GetAvchdDataRecordByID(dir, &rec, static_cast<int32_t>(id));
  MTS_LockUnlock(&dir->lock);
  if (err != 0) return "no record: " + std::to_string(err);
  const int fd = open(path.c_str(), O_RDONLY);
  const int checked = MTS_CheckAvchdDataRecordFile(rec, fd, "test");
  close(fd);
  const char* said = MTS_Problem(checked);
  MTS_ReleaseOneAvchdDataRecord(dir, rec, static_cast<int32_t>(id));
  return std::to_string(checked) + " " + (said ? said : "");
}

// The words a reader gives for a damaged record of the recording at `path`.
std::string Blamed(const std::string& path) {
  return std::to_string(kMTSErrFileChanged) +
         " the record of this import in the record store (shared memory) was changed or damaged after the import: it "
         "no longer tells whether the recording " + path + " is the one imported; import it again";
}

// The record id that the import in process `importer` prints; -1 when none.
int32_t ImportedId(shmtest::Peer& importer) {
  const std::string line = importer.read_line();
  EXPECT_EQ(line.rfind("id ", 0), 0u) << line;
  return line.rfind("id ", 0) == 0 ? static_cast<int32_t>(std::stol(line.substr(3))) : -1;
}

// The record of the recording at `path` made by an import in this process.
struct ImportHere {
  uint32_t id = 0;
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  explicit ImportHere(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(MTS_CreateAvchdDataRecord(&id, &dir, &rec, st.st_size, 64, shmtest::path_from_string,
                                        const_cast<char*>(path.c_str())),
              0);
  }
  ~ImportHere() {
    if (rec != nullptr) MTS_ReleaseOneAvchdDataRecord(dir, rec, static_cast<int32_t>(id));
  }
};

TEST_F(StoreMessages, BusyStoreNamesTheProcessThatHoldsIt) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  shmtest::Peer holder(SHM_PEER, {"lock"});
  ASSERT_TRUE(holder.started());
  ASSERT_EQ(holder.read_line().rfind("locked id ", 0), 0u);
  int status = 0;
  const std::string said = ImportSays(std::string(MTSIMPORT) + " '" + path + "'", &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << said;
  EXPECT_NE(said.find("the record store is busy: process " + std::to_string(holder.pid()) + " has held its lock"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("(-47)"), std::string::npos) << said;
  holder.kill_now();
}

// A holder that took the kernel's lock without writing its id into the word,
// and one of another pid namespace whose id names nobody here: neither is
// named.
TEST_F(StoreMessages, BusyStoreNamesNoProcessNotKnownToHoldIt) {
  const std::string path = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  struct Holder {
    std::string program;
    std::vector<std::string> args;
  };
  std::vector<Holder> holders = {{SHM_PEER, {"bytelock"}}};
  if (testsupport::run_command("unshare --pid --fork true").exit == 0)
    holders.push_back({"/usr/bin/unshare", {"--pid", "--fork", SHM_PEER, "lock"}});
  for (const Holder& h : holders) {
    shmtest::remove_all_regions();
    shmtest::Peer holder(h.program, h.args);
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(holder.read_line().rfind("locked", 0), 0u) << h.args[0];
    int status = 0;
    const std::string said = ImportSays(std::string(MTSIMPORT) + " '" + path + "'", &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
    EXPECT_NE(said.find("the record store is busy: another process has held its lock for over 3 s"),
              std::string::npos)
        << h.args[0] << ": " << said;
    EXPECT_EQ(said.find("the record store is busy: process"), std::string::npos) << said;
    holder.kill_now();
  }
}

// The import's record cut short by its last eight bytes (the recording's
// identity, which ends its seal) and given its size back by another process
// of the same user, between import and read: the record is blamed, not the
// recording, which nobody touched; written over, the recording is. (Cut by
// one byte only, it lost nothing where the identity's last byte was 0, one
// run in 256.)
TEST_F(StoreMessages, DamagedRecordIsBlamedNotTheRecording) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/damaged_record_" + std::to_string(getpid()) +
                           ".m2ts";
  ASSERT_EQ(testsupport::run_command("cp " + testsupport::local_data_file("importer/importer_lpcm_20.m2ts") + " " +
                                     path).exit, 0);
  auto cutShort = [](uint32_t id) {
    const int fd = shm_open(shmtest::region_name(static_cast<int32_t>(id)).c_str(), O_RDWR, 0);
    struct stat st {};
    const bool done = fd >= 0 && fstat(fd, &st) == 0 && ftruncate(fd, st.st_size - 8) == 0 &&
                      ftruncate(fd, st.st_size) == 0;
    if (fd >= 0) close(fd);
    return done;
  };
  const std::string blamed = Blamed(path);
  PrintLogSetEnabled(0);
  {
    // The import in another process.
    shmtest::Peer importer(SHM_PEER, {"import", path});
    ASSERT_TRUE(importer.started());
    const int32_t id = ImportedId(importer);
    ASSERT_GE(id, 0);
    EXPECT_EQ(ReaderSays(id, path), "0 ") << "read before the damage";
    ASSERT_TRUE(cutShort(id));
    EXPECT_EQ(ReaderSays(id, path), blamed) << "import in another process";
    importer.write_line("");
    EXPECT_EQ(importer.wait(), 0);
  }
  {
    // The import in this process.
    ImportHere here(path);
    ASSERT_NE(here.rec, nullptr);
    ASSERT_TRUE(cutShort(here.id));
    EXPECT_EQ(ReaderSays(here.id, path), blamed) << "import in this process";
  }
  {
    // The recording written over, the record intact.
    shmtest::Peer importer(SHM_PEER, {"import", path});
    ASSERT_TRUE(importer.started());
    const std::string line = importer.read_line();
    ASSERT_EQ(line.rfind("id ", 0), 0u) << line;
    ASSERT_EQ(testsupport::run_command("printf x | dd of=" + path + " bs=1 seek=1000 conv=notrunc 2>/dev/null").exit,
              0);
    const std::string said = ReaderSays(static_cast<uint32_t>(std::stoul(line.substr(3))), path);
    EXPECT_NE(said.find("the recording " + path + " changed after it was imported"), std::string::npos) << said;
    importer.write_line("");
    EXPECT_EQ(importer.wait(), 0);
  }
  PrintLogSetEnabled(1);
  std::remove(path.c_str());
}

// One byte of the recording's path changed in the record of an import in
// another process: a data handler blames the record, not a missing file.
TEST_F(StoreMessages, DamagedPathIsBlamedNotAMissingFile) {
  const std::string path = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  shmtest::Peer importer(SHM_PEER, {"import", path});
  const std::string line = importer.read_line();
  ASSERT_EQ(line.rfind("id ", 0), 0u) << line;
  const uint32_t id = static_cast<uint32_t>(std::stoul(line.substr(3)));
  const int fd = shm_open(shmtest::region_name(static_cast<int32_t>(id)).c_str(), O_RDWR, 0);
  ASSERT_EQ(pwrite(fd, "#", 1, offsetof(AvchdDataRecord, path) + 3), 1);
  close(fd);
  MTS_DataHRegister();
  AvchdDataRef ref{id, kAvchdDataRefVideo};
  Handle h = nullptr;
  PtrToHand(&ref, &h, Size(sizeof ref));
  ComponentInstance dh = nullptr;
  PrintLogSetEnabled(0);
  EXPECT_EQ(OpenADataHandler(h, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead, &dh), kMTSErrFileChanged);
  PrintLogSetEnabled(1);
  const char* said = MTS_Problem(kMTSErrFileChanged);
  EXPECT_NE(std::string(said != nullptr ? said : "").find("the record of this import in the record store"),
            std::string::npos);
  if (dh != nullptr) CloseComponent(dh);
  DisposeHandle(h);
  importer.write_line("");
  EXPECT_EQ(importer.wait(), 0);
}

// A file-size limit (ulimit -f) smaller than the record store needs: the
// import fails with words that say so, and is not ended by the limit's
// signal.
TEST_F(StoreMessages, FileSizeLimitTooSmallForTheStoreIsNamed) {
  const std::string path = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  int status = 0;
  std::string said =
      ImportSays("bash -c 'ulimit -f 4 && exec " + std::string(MTSIMPORT) + " " + path + "'", &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
  EXPECT_EQ(said, "mtsimport: " + path + ": the file-size limit (ulimit -f) of 4096 bytes is too small for the "
                  "record store: the frame index of this import needs a shared-memory region of 10584 bytes; raise "
                  "the limit, then try again (-41)\n");
  // Too small for the directory itself.
  said = ImportSays("bash -c 'ulimit -f 2 && exec " + std::string(MTSIMPORT) + " " + path + "'", &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
  EXPECT_EQ(said, "mtsimport: " + path + ": the file-size limit (ulimit -f) of 2048 bytes is too small for the "
                  "record store: the record store's directory needs a shared-memory region of 4008 bytes; raise "
                  "the limit, then try again (-41)\n");
  // Four copies of the recording joined: the pre-scan's time stamps tell of
  // one, so the index grows during the import, and the limit stops it there.
  const std::string joined = testing::TempDir() + "joined_limit_" + std::to_string(getpid()) + ".m2ts";
  ASSERT_EQ(testsupport::run_command("cat " + path + " " + path + " " + path + " " + path + " > " + joined).exit, 0);
  said = ImportSays("bash -c 'ulimit -f 12 && exec " + std::string(MTSIMPORT) + " " + joined + "'", &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
  EXPECT_EQ(said.rfind("mtsimport: " + joined + ": the file-size limit (ulimit -f) of 12288 bytes is too small for "
                       "the record store: the frame index of this import needs a shared-memory region of ", 0),
            0u)
      << said;
  EXPECT_EQ(ImportSays(std::string(MTSIMPORT) + " " + joined, &status), "");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::remove(joined.c_str());
}

// The record of an import with its check word zeroed, its 20 check bytes
// zeroed, or its region cut by 20 bytes and given its size back: every
// record carries its checks, so each is damage, never a record read
// unchecked; in the import's own process too, and its frame index is
// refused as well.
TEST_F(StoreMessages, ZeroedChecksAreDamage) {
  const std::string path = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  const auto zeroChecks = [](uint32_t id, size_t bytes, bool cut) {
    const int fd = shm_open(shmtest::region_name(static_cast<int32_t>(id)).c_str(), O_RDWR, 0);
    struct stat st {};
    const off_t checks = fd >= 0 && fstat(fd, &st) == 0 ? st.st_size - kMTSFrameEntrySize : -1;
    const char zero[kMTSFrameEntrySize] = {};
    const bool done = checks > 0 && (cut ? ftruncate(fd, checks) == 0 && ftruncate(fd, st.st_size) == 0
                                         : pwrite(fd, zero, bytes, checks) == static_cast<ssize_t>(bytes));
    if (fd >= 0) close(fd);
    return done;
  };
  const std::string blamed = Blamed(path);
  PrintLogSetEnabled(0);
  for (const auto& damage : {std::make_pair(size_t(4), false), std::make_pair(size_t(20), false),
                             std::make_pair(size_t(20), true)}) {
    shmtest::Peer importer(SHM_PEER, {"import", path});
    const int32_t id = ImportedId(importer);
    ASSERT_GE(id, 0);
    ASSERT_TRUE(zeroChecks(id, damage.first, damage.second));
    EXPECT_EQ(ReaderSays(id, path), blamed) << damage.first << " bytes, cut " << damage.second;
    importer.write_line("");
    EXPECT_EQ(importer.wait(), 0);
  }
  {
    // The import in this process: its record and its frame index.
    ImportHere here(path);
    ASSERT_NE(here.rec, nullptr);
    for (int64_t key = 0; key < 10; ++key) ASSERT_EQ(MTS_PutFrameOffset(here.dir, here.rec, key * 100, key), 0);
    ASSERT_TRUE(zeroChecks(here.id, 20, false));
    EXPECT_EQ(ReaderSays(here.id, path), blamed);
    FrameOffsetEntry e;
    bool exact = false;
    int32_t hint = -1;
    EXPECT_EQ(MTS_FindFrameOffset(here.dir, here.rec, &hint, 500, &e, &exact, false), kMTSErrFileChanged);
  }
  PrintLogSetEnabled(1);
}

// The words about a damaged record quote the recording's path with the
// bytes that are no printable characters escaped.
TEST_F(StoreMessages, DamagedRecordWordsEscapeThePath) {
  const std::string path = "/tmp/caf\xc3\xa9\x01\x1b[2J\\\xff.m2ts";
  uint32_t id = 0;
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  ASSERT_EQ(MTS_CreateAvchdDataRecord(&id, &dir, &rec, 1000, 8, shmtest::path_from_string,
                                      const_cast<char*>(path.c_str())),
            0);
  const int fd = shm_open(shmtest::region_name(static_cast<int32_t>(id)).c_str(), O_RDWR, 0);
  ASSERT_EQ(pwrite(fd, "#", 1, offsetof(AvchdDataRecord, fileSize)), 1);
  close(fd);
  PrintLogSetEnabled(0);
  EXPECT_EQ(ReaderSays(id, "/dev/null"),
            std::to_string(kMTSErrFileChanged) +
                " the record of this import in the record store (shared memory) was changed or damaged after the "
                "import: it no longer tells whether the recording /tmp/caf\xc3\xa9\\x01\\x1b[2J\\\\\\xff.m2ts is the "
                "one imported; import it again");
  PrintLogSetEnabled(1);
  MTS_ReleaseOneAvchdDataRecord(dir, rec, static_cast<int32_t>(id));
}

// So do the words about a recording written after its import.
TEST_F(StoreMessages, ChangedRecordingWordsEscapeThePath) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/";
  const std::string name = "said_" + std::to_string(getpid()) + "_\\x1b[2J\\x07.m2ts";
  const std::string path = folder + "said_" + std::to_string(getpid()) + "_\x1b[2J\a.m2ts";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("before", f);
  std::fclose(f);
  ImportHere here(path);
  f = std::fopen(path.c_str(), "ab");
  ASSERT_NE(f, nullptr);
  std::fputs(", after", f);
  std::fclose(f);
  PrintLogSetEnabled(0);
  EXPECT_EQ(ReaderSays(here.id, path),
            std::to_string(kMTSErrFileChanged) + " the recording " + folder + name +
                " changed after it was imported (now 13 bytes, 6 when imported; written or replaced since): import "
                "it again");
  PrintLogSetEnabled(1);
  std::remove(path.c_str());
}

}  // namespace
