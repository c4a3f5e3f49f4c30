// Whole-decoder speed on a 1080p progressive stream with P and B pictures
// (tests/data/inter/bench1080.264: CABAC, sub-macroblock partitions, 8x8
// transform), repeated five times back to back: the decoder library with one
// worker thread and with one per processor, beside `ffmpeg -threads 1` and
// `-threads 0` decoding the same bytes in the same run. Each reports
// pictures per second ("fps"); the ffmpeg figures include its process start.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode_bench_support.h"
#include "testsupport.h"

namespace {

constexpr int kCopies = 5;
constexpr int kPicturesPerCopy = 24;

// Every copy starts with an IDR picture, so the copies join into one stream.
struct Input {
  std::vector<uint8_t> bytes;
  std::string path;  // the same bytes on disk, for ffmpeg

  Input() {
    const std::vector<uint8_t> one = testsupport::read_file(testsupport::local_data_file("inter/bench1080.264"));
    for (int i = 0; i < kCopies && !one.empty(); ++i) bytes.insert(bytes.end(), one.begin(), one.end());
    path = "/tmp/avchd_h264_decode_bench_" + std::to_string(::getpid()) + ".264";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
  }
  ~Input() { std::remove(path.c_str()); }
};

const Input& input() {
  static const Input in;
  return in;
}

void BM_Decode1080(benchmark::State& state) {
  const int64_t pictures = benchdecode::time_decoder(state, input().bytes);
  if (pictures >= 0 && pictures != static_cast<int64_t>(state.iterations()) * kCopies * kPicturesPerCopy)
    state.SkipWithError("picture count differs from the stream's");
}
BENCHMARK(BM_Decode1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Ffmpeg1080(benchmark::State& state) {
  if (!benchdecode::have_ffmpeg() || input().bytes.empty())
    return state.SkipWithError("ffmpeg or the stream missing: comparison skipped");
  int64_t pictures = 0;
  for (auto _ : state) {
    if (!benchdecode::ffmpeg_decode(input().path, state.range(0))) return state.SkipWithError("ffmpeg failed");
    pictures += kCopies * kPicturesPerCopy;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Ffmpeg1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
