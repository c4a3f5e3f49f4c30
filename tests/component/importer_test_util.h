// Runs the importer component as a client of the media framework would, and
// reads back what it built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MTS_MovieImport.h"

namespace importer_test {

// Registers the importer (once per process).
void RegisterImporter();

struct ImportRun {
  ComponentInstance importer = nullptr;
  Movie movie = nullptr;
  ComponentResult result = 0;
  int32_t outFlags = 0;
  MTS_MovieImportGlobalsRecord* store() const {
    return reinterpret_cast<MTS_MovieImportGlobalsRecord*>(GetComponentInstanceStorage(importer));
  }
  ImportRun() = default;
  ImportRun(const ImportRun&) = delete;
  ImportRun& operator=(const ImportRun&) = delete;
  ~ImportRun();
};

// Opens an importer instance and imports the file into a new movie through
// MovieImportFile.
void ImportFile(ImportRun* run, const std::string& path, int32_t inFlags = 0);

Track FindTrack(Movie movie, OSType mediaType);
std::vector<MediaSampleReference> SampleReferences(Media media);
// The bytes of a media's sample description `index` (1-based).
std::vector<uint8_t> DescriptionBytes(Media media, int32_t index = 1);
// The body of the first extension atom of `type` found in a description.
std::vector<uint8_t> ExtensionAtom(const std::vector<uint8_t>& description, size_t headerSize, OSType type);
// The frame-index values of the timecode samples, in media order.
std::vector<int64_t> TimecodeValues(MTS_MovieImportGlobalsRecord* store, Media timecodeMedia);
// The description text of the movie's metadata ("" when none).
std::string DescriptionText(Movie movie);

}  // namespace importer_test
