// Records of the decoding engine: the per-slice context that the entropy,
// reconstruction and deblocking stages read, the decode tasks and their heaps,
// and the decoder instance with its worker threads.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "AVCHDVideoDecoder.h"
#include "annexb.h"
#include "bitstream.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "sei.h"
#include "slice_data.h"

// One CABAC context variable.
struct CabacContext {
  uint8_t pStateIdx;
  uint8_t valMPS;
};
constexpr uint32_t kCabacContextCount = 436;

// Reference lists hold this many entries; a slice uses at most 32.
constexpr uint32_t kRefListSize = 63;
constexpr uint32_t kMaxActiveRefs = 32;

// Explicit weighted-prediction table of a slice. Weights are 16-bit: the
// inferred weight 2^7 = 128 of a denominator of 7 does not fit 8 bits.
struct PredWeightTable {
  uint8_t luma_log2_weight_denom;
  uint8_t chroma_log2_weight_denom;
  int16_t luma_weight_l0[32];
  int8_t luma_offset_l0[32];
  int16_t chroma_weight_l0[32][2];  // Cb, then Cr
  int8_t chroma_offset_l0[32][2];
  int16_t luma_weight_l1[32];
  int8_t luma_offset_l1[32];
  int16_t chroma_weight_l1[32][2];
  int8_t chroma_offset_l1[32][2];
};

using PredictAndCombineFn = uint32_t (*)(ThreadBuffer*);
using DeblockFn = uint32_t (*)(DecodedPicture*);
// Row-wise deblocking of a picture while it is reconstructed: filters its
// rows [first, end) (pair rows in MBAFF frames; first < end), which are
// reconstructed and whose next row is too, going on from where the previous
// call on the picture stopped (first 0 starts the pass; `pass` carries it
// from call to call), and refreshes the margins of the rows the filter has
// left for good. Returns the rows from the top that are final: filtered,
// with their margins, and changed by no later call (all of them once `end`
// is the picture's last row).
struct DeblockPass;
using DeblockRowsFn = uint32_t (*)(DecodedPicture* picture, DeblockPass* pass, uint32_t first, uint32_t end);

// Stages the engine runs, through one table: the slice-data walk of each
// slice type, reconstruction of each slice type (frame or field slices, and
// MBAFF slices) and the deblocking filter of a picture, whole or row by row.
// Without the row entries (null) every picture is filtered whole once it is
// finished.
struct DecoderStages {
  int32_t (*entropyI)(ThreadBuffer* tb);
  int32_t (*entropyP)(ThreadBuffer* tb);
  int32_t (*entropyB)(ThreadBuffer* tb);
  PredictAndCombineFn reconstructI;
  PredictAndCombineFn reconstructIMbaff;
  PredictAndCombineFn reconstructP;
  PredictAndCombineFn reconstructPMbaff;
  PredictAndCombineFn reconstructB;
  PredictAndCombineFn reconstructBMbaff;
  DeblockFn deblock;
  DeblockFn deblockMbaff;
  DeblockRowsFn deblockRows;
  DeblockRowsFn deblockRowsMbaff;
};

// Words of the set of records a slice holds for its co-located picture's
// motion: room for every pool the decoder opens.
constexpr uint32_t kMotionHoldWords = 18;

