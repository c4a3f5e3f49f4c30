// Access units: the picture-record and frame-buffer pools, the opening of the
// next access unit and the withdrawal of one whose first slice is unusable.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "decoder_engine.h"
#include "mb_record.h"

namespace {

// The lowest free block of the pool (allocated on first use), or null.
void* take_block(BlockPool* pool) {
  for (uint32_t i = 0; i < pool->slots; ++i) {
    if (pool->taken[i]) continue;
    if (!pool->blocks[i]) pool->blocks[i] = aligned_zeroed(pool->bytes);
    if (!pool->blocks[i]) return nullptr;
    pool->taken[i] = 1;
    ++pool->inUse;
    return pool->blocks[i];
  }
  return nullptr;
}

void give_block(BlockPool* pool, const void* block) {
  for (uint32_t i = 0; i < pool->slots; ++i) {
    if (pool->blocks[i] != block || !pool->taken[i]) continue;
    pool->taken[i] = 0;
    --pool->inUse;
  }
}

void release_colocated(DecoderState* ds, DecodedPicture* p) {
  if (!p->colocated) return;
  give_block(&decoder_of(ds)->motionPool, p->colocated);
  p->colocated = nullptr;
}

void init_picture(DecoderState* ds, DecodedPicture* p, uint32_t index) {
  p->outputTicks = 2;
  p->decodeKey = static_cast<int32_t>(index);
  p->outputKey = static_cast<int32_t>(index);
  p->releaseKey = static_cast<int32_t>(index);
  p->decoded = 0;
  p->firstRefKnown = 0;
  p->hasPicTiming = 0;
  p->chroma_format_idc = p->sps ? p->sps->chroma_format_idc : 0;
  p->sliceType = kSliceTypeP;
  p->accessUnitIndex = index;
  p->mbsLeft = 0;
  p->setUp = 0;
  p->damaged = 0;
  p->refsMissing = 0;
  p->predicted = 0;
  p->partnerCame = 0;
  p->idr = 0;
  p->mmco5 = 0;
  // The other field of the frame this record held (still a reference, or
  // still read) is a field without a pair from now on.
  if (p->pairedField && p->pairedField->pairedField == p) p->pairedField->pairedField = nullptr;
  p->pairedField = nullptr;
  p->unmarkedBy = 0;
  p->slicesActive = 0;
  p->openSlice = nullptr;
  p->closed = 0;
  p->finishing = 0;
  p->limitFixed = 0;
  p->outputDone = 0;
  p->unpaired = 0;
  p->secondField = 0;
  p->outOfPlace = 0;
  p->queued = 0;
  p->released = 0;
  p->users = 0;
  p->repeated = 0;
  p->markingBefore = 0;
  drop_conceal_source(p);
  p->outsideFilled = 0;
  p->keyEpoch = 0;
  p->sentAhead = nullptr;
  settle_read_holds(p);  // a free record holds nothing: the set is empty from here on
  if (p->refsRead) std::memset(p->refsRead, 0, ref_set_words(p->poolSize) * sizeof(uint64_t));
  (void)ds;
}

void init_frame_buffer(FrameBuffer* fb, uint32_t index) {
  fb->outputTicks = 2;
  fb->structure = kTopField;
  fb->key = index;
  fb->outputStatus = 0;
  fb->storage = nullptr;
  std::memset(fb->userData.packs, 0, sizeof(fb->userData.packs));
}

// Planes about to be reused no longer hold the second fields that were
// written into them: those descriptors can no longer be shown again.
void release_borrowers(DecoderState* ds, const FrameBuffer* planes) {
  for (uint32_t i = 0; i < ds->frameBufferCount; ++i) {
    FrameBuffer* f = &ds->frameBuffers[i];
    if (f == planes || f->storage != planes) continue;
    f->storage = nullptr;
    f->outputStatus = 0;
  }
}

void unlink_both(DecodedPicture* p) {
  if (p->prevInDecodeOrder) p->prevInDecodeOrder->nextInDecodeOrder = p->nextInDecodeOrder;
  if (p->nextInDecodeOrder) p->nextInDecodeOrder->prevInDecodeOrder = p->prevInDecodeOrder;
  if (p->prevInOutputOrder) p->prevInOutputOrder->nextInOutputOrder = p->nextInOutputOrder;
  if (p->nextInOutputOrder) p->nextInOutputOrder->prevInOutputOrder = p->prevInOutputOrder;
  p->prevInDecodeOrder = p->nextInDecodeOrder = nullptr;
  p->prevInOutputOrder = p->nextInOutputOrder = nullptr;
}

// The lowest free picture record and the lowest frame buffer that no unfree
// record holds; false when either pool is exhausted. Nothing is changed.
bool find_free_slot(const DecoderState* ds, DecodedPicture** picOut, FrameBuffer** fbOut) {
  const uint32_t n = ds->pictureCount;
  DecodedPicture* pic = nullptr;
  for (uint32_t i = 0; i < n && !pic; ++i) {
    DecodedPicture* p = &ds->pictures[i];
    if (picture_free(ds, p)) pic = p;
  }
  *picOut = pic;
  *fbOut = nullptr;
  if (!pic) return false;
  // Frame buffers bound to records that are not free stay bound.
  const uint32_t m = ds->frameBufferCount;
  uint8_t inUse[512];
  uint8_t* busy = inUse;
  uint8_t* heap = nullptr;
  if (m > sizeof(inUse)) busy = heap = new uint8_t[m];
  std::memset(busy, 0, m);
  for (uint32_t i = 0; i < n; ++i) {
    const DecodedPicture* p = &ds->pictures[i];
    // A record kept only because other pictures' motion names it keeps no
    // samples: nothing reads them.
    if (p == pic || contents_free(ds, p) || !p->frameBuffer) continue;
    busy[p->frameBuffer - ds->frameBuffers] = 1;
    busy[planes_of(p->frameBuffer) - ds->frameBuffers] = 1;
  }
  // A buffer once used stays until output has passed its picture (a seek
  // may show it again). Keys are compared as the signed output keys they
  // hold: a picture ordered before the first one output (a negative order
  // count) is passed too, not kept for ever as a huge unsigned key.
  const int64_t position = ds->outputPosition;
  auto end_of = [](const FrameBuffer* f) { return static_cast<int64_t>(f->key) + f->outputTicks; };
  for (uint32_t k = 0; k < m && !*fbOut; ++k) {
    FrameBuffer* f = &ds->frameBuffers[k];
    if (!busy[k] && (!f->used || end_of(f) < position)) *fbOut = f;
  }
  // Pictures of a damaged stream may share one key, which output never
  // passes: then a buffer whose picture was the last one written is taken.
  for (uint32_t k = 0; k < m && !*fbOut; ++k) {
    FrameBuffer* f = &ds->frameBuffers[k];
    if (!busy[k] && end_of(f) <= position) *fbOut = f;
  }
  delete[] heap;
  return *fbOut != nullptr;
}

}  // namespace

