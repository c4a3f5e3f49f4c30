// Import speed: the 10-second 1080i recording imported through the importer
// component into a new movie (pre-scan, every PES, AC-3 frames sized by
// decoding, shared-memory frame index), in MB/s of the file, beside ffmpeg
// remuxing the same file to the null muxer; and the time to read every
// sample of the imported movie back through the data handler (H.264 access
// units with their start codes turned into lengths, AC-3 decoded to PCM).
// The same recording looped to 1 and 10 minutes (made in /tmp) shows whether
// import time stays linear in the file size, beside ffmpeg on the longest;
// cut inside its last picture, what the check of a cut end costs.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "MTS_DataHandler.h"
#include "MTS_MovieImport.h"

namespace {

std::string StreamPath() {
  const char* env = std::getenv("AVCHD_TESTDATA");
  const std::string root = env && *env ? env : std::string(AVCHD_REPO_ROOT) + "/../shared/testdata";
  return root + "/avchd/avchd_1080i_10s_ac3_20_avchd.m2ts";
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// One import: the importer instance and its movie.
struct Import {
  ComponentInstance importer = nullptr;
  Movie movie = nullptr;
  ComponentResult result = -1;
  explicit Import(const std::string& path) {
    static const bool registered = [] {
      CallComponentRegisterSelector(MTS_MovieImportComponentDispatch);
      CallComponentRegisterSelector(MTS_DataHComponentDispatch);
      return true;
    }();
    (void)registered;
    if (OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &importer) != noErr) return;
    movie = NewMovie(0);
    FSSpec spec{};
    FSPathMakeFSSpec(path.c_str(), &spec);
    Track used = nullptr;
    TimeValue added = 0;
    int32_t outFlags = 0;
    result = CallComponentSelector(importer, SInt16(2), &spec, movie, static_cast<Track>(nullptr), &used,
                                   TimeValue(0), &added, int32_t(0), &outFlags);
  }
  ~Import() {
    if (importer) CloseComponent(importer);
    if (movie) DisposeMovie(movie);
  }
};

void ReportRate(benchmark::State& state, double bytesPerIteration) {
  state.counters["MB/s"] =
      benchmark::Counter(bytesPerIteration * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void BM_ImportRecording(benchmark::State& state) {
  const std::string path = StreamPath();
  const int64_t size = FileSize(path);
  if (size <= 0) return state.SkipWithError("test material missing: avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  int64_t samples = 0;
  for (auto _ : state) {
    Import run(path);
    if (run.result != noErr) return state.SkipWithError("import failed");
    samples = 0;
    for (SInt32 t = 1; t <= GetMovieTrackCount(run.movie); ++t)
      samples += GetMediaSampleReferenceCount(GetTrackMedia(GetMovieIndTrack(run.movie, t)));
  }
  ReportRate(state, double(size));
  state.counters["references"] = double(samples);
}
BENCHMARK(BM_ImportRecording)->Unit(benchmark::kMillisecond)->UseRealTime();

// The recording cut at a packet's end in the middle of its last picture
// (made once in /tmp): the import decodes the stretch from the intra picture
// before it to tell whether the picture is whole. Empty when it cannot be
// made.
std::string CutPath() {
  const std::string source = StreamPath();
  const std::string path = "/tmp/importer_bench_cut.m2ts";
  if (FileSize(path) > 0) return path;
  FILE* in = std::fopen(source.c_str(), "rb");
  if (!in) return {};
  std::string bytes;
  char chunk[1 << 16];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) bytes.append(chunk, n);
  std::fclose(in);
  // The last video PES's packets.
  constexpr size_t kPacket = 192;
  size_t lastStart = 0, lastCount = 0;
  for (size_t at = 0; at + kPacket <= bytes.size(); at += kPacket) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at + 4);
    if (((uint32_t(p[1] & 0x1F) << 8) | p[2]) != 0x1011) continue;
    if (p[1] & 0x40) {
      lastStart = at;
      lastCount = 0;
    }
    ++lastCount;
  }
  if (lastCount < 2) return {};
  const std::string made = path + ".part";
  FILE* out = std::fopen(made.c_str(), "wb");
  if (!out) return {};
  const size_t keep = lastStart + lastCount / 2 * kPacket;
  const bool written = std::fwrite(bytes.data(), 1, keep, out) == keep;
  if (std::fclose(out) != 0 || !written || std::rename(made.c_str(), path.c_str()) != 0) return {};
  return path;
}

// The import of the cut recording, beside BM_ImportRecording: what the check
// of its end costs.
void BM_ImportCutRecording(benchmark::State& state) {
  const std::string path = FileSize(StreamPath()) > 0 ? CutPath() : std::string();
  const int64_t size = path.empty() ? -1 : FileSize(path);
  if (size <= 0) return state.SkipWithError("cut recording could not be made (the material missing)");
  for (auto _ : state) {
    Import run(path);
    if (run.result != noErr) return state.SkipWithError("import failed");
  }
  ReportRate(state, double(size));
}
BENCHMARK(BM_ImportCutRecording)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadEverySample(benchmark::State& state) {
  const std::string path = StreamPath();
  if (FileSize(path) <= 0) return state.SkipWithError("test material missing");
  Import run(path);
  if (run.result != noErr) return state.SkipWithError("import failed");
  Handle bytes = NewHandle(0);
  double served = 0;
  for (auto _ : state) {
    served = 0;
    for (SInt32 t = 1; t <= GetMovieTrackCount(run.movie); ++t) {
      Media media = GetTrackMedia(GetMovieIndTrack(run.movie, t));
      const SInt64 n = GetMediaSampleReferenceCount(media);
      for (SInt64 k = 0; k < n; ++k) {
        if (GetMediaSampleReferenceData(media, k, bytes) != noErr) return state.SkipWithError("read failed");
        served += double(GetHandleSize(bytes));
      }
    }
  }
  DisposeHandle(bytes);
  ReportRate(state, served);
}
BENCHMARK(BM_ReadEverySample)->Unit(benchmark::kMillisecond)->UseRealTime();

// The 10-second recording played `loops` times in a row (one minute: 6, ten
// minutes: 60), made once with ffmpeg in /tmp (too large for the repository);
// the 10-second file itself for 1. Empty when it cannot be made.
std::string LoopedPath(int loops) {
  const std::string source = StreamPath();
  if (loops <= 1) return source;
  const std::string path = "/tmp/importer_bench_" + std::to_string(loops) + "x.m2ts";
  if (FileSize(path) > 0) return path;
  const std::string made = path + ".part";
  const std::string command = "ffmpeg -nostdin -v error -y -stream_loop " + std::to_string(loops - 1) + " -i '" +
                              source +
                              "' -map 0 -c copy -mpegts_m2ts_mode 1 -streamid 0:0x1011 -streamid 1:0x1100 "
                              "-mpegts_pmt_start_pid 0x100 -pes_payload_size 0 -f mpegts '" +
                              made + "' >/dev/null 2>&1";
  if (FileSize(source) <= 0 || std::system(command.c_str()) != 0 || std::rename(made.c_str(), path.c_str()) != 0)
    return {};
  return path;
}

// Import time against length: the same recording 1, 6 and 60 times over
// (10 s, 1 min, 10 min); MB/s that stays level means time linear in size.
void BM_ImportLooped(benchmark::State& state) {
  const std::string path = LoopedPath(int(state.range(0)));
  const int64_t size = path.empty() ? -1 : FileSize(path);
  if (size <= 0) return state.SkipWithError("looped recording could not be made (ffmpeg or the material missing)");
  for (auto _ : state) {
    Import run(path);
    if (run.result != noErr) return state.SkipWithError("import failed");
  }
  ReportRate(state, double(size));
}
BENCHMARK(BM_ImportLooped)->Arg(1)->Arg(6)->Arg(60)->Unit(benchmark::kMillisecond)->UseRealTime();

// ffmpeg reading a file and copying both streams to the null muxer, timed
// as a whole (process start included).
void FfmpegStreamCopy(benchmark::State& state, const std::string& path) {
  const int64_t size = FileSize(path);
  if (FileSize("/usr/bin/ffmpeg") <= 0 || size <= 0) return state.SkipWithError("ffmpeg or the material missing");
  const std::string command = "ffmpeg -nostdin -v error -i '" + path + "' -c copy -f null - >/dev/null 2>&1";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) return state.SkipWithError("ffmpeg failed");
  ReportRate(state, double(size));
}
void BM_FfmpegStreamCopy(benchmark::State& state) { FfmpegStreamCopy(state, StreamPath()); }
BENCHMARK(BM_FfmpegStreamCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_FfmpegStreamCopyLooped(benchmark::State& state) { FfmpegStreamCopy(state, LoopedPath(int(state.range(0)))); }
BENCHMARK(BM_FfmpegStreamCopyLooped)->Arg(60)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
