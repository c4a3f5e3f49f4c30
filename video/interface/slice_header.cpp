// NAL unit dispatch and the slice header: new-picture detection, picture
// order count, keys, per-picture set-up and output-order insertion, the
// prediction weight table and the slice fields the later stages read.
#include <cstring>

#include "cabac_engine.h"
#include "decoder_engine.h"
#include "engine_internal.h"
#include "mb_record.h"
#include "slice_repair.h"

namespace {

constexpr uint8_t kEmptySetId = 255;
constexpr uint8_t kProfileExtended = 88;  // profile_idc of the Extended profile, the one with SP and SI slices

PictureParameterSet* find_pps(PictureParameterSet* head, uint32_t id, uint32_t accessUnit) {
  PictureParameterSet* p = head;
  while (p && (p->seq_parameter_set_id == kEmptySetId || p->pic_parameter_set_id != id)) p = p->nextId;
  if (!p) return nullptr;
  while (p->nextVersion && p->nextVersion->validFrom <= accessUnit) p = p->nextVersion;
  return p;
}

// Structure of the picture a slice header describes: a field's is its
// parity, bottom_field_flag.
uint8_t structure_of(uint32_t fieldPicFlag, uint8_t bottomFieldFlag) {
  return fieldPicFlag ? bottomFieldFlag : uint8_t{kFrame};
}

}  // namespace

bool read_header_start(BitReaderCabac* r, PictureParameterSet* ppsList, uint32_t accessUnit, uint32_t nalType,
                       HeaderStart* h) {
  std::memset(h, 0, sizeof(*h));
  h->first_mb_in_slice = ue_v(r);
  h->slice_type = ue_v(r);
  h->pps_id = ue_v(r);
  h->pps = find_pps(ppsList, h->pps_id, accessUnit);
  if (!h->pps || !h->pps->sps) return false;
  const SequenceParameterSet* sps = h->pps->sps;
  h->frame_num = u_n(r, sps->log2_max_frame_num);
  if (!sps->frame_mbs_only_flag) {
    h->field_pic_flag = static_cast<uint8_t>(ReadOneBit(r));
    if (h->field_pic_flag) h->bottom_field_flag = static_cast<uint8_t>(ReadOneBit(r));
  }
  if (nalType == 5) h->idr_pic_id = ue_v(r);
  if (sps->pic_order_cnt_type == 0) {
    h->poc_lsb = u_n(r, sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
    if (h->pps->pic_order_present_flag && !h->field_pic_flag) h->delta_bottom = se_v(r);
  } else if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag) {
    h->delta[0] = se_v(r);
    if (h->pps->pic_order_present_flag && !h->field_pic_flag) h->delta[1] = se_v(r);
  }
  return true;
}

namespace {

// The slice's identity fields, as read.
void take_header_start(SliceDecodeContext* s, const HeaderStart& h) {
  s->pic_parameter_set_id = static_cast<uint8_t>(h.pps_id);
  s->frame_num = h.frame_num;
  s->field_pic_flag_coded = h.field_pic_flag;
  s->bottom_field_flag = h.bottom_field_flag;
  s->CurrPicNum = h.field_pic_flag ? 2 * h.frame_num + 1 : h.frame_num;
  s->idr_pic_id = static_cast<uint16_t>(h.idr_pic_id);
  s->pic_order_cnt_lsb = h.poc_lsb;
  s->delta_pic_order_cnt_bottom = h.delta_bottom;
  s->delta_pic_order_cnt[0] = h.delta[0];
  s->delta_pic_order_cnt[1] = h.delta[1];
}

void insert_after(DecodedPicture* at, DecodedPicture* p) {
  p->prevInOutputOrder = at;
  p->nextInOutputOrder = at->nextInOutputOrder;
  if (at->nextInOutputOrder) at->nextInOutputOrder->prevInOutputOrder = p;
  at->nextInOutputOrder = p;
}

void insert_before(DecodedPicture* at, DecodedPicture* p) {
  p->nextInOutputOrder = at;
  p->prevInOutputOrder = at->prevInOutputOrder;
  if (at->prevInOutputOrder) at->prevInOutputOrder->nextInOutputOrder = p;
  at->prevInOutputOrder = p;
}

// Places the picture in the output-order list by its output key, starting
// from its decode-order predecessor. Keys rather than raw counts are compared
// so that pictures after an IDR picture never sort among the ones before it.
void insert_in_output_order(DecodedPicture* p) {
  DecodedPicture* q = p->prevInDecodeOrder;
  if (!q) return;
  if (q->outputKey < p->outputKey) {
    while (q->nextInOutputOrder && q->nextInOutputOrder->outputKey < p->outputKey) q = q->nextInOutputOrder;
    insert_after(q, p);
  } else {
    while (q->prevInOutputOrder && q->outputKey > p->outputKey) q = q->prevInOutputOrder;
    if (q->outputKey > p->outputKey)
      insert_before(q, p);
    else
      insert_after(q, p);
  }
}

void unlink_output_order(DecodedPicture* p) {
  if (p->prevInOutputOrder) p->prevInOutputOrder->nextInOutputOrder = p->nextInOutputOrder;
  if (p->nextInOutputOrder) p->nextInOutputOrder->prevInOutputOrder = p->prevInOutputOrder;
  p->prevInOutputOrder = p->nextInOutputOrder = nullptr;
}

}  // namespace

int32_t order_count_msb(int32_t prevMsb, int32_t prevLsb, int32_t lsb, int32_t maxLsb) {
  if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) return prevMsb + maxLsb;
  if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) return prevMsb - maxLsb;
  return prevMsb;
}

namespace {

// Picture order count of the current picture (both fields' counts).
void derive_poc(VideoDecoder* dec, SliceDecodeContext* s, const SequenceParameterSet* sps, bool idr,
                uint8_t nalRefIdc, DecodedPicture* p) {
  PocMemory& m = dec->poc;
  if (m.pendingValid) {
    if (m.pendingIsReference) {
      m.prev.refMsb = m.pending.refMsb;
      m.prev.refLsb = m.pending.refLsb;
    }
    m.prev.frameNumOffset = m.pending.frameNumOffset;
    m.prev.frameNum = m.pending.frameNum;
    m.pendingValid = 0;
  }
  if (m.idrReadingArmed || m.idrReadingPicture) reread_first_picture_as_idr(dec, s, sps, idr, p);
  if (idr) std::memset(&m.prev, 0, sizeof(m.prev));
  const bool field = s->field_pic_flag_coded != 0;
  const bool bottom = field && s->bottom_field_flag;
  int32_t top = 0;
  int32_t bot = 0;
  int32_t msbOrOffset = 0;
  if (sps->pic_order_cnt_type == 0) {
    const int32_t maxLsb = static_cast<int32_t>(sps->MaxPicOrderCntLsb);
    const int32_t lsb = static_cast<int32_t>(s->pic_order_cnt_lsb);
    const int32_t prevLsb = m.prev.refLsb;
    int32_t msb = m.prev.refMsb;
    if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2)
      msb += maxLsb;
    else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2)
      msb -= maxLsb;
    msbOrOffset = msb;
    top = msb + lsb;
    bot = field ? top : top + s->delta_pic_order_cnt_bottom;
  } else {
    const int32_t maxFrameNum = static_cast<int32_t>(sps->MaxFrameNum);
    int32_t offset = 0;
    if (!idr) {
      offset = m.prev.frameNumOffset;
      if (s->frame_num < m.prev.frameNum) offset += maxFrameNum;
    }
    msbOrOffset = offset;
    if (sps->pic_order_cnt_type == 2) {
      int32_t t = idr ? 0 : 2 * (offset + static_cast<int32_t>(s->frame_num));
      if (!idr && nalRefIdc == 0) t -= 1;
      top = bot = t;
    } else {
      const int32_t cycle = sps->num_ref_frames_in_pic_order_cnt_cycle;
      int32_t abs = cycle != 0 ? offset + static_cast<int32_t>(s->frame_num) : 0;
      if (nalRefIdc == 0 && abs > 0) abs -= 1;
      int32_t expected = 0;
      if (abs > 0) {
        int32_t delta = 0;
        for (int32_t i = 0; i < cycle; ++i) delta += sps->offset_for_ref_frame[i];
        const int32_t cnt = (abs - 1) / cycle;
        const int32_t inCycle = (abs - 1) % cycle;
        expected = cnt * delta;
        for (int32_t i = 0; i <= inCycle; ++i) expected += sps->offset_for_ref_frame[i];
      }
      if (nalRefIdc == 0) expected += sps->offset_for_non_ref_pic;
      if (!field) {
        top = expected + s->delta_pic_order_cnt[0];
        bot = top + sps->offset_for_top_to_bottom_field + s->delta_pic_order_cnt[1];
      } else if (!bottom) {
        top = bot = expected + s->delta_pic_order_cnt[0];
      } else {
        top = bot = expected + sps->offset_for_top_to_bottom_field + s->delta_pic_order_cnt[0];
      }
    }
  }
  int32_t lsbRead = static_cast<int32_t>(s->pic_order_cnt_lsb);
  // An IDR picture's order count is 0 (the least of a frame's two). Another
  // is a damaged pic_order_cnt_lsb or delta: kept, it would put the pictures
  // after the IDR picture before it in output order. The counts are moved
  // so that the least is 0 (both 0 when their distance is beyond what a
  // stream can carry), and the pictures after it follow as sent.
  if (idr) {
    const int64_t least = field ? (bottom ? bot : top) : (top < bot ? top : bot);
    if (least != 0) {
      int64_t t = top - least, b = bot - least;
      const int64_t bound = sps->pic_order_cnt_type == 0 ? sps->MaxPicOrderCntLsb / 2 : 1 << 16;
      if (t > bound || b > bound) t = b = 0;
      top = static_cast<int32_t>(t);
      bot = static_cast<int32_t>(b);
      if (sps->pic_order_cnt_type == 0) {
        msbOrOffset = 0;
        lsbRead = top;
      }
      ++dec->damage.slicesRepaired;
    }
  }
  p->picOrderCntLsb = static_cast<uint32_t>(lsbRead);
  p->picOrderCntMsb = msbOrOffset;
  p->topFieldOrderCnt = top;
  p->bottomFieldOrderCnt = bot;
  p->pictureOrderCount = field ? (bottom ? bot : top) : (top < bot ? top : bot);
  // A picture out of place leaves the counts of the pictures in place as
  // they were.
  if (p->outOfPlace) return;
  m.pending.refMsb = sps->pic_order_cnt_type == 0 ? msbOrOffset : 0;
  m.pending.refLsb = lsbRead;
  m.pending.frameNumOffset = sps->pic_order_cnt_type == 0 ? 0 : msbOrOffset;
  m.pending.frameNum = s->frame_num;
  m.pendingValid = 1;
  m.pendingIsReference = nalRefIdc != 0;
}

