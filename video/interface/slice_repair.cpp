// Repairs of damaged slice headers, made before or while the parser reads
// them: which NAL unit type a slice has, whether a picture is a reference,
// which reading of the stream's first picture holds, and reference field
// pairs that came exchanged.
#include "slice_repair.h"

#include "engine_internal.h"

namespace {

// The least order count an IDR picture's header gives (H.264 makes it 0).
int64_t idr_order_count(const SequenceParameterSet* sps, const HeaderStart& h) {
  int64_t top = 0, bottom = 0;
  if (sps->pic_order_cnt_type == 0) {
    top = h.poc_lsb;
    bottom = top + h.delta_bottom;
  } else if (sps->pic_order_cnt_type == 1) {
    top = h.delta[0];
    bottom = h.field_pic_flag ? int64_t{sps->offset_for_top_to_bottom_field} + h.delta[0]
                              : top + sps->offset_for_top_to_bottom_field + h.delta[1];
  }
  if (h.field_pic_flag) return h.bottom_field_flag ? bottom : top;
  return top < bottom ? top : bottom;
}

// How an I slice's header reads as of one NAL unit type: broken, whole, or
// whole but with marking operations of long-term references (which this
// decoder refuses).
enum class IntraReading { kBroken, kWhole, kLongTermMarking };

// Reads past the adaptive marking of a non-IDR reference slice: false when
// its operations do not exist or do not end; `*longTerm` set when one is of
// long-term references.
bool skip_adaptive_marking(BitReaderCabac* r, bool* longTerm) {
  if (!ReadOneBit(r)) return true;
  constexpr uint32_t kMostOperations = 66;  // every reference unmarked, one by one, and more
  uint32_t k = 0, op = 1;
  for (; k < kMostOperations && op != 0; ++k) {
    op = ue_v(r);
    if (op > 6) return false;
    if (op == 1 || op == 3) ue_v(r);
    if (op == 2 || op == 3 || op == 4 || op == 6) {
      ue_v(r);
      *longTerm = true;
    }
  }
  return op == 0;
}

// Whether the rest of a slice header, from cabac_init_idc on, reads with
// what only a header may hold: a quantiser and deblocking values in range,
// then the start of the slice data (CABAC's alignment bits all 1, or for
// CAVLC an I slice's macroblock type, or a skip run within the picture).
bool header_end_reads_whole(BitReaderCabac r, const PictureParameterSet* pps, const SequenceParameterSet* sps,
                            uint32_t sliceType, bool field) {
  if (pps->entropy_coding_mode_flag && sliceType != kSliceTypeI && ue_v(&r) > 2) return false;  // cabac_init_idc
  const int64_t qp = 26 + int64_t{pps->pic_init_qp_minus26} + se_v(&r);
  if (qp < 0 || qp > 51) return false;
  if (pps->deblocking_filter_control_present_flag) {
    const uint32_t idc = ue_v(&r);
    if (idc > 2) return false;
    if (idc != 1) {
      const int32_t alpha = se_v(&r), beta = se_v(&r);
      if (alpha < -6 || alpha > 6 || beta < -6 || beta > 6) return false;
    }
  }
  if (pps->entropy_coding_mode_flag) {
    const int alignment = (r.bitPos + 1) % 8;
    if (alignment != 0 && u_n(&r, alignment) != (1u << alignment) - 1) return false;
  } else if (sliceType == kSliceTypeI) {
    if (sps->mb_adaptive_frame_field_flag && !field) ReadOneBit(&r);  // mb_field_decoding_flag
    if (ue_v(&r) > 25) return false;  // mb_type of an I slice: I_NxN, the 24 I_16x16 kinds, I_PCM
  } else if (ue_v(&r) > sps->PicWidthInMbs * sps->FrameHeightInMbs) {  // mb_skip_run
    return false;
  }
  return !r.overrun;
}

// Reads the header of an I slice of a reference picture as of NAL unit type
// `nalType` (5 or 1) into `h`, with what only a header may hold: an IDR
// picture's order count 0, marking operations that exist and end, and an
// end that reads whole (header_end_reads_whole). A header read with the
// fields of the other type is misaligned from idr_pic_id on, and rarely
// all of that.
IntraReading read_intra_header(BitReaderCabac r, PictureParameterSet* ppsList, uint32_t accessUnit, uint32_t nalType,
                               HeaderStart* h) {
  if (!read_header_start(&r, ppsList, accessUnit, nalType, h)) return IntraReading::kBroken;
  const PictureParameterSet* pps = h->pps;
  const SequenceParameterSet* sps = pps->sps;
  if (nalType == 5 && (h->idr_pic_id > 65535 || idr_order_count(sps, *h) != 0)) return IntraReading::kBroken;
  if (pps->redundant_pic_cnt_present_flag) ue_v(&r);
  bool longTerm = false;
  if (nalType == 5) {
    u_n(&r, 2);  // no_output_of_prior_pics_flag, long_term_reference_flag
  } else if (!skip_adaptive_marking(&r, &longTerm)) {
    return IntraReading::kBroken;
  }
  if (!header_end_reads_whole(r, pps, sps, kSliceTypeI, h->field_pic_flag != 0)) return IntraReading::kBroken;
  return longTerm ? IntraReading::kLongTermMarking : IntraReading::kWhole;
}

}  // namespace

