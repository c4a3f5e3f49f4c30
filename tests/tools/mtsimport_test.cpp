// The main job end to end: mtsimport on recordings, its summary, and (where
// ffmpeg is installed) the saved QuickTime movie checked by ffprobe and
// decoded by ffmpeg: the video to exactly the reference pictures, LPCM sound
// to exactly the recording's PCM from about the first picture to the last.
// Saves that fail or are refused, and movies of recordings cut short.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "testsupport.h"

// The start of a shell command that runs a Python script with the join
// tool (tests/tools/join_parts.py) imported as J; the script follows, its
// closing quote after it.
#define JOIN_PARTS "python3 -c 'import sys; sys.path.insert(0, \"" AVCHD_REPO_ROOT "/tests/tools\"); import join_parts as J; "

namespace {

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  *status = pclose(p);
  return out;
}

bool HaveFfmpeg() {
  int status = 0;
  RunCommand("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1", &status);
  return status == 0;
}

std::string Temp(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/mtsimport_" + std::to_string(getpid()) + "_" + name;
}

// The seconds the sound track of a summary plays ("in track"), -1 without one.
double SoundSecondsInTrack(const std::string& summary) {
  const size_t sound = summary.find("'soun': ");
  const size_t at = sound == std::string::npos ? sound : summary.find("in track ", sound);
  double seconds = -1;
  if (at != std::string::npos) std::sscanf(summary.c_str() + at, "in track %lf", &seconds);
  return seconds;
}

// The MD5 column of a framemd5 listing.
std::vector<std::string> FrameMd5s(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    out.push_back(line.substr(line.rfind(',') + 1));
    out.back().erase(std::remove(out.back().begin(), out.back().end(), ' '), out.back().end());
  }
  return out;
}

struct Case {
  const char* file;
  bool committed;
  std::vector<std::string> summary;  // lines the summary must hold
  bool lpcm;          // else AC-3
  int channels;       // coded channels
  int bytesPerSample;
};

const Case kCases[] = {
    {"importer/importer_lpcm_20.m2ts", true,
     {"track 1 'vide': 30 samples", "frame rate  25.000 (25/1)", "fields      progressive (fiel 1, 0)",
      "pixel aspect 1:1", "first  10:00:00:00 (frame 900000)", "last   10:00:01:04 (frame 900029)",
      "description: \"QORVEX Importer : QORVEX (LPCM)         \""},
     true, 2, 2},
    {"importer/importer_lpcm_mono24.m2ts", true,
     {"picture     176x144", "'lpcm' 48000 Hz, 2 channels, 24 bits, flags 14",
      "description: \"QORVEX Importer : ----------------------\"",
      "camera: no time code, recording date or camera model: the video carries no camera user data"},
     true, 2, 3},
    {"importer/importer_ac3_51_i.m2ts", true,
     {"'sowt' 48000 Hz, 6 channels, 16 bits", "frame rate  29.970 (30000/1001)", "fields      interlaced, field order not read from the stream (fiel 2, 9)", "pixel aspect 4:3",
      "first  00:00:59;26 (frame 1796)", "last   00:01:00;27 (frame 1825)"},
     false, 6, 2},
    {"sample.m2ts", true, {"track 1 'vide': 50 samples", "'sowt' 48000 Hz, 2 channels, 16 bits"}, false, 2, 2},
    // Field pictures sent one PES per field: a sample per frame.
    {"importer/importer_paff_fields.m2ts", true,
     {"track 1 'vide': 7 samples, media 0.234 s", "fields      interlaced, field order not read from the stream (fiel 2, 9)"}, false, 2, 2},
    {"avchd/small_lpcm_20_avchd.m2ts", false, {"track 1 'vide': 50 samples"}, true, 2, 2},
    {"avchd/small_ac3_20_avchd.m2ts", false, {"'sowt' 48000 Hz, 2 channels, 16 bits"}, false, 2, 2},
    // No sound track for 5.1 LPCM: the summary says so, and the import succeeds.
    {"avchd/small_lpcm_51_avchd.m2ts", false, {"track 1 'vide': 50 samples", "audio: LPCM 5.1 is not imported"}, true, 6, 2},
};

class Mtsimport : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(Mtsimport, SummaryAndSavedMovie) {
  const Case& c = GetParam();
  std::string input;
  if (c.committed) {
    input = testsupport::local_data_file(c.file);
  } else {
    AVCHD_REQUIRE_TESTDATA(p, c.file);
    input = p;
  }
  const std::string json = Temp("movie.json"), mov = Temp("movie.mov");
  int status = 0;
  const std::string summary =
      RunCommand(std::string(MTSIMPORT) + " --dump " + json + " --mov " + mov + " " + input + " 2>/dev/null", &status);
  ASSERT_EQ(status, 0) << summary;
  for (const std::string& line : c.summary) EXPECT_NE(summary.find(line), std::string::npos) << line << "\n" << summary;
  const std::string dump = testsupport::read_text(json);
  EXPECT_NE(dump.find("\"avc1\""), std::string::npos);
  EXPECT_NE(dump.find("\"MTSI\""), std::string::npos);

  if (!HaveFfmpeg()) {
    std::remove(json.c_str());
    std::remove(mov.c_str());
    GTEST_SKIP() << "ffmpeg is not installed: the saved movie is not checked";
  }
  const std::string streams =
      RunCommand("ffprobe -v error -show_entries stream=codec_type -show_format " + mov, &status);
  EXPECT_NE(streams.find("codec_type=video\n"), std::string::npos);
  // The movie's description, the one the summary names, is in the file.
  const size_t said = summary.find("description: \"");
  ASSERT_NE(said, std::string::npos) << summary;
  const std::string text = summary.substr(said + 14, summary.find('"', said + 14) - said - 14);
  EXPECT_EQ(text.size(), 40u) << text;
  EXPECT_NE(streams.find("\nTAG:com.apple.quicktime.description=" + text + "\n"), std::string::npos) << streams;

  // The whole movie decodes without a word (the second output), and its
  // pictures are the recording's, exactly.
  const testsupport::CommandResult whole =
      testsupport::run_command("ffmpeg -v error -i " + mov + " -map 0:v -f framemd5 - -f null -");
  EXPECT_EQ(whole.exit, 0) << whole.err;
  EXPECT_EQ(whole.err, "");
  const std::string decoded = whole.out;
  const std::string reference = RunCommand("ffmpeg -v error -i " + input + " -map 0:v -f framemd5 -", &status);
  EXPECT_EQ(FrameMd5s(decoded), FrameMd5s(reference));

  // LPCM: exactly the span of the recording's PCM that the import inserts,
  // computed from the PES time stamps. It opens at the first audio PES that
  // starts within its own length of the first picture, at the picture's time
  // in it (at the media's start when there is none; formerly the very first
  // PES was passed over, and the track started with the next: 26.7 ms early
  // on a camera's AC-3); it closes with the last PES that starts under the
  // last picture (formerly by its start, losing the sound of its time), at
  // most the video's length after the opening; edits last whole movie time
  // units (one frame of 25 per second here).
  if (streams.find("audio") != std::string::npos) {
    const std::string format = c.bytesPerSample == 2 ? "s16le" : "s24le";
    const std::string codec = c.bytesPerSample == 2 ? "pcm_s16le" : "pcm_s24le";
    // LPCM: the first channel, against ffmpeg's reading of the recording.
    // AC-3: every channel, against the whole stream decoded by our AC-3
    // decoder (ac3dec), which the data handler must reproduce exactly.
    const std::string decode = std::string(" -map 0:a ") + (c.lpcm ? "-af 'pan=mono|c0=c0' " : "") + "-c:a " +
                               codec + " -f " + format + " -";
    const std::string movPcm = RunCommand("ffmpeg -v error -i " + mov + decode, &status);
    std::string refPcm;
    if (c.lpcm) {
      refPcm = RunCommand("ffmpeg -v error -i " + input + decode, &status);
    } else {
      const std::string es = Temp("audio.ac3"), pcm = Temp("audio.pcm");
      RunCommand("ffmpeg -v error -y -i " + input + " -map 0:a -c copy -f ac3 " + es, &status);
      RunCommand(std::string(AC3DEC) + " " + es + " -o " + pcm + " >/dev/null 2>&1", &status);
      refPcm = testsupport::read_text(pcm);
      std::remove(es.c_str());
      std::remove(pcm.c_str());
    }
    const size_t frameBytes = size_t(c.bytesPerSample) * (c.lpcm ? 1 : size_t(c.channels));

    std::vector<int64_t> videoPts;
    std::vector<std::pair<int64_t, int64_t>> audio;  // PTS, sample frames
    std::istringstream packets(
        RunCommand("ffprobe -v error -show_entries packet=stream_index,pts,size -of csv=p=0 " + input, &status));
    std::string line;
    while (std::getline(packets, line)) {
      int stream = 0;
      long long pts = 0, size = 0;
      if (std::sscanf(line.c_str(), "%d,%lld,%lld", &stream, &pts, &size) != 3) continue;
      if (stream == 0) videoPts.push_back(pts);
      else audio.emplace_back(pts, c.lpcm ? (size - 4) / (c.channels * c.bytesPerSample) : 1536);
    }
    ASSERT_FALSE(videoPts.empty());
    ASSERT_FALSE(audio.empty());
    const int64_t firstVideo = *std::min_element(videoPts.begin(), videoPts.end());
    const int64_t lastVideo = *std::max_element(videoPts.begin(), videoPts.end());
    const int64_t period = videoPts.size() > 1 ? (lastVideo - firstVideo) / int64_t(videoPts.size() - 1) : 1;
    int64_t start = -1, end = 0, media = 0;
    for (const auto& [pts, frames] : audio) {
      const int64_t distance = std::llround(double(std::llabs(pts - firstVideo)) * 48000 / 90000);
      if (start < 0 && frames > distance) start = media + (pts < firstVideo ? distance : 0);
      media += frames;
      if (pts < lastVideo + period) end = media;
    }
    if (start < 0) start = 0;  // never placed: the range opens at the media's start
    // The video's length in sound samples, from its picture period.
    const double samplesPerPicture =
        videoPts.size() > 1 ? double(lastVideo - firstVideo) / double(videoPts.size() - 1) * 48000.0 / 90000.0 : 0;
    end = std::min<int64_t>(end, start + std::llround(double(videoPts.size()) * samplesPerPicture));
    int movieScale = 0;
    std::sscanf(summary.c_str() + summary.find("(time scale"), "(time scale %d", &movieScale);
    ASSERT_GT(movieScale, 0);
    const int64_t got = int64_t(movPcm.size() / frameBytes);
    // ffmpeg plays the sample that holds the edit's end to that sample's end:
    // up to one PES more than the edit.
    int64_t longest = 0;
    for (const auto& a : audio) longest = std::max(longest, a.second);
    if (48000 % movieScale == 0) {
      const int64_t perUnit = 48000 / movieScale;
      EXPECT_GE(got, (end - start) / perUnit * perUnit);
      EXPECT_LE(got, std::min(media - start, (end - start) / perUnit * perUnit + longest));
    } else {
      EXPECT_LE(got, std::min(media - start, end - start + longest));
      EXPECT_GE(got, end - start - 2 * (48000 / movieScale + 1));
    }
    ASSERT_GE(refPcm.size(), size_t(start + got) * frameBytes);
    EXPECT_TRUE(movPcm == refPcm.substr(size_t(start) * frameBytes, size_t(got) * frameBytes))
        << "the saved sound is not the recording's PCM from sample " << start;
  }
  std::remove(json.c_str());
  std::remove(mov.c_str());
}

INSTANTIATE_TEST_SUITE_P(Streams, Mtsimport, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string n = info.param.file;
                           n = n.substr(n.find('/') + 1);
                           return n.substr(0, n.find('.'));
                         });

TEST(MtsimportCommand, UsageAndUnreadableInput) {
  int status = 0;
  RunCommand(std::string(MTSIMPORT) + " 2>/dev/null", &status);
  EXPECT_NE(status, 0);
  RunCommand(std::string(MTSIMPORT) + " /nonexistent/file.m2ts 2>/dev/null", &status);
  EXPECT_NE(status, 0);
}

// The camera's time code, date and model are read only from the camera
// models the importer knows; the summary says why a movie has none, and
// says nothing of it when it has them.
TEST(MtsimportCommand, SaysWhyThereIsNoCameraData) {
  const std::string known = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  std::vector<uint8_t> bytes = testsupport::read_file(known);
  // The model code entry of every picture's user data, 0x0412, made 0x0210.
  const uint8_t entry[] = {0xE0, 0x01, 0x03, 0x04, 0x12};
  size_t patched = 0;
  for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), entry, entry + 5)) != bytes.end(); at += 5) {
    at[3] = 0x02;
    at[4] = 0x10;
    ++patched;
  }
  ASSERT_GT(patched, 20u);
  const std::string unknown = Temp("unknown_model.m2ts");
  FILE* f = std::fopen(unknown.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  const testsupport::CommandResult a = testsupport::run_command(std::string(MTSIMPORT) + " " + unknown);
  const testsupport::CommandResult b = testsupport::run_command(std::string(MTSIMPORT) + " " + known);
  std::remove(unknown.c_str());
  ASSERT_EQ(a.exit, 0) << a.err;
  EXPECT_EQ(a.out.find("'tmcd'"), std::string::npos) << a.out;
  EXPECT_NE(a.out.find("camera: no time code, recording date or camera model: they are read only from the camera "
                       "models the importer knows (model tag 0x0103, codes 0x0403 to 0x04FF); this recording names "
                       "tag 0x0103, code 0x0210\n"),
            std::string::npos)
      << a.out;
  ASSERT_EQ(b.exit, 0) << b.err;
  EXPECT_NE(b.out.find("'tmcd'"), std::string::npos) << b.out;
  EXPECT_EQ(b.out.find("camera:"), std::string::npos) << b.out;
}

