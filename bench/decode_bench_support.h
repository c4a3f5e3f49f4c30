// Shared pieces of the whole-decoder benchmarks: opening the library on a
// stream, one pass over the stream through its decode call, and ffmpeg's
// decode of the same file for the comparison.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "AVCHDVideoDecoder.h"

namespace benchdecode {

// Opens a decoder for the stream's first sequence parameter set, writing IYUV
// pictures with the given worker count (0: one per processor), and sizes the
// picture buffer. Returns null with the reason in *why.
inline VideoDecoder* open_for(const std::vector<uint8_t>& data, int64_t threads, std::vector<uint8_t>* picture,
                              const char** why) {
  VideoDecoderParams params;
  if (data.empty() || AVCHDGetVideoDecoderInfoLib(&params, data.data(), static_cast<int32_t>(data.size())) != 0) {
    *why = "stream missing or without a sequence parameter set";
    return nullptr;
  }
  params.outputFormat = 3;  // IYUV
  params.threads = static_cast<uint8_t>(threads);
  params.timeoutMs = 60000;
  params.flags = 0;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  if (!dec) *why = "decoder did not open";
  else picture->assign(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params)) + 64, 0);
  return dec;
}

// One pass over the stream: the first call hands over every byte, the later
// ones collect pictures until the end. Returns the pictures output.
inline int64_t decode_whole_stream(VideoDecoder* dec, const std::vector<uint8_t>& bytes, uint8_t* picture) {
  AVCHDResetVideoDecoderLib(dec);
  int64_t pictures = 0;
  const uint8_t* data = bytes.data();
  uint32_t size = static_cast<uint32_t>(bytes.size());
  int32_t endOfStream = 0;
  for (;;) {
    const uint32_t status = AVCHDDecodeVideoStreamLib(dec, picture, data, size, endOfStream, 0);
    data = nullptr;
    size = 0;
    pictures += status & kStatusPicture;
    if (status & (kStatusError | kStatusEndOfStream)) return pictures;  // error, or every picture out
    endOfStream |= (status & kStatusNeedInput) != 0;
  }
}

// The decode benchmark: the whole stream once per iteration with the
// benchmark's argument as worker count, pictures/s as a counter. Returns the
// pictures of all passes, or -1 when the decoder did not open (the benchmark
// is then skipped).
inline int64_t time_decoder(benchmark::State& state, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> picture;
  const char* why = "";
  VideoDecoder* dec = open_for(data, state.range(0), &picture, &why);
  if (!dec) {
    state.SkipWithError(why);
    return -1;
  }
  int64_t pictures = 0;
  for (auto _ : state) pictures += decode_whole_stream(dec, data, picture.data());
  AVCHDCloseVideoDecoderLib(dec);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
  return pictures;
}

inline bool have_ffmpeg() {
  struct stat st;
  return ::stat("/usr/bin/ffmpeg", &st) == 0;
}

// ffmpeg decoding the file's first video stream to the null muxer (process
// start included); false when it fails.
inline bool ffmpeg_decode(const std::string& path, int64_t threads) {
  const std::string command = "/usr/bin/ffmpeg -nostdin -hide_banner -loglevel error -threads " +
                              std::to_string(threads) + " -i '" + path + "' -map 0:v:0 -f null - >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace benchdecode
