// SEI message parsing: the payload loop, buffering period, picture timing,
// recovery point and the camcorder's MDPM user data.
#include "sei.h"

#include <cstring>

#include "decoder_state.h"
#include "parameter_sets.h"

const uint8_t NumClockTS_Table[16] = {1, 1, 1, 2, 2, 3, 3, 2, 3, 0, 0, 0, 0, 0, 0, 0};

const uint32_t avchd_uuid[4] = {0x17EE8C60u, 0xF84D11D9u, 0x8CD60800u, 0x200C9A66u};

// Some muxing tools write the identifier's last six bytes mis-split
// (08 00 20 00 C9 A6 for 08 00 20 0C 9A 66); their MDPM block is otherwise
// the cameras' own, so that form is accepted too.
static const uint32_t kMisSplitUuidTail = 0x2000C9A6u;

namespace {

enum : uint32_t {
  kSeiBufferingPeriod = 0,
  kSeiPicTiming = 1,
  kSeiUserDataUnregistered = 5,
  kSeiRecoveryPoint = 6,
};

constexpr uint32_t kTagMDPM = 0x4D44504Du;  // "MDPM"; "GA94" and other blocks are skipped

// Bits read since `start` was taken from the same reader.
inline int64_t bits_since(const BitReaderCabac& start, const BitReaderCabac* r) {
  return (static_cast<int64_t>(start.bytesLeft) - r->bytesLeft) * 8 + (start.bitPos - r->bitPos);
}

// payloadType and payloadSize: 255 for each 0xFF byte plus the first other byte.
uint32_t read_sei_value(BitReaderCabac* r) {
  uint32_t value = 0;
  for (;;) {
    const uint32_t b = u_n(r, 8);
    value += b;
    if (b != 0xFF || r->overrun) return value;
  }
}

inline uint8_t swap_nibbles(uint32_t b) { return static_cast<uint8_t>(((b & 0x0F) << 4) | ((b >> 4) & 0x0F)); }

// Tag 0x13 bytes 1 and 4: bits a(7) b(6) c(5..4) d(3..0) become d c b a.
inline uint8_t pack_outer(uint32_t b) {
  return static_cast<uint8_t>(((b & 0x0F) << 4) | (((b >> 4) & 3) << 2) | (((b >> 6) & 1) << 1) | (b >> 7));
}
// Tag 0x13 bytes 2 and 3: bits a(7) b(6..4) c(3..0) become c b a.
inline uint8_t pack_inner(uint32_t b) {
  return static_cast<uint8_t>(((b & 0x0F) << 4) | (((b >> 4) & 7) << 1) | (b >> 7));
}
// Tag 0x18 byte 1: bits a(7) b(6) c(5) d(4..1) e(0) become e d c b a.
inline uint8_t pack_zone(uint32_t b) {
  return static_cast<uint8_t>(((b & 1) << 7) | (((b >> 1) & 0x0F) << 3) | (((b >> 5) & 1) << 2) |
                              (((b >> 6) & 1) << 1) | (b >> 7));
}

void store_mdpm_entry(VideoUserData* ud, uint32_t tag, const uint32_t b[4]) {
  switch (tag) {
    case 0x13:
      ud->packs[0] = pack_outer(b[0]);
      ud->packs[1] = pack_inner(b[1]);
      ud->packs[2] = pack_inner(b[2]);
      ud->packs[3] = pack_outer(b[3]);
      break;
    case 0x14:
      for (int i = 0; i < 4; ++i) ud->packs[4 + i] = swap_nibbles(b[i]);
      break;
    case 0x18:
      ud->packs[8] = pack_zone(b[0]);
      for (int i = 1; i < 4; ++i) ud->packs[8 + i] = swap_nibbles(b[i]);
      break;
    case 0x19:
      for (int i = 0; i < 4; ++i) ud->packs[12 + i] = swap_nibbles(b[i]);
      break;
    case 0xE0:
      ud->modelTag = (b[0] << 8) | b[1];
      ud->modelCode = (b[2] << 8) | b[3];
      break;
    default:
      // 0xE1..0xEF have a word each; other tags (0xF0..0xFF among them) have
      // no slot in the record.
      if (tag >= 0xE1 && tag <= 0xEF) ud->mdpmWords[tag - 0xE1] = (b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
      break;
  }
}

void buffering_period(BitReaderCabac* r, const SequenceParameterSet* sps, SeiRecord* rec) {
  const uint32_t id = ue_v(r);
  rec->seq_parameter_set_id = id > 255 ? 255 : static_cast<uint8_t>(id);
  const int length = sps->initial_cpb_removal_delay_length_minus1 + 1;
  // The VCL values go into the same slots as the NAL ones, as in the SPS.
  for (int pass = 0; pass < 2; ++pass) {
    const uint8_t present = pass == 0 ? sps->nal_hrd_parameters_present_flag : sps->vcl_hrd_parameters_present_flag;
    if (!present) continue;
    for (uint32_t i = 0; i <= sps->cpb_cnt_minus1 && i < 32; ++i) {
      rec->initial_cpb_removal_delay[i] = u_n(r, length);
      rec->initial_cpb_removal_delay_offset[i] = u_n(r, length);
    }
  }
}

// Output-order key and display duration of the access unit from its timing.
void apply_pic_timing(DecoderState* ds, DecodedPicture* pic, const SequenceParameterSet* sps, const SeiRecord* rec) {
  pic->hasPicTiming = 1;
  const uint32_t removal = static_cast<uint32_t>(ds->removalTimeBase) + rec->cpb_removal_delay;
  const uint32_t key = removal + (ds->decodeOrderOutput ? 0u : rec->dpb_output_delay);
  pic->decodeKey = static_cast<int32_t>(removal);
  pic->outputKey = static_cast<int32_t>(key);
  FrameBuffer* fb = pic->frameBuffer;
  if (fb) fb->key = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(key)));
  if (sps->pic_struct_present_flag) {
    // Fields shown: 4 for frame doubling (7), 6 for tripling (8), else 2.
    const uint8_t ticks = (rec->pic_struct == 7 || rec->pic_struct == 8) ? static_cast<uint8_t>(2 * rec->pic_struct - 10) : 2;
    if (fb) fb->outputTicks = ticks;
    pic->outputTicks = ticks;
  }
  if (ds->bufferingPeriodSeen) {
    ds->bufferingPeriodSeen = 0;
    ds->removalTimeBase = static_cast<int32_t>(removal);
  }
}

}  // namespace

