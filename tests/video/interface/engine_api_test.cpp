// Library calls of the decoder instance on hand-made and real streams:
// queries, argument checks, status bits, refusals with their reasons, the
// faults the engine guards against, thread-count identity, several
// instances at once, and open/decode/reset/close cycles.
#include <gtest/gtest.h>

#include <thread>

#include "decoder_engine.h"
#include "engine_streams.h"
#include "engine_test_util.h"
#include "testsupport.h"

namespace {

using enginetest::DecodeOptions;
using enginetest::DecodeRun;
using enginetest::decode_buffer;

VideoDecoderParams params_for(uint16_t w, uint16_t h, uint32_t format = 3, uint8_t threads = 1) {
  VideoDecoderParams p{};
  p.level = 30;
  p.codedWidth = w;
  p.codedHeight = h;
  p.outputWidth = w;
  p.outputHeight = h;
  p.outputFormat = format;
  p.threads = threads;
  p.timeoutMs = 10000;
  return p;
}

bool keys_rise(const DecodeRun& run) {
  for (size_t i = 1; i < run.keys.size(); ++i)
    if (run.keys[i] <= run.keys[i - 1]) return false;
  return true;
}

TEST(EngineCalls, QueriesAndNullInstances) {
  VideoDecoderParams p = params_for(1920, 1080, 1);
  EXPECT_EQ(4147200, AVCHDVideoDecoderGetFrameBufferSizeLib(&p));
  p.outputFormat = 0;
  EXPECT_EQ(3110400, AVCHDVideoDecoderGetFrameBufferSizeLib(&p));
  p.outputFormat = 4;
  EXPECT_EQ(0, AVCHDVideoDecoderGetFrameBufferSizeLib(&p));
  EXPECT_EQ(0, AVCHDVideoDecoderGetFrameBufferSizeLib(nullptr));
  uint32_t v[4] = {};
  EXPECT_EQ(v, AVCHDVideoDecoderGetVersionLib(v));
  EXPECT_EQ(1u, v[0]);
  EXPECT_EQ(0u, v[1]);
  EXPECT_EQ(6u, v[2]);
  EXPECT_EQ(4u, v[3]);
  EXPECT_EQ(0x8000u, AVCHDDecodeVideoStreamLib(nullptr, nullptr, nullptr, 0, 0, 0));
  EXPECT_EQ(0x8000, AVCHDCloseVideoDecoderLib(nullptr));
  EXPECT_EQ(0x8000, AVCHDResetVideoDecoderLib(nullptr));
  EXPECT_EQ(16, AVCHDVideoDecoderSeekAFrameLib(nullptr, 1));
  EXPECT_EQ(2, AVCHDVideoDecoderGetUserDataLib(nullptr, nullptr));
  EXPECT_EQ(2u, AVCHDVideoDecoderGetErrorCodeLib(nullptr));
}

TEST(EngineCalls, OpenRefusesFlagsAndSizesItCannotServe) {
  VideoDecoderParams p = params_for(32, 32);
  p.flags = 2 | 4;  // one picture per call with decode-order output needs whole NAL units
  EXPECT_EQ(nullptr, AVCHDOpenVideoDecoderLib(&p));
  p.flags = 1 | 2 | 4;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  AVCHDCloseVideoDecoderLib(dec);
  p = params_for(40, 32);  // not whole macroblocks
  EXPECT_EQ(nullptr, AVCHDOpenVideoDecoderLib(&p));
  EXPECT_EQ(nullptr, AVCHDOpenVideoDecoderLib(nullptr));
}

TEST(EngineCalls, PoolsHoldTheLargestBufferOfTheLevelAndTheWorkers) {
  for (uint8_t threads : {1, 8}) {
    VideoDecoderParams p = params_for(352, 288, 3, threads);
    VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
    ASSERT_NE(nullptr, dec);
    EXPECT_EQ(threads, dec->threadCount);
    // Level 3.0 at CIF holds 16 frames: a full buffer waiting for output
    // keeps that many tasks, besides one parsing and decoding per worker.
    EXPECT_EQ(16u + threads + 4u, dec->taskCount);
    // Every task may hold a field pair, besides a full buffer of references.
    EXPECT_GE(dec->state.pictureCount, 2u * (16u + dec->taskCount));
    EXPECT_GE(dec->state.frameBufferCount, dec->state.pictureCount);
    AVCHDCloseVideoDecoderLib(dec);
  }
  VideoDecoderParams p = params_for(64, 64, 3, 0);
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  EXPECT_EQ(GetProcessorNumber(), dec->threadCount);
  AVCHDCloseVideoDecoderLib(dec);
}

TEST(EngineCalls, BadArgumentsAndUserDataBeforeOutput) {
  VideoDecoderParams p = params_for(32, 32);
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  uint8_t out[32 * 32 * 2];
  const uint8_t data[4] = {0, 0, 0, 1};
  EXPECT_EQ(0x8000u, AVCHDDecodeVideoStreamLib(dec, nullptr, data, 4, 0, 0));
  EXPECT_EQ(3u, AVCHDVideoDecoderGetErrorCodeLib(dec));
  EXPECT_EQ(0x8000u, AVCHDDecodeVideoStreamLib(dec, out, nullptr, 4, 0, 0));
  EXPECT_EQ(4u, AVCHDVideoDecoderGetErrorCodeLib(dec));
  VideoUserData ud;
  std::memset(&ud, 0x77, sizeof(ud));
  EXPECT_EQ(0, AVCHDVideoDecoderGetUserDataLib(dec, &ud));
  for (size_t i = 0; i < sizeof(ud); ++i) EXPECT_EQ(0, reinterpret_cast<uint8_t*>(&ud)[i]);
  // A frame step before any sequence parameter set keeps the step for later.
  EXPECT_EQ(16, AVCHDVideoDecoderSeekAFrameLib(dec, 3));
  EXPECT_EQ(2, dec->state.seekStep);
  EXPECT_EQ(0, AVCHDResetVideoDecoderLib(dec));
  EXPECT_EQ(0u, AVCHDVideoDecoderGetErrorCodeLib(dec));
  EXPECT_EQ(0, dec->state.seekStep);
  AVCHDCloseVideoDecoderLib(dec);
}

TEST(EngineStreams, HandMadeStreamOutputsEveryPictureInOrderWhateverTheInputCuts) {
  enginetest::StreamShape shape;
  const std::vector<uint8_t> data = enginetest::ip_stream(shape, 40, true);
  DecodeOptions opt;
  const DecodeRun whole = decode_buffer(data, opt);
  ASSERT_TRUE(whole.finished) << whole.errorCode;
  EXPECT_EQ(41u, whole.md5s.size());
  EXPECT_TRUE(keys_rise(whole));
  for (uint32_t chunk : {1u, 7u, 64u}) {
    opt.chunk = chunk;
    const DecodeRun cut = decode_buffer(data, opt);
    EXPECT_TRUE(cut.finished) << chunk;
    EXPECT_EQ(whole.md5s, cut.md5s) << "chunks of " << chunk;
  }
}

TEST(EngineStreams, AfterEndOfStreamCallsReturnAtOnce) {
  enginetest::StreamShape shape;
  const std::vector<uint8_t> data = enginetest::ip_stream(shape, 3);
  VideoDecoderParams p = params_for(32, 32);
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  std::vector<uint8_t> out(4096);
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), static_cast<uint32_t>(data.size()), 1, 0);
  int pictures = 0;
  for (int i = 0; i < 100 && !(st & 0x0004); ++i) {
    pictures += (st & 1);
    ASSERT_FALSE(st & 0x8000);
    st = AVCHDDecodeVideoStreamLib(dec, out.data(), nullptr, 0, 1, 0);
  }
  EXPECT_EQ(4, pictures + (st & 1));
  EXPECT_TRUE(st & 0x0004);
  EXPECT_EQ(0x0004u, AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), 10, 0, 0) & 0x0005);
  AVCHDCloseVideoDecoderLib(dec);
}

