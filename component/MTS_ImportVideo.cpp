// The video side of an imported movie: the camera gate, the 'avc1' sample
// description and its extensions ('avcC', 'colr', 'fiel', 'pasp'), the
// video track and media, and one sample reference per access unit, handed
// to the media a whole group of pictures per insertion.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"

using mts_import::RoundHalfAway;

namespace {

constexpr int32_t kSampleNotSync = 0x00000001;
constexpr int32_t kSampleDroppable = 0x08000000;
constexpr int32_t kSamplePartialSync = 0x00010000;

// Sample flags by the first slice of the access unit.
int32_t SampleFlags(unsigned sliceType, unsigned nalUnitType, unsigned nalRefIdc) {
  switch (mts_import::SliceTypeOf(sliceType)) {
  case kSliceTypeP: case kSliceTypeSP:
    return kSampleNotSync;
  case kSliceTypeB:
    return nalRefIdc != 0 ? kSampleNotSync : (kSampleNotSync | kSampleDroppable);
  case kSliceTypeI: case kSliceTypeSI:
    return nalUnitType == 5 ? 0 : (kSampleNotSync | kSamplePartialSync);
  default:
    return 0;
  }
}

// Pixel aspect by the VUI; false for a sample aspect ratio that is not
// supported.
bool PixelAspect(const SequenceParameterSetFields* sps, uint32_t* h, uint32_t* v) {
  *h = *v = 1;
  if (!sps->aspect_ratio_info_present_flag) return true;
  switch (sps->aspect_ratio_idc) {
  case 0: case 1: return true;
  case 2: *h = 12; *v = 11; return true;
  case 3: *h = 10; *v = 11; return true;
  case 4: *h = 16; *v = 11; return true;
  case 5: *h = 40; *v = 33; return true;
  case 14: *h = 4; *v = 3; return true;
  case 15: *h = 3; *v = 2; return true;
  case 16: *h = 2; *v = 1; return true;
  case 255:
    // A zero in either term means "unspecified": square pixels.
    if (sps->sar_width != 0 && sps->sar_height != 0) {
      *h = sps->sar_width;
      *v = sps->sar_height;
    }
    return true;
  default:
    return false;
  }
}

// Copies one run of consecutive parameter sets of NAL type `wanted`, with the
// start-code rules of the sample-size count: three-byte start codes only, a
// type-3 unit's four bytes count as payload of the unit being copied, and the
// zero that begins a four-byte start code ends the unit before it. Returns
// the position at which the scan stopped.
int32_t CopyParameterSets(const uint8_t* au, int32_t length, int32_t start, int wanted, uint8_t* out,
                          int32_t* pos, uint8_t* countByte, uint8_t countMask) {
  bool copying = false, found = false;
  int32_t lengthPos = 0, current = 0;
  auto finish = [&] {
    if (copying) {
      out[lengthPos] = uint8_t(current >> 8);
      out[lengthPos + 1] = uint8_t(current);
    }
  };
  int32_t i = start;
  while (i < length) {
    if (length - i >= 4 && au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      const int type = au[i + 3] & 0x1F;
      if (type == wanted) {
        finish();
        lengthPos = *pos;
        *pos += 2;
        out[(*pos)++] = au[i + 3];
        current = 1;
        *countByte = uint8_t((*countByte & ~countMask) | (((*countByte & countMask) + 1) & countMask));
        copying = found = true;
        i += 4;
        continue;
      }
      if (type == 3) {
        if (copying) {
          std::memcpy(out + *pos, au + i, 4);
          *pos += 4;
          current += 4;
        }
        i += 4;
        continue;
      }
      if (found) {
        finish();
        return i;
      }
      copying = false;
      i += 4;
      continue;
    }
    if (copying) {
      out[(*pos)++] = au[i];
      ++current;
    }
    ++i;
  }
  finish();
  return i;
}

// Moves the pending run of the sample table into the media and brings the
// video end time up to date.
OSErr TransferPendingSamples(MTS_MovieImportGlobalsRecord* store) {
  if (store->sampleTableNum > 0) {
    OSErr err = AddSampleTableToMedia(store->videoMedia, store->videoSampleTable, store->startSampleNum,
                                      store->sampleTableNum, nullptr);
    if (err != noErr) {
      MTS_LOG("[ERR]AddSampleTableToMedia(startSampleNum=%lld, sampleTableNum=%lld). err=%d\n",
              static_cast<long long>(store->startSampleNum), static_cast<long long>(store->sampleTableNum), err);
      return err;
    }
    store->startSampleNum += store->sampleTableNum;
    store->sampleTableNum = 0;
  }
  store->videoEndTime =
      static_cast<int32_t>(GetMediaDisplayStartTime(store->videoMedia) + GetMediaDisplayDuration(store->videoMedia));
  return noErr;
}

// Time code media time of the video's end.
void UpdateTimecodeEnd(MTS_MovieImportGlobalsRecord* store) {
  if (!store->timecodeMedia) return;
  const TimeScale videoScale = GetMediaTimeScale(store->videoMedia);
  if (videoScale <= 0) return;
  int64_t end = RoundHalfAway(static_cast<double>(store->videoEndTime) / videoScale *
                              GetMediaTimeScale(store->timecodeMedia));
  // The video's display end can lie beyond its last decode time (a stream
  // cut after a P picture); the time codes end where their samples end.
  const int64_t timecodeEnd = GetMediaDisplayEndTime(store->timecodeMedia);
  if (end > timecodeEnd) end = timecodeEnd;
  store->timecodeEndTime = static_cast<int32_t>(end);
}

// The end of the stream: every pending sample goes into the media, also when
// the last access unit itself could not be added. `flushTimecodes` is false
// while the last picture's time code is still to be pushed.
OSErr FinishVideo(MTS_MovieImportGlobalsRecord* store, bool flushTimecodes) {
  const int64_t total = store->startSampleNum + store->sampleTableNum - 1;
  if (static_cast<int64_t>(store->videoFrames) + store->skippedBFrames < total)
    store->videoFrames = static_cast<int32_t>(total - store->skippedBFrames);
  // A recording of one group hides its leading B pictures here, as the
  // transfer of a first group does.
  const bool first = store->sampleTableNum > 0 && store->videoInsertedTime == 0;
  OSErr err = TransferPendingSamples(store);
  if (err != noErr) return err;
  if (first) store->videoInsertedTime = store->skippedBFrames * store->frameDuration;
  if (flushTimecodes && store->isCamera) {
    MTS_FlushTCList(store);
    UpdateTimecodeEnd(store);
  }
  return noErr;
}

} // namespace

