// Decoder instance and the library calls: open builds the pools and starts
// the workers, decode hands them one input buffer and waits for their first
// result, reset, frame step and close act between decode calls.
#include <cpuid.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <new>

#include "cavlc_tables.h"
#include "decoder_engine.h"
#include "mb_record.h"
#include "vpCore.h"

namespace {

constexpr uint32_t kSse2 = 0x02;
constexpr uint32_t kSsse3 = 0x08;

// Largest decoded picture buffer of a level in macroblocks (H.264 Table A-1),
// used to size the pools: references and pictures awaiting output must never
// be recycled.
uint32_t max_dpb_mbs(uint8_t level) {
  switch (level) {
    case 9:
    case 10: return 396;
    case 11: return 900;
    case 12:
    case 13:
    case 20: return 2376;
    case 21: return 4752;
    case 22:
    case 30: return 8100;
    case 31: return 18000;
    case 32: return 20480;
    case 40:
    case 41: return 32768;
    case 42: return 34816;
    case 50: return 110400;
    default: return 184320;
  }
}


// The decoder's waits run on the monotonic clock (their condition variables
// are made so at open): a step of the wall clock, as when a machine sets its
// time after it starts, must neither end a wait at once nor stretch it.
// Like the rest of the waits' timing, a deadline counts from the clock's
// current whole second.
timespec deadline_after_ms(uint64_t ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t total = static_cast<uint64_t>(now.tv_sec) * 1000u + ms;
  timespec ts;
  ts.tv_sec = static_cast<time_t>(total / 1000u);
  ts.tv_nsec = static_cast<long>((total % 1000u) * 1000000u);
  return ts;
}

// Waits until every worker has gone idle, at most until the deadline.
bool wait_idle(VideoDecoder* dec, uint64_t ms) {
  const timespec ts = deadline_after_ms(ms);
  while (dec->idleCount < dec->threadCount) {
    if (pthread_cond_timedwait(&dec->idleCond, &dec->lock, &ts) == ETIMEDOUT) return dec->idleCount >= dec->threadCount;
  }
  return true;
}

// Waits until every worker has gone idle, however long that takes: a worker
// always comes back from its step (a slice waiting for references gives up
// once the workers are held), and resetting or freeing what a worker still
// reads would be a race.
void wait_all_idle(VideoDecoder* dec) {
  while (dec->idleCount < dec->threadCount) pthread_cond_wait(&dec->idleCond, &dec->lock);
}

void clear_heaps(VideoDecoder* dec) {
  dec->workHeap.count = dec->outputHeap.count = dec->parseHeap.count = dec->waitHeap.count = 0;
}

// Every task free and waiting for input, as after open.
void file_all_for_parsing(VideoDecoder* dec) {
  clear_heaps(dec);
  for (uint32_t i = 0; i < dec->taskCount; ++i) {
    DecodeTask* t = &dec->tasks[i];
    if (!t->nal) continue;  // a task whose buffers could not be had stays out
    t->state = kTaskParse;
    t->key = 0;
    t->nal->nal_unit_type = 0;
    t->nal->nal_ref_idc = 0;
    t->nal->length = 0;
    t->savedWord = 0;
    t->savedBitPos = 0;
    t->savedPtr = nullptr;
    t->savedBytesLeft = 0;
    t->savedOverrun = 0;
    PictureParameterSet* ppsList = t->slice.ppsList;
    CabacContext* contexts = t->slice.cabacContexts;
    std::memset(static_cast<void*>(&t->slice), 0, sizeof(t->slice));
    t->slice.ppsList = ppsList;
    t->slice.cabacContexts = contexts;
    PushHeap(&dec->parseHeap, t);
  }
}

void clear_decoding_state(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  ds->parseReadPtr = nullptr;
  ds->parseBytesLeft = 0;
  ds->endOfStream = 0;
  ds->outputStarted = 0;
  ds->startPicture = nullptr;
  ds->accessUnitCounter = 0;
  ds->outputPosition = 0;
  ds->seekStep = 0;
  ds->sequenceBase = 0;
  ds->leadingSkipCount = 0;
  ds->outputDelayCount = 2;
  ds->zeroRun = 0;
  ds->copying = 0;
  ds->wordFill = 0;
  ds->wholeNalUnits = (dec->openFlags & kOpenWholeNalUnits) ? 1 : 0;
  ds->prevNalType = 0;
  ds->prevNalRefIdc = 0;
  ds->removalTimeBase = 0;
  ds->bufferingPeriodSeen = 0;
  std::memset(&ds->lastUserData, 0, sizeof(ds->lastUserData));
  ds->lastOutputWidth = ds->outputWidth;
  ds->lastOutputHeight = ds->outputHeight;
  std::memset(&dec->prevSlice, 0, sizeof(dec->prevSlice));
  std::memset(&dec->poc, 0, sizeof(dec->poc));
  dec->prevRefFrameNum = 0;
  dec->prevRefFrameNumKnown = 0;
  dec->referenceLost = 0;
  dec->gapLostCounted = 0;
  dec->frameNumBeforeGap = 0;
  dec->frameNumAfterGap = 0;
  dec->status = 0;
  dec->errorCode = kVideoErrorNone;
  dec->afterSeek = 0;
  dec->refusalReason = nullptr;
  std::memset(&dec->refusal, 0, sizeof(dec->refusal));
  dec->refusedDrain = 0;
  dec->errorPending = 0;
  dec->releaseHead = dec->releaseCount = 0;
  dec->releaseFloor = 0;
  dec->releaseFloorSet = 0;
  dec->releasedKey = 0;
  dec->releasedKeySet = 0;
  dec->releasedEpoch = 0;
  dec->stallRounds = 0;
  dec->setUpCount = 0;
  std::memset(&dec->suspect, 0, sizeof(dec->suspect));
  std::memset(&dec->cleanSuspect, 0, sizeof(dec->cleanSuspect));
  dec->suspectChain = 0;
  dec->declaredRefusal = 0;
  dec->slicesDropped = 0;
  dec->damage = VideoDamage{};
  dec->sentFieldCount = 0;
  dec->refFrameNumKnown = 0;
  ds->recoveryPoint = 0;
  dec->join = StreamJoin{};
  dec->recovery.starting = dec->recovery.active = dec->recovery.leadingKeySet = 0;
  dec->doubt.picture = nullptr;
  dec->unitRetyped = 0;
  dec->fieldOrder = 0;
  dec->intraPair = nullptr;
  std::memset(&dec->firstSuspect, 0, sizeof(dec->firstSuspect));
  dec->refusedSetInUse = 0;
  dec->firstDrop = 0;
  dec->finishScan = 0;
  ResetPicturePools(ds);
  reset_progress(dec);
}

void free_everything(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  std::free(dec->threads);
  if (dec->tasks) {
    for (uint32_t i = 0; i < dec->taskCount; ++i) DeleteTask(&dec->tasks[i]);
  }
  std::free(dec->workHeap.entries);
  std::free(dec->outputHeap.entries);
  std::free(dec->parseHeap.entries);
  std::free(dec->waitHeap.entries);
  std::free(dec->tasks);
  std::free(dec->releaseQueue);
  if (ds->frameBuffers) {
    for (uint32_t i = 0; i < ds->frameBufferCount; ++i)
      if (ds->frameBuffers[i].Y) std::free(ds->frameBuffers[i].Y - 32);
    std::free(ds->frameBuffers);
  }
  if (ds->pictures) {
    for (uint32_t i = 0; i < ds->pictureCount; ++i) {
      std::free(ds->pictures[i].mbWritten);
      std::free(ds->pictures[i].mbFlags);
      std::free(ds->pictures[i].mbClaims);
      std::free(ds->pictures[i].refsRead);
      std::free(ds->pictures[i].picTiming);
    }
    std::free(ds->pictures);
  }
  std::free(dec->recovery.standInMemory);
  block_pool_free(&dec->recordPool);
  block_pool_free(&dec->motionPool);
  if (ds->spsList) {
    FreeSequenceParameterSets(ds->spsList);
    std::free(ds->spsList);
  }
  if (ds->ppsList) {
    FreePictureParameterSets(ds->ppsList);
    std::free(ds->ppsList);
  }
  FreeCAVLCTables();  // the workers are gone: nothing of this instance reads the tables
  pthread_cond_destroy(&dec->idleCond);
  pthread_cond_destroy(&dec->workCond);
  pthread_mutex_destroy(&dec->progressLock);
  pthread_cond_destroy(&dec->progressCond);
  free_progress(dec);
  pthread_cond_destroy(&dec->doneCond);
  pthread_mutex_destroy(&dec->lock);
  pthread_mutex_destroy(&dec->mbLock);
  dec->~VideoDecoder();
  std::free(dec);
}

// Stops the workers, lets them free the task buffers, joins them.
void stop_workers(VideoDecoder* dec) {
  pthread_mutex_lock(&dec->lock);
  if (dec->threadCount > 0) {
    dec->state.endOfStream = 0;
    dec->status = 0;
    dec->resultPosted = 0;
    dec->stopped = 1;
    pthread_cond_broadcast(&dec->workCond);
    wait_all_idle(dec);
    dec->stopped = 0;
    clear_heaps(dec);
    for (uint32_t i = 0; i < dec->taskCount; ++i) {
      dec->tasks[i].state = kTaskDelete;
      dec->tasks[i].key = 0;
      PushHeap(&dec->workHeap, &dec->tasks[i]);
    }
    pthread_cond_broadcast(&dec->workCond);
    wait_all_idle(dec);
  }
  dec->quit = 1;
  pthread_cond_broadcast(&dec->workCond);
  pthread_mutex_unlock(&dec->lock);
  for (int32_t i = 0; i < dec->threadCount; ++i) pthread_join(dec->threads[i], nullptr);
  dec->threadCount = 0;
}

bool build_pools(VideoDecoder* dec, const VideoDecoderParams* params, uint32_t n) {
  DecoderState* ds = &dec->state;
  const uint32_t width = params->codedWidth;
  const uint32_t height = params->codedHeight;
  ds->lumaPitch = static_cast<uint16_t>(width + 64);
  ds->chromaPitch = static_cast<uint16_t>(width / 2 + 16);
  ds->lumaHeight = static_cast<uint16_t>(height);
  ds->chromaHeight = static_cast<uint16_t>(height / 2);
  ds->outputWidth = params->outputWidth;
  ds->outputHeight = params->outputHeight;
  ds->outputFormat = params->outputFormat;
  ds->decodeOrderOutput = (params->flags & kOpenDecodeOrder) ? 1 : 0;
  ds->openAccessUnit = SetAvailableAccessUnit;

  // Pools: as many pictures as the largest buffer any sequence may ask for
  // holds (fields counted apart; a stream joined on may ask for more than
  // the level opened for), plus what the workers may hold at once. A
  // stream touches only the records it needs.
  const uint32_t mbs = (width / 16) * (height / 16);
  const uint32_t dpbFrames = kMaxDpbFrames;
  dec->dpbFrames = max_dpb_frames(params->level, mbs);
  // Every task may hold a picture waiting for output or being decoded (two
  // records for a field pair), besides a full buffer of references.
  const uint32_t held = 2 * (dpbFrames + dec->taskCount) + 4;
  ds->pictureCount = 4 * n > 24 ? 4 * n : 24;
  if (ds->pictureCount < held) ds->pictureCount = held;
  ds->frameBufferCount = 6 * n > 30 ? 6 * n : 30;
  if (ds->frameBufferCount < held + 4) ds->frameBufferCount = held + 4;
  dec->macroblocksPerPicture = mbs;

  ds->spsList = static_cast<SequenceParameterSet*>(aligned_zeroed(sizeof(SequenceParameterSet)));
  ds->ppsList = static_cast<PictureParameterSet*>(aligned_zeroed(sizeof(PictureParameterSet)));
  if (!ds->spsList || !ds->ppsList) return false;
  InitSequenceParameterSetHead(ds->spsList);
  InitPictureParameterSetHead(ds->ppsList);

  ds->frameBuffers = static_cast<FrameBuffer*>(aligned_zeroed(ds->frameBufferCount * sizeof(FrameBuffer)));
  ds->pictures = static_cast<DecodedPicture*>(aligned_zeroed(ds->pictureCount * sizeof(DecodedPicture)));
  if (!ds->frameBuffers || !ds->pictures) return false;
  const size_t planeBytes = static_cast<size_t>(ds->lumaPitch) * height + 2u * ds->chromaPitch * ds->chromaHeight + 8u;
  for (uint32_t i = 0; i < ds->frameBufferCount; ++i) {
    uint8_t* base = static_cast<uint8_t*>(aligned_zeroed(planeBytes));
    if (!base) return false;
    FrameBuffer* fb = &ds->frameBuffers[i];
    fb->Y = base + 32;
    fb->Cr = base + static_cast<size_t>(ds->lumaPitch) * height + 16;
    fb->Cb = fb->Cr + static_cast<size_t>(ds->chromaPitch) * ds->chromaHeight;
  }
  for (uint32_t i = 0; i < ds->pictureCount; ++i) {
    DecodedPicture* p = &ds->pictures[i];
    p->picTiming = static_cast<SeiRecord*>(aligned_zeroed(sizeof(SeiRecord)));
    p->mbWritten = static_cast<uint8_t*>(aligned_zeroed(mbs ? mbs : 1));
    p->mbFlags = static_cast<uint8_t*>(aligned_zeroed(mbs ? mbs : 1));
    p->mbClaims = static_cast<uint16_t*>(aligned_zeroed((mbs ? mbs : 1) * sizeof(uint16_t)));
    p->refsRead = static_cast<uint64_t*>(aligned_zeroed(ref_set_words(ds->pictureCount) * sizeof(uint64_t)));
    p->poolIndex = i;
    p->poolSize = ds->pictureCount;
    if (!p->picTiming || !p->mbWritten || !p->mbFlags || !p->mbClaims || !p->refsRead) return false;
  }

  // Macroblock records only for the pictures being decoded, co-located motion
  // only for reference pictures: both pools take their blocks as needed.
  const size_t area = mbs ? mbs : 1;
  if (!block_pool_init(&dec->recordPool, ds->pictureCount, area * sizeof(MacroblockRecord)) ||
      !block_pool_init(&dec->motionPool, ds->pictureCount, area * sizeof(ColocatedMotion)))
    return false;

  dec->releaseQueue = static_cast<DecodedPicture**>(aligned_zeroed(ds->pictureCount * sizeof(DecodedPicture*)));
  if (!dec->releaseQueue) return false;
  dec->tasks = static_cast<DecodeTask*>(aligned_zeroed(dec->taskCount * sizeof(DecodeTask)));
  dec->workHeap.entries = static_cast<DecodeTask**>(aligned_zeroed(dec->taskCount * sizeof(DecodeTask*)));
  dec->outputHeap.entries = static_cast<DecodeTask**>(aligned_zeroed(dec->taskCount * sizeof(DecodeTask*)));
  dec->parseHeap.entries = static_cast<DecodeTask**>(aligned_zeroed(dec->taskCount * sizeof(DecodeTask*)));
  dec->waitHeap.entries = static_cast<DecodeTask**>(aligned_zeroed(dec->taskCount * sizeof(DecodeTask*)));
  for (TaskHeap* heap : {&dec->workHeap, &dec->outputHeap, &dec->parseHeap, &dec->waitHeap})
    heap->capacity = heap->entries ? static_cast<int32_t>(dec->taskCount) : 0;
  return dec->tasks && dec->workHeap.entries && dec->outputHeap.entries && dec->parseHeap.entries &&
         dec->waitHeap.entries;
}

}  // namespace

