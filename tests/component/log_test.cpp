#include "MTS_Log.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::StderrCapture;

// The prefix is the function name and line (none for a NULL name); format
// characters inside an argument are printed literally; a long message is cut
// at 1023 characters, prefixed or not; the result counts what was written.
TEST(PrintLog, PrefixArgumentsAndLength) {
  const std::string longMessage(2000, 'x');
  struct Case {
    const char* function;
    int line;
    const char* format;
    const char* argument;
    std::string want;
  };
  const Case cases[] = {
      {"MTS_Something", 123, "[ERR]failed(%s)\n", "-50", "MTS_Something:(123)[ERR]failed(-50)\n"},
      {nullptr, 99, "[ERR]plain%s\n", "", "[ERR]plain\n"},
      {"Open", 1, "[ERR]cannot open %s\n", "/tmp/100%d_%s%n.MTS", "Open:(1)[ERR]cannot open /tmp/100%d_%s%n.MTS\n"},
      {"F", 7, "%s", longMessage.c_str(), "F:(7)" + longMessage.substr(0, 1018)},
      {nullptr, 0, "%s", longMessage.c_str(), longMessage.substr(0, 1023)},
  };
  for (const Case& c : cases) {
    StderrCapture capture;
    const int n = PrintLog(c.function, c.line, c.format, c.argument);
    const std::string text = capture.text();
    EXPECT_EQ(text, c.want);
    EXPECT_EQ(n, static_cast<int>(text.size()));
  }
}

TEST(LockWrappers, NullAddressesAreReportedAndHarmless) {
  StderrCapture capture;
  MTS_LockInit(nullptr);
  MTS_LockLock(nullptr);
  MTS_LockUnlock(nullptr);
  std::string text = capture.text();
  EXPECT_NE(text.find("MTS_LockInit:("), std::string::npos);
  EXPECT_NE(text.find(")[ERR]MTS_LockInit error(lock address = NULL)\n"), std::string::npos);
  EXPECT_NE(text.find("MTS_LockLock:("), std::string::npos);
  EXPECT_NE(text.find(")[ERR]MTS_LockLock error(lock address = NULL)\n"), std::string::npos);
  EXPECT_NE(text.find("MTS_LockUnlock:("), std::string::npos);
  EXPECT_NE(text.find(")[ERR]MTS_LockUnlock error(lock address = NULL)\n"), std::string::npos);
}

TEST(LockWrappers, InitLockUnlock) {
  OSSpinLock lock = 12345;
  MTS_LockInit(&lock);
  EXPECT_EQ(lock, 0);
  MTS_LockLock(&lock);
  EXPECT_NE(lock, 0);
  MTS_LockUnlock(&lock);
  EXPECT_EQ(lock, 0);
}

}  // namespace
