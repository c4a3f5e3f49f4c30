// libFuzzer target: Annex B input through the byte-stream parser into the
// SPS, PPS and SEI parsers with one persistent decoder state, so that version
// chains, PPS binding and timing keys are exercised together.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "annexb.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "sei.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  DecoderState ds;
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  SequenceParameterSet spsHead;
  PictureParameterSet ppsHead;
  InitSequenceParameterSetHead(&spsHead);
  InitPictureParameterSetHead(&ppsHead);
  DecodedPicture pic;
  FrameBuffer fb;
  SeiRecord sei;
  std::memset(static_cast<void*>(&pic), 0, sizeof(pic));
  std::memset(static_cast<void*>(&fb), 0, sizeof(fb));
  std::memset(&sei, 0, sizeof(sei));
  pic.frameBuffer = &fb;
  pic.picTiming = &sei;
  ds.spsList = &spsHead;
  ds.ppsList = &ppsHead;
  ds.currentPicture = &pic;
  // The first byte, when present, limits the picture size as an open decoder would.
  if (size > 0 && (data[0] & 1)) {
    ds.lumaPitch = 720 + 64;
    ds.lumaHeight = 576;
  }

  // A small payload buffer, so that long units are cut at its end.
  const uint32_t capacity = 4096;
  const uint32_t bytes = nal_payload_allocation(capacity);
  uint8_t* payload = static_cast<uint8_t*>(std::malloc(bytes));
  std::memset(payload, 0, bytes);
  NalUnit nal{};
  nal.payload = payload;
  nal.capacity = bytes - 4;
  ds.parseReadPtr = data;
  ds.parseBytesLeft = static_cast<int32_t>(size);
  ds.wholeNalUnits = 1;
  ThreadBuffer tb;
  std::memset(static_cast<void*>(&tb), 0, sizeof(tb));
  tb.decoderState = &ds;
  while (ByteStreamParser_AnnexB(&ds, &nal) == kAnnexBUnitReady) {
    bs_init(&tb.reader, nal.payload, nal.length);
    switch (nal.nal_unit_type) {
      case 7:
        DecodeSequenceParameterSet(&tb);
        break;
      case 8:
        DecodePictureParameterSet(&tb, (nal.nal_ref_idc & 1) ? 0 : 1);
        break;
      case 6:
        decode_sei_rbsp(&tb);
        break;
      default:
        ++ds.accessUnitCounter;
        break;
    }
  }
  FreeSequenceParameterSets(&spsHead);
  FreePictureParameterSets(&ppsHead);
  std::free(payload);
  return 0;
}
