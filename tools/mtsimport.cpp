// mtsimport [options] FILE.MTS
//
// Imports an AVCHD recording the way a client of the media framework does:
// registers the movie importer and the data handler, opens the importer,
// imports the file into a new movie and prints what the movie holds. With
// --dump it writes the movie as JSON, with --mov it saves a self-contained
// QuickTime movie whose samples are read back through the data handler, and
// with --idle it drives an idle import (placeholder track first, then idle
// calls until the importer reports completion), showing progress.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AVCHDVideoDecoder.h"
#include "AudioStreamInfo.h"
#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MTS_MovieImport.h"
#include "MovieDump.h"
#include "MovieFile.h"
#include "TSDemuxer.h"
#include "toolcli.h"

namespace {

constexpr const char* kTool = "mtsimport";
constexpr const char* kHelp =
    "usage: mtsimport [--dump FILE.json] [--mov FILE.mov] [--idle] [-v] FILE.MTS\n"
    "       mtsimport --help | --version\n"
    "\n"
    "Imports an AVCHD recording (.MTS/.m2ts, 192-byte transport packets) through\n"
    "the movie importer and the data handler, and prints what the movie holds.\n"
    "\n"
    "options:\n"
    "  --dump FILE   write the whole movie as JSON to FILE ('-': standard output;\n"
    "                the summary then goes to standard error); a file is saved\n"
    "                as --mov saves one, and not to the file --mov names; the\n"
    "                two take their places together, once both are written\n"
    "  --mov FILE    save a self-contained QuickTime movie to FILE, its samples\n"
    "                read back through the data handler (a file: the movie's\n"
    "                sizes are written after its samples, so not '-'); a file\n"
    "                already there is replaced only once the new movie is\n"
    "                complete and on the disk, by renaming a new file over it,\n"
    "                and kept as it was when the save fails or is killed; a\n"
    "                file that cannot be replaced so (its directory takes no\n"
    "                new file) is refused before the import\n"
    "  --idle        import as a player does: a first part, then idle calls\n"
    "                until the import is complete; the movie then holds a\n"
    "                generic ('gnrc') placeholder track first, of the length\n"
    "                the importer expected; on a terminal a line says after\n"
    "                each idle call how much of the recording was read\n"
    "  -v, --verbose also show the components' own log lines and the processor\n"
    "                variant of the primitives\n"
    "  --help        show this help;  --version  show the version\n"
    "\n"
    TOOLS_HELP_ENVIRONMENT
    "\n"
    "exit status: 0 imported, also a damaged recording imported without what\n"
    "could not be read (said in a warning; the decoders end a damaged stream\n"
    "with 3); 1 the file could not be imported or an output not written; 2\n"
    "wrong options or environment.\n";

struct Options {
  const char* input = nullptr;
  const char* dump = nullptr;
  const char* mov = nullptr;
  bool idle = false;
  bool verbose = false;
};

// Where the summary goes: standard error when the JSON dump takes standard
// output.
FILE* summary = stdout;

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

// What a 'fiel' extension says (field count, then the order code). The
// importer writes 1, 0 for a stream of frames only and 2, 9 for any other:
// it does not read the field order, so the code says nothing of it.
std::string Fields(int count, int order) {
  const std::string codes = " (fiel " + std::to_string(count) + ", " + std::to_string(order) + ")";
  if (count == 1) return "progressive" + codes;
  return "interlaced, field order not read from the stream" + codes;
}

// `spsRate`: the frame rate the stream's SPS states, given for a movie of
// one picture (0 otherwise), which has no time stamps to measure it by.
void PrintVideo(Media media, double spsRate) {
  const auto d = Description(media);
  if (d.size() < sizeof(ImageDescription)) return;
  ImageDescription id;
  std::memcpy(&id, d.data(), sizeof id);
  const TimeScale scale = GetMediaTimeScale(media);
  MediaSampleReference first{};
  GetMediaSampleReferenceAt(media, 0, &first);
  std::fprintf(summary, "  picture     %dx%d\n", id.width, id.height);
  const double rate = first.durationPerSample > 0 ? double(scale) / double(first.durationPerSample) : 0;
  if (spsRate > 0 && std::fabs(rate - spsRate) > 0.001) {
    std::fprintf(summary, "  frame rate  %.3f by the stream's SPS (the movie's one picture lasts %lld/%d s)\n",
                 spsRate, static_cast<long long>(first.durationPerSample), scale);
  } else if (first.durationPerSample > 0) {
    std::fprintf(summary, "  frame rate  %.3f (%d/%lld)\n", rate, scale,
                 static_cast<long long>(first.durationPerSample));
  }
  const auto fiel = Extension(d, sizeof(ImageDescription), FOUR_CHAR_CODE("fiel"));
  if (fiel.size() == 2)
    std::fprintf(summary, "  fields      %s\n", Fields(fiel[0], fiel[1]).c_str());
  const auto pasp = Extension(d, sizeof(ImageDescription), FOUR_CHAR_CODE("pasp"));
  if (pasp.size() == 8) std::fprintf(summary, "  pixel aspect %u:%u\n", Be32(&pasp[0]), Be32(&pasp[4]));
}

void PrintSound(Media media) {
  const auto d = Description(media);
  if (d.size() < sizeof(SoundDescription)) return;
  SoundDescription sd;
  std::memcpy(&sd, d.data(), sizeof sd);
  if (sd.version == 2 && d.size() >= sizeof(SoundDescriptionV2)) {
    SoundDescriptionV2 v2;
    std::memcpy(&v2, d.data(), sizeof v2);
    std::fprintf(summary, "  audio       '%s' %.0f Hz, %u channels, %u bits, flags %u\n",
                 FourCC(sd.dataFormat).c_str(), v2.audioSampleRate,
                 v2.numAudioChannels, v2.constBitsPerChannel, v2.formatSpecificFlags);
  } else {
    std::fprintf(summary, "  audio       '%s' %u Hz, %d channels, %d bits\n", FourCC(sd.dataFormat).c_str(),
                 sd.sampleRate >> 16, sd.numChannels, sd.sampleSize);
  }
}

// Why the summary could not read a sample of the movie back (the data
// handler out of memory or of file descriptors), in words; "" while it could.
std::string readBackProblem;

// Frame number of timecode sample `index`, read through the media's own data
// handler as a player would; -1 when it cannot be read, said in
// readBackProblem.
int64_t TimecodeFrame(Media media, SInt64 index) {
  MediaSampleReference ref{};
  if (GetMediaSampleReferenceAt(media, index, &ref) != noErr) return -1;
  Handle dataRef = nullptr;
  OSType dataRefType = 0;
  SInt32 attributes = 0;
  if (GetMediaDataRef(media, 1, &dataRef, &dataRefType, &attributes) != noErr) return -1;
  ComponentInstance dh = nullptr;
  int64_t frame = -1;
  OSErr err = OpenADataHandler(dataRef, dataRefType, nullptr, 0, nullptr, kDataHCanRead, &dh);
  if (err == noErr && dh) {
    uint8_t bytes[4];
    wide offset = ref.dataOffset + 4 * (ref.count - 1);
    err = DataHScheduleData64(dh, reinterpret_cast<Ptr>(bytes), &offset, 4, 0, nullptr, nullptr);
    if (err == noErr) frame = Be32(bytes);
    CloseComponent(dh);
  }
  DisposeHandle(dataRef);
  if (err != noErr && readBackProblem.empty()) {
    const char* why = MTS_Problem(err);
    readBackProblem = why ? why + (" (" + std::to_string(err) + ")")
                          : tools::DescribeCode(tools::CodeSource::kComponents, err);
  }
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
      std::fprintf(summary, "  %s  (not readable)\n", which == 0 ? "first" : "last ");
      continue;
    }
    std::fprintf(summary, "  %s  %02d:%02d:%02d%c%02d (frame %lld)\n", which == 0 ? "first" : "last ", tc.t.hours,
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

void PrintSummary(Movie movie, double spsRate) {
  const TimeScale movieScale = GetMovieTimeScale(movie);
  std::fprintf(summary, "movie: %d tracks, %.3f s (time scale %d)\n", GetMovieTrackCount(movie),
               Seconds(GetMovieDuration(movie), movieScale), movieScale);
  for (SInt32 i = 1; i <= GetMovieTrackCount(movie); ++i) {
    Track track = GetMovieIndTrack(movie, i);
    Media media = GetTrackMedia(track);
    if (!media) continue;
    const OSType type = GetMediaType(media);
    std::fprintf(summary, "track %d '%s': %lld samples, media %.3f s, in track %.3f s\n", GetTrackID(track),
                 FourCC(type).c_str(), static_cast<long long>(GetMediaSampleCount(media)),
                 Seconds(GetMediaDisplayDuration(media), GetMediaTimeScale(media)),
                 Seconds(GetTrackDuration(track), movieScale));
    if (type == VideoMediaType) PrintVideo(media, spsRate);
    if (type == SoundMediaType) PrintSound(media);
    if (type == TimeCodeMediaType) PrintTimecodes(media);
  }
  const std::string text = DescriptionText(movie);
  if (!text.empty()) std::fprintf(summary, "description: \"%s\"\n", text.c_str());
}

// Channel layouts by the channel code of the LPCM and AC-3 stream
// information (AC-3 uses the first eight).
const char* const kLayoutNames[] = {"mono", "stereo", "3/0", "2/1", "3/1", "2/2", "3/2", "5.1", "3/4", "7.1"};

// A kind of audio in words: "AC-3 5.1", "LPCM stereo".
std::string SoundKindName(const MTS_SoundKind& kind) {
  return std::string(kind.ac3 ? "AC-3" : "LPCM") +
         (kind.channelCode < std::size(kLayoutNames) ? std::string(" ") + kLayoutNames[kind.channelCode] : "");
}

// A kind of audio the importer tells apart from `other`, in words, with its
// sample size and rate when `other` differs only in those ("LPCM stereo
// 24-bit 96000 Hz").
std::string SoundKindName(const MTS_SoundKind& kind, const MTS_SoundKind& other) {
  std::string name = SoundKindName(kind);
  if (name != SoundKindName(other)) return name;
  if (kind.bitsPerSample != other.bitsPerSample) name += " " + std::to_string(kind.bitsPerSample) + "-bit";
  if (kind.sampleRate != other.sampleRate) name += " " + std::to_string(kind.sampleRate) + " Hz";
  return name;
}

// The kind of audio a PES carries in words (`name`: "AC-3 5.1", "LPCM
// stereo"), and whether the importer makes a sound track of it.
struct AudioKind {
  std::string name;
  bool imported = false;
};

AudioKind AudioKindOf(const TSDemuxOutput& out) {
  AudioKind kind;
  const uint32_t size = out.audioSize > 0 ? uint32_t(out.audioSize) : 0;
  if (size >= 2 && out.pAudio[0] == 0x0B && out.pAudio[1] == 0x77) {
    AC3StreamInfo info{};
    if (AVCHDAudioGetAC3StreamInfoLib(&info, out.pAudio, size) != 0) {
      kind.name = "AC-3 with an unreadable header";
    } else {
      kind.name = SoundKindName(MTS_SoundKind{1, uint8_t(info.channelCode), 0, int32_t(info.sampleRate)});
      kind.imported = info.channelCode == 1 || info.channelCode == 7;
    }
  } else {
    LPCMStreamInfo info{};
    if (AVCHDAudioGetLPCMStreamInfoLib(&info, out.pAudio, size) != 0) {
      kind.name = "LPCM with an unreadable header";
    } else {
      kind.name = SoundKindName(MTS_SoundKind{0, uint8_t(info.channelCode), 0, int32_t(info.sampleRate)});
      kind.imported = info.channelCode <= 1;
    }
  }
  return kind;
}

// What a recording holds, demultiplexed as the importer reads it from its
// start: whether any video PES comes, and its audio when that is of a kind
// the importer makes no sound track of ("LPCM 5.1"; "" when it is imported
// or there is none). The camera user data of the first video PES, when it
// carries any, is in `camera`.
struct StreamProbe {
  bool video = false;
  std::string videoKind;  // the video's coding when it is not H.264 ("MPEG-2 video"), else ""
  double spsRate = 0;     // frames per second by the first SPS's timing, 0 when it has none
  bool cameraData = false;
  VideoUserData camera{};
  std::string unimportedAudio;
};

// The coding of a video PES that holds no H.264, by the start code its
// payload begins with ("MPEG-2 video"), or "" (H.264, or not known).
std::string VideoKindOf(const uint8_t* p, int32_t size) {
  for (int32_t i = 0; i + 4 < size; ++i) {
    if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
    const uint8_t code = p[i + 3];
    if (code == 0xB3 || code == 0xB8 || code == 0x00) {  // sequence header, group of pictures, picture
      // MPEG-2 puts an extension (00 00 01 B5) behind its sequence header.
      for (int32_t k = i + 4; k + 3 < size; ++k)
        if (p[k] == 0 && p[k + 1] == 0 && p[k + 2] == 1 && p[k + 3] == 0xB5) return "MPEG-2 video";
      return "MPEG-1 or MPEG-2 video";
    }
    // A video parameter set or access unit delimiter of H.265, which H.264
    // has no NAL unit header like.
    if ((code == 0x40 || code == 0x46) && p[i + 4] == 0x01) return "H.265 (HEVC) video";
    return {};
  }
  return {};
}

// What the probe keeps of the first video PES: its camera user data, its
// coding when it is not H.264, and the frame rate its SPS states. True.
bool ReadFirstVideo(const uint8_t* pes, int32_t size, StreamProbe* probe) {
  probe->cameraData = AVCHDGetVideoUserDataLib(&probe->camera, pes, size) == 0;
  probe->videoKind = VideoKindOf(pes, size);
  VideoStreamInfo sps{};
  AVCHDGetVideoStreamInfoLib(&sps, pes, size, kStreamInfoSps);
  const auto* fields = static_cast<const SequenceParameterSetFields*>(sps.pPayload);
  if (sps.status == 0 && sps.nal_unit_type == 7 && fields && fields->timing_info_present_flag &&
      fields->num_units_in_tick > 0)
    probe->spsRate = fields->time_scale / 2.0 / fields->num_units_in_tick;
  AVCHDReleaseVideoStreamInfoLib(&sps);
  return true;
}

StreamProbe ProbeStream(const char* path) {
  constexpr size_t kChunk = 960 * kTSSourcePacketSize;
  constexpr int64_t kSearchBytes = int64_t(256) << 20;  // audio starts within the first seconds
  FILE* f = std::fopen(path, "rb");
  TSDemuxContext* ctx = TSOpenDemuxLib();
  StreamProbe probe;
  bool audio = false, videoRead = false;
  if (f && ctx) {
    std::vector<uint8_t> chunk(kChunk);
    TSDemuxOutput out{};
    out.status = kTSStatusNeedInput;
    size_t filled = 0, next = 0;
    int64_t total = 0;
    for (;;) {
      const uint8_t* at = chunk.data();
      int32_t length = 0;
      if (out.status & kTSStatusNeedInput) {
        if (next + kTSSourcePacketSize > filled) {
          filled = std::fread(chunk.data(), 1, chunk.size(), f);
          next = 0;
          total += int64_t(filled);
          if (filled < size_t(kTSSourcePacketSize) || total > kSearchBytes) {
            // A video PES that the file ends inside (a recording's head of a
            // few packets) is read as far as it goes.
            if (!videoRead && out.videoSize > 0) videoRead = ReadFirstVideo(out.pVideo, out.videoSize, &probe);
            break;
          }
        }
        at = chunk.data() + next;
        length = kTSSourcePacketSize;
        next += kTSSourcePacketSize;
      }
      TSDemuxStreamLib(at, length, &out, ctx);
      if (!videoRead && (out.status & kTSStatusVideo) && out.videoSize > 0)
        videoRead = ReadFirstVideo(out.pVideo, out.videoSize, &probe);
      probe.video |= (out.status & kTSStatusVideo) != 0 || out.videoSize > 0;
      if (audio && videoRead) break;
      if (audio || !(out.status & kTSStatusAudio)) continue;
      audio = true;
      const AudioKind kind = AudioKindOf(out);
      if (!kind.imported) probe.unimportedAudio = kind.name;
    }
  }
  if (ctx) TSCloseDemuxLib(ctx);
  if (f) std::fclose(f);
  return probe;
}

// Why the movie cannot be saved at `path`, or "" when it can be tried,
// checked before the import: what is there must be a regular file (a new
// file takes its place once the new movie is complete) or nothing, in a
// directory that exists and takes the new file.
std::string DestinationProblem(const char* path) {
  std::string problem;
  const OSErr err = CheckMovieSaveDestination(path, &problem);
  struct stat st;
  if (err != notAFileErr || ::stat(path, &st) != 0) return problem;
  const char* what = S_ISDIR(st.st_mode)                          ? "a directory"
                     : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                     : S_ISFIFO(st.st_mode)                       ? "a pipe"
                                                                  : "a special file";
  return std::string("not a regular file (") + what + "); --mov saves to a file";
}

// Why the JSON dump cannot be written to `path`, or "", checked before the
// import as the movie's destination is. A file is replaced by a new one, as
// the movie's is; a device or a pipe is written through, so it must take
// writing.
std::string DumpDestinationProblem(const char* path) {
  std::string problem;
  const OSErr err = CheckMovieSaveDestination(path, &problem, "the dump");
  if (err != noErr && err != notAFileErr) return problem;
  struct stat st;
  if (::stat(path, &st) != 0 || S_ISREG(st.st_mode)) return {};
  if (S_ISDIR(st.st_mode)) return "is a directory; --dump writes to a file";
  if (::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
    std::string why = std::strerror(errno);
    if (!why.empty()) why[0] = char(std::tolower(static_cast<unsigned char>(why[0])));
    return "cannot write the dump: " + why;
  }
  return {};
}

// Why the recording cannot be imported from `path` though it can be read,
// or "": the importer and the data handler read it more than once and at
// any position, which a pipe, a device or a socket does not allow.
std::string NotARegularFile(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return {};  // the input's own words
  const char* what = S_ISFIFO(st.st_mode) ? "a pipe" : S_ISSOCK(st.st_mode) ? "a socket" : "a device";
  return std::string("not a regular file (") + what +
         "): the recording is read again at any position while the movie is built and played, so mtsimport "
         "needs it in a file; save it to one first";
}

// Whether two destinations name one file: the same file by any name, or,
// where nothing is yet, the same name in the same directory once symbolic
// links (dangling ones too, which the save follows) are followed. Files and
// directories are told by what the names reach (device and inode), never by
// their paths, which differ for one directory reached through a bind mount.
bool SameDestination(const char* a, const char* b) {
  struct stat sa, sb;
  const bool hasA = ::stat(a, &sa) == 0, hasB = ::stat(b, &sb) == 0;
  if (hasA || hasB) return hasA && hasB && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  struct Place {
    struct stat dir {};
    bool found = false;
    std::string name;
  };
  auto where = [](std::string path) {
    const std::string followed = tools::FollowLinks(path);
    if (!followed.empty()) path = followed;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Place p;
    p.found = ::stat(dir.c_str(), &p.dir) == 0;
    p.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!p.found) p.name = dir + "/" + p.name;  // a save there fails anyway; the text decides
    return p;
  };
  const Place pa = where(a), pb = where(b);
  if (pa.found != pb.found || pa.name != pb.name) return false;
  return !pa.found || (pa.dir.st_dev == pb.dir.st_dev && pa.dir.st_ino == pb.dir.st_ino);
}

// Why the importer does not take `path` as a recording, in words: named as
// what it is when it is a transport stream of bare 188-byte packets.
std::string NotARecording(const char* path) {
  std::vector<uint8_t> head(tools::kTransportStreamProbeBytes);
  FILE* f = std::fopen(path, "rb");
  head.resize(f ? std::fread(head.data(), 1, head.size(), f) : 0);
  if (f) std::fclose(f);
  if (tools::TransportStreamPacketSize(head.data(), head.size()) == 188)
    return "an MPEG transport stream of 188-byte packets; mtsimport imports only recordings of 192-byte packets "
           "(.MTS, .m2ts: each transport packet behind a 4-byte arrival time)";
  return "not an MPEG transport stream of 192-byte packets";
}

// A failed import in words, as precisely as the recording and its name
// allow. `spec` holds the full path when it could be made.
std::string FailureText(ComponentResult r, const char* input, const FSSpec& spec) {
  const std::string code = " (" + std::to_string(r) + ")";
  // Video of another coding is named.
  if (r == invalidMovie) {
    const std::string kind = ProbeStream(input).videoKind;
    if (!kind.empty()) return "the video is " + kind + ", not H.264, the only video the importer takes" + code;
  }
  // The record store says what happened to it.
  if (const char* problem = MTS_Problem(static_cast<int>(r))) return problem + code;
  // The record that the data handler reads names the file by its full path,
  // UTF-8 text of at most 1,023 bytes.
  if (spec.path[0] == '\0') {
    std::string full = input;
    if (full[0] != '/') {
      char* cwd = ::getcwd(nullptr, 0);
      full = std::string(cwd ? cwd : "") + "/" + full;
      std::free(cwd);
    }
    if (full.size() >= sizeof spec.path)
      return "path too long: " + std::to_string(full.size()) + " bytes as a full path, the importer takes at most " +
             std::to_string(sizeof spec.path - 1) + code;
  }
  if (r == invalidDataRef) {
    CFStringRef text = CFStringCreateWithCString(nullptr, spec.path, kCFStringEncodingUTF8);
    if (text == nullptr) return "the path is not UTF-8 text, which the importer needs to name the file" + code;
    CFRelease(text);
  }
  // "No usable video" said more precisely when the stream has video PES.
  if (r == invalidMovie && ProbeStream(input).video) return "no usable H.264 picture in the video stream" + code;
  return tools::DescribeCode(tools::CodeSource::kComponents, r);
}

// The camera's time code, recording date and model come from its user data
// in the video, and only for the camera models the importer knows. For any
// other recording the summary says why the movie has none.
void PrintCameraData(ComponentInstance importer, const std::function<const StreamProbe&()>& stream) {
  const auto* store = reinterpret_cast<const MTS_MovieImportGlobalsRecord*>(GetComponentInstanceStorage(importer));
  if (store == nullptr || store->isCamera) return;
  const StreamProbe& probe = stream();
  const char* none = "camera: no time code, recording date or camera model: ";
  if (!probe.cameraData) {
    std::fprintf(summary, "%sthe video carries no camera user data\n", none);
    return;
  }
  std::fprintf(summary,
               "%sthey are read only from the camera models the importer knows (model tag 0x0103, codes 0x0403 "
               "to 0x04FF); this recording names tag 0x%04X, code 0x%04X\n",
               none, unsigned(probe.camera.modelTag & 0xFFFF), unsigned(probe.camera.modelCode & 0xFFFF));
}

// One warning line when the recording was damaged: the bytes before its
// first packet that the import skipped, a packet it ends inside whose loss
// is not told otherwise, the time of the video and sound PES
// the importer found missing between those it read, and the pictures and
// sound frames the movie holds although packets of theirs were lost or
// repeated.
void WarnOfRecordingDamage(ComponentInstance importer, const char* input) {
  const auto* store = reinterpret_cast<const MTS_MovieImportGlobalsRecord*>(GetComponentInstanceStorage(importer));
  if (store == nullptr) return;
  auto seconds = [](int64_t ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(ticks) / 90000.0);
    return std::string(text);
  };
  auto both = [](const std::string& a, const std::string& b) { return a.empty() || b.empty() ? a + b : a + " and " + b; };
  std::string lost;
  if (store->videoLostTicks > 0) lost = seconds(store->videoLostTicks) + " of video";
  if (store->soundLostTicks > 0) lost = both(lost, seconds(store->soundLostTicks) + " of sound");
  auto count = [](int32_t n, const char* one, const char* many) {
    return n > 0 ? std::to_string(n) + " " + (n == 1 ? one : many) : std::string();
  };
  const int32_t pictures = store->videoDamagedPictures, frames = store->soundDamagedFrames;
  const std::string incomplete =
      both(count(pictures, "picture", "pictures"), count(frames, "sound frame", "sound frames"));
  const int64_t junk = store->bytesBeforeFirstPacket;
  if (store->videoEndUnchecked)
    tools::Report(kTool, std::string("warning: ") + input +
                             ": the end could not be checked: the last picture may be cut short (" +
                             (store->videoEndUnchecked == 2
                                  ? "the memory to decode it ran out"
                                  : "it lies too far from an intra picture to be decoded") +
                             ")");
  const int32_t cut = store->endCutBytes;
  if (lost.empty() && incomplete.empty() && junk <= 0 && cut <= 0) return;
  std::string what;
  if (junk > 0) what = std::to_string(junk) + " bytes before the first packet skipped";
  if (cut > 0)
    what += (what.empty() ? "" : "; ") + std::string("it ends ") + std::to_string(cut) +
            (cut == 1 ? " byte" : " bytes") + " into a packet, whose content is lost";
  if (!lost.empty()) what += (what.empty() ? "" : "; ") + lost + " could not be read and are left out of the movie";
  if (!incomplete.empty())
    what += (what.empty() ? "" : "; ") + incomplete + (pictures + frames == 1 ? " is" : " are") + " incomplete";
  tools::WarnOfDamage(kTool, input, "recording", what);
}

