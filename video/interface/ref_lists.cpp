// Reference picture lists of P and B slices, their modification, and the
// marking of reference pictures. Every field and every frame is a picture
// record of its own; references are found by walking the decode-order list
// backward and the output-order list in both directions from the current
// picture.
#include <cstring>

#include "decoder_engine.h"

namespace {

struct ListBuilder {
  DecodedPicture** list;
  uint32_t count;
  void add(DecodedPicture* p) {
    if (count < kRefListSize) list[count++] = p;
  }
  // A frame whose fields were coded as separate pictures is one entry of a
  // frame list: its second field is skipped once the first is in.
  bool has_frame_of(const DecodedPicture* p) const {
    for (uint32_t i = 0; i < count; ++i)
      if (list[i] == p || (p->pairedField && list[i] == p->pairedField)) return true;
    return false;
  }
};

int64_t frame_num_wrap(const DecodedPicture* p, uint32_t frameNum, uint32_t maxFrameNum) {
  const int64_t fn = static_cast<int64_t>(p->frameNum);
  return fn > frameNum ? fn - maxFrameNum : fn;
}

// PicNum of a record as seen from the current slice. A frame record seen
// from a field slice stands for its field of the current parity.
int64_t pic_num(const DecodedPicture* p, const SliceDecodeContext* s, uint32_t maxFrameNum) {
  const int64_t wrap = frame_num_wrap(p, s->frame_num, maxFrameNum);
  if (!s->field_pic_flag_coded) return wrap;
  const bool sameParity = p->structure == 2 || p->structure == s->bottom_field_flag;
  return sameParity ? 2 * wrap + 1 : 2 * wrap;
}

bool fits_parity(const DecodedPicture* p, uint8_t parity) { return p->structure == 2 || p->structure == parity; }

// Interleaves the two parity sequences of a field list, starting with the
// current parity; when one runs out the rest of the other follows.
void interleave(ListBuilder* out, DecodedPicture** same, uint32_t nSame, DecodedPicture** other, uint32_t nOther) {
  uint32_t i = 0;
  uint32_t j = 0;
  while (i < nSame || j < nOther) {
    if (i < nSame) out->add(same[i++]);
    if (j < nOther) out->add(other[j++]);
  }
}

void p_frame_list(DecodedPicture* cur, ListBuilder* l0) {
  for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder) {
    if (!is_reference_for(p, cur)) continue;
    if (p->structure != 2 && l0->has_frame_of(p)) continue;
    l0->add(p);
  }
}

void p_field_list(DecodedPicture* cur, uint8_t parity, ListBuilder* l0) {
  DecodedPicture* same[kRefListSize];
  DecodedPicture* other[kRefListSize];
  uint32_t nSame = 0;
  uint32_t nOther = 0;
  for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder) {
    if (!is_reference_for(p, cur)) continue;
    if (fits_parity(p, parity) && nSame < kRefListSize) same[nSame++] = p;
    if (fits_parity(p, static_cast<uint8_t>(1 - parity)) && nOther < kRefListSize) other[nOther++] = p;
  }
  interleave(l0, same, nSame, other, nOther);
}

// One direction of the output-order list from the current picture.
uint32_t walk_output(DecodedPicture* cur, bool lower, int parity, DecodedPicture** out, bool frames) {
  uint32_t n = 0;
  for (DecodedPicture* p = lower ? cur->prevInOutputOrder : cur->nextInOutputOrder; p;
       p = lower ? p->prevInOutputOrder : p->nextInOutputOrder) {
    if (!is_reference_for(p, cur)) continue;
    if (parity >= 0 && !fits_parity(p, static_cast<uint8_t>(parity))) continue;
    if (frames && p->structure != 2) {
      bool seen = false;
      for (uint32_t i = 0; i < n; ++i) seen |= out[i] == p->pairedField;
      if (seen || p->pairedField == cur) continue;
    }
    if (n < kRefListSize) out[n++] = p;
  }
  return n;
}

