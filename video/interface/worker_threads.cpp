// Worker threads: every worker picks the most urgent task under the instance
// lock, runs one step (the heavy ones with the lock released) and files the
// task by the step's result into one of four heaps.
#include <cstdlib>
#include <cstring>

#include "decoder_engine.h"
#include "engine_internal.h"
#include "mb_record.h"
#include "reconstruction.h"

namespace {

bool goes_before(const DecodeTask* a, const DecodeTask* b) {
  return a->key < b->key || (a->key == b->key && a->state < b->state);
}

}  // namespace

void InformManager(uint32_t bits, VideoDecoder* dec) {
  dec->status |= bits;
  dec->resultPosted = 1;
  pthread_cond_broadcast(&dec->doneCond);
}

namespace {

void post_error(VideoDecoder* dec, int32_t result) {
  if (dec->errorCode == 0) {
    switch (result) {
      case kStepNoSps: dec->errorCode = kVideoErrorNoSps; break;
      case kStepNoPps: dec->errorCode = kVideoErrorNoPps; break;
      case kStepNoReference: dec->errorCode = kVideoErrorNoReference; break;
      case kStepMissingReference: dec->errorCode = kVideoErrorMissingReference; break;
      case kStepUnsupported: dec->errorCode = kVideoErrorUnsupported; break;
      case kStepParameterSet: dec->errorCode = kVideoErrorParameterSet; break;
      case kStepDamaged: dec->errorCode = kVideoErrorDamaged; break;
      case kStepNoMemory: dec->errorCode = kVideoErrorNoMemory; break;
      case kStepNoPictureBuffer: dec->errorCode = kVideoErrorNoPictureBuffer; break;
      case kStepStalled: dec->errorCode = kVideoErrorStalled; break;
      default: dec->errorCode = kVideoErrorStepFailed; break;
    }
  }
  // An error found while no call waits (the workers parse on after a call
  // was answered), or while a picture is being written for this call, is
  // kept for the next call.
  if (dec->resultPosted || dec->outputWriting) dec->errorPending = 1;
  dec->stopped = 1;
  if (dec->outputWriting) return;  // the call is answered with the picture
  dec->status |= kStatusError;
  dec->resultPosted = 1;
  pthread_cond_broadcast(&dec->doneCond);
}

}  // namespace

// Moves every parked task back: finished pictures to the output heap, slices
// to the work heap (a slice whose references or range are not ready parks
// again).
void unpark_all(VideoDecoder* dec) {
  while (dec->waitHeap.count > 0) {
    DecodeTask* t = PopHeap(&dec->waitHeap);
    PushHeap(t->state == kTaskOutput ? &dec->outputHeap : &dec->workHeap, t);
  }
}

namespace {

// Wakes one waiting worker when a task is ready to run, unless the workers
// are held (stopped) or the caller has to come back first.
void wake_worker(VideoDecoder* dec) {
  if (dec->idleCount <= 0 || dec->stopped) return;
  if (dec->workHeap.count == 0 && (dec->state.parseBytesLeft == 0 || dec->parseHeap.count == 0)) return;
  pthread_cond_signal(&dec->workCond);
}

// Every byte of the stream has been parsed: the end was signalled, the input
// is used up and no NAL unit is still being assembled.
bool input_complete(const DecoderState* ds) { return ds->endOfStream && ds->parseBytesLeft == 0 && !ds->copying; }

// At the end of the input no second field can come: a field still waiting
// for one stays alone. Mostly that is the last field (a stream cut after a
// first field, perhaps with a delimiter, SEI or parameter set after it), but
// a field followed only by pictures left out (before the start of a stream
// joined on) or out of place (fields sent again far from their place) waits
// too, and would hold back the output of every picture after it.
void close_lone_fields(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  if (!input_complete(ds)) return;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* p = &ds->pictures[i];
    if (p->setUp && !p->outputDone && p->structure != kFrame && !p->pairedField && !p->secondField && !p->unpaired)
      mark_unpaired(dec, p);
  }
}

// A free task may start on the next NAL unit: input is there, the caller of
// a stepwise decoder has not been told to bring more, and a picture record is
// free should the unit open a picture.
bool may_parse(VideoDecoder* dec, bool stepwise) {
  if (dec->parseHeap.count == 0 || (stepwise && (dec->status & kStatusNeedInput))) return false;
  return flight_has_room(&dec->state) && pool_has_room(&dec->state);
}

