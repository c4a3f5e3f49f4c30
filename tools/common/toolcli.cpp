#include "toolcli.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "MTS_Log.h"
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
    {CodeSource::kComponents, -108, "out of memory for the movie"},
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
  if (!words) return "error " + std::to_string(code);
  // Memory is said as everywhere else, with what to do about it.
  static const char kMemory[] = "out of memory for ";
  const std::string said = std::strncmp(words, kMemory, sizeof kMemory - 1) == 0
                               ? OutOfMemory(words + sizeof kMemory - 1)
                               : std::string(words);
  return said + " (" + std::to_string(code) + ")";
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

namespace {

// The file an output is written to, beside its destination, until it is
// complete; one output a run.
struct NewFile {
  FILE* file = nullptr;
  std::string destination;  // with every symbolic link followed
  bool replaces = false;  // a file is at the destination
  struct stat st {};      // of that file
};
NewFile pending;
// The new file's name once it has one (where the file system makes it
// without, only for the moment before the rename), removed by
// remove_named_file when a signal ends the run meanwhile.
char pendingName[PATH_MAX + 16];

void remove_named_file(int sig) {
  if (pendingName[0] != '\0') ::unlink(pendingName);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// The directory of `path` ("." for a bare name) and its name there.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Opens the new file in `dir`: without a name where the file system allows,
// else under a new hidden name beside the destination `base`.
int open_new_file(const std::string& dir, const std::string& base) {
  pendingName[0] = '\0';
  int fd = -1;
  if (::access("/proc/self/fd", F_OK) == 0) {  // how an unnamed file gets its name later
    fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  }
  std::string pattern = dir + "/." + base.substr(0, 200) + ".XXXXXXXX";
  fd = ::mkostemp(&pattern[0], O_CLOEXEC);  // O_EXCL, mode 0600
  if (fd >= 0) std::snprintf(pendingName, sizeof pendingName, "%s", pattern.c_str());
  return fd;
}

// Gives the complete new file its place at the destination: a hidden name
// beside it first when it has none, then the rename. Signals that would end
// the run wait meanwhile, so that no hidden name is left behind.
bool put_in_place(int fd, std::string* problem) {
  const auto [dir, base] = split_path(pending.destination);
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&block, sig);
  ::sigprocmask(SIG_BLOCK, &block, &old);
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (unsigned tag = unsigned(::getpid()); pendingName[0] == '\0'; tag = tag * 1103515245u + 12345u) {
    std::snprintf(pendingName, sizeof pendingName, "%s/.%s.%08x", dir.c_str(), base.substr(0, 200).c_str(), tag);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, pendingName, AT_SYMLINK_FOLLOW) == 0) break;
    pendingName[0] = '\0';
    if (errno != EEXIST) {
      *problem = "cannot write the output to a new file in " + dir + ": " + SystemWords(errno);
      ::sigprocmask(SIG_SETMASK, &old, nullptr);
      return false;
    }
  }
  const bool renamed = ::rename(pendingName, pending.destination.c_str()) == 0;
  if (!renamed) {
    *problem = "cannot replace " + pending.destination + ": " + SystemWords(errno) + "; it is left as it was";
    ::unlink(pendingName);
  }
  pendingName[0] = '\0';
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  if (renamed) {
    const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // the rename on the disk too
    if (d >= 0) {
      ::fsync(d);
      ::close(d);
    }
  }
  return renamed;
}

}  // namespace

std::string FollowLinks(std::string at) {
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(at.c_str(), target, sizeof target);
    if (n <= 0 || size_t(n) >= sizeof target) {
      errno = n < 0 ? errno : ENAMETOOLONG;
      return {};
    }
    std::string next(target, size_t(n));
    if (next[0] != '/' && at.find('/') != std::string::npos) next = split_path(at).first + "/" + next;
    at = next;
  }
  errno = ELOOP;
  return {};
}

