// Parsing of one 188-byte transport packet: header, PES header of the video
// and audio streams, program map and program clock reference.
#include "TSDemuxer.h"
#include "TSPacketLayout.h"

#include <cstring>

namespace tsdemux {

namespace {

// PES header bytes before the stuffing run, by stream and PTS_DTS_flags.
// Returns 0 when the header carries no time stamps (flags 0 or 1).
uint32_t fixed_header_length(bool audio, uint32_t ptsDtsFlags, const uint8_t* area, uint32_t base) {
  if (ptsDtsFlags == 3) return 19;
  if (ptsDtsFlags != 2) return 0;
  if (!audio) return 14;
  // Audio with only a PTS: a PES extension (an AVCHD AC-3 stream carries
  // stream_id_extension there) lengthens the header.
  if ((area[base + 7] & 1) == 0) return 14;
  if (base + 15 >= kTSPayloadAreaSize) return kTSPayloadAreaSize;  // clamped by the caller
  uint32_t extension2 = area[base + 14] & 1;
  return 16 + (extension2 ? (area[base + 15] & 0x7F) : 0);
}

// Reads the PES header of a unit start whose first byte is area[base].
void read_pes_start(const uint8_t* area, uint32_t base, bool audio, PacketLayout* layout) {
  const uint32_t kArea = kTSPayloadAreaSize;
  if (base + 8 >= kArea) {  // not even the flags fit: no usable payload
    layout->payloadOffset = kArea;
    return;
  }
  if (audio) layout->streamId = area[base + 3];
  uint32_t flags = area[base + 7] >> 6;
  uint32_t header = fixed_header_length(audio, flags, area, base);
  if (header == 0) {
    // No time stamps: the header length is taken from PES_header_data_length,
    // so that the payload does not begin with the PES header.
    layout->payloadOffset = base + 9 + area[base + 8];
    if (layout->payloadOffset > kArea) layout->payloadOffset = kArea;
    return;
  }
  if (base + 14 <= kArea) {
    layout->PTS = GetClock(area + base + 9);
    layout->bPTS = 1;
    if (flags == 3) {
      if (base + 19 <= kArea) {
        layout->DTS = GetClock(area + base + 14);
        layout->bDTS = 1;
      }
    } else if (!audio) {
      layout->DTS = layout->PTS;
      layout->bDTS = 1;
    }
  }
  uint32_t offset = base + header;
  while (offset < kArea && area[offset] == 0xFF) ++offset;
  layout->payloadOffset = offset < kArea ? offset : kArea;
}

// Program map at fixed offsets (pointer_field taken as 0, no check of the
// section). Bytes past the packet read as 0, which leaves the fields unset.
}  // namespace

void read_program_map(const uint8_t* packet, ATSPacketInfo* info) {
  auto at = [packet](uint64_t k) -> uint32_t { return k < uint64_t(kTSPacketSize) ? packet[k] : 0; };
  auto be32 = [&at](uint64_t k) -> uint32_t { return (at(k) << 24) | (at(k + 1) << 16) | (at(k + 2) << 8) | at(k + 3); };

  info->bPMT = 1;
  info->pmtVideoFormat = at(42) >> 4;
  info->pmtFrameRate = at(42) & 0x0F;

  uint64_t P = ((at(15) & 0x0F) << 8) | at(16);
  uint32_t firstPid = ((at(18 + P) & 0x1F) << 8) | at(19 + P);
  uint64_t L1 = ((at(20 + P) & 0x0F) << 8) | at(21 + P);
  if (firstPid == kTSVideoPID) {
    info->videoDescTag = at(22 + P);
    info->videoDescLength = at(23 + P);
    info->videoFormatId = be32(24 + P);
    info->videoCodingType = at(29 + P);
    info->videoFormat = at(30 + P) >> 4;
    info->videoFrameRate = at(30 + P) & 0x0F;
    info->videoAspectRatio = at(31 + P) >> 4;
  }
  uint64_t Q = 22 + P + L1;
  uint32_t streamType = at(Q);
  if (streamType == 0x81) {
    info->bLPCM = 0;
    // The registration descriptor ("AC-3", 6 bytes at Q + 5) is passed over.
    info->ac3DescTag = at(Q + 11);
    info->ac3DescLength = at(Q + 12);
    info->sample_rate_code = at(Q + 13) >> 5;
    info->bsid = at(Q + 13) & 0x1F;
    info->bit_rate_code = at(Q + 14) >> 2;
    info->surround_mode = at(Q + 14) & 3;
    info->bsmod = at(Q + 15) >> 5;
    info->num_channels = (at(Q + 15) >> 1) & 0x0F;
    info->full_svc = at(Q + 15) & 1;
    info->langcod = at(Q + 16);
    if (info->num_channels == 0) {
      info->langcod2 = at(Q + 17);
    } else {
      if (info->bsmod < 2) {
        info->mainid = at(Q + 17) >> 5;
        info->priority = (at(Q + 17) >> 3) & 3;
        info->asvcflags = 0xFFFFFFFFu;
      } else {
        info->asvcflags = at(Q + 17);
      }
      info->textlen = at(Q + 18) >> 1;
      info->text_code = at(Q + 18) & 1;
      info->language_flag = at(Q + 19) >> 7;
      info->language_flag_2 = (at(Q + 19) >> 6) & 1;
    }
  } else if (streamType == 0x80) {
    info->bLPCM = 1;
    info->lpcmDescTag = at(Q + 5);
    info->lpcmDescLength = at(Q + 6);
    info->lpcmFormatId = be32(Q + 7);
    info->lpcmCodingType = at(Q + 12);
    info->lpcmPresentationType = at(Q + 13) >> 4;
    info->lpcmSamplingFrequency = at(Q + 13) & 0x0F;
    info->lpcmBitsPerSample = at(Q + 14) >> 6;
  }
}

void read_clock_reference(const uint8_t* packet, ATSPacketInfo* info) {
  info->bPCR = 1;
  info->pcrBase = (int64_t(packet[6]) << 25) | (int64_t(packet[7]) << 17) | (int64_t(packet[8]) << 9) |
                  (int64_t(packet[9]) << 1) | (packet[10] >> 7);
  info->pcrExt = (int64_t(packet[10] & 1) << 8) | packet[11];
  info->pcr = info->pcrBase * 300 + info->pcrExt;
}

void read_packet_layout(const uint8_t* packet, PacketLayout* layout) {
  layout->pid = (uint32_t(packet[1] & 0x1F) << 8) | packet[2];
  layout->pusi = (packet[1] >> 6) & 1;
  layout->payloadOffset = 0;
  layout->streamId = 0;
  layout->bPTS = 0;
  layout->bDTS = 0;
  layout->PTS = 0;
  layout->DTS = 0;
  if (layout->pid != kTSVideoPID && layout->pid != kTSAudioPID) return;

  uint32_t afc = (packet[3] >> 4) & 3;
  if (afc == 0 || afc == 2) {
    layout->payloadOffset = kTSPayloadAreaSize;
    return;
  }
  uint32_t base = afc == 3 ? uint32_t(packet[4]) + 1 : 0;
  if (base >= kTSPayloadAreaSize) {  // adaptation field fills (or claims more than) the packet
    layout->payloadOffset = kTSPayloadAreaSize;
    return;
  }
  if (!layout->pusi) {
    layout->payloadOffset = base;
    return;
  }
  read_pes_start(packet + 4, base, layout->pid == kTSAudioPID, layout);
}

}  // namespace tsdemux