// A closed picture that no slice works on any more and that is not finished
// yet: it needs a task to conceal what is missing, deblock and finish it.
bool wants_finisher(const DecodedPicture* p) {
  return p->setUp && p->closed && !p->decoded && !p->finishing && !p->repeated && p->slicesActive == 0;
}

// A picture with macroblocks to conceal is finished once the picture it
// conceals from is: it copies that picture's samples.
bool conceal_source_ready(const DecodedPicture* p) {
  const DecodedPicture* from = p->concealFrom;
  return p->mbsLeft == 0 || !from || from->decoded || !from->setUp;
}

// The slice's entropy decoding is over (or will never run): its range no
// longer holds back the slices that start inside it, and the macroblocks it
// decoded are marked so that a later slice starting there is dropped.
void release_claim(VideoDecoder* dec, SliceDecodeContext* s, uint32_t decoded) {
  DecodedPicture* p = s->picture;
  if (p->openSlice == s) p->openSlice = nullptr;
  s->limitPending = 0;
  if (!s->claimed) return;
  s->claimed = 0;
  const uint32_t first = s->firstMbAddr;
  for (uint32_t a = first; a < s->mbLimit; ++a) {
    --p->mbClaims[a];
    if (a - first < decoded) p->mbFlags[a] |= kMbDecoded;
  }
  if (dec->waitHeap.count > 0) unpark_all(dec);
}

// Ends a slice's hold on its pictures; true when this task is the one to
// finish the picture (it is closed and no other slice works on it).
bool end_slice(VideoDecoder* dec, DecodeTask* t) {
  SliceDecodeContext* s = &t->slice;
  if (!s->holdsPictures) return false;
  DecodedPicture* p = s->picture;
  release_claim(dec, s, 0);
  release_slice_pictures(s);
  if (!wants_finisher(p)) return false;
  p->finishing = 1;
  return true;
}

// Takes a slice whose header is read into its picture's slice ranges, in
// stream order. A slice starting where a slice taken before starts repeats
// it and is dropped (false). The slice taken before it now knows where it
// must end: at the next slice start after its own.
bool take_slice(SliceDecodeContext* s) {
  DecodedPicture* p = s->picture;
  s->mbLimit = 0;
  s->limitPending = 0;
  s->claimed = 0;
  if (p->repeated) return false;  // the picture shows another one's planes
  if (s->slice_type != kSliceTypeI) choose_conceal_source(p, s->RefPicList0[0]);
  const uint32_t first = s->firstMbAddr;
  if (first >= p->mbCount || !p->mbFlags) return true;  // entropy decoding refuses it
  if (p->mbFlags[first] & kMbSliceStart) return false;
  p->mbFlags[first] |= kMbSliceStart;
  fix_slice_limit(p);
  p->openSlice = s;
  s->limitPending = 1;
  return true;
}

// Slices parked until their range was fixed may run once it is.
void wake_for_limits(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  bool fixed = false;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* p = &ds->pictures[i];
    if (p->limitFixed) {
      p->limitFixed = 0;
      fixed = true;
    }
  }
  if (fixed && dec->waitHeap.count > 0) unpark_all(dec);
}

// A closed picture that no slice holds (its slices were all lost, or all
// ended before it closed) is finished by a worker without a task, so that
// finishing never waits for a free task; true when one was finished.
bool finish_job(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  if (!dec->finishScan) return false;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* p = &ds->pictures[i];
    if (!wants_finisher(p) || !conceal_source_ready(p)) continue;
    p->finishing = 1;
    lend_records(ds, p);  // no slice of it started: every macroblock is concealed
    const uint32_t flags = dec->decodeFlags;
    pthread_mutex_unlock(&dec->lock);
    const bool concealed = finish_picture(dec, p, flags);
    pthread_mutex_lock(&dec->lock);
    if (concealed) ++dec->damage.picturesIncomplete;
    picture_done(dec, p);
    return true;
  }
  dec->finishScan = 0;
  return false;
}