// Keys of a picture without picture timing: output keys are picture order
// counts on a base that rises at every IDR picture.
void assign_keys(DecoderState* ds, DecodedPicture* p, bool idr, uint32_t openFlags) {
  if (p->hasPicTiming) return;
  if (idr && p->accessUnitIndex != 0 && ds->startPicture) {
    ds->keyBase = ds->highestKey + 2;
    ++ds->keyEpoch;
  }
  p->keyEpoch = ds->keyEpoch;
  p->decodeKey = static_cast<int32_t>(p->structure == kFrame ? p->accessUnitIndex * 2 : p->accessUnitIndex);
  p->outputKey = (openFlags & kOpenDecodeOrder) ? p->decodeKey : ds->keyBase + p->pictureOrderCount;
  p->releaseKey = p->outputKey;
  if (p->outputKey > ds->highestKey) ds->highestKey = p->outputKey;
}

// An IDR picture or memory_management_control_operation 5 ends the order of
// the pictures before it: every one of them still waiting for output comes
// first and may be output without waiting for later pictures.
void bump_earlier(DecoderState* ds, DecodedPicture* p) { release_before(decoder_of(ds), p); }

// After memory_management_control_operation 5 the picture's counts restart
// from it, and every earlier picture is output before it.
void apply_mmco5(VideoDecoder* dec, DecodedPicture* p, uint32_t openFlags) {
  DecoderState* ds = &dec->state;
  const int32_t lower = p->topFieldOrderCnt < p->bottomFieldOrderCnt ? p->topFieldOrderCnt : p->bottomFieldOrderCnt;
  const int32_t temp = p->structure == kFrame      ? lower
                       : p->structure == kTopField ? p->topFieldOrderCnt
                                                   : p->bottomFieldOrderCnt;
  p->topFieldOrderCnt -= temp;
  p->bottomFieldOrderCnt -= temp;
  p->pictureOrderCount -= temp;
  PocMemory& m = dec->poc;
  m.pending.refMsb = 0;
  m.pending.refLsb = p->structure == kBottomField ? 0 : p->topFieldOrderCnt;
  m.pending.frameNumOffset = 0;
  m.pending.frameNum = 0;
  dec->refFrameNum = 0;
  dec->sentFieldCount = 0;
  bump_earlier(ds, p);
  if (p->hasPicTiming || (openFlags & kOpenDecodeOrder)) return;
  ds->keyBase = ds->highestKey + 2;
  p->keyEpoch = ++ds->keyEpoch;
  p->outputKey = ds->keyBase + p->pictureOrderCount;
  p->releaseKey = p->outputKey;
  if (p->outputKey > ds->highestKey) ds->highestKey = p->outputKey;
  if (p->frameBuffer) p->frameBuffer->key = static_cast<uint64_t>(static_cast<int64_t>(p->outputKey));
  // Moves to the end of the output order.
  DecodedPicture* tail = p->prevInDecodeOrder;
  unlink_output_order(p);
  if (tail) {
    while (tail->nextInOutputOrder) tail = tail->nextInOutputOrder;
    insert_after(tail, p);
  }
}

// The picture before p in decode order, past the fields out of place that
// stand between (a field in place pairs across them).
DecodedPicture* in_place_before(const DecodedPicture* p) {
  DecodedPicture* q = p->prevInDecodeOrder;
  if (p->outOfPlace) return q;
  for (uint32_t i = 0; i < kFieldHistory && q && q->setUp && q->outOfPlace; ++i) q = q->prevInDecodeOrder;
  return q;
}

bool first_field_alone(const DecodedPicture* q) {
  return q && q->setUp && q->structure != kFrame && !q->pairedField && !q->secondField && !q->unpaired;
}

// Pairs a field with the opposite field of the same frame that precedes it
// in decode order: a first field (not the second field of a pair, whatever
// became of that pair's records since) of the same frame_num, both reference
// fields or both non-reference fields. Only what the stream says decides, so
// a field sent again pairs the same way however far output has got.
void pair_fields(DecodedPicture* p, uint32_t frameNum) {
  DecodedPicture* q = in_place_before(p);
  if (!q || !q->setUp || p->structure == kFrame || q->structure == kFrame || q->structure == p->structure) return;
  if (q->pairedField || q->secondField || q->unpaired || q->frameNum != frameNum) return;
  if ((q->nalRefIdc != 0) != (p->nalRefIdc != 0)) return;
  q->pairedField = p;
  p->pairedField = q;
  p->secondField = 1;
  // The second field is written into the first field's planes, making the
  // frame one interleaved picture. A first field that repeats an earlier
  // picture (skipped) lends nothing: the second keeps its own planes.
  if (!q->repeated) p->frameBuffer->storage = const_cast<FrameBuffer*>(planes_of(q->frameBuffer));
}

// A non-reference field whose frame_num does not follow the last reference
// picture's: a non-reference picture's frame_num is the last reference's
// plus one, so this one stands far from its place (a field sent again ahead
// of its own, or pictures lost before it).
bool out_of_place(const VideoDecoder* dec, uint32_t frameNum, bool idr, uint8_t nalRefIdc, uint32_t maxFrameNum) {
  return !idr && nalRefIdc == 0 && dec->refFrameNumKnown && frameNum != (dec->refFrameNum + 1) % maxFrameNum;
}

// Whether two parameter sets say the same, whichever versions of their ids
// they are.
bool same_content(const SequenceParameterSet* a, const SequenceParameterSet* b) {
  return a == b || std::memcmp(static_cast<const SequenceParameterSetFields*>(a),
                               static_cast<const SequenceParameterSetFields*>(b),
                               sizeof(SequenceParameterSetFields)) == 0;
}
bool same_content(const PictureParameterSet* a, const PictureParameterSet* b) {
  return a == b || std::memcmp(static_cast<const PictureParameterSetFields*>(a),
                               static_cast<const PictureParameterSetFields*>(b),
                               sizeof(PictureParameterSetFields)) == 0;
}

// The picture set up lately (since the last IDR picture) that has the
// identity this header gives, or null.
FieldIdentity* sent_before(VideoDecoder* dec, const HeaderStart& h, uint8_t nalRefIdc) {
  const uint32_t n = dec->sentFieldCount < kFieldHistory ? dec->sentFieldCount : kFieldHistory;
  const uint8_t structure = structure_of(h.field_pic_flag, h.bottom_field_flag);
  for (uint32_t i = 0; i < n; ++i) {
    FieldIdentity* f = &dec->sentFields[(dec->sentFieldCount - 1 - i) % kFieldHistory];
    if (f->matched || f->idr || f->structure != structure || f->frameNum != h.frame_num || f->pocLsb != h.poc_lsb ||
        f->delta0 != h.delta[0] || f->reference != (nalRefIdc != 0))
      continue;
    if (structure == kFrame && (f->deltaBottom != h.delta_bottom || f->delta1 != h.delta[1])) continue;
    if (!same_content(f->sps, h.pps->sps)) continue;
    return f;
  }
  return nullptr;
}