// One record per slice. Its SliceDataState part is the slice-data walk's
// view: the slice's flags and offsets, the walk's cursor and the QP state
// carried from macroblock to macroblock, which the walk updates in place;
// the picture fields of that part are set when entropy decoding starts.
struct SliceDecodeContext : SliceDataState {
  uint32_t CurrPicNum;
  PictureParameterSet* ppsList;
  PictureParameterSet* pps;
  NalUnit* nalUnit;
  CabacContext* cabacContexts;
  DecodedPicture* picture;
  uint8_t field_pic_flag;
  int8_t SliceQPY;
  int32_t LevelScale4x4[6][6][16];  // Y, Cb, Cr intra then inter; by qP % 6
  int32_t LevelScale8x8[2][6][64];  // Y intra, Y inter
  uint8_t direct_spatial_mv_pred_flag;
  DecodedPicture* RefPicList0[kRefListSize];
  DecodedPicture* RefPicList1[kRefListSize];
  uint32_t weightingMode;  // 0 none, 1 explicit, 2 implicit
  PredWeightTable* weightTable;
  PredictAndCombineFn predictAndCombine;
  DeblockFn deblock;
  // Slice header as parsed.
  uint32_t first_mb_in_slice;
  uint8_t slice_type;  // kSliceTypeP, kSliceTypeB or kSliceTypeI
  uint8_t pic_parameter_set_id;
  uint32_t frame_num;
  uint8_t field_pic_flag_coded;
  uint8_t bottom_field_flag;
  uint16_t idr_pic_id;
  uint32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
  uint8_t redundant_pic_cnt;
  uint8_t num_ref_idx_active_override_flag;
  PredWeightTable predWeightTable;
  uint8_t no_output_of_prior_pics_flag;
  uint8_t long_term_reference_flag;
  // Refused syntax read in this header, the header being read on past it
  // (kVideoRefusal..., 0 none), and its operation.
  uint8_t refusedSyntax;
  uint8_t refusedOperation;
  uint8_t memory_management_control_operation;
  uint32_t difference_of_pic_nums_minus1;
  uint8_t cabac_init_idc;
  int8_t slice_qp_delta;
  // Number of list entries found (entries past them are null).
  uint8_t refCount[2];
  // In a field slice, the parity of the field each entry of list 0 / 1
  // stands for (0 top, 1 bottom): a frame coded as one picture is one record
  // that serves as either field. Frame slices leave them 0.
  uint8_t refParity[2][kRefListSize];
  // Pictures this slice holds against recycling (its own and its
  // references) until its reconstruction is over.
  uint8_t holdsPictures;
  // Macroblock address the slice's data must end before: the next slice
  // start taken for the picture (or the picture's end), fixed once the next
  // slice or the end of the picture's input is parsed. 0: the picture's end.
  uint32_t mbLimit;
  uint8_t limitPending;  // taken, its limit not fixed yet: entropy decoding waits
  uint8_t claimed;       // its range counts in the picture's mbClaims until its entropy decoding ends
  // Every reference picture of the slice was decoded when its entropy
  // decoding started: the slice may be reconstructed alongside it.
  uint8_t referencesFinal;
  // Set while the slice is reconstructed by the decoder's own stages: the
  // instance (for waits on references) and what the reconstruction reported
  // of the rows it completed, so that the picture is filtered and published
  // row by row. Reconstruction drivers call rowDone, when set, after the last
  // macroblock of each macroblock row (pair row) of the slice.
  VideoDecoder* decoder;
  void (*rowDone)(ThreadBuffer* tb, uint32_t row);
  uint32_t rowsReported;  // rows up to the last one reported
  uint8_t awaitRefs;      // its references are not all finished: prediction waits for their rows
  // While such a slice is reconstructed: its first list-1 reference and that
  // one's other field, when they were not finished as it started (else
  // null). Direct prediction reads their macroblock records, which stay
  // bound until the slice ends (DecodedPicture::colocatedPins).
  DecodedPicture* colocatedLive[2];
  // Macroblocks [firstMbAddr, motionKeptTo) of a reference picture's slice
  // have their co-located motion kept: each row is kept as it is
  // reconstructed, while its records are still in cache.
  uint32_t motionKeptTo;
  // The records a B slice with temporal direct prediction holds because its
  // co-located picture's motion refers to them: bits by pool index.
  uint64_t motionHeld[kMotionHoldWords];
  DecodedPicture* motionHeldPool;
  uint32_t motionHeldWords;
};

// Identity of the previous slice, for the detection of a new picture.
struct PrevSliceIdentity {
  uint8_t valid;
  uint8_t nal_unit_type;
  uint8_t nal_ref_idc;
  uint8_t pic_order_cnt_type;
  uint8_t pic_parameter_set_id;
  uint32_t frame_num;
  uint8_t field_pic_flag;
  uint8_t bottom_field_flag;
  uint16_t idr_pic_id;
  uint32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
};

