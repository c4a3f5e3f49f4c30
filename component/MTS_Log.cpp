#include "MTS_Log.h"
#include "MTS_SharedMemory.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {
std::atomic<int> logEnabled{1};
}  // namespace

void PrintLogSetEnabled(int enabled) { logEnabled.store(enabled != 0, std::memory_order_relaxed); }

int PrintLog(const char* functionName, int line, const char* format, ...) {
  if (!logEnabled.load(std::memory_order_relaxed)) return 0;
  char buffer[1024];
  std::memset(buffer, 0, sizeof buffer);

  size_t n = 0;
  if (functionName != nullptr) {
    int prefix = std::snprintf(buffer, sizeof buffer, "%s:(%d)", functionName, line);
    if (prefix > 0) n = static_cast<size_t>(prefix) < sizeof buffer ? static_cast<size_t>(prefix) : sizeof buffer - 1;
  }
  if (format != nullptr && n < sizeof buffer - 1) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + n, sizeof buffer - n, format, args);
    va_end(args);
  }

  // Written as bytes, never used as a format again: a '%' brought in by an
  // argument (a path, a name) comes out literally.
  size_t length = std::strlen(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t w = ::write(STDERR_FILENO, buffer + done, length - done);
    if (w < 0) return -1;
    done += static_cast<size_t>(w);
  }
  return static_cast<int>(done);
}

namespace {

struct Problem {
  int code;
  bool set;
  char text[640];
};
thread_local Problem t_problem;

}  // namespace

void MTS_SetProblem(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(t_problem.text, sizeof t_problem.text, format, args);
  va_end(args);
  t_problem.code = code;
  t_problem.set = true;
}

const char* MTS_OutOfMemoryText(const char* what) {
  thread_local char text[512];
  std::snprintf(text, sizeof text,
                "out of memory for %s: free some memory or raise the process's limit (ulimit -v), then try again",
                what);
  return text;
}

void MTS_SayOutOfMemory(const char* what, int code) { MTS_SetProblem(code, "%s", MTS_OutOfMemoryText(what)); }

bool MTS_SayOutOfDescriptors(int error, const char* what) {
  if (error == ENFILE) {
    MTS_SetProblem(0, "too many open files in the system: %s cannot be opened; close files elsewhere, then try again",
                   what);
    return true;
  }
  if (error != EMFILE) return false;
  struct rlimit limit;
  char most[64] = "";
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    std::snprintf(most, sizeof most, " (%llu)", static_cast<unsigned long long>(limit.rlim_cur));
  MTS_SetProblem(0,
                 "too many open files: the process has used up its file descriptors%s and cannot open %s; raise "
                 "the limit (ulimit -n), then try again",
                 most, what);
  return true;
}

const char* MTS_Problem(int code) {
  return t_problem.set && (t_problem.code == 0 || t_problem.code == code) ? t_problem.text : nullptr;
}

void MTS_LockInit(OSSpinLock* lock) {
  if (lock == nullptr) {
    MTS_LOG("[ERR]MTS_LockInit error(lock address = NULL)\n");
    return;
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

bool MTS_LockLock(OSSpinLock* lock) {
  if (lock == nullptr) {
    MTS_LOG("[ERR]MTS_LockLock error(lock address = NULL)\n");
    return false;
  }
  int32_t holder = 0;
  switch (OSSpinLockLockBounded(lock, kMTSLockTimeoutMs, &holder)) {
    case kOSSpinLockTaken:
      return true;
    case kOSSpinLockTakenOver:
      MTS_LOG("[ERR]MTS_LockLock took over the lock of process %d, which no longer holds it\n",
              static_cast<int>(holder));
      return true;
    case kOSSpinLockTimedOut:
      break;
    case kOSSpinLockFailed:
      MTS_LOG("[ERR]MTS_LockLock failed to lock(lock address = %p). errno=%d\n", static_cast<void*>(lock), errno);
      return false;
  }
  // A process is named only when it is known to hold the lock.
  char who[48] = "another process";
  if (holder > 0) std::snprintf(who, sizeof who, "process %d", static_cast<int>(holder));
  MTS_LOG("[ERR]MTS_LockLock timed out after %d ms: %s holds the lock\n", kMTSLockTimeoutMs, who);
  MTS_SetProblem(kMTSErrBusy,
                 "the record store is busy: %s has held its lock for over %d s (stopped or hung?); "
                 "let it go on or end it, then try again",
                 who, kMTSLockTimeoutMs / 1000);
  return false;
}

void MTS_LockUnlock(OSSpinLock* lock) {
  if (lock == nullptr) {
    MTS_LOG("[ERR]MTS_LockUnlock error(lock address = NULL)\n");
    return;
  }
  OSSpinLockUnlock(lock);
}
