// mtsimport [--dump movie.json] [--mov out.mov] [--idle] FILE.MTS
//
// Imports an AVCHD recording the way a client of the media framework does:
// registers the movie importer and the data handler, opens the importer,
// imports the file into a new movie and prints what the movie holds. With
// --dump it writes the movie as JSON, with --mov it saves a self-contained
// QuickTime movie whose samples are read back through the data handler, and
// with --idle it drives an idle import (placeholder track first, then idle
// calls until the importer reports completion), showing progress.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "MTS_DataHandler.h"
#include "MTS_MovieImport.h"
#include "MovieDump.h"
#include "MovieFile.h"

namespace {

struct Options {
  const char* input = nullptr;
  const char* dump = nullptr;
  const char* mov = nullptr;
  bool idle = false;
};

int Usage() {
  std::fprintf(stderr, "usage: mtsimport [--dump movie.json] [--mov out.mov] [--idle] FILE.MTS\n");
  return 2;
}

std::string FourCC(OSType t) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[size_t(i)] = char((t >> (24 - 8 * i)) & 0xFF);
  return s;
}

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::vector<uint8_t> Description(Media media) {
  Handle h = NewHandle(0);
  std::vector<uint8_t> out;
  if (GetMediaSampleDescription(media, 1, h) == noErr)
    out.assign(reinterpret_cast<uint8_t*>(*h), reinterpret_cast<uint8_t*>(*h) + GetHandleSize(h));
  DisposeHandle(h);
  return out;
}

// Body of the extension atom `type` after a description's fixed part.
std::vector<uint8_t> Extension(const std::vector<uint8_t>& d, size_t pos, OSType type) {
  while (pos + 8 <= d.size()) {
    const uint32_t size = Be32(&d[pos]);
    if (size < 8 || pos + size > d.size()) break;
    if (Be32(&d[pos + 4]) == type) return {d.begin() + long(pos + 8), d.begin() + long(pos + size)};
    pos += size;
  }
  return {};
}

double Seconds(TimeValue64 t, TimeScale scale) { return scale > 0 ? double(t) / scale : 0.0; }

void PrintVideo(Media media) {
  const auto d = Description(media);
  if (d.size() < sizeof(ImageDescription)) return;
  ImageDescription id;
  std::memcpy(&id, d.data(), sizeof id);
  const TimeScale scale = GetMediaTimeScale(media);
  MediaSampleReference first{};
  GetMediaSampleReferenceAt(media, 0, &first);
  std::printf("  picture     %dx%d\n", id.width, id.height);
  if (first.durationPerSample > 0)
    std::printf("  frame rate  %.3f (%d/%lld)\n", double(scale) / double(first.durationPerSample), scale,
                static_cast<long long>(first.durationPerSample));
  const auto fiel = Extension(d, sizeof(ImageDescription), FOUR_CHAR_CODE("fiel"));
  if (fiel.size() == 2)
    std::printf("  fields      %s (fiel %d, %d)\n", fiel[0] == 1 ? "progressive" : "interlaced", fiel[0], fiel[1]);
  const auto pasp = Extension(d, sizeof(ImageDescription), FOUR_CHAR_CODE("pasp"));
  if (pasp.size() == 8) std::printf("  pixel aspect %u:%u\n", Be32(&pasp[0]), Be32(&pasp[4]));
}

void PrintSound(Media media) {
  const auto d = Description(media);
  if (d.size() < sizeof(SoundDescription)) return;
  SoundDescription sd;
  std::memcpy(&sd, d.data(), sizeof sd);
  if (sd.version == 2 && d.size() >= sizeof(SoundDescriptionV2)) {
    SoundDescriptionV2 v2;
    std::memcpy(&v2, d.data(), sizeof v2);
    std::printf("  audio       '%s' %.0f Hz, %u channels, %u bits, flags %u\n",
                FourCC(sd.dataFormat).c_str(), v2.audioSampleRate,
                v2.numAudioChannels, v2.constBitsPerChannel, v2.formatSpecificFlags);
  } else {
    std::printf("  audio       '%s' %u Hz, %d channels, %d bits\n", FourCC(sd.dataFormat).c_str(),
                sd.sampleRate >> 16, sd.numChannels, sd.sampleSize);
  }
}

