// The sound side of an imported movie: an uncompressed linear PCM sound
// track whose samples reference LPCM as stored (header skipped) or AC-3 as
// the 16-bit PCM one decoded frame yields. Only the audio from about the
// first picture to the last is inserted into the track.
#include <cstdlib>
#include <cstring>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"

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

int32_t AC3ReadHeader(MTS_MovieImportGlobalsRecord* store, const uint8_t* data, int32_t size) {
  ac3decInfo& info = store->ac3decInfo;
  info.pInput = data;
  info.nInputBytes = size;
  info.outFollowsStream = 1;
  info.stereoMode = 0;
  info.dynamicRange = 0;
  info.heavyCompression = 0;
  return AC3DecGetInputInfoLib(store->ac3Decoder, &info);
}

int32_t AC3DecodeFrame(MTS_MovieImportGlobalsRecord* store, int32_t* pcmBytes, int32_t* channelConfig) {
  ac3decInfo& info = store->ac3decInfo;
  info.nOutputCapacity = kMTSPcmBufferSize;
  info.pOutput = reinterpret_cast<int16_t*>(store->pcmBuffer);
  int32_t r = store->pcmBuffer ? AC3DecodeAFrameLib(store->ac3Decoder, &info) : -1;
  *pcmBytes = info.nOutputBytes;
  *channelConfig = info.inChannelConfig;
  return r;
}

int32_t AC3FrameByteSize(const MTS_MovieImportGlobalsRecord* store) { return store->ac3decInfo.nAC3FrameByteSize; }

int32_t DecodeAC3Frame(MTS_MovieImportGlobalsRecord* store, const uint8_t* data, int32_t size, int32_t* pcmBytes,
                       int32_t* channelConfig) {
  AC3ReadHeader(store, data, size);
  return AC3DecodeFrame(store, pcmBytes, channelConfig);
}

} // namespace mts_import

namespace {

constexpr uint32_t kLayoutMono = 0x640001;
constexpr uint32_t kLayoutStereo = 0x650002;
constexpr uint32_t kLayout51 = 0x7b0006;

bool IsAC3(const TSDemuxOutput* out) {
  return out->audioSize >= 2 && out->pAudio[0] == 0x0B && out->pAudio[1] == 0x77;
}

} // namespace

OSErr MTS_create_sound_track(MTS_MovieImportGlobalsRecord* store, Handle soundDataRef) {
  const TSDemuxOutput* out = store->pTSInfo;
  AudioStreamBasicDescription asbd{};
  AudioChannelLayout layout{};
  asbd.mFormatID = FOUR_CHAR_CODE("lpcm");
  asbd.mFramesPerPacket = 1;
  if (IsAC3(out)) {
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

OSErr MTS_add_sound_sample(MTS_MovieImportGlobalsRecord* store, int32_t* outSize) {
  *outSize = 0;
  // No sound track (no audio, or a layout that is not served): the audio is
  // left out and the movie imported without sound.
  if (!store->soundMedia || !store->soundDescription) return noErr;
  const TSDemuxOutput* out = store->pTSInfo;
  int32_t size = 0, frames = 0;
  if (store->isLPCM) {
    LPCMStreamInfo info{};
    if (out->audioSize <= 4 ||
        AVCHDAudioGetLPCMStreamInfoLib(&info, out->pAudio, static_cast<uint32_t>(out->audioSize)) != 0)
      return noErr;
    frames = mts_import::LPCMFramesOf(out->audioSize, info);
    size = out->audioSize - 4;
    if (frames <= 0) return noErr;
  } else {
    if (out->audioSize <= 0 || mts_import::AC3ReadHeader(store, out->pAudio, out->audioSize) != 0) return noErr;
    if (out->audioSize < mts_import::AC3FrameByteSize(store)) return noErr;
    int32_t channelConfig = 0;
    if (mts_import::AC3DecodeFrame(store, &size, &channelConfig) != 0) return noErr;
    if (channelConfig == 1) {
      frames = size / 2 / 2;
    } else if (channelConfig == 7) {
      frames = size / 2 / 6;
    } else {
      MTS_LOG("[ERR]UNKONWN ac3decInfo.inChannelConfig=%d\n", channelConfig);
      return 1;
    }
  }

  *outSize = size;
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

  if (out->bPTS) {
    if (store->soundInsertedTime == 0) {
      // The first PES that starts within one of its own lengths of the first
      // picture opens the range to insert.
      int64_t d = out->PTS - store->firstVideoPTS;
      if (d < 0) d = -d;
      const int64_t r = RoundHalfAway(static_cast<double>(d) * static_cast<uint32_t>(store->soundSampleRate) / 90000.0);
      if (static_cast<int64_t>(static_cast<uint32_t>(frames)) > r) store->soundInsertedTime = store->soundEndTime;
    }
    if (out->PTS <= store->lastVideoPTS)
      store->soundEndTime = static_cast<int32_t>(GetMediaDisplayDuration(store->soundMedia));
  } else {
    store->soundEndTime = static_cast<int32_t>(GetMediaDisplayDuration(store->soundMedia));
  }

  err = static_cast<OSErr>(MTS_PutFrameOffset(store->pARec, store->pRec, store->qt_offset, store->soundTSOffset));
  if (err != noErr) {
    MTS_LOG("[ERR]MTS_PutFrameOffset \n");
    return err;
  }
  store->qt_offset += size;
  return noErr;
}