int32_t decode_pic_timing(BitReaderCabac* r, const SequenceParameterSet* sps, SeiRecord* rec) {
  if (!sps) return 2;
  if (sps->nal_hrd_parameters_present_flag || sps->vcl_hrd_parameters_present_flag) {
    rec->cpb_removal_delay = u_n(r, sps->cpb_removal_delay_length_minus1 + 1);
    rec->dpb_output_delay = u_n(r, sps->dpb_output_delay_length_minus1 + 1);
  }
  if (!sps->pic_struct_present_flag) return 0;
  rec->pic_struct = static_cast<uint8_t>(u_n(r, 4));
  rec->NumClockTS = NumClockTS_Table[rec->pic_struct];
  for (uint32_t i = 0; i < rec->NumClockTS; ++i) {
    rec->clock_timestamp_flag[i] = static_cast<uint8_t>(ReadOneBit(r));
    if (!rec->clock_timestamp_flag[i]) continue;
    rec->ct_type = static_cast<uint8_t>(u_n(r, 2));
    rec->nuit_field_based_flag = static_cast<uint8_t>(ReadOneBit(r));
    rec->counting_type = static_cast<uint8_t>(u_n(r, 5));
    rec->full_timestamp_flag = static_cast<uint8_t>(ReadOneBit(r));
    rec->discontinuity_flag = static_cast<uint8_t>(ReadOneBit(r));
    rec->cnt_dropped_flag = static_cast<uint8_t>(ReadOneBit(r));
    rec->n_frames = static_cast<uint8_t>(u_n(r, 8));
    if (rec->full_timestamp_flag) {
      rec->seconds_value = static_cast<uint8_t>(u_n(r, 6));
      rec->minutes_value = static_cast<uint8_t>(u_n(r, 6));
      rec->hours_value = static_cast<uint8_t>(u_n(r, 5));
    } else {
      rec->seconds_flag = static_cast<uint8_t>(ReadOneBit(r));
      if (rec->seconds_flag) rec->seconds_value = static_cast<uint8_t>(u_n(r, 6));
      rec->minutes_flag = static_cast<uint8_t>(ReadOneBit(r));
      if (rec->minutes_flag) {
        rec->minutes_value = static_cast<uint8_t>(u_n(r, 6));
        rec->hours_flag = static_cast<uint8_t>(ReadOneBit(r));
        rec->hours_value = rec->hours_flag ? static_cast<uint8_t>(u_n(r, 5)) : 0;
      } else {
        rec->minutes_value = 0;
        rec->hours_value = 0;
        rec->hours_flag = 0;
      }
    }
    if (sps->time_offset_length > 0) rec->time_offset = i_n(r, sps->time_offset_length);
  }
  return 0;
}

