// Finding the material: absent material skips a test on a workstation and
// fails it in CI (CI=true), where the material is always installed.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testsupport.h"

namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(TestData, MissingMaterialFailsOnlyInCi) {
  ScopedEnv root("AVCHD_TESTDATA", "/nonexistent/avchd-material");
  {
    ScopedEnv ci("CI", "true");
    EXPECT_NONFATAL_FAILURE(EXPECT_EQ(testsupport::testdata_file("avchd/x.m2ts"), ""),
                            "test material missing: avchd/x.m2ts");
    EXPECT_NONFATAL_FAILURE(EXPECT_EQ(testsupport::testdata_root(), ""), "test material missing");
  }
  for (const char* notCi : {"", "false", "1"}) {
    ScopedEnv ci("CI", notCi);
    EXPECT_EQ(testsupport::testdata_file("avchd/x.m2ts"), "") << notCi;  // and no failure
  }
}

TEST(TestData, PresentMaterialIsFoundInCi) {
  const std::string root = testsupport::testdata_root();
  if (root.empty()) GTEST_SKIP() << "test material missing: the material folder (set AVCHD_TESTDATA)";
  if (testsupport::testdata_file("README.md").empty())
    GTEST_SKIP() << "test material missing: README.md (set AVCHD_TESTDATA)";
  ScopedEnv ci("CI", "true");
  EXPECT_EQ(testsupport::testdata_file("README.md"), root + "/README.md");
}

}  // namespace
