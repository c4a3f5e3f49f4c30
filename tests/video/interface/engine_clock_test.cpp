// The decoder's waits with the wall clock set back while they run, as a
// machine that sets its time after it starts leaves a deadline reckoned
// before. The program stands in for the C library's wall-clock reads, so it
// is a program of its own.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include "engine_test_util.h"
#include "testsupport.h"

namespace {
std::atomic<long> g_wallBehind{0};  // seconds taken off the wall clock
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) {
  const long r = syscall(SYS_clock_gettime, clock, ts);
  if (r == 0 && clock == CLOCK_REALTIME) ts->tv_sec -= g_wallBehind.load();
  return static_cast<int>(r);
}

extern "C" time_t time(time_t* out) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out) *out = ts.tv_sec;
  return ts.tv_sec;
}

namespace {

// Open's wait for the workers, the decode call's and the workers' waits for
// reference rows last as they should: the stream decodes whole.
TEST(EngineClock, WaitsOutlastAWallClockSetBack) {
  const std::vector<uint8_t> data = testsupport::read_file(testsupport::local_data_file("inter/p_cavlc.264"));
  for (uint32_t threads : {1u, 4u}) {
    enginetest::DecodeOptions opt;
    opt.threads = threads;
    const enginetest::DecodeRun usual = enginetest::decode_buffer(data, opt);
    g_wallBehind = 3600;
    const enginetest::DecodeRun behind = enginetest::decode_buffer(data, opt);
    g_wallBehind = 0;
    EXPECT_TRUE(usual.finished && behind.finished) << threads << " workers, error " << behind.errorCode;
    EXPECT_EQ(usual.md5s, behind.md5s) << threads << " workers";
  }
}

}  // namespace
