// Reference waits: whether a slice's references are finished or far enough
// along for it to start, the records it pins meanwhile, and the wait of its
// prediction for the rows it reads.
#include <cerrno>
#include <ctime>

#include "engine_internal.h"

namespace {

// Whether every row of the picture `rows` asks for is final: a frame row
// by row, a field whole, with the other field of its frame when that was
// decoded before the slice's picture.
bool reference_ready(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows) {
  const uint32_t all = picture_rows(ref);
  if (ref->structure == kFrame) return ready_rows(ref) >= (rows < all ? rows : all);
  if (ready_rows(ref) < all) return false;
  const DecodedPicture* q = ref->pairedField;
  if (!q || q == s->picture || q->setUpOrder > s->picture->setUpOrder) return true;
  return ready_rows(q) >= picture_rows(q);
}

// Whether the workers are being held and nothing but waiting workers runs:
// then nothing will make a reference progress, and a wait gives up.
bool waits_abandoned(VideoDecoder* dec) {
  pthread_mutex_lock(&dec->lock);
  const bool held = (dec->stopped || dec->quit) &&
                    dec->idleCount + __atomic_load_n(&dec->awaiting, __ATOMIC_ACQUIRE) >= dec->threadCount;
  pthread_mutex_unlock(&dec->lock);
  return held;
}

}  // namespace

bool references_decoded(const SliceDecodeContext* s, uint32_t lists) {
  for (uint32_t l = 0; l < lists; ++l) {
    const uint32_t n = (l == 0 ? s->num_ref_idx_l0_active_minus1 : s->num_ref_idx_l1_active_minus1) + 1u;
    DecodedPicture* const* list = l == 0 ? s->RefPicList0 : s->RefPicList1;
    for (uint32_t i = 0; i < n && i < kRefListSize; ++i) {
      const DecodedPicture* r = list[i];
      if (!r) continue;
      if (!r->decoded) return false;
      // A frame entry made of two fields needs both.
      if (!s->field_pic_flag && r->structure != kFrame && r->pairedField && !r->pairedField->decoded) return false;
    }
  }
  return true;
}

// A B slice that starts before its first list-1 reference (or, in a frame,
// that reference's other field) is finished reads that picture's macroblock
// records for direct prediction, which picture_done would give back to the
// pool: they stay bound until the slice ends (under the instance lock).
void pin_colocated(SliceDecodeContext* s, uint32_t lists) {
  s->colocatedLive[0] = s->colocatedLive[1] = nullptr;
  DecodedPicture* col = lists == 2 ? s->RefPicList1[0] : nullptr;
  if (!col) return;
  DecodedPicture* candidates[2] = {col, s->field_pic_flag ? nullptr : col->pairedField};
  for (int i = 0; i < 2; ++i) {
    DecodedPicture* c = candidates[i];
    if (!c || c->decoded || c == s->picture) continue;
    ++c->colocatedPins;
    settle_read_holds(c);
    s->colocatedLive[i] = c;
  }
}

void unpin_colocated(VideoDecoder* dec, SliceDecodeContext* s) {
  for (DecodedPicture*& c : s->colocatedLive) {
    if (!c) continue;
    if (--c->colocatedPins == 0 && c->decoded) release_records(&dec->state, c);
    settle_read_holds(c);
    c = nullptr;
  }
}

// Whether every reference that is not finished is a frame whose
// reconstruction has begun: a slice started before that would only wait.
bool references_underway(VideoDecoder* dec, const SliceDecodeContext* s, uint32_t lists) {
  for (uint32_t l = 0; l < lists; ++l) {
    const uint32_t n = (l == 0 ? s->num_ref_idx_l0_active_minus1 : s->num_ref_idx_l1_active_minus1) + 1u;
    DecodedPicture* const* list = l == 0 ? s->RefPicList0 : s->RefPicList1;
    for (uint32_t i = 0; i < n && i < kRefListSize; ++i) {
      const DecodedPicture* r = list[i];
      if (!r || r->decoded) continue;
      if (r->structure != kFrame || progress_of(dec, r)->setUpOrder != r->setUpOrder ||
          !progress_of(dec, r)->reconStarted)
        return false;
    }
  }
  return true;
}

// A picture that no other picture predicts from starts its slice data only
// while fewer pictures than there are workers hold records: the records of
// pictures waiting for their references stay bounded, and pictures that
// others wait for never wait for records. Parked, it looks again when a
// picture is finished.
bool defer_slice_data(VideoDecoder* dec, const SliceDecodeContext* s, uint32_t lists) {
  const DecodedPicture* p = s->picture;
  if (lists == 0 || p->nalRefIdc != 0 || p->macroblocks || !progressive(dec)) return false;
  return dec->recordPool.inUse >= static_cast<uint32_t>(dec->threadCount);
}

void await_reference_rows_slow(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows) {
  VideoDecoder* dec = s->decoder;
  if (!dec || reference_ready(s, ref, rows)) return;
  __atomic_add_fetch(&dec->awaiting, 1, __ATOMIC_ACQ_REL);
  pthread_mutex_lock(&dec->progressLock);
  while (!reference_ready(s, ref, rows)) {
    // Publishing broadcasts; the time-out only serves to notice a decoder
    // that is being stopped while nothing else runs.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_nsec += 20 * 1000 * 1000;
    if (ts.tv_nsec >= 1000000000) {
      ts.tv_nsec -= 1000000000;
      ++ts.tv_sec;
    }
    ++dec->progressWaiters;
    const int r = pthread_cond_timedwait(&dec->progressCond, &dec->progressLock, &ts);
    --dec->progressWaiters;
    if (r == ETIMEDOUT && !reference_ready(s, ref, rows)) {
      pthread_mutex_unlock(&dec->progressLock);
      const bool abandoned = waits_abandoned(dec);
      pthread_mutex_lock(&dec->progressLock);
      if (abandoned) {
        // The rest of the slice reads what is there: nothing changes it any
        // more, and the caller waits for this worker to go idle.
        const_cast<SliceDecodeContext*>(s)->awaitRefs = 0;
        break;
      }
    }
  }
  pthread_mutex_unlock(&dec->progressLock);
  __atomic_sub_fetch(&dec->awaiting, 1, __ATOMIC_ACQ_REL);
}