// Whether a picture whose identity matches f's stands where a sound stream
// may repeat that identity (frame_num and order counts wrap): its frame_num
// follows on from the last reference picture's (the next number; a second
// field's own first field's) and, for a non-reference picture, a reference
// picture came between the two (else the same frame_num and order count
// come twice).
bool repeat_may_be_sound(const VideoDecoder* dec, const FieldIdentity* f, const DecodedPicture* p, const HeaderStart& h,
                         uint8_t nalRefIdc, uint32_t maxFrameNum) {
  if (!dec->refFrameNumKnown) return true;
  if (nalRefIdc == 0) return h.frame_num == (dec->refFrameNum + 1) % maxFrameNum && f->refFrameNum != dec->refFrameNum;
  if (h.frame_num == (dec->refFrameNum + 1) % maxFrameNum) return true;
  if (!h.field_pic_flag || h.frame_num != dec->refFrameNum) return false;
  const DecodedPicture* q = in_place_before(p);
  return first_field_alone(q) && q->structure != h.bottom_field_flag && q->frameNum == h.frame_num &&
         q->nalRefIdc != 0;
}

// A picture with the identity of one set up lately, where a sound stream
// cannot repeat it, is that picture sent again: it is left out
// (kStepSentAgain). Only when the earlier one, a field, came out of place
// and this one comes in place is the earlier one the copy: it is given up
// for output (with its other field, when both came out of place) unless it
// was released already, and this one is decoded.
int32_t sent_again(VideoDecoder* dec, const DecodedPicture* p, const HeaderStart& h, uint8_t nalRefIdc,
                   uint32_t maxFrameNum) {
  FieldIdentity* f = sent_before(dec, h, nalRefIdc);
  if (!f) return 0;
  if (!h.field_pic_flag || !f->outOfPlace || out_of_place(dec, h.frame_num, false, nalRefIdc, maxFrameNum))
    return repeat_may_be_sound(dec, f, p, h, nalRefIdc, maxFrameNum) ? 0 : int32_t{kStepSentAgain};
  f->matched = 1;
  ++dec->damage.fieldsRepeated;
  DecodedPicture* q = f->picture;
  if (q->setUpOrder != f->setUpOrder || q->released || q->outputDone) return 0;
  q->outputDone = 1;
  DecodedPicture* other = q->pairedField;
  if (other && other->outOfPlace && !other->released) other->outputDone = 1;
  return 0;
}

// Notes the identity of a picture just set up.
void remember_field(VideoDecoder* dec, const DecodedPicture* p, const SliceDecodeContext* s) {
  FieldIdentity* f = &dec->sentFields[dec->sentFieldCount++ % kFieldHistory];
  f->picture = const_cast<DecodedPicture*>(p);
  f->setUpOrder = p->setUpOrder;
  f->sps = p->sps;
  f->frameNum = s->frame_num;
  f->pocLsb = s->pic_order_cnt_lsb;
  f->delta0 = s->delta_pic_order_cnt[0];
  f->delta1 = s->delta_pic_order_cnt[1];
  f->deltaBottom = s->delta_pic_order_cnt_bottom;
  f->structure = p->structure;
  f->reference = p->nalRefIdc != 0 ? 1 : 0;
  f->idr = p->idr;
  f->refFrameNum = dec->refFrameNum;
  f->outOfPlace = p->outOfPlace;
  f->matched = 0;
}

// A field set up and then withdrawn was never in the stream's pictures.
void forget_field(VideoDecoder* dec, const DecodedPicture* p) {
  if (!p->setUp || dec->sentFieldCount == 0) return;
  const FieldIdentity& f = dec->sentFields[(dec->sentFieldCount - 1) % kFieldHistory];
  if (f.picture == p && f.setUpOrder == p->setUpOrder) --dec->sentFieldCount;
}

// An IDR picture whose timing starts again (a stream joined on) comes after
// every picture before it: its keys move on past theirs, and those of the
// pictures timed from it with them. Its removal time moves past them, not
// only its output time: pictures that follow it in decode order may be
// shown before it, never before their own removal.
void follow_earlier_timing(VideoDecoder* dec, DecodedPicture* p) {
  DecoderState* ds = &dec->state;
  bool any = dec->releaseFloorSet != 0;
  int32_t last = dec->releaseFloor;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    const DecodedPicture* q = &ds->pictures[i];
    if (q == p || !q->setUp || q->outputDone) continue;
    if (!any || q->outputKey > last) last = q->outputKey;
    any = true;
  }
  if (!any || p->decodeKey > last) return;
  const int32_t shift = last + 2 - p->decodeKey;
  p->decodeKey += shift;
  p->outputKey += shift;
  p->frameBuffer->key = static_cast<uint64_t>(static_cast<int64_t>(p->outputKey));
  ds->removalTimeBase += shift;
}

// Ends every reference but p, as an IDR picture does.
void unmark_all_but(DecoderState* ds, DecodedPicture* p) {
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* q = &ds->pictures[i];
    if (q != p && q->referenceMarking) unmark_reference(q, p, 3);
  }
}

int32_t per_picture_setup(VideoDecoder* dec, ThreadBuffer* tb, SliceDecodeContext* s, SequenceParameterSet* sps,
                          bool idr, uint8_t nalRefIdc, uint32_t openFlags) {
  DecoderState* ds = &dec->state;
  DecodedPicture* p = ds->currentPicture;
  const uint32_t field = s->field_pic_flag_coded;
  // Later pictures read a reference picture's motion for direct prediction.
  if (!bind_picture_arrays(ds, p, idr || nalRefIdc != 0)) return block_shortage(&dec->motionPool);
  // A stream joined on without its IDR picture starts here: like an IDR
  // picture, this one begins the order counts, keys and output order anew.
  const uint8_t starting = dec->join.starting;
  dec->join.starting = kStreamStartNone;
  const bool fresh = idr || starting != kStreamStartNone;
  if (starting != kStreamStartNone) {
    dec->join.awaitingStart = 0;
    dec->poc.pendingValid = 0;
    std::memset(&dec->poc.prev, 0, sizeof(dec->poc.prev));
    // Its frame_num follows on from no picture of the stream before it.
    dec->prevRefFrameNumKnown = 0;
    dec->referenceLost = 0;
  }
  dec->join.activeSps = sps;
  dec->join.activePps = s->pps;
  p->setUp = 1;
  p->setUpOrder = ++dec->setUpCount;
  p->frameNum = s->frame_num;
  p->widthInMbs = sps->PicWidthInMbs;
  const uint32_t heightMbs = sps->FrameHeightInMbs / (1 + field);
  p->mbsLeft = p->mbCount = sps->PicWidthInMbs * heightMbs;
  if (p->mbWritten) std::memset(p->mbWritten, 0, p->mbCount);
  if (p->mbFlags) std::memset(p->mbFlags, 0, p->mbCount);
  if (p->mbClaims) std::memset(p->mbClaims, 0, p->mbCount * sizeof(uint16_t));
  p->lumaHeight = static_cast<uint16_t>(heightMbs * 16);
  p->chromaHeight = static_cast<uint16_t>(heightMbs * 8);
  // A field's lines are every other line of the frame.
  p->lumaPitch = static_cast<uint16_t>(ds->lumaPitch * (1 + field));
  p->chromaPitch = static_cast<uint16_t>(ds->chromaPitch * (1 + field));
  p->chroma_format_idc = sps->chroma_format_idc;
  p->sps = sps;
  set_output_size(ds, p);
  p->idr = idr ? 1 : 0;
  p->nalRefIdc = nalRefIdc;
  p->structure = structure_of(field, s->bottom_field_flag);
  p->frameBuffer->structure = p->structure;
  p->pairedField = nullptr;
  p->secondField = 0;
  p->outOfPlace = out_of_place(dec, s->frame_num, idr, nalRefIdc, sps->MaxFrameNum) ? 1 : 0;
  if (idr || nalRefIdc != 0) {
    dec->refFrameNum = idr ? 0 : s->frame_num;
    dec->refFrameNumKnown = 1;
  }
  // Picture timing without HRD delays carries no output time: the keys then
  // come from the picture order count (its pic_struct still counts).
  if (p->hasPicTiming && !sps->nal_hrd_parameters_present_flag && !sps->vcl_hrd_parameters_present_flag)
    p->hasPicTiming = 0;
  derive_poc(dec, s, sps, idr, nalRefIdc, p);
  assign_keys(ds, p, fresh, openFlags);
  if (!p->hasPicTiming) p->frameBuffer->key = static_cast<uint64_t>(static_cast<int64_t>(p->outputKey));
  pair_fields(p, s->frame_num);
  note_field_order(dec, p, fresh || (s->slice_type == kSliceTypeI && !p->secondField));
  if (fresh) dec->sentFieldCount = 0;  // a stream's start begins the identities anew
  remember_field(dec, p, s);
  // Whether or not a slice of it is ever decoded: set up with the sets in
  // force, whatever the buffer held before.
  fill_unwritten_planes(ds, p);
  // The field before without its second field now is output alone (a
  // field out of place leaves a field in place waiting for its own), and so
  // is a field in place before fields out of place.
  DecodedPicture* prev = p->prevInDecodeOrder;
  if (prev && !(p->outOfPlace && !prev->outOfPlace) && first_field_alone(prev)) mark_unpaired(dec, prev);
  DecodedPicture* placed = in_place_before(p);
  if (placed != prev && first_field_alone(placed)) mark_unpaired(dec, placed);
  if (fresh && p->hasPicTiming) follow_earlier_timing(dec, p);
  // A later IDR picture without timing (a stream joined on) comes after the
  // pictures timed by their SEI too.
  if (p->hasPicTiming && p->outputKey > ds->highestKey) ds->highestKey = p->outputKey;
  if (fresh) bump_earlier(ds, p);
  // The pictures of a stream started without an IDR picture that come
  // before its start in output order are left out, as at the beginning of
  // the input; the pictures of the stream before it are no references.
  if (idr) dec->join.startKeySet = 0;
  if (starting != kStreamStartNone) {
    dec->join.startKeySet = 1;
    dec->join.startKey = p->outputKey;
  }
  if (starting == kStreamStartIntra) unmark_all_but(ds, p);
  if (fresh && p->prevInDecodeOrder) {
    DecodedPicture* q = p->prevInDecodeOrder;
    while (q->nextInOutputOrder) q = q->nextInOutputOrder;
    if (q != p) insert_after(q, p);
  } else {
    insert_in_output_order(p);
  }
  (void)tb;
  return 0;
}

