// Stand-alone packet call and the stream information of the program map.
#include "TSDemuxer.h"

#include <cstring>

namespace {

// AC-3 nominal bit rates in kbit/s by rate index.
const int32_t BitRateTab[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                192, 224, 256, 320, 384, 448, 512, 576, 640};

void fill_lpcm_info(int32_t info[kStreamInfoWords], const ATSPacketInfo& pmt) {
  switch (pmt.lpcmSamplingFrequency) {
    case 1: info[kStreamInfoLPCMSampleRate] = 48000; break;
    case 4: info[kStreamInfoLPCMSampleRate] = 96000; break;
    case 5: info[kStreamInfoLPCMSampleRate] = 192000; break;
    default: info[kStreamInfoLPCMSampleRate] = -1; break;
  }
  info[kStreamInfoLPCMReserved] = -1;
  static const int32_t kBits[4] = {-1, 16, 20, 24};
  info[kStreamInfoLPCMBitsPerSample] = kBits[pmt.lpcmBitsPerSample & 3];
  switch (pmt.lpcmPresentationType) {
    case 1: info[kStreamInfoLPCMChannelCode] = 0; break;   // mono
    case 3: info[kStreamInfoLPCMChannelCode] = 1; break;   // stereo
    case 6: info[kStreamInfoLPCMChannelCode] = 7; break;   // 3/2 + LFE
    default: info[kStreamInfoLPCMChannelCode] = 9; break;
  }
}

// Returns false for a bit rate code outside the rate table. The descriptor's
// bit_rate_code holds the rate index in bits 4..0 and an upper-limit flag in
// bit 5.
bool fill_ac3_info(int32_t info[kStreamInfoWords], const ATSPacketInfo& pmt) {
  switch (pmt.sample_rate_code) {
    case 0: info[kStreamInfoAC3SampleRate] = 48000; break;
    case 1: info[kStreamInfoAC3SampleRate] = 44100; break;
    case 2: info[kStreamInfoAC3SampleRate] = 32000; break;
    default: break;
  }
  uint32_t rateIndex = pmt.bit_rate_code & 0x1F;
  if (rateIndex >= sizeof BitRateTab / sizeof BitRateTab[0]) return false;
  info[kStreamInfoAC3Reserved] = -1;
  info[kStreamInfoAC3BitRate] = BitRateTab[rateIndex];
  if (pmt.num_channels == 0) {
    info[kStreamInfoAC3ChannelCode] = -1;  // 1+1 (dual mono)
  } else if ((pmt.num_channels & 8) == 0) {
    info[kStreamInfoAC3ChannelCode] = int32_t(pmt.num_channels) - 1;
  }
  return true;
}

}  // namespace

int32_t TSDemuxPacketLib(const uint8_t* sourcePacket, int32_t length, TSDemuxPacketInfo* rec) {
  // The transport packet sits 4 bytes into the source packet, so the whole
  // 192 bytes must be there.
  if (sourcePacket == nullptr || rec == nullptr || length < kTSSourcePacketSize) return 0;
  ATSPacketInfo info;
  DemuxInit(&info);
  rec->bAudio = rec->bVideo = rec->bPMT = 0;
  if (!DemuxParseATSPacket(sourcePacket + 4, length - 4, &info, nullptr, nullptr)) return 0;
  rec->bPTS = info.bPTS;
  rec->PTS = info.PTS;
  rec->bDTS = info.bDTS;
  rec->DTS = info.DTS;
  rec->pPayload = Payload(&info);
  rec->payloadSize = PayloadLength(&info);
  rec->pmtFrameRate = info.pmtFrameRate;
  rec->pmtVideoFormat = info.pmtVideoFormat;
  rec->bAudio = info.pid == kTSAudioPID;
  rec->bVideo = info.pid == kTSVideoPID;
  rec->bPMT = info.pid == kTSProgramMapPID;
  return 1;
}

int32_t TSGetStreamInfoLib(int32_t info[kStreamInfoWords], const uint8_t* data, int32_t length) {
  if (info == nullptr || data == nullptr) return -2;
  if (length < kTSPacketSize) return -1;
  const void* sync = std::memchr(data, 0x47, size_t(length) - 1);
  if (sync == nullptr) return -1;
  int32_t start = int32_t(static_cast<const uint8_t*>(sync) - data);
  int32_t n = length - start;
  if (n < kTSPacketSize) return -1;

  // Every whole packet from the first sync byte on, at the source-packet rhythm.
  int32_t packets = (n - kTSPacketSize) / kTSSourcePacketSize + 1;
  ATSPacketInfo pmt;
  bool found = false;
  for (int32_t k = 0; k < packets && !found; ++k) {
    DemuxInit(&pmt);
    const uint8_t* packet = data + start + int64_t(k) * kTSSourcePacketSize;
    if (!DemuxParseATSPacket(packet, kTSPacketSize, &pmt, nullptr, nullptr)) return -3;
    found = pmt.bPMT != 0;
  }
  if (!found) return -3;

  info[kStreamInfoIsLPCM] = pmt.bLPCM;
  if (pmt.bLPCM) {
    fill_lpcm_info(info, pmt);
  } else if (!fill_ac3_info(info, pmt)) {
    return -4;
  }
  info[kStreamInfoVideoFormat] = int32_t(pmt.videoFormat);
  info[kStreamInfoVideoFrameRate] = int32_t(pmt.videoFrameRate);
  info[kStreamInfoVideoAspectRatio] = int32_t(pmt.videoAspectRatio);
  return 0;
}

uint32_t WriteLong(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value >> 24);
  p[1] = uint8_t(value >> 16);
  p[2] = uint8_t(value >> 8);
  p[3] = uint8_t(value);
  return value;
}
