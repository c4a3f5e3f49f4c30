// Demultiplexing speed: the 10-second 1080i recording, from memory, through
// the stream call as the components drive it, beside
// `ffmpeg -i FILE -c copy -f null -` on the same file (when ffmpeg is
// installed). Both report bytes per second of the transport stream.
#include "TSDemuxer.h"

#include <benchmark/benchmark.h>

#include "testsupport.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::string stream_path() { return testsupport::testdata_file("avchd/avchd_1080i_10s_ac3_20_avchd.m2ts"); }

const std::vector<uint8_t>& stream_bytes() {
  static const std::vector<uint8_t> data = testsupport::read_file(stream_path());
  return data;
}

// Transport-stream bytes per second, in MB/s (10^6 bytes).
void report_rate(benchmark::State& state, size_t fileSize) {
  double bytes = double(state.iterations()) * double(fileSize);
  state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}

void BM_TSDemuxStream(benchmark::State& state) {
  const std::vector<uint8_t>& data = stream_bytes();
  if (data.empty()) {
    state.SkipWithError("test material missing: avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
    return;
  }
  const uint8_t none = 0;
  int64_t pes = 0;
  for (auto _ : state) {
    TSDemuxContext* ctx = TSOpenDemuxLib();
    TSDemuxOutput out{};
    out.status = kTSStatusNeedInput;
    size_t position = 0;
    for (;;) {
      uint32_t status;
      if (out.status & kTSStatusNeedInput) {
        size_t n = std::min<size_t>(0x2d000, data.size() - position);
        if (n == 0) break;
        status = TSDemuxStreamLib(data.data() + position, int32_t(n), &out, ctx);
        position += n;
      } else {
        status = TSDemuxStreamLib(&none, 0, &out, ctx);
      }
      if (status & (kTSStatusVideo | kTSStatusAudio)) ++pes;
      benchmark::DoNotOptimize(out.videoSize);
    }
    TSCloseDemuxLib(ctx);
  }
  report_rate(state, data.size());
  state.counters["PES"] = benchmark::Counter(double(pes) / double(state.iterations()));
}
BENCHMARK(BM_TSDemuxStream)->Unit(benchmark::kMillisecond)->UseRealTime();

// ffmpeg copying both streams to the null muxer: process start, demultiplexing
// and its parsers, timed as a whole.
void BM_FfmpegCopy(benchmark::State& state) {
  struct stat st;
  if (::stat("/usr/bin/ffmpeg", &st) != 0) {
    state.SkipWithError("ffmpeg not installed: comparison skipped");
    return;
  }
  const std::vector<uint8_t>& data = stream_bytes();
  if (data.empty()) {
    state.SkipWithError("test material missing: avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
    return;
  }
  const std::string command =
      "/usr/bin/ffmpeg -nostdin -hide_banner -loglevel error -i '" + stream_path() + "' -c copy -f null - >/dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  report_rate(state, data.size());
}
BENCHMARK(BM_FfmpegCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