int32_t decode_user_data_unregistered(BitReaderCabac* r, VideoUserData* ud, uint32_t payloadSize) {
  if (payloadSize < 16) return 0;  // too short for its identifier: skipped by the caller
  bool match = true;
  for (int i = 0; i < 3; ++i) match &= u_n(r, 32) == avchd_uuid[i];
  const uint32_t tail = u_n(r, 32);
  match &= tail == avchd_uuid[3] || tail == kMisSplitUuidTail;
  if (!match) return 0;
  ud->valid = 1;
  if (payloadSize < 20 || u_n(r, 32) != kTagMDPM) return 0;  // GA94 and other blocks are skipped
  uint32_t count = u_n(r, 8);
  // Entries are 5 bytes; none may run past the payload.
  const uint32_t room = payloadSize >= 21 ? (payloadSize - 21) / 5 : 0;
  if (count > room) count = room;
  for (uint32_t i = 0; i < count && !r->overrun; ++i) {
    const uint32_t tag = u_n(r, 8);
    uint32_t b[4];
    for (uint32_t& v : b) v = u_n(r, 8);
    store_mdpm_entry(ud, tag, b);
  }
  return 0;
}

int32_t decode_sei_rbsp(ThreadBuffer* tb) {
  BitReaderCabac* r = &tb->reader;
  DecoderState* ds = tb->decoderState;
  DecodedPicture* pic = ds ? ds->currentPicture : nullptr;
  const SequenceParameterSet* sps = pic ? pic->sps : nullptr;
  SeiRecord scratch;
  SeiRecord* rec = (pic && pic->picTiming) ? pic->picTiming : &scratch;
  std::memset(&scratch, 0, sizeof(scratch));

  while (more_rbsp_data(r) && r->bytesLeft > 0 && !r->overrun) {
    const uint32_t payloadType = read_sei_value(r);
    const uint32_t payloadSize = read_sei_value(r);
    if (r->overrun) break;
    const BitReaderCabac start = *r;
    switch (payloadType) {
      case kSeiBufferingPeriod:
        if (sps) {
          buffering_period(r, sps, rec);
          if (ds) ds->bufferingPeriodSeen = 1;
        }
        break;
      case kSeiPicTiming:
        if (sps && decode_pic_timing(r, sps, rec) == 0 && ds) apply_pic_timing(ds, pic, sps, rec);
        break;
      case kSeiUserDataUnregistered:
        if (pic && pic->frameBuffer) decode_user_data_unregistered(r, &pic->frameBuffer->userData, payloadSize);
        break;
      case kSeiRecoveryPoint:
        rec->recovery_frame_cnt = ue_v(r);
        rec->exact_match_flag = static_cast<uint8_t>(ReadOneBit(r));
        rec->broken_link_flag = static_cast<uint8_t>(ReadOneBit(r));
        rec->changing_slice_group_idc = static_cast<uint8_t>(u_n(r, 2));
        if (ds) {
          ds->recoveryPoint = 1;
          ds->recoveryFrameCnt = rec->recovery_frame_cnt;
        }
        break;
      default:
        break;
    }
    // Every message ends where its size says, whatever of it was understood:
    // the next payloadType must be read from there.
    const int64_t used = bits_since(start, r);
    const int64_t size = static_cast<int64_t>(payloadSize) * 8;
    if (!r->overrun && used < size) bs_skip_bits(r, static_cast<uint64_t>(size - used));
    bs_align(r);
  }
  return 0;
}
