// The timecode track of a movie from a qualifying camera: one 'tmcd' sample
// per picture holding the frame number of the time code the camera wrote into
// that picture's user data. Pictures arrive in decode order; the frame
// numbers of a group of pictures are collected, sorted into display order and
// only then added as samples.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"

namespace {

constexpr int32_t kTimeCode24HourMax = 2;
constexpr int32_t kTimeCodeDropFrame = 1;

int BcdUnits(uint8_t b) { return b >> 4; }

// The picture's presentation time in frames of the video rate: the time
// codes of two pictures differ by the difference of their counts.
int64_t CountAt(const MTS_MovieImportGlobalsRecord* store, int64_t pts) {
  return mts_import::RoundHalfAway(static_cast<double>(pts) * store->timeScale / (90000.0 * store->frameDuration));
}
// The count of the reported PES, when it has a stamp and the rate is known.
bool PictureCount(const MTS_MovieImportGlobalsRecord* store, int64_t* count) {
  const TSDemuxOutput* out = store->pTSInfo;
  if (!out->bPTS || store->timeScale <= 0 || store->frameDuration <= 0) return false;
  *count = CountAt(store, out->PTS);
  return true;
}

// The frame number of the time code in the camera's user data `packs`.
int32_t TimeCodeFrame(const MTS_MovieImportGlobalsRecord* store, const uint8_t* packs, SInt32* frameNumber) {
  TimeCodeRecord timeCode{};
  timeCode.t.frames = static_cast<uint8_t>(BcdUnits(packs[0]) + ((packs[0] & 0x0C) >> 2) * 10);
  timeCode.t.seconds = static_cast<uint8_t>(BcdUnits(packs[1]) + ((packs[1] & 0x0E) >> 1) * 10);
  timeCode.t.minutes = static_cast<uint8_t>(BcdUnits(packs[2]) + ((packs[2] & 0x0E) >> 1) * 10);
  timeCode.t.hours = static_cast<uint8_t>(BcdUnits(packs[3]) + ((packs[3] & 0x0C) >> 2) * 10);
  const int32_t e = TCTimeCodeToFrameNumber(GetMediaHandler(store->timecodeMedia), &store->timecodeDef, &timeCode,
                                            frameNumber);
  if (e != 0)
    MTS_LOG("[ERR]failed to TCTimeCodeToFrameNumber(%02d:%02d:%02d:%02d). err=%d\n", timeCode.t.hours,
            timeCode.t.minutes, timeCode.t.seconds, timeCode.t.frames, e);
  return e;
}

} // namespace

bool mts_import::TimeCodeRunsOn(const MTS_MovieImportGlobalsRecord* store, int64_t pts) {
  if (!store->isCamera || !store->timecodeMedia || !store->tcAnchorValid || store->timeScale <= 0 ||
      store->frameDuration <= 0)
    return false;
  const TSDemuxOutput* out = store->pTSInfo;
  VideoUserData userData{};
  SInt32 frameNumber = 0;
  if (AVCHDGetVideoUserDataLib(&userData, out->pVideo, out->videoSize) != 0 || !userData.valid ||
      TimeCodeFrame(store, userData.packs, &frameNumber) != 0)
    return false;
  return frameNumber - CountAt(store, pts) == store->tcAnchor;
}

