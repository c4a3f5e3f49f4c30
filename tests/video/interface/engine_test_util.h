// Helpers of the engine tests: decoding a whole Annex B buffer through the
// library calls, collecting each picture's MD5 and output key.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "AVCHDVideoDecoder.h"

namespace enginetest {

struct DecodeRun {
  bool opened = false;
  bool error = false;
  bool finished = false;     // reached end of stream
  uint32_t errorCode = 0;
  std::string refusal;       // reason of an unsupported-stream error
  VideoRefusal refusalCode{};  // the same through the public call
  std::vector<std::string> md5s;
  std::vector<uint32_t> statuses;
  std::vector<std::vector<uint8_t>> pictures;  // with DecodeOptions::keepPictures
  VideoDecoderParams params{};
  VideoDamage damage{};  // what the decoder counted as damage, at the end
};

struct DecodeOptions {
  uint32_t threads = 1;
  uint32_t format = 3;       // IYUV: the reference layout
  uint32_t decodeFlags = 0;
  uint32_t openFlags = 0;
  uint32_t chunk = 0;        // feed this many bytes per call (0: all at once)
  uint32_t timeoutMs = 20000;
  uint32_t maxCalls = 1000000;
  bool keepPictures = false;
  std::function<void(const VideoDecoder*)> beforeClose;  // looks at the instance once decoding ended
};

DecodeRun decode_buffer(const std::vector<uint8_t>& data, const DecodeOptions& options);

// The damage counted, in words ("" when there is none).
std::string damage_words(const VideoDamage& d);

// The worker counts at which a test compares the decoder's output: `usual`,
// or those AVCHD_TEST_WORKERS lists ("2,8", as the ThreadSanitizer stage of
// the test script sets it). A list that is not of counts from 1 to 255 ends
// the test program with why.
std::vector<uint32_t> worker_counts(std::initializer_list<uint32_t> usual);

// The MD5 column of a framemd5 file's text, one entry per picture.
std::vector<std::string> framemd5_column(const std::string& text);

}  // namespace enginetest
