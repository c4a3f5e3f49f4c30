// Reads of the data handler: a request for bytes of the virtual byte space is
// looked up in the frame index, the transport stream is re-read from the
// frame's first packet and demultiplexed, and the frame is delivered as LPCM
// without its header, AC-3 decoded to 16-bit PCM, H.264 with 4-byte lengths,
// or (timecode) the frame numbers kept in the index.
//
// A read either fills the whole request and returns 0 (completion called) or
// returns an error (completion not called); bytes copied before the failure
// stay in the caller's buffer.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MTS_SoundFrames.h"

namespace {

// Result of an AC-3 frame that cannot be decoded (the host's codecErr).
constexpr ComponentResult kMTSErrCodec = -8960;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using MallocBuffer = std::unique_ptr<UInt8, FreeDeleter>;

// The bytes of one frame: `size` bytes at `data`.
struct FrameBytes {
  const UInt8* data = nullptr;
  SInt64 size = 0;
};

void complete(DataHCompleteUPP completionRtn, Ptr placeToPutDataPtr, RefCon refCon) {
  if (completionRtn != nullptr) completionRtn(placeToPutDataPtr, refCon, noErr);
}

// Feeds the demultiplexer until a frame of the instance's stream is ready.
// Returns 0, or an error after reporting it.
ComponentResult next_frame(MTS_DataHGlobalsRecord* g, const FrameOffsetEntry& entry) {
  const bool sound = g->type == kAvchdDataRefSound;
  const UInt32 wanted = sound ? kTSStatusAudio : kTSStatusVideo;
  const SInt64 fileSize = MTS_RecordFileSize(g->pRec);  // not through the mapping: it may shrink
  for (;;) {
    TSDemuxOutput* out = g->pTSInfo;
    if (out->status & kTSStatusNeedInput) {
      SInt64 n = fileSize - g->position;
      if (n > kMTSReadChunkSize) n = kMTSReadChunkSize;
      if (n <= 0) {
        PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]file over. NO DATA for qt_offset=%lld\n",
                 static_cast<long long>(entry.qt_offset));
        return eofErr;
      }
      if (fseeko(g->file, static_cast<off_t>(g->position), SEEK_SET) != 0) {
        PrintLog("MTS_DataHScheduleData64", __LINE__,
                 "[ERR]failed to fseeko(fp=%p, ts_offset=%lld, SEEK_SET). errno=%d\n",
                 static_cast<void*>(g->file), static_cast<long long>(g->position), errno);
        return ioErr;
      }
      size_t got = std::fread(g->pTSbuffer, 1, static_cast<size_t>(n), g->file);
      if (got != static_cast<size_t>(n)) {
        PrintLog("MTS_DataHScheduleData64", __LINE__,
                 "[ERR]failed to fread(pTSbuffer=%p, size=%lld, 1, fp=%p). sRet=%lu\n",
                 static_cast<void*>(g->pTSbuffer), static_cast<long long>(n),
                 static_cast<void*>(g->file), static_cast<unsigned long>(got));
        return ioErr;
      }
      g->position += n;
      TSDemuxStreamLib(g->pTSbuffer, static_cast<int32_t>(n), out, g->demux);
    } else {
      TSDemuxStreamLib(g->pTSbuffer, 0, out, g->demux);  // drain what it holds
    }
    if (out->status & wanted) {
      if (!(out->status & kTSStatusTruncated)) return noErr;
      PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]PES too large for the demultiplexer at qt_offset=%lld\n",
               static_cast<long long>(entry.qt_offset));
      return ioErr;  // its tail was dropped: delivering it would corrupt the sample
    }
    // At the end of the file the stream's last PES never completes: take
    // what has been assembled of it.
    if (g->position == fileSize && (out->status & kTSStatusNeedInput)) {
      SInt32 held = sound ? out->audioSize : out->videoSize;
      if (held > 0) return noErr;
      PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]file over. NO DATA for qt_offset=%lld\n",
               static_cast<long long>(entry.qt_offset));
      return eofErr;
    }
  }
}

// Set in audioKind while the frames served last were silence, so that a run
// of frames that do not decode is reported once.
constexpr SInt32 kSilencedRun = 0x100;

SInt32 audio_kind(const MTS_DataHGlobalsRecord* g) { return g->audioKind & ~kSilencedRun; }

// Where a read stands among the AC-3 frames of the audio PES the
// demultiplexer reported last.
struct AC3Cursor {
  bool havePes = false;
  SInt32 from = 0;  // payload offset from which the next frame is searched
};