// The stream's first picture read as a non-IDR I picture whose header reads
// whole as an IDR picture's too (see retype_non_idr_as_idr), order count type 0:
// read as non-IDR, its pic_order_cnt_lsb is made of the IDR reading's
// idr_pic_id code and count, half the lsb range from the count it has as
// IDR. The picture after it tells which it was: one more than a quarter of
// the range before it, that follows it with the IDR reading, follows an IDR
// picture whose type bit was damaged (a stream's pictures lie closer). The
// first picture then keeps its count, its lsb becoming the IDR reading's,
// so that the pictures after it keep the distances the stream gives them
// (and a frame's bottom field its own); its slice counts as repaired.
void reread_first_picture_as_idr(VideoDecoder* dec, const SliceDecodeContext* s, const SequenceParameterSet* sps,
                                 bool idr, DecodedPicture* p) {
  PocMemory& m = dec->poc;
  const DecodedPicture* startPicture = dec->state.startPicture;
  if (m.idrReadingArmed) {
    m.idrReadingArmed = 0;
    m.idrReadingPicture = idr || startPicture ? nullptr : p;
    return;
  }
  DecodedPicture* first = m.idrReadingPicture;
  m.idrReadingPicture = nullptr;
  if (!first || idr || first != startPicture || p->prevInDecodeOrder != first || first->sps != sps ||
      sps->pic_order_cnt_type != 0)
    return;
  const int32_t maxLsb = static_cast<int32_t>(sps->MaxPicOrderCntLsb);
  const int32_t lsb = static_cast<int32_t>(s->pic_order_cnt_lsb);
  const int32_t count = m.prev.refMsb + m.prev.refLsb;
  const int32_t idrMsb = count - m.idrLsb;
  const int32_t asRead = order_count_msb(m.prev.refMsb, m.prev.refLsb, lsb, maxLsb) + lsb;
  const int32_t asIdr = order_count_msb(idrMsb, m.idrLsb, lsb, maxLsb) + lsb;
  if (asRead >= count - maxLsb / 4 || asIdr < count) return;
  m.prev.refMsb = idrMsb;
  m.prev.refLsb = m.idrLsb;
  if (first->structure == kFrame) {
    const int32_t bottom = first->topFieldOrderCnt + m.idrDeltaBottom;
    const int32_t least = bottom < first->topFieldOrderCnt ? bottom : first->topFieldOrderCnt;
    if (least == first->pictureOrderCount) first->bottomFieldOrderCnt = bottom;
  }
  ++dec->damage.slicesRepaired;
}

