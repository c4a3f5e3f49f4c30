// The importer component's shell and its import driver: selector dispatch,
// instance life, capability and version queries, registration, validation,
// the small query selectors, and the import itself in its two modes (all at
// once, or a first part then idle calls).
#include "MTS_MovieImport.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MTS_Log.h"

using mts_import::RoundHalfAway;

namespace {

constexpr char kQuickLookName[] = "quicklookd";
constexpr OSErr kNoUsableVideoErr = invalidMovie;

// Selectors of the movie-import calls this component serves.
enum : SInt16 {
  kSelectFile = 2,
  kSelectValidate = 14,
  kSelectDataRef = 16,
  kSelectGetMIMETypeList = 18,
  kSelectIdle = 23,
  kSelectValidateDataRef = 24,
  kSelectGetMaxLoadedTime = 26,
  kSelectSetIdleManager = 30,
};

// Parameter descriptors: the result and each parameter (the instance storage
// first) as 2-bit size codes, 3 for four bytes and 2 for two.
constexpr ProcInfoType kResult4 = 3u << 4;
constexpr ProcInfoType Params4(int count) {
  ProcInfoType info = kResult4;
  for (int i = 0; i < count; ++i) info |= 3u << (6 + 2 * i);
  return info;
}
constexpr ProcInfoType kCanDoInfo = kResult4 | (3u << 6) | (2u << 8);

struct SelectorEntry {
  ProcPtr routine; // NULL: not implemented
  ProcInfoType descriptor;
};

constexpr int kNegativeCount = 6;  // selectors -6 .. -1
constexpr int kPositiveCount = 35; // selectors 0 .. 34

// Index of each table is selector + 6 (negative range) or the selector.
const SelectorEntry* NegativeTable() {
  static const SelectorEntry table[kNegativeCount] = {
      {nullptr, 0},                                                       // -6 Target
      {ComponentFunctionEntry(MTS_MovieImportRegister), Params4(1)},      // -5
      {ComponentFunctionEntry(MTS_MovieImportVersion), Params4(1)},       // -4
      {ComponentFunctionEntry(MTS_MovieImportCanDo), kCanDoInfo},         // -3
      {ComponentFunctionEntry(MTS_MovieImportClose), Params4(2)},         // -2
      {ComponentFunctionEntry(MTS_MovieImportOpen), Params4(2)},          // -1
  };
  return table;
}

const SelectorEntry* PositiveTable() {
  static const SelectorEntry* table = [] {
    static SelectorEntry t[kPositiveCount] = {};
    t[kSelectFile] = {ComponentFunctionEntry(MTS_MovieImportFile), Params4(9)};
    t[kSelectValidate] = {ComponentFunctionEntry(MTS_MovieImportValidate), Params4(4)};
    t[kSelectDataRef] = {ComponentFunctionEntry(MTS_MovieImportDataRef), Params4(10)};
    t[kSelectGetMIMETypeList] = {ComponentFunctionEntry(MTS_MovieImportGetMIMETypeList), Params4(2)};
    t[kSelectIdle] = {ComponentFunctionEntry(MTS_MovieImportIdle), Params4(3)};
    t[kSelectValidateDataRef] = {ComponentFunctionEntry(MTS_MovieImportValidateDataRef), Params4(4)};
    t[kSelectGetMaxLoadedTime] = {ComponentFunctionEntry(MTS_MovieImportGetMaxLoadedTime), Params4(2)};
    t[kSelectSetIdleManager] = {ComponentFunctionEntry(MTS_MovieImportSetIdleManager), Params4(2)};
    return t;
  }();
  return table;
}

// The table entry of a selector, NULL outside both ranges.
const SelectorEntry* LookUpSelector(SInt16 what) {
  const int range = what >> 7;
  if (range < 0) {
    const SInt16 index = static_cast<SInt16>(what + kNegativeCount);
    return index < 0 ? nullptr : &NegativeTable()[index];
  }
  if (range > 0 || (what & 127) >= kPositiveCount) return nullptr;
  return &PositiveTable()[what & 127];
}

// The component's own calls, made through its instance as a client would.
ComponentResult CallValidateDataRef(ComponentInstance self, Handle dataRef, OSType dataRefType, UInt8* valid) {
  return CallComponentSelector(self, kSelectValidateDataRef, dataRef, dataRefType, valid);
}

ComponentResult CallImportDataRef(ComponentInstance self, Handle dataRef, OSType dataRefType, Movie theMovie,
                                  Track targetTrack, Track* usedTrack, TimeValue atTime, TimeValue* addedDuration,
                                  int32_t inFlags, int32_t* outFlags) {
  return CallComponentSelector(self, kSelectDataRef, dataRef, dataRefType, theMovie, targetTrack,
                               usedTrack, atTime, addedDuration, inFlags, outFlags);
}

} // namespace