// How far an idle import has come, after each idle call: the seconds of
// video read so far, the share of the recording's bytes behind them, and the
// seconds the movie holds ("read 12.0 s, 45 % of the recording (31.5 MB of
// 70.7 MB); 8.5 s in the movie"). The importer puts what it read into the
// movie only at every twentieth call, and the length the movie is first
// given comes from the first and last time stamps, which a joined recording
// does not follow: so the line counts the recording's bytes.
std::string IdleProgress(ComponentInstance importer, Movie movie, bool complete) {
  const auto* store = reinterpret_cast<const MTS_MovieImportGlobalsRecord*>(GetComponentInstanceStorage(importer));
  if (store == nullptr || store->fileSize <= 0) return {};
  const TimeScale scale = store->videoMedia ? GetMediaTimeScale(store->videoMedia) : 0;
  const int64_t read = complete ? store->fileSize : std::clamp<int64_t>(store->ts_offset, 0, store->fileSize);
  TimeValue loaded = 0;
  CallComponentSelector(importer, SInt16(26), &loaded);
  char line[160];
  std::snprintf(line, sizeof line, "read %.1f s, %d %% of the recording (%.1f MB of %.1f MB); %.1f s in the movie",
                Seconds(store->videoEndTime, scale), int(read * 100 / store->fileSize), double(read) / 1e6,
                double(store->fileSize) / 1e6, Seconds(loaded, GetMovieTimeScale(movie)));
  return line;
}

