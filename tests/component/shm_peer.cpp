// A second process for the shared-memory tests. Commands (arguments are
// decimal numbers):
//   create CAPACITY COUNT STRIDE  creates a record, adds COUNT entries with
//                                 keys i*STRIDE and values i*1000+7, prints
//                                 "id N", waits for a line on standard input,
//                                 releases, exits 0.
//   lookup ID COUNT STRIDE        maps record ID, checks the entries "create"
//                                 made (exact hits and requests inside each
//                                 sample), prints "mapped", waits for a line,
//                                 releases; exit 0 when every check held.
//   follow ID STRIDE              maps record ID, prints "mapped"; for each
//                                 line COUNT checks as "lookup" does the
//                                 first COUNT entries, prints "ok" or
//                                 "bad"; "end" releases, exits 0.
//   stress ID PROC NPROCS COUNT   maps record ID, adds COUNT keys of its own
//                                 (i*NPROCS+PROC, value key*3+1) and COUNT
//                                 keys shared with every other process
//                                 (1e9+i%1000, value PROC), looking each of its
//                                 own up right after adding it; releases; exit
//                                 0 when every step gave what it should.
//   lock                          creates a record, takes the store's lock,
//                                 prints "locked id N", waits for a line
//                                 (tests kill it there), exits 0.
//   bytelock                      creates a record, then takes the kernel's
//                                 lock on the store's lock word through a
//                                 description of its own without writing
//                                 the word, prints "locked", waits for a line.
//   import FILE                   imports FILE as the importer does (record,
//                                 path from a file data handler, frame index
//                                 of its samples), prints "id N", waits for a
//                                 line, releases, exits 0.
//   read ID                       a second application reading record ID:
//                                 for each line "TYPE QT_OFFSET SIZE" reads
//                                 through its own data handler on {ID, TYPE}
//                                 and prints "RESULT HASH" (FNV-1a of the
//                                 bytes, 0 on failure); "end" closes, exits 0.
#include "DataHandler.h"
#include "MTS_DataHandler.h"
#include "MacMemory.h"
#include "MTS_Log.h"
#include "MTS_SharedMemory.h"
#include "shm_test_util.h"
#include "stream_index.h"
#include "testsupport.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

long long arg(char** argv, int i) { return std::atoll(argv[i]); }

int copy_path(void* context, char* path, size_t capacity) {
  std::snprintf(path, capacity, "%s", static_cast<const char*>(context));
  return 0;
}

void wait_for_line() {
  std::string line;
  std::getline(std::cin, line);
}

bool map_record(int32_t id, AvchdRecordDirectory** dir, AvchdDataRecord** rec) {
  if (MTS_MapAndLockAvchdRecordDirectory(dir, "shm_peer") != 0) return false;
  int err = MTS_GetAvchdDataRecordByID(*dir, rec, id);
  MTS_LockUnlock(&(*dir)->lock);
  if (err != 0) MTS_UnmapAvchdRecordDirectory(*dir);
  return err == 0;
}

int create(int32_t capacity, int64_t count, int64_t stride) {
  static char path[] = "/tmp/peer-file.m2ts";
  uint32_t id = 0;
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  if (MTS_CreateAvchdDataRecord(&id, &dir, &rec, 123456789, capacity, copy_path, path) != 0) return 1;
  for (int64_t i = 0; i < count; ++i) {
    if (MTS_PutFrameOffset(dir, rec, i * stride, i * 1000 + 7) != 0) return 2;
  }
  std::printf("id %u\n", id);
  std::fflush(stdout);
  wait_for_line();
  return MTS_ReleaseOneAvchdDataRecord(dir, rec, static_cast<int32_t>(id)) == 0 ? 0 : 3;
}

// A record of 8 entries for a file that is not there: the store exists.
bool small_record(uint32_t* id, AvchdRecordDirectory** dir) {
  static char path[] = "/tmp/peer-file.m2ts";
  AvchdDataRecord* rec = nullptr;
  return MTS_CreateAvchdDataRecord(id, dir, &rec, 1, 8, copy_path, path) == 0;
}