TEST(MtsimportCommand, IdleImport) {
  int status = 0;
  const std::string summary =
      RunCommand(std::string(MTSIMPORT) + " --idle " + testsupport::local_data_file("importer/importer_lpcm_20.m2ts") +
              " 2>/dev/null",
          &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(summary.find("track 1 'gnrc'"), std::string::npos) << summary;
  EXPECT_NE(summary.find("'vide': 30 samples"), std::string::npos) << summary;
}

// "--dump -": the JSON alone on standard output, the summary on standard
// error; the components' log stays quiet.
TEST(MtsimportCommand, DumpToStandardOutput) {
  const testsupport::CommandResult r = testsupport::run_command(
      std::string(MTSIMPORT) + " --dump - " + testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  ASSERT_EQ(r.exit, 0) << r.err;
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_NE(r.out.find("\"avc1\""), std::string::npos);
  EXPECT_EQ(r.out.find("movie:"), std::string::npos);
  EXPECT_NE(r.err.find("track 1 'vide': 30 samples"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("[ERR]"), std::string::npos) << r.err;
}

// A private folder, removed with what it holds.
struct Folder {
  std::string path = Temp("folder");
  Folder() { testsupport::run_command("rm -rf " + path + " && mkdir -m 700 " + path); }
  ~Folder() { testsupport::run_command("rm -rf " + path); }
  std::string entries() const { return testsupport::run_command("ls -A " + path).out; }
};

// An idle import of a recording longer than the part read at once (64 MiB;
// here three copies of a 10 s 1080i recording joined): idle calls, half a
// second apart, import the rest, and the movie is the one a plain import
// makes, with the generic placeholder track that the help names first.
TEST(MtsimportCommand, IdleImportOfALongRecording) {
  const testsupport::CommandResult help = testsupport::run_command(std::string(MTSIMPORT) + " --help");
  EXPECT_NE(help.out.find("generic ('gnrc') placeholder track"), std::string::npos) << help.out;
  AVCHD_REQUIRE_TESTDATA(part, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  testsupport::run_command("cat " + part + " " + part + " " + part + " > " + joined);
  struct stat st {};
  ASSERT_EQ(::stat(joined.c_str(), &st), 0);
  ASSERT_GT(st.st_size, 64 << 20);
  const std::string command = std::string(MTSIMPORT) + " --mov " + folder.path;
  const testsupport::CommandResult plain = testsupport::run_command(command + "/plain.mov " + joined);
  const testsupport::CommandResult idle = testsupport::run_command(command + "/idle.mov --idle " + joined);
  ASSERT_EQ(plain.exit, 0) << plain.err;
  ASSERT_EQ(idle.exit, 0) << idle.err;
  EXPECT_NE(idle.out.find("\ntrack 1 'gnrc': 1 samples"), std::string::npos) << idle.out;
  // Every other line as the plain import's, each track one number later.
  std::istringstream lines(plain.out);
  for (std::string line; std::getline(lines, line);) {
    int track = 0;
    char rest[256] = "";
    if (std::sscanf(line.c_str(), "track %d %255[^\n]", &track, rest) == 2)
      line = "track " + std::to_string(track + 1) + " " + rest;
    if (line.rfind("movie:", 0) != 0) {
      EXPECT_NE(idle.out.find(line + "\n"), std::string::npos) << line << "\n" << idle.out;
    }
  }
  // On a terminal, the line each idle call writes: the seconds and bytes of
  // the recording read, and what the movie holds; all of it at the end.
  const testsupport::CommandResult tty = testsupport::run_command(
      "script -qec '" + std::string(MTSIMPORT) + " --idle " + joined + " >/dev/null' /dev/null");
  if (tty.exit == 0) {
    std::vector<std::string> shown;
    std::istringstream parts(tty.out);
    for (std::string part; std::getline(parts, part, '\r');) {
      part = part.substr(0, part.find_last_not_of(" \n") + 1);
      if (!part.empty()) shown.push_back(part);
    }
    char total[32];
    std::snprintf(total, sizeof total, "%.1f MB", double(st.st_size) / 1e6);
    ASSERT_GE(shown.size(), 2u) << tty.out;
    double before = 0;
    for (const std::string& line : shown) {
      double seconds = -1;
      EXPECT_EQ(std::sscanf(line.c_str(), "read %lf s, ", &seconds), 1) << line;
      EXPECT_GE(seconds, before) << line;
      before = seconds;
      EXPECT_NE(line.find(std::string(" MB of ") + total + "); "), std::string::npos) << line;
    }
    EXPECT_EQ(shown.back(), "read 30.0 s, 100 % of the recording (" + std::string(total) + " of " + total +
                                "); 30.0 s in the movie");
  }
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the saved movies are not opened";
  // The samples themselves (stream, size and MD5 of each): the sound is
  // inserted in more pieces by the idle calls, so its edits differ.
  auto samples = [&](const std::string& mov) {
    return testsupport::run_command("ffmpeg -v error -ignore_editlist 1 -i " + folder.path + "/" + mov +
                                    " -map 0:v -map 0:a -c copy -f framemd5 - | grep -v '^#' | cut -d, -f1,5,6");
  };
  const testsupport::CommandResult a = samples("plain.mov");
  const testsupport::CommandResult b = samples("idle.mov");
  EXPECT_GT(b.out.size(), 100000u);
  const testsupport::CommandResult opened =
      testsupport::run_command("ffmpeg -v error -i " + folder.path + "/idle.mov -t 2 -f null -");
  EXPECT_EQ(opened.exit, 0) << opened.err;
  EXPECT_EQ(opened.err, "");
  EXPECT_TRUE(a.out == b.out) << "the idle import's samples differ from the plain import's";
}

// A save that fails (here at the file size limit, as on a full disk, with
// or without the limit's signal) leaves the movie that was at the
// destination as it was, and no file of its own.
TEST(MtsimportSave, AFailedSaveKeepsTheEarlierMovie) {
  const Folder folder;
  const std::string mov = folder.path + "/movie.mov";
  const std::string earlier = testsupport::local_data_file("importer/importer_ac3_51_i.m2ts");
  const std::string later = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");  // a 295 kB movie
  int status = 0;
  RunCommand(std::string(MTSIMPORT) + " --mov " + mov + " " + earlier + " >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);
  const std::vector<uint8_t> good = testsupport::read_file(mov);
  ASSERT_FALSE(good.empty());
  const testsupport::CommandResult r = testsupport::run_command(
      "bash -c 'ulimit -f 100 && trap \"\" XFSZ && exec " + std::string(MTSIMPORT) + " --mov " + mov + " " + later +
      "'");
  EXPECT_EQ(r.exit, 1) << r.err;
  // The words name the limit and what the movie needs, as the record store's
  // do: the size of the movie saved without the limit.
  const std::string limited = "mtsimport: " + mov +
                              ": cannot save the movie: the file-size limit (ulimit -f) of 102400 bytes is too small "
                              "for the movie: it needs ";
  const size_t at = r.err.find(limited);
  ASSERT_NE(at, std::string::npos) << r.err;
  const std::string whole = folder.path + "/whole.mov";
  RunCommand(std::string(MTSIMPORT) + " --mov " + whole + " " + later + " >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(std::atol(r.err.c_str() + at + limited.size()), long(testsupport::read_file(whole).size())) << r.err;
  ASSERT_EQ(::unlink(whole.c_str()), 0);
  EXPECT_NE(r.err.find(" bytes; raise the limit, then try again\n", at), std::string::npos) << r.err;
  EXPECT_TRUE(testsupport::read_file(mov) == good) << "the earlier movie is lost or changed";
  EXPECT_EQ(folder.entries(), "movie.mov\n");

  // The limit's signal, whose default ends a process, does not end the save.
  const testsupport::CommandResult signalled = testsupport::run_command(
      "bash -c 'ulimit -f 100 && exec " + std::string(MTSIMPORT) + " --mov " + mov + " " + later + "'");
  EXPECT_EQ(signalled.exit, 1) << signalled.err;
  EXPECT_EQ(signalled.err, r.err);
  EXPECT_TRUE(testsupport::read_file(mov) == good) << "the earlier movie is lost or changed";
  EXPECT_EQ(folder.entries(), "movie.mov\n");
}

// A dump that cannot be written whole (here a disk that fills up: a small
// file system of its own, where this process may make one) leaves the file
// that was at the destination as it was, and nothing of its own, as a save
// of the movie does.
TEST(MtsimportSave, AFailedDumpLeavesNothing) {
  const Folder folder;
  const std::string dump = folder.path + "/small/dump.json";
  const std::string recording = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");  // a 38 kB dump
  const testsupport::CommandResult r = testsupport::run_command(
      "unshare -m sh -c 'mkdir " + folder.path + "/small && mount -t tmpfs -o size=16k none " + folder.path +
      "/small && echo earlier > " + dump + " && " + MTSIMPORT + " --dump " + dump + " " + recording +
      " >/dev/null; echo $?; cat " + dump + "; ls -A " + folder.path + "/small'");
  if (r.exit != 0 || r.out.empty()) GTEST_SKIP() << "no file system of its own can be mounted here: " << r.err;
  EXPECT_EQ(r.out, "1\nearlier\ndump.json\n");
  EXPECT_EQ(r.err, "mtsimport: " + dump + ": cannot write the dump to a new file in " + folder.path +
                       "/small: no space left on device\n");
}

// A movie that cannot be saved (here at the file-size limit) fails the run,
// and the dump written before it does not take the place of the earlier
// one: the outputs go in place only when every one is written.
TEST(MtsimportSave, AFailedSaveKeepsTheEarlierDump) {
  const Folder folder;
  const std::string dump = folder.path + "/o.json";
  const std::string later = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");  // 38 kB, 295 kB
  const testsupport::CommandResult r = testsupport::run_command(
      "echo earlier > " + dump + " && bash -c 'ulimit -f 100 && exec " + MTSIMPORT + " --dump " + dump + " --mov " +
      folder.path + "/m.mov " + later + "'");
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_NE(r.err.find("m.mov: cannot save the movie: the file-size limit"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::read_text(dump), "earlier\n");
  EXPECT_EQ(folder.entries(), "o.json\n");
}

// A destination that is no regular file is refused before the import, in one
// line, and stays what it was.
TEST(MtsimportSave, RefusesADestinationThatIsNoFile) {
  const Folder folder;
  const std::string directory = folder.path + "/folder", fifo = folder.path + "/fifo";
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string recording = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  const struct {
    std::string path, what;
  } kCases[] = {{"/dev/full", "a device"}, {directory, "a directory"}, {fifo, "a pipe"}};
  for (const auto& c : kCases) {
    struct stat before {}, after {};
    ASSERT_EQ(::stat(c.path.c_str(), &before), 0) << c.path;
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(MTSIMPORT) + " --mov " + c.path + " " + recording);
    EXPECT_EQ(r.exit, 1) << c.path;
    EXPECT_EQ(r.out, "") << "refused before the import";
    EXPECT_EQ(r.err, "mtsimport: " + c.path + ": not a regular file (" + c.what + "); --mov saves to a file\n");
    ASSERT_EQ(::stat(c.path.c_str(), &after), 0) << c.path << " is gone";
    EXPECT_EQ(after.st_mode, before.st_mode) << c.path;
    EXPECT_EQ(after.st_rdev, before.st_rdev) << c.path;
  }
  EXPECT_EQ(folder.entries(), "fifo\nfolder\n");
}

// Another user's view, for saves where permissions decide: the command run as
// the user nobody (uid and gid 65534). Empty when this process cannot switch
// users (not root, no setpriv) or nobody cannot run mtsimport from here.
std::string AsNobody(const std::string& command) {
  const std::string prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (::geteuid() != 0 || testsupport::run_command(prefix + MTSIMPORT + " --version").exit != 0) return {};
  return prefix + command;
}

// What the save needs of the file system is checked before the import, and a
// refusal says what cannot be done where, and why.
TEST(MtsimportSave, SaysWhyBeforeTheImport) {
  const Folder folder;
  const std::string recording = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  const std::string shut = folder.path + "/shut", sticky = folder.path + "/sticky";
  ASSERT_EQ(::chmod(folder.path.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(shut.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(sticky.c_str(), 01777), 0);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  testsupport::run_command("echo kept > " + sticky + "/theirs.mov && chmod 644 " + sticky + "/theirs.mov");
  struct Refusal {
    std::string mov, said;
  };
  // A missing directory, a name too long: see MovieFile.SaysWhyASaveCannotBeMade.
  const Refusal cases[] = {
      {shut + "/movie.mov", "cannot create a file in " + shut + ": permission denied"},
      {sticky + "/theirs.mov", "cannot replace " + sticky + "/theirs.mov: the movie is saved to a new file that takes "
                               "its place once complete, so that an interrupted save leaves it as it was, and it "
                               "belongs to another user, in a directory with the sticky bit, where only its owner may "
                               "replace it; save elsewhere"},
  };
  for (const Refusal& c : cases) {
    const std::string run = AsNobody(std::string(MTSIMPORT) + " --mov " + c.mov + " " + recording);
    if (run.empty()) break;
    const testsupport::CommandResult r = testsupport::run_command(run);
    EXPECT_EQ(r.exit, 1) << c.mov;
    EXPECT_EQ(r.out, "") << "refused before the import";
    EXPECT_EQ(r.err, "mtsimport: " + c.mov + ": " + c.said + "\n");
  }
  EXPECT_EQ(testsupport::read_text(sticky + "/theirs.mov"), "kept\n");
  if (::geteuid() == 0) {
    // A read-only file system, in a mount namespace of the test's own.
    const testsupport::CommandResult r = testsupport::run_command(
        "unshare --mount sh -c 'mount -t tmpfs -o ro,size=64k none " + shut + " && exec " + MTSIMPORT + " --mov " +
        shut + "/movie.mov " + recording + "'");
    if (r.err.rfind("mtsimport: ", 0) == 0) {  // else the namespace could not be made
      EXPECT_EQ(r.err, "mtsimport: " + shut + "/movie.mov: cannot create a file in " + shut + ": read-only file system\n");
    }
  }
  if (AsNobody("true").empty()) GTEST_SKIP() << "not run as root: the cases of another user are not tried";
}

// The movie every save below writes, and whether ffmpeg opens `mov`.
const std::string kSaved = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");

void ExpectOpens(const std::string& mov) {
  if (!HaveFfmpeg()) return;
  const testsupport::CommandResult opened = testsupport::run_command("ffmpeg -v error -i " + mov + " -f null -");
  EXPECT_EQ(opened.exit, 0) << mov << "\n" << opened.err;
  EXPECT_EQ(opened.err, "") << mov;
}

// A file that no new file can replace (here nobody's writable file in
// root's folder, and a file marked immutable) is refused before the import,
// with why and what to do, and stays as it was to the byte: it is never
// written into, since a save killed half-way would leave it broken.
TEST(MtsimportSave, RefusesAFileThatNoNewFileCanReplace) {
  const Folder folder;
  ASSERT_EQ(::chmod(folder.path.c_str(), 0755), 0);
  const std::string theirs = folder.path + "/theirs.mov", fixed = folder.path + "/fixed.mov";
  const std::string because = ": the movie is saved to a new file that takes its place once complete, so that an "
                              "interrupted save leaves it as it was, and ";
  struct Refusal {
    std::string mov, run, said;
  };
  std::vector<Refusal> cases;
  const std::string asNobody = AsNobody(std::string(MTSIMPORT) + " --mov " + theirs + " " + kSaved);
  if (!asNobody.empty()) {
    testsupport::run_command("echo old > " + theirs + " && chown 65534:65534 " + theirs + " && chmod 4770 " + theirs);
    cases.push_back({theirs, asNobody,
                     "cannot replace " + theirs + because + "its directory takes no new file (permission denied); "
                     "save elsewhere, or make " + folder.path + " writable"});
  }
  testsupport::run_command("echo fixed > " + fixed);
  if (testsupport::run_command("chattr +i " + fixed + " 2>/dev/null").exit == 0) {
    cases.push_back({fixed, std::string(MTSIMPORT) + " --mov " + fixed + " " + kSaved,
                     "cannot replace " + fixed + because + "it is marked immutable; save elsewhere, or lift the mark "
                     "(chattr)"});
  }
  for (const Refusal& c : cases) {
    struct stat before {}, after {};
    ASSERT_EQ(::stat(c.mov.c_str(), &before), 0);
    const std::vector<uint8_t> old = testsupport::read_file(c.mov);
    const testsupport::CommandResult r = testsupport::run_command(c.run);
    EXPECT_EQ(r.exit, 1) << c.mov;
    EXPECT_EQ(r.out, "") << "refused before the import";
    EXPECT_EQ(r.err, "mtsimport: " + c.mov + ": " + c.said + "\n");
    ASSERT_EQ(::stat(c.mov.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_TRUE(testsupport::read_file(c.mov) == old) << c.mov << " changed";
  }
  testsupport::run_command("chattr -i " + fixed + " 2>/dev/null");
  if (cases.empty()) GTEST_SKIP() << "neither another user's file nor an immutable one can be made here";
  EXPECT_EQ(folder.entries(), asNobody.empty() ? "fixed.mov\n" : "fixed.mov\ntheirs.mov\n");
}

// The same when the saver cannot read what is marked: nobody's immutable
// movie of mode 0200, and nobody's movie in an append-only directory of
// mode 0311; nothing is left behind.
TEST(MtsimportSave, RefusesAMarkedDestinationItCannotRead) {
  const Folder folder;
  ASSERT_EQ(::chmod(folder.path.c_str(), 0755), 0);
  const std::string open = folder.path + "/open", fixed = open + "/fixed.mov", shut = folder.path + "/shut";
  const std::string kept = shut + "/kept.mov", run = AsNobody(std::string(MTSIMPORT) + " --mov ");
  if (run.empty()) GTEST_SKIP() << "not run as root: nobody's view cannot be taken";
  testsupport::run_command("mkdir " + open + " " + shut + " && echo fixed > " + fixed + " && echo kept > " + kept +
                           " && chown -R 65534:65534 " + open + " " + shut + " && chmod 0200 " + fixed +
                           " && chmod 0311 " + shut);
  if (testsupport::run_command("chattr +i " + fixed + " 2>/dev/null && chattr +a " + shut + " 2>/dev/null").exit != 0) {
    testsupport::run_command("chattr -i " + fixed + " 2>/dev/null");
    GTEST_SKIP() << "the file system here takes no immutable or append-only mark";
  }
  std::vector<testsupport::CommandResult> results;
  for (const std::string& mov : {fixed, kept}) results.push_back(testsupport::run_command(run + mov + " " + kSaved));
  testsupport::run_command("chattr -i " + fixed + "; chattr -a " + shut);
  const std::string said[] = {"it is marked immutable", "its directory is marked append-only"};
  for (size_t i = 0; i < 2; ++i) {
    const std::string mov = i == 0 ? fixed : kept;
    EXPECT_EQ(results[i].exit, 1) << mov;
    EXPECT_EQ(results[i].out, "") << "refused before the import";
    EXPECT_EQ(results[i].err, "mtsimport: " + mov + ": cannot replace " + mov + ": the movie is saved to a new file "
                              "that takes its place once complete, so that an interrupted save leaves it as it was, "
                              "and " + said[i] + "; save elsewhere, or lift the mark (chattr)\n");
  }
  EXPECT_EQ(testsupport::run_command("ls -A " + open + " " + shut).out, open + ":\nfixed.mov\n\n" + shut + ":\nkept.mov\n");
}

// The recording itself as the destination, by its name, a symbolic link or
// a hard link, is refused before the import: the movie would replace it.
TEST(MtsimportSave, RefusesTheRecordingAsDestination) {
  const Folder folder;
  const std::string recording = folder.path + "/rec.MTS", link = folder.path + "/link.mov";
  const std::string hard = folder.path + "/hard.mov";
  testsupport::run_command("cp " + kSaved + " " + recording + " && ln -s rec.MTS " + link + " && ln " + recording +
                           " " + hard);
  const std::vector<uint8_t> original = testsupport::read_file(recording);
  for (const std::string& mov : {recording, link, hard}) {
    const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --mov " + mov + " " +
                                                                  recording);
    EXPECT_EQ(r.exit, 1) << mov;
    EXPECT_EQ(r.out, "") << "refused before the import";
    EXPECT_EQ(r.err, "mtsimport: " + mov + ": is the recording being imported (" + recording +
                         "); the movie would replace it and the recording would be lost: save elsewhere\n");
  }
  EXPECT_TRUE(testsupport::read_file(recording) == original) << "the recording changed";
}

// A dump and a movie named to one file through a bind mount of their
// folder (made where this process may mount in a namespace of its own) are
// refused: the names reach one folder, whatever their paths.
TEST(MtsimportSave, OneFolderUnderTwoMountsIsOneDestination) {
  const Folder folder;
  const std::string bound = folder.path + "/bound";
  ASSERT_EQ(::mkdir(bound.c_str(), 0700), 0);
  const std::string mount = "unshare -rm sh -c 'mount --bind " + folder.path + " " + bound + " && ";
  if (testsupport::run_command(mount + "true'").exit != 0) GTEST_SKIP() << "no bind mount can be made here";
  for (const auto& [dump, mov] : {std::pair<std::string, std::string>{bound + "/x.mov", folder.path + "/x.mov"},
                                  {folder.path + "/y.json", bound + "/y.json"}}) {
    const testsupport::CommandResult r = testsupport::run_command(mount + "exec " + MTSIMPORT + " --dump " + dump +
                                                                  " --mov " + mov + " " + kSaved + "'");
    EXPECT_EQ(r.exit, 1) << r.err;
    EXPECT_EQ(r.err, "mtsimport: " + dump + ": is also the movie's destination (--mov " + mov +
                         "); the movie would replace the dump: give each its own file\n");
  }
  EXPECT_EQ(folder.entries(), "bound\n");
}

// A process with few file descriptors (ulimit -n) fails in words that say
// so, wherever they run out, and leaves no shared-memory region behind.
TEST(MtsimportSave, FileDescriptorsThatRunOutAreSaidAndTheRegionsGo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own checks need file descriptors (a pipe to test memory), and fail without";
#endif
  const Folder folder;
  const std::string prefix = "mtsfd" + std::to_string(getpid()) + "-";
  int failed = 0, saved = 0;
  for (int n = 4; n <= 16; ++n) {
    const testsupport::CommandResult r = testsupport::run_command(
        "ulimit -n " + std::to_string(n) + " && AVCHD_SHM_TEST_PREFIX=" + prefix + " exec " + MTSIMPORT + " --mov " +
        folder.path + "/o.mov " + kSaved);
    const std::string said = "at " + std::to_string(n) + ": " + r.err;
    if (r.exit == 0) {
      ++saved;
    } else if (r.err.find("error while loading shared libraries") == std::string::npos) {
      ++failed;
      EXPECT_EQ(r.exit, 1) << said;
      EXPECT_NE(r.err.find(": too many open files: "), std::string::npos) << said;
      EXPECT_NE(r.err.find("raise the limit (ulimit -n), then try again"), std::string::npos) << said;
    }
    const std::string left = testsupport::run_command("ls /dev/shm | grep '^" + prefix + "'").out;
    EXPECT_EQ(left, "") << said;
    if (!left.empty()) testsupport::run_command("rm -f /dev/shm/" + prefix + "*");
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(saved, 0);
}

// The least address space (ulimit -v, KiB) in which `tool` reaches its main
// and answers --version: a larger build (coverage, debug) needs more.
int LeastAddressSpaceToStart(const std::string& tool) {
  auto starts = [&](int kib) {
    // A shell of its own says how a start that fails ends (a signal, as
    // often at such limits), into the words captured.
    return testsupport::run_command("sh -c 'ulimit -v " + std::to_string(kib) + " && exec " + tool +
                                    " --version'; exit $?").exit == 0;
  };
  int low = 1000, high = 1000;
  while (!starts(high) && high < (1 << 22)) high *= 2;
  while (high - low > 100) {
    const int middle = (low + high) / 2;
    (starts(middle) ? high : low) = middle;
  }
  return high;
}

// Memory that runs out anywhere in an import or a save (the address space
// limited as by ulimit -v, from where the process barely starts to where
// the save succeeds) ends the run with words that say so and exit status
// 1: never a signal, never another reason; and the record store's regions
// go with the run. An import that succeeds keeps every track it makes with
// room to spare: the camera's time codes too, readable.
TEST(MtsimportSave, MemoryThatRunsOutIsSaidAndTheRegionsGo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve far more address space than the limits tried";
#else
  const int least = LeastAddressSpaceToStart(MTSIMPORT);
  const Folder folder;
  const std::string prefix = "mtsmem" + std::to_string(getpid()) + "-";
  auto regionsLeft = [&] {
    std::string left;
    if (DIR* d = ::opendir("/dev/shm")) {
      while (const dirent* e = ::readdir(d))
        if (std::string(e->d_name).rfind(prefix, 0) == 0) left += std::string(e->d_name) + " ";
      ::closedir(d);
    }
    if (!left.empty()) testsupport::run_command("rm -f /dev/shm/" + prefix + "*");
    return left;
  };
  std::vector<std::string> runs = {"--mov " + folder.path + "/m.mov " + kSaved,
                                   "--mov " + folder.path + "/m.mov " +
                                       testsupport::local_data_file("importer/importer_ac3_51_i.m2ts")};
  const std::string big = testsupport::testdata_file("avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!big.empty()) runs.push_back("--idle --dump " + folder.path + "/m.json " + big);
  int saved = 0;
  for (const std::string& run : runs) {
    for (int kib = least; kib <= least + 15000; kib += 1500) {
      const testsupport::CommandResult r = testsupport::run_command(
          "ulimit -v " + std::to_string(kib) + " && AVCHD_SHM_TEST_PREFIX=" + prefix + " exec " + MTSIMPORT + " " +
          run + " 2>&1 >/dev/null | tail -1");
      const std::string said = run + " at " + std::to_string(kib) + " KiB: " + r.out;
      // A recording whose last picture fills its last packet is saved with
      // its end unchecked where the decoder that checks it lacks memory.
      if (r.out.empty() || r.out.find("may be cut short (the memory to decode it ran out)") != std::string::npos) {
        ++saved;
      } else {  // one sentence wherever it ran out: for what, and what to do
        EXPECT_NE(r.out.find(": out of memory for "), std::string::npos) << said;
        EXPECT_NE(r.out.find(": free some memory or raise the process's limit (ulimit -v), then try again"),
                  std::string::npos)
            << said;
      }
      EXPECT_EQ(regionsLeft(), "") << said;
    }
  }
  EXPECT_GT(saved, 0) << "no limit tried lets the save succeed";
  if (big.empty()) return;
  // Every limit, closely, up to the first at which the import succeeds.
  for (int kib = least; kib <= least + 20000; kib += 250) {
    const testsupport::CommandResult r = testsupport::run_command(
        "ulimit -v " + std::to_string(kib) + " && AVCHD_SHM_TEST_PREFIX=" + prefix + " exec " + MTSIMPORT + " " + big);
    const std::string said = "at " + std::to_string(kib) + " KiB: " + r.err + r.out;
    EXPECT_EQ(regionsLeft(), "") << said;
    if (r.exit != 0) {
      EXPECT_NE(r.err.find("out of memory"), std::string::npos) << said;
      continue;
    }
    EXPECT_NE(r.out.find("track 2 'tmcd': 300 samples"), std::string::npos) << said;
    // Readable time codes, whatever the recording's camera set them to.
    EXPECT_NE(r.out.find("\n  last   "), std::string::npos) << said;
    EXPECT_EQ(r.out.find("not readable"), std::string::npos) << said;
    break;
  }
#endif
}

// A shared-memory region that cannot be mapped for want of address space
// (a preloaded library fails the mapping as a full one does) is said in the
// words of any memory that runs out.
TEST(MtsimportSave, UnmappableRegionIsSaidAsMemoryRunningOut) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers refuse a preloaded library";
#endif
  const testsupport::CommandResult r = testsupport::run_command(std::string("AVCHD_TEST_SHM_NO_MAP=1 LD_PRELOAD=") +
                                                                SHM_LIMITS + " " + MTSIMPORT + " " + kSaved);
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "mtsimport: " + kSaved + ": out of memory for mapping the record store's directory, a "
                   "shared-memory region of 4008 bytes: free some memory or raise the process's limit (ulimit -v), "
                   "then try again (-41)\n");
}

// /dev/shm too small for the record store, or read-only (a preloaded
// library makes it so for mtsimport alone): the words name /dev/shm, the
// cause and the size needed.
TEST(MtsimportSave, SaysWhatSharedMemoryCannotTake) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers refuse a preloaded library";
#endif
  const std::string run = std::string(" LD_PRELOAD=") + SHM_LIMITS + " " + MTSIMPORT + " " + kSaved;
  const std::string said = "mtsimport: " + kSaved + ": /dev/shm cannot take the record store's shared-memory region of ";
  const testsupport::CommandResult full = testsupport::run_command("AVCHD_TEST_SHM_ROOM=8192" + run);
  EXPECT_EQ(full.exit, 1);
  EXPECT_EQ(full.err.rfind(said, 0), 0u) << full.err;
  EXPECT_NE(full.err.find(" bytes: no space left on device ("), std::string::npos) << full.err;
  EXPECT_NE(full.err.find(" free of "), std::string::npos) << full.err;
  const testsupport::CommandResult readOnly = testsupport::run_command("AVCHD_TEST_SHM_READONLY=1" + run);
  EXPECT_EQ(readOnly.exit, 1);
  EXPECT_EQ(readOnly.err, said + "4008 bytes: read-only file system; mount /dev/shm writable, then try again (-23)\n");
  // Room for part of the region: the words too, never a bare code.
  const testsupport::CommandResult part = testsupport::run_command("AVCHD_TEST_SHM_ROOM=6000" + run);
  EXPECT_EQ(part.exit, 1);
  EXPECT_EQ(part.err.rfind(said + "10584 bytes: no space left on device (", 0), 0u) << part.err;
  EXPECT_NE(part.err.find(" free of "), std::string::npos) << part.err;

  // Sixty copies of the recording joined: the pre-scan's time stamps tell of
  // one, and the frame index grows to what the import finds. A /dev/shm with
  // room for a fraction of an index sized by the file takes it; with room for
  // its start only, the growth that does not fit says so.
  const std::string joined = Temp("joined.m2ts");
  std::string copies;
  for (int i = 0; i < 60; ++i) copies += " " + kSaved;
  ASSERT_EQ(testsupport::run_command("cat" + copies + " > " + joined).exit, 0);
  const std::string runJoined = std::string(" LD_PRELOAD=") + SHM_LIMITS + " " + MTSIMPORT + " " + joined;
  const testsupport::CommandResult roomy = testsupport::run_command("AVCHD_TEST_SHM_ROOM=1048576" + runJoined);
  EXPECT_EQ(roomy.exit, 0) << roomy.err;
  EXPECT_EQ(roomy.err, "");
  const testsupport::CommandResult grown = testsupport::run_command("AVCHD_TEST_SHM_ROOM=12000" + runJoined);
  EXPECT_EQ(grown.exit, 1);
  const std::string saidJoined =
      "mtsimport: " + joined + ": /dev/shm cannot take the record store's shared-memory region of ";
  EXPECT_EQ(grown.err.rfind(saidJoined, 0), 0u) << grown.err;
  EXPECT_NE(grown.err.find(" bytes: no space left on device ("), std::string::npos) << grown.err;
  EXPECT_NE(grown.err.find(" free of "), std::string::npos) << grown.err;
  std::remove(joined.c_str());

  // A growth that fails while time codes are entered (their entries go on
  // after a failed one) says so too, not that the index is full.
  AVCHD_REQUIRE_TESTDATA(camera, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const std::string three = Temp("three.m2ts");
  ASSERT_EQ(testsupport::run_command("cat " + camera + " " + camera + " " + camera + " > " + three).exit, 0);
  const testsupport::CommandResult codes = testsupport::run_command(std::string("AVCHD_TEST_SHM_ROOM=48000 LD_PRELOAD=") +
                                                                    SHM_LIMITS + " " + MTSIMPORT + " " + three);
  std::remove(three.c_str());
  EXPECT_EQ(codes.exit, 1);
  EXPECT_EQ(codes.err.rfind("mtsimport: " + three + ": /dev/shm cannot take the record store's shared-memory region of ",
                            0),
            0u)
      << codes.err;
}

// Where /dev/shm has no fallocate, the regions are sized all the same, and
// the frame index still grows.
TEST(MtsimportSave, SharedMemoryWithoutFallocateServesTheImport) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers refuse a preloaded library";
#endif
  // Three copies of a recording joined: three times the samples its time
  // stamps promise, so the index grows twice.
  const std::string part = testsupport::local_data_file("sample.m2ts");
  const std::string three = Temp("three_plain.m2ts"), mov = Temp("three_plain.mov");
  ASSERT_EQ(testsupport::run_command("cat " + part + " " + part + " " + part + " > " + three).exit, 0);
  const testsupport::CommandResult run = testsupport::run_command(
      std::string("AVCHD_TEST_SHM_NO_FALLOCATE=1 LD_PRELOAD=") + SHM_LIMITS + " " + MTSIMPORT + " --mov " + mov + " " + three);
  std::remove(three.c_str());
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(run.err, "");
  ExpectOpens(mov);
  std::remove(mov.c_str());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  EXPECT_EQ(std::fclose(f), 0);
}

// Runs `argv` traced and kills it (SIGKILL) right after the `n`-th system
// call that changes a file in `folder` (a write, sync, resize, mode change,
// link, rename or removal) has returned. True when it was killed there,
// false when it ended before making that many (then `*status` is its wait
// status); a failure of the tracing itself is a test failure.
bool KillAfterNthChange(const std::vector<std::string>& argv, const std::string& folder, int n, int* status) {
  // The leak checker of a sanitizer build stops the process's threads by
  // tracing them, which it cannot do to a process already traced.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> env = {"ASAN_OPTIONS=" + std::string(asan ? asan : "") + (asan ? ":" : "") +
                                  "detect_leaks=0"};
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0) env.push_back(*e);
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  EXPECT_GT(pid, 0);
  if (pid <= 0) return false;
  ::waitpid(pid, status, 0);  // stopped at the exec
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  auto inFolder = [&](long fd) {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/%d/fd/%ld", static_cast<int>(pid), fd);
    const ssize_t len = ::readlink(link, target, sizeof target - 1);
    return len > 0 && std::string(target, size_t(len)).rfind(folder + "/", 0) == 0;
  };
  // A path argument of the stopped call, read from its memory; the saves
  // name their files by absolute paths.
  auto pathInFolder = [&](unsigned long long at) {
    char path[4096] = {};
    const std::string mem = "/proc/" + std::to_string(pid) + "/mem";
    const int fd = ::open(mem.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = ::pread(fd, path, sizeof path - 1, off_t(at));
    ::close(fd);
    return got > 0 && std::string(path).rfind(folder + "/", 0) == 0;
  };
  bool entering = true;
  long call = -1;
  int changes = 0;
  for (int signal = 0;;) {
    ::ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(long(signal)));
    if (::waitpid(pid, status, 0) != pid || WIFEXITED(*status) || WIFSIGNALED(*status)) return false;
    signal = 0;
    if (!WIFSTOPPED(*status)) continue;
    if (WSTOPSIG(*status) != (SIGTRAP | 0x80)) {
      signal = WSTOPSIG(*status);  // the process's own signal, delivered
      continue;
    }
    user_regs_struct regs {};
    ::ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
    if (entering) call = long(regs.orig_rax);
    entering = !entering;
    if (!entering) continue;  // decide once the call has returned
    bool change = false;
    switch (call) {
      case SYS_write: case SYS_pwrite64: case SYS_writev: case SYS_pwritev: case SYS_fsync: case SYS_fdatasync:
      case SYS_ftruncate: case SYS_fallocate: case SYS_fchmod: case SYS_fchown:
        change = inFolder(long(regs.rdi));
        break;
      // Names count only inside the folder: the record store's claims
      // remove stale regions of other imports, as many as there are then.
      case SYS_rename: case SYS_link: case SYS_unlink:
        change = pathInFolder(regs.rdi) || (call != SYS_unlink && pathInFolder(regs.rsi));
        break;
      case SYS_renameat: case SYS_renameat2: case SYS_linkat:
        change = pathInFolder(regs.rsi) || pathInFolder(regs.r10);
        break;
      case SYS_unlinkat:
        change = pathInFolder(regs.rsi);
        break;
    }
    if (change && ++changes == n) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, status, 0);
      return true;
    }
  }
}

// A save killed right after each of its changes to the file system in turn
// leaves at the destination either the earlier movie, to the byte, or the
// complete new one, which ffmpeg opens: never anything between.
TEST(MtsimportSave, KilledAtEveryStepLeavesTheEarlierOrTheNewMovie) {
  const Folder folder;
  const std::string mov = folder.path + "/movie.mov", complete = Temp("complete.mov");
  int status = 0;
  RunCommand(std::string(MTSIMPORT) + " --mov " + complete + " " + kSaved + " >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);
  ExpectOpens(complete);
  const std::vector<uint8_t> later = testsupport::read_file(complete);
  std::remove(complete.c_str());
  RunCommand(std::string(MTSIMPORT) + " --mov " + mov + " " +
                 testsupport::local_data_file("importer/importer_ac3_51_i.m2ts") + " >/dev/null 2>&1",
             &status);
  ASSERT_EQ(status, 0);
  const std::vector<uint8_t> earlier = testsupport::read_file(mov);
  ASSERT_FALSE(earlier.empty());
  ASSERT_FALSE(earlier == later);
  int kills = 0, keptEarlier = 0, broken = 0, leftBehind = 0;
  for (int n = 1; n < 10000; ++n) {
    const bool killed = KillAfterNthChange({MTSIMPORT, "--mov", mov, kSaved}, folder.path, n, &status);
    if (::testing::Test::HasFatalFailure()) return;
    const std::vector<uint8_t> now = testsupport::read_file(mov);
    if (!killed && kills == 0 && n == 1) GTEST_SKIP() << "the save cannot be traced here (ptrace refused)";
    if (!killed) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "an untraced save ends well";
      EXPECT_TRUE(now == later);
      break;
    }
    ++kills;
    if (now == earlier) {
      ++keptEarlier;
    } else if (now == later) {
      // Once the new movie has taken the old one's place, the next run
      // starts from the earlier one again.
      WriteBytes(mov, earlier);
    } else {
      ++broken;
      ADD_FAILURE() << "killed after change " << n << ": " << mov << " is neither movie (" << now.size() << " bytes)";
      WriteBytes(mov, earlier);
    }
    if (folder.entries() != "movie.mov\n") {
      ++leftBehind;  // the new file, named but not yet renamed over the destination
      testsupport::run_command("cd " + folder.path + " && find . -mindepth 1 ! -name movie.mov -delete");
    }
  }
  EXPECT_GT(kills, 70) << "every write of a 295 kB movie, its sync and its rename";
  EXPECT_GT(keptEarlier, 0);
  EXPECT_EQ(broken, 0);
  EXPECT_LE(leftBehind, 1) << "only a kill between naming the new file and its rename leaves it";
  std::printf("[   INFO   ] %d kills: %d left the earlier movie, %d the new one, %d a broken file; %d left the "
              "new file beside it\n", kills, keptEarlier, kills - keptEarlier - broken, broken, leftBehind);
}

// root replacing another user's set-user-id file: the new file keeps its
// owner, group and permissions, without the set-user-id bit.
TEST(MtsimportSave, ReplacedFileKeepsItsOwnerButNoSetIdBit) {
  if (::geteuid() != 0) GTEST_SKIP() << "not run as root: files of another user cannot be made";
  const Folder folder;
  const std::string replaced = folder.path + "/replaced.mov";
  testsupport::run_command("echo old > " + replaced + " && chown 65534:65534 " + replaced + " && chmod 6750 " + replaced);
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --mov " + replaced + " " + kSaved);
  EXPECT_EQ(r.exit, 0) << r.err;
  struct stat after {};
  ASSERT_EQ(::stat(replaced.c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, 65534u);
  EXPECT_EQ(after.st_gid, 65534u);
  EXPECT_EQ(after.st_mode & 07777, 0750u);
  ExpectOpens(replaced);
}

// A dangling symbolic link: the link stays, and the movie is made where it
// leads.
TEST(MtsimportSave, DanglingLinkLeadsToTheMovie) {
  const Folder folder;
  const std::string link = folder.path + "/link.mov";
  ASSERT_EQ(::symlink("led.mov", link.c_str()), 0);
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --mov " + link + " " + kSaved);
  EXPECT_EQ(r.exit, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::lstat((folder.path + "/led.mov").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(folder.entries(), "led.mov\nlink.mov\n");
  ExpectOpens(link);
}

// Recordings cut short, before the first whole audio frame: the import keeps
// an empty sound track, and the saved movie still opens.
TEST(MtsimportSave, ShortRecordingsSaveMoviesThatOpen) {
  const Folder folder;
  const std::vector<uint8_t> ac3 =
      testsupport::read_file(testsupport::local_data_file("importer/importer_ac3_51_i.m2ts"));
  ASSERT_GE(ac3.size(), 40u * 192);
  const std::string cut = folder.path + "/first40.m2ts";
  FILE* f = std::fopen(cut.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(ac3.data(), 1, 40 * 192, f);
  std::fclose(f);
  std::vector<std::string> inputs = {cut};
  const std::string camera = testsupport::testdata_file("avchd/camera_header_7packets.mts");
  if (!camera.empty()) inputs.push_back(camera);
  // Its first 60 packets end before its first whole audio frame: the shared
  // file's bytes, not a made one's.
  const std::string small = testsupport::testdata_file("avchd/small_ac3_20_avchd.m2ts");
  if (!small.empty() && !testsupport::made_material()) {
    inputs.push_back(folder.path + "/first60.m2ts");
    testsupport::run_command("head -c " + std::to_string(60 * 192) + " " + small + " >" + inputs.back());
  }
  const bool ffmpeg = HaveFfmpeg();
  for (const std::string& input : inputs) {
    const std::string mov = folder.path + "/short.mov";
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(MTSIMPORT) + " --mov " + mov + " " + input);
    ASSERT_EQ(r.exit, 0) << input << "\n" << r.err;
    EXPECT_NE(r.out.find("'soun': 0 samples"), std::string::npos) << input << "\n" << r.out;
    if (!ffmpeg) continue;
    const testsupport::CommandResult probe = testsupport::run_command(
        "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + mov);
    EXPECT_EQ(probe.exit, 0) << input << "\n" << probe.err;
    EXPECT_EQ(probe.out.find("audio"), std::string::npos) << input << "\n" << probe.out;
    // The camera's first packets cut their one picture short: the decoder
    // may say so; nothing else may be wrong.
    const testsupport::CommandResult decoded = testsupport::run_command("ffmpeg -v error -i " + mov + " -f null -");
    EXPECT_EQ(decoded.exit, 0) << input << "\n" << decoded.err;
    std::istringstream lines(decoded.err);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("[h264 @", 0), 0u) << input << ": " << line;
  }
  if (!ffmpeg) GTEST_SKIP() << "ffmpeg is not installed: the saved movies are not opened";
  if (camera.empty())
    GTEST_SKIP() << "test material missing: avchd/camera_header_7packets.mts (set AVCHD_TESTDATA to the folder holding it)";
  AVCHD_REQUIRE_SHARED_MATERIAL();
  if (small.empty())
    GTEST_SKIP() << "test material missing: avchd/small_ac3_20_avchd.m2ts (set AVCHD_TESTDATA to the folder holding it)";
}

// Every shared recording's movie, stream-copied by ffmpeg into Matroska,
// holds each picture and each sound sample once: a track keeps one edit per
// continuous stretch of media (a reader that cuts at every edit sends the
// packets after a cut again). The copy decodes to the movie's pictures and
// its sound, before which Matroska keeps what the sound edit's start leaves
// out of the media (it holds no start trim).
TEST(MtsimportSave, StreamCopiedMovieHoldsEachSampleOnce) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the saved movies are not copied";
  AVCHD_REQUIRE_TESTDATA(folder, "avchd");
  const Folder work;
  const std::string list = testsupport::run_command("ls " + folder + "/*.m2ts").out;
  std::istringstream recordings(list);
  int tried = 0;
  for (std::string input; std::getline(recordings, input); ++tried) {
    SCOPED_TRACE(input);
    const std::string mov = work.path + "/m.mov", mkv = work.path + "/m.mkv", json = work.path + "/m.json";
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(MTSIMPORT) + " --dump " + json + " --mov " + mov + " " + input);
    ASSERT_EQ(r.exit, 0) << r.err;
    int pictures = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find("'vide': "), "'vide': %d samples", &pictures), 1) << r.out;
    // One continuous stretch of pictures: one edit, in the dump too.
    const std::string dump = testsupport::read_text(json);
    const size_t video = dump.find("\"type\": \"vide\"");
    ASSERT_NE(video, std::string::npos);
    const size_t edits = dump.rfind("\"edits\": [", video);
    EXPECT_EQ(dump.substr(edits, dump.find(']', edits) - edits).find("}, {"), std::string::npos)
        << dump.substr(edits, 200);
    const bool sound = r.out.find("'soun': ") != std::string::npos && r.out.find("'soun': 0 samples") == std::string::npos;
    // One ffmpeg run per file (the copy made in the first): the packets of
    // the pictures, the decoded pictures (all of them, or the first two
    // seconds of a long recording: the importer's tests compare every
    // sample with the stream's access unit) and the decoded sound.
    const bool part = pictures > 100;
    const std::string out = work.path + "/";
    const testsupport::CommandResult copy = testsupport::run_command(
        "ffmpeg -v error -y -i " + mov + " -map 0:v" + (sound ? " -map 0:a" : "") + " -c copy " + mkv +
        " -map 0:v -c copy -f framemd5 " + out + "mov.packets -map 0:v" + (part ? " -t 2" : "") + " -f framemd5 " +
        out + "mov.pictures" + (sound ? " -map 0:a -f s16le " + out + "mov.sound" : ""));
    ASSERT_EQ(copy.exit, 0) << copy.err;
    const testsupport::CommandResult copied = testsupport::run_command(
        "ffmpeg -v error -y -i " + mkv + " -map 0:v -c copy -f framemd5 " + out + "mkv.packets" +
        (sound ? " -map 0:a -f s16le " + out + "mkv.sound" : ""));
    ASSERT_EQ(copied.exit, 0) << copied.err;
    // The copy holds the movie's pictures to the byte, so it decodes to
    // them; the movie decodes to the recording's pictures.
    const std::vector<std::string> moviePackets = FrameMd5s(testsupport::read_text(out + "mov.packets"));
    EXPECT_EQ(moviePackets.size(), size_t(pictures));
    EXPECT_EQ(FrameMd5s(testsupport::read_text(out + "mkv.packets")), moviePackets);
    const std::vector<std::string> moviePictures = FrameMd5s(testsupport::read_text(out + "mov.pictures"));
    if (part) {
      EXPECT_GT(moviePictures.size(), 40u);
    } else {
      EXPECT_EQ(moviePictures.size(), size_t(pictures));
    }
    const std::string reference = input.substr(0, input.rfind('.')) + ".video.framemd5";
    if (access(reference.c_str(), R_OK) == 0) {
      std::vector<std::string> recording = FrameMd5s(testsupport::read_text(reference));
      if (part && recording.size() > moviePictures.size()) recording.resize(moviePictures.size());
      EXPECT_TRUE(moviePictures == recording) << reference;
    }
    if (!sound) continue;
    const std::string movieSound = testsupport::read_text(out + "mov.sound");
    const std::string copiedSound = testsupport::read_text(out + "mkv.sound");
    int channels = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find(" Hz, "), " Hz, %d channels", &channels), 1);
    const size_t soundTrack = dump.find("\"type\": \"soun\"");
    const size_t soundEdits = dump.rfind("\"edits\": [", soundTrack);
    long long lead = -1;
    ASSERT_EQ(std::sscanf(dump.c_str() + dump.find("\"mediaTime\": ", soundEdits), "\"mediaTime\": %lld", &lead), 1);
    ASSERT_GT(movieSound.size(), 0u);
    ASSERT_EQ(copiedSound.size(), movieSound.size() + size_t(lead) * 2 * size_t(channels));
    EXPECT_TRUE(copiedSound.compare(copiedSound.size() - movieSound.size(), movieSound.size(), movieSound) == 0)
        << "the copy's sound is not the movie's";
  }
  EXPECT_GT(tried, 0) << "no recording in " << folder;
}

// Joined recordings saved: of one kind, of two kinds of sound (the other's
// stretch left empty in the sound track) and of two picture sizes (the other
// size's stretch left empty in the video track). Their movies, and copies of
// them that ffmpeg makes into Matroska and QuickTime, hold each picture and
// each sound sample once: the sound as the sound track plays it, silence for
// a stretch left out, and in Matroska, which holds no start trim, the media
// before the track's first edit too.
TEST(MtsimportSave, SavedJoinsCopyEachSampleOnce) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the saved movies are not copied";
  const std::string large = testsupport::local_data_file("sample.m2ts");                          // 352x288
  const std::string small = testsupport::local_data_file("importer/importer_sound_longer.m2ts");  // 176x144
  std::vector<std::vector<std::string>> joins = {{large, small, large}};
  const std::string ac3 = testsupport::testdata_file("avchd/small_ac3_20_avchd.m2ts");
  const std::string lpcm = testsupport::testdata_file("avchd/small_lpcm_20_avchd.m2ts");
  if (!ac3.empty() && !lpcm.empty()) {
    joins.push_back({ac3, ac3});
    joins.push_back({ac3, lpcm, ac3});
  }
  const Folder work;
  for (const std::vector<std::string>& parts : joins) {
    std::string cat = "cat";
    for (const std::string& p : parts) cat += " " + p;
    SCOPED_TRACE(cat);
    const std::string joined = work.path + "/j.m2ts", mov = work.path + "/m.mov", json = work.path + "/m.json";
    testsupport::run_command(cat + " > " + joined);
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(MTSIMPORT) + " --dump " + json + " --mov " + mov + " " + joined);
    ASSERT_EQ(r.exit, 0) << r.err;
    int pictures = 0, channels = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find("'vide': "), "'vide': %d samples", &pictures), 1) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find(" Hz, "), " Hz, %d channels", &channels), 1) << r.out;
    // The sound track's length and where its media starts (after any empty
    // edit at its start), from the movie of references.
    const std::string dump = testsupport::read_text(json);
    long long movieScale = 0;
    ASSERT_EQ(std::sscanf(dump.c_str() + dump.find("\"timeScale\": "), "\"timeScale\": %lld", &movieScale), 1);
    const size_t track = dump.find("\"type\": \"soun\"");
    ASSERT_NE(track, std::string::npos);
    const size_t edits = dump.rfind("\"edits\": [", track);
    long long length = 0, lead = -1;
    for (size_t at = dump.find("\"trackDuration\": ", edits); at < dump.find(']', edits);
         at = dump.find("\"trackDuration\": ", at + 1)) {
      long long duration = 0, media = 0;
      ASSERT_EQ(std::sscanf(dump.c_str() + at, "\"trackDuration\": %lld, \"mediaTime\": %lld", &duration, &media), 2);
      if (lead < 0 && media < 0) continue;
      if (lead < 0) lead = media;
      length += duration;
    }
    const std::string mkv = work.path + "/c.mkv", copy = work.path + "/c.mov";
    for (const std::string& to : {mkv, copy}) {
      const testsupport::CommandResult c =
          testsupport::run_command("ffmpeg -v error -y -i " + mov + " -map 0:v -map 0:a -c copy " + to);
      ASSERT_EQ(c.exit, 0) << c.err;
    }
    const size_t frameBytes = 2 * size_t(channels);
    const testsupport::CommandResult heard = testsupport::run_command("ffmpeg -v error -i " + mov + " -map 0:a -f s16le -");
    EXPECT_EQ(heard.err, "");
    EXPECT_NEAR(double(heard.out.size() / frameBytes), double(length) * 48000 / double(movieScale), 1.0);
    for (const std::string& file : {mov, mkv, copy}) {
      EXPECT_EQ(testsupport::run_command("ffprobe -v error -count_packets -select_streams v -show_entries "
                                         "stream=nb_read_packets -of csv=p=0 " + file).out,
                std::to_string(pictures) + "\n")
          << file;
      if (file == mov) continue;
      const testsupport::CommandResult copied = testsupport::run_command("ffmpeg -v error -i " + file + " -map 0:a -f s16le -");
      EXPECT_EQ(copied.err, "") << file;
      const size_t before = file == mkv ? size_t(lead) * frameBytes : 0;
      ASSERT_EQ(copied.out.size(), heard.out.size() + before) << file;
      EXPECT_TRUE(copied.out.compare(before, heard.out.size(), heard.out) == 0) << file << ": not the movie's sound";
    }
  }
}

namespace {

// In `first` and `second` joined, the byte the summary names: the first
// packet of the second part's first PES of stream `pid`.
std::string JoinedPesAt(const std::string& first, const std::string& second, int pid) {
  const auto b = testsupport::read_file(second);
  size_t at = 0;
  while (at + 192 <= b.size() && !((b[at + 5] & 0x40) && ((b[at + 5] & 0x1F) << 8 | b[at + 6]) == pid)) at += 192;
  return std::to_string(testsupport::read_file(first).size() + at);
}

}  // namespace