void fix_slice_limit(DecodedPicture* p) {
  SliceDecodeContext* s = p->openSlice;
  if (!s) return;
  p->openSlice = nullptr;
  const uint32_t first = s->firstMbAddr;
  uint32_t end = first + 1;
  while (end < p->mbCount && !(p->mbFlags[end] & kMbSliceStart)) ++end;
  for (uint32_t a = first; a < end; ++a) {
    p->mbFlags[a] |= kMbMayWrite;
    ++p->mbClaims[a];
  }
  s->mbLimit = end;
  s->limitPending = 0;
  s->claimed = 1;
  p->limitFixed = 1;  // the slice's task may be parked waiting for it
}

void fill_unwritten_planes(const DecoderState* ds, DecodedPicture* p) {
  if (p->outsideFilled || !p->frameBuffer) return;
  p->outsideFilled = 1;
  const uint32_t field = p->structure == kFrame ? 0 : 1;
  const uint32_t width = 16 * p->widthInMbs;
  const uint32_t bufferWidth = ds->lumaPitch - 64u;
  const uint32_t bufferHeight = ds->lumaHeight >> field;
  const bool monochrome = p->chroma_format_idc == 0;
  if (!monochrome && width >= bufferWidth && p->lumaHeight >= bufferHeight) return;
  // Beyond the picture's own samples and the margin right of them, on the
  // picture's own lines (a field's only: the other field may be at work);
  // every chroma line of a monochrome picture, margins included.
  struct Area {
    uint8_t* plane;
    uint32_t pitch, from, to, height, rows, margin;
  };
  const uint32_t chromaHeight = monochrome ? 0u : p->chromaHeight;
  const Area areas[3] = {
      {picture_luma(p), p->lumaPitch, width, bufferWidth, p->lumaHeight, bufferHeight, 32},
      {picture_cb(p), p->chromaPitch, width / 2, bufferWidth / 2, chromaHeight, bufferHeight / 2, 8},
      {picture_cr(p), p->chromaPitch, width / 2, bufferWidth / 2, chromaHeight, bufferHeight / 2, 8}};
  for (const Area& a : areas) {
    for (uint32_t y = 0; y < a.rows; ++y) {
      uint8_t* line = a.plane + static_cast<size_t>(y) * a.pitch;
      if (y >= a.height)
        std::memset(line - a.margin, 128, a.to + 2 * a.margin);
      else if (a.from < a.to)
        std::memset(line + a.from + a.margin, 128, a.to - a.from);
    }
  }
}

