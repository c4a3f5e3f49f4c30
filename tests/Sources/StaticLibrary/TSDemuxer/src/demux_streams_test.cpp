// The demultiplexer on real AVCHD-style streams: every video and audio PES
// (count, sizes, time stamps) against what ffprobe reported for the same file
// (expectations committed in tests/data/demux/expect), and the program map.
#include "TSDemuxer.h"
#include "pes_collector.h"
#include "testsupport.h"

#include <gtest/gtest.h>

namespace {

using demuxtest::ExpectedPes;
using demuxtest::PesRecord;

struct StreamCase {
  const char* name;
  bool external;  // in $AVCHD_TESTDATA/avchd, else committed in tests/data
};

const StreamCase kStreams[] = {
    {"small_ac3_20_avchd.m2ts", true},       {"small_ac3_51_avchd.m2ts", true},
    {"small_lpcm_20_avchd.m2ts", true},      {"small_lpcm_51_avchd.m2ts", true},
    {"small_mbaff_ac3_20_avchd.m2ts", true}, {"avchd_1080i_10s_ac3_20_avchd.m2ts", true},
    {"camera_header_7packets.mts", true},    {"sample.m2ts", false},
};

std::string stream_path(const StreamCase& c) {
  return c.external ? testsupport::testdata_file(std::string("avchd/") + c.name)
                    : testsupport::local_data_file(c.name);
}

// Compares the PES of one kind, in order.
void expect_same_sequence(const std::vector<PesRecord>& got, const std::vector<ExpectedPes>& want, char kind) {
  std::vector<PesRecord> g;
  std::vector<ExpectedPes> w;
  for (const auto& r : got) {
    if (r.kind == kind) g.push_back(r);
  }
  for (const auto& e : want) {
    if (e.kind == kind) w.push_back(e);
  }
  ASSERT_EQ(g.size(), w.size()) << "number of " << kind << " PES";
  for (size_t i = 0; i < g.size(); ++i) {
    SCOPED_TRACE(testing::Message() << kind << " PES " << i);
    EXPECT_EQ(g[i].size, w[i].size);
    if (g[i].drained) {
      EXPECT_EQ(i + 1, g.size()) << "only the last PES is left for the drain";
      continue;
    }
    EXPECT_EQ(g[i].bPTS, 1);
    EXPECT_EQ(g[i].PTS, w[i].PTS);
    if (g[i].bDTS) {
      EXPECT_EQ(g[i].DTS, w[i].DTS);
    }
    if (kind == 'v') {
      EXPECT_EQ(g[i].bDTS, 1) << "video reports a DTS (the PTS when none is coded)";
    }
  }
}

class DemuxStreams : public testing::TestWithParam<StreamCase> {};

TEST_P(DemuxStreams, PesSequenceMatchesReference) {
  const StreamCase& c = GetParam();
  std::string path = stream_path(c);
  if (c.external) AVCHD_REQUIRE_SHARED_MATERIAL();
  if (path.empty()) GTEST_SKIP() << "test material missing: avchd/" << c.name;
  std::vector<uint8_t> data = testsupport::read_file(path);
  ASSERT_FALSE(data.empty());
  auto want = demuxtest::read_expectations(testsupport::local_data_file(std::string("demux/expect/") + c.name + ".pes"));
  ASSERT_FALSE(want.empty());

  // The components' chunk size, one packet at a time, and a near-full window.
  for (size_t chunk : {size_t(0x2d000), size_t(192), size_t(192 * 1023)}) {
    SCOPED_TRACE(testing::Message() << "chunk " << chunk);
    uint32_t bad = 0;
    auto got = demuxtest::collect_pes(data, chunk, &bad);
    EXPECT_EQ(bad, 0u);
    expect_same_sequence(got, want, 'v');
    expect_same_sequence(got, want, 'a');
  }
}

INSTANTIATE_TEST_SUITE_P(Avchd, DemuxStreams, testing::ValuesIn(kStreams),
                         [](const testing::TestParamInfo<StreamCase>& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace
