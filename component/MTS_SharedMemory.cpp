// The directory region and the record regions of the shared-memory store:
// creation, claiming, mapping by id and release.
//
// Traps this code guards against, all of them cross-process:
// - A region is created and then sized in two steps: a creator that died in
//   between leaves it short. Whoever opens a short directory sizes it
//   (idempotent: the creator does the same and writes nothing after).
// - The creator must not write into the new directory after sizing it: the
//   zero fill of a new region is all it needs, and a process that opened it
//   meanwhile may already hold its lock.
// - The last release unlinks the directory under its lock. A process that
//   opened the directory just before then finds it unlinked once it has the
//   lock (link count 0), and starts over with a live one.
// - Another process of the user may truncate a region while it is mapped,
//   and a mapped byte beyond the end of its file kills with SIGBUS. So the
//   record is read and written through its file (pread/pwrite on the
//   descriptor kept with each mapping), never through the mapping: its
//   header is read once, when it is mapped, and kept in this process, and
//   the frame index is reached under the lock. The directory's counts are
//   touched through the mapping only under the lock, after its size is
//   checked (fstat on the kept descriptor).
// - The lock word names its holder, but process ids say nothing certain
//   about a holder: they are reused, other users' processes cannot be
//   inspected, and another pid namespace sees other ids. The exclusion is
//   the kernel's: an open-file-description lock on the word's byte of the
//   directory, dropped when the holder ends (OSSpinLockBindFile). The word
//   is still written for whoever reads it.
// - Processes die holding references. Every user of a record holds a shared
//   open-file-description lock on its region's byte 0 for as long as it maps
//   the record; the kernel drops it when the process ends. A record nobody
//   locks any more is reclaimed, and the directory's counts are repaired from
//   what the locks say. The counts are kept as before (the layout has no
//   room for owners) but only the locks decide when a record goes.
// - Regions of another user, or of this user with access for others, are
//   never trusted.
// - Contents read back (capacity, counts, sizes) are checked before use.
#include "CFString.h"
#include "DataHandler.h"
#include "MTS_Log.h"
#include "MTS_SharedMemory.h"

#include <bitset>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cstdarg>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr int kLiveDirectoryTries = 100;
constexpr char kIndexWords[] = "the frame index of this import";
constexpr mode_t kRegionMode = 0600;

// The imported file as a check in this process last found it unchanged.
struct SeenFile {
  bool valid;
  dev_t device;
  ino_t inode;
  off_t size;
  uint64_t mtimeNs, ctimeNs;
};

// What this process keeps of a record's header, read when it was mapped,
// and what its checks of the file saw.
struct KeptHeader {
  int64_t fileSize;
  char path[kMTSPathSize];
  MTS_RecordSeal seal;  // its checks as read (only the header's and the file's are used)
  // The header check holds: fileSize, path and the file's identity are what
  // the import wrote.
  bool intact;
  SeenFile seen;  // under g_mappingsLock
  // Read from a region that an import of this process made, and found not
  // to hold what that import wrote there: the record was changed since.
  bool altered;
  // Made by this process (an import): the region's name when it was made.
  bool created;
  char name[160];
};

// The mappings of this process, with the descriptor kept open for each: its
// size is checked before use, and for a record it carries the holder lock.
struct Mapping {
  int fd;
  size_t bytes;
  int32_t capacity;  // entries of a record's frame index; 0 for the directory
  std::shared_ptr<KeptHeader> header;  // a record's; none for the directory
  uint64_t serial;  // tells this mapping from earlier ones at the same address
  // The most entries the index may grow to through this mapping: the
  // importer's mapping of a growable record covers that many from the start
  // (`bytes`); any other mapping stays at `capacity`.
  int32_t limit = 0;
};
std::mutex g_mappingsLock;
std::unordered_map<const void*, Mapping>& mappings() {
  static std::unordered_map<const void*, Mapping> m;
  return m;
}

bool find_mapping(const void* address, Mapping* out) {
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  auto it = mappings().find(address);
  if (it == mappings().end()) return false;
  *out = it->second;
  return true;
}

uint64_t g_mappingSerial = 0;  // under g_mappingsLock

void add_mapping(const void* address, const Mapping& m) {
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  Mapping& kept = mappings()[address];
  kept = m;
  kept.serial = ++g_mappingSerial;
}

bool take_mapping(const void* address, Mapping* out) {
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  auto it = mappings().find(address);
  if (it == mappings().end()) return false;
  *out = it->second;
  mappings().erase(it);
  return true;
}

struct Name {
  char text[160];
};

Name directory_name() {
  Name n;
  MTS_ShmRegionName(n.text, sizeof n.text, -1);
  return n;
}

Name record_name(int32_t recordID) {
  Name n;
  MTS_ShmRegionName(n.text, sizeof n.text, recordID);
  return n;
}

void close_reporting(int fd, const char* reporter, const char* format) {
  if (::close(fd) != 0) PrintLog(reporter, __LINE__, format, fd, errno);
}

// A region may be used only when this user owns it and nobody else may open it.
bool region_is_own(const struct stat& st) {
  return st.st_uid == ::geteuid() && (st.st_mode & 077) == 0 && S_ISREG(st.st_mode);
}

bool report_foreign(int fd, const char* name, const char* reporter) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to fstat(fd=%d). errno=%d\n", fd, errno);
    return true;
  }
  if (region_is_own(st)) return false;
  PrintLog(reporter, __LINE__, "[ERR]shared memory %s is not this user's own (uid=%u mode=%o), not used\n", name,
           static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
  return true;
}

// True when the region behind `fd` no longer has a name.
bool is_unlinked(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && st.st_nlink == 0;
}

// Words for a region that /dev/shm, where the regions are files, cannot take
// (`error` from creating, sizing or filling it): the place (or the file-size
// limit), the cause, the size needed and the room left, with what to do.
// Other failures keep the code's words. `what` names the region.
void report_shm_room(int code, int error, size_t bytes, const char* what = "the record store's directory") {
  if (MTS_SayOutOfDescriptors(error, "a shared-memory region of the record store")) return;
  // Regions are files: the process's file-size limit bounds them too.
  struct rlimit limit;
  if (error == EFBIG && ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    MTS_SetProblem(code,
                   "the file-size limit (ulimit -f) of %llu bytes is too small for the record store: %s needs a "
                   "shared-memory region of %zu bytes; raise the limit, then try again",
                   static_cast<unsigned long long>(limit.rlim_cur), what, bytes);
    return;
  }
  if (error == ENOMEM) {
    char mapping[160];
    std::snprintf(mapping, sizeof mapping, "mapping %s, a shared-memory region of %zu bytes", what, bytes);
    MTS_SayOutOfMemory(mapping, code);
    return;
  }
  const char* todo = nullptr;
  if (error == ENOSPC) todo = "free space in /dev/shm (or mount it larger)";
  else if (error == EROFS) todo = "mount /dev/shm writable";
  else if (error == EACCES || error == EPERM) todo = "let this user create files in /dev/shm";
  else if (error == EDQUOT) todo = "raise this user's quota on /dev/shm";
  if (todo == nullptr) return;
  char room[96] = "";
  struct statvfs fs;
  if (error == ENOSPC && ::statvfs("/dev/shm", &fs) == 0)
    std::snprintf(room, sizeof room, " (%llu bytes free of %llu)",
                  static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize,
                  static_cast<unsigned long long>(fs.f_blocks) * fs.f_frsize);
  char cause[64];
  std::snprintf(cause, sizeof cause, "%s", std::strerror(error));
  cause[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(cause[0])));
  MTS_SetProblem(code, "/dev/shm cannot take the record store's shared-memory region of %zu bytes: %s%s; %s, then "
                 "try again", bytes, cause, room, todo);
}

