// Reads of the data handler: a request for bytes of the virtual byte space is
// looked up in the frame index, the transport stream is re-read from the
// frame's first packet and demultiplexed, and the frame is delivered as LPCM
// without its header, AC-3 decoded to 16-bit PCM, H.264 with 4-byte lengths,
// or (timecode) the frame numbers kept in the index.
//
// A read either fills the whole request and returns 0 (completion called) or
// returns an error (completion not called); bytes copied before the failure
// stay in the caller's buffer. Once a recording has been imported, what its
// bytes hold never fails a read of one of its samples: a sample that cannot
// be found or decoded is served as silence (sound) or as the bytes that are
// there (video), with one report per run of such samples.
//
// An instance reads a movie's samples mostly in order (a movie export reads
// every sample of a track one after the other). Its buffers live as long as
// the instance, and the demultiplexer and the AC-3 decoder stay where the
// last read left them: a read of the sample that follows goes on from there,
// so each stretch of the file is read and demultiplexed once, and the AC-3
// frames of one PES are decoded one after the other.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MTS_SoundFrames.h"

struct MTS_DataHReadState {
  UInt8* pcm = nullptr;    // kMTSAC3OutputSize bytes of decoded AC-3
  UInt8* video = nullptr;  // an access unit with 4-byte lengths
  size_t videoCapacity = 0;
  // The frame made last: `frameSize` bytes at `frameData`, the sample that
  // begins at qt_offset `frameKey` (-1: none kept).
  SInt64 frameKey = -1;
  const UInt8* frameData = nullptr;
  SInt64 frameSize = 0;
  // The frame-index value of the PES the demultiplexer gives next, as the
  // importer records it; good while the instance's position is
  // `nextPosition` (-1: unknown).
  SInt64 nextValue = -1;
  SInt64 nextPosition = -1;
  // AC-3: the audio PES whose frames are being served, its frame-index
  // value, the payload offset where its next frame is searched and the
  // frames taken from it.
  bool havePes = false;
  SInt64 pesValue = 0;
  SInt32 from = 0;
  SInt32 taken = 0;
  // The samples served last were silence or zero bytes, and were reported.
  bool reported = false;
  // A PES too large for the demultiplexer has been reported.
  bool truncated = false;
};

namespace {

// Result of an AC-3 frame that cannot be decoded (the host's codecErr).
constexpr ComponentResult kMTSErrCodec = -8960;
// Internal result: the frame of a sample is not where the import found it.
constexpr ComponentResult kFrameMissing = 1;

// The bytes of one frame: `size` bytes at `data`.
struct FrameBytes {
  const UInt8* data = nullptr;
  SInt64 size = 0;
};

// Reports a failed lookup of `offset`; its result code.
ComponentResult lookup_failed(int result, SInt64 offset, SInt32 dataSize) {
  if (result == kMTSErrNotYet) {
    char said[160];
    std::snprintf(said, sizeof said,
                  "the sample at qt_offset=%lld is not there yet: the import has not reached it (or the movie ends "
                  "before it)",
                  static_cast<long long>(offset));
    PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]%s\n", said);
    MTS_SetProblem(kMTSErrNotYet, "%s", said);
    return kMTSErrNotYet;
  }
  PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]failed to MTS_GetFrameOffset ofs64=%lld dataSize=%ld\n",
           static_cast<long long>(offset), static_cast<long>(dataSize));
  if (result == kMTSErrFileChanged) return result;  // said by the lookup
  return kMTSErrNotFound;
}

// A timecode sample is served only from the entry of its own key: a lookup
// that lands elsewhere found no such sample in the index.
ComponentResult timecode_not_found(SInt64 offset) {
  PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]no timecode sample at qt_offset=%lld in the frame index\n",
           static_cast<long long>(offset));
  return MTS_SayRecordDamaged("it has no timecode sample at qt_offset=%lld; import the recording again",
                              static_cast<long long>(offset));
}

void complete(DataHCompleteUPP completionRtn, Ptr placeToPutDataPtr, RefCon refCon) {
  if (completionRtn != nullptr) completionRtn(placeToPutDataPtr, refCon, noErr);
}

bool is_sound(const MTS_DataHGlobalsRecord* g) { return g->type == kAvchdDataRefSound; }

