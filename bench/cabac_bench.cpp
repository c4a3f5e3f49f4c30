// CABAC parsing alone (slice data of every picture, with dequantisation and
// the in-place inverse transforms, no prediction or deblocking), in pictures
// and macroblocks per second on one thread, beside ffmpeg's full decoding of
// the same stream (one thread) as a reference point: two CIF clips and the
// video of the 10-second 1080i AVCHD-style recording (MBAFF).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cabac_stream_parse.h"
#include "testsupport.h"

namespace {

const char kRecording[] = "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts";

// An Annex B stream, or for a .m2ts the payload of the video PES packets
// (PID 0x1011) of its 192-byte source packets.
std::vector<uint8_t> annexb_of(const std::string& path) {
  std::vector<uint8_t> file = testsupport::read_file(path);
  if (path.size() < 5 || path.compare(path.size() - 5, 5, ".m2ts") != 0) return file;
  std::vector<uint8_t> es;
  for (size_t at = 0; at + 192 <= file.size(); at += 192) {
    const uint8_t* p = file.data() + at + 4;
    if (p[0] != 0x47 || (((p[1] & 0x1F) << 8) | p[2]) != 0x1011 || !(p[3] & 0x10)) continue;
    size_t start = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
    if ((p[1] & 0x40) && start + 9 <= 188) start += 9 + p[start + 8];
    if (start < 188) es.insert(es.end(), p + start, p + 188);
  }
  return es;
}

void parse(benchmark::State& state, const char* rel) {
  const std::string path = testsupport::testdata_file(rel);
  if (path.empty()) {
    state.SkipWithError("test material missing");
    return;
  }
  const std::vector<uint8_t> file = annexb_of(path);
  size_t pictures = 0, macroblocks = 0;
  int failed = 0;
  for (auto _ : state) {
    failed = 0;
    const auto pics = cabacstream::parse_stream(file, &failed);
    pictures += pics.size();
    for (const auto& p : pics) macroblocks += p.qp.size();
    benchmark::DoNotOptimize(pics.data());
  }
  state.counters["pictures/s"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(macroblocks), benchmark::Counter::kIsRate);
  state.counters["failed slices"] = failed;
}

void ffmpeg_decode(benchmark::State& state, const char* rel, int picturesPerPass) {
  const std::string path = testsupport::testdata_file(rel);
  if (path.empty() || std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
    state.SkipWithError("ffmpeg or test material missing");
    return;
  }
  const std::string cmd = "ffmpeg -nostdin -loglevel error -threads 1 -i '" + path + "' -map 0:v -f null - ";
  size_t pictures = 0;
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    pictures += static_cast<size_t>(picturesPerPass);
  }
  state.counters["pictures/s"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(parse, cif_cabac_main, "h264-features/02_cabac_main.264")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(parse, cif_cabac_high_8x8, "h264-features/03_cabac_high_8x8.264")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(parse, avchd_1080i_mbaff, kRecording)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ffmpeg_decode, cif_cabac_main, "h264-features/02_cabac_main.264", 50)
    ->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_CAPTURE(ffmpeg_decode, avchd_1080i_mbaff, kRecording, 300)
    ->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
