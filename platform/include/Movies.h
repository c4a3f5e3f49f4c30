// Movie toolbox: movies, tracks, media and their time scales; sample
// references (directly or through mutable sample tables); edits; media
// display times; movie metadata; atom containers and wired actions; the
// idle manager. Every call sets GetMoviesError() of the calling thread.
//
// A media holds no sample bytes: each sample is a reference {data offset,
// size} into the byte space of the media's data reference, read back through
// the data handler of that reference's type (see DataHandler.h).
//
// Sample descriptions are handles: the description record with its fields in
// host byte order, followed by extension atoms {big-endian size, big-endian
// type, bytes}; the record's size field counts the extensions.
#pragma once

#include "Components.h"
#include "MacTypes.h"

struct MovieRecord;
struct TrackRecord;
struct MediaRecord;
struct MediaHandlerRecord;
struct QTMutableSampleTableOpaque;
struct QTMetaDataOpaque;
struct IdleManagerOpaque;

typedef MovieRecord* Movie;
typedef TrackRecord* Track;
typedef MediaRecord* Media;
typedef MediaHandlerRecord* MediaHandler;
typedef QTMutableSampleTableOpaque* QTMutableSampleTableRef;
typedef QTMutableSampleTableOpaque* QTSampleTableRef;
typedef QTMetaDataOpaque* QTMetaDataRef;
typedef IdleManagerOpaque* IdleManager;
typedef Handle SampleDescriptionHandle;
typedef SInt32 QTSampleDescriptionID;
typedef UInt32 MediaSampleFlags;
typedef SInt64 QTMetaDataItem;

// Media types.
constexpr OSType VideoMediaType = FOUR_CHAR_CODE("vide");
constexpr OSType SoundMediaType = FOUR_CHAR_CODE("soun");
constexpr OSType TimeCodeMediaType = FOUR_CHAR_CODE("tmcd");
constexpr OSType GenericMediaType = FOUR_CHAR_CODE("gnrc");

// Sample flags.
enum : MediaSampleFlags {
  mediaSampleNotSync = 1u << 0,
  mediaSampleShadowSync = 1u << 1,
  mediaSamplePartialSync = 1u << 16,
  mediaSampleDroppable = 1u << 27,
};

// Movie errors of this toolbox, beyond MacTypes.h.
enum : OSErr {
  invalidSampleTable = -2300,   // NULL or released sample table
  invalidSampleNum = -2301,     // a sample number outside the table
  invalidDescriptionID = -2302, // a description id the table does not hold
};

// Common part of every sample description (16 bytes).
#pragma pack(push, 2)
struct SampleDescription {
  SInt32 descSize;
  OSType dataFormat;
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
};
#pragma pack(pop)
static_assert(sizeof(SampleDescription) == 16, "sample description header is 16 bytes");

// The error of the last movie toolbox call on this thread.
OSErr GetMoviesError();

// ---- movies ----------------------------------------------------------------

Movie NewMovie(SInt32 flags);  // time scale 600, no tracks
void DisposeMovie(Movie m);    // with every track, media and metadata
TimeScale GetMovieTimeScale(Movie m);
void SetMovieTimeScale(Movie m, TimeScale scale);
// Longest track, in the movie's time scale.
TimeValue GetMovieDuration(Movie m);
SInt32 GetMovieTrackCount(Movie m);
Track GetMovieIndTrack(Movie m, SInt32 index);  // 1-based, in creation order

// ---- tracks ----------------------------------------------------------------

// A new, empty, enabled track. Width and height are 16.16; volume 8.8
// (0x100 full).
Track NewMovieTrack(Movie m, Fixed width, Fixed height, SInt16 volume);
void SetTrackEnabled(Track t, Boolean enabled);
Boolean GetTrackEnabled(Track t);
SInt32 GetTrackID(Track t);  // 1-based
Movie GetTrackMovie(Track t);
Media GetTrackMedia(Track t);
void GetTrackDimensions(Track t, Fixed* width, Fixed* height);
SInt16 GetTrackVolume(Track t);
// Sum of the track's edits, in the movie's time scale.
TimeValue GetTrackDuration(Track t);

