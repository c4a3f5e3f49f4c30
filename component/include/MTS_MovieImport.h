// The movie importer component: turns an AVCHD transport-stream recording
// (192-byte source packets, H.264 video on PID 0x1011, AC-3 or LPCM audio on
// PID 0x1100) into a movie whose samples are references into a virtual byte
// space served back by the data handler component.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "MTS_ImportParts.h"
#include "MTS_ImportPlatform.h"
#include "MTS_SharedMemory.h"
#include "TSDemuxer.h"

// Component identity.
constexpr OSType kMTSImporterType = FOUR_CHAR_CODE("eat ");
constexpr OSType kMTSImporterSubType = FOUR_CHAR_CODE("MTSI");
constexpr OSType kMTSImporterManufacturer = FOUR_CHAR_CODE("KELV");
constexpr OSType kMTSDataRefType = FOUR_CHAR_CODE("MTSI");
constexpr ComponentResult kMTSImporterVersion = 0x00010000;

// Sizes shared by the import road.
constexpr int32_t kMTSChunkSize = 0x2d000;     // 960 source packets
constexpr int32_t kMTSPacketSize = 192;        // arrival time + TS packet
constexpr int32_t kMTSPcmBufferSize = 0x20000; // one decoded AC-3 frame
// The sound's line restarted at a part's seam: its next step is judged by
// how long the PES before lasted (a value of soundInOrder).
constexpr uint8_t kSoundInOrderAtSeam = 2;

namespace mts_import {
// The stretches of time a stream's time stamps cover, merged where they
// meet within a second: at most kSpans; a time stamp beyond them all when
// they are full widens the nearest.
struct KeySpans {
  static constexpr int kSpans = 8;
  int64_t low[kSpans];
  int64_t high[kSpans];
  int32_t count;
};

// What the header of a slice says of the picture it belongs to.
struct SlicePicture {
  bool field;      // a field picture (field_pic_flag)
  bool bottom;     // bottom_field_flag
  uint32_t frameNum;
  bool idr;        // nal_unit_type 5
  bool reference;  // nal_ref_idc not 0
};
} // namespace mts_import

// Import states.
constexpr int32_t kMTSStateImporting = 1000;
constexpr int32_t kMTSStateEndOfStream = 10000;
constexpr int32_t kMTSStateInserted = 100000;

// Flags of MovieImportFile / MovieImportDataRef / MovieImportIdle.
constexpr int32_t kMTSInFlagRefused = 1 << 4;   // movieImportCreateTrack... is not served
constexpr int32_t kMTSInFlagIdle = 1 << 16;     // movieImportWithIdle
constexpr int32_t kMTSOutFlagNeedIdle = 1 << 5; // movieImportResultNeedIdles
constexpr int32_t kMTSOutFlagComplete = 1 << 6; // movieImportResultComplete

// Idle import constants.
constexpr int64_t kMTSIdleFirstBytes = 0x4000000; // 64 MiB before the first return
constexpr int32_t kMTSIdleInsertEvery = 20;       // insert on every twentieth idle

// One picture of the video track as the import step takes it: its slice
// kind and time stamps, its sample size and the frame-index value of its
// PES; for a frame sent as two field PES, also the size and value of the
// second field's PES.
struct MTS_VideoPicture {
  int32_t size;
  int32_t flags;
  bool intra;
  bool isB;
  bool restarted;  // the first picture of a part (after a seam of the time stamps)
  bool resumed;    // the first picture after a stretch left out
  uint16_t bPTS, bDTS;
  int64_t PTS, DTS;
  int64_t tsOffset;
  int32_t secondSize;
  int64_t secondTsOffset;
};

// A stretch of the file whose pictures the video track leaves out: pictures
// of another size than the track's (a recording joined from parts of
// different sizes), from the first packet of the PES that begins it (`from`)
// to the first packet of the PES with which the track's pictures go on
// (`to`; 0 when they do not: the stretch runs to the end of the file).
struct MTS_LeftOutVideo {
  int64_t from;
  int64_t to;
  int32_t width;
  int32_t height;
};

// A kind of audio as the sound track tells kinds apart: AC-3 or LPCM, the
// channel code of its stream information (1 stereo, 7 3/2+LFE; 0xFF when
// its header does not read), its sample rate (Hz) and, for LPCM, its sample
// size (bits).
struct MTS_SoundKind {
  uint8_t ac3;
  uint8_t channelCode;
  uint8_t bitsPerSample;
  int32_t sampleRate;
};

// A stretch of the file whose audio the sound track leaves out: audio of
// another kind than the track's (a recording joined from parts of different
// audio), from the first packet of the PES that begins it (`from`) to the
// first packet of the PES with which sound of the track's kind is taken
// again (`to`; 0 when it is not: the stretch runs to the end of the file).
struct MTS_LeftOutSound {
  int64_t from;
  int64_t to;
  MTS_SoundKind kind;
};