// ---------------------------------------------------------------------------
// Dispatch

extern "C" ComponentResult MTS_MovieImportComponentDispatch(ComponentParameters* params, Handle storage) {
  const SelectorEntry* entry = LookUpSelector(params->what);
  if (!entry || !entry->routine || entry->descriptor == 0) return badComponentSelector;
  return CallComponentFunctionWithStorageProcInfo(storage, params, entry->routine, entry->descriptor);
}

ComponentResult MTS_MovieImportCanDo(MTS_MovieImportGlobalsRecord*, int16_t selector) {
  const SelectorEntry* entry = LookUpSelector(selector);
  return entry && entry->routine ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Instance life and small selectors

ComponentResult MTS_MovieImportOpen(MTS_MovieImportGlobalsRecord*, ComponentInstance self) {
  auto* store = reinterpret_cast<MTS_MovieImportGlobalsRecord*>(NewPtrClear(sizeof(MTS_MovieImportGlobalsRecord)));
  if (!store) return mts_import::AllocationError();
  store->self = self;
  store->wrapReference = -1;
  SetComponentInstanceStorage(self, reinterpret_cast<Handle>(store));
  store->tsDemux = TSOpenDemuxLib();
  if (!store->tsDemux) {
    SetComponentInstanceStorage(self, nullptr);
    DisposePtr(reinterpret_cast<Ptr>(store));
    MTS_LOG("[ERR]failed to TSOpenDemuxLib() xxxxxxxxxxxxxxx\n");
    MTS_SayOutOfMemory("the importer's demultiplexer");
    return 1;
  }
  store->pTSInfo = static_cast<TSDemuxOutput*>(std::malloc(sizeof(TSDemuxOutput)));
  if (!store->pTSInfo) {
    TSCloseDemuxLib(store->tsDemux);
    SetComponentInstanceStorage(self, nullptr);
    DisposePtr(reinterpret_cast<Ptr>(store));
    MTS_LOG("[ERR]failed to malloc pTSInfo xxxxxxxxxxxxxxx\n");
    MTS_SayOutOfMemory("the importer's buffers");
    return 1;
  }
  std::memset(store->pTSInfo, 0, sizeof(TSDemuxOutput));
  store->pTSInfo->status = 2;
  store->pTSbuffer = static_cast<uint8_t*>(std::malloc(kMTSChunkSize));
  if (!store->pTSbuffer) {
    std::free(store->pTSInfo);
    TSCloseDemuxLib(store->tsDemux);
    SetComponentInstanceStorage(self, nullptr);
    DisposePtr(reinterpret_cast<Ptr>(store));
    MTS_LOG("[ERR]failed to malloc pTSbuffer xxxxxxxxxxxxxxx\n");
    MTS_SayOutOfMemory("the importer's buffers");
    return 1;
  }
  store->ac3Decoder = mts_import::AC3Open();
  std::memset(&store->ac3decInfo, 0, sizeof store->ac3decInfo);
  return noErr;
}

ComponentResult MTS_MovieImportClose(MTS_MovieImportGlobalsRecord* store, ComponentInstance) {
  if (!store) return noErr;
  mts_import::ReleaseImport(store);
  mts_import::AC3Close(store->ac3Decoder);
  store->ac3Decoder = nullptr;
  std::free(store->pcmBuffer);
  store->pcmBuffer = nullptr;
  if (store->tsDemux) TSCloseDemuxLib(store->tsDemux);
  store->tsDemux = nullptr;
  std::free(store->pTSInfo);
  store->pTSInfo = nullptr;
  std::free(store->pTSbuffer);
  store->pTSbuffer = nullptr;
  DisposePtr(reinterpret_cast<Ptr>(store));
  return noErr;
}

ComponentResult MTS_MovieImportVersion() { return kMTSImporterVersion; }

ComponentResult MTS_MovieImportRegister() {
  ComponentDescription cd{};
  cd.componentType = kMTSImporterType;
  cd.componentSubType = kMTSImporterSubType;
  cd.componentManufacturer = kMTSImporterManufacturer;
  cd.componentFlags = 0;
  cd.componentFlagsMask = 0;
  RegisterComponent(&cd, MTS_MovieImportComponentDispatch, 0, nullptr, nullptr, nullptr);
  return noErr;
}

ComponentResult MTS_MovieImportValidate(MTS_MovieImportGlobalsRecord* store, const FSSpec* theFile, Handle,
                                        Boolean* valid) {
  AliasHandle alias = nullptr;
  OSErr err = QTNewAlias(theFile, &alias, kTrue);
  if (err != noErr) return err;
  ComponentResult result =
      CallValidateDataRef(store->self, reinterpret_cast<Handle>(alias), FOUR_CHAR_CODE("alis"), valid);
  DisposeHandle(reinterpret_cast<Handle>(alias));
  return result;
}

namespace {

// Whether a recording whose first packet does not start the file (bytes in
// front of it) has the packet grid near its start: a run of source packets
// 192 bytes apart, each with a sync byte and a valid
// adaptation_field_control, in the first 4 KiB. The run is four packets
// long (or as many as the file holds there, at least two): in a stream of
// 188-byte packets two bytes of 0x47 192 bytes apart in the payload are
// met by chance, four in a row are not.
bool PacketGridNearStart(ComponentInstance dh) {
  constexpr int32_t kRun = 4;
  constexpr int64_t kLook = 4096;
  wide size = 0;
  if (DataHGetFileSize64(dh, &size) != noErr) return false;
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(size, kLook));
  uint8_t head[kLook];
  wide offset = 0;
  if (n < 2 * kMTSPacketSize ||
      DataHScheduleData64(dh, reinterpret_cast<Ptr>(head), &offset, n, 0, nullptr, nullptr) != noErr)
    return false;
  auto plausible = [&](int32_t at) { return head[at + 4] == 0x47 && (head[at + 7] & 0x30) != 0; };
  for (int32_t x = 0; x + kMTSPacketSize + 8 <= n; ++x) {
    const int32_t run = std::min(kRun, (n - x - 8) / kMTSPacketSize + 1);
    int32_t k = 0;
    while (k < run && plausible(x + k * kMTSPacketSize)) ++k;
    if (k == run) return true;
  }
  return false;
}

} // namespace

