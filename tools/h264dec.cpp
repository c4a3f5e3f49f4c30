// h264dec: decodes an H.264 Annex B stream through the decoder library's
// public calls and writes the pictures, or prints the MD5 of the whole output
// or one line per picture (stream, dts, pts, duration, size, hash).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AVCHDVideoDecoder.h"
#include "h264dec_input.h"
#include "md5.h"
#include "toolcli.h"

namespace {

constexpr const char* kTool = "h264dec";
constexpr const char* kHelp =
    "usage: h264dec [-o OUT.yuv] [--format yv12|iyuv|yuy2|uyvy] [--threads N] [--no-deblock]\n"
    "               [--md5] [--framemd5] [-v] IN.264|-\n"
    "       h264dec --help | --version\n"
    "\n"
    "Decodes an H.264 Annex B byte stream through the video decoder library and\n"
    "writes the pictures in output order, raw, one after the other, each at its\n"
    "own size. The picture size (each, with the picture it starts from, where the\n"
    "stream changes size) and format of what was written are printed on standard\n"
    "error. The stream is read as it comes ('-': standard input), so a pipe\n"
    "serves and a long stream takes no more memory than a short one.\n"
    "\n"
    "options:\n"
    "  -o FILE        write the pictures to FILE ('-': standard output)\n"
    "  --format F     iyuv (default; planar 4:2:0, Y then U then V), yv12 (planar\n"
    "                 4:2:0, Y then V then U), yuy2 (packed 4:2:2, Y U Y V) or\n"
    "                 uyvy (packed 4:2:2, U Y V Y)\n"
    "  --threads N    worker threads, 0 to 255 (default 0: one per processor)\n"
    "  --no-deblock   skip the in-loop deblocking filter (output then differs)\n"
    "  --md5          print the MD5 of the whole output on standard output\n"
    "  --framemd5     print one line per picture (stream, dts, pts, duration, size,\n"
    "                 MD5) on standard output\n"
    "  -v, --verbose  also name the processor variant of the primitives\n"
    "  --help         show this help;  --version  show the version\n"
    "\n"
    "A transport stream is refused: mtsimport imports a recording of 192-byte\n"
    "packets (.MTS, .m2ts); from one of 188-byte packets demultiplex the video.\n"
    "Streams the decoder refuses (long-term references, frame-number gaps, slice\n"
    "groups, more than 8 bits, 4:2:2 and 4:4:4) end with the reason, after every\n"
    "picture decoded before the refusal; --md5 then prints no checksum.\n"
    "\n"
    TOOLS_HELP_ENVIRONMENT
    "\n"
    "exit status: 0 decoded to the end, undamaged; 3 decoded to the end, with\n"
    "damage concealed (slices that could not be read dropped and concealed,\n"
    "pictures incomplete or without their own references, fields sent again,\n"
    "junk before the first start code skipped); 1 the input could not be read\n"
    "or decoded (or memory ran out, or the output was not written); 2 wrong\n"
    "options or environment. mtsimport, unlike the decoders, ends with 0 on a\n"
    "damaged recording it imported with a warning.\n";

// Output formats by their --format names, with the words that tell a viewer
// how the bytes lie.
struct Format {
  const char* name;
  uint32_t code;  // outputFormat of the decoder parameters
  const char* layout;
};
const Format kFormats[] = {
    {"yv12", 0, "YV12 (planar 4:2:0: Y, then V, then U)"},
    {"yuy2", 1, "YUY2 (packed 4:2:2: Y U Y V)"},
    {"uyvy", 2, "UYVY (packed 4:2:2: U Y V Y)"},
    {"iyuv", 3, "IYUV (planar 4:2:0: Y, then U, then V)"},
};

const char* error_text(uint32_t code) {
  switch (code) {
    case kVideoErrorUnsupported: return "the stream uses syntax this decoder does not support";
    case kVideoErrorTimeout: return "the decoder did not answer in time";
    case kVideoErrorNoReference: return "a predicted slice has no reference picture";
    case kVideoErrorNoPps: return "a slice names a picture parameter set that was not sent";
    case kVideoErrorMissingReference: return "a reference picture named by the stream is missing";
    case kVideoErrorDamaged: return "no slice of the stream could be read (the stream is damaged)";
    case kVideoErrorNoMemory: return "out of memory";
    case kVideoErrorNoPictureBuffer:
      return "every picture buffer is held by pictures still referenced or waiting for output (the stream is damaged)";
    case kVideoErrorStalled: return "decoding could not go on: pictures wait for slices or references that never come";
    case kVideoErrorStepFailed: return "a decoding step failed";
    default: return "decoding failed";
  }
}

// Pictures of one size, from picture `first` (counted from 1) on.
struct SizeRun {
  uint64_t first;
  uint16_t width, height;
  int32_t bytes;
};

// Damage met by `dec`, added to `*sum` (the first suspect kept).
void add_damage(VideoDecoder* dec, VideoDamage* sum) {
  VideoDamage d{};
  if (AVCHDVideoDecoderGetDamageLib(dec, &d) != 0) return;
  if (sum->slicesDropped == 0 || sum->suspect.reason == kVideoRefusalNone) sum->suspect = d.suspect;
  sum->slicesDropped += d.slicesDropped;
  sum->picturesIncomplete += d.picturesIncomplete;
  sum->picturesMissingReferences += d.picturesMissingReferences;
  sum->picturesBeforeStart += d.picturesBeforeStart;
  sum->picturesOtherSize += d.picturesOtherSize;
  sum->fieldsRepeated += d.fieldsRepeated;
}

// Says each kind of damage `d` counts, one line each, as "NAME: damaged:
// ..."; false when there was none.
bool report_damage(const std::string& name, const VideoDamage& d) {
  bool any = false;
  const auto say = [&](uint32_t n, const char* one, const char* many, const char* what) {
    if (n == 0) return;
    std::fprintf(stderr, "h264dec: %s: damaged: %u %s %s\n", name.c_str(), n, n == 1 ? one : many, what);
    any = true;
  };
  if (d.slicesDropped > 0) {
    // The pictures are all there, some of them concealed.
    std::fprintf(stderr, "h264dec: %s: damaged: %u slice%s dropped and concealed%s%s%s\n", name.c_str(),
                 d.slicesDropped, d.slicesDropped == 1 ? "" : "s", d.suspect.reason ? " (one read as " : "",
                 d.suspect.text, d.suspect.reason ? ")" : "");
    any = true;
  }
  say(d.picturesIncomplete, "picture", "pictures", "incomplete (macroblocks no slice covered were concealed)");
  say(d.picturesMissingReferences, "picture refers", "pictures refer",
      "to pictures never received (concealed from the nearest ones received)");
  say(d.picturesBeforeStart, "picture", "pictures",
      "before an IDR picture, I picture or recovery point of their stream (left out)");
  say(d.picturesOtherSize, "picture has", "pictures have",
      "references of another size (left out)");
  say(d.fieldsRepeated, "field", "fields", "sent again (left out)");
  return any;
}

// The decoder instance, closed on every way out.
struct CloseDecoder {
  void operator()(VideoDecoder* dec) const { AVCHDCloseVideoDecoderLib(dec); }
};
using DecoderHandle = std::unique_ptr<VideoDecoder, CloseDecoder>;

// The tool's work, with `*name` naming the input once it is known.
int Run(int argc, char** argv, std::string* name) {
  const char* in = nullptr;
  const char* outPath = nullptr;
  const Format* format = &kFormats[3];
  long threads = 0;
  uint32_t decodeFlags = 0;
  bool md5 = false;
  bool framemd5 = false;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "-o" || a == "--format" || a == "--threads") && i + 1 >= argc) {
      return tools::UsageError(kTool, kHelp, a + " needs a value");
    } else if (a == "-o") {
      outPath = argv[++i];
    } else if (a == "--format") {
      const std::string f = argv[++i];
      format = nullptr;
      for (const Format& known : kFormats)
        if (f == known.name) format = &known;
      if (!format) return tools::UsageError(kTool, kHelp, "unknown format " + f);
    } else if (a == "--threads") {
      if (!tools::ParseNumber(argv[++i], 0, 255, &threads))
        return tools::UsageError(kTool, kHelp, std::string("--threads ") + argv[i] + ": not a number from 0 to 255");
    } else if (a == "--no-deblock") {
      decodeFlags |= kDecodeNoDeblocking;
    } else if (a == "--md5") {
      md5 = true;
    } else if (a == "--framemd5") {
      framemd5 = true;
    } else {
      const int rc = tools::TakeCommonArgument(kTool, kHelp, argv[i], &in, &verbose);
      if (rc >= 0) return rc;
    }
  }
  if (!in) return tools::UsageError(kTool, kHelp, "no stream given");
  *name = tools::InputName(in);
  if (tools::IsStandardOutput(outPath) && (md5 || framemd5))
    return tools::UsageError(kTool, kHelp, "-o - and --md5 or --framemd5 would mix on standard output");
  std::string problem;
  if (!tools::SelectProcessorVariant(&problem)) {
    tools::Report(kTool, problem);
    return tools::kExitUsage;
  }
  if (verbose) std::fprintf(stderr, "h264dec: primitives: %s variant\n", tools::ProcessorVariantName());
  h264dec::ChunkedStream stream;
  if (!stream.Open(in, &problem)) {
    tools::Report(kTool, *name + ": " + problem);
    return tools::kExitFailed;
  }
  if (const size_t packet = tools::TransportStreamPacketSize(
          stream.Head().data(), std::min(stream.Head().size(), tools::kTransportStreamProbeBytes))) {
    // Its bytes would make wrong pictures: a recording is imported, not
    // decoded as a bare stream.
    tools::Report(kTool, *name + ": " + tools::TransportStreamRefusal(packet, "an H.264 Annex B stream", "video"));
    return tools::kExitFailed;
  }
  VideoDecoderParams params;
  int32_t info = 0;
  if (!stream.ReadParameters(&params, &info, &problem)) {
    tools::Report(kTool, *name + ": " + problem);
    return tools::kExitFailed;
  }
  if (info != 0) {
    tools::Report(kTool, *name + ": " +
                             (info == 8 ? "out of memory"
                                        : "no sequence parameter set the decoder can use (not an H.264 Annex B "
                                          "stream, or one it does not support)") +
                             " (" + std::to_string(info) + ")");
    return tools::kExitFailed;
  }
  // A decoder for the stream's pictures so far; where it goes on with larger
  // ones, the pictures before them are all output and one for those takes
  // over. Pictures smaller than it was opened for it writes at their size.
  DecoderHandle decoder;
  std::vector<uint8_t> picture;
  VideoDamage damage{};  // of the decoders closed so far
  const auto open = [&](VideoDecoderParams p, std::string* why) {
    p.outputFormat = format->code;
    p.threads = static_cast<uint8_t>(threads);
    p.timeoutMs = 60000;
    p.flags = 0;
    if (decoder) add_damage(decoder.get(), &damage);
    decoder.reset(AVCHDOpenVideoDecoderLib(&p));
    if (!decoder) {
      *why = "cannot open a decoder for " + std::to_string(p.codedWidth) + "x" + std::to_string(p.codedHeight);
      return false;
    }
    picture.assign(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&p)) + 64, 0);
    return true;
  };
  if (!open(params, &problem)) {
    tools::Report(kTool, *name + ": " + problem);
    return tools::kExitFailed;
  }
  stream.ReopenForLargerPictures(params, [&](const VideoDecoderParams& next, VideoDecoder** dec, uint8_t** out,
                                             std::string* why) {
    if (!open(next, why)) return false;
    *dec = decoder.get();
    *out = picture.data();
    return true;
  });
  FILE* out = nullptr;
  if (outPath) {
    out = tools::OpenOutput(outPath, &problem);
    if (!out) {
      tools::Report(kTool, std::string(outPath) + ": " + problem);
      return tools::kExitFailed;
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
  int writeError = 0;  // errno of the first write to `out` that failed
  uint32_t st = 0;
  // Each size the pictures come in, from the picture it starts at.
  std::vector<SizeRun> sizes;
  VideoDecoderParams size = params;
  size.outputFormat = format->code;
  const bool read = stream.Decode(decoder.get(), picture.data(), decodeFlags, [&] {
    AVCHDVideoDecoderGetPictureSizeLib(decoder.get(), &size.outputWidth, &size.outputHeight);
    const int32_t frameBytes = AVCHDVideoDecoderGetFrameBufferSizeLib(&size);
    if (sizes.empty() || sizes.back().width != size.outputWidth || sizes.back().height != size.outputHeight)
      sizes.push_back({count + 1, size.outputWidth, size.outputHeight, frameBytes});
    if (out && std::fwrite(picture.data(), 1, static_cast<size_t>(frameBytes), out) != size_t(frameBytes) &&
        !writeError)
      writeError = errno;
    if (md5) whole.update(picture.data(), static_cast<size_t>(frameBytes));
    if (framemd5)
      std::printf("0, %10llu, %10llu,        1, %8d, %s\n", static_cast<unsigned long long>(count),
                  static_cast<unsigned long long>(count), frameBytes, md5_hex(picture.data(), frameBytes).c_str());
    ++count;
    return !std::ferror(stdout) && !(out && std::ferror(out));  // no use decoding what cannot be written
  }, &st, &problem);
  VideoDecoder* const dec = decoder.get();
  if (!read) {
    tools::Report(kTool, *name + ": " + problem);
    rc = tools::kExitFailed;
  } else if (st & kStatusError) {
    const uint32_t code = AVCHDVideoDecoderGetErrorCodeLib(dec);
    VideoRefusal refusal{};
    if (code == kVideoErrorUnsupported && AVCHDVideoDecoderGetRefusalLib(dec, &refusal) == 0 && refusal.text[0] != '\0')
      std::fprintf(stderr, "h264dec: %s: error %u: %s: %s\n", name->c_str(), code, error_text(code), refusal.text);
    else
      std::fprintf(stderr, "h264dec: %s: error %u: %s\n", name->c_str(), code, error_text(code));
    rc = tools::kExitFailed;
  }
  // Junk before the first start code is skipped by the decoder, and said as
  // ac3dec says bytes before its first frame.
  if (rc != tools::kExitFailed && stream.LeadingJunk() > 0) {
    std::fprintf(stderr, "h264dec: %s: %llu bytes before the first start code skipped\n", name->c_str(),
                 static_cast<unsigned long long>(stream.LeadingJunk()));
    rc = tools::kExitDamaged;
  }
  add_damage(dec, &damage);
  if (rc != tools::kExitFailed && report_damage(*name, damage)) rc = tools::kExitDamaged;
  // A refused or failed stream gets no checksum: it would stand for output
  // that was never complete.
  if (md5 && rc != tools::kExitFailed) std::printf("%s\n", whole.hex().c_str());
  int closeError = 0;
  const bool lost = (out && out != stdout && !tools::CloseOutput(out, &closeError)) || std::ferror(stdout);
  if (lost && out && out != stdout) {
    tools::Report(kTool, std::string(outPath) + ": " + tools::WriteError(writeError ? writeError : closeError));
    rc = tools::kExitFailed;
  }
  // What was written, as a viewer of raw pictures needs it; a failure that
  // wrote nothing, or output that was lost, has said all there is.
  if (!lost && sizes.size() == 1) {
    std::fprintf(stderr, "h264dec: %llu picture%s of %ux%u in %s, %d bytes each\n",
                 static_cast<unsigned long long>(count), count == 1 ? "" : "s", sizes[0].width, sizes[0].height,
                 format->layout, sizes[0].bytes);
  } else if (!lost && count > 0) {
    // The stream changed size: each size from the picture it starts at.
    std::string runs;
    for (const SizeRun& r : sizes)
      runs += (runs.empty() ? "" : "; ") + std::string(r.first == 1 ? "" : "from picture " + std::to_string(r.first) + ": ") +
              std::to_string(r.width) + "x" + std::to_string(r.height) + " (" + std::to_string(r.bytes) + " bytes each)";
    std::fprintf(stderr, "h264dec: %llu pictures in %s: %s\n", static_cast<unsigned long long>(count), format->layout,
                 runs.c_str());
  } else if (!lost && rc != tools::kExitFailed)
    tools::Report(kTool, *name + ": no picture in the stream");
  return rc;
}

}  // namespace

int main(int argc, char** argv) { return tools::RunTool(kTool, kHelp, argc, argv, Run); }