// Idle calls until the importer reports completion, as a host would make
// them: each after the delay the importer asked for. On a terminal each call
// writes over the line of the last one how far the import has come.
ComponentResult DriveIdle(ComponentInstance importer, IdleManager im, Movie movie) {
  const bool terminal = isatty(STDERR_FILENO);
  int32_t outFlags = 0;
  size_t shown = 0;
  while (!(outFlags & kMTSOutFlagComplete)) {
    TimeValue delta = 0;
    TimeScale scale = 0;
    if (QTIdleManagerGetNextIdleTimeDelta(im, &delta, &scale) == noErr && scale > 0 && delta > 0)
      std::this_thread::sleep_for(std::chrono::microseconds(int64_t(delta) * 1000000 / scale));
    ComponentResult r = CallComponentSelector(importer, SInt16(23), int32_t(0), &outFlags);
    if (r != noErr) {
      if (terminal && shown > 0) std::fprintf(stderr, "\n");
      return r;
    }
    if (terminal) {
      const std::string line = IdleProgress(importer, movie, (outFlags & kMTSOutFlagComplete) != 0);
      // Blanks wipe what a longer line before left.
      std::fprintf(stderr, "\r%s%*s", line.c_str(), int(shown > line.size() ? shown - line.size() : 0), "");
      shown = line.size();
    }
  }
  if (terminal && shown > 0) std::fprintf(stderr, "\n");
  return noErr;
}

