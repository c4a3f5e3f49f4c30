#include "engine_test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>

#include "decoder_engine.h"
#include "md5.h"

namespace enginetest {

DecodeRun decode_buffer(const std::vector<uint8_t>& data, const DecodeOptions& options) {
  DecodeRun run;
  if (AVCHDGetVideoDecoderInfoLib(&run.params, data.data(), static_cast<int32_t>(data.size())) != 0) return run;
  run.params.outputFormat = options.format;
  run.params.threads = static_cast<uint8_t>(options.threads);
  run.params.timeoutMs = options.timeoutMs;
  run.params.flags = options.openFlags;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&run.params);
  if (!dec) return run;
  run.opened = true;
  const int32_t bytes = AVCHDVideoDecoderGetFrameBufferSizeLib(&run.params);
  std::vector<uint8_t> picture(static_cast<size_t>(bytes) + 64);
  size_t fed = 0;
  int32_t eos = 0;
  auto next_input = [&](const uint8_t** p, uint32_t* n) {
    const size_t left = data.size() - fed;
    size_t take = options.chunk ? options.chunk : left;
    if (take > left) take = left;
    *p = take ? data.data() + fed : nullptr;
    *n = static_cast<uint32_t>(take);
    fed += take;
  };
  const uint8_t* in;
  uint32_t n;
  next_input(&in, &n);
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, picture.data(), in, n, n == 0, options.decodeFlags);
  for (uint32_t calls = 0; calls < options.maxCalls; ++calls) {
    run.statuses.push_back(st);
    if (st & kStatusPicture) {
      // Each picture at its own size (a stream may change size).
      VideoDecoderParams size = run.params;
      AVCHDVideoDecoderGetPictureSizeLib(dec, &size.outputWidth, &size.outputHeight);
      const int32_t own = AVCHDVideoDecoderGetFrameBufferSizeLib(&size);
      run.md5s.push_back(md5_hex(picture.data(), static_cast<size_t>(own)));
      if (options.keepPictures) run.pictures.emplace_back(picture.begin(), picture.begin() + own);
    }
    if (st & kStatusError) {
      run.error = true;
      run.errorCode = AVCHDVideoDecoderGetErrorCodeLib(dec);
      if (dec->refusalReason) run.refusal = dec->refusalReason;
      AVCHDVideoDecoderGetRefusalLib(dec, &run.refusalCode);
      break;
    }
    if (st & kStatusEndOfStream) {
      run.finished = true;
      break;
    }
    in = nullptr;
    n = 0;
    if (st & kStatusNeedInput) {
      next_input(&in, &n);
      if (n == 0) eos = 1;
    }
    st = AVCHDDecodeVideoStreamLib(dec, picture.data(), in, n, eos, options.decodeFlags);
  }
  AVCHDVideoDecoderGetDamageLib(dec, &run.damage);
  if (options.beforeClose) options.beforeClose(dec);
  AVCHDCloseVideoDecoderLib(dec);
  return run;
}

std::string damage_words(const VideoDamage& d) {
  std::string out;
  const std::pair<uint32_t, const char*> kinds[] = {
      {d.slicesDropped, "slices dropped"},
      {d.picturesIncomplete, "pictures incomplete"},
      {d.picturesMissingReferences, "pictures with references never received"},
      {d.picturesBeforeStart, "pictures before the start"},
      {d.picturesOtherSize, "pictures with references of another size"},
      {d.fieldsRepeated, "fields repeated"},
      {d.picturesLost, "pictures lost"},
      {d.fieldsAlone, "fields alone"},
      {d.slicesRepaired, "slices repaired"},
      {d.picturesOutOfOrder, "pictures out of order"}};
  for (const auto& [n, what] : kinds)
    if (n != 0) out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  return out;
}

std::vector<uint32_t> worker_counts(std::initializer_list<uint32_t> usual) {
  const char* listed = std::getenv("AVCHD_TEST_WORKERS");
  if (!listed || !*listed) return usual;
  std::vector<uint32_t> out;
  std::istringstream in(listed);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    const long n = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || n < 1 || n > 255) {
      std::fprintf(stderr, "AVCHD_TEST_WORKERS=%s: not a list of worker counts from 1 to 255 (\"2,8\")\n", listed);
      std::exit(2);
    }
    if (std::find(out.begin(), out.end(), uint32_t(n)) == out.end()) out.push_back(uint32_t(n));
  }
  return out;
}

std::vector<std::string> framemd5_column(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::string md5 = line.substr(line.rfind(',') + 1);
    md5.erase(0, md5.find_first_not_of(' '));
    md5.erase(md5.find_last_not_of(" \r") + 1);
    out.push_back(md5);
  }
  return out;
}

}  // namespace enginetest