// What picture order count derivation keeps of earlier pictures: of the
// previous reference picture (type 0) and of the previous picture (types 1
// and 2). The current picture's values wait in `pending` until the next
// picture starts.
struct PocValues {
  int32_t refMsb;
  int32_t refLsb;
  int32_t frameNumOffset;
  uint32_t frameNum;
};
struct PocMemory {
  PocValues prev;
  PocValues pending;
  uint8_t pendingValid;
  uint8_t pendingIsReference;
};

// Task states.
enum : uint32_t {
  kTaskDelete = 1,
  kTaskAllocate = 2,
  kTaskPictureDone = 3,
  kTaskFinish = 8,  // conceal what no slice brought, deblock, then picture finished
  kTaskOutput = 4,
  kTaskParsePartial = 5,
  kTaskParse = 6,
  kTaskEntropyI = 7,
  kTaskReconI = 9,
  kTaskEntropyP = 10,
  kTaskReconP = 12,
  kTaskEntropyB = 13,
  kTaskReconB = 15,
  kTaskDropped = 16,
};

// Results of the steps.
enum : int32_t {
  kStepReady = 0,
  kStepFailed = 1,
  kStepNoPps = 3,
  kStepNoReference = 4,
  kStepMissingReference = 5,
  kStepNoMemory = 6,
  kStepWaitInput = 7,
  kStepToOutput = 9,
  kStepConsumed = 10,
  kStepPark = 11,
  kStepUnsupported = 12,
  kStepUnhandledNal = 17,
};
// Results the decoder's own steps never give but the error mapping keeps
// apart: a parameter set that names no sequence set (2), and 13.
enum : int32_t {
  kStepNoSps = 2,
  kStepParameterSet = 13,
  kStepDamaged = 14,  // no slice of the stream could be read (never returned by a step)
};

struct DecodeTask {
  uint32_t state;
  int32_t key;
  NalUnit* nal;
  uint32_t savedWord;
  int32_t savedBitPos;
  const uint8_t* savedPtr;
  uint32_t savedBytesLeft;
  uint32_t savedOverrun;
  SliceDecodeContext slice;
};

struct TaskHeap {
  int32_t count;
  DecodeTask** entries;
  int32_t capacity;  // entries allocated: the decoder's task count
};

// Equal-sized blocks handed to pictures while they need them: the lowest free
// slot first, its block allocated on first use, so that a stream touches
// only as many blocks as it keeps in use at once.
struct BlockPool {
  void** blocks;   // per slot: its block, or null before first use
  uint8_t* taken;  // per slot
  uint32_t slots;
  uint32_t inUse;  // slots taken
  size_t bytes;    // of one block
};

// Progress of one picture record's progressive filtering (one per record,
// for the use of set-up rank setUpOrder): per macroblock row (pair row in
// MBAFF frames) how many of its macroblocks are reconstructed, the rows
// complete from the top and those filtered, and the pass of the stages'
// row-wise deblocking. All under the instance's mbLock, except the pass,
// which only the worker that set `filtering` uses.
struct PictureProgress {
  uint32_t setUpOrder;
  uint32_t rows;            // rows of the picture (pair rows in MBAFF frames)
  uint32_t perRow;          // macroblock addresses per row
  uint32_t rowsDone;
  uint32_t rowsFiltered;
  uint16_t* rowMbs;         // rows entries
  uint32_t rowCapacity;
  uint8_t mbaff;
  uint8_t filtering;        // a worker filters; it looks again before it lets go
  uint8_t started;          // the pass has filtered rows: finishing goes on from it
  uint8_t noFilter;         // the decoder leaves the filter out: rows are final once reconstructed
  uint8_t reconStarted;     // a slice's reconstruction has begun (under the instance lock)
  DeblockPass* pass;
};

