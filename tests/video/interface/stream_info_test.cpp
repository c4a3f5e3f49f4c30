// Stream inspection calls: hand-made buffers for the list, class and size
// rules, and real streams: the first video PES of every AVCHD-style stream
// against the committed expectations, the camera user data, and the slice
// class of every access unit of the feature clips.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "AVCHDVideoDecoder.h"
#include "expectations.h"
#include "h264_test_util.h"
#include "parameter_sets.h"
#include "testsupport.h"

namespace {

using h264test::annexb_unit;
using h264test::append;
using h264test::BitWriter;

// A Main-profile SPS: 1920x1080 frames (68 macroblock rows, 4 rows cropped)
// or fields (34 map-unit rows, 2 cropped), with VUI timing; another chroma
// format makes it a High 4:2:2 SPS.
std::vector<uint8_t> sps_rbsp(bool frames, uint32_t id = 0, uint32_t chromaFormat = 1) {
  BitWriter w;
  w.byte(chromaFormat == 1 ? 77 : 122);
  w.bits(0, 8);
  w.byte(40);
  w.ue(id);
  if (chromaFormat != 1) {
    w.ue(chromaFormat);
    w.ue(0);
    w.ue(0);
    w.bit(0);
    w.bit(0);  // no scaling matrices
  }
  w.ue(0);  // log2_max_frame_num_minus4
  w.ue(0);  // pic_order_cnt_type
  w.ue(4);  // log2_max_pic_order_cnt_lsb_minus4
  w.ue(4);  // num_ref_frames
  w.bit(0);
  w.ue(119);
  w.ue(frames ? 67 : 33);
  w.bit(frames ? 1 : 0);
  if (!frames) w.bit(1);  // mb_adaptive_frame_field_flag
  w.bit(1);
  w.bit(1);  // frame_cropping_flag
  w.ue(0);
  w.ue(0);
  w.ue(0);
  w.ue(frames ? 4 : 2);
  w.bit(1);  // vui
  w.bit(0);
  w.bit(0);
  w.bit(0);
  w.bit(0);
  w.bit(1);  // timing
  w.bits(1001, 32);
  w.bits(60000, 32);
  w.bit(0);
  w.bit(0);
  w.bit(0);
  w.bit(0);  // pic_struct_present_flag
  w.bit(0);
  w.trailing();
  return w.bytes();
}

std::vector<uint8_t> pps_rbsp(uint32_t id = 0) {
  BitWriter w;
  w.ue(id);
  w.ue(0);
  w.bit(1);
  w.bit(0);
  w.ue(0);
  w.ue(2);
  w.ue(0);
  w.bit(0);
  w.bits(0, 2);
  w.se(-3);
  w.se(0);
  w.se(-2);
  w.bit(1);
  w.bit(0);
  w.bit(0);
  w.trailing();
  return w.bytes();
}

std::vector<uint8_t> slice_rbsp(uint32_t firstMb, uint32_t sliceType, uint32_t ppsId = 0) {
  BitWriter w;
  w.ue(firstMb);
  w.ue(sliceType);
  w.ue(ppsId);
  w.bits(0x5A5A, 16);
  w.trailing();
  return w.bytes();
}

std::vector<uint8_t> sei_user_data_rbsp(const uint8_t uuid[16], const std::vector<uint8_t>& body) {
  BitWriter w;
  w.byte(5);
  w.byte(static_cast<uint8_t>(16 + body.size()));
  for (int i = 0; i < 16; ++i) w.byte(uuid[i]);
  for (uint8_t b : body) w.byte(b);
  w.trailing();
  return w.bytes();
}

const uint8_t kMdpmUuid[16] = {0x17, 0xEE, 0x8C, 0x60, 0xF8, 0x4D, 0x11, 0xD9,
                               0x8C, 0xD6, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66};

struct InfoList {
  VideoStreamInfo head{};
  ~InfoList() { AVCHDReleaseVideoStreamInfoLib(&head); }
  std::vector<const VideoStreamInfo*> nodes() const {
    std::vector<const VideoStreamInfo*> out;
    for (const VideoStreamInfo* n = &head; n; n = n->pNext) out.push_back(n);
    return out;
  }
};

TEST(StreamInfo, ListsSelectedUnitsInStreamOrder) {
  std::vector<uint8_t> s;
  append(s, annexb_unit(0x67, sps_rbsp(true)));
  append(s, annexb_unit(0x68, pps_rbsp()));
  append(s, annexb_unit(0x06, sei_user_data_rbsp(kMdpmUuid, {'M', 'D', 'P', 'M', 0})));
  append(s, annexb_unit(0x65, slice_rbsp(0, 7)));
  append(s, annexb_unit(0x65, slice_rbsp(4080, 7), false));

  InfoList slices;
  ASSERT_EQ(AVCHDGetVideoStreamInfoLib(&slices.head, s.data(), static_cast<int32_t>(s.size()), kStreamInfoSlices), 0);
  auto nodes = slices.nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0]->nal_unit_type, 5);
  EXPECT_EQ(nodes[0]->nal_ref_idc, 3);
  EXPECT_EQ(nodes[0]->status, 0u);
  EXPECT_EQ(static_cast<const SliceSummary*>(nodes[0]->pPayload)->slice_type, 7);
  EXPECT_EQ(static_cast<const SliceSummary*>(nodes[1]->pPayload)->first_mb_in_slice, 4080u);
  EXPECT_EQ(nodes[1]->length, slice_rbsp(4080, 7).size());

  InfoList all;
  ASSERT_EQ(AVCHDGetVideoStreamInfoLib(&all.head, s.data(), static_cast<int32_t>(s.size()), 7), 0);
  nodes = all.nodes();
  ASSERT_EQ(nodes.size(), 4u);
  const auto* sps = static_cast<const SequenceParameterSetFields*>(nodes[0]->pPayload);
  EXPECT_EQ(sps->profile_idc, 77);
  EXPECT_EQ(sps->chroma_format_idc, 1);
  EXPECT_EQ(sps->ScalingList4x4[5][15], 16);  // flat lists outside High profiles
  EXPECT_EQ(sps->time_scale, 60000u);
  const auto* pps = static_cast<const PictureParameterSetFields*>(nodes[1]->pPayload);
  EXPECT_EQ(pps->num_ref_idx_l0_active_minus1, 2);
  EXPECT_EQ(pps->pic_init_qp_minus26, -3);
  EXPECT_EQ(pps->chroma_qp_index_offset, -2);
}