// Whether a macroblock of [first, end) predicts from a list entry past the
// references the slice's list found, or from an entry that stands in for a
// picture never received. A list may be longer than the references there
// are, or name a picture from before the stream's start, but no macroblock
// of a sound stream uses such an entry: one that does refers to a picture
// the stream lost, or to fields received out of their order. Looked at only
// when a list is short or has such an entry.
bool names_missing_reference(const SliceDecodeContext* s, const DecodedPicture* p, uint32_t first, uint32_t end) {
  if (s->slice_type == kSliceTypeI) return false;
  const bool b = s->slice_type == kSliceTypeB;
  const uint32_t found[2] = {s->refCount[0], b ? s->refCount[1] : 0u};
  const uint64_t absent[2] = {s->missingEntries[0], b ? s->missingEntries[1] : 0u};
  if (found[0] > s->num_ref_idx_l0_active_minus1 && (!b || found[1] > s->num_ref_idx_l1_active_minus1) &&
      (absent[0] | absent[1]) == 0)
    return false;
  const auto lacks = [&](int list, int8_t refIdx, int shift) {
    if (refIdx < 0) return false;
    const uint32_t e = static_cast<uint32_t>(refIdx >> shift);
    return e >= found[list] || ((absent[list] >> e) & 1) != 0;
  };
  for (uint32_t a = first; a < end; ++a) {
    const MacroblockRecord& mb = p->macroblocks[a];
    if (mb_is_intra(mb.mb_type)) continue;
    // A field macroblock of an MBAFF frame indexes the fields of the frame
    // entries: two per entry.
    const int shift = s->MbaffFrameFlag && mb.mb_field_decoding_flag ? 1 : 0;
    for (int q = 0; q < 4; ++q) {
      if (mb.pred_flag_l0[q] && lacks(0, mb.ref_idx_l0[q], shift)) return true;
      if (b && mb.pred_flag_l1[q] && lacks(1, mb.ref_idx_l1[q], shift)) return true;
    }
  }
  return false;
}

// Reconstructs the slice; true when it brought the picture's count of
// macroblocks still to reconstruct to 0 (the picture is complete).
// `*missing` tells whether a macroblock of it named a reference never received.
bool Predict_Combine_Filter(VideoDecoder* dec, ThreadBuffer* tb, DecodeTask* t, bool rows, bool* missing) {
  SliceDecodeContext* s = &t->slice;
  s->rowsReported = 0;
  s->rowDone = rows ? slice_row_done : keep_row_motion;
  SetThreadBuffer(tb, t);
  const uint32_t n = s->predictAndCombine(tb);
  ReturnThreadBuffer(tb, t);
  s->rowDone = nullptr;
  if (n == 0) return false;
  DecodedPicture* p = s->picture;
  // The slice wrote its run of macroblocks (the runs of a picture's slices
  // never overlap, so no lock is needed).
  const uint32_t first = s->firstMbAddr;
  const uint32_t written = first < p->mbCount ? (n < p->mbCount - first ? n : p->mbCount - first) : 0;
  keep_slice_motion(s, first + written);
  *missing = names_missing_reference(s, p, first, first + written);
  if (p->mbWritten && written) std::memset(p->mbWritten + first, 1, written);
  if (rows) slice_rows_end(dec, s, first, first + written);
  pthread_mutex_lock(&dec->mbLock);
  const uint32_t before = p->mbsLeft;
  p->mbsLeft = before > n ? before - n : 0;
  pthread_mutex_unlock(&dec->mbLock);
  return before <= n;
}

// Skipping of non-reference or B pictures: the first slice turns the picture
// into a repeat of the picture of the same structure before it in output
// order (output before it, so decoded by then); its other slices are dropped
// as slices of a finished picture. A picture with nothing to repeat is
// decoded.
bool apply_skip_rule(VideoDecoder* dec, DecodeTask* t, int32_t* result) {
  DecoderState* ds = &dec->state;
  const uint32_t flags = dec->decodeFlags;
  const SliceDecodeContext* s = &t->slice;
  const bool skipB = (flags & kDecodeSkipB) && s->slice_type == kSliceTypeB;
  const bool skipNonRef = (flags & kDecodeSkipNonReference) && t->nal->nal_ref_idc == 0;
  if (*result != 0 || ds->leadingSkipCount != 0 || !(skipB || skipNonRef)) return false;
  if (t->nal->nal_unit_type != 1 && t->nal->nal_unit_type != 5) return false;
  DecodedPicture* cur = ds->currentPicture;
  if (s->first_mb_in_slice != 0) return false;
  for (DecodedPicture* q = cur->prevInOutputOrder; q; q = q->prevInOutputOrder) {
    if (q->structure != cur->structure) continue;
    const bool fits = (flags & kDecodeSkipNonReference) ? q->lastNalType != 0 : q->sliceType != kSliceTypeB;
    if (!fits || !q->setUp) continue;
    release_slice_pictures(&t->slice);
    FrameBuffer* own = cur->frameBuffer;
    own->key = 0;
    own->outputTicks = 2;
    own->storage = nullptr;
    cur->frameBuffer = q->frameBuffer;
    cur->repeated = 1;
    cur->outputTicks = q->frameBuffer->outputTicks;
    cur->decoded = 1;
    settle_read_holds(cur);
    publish_rows(dec, cur, picture_rows(cur));
    t->state = kTaskPictureDone;
    t->slice.picture = cur;
    return true;
  }
  return false;
}