// Frame number of timecode sample `index`, read through the media's own data
// handler as a player would; -1 when it cannot be read.
int64_t TimecodeFrame(Media media, SInt64 index) {
  MediaSampleReference ref{};
  if (GetMediaSampleReferenceAt(media, index, &ref) != noErr) return -1;
  Handle dataRef = nullptr;
  OSType dataRefType = 0;
  SInt32 attributes = 0;
  if (GetMediaDataRef(media, 1, &dataRef, &dataRefType, &attributes) != noErr) return -1;
  ComponentInstance dh = nullptr;
  int64_t frame = -1;
  if (OpenADataHandler(dataRef, dataRefType, nullptr, 0, nullptr, kDataHCanRead, &dh) == noErr && dh) {
    uint8_t bytes[4];
    wide offset = ref.dataOffset + 4 * (ref.count - 1);
    if (DataHScheduleData64(dh, reinterpret_cast<Ptr>(bytes), &offset, 4, 0, nullptr, nullptr) == noErr)
      frame = Be32(bytes);
    CloseComponent(dh);
  }
  DisposeHandle(dataRef);
  return frame;
}

void PrintTimecodes(Media media) {
  const auto d = Description(media);
  if (d.size() < sizeof(TimeCodeDescription)) return;
  TimeCodeDescription tcd;
  std::memcpy(&tcd, d.data(), sizeof tcd);
  const SInt64 n = GetMediaSampleReferenceCount(media);
  if (n == 0) return;
  const bool drop = tcd.timeCodeDef.flags & tcDropFrame;
  for (SInt64 which : {SInt64(0), n - 1}) {
    const int64_t frame = TimecodeFrame(media, which);
    TimeCodeRecord tc{};
    if (frame < 0 ||
        TCFrameNumberToTimeCode(GetMediaHandler(media), SInt32(frame), &tcd.timeCodeDef, &tc) != noErr) {
      std::printf("  %s  (not readable)\n", which == 0 ? "first" : "last ");
      continue;
    }
    std::printf("  %s  %02d:%02d:%02d%c%02d (frame %lld)\n", which == 0 ? "first" : "last ", tc.t.hours,
                tc.t.minutes, tc.t.seconds, drop ? ';' : ':', tc.t.frames, static_cast<long long>(frame));
  }
}

std::string DescriptionText(Movie movie) {
  QTMetaDataRef meta = nullptr;
  std::string text;
  if (QTCopyMovieMetaData(movie, &meta) != noErr) return text;
  const OSType key = kQTMetaDataCommonKeyDescription;
  QTMetaDataItem item = kQTMetaDataItemUninitialized;
  if (QTMetaDataGetNextItem(meta, kQTMetaDataStorageFormatQuickTime, kQTMetaDataItemUninitialized,
                            kQTMetaDataKeyFormatCommon, reinterpret_cast<const UInt8*>(&key), sizeof key,
                            &item) == noErr) {
    char value[256];
    ByteCount size = 0;
    if (QTMetaDataGetItemValue(meta, item, reinterpret_cast<UInt8*>(value), sizeof value, &size) == noErr)
      text.assign(value, size_t(size));
  }
  QTMetaDataRelease(meta);
  return text;
}

void PrintSummary(Movie movie) {
  const TimeScale movieScale = GetMovieTimeScale(movie);
  std::printf("movie: %d tracks, %.3f s (time scale %d)\n", GetMovieTrackCount(movie),
              Seconds(GetMovieDuration(movie), movieScale), movieScale);
  for (SInt32 i = 1; i <= GetMovieTrackCount(movie); ++i) {
    Track track = GetMovieIndTrack(movie, i);
    Media media = GetTrackMedia(track);
    if (!media) continue;
    const OSType type = GetMediaType(media);
    std::printf("track %d '%s': %lld samples, media %.3f s, in track %.3f s\n", GetTrackID(track),
                FourCC(type).c_str(), static_cast<long long>(GetMediaSampleCount(media)),
                Seconds(GetMediaDisplayDuration(media), GetMediaTimeScale(media)),
                Seconds(GetTrackDuration(track), movieScale));
    if (type == VideoMediaType) PrintVideo(media);
    if (type == SoundMediaType) PrintSound(media);
    if (type == TimeCodeMediaType) PrintTimecodes(media);
  }
  const std::string text = DescriptionText(movie);
  if (!text.empty()) std::printf("description: \"%s\"\n", text.c_str());
}

