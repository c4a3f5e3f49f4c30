// The directory region and the record regions of the shared-memory store:
// creation, claiming, mapping by id and release.
//
// Traps this code guards against, all of them cross-process:
// - A region is created and then sized in two steps: a process that opens it
//   in between must not touch it before it has its full size (SIGBUS).
// - The creator must not write into the new directory after sizing it: the
//   zero fill of ftruncate is all it needs, and a process that opened it
//   meanwhile may already hold its lock.
// - The last release unlinks the directory under its lock. A process that
//   opened the directory just before then finds it unlinked once it has the
//   lock (link count 0), and starts over with a live one.
// - Contents read back (capacity, counts, sizes) are checked before use.
#include "CFString.h"
#include "DataHandler.h"
#include "MTS_Log.h"
#include "MTS_SharedMemory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr int kWaitForSizeMs = 2000;  // how long a region may stay unsized
constexpr int kLiveDirectoryTries = 100;

// The record mappings of this process and their capacities. The walks use
// these, so a capacity changed in shared memory cannot make them leave the
// mapping.
std::mutex g_mappingsLock;
std::unordered_map<const AvchdDataRecord*, int32_t>& mappings() {
  static std::unordered_map<const AvchdDataRecord*, int32_t> m;
  return m;
}

void record_name(char* name, size_t size, int32_t recordID) {
  std::snprintf(name, size, MTS_SHM_RECORD_NAME_FORMAT, static_cast<int>(recordID));
}

void close_reporting(int fd, const char* reporter, const char* format) {
  if (::close(fd) != 0) PrintLog(reporter, __LINE__, format, fd, errno);
}

// Waits until the region behind `fd` has at least `size` bytes. The creator
// sizes it right after creating it; a creator that died in between leaves it
// short for good, and the wait gives up.
bool wait_for_size(int fd, off_t size, off_t* actual) {
  for (int waited = 0;; ++waited) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    *actual = st.st_size;
    if (st.st_size >= size) return true;
    if (waited >= kWaitForSizeMs) return false;
    struct timespec ms = {0, 1000000};
    ::nanosleep(&ms, nullptr);
  }
}

// True when the region behind `fd` no longer has a name.
bool is_unlinked(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && st.st_nlink == 0;
}

AvchdDataRecord* map_record(int fd, int32_t capacity) {
  void* p = ::mmap(nullptr, MTS_RecordRegionSize(capacity), PROT_READ | PROT_WRITE, MAP_SHARED,
                   fd, 0);
  if (p == MAP_FAILED) return nullptr;
  AvchdDataRecord* record = static_cast<AvchdDataRecord*>(p);
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  mappings()[record] = capacity;
  return record;
}

// Unmaps a record mapping of this store; false (errno set) when that fails.
bool unmap_record(AvchdDataRecord* record) {
  int32_t capacity;
  {
    std::lock_guard<std::mutex> guard(g_mappingsLock);
    auto it = mappings().find(record);
    if (it == mappings().end()) {
      errno = EINVAL;
      return false;
    }
    capacity = it->second;
    mappings().erase(it);
  }
  return ::munmap(record, MTS_RecordRegionSize(capacity)) == 0;
}

// Drops one reference of `recordID` (lock held). The last one unlinks the
// record's name and gives the id back. Returns true when no record remains in
// use, in which case the caller unlinks the directory before unlocking.
bool drop_reference(AvchdRecordDirectory* pARec, int32_t recordID, const char* reporter) {
  uint32_t& count = pARec->refCount[recordID];
  if (count > 1) {
    --count;
    return false;
  }
  count = 0;
  char name[64];
  record_name(name, sizeof name, recordID);
  if (::shm_unlink(name) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to shm_unlink(%s). errno=%d\n", name, errno);
  }
  if (pARec->recordsInUse > 0) --pARec->recordsInUse;
  return pARec->recordsInUse == 0;
}

void unlink_directory(const char* reporter) {
  if (::shm_unlink(MTS_SHM_DIRECTORY_NAME) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to shm_unlink(%s). errno=%d\n",
             MTS_SHM_DIRECTORY_NAME, errno);
  }
}

void unmap_directory(AvchdRecordDirectory* pARec, const char* reporter) {
  if (::munmap(pARec, kMTSDirectorySize) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to munmap(pARec=%p). errno=%d\n",
             static_cast<void*>(pARec), errno);
  }
}