// A recording joined from parts of different picture sizes (either way
// round): the video track holds the first part's pictures, true to its
// description, the summary says from where the other part's are not
// imported, and the saved movie opens. Pictures of the track's size after
// the other part's come back from their IDR picture, the time between
// left empty: the summary names the stretch left out by both ends.
TEST(MtsimportCommand, JoinedPartsOfDifferentSizes) {
  const std::string large = testsupport::local_data_file("sample.m2ts");                          // 352x288
  const std::string small = testsupport::local_data_file("importer/importer_sound_longer.m2ts");  // 176x144
  const struct {
    std::string first, second;
    std::string samples, line;
  } joins[] = {
      {large, small, "'vide': 50 samples",
       "video: pictures of 176x144 from byte " + JoinedPesAt(large, small, 0x1011) +
           " on are not imported (the video track holds 352x288 pictures only)"},
      {small, large, "'vide': 13 samples",
       "video: pictures of 352x288 from byte " + JoinedPesAt(small, large, 0x1011) +
           " on are not imported (the video track holds 176x144 pictures only)"},
  };
  for (const auto& j : joins) {
    const std::string joined = Temp("joined.m2ts"), mov = Temp("joined.mov");
    int status = 0;
    RunCommand("cat " + j.first + " " + j.second + " > " + joined, &status);
    const std::string summary = RunCommand(std::string(MTSIMPORT) + " --mov " + mov + " " + joined + " 2>/dev/null", &status);
    std::remove(joined.c_str());
    ASSERT_EQ(status, 0) << summary;
    EXPECT_NE(summary.find(j.samples), std::string::npos) << summary;
    EXPECT_NE(summary.find(j.line), std::string::npos) << summary;
    if (HaveFfmpeg()) {
      EXPECT_EQ(RunCommand("ffmpeg -v error -i " + mov + " -f null - 2>&1", &status), "");
    }
    std::remove(mov.c_str());
  }

  // 1080i, 2 s of 352x288, 1080i again: both 1080i parts' 600 pictures,
  // the 2 s between empty in the video track for 60 of its pictures
  // (10.01 + 2.002 + 10.01 s), and
  // the sound, which goes on through the small part, ending with them.
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", mov = folder.path + "/joined.mov";
  testsupport::run_command("cat " + hd + " " + sd + " " + hd + " > " + joined);
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --mov " + mov + " " + joined);
  ASSERT_EQ(r.exit, 0) << r.err;
  const std::string back =
      std::to_string(std::stoll(JoinedPesAt(sd, hd, 0x1011)) + int64_t(testsupport::read_file(hd).size()));
  EXPECT_NE(r.out.find("\nvideo: pictures of 352x288 from byte " + JoinedPesAt(hd, sd, 0x1011) + " to byte " + back +
                       " are not imported (the video track holds 1920x1080 pictures only)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("'vide': 600 samples, media 20.020 s, in track 22.022 s\n  picture     1920x1080"),
            std::string::npos)
      << r.out;
  const double soundInTrack = SoundSecondsInTrack(r.out);
  ASSERT_GT(soundInTrack, 0) << r.out;
  EXPECT_NEAR(soundInTrack, 22.02, 0.1) << r.out;
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the saved movie is not opened";
  // ffmpeg reads every packet through the edits without a word.
  const testsupport::CommandResult opened =
      testsupport::run_command("ffprobe -v error -count_packets -show_entries stream=nb_read_packets " + mov);
  EXPECT_EQ(opened.exit, 0) << opened.err;
  EXPECT_EQ(opened.err, "");
  // The media's pictures (ffmpeg plays the media's start again in an empty
  // edit after the first, so the edits are left aside): those of the 1080i
  // recording's own movie, twice, to the byte (that movie's pictures are
  // decoded and compared by StreamCopiedMovieHoldsEachSampleOnce).
  const std::string alone = folder.path + "/alone.mov";
  ASSERT_EQ(testsupport::run_command(std::string(MTSIMPORT) + " --mov " + alone + " " + hd).exit, 0);
  auto samples = [](const std::string& file) {
    return FrameMd5s(testsupport::run_command("ffmpeg -v error -ignore_editlist 1 -i " + file +
                                              " -map 0:v -c copy -f framemd5 -").out);
  };
  const std::vector<std::string> part = samples(alone);
  ASSERT_EQ(part.size(), 300u);
  std::vector<std::string> reference = part;
  reference.insert(reference.end(), part.begin(), part.end());
  EXPECT_TRUE(samples(mov) == reference) << "the movie's pictures are not the two 1080i parts'";
}

// A recording joined from an AC-3 part and an LPCM part (either way round):
// the summary says, once, from where the other part's audio is not imported.
// When sound of the track's kind comes again after it (AC-3, LPCM, AC-3 and
// the other way round), the one line names the stretch by both ends, the
// first packet of the middle part's first audio PES and that of the third
// part's, also after an idle import.
TEST(MtsimportCommand, JoinedPartsOfDifferentAudio) {
  const std::string ac3 = testsupport::local_data_file("sample.m2ts");
  const std::string lpcm = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  auto from = [](const std::string& first, const std::string& second) { return JoinedPesAt(first, second, 0x1100); };
  const struct {
    std::string first, second;
    std::string line, note;
  } joins[] = {
      {ac3, lpcm, "audio: LPCM stereo from byte " + from(ac3, lpcm) + " on", "(the sound track holds AC-3 stereo only)"},
      {lpcm, ac3, "audio: AC-3 stereo from byte " + from(lpcm, ac3) + " on", "(the sound track holds LPCM stereo only)"},
  };
  for (const auto& j : joins) {
    const std::string joined = Temp("joined.m2ts");
    int status = 0;
    RunCommand("cat " + j.first + " " + j.second + " > " + joined, &status);
    ASSERT_EQ(status, 0);
    const std::string summary = RunCommand(std::string(MTSIMPORT) + " " + joined + " 2>/dev/null", &status);
    std::remove(joined.c_str());
    ASSERT_EQ(status, 0) << summary;
    size_t count = 0;
    for (size_t at = summary.find("audio: "); at != std::string::npos; at = summary.find("audio: ", at + 1)) ++count;
    EXPECT_EQ(count, 1u) << summary;
    EXPECT_NE(summary.find(j.line), std::string::npos) << summary;
    EXPECT_NE(summary.find(j.note), std::string::npos) << summary;
  }

  AVCHD_REQUIRE_TESTDATA(smallAc3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(smallLpcm, "avchd/small_lpcm_20_avchd.m2ts");
  auto between = [&](const std::string& outer, const std::string& middle) {
    const int64_t back = std::stoll(from(middle, outer)) + int64_t(testsupport::read_file(outer).size());
    return " from byte " + from(outer, middle) + " to byte " + std::to_string(back) + " is not imported ";
  };
  const struct {
    std::string outer, middle, line;
  } threes[] = {
      {smallAc3, smallLpcm, "\naudio: LPCM stereo" + between(smallAc3, smallLpcm) + "(the sound track holds AC-3 stereo only)\n"},
      {smallLpcm, smallAc3, "\naudio: AC-3 stereo" + between(smallLpcm, smallAc3) + "(the sound track holds LPCM stereo only)\n"},
  };
  for (const auto& j : threes) {
    const std::string joined = Temp("joined.m2ts");
    int status = 0;
    RunCommand("cat " + j.outer + " " + j.middle + " " + j.outer + " > " + joined, &status);
    ASSERT_EQ(status, 0);
    for (const char* idle : {"", " --idle"}) {
      const std::string summary = RunCommand(std::string(MTSIMPORT) + idle + " " + joined + " 2>/dev/null", &status);
      ASSERT_EQ(status, 0) << summary;
      EXPECT_NE(summary.find(j.line), std::string::npos) << idle << "\n" << summary;
      EXPECT_EQ(summary.find("audio: "), summary.rfind("audio: ")) << idle << "\n" << summary;
    }
    std::remove(joined.c_str());
  }
}

// The edits of each track of the movie that `parts` joined make, from
// --dump: {track start, duration, media time (-1: empty)} in movie units.
// The --dump of the movie that `parts`, joined end to end, make.
std::string JoinedDump(const std::vector<std::string>& parts) {
  std::string command = "cat";
  for (const std::string& p : parts) command += " " + p;
  const std::string joined = Temp("edits.m2ts");
  const testsupport::CommandResult cat = testsupport::run_command(command + " > " + joined);
  EXPECT_EQ(cat.exit, 0) << "the parts were not joined: " << cat.err;
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --dump - " + joined);
  // An import that fails says so here, not as a movie of another shape.
  EXPECT_EQ(r.exit, 0) << r.err;
  std::remove(joined.c_str());
  return r.out;
}

// A --dump with the record id in each data reference set to 0: the id is the
// lowest one free in the record directory, which other imports running at
// the same time may hold, so two imports of one movie can differ there alone.
std::string WithoutRecordIds(std::string dump) {
  const std::string key = "\"type\": \"MTSI\", \"hex\": \"";
  for (size_t at = dump.find(key); at != std::string::npos; at = dump.find(key, at + 1))
    if (at + key.size() + 8 <= dump.size()) dump.replace(at + key.size(), 8, "00000000");
  return dump;
}

// The edits of each track of a movie, from its --dump, the sound track last
// (the movie lists first the track whose stream the file shows first).
std::vector<std::vector<std::array<int64_t, 3>>> EditsOf(const std::string& dump) {
  std::vector<std::vector<std::array<int64_t, 3>>> tracks;
  long long a = 0, b = 0, c = 0;
  size_t sound = std::string::npos;
  for (size_t at = dump.find("\"edits\": ["); at != std::string::npos; at = dump.find("\"edits\": [", at + 1)) {
    // A track's media follows its edits.
    const size_t type = dump.find("\"type\": \"", at);
    if (type != std::string::npos && dump.compare(type + 9, 4, "soun") == 0) sound = tracks.size();
    tracks.emplace_back();
    for (size_t e = at + 10; e != std::string::npos && std::sscanf(dump.c_str() + e, "{\"trackStart\": %lld, "
                                                                   "\"trackDuration\": %lld, \"mediaTime\": %lld",
                                                                   &a, &b, &c) == 3;
         e = dump.find('{', e + 1))
      tracks.back().push_back({a, b, c});
  }
  if (sound != std::string::npos) std::rotate(tracks.begin() + sound, tracks.begin() + sound + 1, tracks.end());
  return tracks;
}

std::vector<std::vector<std::array<int64_t, 3>>> JoinedEdits(const std::vector<std::string>& parts) {
  return EditsOf(JoinedDump(parts));
}

// The sound track's edits that play media (not empty time), of a movie's
// edits by track.
std::vector<std::array<int64_t, 3>> PlayedSound(const std::vector<std::vector<std::array<int64_t, 3>>>& edits) {
  std::vector<std::array<int64_t, 3>> played;
  if (!edits.empty())
    for (const auto& e : edits.back())
      if (e[2] != -1) played.push_back(e);
  return played;
}

// Where in the sound media the movie plays at movie time `at` (-1: silent
// there), of a movie's edits by track.
int64_t SoundMediaAt(const std::vector<std::vector<std::array<int64_t, 3>>>& edits, int64_t at) {
  for (const auto& e : PlayedSound(edits))
    if (e[0] <= at && at < e[0] + e[1]) return e[2] + at - e[0];
  return -1;
}

// A recording joined from parts of different sizes, whichever part the file
// ends with: the part of another size keeps its sound, the track's kind, and
// the time its pictures take stays empty in the video track, as it does
// between two parts of the track's size. The saved movie and its stream
// copy play each sound sample once.
TEST(MtsimportCommand, LastPartOfAnotherSizeKeepsItsSound) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", mov = folder.path + "/joined.mov";
  testsupport::run_command("cat " + sd + " " + hd + " > " + joined);
  const std::string json = folder.path + "/joined.json";
  const testsupport::CommandResult r =
      testsupport::run_command(std::string(MTSIMPORT) + " --dump " + json + " --mov " + mov + " " + joined);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("'vide': 50 samples, media 2.000 s, in track 12.000 s"), std::string::npos) << r.out;
  const auto sound = PlayedSound(EditsOf(testsupport::read_text(json)));
  ASSERT_FALSE(sound.empty());
  const double soundInTrack = SoundSecondsInTrack(r.out);
  EXPECT_NEAR(soundInTrack, 12.0, 0.1) << r.out;
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the saved movie is not decoded";
  const std::string mkv = folder.path + "/copy.mkv";
  ASSERT_EQ(testsupport::run_command("ffmpeg -v error -i " + mov + " -c copy " + mkv).exit, 0);
  auto decoded = [](const std::string& file) {
    const std::string bytes =
        testsupport::run_command("ffmpeg -v error -i " + file + " -map 0:a -f s16le - | wc -c").out;
    return bytes.empty() ? -1 : std::stoll(bytes) / 4;
  };
  const int64_t played = std::llround(soundInTrack * 48000);
  EXPECT_EQ(decoded(mov), played);
  // Matroska keeps the head the first edit trims (the first AC-3 frame up
  // to the first picture), as for a single recording.
  EXPECT_EQ(decoded(mkv), played + sound[0][2]);

  // The other way round: 2 s left out after the 1080i part's 10.01 s, as 60
  // of its pictures.
  testsupport::run_command("cat " + hd + " " + sd + " > " + joined);
  const testsupport::CommandResult back = testsupport::run_command(std::string(MTSIMPORT) + " " + joined);
  ASSERT_EQ(back.exit, 0) << back.err;
  EXPECT_NE(back.out.find("'vide': 300 samples, media 10.010 s, in track 12.012 s"), std::string::npos) << back.out;
  // The sound plays to the end of the last picture (formerly it stopped
  // short of the 1080i part's last picture and its first frame was passed
  // over: 11.9 s).
  EXPECT_NE(back.out.find("'soun': 577536 samples, media 12.032 s, in track 12.012 s"), std::string::npos) << back.out;
}

// Writes to `out` the recording `source` remultiplexed by ffmpeg with
// `options` (PIDs and packets as a camera's); returns `out`.
std::string Remuxed(const std::string& out, const std::string& source, const std::string& options) {
  const testsupport::CommandResult r =
      testsupport::run_command("ffmpeg -v error -y -i " + source + " " + options +
                               " -streamid 0:0x1011 -streamid 1:0x1100 -mpegts_m2ts_mode 1 -f mpegts " + out);
  EXPECT_EQ(r.exit, 0) << "ffmpeg did not make " << out << ": " << r.err;
  return out;
}

// Writes to `out` a copy of the recording `source` whose time stamps are
// `seconds` later (modulo 2^33); returns `out`.
std::string MovedStamps(const std::string& out, const std::string& source, const std::string& seconds) {
  return Remuxed(out, source, "-map 0 -c copy -output_ts_offset " + seconds);
}

// Writes `in` with its stamps moved on by `seconds` from where they are
// (streams `map`) to IN.moved.m2ts; returns that name.
std::string StampsMovedOn(const std::string& in, const std::string& map, const std::string& seconds) {
  const std::string out = in + ".moved.m2ts";
  const testsupport::CommandResult r = testsupport::run_command(
      "ffmpeg -v error -y -copyts -i " + in + " -map " + map + " -c copy -output_ts_offset " + seconds +
      " -muxdelay 0 -muxpreload 0 -streamid 0:0x1011 -streamid 1:0x1100 -mpegts_m2ts_mode 1 -f mpegts " + out);
  EXPECT_EQ(r.exit, 0) << r.err;
  return out;
}

// Movie units of one picture of the 25p recordings: their movies have the
// time scale 48000, in which a sound edit begins and ends on the sample.
constexpr int64_t kPictureUnits = 48000 / 25;

std::pair<long long, long long> FirstStamps(const std::string& file);

// The sample frames (at 48 kHz) by which the first sound of `file` comes
// before its first picture: where a part's sound plays from, before its
// pictures, at a seam.
int64_t SoundLead(const std::string& file) {
  const auto [video, audio] = FirstStamps(file);
  return std::llround(double(video - audio) * 48000 / 90000);
}

// The first `pictures` pictures of `source` with their sound, as a recording
// of their own.
std::string FirstPictures(const std::string& out, const std::string& source, int pictures) {
  return Remuxed(out, source, "-map 0 -c copy -frames:v " + std::to_string(pictures));
}

// Sound of the track's kind after a stretch of another kind left out plays
// with the pictures of its own part: whether that part's time stamps go
// back, run on from the part before (a camera's clock going on between
// files) or follow a part whose stamps wrap, and with a part of another
// size left out too.
TEST(MtsimportCommand, SoundAfterOtherAudioPlaysWithItsPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(stereo, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts with moved time stamps are not made";
  const Folder folder;
  // 0.43 s after the stereo part ends; from 2^33 - 0.89 s to 1.1 s.
  const std::string late = MovedStamps(folder.path + "/late.m2ts", surround, "2.5");
  const std::string wraps = MovedStamps(folder.path + "/wraps.m2ts", stereo, "95441.433022");
  const std::vector<std::vector<std::string>> joins = {
      {surround, stereo, surround}, {surround, stereo, late}, {surround, wraps, surround}, {surround, wraps, hd, surround}};
  for (const auto& parts : joins) {
    SCOPED_TRACE(parts[1] + " " + parts[2]);
    const auto edits = JoinedEdits(parts);
    ASSERT_TRUE(edits.size() >= 2 && !edits[0].empty() && !edits.back().empty());
    // The last part's pictures: 4 s in, or after the empty time of the
    // part left out for its size; its sound starts with them, by its stamps.
    const int64_t pictures = edits[0].size() > 1 ? edits[0].back()[0] : 100 * kPictureUnits;
    const auto& last = edits.back().back();
    EXPECT_NE(last[2], -1);
    EXPECT_EQ(last[0], pictures - SoundLead(parts.back()));
    EXPECT_GE(last[0] + last[1], pictures + 49 * kPictureUnits);
  }
}

// Two parts of LPCM 5.1 (left out), the second's stamps running on 0.72 s
// after the first's end, then LPCM stereo whose stamps go back to before
// the second's start (its third group on, whose sound leads its first
// picture): that sound waits for its own pictures, not placed on the
// line of the 5.1 part's pictures (0.28 s late).
TEST(MtsimportCommand, SoundAfterOtherAudioAheadOfItsPicturesWaitsForThem) {
  AVCHD_REQUIRE_TESTDATA(l51, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(l20, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string a = folder.path + "/a.m2ts", b = folder.path + "/b.m2ts", c = folder.path + "/c.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS ""
      "s = J.cut(open(\"" + l51 + "\", \"rb\").read(), 0, 16); d = open(\"" + l20 + "\", \"rb\").read(); "
      "t = J.cut(d, J.Recording(d).gop_starts()[2][1], 13); "
      "open(\"" + a + "\", \"wb\").write(J.restamp(s, 900000)); open(\"" + b + "\", \"wb\").write(J.restamp(s, 1022400)); "
      "open(\"" + c + "\", \"wb\").write(J.restamp(t, 1018800))'");
  ASSERT_EQ(made.exit, 0) << made.err;
  const auto played = PlayedSound(JoinedEdits({a, b, c}));
  ASSERT_EQ(played.size(), 1u);
  EXPECT_EQ(played[0][0], 32 * kPictureUnits - SoundLead(c));
  EXPECT_EQ(played[0][1], 13 * kPictureUnits);
}

// Audio of another kind whose stamps go back, then a part that runs on
// from it but below the first part's stamps: the last part's sound takes
// the video's restart at that join (not 0.4 s later, where its stamps
// followed the left-out audio's).
TEST(MtsimportCommand, SoundAfterOtherAudioBelowTheTrackFollowsTheVideoJoin) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts with moved time stamps are not made";
  const Folder folder;
  // 4.4-6.4 s, 2.4-4.4 s, 4.8-6.8 s.
  const std::string on = MovedStamps(folder.path + "/on.m2ts", ac3, "3.4");
  const auto edits = JoinedEdits({MovedStamps(folder.path + "/first.m2ts", ac3, "3"),
                                  MovedStamps(folder.path + "/back.m2ts", lpcm, "1"), on});
  ASSERT_TRUE(edits.size() >= 2 && !edits.back().empty());
  const auto& last = edits.back().back();
  EXPECT_NE(last[2], -1);
  EXPECT_EQ(last[0], 100 * kPictureUnits - SoundLead(on));
  EXPECT_GE(last[1], 49 * kPictureUnits);
}

// Audio of another kind whose last PES comes after the next recording's
// first pictures and restarts the sound's time stamps once more (they step
// back from it): the last part's sound still starts with its pictures, not
// one movie unit later.
TEST(MtsimportCommand, SoundAfterOtherAudioEndingPastTheJoinStartsWithItsPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts with moved time stamps are not made";
  const Folder folder;
  const auto edits = JoinedEdits({surround, MovedStamps(folder.path + "/hd.m2ts", hd, "95443.018089"),
                                  MovedStamps(folder.path + "/after.m2ts", surround, "9.263767")});
  ASSERT_TRUE(edits.size() >= 2 && edits[0].size() == 3 && !edits.back().empty());
  const auto& last = edits.back().back();
  EXPECT_NE(last[2], -1);
  EXPECT_EQ(last[0], edits[0].back()[0] - SoundLead(surround));
}

// A recording joined on whose decode times run on from the one before but
// whose first picture lies 28 ms before that one's end: its pictures follow
// the others, and its sound moves with them (else it starts early by the
// overlap). The track's sound runs one AC-3 frame (960 units) before the
// pictures: it starts with the first recording's second sound frame.
TEST(MtsimportCommand, JoinOverlappingThePicturesMovesItsSoundWithThem) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the part with moved time stamps is not made";
  const Folder folder;
  const auto edits = JoinedEdits({hd, MovedStamps(folder.path + "/on.m2ts", hd, "10.01")});
  ASSERT_TRUE(edits.size() >= 2 && edits[0].size() == 1 && edits.back().size() >= 2);
  EXPECT_NE(edits.back().back()[2], -1);
  EXPECT_GE(edits.back().back()[0], 300300 - 960);
  EXPECT_LE(edits.back().back()[0], 300300);
}

// A part of one picture after a part of another size at 29.97 pictures a
// second: the track shows its picture for one of its own (25 a second), so
// the part after it begins that far on. Its sound, placed once that part's
// pictures are read, plays by its own stamps beside its picture (its head,
// under the sound of the part before, left out), not 6.6 ms late.
TEST(MtsimportCommand, OnePictureAfterAnotherSizeKeepsItsSoundBesideIt) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the part of one picture is not made";
  const Folder folder;
  const std::string first = folder.path + "/first.m2ts", other = folder.path + "/other.m2ts";
  const std::string from = folder.path + "/from.m2ts";
  testsupport::run_command(JOIN_PARTS
                           "sd = open(\"" + sd + "\", \"rb\").read(); "
                           "g = [t for k, t in J.Recording(sd).gop_starts() if k]; "
                           "open(\"" + first + "\", \"wb\").write(J.cut(sd, g[0], 7)); "
                           "open(\"" + from + "\", \"wb\").write(J.cut(sd, g[-1], 0)); "
                           "open(\"" + other + "\", \"wb\").write(J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 13))'");
  const std::string one = Remuxed(folder.path + "/one.m2ts", from, "-map 0 -c copy -frames:v 1");
  const testsupport::CommandResult reach = testsupport::run_command(
      JOIN_PARTS ""
      "r = J.Recording(open(\"" + one + "\", \"rb\").read()); "
      "print(len(r.audio) > 1 and r.audio[-1][\"pts\"] > r.video[0][\"pts\"] - 2880)'");
  if (reach.out != "True\n") GTEST_SKIP() << "the recording's sound of one picture ends before that picture";
  const auto edits = JoinedEdits({first, other, one, sd});
  ASSERT_TRUE(edits.size() >= 2 && edits[0].size() == 3 && edits.back().size() >= 4);
  const auto& before = edits.back()[2];
  const auto& own = edits.back()[3];
  ASSERT_NE(own[2], -1);
  // Samples of its sound left out before the edit: as many as its stamps
  // put before the edit's start.
  EXPECT_EQ(own[2] - (before[2] + before[1]), own[0] - (edits[0][2][0] - SoundLead(one)));
}

// A file that ends in audio of another kind, after parts whose time stamps
// lie above the last part's: the first part's sound still plays.
TEST(MtsimportCommand, SoundBeforeOtherAudioAtTheEndPlays) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(stereo, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the part with wrapping time stamps is not made";
  const Folder folder;
  const auto edits = JoinedEdits({surround, hd, MovedStamps(folder.path + "/wraps.m2ts", stereo, "95441.433022")});
  ASSERT_TRUE(edits.size() >= 2 && !edits.back().empty());
  EXPECT_GE(edits.back()[0][1], 49 * kPictureUnits);  // 2 s, less under one sound frame
}

// A join whose parts' delays from decode to display differ (352x288 parts
// by two pictures, 1080i by one): each part's sound starts with its own
// stretch of the movie, the stretch left out for its size included, and the
// first part's sound plays to its end.
TEST(MtsimportCommand, SizeJoinKeepsEachPartsSoundWithItsStretch) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const auto edits = JoinedEdits({ac3, lpcm, hd, ac3});
  // Video: 4 s, 10.01 s empty, 2 s; sound: 2 s, 2 s empty (LPCM left out),
  // the 1080i part's and the last part's sound.
  ASSERT_TRUE(edits.size() >= 2 && edits[0].size() == 3 && edits.back().size() >= 3);
  EXPECT_EQ(edits[0][1][2], -1);
  EXPECT_GE(edits.back()[0][1], 49 * kPictureUnits);  // the first part's 2 s, less under one sound frame
  // Its sound plays from its first sample, by its stamps less than a picture
  // before the stretch.
  const int64_t stretch = edits[0][1][0];
  bool withStretch = false;
  for (const auto& e : edits.back())
    withStretch = withStretch || (e[2] >= 0 && e[0] <= stretch && stretch - e[0] < kPictureUnits);
  EXPECT_TRUE(withStretch) << "no sound starts with the 1080i part's stretch at " << edits[0][1][0];

  // After the 1080i part, a part cut from the middle of the LPCM recording,
  // its stamps 40 s on: its sound, read in the file before its pictures,
  // plays with them (it was placed beside the first part's pictures by the
  // whole step, past the movie's end, and the movie lost it).
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const auto cutEdits = JoinedEdits({FirstPictures(folder.path + "/first.m2ts", lpcm, 13),
                                     FirstPictures(folder.path + "/hd.m2ts", hd, 25),
                                     Remuxed(folder.path + "/cut.m2ts", lpcm, "-ss 1 -map 0 -c copy -output_ts_offset 40")});
  ASSERT_TRUE(cutEdits.size() >= 2 && cutEdits[0].size() == 3);
  const auto& pictures = cutEdits[0].back();
  const auto sound = PlayedSound(cutEdits);
  ASSERT_FALSE(sound.empty());
  // It starts by its stamps no later than its pictures and plays to their end.
  EXPECT_LE(sound.back()[0], pictures[0]);
  EXPECT_GE(sound.back()[0] + sound.back()[1], pictures[0] + pictures[1] - 1);
}

// `source` without its sound, its stamps `seconds` later.
std::string PicturesOnly(const std::string& out, const std::string& source, const std::string& seconds) {
  return Remuxed(out, source, "-map 0:v -c copy -output_ts_offset " + seconds);
}

// The earliest (or, `latest`, the latest) video and audio presentation
// times of `file` (-1: none).
std::pair<long long, long long> OuterStamps(const std::string& file, bool latest) {
  long long video = -1, audio = -1;
  std::istringstream packets(testsupport::run_command("ffprobe -v error -show_entries "
                                                      "packet=stream_index,pts -of csv=p=0 " + file).out);
  for (std::string line; std::getline(packets, line);) {
    int stream = 0;
    long long pts = 0;
    if (std::sscanf(line.c_str(), "%d,%lld", &stream, &pts) != 2) continue;
    long long& kept = stream == 0 ? video : audio;
    if (kept < 0 || (latest ? pts > kept : pts < kept)) kept = pts;
  }
  return {video, audio};
}

std::pair<long long, long long> FirstStamps(const std::string& file) { return OuterStamps(file, false); }

// The sound media's sample frames in a --dump (the last track's samples).
int64_t SoundMediaFrames(const std::string& dump) {
  int64_t frames = 0;
  long long count = 0;
  for (size_t at = dump.find("\"count\": ", dump.rfind("\"samples\": [")); at != std::string::npos;
       at = dump.find("\"count\": ", at + 1))
    if (std::sscanf(dump.c_str() + at, "\"count\": %lld", &count) == 1) frames += count;
  return frames;
}

// A short last part whose stamps go back (the file's tail holds the end of
// the part before, on higher stamps): its sound plays to where its stamps
// end, less than a movie unit short (its last PES was once left out: 2.16 s
// of 2.25 s), and not past its pictures.
TEST(MtsimportCommand, ShortLastPartAfterAStepBackPlaysItsLastSound) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the last part is not made";
  const Folder folder;
  const std::string last = FirstPictures(folder.path + "/last.m2ts", sd, 8);
  const auto [video, audio] = OuterStamps(last, true);
  const std::string dump = JoinedDump({sd, last});
  ASSERT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << dump.substr(0, 40);  // 15 ticks in 8 movie units
  const auto edits = EditsOf(dump);
  const auto sound = PlayedSound(edits);
  ASSERT_TRUE(video >= 0 && audio >= 0 && edits.size() >= 2 && !edits[0].empty() && !sound.empty());
  const int64_t videoEnd = (edits[0].back()[0] + edits[0].back()[1]) * 15 / 8;
  const int64_t soundEnd = (sound.back()[0] + sound.back()[1]) * 15 / 8;
  EXPECT_EQ(soundEnd, videoEnd - (video + 3600 - audio - 2880));  // its sound's end before its pictures'
  EXPECT_LE(soundEnd, videoEnd);
}

// A last part of one picture whose first sound PES comes before its
// picture in the file (its sound steps first, ahead of the pictures' side),
// after a whole recording of other pictures: its sound, whose seam the
// video meets only at the file's last PES, plays from that picture on by
// its own stamps, the part before's sound up to it (it ran on, read on the
// sound's line, and played the part's sound 11 ms late or 69 ms early).
TEST(MtsimportCommand, OnePictureLastPartsSoundSteppingFirstPlaysByItsStamps) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the last part is not made";
  const Folder folder;
  const std::string cut = folder.path + "/cut.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS ""
      "d = open(\"" + sd + "\", \"rb\").read(); "
      "open(\"" + cut + "\", \"wb\").write(J.cut(d, J.Recording(d).gop_starts()[-1][1], 0))'");
  ASSERT_EQ(made.exit, 0) << made.err;
  // Each sound frame a PES of its own: the sound PES before the picture are
  // reported before it is.
  const std::string last =
      Remuxed(folder.path + "/last.m2ts", Remuxed(folder.path + "/one.m2ts", cut, "-map 0 -c copy -frames:v 1 -pes_payload_size 0"),
              "-map 0 -c copy -output_ts_offset 10 -pes_payload_size 0");
  const testsupport::CommandResult frames = testsupport::run_command(
      "ffprobe -v error -select_streams a -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " + last);
  const int64_t partFrames = std::atoll(frames.out.c_str()) * 1536;
  const int64_t lead = SoundLead(last);
  ASSERT_TRUE(partFrames > 0 && lead > 0) << frames.err;
  const std::string dump = JoinedDump({mbaff, last});
  ASSERT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << dump.substr(0, 40);
  const auto edits = EditsOf(dump);
  const auto sound = PlayedSound(edits);
  ASSERT_TRUE(edits.size() >= 2 && !edits[0].empty() && !sound.empty());
  const int64_t picture = edits[0].back()[0] + edits[0].back()[1] - kPictureUnits;
  // Its first sound sample plays ahead of the picture by its own lead,
  // whether that head plays or is left out under the part before's sound.
  const int64_t partStart = SoundMediaFrames(dump) - partFrames;
  EXPECT_GE(sound.back()[2], partStart);
  EXPECT_EQ(sound.back()[0] - (sound.back()[2] - partStart), picture - lead);
}

// A short last part (five or nine pictures) whose stamps run on from the
// recording before it: its sound plays from its first picture (the part
// before plays to there) to its last sample, though that falls between two
// pictures, and the saved movie decodes to every sample the edits play.
// Edits on whole 1/25 s once lost up to 40 ms of it at its end.
TEST(MtsimportCommand, ShortLastPartsSoundPlaysToItsLastSample) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the last part is not made";
  const Folder folder;
  const int64_t before = SoundMediaFrames(JoinedDump({sd}));
  for (int pictures : {5, 9}) {
    SCOPED_TRACE(pictures);
    const std::string last = Remuxed(folder.path + "/last.m2ts", FirstPictures(folder.path + "/cut.m2ts", sd, pictures),
                                     "-copyts -map 0 -c copy -muxdelay 0 -muxpreload 0 -output_ts_offset 2");
    const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
    const std::string mov = folder.path + "/joined.mov";
    const testsupport::CommandResult r = testsupport::run_command("cat " + sd + " " + last + " > " + joined + " && " +
                                                                  MTSIMPORT + " --dump " + json + " --mov " + mov +
                                                                  " " + joined);
    ASSERT_EQ(r.exit, 0) << r.err;
    const std::string dump = testsupport::read_text(json);
    long long scale = 0;
    ASSERT_EQ(std::sscanf(dump.c_str(), "{\"timeScale\": %lld", &scale), 1);
    const auto sound = PlayedSound(EditsOf(dump));
    ASSERT_FALSE(sound.empty());
    // Sample frames at track time t (movie units).
    auto frames = [scale](int64_t t) { return t * 48000 / scale; };
    // The last part's first picture, 2 s in, plays its own sound from there
    // (the part before's sound ends there).
    const int64_t seam = 2 * scale;
    int64_t mediaAtSeam = -1;
    for (const auto& e : sound)
      if (e[0] <= seam && seam < e[0] + e[1]) mediaAtSeam = e[2] + frames(seam - e[0]);
    EXPECT_EQ(mediaAtSeam, before + SoundLead(last));
    // Its last sample is played, and the sound plays on without a silence
    // from the movie's start.
    EXPECT_EQ(sound.back()[2] + frames(sound.back()[1]), SoundMediaFrames(dump));
    EXPECT_EQ(sound[0][0], 0);
    for (size_t k = 1; k < sound.size(); ++k) EXPECT_EQ(sound[k][0], sound[k - 1][0] + sound[k - 1][1]) << k;
    const int64_t end = frames(sound.back()[0] + sound.back()[1]);
    const std::string bytes = testsupport::run_command("ffmpeg -v error -i " + mov + " -map 0:a -f s16le - | wc -c").out;
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(std::stoll(bytes) / 4, end);
  }
}

// A first part of a few pictures, then the recording 44 s later: the movie
// keeps the stream's picture rate (not one from the step between the
// parts), and the second part's sound starts with its pictures, 4 frames
// in (the first part's P picture shows 3 frames after its I picture): the
// sound played there is the second part's first sample, as far into it as
// that part's sound begins before its first picture. (Where the first
// part's sound runs on to the second's, both play in one edit.)
TEST(MtsimportCommand, ShortFirstPartKeepsThePictureRate) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string later = MovedStamps(folder.path + "/later.m2ts", sd, "44");
  const auto [video, audio] = FirstStamps(later);
  const int64_t lead = (video - audio) * 48000 / 90000;
  for (int pictures : {2, 3, 4}) {
    const std::string first = FirstPictures(folder.path + "/first.m2ts", sd, pictures);
    const std::string dump = JoinedDump({first, later});
    EXPECT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << pictures << ": " << dump.substr(0, 40);
    const auto sound = PlayedSound(EditsOf(dump));
    ASSERT_FALSE(sound.empty()) << pictures;
    int64_t mediaAtFour = -1;  // 1/25 s a picture, 1920 sample frames
    for (const auto& e : sound)
      if (e[0] <= 4 * kPictureUnits && 4 * kPictureUnits < e[0] + e[1]) mediaAtFour = e[2] + 4 * kPictureUnits - e[0];
    // A later part's first sound is placed by its stamps, to the sample
    // (once on a whole 1/25 s, within 960 sample frames). The first part's sound
    // stays in the media only where an edit plays it: what comes before the
    // later part's sound is the joined media less the later part's own.
    const int64_t before = SoundMediaFrames(dump) - SoundMediaFrames(JoinedDump({later}));
    EXPECT_TRUE(before == 0 || before == SoundMediaFrames(JoinedDump({first}))) << pictures << ": " << before;
    EXPECT_EQ(mediaAtFour, before + lead) << pictures;
  }
  const std::string dump = JoinedDump({FirstPictures(folder.path + "/hd_first.m2ts", hd, 3),
                                       MovedStamps(folder.path + "/hd_later.m2ts", hd, "44")});
  EXPECT_EQ(dump.rfind("{\"timeScale\": 30000,", 0), 0u) << dump.substr(0, 40);
  // A recording of four pictures cut at a group of the 1080i one that is no
  // IDR picture's: its two B pictures that show before its I picture refer
  // to pictures cut off, and the movie begins at the I picture.
  const std::string open = folder.path + "/open.m2ts";
  const testsupport::CommandResult cut = testsupport::run_command(JOIN_PARTS "d = open(\"" + hd + "\", \"rb\").read(); a = J.Recording(d); "
                                     "g = a.group_starts(); len(g) < 2 and sys.exit(3); k = g[1]; "
                                     "5 in a.video[k][\"kinds\"] and sys.exit(3); "
                                     "t = min(t for t in a.tables if t > a.video[k - 1][\"packets\"][0]); "
                                     "open(\"" + open + "\", \"wb\").write(J.cut(d, t, 4))'");
  if (cut.exit == 3) GTEST_SKIP() << "the 1080i recording has no second group that begins without an IDR picture";
  ASSERT_EQ(cut.exit, 0) << cut.err;
  const std::string alone = JoinedDump({open});
  EXPECT_EQ(alone.rfind("{\"timeScale\": 30000,", 0), 0u) << alone.substr(0, 40);
  const auto edits = EditsOf(alone);
  ASSERT_FALSE(edits.empty() || edits[0].empty());
  EXPECT_EQ(edits[0][0][2], 2 * 1001);
}


int64_t VideoMediaValue(const std::string& dump, const std::string& name);
std::tuple<long long, long long, std::vector<std::array<int64_t, 3>>> ImportedQuietly(const std::string& joined,
                                                                                    const std::string& json);

// The display times of the video track's samples in the dump `dump`, in
// decode order.
std::vector<int64_t> VideoDisplayTimes(const std::string& dump) {
  const std::string file = Temp("display.json");
  {
    std::ofstream out(file);
    out << dump;
  }
  const testsupport::CommandResult r = testsupport::run_command(
      "python3 -c 'import json; t = 0\nfor s in [x[\"media\"] for x in json.load(open(\"" + file +
      "\"))[\"tracks\"] if x[\"media\"][\"type\"] == \"vide\"][0][\"samples\"]:\n for i in range(s[\"count\"]): print(t + "
      "s[\"displayOffset\"]); t += s[\"duration\"]'");
  std::remove(file.c_str());
  std::vector<int64_t> times;
  std::istringstream lines(r.out);
  for (int64_t t; lines >> t;) times.push_back(t);
  return times;
}

