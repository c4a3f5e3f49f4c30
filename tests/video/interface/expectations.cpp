#include "expectations.h"

#include <sstream>

#include "testsupport.h"

namespace h264test {

std::vector<StreamExpectation> load_expectations() {
  std::vector<StreamExpectation> out;
  std::istringstream text(testsupport::read_text(testsupport::local_data_file("h264syntax/expectations.txt")));
  std::string line;
  while (std::getline(text, line)) {
    if (line.size() < 2) continue;
    std::istringstream words(line.substr(2));
    if (line[0] == 'F') {
      out.emplace_back();
      words >> out.back().path;
      continue;
    }
    if (out.empty()) continue;
    if (line[0] == 'C') {
      words >> out.back().classes;
      continue;
    }
    Entry e;
    e.kind = line[0];
    if (e.kind != 'L') words >> e.count;
    std::string field;
    while (words >> field) {
      const size_t eq = field.find('=');
      if (eq != std::string::npos) e.fields.emplace_back(field.substr(0, eq), field.substr(eq + 1));
    }
    out.back().entries.push_back(std::move(e));
  }
  return out;
}

EntryCursor::EntryCursor(const StreamExpectation& s, char kind) {
  for (const Entry& e : s.entries)
    if (e.kind == kind) entries_.push_back(&e);
}

const Entry* EntryCursor::next() {
  while (index_ < entries_.size() && used_ >= entries_[index_]->count) {
    ++index_;
    used_ = 0;
  }
  if (index_ >= entries_.size()) return nullptr;
  ++used_;
  return entries_[index_];
}

int EntryCursor::remaining() const {
  int n = 0;
  for (size_t i = index_; i < entries_.size(); ++i) n += entries_[i]->count - (i == index_ ? used_ : 0);
  return n;
}

std::pair<std::string, int> split_index(const std::string& name) {
  const size_t open = name.find('[');
  if (open == std::string::npos) return {name, -1};
  return {name.substr(0, open), std::stoi(name.substr(open + 1))};
}

}  // namespace h264test

#include <functional>

#include "parameter_sets.h"
#include "sei.h"

