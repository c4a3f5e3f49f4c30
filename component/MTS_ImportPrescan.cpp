// Pre-scan of an import: two quick passes over the head and the tail of the
// stream (video, then audio) that learn how large the pictures are, which
// time base the video runs on, where its time stamps begin and end, and
// roughly how many frames there are; and the size rule of a video sample
// once its start codes become 4-byte lengths.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"

using mts_import::RoundHalfAway;

namespace {

constexpr int64_t kTicksPerSecond = 90000;
constexpr int64_t kHeadCount = 5;
constexpr int64_t kTailTarget = 10;

enum class Offer { kStatus, kOutOfData, kError };

// The head's PES by the part of a joined recording they belong to: a part
// begins where the stamps step by more than a second either way, or where
// program tables come before a picture that begins a coded sequence. The
// time base is judged from the pictures' own durations (the smallest step
// of their decode times within a part), never from a step between two
// parts, told or not: pieces of one recording may join with their
// counters running on and a step under a second between them.
struct HeadParts {
  int64_t pts = 0, dts = 0;  // of the head's latest PES
  int32_t n = 0;
  int32_t parts = 1;
  int64_t period = 0;  // smallest decode-time step within a part so far
  bool Begins(int64_t t, uint32_t marks, const TSDemuxOutput* out) const {
    if (n == 0) return false;
    const int64_t step = t - pts;
    return step > kTicksPerSecond || -step > kTicksPerSecond ||
           mts_import::PartBeginsWith(marks, out->pVideo, out->videoSize);
  }
  void Add(int64_t t, int64_t d, bool begins) {
    if (begins) ++parts;
    const int64_t step = d - dts;
    if (n > 0 && !begins && step > 0 && (period == 0 || step < period)) period = step;
    pts = t;
    dts = d;
    ++n;
  }
  // The span a head of one part without a step would have had: four of
  // its pictures' durations; 0 when it tells no duration.
  int64_t Span() const { return period * (kHeadCount - 1); }
  // A head with no two pictures of one part in a row (a first part of one
  // picture, each later part met by one PES): no picture's duration is
  // known, and a step between two parts says nothing of it. So too a head
  // of a single PES (a file of two pictures: its last PES is read apart).
  bool Untimed() const { return n == 1 || (parts > 1 && period == 0); }
};

// Time stamps of the last video PES of the file. The demultiplexer reports a
// PES only when the next one starts, so the last one is never reported; when
// the input has run out it is the PES still being assembled.
struct LastVideoStart {
  bool seen = false;
  int64_t pts = 0, dts = 0;
  void Take(const MTS_MovieImportGlobalsRecord* store) {
    TSDemuxPending pending{};
    if (!TSDemuxGetPendingLib(store->tsDemux, &pending) || !pending.videoStarted || !pending.bPTS) return;
    seen = true;
    pts = mts_import::UnwrapTimestamp(store->wrapReference, pending.PTS);
    dts = mts_import::UnwrapTimestamp(store->wrapReference, pending.bDTS ? pending.DTS : pending.PTS);
  }
};

// One call of a pass's read loop: reads the next chunk through the caller's
// data handler when the demultiplexer asks for input, else lets it work on
// what it holds. `result` receives a read error.
Offer OfferNext(MTS_MovieImportGlobalsRecord* store, OSErr* result) {
  int32_t length = 0;
  if (store->pTSInfo->status & 2) {
    int64_t n = mts_import::NextChunkLength(store);
    if (n <= 0) return Offer::kOutOfData;
    wide offset = store->ts_offset;
    ComponentResult err = DataHScheduleData64(store->dataHandler, reinterpret_cast<Ptr>(store->pTSbuffer), &offset,
                                              static_cast<int32_t>(n), 0, nullptr, nullptr);
    if (err != noErr) {
      *result = static_cast<OSErr>(err);
      return Offer::kError;
    }
    store->ts_offset += n;
    length = static_cast<int32_t>(n);
  }
  TSDemuxStreamLib(store->pTSbuffer, length, store->pTSInfo, store->tsDemux);
  return Offer::kStatus;
}

// Where the next step back puts the tail. Each step rereads to the end of the
// file, so moving back one chunk per step would make a tail without the
// wanted PES cost a quadratic amount of reading; the distance doubles instead,
// which keeps it linear. The first two steps land where one-chunk steps would.
int64_t StepBack(int64_t tailStart, int64_t* distance) {
  tailStart -= *distance;
  *distance *= 2;
  return tailStart < 0 ? 0 : tailStart;
}

// Reads the first node of an inspection of the current video PES.
struct StreamInfo {
  VideoStreamInfo head{};
  int32_t result = 0;
  StreamInfo(const TSDemuxOutput* out, uint32_t what) {
    result = AVCHDGetVideoStreamInfoLib(&head, out->pVideo, out->videoSize, what);
  }
  ~StreamInfo() { AVCHDReleaseVideoStreamInfoLib(&head); }
  StreamInfo(const StreamInfo&) = delete;
  StreamInfo& operator=(const StreamInfo&) = delete;
  const SliceSummary* slice() const {
    return head.nal_unit_type == 1 || head.nal_unit_type == 5 ? static_cast<const SliceSummary*>(head.pPayload)
                                                              : nullptr;
  }
  const SequenceParameterSetFields* sps() const {
    return head.nal_unit_type == 7 ? static_cast<const SequenceParameterSetFields*>(head.pPayload) : nullptr;
  }
};

// Says why video whose sequence parameter set the decoder refuses yields no
// movie, as the problem of the no-usable-video result: in the decoder's own
// words for what it refuses.
void ExplainRefusedSet(const TSDemuxOutput* out) {
  VideoRefusal refusal{};
  AVCHDGetVideoRefusalLib(&refusal, out->pVideo, out->videoSize);
  if (refusal.reason == kVideoRefusalNone) return;
  const bool format = refusal.reason == kVideoRefusalChromaFormat || refusal.reason == kVideoRefusalBitDepth;
  MTS_SetProblem(invalidMovie, "the video is H.264 with %s, which the importer does not take%s", refusal.text,
                 format ? " (it takes 8-bit 4:2:0)" : "");
}

} // namespace

