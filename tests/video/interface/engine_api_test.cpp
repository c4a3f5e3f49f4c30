// Library calls of the decoder instance on hand-made and real streams:
// queries, argument checks, status bits, refusals with their reasons, the
// faults the engine guards against, output order, skipping, lone fields,
// several instances at once, and open/decode/reset/close cycles (with the
// stand-in stages: each picture's luma is its picture order count).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "cavlc_tables.h"
#include "decoder_engine.h"
#include "engine_streams.h"
#include "engine_test_util.h"
#include "reconstruction.h"
#include "stand_in_stages.h"
#include "testsupport.h"
#include "vpCore.h"

namespace {

using enginetest::DecodeOptions;
using enginetest::DecodeRun;
using enginetest::decode_buffer;

// Every decoder these tests open runs the stand-in stages.
class StandInStages : public ::testing::Environment {
 public:
  void SetUp() override { set_decoder_stages(&kStandInStages); }
  void TearDown() override { set_decoder_stages(nullptr); }
};
::testing::Environment* const kStandIns = ::testing::AddGlobalTestEnvironment(new StandInStages);

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
  EXPECT_EQ((std::vector<uint32_t>{1, 0, 6, 4}), std::vector<uint32_t>(v, v + 4));
  EXPECT_EQ(0x8000u, AVCHDDecodeVideoStreamLib(nullptr, nullptr, nullptr, 0, 0, 0));
  EXPECT_EQ(0x8000, AVCHDCloseVideoDecoderLib(nullptr));
  EXPECT_EQ(0x8000, AVCHDResetVideoDecoderLib(nullptr));
  EXPECT_EQ(16, AVCHDVideoDecoderSeekAFrameLib(nullptr, 1));
  EXPECT_EQ(2, AVCHDVideoDecoderGetUserDataLib(nullptr, nullptr));
  EXPECT_EQ(2u, AVCHDVideoDecoderGetErrorCodeLib(nullptr));
}

// An instance runs the stages that were installed when it was opened, and
// no stages installed means the decoder's own.
TEST(EngineCalls, InstanceKeepsTheStagesItWasOpenedWith) {
  const VideoDecoderParams p = params_for(64, 64);
  VideoDecoder* standIn = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, standIn);
  set_decoder_stages(nullptr);
  EXPECT_EQ(&kDecoderStages, decoder_stages());
  VideoDecoder* own = AVCHDOpenVideoDecoderLib(&p);
  set_decoder_stages(&kStandInStages);
  ASSERT_NE(nullptr, own);
  EXPECT_EQ(&kStandInStages, standIn->stages);
  EXPECT_EQ(&kDecoderStages, own->stages);
  EXPECT_EQ(&binari_decode_i_unit, own->stages->entropyI);
  EXPECT_EQ(&DeblockingFilter_mbaff, own->stages->deblockMbaff);
  EXPECT_EQ(0, AVCHDCloseVideoDecoderLib(own));
  EXPECT_EQ(0, AVCHDCloseVideoDecoderLib(standIn));
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

// No memory for the CAVLC tables: no decoder, nothing kept (the leak check
// of the sanitizer build sees the rest), and a later open builds them.
TEST(EngineCalls, OpenFailsWhenTheCavlcTablesCannotBeBuilt) {
  const VideoDecoderParams p = params_for(64, 64);
  i_malloc = [](size_t) -> void* { return nullptr; };
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  i_malloc = std::malloc;
  EXPECT_EQ(nullptr, dec);
  EXPECT_EQ(nullptr, CavlcTables);
  dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  EXPECT_NE(nullptr, CavlcTables);
  EXPECT_EQ(0, AVCHDCloseVideoDecoderLib(dec));
  EXPECT_EQ(nullptr, CavlcTables);  // the failed open held none
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

TEST(EngineStreams, AfterEndOfStreamCallsReturnAtOnce) {
  enginetest::StreamShape shape;
  const std::vector<uint8_t> data = enginetest::ip_stream(shape, 3);
  VideoDecoderParams p = params_for(32, 32);
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  std::vector<uint8_t> out(4096);
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), static_cast<uint32_t>(data.size()), 1, 0);
  int pictures = 0;
  for (int i = 0; i < 100 && !(st & kStatusEndOfStream); ++i) {
    pictures += (st & 1);
    ASSERT_FALSE(st & kStatusError);
    st = AVCHDDecodeVideoStreamLib(dec, out.data(), nullptr, 0, 1, 0);
  }
  EXPECT_EQ(4, pictures + (st & 1));
  EXPECT_TRUE(st & kStatusEndOfStream);
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
  EXPECT_TRUE(st & kStatusPicture);
  AVCHDCloseVideoDecoderLib(dec);
}