OSErr MTS_create_timecode_track(MTS_MovieImportGlobalsRecord* store) {
  if (store->timecodeDescription) {
    DisposeHandle(store->timecodeDescription);
    store->timecodeDescription = nullptr;
  }
  store->timecodeDescription = NewHandleClear(sizeof(TimeCodeDescription));
  if (!store->timecodeDescription) {
    const OSErr err = mts_import::AllocationError();
    MTS_LOG("[ERR]failed to NewHandleClear. err=%d\n", err);
    return err;
  }
  const TSDemuxOutput* out = store->pTSInfo;
  VideoUserData userData{};
  if (AVCHDGetVideoUserDataLib(&userData, out->pVideo, out->videoSize) != 0) {
    // The camera flag was read from this very PES a moment ago, so its user
    // data is there: the call fails now only for want of scratch memory, and
    // the movie would lose its time codes without a word.
    MTS_LOG("[ERR]failed to AVCHDGetVideoUserDataLib: out of memory\n");
    MTS_SayOutOfMemory("the time code track");
    return memFullErr;
  }
  // Frames per second, rounded up, as the definition's one byte holds them;
  // a rate that does not fit gets no timecode track.
  const uint32_t frameDuration = static_cast<uint32_t>(store->frameDuration);
  const double framesPerSecond =
      frameDuration == 0 ? 0.0 : std::ceil(static_cast<double>(static_cast<uint32_t>(store->timeScale)) / frameDuration);
  if (framesPerSecond < 1.0 || framesPerSecond > 255.0) return noErr;

  // In the media's units, as the video's table.
  OSErr err =
      static_cast<OSErr>(QTSampleTableCreateMutable(nullptr, store->timeScale, nullptr, &store->timecodeSampleTable));
  if (err != noErr) {
    MTS_LOG("[ERR]failed to QTSampleTableCreateMutable. err=%d\n", err);
    return err;
  }
  store->timecodeTrack = NewMovieTrack(store->theMovie, Long2Fix(store->width), Long2Fix(store->height), 0);
  err = GetMoviesError();
  if (err != noErr) {
    MTS_LOG("[ERR]failed to NewMovieTrack. err=%d\n", err);
    return err;
  }
  store->timecodeMedia = NewTrackMedia(store->timecodeTrack, FOUR_CHAR_CODE("tmcd"), store->timeScale,
                                       store->timecodeDataRef, store->dataRefType);
  err = GetMoviesError();
  if (err == noErr && !store->timecodeMedia) err = invalidMedia;
  if (err != noErr) {
    MTS_LOG("[ERR]failed to NewTrackMedia. err=%d\n", err);
    return err;
  }
  SetTrackEnabled(store->timecodeTrack, kTrue);

  TimeCodeDef& def = store->timecodeDef;
  def.flags = kTimeCode24HourMax | ((userData.packs[0] & 0x02) ? kTimeCodeDropFrame : 0);
  def.fTimeScale = store->timeScale;
  def.frameDuration = store->frameDuration;
  def.numFrames = static_cast<uint8_t>(framesPerSecond);
  def.padding = 0;

  TimeCodeDescription* desc = reinterpret_cast<TimeCodeDescription*>(*store->timecodeDescription);
  desc->descSize = sizeof(TimeCodeDescription);
  desc->dataFormat = FOUR_CHAR_CODE("tmcd");
  desc->flags = 0;
  desc->timeCodeDef = def;
  desc->srcRef[0] = 0;
  return static_cast<OSErr>(QTSampleTableAddSampleDescription(
      store->timecodeSampleTable, reinterpret_cast<SampleDescriptionHandle>(store->timecodeDescription), 0,
      &store->timecodeDescriptionID));
}

int32_t MTS_add_timecode_sample(MTS_MovieImportGlobalsRecord* store) {
  const TSDemuxOutput* out = store->pTSInfo;
  VideoUserData userData{};
  SInt32 frameNumber = 0;
  bool known = false;
  int32_t r = AVCHDGetVideoUserDataLib(&userData, out->pVideo, out->videoSize);
  if (r != 0) {
    MTS_LOG("[ERR]AVCHDGetVideoUserDataLib(pVideoBuf=%p, lVideoValid=%d. err=%d\n", static_cast<void*>(out->pVideo),
            out->videoSize, r);
  } else {
    known = TimeCodeFrame(store, userData.packs, &frameNumber) == 0;
  }
  // A picture without a readable time code takes the one that follows from
  // its neighbours in display order, so that the time codes stay one per
  // picture and in step with the video.
  int64_t count = 0;
  const bool timed = PictureCount(store, &count);
  if (known && timed) {
    store->tcAnchor = static_cast<int32_t>(frameNumber - count);
    if (!store->tcAnchorValid) {
      // The pictures before the first readable one, counted back from it.
      if (store->tcList) {
        for (auto it = store->tcList->end() - store->tcPending; it != store->tcList->end(); ++it)
          *it = static_cast<int32_t>(int64_t(*it) + store->tcAnchor);
      }
      store->tcPending = 0;
      store->tcAnchorValid = 1;
    }
  } else if (!known) {
    if (!timed) {
      MTS_LOG("[ERR]no time code for a picture without time stamp\n");
      return 0;
    }
    frameNumber = static_cast<SInt32>(store->tcAnchorValid ? store->tcAnchor + count : count);
  } else if (store->tcPending > 0) {
    // Read but untimed while earlier pictures still wait for a time code:
    // it cannot be placed among them.
    MTS_LOG("[ERR]no time stamp for a picture among pictures without time code\n");
    return 0;
  }
  int32_t pushed = MTS_PushTCSample(store, frameNumber);
  if (pushed != 0) {
    MTS_LOG("[ERR]\n");
    return pushed;
  }
  if (!known && !store->tcAnchorValid) ++store->tcPending;
  return 0;
}