// Where a reader restarts for the PES that the demultiplexer holds the first
// packet of, as the importer records it: the packet before that one, or the
// packet itself when what lies before it is no packet.
SInt64 held_pes_value(const MTS_DataHGlobalsRecord* g) {
  TSDemuxPending pending{};
  if (!TSDemuxGetPendingLib(g->demux, &pending) || pending.heldBytes == 0) return -1;
  SInt64 value = g->position - pending.heldBytes;
  if (pending.afterPacket) value -= kTSSourcePacketSize;
  return value > 0 ? value : 0;
}

// Reads `n` bytes at the instance's position into `to`, then checks that
// the file is still the one imported (so the bytes read are its bytes).
ComponentResult read_chunk(MTS_DataHGlobalsRecord* g, UInt8* to, SInt64 n) {
  const ssize_t got = ::pread(fileno(g->file), to, static_cast<size_t>(n), static_cast<off_t>(g->position));
  if (got != static_cast<ssize_t>(n)) {
    PrintLog("MTS_DataHScheduleData64", __LINE__,
             "[ERR]failed to fread(pTSbuffer=%p, size=%lld, 1, fp=%p). sRet=%lu\n", static_cast<void*>(to),
             static_cast<long long>(n), static_cast<void*>(g->file),
             static_cast<unsigned long>(got < 0 ? 0 : got));
    return ioErr;
  }
  return MTS_DataHCheckFile(g);
}

// Feeds the demultiplexer until a PES of the instance's stream is ready, and
// gives its frame-index value in *value. Returns 0; eofErr when the file
// ends first; ioErr when the file cannot be read (reported).
ComponentResult next_pes(MTS_DataHGlobalsRecord* g, MTS_DataHReadState* st, const FrameOffsetEntry& entry,
                         SInt64* value) {
  const UInt32 wanted = is_sound(g) ? kTSStatusAudio : kTSStatusVideo;
  const SInt64 fileSize = MTS_RecordFileSize(g->pRec);  // not through the mapping: it may shrink
  st->frameKey = -1;  // the kept frame may lie in the demultiplexer's buffers
  *value = st->nextPosition == g->position ? st->nextValue : -1;
  for (;;) {
    TSDemuxOutput* out = g->pTSInfo;
    if (out->status & kTSStatusNeedInput) {
      SInt64 n = fileSize - g->position;
      if (n > kMTSReadChunkSize) n = kMTSReadChunkSize;
      if (n <= 0) return eofErr;
      // Straight into the demultiplexer's input window when it has room.
      int32_t room = 0;
      UInt8* to = TSDemuxInputSpaceLib(g->demux, &room);
      if (to == nullptr || room < n) to = g->pTSbuffer;
      if (ComponentResult err = read_chunk(g, to, n)) return err;
      g->position += n;
      TSDemuxStreamLib(to, static_cast<int32_t>(n), out, g->demux);
    } else {
      TSDemuxStreamLib(g->pTSbuffer, 0, out, g->demux);  // drain what it holds
    }
    if (out->status & wanted) {
      st->nextValue = held_pes_value(g);
      st->nextPosition = g->position;
      if ((out->status & kTSStatusTruncated) && !st->truncated) {
        PrintLog("MTS_DataHScheduleData64", __LINE__,
                 "[ERR]PES too large for the demultiplexer at qt_offset=%lld: its first %d bytes served\n",
                 static_cast<long long>(entry.qt_offset), static_cast<int>(is_sound(g) ? out->audioSize : out->videoSize));
        st->truncated = true;
      }
      return noErr;
    }
    // At the end of the file the stream's last PES never completes: take
    // what has been assembled of it.
    if (g->position == fileSize && (out->status & kTSStatusNeedInput)) {
      st->nextValue = -1;
      st->nextPosition = -1;
      return (is_sound(g) ? out->audioSize : out->videoSize) > 0 ? noErr : eofErr;
    }
  }
}

// Decodes one AC-3 frame into the PCM buffer. A frame that does not decode
// becomes silence of its length and layout, reported once per run of such
// frames; `quiet` decodes only for the decoder's history (the frame is not
// served).
void decode_ac3(MTS_DataHGlobalsRecord* g, MTS_DataHReadState* st, const UInt8* payload, const MTS_AC3Frame& f,
                bool quiet, FrameBytes* frame) {
  ac3decInfo& info = g->ac3decInfo;
  info.pInput = payload + f.offset;
  info.nInputBytes = f.size;
  info.nOutputCapacity = kMTSAC3OutputSize;
  info.pOutput = reinterpret_cast<int16_t*>(st->pcm);
  const SInt32 ret = AC3DecodeAFrameLib(g->ac3Decoder, &info);
  if (quiet) return;
  const SInt32 expected = kMTSAC3SamplesPerFrame * 2 * f.channels;
  frame->data = st->pcm;
  frame->size = expected;
  if (ret == 0 && info.nOutputBytes == expected) {
    st->reported = false;
    return;
  }
  std::memset(st->pcm, 0, static_cast<size_t>(expected));
  if (!st->reported) {
    PrintLog("MTS_DataHScheduleData64", __LINE__,
             "[ERR]failed to AC3DecodeAFrameLib(dstSize=%d,srcSize=%d, nAC3FrameByteSize=%d). ret=%d: served as "
             "silence\n",
             info.nOutputCapacity, info.nInputBytes, f.size, ret);
    st->reported = true;
  }
}