// An IDR picture, then groups of a P picture and two non-reference B
// pictures that precede it in output order. Picture order counts step by
// `step` per frame; a stand-in picture's luma is its count.
std::vector<enginetest::SliceShape> ipbb_pictures(uint32_t groups, uint32_t step) {
  std::vector<enginetest::SliceShape> pics(1);
  pics[0].idr = true;
  for (uint32_t g = 0; g < groups; ++g) {
    enginetest::SliceShape p;
    p.sliceType = 5;
    p.frameNum = (g + 1) & 15;
    p.pocLsb = (step * (3 * g + 3)) & 63;
    pics.push_back(p);
    for (uint32_t k = 1; k <= 2; ++k) {
      enginetest::SliceShape b = p;
      b.sliceType = 6;
      b.refIdc = 0;
      b.frameNum = (g + 2) & 15;
      b.pocLsb = (step * (3 * g + k)) & 63;
      pics.push_back(b);
    }
  }
  return pics;
}

std::vector<uint8_t> ipbb_stream(uint32_t groups, uint32_t step) {
  enginetest::StreamShape st;
  st.pocType = 0;
  return enginetest::stream_of(st, ipbb_pictures(groups, step));
}

DecodeOptions keeping(uint32_t threads, uint32_t chunk = 0, uint32_t decodeFlags = 0) {
  DecodeOptions opt;
  opt.threads = threads;
  opt.chunk = chunk;
  opt.decodeFlags = decodeFlags;
  opt.keepPictures = true;
  return opt;
}

// Output follows the picture order counts whatever the workers' timing and
// the input's cuts (the last pictures of a stream too), and a record is
// recycled only once its picture is out: the stream is longer than the pools
// and its counts step by one per frame, slower than output moves on.
TEST(EngineOrder, PicturesComeOutInOrderWithTheirOwnContent) {
  const std::vector<uint8_t> data = ipbb_stream(60, 1);
  for (uint32_t threads : {1u, 2u, 8u}) {
    for (uint32_t chunk : {0u, 1u, 29u}) {
      const DecodeRun run = decode_buffer(data, keeping(threads, chunk));
      ASSERT_TRUE(run.finished) << threads << " workers, chunks of " << chunk;
      ASSERT_EQ(181u, run.pictures.size()) << threads << " workers, chunks of " << chunk;
      for (size_t i = 0; i < run.pictures.size(); ++i)
        ASSERT_EQ(i & 0xFF, run.pictures[i][0]) << "picture " << i << ", " << threads << " workers, chunks of " << chunk;
    }
  }
}

// Decode flag 0 (non-reference pictures) and 1 (B pictures) turn each such
// picture into a repeat of the picture before it in output order.
TEST(EngineOrder, SkippedPicturesRepeatThePictureBeforeThem) {
  const std::vector<uint8_t> data = ipbb_stream(5, 2);
  for (uint32_t flags : {1u, 2u}) {
    for (uint32_t threads : {1u, 8u}) {
      const DecodeRun run = decode_buffer(data, keeping(threads, 0, flags));
      ASSERT_TRUE(run.finished);
      ASSERT_EQ(16u, run.pictures.size()) << "flags " << flags;
      for (size_t i = 0; i < run.pictures.size(); ++i)
        EXPECT_EQ(2 * (i - i % 3), run.pictures[i][0]) << "picture " << i << ", flags " << flags;
    }
  }
}