using tsdemux::PacketLayout;

int32_t DemuxInit(ATSPacketInfo* info) {
  std::memset(info, 0, sizeof *info);
  return 0;
}

int64_t GetClock(const uint8_t* p) {
  return (int64_t((p[0] >> 1) & 7) << 30) | (int64_t((uint32_t(p[1]) << 7) | (p[2] >> 1)) << 15) |
         int64_t((uint32_t(p[3]) << 7) | (p[4] >> 1));
}

const uint8_t* Payload(const ATSPacketInfo* info) { return info->pPacket + info->payloadOffset + 4; }

int32_t PayloadLength(const ATSPacketInfo* info) {
  return int32_t(info->areaSize) - int32_t(info->payloadOffset);
}

int32_t DemuxParseATSPacket(const uint8_t* packet, int32_t length, ATSPacketInfo* info,
                            uint8_t* payloadOut, int32_t* payloadLength) {
  if (packet == nullptr || info == nullptr || length < kTSPacketSize || packet[0] != 0x47) return 0;
  PacketLayout layout;
  tsdemux::read_packet_layout(packet, &layout);
  info->pid = layout.pid;
  info->bPUSI = layout.pusi;
  info->areaSize = kTSPayloadAreaSize;
  info->pPacket = packet;
  info->payloadOffset = layout.payloadOffset;
  info->bPTS = layout.bPTS;
  info->PTS = layout.PTS;
  info->bDTS = layout.bDTS;
  info->DTS = layout.DTS;
  info->bPMT = 0;
  info->bPCR = 0;
  if (layout.pid == kTSAudioPID && layout.pusi) info->streamId = layout.streamId;

  uint32_t afc = (packet[3] >> 4) & 3;
  if (layout.pid == kTSProgramMapPID) {
    tsdemux::read_program_map(packet, info);
  } else if (layout.pid == kTSClockPID && afc == 2 && (packet[5] & 0x10)) {
    tsdemux::read_clock_reference(packet, info);
  }
  int32_t n = PayloadLength(info);
  if (payloadOut != nullptr && n > 0) std::memcpy(payloadOut, Payload(info), size_t(n));
  if (payloadLength != nullptr) *payloadLength = n;
  return 1;
}