ComponentResult MTS_MovieImportValidateDataRef(MTS_MovieImportGlobalsRecord*, Handle dataRef, OSType dataRefType,
                                               UInt8* valid) {
  *valid = 0;
  ComponentInstance dh = nullptr;
  OSErr err = OpenADataHandler(dataRef, dataRefType, nullptr, 0, nullptr, kDataHCanRead, &dh);
  if (err != noErr) {
    if (dh) CloseComponent(dh);
    return err;
  }
  if (!dh) return noErr;
  uint8_t header[4];
  wide offset = 0;
  ComponentResult r = DataHScheduleData64(dh, reinterpret_cast<Ptr>(header), &offset, 4, 0, nullptr, nullptr);
  if (r != noErr) {
    CloseComponent(dh);
    return r;
  }
  uint8_t sync = 0;
  offset = 4;
  r = DataHScheduleData64(dh, reinterpret_cast<Ptr>(&sync), &offset, 1, 0, nullptr, nullptr);
  if (r != noErr) {
    CloseComponent(dh);
    return r;
  }
  if (sync == 0x47 || PacketGridNearStart(dh)) *valid = 128;
  CloseComponent(dh);
  return noErr;
}

ComponentResult MTS_MovieImportGetMIMETypeList(MTS_MovieImportGlobalsRecord* store, QTAtomContainer* mimeInfo) {
  return GetComponentResource(store->self, FOUR_CHAR_CODE("mime"), 512, reinterpret_cast<Handle*>(mimeInfo));
}

ComponentResult MTS_MovieImportSetIdleManager(MTS_MovieImportGlobalsRecord* store, IdleManager im) {
  store->idleManager = im;
  return noErr;
}