void b_frame_lists(DecodedPicture* cur, ListBuilder* l0, ListBuilder* l1) {
  DecodedPicture* lower[kRefListSize];
  DecodedPicture* higher[kRefListSize];
  const uint32_t nl = walk_output(cur, true, -1, lower, true);
  const uint32_t nh = walk_output(cur, false, -1, higher, true);
  for (uint32_t i = 0; i < nl; ++i) l0->add(lower[i]);
  for (uint32_t i = 0; i < nh; ++i) l0->add(higher[i]);
  for (uint32_t i = 0; i < nh; ++i) l1->add(higher[i]);
  for (uint32_t i = 0; i < nl; ++i) l1->add(lower[i]);
}

void b_field_lists(DecodedPicture* cur, uint8_t parity, ListBuilder* l0, ListBuilder* l1) {
  DecodedPicture* lo[2][kRefListSize];
  DecodedPicture* hi[2][kRefListSize];
  uint32_t nlo[2];
  uint32_t nhi[2];
  for (int k = 0; k < 2; ++k) {
    const int par = k == 0 ? parity : 1 - parity;
    nlo[k] = walk_output(cur, true, par, lo[k], false);
    nhi[k] = walk_output(cur, false, par, hi[k], false);
  }
  DecodedPicture* seq0[2][2 * kRefListSize];
  DecodedPicture* seq1[2][2 * kRefListSize];
  uint32_t n0[2] = {0, 0};
  uint32_t n1[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    for (uint32_t i = 0; i < nlo[k]; ++i) seq0[k][n0[k]++] = lo[k][i];
    for (uint32_t i = 0; i < nhi[k]; ++i) seq0[k][n0[k]++] = hi[k][i];
    for (uint32_t i = 0; i < nhi[k]; ++i) seq1[k][n1[k]++] = hi[k][i];
    for (uint32_t i = 0; i < nlo[k]; ++i) seq1[k][n1[k]++] = lo[k][i];
  }
  interleave(l0, seq0[0], n0[0], seq0[1], n0[1]);
  interleave(l1, seq1[0], n1[0], seq1[1], n1[1]);
}

// Entries past the references found are cleared; active entries without a
// reference repeat the last one found, so no stage reads a stale pointer.
void close_list(SliceDecodeContext* s, DecodedPicture** list, uint32_t found, uint32_t active) {
  for (uint32_t i = found; i < kRefListSize; ++i) list[i] = nullptr;
  if (found == 0) return;
  for (uint32_t i = found; i < active && i < kRefListSize; ++i) {
    list[i] = list[found - 1];
    s->picture->damaged = 1;
  }
}

int32_t modify_list(DecoderState* ds, BitReaderCabac* r, SliceDecodeContext* s, DecodedPicture** list, uint32_t activeMinus1) {
  if (!ReadOneBit(r)) return 0;
  DecodedPicture* cur = s->picture;
  const SequenceParameterSet* sps = cur->sps;
  const int64_t maxPicNum = s->field_pic_flag_coded ? 2 * static_cast<int64_t>(sps->MaxFrameNum) : sps->MaxFrameNum;
  int64_t picNumPred = s->CurrPicNum;
  uint32_t refIdx = 0;
  for (uint32_t guard = 0; guard <= kRefListSize + 1; ++guard) {
    const uint32_t idc = ue_v(r);
    if (r->overrun) return kStepUnsupported;
    if (idc == 3) return 0;
    if (idc == 2) return refuse(ds, "long-term reference in a list modification");
    if (idc > 3) continue;
    const uint32_t absDiff = ue_v(r);
    if (!cur->prevInDecodeOrder) return kStepMissingReference;
    if (absDiff >= maxPicNum) return kStepMissingReference;
    int64_t noWrap;
    if (idc == 0) {
      noWrap = picNumPred - (static_cast<int64_t>(absDiff) + 1);
      if (noWrap < 0) noWrap += maxPicNum;
    } else {
      noWrap = picNumPred + (static_cast<int64_t>(absDiff) + 1);
      if (noWrap >= maxPicNum) noWrap -= maxPicNum;
    }
    picNumPred = noWrap;
    const int64_t picNum = noWrap > s->CurrPicNum ? noWrap - maxPicNum : noWrap;
    DecodedPicture* found = nullptr;
    for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder) {
      if (pic_num(p, s, sps->MaxFrameNum) == picNum) {
        found = p;
        break;
      }
    }
    if (!found) return kStepMissingReference;
    if (refIdx > activeMinus1 || activeMinus1 + 1 >= kRefListSize) return kStepUnsupported;
    for (uint32_t i = activeMinus1 + 1; i > refIdx; --i) list[i] = list[i - 1];
    list[refIdx++] = found;
    uint32_t n = refIdx;
    for (uint32_t i = refIdx; i <= activeMinus1 + 1; ++i) {
      DecodedPicture* q = list[i];
      const bool same = q && (q == found || (!s->field_pic_flag_coded && found->pairedField == q));
      if (!same) list[n++] = q;
    }
    for (uint32_t i = n; i <= activeMinus1 + 1; ++i) list[i] = nullptr;
  }
  return kStepUnsupported;
}

