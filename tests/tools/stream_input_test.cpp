// h264dec and ac3dec read their input as it comes, a piece at a time: from
// standard input and FIFOs as from files, and in the same memory whatever
// the input's length (junk before the first frame or parameter set
// included); memory that runs out ends them with a message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "testsupport.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers hold freed memory back and refuse a preloaded allocator.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct Tool {
  const char* path;
  std::string input;  // a small stream it decodes whole
};
const Tool kTools[] = {
    {H264DEC, testsupport::local_data_file("inter/p_cavlc.264")},
    {AC3DEC, testsupport::local_data_file("ac3/own_10_32k_64k.nodither.ac3")},
};

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + "stream_input_" + std::to_string(getpid()) + "_" + name;
}

// `command`, run by the shell: its exit status, what it wrote to standard
// output, and the peak resident memory (KiB) of the largest process it ran.
struct Measured {
  int exit = -1;
  std::string out;
  long peakKib = 0;
};
Measured Measure(const std::string& command) {
  const std::string outPath = Temp("measured.out");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(out, 1);
    ::dup2(null, 2);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  Measured m;
  int status = 0;
  struct rusage usage {};
  if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) m.exit = WEXITSTATUS(status);
  m.peakKib = usage.ru_maxrss;  // the shell's and every process it waited for
  m.out = testsupport::read_text(outPath);
  std::remove(outPath.c_str());
  return m;
}

// Shell words writing `times` copies of `file`, one after the other.
std::string Repeated(const std::string& file, int times) {
  return "for i in $(seq " + std::to_string(times) + "); do cat " + file + "; done";
}
// Shell words writing `bytes` bytes of 0xA5, in which no start code or sync
// word can be found.
std::string Junk(long bytes) { return "head -c " + std::to_string(bytes) + " /dev/zero | tr '\\0' '\\245'"; }

TEST(StreamInput, StandardInputAndFifosGiveWhatTheFileGives) {
  const std::string fifo = Temp("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const Tool& t : kTools) {
    const testsupport::CommandResult file = testsupport::run_command(std::string(t.path) + " --md5 " + t.input);
    ASSERT_EQ(file.exit, 0) << file.err;
    const testsupport::CommandResult piped =
        testsupport::run_command("cat " + t.input + " | " + t.path + " --md5 -");
    EXPECT_EQ(piped.exit, 0) << piped.err;
    EXPECT_EQ(piped.out, file.out) << t.path;
    // A writer that is done before the reader looks: the FIFO is opened once,
    // or its bytes are gone and a second open waits for a writer for ever.
    for (int round = 0; round < 5; ++round) {
      const testsupport::CommandResult fromFifo = testsupport::run_command(
          "cat " + t.input + " >" + fifo + " 2>/dev/null </dev/null & timeout 10 " + t.path + " --md5 " + fifo);
      EXPECT_EQ(fromFifo.exit, 0) << t.path << ", round " << round << "\n" << fromFifo.err;
      EXPECT_EQ(fromFifo.out, file.out) << t.path;
      const int stray = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets a writer still waiting go
      if (stray >= 0) ::close(stray);
    }
    const testsupport::CommandResult empty = testsupport::run_command(std::string(t.path) + " --md5 - </dev/null");
    EXPECT_EQ(empty.exit, 1);
    EXPECT_NE(empty.err.find(": standard input: empty file\n"), std::string::npos) << empty.err;
  }
  std::remove(fifo.c_str());
}

// A long input takes the memory a short one takes: a stream repeated, and
// junk before the first parameter set or frame (which each decoder must read
// through to find it), 1 MB against 160 MB.
TEST(StreamInput, MemoryStaysTheSameWhateverTheLength) {
  if (kSanitized) GTEST_SKIP() << "sanitizers keep freed memory";
  const std::string h264 = kTools[0].input, ac3 = testsupport::local_data_file("ac3/ac3_20_256k_3s.nodither.ac3");
  const std::string h264dec = std::string(H264DEC) + " --threads 2 --md5 /dev/stdin";
  const std::string ac3dec = std::string(AC3DEC) + " -o /dev/null /dev/stdin";
  const testsupport::CommandResult pictures = testsupport::run_command(h264dec + " <" + h264);
  const std::string kNothing;
  const struct {
    std::string name, small, large;
    int exit;
    const std::string* out;  // what both print, when it is known
  } kCases[] = {
      {"h264dec, repeated", Repeated(h264, 1) + " | " + h264dec, Repeated(h264, 60) + " | " + h264dec, 0, nullptr},
      {"h264dec, junk first", "{ " + Junk(1000000) + "; cat " + h264 + "; } | " + h264dec,
       "{ " + Junk(160000000) + "; cat " + h264 + "; } | " + h264dec, 3, &pictures.out},  // the junk skipped, said
      {"ac3dec, repeated", Repeated(ac3, 1) + " | " + ac3dec, Repeated(ac3, 200) + " | " + ac3dec, 0, nullptr},
      {"ac3dec, junk", Junk(1000000) + " | " + ac3dec, Junk(160000000) + " | " + ac3dec, 1, &kNothing},
  };
  for (const auto& c : kCases) {
    const Measured small = Measure(c.small), large = Measure(c.large);
    EXPECT_EQ(small.exit, c.exit) << c.name;
    EXPECT_EQ(large.exit, c.exit) << c.name;
    if (c.out) {
      EXPECT_EQ(small.out, *c.out) << c.name;
      EXPECT_EQ(large.out, *c.out) << c.name;
    }
    EXPECT_LT(large.peakKib, small.peakKib + 8 * 1024) << c.name << ": " << small.peakKib << " KiB, then "
                                                         << large.peakKib << " KiB";
  }
}

// An allocation that fails ends the tool with one line naming the input,
// exit status 1, never an abort: the stream from a file, 2 MB of AC-3
// frames from a pipe (once read whole into memory), and a decoder for 1080
// pictures, whose buffers cannot be had.
TEST(StreamInput, MemoryRunningOutEndsWithAMessage) {
  if (kSanitized) GTEST_SKIP() << "sanitizers refuse a preloaded allocator";
  const std::string preload = std::string("LD_PRELOAD=") + FAIL_LARGE_MALLOC + " ";
  const std::string kLarge = testsupport::local_data_file("inter/bench1080.264");
  const std::string todo = ": free some memory or raise the process's limit (ulimit -v), then try again\n";
  const struct {
    std::string command, message;
  } kCases[] = {
      {preload + H264DEC + " --md5 " + kTools[0].input,
       "h264dec: " + kTools[0].input + ": out of memory for the decoding" + todo},
      {Repeated(testsupport::local_data_file("ac3/ac3_20_256k_3s.nodither.ac3"), 20) + " | " + preload + AC3DEC +
           " --md5 /dev/stdin",
       "ac3dec: /dev/stdin: out of memory for the decoding" + todo},
      {std::string("LD_PRELOAD=") + FAIL_LARGE_CALLOC + " " + H264DEC + " --md5 " + kLarge,
       "h264dec: " + kLarge + ": out of memory for a decoder of 1920x1088 pictures (its picture buffers and worker "
                              "threads; --threads 1 takes the least)" + todo},
  };
  for (const auto& c : kCases) {
    const testsupport::CommandResult r = testsupport::run_command(c.command);
    EXPECT_EQ(r.exit, 1) << c.command << "\n" << r.err;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
