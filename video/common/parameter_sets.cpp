// Sequence and picture parameter sets: parsing (H.264 seq_parameter_set_rbsp
// with VUI and HRD, pic_parameter_set_rbsp, scaling lists) and the per-id
// version lists.
#include "parameter_sets.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "annexb.h"
#include "decoder_state.h"

namespace {

constexpr uint32_t kEmptyId = 255;
// Largest picture side, in macroblocks, whose luma size fits 16 bits.
constexpr uint32_t kMaxMbsPerSide = 4095;

inline uint8_t clamp_u8(uint32_t v) { return v > 255u ? 255u : static_cast<uint8_t>(v); }

template <typename T>
T* allocate_record() {
  void* p = nullptr;
  if (posix_memalign(&p, 16, sizeof(T)) != 0) return nullptr;
  std::memset(p, 0, sizeof(T));
  return static_cast<T*>(p);
}

// scaling_list(): values in scan order stored at their raster positions.
// Returns true when the list asks for the default list of its kind.
bool scaling_list(BitReaderCabac* r, uint8_t* list, int size, const uint8_t* scan) {
  int32_t last = 8;
  int32_t next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      const int64_t delta = se_v(r);
      next = static_cast<int32_t>(((last + delta) % 256 + 256) % 256);
      if (j == 0 && next == 0) return true;
    }
    const int32_t value = next == 0 ? last : next;
    list[scan[j]] = static_cast<uint8_t>(value);
    last = value;
  }
  return false;
}

// Lists 0..5 are 4x4 (0..2 intra, 3..5 inter), 6 and 7 are 8x8 intra and inter.
void read_list(BitReaderCabac* r, int i, uint8_t (*l4)[16], uint8_t (*l8)[64]) {
  if (i < 6) {
    if (scaling_list(r, l4[i], 16, ZIGZAG_SCAN)) std::memcpy(l4[i], default_quant_4x4[i < 3 ? 0 : 1], 16);
  } else if (scaling_list(r, l8[i - 6], 64, ZIGZAG_SCAN8x8)) {
    std::memcpy(l8[i - 6], default_quant_8x8[i - 6], 64);
  }
}

// Fall-back rule A: the default list for lists 0, 3, 6 and 7, otherwise the
// previous list.
void fall_back_a(int i, uint8_t (*l4)[16], uint8_t (*l8)[64]) {
  if (i == 0 || i == 3) {
    std::memcpy(l4[i], default_quant_4x4[i == 0 ? 0 : 1], 16);
  } else if (i < 6) {
    std::memcpy(l4[i], l4[i - 1], 16);
  } else {
    std::memcpy(l8[i - 6], default_quant_8x8[i - 6], 64);
  }
}

void flat_lists(uint8_t (*l4)[16], uint8_t (*l8)[64]) {
  std::memset(l4, 16, 6 * 16);
  std::memset(l8, 16, 2 * 64);
}

int32_t hrd_parameters(BitReaderCabac* r, SequenceParameterSetFields* f) {
  const uint32_t cpbCnt = ue_v(r);
  if (cpbCnt > 31) return kParamSetUnsupported;  // the per-CPB arrays hold 32 entries
  f->cpb_cnt_minus1 = static_cast<uint8_t>(cpbCnt);
  f->bit_rate_scale = static_cast<uint8_t>(u_n(r, 4));
  f->cpb_size_scale = static_cast<uint8_t>(u_n(r, 4));
  for (uint32_t i = 0; i <= cpbCnt; ++i) {
    f->bit_rate_value_minus1[i] = ue_v(r);
    f->cpb_size_value_minus1[i] = ue_v(r);
    f->cbr_flag[i] = static_cast<uint8_t>(ReadOneBit(r));
  }
  f->initial_cpb_removal_delay_length_minus1 = static_cast<uint8_t>(u_n(r, 5));
  f->cpb_removal_delay_length_minus1 = static_cast<uint8_t>(u_n(r, 5));
  f->dpb_output_delay_length_minus1 = static_cast<uint8_t>(u_n(r, 5));
  f->time_offset_length = static_cast<uint8_t>(u_n(r, 5));
  return kParamSetOk;
}

