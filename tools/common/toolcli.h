// What the host programs share on their command lines: the words for the
// result codes they can meet, the checks of an input file before it is used,
// "-" for standard output, number arguments, and the choice of the
// primitives' processor variant.
//
// Every failure a tool reports is one line on standard error:
//   "<tool>: <file>: <what is wrong in words>" and, where it helps, the code
//   in brackets. Exit codes: 0 done, 1 the input could not be used or the
//   work failed, 2 wrong options or environment; the decoders also use 3:
//   decoded to the end, but damage was concealed or dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tools {

constexpr const char* kVersion = "1.0";

enum ExitCode : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitDamaged = 3 };

// Who produced a result code: the components and their platform layer
// (QuickTime-style OSErr values and the components' own codes), or the AC-3
// decoder library.
enum class CodeSource { kComponents, kAc3Decoder };

// Words for a code, or nullptr when the table has none.
const char* CodeText(CodeSource source, int32_t code);
// "words (code)", or "error code" for a code the table does not know; a
// memory code's words are those of OutOfMemory.
std::string DescribeCode(CodeSource source, int32_t code);

// Why `path` cannot be read as an input ("no such file", "is a directory",
// "empty file", or the system's words), or "" when it can.
std::string InputProblem(const char* path);

// Opens an input to be read as a stream ("-": standard input; a pipe or a
// FIFO is opened once and read as it comes); nullptr with `problem` set as
// InputProblem says. An input that turns out to give nothing is the
// reader's to call "empty file".
FILE* OpenInput(const char* path, std::string* problem);
// How messages name an input: "standard input" for "-", else its path.
std::string InputName(const char* path);

// The size of the packets (188, or 192 with an arrival time before each)
// when `data` holds an MPEG transport stream, else 0. A transport stream is
// a run of packets on one grid anywhere in the data (a file cut anywhere, or
// with junk or damaged packets before its first whole one), each with a sync
// byte 0x47 and a header that holds together: an adaptation field control
// other than the reserved value and an adaptation field that fits the
// packet; beyond the run's first four packets one in four may be damaged.
// A run of 16 packets (or of every whole packet the data holds from there
// when that is fewer: at least two, four off the start) whose continuity
// counters go on from the last packet of the same PID is one, unless the
// data parses as an H.264 Annex B stream (it has start codes, and each is
// followed by a valid NAL unit header; the PES headers of a transport stream
// follow their start codes with a stream id, which no NAL unit header is).
// A run of 64 packets (or every whole one from there, at least 16) whose
// headers are not all the same is one whatever its counters and start codes:
// packets out of order, or a cut inside a video PES, which shows the start
// codes of the video's NAL units and no PES header. Give it the first
// kTransportStreamProbeBytes of the input, or all of a shorter one.
constexpr size_t kTransportStreamProbeBytes = size_t{256} << 10;
size_t TransportStreamPacketSize(const uint8_t* data, size_t size);
// Why a transport stream of `packet`-byte packets is not what a decoder of
// `stream` ("an H.264 Annex B stream") takes, and where it goes instead:
// mtsimport imports recordings of 192-byte packets; from a stream of
// 188-byte packets its `track` ("video") must be demultiplexed first.
std::string TransportStreamRefusal(size_t packet, const char* stream, const char* track);

// True for "-", the name of standard output.
bool IsStandardOutput(const char* path);
// The system's words for an errno value, as a tool's message goes on with
// them ("no space left on device").
std::string SystemWords(int error);
// Where the symbolic links from `path` lead, whether a file is there or not
// (a dangling link leads to the name it holds); "" with errno set when a
// link cannot be read or the links go round.
std::string FollowLinks(std::string path);
// Opens an output ("-": standard output). A regular file, or a name where
// nothing is yet, is written as mtsimport saves its movie: to a new file
// beside it (without a name while it is written where the file system
// allows, readable by its owner only), which takes the destination's place
// by a rename only once complete and on the disk (CloseOutput). Until then,
// and after a failure (DiscardOutput), an interruption or a kill, what was
// there stays as it was and nothing of the new file is left. A symbolic
// link is followed to where it leads; a device or a pipe is written
// through. nullptr with `problem` set when it cannot be opened, in the
// words mtsimport uses for its outputs ("cannot create a file in DIR: no
// such directory", "cannot replace DIR/x: ... its directory takes no new
// file (permission denied); ...").
FILE* OpenOutput(const char* path, std::string* problem);
// Completes an output: standard output is flushed, a file closed and a new
// file put in place, keeping the permissions of the file it replaces.
// False with `problem` set ("write error: no space left on device",
// "cannot replace PATH: ...; it is left as it was") when a byte did not
// reach it or it could not be put in place; `writeError`, when not 0, is
// the errno of an earlier write that failed, which the words then give.
bool CloseOutput(FILE* f, int writeError, std::string* problem);
// Closes an output the run gives up (it failed): a new file is removed, and
// what was at its destination stays as it was.
void DiscardOutput(FILE* f);
// "write error: <the system's words>" for a failed write with errno `error`
// (plain "write error" for 0), with the file-size limit named as
// SystemWordsForWrite names it.
std::string WriteError(int error);
// The system's words for a write to `what` ("the output", "the movie") that
// failed with `error`; a file grown past the process's file-size limit
// (EFBIG) also names the limit: "file too large: the file-size limit
// (ulimit -f) of 65536 bytes is too small for the output; raise the limit,
// then try again".
std::string SystemWordsForWrite(int error, const char* what);
// Why writing `output` would lose the input `input` ('-': standard input):
// it is the same file by any name (a symbolic or hard link), which the
// output would replace. The words then, as mtsimport says them ("is the
// stream being decoded (IN); the pictures would replace it and the stream
// would be lost: save elsewhere"), from the input's `noun` ("stream"), what
// is done to it (`doing`: "decoded") and the output's `outputNoun` ("the
// pictures"); "" for another file.
std::string ReplacesInput(const char* output, const char* input, const char* noun, const char* doing,
                          const char* outputNoun);