int32_t MTS_Importer_StartTSdemuxer(MTS_MovieImportGlobalsRecord* store, int64_t offset) {
  if (store->tsDemux) {
    if (TSCloseDemuxLib(store->tsDemux) == 0) {
      MTS_LOG("[ERR]failed to TSCloseDemuxLib\n");
      return 1;
    }
    store->tsDemux = nullptr;
  }
  store->tsDemux = TSOpenDemuxLib();
  if (!store->tsDemux) {
    MTS_SayOutOfMemory("the importer's demultiplexer");
    return 1;
  }
  store->pTSInfo->status = 2;
  store->qt_offset = 0;
  store->ts_offset = offset;
  return 0;
}

int32_t MTS_GetFrameNum(MTS_MovieImportGlobalsRecord* store) {
  if (MTS_Importer_StartTSdemuxer(store, 0)) return 1;
  const int64_t fileSize = store->fileSize;
  int64_t tailStart = fileSize - fileSize % kMTSChunkSize;
  int64_t stepDistance = kMTSChunkSize;
  int64_t count = 0;
  int64_t minPTS = 0, headMaxPTS = 0, firstDTS = 0;
  int64_t headBytes = 0;  // bytes up to the end of the head's last PES
  std::vector<int64_t> tailPTS;
  TSDemuxOutput* out = store->pTSInfo;
  LastVideoStart lastStart;

  bool onlyPes = false;  // the file's one video PES, never reported, is taken
  HeadParts head;
  bool headInFirstPart = true;  // no head PES so far began another part
  bool videoSeen = false;  // a video PES came, with or without a sequence parameter set
  bool skippedField = false;  // the last B picture skipped was a single field:
  mts_import::SlicePicture skippedFirstField{};  // this one
  for (;;) {
    OSErr readErr = noErr;
    Offer offer = OfferNext(store, &readErr);
    if (offer == Offer::kError) return readErr;
    if (offer == Offer::kOutOfData) {
      // A recording cut so short that it holds one video PES: that PES,
      // still being assembled, is the first.
      TSDemuxPending pending{};
      if (count == 0 && !onlyPes && TSDemuxGetPendingLib(store->tsDemux, &pending) && pending.videoStarted &&
          pending.bPTS && out->videoSize > 0) {
        onlyPes = true;
        out->bPTS = 1;
        out->PTS = pending.PTS;
        out->bDTS = pending.bDTS;
        out->DTS = pending.DTS;
      } else {
        // No video PES in a whole pass from the start: reading again finds none.
        if (count >= kTailTarget || tailStart <= 0 || count == 0 || onlyPes) {
          if (store->wrapReference >= 0) lastStart.Take(store);
          break;
        }
        // The head is what this pass read: a pass from an earlier point
        // feeds the tail alone (its first PES would come into the head twice,
        // and a head of one picture read twice tells a duration of 0).
        count = std::max<int64_t>(count, kHeadCount);
        tailStart = StepBack(tailStart, &stepDistance);
        if (MTS_Importer_StartTSdemuxer(store, tailStart)) return 1;
        continue;
      }
    } else if (!(out->status & 0x100)) {
      continue;
    }
    videoSeen = true;
    if (store->wrapReference < 0) store->wrapReference = out->PTS;
    mts_import::UnwrapReportedTimes(store);
    const int64_t pts = out->PTS;
    const uint32_t startMarks = TSDemuxReportedStartLib(store->tsDemux);
    ++count;

    if (count == 1) {
      StreamInfo info(out, 1);
      if (info.head.status == 2 && info.sps()) ExplainRefusedSet(out);
      if (info.head.status != 0) return 1;
      const SequenceParameterSetFields* sps = info.sps();
      if (!sps) {
        // A first PES without a sequence parameter set: the stream is taken
        // from the first PES that carries one.
        count = 0;
        continue;
      }
      mts_import::PictureSize(sps, &store->width, &store->height);
      store->timeScale = static_cast<int32_t>(static_cast<uint32_t>(sps->time_scale) >> 1);
      store->frameDuration = static_cast<int32_t>(sps->num_units_in_tick);
      store->ptsOffset = static_cast<int32_t>(sps->num_units_in_tick);
      mts_import::KeepSliceHeaderValues(store, sps);
      store->firstVideoPTS = store->lastVideoPTS = minPTS = headMaxPTS = pts;
      firstDTS = out->bDTS ? out->DTS : 0;
      StreamInfo slices(out, 4);
      if (slices.head.status != 0) return 1;
      if (const SliceSummary* slice = slices.slice()) {
        if (mts_import::IsIntraSlice(slice->slice_type)) {
          if (store->firstIPTS == 0) store->firstIPTS = pts;
          if (slices.head.nal_unit_type == 5) store->idrSeen = 1;
        }
      }
    }

    // The head's smallest time stamp: the tail's are larger in one
    // recording, and after a restart (recordings joined) they say nothing
    // about the delay between decoding and display.
    const bool beginsPart = count <= kHeadCount && head.Begins(pts, onlyPes ? 0 : startMarks, out);
    if (beginsPart) headInFirstPart = false;
    if (count <= kHeadCount && headInFirstPart && pts < minPTS) minPTS = pts;
    if (!store->idrSeen) {
      StreamInfo slices(out, 4);
      if (slices.head.status != 0) return 1;
      const SliceSummary* slice = slices.slice();
      if (slice && mts_import::IsBSlice(slice->slice_type) && pts < store->firstIPTS) {
        --count;
        // Counted in the head only: a file shorter than a chunk is read
        // again from its start for the tail. A frame sent as two field PES
        // is skipped once.
        if (count >= kHeadCount) continue;
        int32_t firstSlice = -1, lastSlice = -1;
        mts_import::VideoSampleLength(out->pVideo, out->videoSize, &firstSlice, &lastSlice);
        mts_import::SlicePicture field{};
        const bool single = mts_import::SingleField(out->pVideo, out->videoSize, firstSlice, lastSlice,
                                                    store->sliceLog2MaxFrameNum, store->sliceFrameMbsOnly,
                                                    store->sliceSeparateColourPlane, &field);
        if (single && skippedField && mts_import::SecondFieldOf(skippedFirstField, field)) {
          skippedField = false;
        } else {
          ++store->skippedBFrames;
          skippedField = single;
          skippedFirstField = field;
        }
        continue;
      }
    }

    if (count <= kHeadCount) {
      head.Add(pts, out->bDTS ? out->DTS : pts, beginsPart);
      if (headInFirstPart) {
        store->firstVideoPTS = std::min(store->firstVideoPTS, pts);
        headMaxPTS = std::max(headMaxPTS, pts);
      }
      if (count == kHeadCount) {
        TSDemuxPending pending{};
        if (TSDemuxGetPendingLib(store->tsDemux, &pending)) headBytes = store->ts_offset - pending.heldBytes;
        if (MTS_Importer_StartTSdemuxer(store, tailStart)) return 1;
      }
    } else {
      tailPTS.push_back(pts);
      store->videoEndDTS = out->DTS;
      store->lastVideoPTS = std::max(store->lastVideoPTS, pts);
    }
  }

  if (count == 0 && videoSeen)
    MTS_SetProblem(invalidMovie, "the video stream holds no H.264 sequence parameter set: it is not H.264 video");
  if (count == 0 || store->timeScale == 0 || store->frameDuration == 0) return 1;
  // The last PES of the file, never reported, ends the video.
  if (lastStart.seen) {
    tailPTS.push_back(lastStart.pts);
    store->videoEndDTS = lastStart.dts;
    store->lastVideoPTS = std::max(store->lastVideoPTS, lastStart.pts);
  }

  // End of the video: above the first gap wider than a frame among the
  // largest time stamps lie stray values that do not count.
  std::sort(tailPTS.begin(), tailPTS.end(), std::greater<int64_t>());
  tailPTS.erase(std::unique(tailPTS.begin(), tailPTS.end()), tailPTS.end());
  const uint32_t timeScale = static_cast<uint32_t>(store->timeScale);
  const uint32_t frameDuration = static_cast<uint32_t>(store->frameDuration);
  const int64_t threshold = RoundHalfAway(frameDuration * 90000.0 / timeScale);
  const uint32_t step = (frameDuration * 90000u) / timeScale;
  if (!tailPTS.empty()) {
    store->videoEndPTS = tailPTS[0] + step;
    for (size_t i = 1; i < tailPTS.size(); ++i) {
      if (tailPTS[i - 1] - tailPTS[i] > threshold) {
        store->videoEndPTS = tailPTS[i] + step;
        break;
      }
    }
  }
  store->videoEndDTS += step;

  if (MTS_Importer_StartTSdemuxer(store, 0)) return 1;

  // Time-base test: a stream whose frames advance by two ticks of the
  // SPS-derived rate is coded at half that rate.
  const uint32_t span450k = frameDuration * 450000u;
  const int64_t partSpan = head.Span();
  const int64_t headSpan = partSpan > 0 ? partSpan : headMaxPTS - store->firstVideoPTS;
  uint32_t x = 0;
  if (headSpan != 0) x = static_cast<uint32_t>(static_cast<int64_t>(span450k / static_cast<double>(headSpan)));
  // A head whose parts tell no picture duration keeps the rate the
  // sequence parameter set gives.
  const double r = head.Untimed() ? 0.0 : x == 0 ? HUGE_VAL : static_cast<double>(timeScale) / x;
  if (r > 1.5) store->timeScale = static_cast<int32_t>(timeScale >> 1);
  if (store->timeScale == 0) return 1;
  SetMovieTimeScale(store->theMovie, mts_import::MovieTimeScaleFor(store->timeScale));

  // The decode-to-display delay comes from the head alone: it stands also
  // when the frame count below cannot be estimated.
  store->ptsOffset = RoundHalfAway((minPTS - firstDTS) * static_cast<double>(static_cast<uint32_t>(store->timeScale)) /
                                   static_cast<double>(kTicksPerSecond));
  store->videoFrames = static_cast<int32_t>(RoundHalfAway(
      (store->lastVideoPTS - store->firstVideoPTS) * static_cast<double>(static_cast<uint32_t>(store->timeScale)) /
      (frameDuration * 90000.0)));
  // Time stamps that restart between the head and the tail (recordings
  // joined) give no span: the count is estimated from the bytes the head's
  // pictures took instead.
  if (store->videoFrames <= 0 && headBytes > 0)
    store->videoFrames = static_cast<int32_t>(
        std::min<int64_t>(INT32_MAX, RoundHalfAway(double(kHeadCount) * double(fileSize) / double(headBytes))));
  // Fewer pictures than the head wants: they were all counted.
  if (store->videoFrames <= 0 && count > 0 && count < kHeadCount) store->videoFrames = static_cast<int32_t>(count);
  return store->videoFrames <= 0 ? 1 : 0;
}

