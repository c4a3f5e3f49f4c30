#include <gtest/gtest.h>

#include "shm_test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

extern char** environ;

namespace shmtest {

namespace {

// Where it can (root, before any thread exists), the test process and its
// children get a /dev/shm of their own: a new mount namespace, made private
// first so that nothing mounted here reaches the machine, with a fresh tmpfs.
void private_shm_directory() {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) return;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
  mount("avchd-test-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=512m");
}

// Runs before main: a test started by hand gets a prefix of its own too.
[[maybe_unused]] const bool kPrefixSet = [] {
  private_shm_directory();
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "shmtest%d-", static_cast<int>(getpid()));
  setenv(MTS_SHM_TEST_PREFIX_VARIABLE, prefix, 0);
  return true;
}();

}  // namespace

std::string region_name(int32_t recordID) {
  char name[160];
  EXPECT_TRUE(MTS_ShmRegionName(name, sizeof name, recordID));
  return name;
}

void remove_all_regions() {
  for (int id = -1; id < kMTSRecordCount; ++id) shm_unlink(region_name(id).c_str());
}

std::vector<std::string> existing_regions() {
  std::vector<std::string> names;
  const std::string directory = region_name(-1).substr(1);  // <prefix>QORVEXImporterShm-<uid>
  const std::string head = directory.substr(0, directory.rfind('-'));
  const std::string tail = directory.substr(directory.rfind('-'));
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    std::string n = e->d_name;
    if (n.compare(0, head.size(), head) == 0 && n.size() >= tail.size() &&
        n.compare(n.size() - tail.size(), tail.size(), tail) == 0) {
      names.push_back(n);
    }
  }
  closedir(dir);
  return names;
}

std::optional<AvchdRecordDirectory> peek_directory() {
  int fd = shm_open(region_name(-1).c_str(), O_RDONLY, 0);
  if (fd < 0) return std::nullopt;
  void* p = mmap(nullptr, kMTSDirectorySize, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return std::nullopt;
  AvchdRecordDirectory copy;
  std::memcpy(&copy, p, sizeof copy);
  munmap(p, kMTSDirectorySize);
  return copy;
}

int path_from_string(void* context, char* path, size_t capacity) {
  std::snprintf(path, capacity, "%s", static_cast<const char*>(context));
  return 0;
}

Peer::Peer(const std::string& program, const std::vector<std::string>& args) {
  int in[2], out[2];
  signal(SIGPIPE, SIG_IGN);  // a peer that died must fail the test, not kill it
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  to_ = in[1];
  from_ = out[0];
}

Peer::~Peer() {
  if (to_ >= 0) close(to_);
  if (from_ >= 0) close(from_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string Peer::read_line() {
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    char buffer[256];
    ssize_t n = read(from_, buffer, sizeof buffer);
    if (n <= 0) {
      std::string rest;
      rest.swap(pending_);
      return rest;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

void Peer::write_line(const std::string& line) {
  std::string text = line + "\n";
  ssize_t ignored = write(to_, text.data(), text.size());
  (void)ignored;
}

void Peer::kill_now() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Peer::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  pid_t done = waitpid(pid_, &status, 0);
  pid_ = -1;
  if (done < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace shmtest
