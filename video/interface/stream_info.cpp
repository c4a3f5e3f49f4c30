// Stream inspection calls: parameter sets, slice summaries, slice class,
// camcorder user data and decoder parameters of an Annex B buffer, without a
// decoder instance. Each call runs the decoder's own parsers over a private
// parser state and one scratch payload buffer as long as its input.
#include <cstdlib>
#include <cstring>

#include "AVCHDVideoDecoder.h"
#include "annexb.h"
#include "decoder_engine.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "sei.h"

namespace {

// Parser state and scratch payload buffer of one inspection call. Each input
// buffer holds whole NAL units (one PES), so a unit ends with the input.
class Inspection {
 public:
  Inspection(const uint8_t* data, int32_t length) {
    std::memset(static_cast<void*>(&ds_), 0, sizeof(ds_));
    std::memset(static_cast<void*>(&tb_), 0, sizeof(tb_));
    std::memset(&nal_, 0, sizeof(nal_));
    const uint32_t size = length > 0 ? static_cast<uint32_t>(length) : 0u;
    const uint32_t bytes = nal_payload_allocation(size);
    void* p = nullptr;
    if (posix_memalign(&p, 16, bytes) != 0) return;
    nal_.payload = static_cast<uint8_t*>(p);
    nal_.capacity = bytes - 4u;
    // The parser zeroes what the reader may load after each unit, up to the
    // capacity; only the guard word beyond it is left. The payload is not
    // cleared as a whole: it is as long as the input, and this runs per PES.
    std::memset(nal_.payload + nal_.capacity, 0, 4);
    ds_.parseReadPtr = data;
    ds_.parseBytesLeft = (data != nullptr) ? static_cast<int32_t>(size) : 0;
    ds_.wholeNalUnits = 1;
    tb_.decoderState = &ds_;
  }
  ~Inspection() { std::free(nal_.payload); }
  Inspection(const Inspection&) = delete;
  Inspection& operator=(const Inspection&) = delete;

  bool ok() const { return nal_.payload != nullptr; }

  // Next complete NAL unit, with the reader at its first payload bit.
  bool next() {
    if (ByteStreamParser_AnnexB(&ds_, &nal_) != kAnnexBUnitReady) return false;
    bs_init(&tb_.reader, nal_.payload, nal_.length);
    return true;
  }

  const NalUnit& nal() const { return nal_; }
  ThreadBuffer* tb() { return &tb_; }
  DecoderState* state() { return &ds_; }
  BitReaderCabac* reader() { return &tb_.reader; }

 private:
  DecoderState ds_;
  ThreadBuffer tb_;
  NalUnit nal_;
};

bool is_slice(uint32_t type) { return type == 1 || type == 5; }

inline uint8_t clamp_u8(uint32_t v) { return v > 255u ? 255u : static_cast<uint8_t>(v); }

// Parses the SPS at the reader into an empty list head; 0, 1 or 12.
int32_t parse_sps_alone(Inspection& in, SequenceParameterSet* sps) {
  InitSequenceParameterSetHead(sps);
  in.state()->spsList = sps;
  const int32_t result = DecodeSequenceParameterSet(in.tb());
  in.state()->spsList = nullptr;
  return result;
}

template <typename T>
T* allocate_zeroed() {
  return static_cast<T*>(std::calloc(1, sizeof(T)));
}

// Parses a parameter set with `parse` (which fills `record`) and hands its
// field block out as the node's payload; returns the parse result.
template <typename Fields, typename Record, typename Parse>
int32_t describe_parameter_set(Inspection& in, VideoStreamInfo* node, Record* record, Parse parse) {
  auto* out = allocate_zeroed<Fields>();
  if (!out) return kParamSetNoMemory;
  in.state()->paramSetRefusal = kVideoRefusalNone;
  const int32_t result = parse();
  // A complete set refused for its syntax is handed out too, marked.
  const bool refused = result == kParamSetUnsupported && in.state()->paramSetRefusal != kVideoRefusalNone;
  if ((result == kParamSetOk || refused) && !in.reader()->overrun) {
    std::memcpy(out, static_cast<const Fields*>(record), sizeof(Fields));
    node->status = refused ? 2 : 0;
  } else {
    node->status = 1;
  }
  node->pPayload = out;
  return result;
}

// Fills a node's payload from the unit at the reader; returns the parse
// result for parameter sets, -1 for slices (no result of their own).
int32_t describe_unit(Inspection& in, VideoStreamInfo* node, uint32_t type) {
  BitReaderCabac* r = in.reader();
  if (type == 7) {
    SequenceParameterSet sps;
    return describe_parameter_set<SequenceParameterSetFields>(in, node, &sps,
                                                              [&] { return parse_sps_alone(in, &sps); });
  }
  if (type == 8) {
    PictureParameterSet pps;
    return describe_parameter_set<PictureParameterSetFields>(in, node, &pps, [&] {
      InitPictureParameterSetHead(&pps);
      in.state()->ppsList = &pps;
      const int32_t result = DecodePictureParameterSet(in.tb(), 1);
      in.state()->ppsList = nullptr;
      return result;
    });
  }
  auto* out = allocate_zeroed<SliceSummary>();
  if (!out) return kParamSetNoMemory;
  out->first_mb_in_slice = ue_v(r);
  out->slice_type = clamp_u8(ue_v(r));
  out->pic_parameter_set_id = clamp_u8(ue_v(r));
  node->status = r->overrun ? 1 : 0;
  node->pPayload = out;
  return -1;
}

}  // namespace