// The importer's instance record (`store`). Kept in memory only; handles and
// references are native pointers.
struct MTS_MovieImportGlobalsRecord {
  ComponentInstance self;
  OSType dataRefType;
  Movie theMovie;
  int64_t fileSize;
  ComponentInstance dataHandler;
  FILE* fp;
  TSDemuxContext* tsDemux;
  uint8_t* pTSbuffer;
  TSDemuxOutput* pTSInfo;
  Track soundTrack;
  Media soundMedia;
  SoundDescriptionHandle soundDescription;
  uint8_t isLPCM;
  MTS_AC3Decoder* ac3Decoder;
  MTS_AC3Info ac3decInfo;
  uint8_t* pcmBuffer;
  Track videoTrack;
  Media videoMedia;
  int32_t width;
  int32_t height;
  int32_t timeScale;
  int32_t frameDuration;
  int64_t startSampleNum;
  QTMutableSampleTableRef videoSampleTable;
  int32_t videoDescriptionID;
  Track timecodeTrack;
  Media timecodeMedia;
  Handle timecodeDescription;
  TimeCodeDef timecodeDef;
  QTMutableSampleTableRef timecodeSampleTable;
  int32_t timecodeDescriptionID;
  int64_t timecodeSampleNum;
  IdleManager idleManager;
  uint8_t isCamera;
  int32_t soundSampleRate;
  Track placeholderTrack;
  Media placeholderMedia;
  Handle soundDataRef;
  Handle videoDataRef;
  Handle timecodeDataRef;
  AvchdDataRecord* pRec;
  AvchdRecordDirectory* pARec;
  int32_t recordID;
  int64_t ts_offset;
  int64_t qt_offset;
  int64_t videoTSOffset;
  int64_t soundTSOffset;
  uint8_t needSoundTrack;
  uint8_t needVideoTrack;
  uint8_t needTimecodeTrack;
  int32_t videoFrames;
  int32_t soundFrames;
  int64_t sampleTableNum;
  int32_t soundEndTime;
  int32_t soundInsertedTime;
  int32_t videoEndTime;
  int32_t videoInsertedTime;
  int32_t timecodeEndTime;
  int32_t timecodeInsertedTime;
  int32_t state;
  int32_t idleCount;
  uint8_t idrSeen;
  int64_t firstIPTS;
  int64_t lastVideoPTS;
  int64_t firstVideoPTS;
  int64_t ptsOffset;
  int32_t skippedBFrames;
  int64_t videoEndPTS;
  int64_t videoEndDTS;
  int64_t soundEndPTS;
  std::vector<int32_t>* tcList;
  // Time codes of pictures whose camera data cannot be read follow from their
  // neighbours: tcAnchor is the frame number less the picture count (PTS in
  // frames) of the latest picture read, valid once tcAnchorValid is set.
  // Until then the last tcPending entries of tcList are picture counts of
  // such pictures, turned into frame numbers by the first picture read.
  uint8_t tcAnchorValid;
  int32_t tcAnchor;
  int32_t tcPending;
  // The alias record MovieImportFile made for an idle import, released with
  // the import.
  Handle sourceAlias;
  // Reference for unwrapping 33-bit time stamps: the first video PTS of the
  // import (-1 until one is seen). Every PTS and DTS the importer reads is
  // taken as the value congruent modulo 2^33 nearest to it.
  int64_t wrapReference;
  // Time stamps carried on across restarts (joined recordings): per stream,
  // the shift added to its time stamps, the last time stamp on the continued
  // line, the last step between two PES, and whether one was seen.
  int64_t videoTimeShift;
  int64_t lastVideoKey;
  int64_t videoKeyStep;
  uint8_t videoKeySeen;
  int64_t soundTimeShift;
  int64_t lastSoundKey;
  int64_t soundKeyStep;
  uint8_t soundKeySeen;
  // Per stream, the latest time stamp (unwrapped, unshifted) of the stretch
  // being read: a PES out of order is no restart of the stretch, and only
  // time beyond the latest can have been lost; and whether the last PES came
  // in order (after the one before it, beyond the stretch's latest time).
  int64_t videoKeyHigh;
  int64_t soundKeyHigh;
  uint8_t videoInOrder;
  uint8_t soundInOrder;  // kSoundInOrderAtSeam: the line restarted at a part's seam
  // What each stream's time stamps span: the time counted as lost is kept
  // within it.
  mts_import::KeySpans videoSpans;
  mts_import::KeySpans soundSpans;
  // Time (90 kHz ticks) of the PES lost between two that were read, per
  // stream: a step between their time stamps half again as long as a PES
  // lasts (a frame for video, the step before for sound) and below the
  // second that counts as a restart. Damage that the demultiplexer skipped;
  // for the host to report.
  int64_t videoLostTicks;
  int64_t soundLostTicks;
  // Pictures and sound frames in the movie whose PES the demultiplexer found
  // damaged: packets lost inside or sent twice, a length other than the one
  // announced, a last PES cut short. A PES whose next one starts at a break
  // of the counters is held in doubt (videoEndInDoubt, soundEndInDoubt) until
  // that next PES shows whether the time line restarts there (a join: the
  // counters of the next recording begin anew) or not (its tail was lost).
  // For the host to report.
  int32_t videoDamagedPictures;
  int32_t soundDamagedFrames;
  uint8_t videoEndInDoubt;
  uint8_t soundEndInDoubt;
  // Bytes before the first packet of the file (junk in front of the
  // recording), which the import skipped; for the host to report.
  int64_t bytesBeforeFirstPacket;
  // Bytes of the packet the file ends inside when that cut cost nothing
  // else that is reported (its stream could not be told, or what it began
  // is not imported); for the host to report.
  int32_t endCutBytes;
  // Set at the end of the file when the last picture may be cut short at a
  // packet's end and the stretch of video that would tell could not be
  // decoded: its end could not be checked. 1: the stretch was too long to
  // decode; 2: the decoder lacked memory. For the host to report.
  uint8_t videoEndUnchecked;
  // The decode time of the next video sample (video media units); where
  // each picture shows is the parts record's (parts).
  int64_t videoDecodeTime;
  // Where the sound plays: once placed, the sound's track time 0 is the
  // presentation time soundAnchorPTS. The range of media now being inserted
  // starts at media time soundRangeMedia and track time soundRangeTrack
  // (sound media units from track time 0); soundRangeAt is the movie time at
  // which its first insertion goes when the track ends before it (a gap in
  // the sound), -1 when it follows the track's end.
  // Field pictures: the sequence parameter set values their slice headers
  // are read with, and a first field waiting for its second (a stream sent
  // one PES per field), with what its slice header said.
  uint8_t sliceLog2MaxFrameNum;
  uint8_t sliceFrameMbsOnly;
  uint8_t sliceSeparateColourPlane;
  uint8_t fieldWaiting;
  MTS_VideoPicture waitingField;
  mts_import::SlicePicture waitingFieldSlice;
  // The last two intra pictures added to the video track (the last first):
  // the frame-index values of their PES and their presentation times; how
  // many of them there are (0 to 2). A recording whose last PES may be cut
  // is decoded from one of them to its end.
  int64_t intraTSOffsets[2];
  int64_t intraPTS[2];
  uint8_t intraCount;
  // The samples added to the video track since each of them (itself
  // included): what that decode would take.
  int32_t intraSamples[2];
  // The frame-index value of the last PES that carried a sequence parameter
  // set of the track's size (-1: none yet): an intra picture need not carry
  // the parameter sets, and that decode starts from them.
  int64_t setsTSOffset;
  // The sound track holds one kind of audio: LPCM of the first audio PES's
  // sample size and coded channels, or AC-3 of its layout. Audio of another
  // kind (a recording joined from parts of different audio) is left out
  // until sound of the track's kind comes again. The track's kind; the
  // stretches left out, in file order (null until the first; the last is
  // open while soundLeavingOut is set), for the host to report.
  uint8_t lpcmChannels;
  uint8_t lpcmBits;
  MTS_SoundKind soundKind;
  std::vector<MTS_LeftOutSound>* leftOutSound;
  uint8_t soundLeavingOut;
  // Set when the sound PES just handled was left out for its kind: no
  // damage, and its time stamps tell nothing about sound lost.
  uint8_t soundLeftOut;
  // The video track holds pictures of one size, `width` x `height`: from
  // a sequence parameter set of another size on (a recording joined from
  // parts of different sizes) the video is left out, until an IDR picture
  // whose access unit names the track's size again. The stretches left out,
  // in file order (null until the first; the last is open while
  // videoLeavingOut is set), for the host to report; whether the PES just
  // handled was left out (no damage, and its time stamps tell nothing about
  // pictures lost).
  std::vector<MTS_LeftOutVideo>* leftOutVideo;
  uint8_t videoLeavingOut;
  uint8_t videoLeftOut;
  // The time a left-out stretch takes stays empty in the video track (and
  // the timecode track): the end (presentation time, 90 kHz, on the
  // continued time line) of the pictures added so far; the empty time
  // before the media range now being inserted (video media units), and that
  // of the stretch being left out so far; and the movie time at which the
  // first insertion of that range goes when the tracks end before it (-1
  // when it follows their end).
  int64_t videoPTSEnd;
  int32_t videoGapTime;
  int32_t videoOpenGapTime;
  TimeValue videoRangeAt;
  TimeValue timecodeRangeAt;
  // The movie time left empty in the video track before the ranges inserted
  // after such stretches (the track runs that far ahead of its media).
  TimeValue videoInsertedGapTime;
  // A stretch left out that the file ends in: the time it takes (video media
  // units), still to go into the video and timecode tracks as empty time
  // after their last media.
  int32_t videoTrailingGapTime;
  uint8_t soundAnchored;
  int64_t soundAnchorPTS;
  int64_t soundRangeMedia;
  int64_t soundRangeTrack;
  TimeValue soundRangeAt;
  // Set while the last sound PES, timed by the pre-scan's estimate of the
  // sound's end, is added at the end of the file.
  uint8_t soundEndEstimated;
  // The parts of a joined recording: where they meet, and where each
  // part's sound plays beside its pictures.
  mts_import::ImportParts parts;
  // Loss judged inside a part of the recording (see MTS_ImportLoss.cpp).
  // Sound that stepped ahead while no join was seen yet: the frame-index
  // value of the PES after the step; a video PES read from beyond it that
  // joins nothing shows the step lost inside the part.
  int64_t soundStepAt;
  // A part that begins after a seam without its IDR picture: its pictures
  // up to its next intra picture refer to pictures never received.
  uint8_t videoPartUndecodable;
  // Video time counted lost at a seam after the recording's own tables (the
  // counters running on) and the frame-index value of the PES there: when
  // the sound steps ahead at the same seam, every stream has one, as where
  // another recording begins, and neither step is counted.
  int64_t videoSeamLost;
  int64_t videoSeamAt;
  // What of that time still counts as lost, to be taken back with the seam:
  // none once the seam's picture was left out for its size (the steps of
  // pictures left out count for nothing).
  int64_t videoSeamCounted;
  // What seams held so before the latest one still count as lost (parts
  // without sound in a row: no sound was read beyond them when the next was
  // found). The sound that settles the latest seam lies beyond them too, and
  // settles each of them the same way.
  int64_t earlierSeamsCounted;
  // Video PES read since the last sound PES, of any kind (-1: none yet), and
  // its count where a seam was held right after such sound (-1: the stretch
  // before the seam had none). A recording keeps its sound, so
  // pictures that go on long after such a seam with no sound at all are
  // another recording's.
  int32_t videoSinceSound;
  int32_t videoSeamQuietFrom;
  // The head of a recording cut at its start: video PES left out before the
  // first picture imported (no parameter sets to start from), the earliest
  // time stamps read there and of the sound, and the first picture's.
  int32_t headPicturesLeftOut;
  int64_t headEarliestPTS;
  int64_t soundEarliestPTS;
  int64_t firstPicturePTS;
  uint8_t soundEarliestSeen;
  uint8_t firstPictureSeen;
  // Audio left out for its kind keeps its own stamps: the last one read in
  // the stretch and its step (when one was seen), and the frame-index value
  // of a PES after which it stepped ahead (-1: none), which a video seam
  // after the recording's own tables meets as the track's sound would.
  uint8_t leftOutSoundSeen;
  int64_t leftOutSoundKey;
  int64_t leftOutSoundStep;
  int64_t leftOutSoundStepAt;
  // A part's sound runs by its own stamps beside its own pictures (the
  // part's first picture is kept by the parts record): how long the last
  // sound PES added lasts (90 kHz), and the first sound of a part met at
  // the sound PES being read, judged once that PES is added; the part
  // whose sound was judged (its number in parts.begun).
  int64_t soundPESTicks;
  uint8_t partSoundHeadPending;
  int64_t partSoundHeadPTS;
  int32_t partSoundJudged;
  // Of soundLostTicks, what parts' heads lost: it lies between a part's
  // first picture and its sound, outside the sound's own stamps, so the
  // cap by what those span leaves it (a part left with one sound PES spans
  // nothing).
  int64_t soundHeadLostTicks;
  // A video restart at a picture other than an intra picture, with neither
  // tables nor a break of the counters before it, waiting for the next
  // picture to tell whether the line stays there; its pictures; the
  // video's shift before the latest restart, and after the last picture
  // judged.
  uint8_t headlessPart;
  int32_t headlessPictures;
  int64_t headlessShift;
  int64_t judgedShift;
  // Pictures left out for their size since a restart, or a step past pictures
  // lost, at a picture other than an intra picture: a part that lost its head,
  // up to its next intra picture.
  uint8_t leftOutHeadless;
  // A PES whose head was lost came right after a picture left out for its
  // size, and how many pictures were left out since (none of them intra):
  // lost video of the track when a picture of the track comes next.
  uint8_t headLostAfterLeftOut;
  int32_t leftOutSinceHeadLost;
  // The video's lost time when that head was lost: time counted lost since
  // (those pictures as a part without its head, or a step of their stamps)
  // already tells of it.
  int64_t videoLostAtHeadLost;
  // The frame-index value of the last sound PES at which the sound's time
  // line moved (-1: none).
  int64_t soundMovedAt;
  // Sound media dropped from the head of the sound media before the track
  // played any of it (sound media units, in all): the media is begun anew
  // at the first sample played.
  int64_t soundHeadDropped;
};

