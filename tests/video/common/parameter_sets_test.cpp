// Parameter sets and SEI on hand-made RBSPs: version chains and PPS binding,
// scaling-list fall-back rules, refusals and bounds on corrupt values, timing
// keys from buffering period and picture timing, and the camera user data.
#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "expectations.h"
#include "h264_test_util.h"
#include "parameter_sets.h"
#include "sei.h"

namespace {

using h264test::BitWriter;
using h264test::RbspReader;

struct SpsOptions {
  uint8_t profile = 100;
  uint32_t id = 0;
  uint32_t chromaFormat = 1;
  uint32_t bitDepthMinus8 = 0;  // luma and chroma
  bool transformBypass = false;  // qpprime_y_zero_transform_bypass_flag
  uint32_t widthMbs = 22;
  uint32_t heightMapUnits = 18;
  bool frameMbsOnly = true;
  uint32_t log2FrameNumMinus4 = 0;
  uint32_t pocType = 0;
  uint32_t pocCycle = 0;
  bool gaps = false;
  uint32_t cropTop = 0;
  uint32_t cropBottom = 0;
  std::function<void(BitWriter&)> scaling;  // writes the matrices when set
  bool hrd = false;
  uint32_t cpbCntMinus1 = 0;
  bool picStruct = false;
};

std::vector<uint8_t> sps_rbsp(const SpsOptions& o) {
  BitWriter w;
  w.byte(o.profile);
  w.byte(0);
  w.byte(30);
  w.ue(o.id);
  if (o.profile >= 100 || o.profile == 44 || o.profile == 83 || o.profile == 86) {  // the profiles used here
    w.ue(o.chromaFormat);
    if (o.chromaFormat == 3) w.bit(0);  // separate_colour_plane_flag
    w.ue(o.bitDepthMinus8);
    w.ue(o.bitDepthMinus8);
    w.bit(o.transformBypass);
    w.bit(o.scaling ? 1 : 0);
    if (o.scaling) o.scaling(w);
  }
  w.ue(o.log2FrameNumMinus4);
  w.ue(o.pocType);
  if (o.pocType == 0) w.ue(2);
  if (o.pocType == 1) {
    w.bit(0);
    w.se(-1);
    w.se(1);
    w.ue(o.pocCycle);
    for (uint32_t i = 0; i < o.pocCycle && i < 300; ++i) w.se(static_cast<int64_t>(i) - 3);
  }
  w.ue(3);
  w.bit(o.gaps ? 1 : 0);
  w.ue(o.widthMbs - 1);
  w.ue(o.heightMapUnits - 1);
  w.bit(o.frameMbsOnly ? 1 : 0);
  if (!o.frameMbsOnly) w.bit(1);
  w.bit(1);
  const bool crop = o.cropTop || o.cropBottom;
  w.bit(crop ? 1 : 0);
  if (crop) {
    w.ue(0);
    w.ue(0);
    w.ue(o.cropTop);
    w.ue(o.cropBottom);
  }
  const bool vui = o.hrd || o.picStruct;
  w.bit(vui ? 1 : 0);
  if (vui) {
    w.bit(0);
    w.bit(0);
    w.bit(0);
    w.bit(0);
    w.bit(0);
    for (int pass = 0; pass < 2; ++pass) {  // NAL, then VCL HRD
      w.bit(o.hrd ? 1 : 0);
      if (!o.hrd) continue;
      w.ue(o.cpbCntMinus1);
      w.bits(pass, 4);
      w.bits(3, 4);
      for (uint32_t i = 0; i <= o.cpbCntMinus1 && i < 40; ++i) {
        w.ue(1000 + i + pass);
        w.ue(2000 + i);
        w.bit(0);
      }
      w.bits(23, 5);  // initial_cpb_removal_delay_length_minus1
      w.bits(9, 5);   // cpb_removal_delay_length_minus1
      w.bits(5, 5);   // dpb_output_delay_length_minus1
      w.bits(0, 5);
    }
    if (o.hrd) w.bit(0);
    w.bit(o.picStruct ? 1 : 0);
    w.bit(0);
  }
  w.trailing();
  return w.bytes();
}

std::vector<uint8_t> pps_rbsp(uint32_t id, uint32_t spsId, int chromaOffset = 0,
                              std::function<void(BitWriter&)> high = nullptr, uint32_t refL0Minus1 = 0) {
  BitWriter w;
  w.ue(id);
  w.ue(spsId);
  w.bit(1);
  w.bit(0);
  w.ue(0);
  w.ue(refL0Minus1);
  w.ue(0);
  w.bit(0);
  w.bits(0, 2);
  w.se(0);
  w.se(0);
  w.se(chromaOffset);
  w.bit(1);
  w.bit(0);
  w.bit(0);
  if (high) high(w);
  w.trailing();
  return w.bytes();
}

// The shared state plus shorthands for the parsers.
struct Syntax : h264test::SyntaxState {
  int32_t sps(const SpsOptions& o) { return run(sps_rbsp(o), DecodeSequenceParameterSet); }
  int32_t pps(const std::vector<uint8_t>& rbsp) {
    return run(rbsp, [](ThreadBuffer* tb) { return DecodePictureParameterSet(tb, 0); });
  }
  int32_t sei_rbsp(const std::vector<uint8_t>& rbsp) { return run(rbsp, decode_sei_rbsp); }
  int versions(uint32_t id) {
    int n = 0;
    SequenceParameterSet* e = &spsHead;
    while (e && e->seq_parameter_set_id != id) e = e->nextId;
    for (; e; e = e->nextVersion) ++n;
    return n;
  }
};

TEST(ParameterSets, VersionsPerIdAndPpsBinding) {
  Syntax s;
  SpsOptions a;
  ASSERT_EQ(s.sps(a), 0);
  ASSERT_EQ(s.sps(a), 0);  // re-sent unchanged: one version
  EXPECT_EQ(s.versions(0), 1);
  EXPECT_EQ(s.pic.sps, &s.spsHead);
  SpsOptions other;
  other.id = 3;
  ASSERT_EQ(s.sps(other), 0);
  ASSERT_EQ(s.pps(pps_rbsp(0, 0)), 0);
  const PictureParameterSet* p0 = FindPictureParameterSet(&s.ppsHead, 0);
  ASSERT_NE(p0, nullptr);
  EXPECT_EQ(p0->sps, &s.spsHead);

  // A changed SPS 0 at access unit 5: a second version valid from there.
  s.ds.accessUnitCounter = 5;
  SpsOptions bigger = a;
  bigger.widthMbs = 40;
  ASSERT_EQ(s.sps(bigger), 0);
  EXPECT_EQ(s.versions(0), 2);
  const SequenceParameterSet* v2 = FindSequenceParameterSet(&s.spsHead, 0);
  EXPECT_EQ(v2->validFrom, 5u);
  EXPECT_EQ(v2->PicWidthInMbs, 40u);
  EXPECT_EQ(s.pic.sps, v2);
  EXPECT_EQ(FindSequenceParameterSet(&s.spsHead, 3)->seq_parameter_set_id, 3);

  // The same PPS bytes again: it must now reach the new SPS version.
  ASSERT_EQ(s.pps(pps_rbsp(0, 0)), 0);
  EXPECT_EQ(FindPictureParameterSet(&s.ppsHead, 0)->sps, v2);
  EXPECT_EQ(FindPictureParameterSet(&s.ppsHead, 0)->validFrom, 5u);
  // Sent once more unchanged: dropped, no third version.
  ASSERT_EQ(s.pps(pps_rbsp(0, 0)), 0);
  EXPECT_EQ(FindPictureParameterSet(&s.ppsHead, 0)->nextVersion, nullptr);
  EXPECT_EQ(s.ppsHead.nextVersion, FindPictureParameterSet(&s.ppsHead, 0));

  // A PPS stamped before the new version binds to the old one.
  s.ds.accessUnitCounter = 4;
  ASSERT_EQ(s.pps(pps_rbsp(7, 0)), 0);
  EXPECT_EQ(FindPictureParameterSet(&s.ppsHead, 7)->sps, &s.spsHead);
  EXPECT_EQ(s.pps(pps_rbsp(8, 9)), kParamSetNoSps);
}

// The id is read first, from the payload: the highest ids are filed, one
// more is refused before the rest is parsed and leaves the lists alone.
TEST(ParameterSets, HighestIdsFiledAndBeyondRefused) {
  Syntax s;
  SpsOptions o;
  o.id = 31;
  ASSERT_EQ(s.sps(o), 0);
  ASSERT_EQ(s.pps(pps_rbsp(255, 31)), 0);
  EXPECT_EQ(FindSequenceParameterSet(&s.spsHead, 31), &s.spsHead);
  EXPECT_EQ(FindPictureParameterSet(&s.ppsHead, 255), &s.ppsHead);
  o.id = 32;
  EXPECT_EQ(s.sps(o), kParamSetUnsupported);
  EXPECT_EQ(s.pps(pps_rbsp(256, 31)), kParamSetUnsupported);
  EXPECT_EQ(s.spsHead.nextId, nullptr);
  EXPECT_EQ(s.ppsHead.nextId, nullptr);
}

TEST(ParameterSets, MainProfileAndPpsWithoutHighExtension) {
  Syntax s;
  SpsOptions o;
  o.profile = 77;
  ASSERT_EQ(s.sps(o), 0);
  EXPECT_EQ(s.spsHead.chroma_format_idc, 1);
  for (const auto& l : s.spsHead.ScalingList4x4)
    for (uint8_t v : l) EXPECT_EQ(v, 16);
  ASSERT_EQ(s.pps(pps_rbsp(0, 0, -4)), 0);
  EXPECT_EQ(s.ppsHead.transform_8x8_mode_flag, 0);
  EXPECT_EQ(s.ppsHead.second_chroma_qp_index_offset, -4);
  EXPECT_EQ(std::memcmp(s.ppsHead.ScalingList8x8, s.spsHead.ScalingList8x8, 128), 0);
}

// Writes the scaling_list() of `values` (scan order) as deltas.
void write_list(BitWriter& w, const std::vector<int>& values) {
  int last = 8;
  for (int v : values) {
    int d = v - last;
    if (d > 127) d -= 256;
    if (d < -128) d += 256;
    w.se(d);
    last = v;
  }
}

TEST(ParameterSets, ScalingListFallBackRules) {
  const auto zz4 = h264test::zigzag(4);
  const auto zz8 = h264test::zigzag(8);
  auto in_scan = [](const uint8_t* raster, const std::vector<int>& zz) {
    std::vector<int> v;
    for (int pos : zz) v.push_back(raster[pos]);
    return v;
  };
  std::vector<int> ramp4, ramp8;
  for (int i = 0; i < 16; ++i) ramp4.push_back(20 + i);
  for (int i = 0; i < 64; ++i) ramp8.push_back(200 + i / 2);  // first delta -64 reaches 200 modulo 256

  Syntax s;
  SpsOptions o;
  o.scaling = [&](BitWriter& w) {
    w.bit(0);  // list 0: rule A, default intra
    w.bit(1);  // list 1: coded
    write_list(w, ramp4);
    w.bit(0);  // list 2: copy of list 1
    w.bit(1);  // list 3: first delta makes nextScale 0: default inter
    w.se(-8);
    w.bit(0);  // list 4, 5: copies
    w.bit(0);
    w.bit(1);  // 8x8 intra coded
    write_list(w, ramp8);
    w.bit(0);  // 8x8 inter: default
  };
  ASSERT_EQ(s.sps(o), 0);
  const SequenceParameterSet& q = s.spsHead;
  EXPECT_EQ(in_scan(q.ScalingList4x4[0], zz4), h264test::default_list_in_scan_order(0));
  EXPECT_EQ(in_scan(q.ScalingList4x4[1], zz4), ramp4);
  EXPECT_EQ(in_scan(q.ScalingList4x4[2], zz4), ramp4);
  EXPECT_EQ(in_scan(q.ScalingList4x4[3], zz4), h264test::default_list_in_scan_order(1));
  EXPECT_EQ(in_scan(q.ScalingList4x4[5], zz4), h264test::default_list_in_scan_order(1));
  EXPECT_EQ(in_scan(q.ScalingList8x8[0], zz8), ramp8);
  EXPECT_EQ(in_scan(q.ScalingList8x8[1], zz8), h264test::default_list_in_scan_order(3));

  // PPS with its own matrix: rule B takes lists 0 and 3 and the 8x8 lists
  // from the SPS, the others from the previous PPS list.
  std::vector<int> flat17(16, 17);
  ASSERT_EQ(s.pps(pps_rbsp(0, 0, 2, [&](BitWriter& w) {
              w.bit(1);  // transform_8x8_mode_flag
              w.bit(1);  // pic_scaling_matrix_present_flag
              w.bit(0);
              w.bit(0);
              w.bit(0);
              w.bit(0);
              w.bit(1);
              write_list(w, flat17);
              w.bit(0);
              w.bit(0);
              w.bit(0);
              w.se(-3);
            })),
            0);
  const PictureParameterSet& p = s.ppsHead;
  EXPECT_EQ(p.transform_8x8_mode_flag, 1);
  EXPECT_EQ(p.second_chroma_qp_index_offset, -3);
  EXPECT_EQ(std::memcmp(p.ScalingList4x4[0], q.ScalingList4x4[0], 16), 0);
  EXPECT_EQ(std::memcmp(p.ScalingList4x4[1], q.ScalingList4x4[0], 16), 0);
  EXPECT_EQ(std::memcmp(p.ScalingList4x4[3], q.ScalingList4x4[3], 16), 0);
  EXPECT_EQ(in_scan(p.ScalingList4x4[4], zz4), flat17);
  EXPECT_EQ(in_scan(p.ScalingList4x4[5], zz4), flat17);
  EXPECT_EQ(std::memcmp(p.ScalingList8x8, q.ScalingList8x8, 128), 0);

  // Against an SPS without matrices, rule A applies.
  Syntax t;
  ASSERT_EQ(t.sps(SpsOptions()), 0);
  ASSERT_EQ(t.pps(pps_rbsp(0, 0, 0, [&](BitWriter& w) {
              w.bit(1);
              w.bit(1);
              for (int i = 0; i < 8; ++i) w.bit(0);
              w.se(0);
            })),
            0);
  EXPECT_EQ(in_scan(t.ppsHead.ScalingList4x4[2], zz4), h264test::default_list_in_scan_order(0));
  EXPECT_EQ(in_scan(t.ppsHead.ScalingList4x4[4], zz4), h264test::default_list_in_scan_order(1));
  EXPECT_EQ(in_scan(t.ppsHead.ScalingList8x8[1], zz8), h264test::default_list_in_scan_order(3));
}

TEST(ParameterSets, DefaultTablesAndScans) {
  EXPECT_EQ(std::vector<int>(ZIGZAG_SCAN, ZIGZAG_SCAN + 16), h264test::zigzag(4));
  EXPECT_EQ(std::vector<int>(ZIGZAG_SCAN8x8, ZIGZAG_SCAN8x8 + 64), h264test::zigzag(8));
  for (int k = 0; k < 2; ++k) {
    for (int i = 0; i < 16; ++i)
      EXPECT_EQ(default_quant_4x4[k][ZIGZAG_SCAN[i]], h264test::default_list_in_scan_order(k)[i]);
    for (int i = 0; i < 64; ++i)
      EXPECT_EQ(default_quant_8x8[k][ZIGZAG_SCAN8x8[i]], h264test::default_list_in_scan_order(2 + k)[i]);
  }
}

TEST(ParameterSets, UnsupportedStreamsAreRefused) {
  struct Case {
    const char* what;
    std::function<void(SpsOptions&)> change;
    bool staysInList;
  } cases[] = {
      {"4:2:2", [](SpsOptions& o) { o.chromaFormat = 2; }, true},
      {"top cropping", [](SpsOptions& o) { o.cropTop = 2; }, true},
      {"gaps in frame_num", [](SpsOptions& o) { o.gaps = true; }, true},
      {"lossless (transform bypass)", [](SpsOptions& o) { o.transformBypass = true; }, true},
      {"poc cycle above 255", [](SpsOptions& o) { o.pocType = 1, o.pocCycle = 256; }, false},
      {"poc type 3", [](SpsOptions& o) { o.pocType = 3; }, false},
      {"log2_max_frame_num above 16", [](SpsOptions& o) { o.log2FrameNumMinus4 = 13; }, false},
      {"cpb_cnt above 31", [](SpsOptions& o) { o.hrd = true, o.cpbCntMinus1 = 32; }, false},
      {"width beyond 16 bits", [](SpsOptions& o) { o.widthMbs = 4096; }, false},
      {"cropping everything", [](SpsOptions& o) { o.cropBottom = 200; }, false},
  };
  for (const Case& c : cases) {
    Syntax s;
    SpsOptions o;
    c.change(o);
    EXPECT_EQ(s.sps(o), kParamSetUnsupported) << c.what;
    EXPECT_EQ(s.spsHead.seq_parameter_set_id == 0, c.staysInList) << c.what;
  }
  // The largest accepted values.
  Syntax s;
  SpsOptions o;
  o.pocType = 1;
  o.pocCycle = 255;
  o.hrd = true;
  o.cpbCntMinus1 = 31;
  o.log2FrameNumMinus4 = 12;
  ASSERT_EQ(s.sps(o), 0);
  EXPECT_EQ(s.spsHead.num_ref_frames_in_pic_order_cnt_cycle, 255);
  EXPECT_EQ(s.spsHead.offset_for_ref_frame[254], 251);
  EXPECT_EQ(s.spsHead.bit_rate_value_minus1[31], 1032u);  // the VCL block replaced the NAL one
  EXPECT_EQ(s.spsHead.bit_rate_scale, 1);
  EXPECT_EQ(s.spsHead.MaxFrameNum, 65536u);

  // A decoder opened for 352x288 takes no larger picture.
  Syntax opened;
  opened.ds.lumaPitch = 352 + 64;
  opened.ds.lumaHeight = 288;
  EXPECT_EQ(opened.sps(SpsOptions()), 0);
  SpsOptions wide;
  wide.id = 1;
  wide.widthMbs = 23;
  EXPECT_EQ(opened.sps(wide), kParamSetUnsupported);

  // PPS values beyond their fields.
  Syntax p;
  ASSERT_EQ(p.sps(SpsOptions()), 0);
  EXPECT_EQ(p.pps(pps_rbsp(0, 0, 0, nullptr, 32)), kParamSetUnsupported);  // num_ref_idx_l0_active_minus1
  EXPECT_EQ(p.pps(pps_rbsp(0, 0, 13)), kParamSetUnsupported);  // chroma_qp_index_offset
  EXPECT_EQ(p.pps(pps_rbsp(256, 0)), kParamSetUnsupported);
  EXPECT_EQ(p.ppsHead.seq_parameter_set_id, 255);  // nothing entered the list

  // A sequence set cut short overruns and is refused; a picture set cut
  // short (damage at its end) is entered as read, what lies beyond its end
  // absent (0).
  Syntax cut;
  auto cutSps = sps_rbsp(SpsOptions());
  cutSps.resize(5);
  uint32_t overrun = 0;
  EXPECT_EQ(cut.run(cutSps, DecodeSequenceParameterSet, &overrun), kParamSetUnsupported);
  EXPECT_EQ(overrun, 1u);
  EXPECT_EQ(cut.spsHead.seq_parameter_set_id, 255);  // not entered
  ASSERT_EQ(cut.sps(SpsOptions()), 0);
  auto cutPps = pps_rbsp(0, 0);
  cutPps.resize(1);
  EXPECT_EQ(cut.pps(cutPps), kParamSetOk);
  EXPECT_EQ(cut.ppsHead.seq_parameter_set_id, 0);
  EXPECT_EQ(cut.ppsHead.num_slice_groups_minus1, 0);
  EXPECT_EQ(cut.ppsHead.pic_init_qp_minus26, 0);
  EXPECT_EQ(cut.ppsHead.chroma_qp_index_offset, 0);
}

// Every profile whose set codes the chroma format, the bit depths and the
// scaling matrices is read through them to the fields after them. A 4:4:4
// set (with four more 8x8 lists) or one of 10-bit samples is read whole and
// refused for its format, which its refusal code names.
TEST(ParameterSets, EveryProfileCodingTheChromaFormatIsReadThrough) {
  for (uint8_t profile : {44, 83, 86, 100, 110, 118, 122, 128, 134, 135, 138, 139, 144, 244}) {
    Syntax s;
    SpsOptions o;
    o.profile = profile;
    o.widthMbs = 20;
    o.scaling = [](BitWriter& w) {
      for (int i = 0; i < 8; ++i) w.bit(0);
    };
    ASSERT_EQ(s.sps(o), 0) << int(profile);
    EXPECT_EQ(s.spsHead.pic_width_in_mbs_minus1, 19u) << int(profile);
    EXPECT_EQ(s.spsHead.seq_scaling_matrix_present_flag, 1) << int(profile);
  }
  Syntax s444;
  SpsOptions o;
  o.profile = 244;
  o.chromaFormat = 3;
  o.scaling = [](BitWriter& w) {
    for (int i = 0; i < 12; ++i) {
      w.bit(1);
      write_list(w, std::vector<int>(i < 6 ? 16 : 64, 20 + i));
    }
  };
  EXPECT_EQ(s444.sps(o), kParamSetUnsupported);
  EXPECT_EQ(s444.ds.paramSetRefusal, kVideoRefusalChromaFormat | 3 << 8);
  EXPECT_EQ(s444.spsHead.pic_width_in_mbs_minus1, 21u);
  EXPECT_EQ(s444.spsHead.ScalingList8x8[1][63], 27);
  Syntax deep;
  o = SpsOptions();
  o.profile = 110;
  o.bitDepthMinus8 = 2;
  EXPECT_EQ(deep.sps(o), kParamSetUnsupported);
  EXPECT_EQ(deep.ds.paramSetRefusal, kVideoRefusalBitDepth | 10 << 8);
  EXPECT_EQ(deep.spsHead.pic_width_in_mbs_minus1, 21u);
}

// ---- SEI ------------------------------------------------------------------

const uint8_t kMdpmUuid[16] = {0x17, 0xEE, 0x8C, 0x60, 0xF8, 0x4D, 0x11, 0xD9,
                               0x8C, 0xD6, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66};

void message(BitWriter& w, uint32_t type, const std::vector<uint8_t>& body) {
  for (uint32_t t = type; ; t -= 255) {
    if (t < 255) {
      w.byte(static_cast<uint8_t>(t));
      break;
    }
    w.byte(0xFF);
  }
  for (size_t n = body.size(); ; n -= 255) {
    if (n < 255) {
      w.byte(static_cast<uint8_t>(n));
      break;
    }
    w.byte(0xFF);
  }
  for (uint8_t b : body) w.byte(b);
}

// An SEI RBSP of the given messages (type, body).
std::vector<uint8_t> sei_of(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& messages) {
  BitWriter w;
  for (const auto& [type, body] : messages) message(w, type, body);
  w.trailing();
  return w.bytes();
}

std::vector<uint8_t> user_data(const uint8_t uuid[16], const std::vector<uint8_t>& entries, int count = -1) {
  const uint8_t head[5] = {'M', 'D', 'P', 'M',
                           static_cast<uint8_t>(count >= 0 ? count : static_cast<int>(entries.size() / 5))};
  std::vector<uint8_t> b(16 + sizeof head + entries.size());
  std::copy(uuid, uuid + 16, b.begin());
  std::copy(head, head + sizeof head, b.begin() + 16);
  std::copy(entries.begin(), entries.end(), b.begin() + 16 + sizeof head);
  return b;
}

TEST(Sei, CameraUserData) {
  Syntax s;
  uint8_t foreign[16];
  std::memcpy(foreign, kMdpmUuid, 16);
  foreign[0] = 0;
  BitWriter w;
  message(w, 4, std::vector<uint8_t>(300, 0xAB));  // skipped by its size
  message(w, 5, user_data(kMdpmUuid, {0x13, 0x12, 0x34, 0x56, 0x78,  //
                                      0x14, 0x12, 0x34, 0x56, 0x78,  //
                                      0x18, 0x02, 0x20, 0x08, 0x12,  //
                                      0x19, 0x31, 0x23, 0x16, 0x24,  //
                                      0xE0, 0x01, 0x03, 0x04, 0x12,  //
                                      0xE1, 0xDE, 0xAD, 0xBE, 0xEF,  //
                                      0xEF, 1, 2, 3, 4,              //
                                      0xF0, 5, 6, 7, 8,              //
                                      0xFF, 5, 6, 7, 8}));
  message(w, 5, user_data(foreign, {0xE0, 9, 9, 9, 9}));  // a foreign identifier changes nothing
  w.trailing();
  uint32_t overrun = 0;
  EXPECT_EQ(s.run(w.bytes(), decode_sei_rbsp, &overrun), 0);
  EXPECT_EQ(overrun, 0u);
  const VideoUserData& ud = s.fb.userData;
  EXPECT_EQ(ud.valid, 1);
  const uint8_t packs[16] = {0x24, 0x46, 0x6A, 0x8E, 0x21, 0x43, 0x65, 0x87,
                             0x08, 0x02, 0x80, 0x21, 0x13, 0x32, 0x61, 0x42};
  EXPECT_EQ(std::memcmp(ud.packs, packs, 16), 0);
  EXPECT_EQ(ud.modelTag, 0x0103u);
  EXPECT_EQ(ud.modelCode, 0x0412u);
  EXPECT_EQ(ud.mdpmWords[0], 0xDEADBEEFu);
  EXPECT_EQ(ud.mdpmWords[14], 0x01020304u);
  for (int i = 1; i < 14; ++i) EXPECT_EQ(ud.mdpmWords[i], 0u);
}

TEST(Sei, EntryCountBeyondPayloadIsBounded) {
  Syntax s;
  // Claims 40 entries but holds 1; the message after it must still be read.
  EXPECT_EQ(s.sei_rbsp(sei_of({{5, user_data(kMdpmUuid, {0xE0, 0x01, 0x03, 0x04, 0x50}, 40)},
                               {6, {0x80 | 0x40}}})),  // recovery point: ue 0, exact_match 1
            0);
  EXPECT_EQ(s.fb.userData.modelCode, 0x0450u);
  EXPECT_EQ(s.sei.exact_match_flag, 1);
}

std::vector<uint8_t> pic_timing(uint32_t cpbDelay, uint32_t dpbDelay, int picStruct) {
  BitWriter b;
  b.bits(cpbDelay, 10);
  b.bits(dpbDelay, 6);
  if (picStruct >= 0) {
    b.bits(static_cast<uint32_t>(picStruct), 4);
    for (int i = 0; i < NumClockTS_Table[picStruct]; ++i) b.bit(0);
  }
  b.trailing();  // pads the message to whole bytes
  return b.bytes();
}

TEST(Sei, TimingKeysAndFieldCounts) {
  Syntax s;
  SpsOptions o;
  o.hrd = true;
  o.picStruct = true;
  ASSERT_EQ(s.sps(o), 0);
  // Buffering period and picture timing in one access unit: its removal
  // time (base 0 + 6) becomes the base for the following ones.
  BitWriter bp;
  bp.ue(0);
  bp.bits(90000, 24);
  bp.bits(1, 24);
  bp.bits(90001, 24);
  bp.bits(2, 24);
  bp.trailing();
  EXPECT_EQ(s.sei_rbsp(sei_of({{0, bp.bytes()}, {1, pic_timing(6, 4, 0)}})), 0);
  EXPECT_EQ(s.sei.initial_cpb_removal_delay[0], 90001u);  // VCL values in the NAL slots
  EXPECT_EQ(s.sei.initial_cpb_removal_delay_offset[0], 2u);
  EXPECT_EQ(s.pic.hasPicTiming, 1);
  EXPECT_EQ(s.pic.decodeKey, 6);
  EXPECT_EQ(s.pic.outputKey, 10);
  EXPECT_EQ(s.fb.key, 10u);
  EXPECT_EQ(s.ds.removalTimeBase, 6);
  EXPECT_EQ(s.ds.bufferingPeriodSeen, 0);

  const int ticks[9] = {2, 2, 2, 2, 2, 2, 2, 4, 6};
  for (int ps = 0; ps <= 8; ++ps) {
    s.sei_rbsp(sei_of({{1, pic_timing(2, 3, ps)}}));
    EXPECT_EQ(s.fb.outputTicks, ticks[ps]) << ps;
    EXPECT_EQ(s.pic.outputTicks, ticks[ps]) << ps;
    EXPECT_EQ(s.sei.NumClockTS, NumClockTS_Table[ps]);
    EXPECT_EQ(s.pic.outputKey, 11);  // base 6 + 2 + 3
  }
  // Decode-order output ignores dpb_output_delay.
  s.ds.decodeOrderOutput = 1;
  s.sei_rbsp(sei_of({{1, pic_timing(2, 3, 0)}}));
  EXPECT_EQ(s.pic.outputKey, 8);

  // Without an SPS, timing is skipped and what follows is still read.
  Syntax none;
  none.sei_rbsp(sei_of({{1, pic_timing(2, 3, 0)}, {5, user_data(kMdpmUuid, {0xE0, 0x01, 0x03, 0x04, 0x12})}}));
  EXPECT_EQ(none.pic.hasPicTiming, 0);
  EXPECT_EQ(none.fb.userData.modelCode, 0x0412u);
}

TEST(Sei, ClockTimestamps) {
  SequenceParameterSet sps;
  std::memset(static_cast<void*>(&sps), 0, sizeof(sps));
  sps.pic_struct_present_flag = 1;
  sps.time_offset_length = 5;
  BitWriter w;
  w.bits(3, 4);  // pic_struct 3: two timestamps
  w.bit(1);      // full timestamp
  w.bits(1, 2);
  w.bit(0);
  w.bits(4, 5);
  w.bit(1);
  w.bit(0);
  w.bit(0);
  w.bits(12, 8);
  w.bits(59, 6);
  w.bits(58, 6);
  w.bits(23, 5);
  w.bits(0x1F, 5);  // time_offset -1
  w.bit(1);         // partial timestamp: seconds only
  w.bits(0, 2);
  w.bit(1);
  w.bits(0, 5);
  w.bit(0);
  w.bit(0);
  w.bit(1);
  w.bits(7, 8);
  w.bit(1);
  w.bits(30, 6);
  w.bit(0);  // no minutes: minutes and hours cleared
  w.bits(3, 5);
  w.trailing();
  RbspReader r(w.bytes());
  SeiRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  ASSERT_EQ(decode_pic_timing(&r.r, &sps, &rec), 0);
  EXPECT_EQ(rec.NumClockTS, 2);
  EXPECT_EQ(rec.clock_timestamp_flag[0], 1);
  EXPECT_EQ(rec.clock_timestamp_flag[1], 1);
  EXPECT_EQ(rec.n_frames, 7);
  EXPECT_EQ(rec.seconds_value, 30);
  EXPECT_EQ(rec.minutes_value, 0);
  EXPECT_EQ(rec.hours_value, 0);
  EXPECT_EQ(rec.cnt_dropped_flag, 1);
  EXPECT_EQ(rec.time_offset, 3);
  EXPECT_EQ(r.r.overrun, 0u);
  EXPECT_EQ(decode_pic_timing(&r.r, nullptr, &rec), 2);
}

}  // namespace