int32_t parse_step(VideoDecoder* dec, ThreadBuffer* tb, DecodeTask* t) {
  DecoderState* ds = &dec->state;
  const int32_t parsed = ByteStreamParser_AnnexB(ds, t->nal);
  // A new access unit closes the picture before: a slice header does, and a
  // delimiter as soon as the parser meets it, also when the input runs out
  // right after it. A picture whose slices all ended before it closed waits
  // for a worker to finish it, and its last slice's range is fixed.
  dec->finishScan = 1;
  if (parsed == kAnnexBPending) {
    wake_for_limits(dec);
    t->state = kTaskParsePartial;
    return kStepWaitInput;
  }
  if (parsed == kAnnexBNeedInput) {
    // The input ends on a unit boundary: the last slice taken ends before
    // the next one a later input may bring (a slice starting inside it waits
    // for it), so its range is fixed now.
    if (ds->currentPicture && ds->currentPicture->setUp) fix_slice_limit(ds->currentPicture);
    wake_for_limits(dec);
    t->state = kTaskParse;
    return kStepWaitInput;
  }
  t->savedPtr = t->nal->payload;
  t->savedWord = bs_load_word(t->nal->payload);
  t->savedBitPos = 31;
  t->savedBytesLeft = t->nal->length;
  t->savedOverrun = 0;
  t->slice.nalUnit = t->nal;
  t->state = kTaskParse;
  SetThreadBuffer(tb, t);
  int32_t result = DecodeNalUnit(tb, dec->decodeFlags, dec->openFlags);
  ReturnThreadBuffer(tb, t);
  DecodedPicture* cur = ds->currentPicture;
  if (!apply_skip_rule(dec, t, &result) && !cur->hasPicTiming && cur->setUp)
    cur->frameBuffer->key = static_cast<uint64_t>(static_cast<int64_t>(cur->outputKey));
  const uint32_t st = t->state;
  if (result == 0 && (st == kTaskEntropyI || st == kTaskEntropyP || st == kTaskEntropyB)) {
    if (!take_slice(&t->slice))
      result = kStepConsumed;  // repeats a slice of the picture: dropped
    else if (t->slice.picture && t->slice.picture->setUp)
      start_progress(dec, t->slice.picture);
  }
  wake_for_limits(dec);
  return result;
}