// A field whose second field never comes (mid-stream, and at the end) is
// output alone, its missing field's rows grey.
TEST(EngineOrder, AFieldWithoutItsSecondFieldIsOutputAlone) {
  enginetest::StreamShape st;
  st.pocType = 0;
  st.fields = true;
  st.heightMbs = 1;
  auto field = [](uint32_t frameNum, int parity, uint32_t lsb) {
    enginetest::SliceShape s;
    s.idr = lsb == 0;
    s.frameNum = frameNum;
    s.field = parity;
    s.pocLsb = lsb;
    return s;
  };
  const std::vector<uint8_t> data = enginetest::stream_of(
      st, {field(0, 0, 0), field(0, 1, 1), field(1, 0, 4), field(1, 1, 5), field(2, 0, 8), field(3, 0, 12),
           field(3, 1, 13), field(4, 1, 17)});
  // Luma of the first two rows and Cb of the second chroma row (frame_num, or
  // grey) of each 32x32 output picture.
  const uint8_t want[5][3] = {{0, 1, 0}, {4, 5, 1}, {8, 128, 128}, {12, 13, 3}, {128, 17, 4}};
  for (uint32_t threads : {1u, 8u}) {
    const DecodeRun run = decode_buffer(data, keeping(threads));
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(5u, run.pictures.size()) << threads << " workers";
    for (size_t i = 0; i < 5; ++i) {
      const std::vector<uint8_t>& pic = run.pictures[i];
      EXPECT_EQ(want[i][0], pic[0]) << "picture " << i;
      EXPECT_EQ(want[i][1], pic[32 + 31]) << "picture " << i;
      EXPECT_EQ(want[i][2], pic[32 * 32 + 16]) << "picture " << i;
    }
  }
}

// With one picture per call a call writes at most one picture and returns
// once its input is used up; a frame step of 0 after an output queues that
// picture again, and every picture from then on carries status 0x2000.
TEST(EngineOrder, OnePicturePerCallAndFrameStepAfterOutput) {
  enginetest::StreamShape st;
  st.pocType = 0;
  std::vector<std::vector<uint8_t>> units = {enginetest::sps_unit(st), enginetest::pps_unit(st)};
  for (const enginetest::SliceShape& s : ipbb_pictures(4, 2)) units.push_back(enginetest::slice_unit(st, s));
  VideoDecoderParams p = params_for(32, 32, 3, 2);
  p.flags = 1 | 2;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&p);
  ASSERT_NE(nullptr, dec);
  std::vector<uint8_t> out(32 * 32 * 3 / 2);
  std::vector<uint8_t> lumas;
  bool stepped = false;
  uint32_t st0 = 0;
  for (size_t call = 0; call < 200 && !(st0 & kStatusEndOfStream); ++call) {
    const bool more = call < units.size();
    const std::vector<uint8_t>* unit = more ? &units[call] : nullptr;
    st0 = AVCHDDecodeVideoStreamLib(dec, out.data(), unit ? unit->data() : nullptr,
                                    unit ? static_cast<uint32_t>(unit->size()) : 0, !more, 0);
    ASSERT_FALSE(st0 & kStatusError);
    if (more) {
      EXPECT_TRUE(st0 & kStatusNeedInput) << "call " << call;
    }
    if (st0 & kStatusPicture) {
      EXPECT_EQ(stepped, (st0 & 0x2000) != 0) << "call " << call;
      lumas.push_back(out[0]);
    }
    if (lumas.size() == 3 && !stepped) {
      EXPECT_EQ(0, AVCHDVideoDecoderSeekAFrameLib(dec, 0));
      stepped = true;
    }
  }
  AVCHDCloseVideoDecoderLib(dec);
  EXPECT_EQ((std::vector<uint8_t>{0, 2, 4, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24}), lumas);
}

