#include "Movies.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>

#include "MacMemory.h"
#include "MovieInternal.h"

namespace {

thread_local OSErr t_moviesError = noErr;

OSErr set_error(OSErr err) {
  t_moviesError = err;
  return err;
}

template <typename T>
T fail(OSErr err, T value) {
  set_error(err);
  return value;
}

TimeValue clamp32(TimeValue64 v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return TimeValue(v);
}

// A sample description handle: at least the 16-byte common part, with its
// size field equal to the handle's size.
bool valid_description(Handle desc) {
  if (desc == nullptr) return false;
  Size n = GetHandleSize(desc);
  if (MemError() != noErr || n < Size(sizeof(SampleDescription))) return false;
  SInt32 descSize;
  std::memcpy(&descSize, *desc, 4);
  return descSize == n;
}

void append_sample(MediaRecord* m, MediaSampleReference r) {
  TimeValue64 length = r.count * r.durationPerSample;
  TimeValue64 start = m->decodeDuration + r.displayOffset;
  TimeValue64 end = start + length;
  if (m->samples.empty()) {
    m->displayStart = start;
    m->displayEnd = end;
  } else {
    m->displayStart = std::min(m->displayStart, start);
    m->displayEnd = std::max(m->displayEnd, end);
  }
  m->decodeDuration += length;
  m->sampleCount += r.count;
  m->samples.push_back(r);
}

TimeValue64 track_length(const TrackRecord* t) {
  TimeValue64 total = 0;
  for (const EditRecord& e : t->edits) total += e.trackDuration;
  return total;
}

// Media time advanced by a track-time span at the edit's rate.
TimeValue64 media_span(TimeValue64 trackSpan, const TrackRecord* t, Fixed rate) {
  TimeValue64 media = rescale_time(trackSpan, t->movie->timeScale, t->media->timeScale);
  return TimeValue64(std::llround(double(media) * double(rate) / 65536.0));
}

}  // namespace

// ---- shared helpers ----

std::vector<UInt8> handle_bytes(Handle h) {
  if (h == nullptr) return {};
  Size n = GetHandleSize(h);
  if (MemError() != noErr || n <= 0) return {};
  return std::vector<UInt8>(reinterpret_cast<UInt8*>(*h), reinterpret_cast<UInt8*>(*h) + n);
}

SInt32 media_description_index(MediaRecord* m, const UInt8* bytes, size_t size) {
  for (size_t i = 0; i < m->descriptions.size(); ++i) {
    const std::vector<UInt8>& known = m->descriptions[i];
    if (known.size() == size && (size == 0 || std::memcmp(known.data(), bytes, size) == 0)) return SInt32(i + 1);
  }
  m->descriptions.emplace_back(bytes, bytes + size);
  return SInt32(m->descriptions.size());
}

SInt32 media_description_index(MediaRecord* m, const std::vector<UInt8>& bytes) {
  return media_description_index(m, bytes.data(), bytes.size());
}

TimeValue64 rescale_time(TimeValue64 value, TimeScale from, TimeScale to) {
  if (from == to || from <= 0) return value;
  return TimeValue64(std::llround(double(value) * double(to) / double(from)));
}

// ---- movies ----

OSErr GetMoviesError() { return t_moviesError; }

Movie NewMovie(SInt32) try {
  set_error(noErr);
  return new MovieRecord;
} catch (const std::exception&) {
  return fail(memFullErr, static_cast<Movie>(nullptr));
}

void DisposeMovie(Movie m) {
  delete m;
  set_error(noErr);
}

TimeScale GetMovieTimeScale(Movie m) {
  if (m == nullptr) return fail(invalidMovie, 0);
  set_error(noErr);
  return m->timeScale;
}

void SetMovieTimeScale(Movie m, TimeScale scale) {
  if (m == nullptr) return (void)set_error(invalidMovie);
  if (scale <= 0) return (void)set_error(paramErr);
  m->timeScale = scale;
  set_error(noErr);
}