// The next AC-3 frame of the stream: the frame after the one taken last
// from the PES being served, else the first of the PES that follow (a PES
// without a frame gives no sample and is passed over). `skip` frames come
// first, decoded for the decoder's history only, so that the frame decodes
// as it does in stream order. With `inPes` the frame must be in the PES
// being served once it has given a frame: kFrameMissing otherwise.
ComponentResult next_ac3_frame(MTS_DataHGlobalsRecord* g, MTS_DataHReadState* st, const FrameOffsetEntry& entry,
                               SInt32 skip, bool inPes, FrameBytes* frame) {
  for (;;) {
    if (!st->havePes) {
      SInt64 value = -1;
      if (ComponentResult err = next_pes(g, st, entry, &value)) return err;
      st->havePes = true;
      st->pesValue = value;
      st->from = 0;
      st->taken = 0;
    }
    const TSDemuxOutput* out = g->pTSInfo;
    MTS_AC3Frame f{};
    if (!MTS_NextAC3Frame(g->ac3Decoder, &g->ac3decInfo, out->pAudio, out->audioSize, st->from, &f)) {
      const bool gave = st->taken > 0;
      st->havePes = false;
      if (inPes && gave) return kFrameMissing;
      continue;
    }
    st->from = f.offset + f.size;
    ++st->taken;
    decode_ac3(g, st, out->pAudio, f, skip > 0, frame);
    if (skip-- <= 0) return noErr;
  }
}

// Reports that AC-3 cannot be decoded without a decoder.
ComponentResult no_decoder(const MTS_DataHGlobalsRecord* g) {
  PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]failed to AC3DecGetInputInfoLib(pSrc=%p, srcSize=%d). iRet=%d\n",
           static_cast<const void*>(g->pTSInfo->pAudio), g->pTSInfo->audioSize, -1);
  return kMTSErrCodec;
}

// Makes the bytes of the next frame of the instance's stream. The first
// frame of a read (`first`) must be the one its sample was imported from:
// for AC-3 after a restart it follows `skip` frames of its PES, and it must
// lie in that PES.
ComponentResult frame_bytes(MTS_DataHGlobalsRecord* g, MTS_DataHReadState* st, const FrameOffsetEntry& entry,
                            bool first, SInt32 skip, FrameBytes* frame) {
  if (is_sound(g)) {
    if (g->audioKind == kMTSAudioAC3 && st->havePes) return next_ac3_frame(g, st, entry, 0, first, frame);
    SInt64 value = -1;
    if (ComponentResult err = next_pes(g, st, entry, &value)) return err;
    TSDemuxOutput* out = g->pTSInfo;
    if (g->audioKind == kMTSAudioUnknown && out->audioSize >= 2) {
      g->audioKind = out->pAudio[0] == 0x0B && out->pAudio[1] == 0x77 ? kMTSAudioAC3 : kMTSAudioLPCM;
    }
    if (g->audioKind == kMTSAudioAC3) {
      if (g->ac3Decoder == nullptr) return no_decoder(g);
      if (st->pcm == nullptr) st->pcm = static_cast<UInt8*>(std::malloc(kMTSAC3OutputSize));
      if (st->pcm == nullptr) {
        PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]MTS_DataHScheduleData64 malloc error\n");
        return -1;
      }
      st->havePes = true;
      st->pesValue = value;
      st->from = 0;
      st->taken = 0;
      return next_ac3_frame(g, st, entry, skip, first, frame);
    }
    // LPCM (or a payload too short to tell): the samples behind the 4-byte
    // header.
    frame->data = out->pAudio + 4;
    frame->size = out->audioSize > 4 ? out->audioSize - 4 : 0;
    return noErr;
  }

  SInt64 value = -1;
  if (ComponentResult err = next_pes(g, st, entry, &value)) return err;
  TSDemuxOutput* out = g->pTSInfo;
  // The conversion needs at most twice the payload.
  const size_t need = 2 * static_cast<size_t>(out->videoSize) + 1;
  if (need > st->videoCapacity) {
    UInt8* grown = static_cast<UInt8*>(std::realloc(st->video, need));
    if (grown == nullptr) {
      PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]MTS_DataHScheduleData64 malloc error\n");
      return -1;
    }
    st->video = grown;
    st->videoCapacity = need;
  }
  frame->data = st->video;
  frame->size = MTS_copy_buffer(st->video, out->pVideo, out->videoSize);
  return noErr;
}