void choose_conceal_source(DecodedPicture* p, DecodedPicture* firstRef) {
  if (firstRef && !p->firstRefKnown) {
    p->firstRefOrderCount = frame_order_count(firstRef);
    p->firstRefKnown = 1;
  }
  if (p->concealFrom) return;
  DecodedPicture* from = firstRef;
  // Only a picture still marked as reference: it cannot have been reused,
  // whatever output has freed meanwhile, so the choice is the same on
  // every run.
  for (DecodedPicture* q = p->prevInDecodeOrder; !from && q; q = q->prevInDecodeOrder)
    if (q->setUp && q->referenceMarking != 0) from = q;
  if (!from || from == p) return;
  p->concealFrom = from;
  ++from->users;
  settle_read_holds(from);
  // Concealment compares the motion it copies with the source's frame, and
  // the motion kept for direct prediction may name the source.
  note_read(p, from);
  note_read(p, from->pairedField);
}

void drop_conceal_source(DecodedPicture* p) {
  DecodedPicture* from = p->concealFrom;
  if (!from) return;
  --from->users;
  p->concealFrom = nullptr;
  settle_read_holds(from);
}

void close_picture(DecodedPicture* p) {
  fix_slice_limit(p);
  choose_conceal_source(p, nullptr);
  if (!p->closed) p->closed = 1;
}

bool pool_has_room(const DecoderState* ds) {
  DecodedPicture* pic;
  FrameBuffer* fb;
  return find_free_slot(ds, &pic, &fb);
}

bool flight_has_room(const DecoderState* ds) {
  const VideoDecoder* dec = decoder_of(ds);
  uint32_t inFlight = 0;
  uint32_t kept = 0, held = 0;  // in fields (2 per frame)
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    const DecodedPicture* p = &ds->pictures[i];
    if (p == ds->currentPicture) continue;
    // A finished picture whose records slices that started before its end
    // still read keeps them: it counts until they let go.
    if (p->colocatedPins != 0) {
      ++inFlight;
      continue;
    }
    const uint32_t halves = p->structure == kFrame ? 2 : 1;
    const bool gone = !p->setUp || p->outputDone;
    if (gone && p->referenceMarking == 0) {
      // No longer kept by the stream, but read as a reference by slices
      // still in flight.
      if (p->users != 0) held += halves;
      continue;
    }
    // The references the picture in doubt ended hold no place (see
    // count_buffered).
    const bool heldInDoubt = dec->doubt.picture && p->unmarkedBy == dec->doubt.setUpOrder;
    if ((p->referenceMarking && !heldInDoubt) || !p->released) kept += halves;
    if (gone) continue;
    const bool writable = p->released && (p->structure == kFrame || p->pairedField || p->unpaired);
    if (!p->decoded || writable) ++inFlight;
  }
  // References held for slices in flight take the buffer's room the stream
  // leaves free; beyond it they count in flight, or a slow picture would let
  // every picture set up meanwhile take new planes.
  const uint32_t room = 2 * dec->dpbFrames;
  if (kept + held > room) inFlight += (kept + held - room + 1) / 2;
  return inFlight < dec->flightLimit;
}

bool picture_free(const DecoderState* ds, const DecodedPicture* p) {
  return p->readBy == 0 && contents_free(ds, p);
}