int32_t MTS_NewTCList(MTS_MovieImportGlobalsRecord* store) {
  auto* list = new (std::nothrow) std::vector<int32_t>();
  if (!list) {
    MTS_LOG("[ERR]new std::vector<SInt32>. memory allocation error.\n");
    return 1;
  }
  MTS_ClearTCList(store);
  store->tcList = list;
  store->tcAnchorValid = 0;
  store->tcAnchor = 0;
  store->tcPending = 0;
  return 0;
}

int32_t MTS_PushTCSample(MTS_MovieImportGlobalsRecord* store, int32_t frameNumber) {
  if (!store->tcList) {
    MTS_LOG("[ERR]NO table. store=%p, store->tcList=%p, theMediaSample=%d\n", static_cast<void*>(store),
            static_cast<void*>(store->tcList), frameNumber);
    return 1;
  }
  try {
    store->tcList->push_back(frameNumber);
  } catch (const std::bad_alloc&) {
    MTS_LOG("[ERR]memory allocation error. store=%p, store->tcList=%p, theMediaSample=%d\n",
            static_cast<void*>(store), static_cast<void*>(store->tcList), frameNumber);
    return 1;
  }
  return 0;
}

int32_t MTS_FlushTCList(MTS_MovieImportGlobalsRecord* store) {
  if (!store->tcList || store->tcList->size() <= static_cast<size_t>(store->tcPending)) return 0;
  std::vector<int32_t>& list = *store->tcList;
  // Pictures still waiting for a time code stay in the list.
  const auto ready = list.end() - store->tcPending;
  std::sort(list.begin(), ready);
  int32_t result = 0;
  int32_t added = 0;
  for (auto it = list.begin(); it != ready; ++it) {
    const int32_t v = *it;
    result = MTS_AddFrameOffset(store->pARec, store->pRec, store->qt_offset, v);
    if (result != 0) {
      MTS_LOG("[ERR]\n");
      continue;
    }
    result = QTSampleTableAddSampleReferences(store->timecodeSampleTable, store->qt_offset, 4, store->frameDuration, 0,
                                              1, 0, store->timecodeDescriptionID, nullptr);
    if (result != 0) {
      MTS_LOG("[ERR]QTSampleTableAddSampleReferences(theMediaSample=%d, qt_offset=%lld, duration=%lld). err=%d\n", v,
              static_cast<long long>(store->qt_offset), static_cast<long long>(store->frameDuration), result);
      continue;
    }
    store->qt_offset += 4;
    ++added;
  }
  if (added > 0) {
    result = AddSampleTableToMedia(store->timecodeMedia, store->timecodeSampleTable, store->timecodeSampleNum, added,
                                   nullptr);
    if (result == 0) {
      store->timecodeSampleNum += added;
    } else {
      MTS_LOG("[ERR]AddSampleTableToMedia(sampleTableNum=%d, qt_offset=%lld). err=%d\n", added,
              static_cast<long long>(store->qt_offset), result);
    }
  }
  list.erase(list.begin(), ready);
  return result;
}

int32_t MTS_ClearTCList(MTS_MovieImportGlobalsRecord* store) {
  delete store->tcList;
  store->tcList = nullptr;
  return 0;
}

OSErr MTS_create_PtrToHand(uint32_t first, uint32_t second, Handle* out) {
  const uint32_t words[2] = {first, second};
  return PtrToHand(words, out, sizeof words);
}