int32_t vui_parameters(BitReaderCabac* r, SequenceParameterSetFields* f) {
  f->aspect_ratio_info_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->aspect_ratio_info_present_flag) {
    f->aspect_ratio_idc = static_cast<uint8_t>(u_n(r, 8));
    if (f->aspect_ratio_idc == 255) {  // Extended_SAR
      f->sar_width = static_cast<uint16_t>(u_n(r, 16));
      f->sar_height = static_cast<uint16_t>(u_n(r, 16));
    }
  }
  f->overscan_info_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->overscan_info_present_flag) f->overscan_appropriate_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->video_signal_type_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->video_signal_type_present_flag) {
    f->video_format = static_cast<uint8_t>(u_n(r, 3));
    f->video_full_range_flag = static_cast<uint8_t>(ReadOneBit(r));
    f->colour_description_present_flag = static_cast<uint8_t>(ReadOneBit(r));
    if (f->colour_description_present_flag) {
      f->colour_primaries = static_cast<uint8_t>(u_n(r, 8));
      f->transfer_characteristics = static_cast<uint8_t>(u_n(r, 8));
      f->matrix_coefficients = static_cast<uint8_t>(u_n(r, 8));
    }
  }
  f->chroma_loc_info_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->chroma_loc_info_present_flag) {
    f->chroma_sample_loc_type_top_field = clamp_u8(ue_v(r));
    f->chroma_sample_loc_type_bottom_field = clamp_u8(ue_v(r));
  }
  f->timing_info_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->timing_info_present_flag) {
    f->num_units_in_tick = u_n(r, 32);
    f->time_scale = u_n(r, 32);
    f->fixed_frame_rate_flag = static_cast<uint8_t>(ReadOneBit(r));
  }
  f->nal_hrd_parameters_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->nal_hrd_parameters_present_flag && hrd_parameters(r, f) != kParamSetOk) return kParamSetUnsupported;
  f->vcl_hrd_parameters_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->vcl_hrd_parameters_present_flag && hrd_parameters(r, f) != kParamSetOk) return kParamSetUnsupported;
  if (f->nal_hrd_parameters_present_flag || f->vcl_hrd_parameters_present_flag) {
    f->low_delay_hrd_flag = static_cast<uint8_t>(ReadOneBit(r));
  }
  f->pic_struct_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->bitstream_restriction_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->bitstream_restriction_flag) {
    f->motion_vectors_over_pic_boundaries_flag = static_cast<uint8_t>(ReadOneBit(r));
    f->max_bytes_per_pic_denom = clamp_u8(ue_v(r));
    f->max_bits_per_mb_denom = clamp_u8(ue_v(r));
    f->log2_max_mv_length_horizontal = clamp_u8(ue_v(r));
    f->log2_max_mv_length_vertical = clamp_u8(ue_v(r));
    f->num_reorder_frames = ue_v(r);
    f->max_dec_frame_buffering = ue_v(r);
  }
  return kParamSetOk;
}

// The profiles whose sequence parameter set carries chroma_format_idc, the
// bit depths and the scaling matrices (High and above, the scalable and
// multiview ones, and High 4:4:4 Predictive).
bool is_high_profile(uint8_t profile) {
  switch (profile) {
    case 44: case 83: case 86: case 100: case 110: case 118: case 122:
    case 128: case 134: case 135: case 138: case 139: case 144: case 244:
      return true;
    default:
      return false;
  }
}

}  // namespace

// What the decoding pipeline supports: 4:2:0 or monochrome 8-bit video
// without gaps in frame_num, cropped on the right and bottom only, and
// without lossless macroblocks (with qpprime_y_zero_transform_bypass_flag
// those of quantiser 0 bypass the transform, which the pipeline does not).
// The refusal code of a set outside that, or kVideoRefusalNone.
uint32_t sps_refusal(const SequenceParameterSetFields& f) {
  if (f.chroma_format_idc > 1) return kVideoRefusalChromaFormat | uint32_t{f.chroma_format_idc} << 8;
  if (f.bit_depth_luma_minus8 != 0 || f.bit_depth_chroma_minus8 != 0) {
    const uint32_t bits = 8u + (f.bit_depth_luma_minus8 > f.bit_depth_chroma_minus8 ? f.bit_depth_luma_minus8
                                                                                    : f.bit_depth_chroma_minus8);
    return kVideoRefusalBitDepth | (bits < 255 ? bits : 255) << 8;
  }
  if (f.qpprime_y_zero_transform_bypass_flag) return kVideoRefusalTransformBypass;
  if (f.gaps_in_frame_num_value_allowed_flag) return kVideoRefusalFrameNumGaps;
  if (f.frame_crop_left_offset != 0 || f.frame_crop_top_offset != 0) return kVideoRefusalCropping;
  return kVideoRefusalNone;
}

