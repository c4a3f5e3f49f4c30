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
    "Without -o, --md5 or --framemd5 the stream is decoded and nothing is\n"
    "written: the warnings and the exit status say whether it decodes.\n"
    "\n"
    "options:\n"
    "  -o FILE        write the pictures to FILE ('-': standard output): to a new\n"
    "                 file that takes FILE's place once complete, so that a run\n"
    "                 that fails or is interrupted leaves FILE as it was; not\n"
    "                 the input itself, by any name\n"
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
    "groups, more than 8 bits, 4:2:2 and 4:4:4, lossless coding) end with the\n"
    "reason, after every picture decoded before the refusal on standard output\n"
    "(a file is left as it was, as after any failure); --md5 then prints no\n"
    "checksum.\n"
    "\n"
    TOOLS_HELP_ENVIRONMENT
    "\n"
    "exit status: 0 decoded to the end, undamaged; 3 decoded to the end, with\n"
    "damage concealed (slices that could not be read dropped and concealed,\n"
    "pictures incomplete, lost, without their own references or left out\n"
    "before their stream's start, fields sent again or output alone, IDR slice\n"
    "headers put right, junk before the first start code\n"
    "skipped); 1 the input could not be read or decoded (or memory ran out, or\n"
    "the output was not written); 2 wrong options or environment. mtsimport,\n"
    "unlike the decoders, ends with 0 on a damaged recording it imported with\n"
    "a warning.\n";

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
#define H264DEC_ADD(name) sum->name += d.name;
  AVCHD_VIDEO_DAMAGE_COUNTERS(H264DEC_ADD)
#undef H264DEC_ADD
}
// Every counter of the record is in the list.
#define H264DEC_ONE(name) +1
static_assert(sizeof(VideoDamage) == sizeof(VideoRefusal) + sizeof(uint32_t) * (0 AVCHD_VIDEO_DAMAGE_COUNTERS(H264DEC_ONE)),
              "a counter of VideoDamage is missing from AVCHD_VIDEO_DAMAGE_COUNTERS");
#undef H264DEC_ONE

// Says each kind of damage `d` counts, one warning line each; false when
// there was none.
bool report_damage(const std::string& name, const VideoDamage& d) {
  bool any = false;
  const auto say = [&](uint32_t n, const char* one, const char* many, const char* what) {
    if (n == 0) return;
    tools::WarnOfDamage(kTool, name, "stream", std::to_string(n) + " " + (n == 1 ? one : many) + " " + what);
    any = true;
  };
  if (d.slicesDropped > 0) {
    // The pictures are all there, some of them concealed.
    const std::string suspect = d.suspect.reason ? std::string(" (one read as ") + d.suspect.text + ")" : "";
    say(d.slicesDropped, "slice", "slices", ("dropped and concealed" + suspect).c_str());
  }
  say(d.picturesIncomplete, "picture", "pictures", "incomplete (macroblocks no slice covered were concealed)");
  say(d.picturesMissingReferences, "picture refers", "pictures refer",
      "to pictures never received (predicted from those received instead)");
  say(d.picturesBeforeStart, "picture", "pictures",
      "before an IDR picture, I picture or recovery point of their stream (left out)");
  say(d.picturesOtherSize, "picture has", "pictures have",
      "references of another size (left out)");
  say(d.fieldsRepeated, "field", "fields", "sent again (left out)");
  say(d.picturesLost, "picture", "pictures",
      "lost (reference pictures of a frame_num gap before an I picture, or the IDR picture of a stream joined "
      "on)");
  say(d.fieldsAlone, "field", "fields", "output without the other field of their frame (its lines grey)");
  say(d.slicesRepaired, "slice", "slices",
      "with a damaged header put right (a slice typed IDR that is none, an IDR slice's type, reference flag, "
      "frame_num or order count, or a reference flag the next reference picture's frame_num shows was none)");
  say(d.picturesOutOfOrder, "picture", "pictures",
      "sent after a picture that follows them in output order (left out)");
  return any;
}

