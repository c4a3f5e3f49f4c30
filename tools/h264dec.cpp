// h264dec: decodes an H.264 Annex B stream through the decoder library's
// public calls and writes the pictures, or prints the MD5 of the whole output
// or one line per picture (stream, dts, pts, duration, size, hash).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AVCHDVideoDecoder.h"
#include "md5.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: h264dec IN.264 [-o OUT.yuv] [--format yv12|iyuv|yuy2|uyvy] [--threads N] [--no-deblock] "
               "[--md5] [--framemd5]\n");
  return 2;
}

bool read_all(const char* path, std::vector<uint8_t>* data) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) data->insert(data->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

const char* error_text(uint32_t code) {
  switch (code) {
    case 6: return "the stream uses syntax this decoder does not support";
    case 10: return "the decoder did not answer in time";
    case 11: return "a predicted slice has no reference picture";
    case 12: return "a slice names a picture parameter set that was not sent";
    case 7: return "a reference picture named by the stream is missing";
    default: return "decoding failed";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* in = nullptr;
  const char* outPath = nullptr;
  uint32_t format = 3;
  int threads = 0;
  uint32_t decodeFlags = 0;
  bool md5 = false;
  bool framemd5 = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-o" && i + 1 < argc) {
      outPath = argv[++i];
    } else if (a == "--format" && i + 1 < argc) {
      const std::string f = argv[++i];
      if (f == "yv12") format = 0;
      else if (f == "yuy2") format = 1;
      else if (f == "uyvy") format = 2;
      else if (f == "iyuv") format = 3;
      else return usage();
    } else if (a == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
      if (threads < 0 || threads > 255) return usage();
    } else if (a == "--no-deblock") {
      decodeFlags |= 4;
    } else if (a == "--md5") {
      md5 = true;
    } else if (a == "--framemd5") {
      framemd5 = true;
    } else if (!in && a[0] != '-') {
      in = argv[i];
    } else {
      return usage();
    }
  }
  if (!in) return usage();
  std::vector<uint8_t> data;
  if (!read_all(in, &data) || data.empty()) {
    std::fprintf(stderr, "h264dec: cannot read %s\n", in);
    return 1;
  }
  VideoDecoderParams params;
  const int32_t info = AVCHDGetVideoDecoderInfoLib(&params, data.data(), static_cast<int32_t>(data.size()));
  if (info != 0) {
    std::fprintf(stderr, "h264dec: %s: no usable sequence parameter set (%d)\n", in, info);
    return 1;
  }
  params.outputFormat = format;
  params.threads = static_cast<uint8_t>(threads);
  params.timeoutMs = 60000;
  params.flags = 0;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  if (!dec) {
    std::fprintf(stderr, "h264dec: cannot open a decoder for %ux%u\n", params.codedWidth, params.codedHeight);
    return 1;
  }
  const int32_t frameBytes = AVCHDVideoDecoderGetFrameBufferSizeLib(&params);
  std::vector<uint8_t> picture(static_cast<size_t>(frameBytes) + 64);
  FILE* out = nullptr;
  if (outPath) {
    out = std::fopen(outPath, "wb");
    if (!out) {
      std::fprintf(stderr, "h264dec: cannot write %s\n", outPath);
      AVCHDCloseVideoDecoderLib(dec);
      return 1;
    }
  }
  Md5 whole;
  if (framemd5) {
    std::printf("#format: frame checksums\n#version: 2\n#hash: MD5\n#tb 0: 1/25\n#media_type 0: video\n#codec_id 0: rawvideo\n");
    std::printf("#dimensions 0: %ux%u\n#sar 0: 0/1\n#stream#, dts,        pts, duration,     size, hash\n",
                params.outputWidth, params.outputHeight);
  }
  int rc = 0;
  uint64_t count = 0;
  int32_t eos = 0;
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, picture.data(), data.data(), static_cast<uint32_t>(data.size()), 0, decodeFlags);
  for (;;) {
    if (st & 0x0001) {
      if (out) std::fwrite(picture.data(), 1, static_cast<size_t>(frameBytes), out);
      if (md5) whole.update(picture.data(), static_cast<size_t>(frameBytes));
      if (framemd5)
        std::printf("0, %10llu, %10llu,        1, %8d, %s\n", static_cast<unsigned long long>(count),
                    static_cast<unsigned long long>(count), frameBytes, md5_hex(picture.data(), frameBytes).c_str());
      ++count;
    }
    if (st & 0x8000) {
      const uint32_t code = AVCHDVideoDecoderGetErrorCodeLib(dec);
      VideoRefusal refusal{};
      if (code == 6 && AVCHDVideoDecoderGetRefusalLib(dec, &refusal) == 0 && refusal.text[0] != '\0')
        std::fprintf(stderr, "h264dec: %s: error %u: %s: %s\n", in, code, error_text(code), refusal.text);
      else
        std::fprintf(stderr, "h264dec: %s: error %u: %s\n", in, code, error_text(code));
      rc = 1;
      break;
    }
    if (st & 0x0004) break;
    if (st & 0x0002) eos = 1;
    st = AVCHDDecodeVideoStreamLib(dec, picture.data(), nullptr, 0, eos, decodeFlags);
  }
  if (md5) std::printf("%s\n", whole.hex().c_str());
  if (out) std::fclose(out);
  AVCHDCloseVideoDecoderLib(dec);
  std::fprintf(stderr, "h264dec: %llu pictures\n", static_cast<unsigned long long>(count));
  return rc;
}