// Component entry point and selector handlers.
extern "C" ComponentResult MTS_MovieImportComponentDispatch(ComponentParameters* params, Handle storage);
ComponentResult MTS_MovieImportOpen(MTS_MovieImportGlobalsRecord* storage, ComponentInstance self);
ComponentResult MTS_MovieImportClose(MTS_MovieImportGlobalsRecord* store, ComponentInstance self);
ComponentResult MTS_MovieImportVersion();
ComponentResult MTS_MovieImportCanDo(MTS_MovieImportGlobalsRecord* store, int16_t selector);
ComponentResult MTS_MovieImportRegister();
ComponentResult MTS_MovieImportFile(MTS_MovieImportGlobalsRecord* store, const FSSpec* theFile, Movie theMovie,
                                    Track targetTrack, Track* usedTrack, TimeValue atTime, TimeValue* addedDuration,
                                    int32_t inFlags, int32_t* outFlags);
ComponentResult MTS_MovieImportValidate(MTS_MovieImportGlobalsRecord* store, const FSSpec* theFile,
                                        Handle theData, Boolean* valid);
ComponentResult MTS_MovieImportDataRef(MTS_MovieImportGlobalsRecord* store, Handle dataRef, OSType dataRefType,
                                       Movie theMovie, Track targetTrack, Track* usedTrack, TimeValue atTime,
                                       TimeValue* addedDuration, int32_t inFlags, int32_t* outFlags);