void read_weights(BitReaderCabac* r, uint32_t count, uint8_t chromaPresent, const PredWeightTable* t,
                  int16_t* lw, int8_t* lo, int16_t (*cw)[2], int8_t (*co)[2]) {
  for (uint32_t i = 0; i < count; ++i) {
    if (ReadOneBit(r)) {
      lw[i] = static_cast<int16_t>(se_v(r));
      lo[i] = static_cast<int8_t>(se_v(r));
    } else {
      lw[i] = static_cast<int16_t>(1 << t->luma_log2_weight_denom);
      lo[i] = 0;
    }
    if (!chromaPresent) continue;
    if (ReadOneBit(r)) {
      for (int c = 0; c < 2; ++c) {
        cw[i][c] = static_cast<int16_t>(se_v(r));
        co[i][c] = static_cast<int8_t>(se_v(r));
      }
    } else {
      for (int c = 0; c < 2; ++c) {
        cw[i][c] = static_cast<int16_t>(1 << t->chroma_log2_weight_denom);
        co[i][c] = 0;
      }
    }
  }
}

// 12 when the denominators are out of range (the inferred weight would
// overflow).
int32_t pred_weight_table(BitReaderCabac* r, SliceDecodeContext* s, uint8_t chromaFormat) {
  PredWeightTable* t = &s->predWeightTable;
  const uint32_t luma = ue_v(r);
  const uint32_t chroma = chromaFormat != 0 ? ue_v(r) : 0;
  if (luma > 7 || chroma > 7) return kStepUnsupported;
  t->luma_log2_weight_denom = static_cast<uint8_t>(luma);
  t->chroma_log2_weight_denom = static_cast<uint8_t>(chroma);
  read_weights(r, s->num_ref_idx_l0_active_minus1 + 1u, chromaFormat, t, t->luma_weight_l0, t->luma_offset_l0,
               t->chroma_weight_l0, t->chroma_offset_l0);
  if (s->slice_type == kSliceTypeB)
    read_weights(r, s->num_ref_idx_l1_active_minus1 + 1u, chromaFormat, t, t->luma_weight_l1, t->luma_offset_l1,
                 t->chroma_weight_l1, t->chroma_offset_l1);
  return 0;
}

void copy_identity(PrevSliceIdentity* prev, const SliceDecodeContext* s, const SequenceParameterSet* sps,
                   uint32_t nalType, uint8_t nalRefIdc) {
  prev->valid = 1;
  prev->nal_unit_type = static_cast<uint8_t>(nalType);
  prev->nal_ref_idc = nalRefIdc;
  prev->pic_order_cnt_type = sps ? sps->pic_order_cnt_type : 0;
  prev->pic_parameter_set_id = s->pic_parameter_set_id;
  prev->frame_num = s->frame_num;
  prev->field_pic_flag = s->field_pic_flag_coded;
  prev->bottom_field_flag = s->bottom_field_flag;
  prev->idr_pic_id = s->idr_pic_id;
  prev->pic_order_cnt_lsb = s->pic_order_cnt_lsb;
  prev->delta_pic_order_cnt_bottom = s->delta_pic_order_cnt_bottom;
  prev->delta_pic_order_cnt[0] = s->delta_pic_order_cnt[0];
  prev->delta_pic_order_cnt[1] = s->delta_pic_order_cnt[1];
}

int32_t repeat_of(const DecodedPicture* p) {
  if (p->sps && p->sps->pic_struct_present_flag && p->picTiming && p->picTiming->pic_struct >= 7 &&
      p->picTiming->pic_struct <= 8)
    return p->picTiming->pic_struct - 5;
  return 1;
}

void start_output_at(DecoderState* ds, int32_t key) {
  // A picture opened while output waited to start and due before the one
  // that starts it (an IDR picture whose output is delayed) is not lost.
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    const DecodedPicture* q = &ds->pictures[i];
    if (q->setUp && !q->outputDone && q->outputKey < key) key = q->outputKey;
  }
  ds->outputPosition = key;
  if (ds->seekStep != 0) {
    ds->outputPosition += 2 * repeat_of(ds->currentPicture) * ds->seekStep;
    ds->seekStep = 0;
  }
  ds->outputStarted = 1;
  // Pictures with picture timing due before the start are not output.
  VideoDecoder* dec = decoder_of(ds);
  if (!dec->releaseFloorSet || ds->outputPosition > dec->releaseFloor) dec->releaseFloor = ds->outputPosition;
  dec->releaseFloorSet = 1;
}

// Output start with the delay test.
void output_start_check(DecoderState* ds, const SliceDecodeContext* s, DecodedPicture* p) {
  if (s->first_mb_in_slice != 0 || s->bottom_field_flag != 0 || ds->outputStarted) return;
  if (ds->decodeOrderOutput) {
    start_output_at(ds, p->decodeKey);
  } else if (p->outputKey > ds->outputDelayCount) {
    ds->outputDelayCount = static_cast<int16_t>(ds->outputDelayCount + 2);
  } else {
    start_output_at(ds, p->outputKey);
    ds->outputDelayCount = 2;
  }
}

void leading_picture_check(DecoderState* ds, const SliceDecodeContext* s, DecodedPicture* p) {
  if (s->first_mb_in_slice != 0 || s->bottom_field_flag != 0) return;
  if (ds->leadingSkipCount != 0 && (!ds->startPicture || p->outputKey < ds->startPicture->outputKey)) {
    --ds->leadingSkipCount;
    p->frameBuffer->outputStatus = 2;
  }
}

// Whether the frame_num of a non-IDR picture p follows on from the last
// reference picture before it: the next number, or the same one for a
// non-reference picture or a field of the same frame.
bool frame_num_follows(const DecodedPicture* p, const HeaderStart& h, uint8_t nalRefIdc) {
  const DecodedPicture* q = p->prevInDecodeOrder;
  while (q && !(q->setUp && (q->idr || q->nalRefIdc != 0))) q = q->prevInDecodeOrder;
  if (!q) return true;
  const uint32_t prev = q->mmco5 == 5 ? 0 : static_cast<uint32_t>(q->frameNum);
  if (h.frame_num == (prev + 1) % h.pps->sps->MaxFrameNum) return true;
  return h.frame_num == prev && (nalRefIdc == 0 || h.field_pic_flag || q->structure != kFrame);
}

// Whether a non-IDR picture belongs to another stream than the pictures
// before it, one joined on without its IDR picture: it uses a sequence
// parameter set that says other than the one in force (which only an IDR
// picture may change), or its picture parameter set was sent again with
// other content and its frame_num does not follow on.
bool begins_other_stream(const VideoDecoder* dec, const DecodedPicture* p, const HeaderStart& h, uint8_t nalRefIdc) {
  if (!dec->join.activeSps || !dec->join.activePps) return false;
  if (!same_content(h.pps->sps, dec->join.activeSps)) return true;
  return h.pps_id == dec->join.activePps->pic_parameter_set_id && !same_content(h.pps, dec->join.activePps) &&
         !frame_num_follows(p, h, nalRefIdc);
}