// Decodes one AC-3 frame into `pcm`. A frame that does not decode becomes
// silence of its length and layout, reported once per run of such frames;
// `quiet` decodes only for the decoder's history (the frame is not served).
void decode_ac3(MTS_DataHGlobalsRecord* g, const UInt8* payload, const MTS_AC3Frame& f, UInt8* pcm, bool quiet,
                FrameBytes* frame) {
  ac3decInfo& info = g->ac3decInfo;
  info.pInput = payload + f.offset;
  info.nInputBytes = f.size;
  info.nOutputCapacity = kMTSAC3OutputSize;
  info.pOutput = reinterpret_cast<int16_t*>(pcm);
  const SInt32 ret = AC3DecodeAFrameLib(g->ac3Decoder, &info);
  if (quiet) return;
  const SInt32 expected = kMTSAC3SamplesPerFrame * 2 * f.channels;
  frame->data = pcm;
  frame->size = expected;
  if (ret == 0 && info.nOutputBytes == expected) {
    g->audioKind &= ~kSilencedRun;
    return;
  }
  std::memset(pcm, 0, static_cast<size_t>(expected));
  if (!(g->audioKind & kSilencedRun)) {
    PrintLog("MTS_DataHScheduleData64", __LINE__,
             "[ERR]failed to AC3DecodeAFrameLib(dstSize=%d,srcSize=%d, nAC3FrameByteSize=%d). ret=%d: served as "
             "silence\n",
             info.nOutputCapacity, info.nInputBytes, f.size, ret);
    g->audioKind |= kSilencedRun;
  }
}

// The next AC-3 frame of the stream: the frame after the one served last in
// the same PES, else the first of the PES that follow. For the first frame
// of a read, `skip` frames of the entry's PES come before the wanted one:
// they are decoded for the decoder's history only (so that the frame
// decodes as it does in stream order), and the frame must be in that PES.
ComponentResult next_ac3_frame(MTS_DataHGlobalsRecord* g, const FrameOffsetEntry& entry, AC3Cursor* cursor,
                               SInt32 skip, bool first, UInt8* pcm, FrameBytes* frame) {
  if (g->ac3Decoder == nullptr) {
    PrintLog("MTS_DataHScheduleData64", __LINE__,
             "[ERR]failed to AC3DecGetInputInfoLib(pSrc=%p, srcSize=%d). iRet=%d\n",
             static_cast<const void*>(g->pTSInfo->pAudio), g->pTSInfo->audioSize, -1);
    return kMTSErrCodec;
  }
  for (;;) {
    if (!cursor->havePes) {
      ComponentResult err = next_frame(g, entry);
      if (err != noErr) return err;
      cursor->havePes = true;
      cursor->from = 0;
    }
    const TSDemuxOutput* out = g->pTSInfo;
    MTS_AC3Frame f{};
    if (!MTS_NextAC3Frame(g->ac3Decoder, &g->ac3decInfo, out->pAudio, out->audioSize, cursor->from, &f)) {
      if (first) {
        PrintLog("MTS_DataHScheduleData64", __LINE__,
                 "[ERR]no AC-3 frame %d in the PES of qt_offset=%lld\n",
                 static_cast<int>(MTS_SoundValueFrame(entry.value)), static_cast<long long>(entry.qt_offset));
        return kMTSErrCodec;
      }
      cursor->havePes = false;
      continue;
    }
    cursor->from = f.offset + f.size;
    decode_ac3(g, out->pAudio, f, pcm, skip > 0, frame);
    if (skip-- <= 0) return noErr;
  }
}

// Makes the bytes of the next frame of the instance's stream: the next PES
// for video and LPCM, the next AC-3 frame for AC-3. `pcm` and `video` are
// per-call buffers, allocated when first needed.
ComponentResult frame_bytes(MTS_DataHGlobalsRecord* g, const FrameOffsetEntry& entry, bool first, AC3Cursor* cursor,
                            MallocBuffer* pcm, MallocBuffer* video, FrameBytes* frame) {
  if (g->type == kAvchdDataRefSound) {
    if (audio_kind(g) == kMTSAudioAC3 && cursor->havePes) {
      return next_ac3_frame(g, entry, cursor, 0, first, pcm->get(), frame);
    }
    ComponentResult err = next_frame(g, entry);
    if (err != noErr) return err;
    TSDemuxOutput* out = g->pTSInfo;
    if (g->audioKind == kMTSAudioUnknown && out->audioSize >= 2) {
      g->audioKind = out->pAudio[0] == 0x0B && out->pAudio[1] == 0x77 ? kMTSAudioAC3 : kMTSAudioLPCM;
    }
    if (audio_kind(g) == kMTSAudioAC3) {
      if (!*pcm) pcm->reset(static_cast<UInt8*>(std::malloc(kMTSAC3OutputSize)));
      if (!*pcm) {
        PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]MTS_DataHScheduleData64 malloc error\n");
        return -1;
      }
      cursor->havePes = true;
      cursor->from = 0;
      const SInt32 skip = first ? MTS_SoundValueFrame(entry.value) : 0;
      return next_ac3_frame(g, entry, cursor, skip, first, pcm->get(), frame);
    }
    // LPCM (or a payload too short to tell): the samples behind the 4-byte
    // header.
    frame->data = out->pAudio + 4;
    frame->size = out->audioSize > 4 ? out->audioSize - 4 : 0;
    return noErr;
  }

  ComponentResult err = next_frame(g, entry);
  if (err != noErr) return err;
  TSDemuxOutput* out = g->pTSInfo;
  // Video: the conversion needs at most twice the payload.
  video->reset(static_cast<UInt8*>(std::malloc(2 * static_cast<size_t>(out->videoSize) + 1)));
  if (!*video) {
    PrintLog("MTS_DataHScheduleData64", __LINE__, "[ERR]MTS_DataHScheduleData64 malloc error\n");
    return -1;
  }
  frame->data = video->get();
  frame->size = MTS_copy_buffer(video->get(), out->pVideo, out->videoSize);
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
      if (MTS_GetFrameOffset(g, g->pRec, fileOffset + *done, &entry, &exact) != 0) {
        PrintLog("MTS_DataHScheduleData64", __LINE__,
                 "[ERR]failed to MTS_GetFrameOffset ofs64=%lld dataSize=%ld\n",
                 static_cast<long long>(fileOffset), static_cast<long>(dataSize));
        return kMTSErrNotFound;
      }
    }
  }
  return noErr;
}

