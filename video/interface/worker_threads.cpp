// Worker threads: every worker picks the most urgent task under the instance
// lock, runs one step (the heavy ones with the lock released) and files the
// task by the step's result into one of four heaps.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "decoder_engine.h"
#include "deblock_edges.h"
#include "mb_record.h"
#include "reconstruction.h"

namespace {

bool goes_before(const DecodeTask* a, const DecodeTask* b) {
  return a->key < b->key || (a->key == b->key && a->state < b->state);
}

void InformManager(uint32_t bits, VideoDecoder* dec) {
  dec->status |= bits;
  dec->resultPosted = 1;
  pthread_cond_broadcast(&dec->doneCond);
}

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


// Moves every parked task back: finished pictures to the output heap, slices
// to the work heap (a slice whose references or range are not ready parks
// again).
void unpark_all(VideoDecoder* dec) {
  while (dec->waitHeap.count > 0) {
    DecodeTask* t = PopHeap(&dec->waitHeap);
    PushHeap(t->state == kTaskOutput ? &dec->outputHeap : &dec->workHeap, t);
  }
}

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

// At the end of the input a last field without its second field stays alone.
void close_last_field(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  DecodedPicture* p = ds->lastPicture;
  if (!input_complete(ds) || !p || !p->setUp || p->structure == 2 || p->pairedField || p->unpaired) return;
  mark_unpaired(dec, p);
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
bool take_slice(const DecoderState* ds, SliceDecodeContext* s) {
  DecodedPicture* p = s->picture;
  s->mbLimit = 0;
  s->limitPending = 0;
  s->claimed = 0;
  if (p->repeated) return false;  // the picture shows another one's planes
  if (s->slice_type != 2) choose_conceal_source(p, s->RefPicList0[0]);
  fill_outside_picture(ds, p);
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
void finish_picture(VideoDecoder* dec, DecodedPicture* p, uint32_t decodeFlags);
void picture_done(VideoDecoder* dec, DecodedPicture* p);
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
    finish_picture(dec, p, flags);
    pthread_mutex_lock(&dec->lock);
    picture_done(dec, p);
    return true;
  }
  dec->finishScan = 0;
  return false;
}

// ---- Progressive filtering: pictures are filtered and published row by
// row while they are reconstructed, so that pictures predicting from them
// can start on the rows that are final.

bool progressive(const VideoDecoder* dec) { return dec->stages == &kDecoderStages && dec->progress; }

PictureProgress* progress_of(VideoDecoder* dec, const DecodedPicture* p) {
  return &dec->progress[p - dec->state.pictures];
}

void publish_rows(VideoDecoder* dec, DecodedPicture* p, uint32_t rows) {
  const uint64_t v = static_cast<uint64_t>(p->setUpOrder) << 32 | rows;
  pthread_mutex_lock(&dec->progressLock);
  __atomic_store_n(&p->readyRows, v, __ATOMIC_RELEASE);
  if (dec->progressWaiters > 0) pthread_cond_broadcast(&dec->progressCond);
  pthread_mutex_unlock(&dec->progressLock);
}

// Readies a record's progress for the use it was set up for (under the
// instance lock, when its first slice is taken); false without memory or
// with a single worker, when the picture is filtered whole at its end as
// before.
bool start_progress(VideoDecoder* dec, DecodedPicture* p) {
  DecoderState* ds = &dec->state;
  if (dec->stages != &kDecoderStages || p->widthInMbs == 0 || p->mbCount == 0) return false;
  // A single worker never starts a picture before its references are
  // finished: nothing reads rows early, and the whole-picture filter at the
  // end costs less than row by row.
  if (dec->threadCount <= 1) return false;
  if (!dec->progress) {
    dec->progress = static_cast<PictureProgress*>(std::calloc(ds->pictureCount, sizeof(PictureProgress)));
    if (!dec->progress) return false;
  }
  PictureProgress* g = progress_of(dec, p);
  if (g->setUpOrder == p->setUpOrder) return true;
  const bool mbaff = p->structure == 2 && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t perRow = (mbaff ? 2 : 1) * p->widthInMbs;
  const uint32_t rows = p->mbCount / perRow;
  if (g->rowCapacity < rows) {
    std::free(g->rowMbs);
    g->rowMbs = static_cast<uint16_t*>(std::malloc(rows * sizeof(uint16_t)));
    g->rowCapacity = g->rowMbs ? rows : 0;
  }
  if (!g->pass) g->pass = new (std::nothrow) DeblockPass;
  if (!g->rowMbs || !g->pass) {
    g->setUpOrder = 0;
    return false;
  }
  std::memset(g->rowMbs, 0, rows * sizeof(uint16_t));
  g->setUpOrder = p->setUpOrder;
  g->rows = rows;
  g->perRow = perRow;
  g->rowsDone = g->rowsFiltered = g->rowsRefreshed = 0;
  g->mbaff = mbaff ? 1 : 0;
  g->filtering = 0;
  g->started = 0;
  g->noFilter = (dec->decodeFlags & kDecodeNoDeblocking) ? 1 : 0;
  g->reconStarted = 0;
  publish_rows(dec, p, 0);
  return true;
}

// Rows that may be filtered once `done` rows are reconstructed: a row waits
// for the one below it, whose intra prediction reads its unfiltered samples.
uint32_t filterable_rows(const PictureProgress* g, uint32_t done) {
  if (done >= g->rows) return g->rows;
  return done > 0 ? done - 1 : 0;
}

// Filters the rows that have become filterable, refreshes the margins of
// the rows whose lines are all final and publishes them. One worker at a
// time filters a picture; it looks again before it lets go, so rows that
// others completed meanwhile are not left behind.
void advance_filter(VideoDecoder* dec, DecodedPicture* p, PictureProgress* g) {
  pthread_mutex_lock(&dec->mbLock);
  if (g->filtering) {
    pthread_mutex_unlock(&dec->mbLock);
    return;
  }
  g->filtering = 1;
  for (;;) {
    const uint32_t target = g->noFilter ? g->rowsDone : filterable_rows(g, g->rowsDone);
    if (target <= g->rowsFiltered) break;
    pthread_mutex_unlock(&dec->mbLock);
    uint32_t finalRows = target;
    if (!g->noFilter) {
      if (!g->started) {
        deblock_pass_start(g->pass, p, g->mbaff != 0);
        g->started = 1;
      }
      if (g->mbaff)
        deblock_pass_run_mbaff(p, g->pass, target * g->perRow);
      else
        deblock_pass_run(p, g->pass, target * g->perRow);
      // A row's margins are refreshed once the row below it is filtered;
      // its lines are final once the row below is refreshed too.
      const uint32_t refreshTo = target == g->rows ? target : target - 1;
      if (g->mbaff)
        refresh_deblocked_rows_mbaff(p, g->rowsRefreshed, refreshTo);
      else
        refresh_deblocked_rows(p, g->rowsRefreshed, refreshTo);
      g->rowsRefreshed = refreshTo;
      finalRows = refreshTo == g->rows ? refreshTo : (refreshTo > 0 ? refreshTo - 1 : 0);
    }
    publish_rows(dec, p, g->mbaff ? 2 * finalRows : finalRows);
    pthread_mutex_lock(&dec->mbLock);
    g->rowsFiltered = target;
  }
  g->filtering = 0;
  pthread_mutex_unlock(&dec->mbLock);
}

// Counts `count` macroblocks of row `row` as reconstructed.
void count_row(VideoDecoder* dec, PictureProgress* g, uint32_t row, uint32_t count) {
  pthread_mutex_lock(&dec->mbLock);
  if (row < g->rows) {
    const uint32_t n = g->rowMbs[row] + count;
    g->rowMbs[row] = static_cast<uint16_t>(n < g->perRow ? n : g->perRow);
    while (g->rowsDone < g->rows && g->rowMbs[g->rowsDone] >= g->perRow) ++g->rowsDone;
  }
  pthread_mutex_unlock(&dec->mbLock);
}

// Macroblocks of the slice's run [first, end) that lie in row `row`.
uint32_t row_share(const PictureProgress* g, uint32_t row, uint32_t first, uint32_t end) {
  const uint32_t a = row * g->perRow > first ? row * g->perRow : first;
  const uint32_t b = (row + 1) * g->perRow < end ? (row + 1) * g->perRow : end;
  return b > a ? b - a : 0;
}

// The reconstruction drivers' report of a completed row of the slice.
void slice_row_done(ThreadBuffer* tb, uint32_t row) {
  keep_row_motion(tb, row);
  SliceDecodeContext* s = tb->slice;
  VideoDecoder* dec = s->decoder;
  DecodedPicture* p = s->picture;
  PictureProgress* g = progress_of(dec, p);
  if (g->setUpOrder != p->setUpOrder || row < s->rowsReported) return;
  count_row(dec, g, row, row_share(g, row, s->firstMbAddr, (row + 1) * g->perRow));
  s->rowsReported = row + 1;
  advance_filter(dec, p, g);
}

// After a slice's reconstruction: the rows of its run [first, end) that the
// drivers did not report (the last one, when the run ends inside it).
void slice_rows_end(VideoDecoder* dec, SliceDecodeContext* s, uint32_t first, uint32_t end) {
  DecodedPicture* p = s->picture;
  PictureProgress* g = progress_of(dec, p);
  if (g->setUpOrder != p->setUpOrder || end <= first) return;
  const uint32_t lastRow = (end - 1) / g->perRow;
  for (uint32_t row = s->rowsReported > first / g->perRow ? s->rowsReported : first / g->perRow; row <= lastRow; ++row)
    count_row(dec, g, row, row_share(g, row, first, end));
  s->rowsReported = lastRow + 1;
  advance_filter(dec, p, g);
}

// Whether every row of the picture `rows` asks for is final: a frame row
// by row, a field whole, with the other field of its frame when that was
// decoded before the slice's picture.
bool reference_ready(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows) {
  const uint32_t all = picture_rows(ref);
  if (ref->structure == 2) return ready_rows(ref) >= (rows < all ? rows : all);
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

bool references_decoded(const SliceDecodeContext* s, uint32_t lists) {
  for (uint32_t l = 0; l < lists; ++l) {
    const uint32_t n = (l == 0 ? s->num_ref_idx_l0_active_minus1 : s->num_ref_idx_l1_active_minus1) + 1u;
    DecodedPicture* const* list = l == 0 ? s->RefPicList0 : s->RefPicList1;
    for (uint32_t i = 0; i < n && i < kRefListSize; ++i) {
      const DecodedPicture* r = list[i];
      if (!r) continue;
      if (!r->decoded) return false;
      // A frame entry made of two fields needs both.
      if (!s->field_pic_flag && r->structure != 2 && r->pairedField && !r->pairedField->decoded) return false;
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
    s->colocatedLive[i] = c;
  }
}

void unpin_colocated(VideoDecoder* dec, SliceDecodeContext* s) {
  for (DecodedPicture*& c : s->colocatedLive) {
    if (!c) continue;
    if (--c->colocatedPins == 0 && c->decoded) release_records(&dec->state, c);
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
      if (r->structure != 2 || progress_of(dec, r)->setUpOrder != r->setUpOrder || !progress_of(dec, r)->reconStarted)
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

// Reconstructs the slice; true when it brought the picture's count of
// macroblocks still to reconstruct to 0 (the picture is complete).
bool Predict_Combine_Filter(VideoDecoder* dec, ThreadBuffer* tb, DecodeTask* t, bool rows) {
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
  if (p->mbWritten && written) std::memset(p->mbWritten + first, 1, written);
  if (rows) slice_rows_end(dec, s, first, first + written);
  pthread_mutex_lock(&dec->mbLock);
  const uint32_t before = p->mbsLeft;
  p->mbsLeft = before > n ? before - n : 0;
  pthread_mutex_unlock(&dec->mbLock);
  return before <= n;
}

// A concealed macroblock: intra without residual, so that direct prediction
// of later pictures finds no motion in it; each run of them is one
// unfiltered slice for the deblocking walk. Nothing of a record used before
// survives, so the picture is the same whichever record array it got.
void conceal_record(MacroblockRecord* mb, uint32_t addr, uint8_t structure, uint8_t qp) {
  std::memset(static_cast<void*>(mb), 0, offsetof(MacroblockRecord, luma_coeff));
  mb->mb_type = MbI_16x16_First;
  mb->qp_y = qp;
  mb->qp_cb = static_cast<int8_t>(qp);
  mb->qp_cr = static_cast<int8_t>(qp);
  std::memset(mb->intra_pred_mode, 2, sizeof(mb->intra_pred_mode));
  mb->luma_nonzero_mask = 0;
  mb->luma_dc_nonzero = 0;
  mb->chroma_nonzero_mask = 0;
  mb->chroma_ac_cbf_mask = 0;
  std::memset(mb->ref_idx_l0, -1, sizeof(mb->ref_idx_l0));
  std::memset(mb->ref_idx_l1, -1, sizeof(mb->ref_idx_l1));
  std::memset(mb->ref_pic_l0, 0, sizeof(mb->ref_pic_l0));
  std::memset(mb->ref_pic_l1, 0, sizeof(mb->ref_pic_l1));
  std::memset(mb->sub_mb_type, 0, sizeof(mb->sub_mb_type));
  std::memset(mb->pred_flag_l0, 0, sizeof(mb->pred_flag_l0));
  std::memset(mb->pred_flag_l1, 0, sizeof(mb->pred_flag_l1));
  std::memset(mb->mv_l0, 0, sizeof(mb->mv_l0));
  std::memset(mb->mv_l1, 0, sizeof(mb->mv_l1));
  std::memset(mb->mvd_l0, 0, sizeof(mb->mvd_l0));
  std::memset(mb->mvd_l1, 0, sizeof(mb->mvd_l1));
  std::memset(mb->ref_id_l0, 0, sizeof(mb->ref_id_l0));
  std::memset(mb->ref_id_l1, 0, sizeof(mb->ref_id_l1));
  mb->mb_structure = structure;
  mb->mb_addr = addr;
  mb->slice_first_flag = 0;
  mb->deblock_idc = 1;
  mb->slice_mb_count = 0;
  mb->slice = nullptr;
}

// Macroblocks of a picture that no slice reconstructed (a slice lost, or
// given up) and that no earlier picture could stand in for become mid-grey,
// margins included, with concealed records, so that the picture and those
// predicted from it are the same on every run.
void conceal_unwritten(DecodedPicture* p) {
  const uint32_t w = p->widthInMbs;
  if (!p->mbWritten || w == 0 || !p->frameBuffer) return;
  uint8_t* const luma = picture_luma(p);
  uint8_t* const cb = picture_cb(p);
  uint8_t* const crp = picture_cr(p);
  // In a frame with frame/field macroblock pairs both of a pair are filled.
  const bool pairs = p->structure == 2 && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t unit = pairs ? 2 : 1;
  for (uint32_t a = 0; a + unit <= p->mbCount; a += unit) {
    if (p->mbWritten[a] && p->mbWritten[a + unit - 1]) continue;
    const uint32_t cell = a / unit;
    const uint32_t col = cell % w;
    const uint32_t rows = 16 * unit;
    const uint32_t y0 = (cell / w) * rows;
    // Columns to fill: the macroblock, and the margin beside it at a picture edge.
    const int32_t left = col == 0 ? -32 : static_cast<int32_t>(col * 16);
    const int32_t right = col + 1 == w ? static_cast<int32_t>(w * 16 + 32) : static_cast<int32_t>(col * 16 + 16);
    for (uint32_t y = y0; y < y0 + rows && y < p->lumaHeight; ++y)
      std::memset(luma + static_cast<size_t>(y) * p->lumaPitch + left, 128, static_cast<size_t>(right - left));
    for (uint32_t y = y0 / 2; y < (y0 + rows) / 2 && y < p->chromaHeight; ++y) {
      const int32_t cl = left < 0 ? -8 : left / 2;
      const int32_t cr = col + 1 == w ? static_cast<int32_t>(w * 8 + 8) : right / 2;
      std::memset(cb + static_cast<size_t>(y) * p->chromaPitch + cl, 128, static_cast<size_t>(cr - cl));
      std::memset(crp + static_cast<size_t>(y) * p->chromaPitch + cl, 128, static_cast<size_t>(cr - cl));
    }
    for (uint32_t k = 0; k < unit; ++k) p->mbWritten[a + k] = 1;
  }
}

// Marks the concealed macroblocks' records: each run is a slice the
// deblocking walk passes over.
void conceal_records(DecodedPicture* p, const uint8_t* wasWritten) {
  const bool pairs = p->structure == 2 && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t unit = pairs ? 2 : 1;
  const uint8_t qp = 26;
  MacroblockRecord* runStart = nullptr;
  for (uint32_t a = 0; a + unit <= p->mbCount; a += unit) {
    if (wasWritten[a] && wasWritten[a + unit - 1]) {
      runStart = nullptr;
      continue;
    }
    for (uint32_t k = 0; k < unit; ++k)
      conceal_record(&p->macroblocks[a + k], a + k, pairs ? 2 : p->structure, qp);
    if (!runStart) {
      runStart = &p->macroblocks[a];
      runStart->slice_first_flag = 1;
    }
    runStart->slice_mb_count += unit;
  }
}

// Conceals what no slice brought and deblocks the picture; runs without the
// instance lock, once per picture, after every slice of it is over.
void finish_picture(VideoDecoder* dec, DecodedPicture* p, uint32_t decodeFlags) {
  const DecoderStages* stages = dec->stages;
  PictureProgress* g = dec->progress && progress_of(dec, p)->setUpOrder == p->setUpOrder ? progress_of(dec, p) : nullptr;
  if (g) {
    // Every slice is over; a worker still filtering rows lets go first.
    pthread_mutex_lock(&dec->mbLock);
    while (g->filtering) {
      pthread_mutex_unlock(&dec->mbLock);
      sched_yield();
      pthread_mutex_lock(&dec->mbLock);
    }
    g->filtering = 1;
    pthread_mutex_unlock(&dec->mbLock);
  }
  if (p->mbsLeft != 0 && p->mbWritten) {
    // Which macroblocks were concealed: the copy from the reference and the
    // grey fill where there is none mark them written.
    uint8_t* before = p->mbFlags;  // reused: the slice ranges are settled
    for (uint32_t a = 0; a < p->mbCount; ++a) before[a] = p->mbWritten[a];
    conceal_from_reference(p, p->concealFrom, before, p->mbWritten);
    conceal_unwritten(p);
    if (p->macroblocks) conceal_records(p, before);
    keep_concealed_motion(p, before);
    p->damaged = 1;
  }
  if ((decodeFlags & kDecodeNoDeblocking) || (g && g->noFilter) || !p->macroblocks) return;
  const bool mbaff = p->structure == 2 && p->sps && p->sps->mb_adaptive_frame_field_flag;
  if (g && g->started) {
    // Rows filtered while the picture was reconstructed stay as they are:
    // the pass goes on from where it stopped.
    if (mbaff) {
      deblock_pass_run_mbaff(p, g->pass, p->mbCount);
      refresh_deblocked_rows_mbaff(p, g->rowsRefreshed, g->rows);
    } else {
      deblock_pass_run(p, g->pass, p->mbCount);
      refresh_deblocked_rows(p, g->rowsRefreshed, g->rows);
    }
    g->rowsRefreshed = g->rows;
    return;
  }
  if (mbaff)
    stages->deblockMbaff(p);
  else
    stages->deblock(p);
}

// The other field of a field pair, and the key the pair is output under.
DecodedPicture* partner_of(DecodedPicture* p) { return p->structure == 2 ? nullptr : p->pairedField; }

// Frames a picture's stream may reorder (pictures later in decode order that
// come earlier in output order) and frames its decoded picture buffer holds,
// never more than the pools were sized for. Without the stream's own figure
// the reorder depth is the whole buffer, except where output order is decode
// order.
void order_limits(const VideoDecoder* dec, const DecodedPicture* p, uint32_t* reorder, uint32_t* dpb) {
  const SequenceParameterSet* sps = p->sps;
  uint32_t frames = dec->dpbFrames;
  uint32_t depth = frames;
  if (sps) {
    uint32_t own = max_dpb_frames(sps->level_idc, sps->PicWidthInMbs * sps->FrameHeightInMbs);
    if (sps->bitstream_restriction_flag && sps->max_dec_frame_buffering != 0) own = sps->max_dec_frame_buffering;
    if (own < sps->num_ref_frames) own = sps->num_ref_frames;
    if (own < frames) frames = own;
    depth = frames;
    if (sps->bitstream_restriction_flag)
      depth = sps->num_reorder_frames < frames ? sps->num_reorder_frames : frames;
    else if (sps->pic_order_cnt_type == 2)
      depth = 0;
  }
  if (dec->state.decodeOrderOutput) depth = 0;
  *reorder = depth;
  *dpb = frames;
}

// Pictures waiting for output and pictures held in the decoded picture
// buffer (waiting, or references), in fields (2 per frame).
void count_buffered(const DecoderState* ds, uint32_t* waiting, uint32_t* stored) {
  *waiting = *stored = 0;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    const DecodedPicture* q = &ds->pictures[i];
    // Only what parsing decided counts (not whether output has happened yet),
    // so that the releases are the same however the workers' timing goes.
    if (!q->setUp) continue;
    const uint32_t halves = q->structure == 2 ? 2 : 1;
    if (!q->released && !q->outputDone) {
      *waiting += halves;
      *stored += halves;
    } else if (q->referenceMarking) {
      *stored += halves;
    }
  }
}

// Releases for output the waiting picture that comes first in output order
// (ties: the first decoded), with the other field of its frame; false when
// none waits. Releases happen in stream order only, so the output order is
// the same however the workers' timing goes. A picture with picture timing
// due before one already released (or before output started) is too late
// and is not output.
bool release_first(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  DecodedPicture* first = nullptr;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* q = &ds->pictures[i];
    if (!q->setUp || q->released || q->outputDone) continue;
    if (!first || q->outputKey < first->outputKey ||
        (q->outputKey == first->outputKey && q->setUpOrder < first->setUpOrder))
      first = q;
  }
  if (!first) return false;
  DecodedPicture* other = partner_of(first);
  first->released = first->queued = 1;
  if (other) other->released = other->queued = 1;
  const int32_t key = other && other->outputKey < first->outputKey ? other->outputKey : first->outputKey;
  if (first->hasPicTiming && dec->releaseFloorSet && key < dec->releaseFloor) {
    first->outputDone = 1;
    if (other) other->outputDone = 1;
    return true;
  }
  if (!dec->releaseFloorSet || key > dec->releaseFloor) dec->releaseFloor = key;
  dec->releaseFloorSet = 1;
  const uint32_t cap = ds->pictureCount;
  dec->releaseQueue[(dec->releaseHead + dec->releaseCount) % cap] = first;
  ++dec->releaseCount;
  return true;
}

// The next picture released for output, or null.
DecodedPicture* next_released(VideoDecoder* dec) {
  while (dec->releaseCount > 0) {
    DecodedPicture* p = dec->releaseQueue[dec->releaseHead];
    if (!p->outputDone) return p;
    dec->releaseHead = (dec->releaseHead + 1) % dec->state.pictureCount;
    --dec->releaseCount;
  }
  return nullptr;
}

void picture_done(VideoDecoder* dec, DecodedPicture* p) {
  p->decoded = 1;
  drop_conceal_source(p);
  dec->finishScan = 1;  // pictures that conceal from it may be finished now
  publish_rows(dec, p, picture_rows(p));
  // Slices that started before it was finished may still read its records.
  if (p->colocatedPins == 0) release_records(&dec->state, p);
  FrameBuffer* fb = p->frameBuffer;
  if (fb->outputStatus < 1) fb->outputStatus = 1;
  // Slices parked for this picture (also one that was unmarked by the very
  // picture that reads it) may run now.
  if (dec->waitHeap.count > 0) unpark_all(dec);
}

// Writes picture p (a frame, or a field with the other field of its frame)
// out under key; false when it is to be written again (frame doubling and
// tripling).
bool write_picture(VideoDecoder* dec, DecodedPicture* p, int32_t* key) {
  DecoderState* ds = &dec->state;
  DecodedPicture* q = partner_of(p);
  const DecodedPicture* top = (p->structure == 1 && q) ? q : p;
  ds->lastUserData = top->frameBuffer->userData;
  if (q) {
    const uint32_t st = q->frameBuffer->outputStatus > p->frameBuffer->outputStatus ? q->frameBuffer->outputStatus
                                                                                       : p->frameBuffer->outputStatus;
    p->frameBuffer->outputStatus = st;
    q->frameBuffer->outputStatus = st;
  }
  // The position moves on to just past the picture written: counts that step
  // by one per frame must not let it run ahead of the pictures to come.
  if (*key + 2 > ds->outputPosition) ds->outputPosition = *key + 2;
  dec->lastOutputKey = *key;
  // The copy into the caller's buffer runs without the instance lock, so
  // that the workers file their steps meanwhile: the picture stays bound
  // (it is not output yet), no other worker writes or answers the call until
  // it is over, and the caller waits for it.
  dec->outputWriting = 1;
  pthread_mutex_unlock(&dec->lock);
  write_out_picture(dec->outputBuffer, p, ds->outputFormat, p->structure == 2 ? 1 : 0);
  pthread_mutex_lock(&dec->lock);
  dec->outputWriting = 0;
  bool done = true;
  if (p->outputTicks > 2) {
    p->outputTicks = static_cast<uint8_t>(p->outputTicks - 2);
    p->outputKey = p->releaseKey = *key = ds->outputPosition;
    done = false;
  } else {
    p->outputDone = 1;
    if (q) q->outputDone = 1;
    DecodedPicture* last = p;
    if (q && q->prevInOutputOrder == p) last = q;
    if (!ds->nextOutputPicture || ds->nextOutputPicture == p || ds->nextOutputPicture == q)
      ds->nextOutputPicture = last->nextInOutputOrder;
    // Released once output, unless still a reference.
    if (p->releaseKey > *key) p->releaseKey = *key;
    if (q && q->releaseKey > *key) q->releaseKey = *key;
  }
  uint32_t bits = kStatusPicture;
  if (p->frameBuffer->outputStatus == 2) bits |= kStatusLeading;
  if (dec->afterSeek) bits |= kStatusAfterSeek;
  if ((dec->openFlags & kOpenOnePicturePerCall) && !(dec->status & kStatusNeedInput)) {
    dec->status |= bits;
  } else {
    InformManager(bits, dec);
  }
  return done;
}

// Output of a task that carries its picture (a frame step's repeat).
int32_t output_picture(VideoDecoder* dec, DecodeTask* t) {
  return write_picture(dec, t->slice.picture, &t->key) ? kStepConsumed : kStepToOutput;
}

// Writes the next released picture once it is finished (a field once its
// frame's other field is, or once it is known to stay alone); false when
// there is none to write yet.
bool output_released(VideoDecoder* dec) {
  if (dec->outputWriting) return false;
  DecodedPicture* p = next_released(dec);
  if (!p) return false;
  DecodedPicture* q = partner_of(p);
  if (!p->decoded || (q && !q->decoded)) return false;
  if (p->structure != 2 && !q && !p->unpaired) return false;  // its second field may still come
  int32_t key = q && q->outputKey < p->outputKey ? q->outputKey : p->outputKey;
  if (write_picture(dec, p, &key)) {
    // Off the queue at once: the record may be reused as soon as it is free.
    dec->releaseHead = (dec->releaseHead + 1) % dec->state.pictureCount;
    --dec->releaseCount;
  }
  return true;
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
  const bool skipB = (flags & kDecodeSkipB) && s->slice_type == 1;
  const bool skipNonRef = (flags & kDecodeSkipNonReference) && t->nal->nal_ref_idc == 0;
  if (*result != 0 || ds->leadingSkipCount != 0 || !(skipB || skipNonRef)) return false;
  if (t->nal->nal_unit_type != 1 && t->nal->nal_unit_type != 5) return false;
  DecodedPicture* cur = ds->currentPicture;
  if (s->first_mb_in_slice != 0) return false;
  for (DecodedPicture* q = cur->prevInOutputOrder; q; q = q->prevInOutputOrder) {
    if (q->structure != cur->structure) continue;
    const bool fits = (flags & kDecodeSkipNonReference) ? q->lastNalType != 0 : q->sliceType != 1;
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
  if (parsed == kAnnexBPending) {
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
    if (!take_slice(ds, &t->slice))
      result = kStepConsumed;  // repeats a slice of the picture: dropped
    else if (t->slice.picture && t->slice.picture->setUp)
      start_progress(dec, t->slice.picture);
  }
  dec->finishScan = 1;  // a new access unit may have closed the picture before
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
      if (!lend_records(ds, p)) return kStepNoMemory;
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
      const uint32_t decoded = r == 0 && s->firstMb ? s->firstMb->slice_mb_count : 0;
      release_claim(dec, s, decoded);
      if (r == 0) {
        t->state = state + 2;
        return 0;
      }
      // The slice is given up; its macroblocks are concealed when the
      // picture is finished.
      p->damaged = 1;
      ++dec->slicesDropped;
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
      if (overlapping) pin_colocated(s, lists);
      pthread_mutex_unlock(&dec->lock);
      const bool complete = Predict_Combine_Filter(dec, tb, t, rows);
      pthread_mutex_lock(&dec->lock);
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
      finish_picture(dec, p, flags);
      pthread_mutex_lock(&dec->lock);
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

void reset_progress(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  for (uint32_t i = 0; ds->pictures && i < ds->pictureCount; ++i) {
    __atomic_store_n(&ds->pictures[i].readyRows, 0, __ATOMIC_RELEASE);
    if (dec->progress) dec->progress[i].setUpOrder = 0;
  }
}

void free_progress(VideoDecoder* dec) {
  if (!dec->progress) return;
  for (uint32_t i = 0; i < dec->state.pictureCount; ++i) {
    std::free(dec->progress[i].rowMbs);
    delete dec->progress[i].pass;
  }
  std::free(dec->progress);
  dec->progress = nullptr;
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
    clock_gettime(CLOCK_REALTIME, &ts);
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

void mark_unpaired(VideoDecoder* dec, DecodedPicture* p) {
  (void)dec;
  p->unpaired = 1;
}

void release_for_output(VideoDecoder* dec, DecodedPicture* p) {
  DecodedPicture* q = partner_of(p);
  if (q && q->released) {
    // The second field goes with its first.
    p->released = p->queued = 1;
    p->outputDone = q->outputDone;
    return;
  }
  uint32_t reorder;
  uint32_t dpb;
  order_limits(dec, p, &reorder, &dpb);
  for (;;) {
    uint32_t waiting;
    uint32_t stored;
    count_buffered(&dec->state, &waiting, &stored);
    if (waiting <= 2 * reorder && stored <= 2 * dpb) break;
    if (!release_first(dec)) break;
  }
}

void withdraw_release(VideoDecoder* dec, DecodedPicture* p) {
  const uint32_t cap = dec->state.pictureCount;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < dec->releaseCount; ++i) {
    DecodedPicture* q = dec->releaseQueue[(dec->releaseHead + i) % cap];
    if (q != p) dec->releaseQueue[(dec->releaseHead + kept++) % cap] = q;
  }
  dec->releaseCount = kept;
  p->released = p->queued = 0;
}

void release_before(VideoDecoder* dec, DecodedPicture* p) {
  DecoderState* ds = &dec->state;
  for (;;) {
    bool earlier = false;
    for (uint32_t i = 0; i < ds->pictureCount && !earlier; ++i) {
      const DecodedPicture* q = &ds->pictures[i];
      earlier = q != p && q != p->pairedField && q->setUp && !q->released && !q->outputDone;
    }
    if (!earlier || !release_first(dec)) return;
  }
}

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
  ThreadBuffer tb;
  std::memset(&tb, 0, sizeof(tb));
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
        close_last_field(dec);
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
        // Nothing can ever move again.
        post_error(dec, ds->endOfStream && lastUnitPending ? kStepNoMemory : kStepFailed);
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