namespace {


// Parses the RBSP into `sps` (cleared by the caller): 0, or 12 for values
// that leave the rest unreadable or out of the record's range. A complete set
// the pipeline does not support is refused later (sps_refusal).
int32_t parse_sps(BitReaderCabac* r, SequenceParameterSet* sps) {
  SequenceParameterSetFields* f = sps;
  f->profile_idc = static_cast<uint8_t>(u_n(r, 8));
  f->constraint_set0_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->constraint_set1_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->constraint_set2_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->constraint_set3_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->reserved_zero_4bits = static_cast<uint8_t>(u_n(r, 4));
  f->level_idc = static_cast<uint8_t>(u_n(r, 8));
  const uint32_t id = ue_v(r);
  if (id > 31) return kParamSetUnsupported;
  f->seq_parameter_set_id = static_cast<uint8_t>(id);

  f->chroma_format_idc = 1;
  if (is_high_profile(f->profile_idc)) {
    const uint32_t chroma = ue_v(r);
    f->chroma_format_idc = clamp_u8(chroma);
    if (chroma == 3) f->separate_colour_plane_flag = static_cast<uint8_t>(ReadOneBit(r));
    const uint32_t depthLuma = ue_v(r);
    const uint32_t depthChroma = ue_v(r);
    f->bit_depth_luma_minus8 = clamp_u8(depthLuma);
    f->bit_depth_chroma_minus8 = clamp_u8(depthChroma);
    f->qpprime_y_zero_transform_bypass_flag = static_cast<uint8_t>(ReadOneBit(r));
    f->seq_scaling_matrix_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  }
  if (f->seq_scaling_matrix_present_flag) {
    seq_param_scaling_list(r, sps);
  } else {
    flat_lists(f->ScalingList4x4, f->ScalingList8x8);
  }

  const uint32_t log2FrameNum = ue_v(r);
  if (log2FrameNum > 12) return kParamSetUnsupported;
  f->log2_max_frame_num = static_cast<uint8_t>(log2FrameNum + 4);
  const uint32_t pocType = ue_v(r);
  if (pocType > 2) return kParamSetUnsupported;
  f->pic_order_cnt_type = static_cast<uint8_t>(pocType);
  if (pocType == 0) {
    const uint32_t log2Lsb = ue_v(r);
    if (log2Lsb > 12) return kParamSetUnsupported;
    f->log2_max_pic_order_cnt_lsb_minus4 = static_cast<uint8_t>(log2Lsb);
  } else if (pocType == 1) {
    f->delta_pic_order_always_zero_flag = static_cast<uint8_t>(ReadOneBit(r));
    f->offset_for_non_ref_pic = se_v(r);
    f->offset_for_top_to_bottom_field = se_v(r);
    const uint32_t cycle = ue_v(r);
    if (cycle > 255) return kParamSetUnsupported;
    f->num_ref_frames_in_pic_order_cnt_cycle = static_cast<uint8_t>(cycle);
    for (uint32_t i = 0; i < cycle; ++i) f->offset_for_ref_frame[i] = se_v(r);
  }

  f->num_ref_frames = ue_v(r);
  f->gaps_in_frame_num_value_allowed_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->pic_width_in_mbs_minus1 = ue_v(r);
  f->pic_height_in_map_units_minus1 = ue_v(r);
  f->frame_mbs_only_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (!f->frame_mbs_only_flag) f->mb_adaptive_frame_field_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->direct_8x8_inference_flag = static_cast<uint8_t>(ReadOneBit(r));
  f->frame_cropping_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->frame_cropping_flag) {
    f->frame_crop_left_offset = ue_v(r);
    f->frame_crop_right_offset = ue_v(r);
    f->frame_crop_top_offset = ue_v(r);
    f->frame_crop_bottom_offset = ue_v(r);
  }