TimeValue GetMovieDuration(Movie m) {
  if (m == nullptr) return fail(invalidMovie, 0);
  TimeValue64 longest = 0;
  for (auto& t : m->tracks) longest = std::max(longest, track_length(t.get()));
  set_error(noErr);
  return clamp32(longest);
}

SInt32 GetMovieTrackCount(Movie m) {
  if (m == nullptr) return fail(invalidMovie, 0);
  set_error(noErr);
  return SInt32(m->tracks.size());
}

Track GetMovieIndTrack(Movie m, SInt32 index) {
  if (m == nullptr) return fail(invalidMovie, static_cast<Track>(nullptr));
  if (index < 1 || size_t(index) > m->tracks.size()) return fail(invalidTrack, static_cast<Track>(nullptr));
  set_error(noErr);
  return m->tracks[size_t(index - 1)].get();
}

// ---- tracks ----

Track NewMovieTrack(Movie m, Fixed width, Fixed height, SInt16 volume) try {
  if (m == nullptr) return fail(invalidMovie, static_cast<Track>(nullptr));
  auto t = std::make_unique<TrackRecord>();
  t->movie = m;
  t->id = SInt32(m->tracks.size() + 1);
  t->enabled = 1;
  t->width = width;
  t->height = height;
  t->volume = volume;
  m->tracks.push_back(std::move(t));
  set_error(noErr);
  return m->tracks.back().get();
} catch (const std::exception&) {
  return fail(memFullErr, static_cast<Track>(nullptr));
}

void SetTrackEnabled(Track t, Boolean enabled) {
  if (t == nullptr) return (void)set_error(invalidTrack);
  t->enabled = enabled ? 1 : 0;
  set_error(noErr);
}

Boolean GetTrackEnabled(Track t) {
  if (t == nullptr) return fail(invalidTrack, Boolean(0));
  set_error(noErr);
  return t->enabled;
}

SInt32 GetTrackID(Track t) {
  if (t == nullptr) return fail(invalidTrack, 0);
  set_error(noErr);
  return t->id;
}

Movie GetTrackMovie(Track t) {
  if (t == nullptr) return fail(invalidTrack, static_cast<Movie>(nullptr));
  set_error(noErr);
  return t->movie;
}

Media GetTrackMedia(Track t) {
  if (t == nullptr) return fail(invalidTrack, static_cast<Media>(nullptr));
  set_error(noErr);
  return t->media.get();
}

void GetTrackDimensions(Track t, Fixed* width, Fixed* height) {
  if (t == nullptr) return (void)set_error(invalidTrack);
  if (width) *width = t->width;
  if (height) *height = t->height;
  set_error(noErr);
}

SInt16 GetTrackVolume(Track t) {
  if (t == nullptr) return fail(invalidTrack, SInt16(0));
  set_error(noErr);
  return t->volume;
}

TimeValue GetTrackDuration(Track t) {
  if (t == nullptr) return fail(invalidTrack, 0);
  set_error(noErr);
  return clamp32(track_length(t));
}

