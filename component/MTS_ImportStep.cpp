// The per-sample import step: reads the stream chunk by chunk with the
// importer's own file handle and gives the demultiplexer one packet at a
// time; a track is made when the first PES of its kind appears, each PES
// goes on to its track builder, and what the builders still hold is written
// out once the file ends. Also here: putting the media added so far into
// the tracks.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"
#include "MTS_SoundFrames.h"

using mts_import::RoundHalfAway;

namespace mts_import {

int64_t UnwrapTimestamp(int64_t reference, int64_t ts) {
  constexpr int64_t kWrap = int64_t(1) << 33;
  if (reference < 0) return ts;
  int64_t diff = ts - reference;
  int64_t k = diff >= 0 ? (diff + kWrap / 2) / kWrap : -((-diff + kWrap / 2 - 1) / kWrap);
  return ts - k * kWrap;
}

void UnwrapReportedTimes(MTS_MovieImportGlobalsRecord* store) {
  TSDemuxOutput* out = store->pTSInfo;
  if (out->bPTS) out->PTS = UnwrapTimestamp(store->wrapReference, out->PTS);
  if (out->bDTS) out->DTS = UnwrapTimestamp(store->wrapReference, out->DTS);
}

int64_t NextChunkLength(const MTS_MovieImportGlobalsRecord* store) {
  const int64_t n = store->fileSize - store->ts_offset;
  // A part packet at the end of the file is read too: the demultiplexer keeps
  // it waiting, and on a file whose packets do not start at 0 it is whole.
  return n >= kMTSChunkSize ? kMTSChunkSize : n;
}

int64_t NextSampleOffset(const MTS_MovieImportGlobalsRecord* store, int64_t offeredEnd) {
  TSDemuxPending pending{};
  if (!TSDemuxGetPendingLib(store->tsDemux, &pending)) return store->ts_offset - kMTSPacketSize;
  // The packet that starts the next PES is the first of the bytes held; a
  // reader restarts one packet before it, or at the packet itself when what
  // lies before it is no packet.
  int64_t offset = offeredEnd - pending.heldBytes;
  if (pending.afterPacket) offset -= kMTSPacketSize;
  return offset > 0 ? offset : 0;
}

int64_t VideoFrameTicks(const MTS_MovieImportGlobalsRecord* store) {
  return store->timeScale > 0 ? int64_t(store->frameDuration) * 90000 / store->timeScale : 0;
}

namespace {

// Time stamps of one stream carried on across a restart: a joined recording
// (or a damaged time stamp) makes them jump back, or forward by more than a
// recording leaves between two PES. From such a jump on, the stream's times
// are shifted so that they continue from the last PES before it.
constexpr int64_t kLargestStep = 90000;  // one second

struct Continuation {
  int64_t* offset;
  int64_t* last;
  int64_t* step;
  uint8_t* seen;
  int64_t* high;
  uint8_t* inOrder;
  KeySpans* spans;
  int64_t* lost;
  int64_t unit;  // how long one PES lasts; 0: as long as the last step
  // Whether a step ahead that would skip PES is a join instead (the time
  // line then restarts as at a jump), given how far a restart would move the
  // line; null: never.
  bool (*joins)(const MTS_MovieImportGlobalsRecord* store, int64_t moved);
  const MTS_MovieImportGlobalsRecord* store;
  // Whether the stream's PES follow each other end to end (sound): one that
  // begins before the one before it ended (`fallbackStep`, how long that one
  // lasted) steps back on the line, as one whose stamps go back does.
  bool endToEnd;
  // Whether a step ahead of `delta` ticks, longer than one PES lasts
  // (`unit`), is a join whose stamps were set to follow the recording before
  // (the time line then restarts as at a jump); null: never.
  bool (*rebases)(const MTS_MovieImportGlobalsRecord* store, int64_t delta, int64_t unit);
  uint8_t* rebased;  // set when the step was such a join
  // How much of the step passes no time on screen (a recording that shows
  // its first picture sooner after its decode than the one before): no PES
  // could have been lost in it.
  int64_t sooner;
};

// Adds `key` to the spans, merging those it joins.
void Cover(KeySpans* s, int64_t key) {
  int n = -1;  // the span that takes the key: the nearest
  int64_t distance = 0;
  for (int i = 0; i < s->count; ++i) {
    const int64_t d = key < s->low[i] ? s->low[i] - key : key > s->high[i] ? key - s->high[i] : 0;
    if (n < 0 || d < distance) {
      n = i;
      distance = d;
    }
  }
  if (n < 0 || (distance > kLargestStep && s->count < KeySpans::kSpans)) {
    s->low[s->count] = s->high[s->count] = key;
    ++s->count;
    return;
  }
  s->low[n] = std::min(s->low[n], key);
  s->high[n] = std::max(s->high[n], key);
  for (int i = 0; i < s->count;) {
    if (i == n || s->low[i] > s->high[n] + kLargestStep || s->high[i] < s->low[n] - kLargestStep) {
      ++i;
      continue;
    }
    s->low[n] = std::min(s->low[n], s->low[i]);
    s->high[n] = std::max(s->high[n], s->high[i]);
    const int last = --s->count;
    s->low[i] = s->low[last];
    s->high[i] = s->high[last];
    if (n == last) n = i;
    i = 0;  // the wider span may meet one already passed
  }
}

// The time the spans cover, from the first time stamp of each to its last.
int64_t Covered(const KeySpans& s) {
  int64_t t = 0;
  for (int i = 0; i < s.count; ++i) t += s.high[i] - s.low[i];
  return t;
}

// How far apart two stamps that rounding alone moved may lie, in ticks.
constexpr int64_t kRounding = 2;

// Whether `delta` ticks pass a whole number of half pictures of `unit`
// ticks, a tick each for rounded stamps.
bool OnHalfPictureGrid(int64_t unit, int64_t delta) {
  const int64_t k = (2 * delta + unit / 2) / unit;
  const int64_t off = 2 * delta - k * unit;
  return off <= k && -off <= k;
}

// Moves `key` (a PTS or DTS already unwrapped) onto the continued time line;
// returns the shift to add to the PES's time stamps, and in *moved how far
// the shift changed. `fallbackStep` stands in for the step until one was
// read (a frame's time; for sound, how long the PES before lasted): the
// second PES may already lie past a lost one.
int64_t Continue(const Continuation& c, int64_t key, int64_t fallbackStep, int64_t* moved) {
  *moved = 0;
  Cover(c.spans, key);
  if (!*c.seen) {
    *c.seen = 1;
    *c.last = key + *c.offset;
    *c.high = key;
    *c.inOrder = 1;
    return *c.offset;
  }
  const int64_t continued = key + *c.offset;
  const int64_t delta = continued - *c.last;
  const int64_t unit = c.unit > 0 ? c.unit : *c.step > 0 ? *c.step : fallbackStep;
  const int64_t gap = key - *c.high;
  const int64_t screenGap = gap - c.sooner;
  // A step beyond the stretch's latest time half again as long as one PES
  // lasts, from a PES that came in order: PES between were lost to damage
  // that the demultiplexer skipped, or another recording begins here.
  // Just after a seam the stretch's own step is not known yet: the step is
  // measured against how long the PES before lasted.
  const int64_t measure = *c.inOrder == kSoundInOrderAtSeam ? fallbackStep : unit;
  const bool skips = delta > 0 && *c.inOrder && measure > 0 && 2 * screenGap > 3 * measure;
  const int64_t step = *c.step > 0 ? *c.step : fallbackStep;
  // One recording's sound never overlaps itself: where a PES begins under
  // the one before (more than its stamps' rounding), another recording's
  // sound begins, its counter run on from that one's.
  const bool under = c.endToEnd && delta > 0 && delta + kRounding < fallbackStep;
  const bool joinsAtSkip = skips && c.joins && c.joins(c.store, step - delta);
  const bool rebased = !joinsAtSkip && c.unit > 0 && delta >= 0 && c.rebases && c.rebases(c.store, delta, c.unit);
  if (c.rebased) *c.rebased = rebased;
  if (delta < 0 || under || delta > kLargestStep || rebased || joinsAtSkip) {
    const int64_t offset = *c.last + step - key;
    *moved = offset - *c.offset;
    *c.offset = offset;
    // A step back by less than a restart's reach is a PES out of order
    // within the stretch: its latest time stays. Where another recording
    // begins, the stretch is that recording's, however near its stamps lie.
    if (key > *c.high || *c.high - key > kLargestStep || (c.joins && c.joins(c.store, *moved))) *c.high = key;
    *c.inOrder = 0;
  } else if (delta > 0) {
    // PES skipped by damage: their time is counted. Time already read is
    // not, nor a step among PES out of order (packets shuffled): what is
    // counted stays within what the time stamps span.
    if (skips) *c.lost += screenGap - unit;
    *c.step = delta;
    // A latest time beyond a restart's reach ahead is another stretch's
    // (sound left out for its kind ran the line on from it to this one):
    // this stretch's PES come in order from here.
    const bool otherStretch = *c.high - key > kLargestStep;
    *c.inOrder = gap > 0 || otherStretch;
    *c.high = otherStretch ? key : std::max(*c.high, key);
  }
  *c.last = key + *c.offset;
  return *c.offset;
}

// A step ahead that would skip PES is a seam instead when the video PES
// begins another recording, or when the sound meets the video's side of
// one.
bool VideoJoins(const MTS_MovieImportGlobalsRecord* store, int64_t) { return PartVideoBegins(store); }

// A recording joined on with stamps set to go on from where the one before
// ended by its sound (a join that keeps the sound running on, as ffmpeg's
// concatenation writes) steps its pictures off their grid: by the part
// before's sound past its pictures, and by the part's own sound ahead of
// its first picture. PES lost keep the stamps on the grid of half pictures
// (fields), and so does a part that shows its first picture sooner after
// its decode, once that difference is taken off. So does a step that
// shows at once or sooner on screen, or a decode time that does not move
// on: one recording never does either. Its pictures follow the ones
// before, so the line moves by the step's excess (back, or on where it
// overlapped), and its sound with it: else the sound of every such part
// came that much away from its pictures.
//
// A step of whole pictures is one too where every counter ran on across it
// (the tables', the video's own): PES lost within one recording would have
// broken the video's counter, but for a run of exactly a whole number of
// its cycles, and would have had to end just where tables and a sequence
// begin. Only a camera's time code that runs on across the step tells such
// a loss from a join.
bool VideoRebases(const MTS_MovieImportGlobalsRecord* store, int64_t delta, int64_t unit) {
  const int64_t step = delta - store->parts.videoStepSooner;
  if (!PartVideoBegins(store)) return false;
  const int64_t screen = store->parts.videoStepOnScreen;
  if (delta <= 0 || screen <= 0 || !OnHalfPictureGrid(unit, screen)) return true;
  // A recording's pictures never show before the ones it decoded earlier:
  // one that would is another recording's (the part before ended with a
  // picture shown later than its decode order's last).
  const TSDemuxOutput* out = store->pTSInfo;
  if (out->bPTS && store->parts.videoLineEnd != 0 &&
      out->PTS + store->videoTimeShift + kRounding < store->parts.videoLineEnd)
    return true;
  return store->parts.videoStepOffClock && step > unit + kRounding && step + kRounding >= 2 * unit;
}
bool SoundJoins(const MTS_MovieImportGlobalsRecord* store, int64_t moved) { return PartSoundJoins(store, moved); }

// A step ahead to such a start is a join's after another recording's
// tables. After the recording's own (their counters running on) the PES
// before were lost, unless the step is longer than the part's tables leave
// between them: no PAT was lost, so no more than that could have been;
// or unless the movie's first sound began between those tables and the
// PES (the pictures before had none: this recording's sound, read ahead of
// its first picture); or unless the video's own counter broke there as well
// (the step is then held against the sound after it).
bool VideoJoinsAcrossStep(const MTS_MovieImportGlobalsRecord* store, int64_t moved) {
  return (!(store->parts.videoStartMarks & kTSStartTablesRunOn) || store->parts.videoStepPassesTables ||
          store->parts.videoStepAtBreak || PartSoundBegunBeforeVideo(store)) &&
         VideoJoins(store, moved);
}

} // namespace

void ContinueReportedTimes(MTS_MovieImportGlobalsRecord* store, bool video) {
  TSDemuxOutput* out = store->pTSInfo;
  if (!out->bPTS && !out->bDTS) return;
  const int64_t key = video && out->bDTS ? out->DTS : out->PTS;
  int64_t moved = 0;
  int64_t shift = 0;
  const int64_t videoStepBefore = store->videoKeyStep;
  if (video) {
    const int64_t frameTicks = VideoFrameTicks(store);
    const int64_t lostBefore = store->videoLostTicks;
    PartVideoStep(store, key);
    shift = Continue({&store->videoTimeShift, &store->lastVideoKey, &store->videoKeyStep, &store->videoKeySeen,
                      &store->videoKeyHigh, &store->videoInOrder, &store->videoSpans, &store->videoLostTicks, frameTicks,
                      VideoJoinsAcrossStep, store, false, VideoRebases, &store->parts.videoRebased,
                      store->parts.videoStepSooner},
                     key, frameTicks, &moved);
    // A restart at a PES that begins another recording leaves the line in
    // order from there: the next PES's step is judged as any in a recording
    // (a step ahead of it that begins a recording again is a join), against
    // that recording's own latest time, not the one before's (a step back
    // after tables that ran on would leave the earlier part's time as the
    // latest, and the next part's step ahead would then be taken as a gap
    // to keep rather than a join).
    if (moved != 0 && PartVideoBegins(store)) {
      store->videoInOrder = 1;
      store->videoKeyHigh = key;
    }
    // A step counted lost there (after the recording's own tables) begins no
    // part either.
    if (store->videoLostTicks != lostBefore) store->parts.videoStartMarks &= ~kTSStartAfterTables;
    const bool restarted = moved != 0;
    const bool begins = PartVideoPES(store, &shift, &moved);
    PartVideoTables(store, key, restarted, store->videoLostTicks != lostBefore, begins);
    // Where the pictures after a step counted as lost take up again.
    if (store->videoLostTicks > lostBefore && out->bPTS && !begins) store->parts.lostStepPTS = out->PTS + shift;
    // The pre-scan's end values belong to the last stretch of the file: they
    // move with the stretch now read.
    store->lastVideoPTS += moved;
    store->videoEndPTS += moved;
    store->videoEndDTS += moved;
  } else {
    const int64_t lost = store->soundLostTicks, step = store->soundKeyStep;
    const int64_t wouldMove = store->soundKeyStep - (key + store->soundTimeShift - store->lastSoundKey);
    // The track's sound after the track's sound (not after audio left out
    // for its kind, nor audio of another coding than the track's, whose PES
    // last otherwise): its PES follow end to end.
    const bool endToEnd = store->soundMedia && !store->soundLeavingOut && IsAC3(out) == !store->isLPCM;
    shift = Continue({&store->soundTimeShift, &store->lastSoundKey, &store->soundKeyStep, &store->soundKeySeen,
                      &store->soundKeyHigh, &store->soundInOrder, &store->soundSpans, &store->soundLostTicks, 0,
                      SoundJoins, store, endToEnd, nullptr, nullptr, 0},
                     key, store->soundPESTicks, &moved);
    store->soundEndPTS += moved;
    shift = PartSoundPES(store, shift, moved, lost, wouldMove, step);
  }
  if (out->bPTS) out->PTS += shift;
  if (out->bDTS) out->DTS += shift;
  if (video) PartVideoLine(store, videoStepBefore);
}

} // namespace mts_import

