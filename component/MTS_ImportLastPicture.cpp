// Whether a recording whose last video PES ends without stuffing lost the
// tail of its last picture. The transport stream cannot tell: a PES that
// fills its last packet exactly ends as one cut at a packet's end does. The
// pictures can: the video from the intra picture before the last picture to
// the end of the file goes through the video decoder, which reports the
// macroblocks no slice covered. This runs once per import, and only for such
// an end; a recording whose last packet carries stuffing is never decoded.
//
// The stretch is decoded once, PES by PES as it is read, so that only one
// PES and the decoder's own pictures are held: the damage met before the
// last PES is taken when every PES before it is decoded, and compared with
// the damage met at the end.
#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "MTS_Log.h"
#include "MTS_MovieImport.h"

namespace {

// The longest stretch of the file decoded, and the most pictures (samples of
// the track) in it: past either the end is not checked.
constexpr int64_t kLongestStretch = int64_t(64) << 20;
constexpr int32_t kMostPictures = 64;

// Calls of the decoder per input at most (it answers each picture output,
// input used up or end of stream): a bound against a decoder that would
// never finish.
constexpr uint32_t kMostCalls = 1u << 20;

// Worker threads of the decoder: one, so that it holds the buffers of one
// worker (the stretch is short; more workers gain little on it).
constexpr uint8_t kThreads = 1;

// The video PES of the file from `from` to its end, one at a time: `take`
// gets each (its bytes valid during the call, its PTS when it has one) and
// `last` set for the one the file ends inside; it answers false to stop.
// Reads with the importer's file handle and read buffer, moving the one and
// overwriting the other: this runs at the end of the file, when the import
// step has used up its chunk (the buffer holds nothing it still needs) and
// seeks again before any further read. False when the file cannot be read
// or `take` stopped.
template <class Take>
bool ReadVideoPes(MTS_MovieImportGlobalsRecord* store, int64_t from, Take take) {
  TSDemuxContext* demux = TSOpenDemuxLib();
  if (demux == nullptr) return false;
  TSDemuxFollowLib(demux, kTSStatusVideo);
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  bool ok = true;
  int64_t at = from;
  for (;;) {
    int32_t length = 0;
    if (out.status & kTSStatusNeedInput) {
      const int64_t left = store->fileSize - at;
      if (left <= 0) break;
      length = static_cast<int32_t>(left < kMTSChunkSize ? left : kMTSChunkSize);
      // The file position and pTSbuffer are the import step's: see above.
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
    if ((out.status & kTSStatusVideo) && !take(out.pVideo, out.videoSize, false, out.bPTS != 0, out.PTS)) {
      ok = false;
      break;
    }
  }
  // The last PES stays with the demultiplexer: no PES after it ended it.
  if (ok && !take(out.pVideo, out.videoSize, true, false, 0)) ok = false;
  TSCloseDemuxLib(demux);
  return ok;
}

// The sequence and picture parameter sets of the PES at `from` (the units
// before its first slice), for a stretch whose first picture carries none.
bool ReadParameterSets(MTS_MovieImportGlobalsRecord* store, int64_t from, std::vector<uint8_t>* sets) {
  bool read = false;
  auto take = [&](const uint8_t* au, int32_t length, bool, bool, int64_t) {
    if (read || length <= 0) return true;
    read = true;
    for (int32_t i = mts_import::NextStartCode(au, 0, length); i >= 0 && i < length;) {
      const int32_t type = au[i + 3] & 0x1F;
      if (type == 1 || type == 5) break;
      const int32_t next = mts_import::NextStartCode(au, i + 4, length);
      const int32_t end = next >= 0 && next < length ? next : length;
      if (type == 7 || type == 8) sets->insert(sets->end(), au + i, au + end);
      i = end;
    }
    return false;  // one PES is enough
  };
  ReadVideoPes(store, from, take);
  return !sets->empty();
}

// A decoder that takes the stretch one PES at a time.
class StretchDecoder {
 public:
  ~StretchDecoder() {
    if (decoder_ != nullptr) AVCHDCloseVideoDecoderLib(decoder_);
  }

  // Opens the decoder for the first sequence parameter set in `data`. A
  // decoder that the parameters read allow and that still does not open
  // lacked memory (or the threads the system gives): `outOfMemory` says so.
  bool Open(const uint8_t* data, int32_t length) {
    VideoDecoderParams params{};
    if (AVCHDGetVideoDecoderInfoLib(&params, data, length) != 0) return false;
    params.outputFormat = 0;
    params.threads = kThreads;
    params.timeoutMs = 60000;
    params.flags = 0;
    picture_.resize(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params)) + 64);
    decoder_ = AVCHDOpenVideoDecoderLib(&params);
    outOfMemory_ = decoder_ == nullptr;
    return decoder_ != nullptr;
  }

  bool outOfMemory() const { return outOfMemory_; }

