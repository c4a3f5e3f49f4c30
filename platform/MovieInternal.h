// The records behind Movie, Track, Media and their companions, shared by the
// movie toolbox, the JSON dump and the movie file writer.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Movies.h"

struct MediaHandlerRecord {
  MediaRecord* media;
};

struct EditRecord {
  TimeValue64 trackDuration;  // movie time scale
  TimeValue64 mediaTime;      // media display time; -1 for an empty edit
  Fixed rate;
  TimeValue64 mediaDuration;  // media time scale: where the edit's media ends
};

struct MediaRecord {
  TrackRecord* track;
  OSType mediaType;
  TimeScale timeScale;
  std::vector<UInt8> dataRef;
  OSType dataRefType;
  std::vector<std::vector<UInt8>> descriptions;  // index i is description i + 1
  std::vector<MediaSampleReference> samples;
  SInt64 sampleCount = 0;
  TimeValue64 decodeDuration = 0;
  TimeValue64 displayStart = 0;
  TimeValue64 displayEnd = 0;
  MediaHandlerRecord handler;
};

struct TrackRecord {
  MovieRecord* movie;
  SInt32 id;
  Boolean enabled;
  Fixed width;
  Fixed height;
  SInt16 volume;
  std::vector<EditRecord> edits;
  std::unique_ptr<MediaRecord> media;
};

struct MetaDataItemRecord {
  QTMetaDataItem id;
  OSType storageFormat;
  OSType keyFormat;
  std::vector<UInt8> key;
  std::vector<UInt8> value;
  UInt32 dataType;
};

struct QTMetaDataOpaque {
  MovieRecord* movie;
  std::atomic<SInt32> references{1};
};

struct MovieRecord {
  TimeScale timeScale = 600;
  std::vector<std::unique_ptr<TrackRecord>> tracks;
  std::vector<MetaDataItemRecord> metadata;
  QTMetaDataItem nextItemID = 1;
  std::vector<WiredActionRecord> wiredActions;
};

struct QTMutableSampleTableOpaque {
  TimeScale timeScale;
  std::vector<std::vector<UInt8>> descriptions;  // id i is descriptions[i - 1]
  std::vector<MediaSampleReference> samples;     // descriptionIndex holds the table's id
};

struct IdleManagerOpaque {
  TimeValue lastDuration = 0;
  TimeScale lastScale = 0;
  bool asked = false;
  std::chrono::steady_clock::time_point due;
};

// Bytes of a description handle; empty when it is not a live handle.
std::vector<UInt8> handle_bytes(Handle h);
// The 1-based index of the description in the media, added when new.
SInt32 media_description_index(MediaRecord* m, const UInt8* bytes, size_t size);
SInt32 media_description_index(MediaRecord* m, const std::vector<UInt8>& bytes);
// Makes room for `more` elements past the size, growing the capacity at least
// twofold: tables that gain a sample or a group of samples per call then cost
// amortised constant time per sample, not a reallocation each call. Throws
// std::bad_alloc before anything changes when memory runs out.
template <typename T>
void reserve_more(std::vector<T>& v, size_t more) {
  const size_t wanted = v.size() + more;
  if (wanted > v.capacity()) v.reserve(std::max(wanted, 2 * v.capacity()));
}
// Converts a time between scales, rounding to nearest (halves away from zero).
TimeValue64 rescale_time(TimeValue64 value, TimeScale from, TimeScale to);

// Opens a data handler for reading on the media's data reference.
OSErr open_media_data_handler(const MediaRecord* m, ComponentInstance* dh);
// Reads the bytes of one sample reference through `dh` into `buffer`
// (resized to at least its size). The read counts only when the handler
// reports its completion with no error (ioErr when it reports none).
OSErr read_sample_reference(ComponentInstance dh, const MediaSampleReference& s, std::vector<char>* buffer);

// Extension atoms after a description record (`recordSize` bytes).
struct ExtensionAtom {
  OSType type;
  size_t offset;  // of the atom's header
  size_t size;    // header included
};
std::vector<ExtensionAtom> description_extensions(const UInt8* bytes, size_t total, size_t recordSize);
// Appends an atom to a description handle and grows its size field.
OSErr append_description_atom(Handle desc, OSType type, const void* data, size_t size);
// Removes every atom of the type from a description handle.
OSErr remove_description_atoms(Handle desc, OSType type, size_t recordSize);

inline void put_be32(UInt8* p, UInt32 v) {
  p[0] = UInt8(v >> 24);
  p[1] = UInt8(v >> 16);
  p[2] = UInt8(v >> 8);
  p[3] = UInt8(v);
}
inline UInt32 get_be32(const UInt8* p) {
  return (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | UInt32(p[3]);
}
