#include "MTS_Log.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::StderrCapture;

TEST(PrintLog, PrefixIsFunctionAndLine) {
  StderrCapture capture;
  int n = PrintLog("MTS_Something", 123, "[ERR]failed(%d)\n", -50);
  std::string text = capture.text();
  EXPECT_EQ(text, "MTS_Something:(123)[ERR]failed(-50)\n");
  EXPECT_EQ(n, static_cast<int>(text.size()));
}

TEST(PrintLog, NullFunctionNameGivesMessageAlone) {
  StderrCapture capture;
  PrintLog(nullptr, 99, "[ERR]plain\n");
  EXPECT_EQ(capture.text(), "[ERR]plain\n");
}

TEST(PrintLog, LongMessageIsCutAt1023Characters) {
  std::string message(2000, 'x');
  StderrCapture capture;
  PrintLog("F", 7, "%s", message.c_str());
  std::string text = capture.text();
  ASSERT_EQ(text.size(), 1023u);
  EXPECT_EQ(text.substr(0, 5), "F:(7)");
  EXPECT_EQ(text.find_first_not_of('x', 5), std::string::npos);

  StderrCapture unprefixed;
  PrintLog(nullptr, 0, "%s", message.c_str());
  EXPECT_EQ(unprefixed.text().size(), 1023u);
}

TEST(PrintLog, FormatCharactersInArgumentsArePrintedLiterally) {
  StderrCapture capture;
  PrintLog("Open", 1, "[ERR]cannot open %s\n", "/tmp/100%d_%s%n.MTS");
  EXPECT_EQ(capture.text(), "Open:(1)[ERR]cannot open /tmp/100%d_%s%n.MTS\n");
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
