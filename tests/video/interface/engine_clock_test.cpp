// The decoder's waits against a wall clock that is set while they run. The
// program stands in for the C library's wall-clock reads (time and
// clock_gettime on CLOCK_REALTIME) so that it can put the clock an hour
// behind, as a machine setting its time after it starts leaves a wait
// reckoned before: every wait would then be over at once. Its own program,
// so that no other test reads the stand-in clock.
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
  if (r == 0 && clock == CLOCK_REALTIME && ts) ts->tv_sec -= g_wallBehind.load();
  return static_cast<int>(r);
}

extern "C" time_t time(time_t* out) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out) *out = ts.tv_sec;
  return ts.tv_sec;
}

namespace {

// Open's wait for its workers, the decode call's wait for a picture and the
// workers' waits for reference rows all last as long as they should with the
// wall clock an hour behind: the stream decodes whole, as it does without.
TEST(EngineClock, WaitsOutlastAWallClockSetBack) {
  const std::string path = testsupport::local_data_file("inter/p_cavlc.264");
  ASSERT_FALSE(path.empty());
  const std::vector<uint8_t> data = testsupport::read_file(path);
  for (uint32_t threads : {1u, 2u, 4u}) {
    enginetest::DecodeOptions opt;
    opt.threads = threads;
    const enginetest::DecodeRun usual = enginetest::decode_buffer(data, opt);
    ASSERT_TRUE(usual.finished) << threads << " workers";
    g_wallBehind = 3600;
    const enginetest::DecodeRun behind = enginetest::decode_buffer(data, opt);
    g_wallBehind = 0;
    EXPECT_TRUE(behind.opened) << threads << " workers";
    EXPECT_TRUE(behind.finished) << threads << " workers, error code " << behind.errorCode;
    EXPECT_EQ(usual.md5s, behind.md5s) << threads << " workers";
  }
}

}  // namespace
