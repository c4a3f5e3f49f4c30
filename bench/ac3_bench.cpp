// AC-3 decoding speed: the 60-second 3/2+LFE 448 kbit/s stream, from memory
// to interleaved 16-bit PCM in memory through the public calls as the data
// handler drives them, beside `ffmpeg -i FILE -f null -` on the same file
// (when ffmpeg is installed). Both report "xRT": seconds of audio decoded per
// second of wall-clock time.
#include <benchmark/benchmark.h>

#include "testsupport.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "AC3Decoder.h"

namespace {

constexpr double kStreamSeconds = 60.0;

std::string stream_path() { return testsupport::testdata_file("ac3/ac3_51_448k_60s.ac3"); }

const std::vector<uint8_t>& stream_bytes() {
  static const std::vector<uint8_t> data = testsupport::read_file(stream_path());
  return data;
}

void report_speed(benchmark::State& state, double audioSeconds) {
  state.counters["xRT"] =
      benchmark::Counter(double(state.iterations()) * audioSeconds, benchmark::Counter::kIsRate);
}

void BM_AC3DecodeToMemory(benchmark::State& state) {
  const std::vector<uint8_t>& data = stream_bytes();
  if (data.empty()) {
    state.SkipWithError("test material missing: ac3/ac3_51_448k_60s.ac3");
    return;
  }
  AC3DecState* dec = AC3DecInitLib();
  std::vector<int16_t> pcm(131072 / 2);
  int64_t samples = 0;
  for (auto _ : state) {
    AC3DecResetLib(dec);
    size_t pos = 0;
    samples = 0;
    while (pos < data.size()) {
      ac3decInfo info = {};
      info.outFollowsStream = 1;
      info.pInput = data.data() + pos;
      info.nInputBytes = int32_t(data.size() - pos);
      info.pOutput = pcm.data();
      info.nOutputCapacity = 131072;
      if (AC3DecGetInputInfoLib(dec, &info) != 0 || AC3DecodeAFrameLib(dec, &info) != 0) break;
      samples += info.nOutputBytes / 2;
      benchmark::DoNotOptimize(pcm.data());
      pos += size_t(info.nInputBytesUsed);
    }
  }
  AC3DecCloseLib(dec);
  if (samples != int64_t(kStreamSeconds * 48000 * 6)) {
    state.SkipWithError("the stream did not decode whole");
    return;
  }
  report_speed(state, kStreamSeconds);
}
BENCHMARK(BM_AC3DecodeToMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

// ffmpeg decoding to the null muxer: process start, parsing, decoding and its
// conversion to 16-bit samples, timed as a whole.
void BM_FfmpegDecode(benchmark::State& state) {
  struct stat st;
  if (::stat("/usr/bin/ffmpeg", &st) != 0) {
    state.SkipWithError("ffmpeg not installed: comparison skipped");
    return;
  }
  if (stream_bytes().empty()) {
    state.SkipWithError("test material missing: ac3/ac3_51_448k_60s.ac3");
    return;
  }
  const std::string command = "/usr/bin/ffmpeg -nostdin -hide_banner -loglevel error -i '" + stream_path() +
                              "' -f null - >/dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  report_speed(state, kStreamSeconds);
}
BENCHMARK(BM_FfmpegDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
