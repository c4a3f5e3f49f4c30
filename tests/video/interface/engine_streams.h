// Hand-made Annex B streams for the engine tests: parameter sets and slice
// headers written field by field (the slice data itself is left empty; the
// stand-in stages do not read it).
#pragma once

#include <cstdint>
#include <vector>

#include "h264_test_util.h"

namespace enginetest {

struct StreamShape {
  uint32_t widthMbs = 2;
  uint32_t heightMbs = 2;
  uint32_t numRefFrames = 4;
  uint32_t ppsRefDefaultMinus1 = 0;  // num_ref_idx_l0_default_active_minus1
  uint32_t pocType = 2;
  uint8_t profile = 77;              // Main
  bool fields = false;               // frame_mbs_only_flag 0 (heightMbs counts field rows)
  bool frameNumGaps = false;         // gaps_in_frame_num_value_allowed_flag
  uint32_t chromaFormatIdc = 1;      // written for the High profiles (100 and up)
};

inline std::vector<uint8_t> sps_unit(const StreamShape& s) {
  h264test::BitWriter w;
  w.byte(s.profile);
  w.byte(0);
  w.byte(30);  // level 3.0
  w.ue(0);     // seq_parameter_set_id
  if (s.profile >= 100) {
    w.ue(s.chromaFormatIdc);
    w.ue(0);   // bit_depth_luma_minus8
    w.ue(0);   // bit_depth_chroma_minus8
    w.bit(0);  // qpprime_y_zero_transform_bypass_flag
    w.bit(0);  // seq_scaling_matrix_present_flag
  }
  w.ue(0);     // log2_max_frame_num_minus4
  w.ue(s.pocType);
  if (s.pocType == 0) w.ue(2);  // log2_max_pic_order_cnt_lsb_minus4
  w.ue(s.numRefFrames);
  w.bit(s.frameNumGaps);  // gaps_in_frame_num_value_allowed_flag
  w.ue(s.widthMbs - 1);
  w.ue(s.heightMbs - 1);
  w.bit(!s.fields);  // frame_mbs_only_flag
  if (s.fields) w.bit(0);  // mb_adaptive_frame_field_flag
  w.bit(1);  // direct_8x8_inference_flag
  w.bit(0);  // frame_cropping_flag
  w.bit(0);  // vui_parameters_present_flag
  w.trailing();
  return h264test::annexb_unit(0x67, w.bytes());
}

inline std::vector<uint8_t> pps_unit(const StreamShape& s) {
  h264test::BitWriter w;
  w.ue(0);  // pic_parameter_set_id
  w.ue(0);  // seq_parameter_set_id
  w.bit(0);  // entropy_coding_mode_flag
  w.bit(0);  // bottom_field_pic_order_in_frame_present_flag
  w.ue(0);   // num_slice_groups_minus1
  w.ue(s.ppsRefDefaultMinus1);
  w.ue(0);
  w.bit(0);     // weighted_pred_flag
  w.bits(0, 2);  // weighted_bipred_idc
  w.se(0);
  w.se(0);
  w.se(0);
  w.bit(1);  // deblocking_filter_control_present_flag
  w.bit(0);  // constrained_intra_pred_flag
  w.bit(0);  // redundant_pic_cnt_present_flag
  w.trailing();
  return h264test::annexb_unit(0x68, w.bytes());
}

struct SliceShape {
  bool idr = false;
  uint32_t sliceType = 7;  // 5 P, 6 B, 7 I
  uint32_t frameNum = 0;
  uint32_t firstMb = 0;
  uint8_t refIdc = 2;
  int32_t overrideL0Minus1 = -1;  // -1: no override
  bool noOutputOfPriorPics = false;
  bool longTerm = false;
  uint32_t pocLsb = 0;  // POC type 0 only
  int field = -1;       // -1 frame, 0 top field, 1 bottom field (fields streams)
  int32_t qpDelta = 0;  // slice_qp_delta
};

inline std::vector<uint8_t> slice_unit(const StreamShape& st, const SliceShape& s) {
  h264test::BitWriter w;
  w.ue(s.firstMb);
  w.ue(s.sliceType);
  w.ue(0);  // pic_parameter_set_id
  w.bits(s.frameNum, 4);
  if (st.fields) {
    w.bit(s.field >= 0);  // field_pic_flag
    if (s.field >= 0) w.bit(static_cast<uint32_t>(s.field));
  }
  if (s.idr) w.ue(0);  // idr_pic_id
  if (st.pocType == 0) w.bits(s.pocLsb, 6);
  const uint32_t t = s.sliceType % 5;
  if (t == 1) w.bit(1);  // direct_spatial_mv_pred_flag
  if (t == 0 || t == 1) {
    if (s.overrideL0Minus1 >= 0) {
      w.bit(1);
      w.ue(static_cast<uint32_t>(s.overrideL0Minus1));
      if (t == 1) w.ue(0);
    } else {
      w.bit(0);
    }
    w.bit(0);  // ref_pic_list_modification_flag_l0
    if (t == 1) w.bit(0);
  }
  if (s.refIdc != 0) {
    if (s.idr) {
      w.bit(s.noOutputOfPriorPics);
      w.bit(s.longTerm);
    } else {
      w.bit(0);  // adaptive_ref_pic_marking_mode_flag
    }
  }
  w.se(s.qpDelta);
  w.ue(1);  // disable_deblocking_filter_idc
  w.trailing();
  const uint8_t header = static_cast<uint8_t>((s.refIdc << 5) | (s.idr ? 5 : 1));
  return h264test::annexb_unit(header, w.bytes());
}

inline void add(std::vector<uint8_t>* out, const std::vector<uint8_t>& unit) { out->insert(out->end(), unit.begin(), unit.end()); }

// SPS, PPS and one slice per picture.
inline std::vector<uint8_t> stream_of(const StreamShape& st, const std::vector<SliceShape>& pictures) {
  std::vector<uint8_t> out;
  add(&out, sps_unit(st));
  add(&out, pps_unit(st));
  for (const SliceShape& s : pictures) add(&out, slice_unit(st, s));
  return out;
}

// SPS, PPS, an IDR picture and `count` P pictures (two slices each when
// `twoSlices`), POC type 2.
inline std::vector<uint8_t> ip_stream(const StreamShape& st, uint32_t count, bool twoSlices = false) {
  std::vector<uint8_t> out;
  add(&out, sps_unit(st));
  add(&out, pps_unit(st));
  SliceShape idr;
  idr.idr = true;
  add(&out, slice_unit(st, idr));
  if (twoSlices) {
    idr.firstMb = 2;
    add(&out, slice_unit(st, idr));
  }
  for (uint32_t i = 1; i <= count; ++i) {
    SliceShape p;
    p.sliceType = 5;
    p.frameNum = i & 15;
    add(&out, slice_unit(st, p));
    if (twoSlices) {
      p.firstMb = 2;
      add(&out, slice_unit(st, p));
    }
  }
  return out;
}

}  // namespace enginetest
