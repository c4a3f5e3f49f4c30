#include "toolcli.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include "vpCore.h"

namespace tools {

namespace {

struct CodeWords {
  CodeSource source;
  int32_t code;
  const char* words;
};

// One row per code a tool can be handed back. New codes of the components
// (or of the platform layer beneath them) get a row here, in the block of
// their source.
const CodeWords kCodeWords[] = {
    // Platform layer (QuickTime-style result codes).
    {CodeSource::kComponents, -36, "read or write error"},
    {CodeSource::kComponents, -39, "read past the end of the file"},
    {CodeSource::kComponents, -43, "file not found"},
    {CodeSource::kComponents, -50, "invalid argument or record"},
    {CodeSource::kComponents, -108, "out of memory"},
    {CodeSource::kComponents, -1302, "not a regular file"},
    {CodeSource::kComponents, -2000, "the data reference names no file"},
    {CodeSource::kComponents, -2010, "no H.264 video stream"},
    {CodeSource::kComponents, -2029, "unusable data reference"},
    {CodeSource::kComponents, -2048, "no data handler for the data reference"},
    // The components' own codes.
    {CodeSource::kComponents, -1, "out of memory for a sample buffer"},
    {CodeSource::kComponents, 1, "unexpected audio channel configuration"},
    {CodeSource::kComponents, -17, "frame-index entry without a record directory"},
    {CodeSource::kComponents, -23, "cannot open the file or a shared-memory region"},
    {CodeSource::kComponents, -29, "frame index full"},
    {CodeSource::kComponents, -41, "cannot map a shared-memory region"},
    {CodeSource::kComponents, -42, "all 1000 shared-memory record ids are in use"},
    {CodeSource::kComponents, -8960, "an AC-3 frame of the recording cannot be decoded"},
    // AC-3 decoder library.
    {CodeSource::kAc3Decoder, -1, "missing buffer"},
    {CodeSource::kAc3Decoder, -2, "unsupported or broken stream (dual mono, bad frame size code or block data)"},
    {CodeSource::kAc3Decoder, -3, "frame incomplete or no AC-3 sync word"},
    {CodeSource::kAc3Decoder, -4, "decoded frame larger than the output buffer"},
    {CodeSource::kAc3Decoder, -5, "frame runs past the end of the input"},
    {CodeSource::kAc3Decoder, -6, "no output channel layout"},
    {CodeSource::kAc3Decoder, -7, "reserved value in the stream (E-AC-3, or a reserved sample rate)"},
    {CodeSource::kAc3Decoder, -8, "checksum (CRC) mismatch: damaged frame"},
};

}  // namespace

const char* CodeText(CodeSource source, int32_t code) {
  for (const CodeWords& w : kCodeWords)
    if (w.source == source && w.code == code) return w.words;
  return nullptr;
}

std::string DescribeCode(CodeSource source, int32_t code) {
  const char* words = CodeText(source, code);
  return words ? std::string(words) + " (" + std::to_string(code) + ")" : "error " + std::to_string(code);
}

namespace {

// Opens `path` for reading and checks what it is with the open file, so that
// a FIFO is opened only once.
FILE* OpenFile(const char* path, std::string* problem) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    *problem = errno == ENOENT ? "no such file" : std::strerror(errno);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fileno(f), &st) != 0) *problem = std::strerror(errno);
  else if (S_ISDIR(st.st_mode)) *problem = "is a directory";
  else if (S_ISREG(st.st_mode) && st.st_size == 0) *problem = "empty file";
  else return f;
  std::fclose(f);
  return nullptr;
}

}  // namespace

std::string InputProblem(const char* path) {
  std::string problem;
  if (FILE* f = OpenFile(path, &problem)) std::fclose(f);
  return problem;
}

FILE* OpenInput(const char* path, std::string* problem) {
  return std::strcmp(path, "-") == 0 ? stdin : OpenFile(path, problem);
}

std::string InputName(const char* path) { return std::strcmp(path, "-") == 0 ? "standard input" : path; }

namespace {

// Whether the transport packet at `p` has a header that holds together: its
// sync byte, an adaptation field control other than the reserved 0, and an
// adaptation field that fits the packet (all of it when there is no payload).
bool IsPacketHeader(const uint8_t* p) {
  if (p[0] != 0x47) return false;
  const unsigned control = (p[3] >> 4) & 3;
  if (control == 0) return false;
  if (control == 2) return p[4] == 183;
  return control == 1 || p[4] <= 182;
}

// Whether every start code 00 00 01 in `data` is followed by a NAL unit
// header (forbidden bit clear, a type other than the unspecified 0), and
// there is one at least.
bool ParsesAsAnnexB(const uint8_t* data, size_t size) {
  bool found = false;
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i + 2] > 1) {
      i += 2;  // no start code ends at i + 1 or i + 2
      continue;
    }
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    if ((header & 0x80) || (header & 0x1F) == 0) return false;
    found = true;
    i += 2;
  }
  return found;
}

