// Output release: which pictures leave the decoded picture buffer for output
// and when, in an order that does not depend on the workers' timing, and
// their writing into the caller's buffer.
#include "engine_internal.h"

namespace {

// The other field of a field pair, and the key the pair is output under.
DecodedPicture* partner_of(DecodedPicture* p) { return p->structure == kFrame ? nullptr : p->pairedField; }

// Frames a picture's stream may reorder (pictures later in decode order that
// come earlier in output order) and frames its decoded picture buffer holds,
// as the sequence parameter set the picture uses asks (each IDR picture may
// activate another: a stream joined on may ask for a larger buffer than the
// one before it), never more than the pools hold. Without the stream's own
// figure the reorder depth is the whole buffer, except where output order is
// decode order.
void order_limits(const VideoDecoder* dec, const DecodedPicture* p, uint32_t* reorder, uint32_t* dpb) {
  const SequenceParameterSet* sps = p->sps;
  uint32_t frames = dec->dpbFrames;
  uint32_t depth = frames;
  if (sps) {
    frames = max_dpb_frames(sps->level_idc, sps->PicWidthInMbs * sps->FrameHeightInMbs);
    if (sps->bitstream_restriction_flag && sps->max_dec_frame_buffering != 0) frames = sps->max_dec_frame_buffering;
    if (frames < sps->num_ref_frames) frames = sps->num_ref_frames;
    if (frames > kMaxDpbFrames) frames = kMaxDpbFrames;
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
  // The references a picture in doubt ended are kept from reuse until the
  // next picture, but they hold no place in the buffer: the stream ended
  // them, unless that picture was no reference.
  const ReferenceInDoubt& doubt = decoder_of(ds)->doubt;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    const DecodedPicture* q = &ds->pictures[i];
    // Only what parsing decided counts (not whether output has happened yet),
    // so that the releases are the same however the workers' timing goes.
    if (!q->setUp) continue;
    const uint32_t halves = q->structure == kFrame ? 2 : 1;
    if (!q->released && !q->outputDone) {
      // A field out of place (perhaps sent again ahead of its own) does not
      // hold back the pictures in their places.
      if (!q->outOfPlace) *waiting += halves;
      *stored += halves;
    } else if (q->referenceMarking && !(doubt.picture && q->unmarkedBy == doubt.setUpOrder)) {
      *stored += halves;
    }
  }
}

}  // namespace

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
  // Without picture timing the keys are order counts on a base that rises
  // at every IDR picture and memory_management_control_operation 5 (a new
  // key epoch; pictures after such a picture may still have keys below
  // those before it, their counts being negative). Within one epoch a
  // picture below the highest key released came after that picture in
  // decode order though it goes before it: the stream's order is damaged
  // (pictures exchanged). It is left out rather than shown out of order.
  const bool late = first->hasPicTiming ? dec->releaseFloorSet && key < dec->releaseFloor
                                        : dec->releasedKeySet && first->keyEpoch == dec->releasedEpoch &&
                                              key < dec->releasedKey;
  if (late) {
    if (!first->hasPicTiming) ++dec->damage.picturesOutOfOrder;
    first->outputDone = 1;
    if (other) other->outputDone = 1;
    return true;
  }
  if (!dec->releaseFloorSet || key > dec->releaseFloor) dec->releaseFloor = key;
  dec->releaseFloorSet = 1;
  if (!first->hasPicTiming) {
    if (!dec->releasedKeySet || first->keyEpoch > dec->releasedEpoch ||
        (first->keyEpoch == dec->releasedEpoch && key > dec->releasedKey)) {
      dec->releasedKey = key;
      dec->releasedEpoch = first->keyEpoch;
    }
    dec->releasedKeySet = 1;
  }
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
  settle_read_holds(p);
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

namespace {

// Writes picture p (a frame, or a field with the other field of its frame)
// out under key; false when it is to be written again (frame doubling and
// tripling).
bool write_picture(VideoDecoder* dec, DecodedPicture* p, int32_t* key) {
  DecoderState* ds = &dec->state;
  DecodedPicture* q = partner_of(p);
  const DecodedPicture* top = (p->structure == kBottomField && q) ? q : p;
  ds->lastUserData = top->frameBuffer->userData;
  ds->lastOutputWidth = p->outputWidth;
  ds->lastOutputHeight = p->outputHeight;
  if (q) {
    const uint32_t st = q->frameBuffer->outputStatus > p->frameBuffer->outputStatus ? q->frameBuffer->outputStatus
                                                                                       : p->frameBuffer->outputStatus;
    p->frameBuffer->outputStatus = st;
    q->frameBuffer->outputStatus = st;
  }
  // The position moves on to just past the picture written: counts that step
  // by one per frame must not let it run ahead of the pictures to come.
  if (*key + 2 > ds->outputPosition) ds->outputPosition = *key + 2;
  // The copy into the caller's buffer runs without the instance lock, so
  // that the workers file their steps meanwhile: the picture stays bound
  // (it is not output yet), no other worker writes or answers the call until
  // it is over, and the caller waits for it.
  dec->outputWriting = 1;
  pthread_mutex_unlock(&dec->lock);
  write_out_picture(dec->outputBuffer, p, ds->outputFormat, p->structure == kFrame ? 1 : 0);
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
    else if (p->structure != kFrame) ++dec->damage.fieldsAlone;  // the other field's lines are grey
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

}  // namespace

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
  if (p->structure != kFrame && !q && !p->unpaired) return false;  // its second field may still come
  int32_t key = q && q->outputKey < p->outputKey ? q->outputKey : p->outputKey;
  if (write_picture(dec, p, &key)) {
    // Off the queue at once: the record may be reused as soon as it is free.
    dec->releaseHead = (dec->releaseHead + 1) % dec->state.pictureCount;
    --dec->releaseCount;
  }
  return true;
}

void mark_unpaired(VideoDecoder* dec, DecodedPicture* p) {
  (void)dec;
  p->unpaired = 1;
  const DecodedPicture* q = p->nextInDecodeOrder;
  p->partnerCame = q && q->setUp && q->structure != kFrame && q->structure != p->structure && q->frameNum == p->frameNum;
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
  // The buffer of the sequence in force bounds the references that pictures
  // in flight may hold besides it.
  dec->dpbFrames = dpb;
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