  // Picture sizes must fit the 16-bit sizes of the decoder, and cropping
  // must leave a picture.
  if (f->pic_width_in_mbs_minus1 >= kMaxMbsPerSide) return kParamSetUnsupported;
  const uint64_t heightMbs =
      (2u - f->frame_mbs_only_flag) * (static_cast<uint64_t>(f->pic_height_in_map_units_minus1) + 1u);
  if (heightMbs > kMaxMbsPerSide) return kParamSetUnsupported;
  if (f->frame_cropping_flag) {
    const uint64_t cropX = (f->chroma_format_idc == 0 ? 1u : 2u) * static_cast<uint64_t>(f->frame_crop_right_offset);
    const uint64_t cropY = (f->chroma_format_idc == 0 ? 1u : 2u) * (2u - f->frame_mbs_only_flag) *
                           static_cast<uint64_t>(f->frame_crop_bottom_offset);
    if (cropX >= 16u * (f->pic_width_in_mbs_minus1 + 1u) || cropY >= 16u * heightMbs) return kParamSetUnsupported;
  }

  f->vui_parameters_present_flag = static_cast<uint8_t>(ReadOneBit(r));
  if (f->vui_parameters_present_flag && vui_parameters(r, f) != kParamSetOk) return kParamSetUnsupported;

  sps->MaxFrameNum = 1u << f->log2_max_frame_num;
  sps->MaxPicOrderCntLsb = 1u << (f->log2_max_pic_order_cnt_lsb_minus4 + 4);
  sps->PicWidthInMbs = f->pic_width_in_mbs_minus1 + 1;
  sps->FrameHeightInMbs = static_cast<uint32_t>(heightMbs);
  return kParamSetOk;
}

// Parses the RBSP into `pps` (cleared by the caller). 0, 2 or 12.
int32_t parse_pps(BitReaderCabac* r, PictureParameterSet* pps, SequenceParameterSet* spsHead, uint32_t validFrom,
                  bool inspect) {
  const uint32_t ppsId = ue_v(r);
  const uint32_t spsId = ue_v(r);
  if (ppsId > 255 || spsId > 31) return kParamSetUnsupported;
  pps->pic_parameter_set_id = static_cast<uint8_t>(ppsId);
  pps->seq_parameter_set_id = static_cast<uint8_t>(spsId);
  if (!inspect) {
    SequenceParameterSet* sps = spsHead;
    while (sps && (sps->seq_parameter_set_id == kEmptyId || sps->seq_parameter_set_id != spsId)) sps = sps->nextId;
    if (!sps) return kParamSetNoSps;
    while (sps->nextVersion && sps->nextVersion->validFrom <= validFrom) sps = sps->nextVersion;
    pps->sps = sps;
  }
  // Past a damaged end the reader yields whatever follows the payload: the
  // fields read there count as 0, as if they were absent.
  auto past_end = [r] { return r->overrun || static_cast<int64_t>(r->bytesLeft) * 8 < 31 - r->bitPos; };
  auto ue = [r, past_end] {
    const uint32_t v = ue_v(r);
    return past_end() ? 0u : v;
  };
  auto se = [r, past_end] {
    const int32_t v = se_v(r);
    return past_end() ? 0 : v;
  };
  auto flag = [r, past_end] {
    const uint32_t v = ReadOneBit(r);
    return static_cast<uint8_t>(past_end() ? 0 : v);
  };
  pps->entropy_coding_mode_flag = flag();
  pps->pic_order_present_flag = flag();
  const uint32_t sliceGroups = ue();
  pps->num_slice_groups_minus1 = clamp_u8(sliceGroups);
  if (sliceGroups != 0) return kParamSetUnsupported;
  const uint32_t l0 = ue();
  const uint32_t l1 = ue();
  if (l0 > 31 || l1 > 31) return kParamSetUnsupported;
  pps->num_ref_idx_l0_active_minus1 = static_cast<uint8_t>(l0);
  pps->num_ref_idx_l1_active_minus1 = static_cast<uint8_t>(l1);
  pps->weighted_pred_flag = flag();
  pps->weighted_bipred_idc = static_cast<uint8_t>(flag() << 1);
  pps->weighted_bipred_idc = static_cast<uint8_t>(pps->weighted_bipred_idc | flag());
  const int32_t qp = se();
  const int32_t qs = se();
  const int32_t chromaOffset = se();
  if (qp < -26 || qp > 25 || qs < -26 || qs > 25 || chromaOffset < -12 || chromaOffset > 12) {
    return kParamSetUnsupported;
  }
  pps->pic_init_qp_minus26 = static_cast<int8_t>(qp);
  pps->pic_init_qs_minus26 = static_cast<int8_t>(qs);
  pps->chroma_qp_index_offset = static_cast<int8_t>(chromaOffset);
  pps->deblocking_filter_control_present_flag = flag();
  pps->constrained_intra_pred_flag = flag();
  pps->redundant_pic_cnt_present_flag = flag();
  if (inspect) return kParamSetOk;

  pps->second_chroma_qp_index_offset = pps->chroma_qp_index_offset;
  if (more_rbsp_data(r)) {
    pps->transform_8x8_mode_flag = static_cast<uint8_t>(ReadOneBit(r));
    pps->pic_scaling_matrix_present_flag = static_cast<uint8_t>(ReadOneBit(r));
    if (pps->pic_scaling_matrix_present_flag) {
      pic_param_scaling_list(r, pps);
    } else {
      std::memcpy(pps->ScalingList4x4, pps->sps->ScalingList4x4, sizeof(pps->ScalingList4x4));
      std::memcpy(pps->ScalingList8x8, pps->sps->ScalingList8x8, sizeof(pps->ScalingList8x8));
    }
    const int32_t second = se();
    if (second < -12 || second > 12) return kParamSetUnsupported;
    pps->second_chroma_qp_index_offset = static_cast<int8_t>(second);
  } else {
    std::memcpy(pps->ScalingList4x4, pps->sps->ScalingList4x4, sizeof(pps->ScalingList4x4));
    std::memcpy(pps->ScalingList8x8, pps->sps->ScalingList8x8, sizeof(pps->ScalingList8x8));
  }
  return kParamSetOk;
}

