// Export speed: a 200-second recording (the 10-second 1080i recording joined
// 20 times over, made in /tmp) saved as a QuickTime movie, its samples read
// back through the data handler (access units with lengths, AC-3 decoded to
// 16-bit PCM), beside ffmpeg writing the same movie from the same file:
//   ffmpeg -i REC -map 0 -c:v copy -c:a pcm_s16le OUT.mov
// BM_ExportVsFfmpeg runs `mtsimport --mov` and ffmpeg as processes, one after
// the other in each iteration (pairs, so a drift of the machine's speed hits
// both alike), and reports each one's seconds and peak memory and the
// speed ratio (ffmpeg's time over mtsimport's: 1 or more means at least as
// fast as ffmpeg). It runs first: a child's peak memory starts from this
// process's at the time it is started. BM_ImportVsFfmpegRemux pairs the
// import alone (`mtsimport REC`) with ffmpeg's remux
//   ffmpeg -i REC -map 0 -c copy -f null -
// and reports mtsimport's time over ffmpeg's. BM_StoreCallsPerPicture runs
// the import and the export once each under strace (when installed) and
// counts the record store's system calls per picture: calls on its
// shared-memory regions, the lock's futex waits and wakes, the scattered
// writes of the frame index and the checks of the recording's identity.
// BM_ExportInProcess then times import and save inside this process.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "MTS_DataHandler.h"
#include "MTS_MovieImport.h"
#include "MovieFile.h"
#include "MovieImport.h"

extern char** environ;

namespace {

constexpr int kJoins = 20;

int64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// The shared-memory regions of the runs get names of their own.
void PrivateRegions() { setenv("AVCHD_SHM_TEST_PREFIX", "export-bench-", 0); }

// The 200-second recording, joined with its own copies; "" when the
// material is missing.
std::string Recording() {
  const char* env = std::getenv("AVCHD_TESTDATA");
  const std::string root = env && *env ? env : std::string(AVCHD_REPO_ROOT) + "/../shared/testdata";
  const std::string source = root + "/avchd/avchd_1080i_10s_ac3_20_avchd.m2ts";
  const std::string path = "/tmp/export_bench_" + std::to_string(kJoins) + "x.m2ts";
  const int64_t size = FileSize(source);
  if (size <= 0) return {};
  if (FileSize(path) == size * kJoins) return path;
  std::ifstream in(source, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string made = path + ".part";
  {
    std::ofstream out(made, std::ios::binary);
    for (int i = 0; i < kJoins; ++i) out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) return {};
  }
  return std::rename(made.c_str(), path.c_str()) == 0 ? path : std::string();
}

// The recording of a benchmark, with the store's regions private and the
// program `tool` (when given) installed; "" with the benchmark skipped when
// either is missing (`missing` says which program).
std::string Prepare(benchmark::State& state, const char* tool = nullptr, const char* missing = nullptr) {
  PrivateRegions();
  const std::string recording = Recording();
  if (recording.empty()) {
    state.SkipWithError("test material missing: avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
    return {};
  }
  if (tool != nullptr && FileSize(tool) <= 0) {
    state.SkipWithError(missing);
    return {};
  }
  return recording;
}

// Import and save inside this process; false when either fails.
bool ExportInProcess(const std::string& recording, const std::string& mov) {
  static const bool registered = [] {
    CallComponentRegisterSelector(MTS_MovieImportComponentDispatch);
    CallComponentRegisterSelector(MTS_DataHComponentDispatch);
    return true;
  }();
  (void)registered;
  ComponentInstance importer = nullptr;
  if (OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &importer) != noErr) return false;
  Movie movie = NewMovie(0);
  FSSpec spec{};
  FSPathMakeFSSpec(recording.c_str(), &spec);
  Track used = nullptr;
  TimeValue added = 0;
  SInt32 outFlags = 0;
  const bool ok = MovieImportFile(importer, &spec, movie, nullptr, &used, 0, &added, 0, &outFlags) == noErr &&
                  SaveMovieAsQuickTimeFile(movie, mov.c_str()) == noErr;
  CloseComponent(importer);
  DisposeMovie(movie);
  return ok;
}

// Runs a program to its end with its output thrown away: wall seconds and
// peak resident memory (MiB), or a negative time when it failed.
struct Run {
  double seconds = -1;
  double peakMiB = 0;
};
Run Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Run run;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakMiB = double(usage.ru_maxrss) / 1024.0;
  return run;
}