uint32_t max_dpb_frames(uint8_t level, uint32_t frameMbs) {
  uint32_t frames = frameMbs ? max_dpb_mbs(level) / frameMbs : kMaxDpbFrames;
  if (frames > kMaxDpbFrames) frames = kMaxDpbFrames;
  return frames < 1 ? 1 : frames;
}

// calloc leaves fresh pages to the kernel's zero pages, so pool entries a
// stream never uses are never touched; its blocks are 16-byte aligned.
void* aligned_zeroed(size_t bytes) {
  static_assert(alignof(std::max_align_t) >= 16, "calloc blocks must be 16-byte aligned");
  return std::calloc(1, bytes);
}

namespace {

// A refusal's reason in words, into its text.
void refusal_words(VideoRefusal* r) {
  static const char* const kWords[] = {
      "",
      "long-term reference",
      "memory management operation %u (long-term reference)",
      "slice groups (FMO)",
      "chroma format 4:2:2 or 4:4:4",
      "more than 8 bits per sample",
      "gaps in frame_num",
      "SP or SI slices",
      "left or top cropping",
      "redundant pictures",
      "picture larger than the decoder was opened for",
      "more than 32 active references",
      "no_output_of_prior_pics_flag with pictures waiting",
      "parameter set values out of the decoder's range",
      "lossless coding (transform bypass)",
  };
  const uint32_t reason = r->reason < sizeof(kWords) / sizeof(kWords[0]) ? r->reason : kVideoRefusalParameterSet;
  if (reason == kVideoRefusalChromaFormat && (r->operation == 2 || r->operation == 3))
    std::snprintf(r->text, sizeof(r->text), "%s chroma", r->operation == 2 ? "4:2:2" : "4:4:4");
  else if (reason == kVideoRefusalBitDepth && r->operation > 8)
    std::snprintf(r->text, sizeof(r->text), "%u-bit samples", r->operation);
  else
    std::snprintf(r->text, sizeof(r->text), kWords[reason], r->operation);
}

}  // namespace