// Hand-made streams the engine accepts (with their picture count) or refuses
// (with the reason): a P slice after an IDR picture with a default of four
// active references finds one and the other entries must not be stale;
// no_output_of_prior_pics_flag on the first IDR picture has nothing to act
// on; more than 32 active references in slices that keep using them, a
// sequence larger than the decoder that a slice uses and a long-term
// reference are refused.
TEST(EngineFaults, StreamsAcceptedOrRefused) {
  using namespace enginetest;
  StreamShape shape;
  StreamShape fourRefs = shape;
  fourRefs.ppsRefDefaultMinus1 = 3;
  StreamShape large = shape;
  large.widthMbs = 4;
  SliceShape idr;
  idr.idr = true;
  SliceShape noOutput = idr;
  noOutput.noOutputOfPriorPics = true;
  SliceShape longTerm = idr;
  longTerm.longTerm = true;
  SliceShape p;
  p.sliceType = 5;
  p.frameNum = 1;
  SliceShape manyRefs = p;
  manyRefs.frameNum = 2;
  manyRefs.overrideL0Minus1 = 40;
  std::vector<uint8_t> tooMany = ip_stream(shape, 1);
  add(&tooMany, slice_unit(shape, manyRefs));
  manyRefs.frameNum = 3;
  add(&tooMany, slice_unit(shape, manyRefs));
  std::vector<uint8_t> tooLarge = ip_stream(shape, 1);
  add(&tooLarge, stream_of(large, {idr}));
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    size_t pictures;
    const char* refusal;  // null: accepted
  };
  const Case cases[] = {
      {"P slice with four active entries", ip_stream(fourRefs, 6), 7, nullptr},
      {"no_output_of_prior_pics_flag on the first IDR", stream_of(shape, {noOutput, p}), 2, nullptr},
      {"33 active references", tooMany, 0, "more than 32 active references"},
      {"sequence larger than the decoder", tooLarge, 0, ""},
      {"long-term reference", stream_of(shape, {longTerm}), 0, "long-term"},
  };
  for (const Case& c : cases) {
    const DecodeRun run = decode_buffer(c.data, DecodeOptions{});
    if (!c.refusal) {
      EXPECT_TRUE(run.finished) << c.name << ": error " << run.errorCode << " " << run.refusal;
      EXPECT_EQ(c.pictures, run.md5s.size()) << c.name;
    } else {
      EXPECT_EQ(6u, run.errorCode) << c.name;
      EXPECT_NE(std::string::npos, run.refusal.find(c.refusal)) << c.name << ": " << run.refusal;
    }
  }
}

// A slice whose SliceQPY lies outside 0..51 is damaged: it is dropped and
// its picture concealed (from the picture before it), and decoding goes on
// with the next slice.
TEST(EngineFaults, SliceQpOutOfRangeIsADamagedSlice) {
  using namespace enginetest;
  StreamShape shape;
  SliceShape idr;
  idr.idr = true;
  std::vector<SliceShape> pictures = {idr};
  for (int32_t delta : {-27, 26, 25, -26}) {  // SliceQPY -1, 52, 51, 0
    SliceShape p;
    p.sliceType = 5;
    p.frameNum = static_cast<uint32_t>(pictures.size());
    p.qpDelta = delta;
    pictures.push_back(p);
  }
  const DecodeRun run = decode_buffer(stream_of(shape, pictures), keeping(1));
  ASSERT_TRUE(run.finished) << run.errorCode;
  ASSERT_EQ(5u, run.pictures.size());
  // A picture whose only slice is lost repeats the reference before it.
  const bool concealed[5] = {false, true, true, false, false};
  for (size_t i = 1; i < 5; ++i) EXPECT_EQ(concealed[i], run.pictures[i] == run.pictures[i - 1]) << "picture " << i;
  EXPECT_NE(128, run.pictures[1][0]);
}

