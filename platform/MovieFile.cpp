#include "MovieFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "DataHandler.h"
#include "ImageCompression.h"
#include "MacMemory.h"
#include "MovieInternal.h"
#include "Sound.h"
#include "TimeCode.h"

namespace {

// Big-endian atom writer over a growing byte vector.
class Atoms {
 public:
  std::vector<UInt8> bytes;
  void u8(UInt32 v) { bytes.push_back(UInt8(v)); }
  void u16(UInt32 v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(UInt32 v) {
    u16(v >> 16);
    u16(v);
  }
  void u64(UInt64 v) {
    u32(UInt32(v >> 32));
    u32(UInt32(v));
  }
  void zeros(size_t n) { bytes.insert(bytes.end(), n, 0); }
  void raw(const UInt8* p, size_t n) { bytes.insert(bytes.end(), p, p + n); }
  size_t begin(OSType type) {
    size_t at = bytes.size();
    u32(0);
    u32(type);
    return at;
  }
  size_t begin_full(OSType type, UInt32 version, UInt32 flags) {
    size_t at = begin(type);
    u32((version << 24) | flags);
    return at;
  }
  void end(size_t at) { put_be32(bytes.data() + at, UInt32(bytes.size() - at)); }
  void matrix() {
    const UInt32 m[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (UInt32 v : m) u32(v);
  }
  // Creation and modification dates (0), a 32-bit field (time scale or
  // track id, then a reserved word for a track), and a duration; 64-bit
  // dates and duration in version 1 atoms.
  void dates_and_duration(bool wideTimes, UInt32 field, bool reservedAfterField, UInt64 duration) {
    if (wideTimes) {
      u64(0);
      u64(0);
    } else {
      u32(0);
      u32(0);
    }
    u32(field);
    if (reservedAfterField) u32(0);
    if (wideTimes)
      u64(duration);
    else
      u32(UInt32(duration));
  }
  void pascal(const char* text) {
    size_t n = std::strlen(text);
    u8(UInt32(n));
    raw(reinterpret_cast<const UInt8*>(text), n);
  }
};

// Copies host-order fields as big-endian: widths 2, 4 or 8 swap, negative
// widths copy that many bytes as they are.
size_t swap_fields(const UInt8* src, size_t size, std::initializer_list<int> widths, std::vector<UInt8>* out) {
  size_t at = 0;
  for (int w : widths) {
    size_t n = size_t(w < 0 ? -w : w);
    if (at + n > size) break;
    for (size_t i = 0; i < n; ++i) out->push_back(w < 0 ? src[at + i] : src[at + n - 1 - i]);
    at += n;
  }
  return at;
}

// A sample description in file byte order, with data reference index 1.
std::vector<UInt8> file_description(OSType mediaType, const std::vector<UInt8>& d) {
  std::vector<UInt8> out;
  size_t done = swap_fields(d.data(), d.size(), {4, 4, 4, 2, 2}, &out);
  if (out.size() == 16) {
    out[14] = 0;
    out[15] = 1;
  }
  if (mediaType == VideoMediaType && d.size() >= sizeof(ImageDescription)) {
    done += swap_fields(d.data() + done, d.size() - done, {2, 2, 4, 4, 4, 2, 2, 4, 4, 4, 2, -32, 2, 2}, &out);
  } else if (mediaType == SoundMediaType && d.size() >= sizeof(SoundDescription)) {
    SInt16 version;
    std::memcpy(&version, d.data() + 16, 2);
    if (version == 2 && d.size() >= sizeof(SoundDescriptionV2))
      done += swap_fields(d.data() + done, d.size() - done, {2, 2, 4, 2, 2, 2, 2, 4, 4, 8, 4, 4, 4, 4, 4, 4}, &out);
    else if (version == 1 && d.size() >= 52)
      done += swap_fields(d.data() + done, d.size() - done, {2, 2, 4, 2, 2, 2, 2, 4, 4, 4, 4, 4}, &out);
    else
      done += swap_fields(d.data() + done, d.size() - done, {2, 2, 4, 2, 2, 2, 2, 4}, &out);
  } else if (mediaType == TimeCodeMediaType && d.size() >= sizeof(TimeCodeDescription)) {
    done += swap_fields(d.data() + done, d.size() - done, {4, 4, 4, 4, -1, -1, 4}, &out);
  }
  out.insert(out.end(), d.begin() + long(done), d.end());  // extension atoms are big-endian already
  put_be32(out.data(), UInt32(out.size()));
  return out;
}

struct Chunk {
  UInt64 offset;
  UInt32 samples;
  SInt32 description;
};

struct Run {
  UInt32 count;
  SInt64 value;
};

void add_run(std::vector<Run>& runs, UInt32 count, SInt64 value) {
  if (!runs.empty() && runs.back().value == value)
    runs.back().count += count;
  else
    runs.push_back({count, value});
}

// A stretch of sound written for a track whose edits are played out: `frames`
// sample frames of sample reference `sample` from its frame `first` on, or
// silence (`sample` -1), in the description `description`, `frameBytes`
// bytes a sample frame.
struct Piece {
  SInt64 sample;
  SInt64 first;
  SInt64 frames;
  SInt64 frameBytes;
  SInt32 description;
};

// What the sample table of one media needs, gathered while its data is written.
struct TrackLayout {
  TrackRecord* track;
  std::vector<Chunk> chunks;
  std::vector<Run> durations, offsets, sizes;
  std::vector<std::pair<UInt32, UInt32>> syncRuns;  // first sample number, count
  UInt32 sampleCount = 0;
  bool allSync = true;
  bool negativeOffset = false;
  bool anyOffset = false;
  // The edit list written: the track's own, or the single edit (after any
  // empty edit at the start) of a track whose media is written as it plays.
  std::vector<EditRecord> edits;
  // Sound written as it plays (empty: every sample reference as it is).
  std::vector<Piece> pieces;
  // Samples held on past their own duration, to fill the time of an empty
  // edit that followed them: sample index and added duration, in order.
  std::vector<std::pair<size_t, TimeValue64>> held;
};

// The file a movie is written to, and the system's error code of the first
// write that failed (0 while none has).
struct Output {
  FILE* f;
  int error = 0;
};

OSErr write_all(Output& out, const void* p, size_t n) {
  if (std::fwrite(p, 1, n, out.f) == n) return noErr;
  if (out.error == 0) out.error = errno != 0 ? errno : EIO;
  return ioErr;
}

// Adds one sample reference, stored at `position` in the file, to the
// layout. A reference of several samples whose size divides evenly is that
// many samples (sound frames); otherwise it is one sample.
OSErr note_sample(TrackLayout* layout, const MediaSampleReference& s, UInt64 position) try {
  bool split = s.count > 1 && s.dataSize % s.count == 0;
  UInt32 n = split ? UInt32(s.count) : 1;
  SInt64 size = split ? s.dataSize / s.count : s.dataSize;
  SInt64 duration = split ? s.durationPerSample : s.durationPerSample * s.count;
  layout->chunks.push_back({position, n, s.descriptionIndex});
  add_run(layout->durations, n, duration);
  add_run(layout->offsets, n, s.displayOffset);
  add_run(layout->sizes, n, size);
  layout->anyOffset |= s.displayOffset != 0;
  layout->negativeOffset |= s.displayOffset < 0;
  if ((s.flags & mediaSampleNotSync) == 0)
    layout->syncRuns.push_back({layout->sampleCount + 1, n});
  else
    layout->allSync = false;
  layout->sampleCount += n;
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

// Sound written as its edits play it, sample frame by sample frame, with
// silence for an empty edit; the media before the first edit is kept, as a
// single edit keeps it, and what the edits leave out after it is not.
bool plan_sound(TrackLayout* t, size_t from, TimeScale movieScale) try {
  const MediaRecord& m = *t->track->media;
  std::vector<SInt64> starts;  // each reference's first sample frame
  starts.reserve(m.samples.size() + 1);
  SInt64 at = 0;
  for (const MediaSampleReference& s : m.samples) {
    if (s.count < 1 || s.durationPerSample != 1 || s.dataSize % s.count != 0) return false;
    starts.push_back(at);
    at += s.count;
  }
  starts.push_back(at);
  SInt32 description = m.samples.front().descriptionIndex;
  SInt64 frameBytes = m.samples.front().dataSize / m.samples.front().count;
  SInt64 chunk = 1024;  // sample frames of silence a chunk
  SInt64 written = 0;
  auto play = [&](SInt64 begin, SInt64 end) {
    end = std::min(end, at);
    if (begin >= end) return;
    size_t i = size_t(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
    for (; begin < end; ++i) {
      const SInt64 first = begin - starts[i], frames = std::min(end, starts[i + 1]) - begin;
      frameBytes = m.samples[i].dataSize / m.samples[i].count;
      description = m.samples[i].descriptionIndex;
      t->pieces.push_back({SInt64(i), first, frames, frameBytes, description});
      chunk = std::max(chunk, m.samples[i].count);
      begin += frames;
      written += frames;
    }
  };
  EditRecord whole{0, -1, fixed1, 0};
  for (size_t k = from; k < t->track->edits.size(); ++k) {
    const EditRecord& e = t->track->edits[k];
    if (e.mediaTime >= 0) {
      if (e.rate != fixed1) return false;
      if (whole.mediaTime < 0) {
        whole.mediaTime = e.mediaTime;
        play(0, e.mediaTime);
      }
      play(e.mediaTime, e.mediaTime + e.mediaDuration);
    } else if (whole.mediaTime >= 0) {
      for (SInt64 left = rescale_time(e.trackDuration, movieScale, m.timeScale); left > 0; left -= chunk) {
        t->pieces.push_back({-1, 0, std::min(left, chunk), frameBytes, description});
        written += std::min(left, chunk);
      }
    }
    whole.trackDuration += e.trackDuration;
  }
  whole.mediaDuration = written - std::max<TimeValue64>(whole.mediaTime, 0);
  t->edits.resize(from);
  t->edits.push_back(whole);
  return true;
} catch (const std::exception&) {
  return false;
}

// Every sample kept, the last one decoded before an empty edit lasting on
// to the next edit's start (the picture shown then stays): possible where
// the next edit's media follows on from the edit before it, and the samples
// decoded before it all show before it.
bool plan_held(TrackLayout* t, size_t from, TimeScale movieScale) try {
  const MediaRecord& m = *t->track->media;
  const std::vector<EditRecord>& edits = t->track->edits;
  // Display times, and the latest before and earliest from each sample on
  // in decoding order.
  const size_t n = m.samples.size();
  std::vector<TimeValue64> latest(n), earliest(n);
  TimeValue64 decode = 0;
  for (size_t i = 0; i < n; ++i) {
    const MediaSampleReference& s = m.samples[i];
    latest[i] = decode + s.displayOffset;
    if (i > 0) latest[i] = std::max(latest[i], latest[i - 1]);
    earliest[i] = decode + s.displayOffset;
    decode += s.durationPerSample * s.count;
  }
  for (size_t i = n - 1; i-- > 0;) earliest[i] = std::min(earliest[i], earliest[i + 1]);
  EditRecord whole{0, -1, fixed1, 0};
  const EditRecord* last = nullptr;
  TimeValue64 empty = 0;  // of the empty edits since the last one with media
  for (size_t k = from; k < edits.size(); ++k) {
    const EditRecord& e = edits[k];
    whole.trackDuration += e.trackDuration;
    if (e.mediaTime < 0) {
      if (last) empty += e.trackDuration;
      continue;
    }
    if (e.rate != fixed1) return false;
    whole.mediaDuration += e.mediaDuration;
    if (!last) {
      whole.mediaTime = e.mediaTime;
      last = &e;
      continue;
    }
    if (last->mediaTime + last->mediaDuration != e.mediaTime) return false;
    const TimeValue64 hold = rescale_time(empty, movieScale, m.timeScale);
    if (hold > 0) {
      // The first sample from which every sample decoded shows at or after
      // the edit's start, every one before it before.
      size_t j = 1;
      while (j < n && !(latest[j - 1] < e.mediaTime && earliest[j] >= e.mediaTime)) ++j;
      if (j >= n || m.samples[j - 1].count != 1) return false;
      if (!t->held.empty() && t->held.back().first == j - 1)
        t->held.back().second += hold;
      else
        t->held.push_back({j - 1, hold});
      whole.mediaDuration += hold;
    }
    last = &e;
    empty = 0;
  }
  // Empty time that ends the track: the last picture stays shown to its end.
  const TimeValue64 tail = rescale_time(empty, movieScale, m.timeScale);
  if (tail > 0) {
    if (m.samples[n - 1].count != 1) return false;
    if (!t->held.empty() && t->held.back().first == n - 1)
      t->held.back().second += tail;
    else
      t->held.push_back({n - 1, tail});
    whole.mediaDuration += tail;
  }
  t->edits.resize(from);
  t->edits.push_back(whole);
  return true;
} catch (const std::exception&) {
  return false;
}

// Plans a track whose edits, after those empty at its start, are more than
// one, so that the saved track plays as the movie does with one edit: other
// readers (ffmpeg among them) send the samples of a chunk again for every
// edit that starts inside it, and play the media's start in an empty edit
// that follows another. A track whose edits cannot be so written (a rate
// other than 1, pictures whose media does not follow on) keeps them.
void plan_track(TrackLayout* t, TimeScale movieScale) {
  t->edits = t->track->edits;
  const MediaRecord& m = *t->track->media;
  size_t from = 0;
  while (from < t->edits.size() && t->edits[from].mediaTime < 0) ++from;
  if (t->edits.size() - from < 2 || m.samples.empty()) return;
  if (m.mediaType == SoundMediaType ? !plan_sound(t, from, movieScale) : !plan_held(t, from, movieScale)) {
    t->pieces.clear();
    t->held.clear();
    t->edits = t->track->edits;
  }
}

// Reads every sample reference of the track's media through its data
// handler and appends the bytes to the file: as they are, or the pieces of
// sound planned. Without a file (`out` null) only the layout is made, from
// the references alone, and nothing is read.
OSErr write_media_data(Output* out, UInt64* position, TrackLayout* layout) {
  MediaRecord* m = layout->track->media.get();
  if (m->samples.empty()) return noErr;
  ComponentInstance dh = nullptr;
  OSErr err = out ? open_media_data_handler(m, &dh) : OSErr(noErr);
  if (err != noErr) return err;
  std::vector<char> buffer;
  if (!layout->pieces.empty()) {
    SInt64 read = -1;  // the reference in `buffer`
    for (const Piece& p : layout->pieces) {
      const MediaSampleReference* s = p.sample >= 0 && out ? &m->samples[size_t(p.sample)] : nullptr;
      MediaSampleReference piece{0, p.frames * p.frameBytes, p.frames, 1, 0, 0, p.description};
      const char* bytes = nullptr;
      if (s) {
        if (read != p.sample) err = read_sample_reference(dh, *s, &buffer);
        read = err == noErr ? p.sample : -1;
        bytes = buffer.data() + p.first * p.frameBytes;
      }
      if (err == noErr) err = note_sample(layout, piece, *position);
      if (err == noErr && bytes) err = write_all(*out, bytes, size_t(piece.dataSize));
      for (SInt64 left = bytes || !out ? 0 : piece.dataSize; err == noErr && left > 0;) {
        static const char kSilence[4096] = {};
        const size_t n = size_t(std::min<SInt64>(left, sizeof kSilence));
        err = write_all(*out, kSilence, n);
        left -= SInt64(n);
      }
      if (err != noErr) break;
      *position += UInt64(piece.dataSize);
    }
    if (dh) CloseComponent(dh);
    return err;
  }
  auto held = layout->held.begin();
  for (size_t i = 0; i < m->samples.size(); ++i) {
    MediaSampleReference s = m->samples[i];
    if (out) err = read_sample_reference(dh, s, &buffer);
    if (held != layout->held.end() && held->first == i) s.durationPerSample += (held++)->second;
    if (err == noErr) err = note_sample(layout, s, *position);
    if (err == noErr && out) err = write_all(*out, buffer.data(), size_t(s.dataSize));
    if (err != noErr) break;
    *position += UInt64(s.dataSize);
  }
  if (dh) CloseComponent(dh);
  return err;
}

void write_sample_table(Atoms& a, const TrackLayout& t) {
  const MediaRecord& m = *t.track->media;
  size_t stbl = a.begin(FOUR_CHAR_CODE("stbl"));

  size_t stsd = a.begin_full(FOUR_CHAR_CODE("stsd"), 0, 0);
  a.u32(UInt32(m.descriptions.size()));
  for (const std::vector<UInt8>& d : m.descriptions) {
    std::vector<UInt8> fd = file_description(m.mediaType, d);
    a.raw(fd.data(), fd.size());
  }
  a.end(stsd);

  size_t stts = a.begin_full(FOUR_CHAR_CODE("stts"), 0, 0);
  a.u32(UInt32(t.durations.size()));
  for (const Run& r : t.durations) {
    a.u32(r.count);
    a.u32(UInt32(r.value));
  }
  a.end(stts);

  if (t.anyOffset) {
    size_t ctts = a.begin_full(FOUR_CHAR_CODE("ctts"), t.negativeOffset ? 1 : 0, 0);
    a.u32(UInt32(t.offsets.size()));
    for (const Run& r : t.offsets) {
      a.u32(r.count);
      a.u32(UInt32(SInt32(r.value)));
    }
    a.end(ctts);
  }

  if (!t.allSync) {
    size_t stss = a.begin_full(FOUR_CHAR_CODE("stss"), 0, 0);
    UInt32 total = 0;
    for (auto& r : t.syncRuns) total += r.second;
    a.u32(total);
    for (auto& r : t.syncRuns)
      for (UInt32 i = 0; i < r.second; ++i) a.u32(r.first + i);
    a.end(stss);
  }

  size_t stsc = a.begin_full(FOUR_CHAR_CODE("stsc"), 0, 0);
  std::vector<std::pair<UInt32, const Chunk*>> firsts;
  for (size_t i = 0; i < t.chunks.size(); ++i) {
    const Chunk& c = t.chunks[i];
    if (firsts.empty() || firsts.back().second->samples != c.samples ||
        firsts.back().second->description != c.description)
      firsts.push_back({UInt32(i + 1), &c});
  }
  a.u32(UInt32(firsts.size()));
  for (auto& f : firsts) {
    a.u32(f.first);
    a.u32(f.second->samples);
    a.u32(UInt32(f.second->description));
  }
  a.end(stsc);

  size_t stsz = a.begin_full(FOUR_CHAR_CODE("stsz"), 0, 0);
  if (t.sizes.size() == 1) {
    a.u32(UInt32(t.sizes[0].value));
    a.u32(t.sampleCount);
  } else {
    a.u32(0);
    a.u32(t.sampleCount);
    for (const Run& r : t.sizes)
      for (UInt32 i = 0; i < r.count; ++i) a.u32(UInt32(r.value));
  }
  a.end(stsz);

  bool large = !t.chunks.empty() && t.chunks.back().offset > 0xFFFFFFFFull;
  size_t stco = a.begin_full(large ? FOUR_CHAR_CODE("co64") : FOUR_CHAR_CODE("stco"), 0, 0);
  a.u32(UInt32(t.chunks.size()));
  for (const Chunk& c : t.chunks) {
    if (large)
      a.u64(c.offset);
    else
      a.u32(UInt32(c.offset));
  }
  a.end(stco);
  a.end(stbl);
}

void write_media_header(Atoms& a, OSType type) {
  if (type == VideoMediaType) {
    size_t vmhd = a.begin_full(FOUR_CHAR_CODE("vmhd"), 0, 1);
    a.u16(0x40);  // graphics mode: dither copy
    a.u16(0x8000);
    a.u16(0x8000);
    a.u16(0x8000);
    a.end(vmhd);
  } else if (type == SoundMediaType) {
    size_t smhd = a.begin_full(FOUR_CHAR_CODE("smhd"), 0, 0);
    a.u16(0);  // balance
    a.u16(0);
    a.end(smhd);
  } else {
    size_t gmhd = a.begin(FOUR_CHAR_CODE("gmhd"));
    size_t gmin = a.begin_full(FOUR_CHAR_CODE("gmin"), 0, 0);
    a.u16(0x40);
    a.u16(0x8000);
    a.u16(0x8000);
    a.u16(0x8000);
    a.u16(0);
    a.u16(0);
    a.end(gmin);
    if (type == TimeCodeMediaType) {
      size_t tmcd = a.begin(FOUR_CHAR_CODE("tmcd"));
      size_t tcmi = a.begin_full(FOUR_CHAR_CODE("tcmi"), 0, 0);
      a.u16(0);   // font
      a.u16(0);   // face
      a.u16(12);  // size
      a.u16(0);
      a.zeros(6);  // text colour: black
      a.u16(0xFFFF);
      a.u16(0xFFFF);
      a.u16(0xFFFF);  // background: white
      a.pascal("");
      a.end(tcmi);
      a.end(tmcd);
    }
    a.end(gmhd);
  }
}

void write_handler(Atoms& a, OSType componentType, OSType subType, const char* name) {
  size_t hdlr = a.begin_full(FOUR_CHAR_CODE("hdlr"), 0, 0);
  a.u32(componentType);
  a.u32(subType);
  a.u32(0);
  a.u32(0);
  a.u32(0);
  a.pascal(name);
  a.end(hdlr);
}

const char* handler_name(OSType type) {
  if (type == VideoMediaType) return "VideoHandler";
  if (type == SoundMediaType) return "SoundHandler";
  if (type == TimeCodeMediaType) return "TimeCodeHandler";
  return "GenericHandler";
}

void write_track(Atoms& a, const TrackLayout& t, SInt32 timecodeTrackID) {
  const TrackRecord& track = *t.track;
  const MediaRecord& m = *track.media;
  TimeValue64 length = 0;
  for (const EditRecord& e : t.edits) length += e.trackDuration;
  // A media written as it plays lasts as long as the samples written.
  TimeValue64 mediaLength = m.decodeDuration;
  if (!t.pieces.empty() || !t.held.empty()) {
    mediaLength = 0;
    for (const Run& r : t.durations) mediaLength += TimeValue64(r.count) * r.value;
  }
  bool wideTimes = length > 0xFFFFFFFFll || mediaLength > 0xFFFFFFFFll;

  size_t trak = a.begin(FOUR_CHAR_CODE("trak"));
  size_t tkhd = a.begin_full(FOUR_CHAR_CODE("tkhd"), wideTimes ? 1 : 0, (track.enabled ? 1 : 0) | 2 | 4);
  a.dates_and_duration(wideTimes, UInt32(track.id), true, UInt64(length));
  a.zeros(8);
  a.u16(0);  // layer
  a.u16(0);  // alternate group
  a.u16(m.mediaType == SoundMediaType ? UInt16(track.volume) : 0);
  a.u16(0);
  a.matrix();
  a.u32(UInt32(track.width));
  a.u32(UInt32(track.height));
  a.end(tkhd);

  if (m.mediaType == VideoMediaType && timecodeTrackID != 0) {
    size_t tref = a.begin(FOUR_CHAR_CODE("tref"));
    size_t tmcd = a.begin(FOUR_CHAR_CODE("tmcd"));
    a.u32(UInt32(timecodeTrackID));
    a.end(tmcd);
    a.end(tref);
  }

  if (!t.edits.empty()) {
    size_t edts = a.begin(FOUR_CHAR_CODE("edts"));
    size_t elst = a.begin_full(FOUR_CHAR_CODE("elst"), wideTimes ? 1 : 0, 0);
    a.u32(UInt32(t.edits.size()));
    for (const EditRecord& e : t.edits) {
      if (wideTimes) {
        a.u64(UInt64(e.trackDuration));
        a.u64(UInt64(e.mediaTime));
      } else {
        a.u32(UInt32(e.trackDuration));
        a.u32(UInt32(SInt32(e.mediaTime)));
      }
      a.u32(UInt32(e.rate));
    }
    a.end(elst);
    a.end(edts);
  }

  size_t mdia = a.begin(FOUR_CHAR_CODE("mdia"));
  size_t mdhd = a.begin_full(FOUR_CHAR_CODE("mdhd"), wideTimes ? 1 : 0, 0);
  a.dates_and_duration(wideTimes, UInt32(m.timeScale), false, UInt64(mediaLength));
  a.u16(0);  // language
  a.u16(0);  // quality
  a.end(mdhd);
  write_handler(a, FOUR_CHAR_CODE("mhlr"), m.mediaType, handler_name(m.mediaType));
  size_t minf = a.begin(FOUR_CHAR_CODE("minf"));
  write_media_header(a, m.mediaType);
  write_handler(a, FOUR_CHAR_CODE("dhlr"), FOUR_CHAR_CODE("alis"), "DataHandler");
  size_t dinf = a.begin(FOUR_CHAR_CODE("dinf"));
  size_t dref = a.begin_full(FOUR_CHAR_CODE("dref"), 0, 0);
  a.u32(1);
  size_t alis = a.begin_full(FOUR_CHAR_CODE("alis"), 0, 1);  // the data is in this file
  a.end(alis);
  a.end(dref);
  a.end(dinf);
  write_sample_table(a, t);
  a.end(minf);
  a.end(mdia);
  a.end(trak);
}

// The reverse-DNS key under which a movie file holds a metadata item of the
// QuickTime storage format: a text key as it is, a common key by its name;
// empty for a common key that has none here.
std::string metadata_key(const MetaDataItemRecord& item) {
  if (item.keyFormat == kQTMetaDataKeyFormatQuickTime) return std::string(item.key.begin(), item.key.end());
  if (item.keyFormat != kQTMetaDataKeyFormatCommon || item.key.size() != 4) return std::string();
  OSType code;
  std::memcpy(&code, item.key.data(), 4);  // common keys are kept in host order
  if (code == kQTMetaDataCommonKeyDescription) return "com.apple.quicktime.description";
  return std::string();
}

// The movie's metadata items of the QuickTime storage format, as a movie
// file holds them: a 'meta' atom with an 'mdta' handler, the keys in a
// 'keys' atom and the values in an 'ilst' atom, each item under its key's
// index with its data type. Nothing when there are none.
void write_metadata(Atoms& a, const MovieRecord& movie) {
  std::vector<std::pair<std::string, const MetaDataItemRecord*>> items;
  for (const MetaDataItemRecord& item : movie.metadata) {
    if (item.storageFormat != kQTMetaDataStorageFormatQuickTime) continue;
    std::string key = metadata_key(item);
    if (!key.empty()) items.emplace_back(std::move(key), &item);
  }
  if (items.empty()) return;
  size_t meta = a.begin(FOUR_CHAR_CODE("meta"));
  write_handler(a, 0, FOUR_CHAR_CODE("mdta"), "");
  size_t keys = a.begin_full(FOUR_CHAR_CODE("keys"), 0, 0);
  a.u32(UInt32(items.size()));
  for (const auto& it : items) {
    size_t key = a.begin(FOUR_CHAR_CODE("mdta"));
    a.raw(reinterpret_cast<const UInt8*>(it.first.data()), it.first.size());
    a.end(key);
  }
  a.end(keys);
  size_t ilst = a.begin(FOUR_CHAR_CODE("ilst"));
  for (size_t i = 0; i < items.size(); ++i) {
    size_t entry = a.begin(OSType(i + 1));
    size_t data = a.begin(FOUR_CHAR_CODE("data"));
    a.u32(items[i].second->dataType);
    a.u32(0);  // locale: any
    a.raw(items[i].second->value.data(), items[i].second->value.size());
    a.end(data);
    a.end(entry);
  }
  a.end(ilst);
  a.end(meta);
}

std::vector<UInt8> movie_atom(const MovieRecord& movie, const std::vector<TrackLayout>& layouts) {
  Atoms a;
  TimeValue64 longest = 0;
  SInt32 nextID = 1;
  SInt32 timecodeTrackID = 0;
  for (const TrackLayout& t : layouts) {
    TimeValue64 length = 0;
    for (const EditRecord& e : t.edits) length += e.trackDuration;
    longest = std::max(longest, length);
    nextID = std::max(nextID, t.track->id + 1);
    if (timecodeTrackID == 0 && t.track->media->mediaType == TimeCodeMediaType) timecodeTrackID = t.track->id;
  }
  bool wideTimes = longest > 0xFFFFFFFFll;
  size_t moov = a.begin(FOUR_CHAR_CODE("moov"));
  size_t mvhd = a.begin_full(FOUR_CHAR_CODE("mvhd"), wideTimes ? 1 : 0, 0);
  a.dates_and_duration(wideTimes, UInt32(movie.timeScale), false, UInt64(longest));
  a.u32(0x10000);  // rate
  a.u16(0x100);    // volume
  a.zeros(10);
  a.matrix();
  a.zeros(24);  // preview, poster, selection and current times
  a.u32(UInt32(nextID));
  a.end(mvhd);
  for (const TrackLayout& t : layouts) write_track(a, t, timecodeTrackID);
  write_metadata(a, movie);
  a.end(moov);
  return a.bytes;
}

}  // namespace

namespace {

// The movie's file: its file type and the head of its media data atom, the
// media data, then the movie atom, the data atom's size filled in at the
// end. Without a file (`out` null) nothing is read or written, and *size
// receives the bytes the file takes.
OSErr write_movie(Output* out, const MovieRecord& m, UInt64* size = nullptr) {
  Atoms head;
  size_t ftyp = head.begin(FOUR_CHAR_CODE("ftyp"));
  head.u32(FOUR_CHAR_CODE("qt  "));
  head.u32(0x20050300);
  head.u32(FOUR_CHAR_CODE("qt  "));
  head.end(ftyp);
  head.u32(1);  // 'mdat' with a 64-bit size, filled in at the end
  head.u32(FOUR_CHAR_CODE("mdat"));
  head.u64(0);
  OSErr err = out ? write_all(*out, head.bytes.data(), head.bytes.size()) : OSErr(noErr);
  const UInt64 mdatStart = head.bytes.size() - 16;
  UInt64 position = head.bytes.size();

  // A track without samples has no sample description either, and readers
  // refuse a table without one: it is left out, as it adds nothing to play.
  std::vector<TrackLayout> layouts;
  for (auto& t : m.tracks) {
    if (t->media == nullptr || t->media->samples.empty()) continue;
    layouts.push_back(TrackLayout{t.get(), {}, {}, {}, {}, {}, 0, true, false, false, {}, {}, {}});
    plan_track(&layouts.back(), m.timeScale);
  }
  for (TrackLayout& t : layouts) {
    if (err != noErr) break;
    err = write_media_data(out, &position, &t);
  }
  if (err != noErr) return err;
  UInt8 mdatSize[8];
  put_be32(mdatSize, UInt32((position - mdatStart) >> 32));
  put_be32(mdatSize + 4, UInt32(position - mdatStart));
  std::vector<UInt8> moov = movie_atom(m, layouts);
  if (size) *size = position + moov.size();
  if (!out) return noErr;
  err = write_all(*out, moov.data(), moov.size());
  if (err == noErr && std::fseek(out->f, long(mdatStart + 8), SEEK_SET) != 0) {
    out->error = errno;
    err = ioErr;
  }
  if (err == noErr) err = write_all(*out, mdatSize, 8);
  return err;
}

// A hidden name beside the destination for the file a save writes, short
// enough for the longest name a directory takes; `tag` tells tries apart.
std::string pending_name(const std::string& dir, const std::string& base, UInt64 tag) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string name = dir + "/." + base.substr(0, 200) + ".";
  for (int i = 0; i < 8; ++i, tag /= 62) name += kDigits[tag % 62];
  return name;
}

// Opens the file a save writes the movie to, owner-only until it is
// complete, in the destination's directory (the final rename must stay
// within one file system). Where the file system allows, the file
// has no name while it is written, so that a process killed meanwhile leaves
// nothing behind (`*named` stays empty; see name_pending_file); elsewhere it
// gets a new hidden name at once, made with O_EXCL, in `*named`.
int open_pending_file(const std::string& dir, const std::string& base, std::string* named) {
  named->clear();
  if (::access("/proc/self/fd", F_OK) == 0) {  // how an unnamed file gets its name later
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
  }
  std::string pattern = pending_name(dir, base, 0);
  pattern.replace(pattern.size() - 8, 8, "XXXXXX");
  const int fd = ::mkostemp(&pattern[0], O_CLOEXEC);  // O_EXCL, mode 0600
  if (fd >= 0) *named = pattern;
  return fd;
}

// Gives the complete, unnamed file `fd` a new hidden name beside the
// destination, from which it is renamed over the destination.
bool name_pending_file(int fd, const std::string& dir, const std::string& base, std::string* named) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  UInt64 tag = UInt64(::getpid()) * 0x9E3779B97F4A7C15ull ^
               UInt64(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int tries = 0; tries < 100; ++tries, tag = tag * 6364136223846793005ull + 1442695040888963407ull) {
    const std::string name = pending_name(dir, base, tag);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      *named = name;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Makes a rename within `dir` durable; a failure leaves the movie in place
// all the same, so it is not reported.
void sync_directory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// The system's words for `error`, to stand inside a sentence ("permission
// denied").
std::string reason(int error) {
  std::string words = std::strerror(error);
  if (!words.empty()) words[0] = char(std::tolower(static_cast<unsigned char>(words[0])));
  return words;
}

OSErr fail(std::string* problem, const std::string& words, OSErr err = ioErr) {
  if (problem) *problem = words;
  return err;
}

// The mode a new file gets from open(..., 0666): what the umask leaves.
mode_t new_file_mode() {
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return 0666 & ~mask;
}

// Where a save writes, and how.
struct SaveTarget {
  std::string destination;  // the path with every symbolic link followed
  std::string dir, base;    // its directory and its name there
  bool exists = false;
  struct stat st {};      // of the destination, when it exists
};

// Follows the symbolic links from `path` to where they lead, whether a file
// is there or not (a dangling link leads to the file it names). False with
// `*error` set when a link cannot be read or the links go round.
bool follow_links(const std::string& path, std::string* out, int* error) {
  std::string at = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *out = at;
      return true;
    }
    std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
    if (n <= 0 || size_t(n) >= target.size()) {
      *error = n < 0 ? errno : n == 0 ? ENOENT : ENAMETOOLONG;
      return false;
    }
    std::string next(target.data(), size_t(n));
    const size_t slash = at.rfind('/');
    if (next[0] != '/' && slash != std::string::npos) next = at.substr(0, slash + 1) + next;
    at = next;
  }
  *error = ELOOP;
  return false;
}

// Whether the file system refuses to let a new file take the place of the
// existing file `t`: the file, or its directory, is marked immutable or
// append-only. The words for why, else "".
std::string replacement_forbidden(const SaveTarget& t) {
  auto flags_of = [](const std::string& path, int openFlags) {
    // Read without opening where the file system says: a file or directory
    // the saver may not read has its marks all the same.
    constexpr uint64_t kMarks = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, 0, &sx) == 0 && (sx.stx_attributes_mask & kMarks) == kMarks)
      return ((sx.stx_attributes & STATX_ATTR_IMMUTABLE) ? FS_IMMUTABLE_FL : 0) |
             ((sx.stx_attributes & STATX_ATTR_APPEND) ? FS_APPEND_FL : 0);
    const int fd = ::open(path.c_str(), openFlags | O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int flags = 0;
    if (fd < 0) return 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) flags = 0;
    ::close(fd);
    return flags;
  };
  const int kFixed = FS_IMMUTABLE_FL | FS_APPEND_FL;
  const int file = flags_of(t.destination, 0), dir = flags_of(t.dir, O_DIRECTORY);
  if (file & kFixed) return std::string("it is marked ") + (file & FS_IMMUTABLE_FL ? "immutable" : "append-only");
  if (dir & kFixed)
    return "its directory is marked " + std::string(dir & FS_IMMUTABLE_FL ? "immutable" : "append-only");
  return {};
}

// Finds where a save of `path` writes and whether it can: what is there must
// be a regular file or nothing, in a directory that exists and takes a new
// file of that name, which replaces the file there by a rename. Nothing is
// ever written into an existing file: a save killed half-way through such a
// write would leave a file that is neither the old movie nor the new one. So
// a file that cannot be replaced that way (its directory takes no new file,
// it is another user's in a directory with the sticky bit, or it or its
// directory is immutable or append-only) is refused, with what to do.
OSErr plan_save(const char* path, const char* what, SaveTarget* t, std::string* problem) {
  int error = 0;
  if (!follow_links(path, &t->destination, &error))
    return fail(problem, std::string("cannot follow the symbolic link ") + path + ": " + reason(error));
  const std::string& d = t->destination;
  t->exists = ::stat(d.c_str(), &t->st) == 0;
  if (t->exists && !S_ISREG(t->st.st_mode)) return fail(problem, d + " is not a regular file", notAFileErr);
  const size_t slash = d.rfind('/');
  t->dir = slash == std::string::npos ? "." : slash == 0 ? "/" : d.substr(0, slash);
  t->base = slash == std::string::npos ? d : d.substr(slash + 1);
  const std::string in = "cannot create a file in " + t->dir + ": ";
  struct stat ds;
  if (::stat(t->dir.c_str(), &ds) != 0) return fail(problem, in + (errno == ENOENT ? "no such directory" : reason(errno)));
  if (!S_ISDIR(ds.st_mode)) return fail(problem, in + "not a directory");
  const long longest = ::pathconf(t->dir.c_str(), _PC_NAME_MAX);
  if (t->base.empty() || (longest > 0 && t->base.size() > size_t(longest)))
    return fail(problem, in + (t->base.empty() ? std::string("no file name given")
                                               : "the name is " + std::to_string(t->base.size()) +
                                                     " bytes long, the file system takes at most " +
                                                     std::to_string(longest)));
  const std::string cannotReplace =
      "cannot replace " + d + ": " + what + " is saved to a new file that takes its place once complete, so that "
      "an interrupted save leaves it as it was, and ";
  if (::faccessat(AT_FDCWD, t->dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    error = errno;
    if (!t->exists || error == EROFS) return fail(problem, in + reason(error));
    return fail(problem, cannotReplace + "its directory takes no new file (" + reason(error) +
                             "); save elsewhere, or make " + t->dir + " writable");
  }
  if (!t->exists) {
    // A directory marked so takes the new file but not the rename that gives
    // it its name.
    const std::string forbidden = replacement_forbidden(*t);
    if (forbidden.empty()) return noErr;
    return fail(problem, in + "it " + forbidden.substr(std::strlen("its directory ")) +
                             ", so the new file " + what + " is made in cannot take its name once complete; "
                             "save elsewhere, or lift the mark (chattr)");
  }
  if ((ds.st_mode & S_ISVTX) && ::geteuid() != 0 && t->st.st_uid != ::geteuid() && ds.st_uid != ::geteuid())
    return fail(problem, cannotReplace + "it belongs to another user, in a directory with the sticky bit, where "
                                         "only its owner may replace it; save elsewhere");
  const std::string forbidden = replacement_forbidden(*t);
  if (!forbidden.empty())
    return fail(problem, cannotReplace + forbidden + "; save elsewhere, or lift the mark (chattr)");
  return noErr;
}

// Makes the complete movie in `fd`, written beside the destination, ready
// to take its place: a file replaced keeps its owner and group where the
// saver may set them and its permissions without set-user-id and
// set-group-id; a new one gets the mode of any new file. The file is on the
// disk before the rename.
OSErr make_ready(int fd, const SaveTarget& t, const char* what, std::string* problem) {
  if (t.exists && ::fchown(fd, t.st.st_uid, t.st.st_gid) != 0) (void)::fchown(fd, uid_t(-1), t.st.st_gid);
  const mode_t mode = t.exists ? t.st.st_mode & 01777 : new_file_mode();
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
    return fail(problem, "cannot write " + std::string(what) + " to a new file in " + t.dir + ": " + reason(errno));
  return noErr;
}

// Renames the ready file `fd` over `destination`, giving it a hidden name
// beside it first when it has none (`*pending`, cleared once renamed).
OSErr put_in_place(int fd, const std::string& destination, const std::string& dir, const std::string& base,
                   const std::string& what, std::string* pending, std::string* problem) {
  if (pending->empty() && !name_pending_file(fd, dir, base, pending))
    return fail(problem, "cannot write " + what + " to a new file in " + dir + ": " + reason(errno));
  if (::rename(pending->c_str(), destination.c_str()) == 0) {
    pending->clear();
    sync_directory(dir);
    return noErr;
  }
  return fail(problem, "cannot replace " + destination + ": " + reason(errno) + "; it is left as it was");
}

// Words for a write that the process's file-size limit stopped (EFBIG): the
// limit and the size the file needs (`needs` bytes), as the record store
// words its own; empty when no limit is set (then the system's words stand).
std::string size_limit_words(const char* what, UInt64 needs) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return {};
  return "the file-size limit (ulimit -f) of " + std::to_string(static_cast<unsigned long long>(limit.rlim_cur)) +
         " bytes is too small for " + what + ": it needs " + std::to_string(needs) +
         " bytes; raise the limit, then try again";
}

// Saves what `write` puts into a file at `path` as SaveMovieAsQuickTimeFile
// describes; `what` names it in the words ("the movie"), which say, when the
// file-size limit stops the write, that it needs the bytes `needs` gives.
// With `group`, the complete file waits there for the group's Commit.
OSErr save_by_replacing(const char* path, const char* what, const std::function<OSErr(Output&)>& write,
                        const std::function<UInt64()>& needs, std::string* problem, SaveGroup* group) {
  SaveTarget t;
  OSErr err = plan_save(path, what, &t, problem);
  if (err != noErr) return err;
  // Made in a new file beside the destination.
  const std::string& dir = t.dir;
  const std::string inNewFile = "cannot write " + std::string(what) + " to a new file in " + dir + ": ";
  std::string pending;  // the name of the new file beside the destination, once it has one
  const int fd = open_pending_file(dir, t.base, &pending);
  if (fd < 0) return fail(problem, "cannot create a file in " + dir + ": " + reason(errno));
  Output out{::fdopen(fd, "wb")};
  if (out.f == nullptr) out.error = errno;
  err = out.f != nullptr ? noErr : ioErr;
  try {
    if (err == noErr) err = write(out);
  } catch (const std::exception&) {
    err = memFullErr;
  }
  if (err == noErr && std::fflush(out.f) != 0) {
    out.error = errno;
    err = ioErr;
  }
  const std::string limited = out.error == EFBIG ? size_limit_words(what, needs()) : std::string();
  if (!limited.empty()) {
    fail(problem, limited);
  } else if (out.error != 0) {
    fail(problem, inNewFile + reason(out.error));
  } else if (err == noErr) {
    err = make_ready(fd, t, what, problem);
    if (err == noErr && group != nullptr) {
      try {
        group->waiting.push_back(SaveGroup::Waiting{out.f, t.destination, t.dir, t.base, what, pending});
        return noErr;  // the file stays open, and unnamed where it can, until Commit
      } catch (const std::exception&) {
        err = memFullErr;
      }
    }
    if (err == noErr) err = put_in_place(fd, t.destination, t.dir, t.base, what, &pending, problem);
  }
  if ((out.f != nullptr ? std::fclose(out.f) : ::close(fd)) != 0 && err == noErr)
    err = fail(problem, inNewFile + reason(errno));
  if (!pending.empty()) ::unlink(pending.c_str());  // only the file this call made, never renamed
  return err;
}

}  // namespace