// Writes that fail are reported by the tool, never its end by a signal: a
// reader that goes away (a closed pipe) makes a write fail like a full disk
// instead of ending the tool with SIGPIPE, and a file grown past the
// file-size limit (ulimit -f) fails with EFBIG instead of SIGXFSZ. Called
// first thing by every tool.
void WriteErrorsInWords();
// Flushes and closes standard output, the tool's last use of it, and returns
// `status`; when anything written to it was lost (a full disk, a closed
// pipe), reports "<tool>: standard output: write error" and returns
// kExitFailed instead. Every tool ends with it.
int FinishStandardOutput(const char* tool, int status);

// A whole decimal number within [lo, hi]; false for anything else ("abc",
// "4x", "", out of range).
bool ParseNumber(const char* text, long lo, long hi, long* value);

// Selects the primitives' processor variant as the libraries' own
// initialisation does (the best one the processor runs, or the one that
// VP_FORCE_VARIANT names). False with `problem` set when VP_FORCE_VARIANT
// names no variant or one this processor cannot run.
bool SelectProcessorVariant(std::string* problem);
// Name of the variant in use: "sse2", "ssse3" or "sse41".
const char* ProcessorVariantName();

// What a decoding tool checks once its options are read: that `-o -` and a
// checksum (`checksums`) do not both ask for standard output, that the
// processor variant can be selected, and that the output `outPath` is not
// the input `in`, which it would replace (ReplacesInput; `outputNoun` names
// what is written: "the pictures"). -1 to go on, else the exit status, the
// usage or the problem said.
int CheckDecodingSetup(const char* tool, const char* help, const char* in, const char* outPath,
                       const char* outputNoun, bool checksums);

// A decoding tool's main: the closed-pipe setting, --help and --version,
// then `work`, which names its input in `*input` once it knows it. Memory
// that runs out in `work` ends it with "<tool>: <input>: " and the words of
// OutOfMemory for `job` ("the decoding"), and kExitFailed; standard output
// is finished last (FinishStandardOutput).
int RunTool(const char* tool, const char* help, const char* job, int argc, char** argv,
            int (*work)(int argc, char** argv, std::string* input));

// What every tool and component says when memory runs short for `what`:
// "out of memory for <what>: free some memory or raise ...".
std::string OutOfMemory(const std::string& what);

// Prints "<tool>: <message>" as one line on standard error.
void Report(const char* tool, const std::string& message);

// The common options: for --help prints `help` to standard output, for
// --version "<tool> <version>", and returns the tool's exit status
// (FinishStandardOutput); otherwise returns -1 and the tool goes on parsing.
int HelpOrVersion(int argc, char** argv, const char* tool, const char* help);
// Takes an argument every tool reads the same way: -v/--verbose, or the one
// input file. Returns -1 when taken, else reports a usage error (an unknown
// option, a second input) and returns kExitUsage.
int TakeCommonArgument(const char* tool, const char* help, const char* arg, const char** input, bool* verbose);

// Takes the value of the option at argv[*i], stepping *i past it, into
// `*value`, which must still be null: an option given once is taken, a
// second time it is refused as a second input is, and an empty value is
// refused too. -1 when taken, else the usage error is reported ("-o needs a
// file name", `needs` saying what the value is; "-o given twice (a.yuv, then
// b.yuv)"; "-o '': the value is empty; -o needs a file name") and kExitUsage
// returned.
int TakeOptionValue(const char* tool, const char* help, int argc, char** argv, int* i, const char** value,
                    const char* needs);

// Prints the one style of warning of every tool, for damage it worked round
// (concealed, dropped or skipped) and went on: "<tool>: warning: <file>:
// damaged <kind>: <what>" as one line, `kind` naming what the input is
// ("stream", "recording").
void WarnOfDamage(const char* tool, const std::string& file, const char* kind, const std::string& what);

// The help paragraph on the environment variable every tool reads.
#define TOOLS_HELP_ENVIRONMENT                                                 \
  "environment:\n"                                                            \
  "  VP_FORCE_VARIANT=sse2|ssse3|sse41  run that variant of the primitives\n" \
  "                 (default: the best one the processor runs)\n"

// Prints "<tool>: <message>" and the usage lines of `help` (up to its first
// blank line) to standard error; returns kExitUsage.
int UsageError(const char* tool, const char* help, const std::string& message);

}  // namespace tools
