// ac3dec [-o OUT.pcm] [--md5] [--framemd5] IN.ac3: decodes a raw AC-3
// elementary stream, read as it comes, through the decoder library's public
// calls into interleaved signed 16-bit little-endian PCM in the stream's own
// channel layout (L C R Ls Rs LFE order for 3/2+LFE), or prints MD5s in the
// format of the reference checksum files. A damaged frame becomes a frame of
// silence, so that what follows keeps its time, and bytes outside any frame
// are dropped; the run then ends with exit status 3.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AC3Decoder.h"
#include "md5.h"
#include "toolcli.h"

namespace {

constexpr const char* kTool = "ac3dec";
constexpr const char* kHelp =
    "usage: ac3dec [-o OUT.pcm] [--md5] [--framemd5] [-v] IN.ac3|-\n"
    "       ac3dec --help | --version\n"
    "\n"
    "Decodes a raw AC-3 elementary stream to interleaved signed 16-bit\n"
    "little-endian PCM in the stream's own channel layout, channels in A/52\n"
    "order (3/2+LFE: L C R Ls Rs LFE). A damaged frame is replaced by a frame of\n"
    "silence of the same length, with a warning naming the file and the frame;\n"
    "bytes outside any whole frame are dropped with a warning, and so is, before\n"
    "the first good frame, anything that fails a frame's checks.\n"
    "The stream is read as it comes ('-': standard input), so a pipe serves\n"
    "and a long stream takes no more memory than a short one. A transport\n"
    "stream is refused: mtsimport imports a recording of 192-byte packets\n"
    "(.MTS, .m2ts); from one of 188-byte packets demultiplex the audio.\n"
    "Without -o, --md5 or --framemd5 the stream is decoded and nothing is\n"
    "written: the warnings and the exit status say whether it decodes. What\n"
    "was written (frames, sample rate, channels and their order) is printed\n"
    "on standard error.\n"
    "\n"
    "options:\n"
    "  -o FILE        write the PCM to FILE ('-': standard output): to a new\n"
    "                 file that takes FILE's place once complete, so that a run\n"
    "                 that fails or is interrupted leaves FILE as it was; not\n"
    "                 the input itself, by any name\n"
    "  --md5          print the MD5 of the whole PCM on standard output\n"
    "  --framemd5     print one line per frame (stream, dts, pts, duration, size,\n"
    "                 MD5) on standard output, as the reference checksum files\n"
    "  -v, --verbose  also name the processor variant of the primitives\n"
    "  --help         show this help;  --version  show the version\n"
    "\n"
    TOOLS_HELP_ENVIRONMENT
    "\n"
    "exit status: 0 decoded to the end, undamaged; 3 decoded to the end, with\n"
    "damage concealed (damaged frames replaced by silence) or dropped (bytes\n"
    "outside any whole frame: junk before, between or after the frames, a last\n"
    "frame cut short); 1 the input could not be read or holds no AC-3 frame (or\n"
    "memory ran out, or the output was not written); 2 wrong options or\n"
    "environment. mtsimport, unlike the decoders, ends with 0 on a damaged\n"
    "recording it imported with a warning.\n";

constexpr size_t kSamplesPerFrame = 1536;
constexpr size_t kNone = size_t(-1);

// The layout of the PCM written, channels in the order written.
const char* layout_name(int32_t headerResult, int32_t acmodCode, int32_t channels) {
  if (headerResult == 0) {
    switch (acmodCode) {
      case AC3_CHANNELS_1_0: return "mono";
      case AC3_CHANNELS_2_0: return "stereo";
      case AC3_CHANNELS_3_0: return "3/0 (L C R)";
      case AC3_CHANNELS_2_1: return "2/1 (L R S)";
      case AC3_CHANNELS_3_1: return "3/1 (L C R S)";
      case AC3_CHANNELS_2_2: return "2/2 (L R Ls Rs)";
      case AC3_CHANNELS_3_2: return "3/2 (L C R Ls Rs)";
      case AC3_CHANNELS_3_2_LFE: return "3/2+LFE (L C R Ls Rs LFE)";
    }
  }
  return channels == 3 ? "2/0+LFE (L R LFE)" : "coded order";
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

// The longest AC-3 frame: 1920 words (640 kbit/s at 32 kHz).
constexpr size_t kLargestFrame = 3840;

// The input seen through a window that slides along it: bytes are named by
// their offset in the stream, and only those from the frame at hand on are
// held, so memory stays the same whatever the stream's length.
class InputWindow {
 public:
  explicit InputWindow(FILE* file) : file_(file), bytes_(size_t{1} << 20) {}

  // Holds the bytes [at, at + n) (n at most the window's size), dropping
  // those before `at`, which must lie within what is held or just past it;
  // returns how many of them there are: n, or fewer at the end of the input.
  size_t Hold(size_t at, size_t n) {
    if (end() - at < n && !ended_) {
      const size_t kept = end() - at;
      std::memmove(bytes_.data(), At(at), kept);
      base_ = at;
      const size_t want = bytes_.size() - kept;
      const size_t got = std::fread(bytes_.data() + kept, 1, want, file_);
      size_ = kept + got;
      ended_ = got < want;
      failed_ = std::ferror(file_) != 0;
    }
    return std::min(n, end() - at);
  }
  const uint8_t* At(size_t at) const { return bytes_.data() + (at - base_); }
  // Offset just past the bytes held: at the end of the input, its length.
  size_t end() const { return base_ + size_; }
  bool failed() const { return failed_; }

 private:
  FILE* file_;
  std::vector<uint8_t> bytes_;
  size_t base_ = 0;  // offset of bytes_[0]
  size_t size_ = 0;  // bytes held
  bool ended_ = false;
  bool failed_ = false;
};

// Offset of the first AC-3 sync word (0B 77) at or after `from`, or kNone.
size_t find_sync(InputWindow& in, size_t from) {
  while (in.Hold(from, 2) == 2) {
    const uint8_t* p = in.At(from);
    const size_t n = in.end() - from;
    for (const uint8_t* b = p; (b = static_cast<const uint8_t*>(std::memchr(b, 0x0B, n - 1 - size_t(b - p))));
         ++b)
      if (b[1] == 0x77) return from + size_t(b - p);
    from = in.end() - 1;  // its last byte may begin a sync word
  }
  return kNone;
}

// The decoder instance, closed on every way out.
struct CloseDecoder {
  void operator()(AC3DecState* dec) const { AC3DecCloseLib(dec); }
};

// Where the decoded PCM goes: the file, the whole-output MD5 and the
// per-frame lines (whose header comes with the first frame).
struct Sink {
  FILE* out = nullptr;
  const char* outPath = nullptr;
  bool md5 = false;
  bool framemd5 = false;
  Md5 whole;
  uint64_t samplesOut = 0;
  bool headerDone = false;
  bool writeFailed = false;
  int writeError = 0;  // errno of the failed write
  // The frames, and each form they came in from the frame it starts at.
  struct Run {
    uint64_t first;
    int channels;
    int32_t sampleRate;
    const char* layout;
  };
  uint64_t count = 0;
  std::vector<Run> runs;

  void frame(const int16_t* pcm, size_t bytes, int channels, int32_t sampleRate, const char* layout) {
    if (runs.empty() || runs.back().channels != channels || runs.back().sampleRate != sampleRate ||
        std::strcmp(runs.back().layout, layout) != 0)
      runs.push_back({count, channels, sampleRate, layout});
    ++count;
    if (framemd5) {
      if (!headerDone) {
        std::printf("#format: frame checksums\n#version: 2\n#hash: MD5\n#tb 0: 1/%d\n", sampleRate);
        std::printf("#media_type 0: audio\n#codec_id 0: pcm_s16le\n#sample_rate 0: %d\n", sampleRate);
        std::printf("#channel_layout_name 0: %s\n", layout);
        std::printf("#stream#, dts,        pts, duration,     size, hash\n");
      }
      const unsigned long long duration = bytes / (2 * size_t(channels > 0 ? channels : 1));
      std::printf("0, %10llu, %10llu, %8llu, %8zu, %s\n", static_cast<unsigned long long>(samplesOut),
                  static_cast<unsigned long long>(samplesOut), duration, bytes, md5_hex(pcm, bytes).c_str());
      samplesOut += duration;
    }
    headerDone = true;
    if (md5) whole.update(pcm, bytes);
    if (out && !writeFailed && std::fwrite(pcm, 1, bytes, out) != bytes) {
      writeFailed = true;
      writeError = errno;
    }
  }

  // The PCM written in words: "94 frames of 1536 samples at 48000 Hz,
  // stereo, 2 channels, in interleaved signed 16-bit little-endian PCM
  // (6144 bytes a frame)"; each form from the frame it starts at (counted
  // from 0, as the warnings count) where the stream changes.
  std::string Written() const {
    const std::string pcm = "interleaved signed 16-bit little-endian PCM";
    auto form = [](const Run& r) {
      return std::to_string(r.sampleRate) + " Hz, " + r.layout + ", " + std::to_string(r.channels) +
             (r.channels == 1 ? " channel" : " channels");
    };
    const std::string frames = std::to_string(count) + (count == 1 ? " frame" : " frames") + " of " +
                               std::to_string(kSamplesPerFrame) + " samples";
    if (runs.size() == 1)
      return frames + " at " + form(runs[0]) + ", in " + pcm + " (" +
             std::to_string(kSamplesPerFrame * 2 * size_t(runs[0].channels)) + " bytes a frame)";
    std::string text = frames + " in " + pcm + ": ";
    for (const Run& r : runs) text += (r.first == 0 ? "" : "; from frame " + std::to_string(r.first) + ": ") + form(r);
    return text;
  }
};

// Reads the command line: the input into `*in`, the outputs it asks for
// into `*sink`. -1 when it can be used, else the exit status of the usage
// error it has reported.
int parse_options(int argc, char** argv, const char** in, bool* verbose, Sink* sink) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    int rc = -1;
    if (a == "-o") {
      rc = tools::TakeOptionValue(kTool, kHelp, argc, argv, &i, &sink->outPath, "a file name");
    } else if (a == "--md5") {
      sink->md5 = true;
    } else if (a == "--framemd5") {
      sink->framemd5 = true;
    } else {
      rc = tools::TakeCommonArgument(kTool, kHelp, argv[i], in, verbose);
    }
    if (rc >= 0) return rc;
  }
  if (!*in) return tools::UsageError(kTool, kHelp, "no stream given");
  return -1;
}