bool has_size(int fd, size_t bytes, off_t* actual) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *actual = st.st_size;
  return st.st_size >= static_cast<off_t>(bytes);
}

// Writes `bytes` bytes at `offset` of the file open on `fd`, going on after
// a short write: the call that writes nothing says why (errno), as a full
// /dev/shm gives a short count first and ENOSPC only after.
bool write_all(int fd, const void* data, size_t bytes, off_t offset) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (bytes > 0) {
    const ssize_t n = ::pwrite(fd, p, bytes, offset);
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    offset += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

// Gives the region open on `fd` (no larger yet) `bytes` bytes and takes its
// pages now, so that a /dev/shm without room for them fails here (errno
// set), not with SIGBUS or a short write later: one fallocate both sizes and
// reserves (it changes no byte, and a failed one leaves the size as it was).
// Where it is not supported, ftruncate sizes it alone. On failure `*call`
// (when given) names the call that failed, for the log.
bool size_region(int fd, size_t bytes, const char** call = nullptr) {
  if (call != nullptr) *call = "fallocate";
  if (::fallocate(fd, 0, 0, static_cast<off_t>(bytes)) == 0) return true;
  if (errno != EOPNOTSUPP) return false;
  if (call != nullptr) *call = "ftruncate";
  return ::ftruncate(fd, static_cast<off_t>(bytes)) == 0;
}

// Checks the region of mapping `m` at `address` before its bytes are touched.
bool region_intact(const void* address, const Mapping& m, const char* reporter) {
  off_t actual = 0;
  if (has_size(m.fd, m.bytes, &actual)) return true;
  PrintLog(reporter, __LINE__, "[ERR]shared memory at %p has %lld bytes, not %zu: not used\n", address,
           static_cast<long long>(actual), m.bytes);
  MTS_SetProblem(0, "the record store's directory %s was cut short by another process (%lld bytes of %zu)",
                 directory_name().text, static_cast<long long>(actual), m.bytes);
  return false;
}

// The holder lock of a record: shared, on byte 0, tied to the descriptor's
// open file description (dropped by the kernel when the process ends).
struct flock byte0_lock(short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  return fl;
}

bool hold_record(int fd) {
  struct flock fl = byte0_lock(F_RDLCK);
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// True when a holder other than the open file description of `fd` exists.
// When it cannot be told, a holder is assumed.
bool other_holder_exists(int fd) {
  struct flock fl = byte0_lock(F_WRLCK);
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;
  return fl.l_type != F_UNLCK;
}

enum class RecordState { kGone, kDead, kLive, kForeign };

// What stands under record `recordID`'s name: nothing, a region of ours that
// no process holds, one that is held, or one that is not ours.
RecordState record_state(int32_t recordID, ino_t* inode) {
  Name name = record_name(recordID);
  int fd = ::shm_open(name.text, O_RDWR, 0);
  if (fd < 0) return errno == ENOENT ? RecordState::kGone : RecordState::kForeign;
  struct stat st;
  RecordState state = RecordState::kForeign;
  if (::fstat(fd, &st) == 0 && region_is_own(st)) {
    state = other_holder_exists(fd) ? RecordState::kLive : RecordState::kDead;
    if (inode != nullptr) *inode = st.st_ino;
  }
  ::close(fd);
  return state;
}

// The directory's counts are read and written through its file, under the
// lock, on a copy: never through the mapping, which another process may
// shrink.
bool load_directory(const AvchdRecordDirectory* pARec, AvchdRecordDirectory* copy) {
  Mapping m;
  return find_mapping(pARec, &m) && ::pread(m.fd, copy, sizeof *copy, 0) == static_cast<ssize_t>(sizeof *copy);
}

bool store_counts(const AvchdRecordDirectory* pARec, const AvchdRecordDirectory& copy) {
  const size_t bytes = offsetof(AvchdRecordDirectory, lock);  // the lock word is the lock's
  Mapping m;
  return find_mapping(pARec, &m) && ::pwrite(m.fd, &copy, bytes, 0) == static_cast<ssize_t>(bytes);
}

void report_directory_io(const char* reporter, int line) {
  PrintLog(reporter, line, "[ERR]failed to read or write shm %s. errno=%d\n", directory_name().text, errno);
}

uint32_t records_in_use(const AvchdRecordDirectory* dir) {
  uint32_t inUse = 0;
  for (uint32_t count : dir->refCount) inUse += count != 0;
  return inUse;
}

// The record ids whose names exist now, from one listing of the directory
// that holds the shared-memory names, instead of an open per id. False when
// they cannot be found out.
bool named_records(std::bitset<kMTSRecordCount>* named) {
  const Name first = record_name(0);
  const char* base = first.text + 1;  // names in the listing have no '/'
  const char* digits = std::strstr(base, "0000-");
  if (digits == nullptr) return false;
  DIR* d = ::opendir("/dev/shm");
  if (d == nullptr) {
    // No descriptor to spare for the listing (the process at its limit of
    // open files): each name is looked up on its own, which needs none.
    if (errno != EMFILE && errno != ENFILE) return false;
    for (int32_t id = 0; id < kMTSRecordCount; ++id) {
      struct stat st;
      const std::string path = std::string("/dev/shm") + record_name(id).text;
      if (::stat(path.c_str(), &st) == 0) named->set(static_cast<size_t>(id));
      else if (errno != ENOENT) return false;
    }
    return true;
  }
  const size_t head = static_cast<size_t>(digits - base);
  const char* tail = digits + 4;
  while (const struct dirent* e = ::readdir(d)) {
    const char* n = e->d_name;
    if (std::strncmp(n, base, head) != 0) continue;
    const char* at = n + head;
    if (!(std::isdigit(static_cast<unsigned char>(at[0])) && std::isdigit(static_cast<unsigned char>(at[1])) &&
          std::isdigit(static_cast<unsigned char>(at[2])) && std::isdigit(static_cast<unsigned char>(at[3]))) ||
        std::strcmp(at + 4, tail) != 0) {
      continue;
    }
    named->set(static_cast<size_t>(std::atoi(std::string(at, 4).c_str())));
  }
  ::closedir(d);
  return true;
}

// True when no record region has a name. The directory's counts may say no
// record is in use while imports run: another process may have put a copy
// of the directory in its place, or written into it. Their regions tell.
bool no_record_named() {
  std::bitset<kMTSRecordCount> named;
  return named_records(&named) && named.none();
}

// Repairs the directory from what the regions say (lock held): a record no
// process holds is removed and its id freed, a count of 0 under a held record
// becomes 1, and `recordsInUse` is recounted. Ids counted as free are looked
// at too: a process killed after its count fell to 0 but before it removed
// the region leaves a region nobody holds under a free id. Run by every
// claim, so references of processes that died are given back before an id is
// sought, and a directory of garbage turns back into a sound one.
// A record whose region an import of this process made and still maps is
// held: it is not looked at again (a claim among many such records would
// otherwise open every one of them).
void repair_directory(AvchdRecordDirectory* dir, const char* reporter) {
  std::bitset<kMTSRecordCount> named;
  const bool listed = named_records(&named);
  std::unordered_set<std::string> madeHere;
  {
    std::lock_guard<std::mutex> guard(g_mappingsLock);
    for (const auto& it : mappings()) {
      const KeptHeader* h = it.second.header.get();
      if (h != nullptr && h->created) madeHere.insert(h->name);
    }
  }
  for (int32_t id = 0; id < kMTSRecordCount; ++id) {
    uint32_t& count = dir->refCount[id];
    const bool listedName = !listed || named[static_cast<size_t>(id)];
    RecordState state = !listedName                                   ? RecordState::kGone
                        : madeHere.count(record_name(id).text) != 0 ? RecordState::kLive
                                                                    : record_state(id, nullptr);
    if (state == RecordState::kLive) {
      if (count == 0) count = 1;
      continue;
    }
    if (state == RecordState::kDead) {
      Name name = record_name(id);
      if (::shm_unlink(name.text) != 0) {
        PrintLog(reporter, __LINE__, "[ERR]failed to shm_unlink(%s). errno=%d\n", name.text, errno);
      }
    }
    count = 0;
  }
  dir->recordsInUse = records_in_use(dir);
}

// Maps the record region open on `fd`, `limit` entries of it (at least
// `capacity`): past the region's end the mapping is address space only, which
// the region fills as it grows. No byte of it is touched here.
AvchdDataRecord* map_record(int fd, int32_t capacity, std::shared_ptr<KeptHeader> header, int32_t limit = 0) {
  limit = std::max(limit, capacity);
  size_t bytes = MTS_RecordRegionSize(limit);
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  Mapping m{fd, bytes, capacity, std::move(header), 0};
  m.limit = limit;
  add_mapping(p, m);
  return static_cast<AvchdDataRecord*>(p);
}

// The check of a record's header: the file size, the path up to its
// terminator (the whole field when it has none) and the file's identity.
// It is never 0 (its first and last bytes are not): zeroed check bytes
// never pass for a check.
uint32_t header_check(int64_t fileSize, const char* path, uint64_t identity) {
  uint64_t h = MTS_Mix64(static_cast<uint64_t>(fileSize) ^ 0x5851F42D4C957F2Dull);
  const void* end = std::memchr(path, 0, kMTSPathSize);
  const size_t n = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - path)
                                  : static_cast<size_t>(kMTSPathSize);
  for (size_t i = 0; i < n; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, path + i, std::min<size_t>(8, n - i));
    h = MTS_Mix64(h ^ word);
  }
  return static_cast<uint32_t>(MTS_Mix64(h ^ identity) >> 32) | 0x80000001u;
}

