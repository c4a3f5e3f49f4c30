// Sequence and picture parameter sets: records, version lists and parsers.
// Each id keeps a chain of versions stamped with the access-unit counter from
// which they are valid, so pictures already queued keep the set they were
// parsed with while a new one arrives.
#pragma once

#include <cstdint>

#include "bitstream.h"

// The fields of a sequence parameter set as coded (H.264 seq_parameter_set_rbsp
// with its VUI); this block is what the stream inspection call hands out.
struct SequenceParameterSetFields {
  uint8_t profile_idc;
  uint8_t constraint_set0_flag;
  uint8_t constraint_set1_flag;
  uint8_t constraint_set2_flag;
  uint8_t constraint_set3_flag;
  uint8_t reserved_zero_4bits;
  uint8_t level_idc;
  uint8_t seq_parameter_set_id;  // 255 in an empty list head
  uint8_t chroma_format_idc;     // 1 when not coded
  uint8_t separate_colour_plane_flag;
  uint8_t bit_depth_luma_minus8;
  uint8_t bit_depth_chroma_minus8;
  uint8_t qpprime_y_zero_transform_bypass_flag;
  uint8_t seq_scaling_matrix_present_flag;
  uint8_t seq_scaling_list_present_flag[8];
  uint8_t ScalingList4x4[6][16];  // raster order
  uint8_t ScalingList8x8[2][64];  // raster order
  uint8_t log2_max_frame_num;     // log2_max_frame_num_minus4 + 4
  uint8_t pic_order_cnt_type;
  uint8_t log2_max_pic_order_cnt_lsb_minus4;
  uint8_t delta_pic_order_always_zero_flag;
  int32_t offset_for_non_ref_pic;
  int32_t offset_for_top_to_bottom_field;
  uint8_t num_ref_frames_in_pic_order_cnt_cycle;
  int32_t offset_for_ref_frame[256];
  uint32_t num_ref_frames;
  uint8_t gaps_in_frame_num_value_allowed_flag;
  uint32_t pic_width_in_mbs_minus1;
  uint32_t pic_height_in_map_units_minus1;
  uint8_t frame_mbs_only_flag;
  uint8_t mb_adaptive_frame_field_flag;
  uint8_t direct_8x8_inference_flag;
  uint8_t frame_cropping_flag;
  uint32_t frame_crop_left_offset;
  uint32_t frame_crop_right_offset;
  uint32_t frame_crop_top_offset;
  uint32_t frame_crop_bottom_offset;
  uint8_t vui_parameters_present_flag;
  uint8_t aspect_ratio_info_present_flag;
  uint8_t aspect_ratio_idc;
  uint16_t sar_width;
  uint16_t sar_height;
  uint8_t overscan_info_present_flag;
  uint8_t overscan_appropriate_flag;
  uint8_t video_signal_type_present_flag;
  uint8_t video_format;
  uint8_t video_full_range_flag;
  uint8_t colour_description_present_flag;
  uint8_t colour_primaries;
  uint8_t transfer_characteristics;
  uint8_t matrix_coefficients;
  uint8_t chroma_loc_info_present_flag;
  uint8_t chroma_sample_loc_type_top_field;
  uint8_t chroma_sample_loc_type_bottom_field;
  uint8_t timing_info_present_flag;
  uint32_t num_units_in_tick;
  uint32_t time_scale;
  uint8_t fixed_frame_rate_flag;
  uint8_t nal_hrd_parameters_present_flag;
  // One HRD block: VCL parameters, when present, overwrite the NAL ones.
  uint8_t cpb_cnt_minus1;
  uint8_t bit_rate_scale;
  uint8_t cpb_size_scale;
  uint32_t bit_rate_value_minus1[32];
  uint32_t cpb_size_value_minus1[32];
  uint8_t cbr_flag[32];
  uint8_t initial_cpb_removal_delay_length_minus1;
  uint8_t cpb_removal_delay_length_minus1;
  uint8_t dpb_output_delay_length_minus1;
  uint8_t time_offset_length;
  uint8_t vcl_hrd_parameters_present_flag;
  uint8_t low_delay_hrd_flag;
  uint8_t pic_struct_present_flag;
  uint8_t bitstream_restriction_flag;
  uint8_t motion_vectors_over_pic_boundaries_flag;
  uint8_t max_bytes_per_pic_denom;
  uint8_t max_bits_per_mb_denom;
  uint8_t log2_max_mv_length_horizontal;
  uint8_t log2_max_mv_length_vertical;
  uint32_t num_reorder_frames;
  uint32_t max_dec_frame_buffering;
};