TEST(StreamInfo, UnselectedUnitsLeaveAFreeNode) {
  std::vector<uint8_t> s;
  append(s, annexb_unit(0x67, sps_rbsp(true)));
  append(s, annexb_unit(0x68, pps_rbsp()));
  append(s, annexb_unit(0x41, slice_rbsp(0, 0)));
  append(s, annexb_unit(0x06, sei_user_data_rbsp(kMdpmUuid, {})));
  InfoList l;
  ASSERT_EQ(AVCHDGetVideoStreamInfoLib(&l.head, s.data(), static_cast<int32_t>(s.size()), kStreamInfoSlices), 0);
  auto nodes = l.nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0]->nal_unit_type, 1);
  EXPECT_EQ(nodes[1]->nal_unit_type, 6);
  EXPECT_EQ(nodes[1]->pPayload, nullptr);

  // No SPS: the head keeps the last unit's header fields and no payload.
  std::vector<uint8_t> noSps;
  append(noSps, annexb_unit(0x68, pps_rbsp()));
  append(noSps, annexb_unit(0x41, slice_rbsp(0, 0)));
  InfoList m;
  EXPECT_EQ(AVCHDGetVideoStreamInfoLib(&m.head, noSps.data(), static_cast<int32_t>(noSps.size()), kStreamInfoSps), 0);
  EXPECT_EQ(m.head.pPayload, nullptr);
  EXPECT_EQ(m.head.pNext, nullptr);
  EXPECT_EQ(m.head.status, 0u);
  EXPECT_EQ(m.head.nal_unit_type, 1);

  // Releasing a bare head, twice, is harmless.
  VideoStreamInfo bare{};
  EXPECT_EQ(AVCHDReleaseVideoStreamInfoLib(&bare), 0);
  EXPECT_EQ(AVCHDReleaseVideoStreamInfoLib(&bare), 0);
}

