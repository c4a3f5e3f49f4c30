// Loss that only the inside of one part of a recording shows: each part is
// judged by its own time stamps, continuity counters and picture order, and
// at the seam where it begins. The join code carries the time lines across
// seams; the checks here keep what it would take for a join from hiding a
// loss, and tell what a part that cannot be decoded, or a recording cut at
// its start, leaves out.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "MTS_ImportParts.h"
#include "MTS_MovieImport.h"

namespace mts_import {

namespace {

// Sound may start this far after a part's first picture without loss
// (stamps rounded by a remultiplexer).
constexpr int64_t kLargestLead = 90;  // 1 ms

// A damaged time stamp moves the line out at its PES and back, about as
// far, at the next.
constexpr int64_t kLargestReturn = 4 * 3600;  // four frames at 25 Hz

// Whether the picture just added is an intra picture: adding one starts the
// count of samples since the last intra picture anew.
bool AddedIntraPicture(const MTS_MovieImportGlobalsRecord* store) {
  return store->intraCount > 0 && store->intraSamples[0] == 1;
}

// Ends the held seam once sound has settled it, and with it the seams held
// before it: taken back, their time is no loss; kept, it stays counted (the
// latest seam's own time is taken back by the caller).
void EndHeldSeams(MTS_MovieImportGlobalsRecord* store, bool takeBack) {
  if (takeBack) store->videoLostTicks -= store->earlierSeamsCounted;
  store->earlierSeamsCounted = 0;
  store->videoSeamAt = -1;
  store->videoSeamLost = store->videoSeamCounted = 0;
}

// A seam that every stream shows: read as a join, whose steps lose
// nothing (the sound's, when it stepped ahead there).
// When the sound steps at its first PES beyond the video's seam
// (`soundPES`), a part begins at the video's seam after all, and the video's
// step leaves its line as at a join.
void TakeBackSeam(MTS_MovieImportGlobalsRecord* store, bool soundStepped, bool soundPES = false) {
  const int64_t videoLost = store->videoSeamLost;
  store->videoLostTicks -= store->videoSeamCounted;
  EndHeldSeams(store, true);
  if (!soundStepped) return;
  store->soundLostTicks -= store->parts.soundLostAtSeam;
  store->soundStepAt = -1;
  if (soundPES) {
    PartBeginsAtTakenBackStep(store, videoLost);
    return;
  }
  // The sound stepped over more than this seam's pictures (a part without
  // sound lay between): run on, it would play ahead of them by that part's
  // own step; it goes beside them by its stamps instead.
  const int64_t apart = store->parts.soundLostAtSeam - videoLost;
  store->parts.soundLostAtSeam = 0;
  // Among pictures left out for their size the video's line is what places
  // the parts after: the step leaves it, as the track's own pictures would
  // run on in their media.
  // Nor does it run on where no sound was placed yet (the sound before lay
  // wholly ahead of its part's first picture): the part's sound would play
  // from the track's start, and the sound that comes later would find no
  // line to follow.
  const bool runsOn = apart <= kLargestReturn && store->soundAnchored;
  if (store->videoLeftOut) PartStepLeavesLeftOutLine(store, runsOn);
  if (!runsOn) {
    PartSoundBesideVideo(store);
    return;
  }
  store->parts.sound.state = SeamSide::kClosed;
}

} // namespace

void ResetLossChecks(MTS_MovieImportGlobalsRecord* store) {
  store->soundStepAt = -1;
  store->videoPartUndecodable = 0;
  store->videoSeamLost = store->videoSeamCounted = 0;
  store->videoSeamAt = -1;
  store->earlierSeamsCounted = 0;
  store->videoSinceSound = store->videoSeamQuietFrom = -1;
  store->headPicturesLeftOut = 0;
  store->headEarliestPTS = store->soundEarliestPTS = store->firstPicturePTS = 0;
  store->soundEarliestSeen = store->firstPictureSeen = 0;
  store->leftOutSoundSeen = 0;
  store->leftOutSoundKey = store->leftOutSoundStep = 0;
  store->leftOutSoundStepAt = -1;
  store->soundPESTicks = store->partSoundHeadPTS = 0;
  store->partSoundHeadPending = 0;
  store->partSoundJudged = 0;
  store->soundHeadLostTicks = 0;
  store->headlessPart = 0;
  store->headlessPictures = 0;
  store->headlessShift = store->judgedShift = 0;
  store->leftOutHeadless = 0;
  store->headLostAfterLeftOut = 0;
  store->leftOutSinceHeadLost = 0;
  store->videoLostAtHeadLost = 0;
  store->soundMovedAt = -1;
}

namespace {

// The first sound of a part that begins at a seam (`soundPTS`, on the
// continued line) against the part's first picture: a camera starts its
// sound with its pictures, and a part cut from the middle of a recording
// starts it ahead of them (the sound is multiplexed ahead), so sound that
// begins more than half a sound PES after the part's first picture lost
// its first PES. The time from the picture to that sound is lost.
void JudgeSoundHead(MTS_MovieImportGlobalsRecord* store, int64_t soundPTS) {
  // Once a part: a part that runs on without a step may close its seam
  // again at a later sound PES.
  if (!store->parts.partPictureSeen || store->soundPESTicks <= 0 || store->parts.begun < 2 ||
      store->partSoundJudged == store->parts.begun)
    return;
  store->partSoundJudged = store->parts.begun;
  // One PES lost leaves at most its own length. Sound further off, or
  // beyond the pictures read so far, is not this part's head (a later
  // part's sound met before its pictures).
  const int64_t gap = soundPTS - store->parts.partPicturePTS;
  if (gap > kLargestLead && 2 * gap > store->soundPESTicks && gap <= store->soundPESTicks &&
      soundPTS < store->parts.videoLineEnd) {
    store->soundLostTicks += gap;
    store->soundHeadLostTicks += gap;
  }
}

} // namespace

void NotePartPicture(MTS_MovieImportGlobalsRecord* store, bool toPlaceBefore) {
  // The part's sound came before its first picture in the file: the video
  // closed the seam, and the sound's first PES is known.
  if (!toPlaceBefore && store->parts.soundToPlace && !store->soundLeavingOut)
    JudgeSoundHead(store, store->parts.soundSeamPTS);
}

void NotePartSound(MTS_MovieImportGlobalsRecord* store, bool toPlaceBefore) {
  // Sound of an earlier part, reported only after the latest part's first
  // picture, lies before that part's tables: judged against that picture, it
  // would pass for the latest part's head, and the head still to come (a
  // part's sound judged once) would go unjudged.
  store->partSoundHeadPending = !toPlaceBefore && store->parts.soundToPlace && !store->parts.soundOfEarlierPart;
  store->partSoundHeadPTS = store->parts.soundSeamPTS;
}

void NoteSoundAfterLeftOut(MTS_MovieImportGlobalsRecord* store, int64_t pts) {
  // No seam of the sound's own placed it (the audio left out carried its
  // line), yet it is the first of its part's sound in the track: its head
  // is judged once its length is known, as a part's at a seam is.
  store->partSoundHeadPending = 1;
  store->partSoundHeadPTS = pts;
}

void JudgePartSoundHead(MTS_MovieImportGlobalsRecord* store, int64_t mediaBefore, bool leftOut) {
  const bool pending = store->partSoundHeadPending;
  store->partSoundHeadPending = 0;
  if (leftOut || !store->soundMedia || store->soundSampleRate <= 0) return;
  const int64_t frames = GetMediaDisplayDuration(store->soundMedia) - mediaBefore;
  if (frames <= 0) return;
  store->soundPESTicks = frames * 90000 / store->soundSampleRate;
  if (pending) JudgeSoundHead(store, store->partSoundHeadPTS);
}

// Sound that steps ahead is held as lost until the video tells whether
// another recording begins there: remember where that sound was read.
void NoteSoundStep(MTS_MovieImportGlobalsRecord* store, bool pendingBefore, int64_t pesAt) {
  // Opened by this PES: no side was open before, or one held open from an
  // earlier step gave way to it.
  if (!store->soundLeavingOut) store->videoSinceSound = 0;
  const bool stepped = (!pendingBefore || store->parts.sound.pesAt == pesAt) &&
                       store->parts.sound.state == SeamSide::kOpen && store->parts.soundLostAtSeam > 0;
  if (stepped) store->soundStepAt = pesAt;
  // The first sound PES beyond a video seam after the recording's own
  // tables: stepping ahead there too, or starting after tables at a break of
  // its counters, it makes the seam one of every stream. Audio being left
  // out for its kind is judged by its own stamps once it is handled.
  if (store->soundLeavingOut || store->videoSeamAt < 0 || pesAt <= store->videoSeamAt) return;
  constexpr uint32_t kBegins = kTSStartAfterTables | kTSStartAtBreak;
  // The movie's first sound, there: the pictures before had none, and the
  // part's sound begins with it, as a recording's does (also where it went
  // beside the pictures of a part begun before the seam, whose side no sound
  // had met).
  const bool firstSound = (store->parts.sound.state == SeamSide::kBegun && store->parts.sound.begins) ||
                          pesAt + kMTSPacketSize == store->parts.firstSoundAt;
  if (stepped || firstSound) {
    if (PartRecordingBegunAfter(store, store->videoSeamAt)) {
      // It stepped past the seam's part, which has no sound, into a later
      // recording whose first picture began in the file before it (and is
      // reported only once that recording's next picture begins): the seam
      // is a join all the same, and its part begins there; the sound's step
      // is the later recording's seam and waits for its pictures.
      const int64_t videoLost = store->videoSeamLost;
      TakeBackSeam(store, false);
      PartBeginsAtTakenBackStep(store, videoLost, false, true);
    } else {
      TakeBackSeam(store, true, true);
    }
  } else if ((TSDemuxReportedStartLib(store->tsDemux) & kBegins) == kBegins) {
    TakeBackSeam(store, false);
  }
  EndHeldSeams(store, false);
}

// The first sound PES of the track beyond a video step read as a join by
// how far the part's tables lie apart: another recording's sound steps or
// restarts there too, or none comes. Sound that runs straight on across it
// (from sound begun before the step's PES) shows one recording going on,
// whose PES were lost between two of its tables: that time is told after
// all. Sound that began anew beyond that PES and runs on from there is the
// next part's own. Across a step read as a join for the video's counter
// breaking after those tables, only sound that ran on by exactly its own
// step from before it crossed it.
void NoteSoundAcrossTablesJoin(MTS_MovieImportGlobalsRecord* store, bool inOrder, bool exact, int64_t pesAt) {
  ImportParts& parts = store->parts;
  if (inOrder)
    parts.soundOnAt = std::max(parts.soundOnAt, pesAt);
  else
    parts.soundRunAt = std::max(parts.soundRunAt, pesAt);
  if (!exact) parts.soundOffStepAt = std::max(parts.soundOffStepAt, pesAt);
  if (parts.tablesJoinAt < 0 || pesAt <= parts.tablesJoinAt) return;
  const bool across = parts.tablesJoinAtBreak ? parts.soundOffStepAt < parts.tablesJoinAt
                                              : inOrder && parts.soundRunAt < parts.tablesJoinAt;
  if (across) store->videoLostTicks += parts.tablesJoinLost;
  parts.tablesJoinAt = -1;
  parts.tablesJoinLost = 0;
  parts.tablesJoinAtBreak = 0;
}

// Audio left out for its kind steps ahead (its stamps skip more than half
// a PES again) where its stream has a seam as the track's sound would: a
// video seam after the recording's own tables read before it, or one read
// after it, is every stream's, as where another recording begins.
void NoteLeftOutSoundStep(MTS_MovieImportGlobalsRecord* store, bool leftOut, int64_t key, uint32_t marks,
                          int64_t pesAt) {
  constexpr uint32_t kBegins = kTSStartAfterTables | kTSStartAtBreak;
  if (!leftOut || key == kNoSoundKey) {
    // The track's sound taken up again after audio left out was passed by
    // where the sound's steps are judged (it was not known yet whether it
    // would be left out too). Its kind changed, so another recording began:
    // starting after program tables beyond a video seam, it makes that seam
    // every stream's, whatever its counters did.
    const bool resumes = !leftOut && store->leftOutSoundSeen;
    store->leftOutSoundSeen = 0;
    if (!resumes || store->videoSeamAt < 0 || pesAt <= store->videoSeamAt) return;
    if (marks & kTSStartAfterTables) {
      TakeBackSeam(store, false);
      // That sound, waiting for its part's first picture, meets it here: the
      // seam's picture, read before it.
      if (store->parts.sound.state == SeamSide::kBegun && store->parts.soundBegunAfterLeftOut)
        PartSoundBesideVideo(store);
    }
    EndHeldSeams(store, false);
    return;
  }
  constexpr int64_t kLargestStep = 90000;
  // The audio before was of the track's kind: a stretch of another kind
  // begins here (audio before any track is made is all left out).
  const bool stretchBegins = !store->leftOutSoundSeen && store->soundMedia;
  const int64_t delta = key - store->leftOutSoundKey;
  const bool steps = store->leftOutSoundSeen && delta > 0 && delta <= kLargestStep;
  // Stamps that go back or leap ahead by more than a second restart the
  // line, as the track's sound would: a seam as surely as a step.
  const bool restarts = store->leftOutSoundSeen && (delta < 0 || delta > kLargestStep);
  const bool stepped =
      restarts || (steps && store->leftOutSoundStep > 0 && 2 * delta > 3 * store->leftOutSoundStep);
  // Its stamps running straight on (a step as long as the one before) tell
  // as much across a video step as the track's sound would.
  const bool inOrder = steps && !stepped && store->leftOutSoundStep > 0;
  NoteSoundAcrossTablesJoin(
      store, inOrder, inOrder && std::abs(delta - store->leftOutSoundStep) <= 1 && !(marks & kTSStartAtBreak), pesAt);
  // A step shorter than the one known is sound begun under the PES before
  // (another recording's, at a seam), not the length of its PES: kept to,
  // it would read every whole step after it as a step ahead.
  const bool under = steps && store->leftOutSoundStep > 0 && delta + 2 < store->leftOutSoundStep;
  if (steps && !stepped && !under) store->leftOutSoundStep = delta;
  if (!store->leftOutSoundSeen || !steps) store->leftOutSoundStep = 0;
  store->leftOutSoundSeen = 1;
  store->leftOutSoundKey = key;
  // Audio that starts after tables in another kind than the sound before it
  // is another recording's, as a step is.
  const bool otherRecording = stretchBegins && (marks & kTSStartAfterTables);
  // The movie's first sound: beyond a video seam the pictures before it had
  // none, and this is the next recording's sound, whatever its kind.
  const bool firstSound = pesAt + kMTSPacketSize == store->parts.firstSoundAt;
  if (stepped || otherRecording || firstSound) store->leftOutSoundStepAt = pesAt;
  if (store->videoSeamAt < 0 || pesAt <= store->videoSeamAt) return;
  if (stepped || (marks & kBegins) == kBegins || otherRecording || firstSound) TakeBackSeam(store, false);
  EndHeldSeams(store, false);
}

// A video PES that begins beyond the sound that stepped ahead, and begins
// no recording (no program tables before it, or only tables read since
// that sound began, which begin what follows it, where that sound did not
// itself start after another recording's tables), shows that the step lay
// inside the part: the sound PES between were lost, and no later join may
// take that time back.
void KeepSoundStepLost(MTS_MovieImportGlobalsRecord* store, int64_t pesAt, uint32_t marks) {
  if (store->leftOutSoundStepAt >= 0 && pesAt > store->leftOutSoundStepAt && !(marks & kTSStartAfterTables))
    store->leftOutSoundStepAt = -1;
  if (store->parts.sound.state != SeamSide::kOpen || store->parts.soundLostAtSeam <= 0 || store->soundStepAt < 0 ||
      pesAt <= store->soundStepAt)
    return;
  // The tables read last before this PES: a PES is reported once the next
  // video PES begins, but the file's last one once the file ends.
  const ImportParts& parts = store->parts;
  const int64_t tables = parts.tablesBeforeVideo <= pesAt ? parts.tablesBeforeVideo : parts.tablesBeforeReportedVideo;
  if ((marks & kTSStartAfterTables) && (tables <= store->soundStepAt || parts.soundStepAfterOthersTables)) return;
  store->parts.sound.state = SeamSide::kClosed;
  store->parts.soundLostAtSeam = 0;
  store->soundStepAt = -1;
}

// A video PES whose step ahead was counted lost although it starts after
// program tables: the tables ran on, so it was not read as a join. Its
// counter may break there or happen to follow the PES before (whole PES
// taken out between; LPCM sound, six packets a PES and eight PES a
// picture, always runs on so). The sound tells: stepping ahead at the
// same seam (a step still open, which no video PES read since lies beyond,
// or at its first PES beyond the seam), it makes the seam a join's after
// all.
void NoteVideoSeam(MTS_MovieImportGlobalsRecord* store, int64_t lostBefore, uint32_t marks, int64_t pesAt) {
  constexpr uint32_t kSeam = kTSStartAfterTables | kTSStartTablesRunOn;
  if ((marks & kSeam) != kSeam || store->videoLostTicks <= lostBefore) return;
  // Only a PES that begins a coded sequence can begin another recording:
  // after tables, a picture of a group begun earlier lost the PES before.
  const TSDemuxOutput* out = store->pTSInfo;
  if (!PartBeginsWith(marks, out->pVideo, out->videoSize)) return;
  // A seam still held (parts without sound in a row: no sound read beyond
  // it yet) waits on beside this one, to be settled with it.
  if (store->videoSeamAt >= 0) store->earlierSeamsCounted += store->videoSeamCounted;
  store->videoSeamLost = store->videoSeamCounted = store->videoLostTicks - lostBefore;
  store->videoSeamAt = pesAt;
  // Sound of the track read with the picture before (a camera multiplexes
  // it a little ahead of its pictures).
  constexpr int32_t kSoundJustBefore = 2;
  store->videoSeamQuietFrom =
      store->videoSinceSound >= 0 && store->videoSinceSound <= kSoundJustBefore ? store->videoSinceSound : -1;
  PartSeamPicture(store, store->videoSeamLost);
  if (store->parts.sound.state == SeamSide::kOpen && store->parts.soundLostAtSeam > 0 && store->soundStepAt >= 0) {
    TakeBackSeam(store, true);
  } else if (store->leftOutSoundStepAt >= 0) {
    TakeBackSeam(store, false);
    store->leftOutSoundStepAt = -1;
    // The PES begins another recording: its sound of the track's kind, read
    // later, meets the video's side here, as at a join read at once.
    PartVideoSideOfTakenBackSeam(store);
  } else if (store->parts.sound.state == SeamSide::kBegun && store->parts.soundBegunAfterLeftOut &&
             store->parts.sound.pesAt > pesAt) {
    // Sound of the track's kind began after audio of another kind, after
    // tables, within this PES (read before it was complete): another
    // recording's sound, so the seam is every stream's.
    TakeBackSeam(store, false);
  } else if (store->soundMovedAt >= pesAt) {
    // The sound moved its line at a PES read from within this one (met
    // before it was complete): the seam is every stream's. A side the
    // sound left open there (its move met no video side: the video's step
    // was held as lost until now) closes onto this part, which begins here.
    const bool soundSideOpen = store->parts.sound.state == SeamSide::kOpen &&
                               store->parts.soundLostAtSeam == 0 && store->parts.sound.pesAt >= pesAt;
    const int64_t videoLost = store->videoSeamLost;
    TakeBackSeam(store, false);
    if (soundSideOpen) PartBeginsAtTakenBackStep(store, videoLost, true);
  }
}

void NoteVideoSeamTaken(MTS_MovieImportGlobalsRecord* store, int64_t pesAt, bool leftOut) {
  if (store->videoSeamAt != pesAt || !leftOut) return;
  // Nothing of its step is counted any more: taking the seam back later
  // must not take that time off losses counted elsewhere. The part it
  // begins has no pictures in the track, so only its stamps place it.
  store->videoSeamCounted = 0;
  store->parts.seamPictureLeftOut = 1;
}

void NoteVideoAfterSeam(MTS_MovieImportGlobalsRecord* store, bool atEnd) {
  if (store->videoSinceSound >= 0 && store->videoSinceSound < INT32_MAX && !atEnd) ++store->videoSinceSound;
  // Sound read after the seam cleared it; sound read before the seam came
  // from the recording whose pictures end there.
  if (store->videoSeamAt < 0 || store->videoSeamQuietFrom < 0) return;
  // A camera interleaves its sound with every few pictures, even right
  // after a loss: six pictures without any is no stretch of one recording.
  constexpr int32_t kQuietPictures = 6;
  if (!atEnd && store->videoSinceSound - store->videoSeamQuietFrom <= kQuietPictures) return;
  TakeBackSeam(store, false);
  store->videoSeamQuietFrom = -1;
}

// Two recordings' program tables before this picture with no picture
// between them: the recording in the middle lost every picture it held
// (a camera writes none without one), at least one frame's time. Where
// the tables of this picture's recording ran on from those before, only
// the sound tells: a recording whose tables were followed by sound, then
// by these tables and this picture beginning a coded sequence, lost its
// pictures when the sound after these tables is of another kind.
void NoteEmptyRecording(MTS_MovieImportGlobalsRecord* store, uint32_t marks, bool afterSoundOnly) {
  constexpr uint32_t kEmpty = kTSStartAfterTables | kTSStartPastEmptyRecording;
  const TSDemuxOutput* out = store->pTSInfo;
  const bool empty = (marks & kEmpty) == kEmpty;
  if (empty) store->videoLostTicks += VideoFrameTicks(store);
  if (afterSoundOnly) PartVideoAfterSoundOnly(store, !empty && PartBeginsWith(marks, out->pVideo, out->videoSize));
}

bool BeginsRecording(const MTS_MovieImportGlobalsRecord* store, uint32_t marks, bool added) {
  const uint32_t seam = kTSStartAfterTables | kTSStartAtBreak;
  if ((marks & seam) != seam) return false;
  // Tables whose counters ran on may still open another recording (a join
  // whose parts' PAT counters happen to follow on): a picture that starts a
  // coded sequence afresh, its parameter sets and an IDR picture, tells so;
  // any other picture after them continues the recording the PES was cut in.
  if (marks & kTSStartTablesRunOn) {
    const TSDemuxOutput* out = store->pTSInfo;
    return added && PartBeginsWith(marks, out->pVideo, out->videoSize);
  }
  return added ? AddedIntraPicture(store) : store->videoLeftOut != 0;
}

void NoteHeadPicture(MTS_MovieImportGlobalsRecord* store) {
  const TSDemuxOutput* out = store->pTSInfo;
  ++store->headPicturesLeftOut;
  if (out->bPTS && (store->headPicturesLeftOut == 1 || out->PTS < store->headEarliestPTS))
    store->headEarliestPTS = out->PTS;
}

void NoteSoundTime(MTS_MovieImportGlobalsRecord* store) {
  const TSDemuxOutput* out = store->pTSInfo;
  if (!out->bPTS || store->soundEndEstimated) return;
  if (!store->soundEarliestSeen || out->PTS < store->soundEarliestPTS) store->soundEarliestPTS = out->PTS;
  store->soundEarliestSeen = 1;
}

// A part that begins at a seam (the time line restarted where the video's
// counters broke) with a picture other than an intra picture lacks the IDR
// picture and parameter sets it was coded from: its pictures up to its next
// intra picture refer to pictures never received, and count as incomplete.
void JudgeVideoPart(MTS_MovieImportGlobalsRecord* store, bool added, bool restarted, uint32_t marks, bool counted,
                    bool brokeInLine) {
  if (!added) return;
  if (!store->firstPictureSeen) {
    store->firstPictureSeen = 1;
    store->firstPicturePTS = store->pTSInfo->bPTS ? store->pTSInfo->PTS : 0;
  }
  const bool intra = AddedIntraPicture(store);
  // A restart without tables before it and without a break of the counters
  // (those of a lost head may happen to run on) at a picture other than an
  // intra picture: a part without its head when the line stays there, a
  // damaged time stamp when the next PES moves the line back.
  const int64_t back = store->videoTimeShift - store->headlessShift;
  const bool returned = restarted && back <= kLargestReturn && -back <= kLargestReturn;
  // Tables whose counters run on are the recording's own, repeated: they
  // begin nothing, so a restart just after them is judged as without tables.
  const bool ownTables = (marks & kTSStartAfterTables) && (marks & kTSStartTablesRunOn);
  const bool beginsAfterTables = (marks & kTSStartAfterTables) && !ownTables;
  if (store->headlessPart) {
    if (!restarted && !intra) {
      store->videoDamagedPictures += store->headlessPictures;
      store->videoPartUndecodable = 1;
    } else if ((restarted && !returned) || (intra && beginsAfterTables)) {
      // Another recording's tables follow, or the line moves on again (not
      // back to where it ran before those pictures): they were a part of
      // their own whose head went with its tables, its counters running on
      // by chance.
      store->videoDamagedPictures += store->headlessPictures;
    }
    store->headlessPart = 0;
  }
  // Another recording's tables begin a part as a break does (the video's
  // counter may run on across a loss by chance): a recording begins with an
  // intra picture, so a part that begins with any other lost its head.
  if (restarted && ((marks & kTSStartAtBreak) || beginsAfterTables))
    store->videoPartUndecodable = !intra;
  // A break of the counter where the line runs on, the PES before whole (not
  // counted damaged), at a picture other than an intra picture: the PES lost
  // there carried no picture of this line (its time would show), so this
  // picture is of another recording, whose head was lost with its tables.
  else if (!restarted && brokeInLine && !intra && !counted)
    store->videoPartUndecodable = 1;
  else if (store->videoPartUndecodable && intra)
    store->videoPartUndecodable = 0;
  if (store->videoPartUndecodable && !counted) ++store->videoDamagedPictures;
  if (restarted && !returned && !(marks & kTSStartAtBreak) && !beginsAfterTables && !intra &&
      !store->videoPartUndecodable) {
    store->headlessPart = 1;
    store->headlessPictures = 0;
  }
  if (restarted) store->headlessShift = store->judgedShift;
  store->judgedShift = store->videoTimeShift;
  if (store->headlessPart && !counted) ++store->headlessPictures;
}

void JudgeLeftOutPart(MTS_MovieImportGlobalsRecord* store, bool broke) {
  if (!store->videoLeftOut) {
    store->leftOutHeadless = 0;
    return;
  }
  if (!broke && !store->leftOutHeadless) return;
  const bool intra = PartVideoBeginsIntra(store);
  if (broke)
    store->leftOutHeadless = !intra;
  else if (intra)
    store->leftOutHeadless = 0;
  if (store->leftOutHeadless) store->videoLostTicks += VideoFrameTicks(store);
}

// A recording whose first pictures could not be imported (its head cut off
// with the parameter sets and IDR picture the next pictures need): the time
// from the earliest time stamp read to the first picture imported is left
// out of the video, and the sound before that picture out of the sound.
int64_t FinishLossChecks(MTS_MovieImportGlobalsRecord* store) {
  // Pictures after a restart at other than an intra picture that the file
  // ends with: no later PES moved the line back to show a damaged time
  // stamp, so they are a part without its head.
  if (store->headlessPart) {
    store->videoDamagedPictures += store->headlessPictures;
    store->headlessPart = 0;
  }
  // A PES whose head was lost after pictures left out, the last of the
  // file: its own picture is lost, whichever part it began. Pictures left
  // out after it whose time was counted lost (as a part without its head,
  // or by a step of their stamps) told of it already; others (stamps
  // running on from the stretch before, no restart) told nothing.
  if (store->headLostAfterLeftOut) {
    if (store->leftOutSinceHeadLost == 0 || store->videoLostTicks == store->videoLostAtHeadLost)
      store->videoLostTicks += VideoFrameTicks(store);
    store->headLostAfterLeftOut = 0;
  }
  if (store->headPicturesLeftOut <= 0 || !store->firstPictureSeen || store->firstPicturePTS == 0) return 0;
  int64_t earliest = store->headEarliestPTS > 0 ? store->headEarliestPTS : store->firstPicturePTS;
  if (store->soundEarliestSeen) earliest = std::min(earliest, store->soundEarliestPTS);
  const int64_t pictures = int64_t(store->headPicturesLeftOut) * VideoFrameTicks(store);
  store->videoLostTicks += std::max<int64_t>(store->firstPicturePTS - earliest, pictures);
  if (store->soundEarliestSeen && store->soundEarliestPTS < store->firstPicturePTS)
    store->soundLostTicks += store->firstPicturePTS - store->soundEarliestPTS;
  return pictures;
}

} // namespace mts_import