ComponentResult MTS_MovieImportGetMaxLoadedTime(MTS_MovieImportGlobalsRecord* store, TimeValue* time) {
  *time = MTS_GetMovieMaxInsertTime(store);
  return noErr;
}

TimeValue MTS_GetMovieMaxInsertTime(MTS_MovieImportGlobalsRecord* store) {
  if (!store->videoMedia) return 0;
  const TimeScale videoScale = GetMediaTimeScale(store->videoMedia);
  if (videoScale <= 0) return 0;
  const uint32_t x = static_cast<uint32_t>(store->videoInsertedTime - store->skippedBFrames * store->frameDuration);
  // The media inserted, and the time left empty before ranges of it (video
  // of another size left out): the track's movie time runs ahead by that.
  return static_cast<TimeValue>(
             RoundHalfAway(static_cast<double>(x) / videoScale * GetMovieTimeScale(store->theMovie))) +
         store->videoInsertedGapTime;
}

TimeValue MTS_frame_number_to_movie_time(MTS_MovieImportGlobalsRecord* store, int32_t frameNumber) {
  const uint32_t timeScale = static_cast<uint32_t>(store->timeScale);
  if (timeScale == 0) return 0;
  return static_cast<TimeValue>(static_cast<int64_t>(frameNumber - 1) * store->frameDuration *
                                GetMovieTimeScale(store->theMovie) / timeScale);
}

int32_t MTS_movie_time_to_frame_number(MTS_MovieImportGlobalsRecord* store, TimeValue movieTime) {
  const double denominator =
      static_cast<double>(static_cast<uint32_t>(store->frameDuration)) * GetMovieTimeScale(store->theMovie);
  if (denominator == 0) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(store->timeScale) * static_cast<double>(movieTime) / denominator +
                              1.0);
}

// ---------------------------------------------------------------------------
// Import driver

namespace mts_import {

void ReleaseImport(MTS_MovieImportGlobalsRecord* store) {
  MTS_ClearTCList(store);
  delete store->leftOutVideo;
  store->leftOutVideo = nullptr;
  delete store->leftOutSound;
  store->leftOutSound = nullptr;
  if (store->fp) fclose(store->fp);
  store->fp = nullptr;
  if (store->dataHandler) CloseComponent(store->dataHandler);
  store->dataHandler = nullptr;
  if (store->pRec) MTS_ReleaseOneAvchdDataRecord(store->pARec, store->pRec, store->recordID);
  store->pRec = nullptr;
  store->pARec = nullptr;
  for (Handle* h : {&store->soundDataRef, &store->videoDataRef, &store->timecodeDataRef, &store->sourceAlias,
                    reinterpret_cast<Handle*>(&store->soundDescription), &store->timecodeDescription}) {
    if (*h) DisposeHandle(*h);
    *h = nullptr;
  }
  for (QTMutableSampleTableRef* table : {&store->videoSampleTable, &store->timecodeSampleTable}) {
    if (*table) QTSampleTableRelease(*table);
    *table = nullptr;
  }
}

} // namespace mts_import

