#include "importer_test_util.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <unistd.h>

#include "MTS_DataHandler.h"

namespace importer_test {

void RegisterImporter() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Imports make shared-memory regions: under names of this test process
    // only (CTest sets its own prefix first).
    setenv(MTS_SHM_TEST_PREFIX_VARIABLE, ("importtest" + std::to_string(getpid()) + "-").c_str(), 0);
    CallComponentRegisterSelector(MTS_MovieImportComponentDispatch);
    CallComponentRegisterSelector(MTS_DataHComponentDispatch);
  });
}

ImportRun::~ImportRun() {
  if (importer) CloseComponent(importer);
  if (movie) DisposeMovie(movie);
}

void ImportFile(ImportRun* run, const std::string& path, int32_t inFlags) {
  RegisterImporter();
  run->result = OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &run->importer);
  if (run->result != noErr) return;
  run->movie = NewMovie(0);
  FSSpec spec{};
  FSPathMakeFSSpec(path.c_str(), &spec);
  Track used = nullptr;
  TimeValue added = 0;
  run->result = CallComponentSelector(run->importer, SInt16(2), &spec, run->movie, static_cast<Track>(nullptr),
                                      &used, TimeValue(0), &added, inFlags, &run->outFlags);
}

Track FindTrack(Movie movie, OSType mediaType) {
  for (SInt32 i = 1; i <= GetMovieTrackCount(movie); ++i) {
    Track t = GetMovieIndTrack(movie, i);
    if (GetTrackMedia(t) && GetMediaType(GetTrackMedia(t)) == mediaType) return t;
  }
  return nullptr;
}

std::vector<MediaSampleReference> SampleReferences(Media media) {
  std::vector<MediaSampleReference> out;
  const SInt64 n = GetMediaSampleReferenceCount(media);
  for (SInt64 i = 0; i < n; ++i) {
    MediaSampleReference r{};
    GetMediaSampleReferenceAt(media, i, &r);
    out.push_back(r);
  }
  return out;
}

std::vector<uint8_t> DescriptionBytes(Media media, int32_t index) {
  Handle h = NewHandle(0);
  std::vector<uint8_t> out;
  if (GetMediaSampleDescription(media, index, h) == noErr)
    out.assign(reinterpret_cast<uint8_t*>(*h), reinterpret_cast<uint8_t*>(*h) + GetHandleSize(h));
  DisposeHandle(h);
  return out;
}

std::vector<uint8_t> ExtensionAtom(const std::vector<uint8_t>& d, size_t pos, OSType type) {
  while (pos + 8 <= d.size()) {
    const uint32_t size = uint32_t(d[pos]) << 24 | uint32_t(d[pos + 1]) << 16 | uint32_t(d[pos + 2]) << 8 | d[pos + 3];
    const uint32_t t = uint32_t(d[pos + 4]) << 24 | uint32_t(d[pos + 5]) << 16 | uint32_t(d[pos + 6]) << 8 | d[pos + 7];
    if (size < 8 || pos + size > d.size()) break;
    if (t == type) return std::vector<uint8_t>(d.begin() + long(pos + 8), d.begin() + long(pos + size));
    pos += size;
  }
  return {};
}

std::vector<int64_t> TimecodeValues(MTS_MovieImportGlobalsRecord* store, Media media) {
  std::vector<int64_t> out;
  for (const MediaSampleReference& r : SampleReferences(media)) {
    for (SInt64 k = 0; k < r.count; ++k) {
      int32_t hint = -1;
      FrameOffsetEntry entry{};
      bool exact = false;
      MTS_FindFrameOffset(store->pARec, store->pRec, &hint, r.dataOffset + 4 * k, &entry, &exact, false);
      out.push_back(exact ? entry.value : INT64_MIN);
    }
  }
  return out;
}

std::string DescriptionText(Movie movie) {
  QTMetaDataRef meta = nullptr;
  if (QTCopyMovieMetaData(movie, &meta) != noErr) return "";
  const OSType key = FOUR_CHAR_CODE("desc");
  QTMetaDataItem item = kQTMetaDataItemUninitialized;
  std::string text;
  if (QTMetaDataGetNextItem(meta, FOUR_CHAR_CODE("mdta"), kQTMetaDataItemUninitialized, FOUR_CHAR_CODE("comn"),
                            reinterpret_cast<const UInt8*>(&key), sizeof key, &item) == noErr) {
    char buffer[256] = {};
    ByteCount size = 0;
    if (QTMetaDataGetItemValue(meta, item, reinterpret_cast<UInt8*>(buffer), sizeof buffer, &size) == noErr)
      text.assign(buffer, size_t(size));
  }
  QTMetaDataRelease(meta);
  return text;
}

}  // namespace importer_test
