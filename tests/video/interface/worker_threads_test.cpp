// Worker threads: a slice starts before its references are finished and
// its prediction waits for the reference rows it reads. Streams whose
// pictures predict from pictures still being decoded (B pyramids, several
// references, temporal direct, frame/field macroblock pairs, several
// slices) decode to the reference pictures with 1, 2, 4 and 8 workers on
// every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "cavlc_tables.h"
#include "decoder_engine.h"
#include "engine_test_util.h"
#include "md5.h"
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
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer: 1080p is decoded below, at eight workers
    {"inter/bench1080", true},
#endif
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
    for (uint32_t threads : enginetest::worker_counts({1u, 2u, 4u, 8u})) {
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

// Decoders opened and closed on several threads at once, overlapping in
// every way (one closes while others decode, open while others close),
// share the CAVLC tables and decode CAVLC streams to the reference output.
TEST(WorkerThreads, DecodersOpenedAndClosedOverlappingShareTheCavlcTables) {
  struct Reference {
    const char* name;
    const char* md5;  // of every picture in output order
  };
  const Reference refs[] = {{"BA_MW_D", "7d5d351ad061640294bf43a43150fbca"},
                            {"SVA_NL2_E", "b47e932d436288013b8453d9a1d0f60d"},
                            {"CI_MW_D", "037becca5bc836b869aba825293d39a3"},
                            {"CVFI1_SVA_C", "af3086f97e7316670af7a4bdf3d53fea"}};
  std::vector<std::vector<uint8_t>> streams;
  for (const Reference& r : refs) {
    AVCHD_REQUIRE_TESTDATA(path, std::string("h264-conformance/") + r.name + ".264");
    streams.push_back(testsupport::read_file(path));
  }
  constexpr int kThreads = 4;
  std::vector<std::string> failures[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      // Each thread starts with another stream, so that opens and closes
      // fall at different times.
      for (int k = 0; k < 2 * static_cast<int>(streams.size()); ++k) {
        const size_t i = (t + k) % streams.size();
        enginetest::DecodeOptions opt;
        opt.threads = 1 + (t & 1);
        opt.keepPictures = true;
        const enginetest::DecodeRun run = enginetest::decode_buffer(streams[i], opt);
        Md5 all;
        for (const std::vector<uint8_t>& picture : run.pictures) all.update(picture.data(), picture.size());
        const std::string md5 = all.hex();
        if (!run.finished || md5 != refs[i].md5) failures[t].push_back(std::string(refs[i].name) + " " + md5);
      }
    });
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(failures[t].empty()) << failures[t].front();
  EXPECT_EQ(nullptr, CavlcTables);  // the last close freed them
}

// A decoder of the stream with eight workers, writing IYUV; null when the
// stream's parameters are not found or the decoder does not open.
VideoDecoder* open_eight_workers(const std::vector<uint8_t>& data, VideoDecoderParams* params) {
  if (AVCHDGetVideoDecoderInfoLib(params, data.data(), static_cast<int32_t>(data.size())) != 0) return nullptr;
  params->outputFormat = 3;
  params->threads = 8;
  params->timeoutMs = 20000;  // as decode_buffer's: a slow run (ThreadSanitizer, a busy machine) is no stall
  return AVCHDOpenVideoDecoderLib(params);
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
    VideoDecoder* dec = open_eight_workers(data, &params);
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

// A picture is copied into the caller's buffer while the other workers go
// on: the call returns only once it is whole, and nothing writes into the
// buffer after that. The buffer is overwritten before every call (small
// inputs make the workers ask for more often, also while a copy runs), so a
// copy still running or a picture reported in the wrong call shows as a
// wrong picture.
TEST(WorkerThreads, TheBufferIsTheCallersOnceTheCallReturns) {
  const std::vector<uint8_t> data = testsupport::read_file(testsupport::local_data_file("inter/bench1080.264"));
  ASSERT_FALSE(data.empty());
  const std::vector<std::string> expected =
      enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file("inter/bench1080.framemd5")));
  for (uint32_t chunk : {4096u, 65536u}) {
    for (int run = 0; run < kRuns; ++run) {
      VideoDecoderParams params{};
      VideoDecoder* dec = open_eight_workers(data, &params);
      ASSERT_NE(nullptr, dec);
      const size_t bytes = static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params));
      std::vector<uint8_t> picture(bytes);
      std::vector<std::string> got;
      size_t fed = 0;
      int32_t end = 0;
      uint32_t st = kStatusNeedInput;
      while (!(st & (kStatusError | kStatusEndOfStream))) {
        const uint8_t* in = nullptr;
        uint32_t n = 0;
        if (st & kStatusNeedInput) {
          n = static_cast<uint32_t>(std::min<size_t>(chunk, data.size() - fed));
          in = n ? data.data() + fed : nullptr;
          fed += n;
          end = n == 0;
        }
        std::fill(picture.begin(), picture.end(), uint8_t{0xEE});
        st = AVCHDDecodeVideoStreamLib(dec, picture.data(), in, n, end, 0);
        if (st & kStatusPicture) got.push_back(md5_hex(picture.data(), bytes));
      }
      EXPECT_EQ(0u, st & kStatusError) << chunk << "-byte inputs";
      EXPECT_EQ(expected, got) << chunk << "-byte inputs, run " << run;
      EXPECT_EQ(0, AVCHDCloseVideoDecoderLib(dec));
    }
  }
}

}  // namespace
