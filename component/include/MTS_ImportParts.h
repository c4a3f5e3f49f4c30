// The parts of a joined recording, as the import reads them: a recording is
// a run of parts, each where another recording begins in the file, each
// with pictures and sound on its own time stamps. The importer keeps one
// small record of where the parts meet and asks it, through one function
// per event, how to carry a part's time stamps on and where its sound
// plays.
#pragma once

#include <cstdint>

#include "TSDemuxer.h"

struct MTS_MovieImportGlobalsRecord;

namespace mts_import {

// One stream's side of a seam between two parts. A seam is found by each
// stream at its own first PES of the new part; until the other stream
// finds it too, that side stays open with the file offset where it was
// found and how far it moved the stream's time line.
enum class SeamSide : uint8_t {
  kClosed,  // no seam waiting for the other stream
  kOpen,    // found by this stream by a step of its stamps, not yet by the other
  kBegun,   // sound only: a part's sound begins here (the movie's first sound,
            // or a PES after tables at a break of the counters), and the
            // video PES that comes next tells whether a part begins there too
};

struct SeamMark {
  SeamSide state;
  int64_t at;     // file offset (ts_offset) where this stream found it
  int64_t moved;  // how far it moved the stream's time line (90 kHz)
  int64_t pesAt;  // where the PES that found it starts (its reader offset)
  // Video: the PES begins another recording (tables, then a picture that
  // begins a coded sequence). The sound's side found near it in the file is
  // that part's, however far each line moved (a part without sound between
  // makes the two differ by its length). Sound, kBegun: the side is the
  // movie's first sound.
  uint8_t begins;
};

// The record of the parts. Loss is judged inside a part by its own stamps,
// counters and picture order (ContinueReportedTimes and the damage counts
// of the step), and at a seam by what the two sides say: a check that
// needs to know whether a PES begins a part asks PartVideoBegins (the
// video) or looks at the open sides here (the sound).
// Where a part's pictures begin in the file (the reader offset of its
// first video PES), the shift its stamps take onto the continued line and
// the time of that PES on the line (-1: not known).
struct PartLine {
  int64_t pesAt;
  int64_t shift;
  int64_t picturePTS;
};

// How many of the latest parts keep their line: enough for a sound PES
// reported only after several short parts without sound have been read.
constexpr int kPartLines = 16;

struct ImportParts {
  int32_t begun;  // parts begun so far (0 before the first PES)
  SeamMark video;
  SeamMark sound;
  // Sound time counted as lost where the sound stepped ahead before the
  // video showed the seam; taken back when the video's side comes. Whether
  // the PES that stepped so began after tables whose counter broke
  // (another recording's, maybe one whose pictures were all lost).
  int64_t soundLostAtSeam;
  uint8_t soundStepAfterOthersTables;
  // Whether a PAT whose own counter broke was read between the sound PES
  // before that step and the one that stepped (the flag above also follows
  // a break of the sound's counter alone, as a lost sound PES leaves).
  uint8_t soundStepPastRecordingTables;
  // Whether that step passed a whole number of the sound's own PES, with no
  // part's pictures begun in the file between the sound before and that
  // PES (a step past a part without sound is a seam, on the grid or not).
  uint8_t soundStepOnGrid;
  // How the video PES being read starts (kTSStartAfterTables,
  // kTSStartAtBreak), as a recording's first PES does.
  uint8_t videoStartMarks;
  // Where the video read so far ends on the continued time line (the
  // presentation time of the latest PES plus one step, pictures left out
  // included): a part's first picture is shown from there.
  int64_t videoLineEnd;
  // The line's end before the latest video PES was read.
  int64_t videoLineEndBeforePES;
  // The line's end before the latest video PES, while that PES's step was
  // measured from a picture left out for its size (-1 otherwise).
  int64_t videoLineEndBeforeLeftOutStep;
  // The latest picture of the track: its presentation time on the
  // continued line and the track time it shows at (video media units from
  // where the track's media starts, empty time before included). A part's
  // sound is placed beside its pictures by it.
  uint8_t pictureSeen;
  int64_t picturePTS;
  int64_t pictureTime;
  // The first picture of a recording left out for its size, read after the
  // latest picture of the track (-1: none): its presentation time on the
  // continued line, and the track time it stands for, where the track's
  // pictures end (video media units, as pictureTime). Its part's sound is
  // placed beside it, not beside the pictures before by a step of the
  // stamps that the movie leaves out.
  int64_t leftOutPartPTS;
  int64_t leftOutPartTime;
  // Where the track's pictures show (video media units). Inside a part each
  // picture shows by its own stamps (its decode time plus its own delay from
  // decode to display), moved by pictureShift; the part's first picture sets
  // that shift so that it shows where the pictures before it end by their
  // stamps (pictureEnd: the latest display time so far plus one frame), plus
  // the step from that end to its own stamp (pictureGap, 90 kHz).
  // pictureToPlace is set when a part begins, until its first picture is
  // described.
  uint8_t pictureToPlace;
  int64_t pictureGap;
  int64_t pictureShift;
  int64_t pictureEnd;
  // Set when a seam has moved the sound onto the video's line: the next
  // sound sample of the part is placed by its own stamps beside the part's
  // pictures.
  uint8_t soundToPlace;
  // The sound PES just read is that of a part before the latest one begun
  // (reported late, after the latest part's first picture), placed beside
  // its own part's pictures: it is no head of the latest part's sound.
  uint8_t soundOfEarlierPart;
  // How the sound PES being read starts (kTSStart* bits); whether a sound PES
  // was read; where the sound of a part that began before its pictures
  // begins in the sound media (-1: nowhere) and its presentation time (on
  // the continued line); whether a part's sound was placed so.
  uint8_t soundStartMarks;
  uint8_t soundSeen;
  int64_t soundSeamMedia;
  int64_t soundSeamPTS;
  uint8_t soundPlaced;
  // Where the first packet of the movie's first sound PES lies in the file
  // (-1 until seen): the first sound sample is read from offset 0, so this
  // is what tells whether it began before a part's first picture.
  int64_t firstSoundAt;
  // The presentation time (continued line) of the first PES of the latest
  // part begun, and whether one was: sound of that part before it, where the
  // part before still has sound, is that part's overlap and left out.
  int64_t partPicturePTS;
  uint8_t partPictureSeen;
  // The presentation time (continued line) of the latest video PES whose
  // step ahead was counted as lost (-1: none): the movie leaves that time
  // out, so sound stamped before this PES and after the pictures before the
  // loss has no pictures to play beside.
  int64_t lostStepPTS;
  // Program tables that begin a recording: where the latest such PAT lies
  // in the file (-1: none yet); the demultiplexer's judge of them, kept over
  // the packets read here.
  int64_t recordingTablesAt;
  TSTablesJudge tables;
  // A video PES that begins a coded sequence after tables that ran on,
  // whose step ahead was counted as lost for now: its presentation time
  // (continued line; -1: none). The sound stepping there too makes it a
  // part's first PES. How much further its line moves then, beyond the
  // step, to show its first picture where the pictures before end (its
  // delay from decode to display may differ from theirs), and whether it
  // does: only where that picture was left out for its size (the part's
  // place in the movie is then its stamps' alone; pictures in the track
  // show where those before end once that picture is placed, and the line
  // that places their sound follows them).
  int64_t seamPicturePTS;
  int64_t seamPictureAdjust;
  uint8_t seamPictureLeftOut;
  // Where the latest PAT lies in the file, whatever its counter (-1: none);
  // that offset as it stood when the latest video PES began, and when the
  // one before began (the PES reported next); for the PES that opened the
  // video's side, the last PAT before it: sound begun before that is the
  // part before's.
  int64_t tablesAt;
  int64_t tablesBeforeVideo;
  int64_t tablesBeforeReportedVideo;
  int64_t videoSideTablesAt;
  // The first PAT after the latest video PES began (-1: none yet); the
  // first after the PES before it began, and after the one before that.
  int64_t tablesAfterLatestVideo;
  int64_t tablesAfterVideoBefore;
  int64_t tablesAfterVideoBeforeReported;
  // The sound waiting for its part's pictures came after a stretch left out
  // for its kind: the part before has no sound of the track's kind, so none
  // of this part's plays before its first picture.
  uint8_t soundAfterLeftOut;
  // The open video side was opened by pictures of another size beginning a
  // coded sequence (PartOtherSizeBegins): only the first sound PES that
  // starts after them meets it.
  uint8_t videoSideBySize;
  // The open video side was opened by pictures whose stamps ran on, after
  // tables whose own counter ran on and with the video's counter running on:
  // only the sound's counter, broken after those tables, said another
  // recording begins there.
  uint8_t videoSideBySoundBreak;
  // The latest video PES began another recording whose stamps were set to
  // follow the one before by the longer of its streams (its pictures
  // stepped off their grid); the open video side was opened so: the sound
  // runs on across it with no step of its own, and its first PES that
  // starts after the side's pictures meets it.
  uint8_t videoRebased;
  uint8_t videoSideRebased;
  // The video PES being read begins a part, steps ahead by more than a
  // picture and a half with every counter running on across the step, and
  // no camera time code runs on across it: a join written with every
  // counter running on (as ffmpeg's concatenation does), not PES lost.
  uint8_t videoStepOffClock;
  // Whether the latest video PES begun in the file may begin a recording:
  // its first packet shows no slice before a sequence parameter set (a
  // picture inside a group begins none, whatever the counters did).
  uint8_t videoMayBegin;
  // The begun sound side was opened by sound of the track's kind after a
  // stretch left out for its kind (PartSoundAwaitsPictures): it waits for
  // the video's seam, and the pictures read next take it if none comes.
  uint8_t soundBegunAfterLeftOut;
  // Where recordings began in the file, as the video shows it: the tables
  // before the latest video PES that began a coded sequence after tables,
  // newest first (-1: none). A few are kept, for sound reported late across
  // parts of a picture or two. Whether each sequence went straight on from
  // the pictures before: the tables' and the video's counters ran on, and
  // so did its stamps (a camera repeats its tables and parameter sets before
  // intra pictures, and begins no recording there).
  static constexpr int kSequencesKept = 4;
  int64_t sequenceTablesAt[kSequencesKept];
  uint8_t sequenceRanOn[kSequencesKept];
  // Where the first packet of the sound PES reported before the one being
  // read lies in the file (-1: none yet).
  int64_t soundBeforeAt;
  // Where the latest sound PES begun after tables not its recording's own
  // (another recording's sound) lies in the file (-1: none yet).
  int64_t soundAfterOthersTablesAt;
  // The lines of the latest parts begun, oldest overwritten first: a sound
  // PES reported after later parts' pictures takes the line of the part it
  // lies in, not the one being read.
  PartLine partLines[kPartLines];
  uint8_t partLineNext;
  uint8_t partLineCount;
  // How often the part's own program tables come, in video decode time:
  // the time stamp (unwrapped, before it is continued) of the latest video
  // PES that began after a PAT (one since the PES before began) within the
  // part (-1: none yet), and the widest step between two such PES (0: not
  // known yet). PES lost between two PATs cover less than that step, so a
  // step ahead after tables that ran on which is longer (by more than a
  // frame) would have taken a PAT with it, and its counter would have
  // broken: another recording begins there instead. Where the video PES
  // reported last lies (its reader offset; -1: none), and where the latest
  // video PES offered begins in the file.
  int64_t tablesVideoKey;
  int64_t tablesSpacing;
  int64_t tablesVideoAt;
  int64_t latestVideoStartAt;
  // That PES's presentation stamp as coded (-1: none): the picture after
  // the one being reported, which tells whether pictures of a group begun
  // at an I picture show before it.
  int64_t latestVideoPTS;
  // The tables before the first coded sequence begun in the file after the
  // first video PES (-1: none yet). Sound whose PES starts before them is
  // the first recording's own.
  int64_t laterSequenceTablesAt;
  // For the two sound PES begun last (newest first): where each begins in
  // the file, and where the first video PES after the tables read last
  // before it begins (-1: none began between those tables and the sound).
  int64_t soundPesAt[2];
  int64_t soundPictureAt[2];
  // Where the first video PES begun after the latest tables begins; where
  // the latest video PES whose part was judged begins.
  int64_t tablesPictureAt;
  int64_t judgedVideoAt;
  // The latest video PES begun in the file may begin another recording: it
  // follows an earlier video PES, after tables read since that one began.
  // Until it is reported (the next video PES begins), sound that starts
  // after it may be a later part's.
  uint8_t sequenceBegunLast;
  // The video PES being read steps ahead past that spacing, and the time
  // the step would count as lost.
  uint8_t videoStepPassesTables;
  int64_t videoStepLost;
  // Or, however short the step, the video's own counter broke after those
  // tables as well: whole PES lost up to them leave what another
  // recording's start leaves (a part whose pictures show further after
  // their decode than the next part's first picture does steps ahead in
  // decode time with no gap on screen), so the step is read as a join, and
  // only sound that runs on across it by exactly its own step tells a loss
  // (the next part's sound may start less than a PES after the part
  // before's, which passes for running on by the measure above).
  uint8_t videoStepAtBreak;
  // How far the video PES being read steps past one step of its line (the
  // step between the two PES before it): what a join read at once takes
  // out of the line.
  int64_t videoStepPastLine;
  // How long after its decode the recording being read shows the picture
  // that begins it or its latest coded sequence (0 where the PES carries
  // no decode stamp: it decodes when it shows).
  int64_t videoDisplayDelay;
  // How long a picture of the stretch left out lasts by its own sequence's
  // timing (0: not known); its steps are measured by it, not the track's.
  int64_t leftOutPictureTicks;
  // How much of the latest video PES's step comes of its recording showing
  // its first picture sooner after its decode than the one before did.
  int64_t videoStepSooner;
  // The step as it shows on screen: less that difference, unbounded (a
  // part that shows its first picture sooner by more than it steps in
  // decode time begins under the pictures before).
  int64_t videoStepOnScreen;
  // A step so read as a join: where its video PES lies (its reader offset;
  // -1: none waiting), the time it would have lost and whether it was read
  // so at a break of the video's counter. Sound of the track that runs
  // straight on across it tells that one recording goes on there after all.
  // Where the latest sound PES that ran straight on lies, and where the
  // latest that did not (its run began there) lies (-1: none).
  int64_t tablesJoinAt;
  int64_t tablesJoinLost;
  uint8_t tablesJoinAtBreak;
  int64_t soundOnAt;
  int64_t soundRunAt;
  // Where the latest sound PES lies that did not run on by exactly its own
  // step (-1: none).
  int64_t soundOffStepAt;
  // A recording begun by its tables (a PAT whose counter broke, or the
  // file's first) whose sound began before any of its pictures: where those
  // tables lie (-1: none, or a video PES began since) and where its first
  // sound PES begins (-1: none yet). A video PES that begins after further
  // tables read since that sound, followed by sound of another kind, is the
  // next recording's, and the one begun at those tables lost its pictures
  // (a multiplexer may send a recording's tables again between its first
  // sound and its first picture: its sound then goes on in its kind). Set
  // for the latest video PES begun in the file, and for the one before it
  // (the PES reported next).
  int64_t soundOnlyTablesAt;
  int64_t soundOnlySoundAt;
  uint8_t videoAfterSoundOnly;
  uint8_t reportedVideoAfterSoundOnly;
  // The latest such video PES waiting to be judged: where the sound before
  // it begins, where the tables before it lie and where it begins (-1:
  // none waiting); the kind of the latest sound PES read between those
  // (0: none read yet); whether the PES began a coded sequence and whether
  // the first sound after those tables is of another kind (0: not known
  // yet, 1: yes, 2: no). Both yes: a picture's time is lost.
  int64_t lostPictureSoundAt;
  int64_t lostPictureTablesAt;
  int64_t lostPictureVideoAt;
  // Where a later video PES that may begin a recording (after tables read
  // since that one began) begins (-1: none yet). Sound after it is that
  // later recording's: the PES judged was the part's own picture, sent
  // after all of its sound, and tells of no loss.
  int64_t lostPictureNextRecordingAt;
  uint32_t lostPictureSoundKind;
  uint8_t lostPictureVideoBegins;
  uint8_t lostPictureSoundChanged;
  // The stamps of both (unwrapped; kNoSoundKey: not known yet): of the
  // latest sound PES of the recording that showed no picture, and the
  // decode time of the video PES judged. A multiplexer keeps the sound and
  // the pictures of one recording that lie side by side in the file within
  // a second or so of each other: stamps much further apart are two
  // recordings', and the first lost its pictures whatever its sound.
  int64_t lostPictureSoundKey;
  int64_t lostPictureVideoKey;
  // The decode time stamp (unwrapped, before it is continued) of the video
  // PES being taken.
  int64_t videoKey;
};

// A fresh record, for a new import.
void PartsReset(ImportParts* parts);

// Events of the import, in the order they come.
// The packet `packet` (kMTSPacketSize bytes at file offset ts_offset) is
// offered to the demultiplexer.
void PartPacketOffered(MTS_MovieImportGlobalsRecord* store, const uint8_t* packet);
// Whether an access unit that starts so (`marks`: kTSStart* bits of its
// PES) begins another recording: tables before it, then a picture that
// begins a coded sequence.
bool PartBeginsWith(uint32_t marks, const uint8_t* au, int32_t size);
// The video PES in pTSInfo (stamps unwrapped, before they are continued):
// whether it begins another recording (tables before it, then a picture
// that begins a coded sequence).
bool PartVideoBegins(const MTS_MovieImportGlobalsRecord* store);
// The video PES in pTSInfo (stamps unwrapped, before they are continued):
// whether the movie's first sound began ahead of it in the file, after the
// first tables that followed the video PES before it, its stamps beyond the
// start of the last picture read (those pictures had no sound: another
// recording, whose sound is sent ahead of its pictures, begins here).
bool PartSoundBegunBeforeVideo(const MTS_MovieImportGlobalsRecord* store);
// Whether the video PES in pTSInfo begins with an intra picture.
bool PartVideoBeginsIntra(const MTS_MovieImportGlobalsRecord* store);
// The video PES's stamps were continued with `shift`, moving the line by
// `*moved`: a part that begins here is placed after the pictures before
// (its shift adjusted, *shift and *moved with it); true when a part begins.
bool PartVideoPES(MTS_MovieImportGlobalsRecord* store, int64_t* shift, int64_t* moved);
// A step of both streams first counted as lost (the video's after tables
// that ran on, `videoStep` ticks) is read as a join after all, at the first
// sound PES beyond the video's: a part begins at the video's seam, the step
// leaves the video's line, and the sound's open side closes onto it. With
// `videoPES` the PES being read is the seam's picture (the sound met its
// step first), and its stamps leave the line with the step. With
// `soundWaits` the sound PES being read is a later part's (see
// PartRecordingBegunAfter): its side stays open for that part's pictures.
void PartBeginsAtTakenBackStep(MTS_MovieImportGlobalsRecord* store, int64_t videoStep, bool videoPES = false,
                               bool soundWaits = false);
// Whether another recording begins in the file after the video PES at reader
// offset `pesAt` and before the sound PES being reported (tables that broke
// the counters, or a video PES begun after tables, not reported yet, that
// starts as a recording's): the part of that PES has no sound.
bool PartRecordingBegunAfter(const MTS_MovieImportGlobalsRecord* store, int64_t pesAt);
// The video PES in pTSInfo (stamps continued) holds a step of `lost` ticks
// counted as lost for now, after tables that ran on: it may yet begin a
// part (PartBeginsAtTakenBackStep).
void PartSeamPicture(MTS_MovieImportGlobalsRecord* store, int64_t lost);
// The sound's seam closes onto the video's line: its next sample goes beside
// the part's pictures by its own stamps.
void PartSoundBesideVideo(MTS_MovieImportGlobalsRecord* store);
// A step of both streams first counted as lost is read as a join whose
// lines keep their steps, at a video PES that follows a picture left out for
// its size: the video's step (videoStepPastLine) leaves its line after all,
// so that the stretch left out lasts as long as its pictures, laid end to
// end as the track's own would be. With `soundRunsOn` the sound, which ran
// on across its own step, moves with it.
void PartStepLeavesLeftOutLine(MTS_MovieImportGlobalsRecord* store, bool soundRunsOn);
// The video PES just read (`marks`: how it starts) opened a stretch of
// pictures of another size than the track's: where it begins a coded
// sequence after tables it begins another recording even though no counter
// broke and its stamps ran on, and a step of the sound there is that seam's.
void PartOtherSizeBegins(MTS_MovieImportGlobalsRecord* store, uint32_t marks);
// The video PES just read, whose step after tables that ran on was counted
// as lost, begins a recording after all (audio left out for its kind said
// so, ahead of that recording's sound of the track's kind): the video's side
// of that seam opens for that sound, still to come, as a join read at once
// leaves it.
void PartVideoSideOfTakenBackSeam(MTS_MovieImportGlobalsRecord* store);
// The video PES in pTSInfo (stamps unwrapped, `key` its decode time) is
// about to be continued: notes whether its step ahead is longer than the
// part's tables leave between them (plus a frame).
void PartVideoStep(MTS_MovieImportGlobalsRecord* store, int64_t key);
// The video PES was continued (`key` as above; `restarted` whether its
// line moved, `lost` whether its step was counted as lost, `begins` whether
// a part begins with it): the spacing of the part's tables follows it.
void PartVideoTables(MTS_MovieImportGlobalsRecord* store, int64_t key, bool restarted, bool lost, bool begins);
// The video PES's stamps are final: the line's end follows it, one
// picture on (`stepBefore`: the step of the line before this PES).
void PartVideoLine(MTS_MovieImportGlobalsRecord* store, int64_t stepBefore);
// The track's pictures go on after a stretch left out for its size, with
// the video PES whose line end was just taken: it lasts one of the track's
// pictures, not the step the left-out pictures' rate gave it.
void PartVideoResumesTrack(MTS_MovieImportGlobalsRecord* store);
// The video PES just read is a picture left out for its size whose
// sequence tells its own picture's length (`ticks`, 90 kHz): the line runs
// on by that, not by the step of the pictures before.
void PartLeftOutPictureLasts(MTS_MovieImportGlobalsRecord* store, int64_t ticks);
// Whether sound that steps ahead by what would move its line by `moved`
// meets the video's open side (a seam, not sound lost).
bool PartSoundJoins(const MTS_MovieImportGlobalsRecord* store, int64_t moved);
// The sound PES's stamps were continued: `moved` is how far its line moved,
// `lostBefore` the sound counted lost before it, `wouldMove` how far a
// restart would have moved the line, `stepBefore` the step between sound
// PES before it. Returns the shift the PES takes.
int64_t PartSoundPES(MTS_MovieImportGlobalsRecord* store, int64_t shift, int64_t moved, int64_t lostBefore,
                     int64_t wouldMove, int64_t stepBefore);
// The sound's side of a seam and the step it holds, as the sound PES being
// read found them (taken before that PES is judged).
struct HeldSoundStep {
  SeamMark side;
  int64_t lost;
  uint8_t onGrid, afterOthersTables, pastRecordingTables;
};
HeldSoundStep PartHeldSoundStep(const ImportParts& parts);
// The sound PES just read was left out for its kind; `before`: the sound's
// side as it was before it. A seam waiting to place its part's sound has
// none of the track's kind to place.
void PartSoundLeftOut(MTS_MovieImportGlobalsRecord* store, const HeldSoundStep& before);
// Whether the picture being described is the first of a part (asked once
// per picture, so a field of the part before that is added later is not
// taken for it).
bool PartPictureBegins(MTS_MovieImportGlobalsRecord* store);
// A picture is about to be added: `shown` is where its own stamps show it in
// the media (decode time plus its own display offset), `begins` whether it is
// the first of a part, `intra` whether it is an I picture, `resumed` whether
// it takes the track up after a stretch left out, `seam` whether it is the
// picture a step held as lost began with. Returns the display shift of its
// part.
int64_t PartPlacePicture(MTS_MovieImportGlobalsRecord* store, int64_t shown, bool begins, bool intra, bool resumed,
                         bool seam);
// A picture was added to the track, shown at `shown` (video media units in
// the media); `hasPTS` and `pts` its presentation time (continued line).
void PartPicture(MTS_MovieImportGlobalsRecord* store, bool hasPTS, int64_t pts, int64_t shown);
// Whether the sound stepped on its own line at a seam the video has not
// reached yet: the pictures read so far are the part's before.
bool PartSoundAwaitsVideo(const MTS_MovieImportGlobalsRecord* store);
// Sound of the track's kind that ends a stretch left out for its kind and
// starts after program tables (`pts` on the sound's own line, its first
// sample at `media` in the sound media) begins another recording's sound:
// where the video has not yet read that recording's first picture, the
// sound waits for it (true), to be placed beside it by its own stamps once
// the video's seam closes.
bool PartSoundAwaitsPictures(MTS_MovieImportGlobalsRecord* store, int64_t pts, int64_t media);
// A video PES was taken that began after tables read since the sound of a
// recording that showed no picture (`begins`: it begins a coded sequence
// there, and no other sign told of that recording).
void PartVideoAfterSoundOnly(MTS_MovieImportGlobalsRecord* store, bool begins);
// A sound PES was taken (its stamps continued; `key`: its presentation
// time before that, kNoSoundKey without one; `marks`: how it starts): its
// kind and counter against the sound of a recording that showed no picture.
void PartSoundAfterSoundOnly(MTS_MovieImportGlobalsRecord* store, int64_t key, uint32_t marks);
// Where the sound media read past a step of the sound that waits for the
// video's side of its seam begins, or the sound of a part that waits to be
// placed beside its pictures (-1: no sound waits so, or the file was read
// on past where that side could come).
int64_t PartSoundHeldFrom(const MTS_MovieImportGlobalsRecord* store);
// Sound of the track's kind that ends a stretch left out for its kind (its
// first sample at `pts`, on the sound's line), begun in the file before the
// tables of the part whose first picture opened the video's side, and of
// the part it lies in by the tables between or, where their counters ran
// on, by its stamps: it is the sound of the part before that side, reported
// only after the side's first picture, and waits for no seam. It takes its
// part's line (`*moved`: how far its stamps move) and closes the side its
// own step opened; false, and nothing changes, for other sound.
bool PartSoundOfPartBefore(MTS_MovieImportGlobalsRecord* store, int64_t pts, int64_t* moved);
// The sound takes the video's shift; returns how far its stamps move.
int64_t PartSoundOntoVideoLine(MTS_MovieImportGlobalsRecord* store);
// The first picture (continued line) of the part the sound PES being
// reported belongs to when that PES began in the file before the latest
// part's pictures (false otherwise, or when not known).
bool PartPictureOfEarlierSound(const MTS_MovieImportGlobalsRecord* store, int64_t* pts);
// Where sound of presentation time `pts` (continued line) plays beside the
// latest picture: sound media units from track time 0. False before any
// picture.
bool PartSoundBesidePictures(const MTS_MovieImportGlobalsRecord* store, int64_t pts, int64_t* wanted);

} // namespace mts_import
