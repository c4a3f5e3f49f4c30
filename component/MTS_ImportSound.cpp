// The sound side of an imported movie: an uncompressed linear PCM sound
// track whose samples reference LPCM as stored (header skipped) or AC-3 as
// the 16-bit PCM each decoded frame yields, one sample per AC-3 frame. Only the audio from about the
// first picture to the last is inserted into the track.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"
#include "MTS_SoundFrames.h"

using mts_import::RoundHalfAway;

namespace mts_import {

int32_t LPCMBytesPerSample(uint32_t bitsPerSample) { return bitsPerSample > 16 ? 3 : 2; }

int32_t LPCMFramesOf(int32_t audioSize, const LPCMStreamInfo& info) {
  const int32_t channels = info.channels > 0 ? static_cast<int32_t>(info.channels) : 2;
  const int32_t frameBytes = channels * LPCMBytesPerSample(info.bitsPerSample);
  return audioSize > 4 ? (audioSize - 4) / frameBytes : 0;
}

MTS_AC3Decoder* AC3Open() { return AC3DecInitLib(); }
void AC3Close(MTS_AC3Decoder* decoder) {
  if (decoder) AC3DecCloseLib(decoder);
}

int32_t AC3FrameByteSize(const MTS_MovieImportGlobalsRecord* store) { return store->ac3decInfo.nAC3FrameByteSize; }

int32_t ReadAC3FrameHeader(MTS_MovieImportGlobalsRecord* store, const uint8_t* data, int32_t size, int32_t* pcmBytes,
                           int32_t* channelConfig) {
  // What the first whole frame yields follows from its header, so a frame
  // whose audio does not decode counts like the rest.
  MTS_AC3Frame frame{};
  if (!MTS_NextAC3Frame(store->ac3Decoder, &store->ac3decInfo, data, size, 0, &frame)) {
    *pcmBytes = 0;
    return store->ac3Decoder ? -3 : -1;  // no whole frame; no decoder
  }
  *pcmBytes = kMTSAC3SamplesPerFrame * 2 * frame.channels;
  *channelConfig = frame.channelConfig;
  return 0;
}

bool IsAC3(const TSDemuxOutput* out) {
  return out->pAudio && out->audioSize >= 2 && out->pAudio[0] == 0x0B && out->pAudio[1] == 0x77;
}

} // namespace mts_import

namespace {

constexpr uint32_t kLayoutMono = 0x640001;
constexpr uint32_t kLayoutStereo = 0x650002;
constexpr uint32_t kLayout51 = 0x7b0006;

// An LPCM PES for certain: its header reads (into *info), and names the
// size of the samples behind it (a damaged AC-3 PES is not taken for one).
bool IsLPCM(const TSDemuxOutput* out, LPCMStreamInfo* info) {
  return out->audioSize > 4 && (out->pAudio[0] << 8 | out->pAudio[1]) == out->audioSize - 4 &&
         AVCHDAudioGetLPCMStreamInfoLib(info, out->pAudio, static_cast<uint32_t>(out->audioSize)) == 0;
}

MTS_SoundKind LPCMKind(const LPCMStreamInfo& info) {
  return {0, static_cast<uint8_t>(info.channelCode), static_cast<uint8_t>(info.bitsPerSample),
          static_cast<int32_t>(info.sampleRate)};
}

MTS_SoundKind AC3Kind(const AC3StreamInfo& info) {
  return {1, static_cast<uint8_t>(info.channelCode), 0, static_cast<int32_t>(info.sampleRate)};
}

} // namespace

