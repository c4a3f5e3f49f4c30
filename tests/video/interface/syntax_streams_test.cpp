// Every sequence and picture parameter set and every buffering-period,
// picture-timing and recovery-point SEI message of the H.264 test streams,
// parsed by the decoder's own parsers, against the committed expectations of
// an independent parser.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "expectations.h"
#include "h264_test_util.h"
#include "parameter_sets.h"
#include "sei.h"
#include "testsupport.h"

namespace {

using h264test::EntryCursor;
using h264test::StreamExpectation;

// Payload types of the SEI messages in one SEI RBSP, read independently of
// the decoder's message loop.
std::vector<uint32_t> sei_payload_types(const std::vector<uint8_t>& rbsp) {
  std::vector<uint32_t> types;
  size_t pos = 0;
  auto value = [&]() {
    uint32_t v = 0;
    while (pos < rbsp.size() && rbsp[pos] == 0xFF) {
      v += 255;
      ++pos;
    }
    if (pos < rbsp.size()) v += rbsp[pos++];
    return v;
  };
  while (pos < rbsp.size() && !(rbsp[pos] == 0x80 && pos + 1 == rbsp.size())) {
    const uint32_t type = value();
    const uint32_t size = value();
    types.push_back(type);
    pos += size;
  }
  return types;
}

void check_stream(const StreamExpectation& expect, const std::vector<uint8_t>& data, int* setsChecked) {
  SCOPED_TRACE(expect.path);
  h264test::SyntaxState s;
  EntryCursor spsCursor(expect, 'S'), ppsCursor(expect, 'P');
  EntryCursor seiCursors[3] = {{expect, 'B'}, {expect, 'T'}, {expect, 'R'}};
  int failures = 0;
  auto report = [&](const char* what, const std::vector<std::string>& bad) {
    if (bad.empty() || ++failures > 5) return;
    std::string text;
    for (const auto& b : bad) text += "\n  " + b;
    ADD_FAILURE() << what << text;
  };

  h264test::PayloadBuffer buffer(static_cast<uint32_t>(data.size()));
  s.ds.parseReadPtr = data.data();
  s.ds.parseBytesLeft = static_cast<int32_t>(data.size());
  s.ds.wholeNalUnits = 1;
  ThreadBuffer tb;
  std::memset(static_cast<void*>(&tb), 0, sizeof(tb));
  tb.decoderState = &s.ds;
  const NalUnit& nal = buffer.nal;
  while (ByteStreamParser_AnnexB(&s.ds, &buffer.nal) == kAnnexBUnitReady) {
    bs_init(&tb.reader, nal.payload, nal.length);
    const std::string refIdc = std::to_string(nal.nal_ref_idc);
    if (nal.nal_unit_type == 7) {
      const int32_t result = DecodeSequenceParameterSet(&tb);
      EXPECT_EQ(tb.reader.overrun, 0u);
      const h264test::Entry* e = spsCursor.next();
      if (!e) {
        report("SPS", {"more sequence parameter sets than expected"});
      } else {
        // The decoder does not support gaps in frame_num: it refuses such a
        // set, which still stays in its list as parsed.
        bool gaps = false;
        for (const auto& [n, v] : e->fields) gaps |= (n == "gaps_in_frame_num_allowed_flag" && v == "1");
        EXPECT_EQ(result, gaps ? 12 : 0);
        report("SPS", h264test::mismatches(*e, [&](const std::string& n, std::string* v) {
                 if (n == "nal_ref_idc") return *v = refIdc, true;
                 return h264test::sps_field(*s.pic.sps, n, v);
               }));
      }
      ++*setsChecked;
    } else if (nal.nal_unit_type == 8) {
      const uint32_t id = GetParameterSetID(nal.payload + 3);
      const int32_t result = DecodePictureParameterSet(&tb, 0);
      EXPECT_EQ(result, 0);
      EXPECT_EQ(tb.reader.overrun, 0u);
      const h264test::Entry* e = ppsCursor.next();
      const PictureParameterSet* pps = FindPictureParameterSet(&s.ppsHead, id);
      if (!e) {
        report("PPS", {"more picture parameter sets than expected"});
      } else if (result == 0 && pps) {
        report("PPS", h264test::mismatches(*e, [&](const std::string& n, std::string* v) {
                 if (n == "nal_ref_idc") return *v = refIdc, true;
                 return h264test::pps_field(*pps, n, v);
               }));
      }
      ++*setsChecked;
    } else if (nal.nal_unit_type == 6) {
      std::memset(&s.sei, 0, sizeof(s.sei));
      decode_sei_rbsp(&tb);
      EXPECT_EQ(tb.reader.overrun, 0u);
      // Compared after the whole RBSP: the record holds the last message of
      // each kind.
      const std::vector<uint32_t> types = sei_payload_types(h264test::rbsp_bytes(nal.payload, nal.length));
      for (uint32_t type : types) {
        const int kind = type == 0 ? 0 : type == 1 ? 1 : type == 6 ? 2 : -1;
        if (kind < 0) continue;
        const h264test::Entry* e = seiCursors[kind].next();
        if (!e) {
          report("SEI", {"more timing messages than expected"});
          continue;
        }
        report("SEI", h264test::mismatches(*e, [&](const std::string& n, std::string* v) {
                 return h264test::sei_field(s.sei, n, v);
               }));
        ++*setsChecked;
      }
    }
  }
  EXPECT_EQ(spsCursor.remaining(), 0);
  EXPECT_EQ(ppsCursor.remaining(), 0);
  for (const EntryCursor& c : seiCursors) EXPECT_EQ(c.remaining(), 0);
}

void check_folder(const std::string& folder) {
  const auto all = h264test::load_expectations();
  ASSERT_FALSE(all.empty()) << "expectations missing";
  if (testsupport::testdata_root().empty())
    GTEST_SKIP() << "test material missing: " << folder << "/ (set AVCHD_TESTDATA)";
  int streams = 0;
  int checked = 0;
  for (const StreamExpectation& e : all) {
    if (e.path.rfind(folder + "/", 0) != 0) continue;
    AVCHD_REQUIRE_TESTDATA(path, e.path);
    check_stream(e, testsupport::read_file(path), &checked);
    ++streams;
  }
  EXPECT_GT(streams, 20);
  ::testing::Test::RecordProperty("checked", checked);
  std::printf("%d streams, %d parameter sets and SEI messages compared\n", streams, checked);
}

TEST(SyntaxStreams, ConformanceParameterSetsAndSei) { check_folder("h264-conformance"); }

TEST(SyntaxStreams, FeatureClipParameterSetsAndSei) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  check_folder("h264-features");
}

// The parser keeps its state between calls: the start of every feature clip
// fed in pieces of 1 to 7 bytes gives the same NAL units as fed whole.
TEST(SyntaxStreams, FeatureClipsCutIntoPieces) {
  const auto all = h264test::load_expectations();
  int clips = 0;
  for (const StreamExpectation& e : all) {
    if (e.path.rfind("h264-features/", 0) != 0) continue;
    SCOPED_TRACE(e.path);
    AVCHD_REQUIRE_TESTDATA(path, e.path);
    auto data = testsupport::read_file(path);
    data.resize(std::min<size_t>(data.size(), 96 * 1024));
    const auto whole = h264test::parse_units(data.data(), data.size());
    ASSERT_GT(whole.size(), 2u);
    for (size_t piece = 1; piece <= 7; ++piece) {
      const auto cut = h264test::parse_units(data.data(), data.size(), piece);
      ASSERT_EQ(cut.size(), whole.size()) << "piece " << piece;
      for (size_t i = 0; i < cut.size(); ++i) ASSERT_TRUE(cut[i] == whole[i]) << "piece " << piece << " unit " << i;
    }
    ++clips;
  }
  EXPECT_GT(clips, 20);
}

}  // namespace