// The check of the header a record has before its file is stored.
uint32_t empty_header_check() {
  static const char kNoPath[kMTSPathSize] = {};
  return header_check(0, kNoPath, 0);
}

off_t seal_offset(int32_t capacity) {
  return static_cast<off_t>(kMTSRecordHeaderSize) + static_cast<off_t>(kMTSFrameEntrySize) * capacity;
}

// Reads the header and the file identity of a record of `capacity` entries
// from its region; NULL when the region is too short. The path is kept as
// it stands, terminated or not.
std::shared_ptr<KeptHeader> read_header(int fd, int32_t capacity) {
  auto kept = std::make_shared<KeptHeader>();
  bool read = ::pread(fd, &kept->fileSize, sizeof kept->fileSize, offsetof(AvchdDataRecord, fileSize)) ==
                  static_cast<ssize_t>(sizeof kept->fileSize) &&
              ::pread(fd, kept->path, sizeof kept->path, offsetof(AvchdDataRecord, path)) ==
                  static_cast<ssize_t>(sizeof kept->path) &&
              ::pread(fd, &kept->seal, sizeof kept->seal, seal_offset(capacity)) ==
                  static_cast<ssize_t>(sizeof kept->seal);
  if (!read) return nullptr;
  // Every record carries its checks (the check word is never 0).
  kept->intact = kept->seal.headerCheck == header_check(kept->fileSize, kept->path, kept->seal.fileIdentity);
  return kept;
}

// Writes `bytes` bytes of value `fill` at `offset` of the file open on `fd`.
bool fill_file(int fd, off_t offset, size_t bytes, unsigned char fill) {
  std::vector<unsigned char> chunk(std::min<size_t>(bytes, size_t(1) << 20), fill);
  while (bytes > 0) {
    size_t n = bytes < chunk.size() ? bytes : chunk.size();
    if (!write_all(fd, chunk.data(), n, offset)) return false;
    offset += static_cast<off_t>(n);
    bytes -= n;
  }
  return true;
}

template <class T>
bool write_at(int fd, off_t offset, const T& v) {
  return write_all(fd, &v, sizeof v, offset);
}

// Unmaps a record mapping of this store and closes its descriptor (which
// drops this holder's lock); false (errno set) when unmapping fails.
bool unmap_record(AvchdDataRecord* record) {
  Mapping m;
  if (!take_mapping(record, &m)) {
    errno = EINVAL;
    return false;
  }
  bool unmapped = ::munmap(record, m.bytes) == 0;
  int saved = errno;
  ::close(m.fd);
  errno = saved;
  return unmapped;
}

// Unlinks record `recordID`'s name if it still names the region behind `fd`.
void unlink_record_of(int32_t recordID, int fd, const char* reporter) {
  struct stat own;
  ino_t named = 0;
  if (::fstat(fd, &own) != 0) return;
  RecordState state = record_state(recordID, &named);
  if (state == RecordState::kGone || state == RecordState::kForeign || named != own.st_ino) return;
  Name name = record_name(recordID);
  if (::shm_unlink(name.text) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to shm_unlink(%s). errno=%d\n", name.text, errno);
  }
}

// Drops this user's reference of `recordID` in the directory copy `dir`
// (lock held). When no other process holds the record, its name is unlinked
// and the id given back, what the count says notwithstanding. Returns true
// when no record remains in use, in which case the caller unlinks the
// directory before unlocking.
bool drop_count(AvchdRecordDirectory* dir, int32_t recordID, int fd, const char* reporter) {
  uint32_t& count = dir->refCount[recordID];
  if (fd >= 0 && other_holder_exists(fd)) {
    count = count > 1 ? count - 1 : 1;
  } else {
    count = 0;
    if (fd >= 0) unlink_record_of(recordID, fd, reporter);
  }
  dir->recordsInUse = records_in_use(dir);
  return dir->recordsInUse == 0;
}

// Runs `change` on a copy of the directory mapped at `pARec` and writes
// the counts back (lock held). False, reported, when it cannot be read.
template <class Change>
bool change_directory(const AvchdRecordDirectory* pARec, const char* reporter, Change change) {
  AvchdRecordDirectory dir;
  if (!load_directory(pARec, &dir)) {
    report_directory_io(reporter, __LINE__);
    return false;
  }
  change(&dir);
  if (!store_counts(pARec, dir)) report_directory_io(reporter, __LINE__);
  return true;
}