// Timecode: the frame numbers of consecutive index entries, as big-endian
// 32-bit words. A request that is not a multiple of 4 bytes gets the leading
// bytes of its last word.
ComponentResult read_timecode(MTS_DataHGlobalsRecord* g, Ptr dst, SInt64 fileOffset, SInt32 dataSize,
                              FrameOffsetEntry entry, SInt64* done) {
  while (*done < dataSize) {
    UInt32 v = static_cast<UInt32>(entry.value);
    UInt8 word[4] = {UInt8(v >> 24), UInt8(v >> 16), UInt8(v >> 8), UInt8(v)};
    SInt64 fit = dataSize - *done < 4 ? dataSize - *done : 4;
    std::memcpy(dst + *done, word, static_cast<size_t>(fit));
    *done += 4;
    if (*done < dataSize) {
      Boolean exact = kFalse;
      const int found = MTS_GetFrameOffset(g, g->pRec, fileOffset + *done, &entry, &exact);
      if (found != 0) return lookup_failed(found, found == kMTSErrNotYet ? fileOffset + *done : fileOffset, dataSize);
      if (!exact) return timecode_not_found(fileOffset + *done);
    }
  }
  return noErr;
}

// True when the source packet at `packet` starts a PES of stream `pid`.
bool starts_pes(const UInt8* packet, UInt32 pid) {
  const UInt8* ts = packet + 4;
  return ts[0] == 0x47 && (ts[1] & 0x40) && (UInt32(ts[1] & 0x1F) << 8 | ts[2]) == pid;
}

// Starts the demultiplexer over for the sample of `entry`. The importer
// records the packet before a PES's first packet; when that packet itself
// starts a PES of the stream (a packet sent twice, a one-packet PES), the
// PES meant is the one after it, where the reader starts.
ComponentResult restart(MTS_DataHGlobalsRecord* g, MTS_DataHReadState* st, const FrameOffsetEntry& entry) {
  const ComponentResult err = MTS_DH_StartTSdemuxer(g);
  if (err != noErr) {
    MTS_LOG("[ERR]MTS_DataHScheduleData64 MTS_DH_StartTSdemuxer error=%d\n", static_cast<int>(err));
    return err;
  }
  TSDemuxFollowLib(g->demux, is_sound(g) ? kTSStatusAudio : kTSStatusVideo);
  const SInt64 at = is_sound(g) ? MTS_SoundValueOffset(entry.value) : entry.value;
  g->position = at;
  st->nextValue = at;
  st->nextPosition = at;
  st->havePes = false;
  st->frameKey = -1;
  // The two packets at the restart offset (fewer at the end of the file:
  // nothing to look at then).
  const size_t pair = 2 * kTSSourcePacketSize;
  const UInt32 pid = is_sound(g) ? kTSAudioPID : kTSVideoPID;
  if (at > 0 && ::pread(fileno(g->file), g->pTSbuffer, pair, static_cast<off_t>(at)) == static_cast<ssize_t>(pair) &&
      starts_pes(g->pTSbuffer, pid) && starts_pes(g->pTSbuffer + kTSSourcePacketSize, pid)) {
    g->position += kTSSourcePacketSize;
    st->nextPosition = g->position;
  }
  return noErr;
}

// How the first frame of a read is reached.
enum class Start {
  kKept,     // it is the frame made last
  kNext,     // the demultiplexer (and decoder) stand right before its PES
  kInPes,    // AC-3: it is the next frame of the PES being served
  kRestart,  // the demultiplexer starts over at its packet
};

