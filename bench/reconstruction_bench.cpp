// Intra-only decode speed: the 1080 stream of tests/data/reconstruction
// (every picture an IDR picture), repeated ten times back to back so that
// process start weighs little on the ffmpeg side, decoded by the decoder
// library with one worker thread and with one per processor, beside
// `ffmpeg -threads 1` and `-threads 0` on the same bytes. All report frames
// per second ("fps").
#include <benchmark/benchmark.h>

#include "testsupport.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "decode_bench_support.h"

namespace {

constexpr int kRepeats = 10;
constexpr int kStreamPictures = 8;  // pictures of the committed stream

// The committed stream repeated kRepeats times (every picture an IDR
// picture, so the copies join into one valid stream).
const std::vector<uint8_t>& stream_bytes() {
  static std::vector<uint8_t> data = [] {
    const std::vector<uint8_t> one = testsupport::read_file(testsupport::local_data_file("reconstruction/intra1080.264"));
    std::vector<uint8_t> all;
    for (int i = 0; i < kRepeats && !one.empty(); ++i) all.insert(all.end(), one.begin(), one.end());
    return all;
  }();
  return data;
}

// The same bytes in a temporary file for ffmpeg; removed at exit (the name
// lives in a plain array, which outlives every exit handler).
char g_streamFile[64];

void remove_stream_file() { std::remove(g_streamFile); }

const char* stream_file() {
  if (g_streamFile[0] == 0) {
    std::snprintf(g_streamFile, sizeof g_streamFile, "/tmp/avchd_reconstruction_bench_%d.264", static_cast<int>(::getpid()));
    if (FILE* f = std::fopen(g_streamFile, "wb")) {
      std::fwrite(stream_bytes().data(), 1, stream_bytes().size(), f);
      std::fclose(f);
      std::atexit(remove_stream_file);
    }
  }
  return g_streamFile;
}

void BM_DecodeIntra1080(benchmark::State& state) {
  benchdecode::time_decoder(state, stream_bytes());
}
BENCHMARK(BM_DecodeIntra1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

// ffmpeg to the null muxer, process start included.
void BM_FfmpegIntra1080(benchmark::State& state) {
  if (!benchdecode::have_ffmpeg()) return state.SkipWithError("ffmpeg not installed: comparison skipped");
  if (stream_bytes().empty()) return state.SkipWithError("tests/data/reconstruction/intra1080.264 missing");
  int64_t pictures = 0;
  for (auto _ : state) {
    if (!benchdecode::ffmpeg_decode(stream_file(), state.range(0))) return state.SkipWithError("ffmpeg failed");
    pictures += kRepeats * kStreamPictures;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FfmpegIntra1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