struct VideoDecoder {
  DecodeTask* taskPool;
  DecoderState* decoderState;
  int32_t threadCount;
  int32_t idleCount;
  pthread_t* threads;
  pthread_mutex_t lock;
  pthread_mutex_t mbLock;
  pthread_cond_t idleCond;
  pthread_cond_t workCond;
  pthread_cond_t doneCond;
  uint32_t deadlineSec;
  uint32_t deadlineNsec;
  uint64_t timeoutMs;
  uint8_t* outputBuffer;
  uint32_t status;
  uint8_t resultPosted;
  uint8_t quit;
  uint8_t stopped;
  uint32_t decodeFlags;
  uint32_t openFlags;
  uint32_t errorCode;
  uint8_t afterSeek;
  DecodeTask* tasks;
  TaskHeap workHeap;
  TaskHeap outputHeap;
  TaskHeap parseHeap;
  TaskHeap waitHeap;
  uint32_t taskCount;
  DecoderState state;
  // Engine bookkeeping beyond the state proper.
  PrevSliceIdentity prevSlice;
  PocMemory poc;
  uint32_t requestedThreads;
  uint16_t codedWidth;
  uint16_t codedHeight;
  uint32_t macroblocksPerPicture;
  uint8_t errorPending;        // an error was posted after the last call returned
  const char* refusalReason;   // why the stream was refused (error 6) in words, or null
  VideoRefusal refusal;        // the same as a reason code (and operation)
  uint32_t dpbFrames;          // frames of the decoded picture buffer the pools were sized for
  uint8_t refusedDrain;        // a refusal ended the input: earlier pictures go out, then the error
  uint8_t finishScan;          // a picture may wait for a worker to finish it
  // Pictures released for output, in the order they are to be written (a
  // ring of pictureCount entries); releases are decided in stream order.
  DecodedPicture** releaseQueue;
  uint32_t releaseHead;
  uint32_t releaseCount;
  int32_t releaseFloor;        // highest key released (or where output started)
  uint8_t releaseFloorSet;
  uint8_t stallRounds;         // times parked slices were woken with nothing else running
  uint32_t setUpCount;         // pictures set up so far
  // Damage that reads as refused syntax: a slice header whose refused
  // syntax is read once among decodable slices is dropped as damaged; the
  // stream is refused only when the next slice header that parses reads
  // refused syntax too, or when nothing of the stream can be decoded.
  VideoRefusal suspect;        // the refused syntax of the last suspect slice (reason 0: none)
  VideoRefusal cleanSuspect;   // the first one read in a header that parsed cleanly otherwise
  uint8_t suspectChain;        // the last slice header read was a suspect one
  uint8_t declaredRefusal;     // refused syntax of a parameter set no slice has used yet
  uint32_t slicesDropped;      // slices dropped as damaged
  VideoRefusal firstSuspect;   // the refused syntax the first suspect slice read as
  uint8_t refusedSetInUse;     // slices since the last decoded one use a set with refused syntax
  int32_t firstDrop;           // step result of the first slice dropped while no picture was set up
  const DecoderStages* stages;  // the stages the instance runs
  uint32_t flightLimit;         // pictures set up and not finished, besides the one being parsed
  BlockPool recordPool;         // MacroblockRecord arrays of the pictures being decoded
  BlockPool motionPool;         // ColocatedMotion arrays of reference pictures
  // Reconstruction that reads references still being decoded waits inside
  // its prediction for the rows it reads (await_reference_rows). At most
  // threadCount - 1 such reconstructions run at once, so that one worker is
  // always free for the work they wait on.
  PictureProgress* progress;    // pictureCount entries, made when the first slice is taken
  pthread_mutex_t progressLock;
  pthread_cond_t progressCond;
  int32_t progressWaiters;      // under progressLock
  int32_t overlapping;          // reconstructions running before their references are final
  int32_t awaiting;             // workers inside a wait for reference rows (atomic)
  uint8_t outputWriting;        // a worker copies a picture into the caller's buffer, without the lock
};

// Forgets every picture's progress (set-up ranks start again at reset), and
// frees what progressive filtering allocated (at close).
void reset_progress(VideoDecoder* dec);
void free_progress(VideoDecoder* dec);

// Rows of a picture record that are final for the use it has now (0 while
// its first slice is not reconstructed), and the count of its rows.
inline uint32_t ready_rows(const DecodedPicture* p) {
  const uint64_t v = __atomic_load_n(&p->readyRows, __ATOMIC_ACQUIRE);
  return static_cast<uint32_t>(v >> 32) == p->setUpOrder ? static_cast<uint32_t>(v) : 0;
}
inline uint32_t picture_rows(const DecodedPicture* p) { return p->widthInMbs ? p->mbCount / p->widthInMbs : 0; }

