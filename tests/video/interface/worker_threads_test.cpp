// Worker threads: a slice starts before its references are finished and
// its prediction waits for the reference rows it reads. Streams whose
// pictures predict from pictures still being decoded (B pyramids, several
// references, temporal direct, frame/field macroblock pairs, several
// slices) decode to the reference pictures with 1, 2, 4 and 8 workers on
// every run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder_engine.h"
#include "engine_test_util.h"
#include "testsupport.h"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kRuns = 1;
#else
constexpr int kRuns = 3;
#endif

struct Source {
  const char* path;  // without extension: NAME.264 and NAME.framemd5
  bool local;        // committed under tests/data, else in the test material
};

const Source kSources[] = {
    {"inter/bench1080", true},
    {"inter/b_temporal_cabac", true},
    {"inter/p_cabac_ref4", true},
    {"mbaff/tff_temporal_cabac", true},
    {"mbaff/tff_slices3_cavlc", true},
    {"h264-features/05_bpyramid_normal", false},
    {"h264-features/06_bpyramid_strict", false},
    {"h264-features/10_direct_temporal", false},
    {"h264-features/11_multiref8", false},
    {"h264-features/14_mbaff_tff_cabac", false},
};

TEST(WorkerThreads, PicturesDecodedOverlappingMatchTheReferenceWithAnyWorkerCount) {
  int found = 0;
  for (const Source& src : kSources) {
    const std::string base = src.path;
    const std::string stream =
        src.local ? testsupport::local_data_file(base + ".264") : testsupport::testdata_file(base + ".264");
    if (stream.empty()) continue;
    ++found;
    const std::string md5Path =
        src.local ? testsupport::local_data_file(base + ".framemd5") : testsupport::testdata_file(base + ".framemd5");
    const std::vector<std::string> expected = enginetest::framemd5_column(testsupport::read_text(md5Path));
    const std::vector<uint8_t> data = testsupport::read_file(stream);
    ASSERT_FALSE(expected.empty()) << base;
    for (uint32_t threads : {1u, 2u, 4u, 8u}) {
      for (int run = 0; run < kRuns; ++run) {
        enginetest::DecodeOptions opt;
        opt.threads = threads;
        const enginetest::DecodeRun r = enginetest::decode_buffer(data, opt);
        ASSERT_TRUE(r.finished) << base << ", " << threads << " workers: error " << r.errorCode;
        ASSERT_EQ(expected, r.md5s) << base << ", " << threads << " workers, run " << run;
      }
    }
  }
  if (found == 0) GTEST_SKIP() << "no stream found";
}

// A reset and a close while slices wait for reference rows: the waits end,
// and decoding after the reset gives the pictures of a fresh decoder.
TEST(WorkerThreads, ResetAndCloseWhileSlicesWaitForReferences) {
  const std::vector<uint8_t> data = testsupport::read_file(testsupport::local_data_file("inter/bench1080.264"));
  ASSERT_FALSE(data.empty());
  const std::vector<std::string> expected =
      enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file("inter/bench1080.framemd5")));
  for (uint32_t calls : {1u, 3u, 7u}) {
    VideoDecoderParams params{};
    ASSERT_EQ(0, AVCHDGetVideoDecoderInfoLib(&params, data.data(), static_cast<int32_t>(data.size())));
    params.outputFormat = 3;
    params.threads = 8;
    VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
    ASSERT_NE(nullptr, dec);
    std::vector<uint8_t> picture(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params)) + 64);
    uint32_t st = AVCHDDecodeVideoStreamLib(dec, picture.data(), data.data(), static_cast<uint32_t>(data.size()), 0, 0);
    for (uint32_t c = 1; c < calls && !(st & (kStatusError | kStatusEndOfStream)); ++c)
      st = AVCHDDecodeVideoStreamLib(dec, picture.data(), nullptr, 0, 0, 0);
    EXPECT_EQ(0, AVCHDResetVideoDecoderLib(dec)) << calls << " calls";
    EXPECT_EQ(0, AVCHDCloseVideoDecoderLib(dec)) << calls << " calls";
  }
  // After all that, a fresh run still decodes exactly.
  enginetest::DecodeOptions opt;
  opt.threads = 8;
  EXPECT_EQ(expected, enginetest::decode_buffer(data, opt).md5s);
}

}  // namespace