// Pieces of the 1080i recording cut at groups that begin with an I picture
// but no IDR picture (the recording has one, at its start) join as pieces
// cut at IDR pictures do: a piece of one picture, then one from the next
// group, its stamps half a second on and its tables' counter broken, is a
// join (no word, the stream's picture rate); a piece whose first group's B
// pictures show before its I picture shows them after the pictures before,
// not over their last ones.
TEST(MtsimportCommand, RecordingCutAtAnIPictureJoinsAsAnyOther) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string pieces = folder.path + "/pieces.m2ts", twice = folder.path + "/twice.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS "d = open(\"" + hd + "\", \"rb\").read(); a = J.Recording(d); g = a.group_starts(); "
      "at = lambda k: min(t for t in a.tables if t > a.video[k - 1][\"packets\"][0]); "
      "(len(g) < 4 or any(5 in a.video[k][\"kinds\"] for k in g[1:4])) and sys.exit(3); "
      "open(\"" + pieces + "\", \"wb\").write(J.cut(d, at(g[1]), 1) + J.cut(d, at(g[2]), 9)); "
      "c = J.cut(d, at(g[3]), 30); open(\"" + twice + "\", \"wb\").write(c + c)'");
  if (made.exit == 3) GTEST_SKIP() << "the 1080i recording's groups are not as this test expects";
  ASSERT_EQ(made.exit, 0) << made.err;
  const std::string json = folder.path + "/joined.json";
  const auto [scale, duration, played] = ImportedQuietly(pieces, json);
  EXPECT_EQ(scale, 30000);
  EXPECT_EQ(VideoMediaValue(testsupport::read_text(json), "sampleCount"), 10);
  ImportedQuietly(twice, json);
  std::vector<int64_t> times = VideoDisplayTimes(testsupport::read_text(json));
  ASSERT_EQ(times.size(), 60u);
  std::sort(times.begin(), times.end());
  for (size_t i = 1; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], 1001) << i;
}

// A first part of one group cut at an I picture that is no IDR picture's
// (its leading B pictures left out of the movie's time), then a recording
// of another size whose stamps run on: that recording's sound plays from
// where its stretch begins, beside its own first picture, not two pictures
// later.
TEST(MtsimportCommand, SoundOfAPartLeftOutAfterAnOpenGroupPlaysBesideItsStretch) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  // Prints where the small recording's first picture lies in the movie's
  // time (30000 a second): its stamps after the first part's I picture's.
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS "d = open(\"" + hd + "\", \"rb\").read(); a = J.Recording(d); g = a.group_starts(); "
      "(len(g) < 2 or 5 in a.video[g[1]][\"kinds\"]) and sys.exit(3); k = g[1]; "
      "first = J.cut(d, min(t for t in a.tables if t > a.video[k - 1][\"packets\"][0]), 6); "
      "j = J.run_on([(first, 0), (open(\"" + sd + "\", \"rb\").read(), 0)]); open(\"" + joined +
      "\", \"wb\").write(j); r = J.Recording(j); "
      "print((min(p[\"pts\"] for p in r.video[6:]) - r.video[0][\"pts\"]) // 3)'");
  if (made.exit == 3) GTEST_SKIP() << "the 1080i recording has no second group that begins without an IDR picture";
  ASSERT_EQ(made.exit, 0) << made.err;
  const int64_t stretch = std::stoll(made.out);
  const auto [scale, duration, played] = ImportedQuietly(joined, folder.path + "/joined.json");
  ASSERT_EQ(scale, 30000);
  // Within one AC-3 frame (600 units): its first sound, 5 ms before its
  // picture, is trimmed where the first part's sound still plays.
  EXPECT_TRUE(std::any_of(played.begin(), played.end(),
                          [&](const std::array<int64_t, 3>& e) { return std::llabs(e[0] - stretch) <= 600; }))
      << stretch;
}

// Rewrites the continuity counters of the recording `after` so that its
// sound's (and with `video` its pictures') run on from those of `before`,
// as they do by chance at one join in 16, while its program tables' counter
// breaks, as another recording's does (with `tablesRunOn` it runs on too).
void RunCountersOn(const std::string& before, const std::string& after, bool video, bool tablesRunOn = false) {
  uint8_t counters[3] = {0, 0, 0};  // the sound's, the pictures', the tables'
  const auto renumber = [&counters, video](std::vector<uint8_t>& bytes, bool write) {
    for (size_t at = 0; at + 192 <= bytes.size(); at += 192) {
      uint8_t* p = &bytes[at + 4];
      const uint32_t pid = uint32_t(p[1] & 0x1F) << 8 | p[2];
      const bool payload = (p[3] & 0x10) != 0;
      const int k = pid == 0x1100 && payload ? 0 : pid == 0x1011 && payload && video ? 1 : pid == 0 ? 2 : -1;
      if (k < 0) continue;
      if (write) p[3] = uint8_t((p[3] & 0xF0) | (++counters[k] & 0x0F));
      else counters[k] = p[3] & 0x0F;
    }
  };
  auto first = testsupport::read_file(before);
  auto later = testsupport::read_file(after);
  renumber(first, false);
  if (!tablesRunOn) ++counters[2];
  renumber(later, true);
  std::ofstream out(after, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(later.data()), std::streamsize(later.size()));
}

// A part cut at a group in the middle of the LPCM recording, after 16
// pictures of it: its sound starts where the first part's sound ends and
// its counter runs on (as one join in 16 does by chance), its pictures a
// picture or more after the first part's, after another recording's
// tables. Its sound still plays beside its own pictures, wherever they go
// (it ran on after the first part's sound, late by the pictures' step).
TEST(MtsimportCommand, SoundWhoseCounterRunsOnAcrossASeamKeepsToItsPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string first = FirstPictures(folder.path + "/first.m2ts", lpcm, 16);
  const std::string cut = folder.path + "/cut.m2ts", later = folder.path + "/later.m2ts";
  const std::string mux = " -streamid 0:0x1011 -streamid 1:0x1100 -mpegts_m2ts_mode 1 -f mpegts ";
  testsupport::run_command("ffmpeg -v error -y -ss 1 -i " + lpcm + " -map 0 -c copy -frames:v 16" + mux + cut);
  // Where the first part's sound ends: its last PES's time and length.
  long long end = 0, pts = 0, length = 0;
  std::istringstream sound(testsupport::run_command("ffprobe -v error -select_streams a:0 -show_entries "
                                                    "packet=pts,duration -of csv=p=0 " + first).out);
  for (std::string line; std::getline(sound, line);)
    if (std::sscanf(line.c_str(), "%lld,%lld", &pts, &length) == 2) end = pts + length;
  const long long begins = FirstStamps(cut).second;
  ASSERT_TRUE(end > 0 && begins >= 0);
  char offset[32];
  std::snprintf(offset, sizeof offset, "%.6f", double(end - begins) / 90000);
  testsupport::run_command("ffmpeg -v error -y -copyts -i " + cut + " -map 0 -c copy -muxdelay 0 -muxpreload 0 " +
                           "-output_ts_offset " + offset + mux + later);
  const auto [video, audio] = FirstStamps(later);
  ASSERT_EQ(audio, end);
  RunCountersOn(first, later, false);
  const std::string dump = JoinedDump({first, later});
  const auto edits = EditsOf(dump);
  // 32 pictures back to back, 1/25 s each (1,920 sample frames): the later
  // part's first picture shows at 16, with its sound as far in as that
  // sound begins before it (to the sample; once placed on a whole 1/25 s).
  ASSERT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << dump.substr(0, 40);
  ASSERT_TRUE(!edits.empty() && edits[0].size() == 1 && edits[0][0][1] == 32 * kPictureUnits);
  const int64_t mediaAt = SoundMediaAt(edits, 16 * kPictureUnits);
  EXPECT_EQ(mediaAt, SoundMediaFrames(JoinedDump({first})) + SoundLead(later));
}

// Three parts from the LPCM recording's start: 16 pictures, 12 whose
// stamps go back by less than a second, then 9 that step 7 pictures ahead
// of those, their pictures' and sound's counters running on by chance. The
// last part begins another recording though the part before lay below the
// first part's stamps: no sound is said lost, and its sound plays with its
// pictures (the step was read as sound lost inside a part, 40 ms early).
TEST(MtsimportCommand, PartSteppingAheadAfterAStepBackOfUnderASecondKeepsItsSound) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string first = FirstPictures(folder.path + "/first.m2ts", lpcm, 16);
  const std::string back = folder.path + "/back.m2ts", ahead = folder.path + "/ahead.m2ts";
  const std::string moved = " -map 0 -c copy -muxdelay 0 -muxpreload 0 -output_ts_offset ";
  Remuxed(back, FirstPictures(folder.path + "/12.m2ts", lpcm, 12), "-copyts" + moved + "-0.32");
  Remuxed(ahead, FirstPictures(folder.path + "/9.m2ts", lpcm, 9), "-copyts" + moved + "0.44");
  RunCountersOn(back, ahead, true);
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  const testsupport::CommandResult r = testsupport::run_command("cat " + first + " " + back + " " + ahead + " > " +
                                                                joined + " && " + MTSIMPORT + " --dump " + json +
                                                                " " + joined);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dump = testsupport::read_text(json);
  const auto edits = EditsOf(dump);
  // 37 pictures back to back, 1/25 s each: the last part's first picture at
  // 28, with its first sound sample (the part's sound starts with it).
  ASSERT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << dump.substr(0, 40);
  ASSERT_TRUE(!edits.empty() && edits[0].size() == 1 && edits[0][0][1] == 37 * kPictureUnits);
  const int64_t mediaAt = SoundMediaAt(edits, 28 * kPictureUnits);
  EXPECT_EQ(mediaAt, SoundMediaFrames(JoinedDump({first, back})) + SoundLead(ahead));
}

// Two parts of the AC-3 recording: 12 pictures from a group a third in,
// then 19 from its start whose stamps step 0.64 s beyond the first part's
// end, the sound's and the tables' counters running on (as where both were
// cut from one recording), the pictures' breaking. The video's step is read
// as a join once the sound steps there too: the later part follows the
// first, its sound beside its pictures (it was 64 ms early).
TEST(MtsimportCommand, StepAfterTablesThatRunOnBeginsAPartOnceTheSoundStepsToo) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the movie is not measured";
  const Folder folder;
  const std::string first = folder.path + "/first.m2ts", later = folder.path + "/later.m2ts";
  testsupport::run_command(JOIN_PARTS
                           "d = open(\"" + ac3 + "\", \"rb\").read(); r = J.Recording(d); "
                           "t = [t for k, t in r.gop_starts() if 3 * t >= len(r.packets)][0]; "
                           "a = J.cut(d, t, 12); b = J.cut(d, 0, 19); open(\"" + first + "\", \"wb\").write(a); "
                           "open(\"" + later + "\", \"wb\").write(J.restamp(b, J.first_video_pts(a) + 100800 - "
                           "J.first_video_pts(b)))'");
  RunCountersOn(first, later, false, true);
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  const testsupport::CommandResult r = testsupport::run_command("cat " + first + " " + later + " > " + joined +
                                                                " && " + MTSIMPORT + " --dump " + json + " " + joined);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dump = testsupport::read_text(json);
  // 31 pictures back to back, 1/25 s each (1,920 sample frames): the later
  // part's first picture shows at 12, its sound as far on as it begins
  // after that picture (to the sample). The sound track may come first.
  ASSERT_EQ(dump.rfind("{\"timeScale\": 48000, \"duration\": 59520,", 0), 0u) << dump.substr(0, 40);
  const int64_t mediaAt = SoundMediaAt(EditsOf(dump.substr(0, dump.find("\"type\": \"soun\""))), 12 * kPictureUnits);
  const std::string alone = JoinedDump({first});
  const size_t sound = alone.find("\"decodeDuration\": ", alone.find("\"type\": \"soun\""));
  long long before = -1;
  ASSERT_TRUE(sound != std::string::npos &&
              std::sscanf(alone.c_str() + sound, "\"decodeDuration\": %lld", &before) == 1);
  EXPECT_EQ(mediaAt, before + SoundLead(later));
}

// Three parts of the LPCM recording: 13 pictures from its start, 19 from
// its second group whose stamps run on seamlessly (the sound's and the
// tables' counters running on, the pictures' breaking), then 9 more that
// begin 0.6 s after those end. The seamless seam is over once the second
// part's sound ran on past its first picture: the third part's sound
// plays beside its own pictures (its step was taken for the second part's
// seam, and the sound stopped at the second part's end, 0.36 s short).
TEST(MtsimportCommand, SoundStepAfterASeamlessPartWaitsForItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string p0 = folder.path + "/p0.m2ts", p1 = folder.path + "/p1.m2ts", p2 = folder.path + "/p2.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS ""
      "d = open(\"" + lpcm + "\", \"rb\").read(); g = J.Recording(d).gop_starts()[1][1]; "
      "a = J.cut(d, 0, 13); b = J.cut(d, g, 19); c = J.cut(d, g, 9); v = J.first_video_pts; "
      "b = J.restamp(b, v(a) + 13 * 3600 - v(b)); c = J.restamp(c, v(b) + 19 * 3600 + 54000 - v(c)); "
      "[open(n, \"wb\").write(x) for n, x in ((\"" + p0 + "\", a), (\"" + p1 + "\", b), (\"" + p2 + "\", c))]; "
      "r = J.Recording(c); print(len(J.Recording(a).audio) + len(J.Recording(b).audio), "
      "v(c) - r.audio[0][\"pts\"])'");
  long long pes = 0, lead = 0;
  ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld", &pes, &lead), 2) << made.err;
  RunCountersOn(p0, p1, false, true);
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  const testsupport::CommandResult r = testsupport::run_command("cat " + p0 + " " + p1 + " " + p2 + " > " + joined +
                                                                " && " + MTSIMPORT + " --dump " + json + " " + joined);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dump = testsupport::read_text(json);
  // 41 pictures back to back: the third part's first picture shows at 32,
  // with its sound as far in as that sound begins before it.
  ASSERT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << dump.substr(0, 40);
  const int64_t mediaAt = SoundMediaAt(EditsOf(dump.substr(0, dump.find("\"type\": \"soun\""))), 32 * kPictureUnits);
  EXPECT_EQ(mediaAt, pes * 240 + lead * 48000 / 90000);
}

// Two pictures of the 1080i recording, then the AC-3 recording with decode
// times running on from them by one 1080i frame and every counter running on
// (the tables' too): only the picture size tells that another recording
// begins there. The sound's step at that seam is no loss (a warning once
// said 0.049 s of sound were lost); a sound PES taken out later in the part
// is still told.
TEST(MtsimportCommand, OtherSizeRecordingWithEveryCounterRunningOnLosesNoSound) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string first = folder.path + "/first.m2ts", later = folder.path + "/later.m2ts";
  const std::string lossy = folder.path + "/lossy.m2ts", joined = folder.path + "/joined.m2ts";
  testsupport::run_command(JOIN_PARTS
                           "a = J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 2); "
                           "b = open(\"" + sd + "\", \"rb\").read(); "
                           "last = max(p[\"dts\"] or p[\"pts\"] for p in J.Recording(a).video); "
                           "open(\"" + first + "\", \"wb\").write(a); "
                           "open(\"" + later + "\", \"wb\").write(J.restamp(b, (last + 3003 - "
                           "J.Recording(b).video[0][\"dts\"]) % J.WRAP))'");
  RunCountersOn(first, later, true, true);
  testsupport::run_command(JOIN_PARTS
                           "r = J.Recording(open(\"" + later + "\", \"rb\").read()); "
                           "open(\"" + lossy + "\", \"wb\").write(r.bytes(r.audio[len(r.audio) // 2][\"packets\"]))'");
  for (const std::string& part : {later, lossy}) {
    const testsupport::CommandResult r =
        testsupport::run_command("cat " + first + " " + part + " > " + joined + " && " + MTSIMPORT + " " + joined);
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("'soun'"), std::string::npos) << r.out;
    if (part == later)
      EXPECT_EQ(r.err, "");
    else
      EXPECT_NE(r.err.find("damaged recording: 0.032 s of sound"), std::string::npos) << r.err;
  }
}

// An LPCM 5.1 part of three pictures, then an LPCM stereo recording cut at a
// group's tables two thirds in (its sound begins before its first picture)
// with stamps that wrap: the sound track is the stereo part's, and its
// media begins with the first sample an edit plays (a stream copy keeps
// every sample before the first edit, and would play them).
TEST(MtsimportCommand, LaterPartsSoundMediaBeginsWhereItPlays) {
  AVCHD_REQUIRE_TESTDATA(l51, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(l20, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string cut = folder.path + "/cut.m2ts";
  testsupport::run_command(JOIN_PARTS
                           "d = open(\"" + l20 + "\", \"rb\").read(); "
                           "r = J.Recording(d); t = [i for i in r.tables if 3 * i >= 2 * len(r.packets)][0]; "
                           "open(\"" + cut + "\", \"wb\").write(J.cut(d, t, 0))'");
  const std::string later = Remuxed(folder.path + "/later.m2ts", Remuxed(folder.path + "/plain.m2ts", cut, "-map 0 -c copy"),
                                    "-copyts -map 0 -c copy -output_ts_offset 95441.797689 -muxdelay 0 -muxpreload 0");
  const auto sound = PlayedSound(JoinedEdits({FirstPictures(folder.path + "/first.m2ts", l51, 3), later}));
  ASSERT_FALSE(sound.empty());
  EXPECT_LT(sound.front()[2], 240);  // inside the media's first LPCM sample
}

// LPCM 5.1 pictures, a part without sound, then an LPCM stereo part whose
// first sound PES is read before its first picture is (its stamps wrap):
// that sound is the stereo part's, not the soundless part's, and plays from
// the stereo part's first picture (nine and sixteen pictures in), the
// stretch before it silent. Also where the PAT's counter runs on across
// both joins (one join in 16 by chance) while the pictures' and the sound's
// break: the stereo sound once played 0.98 s early, under the other parts.
TEST(MtsimportCommand, SoundAfterASoundlessPartWaitsForItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(l51, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(l20, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  for (const bool tablesRunOn : {false, true}) {
    const std::string joined = folder.path + "/joined.m2ts";
    const testsupport::CommandResult r = testsupport::run_command(
        JOIN_PARTS ""
        "a = open(\"" + l51 + "\", \"rb\").read(); b = open(\"" + l20 + "\", \"rb\").read(); "
        "ra, rb = J.Recording(a), J.Recording(b); "
        "ta = [i for i in ra.tables if 5 * i >= len(ra.packets)][0]; "
        "tb = [i for i in rb.tables if 9 * i >= 4 * len(rb.packets)][0]; c = J.cut(b, tb, 16); "
        "parts = [J.cut(a, ta, 9), J.restamp(J.without_sound(J.cut(a, 0, 16)), 900000), "
        "J.restamp(c, (1 << 33) - J.first_video_pts(c) - 45000)]; "
        "parts = J.pat_runs_on(parts) if " + (tablesRunOn ? "1" : "0") + " else parts; "
        "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
    ASSERT_EQ(r.exit, 0) << r.err;
    const auto sound = PlayedSound(JoinedEdits({joined}));
    ASSERT_FALSE(sound.empty()) << tablesRunOn;
    EXPECT_NEAR(sound.front()[0], 25 * kPictureUnits, kPictureUnits) << tablesRunOn;
  }
}

// A soundless recording, then a part of one picture whose sound PES follow
// its picture in the file up to the next part's, its stamps a picture
// before the first part's (its sound leads it by 69 ms): its picture is
// read only with the next part's, after all its sound, and that sound is
// still its own. It plays beside its picture, fifty pictures in, not at
// the movie's start under the first part's pictures (it once did, its
// stamps taken beside the first part's first picture).
TEST(MtsimportCommand, SoundReadBeforeItsOnlyPictureIsThatPartsOwn) {
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  if (testsupport::read_file(ac3).size() < 192u * 1100) GTEST_SKIP() << "the recording is too short for the cut";
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  const testsupport::CommandResult r = testsupport::run_command(
      JOIN_PARTS ""
      "a = open(\"" + mbaff + "\", \"rb\").read(); b = open(\"" + ac3 + "\", \"rb\").read(); w = 1 << 33; "
      "p0 = J.without_sound(a); p0 = J.restamp(p0, 900000 - J.first_video_pts(p0)); "
      "r = J.Recording(J.cut(b, 1048, 0)); p1 = r.bytes(set(r.video[-1][\"packets\"])); "
      "p1 = J.restamp(p1, (896400 - J.first_video_pts(p1)) % w); "
      "p2 = J.cut(b, 779, 3); p2 = J.restamp(p2, (1350000 - J.first_video_pts(p2)) % w); "
      "open(\"" + joined + "\", \"wb\").write(p0 + p1 + p2)'");
  ASSERT_EQ(r.exit, 0) << r.err;
  const auto sound = PlayedSound(EditsOf(JoinedDump({joined})));
  ASSERT_FALSE(sound.empty());
  EXPECT_NEAR(sound.front()[0], 50 * kPictureUnits, 2 * kPictureUnits);
}

// A part with sound, a one-picture part without any (its sound PES lost up
// to the next group's tables and IDR picture), then the rest of that
// recording, whose sound leads its pictures by two: the last part's sound
// steps over both seams, yet plays beside its own pictures by its stamps
// (run on after the first part's sound, it once played a picture early).
TEST(MtsimportCommand, SoundSteppingOverASoundlessOnePicturePartKeepsToItsPictures) {
  AVCHD_REQUIRE_TESTDATA(l20, "avchd/small_lpcm_20_avchd.m2ts");
  // The first part is cut from far into the recording: a shorter one has
  // no such stretch.
  if (testsupport::read_file(l20).size() < 192u * 3200) GTEST_SKIP() << "the recording is too short for the join";
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  const testsupport::CommandResult r = testsupport::run_command(
      JOIN_PARTS ""
      "a = open(\"" + l20 + "\", \"rb\").read(); w = J.restamp(a, 640800); r = J.Recording(w); v = r.video; "
      "g = r.gop_starts()[1][0]; "
      "cut = [t for t in r.tables if v[g - 1][\"packets\"][0] < t < v[g][\"packets\"][0]][0]; "
      "drop = {i for p in r.pes if v[1][\"packets\"][0] <= p[\"packets\"][0] < cut for i in p[\"packets\"]}; "
      "parts = [J.restamp(J.cut(a, 2198, 12), 428400), r.bytes(drop | set(range(cut, len(r.packets)))), "
      "r.bytes(set(range(cut)) | drop)]; "
      "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
  ASSERT_EQ(r.exit, 0) << r.err;
  const auto sound = PlayedSound(EditsOf(JoinedDump({joined})));
  ASSERT_EQ(sound.size(), 2u);
  EXPECT_EQ(sound[1][0], 11 * kPictureUnits);
}

// A PAT whose discontinuity_indicator announces a jump of its counter inside
// a recording begins no recording: a recording with one in the middle
// imports without a word, and one whose first group's tables (cut off before
// its pictures, the PAT flagged) end the file's first part, before another
// recording's tables, leaves no recording between to count video lost in (a
// warning once said 0.040 s of video could not be read).
TEST(MtsimportCommand, FlaggedPatCounterJumpBeginsNoRecording) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string flagged = folder.path + "/flagged.m2ts", joined = folder.path + "/joined.m2ts";
  const testsupport::CommandResult r = testsupport::run_command(
      JOIN_PARTS ""
      "a = open(\"" + lpcm + "\", \"rb\").read(); r = J.Recording(a); "
      "open(\"" + flagged + "\", \"wb\").write(J.flag_pat(a, len(r.tables) // 6, 5)); "
      "first = J.cut(a, 0, r.gop_starts()[1][0]); "
      "parts = J.pat_runs_on([J.flag_pat(first, -1, 5), J.restamp(a, 1800000)]); "
      "parts[1] = J.flag_pat(parts[1], 0, 7, False); "
      "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
  ASSERT_EQ(r.exit, 0) << r.err;
  const std::string json = folder.path + "/flagged.json";
  const testsupport::CommandResult one = testsupport::run_command(MTSIMPORT " --dump " + json + " " + flagged);
  ASSERT_EQ(one.exit, 0) << one.err;
  EXPECT_EQ(one.err, "");
  const testsupport::CommandResult two = testsupport::run_command(MTSIMPORT " " + joined);
  ASSERT_EQ(two.exit, 0) << two.err;
  EXPECT_EQ(two.err, "");
}

// Twenty-five pictures from a recording's second group without sound, then
// its first nineteen with their sound, their stamps moved 1.8 s on (a step
// ahead of about a third of a second), the PAT's counter running on: the
// step is longer than the first part's tables leave between them, so a
// join. The movie's first sound PES lies beyond it and runs on from no
// sound before it: it does not show one recording going on (a warning once
// said 0.320 s of video could not be read).
TEST(MtsimportCommand, FirstSoundAfterASoundlessPartsStepKeepsTheJoinSilent) {
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  const testsupport::CommandResult r = testsupport::run_command(
      JOIN_PARTS ""
      "d = open(\"" + mbaff + "\", \"rb\").read(); r = J.Recording(d); "
      "parts = J.pat_runs_on([J.without_sound(J.cut(d, r.gop_starts()[1][1], 25)), J.restamp(J.cut(d, 0, 19), 162000)]); "
      "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
  ASSERT_EQ(r.exit, 0) << r.err;
  const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " " + joined);
  ASSERT_EQ(imported.exit, 0) << imported.err;
  EXPECT_EQ(imported.err, "");
  EXPECT_NE(imported.out.find("'vide': 44 samples"), std::string::npos) << imported.out;
}

// Joins `pictures` pictures of `first` from its second group, without
// their sound, and the first 19 of `second` (without sound where `quiet`),
// the second part's stamps running on seamlessly from the first's end;
// imports the join with the tables' counter breaking and running on across
// it: both silent, one movie.
void ExpectSeamlessJoinSilentEitherWay(const std::string& first, const std::string& second, int pictures, bool quiet) {
  SCOPED_TRACE(first + ", " + std::to_string(pictures) + " pictures, then " + second);
  const Folder folder;
  std::string dumps[2];
  for (const bool tablesRunOn : {false, true}) {
    const std::string joined = folder.path + "/joined.m2ts";
    const testsupport::CommandResult r = testsupport::run_command(
        JOIN_PARTS ""
        "a = open(\"" + first + "\", \"rb\").read(); b = open(\"" + second + "\", \"rb\").read(); "
        "first = J.without_sound(J.cut(a, J.Recording(a).gop_starts()[1][1], " + std::to_string(pictures) + ")); "
        "v = sorted(p[\"pts\"] for p in J.Recording(first).video if p[\"pts\"] is not None); "
        "second = J.cut(b, 0, 19); second = J.without_sound(second) if " + (quiet ? "1" : "0") + " else second; "
        "parts = [first, J.restamp(second, v[-1] + v[1] - v[0] - J.first_video_pts(second))]; "
        "parts = J.pat_runs_on(parts) if " + std::string(tablesRunOn ? "1" : "0") + " else parts; "
        "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
    ASSERT_EQ(r.exit, 0) << r.err;
    const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " --dump - " + joined);
    ASSERT_EQ(imported.exit, 0) << imported.err;
    EXPECT_EQ(imported.err.find("warning"), std::string::npos) << imported.err;
    dumps[tablesRunOn] = WithoutRecordIds(imported.out);
  }
  EXPECT_TRUE(dumps[1] == dumps[0]) << "the join read late made another movie";
}

// Fourteen pictures without sound, cut inside a group (their last shown two
// pictures after the last one decoded), then a recording of the same size
// with its sound (its pictures shown one or two pictures after their decode
// time), its stamps running on from the first part's end. Where the PAT's
// counter runs on across the join, its step is held as lost until the sound
// comes, and the part's first pictures are in the track by then: the movie
// is the one made where the counter breaks and the join is read at once
// (its pictures once showed in decode order, one or two pictures early, a
// picture hidden under the first part's last, their sound with them).
TEST(MtsimportCommand, PartOfAnotherDisplayDelayJoinedLateShowsAsAJoinReadAtOnce) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  ExpectSeamlessJoinSilentEitherWay(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"), ac3, 14, false);
}

// Twenty-five pictures without sound, then a recording of the same size
// without B pictures (stamps carry no decode time), one picture back to
// five pictures on, whose first sound PES lies ahead of its first picture
// in the file, between that recording's tables. Where the PAT's counter
// runs on across the join, that sound tells the step is a join: the movie
// is the one made where the counter breaks (a warning once said video could
// not be read, and the part's sound played from the movie's start). Its
// sound plays beside its own pictures by its stamps, from its lead before
// them, also where its stamps run on from the pictures before or repeat
// their last time (it was once taken for theirs, and played from the
// movie's start).
TEST(MtsimportCommand, SoundAheadOfAPartWithoutBPicturesKeepsItsJoinSilent) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the part is not made";
  const Folder folder;
  const std::string sample = testsupport::local_data_file("sample.m2ts");
  const std::string later = folder.path + "/later.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i "
      "sine=frequency=440:sample_rate=48000 -t 0.8 -c:v libx264 -preset veryfast -profile:v high -g 12 -bf 0 "
      "-pix_fmt yuv420p -x264-params threads=1 -c:a ac3 -b:a 192k -ac 2 -f mpegts -mpegts_m2ts_mode 1 "
      "-streamid 0:0x1011 -streamid 1:0x1100 -mpegts_pmt_start_pid 0x100 -fflags +bitexact -pes_payload_size 0 " +
      later);
  ASSERT_EQ(made.exit, 0) << made.err;
  const int64_t lead = SoundLead(later);
  ASSERT_GT(lead, 0);
  for (const int step : {-1, 0, 1, 2, 5}) {
    std::string dumps[2];
    for (const bool tablesRunOn : {false, true}) {
      const std::string joined = folder.path + "/joined.m2ts";
      const testsupport::CommandResult r = testsupport::run_command(
          JOIN_PARTS ""
          "a = open(\"" + sample + "\", \"rb\").read(); b = open(\"" + later + "\", \"rb\").read(); "
          "first = J.without_sound(J.cut(a, J.Recording(a).gop_starts()[1][1], 25)); "
          "v = sorted(p[\"pts\"] for p in J.Recording(first).video if p[\"pts\"] is not None); "
          "second = J.cut(b, 0, 19); "
          "parts = [first, J.restamp(second, v[-1] + " + std::to_string(step) +
          " * (v[1] - v[0]) - J.first_video_pts(second))]; "
          "parts = J.pat_runs_on(parts) if " + std::string(tablesRunOn ? "1" : "0") + " else parts; "
          "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
      ASSERT_EQ(r.exit, 0) << r.err;
      const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " --dump - " + joined);
      ASSERT_EQ(imported.exit, 0) << imported.err;
      EXPECT_EQ(imported.err.find("warning"), std::string::npos) << "step " << step << ": " << imported.err;
      const auto sound = PlayedSound(EditsOf(imported.out));
      ASSERT_FALSE(sound.empty()) << "step " << step;
      EXPECT_EQ(sound[0][0], 25 * kPictureUnits - lead) << "step " << step << ", counter ran on: " << tablesRunOn;
      dumps[tablesRunOn] = WithoutRecordIds(imported.out);
    }
    EXPECT_TRUE(dumps[1] == dumps[0]) << "step " << step << ": the join whose counter ran on made another movie";
  }
}

// The first part's sound plays from its first picture by its stamps: the
// AC-3 frame that holds the first picture's time plays from that time on,
// in a short first part as in a whole recording (the track once started
// with the next frame, 26.7 ms early, and a short part's first frame was
// never heard).
TEST(MtsimportCommand, FirstPartsSoundPlaysFromItsFirstPicture) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  // The head of the first frame before the first picture, in samples.
  const auto [video, audio] = FirstStamps(sd);
  ASSERT_TRUE(video >= 0 && audio >= 0 && audio <= video && video - audio < 2880);
  const int64_t head = std::llround(double(video - audio) * 48000 / 90000);
  const Folder folder;
  const auto sound = PlayedSound(JoinedEdits({FirstPictures(folder.path + "/first.m2ts", sd, 5),
                                               MovedStamps(folder.path + "/later.m2ts", sd, "10")}));
  ASSERT_FALSE(sound.empty());
  EXPECT_EQ(sound[0][0], 0);
  EXPECT_EQ(sound[0][2], head);
  const auto whole = PlayedSound(JoinedEdits({sd}));
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0], (std::array<int64_t, 3>{0, 50 * kPictureUnits, head}));
}

// A part without sound leaves its stretch silent, first or in the middle,
// AC-3 or LPCM: the next part's sound plays with its own pictures, not
// under the soundless part's.
TEST(MtsimportCommand, PartWithoutSoundStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  for (const std::string& source : {sd, lpcm}) {
    const auto edits = JoinedEdits({PicturesOnly(folder.path + "/silent.m2ts", source, "0"), source, source});
    ASSERT_FALSE(edits.empty() || edits.back().empty()) << source;
    // 2 s without sound, up to the next part's first sample.
    const int64_t silent = 50 * kPictureUnits - SoundLead(source);
    EXPECT_EQ(edits.back()[0], (std::array<int64_t, 3>{0, silent, -1})) << source;
    const auto sound = PlayedSound(edits);
    ASSERT_FALSE(sound.empty()) << source;
    EXPECT_EQ(sound[0][0], silent) << source;
  }
  // After it, a part cut from the middle of an LPCM recording, its sound
  // read in the file before its pictures: that sound plays with its own
  // pictures, after the 10.01 s without sound (once, from the movie's start).
  const std::string cut = Remuxed(folder.path + "/cut.m2ts", lpcm, "-ss 1 -map 0 -c copy -output_ts_offset 11");
  const auto afterSilence = JoinedEdits({PicturesOnly(folder.path + "/hd.m2ts", hd, "0"), cut});
  const auto cutSound = PlayedSound(afterSilence);
  ASSERT_EQ(cutSound.size(), 1u);
  const auto [video, audio] = FirstStamps(cut);
  EXPECT_NEAR(cutSound[0][0], 300300 - (video - audio) / 3, 1001);  // by its stamps, to a movie unit
  EXPECT_EQ(afterSilence.back()[0][2], -1);
  // In the middle, its stamps 10 s on; the last part 20 s on.
  const auto middle = PlayedSound(JoinedEdits({sd, PicturesOnly(folder.path + "/middle.m2ts", sd, "10"),
                                               MovedStamps(folder.path + "/last.m2ts", sd, "20")}));
  ASSERT_EQ(middle.size(), 2u);
  EXPECT_EQ(middle[1][0], 100 * kPictureUnits - SoundLead(sd));
}

// A first part whose sound makes no track (LPCM 5.1): the track is made of
// the next part's sound, which plays with that part's pictures, the first
// part's stretch silent and named in the summary (once, no sound track was
// made and the later part played silent).
TEST(MtsimportCommand, SoundTrackFromTheFirstPartThatCanMakeOne) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string later = MovedStamps(folder.path + "/later.m2ts", sd, "2");
  const std::string joined = folder.path + "/j.m2ts", json = folder.path + "/j.json";
  testsupport::run_command("cat " + surround + " " + later + " > " + joined);
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --dump " + json + " " + joined);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string said = " to byte " + JoinedPesAt(surround, later, 0x1100) + " is not imported (the sound";
  EXPECT_NE(r.out.find(said + " track holds AC-3 stereo only)"), std::string::npos) << r.out;
  const auto edits = EditsOf(testsupport::read_text(json));
  ASSERT_EQ(edits.size(), 3u) << r.out;
  // Silent up to the later part's first sample, by its stamps.
  const int64_t silent = 50 * kPictureUnits - SoundLead(later);
  EXPECT_EQ(edits[2][0], (std::array<int64_t, 3>{0, silent, -1}));
  EXPECT_EQ(edits[2][1][0], silent);
}

// Defined with the helpers below.
std::vector<int64_t> VideoStamps(const std::string& file);

// Parts whose stamps run on, each starting where the pictures before end
// (2.016 s of AC-3 to 2 s of pictures), and whole recordings joined by cat:
// each part's sound plays by its own stamps beside its own pictures, not
// laid after all the sound before it. It begins 256 samples before its
// first picture, as a camera's does: the part before's sound is trimmed
// there, and the part's sound plays from its first sample (those 256
// samples were left out, the part before playing on to the picture).
TEST(MtsimportCommand, EachPartsSoundStartsWithItsPictures) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  std::vector<std::string> runOn{sd};
  for (int k = 1; k < 5; ++k)
    runOn.push_back(MovedStamps(folder.path + "/on" + std::to_string(k) + ".m2ts", sd, std::to_string(2 * k)));
  // Joined by ffmpeg's concatenation (counters run on, stamps follow by the
  // longer stream): edits of an import that tells no damage. Three copies so
  // step 16 ms past the pictures before (the sound came that much later at
  // each join).
  auto concatenated = [&](const std::vector<std::string>& files) {
    std::string list;
    for (const std::string& f : files) list += "file '" + f + "'\n";
    testsupport::run_command("printf \"" + list + "\" > " + folder.path + "/list.txt && ffmpeg -v error -nostdin -y -f "
                             "concat -safe 0 -i " + folder.path + "/list.txt -map 0 -c copy -mpegts_m2ts_mode 1 -f mpegts " +
                             folder.path + "/concat.m2ts");
    const auto r = testsupport::run_command(std::string(MTSIMPORT) + " --dump - " + folder.path + "/concat.m2ts");
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    return EditsOf(r.out);
  };
  const int64_t lead = SoundLead(sd);
  for (const auto& edits : {JoinedEdits(runOn), JoinedEdits({sd, sd, sd}), concatenated({sd, sd, sd})}) {
    const auto sound = PlayedSound(edits);
    ASSERT_GE(sound.size(), 3u);
    for (size_t k = 1; k < sound.size(); ++k) {
      EXPECT_EQ(sound[k][0], int64_t(50 * k) * kPictureUnits - lead) << sound.size() << " parts, part " << k;
      EXPECT_EQ(sound[k][2], int64_t(96768 * k)) << sound.size() << " parts, part " << k;
    }
  }
  // Ten pictures whose sound ends before them, then the recording: its
  // pictures step whole pictures and a fraction past theirs. Its first sound
  // sample plays `lead` before the ten pictures' shown time ends (it was told
  // as video and sound lost, 0.13 s early).
  const std::string ten = FirstPictures(folder.path + "/ten.m2ts", sd, 10);
  const std::vector<int64_t> shown = VideoStamps(ten);
  ASSERT_FALSE(shown.empty());
  const int64_t frames = std::stoll("0" + testsupport::run_command("ffprobe -v error -select_streams a -count_packets "
                                                                   "-show_entries stream=nb_read_packets -of csv=p=0 " +
                                                                   ten).out);
  const auto afterShortSound = PlayedSound(concatenated({ten, sd}));
  ASSERT_EQ(afterShortSound.size(), 2u);
  EXPECT_EQ(afterShortSound[1][0] - afterShortSound[1][2],
            ((shown.back() - shown.front()) / 3600 + 1) * kPictureUnits - lead - frames * 1536);
  // A part whose sound begins long before its pictures (cut in the middle of
  // an LPCM recording, stamps running on): the part before keeps its sound to
  // its last picture's end, the cut's sound before its pictures is left out
  // (once, it played under the part before's last 0.44 s).
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const std::string cut = Remuxed(folder.path + "/cut.m2ts", lpcm, "-ss 1 -map 0 -c copy -output_ts_offset 2");
  const auto [video, audio] = FirstStamps(cut);
  ASSERT_GT(video - audio, 9000);
  const auto overlap = PlayedSound(JoinedEdits({lpcm, cut}));
  ASSERT_EQ(overlap.size(), 2u);
  EXPECT_EQ(overlap[0], (std::array<int64_t, 3>{0, 50 * kPictureUnits, 0}));
  EXPECT_EQ(overlap[1][0], 50 * kPictureUnits);
}

