// MBAFF streams (tests/data/mbaff/make.sh: x264 on truly interlaced input,
// top and bottom field first, CAVLC and CABAC, P and B pictures, spatial and temporal direct,
// implicit weights, several slices, every partition size; an I picture with
// 8x8 intra modes beside field pairs) decoded through the decoder's public
// calls with one and with several worker threads, each picture bit-exact
// with the reference decoder's.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "decoder_engine.h"
#include "engine_test_util.h"
#include "reconstruction.h"
#include "testsupport.h"

namespace {

TEST(MbaffStreams, FrameAndFieldPairsAreBitExact) {
  for (const char* name :
       {"tff_p_cavlc", "bff_spatial_cavlc", "tff_temporal_cavlc", "bff_weightb_cavlc", "tff_slices3_cavlc",
        "bff_all_cavlc", "tff_intra8x8_cavlc", "tff_all_cabac", "tff_temporal_cabac"}) {
    const std::string base = std::string("mbaff/") + name;
    const std::vector<uint8_t> data = testsupport::read_file(testsupport::local_data_file(base + ".264"));
    const std::vector<std::string> want =
        enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file(base + ".framemd5")));
    ASSERT_FALSE(want.empty()) << name;
    for (uint32_t threads : {1u, 0u}) {
      enginetest::DecodeOptions options;
      options.threads = threads;
      const enginetest::DecodeRun run = enginetest::decode_buffer(data, options);
      ASSERT_FALSE(run.error) << name << " error " << run.errorCode << " " << run.refusal;
      ASSERT_EQ(run.md5s.size(), want.size()) << name << " threads " << threads;
      EXPECT_EQ(run.md5s, want) << name << " threads " << threads;
    }
  }
}

// The I driver as a pass of its own over a finished slice (no walk along
// the entropy decoding is open then) takes each macroblock's chroma step
// after its luma, as the walk does: run twice over each slice, it writes the
// same pictures (a wrong place, column buffer or margin shows in them).
uint32_t i_mbaff_twice(ThreadBuffer* tb) {
  const uint32_t count = predict_and_combine_I_unit_8bit_luma_mbaff(tb);
  EXPECT_EQ(predict_and_combine_I_unit_8bit_luma_mbaff(tb), count);
  return count;
}

TEST(MbaffStreams, IDriverRunTwiceRewritesTheSamePictures) {
  DecoderStages stages = kDecoderStages;
  stages.reconstructIMbaff = i_mbaff_twice;
  for (const char* name : {"tff_intra8x8_cavlc", "tff_slices3_cavlc", "tff_all_cabac"}) {
    const std::string base = std::string("mbaff/") + name;
    const std::vector<uint8_t> data = testsupport::read_file(testsupport::local_data_file(base + ".264"));
    const std::vector<std::string> want =
        enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file(base + ".framemd5")));
    enginetest::DecodeOptions options;
    options.threads = 1;
    set_decoder_stages(&stages);
    const enginetest::DecodeRun run = enginetest::decode_buffer(data, options);
    set_decoder_stages(nullptr);
    EXPECT_EQ(run.md5s, want) << name;
  }
}

}  // namespace