namespace {

// Clears what one import leaves in the record, so that a second import into
// another movie starts from nothing.
void ResetForImport(MTS_MovieImportGlobalsRecord* store, Movie theMovie) {
  mts_import::ReleaseImport(store);
  store->theMovie = theMovie;
  store->soundTrack = store->videoTrack = store->timecodeTrack = store->placeholderTrack = nullptr;
  store->soundMedia = store->videoMedia = store->timecodeMedia = store->placeholderMedia = nullptr;
  store->isLPCM = 0;
  store->width = store->height = store->timeScale = store->frameDuration = 0;
  store->startSampleNum = store->timecodeSampleNum = 1;
  store->ts_offset = store->qt_offset = store->videoTSOffset = store->soundTSOffset = 0;
  store->sampleTableNum = 0;
  store->needSoundTrack = store->needVideoTrack = store->needTimecodeTrack = 1;
  store->soundEndTime = store->soundInsertedTime = store->videoEndTime = store->videoInsertedTime = 0;
  store->timecodeEndTime = store->timecodeInsertedTime = 0;
  store->videoFrames = store->soundFrames = store->idleCount = store->skippedBFrames = store->soundSampleRate = 0;
  store->idrSeen = store->isCamera = 0;
  store->firstIPTS = store->ptsOffset = 0;
  store->lastVideoPTS = store->firstVideoPTS = store->videoEndPTS = store->videoEndDTS = store->soundEndPTS = 0;
  store->wrapReference = -1;
  store->videoTimeShift = store->lastVideoKey = store->videoKeyStep = 0;
  store->soundTimeShift = store->lastSoundKey = store->soundKeyStep = 0;
  store->videoKeySeen = store->soundKeySeen = 0;
  store->videoKeyHigh = store->soundKeyHigh = 0;
  store->videoInOrder = store->soundInOrder = 0;
  store->videoSpans = store->soundSpans = mts_import::KeySpans{};
  store->videoLostTicks = store->soundLostTicks = 0;
  store->videoDamagedPictures = store->soundDamagedFrames = 0;
  store->bytesBeforeFirstPacket = 0;
  store->endCutBytes = 0;
  store->videoEndInDoubt = store->soundEndInDoubt = 0;
  store->videoDecodeTime = 0;
  mts_import::PartsReset(&store->parts);
  mts_import::ResetLossChecks(store);
  store->fieldWaiting = 0;
  store->intraCount = 0;
  store->setsTSOffset = -1;
  store->lpcmChannels = store->lpcmBits = store->soundLeavingOut = store->soundLeftOut = 0;
  store->soundKind = MTS_SoundKind{};
  store->videoLeavingOut = store->videoLeftOut = 0;
  store->videoPTSEnd = 0;
  store->videoGapTime = store->videoOpenGapTime = 0;
  store->videoRangeAt = store->timecodeRangeAt = -1;
  store->videoInsertedGapTime = store->videoTrailingGapTime = 0;
  store->sliceLog2MaxFrameNum = store->sliceFrameMbsOnly = store->sliceSeparateColourPlane = 0;
  store->soundAnchored = 0;
  store->soundAnchorPTS = store->soundRangeMedia = store->soundRangeTrack = 0;
  store->soundRangeAt = -1;
  store->soundEndEstimated = 0;
  store->soundHeadDropped = 0;
  store->state = kMTSStateImporting;
}

// Entries the frame index starts with: the pre-scan's estimate from the
// time stamps, with room for the index to stay below the fill at which it
// grows (three quarters), never more than the file can need
// (MTS_FrameIndexBound) nor more than kStartCap. The index grows, up to that
// bound, when the recording holds more samples than its time span says (a
// recording cut short, or two recordings joined), so the estimate need not
// hold; an estimate far too large (a jump in the time stamps) costs at most
// kStartCap entries of shared memory (5 MiB, about 45 minutes of 60-field
// video with sound and time code).
int32_t FrameIndexCapacity(int64_t fileSize, int32_t videoFrames, int32_t soundFrames) {
  constexpr int64_t kStartCap = int64_t(1) << 18;
  const int64_t frames = 2 * int64_t(videoFrames > 0 ? videoFrames : 0) + (soundFrames > 0 ? soundFrames : 0);
  const int64_t estimate = static_cast<int64_t>(static_cast<double>(frames) * 1.6 + 1.0);
  return static_cast<int32_t>(std::min({estimate, kStartCap, int64_t(MTS_FrameIndexBound(fileSize))}));
}

bool ParentIsQuickLook() {
  ProcessSerialNumber psn{};
  if (GetProcessForPID(getppid(), &psn) != noErr) return false;
  Str255 name{};
  ProcessInfoRec info{};
  info.processInfoLength = 60;
  info.processName = name;
  if (GetProcessInformation(&psn, &info) != noErr) return false;
  const size_t n = sizeof kQuickLookName - 1;
  return name[0] >= n && std::memcmp(name + 1, kQuickLookName, n) == 0;
}

// Runs per-sample steps while the import is reading and `more` holds.
template <typename More>
OSErr RunSteps(MTS_MovieImportGlobalsRecord* store, More more) {
  while (store->state == kMTSStateImporting && more()) {
    OSErr err = MTS_decode_one_sample(store);
    if (err != noErr) return err;
  }
  return noErr;
}

// Steps up to the first video sample and inserts; a stream that ends before
// any video sample has no usable video.
OSErr ImportUpToFirstPicture(MTS_MovieImportGlobalsRecord* store) {
  OSErr err = RunSteps(store, [&] { return store->videoEndTime == 0; });
  if (err != noErr) return err;
  if (store->videoEndTime == 0 || !store->videoMedia) {
    MTS_LOG("[ERR]no usable video in the stream\n");
    return kNoUsableVideoErr;
  }
  return MTS_insertMedia(store, -1);
}

} // namespace

