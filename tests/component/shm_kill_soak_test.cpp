// Kill soak of the shared-memory store: eight importers (the mtsimport tool,
// importing and then reading every sample back through the data handler)
// are killed with SIGKILL two hundred times at random moments, then every
// bundled recording must import exactly as in a clean run, without a hang,
// and the store must be left empty.
#include "shm_test_util.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const char* const kRecordings[] = {"sample.m2ts", "importer/importer_ac3_51_i.m2ts",
                                   "importer/importer_lpcm_20.m2ts", "importer/importer_lpcm_mono24.m2ts"};

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/shm_soak_" + std::to_string(getpid()) + "_" + name;
}

// What an import gives: its exit status, its summary and the saved movie.
struct Outcome {
  int status = -1;
  std::string summary;
  std::vector<uint8_t> movie;
  bool operator==(const Outcome& o) const { return status == o.status && summary == o.summary && movie == o.movie; }
};

Outcome import(const std::string& recording, const std::string& movie) {
  Outcome out;
  std::string command = std::string(MTSIMPORT) + " --mov '" + movie + "' '" + recording + "' 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.summary.append(buffer, n);
  out.status = pclose(p);
  out.movie = testsupport::read_file(movie);
  std::remove(movie.c_str());
  return out;
}

pid_t start_import(const std::string& recording, const std::string& movie) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {MTSIMPORT, "--mov", movie, recording};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, MTSIMPORT, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

TEST(ShmKillSoak, ImportsSurviveKilledImporters) {
  const int kImporters = 8;
  const int kKills = 100;
  const auto kSoakLimit = std::chrono::seconds(40);
  const auto kImportLimit = std::chrono::seconds(10);  // one import of these small files

  std::vector<std::string> recordings;
  std::vector<Outcome> clean;
  for (const char* r : kRecordings) {
    recordings.push_back(testsupport::local_data_file(r));
    clean.push_back(import(recordings.back(), temp_path("clean.mov")));
    ASSERT_EQ(clean.back().status, 0) << r;
    ASSERT_FALSE(clean.back().movie.empty()) << r;
  }

  struct Slot {
    pid_t pid = -1;
    Clock::time_point started;
  };
  std::vector<Slot> slots(kImporters);
  std::mt19937 rng(24);
  auto start = [&](int i) {
    slots[i].pid = start_import(recordings[rng() % recordings.size()], temp_path("soak" + std::to_string(i) + ".mov"));
    slots[i].started = Clock::now();
    ASSERT_GT(slots[i].pid, 0);
  };
  for (int i = 0; i < kImporters; ++i) start(i);

  int kills = 0, finished = 0, failed = 0;
  const Clock::time_point begin = Clock::now();
  while (kills < kKills) {
    ASSERT_LT(Clock::now() - begin, kSoakLimit) << kills << " kills, " << finished << " imports finished";
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
    int victim = static_cast<int>(rng() % kImporters);
    kill(slots[victim].pid, SIGKILL);
    ++kills;
    for (int i = 0; i < kImporters; ++i) {
      int status = 0;
      pid_t done = waitpid(slots[i].pid, &status, i == victim ? 0 : WNOHANG);
      if (done == 0) {
        // Still running: an import of these files never takes this long
        // unless it waits on the store.
        ASSERT_LT(Clock::now() - slots[i].started, kImportLimit) << "importer " << slots[i].pid << " hangs";
        continue;
      }
      if (WIFEXITED(status)) {
        ++finished;
        failed += WEXITSTATUS(status) != 0;
      }
      start(i);
    }
  }
  for (Slot& s : slots) {
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
  }
  // Imports that ran to their end between kills succeeded.
  EXPECT_EQ(failed, 0) << "of " << finished;

  for (size_t r = 0; r < recordings.size(); ++r) {
    SCOPED_TRACE(kRecordings[r]);
    Clock::time_point t = Clock::now();
    Outcome after = import(recordings[r], temp_path("after.mov"));
    EXPECT_LT(Clock::now() - t, kImportLimit);
    EXPECT_EQ(after.status, 0);
    EXPECT_TRUE(after == clean[r]);
  }
  // Every record the killed importers held was reclaimed by the later
  // imports, and the last of those removed the directory.
  const std::vector<std::string> left = shmtest::existing_regions();
  EXPECT_TRUE(left.empty()) << left.size() << " regions left, the first " << (left.empty() ? "" : left[0]);
  for (int i = 0; i < kImporters; ++i) std::remove(temp_path("soak" + std::to_string(i) + ".mov").c_str());
}

}  // namespace