int32_t MTS_GetSoundFrameNum(MTS_MovieImportGlobalsRecord* store) {
  if (MTS_Importer_StartTSdemuxer(store, 0)) return 1;
  const int64_t fileSize = store->fileSize;
  int64_t tailStart = fileSize - fileSize % kMTSChunkSize;
  int64_t stepDistance = kMTSChunkSize;
  int32_t count = 0;
  uint32_t sampleRate = 0;
  int32_t samplesPerFrame = 0;
  int64_t firstPTS = 0, maxPTS = 0;
  TSDemuxOutput* out = store->pTSInfo;

  for (;;) {
    OSErr readErr = noErr;
    Offer offer = OfferNext(store, &readErr);
    if (offer == Offer::kError) return readErr;
    if (offer == Offer::kOutOfData) {
      if (count >= 2 || tailStart <= 0 || count == 0) break;
      tailStart = StepBack(tailStart, &stepDistance);
      if (MTS_Importer_StartTSdemuxer(store, tailStart)) return 1;
      continue;
    }
    if (!(out->status & 0x200)) continue;
    mts_import::UnwrapReportedTimes(store);
    ++count;
    if (count == 1) {
      if (out->audioSize >= 2 && out->pAudio[0] == 0x0B && out->pAudio[1] == 0x77) {
        AC3StreamInfo info{};
        if (AVCHDAudioGetAC3StreamInfoLib(&info, out->pAudio, static_cast<uint32_t>(out->audioSize)) != 0) return 1;
        sampleRate = info.sampleRate;
        int32_t pcmBytes = 0, channelConfig = 0;
        int32_t r = mts_import::ReadAC3FrameHeader(store, out->pAudio, out->audioSize, &pcmBytes, &channelConfig);
        if (r != 0) {
          // Nothing is decoded here: the frame is found by its sync word and
          // sized from its header, and no header sized a whole frame.
          MTS_LOG("[ERR]no whole AC-3 frame in the first audio PES: no frame header there sizes one within its %d "
                  "bytes. ret=%d(nAC3FrameByteSize=%d, ts_offset=%lld)\n",
                  out->audioSize, r, mts_import::AC3FrameByteSize(store), static_cast<long long>(store->ts_offset));
          return r;
        }
        if (channelConfig == 1) {
          samplesPerFrame = pcmBytes / 2 / 2;
        } else if (channelConfig == 7) {
          samplesPerFrame = pcmBytes / 2 / 6;
        } else {
          MTS_LOG("[ERR]UNKONWN ac3decInfo.inChannelConfig=%d\n", channelConfig);
          return 1;
        }
      } else {
        LPCMStreamInfo info{};
        if (AVCHDAudioGetLPCMStreamInfoLib(&info, out->pAudio, static_cast<uint32_t>(out->audioSize)) != 0) return 1;
        sampleRate = info.sampleRate;
        samplesPerFrame = mts_import::LPCMFramesOf(out->audioSize, info);
      }
      firstPTS = maxPTS = out->PTS;
      if (MTS_Importer_StartTSdemuxer(store, tailStart)) return 1;
    } else if (out->PTS > maxPTS) {
      maxPTS = out->PTS;
    }
  }

  if (count == 0 || sampleRate == 0 || samplesPerFrame <= 0) return 1;
  const uint32_t step = (static_cast<uint32_t>(samplesPerFrame) * 90000u) / sampleRate;
  store->soundEndPTS = maxPTS + step;
  if (MTS_Importer_StartTSdemuxer(store, 0)) return 1;
  store->soundFrames = static_cast<int32_t>(
      RoundHalfAway(sampleRate * static_cast<double>(store->soundEndPTS - firstPTS) / 90000.0 / samplesPerFrame));
  return store->soundFrames <= 0 ? 1 : 0;
}