OSErr MTS_create_sound_track(MTS_MovieImportGlobalsRecord* store, Handle soundDataRef) {
  const TSDemuxOutput* out = store->pTSInfo;
  AudioStreamBasicDescription asbd{};
  AudioChannelLayout layout{};
  asbd.mFormatID = FOUR_CHAR_CODE("lpcm");
  asbd.mFramesPerPacket = 1;
  if (mts_import::IsAC3(out)) {
    store->isLPCM = 0;
    AC3StreamInfo info{};
    if (AVCHDAudioGetAC3StreamInfoLib(&info, out->pAudio, static_cast<uint32_t>(out->audioSize)) != 0) return noErr;
    store->soundSampleRate = static_cast<int32_t>(info.sampleRate);
    // Without a decoder no AC-3 frame can be sized: no sound track.
    if (!store->ac3Decoder) return noErr;
    if (info.channelCode == 1) {
      layout.mChannelLayoutTag = kLayoutStereo;
      asbd.mChannelsPerFrame = 2;
    } else if (info.channelCode == 7) {
      layout.mChannelLayoutTag = kLayout51;
      asbd.mChannelsPerFrame = 6;
    } else {
      return noErr;
    }
    store->soundKind = AC3Kind(info);
    asbd.mFormatFlags = 12;
    asbd.mBitsPerChannel = 16;
    asbd.mBytesPerFrame = asbd.mChannelsPerFrame * 2;
  } else {
    store->isLPCM = 1;
    LPCMStreamInfo info{};
    if (AVCHDAudioGetLPCMStreamInfoLib(&info, out->pAudio, static_cast<uint32_t>(out->audioSize)) != 0) return noErr;
    store->soundSampleRate = static_cast<int32_t>(info.sampleRate);
    if (info.channelCode == 0) {
      layout.mChannelLayoutTag = kLayoutMono;
    } else if (info.channelCode == 1) {
      layout.mChannelLayoutTag = kLayoutStereo;
    } else {
      return noErr;
    }
    store->soundKind = LPCMKind(info);
    store->lpcmChannels = static_cast<uint8_t>(info.channels);
    store->lpcmBits = static_cast<uint8_t>(info.bitsPerSample);
    // 20-bit samples are stored in 24-bit containers, high-aligned.
    const uint32_t bytes = static_cast<uint32_t>(mts_import::LPCMBytesPerSample(info.bitsPerSample));
    asbd.mFormatFlags = 14;
    asbd.mChannelsPerFrame = 2;
    asbd.mBitsPerChannel = 8 * bytes;
    asbd.mBytesPerFrame = 2 * bytes;
  }
  // A stream without a sample rate cannot be timed.
  if (store->soundSampleRate <= 0) return noErr;
  asbd.mSampleRate = store->soundSampleRate;
  asbd.mBytesPerPacket = asbd.mBytesPerFrame;

  if (store->soundDescription) {
    DisposeHandle(reinterpret_cast<Handle>(store->soundDescription));
    store->soundDescription = nullptr;
  }
  OSStatus err = QTSoundDescriptionCreate(&asbd, &layout, 32, nullptr, 0, FOUR_CHAR_CODE("mvlo"),
                                          &store->soundDescription);
  if (err != noErr) return static_cast<OSErr>(err);
  if (!store->soundDescription) return noErr;
  store->soundTrack = NewMovieTrack(store->theMovie, 0, 0, 0x100);
  store->soundMedia = NewTrackMedia(store->soundTrack, FOUR_CHAR_CODE("soun"), store->soundSampleRate, soundDataRef,
                                    store->dataRefType);
  OSErr movieErr = GetMoviesError();
  if (movieErr == noErr && !store->soundMedia) movieErr = invalidMedia;
  if (movieErr != noErr) return movieErr;
  SetTrackEnabled(store->soundTrack, kTrue);
  return noErr;
}