// drop_count on the directory mapped at `pARec`.
bool drop_reference(const AvchdRecordDirectory* pARec, int32_t recordID, int fd, const char* reporter) {
  bool unused = false;
  change_directory(pARec, reporter,
                   [&](AvchdRecordDirectory* dir) { unused = drop_count(dir, recordID, fd, reporter); });
  return unused;
}

void unlink_directory(const char* reporter) {
  Name name = directory_name();
  if (::shm_unlink(name.text) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to shm_unlink(%s). errno=%d\n", name.text, errno);
  }
}

void unmap_directory(AvchdRecordDirectory* pARec, const char* reporter) {
  Mapping m;
  bool known = take_mapping(pARec, &m);
  if (known) OSSpinLockUnbindFile(&pARec->lock);
  if (::munmap(pARec, kMTSDirectorySize) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to munmap(pARec=%p). errno=%d\n",
             static_cast<void*>(pARec), errno);
  }
  if (known) ::close(m.fd);
}

// Opens the directory (creating it when `create` and none exists), gives a
// short one its full size and maps it. Only a directory of this user that no
// one else may open is used; an importer replaces one of its own with wider
// access. The descriptor stays open with the mapping.
int open_directory(bool create, const char* reporter, AvchdRecordDirectory** out, int* outFd) {
  const Name name = directory_name();
  for (int tries = 0;; ++tries) {
    bool created = false;
    int fd = -1;
    if (create) {
      fd = ::shm_open(name.text, O_RDWR | O_CREAT | O_EXCL, kRegionMode);
      created = fd >= 0;
      if (fd < 0 && errno != EEXIST) {
        const int error = errno;
        PrintLog(reporter, __LINE__, "[ERR]failed to shm_open(%s). errno=%d\n", name.text, error);
        report_shm_room(kMTSErrOpen, error, kMTSDirectorySize);
        return kMTSErrOpen;
      }
      // The umask may have taken bits away: the owner needs both.
      if (created) ::fchmod(fd, kRegionMode);
    }
    if (!created) {
      fd = ::shm_open(name.text, O_RDWR, 0);
      // Removed between the two opens: create it afresh.
      if (fd < 0 && errno == ENOENT && create && tries < kLiveDirectoryTries) continue;
      if (fd < 0) {
        const int error = errno;
        PrintLog(reporter, __LINE__, "[ERR]failed to shm_open(%s). errno=%d\n", name.text, error);
        MTS_SayOutOfDescriptors(error, "the record store's directory (shared memory)");
        if (error == ENOENT) {
          MTS_SetProblem(kMTSErrOpen,
                         "the record store's directory (shared memory %s) is gone: no import is running, or "
                         "another process removed it; import the recording again",
                         name.text);
        }
        return kMTSErrOpen;
      }
      struct stat st;
      if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0 && create &&
          tries < kLiveDirectoryTries) {
        // Ours, but others may have opened it: start a new one.
        PrintLog(reporter, __LINE__, "[ERR]shared memory %s is open to other users (mode=%o): replaced\n",
                 name.text, static_cast<unsigned>(st.st_mode & 07777));
        ::close(fd);
        ::shm_unlink(name.text);
        continue;
      }
      if (report_foreign(fd, name.text, reporter)) {
        ::close(fd);
        return kMTSErrOpen;
      }
    }

    // New, or left short by a creator that died before sizing it.
    // Its pages are taken now, so that a full /dev/shm fails here and not
    // with SIGBUS at the first write through the mapping (size_region).
    off_t size = 0;
    const char* call = nullptr;
    if (!has_size(fd, kMTSDirectorySize, &size) && !size_region(fd, kMTSDirectorySize, &call)) {
      const int error = errno;  // before the log's write, which may fail and set its own
      PrintLog(reporter, __LINE__, "[ERR]failed to %s(fd=%d). errno=%d\n", call, fd, error);
      report_shm_room(kMTSErrMap, error, kMTSDirectorySize);
      close_reporting(fd, reporter, "[ERR]failed to close shm(fd=%d). errno=%d\n");
      if (created) ::shm_unlink(name.text);
      return kMTSErrMap;
    }
    void* p = ::mmap(nullptr, kMTSDirectorySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      const int error = errno;
      report_shm_room(kMTSErrMap, error, kMTSDirectorySize);
      PrintLog(reporter, __LINE__,
               created ? "[ERR]failed to mmap(fd=%d). errno=%d(iRet=0)\n"
                       : "[ERR]failed to mmap(fd=%d). errno=%d(iRet!=0)\n",
               fd, error);
      close_reporting(fd, reporter, "[ERR]failed to close shm(fd=%d). errno=%d\n");
      if (created) ::shm_unlink(name.text);
      return kMTSErrMap;
    }
    // A new region is zero-filled by its sizing, its lock free: writing into it
    // now could clobber a process that has opened and locked it meanwhile.
    add_mapping(p, Mapping{fd, static_cast<size_t>(kMTSDirectorySize), 0, nullptr, 0});
    *out = static_cast<AvchdRecordDirectory*>(p);
    OSSpinLockBindFile(&(*out)->lock, fd, offsetof(AvchdRecordDirectory, lock));
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
int lock_live_directory(bool create, const char* reporter, AvchdRecordDirectory** out) {
  for (int tries = 0;; ++tries) {
    AvchdRecordDirectory* pARec = nullptr;
    int fd = -1;
    int err = open_directory(create, reporter, &pARec, &fd);
    if (err != 0) return err;
    if (!MTS_LockLock(&pARec->lock)) {
      unmap_directory(pARec, reporter);
      return kMTSErrBusy;
    }
    if (!is_unlinked(fd)) {
      // Shrunk by another process meanwhile: its counts are lost, and the
      // next claim repairs them; it must have its size before they are read,
      // sized as a new one is, with the same words when there is no room.
      off_t size = 0;
      const char* call = nullptr;
      if (has_size(fd, kMTSDirectorySize, &size) || size_region(fd, kMTSDirectorySize, &call)) {
        *out = pARec;
        return 0;
      }
      const int error = errno;
      PrintLog(reporter, __LINE__, "[ERR]failed to %s(fd=%d). errno=%d\n", call, fd, error);
      report_shm_room(kMTSErrMap, error, kMTSDirectorySize);
      MTS_LockUnlock(&pARec->lock);
      unmap_directory(pARec, reporter);
      return kMTSErrMap;
    }
    // The last user removed it while we waited for the lock.
    MTS_LockUnlock(&pARec->lock);
    unmap_directory(pARec, reporter);
    if (tries >= kLiveDirectoryTries) {
      PrintLog(reporter, __LINE__, "[ERR]failed to shm_open(%s). errno=%d\n", directory_name().text, ENOENT);
      return kMTSErrOpen;
    }
  }
}

bool prefix_is_valid(const char* prefix) {
  size_t n = 0;
  for (; prefix[n] != '\0'; ++n) {
    char c = prefix[n];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-';
    if (!ok || n >= 64) return false;
  }
  return true;
}

uint64_t nanoseconds(const struct timespec& t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// The identity of the file whose status is `st`: device, inode, modification
// and change time folded into one word, never 0.
uint64_t identity_of(const struct stat& st) {
  uint64_t h = MTS_Mix64(nanoseconds(st.st_ctim));
  h = MTS_Mix64(h ^ nanoseconds(st.st_mtim));
  h = MTS_Mix64(h ^ static_cast<uint64_t>(st.st_ino));
  h = MTS_Mix64(h ^ static_cast<uint64_t>(st.st_dev));
  return h != 0 ? h : 1;
}

}  // namespace

bool MTS_ShmRegionName(char* out, size_t size, int32_t recordID) {
  const char* prefix = std::getenv(MTS_SHM_TEST_PREFIX_VARIABLE);
  if (prefix == nullptr || !prefix_is_valid(prefix)) prefix = "";
  char base[32];
  if (recordID < 0) {
    std::snprintf(base, sizeof base, "%s", MTS_SHM_DIRECTORY_NAME);
  } else {
    std::snprintf(base, sizeof base, MTS_SHM_RECORD_NAME_FORMAT, static_cast<int>(recordID));
  }
  int n = std::snprintf(out, size, "/%s%s" MTS_SHM_USER_SUFFIX_FORMAT, prefix, base + 1,
                        static_cast<unsigned>(::geteuid()));
  return n > 0 && static_cast<size_t>(n) < size;
}

namespace {

// The capacity of the index behind record mapping `m` at `pRec` now (store
// lock held), with its head and tail into `*ends`, all three in one read:
// the importer grows an index by writing the larger table and then its
// capacity into the header. A capacity is taken only when it is larger than
// the one last found and within what the recording can need; the mapping
// keeps it. A region that does not hold it gives short reads of the table,
// which the frame index reports.
int32_t current_capacity(const AvchdDataRecord* pRec, const Mapping& m, MTS_IndexEnds* ends) {
  int32_t words[3];  // capacity, head, tail
  static_assert(offsetof(AvchdDataRecord, head) == offsetof(AvchdDataRecord, capacity) + 4 &&
                    offsetof(AvchdDataRecord, tail) == offsetof(AvchdDataRecord, capacity) + 8,
                "capacity, head and tail read as one");
  if (m.header == nullptr ||
      ::pread(m.fd, words, sizeof words, offsetof(AvchdDataRecord, capacity)) != static_cast<ssize_t>(sizeof words)) {
    return m.capacity;
  }
  *ends = MTS_IndexEnds{true, words[1], words[2]};
  const int32_t stored = words[0];
  if (stored <= m.capacity || stored > std::max(m.limit, MTS_FrameIndexBound(m.header->fileSize))) return m.capacity;
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  auto it = mappings().find(pRec);
  if (it != mappings().end() && it->second.serial == m.serial) it->second.capacity = stored;
  return stored;
}

}  // namespace

int MTS_LockAvchdStore(AvchdRecordDirectory* pARec, const AvchdDataRecord* pRec, int32_t* outCapacity,
                       int* outRecordFd, MTS_IndexEnds* outEnds) {
  Mapping dir, rec;
  bool known;
  {
    std::lock_guard<std::mutex> guard(g_mappingsLock);
    auto d = mappings().find(pARec);
    auto r = mappings().find(pRec);
    known = d != mappings().end() && r != mappings().end();
    if (known) {
      dir = d->second;
      rec = r->second;
    }
  }
  if (!known) {
    MTS_LOG("[ERR]no store mapping (pARec=%p, pRec=%p)\n", static_cast<void*>(pARec),
            static_cast<const void*>(pRec));
    return kMTSErrParam;
  }
  if (!MTS_LockLock(&pARec->lock)) return kMTSErrBusy;
  // The lock word is the directory's last word: taking the lock read it
  // through the file, so the directory still has its size unless that read
  // fell short. The record is reached through its file only: a short read or
  // write tells that it shrank (the frame index reports it).
  if (!OSSpinLockBoundWordReached(&pARec->lock) && !region_intact(pARec, dir, __func__)) {
    MTS_LockUnlock(&pARec->lock);
    return kMTSErrMap;
  }
  MTS_IndexEnds ends;
  *outCapacity = current_capacity(pRec, rec, &ends);
  *outRecordFd = rec.fd;
  if (outEnds != nullptr) *outEnds = ends;
  return 0;
}

namespace {

// Says that the header of the record behind `header` no longer holds what
// the import wrote; its result code.
int report_damaged_header(const KeptHeader& header, const char* reporter) {
  char path[4 * kMTSPathSize];
  MTS_EscapePath(header.path, path, sizeof path);
  PrintLog(reporter, __LINE__,
           "[ERR]record of file %.1000s changed since the import (it no longer holds what the import wrote): "
           "not read\n",
           path);
  return MTS_SayRecordDamaged("it no longer tells whether the recording %.480s is the one imported; import it again",
                              path);
}

// Every record carries its checks: a check word of 0 fails like any other.
bool header_damaged(const KeptHeader& header) { return header.altered || !header.intact; }

}  // namespace

int MTS_CheckAvchdDataRecordHeader(const AvchdDataRecord* pRec, const char* reporter) {
  Mapping rec;
  if (!find_mapping(pRec, &rec) || rec.header == nullptr) {
    PrintLog(reporter, __LINE__, "[ERR]%p is no shared memory mapping of this store\n", static_cast<const void*>(pRec));
    return kMTSErrMap;
  }
  return header_damaged(*rec.header) ? report_damaged_header(*rec.header, reporter) : 0;
}

int MTS_CheckAvchdDataRecordFile(const AvchdDataRecord* pRec, int fd, const char* reporter) {
  Mapping rec;
  if (!find_mapping(pRec, &rec) || rec.header == nullptr) {
    PrintLog(reporter, __LINE__, "[ERR]%p is no shared memory mapping of this store\n", static_cast<const void*>(pRec));
    return kMTSErrMap;
  }
  if (header_damaged(*rec.header)) return report_damaged_header(*rec.header, reporter);
  const uint64_t kept = rec.header->seal.fileIdentity;
  if (kept == 0) return 0;  // none recorded
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    PrintLog(reporter, __LINE__, "[ERR]failed to fstat(fd=%d). errno=%d\n", fd, errno);
    return kMTSErrFileChanged;
  }
  SeenFile seen;
  {
    std::lock_guard<std::mutex> guard(g_mappingsLock);
    seen = rec.header->seen;
  }
  bool same;
  if (seen.valid) {
    // Once found unchanged, the file open here is compared with what was
    // seen then. Removing its name (a newer file put in its place) moves
    // its change time and nothing else: a file without a name keeps being
    // served while its contents' size and time stay.
    same = st.st_dev == seen.device && st.st_ino == seen.inode && st.st_size == seen.size &&
           nanoseconds(st.st_mtim) == seen.mtimeNs && (nanoseconds(st.st_ctim) == seen.ctimeNs || st.st_nlink == 0);
  } else {
    same = identity_of(st) == kept && static_cast<int64_t>(st.st_size) == rec.header->fileSize;
    if (same) {
      std::lock_guard<std::mutex> guard(g_mappingsLock);
      rec.header->seen = SeenFile{true, st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim),
                                  nanoseconds(st.st_ctim)};
    }
  }
  if (same) return 0;
  char path[4 * kMTSPathSize];
  MTS_EscapePath(rec.header->path, path, sizeof path);
  PrintLog(reporter, __LINE__, "[ERR]file %.1023s changed since its import (size %lld, was %lld; inode %llu): not read\n",
           path, static_cast<long long>(st.st_size), static_cast<long long>(rec.header->fileSize),
           static_cast<unsigned long long>(st.st_ino));
  MTS_SetProblem(kMTSErrFileChanged,
                 "the recording %.600s changed after it was imported (now %lld bytes, %lld when imported; written "
                 "or replaced since): import it again",
                 path, static_cast<long long>(st.st_size), static_cast<long long>(rec.header->fileSize));
  return kMTSErrFileChanged;
}