namespace h264test {

std::vector<int> zigzag(int n) {
  std::vector<int> scan;
  for (int d = 0; d <= 2 * (n - 1); ++d) {
    const int lo = d < n ? 0 : d - n + 1;
    const int hi = d < n ? d : n - 1;
    if (d % 2 == 0) {
      for (int row = hi; row >= lo; --row) scan.push_back(row * n + (d - row));
    } else {
      for (int row = lo; row <= hi; ++row) scan.push_back(row * n + (d - row));
    }
  }
  return scan;
}

const std::vector<int>& default_list_in_scan_order(int which) {
  static const std::vector<int> lists[4] = {
      {6, 13, 13, 20, 20, 20, 28, 28, 28, 28, 32, 32, 32, 37, 37, 42},
      {10, 14, 14, 20, 20, 20, 24, 24, 24, 24, 27, 27, 27, 30, 30, 34},
      {6,  10, 10, 13, 11, 13, 16, 16, 16, 16, 18, 18, 18, 18, 18, 23, 23, 23, 23, 23, 23, 25,
       25, 25, 25, 25, 25, 25, 27, 27, 27, 27, 27, 27, 27, 27, 29, 29, 29, 29, 29, 29, 29, 31,
       31, 31, 31, 31, 31, 33, 33, 33, 33, 33, 36, 36, 36, 36, 38, 38, 38, 40, 40, 42},
      {9,  13, 13, 15, 13, 15, 17, 17, 17, 17, 19, 19, 19, 19, 19, 21, 21, 21, 21, 21, 21, 22,
       22, 22, 22, 22, 22, 22, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 27,
       27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 30, 30, 30, 30, 32, 32, 32, 33, 33, 35}};
  return lists[which];
}

namespace {

using Getter = std::function<int64_t(int index)>;

std::string join(const std::vector<int>& values) {
  std::string text;
  for (int v : values) text += (text.empty() ? "" : ",") + std::to_string(v);
  return text;
}

// A raster-order list in scan order.
std::string scaling_list_text(const uint8_t* raster, int i) {
  std::vector<int> values;
  for (int pos : zigzag(i < 6 ? 4 : 8)) values.push_back(raster[pos]);
  return join(values);
}

bool lookup(const std::map<std::string, Getter>& table, const std::string& name, std::string* value) {
  const auto [base, index] = split_index(name);
  const auto it = table.find(base);
  if (it == table.end()) return false;
  *value = std::to_string(it->second(index < 0 ? 0 : index));
  return true;
}

#define FIELD(rec, name) {#name, [&](int) -> int64_t { return rec.name; }}
#define ARRAY(rec, name, size) {#name, [&](int i) -> int64_t { return i < (size) ? rec.name[i] : -1; }}

}  // namespace

std::string default_list_text(int i) {
  return join(default_list_in_scan_order(i < 6 ? (i < 3 ? 0 : 1) : (i == 6 ? 2 : 3)));
}

bool sps_field(const SequenceParameterSetFields& s, const std::string& name, std::string* value) {
  if (name.rfind("sl[", 0) == 0) {
    const int i = split_index(name).second;
    const uint8_t* raster = i < 6 ? s.ScalingList4x4[i] : s.ScalingList8x8[i - 6];
    *value = scaling_list_text(raster, i);
    return true;
  }
  const std::map<std::string, Getter> table = {
      FIELD(s, profile_idc), FIELD(s, constraint_set0_flag), FIELD(s, constraint_set1_flag),
      FIELD(s, constraint_set2_flag), FIELD(s, constraint_set3_flag),
      // The four bits after constraint_set3_flag, as one field here.
      {"constraint_set4_flag", [&](int) -> int64_t { return (s.reserved_zero_4bits >> 3) & 1; }},
      {"constraint_set5_flag", [&](int) -> int64_t { return (s.reserved_zero_4bits >> 2) & 1; }},
      {"reserved_zero_2bits", [&](int) -> int64_t { return s.reserved_zero_4bits & 3; }},
      FIELD(s, level_idc), FIELD(s, seq_parameter_set_id), FIELD(s, chroma_format_idc),
      FIELD(s, separate_colour_plane_flag), FIELD(s, bit_depth_luma_minus8), FIELD(s, bit_depth_chroma_minus8),
      FIELD(s, qpprime_y_zero_transform_bypass_flag), FIELD(s, seq_scaling_matrix_present_flag),
      ARRAY(s, seq_scaling_list_present_flag, 8),
      {"log2_max_frame_num_minus4", [&](int) -> int64_t { return s.log2_max_frame_num - 4; }},
      FIELD(s, pic_order_cnt_type), FIELD(s, log2_max_pic_order_cnt_lsb_minus4),
      FIELD(s, delta_pic_order_always_zero_flag), FIELD(s, offset_for_non_ref_pic),
      FIELD(s, offset_for_top_to_bottom_field), FIELD(s, num_ref_frames_in_pic_order_cnt_cycle),
      ARRAY(s, offset_for_ref_frame, 256), {"max_num_ref_frames", [&](int) -> int64_t { return s.num_ref_frames; }},
      {"gaps_in_frame_num_allowed_flag", [&](int) -> int64_t { return s.gaps_in_frame_num_value_allowed_flag; }},
      FIELD(s, pic_width_in_mbs_minus1), FIELD(s, pic_height_in_map_units_minus1), FIELD(s, frame_mbs_only_flag),
      FIELD(s, mb_adaptive_frame_field_flag), FIELD(s, direct_8x8_inference_flag), FIELD(s, frame_cropping_flag),
      FIELD(s, frame_crop_left_offset), FIELD(s, frame_crop_right_offset), FIELD(s, frame_crop_top_offset),
      FIELD(s, frame_crop_bottom_offset), FIELD(s, vui_parameters_present_flag),
      FIELD(s, aspect_ratio_info_present_flag), FIELD(s, aspect_ratio_idc), FIELD(s, sar_width),
      FIELD(s, sar_height), FIELD(s, overscan_info_present_flag), FIELD(s, overscan_appropriate_flag),
      FIELD(s, video_signal_type_present_flag), FIELD(s, video_format), FIELD(s, video_full_range_flag),
      FIELD(s, colour_description_present_flag), FIELD(s, colour_primaries), FIELD(s, transfer_characteristics),
      FIELD(s, matrix_coefficients), FIELD(s, chroma_loc_info_present_flag),
      FIELD(s, chroma_sample_loc_type_top_field), FIELD(s, chroma_sample_loc_type_bottom_field),
      FIELD(s, timing_info_present_flag), FIELD(s, num_units_in_tick), FIELD(s, time_scale),
      FIELD(s, fixed_frame_rate_flag), FIELD(s, nal_hrd_parameters_present_flag), FIELD(s, cpb_cnt_minus1),
      FIELD(s, bit_rate_scale), FIELD(s, cpb_size_scale), ARRAY(s, bit_rate_value_minus1, 32),
      ARRAY(s, cpb_size_value_minus1, 32), ARRAY(s, cbr_flag, 32),
      FIELD(s, initial_cpb_removal_delay_length_minus1), FIELD(s, cpb_removal_delay_length_minus1),
      FIELD(s, dpb_output_delay_length_minus1), FIELD(s, time_offset_length),
      FIELD(s, vcl_hrd_parameters_present_flag), FIELD(s, low_delay_hrd_flag), FIELD(s, pic_struct_present_flag),
      FIELD(s, bitstream_restriction_flag), FIELD(s, motion_vectors_over_pic_boundaries_flag),
      FIELD(s, max_bytes_per_pic_denom), FIELD(s, max_bits_per_mb_denom), FIELD(s, log2_max_mv_length_horizontal),
      FIELD(s, log2_max_mv_length_vertical),
      {"max_num_reorder_frames", [&](int) -> int64_t { return s.num_reorder_frames; }},
      FIELD(s, max_dec_frame_buffering)};
  return lookup(table, name, value);
}

bool pps_field(const PictureParameterSetFields& p, const std::string& name, std::string* value) {
  if (name.rfind("sl[", 0) == 0) {
    const int i = split_index(name).second;
    const uint8_t* raster = i < 6 ? p.ScalingList4x4[i] : p.ScalingList8x8[i - 6];
    *value = scaling_list_text(raster, i);
    return true;
  }
  const std::map<std::string, Getter> table = {
      FIELD(p, pic_parameter_set_id), FIELD(p, seq_parameter_set_id), FIELD(p, entropy_coding_mode_flag),
      {"bottom_field_pic_order_in_frame_present_flag", [&](int) -> int64_t { return p.pic_order_present_flag; }},
      FIELD(p, num_slice_groups_minus1),
      {"num_ref_idx_l0_default_active_minus1", [&](int) -> int64_t { return p.num_ref_idx_l0_active_minus1; }},
      {"num_ref_idx_l1_default_active_minus1", [&](int) -> int64_t { return p.num_ref_idx_l1_active_minus1; }},
      FIELD(p, weighted_pred_flag), FIELD(p, weighted_bipred_idc), FIELD(p, pic_init_qp_minus26),
      FIELD(p, pic_init_qs_minus26), FIELD(p, chroma_qp_index_offset), FIELD(p, deblocking_filter_control_present_flag),
      FIELD(p, constrained_intra_pred_flag), FIELD(p, redundant_pic_cnt_present_flag),
      FIELD(p, transform_8x8_mode_flag), FIELD(p, pic_scaling_matrix_present_flag),
      ARRAY(p, pic_scaling_list_present_flag, 8), FIELD(p, second_chroma_qp_index_offset)};
  return lookup(table, name, value);
}

bool sei_field(const SeiRecord& r, const std::string& name, std::string* value) {
  // Per-timestamp fields hold the last clock timestamp read.
  const std::map<std::string, Getter> table = {
      FIELD(r, seq_parameter_set_id), ARRAY(r, initial_cpb_removal_delay, 32),
      ARRAY(r, initial_cpb_removal_delay_offset, 32), FIELD(r, cpb_removal_delay), FIELD(r, dpb_output_delay),
      FIELD(r, pic_struct), ARRAY(r, clock_timestamp_flag, 3), FIELD(r, ct_type), FIELD(r, nuit_field_based_flag),
      FIELD(r, counting_type), FIELD(r, full_timestamp_flag), FIELD(r, discontinuity_flag),
      FIELD(r, cnt_dropped_flag), FIELD(r, n_frames), FIELD(r, seconds_value), FIELD(r, minutes_value),
      FIELD(r, hours_value), FIELD(r, seconds_flag), FIELD(r, minutes_flag), FIELD(r, hours_flag),
      FIELD(r, time_offset), FIELD(r, recovery_frame_cnt), FIELD(r, exact_match_flag), FIELD(r, broken_link_flag),
      FIELD(r, changing_slice_group_idc)};
  return lookup(table, name, value);
}

#undef FIELD
#undef ARRAY

}  // namespace h264test