FILE* OpenOutput(const char* path, std::string* problem) {
  if (IsStandardOutput(path)) return stdout;
  struct stat st;
  const bool exists = ::stat(path, &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe (also as /dev/stdout) takes the bytes as they come.
    if (FILE* f = std::fopen(path, "wb")) return f;
    *problem = "cannot write to it: " + SystemWords(errno);
    return nullptr;
  }
  const std::string destination = FollowLinks(path);
  if (destination.empty()) {
    *problem = "cannot follow the symbolic link: " + SystemWords(errno);
    return nullptr;
  }
  const auto [dir, base] = split_path(destination);
  struct stat ds;
  const bool statted = ::stat(dir.c_str(), &ds) == 0;
  if (!statted || !S_ISDIR(ds.st_mode)) {
    const int error = statted ? ENOTDIR : errno;
    *problem = "cannot create a file in " + dir + ": " + (error == ENOENT ? "no such directory" : SystemWords(error));
    return nullptr;
  }
  // The new file is made without a name or under a short one: only the
  // rename at the end would find the name too long, after all the work.
  const long longest = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  if (longest > 0 && base.size() > size_t(longest)) {
    *problem = "cannot create a file in " + dir + ": the name is " + std::to_string(base.size()) +
               " bytes long, the file system takes at most " + std::to_string(longest);
    return nullptr;
  }
  const int fd = open_new_file(dir, base);
  if (fd < 0) {
    const int error = errno;
    if (!exists || error == EROFS) {
      *problem = "cannot create a file in " + dir + ": " + SystemWords(error);
    } else {
      *problem = "cannot replace " + destination + ": the output is written to a new file that takes its place "
                 "once complete, so that an interrupted run leaves it as it was, and its directory takes no new "
                 "file (" + SystemWords(error) + "); write elsewhere, or make " + dir + " writable";
    }
    return nullptr;
  }
  pending = NewFile{::fdopen(fd, "wb"), destination, exists, st};
  if (!pending.file) {
    *problem = "cannot create a file in " + dir + ": " + SystemWords(errno);
    if (pendingName[0] != '\0') ::unlink(pendingName);
    pendingName[0] = '\0';
    ::close(fd);
    pending = NewFile{};
    return nullptr;
  }
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    if (std::signal(sig, remove_named_file) == SIG_IGN) std::signal(sig, SIG_IGN);  // kept ignored
  return pending.file;
}

bool CloseOutput(FILE* f, int writeError, std::string* problem) {
  int error = writeError ? writeError : std::ferror(f) ? EIO : 0;
  if (f == stdout) {
    if (std::fflush(f) != 0 && error == 0) error = errno;
  } else if (f != pending.file) {
    if (std::fclose(f) != 0 && error == 0) error = errno;
  } else {
    // The new file: complete, with the replaced file's permissions (without
    // set-user-id and set-group-id) and, where the tool may set them, its
    // owner and group, or a new file's mode; on the disk before the rename.
    const int fd = fileno(f);
    const NewFile& p = pending;
    if (std::fflush(f) != 0 && error == 0) error = errno;
    if (p.replaces && ::fchown(fd, p.st.st_uid, p.st.st_gid) != 0) (void)::fchown(fd, uid_t(-1), p.st.st_gid);
    mode_t mode = p.st.st_mode & 01777;
    if (!p.replaces) {
      mode = ::umask(077);
      ::umask(mode);
      mode = 0666 & ~mode;
    }
    if (error == 0 && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) error = errno;
    if (error != 0 || !put_in_place(fd, problem)) {
      DiscardOutput(f);
      if (error != 0) *problem = WriteError(error);
      return false;
    }
    pending = NewFile{};
    std::fclose(f);  // in place and on the disk: closing it changes nothing there
    return true;
  }
  if (error != 0) *problem = WriteError(error);
  return error == 0;
}

void DiscardOutput(FILE* f) {
  if (f == nullptr) return;
  if (f == stdout) {
    std::fflush(f);
    return;
  }
  if (f == pending.file) {
    if (pendingName[0] != '\0') ::unlink(pendingName);  // never renamed: only the file this run made
    pendingName[0] = '\0';
    pending = NewFile{};
  }
  std::fclose(f);
}