extern "C" int32_t AVCHDGetVideoStreamInfoLib(VideoStreamInfo* head, const uint8_t* data, int32_t length,
                                              uint32_t what) {
  if (!head) return 1;
  std::memset(head, 0, sizeof(*head));
  Inspection in(data, length);
  if (!in.ok()) return 1;
  int32_t overall = 0;
  VideoStreamInfo* node = head;
  bool used = false;
  while (in.next()) {
    if (used) {
      auto* fresh = allocate_zeroed<VideoStreamInfo>();
      if (!fresh) return 1;
      node->pNext = fresh;
      node = fresh;
      used = false;
    }
    const NalUnit& nal = in.nal();
    node->nal_ref_idc = nal.nal_ref_idc;
    node->nal_unit_type = static_cast<uint8_t>(nal.nal_unit_type);
    node->length = nal.length;
    const bool wanted = (nal.nal_unit_type == 7 && (what & kStreamInfoSps)) ||
                        (nal.nal_unit_type == 8 && (what & kStreamInfoPps)) ||
                        (is_slice(nal.nal_unit_type) && (what & kStreamInfoSlices));
    if (!wanted) continue;  // the node is free for the next unit
    used = true;
    const int32_t result = describe_unit(in, node, nal.nal_unit_type);
    if (result >= 0) overall = result;
  }
  return overall;
}

extern "C" int32_t AVCHDReleaseVideoStreamInfoLib(VideoStreamInfo* head) {
  if (!head) return 0;
  VideoStreamInfo* node = head->pNext;
  while (node) {
    VideoStreamInfo* next = node->pNext;
    std::free(node->pPayload);
    std::free(node);
    node = next;
  }
  std::free(head->pPayload);
  head->pPayload = nullptr;
  head->pNext = nullptr;
  return 0;
}

extern "C" int32_t AVCHDGetSliceTypeAnnexBLib(const uint8_t* data, int32_t length) {
  constexpr int32_t kNone = 8;
  if (!data || length <= 0) return kNone;
  Inspection in(data, length);
  if (!in.ok()) return 255;
  while (in.next()) {
    const NalUnit& nal = in.nal();
    if (!is_slice(nal.nal_unit_type)) continue;
    BitReaderCabac* r = in.reader();
    ue_v(r);  // first_mb_in_slice
    const uint32_t sliceType = ue_v(r);
    if (sliceType >= 2 * kSliceTypeCount || r->overrun) return kNone;
    if (nal.nal_unit_type == 5) return 5;
    switch (sliceType % kSliceTypeCount) {
      case kSliceTypeP:
        return 1;
      case kSliceTypeB:
        return nal.nal_ref_idc != 0 ? 3 : 2;
      case kSliceTypeI:
        return 4;
      case kSliceTypeSP:
        return 6;
      default:  // kSliceTypeSI
        return 7;
    }
  }
  return kNone;
}