TEST(EngineStreams, NewInputWhileEarlierInputIsUnreadIsRefused) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/BA1_FT_C.264");
  const std::vector<uint8_t> data = testsupport::read_file(path);
  VideoDecoderParams p;
  ASSERT_EQ(0, AVCHDGetVideoDecoderInfoLib(&p, data.data(), static_cast<int32_t>(data.size())));
  p.outputFormat = 3;
  p.threads = 1;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  std::vector<uint8_t> out(static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&p)));
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), static_cast<uint32_t>(data.size()), 0, 0);
  ASSERT_TRUE(st & 1);
  ASSERT_FALSE(st & 2);
  st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), 100, 0, 0);
  EXPECT_EQ(0x0008u, st & 0x000F);
  // A second such call decodes on without the new input.
  st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), 100, 0, 0);
  EXPECT_TRUE(st & 0x0008);
  EXPECT_TRUE(st & 0x0001);
  AVCHDCloseVideoDecoderLib(dec);
}

// A P slice right after an IDR picture with a default of four active
// references finds one: the other active entries must not be stale.
TEST(EngineFaults, PSliceWithMoreActiveEntriesThanReferences) {
  enginetest::StreamShape shape;
  shape.ppsRefDefaultMinus1 = 3;
  const DecodeRun run = decode_buffer(enginetest::ip_stream(shape, 6), DecodeOptions{});
  EXPECT_TRUE(run.finished) << run.errorCode;
  EXPECT_EQ(7u, run.md5s.size());
}