std::string SystemWordsForWrite(int error, const char* what) {
  struct rlimit limit;
  if (error != EFBIG || ::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return SystemWords(error);
  return SystemWords(error) + ": the file-size limit (ulimit -f) of " +
         std::to_string(static_cast<unsigned long long>(limit.rlim_cur)) + " bytes is too small for " + what +
         "; raise the limit, then try again";
}

std::string WriteError(int error) {
  return error ? "write error: " + SystemWordsForWrite(error, "the output") : "write error";
}

std::string ReplacesInput(const char* output, const char* input, const char* noun, const char* doing,
                          const char* outputNoun) {
  if (!output || !input || IsStandardOutput(output)) return {};
  struct stat out, in;
  const int read = IsStandardOutput(input) ? ::fstat(STDIN_FILENO, &in) : ::stat(input, &in);
  if (::stat(output, &out) != 0 || read != 0 || out.st_dev != in.st_dev || out.st_ino != in.st_ino) return {};
  return std::string("is the ") + noun + " being " + doing + " (" + InputName(input) + "); " + outputNoun +
         " would replace it and the " + noun + " would be lost: save elsewhere";
}

void WriteErrorsInWords() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

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

int CheckDecodingSetup(const char* tool, const char* help, const char* in, const char* outPath,
                       const char* outputNoun, bool checksums) {
  if (IsStandardOutput(outPath) && checksums)
    return UsageError(tool, help, "-o - and --md5 or --framemd5 would mix on standard output");
  std::string problem;
  if (!SelectProcessorVariant(&problem)) {
    Report(tool, problem);
    return kExitUsage;
  }
  problem = ReplacesInput(outPath, in, "stream", "decoded", outputNoun);
  if (!problem.empty()) {
    Report(tool, std::string(outPath) + ": " + problem);
    return kExitFailed;
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

std::string OutOfMemory(const std::string& what) { return MTS_OutOfMemoryText(what.c_str()); }

namespace {

// Memory held back from the start of a run for its way out when memory runs
// short: the exception thrown, the unwinding that gives the regions back, and
// the words. A process at the very edge of its address space has none of its
// own for them (not even the runtime's emergency store for exceptions), and
// would end by abort. Given back at the first allocation that fails.
// Any thread (a decoder's workers too) may be the first to fail.
constexpr size_t kMemoryReserveBytes = size_t{64} << 10;
std::atomic<void*> memoryReserve{nullptr};

void release_memory_reserve() {
  std::free(memoryReserve.exchange(nullptr));
  std::set_new_handler(nullptr);  // the next failure throws
}

}  // namespace

int RunTool(const char* tool, const char* help, const char* job, int argc, char** argv,
            int (*work)(int argc, char** argv, std::string* input)) {
  WriteErrorsInWords();
  const int early = HelpOrVersion(argc, argv, tool, help);
  if (early >= 0) return early;
  memoryReserve = std::malloc(kMemoryReserveBytes);
  if (memoryReserve.load() == nullptr) {
    std::fprintf(stderr, "%s: %s\n", tool, MTS_OutOfMemoryText(job));
    return FinishStandardOutput(tool, kExitFailed);
  }
  std::set_new_handler(release_memory_reserve);
  std::string input;
  int status;
  try {
    status = work(argc, argv, &input);
  } catch (const std::bad_alloc&) {
    release_memory_reserve();
    Report(tool, (input.empty() ? "" : input + ": ") + OutOfMemory(job));
    status = kExitFailed;
  }
  DiscardOutput(pending.file);  // an output the work did not complete
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

int TakeOptionValue(const char* tool, const char* help, int argc, char** argv, int* i, const char** value,
                    const char* needs) {
  const char* option = argv[*i];
  if (*i + 1 >= argc) return UsageError(tool, help, std::string(option) + " needs " + needs);
  const char* given = argv[++*i];
  if (*value) return UsageError(tool, help, std::string(option) + " given twice (" + *value + ", then " + given + ")");
  // An empty file name names nothing; refused before any work is done.
  if (*given == '\0')
    return UsageError(tool, help, std::string(option) + " '': the value is empty; " + option + " needs " + needs);
  *value = given;
  return -1;
}

void WarnOfDamage(const char* tool, const std::string& file, const char* kind, const std::string& what) {
  std::fprintf(stderr, "%s: warning: %s: damaged %s: %s\n", tool, file.c_str(), kind, what.c_str());
}

int UsageError(const char* tool, const char* help, const std::string& message) {
  Report(tool, message);
  const char* blank = std::strstr(help, "\n\n");
  std::fwrite(help, 1, blank ? size_t(blank - help) + 1 : std::strlen(help), stderr);
  std::fprintf(stderr, "Try '%s --help' for more.\n", tool);
  return kExitUsage;
}

}  // namespace tools