OSErr InsertMediaIntoTrack(Track t, TimeValue trackStart, TimeValue mediaTime, TimeValue mediaDuration,
                           Fixed mediaRate) {
  if (t == nullptr) return set_error(invalidTrack);
  MediaRecord* m = t->media.get();
  if (m == nullptr) return set_error(invalidMedia);
  if (mediaRate <= 0) return set_error(paramErr);
  if (mediaDuration <= 0) return set_error(invalidDuration);
  if (mediaTime < 0 || trackStart < -1) return set_error(invalidTime);
  // The range must start inside the media; it may run past the media's end
  // (a media that lost some samples still takes its full range).
  if (TimeValue64(mediaTime) > std::max(m->displayEnd, m->decodeDuration)) return set_error(invalidTime);
  TimeValue64 movieSpan = rescale_time(mediaDuration, m->timeScale, t->movie->timeScale);
  TimeValue64 trackDuration = TimeValue64(std::llround(double(movieSpan) * 65536.0 / double(mediaRate)));
  if (trackDuration <= 0) return set_error(noErr);  // shorter than one movie time unit
  EditRecord edit = {trackDuration, mediaTime, mediaRate, mediaDuration};
  TimeValue64 length = track_length(t);
  if (trackStart == -1 || trackStart == length) {
    // Media that continues the track's last edit (at its rate, from where its
    // media ends) lengthens that edit: a track built by many insertions keeps
    // one edit per continuous stretch of media, as a reader that treats every
    // edit as a cut expects.
    EditRecord* last = t->edits.empty() ? nullptr : &t->edits.back();
    if (last && last->mediaTime >= 0 && last->rate == mediaRate &&
        last->mediaTime + last->mediaDuration == mediaTime) {
      last->trackDuration += trackDuration;
      last->mediaDuration += mediaDuration;
    } else {
      t->edits.push_back(edit);
    }
  } else if (trackStart > length) {
    t->edits.push_back({trackStart - length, -1, fixed1, 0});
    t->edits.push_back(edit);
  } else {
    // Split the edit that holds trackStart and put the new one between.
    TimeValue64 at = 0;
    for (size_t i = 0; i < t->edits.size(); ++i) {
      EditRecord& e = t->edits[i];
      if (trackStart == at) {
        t->edits.insert(t->edits.begin() + long(i), edit);
        break;
      }
      if (trackStart < at + e.trackDuration) {
        TimeValue64 head = trackStart - at;
        EditRecord tail = e;
        tail.trackDuration = e.trackDuration - head;
        if (e.mediaTime >= 0) {
          const TimeValue64 headMedia = std::min(media_span(head, t, e.rate), e.mediaDuration);
          tail.mediaTime = e.mediaTime + headMedia;
          tail.mediaDuration = e.mediaDuration - headMedia;
          e.mediaDuration = headMedia;
        }
        e.trackDuration = head;
        t->edits.insert(t->edits.begin() + long(i) + 1, tail);
        t->edits.insert(t->edits.begin() + long(i) + 1, edit);
        break;
      }
      at += e.trackDuration;
    }
  }
  return set_error(noErr);
}

