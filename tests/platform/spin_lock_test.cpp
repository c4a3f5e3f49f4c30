#include "OSSpinLock.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

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
