#include "testsupport.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {
bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}
}  // namespace

namespace {

// The file scripts/make_material.sh leaves in the folder it makes.
constexpr const char* kMadeMarker = "MADE_BY_make_material.txt";

std::string find_root() {
  const char* env = std::getenv("AVCHD_TESTDATA");
  if (env != nullptr && *env != '\0') return exists(env) ? std::string(env) : std::string();
  std::string fallback = std::string(AVCHD_REPO_ROOT) + "/../shared/testdata";
  return exists(fallback) ? fallback : std::string();
}

// In CI (CI=true) the material must be there: a test that asks for a missing
// piece fails instead of skipping.
void missing(const std::string& what) {
  const char* ci = std::getenv("CI");
  if (ci != nullptr && std::string(ci) == "true")
    ADD_FAILURE() << "test material missing: " << what
                  << " (CI=true: material must be present; set AVCHD_TESTDATA to the folder holding it)";
}

}  // namespace

std::string testdata_root() {
  std::string root = find_root();
  if (root.empty()) missing("the material folder");
  return root;
}

std::string testdata_file(const std::string& relative) {
  std::string root = find_root();
  std::string path = root.empty() ? std::string() : root + "/" + relative;
  if (path.empty() || !exists(path)) {
    missing(relative);
    return {};
  }
  return path;
}

bool made_material() {
  const std::string root = find_root();
  if (root.empty() || !exists(root + "/" + kMadeMarker)) return false;
  const char* ci = std::getenv("CI");
  if (ci != nullptr && std::string(ci) == "true")
    ADD_FAILURE() << "the material in " << root << " was made by scripts/make_material.sh (CI=true: the shared "
                  << "material must be present)";
  return true;
}

std::string local_data_file(const std::string& relative) {
  return std::string(AVCHD_REPO_ROOT) + "/tests/data/" + relative;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> data;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return data;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
  std::fclose(f);
  return data;
}

std::string read_text(const std::string& path) {
  std::vector<uint8_t> data = read_file(path);
  return std::string(data.begin(), data.end());
}

CommandResult run_command(const std::string& command) {
  CommandResult r;
  char outName[] = "/tmp/avchd_cmd_out_XXXXXX";
  char errName[] = "/tmp/avchd_cmd_err_XXXXXX";
  const int outFd = ::mkstemp(outName);
  const int errFd = ::mkstemp(errName);
  if (outFd >= 0 && errFd >= 0) {
    const int status = std::system(("(" + command + ") >" + outName + " 2>" + errName).c_str());
    if (status != -1 && WIFEXITED(status)) r.exit = WEXITSTATUS(status);
    r.out = read_text(outName);
    r.err = read_text(errName);
  }
  for (int fd : {outFd, errFd})
    if (fd >= 0) ::close(fd);
  ::unlink(outName);
  ::unlink(errName);
  return r;
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  char name[] = "/tmp/avchd_stderr_XXXXXX";
  file_ = ::mkstemp(name);
  if (file_ < 0) return;
  ::unlink(name);
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(file_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() { text(); }

std::string StderrCapture::text() {
  if (done_ || file_ < 0) return text_;
  done_ = true;
  std::fflush(stderr);
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  off_t size = ::lseek(file_, 0, SEEK_END);
  text_.resize(size > 0 ? static_cast<size_t>(size) : 0);
  if (size > 0) {
    ssize_t r = ::pread(file_, &text_[0], text_.size(), 0);
    text_.resize(r > 0 ? static_cast<size_t>(r) : 0);
  }
  ::close(file_);
  return text_;
}

}  // namespace testsupport