// Reads the command line into `*o`: -1 when it can be used, else the exit
// status of the usage error it has reported.
int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    int rc = -1;
    if (a == "--dump" || a == "--mov") {
      rc = tools::TakeOptionValue(kTool, kHelp, argc, argv, &i, a == "--dump" ? &o->dump : &o->mov, "a file name");
    } else if (a == "--idle") {
      o->idle = true;
    } else {
      rc = tools::TakeCommonArgument(kTool, kHelp, argv[i], &o->input, &o->verbose);
    }
    if (rc >= 0) return rc;
  }
  if (!o->input) return tools::UsageError(kTool, kHelp, "no recording given");
  if (tools::IsStandardOutput(o->mov))
    return tools::UsageError(kTool, kHelp,
                             "--mov -: a QuickTime movie cannot be written to standard output (its sizes are "
                             "written after its samples); give a file name");
  return -1;
}

// What is checked before the import: the recording is a regular file, and
// the movie and the dump can be saved where they are to go without taking
// the place of the recording or of each other. -1 to go on, else the exit
// status, the problem said.
int CheckBeforeImport(const Options& o) {
  if (std::strcmp(o.input, "-") == 0) {
    tools::Report(kTool, "-: a recording cannot be imported from standard input: it is read again at any position "
                         "while the movie is built and played, so it must be a file (h264dec and ac3dec read "
                         "standard input from '-')");
    return tools::kExitFailed;
  }
  // A pipe is refused before it is opened, which would wait for a writer.
  std::string problem = NotARegularFile(o.input);
  if (problem.empty()) problem = tools::InputProblem(o.input);
  if (!problem.empty()) {
    tools::Report(kTool, std::string(o.input) + ": " + problem);
    return tools::kExitFailed;
  }
  // The recording as the destination would be replaced by the movie or the
  // dump, and lost; so would the dump by the movie, saved after it.
  for (const char* out : {o.mov, o.dump}) {
    problem = tools::ReplacesInput(out, o.input, "recording", "imported", out == o.mov ? "the movie" : "the dump");
    if (problem.empty()) continue;
    tools::Report(kTool, std::string(out) + ": " + problem);
    return tools::kExitFailed;
  }
  if (o.mov && o.dump && !tools::IsStandardOutput(o.dump) && SameDestination(o.mov, o.dump)) {
    tools::Report(kTool, std::string(o.dump) + ": is also the movie's destination (--mov " + o.mov +
                             "); the movie would replace the dump: give each its own file");
    return tools::kExitFailed;
  }
  problem = o.mov ? DestinationProblem(o.mov) : std::string();
  if (!problem.empty()) {
    tools::Report(kTool, std::string(o.mov) + ": " + problem);
    return tools::kExitFailed;
  }
  problem = o.dump && !tools::IsStandardOutput(o.dump) ? DumpDestinationProblem(o.dump) : std::string();
  if (!problem.empty()) {
    tools::Report(kTool, std::string(o.dump) + ": " + problem);
    return tools::kExitFailed;
  }
  return -1;
}

