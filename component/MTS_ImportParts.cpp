// The parts of a joined recording: where one recording ends and the next
// begins in the file, how the next one's time stamps are carried on so
// that its pictures follow those before, and where its sound plays. The
// rest of the import asks this file, one function per event: a video PES,
// a sound PES, sound left out for its kind, a picture added.
#include "MTS_ImportParts.h"

#include <algorithm>
#include <cstdlib>

#include "MTS_MovieImport.h"

namespace mts_import {

namespace {

constexpr int64_t kLargestStep = 90000;  // one second: the most a recording leaves between two PES

// The two streams find a seam each at its own first PES of the new part:
// one side is matched with the other when the other was found within
// kSeamReach bytes of the file and moved its line by about as much (a
// damaged time stamp restarts one stream only, twice: out and back).
constexpr int64_t kSeamReach = int64_t(4) << 20;

// Whether a side of any state was found within kSeamReach bytes of `here`.
bool InReachOf(const SeamMark& side, int64_t here) {
  return here - side.at < kSeamReach && side.at - here < kSeamReach;
}

bool InReach(const SeamMark& side, int64_t here) { return side.state == SeamSide::kOpen && InReachOf(side, here); }

bool NearSide(const SeamMark& side, int64_t sideMoved, int64_t here, int64_t moved) {
  return InReach(side, here) && sideMoved - moved <= kLargestStep && moved - sideMoved <= kLargestStep;
}

// Where the first packet of the sound PES being reported lies in the file.
int64_t ReportedSoundStart(const MTS_MovieImportGlobalsRecord* store) {
  return store->parts.soundSeen && store->soundTSOffset != 0 ? store->soundTSOffset + kMTSPacketSize
                                                             : store->parts.firstSoundAt;
}

// Sound begun in the file before the tables of the recording whose first
// picture opened the video's side is an earlier part's, reported late (a
// PES is reported once the next of its stream begins): that part's own
// sound is still to come and meets the side. Those tables are the ones
// read last before the side's PES: the newest tables that break the
// counters may be a later part's by now (the side's part has no sound, and
// the PES is reported only once the next part's sound begins), or an
// earlier one's (cuts of one recording may carry its counters on).
bool SoundBeforeSidesTables(const MTS_MovieImportGlobalsRecord* store) {
  const ImportParts& parts = store->parts;
  const int64_t tables = parts.videoSideTablesAt >= 0                                   ? parts.videoSideTablesAt
                         : parts.recordingTablesAt <= parts.video.pesAt + kMTSPacketSize ? parts.recordingTablesAt
                                                                                          : -1;
  return parts.video.begins && tables >= 0 && ReportedSoundStart(store) < tables;
}

// The tables read last before the video PES being reported. A PES is
// reported once the next of its stream begins, so the tables read last
// before a PES began may be the next one's; at the end of the file the PES
// reported is the one begun last.
int64_t TablesBeforeReportedVideo(const MTS_MovieImportGlobalsRecord* store) {
  const ImportParts& parts = store->parts;
  return parts.tablesBeforeVideo <= store->videoTSOffset ? parts.tablesBeforeVideo : parts.tablesBeforeReportedVideo;
}

// The video PES being reported begins a coded sequence after tables (it
// starts so: `marks`, kTSStart* bits): a recording may begin at those
// tables. `moved`: how far its stamps moved the line.
void NoteSequenceTables(MTS_MovieImportGlobalsRecord* store, uint8_t marks, int64_t moved) {
  ImportParts& parts = store->parts;
  const TSDemuxOutput* out = store->pTSInfo;
  if (!PartBeginsWith(marks, out->pVideo, out->videoSize)) return;
  const int64_t tables = TablesBeforeReportedVideo(store);
  if (tables < 0 || tables == parts.sequenceTablesAt[0]) return;
  for (int i = ImportParts::kSequencesKept - 1; i > 0; --i) {
    parts.sequenceTablesAt[i] = parts.sequenceTablesAt[i - 1];
    parts.sequenceRanOn[i] = parts.sequenceRanOn[i - 1];
  }
  parts.sequenceTablesAt[0] = tables;
  // A step of its stamps counted as lost left no sign of the tables here,
  // so a sequence noted with a still line ran on in time.
  parts.sequenceRanOn[0] = (marks & kTSStartTablesRunOn) && !(marks & kTSStartAtBreak) && moved == 0;
}

// Whether a recording began in the file between the sound PES reported
// before and the one being reported: tables whose counter broke came
// before it (a recording whose pictures were all lost shows no other
// sign), or a coded sequence began after tables between the two. With
// `stepOnGrid` (the sound stepped ahead by whole PES of its own) a
// sequence that went straight on from the pictures before is the
// recording's own: another recording's sound would keep to the grid of
// the sound before only by chance, and with every counter but the
// sound's running on too, the step is sound of one recording lost.
bool RecordingSinceSoundBefore(const MTS_MovieImportGlobalsRecord* store, bool stepOnGrid) {
  const ImportParts& parts = store->parts;
  const uint8_t marks = parts.soundStartMarks;
  if ((marks & kTSStartAfterTables) && !(marks & kTSStartTablesRunOn)) return true;
  const int64_t start = ReportedSoundStart(store);
  for (int i = 0; i < ImportParts::kSequencesKept; ++i) {
    const int64_t at = parts.sequenceTablesAt[i];
    if (at > parts.soundBeforeAt && at < start && !(stepOnGrid && parts.sequenceRanOn[i])) return true;
  }
  return false;
}

// Sound begun before the tables of the part whose first picture opened the
// video's side, in the same recording as the sound PES before it (no
// recording began between them), lies inside the part before that side: a
// step ahead there lost sound of that part (a PES taken out before its last
// one), and is no seam, however near the side it lies.
bool SoundInsidePartBefore(const MTS_MovieImportGlobalsRecord* store, bool stepOnGrid) {
  const ImportParts& parts = store->parts;
  return parts.soundBeforeAt >= 0 && InReach(parts.video, ReportedSoundStart(store)) &&
         SoundBeforeSidesTables(store) && !RecordingSinceSoundBefore(store, stepOnGrid);
}

// Whether the tables before a PES that starts so (`marks`: kTSStart* bits)
// begin another recording: the PAT's counter broke there, or the stream's
// own counter or the sound's did after them.
bool AfterRecordingsTables(uint32_t marks) {
  return (marks & kTSStartAfterTables) && ((marks & kTSStartAtBreak) || !(marks & kTSStartTablesRunOn));
}

constexpr int32_t kTransportPacket = 188;

// Where the PES header begins in the 188-byte transport packet `ts` that
// starts a PES (its fixed 9 bytes within the packet), or -1 when the
// payload does not begin with a start code.
int32_t PESHeaderIn(const uint8_t* ts) {
  const int32_t at = 4 + ((ts[3] & 0x20) ? 1 + ts[4] : 0);
  if (!(ts[3] & 0x10) || at + 9 > kTransportPacket || ts[at] != 0 || ts[at + 1] != 0 || ts[at + 2] != 1) return -1;
  return at;
}

// Whether the video PES whose first source packet is `packet` may begin a
// recording, by the NAL units that packet holds: the first of a sequence
// parameter set and a slice met is the parameter set, or neither is there.
bool MayBeginRecording(const uint8_t* packet) {
  const uint8_t* ts = packet + 4;
  int32_t at = PESHeaderIn(ts);
  if (at < 0) return true;
  at += 9 + ts[at + 8];
  if (at >= kTransportPacket) return true;
  const uint8_t* es = ts + at;
  const int32_t size = kTransportPacket - at;
  for (int32_t i = NextStartCode(es, 0, size); i < size; i = NextStartCode(es, i + 3, size)) {
    const uint8_t type = es[i + 3] & 0x1F;
    if (type == 7) return true;
    if (type == 1 || type == 5) return false;
  }
  return true;
}

// Whether the video PES being assembled, not yet reported, begins another
// recording after the video PES at reader offset `from` (the one that
// opened the video's side) and before the sound PES being reported starts:
// that PES's part is one without sound. Where the PAT's counter happens to
// run on across that join, only how the PES starts tells, and the sound of
// that recording may come first.
// A PES whose first packet shows a picture of a group begun before begins
// none, however it starts: a sound PES lost after the recording's own
// tables breaks the sound's counter there as a join would.
bool LaterRecordingBeforeSound(const MTS_MovieImportGlobalsRecord* store, int64_t from) {
  const ImportParts& parts = store->parts;
  const int64_t tables = parts.tablesBeforeVideo;
  if (tables <= from + kMTSPacketSize || tables >= ReportedSoundStart(store)) return false;
  TSDemuxPending pending{};
  return TSDemuxGetPendingLib(store->tsDemux, &pending) && pending.videoStarted && parts.videoMayBegin &&
         AfterRecordingsTables(pending.videoStart);
}

// Whether another recording begins in the file between the PES that opened
// the video's side and the sound PES being reported (PartRecordingBegunAfter):
// the side is that of a part without sound, and this sound waits for the
// video of its own part.
bool LaterRecordingAfterVideoSide(const MTS_MovieImportGlobalsRecord* store) {
  return PartRecordingBegunAfter(store, store->parts.video.pesAt);
}

// Whether a step of the sound `delta` ticks ahead, its PES `stepBefore`
// long, passes a whole number of its PES (a tick each for rounded stamps):
// one recording's sound going on after PES lost. Another recording's sound
// keeps to the grid of the sound before only by chance.
bool StepOnOwnGrid(int64_t stepBefore, int64_t delta) {
  if (stepBefore <= 0) return false;
  const int64_t k = (delta + stepBefore / 2) / stepBefore;
  const int64_t off = delta - k * stepBefore;
  return k >= 2 && off <= k && -off <= k;
}

// Whether the video PES being read begins a part only because the sound's
// counter broke after its tables: its stamps did not step, its own counter
// ran on, and no PAT broke its counter since the video PES before. A sound
// PES lost right before the recording's own tables breaks it just so.
bool PartBySoundBreakAlone(const MTS_MovieImportGlobalsRecord* store, int64_t moved) {
  const ImportParts& parts = store->parts;
  return moved == 0 && !(parts.videoStartMarks & kTSStartAtBreak) &&
         parts.recordingTablesAt <= parts.tablesVideoAt + kMTSPacketSize;
}

// Whether a step of the sound that moves its line by `moved`, found at file
// offset `here`, meets the video's open side.
bool MeetsVideoSide(const MTS_MovieImportGlobalsRecord* store, int64_t here, int64_t moved) {
  const ImportParts& parts = store->parts;
  if (LaterRecordingAfterVideoSide(store)) return false;
  // Audio left out for its kind that began before the tables read last
  // before the side's PES is the part before's (its last PES, reported
  // late): its step, measured against the track's sound, is no seam.
  if (store->soundLeavingOut && ReportedSoundStart(store) < parts.videoSideTablesAt) return false;
  return NearSide(parts.video, parts.video.moved, here, moved) || (parts.video.begins && InReach(parts.video, here));
}

// A part's pictures begin at reader offset `pesAt` on the line `shift`.
void NotePartLine(ImportParts* parts, int64_t pesAt, int64_t shift, int64_t picturePTS = -1) {
  parts->partLines[parts->partLineNext] = PartLine{pesAt, shift, picturePTS};
  parts->partLineNext = static_cast<uint8_t>((parts->partLineNext + 1) % kPartLines);
  if (parts->partLineCount < kPartLines) ++parts->partLineCount;
}

// The line of the latest part kept whose pictures begin before file offset
// `at` (where a sound PES's first packet lies), and where they begin;
// false when none is kept.
bool LineOfPartAt(const ImportParts& parts, int64_t at, int64_t* shift, int64_t* pesAt = nullptr) {
  for (int k = 1; k <= parts.partLineCount; ++k) {
    const PartLine& line = parts.partLines[(parts.partLineNext + kPartLines - k) % kPartLines];
    if (line.pesAt + kMTSPacketSize / 2 < at) {
      *shift = line.shift;
      if (pesAt) *pesAt = line.pesAt;
      return true;
    }
  }
  return false;
}

// Whether a part's pictures begin in the file after file offset `from`
// (where a sound PES's first packet lies) and before reader offset `to`.
bool PartBegunBetween(const ImportParts& parts, int64_t from, int64_t to) {
  for (int k = 1; k <= parts.partLineCount; ++k) {
    const PartLine& line = parts.partLines[(parts.partLineNext + kPartLines - k) % kPartLines];
    if (line.pesAt + kMTSPacketSize / 2 > from && line.pesAt < to) return true;
  }
  return false;
}

// Moves the sound's continued line by `d` ticks.
void MoveSoundLine(MTS_MovieImportGlobalsRecord* store, int64_t d) {
  store->soundTimeShift += d;
  store->lastSoundKey += d;
  store->soundEndPTS += d;
}

// A sound step still held as lost that began after another recording's
// tables (their counter broke), met by a later recording before any picture
// closed it: the step was its recording's own seam, no loss (that
// recording's pictures were all lost, told as such, or its one picture is
// reported only once the later one's begins). Taken back; the side closes,
// and the later recording's pictures and sound meet anew.
bool HeldStepAtOthersTables(const ImportParts& parts) {
  return parts.sound.state == SeamSide::kOpen && parts.soundLostAtSeam > 0 && parts.soundStepAfterOthersTables;
}

void TakeBackHeldStep(MTS_MovieImportGlobalsRecord* store) {
  ImportParts& parts = store->parts;
  store->soundLostTicks -= parts.soundLostAtSeam;
  store->soundStepAt = -1;
  parts.soundLostAtSeam = 0;
  parts.soundStepAfterOthersTables = 0;
  parts.sound.state = SeamSide::kClosed;
}

void Open(SeamMark* side, int64_t at, int64_t moved, int64_t pesAt) {
  side->state = SeamSide::kOpen;
  side->at = at;
  side->moved = moved;
  side->pesAt = pesAt;
  side->begins = 0;
}

// Both streams have found the seam: the sound takes the video's line, and
// its next sample is placed beside the part's pictures. Sound that stepped
// ahead first was counted as lost until the video showed the seam.
void CloseSeam(MTS_MovieImportGlobalsRecord* store, bool soundFirst) {
  ImportParts& parts = store->parts;
  if (soundFirst) store->soundLostTicks -= parts.soundLostAtSeam;
  // The sound's line starts again at the seam, as at a restart: the part's
  // next step tells how long its PES last (they may hold more frames than
  // the part before's). It is judged by how long the PES before lasted, as
  // the first step of the movie's first sound is: a step far beyond that
  // (a part of one sound PES, then another part whose stamps jump ahead)
  // skips time, and is that later part's seam.
  if (store->soundKeyStep > 0) store->soundInOrder = kSoundInOrderAtSeam;
  // Its stretch starts again there too: the latest time of the part before
  // (above the part's stamps after a step back of under a second) would
  // make the part's PES pass for ones out of order, and a step ahead of its
  // sound at the next seam would go unseen.
  store->soundKeyHigh = store->lastSoundKey - store->soundTimeShift;
  parts.soundLostAtSeam = 0;
  parts.soundSeamPTS += PartSoundOntoVideoLine(store);
  parts.video.state = parts.sound.state = SeamSide::kClosed;
  parts.videoSideBySize = 0;
  parts.videoSideBySoundBreak = 0;
  parts.videoSideRebased = 0;
  parts.soundBegunAfterLeftOut = 0;
  parts.soundToPlace = 1;
}

// The slice_type of the slice whose NAL header byte lies at `nal` in `p`
// (`size` bytes), or -1 when its first bytes do not hold it.
int32_t CodedSliceType(const uint8_t* p, int32_t size, int32_t nal) {
  SliceHeaderBits header(p, size, nal);
  uint32_t firstMb = 0, type = 0;
  return header.Ue(&firstMb) && header.Ue(&type) && type <= 9 ? static_cast<int32_t>(type) : -1;
}

// Whether the access unit begins a coded video sequence: a sequence
// parameter set, then an I picture as its first slice, IDR or not (a
// recording cut at any group of its pictures begins so).
bool BeginsCodedSequence(const uint8_t* p, int32_t size) {
  bool sets = false;
  for (int32_t i = NextStartCode(p, 0, size); i < size; i = NextStartCode(p, i + 3, size)) {
    const uint8_t type = p[i + 3] & 0x1F;
    if (type == 7) sets = true;
    if (type == 5) return sets;
    if (type == 1) {
      if (!sets) return false;
      const int32_t slice = CodedSliceType(p, size, i + 3);
      return slice >= 0 && IsIntraSlice(static_cast<unsigned>(slice));
    }
  }
  return false;
}

// Whether the video PES in pTSInfo begins with an intra picture.
bool BeginsWithIntraPicture(const TSDemuxOutput* out) {
  int32_t firstSlice = -1, lastSlice = -1;
  VideoSampleLength(out->pVideo, out->videoSize, &firstSlice, &lastSlice);
  if (firstSlice < 0) return false;
  VideoStreamInfo node{};
  AVCHDGetVideoStreamInfoLib(&node, out->pVideo, FirstSliceSpan(out->pVideo, out->videoSize, firstSlice), 4);
  const bool intra = node.status == 0 && (node.nal_unit_type == 1 || node.nal_unit_type == 5) && node.pPayload &&
                     IsIntraSlice(static_cast<const SliceSummary*>(node.pPayload)->slice_type);
  AVCHDReleaseVideoStreamInfoLib(&node);
  return intra;
}

// The presentation stamp of the PES that begins in the source packet
// `packet`, as coded; -1 when its header holds none.
int64_t PESStartPTS(const uint8_t* packet) {
  const uint8_t* ts = packet + 4;
  const int32_t at = PESHeaderIn(ts);
  if (at < 0 || at + 14 > kTransportPacket || !(ts[at + 7] & 0x80) || ts[at + 8] < 5) return -1;
  return GetClock(ts + at + 9);
}

// How long before the I picture that begins the PES being reported the
// group's first picture shows: the pictures of an open group that follow
// it in decode order but show before it (their references lie before the
// cut). Read from the picture after it, which shows after the I picture
// decodes and before it shows; 0 when the stamps tell none.
int64_t LeadingPictures(const MTS_MovieImportGlobalsRecord* store) {
  const TSDemuxOutput* out = store->pTSInfo;
  const int64_t next = store->parts.latestVideoPTS;
  if (!out->bPTS || !out->bDTS || next < 0 || store->parts.latestVideoStartAt <= store->videoTSOffset + kMTSPacketSize)
    return 0;
  constexpr int64_t kWrap = int64_t(1) << 33;
  const int64_t ahead = ((out->PTS - next) % kWrap + kWrap) % kWrap;
  return ahead > 0 && ahead < out->PTS - out->DTS ? ahead : 0;
}

// The shift that makes a part show its first picture where the pictures
// before it end: decode times carried on leave its first picture as far
// off that end as its own delay from decode to display differs from
// theirs. 0 when the stamps do not tell (no line end yet, a delay that is
// none of a recording's), or when the PES begins no recording.
// `lineEnd`: where the pictures before end; `pts`: where the PES's stamps
// put its first picture on the line. Pictures of its group that show before
// it go after that end too.
int64_t PlacePartAfter(const MTS_MovieImportGlobalsRecord* store, int64_t lineEnd, int64_t pts) {
  const TSDemuxOutput* out = store->pTSInfo;
  if (!out->bPTS || lineEnd == 0) return 0;
  // A PES without a decode stamp decodes when it shows.
  const int64_t delay = out->bDTS ? out->PTS - out->DTS : 0;
  const int64_t adjust = lineEnd - pts + LeadingPictures(store);
  if (delay < 0 || delay > kLargestStep || adjust == 0 || adjust > kLargestStep || -adjust > kLargestStep) return 0;
  return BeginsWithIntraPicture(out) ? adjust : 0;
}

int64_t PlacePartAfterLine(const MTS_MovieImportGlobalsRecord* store, int64_t shift) {
  return PlacePartAfter(store, store->parts.videoLineEnd, store->pTSInfo->PTS + shift);
}

} // namespace

void PartsReset(ImportParts* parts) {
  *parts = ImportParts{};
  parts->soundSeamMedia = -1;
  parts->firstSoundAt = -1;
  parts->recordingTablesAt = -1;
  parts->seamPicturePTS = -1;
  parts->tablesAt = parts->tablesBeforeVideo = parts->tablesBeforeReportedVideo = parts->videoSideTablesAt = -1;
  parts->tablesAfterLatestVideo = parts->tablesAfterVideoBefore = parts->tablesAfterVideoBeforeReported = -1;
  for (int64_t& at : parts->sequenceTablesAt) at = -1;
  parts->soundBeforeAt = parts->soundAfterOthersTablesAt = -1;
  parts->tablesVideoKey = parts->tablesVideoAt = parts->latestVideoStartAt = parts->laterSequenceTablesAt = -1;
  parts->soundPesAt[0] = parts->soundPesAt[1] = parts->soundPictureAt[0] = parts->soundPictureAt[1] = -1;
  parts->tablesPictureAt = parts->judgedVideoAt = parts->latestVideoPTS = -1;
  parts->tablesJoinAt = parts->soundOnAt = parts->soundRunAt = parts->soundOffStepAt = -1;
  parts->lostStepPTS = -1;
  parts->leftOutPartPTS = -1;
  parts->videoLineEndBeforeLeftOutStep = -1;
  parts->soundOnlyTablesAt = parts->soundOnlySoundAt = -1;
  parts->lostPictureSoundAt = parts->lostPictureTablesAt = parts->lostPictureVideoAt = -1;
}

void PartPacketOffered(MTS_MovieImportGlobalsRecord* store, const uint8_t* packet) {
  // A source packet: 4 bytes of arrival time, then the transport packet;
  // the audio stream's first packet that starts a PES.
  constexpr uint32_t kAudioPid = 0x1100;
  if (packet[4] != 0x47) return;
  ImportParts& parts = store->parts;
  const uint32_t pid = (packet[5] & 0x1Fu) << 8 | packet[6];
  if ((packet[5] & 0x40) && pid == kAudioPid) {
    if (parts.firstSoundAt < 0) parts.firstSoundAt = store->ts_offset;
    // Sound read beside the pictures, though reported only once the next
    // sound PES begins (a part's last one may wait for the file's end).
    // Audio left out for its kind counts too: its recording has sound all
    // the same, and pictures long without any after a seam are another's.
    store->videoSinceSound = 0;
    // The first sound of a recording whose tables no picture followed yet.
    if (parts.soundOnlyTablesAt >= 0 && parts.soundOnlySoundAt < 0) parts.soundOnlySoundAt = store->ts_offset;
    parts.soundPesAt[1] = parts.soundPesAt[0];
    parts.soundPictureAt[1] = parts.soundPictureAt[0];
    parts.soundPesAt[0] = store->ts_offset;
    parts.soundPictureAt[0] = parts.latestVideoStartAt > parts.tablesAt ? parts.tablesPictureAt : -1;
  }
  // A video PES begins: the one begun before it is reported now.
  constexpr uint32_t kVideoPid = 0x1011;
  if ((packet[5] & 0x40) && pid == kVideoPid) {
    parts.videoMayBegin = MayBeginRecording(packet);
    parts.sequenceBegunLast =
        parts.latestVideoStartAt >= 0 && parts.tablesAt > parts.latestVideoStartAt && parts.videoMayBegin;
    if (parts.laterSequenceTablesAt < 0 && parts.sequenceBegunLast) parts.laterSequenceTablesAt = parts.tablesAt;
    if (parts.tablesAt > parts.latestVideoStartAt) parts.tablesPictureAt = store->ts_offset;
    parts.latestVideoStartAt = store->ts_offset;
    parts.latestVideoPTS = PESStartPTS(packet);
    parts.tablesBeforeReportedVideo = parts.tablesBeforeVideo;
    parts.tablesBeforeVideo = parts.tablesAt;
    parts.tablesAfterVideoBeforeReported = parts.tablesAfterVideoBefore;
    parts.tablesAfterVideoBefore = parts.tablesAfterLatestVideo;
    parts.tablesAfterLatestVideo = -1;
    if (parts.lostPictureVideoAt >= 0 && parts.lostPictureNextRecordingAt < 0 && parts.videoMayBegin &&
        parts.tablesAt > parts.lostPictureVideoAt)
      parts.lostPictureNextRecordingAt = store->ts_offset;
    // Tables read since the sound of a recording that showed no picture
    // yet: this PES begins after them, as a later recording's first does.
    parts.reportedVideoAfterSoundOnly = parts.videoAfterSoundOnly;
    parts.videoAfterSoundOnly =
        parts.soundOnlySoundAt >= 0 && parts.tablesAt > parts.soundOnlySoundAt && parts.videoMayBegin;
    if (parts.videoAfterSoundOnly) {
      parts.lostPictureSoundAt = parts.soundOnlySoundAt;
      parts.lostPictureTablesAt = parts.tablesAt;
      parts.lostPictureVideoAt = store->ts_offset;
      parts.lostPictureNextRecordingAt = -1;
      parts.lostPictureSoundKind = 0;
      parts.lostPictureVideoBegins = parts.lostPictureSoundChanged = 0;
      parts.lostPictureSoundKey = parts.lostPictureVideoKey = kNoSoundKey;
    }
    parts.soundOnlyTablesAt = parts.soundOnlySoundAt = -1;
  }
  // A program map unlike the one before: that PAT began a recording, had
  // its counter not said so already.
  if (pid == kTSProgramMapPID && (packet[5] & 0x40)) {
    if (parts.tablesAt >= 0 && TSJudgeProgramMap(&parts.tables, packet + 4)) {
      parts.recordingTablesAt = parts.soundOnlyTablesAt = parts.tablesAt;
      parts.soundOnlySoundAt = -1;
    }
    return;
  }
  if (pid != 0 || !(packet[7] & 0x10)) return;
  parts.tablesAt = store->ts_offset;
  if (parts.tablesAfterLatestVideo < 0) parts.tablesAfterLatestVideo = store->ts_offset;
  // The first PAT read begins the first recording wherever it lies.
  if (TSJudgeProgramAssociation(&parts.tables, packet + 4, false)) {
    parts.recordingTablesAt = store->ts_offset;
    parts.soundOnlyTablesAt = store->ts_offset;
    parts.soundOnlySoundAt = -1;
  }
}

bool PartBeginsWith(uint32_t marks, const uint8_t* au, int32_t size) {
  return (marks & kTSStartAfterTables) && BeginsCodedSequence(au, size);
}

bool PartVideoBegins(const MTS_MovieImportGlobalsRecord* store) {
  const TSDemuxOutput* out = store->pTSInfo;
  return PartBeginsWith(store->parts.videoStartMarks, out->pVideo, out->videoSize);
}

bool PartSoundBegunBeforeVideo(const MTS_MovieImportGlobalsRecord* store) {
  const ImportParts& parts = store->parts;
  // The tables read first after the video PES before this one began.
  const int64_t tables = parts.latestVideoStartAt <= store->videoTSOffset + kMTSPacketSize
                             ? parts.tablesAfterVideoBefore
                             : parts.tablesAfterVideoBeforeReported;
  if (parts.sound.state != SeamSide::kBegun || !parts.sound.begins || tables < 0 ||
      tables >= parts.sound.pesAt + kMTSPacketSize || parts.sound.pesAt >= store->videoTSOffset)
    return false;
  // Its stamps lie beyond the start of the last picture read, or, by its
  // own line against this PES's own stamps, less than a picture from this
  // PES's first picture: a recording whose stamps run on from the pictures
  // before, or repeat their last time, has its sound there too.
  const int64_t frame = VideoFrameTicks(store);
  const TSDemuxOutput* out = store->pTSInfo;
  const int64_t apart = parts.soundSeamPTS - store->soundTimeShift - out->PTS;
  return parts.soundSeamPTS > parts.videoLineEnd - frame || (out->bPTS && apart < frame && -apart < frame);
}

bool PartVideoBeginsIntra(const MTS_MovieImportGlobalsRecord* store) { return BeginsWithIntraPicture(store->pTSInfo); }

bool PartVideoPES(MTS_MovieImportGlobalsRecord* store, int64_t* shift, int64_t* moved) {
  ImportParts& parts = store->parts;
  if (parts.begun == 0) {
    parts.begun = 1;
    NotePartLine(&parts, store->videoTSOffset, *shift);
  }
  parts.judgedVideoAt = store->videoTSOffset + kMTSPacketSize;
  NoteSequenceTables(store, parts.videoStartMarks, *moved);
  // Another recording whose decode times run on from this one's begins a
  // part without a step of its stamps: at a break of the counters, or,
  // where the video's counter happens to run on across the join, after
  // tables that are not the recording's own (their counters broke), once
  // pictures were read before.
  const uint8_t marks = parts.videoStartMarks;
  const bool othersTables = !(marks & kTSStartTablesRunOn) && parts.videoLineEnd != 0;
  // So does one whose first picture shows sooner after its decode than the
  // pictures before did at theirs (a recording keeps that delay), and one
  // whose step was read as a join that left the line in place.
  bool joinedOn = *moved == 0 &&
                  ((marks & kTSStartAtBreak) || othersTables || parts.videoStepSooner > 0 || parts.videoRebased) &&
                  PartVideoBegins(store);
  // The sound stepped after those same tables by whole PES of its own, held
  // as lost: one recording goes on, and the step stays lost (unless its
  // pictures show sooner after their decode: another recording's).
  if (joinedOn && parts.videoStepSooner == 0 && PartBySoundBreakAlone(store, *moved) &&
      parts.sound.state == SeamSide::kOpen &&
      parts.soundLostAtSeam > 0 && parts.soundStepOnGrid && parts.sound.pesAt > TablesBeforeReportedVideo(store)) {
    parts.sound.state = SeamSide::kClosed;
    parts.soundLostAtSeam = 0;
    store->soundStepAt = -1;
    joinedOn = false;
  }
  if (*moved == 0 && !joinedOn) {
    // Sound that began a part had no pictures of a new part after it: it is
    // the sound of the part being read.
    if (parts.sound.state == SeamSide::kBegun && parts.sound.pesAt < store->videoTSOffset) {
      // Sound that waited after audio of another kind goes beside these
      // pictures by its own stamps.
      if (parts.soundBegunAfterLeftOut) {
        CloseSeam(store, false);
      } else {
        parts.sound.state = SeamSide::kClosed;
        parts.soundSeamMedia = -1;
      }
    }
    return false;
  }
  // Its first picture would show before the pictures read so far end (its
  // delay from decode to display is shorter): it is moved on as a part whose
  // line restarted, its sound with it.
  const int64_t adjust = PlacePartAfterLine(store, *shift);
  if (*moved != 0 || adjust > 0) {
    store->videoTimeShift += adjust;
    store->lastVideoKey += adjust;
    *shift += adjust;
    *moved += adjust;
  }
  // A part, with a step or without one: the sound keeps its own time across
  // it, and its step there (sound that ended early or began late) is no
  // loss. Its first picture shows where the pictures before end by their
  // stamps, with its own step from there (none once placed after them).
  ++parts.begun;
  const TSDemuxOutput* out = store->pTSInfo;
  NotePartLine(&parts, store->videoTSOffset, *shift, out->bPTS ? out->PTS + *shift : -1);
  parts.pictureToPlace = 1;
  const int64_t gap = out->bPTS && parts.videoLineEnd != 0 ? out->PTS + *shift - parts.videoLineEnd : 0;
  parts.pictureGap = gap > 0 && gap <= kLargestStep ? gap : 0;
  parts.partPictureSeen = out->bPTS;
  parts.partPicturePTS = out->PTS + *shift;
  // Sound that began a part's sound before this PES, or after it began in
  // the file but read before it, is this part's; the movie's first sound
  // before it only when it was not placed beside the pictures before and
  // its stamps lie outside their time (else it is their sound).
  const bool soundBegun = parts.sound.state == SeamSide::kBegun;
  const bool soundAfter = parts.sound.pesAt > store->videoTSOffset && InReachOf(parts.sound, store->ts_offset);
  const bool besideBefore = parts.soundSeamPTS >= store->firstVideoPTS - kLargestStep &&
                            parts.soundSeamPTS < parts.videoLineEnd && !PartSoundBegunBeforeVideo(store);
  const bool partsSound = parts.sound.begins ? soundAfter || (!store->soundAnchored && !besideBefore)
                                             : parts.sound.pesAt < store->videoTSOffset ||
                                                   (PartVideoBegins(store) && soundAfter);
  // A sound step held open from before this recording's tables: after
  // tables of its own (a PAT's counter broke), an earlier recording's, one
  // without pictures; else it lies inside the part before those tables (a
  // recording's sound follows its tables), stays lost, and this part's
  // sound meets the side anew.
  if (parts.sound.state == SeamSide::kOpen && parts.soundLostAtSeam > 0 && PartVideoBegins(store) &&
      parts.recordingTablesAt > parts.sound.pesAt + kMTSPacketSize &&
      parts.recordingTablesAt < store->videoTSOffset + kMTSPacketSize) {
    if (HeldStepAtOthersTables(parts) && parts.soundStepPastRecordingTables) {
      TakeBackHeldStep(store);
    } else {
      parts.sound.state = SeamSide::kClosed;
      parts.soundLostAtSeam = 0;
      store->soundStepAt = -1;
    }
  }
  if (soundBegun && !partsSound && parts.sound.begins) {
    parts.sound.state = SeamSide::kClosed;
    parts.soundSeamMedia = -1;
  }
  // A sound side opened after tables of another recording that begins
  // after this PES (it is reported once the next video PES begins) is that
  // later part's.
  const bool laterPartsSound = parts.sound.state == SeamSide::kOpen &&
                               parts.recordingTablesAt > store->videoTSOffset + kMTSPacketSize &&
                               parts.recordingTablesAt < parts.sound.pesAt + kMTSPacketSize;
  if (soundBegun && partsSound) {
    // It takes the part's line from where it began.
    CloseSeam(store, false);
  } else if (!laterPartsSound && (NearSide(parts.sound, parts.sound.moved, store->ts_offset, *moved) ||
                                  (PartVideoBegins(store) && InReach(parts.sound, store->ts_offset)))) {
    // The video's side of this seam is here: a later sound step compared
    // with the video's last side must not find an earlier part's.
    Open(&parts.video, store->ts_offset, *moved, store->videoTSOffset);
    CloseSeam(store, true);
  } else {
    Open(&parts.video, store->ts_offset, *moved, store->videoTSOffset);
    parts.video.begins = PartVideoBegins(store);
    parts.videoSideTablesAt = TablesBeforeReportedVideo(store);
    parts.videoSideBySize = 0;
    parts.videoSideBySoundBreak = PartBySoundBreakAlone(store, *moved);
    parts.videoSideRebased = parts.videoRebased || (parts.videoStepOffClock && *moved < 0);
  }
  return true;
}

void PartVideoStep(MTS_MovieImportGlobalsRecord* store, int64_t key) {
  ImportParts& parts = store->parts;
  parts.videoKey = key;
  const int64_t step = key + store->videoTimeShift - store->lastVideoKey;
  // After a picture left out, a picture of its own rate (a stretch of
  // another size may run at another).
  const int64_t frame =
      store->videoLeavingOut && parts.leftOutPictureTicks > 0 ? parts.leftOutPictureTicks : VideoFrameTicks(store);
  // A part of a picture or two shows no two of its tables yet: nothing
  // bounds what PES lost between them could cover, so any step ahead is
  // weighed as one past them. Sound read beyond this PES that ran straight
  // on from sound before it says one recording goes on here; sound that
  // began anew beyond it (a part's first, read before this PES is
  // reported) and ran on from there never crossed the step.
  const int64_t reach = parts.tablesSpacing > 0 ? parts.tablesSpacing + frame : frame;
  const bool soundCrossed = parts.soundOnAt > store->videoTSOffset && parts.soundRunAt < store->videoTSOffset;
  parts.videoStepPassesTables = store->videoKeySeen && step > reach && !soundCrossed;
  // The video's own counter broke there too: a join whatever the step,
  // unless the sound runs on across it by exactly its own step (judged once
  // a sound PES beyond it is reported).
  parts.videoStepAtBreak = store->videoKeySeen && step > frame && (parts.videoStartMarks & kTSStartAtBreak);
  // A recording's first picture shows as long after its decode as each
  // one that begins a coded sequence in it. Another recording's that shows
  // sooner after its decode (it is reordered less, or not at all) steps
  // ahead in decode time by the difference with no gap on screen: that
  // much of the step is no loss.
  const TSDemuxOutput* out = store->pTSInfo;
  const int64_t delay = out->bPTS && out->bDTS ? out->PTS - out->DTS : 0;
  const bool known = delay >= 0 && delay <= kLargestStep;
  const bool begins = PartVideoBegins(store);
  const int64_t shorter =
      known && begins ? std::clamp(parts.videoDisplayDelay - delay, int64_t(0), std::max(step, int64_t(0))) : 0;
  parts.videoStepOnScreen = known && begins ? step - (parts.videoDisplayDelay - delay) : step;
  if (known && (begins || !store->videoKeySeen)) parts.videoDisplayDelay = delay;
  parts.videoStepSooner = shorter;
  // Every counter ran on to a part's start that steps ahead: the step is a
  // join unless the camera's clock ran on across it (PES of one recording
  // lost, their counters running on by chance). Read only at such steps,
  // the time code costs nothing per picture.
  const uint8_t marks = parts.videoStartMarks;
  parts.videoStepOffClock = store->videoKeySeen && 2 * (step - shorter) > 3 * frame && begins &&
                            (marks & kTSStartTablesRunOn) && !(marks & kTSStartAtBreak) && out->bPTS &&
                            !TimeCodeRunsOn(store, out->PTS + store->videoTimeShift);
  // After the movie's first sound, begun after tables just before this PES,
  // sound running on beyond it never crossed the step: it tells nothing lost.
  parts.videoStepLost = (parts.videoStepPassesTables || parts.videoStepAtBreak) && step <= kLargestStep &&
                               !PartSoundBegunBeforeVideo(store) && step - shorter > frame
                           ? step - shorter - frame
                           : 0;
  const int64_t own = store->videoKeyStep > 0 && store->videoKeyStep <= kLargestStep ? store->videoKeyStep : frame;
  parts.videoStepPastLine = store->videoKeySeen && step > own && step <= kLargestStep ? step - own : 0;
}

void PartVideoTables(MTS_MovieImportGlobalsRecord* store, int64_t key, bool restarted, bool lost, bool begins) {
  ImportParts& parts = store->parts;
  // A step ahead after tables that ran on, read as a join for its length.
  if (parts.videoStepLost > 0 && restarted && (parts.videoStartMarks & kTSStartTablesRunOn) &&
      !parts.videoStepOffClock && !parts.videoRebased) {
    parts.tablesJoinAt = store->videoTSOffset;
    parts.tablesJoinLost = parts.videoStepLost;
    parts.tablesJoinAtBreak = parts.videoStepAtBreak;
  }
  parts.videoStepPassesTables = 0;
  parts.videoStepAtBreak = 0;
  parts.videoStepLost = 0;
  // The PES is reported once the next one begins, but the last of the file
  // once the file ends: the tables read last before it began.
  const int64_t pesAt = store->videoTSOffset;
  const int64_t tables =
      parts.latestVideoStartAt <= pesAt + kMTSPacketSize ? parts.tablesBeforeVideo : parts.tablesBeforeReportedVideo;
  // Whether a PAT came after the PES before began; whether one of those
  // began a recording (its counter broke).
  const bool afterTables = parts.tablesVideoAt < 0 || tables > parts.tablesVideoAt + kMTSPacketSize;
  const bool othersTables = parts.tablesVideoAt < 0 || parts.recordingTablesAt > parts.tablesVideoAt + kMTSPacketSize;
  parts.tablesVideoAt = pesAt;
  // A part begun, or another recording's tables: the spacing is measured
  // anew. A step moved off the line or counted as lost is not measured.
  if (begins || othersTables) parts.tablesSpacing = 0;
  const bool measured = !begins && !restarted && !lost && !othersTables;
  if (!afterTables) {
    if (!measured) parts.tablesVideoKey = -1;
    return;
  }
  const int64_t spacing = key - parts.tablesVideoKey;
  if (measured && parts.tablesVideoKey >= 0 && spacing > 0 && spacing <= kLargestStep)
    parts.tablesSpacing = std::max(parts.tablesSpacing, spacing);
  parts.tablesVideoKey = key;
}

void PartSoundBesideVideo(MTS_MovieImportGlobalsRecord* store) { CloseSeam(store, false); }

void PartSeamPicture(MTS_MovieImportGlobalsRecord* store, int64_t lost) {
  ImportParts& parts = store->parts;
  const TSDemuxOutput* out = store->pTSInfo;
  parts.seamPicturePTS = out->bPTS ? out->PTS : -1;
  parts.seamPictureAdjust = PlacePartAfter(store, parts.videoLineEndBeforePES, out->PTS - lost);
  parts.seamPictureLeftOut = 0;
}

void PartStepLeavesLeftOutLine(MTS_MovieImportGlobalsRecord* store, bool soundRunsOn) {
  ImportParts& parts = store->parts;
  const int64_t step = parts.videoStepPastLine;
  parts.videoStepPastLine = 0;
  if (step <= 0) return;
  // The line from the PES being read on, and that PES, as a restart there
  // would have moved them: the pictures left out before end where it shows.
  store->videoTimeShift -= step;
  store->lastVideoKey -= step;
  store->lastVideoPTS -= step;
  store->videoEndPTS -= step;
  store->videoEndDTS -= step;
  parts.videoLineEnd -= step;
  if (parts.seamPicturePTS >= 0) parts.seamPicturePTS -= step;
  if (parts.lostStepPTS >= 0) parts.lostStepPTS -= step;
  TSDemuxOutput* out = store->pTSInfo;
  if (out->bPTS) out->PTS -= step;
  if (out->bDTS) out->DTS -= step;
  if (!soundRunsOn) return;
  // The sound plays on where it is: its line and the time its samples are
  // placed by move together.
  MoveSoundLine(store, -step);
  store->soundAnchorPTS -= step;
}

bool PartRecordingBegunAfter(const MTS_MovieImportGlobalsRecord* store, int64_t pesAt) {
  // Its tables broke the counters there, or the video PES not yet reported
  // starts as a recording's.
  const ImportParts& parts = store->parts;
  return (parts.recordingTablesAt > pesAt + kMTSPacketSize && parts.recordingTablesAt < ReportedSoundStart(store)) ||
         LaterRecordingBeforeSound(store, pesAt);
}

void PartBeginsAtTakenBackStep(MTS_MovieImportGlobalsRecord* store, int64_t videoStep, bool videoPES,
                               bool soundWaits) {
  // The video's step is taken out of its line, as a join read at once
  // would have: the part follows the pictures before (a part left out for
  // its size where they end, as such a join places it).
  if (store->parts.seamPictureLeftOut) videoStep -= store->parts.seamPictureAdjust;
  store->parts.seamPictureLeftOut = 0;
  store->videoTimeShift -= videoStep;
  store->lastVideoKey -= videoStep;
  store->lastVideoPTS -= videoStep;
  store->videoEndPTS -= videoStep;
  store->videoEndDTS -= videoStep;
  ImportParts& parts = store->parts;
  parts.videoLineEnd -= videoStep;
  // Pictures of the part added already (placed in decode order, not by
  // their stamps) move onto the line with it.
  if (parts.seamPicturePTS >= 0 && parts.pictureSeen && parts.picturePTS >= parts.seamPicturePTS) {
    parts.picturePTS -= videoStep;
    store->videoPTSEnd -= videoStep;
  }
  if (parts.seamPicturePTS >= 0 && parts.leftOutPartPTS >= parts.seamPicturePTS) parts.leftOutPartPTS -= videoStep;
  parts.partPictureSeen = parts.seamPicturePTS >= 0;
  parts.partPicturePTS = parts.seamPicturePTS - videoStep;
  parts.seamPicturePTS = -1;
  parts.lostStepPTS = -1;
  // The sound's step is the new part's start: its sound is placed by its
  // own stamps beside the part's pictures, as at a join read at once.
  // The sound PES being read was continued on the sound's line already: it
  // moves with it.
  ++parts.begun;
  // Sound that waits for a later part's pictures keeps its line and its
  // side open until they come.
  if (soundWaits) return;
  const int64_t d = store->videoTimeShift - store->soundTimeShift;
  CloseSeam(store, false);
  TSDemuxOutput* out = store->pTSInfo;
  const int64_t move = videoPES ? -videoStep : d;
  if (out->bPTS) out->PTS += move;
  if (out->bDTS) out->DTS += move;
}

void PartOtherSizeBegins(MTS_MovieImportGlobalsRecord* store, uint32_t marks) {
  ImportParts& parts = store->parts;
  const TSDemuxOutput* out = store->pTSInfo;
  // Its step ahead, counted as lost while it was read, hid its tables as a
  // recording's start; left out for its size, that step is no loss, and its
  // part's sound, reported only once the next part has begun, is known by
  // those tables as another recording's, not as sound lost inside the part
  // before.
  NoteSequenceTables(store, static_cast<uint8_t>(marks), 0);
  // Another recording's first picture, left out: it stands where the
  // track's pictures end, whatever step its stamps took from theirs.
  if (out->bPTS && parts.pictureSeen && PartBeginsWith(marks, out->pVideo, out->videoSize)) {
    // Its stamps' step past the pictures before leaves the line, as a join
    // read at once (at a break of the counters) takes it out: the stretch
    // left out, and the part's sound placed by its stamps, follow on.
    const int64_t past = out->PTS - parts.videoLineEndBeforePES;
    if (parts.videoLineEndBeforePES >= 0 && past > 0 && past <= kLargestStep) {
      parts.videoStepPastLine = past;
      PartStepLeavesLeftOutLine(store, false);
    }
    parts.leftOutPartPTS = out->PTS;
    parts.leftOutPartTime = parts.pictureEnd + store->videoGapTime;
  }
  // A sound side open already waits for a seam of its own.
  if (parts.video.state == SeamSide::kOpen || parts.sound.state == SeamSide::kOpen ||
      !PartBeginsWith(marks, out->pVideo, out->videoSize))
    return;
  Open(&parts.video, store->ts_offset, 0, store->videoTSOffset);
  parts.video.begins = 1;
  parts.videoSideTablesAt = TablesBeforeReportedVideo(store);
  parts.videoSideBySize = 1;
  parts.videoSideBySoundBreak = 0;
}

void PartVideoSideOfTakenBackSeam(MTS_MovieImportGlobalsRecord* store) {
  ImportParts& parts = store->parts;
  // A side open already waits for a seam of its own.
  if (parts.video.state == SeamSide::kOpen || parts.sound.state == SeamSide::kOpen) return;
  Open(&parts.video, store->ts_offset, 0, store->videoTSOffset);
  parts.video.begins = 1;
  parts.videoSideTablesAt = TablesBeforeReportedVideo(store);
  parts.videoSideBySize = 0;
  parts.videoSideBySoundBreak = 0;
}

void PartVideoLine(MTS_MovieImportGlobalsRecord* store, int64_t stepBefore) {
  const TSDemuxOutput* out = store->pTSInfo;
  store->parts.videoLineEndBeforePES = store->parts.videoLineEnd;
  if (!out->bPTS || (out->bDTS && (out->PTS < out->DTS || out->PTS - out->DTS > kLargestStep))) return;
  const int64_t frameTicks =
      store->timeScale > 0 ? int64_t(store->frameDuration) * 90000 / store->timeScale : 0;
  int64_t step =
      store->videoKeyStep > 0 && store->videoKeyStep <= kLargestStep ? store->videoKeyStep : frameTicks;
  // A step that passed pictures (lost, or a join whose line stayed where
  // the stamps put it) is no picture's length: this picture lasts as long
  // as the one before.
  if (stepBefore > 0 && 2 * step > 3 * std::max(stepBefore, frameTicks)) step = stepBefore;
  ImportParts& parts = store->parts;
  parts.videoLineEndBeforeLeftOutStep = store->videoLeavingOut ? parts.videoLineEnd : -1;
  parts.videoLineEnd = std::max(parts.videoLineEnd, out->PTS + step);
}

void PartVideoResumesTrack(MTS_MovieImportGlobalsRecord* store) {
  ImportParts& parts = store->parts;
  const TSDemuxOutput* out = store->pTSInfo;
  const int64_t before = parts.videoLineEndBeforeLeftOutStep;
  parts.videoLineEndBeforeLeftOutStep = -1;
  if (before < 0 || !out->bPTS || store->timeScale <= 0) return;
  // A part of one picture has no step of its own: shown for one of the
  // track's pictures, the part after it (and the sound placed by that
  // part's pictures) must begin that far on.
  parts.videoLineEnd = std::max(before, out->PTS + VideoFrameTicks(store));
}

void PartLeftOutPictureLasts(MTS_MovieImportGlobalsRecord* store, int64_t ticks) {
  const TSDemuxOutput* out = store->pTSInfo;
  if (!out->bPTS || ticks <= 0 || ticks > kLargestStep) return;
  // A picture that shows nowhere stands for its own time, not one of the
  // track's: a part of this one picture has no step of its own, and the
  // part after it (its pictures and the sound placed by them) begins where
  // the picture's own length ends. A later picture of its part measures
  // the step again.
  store->videoKeyStep = ticks;
  ImportParts& parts = store->parts;
  parts.leftOutPictureTicks = ticks;
  parts.videoLineEnd = std::max(parts.videoLineEndBeforePES, out->PTS + ticks);
}

namespace {

// The kind of the sound PES in pTSInfo, as far as its first bytes tell:
// AC-3 with its rate and layout, or LPCM with its layout, rate and sample
// size (0: neither reads).
uint32_t SoundKindOf(const TSDemuxOutput* out) {
  const uint8_t* a = out->pAudio;
  if (!a || out->audioSize < 7) return 0;
  if (a[0] == 0x0B && a[1] == 0x77) return 0x10000u | uint32_t(a[4] & 0xC0) << 2 | uint32_t(a[6] >> 5);
  if ((a[0] << 8 | a[1]) == out->audioSize - 4) return 0x20000u | uint32_t(a[2]) << 8 | uint32_t(a[3] & 0xC0);
  return 0;
}

// Once the video PES and the sound after it have both told: a picture of
// the recording that showed none is lost, or nothing is.
void JudgeLostPicture(MTS_MovieImportGlobalsRecord* store) {
  ImportParts& parts = store->parts;
  // Stamps further apart than a multiplexer keeps one recording's sound
  // from its pictures (the shorter way round their wrap).
  constexpr int64_t kApart = 2 * 90000;
  const bool keyed = parts.lostPictureSoundKey != kNoSoundKey && parts.lostPictureVideoKey != kNoSoundKey;
  const int64_t d = keyed ? UnwrapTimestamp(0, parts.lostPictureVideoKey - parts.lostPictureSoundKey) : 0;
  const bool apart = d > kApart || d < -kApart;
  const bool lost = parts.lostPictureVideoBegins == 1 && (parts.lostPictureSoundChanged == 1 || apart);
  if (lost) store->videoLostTicks += VideoFrameTicks(store);
  // The video's side decides alone where it begins nothing; the sound's
  // "same recording" only once the video's stamps were weighed too.
  if (lost || parts.lostPictureVideoBegins == 2 ||
      (parts.lostPictureSoundChanged == 2 && parts.lostPictureVideoBegins == 1))
    parts.lostPictureSoundAt = parts.lostPictureTablesAt = parts.lostPictureVideoAt = -1;
}

} // namespace

void PartVideoAfterSoundOnly(MTS_MovieImportGlobalsRecord* store, bool begins) {
  ImportParts& parts = store->parts;
  if (parts.lostPictureVideoAt < 0 || parts.lostPictureVideoBegins) return;
  parts.lostPictureVideoBegins = begins ? 1 : 2;
  parts.lostPictureVideoKey = parts.videoKey;
  JudgeLostPicture(store);
}

void PartSoundAfterSoundOnly(MTS_MovieImportGlobalsRecord* store, int64_t key, uint32_t marks) {
  ImportParts& parts = store->parts;
  if (parts.lostPictureVideoAt < 0 || parts.lostPictureSoundChanged) return;
  const uint32_t kind = SoundKindOf(store->pTSInfo);
  const int64_t at = ReportedSoundStart(store);
  if (kind == 0 || at < parts.lostPictureSoundAt) return;
  if (at < parts.lostPictureTablesAt) {
    parts.lostPictureSoundKind = kind;
    parts.lostPictureSoundKey = key;
    JudgeLostPicture(store);
    return;
  }
  // The first sound after those tables: the same kind going on, its
  // counter too, is that recording's own sound, sent ahead of its first
  // picture; another kind, or a broken counter, is another recording's.
  if (parts.lostPictureSoundKind == 0) return;
  const bool later = parts.lostPictureNextRecordingAt >= 0 && at > parts.lostPictureNextRecordingAt;
  const bool other = kind != parts.lostPictureSoundKind || (marks & kTSStartAtBreak);
  parts.lostPictureSoundChanged = other && !later ? 1 : 2;
  JudgeLostPicture(store);
}

bool PartSoundJoins(const MTS_MovieImportGlobalsRecord* store, int64_t moved) {
  const ImportParts& parts = store->parts;
  // `moved` is the step before less this one.
  const bool onGrid = StepOnOwnGrid(store->soundKeyStep, store->soundKeyStep - moved);
  return parts.video.moved != 0 && MeetsVideoSide(store, store->ts_offset, moved) &&
         !SoundInsidePartBefore(store, onGrid);
}

int64_t PartSoundPES(MTS_MovieImportGlobalsRecord* store, int64_t shift, int64_t moved, int64_t lostBefore,
                     int64_t wouldMove, int64_t stepBefore) {
  ImportParts& parts = store->parts;
  const TSDemuxOutput* out = store->pTSInfo;
  const bool first = !parts.soundSeen;
  parts.soundSeen = 1;
  bool seam = false;
  // The step from the last sound taken over a stretch left out for its kind
  // is that stretch's time, not sound lost; nor is a step where the video
  // found a part beginning without a step of its own. Sound that steps ahead
  // before the video shows a seam: counted as lost for now, and taken back
  // when the video's side comes within reach.
  const bool stepped = store->soundLostTicks != lostBefore;
  // Tables whose counters break are another recording's even where the
  // sound's own counter happens to run on across the seam.
  const uint8_t marks = parts.soundStartMarks;
  const bool begins =
      (marks & kTSStartAfterTables) && ((marks & kTSStartAtBreak) || !(marks & kTSStartTablesRunOn));
  if ((marks & kTSStartAfterTables) && !(marks & kTSStartTablesRunOn))
    parts.soundAfterOthersTablesAt = ReportedSoundStart(store);
  // The first sound of a part before the one whose picture opened the
  // video's side: its step is its own part's seam, no loss. It takes the
  // line of the part whose pictures it lies among in the file (parts
  // without sound may lie between it and the side), and the side waits for
  // the sound of its own part. Sound of the part before, read late: its
  // step lies inside that part. Its start need not show that part's begin
  // (the counters of the tables and of the sound may both run on across
  // that join): a recording begun in the file since the sound before tells
  // as much.
  const bool onGrid = stepped && StepOnOwnGrid(stepBefore, stepBefore - wouldMove);
  const bool insideBefore = !store->soundLeavingOut && !first && SoundInsidePartBefore(store, onGrid);
  const bool earlierPart = !store->soundLeavingOut && (begins || RecordingSinceSoundBefore(store, onGrid)) &&
                           InReach(parts.video, ReportedSoundStart(store)) && SoundBeforeSidesTables(store) &&
                           !insideBefore;
  parts.soundOfEarlierPart = earlierPart;
  // Sound that starts after the pictures of another size without a step
  // ran on across that seam: a later step of it is no seam.
  if (parts.videoSideBySize && parts.video.state == SeamSide::kOpen && !stepped && moved == 0 &&
      store->soundTSOffset + kMTSPacketSize > parts.video.pesAt) {
    parts.video.state = SeamSide::kClosed;
    parts.videoSideBySize = 0;
  }
  // A step that keeps to the sound's own grid where the video's side rests
  // on the sound's counter alone: PES lost before the recording's own
  // tables. The video's side was no seam. Not where another part's
  // pictures began in the file between the sound before and that side: the
  // step passes that part, which has no sound, and cuts of one recording
  // keep its sound's grid however far apart they are stamped.
  if (stepped && onGrid && parts.videoSideBySoundBreak && parts.video.moved == 0 &&
      NearSide(parts.video, 0, store->ts_offset, 0) && !PartBegunBetween(parts, parts.soundBeforeAt, parts.video.pesAt)) {
    parts.video.state = SeamSide::kClosed;
    parts.videoSideBySoundBreak = 0;
  }
  if (store->soundLeavingOut) {
    store->soundLostTicks = lostBefore;
  } else if (earlierPart) {
    store->soundLostTicks = lostBefore;
    int64_t own = 0;
    if (LineOfPartAt(parts, ReportedSoundStart(store), &own))
      MoveSoundLine(store, own - store->soundTimeShift);
    else
      PartSoundOntoVideoLine(store);
    shift = store->soundTimeShift;
    seam = true;
    // Its line and its stretch start again here, as at any part's seam: the
    // step to the next part's sound is judged against this PES's length and
    // from this PES's time (not the part before's latest, which a step back
    // of under a second leaves above it), and meets the side that waits for
    // it.
    if (store->soundKeyStep > 0) store->soundInOrder = kSoundInOrderAtSeam;
    store->soundKeyHigh = store->lastSoundKey - store->soundTimeShift;
    // Its part's sound begins here: placed beside that part's pictures by
    // its own stamps, not run on after the sound before (which may end
    // short of those pictures).
    parts.soundToPlace = 1;
    parts.soundSeamPTS = out->PTS + shift;
  } else if (insideBefore) {
    // Its step stays counted as lost.
  } else if (!stepped && moved == 0 && !first &&
             (parts.videoSideRebased ||
              (parts.video.begins && !(marks & kTSStartAtBreak) &&
               (parts.video.moved > 0 ||
                (parts.video.moved < 0 && parts.soundAfterOthersTablesAt > parts.videoSideTablesAt)))) &&
             parts.video.state == SeamSide::kOpen &&
             ReportedSoundStart(store) > parts.video.pesAt + kMTSPacketSize / 2 && out->bPTS &&
             (parts.video.moved > 0 || out->PTS + shift >= parts.partPicturePTS) &&
             !LaterRecordingAfterVideoSide(store)) {
    // The sound ran on across a join whose stamps were set to follow the
    // recording before, or across a part whose pictures were moved to
    // follow the pictures before (on, or back over the gap its stamps left
    // where its own sound began after its tables, running on from sound
    // before that ended early): its first PES after the part's pictures
    // begin in the file takes their line, beside them by its own stamps
    // (the sound before it, the part before's, keeps that part's line and
    // is cut under it). Where the line moved back, a PES sooner than the
    // pictures before end by their stamps is still the part before's (a
    // muxer that orders PES by time writes its last ones after the part's
    // first picture). Where its counter ran on too, none of the part's
    // sound was lost ahead of it (the part's first PES may have been
    // reported before its pictures); where it broke, it is the part's first
    // sound read, and its head is judged as any part's.
    if (!(marks & kTSStartAtBreak)) store->partSoundJudged = parts.begun;
    parts.soundSeamPTS = out->PTS + shift;
    CloseSeam(store, false);
    shift = store->soundTimeShift;
    seam = true;
  } else if (stepped && parts.video.moved == 0 && NearSide(parts.video, 0, store->ts_offset, 0) &&
             !LaterRecordingAfterVideoSide(store)) {
    // A part that ran on without a step of its stamps, met by the sound's
    // step; not where a later recording began after that part's first
    // picture (the part had no sound, and this is the later one's).
    store->soundLostTicks = lostBefore;
    parts.video.state = SeamSide::kClosed;
    parts.soundSeamPTS = out->PTS + shift;
    CloseSeam(store, false);
    shift = store->soundTimeShift;
    seam = true;
  } else if (stepped && (parts.sound.state != SeamSide::kOpen || (begins && parts.soundLostAtSeam > 0))) {
    // A step held open from before another recording's tables lay inside
    // the part before them: it stays lost, and this step waits instead;
    // unless it began after tables of its own recording.
    const int64_t lostHere = store->soundLostTicks - lostBefore;
    if (begins && HeldStepAtOthersTables(parts)) TakeBackHeldStep(store);
    Open(&parts.sound, store->ts_offset, wouldMove, store->soundTSOffset);
    parts.soundLostAtSeam = lostHere;
    parts.soundStepOnGrid = onGrid && !PartBegunBetween(parts, parts.soundBeforeAt, ReportedSoundStart(store));
    parts.soundStepAfterOthersTables = (marks & kTSStartAfterTables) && !(marks & kTSStartTablesRunOn);
    parts.soundStepPastRecordingTables = parts.recordingTablesAt > parts.soundBeforeAt;
    seam = true;
  }
  if (moved != 0 && !earlierPart) {
    seam = true;
    if (MeetsVideoSide(store, store->ts_offset, moved)) {
      parts.soundSeamPTS = out->PTS + shift;
      CloseSeam(store, false);
      shift = store->soundTimeShift;
    } else {
      if (begins && HeldStepAtOthersTables(parts)) TakeBackHeldStep(store);
      Open(&parts.sound, store->ts_offset, moved, store->soundTSOffset);
      parts.soundLostAtSeam = 0;
    }
  } else if (!seam && !store->soundLeavingOut && !insideBefore) {
    // The first sound of the movie, or sound that starts as a recording's
    // does (after tables, at a break of the counters), begins the sound of
    // the part whose pictures were found beginning just before it; sound
    // that starts so before any such part's pictures begins the sound of
    // the part whose first picture comes next.
    // The demultiplexer reports a PES when the next of its stream begins: a
    // sound PES reported after a part's first picture may have begun before
    // it, in the part before.
    const int64_t soundStart = first ? parts.firstSoundAt : store->soundTSOffset + kMTSPacketSize;
    const bool afterPictures = soundStart > parts.video.pesAt + kMTSPacketSize / 2;
    if ((first || begins) && afterPictures &&
        NearSide(parts.video, parts.video.moved, store->ts_offset, parts.video.moved) &&
        !LaterRecordingAfterVideoSide(store)) {
      seam = true;
      parts.soundSeamPTS = out->PTS + shift;
      CloseSeam(store, false);
      shift = store->soundTimeShift;
    } else if ((first || begins) && parts.sound.state == SeamSide::kClosed) {
      seam = true;
      parts.sound.state = SeamSide::kBegun;
      parts.soundBegunAfterLeftOut = 0;
      parts.sound.at = store->ts_offset;
      parts.sound.moved = 0;
      parts.sound.pesAt = first ? soundStart - kMTSPacketSize : store->soundTSOffset;
      parts.sound.begins = first;
    }
  }
  // A part whose pictures ran on without a step of their line, and whose
  // sound runs on past its first picture in the file without one either
  // (the counters ran on across that join, so the sound shows no start of
  // its own): the join is over. Left open, the side would take the step of
  // a later part's sound (a step short of a restart, read before that
  // part's pictures step) as this part's seam, and put that sound on the
  // line before the pictures move.
  if (!seam && !stepped && moved == 0 && !store->soundLeavingOut && !insideBefore &&
      parts.video.state == SeamSide::kOpen && parts.video.moved == 0 &&
      ReportedSoundStart(store) > parts.video.pesAt + kMTSPacketSize / 2)
    parts.video.state = SeamSide::kClosed;
  // The step from the sound before to this PES crosses the seam, or a
  // stretch of audio left out for its kind: how far the PES before ran past
  // this one's start (a part's sound may begin under it) or left a gap says
  // nothing of how long a PES lasts, and taken for that length it would
  // make the part's next regular step look like PES skipped. The step of
  // the track's sound before stays.
  if (seam || store->soundLeavingOut) store->soundKeyStep = stepBefore;
  if (seam) parts.soundAfterLeftOut = 0;
  if (seam && parts.sound.state != SeamSide::kClosed) parts.soundSeamPTS = out->PTS + shift;
  // Where this PES's sound goes in the media: kept when it begins a part's
  // sound.
  if (seam) parts.soundSeamMedia = store->soundMedia ? GetMediaDisplayDuration(store->soundMedia) : 0;
  parts.soundBeforeAt = ReportedSoundStart(store);
  return shift;
}

HeldSoundStep PartHeldSoundStep(const ImportParts& parts) {
  return {parts.sound, parts.soundLostAtSeam, parts.soundStepOnGrid, parts.soundStepAfterOthersTables,
          parts.soundStepPastRecordingTables};
}

void PartSoundLeftOut(MTS_MovieImportGlobalsRecord* store, const HeldSoundStep& before) {
  ImportParts& parts = store->parts;
  // Its step holds no seam open: a side it opened closes, and one held from
  // before stays as it was, with the sound lost that it holds (that step's,
  // not this one's).
  if (before.side.state != SeamSide::kOpen && parts.soundLostAtSeam > 0) {
    parts.sound.state = SeamSide::kClosed;
  } else if (before.side.state == SeamSide::kOpen && parts.sound.state == SeamSide::kOpen) {
    parts.sound = before.side;
    parts.soundLostAtSeam = before.lost;
    parts.soundStepOnGrid = before.onGrid;
    parts.soundStepAfterOthersTables = before.afterOthersTables;
    parts.soundStepPastRecordingTables = before.pastRecordingTables;
  }
  // A seam met by audio of another kind placed nothing: none of that part's
  // sound is in the track. Sound of the track's kind after it is a later
  // part's, and is placed when the stretch left out ends, beside its own
  // pictures; kept asked for, it would be placed as that part's sound,
  // beside the pictures read before it.
  if (parts.soundToPlace && (parts.soundSeamMedia < 0 || !store->soundMedia ||
                             parts.soundSeamMedia >= GetMediaDisplayDuration(store->soundMedia))) {
    parts.soundToPlace = 0;
    parts.soundSeamMedia = -1;
  }
}

bool PartPictureBegins(MTS_MovieImportGlobalsRecord* store) {
  const bool begins = store->parts.pictureToPlace != 0;
  store->parts.pictureToPlace = 0;
  return begins;
}

int64_t PartPlacePicture(MTS_MovieImportGlobalsRecord* store, int64_t shown, bool begins, bool intra, bool resumed,
                         bool seam) {
  ImportParts& parts = store->parts;
  // A part begins with an I picture (a step of the stamps at another picture
  // is a damaged stamp inside a group, and places nothing). It shows where
  // the pictures before end, its own step beyond that end kept in whole
  // pictures so that the track keeps its rate.
  if (begins && intra && parts.pictureEnd > 0) {
    const double frames = static_cast<double>(parts.pictureGap) * static_cast<uint32_t>(store->timeScale) / 90000.0 /
                          std::max<int32_t>(store->frameDuration, 1);
    parts.pictureShift = parts.pictureEnd + RoundHalfAway(frames) * store->frameDuration - shown;
  }
  // The I picture a step held as lost began with is added before the step
  // is known to be a join or a loss. Placed by its decode order it would
  // show a frame or more off the end of the pictures before wherever those
  // do not end in decode order (a part cut inside a group, or with another
  // delay from decode to display: a hole, or over their last); it shows
  // where they end, as a join read at once places it, and where a group
  // ended whole before it that is the same place.
  if (seam && intra && !begins && !resumed && parts.pictureEnd > 0) parts.pictureShift = parts.pictureEnd - shown;
  // After a stretch left out the media goes on where it ended, without a
  // hole: the time between stays empty in the track instead.
  if (resumed) parts.pictureShift = store->videoEndTime - shown;
  return parts.pictureShift;
}

void PartPicture(MTS_MovieImportGlobalsRecord* store, bool hasPTS, int64_t pts, int64_t shown) {
  ImportParts& parts = store->parts;
  parts.pictureEnd = std::max(parts.pictureEnd, shown + store->frameDuration);
  if (!hasPTS) return;
  parts.pictureSeen = 1;
  parts.picturePTS = pts;
  parts.pictureTime = shown + store->videoGapTime;
  parts.leftOutPartPTS = -1;
}

bool PartSoundAwaitsVideo(const MTS_MovieImportGlobalsRecord* store) {
  const ImportParts& parts = store->parts;
  if (parts.sound.state != SeamSide::kOpen) return false;
  // A video side found near it that moved the line as far is this seam's,
  // met already (and closed by other audio between); not where another
  // recording began in the file after that side's picture: the side is an
  // earlier part's (one whose audio was left out for its kind, its step
  // back as long by chance), and this sound's pictures are still to come.
  if (LaterRecordingAfterVideoSide(store)) return true;
  const int64_t apart = parts.video.moved - parts.sound.moved;
  return !(InReachOf(parts.video, parts.sound.at) && apart <= kLargestStep && -apart <= kLargestStep);
}

bool PartSoundAwaitsPictures(MTS_MovieImportGlobalsRecord* store, int64_t pts, int64_t media) {
  ImportParts& parts = store->parts;
  if (!parts.pictureSeen || !(TSDemuxReportedStartLib(store->tsDemux) & kTSStartAfterTables)) return false;
  // A seam of its own (a restart of its stamps) placed it already, or waits.
  // A part's sound begun by audio of the stretch just left out is no such
  // seam: none of it went into the track, and this sound takes its place.
  const bool begunLeftOut = parts.sound.state == SeamSide::kBegun && !parts.soundBegunAfterLeftOut &&
                            store->leftOutSound && !store->leftOutSound->empty() &&
                            parts.sound.pesAt + kMTSPacketSize >= store->leftOutSound->back().from;
  if (parts.soundToPlace || (parts.sound.state != SeamSide::kClosed && !begunLeftOut)) return false;
  // The video began that recording's part already (its first PES lies
  // before the sound's in the file): the sound goes beside its pictures now.
  // Not when another recording's tables lie between that side and this
  // sound: the side is an earlier part's (its audio left out for its kind),
  // and this sound's pictures are still to come.
  // That side is met so: a later step of this sound lies inside the part.
  if (parts.video.state == SeamSide::kOpen && parts.video.begins && InReach(parts.video, store->ts_offset) &&
      !LaterRecordingAfterVideoSide(store)) {
    parts.video.state = SeamSide::kClosed;
    return false;
  }
  // Its step from the pictures read so far says nothing (audio of another
  // kind lay between): the video's seam tells where it goes.
  parts.sound.state = SeamSide::kBegun;
  parts.sound.at = store->ts_offset;
  parts.sound.moved = 0;
  parts.sound.pesAt = store->soundTSOffset;
  parts.sound.begins = 0;
  parts.soundSeamMedia = media;
  parts.soundSeamPTS = pts;
  parts.soundToPlace = 0;
  parts.soundBegunAfterLeftOut = 1;
  return true;
}

int64_t PartSoundHeldFrom(const MTS_MovieImportGlobalsRecord* store) {
  const ImportParts& parts = store->parts;
  // Past the reach of a seam no video side can meet it any more (sound lost
  // there): its sound goes in as any.
  if (parts.sound.state == SeamSide::kOpen) return InReachOf(parts.sound, store->ts_offset) ? parts.soundSeamMedia : -1;
  // Sound that begins a part and waits for the video PES that tells whose
  // it is, or for its part's next sample to place it beside that part's
  // pictures (a part whose only picture is reported after its sound):
  // inserted now it would play where the track ends, not by its stamps.
  return parts.sound.state == SeamSide::kBegun || parts.soundToPlace ? parts.soundSeamMedia : -1;
}

bool PartSoundOfPartBefore(MTS_MovieImportGlobalsRecord* store, int64_t pts, int64_t* moved) {
  ImportParts& parts = store->parts;
  const int64_t at = ReportedSoundStart(store);
  int64_t own = 0, ownAt = 0;
  if (parts.video.state != SeamSide::kOpen || !InReach(parts.video, store->ts_offset) || !parts.partPictureSeen ||
      !SoundBeforeSidesTables(store) || !LineOfPartAt(parts, at, &own, &ownAt))
    return false;
  // A recording that begins (its tables' counter broke) between the sound
  // and the side's first picture tells at once; one that begins between its
  // part's first picture and the sound, the other way. Where the counters
  // ran on, its stamps tell: on its part's line it plays nearer the side's
  // first picture (where that part ends) than on the side's line.
  const int64_t tables = parts.recordingTablesAt;
  if (tables < at && tables > ownAt + kMTSPacketSize / 2) return false;
  if (tables < at || tables > parts.video.pesAt + kMTSPacketSize) {
    const int64_t onOwn = pts + own - store->soundTimeShift - parts.partPicturePTS;
    const int64_t onSide = pts + store->videoTimeShift - store->soundTimeShift - parts.partPicturePTS;
    if (onOwn > kLargestStep || -onOwn > kLargestStep || std::abs(onOwn) >= std::abs(onSide)) return false;
  }
  *moved = own - store->soundTimeShift;
  MoveSoundLine(store, *moved);
  // The step that brought it onto its own line was no seam of the side's.
  if (parts.sound.state == SeamSide::kOpen && parts.sound.pesAt == store->soundTSOffset) {
    parts.sound.state = SeamSide::kClosed;
    parts.soundLostAtSeam = 0;
  }
  return true;
}

int64_t PartSoundOntoVideoLine(MTS_MovieImportGlobalsRecord* store) {
  const int64_t d = store->videoTimeShift - store->soundTimeShift;
  MoveSoundLine(store, d);
  return d;
}

bool PartPictureOfEarlierSound(const MTS_MovieImportGlobalsRecord* store, int64_t* pts) {
  // A PES is reported once the next of its stream begins, so the sound of a
  // short part may be reported after the next part's pictures began: the
  // latest part's first picture is then not the one this sound leads. Only
  // when that picture is the latest line's is the line to go by.
  const ImportParts& parts = store->parts;
  if (parts.partLineCount < 2 || !parts.partPictureSeen) return false;
  const PartLine& latest = parts.partLines[(parts.partLineNext + kPartLines - 1) % kPartLines];
  const int64_t at = ReportedSoundStart(store);
  if (latest.picturePTS != parts.partPicturePTS || latest.pesAt + kMTSPacketSize / 2 < at) return false;
  for (int k = 2; k <= parts.partLineCount; ++k) {
    const PartLine& line = parts.partLines[(parts.partLineNext + kPartLines - k) % kPartLines];
    if (line.pesAt + kMTSPacketSize / 2 < at) {
      if (line.picturePTS < 0) return false;
      *pts = line.picturePTS;
      return true;
    }
  }
  return false;
}

bool PartSoundBesidePictures(const MTS_MovieImportGlobalsRecord* store, int64_t pts, int64_t* wanted) {
  const ImportParts& parts = store->parts;
  if (!parts.pictureSeen || !store->videoTrack || store->timeScale <= 0) return false;
  const int64_t start = VideoTrackStart(store);
  // Sound nearer a recording left out for its size, begun after the latest
  // picture, than that picture is its sound, and goes beside its first
  // picture.
  const bool leftOutPart = parts.leftOutPartPTS > parts.picturePTS &&
                           2 * (pts - parts.picturePTS) > parts.leftOutPartPTS - parts.picturePTS;
  const int64_t time = leftOutPart ? parts.leftOutPartTime : parts.pictureTime;
  const int64_t from = leftOutPart ? parts.leftOutPartPTS : parts.picturePTS;
  const double shown = static_cast<double>(time - start) * 90000.0 / store->timeScale;
  *wanted = RoundHalfAway((shown + static_cast<double>(pts - from)) * store->soundSampleRate / 90000.0);
  return true;
}

} // namespace mts_import