// Waits until `rows` rows of 16 lines of reference `ref` (all of it when it
// is a field, and of the other field of its frame too) are final. Returns
// at once for the slice's own picture, and gives up when the decoder is
// being stopped and nothing else runs.
void await_reference_rows_slow(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows);
inline void await_reference_rows(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows) {
  if (!s || !s->awaitRefs || ref == s->picture) return;
  if (ref->structure == kFrame && ready_rows(ref) >= rows) return;
  await_reference_rows_slow(s, ref, rows);
}

// The same for a block that reads lines up to lastLine of the reference,
// counted in the lines the reader steps through: a field's (fieldRead, of
// the parity `bottom`) or the frame's. Lines past the picture are read as
// its last line.
inline void await_reference_lines(const SliceDecodeContext* s, const DecodedPicture* ref, bool fieldRead, bool bottom,
                                  int32_t lastLine) {
  if (!s || !s->awaitRefs || ref == s->picture) return;
  const int32_t height = ref->lumaHeight;
  int32_t line = lastLine < 0 ? 0 : lastLine;
  if (fieldRead) {
    if (line > height / 2 - 1) line = height / 2 - 1;
    line = 2 * line + (bottom ? 1 : 0);
  } else if (line > height - 1) {
    line = height - 1;
  }
  await_reference_rows(s, ref, static_cast<uint32_t>(line < 0 ? 0 : line) / 16u + 1u);
}

// Records why a stream is refused (the first reason stays) and returns the
// unsupported-syntax result. `operation` is the memory management operation
// of kVideoRefusalMemoryManagement.
int32_t refuse(DecoderState* ds, uint32_t reason, uint32_t operation = 0);

// The same for syntax read in a slice header, which damage can fake. The
// stream is refused when the slice header read before this one read refused
// syntax too, or when this header parsed cleanly apart from it (`clean`) and
// an earlier one did as well: syntax the stream keeps using. Otherwise the
// slice is dropped as damaged (kStepUnsupported with no refusal).
int32_t refuse_slice(DecoderState* ds, uint32_t reason, uint32_t operation, bool clean);

// The same for syntax that the slice's parameter sets declare: the slice is
// dropped, and the stream is refused at the end of its input unless a slice
// decoded with other sets since (a damaged copy of a set was replaced).
int32_t refuse_set(DecoderState* ds, uint32_t reason);

// Notes refused syntax in the slice header being read; the header is read
// on, and refuse_slice decides at its end.
inline void note_refused(SliceDecodeContext* s, uint32_t reason, uint32_t operation = 0) {
  if (s->refusedSyntax != 0) return;
  s->refusedSyntax = static_cast<uint8_t>(reason);
  s->refusedOperation = static_cast<uint8_t>(operation > 255 ? 255 : operation);
}

// Engine state kept per instance beside DecoderState (reached through the
// state's owner): the key base that keeps output keys rising across IDR
// pictures and memory_management_control_operation 5.
VideoDecoder* decoder_of(DecoderState* ds);

