// Import speed: the 10-second 1080i recording imported through the importer
// component into a new movie (pre-scan, every PES, AC-3 frames sized by
// decoding, shared-memory frame index), in MB/s of the file, beside ffmpeg
// remuxing the same file to the null muxer; and the time to read every
// sample of the imported movie back through the data handler (H.264 access
// units with their start codes turned into lengths, AC-3 decoded to PCM).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

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

// ffmpeg reading the same file and copying both streams to the null muxer,
// timed as a whole (process start included).
void BM_FfmpegStreamCopy(benchmark::State& state) {
  const std::string path = StreamPath();
  const int64_t size = FileSize(path);
  if (FileSize("/usr/bin/ffmpeg") <= 0 || size <= 0) return state.SkipWithError("ffmpeg or the material missing");
  const std::string command = "ffmpeg -nostdin -v error -i '" + path + "' -c copy -f null - >/dev/null 2>&1";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) return state.SkipWithError("ffmpeg failed");
  ReportRate(state, double(size));
}
BENCHMARK(BM_FfmpegStreamCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