// Why no decoder could be opened for `p`. The library tells no more than
// that it could not; its other refusals are ruled out here (the parameters
// come from a sequence parameter set it read), so what is left after the
// processor and a picture size beyond its largest is memory: for the
// picture buffers, the tasks and the worker threads.
std::string open_failure(const VideoDecoderParams& p) {
  const std::string what =
      "cannot open a decoder for " + std::to_string(p.codedWidth) + "x" + std::to_string(p.codedHeight);
  if (!__builtin_cpu_supports("sse2") || !__builtin_cpu_supports("ssse3"))
    return what + ": the decoder needs a processor with SSE2 and SSSE3";
  if (p.codedWidth > 4096 || p.codedHeight > 4096) return what + ": the decoder takes pictures of at most 4096x4096";
  return what + ": out of memory";
}

// The decoder instance, closed on every way out.
struct CloseDecoder {
  void operator()(VideoDecoder* dec) const { AVCHDCloseVideoDecoderLib(dec); }
};
using DecoderHandle = std::unique_ptr<VideoDecoder, CloseDecoder>;

// The command line.
struct Options {
  const char* in = nullptr;
  const char* outPath = nullptr;
  const char* formatName = nullptr;
  const char* threadsText = nullptr;
  const Format* format = &kFormats[3];
  long threads = 0;
  uint32_t decodeFlags = 0;
  bool md5 = false;
  bool framemd5 = false;
  bool verbose = false;
};

// Reads the command line into `*o`: -1 when it can be used, else the exit
// status of the usage error it has reported.
int parse_options(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    int rc = -1;
    if (a == "-o") {
      rc = tools::TakeOptionValue(kTool, kHelp, argc, argv, &i, &o->outPath, "a file name");
    } else if (a == "--format") {
      rc = tools::TakeOptionValue(kTool, kHelp, argc, argv, &i, &o->formatName, "a format");
    } else if (a == "--threads") {
      rc = tools::TakeOptionValue(kTool, kHelp, argc, argv, &i, &o->threadsText, "a number");
    } else if (a == "--no-deblock") {
      o->decodeFlags |= kDecodeNoDeblocking;
    } else if (a == "--md5") {
      o->md5 = true;
    } else if (a == "--framemd5") {
      o->framemd5 = true;
    } else {
      rc = tools::TakeCommonArgument(kTool, kHelp, argv[i], &o->in, &o->verbose);
    }
    if (rc >= 0) return rc;
  }
  if (o->formatName) {
    o->format = nullptr;
    for (const Format& known : kFormats)
      if (std::strcmp(o->formatName, known.name) == 0) o->format = &known;
    if (!o->format) return tools::UsageError(kTool, kHelp, std::string("unknown format ") + o->formatName);
  }
  if (o->threadsText && !tools::ParseNumber(o->threadsText, 0, 255, &o->threads))
    return tools::UsageError(kTool, kHelp, std::string("--threads ") + o->threadsText + ": not a number from 0 to 255");
  if (!o->in) return tools::UsageError(kTool, kHelp, "no stream given");
  return -1;
}

// Opens the input and reads on to its first sequence parameter set, which
// fills `*params`. A transport stream is refused first. False once the
// failure is reported.
bool open_stream(const char* in, const std::string& name, h264dec::ChunkedStream* stream, VideoDecoderParams* params) {
  std::string problem;
  if (!stream->Open(in, &problem)) {
    tools::Report(kTool, name + ": " + problem);
    return false;
  }
  if (const size_t packet = tools::TransportStreamPacketSize(
          stream->Head().data(), std::min(stream->Head().size(), tools::kTransportStreamProbeBytes))) {
    // Its bytes would make wrong pictures: a recording is imported, not
    // decoded as a bare stream.
    tools::Report(kTool, name + ": " + tools::TransportStreamRefusal(packet, "an H.264 Annex B stream", "video"));
    return false;
  }
  int32_t info = 0;
  if (!stream->ReadParameters(params, &info, &problem)) {
    tools::Report(kTool, name + ": " + problem);
    return false;
  }
  if (info != 0) {
    tools::Report(kTool, name + ": " +
                             (info == 8 ? "out of memory"
                                        : "no sequence parameter set the decoder can use (not an H.264 Annex B "
                                          "stream, or one it does not support)") +
                             " (" + std::to_string(info) + ")");
    return false;
  }
  return true;
}

// A decoder for the stream's pictures so far, and the buffer it writes them
// to; where the stream goes on with larger ones, the pictures before them
// are all output and one opened for those takes over. Pictures smaller than
// it was opened for it writes at their size.
struct Decoding {
  DecoderHandle decoder;
  std::vector<uint8_t> picture;
  VideoDamage damage{};  // of the decoders closed so far
};