ComponentResult MTS_MovieImportGetMIMETypeList(MTS_MovieImportGlobalsRecord* store, QTAtomContainer* mimeInfo);
ComponentResult MTS_MovieImportIdle(MTS_MovieImportGlobalsRecord* store, int32_t inFlags, int32_t* outFlags);
ComponentResult MTS_MovieImportValidateDataRef(MTS_MovieImportGlobalsRecord* store, Handle dataRef,
                                               OSType dataRefType, UInt8* valid);
ComponentResult MTS_MovieImportGetMaxLoadedTime(MTS_MovieImportGlobalsRecord* store, TimeValue* time);
ComponentResult MTS_MovieImportSetIdleManager(MTS_MovieImportGlobalsRecord* store, IdleManager im);

// Import driver helpers.
OSErr MTS_CreatePlaceholderTrack(MTS_MovieImportGlobalsRecord* store, Handle dataRef, OSType dataRefType);
TimeValue MTS_GetMovieMaxInsertTime(MTS_MovieImportGlobalsRecord* store);
TimeValue MTS_frame_number_to_movie_time(MTS_MovieImportGlobalsRecord* store, int32_t frameNumber);
int32_t MTS_movie_time_to_frame_number(MTS_MovieImportGlobalsRecord* store, TimeValue movieTime);

