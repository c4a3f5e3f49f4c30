// Recordings with damaged packets (packets sent twice, packets out of order
// within a few packets, every packet out of order) imported and saved as a
// movie by mtsimport: once the import succeeds, the save succeeds too, and
// (where ffmpeg is installed) ffmpeg opens and reads the saved movie.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Packets = std::vector<Bytes>;

constexpr size_t kPacket = 192;

Packets Split(const Bytes& file) {
  Packets packets;
  for (size_t at = 0; at + kPacket <= file.size(); at += kPacket)
    packets.emplace_back(file.begin() + long(at), file.begin() + long(at + kPacket));
  return packets;
}

Bytes Join(const Packets& packets) {
  Bytes out;
  for (const Bytes& p : packets) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// `count` packets, each sent a second time right after itself.
Bytes Duplicated(const Bytes& file, int count, unsigned seed) {
  Packets p = Split(file);
  std::mt19937 rng(seed);
  for (int i = 0; i < count; ++i) {
    const size_t at = rng() % p.size();
    p.insert(p.begin() + long(at), p[at]);
  }
  return Join(p);
}

// Packets shuffled within consecutive windows of `window` packets; the whole
// file for a window of 0.
Bytes Shuffled(const Bytes& file, size_t window, unsigned seed) {
  Packets p = Split(file);
  std::mt19937 rng(seed);
  if (window == 0) window = p.size();
  for (size_t at = 0; at < p.size(); at += window)
    std::shuffle(p.begin() + long(at), p.begin() + long(std::min(p.size(), at + window)), rng);
  return Join(p);
}

std::string Temp(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/mtsimport_damaged_" + std::to_string(getpid()) + "_" + name;
}

bool HaveFfmpeg() { return testsupport::run_command("ffmpeg -version").exit == 0; }

struct Damage {
  const char* name;
  const char* source;
  Bytes (*make)(const Bytes&);
};

const Damage kDamage[] = {
    {"50 packets sent twice", "avchd/small_ac3_20_avchd.m2ts", [](const Bytes& f) { return Duplicated(f, 50, 1); }},
    {"packets out of order within 8", "avchd/small_mbaff_ac3_20_avchd.m2ts",
     [](const Bytes& f) { return Shuffled(f, 8, 3); }},
    {"every packet out of order", "avchd/small_ac3_51_avchd.m2ts", [](const Bytes& f) { return Shuffled(f, 0, 1); }},
};

TEST(MtsimportDamaged, ImportedRecordingIsSavedAndOpens) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  const bool ffmpeg = HaveFfmpeg();
  for (const Damage& d : kDamage) {
    SCOPED_TRACE(d.name);
    AVCHD_REQUIRE_TESTDATA(source, d.source);
    const Bytes bytes = d.make(testsupport::read_file(source));
    const std::string input = Temp("input.m2ts"), mov = Temp("movie.mov");
    {
      std::ofstream out(input, std::ios::binary);
      out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    const testsupport::CommandResult imported = testsupport::run_command(std::string(MTSIMPORT) + " " + input);
    ASSERT_EQ(imported.exit, 0) << imported.err;
    const testsupport::CommandResult saved =
        testsupport::run_command(std::string(MTSIMPORT) + " --mov " + mov + " " + input);
    EXPECT_EQ(saved.exit, 0) << saved.err;
    if (ffmpeg) {
      const testsupport::CommandResult opened = testsupport::run_command("ffmpeg -v error -i " + mov + " -f null -");
      EXPECT_EQ(opened.exit, 0) << opened.err;
    }
    std::remove(input.c_str());
    std::remove(mov.c_str());
  }
  if (!ffmpeg) GTEST_SKIP() << "ffmpeg is not installed: the saved movies are not opened";
}

// Noise inside a recording (20,000 bytes in mid-file): the import leaves out
// the pictures and sound frames it cost and says so, in one warning line on
// standard error naming as much of each stream as the movie lacks; the whole
// recording gives no warning.
TEST(MtsimportDamaged, NoiseInsideIsReportedAsTheTimeItCost) {
  const std::string source = testsupport::local_data_file("sample.m2ts");  // 25 pictures/s, 48 kHz sound
  Bytes bytes = testsupport::read_file(source);
  ASSERT_GT(bytes.size(), 60000u);
  std::mt19937 rng(1);
  for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 20000; ++i) bytes[i] = uint8_t(rng());
  const std::string input = Temp("noise.m2ts");
  {
    std::ofstream out(input, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  const testsupport::CommandResult whole = testsupport::run_command(std::string(MTSIMPORT) + " " + source);
  const testsupport::CommandResult noisy = testsupport::run_command(std::string(MTSIMPORT) + " " + input);
  std::remove(input.c_str());
  ASSERT_EQ(whole.exit, 0) << whole.err;
  ASSERT_EQ(noisy.exit, 0) << noisy.err;
  EXPECT_EQ(whole.err, "");
  auto samples = [](const std::string& summary, const std::string& kind) {
    const size_t at = summary.find("'" + kind + "': ");
    return at == std::string::npos ? -1L : std::atol(summary.c_str() + at + kind.size() + 4);
  };
  const long pictures = samples(whole.out, "vide") - samples(noisy.out, "vide");
  const long frames = samples(whole.out, "soun") - samples(noisy.out, "soun");
  ASSERT_GT(pictures, 0) << noisy.out;
  ASSERT_GT(frames, 0) << noisy.out;
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "mtsimport: warning: %s: damaged recording: %.3f s of video and %.3f s of sound could not be read "
                "and are left out of the movie\n",
                input.c_str(), double(pictures) / 25, double(frames) / 48000);
  EXPECT_EQ(noisy.err, expected);
}

}  // namespace
