// The demultiplexer context and the stream call: source packets in, one
// complete video or audio PES out per call.
#include "TSDemuxer.h"
#include "TSPacketLayout.h"

#include <cstdlib>
#include <cstring>

struct TSDemuxContext {
  PESScanner scanner;
  uint8_t* pVideo;
  int32_t videoSize;
  uint8_t* pAudio;
  int32_t audioSize;
  uint16_t audioBPTS;
  int64_t audioPTS;
  uint16_t audioBDTS;
  int64_t audioDTS;
  uint32_t status;
  uint16_t videoBPTS;
  int64_t videoPTS;
  uint16_t videoBDTS;
  int64_t videoDTS;
  // Set when the current PES outgrew its buffer and bytes were dropped.
  uint16_t videoTruncated;
  uint16_t audioTruncated;
};

namespace {

// One elementary stream's assembly state inside the context.
struct PESAssembly {
  uint8_t* buffer;
  int32_t* size;
  int32_t capacity;
  uint16_t* bPTS;
  int64_t* PTS;
  uint16_t* bDTS;
  int64_t* DTS;
  uint16_t* truncated;
  uint32_t completeBit;
};

PESAssembly video_assembly(TSDemuxContext* c) {
  return {c->pVideo,   &c->videoSize, kTSVideoBufferSize, &c->videoBPTS,      &c->videoPTS,
          &c->videoBDTS, &c->videoDTS, &c->videoTruncated,  kTSStatusVideo};
}

PESAssembly audio_assembly(TSDemuxContext* c) {
  return {c->pAudio,   &c->audioSize, kTSAudioBufferSize, &c->audioBPTS,      &c->audioPTS,
          &c->audioBDTS, &c->audioDTS, &c->audioTruncated,  kTSStatusAudio};
}

// Appends what fits; the rest of an overlong PES is dropped and remembered.
void append(const PESAssembly& a, const uint8_t* area, uint32_t offset) {
  int32_t n = kTSPayloadAreaSize - int32_t(offset);
  int32_t room = a.capacity - *a.size;
  if (n > room) {
    n = room;
    *a.truncated = 1;
  }
  if (n <= 0) return;
  std::memcpy(a.buffer + *a.size, area + offset, size_t(n));
  *a.size += n;
}

// Takes one packet of a stream. Returns false when the packet starts the next
// PES while one is assembled: the packet stays in the window and the
// assembled PES is complete.
bool take_packet(const PESAssembly& a, const uint8_t* packet, const tsdemux::PacketLayout& layout) {
  if (layout.pusi) {
    if (*a.size != 0) return false;
    *a.bPTS = layout.bPTS;
    *a.PTS = layout.PTS;
    *a.bDTS = layout.bDTS;
    *a.DTS = layout.DTS;
    *a.truncated = 0;
  } else if (*a.size == 0) {
    return true;  // continuation of a PES whose start was not seen: dropped
  }
  append(a, packet + 4, layout.payloadOffset);
  return true;
}

// Moves a complete PES into the output record and clears it from the context.
uint32_t report(const PESAssembly& a, TSDemuxOutput* out) {
  out->bPTS = *a.bPTS;
  out->PTS = *a.PTS;
  out->bDTS = *a.bDTS;
  out->DTS = *a.DTS;
  *a.size = 0;
  uint32_t extra = *a.truncated ? kTSStatusTruncated : 0u;
  *a.truncated = 0;
  return extra;
}

// Runs packets from the window until a PES is complete or the window is empty.
void scan(TSDemuxContext* c) {
  PESScanner& s = c->scanner;
  const PESAssembly video = video_assembly(c);
  const PESAssembly audio = audio_assembly(c);
  tsdemux::PacketLayout layout;
  while (s.size - s.used > 0) {
    if (s.size - s.used < kTSSourcePacketSize) {
      s.used = s.size;  // a trailing piece of a packet (truncated recording): dropped
      break;
    }
    const uint8_t* packet = s.pBuffer + s.used + 4;
    if (packet[0] != 0x47) {  // lost sync: skip the whole source packet
      s.used += kTSSourcePacketSize;
      continue;
    }
    tsdemux::read_packet_layout(packet, &layout);
    const PESAssembly* a = layout.pid == kTSVideoPID   ? &video
                           : layout.pid == kTSAudioPID ? &audio
                                                       : nullptr;
    if (a != nullptr && !take_packet(*a, packet, layout)) {
      c->status |= a->completeBit;
      break;
    }
    s.used += kTSSourcePacketSize;
  }
  if (s.used >= s.size) s.used = s.size = 0;
}

}  // namespace

TSDemuxContext* TSOpenDemuxLib() {
  auto* c = static_cast<TSDemuxContext*>(std::calloc(1, sizeof(TSDemuxContext)));
  if (c == nullptr) return nullptr;
  c->pAudio = static_cast<uint8_t*>(std::calloc(1, kTSAudioBufferSize));
  c->scanner.pBuffer = c->pAudio ? static_cast<uint8_t*>(std::calloc(1, kTSInputWindowSize)) : nullptr;
  c->pVideo = c->scanner.pBuffer ? static_cast<uint8_t*>(std::calloc(1, kTSVideoBufferSize)) : nullptr;
  if (c->pVideo == nullptr) {
    std::free(c->scanner.pBuffer);
    std::free(c->pAudio);
    std::free(c);
    return nullptr;
  }
  c->status = kTSStatusNeedInput;
  return c;
}

int32_t TSCloseDemuxLib(TSDemuxContext* ctx) {
  if (ctx == nullptr || ctx->pAudio == nullptr || ctx->scanner.pBuffer == nullptr || ctx->pVideo == nullptr)
    return 0;
  std::free(ctx->pAudio);
  std::free(ctx->scanner.pBuffer);
  std::free(ctx->pVideo);
  std::free(ctx);
  return 1;
}

int32_t PESScanner_Fill(const uint8_t* src, int32_t length, PESScanner* s) {
  int32_t held = s->size - s->used;
  if (held < 0) held = 0;
  if (held > 0 && s->used > 0) std::memmove(s->pBuffer, s->pBuffer + s->used, size_t(held));
  s->size = held;
  s->used = 0;
  int32_t n = kTSInputWindowSize - s->size;
  if (length < n) n = length;
  if (src == nullptr && n > 0) n = 0;
  if (n > 0) {
    std::memcpy(s->pBuffer + s->size, src, size_t(n));
    s->size += n;
  }
  return n;
}

uint32_t TSDemuxStreamLib(const uint8_t* data, int32_t length, TSDemuxOutput* out, TSDemuxContext* ctx) {
  if (data == nullptr) return kTSStatusNoData;
  if (out == nullptr || ctx == nullptr) return kTSStatusNoOutput;

  PESScanner& s = ctx->scanner;
  if (s.size - s.used > 0) {
    ctx->status = kTSStatusHeld;
    scan(ctx);
  } else if (length <= 0) {
    ctx->status = kTSStatusNeedInput;
  } else if (length >= kTSInputWindowSize) {
    ctx->status = kTSStatusRefused;
  } else {
    ctx->status = kTSStatusConsumed;
    PESScanner_Fill(data, length, &s);
    scan(ctx);
  }

  uint32_t status = ctx->status;
  out->pVideo = ctx->pVideo;
  out->videoSize = ctx->videoSize;
  out->pAudio = ctx->pAudio;
  out->audioSize = ctx->audioSize;
  if (status & kTSStatusVideo) status |= report(video_assembly(ctx), out);
  if (status & kTSStatusAudio) status |= report(audio_assembly(ctx), out);
  ctx->status = status;
  out->status = status;
  return status;
}
