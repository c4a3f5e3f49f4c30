// ac3dec IN.ac3 [-o OUT.pcm] [--md5] [--framemd5]: decodes a raw AC-3
// elementary stream through the decoder library's public calls into
// interleaved signed 16-bit little-endian PCM in the stream's own channel
// layout (L C R Ls Rs LFE order for 3/2+LFE), or prints MD5s in the format of
// the reference checksum files.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AC3Decoder.h"
#include "md5.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: ac3dec IN.ac3 [-o OUT.pcm] [--md5] [--framemd5]\n");
  return 2;
}

bool read_whole_file(const char* path, std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

const char* layout_name(int32_t acmodCode, int32_t channels) {
  // Names as the reference checksum files give them.
  switch (acmodCode) {
    case AC3_CHANNELS_1_0: return "mono";
    case AC3_CHANNELS_2_0: return "stereo";
    case AC3_CHANNELS_3_0: return "3.0";
    case AC3_CHANNELS_2_1: return "3.0(back)";
    case AC3_CHANNELS_3_1: return "4.0";
    case AC3_CHANNELS_2_2: return "quad(side)";
    case AC3_CHANNELS_3_2: return "5.0(side)";
    case AC3_CHANNELS_3_2_LFE: return "5.1(side)";
  }
  return channels == 3 ? "2.1" : "unknown";
}

// PCM samples are written in host order; the output format is little endian.
void to_little_endian(int16_t* samples, size_t count) {
  const uint16_t probe = 1;
  if (*reinterpret_cast<const uint8_t*>(&probe) == 1) return;
  for (size_t i = 0; i < count; ++i) {
    const uint16_t v = uint16_t(samples[i]);
    samples[i] = int16_t(uint16_t((v >> 8) | (v << 8)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* in = nullptr;
  const char* outPath = nullptr;
  bool md5 = false, framemd5 = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "-o") && i + 1 < argc) {
      outPath = argv[++i];
    } else if (!std::strcmp(argv[i], "--md5")) {
      md5 = true;
    } else if (!std::strcmp(argv[i], "--framemd5")) {
      framemd5 = true;
    } else if (argv[i][0] == '-' || in) {
      return usage();
    } else {
      in = argv[i];
    }
  }
  if (!in || (!outPath && !md5 && !framemd5)) return usage();

  std::vector<uint8_t> data;
  if (!read_whole_file(in, data)) {
    std::fprintf(stderr, "ac3dec: cannot read %s\n", in);
    return 1;
  }
  FILE* out = nullptr;
  if (outPath) {
    out = std::fopen(outPath, "wb");
    if (!out) {
      std::fprintf(stderr, "ac3dec: cannot write %s\n", outPath);
      return 1;
    }
  }

  AC3DecState* dec = AC3DecInitLib();
  if (!dec) {
    std::fprintf(stderr, "ac3dec: cannot create the decoder\n");
    return 1;
  }
  std::vector<int16_t> pcm(131072 / sizeof(int16_t));
  Md5 whole;
  size_t pos = 0;
  uint64_t frames = 0, samplesOut = 0;
  int status = 0;
  while (pos < data.size()) {
    ac3decInfo info = {};
    info.outFollowsStream = 1;
    info.pInput = data.data() + pos;
    info.nInputBytes = int32_t(std::min<size_t>(data.size() - pos, 0x7FFFFFFF));
    int32_t rc = AC3DecGetInputInfoLib(dec, &info);
    if (rc == 0 || rc == -2) {  // -2: a layout without channel code still decodes
      info.pOutput = pcm.data();
      info.nOutputCapacity = int32_t(pcm.size() * sizeof(int16_t));
      rc = AC3DecodeAFrameLib(dec, &info);
    }
    if (rc != 0) {
      if (frames > 0 && rc == -3) {
        std::fprintf(stderr, "ac3dec: %zu trailing bytes without a whole frame\n",
                     data.size() - pos);
      } else {
        std::fprintf(stderr, "ac3dec: frame %llu at byte %zu: error %d\n",
                     static_cast<unsigned long long>(frames), pos, rc);
        status = 1;
      }
      break;
    }
    const size_t bytes = size_t(info.nOutputBytes);
    to_little_endian(pcm.data(), bytes / sizeof(int16_t));
    if (framemd5) {
      if (frames == 0) {
        std::printf("#format: frame checksums\n#version: 2\n#hash: MD5\n#tb 0: 1/%d\n",
                    info.sampleRate);
        std::printf("#media_type 0: audio\n#codec_id 0: pcm_s16le\n#sample_rate 0: %d\n",
                    info.sampleRate);
        std::printf("#channel_layout_name 0: %s\n", layout_name(info.inChannelConfig, info.nChannels));
        std::printf("#stream#, dts,        pts, duration,     size, hash\n");
      }
      const int channels = info.nChannels > 0 ? info.nChannels : 1;
      const unsigned long long duration = bytes / (2 * channels);
      std::printf("0, %10llu, %10llu, %8llu, %8zu, %s\n",
                  static_cast<unsigned long long>(samplesOut),
                  static_cast<unsigned long long>(samplesOut), duration, bytes,
                  md5_hex(pcm.data(), bytes).c_str());
      samplesOut += duration;
    }
    if (md5) whole.update(pcm.data(), bytes);
    if (out && std::fwrite(pcm.data(), 1, bytes, out) != bytes) {
      std::fprintf(stderr, "ac3dec: write error on %s\n", outPath);
      status = 1;
      break;
    }
    pos += size_t(info.nInputBytesUsed);
    ++frames;
  }
  AC3DecCloseLib(dec);
  if (out && std::fclose(out) != 0) status = 1;
  if (md5) std::printf("%s\n", whole.hex().c_str());
  return status;
}
