// Reference picture lists of P and B slices, their modification, and the
// marking of reference pictures. Every field and every frame is a picture
// record of its own. Frame slices list frames: a frame record, or for a
// frame coded as two fields the first field's record. Field slices list
// fields: a field record, or a frame record with the parity it stands for.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "decoder_engine.h"

namespace {

struct ListBuilder {
  DecodedPicture** list;
  uint8_t* parity;
  uint32_t count;
  void add(DecodedPicture* p, uint8_t par) {
    if (count >= kRefListSize) return;
    parity[count] = par;
    list[count++] = p;
  }
};

// Marking as the current picture sees it: what its own marking took away
// still counts for its later slices.
uint8_t marking_seen(const DecodedPicture* p, const DecodedPicture* cur) {
  if (p == cur->sentAhead) return 0;
  return p->unmarkedBy != 0 && p->unmarkedBy == cur->setUpOrder ? p->markingBefore : p->referenceMarking;
}

// 1 when the field of the given parity of record p is a reference for cur.
// A frame's marking has bit `parity` for each field; a field record's
// structure is its parity.
bool field_reference(const DecodedPicture* p, uint8_t parity, const DecodedPicture* cur) {
  if (p == cur) return false;
  const uint8_t m = marking_seen(p, cur);
  if (p->structure == kFrame) return ((m >> parity) & 1) != 0;
  return p->structure == parity && m != 0;
}

// The field of the given parity of a list entry's frame, when it is a
// reference for cur: the frame record itself, the field record of that
// parity, or null.
DecodedPicture* field_of(DecodedPicture* entry, uint8_t parity, const DecodedPicture* cur) {
  if (entry->structure == kFrame) return field_reference(entry, parity, cur) ? entry : nullptr;
  DecodedPicture* f = entry->structure == parity ? entry : entry->pairedField;
  return f && f->structure == parity && field_reference(f, parity, cur) ? f : nullptr;
}

// A frame slice's entry for p: p's frame when all of it is a reference.
DecodedPicture* reference_frame(DecodedPicture* p, const DecodedPicture* cur) {
  if (p->structure == kFrame) return marking_seen(p, cur) == 3 ? p : nullptr;
  DecodedPicture* q = p->pairedField;
  if (!q || q == cur || marking_seen(p, cur) == 0 || marking_seen(q, cur) == 0) return nullptr;
  return frame_record(p);
}

bool contains(DecodedPicture* const* list, uint32_t n, const DecodedPicture* p) {
  return std::find(list, list + n, p) != list + n;
}

// A field left without its other field because that field never came: the
// picture after it is not the other field of its frame (a second field that
// is not a reference, after a reference field, does not pair with it but
// came).
bool partner_lost(const DecodedPicture* p) { return p->unpaired && !p->partnerCame; }

// The frames (or field pairs, or lone fields) with a reference field for the
// current picture, latest in decode order first, one entry per frame. A
// reference field whose other field was lost, among the first `active` of
// them, sets `lostField`: the lists would name that field.
uint32_t frame_entries(DecodedPicture* cur, bool fields, DecodedPicture** out, uint32_t active, bool* lostField) {
  uint32_t n = 0;
  for (DecodedPicture* p = cur->prevInDecodeOrder; p && n < kRefListSize; p = p->prevInDecodeOrder) {
    if (p->unpaired && n < active && marking_seen(p, cur) != 0 && partner_lost(p)) *lostField = true;
    DecodedPicture* e = nullptr;
    if (!fields) {
      e = reference_frame(p, cur);
    } else if (field_of(p, 0, cur) || field_of(p, 1, cur)) {
      e = frame_record(p);
    }
    if (e && !contains(out, n, e)) out[n++] = e;
  }
  return n;
}

// Order count of an entry as B lists sort it: a frame's, or in a field
// slice the lower count of its fields that are references.
int32_t entry_order_count(DecodedPicture* e, bool fields, const DecodedPicture* cur) {
  if (!fields) return frame_order_count(e);
  int32_t best = 0;
  bool any = false;
  for (uint8_t par = kTopField; par <= kBottomField; ++par) {
    if (!field_of(e, par, cur)) continue;
    const int32_t c = field_order_count_of(e, par);
    best = any && best < c ? best : c;
    any = true;
  }
  return best;
}

// Fields of the entries, alternating between the current parity and the
// other one, starting with the current one; when one parity runs out the
// rest of the other follows.
void alternate_fields(ListBuilder* out, DecodedPicture* const* entries, uint32_t n, uint8_t parity,
                      const DecodedPicture* cur) {
  uint32_t next[2] = {0, 0};
  uint8_t want = parity;
  for (;;) {
    bool took = false;
    for (int tries = 0; tries < 2 && !took; ++tries) {
      uint32_t& i = next[want == parity ? 0 : 1];
      while (i < n && !field_of(entries[i], want, cur)) ++i;
      if (i < n) {
        out->add(field_of(entries[i], want, cur), want);
        ++i;
        took = true;
      }
      want = static_cast<uint8_t>(1 - want);  // the other of kTopField and kBottomField
    }
    if (!took) return;
  }
}

// B-slice order: list 0 takes entries at or before the current count, latest
// first, then those after it, earliest first; list 1 the reverse halves.
void b_order(DecodedPicture** entries, uint32_t n, bool fields, const DecodedPicture* cur, int32_t curPoc,
             DecodedPicture** l0, DecodedPicture** l1) {
  int32_t poc[kRefListSize];
  uint32_t idx[kRefListSize];
  for (uint32_t i = 0; i < n; ++i) {
    poc[i] = entry_order_count(entries[i], fields, cur);
    idx[i] = i;
  }
  // Equal counts keep the entries' decode order (frames before the current
  // count compare with <= only in field slices, where the current frame's
  // first field may share the count).
  const auto before = [&](uint32_t i) { return fields ? poc[i] <= curPoc : poc[i] < curPoc; };
  std::stable_sort(idx, idx + n, [&](uint32_t a, uint32_t b) {
    const bool ba = before(a), bb = before(b);
    if (ba != bb) return ba;
    return ba ? poc[a] > poc[b] : poc[a] < poc[b];
  });
  uint32_t lower = 0;
  while (lower < n && before(idx[lower])) ++lower;
  for (uint32_t i = 0; i < n; ++i) l0[i] = entries[idx[i]];
  for (uint32_t i = 0; i < n - lower; ++i) l1[i] = entries[idx[lower + i]];
  for (uint32_t i = 0; i < lower; ++i) l1[n - lower + i] = entries[idx[i]];
}

int64_t frame_num_wrap(const DecodedPicture* p, uint32_t frameNum, uint32_t maxFrameNum) {
  const int64_t fn = static_cast<int64_t>(p->frameNum);
  return fn > frameNum ? fn - maxFrameNum : fn;
}

// PicNum of a field of a record as seen from a field slice, or of a frame
// entry from a frame slice.
int64_t pic_num(const DecodedPicture* p, uint8_t parity, const SliceDecodeContext* s, uint32_t maxFrameNum) {
  const int64_t wrap = frame_num_wrap(p, s->frame_num, maxFrameNum);
  if (!s->field_pic_flag_coded) return wrap;
  return parity == s->bottom_field_flag ? 2 * wrap + 1 : 2 * wrap;
}

// The reference with the given PicNum: in a field slice a field (record and
// parity), in a frame slice a frame entry. False when none has it.
// With `older`, when no reference has the number, the one with the highest
// number below it.
bool find_pic_num(const SliceDecodeContext* s, int64_t picNum, DecodedPicture** found, uint8_t* parity,
                  bool older = false) {
  DecodedPicture* cur = s->picture;
  const uint32_t maxFrameNum = cur->sps->MaxFrameNum;
  int64_t best = INT64_MIN;
  auto consider = [&](DecodedPicture* p, uint8_t par) {
    const int64_t n = pic_num(p, par, s, maxFrameNum);
    if (n > picNum || (n < picNum && (!older || n <= best))) return false;
    best = n;
    *found = p;
    *parity = par;
    return n == picNum;
  };
  for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder) {
    if (s->field_pic_flag_coded) {
      for (uint8_t par = kTopField; par <= kBottomField; ++par)
        if (field_reference(p, par, cur) && consider(p, par)) return true;
    } else if (DecodedPicture* e = reference_frame(p, cur)) {
      if (consider(e, 0)) return true;
    }
  }
  return best != INT64_MIN;
}