// One version of a sequence parameter set: the coded fields, then the values
// derived from them and the list links.
struct SequenceParameterSet : SequenceParameterSetFields {
  uint32_t MaxFrameNum;
  uint32_t MaxPicOrderCntLsb;
  uint32_t PicWidthInMbs;
  uint32_t FrameHeightInMbs;
  uint32_t validFrom;                 // access-unit counter when parsed
  SequenceParameterSet* nextVersion;  // next version of the same id
  SequenceParameterSet* nextId;       // first version of the next id
};

struct PictureParameterSetFields {
  uint8_t pic_parameter_set_id;
  uint8_t seq_parameter_set_id;  // 255 in an empty list head
  uint8_t entropy_coding_mode_flag;
  uint8_t pic_order_present_flag;
  uint8_t num_slice_groups_minus1;
  uint8_t num_ref_idx_l0_active_minus1;
  uint8_t num_ref_idx_l1_active_minus1;
  uint8_t weighted_pred_flag;
  uint8_t weighted_bipred_idc;
  int8_t pic_init_qp_minus26;
  int8_t pic_init_qs_minus26;
  int8_t chroma_qp_index_offset;
  uint8_t deblocking_filter_control_present_flag;
  uint8_t constrained_intra_pred_flag;
  uint8_t redundant_pic_cnt_present_flag;
  uint8_t transform_8x8_mode_flag;
  uint8_t pic_scaling_matrix_present_flag;
  uint8_t pic_scaling_list_present_flag[8];
  uint8_t ScalingList4x4[6][16];  // raster order
  uint8_t ScalingList8x8[2][64];  // raster order
  int8_t second_chroma_qp_index_offset;
};

struct PictureParameterSetLinks {
  SequenceParameterSet* sps;          // the SPS version it refers to
  uint32_t validFrom;
  struct PictureParameterSet* nextVersion;
  struct PictureParameterSet* nextId;
};

// One version of a picture parameter set: its links, then the coded fields.
struct PictureParameterSet : PictureParameterSetLinks, PictureParameterSetFields {};

// Result codes of the parameter-set parsers.
enum : int32_t {
  kParamSetOk = 0,
  kParamSetNoMemory = 1,
  kParamSetNoSps = 2,
  kParamSetUnsupported = 12,
};

// Parses the SPS RBSP at the reader into the decoder state's SPS list (the
// ThreadBuffer's decoderState supplies the list head, the access-unit counter
// and the access unit being assembled). 0, 12 (also for a set that ran past
// its NAL unit, which never enters the list), or 1 when no memory was left.
int32_t DecodeSequenceParameterSet(ThreadBuffer* tb);

// Parses a PPS RBSP into the PPS list: 0, 2 (no SPS with its id), 12 or 1. With
// `inspect` set it parses into the list head itself, without SPS lookup or
// versioning, and stops after redundant_pic_cnt_present_flag.
int32_t DecodePictureParameterSet(ThreadBuffer* tb, uint32_t inspect);

// Scaling matrices of a set (part of the two parsers).
void seq_param_scaling_list(BitReaderCabac* r, SequenceParameterSet* sps);
void pic_param_scaling_list(BitReaderCabac* r, PictureParameterSet* pps);

// Marks a record as an empty list head.
void InitSequenceParameterSetHead(SequenceParameterSet* head);
void InitPictureParameterSetHead(PictureParameterSet* head);

// Frees every record behind a list head (every id and every version) and
// empties the head; the head itself stays.
void FreeSequenceParameterSets(SequenceParameterSet* head);
void FreePictureParameterSets(PictureParameterSet* head);

// Newest version of an id, or null.
SequenceParameterSet* FindSequenceParameterSet(SequenceParameterSet* head, uint32_t id);
PictureParameterSet* FindPictureParameterSet(PictureParameterSet* head, uint32_t id);

// Frame scans of 4x4 and 8x8 blocks (scan index to raster index) and the
// default scaling lists (intra then inter), in raster order.
extern const uint8_t ZIGZAG_SCAN[16];
extern const uint8_t ZIGZAG_SCAN8x8[64];
extern const uint8_t default_quant_4x4[2][16];
extern const uint8_t default_quant_8x8[2][64];