ComponentResult MTS_MovieImportFile(MTS_MovieImportGlobalsRecord* store, const FSSpec* theFile, Movie theMovie,
                                    Track targetTrack, Track* usedTrack, TimeValue atTime, TimeValue* addedDuration,
                                    int32_t inFlags, int32_t* outFlags) {
  *outFlags = 0;
  AliasHandle alias = nullptr;
  OSErr err = QTNewAlias(theFile, &alias, kTrue);
  if (err != noErr) return err;
  ComponentResult result =
      CallImportDataRef(store->self, reinterpret_cast<Handle>(alias), FOUR_CHAR_CODE("alis"), theMovie, targetTrack,
                        usedTrack, atTime, addedDuration, inFlags, outFlags);
  if (*outFlags & kMTSOutFlagNeedIdle) {
    // The idle import goes on using the alias; it is released with the import.
    if (store->sourceAlias) DisposeHandle(store->sourceAlias);
    store->sourceAlias = reinterpret_cast<Handle>(alias);
  } else {
    DisposeHandle(reinterpret_cast<Handle>(alias));
  }
  return result;
}

ComponentResult MTS_MovieImportDataRef(MTS_MovieImportGlobalsRecord* store, Handle dataRef, OSType dataRefType,
                                       Movie theMovie, Track, Track*, TimeValue, TimeValue*, int32_t inFlags,
                                       int32_t* outFlags) {
  const bool quickLook = ParentIsQuickLook();
  ResetForImport(store, theMovie);
  if (MTS_NewTCList(store) != 0) return memFullErr;
  if (inFlags & kMTSInFlagRefused) return paramErr;
  *outFlags = 0;

  ComponentResult r = OpenAComponent(GetDataHandler(dataRef, dataRefType, kDataHCanRead), &store->dataHandler);
  if (r == noErr) r = DataHSetDataRef(store->dataHandler, dataRef);
  if (r == noErr) r = DataHOpenForRead(store->dataHandler);
  if (r == noErr) {
    wide size = 0;
    r = DataHGetFileSize64(store->dataHandler, &size);
    store->fileSize = size;
  }
  if (r != noErr) return r;

  if (!store->pcmBuffer) store->pcmBuffer = static_cast<uint8_t*>(std::malloc(kMTSPcmBufferSize));
  if (!store->pcmBuffer) {
    MTS_SayOutOfMemory("the importer's sound buffer");
    return memFullErr;
  }

  MTS_GetFrameNum(store);
  // Without a picture size and a time base there is nothing to build a
  // movie on (and the later steps would divide by zero).
  if (store->timeScale <= 0 || store->frameDuration <= 0 || store->width <= 0 || store->height <= 0) {
    MTS_LOG("[ERR]no usable video in the stream\n");
    return kNoUsableVideoErr;
  }
  MTS_GetSoundFrameNum(store);
  // A pass that fails (a stream without audio) leaves the demultiplexer where
  // it stopped; the import itself reads from the start.
  if (MTS_Importer_StartTSdemuxer(store, 0) != 0) return memFullErr;
  store->dataRefType = kMTSDataRefType;

  const int32_t capacity = FrameIndexCapacity(store->fileSize, store->videoFrames, store->soundFrames);
  UInt32 recordID = 0;
  OSErr err = static_cast<OSErr>(
      MTS_SetDataHandler(&recordID, &store->pARec, &store->pRec, store->dataHandler, store->fileSize, capacity,
                         true));
  if (err != noErr) {
    MTS_LOG("[ERR]failed to MTS_SetDataHandler. err=%d\n", err);
    return err;
  }
  store->recordID = static_cast<int32_t>(recordID);
  if (MTS_makeDataRef(&store->soundDataRef, recordID, kAvchdDataRefSound) != 0 ||
      MTS_makeDataRef(&store->videoDataRef, recordID, kAvchdDataRefVideo) != 0 ||
      MTS_makeDataRef(&store->timecodeDataRef, recordID, kAvchdDataRefTimecode) != 0)
    return -1;

  // The path as kept by the store: the region itself may be shrunk by another process.
  const char* path = MTS_RecordPath(store->pRec);
  store->fp = path != nullptr ? fopen(path, "r") : nullptr;
  if (!store->fp) {
    const int error = errno;
    MTS_LOG("[ERR]failed to open(%s). errno=%d\n", path != nullptr ? path : "", error);
    MTS_SayOutOfDescriptors(error, "the recording");
    return -23;
  }

  const bool idle = (inFlags & kMTSInFlagIdle) != 0;
  if (!idle) {
    err = ImportUpToFirstPicture(store);
    if (err != noErr) return err;
    if (!quickLook) {
      err = RunSteps(store, [] { return true; });
      if (err == noErr) err = MTS_insertMedia(store, -1);
      if (err != noErr) return err;
    }
  } else {
    err = MTS_CreatePlaceholderTrack(store, dataRef, dataRefType);
    if (err != noErr) return err;
    err = ImportUpToFirstPicture(store);
    if (err != noErr) return err;
    err = RunSteps(store, [&] { return store->ts_offset < kMTSIdleFirstBytes; });
    if (err == noErr) err = MTS_insertMedia(store, -1);
    if (err != noErr) return err;
  }
  err = MTS_add_metadata(store);
  if (err != noErr) return err;
  if (idle) *outFlags |= kMTSOutFlagNeedIdle;
  if (store->state == kMTSStateInserted) *outFlags |= kMTSOutFlagComplete;
  return noErr;
}