// A picture number that no reference has names a picture the stream lost
// when a reference with a lower number was received: pictures older than
// every reference come from before the stream's start (an open group of
// pictures) or left the references as the stream said.
bool lost_pic_num(const SliceDecodeContext* s, int64_t picNum) {
  DecodedPicture* p = nullptr;
  uint8_t parity = 0;
  return find_pic_num(s, picNum, &p, &parity, true);
}

// The reference with the nearest PicNum above picNum: the stand-in for an
// entry naming a picture older than every reference. False when none.
bool nearest_newer(const SliceDecodeContext* s, int64_t picNum, DecodedPicture** found, uint8_t* parity) {
  DecodedPicture* cur = s->picture;
  const uint32_t maxFrameNum = cur->sps->MaxFrameNum;
  int64_t best = INT64_MAX;
  auto consider = [&](DecodedPicture* p, uint8_t par) {
    const int64_t n = pic_num(p, par, s, maxFrameNum);
    if (n <= picNum || n >= best) return;
    best = n;
    *found = p;
    *parity = par;
  };
  for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder) {
    if (s->field_pic_flag_coded) {
      for (uint8_t par = kTopField; par <= kBottomField; ++par)
        if (field_reference(p, par, cur)) consider(p, par);
    } else if (DecodedPicture* e = reference_frame(p, cur)) {
      consider(e, 0);
    }
  }
  return best != INT64_MAX;
}

