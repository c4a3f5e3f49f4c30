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

#include "AVCHDVideoDecoder.h"

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

// Decodes the whole stream once; returns the number of pictures output.
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

void BM_DecodeIntra1080(benchmark::State& state) {
  const std::vector<uint8_t>& data = stream_bytes();
  if (data.empty()) {
    state.SkipWithError("tests/data/reconstruction/intra1080.264 missing");
    return;
  }
  VideoDecoderParams params;
  if (AVCHDGetVideoDecoderInfoLib(&params, data.data(), static_cast<int32_t>(data.size())) != 0) {
    state.SkipWithError("no sequence parameter set");
    return;
  }
  params.outputFormat = 3;
  params.threads = static_cast<uint8_t>(state.range(0));
  params.timeoutMs = 60000;
  params.flags = 0;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  if (!dec) {
    state.SkipWithError("decoder did not open");
    return;
  }
  std::vector<uint8_t> picture(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params)) + 64);
  int64_t pictures = 0;
  for (auto _ : state) pictures += decode_once(dec, picture);
  AVCHDCloseVideoDecoderLib(dec);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeIntra1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

// ffmpeg to the null muxer, process start included.
void BM_FfmpegIntra1080(benchmark::State& state) {
  struct stat st;
  if (::stat("/usr/bin/ffmpeg", &st) != 0) {
    state.SkipWithError("ffmpeg not installed: comparison skipped");
    return;
  }
  if (stream_bytes().empty()) {
    state.SkipWithError("tests/data/reconstruction/intra1080.264 missing");
    return;
  }
  const std::string command = "/usr/bin/ffmpeg -nostdin -hide_banner -loglevel error -threads " +
                              std::to_string(state.range(0)) + " -i '" + std::string(stream_file()) +
                              "' -f null - >/dev/null 2>&1";
  int64_t pictures = 0;
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    pictures += kRepeats * kStreamPictures;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FfmpegIntra1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