// Runs the popped task's step; the lock is held on entry and on return.
int32_t run_step(VideoDecoder* dec, ThreadBuffer* tb, DecodeTask* t) {
  DecoderState* ds = &dec->state;
  switch (t->state) {
    case kTaskDelete:
      pthread_mutex_unlock(&dec->lock);
      DeleteTask(t);
      pthread_mutex_lock(&dec->lock);
      t->state = kTaskDropped;
      return 0;
    case kTaskAllocate: {
      pthread_mutex_unlock(&dec->lock);
      const int32_t r = InitializeTask(t, ds);
      pthread_mutex_lock(&dec->lock);
      if (r != 0) return r;
      t->state = kTaskDropped;
      return 0;
    }
    case kTaskParsePartial:
    case kTaskParse:
      return parse_step(dec, tb, t);
    case kTaskEntropyI:
    case kTaskEntropyP:
    case kTaskEntropyB: {
      SliceDecodeContext* s = &t->slice;
      DecodedPicture* p = s->picture;
      // The slice's range is fixed once the next slice (or the end of the
      // picture's input) is parsed; a slice starting inside the range of an
      // earlier one waits for it and is dropped when it decoded that start.
      if (s->limitPending) return kStepPark;
      if (s->claimed && p->mbClaims[s->firstMbAddr] > 1) return kStepPark;
      if (s->claimed && (p->mbFlags[s->firstMbAddr] & kMbDecoded)) return kStepConsumed;
      const uint32_t state = t->state;
      if (defer_slice_data(dec, s, state == kTaskEntropyI ? 0 : state == kTaskEntropyP ? 1 : 2)) return kStepPark;
      if (!lend_records(ds, p)) return block_shortage(&dec->recordPool);
      if (s->firstMbAddr < p->mbCount) s->currentMb = s->firstMb = p->macroblocks + s->firstMbAddr;
      s->referencesFinal = references_decoded(s, state == kTaskEntropyI ? 0 : state == kTaskEntropyP ? 1 : 2);
      // Rows reconstructed alongside the walk keep their motion as they go.
      s->motionKeptTo = 0;
      s->rowDone = keep_row_motion;
      pthread_mutex_unlock(&dec->lock);
      SetThreadBuffer(tb, t);
      int32_t r;
      if (state == kTaskEntropyI)
        r = dec->stages->entropyI(tb);
      else if (state == kTaskEntropyP)
        r = dec->stages->entropyP(tb);
      else
        r = dec->stages->entropyB(tb);
      ReturnThreadBuffer(tb, t);
      s->rowDone = nullptr;
      pthread_mutex_lock(&dec->lock);
      const bool kept = r == 0 || r == kSliceKeptBeforeDamage;
      const uint32_t decoded = kept && s->firstMb ? s->firstMb->slice_mb_count : 0;
      release_claim(dec, s, decoded);
      if (r != 0) {
        p->damaged = 1;
        ++dec->slicesDropped;
      }
      if (kept) {
        // A damaged slice's macroblocks before the damage are reconstructed;
        // the rest are concealed when the picture is finished.
        t->state = state + 2;
        return 0;
      }
      // The slice is given up; its macroblocks are concealed when the
      // picture is finished.
      return kStepConsumed;
    }
    case kTaskReconI:
    case kTaskReconP:
    case kTaskReconB: {
      const uint32_t lists = t->state == kTaskReconI ? 0 : (t->state == kTaskReconP ? 1 : 2);
      // A slice waits for its references to be finished: every picture is
      // finished in the end (missing macroblocks concealed), and reading one
      // before that would race with its reconstruction or deblocking.
      // With progressive filtering a slice may start before its references
      // are finished: its prediction waits for the rows it reads. One worker
      // always stays out of such waits.
      SliceDecodeContext* s = &t->slice;
      const bool rows = progressive(dec) && progress_of(dec, s->picture)->setUpOrder == s->picture->setUpOrder;
      bool overlapping = false;
      // Only pictures that others predict from start early: the others would
      // hold a worker in waits without shortening the chain of references.
      if (!references_decoded(s, lists)) {
        if (!rows || s->picture->nalRefIdc == 0 || dec->overlapping >= dec->threadCount - 1 ||
            !references_underway(dec, s, lists))
          return kStepPark;
        overlapping = true;
        ++dec->overlapping;
      }
      if (rows) {
        PictureProgress* g = progress_of(dec, s->picture);
        if (!g->reconStarted) {
          // Slices parked until this picture's reconstruction began may start.
          g->reconStarted = 1;
          if (dec->waitHeap.count > 0) unpark_all(dec);
        }
      }
      s->decoder = rows ? dec : nullptr;
      s->awaitRefs = overlapping ? 1 : 0;
      s->awaitRows = await_reference_rows_slow;
      if (overlapping) pin_colocated(s, lists);
      pthread_mutex_unlock(&dec->lock);
      bool missing = false;
      const bool complete = Predict_Combine_Filter(dec, tb, t, rows, &missing);
      pthread_mutex_lock(&dec->lock);
      if (missing) note_missing_references(dec, t->slice.picture);
      s->decoder = nullptr;
      s->awaitRefs = 0;
      unpin_colocated(dec, s);
      if (overlapping) {
        --dec->overlapping;
        if (dec->waitHeap.count > 0) unpark_all(dec);
      }
      DecodedPicture* p = t->slice.picture;
      bool finisher = end_slice(dec, t);
      if (complete && !p->finishing) {
        p->finishing = 1;
        finisher = true;
      }
      if (!finisher) return kStepConsumed;
      t->state = kTaskFinish;
      return 0;
    }
    case kTaskFinish: {
      DecodedPicture* p = t->slice.picture;
      if (!conceal_source_ready(p)) {
        // Finished without a task once the picture it conceals from is.
        p->finishing = 0;
        dec->finishScan = 1;
        return kStepConsumed;
      }
      lend_records(ds, p);
      const uint32_t flags = dec->decodeFlags;
      pthread_mutex_unlock(&dec->lock);
      const bool concealed = finish_picture(dec, p, flags);
      pthread_mutex_lock(&dec->lock);
      // Counted once per picture (each field of a pair on its own).
      if (concealed) ++dec->damage.picturesIncomplete;
      t->state = kTaskPictureDone;
      return 0;
    }
    case kTaskPictureDone:
      end_slice(dec, t);
      picture_done(dec, t->slice.picture);
      return kStepConsumed;
    case kTaskOutput:
      return output_picture(dec, t);
    default:
      t->state = kTaskDropped;
      return 0;
  }
}