// Opens the directory (creating it when `create` and none exists), waits for
// its full size and maps it. On success `*outFd` is the open descriptor.
int open_directory(bool create, const char* reporter, AvchdRecordDirectory** out, int* outFd) {
  for (int tries = 0;; ++tries) {
    bool created = false;
    int fd = -1;
    if (create) {
      fd = ::shm_open(MTS_SHM_DIRECTORY_NAME, O_RDWR | O_CREAT | O_EXCL, 0666);
      created = fd >= 0;
      if (fd < 0 && errno != EEXIST) {
        PrintLog(reporter, __LINE__, "[ERR]failed to shm_open(%s). errno=%d\n",
                 MTS_SHM_DIRECTORY_NAME, errno);
        return kMTSErrOpen;
      }
    }
    if (!created) {
      fd = ::shm_open(MTS_SHM_DIRECTORY_NAME, O_RDWR, 0666);
      // Removed between the two opens: create it afresh.
      if (fd < 0 && errno == ENOENT && create && tries < kLiveDirectoryTries) continue;
      if (fd < 0) {
        PrintLog(reporter, __LINE__, "[ERR]failed to shm_open(%s). errno=%d\n",
                 MTS_SHM_DIRECTORY_NAME, errno);
        return kMTSErrOpen;
      }
    }

    if (created && ::ftruncate(fd, kMTSDirectorySize) != 0) {
      PrintLog(reporter, __LINE__, "[ERR]failed to ftruncate(fd=%d). errno=%d\n", fd, errno);
      close_reporting(fd, reporter, "[ERR]failed to close shm(fd=%d). errno=%d\n");
      ::shm_unlink(MTS_SHM_DIRECTORY_NAME);
      return kMTSErrMap;
    }
    off_t size = 0;
    if (!created && !wait_for_size(fd, kMTSDirectorySize, &size)) {
      PrintLog(reporter, __LINE__, "[ERR]shared memory %s has %lld bytes, not %d\n",
               MTS_SHM_DIRECTORY_NAME, static_cast<long long>(size), kMTSDirectorySize);
      close_reporting(fd, reporter, "[ERR]failed to close shm(fd=%d). errno=%d\n");
      return kMTSErrMap;
    }
    void* p = ::mmap(nullptr, kMTSDirectorySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      PrintLog(reporter, __LINE__,
               created ? "[ERR]failed to mmap(fd=%d). errno=%d(iRet=0)\n"
                       : "[ERR]failed to mmap(fd=%d). errno=%d(iRet!=0)\n",
               fd, errno);
      close_reporting(fd, reporter, "[ERR]failed to close shm(fd=%d). errno=%d\n");
      if (created) ::shm_unlink(MTS_SHM_DIRECTORY_NAME);
      return kMTSErrMap;
    }
    // A new region is zero-filled by ftruncate, its lock free: writing into it
    // now could clobber a process that has opened and locked it meanwhile.
    *out = static_cast<AvchdRecordDirectory*>(p);
    *outFd = fd;
    return 0;
  }
}

// The full path of the importer's data handler, as a path source.
int data_handler_path(void* context, char* path, size_t capacity) {
  CFStringRef string = nullptr;
  OSErr err = QTGetDataHandlerFullPathCFString(static_cast<ComponentInstance>(context), kQTNativeDefaultPathStyle,
                                               &string);
  if (err != noErr || string == nullptr) {
    PrintLog("MTS_SetDataHandler", __LINE__, "[ERR]failed to QTGetDataHandlerFullPathCFString. err=%d\n", err);
    return err != noErr ? static_cast<int>(err) : static_cast<int>(kMTSErrParam);
  }
  Boolean converted = CFStringGetCString(string, path, static_cast<CFIndex>(capacity), kCFStringEncodingUTF8);
  CFRelease(string);
  if (!converted) {
    PrintLog("MTS_SetDataHandler", __LINE__, "[ERR]failed to CFStringGetCString\n");
    return kMTSErrParam;
  }
  return 0;
}

// Maps the live directory and takes its lock.
int lock_live_directory(bool create, const char* reporter, AvchdRecordDirectory** out, int* outFd) {
  for (int tries = 0;; ++tries) {
    AvchdRecordDirectory* pARec = nullptr;
    int fd = -1;
    int err = open_directory(create, reporter, &pARec, &fd);
    if (err != 0) return err;
    MTS_LockLock(&pARec->lock);
    if (!is_unlinked(fd)) {
      *out = pARec;
      *outFd = fd;
      return 0;
    }
    // The last user removed it while we waited for the lock.
    MTS_LockUnlock(&pARec->lock);
    unmap_directory(pARec, reporter);
    ::close(fd);
    if (tries >= kLiveDirectoryTries) {
      PrintLog(reporter, __LINE__, "[ERR]failed to shm_open(%s). errno=%d\n",
               MTS_SHM_DIRECTORY_NAME, ENOENT);
      return kMTSErrOpen;
    }
  }
}

}  // namespace