// The picture stays a reference for the rest of the current picture's
// slices; slices that read it hold it, so it is recycled once output and no
// longer read.
void unmark(DecodedPicture* p, const DecodedPicture* cur) {
  p->referenceMarking = 0;
  p->unmarkedBy = cur->accessUnitIndex + 1;
}

void sliding_window(DecodedPicture* cur, uint32_t maxRefFrames) {
  // The second field of a reference frame joins its first field's slot.
  if (cur->structure != 2 && cur->pairedField && cur->pairedField->referenceMarking) return;
  int64_t budget = 2 * static_cast<int64_t>(maxRefFrames) - 2;
  if (budget < 0) budget = 0;
  DecodedPicture* from = cur->prevInDecodeOrder;
  if (budget != 0) {
    DecodedPicture* p = cur->prevInDecodeOrder;
    for (; p; p = p->prevInDecodeOrder) {
      if (!p->referenceMarking) continue;
      budget -= p->structure == 2 ? 2 : 1;
      if (budget <= 0) break;
    }
    if (!p || budget < 0) return;
    from = p->prevInDecodeOrder;
  }
  for (DecodedPicture* p = from; p; p = p->prevInDecodeOrder)
    if (p->referenceMarking && p != cur->pairedField) unmark(p, cur);
}

}  // namespace

bool is_reference_for(const DecodedPicture* p, const DecodedPicture* current) {
  return p->referenceMarking == 3 || (p->unmarkedBy != 0 && p->unmarkedBy == current->accessUnitIndex + 1);
}

int32_t build_reference_lists(DecoderState* ds, SliceDecodeContext* s) {
  (void)ds;
  DecodedPicture* cur = s->picture;
  ListBuilder l0{s->RefPicList0, 0};
  ListBuilder l1{s->RefPicList1, 0};
  const bool field = s->field_pic_flag_coded != 0;
  if (s->slice_type == 0) {
    if (!cur->prevInDecodeOrder) return kStepNoReference;
    if (field)
      p_field_list(cur, s->bottom_field_flag, &l0);
    else
      p_frame_list(cur, &l0);
  } else {
    if (field)
      b_field_lists(cur, s->bottom_field_flag, &l0, &l1);
    else
      b_frame_lists(cur, &l0, &l1);
    if (l1.count > 1 && l1.count == l0.count &&
        std::memcmp(s->RefPicList0, s->RefPicList1, l0.count * sizeof(DecodedPicture*)) == 0) {
      DecodedPicture* t = s->RefPicList1[0];
      s->RefPicList1[0] = s->RefPicList1[1];
      s->RefPicList1[1] = t;
    }
  }
  for (uint32_t i = l0.count; i < kRefListSize; ++i) s->RefPicList0[i] = nullptr;
  for (uint32_t i = l1.count; i < kRefListSize; ++i) s->RefPicList1[i] = nullptr;
  s->refCount[0] = static_cast<uint8_t>(l0.count);
  s->refCount[1] = static_cast<uint8_t>(l1.count);
  return 0;
}