// Entries past the references found are cleared; active entries without a
// reference repeat the last one found, so no stage reads a stale pointer.
void close_list(SliceDecodeContext* s, DecodedPicture** list, uint8_t* parity, uint32_t found, uint32_t active) {
  for (uint32_t i = found; i < kRefListSize; ++i) list[i] = nullptr;
  if (found == 0) return;
  for (uint32_t i = found; i < active && i < kRefListSize; ++i) {
    list[i] = list[found - 1];
    parity[i] = parity[found - 1];
    s->picture->damaged = 1;
  }
}

int32_t modify_list(DecoderState* ds, BitReaderCabac* r, SliceDecodeContext* s, DecodedPicture** list,
                    uint8_t* parity, uint64_t* missingBits, uint32_t activeMinus1) {
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
    if (idc == 2) {
      note_refused(s, kVideoRefusalLongTermReference);
      (void)ue_v(r);  // long_term_pic_num
      continue;
    }
    if (idc > 3) continue;
    const uint32_t absDiff = ue_v(r);
    DecodedPicture* standIn = recovery_stand_in(ds, cur);
    if (!cur->prevInDecodeOrder && !standIn) return kStepMissingReference;
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
    uint8_t par = 0;
    // A picture lost from the stream (its frame_num skipped) is taken to
    // repeat the newest reference before it, as a decoder filling the gap
    // would have repeated it.
    bool missing = false;
    if (!find_pic_num(s, picNum, &found, &par, true)) {
      // No reference has the number or one below it: a picture from before
      // the stream's start (a stream cut at an I picture may still name the
      // pictures before it). A stand-in takes the entry; only macroblocks
      // that predict from it lack their reference (see the worker).
      if (!nearest_newer(s, picNum, &found, &par)) {
        if (!standIn) return kStepMissingReference;
        found = standIn;
        par = s->bottom_field_flag;
      }
      missing = true;
    } else if (pic_num(found, par, s, sps->MaxFrameNum) != picNum) {
      cur->damaged = 1;
      note_missing_references(decoder_of(ds), cur);
    }
    if (refIdx > activeMinus1 || activeMinus1 + 1 >= kRefListSize) return kStepUnsupported;
    // Entries from refIdx on move up one place, their marks of stand-ins
    // with them.
    for (uint32_t i = activeMinus1 + 1; i > refIdx; --i) {
      list[i] = list[i - 1];
      parity[i] = parity[i - 1];
    }
    const uint64_t below = (1ull << refIdx) - 1;
    uint64_t bits = (*missingBits & below) | ((*missingBits & ~below) << 1);
    list[refIdx] = found;
    bits = missing ? bits | (1ull << refIdx) : bits & ~(1ull << refIdx);
    parity[refIdx++] = par;
    uint32_t n = refIdx;
    for (uint32_t i = refIdx; i <= activeMinus1 + 1; ++i) {
      DecodedPicture* q = list[i];
      const uint64_t mark = (bits >> i) & 1;
      // A stand-in is not the picture it stands in for: neither drops the
      // other.
      if (!q || (!missing && !mark && q == found && parity[i] == par)) continue;
      parity[n] = parity[i];
      bits = (bits & ~(1ull << n)) | (mark << n);
      list[n++] = q;
    }
    bits &= n < 64 ? (1ull << n) - 1 : ~0ull;
    *missingBits = bits;
    for (uint32_t i = n; i <= activeMinus1 + 1; ++i) list[i] = nullptr;
  }
  return kStepUnsupported;
}