uint64_t TSProgramSectionKey(const uint8_t* packet) {
  constexpr uint32_t kPacket = 188;
  if (packet[0] != 0x47 || !(packet[1] & 0x40) || !(packet[3] & 0x10)) return 0;
  uint32_t at = 4;
  if (packet[3] & 0x20) at += 1u + packet[4];
  if (at >= kPacket) return 0;
  at += 1u + packet[at];  // pointer_field
  if (at + 3 > kPacket) return 0;
  const uint32_t length = uint32_t(packet[at + 1] & 0x0F) << 8 | packet[at + 2];
  const uint32_t end = at + 3 + length;
  if (length >= 4 && end <= kPacket) {
    // The section's own CRC_32, its last four bytes, digests it already.
    uint32_t crc;
    std::memcpy(&crc, packet + end - 4, sizeof crc);
    return uint64_t(crc) << 16 | uint64_t(length) << 1 | 1;
  }
  // A section that goes on in later packets: FNV-1a over its part here.
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint32_t i = at; i < kPacket; ++i) h = (h ^ packet[i]) * 0x100000001b3ull;
  return h | 1;
}

bool TSJudgeProgramAssociation(TSTablesJudge* judge, const uint8_t* packet, bool streamsMet) {
  if (!(packet[3] & 0x10)) return judge->began != 0;
  const uint8_t counter = packet[3] & 0x0F;
  const bool flagged = (packet[3] & 0x20) && packet[4] > 0 && (packet[5] & 0x80);
  const bool runOn = judge->seen && (flagged || counter == ((judge->last + 1) & 0x0F));
  judge->began = !runOn && (judge->seen || !streamsMet);
  judge->seen = 1;
  judge->last = counter;
  return judge->began != 0;
}

bool TSJudgeProgramMap(TSTablesJudge* judge, const uint8_t* packet) {
  const uint64_t key = TSProgramSectionKey(packet);
  if (key == 0) return false;
  const uint64_t before = judge->programMapKey;
  judge->programMapKey = key;
  if (before == 0 || key == before || !judge->seen || judge->began) return false;
  judge->began = 1;
  return true;
}