// The stream read frame by frame into the sink: a damaged frame becomes a
// frame of silence, bytes outside any frame are dropped with a warning.
struct Decoding {
  Decoding(AC3DecState* decoder, InputWindow* input, Sink* output, const std::string& inputName)
      : dec(decoder), data(*input), sink(*output), name(inputName) {}

  AC3DecState* const dec;
  InputWindow& data;
  Sink& sink;
  const std::string& name;
  std::vector<int16_t> pcm = std::vector<int16_t>(131072 / sizeof(int16_t));
  std::vector<int16_t> silence;
  uint64_t frames = 0, damaged = 0;
  bool skipped = false;  // bytes outside any frame were dropped
  int32_t frameFailure = 0;  // why the first frame found (a header read whose length leads on) failed
  size_t pos = 0;           // where the next frame should begin
  size_t lostFrom = kNone;  // start of the bytes skipped since the last frame
  size_t lastFrameBytes = 0;
  ac3decInfo lastInfo = {};  // header of the last frame taken
  int32_t lastHeader = 0;
  bool synced = false;  // a frame has decoded: the stream has begun
  bool stopped = false;  // the output cannot be written: no use decoding on

  // Frames of silence for `count` frames lost from byte `at` on.
  void conceal(uint64_t count, size_t at, const ac3decInfo& like, int32_t headerResult, const char* why) {
    const int channels = like.nChannels > 0 ? like.nChannels : 1;
    silence.assign(kSamplesPerFrame * size_t(channels), 0);
    for (uint64_t k = 0; k < count; ++k)
      sink.frame(silence.data(), silence.size() * sizeof(int16_t), channels, like.sampleRate,
                 layout_name(headerResult, like.inChannelConfig, like.nChannels));
    const std::string what = count == 1 ? "replaced by silence" : std::to_string(count) + " frames replaced by silence";
    tools::WarnOfDamage(kTool, name, "stream",
                        "frame " + std::to_string(frames) + " at byte " + std::to_string(at) + ": " + why + "; " + what);
    frames += count;
    damaged += count;
  }