// Packets whose continuity counters are followed, and packets on the grid
// that are enough on their own.
constexpr size_t kRun = 16;
constexpr size_t kLongRun = 64;

// Whether the `held` packets of `packet` bytes from `first` (a packet
// header) hold together as a run: beyond the first four, one packet in four
// may be damaged, a short run must be whole. With `counters`, the continuity
// counter of each PID goes on from its last packet (at most kRun packets);
// without, the headers may not all be the same, since a unit of data
// repeated on the grid (an AC-3 frame of 188 or 192 bytes sent again and
// again, say) is no run of packets.
bool IsRun(const uint8_t* first, size_t packet, size_t held, bool counters) {
  const size_t allowed = held > 4 ? (held - 4) / 4 : 0;
  size_t missed = 0;
  bool varied = false;  // a header other than the first one's
  uint16_t pids[kRun];
  uint8_t last[kRun];
  size_t known = 0;  // PIDs with payload seen in the run, and their last counters
  for (size_t k = 0; k < held && missed <= allowed; ++k) {
    const uint8_t* const p = first + k * packet;
    if (!IsPacketHeader(p)) {
      ++missed;
      continue;
    }
    if (!counters) {
      varied = varied || std::memcmp(p + 1, first + 1, 3) != 0;
      continue;
    }
    const uint16_t pid = uint16_t((p[1] & 0x1F) << 8 | p[2]);
    const uint8_t counter = p[3] & 0x0F;
    const bool discontinuity = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);
    if (!(p[3] & 0x10) || pid == 0x1FFF) continue;  // no payload, or a null packet: no counter to follow
    size_t j = 0;
    while (j < known && pids[j] != pid) ++j;
    // A counter goes up by one from packet to packet of its PID; a packet
    // may be sent twice.
    if (j < known && !discontinuity && counter != last[j] && counter != ((last[j] + 1) & 0x0F)) ++missed;
    if (j == known) pids[known++] = pid;
    last[j] = counter;
  }
  return missed <= allowed && (counters || varied);
}

}  // namespace

size_t TransportStreamPacketSize(const uint8_t* data, size_t size) {
  int annexB = -1;  // whether the data parses as Annex B, once asked
  for (const size_t packet : {size_t{188}, size_t{192}}) {
    const size_t sync = packet - 188;  // where the transport packet starts within a packet
    for (size_t offset = 0; offset + packet <= size; ++offset) {
      // On to the next sync byte.
      const void* const next = std::memchr(data + offset + sync, 0x47, size - packet + 1 - offset);
      if (next == nullptr) break;
      offset = size_t(static_cast<const uint8_t*>(next) - data) - sync;
      const uint8_t* const first = data + offset + sync;
      if (!IsPacketHeader(first)) continue;
      // The whole packets the data holds from there, up to kRun; fewer than
      // two (four off the start) could be bytes that happen to fit.
      const size_t held = std::min(kRun, (size - offset) / packet);
      if (held < (offset == 0 ? 2u : 4u)) continue;
      // A long run is a transport stream whatever its counters say (packets
      // out of order) and whatever start codes it holds: cut inside a video
      // PES, the data may show the start codes of the video's NAL units and
      // no PES header.
      const size_t longHeld = std::min(kLongRun, (size - offset) / packet);
      if (longHeld >= kRun && IsRun(first, packet, longHeld, false)) return packet;
      if (!IsRun(first, packet, held, true)) continue;
      if (annexB < 0) annexB = ParsesAsAnnexB(data, size);
      if (!annexB) return packet;
    }
  }
  return 0;
}

std::string TransportStreamRefusal(size_t packet, const char* stream, const char* track) {
  const std::string what = "an MPEG transport stream of " + std::to_string(packet) + "-byte packets, not " + stream;
  if (packet == 192) return what + " (mtsimport imports it)";
  return what + "; mtsimport imports only recordings of 192-byte packets (.MTS, .m2ts): demultiplex its " + track +
         " to " + stream + " first";
}

bool IsStandardOutput(const char* path) { return path && std::strcmp(path, "-") == 0; }

std::string SystemWords(int error) {
  std::string words = std::strerror(error);
  if (!words.empty()) words[0] = char(std::tolower(static_cast<unsigned char>(words[0])));
  return words;
}