int32_t MTS_makeDataRef(Handle* out, uint32_t recordID, uint32_t type) {
  Handle h = NewHandle(sizeof(AvchdDataRef));
  if (!h) return -1;
  AvchdDataRef ref{recordID, type};
  std::memcpy(*h, &ref, sizeof ref);
  *out = h;
  return 0;
}

namespace {

OSErr CreateVideoTracks(MTS_MovieImportGlobalsRecord* store, bool* used);
OSErr TakeSoundPES(MTS_MovieImportGlobalsRecord* store, uint32_t damage, uint32_t marks, int64_t nextOffset,
                   int32_t* outSize);

// How long an AC-3 frame lasts (0 for LPCM, whose PES have no fixed length).
int64_t AC3FrameTicks(const MTS_MovieImportGlobalsRecord* store) {
  return !store->isLPCM && store->soundSampleRate > 0 ? int64_t(kMTSAC3SamplesPerFrame) * 90000 / store->soundSampleRate
                                                      : 0;
}

// Whether the picture just handled opened a stretch of another size than
// the pictures before it (`leavingOutBefore` and `stretchesBefore` tell the
// stretches left out before it was handled). A recording keeps one picture
// size, so another recording begins at it, whatever the counters of its
// tables did: the PES before it ended with its own recording.
bool OpensOtherSize(const MTS_MovieImportGlobalsRecord* store, bool leavingOutBefore, size_t stretchesBefore) {
  return store->videoLeavingOut && (!leavingOutBefore || store->leftOutVideo->size() != stretchesBefore);
}

// Damage of a picture left out for its size tells nothing of the track,
// except a PES whose head was lost after it: when pictures of the track
// (`taken`) come next, with only pictures left out before an intra picture
// between (of no size known, lacking their parameter sets), the lost one
// began the track's part, and its time and theirs is lost. Returns the
// damage to count for the PES just handled.
uint32_t LeftOutDamage(MTS_MovieImportGlobalsRecord* store, uint32_t damage, bool taken) {
  if (store->headLostAfterLeftOut) {
    if (!store->videoLeftOut && taken) {
      store->videoLostTicks += (1 + int64_t(store->leftOutSinceHeadLost)) * mts_import::VideoFrameTicks(store);
      store->headLostAfterLeftOut = 0;
    } else if (store->videoLeftOut && !mts_import::PartVideoBeginsIntra(store)) {
      ++store->leftOutSinceHeadLost;
    } else {
      store->headLostAfterLeftOut = 0;
    }
  }
  if (store->videoLeftOut && (damage & kTSDamageHeadLostAfter)) {
    store->headLostAfterLeftOut = 1;
    store->leftOutSinceHeadLost = 0;
    store->videoLostAtHeadLost = store->videoLostTicks;
  }
  return store->videoLeftOut ? 0 : damage;
}

// The video's own counter broke right before the PES (not a single wrong
// counter, `damage`), and its stamps took no step that counted time as lost
// (`noStepLost`).
bool BrokeInLine(uint32_t marks, uint32_t damage, bool noStepLost) {
  return (marks & kTSStartAtBreak) && !(damage & kTSDamageBreakRepaired) && noStepLost;
}

// Counts the damaged samples of one stream as its PES arrive: the PES just
// handled (`taken`: its bytes are in the movie) by the demultiplexer's
// damage bits, and the one before it when that one ended at a break of the
// counters and the time line went on here without a restart (unless the
// break was only this PES's first counter, wrong). A damaged PES
// that the track builder could not use (an AC-3 frame that no longer
// decodes) is left out: its time, `unit` ticks, is counted as lost.
void CountDamage(int32_t* count, uint8_t* endInDoubt, int64_t* lostTicks, int64_t unit, uint32_t damage,
                 bool restarted, bool taken) {
  // A PES whose head was lost came after this one: its time is lost.
  if ((damage & kTSDamageHeadLostAfter) && unit > 0) *lostTicks += unit;
  if (*endInDoubt && !restarted && !(damage & kTSDamageBreakRepaired)) ++*count;
  *endInDoubt = 0;
  if (!taken) {
    if ((damage & kTSDamageInside) && unit > 0) *lostTicks += unit;
    return;
  }
  if (damage & kTSDamageInside) {
    ++*count;
  } else if (damage & kTSDamageEndBroken) {
    *endInDoubt = 1;
  }
}

// Whether the video PES held at the end of the file is a field whose frame
// stays without its second field: a first field alone, or the field a first
// field waited for that turns out not to be its second.
bool LacksSecondField(const MTS_MovieImportGlobalsRecord* store) {
  const TSDemuxOutput* out = store->pTSInfo;
  if (store->needVideoTrack || store->videoLeavingOut) return false;
  if (out->videoSize <= 0) return store->fieldWaiting != 0;
  int32_t firstSlice = -1, lastSlice = -1;
  mts_import::VideoSampleLength(out->pVideo, out->videoSize, &firstSlice, &lastSlice);
  if (firstSlice < 0) return false;
  // Its slice is read by the parameter set it carries, if any: a last part
  // joined on may code its pictures otherwise than the track's first
  // pictures (frames only after pictures of fields or frames).
  uint32_t log2MaxFrameNum = store->sliceLog2MaxFrameNum, frameMbsOnly = store->sliceFrameMbsOnly,
           separateColourPlane = store->sliceSeparateColourPlane;
  bool hasSps = false;
  for (int32_t i = mts_import::NextStartCode(out->pVideo, 0, firstSlice); i < firstSlice;
       i = mts_import::NextStartCode(out->pVideo, i + 4, firstSlice))
    hasSps |= (out->pVideo[i + 3] & 0x1F) == 7;
  if (hasSps) {
    VideoStreamInfo sps{};
    AVCHDGetVideoStreamInfoLib(&sps, out->pVideo, firstSlice, 1);
    if (sps.status == 0 && sps.nal_unit_type == 7 && sps.pPayload) {
      const auto* fields = static_cast<const SequenceParameterSetFields*>(sps.pPayload);
      log2MaxFrameNum = fields->log2_max_frame_num;
      frameMbsOnly = fields->frame_mbs_only_flag;
      separateColourPlane = fields->separate_colour_plane_flag;
    }
    AVCHDReleaseVideoStreamInfoLib(&sps);
  }
  mts_import::SlicePicture field{};
  if (!mts_import::SingleField(out->pVideo, out->videoSize, firstSlice, lastSlice, log2MaxFrameNum, frameMbsOnly,
                               separateColourPlane, &field))
    return false;
  return !(store->fieldWaiting && mts_import::SecondFieldOf(store->waitingFieldSlice, field));
}

// End of the file, video: the video PES still held by the demultiplexer
// (`pending` tells of it) becomes the last video sample, and its damage is
// counted. A recording so short that its only video PES is the last one
// gets its track from it.
OSErr FlushLastVideo(MTS_MovieImportGlobalsRecord* store, TSDemuxPending* pending, bool held) {
  TSDemuxOutput* out = store->pTSInfo;
  int32_t outSize = 0;
  out->bPTS = 1;
  out->bDTS = 1;
  // The last PES keeps its own time stamps when its first packet gave them;
  // the pre-scan's estimate of the video's end stands in otherwise.
  const int64_t videoShift = store->videoTimeShift;
  const bool hasPTS = held && pending->videoStarted && pending->bPTS;
  // The last PES may begin a part of its own (a part of one picture): how it
  // starts tells its seam apart from PES lost, as for any PES reported.
  const uint32_t marks = hasPTS ? pending->videoStart : 0;
  const int64_t lostBefore = store->videoLostTicks;
  if (hasPTS) {
    out->PTS = pending->PTS;
    out->DTS = pending->bDTS ? pending->DTS : pending->PTS;
    const int64_t lost = store->videoLostTicks;
    mts_import::UnwrapReportedTimes(store);
    store->parts.videoStartMarks = static_cast<uint8_t>(marks);
    mts_import::KeepSoundStepLost(store, store->videoTSOffset, marks);
    const bool toPlace = store->parts.soundToPlace != 0;
    mts_import::ContinueReportedTimes(store, true);
    mts_import::NotePartPicture(store, toPlace);
    mts_import::NoteVideoSeam(store, lost, marks, store->videoTSOffset);
    mts_import::NoteVideoAfterSeam(store, false);
    store->parts.videoStartMarks = 0;
  } else {
    out->PTS = store->videoEndPTS;
    out->DTS = store->videoEndDTS;
  }
  if (store->needVideoTrack && out->videoSize > 0) {
    bool used = false;
    OSErr err = CreateVideoTracks(store, &used);
    if (err != noErr) return err;
  }
  // A stream sent one PES per field whose file ends after a first field: the
  // last picture lacks its second field.
  if (LacksSecondField(store)) {
    pending->videoDamage |= kTSDamageInside;
    pending->videoEndUnstuffed = 0;
  }
  const int64_t lastPTS = out->PTS;
  const bool leavingOutBefore = store->videoLeavingOut != 0;
  const size_t stretchesBefore = store->leftOutVideo ? store->leftOutVideo->size() : 0;
  OSErr err = MTS_add_video_sample(store, &outSize, 1);
  if (err != noErr) {
    MTS_LOG("[ERR]failed to MTS_add_video_sample(&length=%d). err=%d\n", outSize, err);
    return err;
  }
  if (outSize >= 1) store->videoTSOffset = store->ts_offset - kMTSPacketSize;
  // A last PES that counts as cut only for want of stuffing may have filled
  // its last packet exactly: its picture tells, unless it lies too far from
  // an intra picture to be decoded or the decoder lacks memory (then the end
  // is reported unchecked).
  store->videoEndUnchecked = 0;
  if (pending->videoEndUnstuffed && outSize >= 1 && out->videoSize > 0 && !store->videoLeftOut) {
    const mts_import::LastPicture last = mts_import::CheckLastPicture(store, hasPTS, lastPTS);
    if (last != mts_import::LastPicture::kCut) pending->videoDamage &= ~kTSDamageInside;
    store->videoEndUnchecked = last == mts_import::LastPicture::kUnchecked   ? 1
                               : last == mts_import::LastPicture::kNoMemory ? 2
                                                                             : 0;
  }
  // A last PES cut short before its first slice gives no picture: its time
  // is lost. The PES before is whole when the time line restarts here or
  // another recording begins here, as for any PES reported.
  const int32_t damaged = store->videoDamagedPictures;
  const bool taken = outSize >= 1 && out->videoSize > 0;
  const bool begins = store->videoTimeShift != videoShift || OpensOtherSize(store, leavingOutBefore, stretchesBefore) ||
                      mts_import::BeginsRecording(store, marks, taken);
  const bool brokeInLine = BrokeInLine(marks, pending->videoDamage, store->videoLostTicks == lostBefore);
  CountDamage(&store->videoDamagedPictures, &store->videoEndInDoubt, &store->videoLostTicks,
              mts_import::VideoFrameTicks(store), LeftOutDamage(store, pending->videoDamage, taken), begins, taken);
  mts_import::JudgeVideoPart(store, taken && !store->videoLeftOut, store->videoTimeShift != videoShift, marks,
                             store->videoDamagedPictures != damaged, brokeInLine);
  mts_import::NoteEmptyRecording(store, marks, store->parts.videoAfterSoundOnly != 0);
  if (out->videoSize > 0) mts_import::JudgeLeftOutPart(store, store->videoTimeShift != videoShift);
  // A file that ends inside the packet that began the next picture: that
  // picture is not in the movie, and its time is lost.
  if (pending->videoBegunCut && !store->videoLeftOut && !store->needVideoTrack)
    store->videoLostTicks += mts_import::VideoFrameTicks(store);
  return noErr;
}

// End of the file, sound: the audio PES still held becomes the last sound
// sample, and its damage is counted. One whose first packet gave its time
// stamp is taken as any PES reported: a last part whose sound is that one
// PES has it placed by its own stamps beside its own pictures. Without a
// stamp the PES closes the sound's range at an estimate of its end.
OSErr FlushLastSound(MTS_MovieImportGlobalsRecord* store, const TSDemuxPending& pending) {
  TSDemuxOutput* out = store->pTSInfo;
  int32_t outSize = 0;
  OSErr err = noErr;
  if (pending.audioStarted && pending.audioBPTS) {
    out->bPTS = 1;
    out->PTS = pending.audioPTS;
    out->bDTS = 0;
    err = TakeSoundPES(store, pending.audioDamage, pending.audioStart, -1, &outSize);
    if (err != noErr) return err;
  } else {
    // The estimate follows the sound read so far on its continued line, one
    // step after the latest. The pre-scan's estimate of the sound's end is
    // taken from the file's tail, which may hold the end of the part before
    // a joined last part on other stamps; it stands in only before any
    // sound.
    const bool runsOn = store->soundKeySeen && store->soundKeyStep > 0 && store->soundKeyStep <= 90000;
    out->PTS = runsOn ? store->lastSoundKey + store->soundKeyStep : store->soundEndPTS;
    if (store->needSoundTrack && out->audioSize > 0) {
      err = MTS_create_sound_track(store, store->soundDataRef);
      if (err != noErr) {
        MTS_LOG("[ERR]failed to MTS_create_sound_track. err=%d\n", err);
        return err;
      }
      store->needSoundTrack = 0;
    }
    // That time is no PES's start: it only closes the range.
    store->soundEndEstimated = 1;
    err = MTS_add_sound_sample(store, &outSize);
    store->soundEndEstimated = 0;
    if (err != noErr) {
      MTS_LOG("[ERR]failed to Last MTS_add_sound_sample(&length=%d). err=%d\n", outSize, err);
      return err;
    }
    if (outSize >= 1) store->soundTSOffset = store->ts_offset - kMTSPacketSize;
    CountDamage(&store->soundDamagedFrames, &store->soundEndInDoubt, &store->soundLostTicks,
                AC3FrameTicks(store) > 0 ? AC3FrameTicks(store) : store->soundKeyStep,
                store->soundLeftOut ? 0 : pending.audioDamage, false, outSize >= 1 && out->audioSize > 0);
  }
  // A last AC-3 PES cut short no longer decodes and gives no sample: its
  // frame's time is lost (counted above), as is that of a sound PES begun in
  // a packet the file ends inside.
  const int64_t soundUnit = AC3FrameTicks(store) > 0 ? AC3FrameTicks(store) : store->soundKeyStep;
  if (pending.audioBegunCut && !store->soundLeftOut && !store->needSoundTrack) store->soundLostTicks += soundUnit;
  return noErr;
}

// A file that ends in a stretch of pictures left out: the time they take,
// to their end, stays empty at the end of the video and timecode tracks
// (as between two stretches of the track's pictures), and the sound goes
// on through it.
void EndInLeftOutVideo(MTS_MovieImportGlobalsRecord* store) {
  if (!store->videoLeavingOut || !store->videoMedia || store->timeScale <= 0) return;
  const int64_t units = mts_import::LeftOutVideoUnits(store, store->parts.videoLineEnd - store->videoPTSEnd);
  if (units <= 0 || units > INT32_MAX) return;
  store->videoTrailingGapTime = static_cast<int32_t>(units);
  store->videoOpenGapTime = 0;
}

// The sound ends with the video: the range of sound to insert stops where
// the video's track time ends.
void ClipSoundToVideo(MTS_MovieImportGlobalsRecord* store) {
  if (!store->soundMedia || !store->videoMedia) return;
  // The video's end in track time: its media, and the time of pictures left
  // out between. A track still empty (an import inserts at its end) starts
  // where its first insertion will, not at the -1 an empty track answers.
  const int64_t start = mts_import::VideoTrackStart(store);
  const int64_t e = GetMediaDisplayEndTime(store->videoMedia) - start + store->videoGapTime + store->videoTrailingGapTime;
  const TimeScale videoScale = GetMediaTimeScale(store->videoMedia);
  if (videoScale <= 0) return;
  const int64_t d = RoundHalfAway(static_cast<double>(e) / videoScale * GetMediaTimeScale(store->soundMedia));
  // d from track time 0, in the range now being inserted. Sound not placed
  // beside the pictures plays from the media time at track time 0; while
  // its track is still empty, from where its first insertion starts.
  const int64_t soundStart = GetTrackDuration(store->soundTrack) > 0
                                 ? TrackTimeToMediaDisplayTime(0, store->soundTrack)
                                 : store->soundInsertedTime;
  const int64_t limit = store->soundAnchored ? store->soundRangeMedia + (d - store->soundRangeTrack) : d + soundStart;
  if (limit < store->soundEndTime) store->soundEndTime = static_cast<int32_t>(std::max<int64_t>(limit, 0));
}

// End of the file: the PES still held by the demultiplexer become the last
// video and sound samples, and the sound is clipped to the video's length.
OSErr FlushAtEndOfFile(MTS_MovieImportGlobalsRecord* store) {
  TSDemuxPending pending{};
  const bool held = TSDemuxGetPendingLib(store->tsDemux, &pending) != 0;
  store->bytesBeforeFirstPacket = pending.skippedBeforeFirstPacket;
  int64_t lost = store->videoLostTicks + store->soundLostTicks;
  const int32_t damaged = store->videoDamagedPictures + store->soundDamagedFrames;
  OSErr err = FlushLastVideo(store, &pending, held);
  if (err != noErr) return err;
  EndInLeftOutVideo(store);
  err = FlushLastSound(store, pending);
  if (err != noErr) return err;
  // A seam still held after the sound before it: no sound followed it up to
  // the end. What that takes back is no cost of the end.
  const int64_t heldLost = store->videoLostTicks;
  mts_import::NoteVideoAfterSeam(store, true);
  lost -= heldLost - store->videoLostTicks;
  // A file that ends in audio of another kind: the pre-scan's last picture
  // is of a part whose sound is not in the track, and the track's sound
  // before that stretch plays to its end (as far as the pictures go).
  if (store->soundLeavingOut && store->soundMedia)
    store->soundEndTime = std::max(store->soundEndTime, static_cast<int32_t>(GetMediaDisplayDuration(store->soundMedia)));
  // A file that ends inside a packet is damaged: told by what the end cost,
  // or else by the cut itself.
  const bool told = store->videoEndUnchecked || store->videoLostTicks + store->soundLostTicks != lost ||
                    store->videoDamagedPictures + store->soundDamagedFrames != damaged;
  store->endCutBytes = told ? 0 : pending.cutPacketBytes;
  ClipSoundToVideo(store);
  // A recording that begins inside a video PES (packets of the video before
  // any that starts one) lost that PES's head, and with it the whole picture
  // it carried. The picture counts among those of a group cut at its head,
  // whose span the stamps tell; alone (the next PES began a group) it lost
  // its own time.
  if (pending.videoHeadless > 0 && store->headPicturesLeftOut > 0)
    ++store->headPicturesLeftOut;
  else if (pending.videoHeadless > 0 && !store->needVideoTrack)
    store->videoLostTicks += mts_import::VideoFrameTicks(store);
  const int64_t headPictures = mts_import::FinishLossChecks(store);
  // What is counted as lost never exceeds what the time stamps span (packets
  // out of order make steps that are no loss). Pictures read at the head
  // that could not be imported lose their own time all the same: when they
  // were a part of their own, ahead of the part the movie begins with, the
  // stamps of so few pictures span less than they last.
  store->videoLostTicks =
      std::max(std::min(store->videoLostTicks, mts_import::Covered(store->videoSpans)), headPictures);
  store->soundLostTicks =
      std::min(store->soundLostTicks, mts_import::Covered(store->soundSpans) + store->soundHeadLostTicks);
  return noErr;
}

// The first video PES: makes the video track, plus a time code track if the
// camera's user data qualifies. A PES that cannot be inspected is not
// used; the track is then made from a later one.
OSErr CreateVideoTracks(MTS_MovieImportGlobalsRecord* store, bool* used) {
  TSDemuxOutput* out = store->pTSInfo;
  *used = false;
  VideoStreamInfo slices{}, sps{};
  OSErr err = noErr;
  AVCHDGetVideoStreamInfoLib(&slices, out->pVideo, out->videoSize, 4);
  if (slices.status != 0) {
    MTS_LOG("[ERR]failed to AVCHDGetVideoStreamInfoLib. Slice.status=%d\n", slices.status);
  } else {
    AVCHDGetVideoStreamInfoLib(&sps, out->pVideo, out->videoSize, 1);
    if (sps.status != 0) {
      MTS_LOG("[ERR]failed to AVCHDGetVideoStreamInfoLib. SPS.status=%d\n", sps.status);
    } else if (sps.nal_unit_type == 7 && sps.pPayload) {
      err = MTS_create_video_track(store, static_cast<const SequenceParameterSetFields*>(sps.pPayload),
                                   store->videoDataRef);
      if (err == noErr) {
        store->needVideoTrack = 0;
        *used = true;
        if (store->isCamera && store->needTimecodeTrack) {
          err = MTS_create_timecode_track(store);
          if (err != noErr) {
            MTS_LOG("[ERR]failed to MTS_CreateTimeCodeTrack. err=%d\n", err);
          } else {
            store->needTimecodeTrack = 0;
          }
        }
      }
    }
  }
  AVCHDReleaseVideoStreamInfoLib(&sps);
  AVCHDReleaseVideoStreamInfoLib(&slices);
  return err;
}

// Takes a sound PES: its stamps carried onto the continued line, the parts
// record and the loss checks told, its frames added to the track. `damage`
// and `marks` are the demultiplexer's words on it; `nextOffset` is where a
// reader finds the next sound PES (negative: the file ends, and the PES
// read last is where a reader finds this one).
OSErr TakeSoundPES(MTS_MovieImportGlobalsRecord* store, uint32_t damage, uint32_t marks, int64_t nextOffset,
                   int32_t* outSize) {
  TSDemuxOutput* out = store->pTSInfo;
  *outSize = 0;
  const int64_t shift = store->soundTimeShift;
  const int64_t lost = store->soundLostTicks, step = store->soundKeyStep, high = store->soundKeyHigh;
  const uint8_t inOrder = store->soundInOrder;
  const mts_import::HeldSoundStep held = mts_import::PartHeldSoundStep(store->parts);
  const bool soundSideOpen = held.side.state == mts_import::SeamSide::kOpen;
  const int64_t pesAt = store->soundTSOffset;
  const bool keySeen = store->soundKeySeen != 0, afterLeftOut = store->leftOutSoundSeen != 0;
  mts_import::UnwrapReportedTimes(store);
  const int64_t key = out->bPTS ? out->PTS : mts_import::kNoSoundKey;
  store->parts.soundStartMarks = static_cast<uint8_t>(marks);
  const bool toPlace = store->parts.soundToPlace != 0;
  mts_import::ContinueReportedTimes(store, false);
  store->parts.soundStartMarks = 0;
  if (store->soundTimeShift != shift) store->soundMovedAt = store->soundTSOffset;
  // The movie's first sound PES is read from offset 0: where it lies in the
  // file is where its first packet was seen, and that is what tells whether
  // it comes after a video seam.
  const int64_t soundAt = pesAt == 0 && store->parts.firstSoundAt >= kMTSPacketSize
                              ? store->parts.firstSoundAt - kMTSPacketSize
                              : pesAt;
  mts_import::NoteSoundStep(store, soundSideOpen, soundAt);
  // After the step is judged: a seam taken back at this PES begins its
  // part's sound here, whose head is judged as any part's.
  mts_import::NotePartSound(store, toPlace);
  mts_import::PartSoundAfterSoundOnly(store, key, marks);
  // Sound of the track's kind running straight on from the track's sound
  // before it (not from audio left out for its kind): no further ahead of
  // it than half again its step. A step past that which neither moved the
  // line nor counted as lost was taken as a part's seam (its sound placed by
  // its own stamps), and ran on across nothing.
  const int64_t measure = step > 0 ? step : store->soundPESTicks;
  const bool soundOn = out->bPTS && keySeen && !afterLeftOut && store->soundTimeShift == shift &&
                       store->soundLostTicks == lost && (measure <= 0 || 2 * (key - high) <= 3 * measure);
  // Running on by exactly its own step, its counter too, as sound that
  // nothing touched does.
  const bool soundExact =
      soundOn && measure > 0 && std::abs(key - high - measure) <= 1 && !(marks & kTSStartAtBreak);
  mts_import::NoteSoundTime(store);
  if (store->needSoundTrack) {
    OSErr err = MTS_create_sound_track(store, store->soundDataRef);
    if (err != noErr) {
      MTS_LOG("[ERR]failed to MTS_create_sound_track. err=%d\n", err);
      return err;
    }
    // Audio of a kind that makes no track (LPCM 5.1) leaves the next PES
    // to try: a later part's sound may make it.
    store->needSoundTrack = store->soundMedia ? 0 : 1;
  }
  const int64_t media = store->soundMedia ? GetMediaDisplayDuration(store->soundMedia) : 0;
  const int64_t dropped = store->soundHeadDropped;
  OSErr err = MTS_add_sound_sample(store, outSize);
  if (err != noErr) {
    MTS_LOG("[ERR]failed to MTS_add_sound_sample(&length=%d). err=%d\n", *outSize, err);
    return err;
  }
  // Media times read before the sample was added move with a head dropped meanwhile.
  mts_import::JudgePartSoundHead(store, media - (store->soundHeadDropped - dropped), store->soundLeftOut);
  // The next sample is read from where the next PES starts, also when this
  // one gave no sample: else a reader would meet this PES first.
  store->soundTSOffset = nextOffset >= 0 ? nextOffset : *outSize >= 1 ? store->ts_offset - kMTSPacketSize : pesAt;
  // Sound left out for its kind is no damage, and its steps are not those
  // of the track's sound: the gap before it and its own losses are not
  // counted.
  if (store->soundLeftOut) {
    store->soundLostTicks = lost;
    store->soundKeyStep = step;
    store->soundKeyHigh = high;
    store->soundInOrder = inOrder;
    mts_import::PartSoundLeftOut(store, held);
  }
  // Audio left out for its kind is weighed by where it lies in the file as
  // well (the movie's first sound PES, read from offset 0, among it).
  mts_import::NoteLeftOutSoundStep(store, store->soundLeftOut, key, marks, soundAt);
  // Weighed against a video step by where it lies in the file, as its own
  // step is above: the movie's first sound PES may lie beyond that step, and
  // sound running on from it then never crossed the step.
  if (!store->soundLeftOut) mts_import::NoteSoundAcrossTablesJoin(store, soundOn, soundExact, soundAt);
  // A damaged AC-3 PES that gives no sample loses a frame's time; an LPCM
  // PES, the step between time stamps.
  const int64_t unit = AC3FrameTicks(store) > 0 ? AC3FrameTicks(store) : store->soundKeyStep;
  CountDamage(&store->soundDamagedFrames, &store->soundEndInDoubt, &store->soundLostTicks, unit,
              store->soundLeftOut ? 0 : damage, store->soundTimeShift != shift, *outSize >= 1);
  return noErr;
}

// Acts on the PES the demultiplexer has just reported. `added` is set when
// a sample was added; `nextOffset` is where a reader finds the next PES of
// the reported stream.
OSErr TakeReportedPES(MTS_MovieImportGlobalsRecord* store, int64_t nextOffset, bool* added) {
  TSDemuxOutput* out = store->pTSInfo;
  int32_t outSize = 0;
  if (!(out->status & (kTSStatusVideo | kTSStatusAudio))) return noErr;
  const uint32_t damage = TSDemuxReportedDamageLib(store->tsDemux);
  if (out->status & 0x200) {
    OSErr err = TakeSoundPES(store, damage, TSDemuxReportedStartLib(store->tsDemux), nextOffset, &outSize);
    if (err != noErr) return err;
    if (outSize >= 1) *added = true;
  }
  if (out->status & 0x100) {
    const int64_t shift = store->videoTimeShift;
    const int64_t lost = store->videoLostTicks;
    const int64_t pesAt = store->videoTSOffset;
    mts_import::UnwrapReportedTimes(store);
    const uint32_t marks = TSDemuxReportedStartLib(store->tsDemux);
    store->parts.videoStartMarks = static_cast<uint8_t>(marks);
    mts_import::KeepSoundStepLost(store, pesAt, marks);
    const bool toPlace = store->parts.soundToPlace != 0;
    mts_import::ContinueReportedTimes(store, true);
    mts_import::NotePartPicture(store, toPlace);
    mts_import::NoteVideoSeam(store, lost, marks, pesAt);
    mts_import::NoteVideoAfterSeam(store, false);
    store->parts.videoStartMarks = 0;
    const bool restarted = store->videoTimeShift != shift;
    if (store->needVideoTrack) {
      bool used = false;
      OSErr err = CreateVideoTracks(store, &used);
      if (err != noErr) return err;
      if (!used) {
        mts_import::NoteHeadPicture(store);
        store->videoTSOffset = nextOffset;
        return noErr;
      }
    }
    const bool leavingOutBefore = store->videoLeavingOut != 0;
    const size_t stretchesBefore = store->leftOutVideo ? store->leftOutVideo->size() : 0;
    OSErr err = MTS_add_video_sample(store, &outSize, 0);
    if (err != noErr) {
      MTS_LOG("[ERR]failed to MTS_add_video_sample(&length=%d). err=%d\n", outSize, err);
      return err;
    }
    // Pictures of another size from here on: another recording began.
    const bool otherSize = OpensOtherSize(store, leavingOutBefore, stretchesBefore);
    if (otherSize) mts_import::PartOtherSizeBegins(store, marks);
    store->videoTSOffset = nextOffset;
    if (outSize >= 1) *added = true;
    // Pictures left out for their size are no damage, and their steps (of
    // another frame rate, maybe) tell nothing about the track's pictures
    // lost; they still carry the time line on to the pictures after them.
    // A step that skipped pictures still breaks the stretch as a restart
    // does: a picture other than an intra picture after it may be the first
    // left of a part of the track's size whose tables and IDR picture were
    // lost, its pictures running on among those left out.
    const bool skipped = store->videoLeftOut && store->videoLostTicks > lost;
    if (store->videoLeftOut) store->videoLostTicks = lost;
    mts_import::NoteVideoSeamTaken(store, pesAt, store->videoLeftOut != 0);
    mts_import::JudgeLeftOutPart(store, restarted || skipped);
    // A first field waiting for its second goes into the movie too. The PES
    // before a break of the counters is whole when the time line restarts
    // here or another recording begins here.
    const int32_t damaged = store->videoDamagedPictures;
    const bool brokeInLine = BrokeInLine(marks, damage, store->videoLostTicks == lost);
    CountDamage(&store->videoDamagedPictures, &store->videoEndInDoubt, &store->videoLostTicks,
                mts_import::VideoFrameTicks(store), LeftOutDamage(store, damage, outSize >= 1),
                restarted || otherSize || mts_import::BeginsRecording(store, marks, outSize >= 1),
                outSize >= 1 || store->fieldWaiting);
    mts_import::JudgeVideoPart(store, outSize >= 1 && !store->videoLeftOut, restarted, marks,
                               store->videoDamagedPictures != damaged, brokeInLine);
    // The PES begun since opened a judgement of its own in place of this
    // one's (its part sent its sound first too): this PES says nothing of
    // that part.
    mts_import::NoteEmptyRecording(
        store, marks, store->parts.reportedVideoAfterSoundOnly != 0 && !store->parts.videoAfterSoundOnly);
  }
  return noErr;
}

} // namespace