// How the read of `entry` begins, given where the instance stands.
Start start_of(const MTS_DataHGlobalsRecord* g, const MTS_DataHReadState* st, const FrameOffsetEntry& entry,
               bool exact) {
  if (st->frameKey >= 0 && st->frameKey == entry.qt_offset) return Start::kKept;
  if (!exact) return Start::kRestart;
  if (is_sound(g) && g->audioKind == kMTSAudioAC3 && st->havePes) {
    SInt64 inPes = -1;
    if (MTS_PackSoundValue(st->pesValue, st->taken, &inPes) && inPes == entry.value) return Start::kInPes;
  }
  if (st->nextValue >= 0 && entry.value == st->nextValue && g->position == st->nextPosition) return Start::kNext;
  return Start::kRestart;
}

// Serves `count` bytes of a sample whose frame cannot be made as silence or
// zero bytes, reported once per run of such samples.
void serve_missing(MTS_DataHGlobalsRecord* g, MTS_DataHReadState* st, UInt8* dst, SInt64 count, SInt64 qt) {
  std::memset(dst, 0, static_cast<size_t>(count));
  if (!st->reported) {
    PrintLog("MTS_DataHScheduleData64", __LINE__,
             "[ERR]the %s of qt_offset=%lld is not where the import found it: %lld bytes served as %s\n",
             is_sound(g) ? "sound frame" : "picture", static_cast<long long>(qt), static_cast<long long>(count),
             is_sound(g) ? "silence" : "zero bytes");
    st->reported = true;
  }
  // Where the demultiplexer stands no longer says what follows.
  st->nextValue = -1;
  st->havePes = false;
  st->frameKey = -1;
}

// Sound and video: fills the request from the frames of the stream.
ComponentResult read_frames(MTS_DataHGlobalsRecord* g, MTS_DataHReadState* st, Ptr dst, SInt64 offset,
                            SInt32 dataSize, const FrameOffsetEntry& entry, bool exact, SInt64* done) {
  if (is_sound(g) && g->audioKind == kMTSAudioAC3 && g->ac3Decoder == nullptr) return no_decoder(g);
  const Start start = start_of(g, st, entry, exact);
  // A read that goes on in stream order serves bytes read from the file as
  // imported (each chunk is checked when read); any other read checks the
  // file first.
  if (start == Start::kKept || start == Start::kRestart) {
    if (ComponentResult err = MTS_DataHCheckFile(g)) return err;
  }
  SInt32 skip = 0;
  if (start == Start::kRestart) {
    if (ComponentResult err = restart(g, st, entry)) return err;
    if (is_sound(g)) skip = MTS_SoundValueFrame(entry.value);
  } else if (start == Start::kNext) {
    st->havePes = false;  // frames left in the PES served last were not imported
  }
  SInt64 frameStart = entry.qt_offset;
  bool first = true;
  while (*done < dataSize) {
    FrameBytes frame;
    ComponentResult err = noErr;
    if (first && start == Start::kKept) {
      frame.data = st->frameData;
      frame.size = st->frameSize;
    } else {
      err = frame_bytes(g, st, entry, first, skip, &frame);
      skip = 0;
    }
    const SInt64 at = offset + *done;
    // The request starts inside this frame, `into` bytes in.
    const SInt64 into = first ? offset - entry.qt_offset : 0;
    if (err == noErr && first && into >= frame.size) err = kFrameMissing;
    if (err == eofErr || err == kFrameMissing) {
      // The sample of the entry (the request starts it, or lies inside it
      // and another sample follows) was imported: it is served. A request
      // that goes on past the frames of the file is refused.
      if (first && (exact || entry.next != -1)) {
        serve_missing(g, st, reinterpret_cast<UInt8*>(dst) + *done, dataSize - *done, at);
        *done = dataSize;
        break;
      }
      if (err == eofErr) {
        MTS_LOG("[ERR]file over. NO DATA for qt_offset=%lld\n", static_cast<long long>(entry.qt_offset));
      } else {
        MTS_LOG("[ERR]no data at qt_offset=%lld: frame at %lld has %lld bytes\n", static_cast<long long>(offset),
                static_cast<long long>(entry.qt_offset), static_cast<long long>(frame.size));
      }
      return eofErr;
    }
    if (err != noErr) return err;
    st->frameKey = frameStart;
    st->frameData = frame.data;
    st->frameSize = frame.size;
    if (frame.data != st->pcm && !(first && start == Start::kKept)) st->reported = false;
    frameStart += frame.size;
    first = false;
    SInt64 count = frame.size - into;
    if (count > dataSize - *done) count = dataSize - *done;
    std::memcpy(dst + *done, frame.data + into, static_cast<size_t>(count));
    *done += count;
  }
  return noErr;
}

}  // namespace