TEST(StreamInfo, RefusedAndTruncatedUnitsReportStatus) {
  // 4:2:2 High 4:2:2 profile: refused, and handed out as read so that the
  // caller can say why.
  std::vector<uint8_t> s;
  append(s, annexb_unit(0x67, sps_rbsp(true, 0, 2)));
  InfoList l;
  EXPECT_EQ(AVCHDGetVideoStreamInfoLib(&l.head, s.data(), static_cast<int32_t>(s.size()), kStreamInfoSps), 12);
  EXPECT_EQ(l.head.status, 2u);
  ASSERT_NE(l.head.pPayload, nullptr);
  EXPECT_EQ(static_cast<const SequenceParameterSetFields*>(l.head.pPayload)->chroma_format_idc, 2);

  // A slice header cut after first_mb_in_slice.
  std::vector<uint8_t> cut = {0, 0, 1, 0x41, 0x00, 0x00, 0x00, 0x01};
  cut.resize(cut.size() - 4);
  InfoList c;
  EXPECT_EQ(AVCHDGetVideoStreamInfoLib(&c.head, cut.data(), static_cast<int32_t>(cut.size()), kStreamInfoSlices), 0);
  EXPECT_EQ(c.head.status, 1u);
  EXPECT_EQ(AVCHDGetSliceTypeAnnexBLib(cut.data(), static_cast<int32_t>(cut.size())), 8);

  // An SPS cut in the middle: parsed past its end.
  auto full = annexb_unit(0x67, sps_rbsp(true));
  full.resize(10);
  InfoList t;
  AVCHDGetVideoStreamInfoLib(&t.head, full.data(), static_cast<int32_t>(full.size()), kStreamInfoSps);
  EXPECT_EQ(t.head.status, 1u);
  VideoDecoderParams p{};
  p.profile = 0xAB;
  EXPECT_EQ(AVCHDGetVideoDecoderInfoLib(&p, full.data(), static_cast<int32_t>(full.size())), 9);
  EXPECT_EQ(p.profile, 0xAB);  // untouched
}

TEST(StreamInfo, SliceClasses) {
  struct Case {
    uint8_t header;
    uint32_t sliceType;
    int32_t expected;
  } cases[] = {{0x41, 0, 1}, {0x41, 5, 1}, {0x01, 1, 2}, {0x21, 6, 3}, {0x61, 2, 4}, {0x65, 7, 5}, {0x65, 0, 5},
               {0x41, 3, 6}, {0x41, 8, 6}, {0x41, 4, 7}, {0x41, 9, 7}, {0x41, 10, 8}, {0x41, 31, 8}};
  for (const Case& c : cases) {
    std::vector<uint8_t> s;
    append(s, annexb_unit(0x09, {0xF0}));
    append(s, annexb_unit(c.header, slice_rbsp(0, c.sliceType)));
    append(s, annexb_unit(0x41, slice_rbsp(1, 2)));  // only the first slice counts
    EXPECT_EQ(AVCHDGetSliceTypeAnnexBLib(s.data(), static_cast<int32_t>(s.size())), c.expected)
        << "header " << int(c.header) << " slice_type " << c.sliceType;
  }
  const uint8_t nothing[] = {0, 0, 1, 0x09, 0xF0};
  EXPECT_EQ(AVCHDGetSliceTypeAnnexBLib(nothing, sizeof(nothing)), 8);
  EXPECT_EQ(AVCHDGetSliceTypeAnnexBLib(nothing, 0), 8);
  EXPECT_EQ(AVCHDGetSliceTypeAnnexBLib(nullptr, 5), 8);
}

TEST(StreamInfo, DecoderParamsFromFirstSps) {
  for (bool frames : {true, false}) {
    std::vector<uint8_t> s;
    append(s, annexb_unit(0x09, {0xF0}));
    append(s, annexb_unit(0x67, sps_rbsp(frames)));
    append(s, annexb_unit(0x67, sps_rbsp(!frames, 1)));
    VideoDecoderParams p;
    std::memset(&p, 0xEE, sizeof(p));
    ASSERT_EQ(AVCHDGetVideoDecoderInfoLib(&p, s.data(), static_cast<int32_t>(s.size())), 0);
    EXPECT_EQ(p.profile, 77);
    EXPECT_EQ(p.level, 40);
    EXPECT_EQ(p.chromaFormat, 1);
    EXPECT_EQ(p.codedWidth, 1920);
    EXPECT_EQ(p.codedHeight, 1088);
    EXPECT_EQ(p.outputWidth, 1920);
    EXPECT_EQ(p.outputHeight, 1080);
    EXPECT_EQ(p.timeoutMs, 5000u);
    EXPECT_EQ(p.threads, 0);
    EXPECT_EQ(p.outputFormat, 0u);
    EXPECT_EQ(p.flags, 0u);
    EXPECT_EQ(p.reserved[0] | p.reserved[1], 0u);
  }
  std::vector<uint8_t> none;
  append(none, annexb_unit(0x68, pps_rbsp()));
  VideoDecoderParams p{};
  EXPECT_EQ(AVCHDGetVideoDecoderInfoLib(&p, none.data(), static_cast<int32_t>(none.size())), 9);
}