int lock() {
  uint32_t id = 0;
  AvchdRecordDirectory* dir = nullptr;
  if (!small_record(&id, &dir)) return 1;
  if (!MTS_LockLock(&dir->lock)) return 2;
  std::printf("locked id %u\n", id);
  std::fflush(stdout);
  wait_for_line();
  return 0;
}

int bytelock() {
  uint32_t id = 0;
  AvchdRecordDirectory* dir = nullptr;
  if (!small_record(&id, &dir)) return 1;
  char name[128];
  if (!MTS_ShmRegionName(name, sizeof name, -1)) return 2;
  const int fd = shm_open(name, O_RDWR, 0);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offsetof(AvchdRecordDirectory, lock);
  fl.l_len = 1;
  if (fd < 0 || fcntl(fd, F_OFD_SETLK, &fl) != 0) return 3;
  std::printf("locked\n");
  std::fflush(stdout);
  wait_for_line();
  return 0;
}

// Whether record `rec` holds the entries "create" makes for `count` keys.
bool check_entries(AvchdRecordDirectory* dir, AvchdDataRecord* rec, int64_t count, int64_t stride) {
  bool ok = true;
  int32_t hint = -1;
  for (int64_t i = 0; i < count && ok; ++i) {
    FrameOffsetEntry e;
    bool exact = false;
    ok = MTS_FindFrameOffset(dir, rec, &hint, i * stride, &e, &exact, false) == 0 && exact &&
         e.qt_offset == i * stride && e.value == i * 1000 + 7;
    if (ok && stride > 1) {
      ok = MTS_FindFrameOffset(dir, rec, &hint, i * stride + 1, &e, &exact, false) == 0 &&
           !exact && e.qt_offset == i * stride;
    }
  }
  return ok;
}

int lookup(int32_t id, int64_t count, int64_t stride) {
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  if (!map_record(id, &dir, &rec)) return 1;
  bool ok = rec->fileSize == 123456789 && std::strcmp(rec->path, "/tmp/peer-file.m2ts") == 0 &&
            check_entries(dir, rec, count, stride);
  std::printf("mapped\n");
  std::fflush(stdout);
  wait_for_line();
  if (MTS_ReleaseOneAvchdDataRecord(dir, rec, id) != 0) return 3;
  return ok ? 0 : 2;
}

// Maps record `id` once, then checks the entries "create" makes for each
// count it is given, as the index grows.
int follow(int32_t id, int64_t stride) {
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  if (!map_record(id, &dir, &rec)) return 1;
  std::printf("mapped\n");
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line) && line != "end") {
    std::printf("%s\n", check_entries(dir, rec, std::atoll(line.c_str()), stride) ? "ok" : "bad");
    std::fflush(stdout);
  }
  return MTS_ReleaseOneAvchdDataRecord(dir, rec, id) == 0 ? 0 : 3;
}

int stress(int32_t id, int64_t proc, int64_t nprocs, int64_t count) {
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  if (!map_record(id, &dir, &rec)) return 1;
  int failures = 0;
  int32_t hint = -1;
  for (int64_t i = 0; i < count; ++i) {
    int64_t key = i * nprocs + proc;
    if (MTS_PutFrameOffset(dir, rec, key, key * 3 + 1) != 0) ++failures;
    if (MTS_PutFrameOffset(dir, rec, 1000000000 + i % 1000, proc) != 0) ++failures;
    FrameOffsetEntry e;
    bool exact = false;
    if (MTS_FindFrameOffset(dir, rec, &hint, key, &e, &exact, false) != 0 || !exact ||
        e.value != key * 3 + 1) {
      ++failures;
    }
  }
  if (MTS_ReleaseOneAvchdDataRecord(dir, rec, id) != 0) ++failures;
  if (failures != 0) std::fprintf(stderr, "stress peer %lld: %d failures\n", (long long)proc, failures);
  return failures == 0 ? 0 : 2;
}