// The first 22, 7 and 31 pictures of the 1080i recording joined as ffmpeg's
// concatenation writes them: the middle part's sound runs on from the
// part before's, its first PES reported before its pictures; nothing was
// lost, and nothing is told (it was told as 0.027 s of sound lost).
TEST(MtsimportCommand, ConcatenatedShortPartsStaySilent) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  testsupport::run_command(JOIN_PARTS
                           "d = open(\"" + hd + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
                           "open(\"" + joined + "\", \"wb\").write(J.concatenated([J.cut(d, g[0][1], n) for n in (22, 7, 31)]))'");
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " " + joined);
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
}

// The recording's pictures coded again without B pictures (each shown as
// it decodes), a group every twelve, its sound copied.
static std::string WithoutBPictures(const std::string& path, const std::string& source) {
  return Remuxed(path, source, "-map 0 -c:v libx264 -bf 0 -x264-params keyint=12:threads=1 -c:a copy");
}

// Cuts joined as ffmpeg's concatenation writes them (every counter running
// on, each part's first sound following the part before's last): the
// pictures step whole pictures past the part before's (told as 0.08 s of
// video lost), or less than a picture where the part shows its first
// picture sooner after its decode (told as 0.016 s lost), or overlap the
// part before's (the part's sound played up to 160 ms early, 1080i 41 ms;
// after a part ending in a picture shown late, the next part's first
// picture showed under it; a cut before pictures shown as they decode was
// told as 0.019 s of video lost).
// Nothing is told, and each part's sound plays beside its first picture by
// its own stamps, to a movie unit.
TEST(MtsimportCommand, ConcatenatedCutsKeepTheirSoundBesideTheirPictures) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string plain = WithoutBPictures(folder.path + "/plain.m2ts", sd);
  const std::string joined = folder.path + "/joined.m2ts", dump = folder.path + "/joined.json";
  // (source, group, pictures) of each part; `pl`: the pictures without B
  // pictures, whose sound PES hold three frames each (not measured).
  for (const std::string cuts : {"(sd, 4, 22), (sd, 3, 7), (sd, 1, 30), (sd, 0, 17), (sd, 2, 4), (sd, 0, 6)", "(sd, 3, 5), (pl, 1, 6)",
                                 "(sd, 2, 2), (sd, 3, 7)", "(sd, 1, 20), (sd, 1, 11)",
                                 "(hd, 0, 23), (hd, 0, 3), (hd, 0, 3), (hd, 0, 6)"}) {
    SCOPED_TRACE(cuts);
    const std::string parts = JOIN_PARTS "import json; sd = open(\"" + sd + "\", \"rb\").read(); hd = open(\"" + hd +
                              "\", \"rb\").read(); pl = open(\"" + plain + "\", \"rb\").read(); "
                              "g = lambda d, k: [t for _, t in J.Recording(d).gop_starts()][k]; "
                              "parts = [J.cut(d, g(d, k), n) for d, k, n in [" + cuts + "]]; ";
    ASSERT_EQ(testsupport::run_command(parts + "open(\"" + joined + "\", \"wb\").write(J.concatenated(parts))'").exit, 0);
    const auto r = testsupport::run_command(std::string(MTSIMPORT) + " --dump " + dump + " " + joined);
    EXPECT_EQ(std::make_tuple(r.exit, r.err), std::make_tuple(0, std::string()));
    if (cuts.find("pl") != std::string::npos) continue;
    const auto offsets = testsupport::run_command(parts + "d = json.load(open(\"" + dump + "\")); print(max(abs(x) for x "
                                                  "in J.sound_offsets(parts, d)), J.shown_together(d))'");
    ASSERT_EQ(offsets.exit, 0) << offsets.err;  // every part's sample is played
    int worst = -1, together = -1;
    ASSERT_EQ(std::sscanf(offsets.out.c_str(), "%d %d", &worst, &together), 2) << offsets.out;
    EXPECT_LE(worst, 1);
    EXPECT_EQ(together, 0);  // each part's pictures after the part before's
  }
}

// The 1080i recording (AC-3), then small LPCM pictures left out for their
// size, 7 s on, and among them three pictures without B pictures joined on
// seamlessly (the tables' and the sound's counters run on, the pictures'
// breaks): the stretch's pictures last 1/25 s, not the track's 1/29.97 s,
// and nothing is told (it was told as 0.007 s of video lost).
TEST(MtsimportCommand, SeamlessJoinInAStretchOfAnotherRateStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string plain = WithoutBPictures(folder.path + "/plain.m2ts", lpcm);
  const std::string joined = folder.path + "/joined.m2ts";
  testsupport::run_command(
      JOIN_PARTS ""
      "r = lambda p: open(p, \"rb\").read(); s = lambda x: sorted(p[\"pts\"] for p in J.Recording(x).video); "
      "cut = lambda x, g, n: J.cut(x, J.Recording(x).gop_starts()[g][1], n); "
      "a = cut(r(\"" + hd + "\"), 0, 25); b = cut(r(\"" + lpcm + "\"), 2, 30); c = cut(r(\"" + plain + "\"), 0, 3); "
      "b = J.restamp(b, (s(a)[-1] + 1501 + 663992 - s(b)[0]) % J.WRAP); c = J.restamp(c, (s(b)[-1] + 3600 - s(c)[0]) % J.WRAP); "
      "open(\"" + joined + "\", \"wb\").write(b\"\".join(J.pat_runs_on([a, b, c], True)))'");
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " " + joined);
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("'vide': 25 samples"), std::string::npos) << r.out;
}

// Twelve pictures of the LPCM recording, their sound ending two pictures
// before them, then its pictures coded without B pictures (shown as they
// decode) from the second group, on screen where the twelve end, their
// sound with them; the tables' and the pictures' counters run on, the
// sound's breaks. The sound's step of whole PES is the part's start, not
// sound lost: the part shows its first picture sooner after its decode
// than the pictures before did, which one recording never does (it was
// told as 0.08 s of sound lost).
TEST(MtsimportCommand, PartShowingItsPicturesSoonerAfterDecodeIsAJoin) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string plain = WithoutBPictures(folder.path + "/plain.m2ts", lpcm);
  const std::string joined = folder.path + "/joined.m2ts";
  ASSERT_EQ(testsupport::run_command(
                JOIN_PARTS "g = lambda x, k: [t for _, t in J.Recording(x).gop_starts()][k]; "
                           "a = open(\"" + lpcm + "\", \"rb\").read(); b = open(\"" + plain + "\", \"rb\").read(); "
                           "a = J.cut(a, g(a, 0), 12); b = J.cut(b, g(b, 1), 16); "
                           "end = lambda x: max(p[\"pts\"] for p in J.Recording(x).video); "
                           "b = J.restamp(b, (end(a) + 3600 - min(p[\"pts\"] for p in J.Recording(b).video)) % J.WRAP); "
                           "open(\"" + joined + "\", \"wb\").write(b\"\".join(J.pat_runs_on([a, b], video_on=True)))'")
                .exit,
            0);
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " " + joined);
  EXPECT_EQ(std::make_tuple(r.exit, r.err), std::make_tuple(0, std::string()));
}

// The presentation times of the video PES of a recording (90 kHz), sorted.
std::vector<int64_t> VideoStamps(const std::string& file) {
  std::vector<int64_t> stamps;
  std::istringstream lines(
      testsupport::run_command("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 " + file).out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line != "N/A") stamps.push_back(std::stoll(line));
  std::sort(stamps.begin(), stamps.end());
  return stamps;
}

// A value of the video track's media from a --dump.
int64_t VideoMediaValue(const std::string& dump, const std::string& name) {
  const size_t at = dump.find("\"" + name + "\": ", dump.find("\"type\": \"vide\""));
  return at == std::string::npos ? -1 : std::stoll(dump.substr(at + name.size() + 4));
}

// Writes to `out` the recording `source` from its group `group` on (counted
// from 0 among groups with tables and an IDR picture), cut at the group's
// tables; returns `out`.
std::string FromGroup(const std::string& out, const std::string& source, int group) {
  testsupport::run_command(JOIN_PARTS
                           "d = open(\"" + source + "\", \"rb\").read(); open(\"" + out +
                           "\", \"wb\").write(J.cut(d, J.Recording(d).gop_starts()[" + std::to_string(group) +
                           "][1], 0))'");
  return out;
}

// The first `pictures` pictures of the LPCM 5.1 recording (in `folder`),
// then the LPCM stereo recording cut at its second group's tables (its sound
// begins before its first picture) with its pictures from `ticks` after
// where the 5.1 part's pictures end by their stamps: the two parts, the 5.1
// part's picture stamps in display order and that end.
struct SurroundThenStereo {
  std::string first, plain, later;
  std::vector<int64_t> a;
  int64_t end = 0;
  SurroundThenStereo(const std::string& folder, const std::string& l51, const std::string& l20, int pictures,
                     int64_t ticks)
      : first(FirstPictures(folder + "/first.m2ts", l51, pictures)),
        plain(Remuxed(folder + "/plain.m2ts", FromGroup(folder + "/cut.m2ts", l20, 1), "-map 0 -c copy")),
        later(folder + "/later.m2ts"), a(VideoStamps(first)) {
    const std::vector<int64_t> b = VideoStamps(plain);
    if (a.empty() || b.size() < 2) return;
    end = a.back() + b[1] - b[0];
    const int64_t offset = (end + ticks - b[0] + (int64_t(1) << 33)) % (int64_t(1) << 33);
    Remuxed(later, plain, "-copyts -map 0 -c copy -output_ts_offset " + std::to_string(offset / 90000.0) +
                              " -muxdelay 0 -muxpreload 0");
  }
};

// Three pictures with LPCM 5.1 sound, then an LPCM stereo recording cut at
// its second group's tables (its sound begins before its first picture),
// 44 s later: the stereo sound, read before the pictures of its part, plays
// from that part's first picture by its own stamps (it once began under the
// 5.1 part's pictures, whose stretch stays silent).
TEST(MtsimportCommand, StereoSoundAfterSurroundWaitsForItsPartsFirstPicture) {
  AVCHD_REQUIRE_TESTDATA(l51, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(l20, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const SurroundThenStereo parts(folder.path, l51, l20, 3, 44 * 90000);
  const std::string &first = parts.first, &plain = parts.plain, &later = parts.later;
  const std::vector<int64_t>& a = parts.a;
  ASSERT_TRUE(a.size() == 3 && parts.end != 0);
  const int64_t end = parts.end;
  const int64_t video = FirstStamps(plain).first;
  const std::string dump = JoinedDump({first, later});
  const int64_t scale = std::stoll(dump.substr(dump.find("\"timeScale\": ") + 13));
  const auto sound = PlayedSound(EditsOf(dump));
  ASSERT_FALSE(sound.empty());
  // The 5.1 part's pictures show for (end - a[0]); the stereo part's first
  // picture follows them, and its sound media begins there.
  EXPECT_EQ(sound.front()[0], (end - a[0]) * scale / 90000);
  EXPECT_LT(sound.front()[2], 240);
  EXPECT_NEAR(SoundMediaFrames(dump), (OuterStamps(plain, true).second - video) * 48000 / 90000 + 240, 240);
}

// Nine pictures with LPCM 5.1 sound, then the LPCM stereo recording cut at
// its second group's tables (its sound begins before its first picture),
// 0.12 s after the 5.1 pictures end: the video takes that step out at the
// seam, and the stereo sound, read before the pictures of its part, plays
// beside them by its own stamps (it played 0.12 s late, placed by its stamps
// beside the 5.1 part's pictures). The same with the tables' and the sound's
// counters running on: nothing is said lost either.
TEST(MtsimportCommand, StereoSoundAfterSurroundAcrossASmallStepPlaysWithItsPictures) {
  AVCHD_REQUIRE_TESTDATA(l51, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(l20, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const SurroundThenStereo parts(folder.path, l51, l20, 9, 10800);
  ASSERT_TRUE(parts.a.size() == 9 && parts.end != 0);
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const bool runOn : {false, true}) {
    SCOPED_TRACE(runOn ? "counters running on" : "counters breaking");
    if (runOn) RunCountersOn(parts.first, parts.later, false, true);
    const testsupport::CommandResult r = testsupport::run_command("cat " + parts.first + " " + parts.later + " > " +
                                                                  joined + " && " + MTSIMPORT + " --dump " + json +
                                                                  " " + joined);
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string dump = testsupport::read_text(json);
    ASSERT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << dump.substr(0, 40);
    // The stereo part's first picture shows where the 5.1 pictures end by
    // their stamps; the sound there is its own from as far in as it leads.
    const int64_t picture = (parts.end - parts.a[0]) * 48000 / 90000;
    const int64_t mediaAt = SoundMediaAt(EditsOf(dump), picture);
    EXPECT_EQ(mediaAt, SoundLead(parts.later));
  }
}

// Nine LPCM pictures, 16 pictures of another size with AC-3 (both left
// out), then nine LPCM pictures cut at the recording's third group, whose
// sound leads them by 80 ms. Each part's stamps go back to about where the
// one before began, so the last part's sound steps back about as far as
// the 1080i pictures did; but another recording's tables lie between those
// pictures and it in the file, so it waits for its own pictures (it was
// taken for the 1080i part's sound, and its first 35 ms played before that
// part's stretch, beside the first part's pictures). Run on instead, the
// same. Either way the sound at the last part's first picture is its own
// by its stamps, and none of it plays before the stretch left out.
TEST(MtsimportCommand, SoundSteppingBackAfterAPartLeftOutWaitsForItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string first = FirstPictures(folder.path + "/first.m2ts", lpcm, 9);
  const std::string other = FirstPictures(folder.path + "/hd.m2ts", hd, 16);
  const std::string last = FirstPictures(folder.path + "/last.m2ts", FromGroup(folder.path + "/cut.m2ts", lpcm, 2), 9);
  const std::string later = MovedStamps(folder.path + "/later.m2ts", last, "0.5");
  ASSERT_GT(SoundLead(last), 0);
  for (const std::string& after : {last, later}) {
    SCOPED_TRACE(after);
    const auto edits = JoinedEdits({first, other, after});
    ASSERT_TRUE(edits.size() >= 2 && edits[0].size() == 3);
    const int64_t stretch = edits[0][1][0], picture = edits[0][2][0];
    const auto sound = PlayedSound(edits);
    ASSERT_EQ(sound.size(), 2u);
    EXPECT_EQ(sound[0][0], 0);
    EXPECT_LE(sound[0][0] + sound[0][1], stretch);
    EXPECT_GE(sound[1][0], picture - SoundLead(after));
    EXPECT_LE(sound[1][0], picture);
    EXPECT_EQ(sound[1][2] + picture - sound[1][0], sound[0][2] + sound[0][1] + SoundLead(after));
  }
}

// Recordings joined 0.32 s apart, the tables' and the sound's counters
// running on (as one join in 16 does by chance): LPCM 5.1 then stereo, and
// stereo then 5.1 cut at its second group. The sound's kind changing after
// the tables tells that another recording begins there, so the video's step
// is no loss (it was said as 0.32 s of video lost). Pictures of a group
// taken out of the 5.1 recording before such a join are still told.
TEST(MtsimportCommand, SoundOfAnotherKindAfterTablesThatRunOnMakesTheStepAJoin) {
  AVCHD_REQUIRE_TESTDATA(l51, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(l20, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string cut = FromGroup(folder.path + "/cut.m2ts", l51, 1), holed = folder.path + "/holed.m2ts";
  testsupport::run_command(JOIN_PARTS
                           "d = open(\"" + l51 + "\", \"rb\").read(); r = J.Recording(d); "
                           "g = r.gop_starts(); out = set(i for p in r.video for i in p[\"packets\"] "
                           "if g[1][1] <= p[\"packets\"][0] < g[2][1]); open(\"" + holed + "\", \"wb\").write("
                           "b\"\".join(k for i, k in enumerate(r.packets) if i not in out))'");
  const std::vector<std::array<std::string, 3>> joins = {
      {l51, l20, ""}, {l20, cut, ""}, {holed, l20, "0.480 s of video could not be read"}};
  for (const auto& [before, after, told] : joins) {
    SCOPED_TRACE(before + " " + after);
    const std::vector<int64_t> a = VideoStamps(before), b = VideoStamps(after);
    ASSERT_TRUE(a.size() > 2 && b.size() > 2);
    const int64_t offset = (a.back() + b[1] - b[0] + 28800 - b[0] + (int64_t(1) << 33)) % (int64_t(1) << 33);
    const std::string later = Remuxed(folder.path + "/later.m2ts", after,
                                      "-copyts -map 0 -c copy -output_ts_offset " + std::to_string(offset / 90000.0) +
                                          " -muxdelay 0 -muxpreload 0");
    RunCountersOn(before, later, false, true);
    const testsupport::CommandResult r = testsupport::run_command("cat " + before + " " + later + " > " + folder.path +
                                                                  "/joined.m2ts && " + MTSIMPORT + " " + folder.path +
                                                                  "/joined.m2ts");
    ASSERT_EQ(r.exit, 0) << r.err;
    if (told.empty()) EXPECT_EQ(r.err, "");
    else EXPECT_NE(r.err.find(told), std::string::npos) << r.err;
  }
}

// A part cut after a P picture whose B pictures were left behind (as
// `-frames:v 3` cuts I0 P3 B1: nothing shows at 2), then the recording again
// from where the first part ends by its stamps: the second part's first
// picture shows after the first part's last, so the video's display end
// holds the hole's picture time besides the samples'. The same cut without a
// hole (4 pictures) holds none.
TEST(MtsimportCommand, PartAfterAHoleInDisplayOrderStartsWhereItsStampsEnd) {
  AVCHD_REQUIRE_TESTDATA(source, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string keep = "-map 0 -c copy -copyts -muxdelay 0 -muxpreload 0 ";
  for (int pictures : {3, 4}) {
    const std::vector<int64_t> cut =
        VideoStamps(Remuxed(folder.path + "/first.m2ts", source, keep + "-frames:v " + std::to_string(pictures)));
    ASSERT_EQ(cut.size(), size_t(pictures));
    int64_t frame = cut[1] - cut[0];
    for (size_t k = 2; k < cut.size(); ++k) frame = std::min(frame, cut[k] - cut[k - 1]);
    const int64_t length = cut.back() + frame - cut.front(), hole = length / frame - pictures;
    Remuxed(folder.path + "/next.m2ts", source, keep + "-output_ts_offset " + std::to_string(length / 90000.0));
    const testsupport::CommandResult r = testsupport::run_command(
        "cat " + folder.path + "/first.m2ts " + folder.path + "/next.m2ts > " + folder.path + "/joined.m2ts && " +
        MTSIMPORT + " --dump - " + folder.path + "/joined.m2ts");
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    const int64_t samples = VideoMediaValue(r.out, "sampleCount"), decode = VideoMediaValue(r.out, "decodeDuration");
    ASSERT_GT(samples, 0) << r.out.substr(0, 400);
    EXPECT_EQ(VideoMediaValue(r.out, "displayEnd") - VideoMediaValue(r.out, "displayStart"),
              decode + hole * (decode / samples))
        << pictures << " pictures first, a hole of " << hole;
  }
}

// The picture rate ffprobe reads from a file's first video stream.
std::string SavedPictureRate(const std::string& file) {
  const std::string out = testsupport::run_command(
      "ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 " + file).out;
  return out.substr(0, out.find('\n'));
}

// A part of another size and picture rate left out between two parts of
// the track's: it stays empty in the video track for whole pictures of the
// track, so the saved movie keeps the stream's picture rate (the picture
// held over that time would otherwise make ffprobe guess another).
TEST(MtsimportCommand, PartLeftOutBetweenKeepsTheSavedPictureRate) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const auto rate = SavedPictureRate;
  const std::string first = FirstPictures(folder.path + "/first.m2ts", hd, 12), mov = folder.path + "/joined.mov";
  for (const std::string& parts : {first + " " + sd + " " + first, first + " " + first}) {
    ASSERT_EQ(testsupport::run_command("cat " + parts + " > " + folder.path + "/joined.m2ts && " + MTSIMPORT +
                                       " --mov " + mov + " " + folder.path + "/joined.m2ts").exit, 0);
    EXPECT_EQ(rate(mov), rate(hd)) << parts;
  }
}

// Parts of one picture each: the head of the file holds no two pictures of
// one part, so no picture's duration is known; the movie keeps the rate the
// stream's own timing gives (it was halved, each picture lasting two).
TEST(MtsimportCommand, PartsOfOnePictureKeepThePictureRate) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string one = FirstPictures(folder.path + "/one.m2ts", hd, 1);
  const std::string dump = JoinedDump({one, one, one});
  EXPECT_EQ(dump.rfind("{\"timeScale\": 30000,", 0), 0u) << dump.substr(0, 40);
  EXPECT_EQ(VideoMediaValue(dump, "sampleCount"), 3);
  // Two frame-coded pictures: the head holds one PES alone, the last being
  // read apart (the rate was halved: 12 pictures a second).
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  const std::string frame = Remuxed(folder.path + "/frame.m2ts", sd, "-map 0:v -c copy -frames:v 1");
  const std::string two = JoinedDump({frame, frame});
  EXPECT_EQ(VideoMediaValue(two, "timeScale"), 25);
  EXPECT_EQ(VideoMediaValue(two, "sampleCount"), 2);
}

// A first part of one picture, then a part of another size left out to the
// end of the file: the video track ends with its one picture (a track of
// one picture whose length held the stretch read as one picture a stretch),
// and the sound of the track's kind still plays through the stretch.
TEST(MtsimportCommand, OnePictureBeforeAStretchLeftOutKeepsThePictureRate) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string one = FirstPictures(folder.path + "/one.m2ts", hd, 1), mov = folder.path + "/joined.mov";
  const testsupport::CommandResult r = testsupport::run_command(
      "cat " + one + " " + sd + " > " + folder.path + "/joined.m2ts && " + MTSIMPORT + " --mov " + mov + " " +
      folder.path + "/joined.m2ts");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(SavedPictureRate(mov), SavedPictureRate(hd));
  EXPECT_GT(SoundSecondsInTrack(r.out), 1.9) << r.out;
}

// A soundless first picture, then a part cut from the middle of an LPCM
// recording whose stamps run on from it: that part's pictures follow the
// first one, so its sound from before them lies mostly before the track's
// start; what lies there is left out, and the rest plays beside its own
// pictures (it played from its first sample, as late as that head).
TEST(MtsimportCommand, FirstSoundBeforeTheTrackStartLosesItsHead) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string first = Remuxed(folder.path + "/first.m2ts", hd, "-map 0:v -c copy -frames:v 1");
  const long long firstEnd = FirstStamps(first).first + 3003;  // one 1080i picture later
  const long long cutSound = FirstStamps(Remuxed(folder.path + "/cut.m2ts", lpcm, "-ss 1 -map 0 -c copy")).second;
  const std::string cut = Remuxed(folder.path + "/cut.m2ts", lpcm,
                                  "-ss 1 -map 0 -c copy -output_ts_offset " + std::to_string((firstEnd - cutSound) / 90000.0));
  const auto [video, audio] = FirstStamps(cut);
  const int64_t lead = std::llround((video - audio) * 48000.0 / 90000);
  ASSERT_GT(lead, 4800);
  // The sound track comes first here: the first PES reported is sound.
  const std::string dump = JoinedDump({first, cut});
  const auto edits = EditsOf(dump.substr(0, dump.find("\"type\": \"soun\"")));
  ASSERT_FALSE(edits.empty() || edits.back().empty()) << dump.substr(0, 400);
  const auto& sound = edits.back();
  EXPECT_EQ(sound[0][0], 0);
  EXPECT_NEAR(sound[0][2], lead - 1602, 2);  // less the first picture's 1001/30000 s
}

// A soundless 1080i part, one 352x288 MBAFF picture whose stamps run on
// from it (its shorter delay from decode to display moves its line), then
// a 352x288 part with sound whose stamps step 0.2 s past that picture: the
// step is a join, and the last part follows the picture's stretch at once,
// its sound with it (it played 0.2 s late).
TEST(MtsimportCommand, StepAfterAPartOfAnotherSizeLaysItsSoundRightAfter) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the part's stamps are not read";
  const Folder folder;
  const std::string parts[3] = {folder.path + "/p0.m2ts", folder.path + "/p1.m2ts", folder.path + "/p2.m2ts"};
  // Each part's first picture shows where the part before ends by its
  // stamps (one picture of its own after its latest), the last 0.2 s later.
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS "\n"
      "end = None\n"
      "for k, (src, n, sound, frame, step) in enumerate(((\"" + hd + "\", 14, 0, 3003, 0), (\"" + mbaff +
      "\", 1, 0, 3600, 0), (\"" + sd + "\", 12, 1, 3600, 18000))):\n"
      "  d = J.cut(open(src, \"rb\").read(), 0, n)\n"
      "  d = d if sound else J.without_sound(d)\n"
      "  v = [p[\"pts\"] for p in J.Recording(d).video if p[\"pts\"] is not None]\n"
      "  off = 0 if end is None else end + step - min(v)\n"
      "  end = max(v) + off + frame\n"
      "  open(\"" + folder.path + "/p%d.m2ts\" % k, \"wb\").write(J.restamp(d, off % J.WRAP))'");
  ASSERT_EQ(made.exit, 0) << made.err;
  const auto [video, audio] = FirstStamps(parts[2]);
  const std::string dump = JoinedDump({parts[0], parts[1], parts[2]});
  ASSERT_EQ(dump.rfind("{\"timeScale\": 30000,", 0), 0u) << dump.substr(0, 40);
  const auto edits = EditsOf(dump);
  const auto sound = PlayedSound(edits);
  ASSERT_TRUE(!edits.empty() && !edits[0].empty() && !sound.empty());
  // The last part's first sound sample plays ahead of its first picture
  // (after the first part's pictures and the lone picture's stretch, which
  // lasts a picture of the track's) as far as its stamps put it.
  const double first = sound[0][0] - sound[0][2] * 30000.0 / 48000;
  EXPECT_NEAR(first, edits[0][0][1] + 1001 - (video - audio) / 3.0, 480);
}

// The LPCM 5.1 recording up to two pictures into its second group, then
// nine pictures of the 1080i recording (left out for their size; their
// AC-3 sound is the track's) whose stamps lie far back. Once more with the
// PES from a P picture of the first group up to the second group's tables
// taken out (the tables stay, so their counters run on): the step there is
// read as a join. The 1080i stretch follows the two pictures after it at
// once, its sound as far ahead of it as without the loss (the step was
// taken for the last picture's length, and both came 0.12 s late).
TEST(MtsimportCommand, StretchAfterAStepReadAsAJoinFollowsItsLastPicture) {
  AVCHD_REQUIRE_TESTDATA(l51, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string first = folder.path + "/first.m2ts", later = folder.path + "/later.m2ts";
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  std::array<int64_t, 2> hole{}, lead{};
  for (int lossy = 0; lossy < 2; ++lossy) {
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS "\n"
        "d = open(\"" + l51 + "\", \"rb\").read()\n"
        "g = [k for k, _ in J.Recording(d).gop_starts()][1]\n"
        "r = J.Recording(J.cut(d, 0, g + 2))\n"
        "a = [i for i in range(1, g) if r.video[i][\"slice\"] == \"P\"][-2]\n"
        "t = [i for i in r.tables if r.video[g - 1][\"packets\"][0] < i < r.video[g][\"packets\"][0]][0]\n"
        "drop = {i for p in r.pes if r.video[a][\"packets\"][0] <= p[\"packets\"][0] < t for i in p[\"packets\"]}\n"
        "open(\"" + first + "\", \"wb\").write(r.bytes(drop if " + std::to_string(lossy) + " else ()))\n"
        "open(\"" + later + "\", \"wb\").write(J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 9))'");
    ASSERT_EQ(made.exit, 0) << made.err;
    const testsupport::CommandResult r = testsupport::run_command("cat " + first + " " + later + " > " + joined +
                                                                  " && " + MTSIMPORT + " --dump " + json + " " + joined);
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.err, "") << (lossy ? "with the loss" : "without it");
    const auto edits = EditsOf(testsupport::read_text(json));
    const auto sound = PlayedSound(edits);
    ASSERT_TRUE(edits.size() >= 2 && edits[0].size() == 2 && edits[0][1][2] == -1 && sound.size() == 1)
        << testsupport::read_text(json).substr(0, 400);
    hole[lossy] = edits[0][1][1];
    lead[lossy] = edits[0][1][0] - sound[0][0];
  }
  EXPECT_EQ(hole[1], hole[0]);
  EXPECT_EQ(lead[1], lead[0]);
  EXPECT_GE(lead[0], 0);
  EXPECT_LT(lead[0], 480);  // less than 10 ms
}

// Two soundless 1080i pictures (the track's size), then the LPCM recording
// (left out for its size, its sound the track's) and its first 13 pictures
// again, stamps going back. Once more with the PES from the first P picture
// of its second group up to the third group's tables taken out: read as a
// join, the stretch left out is as much shorter as the pictures lost, and
// the last part's sound plays that much sooner (it once kept its place
// while the sound before ran on, 0.44 s behind its own pictures).
TEST(MtsimportCommand, LossReadAsAJoinAmongPicturesLeftOutShortensTheirStretch) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  std::array<int64_t, 2> stretch{}, soundEnd{};
  int lost = 0;
  for (int lossy = 0; lossy < 2; ++lossy) {
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS "\n"
        "h = J.Recording(J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 2))\n"
        "d = open(\"" + lpcm + "\", \"rb\").read()\n"
        "r = J.Recording(d)\n"
        "s, g = [k for k, _ in r.gop_starts()][1:3]\n"
        "a = [i for i in range(s + 1, g) if r.video[i][\"slice\"] == \"P\"][0]\n"
        "t = [i for i in r.tables if r.video[g - 1][\"packets\"][0] < i < r.video[g][\"packets\"][0]][0]\n"
        "drop = {i for p in r.pes if r.video[a][\"packets\"][0] <= p[\"packets\"][0] < t for i in p[\"packets\"]}\n"
        "open(\"" + joined + "\", \"wb\").write(h.bytes({i for p in h.audio for i in p[\"packets\"]}) + "
        "r.bytes(drop if " + std::to_string(lossy) + " else ()) + J.cut(d, 0, 13))\n"
        "print(g - a)'");
    ASSERT_EQ(made.exit, 0) << made.err;
    lost = std::atoi(made.out.c_str());
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(MTSIMPORT) + " --dump " + json + " " + joined);
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.err, "") << (lossy ? "with the loss" : "without it");
    const std::string dump = testsupport::read_text(json);
    const auto edits = EditsOf(dump);
    const auto sound = PlayedSound(edits);
    ASSERT_TRUE(edits.size() >= 2 && edits[0].size() == 2 && edits[0][1][2] == -1 && !sound.empty())
        << dump.substr(0, 400);
    stretch[lossy] = edits[0][1][1];
    soundEnd[lossy] = sound.back()[0] + sound.back()[1];
  }
  ASSERT_GT(lost, 2);
  // 25 pictures a second, 30000 movie units a second; the stretch lasts
  // whole pictures of the track's (1001 units).
  EXPECT_NEAR(soundEnd[0] - soundEnd[1], lost * 1200, 2);
  EXPECT_GE(stretch[0] - stretch[1], lost * 1200 - 1001);
  EXPECT_LE(stretch[0] - stretch[1], lost * 1200 + 1001);
}