int32_t MTS_MappedCapacity(const AvchdDataRecord* pRec) {
  Mapping m;
  return find_mapping(pRec, &m) && m.capacity > 0 ? m.capacity : -1;
}

int32_t MTS_FrameIndexLimit(const AvchdDataRecord* pRec) {
  Mapping m;
  return find_mapping(pRec, &m) && m.capacity > 0 ? std::max(m.capacity, m.limit) : -1;
}

int MTS_GrowRecordRegion(const AvchdDataRecord* pRec, int32_t capacity) {
  Mapping m;
  if (!find_mapping(pRec, &m) || m.header == nullptr || capacity <= m.capacity || capacity > m.limit) {
    MTS_LOG("[ERR]frame index of %p cannot grow to %d entries\n", static_cast<const void*>(pRec),
            static_cast<int>(capacity));
    return kMTSErrParam;
  }
  const size_t bytes = MTS_RecordRegionSize(capacity);
  if (size_region(m.fd, bytes)) return 0;
  const int error = errno;
  MTS_LOG("[ERR]failed to grow shm(fd=%d) to %zu bytes. errno=%d\n", m.fd, bytes, error);
  MTS_ShrinkRecordRegion(pRec, m.capacity);
  report_shm_room(kMTSErrMap, error, bytes, kIndexWords);
  return kMTSErrMap;
}