OSErr MTS_decode_one_sample(MTS_MovieImportGlobalsRecord* store) {
  TSDemuxOutput* out = store->pTSInfo;
  int64_t n = 0; // bytes of the chunk in pTSbuffer
  int64_t p = 0; // position of the packet offered last
  int32_t block = 0; // its length: a packet, or less at the end of the file
  bool added = false;
  for (;;) {
    int32_t offerLength = 0;
    if (out->status & 2) {
      if (p == n) {
        n = mts_import::NextChunkLength(store);
        if (!added && n > 0) {
          if (fseeko(store->fp, store->ts_offset, SEEK_SET) != 0) {
            MTS_LOG("[ERR]failed to fseeko(fp=%p, ts_offset=%lld, SEEK_SET). errno=%d\n", static_cast<void*>(store->fp),
                    static_cast<long long>(store->ts_offset), errno);
            return ioErr;
          }
          size_t got = fread(store->pTSbuffer, 1, static_cast<size_t>(n), store->fp);
          if (got < static_cast<size_t>(n)) {
            MTS_LOG("[ERR]failed to fread(pTSbuffer=%p, size=%lld, 1, fp=%p). sRet=%lu\n",
                    static_cast<void*>(store->pTSbuffer), static_cast<long long>(n), static_cast<void*>(store->fp),
                    static_cast<unsigned long>(got));
            return ioErr;
          }
          p = 0;
          block = static_cast<int32_t>(std::min<int64_t>(kMTSPacketSize, n));
          offerLength = block;
        } else if (added && n != 0) {
          return noErr;
        } else {
          if (store->state != kMTSStateInserted) store->state = kMTSStateEndOfStream;
          if (!added && n < 0) return noErr;
          return FlushAtEndOfFile(store);
        }
      } else {
        p += block;
        store->ts_offset += block;
        if (p == n) continue;
        block = static_cast<int32_t>(std::min<int64_t>(kMTSPacketSize, n - p));
        offerLength = block;
      }
    }
    // Only program tables (PID 0), the packets that begin a PES or a
    // section, and any packet until the first sound PES, concern the parts
    // record, which picks its streams from those: the test stays here, in
    // the loop, and is kept to a byte or two per packet.
    const uint8_t* packet = store->pTSbuffer + p;
    if (offerLength == kMTSPacketSize &&
        ((packet[5] & 0x40) || ((packet[5] & 0x1F) | packet[6]) == 0 || store->parts.firstSoundAt < 0))
      mts_import::PartPacketOffered(store, packet);
    TSDemuxStreamLib(store->pTSbuffer + p, offerLength, out, store->tsDemux);
    int64_t nextOffset = 0;
    if (out->status & (kTSStatusVideo | kTSStatusAudio))
      nextOffset = mts_import::NextSampleOffset(store, store->ts_offset + block);
    OSErr err = TakeReportedPES(store, nextOffset, &added);
    if (err != noErr) return err;
  }
}

