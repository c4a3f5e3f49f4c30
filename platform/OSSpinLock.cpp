#include "OSSpinLock.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>

namespace {

// Linux never hands out process ids above this (PID_MAX_LIMIT on 64-bit).
constexpr int32_t kMaxProcessId = 4 * 1024 * 1024;

constexpr int64_t kAliveCheckNs = 1000000;     // ask whether the holder lives, every 1 ms
constexpr int64_t kMapsCheckAfterNs = 20000000; // look at its memory map after 20 ms
constexpr int64_t kMapsCheckEveryNs = 50000000; // and then every 50 ms
constexpr int64_t kYieldForNs = 1000000;        // yield for 1 ms, then sleep between looks

// This process's id, asked of the kernel once and again in each forked child.
std::atomic<int32_t> g_ownId{0};

void forget_own_id() { g_ownId.store(0, std::memory_order_relaxed); }

int32_t own_id() {
  int32_t id = g_ownId.load(std::memory_order_relaxed);
  if (id != 0) return id;
  static const bool kForgottenInChildren = [] { return ::pthread_atfork(nullptr, nullptr, forget_own_id) == 0; }();
  id = static_cast<int32_t>(::getpid());
  if (kForgottenInChildren) g_ownId.store(id, std::memory_order_relaxed);
  return id;
}

// Words this process holds now (any thread). A word that holds this
// process's id while the count is 0 was left by an earlier process that had
// the same id.
int g_heldHere = 0;

int64_t now_ns() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool swap_word(volatile OSSpinLock* lock, int32_t expected, int32_t desired) {
  return __atomic_compare_exchange_n(const_cast<OSSpinLock*>(lock), &expected, desired, false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

bool take_word(volatile OSSpinLock* lock, int32_t expected, int32_t self) {
  if (!swap_word(lock, expected, self)) return false;
  __atomic_add_fetch(&g_heldHere, 1, __ATOMIC_RELAXED);
  return true;
}

int32_t load_word(const volatile OSSpinLock* lock) {
  return __atomic_load_n(const_cast<const OSSpinLock*>(lock), __ATOMIC_RELAXED);
}

// The file behind one line of a memory map: "start-end perms offset dev inode path".
struct MappedFile {
  uintptr_t start = 0, end = 0;
  unsigned major = 0, minor = 0;
  unsigned long long inode = 0;
};

bool parse_map_line(const char* line, MappedFile* out) {
  char perms[8];
  unsigned long long offset;
  return std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s %llx %x:%x %llu", &out->start, &out->end, perms,
                     &offset, &out->major, &out->minor, &out->inode) == 7;
}

// The file whose mapping in this process holds `address`; false when none
// (anonymous private memory) or when the map cannot be read.
bool file_of_address(const void* address, MappedFile* file) {
  FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return false;
  char* line = nullptr;
  size_t size = 0;
  bool found = false;
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  while (!found && ::getline(&line, &size, maps) > 0) {
    MappedFile m;
    if (parse_map_line(line, &m) && m.start <= a && a < m.end) {
      found = m.inode != 0;
      *file = m;
      break;
    }
  }
  std::free(line);
  std::fclose(maps);
  return found;
}

// Whether process `pid` maps any part of `file`: 1 yes, 0 no, -1 cannot tell.
// A process that has ended but not yet been reaped maps nothing.
int process_maps_file(int32_t pid, const MappedFile& file) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(pid));
  FILE* maps = std::fopen(path, "re");
  if (maps == nullptr) return errno == ENOENT ? 0 : -1;
  char* line = nullptr;
  size_t size = 0;
  int result = 0;
  while (::getline(&line, &size, maps) > 0) {
    MappedFile m;
    if (parse_map_line(line, &m) && m.inode == file.inode && m.major == file.major && m.minor == file.minor) {
      result = 1;
      break;
    }
  }
  std::free(line);
  std::fclose(maps);
  return result;
}

// ---------------------------------------------------------------------------
// Words guarded by a kernel file lock