void MTS_ShrinkRecordRegion(const AvchdDataRecord* pRec, int32_t capacity) {
  Mapping m;
  if (find_mapping(pRec, &m) && ::ftruncate(m.fd, static_cast<off_t>(MTS_RecordRegionSize(capacity))) != 0) {
    MTS_LOG("[ERR]failed to ftruncate(fd=%d). errno=%d\n", m.fd, errno);
  }
}

namespace {

// Length of the well-formed UTF-8 sequence of a printable character at `p`
// (a lead byte of 0x80 or above), 0 when it is none: broken, overlong, a
// surrogate, past U+10FFFF, or a C1 control.
size_t utf8_printable(const unsigned char* p) {
  size_t n = *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC2 ? 2 : 0;
  if (n == 0 || *p > 0xF4) return 0;
  uint32_t c = *p & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[i] & 0x3F);
  }
  const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c < 0xA0) return 0;
  return n;
}

}  // namespace

void MTS_EscapePath(const char* path, char* out, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  size_t n = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(path);
  while (*p != 0 && n + 5 <= size) {
    const size_t text = *p >= 0x80 ? utf8_printable(p) : (*p >= 0x20 && *p < 0x7F && *p != '\\') ? 1 : 0;
    if (text > 0) {
      if (n + text + 1 > size) break;
      std::memcpy(out + n, p, text);
      n += text;
      p += text;
      continue;
    }
    out[n++] = '\\';
    if (*p == '\\') {
      out[n++] = '\\';
    } else {
      out[n++] = 'x';
      out[n++] = kHex[*p >> 4];
      out[n++] = kHex[*p & 15];
    }
    ++p;
  }
  if (size > 0) out[n] = '\0';
}

int MTS_SayRecordDamaged(const char* detailFormat, ...) {
  char detail[512];
  va_list args;
  va_start(args, detailFormat);
  std::vsnprintf(detail, sizeof detail, detailFormat, args);
  va_end(args);
  MTS_SetProblem(kMTSErrFileChanged,
                 "the record of this import in the record store (shared memory) was changed or damaged after the "
                 "import: %s",
                 detail);
  return kMTSErrFileChanged;
}

bool MTS_RecordMapping(const AvchdDataRecord* pRec, int* outFd, uint64_t* outSerial) {
  Mapping m;
  if (!find_mapping(pRec, &m) || m.header == nullptr) return false;
  *outFd = m.fd;
  *outSerial = m.serial;
  return true;
}

int64_t MTS_RecordFileSize(const AvchdDataRecord* pRec) {
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  auto it = mappings().find(pRec);
  return it != mappings().end() && it->second.header != nullptr ? it->second.header->fileSize : -1;
}

const char* MTS_RecordPath(const AvchdDataRecord* pRec) {
  std::lock_guard<std::mutex> guard(g_mappingsLock);
  auto it = mappings().find(pRec);
  // The header lives as long as the mapping.
  return it != mappings().end() && it->second.header != nullptr ? it->second.header->path : nullptr;
}