namespace {

// Whether a slice of the picture is a P or B slice: its lists name other
// pictures.
bool predicted(const DecodedPicture* p) { return p->predicted || p->sliceType != kSliceTypeI; }

// The pair of p, its second field, against the stream's order of reference
// field pairs.
void judge_field_order(VideoDecoder* dec, DecodedPicture* p) {
  DecodedPicture* first = p->pairedField;
  const uint8_t order = static_cast<uint8_t>(first->structure + 1);
  if (dec->fieldOrder == 0 || p->pictureOrderCount > first->pictureOrderCount) {
    dec->fieldOrder = order;
  } else if (order != dec->fieldOrder) {
    note_missing_references(dec, first);
  }
}

// q read as the non-reference picture it was, at the set-up of p: the
// references are those before it.
void read_as_non_reference(VideoDecoder* dec, const DecodedPicture* p, DecodedPicture* q) {
  q->referenceMarking = 0;
  q->nalRefIdc = 0;
  const DecodedPicture* r = q->prevInDecodeOrder;
  while (r && !(r->setUp && (r->idr || r->nalRefIdc != 0))) r = r->prevInDecodeOrder;
  dec->refFrameNumKnown = dec->prevRefFrameNumKnown = r ? 1 : 0;
  dec->refFrameNum = dec->prevRefFrameNum = r && r->mmco5 != 5 ? static_cast<uint32_t>(r->frameNum) : 0;
  if (p->prevInDecodeOrder == q) dec->poc.pendingIsReference = 0;
}

}  // namespace

// H.264 lets every frame of a stream send either field first. This decoder
// adds a rule of its own, to find reference field pairs exchanged in
// transit: the reference pairs of a stream come in one order, top or bottom
// field first, from its start or its last I picture on, each shown in the
// order it comes. A pair that comes in the other order while its second
// field is not shown after its first (nothing else shows an exchange when
// the two fields have one order count) was exchanged, but only where the
// exchange changes what a field refers to: a P or B field that comes first
// lacks the other field of its frame from its lists, one that comes second
// has it there. A pair of two intra fields refers to nothing: it may come in
// either order, and sets no order for the pairs after it. Called at the
// set-up of picture p; a pair whose fields read as intra so far waits for a
// P or B slice of its second field (note_predicted_slice).
void note_field_order(VideoDecoder* dec, DecodedPicture* p, bool restart) {
  if (restart) dec->fieldOrder = 0;
  dec->intraPair = nullptr;
  DecodedPicture* first = p->pairedField;
  if (!p->secondField || !first || p->nalRefIdc == 0) return;
  if (predicted(first) || predicted(p)) {
    judge_field_order(dec, p);
    return;
  }
  dec->intraPair = p;
  dec->intraPairSetUp = p->setUpOrder;
}

void note_predicted_slice(VideoDecoder* dec, DecodedPicture* p, uint32_t sliceType) {
  if (sliceType != kSliceTypeP && sliceType != kSliceTypeB) return;
  p->predicted = 1;
  if (dec->intraPair != p || dec->intraPairSetUp != p->setUpOrder || !p->pairedField) return;
  dec->intraPair = nullptr;
  judge_field_order(dec, p);
}

// A slice typed 1 that was the stream's first IDR slice, read as type 5.
// The stream's first IDR slice with the damaged bit in its nal_unit_type
// (1): read as a non-IDR slice, the header lacks idr_pic_id and reads one
// marking flag where there are two, and everything after frame_num is
// misread; without that picture every picture predicted from it is lost
// (all of them in a stream with one I picture), with it the pictures after
// it were misplaced silently. Before any picture started the stream, a
// reference I slice with frame_num 0 whose header reads whole as IDR is the
// IDR slice it was, counted as repaired, when as non-IDR it does not read
// whole, or only with long-term marking (which would end the stream). A
// first I picture typed non-IDR whose header is whole that way is left
// as it is; where the IDR reading is whole too, the picture after it may still
// show it was IDR (reread_first_picture_as_idr).
void retype_non_idr_as_idr(ThreadBuffer* tb, NalUnit* nal) {
  DecoderState* ds = tb->decoderState;
  if (ds->startPicture || nal->nal_ref_idc == 0) return;
  const uint32_t accessUnit = ds->currentPicture->accessUnitIndex;
  HeaderStart asNonIdr, asIdr;
  const IntraReading nonIdr = read_intra_header(tb->reader, ds->ppsList, accessUnit, 1, &asNonIdr);
  if (!asNonIdr.pps || asNonIdr.frame_num != 0 || (asNonIdr.slice_type & 255u) % kSliceTypeCount != kSliceTypeI)
    return;
  if (read_intra_header(tb->reader, ds->ppsList, accessUnit, 5, &asIdr) != IntraReading::kWhole) return;
  if (nonIdr == IntraReading::kWhole) {
    // Both readings are whole: the picture after it may tell (the slice's
    // data mostly begins at the same bit either way, the header realigned
    // by the codes after the order count).
    PocMemory& m = decoder_of(ds)->poc;
    m.idrReadingArmed = asNonIdr.first_mb_in_slice == 0 && asIdr.pps->sps->pic_order_cnt_type == 0;
    m.idrLsb = static_cast<int32_t>(asIdr.poc_lsb);
    m.idrDeltaBottom = asIdr.delta_bottom;
    return;
  }
  nal->nal_unit_type = 5;
  if (asNonIdr.first_mb_in_slice == 0) ++decoder_of(ds)->damage.slicesRepaired;
}

