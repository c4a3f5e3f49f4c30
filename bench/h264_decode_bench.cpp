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

#include "AVCHDVideoDecoder.h"
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

// One pass over the stream through the library's decode call: the first call
// hands over every byte, the later ones collect pictures until the end.
int64_t decode_stream(VideoDecoder* dec, uint8_t* picture) {
  const std::vector<uint8_t>& bytes = input().bytes;
  AVCHDResetVideoDecoderLib(dec);
  int64_t pictures = 0;
  const uint8_t* data = bytes.data();
  uint32_t size = static_cast<uint32_t>(bytes.size());
  int32_t endOfStream = 0;
  for (;;) {
    const uint32_t status = AVCHDDecodeVideoStreamLib(dec, picture, data, size, endOfStream, 0);
    data = nullptr;
    size = 0;
    pictures += status & 0x0001;
    if (status & (0x8000 | 0x0004)) return pictures;  // error, or every picture out
    endOfStream |= (status & 0x0002) != 0;
  }
}

void BM_Decode1080(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = input().bytes;
  VideoDecoderParams params;
  if (bytes.empty() || AVCHDGetVideoDecoderInfoLib(&params, bytes.data(), static_cast<int32_t>(bytes.size())) != 0) {
    state.SkipWithError("tests/data/inter/bench1080.264 missing or unreadable");
    return;
  }
  params.outputFormat = 3;  // IYUV
  params.threads = static_cast<uint8_t>(state.range(0));
  params.timeoutMs = 60000;
  params.flags = 0;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  if (dec == nullptr) {
    state.SkipWithError("decoder did not open");
    return;
  }
  std::vector<uint8_t> picture(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params)) + 64);
  int64_t pictures = 0;
  for (auto _ : state) pictures += decode_stream(dec, picture.data());
  AVCHDCloseVideoDecoderLib(dec);
  if (pictures != static_cast<int64_t>(state.iterations()) * kCopies * kPicturesPerCopy)
    state.SkipWithError("picture count differs from the stream's");
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Decode1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Ffmpeg1080(benchmark::State& state) {
  struct stat st;
  if (::stat("/usr/bin/ffmpeg", &st) != 0 || input().bytes.empty()) {
    state.SkipWithError("ffmpeg or the stream missing: comparison skipped");
    return;
  }
  const std::string command = "/usr/bin/ffmpeg -nostdin -v error -threads " + std::to_string(state.range(0)) +
                              " -i " + input().path + " -f null - >/dev/null 2>&1";
  int64_t pictures = 0;
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    pictures += kCopies * kPicturesPerCopy;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Ffmpeg1080)->Arg(1)->Arg(0)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