// Imports the recording into `movie` through `importer`, driving an idle
// import to its end. Returns the exit status, a failure said.
int Import(ComponentInstance importer, Movie movie, IdleManager im, const Options& o) {
  FSSpec spec{};
  ComponentResult r = FSPathMakeFSSpec(o.input, &spec);
  Boolean valid = 0;
  // The importer's own test of the file: a sync byte behind the first
  // packet's 4-byte arrival time.
  if (r == noErr && (CallComponentSelector(importer, SInt16(14), &spec, static_cast<Handle>(nullptr), &valid) != noErr ||
                     !valid)) {
    tools::Report(kTool, std::string(o.input) + ": " + NotARecording(o.input));
    return tools::kExitFailed;
  }
  int32_t outFlags = 0;
  if (r == noErr) {
    Track used = nullptr;
    TimeValue added = 0;
    r = CallComponentSelector(importer, SInt16(2), &spec, movie, static_cast<Track>(nullptr), &used, TimeValue(0),
                              &added, int32_t(o.idle ? kMTSInFlagIdle : 0), &outFlags);
  }
  if (r == noErr && o.idle && !(outFlags & kMTSOutFlagComplete)) r = DriveIdle(importer, im, movie);
  if (r == noErr) return tools::kExitOk;
  tools::Report(kTool, std::string(o.input) + ": " + FailureText(r, o.input, spec));
  return tools::kExitFailed;
}

