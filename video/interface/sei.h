// SEI messages: buffering period and picture timing (output-order keys and
// display durations), recovery point, and the camcorder's MDPM user data.
#pragma once

#include <cstdint>

#include "AVCHDVideoDecoder.h"
#include "bitstream.h"

struct SequenceParameterSet;

// Timing SEI of one access unit.
struct SeiRecord {
  uint8_t seq_parameter_set_id;
  uint32_t initial_cpb_removal_delay[32];         // by SchedSelIdx
  uint32_t initial_cpb_removal_delay_offset[32];
  uint32_t cpb_removal_delay;
  uint32_t dpb_output_delay;
  uint8_t pic_struct;
  uint8_t NumClockTS;
  uint8_t clock_timestamp_flag[3];
  // The last clock timestamp read.
  uint8_t ct_type;
  uint8_t nuit_field_based_flag;
  uint8_t counting_type;
  uint8_t full_timestamp_flag;
  uint8_t discontinuity_flag;
  uint8_t cnt_dropped_flag;
  uint8_t n_frames;
  uint8_t seconds_value;
  uint8_t minutes_value;
  uint8_t hours_value;
  uint8_t seconds_flag;
  uint8_t minutes_flag;
  uint8_t hours_flag;
  int32_t time_offset;
  // recovery_point
  uint32_t recovery_frame_cnt;
  uint8_t exact_match_flag;
  uint8_t broken_link_flag;
  uint8_t changing_slice_group_idc;
};

// Clock timestamps per pic_struct value.
extern const uint8_t NumClockTS_Table[16];

// The camcorder metadata identifier (uuid_iso_iec_11578) as four big-endian
// words.
extern const uint32_t avchd_uuid[4];

// Parses the SEI RBSP at the reader for the access unit being assembled (the
// decoder state's currentPicture with its SPS, SeiRecord and frame buffer).
// Returns 0.
int32_t decode_sei_rbsp(ThreadBuffer* tb);

// 0, or 2 when there is no SPS.
int32_t decode_pic_timing(BitReaderCabac* r, const SequenceParameterSet* sps, SeiRecord* rec);

// Stores an MDPM block into `ud`; other payloads are skipped. Returns 0.
int32_t decode_user_data_unregistered(BitReaderCabac* r, VideoUserData* ud, uint32_t payloadSize);