// A whole recording, then 0.5 s after its end one picture of another size
// with its sound as ffmpeg writes it: its sound frames in one PES after the
// picture, held until the file ends. That sound plays from where the
// stretch of the picture begins, as far into it as its own stamps put the
// picture (it once ran on from the first part's sound, 69 ms late).
TEST(MtsimportCommand, LastOnePicturePartsOnlySoundPesPlaysBesideItsPicture) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the last part is not made";
  const Folder folder;
  // The first group whose one picture, so remultiplexed, has sound that
  // lasts past the picture's stamp.
  const std::string one = folder.path + "/one.m2ts";
  int64_t frames = 0;  // AC-3 frames of that sound
  for (int group = 0; group < 5 && frames == 0; ++group) {
    Remuxed(one, FromGroup(folder.path + "/group.m2ts", sd, group), "-map 0 -c copy -frames:v 1");
    std::istringstream packets(testsupport::run_command(
        "ffprobe -v error -select_streams a -show_entries packet=pts -of csv=p=0 " + one).out);
    for (std::string line; std::getline(packets, line);) frames += !line.empty() && std::isdigit(line[0]) ? 1 : 0;
    const auto [video, audio] = OuterStamps(one, true);
    if (video < 0 || audio + 2880 <= video) frames = 0;
  }
  ASSERT_GE(frames, 1) << "no group's picture has sound past it";
  const std::string joined = folder.path + "/joined.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS ""
      "h = open(\"" + hd + "\", \"rb\").read(); p = sorted(v[\"pts\"] for v in J.Recording(h).video); "
      "c = open(\"" + one + "\", \"rb\").read(); s = p[-1] + p[1] - p[0] + 45000; "
      "open(\"" + joined + "\", \"wb\").write(h + J.restamp(c, (s - J.first_video_pts(c)) % J.WRAP))'");
  ASSERT_EQ(made.exit, 0) << made.err;
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --dump - " + joined);
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;  // a legal join: no sound lost
  const std::string& dump = r.out;
  const auto edits = EditsOf(dump);
  const auto sound = PlayedSound(edits);
  ASSERT_TRUE(edits.size() >= 2 && !edits[0].empty() && !sound.empty());
  EXPECT_EQ(edits[0].back()[2], -1);  // the stretch of the picture left out
  // The part's first sound sample plays ahead of the stretch by its own
  // lead, whether that head plays or is left out under the sound before.
  const int64_t partStart = SoundMediaFrames(dump) - frames * 1536;
  EXPECT_GE(sound.back()[2], partStart);
  EXPECT_NEAR(double(sound.back()[0]) - double(sound.back()[2] - partStart) * 30000 / 48000,
              double(edits[0].back()[0]) - double(SoundLead(one)) * 30000 / 48000, 2);
}

// Imports `joined` (its --dump written to `json`), which must succeed
// without a word on standard error: the movie's time scale and length and
// the sound track's edits that play media (none where it failed).
std::tuple<long long, long long, std::vector<std::array<int64_t, 3>>> ImportedQuietly(const std::string& joined,
                                                                                       const std::string& json) {
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --dump " + json + " " + joined);
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dump = testsupport::read_text(json);
  long long scale = 0, duration = 0;
  if (r.exit != 0 ||
      std::sscanf(dump.c_str(), "{\"timeScale\": %lld, \"duration\": %lld,", &scale, &duration) != 2)
    return {0, 0, {}};
  return {scale, duration, PlayedSound(EditsOf(dump))};
}

// Imports `joined`, which must succeed and say `words` on standard error.
void ExpectTold(const std::string& joined, const std::string& words) {
  const testsupport::CommandResult r = testsupport::run_command(MTSIMPORT " --dump - " + joined);
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
}

// Python, after JOIN_PARTS, that reads the recording `file` as `d`: `r` its
// PES, `p` its pictures' stamps in order, `f` one picture's time.
std::string ReadRecording(const std::string& file) {
  return "d = open(\"" + file + "\", \"rb\").read(); r = J.Recording(d); p = sorted(v[\"pts\"] for v in r.video); "
         "f = p[1] - p[0]; ";
}

// A whole recording, a one-picture part cut at a later group's tables (its
// tables, IDR picture and sound PES), then the whole recording again, each
// 0.5 s (and 1 s) after the part before ends. The one-picture part's only
// sound PES is reported after the last part's first picture: it is not that
// part's sound, whose step is then a join's, no loss ("0.572 s of sound
// could not be read" was said), and plays from that part's first picture
// (it played 0.52 s, and 1.07 s, early).
TEST(MtsimportCommand, OnePicturePartsLateSoundLeavesTheNextPartsSoundItsOwn) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const std::string gap : {"45000", "90000"}) {
    SCOPED_TRACE(gap);
    // Prints the sound PES of the cut part and the length of the recording's
    // pictures, in ticks: the last part ends the movie.
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS + ReadRecording(ac3) +
        "c = J.cut(d, r.gop_starts()[1][1], 1); s = p[-1] + f + " + gap + "; "
        "open(\"" + joined + "\", \"wb\").write(d + J.restamp(c, s - J.first_video_pts(c)) + "
        "J.restamp(d, s + f + " + gap + " - p[0])); print(len(J.Recording(c).audio), p[-1] + f - p[0])'");
    long long sounds = 0, whole = 0;
    ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld", &sounds, &whole), 2) << made.err;
    ASSERT_GE(sounds, 1);
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_FALSE(sound.empty());
    // At that picture, or ahead of it by the lead its own stamps give its
    // sound (less than an AC-3 frame), where the part before's sound does
    // not run on into it.
    const long long picture = duration - whole * scale / 90000;
    EXPECT_LE(sound.back()[0], picture);
    EXPECT_GE(sound.back()[0], picture - 1536 * scale / 48000);
  }
}

// The whole recording, the one-picture cut of the test before placed
// 0.6 s after it, then a recording of another size without sound: the
// one-picture cut's only sound PES is
// reported when the file ends, over 4 MiB past the seam that other
// recording's pictures opened. It lies before that recording's tables and
// is the one-picture part's own sound, no loss ("0.520 s of sound could
// not be read" was said where the last part filled more than 4 MiB).
TEST(MtsimportCommand, OnePicturePartsSoundReadAtTheEndOfALongPartOfAnotherSizeIsNoLoss) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS + ReadRecording(ac3) +
      "c = J.cut(d, r.gop_starts()[1][1], 1); s = p[-1] + f + 54000; "
      "h = J.without_sound(open(\"" + hd + "\", \"rb\").read()); "
      "open(\"" + joined + "\", \"wb\").write(d + J.restamp(c, s - J.first_video_pts(c)) + "
      "J.restamp(h, s + f + 45000 - J.first_video_pts(h))); print(len(h))'");
  ASSERT_EQ(made.exit, 0) << made.err;
  ASSERT_GT(std::atoll(made.out.c_str()), 4 << 20);
  const auto [scale, duration, sound] = ImportedQuietly(joined, json);
  EXPECT_FALSE(sound.empty());
}

// A recording less its sound PES up to the first that starts more than a
// picture after its first picture, as where it was cut before its sound
// began: that sound plays there by its stamps after empty time (it played
// from the first picture, 91 ms early with AC-3).
TEST(MtsimportCommand, SoundBegunAfterTheFirstPicturePlaysByItsStamps) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string late = folder.path + "/late.m2ts", json = folder.path + "/late.json";
  for (const std::string& source : {ac3, lpcm}) {
    SCOPED_TRACE(source);
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS + ReadRecording(source) + "k = next(i for i, a in enumerate(r.audio) if a[\"pts\"] > p[0] + f); "
        "drop = set(i for a in r.audio[:k] for i in a[\"packets\"]); "
        "open(\"" + late + "\", \"wb\").write(r.bytes(drop)); print(r.audio[k][\"pts\"] - p[0])'");
    ASSERT_EQ(made.exit, 0) << made.err;
    const auto [scale, duration, sound] = ImportedQuietly(late, json);
    ASSERT_FALSE(sound.empty());
    EXPECT_NEAR(double(sound.front()[0]), double(std::atoll(made.out.c_str())) * double(scale) / 90000, 1.0);
    EXPECT_EQ(sound.front()[2], 0);
  }
}

// Two pictures cut at a recording's second group with their sound, which
// leads them, twelve pictures without sound, then a recording of another
// size: the sound PES that reaches the first picture is reported only once
// that recording's sound begins, after the sound before it was inserted at
// the movie's start (it played 64 ms late). The two pictures' sound plays
// as it does when they are alone.
TEST(MtsimportCommand, SoundBeforeTheFirstPictureWaitsForTheSoundThatReachesIt) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string json = folder.path + "/j.json", two = folder.path + "/two.m2ts", joined = folder.path + "/j.m2ts";
  const testsupport::CommandResult parts = testsupport::run_command(
      JOIN_PARTS + ReadRecording(ac3) +
      "c = J.cut(d, r.gop_starts()[1][1], 2); s = J.without_sound(J.cut(d, r.gop_starts()[2][1], 12)); "
      "t = J.first_video_pts(c); h = open(\"" + hd + "\", \"rb\").read(); "
      "open(\"" + two + "\", \"wb\").write(c); open(\"" + joined + "\", \"wb\").write(c + "
      "J.restamp(s, t + 5 * f - J.first_video_pts(s)) + J.restamp(h, t + 20 * f - J.first_video_pts(h)))'");
  ASSERT_EQ(parts.exit, 0) << parts.err;
  const auto alone = std::get<2>(ImportedQuietly(two, json)), both = std::get<2>(ImportedQuietly(joined, json));
  ASSERT_FALSE(alone.empty() || both.empty());
  EXPECT_EQ(both.front(), alone.front());
}

// Joins as ffmpeg writes them, each with one sound PES taken out, told.
// (1) The 25i recording with its stamps wrapping, less its 58th of 63
// sound PES, then LPCM from a later group 0.04 s after its end: the LPCM's
// own step held the seam open in the lost PES's place, and the video's
// seam took back both, leaving less than nothing lost. (2) Six pictures without sound, then the 1080i recording
// (another size) seamlessly after them, less its first sound PES: that
// sound was taken as running on across the join, its head never judged.
// (3) The same after the whole recording, its sound too: the sound after
// the lost PES, its counter broken, was taken as running on all the same.
// (4) The recording less its last sound PES but one, then one 1080i
// picture without sound stamped on after it: the last sound PES, reported
// at the file's end, was judged against the tables of a picture before
// that one's, and its step taken as the seam's.
TEST(MtsimportCommand, SoundLostAtPartsWhoseSoundOrPicturesAreLeftOutIsTold) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string f = folder.path + "/";
  // `a` then `b`, less sound PES `k` of part `part` (0: a, 1: b).
  auto joined = [&](const std::string& a, const std::string& b, int part, int k, const std::string& out) {
    const testsupport::CommandResult r = testsupport::run_command(
        JOIN_PARTS "p = [open(x, \"rb\").read() for x in (\"" + a + "\", \"" + b + "\")]; "
        "r = J.Recording(p[" + std::to_string(part) + "]); s = [x for x in r.pes if x[\"pid\"] == 0x1100][" +
        std::to_string(k) + "]; drop = set(s[\"packets\"]); "
        "p[" + std::to_string(part) + "] = b\"\".join(x for i, x in enumerate(r.packets) if i not in drop); "
        "open(\"" + out + "\", \"wb\").write(p[0] + p[1])'");
    EXPECT_EQ(r.exit, 0) << r.err;
    return out;
  };
  const testsupport::CommandResult cut = testsupport::run_command(
      JOIN_PARTS "open(\"" + f + "lpcm.m2ts\", \"wb\").write(J.cut(open(\"" + lpcm + "\", \"rb\").read(), 670, 0))'");
  ASSERT_EQ(cut.exit, 0) << cut.err;
  Remuxed(f + "mbaff.m2ts", mbaff, "-map 0 -c copy");
  const std::string kind =
      joined(StampsMovedOn(f + "mbaff.m2ts", "0", "95441.397689"), StampsMovedOn(f + "lpcm.m2ts", "0", "0.04"), 0, 57,
             f + "kind.m2ts");
  const testsupport::CommandResult one = testsupport::run_command(MTSIMPORT " " + kind);
  EXPECT_EQ(one.exit, 0);
  EXPECT_NE(one.err.find("0.032 s of sound could not be read"), std::string::npos) << one.err;

  Remuxed(f + "six.m2ts", sd, "-map 0:v -c copy -frames:v 6");
  Remuxed(f + "hd.m2ts", hd, "-map 0 -c copy");
  const std::string size =
      joined(StampsMovedOn(f + "six.m2ts", "0:v", "95442.037689"), StampsMovedOn(f + "hd.m2ts", "0", "95442.317689"),
             1, 0, f + "size.m2ts");
  const testsupport::CommandResult two = testsupport::run_command(MTSIMPORT " " + size);
  EXPECT_EQ(two.exit, 0);
  EXPECT_NE(two.err.find("s of sound could not be read"), std::string::npos) << two.err;

  Remuxed(f + "whole.m2ts", ac3, "-map 0 -c copy");
  Remuxed(f + "nine.m2ts", hd, "-map 0 -c copy -frames:v 9");
  const std::string after = joined(StampsMovedOn(f + "whole.m2ts", "0", "30.4"),
                                   StampsMovedOn(f + "nine.m2ts", "0", "32.4338"), 1, 0, f + "after.m2ts");
  const testsupport::CommandResult three = testsupport::run_command(MTSIMPORT " " + after);
  EXPECT_EQ(three.exit, 0);
  EXPECT_NE(three.err.find("s of sound could not be read"), std::string::npos) << three.err;

  const testsupport::CommandResult last = testsupport::run_command(
      JOIN_PARTS "r = J.Recording(J.restamp(open(\"" + ac3 + "\", \"rb\").read(), 0)); "
      "drop = set([x for x in r.pes if x[\"pid\"] == 0x1100][-2][\"packets\"]); "
      "b = J.restamp(J.without_sound(J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 1)), 183309); "
      "open(\"" + f + "last.m2ts\", \"wb\").write(b\"\".join(x for i, x in enumerate(r.packets) if i not in drop) + b)'");
  ASSERT_EQ(last.exit, 0) << last.err;
  const testsupport::CommandResult four = testsupport::run_command(MTSIMPORT " " + f + "last.m2ts");
  EXPECT_EQ(four.exit, 0);
  EXPECT_NE(four.err.find("0.032 s of sound could not be read"), std::string::npos) << four.err;
}

// One picture cut from a group of the LPCM recording (its sound, cut with
// it, ends where that picture begins), then the same cut as much later as
// its sound leads its pictures (80 ms here): its pictures follow the one
// picture at once, and its sound, which runs on from the sound before
// without a step, begins that far ahead of them. The movie plays that
// sound beside its own pictures by its stamps, the lead less a picture
// into it at the movie's start (it played from its first sample there,
// 40 ms late).
TEST(MtsimportCommand, SoundRunningOnIntoAPartMovedBackPlaysBesideItsPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string f = folder.path + "/";
  // Cuts the third group; prints how far its sound leads its first picture.
  const testsupport::CommandResult cut = testsupport::run_command(
      JOIN_PARTS "d = open(\"" + lpcm + "\", \"rb\").read(); c = J.cut(d, J.Recording(d).gop_starts()[2][1], 0); "
      "open(\"" + f + "cut.m2ts\", \"wb\").write(c); r = J.Recording(c); "
      "print(min(x[\"pts\"] for x in r.video) - min(x[\"pts\"] for x in r.audio))'");
  ASSERT_EQ(cut.exit, 0) << cut.err;
  const long long lead = std::atoll(cut.out.c_str());  // 90 kHz
  if (lead <= 3600) GTEST_SKIP() << "the recording's sound leads its groups by no more than a picture";
  Remuxed(f + "one.m2ts", f + "cut.m2ts", "-map 0 -c copy -frames:v 1");
  Remuxed(f + "part.m2ts", f + "cut.m2ts", "-map 0 -c copy");
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.6f", double(lead) / 90000);
  const std::string later = StampsMovedOn(f + "part.m2ts", "0", seconds);
  const std::string first = StampsMovedOn(f + "one.m2ts", "0", "0");
  const testsupport::CommandResult joined =
      testsupport::run_command("cat " + first + " " + later + " > " + f + "joined.m2ts");
  ASSERT_EQ(joined.exit, 0);
  const testsupport::CommandResult r =
      testsupport::run_command(MTSIMPORT " --mov " + f + "joined.mov " + f + "joined.m2ts");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto pcm = [](const std::string& file) {
    return testsupport::run_command("ffmpeg -v error -i " + file + " -map 0:a -f s16le -").out;
  };
  const std::string played = pcm(f + "joined.mov"), own = pcm(later);
  // Stereo 16-bit sample frames at 48 kHz.
  const size_t ahead = size_t(lead - 3600) * 48000 / 90000 * 4, compared = 48000;
  ASSERT_GE(played.size(), compared);
  ASSERT_GE(own.size(), ahead + compared);
  EXPECT_TRUE(played.compare(0, compared, own, ahead, compared) == 0);
}

// The AC-3 sample frames of `file`'s sound (ffmpeg's packets, one a frame).
int64_t SoundFramesOf(const std::string& file) {
  const testsupport::CommandResult r = testsupport::run_command(
      "ffprobe -v error -select_streams a -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " + file);
  return std::atoll(r.out.c_str()) * 1536;
}

// Where media sample frame `media` of the sound plays in the track (movie
// units of 1/48000 s), by the played edit that holds it; -1: in none.
int64_t PlayedAt(const std::vector<std::array<int64_t, 3>>& sound, int64_t media) {
  for (const auto& e : sound)
    if (e[2] <= media && media < e[2] + e[1]) return e[0] + media - e[2];
  return -1;
}

// Twelve pictures of a 5.1 recording from its second group (their sound
// ends 69 ms before their last picture does), its first two pictures (their
// sound after both) 20 s later, then the whole recording 20 s after
// that. The two-picture part's sound PES is reported after the last part's
// first picture: it plays beside its own pictures by its own stamps, the
// time from the sound before left empty (it ran straight on from that
// sound, 64 ms early), and the last part's sound by its own as before.
TEST(MtsimportCommand, TwoPicturePartsLateSoundPlaysBesideItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  const std::string first =
      FirstPictures(folder.path + "/first.m2ts", FromGroup(folder.path + "/from.m2ts", surround, 1), 12);
  const std::string two =
      MovedStamps(folder.path + "/two.m2ts", FirstPictures(folder.path + "/two0.m2ts", surround, 2), "20");
  const std::string last = MovedStamps(folder.path + "/last.m2ts", surround, "40");
  const testsupport::CommandResult cat = testsupport::run_command("cat " + first + " " + two + " " + last + " > " + joined);
  ASSERT_EQ(cat.exit, 0) << cat.err;
  const int64_t before = SoundFramesOf(first), own = SoundFramesOf(two);
  ASSERT_TRUE(before > 0 && own > 0) << before << " " << own;
  const auto [scale, duration, sound] = ImportedQuietly(joined, json);
  ASSERT_EQ(scale, 48000);
  // Its two pictures are shown three pictures apart (the pictures between
  // were cut away): the last part begins four pictures after it.
  EXPECT_EQ(PlayedAt(sound, before), 12 * kPictureUnits - SoundLead(two));
  EXPECT_EQ(PlayedAt(sound, before + own), 16 * kPictureUnits - SoundLead(last));
  // The part before plays its own sound to its last sample.
  EXPECT_EQ(PlayedAt(sound, before - 1), PlayedAt(sound, sound.front()[2]) + before - 1 - sound.front()[2]);
}

// Twenty-five pictures of a recording from its third group (its sound runs
// on past its last picture), then another recording whose stamps run on from
// them: whole, or with its PES from its second picture up to its second
// group's tables taken out. The sound after that loss leads the group's
// picture by 101 ms, stamped in the time of the pictures lost, which the
// movie leaves out: the part before keeps its own sound to its end (its
// last 80 ms were played over by the sound after the loss), and the sound
// after the loss plays by its own stamps beside the group's picture; the
// whole recording's sound plays beside its first picture, as before.
TEST(MtsimportCommand, SoundAfterPicturesLostLeavesThePartBeforeItsSound) {
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  const std::string first =
      FirstPictures(folder.path + "/first.m2ts", FromGroup(folder.path + "/from.m2ts", mbaff, 2), 25);
  const std::string second = Remuxed(folder.path + "/second.m2ts", sd, "-map 0 -c copy");
  const int64_t before = SoundFramesOf(first);
  ASSERT_GT(before, 0);
  for (const bool lost : {false, true}) {
    SCOPED_TRACE(lost ? "pictures lost" : "whole");
    // Prints how far the recording's sound (the first after the loss) comes
    // before its picture, in ticks, and the pictures before that one.
    const testsupport::CommandResult join = testsupport::run_command(
        JOIN_PARTS ""
        "a = open(\"" + first + "\", \"rb\").read(); d = open(\"" + second + "\", \"rb\").read(); "
        "p = sorted(v[\"pts\"] for v in J.Recording(a).video); r = J.Recording(d); g, cut = r.gop_starts()[1]; "
        "lo = r.video[1][\"packets\"][0]; "
        "drop = {i for q in r.pes if lo <= q[\"packets\"][0] < cut for i in q[\"packets\"]} if " +
        std::string(lost ? "True" : "False") + " else set(); "
        "open(\"" + joined + "\", \"wb\").write(a + J.restamp(r.bytes(drop), "
        "(p[-1] + p[1] - p[0] - J.first_video_pts(d)) % J.WRAP)); k = g if drop else 0; "
        "s = [q[\"pts\"] for q in r.audio if not drop or q[\"packets\"][0] >= cut]; "
        "print(r.video[k][\"pts\"] - s[0], len(p) + (1 if drop else 0))'");
    long long lead = 0, pictures = 0;
    ASSERT_EQ(std::sscanf(join.out.c_str(), "%lld %lld", &lead, &pictures), 2) << join.err;
    ASSERT_GT(lead, 0);
    const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --dump " + json + " " + joined);
    ASSERT_EQ(r.exit, 0) << r.err;
    // The loss ends where tables and an IDR picture begin: read as a join,
    // or told as the time of the pictures taken out.
    if (lost) {
      EXPECT_TRUE(r.err.empty() || r.err.find("0.440 s of video could not be read") != std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err, "");
    }
    const std::string dump = testsupport::read_text(json);
    ASSERT_EQ(dump.rfind("{\"timeScale\": 48000,", 0), 0u) << dump.substr(0, 40);
    const auto sound = PlayedSound(EditsOf(dump));
    ASSERT_FALSE(sound.empty());
    // The part before plays its own sound to within one AC-3 frame of its
    // end (where the recording's sound begins ahead of its first picture).
    EXPECT_GE(PlayedAt(sound, before - 1536), 0);
    EXPECT_EQ(PlayedAt(sound, before - 1536), PlayedAt(sound, sound.front()[2]) + before - 1536 - sound.front()[2]);
    const int64_t own = std::llround(double(lead) * 48000 / 90000);
    const int64_t beside = pictures * kPictureUnits - own;
    // The recording's first sample that plays, at its own time.
    const auto next = std::find_if(sound.begin(), sound.end(), [&](const auto& e) { return e[2] + e[1] > before; });
    ASSERT_NE(next, sound.end());
    const int64_t m = std::max(next->at(2), before);
    EXPECT_EQ(PlayedAt(sound, m), beside + (m - before));
    // After the loss: to its very end.
    if (lost) {
      EXPECT_EQ(PlayedAt(sound, before - 1), PlayedAt(sound, sound.front()[2]) + before - 1 - sound.front()[2]);
    }
  }
}

// A one-picture first part with its one sound PES (480 ticks ahead of the
// picture), seven pictures without sound 2 s later, then the whole
// recording running on from them. The first part's sound is reported only
// once the last part's sound begins, after that part's first picture: it
// keeps its own part's line and opens the track at time 0, its lead cut
// off (it played beside the last part's first picture, after 0.26 s of
// empty time, pushed there by the jump of the part between).
TEST(MtsimportCommand, ShortFirstPartsLateSoundPlaysBesideItsOwnPicture) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  // Prints the first part's sound PES, its lead and the length of the
  // recording's pictures, in ticks: the last part ends the movie.
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS + ReadRecording(ac3) +
      "a = J.cut(d, 1, 1); b = J.without_sound(J.cut(d, 1, 7)); "
      "s = J.first_video_pts(a) + f + 180000; "
      "open(\"" + joined + "\", \"wb\").write(a + J.restamp(b, s - J.first_video_pts(b)) + "
      "J.restamp(d, s + 7 * f - p[0])); s = J.Recording(a).audio; "
      "print(len(s), p[0] - s[0][\"pts\"], p[-1] + f - p[0])'");
  long long sounds = 0, lead = 0, whole = 0;
  ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld %lld", &sounds, &lead, &whole), 3) << made.err;
  ASSERT_EQ(sounds, 1);
  ASSERT_GT(lead, 0);
  const auto [scale, duration, sound] = ImportedQuietly(joined, json);
  ASSERT_GE(sound.size(), 2u);
  EXPECT_EQ(sound.front()[0], 0);
  EXPECT_NEAR(sound.front()[2], lead * 48000 / 90000, 1);
  EXPECT_LE(sound.front()[1], (1536 - lead * 48000 / 90000) * scale / 48000 + 1);
  // The last part's sound by its own stamps beside its pictures, as before.
  const long long picture = duration - whole * scale / 90000;
  EXPECT_LE(sound.back()[0], picture);
  EXPECT_GE(sound.back()[0], picture - 1536 * scale / 48000);
}

// Twelve pictures whose sound begins 50 ms after the first (more than one
// AC-3 frame: it is not placed beside the pictures) and runs on past them,
// then three pictures with 5.1 sound, left out for its kind: the file ends
// in that stretch, and the stereo sound plays to the video's end, not one
// sample short of it (the end was taken from an empty sound track's -1).
TEST(MtsimportCommand, UnplacedSoundEndsWithTheVideoOfAShortRecording) {
  AVCHD_REQUIRE_TESTDATA(stereo, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS ""
      "d = open(\"" + stereo + "\", \"rb\").read(); r = J.Recording(d); v = J.first_video_pts(d); "
      "k = r.gop_starts()[1][0]; "
      "drop = [i for p in r.video[k:] for i in p[\"packets\"]] + "
      "[i for p in r.audio if p[\"pts\"] < v + 4500 for i in p[\"packets\"]]; "
      "open(\"" + joined + "\", \"wb\").write(r.bytes(drop) + J.cut(open(\"" + surround + "\", \"rb\").read(), 0, 3))'");
  ASSERT_EQ(made.exit, 0) << made.err;
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " --dump - " + joined);
  ASSERT_EQ(r.exit, 0) << r.err;
  const auto edits = EditsOf(r.out);
  ASSERT_TRUE(edits.size() >= 2 && !edits[0].empty() && !edits.back().empty()) << r.out.substr(0, 400);
  const auto end = [](const std::vector<std::array<int64_t, 3>>& track) { return track.back()[0] + track.back()[1]; };
  EXPECT_EQ(end(edits.back()), end(edits[0]));
}

// The same one-picture part, then a part of that recording without sound
// whose stamps go 30 s back, then the recording from that later group on.
// The one-picture part's sound PES is reported once the last part's first
// sound PES begins, after that part's tables but before its first picture:
// it is still not the soundless part's, and the last part's sound plays
// beside its pictures (it was missing, or played a minute late).
TEST(MtsimportCommand, OnePicturePartsLateSoundAfterASoundlessPartKeepsTheLastPartsSound) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  // Prints the length of the last part's pictures, in ticks.
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS + ReadRecording(ac3) +
      "g = r.gop_starts()[1][1]; c = J.cut(d, g, 1); h = J.cut(d, g, 0); "
      "e = J.without_sound(h); s = p[-1] + f + 45000; t = s - 30 * 90000; "
      "q = sorted(v[\"pts\"] for v in J.Recording(h).video); u = t + q[-1] + f - q[0] + 45000; "
      "open(\"" + joined + "\", \"wb\").write(d + J.restamp(c, s - J.first_video_pts(c)) + "
      "J.restamp(e, t - J.first_video_pts(e)) + J.restamp(h, u - J.first_video_pts(h))); "
      "print(q[-1] + f - q[0], J.first_video_pts(h) - J.Recording(h).audio[0][\"pts\"])'");
  long long whole = 0, lead = 0;
  ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld", &whole, &lead), 2) << made.err;
  const auto [scale, duration, sound] = ImportedQuietly(joined, json);
  ASSERT_FALSE(sound.empty());
  // Ahead of its first picture by the lead its own stamps give its sound.
  EXPECT_NEAR(sound.back()[0], duration - (whole + lead) * scale / 90000, 1);
  EXPECT_EQ(sound.back()[0] + sound.back()[1], duration);
}

// An LPCM 5.1 recording's last group twice, the second 0.92 s after the
// first ends, then its second group on with stamps running on, then an
// LPCM stereo recording from its second group, 2.8 s later. The stereo
// sound steps about as far as the second part's pictures did, long before
// in the file: the part between met its own seam since, so the stereo
// sound waits for its own part's pictures and plays from the first of them
// (it played 1.2 s late, under the last part's last pictures only).
TEST(MtsimportCommand, SoundStepLikeAnEarlierPartsWaitsForItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(stereo, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string late = FromGroup(folder.path + "/late.m2ts", surround, 3);
  const std::string last = MovedStamps(folder.path + "/d.m2ts", FromGroup(folder.path + "/other.m2ts", stereo, 1), "5.44");
  testsupport::run_command("cat " + MovedStamps(folder.path + "/a.m2ts", late, "0.52") + " " +
                           MovedStamps(folder.path + "/b.m2ts", late, "2.0") + " " +
                           MovedStamps(folder.path + "/c.m2ts", FromGroup(folder.path + "/mid.m2ts", surround, 1), "2.56") +
                           " " + last + " > " + folder.path + "/joined.m2ts");
  const auto [first, ignored] = OuterStamps(last, false);
  const auto [latest, alsoIgnored] = OuterStamps(last, true);
  ASSERT_TRUE(first >= 0 && latest > first);
  const auto [scale, duration, sound] = ImportedQuietly(folder.path + "/joined.m2ts", folder.path + "/joined.json");
  ASSERT_EQ(scale, 48000);
  ASSERT_FALSE(sound.empty());
  // The part before has no sound of the track's kind: the part's sound
  // plays from its first picture to the movie's end.
  EXPECT_EQ(sound.back()[0], duration - (latest - first) * 48000 / 90000 - kPictureUnits);
  EXPECT_EQ(sound.back()[0] + sound.back()[1], duration);
}

// Joins LPCM, a part whose AC-3 sound is left out, and LPCM again (from
// the recording's second group when `later`), each part's first picture
// where the part before ends, the last `step` ticks later; with
// `countersRunOn` every packet counter runs on across the joins (as they
// may by chance). Returns the joined file.
std::string LeftOutBetween(const std::string& folder, const std::string& step, bool later, bool countersRunOn) {
  const std::string lpcm = testsupport::testdata_file("avchd/small_lpcm_20_avchd.m2ts");
  const std::string mbaff = testsupport::testdata_file("avchd/small_mbaff_ac3_20_avchd.m2ts");
  const std::string joined = folder + "/joined" + step + ".m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS "\n"
      "l = open(\"" + lpcm + "\", \"rb\").read(); m = open(\"" + mbaff + "\", \"rb\").read()\n"
      "at = J.Recording(l).gop_starts()[1][1] if " + (later ? "1" : "0") + " else 0\n"
      "end = None; d = b\"\"\n"
      "for part, step in ((J.cut(l, 0, 13), 0), (J.cut(m, 0, 9), 0), (J.cut(l, at, 13), " + step + ")):\n"
      "  v = sorted(p[\"pts\"] for p in J.Recording(part).video if p[\"pts\"] is not None)\n"
      "  off = 0 if end is None else end + step - v[0]\n"
      "  end = v[-1] + off + v[1] - v[0]\n"
      "  d += J.restamp(part, off % J.WRAP)\n"
      "d = bytearray(d); cc = {}\n"
      "for b in (range(0, len(d), J.PACKET) if " + (countersRunOn ? "1" : "0") + " else ()):\n"
      "  pid = (d[b + 5] & 31) << 8 | d[b + 6]\n"
      "  if d[b + 7] & 16:\n"
      "    c = cc.get(pid, d[b + 7] & 15); d[b + 7] = d[b + 7] & 240 | c; cc[pid] = (c + 1) & 15\n"
      "open(\"" + joined + "\", \"wb\").write(d)'");
  EXPECT_EQ(made.exit, 0) << made.err;
  return joined;
}

// LPCM, then an AC-3 recording whose sound is left out, then LPCM again
// 0.2 s after the AC-3 pictures end, every counter running on: the sound's
// change of kind shows another recording beginning where the pictures'
// stamps step, a join, no loss ("0.200 s of video could not be read" was
// said).
TEST(MtsimportCommand, SoundTakenUpAfterAStretchLeftOutMakesTheVideosStepAJoin) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = LeftOutBetween(folder.path, "18000", false, true);
  const testsupport::CommandResult r =
      testsupport::run_command(std::string(MTSIMPORT) + " --dump " + folder.path + "/joined.json " + joined);
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.err, "");
}

// An AC-3 part, then two LPCM 5.1 parts (their sound left out for its
// kind): the first's stamps 4.2 s before the AC-3 part's, the second's first
// picture 1 s after the first's last, every counter running on. The
// left-out sound leaps ahead by more than a second there, a restart as the
// track's sound would read it, so the pictures' step is a join ("0.960 s
// of video could not be read" was said).
TEST(MtsimportCommand, LeftOutSoundLeapingAheadMakesTheVideosStepAJoin) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_51_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS "\n"
      "a = open(\"" + ac3 + "\", \"rb\").read(); l = open(\"" + lpcm + "\", \"rb\").read()\n"
      "key = lambda p, i: [v[\"dts\"] or v[\"pts\"] for v in J.Recording(p).video if v[\"pts\"] is not None][i]\n"
      "parts = [J.cut(a, 0, 6), J.cut(l, J.Recording(l).gop_starts()[1][1], 13), J.cut(l, 0, 13)]\n"
      "one = key(parts[0], 0) - 378000 - key(parts[1], 0); two = key(parts[1], -1) + one + 90000 - key(parts[2], 0)\n"
      "d = bytearray(J.restamp(parts[0], 0) + J.restamp(parts[1], one % J.WRAP) + J.restamp(parts[2], two % J.WRAP))\n"
      "cc = {}\n"
      "for b in range(0, len(d), J.PACKET):\n"
      "  pid = (d[b + 5] & 31) << 8 | d[b + 6]\n"
      "  if d[b + 7] & 16:\n"
      "    c = cc.get(pid, d[b + 7] & 15); d[b + 7] = d[b + 7] & 240 | c; cc[pid] = (c + 1) & 15\n"
      "open(\"" + joined + "\", \"wb\").write(d)'");
  ASSERT_EQ(made.exit, 0) << made.err;
  const testsupport::CommandResult r =
      testsupport::run_command(std::string(MTSIMPORT) + " --dump " + folder.path + "/joined.json " + joined);
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.err, "");
}

// LPCM, an AC-3 part whose sound is left out, then LPCM from the recording's
// second group 0.32 s after the AC-3 pictures end. The seam of the AC-3
// part was to place that part's sound beside its pictures; its sound is of
// another kind, so the LPCM after it is the last part's own: it waits for
// that part's first picture and plays ahead of it by its own stamps' lead
// (it was laid on the AC-3 part's line, the step late, and part-sync did
// not find it).
TEST(MtsimportCommand, SoundAfterAPartWhoseSoundIsLeftOutPlaysWithItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the last part's stamps are not read";
  const Folder folder;
  const int64_t lead = SoundLead(FromGroup(folder.path + "/later.m2ts", lpcm, 1));
  ASSERT_GT(lead, 0);
  for (const std::string step : {"28800", "0"}) {
    SCOPED_TRACE(step);
    const std::string joined = LeftOutBetween(folder.path, step, true, false);
    const auto [scale, duration, sound] = ImportedQuietly(joined, folder.path + "/joined.json");
    ASSERT_EQ(scale, 48000);
    ASSERT_FALSE(sound.empty());
    // The last part's 13 pictures end the movie.
    EXPECT_EQ(sound.back()[0], duration - 13 * kPictureUnits - lead);
    EXPECT_LE(sound.back()[0] + sound.back()[1], duration);
  }
}