// Idle calls until the importer reports completion, as a host would make
// them: each after the delay the importer asked for.
ComponentResult DriveIdle(ComponentInstance importer, IdleManager im, Movie movie) {
  const bool terminal = isatty(STDERR_FILENO);
  int32_t outFlags = 0;
  while (!(outFlags & kMTSOutFlagComplete)) {
    TimeValue delta = 0;
    TimeScale scale = 0;
    if (QTIdleManagerGetNextIdleTimeDelta(im, &delta, &scale) == noErr && scale > 0 && delta > 0)
      std::this_thread::sleep_for(std::chrono::microseconds(int64_t(delta) * 1000000 / scale));
    ComponentResult r = CallComponentSelector(importer, SInt16(23), int32_t(0), &outFlags);
    if (r != noErr) return r;
    TimeValue loaded = 0;
    CallComponentSelector(importer, SInt16(26), &loaded);
    if (terminal) {
      const TimeScale s = GetMovieTimeScale(movie);
      std::fprintf(stderr, "\rimported %.1f s of %.1f s", Seconds(loaded, s), Seconds(GetMovieDuration(movie), s));
    }
  }
  if (terminal) std::fprintf(stderr, "\n");
  return noErr;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--dump") && i + 1 < argc) {
      o.dump = argv[++i];
    } else if (!std::strcmp(argv[i], "--mov") && i + 1 < argc) {
      o.mov = argv[++i];
    } else if (!std::strcmp(argv[i], "--idle")) {
      o.idle = true;
    } else if (argv[i][0] == '-' || o.input) {
      return Usage();
    } else {
      o.input = argv[i];
    }
  }
  if (!o.input) return Usage();

  CallComponentRegisterSelector(MTS_MovieImportComponentDispatch);
  CallComponentRegisterSelector(MTS_DataHComponentDispatch);
  ComponentInstance importer = nullptr;
  if (OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &importer) != noErr) {
    std::fprintf(stderr, "mtsimport: cannot open the movie importer\n");
    return 1;
  }
  Movie movie = NewMovie(0);
  IdleManager im = QTIdleManagerOpen();
  CallComponentSelector(importer, SInt16(30), im);

  FSSpec spec{};
  int status = 0;
  ComponentResult r = FSPathMakeFSSpec(o.input, &spec);
  int32_t outFlags = 0;
  if (r == noErr) {
    Track used = nullptr;
    TimeValue added = 0;
    r = CallComponentSelector(importer, SInt16(2), &spec, movie, static_cast<Track>(nullptr), &used, TimeValue(0),
                              &added, int32_t(o.idle ? kMTSInFlagIdle : 0), &outFlags);
  }
  if (r == noErr && o.idle && !(outFlags & kMTSOutFlagComplete)) r = DriveIdle(importer, im, movie);
  if (r != noErr) {
    std::fprintf(stderr, "mtsimport: %s: import failed (%d)\n", o.input, int(r));
    status = 1;
  } else {
    PrintSummary(movie);
    if (o.dump && WriteMovieJSON(movie, o.dump) != noErr) {
      std::fprintf(stderr, "mtsimport: cannot write %s\n", o.dump);
      status = 1;
    }
    if (o.mov) {
      OSErr err = SaveMovieAsQuickTimeFile(movie, o.mov);
      if (err != noErr) {
        std::fprintf(stderr, "mtsimport: cannot save %s (%d)\n", o.mov, err);
        status = 1;
      }
    }
  }
  CloseComponent(importer);
  DisposeMovie(movie);
  QTIdleManagerClose(im);
  return status;
}