OSErr CheckMovieSaveDestination(const char* path, std::string* problem, const char* what) {
  if (problem) problem->clear();
  if (path == nullptr || path[0] == '\0' || what == nullptr) return paramErr;
  SaveTarget t;
  return plan_save(path, what, &t, problem);
}

SaveGroup::~SaveGroup() {
  for (Waiting& w : waiting) {
    if (!w.named.empty()) ::unlink(w.named.c_str());  // made by the save, never renamed
    std::fclose(w.file);
  }
}

OSErr SaveGroup::Commit(std::string* problem) {
  if (problem) problem->clear();
  sigset_t ending, old;
  sigemptyset(&ending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, sig);
  ::pthread_sigmask(SIG_BLOCK, &ending, &old);
  OSErr err = noErr;
  for (Waiting& w : waiting) {
    err = put_in_place(fileno(w.file), w.destination, w.dir, w.base, w.what, &w.named, problem);
    if (err != noErr) break;
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return err;
}

OSErr SaveMovieAsQuickTimeFile(Movie m, const char* path, std::string* problem, SaveGroup* group) {
  if (problem) problem->clear();
  if (m == nullptr || path == nullptr || path[0] == '\0') return paramErr;
  // The size the file takes, worked out from the sample references once a
  // write has failed for the limit.
  auto needs = [m]() {
    UInt64 size = 0;
    return write_movie(nullptr, *m, &size) == noErr ? size : 0;
  };
  return save_by_replacing(path, "the movie", [m](Output& out) { return write_movie(&out, *m); }, needs, problem,
                           group);
}

OSErr SaveFileByReplacing(const char* path, const std::string& bytes, const char* what, std::string* problem,
                          SaveGroup* group) {
  if (problem) problem->clear();
  if (path == nullptr || path[0] == '\0' || what == nullptr) return paramErr;
  return save_by_replacing(path, what, [&bytes](Output& out) { return write_all(out, bytes.data(), bytes.size()); },
                           [&bytes]() { return UInt64(bytes.size()); }, problem, group);
}