// Twelve 1080i pictures without sound, two more 5 s later (a seam the sound
// never meets), then an LPCM recording of another size from its second
// group, remultiplexed (its first sound PES before its second picture):
// the movie's first sound is that last part's, read before the part's first
// picture is; it plays where its stamps put it beside that picture, at the
// start of the stretch the part's pictures leave empty (it was taken for
// the two-picture part's sound and played from another place of its media,
// or not at all).
TEST(MtsimportCommand, FirstSoundOfAPartOfAnotherSizeAfterASoundlessSeamPlaysWithItsStretch) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string first = folder.path + "/first.m2ts";
  ASSERT_EQ(testsupport::run_command(JOIN_PARTS
                                     "open(\"" + first + "\", \"wb\").write(J.without_sound("
                                     "J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 12)))'").exit, 0);
  const std::string two = Remuxed(folder.path + "/two.m2ts", hd, "-map 0:v -c copy -frames:v 2 -output_ts_offset 5.0");
  const std::string last =
      MovedStamps(folder.path + "/last.m2ts", FromGroup(folder.path + "/later.m2ts", lpcm, 1), "3.0");
  const std::string joined = folder.path + "/joined.m2ts";
  ASSERT_EQ(testsupport::run_command("cat " + first + " " + two + " " + last + " > " + joined).exit, 0);
  const auto [scale, duration, sound] = ImportedQuietly(joined, folder.path + "/joined.json");
  ASSERT_EQ(scale, 30000);
  ASSERT_EQ(sound.size(), 1u);
  const auto video = EditsOf(testsupport::read_text(folder.path + "/joined.json"));
  ASSERT_FALSE(video.empty());
  ASSERT_EQ(video[0].back()[2], -1);  // the last part's stretch
  // From its first sample, within one LPCM PES (5 ms).
  EXPECT_EQ(sound[0][2], 0);
  EXPECT_NEAR(double(sound[0][0]), double(video[0].back()[0]) - double(SoundLead(last)) * 30000 / 48000, 150);
}

// LPCM, then a 1080i recording of 16 pictures (and of one) whose pictures
// and AC-3 sound are both left out, then LPCM from the recording's second
// group; each part's stamps run on 0.48 s, and 0.94 s (0.5 s), after the
// part before ends. The AC-3 part's own seam asked for its sound to be
// placed, but none of it reaches the track: the last part's sound, running
// on from the AC-3 stamps, waits for its own first picture and plays ahead
// of it by the lead its stamps give (it played 0.96 s, and 0.49 s, late,
// placed as the AC-3 part's sound beside the first part's pictures).
TEST(MtsimportCommand, SoundAfterALeftOutPartOfAnotherSizeAndKindPlaysWithItsPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const auto& [pictures, step] : std::initializer_list<std::pair<int, int>>{{16, 84972}, {1, 45000}}) {
    SCOPED_TRACE(pictures);
    // Prints how far the last part's first sound comes before its first
    // picture, in ticks.
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS "\n"
        "l = open(\"" + lpcm + "\", \"rb\").read(); h = open(\"" + hd + "\", \"rb\").read()\n"
        "last = J.cut(l, J.Recording(l).gop_starts()[1][1], 0)\n"
        "d = J.run_on(((J.cut(l, 0, 13), 0), (J.cut(h, 0, " + std::to_string(pictures) + "), 42783), (last, " +
        std::to_string(step) + ")))\n"
        "open(\"" + joined + "\", \"wb\").write(d)\n"
        "print(J.first_video_pts(last) - J.Recording(last).audio[0][\"pts\"])'");
    long long lead = 0;
    ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld", &lead), 1) << made.err;
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(scale, 48000);
    const auto edits = EditsOf(testsupport::read_text(json));
    ASSERT_TRUE(!sound.empty() && !edits.empty() && edits[0].size() >= 2);
    // The first part's sound plays from the movie's start; the last part's
    // from its first picture less its lead, to the movie's end.
    EXPECT_EQ(sound.front()[0], 0);
    EXPECT_EQ(sound.back()[0], edits[0].back()[0] - lead * scale / 90000);
    EXPECT_EQ(sound.back()[0] + sound.back()[1], duration);
  }
}

// Twelve pictures of an LPCM recording with their sound, thirteen pictures
// without sound whose stamps run on from them, then nineteen from its
// third group, stepping ahead of those by each of `steps` (ticks): the last
// part's sound, read in the file before its first picture is, plays from
// its first sample beside its own pictures by its own stamps, and the first
// part's sound to its last sample.
void ExpectSoundAfterASoundlessPartWithItsPictures(const std::string& lpcm, std::initializer_list<int64_t> steps) {
  const Folder folder;
  const std::string first = FirstPictures(folder.path + "/first.m2ts", lpcm, 12);
  const std::string pictures = Remuxed(folder.path + "/pictures.m2ts", lpcm, "-map 0:v -c copy -frames:v 13");
  const std::string group = Remuxed(folder.path + "/group.m2ts", FromGroup(folder.path + "/cut.m2ts", lpcm, 2),
                                    "-map 0 -c copy -frames:v 19");
  const std::vector<int64_t> a = VideoStamps(first), b = VideoStamps(pictures), c = VideoStamps(group);
  ASSERT_TRUE(a.size() == 12 && b.size() == 13 && c.size() == 19);
  const auto moved = [&](const std::string& name, const std::string& source, int64_t ticks) {
    return Remuxed(folder.path + "/" + name, source, "-copyts -map 0 -c copy -output_ts_offset " +
                                                         std::to_string(ticks / 90000.0) + " -muxdelay 0 -muxpreload 0");
  };
  const int64_t frame = a[1] - a[0], silentStart = a.back() + frame;
  const std::string silent = moved("silent.m2ts", pictures, silentStart - b[0]);
  const int64_t silentEnd = silentStart + b.back() - b[0] + frame;
  for (const int64_t step : steps) {
    const std::string later = moved("later.m2ts", group, silentEnd + step - c[0]);
    const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
    ASSERT_EQ(testsupport::run_command("cat " + first + " " + silent + " " + later + " > " + joined).exit, 0);
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(sound.size(), 2u) << step;
    EXPECT_EQ(sound[0], (std::array<int64_t, 3>{0, sound[1][2], 0})) << step;
    EXPECT_EQ(sound[1][0], 25 * kPictureUnits - SoundLead(later)) << step;
    EXPECT_EQ(sound[0][1], SoundMediaFrames(testsupport::read_text(json)) - sound[1][1]) << step;
  }
}

// The last part's stamps 1.2 s and 3 s on: its sound steps first, and waits
// for its pictures. The movie's first pictures going into the track in
// between once took the sound read so far along, the last part's first
// PES played on after the first part's sound.
TEST(MtsimportCommand, SoundWaitingForItsPicturesStaysOutOfTheTrackTillThen) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  ExpectSoundAfterASoundlessPartWithItsPictures(lpcm, {108000, 270000});
}

// The last part's stamps 0.04, 0.16 and 0.4 s on, its sound's step from
// the first part's shorter than a second: that step once met the soundless
// part's seam (its stamps ran on), and the sound played as late as the
// last part stepped.
TEST(MtsimportCommand, SoundSteppingPastASoundlessPartThatRanOnPlaysWithItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  ExpectSoundAfterASoundlessPartWithItsPictures(lpcm, {3600, 14400, 36000});
}

// LPCM 5.1 (no sound track of its own), a one-picture 1080i part whose
// AC-3 stamps run on from it, then LPCM 5.1 again 33 s later (or earlier,
// or 0.5 s later). The AC-3 part's only sound PES, which makes the track,
// is reported once the last part's first picture was read: it plays beside
// its own part's stretch by its own stamps (it waited for the last part's
// seam, which never came, and played at the movie's start; or took the
// last part's line and played 0.5 s early).
TEST(MtsimportCommand, LatePesOfAOnePicturePartAfterOtherAudioPlaysWithItsStretch) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const std::string step : {"2970000", "-2970000", "45000"}) {
    SCOPED_TRACE(step);
    // Prints how far the AC-3 part's sound comes before its picture, in ticks.
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS "\n"
        "l = open(\"" + surround + "\", \"rb\").read(); one = J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 1)\n"
        "open(\"" + joined + "\", \"wb\").write(J.run_on(((l, 0), (one, 0), (l, " + step + "))))\n"
        "print(J.first_video_pts(one) - J.Recording(one).audio[0][\"pts\"])'");
    long long lead = 0;
    ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld", &lead), 1) << made.err;
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(scale, 48000);
    const auto edits = EditsOf(testsupport::read_text(json));
    ASSERT_TRUE(sound.size() == 1 && !edits.empty() && edits[0].size() == 3 && edits[0][1][2] == -1);
    // Ahead of the stretch by its lead, within what the stretch (one picture
    // of the track) is longer than the 1080i picture: 318 units.
    EXPECT_NEAR(sound[0][0], edits[0][1][0] - lead * scale / 90000, 319);
  }
}

// A whole 5.1 recording (its stamps wrap just before its first picture), one
// picture of its fourth group (its one sound PES ahead of it) with stamps
// that go back, then the whole recording with stamps 0.2 s on from that
// picture. The step from the one-picture part's only sound PES to the last
// part's first was read as how long that PES lasts: the last part's sound
// ran straight on from it, 232 ms before its own pictures. It plays by its
// own stamps beside them, as after a part of two pictures.
TEST(MtsimportCommand, SoundAfterAOnePicturePartThatJumpsPlaysBesideItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const std::string pictures : {"1", "2"}) {
    SCOPED_TRACE(pictures);
    // Prints the sound PES before the last part, the last part's sound lead
    // and the length of its pictures, in ticks.
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS ""
        "d = open(\"" + surround + "\", \"rb\").read(); r = J.Recording(d); "
        "c = J.cut(d, r.gop_starts()[3][1], " + pictures + "); p = sorted(v[\"pts\"] for v in r.video); "
        "t = lambda x, at: J.restamp(x, (at - J.first_video_pts(x)) % J.WRAP); "
        "open(\"" + joined + "\", \"wb\").write(t(d, 7200) + t(c, 14400) + t(d, 32400)); "
        "print(len(r.audio) + len(J.Recording(c).audio), p[0] - min(a[\"pts\"] for a in r.audio), p[-1] + p[1] - 2 * p[0])'");
    long long sounds = 0, lead = 0, whole = 0;
    ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld %lld", &sounds, &lead, &whole), 3) << made.err;
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(scale, 48000);
    const int64_t picture = duration - whole * scale / 90000;
    EXPECT_EQ(PlayedAt(sound, sounds * 1536), picture - lead * scale / 90000);
  }
}

// Thirteen pictures of a 5.1 recording, seven of an AC-3 stereo one whose
// stamps run on from them (its sound left out for its kind), one picture of
// the 5.1 recording 1 s on, then thirteen more of it stamped from 2.12 s
// before that picture. The one-picture part's sound is reported only after
// the last part's first picture: it plays beside its own picture from
// there on (it was cut at the last part's picture, and played its last
// frame only).
TEST(MtsimportCommand, OnePicturePartsSoundAfterSoundLeftOutPlaysBesideItsPicture) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(stereo, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const auto part = [&](const std::string& name, const std::string& source, int group, int pictures) {
    return FirstPictures(folder.path + "/" + name + ".m2ts", FromGroup(folder.path + "/" + name + "0.m2ts", source, group),
                         pictures);
  };
  const std::string a = part("a", surround, 1, 13), b = part("b", stereo, 3, 7), c = part("c", surround, 4, 1),
                    d = part("d", surround, 2, 13);
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS "\n"
      "end = None; o = b\"\"\n"
      "for name, step in ((\"" + a + "\", 0), (\"" + b + "\", 0), (\"" + c + "\", 90000), (\"" + d + "\", -194400)):\n"
      "  part = open(name, \"rb\").read(); v = sorted(p[\"pts\"] for p in J.Recording(part).video)\n"
      "  off = 0 if end is None else end + step - v[0]\n"
      "  end = v[-1] + off + 3600\n"
      "  o += J.restamp(part, off % J.WRAP)\n"
      "open(\"" + joined + "\", \"wb\").write(o)'");
  ASSERT_EQ(made.exit, 0) << made.err;
  const int64_t before = SoundFramesOf(a), own = SoundFramesOf(c), lead = SoundLead(c);
  ASSERT_TRUE(before > 0 && lead > 0 && own > lead + kPictureUnits) << before << " " << own << " " << lead;
  const auto [scale, duration, sound] = ImportedQuietly(joined, json);
  ASSERT_EQ(scale, 48000);
  EXPECT_EQ(PlayedAt(sound, before + lead), 20 * kPictureUnits);
  // Up to where the last part's sound begins: a lead of up to a picture
  // plays (the recordings differ here), a longer one is cut away.
  const int64_t next = SoundLead(d) <= kPictureUnits ? SoundLead(d) : 0;
  EXPECT_EQ(PlayedAt(sound, before + lead + kPictureUnits - next - 1), 21 * kPictureUnits - next - 1);
}

// A recording without its sound, the last group of another whose second
// picture's PES was lost right before the next part (one picture, then all
// of its sound), and six pictures of a 1080i recording 1 s on. The one
// picture is reported only after its sound, once the next part begins. The
// import puts what it has read into the tracks once its first 960 packets
// are read: there (null packets after the first part move it) the sound
// waits for that picture, or to be placed beside it, and stays out of the
// track till then (it played from the movie's start, 1.93 s early).
TEST(MtsimportCommand, OnePicturePartsSoundReadBeforeItsPictureWaitsToBePlaced) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(mbaff, "avchd/small_mbaff_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const std::string nulls : {"0", "90"}) {
    SCOPED_TRACE(nulls);
    // Prints the first part's pictures and the one picture's sound lead, in ticks.
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS ""
        "a = J.without_sound(open(\"" + sd + "\", \"rb\").read()); m = open(\"" + mbaff + "\", \"rb\").read(); "
        "c = J.Recording(J.cut(m, J.Recording(m).gop_starts()[-1][1], 0)); one = c.bytes(c.video[1][\"packets\"]); "
        "h = J.cut(open(\"" + hd + "\", \"rb\").read(), 0, 6); p = sorted(v[\"pts\"] for v in J.Recording(a).video); "
        "t = lambda x, at: J.restamp(x, (at - J.first_video_pts(x)) % J.WRAP); e = p[-1] + p[1] - p[0] - J.first_video_pts(a); "
        "n = bytes(4) + bytes([0x47, 0x1F, 0xFF, 0x10]) + bytes([0xFF]) * 184; "
        "open(\"" + joined + "\", \"wb\").write(t(a, 0) + n * " + nulls + " + t(one, e) + t(h, e + 90000)); "
        "print(len(p), c.video[0][\"pts\"] - min(s[\"pts\"] for s in c.audio))'");
    long long pictures = 0, lead = 0;
    ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld", &pictures, &lead), 2) << made.err;
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(scale, 48000);
    EXPECT_EQ(PlayedAt(sound, 0), pictures * kPictureUnits - lead * scale / 90000);
  }
}

// The one picture of a recording's last group, its stamps wrapping, its
// sound wholly before it; the same recording from its second group, its
// stamps running on 0.72 s after that picture; then the whole recording
// 1 s on. No sound was placed before the second part's seam: its sound
// plays beside its own pictures by its own stamps from the movie's start
// (it ran on after the first part's sound, 80 ms late, and was then lost
// as the last part's sound began the track: 1 s silent).
TEST(MtsimportCommand, SoundAfterAPartWhoseSoundLiesBeforeItsPicturePlaysBesideItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  // Prints the sound frames of all parts and the second part's sound lead, in ticks.
  const testsupport::CommandResult made = testsupport::run_command(
      JOIN_PARTS ""
      "d = open(\"" + lpcm + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
      "a = J.cut(d, g[-1][1], 1); b = J.cut(d, g[1][1], 0); "
      "t = lambda x, at: J.restamp(x, (at - J.first_video_pts(x)) % J.WRAP); r = J.Recording(b); "
      "open(\"" + joined + "\", \"wb\").write(t(a, J.WRAP - 3600) + t(b, 68400) + t(d, 68400 + 38 * 3600 + 90000)); "
      "print(sum(len(J.Recording(x).audio) for x in (a, b, d)) * 240, len(J.Recording(a).audio) * 240, "
      "min(v[\"pts\"] for v in r.video) - min(s[\"pts\"] for s in r.audio))'");
  long long frames = 0, first = 0, lead = 0;
  ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld %lld", &frames, &first, &lead), 3) << made.err;
  const auto [scale, duration, timecode] = ImportedQuietly(joined, json);
  ASSERT_EQ(scale, 48000);
  const std::string dump = testsupport::read_text(json);
  const std::vector<std::array<int64_t, 3>> sound = EditsOf(dump).back();
  ASSERT_EQ(sound.size(), 1u);
  EXPECT_EQ(sound[0][0], 0);
  EXPECT_EQ(sound[0][1], duration);
  // The first part's sound is left out, and the second's plays from the
  // movie's start by its stamps: its lead beyond the first picture's time
  // lies before that start.
  long long samples = 0;
  const size_t at = dump.find("\"sampleCount\": ");
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(std::sscanf(dump.c_str() + at, "\"sampleCount\": %lld", &samples), 1);
  EXPECT_EQ(samples - sound[0][2], frames - first - (lead * scale / 90000 - kPictureUnits));
}

// Twelve pictures without sound whose stamps end where they wrap past 2^33,
// then a recording whose sound is LPCM 5.1 (it makes no sound track), its
// first picture a picture or a second after they end. That sound, the
// movie's first, tells the step is a join also where the PAT's counter runs
// on across it: nothing is said (up to 0.88 s of video was told as lost),
// all 31 pictures are in the movie, and it is the movie made where the
// counter breaks.
TEST(MtsimportCommand, FirstSoundOfAKindLeftOutAfterASoundlessPartKeepsItsJoinSilent) {
  AVCHD_REQUIRE_TESTDATA(sd, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_lpcm_51_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  for (const char* at : {"3600", "90000"}) {
    std::string dumps[2];
    for (const char* runOn : {"0", "1"}) {
      const testsupport::CommandResult r = testsupport::run_command(
          JOIN_PARTS ""
          "a = open(\"" + sd + "\", \"rb\").read(); b = open(\"" + surround + "\", \"rb\").read(); "
          "t = lambda x, at: J.restamp(x, (at - J.first_video_pts(x)) % J.WRAP); "
          "parts = [t(J.without_sound(J.cut(a, J.Recording(a).gop_starts()[1][1], 12)), J.WRAP - 12 * 3600), "
          "t(J.cut(b, J.Recording(b).gop_starts()[1][1], 19), " + at + ")]; "
          "parts = J.pat_runs_on(parts) if " + runOn + " else parts; "
          "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
      ASSERT_EQ(r.exit, 0) << r.err;
      const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " --dump - " + joined);
      ASSERT_EQ(imported.exit, 0) << imported.err;
      EXPECT_EQ(imported.err.find("warning"), std::string::npos) << at << ", " << runOn << ": " << imported.err;
      EXPECT_EQ(VideoMediaValue(imported.out, "sampleCount"), 31) << at << ", " << runOn;
      dumps[*runOn - '0'] = WithoutRecordIds(imported.out);
    }
    EXPECT_TRUE(dumps[1] == dumps[0]) << at << ": the join whose counter ran on made another movie";
  }
}

// Four pictures with the sound that makes the track, 13 pictures cut at a
// group with sound of another kind (left out), then 25 pictures without
// sound 80 ms after those end, the PAT's counter running on into them. The
// part before had sound, left out or not, and none follows: a join, no loss
// ("0.080 s of video could not be read" was said). Every picture is in the
// movie, and only the first part's stretch plays sound.
TEST(MtsimportCommand, SoundlessPartAfterSoundLeftOutForItsKindIsAJoin) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const auto& [track, other] : {std::pair{ac3, lpcm}, std::pair{lpcm, ac3}}) {
    SCOPED_TRACE(track);
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS ""
        "t = open(\"" + track + "\", \"rb\").read(); o = open(\"" + other + "\", \"rb\").read(); "
        "parts = [J.cut(t, 0, 4), J.cut(o, J.Recording(o).gop_starts()[1][1], 13), J.without_sound(J.cut(o, 0, 25))]; "
        "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(J.pat_runs_on(parts), (0, 90000, 7200))))'");
    ASSERT_EQ(made.exit, 0) << made.err;
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(scale, 48000);
    EXPECT_EQ(duration, 42 * kPictureUnits);
    ASSERT_EQ(sound.size(), 1u);
    EXPECT_EQ(sound[0][0], 0);
    EXPECT_LE(sound[0][1], 4 * kPictureUnits);
  }
}

// Thirteen pictures of a recording with their sound, its first picture
// alone without sound a step later (0.4 s, 0.6 s), then its first twelve
// pictures with their sound running on from that picture, each part made
// by ffmpeg (its tables' counters begin anew). The last part's sound,
// stamped before the lone picture, steps from the first part's by whole
// PES of its own: that step was taken for PES lost before the recording's
// own tables, the soundless part's seam was forgotten, "0.480 s of sound
// could not be read" was said and most of that sound was left out. It
// plays from its first sample beside its own pictures by its stamps, the
// first part's sound to its last sample.
TEST(MtsimportCommand, SoundSteppingOnItsGridPastALonePictureWithoutSoundPlaysWithItsPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_ac3_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  for (const auto& [source, step] : {std::pair<std::string, int64_t>{surround, 36000}, {lpcm, 54000}}) {
    SCOPED_TRACE(source);
    const std::string first = FirstPictures(folder.path + "/first.m2ts", source, 13);
    const std::string one = Remuxed(folder.path + "/one.m2ts", source, "-map 0:v -c copy -frames:v 1");
    const std::string last = FirstPictures(folder.path + "/last0.m2ts", source, 12);
    const std::vector<int64_t> a = VideoStamps(first), b = VideoStamps(one), c = VideoStamps(last);
    ASSERT_TRUE(a.size() == 13 && b.size() == 1 && c.size() == 12);
    const auto moved = [&](const std::string& name, const std::string& part, int64_t ticks) {
      return Remuxed(folder.path + "/" + name, part,
                     "-copyts -map 0 -c copy -output_ts_offset " + std::to_string(ticks / 90000.0) +
                         " -muxdelay 0 -muxpreload 0");
    };
    const int64_t frame = a[1] - a[0], lone = a.back() + frame + step;
    const std::string silent = moved("silent.m2ts", one, lone - b[0]);
    const std::string later = moved("later.m2ts", last, lone + frame - c[0]);
    const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
    ASSERT_EQ(testsupport::run_command("cat " + first + " " + silent + " " + later + " > " + joined).exit, 0);
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(scale, 48000);
    ASSERT_EQ(sound.size(), 2u);
    EXPECT_EQ(sound[1][0], 14 * kPictureUnits - SoundLead(later));
    EXPECT_EQ(sound[0][2] + sound[0][1], sound[1][2]);
    EXPECT_EQ(sound[1][2] + sound[1][1], SoundMediaFrames(testsupport::read_text(json)));
  }
}

// Seven pictures with their sound, then one-picture (or two-picture) parts
// without sound in a row, then a part with its sound, each cut at a group's
// tables and picture, 80 ms (and 0.5 s) after the part before ends, AC-3 and
// LPCM. Where the PAT's counter runs on, the step into each soundless part
// is held as lost until the sound tells: the last part's sound makes every
// one of them a join (the first was forgotten when the next was held, and
// "0.080 s of video could not be read" was said). Nothing is said, every
// picture is in the movie, and only the first and last parts play sound.
TEST(MtsimportCommand, SoundlessPartsInARowAfterTablesThatRunOnAreJoins) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  for (const std::string& source : {ac3, lpcm}) {
    for (const auto& [silent, pictures] : {std::pair{"1, 1", 2}, std::pair{"1, 1, 1", 3}, std::pair{"2, 1", 3}}) {
      for (const char* step : {"7200", "45000"}) {
        SCOPED_TRACE(source + ", soundless parts " + silent + ", step " + step);
        for (const char* runOn : {"0", "1"}) {
          const testsupport::CommandResult made = testsupport::run_command(
              JOIN_PARTS ""
              "d = open(\"" + source + "\", \"rb\").read(); g = J.Recording(d).gop_starts()[1][1]; "
              "parts = [J.cut(d, 0, 7)] + [J.without_sound(J.cut(d, g, n)) for n in (" + silent + ")] + "
              "[J.cut(d, 0, 13)]; parts = J.pat_runs_on(parts) if " + runOn + " else parts; "
              "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(parts, [0] + [" + step + "] * len(parts))))'");
          ASSERT_EQ(made.exit, 0) << made.err;
          const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " --dump - " + joined);
          ASSERT_EQ(imported.exit, 0) << imported.err;
          EXPECT_EQ(imported.err.find("warning"), std::string::npos) << "counter ran on: " << runOn << imported.err;
          EXPECT_EQ(VideoMediaValue(imported.out, "sampleCount"), 20 + pictures) << "counter ran on: " << runOn;
          EXPECT_EQ(PlayedSound(EditsOf(imported.out)).size(), 2u) << "counter ran on: " << runOn;
        }
      }
    }
  }
}

// A picture without sound (stamped just before 2^33, or not), a picture
// with its own sound (reported only after the next part's pictures), then
// seven pictures without sound, each part 80 ms after the one before ends,
// the PAT's counter running on. The second part's step was held as lost
// until its sound came, but the third part's step took its place and the
// first was never taken back ("0.073 s of video could not be read" was
// said). A join: every picture is in the movie, no word is said.
TEST(MtsimportCommand, JoinBeginningWithOnePictureOnesStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const std::string& source : {ac3, lpcm}) {
    for (const std::string wraps : {"0", "1"}) {
      SCOPED_TRACE(source + ", wrapping " + wraps);
      const testsupport::CommandResult made = testsupport::run_command(
          JOIN_PARTS ""
          "d = open(\"" + source + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
          "p = [J.without_sound(J.cut(d, g[0][1], 1)), J.cut(d, g[1][1], 1), J.without_sound(J.cut(d, g[0][1], 7))]; "
          "p[0] = J.restamp(p[0], (2**33 - 7200 - J.first_video_pts(p[0])) % 2**33) if " + wraps + " else p[0]; "
          "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(J.pat_runs_on(p), (0, 7200, 7200))))'");
      ASSERT_EQ(made.exit, 0) << made.err;
      const auto [scale, duration, sound] = ImportedQuietly(joined, json);
      ASSERT_EQ(scale, 48000);
      EXPECT_EQ(VideoMediaValue(testsupport::read_text(json), "sampleCount"), 9);
    }
  }
}

// A part cut at a later group of an LPCM recording, its sound stamped ahead
// of its pictures and so before the one picture of a soundless part whose
// stamps it runs on from, its step from the first part's sound on the
// sound's own grid; stamps wrapping between the parts or not. Its sound
// plays beside its pictures (the step past the soundless part was kept as
// sound lost: "0.920 s of sound could not be read" was said, and that part
// played silent).
TEST(MtsimportCommand, SoundOnItsGridAheadOfALonePictureWithoutSoundPlaysWithItsPictures) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string first = FirstPictures(folder.path + "/first.m2ts", lpcm, 7);
  const std::string one = Remuxed(folder.path + "/one.m2ts", lpcm, "-map 0:v -c copy -frames:v 1");
  const std::string group = folder.path + "/group.m2ts";
  const testsupport::CommandResult cut = testsupport::run_command(
      JOIN_PARTS ""
      "a = open(\"" + lpcm + "\", \"rb\").read(); "
      "open(\"" + group + "\", \"wb\").write(J.cut(a, J.Recording(a).gop_starts()[1][1], 0))'");
  ASSERT_EQ(cut.exit, 0) << cut.err;
  const std::string last = FirstPictures(folder.path + "/last.m2ts", group, 16);
  for (const auto& [step, wraps] : {std::pair<int64_t, bool>{54000, false}, {75600, true}}) {
    SCOPED_TRACE(step);
    const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
    const testsupport::CommandResult r = testsupport::run_command(
        JOIN_PARTS ""
        "p = [open(f, \"rb\").read() for f in (\"" + first + "\", \"" + one + "\", \"" + last + "\")]; "
        "v = sorted(q[\"pts\"] for q in J.Recording(p[0]).video); s = " + std::to_string(step) + "; "
        "base = J.WRAP - (v[-1] - v[0]) - 3600 - s // 2 if " + (wraps ? "1" : "0") + " else 900000; "
        "lone = base + v[-1] - v[0] + 3600 + s; "
        "at = [base, lone, lone + 3600]; "
        "open(\"" + joined + "\", \"wb\").write(b\"\".join(J.restamp(q, (t - J.first_video_pts(q)) % J.WRAP) "
        "for q, t in zip(p, at)))'");
    ASSERT_EQ(r.exit, 0) << r.err;
    const auto [scale, duration, sound] = ImportedQuietly(joined, json);
    ASSERT_EQ(scale, 48000);
    ASSERT_EQ(sound.size(), 2u);
    // After the lone picture's silent stretch, the media going on after the
    // first part's.
    EXPECT_GE(sound[1][0], sound[0][0] + sound[0][1]);
    EXPECT_EQ(sound[1][2], sound[0][2] + sound[0][1]);
    EXPECT_EQ(sound[1][2] + sound[1][1], SoundMediaFrames(testsupport::read_text(json)));
  }
}

// A one-picture part of an LPCM 5.1 recording (its sound makes no track,
// its stamps wrapping before its picture), then 19 pictures of a 1080i
// recording (another size, left out) with AC-3 sound, 0.05 s to more than a
// second after it or back, the PAT's counter breaking or running on across
// the join. The second part's sound makes the track and plays beside its
// own pictures, which the movie shows where the first part's picture ends:
// from the picture's end less its lead (it played the step late, 0.487 s
// where the counter ran on, placed by the first part's picture).
TEST(MtsimportCommand, SoundOfAPartLeftOutForItsSizeAfterSurroundLPCMPlaysBesideItsPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", later = folder.path + "/later.m2ts";
  const std::string json = folder.path + "/joined.json";
  for (const int step : {4500, 43800, 85000, 100000, -9000}) {
    for (const bool tablesRunOn : {false, true}) {
      SCOPED_TRACE("step " + std::to_string(step) + (tablesRunOn ? ", counter ran on" : ""));
      const testsupport::CommandResult r = testsupport::run_command(
          JOIN_PARTS ""
          "a = open(\"" + surround + "\", \"rb\").read(); b = open(\"" + hd + "\", \"rb\").read(); "
          "first = J.cut(a, J.Recording(a).gop_starts()[0][1], 1); first = J.restamp(first, 3600 - J.first_video_pts(first)); "
          "second = J.cut(b, J.Recording(b).gop_starts()[0][1], 19); "
          "open(\"" + later + "\", \"wb\").write(second); "
          "second = J.restamp(second, (7200 + " + std::to_string(step) + " - J.first_video_pts(second)) % J.WRAP); "
          "parts = J.pat_runs_on([first, second]) if " + std::string(tablesRunOn ? "1" : "0") + " else [first, second]; "
          "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))'");
      ASSERT_EQ(r.exit, 0) << r.err;
      const auto [scale, duration, sound] = ImportedQuietly(joined, json);
      ASSERT_EQ(scale, 48000);
      ASSERT_FALSE(sound.empty());
      EXPECT_EQ(sound[0][0], kPictureUnits - SoundLead(later));
    }
  }
}

// Three parts, the first ones mostly of a picture or two (their tables read
// once, so how far apart the recording places them is not known), each
// begun right after the one before ends or a frame later, the PAT's counter
// running on across each join: with no sound at all, with the movie's first
// sound after the seams (also after a longer soundless part), with a part's
// LPCM sound read before its picture, or with the first part's sound,
// stamps wrapping or not. Joins: nothing is said, every picture is in the
// movie, and the movie is the one whose tables' counter breaks ("0.040-0.400
// s of video could not be read" was said, and a part's sound once played
// 0.2 s off its pictures).
TEST(MtsimportCommand, JoinsAfterPartsOfAPictureOrTwoWhoseTablesRunOnStaySilent) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  struct Join {
    const char *pictures, *sound, *wraps, *step;
    int count;
  };
  for (const std::string& source : {ac3, lpcm}) {
    for (const Join& j : {Join{"1, 2, 7", "0, 0, 1", "0", "0", 10}, Join{"1, 2, 3", "0, 0, 0", "1", "3600", 6},
                          Join{"1, 1, 3", "1, 0, 0", "1", "3600", 5}, Join{"1, 1, 3", "0, 1, 0", "0", "3600", 5},
                          Join{"2, 1, 7", "1, 0, 1", "0", "0", 10}, Join{"1, 5, 7", "0, 0, 1", "0", "0", 13},
                          Join{"2, 12, 7", "0, 0, 1", "0", "3600", 21}}) {
      SCOPED_TRACE(source + ", pictures " + j.pictures + ", sound " + j.sound + ", wrapping " + j.wraps + ", step " +
                   j.step);
      std::string dumps[2];
      for (const int runOn : {0, 1}) {
        const testsupport::CommandResult made = testsupport::run_command(
            JOIN_PARTS ""
            "d = open(\"" + source + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
            "p = [J.cut(d, g[k][1], n) for k, n in zip((0, 1, 0), (" + j.pictures + "))]; "
            "p = [q if s else J.without_sound(q) for q, s in zip(p, (" + j.sound + "))]; "
            "p[0] = J.restamp(p[0], (J.WRAP - 3600 * len(J.Recording(p[0]).video) - J.first_video_pts(p[0])) % J.WRAP) "
            "if " + j.wraps + " else p[0]; p = J.pat_runs_on(p) if " + std::to_string(runOn) + " else p; "
            "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(p, (0, " + j.step + ", " + j.step + "))))'");
        ASSERT_EQ(made.exit, 0) << made.err;
        const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " --dump - " + joined);
        ASSERT_EQ(imported.exit, 0) << imported.err;
        EXPECT_EQ(imported.err.find("warning"), std::string::npos) << "counter ran on: " << runOn << imported.err;
        EXPECT_EQ(VideoMediaValue(imported.out, "sampleCount"), j.count) << "counter ran on: " << runOn;
        dumps[runOn] = WithoutRecordIds(imported.out);
      }
      // Stamps that wrap keep a part's own step in display order where the
      // counter runs on; else the two movies are one.
      if (std::string(j.wraps) == "0") {
        EXPECT_TRUE(dumps[1] == dumps[0]) << "the join whose counter ran on made another movie";
      }
    }
  }
}