void describe_refusal(VideoRefusal* r, uint32_t reason, uint32_t operation) {
  if (reason >> 8) {  // a parameter set's refusal code: reason and detail
    operation = reason >> 8;
    reason &= 0xFF;
  }
  if (reason > kVideoRefusalTransformBypass || reason == kVideoRefusalNone) reason = kVideoRefusalParameterSet;
  r->reason = reason;
  const bool detailed = reason == kVideoRefusalMemoryManagement || reason == kVideoRefusalChromaFormat ||
                        reason == kVideoRefusalBitDepth;
  r->operation = detailed ? operation : 0;
  refusal_words(r);
}

int32_t refuse(DecoderState* ds, uint32_t reason, uint32_t operation) {
  VideoDecoder* dec = decoder_of(ds);
  if (dec->refusalReason) return kStepUnsupported;
  describe_refusal(&dec->refusal, reason, operation);
  dec->refusalReason = dec->refusal.text;
  return kStepUnsupported;
}

int32_t refuse_slice(DecoderState* ds, uint32_t reason, uint32_t operation, bool clean) {
  VideoDecoder* dec = decoder_of(ds);
  if (dec->refusalReason) return kStepUnsupported;
  if (dec->suspectChain) return refuse(ds, dec->suspect.reason, dec->suspect.operation);
  if (clean && dec->cleanSuspect.reason != kVideoRefusalNone)
    return refuse(ds, dec->cleanSuspect.reason, dec->cleanSuspect.operation);
  dec->suspect.reason = reason;
  dec->suspect.operation = operation;
  if (clean) dec->cleanSuspect = dec->suspect;
  if (dec->firstSuspect.reason == kVideoRefusalNone) dec->firstSuspect = dec->suspect;
  dec->suspectChain = 1;
  return kStepUnsupported;
}

