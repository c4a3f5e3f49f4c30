// What the tests share: where their material lives, file reading, and
// capturing standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Root of the external material: $AVCHD_TESTDATA, or ../shared/testdata next
// to the repository root when that exists; empty when neither exists.
// With CI=true in the environment, absent material also fails the test that
// asks for it (CI has the material: its absence is a fault there, not a
// reason to skip).
std::string testdata_root();

// Full path of a file (or folder) of the external material, or "" when it is
// absent (and, with CI=true, a failure of the calling test).
std::string testdata_file(const std::string& relative);

// True when the material was made by scripts/make_material.sh (its folder
// holds the marker file that script writes) rather than being the shared
// files. Its streams are made by the same recipes but are not the same
// bytes, so output committed for the shared files does not fit them. With
// CI=true, made material is a failure of the calling test.
bool made_material();

// Full path of a file committed in tests/data.
std::string local_data_file(const std::string& relative);

// Whole file; empty vector when it cannot be read.
std::vector<uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);

// Runs a shell command and collects its exit status (-1 when it did not exit
// normally) and what it wrote to standard output and standard error.
struct CommandResult {
  int exit = -1;
  std::string out;
  std::string err;
};
CommandResult run_command(const std::string& command);

// Captures what is written to file descriptor 2 between construction and
// text(). Not for use from several threads at once.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string text();  // stops capturing and returns what was written

 private:
  int saved_ = -1;
  int file_ = -1;
  bool done_ = false;
  std::string text_;
};

}  // namespace testsupport

// Skips a test that compares with output committed for the shared material
// (its exact bytes) when the material was made by scripts/make_material.sh.
#define AVCHD_REQUIRE_SHARED_MATERIAL()                                                              \
  if (::testsupport::made_material()) {                                                             \
    GTEST_SKIP() << "material made by scripts/make_material.sh: this case compares with output "   \
                    "committed for the shared files' exact bytes";                                   \
  }

// Sets `var` to the full path of an external material file, or skips the test
// with a message naming what is missing.
#define AVCHD_REQUIRE_TESTDATA(var, relative)                                                \
  std::string var = ::testsupport::testdata_file(relative);                                  \
  if (var.empty()) {                                                                          \
    GTEST_SKIP() << "test material missing: " << (relative)                                  \
                 << " (set AVCHD_TESTDATA to the folder holding it)";                         \
  }
