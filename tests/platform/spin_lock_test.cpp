#include "OSSpinLock.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct SharedCounter {
  OSSpinLock lock;
  volatile int64_t value;
};

// Several processes increment one counter in a shared mapping under the lock;
// an increment that another process overtakes would lose a count.
TEST(SpinLock, ExcludesAcrossProcesses) {
  const int kProcesses = 4;
  const int kIncrements = 100000;
  void* mem = mmap(nullptr, sizeof(SharedCounter), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* shared = static_cast<SharedCounter*>(mem);
  shared->lock = OS_SPINLOCK_INIT;
  shared->value = 0;

  pid_t children[kProcesses];
  for (int p = 0; p < kProcesses; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      for (int i = 0; i < kIncrements; ++i) {
        OSSpinLockLock(&shared->lock);
        int64_t v = shared->value;
        if ((i & 1023) == 0) sched_yield();  // widen the window a race would need
        shared->value = v + 1;
        OSSpinLockUnlock(&shared->lock);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(shared->value, int64_t(kProcesses) * kIncrements);
  EXPECT_EQ(shared->lock, 0);
  munmap(mem, sizeof(SharedCounter));
}

TEST(SpinLock, TryFailsWhileHeld) {
  OSSpinLock lock = OS_SPINLOCK_INIT;
  EXPECT_TRUE(OSSpinLockTry(&lock));
  EXPECT_NE(lock, 0);
  EXPECT_FALSE(OSSpinLockTry(&lock));
  OSSpinLockUnlock(&lock);
  EXPECT_EQ(lock, 0);
  EXPECT_TRUE(OSSpinLockTry(&lock));
  OSSpinLockUnlock(&lock);
}

}  // namespace

// ---------------------------------------------------------------------------
// Holders that die, damaged words and process ids reused.

namespace holders {

OSSpinLock* shared_word() {
  void* mem = mmap(nullptr, sizeof(OSSpinLock), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return mem == MAP_FAILED ? nullptr : static_cast<OSSpinLock*>(mem);
}

// A child that takes the word, says so through a pipe, then waits for the
// pipe to close (or, with `leave`, ends at once still holding it; with
// `unmap`, drops the mapping and lives on, as an unrelated process that got a
// dead holder's id would).
enum class Child { kLive, kDies, kUnmapsAndLives };

pid_t start_holder(OSSpinLock* word, Child kind, int* keepAlive) {
  int ready[2], hold[2];
  if (pipe(ready) != 0 || pipe(hold) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(hold[1]);
    if (!OSSpinLockTry(word)) _exit(1);
    if (kind == Child::kUnmapsAndLives) munmap(word, sizeof(OSSpinLock));
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(2);
    if (kind != Child::kDies) {
      ssize_t ignored = read(hold[0], &c, 1);  // until the parent closes it
      (void)ignored;
    }
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  char c = 0;
  if (read(ready[0], &c, 1) != 1) pid = -1;
  close(ready[0]);
  *keepAlive = hold[1];
  return pid;
}

TEST(SpinLockHolders, GoneHoldersAreTakenOverLiveOnesNever) {
  struct Case {
    const char* name;
    Child kind;
    bool reap;  // wait for the child before locking (else it stays a zombie)
    OSSpinLockOutcome expected;
  };
  const Case cases[] = {
      {"died, reaped", Child::kDies, true, kOSSpinLockTakenOver},
      {"died, not yet reaped", Child::kDies, false, kOSSpinLockTakenOver},
      {"id now names a process without the mapping", Child::kUnmapsAndLives, false, kOSSpinLockTakenOver},
      {"alive", Child::kLive, false, kOSSpinLockTimedOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OSSpinLock* word = shared_word();
    ASSERT_NE(word, nullptr);
    *word = OS_SPINLOCK_INIT;
    int keepAlive = -1;
    pid_t child = start_holder(word, c.kind, &keepAlive);
    ASSERT_GT(child, 0);
    ASSERT_EQ(*word, child);
    if (c.reap) waitpid(child, nullptr, 0);
    int32_t holder = 0;
    EXPECT_EQ(OSSpinLockLockBounded(word, 1000, &holder), c.expected);
    EXPECT_EQ(holder, child);
    EXPECT_EQ(*word, c.expected == kOSSpinLockTimedOut ? child : getpid());
    close(keepAlive);
    if (!c.reap) waitpid(child, nullptr, 0);
    if (c.expected == kOSSpinLockTimedOut) {
      // The live holder's word was left alone; now that it has gone, the
      // word is taken over.
      EXPECT_EQ(OSSpinLockLockBounded(word, 1000, &holder), kOSSpinLockTakenOver);
    }
    OSSpinLockUnlock(word);
    EXPECT_EQ(*word, 0);
    munmap(word, sizeof(OSSpinLock));
  }
}

TEST(SpinLockHolders, DamagedAndStaleWordsAreTakenOverAtOnce) {
  // The last: this process's own id, left by an earlier process that had
  // it, while no thread here holds a lock.
  for (int32_t garbage : {int32_t(-1), INT32_MIN, INT32_MAX, int32_t(0x7FFFFF00), int32_t(getpid())}) {
    OSSpinLock word = garbage;
    int32_t holder = 0;
    EXPECT_EQ(OSSpinLockLockBounded(&word, 0, &holder), kOSSpinLockTakenOver) << garbage;
    EXPECT_EQ(holder, garbage);
    EXPECT_EQ(word, getpid());
    OSSpinLockUnlock(&word);
    EXPECT_EQ(word, 0);
  }
}

TEST(SpinLockHolders, UnlockLeavesAWordTakenOverByAnother) {
  OSSpinLock word = OS_SPINLOCK_INIT;
  ASSERT_TRUE(OSSpinLockTry(&word));
  word = 1;  // process 1 took it over meanwhile
  OSSpinLockUnlock(&word);
  EXPECT_EQ(word, 1);
}

}  // namespace holders

// ---------------------------------------------------------------------------
// Words bound to a kernel file lock.

namespace bound {

// A word at offset 4 of a file of the test's own, mapped shared, with a
// counter at offset 8; bound to the file's lock.
struct BoundWord {
  int fd = -1;
  unsigned char* map = nullptr;
  OSSpinLock* word() const { return reinterpret_cast<OSSpinLock*>(map + 4); }
  volatile int64_t* counter() const { return reinterpret_cast<volatile int64_t*>(map + 8); }
};

BoundWord make_word() {
  BoundWord w;
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/spin_lock_XXXXXX";
  w.fd = mkstemp(&path[0]);
  if (w.fd < 0) return w;
  unlink(path.c_str());
  if (ftruncate(w.fd, 4096) != 0) return w;
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, w.fd, 0);
  if (p == MAP_FAILED) return w;
  w.map = static_cast<unsigned char*>(p);
  OSSpinLockBindFile(w.word(), w.fd, 4);
  return w;
}

void drop_word(BoundWord* w) {
  OSSpinLockUnbindFile(w->word());
  munmap(w->map, 4096);
  close(w->fd);
}

// Processes forked after the binding (sharing the parent's file description
// until they take their own) and two threads in each add to one counter.
TEST(SpinLockBound, ExcludesThreadsAndForkedProcesses) {
  const int kProcesses = 3, kThreads = 2, kIncrements = 20000;
  BoundWord w = make_word();
  ASSERT_NE(w.map, nullptr);
  auto work = [&] {
    for (int i = 0; i < kIncrements; ++i) {
      OSSpinLockLock(w.word());
      int64_t v = *w.counter();
      if ((i & 255) == 0) sched_yield();  // widen the window a race would need
      *w.counter() = v + 1;
      OSSpinLockUnlock(w.word());
    }
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::thread t(work);
      work();
      t.join();
      _exit(0);
    }
    children.push_back(pid);
  }
  std::thread t(work);
  work();
  t.join();
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(*w.counter(), int64_t(kProcesses + 1) * kThreads * kIncrements);
  EXPECT_EQ(*w.word(), 0);
  drop_word(&w);
}

TEST(SpinLockBound, TheKernelSaysWhoHoldsNotTheWord) {
  BoundWord w = make_word();
  ASSERT_NE(w.map, nullptr);
  int32_t holder = 0;

  // A word naming a process that holds nothing (pid 1) is taken at once.
  *w.word() = 1;
  EXPECT_EQ(OSSpinLockLockBounded(w.word(), 0, &holder), kOSSpinLockTakenOver);
  EXPECT_EQ(holder, 1);
  EXPECT_EQ(*w.word(), getpid());
  EXPECT_FALSE(OSSpinLockTry(w.word()));  // not recursive, not even for this process
  OSSpinLockUnlock(w.word());
  EXPECT_EQ(*w.word(), 0);

  // A live holder whose word says "free" keeps the lock; killed, it leaves
  // the lock free at once.
  int keepAlive = -1;
  pid_t child = holders::start_holder(w.word(), holders::Child::kLive, &keepAlive);
  ASSERT_GT(child, 0);
  EXPECT_EQ(*w.word(), child);
  *w.word() = 0;
  EXPECT_EQ(OSSpinLockLockBounded(w.word(), 100, &holder), kOSSpinLockTimedOut);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(keepAlive);
  EXPECT_EQ(OSSpinLockLockBounded(w.word(), 100, &holder), kOSSpinLockTaken);
  OSSpinLockUnlock(w.word());

  // A holder that ended inside is taken over, its word reported.
  child = holders::start_holder(w.word(), holders::Child::kDies, &keepAlive);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  close(keepAlive);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OSSpinLockLockBounded(w.word(), 1000, &holder), kOSSpinLockTakenOver);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(holder, child);
  OSSpinLockUnlock(w.word());
  drop_word(&w);
}

}  // namespace bound