// Inserts media time [mediaTime, mediaTime + mediaDuration) (media display
// time, media time scale) at track time `trackStart` (movie time scale; -1
// appends at the end of the track) played at `mediaRate` (16.16, above 0).
// Later edits move back; a start beyond the end leaves an empty edit before.
// Appended media that continues the track's last edit (the same rate, media
// time following on from where that edit's media ends) lengthens that edit.
// invalidTime when `mediaTime` is negative or past the media's end (the range
// itself may run past the end); invalidDuration for a duration of 0 or less.
OSErr InsertMediaIntoTrack(Track t, TimeValue trackStart, TimeValue mediaTime, TimeValue mediaDuration,
                           Fixed mediaRate);
// Appends `duration` of empty time (movie time scale) to the end of the
// track (`trackStart` -1 or the track's length; paramErr elsewhere): an
// empty edit, joined to an empty edit that ends the track.
OSErr InsertEmptyTrackSegment(Track t, TimeValue trackStart, TimeValue duration);
// Number of edits and each edit (1-based) in movie time; mediaTime -1 marks
// an empty edit.
SInt32 GetTrackEditCount(Track t);
OSErr GetTrackEdit(Track t, SInt32 index, TimeValue64* trackStart, TimeValue64* trackDuration,
                   TimeValue64* mediaTime, Fixed* mediaRate);
// Media display time shown at track time `value` (movie time scale); -1 when
// the track shows no media then (no edit there, or an empty one).
TimeValue64 TrackTimeToMediaDisplayTime(TimeValue64 value, Track t);

// ---- media -----------------------------------------------------------------

// The track's media; the data reference is copied. One media per track.
Media NewTrackMedia(Track t, OSType mediaType, TimeScale timeScale, Handle dataRef, OSType dataRefType);
// Removes the media from its track with all its samples, so that the track
// can take a new one; refused (paramErr) while an edit of the track plays
// any of it.
OSErr DisposeTrackMedia(Media m);
Track GetMediaTrack(Media m);
OSType GetMediaType(Media m);
TimeScale GetMediaTimeScale(Media m);
// Sum of the decode durations of every sample.
TimeValue GetMediaDuration(Media m);
TimeValue64 GetMediaDecodeDuration(Media m);
// Earliest display time of any sample, display time after the last shown
// sample, and their difference; all 0 for an empty media.
TimeValue64 GetMediaDisplayStartTime(Media m);
TimeValue64 GetMediaDisplayEndTime(Media m);
TimeValue64 GetMediaDisplayDuration(Media m);
SInt64 GetMediaSampleCount(Media m);
SInt32 GetMediaSampleDescriptionCount(Media m);
// Copies description `index` (1-based) into `descH`, resizing it.
OSErr GetMediaSampleDescription(Media m, SInt32 index, SampleDescriptionHandle descH);
// The data reference (index 1 only); a new handle the caller disposes.
OSErr GetMediaDataRef(Media m, SInt16 index, Handle* dataRef, OSType* dataRefType, SInt32* attributes);
MediaHandler GetMediaHandler(Media m);

// One sample reference of a media, as stored: `count` samples of
// `durationPerSample` each, occupying `dataSize` bytes in all from
// `dataOffset` (samples added one by one have count 1).
struct MediaSampleReference {
  SInt64 dataOffset;
  SInt64 dataSize;
  SInt64 count;
  TimeValue64 durationPerSample;
  TimeValue64 displayOffset;
  MediaSampleFlags flags;
  SInt32 descriptionIndex;  // 1-based
};
SInt64 GetMediaSampleReferenceCount(Media m);
OSErr GetMediaSampleReferenceAt(Media m, SInt64 index, MediaSampleReference* out);  // 0-based

// Reads the bytes of sample reference `index` (0-based) through a data
// handler opened on the media's data reference, into `data` (resized).
OSErr GetMediaSampleReferenceData(Media m, SInt64 index, Handle data);