// A slice typed IDR (5) that the stream shows to be type 1, read as type 1.
// An IDR picture is a reference picture with frame_num 0. A slice typed
// IDR that is neither continues the stream: one flipped bit turns a
// non-IDR slice (type 1) into type 5, and read as IDR its header would be
// misread from idr_pic_id on and end every reference before it. It is read
// as the non-IDR slice it is, its header checked like any other.
//
// Once the stream has started, a P or B slice typed IDR is damaged too (an
// IDR picture holds I slices only). With frame_num 0 after a reference
// picture whose frame_num 0 does not follow, it can only be an IDR slice
// whose slice_type is damaged (see decode_slice_header); otherwise it is
// read as the non-IDR slice it is rather than ending every reference.
//
// Before any picture started the stream, an I slice typed IDR is the
// stream's first IDR picture with the damaged bit in frame_num or
// nal_ref_idc: as a non-IDR slice its header would be misread and, with no
// picture before it, every picture predicted from it lost. It is read as the
// IDR slice it is (frame_num 0, a reference), and counted as damaged: the
// one case where the type stays 5.
//
// A slice read as non-IDR is counted as damaged. The damage that changed
// its type may have changed its nal_ref_idc as well: a reference picture so
// read is in doubt until the next picture (demote_reference_in_doubt).
void retype_idr_as_non_idr(ThreadBuffer* tb, NalUnit* nal) {
  DecoderState* ds = tb->decoderState;
  VideoDecoder* dec = decoder_of(ds);
  BitReaderCabac r = tb->reader;  // a copy: the slice header is read again from the start
  HeaderStart h;
  // frame_num comes before the fields that only an IDR slice has.
  if (!read_header_start(&r, ds->ppsList, ds->currentPicture->accessUnitIndex, 5, &h)) return;
  const uint32_t sliceType = (h.slice_type & 255u) % kSliceTypeCount;
  if (h.frame_num == 0 && nal->nal_ref_idc != 0) {
    const bool predicted = sliceType == kSliceTypeP || sliceType == kSliceTypeB;
    const uint32_t maxFrameNum = h.pps->sps->MaxFrameNum;
    // frame_num 0 follows the last reference picture's after a wrap, or
    // for the second field of an IDR picture.
    const bool follows = dec->refFrameNumKnown && (dec->refFrameNum + 1 == maxFrameNum ||
                                                   (dec->refFrameNum == 0 && h.field_pic_flag));
    if (!(predicted && ds->startPicture && follows)) return;
  }
  if (!ds->startPicture && sliceType == kSliceTypeI) {
    if (nal->nal_ref_idc == 0) nal->nal_ref_idc = 1;
    if (h.first_mb_in_slice == 0) ++dec->damage.slicesRepaired;
    return;
  }
  nal->nal_unit_type = 1;
  if (!ds->startPicture) return;  // left out as a P or B slice before the start, or the start itself
  ++dec->damage.slicesRepaired;
  // A later slice of a non-reference picture, the same picture but for the
  // reference flag the damage set: it stays in that picture, as no
  // reference (a new access unit would leave both parts of it incomplete).
  const PrevSliceIdentity& prev = dec->prevSlice;
  if (nal->nal_ref_idc != 0 && h.first_mb_in_slice != 0 && prev.valid && prev.nal_ref_idc == 0 &&
      ds->prevNalType >= 1 && ds->prevNalType <= 5) {
    const uint8_t refIdc = nal->nal_ref_idc;
    nal->nal_ref_idc = 0;
    if (IsNewAccessUnit(tb->slice, ds->currentPicture, tb, &dec->prevSlice)) nal->nal_ref_idc = refIdc;
  }
  dec->unitRetyped = nal->nal_ref_idc != 0 ? 1 : 0;
}