bool same_size(const SequenceParameterSet* a, const SequenceParameterSet* b) {
  return a->PicWidthInMbs == b->PicWidthInMbs && a->FrameHeightInMbs == b->FrameHeightInMbs;
}

// A stream joined on without its IDR picture has no references of its own
// until it starts: at an IDR or I picture, or at a recovery point. Its P and
// B pictures before that would be predicted from the other stream's
// pictures (of another size, perhaps): they are left out, as at the
// beginning of the input, and counted once each. True when the slice is
// left out (its identity kept, so that the picture's other slices are too).
bool before_stream_start(VideoDecoder* dec, ThreadBuffer* tb, bool newUnit, uint32_t type, uint8_t nalRefIdc) {
  DecoderState* ds = &dec->state;
  const bool recovery = newUnit && ds->recoveryPoint;
  if (newUnit) {
    ds->recoveryPoint = 0;
    dec->join.leavingOut = 0;
    dec->join.starting = kStreamStartNone;
    dec->recovery.starting = recovery && !ds->startPicture ? 1 : 0;
    if (dec->recovery.starting) {
      dec->recovery.frames = ds->recoveryFrameCnt;
      dec->recovery.standInReady = 0;
    }
  } else if (dec->join.leavingOut) {
    return true;
  }
  if (type == 5) dec->join.awaitingStart = 0;
  if (!newUnit || type == 5 || !ds->startPicture) return false;
  BitReaderCabac r = tb->reader;
  HeaderStart h;
  DecodedPicture* p = ds->currentPicture;
  if (!read_header_start(&r, ds->ppsList, p->accessUnitIndex, type, &h)) return false;
  // A picture sent again may come with the picture parameter set it was
  // sent with (its sequence parameter set is the one in force): it is no
  // other stream's.
  if (!dec->join.awaitingStart && begins_other_stream(dec, p, h, nalRefIdc) &&
      !(same_content(h.pps->sps, dec->join.activeSps) && sent_before(dec, h, nalRefIdc)))
    dec->join.awaitingStart = 1;
  if (!dec->join.awaitingStart) return false;
  const SequenceParameterSet* sps = h.pps->sps;
  const bool fits = 16u * sps->PicWidthInMbs + 64u <= ds->lumaPitch && 16u * sps->FrameHeightInMbs <= ds->lumaHeight;
  const bool intra = (h.slice_type & 255u) % kSliceTypeCount == kSliceTypeI;
  if (fits && (intra || recovery)) {
    dec->join.starting = intra ? kStreamStartIntra : kStreamStartRecovery;
    // A stream begins with an IDR picture: one joined on that starts at an
    // I picture without a recovery point has lost that picture at least.
    if (!recovery) ++dec->damage.picturesLost;
    return false;
  }
  dec->join.leavingOut = 1;
  if (same_size(sps, dec->join.activeSps))
    ++dec->damage.picturesBeforeStart;
  else
    ++dec->damage.picturesOtherSize;
  RemoveCurrentAccessUnit(ds);
  SliceDecodeContext* s = tb->slice;
  take_header_start(s, h);
  copy_identity(&dec->prevSlice, s, sps, type, nalRefIdc);
  return true;
}

// frame_num of a picture kept (its first slice read) against the last
// reference picture's: a reference picture goes up by one, a second field
// or a non-reference picture stays or goes up by one. A larger step, where
// the sequence allows no gaps, is a reference picture lost from the stream,
// which the lists of the next P or B picture lack (an I picture predicts
// from none). An IDR picture or memory_management_control_operation 5 ends
// every reference, the lost ones with them.
void follow_frame_num(VideoDecoder* dec, const SliceDecodeContext* s, DecodedPicture* p, bool idr) {
  const SequenceParameterSet* sps = p->sps;
  if (!sps) return;
  const uint32_t maxFrameNum = sps->MaxFrameNum;
  const auto follows = [maxFrameNum](uint32_t frameNum, uint32_t ref) {
    return frameNum == ref || frameNum == (ref + 1) % maxFrameNum;
  };
  // A picture that follows on from the pictures before such a gap rather
  // than from the I picture after it: the I picture's frame_num was the
  // damaged one, and no picture was lost.
  if (dec->gapLostCounted != 0) {
    if (!idr && !follows(s->frame_num, dec->frameNumAfterGap) &&
        follows(s->frame_num, (dec->frameNumBeforeGap + 1) % maxFrameNum))
      dec->damage.picturesLost -= dec->gapLostCounted;
    dec->gapLostCounted = 0;
  }
  if (idr) {
    dec->referenceLost = 0;
  } else if (dec->prevRefFrameNumKnown && !sps->gaps_in_frame_num_value_allowed_flag) {
    const uint32_t prev = dec->prevRefFrameNum;
    if (!follows(s->frame_num, prev)) {
      dec->referenceLost = 1;
      // No picture may name them once an I picture follows: the gap itself
      // counts the pictures lost.
      if (s->slice_type == kSliceTypeI) {
        dec->gapLostCounted = (s->frame_num + maxFrameNum - prev - 1) % maxFrameNum;
        dec->frameNumBeforeGap = prev;
        dec->frameNumAfterGap = s->frame_num;
        dec->damage.picturesLost += dec->gapLostCounted;
      }
    }
  }
  if (dec->referenceLost && s->slice_type != kSliceTypeI) {
    note_missing_references(dec, p);
    dec->referenceLost = 0;
  }
  if (p->mmco5 == 5) dec->referenceLost = 0;
  if (idr || p->nalRefIdc != 0) {
    dec->prevRefFrameNum = p->mmco5 == 5 ? 0 : s->frame_num;
    dec->prevRefFrameNumKnown = 1;
  }
}

}  // namespace

int32_t IsNewAccessUnit(SliceDecodeContext* s, DecodedPicture* current, ThreadBuffer* tb, PrevSliceIdentity* prev) {
  const NalUnit* nal = s->nalUnit;
  if (!prev->valid) return 1;
  if ((nal->nal_ref_idc == 0) != (prev->nal_ref_idc == 0)) return 1;
  BitReaderCabac r = tb->reader;
  HeaderStart h;
  const bool found = read_header_start(&r, tb->decoderState->ppsList, current->accessUnitIndex, nal->nal_unit_type, &h);
  if (h.pps_id != prev->pic_parameter_set_id) return 1;
  if (!found) return 0;
  const SequenceParameterSet* sps = h.pps->sps;
  if (h.frame_num != prev->frame_num) return 1;
  if (!sps->frame_mbs_only_flag) {
    if (h.field_pic_flag != prev->field_pic_flag) return 1;
    if (h.field_pic_flag && h.bottom_field_flag != prev->bottom_field_flag) return 1;
  }
  const bool idr = nal->nal_unit_type == 5;
  const bool prevIdr = prev->nal_unit_type == 5;
  if (idr != prevIdr) return 1;
  if (idr && h.idr_pic_id != prev->idr_pic_id) return 1;
  if (sps->pic_order_cnt_type == 0 && prev->pic_order_cnt_type == 0) {
    if (h.poc_lsb != prev->pic_order_cnt_lsb || h.delta_bottom != prev->delta_pic_order_cnt_bottom) return 1;
  } else if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag && prev->pic_order_cnt_type == 1) {
    if (h.delta[0] != prev->delta_pic_order_cnt[0] || h.delta[1] != prev->delta_pic_order_cnt[1]) return 1;
  }
  return 0;
}

