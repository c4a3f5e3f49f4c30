// Memory blocks and handles, strings, process information.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "CFString.h"
#include "MacMemory.h"
#include "Processes.h"

namespace {

TEST(Memory, HandlesKnowTheirSizeAndKeepDataWhenResized) {
  SInt32 live = LiveHandleCount();
  Handle h = NewHandleClear(10);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(MemError(), noErr);
  EXPECT_EQ(GetHandleSize(h), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ((*h)[i], 0);
  std::memcpy(*h, "0123456789", 10);
  SetHandleSize(h, 100000);
  EXPECT_EQ(MemError(), noErr);
  EXPECT_EQ(GetHandleSize(h), 100000);
  EXPECT_EQ(std::memcmp(*h, "0123456789", 10), 0);
  SetHandleSize(h, 4);
  EXPECT_EQ(GetHandleSize(h), 4);
  EXPECT_EQ(std::memcmp(*h, "0123", 4), 0);
  EXPECT_EQ(PtrAndHand("45", h, 2), noErr);
  EXPECT_EQ(std::memcmp(*h, "012345", 6), 0);
  Handle copy = h;
  ASSERT_EQ(HandToHand(&copy), noErr);
  EXPECT_NE(copy, h);
  EXPECT_EQ(GetHandleSize(copy), 6);
  EXPECT_EQ(LiveHandleCount(), live + 2);
  DisposeHandle(copy);
  DisposeHandle(h);
  EXPECT_EQ(LiveHandleCount(), live);
}

TEST(Memory, ErrorsAreReportedPerCallAndPerThread) {
  EXPECT_EQ(NewHandle(-1), nullptr);
  EXPECT_EQ(MemError(), paramErr);
  EXPECT_EQ(GetHandleSize(nullptr), 0);
  EXPECT_EQ(MemError(), nilHandleErr);
  // A plain block is not a handle.
  Ptr p = NewPtrClear(64);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(GetPtrSize(p), 64);
  alignas(16) char fake[32] = {};
  EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(fake)), 0);
  EXPECT_EQ(MemError(), memWZErr);
  // Another thread's failure does not show here.
  std::thread([] { NewPtr(-5); EXPECT_EQ(MemError(), paramErr); }).join();
  EXPECT_EQ(MemError(), memWZErr);
  DisposePtr(p);
  EXPECT_EQ(MemError(), noErr);
  Handle empty = NewHandle(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(*empty, nullptr);
  EXPECT_EQ(GetHandleSize(empty), 0);
  DisposeHandle(empty);
  DisposeHandle(nullptr);
  DisposePtr(nullptr);
}

TEST(Memory, PtrToHandCopies) {
  const UInt32 words[2] = {7, 9};
  Handle h = nullptr;
  ASSERT_EQ(PtrToHand(words, &h, sizeof words), noErr);
  EXPECT_EQ(GetHandleSize(h), 8);
  EXPECT_EQ(std::memcmp(*h, words, 8), 0);
  DisposeHandle(h);
  EXPECT_EQ(PtrToHand(nullptr, &h, 4), paramErr);
}

TEST(Strings, Utf8RoundTripAndBufferLimits) {
  const char* path = "/tmp/caf\xC3\xA9/100% %d.MTS";
  CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, path, kCFStringEncodingUTF8);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CFStringGetLength(s), CFIndex(std::strlen(path) - 1));
  char buffer[1024];
  ASSERT_TRUE(CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, path);
  // Exactly the room for text and terminator, then one byte less.
  size_t need = std::strlen(path) + 1;
  EXPECT_TRUE(CFStringGetCString(s, buffer, CFIndex(need), kCFStringEncodingUTF8));
  EXPECT_FALSE(CFStringGetCString(s, buffer, CFIndex(need - 1), kCFStringEncodingUTF8));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_FALSE(CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingASCII));
  CFRetain(s);
  CFRelease(s);
  CFRelease(s);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3(", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
  CFRelease(nullptr);
}

std::string name_of(pid_t pid) {
  ProcessSerialNumber psn;
  if (GetProcessForPID(pid, &psn) != noErr) return "<none>";
  Str255 name = {};
  ProcessInfoRec info;
  std::memset(&info, 0, sizeof info);
  info.processInfoLength = kProcessInfoLegacyLength;
  info.processName = name;
  if (GetProcessInformation(&psn, &info) != noErr) return "<error>";
  return std::string(reinterpret_cast<char*>(name + 1), name[0]);
}

TEST(Processes, ParentNameFollowsWhatTheParentCallsItself) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_NAME, "quicklookd");
    pid_t grandchild = fork();
    if (grandchild == 0) _exit(name_of(getppid()) == "quicklookd" ? 0 : 1);
    int status = 0;
    waitpid(grandchild, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Processes, RecordsAndFailures) {
  ProcessSerialNumber psn;
  ASSERT_EQ(GetProcessForPID(getpid(), &psn), noErr);
  ProcessInfoRec info;
  std::memset(&info, 0, sizeof info);
  info.processInfoLength = sizeof info;
  ASSERT_EQ(GetProcessInformation(&psn, &info), noErr);
  EXPECT_EQ(info.processNumber.lowLongOfPSN, UInt32(getpid()));
  EXPECT_EQ(info.processLauncher.lowLongOfPSN, UInt32(getppid()));
  info.processInfoLength = 3;
  EXPECT_EQ(GetProcessInformation(&psn, &info), paramErr);
  EXPECT_EQ(GetProcessForPID(0x3FFFFFFF, &psn), procNotFound);
}

}  // namespace