// A slice's NAL unit type, before its header is read: type 5 checked by
// retype_idr_as_non_idr, type 1 by retype_non_idr_as_idr.
void retype_damaged_slice(ThreadBuffer* tb, NalUnit* nal) {
  decoder_of(tb->decoderState)->unitRetyped = 0;
  if (nal->nal_unit_type == 1) {
    retype_non_idr_as_idr(tb, nal);
  } else if (nal->nal_unit_type == 5) {
    retype_idr_as_non_idr(tb, nal);
  }
}

namespace {

// Reads past ref_pic_list_modification() of list 0 (and 1 for B): false
// when its commands do not end.
bool skip_list_modification(BitReaderCabac* r, uint32_t sliceType) {
  for (uint32_t list = 0; list < (sliceType == kSliceTypeB ? 2u : 1u); ++list) {
    if (!ReadOneBit(r)) continue;
    uint32_t idc = 0;
    for (uint32_t k = 0; k <= kRefListSize && (idc = ue_v(r)) != 3; ++k) {
      if (idc > 3) return false;
      ue_v(r);
    }
    if (idc != 3) return false;
  }
  return true;
}

// Reads past pred_weight_table() of the slice's active references.
void skip_weights(BitReaderCabac* r, const SliceDecodeContext* s, uint32_t chromaFormat) {
  ue_v(r);
  if (chromaFormat != 0) ue_v(r);
  for (uint32_t list = 0; list < (s->slice_type == kSliceTypeB ? 2u : 1u); ++list) {
    const uint32_t n = (list == 0 ? s->num_ref_idx_l0_active_minus1 : s->num_ref_idx_l1_active_minus1) + 1u;
    for (uint32_t i = 0; i < n; ++i) {
      if (ReadOneBit(r)) {
        se_v(r);
        se_v(r);
      }
      if (chromaFormat != 0 && ReadOneBit(r))
        for (uint32_t k = 0; k < 4; ++k) se_v(r);
    }
  }
}

// The picture before p in decode order, past the fields out of place
// (perhaps sent again ahead of their own) that stand between.
const DecodedPicture* picture_before(const DecodedPicture* p) {
  const DecodedPicture* b = p->prevInDecodeOrder;
  for (uint32_t i = 0; i < kFieldHistory && b && b->setUp && b->outOfPlace; ++i) b = b->prevInDecodeOrder;
  return b;
}

}  // namespace

bool follows_non_reference_first_field(const DecodedPicture* p, const HeaderStart& h) {
  const DecodedPicture* b = picture_before(p);
  return h.field_pic_flag && b && b->setUp && b->structure != kFrame && b->structure != h.bottom_field_flag &&
         b->frameNum == h.frame_num && !b->secondField && !b->idr && b->nalRefIdc == 0;
}

bool marking_absent(BitReaderCabac r, const SliceDecodeContext* s, const PictureParameterSet* pps,
                    const SequenceParameterSet* sps, bool absentIfWhole) {
  if (s->slice_type != kSliceTypeI && !skip_list_modification(&r, s->slice_type)) return false;
  if ((pps->weighted_pred_flag && s->slice_type == kSliceTypeP) ||
      (pps->weighted_bipred_idc == 1 && s->slice_type == kSliceTypeB))
    skip_weights(&r, s, sps->chroma_format_idc);
  const bool field = s->field_pic_flag_coded != 0;
  if (r.overrun || !header_end_reads_whole(r, pps, sps, s->slice_type, field)) return false;
  if (absentIfWhole) return true;
  BitReaderCabac withMarking = r;
  bool longTerm = false;
  return !skip_adaptive_marking(&withMarking, &longTerm) ||
         !header_end_reads_whole(withMarking, pps, sps, s->slice_type, field);
}

