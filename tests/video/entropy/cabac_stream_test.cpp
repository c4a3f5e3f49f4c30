// Real CABAC streams through the slice-data walk: every slice of every
// picture is parsed (no reconstruction is needed to parse), and each
// picture's macroblock QPs and type classes (skips told apart), in display
// order, must equal the reference decoder's (tests/data/cabac, made by
// make.sh). Every slice must end exactly on its stop bit. The conformance
// streams bring cabac_init_idc 1 and 2 (CANL4, HCAFR*, FRExt3_P), 8x8
// transforms under both, and several slices per picture; together they
// check every context group's initialisation values and index map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cabac_stream_parse.h"
#include "testsupport.h"

using cabacstream::parse_stream;
using cabacstream::ParsedPicture;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    v.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return v;
}

class CabacStreams : public ::testing::TestWithParam<const char*> {};

TEST_P(CabacStreams, MacroblockTypesAndQpsMatchTheReference) {
  const std::string rel = GetParam();
  const std::string name = rel.substr(rel.find('/') + 1, rel.rfind('.') - rel.find('/') - 1);
  const std::string path =
      rel.compare(0, 6, "cabac/") == 0 ? testsupport::local_data_file(rel) : testsupport::testdata_file(rel);
  if (path.empty() || !std::ifstream(path)) GTEST_SKIP() << "test material missing: " << rel;
  if (rel.rfind("h264-features/", 0) == 0) AVCHD_REQUIRE_SHARED_MATERIAL();
  const std::vector<uint8_t> file = testsupport::read_file(path);
  int failed = 0;
  const std::vector<ParsedPicture> pics = parse_stream(file, &failed);
  EXPECT_EQ(failed, 0);
  const std::vector<std::string> qp = lines(testsupport::read_text(testsupport::local_data_file("cabac/" + name + ".qp")));
  const std::vector<std::string> types =
      lines(testsupport::read_text(testsupport::local_data_file("cabac/" + name + ".types")));
  ASSERT_EQ(pics.size(), qp.size());
  for (size_t i = 0; i < pics.size(); ++i) {
    EXPECT_EQ(pics[i].qp, qp[i]) << "picture " << i;
    EXPECT_EQ(pics[i].types, types[i]) << "picture " << i;
    if (pics[i].qp != qp[i]) break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Features, CabacStreams,
    ::testing::Values("h264-features/02_cabac_main.264", "h264-features/03_cabac_high_8x8.264",
                      "h264-features/05_bpyramid_normal.264", "h264-features/11_multiref8.264",
                      "h264-features/12_slices4.264", "h264-features/18_constrained_intra.264",
                      "h264-features/21_ipcm_cabac.264", "h264-features/09_direct_spatial.264",
                      "h264-features/10_direct_temporal.264", "cabac/mbaff_luma.264",
                      "h264-features/06_bpyramid_strict.264", "h264-features/07_weightp.264", "h264-features/08_weightp_weightb_impl.264",
                      "h264-features/17_fake_interlaced.264", "h264-features/19_cqm_jvt.264", "h264-features/20_cqm_custom.264",
                      "h264-features/24_noise_lowqp_cabac.264", "h264-features/26_mandelbrot_320x240.264", "h264-features/27_crop_320x180.264",
                      "h264-features/28_deblock_offsets.264", "h264-features/29_no_deblock.264", "h264-features/31_p_ref3_nommco.264",
                      "h264-features/40_explicit_b_cabac.264", "h264-features/41_explicit_b_pyramid.264"));
INSTANTIATE_TEST_SUITE_P(
    Conformance, CabacStreams,
    ::testing::Values("h264-conformance/CABA1_SVA_B.264", "h264-conformance/CABA2_SVA_B.264",
                      "h264-conformance/CABA3_SVA_B.264", "h264-conformance/CANL1_SVA_B.264",
                      "h264-conformance/CANL2_SVA_B.264", "h264-conformance/CANL3_SVA_B.264",
                      "h264-conformance/CANL4_SVA_B.264", "h264-conformance/HCAFR1_HHI.264",
                      "h264-conformance/HCAFR2_HHI.264", "h264-conformance/HCAFR3_HHI.264",
                      "h264-conformance/HCAFR4_HHI.264", "h264-conformance/FRExt3_P.avc"));

}  // namespace