// Keeps the newest max_num_ref_frames - 1 reference frames (frames, field
// pairs, fields without a pair) before the current picture and unmarks the
// older ones, a frame with both of its fields.
void sliding_window(DecodedPicture* cur, uint32_t maxRefFrames) {
  // The second field of a reference frame joins its first field's slot.
  if (cur->structure != kFrame && cur->pairedField && cur->pairedField->referenceMarking) return;
  const uint32_t keep = maxRefFrames > 1 ? maxRefFrames - 1 : 0;
  DecodedPicture* kept[kRefListSize];
  uint32_t n = 0;
  for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder) {
    if (!p->referenceMarking || p == cur->pairedField) continue;
    DecodedPicture* e = frame_record(p);
    if (contains(kept, n, e)) continue;
    if (n < keep && n < kRefListSize) {
      kept[n++] = e;
    } else {
      unmark_reference(p, cur, 3);
    }
  }
}

}  // namespace

void note_missing_references(VideoDecoder* dec, DecodedPicture* p) {
  if (p->refsMissing) return;
  p->refsMissing = 1;
  ++dec->damage.picturesMissingReferences;
}

void bound_references(DecodedPicture* cur) {
  if (cur->sps && cur->referenceMarking) sliding_window(cur, cur->sps->num_ref_frames);
}

bool is_reference_for(const DecodedPicture* p, const DecodedPicture* current) {
  return marking_seen(p, current) != 0;
}

void unmark_reference(DecodedPicture* p, const DecodedPicture* current, uint8_t fields) {
  // Keyed by the set-up rank, which no other picture shares (an access-unit
  // index comes again after a picture is withdrawn).
  if (p->unmarkedBy != current->setUpOrder) {
    p->markingBefore = p->referenceMarking;
    p->unmarkedBy = current->setUpOrder;
  }
  p->referenceMarking = p->structure == kFrame ? static_cast<uint8_t>(p->referenceMarking & ~fields) : 0;
}