// Pre-scan.
int32_t MTS_GetFrameNum(MTS_MovieImportGlobalsRecord* store);
int32_t MTS_GetSoundFrameNum(MTS_MovieImportGlobalsRecord* store);
int32_t MTS_Importer_StartTSdemuxer(MTS_MovieImportGlobalsRecord* store, int64_t offset);
int32_t MTS_GetVideoLength(const uint8_t* buffer, int32_t length);

// Per-sample step and insertion.
int32_t MTS_makeDataRef(Handle* out, uint32_t recordID, uint32_t type);
OSErr MTS_decode_one_sample(MTS_MovieImportGlobalsRecord* store);
OSErr MTS_insertMedia(MTS_MovieImportGlobalsRecord* store, TimeValue atTime);

// Video track.
OSErr MTS_create_video_track(MTS_MovieImportGlobalsRecord* store, const SequenceParameterSetFields* sps,
                             Handle videoDataRef);
int32_t MTS_create_avcC_extension(const uint8_t* accessUnit, int32_t length, uint8_t* out, int32_t* outLength);
OSErr MTS_add_video_sample(MTS_MovieImportGlobalsRecord* store, int32_t* outSize, Boolean isLast);

// Sound track.
OSErr MTS_create_sound_track(MTS_MovieImportGlobalsRecord* store, Handle soundDataRef);
OSErr MTS_add_sound_sample(MTS_MovieImportGlobalsRecord* store, int32_t* outSize);

// Timecode track and list.
OSErr MTS_create_timecode_track(MTS_MovieImportGlobalsRecord* store);
int32_t MTS_add_timecode_sample(MTS_MovieImportGlobalsRecord* store);
int32_t MTS_NewTCList(MTS_MovieImportGlobalsRecord* store);
int32_t MTS_PushTCSample(MTS_MovieImportGlobalsRecord* store, int32_t frameNumber);
int32_t MTS_FlushTCList(MTS_MovieImportGlobalsRecord* store);
int32_t MTS_ClearTCList(MTS_MovieImportGlobalsRecord* store);
OSErr MTS_create_PtrToHand(uint32_t first, uint32_t second, Handle* out);

// Movie metadata.
OSErr MTS_add_metadata(MTS_MovieImportGlobalsRecord* store);