// Opens the decoder of `d` for `p` with the options' format and workers,
// after the one it replaces is closed (its damage kept). False with `why`
// set when it cannot.
bool open_decoder(const Options& o, VideoDecoderParams p, Decoding* d, std::string* why) {
  p.outputFormat = o.format->code;
  p.threads = static_cast<uint8_t>(o.threads);
  p.timeoutMs = 60000;
  p.flags = 0;
  if (d->decoder) add_damage(d->decoder.get(), &d->damage);
  d->decoder.reset(AVCHDOpenVideoDecoderLib(&p));
  if (!d->decoder) {
    *why = open_failure(p);
    return false;
  }
  d->picture.assign(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&p)) + 64, 0);
  return true;
}

// The pictures written: how many, each size they came in from the picture
// it starts at, the checksum of them all, and the first write that failed.
struct Written {
  uint64_t count = 0;
  std::vector<SizeRun> sizes;
  Md5 whole;
  int writeError = 0;  // errno of the first write to the output file that failed
};

// Decodes the whole stream, each picture to `out` (when there is one) and
// into the checksums the options ask for. Returns what ChunkedStream::Decode
// returns, its last status in `*status`.
bool decode_pictures(const Options& o, const VideoDecoderParams& params, h264dec::ChunkedStream* stream,
                     Decoding* d, FILE* out, Written* w, uint32_t* status, std::string* problem) {
  if (o.framemd5) {
    std::printf("#format: frame checksums\n#version: 2\n#hash: MD5\n#tb 0: 1/25\n#media_type 0: video\n#codec_id 0: rawvideo\n");
    std::printf("#dimensions 0: %ux%u\n#sar 0: 0/1\n#stream#, dts,        pts, duration,     size, hash\n",
                params.outputWidth, params.outputHeight);
  }
  VideoDecoderParams size = params;
  size.outputFormat = o.format->code;
  return stream->Decode(d->decoder.get(), d->picture.data(), o.decodeFlags, [&] {
    const uint8_t* const picture = d->picture.data();
    AVCHDVideoDecoderGetPictureSizeLib(d->decoder.get(), &size.outputWidth, &size.outputHeight);
    const int32_t frameBytes = AVCHDVideoDecoderGetFrameBufferSizeLib(&size);
    if (w->sizes.empty() || w->sizes.back().width != size.outputWidth || w->sizes.back().height != size.outputHeight)
      w->sizes.push_back({w->count + 1, size.outputWidth, size.outputHeight, frameBytes});
    if (out && std::fwrite(picture, 1, static_cast<size_t>(frameBytes), out) != size_t(frameBytes) && !w->writeError)
      w->writeError = errno;
    if (o.md5) w->whole.update(picture, static_cast<size_t>(frameBytes));
    if (o.framemd5)
      std::printf("0, %10llu, %10llu,        1, %8d, %s\n", static_cast<unsigned long long>(w->count),
                  static_cast<unsigned long long>(w->count), frameBytes, md5_hex(picture, frameBytes).c_str());
    ++w->count;
    return !std::ferror(stdout) && !(out && std::ferror(out));  // no use decoding what cannot be written
  }, status, problem);
}