int32_t refuse_set(DecoderState* ds, uint32_t code) {
  VideoDecoder* dec = decoder_of(ds);
  if (dec->refusalReason) return kStepUnsupported;
  if (dec->declaredRefusal == kVideoRefusalNone) dec->declaredRefusal = static_cast<uint16_t>(code);
  dec->refusedSetInUse = static_cast<uint16_t>(code);
  return kStepUnsupported;
}

VideoDecoder* decoder_of(DecoderState* ds) {
  return reinterpret_cast<VideoDecoder*>(reinterpret_cast<uint8_t*>(ds) - offsetof(VideoDecoder, state));
}

const VideoDecoder* decoder_of(const DecoderState* ds) {
  return reinterpret_cast<const VideoDecoder*>(reinterpret_cast<const uint8_t*>(ds) - offsetof(VideoDecoder, state));
}

int32_t GetProcessorNumber() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int32_t>(n) : 1;
}

uint32_t GetSSEAbility() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  uint32_t mask = 0;
  if (d & (1u << 25)) mask |= 0x01;
  if (d & (1u << 26)) mask |= 0x02;
  if (c & (1u << 0)) mask |= 0x04;
  if (c & (1u << 9)) mask |= 0x08;
  if (c & (1u << 19)) mask |= 0x10;
  if (c & (1u << 20)) mask |= 0x20;
  return mask;
}