// Appends `numberOfSamples` samples occupying `size` bytes in all at
// `dataOffset`, each lasting `durationPerSample`.
OSErr AddMediaSampleReference(Media m, SInt64 dataOffset, UInt32 size, TimeValue durationPerSample,
                              SampleDescriptionHandle desc, SInt32 numberOfSamples, SInt16 sampleFlags,
                              TimeValue* sampleTime);

struct SampleReference64Record {
  wide dataOffset;
  UInt32 dataSize;
  TimeValue durationPerSample;
  UInt32 numberOfSamples;
  SInt16 sampleFlags;
};
typedef SampleReference64Record* SampleReference64Ptr;

// Appends the references in order (each as AddMediaSampleReference does);
// `sampleTime`, when given, receives the decode time of the first.
OSErr AddMediaSampleReferences64(Media m, SampleDescriptionHandle desc, SInt32 numberOfRefs,
                                 SampleReference64Ptr refs, TimeValue* sampleTime);

// ---- mutable sample tables -------------------------------------------------

OSStatus QTSampleTableCreateMutable(const void* allocator, TimeScale timescale, void* attributes,
                                    QTMutableSampleTableRef* newSampleTable);
void QTSampleTableRelease(QTSampleTableRef table);  // NULL accepted
TimeScale QTSampleTableGetTimeScale(QTSampleTableRef table);
SInt64 QTSampleTableGetNumberOfSamples(QTSampleTableRef table);
// Adds a copy of the description; ids count from 1.
OSStatus QTSampleTableAddSampleDescription(QTMutableSampleTableRef table, SampleDescriptionHandle desc,
                                           SInt32 mediaSampleDescriptionIndex, QTSampleDescriptionID* outID);
// Appends `numberOfSamples` samples of `dataSize` bytes each, stored one
// after the other from `dataOffset`; `newSampleNum`, when given, receives
// the 1-based number of the first.
OSStatus QTSampleTableAddSampleReferences(QTMutableSampleTableRef table, SInt64 dataOffset, ByteCount dataSize,
                                          TimeValue64 decodeDuration, TimeValue64 displayOffset,
                                          SInt64 numberOfSamples, MediaSampleFlags sampleFlags,
                                          QTSampleDescriptionID descriptionID, SInt64* newSampleNum);
// Appends samples [startSampleNum, startSampleNum + numberOfSamples) of the
// table (1-based; they stay in the table) to the media, converting times to
// the media's time scale; `sampleStartTime` receives the decode time of the
// first in the media.
OSErr AddSampleTableToMedia(Media m, QTSampleTableRef table, SInt64 startSampleNum, SInt64 numberOfSamples,
                            TimeValue64* sampleStartTime);

// ---- metadata ----------------------------------------------------------------

constexpr OSType kQTMetaDataStorageFormatQuickTime = FOUR_CHAR_CODE("mdta");
constexpr OSType kQTMetaDataStorageFormatUserData = FOUR_CHAR_CODE("udta");
constexpr OSType kQTMetaDataKeyFormatQuickTime = FOUR_CHAR_CODE("mdta");  // reverse-DNS text keys
constexpr OSType kQTMetaDataKeyFormatCommon = FOUR_CHAR_CODE("comn");     // 4-byte host-order codes
constexpr OSType kQTMetaDataKeyFormatUserData = FOUR_CHAR_CODE("udta");
constexpr OSType kQTMetaDataCommonKeyDescription = FOUR_CHAR_CODE("desc");
constexpr UInt32 kQTMetaDataTypeBinary = 0;
constexpr UInt32 kQTMetaDataTypeUTF8 = 1;
constexpr QTMetaDataItem kQTMetaDataItemUninitialized = 0;

// A reference to the movie's metadata; give it back with QTMetaDataRelease.
OSStatus QTCopyMovieMetaData(Movie m, QTMetaDataRef* metaData);
void QTMetaDataRetain(QTMetaDataRef metaData);
void QTMetaDataRelease(QTMetaDataRef metaData);  // NULL accepted
// Adds an item; common keys are 4 bytes (a code in host byte order).
OSStatus QTMetaDataAddItem(QTMetaDataRef metaData, OSType storageFormat, OSType keyFormat, const UInt8* key,
                           ByteCount keySize, const UInt8* value, ByteCount valueSize, UInt32 dataType,
                           QTMetaDataItem* outItem);