void MTS_DataHFreeReadState(MTS_DataHGlobalsRecord* globals) {
  if (globals == nullptr || globals->readState == nullptr) return;
  std::free(globals->readState->pcm);
  std::free(globals->readState->video);
  delete globals->readState;
  globals->readState = nullptr;
}

ComponentResult MTS_DH_StartTSdemuxer(MTS_DataHGlobalsRecord* globals) {
  if (globals->demux != nullptr) {
    TSResetDemuxLib(globals->demux);
  } else {
    globals->demux = TSOpenDemuxLib();
    if (globals->demux == nullptr) {
      MTS_LOG("[ERR]failed to TSOpenDemuxLib.\n");
      MTS_SayOutOfMemory("the data handler's demultiplexer");
      return kMTSErrOpen;
    }
  }
  globals->pTSInfo->status = kTSStatusNeedInput;
  globals->pTSInfo->videoSize = 0;  // they described the old state
  globals->pTSInfo->audioSize = 0;
  globals->position = 0;
  return noErr;
}

ComponentResult MTS_DataHScheduleData64(MTS_DataHGlobalsRecord* globals, Ptr placeToPutDataPtr,
                                        const wide* fileOffset, SInt32 dataSize, RefCon refCon,
                                        DataHSchedulePtr, DataHCompleteUPP completionRtn) {
  if (globals == nullptr || globals->pRec == nullptr || fileOffset == nullptr) return paramErr;
  if (dataSize > 0 && placeToPutDataPtr == nullptr) return paramErr;
  const SInt64 offset = *fileOffset;

  FrameOffsetEntry entry;
  Boolean exact = kFalse;
  if (const int found = MTS_GetFrameOffset(globals, globals->pRec, offset, &entry, &exact)) {
    return lookup_failed(found, offset, dataSize);
  }

  SInt64 done = 0;
  if (globals->type == kAvchdDataRefTimecode) {
    if (!exact) return timecode_not_found(offset);
    ComponentResult err = read_timecode(globals, placeToPutDataPtr, offset, dataSize, entry, &done);
    if (err != noErr) return err;
  } else if (globals->type == kAvchdDataRefSound || globals->type == kAvchdDataRefVideo) {
    if (globals->file == nullptr || globals->pTSInfo == nullptr || globals->pTSbuffer == nullptr) {
      MTS_LOG("[ERR]no file to read for qt_offset=%lld\n", static_cast<long long>(offset));
      return kMTSErrOpen;
    }
    if (globals->readState == nullptr) globals->readState = new (std::nothrow) MTS_DataHReadState;
    if (globals->readState == nullptr) {
      MTS_LOG("[ERR]MTS_DataHScheduleData64 malloc error\n");
      return -1;
    }
    if (dataSize > 0) {
      ComponentResult err = read_frames(globals, globals->readState, placeToPutDataPtr, offset, dataSize, entry,
                                        exact != kFalse, &done);
      if (err != noErr) return err;
    }
  }
  // Any other type: nothing to deliver.

  if (done > dataSize) {
    MTS_LOG("[ERR]Data Size Bigger than DataSize=%ld, qtTmp_offset=%lld\n", static_cast<long>(dataSize),
            static_cast<long long>(done));
  }
  complete(completionRtn, placeToPutDataPtr, refCon);
  return noErr;
}

ComponentResult MTS_DataHScheduleData(MTS_DataHGlobalsRecord* globals, Ptr placeToPutDataPtr, SInt32 fileOffset,
                                      SInt32 dataSize, RefCon refCon, DataHSchedulePtr scheduleRec,
                                      DataHCompleteUPP completionRtn) {
  const wide offset = static_cast<wide>(static_cast<UInt32>(fileOffset));
  return MTS_DataHScheduleData64(globals, placeToPutDataPtr, &offset, dataSize, refCon, scheduleRec,
                                 completionRtn);
}

void* workerThread(void* args) {
  auto* a = static_cast<ThreadArgsRecord*>(args);
  if (a == nullptr) return nullptr;
  ComponentResult err = MTS_DataHScheduleData64(static_cast<MTS_DataHGlobalsRecord*>(a->globals),
                                                a->placeToPutDataPtr, a->fileOffset, a->dataSize, a->refCon, nullptr,
                                                a->completionRtn);
  // A successful read has called the routine itself.
  if (err != noErr && a->completionRtn != nullptr)
    a->completionRtn(a->placeToPutDataPtr, a->refCon, static_cast<OSErr>(err));
  return nullptr;
}
