// Public interface of the H.264 decoder library: the records shared with its
// users and the stream inspection calls, which work on an Annex B buffer
// without a decoder instance.
#pragma once

#include <cstdint>

// One node of the list built by AVCHDGetVideoStreamInfoLib. The caller owns
// the first node; the library allocates the others and every payload.
struct VideoStreamInfo {
  uint8_t nal_unit_type;  // 1, 5, 7 or 8 in a node that carries a payload
  uint8_t nal_ref_idc;
  void* pPayload;         // SequenceParameterSetFields, PictureParameterSetFields
                          // or SliceSummary; NULL when none could be made
  uint32_t length;        // NAL unit payload bytes (emulation prevention removed)
  uint32_t status;        // 0 payload valid, 1 parse failed or ran past the unit, 2 payload valid
                          // but a set the decoder refuses (4:2:2, 4:4:4, more than 8 bits, ...)
  VideoStreamInfo* pNext;
};

// Payload of a sequence parameter set node: the fields as coded (H.264
// seq_parameter_set_rbsp with its VUI).
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

// Payload of a picture parameter set node: the fields as coded.
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

// Slice types: slice_type as coded is one of these or one of these plus 5
// (every slice of the picture is of that type).
enum : uint32_t {
  kSliceTypeP = 0,
  kSliceTypeB = 1,
  kSliceTypeI = 2,
  kSliceTypeSP = 3,
  kSliceTypeSI = 4,
  kSliceTypeCount = 5,
};

// Payload of a slice node.
struct SliceSummary {
  uint32_t first_mb_in_slice;
  uint8_t slice_type;  // as coded, 0..9
  uint8_t pic_parameter_set_id;
};

// Camcorder user data (MDPM block of a user_data_unregistered SEI).
struct VideoUserData {
  uint8_t valid;           // 1 once an MDPM payload was seen for the picture
  uint8_t packs[16];       // tags 0x13, 0x14, 0x18, 0x19, four bytes each, rearranged
  uint32_t modelTag;       // tag 0xE0 bytes 1-2; 0x0103 marks a camera model code
  uint32_t modelCode;      // tag 0xE0 bytes 3-4
  uint32_t mdpmWords[15];  // tags 0xE1..0xEF, big-endian words
};
static_assert(sizeof(VideoUserData) == 88, "VideoUserData is an 88-byte record");

// Open parameter block of a decoder instance, also filled by
// AVCHDGetVideoDecoderInfoLib from a stream's first sequence parameter set.
struct VideoDecoderParams {
  uint8_t profile;
  uint8_t level;
  uint8_t chromaFormat;
  uint16_t codedWidth;
  uint16_t codedHeight;
  uint32_t outputFormat;  // 0 YV12, 1 YUY2, 2 UYVY, 3 IYUV
  uint16_t outputWidth;
  uint16_t outputHeight;
  uint8_t threads;        // 0: one worker per processor
  uint32_t timeoutMs;
  uint32_t flags;
  uint32_t reserved[2];
};

// Bits of the `what` argument of AVCHDGetVideoStreamInfoLib.
enum : uint32_t {
  kStreamInfoSps = 1,
  kStreamInfoPps = 2,
  kStreamInfoSlices = 4,
};

