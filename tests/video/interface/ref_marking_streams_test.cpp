// Reference marking and output order on whole streams, rewritten from x264's
// output by scripts in tests/data:
// - memory_management_control_operation 5 in the middle of a group of
//   pictures and on the last picture (mmco/make.sh). The operation resets
//   frame_num and the picture order count and outputs every earlier picture
//   first;
// - IDR pictures followed by B pictures shown before them, with picture
//   timing (leading/make.sh), alone and joined to itself: each copy's
//   timing starts again, and no picture of a later copy is lost.
// The pictures match the reference decoder's at any worker count and however
// the input is cut.
#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "testsupport.h"

namespace {

// The stream decodes to the wanted pictures with 1 and 4 workers, given
// whole and in pieces of 700 bytes.
void expect_pictures(const std::vector<uint8_t>& stream, const std::vector<std::string>& want,
                     const std::string& what) {
  for (uint32_t threads : {1u, 4u}) {
    for (uint32_t chunk : {0u, 700u}) {
      enginetest::DecodeOptions options;
      options.threads = threads;
      options.chunk = chunk;
      const enginetest::DecodeRun run = enginetest::decode_buffer(stream, options);
      EXPECT_FALSE(run.error) << run.errorCode << " " << run.refusal;
      EXPECT_EQ(want, run.md5s) << what << threads << " workers, chunks of " << chunk;
    }
  }
}

TEST(RefMarkingStreams, OperationFiveResetsCountsAndKeepsEveryPicture) {
  const std::vector<uint8_t> stream = testsupport::read_file(testsupport::local_data_file("mmco/mmco5_cavlc.264"));
  ASSERT_FALSE(stream.empty());
  const std::vector<std::string> want =
      enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file("mmco/mmco5_cavlc.framemd5")));
  ASSERT_EQ(want.size(), 12u);
  expect_pictures(stream, want, "");
}

TEST(JoinedStreams, PicturesShownBeforeAJoinedOnIdrPictureAreOutput) {
  const std::vector<uint8_t> once =
      testsupport::read_file(testsupport::local_data_file("leading/lead_before_idr.264"));
  ASSERT_FALSE(once.empty());
  const std::vector<std::string> each = enginetest::framemd5_column(
      testsupport::read_text(testsupport::local_data_file("leading/lead_before_idr.framemd5")));
  ASSERT_EQ(each.size(), 12u);
  std::vector<uint8_t> stream;
  std::vector<std::string> want;
  for (int copies = 1; copies <= 3; ++copies) {
    stream.insert(stream.end(), once.begin(), once.end());
    want.insert(want.end(), each.begin(), each.end());
    expect_pictures(stream, want, std::to_string(copies) + " copies, ");
  }
}

}  // namespace