int32_t MTS_MappedCapacity(const AvchdDataRecord* pRec) {
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  auto it = mappings().find(pRec);
  return it == mappings().end() ? -1 : it->second;
}

int MTS_GetOneAvchdDataRecord(AvchdRecordDirectory* pARec, AvchdDataRecord** outRecord,
                              uint32_t* outRecordID, int32_t capacity) {
  if (pARec == nullptr) {
    MTS_LOG("[ERR]NO pARec=%p\n", static_cast<void*>(pARec));
    return kMTSErrNotFound;
  }
  if (capacity < 1) {
    MTS_LOG("[ERR]Illegal frame index capacity=%d\n", static_cast<int>(capacity));
    return kMTSErrParam;
  }
  int32_t id = 0;
  while (id < kMTSRecordCount && pARec->refCount[id] != 0) ++id;
  if (id == kMTSRecordCount) {
    MTS_LOG("[ERR]All table FULL\n");
    return kMTSErrNoFreeId;
  }
  pARec->refCount[id] = 1;
  ++pARec->recordsInUse;

  // A region left under this name by an earlier import is reused.
  char name[64];
  record_name(name, sizeof name, id);
  int fd = ::shm_open(name, O_RDWR | O_CREAT, 0666);
  if (fd < 0) {
    MTS_LOG("[ERR]failed to shm_open(%s). errno=%d\n", name, errno);
    drop_reference(pARec, id, __func__);
    return kMTSErrOpen;
  }
  size_t size = MTS_RecordRegionSize(capacity);
  // posix_fallocate reserves the pages now, so a full /dev/shm gives an error
  // here instead of a SIGBUS while filling.
  int err = ::ftruncate(fd, static_cast<off_t>(size)) != 0 ? errno
                                                            : ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  AvchdDataRecord* record = err == 0 ? map_record(fd, capacity) : nullptr;
  if (record == nullptr) {
    MTS_LOG("[ERR]failed to mmap(fd=%d). errno=%d\n", fd, err != 0 ? err : errno);
    close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");
    drop_reference(pARec, id, __func__);  // unlinks the name
    return kMTSErrMap;
  }
  close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");

  std::memset(record, 0, kMTSRecordHeaderSize);
  record->capacity = capacity;
  record->head = -1;
  record->tail = 0;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(record);
  std::memset(bytes + kMTSRecordHeaderSize, 0xFF, static_cast<size_t>(kMTSFrameEntrySize) * capacity);
  std::memset(bytes + size - kMTSFrameEntrySize, 0, kMTSFrameEntrySize);  // spare

  *outRecord = record;
  *outRecordID = static_cast<uint32_t>(id);
  return 0;
}

int MTS_CreateAvchdDataRecord(uint32_t* outRecordID, AvchdRecordDirectory** outDirectory,
                              AvchdDataRecord** outRecord, int64_t fileSize, int32_t capacity,
                              MTS_RecordPathSource pathSource, void* context) {
  static const char kReporter[] = "MTS_SetDataHandler";
  AvchdRecordDirectory* pARec = nullptr;
  int fd = -1;
  int err = lock_live_directory(true, kReporter, &pARec, &fd);
  if (err != 0) return err;

  uint32_t id = 0;
  AvchdDataRecord* pRec = nullptr;
  err = MTS_GetOneAvchdDataRecord(pARec, &pRec, &id, capacity);
  if (err != 0) {
    PrintLog(kReporter, __LINE__, "[ERR]failed to MTS_GetOneAvchdDataRecord: err=%d.\n", err);
  }
  if (::close(fd) != 0) {
    PrintLog(kReporter, __LINE__, "[ERR]failed to close(%s: fd=%d). errno=%d\n",
             MTS_SHM_DIRECTORY_NAME, fd, errno);
  }

  if (err == 0) {
    err = pathSource(context, pRec->path, kMTSPathSize);
    if (err != 0) {
      // Give the id back: nothing of a failed creation stays behind.
      unmap_record(pRec);
      drop_reference(pARec, static_cast<int32_t>(id), kReporter);
    }
  }
  if (err != 0) {
    if (pARec->recordsInUse == 0) unlink_directory(kReporter);
    MTS_LockUnlock(&pARec->lock);
    unmap_directory(pARec, kReporter);
    return err;
  }

  pRec->fileSize = fileSize;
  pRec->head = -1;
  pRec->tail = 0;
  pRec->capacity = capacity;
  MTS_LockUnlock(&pARec->lock);
  *outRecordID = id;
  *outDirectory = pARec;
  *outRecord = pRec;
  return 0;
}