OSErr InsertEmptyTrackSegment(Track t, TimeValue trackStart, TimeValue duration) try {
  if (t == nullptr) return set_error(invalidTrack);
  if (duration <= 0) return set_error(invalidDuration);
  if (trackStart != -1 && TimeValue64(trackStart) != track_length(t)) return set_error(paramErr);
  if (!t->edits.empty() && t->edits.back().mediaTime < 0)
    t->edits.back().trackDuration += duration;
  else
    t->edits.push_back({duration, -1, fixed1, 0});
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

SInt32 GetTrackEditCount(Track t) {
  if (t == nullptr) return fail(invalidTrack, 0);
  set_error(noErr);
  return SInt32(t->edits.size());
}

OSErr GetTrackEdit(Track t, SInt32 index, TimeValue64* trackStart, TimeValue64* trackDuration,
                   TimeValue64* mediaTime, Fixed* mediaRate) {
  if (t == nullptr) return set_error(invalidTrack);
  if (index < 1 || size_t(index) > t->edits.size()) return set_error(paramErr);
  TimeValue64 at = 0;
  for (SInt32 i = 1; i < index; ++i) at += t->edits[size_t(i - 1)].trackDuration;
  const EditRecord& e = t->edits[size_t(index - 1)];
  if (trackStart) *trackStart = at;
  if (trackDuration) *trackDuration = e.trackDuration;
  if (mediaTime) *mediaTime = e.mediaTime;
  if (mediaRate) *mediaRate = e.rate;
  return set_error(noErr);
}

TimeValue64 TrackTimeToMediaDisplayTime(TimeValue64 value, Track t) {
  if (t == nullptr) return fail(invalidTrack, TimeValue64(-1));
  set_error(noErr);
  if (t->media == nullptr || value < 0) return -1;
  TimeValue64 at = 0;
  for (const EditRecord& e : t->edits) {
    if (value < at + e.trackDuration) {
      if (e.mediaTime < 0) return -1;
      return e.mediaTime + media_span(value - at, t, e.rate);
    }
    at += e.trackDuration;
  }
  return -1;
}

// ---- media ----

Media NewTrackMedia(Track t, OSType mediaType, TimeScale timeScale, Handle dataRef, OSType dataRefType) try {
  if (t == nullptr) return fail(invalidTrack, static_cast<Media>(nullptr));
  if (t->media != nullptr) return fail(invalidMedia, static_cast<Media>(nullptr));
  if (timeScale <= 0) return fail(paramErr, static_cast<Media>(nullptr));
  auto m = std::make_unique<MediaRecord>();
  m->track = t;
  m->mediaType = mediaType;
  m->timeScale = timeScale;
  m->dataRef = handle_bytes(dataRef);
  m->dataRefType = dataRefType;
  m->handler.media = m.get();
  t->media = std::move(m);
  set_error(noErr);
  return t->media.get();
} catch (const std::exception&) {
  return fail(memFullErr, static_cast<Media>(nullptr));
}

OSErr DisposeTrackMedia(Media m) {
  if (m == nullptr) return set_error(invalidMedia);
  TrackRecord* t = m->track;
  for (const EditRecord& e : t->edits)
    if (e.mediaTime >= 0) return set_error(paramErr);
  t->media.reset();
  return set_error(noErr);
}

Track GetMediaTrack(Media m) {
  if (m == nullptr) return fail(invalidMedia, static_cast<Track>(nullptr));
  set_error(noErr);
  return m->track;
}

OSType GetMediaType(Media m) {
  if (m == nullptr) return fail(invalidMedia, OSType(0));
  set_error(noErr);
  return m->mediaType;
}

TimeScale GetMediaTimeScale(Media m) {
  if (m == nullptr) return fail(invalidMedia, 0);
  set_error(noErr);
  return m->timeScale;
}

TimeValue GetMediaDuration(Media m) { return clamp32(GetMediaDecodeDuration(m)); }

TimeValue64 GetMediaDecodeDuration(Media m) {
  if (m == nullptr) return fail(invalidMedia, TimeValue64(0));
  set_error(noErr);
  return m->decodeDuration;
}

TimeValue64 GetMediaDisplayStartTime(Media m) {
  if (m == nullptr) return fail(invalidMedia, TimeValue64(0));
  set_error(noErr);
  return m->displayStart;
}

TimeValue64 GetMediaDisplayEndTime(Media m) {
  if (m == nullptr) return fail(invalidMedia, TimeValue64(0));
  set_error(noErr);
  return m->displayEnd;
}

TimeValue64 GetMediaDisplayDuration(Media m) {
  if (m == nullptr) return fail(invalidMedia, TimeValue64(0));
  set_error(noErr);
  return m->displayEnd - m->displayStart;
}

SInt64 GetMediaSampleCount(Media m) {
  if (m == nullptr) return fail(invalidMedia, SInt64(0));
  set_error(noErr);
  return m->sampleCount;
}

SInt32 GetMediaSampleDescriptionCount(Media m) {
  if (m == nullptr) return fail(invalidMedia, 0);
  set_error(noErr);
  return SInt32(m->descriptions.size());
}

OSErr GetMediaSampleDescription(Media m, SInt32 index, SampleDescriptionHandle descH) {
  if (m == nullptr) return set_error(invalidMedia);
  if (descH == nullptr) return set_error(nilHandleErr);
  if (index < 1 || size_t(index) > m->descriptions.size()) return set_error(badDataRefIndex);
  const std::vector<UInt8>& bytes = m->descriptions[size_t(index - 1)];
  SetHandleSize(descH, Size(bytes.size()));
  if (MemError() != noErr) return set_error(MemError());
  std::memcpy(*descH, bytes.data(), bytes.size());
  return set_error(noErr);
}

OSErr GetMediaDataRef(Media m, SInt16 index, Handle* dataRef, OSType* dataRefType, SInt32* attributes) {
  if (m == nullptr) return set_error(invalidMedia);
  if (index != 1) return set_error(badDataRefIndex);
  if (dataRef != nullptr) {
    OSErr err = PtrToHand(m->dataRef.data(), dataRef, Size(m->dataRef.size()));
    if (err != noErr) return set_error(err);
  }
  if (dataRefType) *dataRefType = m->dataRefType;
  if (attributes) *attributes = 0;
  return set_error(noErr);
}

MediaHandler GetMediaHandler(Media m) {
  if (m == nullptr) return fail(invalidMedia, static_cast<MediaHandler>(nullptr));
  set_error(noErr);
  return &m->handler;
}

SInt64 GetMediaSampleReferenceCount(Media m) {
  if (m == nullptr) return fail(invalidMedia, SInt64(0));
  set_error(noErr);
  return SInt64(m->samples.size());
}

OSErr GetMediaSampleReferenceAt(Media m, SInt64 index, MediaSampleReference* out) {
  if (m == nullptr) return set_error(invalidMedia);
  if (out == nullptr || index < 0 || size_t(index) >= m->samples.size()) return set_error(paramErr);
  *out = m->samples[size_t(index)];
  return set_error(noErr);
}

OSErr AddMediaSampleReferences64(Media m, SampleDescriptionHandle desc, SInt32 numberOfRefs,
                                 SampleReference64Ptr refs, TimeValue* sampleTime) try {
  if (m == nullptr) return set_error(invalidMedia);
  if (!valid_description(desc) || numberOfRefs <= 0 || refs == nullptr) return set_error(paramErr);
  for (SInt32 i = 0; i < numberOfRefs; ++i) {
    const SampleReference64Record& r = refs[i];
    if (r.dataOffset < 0 || r.numberOfSamples == 0 || r.numberOfSamples > UInt32(INT32_MAX)) return set_error(paramErr);
    if (r.durationPerSample <= 0) return set_error(invalidDuration);
  }
  reserve_more(m->samples, size_t(numberOfRefs));
  if (sampleTime) *sampleTime = clamp32(m->decodeDuration);
  // The description is compared in place: a sample per call must not copy it.
  SInt32 index = media_description_index(m, reinterpret_cast<const UInt8*>(*desc), size_t(GetHandleSize(desc)));
  for (SInt32 i = 0; i < numberOfRefs; ++i) {
    const SampleReference64Record& r = refs[i];
    append_sample(m, {r.dataOffset, SInt64(r.dataSize), SInt64(r.numberOfSamples), r.durationPerSample, 0,
                      MediaSampleFlags(UInt16(r.sampleFlags)), index});
  }
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

OSErr AddMediaSampleReference(Media m, SInt64 dataOffset, UInt32 size, TimeValue durationPerSample,
                              SampleDescriptionHandle desc, SInt32 numberOfSamples, SInt16 sampleFlags,
                              TimeValue* sampleTime) {
  if (numberOfSamples <= 0) return set_error(paramErr);
  SampleReference64Record r = {dataOffset, size, durationPerSample, UInt32(numberOfSamples), sampleFlags};
  return AddMediaSampleReferences64(m, desc, 1, &r, sampleTime);
}

// ---- mutable sample tables ----

OSStatus QTSampleTableCreateMutable(const void*, TimeScale timescale, void*, QTMutableSampleTableRef* newSampleTable) try {
  if (newSampleTable == nullptr || timescale <= 0) return set_error(paramErr);
  *newSampleTable = new QTMutableSampleTableOpaque{timescale, {}, {}};
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

void QTSampleTableRelease(QTSampleTableRef table) { delete table; }

TimeScale QTSampleTableGetTimeScale(QTSampleTableRef table) { return table ? table->timeScale : 0; }

SInt64 QTSampleTableGetNumberOfSamples(QTSampleTableRef table) {
  return table ? SInt64(table->samples.size()) : 0;
}

OSStatus QTSampleTableAddSampleDescription(QTMutableSampleTableRef table, SampleDescriptionHandle desc, SInt32,
                                           QTSampleDescriptionID* outID) try {
  if (table == nullptr) return set_error(invalidSampleTable);
  if (!valid_description(desc)) return set_error(paramErr);
  table->descriptions.push_back(handle_bytes(desc));
  if (outID) *outID = QTSampleDescriptionID(table->descriptions.size());
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

OSStatus QTSampleTableAddSampleReferences(QTMutableSampleTableRef table, SInt64 dataOffset, ByteCount dataSize,
                                          TimeValue64 decodeDuration, TimeValue64 displayOffset,
                                          SInt64 numberOfSamples, MediaSampleFlags sampleFlags,
                                          QTSampleDescriptionID descriptionID, SInt64* newSampleNum) try {
  if (table == nullptr) return set_error(invalidSampleTable);
  if (descriptionID < 1 || size_t(descriptionID) > table->descriptions.size())
    return set_error(invalidDescriptionID);
  if (dataOffset < 0 || dataSize < 0 || numberOfSamples <= 0) return set_error(paramErr);
  if (decodeDuration <= 0) return set_error(invalidDuration);
  reserve_more(table->samples, size_t(numberOfSamples));  // fails before anything is added
  if (newSampleNum) *newSampleNum = SInt64(table->samples.size()) + 1;
  for (SInt64 i = 0; i < numberOfSamples; ++i)
    table->samples.push_back(
        {dataOffset + i * dataSize, dataSize, 1, decodeDuration, displayOffset, sampleFlags, descriptionID});
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

OSErr AddSampleTableToMedia(Media m, QTSampleTableRef table, SInt64 startSampleNum, SInt64 numberOfSamples,
                            TimeValue64* sampleStartTime) try {
  if (m == nullptr) return set_error(invalidMedia);
  if (table == nullptr) return set_error(invalidSampleTable);
  SInt64 count = SInt64(table->samples.size());
  if (startSampleNum < 1 || numberOfSamples < 1 || startSampleNum > count || numberOfSamples > count - startSampleNum + 1)
    return set_error(invalidSampleNum);
  reserve_more(m->samples, size_t(numberOfSamples));
  if (sampleStartTime) *sampleStartTime = m->decodeDuration;
  std::vector<SInt32> indexOfID(table->descriptions.size() + 1, 0);
  for (SInt64 n = startSampleNum; n < startSampleNum + numberOfSamples; ++n) {
    MediaSampleReference r = table->samples[size_t(n - 1)];
    SInt32& index = indexOfID[size_t(r.descriptionIndex)];
    if (index == 0) index = media_description_index(m, table->descriptions[size_t(r.descriptionIndex - 1)]);
    r.descriptionIndex = index;
    r.durationPerSample = rescale_time(r.durationPerSample, table->timeScale, m->timeScale);
    r.displayOffset = rescale_time(r.displayOffset, table->timeScale, m->timeScale);
    append_sample(m, r);
  }
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

// ---- metadata ----

OSStatus QTCopyMovieMetaData(Movie m, QTMetaDataRef* metaData) try {
  if (metaData == nullptr) return set_error(paramErr);
  *metaData = nullptr;
  if (m == nullptr) return set_error(invalidMovie);
  *metaData = new QTMetaDataOpaque;
  (*metaData)->movie = m;
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

void QTMetaDataRetain(QTMetaDataRef metaData) {
  if (metaData) metaData->references.fetch_add(1);
}

void QTMetaDataRelease(QTMetaDataRef metaData) {
  if (metaData && metaData->references.fetch_sub(1) == 1) delete metaData;
}

namespace {

bool known_storage(OSType f) {
  return f == kQTMetaDataStorageFormatQuickTime || f == kQTMetaDataStorageFormatUserData;
}

bool known_key_format(OSType f) {
  return f == kQTMetaDataKeyFormatQuickTime || f == kQTMetaDataKeyFormatCommon || f == kQTMetaDataKeyFormatUserData;
}

}  // namespace

OSStatus QTMetaDataAddItem(QTMetaDataRef metaData, OSType storageFormat, OSType keyFormat, const UInt8* key,
                           ByteCount keySize, const UInt8* value, ByteCount valueSize, UInt32 dataType,
                           QTMetaDataItem* outItem) try {
  if (metaData == nullptr || metaData->movie == nullptr) return set_error(paramErr);
  if (!known_storage(storageFormat) || key == nullptr || keySize <= 0 || valueSize < 0 ||
      (value == nullptr && valueSize > 0))
    return set_error(paramErr);
  if (!known_key_format(keyFormat) || (keyFormat == kQTMetaDataKeyFormatCommon && keySize != 4))
    return set_error(kQTMetaDataInvalidKeyFormatErr);
  MovieRecord* movie = metaData->movie;
  MetaDataItemRecord item;
  item.id = movie->nextItemID++;
  item.storageFormat = storageFormat;
  item.keyFormat = keyFormat;
  item.key.assign(key, key + keySize);
  item.value.assign(value, value + valueSize);
  item.dataType = dataType;
  movie->metadata.push_back(std::move(item));
  if (outItem) *outItem = movie->metadata.back().id;
  return set_error(noErr);
} catch (const std::exception&) {
  return set_error(memFullErr);
}

OSStatus QTMetaDataGetNextItem(QTMetaDataRef metaData, OSType storageFormat, QTMetaDataItem item, OSType keyFormat,
                               const UInt8* key, ByteCount keySize, QTMetaDataItem* nextItem) {
  if (metaData == nullptr || metaData->movie == nullptr || nextItem == nullptr) return set_error(paramErr);
  for (const MetaDataItemRecord& r : metaData->movie->metadata) {
    if (r.id <= item) continue;
    if (storageFormat != 0 && r.storageFormat != storageFormat) continue;
    if (keyFormat != 0 && r.keyFormat != keyFormat) continue;
    if (key != nullptr &&
        (size_t(keySize) != r.key.size() || std::memcmp(key, r.key.data(), r.key.size()) != 0))
      continue;
    *nextItem = r.id;
    return set_error(noErr);
  }
  return set_error(itemNotFoundErr);
}

OSStatus QTMetaDataGetItemValue(QTMetaDataRef metaData, QTMetaDataItem item, UInt8* value, ByteCount valueSize,
                                ByteCount* actualSize) {
  if (metaData == nullptr || metaData->movie == nullptr) return set_error(paramErr);
  for (const MetaDataItemRecord& r : metaData->movie->metadata) {
    if (r.id != item) continue;
    if (actualSize) *actualSize = ByteCount(r.value.size());
    if (value != nullptr && valueSize > 0)
      std::memcpy(value, r.value.data(), std::min(size_t(valueSize), r.value.size()));
    return set_error(noErr);
  }
  return set_error(itemNotFoundErr);
}

// ---- idle manager ----

IdleManager QTIdleManagerOpen() { return new (std::nothrow) IdleManagerOpaque; }

OSErr QTIdleManagerClose(IdleManager im) {
  if (im == nullptr) return paramErr;
  delete im;
  return noErr;
}

OSErr QTIdleManagerSetNextIdleTimeDelta(IdleManager im, TimeValue duration, TimeScale scale) {
  if (im == nullptr || scale <= 0 || duration < 0) return paramErr;
  im->lastDuration = duration;
  im->lastScale = scale;
  im->asked = true;
  im->due = std::chrono::steady_clock::now() +
            std::chrono::microseconds(SInt64(double(duration) * 1e6 / double(scale)));
  return noErr;
}

OSErr QTIdleManagerNeedsAnIdle(IdleManager im, Boolean* needsOne) {
  if (im == nullptr || needsOne == nullptr) return paramErr;
  *needsOne = !im->asked || std::chrono::steady_clock::now() >= im->due;
  return noErr;
}

OSErr QTIdleManagerGetNextIdleTimeDelta(IdleManager im, TimeValue* duration, TimeScale* scale) {
  if (im == nullptr) return paramErr;
  if (duration) *duration = im->lastDuration;
  if (scale) *scale = im->lastScale;
  return noErr;
}