// Prints what the movie holds and what of the recording it left out.
void PrintMovie(ComponentInstance importer, Movie movie, const Options& o) {
  WarnOfRecordingDamage(importer, o.input);
  // The recording's start is read again only for what the summary needs of it.
  std::optional<StreamProbe> probed;
  const std::function<const StreamProbe&()> probe = [&]() -> const StreamProbe& {
    if (!probed) probed = ProbeStream(o.input);
    return *probed;
  };
  bool hasSound = false, onePicture = false;
  for (SInt32 i = 1; i <= GetMovieTrackCount(movie); ++i) {
    Media media = GetTrackMedia(GetMovieIndTrack(movie, i));
    hasSound |= media && GetMediaType(media) == SoundMediaType;
    onePicture |= media && GetMediaType(media) == VideoMediaType && GetMediaSampleCount(media) == 1;
  }
  PrintSummary(movie, onePicture ? probe().spsRate : 0);
  PrintCameraData(importer, probe);
  const std::string audio = hasSound ? std::string() : probe().unimportedAudio;
  if (!audio.empty())
    std::fprintf(summary, "audio: %s is not imported (sound tracks are made of LPCM mono or stereo and AC-3 2/0 "
                          "or 3/2+LFE only)\n", audio.c_str());
  // Audio of another kind than the sound track's (a recording joined from
  // parts of different audio) is left out: the sound track holds one kind.
  // Without a sound track the line above says it all.
  const auto* store = reinterpret_cast<const MTS_MovieImportGlobalsRecord*>(GetComponentInstanceStorage(importer));
  if (store && store->leftOutSound && hasSound) {
    for (const MTS_LeftOutSound& left : *store->leftOutSound) {
      const std::string until = left.to != 0 ? " to byte " + std::to_string(left.to) : " on";
      std::fprintf(summary, "audio: %s from byte %lld%s is not imported (the sound track holds %s only)\n",
                   SoundKindName(left.kind, store->soundKind).c_str(), static_cast<long long>(left.from),
                   until.c_str(), SoundKindName(store->soundKind, left.kind).c_str());
    }
  }
  // Pictures of another size than the first (a recording joined from parts
  // of different sizes) are left out: the video track describes one size.
  if (store && store->leftOutVideo) {
    for (const MTS_LeftOutVideo& left : *store->leftOutVideo) {
      const std::string until = left.to != 0 ? " to byte " + std::to_string(left.to) : " on";
      std::fprintf(summary, "video: pictures of %dx%d from byte %lld%s are not imported (the video track holds "
                            "%dx%d pictures only)\n",
                   left.width, left.height, static_cast<long long>(left.from), until.c_str(), store->width,
                   store->height);
    }
  }
}