// A refused stream ends where it was refused: the input after it is
// dropped, the pictures before it are finished and output as at the end of a
// stream (the same pictures however the workers' timing went), and the error
// comes after them. The refused picture is withdrawn unless a slice of it was
// already taken.
void refusal_ends_input(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  dec->refusedDrain = 1;
  ds->parseBytesLeft = 0;
  ds->copying = 0;
  ds->endOfStream = 1;
  DecodedPicture* p = ds->currentPicture;
  if (p && p->setUp && !p->decoded && !p->finishing && p->slicesActive == 0 && p->mbsLeft == p->mbCount)
    RemoveCurrentAccessUnit(ds);
  else if (p && p->setUp)
    close_picture(p);
  dec->finishScan = 1;
  wake_for_limits(dec);
}

// The input ended and no slice of it could be decoded: the stream is
// refused for the syntax it seemed to use, or the error says why the first
// slice was dropped. Never an end of stream without a word.
void nothing_decodable(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  const VideoRefusal& read = dec->cleanSuspect.reason != kVideoRefusalNone ? dec->cleanSuspect : dec->firstSuspect;
  if (read.reason != kVideoRefusalNone) {
    refuse(ds, read.reason, read.operation);
    post_error(dec, kStepUnsupported);
  } else if (dec->declaredRefusal != kVideoRefusalNone) {
    refuse(ds, dec->declaredRefusal);
    post_error(dec, kStepUnsupported);
  } else {
    post_error(dec, dec->firstDrop == kStepUnsupported ? kStepDamaged : dec->firstDrop);
  }
}

void file_task(VideoDecoder* dec, DecodeTask* t, int32_t result) {
  if (t->state == kTaskDropped) return;
  switch (result) {
    case 0:
      PushHeap(&dec->workHeap, t);
      break;
    case kStepWaitInput:
      PushHeap(&dec->parseHeap, t);
      break;
    case kStepToOutput:
      t->state = kTaskOutput;
      if (t->key == dec->state.outputPosition || dec->outputHeap.count < static_cast<int32_t>(dec->taskCount / 2))
        PushHeap(&dec->outputHeap, t);
      else
        PushHeap(&dec->waitHeap, t);
      break;
    case kStepConsumed:
      if (end_slice(dec, t)) {
        // The last slice of a closed picture: this task finishes it.
        t->state = kTaskFinish;
        PushHeap(&dec->workHeap, t);
        break;
      }
      t->state = kTaskParse;
      t->key = 0;
      PushHeap(&dec->parseHeap, t);
      break;
    case kStepPark:
      PushHeap(&dec->waitHeap, t);
      break;
    case kStepUnsupported:
      if (dec->refusalReason) {
        const bool finisher = end_slice(dec, t);
        refusal_ends_input(dec);
        t->state = finisher ? kTaskFinish : kTaskParse;
        if (finisher) {
          PushHeap(&dec->workHeap, t);
          break;
        }
        t->key = 0;
        PushHeap(&dec->parseHeap, t);
        break;
      }
      [[fallthrough]];
    default:
      end_slice(dec, t);
      post_error(dec, result);
      break;
  }
}

}  // namespace

int32_t PushHeap(TaskHeap* heap, DecodeTask* task) {
  // A task is filed once: filing it again (a damaged stream can lead a step
  // to hand back a task that is already waiting) must neither duplicate it
  // nor run the heap past the task count it was sized for.
  for (int32_t k = 0; k < heap->count; ++k)
    if (heap->entries[k] == task) return 0;
  if (heap->count >= heap->capacity) return -1;
  int32_t i = heap->count++;
  heap->entries[i] = task;
  while (i != 0) {
    const int32_t parent = (i - 1) / 2;
    if (goes_before(heap->entries[parent], heap->entries[i])) break;
    DecodeTask* tmp = heap->entries[parent];
    heap->entries[parent] = heap->entries[i];
    heap->entries[i] = tmp;
    i = parent;
  }
  return 0;
}

DecodeTask* PopHeap(TaskHeap* heap) {
  DecodeTask* first = heap->entries[0];
  heap->entries[0] = heap->entries[--heap->count];
  int32_t i = 0;
  while (heap->count >= 2) {
    int32_t child = 2 * i + 1;
    if (child >= heap->count) break;
    if (child + 1 < heap->count && !goes_before(heap->entries[child], heap->entries[child + 1])) ++child;
    if (goes_before(heap->entries[i], heap->entries[child])) break;
    DecodeTask* tmp = heap->entries[child];
    heap->entries[child] = heap->entries[i];
    heap->entries[i] = tmp;
    i = child;
  }
  return first;
}