// A refusal names the syntax through the public call, as a code and in
// words; a stream that allows frame_num gaps, or a lossless one (its
// macroblocks of quantiser 0 bypass the transform), opens and is refused
// with error 6 (its sequence parameter set is complete, only not decoded).
TEST(EngineFaults, RefusalNamesTheSyntax) {
  using namespace enginetest;
  StreamShape shape;
  StreamShape gaps = shape;
  gaps.frameNumGaps = true;
  SliceShape idr;
  idr.idr = true;
  SliceShape longTerm = idr;
  longTerm.longTerm = true;
  SliceShape manyRefs;
  manyRefs.sliceType = 5;
  manyRefs.frameNum = 1;
  manyRefs.overrideL0Minus1 = 40;
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t reason;
    const char* words;
  } cases[] = {
      {"frame_num gaps", ip_stream(gaps, 2), kVideoRefusalFrameNumGaps, "gaps in frame_num"},
      {"long-term reference", stream_of(shape, {longTerm}), kVideoRefusalLongTermReference, "long-term"},
      {"33 active references", stream_of(shape, {idr, manyRefs, manyRefs}), kVideoRefusalActiveReferences,
       "32 active"},
      {"lossless 4:2:0", testsupport::read_file(testsupport::local_data_file("formats/yuv420_lossless.264")),
       kVideoRefusalTransformBypass, "lossless"},
  };
  for (const Case& c : cases) {
    VideoDecoderParams p{};
    EXPECT_EQ(0, AVCHDGetVideoDecoderInfoLib(&p, c.data.data(), static_cast<int32_t>(c.data.size()))) << c.name;
    const DecodeRun run = decode_buffer(c.data, DecodeOptions{});
    EXPECT_EQ(6u, run.errorCode) << c.name;
    EXPECT_EQ(c.reason, run.refusalCode.reason) << c.name;
    EXPECT_NE(nullptr, std::strstr(run.refusalCode.text, c.words)) << c.name << ": " << run.refusalCode.text;
  }
  VideoRefusal none;
  EXPECT_EQ(2, AVCHDVideoDecoderGetRefusalLib(nullptr, &none));
}

// A stream refused part way ends there: every picture before the refusal
// is output, in order and the same whatever the workers' timing, then the
// error comes.
TEST(EngineFaults, RefusalPartWayOutputsEveryEarlierPicture) {
  enginetest::StreamShape large;
  large.widthMbs = 4;
  std::vector<uint8_t> data = ipbb_stream(20, 1);
  enginetest::SliceShape idr;
  idr.idr = true;
  enginetest::add(&data, enginetest::stream_of(large, {idr}));
  for (uint32_t threads : {1u, 2u, 8u}) {
    const DecodeRun run = decode_buffer(data, keeping(threads));
    EXPECT_EQ(6u, run.errorCode) << threads << " workers";
    ASSERT_EQ(61u, run.pictures.size()) << threads << " workers";
    for (size_t i = 0; i < run.pictures.size(); ++i) ASSERT_EQ(i, run.pictures[i][0]) << "picture " << i;
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
  enginetest::add(&bad, enginetest::slice_unit(shape, p));  // refused syntax in use: read twice in a row
  p.frameNum = 16;
  enginetest::add(&bad, enginetest::slice_unit(shape, p));
  enginetest::add(&bad, good);
  std::vector<uint8_t> out(32 * 32 * 2);
  VideoDecoderParams params = params_for(32, 32, 3, 4);
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  ASSERT_NE(nullptr, dec);
  for (int round = 0; round < 50; ++round) {
    uint32_t st = AVCHDDecodeVideoStreamLib(dec, out.data(), bad.data(), static_cast<uint32_t>(bad.size()), 1, 0);
    for (int i = 0; i < 1000 && !(st & 0x8004); ++i) st = AVCHDDecodeVideoStreamLib(dec, out.data(), nullptr, 0, 1, 0);
    EXPECT_TRUE(st & kStatusError);
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
    ASSERT_FALSE(st & kStatusError);
    ASSERT_EQ(0, AVCHDResetVideoDecoderLib(dec));
    st = AVCHDDecodeVideoStreamLib(dec, out.data(), data.data(), static_cast<uint32_t>(data.size()), 0, 0);
    ASSERT_FALSE(st & kStatusError);
    ASSERT_EQ(0, AVCHDCloseVideoDecoderLib(dec));
  }
}

}  // namespace