ComponentResult MTS_MovieImportIdle(MTS_MovieImportGlobalsRecord* store, int32_t, int32_t* outFlags) {
  *outFlags = 0;
  if (store->state == kMTSStateInserted) {
    *outFlags |= kMTSOutFlagComplete;
    return noErr;
  }
  if (store->state == kMTSStateImporting) {
    const uint32_t frameDuration = static_cast<uint32_t>(store->frameDuration);
    const double limit = frameDuration == 0 ? 0.0 : (static_cast<uint32_t>(store->timeScale) / frameDuration) * 5.0;
    for (double steps = 0; steps < limit && store->state == kMTSStateImporting;) {
      OSErr err = MTS_decode_one_sample(store);
      if (err != noErr) {
        MTS_LOG("[ERR]failed to MTS_decode_one_sample\n");
        return err;
      }
      steps += 1;
    }
  } else if (store->state != kMTSStateEndOfStream) {
    return noErr;
  }
  if (++store->idleCount >= kMTSIdleInsertEvery) {
    OSErr err = MTS_insertMedia(store, -1);
    if (err != noErr) {
      MTS_LOG("[ERR]failed to MTS_insertMedia\n");
      return err;
    }
    store->idleCount = 0;
  }
  QTIdleManagerSetNextIdleTimeDelta(store->idleManager, 1, 2);
  if (store->state == kMTSStateInserted) *outFlags |= kMTSOutFlagComplete;
  return noErr;
}

OSErr MTS_CreatePlaceholderTrack(MTS_MovieImportGlobalsRecord* store, Handle dataRef, OSType dataRefType) {
  Handle desc = NewHandleClear(16);
  if (!desc) return mts_import::AllocationError();
  const int32_t descSize = 16;
  std::memcpy(*desc, &descSize, sizeof descSize);
  const TimeScale movieScale = GetMovieTimeScale(store->theMovie);
  store->placeholderTrack = NewMovieTrack(store->theMovie, 0, 0, 0);
  store->placeholderMedia =
      NewTrackMedia(store->placeholderTrack, FOUR_CHAR_CODE("gnrc"), movieScale, dataRef, dataRefType);
  OSErr err = GetMoviesError();
  if (err == noErr && !store->placeholderMedia) err = invalidMedia;
  if (err != noErr) {
    DisposeHandle(desc);
    return err;
  }
  const TimeValue duration = static_cast<TimeValue>(static_cast<int64_t>(movieScale) * store->videoFrames *
                                                    store->frameDuration / store->timeScale);
  err = AddMediaSampleReference(store->placeholderMedia, 0, 1, duration, reinterpret_cast<SampleDescriptionHandle>(desc),
                                1, 0, nullptr);
  if (err == noErr) err = InsertMediaIntoTrack(store->placeholderTrack, -1, 0, duration, fixed1);
  DisposeHandle(desc);
  return err;
}