int32_t SetThreadBuffer(ThreadBuffer* tb, DecodeTask* task) {
  tb->reader.word = task->savedWord;
  tb->reader.bitPos = task->savedBitPos;
  tb->reader.pWord = task->savedPtr;
  tb->reader.bytesLeft = task->savedBytesLeft;
  tb->reader.overrun = task->savedOverrun;
  tb->task = task;
  tb->slice = &task->slice;
  return 0;
}

int32_t ReturnThreadBuffer(ThreadBuffer* tb, DecodeTask* task) {
  task->savedWord = tb->reader.word;
  task->savedBitPos = tb->reader.bitPos;
  task->savedPtr = tb->reader.pWord;
  task->savedBytesLeft = tb->reader.bytesLeft;
  task->savedOverrun = tb->reader.overrun;
  return 0;
}

int32_t InitializeTask(DecodeTask* task, DecoderState* ds) {
  std::memset(static_cast<void*>(task), 0, sizeof(*task));
  task->slice.ppsList = ds->ppsList;
  task->slice.cabacContexts = static_cast<CabacContext*>(aligned_zeroed(kCabacContextCount * sizeof(CabacContext)));
  task->nal = static_cast<NalUnit*>(aligned_zeroed(sizeof(NalUnit)));
  if (!task->slice.cabacContexts || !task->nal) return kStepNoMemory;
  // The payload buffer is only read up to what the parser wrote into it, so
  // it is not cleared: its pages are touched only by NAL units that need them.
  void* payload = nullptr;
  if (posix_memalign(&payload, 16, nal_payload_allocation(kNalPayloadBufferSize)) != 0) return kStepNoMemory;
  task->nal->payload = static_cast<uint8_t*>(payload);
  task->nal->capacity = kNalPayloadBufferSize & ~3u;
  return 0;
}

int32_t DeleteTask(DecodeTask* task) {
  std::free(task->slice.cabacContexts);
  task->slice.cabacContexts = nullptr;
  if (task->nal) std::free(task->nal->payload);
  std::free(task->nal);
  task->nal = nullptr;
  return 0;
}