// A reference picture other than an IDR picture (or one with
// memory_management_control_operation 5), its marking just read: what its
// marking ended stays a reference until the next picture shows whether it
// was a reference at all (its own later slices see those ended, as any
// picture's do). Damage to nal_ref_idc or to a slice's type makes a
// non-reference picture read as one, whose marking would end references
// the pictures after it still use.
void hold_marking_of_doubtful_reference(VideoDecoder* dec, DecodedPicture* p) {
  ReferenceInDoubt& d = dec->doubt;
  if (d.picture != p || d.setUpOrder != p->setUpOrder) {
    d.picture = p;
    d.setUpOrder = p->setUpOrder;
    d.count = 0;
    d.retyped = 0;
  }
  d.retyped |= dec->unitRetyped;
  DecoderState* ds = &dec->state;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* q = &ds->pictures[i];
    if (q == p || q->unmarkedBy != p->setUpOrder || q->referenceMarking == q->markingBefore) continue;
    uint32_t k = 0;
    while (k < d.count && d.ended[k] != q) ++k;
    if (k == kRefListSize) continue;  // more than a list holds: ended at once
    if (k == d.count) {
      d.ended[k] = q;
      d.endedOrder[k] = q->setUpOrder;
      ++d.count;
    }
    d.endedMarking[k] = q->referenceMarking;
    q->referenceMarking = q->markingBefore;
  }
}

// A picture about to be set up with frame_num `h.frame_num` (not one sent
// again) after the reference picture in doubt, q. No picture may repeat
// q's frame_num but the other field of q's frame right after it (for a
// non-reference field, the other field of the frame before it, whichever
// its kind). A reference picture that does shows that q was no reference:
// q stops being one, the references are those before it, and its slices
// count as repaired (unless counted already as retyped). A non-reference
// picture that does was predicted from q where it should not be: either q
// is such a false reference, or q is a reference picture sent before it
// that came after it. Either way q is no reference for it: it reads those
// before q. It is reported, and q stays in doubt (for a slice retyped from
// IDR, q stops being a reference at once). Any other picture lets q's
// marking take effect.
void demote_reference_in_doubt(VideoDecoder* dec, DecodedPicture* p, const HeaderStart& h, bool idr,
                               uint8_t nalRefIdc) {
  ReferenceInDoubt& d = dec->doubt;
  DecodedPicture* q = d.picture;
  if (!q) return;
  if (q->setUpOrder != d.setUpOrder || !q->setUp) {  // withdrawn: its marking ended nothing
    d.picture = nullptr;
    return;
  }
  const DecodedPicture* b = picture_before(p);
  const bool otherField = h.field_pic_flag && b && b->setUp && b->structure != kFrame &&
                          b->structure != h.bottom_field_flag && b->frameNum == h.frame_num && !b->secondField &&
                          (nalRefIdc == 0 || b == q);
  // A non-reference field right after q, of its frame, where q came typed
  // IDR: the fields of a frame pair only as two references or two
  // non-reference fields, so the damage that typed q set its reference
  // flag too. q ends nothing, as a repeated frame_num would show.
  const bool partnerDenies = otherField && nalRefIdc == 0 && b == q && d.retyped;
  const bool repeats = !idr && h.frame_num == q->frameNum && (!otherField || partnerDenies) &&
                       dec->join.starting == kStreamStartNone;
  if (repeats && nalRefIdc == 0 && !d.retyped) {
    // What q's marking ended is held while q is in doubt: hiding q leaves
    // p the references it had in its own place.
    p->sentAhead = q;
    note_missing_references(dec, p);
    return;
  }
  d.picture = nullptr;
  if (!repeats) {
    for (uint32_t k = 0; k < d.count; ++k) {
      DecodedPicture* e = d.ended[k];
      if (e->setUpOrder == d.endedOrder[k] && e->unmarkedBy == d.setUpOrder) e->referenceMarking = d.endedMarking[k];
    }
    return;
  }
  read_as_non_reference(dec, p, q);
  if (!d.retyped) ++dec->damage.slicesRepaired;
}