int32_t decode_slice_header(ThreadBuffer* tb, SliceDecodeContext* s, uint32_t openFlags) {
  DecoderState* ds = tb->decoderState;
  VideoDecoder* dec = decoder_of(ds);
  BitReaderCabac* r = &tb->reader;
  DecodedPicture* p = ds->currentPicture;
  const NalUnit* nal = s->nalUnit;
  const bool idr = nal->nal_unit_type == 5;
  uint8_t nalRefIdc = nal->nal_ref_idc;

  s->field_pic_flag = 0;
  s->field_pic_flag_coded = 0;
  s->bottom_field_flag = 0;
  s->disable_deblocking_filter_idc = 0;
  s->FilterOffsetA = 0;
  s->FilterOffsetB = 0;
  s->refCount[0] = s->refCount[1] = 0;
  s->missingEntries[0] = s->missingEntries[1] = 0;
  s->refusedSyntax = 0;
  s->refusedOperation = 0;

  HeaderStart h;
  const bool found = read_header_start(r, ds->ppsList, p->accessUnitIndex, nal->nal_unit_type, &h);
  if (idr) h.frame_num = 0;  // only the stream's first IDR slice gets here with another (see retype_idr_as_non_idr)
  s->first_mb_in_slice = h.first_mb_in_slice;
  s->slice_type = static_cast<uint8_t>((h.slice_type & 255u) % kSliceTypeCount);
  // An IDR slice is I or SI, and SI slices exist only in the Extended
  // profile: an IDR slice read as P, B or SP, or as SI in another profile,
  // is an I slice with a damaged bit (slice_type 10, 11, 8 or 9 for 7), read
  // as the I slice it is (as P or B, counted as damaged).
  if (idr && s->slice_type != kSliceTypeI &&
      !(s->slice_type == kSliceTypeSI && (!found || h.pps->sps->profile_idc == kProfileExtended))) {
    if (s->slice_type == kSliceTypeP || s->slice_type == kSliceTypeB) ++dec->damage.slicesRepaired;
    s->slice_type = kSliceTypeI;
  }
  p->sliceType = s->slice_type;
  if (s->slice_type > kSliceTypeI) return refuse_slice(ds, kVideoRefusalSpSiSlices, 0, false);
  if (!found) return kStepNoPps;
  PictureParameterSet* pps = h.pps;
  SequenceParameterSet* sps = pps->sps;
  // Sets the pipeline cannot decode never reach it, whatever the parsers kept.
  if (const uint32_t refusal = sps_refusal(*sps)) return refuse_set(ds, refusal);
  if (pps->redundant_pic_cnt_present_flag) return refuse_set(ds, kVideoRefusalRedundantPictures);
  if (pps->num_slice_groups_minus1 != 0) return refuse_set(ds, kVideoRefusalSliceGroups);
  if (16u * sps->PicWidthInMbs + 64u > ds->lumaPitch || 16u * sps->FrameHeightInMbs > ds->lumaHeight)
    return refuse_set(ds, kVideoRefusalPictureSize);
  s->pps = pps;
  take_header_start(s, h);
  if (pps->redundant_pic_cnt_present_flag) s->redundant_pic_cnt = static_cast<uint8_t>(ue_v(r));
  if (s->slice_type == kSliceTypeB) s->direct_spatial_mv_pred_flag = static_cast<uint8_t>(ReadOneBit(r));
  s->num_ref_idx_l0_active_minus1 = pps->num_ref_idx_l0_active_minus1;
  s->num_ref_idx_l1_active_minus1 = pps->num_ref_idx_l1_active_minus1;
  if (s->slice_type != kSliceTypeI) {
    s->num_ref_idx_active_override_flag = static_cast<uint8_t>(ReadOneBit(r));
    if (s->num_ref_idx_active_override_flag) {
      const uint32_t l0 = ue_v(r);
      const uint32_t l1 = s->slice_type == kSliceTypeB ? ue_v(r) : 0;
      // At most 32 entries are used by any slice (16 per frame list).
      if (l0 >= kMaxActiveRefs || l1 >= kMaxActiveRefs) return refuse_slice(ds, kVideoRefusalActiveReferences, 0, false);
      s->num_ref_idx_l0_active_minus1 = static_cast<uint8_t>(l0);
      s->num_ref_idx_l1_active_minus1 = static_cast<uint8_t>(l1);
    }
    if (s->num_ref_idx_l0_active_minus1 >= kMaxActiveRefs || s->num_ref_idx_l1_active_minus1 >= kMaxActiveRefs)
      return refuse_slice(ds, kVideoRefusalActiveReferences, 0, false);
  }
  if (r->overrun) return kStepUnsupported;
  // A reference slice (perhaps retyped from IDR) whose header has no
  // marking where a reference slice's stands: the damage set its
  // nal_ref_idc. Its picture is no reference (counted as repaired, where
  // no retyping counted it); a later slice of a picture already set up ends
  // no reference.
  // A slice that came typed IDR as the second field of a frame whose first
  // field is no reference is none either, wherever its header reads whole
  // that way.
  const bool noMarking = nalRefIdc != 0 && !idr &&
                         marking_absent(*r, s, pps, sps, dec->unitRetyped && follows_non_reference_first_field(p, h));
  if (noMarking && !p->setUp) {
    if (!dec->unitRetyped) ++dec->damage.slicesRepaired;
    s->nalUnit->nal_ref_idc = 0;
    nalRefIdc = 0;
    p->referenceMarking = 0;
    dec->unitRetyped = 0;
  }

  // An IDR picture, or a picture that starts a stream joined on without
  // one, begins a new history of identities: no field before it makes it a
  // repeat (another stream may well begin with the same identity).
  if (!p->setUp && !idr && dec->join.starting == kStreamStartNone) {
    const int32_t repeat = sent_again(dec, p, h, nalRefIdc, sps->MaxFrameNum);
    if (repeat != 0) return repeat;
  }
  // A reference picture in doubt settled by this picture's frame_num.
  if (!p->setUp) demote_reference_in_doubt(dec, p, h, idr, nalRefIdc);
  if (!p->setUp) {
    const int32_t result = per_picture_setup(dec, tb, s, sps, idr, nalRefIdc, openFlags);
    if (result != 0) return result;
  } else if (p->structure != structure_of(h.field_pic_flag, h.bottom_field_flag) || p->sps != sps) {
    return kStepUnsupported;  // a slice that does not belong to the picture opened for it
  }
  s->picture = p;
  note_predicted_slice(dec, p, s->slice_type);

  if (s->slice_type == kSliceTypeI) {
    for (uint32_t i = 0; i < kRefListSize; ++i) s->RefPicList0[i] = s->RefPicList1[i] = nullptr;
  } else {
    int32_t result = build_reference_lists(ds, s);
    if (result != 0) return result;
    result = ref_pic_list_modification(tb, s);
    if (result != 0) return result;
  }
  if ((pps->weighted_pred_flag && s->slice_type == kSliceTypeP) ||
      (pps->weighted_bipred_idc == 1 && s->slice_type == kSliceTypeB)) {
    const int32_t result = pred_weight_table(r, s, sps->chroma_format_idc);
    if (result != 0) return result;
  }
  if (nalRefIdc != 0) {
    if (noMarking) {
      p->mmco5 = 0;
    } else {
      const int32_t result = dec_ref_pic_marking(tb, s, nal->nal_unit_type, nalRefIdc);
      if (result != 0) return result;
    }
    if (nal->nal_unit_type != 5 && p->mmco5 != 5) hold_marking_of_doubtful_reference(dec, p);
    if (p->mmco5 == 5 && s->first_mb_in_slice == 0) apply_mmco5(dec, p, openFlags);
  }
  if (pps->entropy_coding_mode_flag && s->slice_type != kSliceTypeI) {
    const uint32_t idc = ue_v(r);
    if (idc > 2) return kStepUnsupported;
    s->cabac_init_idc = static_cast<uint8_t>(idc);
  }
  // SliceQPY outside 0..51 would index the quantiser tables out of range: the
  // slice is damaged.
  const int32_t qpDelta = static_cast<int32_t>(se_v(r));
  const int32_t sliceQp = 26 + pps->pic_init_qp_minus26 + qpDelta;
  if (sliceQp < 0 || sliceQp > 51) return kStepUnsupported;
  s->slice_qp_delta = static_cast<int8_t>(qpDelta);
  if (pps->deblocking_filter_control_present_flag) {
    const uint32_t idc = ue_v(r);
    if (idc > 2) return kStepUnsupported;
    s->disable_deblocking_filter_idc = static_cast<uint8_t>(idc);
    if (idc != 1) {
      // slice_alpha_c0_offset_div2 and slice_beta_offset_div2 lie in -6..6;
      // anything else is damage (and would overflow when doubled).
      const int32_t alphaDiv2 = static_cast<int32_t>(se_v(r));
      const int32_t betaDiv2 = static_cast<int32_t>(se_v(r));
      if (alphaDiv2 < -6 || alphaDiv2 > 6 || betaDiv2 < -6 || betaDiv2 > 6) return kStepUnsupported;
      s->FilterOffsetA = static_cast<int8_t>(2 * alphaDiv2);
      s->FilterOffsetB = static_cast<int8_t>(2 * betaDiv2);
    }
  }
  if (r->overrun) return kStepUnsupported;
  if (s->refusedSyntax != 0) return refuse_slice(ds, s->refusedSyntax, s->refusedOperation, true);

  s->field_pic_flag = h.field_pic_flag;
  s->MbaffFrameFlag = static_cast<uint8_t>(sps->mb_adaptive_frame_field_flag && !h.field_pic_flag);
  s->firstMbAddr = s->first_mb_in_slice * (1u + s->MbaffFrameFlag);
  // A first macroblock past the picture leaves the record links null; the
  // slice-data stage refuses such a slice.
  if (s->firstMbAddr < p->mbCount && p->macroblocks) {
    s->currentMb = s->firstMb = p->macroblocks + s->firstMbAddr;
  } else {
    s->currentMb = s->firstMb = nullptr;
  }
  s->SliceQPY = static_cast<int8_t>(26 + pps->pic_init_qp_minus26 + s->slice_qp_delta);
  s->QPY = s->SliceQPY;
  s->lastMbQpDelta = 0;
  s->chroma_qp_index_offset = pps->chroma_qp_index_offset;
  s->second_chroma_qp_index_offset = pps->second_chroma_qp_index_offset;
  s->constrained_intra_pred_flag = pps->constrained_intra_pred_flag;
  s->transform_8x8_mode_flag = pps->transform_8x8_mode_flag;
  s->direct_8x8_inference_flag = sps->direct_8x8_inference_flag;
  s->entropy_coding_mode_flag = pps->entropy_coding_mode_flag;
  const DecoderStages* stages = dec->stages;
  s->deblock = s->MbaffFrameFlag ? stages->deblockMbaff : stages->deblock;

  const bool cabac = pps->entropy_coding_mode_flag != 0;
  switch (s->slice_type) {
    case kSliceTypeI:
      s->weightingMode = 0;
      s->weightTable = nullptr;
      if (cabac) cabac_init_contexts_i_slice(s->SliceQPY, s->cabacContexts);
      s->predictAndCombine = s->MbaffFrameFlag ? stages->reconstructIMbaff : stages->reconstructI;
      break;
    case kSliceTypeP:
      s->weightingMode = pps->weighted_pred_flag ? 1 : 0;
      s->weightTable = s->weightingMode ? &s->predWeightTable : nullptr;
      if (cabac) cabac_init_contexts_p_slice(s->SliceQPY, s->cabacContexts, s->cabac_init_idc);
      s->predictAndCombine = s->MbaffFrameFlag ? stages->reconstructPMbaff : stages->reconstructP;
      break;
    default:  // kSliceTypeB
      s->weightingMode = pps->weighted_bipred_idc;
      s->weightTable = s->weightingMode ? &s->predWeightTable : nullptr;
      if (cabac) cabac_init_contexts_b_slice(s->SliceQPY, s->cabacContexts, s->cabac_init_idc);
      s->predictAndCombine = s->MbaffFrameFlag ? stages->reconstructBMbaff : stages->reconstructB;
      break;
  }
  return 0;
}