extern "C" int32_t AVCHDGetVideoUserDataLib(VideoUserData* out, const uint8_t* data, int32_t length) {
  if (!out) return 1;
  Inspection in(data, length);
  if (!in.ok()) return 1;
  // A scratch access unit without SPS: timing SEI are skipped.
  SeiRecord timing;
  FrameBuffer frame;
  DecodedPicture picture;
  std::memset(&timing, 0, sizeof(timing));
  std::memset(static_cast<void*>(&frame), 0, sizeof(frame));
  std::memset(static_cast<void*>(&picture), 0, sizeof(picture));
  picture.frameBuffer = &frame;
  picture.picTiming = &timing;
  in.state()->currentPicture = &picture;
  while (in.next()) {
    if (in.nal().nal_unit_type != 6) continue;
    decode_sei_rbsp(in.tb());
    if (frame.userData.valid) {
      *out = frame.userData;
      return 0;
    }
  }
  return 1;
}

extern "C" int32_t AVCHDGetVideoDecoderInfoLib(VideoDecoderParams* p, const uint8_t* data, int32_t length) {
  constexpr int32_t kNoSps = 9;
  Inspection in(data, length);
  if (!in.ok()) return 8;
  if (!p) return kNoSps;
  while (in.next()) {
    if (in.nal().nal_unit_type != 7) continue;
    SequenceParameterSet sps;
    // A complete set whose syntax the decoder refuses (frame_num gaps, 4:2:2,
    // more than 8 bits, ...) still sizes a decoder: the instance then refuses
    // the stream with error 6 and names the reason.
    in.state()->paramSetRefusal = kVideoRefusalNone;
    const int32_t parsed = parse_sps_alone(in, &sps);
    const bool refusedSyntax = parsed == kParamSetUnsupported && in.state()->paramSetRefusal != kVideoRefusalNone;
    if ((parsed != kParamSetOk && !refusedSyntax) || in.reader()->overrun) return kNoSps;
    // Luma samples per chroma sample, horizontally and vertically, by
    // chroma_format_idc (0 has no chroma: cropping counts whole samples).
    static const uint8_t SubWidthC[4] = {1, 2, 2, 1};
    static const uint8_t SubHeightC[4] = {1, 2, 1, 1};
    const uint32_t fieldFactor = 2u - sps.frame_mbs_only_flag;
    const uint32_t chroma = sps.chroma_format_idc & 3u;
    std::memset(p, 0, sizeof(*p));
    p->profile = sps.profile_idc;
    p->level = sps.level_idc;
    p->chromaFormat = sps.chroma_format_idc;
    p->codedWidth = static_cast<uint16_t>(16u * sps.PicWidthInMbs);
    p->codedHeight = static_cast<uint16_t>(16u * sps.FrameHeightInMbs);
    p->outputWidth = p->codedWidth;
    p->outputHeight = p->codedHeight;
    if (sps.frame_cropping_flag) {
      p->outputWidth = static_cast<uint16_t>(p->codedWidth - SubWidthC[chroma] * sps.frame_crop_right_offset);
      p->outputHeight =
          static_cast<uint16_t>(p->codedHeight - SubHeightC[chroma] * fieldFactor * sps.frame_crop_bottom_offset);
    }
    p->timeoutMs = 5000;
    return 0;
  }
  return kNoSps;
}

extern "C" int32_t AVCHDGetVideoRefusalLib(VideoRefusal* out, const uint8_t* data, int32_t length) {
  if (!out) return 2;
  std::memset(out, 0, sizeof(*out));
  Inspection in(data, length);
  if (!in.ok()) return 8;
  while (in.next()) {
    if (in.nal().nal_unit_type != 7) continue;
    SequenceParameterSet sps;
    in.state()->paramSetRefusal = kVideoRefusalNone;
    if (parse_sps_alone(in, &sps) == kParamSetUnsupported && in.state()->paramSetRefusal != kVideoRefusalNone &&
        !in.reader()->overrun) {
      describe_refusal(out, in.state()->paramSetRefusal, 0);
      return 0;
    }
  }
  return 0;
}