  // Bytes skipped before a frame at `sync`: once the stream has begun, whole
  // frames lost become silence; anything less, and whatever comes before
  // the first good frame, is dropped with a warning.
  void close_gap(size_t sync, const ac3decInfo& like, int32_t headerResult) {
    if (lostFrom == kNone) return;
    const size_t gap = sync - lostFrom;
    const size_t frameBytes = like.nAC3FrameByteSize > 0 ? size_t(like.nAC3FrameByteSize) : lastFrameBytes;
    const uint64_t lost = synced && frameBytes ? (gap + frameBytes / 2) / frameBytes : 0;
    if (lost > 0) {
      conceal(lost, lostFrom, like, headerResult, "no readable frame");
    } else {
      // Junk in front is said as the other tools say it.
      tools::WarnOfDamage(kTool, name, "stream",
                          std::to_string(gap) + (synced ? " bytes without a frame skipped at byte " + std::to_string(lostFrom)
                                                        : " bytes before the first frame skipped"));
      skipped = true;
    }
    lostFrom = kNone;
  }

  // Decodes every frame to the end of the input, or until the output cannot
  // be written (`stopped`).
  void decode_all() {
    while (step()) {
    }
  }

  // The frame at the next sync word: decoded, or concealed when damaged, or
  // the sync word passed over when it begins no frame. False at the end of
  // the input or of the output.
  bool step() {
    if (sink.writeFailed || std::ferror(stdout)) {
      stopped = true;
      return false;
    }
    const size_t sync = find_sync(data, pos);
    if (sync == kNone) return false;
    if (sync > pos && lostFrom == kNone) lostFrom = pos;
    // The frame and the two bytes after it, where the next one begins.
    const size_t held = data.Hold(sync, kLargestFrame + 2);
    ac3decInfo info = {};
    info.outFollowsStream = 1;
    info.pInput = data.At(sync);
    info.nInputBytes = int32_t(held);
    const int32_t header = AC3DecGetInputInfoLib(dec, &info);
    const bool headerRead = header == 0 || header == -2;  // -2: a layout without channel code still decodes
    const size_t frameBytes = headerRead ? std::min(size_t(info.nAC3FrameByteSize), kLargestFrame) : 0;
    if (header == -3 || (headerRead && frameBytes > held)) return false;  // the stream ends inside a frame
    int32_t rc = header;
    if (headerRead) {
      info.pOutput = pcm.data();
      info.nOutputCapacity = int32_t(pcm.size() * sizeof(int16_t));
      rc = AC3DecodeAFrameLib(dec, &info);
    }
    if (rc == 0) {
      close_gap(sync, info, header);
      const size_t bytes = size_t(info.nOutputBytes);
      to_little_endian(pcm.data(), bytes / sizeof(int16_t));
      sink.frame(pcm.data(), bytes, info.nChannels, info.sampleRate,
                 layout_name(header, info.inChannelConfig, info.nChannels));
      lastFrameBytes = frameBytes;
      lastInfo = info;
      lastHeader = header;
      pos = sync + std::max<size_t>(size_t(info.nInputBytesUsed), 2);
      ++frames;
      synced = true;
      return true;
    }
    // A damaged frame whose length leads to the next sync word (or to the
    // end) is a frame; once the stream has begun, one lost frame. Otherwise,
    // and always before the first good frame, this sync word was no frame's
    // (junk that happens to hold one, as PCM does by chance), and the search
    // goes on behind it.
    const size_t next = sync + frameBytes;
    const uint8_t* const after = data.At(next);
    const bool whole = headerRead && frameBytes > 0 &&
                       (held == frameBytes || (held >= frameBytes + 2 && after[0] == 0x0B && after[1] == 0x77));
    if (whole && !frameFailure) frameFailure = rc;
    const bool framed = synced && whole;
    if (!framed) {
      if (lostFrom == kNone) lostFrom = sync;
      pos = sync + 2;
      return true;
    }
    close_gap(sync, info, header);
    conceal(1, sync, info, header, tools::DescribeCode(tools::CodeSource::kAc3Decoder, rc).c_str());
    AC3DecResetLib(dec);  // the damaged frame's partial state must not leak into the next
    lastFrameBytes = frameBytes;
    lastInfo = info;
    lastHeader = header;
    pos = next;
    return true;
  }

