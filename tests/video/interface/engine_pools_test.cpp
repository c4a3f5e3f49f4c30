// What a stream touches of the decoder's pools: macroblock records only for
// the pictures being decoded, co-located motion only for reference
// pictures, planes for the pictures the stream keeps plus those in flight,
// however many the level and the worker count would allow.
#include <gtest/gtest.h>

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

TEST(EnginePools, TouchedPoolsFollowTheStreamNotTheLevel) {
  const Case cases[] = {
      {"inter/p_cavlc.264", true, 1, false},             // one reference, no reordering
      {"inter/b_temporal_cabac.264", true, 4, false},    // temporal direct reads the co-located motion
      {"inter/bench1080.264", true, 4, false},
      {"h264-conformance/CVFI1_SVA_C.264", false, 5, true},
      {"h264-conformance/CAMA3_Sand_E.264", false, 16, false},  // no bitstream restriction: the level's buffer
  };
  for (const Case& c : cases) {
    const std::string path = c.local ? testsupport::local_data_file(c.stream) : testsupport::testdata_file(c.stream);
    if (path.empty()) continue;  // external material absent
    const std::vector<uint8_t> data = testsupport::read_file(path);
    for (uint32_t threads : {1u, 2u, 4u}) {
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
      EXPECT_LE(use.records, inFlight);
      EXPECT_LE(use.motion, perFrame * c.dpbFrames + inFlight);
      EXPECT_LE(use.planes, perFrame * (c.dpbFrames + inFlight + 1));
    }
  }
}

}  // namespace