bool contents_free(const DecoderState* ds, const DecodedPicture* p) {
  // A picture given up for output is still finished first: a worker may be
  // concealing or deblocking it.
  return p->referenceMarking == 0 && p->users == 0 && p->colocatedPins == 0 && p != ds->lastPicture &&
         !(p->setUp && !p->decoded) && (p->outputDone || (!p->setUp && !p->queued));
}

int32_t SetAvailableAccessUnit(DecoderState* ds) {
  SequenceParameterSet* sps = ds->currentPicture ? ds->currentPicture->sps : nullptr;
  const uint32_t c = ++ds->accessUnitCounter;
  // The lowest free record and buffer: a stream touches only as many of the
  // pools' pages as it keeps in use at once. No record may be taken while
  // it is referenced, read or waiting for output: the caller reports the
  // exhausted pool instead.
  DecodedPicture* pic = nullptr;
  FrameBuffer* fb = nullptr;
  if (!find_free_slot(ds, &pic, &fb)) {
    --ds->accessUnitCounter;
    ds->poolExhausted = 1;
    return 0;
  }
  // Motion kept for direct prediction is no longer read once its picture's
  // record is free to be reused.
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* q = &ds->pictures[i];
    if (q->colocated && (q == pic || contents_free(ds, q))) release_colocated(ds, q);
  }
  // The picture before is complete as far as the stream goes.
  if (ds->currentPicture && ds->currentPicture->setUp) close_picture(ds->currentPicture);
  pic->frameBuffer = fb;
  fb->used = 1;
  release_borrowers(ds, fb);

  pic->sps = sps;
  init_picture(ds, pic, c);
  init_frame_buffer(pic->frameBuffer, c);
  unlink_both(pic);
  if (ds->lastPicture && ds->lastPicture != pic) {
    ds->lastPicture->nextInDecodeOrder = pic;
    pic->prevInDecodeOrder = ds->lastPicture;
  }
  ds->lastPicture = pic;
  ds->currentPicture = pic;
  return 0;
}

int32_t RemoveCurrentAccessUnit(DecoderState* ds) {
  DecodedPicture* p = ds->currentPicture;
  if (p->released) withdraw_release(decoder_of(ds), p);
  if (ds->accessUnitCounter != 0) --ds->accessUnitCounter;
  p->referenceMarking = 0;
  p->releaseKey = 0;
  p->setUp = 0;  // no longer a picture waiting for output
  drop_conceal_source(p);
  settle_read_holds(p);
  if (p->pairedField) p->pairedField->pairedField = nullptr;
  p->pairedField = nullptr;
  // Slices of the picture still at work keep its arrays until the record is
  // reused.
  if (p->slicesActive == 0) {
    release_records(ds, p);
    release_colocated(ds, p);
    // Its frame buffer was taken for it alone and holds nothing to show: it
    // is free again, or a stream whose slices are all dropped would use up
    // the pool with pictures that never come.
    if (p->frameBuffer && !p->repeated) p->frameBuffer->used = 0;
  }
  DecodedPicture* prev = p->prevInDecodeOrder;
  if (ds->nextOutputPicture == p) ds->nextOutputPicture = p->nextInOutputOrder;
  unlink_both(p);
  if (prev) ds->lastPicture = prev;
  return 0;
}

bool block_pool_init(BlockPool* pool, uint32_t slots, size_t bytes) {
  pool->blocks = static_cast<void**>(aligned_zeroed(slots * sizeof(void*)));
  pool->taken = static_cast<uint8_t*>(aligned_zeroed(slots));
  pool->slots = pool->blocks && pool->taken ? slots : 0;
  pool->bytes = bytes;
  return pool->slots == slots;
}

void block_pool_free(BlockPool* pool) {
  for (uint32_t i = 0; i < pool->slots; ++i) std::free(pool->blocks[i]);
  std::free(pool->blocks);
  std::free(pool->taken);
  std::memset(pool, 0, sizeof(*pool));
}

bool bind_picture_arrays(DecoderState* ds, DecodedPicture* p, bool reference) {
  if (reference && !p->colocated) p->colocated = static_cast<ColocatedMotion*>(take_block(&decoder_of(ds)->motionPool));
  return p->colocated || !reference;
}