int MTS_MapAndLockAvchdRecordDirectory(AvchdRecordDirectory** outDirectory, const char* reporter) {
  int fd = -1;
  int err = lock_live_directory(false, reporter, outDirectory, &fd);
  if (err != 0) return err;
  close_reporting(fd, reporter, "[ERR]failed to close(fd=%d). errno=%d\n");
  return 0;
}

void MTS_UnmapAvchdRecordDirectory(AvchdRecordDirectory* pARec) {
  if (pARec != nullptr) unmap_directory(pARec, __func__);
}

int MTS_GetAvchdDataRecordByID(AvchdRecordDirectory* pARec, AvchdDataRecord** outRecord,
                               int32_t recordID) {
  if (pARec == nullptr || recordID < 0 || recordID >= kMTSRecordCount) {
    MTS_LOG("[ERR]NO pARec=%p or Illegal recordID=%d\n", static_cast<void*>(pARec),
            static_cast<int>(recordID));
    return kMTSErrParam;
  }
  uint32_t count = pARec->refCount[recordID];
  if (count == 0 || count == UINT32_MAX) {
    MTS_LOG("[ERR]Uninitialized AvchdDataRecord\n");
    return kMTSErrParam;
  }

  char name[64];
  record_name(name, sizeof name, recordID);
  int fd = ::shm_open(name, O_RDWR, 0666);
  if (fd < 0) {
    MTS_LOG("[ERR]failed to shm_open(%s). errno=%d\n", name, errno);
    return kMTSErrOpen;
  }
  // The capacity comes from another process: it must be positive and the
  // region must hold that many entries.
  struct stat st;
  int32_t capacity = 0;
  bool sized = ::fstat(fd, &st) == 0 && st.st_size >= kMTSRecordFixedSize &&
               ::pread(fd, &capacity, sizeof capacity, offsetof(AvchdDataRecord, capacity)) ==
                   static_cast<ssize_t>(sizeof capacity);
  if (!sized || capacity < 1 ||
      MTS_RecordRegionSize(capacity) > static_cast<size_t>(st.st_size)) {
    MTS_LOG("[ERR]damaged AvchdDataRecord(recordID=%d, capacity=%d)\n",
            static_cast<int>(recordID), static_cast<int>(capacity));
    close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");
    return kMTSErrParam;
  }
  AvchdDataRecord* record = map_record(fd, capacity);
  if (record == nullptr) {
    MTS_LOG("[ERR]failed to mmap(fd=%d). errno=%d\n", fd, errno);
    close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");
    return kMTSErrMap;
  }
  close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");
  pARec->refCount[recordID] = count + 1;
  *outRecord = record;
  return 0;
}

int MTS_ReleaseOneAvchdDataRecord(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec,
                                  int32_t recordID) {
  if (pARec == nullptr || pRec == nullptr || recordID < 0 || recordID >= kMTSRecordCount) {
    MTS_LOG("[ERR]NO pARec=%p or NO pRec=%p or Illegal recordID=%d\n", static_cast<void*>(pARec),
            static_cast<void*>(pRec), static_cast<int>(recordID));
    return 1;
  }
  MTS_LockLock(&pARec->lock);
  bool directoryUnused = drop_reference(pARec, recordID, __func__);
  if (directoryUnused) unlink_directory(__func__);
  MTS_LockUnlock(&pARec->lock);

  // This caller is done with both regions, whether or not others still use
  // them.
  if (!unmap_record(pRec)) {
    MTS_LOG("[ERR]failed to munmap(pRec=%p). errno=%d\n", static_cast<void*>(pRec), errno);
  }
  unmap_directory(pARec, __func__);
  return 0;
}

int MTS_SetDataHandler(UInt32* outRecordID, AvchdRecordDirectory** outDirectory, AvchdDataRecord** outRecord,
                       ComponentInstance dataHandler, SInt64 fileSize, SInt32 capacity) {
  return MTS_CreateAvchdDataRecord(outRecordID, outDirectory, outRecord, fileSize, capacity, data_handler_path,
                                   dataHandler);
}