int32_t ref_pic_list_modification(ThreadBuffer* tb, SliceDecodeContext* s) {
  BitReaderCabac* r = &tb->reader;
  int32_t result = modify_list(tb->decoderState, r, s, s->RefPicList0, s->num_ref_idx_l0_active_minus1);
  if (result == 0 && s->slice_type == 1) result = modify_list(tb->decoderState, r, s, s->RefPicList1, s->num_ref_idx_l1_active_minus1);
  if (result != 0) return result;
  uint32_t found0 = 0;
  while (found0 < kRefListSize && s->RefPicList0[found0]) ++found0;
  uint32_t found1 = 0;
  while (found1 < kRefListSize && s->RefPicList1[found1]) ++found1;
  if (found0 == 0 || (s->slice_type == 1 && found1 == 0)) return kStepMissingReference;
  close_list(s, s->RefPicList0, found0, s->num_ref_idx_l0_active_minus1 + 1u);
  if (s->slice_type == 1) close_list(s, s->RefPicList1, found1, s->num_ref_idx_l1_active_minus1 + 1u);
  return 0;
}

int32_t dec_ref_pic_marking(ThreadBuffer* tb, SliceDecodeContext* s, uint32_t nalType, uint8_t nalRefIdc) {
  (void)nalRefIdc;
  BitReaderCabac* r = &tb->reader;
  DecodedPicture* cur = s->picture;
  if (nalType == 5) {
    s->no_output_of_prior_pics_flag = static_cast<uint8_t>(ReadOneBit(r));
    s->long_term_reference_flag = static_cast<uint8_t>(ReadOneBit(r));
    if (s->long_term_reference_flag) return refuse(tb->decoderState, "long-term reference (long_term_reference_flag)");
    cur->mmco5 = 0;
    return 0;
  }
  s->no_output_of_prior_pics_flag = 0;
  if (!ReadOneBit(r)) {
    cur->mmco5 = 0;
    sliding_window(cur, cur->sps->num_ref_frames);
    return 0;
  }
  const uint32_t maxFrameNum = cur->sps->MaxFrameNum;
  for (uint32_t guard = 0; guard < 1024; ++guard) {
    const uint32_t op = ue_v(r);
    if (r->overrun) return kStepUnsupported;
    s->memory_management_control_operation = static_cast<uint8_t>(op > 255 ? 255 : op);
    switch (op) {
      case 0:
        return 0;
      case 1:
      case 3: {
        s->difference_of_pic_nums_minus1 = ue_v(r);
        if (op == 3) ue_v(r);  // long_term_frame_idx: the picture is simply unmarked
        const int64_t picNumX = static_cast<int64_t>(s->CurrPicNum) - (static_cast<int64_t>(s->difference_of_pic_nums_minus1) + 1);
        for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder) {
          if (pic_num(p, s, maxFrameNum) != picNumX) continue;
          if (s->field_pic_flag_coded && p->structure == 2) continue;
          if (p->referenceMarking) {
            unmark(p, cur);
            // A frame slice unmarks both fields of a frame coded as fields.
            if (!s->field_pic_flag_coded && p->pairedField && p->pairedField->referenceMarking) unmark(p->pairedField, cur);
          }
          break;
        }
        break;
      }
      case 5:
        cur->mmco5 = 5;
        for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder)
          if (p->referenceMarking && p != cur->pairedField) unmark(p, cur);
        break;
      case 4:
        // Sets the highest long-term frame index and unmarks long-term
        // pictures above it: no picture is ever long-term here (operations
        // that would make one are refused), so nothing changes.
        ue_v(r);
        break;
      case 2:
      case 6:
        return refuse(tb->decoderState, "long-term reference (memory management operation 2 or 6)");
      default:
        return kStepUnsupported;
    }
  }
  return kStepUnsupported;
}

void hold_slice_pictures(SliceDecodeContext* s) {
  if (s->holdsPictures) return;
  s->holdsPictures = 1;
  ++s->picture->users;
  ++s->picture->slicesActive;
  for (uint32_t i = 0; i < kRefListSize && s->RefPicList0[i]; ++i) ++s->RefPicList0[i]->users;
  for (uint32_t i = 0; i < kRefListSize && s->RefPicList1[i]; ++i) ++s->RefPicList1[i]->users;
}

void release_slice_pictures(SliceDecodeContext* s) {
  if (!s->holdsPictures) return;
  s->holdsPictures = 0;
  --s->picture->users;
  --s->picture->slicesActive;
  for (uint32_t i = 0; i < kRefListSize && s->RefPicList0[i]; ++i) --s->RefPicList0[i]->users;
  for (uint32_t i = 0; i < kRefListSize && s->RefPicList1[i]; ++i) --s->RefPicList1[i]->users;
}