namespace {

// Channels of the sound description: what every sample of the track holds.
int32_t DescriptionChannels(const MTS_MovieImportGlobalsRecord* store) {
  const Handle h = reinterpret_cast<Handle>(store->soundDescription);
  if (!h || !*h || GetHandleSize(h) < static_cast<Size>(sizeof(SoundDescription))) return 0;
  const SoundDescription* d = reinterpret_cast<const SoundDescription*>(*h);
  if (d->version == 2 && GetHandleSize(h) >= static_cast<Size>(sizeof(SoundDescriptionV2)))
    return static_cast<int32_t>(reinterpret_cast<const SoundDescriptionV2*>(*h)->numAudioChannels);
  return d->numChannels;
}

// Places a part's sound by its own stamps beside its own pictures: the
// part's first sound sample (at the media's end, or where the part's sound
// began in the media when it came before the part's pictures) plays in the
// range now being inserted at a track time that may differ from the one its
// presentation time `pts` gives beside the part's pictures (the part before
// had sound that ran on past its last picture, or stopped short of it).
// Off by more than kSoundSlack of a second, the range ends and a new one
// starts with this sample at its own time: sound of the part before that
// would play under this part's is trimmed, sound that is missing leaves
// the track empty. Between parts the sound runs on as the media holds it.
// `sampleFrames`: the sample frames one sound sample holds.
constexpr int32_t kSoundSlack = 200;  // 1/200 s
constexpr int64_t kSoundFarOff = 10;  // seconds

// The first sample frame (at `rate`) at or after the start of movie unit
// `unit` (at `movieScale`): where an edit that starts on that unit begins.
int64_t UnitFirstFrame(int64_t unit, int64_t rate, int64_t movieScale) {
  return (unit * rate + movieScale - 1) / movieScale;
}

// While no edit of the sound track plays any of its media, the samples
// before media time `from` are played by none: a stream copy of the movie
// by other tools keeps every sample before a track's first edit, so they
// would be heard there. The media is begun anew with the samples from
// `from` on, and the media times kept move back with it. Nothing happens
// when `from` lies inside a sample (that sample's head stays, trimmed by
// the edit).
OSErr DropUnplayedSoundHead(MTS_MovieImportGlobalsRecord* store, int64_t from) {
  if (from <= 0 || !store->soundTrack || !store->soundMedia || GetTrackDuration(store->soundTrack) != 0)
    return noErr;
  const Media media = store->soundMedia;
  const SInt64 count = GetMediaSampleReferenceCount(media);
  SInt64 first = 0;
  int64_t at = 0;
  MediaSampleReference r{};
  for (; first < count && at < from; ++first) {
    if (GetMediaSampleReferenceAt(media, first, &r) != noErr) return noErr;
    at += r.count * r.durationPerSample;
  }
  if (at != from) return noErr;
  std::vector<SampleReference64Record> kept;
  try {
    kept.reserve(static_cast<size_t>(count - first));
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  for (SInt64 k = first; k < count; ++k) {
    if (GetMediaSampleReferenceAt(media, k, &r) != noErr) return noErr;
    SampleReference64Record ref{};
    ref.dataOffset = r.dataOffset;
    ref.dataSize = static_cast<UInt32>(r.dataSize);
    ref.durationPerSample = static_cast<TimeValue>(r.durationPerSample);
    ref.numberOfSamples = static_cast<UInt32>(r.count);
    ref.sampleFlags = static_cast<SInt16>(r.flags);
    kept.push_back(ref);
  }
  const TimeScale scale = GetMediaTimeScale(media);
  OSErr err = DisposeTrackMedia(media);
  if (err != noErr) return noErr;
  store->soundMedia = NewTrackMedia(store->soundTrack, FOUR_CHAR_CODE("soun"), scale, store->soundDataRef,
                                    store->dataRefType);
  err = GetMoviesError();
  if (err == noErr && !store->soundMedia) err = invalidMedia;
  if (err != noErr) return err;
  if (!kept.empty()) {
    err = AddMediaSampleReferences64(store->soundMedia,
                                     reinterpret_cast<SampleDescriptionHandle>(store->soundDescription),
                                     static_cast<SInt32>(kept.size()), kept.data(), nullptr);
    if (err != noErr) return err;
  }
  store->soundHeadDropped += from;
  store->soundRangeMedia = std::max<int64_t>(store->soundRangeMedia - from, 0);
  store->soundInsertedTime = static_cast<int32_t>(std::max<int64_t>(store->soundInsertedTime - from, 0));
  store->soundEndTime = static_cast<int32_t>(std::max<int64_t>(store->soundEndTime - from, 0));
  int64_t& seam = store->parts.soundSeamMedia;
  if (seam >= 0) seam = seam >= from ? seam - from : -1;
  return noErr;
}

OSErr KeepSoundInPlace(MTS_MovieImportGlobalsRecord* store, int64_t pts, bool afterLeftOut, int64_t sampleFrames) {
  const int64_t rate = store->soundSampleRate;
  if (rate <= 0) return noErr;
  const int64_t media = GetMediaDisplayDuration(store->soundMedia);
  // Where the part's sound begins in the media: a part whose sound came
  // before its pictures began there, unless that sound is inserted already.
  mts_import::ImportParts& parts = store->parts;
  const bool partSound = parts.soundToPlace != 0;
  int64_t m = media;
  if (partSound && parts.soundSeamMedia >= store->soundInsertedTime && parts.soundSeamMedia < media) {
    m = parts.soundSeamMedia;
    pts = parts.soundSeamPTS;
  }
  parts.soundSeamMedia = -1;
  parts.soundToPlace = 0;
  // The part before had no sound of the track's kind: its time stays silent.
  const bool silentBefore = partSound && parts.soundAfterLeftOut;
  parts.soundAfterLeftOut = 0;
  if (!store->soundAnchored) {
    // The first sound of the movie is a later part's (the parts before had
    // none): the range so far is empty, and starts where it goes.
    store->soundAnchored = 1;
    store->soundAnchorPTS = pts;
    store->soundRangeMedia = store->soundInsertedTime = store->soundEndTime = static_cast<int32_t>(m);
    store->soundRangeTrack = 0;
  }
  parts.soundPlaced = 1;
  const int64_t here = store->soundRangeTrack + (m - store->soundRangeMedia);
  int64_t wanted = RoundHalfAway(static_cast<double>(pts - store->soundAnchorPTS) * static_cast<double>(rate) / 90000.0);
  const bool besidePictures =
      (afterLeftOut || partSound) && mts_import::PartSoundBesidePictures(store, pts, &wanted);
  // From here on the sound's time line is placed as this sample is.
  if (besidePictures) store->soundAnchorPTS = pts - RoundHalfAway(static_cast<double>(wanted) * 90000.0 / rate);
  int64_t off = here - wanted;
  const int64_t slack = rate / kSoundSlack;
  // A part whose sound begins before its first picture, where the sound
  // before runs on into that time. A lead of up to a picture (or one sound
  // sample) is the part's own: a camera starts its sound a little ahead of
  // its first picture, and the part before's sound is trimmed where it
  // begins (below). A longer lead is sound of pictures cut away: the part
  // before keeps its sound up to the part's first picture, and the new
  // part's sound before it is left out (`head` samples). After a part
  // without sound of the track's kind none of it plays before the picture.
  // Pictures of the part lost before this sound's time (the movie leaves
  // their time out) make the first picture after that loss the one its
  // sound leads: sound stamped before it is of the pictures lost.
  int64_t head = 0;
  int64_t picture = 0;
  const int64_t ownLead =
      std::max<int64_t>(sampleFrames, store->timeScale > 0 ? int64_t(store->frameDuration) * rate / store->timeScale : 0);
  // Sound begun before the latest part's pictures (a short part's, reported
  // late) leads its own part's first picture.
  int64_t partPicture = parts.partPicturePTS;
  const bool earlierPart = mts_import::PartPictureOfEarlierSound(store, &partPicture);
  const bool afterLoss = !earlierPart && parts.lostStepPTS >= 0 && pts < parts.lostStepPTS &&
                         (!parts.partPictureSeen || parts.lostStepPTS > parts.partPicturePTS);
  const int64_t firstPTS = afterLoss ? parts.lostStepPTS : partPicture;
  if ((off > slack || silentBefore) && partSound && besidePictures && (parts.partPictureSeen || afterLoss) &&
      mts_import::PartSoundBesidePictures(store, firstPTS, &picture) && picture > wanted &&
      (silentBefore || picture - wanted > ownLead)) {
    int64_t cut = silentBefore ? picture : std::min(picture, here);
    // The track's first sound begins with a whole sample (a stream copy
    // keeps every sample an edit begins in): what is left of the head plays
    // under the stretch before, less than one sample.
    if (silentBefore && sampleFrames > 0 && GetTrackDuration(store->soundTrack) == 0)
      cut -= (cut - wanted) % sampleFrames;
    head = cut - wanted;
    wanted = cut;
    off = here - cut;
  }
  if (off <= slack && off >= -slack && head <= slack) return noErr;
  // Far off is no join but a time line that moved, and sound missing
  // beyond the pictures read so far is sound of pictures to come: the sound
  // stays where it is and the time line is taken from here. Pictures left
  // out for their size count as read: their time stays empty in the video.
  // Sound missing after a stretch of audio left out for its kind is that
  // stretch, however long: its time stays empty in the sound track.
  const int64_t videoEnd =
      store->timeScale > 0
          ? (store->videoDecodeTime + store->videoGapTime + store->videoOpenGapTime -
             int64_t(store->skippedBFrames - 1) * store->frameDuration) *
                rate / store->timeScale
          : 0;
  if (off > kSoundFarOff * rate ||
      (!besidePictures && ((off < -kSoundFarOff * rate && !afterLeftOut) || (off < 0 && wanted > videoEnd)))) {
    store->soundAnchorPTS -= RoundHalfAway(static_cast<double>(off) * 90000.0 / static_cast<double>(rate));
    return noErr;
  }
  // Close the range: without the sound that would play twice, with all of it
  // before a gap, ending at the whole movie unit nearest that end (an edit
  // lasts whole units) as far as the media reaches.
  const int64_t movieScale = GetMovieTimeScale(store->theMovie);
  int64_t end = off > 0 ? m - off : m;
  if (movieScale > 0) {
    const int64_t unit = RoundHalfAway(static_cast<double>(store->soundRangeTrack + end - store->soundRangeMedia) *
                                       movieScale / rate);
    end = std::min(m, store->soundRangeMedia - store->soundRangeTrack + UnitFirstFrame(unit, rate, movieScale));
  }
  store->soundEndTime = static_cast<int32_t>(std::max<int64_t>(end, store->soundInsertedTime));
  OSErr err = mts_import::InsertSoundRange(store, -1);
  if (err != noErr) return err;
  // Where the track now ends (what did not fill a whole movie unit is left
  // out), and where the new range begins in media and track: after a gap,
  // at the first whole movie unit at or after its sound's time (an edit
  // starts on one), the sound before that unit trimmed so that the rest
  // plays where its stamps put it.
  const int64_t trackEnd = store->soundRangeTrack + (store->soundInsertedTime - store->soundRangeMedia);
  // The track's first sound (the parts before had none) starts with its
  // first sample, at the whole unit nearest its time: a copy of the movie
  // by other tools would play a trimmed head after the empty time.
  const bool firstSound = GetTrackDuration(store->soundTrack) == 0;
  int64_t startUnit = movieScale <= 0 ? 0
                      : firstSound    ? RoundHalfAway(static_cast<double>(wanted) * movieScale / rate)
                                      : (wanted * movieScale + rate - 1) / rate;
  int64_t start = movieScale > 0 ? UnitFirstFrame(startUnit, rate, movieScale) : wanted;
  if (start <= trackEnd) {
    start = trackEnd;
    startUnit = movieScale > 0 ? trackEnd * movieScale / rate : 0;
  }
  // The track's first sound keeps its head after track time 0 only: what
  // its stamps put before the movie's start is left out.
  store->soundRangeMedia = m + head + std::max<int64_t>((firstSound ? 0 : start) - wanted, 0);
  store->soundRangeTrack = start;
  store->soundInsertedTime = static_cast<int32_t>(store->soundRangeMedia);
  store->soundEndTime = static_cast<int32_t>(std::max(media, store->soundRangeMedia));
  store->soundRangeAt = static_cast<TimeValue>(startUnit);
  if (!firstSound) return noErr;
  return DropUnplayedSoundHead(store, store->soundRangeMedia);
}

// The first packet of the PES being read (the first sound PES's is where
// the file's first sound packet lies).
int64_t SoundPesStart(const MTS_MovieImportGlobalsRecord* store) {
  return store->soundTSOffset == 0 && store->parts.firstSoundAt >= 0 ? store->parts.firstSoundAt
                                                                     : store->soundTSOffset + kMTSPacketSize;
}

// The sound PES being reported begins after a picture that followed the
// tables read last before it, and that picture was reported already: had it
// begun a part, the part is known.
bool SoundAfterJudgedPicture(const MTS_MovieImportGlobalsRecord* store) {
  const mts_import::ImportParts& parts = store->parts;
  const int64_t at = SoundPesStart(store);
  for (int i = 0; i < 2; ++i) {
    if (parts.soundPesAt[i] == at)
      return parts.soundPictureAt[i] >= 0 && parts.judgedVideoAt >= parts.soundPictureAt[i];
  }
  return false;
}

// Adds one sample reference of `size` bytes and `frames` sample frames at
// the current qt_offset, moves the range of sound to insert (by `pts`, the
// presentation time of its first sample, when `timed`), and enters `value`
// into the frame index. Sound of the track's kind ends a stretch left out.
OSErr AddSoundReference(MTS_MovieImportGlobalsRecord* store, int32_t size, int32_t frames, bool timed, int64_t pts,
                        int64_t value) {
  const bool afterLeftOut = store->soundLeavingOut != 0;
  if (afterLeftOut) {
    store->soundLeavingOut = 0;
    store->leftOutSound->back().to = SoundPesStart(store);
  }
  // Sound of a part whose pictures were read before the latest part's (its
  // PES is reported only once the next part's sound begins, after that
  // part's first pictures) goes beside them, on their line, at once: no
  // seam of a later part is its own.
  int64_t partBeforeMoved = 0;
  const bool partBefore = afterLeftOut && timed && !store->soundEndEstimated &&
                          mts_import::PartSoundOfPartBefore(store, pts, &partBeforeMoved);
  // Sound whose own step waits for its part's pictures is placed when the
  // video meets that step, as at any seam: placed beside the pictures read
  // so far it would play with the part before, by the whole step.
  const bool awaitsVideo = afterLeftOut && !partBefore && mts_import::PartSoundAwaitsVideo(store);
  // Either way the part before has no sound of the track's kind left to play.
  if (awaitsVideo) {
    store->parts.soundToPlace = 0;
    store->parts.soundAfterLeftOut = 1;
  }
  // Sound that begins another recording ahead of its pictures waits for them
  // too: its stamps step from the pictures before by the join's step, which
  // the video takes out of its line at the seam.
  const bool waits =
      awaitsVideo || (afterLeftOut && timed && !partBefore &&
                      mts_import::PartSoundAwaitsPictures(store, pts, GetMediaDisplayDuration(store->soundMedia)));
  if (timed && afterLeftOut && !waits) {
    // The audio left out carried the sound's time line with its own time
    // stamps (another recording's, which may have restarted it once more
    // after the video's join): sound of the track's kind is of the recording
    // whose pictures are being read, and takes their line (or of the part
    // before them, as above, and takes that part's). The rest of the PES
    // follows this sample.
    const int64_t d = partBefore ? partBeforeMoved : mts_import::PartSoundOntoVideoLine(store);
    pts += d;
    store->pTSInfo->PTS += d;
    if (!partBefore) mts_import::NoteSoundAfterLeftOut(store, pts);
  }
  // The file's last PES carries an estimated time, which places nothing;
  // but a part whose sound stepped before its pictures did and was read on
  // the sound's own line is placed from that step's PES, by its own stamps.
  const mts_import::ImportParts& parts = store->parts;
  const bool seamHeld = parts.soundToPlace && parts.soundSeamMedia >= store->soundInsertedTime &&
                        parts.soundSeamMedia < GetMediaDisplayDuration(store->soundMedia);
  if (timed && (parts.soundToPlace || afterLeftOut) && !waits && (!store->soundEndEstimated || seamHeld)) {
    OSErr err = KeepSoundInPlace(store, pts, afterLeftOut, frames);
    if (err != noErr) return err;
  }
  const int64_t mediaBefore = GetMediaDisplayDuration(store->soundMedia);
  SampleReference64Record reference{};
  reference.dataOffset = store->qt_offset;
  reference.dataSize = static_cast<uint32_t>(size);
  reference.durationPerSample = 1;
  reference.numberOfSamples = frames;
  reference.sampleFlags = 0;
  OSErr err = AddMediaSampleReferences64(store->soundMedia, reinterpret_cast<SampleDescriptionHandle>(store->soundDescription),
                                         1, &reference, nullptr);
  if (err != noErr) {
    MTS_LOG("[ERR]failed to AddMediaSampleReferences64.\n");
    return err;
  }
  // The track's first sound was placed from a sample not read yet (its
  // part's sound before the part's first picture is cut off): the media
  // before that sample goes once it is in, as it would have at once.
  if (store->soundRangeMedia > mediaBefore && store->soundRangeMedia <= mediaBefore + frames &&
      GetTrackDuration(store->soundTrack) == 0) {
    err = DropUnplayedSoundHead(store, store->soundRangeMedia);
    if (err != noErr) return err;
  }

  if (timed) {
    // Samples wholly before the first picture wait for the one that reaches
    // it (none of them plays): inserted meanwhile, they would play from the
    // movie's start.
    bool before = false;
    if (!store->soundAnchored && !store->parts.soundPlaced) {
      // The first sample that starts within one of its own lengths of the
      // first picture opens the range to insert at track time 0, placed by
      // its stamps: one that began before the picture loses its head up to
      // the picture (one that begins after it plays from the picture, less
      // than its own length early). One of the first recording that begins
      // later than that (it was cut where its sound had not begun yet, or
      // its first sound was lost) opens the range where its stamps put it,
      // after empty time: its PES starts in the file before the tables of
      // the next coded sequence, or after them where they were the
      // recording's own (their counters ran on, their program map the
      // same) and the picture after the tables read last before the PES
      // was taken already, and no part began before it. Sound read ahead
      // of that picture waits: the picture may still begin a part.
      const int64_t rate = static_cast<uint32_t>(store->soundSampleRate);
      // The shorter way round the wrap of the stamps.
      const int64_t d = mts_import::UnwrapTimestamp(0, pts - store->firstVideoPTS);
      const int64_t r = RoundHalfAway(static_cast<double>(d < 0 ? -d : d) * static_cast<double>(rate) / 90000.0);
      const int64_t length = static_cast<uint32_t>(frames);
      const mts_import::ImportParts& parts = store->parts;
      // Sound that starts in the file after a video PES that may begin
      // another recording, whose picture is not read yet, waits too: it may
      // be that recording's, placed beside its pictures at its seam (whose
      // stamps may happen to lie near the first picture's). Not before the
      // track's first picture: a recording cut inside a group begins with
      // pictures that are left out, and its first whole group is its own.
      const bool awaitsPart =
          parts.sequenceBegunLast && parts.pictureSeen && SoundPesStart(store) > parts.latestVideoStartAt;
      before = (d < 0 && r >= length && store->timeScale > 0) || awaitsPart;
      const int64_t movieScale = GetMovieTimeScale(store->theMovie);
      const bool later = d > 0 && r >= length && r < kSoundFarOff * rate && movieScale > 0 && !afterLeftOut &&
                         parts.begun <= 1 && pts < parts.videoLineEnd &&
                         (parts.laterSequenceTablesAt < 0 || SoundPesStart(store) < parts.laterSequenceTablesAt ||
                          (parts.recordingTablesAt < parts.laterSequenceTablesAt && SoundAfterJudgedPicture(store)));
      if ((length > r && !awaitsPart) || later) {
        const int64_t start = GetMediaDisplayDuration(store->soundMedia) - frames;
        store->soundInsertedTime = static_cast<int32_t>(d < 0 ? start + r : start);
        store->soundEndTime = std::max(store->soundEndTime, store->soundInsertedTime);
        store->soundAnchored = 1;
        store->soundAnchorPTS =
            pts + RoundHalfAway(static_cast<double>(store->soundInsertedTime - start) * 90000.0 / static_cast<double>(rate));
        store->soundRangeMedia = store->soundInsertedTime;
        store->soundRangeTrack = 0;
        if (later) {
          // On the whole movie unit nearest its time: an edit starts on one.
          const int64_t unit = RoundHalfAway(static_cast<double>(r) * static_cast<double>(movieScale) / rate);
          store->soundRangeAt = static_cast<TimeValue>(unit);
          store->soundRangeTrack = UnitFirstFrame(unit, rate, movieScale);
          store->soundAnchorPTS = pts - RoundHalfAway(static_cast<double>(store->soundRangeTrack) * 90000.0 / rate);
        }
      }
    }
    // Sound under the last picture, to the end of its time, is in the range
    // (the end of the file clips it to the video's end); later sound is not.
    const int64_t lastPictureTicks =
        store->timeScale > 0 ? int64_t(store->frameDuration) * 90000 / store->timeScale : 0;
    if (!before && pts < store->lastVideoPTS + std::max<int64_t>(lastPictureTicks, 1))
      store->soundEndTime = static_cast<int32_t>(GetMediaDisplayDuration(store->soundMedia));
  } else {
    store->soundEndTime = static_cast<int32_t>(GetMediaDisplayDuration(store->soundMedia));
  }

  err = static_cast<OSErr>(MTS_AddFrameOffset(store->pARec, store->pRec, store->qt_offset, value));
  if (err != noErr) {
    MTS_LOG("[ERR]MTS_PutFrameOffset \n");
    return err;
  }
  store->qt_offset += size;
  return noErr;
}

bool SameKind(const MTS_SoundKind& a, const MTS_SoundKind& b) {
  return a.ac3 == b.ac3 && a.channelCode == b.channelCode && a.bitsPerSample == b.bitsPerSample &&
         a.sampleRate == b.sampleRate;
}

// Audio of another kind than the sound track's (`kind`) is left out, in
// stretches from the PES that begins one to the PES with which sound of the
// track's kind is taken again; audio of yet another kind begins a stretch
// of its own. Each stretch is logged once.
OSErr LeaveOutOtherAudio(MTS_MovieImportGlobalsRecord* store, const char* what, const MTS_SoundKind& kind) {
  store->soundLeftOut = 1;
  const int64_t at = SoundPesStart(store);
  if (store->soundLeavingOut) {
    MTS_LeftOutSound& open = store->leftOutSound->back();
    if (SameKind(open.kind, kind)) return noErr;
    open.to = at;
    store->soundLeavingOut = 0;
  }
  MTS_LOG("[ERR]%s from ts_offset=%lld on is not imported: the sound track is %s\n", what,
          static_cast<long long>(store->soundTSOffset),
          !store->soundMedia ? "not made yet" : store->isLPCM ? "LPCM" : "AC-3");
  try {
    if (!store->leftOutSound) store->leftOutSound = new std::vector<MTS_LeftOutSound>;
    store->leftOutSound->push_back({at, 0, kind});
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  store->soundLeavingOut = 1;
  return noErr;
}

} // namespace

OSErr MTS_add_sound_sample(MTS_MovieImportGlobalsRecord* store, int32_t* outSize) {
  *outSize = 0;
  store->soundLeftOut = 0;
  const TSDemuxOutput* out = store->pTSInfo;
  // No sound track (no audio yet, or a layout that is not served): the audio
  // is left out, as a stretch of another kind, so that sound of a later part
  // that makes the track plays beside its own pictures; without any such
  // part the movie is imported without sound.
  if (!store->soundMedia || !store->soundDescription) {
    if (store->soundEndEstimated || out->audioSize <= 0) return noErr;
    AC3StreamInfo ac3{};
    LPCMStreamInfo lpcm{};
    if (mts_import::IsAC3(out))
      return LeaveOutOtherAudio(store, "AC-3 audio",
                                AVCHDAudioGetAC3StreamInfoLib(&ac3, out->pAudio, static_cast<uint32_t>(out->audioSize)) == 0
                                    ? AC3Kind(ac3)
                                    : MTS_SoundKind{1, 0xFF, 0, 0});
    return LeaveOutOtherAudio(store, "LPCM audio", IsLPCM(out, &lpcm) ? LPCMKind(lpcm) : MTS_SoundKind{0, 0xFF, 0, 0});
  }
  if (store->isLPCM) {
    if (mts_import::IsAC3(out)) {
      AC3StreamInfo info{};
      const bool read = AVCHDAudioGetAC3StreamInfoLib(&info, out->pAudio, static_cast<uint32_t>(out->audioSize)) == 0;
      return LeaveOutOtherAudio(store, "AC-3 audio", read ? AC3Kind(info) : MTS_SoundKind{1, 0xFF, 0, 0});
    }
    LPCMStreamInfo info{};
    if (out->audioSize <= 4 ||
        AVCHDAudioGetLPCMStreamInfoLib(&info, out->pAudio, static_cast<uint32_t>(out->audioSize)) != 0)
      return noErr;
    // Mono is carried in two channels as stereo is: the layout tells them apart.
    if (info.channels != store->lpcmChannels || info.channelCode != store->soundKind.channelCode ||
        info.bitsPerSample != store->lpcmBits || static_cast<int32_t>(info.sampleRate) != store->soundSampleRate)
      return LeaveOutOtherAudio(store, "LPCM audio of another layout, sample size or rate", LPCMKind(info));
    const int32_t frames = mts_import::LPCMFramesOf(out->audioSize, info);
    if (frames <= 0) return noErr;
    *outSize = out->audioSize - 4;
    return AddSoundReference(store, *outSize, frames, out->bPTS, out->PTS, store->soundTSOffset);
  }

  // AC-3: every frame of the PES is a sample of 1536 sample frames in the
  // track's layout. Its size is known from its header, so a frame whose audio
  // turns out not to decode still counts (the data handler serves it as
  // silence) and the track keeps the length of the recording.
  const int32_t channels = DescriptionChannels(store);
  if (channels != 2 && channels != 6) return noErr;
  LPCMStreamInfo lpcm{};
  if (IsLPCM(out, &lpcm)) return LeaveOutOtherAudio(store, "LPCM audio", LPCMKind(lpcm));
  const int32_t channelConfig = channels == 6 ? AC3_CHANNELS_3_2_LFE : AC3_CHANNELS_2_0;
  const int32_t size = kMTSAC3SamplesPerFrame * 2 * channels;
  const double ticksPerFrame = store->soundSampleRate > 0 ? kMTSAC3SamplesPerFrame * 90000.0 / store->soundSampleRate : 0.0;
  MTS_AC3Frame frame{};
  for (int32_t k = 0, from = 0; MTS_NextAC3Frame(store->ac3Decoder, &store->ac3decInfo, out->pAudio, out->audioSize,
                                                 from, &frame);
       ++k) {
    from = frame.offset + frame.size;
    if (frame.channelConfig != channelConfig || frame.sampleRate != store->soundSampleRate) {
      const MTS_SoundKind kind{1, static_cast<uint8_t>(frame.channelConfig), 0, frame.sampleRate};
      OSErr err = LeaveOutOtherAudio(store, "AC-3 audio of another layout or rate", kind);
      if (err != noErr) return err;
      continue;
    }
    int64_t value = 0;
    if (!MTS_PackSoundValue(store->soundTSOffset, k, &value)) continue;
    const int64_t pts = out->PTS + RoundHalfAway(k * ticksPerFrame);
    OSErr err = AddSoundReference(store, size, kMTSAC3SamplesPerFrame, out->bPTS, pts, value);
    if (err != noErr) return err;
    *outSize += size;
  }
  if (*outSize > 0) store->soundLeftOut = 0;
  return noErr;
}
