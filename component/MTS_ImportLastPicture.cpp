// Whether a recording whose last video PES ends without stuffing lost the
// tail of its last picture. The transport stream cannot tell: a PES that
// fills its last packet exactly ends as one cut at a packet's end does. The
// pictures can: the video from the intra picture before the last picture to
// the end of the file goes through the video decoder, which reports the
// macroblocks no slice covered. This runs once per import, and only for such
// an end; a recording whose last packet carries stuffing is never decoded.
#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"

namespace {

// The longest stretch of the file decoded (a stream with few intra pictures
// is not decoded: its last picture stays counted as cut).
constexpr int64_t kLongestStretch = int64_t(64) << 20;

// Calls of the decoder on one stretch at most (it answers each picture
// output, input used up or end of stream): a bound against a decoder that
// would never finish.
constexpr uint32_t kMostCalls = 1u << 20;

// The video of the file from `from` to its end, as one Annex B buffer of
// its PES one after the other (only the first PES with `onePes`); *lastStart
// is where the last PES begins in it. False when the file cannot be read or
// memory runs out.
bool ReadVideo(MTS_MovieImportGlobalsRecord* store, int64_t from, bool onePes, std::vector<uint8_t>* video,
               size_t* lastStart) {
  TSDemuxContext* demux = TSOpenDemuxLib();
  if (demux == nullptr) return false;
  TSDemuxFollowLib(demux, kTSStatusVideo);
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  bool ok = true;
  int64_t at = from;
  try {
    for (;;) {
      int32_t length = 0;
      if (out.status & kTSStatusNeedInput) {
        const int64_t left = store->fileSize - at;
        if (left <= 0) break;
        length = static_cast<int32_t>(left < kMTSChunkSize ? left : kMTSChunkSize);
        if (fseeko(store->fp, at, SEEK_SET) != 0 ||
            fread(store->pTSbuffer, 1, static_cast<size_t>(length), store->fp) != static_cast<size_t>(length)) {
          MTS_LOG("[ERR]failed to read %d bytes at ts_offset=%lld. errno=%d\n", length, static_cast<long long>(at),
                  errno);
          ok = false;
          break;
        }
        at += length;
      }
      TSDemuxStreamLib(store->pTSbuffer, length, &out, demux);
      if (out.status & kTSStatusVideo) {
        *lastStart = video->size();
        video->insert(video->end(), out.pVideo, out.pVideo + out.videoSize);
        if (onePes) break;
      }
    }
    // The last PES stays with the demultiplexer: no PES after it ended it.
    if (ok && !(onePes && !video->empty())) {
      *lastStart = video->size();
      video->insert(video->end(), out.pVideo, out.pVideo + out.videoSize);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  TSCloseDemuxLib(demux);
  return ok && video->size() > *lastStart;
}

// The sequence and picture parameter sets of the PES at `from` (the units
// before its first slice), for a stretch whose first picture carries none.
bool ReadParameterSets(MTS_MovieImportGlobalsRecord* store, int64_t from, std::vector<uint8_t>* sets) {
  std::vector<uint8_t> pes;
  size_t start = 0;
  if (!ReadVideo(store, from, true, &pes, &start)) return false;
  const uint8_t* au = pes.data();
  const int32_t length = static_cast<int32_t>(pes.size());
  for (int32_t i = mts_import::NextStartCode(au, 0, length); i >= 0 && i < length;) {
    const int32_t type = au[i + 3] & 0x1F;
    if (type == 1 || type == 5) break;
    const int32_t next = mts_import::NextStartCode(au, i + 4, length);
    const int32_t end = next >= 0 && next < length ? next : length;
    if (type == 7 || type == 8) sets->insert(sets->end(), au + i, au + end);
    i = end;
  }
  return !sets->empty();
}

// Decodes `length` bytes of `video` to their end; *damage receives what the
// decoder met. False when the decoder cannot be opened or stops on an error.
bool Decode(const uint8_t* video, uint32_t length, VideoDamage* damage) {
  VideoDecoderParams params{};
  if (AVCHDGetVideoDecoderInfoLib(&params, video, static_cast<int32_t>(length)) != 0) return false;
  params.outputFormat = 0;
  params.threads = 0;
  params.timeoutMs = 60000;
  params.flags = 0;
  VideoDecoder* decoder = AVCHDOpenVideoDecoderLib(&params);
  if (decoder == nullptr) return false;
  bool finished = false;
  try {
    std::vector<uint8_t> picture(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params)) + 64);
    // The deblocking filter changes no macroblock's coverage: it is left out.
    uint32_t status = AVCHDDecodeVideoStreamLib(decoder, picture.data(), video, length, 0, kDecodeNoDeblocking);
    int32_t end = 0;  // once the input is used up, every call gives the end of the stream
    for (uint32_t calls = 0; calls < kMostCalls && !(status & kStatusError); ++calls) {
      if (status & kStatusEndOfStream) {
        finished = true;
        break;
      }
      if (status & kStatusNeedInput) end = 1;
      status = AVCHDDecodeVideoStreamLib(decoder, picture.data(), nullptr, 0, end, kDecodeNoDeblocking);
    }
  } catch (const std::bad_alloc&) {
    finished = false;
  }
  *damage = VideoDamage{};
  AVCHDVideoDecoderGetDamageLib(decoder, damage);
  AVCHDCloseVideoDecoderLib(decoder);
  return finished;
}

// Whether `after` holds damage that `before` does not, by any counter of the
// damage record but two: `picturesLost`, which a stretch that begins at an I
// picture other than an IDR picture counts for its own start (the IDR
// picture of a stream joined on) and for the pictures shown before that I
// picture, which the stretch does not hold, so it tells nothing of the last
// picture; and `slicesRepaired`, slices whose header the stream's own rules
// put right, whose pictures decode whole as sent. A cut last picture shows
// as a slice dropped, macroblocks no slice covered or a field alone.
bool MoreDamage(const VideoDamage& after, const VideoDamage& before) {
  VideoDamage counted = after;
  counted.picturesLost = before.picturesLost;
  counted.slicesRepaired = before.slicesRepaired;
#define MTS_MORE_OF(name) counted.name > before.name ||
  return AVCHD_VIDEO_DAMAGE_COUNTERS(MTS_MORE_OF) false;
#undef MTS_MORE_OF
}

}  // namespace

