// What the shared-memory tests share: removal of every region name the store
// uses, a read-only look at the directory that takes no reference, and
// helper processes driven through pipes.
#pragma once

#include "MTS_SharedMemory.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace shmtest {

// The store's region names as this process builds them: the directory
// (`recordID` -1) or a record. Every test process runs under a name prefix of
// its own (MTS_SHM_TEST_PREFIX_VARIABLE, set by CTest or, when absent, by
// this library before main), so tests never touch the machine's real regions
// or those of tests running at the same time.
std::string region_name(int32_t recordID);

// Unlinks the directory and every record name. Safe when none exist.
void remove_all_regions();

// Names under /dev/shm that belong to the store.
std::vector<std::string> existing_regions();

// A copy of the directory's contents, or nothing when it does not exist.
std::optional<AvchdRecordDirectory> peek_directory();

// Removes every region before and after each test, pass or fail.
class ShmTest : public ::testing::Test {
 protected:
  void SetUp() override { remove_all_regions(); }
  void TearDown() override { remove_all_regions(); }
};

// A path source for MTS_CreateAvchdDataRecord: copies the C string at
// `context`.
int path_from_string(void* context, char* path, size_t capacity);

// FNV-1a of `size` bytes: how two processes compare what they read. Inline:
// a helper program that uses it must not link this library's set-up.
inline uint64_t fnv1a(const uint8_t* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  return h;
}

// A child process running `program` with `args`, its standard input and
// output connected to us. The destructor kills it if it still runs.
class Peer {
 public:
  Peer(const std::string& program, const std::vector<std::string>& args);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // One line of its output without the line end; "" at end of output.
  std::string read_line();
  void write_line(const std::string& line);
  // Waits for it to end; its exit code, or -1 when it did not exit normally.
  int wait();
  // Kills it (SIGKILL) and reaps it.
  void kill_now();

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string pending_;
};

}  // namespace shmtest