FILE* OpenOutput(const char* path, std::string* problem) {
  if (IsStandardOutput(path)) return stdout;
  FILE* f = std::fopen(path, "wb");
  if (f) return f;
  const int error = errno;
  struct stat st;
  if (::stat(path, &st) == 0) {
    *problem = "cannot write to it: " + SystemWords(error);
    return nullptr;
  }
  // No file there: say which directory takes no new file, and why.
  const std::string p = path;
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  *problem = "cannot create a file in " + dir + ": " +
             (error == ENOENT && ::stat(dir.c_str(), &st) != 0 ? "no such directory" : SystemWords(error));
  return nullptr;
}

bool CloseOutput(FILE* f, int* error) {
  int first = std::ferror(f) ? EIO : 0;  // an earlier failure whose errno the caller kept
  const bool closed = f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0;
  if (!closed && first == 0) first = errno;
  if (error) *error = first;
  return closed && first == 0;
}

std::string WriteError(int error) { return error ? "write error: " + SystemWords(error) : "write error"; }

void WriteErrorsOnClosedPipes() { std::signal(SIGPIPE, SIG_IGN); }

int FinishStandardOutput(const char* tool, int status) {
  const bool failed = std::ferror(stdout) != 0;
  if (std::fclose(stdout) == 0 && !failed) return status;
  Report(tool, "standard output: write error");
  return kExitFailed;
}

bool ParseNumber(const char* text, long lo, long hi, long* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *value = v;
  return true;
}

namespace {
constexpr const char* kVariantNames[4] = {"sse2", "sse2", "ssse3", "sse41"};
}  // namespace

int CheckDecodingSetup(const char* tool, const char* help, const char* outPath, bool checksums) {
  if (IsStandardOutput(outPath) && checksums)
    return UsageError(tool, help, "-o - and --md5 or --framemd5 would mix on standard output");
  std::string problem;
  if (!SelectProcessorVariant(&problem)) {
    Report(tool, problem);
    return kExitUsage;
  }
  return -1;
}

bool SelectProcessorVariant(std::string* problem) {
  vpStaticInit();
  const char* forced = std::getenv("VP_FORCE_VARIANT");
  if (!forced || !*forced) return true;  // unset or empty: the processor's best
  for (uint32_t slot = VpVariantSse2; slot <= VpVariantSse41; ++slot) {
    if (std::strcmp(forced, kVariantNames[slot]) != 0) continue;
    if (vpVariantIndex.load() == slot) return true;
    *problem = std::string("VP_FORCE_VARIANT=") + forced + ": this processor cannot run that variant";
    return false;
  }
  *problem = std::string("VP_FORCE_VARIANT=") + forced + ": no such variant (sse2, ssse3 or sse41)";
  return false;
}

const char* ProcessorVariantName() { return kVariantNames[vpVariantIndex.load() & 3u]; }

int RunTool(const char* tool, const char* help, int argc, char** argv,
            int (*work)(int argc, char** argv, std::string* input)) {
  WriteErrorsOnClosedPipes();
  const int early = HelpOrVersion(argc, argv, tool, help);
  if (early >= 0) return early;
  std::string input;
  int status;
  try {
    status = work(argc, argv, &input);
  } catch (const std::bad_alloc&) {
    Report(tool, (input.empty() ? "" : input + ": ") + "out of memory");
    status = kExitFailed;
  }
  return FinishStandardOutput(tool, status);
}

void Report(const char* tool, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
}

int HelpOrVersion(int argc, char** argv, const char* tool, const char* help) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h"))
      std::fputs(help, stdout);
    else if (!std::strcmp(argv[i], "--version"))
      std::printf("%s %s\n", tool, kVersion);
    else
      continue;
    return FinishStandardOutput(tool, kExitOk);
  }
  return -1;
}

int TakeCommonArgument(const char* tool, const char* help, const char* arg, const char** input, bool* verbose) {
  if (!std::strcmp(arg, "-v") || !std::strcmp(arg, "--verbose")) {
    *verbose = true;
  } else if (arg[0] == '-' && arg[1] != '\0') {
    return UsageError(tool, help, std::string("unknown option ") + arg);
  } else if (*input) {
    return UsageError(tool, help, std::string("one input at a time (") + arg + ")");
  } else {
    *input = arg;
  }
  return -1;
}

int UsageError(const char* tool, const char* help, const std::string& message) {
  Report(tool, message);
  const char* blank = std::strstr(help, "\n\n");
  std::fwrite(help, 1, blank ? size_t(blank - help) + 1 : std::strlen(help), stderr);
  std::fprintf(stderr, "Try '%s --help' for more.\n", tool);
  return kExitUsage;
}

}  // namespace tools