int32_t build_reference_lists(DecoderState* ds, SliceDecodeContext* s) {
  DecodedPicture* cur = s->picture;
  ListBuilder l0{s->RefPicList0, s->refParity[0], 0};
  ListBuilder l1{s->RefPicList1, s->refParity[1], 0};
  std::memset(s->refParity, 0, sizeof(s->refParity));
  const bool field = s->field_pic_flag_coded != 0;
  const uint8_t parity = s->bottom_field_flag;
  DecodedPicture* standIn = recovery_stand_in(ds, cur);
  if (s->slice_type == kSliceTypeP && !cur->prevInDecodeOrder && !standIn) return kStepNoReference;
  std::memset(s->missingEntries, 0, sizeof(s->missingEntries));
  DecodedPicture* entries[kRefListSize];
  const uint32_t active = 1u + std::max(s->num_ref_idx_l0_active_minus1, s->num_ref_idx_l1_active_minus1);
  bool lostField = false;
  const uint32_t n = frame_entries(cur, field, entries, field ? (active + 1) / 2 : active, &lostField);
  if (lostField) note_missing_references(decoder_of(ds), cur);
  if (s->slice_type == kSliceTypeP) {
    if (field) {
      alternate_fields(&l0, entries, n, parity, cur);
    } else {
      for (uint32_t i = 0; i < n; ++i) l0.add(entries[i], 0);
    }
  } else {
    DecodedPicture* o0[kRefListSize];
    DecodedPicture* o1[kRefListSize];
    b_order(entries, n, field, cur, cur->pictureOrderCount, o0, o1);
    if (field) {
      alternate_fields(&l0, o0, n, parity, cur);
      alternate_fields(&l1, o1, n, parity, cur);
    } else {
      for (uint32_t i = 0; i < n; ++i) {
        l0.add(o0[i], 0);
        l1.add(o1[i], 0);
      }
    }
    bool same = l1.count > 1 && l1.count == l0.count;
    for (uint32_t i = 0; same && i < l0.count; ++i)
      same = s->RefPicList0[i] == s->RefPicList1[i] && s->refParity[0][i] == s->refParity[1][i];
    if (same) {
      std::swap(s->RefPicList1[0], s->RefPicList1[1]);
      std::swap(s->refParity[1][0], s->refParity[1][1]);
    }
  }
  // A stream that starts at a recovery point predicts its first picture from
  // pictures before its start: the stand-in takes their place.
  if (standIn && l0.count == 0) {
    l0.add(standIn, parity);
    s->missingEntries[0] = 1;
  }
  if (standIn && s->slice_type == kSliceTypeB && l1.count == 0) {
    l1.add(standIn, parity);
    s->missingEntries[1] = 1;
  }
  for (uint32_t i = l0.count; i < kRefListSize; ++i) s->RefPicList0[i] = nullptr;
  for (uint32_t i = l1.count; i < kRefListSize; ++i) s->RefPicList1[i] = nullptr;
  s->refCount[0] = static_cast<uint8_t>(l0.count);
  s->refCount[1] = static_cast<uint8_t>(l1.count);
  return 0;
}

int32_t ref_pic_list_modification(ThreadBuffer* tb, SliceDecodeContext* s) {
  BitReaderCabac* r = &tb->reader;
  int32_t result = modify_list(tb->decoderState, r, s, s->RefPicList0, s->refParity[0], &s->missingEntries[0],
                               s->num_ref_idx_l0_active_minus1);
  if (result == 0 && s->slice_type == kSliceTypeB)
    result = modify_list(tb->decoderState, r, s, s->RefPicList1, s->refParity[1], &s->missingEntries[1],
                         s->num_ref_idx_l1_active_minus1);
  if (result != 0) return result;
  uint32_t found0 = 0;
  while (found0 < kRefListSize && s->RefPicList0[found0]) ++found0;
  uint32_t found1 = 0;
  while (found1 < kRefListSize && s->RefPicList1[found1]) ++found1;
  if (found0 == 0 || (s->slice_type == kSliceTypeB && found1 == 0)) return kStepMissingReference;
  // The references found, before the active entries past them are filled:
  // a macroblock that names one of those refers to a picture never received.
  s->refCount[0] = static_cast<uint8_t>(found0);
  s->refCount[1] = static_cast<uint8_t>(found1);
  close_list(s, s->RefPicList0, s->refParity[0], found0, s->num_ref_idx_l0_active_minus1 + 1u);
  if (s->slice_type == kSliceTypeB)
    close_list(s, s->RefPicList1, s->refParity[1], found1, s->num_ref_idx_l1_active_minus1 + 1u);
  return 0;
}