// Access units and pools.
int32_t SetAvailableAccessUnit(DecoderState* ds);
// A record may be reused once it is no reference, no slice reads it and it
// was output (or given up for output), or never held a picture.
bool picture_free(const DecoderState* ds, const DecodedPicture* p);
// 1 while the next access unit can have a picture record and a frame buffer;
// parsing waits otherwise, until output frees one.
bool pool_has_room(const DecoderState* ds);
// 1 while fewer pictures than the instance's limit are set up and not yet
// finished (the picture being parsed aside): parsing waits otherwise, so
// that a worker that could parse ahead finishes pictures first.
bool flight_has_room(const DecoderState* ds);
// Frames the decoded picture buffer of a level holds at a picture size (1 to
// 16).
uint32_t max_dpb_frames(uint8_t level, uint32_t frameMbs);
int32_t RemoveCurrentAccessUnit(DecoderState* ds);
// A reference picture set up gets its co-located motion array (false: no
// memory for it). Its macroblock records are lent later, when the first of
// its slices starts its slice data (or when it is finished without one):
// lend_records, under the instance lock (false: no memory).
bool bind_picture_arrays(DecoderState* ds, DecodedPicture* p, bool reference);
bool lend_records(DecoderState* ds, DecodedPicture* p);
// Copies a finished reference picture's motion out of its macroblock records
// (runs without the instance lock, before the picture counts as decoded).
void keep_colocated_motion(DecodedPicture* p);
// The same for macroblocks [first, end) of a picture with co-located motion
// whose records there are final.
void keep_colocated_range(DecodedPicture* p, uint32_t first, uint32_t end);
// The slice's macroblocks from where its keeping stopped up to end (their
// reconstruction is over); a reconstruction driver's row report as a rowDone
// hook; and the concealed macroblocks of a picture (written[a] 0).
void keep_slice_motion(SliceDecodeContext* s, uint32_t end);
void keep_row_motion(ThreadBuffer* tb, uint32_t row);
void keep_concealed_motion(DecodedPicture* p, const uint8_t* written);
// Conceals the macroblocks of p that no slice wrote (decoded[a] 0) from the
// finished picture `from` (see concealment.cpp), marking them in written;
// false when `from` cannot serve (another picture size).
bool conceal_from_reference(DecodedPicture* p, const DecodedPicture* from, const uint8_t* decoded, uint8_t* written);
// Chooses and holds p's concealment source if it has none yet: the first
// list-0 reference of its slices, else the latest picture before it in
// decode order still marked as reference (under the instance lock, in
// stream order); and lets
// it go once p is finished or withdrawn.
void choose_conceal_source(DecodedPicture* p, DecodedPicture* listHead);
void drop_conceal_source(DecodedPicture* p);
// Fills, once per picture when it is set up, what of its planes no slice
// writes: the parts beyond a picture smaller than the decoder's buffers (a
// stream joined to a larger one, or read with another stream's sets) and
// the chroma of a monochrome picture, all mid-grey, so that what is output
// and read there is the same whichever buffer the picture got.
void fill_unwritten_planes(const DecoderState* ds, DecodedPicture* p);
// The picture is finished: its macroblock records go back to the pool.
void release_records(DecoderState* ds, DecodedPicture* p);
// Pools of blocks (slots: one per picture record).
bool block_pool_init(BlockPool* pool, uint32_t slots, size_t bytes);
void block_pool_free(BlockPool* pool);
// Binds every picture to the frame buffer of its index and clears both pools
// as at open.
void ResetPicturePools(DecoderState* ds);

// NAL unit dispatch and slice header.
int32_t DecodeNalUnit(ThreadBuffer* tb, uint32_t decodeFlags, uint32_t openFlags);
int32_t decode_slice_header(ThreadBuffer* tb, SliceDecodeContext* s, uint32_t openFlags);
int32_t IsNewAccessUnit(SliceDecodeContext* s, DecodedPicture* current, ThreadBuffer* tb, PrevSliceIdentity* prev);

// Reference lists and marking (steps of the slice header).
int32_t build_reference_lists(DecoderState* ds, SliceDecodeContext* s);
int32_t ref_pic_list_modification(ThreadBuffer* tb, SliceDecodeContext* s);
int32_t dec_ref_pic_marking(ThreadBuffer* tb, SliceDecodeContext* s, uint32_t nalType, uint8_t nalRefIdc);
// Keeps the reference frames within the stream's num_ref_frames, the
// current one included, by unmarking the oldest: what the sliding window
// does, for a reference picture whose marking was damaged or never read.
void bound_references(DecodedPicture* cur);
// 1 when the record counts as a reference for the current picture (either
// field of a frame will do).
bool is_reference_for(const DecodedPicture* p, const DecodedPicture* current);
// Takes the given fields (bit 0 top, bit 1 bottom; 3 for a field record or a
// whole frame) of p out of the references; the current picture's later
// slices still see them.
void unmark_reference(DecodedPicture* p, const DecodedPicture* current, uint8_t fields);

