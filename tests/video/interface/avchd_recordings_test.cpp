// Every AVCHD recording of the material, its video demultiplexed by our
// demultiplexer and decoded by the decoder library, picture for picture
// against the reference decoder's output (NAME.video.framemd5).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TSDemuxer.h"
#include "engine_test_util.h"
#include "testsupport.h"

namespace {

// The H.264 byte stream of a recording: the payloads of its video PES in
// order, the last one as the demultiplexer holds it when the input ends.
std::vector<uint8_t> VideoOf(const std::vector<uint8_t>& ts) {
  std::vector<uint8_t> es;
  TSDemuxContext* ctx = TSOpenDemuxLib();
  if (!ctx) return es;
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  constexpr size_t kChunk = 960 * kTSSourcePacketSize;
  size_t position = 0;
  for (;;) {
    if (out.status & kTSStatusNeedInput) {
      const size_t n = std::min(kChunk, ts.size() - position);
      if (n == 0) break;
      TSDemuxStreamLib(ts.data() + position, int32_t(n), &out, ctx);
      position += n;
    } else {
      TSDemuxStreamLib(ts.data(), 0, &out, ctx);
    }
    if (out.status & kTSStatusVideo) es.insert(es.end(), out.pVideo, out.pVideo + out.videoSize);
  }
  if (out.videoSize > 0) es.insert(es.end(), out.pVideo, out.pVideo + out.videoSize);
  TSCloseDemuxLib(ctx);
  return es;
}

// Recordings of the folder: NAME.m2ts or NAME.mts beside NAME.video.framemd5.
std::vector<std::string> Recordings(const std::string& dir, std::vector<std::string>* withoutReference) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (const dirent* e = readdir(d)) {
    const std::string file = e->d_name;
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos) continue;
    const std::string ext = file.substr(dot);
    if (ext != ".m2ts" && ext != ".mts" && ext != ".MTS") continue;
    const std::string name = file.substr(0, dot);
    if (testsupport::read_file(dir + "/" + name + ".video.framemd5").empty()) withoutReference->push_back(file);
    else names.push_back(file);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AvchdRecordings, VideoDecodesToTheReferencePictures) {
  AVCHD_REQUIRE_TESTDATA(dir, "avchd/");
  std::vector<std::string> withoutReference;
  const std::vector<std::string> recordings = Recordings(dir, &withoutReference);
  ASSERT_FALSE(recordings.empty()) << "no recording with a .video.framemd5 in " << dir;
  for (const std::string& file : withoutReference)
    std::printf("%s: no .video.framemd5 beside it, not compared\n", file.c_str());
  for (const std::string& file : recordings) {
    SCOPED_TRACE(file);
    const std::string base = dir + "/" + file.substr(0, file.rfind('.'));
    const std::vector<std::string> reference =
        enginetest::framemd5_column(testsupport::read_text(base + ".video.framemd5"));
    const std::vector<uint8_t> es = VideoOf(testsupport::read_file(dir + "/" + file));
    ASSERT_FALSE(es.empty());
    enginetest::DecodeOptions options;
    options.threads = 2;
    const enginetest::DecodeRun run = enginetest::decode_buffer(es, options);
    EXPECT_TRUE(run.opened);
    EXPECT_FALSE(run.error) << "error " << run.errorCode << " " << run.refusal;
    EXPECT_TRUE(run.finished);
    EXPECT_EQ("", enginetest::damage_words(run.damage));
    ASSERT_EQ(run.md5s.size(), reference.size());
    size_t differ = 0;
    for (size_t i = 0; i < reference.size(); ++i) differ += run.md5s[i] != reference[i];
    EXPECT_EQ(differ, 0u) << "pictures differing from the reference; first: "
                          << std::distance(run.md5s.begin(), std::mismatch(run.md5s.begin(), run.md5s.end(),
                                                                           reference.begin()).first);
    std::printf("%s: %zu pictures, %zu differ\n", file.c_str(), run.md5s.size(), differ);
  }
}

// A recording's video joined to itself, end to end (the second copy starts
// again with its own timing): every picture of both copies comes out, in
// order.
TEST(AvchdRecordings, VideoJoinedToItselfGivesEveryPictureOfBoth) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const std::string base = path.substr(0, path.rfind('.'));
  std::vector<std::string> reference = enginetest::framemd5_column(testsupport::read_text(base + ".video.framemd5"));
  ASSERT_FALSE(reference.empty());
  const std::vector<uint8_t> video = VideoOf(testsupport::read_file(path));
  std::vector<uint8_t> es = video;
  es.insert(es.end(), video.begin(), video.end());
  const std::vector<std::string> once = reference;
  reference.insert(reference.end(), once.begin(), once.end());
  enginetest::DecodeOptions options;
  options.threads = 4;
  const enginetest::DecodeRun run = enginetest::decode_buffer(es, options);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  ASSERT_EQ(run.md5s.size(), reference.size());
  const size_t first = static_cast<size_t>(
      std::distance(run.md5s.begin(), std::mismatch(run.md5s.begin(), run.md5s.end(), reference.begin()).first));
  EXPECT_EQ(first, reference.size()) << "the first picture differing from the reference";
}

}  // namespace
