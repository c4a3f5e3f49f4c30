// CABAC parsing alone (slice data of every picture, with dequantisation and
// the in-place inverse transforms, no prediction or deblocking), in pictures
// per second on one thread, beside ffmpeg's full decoding of the same
// stream as a reference point.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cabac_stream_parse.h"
#include "testsupport.h"

namespace {

void parse(benchmark::State& state, const char* rel) {
  const std::string path = testsupport::testdata_file(rel);
  if (path.empty()) {
    state.SkipWithError("test material missing");
    return;
  }
  const std::vector<uint8_t> file = testsupport::read_file(path);
  size_t pictures = 0;
  for (auto _ : state) {
    int failed = 0;
    const auto pics = cabacstream::parse_stream(file, &failed);
    pictures += pics.size();
    benchmark::DoNotOptimize(pics.data());
  }
  state.counters["pictures/s"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}

void ffmpeg_decode(benchmark::State& state, const char* rel) {
  const std::string path = testsupport::testdata_file(rel);
  if (path.empty() || std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
    state.SkipWithError("ffmpeg or test material missing");
    return;
  }
  const std::string cmd = "ffmpeg -nostdin -loglevel error -threads 1 -i '" + path + "' -f null - ";
  size_t pictures = 0;
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    pictures += 50;
  }
  state.counters["pictures/s"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(parse, cif_cabac_main, "h264-features/02_cabac_main.264")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(parse, cif_cabac_high_8x8, "h264-features/03_cabac_high_8x8.264")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ffmpeg_decode, cif_cabac_main, "h264-features/02_cabac_main.264")
    ->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