  // What the end of the input tells, said in words: a read error, an input
  // without frames, and the damage met, with whatever came after the last
  // frame. Returns the exit status so far.
  int status() {
    const size_t length = data.end();  // the whole input's, unless stopped
    if (data.failed()) {
      tools::Report(kTool, name + ": read error");
      return tools::kExitFailed;
    }
    if (length == 0) {
      tools::Report(kTool, name + ": empty file");  // a pipe or device that gave nothing
      return tools::kExitFailed;
    }
    if (stopped) return tools::kExitOk;  // the write error is reported later; the rest of the stream is unread
    if (frames == 0) {
      tools::Report(kTool, name + ": " +
                               (frameFailure ? "no decodable AC-3 frame: " +
                                                   tools::DescribeCode(tools::CodeSource::kAc3Decoder, frameFailure)
                                             : std::string("no AC-3 frame")));
      return tools::kExitFailed;
    }
    // Whole frames lost at the end become silence too; a shorter rest is a
    // stream cut inside its last frame.
    if (lostFrom != kNone && lastFrameBytes > 0) {
      const uint64_t lost = (length - lostFrom) / lastFrameBytes;
      if (lost > 0) conceal(lost, lostFrom, lastInfo, lastHeader, "no readable frame");
      lostFrom += size_t(lost) * lastFrameBytes;
    }
    const size_t tail = lostFrom != kNone ? lostFrom : pos;
    if (tail < length) {
      tools::WarnOfDamage(kTool, name, "stream",
                          std::to_string(length - tail) + " bytes after the last whole frame skipped");
      skipped = true;
    }
    if (damaged > 0)
      tools::WarnOfDamage(kTool, name, "stream",
                          std::to_string(damaged) + " of " + std::to_string(frames) + " frames replaced by silence");
    return damaged > 0 || skipped ? tools::kExitDamaged : tools::kExitOk;
  }
};