// Picture holds against recycling while slices read them.
void hold_slice_pictures(SliceDecodeContext* s);
void release_slice_pictures(SliceDecodeContext* s);

// Slice ranges of a picture (all under the instance lock). A picture is
// closed when the next access unit opens or the input ends: its last slice's
// limit is fixed and no slice comes any more.
void fix_slice_limit(DecodedPicture* p);
void close_picture(DecodedPicture* p);

// Task heaps.
int32_t PushHeap(TaskHeap* heap, DecodeTask* task);
DecodeTask* PopHeap(TaskHeap* heap);

// Marks a field that gets no second field; one already finished is handed
// to output by the next free task.
void mark_unpaired(VideoDecoder* dec, DecodedPicture* p);

// Output order, decided at each picture's set-up in stream order: pictures
// are released for output while more wait than the stream may reorder or
// the decoded picture buffer is over full; an IDR picture or memory
// management operation 5 releases every picture before it.
void release_for_output(VideoDecoder* dec, DecodedPicture* p);
void release_before(VideoDecoder* dec, DecodedPicture* p);
// Takes a withdrawn picture back out of the pictures released for output.
void withdraw_release(VideoDecoder* dec, DecodedPicture* p);

int32_t SetThreadBuffer(ThreadBuffer* tb, DecodeTask* task);
int32_t ReturnThreadBuffer(ThreadBuffer* tb, DecodeTask* task);
int32_t InitializeTask(DecodeTask* task, DecoderState* ds);
int32_t DeleteTask(DecodeTask* task);
void* WorkerThread(void* decoder);

// Output writers.
int32_t write_out_picture(uint8_t* output, DecodedPicture* picture, uint32_t format, uint8_t frame);
void WriteLineYUY2(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint16_t width, uint8_t* out, uint8_t w0,
                   uint8_t w1, uint16_t next);
void WriteLineUYVY(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint16_t width, uint8_t* out, uint8_t w0,
                   uint8_t w1, uint16_t next);

// The decoder's own stages.
extern const DecoderStages kDecoderStages;

// Stages of the instances opened from now on (null: kDecoderStages); an
// instance keeps the table it was opened with. Programs that test the engine
// alone install stand-in stages here.
void set_decoder_stages(const DecoderStages* stages);
const DecoderStages* decoder_stages();

// The stages of the decoder's own table.

uint32_t AllocateCAVLCTables();
void FreeCAVLCTables();
int32_t binari_decode_i_unit(ThreadBuffer* tb);
int32_t binari_decode_p_unit(ThreadBuffer* tb);
int32_t binari_decode_b_unit(ThreadBuffer* tb);
void cabac_init_contexts_i_slice(int8_t SliceQPY, CabacContext* contexts);
void cabac_init_contexts_p_slice(int8_t SliceQPY, CabacContext* contexts, uint8_t cabac_init_idc);
void cabac_init_contexts_b_slice(int8_t SliceQPY, CabacContext* contexts, uint8_t cabac_init_idc);
uint32_t predict_and_combine_I_unit_8bit(ThreadBuffer* tb);
uint32_t predict_and_combine_I_unit_8bit_luma_mbaff(ThreadBuffer* tb);
uint32_t predict_and_combine_P_unit_8bit_luma(ThreadBuffer* tb);
uint32_t predict_and_combine_P_unit_8bit_luma_mbaff(ThreadBuffer* tb);
uint32_t predict_and_combine_B_unit_8bit_luma(ThreadBuffer* tb);
uint32_t predict_and_combine_B_unit_8bit_luma_mbaff(ThreadBuffer* tb);
uint32_t DeblockingFilter(DecodedPicture* picture);
uint32_t DeblockingFilter_mbaff(DecodedPicture* picture);
uint32_t deblock_rows(DecodedPicture* picture, DeblockPass* pass, uint32_t first, uint32_t end);
uint32_t deblock_rows_mbaff(DecodedPicture* picture, DeblockPass* pass, uint32_t first, uint32_t end);

// Zero-filled 16-byte-aligned block (free with std::free), or null.
void* aligned_zeroed(size_t bytes);

// Processor queries of the open call.
int32_t GetProcessorNumber();
uint32_t GetSSEAbility();