TEST(EngineFaults, MoreThanThirtyTwoActiveReferencesAreRefused) {
  enginetest::StreamShape shape;
  std::vector<uint8_t> data = enginetest::ip_stream(shape, 1);
  enginetest::SliceShape p;
  p.sliceType = 5;
  p.frameNum = 2;
  p.overrideL0Minus1 = 40;
  enginetest::add(&data, enginetest::slice_unit(shape, p));
  const DecodeRun run = decode_buffer(data, DecodeOptions{});
  EXPECT_TRUE(run.error);
  EXPECT_EQ(6u, run.errorCode);
  EXPECT_EQ("more than 32 active references", run.refusal);
}

TEST(EngineFaults, SequenceLargerThanTheDecoderIsRefused) {
  enginetest::StreamShape small;
  enginetest::StreamShape large;
  large.widthMbs = 4;
  std::vector<uint8_t> data = enginetest::ip_stream(small, 1);
  enginetest::add(&data, enginetest::sps_unit(large));
  const DecodeRun run = decode_buffer(data, DecodeOptions{});
  EXPECT_TRUE(run.error);
  EXPECT_EQ(6u, run.errorCode);
}

TEST(EngineFaults, LongTermReferencesAreRefusedWithTheReason) {
  enginetest::StreamShape shape;
  std::vector<uint8_t> data;
  enginetest::add(&data, enginetest::sps_unit(shape));
  enginetest::add(&data, enginetest::pps_unit(shape));
  enginetest::SliceShape idr;
  idr.idr = true;
  idr.longTerm = true;
  enginetest::add(&data, enginetest::slice_unit(shape, idr));
  const DecodeRun run = decode_buffer(data, DecodeOptions{});
  EXPECT_EQ(6u, run.errorCode);
  EXPECT_NE(std::string::npos, run.refusal.find("long-term"));
}

// no_output_of_prior_pics_flag on the first IDR picture has nothing to act
// on and is accepted.
TEST(EngineFaults, NoOutputOfPriorPicturesOnTheFirstIdrIsAccepted) {
  enginetest::StreamShape shape;
  std::vector<uint8_t> data;
  enginetest::add(&data, enginetest::sps_unit(shape));
  enginetest::add(&data, enginetest::pps_unit(shape));
  enginetest::SliceShape idr;
  idr.idr = true;
  idr.noOutputOfPriorPics = true;
  enginetest::add(&data, enginetest::slice_unit(shape, idr));
  enginetest::SliceShape p;
  p.sliceType = 5;
  p.frameNum = 1;
  enginetest::add(&data, enginetest::slice_unit(shape, p));
  const DecodeRun run = decode_buffer(data, DecodeOptions{});
  EXPECT_TRUE(run.finished) << run.errorCode << " " << run.refusal;
  EXPECT_EQ(2u, run.md5s.size());
}