TEST(StreamInfo, UserDataNeedsTheCameraIdentifier) {
  const std::vector<uint8_t> mdpm = {'M', 'D', 'P', 'M', 2, 0xE0, 0x01, 0x03, 0x04, 0x12, 0xF5, 1, 2, 3, 4};
  uint8_t foreign[16];
  std::memcpy(foreign, kMdpmUuid, 16);
  foreign[15] ^= 1;
  std::vector<uint8_t> s;
  append(s, annexb_unit(0x06, sei_user_data_rbsp(foreign, mdpm)));
  VideoUserData out;
  std::memset(&out, 0x77, sizeof(out));
  EXPECT_EQ(AVCHDGetVideoUserDataLib(&out, s.data(), static_cast<int32_t>(s.size())), 1);
  EXPECT_EQ(out.valid, 0x77);  // untouched

  append(s, annexb_unit(0x06, sei_user_data_rbsp(kMdpmUuid, mdpm)));
  ASSERT_EQ(AVCHDGetVideoUserDataLib(&out, s.data(), static_cast<int32_t>(s.size())), 0);
  EXPECT_EQ(out.valid, 1);
  EXPECT_EQ(out.modelTag, 0x0103u);
  EXPECT_EQ(out.modelCode, 0x0412u);
  for (uint32_t w : out.mdpmWords) EXPECT_EQ(w, 0u);  // tag 0xF5 has no slot
}

// ---- Real streams -------------------------------------------------------

const h264test::StreamExpectation* find_expectation(const std::vector<h264test::StreamExpectation>& all,
                                                    const std::string& path) {
  for (const auto& e : all)
    if (e.path == path) return &e;
  return nullptr;
}

void report(const std::vector<std::string>& bad, const char* what) {
  std::string text;
  for (const auto& b : bad) text += "\n  " + b;
  EXPECT_TRUE(bad.empty()) << what << text;
}

const char* const kAvchdStreams[] = {"avchd/small_ac3_20_avchd.m2ts",      "avchd/small_ac3_51_avchd.m2ts",
                                     "avchd/small_lpcm_20_avchd.m2ts",     "avchd/small_lpcm_51_avchd.m2ts",
                                     "avchd/small_mbaff_ac3_20_avchd.m2ts", "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts",
                                     "avchd/camera_header_7packets.mts"};

