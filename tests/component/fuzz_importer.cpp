// The whole import of an arbitrary (mutated) stream: the importer and the
// data handler registered, the bytes written to a file, imported into a new
// movie through MovieImportFile, every video sample read back through the
// data handler, then everything closed. Any result code is fine; a crash, a
// hang, a leak or undefined behaviour is not.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "MTS_DataHandler.h"
#include "MTS_MovieImport.h"

namespace {

const std::string& InputPath() {
  static const std::string path = "/tmp/fuzz_importer_" + std::to_string(getpid()) + ".m2ts";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every import makes shared-memory regions: under names of this run only,
  // never the machine's real ones.
  const std::string prefix = "fuzz" + std::to_string(getpid()) + "-";
  setenv(MTS_SHM_TEST_PREFIX_VARIABLE, prefix.c_str(), 0);
  CallComponentRegisterSelector(MTS_MovieImportComponentDispatch);
  CallComponentRegisterSelector(MTS_DataHComponentDispatch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  ComponentInstance importer = nullptr;
  if (OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &importer) != noErr) return 0;
  Movie movie = NewMovie(0);
  FSSpec spec{};
  FSPathMakeFSSpec(InputPath().c_str(), &spec);
  Track used = nullptr;
  TimeValue added = 0;
  int32_t outFlags = 0;
  // Idle import for inputs whose first byte is odd: both drivers are covered.
  const int32_t inFlags = size > 0 && (data[0] & 1) ? kMTSInFlagIdle : 0;
  ComponentResult r = CallComponentSelector(importer, SInt16(2), &spec, movie, static_cast<Track>(nullptr), &used,
                                            TimeValue(0), &added, inFlags, &outFlags);
  for (int i = 0; r == noErr && (outFlags & kMTSOutFlagNeedIdle) && !(outFlags & kMTSOutFlagComplete) && i < 40; ++i)
    r = CallComponentSelector(importer, SInt16(23), int32_t(0), &outFlags);
  for (SInt32 t = 1; t <= GetMovieTrackCount(movie); ++t) {
    Media media = GetTrackMedia(GetMovieIndTrack(movie, t));
    if (!media || GetMediaType(media) == FOUR_CHAR_CODE("gnrc")) continue;
    Handle bytes = NewHandle(0);
    const SInt64 n = GetMediaSampleReferenceCount(media);
    for (SInt64 k = 0; k < n && k < 64; ++k) GetMediaSampleReferenceData(media, k, bytes);
    DisposeHandle(bytes);
  }
  CloseComponent(importer);
  DisposeMovie(movie);
  std::remove(InputPath().c_str());
  return 0;
}