bool is_empty(const SequenceParameterSet* head) { return head->seq_parameter_set_id == kEmptyId; }
bool is_empty(const PictureParameterSet* head) { return head->seq_parameter_set_id == kEmptyId; }
uint32_t id_of(const SequenceParameterSet* s) { return s->seq_parameter_set_id; }
uint32_t id_of(const PictureParameterSet* p) { return p->pic_parameter_set_id; }

// A re-sent picture parameter set is only the same set when it also refers to
// the same sequence parameter set version: otherwise slices after a changed
// SPS would keep reaching the old one through it.
bool same_set(const SequenceParameterSet* a, const SequenceParameterSet* b) {
  return std::memcmp(static_cast<const SequenceParameterSetFields*>(a),
                     static_cast<const SequenceParameterSetFields*>(b), sizeof(SequenceParameterSetFields)) == 0;
}
bool same_set(const PictureParameterSet* a, const PictureParameterSet* b) {
  return a->sps == b->sps &&
         std::memcmp(static_cast<const PictureParameterSetFields*>(a),
                     static_cast<const PictureParameterSetFields*>(b), sizeof(PictureParameterSetFields)) == 0;
}

// First version of an id, or null; `last` receives the last entry.
template <typename Record>
Record* find_entry(Record* head, uint32_t id, Record** last) {
  *last = head;
  if (is_empty(head)) return nullptr;
  for (Record* entry = head; entry; entry = entry->nextId) {
    *last = entry;
    if (id_of(entry) == id) return entry;
  }
  return nullptr;
}