namespace {

// When an import of this process made the record named `name` and still
// maps it, but the name now leads to another region (another process put
// one in its place), the import's own region in a new open file description,
// with its capacity and kept header (reported); else -1, with `*namedIsOwn`
// telling whether the name leads to such an import's region (then `*header`
// is the import's kept header).
int open_created_here(const Name& name, int32_t* capacity, std::shared_ptr<KeptHeader>* header,
                      bool* namedIsOwn, const char* reporter) {
  *namedIsOwn = false;
  int own = -1;
  int32_t ownCapacity = 0;
  std::shared_ptr<KeptHeader> ownHeader;
  {
    std::lock_guard<std::mutex> guard(g_mappingsLock);
    for (const auto& it : mappings()) {
      const Mapping& m = it.second;
      if (m.header != nullptr && m.header->created && std::strcmp(m.header->name, name.text) == 0) {
        own = m.fd;
        ownCapacity = m.capacity;
        ownHeader = m.header;
        break;
      }
    }
  }
  if (own < 0) return -1;
  // Only when the name leads to another region now: otherwise the region is
  // reached by its name as any reader reaches it.
  struct stat mine, named;
  int byName = ::shm_open(name.text, O_RDONLY, 0);
  const bool both = byName >= 0 && ::fstat(own, &mine) == 0 && ::fstat(byName, &named) == 0;
  if (byName >= 0) ::close(byName);
  if (!both) return -1;
  *namedIsOwn = named.st_ino == mine.st_ino && named.st_dev == mine.st_dev;
  if (*namedIsOwn) {
    *header = std::move(ownHeader);  // what the import wrote, to compare with the region
    return -1;
  }
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", own);
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  PrintLog(reporter, __LINE__,
           "[ERR]shared memory %s is no longer the region its import made (another process put one in its place): "
           "the import's own region is read\n",
           name.text);
  *capacity = ownCapacity;
  *header = std::move(ownHeader);
  return fd;
}

// The claim of MTS_GetOneAvchdDataRecord on the directory copy `dir`.
int claim_record(AvchdRecordDirectory* dir, AvchdDataRecord** outRecord, uint32_t* outRecordID,
                 int32_t capacity, int32_t limit) {
  static const char kReporter[] = "MTS_GetOneAvchdDataRecord";
  // References of processes that died are given back first.
  repair_directory(dir, kReporter);

  // The lowest free id whose name can be created afresh. A name left by a
  // dead import is removed; one still held (its directory entry was lost) is
  // counted again and passed over, as is one that is not ours.
  int32_t id = 0;
  int fd = -1;
  Name name;
  for (; id < kMTSRecordCount; ++id) {
    if (dir->refCount[id] != 0) continue;
    name = record_name(id);
    fd = ::shm_open(name.text, O_RDWR | O_CREAT | O_EXCL, kRegionMode);
    if (fd < 0 && errno == EEXIST) {
      RecordState state = record_state(id, nullptr);
      if (state == RecordState::kLive) {
        dir->refCount[id] = 1;
        ++dir->recordsInUse;
        continue;
      }
      if (state == RecordState::kDead) ::shm_unlink(name.text);
      fd = ::shm_open(name.text, O_RDWR | O_CREAT | O_EXCL, kRegionMode);
      if (fd < 0 && errno == EEXIST) {
        PrintLog(kReporter, __LINE__, "[ERR]shared memory %s is not this user's own: passed over\n", name.text);
        continue;
      }
    }
    if (fd < 0) {
      const int error = errno;
      PrintLog(kReporter, __LINE__, "[ERR]failed to shm_open(%s). errno=%d\n", name.text, error);
      report_shm_room(kMTSErrOpen, error, MTS_RecordRegionSize(capacity), kIndexWords);
      return kMTSErrOpen;
    }
    break;
  }
  if (id == kMTSRecordCount) {
    PrintLog(kReporter, __LINE__, "[ERR]All table FULL\n");
    return kMTSErrNoFreeId;
  }
  ::fchmod(fd, kRegionMode);
  dir->refCount[id] = 1;
  ++dir->recordsInUse;

  size_t size = MTS_RecordRegionSize(capacity);
  int err = !hold_record(fd) ? errno : !size_region(fd, size) ? errno : 0;
  // The new region is filled through its file, every byte of it (its pages
  // are taken already; the index is sized to what the recording holds, so
  // its entries touch every page anyway): index entries all 0xFF (every key
  // and link -1), header and spare bytes zero, head -1.
  if (err == 0) {
    const int32_t emptyHead[2] = {-1, 0};
    bool filled = fill_file(fd, 0, kMTSRecordHeaderSize, 0) &&
                  fill_file(fd, kMTSRecordHeaderSize, static_cast<size_t>(kMTSFrameEntrySize) * capacity, 0xFF) &&
                  fill_file(fd, seal_offset(capacity), kMTSFrameEntrySize, 0) &&
                  write_at(fd, seal_offset(capacity), empty_header_check()) &&
                  write_at(fd, offsetof(AvchdDataRecord, capacity), capacity) &&
                  write_at(fd, offsetof(AvchdDataRecord, head), emptyHead);
    if (!filled) err = errno != 0 ? errno : EIO;
  }
  auto header = std::make_shared<KeptHeader>();
  header->created = true;
  header->seal.headerCheck = empty_header_check();
  header->intact = true;
  std::snprintf(header->name, sizeof header->name, "%s", name.text);
  AvchdDataRecord* record = err == 0 ? map_record(fd, capacity, header, limit) : nullptr;
  if (record == nullptr) {
    if (err == 0) err = errno;  // the mapping's
    PrintLog(kReporter, __LINE__, "[ERR]failed to mmap(fd=%d). errno=%d\n", fd, err);
    report_shm_room(kMTSErrMap, err, size, kIndexWords);
    close_reporting(fd, kReporter, "[ERR]failed to close shm(fd=%d). errno=%d\n");
    ::shm_unlink(name.text);
    drop_count(dir, id, -1, kReporter);
    return kMTSErrMap;
  }

  *outRecord = record;
  *outRecordID = static_cast<uint32_t>(id);
  return 0;
}

}  // namespace

int MTS_GetOneAvchdDataRecord(AvchdRecordDirectory* pARec, AvchdDataRecord** outRecord,
                              uint32_t* outRecordID, int32_t capacity, int32_t limit) {
  static const char kReporter[] = "MTS_GetOneAvchdDataRecord";
  if (pARec == nullptr) {
    PrintLog(kReporter, __LINE__, "[ERR]NO pARec=%p\n", static_cast<void*>(pARec));
    return kMTSErrNotFound;
  }
  if (capacity < 1) {
    PrintLog(kReporter, __LINE__, "[ERR]Illegal frame index capacity=%d\n", static_cast<int>(capacity));
    return kMTSErrParam;
  }
  // Even a failed claim may have repaired the counts: they are written back.
  int err = kMTSErrMap;
  change_directory(pARec, kReporter, [&](AvchdRecordDirectory* dir) {
    err = claim_record(dir, outRecord, outRecordID, capacity, limit);
  });
  return err;
}

int MTS_CreateAvchdDataRecord(uint32_t* outRecordID, AvchdRecordDirectory** outDirectory,
                              AvchdDataRecord** outRecord, int64_t fileSize, int32_t capacity,
                              MTS_RecordPathSource pathSource, void* context, bool growable) {
  static const char kReporter[] = "MTS_SetDataHandler";
  AvchdRecordDirectory* pARec = nullptr;
  int err = lock_live_directory(true, kReporter, &pARec);
  if (err != 0) return err;

  uint32_t id = 0;
  AvchdDataRecord* pRec = nullptr;
  const int32_t limit = growable ? std::max(capacity, MTS_FrameIndexBound(fileSize)) : capacity;
  err = MTS_GetOneAvchdDataRecord(pARec, &pRec, &id, capacity, limit);
  if (err != 0) {
    PrintLog(kReporter, __LINE__, "[ERR]failed to MTS_GetOneAvchdDataRecord: err=%d.\n", err);
  }

  // The header is made here, then written through the region's file and
  // kept in this process.
  auto header = std::make_shared<KeptHeader>();
  Mapping m{};
  if (err == 0) {
    find_mapping(pRec, &m);
    std::memset(header.get(), 0, sizeof *header);
    header->created = true;
    std::memcpy(header->name, m.header->name, sizeof header->name);
    err = pathSource(context, header->path, kMTSPathSize);
    header->path[kMTSPathSize - 1] = '\0';
  }
  if (err == 0) {
    header->fileSize = fileSize;
    // The file's identity, so that readers can tell when it is replaced.
    struct stat st;
    if (::stat(header->path, &st) == 0) header->seal.fileIdentity = identity_of(st);
    header->seal.headerCheck = header_check(header->fileSize, header->path, header->seal.fileIdentity);
    header->intact = true;
    if (!write_at(m.fd, offsetof(AvchdDataRecord, fileSize), header->fileSize) ||
        !write_at(m.fd, offsetof(AvchdDataRecord, path), header->path) ||
        !write_at(m.fd, seal_offset(capacity), header->seal)) {  // the index is still empty
      MTS_LOG("[ERR]failed to write shm(fd=%d). errno=%d\n", m.fd, errno);
      err = kMTSErrMap;
    }
  }
  if (err != 0 && pRec != nullptr) {
    // Give the id back: nothing of a failed creation stays behind.
    drop_reference(pARec, static_cast<int32_t>(id), m.fd, kReporter);
    unmap_record(pRec);
  }
  AvchdRecordDirectory now;
  if (err != 0) {
    if (load_directory(pARec, &now) && now.recordsInUse == 0 && no_record_named()) unlink_directory(kReporter);
    MTS_LockUnlock(&pARec->lock);
    unmap_directory(pARec, kReporter);
    return err;
  }
  {
    std::lock_guard<std::mutex> guard(g_mappingsLock);
    mappings()[pRec].header = std::move(header);
  }
  MTS_LockUnlock(&pARec->lock);
  *outRecordID = id;
  *outDirectory = pARec;
  *outRecord = pRec;
  return 0;
}