// Writes the dump and saves the movie where the options ask, each to a new
// file that takes its destination's place only once both are complete: a
// run that fails on the way leaves what was there as it was. A dump to
// standard output or through a device goes out last, after the files are
// written. Returns the exit status, a failure said.
int SaveOutputs(Movie movie, const Options& o) {
  std::string problem;
  auto dumpFailed = [&] {
    // A file's save says what could not be done; a device's write, why.
    if (problem.rfind("cannot ", 0) != 0) problem = "cannot write the movie dump: " + problem;
    tools::Report(kTool, std::string(o.dump) + ": " + problem);
    return tools::kExitFailed;
  };
  struct stat st;
  const bool toFile = o.dump && !tools::IsStandardOutput(o.dump) && (::stat(o.dump, &st) != 0 || S_ISREG(st.st_mode));
  SaveGroup group;
  if (toFile && WriteMovieJSON(movie, o.dump, &problem, &group) != noErr) return dumpFailed();
  if (o.mov) {
    const OSErr err = SaveMovieAsQuickTimeFile(movie, o.mov, &problem, &group);
    if (err != noErr) {
      // The save's own words first, then the store's, then the code's.
      const char* storeProblem = MTS_Problem(err);
      std::string why = problem;
      if (why.empty() && storeProblem) why = storeProblem + (" (" + std::to_string(err) + ")");
      if (why.empty()) why = tools::DescribeCode(tools::CodeSource::kComponents, err);
      tools::Report(kTool, std::string(o.mov) + ": cannot save the movie: " + why);
      return tools::kExitFailed;
    }
  }
  if (tools::IsStandardOutput(o.dump)) {
    std::fputs(MovieToJSON(movie).c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return tools::kExitFailed;  // said when standard output closes
  } else if (o.dump && !toFile && WriteMovieJSON(movie, o.dump, &problem) != noErr) {
    return dumpFailed();
  }
  if (group.Commit(&problem) == noErr) return tools::kExitOk;
  tools::Report(kTool, problem);
  return tools::kExitFailed;
}

// The importer, the movie and the idle manager of a run, given back however
// the run ends: the importer's and the data handlers' shared-memory regions
// go with them, also when memory runs out on the way.
struct Session {
  ComponentInstance importer = nullptr;
  Movie movie = nullptr;
  IdleManager im = nullptr;
  ~Session() {
    if (importer) CloseComponent(importer);
    if (movie) DisposeMovie(movie);
    if (im) QTIdleManagerClose(im);
  }
};

// Everything after --help and --version: the options, the checks, the
// import and its outputs. Returns the exit status, a failure said.
int Run(int argc, char** argv, std::string* input) {
  Options o;
  const int usage = ParseOptions(argc, argv, &o);
  if (usage >= 0) return usage;
  *input = o.input;
  std::string problem;
  if (!tools::SelectProcessorVariant(&problem)) {
    tools::Report(kTool, problem);
    return tools::kExitUsage;
  }
  if (tools::IsStandardOutput(o.dump)) summary = stderr;
  PrintLogSetEnabled(o.verbose);
  if (o.verbose) std::fprintf(stderr, "mtsimport: primitives: %s variant\n", tools::ProcessorVariantName());
  const int refused = CheckBeforeImport(o);
  if (refused >= 0) return refused;

  CallComponentRegisterSelector(MTS_MovieImportComponentDispatch);
  CallComponentRegisterSelector(MTS_DataHComponentDispatch);
  Session s;
  const OSErr opened = OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &s.importer);
  if (opened != noErr) {
    // The importer's open fails only where memory runs short, which it says.
    const char* why = MTS_Problem(opened);
    tools::Report(kTool, std::string("cannot open the movie importer") + (why ? std::string(": ") + why : ""));
    return tools::kExitFailed;
  }
  s.movie = NewMovie(0);
  s.im = QTIdleManagerOpen();
  if (!s.movie || !s.im) {  // neither fails but for memory
    tools::Report(kTool, std::string(o.input) + ": " +
                             tools::OutOfMemory(!s.movie ? "a new movie" : "the idle manager that paces the import"));
    return tools::kExitFailed;
  }
  CallComponentSelector(s.importer, SInt16(30), s.im);
  int status = Import(s.importer, s.movie, s.im, o);
  if (status == tools::kExitOk) {
    PrintMovie(s.importer, s.movie, o);
    if (!readBackProblem.empty()) {
      tools::Report(kTool, std::string(o.input) + ": cannot read the time codes back: " + readBackProblem);
      return tools::kExitFailed;
    }
    status = SaveOutputs(s.movie, o);
  }
  return status;
}

}  // namespace

// Writes past the file-size limit (ulimit -f), into the record store or the
// saved movie, and to a closed pipe, fail and are reported; so does memory
// that runs out ("FILE: out of memory for the import: ...").
int main(int argc, char** argv) { return tools::RunTool(kTool, kHelp, "the import", argc, argv, Run); }
