// Reference marking on whole streams: memory_management_control_operation 5
// in the middle of a group of pictures and on the last picture (a stream
// rewritten from x264's output by tests/data/mmco/make.sh). The operation
// resets frame_num and the picture order count and outputs every earlier
// picture first; the pictures match the reference decoder's at any worker
// count and however the input is cut.
#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "testsupport.h"

namespace {

TEST(RefMarkingStreams, OperationFiveResetsCountsAndKeepsEveryPicture) {
  const std::vector<uint8_t> stream = testsupport::read_file(testsupport::local_data_file("mmco/mmco5_cavlc.264"));
  ASSERT_FALSE(stream.empty());
  const std::vector<std::string> want =
      enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file("mmco/mmco5_cavlc.framemd5")));
  ASSERT_EQ(want.size(), 12u);
  for (uint32_t threads : {1u, 4u}) {
    for (uint32_t chunk : {0u, 700u}) {
      enginetest::DecodeOptions options;
      options.threads = threads;
      options.chunk = chunk;
      const enginetest::DecodeRun run = enginetest::decode_buffer(stream, options);
      EXPECT_FALSE(run.error) << run.errorCode << " " << run.refusal;
      EXPECT_EQ(want, run.md5s) << threads << " workers, chunks of " << chunk;
    }
  }
}

}  // namespace