// The first `pictures` pictures of the LPCM 5.1 recording cut at its second
// group, with their sound (the movie's first, which makes no track), then
// the LPCM stereo recording cut by `cut` (Python over its bytes `b`), its
// first picture 0.12 to 0.96 s after those pictures end by their stamps,
// the PAT's counter breaking or running on. Nothing is said, and the stereo
// part's sound plays beside its own pictures by its stamps: the sample its
// first picture's stamp names plays with that picture, where the surround
// pictures end.
void ExpectStereoSoundBesideItsPicturesAfterSurround(const std::string& surround, const std::string& stereo,
                                                     int pictures, const std::string& cut) {
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", later = folder.path + "/later.m2ts";
  const std::string json = folder.path + "/joined.json";
  for (const int step : {0, 10800, 36000, 86400}) {
    for (const bool tablesRunOn : {false, true}) {
      SCOPED_TRACE("step " + std::to_string(step) + (tablesRunOn ? ", counter ran on" : ""));
      const testsupport::CommandResult r = testsupport::run_command(
          JOIN_PARTS ""
          "a = open(\"" + surround + "\", \"rb\").read(); b = open(\"" + stereo + "\", \"rb\").read(); "
          "first = J.cut(a, J.Recording(a).gop_starts()[1][1], " + std::to_string(pictures) + "); second = " + cut +
          "; v = sorted(p[\"pts\"] for p in J.Recording(first).video); second = J.restamp(second, v[-1] + 3600 + " +
          std::to_string(step) + " - J.first_video_pts(second)); open(\"" + later + "\", \"wb\").write(second); "
          "parts = J.pat_runs_on([first, second]) if " + std::string(tablesRunOn ? "1" : "0") + " else [first, second]; "
          "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts)); "
          "print(len(J.Recording(second).audio), v[-1] + 3600 - v[0])'");
      ASSERT_EQ(r.exit, 0) << r.err;
      long long sounds = 0, span = 0;
      ASSERT_EQ(std::sscanf(r.out.c_str(), "%lld %lld", &sounds, &span), 2) << r.out;
      const auto [scale, duration, sound] = ImportedQuietly(joined, json);
      ASSERT_EQ(scale, 48000);
      ASSERT_FALSE(sound.empty());
      // 240 sample frames a PES; the media's head that would play before
      // the movie's start is left out of it.
      const int64_t dropped = sounds * 240 - SoundMediaFrames(testsupport::read_text(json));
      EXPECT_EQ(PlayedAt(sound, SoundLead(later) - dropped), span * 48000 / 90000);
    }
  }
}

// One surround picture, then the stereo part cut at its second group, its
// sound leading its pictures by 80 ms (the surround sound began a part's
// sound that no sound of the track filled: the stereo sound, not let wait
// for its own pictures, was placed by the surround picture's stamps, late
// by the step, or nowhere).
TEST(MtsimportCommand, SoundAfterALoneSurroundPicturesLeftOutSoundWaitsForItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(stereo, "avchd/small_lpcm_20_avchd.m2ts");
  ExpectStereoSoundBesideItsPicturesAfterSurround(surround, stereo, 1, "J.cut(b, J.Recording(b).gop_starts()[1][1], 12)");
}

// One or two surround pictures, then the stereo recording's first three
// pictures, their sound sent after all of them. Where the PAT's counter ran
// on, the step of the pictures was held as lost and then read as a join, and
// the sound waited for a seam of pictures that never came: it played from
// the movie's start, beside the surround pictures.
TEST(MtsimportCommand, SoundSentAfterItsPicturesPastAHeldSeamPlaysBesideThem) {
  AVCHD_REQUIRE_TESTDATA(surround, "avchd/small_lpcm_51_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(stereo, "avchd/small_lpcm_20_avchd.m2ts");
  for (const int pictures : {1, 2}) {
    SCOPED_TRACE(std::to_string(pictures) + " surround pictures");
    ExpectStereoSoundBesideItsPicturesAfterSurround(surround, stereo, pictures, "J.cut(b, 0, 3)");
  }
}

// The pictures of a 1080i recording up to the first whose PES fills its last
// packet exactly (no stuffing: it ends as a PES cut at a packet's end would),
// then a part of another size (one picture without sound, or three with
// their sound), last or between two 1080i parts, seamless or a picture
// later, the PAT's counter breaking or running on. The part of another size
// begins another recording, so the picture before it is whole ("1 picture
// is incomplete" was said where the part came last or the counter ran on).
// A picture cut short inside the first part is still told.
TEST(MtsimportCommand, PartOfAnotherSizeAfterAPictureFillingItsLastPacketStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string whole = Remuxed(folder.path + "/whole.m2ts", hd, "-map 0 -c copy");
  const std::string first = folder.path + "/first.m2ts";
  const testsupport::CommandResult cut = testsupport::run_command(
      JOIN_PARTS ""
      "d = open(\"" + whole + "\", \"rb\").read(); a = J.Recording(d); "
      "k = next((k for k, p in enumerate(a.video) if k > 6 and not a.packets[p[\"packets\"][-1]][7] & 0x20), 0); "
      "k or sys.exit(3); open(\"" + first + "\", \"wb\").write(J.cut(d, a.gop_starts()[0][1], k + 1)); print(k + 1)'");
  if (cut.exit == 3) GTEST_SKIP() << "no picture of the remultiplexed recording fills its last packet exactly";
  ASSERT_EQ(cut.exit, 0) << cut.err;
  const int pictures = std::stoi(cut.out);
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  auto join = [&](const std::string& source, const char* other, bool middle, bool runOn, int step, bool cutShort) {
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS ""
        "a = J.Recording(open(\"" + first + "\", \"rb\").read()); "
        "first = a.bytes([a.video[5][\"packets\"][-1]] if " + (cutShort ? "1" : "0") + " else []); "
        "d = open(\"" + source + "\", \"rb\").read(); other = J.cut(d, J.Recording(d).gop_starts()[1][1], " + other + "); "
        "parts = [first, other] + ([first] if " + (middle ? "1" : "0") + " else []); "
        "parts = J.pat_runs_on(parts) if " + (runOn ? "1" : "0") + " else parts; "
        "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(parts, (0, " + std::to_string(step) + ", 3003))))'");
    ASSERT_EQ(made.exit, 0) << made.err;
  };
  for (const std::string& source : {lpcm, ac3}) {
    for (const bool alone : {true, false}) {
      // Last, seamless or a picture later; between, a picture later.
      for (const auto& [middle, step] : {std::pair{false, 0}, {false, 3003}, {true, 3003}}) {
        for (const bool runOn : {false, true}) {
          SCOPED_TRACE(source + (alone ? ", one picture" : ", three pictures with sound") +
                       (middle ? " between" : " last") + ", step " + std::to_string(step) +
                       (runOn ? ", counter ran on" : ""));
          join(source, alone ? "1); other = J.without_sound(other" : "3", middle, runOn, step, false);
          const auto [scale, duration, sound] = ImportedQuietly(joined, json);
          EXPECT_EQ(VideoMediaValue(testsupport::read_text(json), "sampleCount"), middle ? 2 * pictures : pictures);
          EXPECT_FALSE(sound.empty());
        }
      }
    }
  }
  join(lpcm, "1", false, false, 0, true);
  ExpectTold(joined, "damaged recording: 1 picture is incomplete");
}

// A part of a picture or two without sound between parts with sound (or
// after a first part without), each begun right after the one before ends
// or up to two frames later, the PAT's counter running on across each join:
// the last part's sound, read in the file after its first picture began but
// reported before that picture, plays by its own stamps beside its own
// pictures, as where the counters break. Nothing is said (it once played
// beside the soundless part's picture, 73.4 ms late where its step was 80
// ms, or 0.073 s of video were said lost).
TEST(MtsimportCommand, SoundAfterAShortSoundlessPartWhoseTablesRunOnPlaysByItsStamps) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  for (const std::string& source : {ac3, lpcm}) {
    for (const char* pictures : {"5, 1, 12", "5, 2, 7", "12, 1, 7"}) {
      for (const char* sound : {"1, 0, 1", "0, 0, 1"}) {
        for (const char* step : {"0", "3600", "7200"}) {
          SCOPED_TRACE(source + ", pictures " + pictures + ", sound " + sound + ", step " + step);
          std::string dumps[2];
          for (const int runOn : {0, 1}) {
            const testsupport::CommandResult made = testsupport::run_command(
                JOIN_PARTS ""
                "d = open(\"" + source + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
                "p = [J.cut(d, g[k][1], n) for k, n in zip((0, 1, 2), (" + pictures + "))]; "
                "p = [q if s else J.without_sound(q) for q, s in zip(p, (" + sound + "))]; "
                "p = J.pat_runs_on(p) if " + std::to_string(runOn) + " else p; "
                "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(p, (0, " + step + ", " + step + "))))'");
            ASSERT_EQ(made.exit, 0) << made.err;
            const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " --dump - " + joined);
            ASSERT_EQ(imported.exit, 0) << imported.err;
            EXPECT_EQ(imported.err.find("warning"), std::string::npos) << "counter ran on: " << runOn << imported.err;
            ASSERT_FALSE(PlayedSound(EditsOf(imported.out)).empty()) << "counter ran on: " << runOn;
            dumps[runOn] = WithoutRecordIds(imported.out);
          }
          EXPECT_TRUE(dumps[1] == dumps[0]) << "the join whose counter ran on made another movie";
        }
      }
    }
  }
}

// Twelve pictures of the remultiplexed 1080i recording, three of the small
// recording's second group with their sound (another size, left out of the
// track), then seven 1080i pictures again, each a picture after the part
// before, the PAT's counter running on across both joins. The small part's
// step ahead was counted as lost while its first picture was read, so its
// tables were not noted as a recording's start; its one sound PES, reported
// only after the last part's first picture, passed for sound lost at the
// end of the first part ("0.051 s of sound could not be read" was said).
// The last part's first sound PES, taken out, is still told.
TEST(MtsimportCommand, SoundOfAPartOfAnotherSizeBetweenTwoPartsStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string big = Remuxed(folder.path + "/big.m2ts", hd, "-map 0 -c copy");
  const std::string small = Remuxed(folder.path + "/small.m2ts", ac3, "-map 0 -c copy");
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  auto join = [&](bool lostHead) {
    const testsupport::CommandResult made = testsupport::run_command(
        JOIN_PARTS ""
        "b = open(\"" + big + "\", \"rb\").read(); s = open(\"" + small + "\", \"rb\").read(); "
        "g = J.Recording(b).gop_starts()[0][1]; last = J.Recording(J.cut(b, g, 7)); "
        "last = last.bytes(last.audio[0][\"packets\"] if " + (lostHead ? "1" : "0") + " else []); "
        "parts = J.pat_runs_on([J.cut(b, g, 12), J.cut(s, J.Recording(s).gop_starts()[1][1], 3), last]); "
        "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(parts, (0, 3003, 3003))))'");
    ASSERT_EQ(made.exit, 0) << made.err;
  };
  join(false);
  const auto [scale, duration, sound] = ImportedQuietly(joined, json);
  EXPECT_EQ(VideoMediaValue(testsupport::read_text(json), "sampleCount"), 19);
  EXPECT_FALSE(sound.empty());
  join(true);
  ExpectTold(joined, "s of sound could not be read");
}

// The first eleven pictures of a remultiplexed 25p recording (the last of
// them fills its last packet exactly, as a PES cut at a packet's end would),
// then a part of the same size cut at the recording's second group (one or
// twelve pictures, with or without sound), seamless or a picture later, the
// PAT's counter breaking or running on. The part starts afresh with its
// parameter sets and an IDR picture after its tables, so the picture before
// it is whole ("1 picture is incomplete" was said where the counter ran on).
// A picture cut short before a group whose I picture is no IDR picture,
// after the recording's own tables, is still told.
TEST(MtsimportCommand, PartOfTheSameSizeAfterAPictureFillingItsLastPacketStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string whole = folder.path + "/whole.m2ts", joined = folder.path + "/joined.m2ts";
  const std::string json = folder.path + "/joined.json";
  const std::string python = JOIN_PARTS "d = open(\"" + whole +
                             "\", \"rb\").read(); a = J.Recording(d); v = a.video; ";
  for (const std::string& source : {lpcm, ac3}) {
    Remuxed(whole, source, "-map 0 -c copy");
    for (const int pictures : {1, 12}) {
      for (const char* sound : {"0", "1"}) {
        for (const char* step : {"0", "3600"}) {
          for (const char* runOn : {"0", "1"}) {
            SCOPED_TRACE(source + ", " + std::to_string(pictures) + " pictures, sound " + sound + ", step " + step +
                         ", counter ran on " + runOn);
            const testsupport::CommandResult made = testsupport::run_command(
                python + "a.packets[v[10][\"packets\"][-1]][7] & 0x20 and sys.exit(3); g = a.gop_starts(); "
                "first = J.cut(d, g[0][1], 11); other = J.cut(d, g[1][1], " + std::to_string(pictures) + "); "
                "other = other if " + sound + " else J.without_sound(other); "
                "p = J.pat_runs_on([first, other]) if " + runOn + " else [first, J.flag_pat(other, 0, 8, False)]; "
                "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(p, (0, " + step + "))))'");
            if (made.exit == 3) GTEST_SKIP() << "the remultiplexed picture does not fill its last packet exactly";
            ASSERT_EQ(made.exit, 0) << made.err;
            const auto [scale, duration, played] = ImportedQuietly(joined, json);
            EXPECT_EQ(VideoMediaValue(testsupport::read_text(json), "sampleCount"), 11 + pictures);
            EXPECT_FALSE(played.empty());
          }
        }
      }
    }
  }
  Remuxed(whole, hd, "-map 0 -c copy");
  const testsupport::CommandResult cut = testsupport::run_command(
      python + "k = next((k for k in a.group_starts() if k and 5 not in v[k][\"kinds\"] and not "
      "a.packets[v[k - 1][\"packets\"][-1]][7] & 0x20), 0); k or sys.exit(3); "
      "b = a.bytes([v[k - 1][\"packets\"][-1]]); open(\"" + joined + "\", \"wb\").write(J.cut(b, 1, k + 3))'");
  if (cut.exit == 3) GTEST_SKIP() << "no picture before a group of the 1080i recording fills its last packet";
  ASSERT_EQ(cut.exit, 0) << cut.err;
  // A group that begins with its tables and an I picture, IDR or not, is
  // where a cut recording may begin: the picture before it, short of its
  // last packet, ends as a part cut there does.
  const auto [scale, duration, played] = ImportedQuietly(joined, json);
  EXPECT_GT(scale, 0);
  EXPECT_FALSE(played.empty());
}

// Three parts of the LPCM recording: 13 pictures from its second group, 5
// from its fourth whose stamps go back below the first part's, then 10 that
// begin from 0.04 to 0.96 s after those end, the tables' and the sound's
// counters running on there and the pictures' breaking. The sound's step
// back stays under the first part's latest stamps, yet once the second
// part begins its sound is that part's own: the step ahead to the third is
// a join, silent, its sound beside its pictures (the second part's sound
// passed for PES out of order, its step was never seen, and the pictures'
// step was told as "damaged recording: 0.960 s of video could not be read").
TEST(MtsimportCommand, StepAfterAPartBelowTheLatestSoundIsAJoinOnceTheSoundStepsToo) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the movie is not measured";
  const Folder folder;
  const std::string first = folder.path + "/first.m2ts", back = folder.path + "/back.m2ts";
  const std::string later = folder.path + "/later.m2ts", json = folder.path + "/joined.json";
  for (const int on : {3600, 86400}) {
    for (const int below : {0, 18000}) {
      SCOPED_TRACE("back " + std::to_string(below) + ", on " + std::to_string(on));
      const testsupport::CommandResult made = testsupport::run_command(
          JOIN_PARTS ""
          "d = open(\"" + lpcm + "\", \"rb\").read(); g = [t for k, t in J.Recording(d).gop_starts()]; "
          "a = J.cut(d, g[1], 13); b = J.cut(d, g[3], 5); c = J.cut(d, g[1], 10); "
          "b = J.restamp(b, J.first_video_pts(a) - " + std::to_string(below) + " - J.first_video_pts(b)); "
          "v = sorted(p[\"pts\"] for p in J.Recording(b).video); "
          "c = J.restamp(c, v[-1] + v[1] - v[0] + " + std::to_string(on) + " - J.first_video_pts(c)); "
          "[open(n, \"wb\").write(p) for n, p in zip((\"" + first + "\", \"" + back + "\", \"" + later + "\"), "
          "(a, b, c))]; print((J.first_video_pts(c) - J.Recording(c).audio[0][\"pts\"]) * 48000 // 90000)'");
      ASSERT_EQ(made.exit, 0) << made.err;
      const int64_t lead = std::stoll(made.out);
      RunCountersOn(back, later, false, true);
      const testsupport::CommandResult r = testsupport::run_command("cat " + first + " " + back + " " + later +
                                                                    " > " + folder.path + "/joined.m2ts && " +
                                                                    MTSIMPORT + " --dump " + json + " " + folder.path +
                                                                    "/joined.m2ts");
      ASSERT_EQ(r.exit, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find("'vide': 28 samples"), std::string::npos) << r.out;
      // The third part's first picture shows at 18, its sound as far ahead
      // of it as it begins before it (each cut's LPCM sound lasts as long
      // as its pictures: 18 pictures' sound before it in the media).
      EXPECT_EQ(SoundMediaAt(EditsOf(testsupport::read_text(json)), 18 * kPictureUnits), 18 * kPictureUnits + lead);
    }
  }
}

// Twelve pictures of a remultiplexed 1080i recording, then six of a smaller
// remultiplexed AC-3 recording (left out for their size) with their sound,
// its first sound 0.1 s ahead of its first picture, a picture (and
// half a second) after them; the tables' counters break at the join, or run
// on across it. Either way the small part stands where the track's pictures
// end, and its sound plays by its own stamps beside it (with the counters
// running on, the step stayed in the line: the stretch grew a picture and
// the sound played 33 ms late, beside the step's end).
TEST(MtsimportCommand, SoundOfAPartOfAnotherSizeAfterTablesThatRunOnPlaysBesideItsStretch) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string whole = Remuxed(folder.path + "/whole.m2ts", hd, "-map 0 -c copy");
  const std::string small = Remuxed(folder.path + "/small.m2ts", ac3, "-map 0 -c copy");
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const int step : {3003, 45000}) {
    std::vector<std::vector<std::array<int64_t, 3>>> breaking;
    for (const bool runOn : {false, true}) {
      SCOPED_TRACE(std::to_string(step) + (runOn ? ", counters ran on" : ", counters broke"));
      // Prints how far the small part's first sound comes before its first
      // picture, in ticks.
      const testsupport::CommandResult made = testsupport::run_command(
          JOIN_PARTS "\n"
          "h = open(\"" + whole + "\", \"rb\").read(); s = open(\"" + small + "\", \"rb\").read()\n"
          "parts = [J.cut(h, J.Recording(h).gop_starts()[0][1], 12), J.cut(s, J.Recording(s).gop_starts()[1][1], 6)]\n"
          "parts = J.pat_runs_on(parts) if " + (runOn ? "1" : "0") + " else parts\n"
          "open(\"" + joined + "\", \"wb\").write(J.run_on(zip(parts, (0, " + std::to_string(step) + "))))\n"
          "print(J.first_video_pts(parts[1]) - J.Recording(parts[1]).audio[0][\"pts\"])'");
      long long lead = 0;
      ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld", &lead), 1) << made.err;
      const auto [scale, duration, sound] = ImportedQuietly(joined, json);
      ASSERT_EQ(scale, 30000);
      const auto edits = EditsOf(testsupport::read_text(json));
      ASSERT_TRUE(sound.size() == 2u && !edits.empty() && edits[0].size() == 2u);
      // The stretch left out follows the track's pictures; the small part's
      // sound leads it by its own lead, within a sample or two.
      EXPECT_EQ(edits[0][1][2], -1);
      EXPECT_EQ(edits[0][1][0], edits[0][0][0] + edits[0][0][1]);
      EXPECT_NEAR(double(sound[1][0]), double(edits[0][1][0]) - double(lead) / 3, 2);
      if (!runOn) breaking = edits;
      else EXPECT_EQ(edits, breaking);
    }
  }
}

// Two pictures with their sound, cut at each group (the sound lying before,
// around or after them), then a part begun right where they end by their
// stamps, wrapping there or not, the PAT's counter breaking or running on.
// The second part's sound steps ahead of the first's and is placed by its
// own stamps: it never ran straight on across the video's step, so nothing
// is said and all the pictures are in the movie (that step, read as one
// past the short part's tables, was told as "0.080 s of video could not be
// read").
TEST(MtsimportCommand, SeamlessJoinAfterTwoPicturesWhoseSoundStepsAheadStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts";
  for (const std::string& source : {ac3, lpcm}) {
    for (const char* group : {"0", "1", "2", "3"}) {
      for (const int wraps : {0, 1}) {
        for (const int runOn : {0, 1}) {
          SCOPED_TRACE(source + ", group " + group + (wraps ? ", wrapping" : "") + (runOn ? ", counter ran on" : ""));
          const testsupport::CommandResult made = testsupport::run_command(
              JOIN_PARTS ""
              "d = open(\"" + source + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
              "p = [J.cut(d, g[" + group + "][1], 2), J.cut(d, g[0][1], 9)]; "
              "v = sorted(x[\"pts\"] for x in J.Recording(p[0]).video); span = v[-1] - v[0] + 3600; "
              "first = J.WRAP - span if " + std::to_string(wraps) + " else 90000; "
              "p = [J.restamp(p[0], (first - v[0]) % J.WRAP), "
              "J.restamp(p[1], (first + span - J.first_video_pts(p[1])) % J.WRAP)]; "
              "p = J.pat_runs_on(p) if " + std::to_string(runOn) + " else p; "
              "open(\"" + joined + "\", \"wb\").write(b\"\".join(p))'");
          ASSERT_EQ(made.exit, 0) << made.err;
          const testsupport::CommandResult imported = testsupport::run_command(MTSIMPORT " --dump - " + joined);
          ASSERT_EQ(imported.exit, 0) << imported.err;
          EXPECT_EQ(imported.err.find("warning"), std::string::npos) << imported.err;
          EXPECT_EQ(VideoMediaValue(imported.out, "sampleCount"), 11);
          EXPECT_FALSE(PlayedSound(EditsOf(imported.out)).empty());
        }
      }
    }
  }
}

// Pictures of the track without sound, then one picture of another size and
// rate (25 against 29.97 pictures a second) with its sound, then a part of
// its size whose stamps step ahead or back, then the track's pictures again
// running on from that part's end; AC-3 or LPCM, the PAT's counter breaking
// or running on. The picture left out shows nowhere: its stretch lasts one
// of its own pictures, so the next part's sound plays beside that part's
// pictures and the stretch left out lasts both parts by their own pictures,
// in whole pictures of the track (the track's step was taken for it, and
// everything after it came early).
TEST(MtsimportCommand, OnePictureLeftOutForItsSizeLastsOneOfItsOwnPictures) {
  AVCHD_REQUIRE_TESTDATA(hd, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string joined = folder.path + "/joined.m2ts", json = folder.path + "/joined.json";
  for (const std::string& source : {ac3, lpcm}) {
    for (const char* step : {"45000", "-90000"}) {
      for (const char* runOn : {"0", "1"}) {
        SCOPED_TRACE(source + ", step " + step + (*runOn == '1' ? ", counter ran on" : ""));
        // Prints how long the later small part lasts and how far its first
        // sound comes before its first picture, in ticks.
        const testsupport::CommandResult made = testsupport::run_command(
            JOIN_PARTS "\n"
            "h = open(\"" + hd + "\", \"rb\").read(); s = open(\"" + source + "\", \"rb\").read()\n"
            "g = J.Recording(s).gop_starts(); track = J.without_sound(J.cut(h, J.Recording(h).gop_starts()[0][1], 12))\n"
            "v = lambda p: sorted(x[\"pts\"] for x in J.Recording(p).video)\n"
            "end = v(track)[-1] + 3003\n"
            "one = J.cut(s, g[1][1], 1); one = J.restamp(one, (end - v(one)[0]) % J.WRAP)\n"
            "part = J.cut(s, g[0][1], 5); part = J.restamp(part, (end + 3600 + " + step + " - v(part)[0]) % J.WRAP)\n"
            "again = J.restamp(track, (v(part)[-1] + 3600 - v(track)[0]) % J.WRAP)\n"
            "parts = [track, one, part, again]\n"
            "parts = J.pat_runs_on(parts) if " + runOn + " else parts\n"
            "open(\"" + joined + "\", \"wb\").write(b\"\".join(parts))\n"
            "print(v(part)[-1] - v(part)[0] + 3600, v(part)[0] - J.Recording(part).audio[0][\"pts\"])'");
        long long lasts = 0, lead = 0;
        ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld", &lasts, &lead), 2) << made.err;
        const auto [scale, duration, sound] = ImportedQuietly(joined, json);
        ASSERT_EQ(scale, 30000);
        const auto edits = EditsOf(testsupport::read_text(json));
        ASSERT_TRUE(sound.size() == 2u && !edits.empty() && edits[0].size() == 3u);
        EXPECT_EQ(edits[0][1][2], -1);
        const int64_t own = 3600 / 3;  // the lone picture, in movie units
        EXPECT_EQ(edits[0][1][1], (own + lasts / 3 + 1000) / 1001 * 1001);
        EXPECT_NEAR(double(sound[1][0]), double(edits[0][1][0] + own) - double(lead) / 3, 2);
      }
    }
  }
}

// Six pictures with their sound, then two pictures of the recording's first
// group with theirs, stamped a step back before the six or on after them,
// then eleven pictures stamped 0.74 s or 89 ms on after the two. The
// tables' counters run on at both joins and the pictures' break; the
// sound's runs on across the first join, and breaks or runs on across the
// second. The short part's sound, reported only after the next part's first
// picture, keeps to its own part, and each part's sound plays as with the
// sound's counters broken at both joins (that sound took the next part's
// line, and the next part's own sound, stepping ahead of it, was told as
// "damaged recording: 0.950 s of sound could not be read", or 0.297 s where
// the next part came 89 ms on). The movie is the one made with the sound's
// counters broken: after the short part stamped back, the last part's
// pictures once kept its step ahead as a gap of 0.84 s or 0.16 s.
TEST(MtsimportCommand, ShortPartsLateSoundWhoseCounterRunsOnKeepsToItsOwnPart) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  const Folder folder;
  const std::string first = folder.path + "/first.m2ts", middle = folder.path + "/middle.m2ts";
  const std::string later = folder.path + "/later.m2ts", joined = folder.path + "/joined.m2ts";
  const auto importJoin = [&]() {
    return testsupport::run_command("cat " + first + " " + middle + " " + later + " > " + joined + " && " +
                                    MTSIMPORT + " --dump - " + joined);
  };
  for (const std::string step : {"a0 - 33387", "a1 + 20000"}) {
    for (const std::string on : {"66784", "8000"}) {
      for (const bool laterRunsOn : {false, true}) {
        SCOPED_TRACE("short part at " + step + ", next " + on + " on" + (laterRunsOn ? ", sound ran on at both" : ""));
        const testsupport::CommandResult made = testsupport::run_command(
            JOIN_PARTS ""
            "d = open(\"" + ac3 + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
            "span = lambda x: (lambda v: (v[0], v[-1] + v[1] - v[0]))"
            "(sorted(p[\"pts\"] for p in J.Recording(x).video)); "
            "a = J.cut(d, g[1][1], 6); b = J.cut(d, g[0][1], 2); c = J.cut(d, g[0][1], 11); a0, a1 = span(a); "
            "b = J.restamp(b, (" + step + " - span(b)[0]) % J.WRAP); "
            "c = J.restamp(c, (span(b)[1] + " + on + " - span(c)[0]) % J.WRAP); "
            "[open(n, \"wb\").write(p) for n, p in zip((\"" + first + "\", \"" + middle + "\", \"" + later + "\"), "
            "J.pat_runs_on([a, b, c]))]'");
        ASSERT_EQ(made.exit, 0) << made.err;
        const testsupport::CommandResult broken = importJoin();
        ASSERT_EQ(broken.exit, 0) << broken.err;
        EXPECT_EQ(broken.err.find("warning"), std::string::npos) << broken.err;
        RunCountersOn(first, middle, false, true);
        if (laterRunsOn) RunCountersOn(middle, later, false, true);
        const testsupport::CommandResult imported = importJoin();
        ASSERT_EQ(imported.exit, 0) << imported.err;
        EXPECT_EQ(imported.err.find("warning"), std::string::npos) << imported.err;
        EXPECT_EQ(VideoMediaValue(imported.out, "sampleCount"), 19);
        // Each part's sound as with the counters broken, and the pictures in
        // the same places: the same movie.
        const auto edits = EditsOf(imported.out), reference = EditsOf(broken.out);
        const auto sound = PlayedSound(edits), expected = PlayedSound(reference);
        ASSERT_TRUE(edits.size() == 3u && edits[0].size() == 1u && reference[0].size() == 1u && sound.size() == 3u &&
                    expected.size() == 3u);
        EXPECT_EQ(sound, expected);
        EXPECT_EQ(edits[0], reference[0]);
        EXPECT_TRUE(WithoutRecordIds(imported.out) == WithoutRecordIds(broken.out)) << "another movie";
      }
    }
  }
}

// Two parts without sound cut from a recording with B pictures: the first
// ends on a P picture whose B pictures were cut off (its pictures show up
// to three frames after their decode), the second is joined on seamlessly
// (its IDR picture shown where the first part's pictures end, a frame
// after its decode, so its decode time steps ahead by three frames). Where
// the tables' counter runs on across the join and the video's breaks, it
// is a join all the same: nothing is said, and the movie is the one made
// where the tables' counter breaks (a warning once said 0.080 s of video
// could not be read).
TEST(MtsimportCommand, SeamlessJoinAfterALongerDisplayDelayStaysSilent) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  for (const std::string& source : {ac3, lpcm})
    for (const int pictures : {5, 8}) ExpectSeamlessJoinSilentEitherWay(source, source, pictures, true);
}

// A recording's end (its last group: two pictures, its sound running on past
// them to the file's end), then another cut of the recording right where it
// ends by its stamps or a step later, wrapping there or not: the tables'
// counter runs on, the pictures' breaks, the sound's runs on or breaks. The
// later part's first sound begins under the last sound of the part before
// (a camera sends its sound ahead of its pictures). Nothing is said, every
// picture is in the movie, and the later part's sound plays by its own
// stamps beside its first picture (the overlap was taken for the length of
// its PES, its next steps for PES lost: "0.064 s of sound could not be
// read", or for LPCM "0.005 s"; after a step, the sound running on made it
// "0.075 s of video").
TEST(MtsimportCommand, SoundBegunUnderThePartBeforesSoundKeepsItsJoinSilent) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  const Folder folder;
  const std::string end = folder.path + "/end.m2ts", later = folder.path + "/later.m2ts";
  const std::string joined = folder.path + "/joined.m2ts";
  for (const std::string& source : {ac3, lpcm}) {
    for (const auto& [group, step] : {std::pair<const char*, int>{"0", 0}, {"1", 6775}}) {
      for (const int wraps : {0, 1}) {
        for (const bool soundRunsOn : {true, false}) {
          SCOPED_TRACE(source + ", group " + group + ", step " + std::to_string(step) + (wraps ? ", wrapping" : "") +
                       (soundRunsOn ? ", sound counter ran on" : ""));
          // Prints the end's pictures and sound PES, and how far the later
          // part's first sound comes before its first picture (48 kHz).
          const testsupport::CommandResult made = testsupport::run_command(
              JOIN_PARTS ""
              "d = open(\"" + source + "\", \"rb\").read(); g = J.Recording(d).gop_starts(); "
              "p = [J.cut(d, g[-1][1], 8), J.cut(d, g[" + group + "][1], 12)]; "
              "v = sorted(x[\"pts\"] for x in J.Recording(p[0]).video); span = v[-1] - v[0] + 3600; "
              "first = J.WRAP - span if " + std::to_string(wraps) + " else 90000; "
              "p = J.pat_runs_on([J.restamp(p[0], (first - v[0]) % J.WRAP), J.restamp(p[1], (first + span + " +
              std::to_string(step) + " - J.first_video_pts(p[1])) % J.WRAP)]); "
              "[open(n, \"wb\").write(x) for n, x in zip((\"" + end + "\", \"" + later + "\"), p)]; "
              "r = J.Recording(p[1]); print(len(v), len(J.Recording(p[0]).audio), "
              "(J.first_video_pts(p[1]) - r.audio[0][\"pts\"]) % J.WRAP * 48000 // 90000)'");
          long long pictures = 0, pes = 0, lead = 0;
          ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld %lld", &pictures, &pes, &lead), 3) << made.err;
          if (soundRunsOn) RunCountersOn(end, later, false, true);
          const testsupport::CommandResult imported = testsupport::run_command(
              "cat " + end + " " + later + " > " + joined + " && " MTSIMPORT " --dump - " + joined);
          ASSERT_EQ(imported.exit, 0) << imported.err;
          EXPECT_EQ(imported.err.find("warning"), std::string::npos) << imported.err;
          EXPECT_EQ(VideoMediaValue(imported.out, "sampleCount"), pictures + 12);
          // All of the end's sound lies before the later part's in the media.
          const int64_t perPES = source == lpcm ? 240 : 1536;
          EXPECT_EQ(SoundMediaAt(EditsOf(imported.out), pictures * kPictureUnits), pes * perPES + lead);
        }
      }
    }
  }
}

// A part whose video PES carry no decode stamp (its pictures are never
// reordered: each decodes when it shows) joined where the end of a
// recording with B pictures stops showing: its decode times step ahead of
// those before by as long as they showed after their decode, with no gap on
// screen. Nothing is lost, whatever the sound's counter does across the
// join (once, that step was told as pictures lost where the sound ran on).
TEST(MtsimportCommand, PartWithoutDecodeStampsAfterReorderedPicturesLosesNothing) {
  AVCHD_REQUIRE_TESTDATA(ac3, "avchd/small_ac3_20_avchd.m2ts");
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_20_avchd.m2ts");
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: the parts are not made";
  const Folder folder;
  const std::string plain = folder.path + "/plain.m2ts", end = folder.path + "/end.m2ts";
  const std::string later = folder.path + "/later.m2ts", joined = folder.path + "/joined.m2ts";
  for (const std::string& source : {ac3, lpcm}) {
    Remuxed(plain, source, "-map 0 -c:v libx264 -bf 0 -x264-params keyint=12:threads=1 -c:a copy");
    for (const bool soundRunsOn : {false, true}) {
      SCOPED_TRACE(source + (soundRunsOn ? ", sound counter ran on" : ""));
      // Prints how many pictures each part has.
      const testsupport::CommandResult made = testsupport::run_command(
          JOIN_PARTS ""
          "a = open(\"" + source + "\", \"rb\").read(); b = open(\"" + plain + "\", \"rb\").read(); "
          "first = J.cut(a, J.Recording(a).gop_starts()[-2][1], 0); "
          "second = J.cut(b, J.Recording(b).gop_starts()[1][1], 24); "
          "v = sorted(p[\"pts\"] for p in J.Recording(first).video); "
          "p = J.pat_runs_on([first, J.restamp(second, (v[-1] + v[1] - v[0] - J.first_video_pts(second)) % J.WRAP)]); "
          "[open(n, \"wb\").write(x) for n, x in zip((\"" + end + "\", \"" + later + "\"), p)]; "
          "print(len(v), len(J.Recording(p[1]).video), J.Recording(p[1]).video[0][\"dts\"])'");
      long long pictures = 0, laterPictures = 0;
      char dts[8] = {};
      ASSERT_EQ(std::sscanf(made.out.c_str(), "%lld %lld %7s", &pictures, &laterPictures, dts), 3) << made.err;
      ASSERT_STREQ(dts, "None") << "the later part's PES carry decode stamps";
      if (soundRunsOn) RunCountersOn(end, later, false, true);
      const testsupport::CommandResult imported = testsupport::run_command(
          "cat " + end + " " + later + " > " + joined + " && " MTSIMPORT " --dump - " + joined);
      ASSERT_EQ(imported.exit, 0) << imported.err;
      EXPECT_EQ(imported.err.find("warning"), std::string::npos) << imported.err;
      EXPECT_EQ(VideoMediaValue(imported.out, "sampleCount"), pictures + laterPictures);
    }
  }
}