int import(const char* path) {
  std::vector<uint8_t> file = testsupport::read_file(path);
  std::vector<streamindex::Sample> samples = streamindex::layout(streamindex::read_pes(file), 0);
  CFStringRef cfPath = CFStringCreateWithCString(kCFAllocatorDefault, path, kCFStringEncodingUTF8);
  Handle alias = nullptr;
  OSType aliasType = 0;
  ComponentInstance fileHandler = nullptr;
  if (QTNewDataReferenceFromFullPathCFString(cfPath, kQTNativeDefaultPathStyle, 0, &alias, &aliasType) != noErr ||
      OpenADataHandler(alias, aliasType, nullptr, 0, nullptr, kDataHCanRead, &fileHandler) != noErr) {
    return 1;
  }
  CFRelease(cfPath);
  UInt32 id = 0;
  AvchdRecordDirectory* dir = nullptr;
  AvchdDataRecord* rec = nullptr;
  int32_t capacity = static_cast<int32_t>(samples.size() * 1.2 + 1.0);
  if (MTS_SetDataHandler(&id, &dir, &rec, fileHandler, static_cast<SInt64>(file.size()), capacity) != 0) return 2;
  if (!streamindex::fill_index(dir, rec, samples)) return 3;
  std::printf("id %u\n", id);
  std::fflush(stdout);
  wait_for_line();
  int result = MTS_ReleaseOneAvchdDataRecord(dir, rec, static_cast<int32_t>(id)) == 0 ? 0 : 4;
  CloseComponent(fileHandler);
  DisposeHandle(alias);
  return result;
}

int read_samples(uint32_t id) {
  MTS_DataHRegister();
  std::map<uint32_t, ComponentInstance> handlers;
  std::vector<Handle> refs;
  std::vector<uint8_t> buffer;
  std::string line;
  while (std::getline(std::cin, line) && line != "end") {
    std::istringstream in(line);
    uint32_t type = 0;
    long long qt = 0, size = 0;
    in >> type >> qt >> size;
    ComponentInstance& dh = handlers[type];
    if (dh == nullptr) {
      AvchdDataRef ref{id, type};
      Handle h = nullptr;
      PtrToHand(&ref, &h, Size(sizeof ref));
      refs.push_back(h);
      if (OpenADataHandler(h, kAvchdDataRefType, nullptr, 0, nullptr, kDataHCanRead, &dh) != noErr) return 1;
    }
    buffer.assign(static_cast<size_t>(size), 0);
    wide offset = qt;
    ComponentResult r =
        DataHScheduleData64(dh, reinterpret_cast<Ptr>(buffer.data()), &offset, SInt32(size), 0, nullptr, nullptr);
    std::printf("%d %llu\n", static_cast<int>(r),
                static_cast<unsigned long long>(r == noErr ? shmtest::fnv1a(buffer.data(), buffer.size()) : 0));
    std::fflush(stdout);
  }
  for (auto& it : handlers) CloseComponent(it.second);
  for (Handle h : refs) DisposeHandle(h);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "create") == 0) {
    return create(static_cast<int32_t>(arg(argv, 2)), arg(argv, 3), arg(argv, 4));
  }
  if (argc == 5 && std::strcmp(argv[1], "lookup") == 0) {
    return lookup(static_cast<int32_t>(arg(argv, 2)), arg(argv, 3), arg(argv, 4));
  }
  if (argc == 4 && std::strcmp(argv[1], "follow") == 0) return follow(static_cast<int32_t>(arg(argv, 2)), arg(argv, 3));
  if (argc == 6 && std::strcmp(argv[1], "stress") == 0) {
    return stress(static_cast<int32_t>(arg(argv, 2)), arg(argv, 3), arg(argv, 4), arg(argv, 5));
  }
  if (argc == 3 && std::strcmp(argv[1], "import") == 0) return import(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "lock") == 0) return lock();
  if (argc == 2 && std::strcmp(argv[1], "bytelock") == 0) return bytelock();
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return read_samples(static_cast<uint32_t>(arg(argv, 2)));
  std::fprintf(stderr, "usage: shm_peer create|lookup|stress ...\n");
  return 64;
}