int MTS_MapAndLockAvchdRecordDirectory(AvchdRecordDirectory** outDirectory, const char* reporter) {
  return lock_live_directory(false, reporter, outDirectory);
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
  AvchdRecordDirectory dir;
  if (!load_directory(pARec, &dir)) {
    report_directory_io(__func__, __LINE__);
    return kMTSErrMap;
  }
  uint32_t count = dir.refCount[recordID];
  Name name = record_name(recordID);
  int32_t capacity = 0;
  std::shared_ptr<KeptHeader> header;
  // When the import that made the record runs in this process, its own
  // region is read, whatever the name leads to now.
  bool namedIsOwn = false;
  int fd = open_created_here(name, &capacity, &header, &namedIsOwn, __func__);
  // (A directory that another process put in place of the one the import
  // counted in may not count it; the import's region says more.)
  const bool counted = count != 0 && count != UINT32_MAX;
  if (fd < 0 && !namedIsOwn && !counted) {
    MTS_LOG("[ERR]Uninitialized AvchdDataRecord\n");
    MTS_SetProblem(kMTSErrParam,
                   "the record store's directory (shared memory) holds no record %d: another process replaced or "
                   "damaged it; import the recording again",
                   static_cast<int>(recordID));
    return kMTSErrParam;
  }
  if (fd < 0) {
    fd = ::shm_open(name.text, O_RDWR, 0);
    if (fd < 0) {
      const int error = errno;
      MTS_LOG("[ERR]failed to shm_open(%s). errno=%d\n", name.text, error);
      if (MTS_SayOutOfDescriptors(error, "the frame index of this import (shared memory)")) return kMTSErrOpen;
      MTS_SetProblem(kMTSErrOpen,
                     error == ENOENT ? "the frame index of this import (shared memory %s) was removed by another "
                                       "process: import the recording again"
                                     : "the frame index of this import (shared memory %s) cannot be opened",
                     name.text);
      return kMTSErrOpen;
    }
    if (report_foreign(fd, name.text, __func__)) {
      ::close(fd);
      return kMTSErrOpen;
    }
    // An import holds its record as long as it lives, and so does every
    // reader: a region nobody holds is a copy put in its place, or what an
    // import that ended left. Its index is not the import's.
    if (!other_holder_exists(fd)) {
      MTS_LOG("[ERR]shared memory %s is held by no import (replaced, or left by an import that ended): not used\n",
              name.text);
      MTS_SetProblem(kMTSErrOpen,
                     "the frame index of this import (shared memory %s) is held by no import: another process "
                     "replaced it, or the import ended; import the recording again",
                     name.text);
      ::close(fd);
      return kMTSErrOpen;
    }
    // The capacity comes from another process: it must be positive and the
    // region must hold that many entries.
    struct stat st;
    bool sized = ::fstat(fd, &st) == 0 && st.st_size >= kMTSRecordFixedSize &&
                 ::pread(fd, &capacity, sizeof capacity, offsetof(AvchdDataRecord, capacity)) ==
                     static_cast<ssize_t>(sizeof capacity);
    std::shared_ptr<KeptHeader> written = std::move(header);  // by an import of this process
    if (sized && capacity >= 1 && MTS_RecordRegionSize(capacity) <= static_cast<size_t>(st.st_size)) {
      header = read_header(fd, capacity);
    }
    if (header != nullptr && written != nullptr) {
      header->altered = header->fileSize != written->fileSize ||
                        std::memcmp(header->path, written->path, sizeof header->path) != 0 ||
                        header->seal.headerCheck != written->seal.headerCheck ||
                        header->seal.fileIdentity != written->seal.fileIdentity;
    }
    if (header == nullptr) {
      MTS_LOG("[ERR]damaged AvchdDataRecord(recordID=%d, capacity=%d)\n",
              static_cast<int>(recordID), static_cast<int>(capacity));
      MTS_SetProblem(0,
                     "the frame index of this import (shared memory %s) was cut short or overwritten by another "
                     "process: import the recording again",
                     name.text);
      close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");
      return kMTSErrParam;
    }
  }
  if (!hold_record(fd)) {
    MTS_LOG("[ERR]failed to lock shm(fd=%d). errno=%d\n", fd, errno);
    close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");
    return kMTSErrOpen;
  }
  AvchdDataRecord* record = map_record(fd, capacity, std::move(header));
  if (record == nullptr) {
    const int error = errno;
    report_shm_room(kMTSErrMap, error, MTS_RecordRegionSize(capacity), kIndexWords);
    MTS_LOG("[ERR]failed to mmap(fd=%d). errno=%d\n", fd, error);
    close_reporting(fd, __func__, "[ERR]failed to close shm(fd=%d). errno=%d\n");
    return kMTSErrMap;
  }
  dir.refCount[recordID] = counted ? count + 1 : 2;
  if (!store_counts(pARec, dir)) report_directory_io(__func__, __LINE__);
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
  // Entries still held in this process go in first.
  MTS_CloseFrameIndex(pRec);
  // A directory that shrank or a lock not taken leaves the counts alone: the
  // holder lock dropped below is what decides, and the next claim repairs
  // the counts.
  Mapping rec, dir;
  int fd = find_mapping(pRec, &rec) ? rec.fd : -1;
  if (!find_mapping(pARec, &dir)) {
    MTS_LOG("[ERR]%p is no shared memory mapping of this store\n", static_cast<void*>(pARec));
  } else if (MTS_LockLock(&pARec->lock)) {
    if (region_intact(pARec, dir, __func__)) {
      bool directoryUnused = drop_reference(pARec, recordID, fd, __func__);
      if (directoryUnused && no_record_named()) unlink_directory(__func__);
    }
    MTS_LockUnlock(&pARec->lock);
  }

  // This caller is done with both regions, whether or not others still use
  // them.
  if (!unmap_record(pRec)) {
    MTS_LOG("[ERR]failed to munmap(pRec=%p). errno=%d\n", static_cast<void*>(pRec), errno);
  }
  unmap_directory(pARec, __func__);
  return 0;
}

int MTS_SetDataHandler(UInt32* outRecordID, AvchdRecordDirectory** outDirectory, AvchdDataRecord** outRecord,
                       ComponentInstance dataHandler, SInt64 fileSize, SInt32 capacity, bool growable) {
  return MTS_CreateAvchdDataRecord(outRecordID, outDirectory, outRecord, fileSize, capacity, data_handler_path,
                                   dataHandler, growable);
}
