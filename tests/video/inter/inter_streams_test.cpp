// P and B streams (tests/data/inter/make.sh): whole-macroblock partitions
// only (CAVLC and CABAC, one and four references, spatial and temporal
// direct, explicit weights in P and B pictures), and every sub-macroblock
// shape (P_8x8 down to 4x4, B_8x8 with direct quadrants, explicit and
// implicit weights),
// decoded through the decoder's public calls with one and with several
// worker threads, each picture bit-exact with the reference decoder's.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "testsupport.h"

namespace {

TEST(InterStreams, PartitionStreamsAreBitExact) {
  for (const char* name : {"p_cavlc", "p_cabac_ref4", "b_spatial_cavlc", "b_temporal_cabac", "weightp", "weightb",
                           "submb_p_cavlc", "submb_p_cabac", "submb_b_spatial", "submb_b_temporal",
                           "submb_weighted"}) {
    const std::string base = std::string("inter/") + name;
    const std::vector<uint8_t> data = testsupport::read_file(testsupport::local_data_file(base + ".264"));
    const std::vector<std::string> want =
        enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file(base + ".framemd5")));
    ASSERT_EQ(want.size(), 12u) << name;
    for (uint32_t threads : {1u, 0u}) {
      enginetest::DecodeOptions options;
      options.threads = threads;
      const enginetest::DecodeRun run = enginetest::decode_buffer(data, options);
      ASSERT_FALSE(run.error) << name << " error " << run.errorCode << " " << run.refusal;
      ASSERT_EQ(run.md5s.size(), want.size()) << name << " threads " << threads;
      for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(run.md5s[i], want[i]) << name << " picture " << i;
    }
  }
}

}  // namespace