namespace mts_import {

SliceHeaderBits::SliceHeaderBits(const uint8_t* buffer, int32_t length, int32_t nal) {
  int32_t n = 0, zeros = 0;
  for (int32_t i = nal + 1; buffer && nal >= 0 && i < length && n < static_cast<int32_t>(sizeof rbsp_); ++i) {
    if (zeros >= 2 && buffer[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = buffer[i] == 0 ? zeros + 1 : 0;
    rbsp_[n++] = buffer[i];
  }
  bits_ = 8 * n;
}

bool SliceHeaderBits::Read(int count, uint32_t* v) {
  if (bits_ - at_ < count) return false;
  *v = 0;
  for (int k = 0; k < count; ++k, ++at_) *v = *v << 1 | ((rbsp_[at_ >> 3] >> (7 - (at_ & 7))) & 1u);
  return true;
}

bool SliceHeaderBits::Ue(uint32_t* v) {
  int lead = 0;
  uint32_t b = 0;
  while (Read(1, &b) && b == 0)
    if (++lead > 31) return false;
  uint32_t rest = 0;
  if (b != 1 || !Read(lead, &rest)) return false;
  *v = (uint32_t(1) << lead) - 1 + rest;
  return true;
}

bool ReadSlicePicture(const uint8_t* buffer, int32_t length, int32_t nal, uint32_t log2MaxFrameNum,
                      bool frameMbsOnly, bool separateColourPlane, SlicePicture* out) {
  if (!buffer || nal < 0 || nal >= length) return false;
  // The header fields wanted take at most 3 x 65 + 2 + 16 + 2 bits.
  SliceHeaderBits h(buffer, length, nal);
  auto read = [&](int count, uint32_t* v) { return h.Read(count, v); };
  uint32_t code = 0;
  auto ue = [&]() { return h.Ue(&code); };
  SlicePicture p{};
  p.idr = (buffer[nal] & 0x1F) == 5;
  p.reference = (buffer[nal] & 0x60) != 0;
  uint32_t v = 0;
  // first_mb_in_slice, slice_type, pic_parameter_set_id.
  if (!ue() || !ue() || !ue()) return false;
  if (separateColourPlane && !read(2, &v)) return false;
  if (log2MaxFrameNum < 4 || log2MaxFrameNum > 16 || !read(static_cast<int>(log2MaxFrameNum), &p.frameNum))
    return false;
  if (!frameMbsOnly) {
    if (!read(1, &v)) return false;
    p.field = v != 0;
    if (p.field) {
      if (!read(1, &v)) return false;
      p.bottom = v != 0;
    }
  }
  *out = p;
  return true;
}

bool SingleField(const uint8_t* au, int32_t length, int32_t firstSlice, int32_t lastSlice, uint32_t log2MaxFrameNum,
                 bool frameMbsOnly, bool separateColourPlane, SlicePicture* field) {
  SlicePicture last{};
  return !frameMbsOnly &&
         ReadSlicePicture(au, length, firstSlice, log2MaxFrameNum, false, separateColourPlane, field) &&
         field->field && ReadSlicePicture(au, length, lastSlice, log2MaxFrameNum, false, separateColourPlane, &last) &&
         last.field && last.bottom == field->bottom;
}

bool SecondFieldOf(const SlicePicture& first, const SlicePicture& second) {
  return first.field && second.field && first.bottom != second.bottom && first.frameNum == second.frameNum &&
         first.reference == second.reference && !second.idr;
}

} // namespace mts_import

int32_t MTS_create_avcC_extension(const uint8_t* accessUnit, int32_t length, uint8_t* out, int32_t* outLength) {
  static const uint8_t header[6] = {0x01, 0x64, 0x00, 0x29, 0xFF, 0xE0};
  std::memcpy(out, header, sizeof header);
  int32_t pos = 6;
  const int32_t end = CopyParameterSets(accessUnit, length, 0, 7, out, &pos, &out[5], 0x1F);
  const int32_t ppsCountPos = pos;
  out[pos++] = 0;
  CopyParameterSets(accessUnit, length, end, 8, out, &pos, &out[ppsCountPos], 0xFF);
  *outLength = pos;
  return 0;
}

OSErr MTS_create_video_track(MTS_MovieImportGlobalsRecord* store, const SequenceParameterSetFields* sps,
                             Handle videoDataRef) {
  const TSDemuxOutput* out = store->pTSInfo;
  VideoUserData userData{};
  if (AVCHDGetVideoUserDataLib(&userData, out->pVideo, out->videoSize) == 0 &&
      (userData.modelTag & 0xFFFF) == 0x0103 && userData.modelCode >= 0x403 && userData.modelCode <= 0x4FF)
    store->isCamera = 1;

  ImageDescriptionHandle desc = NewHandleClear(sizeof(ImageDescription));
  if (!desc) return mts_import::AllocationError();
  ImageDescription* d = reinterpret_cast<ImageDescription*>(*desc);
  d->idSize = sizeof(ImageDescription);
  d->cType = FOUR_CHAR_CODE("avc1");
  d->temporalQuality = 0x200;
  d->spatialQuality = 0x200;
  d->width = static_cast<int16_t>(store->width);
  d->height = static_cast<int16_t>(store->height);
  d->hRes = 0x00480000;
  d->vRes = 0x00480000;
  d->frameCount = 1;
  d->depth = 24;
  d->clutID = -1;
  auto fail = [&](OSErr err) {
    DisposeHandle(desc);
    return err;
  };

  // The record is at most 7 bytes longer than the access unit it is made of.
  std::vector<uint8_t> scratch(static_cast<size_t>(out->videoSize > 0 ? out->videoSize : 0) + 8);
  int32_t n = 0;
  MTS_create_avcC_extension(out->pVideo, out->videoSize, scratch.data(), &n);
  Handle avcC = NewHandleClear(n);
  if (!avcC) return fail(mts_import::AllocationError());
  std::memcpy(*avcC, scratch.data(), static_cast<size_t>(n));
  OSErr err = AddImageDescriptionExtension(desc, avcC, FOUR_CHAR_CODE("avcC"));
  DisposeHandle(avcC);
  if (err != noErr) return fail(err);

  static const uint8_t colrBytes[10] = {'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 1};
  Handle colr = NewHandleClear(sizeof colrBytes);
  if (!colr) return fail(mts_import::AllocationError());
  std::memcpy(*colr, colrBytes, sizeof colrBytes);
  err = AddImageDescriptionExtension(desc, colr, FOUR_CHAR_CODE("colr"));
  DisposeHandle(colr);
  if (err != noErr) return fail(err);

  const uint8_t fiel[2] = {uint8_t(sps->frame_mbs_only_flag ? 1 : 2), uint8_t(sps->frame_mbs_only_flag ? 0 : 9)};
  err = static_cast<OSErr>(ICMImageDescriptionSetProperty(desc, FOUR_CHAR_CODE("idsc"), FOUR_CHAR_CODE("fiel"),
                                                         sizeof fiel, fiel));
  if (err != noErr) return fail(err);

  uint32_t hSpacing = 1, vSpacing = 1;
  if (!PixelAspect(sps, &hSpacing, &vSpacing)) return fail(1);
  const uint32_t pasp[2] = {hSpacing, vSpacing};
  err = static_cast<OSErr>(ICMImageDescriptionSetProperty(desc, FOUR_CHAR_CODE("idsc"), FOUR_CHAR_CODE("pasp"),
                                                         sizeof pasp, pasp));
  if (err != noErr) return fail(err);

  // The table counts in the media's units, as its durations and display
  // offsets do (the movie's scale may be finer).
  err = static_cast<OSErr>(QTSampleTableCreateMutable(nullptr, store->timeScale, nullptr, &store->videoSampleTable));
  if (err != noErr) return fail(err);

  const uint32_t displayWidth = static_cast<uint32_t>(store->width) * hSpacing / vSpacing;
  store->videoTrack = NewMovieTrack(store->theMovie, Long2Fix(static_cast<int32_t>(displayWidth)),
                                    Long2Fix(store->height), 0x100);
  store->videoMedia = NewTrackMedia(store->videoTrack, FOUR_CHAR_CODE("vide"), store->timeScale, videoDataRef,
                                    store->dataRefType);
  err = GetMoviesError();
  if (err == noErr && !store->videoMedia) err = invalidMedia;
  if (err != noErr) return fail(err);
  SetTrackEnabled(store->videoTrack, kTrue);
  mts_import::KeepSliceHeaderValues(store, sps);
  err = static_cast<OSErr>(QTSampleTableAddSampleDescription(
      store->videoSampleTable, desc, 0, &store->videoDescriptionID));
  DisposeHandle(desc);
  return err;
}

namespace {

// What the sequence parameter set of an access unit (read from the bytes
// before its first slice only) says of its pictures' size.
enum class UnitSize { kNoSet, kTrackSize, kOtherSize };

// The transfer of a complete group of pictures (those pending in the sample
// table) into the media, with their time codes.
OSErr TransferGroup(MTS_MovieImportGlobalsRecord* store) {
  if (store->sampleTableNum <= 0) return noErr;
  OSErr err = TransferPendingSamples(store);
  if (err != noErr) return err;
  if (store->videoInsertedTime == 0) store->videoInsertedTime = store->skippedBFrames * store->frameDuration;
  if (store->isCamera) {
    MTS_FlushTCList(store);
    UpdateTimecodeEnd(store);
  }
  return noErr;
}

// The sequence parameter set values the slice headers are read with: from
// the parameter set of the access unit when it carries one for pictures of
// the track's size, else those kept from earlier. The size of another one
// in *width and *height, with how long one of its pictures lasts when its
// timing tells (90 kHz; else left as it was).
UnitSize TakeSliceHeaderValues(MTS_MovieImportGlobalsRecord* store, const uint8_t* au, int32_t firstSlice,
                               int32_t* width, int32_t* height, int64_t* frameTicks) {
  bool hasSps = false;
  for (int32_t i = mts_import::NextStartCode(au, 0, firstSlice); i < firstSlice;
       i = mts_import::NextStartCode(au, i + 4, firstSlice))
    hasSps |= (au[i + 3] & 0x1F) == 7;
  if (!hasSps) return UnitSize::kNoSet;
  VideoStreamInfo sps{};
  AVCHDGetVideoStreamInfoLib(&sps, au, firstSlice, 1);
  UnitSize size = UnitSize::kNoSet;
  if (sps.status == 0 && sps.nal_unit_type == 7 && sps.pPayload) {
    const auto* fields = static_cast<const SequenceParameterSetFields*>(sps.pPayload);
    mts_import::PictureSize(fields, width, height);
    size = *width == store->width && *height == store->height ? UnitSize::kTrackSize : UnitSize::kOtherSize;
    if (size == UnitSize::kTrackSize) mts_import::KeepSliceHeaderValues(store, fields);
    // Its time scale counts fields, as the track's does.
    const uint32_t scale = fields->time_scale >> 1;
    if (size == UnitSize::kOtherSize && fields->vui_parameters_present_flag && fields->timing_info_present_flag &&
        scale > 0)
      *frameTicks = int64_t(fields->num_units_in_tick) * 90000 / scale;
  }
  AVCHDReleaseVideoStreamInfoLib(&sps);
  return size;
}

// Opens a stretch of pictures of another size at the PES now read: the
// track's description, made from the first access unit, would be false for
// them. Each stretch is logged once.
OSErr BeginLeftOutVideo(MTS_MovieImportGlobalsRecord* store, int32_t width, int32_t height) {
  const int64_t at = store->videoTSOffset + kMTSPacketSize;
  store->videoLeavingOut = 1;
  store->parts.leftOutPictureTicks = 0;  // known again from the stretch's own sequence
  MTS_LOG("[ERR]video of %dx%d from ts_offset=%lld on is not imported: the video track is %dx%d\n", width, height,
          static_cast<long long>(at), store->width, store->height);
  try {
    if (!store->leftOutVideo) store->leftOutVideo = new std::vector<MTS_LeftOutVideo>;
    store->leftOutVideo->push_back({at, 0, width, height});
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  return noErr;
}

// Closes the open stretch at the PES now read.
void EndLeftOutVideo(MTS_MovieImportGlobalsRecord* store) {
  store->videoLeavingOut = 0;
  if (store->leftOutVideo && !store->leftOutVideo->empty())
    store->leftOutVideo->back().to = store->videoTSOffset + kMTSPacketSize;
}

// The time of a stretch of pictures left out, `ticks` long, as video media
// units.
int32_t TicksToVideoUnits(const MTS_MovieImportGlobalsRecord* store, int64_t ticks) {
  return static_cast<int32_t>(mts_import::LeftOutVideoUnits(store, ticks));
}

// The track's pictures go on after a stretch left out, with the picture at
// presentation time `pts`: the media so far goes into the tracks, and the
// time from its end to that picture stays empty there.
OSErr CloseVideoRange(MTS_MovieImportGlobalsRecord* store, int64_t pts) {
  OSErr err = TransferGroup(store);
  if (err != noErr) return err;
  err = mts_import::InsertVideoRanges(store, -1);
  if (err != noErr) return err;
  const int32_t gap = pts > store->videoPTSEnd ? TicksToVideoUnits(store, pts - store->videoPTSEnd) : 0;
  store->videoOpenGapTime = 0;
  if (gap <= 0) return noErr;
  store->videoGapTime += gap;
  store->videoRangeAt =
      static_cast<TimeValue>(GetTrackDuration(store->videoTrack) + mts_import::VideoUnitsToMovieTime(store, gap));
  if (store->timecodeTrack) store->timecodeRangeAt = store->videoRangeAt;
  return noErr;
}

// Adds picture `pic` (one access unit, or the two fields of a frame from
// two PES) as one sample: its sample reference, its frame-index entries
// (one per PES, so that a read from either finds its bytes) and the display
// bookkeeping.
OSErr AddPicture(MTS_MovieImportGlobalsRecord* store, const MTS_VideoPicture& pic, Boolean isLast) {
  const int32_t size = pic.size + pic.secondSize;
  int64_t displayOffset = 0;
  if (pic.bPTS && pic.bDTS) {
    displayOffset = RoundHalfAway(static_cast<double>(pic.PTS - pic.DTS) *
                                  static_cast<uint32_t>(store->timeScale) / 90000.0) -
                    store->ptsOffset;
  } else if (isLast && pic.isB) {
    displayOffset = -store->ptsOffset;
  } else {
    MTS_LOG("[ERR]no PTS or no DTS. bPTS=%d, bDTS=%d. not end B frame.\n", pic.bPTS, pic.bDTS);
  }

  // Each part's pictures show by their own stamps from where the parts
  // record places the part.
  const bool seam = pic.bPTS && pic.PTS == store->parts.seamPicturePTS;
  const int64_t shift = mts_import::PartPlacePicture(store, store->videoDecodeTime + displayOffset, pic.restarted,
                                                     pic.intra, pic.resumed, seam);
  displayOffset += shift;

  OSErr err = static_cast<OSErr>(QTSampleTableAddSampleReferences(store->videoSampleTable, store->qt_offset, size,
                                                                  store->frameDuration, displayOffset, 1, pic.flags,
                                                                  store->videoDescriptionID, nullptr));
  if (err != noErr) {
    MTS_LOG("[ERR]QTSampleTableAddSampleReferences: err=%d\n", err);
    return err;
  }
  // The sample is in the table: it is counted (and its bytes reserved) even
  // when its frame-index entry fails, so the table and the count agree.
  ++store->sampleTableNum;
  ++store->intraSamples[0];
  ++store->intraSamples[1];
  // A picture whose own time stamps are damaged (displayed more than a second
  // off its decode time) does not move the others.
  if (std::llabs(displayOffset - shift) <= static_cast<int64_t>(store->timeScale)) {
    if (pic.bPTS && store->timeScale > 0)
      store->videoPTSEnd = std::max(store->videoPTSEnd, pic.PTS + int64_t(store->frameDuration) * 90000 /
                                                                      static_cast<uint32_t>(store->timeScale));
    mts_import::PartPicture(store, pic.bPTS, pic.PTS, store->videoDecodeTime + displayOffset);
  }
  store->videoDecodeTime += store->frameDuration;
  err = static_cast<OSErr>(MTS_AddFrameOffset(store->pARec, store->pRec, store->qt_offset, pic.tsOffset));
  if (err == noErr && pic.secondSize > 0)
    err = static_cast<OSErr>(
        MTS_AddFrameOffset(store->pARec, store->pRec, store->qt_offset + pic.size, pic.secondTsOffset));
  store->qt_offset += size;
  if (err != noErr) MTS_LOG("[ERR]MTS_PutFrameOffset\n");
  return err;
}

// What comes before a picture's sample: at an I or SI picture, the transfer
// of the group of pictures before it; and after it, its time code.
OSErr StartPicture(MTS_MovieImportGlobalsRecord* store, const MTS_VideoPicture& pic) {
  if (!pic.intra) return noErr;
  if (store->firstIPTS == 0) store->firstIPTS = pic.PTS;
  store->intraTSOffsets[1] = store->intraTSOffsets[0];
  store->intraPTS[1] = store->intraPTS[0];
  store->intraTSOffsets[0] = pic.tsOffset;
  store->intraPTS[0] = pic.PTS;
  store->intraSamples[1] = store->intraSamples[0];
  store->intraSamples[0] = 0;
  if (store->intraCount < 2) ++store->intraCount;
  return TransferGroup(store);
}

int32_t AddTimecode(MTS_MovieImportGlobalsRecord* store) {
  if (!store->isCamera || !store->timecodeMedia) return noErr;
  const int32_t result = MTS_add_timecode_sample(store);
  if (result != noErr) MTS_LOG("[ERR]failed to MTS_add_timecode_sample. err=%d\n", result);
  return result;
}

// A first field still waiting for its second becomes a sample of its own.
OSErr AddWaitingField(MTS_MovieImportGlobalsRecord* store, int32_t* outSize) {
  if (!store->fieldWaiting) return noErr;
  store->fieldWaiting = 0;
  *outSize += store->waitingField.size;
  return AddPicture(store, store->waitingField, 0);
}

} // namespace

// Rounded up to whole pictures of the track, so that the picture held over
// the stretch keeps the track's picture rate (a stretch of another rate
// seldom lasts a whole number of the track's pictures).
int64_t mts_import::VideoTrackStart(const MTS_MovieImportGlobalsRecord* store) {
  if (GetTrackDuration(store->videoTrack) > 0)
    return std::max<int64_t>(TrackTimeToMediaDisplayTime(0, store->videoTrack), 0);
  return store->videoInsertedTime != 0 ? store->videoInsertedTime
                                       : int64_t(store->skippedBFrames) * store->frameDuration;
}

int64_t mts_import::LeftOutVideoUnits(const MTS_MovieImportGlobalsRecord* store, int64_t ticks) {
  const int64_t units =
      RoundHalfAway(static_cast<double>(ticks) * static_cast<uint32_t>(store->timeScale) / 90000.0);
  const int64_t frame = store->frameDuration;
  if (units <= 0 || frame <= 0) return units;
  return (units + frame - 1) / frame * frame;
}

int64_t mts_import::VideoUnitsToMovieTime(const MTS_MovieImportGlobalsRecord* store, int64_t units) {
  const int64_t videoScale = store->timeScale;
  const int64_t movieScale = GetMovieTimeScale(store->theMovie);
  if (videoScale <= 0 || movieScale <= 0 || videoScale == movieScale) return units;
  return units * movieScale / videoScale;
}

void mts_import::KeepSliceHeaderValues(MTS_MovieImportGlobalsRecord* store, const SequenceParameterSetFields* sps) {
  store->sliceLog2MaxFrameNum = sps->log2_max_frame_num;
  store->sliceFrameMbsOnly = sps->frame_mbs_only_flag;
  store->sliceSeparateColourPlane = sps->separate_colour_plane_flag;
}

namespace {

// Pictures of another size than the track's are left out, from the access
// unit whose parameter set names that size up to an IDR picture whose
// parameter set names the track's size again: opens (or closes) the stretch
// left out at this access unit, sets videoLeftOut when it is left out, and
// *resumes when it takes the track up again after such a stretch. A first
// field waiting for its second goes into the track before a stretch opens
// (its size in *outSize).
OSErr FollowPictureSize(MTS_MovieImportGlobalsRecord* store, int32_t firstSlice, int32_t* outSize, bool* resumes) {
  const TSDemuxOutput* out = store->pTSInfo;
  int32_t width = 0, height = 0;
  int64_t frameTicks = 0;
  const UnitSize unitSize = TakeSliceHeaderValues(store, out->pVideo, firstSlice, &width, &height, &frameTicks);
  if (unitSize == UnitSize::kTrackSize) store->setsTSOffset = store->videoTSOffset;
  if (unitSize == UnitSize::kOtherSize) {
    const MTS_LeftOutVideo* open =
        store->videoLeavingOut && store->leftOutVideo && !store->leftOutVideo->empty() ? &store->leftOutVideo->back()
                                                                                        : nullptr;
    if (!open || open->width != width || open->height != height) {
      OSErr err = AddWaitingField(store, outSize);
      if (err != noErr) return err;
      if (store->videoLeavingOut) EndLeftOutVideo(store);
      err = BeginLeftOutVideo(store, width, height);
      if (err != noErr) return err;
    }
  }
  *resumes = store->videoLeavingOut && unitSize == UnitSize::kTrackSize && firstSlice >= 0 &&
             (out->pVideo[firstSlice] & 0x1F) == 5;
  const bool left = store->videoLeavingOut && !*resumes;
  store->videoLeftOut = left;
  if (left && out->bPTS && out->PTS > store->videoPTSEnd)
    store->videoOpenGapTime = std::max(store->videoOpenGapTime, TicksToVideoUnits(store, out->PTS - store->videoPTSEnd));
  if (left && frameTicks > 0) mts_import::PartLeftOutPictureLasts(store, frameTicks);
  return noErr;
}

// The picture of the access unit in pTSInfo (`size` bytes as served, its
// first slice at `firstSlice`), described from its first slice and its PES.
// False when it has no slice that can be read (or is left out for its size);
// *status is then the slice inspection's error flag.
bool DescribePicture(MTS_MovieImportGlobalsRecord* store, int32_t firstSlice, int32_t size, bool resumes,
                     MTS_VideoPicture* pic, int32_t* status) {
  const TSDemuxOutput* out = store->pTSInfo;
  VideoStreamInfo node{};
  if (!store->videoLeftOut)
    AVCHDGetVideoStreamInfoLib(&node, out->pVideo,
                               mts_import::FirstSliceSpan(out->pVideo, out->videoSize, firstSlice), 4);
  const SliceSummary* slice = (node.nal_unit_type == 1 || node.nal_unit_type == 5)
                                  ? static_cast<const SliceSummary*>(node.pPayload)
                                  : nullptr;
  *status = node.status;
  if (node.status != 0 || !slice) {
    AVCHDReleaseVideoStreamInfoLib(&node);
    return false;
  }
  const unsigned sliceType = slice->slice_type;
  pic->flags = SampleFlags(sliceType, node.nal_unit_type, node.nal_ref_idc);
  pic->intra = mts_import::IsIntraSlice(sliceType);
  pic->isB = mts_import::IsBSlice(sliceType);
  AVCHDReleaseVideoStreamInfoLib(&node);
  pic->size = size;
  pic->bPTS = out->bPTS;
  pic->bDTS = out->bDTS;
  pic->PTS = out->PTS;
  pic->DTS = out->DTS;
  pic->tsOffset = store->videoTSOffset;
  pic->restarted = mts_import::PartPictureBegins(store);
  pic->resumed = resumes;
  return true;
}

// Field pictures sent one PES per field (as remultiplexers write them) make
// one sample per frame, as the camera's own one PES per frame does: a PES
// that holds a single field waits for the next, which joins it when it is
// the frame's second field. Adds the waiting field with `pic` (*paired set)
// when `pic` is its second field, else on its own.
OSErr PairWaitingField(MTS_MovieImportGlobalsRecord* store, const MTS_VideoPicture& pic, bool singleField,
                       const mts_import::SlicePicture& first, Boolean isLast, int32_t* outSize, bool* paired) {
  *paired = false;
  if (!store->fieldWaiting) return noErr;
  OSErr err = noErr;
  if (singleField && mts_import::SecondFieldOf(store->waitingFieldSlice, first)) {
    *paired = true;
    store->fieldWaiting = 0;
    store->waitingField.secondSize = pic.size;
    store->waitingField.secondTsOffset = pic.tsOffset;
    *outSize = store->waitingField.size + pic.size;
    err = AddPicture(store, store->waitingField, isLast);
    if (err == noErr && isLast) err = FinishVideo(store, true);
    else if (err != noErr && isLast) FinishVideo(store, true);
    return err;
  }
  err = AddWaitingField(store, outSize);
  if (err != noErr && isLast) FinishVideo(store, true);
  return err;
}

// Adds `pic` as a sample and, after the last one, moves every sample still
// pending into the media; then its time code.
OSErr AddPictureSample(MTS_MovieImportGlobalsRecord* store, const MTS_VideoPicture& pic, Boolean isLast,
                       int32_t* outSize) {
  *outSize += pic.size;
  OSErr err = AddPicture(store, pic, isLast);
  if (err != noErr) {
    if (isLast) FinishVideo(store, true);
    return err;
  }
  if (isLast) {
    err = FinishVideo(store, false);
    if (err != noErr) return err;
  }
  const int32_t result = AddTimecode(store);
  if (isLast && store->isCamera && store->timecodeMedia) {
    MTS_FlushTCList(store);
    UpdateTimecodeEnd(store);
  }
  return static_cast<OSErr>(result);
}

} // namespace

OSErr MTS_add_video_sample(MTS_MovieImportGlobalsRecord* store, int32_t* outSize, Boolean isLast) {
  *outSize = 0;
  // No video track (the stream's video could not be used): nothing to add.
  if (!store->videoMedia || !store->videoSampleTable) return noErr;
  TSDemuxOutput* out = store->pTSInfo;

  // One pass over the access unit gives the sample size and where its first
  // and last slices start; the slice inspection then reads only the bytes
  // that decide the first slice's summary, not the whole picture.
  int32_t firstSlice = -1, lastSlice = -1;
  const int32_t size = mts_import::VideoSampleLength(out->pVideo, out->videoSize, &firstSlice, &lastSlice);
  bool resumes = false;
  OSErr err = FollowPictureSize(store, firstSlice, outSize, &resumes);
  if (err != noErr) return err;
  MTS_VideoPicture pic{};
  int32_t status = 0;
  if (!DescribePicture(store, firstSlice, size, resumes, &pic, &status)) {
    if (status != 0) MTS_LOG("[ERR]failed to AVCHDGetVideoStreamInfoLib. Slice.status=%d\n", status);
    if (!isLast) return noErr;
    err = AddWaitingField(store, outSize);
    return err != noErr ? err : FinishVideo(store, true);
  }
  if (resumes) {
    EndLeftOutVideo(store);
    mts_import::PartVideoResumesTrack(store);
  }

  mts_import::SlicePicture first{};
  const bool singleField =
      mts_import::SingleField(out->pVideo, out->videoSize, firstSlice, lastSlice, store->sliceLog2MaxFrameNum,
                              store->sliceFrameMbsOnly, store->sliceSeparateColourPlane, &first);
  bool paired = false;
  err = PairWaitingField(store, pic, singleField, first, isLast, outSize, &paired);
  if (err != noErr || paired) return err;

  if (pic.resumed) {
    err = CloseVideoRange(store, pic.bPTS ? pic.PTS : store->videoPTSEnd);
    if (err != noErr) return err;
  }
  err = StartPicture(store, pic);
  if (err != noErr) return err;
  if (singleField && !isLast) {
    store->fieldWaiting = 1;
    store->waitingField = pic;
    store->waitingFieldSlice = first;
    return static_cast<OSErr>(AddTimecode(store));
  }
  return AddPictureSample(store, pic, isLast, outSize);
}
