// The AC-3 frames of an audio PES and the frame-index values of their
// samples.
#include "MTS_SoundFrames.h"

#include <cstring>

bool MTS_PackSoundValue(int64_t tsOffset, int32_t frameInPes, int64_t* value) {
  if (frameInPes == 0) {
    *value = tsOffset;
    return true;
  }
  if (frameInPes < 0 || frameInPes > kMTSFrameInPesMax || tsOffset < 0 || tsOffset > kMTSFileOffsetMask) return false;
  *value = tsOffset | (int64_t(frameInPes) << kMTSFrameInPesShift);
  return true;
}

int64_t MTS_SoundValueOffset(int64_t value) { return value < 0 ? value : value & kMTSFileOffsetMask; }

int32_t MTS_SoundValueFrame(int64_t value) {
  return value < 0 ? 0 : static_cast<int32_t>(value >> kMTSFrameInPesShift) & kMTSFrameInPesMax;
}

bool MTS_NextAC3Frame(AC3DecState* decoder, ac3decInfo* info, const uint8_t* payload, int32_t size, int32_t from,
                      MTS_AC3Frame* frame) {
  if (decoder == nullptr || payload == nullptr || from < 0) return false;
  for (int32_t at = from; at + 1 < size;) {
    const void* hit = std::memchr(payload + at, 0x0B, static_cast<size_t>(size - at - 1));
    if (hit == nullptr) return false;
    at = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - payload);
    if (payload[at + 1] != 0x77) {
      ++at;
      continue;
    }
    info->pInput = payload + at;
    info->nInputBytes = size - at;
    info->outFollowsStream = 1;
    info->stereoMode = 0;
    info->dynamicRange = 0;
    info->heavyCompression = 0;
    if (AC3DecGetInputInfoLib(decoder, info) == 0 && info->nAC3FrameByteSize > 0 &&
        info->nAC3FrameByteSize <= size - at) {
      frame->offset = at;
      frame->size = info->nAC3FrameByteSize;
      frame->channels = info->nChannels;
      frame->channelConfig = info->inChannelConfig;
      frame->sampleRate = info->sampleRate;
      return true;
    }
    at += 2;
  }
  return false;
}