// One bound word. The file lock belongs to an open file description, which
// all threads of the process share: `held` excludes them among themselves.
struct FileGuard {
  int fd;
  off_t offset;
  pid_t opener;  // the process whose description `fd` is (a forked child is not)
  bool held;     // a thread of this process holds the word
  bool wrote;    // and wrote its id into it (the file reached the word)
};

std::mutex g_guardsLock;
// Made on first use: nothing of this library runs when it is loaded.
std::condition_variable& guard_freed() {
  static std::condition_variable freed;
  return freed;
}

std::unordered_map<const volatile void*, FileGuard>& guards() {
  static std::unordered_map<const volatile void*, FileGuard> g;
  return g;
}

bool file_lock(int fd, off_t offset, short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// The word as the file holds it; false when the file no longer reaches it
// (another process shrank it).
bool read_file_word(int fd, off_t offset, int32_t* v) {
  return ::pread(fd, v, sizeof *v, offset) == static_cast<ssize_t>(sizeof *v);
}

int32_t file_word_or_0(int fd, off_t offset) {
  int32_t v = 0;
  return read_file_word(fd, offset, &v) ? v : 0;
}

// Writing a word that the file no longer reaches would grow the file again:
// it is only written where it was read when the lock was taken. A short
// write changes nothing that matters, the word only informs.
void write_file_word(int fd, off_t offset, int32_t v) {
  ssize_t ignored = ::pwrite(fd, &v, sizeof v, offset);
  (void)ignored;
}

// Waiters sleep on the word itself (a futex: shared memory of one file is one
// futex whichever process maps it), woken by the release, which changes the
// word and wakes them; a wait ends after `ns` in any case, as a holder that
// ends inside wakes nobody. The kernel reads the word: a page the file no
// longer reaches gives an error, not SIGBUS.
void wait_on_word(const volatile OSSpinLock* lock, int32_t seen, long ns) {
  struct timespec timeout = {0, ns};
  ::syscall(SYS_futex, const_cast<OSSpinLock*>(lock), FUTEX_WAIT, seen, &timeout, nullptr, 0);
}

void wake_word_waiters(const volatile OSSpinLock* lock) {
  ::syscall(SYS_futex, const_cast<OSSpinLock*>(lock), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// A child forked while the word was bound shares its parent's description,
// and with it the parent's file lock: it opens one of its own.
void own_description(FileGuard* g) {
  if (g->opener == own_id()) return;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", g->fd);
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    ::dup3(fd, g->fd, O_CLOEXEC);
    ::close(fd);
  }
  g->opener = own_id();
  g->held = false;  // the parent's threads are not here
}

// Whether process `pid` holds a write lock on byte `offset` of the file open
// on `fd`, through any of its open file descriptions: the kernel lists the
// locks of each description in /proc/PID/fdinfo. False when it cannot tell.
bool process_holds_byte(int32_t pid, int fd, off_t offset) {
  struct stat st;
  if (pid <= 0 || pid > kMaxProcessId || ::fstat(fd, &st) != 0) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fdinfo", static_cast<int>(pid));
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return false;
  bool holds = false;
  while (!holds) {
    const struct dirent* e = ::readdir(dir);
    if (e == nullptr) break;
    if (e->d_name[0] == '.') continue;
    char info[64 + sizeof e->d_name];
    std::snprintf(info, sizeof info, "%s/%s", path, e->d_name);
    FILE* f = std::fopen(info, "re");
    if (f == nullptr) continue;
    char line[256];
    while (!holds && std::fgets(line, sizeof line, f) != nullptr) {
      // "lock:\t1: OFDLCK ADVISORY  WRITE -1 00:1b:322 4004 4004"
      char type[16], end[24];
      unsigned devMajor = 0, devMinor = 0;
      unsigned long long inode = 0;
      long long start = 0;
      if (std::sscanf(line, "lock: %*d: %*s %*s %15s %*d %x:%x:%llu %lld %23s", type, &devMajor, &devMinor, &inode,
                      &start, end) != 6)
        continue;
      const bool toEnd = std::strcmp(end, "EOF") == 0;
      holds = std::strcmp(type, "WRITE") == 0 && devMajor == major(st.st_dev) && devMinor == minor(st.st_dev) &&
              inode == static_cast<unsigned long long>(st.st_ino) && start <= offset &&
              (toEnd || offset <= std::atoll(end));
    }
    std::fclose(f);
  }
  ::closedir(dir);
  return holds;
}

// The process that holds the file lock of a bound word, as far as is known:
// the word's process when it is seen to hold the lock, else 0.
int32_t known_holder(int fd, off_t offset) {
  const int32_t word = file_word_or_0(fd, offset);
  return process_holds_byte(word, fd, offset) ? word : 0;
}

// Takes a bound word: first from the other threads of this process, then
// from every other holder of the file lock.
OSSpinLockOutcome lock_bound(const volatile OSSpinLock* lock, int timeoutMs, int32_t* holder, bool* bound) {
  using SteadyClock = std::chrono::steady_clock;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  std::unique_lock<std::mutex> lk(g_guardsLock);
  auto it = guards().find(lock);
  *bound = it != guards().end();
  if (!*bound) return kOSSpinLockFailed;
  FileGuard& g = it->second;
  own_description(&g);
  while (g.held) {
    if (timeoutMs < 0) {
      guard_freed().wait(lk);
    } else if (guard_freed().wait_until(lk, deadline) == std::cv_status::timeout && g.held) {
      if (holder != nullptr) *holder = known_holder(g.fd, g.offset);
      return kOSSpinLockTimedOut;
    }
  }
  g.held = true;
  const int fd = g.fd;
  const off_t offset = g.offset;
  lk.unlock();

  // The kernel's lock is tried again whenever the word changes (a blocking
  // wait on it could not be bounded).
  while (!file_lock(fd, offset, F_WRLCK)) {
    const int err = errno;
    const bool busy = err == EAGAIN || err == EACCES || err == EINTR;
    const bool late = timeoutMs >= 0 && SteadyClock::now() >= deadline;
    if (!busy || late) {
      if (holder != nullptr) *holder = busy ? known_holder(fd, offset) : file_word_or_0(fd, offset);
      lk.lock();
      g.held = false;
      guard_freed().notify_all();
      errno = err;
      return busy ? kOSSpinLockTimedOut : kOSSpinLockFailed;
    }
    // A word found free belongs to a holder that has just taken the lock or
    // just left it: no sleep then.
    const int32_t seen = file_word_or_0(fd, offset);
    if (seen == 0) {
      ::sched_yield();
    } else {
      wait_on_word(lock, seen, 1000000);
    }
  }
  int32_t found = 0;
  const bool reached = read_file_word(fd, offset, &found);
  if (reached) write_file_word(fd, offset, own_id());
  {
    std::lock_guard<std::mutex> relock(g_guardsLock);
    g.wrote = reached;
  }
  if (found == 0) return kOSSpinLockTaken;
  if (holder != nullptr) *holder = found;
  return kOSSpinLockTakenOver;
}

// Releases a bound word if a thread of this process holds it. False when
// the word is not bound.
bool unlock_bound(const volatile OSSpinLock* lock) {
  std::lock_guard<std::mutex> lk(g_guardsLock);
  auto it = guards().find(lock);
  if (it == guards().end()) return false;
  FileGuard& g = it->second;
  if (g.held && g.opener == own_id()) {
    if (g.wrote) write_file_word(g.fd, g.offset, 0);
    file_lock(g.fd, g.offset, F_UNLCK);
    wake_word_waiters(lock);
    g.held = false;
    guard_freed().notify_all();
  }
  return true;
}

}  // namespace

bool OSSpinLockHolderIsGone(const volatile OSSpinLock* lock, int32_t holder, bool checkMaps) {
  if (holder <= 0 || holder > kMaxProcessId) return true;  // no process id: damaged word
  if (holder == own_id()) return __atomic_load_n(&g_heldHere, __ATOMIC_RELAXED) == 0;  // ours, or stale
  if (::kill(holder, 0) != 0 && errno == ESRCH) return true;
  if (!checkMaps) return false;
  MappedFile file;
  if (!file_of_address(const_cast<const OSSpinLock*>(lock), &file)) return false;  // cannot tell
  return process_maps_file(holder, file) == 0;
}

bool OSSpinLockTry(volatile OSSpinLock* lock) {
  bool bound = false;
  OSSpinLockOutcome outcome = lock_bound(lock, 0, nullptr, &bound);
  if (bound) return outcome == kOSSpinLockTaken || outcome == kOSSpinLockTakenOver;
  return take_word(lock, 0, own_id());
}

OSSpinLockOutcome OSSpinLockLockBounded(volatile OSSpinLock* lock, int timeoutMs, int32_t* holder) {
  bool bound = false;
  OSSpinLockOutcome outcome = lock_bound(lock, timeoutMs, holder, &bound);
  if (bound) return outcome;
  const int32_t self = own_id();
  if (take_word(lock, 0, self)) return kOSSpinLockTaken;

  const int64_t start = now_ns();
  int32_t seen = 0;         // the holder being watched
  int64_t seenSince = 0;    // when it was first seen
  int64_t nextAlive = 0;    // when to ask next whether it lives
  int64_t nextMaps = 0;     // when to look at its memory map next
  unsigned spins = 0;
  for (;;) {
    int32_t v = load_word(lock);
    if (v == 0) {
      if (take_word(lock, 0, self)) return kOSSpinLockTaken;
      continue;
    }
    if (++spins < 64) {
      __builtin_ia32_pause();
      continue;
    }
    int64_t now = now_ns();
    if (v != seen) {
      seen = v;
      seenSince = now;
      nextAlive = now;
      nextMaps = now + kMapsCheckAfterNs;
    }
    if (now >= nextAlive) {
      bool checkMaps = now >= nextMaps;
      if (OSSpinLockHolderIsGone(lock, v, checkMaps) && take_word(lock, v, self)) {
        if (holder != nullptr) *holder = v;
        return kOSSpinLockTakenOver;
      }
      nextAlive = now + kAliveCheckNs;
      if (checkMaps) nextMaps = now + kMapsCheckEveryNs;
    }
    if (timeoutMs >= 0 && now - start >= int64_t(timeoutMs) * 1000000) {
      if (holder != nullptr) *holder = v;
      return kOSSpinLockTimedOut;
    }
    if (now - seenSince < kYieldForNs) {
      ::sched_yield();  // the holder may be a descheduled process on this core
    } else {
      struct timespec nap = {0, 100000};
      ::nanosleep(&nap, nullptr);
    }
  }
}

void OSSpinLockLock(volatile OSSpinLock* lock) { OSSpinLockLockBounded(lock, -1, nullptr); }

void OSSpinLockUnlock(volatile OSSpinLock* lock) {
  if (unlock_bound(lock)) return;
  int32_t self = own_id();
  if (__atomic_compare_exchange_n(const_cast<OSSpinLock*>(lock), &self, 0, false, __ATOMIC_RELEASE,
                                  __ATOMIC_RELAXED)) {
    __atomic_sub_fetch(&g_heldHere, 1, __ATOMIC_RELAXED);
  }
}

void OSSpinLockBindFile(volatile OSSpinLock* lock, int fd, off_t offset) {
  std::lock_guard<std::mutex> lk(g_guardsLock);
  guards()[lock] = FileGuard{fd, offset, own_id(), false, false};
}

void OSSpinLockUnbindFile(volatile OSSpinLock* lock) {
  std::lock_guard<std::mutex> lk(g_guardsLock);
  guards().erase(lock);
  guard_freed().notify_all();
}

bool OSSpinLockBoundWordReached(const volatile OSSpinLock* lock) {
  std::lock_guard<std::mutex> lk(g_guardsLock);
  auto it = guards().find(lock);
  return it != guards().end() && it->second.held && it->second.wrote;
}
