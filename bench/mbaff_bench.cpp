// MBAFF decode speed: the video of the 10-second 1080i AVCHD-style recording
// (MBAFF, CABAC, High profile, P and B pictures), taken out of its transport
// stream once, decoded by the decoder library with one worker thread and
// with one per processor, beside `ffmpeg -threads 1` and `-threads 0`
// decoding the video of the same file in the same run (its figures include
// process start and demultiplexing). All report pictures per second ("fps").
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode_bench_support.h"
#include "testsupport.h"

namespace {

const char kRecording[] = "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts";

// The video elementary stream (PID 0x1011) of a transport stream of 192-byte
// source packets: PES payloads in packet order.
std::vector<uint8_t> video_of(const std::vector<uint8_t>& ts) {
  std::vector<uint8_t> es;
  for (size_t at = 0; at + 192 <= ts.size(); at += 192) {
    const uint8_t* p = ts.data() + at + 4;
    if (p[0] != 0x47 || (((p[1] & 0x1F) << 8) | p[2]) != 0x1011 || !(p[3] & 0x10)) continue;
    size_t start = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
    if ((p[1] & 0x40) && start + 9 <= 188) start += 9 + p[start + 8];  // PES header
    if (start < 188) es.insert(es.end(), p + start, p + 188);
  }
  return es;
}

const std::vector<uint8_t>& stream_bytes() {
  static const std::vector<uint8_t> es = video_of(testsupport::read_file(testsupport::testdata_file(kRecording)));
  return es;
}

int64_t g_pictures = 0;  // pictures of one pass, as the library counts them

void BM_DecodeMbaff1080i(benchmark::State& state) {
  const std::vector<uint8_t>& data = stream_bytes();
  if (data.empty()) return state.SkipWithError("test material missing: avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const int64_t pictures = benchdecode::time_decoder(state, data);
  if (pictures > 0) g_pictures = pictures / static_cast<int64_t>(state.iterations());
}
BENCHMARK(BM_DecodeMbaff1080i)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FfmpegMbaff1080i(benchmark::State& state) {
  if (!benchdecode::have_ffmpeg()) return state.SkipWithError("ffmpeg not installed: comparison skipped");
  const std::string path = testsupport::testdata_file(kRecording);
  if (stream_bytes().empty() || g_pictures == 0) return state.SkipWithError("test material missing or not decoded");
  int64_t pictures = 0;
  for (auto _ : state) {
    if (!benchdecode::ffmpeg_decode(path, state.range(0))) return state.SkipWithError("ffmpeg failed");
    pictures += g_pictures;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FfmpegMbaff1080i)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
