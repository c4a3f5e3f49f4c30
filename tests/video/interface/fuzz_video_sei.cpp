// libFuzzer target: SEI RBSPs against a sequence parameter set with NAL and
// VCL HRD parameters, picture structure and time offsets, and the camera
// user-data parser on its own.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "annexb.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "sei.h"

namespace {

void put_rbsp(uint8_t* payload, const uint8_t* data, size_t size) {
  for (size_t k = 0; k < size; ++k) payload[rbsp_byte_offset(static_cast<uint32_t>(k))] = data[k];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 16)) return 0;
  const uint8_t flags = data[0];
  ++data;
  --size;

  SequenceParameterSet sps;
  std::memset(static_cast<void*>(&sps), 0, sizeof(sps));
  sps.nal_hrd_parameters_present_flag = flags & 1;
  sps.vcl_hrd_parameters_present_flag = (flags >> 1) & 1;
  sps.pic_struct_present_flag = (flags >> 2) & 1;
  sps.cpb_cnt_minus1 = 31;
  sps.initial_cpb_removal_delay_length_minus1 = 31;
  sps.cpb_removal_delay_length_minus1 = (flags >> 3) & 31;
  sps.dpb_output_delay_length_minus1 = 31 - ((flags >> 3) & 31);
  sps.time_offset_length = (flags & 0x80) ? 31 : 0;

  DecoderState ds;
  DecodedPicture pic;
  FrameBuffer fb;
  SeiRecord rec;
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  std::memset(static_cast<void*>(&pic), 0, sizeof(pic));
  std::memset(static_cast<void*>(&fb), 0, sizeof(fb));
  std::memset(&rec, 0, sizeof(rec));
  pic.frameBuffer = &fb;
  pic.picTiming = &rec;
  pic.sps = (flags & 0x40) ? nullptr : &sps;
  ds.currentPicture = &pic;
  ds.decodeOrderOutput = (flags >> 5) & 1;

  const uint32_t bytes = nal_payload_allocation(static_cast<uint32_t>(size));
  uint8_t* payload = static_cast<uint8_t*>(std::malloc(bytes));
  std::memset(payload, 0, bytes);
  put_rbsp(payload, data, size);
  ThreadBuffer tb;
  std::memset(static_cast<void*>(&tb), 0, sizeof(tb));
  tb.decoderState = &ds;
  bs_init(&tb.reader, payload, static_cast<uint32_t>(size));
  decode_sei_rbsp(&tb);

  VideoUserData ud;
  std::memset(&ud, 0, sizeof(ud));
  bs_init(&tb.reader, payload, static_cast<uint32_t>(size));
  decode_user_data_unregistered(&tb.reader, &ud, static_cast<uint32_t>(size));
  std::free(payload);
  return 0;
}