// The end of the run for the outputs: a failed run leaves no output file,
// what was there stays as it was; otherwise the file is put in place, the
// checksum printed and what was written said. Returns the exit status.
int finish(Sink& sink, int status) {
  std::string why;
  if (sink.out && sink.out != stdout && status == tools::kExitFailed) {
    tools::DiscardOutput(sink.out);
  } else if (sink.out && sink.out != stdout && !tools::CloseOutput(sink.out, sink.writeError, &why)) {
    tools::Report(kTool, std::string(sink.outPath) + ": " + why);
    status = tools::kExitFailed;
  }
  if (sink.md5 && status != tools::kExitFailed) std::printf("%s\n", sink.whole.hex().c_str());
  // What was written, as raw PCM needs it to be opened; output that was
  // lost has said all there is.
  std::fflush(stdout);
  if (status != tools::kExitFailed && !std::ferror(stdout)) tools::Report(kTool, sink.Written());
  return status;
}

// The tool's work, with `*name` naming the input once it is known.
int Run(int argc, char** argv, std::string* name) {
  const char* in = nullptr;
  Sink sink;
  bool verbose = false;
  const int usage = parse_options(argc, argv, &in, &verbose, &sink);
  if (usage >= 0) return usage;
  *name = tools::InputName(in);
  const int setup = tools::CheckDecodingSetup(kTool, kHelp, in, sink.outPath, "the PCM", sink.md5 || sink.framemd5);
  if (setup >= 0) return setup;
  std::string problem;

  FILE* const file = tools::OpenInput(in, &problem);
  if (!file) {
    tools::Report(kTool, *name + ": " + problem);
    return tools::kExitFailed;
  }
  const std::unique_ptr<FILE, int (*)(FILE*)> closeFile(file != stdin ? file : nullptr, std::fclose);
  InputWindow data(file);
  // A recording's packets, first seen as damaged AC-3 frames, are named as
  // what they are.
  const size_t probe = data.Hold(0, tools::kTransportStreamProbeBytes);
  if (const size_t packet = tools::TransportStreamPacketSize(data.At(0), probe)) {
    tools::Report(kTool, *name + ": " + tools::TransportStreamRefusal(packet, "a raw AC-3 stream", "audio"));
    return tools::kExitFailed;
  }
  const std::unique_ptr<AC3DecState, CloseDecoder> decoder(AC3DecInitLib());
  if (!decoder) {
    tools::Report(kTool, *name + ": " + tools::OutOfMemory("the AC-3 decoder"));  // its one cause
    return tools::kExitFailed;
  }
  if (verbose) std::fprintf(stderr, "ac3dec: primitives: %s variant\n", tools::ProcessorVariantName());
  if (sink.outPath) {
    sink.out = tools::OpenOutput(sink.outPath, &problem);
    if (!sink.out) {
      tools::Report(kTool, std::string(sink.outPath) + ": " + problem);
      return tools::kExitFailed;
    }
  }
  Decoding d(decoder.get(), &data, &sink, *name);
  d.decode_all();
  return finish(sink, d.status());
}

}  // namespace

int main(int argc, char** argv) { return tools::RunTool(kTool, kHelp, "the decoding", argc, argv, Run); }