namespace {

// The unit is acted on: the next unit's access-unit rules look back at it.
void note_unit(DecoderState* ds, uint32_t type, uint8_t refIdc) {
  ds->prevNalType = static_cast<uint8_t>(type);
  ds->prevNalRefIdc = refIdc;
}

// Whether the unit before was a slice, so that an SEI, a parameter set or
// a slice of another picture opens a new access unit.
bool after_slice(const DecoderState* ds) { return ds->prevNalType >= 1 && ds->prevNalType <= 5; }

// SEI, sequence and picture parameter sets: they open a new access unit
// after a slice and are parsed.
int32_t decode_non_slice_unit(ThreadBuffer* tb, uint32_t type, uint8_t refIdc) {
  DecoderState* ds = tb->decoderState;
  VideoDecoder* dec = decoder_of(ds);
  if (after_slice(ds)) SetAvailableAccessUnit(ds);
  if (ds->poolExhausted) return kStepNoPictureBuffer;
  int32_t result = 0;
  ds->paramSetRefusal = kVideoRefusalNone;
  if (type == 6) {
    decode_sei_rbsp(tb);
  } else if (type == 7) {
    result = DecodeSequenceParameterSet(tb);
  } else {
    result = DecodePictureParameterSet(tb, 0);
  }
  // A set with syntax the decoder does not support ends the stream once
  // a slice uses it (a damaged copy that no slice uses ends nothing); a
  // damaged one (values out of range, cut short, or naming a sequence
  // parameter set never sent) is ignored like a lost one.
  if (result == kParamSetUnsupported && ds->paramSetRefusal != 0 && dec->declaredRefusal == 0)
    dec->declaredRefusal = ds->paramSetRefusal;
  if (result == kParamSetUnsupported || result == kParamSetNoSps) result = 0;
  if (result != 0) return result;
  note_unit(ds, type, refIdc);
  return kStepConsumed;
}

// The picture output comes to next, as far as stream order tells.
void update_next_output(DecoderState* ds, DecodedPicture* p, uint32_t type) {
  if (type == 5) {
    if (!ds->nextOutputPicture) ds->nextOutputPicture = p;
  } else if (!ds->nextOutputPicture || p->outputKey < ds->nextOutputPicture->outputKey) {
    ds->nextOutputPicture = p;
  }
}

// A slice whose header failed: its picture is withdrawn, or keeps its
// identity (damaged) so that its remaining slices still complete it.
void settle_failed_slice(VideoDecoder* dec, ThreadBuffer* tb, uint32_t type, uint8_t refIdc, bool opensPicture) {
  DecoderState* ds = &dec->state;
  SliceDecodeContext* s = tb->slice;
  DecodedPicture* p = ds->currentPicture;
  // The first IDR picture of the stream whose header is damaged after its
  // identity was read (the picture is set up) still starts the stream, all
  // of it concealed: withdrawn, it took with it every picture predicted
  // from it, in a stream with no other IDR or I picture all of them. A
  // header that read as refused syntax is left to the refusal rules.
  const bool startsStream = type == 5 && opensPicture && p->setUp && !ds->startPicture &&
                            s->refusedSyntax == 0 && !dec->refusalReason;
  if (!startsStream && (type == 5 || !ds->startPicture || !p->setUp)) {
    forget_field(dec, p);
    RemoveCurrentAccessUnit(ds);
    return;
  }
  // Its marking may not have been read: it still takes a frame's place as
  // the sliding window would.
  p->damaged = 1;
  if (opensPicture) bound_references(p);
  note_unit(ds, type, refIdc);
  copy_identity(&dec->prevSlice, s, s->pps ? s->pps->sps : nullptr, type, refIdc);
  update_next_output(ds, p, type);
  if (startsStream) {
    output_start_check(ds, s, p);
    ds->startPicture = p;
    // Concealed with no slice taken, it still readies its progress as a
    // picture's first slice does: the progress records then exist before
    // any picture is finished without the lock.
    start_progress(dec, p);
  }
}

// The pictures that follow a stream's first picture (not an IDR picture) in
// decode order but come before it in output order predict from pictures
// before the stream's start: they are left out (see leave_out_before_start)
// unless the caller asks for them as leading pictures.
void leave_out_leading(VideoDecoder* dec, const DecodedPicture* start) {
  dec->recovery.leadingKeySet = 1;
  dec->recovery.leadingKey = start->outputKey;
  dec->recovery.leadingFrameNum = start->frameNum;
}

// A non-IDR I slice: the stream may start with it, and output too.
void start_intra_slice(DecoderState* ds, const SliceDecodeContext* s, DecodedPicture* p, uint32_t decodeFlags) {
  if (!ds->startPicture && !(decodeFlags & kDecodeFinishDropped)) leave_out_leading(decoder_of(ds), p);
  if (s->first_mb_in_slice == 0 && s->bottom_field_flag == 0 && !ds->outputStarted) {
    if (!ds->startPicture) ds->startPicture = p;
    if (ds->decodeOrderOutput) {
      start_output_at(ds, p->decodeKey);
    } else if (decodeFlags & kDecodeFinishDropped) {
      ds->sequenceBase = 0;
      if (p->hasPicTiming) {
        p->outputKey -= p->decodeKey;
        ds->leadingSkipCount = static_cast<uint32_t>((p->outputKey - (p->outputKey > 2 ? 2 : 0)) / 2);
        ds->outputDelayCount = static_cast<int16_t>(ds->outputDelayCount + 2);
      } else {
        ds->outputDelayCount = static_cast<int16_t>(static_cast<int16_t>(p->decodeKey & 0xFFFF) + 2);
      }
    } else {
      start_output_at(ds, p->outputKey);
      ds->outputDelayCount = 2;
    }
  }
  if (!ds->startPicture) ds->startPicture = p;
  leading_picture_check(ds, s, p);
}

// Pictures of a stream that starts without an IDR picture that are not
// right yet, decoded (later pictures may predict from them) but left out
// and counted as pictures before their stream's start; what they lack of
// their references is part of that and not counted again:
// - after a recovery point, up to the picture it names (recovery_frame_cnt
//   frames on, by frame_num);
// - before the stream's first picture in output order (the rest of an open
//   group of pictures cut at its I picture), until a reference picture
//   after it is set up.
// An IDR picture ends both.
void leave_out_before_start(VideoDecoder* dec, const SliceDecodeContext* s, DecodedPicture* p, uint32_t type) {
  RecoveryStart& rs = dec->recovery;
  if (type == 5) rs.active = rs.leadingKeySet = 0;
  bool out = false;
  if (rs.leadingKeySet && p->outputKey < rs.leadingKey) {
    out = true;
  } else if (rs.leadingKeySet && p->frameNum != rs.leadingFrameNum && p->nalRefIdc != 0) {
    rs.leadingKeySet = 0;
  }
  if (rs.active) {
    const uint64_t maxFrameNum = p->sps && p->sps->MaxFrameNum ? p->sps->MaxFrameNum : 1;
    const uint64_t frames = (s->frame_num + maxFrameNum - rs.frameNum % maxFrameNum) % maxFrameNum;
    if (frames >= rs.frames)
      rs.active = 0;
    else
      out = true;
  }
  if (!out) return;
  p->outputDone = 1;
  p->refsMissing = 1;
  if (p->structure == kFrame || !p->secondField) ++dec->damage.picturesBeforeStart;
}

// A slice whose header was read: the task's next state, the start of the
// stream and of output. kStepNoReference for a P or B slice before any start;
// *leftOut when its picture comes before the start of a stream joined on
// (the slice is then consumed).
int32_t start_slice(VideoDecoder* dec, ThreadBuffer* tb, uint32_t type, uint8_t refIdc, uint32_t decodeFlags,
                    bool* leftOut) {
  DecoderState* ds = &dec->state;
  DecodeTask* task = tb->task;
  SliceDecodeContext* s = tb->slice;
  DecodedPicture* p = ds->currentPicture;
  copy_identity(&dec->prevSlice, s, s->pps ? s->pps->sps : nullptr, type, refIdc);
  update_next_output(ds, p, type);
  task->key = p->decodeKey;
  if (type == 5) {
    output_start_check(ds, s, p);
    // What a damaged IDR picture lacks comes from the picture before it,
    // chosen while that one is still marked (kept from reuse) and held.
    choose_conceal_source(p, nullptr);
    unmark_all_but(ds, p);
    if (!ds->startPicture) ds->startPicture = p;
    task->state = kTaskEntropyI;
    if (s->slice_type != kSliceTypeI) task->state = s->slice_type == kSliceTypeP ? kTaskEntropyP : kTaskEntropyB;
    return 0;
  }
  if (s->slice_type == kSliceTypeI) {
    task->state = kTaskEntropyI;
    start_intra_slice(ds, s, p, decodeFlags);
    return 0;
  }
  if (!ds->startPicture) {
    if (!dec->recovery.starting) {
      RemoveCurrentAccessUnit(ds);
      return kStepNoReference;
    }
    // The stream starts at this picture's recovery point.
    ds->startPicture = p;
    dec->recovery.active = 1;
    dec->recovery.frameNum = s->frame_num;
    if (!(decodeFlags & kDecodeFinishDropped)) leave_out_leading(dec, p);
  }
  if (dec->join.startKeySet && p->outputKey < dec->join.startKey) {
    // Before the start of a stream joined on without its IDR picture in
    // output order: predicted from pictures before that start.
    RemoveCurrentAccessUnit(ds);
    dec->join.leavingOut = 1;
    *leftOut = true;
    return 0;
  }
  task->state = s->slice_type == kSliceTypeP ? kTaskEntropyP : kTaskEntropyB;
  output_start_check(ds, s, p);
  leading_picture_check(ds, s, p);
  return 0;
}

// What the worker does with the slice after its header: a task ready, or
// the slice consumed (sent again, or dropped as damaged or without
// references), or the error that ends the stream.
int32_t slice_result(VideoDecoder* dec, ThreadBuffer* tb, int32_t result, uint32_t type, uint8_t refIdc, bool newUnit,
                     uint32_t decodeFlags) {
  DecoderState* ds = &dec->state;
  SliceDecodeContext* s = tb->slice;
  DecodedPicture* p = ds->currentPicture;
  switch (result) {
    case 0:
      note_unit(ds, type, refIdc);
      hold_slice_pictures(s);
      return 0;
    case kStepSentAgain:
      // A field or frame sent again is left out, counted once (by its first
      // slice), a frame as its two fields.
      if (s->first_mb_in_slice == 0) dec->damage.fieldsRepeated += s->field_pic_flag_coded ? 1 : 2;
      note_unit(ds, type, refIdc);
      return kStepConsumed;
    case kStepNoPps:
    case kStepUnsupported:
      // A slice naming a picture parameter set never received, or with
      // values out of range, is damaged: it is dropped, and decoding goes on
      // (or starts) with the next picture that can be decoded. Syntax the
      // decoder does not support ends the stream.
      if (result == kStepUnsupported && dec->refusalReason) return result;
      if (!ds->startPicture && dec->firstDrop == 0) dec->firstDrop = result;
      ++dec->slicesDropped;
      [[fallthrough]];
    case kStepNoReference:
    case kStepMissingReference:
      if (!ds->startPicture && dec->firstDrop == 0) dec->firstDrop = result;
      // A P or B picture the stream begins with, before any I picture or
      // recovery point.
      if (!ds->startPicture && newUnit && (result == kStepNoReference || result == kStepMissingReference))
        ++dec->damage.picturesBeforeStart;
      note_unit(ds, type, refIdc);
      if ((decodeFlags & kDecodeFinishDropped) && s->first_mb_in_slice == 0 && p->setUp && ds->startPicture) {
        tb->task->state = kTaskPictureDone;
        s->picture = p;
        return 0;
      }
      return kStepConsumed;
    default:
      return result;
  }
}

// A slice: the access unit it belongs to, its header, and what follows.
int32_t decode_slice_unit(ThreadBuffer* tb, uint32_t type, uint8_t refIdc, uint32_t decodeFlags, uint32_t openFlags) {
  DecoderState* ds = tb->decoderState;
  VideoDecoder* dec = decoder_of(ds);
  SliceDecodeContext* s = tb->slice;
  bool newUnit = !after_slice(ds);
  if (!newUnit && IsNewAccessUnit(s, ds->currentPicture, tb, &dec->prevSlice)) {
    SetAvailableAccessUnit(ds);
    newUnit = true;
  }
  if (ds->poolExhausted) return kStepNoPictureBuffer;
  if (before_stream_start(dec, tb, newUnit, type, refIdc)) {
    note_unit(ds, type, refIdc);
    return kStepConsumed;
  }
  DecodedPicture* p = ds->currentPicture;
  // A slice of a picture already finished still has its header read (the
  // same in every run, whenever the picture finished); it is then dropped,
  // its macroblocks being decoded already (see the worker's slice ranges).
  const bool opensPicture = !p->setUp;
  if (!p->setUp) p->referenceMarking = (type == 5 || refIdc != 0) ? 3 : 0;
  s->picture = p;
  int32_t result = decode_slice_header(tb, s, openFlags);
  // A header read without refused syntax ends a run of suspect ones; a
  // slice decoded ends the use of a refused set (a damaged copy replaced).
  if (result == 0 || result == kStepNoReference || result == kStepMissingReference || result == kStepNoPps)
    dec->suspectChain = 0;
  if (result == 0) dec->refusedSetInUse = 0;
  if (result != 0) {
    settle_failed_slice(dec, tb, type, refIdc, opensPicture);
  } else {
    bool leftOut = false;
    result = start_slice(dec, tb, type, refIdc, decodeFlags, &leftOut);
    if (leftOut) {
      note_unit(ds, type, refIdc);
      return kStepConsumed;
    }
  }
  if (opensPicture && p->setUp) {
    follow_frame_num(dec, s, p, type == 5);
    if (result == 0) leave_out_before_start(dec, s, p, type);
    // The picture set up by this slice (and kept) joins the pictures
    // waiting for output once its marking has freed the buffer of the
    // references it ended.
    release_for_output(dec, p);
  }
  return slice_result(dec, tb, result, type, refIdc, newUnit, decodeFlags);
}

}  // namespace

int32_t DecodeNalUnit(ThreadBuffer* tb, uint32_t decodeFlags, uint32_t openFlags) {
  DecoderState* ds = tb->decoderState;
  NalUnit* nal = tb->slice->nalUnit;
  retype_damaged_slice(tb, nal);
  const uint32_t type = nal->nal_unit_type;
  const uint8_t refIdc = nal->nal_ref_idc;
  if (ds->poolExhausted) return kStepNoPictureBuffer;
  switch (type) {
    case 6:
    case 7:
    case 8:
      return decode_non_slice_unit(tb, type, refIdc);
    case 11:
      return kStepWaitInput;
    case 1:
    case 5:
      return decode_slice_unit(tb, type, refIdc, decodeFlags, openFlags);
    default:
      return kStepUnhandledNal;
  }
}
