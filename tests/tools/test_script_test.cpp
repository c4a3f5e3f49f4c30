// scripts/test.sh: its count of skipped test cases per reason, and which
// steps a label runs. The pieces are taken from the script itself and run by
// bash on made-up input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "testsupport.h"

namespace {

const std::string kScript = std::string(AVCHD_REPO_ROOT) + "/scripts/test.sh";

// Runs in bash `before`, the lines of the script from the line matching
// `from` to the line matching `to` (sed addresses), then `after`.
testsupport::CommandResult RunPiece(const std::string& from, const std::string& to, const std::string& before,
                                    const std::string& after) {
  const std::string program = "/tmp/avchd_test_script_" + std::to_string(getpid()) + ".sh";
  FILE* f = std::fopen(program.c_str(), "w");
  if (!f) return {};
  std::fprintf(f, "set -euo pipefail\n%s\neval \"$(sed -n '/%s/,/%s/p' %s)\"\n%s\n", before.c_str(), from.c_str(),
               to.c_str(), kScript.c_str(), after.c_str());
  std::fclose(f);
  const testsupport::CommandResult r = testsupport::run_command("bash " + program);
  std::remove(program.c_str());
  return r;
}

TEST(TestScript, CountsSkippedCasesPerReason) {
  const std::string dir = "/tmp/avchd_test_script_" + std::to_string(getpid());
  ASSERT_EQ(testsupport::run_command("mkdir -p " + dir + "/Testing/Temporary").exit, 0);
  FILE* f = std::fopen((dir + "/Testing/Temporary/LastTest.log").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(
      "[ RUN      ] A.B\n/x/a.cpp:10: Skipped\n"
      "test material missing: avchd/a.m2ts (set AVCHD_TESTDATA to the folder holding it)\n[  SKIPPED ] A.B (0 ms)\n"
      "[ RUN      ] A.C\n/x/a.cpp:12: Skipped\ntest material missing: avchd/b.m2ts\n"
      "Google Test trace:\n/x/a.cpp:11: b\n[  SKIPPED ] A.C (0 ms)\n"
      "[ RUN      ] A.D\n/x/a.cpp:14: Skipped\nffmpeg is not installed: the saved movie is not checked\n"
      "[  SKIPPED ] A.D (0 ms)\n[ RUN      ] A.E\n[       OK ] A.E (0 ms)\n"
      "[  SKIPPED ] 3 tests, listed below:\n[  SKIPPED ] A.B\n[  SKIPPED ] A.C\n[  SKIPPED ] A.D\n",
      f);
  std::fclose(f);
  const testsupport::CommandResult r = RunPiece("^report_skips()", "^}", "", "report_skips " + dir);
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("skipped test cases: 3\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     2  test material missing (first: avchd/a.m2ts)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     1  ffmpeg is not installed (first: the saved movie is not checked)\n"), std::string::npos)
      << r.out;
  testsupport::run_command("rm -rf " + dir);
}

TEST(TestScript, LabelChoosesTheSteps) {
  const struct {
    const char* args;
    const char* steps;
  } kCases[] = {{"", "main=1 fuzz=1"},        {"-L unit", "main=1 fuzz=0"},      {"-Lstream", "main=1 fuzz=0"},
                {"-R demux", "main=1 fuzz=0"}, {"-L fuzz", "main=0 fuzz=1"},      {"--label-regex=fuzz", "main=0 fuzz=1"},
                {"-L \"unit|fuzz\"", "main=1 fuzz=1"}};
  for (const auto& c : kCases) {
    const testsupport::CommandResult r = RunPiece("^label=\"\"", "^if \\[ \"\\$label\" = fuzz",
                                                  std::string("set -- ") + c.args, "echo main=$run_main fuzz=$run_fuzz");
    EXPECT_EQ(r.out, std::string(c.steps) + "\n") << c.args << "\n" << r.err;
  }
}

// The packages the script installs include ffmpeg, without which the tests
// that open saved movies in it would skip on a fresh machine.
TEST(TestScript, InstallsFfmpeg) {
  const std::string dir = "/tmp/avchd_test_script_deps_" + std::to_string(getpid());
  ASSERT_EQ(testsupport::run_command("mkdir -p " + dir + "/scripts && printf '#!/bin/sh\\necho \"$@\"\\n' >" + dir +
                                     "/scripts/deps.sh && chmod +x " + dir + "/scripts/deps.sh")
                .exit,
            0);
  const testsupport::CommandResult r = RunPiece("^scripts\\/deps.sh", "^$", "cd " + dir, "");
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE((" " + r.out).find(" ffmpeg"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("libgtest-dev"), std::string::npos) << r.out;
  testsupport::run_command("rm -rf " + dir);
}

}  // namespace