TEST(StreamInfoStreams, FirstVideoPesOfEachAvchdStream) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  const auto all = h264test::load_expectations();
  for (const char* name : kAvchdStreams) {
    SCOPED_TRACE(name);
    AVCHD_REQUIRE_TESTDATA(path, name);
    const auto pes = h264test::video_pes(testsupport::read_file(path));
    ASSERT_FALSE(pes.empty());
    const auto* expect = find_expectation(all, name);
    ASSERT_NE(expect, nullptr);
    const auto& au = pes[0].data;
    const int32_t size = static_cast<int32_t>(au.size());

    InfoList sps, pps, slices;
    EXPECT_EQ(AVCHDGetVideoStreamInfoLib(&sps.head, au.data(), size, kStreamInfoSps), 0);
    EXPECT_EQ(AVCHDGetVideoStreamInfoLib(&pps.head, au.data(), size, kStreamInfoPps), 0);
    EXPECT_EQ(AVCHDGetVideoStreamInfoLib(&slices.head, au.data(), size, kStreamInfoSlices), 0);
    h264test::EntryCursor spsCursor(*expect, 'S'), ppsCursor(*expect, 'P');
    const h264test::Entry* s = spsCursor.next();
    const h264test::Entry* p = ppsCursor.next();
    ASSERT_TRUE(s && p);
    ASSERT_EQ(sps.head.nal_unit_type, 7);
    ASSERT_EQ(sps.head.status, 0u);
    ASSERT_NE(sps.head.pPayload, nullptr);
    report(h264test::mismatches(*s, [&](const std::string& n, std::string* v) {
             if (n == "nal_ref_idc") return *v = std::to_string(sps.head.nal_ref_idc), true;
             return h264test::sps_field(*static_cast<const SequenceParameterSetFields*>(sps.head.pPayload), n, v);
           }), "SPS");
    ASSERT_EQ(pps.head.nal_unit_type, 8);
    ASSERT_EQ(pps.head.status, 0u);
    // Inspection stops after redundant_pic_cnt_present_flag.
    report(h264test::mismatches(
               *p,
               [&](const std::string& n, std::string* v) {
                 if (n == "nal_ref_idc") return *v = std::to_string(pps.head.nal_ref_idc), true;
                 return h264test::pps_field(*static_cast<const PictureParameterSetFields*>(pps.head.pPayload), n, v);
               },
               {"transform_8x8_mode_flag", "pic_scaling_matrix_present_flag", "second_chroma_qp_index_offset"}),
           "PPS");

    std::vector<const h264test::Entry*> want;
    for (const auto& e : expect->entries)
      if (e.kind == 'L') want.push_back(&e);
    const auto nodes = slices.nodes();
    ASSERT_EQ(nodes.size(), want.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
      const auto* summary = static_cast<const SliceSummary*>(nodes[i]->pPayload);
      ASSERT_NE(summary, nullptr);
      report(h264test::mismatches(*want[i], [&](const std::string& n, std::string* v) {
               if (n == "first_mb_in_slice") return *v = std::to_string(summary->first_mb_in_slice), true;
               if (n == "slice_type") return *v = std::to_string(summary->slice_type), true;
               if (n == "pic_parameter_set_id") return *v = std::to_string(summary->pic_parameter_set_id), true;
               return false;
             }), "slice");
    }
  }
}

struct TimeCode {
  int hours, minutes, seconds, frames;
};

// Undoes the rearrangement of the tag 0x13 bytes and reads their BCD digits.
TimeCode time_code(const VideoUserData& ud) {
  auto outer = [](uint8_t p) { return ((p >> 2) & 3) * 10 + (p >> 4); };  // tens in bits 5..4, units 3..0
  auto inner = [](uint8_t p) { return ((p >> 1) & 7) * 10 + (p >> 4); };  // tens in bits 6..4
  return {outer(ud.packs[3]), inner(ud.packs[2]), inner(ud.packs[1]), outer(ud.packs[0])};
}

int bcd_swapped(uint8_t p) { return (p & 0x0F) * 10 + (p >> 4); }

TEST(StreamInfoStreams, CameraRecordingDateAndModel) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/camera_header_7packets.mts");
  const auto pes = h264test::video_pes(testsupport::read_file(path));
  ASSERT_FALSE(pes.empty());
  VideoUserData ud{};
  ASSERT_EQ(AVCHDGetVideoUserDataLib(&ud, pes[0].data.data(), static_cast<int32_t>(pes[0].data.size())), 0);
  EXPECT_EQ(ud.valid, 1);
  // 2008-12-31 23:16:24
  const int date[7] = {20, 8, 12, 31, 23, 16, 24};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(bcd_swapped(ud.packs[9 + i]), date[i]) << "pack byte " << 9 + i;
  // Time zone: hours in bits 6..3, sign in bit 2, half hour in bit 7.
  EXPECT_EQ((ud.packs[8] >> 3) & 15, 1);
  EXPECT_EQ((ud.packs[8] >> 2) & 1, 0);
  EXPECT_EQ(ud.packs[8] >> 7, 0);
  EXPECT_EQ(ud.modelTag, 0x1011u);
  EXPECT_EQ(ud.modelCode, 0x3000u);
  // No time code in this camera's block.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ud.packs[i], 0);
}