namespace {

// Inserts the media range from *insertedTime up to endTime into the track, as
// far as whole units of the movie's time scale reach: a track edit lasts a
// whole number of movie units, so a media range that ends between two units
// would leave a gap (or an overlap) at the next insertion. *insertedTime
// advances by what the edit covers; the rest waits for the next insertion.
OSErr InsertWholeMovieUnits(MTS_MovieImportGlobalsRecord* store, Track track, TimeValue atTime,
                            int32_t* insertedTime, int32_t endTime, TimeValue* duration) {
  // The frame-index entries of every sample added so far go into the shared
  // record before any of them shows in a track, for readers in other
  // processes (this is also the way sound is inserted at a join).
  OSErr written = static_cast<OSErr>(MTS_WriteFrameOffsets(store->pRec, store->qt_offset));
  if (written != noErr) {
    MTS_LOG("[ERR]MTS_PutFrameOffset\n");
    return written;
  }
  int64_t span = int64_t(endTime) - *insertedTime;
  const int64_t mediaScale = GetMediaTimeScale(GetTrackMedia(track));
  const int64_t movieScale = GetMovieTimeScale(store->theMovie);
  if (mediaScale > 0 && movieScale > 0 && mediaScale != movieScale)
    span = span * movieScale / mediaScale * mediaScale / movieScale;
  *duration = static_cast<TimeValue>(span);
  if (span <= 0) return noErr;
  OSErr err = InsertMediaIntoTrack(track, atTime, *insertedTime, *duration, fixed1);
  if (err == noErr) *insertedTime += *duration;
  return err;
}

} // namespace