// True when the demultiplexer holds nothing: no input and no part of a PES.
// Only then does feeding it from `position` serve the frame that starts
// there; held data would yield earlier frames first.
bool demux_is_fresh(const MTS_DataHGlobalsRecord* g) {
  const TSDemuxOutput* out = g->pTSInfo;
  TSDemuxPending pending{};
  return (out->status & kTSStatusNeedInput) && out->videoSize == 0 && out->audioSize == 0 &&
         TSDemuxGetPendingLib(g->demux, &pending) && pending.heldBytes == 0;
}

}  // namespace

ComponentResult MTS_DH_StartTSdemuxer(MTS_DataHGlobalsRecord* globals) {
  if (globals->demux != nullptr) {
    int closed = TSCloseDemuxLib(globals->demux);
    globals->demux = nullptr;
    if (closed == 0) {
      MTS_LOG("[ERR]failed to TSCloseDemuxLib\n");
      return paramErr;
    }
  }
  globals->demux = TSOpenDemuxLib();
  if (globals->demux == nullptr) {
    MTS_LOG("[ERR]failed to TSOpenDemuxLib.\n");
    return kMTSErrOpen;
  }
  globals->pTSInfo->status = kTSStatusNeedInput;
  globals->pTSInfo->videoSize = 0;  // they described the old context
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
  if (MTS_GetFrameOffset(globals, globals->pRec, offset, &entry, &exact) != 0) {
    MTS_LOG("[ERR]failed to MTS_GetFrameOffset ofs64=%lld dataSize=%ld\n", static_cast<long long>(offset),
            static_cast<long>(dataSize));
    return kMTSErrNotFound;
  }

  SInt64 done = 0;
  if (globals->type == kAvchdDataRefTimecode) {
    ComponentResult err = read_timecode(globals, placeToPutDataPtr, offset, dataSize, entry, &done);
    if (err != noErr) return err;
  } else if (globals->type == kAvchdDataRefSound || globals->type == kAvchdDataRefVideo) {
    if (globals->file == nullptr || globals->pTSInfo == nullptr || globals->pTSbuffer == nullptr) {
      MTS_LOG("[ERR]no file to read for qt_offset=%lld\n", static_cast<long long>(offset));
      return kMTSErrOpen;
    }
    if (ComponentResult err = MTS_DataHCheckFile(globals)) return err;
    // Sound values carry the AC-3 frame's position inside its PES.
    const SInt64 restart =
        globals->type == kAvchdDataRefSound ? MTS_SoundValueOffset(entry.value) : entry.value;
    if (!(exact && globals->position == restart && demux_is_fresh(globals) &&
          (globals->type != kAvchdDataRefSound || MTS_SoundValueFrame(entry.value) == 0))) {
      ComponentResult err = MTS_DH_StartTSdemuxer(globals);
      if (err != noErr) {
        MTS_LOG("[ERR]MTS_DataHScheduleData64 MTS_DH_StartTSdemuxer error=%d\n", static_cast<int>(err));
        return err;
      }
      globals->position = restart;
    }

    MallocBuffer pcm, video;
    AC3Cursor cursor;
    bool first = true;
    while (done < dataSize) {
      FrameBytes frame;
      ComponentResult err = frame_bytes(globals, entry, first, &cursor, &pcm, &video, &frame);
      if (err != noErr) return err;
      SInt64 skip = 0;
      if (first) {
        // The request starts inside this frame, `skip` bytes in.
        skip = offset - entry.qt_offset;
        if (skip < 0 || skip >= frame.size) {
          MTS_LOG("[ERR]no data at qt_offset=%lld: frame at %lld has %lld bytes\n",
                  static_cast<long long>(offset), static_cast<long long>(entry.qt_offset),
                  static_cast<long long>(frame.size));
          return eofErr;
        }
        first = false;
      }
      SInt64 count = frame.size - skip;
      if (count > dataSize - done) count = dataSize - done;
      std::memcpy(placeToPutDataPtr + done, frame.data + skip, static_cast<size_t>(count));
      done += count;
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