// Shared helpers of the import road.
namespace mts_import {

// Whether the reported video PES carries a camera time code that follows
// from the pictures read before it, were it shown at `pts` on their line:
// the recording's own clock ran on across its step. False where either has
// no time code.
bool TimeCodeRunsOn(const MTS_MovieImportGlobalsRecord* store, int64_t pts);

// The error of a failed allocation: MemError, or memFullErr when it reports
// none.
inline OSErr AllocationError() {
  OSErr err = MemError();
  return err != noErr ? err : static_cast<OSErr>(memFullErr);
}

// The type of a slice by its coded slice_type (kSliceTypeP to kSliceTypeSI,
// as coded or plus kSliceTypeCount); kSliceTypeCount for a value no slice
// has.
inline unsigned SliceTypeOf(unsigned sliceType) {
  return sliceType < 2 * kSliceTypeCount ? sliceType % kSliceTypeCount : kSliceTypeCount;
}

// Intra (I or SI) and B slices by their coded slice_type.
inline bool IsIntraSlice(unsigned sliceType) {
  const unsigned t = SliceTypeOf(sliceType);
  return t == kSliceTypeI || t == kSliceTypeSI;
}
inline bool IsBSlice(unsigned sliceType) { return SliceTypeOf(sliceType) == kSliceTypeB; }

// Nearest integer, halves away from zero, truncated toward zero.
inline int64_t RoundHalfAway(double x) { return static_cast<int64_t>(x >= 0 ? x + 0.5 : x - 0.5); }

// The value congruent to ts modulo 2^33 nearest to reference (a reference
// below 0 leaves ts unchanged).
int64_t UnwrapTimestamp(int64_t reference, int64_t ts);

// Unwraps the PTS and DTS of the PES just reported in pTSInfo.
void UnwrapReportedTimes(MTS_MovieImportGlobalsRecord* store);

// Carries the time stamps of the PES in pTSInfo (video or sound, already
// unwrapped) on across a restart of the stream's time stamps.
void ContinueReportedTimes(MTS_MovieImportGlobalsRecord* store, bool video);

// Inserts the sound media from soundInsertedTime to soundEndTime into the
// sound track (at soundRangeAt when the track ends before it, else at
// `atTime`), as far as whole movie units reach.
OSErr InsertSoundRange(MTS_MovieImportGlobalsRecord* store, TimeValue atTime);

// Inserts the video media from videoInsertedTime to videoEndTime into the
// video track, and the timecode media likewise, at `atTime` (at
// videoRangeAt and timecodeRangeAt when the tracks end before them).
OSErr InsertVideoRanges(MTS_MovieImportGlobalsRecord* store, TimeValue atTime);

// Length of the next chunk to read at ts_offset: at most one chunk, the rest
// of the file at its end; 0 or less past it.
int64_t NextChunkLength(const MTS_MovieImportGlobalsRecord* store);

// Where a reader restarts for the PES that begins with the first packet the
// demultiplexer holds, the offers having reached file offset `offeredEnd`.
int64_t NextSampleOffset(const MTS_MovieImportGlobalsRecord* store, int64_t offeredEnd);

// First position at or after `from` where a start code 00 00 01 begins with
// at least one byte after it (four bytes in all); `length` when there is none.
int32_t NextStartCode(const uint8_t* buffer, int32_t from, int32_t length);

// MTS_GetVideoLength of an access unit, and in *firstSlice and *lastSlice
// (when not null) the positions of the NAL header bytes of its first and
// last slices (type 1 or 5), -1 when it has none: one pass over the bytes
// gives all three.
int32_t VideoSampleLength(const uint8_t* buffer, int32_t length, int32_t* firstSlice,
                          int32_t* lastSlice = nullptr);

// The first bytes of the slice whose NAL header byte lies at `nal` in
// `buffer` (`length` bytes), emulation prevention bytes taken out, read
// field by field from the header's start.
class SliceHeaderBits {
 public:
  SliceHeaderBits(const uint8_t* buffer, int32_t length, int32_t nal);
  bool Read(int count, uint32_t* v);  // a fixed-length field
  bool Ue(uint32_t* v);               // an Exp-Golomb code
 private:
  uint8_t rbsp_[32];
  int32_t bits_ = 0, at_ = 0;
};

// Reads the slice header whose NAL header byte is at `nal` in `buffer`
// (emulation prevention removed on the way), with the sequence parameter
// set's log2_max_frame_num, frame_mbs_only_flag and
// separate_colour_plane_flag. False when the header ends too soon.
bool ReadSlicePicture(const uint8_t* buffer, int32_t length, int32_t nal, uint32_t log2MaxFrameNum,
                      bool frameMbsOnly, bool separateColourPlane, SlicePicture* out);

// True when the access unit holds a single field: its first and last
// slices (at firstSlice and lastSlice, as VideoSampleLength finds them) are
// of one field; *field is what the first slice says.
bool SingleField(const uint8_t* au, int32_t length, int32_t firstSlice, int32_t lastSlice, uint32_t log2MaxFrameNum,
                 bool frameMbsOnly, bool separateColourPlane, SlicePicture* field);

// True when `second` is the second field of the frame whose first field is
// `first`: fields of opposite parity with the same frame_num, both
// reference or both not, the second no IDR picture (an IDR picture's
// second field is coded as a non-IDR one).
bool SecondFieldOf(const SlicePicture& first, const SlicePicture& second);

// What the decoder tells of the last picture of the video track, whose PES
// ends without the stuffing that ends a PES (so that it may be cut at a
// packet's end, or fill its last packet exactly): the video from the intra
// picture before it to the end of the file is decoded once, and the picture
// is whole when the decoder met no damage in it. `lastPTS` is its
// presentation time (`hasPTS`: its PES gave one). kCut when it is not whole,
// or when the decoder cannot tell (no intra picture before it that the
// decoder starts from, a decoder that rejects the stream or fails);
// kUnchecked when the stretch holds more pictures or bytes than are decoded
// for it; kNoMemory when the decoder could not get the memory it needs (the
// import goes on, its end unchecked: the check alone needs far more address
// space than the import, and an unproven cut must not be told as damage).
enum class LastPicture { kWhole, kCut, kUnchecked, kNoMemory };
LastPicture CheckLastPicture(MTS_MovieImportGlobalsRecord* store, bool hasPTS, int64_t lastPTS);

// Whether the sound PES in `out` holds AC-3 (its first bytes are a sync word).
bool IsAC3(const TSDemuxOutput* out);

// How long one picture lasts, in 90 kHz ticks (0 before the time base is
// known).
int64_t VideoFrameTicks(const MTS_MovieImportGlobalsRecord* store);

// The video media time the track begins with (video media units): where
// its first edit starts, or, while the track is still empty, where its
// first insertion will (after the leading B pictures a recording cut at an
// open group begins with).
int64_t VideoTrackStart(const MTS_MovieImportGlobalsRecord* store);

// How long a stretch of pictures left out (`ticks` of its time stamps)
// stays empty in the video track: video media units, whole pictures of the
// track.
int64_t LeftOutVideoUnits(const MTS_MovieImportGlobalsRecord* store, int64_t ticks);

// The movie's time scale for video media of time scale `videoScale`: a
// scale of whole milliseconds or finer is kept; a coarser one (25 units a
// second at 25p) is multiplied up to at least 48000, so that sound edits
// start and end on the sample their stamps give rather than on a picture
// grid (48000 exactly at 24, 25, 30, 50 and 60 pictures a second; movie
// times of 32 bits then reach about 12 hours).
int32_t MovieTimeScaleFor(int32_t videoScale);

// Video media units as movie time (the movie's scale is a whole multiple of
// the video's).
int64_t VideoUnitsToMovieTime(const MTS_MovieImportGlobalsRecord* store, int64_t units);

// Keeps the sequence parameter set values that slice headers are read with.
void KeepSliceHeaderValues(MTS_MovieImportGlobalsRecord* store, const SequenceParameterSetFields* sps);

// The picture size the movie gives a sequence parameter set's pictures.
void PictureSize(const SequenceParameterSetFields* sps, int32_t* width, int32_t* height);

// How many leading bytes of an access unit the slice inspection needs to
// describe its first slice exactly as the whole unit would: the bytes up to
// the first slice's header and a stretch of its payload that holds the
// slice header's first fields whole. The whole length when that cannot be
// shown from the bytes (no slice, a short unit, zero pairs in the stretch).
int32_t FirstSliceSpan(const uint8_t* buffer, int32_t length, int32_t firstSlice);

// Loss judged inside a part of the recording, by its own time stamps,
// counters and picture order, and at its seam (MTS_ImportLoss.cpp).
void ResetLossChecks(MTS_MovieImportGlobalsRecord* store);
// After a sound PES's times were continued: `pendingBefore`, whether a step
// ahead was waiting for a join before it; `pesAt`, its frame-index value.
void NoteSoundStep(MTS_MovieImportGlobalsRecord* store, bool pendingBefore, int64_t pesAt);
// A sound PES of the track's kind handled: `inOrder`, whether its times
// ran straight on from the sound before (no step ahead, no restart);
// `exact`, whether they did so by exactly the sound's own step; `pesAt`,
// its frame-index value.
void NoteSoundAcrossTablesJoin(MTS_MovieImportGlobalsRecord* store, bool inOrder, bool exact, int64_t pesAt);
// A sound PES handled: `leftOut` when it was left out for its kind, `key`
// its unwrapped time stamp (kNoSoundKey: none; a part whose stamps go back
// across their wrap unwraps below 0), `marks` how it starts.
constexpr int64_t kNoSoundKey = INT64_MIN;
void NoteLeftOutSoundStep(MTS_MovieImportGlobalsRecord* store, bool leftOut, int64_t key, uint32_t marks,
                          int64_t pesAt);
// Before a video PES's times are continued (`pesAt`, its frame-index value;
// `marks`, how it starts): sound that stepped ahead behind it without a join
// stays lost.
void KeepSoundStepLost(MTS_MovieImportGlobalsRecord* store, int64_t pesAt, uint32_t marks);
// Whether the video PES just taken begins another recording: program tables
// and a counter break before it, and an intra picture (`added`: its sample
// was added) or a picture left out for its size or kind after tables of its
// own (not the running ones), or parameter sets and an IDR picture after
// tables whose counters ran on. The PES before it may then end unstuffed at a full
// packet without any loss: the join broke its counters, not a lost tail.
bool BeginsRecording(const MTS_MovieImportGlobalsRecord* store, uint32_t marks, bool added);
// A video PES left out before the first picture imported.
void NoteHeadPicture(MTS_MovieImportGlobalsRecord* store);
// A sound PES read (its time stamp continued).
void NoteSoundTime(MTS_MovieImportGlobalsRecord* store);
// After a video sample was added (`added`): `restarted`, the time line moved
// at this PES; `marks`, how it starts; `counted`, whether its damage was
// already counted; `brokeInLine`, the video's counter broke before it while
// its stamps ran on.
void JudgeVideoPart(MTS_MovieImportGlobalsRecord* store, bool added, bool restarted, uint32_t marks, bool counted,
                    bool brokeInLine);
// The video PES just read was left out for its size (or not): where the
// time line restarts (a part beginning) or steps ahead past pictures lost
// (`broke`: either) at a picture other than an intra picture, the part lost
// its head, and its pictures up to its next intra picture cannot be
// decoded; their time is counted lost.
void JudgeLeftOutPart(MTS_MovieImportGlobalsRecord* store, bool broke);
// After a video PES's times were continued: `lostBefore`, the video time
// counted lost before it; `marks`, how it starts; `pesAt`, its frame-index
// value.
void NoteVideoSeam(MTS_MovieImportGlobalsRecord* store, int64_t lostBefore, uint32_t marks, int64_t pesAt);
// The video PES at `pesAt` was taken (`leftOut`: left out for its size, so
// its step is no longer counted as lost): a seam still held at it takes
// back only what is still counted, and, made a join, places its part by
// the stamps alone.
void NoteVideoSeamTaken(MTS_MovieImportGlobalsRecord* store, int64_t pesAt, bool leftOut);
// A video PES read (`atEnd`: the file ended): a seam held after the sound
// before it, that no sound has followed over several pictures or up to the
// file's end, is a join after all.
void NoteVideoAfterSeam(MTS_MovieImportGlobalsRecord* store, bool atEnd);
// After a video PES was taken: `marks`, how it starts; `afterSoundOnly`,
// it began after tables read since the sound of a recording begun by its
// own tables that showed no picture.
void NoteEmptyRecording(MTS_MovieImportGlobalsRecord* store, uint32_t marks, bool afterSoundOnly);
// After a video PES's times were continued: `toPlaceBefore`, whether a
// part's sound waited to be placed before it.
void NotePartPicture(MTS_MovieImportGlobalsRecord* store, bool toPlaceBefore);
// After a sound PES's times were continued: `toPlaceBefore`, whether a
// part's sound waited to be placed before it.
void NotePartSound(MTS_MovieImportGlobalsRecord* store, bool toPlaceBefore);
// Sound of the track's kind that ends a stretch left out for its kind was
// moved onto the line of the pictures being read (`pts`, its first sample
// there): it begins the sound their part has in the track.
void NoteSoundAfterLeftOut(MTS_MovieImportGlobalsRecord* store, int64_t pts);
// After that sound PES was handled: `mediaBefore`, the sound media's length
// before it; `leftOut`, it was left out for its kind.
void JudgePartSoundHead(MTS_MovieImportGlobalsRecord* store, int64_t mediaBefore, bool leftOut);
// At the end of the file: what a recording cut at its start left out.
// Returns the time of the pictures it counted there, a picture's time each.
int64_t FinishLossChecks(MTS_MovieImportGlobalsRecord* store);

// Frames of an LPCM PES: its payload after the 4-byte header, in frames of
// the coded channels at 2 (16-bit) or 3 (20- and 24-bit) bytes per sample.
int32_t LPCMBytesPerSample(uint32_t bitsPerSample);
int32_t LPCMFramesOf(int32_t audioSize, const LPCMStreamInfo& info);

// The AC-3 decoder as the importer uses it. ReadAC3FrameHeader gives the PCM
// bytes and the channel configuration of the first whole frame in `data`
// from its header alone (-3 when there is none, -1 without a decoder), so a
// frame whose audio does not decode counts like the rest; AC3FrameByteSize
// is the size of the last frame header read.
MTS_AC3Decoder* AC3Open();
void AC3Close(MTS_AC3Decoder* decoder);
int32_t AC3FrameByteSize(const MTS_MovieImportGlobalsRecord* store);
int32_t ReadAC3FrameHeader(MTS_MovieImportGlobalsRecord* store, const uint8_t* data, int32_t size, int32_t* pcmBytes,
                           int32_t* channelConfig);

// Releases what one import holds (file, shared record, data references,
// sample tables, the timecode list); the instance's own buffers stay.
void ReleaseImport(MTS_MovieImportGlobalsRecord* store);

} // namespace mts_import