namespace mts_import {

int32_t MovieTimeScaleFor(int32_t videoScale) {
  // Sound at 48 kHz is placed to the sample on a grid of 48000 a second;
  // scales of a millisecond or finer already place it within a few samples.
  constexpr int32_t kFine = 48000;
  if (videoScale <= 0 || videoScale >= 1000) return videoScale;
  return (kFine + videoScale - 1) / videoScale * videoScale;
}

void PictureSize(const SequenceParameterSetFields* sps, int32_t* width, int32_t* height) {
  *width = 16 * (sps->pic_width_in_mbs_minus1 + 1) - 2 * (sps->frame_crop_left_offset + sps->frame_crop_right_offset);
  const int32_t rows = 16 * (sps->pic_height_in_map_units_minus1 + 1) -
                       2 * (sps->frame_crop_top_offset + sps->frame_crop_bottom_offset);
  *height = sps->frame_mbs_only_flag ? rows : 2 * rows;
}

int32_t VideoSampleLength(const uint8_t* buffer, int32_t length, int32_t* firstSlice, int32_t* lastSlice) {
  if (firstSlice) *firstSlice = -1;
  if (lastSlice) *lastSlice = -1;
  if (length <= 0 || !buffer) return 0;
  int32_t total = 0, current = 0;
  bool keep = false;
  int32_t i = 0;
  for (;;) {
    // Every byte before the next start code belongs to the current NAL unit.
    const int32_t at = NextStartCode(buffer, i, length);
    if (keep) current += at - i;
    if (at >= length) break;
    const int type = buffer[at + 3] & 0x1F;
    if (type == 1 || type == 5 || type == 6 || type == 7 || type == 8 || type == 9) {
      if (current > 0) total += current + 4;
      current = 1;
      keep = true;
      if (firstSlice && *firstSlice < 0 && (type == 1 || type == 5)) *firstSlice = at + 3;
      if (lastSlice && (type == 1 || type == 5)) *lastSlice = at + 3;
    } else if (type == 3) {
      if (keep) current += 4;
    } else {
      if (current > 0) total += current + 4;
      current = 0;
      keep = false;
    }
    i = at + 4;
  }
  return current > 0 ? total + current + 4 : total;
}

int32_t FirstSliceSpan(const uint8_t* buffer, int32_t length, int32_t firstSlice) {
  // The summary reads three Exp-Golomb codes from the start of the slice's
  // payload. With no two zero bytes in a row in the stretch, its bytes are
  // payload unchanged (no emulation prevention, no start code) and no run of
  // zero bits is longer than 22, so the three codes take at most 3 x 45 bits,
  // well inside 32 bytes; the inspection then reads exactly what it reads in
  // the whole unit, and the unit's end, cut or not, lies beyond its reach.
  constexpr int32_t kStretch = 32;
  if (firstSlice < 0 || firstSlice >= length || length - firstSlice - 1 < kStretch) return length;
  const uint8_t* p = buffer + firstSlice + 1;
  for (int32_t k = 0; k + 1 < kStretch; ++k)
    if (p[k] == 0 && p[k + 1] == 0) return length;
  return firstSlice + 1 + kStretch;
}

} // namespace mts_import

int32_t MTS_GetVideoLength(const uint8_t* buffer, int32_t length) {
  return mts_import::VideoSampleLength(buffer, length, nullptr);
}