  // Decodes `length` bytes until they are used up, or with `end` to the end
  // of the stream. False when the decoder stops on an error (`outOfMemory`
  // when memory ran out) or never finishes.
  bool Feed(const uint8_t* data, uint32_t length, bool end) {
    // The deblocking filter changes no macroblock's coverage: it is left out.
    uint32_t status = AVCHDDecodeVideoStreamLib(decoder_, picture_.data(), data, length, 0, kDecodeNoDeblocking);
    int32_t ending = 0;  // once the input is used up, every call gives the end of the stream
    for (uint32_t calls = 0; calls < kMostCalls && !(status & kStatusError); ++calls) {
      if (status & kStatusEndOfStream) return end;
      if (status & kStatusNeedInput) {
        if (!end) return true;
        ending = 1;
      }
      status = AVCHDDecodeVideoStreamLib(decoder_, picture_.data(), nullptr, 0, ending, kDecodeNoDeblocking);
    }
    if ((status & kStatusError) && AVCHDVideoDecoderGetErrorCodeLib(decoder_) == kVideoErrorNoMemory)
      outOfMemory_ = true;
    return false;
  }

  VideoDamage Damage() {
    VideoDamage damage{};
    AVCHDVideoDecoderGetDamageLib(decoder_, &damage);
    return damage;
  }

 private:
  VideoDecoder* decoder_ = nullptr;
  std::vector<uint8_t> picture_;
  bool outOfMemory_ = false;
};

// Whether 33-bit time stamp `a` lies before `b` (by less than half the
// time stamps' range).
bool ModularBefore(int64_t a, int64_t b) {
  constexpr int64_t kRange = int64_t(1) << 33;
  const int64_t d = ((a - b) % kRange + kRange) % kRange;
  return d >= kRange / 2;
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

mts_import::LastPicture DecodeStretch(MTS_MovieImportGlobalsRecord* store, int64_t from);

}  // namespace

mts_import::LastPicture mts_import::CheckLastPicture(MTS_MovieImportGlobalsRecord* store, bool hasPTS,
                                                     int64_t lastPTS) {
  if (store->intraCount == 0 || store->fp == nullptr || store->pTSbuffer == nullptr) return LastPicture::kCut;
  // A decoder that starts at an intra picture leaves out the pictures
  // displayed before it (they refer to pictures before it): a last picture
  // displayed before the last intra picture is decoded from the one before.
  int which = 0;
  if (hasPTS && lastPTS < store->intraPTS[0]) {
    if (store->intraCount < 2) return LastPicture::kCut;
    which = 1;
  }
  const int64_t from = store->intraTSOffsets[which];
  if (store->fileSize - from > kLongestStretch || store->intraSamples[which] > kMostPictures)
    return LastPicture::kUnchecked;
  try {
    return DecodeStretch(store, from);
  } catch (const std::bad_alloc&) {
    return LastPicture::kNoMemory;
  }
}

namespace {

// Decodes the stretch from `from` to the end of the file (see above).
mts_import::LastPicture DecodeStretch(MTS_MovieImportGlobalsRecord* store, int64_t from) {
  using mts_import::LastPicture;
  StretchDecoder decoder;
  bool opened = false;
  // The parameter sets in force come first (sent again, they change
  // nothing where the stretch carries them too).
  if (store->setsTSOffset >= 0 && store->setsTSOffset != from) {
    std::vector<uint8_t> sets;
    if (!ReadParameterSets(store, store->setsTSOffset, &sets)) return LastPicture::kCut;
    const uint32_t length = static_cast<uint32_t>(sets.size());
    if (!decoder.Open(sets.data(), static_cast<int32_t>(length)) || !decoder.Feed(sets.data(), length, false))
      return decoder.outOfMemory() ? LastPicture::kNoMemory : LastPicture::kCut;
    opened = true;
  }
  int32_t pictures = 0;
  bool failed = false, tooMany = false;
  bool started = false;
  int64_t startPTS = 0;
  VideoDamage before{}, all{};
  auto take = [&](const uint8_t* pes, int32_t length, bool last, bool hasPTS, int64_t pts) {
    if (last && length <= 0) {
      failed = true;  // the file's last PES is not where the import found it
      return false;
    }
    // A picture may come as two PES, one per field.
    if (!last && ++pictures > 2 * kMostPictures) {
      tooMany = true;
      return false;
    }
    // The pictures displayed before the intra picture that the stretch
    // starts with refer to pictures before it: a decoder would count them
    // damaged, and they are not given to it.
    if (!started) {
      started = true;
      startPTS = hasPTS ? pts : -1;
    } else if (!last && hasPTS && startPTS >= 0 && ModularBefore(pts, startPTS)) {
      return true;
    }
    if (!opened && !(opened = decoder.Open(pes, length))) {
      failed = true;
      return false;
    }
    // Damage before the last picture is not its own. Pictures given before
    // may still be in the decoder's workers: damage found in them later
    // counts as the last picture's (the import then tells of one damaged
    // picture more in a recording already damaged; a whole stretch meets
    // none).
    if (last) before = decoder.Damage();
    if (!decoder.Feed(pes, static_cast<uint32_t>(length), last)) {
      failed = true;
      return false;
    }
    if (last) all = decoder.Damage();
    return true;
  };
  const bool read = ReadVideoPes(store, from, take);
  if (decoder.outOfMemory()) return LastPicture::kNoMemory;
  if (tooMany) return LastPicture::kUnchecked;
  if (!read || failed) return LastPicture::kCut;
  return MoreDamage(all, before) ? LastPicture::kCut : LastPicture::kWhole;
}

}  // namespace