extern "C" {

// Lists the selected NAL units of an Annex B buffer. Returns 0, 1 when memory
// ran out, or the last parameter-set parse result (12: unsupported stream).
int32_t AVCHDGetVideoStreamInfoLib(VideoStreamInfo* head, const uint8_t* data, int32_t length,
                                   uint32_t what);

// Frees every node after head and every payload; head itself stays the
// caller's, with pPayload and pNext cleared. Returns 0.
int32_t AVCHDReleaseVideoStreamInfoLib(VideoStreamInfo* head);

// Class of the first slice: 1 P, 2 non-reference B, 3 reference B, 4 I,
// 5 IDR, 6 SP, 7 SI, 8 none or unreadable, 255 out of memory.
int32_t AVCHDGetSliceTypeAnnexBLib(const uint8_t* data, int32_t length);

// First valid camcorder user data of the buffer: 0 and *out filled, or 1
// (none, or out of memory; *out untouched).
int32_t AVCHDGetVideoUserDataLib(VideoUserData* out, const uint8_t* data, int32_t length);

// Decoder parameters from the first sequence parameter set: 0, 9 when there
// is none or it is refused, 8 when no scratch buffer could be allocated.
int32_t AVCHDGetVideoDecoderInfoLib(VideoDecoderParams* p, const uint8_t* data, int32_t length);

// Decoder instance. Output in decode order and one picture per call need
// whole NAL units in every input buffer. Skipped pictures repeat an earlier
// one.
enum : uint32_t {
  kOpenWholeNalUnits = 1,      // every input buffer ends at the end of a NAL unit
  kOpenOnePicturePerCall = 2,
  kOpenDecodeOrder = 4,        // output in decode order
};

// Decode flags.
enum : uint32_t {
  kDecodeSkipNonReference = 1,
  kDecodeSkipB = 2,
  kDecodeNoDeblocking = 4,
  kDecodeFinishDropped = 8,
};

// Status bits of the decode call.
enum : uint32_t {
  kStatusPicture = 0x0001,      // a picture was written to the output buffer
  kStatusNeedInput = 0x0002,    // the input is used up: more input is needed
  kStatusEndOfStream = 0x0004,  // every picture has been output
  kStatusRefused = 0x0008,      // input refused: the previous input is not used up
  kStatusAfterSeek = 0x2000,    // the picture came from a frame step
  kStatusLeading = 0x4000,      // the picture is a leading picture
  kStatusError = 0x8000,        // error: see the error code
};

// Error codes of AVCHDVideoDecoderGetErrorCodeLib.
enum : uint32_t {
  kVideoErrorNone = 0,
  kVideoErrorStepFailed = 1,        // a decoding step failed for a reason no other code names
  kVideoErrorNoInstance = 2,        // the call got a null instance
  kVideoErrorNoOutputBuffer = 3,
  kVideoErrorNoInput = 4,           // no input pointer but a non-zero length
  kVideoErrorParameterSet = 5,
  kVideoErrorUnsupported = 6,       // the stream uses syntax the decoder refuses (see the refusal)
  kVideoErrorMissingReference = 7,  // a reference is missing, or no task could run
  kVideoErrorNoSps = 9,             // a parameter set names no sequence parameter set
  kVideoErrorTimeout = 10,          // the decode call's wait timed out
  kVideoErrorNoReference = 11,      // no picture to start from: the stream's slices all predict from pictures before it
  kVideoErrorNoPps = 12,
  kVideoErrorDamaged = 13,          // the input ended and none of its slices could be read
  kVideoErrorNoMemory = 14,         // memory ran out in a worker
  kVideoErrorNoPictureBuffer = 15,  // every picture buffer is held by pictures still referenced or not output
  kVideoErrorStalled = 16,          // decoding could not go on: pictures wait for slices or references that never come
};

struct VideoDecoder;

// Reasons of a refusal (error code 6).
enum : uint32_t {
  kVideoRefusalNone = 0,
  kVideoRefusalLongTermReference = 1,   // long_term_reference_flag, or a long-term list modification
  kVideoRefusalMemoryManagement = 2,    // memory_management_control_operation 2, 3, 4 or 6 (see operation)
  kVideoRefusalSliceGroups = 3,         // more than one slice group
  kVideoRefusalChromaFormat = 4,        // 4:2:2 or 4:4:4
  kVideoRefusalBitDepth = 5,            // more than 8 bits per sample
  kVideoRefusalFrameNumGaps = 6,        // gaps_in_frame_num_value_allowed_flag
  kVideoRefusalSpSiSlices = 7,
  kVideoRefusalCropping = 8,            // cropping on the left or top
  kVideoRefusalRedundantPictures = 9,
  kVideoRefusalPictureSize = 10,        // larger than the instance was opened for
  kVideoRefusalActiveReferences = 11,   // more than 32 active references
  kVideoRefusalNoOutputOfPriorPics = 12,  // no_output_of_prior_pics_flag with pictures waiting for output
  kVideoRefusalParameterSet = 13,       // parameter-set values out of the decoder's range
  kVideoRefusalTransformBypass = 14,    // qpprime_y_zero_transform_bypass_flag (lossless macroblocks)
};

struct VideoRefusal {
  uint32_t reason;     // kVideoRefusal...
  uint32_t operation;  // the memory_management_control_operation of kVideoRefusalMemoryManagement, the
                       // chroma_format_idc of kVideoRefusalChromaFormat, the bits per sample of
                       // kVideoRefusalBitDepth; else 0
  char text[96];       // the reason in words, empty for kVideoRefusalNone
};

VideoDecoder* AVCHDOpenVideoDecoderLib(const VideoDecoderParams* params);
int32_t AVCHDCloseVideoDecoderLib(VideoDecoder* decoder);
uint32_t AVCHDDecodeVideoStreamLib(VideoDecoder* decoder, uint8_t* outputBuffer, const uint8_t* data,
                                   uint32_t length, int32_t endOfStream, uint32_t decodeFlags);
int32_t AVCHDResetVideoDecoderLib(VideoDecoder* decoder);
// 0 once a picture waits in the output queue; 16 otherwise.
int32_t AVCHDVideoDecoderSeekAFrameLib(VideoDecoder* decoder, int32_t frames);
// Output buffer bytes for the block's format and output size; 0 for others.
int32_t AVCHDVideoDecoderGetFrameBufferSizeLib(const VideoDecoderParams* params);
uint32_t* AVCHDVideoDecoderGetVersionLib(uint32_t version[4]);
// User data of the last picture output (cleared when there is none): 0, or 2
// for a null instance.
int32_t AVCHDVideoDecoderGetUserDataLib(VideoDecoder* decoder, VideoUserData* out);
// Size of the picture last written to the output buffer (before any, the
// output size of the open parameters). A stream may change size at an IDR
// picture: a picture smaller than the instance was opened for is written at
// its own cropped size, rows one after the other. Returns 0, or 2 for a null
// instance or pointer.
int32_t AVCHDVideoDecoderGetPictureSizeLib(VideoDecoder* decoder, uint16_t* width, uint16_t* height);
// Error code of the instance (kVideoError...); kVideoErrorNoInstance for a
// null instance.
uint32_t AVCHDVideoDecoderGetErrorCodeLib(VideoDecoder* decoder);

// What the instance refused with error code 6: the syntax of the stream it
// does not decode, and that reason in words. Returns 0 (reason
// kVideoRefusalNone while nothing was refused), or 2 for a null instance or
// record.
int32_t AVCHDVideoDecoderGetRefusalLib(VideoDecoder* decoder, VideoRefusal* out);

// What a decoder instance would refuse in the first sequence parameter set
// of an Annex B buffer that it refuses, as AVCHDVideoDecoderGetRefusalLib
// names it (reason kVideoRefusalNone when no set is refused). Returns 0, 2
// for a null record, 8 when no scratch buffer could be allocated.
int32_t AVCHDGetVideoRefusalLib(VideoRefusal* out, const uint8_t* data, int32_t length);

// Damage met so far: slices dropped as damaged (their macroblocks concealed)
// and, in `suspect`, the refused syntax the first of them read as (reason
// kVideoRefusalNone when none did); then the pictures output with content
// the stream did not deliver, each counted once per kind. Returns 0, or 2
// for a null instance or record.
struct VideoDamage {
  uint32_t slicesDropped;
  VideoRefusal suspect;
  // Pictures with macroblocks that no slice covered (concealed).
  uint32_t picturesIncomplete;
  // Pictures whose reference lists named pictures never received (lost
  // pictures or fields, frame_num gaps the sequence does not allow), or
  // pictures out of their place in the stream: a reference field pair
  // exchanged, a non-reference picture repeating the frame_num of the
  // reference picture before it.
  uint32_t picturesMissingReferences;
  // P and B pictures before any IDR picture, I picture or recovery point of
  // their stream (a stream that begins without one, or one joined on
  // without its IDR picture): their references would be pictures that are
  // not theirs; left out.
  uint32_t picturesBeforeStart;
  // The same for pictures of another size than the pictures before them:
  // left out.
  uint32_t picturesOtherSize;
  // Fields the stream sent again, left out.
  uint32_t fieldsRepeated;
  // Pictures lost where the stream itself shows the loss: the reference
  // pictures missing where frame_num skips values before an I picture (the
  // decoder takes only sequences that allow no gaps; such a gap before a P
  // or B picture counts in picturesMissingReferences), and the IDR picture
  // of a stream joined on that starts at an I picture without a recovery
  // point. A loss that leaves no such trace (a non-reference picture) is
  // not counted: order counts that step unevenly are legal.
  uint32_t picturesLost;
  // Fields output without the other field of their frame (a field lost, or
  // the stream cut after a first field): the other field's lines are grey.
  uint32_t fieldsAlone;
  // Slices read with a damaged header field put right where the stream's
  // own rules tell what it must be: an IDR slice typed P or B, a first IDR
  // slice with frame_num other than 0 or nal_ref_idc 0, or with NAL unit
  // type 1 where its header reads whole only as an IDR slice's (or the
  // picture after it shows the IDR picture by its order count), an IDR
  // picture whose order count is not 0, a slice typed IDR after the
  // stream's start that cannot be one (frame_num other than 0, nal_ref_idc
  // 0, or a P or B slice whose frame_num follows on), read as non-IDR.
  // Their pictures decode as sent; a reference picture among the latter
  // stops being one when the next picture's frame_num shows it was none.
  // So does any reference picture (its nal_ref_idc damaged) whose frame_num
  // the next reference picture repeats, counted here once.
  uint32_t slicesRepaired;
  // Pictures whose order count puts them before a picture already output
  // (no IDR picture or memory_management_control_operation 5 between): the
  // stream sent them too late for their place (pictures exchanged); left
  // out.
  uint32_t picturesOutOfOrder;
};
// The counters of VideoDamage, each as X(name), in the order of the record:
// every field but `suspect`. Code that goes through all of them (sums,
// comparisons) uses this one list, so that a counter added to the record
// is added to it here and nowhere else.
#define AVCHD_VIDEO_DAMAGE_COUNTERS(X)                                                                     \
  X(slicesDropped) X(picturesIncomplete) X(picturesMissingReferences) X(picturesBeforeStart)             \
  X(picturesOtherSize) X(fieldsRepeated) X(picturesLost) X(fieldsAlone) X(slicesRepaired) X(picturesOutOfOrder)
int32_t AVCHDVideoDecoderGetDamageLib(VideoDecoder* decoder, VideoDamage* out);

}  // extern "C"