// Places a parsed record (zero-padded, links empty) into the list of `head`
// and returns the version in force for its id: an equal newest version is
// kept and the new one dropped. Null when no memory was left.
template <typename Record>
Record* place(Record* head, const Record& parsed, uint32_t validFrom) {
  if (is_empty(head)) {
    std::memcpy(static_cast<void*>(head), &parsed, sizeof(Record));
    head->validFrom = validFrom;
    head->nextVersion = nullptr;
    head->nextId = nullptr;
    return head;
  }
  Record* last = nullptr;
  Record* entry = find_entry(head, id_of(&parsed), &last);
  Record* newest = entry;
  while (newest && newest->nextVersion) newest = newest->nextVersion;
  if (newest && same_set(newest, &parsed)) return newest;
  Record* rec = allocate_record<Record>();
  if (!rec) return nullptr;
  std::memcpy(static_cast<void*>(rec), &parsed, sizeof(Record));
  rec->validFrom = validFrom;
  rec->nextVersion = nullptr;
  if (newest) {
    rec->nextId = newest->nextId;
    newest->nextVersion = rec;
  } else {
    rec->nextId = nullptr;
    last->nextId = rec;
  }
  return rec;
}

template <typename Record>
void free_chains(Record* head) {
  // Every version of an id shares that id's nextId: walk the ids through
  // their first versions, and each id's versions through nextVersion.
  for (Record* v = head->nextVersion; v;) {
    Record* next = v->nextVersion;
    std::free(v);
    v = next;
  }
  for (Record* entry = head->nextId; entry;) {
    Record* nextEntry = entry->nextId;
    for (Record* v = entry; v;) {
      Record* next = v->nextVersion;
      std::free(v);
      v = next;
    }
    entry = nextEntry;
  }
}

template <typename Record>
Record* find_newest(Record* head, uint32_t id) {
  Record* last = nullptr;
  Record* v = find_entry(head, id, &last);
  while (v && v->nextVersion) v = v->nextVersion;
  return v;
}

}  // namespace

void InitSequenceParameterSetHead(SequenceParameterSet* head) {
  std::memset(static_cast<void*>(head), 0, sizeof(*head));
  head->seq_parameter_set_id = kEmptyId;
}

void InitPictureParameterSetHead(PictureParameterSet* head) {
  std::memset(static_cast<void*>(head), 0, sizeof(*head));
  head->seq_parameter_set_id = kEmptyId;
}

void FreeSequenceParameterSets(SequenceParameterSet* head) {
  free_chains(head);
  InitSequenceParameterSetHead(head);
}

void FreePictureParameterSets(PictureParameterSet* head) {
  free_chains(head);
  InitPictureParameterSetHead(head);
}

SequenceParameterSet* FindSequenceParameterSet(SequenceParameterSet* head, uint32_t id) {
  return find_newest(head, id);
}

PictureParameterSet* FindPictureParameterSet(PictureParameterSet* head, uint32_t id) {
  return find_newest(head, id);
}

int32_t DecodeSequenceParameterSet(ThreadBuffer* tb) {
  DecoderState* ds = tb->decoderState;
  // The id first, read from the payload where the reader stands at its
  // start (its first word holds RBSP byte 3): an id no list entry can carry
  // refuses the set unparsed.
  if (GetParameterSetID(tb->reader.pWord) > 31) return kParamSetUnsupported;
  // Parsed into a cleared record first, so that a refused set never enters
  // the list and an equal re-sent one costs no allocation.
  SequenceParameterSet parsed;
  std::memset(static_cast<void*>(&parsed), 0, sizeof(parsed));
  int32_t result = parse_sps(&tb->reader, &parsed);
  if (result != kParamSetOk) return result;
  // A set that ran past its NAL unit holds filler values: never entered.
  if (tb->reader.overrun) return kParamSetUnsupported;
  SequenceParameterSet* rec = place(ds->spsList, parsed, ds->accessUnitCounter);
  if (!rec) return kParamSetNoMemory;
  if (ds->currentPicture) ds->currentPicture->sps = rec;
  // A complete set the pipeline does not support stays in the list as
  // parsed: the slices that use it are refused. A decoder opened for a
  // picture size takes no larger pictures.
  ds->paramSetRefusal = static_cast<uint16_t>(sps_refusal(parsed));
  if (ds->lumaPitch != 0 &&
      (16u * parsed.PicWidthInMbs + 64u > ds->lumaPitch || 16u * parsed.FrameHeightInMbs > ds->lumaHeight))
    ds->paramSetRefusal = kVideoRefusalPictureSize;
  return ds->paramSetRefusal == kVideoRefusalNone ? kParamSetOk : kParamSetUnsupported;
}