bool lend_records(DecoderState* ds, DecodedPicture* p) {
  if (!p->macroblocks) p->macroblocks = static_cast<MacroblockRecord*>(take_block(&decoder_of(ds)->recordPool));
  return p->macroblocks != nullptr;
}

namespace {

// The low bits of four identifier bytes as bits 0..3.
inline unsigned low_bits(const uint8_t ids[4]) {
  uint32_t v;
  std::memcpy(&v, ids, sizeof v);
  return (((v & 0x01010101u) * 0x01020408u) >> 24) & 0xFu;
}

// The low bits of eight identifier bytes as bits 0..7.
inline unsigned low_bits8(const uint8_t ids[8]) {
  uint64_t v;
  std::memcpy(&v, ids, sizeof v);
  return static_cast<unsigned>(((v & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56);
}

// Bit b: block b refers to index 0 with both vector components within
// -1..1. Each component is tested on its own (|c| <= 1 as c + 1 <= 2
// unsigned), a loop the compiler runs on vectors, into a byte; a 64-bit word
// then holds four blocks' byte pairs, whose four results one multiply
// gathers into adjacent bits (the partial products never overlap).
inline uint16_t still_blocks(const int16_t (*mv)[2], const int8_t refIdx[4]) {
  unsigned refZero = 0;
  for (int q = 0; q < 4; ++q) refZero |= (refIdx[q] == 0 ? 0xFu : 0u) << (4 * q);
  if (refZero == 0) return 0;
  const int16_t* c = &mv[0][0];
  uint8_t small[32];
  for (int i = 0; i < 32; ++i) small[i] = static_cast<uint16_t>(c[i] + 1) <= 2 ? 1 : 0;
  uint64_t words[4];
  std::memcpy(words, small, sizeof words);
  unsigned still = 0;
  for (int j = 0; j < 4; ++j) {
    const uint64_t both = words[j] & (words[j] >> 8) & 0x0001000100010001ull;  // bits 0, 16, 32, 48
    still |= static_cast<unsigned>(((both * 0x0000200040008001ull) >> 45) & 0xFu) << (4 * j);
  }
  return static_cast<uint16_t>(still & refZero);
}

// The co-located summary of one macroblock: per quadrant the list direct
// prediction reads (list 0 when used, else list 1), its index, picture,
// vectors and identifier parities, and which blocks are still.
void keep_macroblock_motion(const MacroblockRecord& mb, ColocatedMotion& m) {
  m.mb_structure = mb.mb_structure;
  if (mb_is_intra(mb.mb_type)) {
    m.still = m.parity = 0;
    m.found = 0;
    std::memset(m.ref_idx, -1, sizeof m.ref_idx);
    std::memset(m.mv, 0, sizeof m.mv);
    std::memset(m.ref_pic, 0, sizeof m.ref_pic);
    return;
  }
  uint32_t listZero;
  std::memcpy(&listZero, mb.pred_flag_l0, sizeof listZero);
  if (listZero == 0x01010101u) {
    // Every quadrant predicts from list 0 (all of a P picture's inter
    // macroblocks): whole-array copies, and the tests without branches.
    std::memcpy(m.ref_idx, mb.ref_idx_l0, sizeof m.ref_idx);
    std::memcpy(m.ref_pic, mb.ref_pic_l0, sizeof m.ref_pic);
    std::memcpy(m.mv, mb.mv_l0, sizeof m.mv);
    m.found = 0xF;
    m.parity = static_cast<uint16_t>(low_bits8(mb.ref_id_l0) | low_bits8(mb.ref_id_l0 + 8) << 8);
    m.still = still_blocks(m.mv, m.ref_idx);
    return;
  }
  unsigned found = 0, still = 0, parity = 0;
  for (int q = 0; q < 4; ++q) {
    const bool l0 = mb.pred_flag_l0[q] != 0;
    int16_t(*mv)[2] = &m.mv[4 * q];
    if (!l0 && mb.pred_flag_l1[q] == 0) {
      m.ref_idx[q] = -1;
      m.ref_pic[q] = nullptr;
      std::memset(mv, 0, 4 * sizeof(*mv));
      continue;
    }
    found |= 1u << q;
    const int8_t ref = l0 ? mb.ref_idx_l0[q] : mb.ref_idx_l1[q];
    m.ref_idx[q] = ref;
    m.ref_pic[q] = l0 ? mb.ref_pic_l0[q] : mb.ref_pic_l1[q];
    std::memcpy(mv, l0 ? mb.mv_l0[4 * q] : mb.mv_l1[4 * q], 4 * sizeof(*mv));
    parity |= low_bits((l0 ? mb.ref_id_l0 : mb.ref_id_l1) + 4 * q) << (4 * q);
    if (ref != 0) continue;
    // |x| <= 1 and |y| <= 1 as one unsigned compare each.
    for (int k = 0; k < 4; ++k) {
      const bool small = static_cast<uint16_t>(mv[k][0] + 1) <= 2 && static_cast<uint16_t>(mv[k][1] + 1) <= 2;
      still |= (small ? 1u : 0u) << (4 * q + k);
    }
  }
  m.still = static_cast<uint16_t>(still);
  m.parity = static_cast<uint16_t>(parity);
  m.found = static_cast<uint8_t>(found);
}

}  // namespace

void keep_colocated_range(DecodedPicture* p, uint32_t first, uint32_t end) {
  if (!p->colocated || !p->macroblocks) return;
  if (end > p->mbCount) end = p->mbCount;
  // The records of a row just reconstructed are still in cache; the kept
  // motion was last written pictures ago: its lines a few macroblocks ahead
  // are asked for, for writing.
  constexpr uint32_t kAhead = 4;
  for (uint32_t a = first; a < end; ++a) {
    if (a + kAhead < end) {
      const char* m = reinterpret_cast<const char*>(p->colocated + a + kAhead);
      __builtin_prefetch(m, 1);
      __builtin_prefetch(m + 56, 1);
      __builtin_prefetch(m + sizeof(ColocatedMotion) - 1, 1);
    }
    keep_macroblock_motion(p->macroblocks[a], p->colocated[a]);
  }
}

void keep_colocated_motion(DecodedPicture* p) { keep_colocated_range(p, 0, p->mbCount); }

void keep_slice_motion(SliceDecodeContext* s, uint32_t end) {
  DecodedPicture* p = s->picture;
  if (p == nullptr || p->colocated == nullptr) return;
  const uint32_t from = s->motionKeptTo > s->firstMbAddr ? s->motionKeptTo : s->firstMbAddr;
  if (end <= from) return;
  keep_colocated_range(p, from, end);
  s->motionKeptTo = end;
}

void keep_row_motion(ThreadBuffer* tb, uint32_t row) {
  SliceDecodeContext* s = tb->slice;
  if (s->picture == nullptr) return;
  const uint32_t perRow = (s->MbaffFrameFlag ? 2 : 1) * s->picture->widthInMbs;
  keep_slice_motion(s, (row + 1) * perRow);
}

void keep_concealed_motion(DecodedPicture* p, const uint8_t* written) {
  if (p->colocated == nullptr || p->macroblocks == nullptr) return;
  for (uint32_t a = 0; a < p->mbCount; ++a)
    if (!written[a]) keep_colocated_range(p, a, a + 1);
}

void release_records(DecoderState* ds, DecodedPicture* p) {
  if (p->macroblocks) give_block(&decoder_of(ds)->recordPool, p->macroblocks);
  p->macroblocks = nullptr;
  // A skipped picture shows another's planes: it has no motion of its own.
  if (p->repeated) release_colocated(ds, p);
}

void ResetPicturePools(DecoderState* ds) {
  for (uint32_t i = 0; i < ds->frameBufferCount; ++i) {
    FrameBuffer* fb = &ds->frameBuffers[i];
    fb->key = 0;
    fb->structure = kTopField;
    fb->outputTicks = 2;
    fb->outputStatus = 0;
    fb->storage = nullptr;
    fb->used = 0;
    std::memset(&fb->userData, 0, sizeof(fb->userData));
  }
  VideoDecoder* dec = decoder_of(ds);
  for (BlockPool* pool : {&dec->recordPool, &dec->motionPool})
    if (pool->taken) std::memset(pool->taken, 0, pool->slots);
  dec->recordPool.inUse = dec->motionPool.inUse = 0;
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* p = &ds->pictures[i];
    uint8_t* written = p->mbWritten;
    uint8_t* flags = p->mbFlags;
    uint16_t* claims = p->mbClaims;
    uint64_t* refs = p->refsRead;
    SeiRecord* timing = p->picTiming;
    std::memset(static_cast<void*>(p), 0, sizeof(*p));
    p->mbWritten = written;
    p->mbFlags = flags;
    p->mbClaims = claims;
    p->refsRead = refs;
    p->poolIndex = i;
    p->poolSize = ds->pictureCount;
    if (refs) std::memset(refs, 0, ref_set_words(ds->pictureCount) * sizeof(uint64_t));
    p->picTiming = timing;
    if (timing) std::memset(timing, 0, sizeof(*timing));
    p->frameBuffer = &ds->frameBuffers[i];
    p->outputTicks = 2;
    p->lumaPitch = ds->lumaPitch;
    p->chromaPitch = ds->chromaPitch;
    p->lumaHeight = ds->lumaHeight;
    p->chromaHeight = ds->chromaHeight;
    p->outputWidth = ds->outputWidth;
    p->outputHeight = ds->outputHeight;
  }
  ds->currentPicture = ds->lastPicture = &ds->pictures[0];
  ds->nextOutputPicture = nullptr;
  ds->keyBase = 0;
  ds->highestKey = 0;
  ds->keyEpoch = 0;
  ds->poolExhausted = 0;
}

DecodedPicture* recovery_stand_in(DecoderState* ds, const DecodedPicture* cur) {
  if (!ds) return nullptr;
  RecoveryStart& rs = decoder_of(ds)->recovery;
  const SequenceParameterSet* sps = cur->sps;
  if (!rs.starting || (ds->startPicture && ds->startPicture != cur) || !sps) return nullptr;
  if (!rs.standInMemory) {
    // The planes as a frame buffer lays them out, mid-grey throughout; no
    // stage writes them.
    const size_t bytes = static_cast<size_t>(ds->lumaPitch) * ds->lumaHeight + 2u * ds->chromaPitch * ds->chromaHeight + 8u;
    rs.standInMemory = static_cast<uint8_t*>(aligned_zeroed(bytes));
    if (!rs.standInMemory) return nullptr;
    std::memset(rs.standInMemory, 128, bytes);
    FrameBuffer* fb = &rs.standInPlanes;
    fb->Y = rs.standInMemory + 32;
    fb->Cr = rs.standInMemory + static_cast<size_t>(ds->lumaPitch) * ds->lumaHeight + 16;
    fb->Cb = fb->Cr + static_cast<size_t>(ds->chromaPitch) * ds->chromaHeight;
    fb->outputTicks = 2;
    fb->structure = kFrame;
  }
  // A finished reference frame just before the current picture, in frame
  // numbers and in order counts; it holds no motion (direct prediction
  // reads it as intra) and belongs to no list of the decoder.
  DecodedPicture* p = &rs.standIn;
  if (rs.standInReady) return p;
  rs.standInReady = 1;
  const uint32_t maxFrameNum = sps->MaxFrameNum ? sps->MaxFrameNum : 1;
  p->frameBuffer = &rs.standInPlanes;
  p->sps = cur->sps;
  p->structure = kFrame;
  p->decoded = 1;
  p->setUp = 1;
  p->outputDone = 1;
  p->referenceMarking = 3;
  p->frameNum = (cur->frameNum + maxFrameNum - 1) % maxFrameNum;
  p->pictureOrderCount = p->topFieldOrderCnt = p->bottomFieldOrderCnt = cur->pictureOrderCount - 2;
  p->lumaPitch = ds->lumaPitch;
  p->chromaPitch = ds->chromaPitch;
  p->lumaHeight = static_cast<uint16_t>(16u * sps->FrameHeightInMbs);
  p->chromaHeight = static_cast<uint16_t>(8u * sps->FrameHeightInMbs);
  p->outputWidth = ds->outputWidth;
  p->outputHeight = ds->outputHeight;
  p->widthInMbs = sps->PicWidthInMbs;
  p->mbCount = sps->PicWidthInMbs * sps->FrameHeightInMbs;
  p->chroma_format_idc = cur->chroma_format_idc;
  __atomic_store_n(&p->readyRows, static_cast<uint64_t>(sps->FrameHeightInMbs), __ATOMIC_RELEASE);
  return p;
}