OSErr mts_import::InsertSoundRange(MTS_MovieImportGlobalsRecord* store, TimeValue atTime) {
  if (!store->soundTrack || store->soundEndTime <= store->soundInsertedTime) return noErr;
  // The first insertion of a range that begins after the track's end leaves
  // the gap before it empty.
  TimeValue at = atTime;
  if (store->soundRangeAt > GetTrackDuration(store->soundTrack)) at = store->soundRangeAt;
  TimeValue duration = 0;
  OSErr err =
      InsertWholeMovieUnits(store, store->soundTrack, at, &store->soundInsertedTime, store->soundEndTime, &duration);
  if (err != noErr) {
    MTS_LOG("[ERR]failed to InsertMediaIntoTrack(soundTrack, %d, %d, %d, fixed1). err=%d\n", at,
            store->soundInsertedTime, duration, err);
    return err;
  }
  if (duration > 0) store->soundRangeAt = -1;
  return noErr;
}

OSErr mts_import::InsertVideoRanges(MTS_MovieImportGlobalsRecord* store, TimeValue atTime) {
  OSErr result = noErr;
  if (store->isCamera && store->timecodeInsertedTime == 0 && store->timecodeMedia && store->videoMedia) {
    store->timecodeInsertedTime = static_cast<int32_t>(
        RoundHalfAway(static_cast<double>(store->videoInsertedTime) / GetMediaTimeScale(store->videoMedia) *
                      GetMediaTimeScale(store->timecodeMedia)));
  }
  if (store->videoTrack && store->videoEndTime > store->videoInsertedTime) {
    // The first insertion of a range that begins after the track's end (the
    // time of pictures left out) leaves the time before it empty.
    const TimeValue trackEnd = GetTrackDuration(store->videoTrack);
    const bool afterGap = store->videoRangeAt > trackEnd;
    const TimeValue at = afterGap ? store->videoRangeAt : atTime;
    TimeValue duration = 0;
    result = InsertWholeMovieUnits(store, store->videoTrack, at, &store->videoInsertedTime, store->videoEndTime,
                                   &duration);
    if (result != noErr) {
      MTS_LOG("[ERR]failed to InsertMediaIntoTrack(videoTrack, %d, %d, %d, fixed1). err=%d\n", at,
              store->videoInsertedTime, duration, result);
      return result;
    }
    if (duration > 0) {
      if (afterGap) store->videoInsertedGapTime += at - trackEnd;
      store->videoRangeAt = -1;
    }
  }
  if (store->isCamera && store->timecodeTrack && store->timecodeEndTime > store->timecodeInsertedTime) {
    const TimeValue at =
        store->timecodeRangeAt > GetTrackDuration(store->timecodeTrack) ? store->timecodeRangeAt : atTime;
    TimeValue duration = 0;
    OSErr err = InsertWholeMovieUnits(store, store->timecodeTrack, at, &store->timecodeInsertedTime,
                                      store->timecodeEndTime, &duration);
    result = err;
    if (err != noErr) MTS_LOG("[ERR]failed to InsertMediaIntoTrack. err=%d\n", err);
    if (err == noErr && duration > 0) store->timecodeRangeAt = -1;
    // Tell the movie to refresh its time code display.
    QTAtomContainer actions = nullptr;
    if (QTNewAtomContainer(&actions) == noErr && actions) {
      QTAtom action = 0, which = 0;
      const uint32_t kRefresh = 1037;
      const uint8_t whichBytes[4] = {uint8_t(kRefresh >> 24), uint8_t(kRefresh >> 16), uint8_t(kRefresh >> 8),
                                     uint8_t(kRefresh)};
      if (QTInsertChild(actions, kParentAtomIsContainer, FOUR_CHAR_CODE("actn"), 1, 0, 0, nullptr, &action) ==
              noErr &&
          QTInsertChild(actions, action, FOUR_CHAR_CODE("whic"), 1, 0, sizeof whichBytes,
                        const_cast<uint8_t*>(whichBytes), &which) == noErr) {
        MovieExecuteWiredActions(store->theMovie, 0, actions);
      }
    }
    if (actions) QTDisposeAtomContainer(actions);
  }
  // At the end of the file, after the last pictures: the stretch left out
  // that the file ends in. A track of one picture tells its picture rate by
  // its length alone (readers take one picture per track length), so there
  // the stretch is not laid: no picture follows it, and the sound that plays
  // through it holds the movie's length.
  if (store->state == kMTSStateEndOfStream && store->videoTrailingGapTime > 0 && store->videoTrack &&
      store->videoMedia && GetMediaSampleCount(store->videoMedia) == 1)
    store->videoTrailingGapTime = 0;
  if (store->state == kMTSStateEndOfStream && store->videoTrailingGapTime > 0 && store->videoTrack &&
      store->videoEndTime <= store->videoInsertedTime) {
    // The stretch is kept in video media units; the tracks take movie time.
    const TimeValue gap =
        static_cast<TimeValue>(mts_import::VideoUnitsToMovieTime(store, store->videoTrailingGapTime));
    OSErr err = InsertEmptyTrackSegment(store->videoTrack, -1, gap);
    if (err == noErr && store->isCamera && store->timecodeTrack)
      err = InsertEmptyTrackSegment(store->timecodeTrack, -1, gap);
    if (err != noErr) {
      MTS_LOG("[ERR]failed to InsertEmptyTrackSegment(%d). err=%d\n", gap, err);
      return err;
    }
    store->videoInsertedGapTime += gap;
    store->videoTrailingGapTime = 0;
  }
  return result;
}

OSErr MTS_insertMedia(MTS_MovieImportGlobalsRecord* store, TimeValue atTime) {
  // The frame-index entries of the samples inserted now go into the shared
  // record first, for readers in other processes.
  OSErr result = static_cast<OSErr>(MTS_WriteFrameOffsets(store->pRec, store->qt_offset));
  if (result != noErr) {
    MTS_LOG("[ERR]MTS_PutFrameOffset\n");
    return result;
  }
  // Sound read past a step that waits for the video's seam is held back
  // while the file is read: inserted now it would play on after the part
  // before, not beside its own part's pictures. The file's end inserts it.
  const int32_t soundEnd = store->soundEndTime;
  const int64_t held = store->state == kMTSStateImporting ? mts_import::PartSoundHeldFrom(store) : -1;
  if (held >= store->soundInsertedTime && held < soundEnd) store->soundEndTime = static_cast<int32_t>(held);
  result = mts_import::InsertSoundRange(store, atTime);
  store->soundEndTime = soundEnd;
  if (result != noErr) return result;
  result = mts_import::InsertVideoRanges(store, atTime);
  if (store->state == kMTSStateEndOfStream) store->state = kMTSStateInserted;
  return result;
}