extern "C" {

VideoDecoder* AVCHDOpenVideoDecoderLib(const VideoDecoderParams* params) {
  if (!params) return nullptr;
  const uint32_t sse = GetSSEAbility();
  uint32_t n = params->threads;
  if (n == 0) n = static_cast<uint32_t>(GetProcessorNumber());
  // The decoder runs its own workers: the primitives stay single-threaded.
  vpSetNumThreads(1);
  // The CAVLC tables first: every failure from here on releases this hold.
  if (AllocateCAVLCTables() != 0) return nullptr;
  const uint32_t flags = params->flags;
  const bool refused = (flags & (kOpenOnePicturePerCall | kOpenDecodeOrder)) == (kOpenOnePicturePerCall | kOpenDecodeOrder) &&
                       !(flags & kOpenWholeNalUnits);
  // Sizes the 16-bit pitches can hold, and room for at least one macroblock.
  const bool badSize = params->codedWidth < 16 || params->codedHeight < 16 || params->codedWidth > 4096 ||
                       params->codedHeight > 4096 || (params->codedWidth & 15) || (params->codedHeight & 15);
  void* mem = nullptr;
  if (!(sse & kSse2) || !(sse & kSsse3) || refused || badSize || params->outputFormat > 3 ||
      !(mem = aligned_zeroed(sizeof(VideoDecoder)))) {
    FreeCAVLCTables();
    return nullptr;
  }
  VideoDecoder* dec = new (mem) VideoDecoder;
  std::memset(static_cast<void*>(dec), 0, sizeof(*dec));
  dec->taskPool = nullptr;
  dec->decoderState = &dec->state;
  dec->timeoutMs = params->timeoutMs;
  dec->openFlags = flags;
  dec->requestedThreads = n;
  dec->codedWidth = params->codedWidth;
  dec->codedHeight = params->codedHeight;
  dec->stages = decoder_stages();
  // Each worker can be busy with its own picture, and one more picture keeps
  // the next worker fed; with several workers two more let the entropy
  // decoding of the next pictures run ahead while those before them wait
  // for their references. A picture held that long costs its macroblock
  // records and planes (14 MB at 1080), so parsing runs no further ahead. A
  // single worker never overlaps pictures.
  dec->flightLimit = n > 1 ? n + 3 : n + 1;
  pthread_mutex_init(&dec->lock, nullptr);
  pthread_mutex_init(&dec->mbLock, nullptr);
  pthread_condattr_t monotonic;
  pthread_condattr_init(&monotonic);
  pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
  pthread_cond_init(&dec->idleCond, &monotonic);
  pthread_cond_init(&dec->workCond, nullptr);
  pthread_cond_init(&dec->doneCond, &monotonic);
  pthread_mutex_init(&dec->progressLock, nullptr);
  pthread_cond_init(&dec->progressCond, &monotonic);
  pthread_condattr_destroy(&monotonic);
  // A finished picture keeps its task until it is output, so the tasks must
  // cover a full decoded picture buffer waiting for output besides the ones
  // that parse and decode.
  dec->taskCount = 2 * n > 12 ? 2 * n : 12;
  if (dec->taskCount < kMaxDpbFrames + n + 4) dec->taskCount = kMaxDpbFrames + n + 4;
  if (!build_pools(dec, params, n)) {
    free_everything(dec);
    return nullptr;
  }
  dec->taskPool = dec->tasks;
  clear_decoding_state(dec);

  dec->threads = static_cast<pthread_t*>(std::calloc(n, sizeof(pthread_t)));
  if (!dec->threads) {
    free_everything(dec);
    return nullptr;
  }
  pthread_mutex_lock(&dec->lock);
  for (uint32_t i = 0; i < dec->taskCount; ++i) {
    dec->tasks[i].state = kTaskAllocate;
    PushHeap(&dec->workHeap, &dec->tasks[i]);
  }
  for (uint32_t i = 0; i < n; ++i) {
    if (pthread_create(&dec->threads[dec->threadCount], nullptr, WorkerThread, dec) != 0) break;
    ++dec->threadCount;
  }
  const bool idle = dec->threadCount > 0 && wait_idle(dec, 5000);
  // A task whose buffers could not be had makes the open fail.
  bool allocated = dec->errorCode == kVideoErrorNone;
  for (uint32_t i = 0; i < dec->taskCount && allocated; ++i) allocated = dec->tasks[i].nal && dec->tasks[i].nal->payload;
  if (!idle || static_cast<uint32_t>(dec->threadCount) < n || !allocated) {
    pthread_mutex_unlock(&dec->lock);
    stop_workers(dec);
    free_everything(dec);
    return nullptr;
  }
  dec->errorCode = kVideoErrorNone;
  dec->status = 0;
  file_all_for_parsing(dec);
  pthread_mutex_unlock(&dec->lock);
  return dec;
}

int32_t AVCHDCloseVideoDecoderLib(VideoDecoder* dec) {
  if (!dec) return kStatusError;
  stop_workers(dec);
  free_everything(dec);
  return 0;
}

uint32_t AVCHDDecodeVideoStreamLib(VideoDecoder* dec, uint8_t* outputBuffer, const uint8_t* data, uint32_t length,
                                   int32_t endOfStream, uint32_t decodeFlags) {
  if (!dec) return kStatusError;
  if (!outputBuffer) {
    dec->errorCode = kVideoErrorNoOutputBuffer;
    return kStatusError;
  }
  if (!data && length != 0) {
    dec->errorCode = kVideoErrorNoInput;
    return kStatusError;
  }
  pthread_mutex_lock(&dec->lock);
  DecoderState* ds = &dec->state;
  dec->status &= ~(kStatusPicture | kStatusAfterSeek | kStatusLeading | kStatusError);
  dec->decodeFlags = decodeFlags;
  if (dec->errorPending) {
    dec->errorPending = 0;
    dec->status |= kStatusError;
    const uint32_t st = dec->status;
    pthread_mutex_unlock(&dec->lock);
    return st;
  }
  if (dec->status & kStatusEndOfStream) {
    const uint32_t st = dec->status;
    pthread_mutex_unlock(&dec->lock);
    return st;
  }
  if (dec->refusedDrain) {
    length = 0;  // the stream was refused: nothing after the refusal is decoded
    endOfStream = 1;
  }
  if (length != 0) {
    if (ds->parseBytesLeft == 0) {
      ds->parseReadPtr = data;
      ds->parseBytesLeft = static_cast<int32_t>(length);
      dec->status &= ~(kStatusNeedInput | kStatusRefused);
    } else if (!(dec->status & kStatusRefused)) {
      dec->status |= kStatusRefused;
      const uint32_t st = dec->status;
      pthread_mutex_unlock(&dec->lock);
      return st;
    }
  }
  dec->resultPosted = 0;
  dec->outputBuffer = outputBuffer;
  ds->endOfStream = endOfStream != 0 ? 1 : ds->endOfStream;
  dec->stopped = 0;
  pthread_cond_broadcast(&dec->workCond);
  timespec ts = deadline_after_ms(dec->timeoutMs);
  while (!dec->resultPosted || dec->outputWriting) {
    if (pthread_cond_timedwait(&dec->doneCond, &dec->lock, &ts) == ETIMEDOUT && !dec->resultPosted) {
      if (dec->outputWriting) {
        // A picture being copied into the buffer is waited for even past
        // the deadline: the buffer is the caller's again only once it is
        // written, which takes a moment.
        clock_gettime(CLOCK_MONOTONIC, &ts);
        ts.tv_nsec += 1000000;
        if (ts.tv_nsec >= 1000000000) {
          ts.tv_nsec -= 1000000000;
          ++ts.tv_sec;
        }
        continue;
      }
      dec->errorCode = kVideoErrorTimeout;
      dec->status |= kStatusError;
      break;
    }
  }
  const uint32_t st = dec->status;
  pthread_mutex_unlock(&dec->lock);
  return st;
}

int32_t AVCHDResetVideoDecoderLib(VideoDecoder* dec) {
  if (!dec) return kStatusError;
  pthread_mutex_lock(&dec->lock);
  // Every worker must be idle, also after an error stopped them: a worker
  // may still be in a step and would file its task after the re-filing.
  dec->stopped = 1;
  pthread_cond_broadcast(&dec->workCond);
  wait_all_idle(dec);
  DecoderState* ds = &dec->state;
  FreeSequenceParameterSets(ds->spsList);
  FreePictureParameterSets(ds->ppsList);
  InitSequenceParameterSetHead(ds->spsList);
  InitPictureParameterSetHead(ds->ppsList);
  clear_decoding_state(dec);
  dec->quit = 0;
  dec->stopped = 0;
  dec->resultPosted = 0;
  file_all_for_parsing(dec);
  pthread_mutex_unlock(&dec->lock);
  return 0;
}

int32_t AVCHDVideoDecoderSeekAFrameLib(VideoDecoder* dec, int32_t frames) {
  if (!dec) return 16;
  pthread_mutex_lock(&dec->lock);
  DecoderState* ds = &dec->state;
  dec->afterSeek = 0;
  int32_t result = 16;
  DecodedPicture* p0 = &ds->pictures[0];
  do {
    if (!p0->sps) {
      ds->seekStep = frames - 1;
      break;
    }
    int32_t unit = 1;
    if (p0->sps->pic_struct_present_flag && p0->picTiming && p0->picTiming->pic_struct >= 7 &&
        p0->picTiming->pic_struct <= 8)
      unit = p0->picTiming->pic_struct - 5;
    const int64_t step = 2LL * unit * (static_cast<int64_t>(frames) - 1);
    int64_t target = ds->outputPosition + step;
    if (frames - 1 < 0 && ds->outputPosition <= -step) target = 0;
    ds->outputPosition = static_cast<int32_t>(target);
    if (dec->outputHeap.count > 0 && dec->outputHeap.entries[0]->key == ds->outputPosition) {
      dec->afterSeek = 1;
      result = 0;
      break;
    }
    const uint64_t key = static_cast<uint64_t>(static_cast<int64_t>(ds->outputPosition));
    FrameBuffer* fb = nullptr;
    FrameBuffer* fb2 = nullptr;
    for (uint32_t i = 0; i < ds->frameBufferCount && !fb; ++i)
      if (ds->frameBuffers[i].key == key) fb = &ds->frameBuffers[i];
    if (!fb || fb->outputStatus == 0) break;
    if (fb->structure != kFrame) {
      const uint64_t other = fb->structure == kTopField ? key + 1 : key - 1;
      for (uint32_t i = 0; i < ds->frameBufferCount && !fb2; ++i)
        if (&ds->frameBuffers[i] != fb && ds->frameBuffers[i].key == other) fb2 = &ds->frameBuffers[i];
      if (!fb2 || fb2->outputStatus == 0) break;
    }
    // Picture records that are free to carry the repeat.
    DecodedPicture* pic = nullptr;
    DecodedPicture* pic2 = nullptr;
    for (uint32_t i = 0; i < ds->pictureCount && !pic; ++i)
      if (picture_free(ds, &ds->pictures[i])) pic = &ds->pictures[i];
    if (fb2) {
      for (uint32_t i = 0; i < ds->pictureCount && !pic2; ++i)
        if (&ds->pictures[i] != pic && picture_free(ds, &ds->pictures[i])) pic2 = &ds->pictures[i];
      if (!pic2) break;
    }
    if (!pic || dec->parseHeap.count == 0) break;
    DecodeTask* t = PopHeap(&dec->parseHeap);
    if (t->state == kTaskParsePartial) {
      if (dec->parseHeap.count == 0) {
        PushHeap(&dec->parseHeap, t);
        break;
      }
      DecodeTask* second = PopHeap(&dec->parseHeap);
      PushHeap(&dec->parseHeap, t);
      t = second;
    }
    auto bind = [ds](DecodedPicture* q, FrameBuffer* f) {
      q->frameBuffer = f;
      q->structure = f->structure;
      // The geometry of the structure shown (the record last held another).
      const uint32_t fields = f->structure == kFrame ? 1u : 2u;
      const uint32_t height = q->sps ? 16u * q->sps->FrameHeightInMbs : ds->lumaHeight;
      q->lumaPitch = static_cast<uint16_t>(ds->lumaPitch * fields);
      q->chromaPitch = static_cast<uint16_t>(ds->chromaPitch * fields);
      q->lumaHeight = static_cast<uint16_t>(height / fields);
      q->chromaHeight = static_cast<uint16_t>(height / fields / 2);
      q->outputKey = static_cast<int32_t>(f->key);
      q->releaseKey = q->outputKey;
      q->outputTicks = f->outputTicks;
      q->decoded = 1;
      q->pairedField = nullptr;
      // Held until the repeat is written.
      q->queued = 1;
      q->outputDone = 0;
    };
    bind(pic, fb);
    if (fb2) {
      bind(pic2, fb2);
      pic->pairedField = pic2;
      pic2->pairedField = pic;
    }
    t->state = kTaskPictureDone;
    t->key = static_cast<int32_t>(fb->key);
    t->slice.picture = pic;
    t->slice.holdsPictures = 0;
    // The repeat goes straight to output.
    t->state = kTaskOutput;
    PushHeap(&dec->outputHeap, t);
    dec->afterSeek = 1;
    result = 0;
  } while (false);
  pthread_mutex_unlock(&dec->lock);
  return result;
}

int32_t AVCHDVideoDecoderGetFrameBufferSizeLib(const VideoDecoderParams* params) {
  if (!params) return 0;
  const int32_t area = static_cast<int32_t>(params->outputWidth) * params->outputHeight;
  switch (params->outputFormat) {
    case 0:
    case 3: return area + (area >> 1);
    case 1:
    case 2: return 2 * area;
    default: return 0;
  }
}

uint32_t* AVCHDVideoDecoderGetVersionLib(uint32_t version[4]) {
  version[0] = 1;
  version[1] = 0;
  version[2] = 6;
  version[3] = 4;
  return version;
}

int32_t AVCHDVideoDecoderGetUserDataLib(VideoDecoder* dec, VideoUserData* out) {
  if (!dec) return 2;
  if (!out) return 0;
  if (dec->state.lastUserData.valid == 1)
    *out = dec->state.lastUserData;
  else
    std::memset(out, 0, sizeof(*out));
  return 0;
}

int32_t AVCHDVideoDecoderGetRefusalLib(VideoDecoder* dec, VideoRefusal* out) {
  if (!dec || !out) return 2;
  pthread_mutex_lock(&dec->lock);
  *out = dec->refusal;
  pthread_mutex_unlock(&dec->lock);
  return 0;
}

int32_t AVCHDVideoDecoderGetDamageLib(VideoDecoder* dec, VideoDamage* out) {
  if (!dec || !out) return 2;
  pthread_mutex_lock(&dec->lock);
  *out = dec->damage;
  out->slicesDropped = dec->slicesDropped;
  out->suspect = dec->firstSuspect;
  if (out->suspect.reason != kVideoRefusalNone) refusal_words(&out->suspect);
  pthread_mutex_unlock(&dec->lock);
  return 0;
}

int32_t AVCHDVideoDecoderGetPictureSizeLib(VideoDecoder* dec, uint16_t* width, uint16_t* height) {
  if (!dec || !width || !height) return 2;
  pthread_mutex_lock(&dec->lock);
  *width = dec->state.lastOutputWidth;
  *height = dec->state.lastOutputHeight;
  pthread_mutex_unlock(&dec->lock);
  return 0;
}

uint32_t AVCHDVideoDecoderGetErrorCodeLib(VideoDecoder* dec) {
  if (!dec) return kVideoErrorNoInstance;
  // Workers may still record an error after the decode call returned.
  pthread_mutex_lock(&dec->lock);
  const uint32_t code = dec->errorCode;
  pthread_mutex_unlock(&dec->lock);
  return code;
}

}  // extern "C"