int32_t DecodePictureParameterSet(ThreadBuffer* tb, uint32_t inspect) {
  DecoderState* ds = tb->decoderState;
  // The id first, from RBSP byte 0 of the payload (the reader stands at its
  // start): an id no list entry can carry refuses the set unparsed.
  if (GetParameterSetID(tb->reader.pWord + 3) > 255) return kParamSetUnsupported;
  PictureParameterSet parsed;
  std::memset(static_cast<void*>(&parsed), 0, sizeof(parsed));
  int32_t result = parse_pps(&tb->reader, &parsed, ds->spsList, ds->accessUnitCounter, inspect != 0);
  if (result == kParamSetUnsupported && parsed.num_slice_groups_minus1 != 0) ds->paramSetRefusal = kVideoRefusalSliceGroups;
  if (result != kParamSetOk) return result;
  // A set whose end was damaged (it runs past its NAL unit) is taken as read,
  // the missing bits as zeros, when its values are in range: its slices are
  // decoded rather than all dropped. Inspection reports it as cut short.
  if (tb->reader.overrun && inspect) return kParamSetUnsupported;
  if (parsed.redundant_pic_cnt_present_flag) ds->paramSetRefusal = kVideoRefusalRedundantPictures;
  const int32_t verdict = parsed.redundant_pic_cnt_present_flag ? kParamSetUnsupported : kParamSetOk;
  if (inspect) {
    // Only the field block: the head keeps whatever list hangs behind it.
    *static_cast<PictureParameterSetFields*>(ds->ppsList) = parsed;
    return verdict;
  }
  // A set the pipeline does not support stays in the list as parsed.
  return place(ds->ppsList, parsed, ds->accessUnitCounter) ? verdict : kParamSetNoMemory;
}

void seq_param_scaling_list(BitReaderCabac* r, SequenceParameterSet* sps) {
  for (int i = 0; i < 8; ++i) {
    sps->seq_scaling_list_present_flag[i] = static_cast<uint8_t>(ReadOneBit(r));
    if (sps->seq_scaling_list_present_flag[i]) {
      read_list(r, i, sps->ScalingList4x4, sps->ScalingList8x8);
    } else {
      fall_back_a(i, sps->ScalingList4x4, sps->ScalingList8x8);
    }
  }
  // 4:4:4 adds the 8x8 lists of Cb and Cr: read past them (such a set is
  // refused for its chroma format, but the fields after them stay readable).
  if (sps->chroma_format_idc == 3) {
    uint8_t skipped4[6][16], skipped8[2][64];
    for (int i = 8; i < 12; ++i)
      if (ReadOneBit(r)) read_list(r, 6 + (i & 1), skipped4, skipped8);
  }
}

void pic_param_scaling_list(BitReaderCabac* r, PictureParameterSet* pps) {
  const SequenceParameterSet* sps = pps->sps;
  const int count = 6 + (pps->transform_8x8_mode_flag ? 2 : 0);
  for (int i = 0; i < count; ++i) {
    pps->pic_scaling_list_present_flag[i] = static_cast<uint8_t>(ReadOneBit(r));
    if (pps->pic_scaling_list_present_flag[i]) {
      read_list(r, i, pps->ScalingList4x4, pps->ScalingList8x8);
    } else if (!sps->seq_scaling_matrix_present_flag) {
      fall_back_a(i, pps->ScalingList4x4, pps->ScalingList8x8);
    } else if (i == 0 || i == 3) {  // fall-back rule B: the sequence's list
      std::memcpy(pps->ScalingList4x4[i], sps->ScalingList4x4[i], 16);
    } else if (i < 6) {
      std::memcpy(pps->ScalingList4x4[i], pps->ScalingList4x4[i - 1], 16);
    } else {
      std::memcpy(pps->ScalingList8x8[i - 6], sps->ScalingList8x8[i - 6], 64);
    }
  }
  // Without the 8x8 transform the 8x8 lists are not used; keep the sequence's.
  if (count == 6) std::memcpy(pps->ScalingList8x8, sps->ScalingList8x8, sizeof(pps->ScalingList8x8));
}