const char* const kThreadStreams[] = {
    "h264-conformance/CAPA1_T_B.264",  "h264-conformance/CAMA3_Sand_E.264", "h264-conformance/CVFI1_SVA_C.264",
    "h264-conformance/MR1_MW_A.264",   "h264-features/05_bpyramid_normal.264",
};

TEST(EngineThreads, OneTwoAndEightWorkersGiveTheSameOutput) {
  for (const char* rel : kThreadStreams) {
    const std::string path = testsupport::testdata_file(rel);
    if (path.empty()) GTEST_SKIP() << "test material missing: " << rel;
    const std::vector<uint8_t> data = testsupport::read_file(path);
    DecodeOptions opt;
    opt.threads = 1;
    const DecodeRun one = decode_buffer(data, opt);
    ASSERT_TRUE(one.finished) << rel;
    for (uint32_t n : {2u, 8u}) {
      opt.threads = n;
      opt.chunk = n == 8 ? 4096 : 0;
      const DecodeRun many = decode_buffer(data, opt);
      EXPECT_TRUE(many.finished) << rel;
      EXPECT_EQ(one.md5s, many.md5s) << rel << " with " << n << " workers";
    }
  }
}

TEST(EngineThreads, SeveralInstancesDecodeAtOnce) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/CABA3_SVA_B.264");
  const std::vector<uint8_t> data = testsupport::read_file(path);
  DecodeOptions opt;
  opt.threads = 2;
  const DecodeRun alone = decode_buffer(data, opt);
  DecodeRun runs[3];
  std::thread threads[3];
  for (int i = 0; i < 3; ++i) threads[i] = std::thread([&, i] { runs[i] = decode_buffer(data, opt); });
  for (auto& t : threads) t.join();
  for (const DecodeRun& r : runs) EXPECT_EQ(alone.md5s, r.md5s);
}

// Reset after an error must wait for workers still inside a step, or their
// tasks would be filed twice.
TEST(EngineLifetime, ResetAfterAnErrorWhileWorkersRun) {
  enginetest::StreamShape shape;
  std::vector<uint8_t> good = enginetest::ip_stream(shape, 30, true);
  std::vector<uint8_t> bad = good;
  enginetest::SliceShape p;
  p.sliceType = 5;
  p.frameNum = 15;
  p.overrideL0Minus1 = 40;
  enginetest::add(&bad, enginetest::slice_unit(shape, p));
  enginetest::add(&bad, good);
  std::vector<uint8_t> out(32 * 32 * 2);
  VideoDecoderParams params = params_for(32, 32, 3, 4);
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  ASSERT_NE(nullptr, dec);
  for (int round = 0; round < 50; ++round) {
    uint32_t st = AVCHDDecodeVideoStreamLib(dec, out.data(), bad.data(), static_cast<uint32_t>(bad.size()), 1, 0);
    for (int i = 0; i < 1000 && !(st & 0x8004); ++i) st = AVCHDDecodeVideoStreamLib(dec, out.data(), nullptr, 0, 1, 0);
    EXPECT_TRUE(st & 0x8000);
    ASSERT_EQ(0, AVCHDResetVideoDecoderLib(dec));
    EXPECT_EQ(dec->taskCount, static_cast<uint32_t>(dec->parseHeap.count));
  }
  AVCHDCloseVideoDecoderLib(dec);
}

TEST(EngineLifetime, ThousandOpenDecodeResetCloseCycles) {
  enginetest::StreamShape shape;
  const std::vector<uint8_t> data = enginetest::ip_stream(shape, 3);
  std::vector<uint8_t> out(32 * 32 * 2);
  for (int cycle = 0; cycle < 1000; ++cycle) {
    VideoDecoderParams p = params_for(32, 32);
    p.level = 10;
    VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
    ASSERT_NE(nullptr, dec);
    uint32_t st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), static_cast<uint32_t>(data.size()), 1, 0);
    ASSERT_FALSE(st & 0x8000);
    ASSERT_EQ(0, AVCHDResetVideoDecoderLib(dec));
    st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), static_cast<uint32_t>(data.size()), 0, 0);
    ASSERT_FALSE(st & 0x8000);
    ASSERT_EQ(0, AVCHDCloseVideoDecoderLib(dec));
  }
}

}  // namespace
