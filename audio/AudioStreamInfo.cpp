// LPCM and AC-3 stream-header parsers and the LPCM conversion.
#include "AudioStreamInfo.h"

#include "vpCore.h"

#include <cstring>

namespace {

// Coded channels of each LPCM channel code (channels travel in pairs).
const uint32_t CHNUM[10] = {2, 2, 4, 4, 4, 4, 6, 6, 8, 8};

// AC-3 nominal bit rates in kbit/s by frmsizecod / 2.
const uint32_t BitRateTab[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                 192, 224, 256, 320, 384, 448, 512, 576, 640};

// Full-bandwidth channels by acmod.
const uint32_t kFullBandwidthChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};

}  // namespace

int32_t AVCHDAudioGetLPCMStreamInfoLib(LPCMStreamInfo* info, const uint8_t* payload, uint32_t size) {
  if (payload == nullptr || info == nullptr) return -2;
  if (size < 4) return -1;
  uint32_t assignment = payload[2] >> 4;
  uint32_t code;
  if (assignment == 1) {
    code = 0;
  } else if (assignment == 3) {
    code = 1;
  } else if (assignment >= 4 && assignment <= 11) {
    code = assignment - 2;
  } else {
    return -2;
  }
  info->channelCode = code;
  info->channels = CHNUM[code];
  switch (payload[2] & 0x0F) {
    case 1: info->sampleRate = 48000; break;
    case 4: info->sampleRate = 96000; break;
    case 5: info->sampleRate = 192000; break;
    default: return -2;
  }
  static const uint32_t kBits[4] = {0, 16, 20, 24};
  uint32_t width = payload[3] >> 6;
  if (width == 0) return -2;
  info->bitsPerSample = kBits[width];
  return 0;
}

int32_t AVCHDAudioGetAC3StreamInfoLib(AC3StreamInfo* info, const uint8_t* data, uint32_t size) {
  if (data == nullptr || info == nullptr) return -2;
  uint32_t pos = 0;
  while (pos + 1 < size && !(data[pos] == 0x0B && data[pos + 1] == 0x77)) pos += 2;
  if (pos >= size || size - pos < 8) return -1;
  const uint8_t* h = data + pos;

  uint32_t fscod = h[4] >> 6;
  static const uint32_t kRates[3] = {48000, 44100, 32000};
  if (fscod == 3) return -2;
  info->sampleRate = kRates[fscod];
  uint32_t frmsizecod = h[4] & 0x3F;
  if (frmsizecod > 37) return -2;
  info->kbps = BitRateTab[frmsizecod >> 1];

  // acmod, then the optional 2-bit fields, then lfeon, from bit 7 of byte 6.
  uint32_t acmod = h[6] >> 5;
  uint32_t bit = 3;
  if ((acmod & 1) && acmod != 1) bit += 2;  // cmixlev
  if (acmod & 4) bit += 2;                  // surmixlev
  if (acmod == 2) bit += 2;                 // dsurmod
  uint32_t word = (uint32_t(h[6]) << 8) | h[7];
  uint32_t lfeon = (word >> (15 - bit)) & 1;
  if (acmod == 0) return -2;
  if (lfeon) {
    if (acmod != 7) return -2;
    info->channelCode = 7;
    info->channels = 6;
  } else {
    info->channelCode = acmod - 1;
    info->channels = kFullBandwidthChannels[acmod];
  }
  return 0;
}

int32_t LPCM2PCMLib(LPCMConvertInfo* info) {
  if (info == nullptr || info->pOutput == nullptr || info->pInput == nullptr) return -1;
  if (info->sampleRate != 48000 && info->sampleRate != 96000 && info->sampleRate != 192000) return -2;
  if (info->bitsPerSample != 16 || (info->channelCode != 0 && info->channelCode != 1)) return -2;
  const int32_t frame = 2 * int32_t(CHNUM[info->channelCode]);
  const int32_t in = info->inputBytes;
  if (in % frame != 0) return -3;
  const bool stereo = info->channelCode == 1;
  int32_t need = stereo ? in : in / 2;
  if (need > info->outputCapacity) return -4;
  if (in < 1) return -5;
  if (stereo) {
    vpsCopy_8u(info->pInput, info->pOutput, in);
    vpsSwapBytes_16u_I(reinterpret_cast<uint16_t*>(info->pOutput), in / 2);
  } else {
    const uint8_t* src = info->pInput;
    uint8_t* dst = info->pOutput;
    for (int32_t i = 0; i < in; i += frame, dst += 2) {
      uint16_t sample = uint16_t((src[i] << 8) | src[i + 1]);
      std::memcpy(dst, &sample, 2);
    }
  }
  info->outputBytes = need;
  return 0;
}
