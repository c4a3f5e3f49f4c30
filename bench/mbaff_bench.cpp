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

#include "AVCHDVideoDecoder.h"
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

int64_t decode_once(VideoDecoder* dec, std::vector<uint8_t>& picture) {
  const std::vector<uint8_t>& data = stream_bytes();
  AVCHDResetVideoDecoderLib(dec);
  int64_t count = 0;
  int32_t eos = 0;
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, picture.data(), data.data(), static_cast<uint32_t>(data.size()), 0, 0);
  for (;;) {
    if (st & 0x0001) ++count;
    if (st & (0x8000 | 0x0004)) break;
    if (st & 0x0002) eos = 1;
    st = AVCHDDecodeVideoStreamLib(dec, picture.data(), nullptr, 0, eos, 0);
  }
  return count;
}

int64_t g_pictures = 0;  // pictures of one pass, as the library counts them

void BM_DecodeMbaff1080i(benchmark::State& state) {
  const std::vector<uint8_t>& data = stream_bytes();
  if (data.empty()) return state.SkipWithError("test material missing: avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  VideoDecoderParams params;
  if (AVCHDGetVideoDecoderInfoLib(&params, data.data(), static_cast<int32_t>(data.size())) != 0)
    return state.SkipWithError("no sequence parameter set");
  params.outputFormat = 3;
  params.threads = static_cast<uint8_t>(state.range(0));
  params.timeoutMs = 60000;
  params.flags = 0;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  if (!dec) return state.SkipWithError("decoder did not open");
  std::vector<uint8_t> picture(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params)) + 64);
  int64_t pictures = 0;
  for (auto _ : state) pictures += g_pictures = decode_once(dec, picture);
  AVCHDCloseVideoDecoderLib(dec);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeMbaff1080i)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FfmpegMbaff1080i(benchmark::State& state) {
  struct stat st;
  if (::stat("/usr/bin/ffmpeg", &st) != 0) return state.SkipWithError("ffmpeg not installed: comparison skipped");
  const std::string path = testsupport::testdata_file(kRecording);
  if (stream_bytes().empty() || g_pictures == 0) return state.SkipWithError("test material missing or not decoded");
  const std::string command = "/usr/bin/ffmpeg -nostdin -hide_banner -loglevel error -threads " +
                              std::to_string(state.range(0)) + " -i '" + path + "' -map 0:v:0 -f null - >/dev/null 2>&1";
  int64_t pictures = 0;
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) return state.SkipWithError("ffmpeg failed");
    pictures += g_pictures;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FfmpegMbaff1080i)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