void BM_ExportVsFfmpeg(benchmark::State& state) {
  const std::string recording = Prepare(state, "/usr/bin/ffmpeg", "ffmpeg is not installed");
  if (recording.empty()) return;
  const std::string ours = "/tmp/export_bench_" + std::to_string(getpid()) + "_ours.mov";
  const std::string theirs = "/tmp/export_bench_" + std::to_string(getpid()) + "_ffmpeg.mov";
  // Warm the page cache with the recording.
  Spawn({"ffmpeg", "-nostdin", "-v", "error", "-i", recording, "-c", "copy", "-f", "null", "-"});
  std::vector<double> ratios;
  double oursTotal = 0, theirsTotal = 0, oursPeak = 0, theirsPeak = 0;
  for (auto _ : state) {
    const Run a = Spawn({MTSIMPORT, "--mov", ours, recording});
    const Run b = Spawn({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", recording, "-map", "0", "-c:v", "copy",
                         "-c:a", "pcm_s16le", theirs});
    if (a.seconds < 0 || b.seconds < 0) return state.SkipWithError("a run failed");
    state.SetIterationTime(a.seconds);
    ratios.push_back(b.seconds / a.seconds);
    oursTotal += a.seconds;
    theirsTotal += b.seconds;
    oursPeak = std::max(oursPeak, a.peakMiB);
    theirsPeak = std::max(theirsPeak, b.peakMiB);
  }
  std::sort(ratios.begin(), ratios.end());
  const double n = double(state.iterations());
  state.counters["mtsimport_s"] = oursTotal / n;
  state.counters["ffmpeg_s"] = theirsTotal / n;
  state.counters["speed_vs_ffmpeg_median"] = ratios[ratios.size() / 2];
  state.counters["mtsimport_MiB"] = oursPeak;
  state.counters["ffmpeg_MiB"] = theirsPeak;
  std::remove(ours.c_str());
  std::remove(theirs.c_str());
}
BENCHMARK(BM_ExportVsFfmpeg)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

void BM_ImportVsFfmpegRemux(benchmark::State& state) {
  const std::string recording = Prepare(state, "/usr/bin/ffmpeg", "ffmpeg is not installed");
  if (recording.empty()) return;
  const std::vector<std::string> remux = {"ffmpeg", "-nostdin", "-v", "error", "-i", recording, "-map", "0",
                                          "-c", "copy", "-f", "null", "-"};
  Spawn(remux);  // warms the page cache
  std::vector<double> ratios;
  double oursTotal = 0, theirsTotal = 0;
  for (auto _ : state) {
    const Run a = Spawn({MTSIMPORT, recording});
    const Run b = Spawn(remux);
    if (a.seconds < 0 || b.seconds < 0) return state.SkipWithError("a run failed");
    state.SetIterationTime(a.seconds);
    ratios.push_back(a.seconds / b.seconds);
    oursTotal += a.seconds;
    theirsTotal += b.seconds;
  }
  std::sort(ratios.begin(), ratios.end());
  const double n = double(state.iterations());
  state.counters["mtsimport_s"] = oursTotal / n;
  state.counters["ffmpeg_remux_s"] = theirsTotal / n;
  state.counters["time_vs_remux_median"] = ratios[ratios.size() / 2];
}
BENCHMARK(BM_ImportVsFfmpegRemux)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// The record store's system calls in one run of `argv` under strace (-1
// when strace cannot run it): calls on a /dev/shm region, futex calls,
// process_vm_writev, and fstat calls on the recording.
int64_t StoreCalls(const std::vector<std::string>& argv, const std::string& recording) {
  const std::string log = "/tmp/export_bench_" + std::to_string(getpid()) + ".strace";
  std::vector<std::string> traced = {"strace", "-f", "-y", "-qq", "-o", log,
                                     "-e", "trace=pread64,pwrite64,pwritev,fcntl,futex,fstat,newfstatat,"
                                           "process_vm_writev,openat,ftruncate,fallocate,mmap,munmap,close"};
  traced.insert(traced.end(), argv.begin(), argv.end());
  if (Spawn(traced).seconds < 0) return -1;
  std::ifstream in(log);
  int64_t calls = 0;
  for (std::string line; std::getline(in, line);) {
    const bool stat = line.find("fstat") != std::string::npos;
    calls += line.find("/dev/shm/") != std::string::npos || line.find("futex(") != std::string::npos ||
             line.find("process_vm_writev(") != std::string::npos ||
             (stat && line.find(recording) != std::string::npos);
  }
  std::remove(log.c_str());
  return calls;
}

void BM_StoreCallsPerPicture(benchmark::State& state) {
  const std::string recording = Prepare(state, "/usr/bin/strace", "strace is not installed");
  if (recording.empty()) return;
  const std::string mov = "/tmp/export_bench_" + std::to_string(getpid()) + "_calls.mov";
  // 300 pictures in each of the joined copies of the 10-second recording.
  const double pictures = 300.0 * kJoins;
  int64_t import = -1, exported = -1;
  for (auto _ : state) {
    import = StoreCalls({MTSIMPORT, recording}, recording);
    exported = StoreCalls({MTSIMPORT, "--mov", mov, recording}, recording);
    if (import < 0 || exported < 0) return state.SkipWithError("strace failed");
  }
  state.counters["import_calls_per_picture"] = double(import) / pictures;
  state.counters["export_calls_per_picture"] = double(exported) / pictures;
  std::remove(mov.c_str());
}
BENCHMARK(BM_StoreCallsPerPicture)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ExportInProcess(benchmark::State& state) {
  const std::string recording = Prepare(state);
  if (recording.empty()) return;
  const std::string mov = "/tmp/export_bench_" + std::to_string(getpid()) + ".mov";
  for (auto _ : state)
    if (!ExportInProcess(recording, mov)) return state.SkipWithError("export failed");
  state.counters["MB/s"] =
      benchmark::Counter(double(FileSize(recording)) * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
  std::remove(mov.c_str());
}
BENCHMARK(BM_ExportInProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
