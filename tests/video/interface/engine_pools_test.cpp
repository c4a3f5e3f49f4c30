// What a stream touches of the decoder's pools: macroblock records only for
// the pictures whose slice data is being decoded, co-located motion only
// for reference pictures, planes for the pictures the stream keeps plus
// those in flight, however many the level and the worker count would allow.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "decoder_engine.h"
#include "engine_test_util.h"
#include "testsupport.h"

namespace {

struct Use {
  uint32_t records = 0, motion = 0, planes = 0, flightLimit = 0;
};

uint32_t blocks_made(const BlockPool& pool) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < pool.slots; ++i) n += pool.blocks[i] != nullptr;
  return n;
}

struct Case {
  const char* stream;
  bool local;          // in tests/data, else in the external material
  uint32_t dpbFrames;  // frames the stream keeps: max_dec_frame_buffering, or the level's buffer
  bool fields;         // has field pictures (two records per frame)
};

const Case kCases[] = {
    {"inter/p_cavlc.264", true, 1, false},             // one reference, no reordering
    {"inter/b_temporal_cabac.264", true, 4, false},    // temporal direct reads the co-located motion
    {"inter/bench1080.264", true, 4, false},
    {"h264-conformance/CVFI1_SVA_C.264", false, 5, true},
    {"h264-conformance/CAMA3_Sand_E.264", false, 16, false},  // no bitstream restriction: the level's buffer
};

// Decodes the case's stream with `threads` workers and checks what it
// touched. Every picture beyond those the stream keeps counts against the
// cap on pictures in flight, so the planes are bounded by the kept frames,
// the cap, the picture being parsed and the last picture written (its
// planes stay until output has moved past it).
void check_pools(const Case& c, uint32_t threads) {
  const std::string path = c.local ? testsupport::local_data_file(c.stream) : testsupport::testdata_file(c.stream);
  if (path.empty()) return;  // external material absent
  const std::vector<uint8_t> data = testsupport::read_file(path);
  enginetest::DecodeOptions options;
  options.threads = threads;
  Use use;
  options.beforeClose = [&use](const VideoDecoder* dec) {
    use.records = blocks_made(dec->recordPool);
    use.motion = blocks_made(dec->motionPool);
    for (uint32_t i = 0; i < dec->state.frameBufferCount; ++i) use.planes += dec->state.frameBuffers[i].used;
    use.flightLimit = dec->flightLimit;
  };
  const enginetest::DecodeRun run = enginetest::decode_buffer(data, options);
  ASSERT_TRUE(run.finished) << c.stream;
  const uint32_t perFrame = c.fields ? 2 : 1;
  const uint32_t inFlight = use.flightLimit + 1;  // the picture being parsed besides the limit
  SCOPED_TRACE(std::string(c.stream) + ", " + std::to_string(threads) + " workers");
  EXPECT_EQ(threads > 1 ? threads + 3 : threads + 1, use.flightLimit);
  // Records are lent when a picture's slice data starts, not when it is set
  // up: one worker holds one picture's at a time.
  EXPECT_LE(use.records, threads == 1 ? 1u : inFlight);
  EXPECT_LE(use.motion, perFrame * c.dpbFrames + inFlight);
  EXPECT_LE(use.planes, perFrame * (c.dpbFrames + inFlight + 1));
}

TEST(EnginePools, TouchedPoolsFollowTheStreamNotTheLevel) {
  for (const Case& c : kCases)
    for (uint32_t threads : {1u, 2u, 4u}) check_pools(c, threads);
}

// Slice data of B pictures, held up once for a picture some way into the
// stream: a worker the machine does not run for a while.
std::atomic<bool> gStalled{false};
int32_t stalled_entropy_b(ThreadBuffer* tb) {
  if (tb->slice->picture->decodeKey >= 24 && !gStalled.exchange(true))
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return kDecoderStages.entropyB(tb);
}

// While one picture is slow, the others run on and the stream stops keeping
// references that picture still reads: they stay held, and count against
// the cap like the picture itself, or the parser would take new planes for
// every one of them.
TEST(EnginePools, SlowPictureHoldsNoPlanesBeyondTheCap) {
  DecoderStages stages = kDecoderStages;
  stages.entropyB = stalled_entropy_b;
  set_decoder_stages(&stages);
  for (const Case& c : kCases) {
    for (uint32_t threads : {2u, 4u}) {
      gStalled = false;
      check_pools(c, threads);
    }
  }
  set_decoder_stages(nullptr);
}

}  // namespace