int32_t dec_ref_pic_marking(ThreadBuffer* tb, SliceDecodeContext* s, uint32_t nalType, uint8_t nalRefIdc) {
  (void)nalRefIdc;
  BitReaderCabac* r = &tb->reader;
  DecodedPicture* cur = s->picture;
  if (nalType == 5) {
    s->no_output_of_prior_pics_flag = static_cast<uint8_t>(ReadOneBit(r));
    s->long_term_reference_flag = static_cast<uint8_t>(ReadOneBit(r));
    if (s->long_term_reference_flag) note_refused(s, kVideoRefusalLongTermReference);
    cur->mmco5 = 0;
    return 0;
  }
  s->no_output_of_prior_pics_flag = 0;
  if (!ReadOneBit(r)) {
    cur->mmco5 = 0;
    sliding_window(cur, cur->sps->num_ref_frames);
    return 0;
  }
  for (uint32_t guard = 0; guard < 1024; ++guard) {
    const uint32_t op = ue_v(r);
    if (r->overrun) return kStepUnsupported;
    s->memory_management_control_operation = static_cast<uint8_t>(op > 255 ? 255 : op);
    switch (op) {
      case 0:
        // Operations that freed too little (damage) leave no more frames
        // than the stream keeps; a sound stream's already fit.
        bound_references(cur);
        return 0;
      case 1: {
        s->difference_of_pic_nums_minus1 = ue_v(r);
        const int64_t picNumX = static_cast<int64_t>(s->CurrPicNum) - (static_cast<int64_t>(s->difference_of_pic_nums_minus1) + 1);
        DecodedPicture* p = nullptr;
        uint8_t par = 0;
        if (!find_pic_num(s, picNumX, &p, &par)) {
          if (lost_pic_num(s, picNumX)) note_missing_references(decoder_of(tb->decoderState), cur);
          break;
        }
        if (s->field_pic_flag_coded) {
          unmark_reference(p, cur, static_cast<uint8_t>(p->structure == kFrame ? 1u << par : 3u));
        } else {
          // A frame slice unmarks both fields of a frame coded as fields.
          unmark_reference(p, cur, 3);
          if (p->structure != kFrame && p->pairedField) unmark_reference(p->pairedField, cur, 3);
        }
        break;
      }
      case 5:
        cur->mmco5 = 5;
        for (DecodedPicture* p = cur->prevInDecodeOrder; p; p = p->prevInDecodeOrder)
          if (p->referenceMarking && p != cur->pairedField) unmark_reference(p, cur, 3);
        break;
      case 2:
      case 3:
      case 4:
      case 6:
        // Operation 3 would turn a short-term picture into a long-term one
        // that later pictures still reference: taking it out instead would
        // decode them from the wrong pictures. The operation's fields are
        // read past: the slice is refused or dropped at the header's end.
        note_refused(s, kVideoRefusalMemoryManagement, op);
        (void)ue_v(r);
        if (op == 3) (void)ue_v(r);
        break;
      default:
        return kStepUnsupported;
    }
  }
  return kStepUnsupported;
}

// The records a picture's macroblocks refer to: every picture its slices'
// lists name, the other fields of those fields, and its concealment source.
// A reference record must not be handed to a new picture while anything may
// still follow such a reference (its identity and its pairing decide what
// direct prediction and concealment do), so the picture holds them all
// until it is finished, and after that for as long as it is read itself: as
// a reference or co-located picture of a slice in flight, or a concealment
// source. Only one step deep: a record held this way holds nothing itself.
void note_read(DecodedPicture* reader, DecodedPicture* p) {
  if (!reader->refsRead || !p || p->poolSize != reader->poolSize) return;
  uint64_t& word = reader->refsRead[p->poolIndex / 64];
  const uint64_t bit = 1ull << (p->poolIndex % 64);
  if (word & bit) return;
  word |= bit;
  if (reader->holdsReads) ++p->readBy;
}