// Items in the order added: the one after `item` (kQTMetaDataItemUninitialized:
// the first) whose key matches (NULL key: any); itemNotFoundErr at the end.
OSStatus QTMetaDataGetNextItem(QTMetaDataRef metaData, OSType storageFormat, QTMetaDataItem item, OSType keyFormat,
                               const UInt8* key, ByteCount keySize, QTMetaDataItem* nextItem);
// Copies the value (up to `valueSize` bytes) and gives its full size.
OSStatus QTMetaDataGetItemValue(QTMetaDataRef metaData, QTMetaDataItem item, UInt8* value, ByteCount valueSize,
                                ByteCount* actualSize);

// ---- atom containers and wired actions ----------------------------------------

// An atom container is a handle in the movie file's format: a 10-byte zero
// header, then a root atom; each atom is {u32 size, type, id, u16 0,
// u16 childCount, u32 0} (big-endian) followed by its data or children.
// A QTAtom is the byte offset of an atom in the container.
typedef Handle QTAtomContainer;
typedef SInt32 QTAtom;
typedef OSType QTAtomType;
typedef SInt32 QTAtomID;
constexpr QTAtom kParentAtomIsContainer = 0;

OSErr QTNewAtomContainer(QTAtomContainer* container);
OSErr QTDisposeAtomContainer(QTAtomContainer container);
// Inserts a child of `parent` (`index` 1-based among its children; 0
// appends); `id` 0 picks the smallest id unused by siblings of that type.
// A child with data is a leaf; a leaf cannot take children.
OSErr QTInsertChild(QTAtomContainer container, QTAtom parent, QTAtomType type, QTAtomID id, SInt16 index,
                    SInt32 dataSize, const void* data, QTAtom* newAtom);
SInt16 QTCountChildrenOfType(QTAtomContainer container, QTAtom parent, QTAtomType type);
// The `index`th (1-based) child of that type; 0 when there is none.
QTAtom QTFindChildByIndex(QTAtomContainer container, QTAtom parent, QTAtomType type, SInt16 index, QTAtomID* id);
// Copies a leaf's data (up to `maxSize` bytes) and gives its size.
OSErr QTCopyAtomDataToPtr(QTAtomContainer container, QTAtom atom, Boolean sizeOrLessOK, SInt32 maxSize,
                          void* dataPtr, SInt32* actualSize);

// Runs the actions of `actions` ('actn' atoms of the root, each naming its
// action in a 'whic' child, a big-endian u32) on the movie. Here an action
// is recorded in the movie (in order, with its parameters) for inspection;
// it has no other effect. invalidAtomContainerErr for a malformed container.
OSErr MovieExecuteWiredActions(Movie m, SInt32 flags, QTAtomContainer actions);

struct WiredActionRecord {
  SInt32 which;           // the 'whic' value
  QTAtomID actionID;      // the 'actn' atom's id
  SInt32 parameterCount;  // children of the 'actn' atom other than 'whic'
};
SInt32 GetMovieWiredActionCount(Movie m);
OSErr GetMovieWiredAction(Movie m, SInt32 index, WiredActionRecord* out);  // 0-based

// ---- idle manager --------------------------------------------------------------

IdleManager QTIdleManagerOpen();
OSErr QTIdleManagerClose(IdleManager im);
// Asks for the next idle `duration` / `scale` seconds from now.
OSErr QTIdleManagerSetNextIdleTimeDelta(IdleManager im, TimeValue duration, TimeScale scale);
// Whether the time asked for has come (true when none was asked for).
OSErr QTIdleManagerNeedsAnIdle(IdleManager im, Boolean* needsOne);
// The delta last asked for (0/0 before any).
OSErr QTIdleManagerGetNextIdleTimeDelta(IdleManager im, TimeValue* duration, TimeScale* scale);