void* WorkerThread(void* arg) {
  VideoDecoder* dec = static_cast<VideoDecoder*>(arg);
  DecoderState* ds = &dec->state;
  ThreadBuffer tb{};
  tb.decoderState = ds;
  bool idle = false;
  const uint32_t oneByOne = kOpenOnePicturePerCall | kOpenDecodeOrder;
  pthread_mutex_lock(&dec->lock);
  for (;;) {
    if (dec->quit) break;
    if (idle || dec->stopped) {
      // idleCount counts the workers waiting here: each takes itself off
      // when it wakes, whether the caller or a worker with new work woke it.
      if (++dec->idleCount == dec->threadCount) pthread_cond_signal(&dec->idleCond);
      pthread_cond_wait(&dec->workCond, &dec->lock);
      --dec->idleCount;
      idle = false;
      continue;
    }
    const bool stepwise = (dec->openFlags & oneByOne) == oneByOne;
    if (finish_job(dec)) continue;
    const bool oneWritten = (dec->openFlags & kOpenOnePicturePerCall) && (dec->status & kStatusPicture);
    DecodeTask* t = nullptr;
    // While a picture is written for the call, the call counts as answered.
    const bool answered = dec->resultPosted || dec->outputWriting;
    if (!answered) {
      // Output first: a frame step's repeat, then the next released picture.
      if (!oneWritten && dec->outputHeap.count > 0) {
        t = PopHeap(&dec->outputHeap);
      } else if (!oneWritten && output_released(dec)) {
        dec->stallRounds = 0;
        continue;
      }
      if (!t) {
        if (ds->parseBytesLeft != 0) {
          if (may_parse(dec, stepwise))
            t = PopHeap(&dec->parseHeap);
          else if (dec->workHeap.count > 0)
            t = PopHeap(&dec->workHeap);
        } else {
          bool goIdle = false;
          if (stepwise && !(dec->status & kStatusPicture)) {
            const bool outputReady = next_released(dec) != nullptr;
            if (dec->workHeap.count == 0 && !outputReady) {
              if (dec->idleCount == dec->threadCount - 1 && !ds->endOfStream)
                InformManager(kStatusNeedInput, dec);
              else if (!ds->endOfStream)
                goIdle = true;
            } else {
              dec->status |= kStatusNeedInput;
            }
          } else if (!ds->endOfStream) {
            InformManager(kStatusNeedInput, dec);
          }
          if (goIdle) {
            idle = true;
            continue;
          }
          if (dec->workHeap.count > 0) t = PopHeap(&dec->workHeap);
        }
      }
    } else {
      if (ds->parseBytesLeft != 0 && may_parse(dec, stepwise))
        t = PopHeap(&dec->parseHeap);
      else if (dec->workHeap.count > 0)
        t = PopHeap(&dec->workHeap);
    }

    if (!t) {
      const bool lastUnitPending = ds->endOfStream && dec->parseHeap.count > 0 &&
                                   dec->parseHeap.entries[0]->state == kTaskParsePartial && ds->copying &&
                                   !ds->wholeNalUnits;
      if (lastUnitPending && pool_has_room(ds)) {
        // The last NAL unit ends with the stream: it is complete now.
        ds->wholeNalUnits = 1;
        PushHeap(&dec->workHeap, PopHeap(&dec->parseHeap));
        continue;
      }
      const bool othersIdle = dec->idleCount == dec->threadCount - 1;
      if (ds->endOfStream && input_complete(ds)) {
        // Every byte is parsed: the last picture is closed, a last field
        // stays alone and every picture is released for output.
        close_lone_fields(dec);
        DecodedPicture* last = ds->currentPicture;
        if (last && last->setUp && !last->closed) {
          close_picture(last);
          dec->finishScan = 1;
          wake_for_limits(dec);
          continue;
        }
        if (release_first(dec)) continue;
      }
      if (!othersIdle || answered) {
        idle = true;  // the others may still bring work, or the caller comes back for what is queued
      } else if (ds->endOfStream && !lastUnitPending && dec->workHeap.count == 0 && dec->waitHeap.count == 0 &&
                 !next_released(dec) && input_complete(ds)) {
        if (dec->refusedDrain) {
          dec->refusedDrain = 0;
          post_error(dec, kStepUnsupported);
        } else if (!ds->startPicture && (dec->firstDrop || dec->suspect.reason || dec->declaredRefusal)) {
          nothing_decodable(dec);
        } else if (dec->refusedSetInUse) {
          // The stream went on with sets it really uses and this decoder
          // refuses: refused after every picture before them.
          refuse(ds, dec->refusedSetInUse);
          post_error(dec, kStepUnsupported);
        } else {
          InformManager(kStatusEndOfStream, dec);
        }
        dec->stopped = 1;
        idle = true;
      } else if (oneWritten) {
        // The picture of this call is written and nothing can move before
        // the caller takes it.
        InformManager(0, dec);
        idle = true;
      } else if (dec->waitHeap.count > 0 && dec->workHeap.count == 0 && dec->stallRounds < 2) {
        // Nothing runs: parked slices look again at what they wait for.
        ++dec->stallRounds;
        unpark_all(dec);
      } else if (ds->parseBytesLeft != 0 && dec->parseHeap.count > 0 && !pool_has_room(ds) && release_first(dec)) {
        // Parsing waits for a picture record that only output can free: the
        // first picture in output order goes out, as from a full buffer.
      } else if (ds->parseBytesLeft != 0 && dec->parseHeap.count > 0 && dec->workHeap.count == 0 &&
                 !(stepwise && (dec->status & kStatusNeedInput)) && pool_has_room(ds) &&
                 !flight_has_room(ds)) {
        // Nothing runs and the pictures in flight wait to be written behind
        // one whose units are still to be parsed: the cap on pictures in
        // flight gives way to the next unit.
        PushHeap(&dec->workHeap, PopHeap(&dec->parseHeap));
      } else if (ds->endOfStream) {
        // Nothing can ever move again: the last unit waits for a picture
        // record that output cannot free, or tasks wait for each other.
        post_error(dec, lastUnitPending ? kStepNoPictureBuffer : kStepStalled);
        idle = true;
      } else {
        idle = true;
      }
      continue;
    }
    // More work than this worker takes: a waiting worker joins.
    wake_worker(dec);
    const int32_t result = run_step(dec, &tb, t);
    if (result != kStepPark) dec->stallRounds = 0;
    file_task(dec, t, result);
    wake_worker(dec);
  }
  pthread_mutex_unlock(&dec->lock);
  return nullptr;
}