bool mts_import::LastPictureWhole(MTS_MovieImportGlobalsRecord* store, bool hasPTS, int64_t lastPTS) {
  if (store->intraCount == 0 || store->fp == nullptr || store->pTSbuffer == nullptr) return false;
  // A decoder that starts at an intra picture leaves out the pictures
  // displayed before it (they refer to pictures before it): a last picture
  // displayed before the last intra picture is decoded from the one before.
  int which = 0;
  if (hasPTS && lastPTS < store->intraPTS[0]) {
    if (store->intraCount < 2) return false;
    which = 1;
  }
  const int64_t from = store->intraTSOffsets[which];
  if (store->fileSize - from > kLongestStretch) return false;
  std::vector<uint8_t> video;
  size_t lastStart = 0;
  // The parameter sets in force come first (sent again, they change
  // nothing where the stretch carries them too).
  if (store->setsTSOffset >= 0 && store->setsTSOffset != from &&
      !ReadParameterSets(store, store->setsTSOffset, &video))
    return false;
  const size_t sets = video.size();
  if (!ReadVideo(store, from, false, &video, &lastStart)) return false;
  lastStart += sets;
  VideoDamage all{};
  if (!Decode(video.data(), static_cast<uint32_t>(video.size()), &all)) return false;
  if (!MoreDamage(all, VideoDamage{})) return true;
  // Damage before the last picture is not its own: the stretch is decoded
  // again without it.
  VideoDamage before{};
  if (!Decode(video.data(), static_cast<uint32_t>(lastStart), &before)) return false;
  return !MoreDamage(all, before);
}