// The AVCHD-style test streams carry the identifier in its mis-split form
// (08 00 20 00 C9 A6 where cameras write 08 00 20 0C 9A 66): both forms are
// camera data, any other identifier is not.
TEST(StreamInfoStreams, CameraIdentifierForms) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_ac3_20_avchd.m2ts");
  auto pes = h264test::video_pes(testsupport::read_file(path));
  ASSERT_FALSE(pes.empty());
  static const uint8_t misSplit[16] = {0x17, 0xEE, 0x8C, 0x60, 0xF8, 0x4D, 0x11, 0xD9,
                                       0x8C, 0xD6, 0x08, 0x00, 0x20, 0x00, 0xC9, 0xA6};
  auto& au = pes[0].data;
  auto at = std::search(au.begin(), au.end(), misSplit, misSplit + 16);
  ASSERT_NE(at, au.end());
  VideoUserData ud{};
  EXPECT_EQ(AVCHDGetVideoUserDataLib(&ud, au.data(), static_cast<int32_t>(au.size())), 0);
  EXPECT_EQ(ud.modelTag, 0x0103u);
  std::copy(kMdpmUuid, kMdpmUuid + 16, at);
  ud = VideoUserData{};
  EXPECT_EQ(AVCHDGetVideoUserDataLib(&ud, au.data(), static_cast<int32_t>(au.size())), 0);
  EXPECT_EQ(ud.modelTag, 0x0103u);
  at[15] ^= 0x01;  // foreign identifier
  EXPECT_EQ(AVCHDGetVideoUserDataLib(&ud, au.data(), static_cast<int32_t>(au.size())), 1);
}

TEST(StreamInfoStreams, AvchdTimeCodesAdvanceInDisplayOrder) {
  for (const char* name : kAvchdStreams) {
    if (std::string(name).find("camera") != std::string::npos) continue;
    SCOPED_TRACE(name);
    AVCHD_REQUIRE_TESTDATA(path, name);
    auto pes = h264test::video_pes(testsupport::read_file(path));
    ASSERT_GT(pes.size(), 10u);
    std::vector<std::pair<int64_t, TimeCode>> codes;
    for (auto& p : pes) {
      VideoUserData ud{};
      ASSERT_EQ(AVCHDGetVideoUserDataLib(&ud, p.data.data(), static_cast<int32_t>(p.data.size())), 0);
      EXPECT_EQ(ud.modelTag, 0x0103u);
      EXPECT_GE(ud.modelCode, 0x0403u);
      EXPECT_LE(ud.modelCode, 0x04FFu);
      codes.emplace_back(p.pts, time_code(ud));
    }
    std::sort(codes.begin(), codes.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < codes.size(); ++i) {
      const TimeCode& a = codes[i - 1].second;
      const TimeCode& b = codes[i].second;
      const int secA = (a.hours * 60 + a.minutes) * 60 + a.seconds;
      const int secB = (b.hours * 60 + b.minutes) * 60 + b.seconds;
      const bool nextFrame = secB == secA && b.frames == a.frames + 1;
      const bool nextSecond = secB == secA + 1 && b.frames <= 2 && a.frames >= 23;
      ASSERT_TRUE(nextFrame || nextSecond) << "picture " << i << ": " << a.hours << ":" << a.minutes << ":"
                                           << a.seconds << "." << a.frames << " then " << b.hours << ":"
                                           << b.minutes << ":" << b.seconds << "." << b.frames;
    }
  }
}

// Access units of an Annex B stream, split where a new primary picture starts.
std::vector<std::pair<size_t, size_t>> access_units(const std::vector<uint8_t>& s) {
  std::vector<std::pair<size_t, size_t>> units;
  size_t auStart = 0;
  bool seenVcl = false;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (!(s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1)) continue;
    const size_t start = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
    const uint8_t type = s[i + 3] & 31;
    const bool vcl = type == 1 || type == 5;
    const bool firstSlice = vcl && i + 4 < s.size() && (s[i + 4] & 0x80) != 0;
    if (seenVcl && ((type >= 6 && type <= 9) || firstSlice)) {
      units.emplace_back(auStart, start);
      auStart = start;
      seenVcl = false;
    }
    seenVcl |= vcl;
    i += 3;
  }
  units.emplace_back(auStart, s.size());
  return units;
}

TEST(StreamInfoStreams, SliceClassOfEveryFeatureClipAccessUnit) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  const auto all = h264test::load_expectations();
  int clips = 0;
  for (const auto& e : all) {
    if (e.classes.empty()) continue;
    SCOPED_TRACE(e.path);
    AVCHD_REQUIRE_TESTDATA(path, e.path);
    const auto data = testsupport::read_file(path);
    std::string classes;
    for (const auto& [from, to] : access_units(data)) {
      classes += std::to_string(AVCHDGetSliceTypeAnnexBLib(data.data() + from, static_cast<int32_t>(to - from)));
    }
    EXPECT_EQ(classes, e.classes);
    ++clips;
  }
  EXPECT_GT(clips, 20);
}

}  // namespace