void settle_read_holds(DecodedPicture* p) {
  if (!p->refsRead) return;
  const bool want = (p->setUp && !p->decoded) || p->users != 0 || p->colocatedPins != 0;
  if (want == (p->holdsReads != 0)) return;
  p->holdsReads = want ? 1 : 0;
  DecodedPicture* pool = p - p->poolIndex;
  for (uint32_t w = 0; w < ref_set_words(p->poolSize); ++w)
    for (uint64_t bits = p->refsRead[w]; bits; bits &= bits - 1) {
      DecodedPicture* q = &pool[64 * w + static_cast<uint32_t>(__builtin_ctzll(bits))];
      if (want)
        ++q->readBy;
      else
        --q->readBy;
    }
}

// A slice's holds beyond its own picture and its list entries, as one set
// kept with the slice (bits by pool index), so that releasing it gives back
// exactly what was taken whatever changed meanwhile: the other fields of
// field pairs that its lists name by one field (direct prediction and the
// lists' frame identities read that field).
void hold_extra(SliceDecodeContext* s, DecodedPicture* p) {
  if (!p || !s->motionHeldPool || p->poolSize != s->picture->poolSize) return;
  s->motionHeld[p->poolIndex / 64] |= 1ull << (p->poolIndex % 64);
}

void gather_extra_holds(SliceDecodeContext* s) {
  std::memset(s->motionHeld, 0, sizeof(s->motionHeld));
  DecodedPicture* cur = s->picture;
  const bool pooled = cur->refsRead && ref_set_words(cur->poolSize) <= kMotionHoldWords;
  s->motionHeldPool = pooled ? cur - cur->poolIndex : nullptr;
  s->motionHeldWords = pooled ? ref_set_words(cur->poolSize) : 0;
  for (DecodedPicture* const* list : {s->RefPicList0, s->RefPicList1}) {
    for (uint32_t i = 0; i < kRefListSize && list[i]; ++i) {
      DecodedPicture* p = list[i];
      if (p->structure != kFrame) hold_extra(s, p->pairedField);
      note_read(cur, p);
      note_read(cur, p->pairedField);
    }
  }
}

void adjust_holds(SliceDecodeContext* s, int delta) {
  DecodedPicture* cur = s->picture;
  cur->users += delta;
  cur->slicesActive += delta;
  const bool frames = !s->field_pic_flag_coded;
  if (delta > 0) gather_extra_holds(s);
  for (DecodedPicture* const* list : {s->RefPicList0, s->RefPicList1}) {
    for (uint32_t i = 0; i < kRefListSize && list[i]; ++i) {
      DecodedPicture* p = list[i];
      p->users += delta;
      // Records outside a pool (built by hand) hold the other field directly.
      if (!s->motionHeldPool && frames && p->structure != kFrame && p->pairedField) p->pairedField->users += delta;
      settle_read_holds(p);
    }
  }
  for (uint32_t w = 0; w < s->motionHeldWords; ++w)
    for (uint64_t bits = s->motionHeld[w]; bits; bits &= bits - 1) {
      DecodedPicture* p = &s->motionHeldPool[64 * w + static_cast<uint32_t>(__builtin_ctzll(bits))];
      p->users += delta;
      settle_read_holds(p);
    }
  settle_read_holds(cur);
}

void hold_slice_pictures(SliceDecodeContext* s) {
  if (s->holdsPictures) return;
  s->holdsPictures = 1;
  adjust_holds(s, 1);
}

void release_slice_pictures(SliceDecodeContext* s) {
  if (!s->holdsPictures) return;
  s->holdsPictures = 0;
  adjust_holds(s, -1);
}