// The end of the run: why decoding stopped, the damage it met, the
// checksum, the output closed, and what was written. Returns the exit
// status.
int finish(const Options& o, const std::string& name, const h264dec::ChunkedStream& stream, Decoding* d,
           bool read, uint32_t st, const std::string& problem, FILE* out, Written* w) {
  int rc = 0;
  VideoDecoder* const dec = d->decoder.get();
  if (!read) {
    tools::Report(kTool, name + ": " + problem);
    rc = tools::kExitFailed;
  } else if (st & kStatusError) {
    const uint32_t code = AVCHDVideoDecoderGetErrorCodeLib(dec);
    VideoRefusal refusal{};
    if (code == kVideoErrorUnsupported && AVCHDVideoDecoderGetRefusalLib(dec, &refusal) == 0 && refusal.text[0] != '\0')
      std::fprintf(stderr, "h264dec: %s: error %u: %s: %s\n", name.c_str(), code, error_text(code), refusal.text);
    else
      std::fprintf(stderr, "h264dec: %s: error %u: %s\n", name.c_str(), code, error_text(code));
    rc = tools::kExitFailed;
  }
  // Junk before the first start code is skipped by the decoder, and said as
  // ac3dec says bytes before its first frame.
  if (rc != tools::kExitFailed && stream.LeadingJunk() > 0) {
    tools::WarnOfDamage(kTool, name, "stream",
                        std::to_string(stream.LeadingJunk()) + " bytes before the first start code skipped");
    rc = tools::kExitDamaged;
  }
  add_damage(dec, &d->damage);
  if (rc != tools::kExitFailed && report_damage(name, d->damage)) rc = tools::kExitDamaged;
  // A refused or failed stream gets no checksum: it would stand for output
  // that was never complete.
  if (o.md5 && rc != tools::kExitFailed) std::printf("%s\n", w->whole.hex().c_str());
  // What is still buffered for standard output is sent now: a failure shows
  // before the pictures are reported as written. A failed run leaves no
  // output file: what was there stays as it was.
  std::fflush(stdout);
  std::string why;
  const bool toFile = out && out != stdout;
  const bool discarded = toFile && rc == tools::kExitFailed;
  if (discarded) tools::DiscardOutput(out);
  const bool lost = (toFile && !discarded && !tools::CloseOutput(out, w->writeError, &why)) || std::ferror(stdout);
  if (lost && toFile && !discarded) {
    tools::Report(kTool, std::string(o.outPath) + ": " + why);
    rc = tools::kExitFailed;
  }
  // What was written, as a viewer of raw pictures needs it; a failure that
  // wrote nothing, or output that was lost, has said all there is.
  const uint64_t count = w->count;
  if (discarded) {
    // Nothing was written: the failure has said all there is.
  } else if (!lost && w->sizes.size() == 1) {
    std::fprintf(stderr, "h264dec: %llu picture%s of %ux%u in %s, %d bytes each\n",
                 static_cast<unsigned long long>(count), count == 1 ? "" : "s", w->sizes[0].width, w->sizes[0].height,
                 o.format->layout, w->sizes[0].bytes);
  } else if (!lost && count > 0) {
    // The stream changed size: each size from the picture it starts at.
    std::string runs;
    for (const SizeRun& r : w->sizes)
      runs += (runs.empty() ? "" : "; ") + std::string(r.first == 1 ? "" : "from picture " + std::to_string(r.first) + ": ") +
              std::to_string(r.width) + "x" + std::to_string(r.height) + " (" + std::to_string(r.bytes) + " bytes each)";
    std::fprintf(stderr, "h264dec: %llu pictures in %s: %s\n", static_cast<unsigned long long>(count), o.format->layout,
                 runs.c_str());
  } else if (!lost && rc != tools::kExitFailed)
    tools::Report(kTool, name + ": no picture in the stream");
  return rc;
}

// The tool's work, with `*name` naming the input once it is known.
int Run(int argc, char** argv, std::string* name) {
  Options o;
  const int usage = parse_options(argc, argv, &o);
  if (usage >= 0) return usage;
  *name = tools::InputName(o.in);
  const int setup = tools::CheckDecodingSetup(kTool, kHelp, o.in, o.outPath, "the pictures", o.md5 || o.framemd5);
  if (setup >= 0) return setup;
  std::string problem;
  if (o.verbose) std::fprintf(stderr, "h264dec: primitives: %s variant\n", tools::ProcessorVariantName());
  h264dec::ChunkedStream stream;
  VideoDecoderParams params;
  if (!open_stream(o.in, *name, &stream, &params)) return tools::kExitFailed;
  Decoding d;
  if (!open_decoder(o, params, &d, &problem)) {
    tools::Report(kTool, *name + ": " + problem);
    return tools::kExitFailed;
  }
  stream.ReopenForLargerPictures(params, [&](const VideoDecoderParams& next, VideoDecoder** dec, uint8_t** out,
                                             std::string* why) {
    if (!open_decoder(o, next, &d, why)) return false;
    *dec = d.decoder.get();
    *out = d.picture.data();
    return true;
  });
  FILE* out = nullptr;
  if (o.outPath) {
    out = tools::OpenOutput(o.outPath, &problem);
    if (!out) {
      tools::Report(kTool, std::string(o.outPath) + ": " + problem);
      return tools::kExitFailed;
    }
  }
  Written w;
  uint32_t st = 0;
  const bool read = decode_pictures(o, params, &stream, &d, out, &w, &st, &problem);
  return finish(o, *name, stream, &d, read, st, problem, out, &w);
}

}  // namespace

int main(int argc, char** argv) { return tools::RunTool(kTool, kHelp, argc, argv, Run); }
