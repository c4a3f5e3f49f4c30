// The decoding engine: the decode tasks and their heaps, the decoder instance
// with its worker threads, and the functions of NAL unit dispatch, slice
// headers, access units, reference lists, output and concealment. The
// records it shares with its stages are in decoder_records.h; the stages
// never include this header.
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
#include "decoder_records.h"
#include "slice_data.h"

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
// What identifies a picture in the stream (its header up to the picture
// order count), for the pictures set up lately: a field or frame sent again
// has the identity of one of them.
struct FieldIdentity {
  DecodedPicture* picture;  // the record it was set up in
  uint32_t setUpOrder;      // its rank then (the record may hold another picture since)
  const SequenceParameterSet* sps;  // the set it was read with
  uint32_t frameNum;
  uint32_t pocLsb;
  int32_t delta0;
  int32_t delta1;           // a frame's delta_pic_order_cnt[1]
  int32_t deltaBottom;      // a frame's delta_pic_order_cnt_bottom
  uint32_t refFrameNum;     // frame_num of the last reference picture before it
  uint8_t structure;
  uint8_t reference;
  uint8_t idr;
  uint8_t outOfPlace;
  uint8_t matched;          // an earlier copy out of place, matched by the field in place
};
constexpr uint32_t kFieldHistory = 24;

struct PocMemory {
  PocValues prev;
  PocValues pending;
  uint8_t pendingValid;
  uint8_t pendingIsReference;
  // A stream's first picture, a non-IDR I picture whose header reads whole
  // as an IDR picture's too (with pic_order_cnt_lsb `idrLsb` and
  // delta_pic_order_cnt_bottom `idrDeltaBottom`): armed by its slice, then
  // that picture, until the picture after it tells which it was.
  uint8_t idrReadingArmed;
  int32_t idrLsb;
  int32_t idrDeltaBottom;
  DecodedPicture* idrReadingPicture;
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
  kStepSentAgain = 18,  // a field or frame sent again, left out (never leaves the NAL-unit step)
};
// Results the decoder's own steps never give but the error mapping keeps
// apart: a parameter set that names no sequence set (2), and 13.
enum : int32_t {
  kStepNoSps = 2,
  kStepParameterSet = 13,
  kStepDamaged = 14,  // no slice of the stream could be read (never returned by a step)
  kStepNoPictureBuffer = 15,  // every picture record (or its macroblock or motion block) is held
  kStepStalled = 16,          // no task can move again: pictures wait for what never comes
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

// Why no block could be taken from the pool: every slot is held, or the
// allocation of a new block failed.
inline int32_t block_shortage(const BlockPool* pool) {
  return pool->inUse >= pool->slots ? int32_t{kStepNoPictureBuffer} : int32_t{kStepNoMemory};
}

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

// The reference picture set up last (not an IDR picture), in doubt until
// the next picture: damage to its nal_ref_idc, or to its slice's type (see
// retype_idr_as_non_idr), may have made a non-reference picture read as a
// reference. The references its marking ended stay until the next picture
// shows whether it was a reference: a frame_num that no picture may have
// after a reference picture with that frame_num says it was not. Then it is
// none; otherwise what its marking ended is ended.
struct ReferenceInDoubt {
  DecodedPicture* picture;  // null: none in doubt
  uint32_t setUpOrder;      // the picture's, to tell its record has not been reused
  uint32_t count;
  DecodedPicture* ended[kRefListSize];
  uint32_t endedOrder[kRefListSize];
  uint8_t endedMarking[kRefListSize];  // their referenceMarking after its marking
  uint8_t retyped;                     // its slice came typed IDR
};

// Streams joined on without their IDR picture (see slice_header.cpp): the
// sets of the last picture set up; whether a stream that began after it (a
// non-IDR picture with other sets) waits for its start (an IDR or I
// picture, or one with a recovery point), its pictures left out till then;
// whether the slices of the picture being read are left out; the start the
// next picture set up makes (kStreamStart...); the output key of that start
// picture, before which its stream's pictures (open-GOP leading pictures)
// are left out too; and whether a recovery point came before the first
// picture decoded.
struct StreamJoin {
  const SequenceParameterSet* activeSps;
  const PictureParameterSet* activePps;
  uint8_t awaitingStart;
  uint8_t leavingOut;
  uint8_t starting;
  uint8_t startKeySet;
  int32_t startKey;
  uint8_t recoveryBeforeStart;
};

// How the picture set up next starts a stream joined on without its IDR
// picture: as an I picture (the pictures before it are no references for
// it or those after it) or at a recovery point (predicted from what there
// is, as such a start is meant to be).
enum : uint8_t { kStreamStartNone = 0, kStreamStartIntra = 1, kStreamStartRecovery = 2 };

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
  // frame_num of the last reference picture kept (0 after an IDR picture or
  // memory_management_control_operation 5), once there is one: a reference
  // picture lost from the stream leaves a gap after it, and the next P or B
  // picture is without it (referenceLost until then).
  uint32_t prevRefFrameNum;
  uint8_t prevRefFrameNumKnown;
  uint8_t referenceLost;
  // Pictures counted lost for the gap before the last I picture kept, the
  // last reference frame_num before that gap and the I picture's: the
  // picture after it tells whether the gap was real or the I picture's
  // frame_num damaged.
  uint32_t gapLostCounted;
  uint32_t frameNumBeforeGap;
  uint32_t frameNumAfterGap;
  uint32_t requestedThreads;
  uint16_t codedWidth;
  uint16_t codedHeight;
  uint32_t macroblocksPerPicture;
  uint8_t errorPending;        // an error was posted after the last call returned
  const char* refusalReason;   // why the stream was refused (error 6) in words, or null
  VideoRefusal refusal;        // the same as a reason code (and operation)
  // Frames of the decoded picture buffer of the sequence in force (at open
  // that of the level asked for): references held beyond it count as
  // pictures in flight. The pools hold the largest buffer any sequence may
  // ask for (kMaxDpbFrames), since a later IDR picture may activate one.
  uint32_t dpbFrames;
  uint8_t refusedDrain;        // a refusal ended the input: earlier pictures go out, then the error
  uint8_t finishScan;          // a picture may wait for a worker to finish it
  // Pictures released for output, in the order they are to be written (a
  // ring of pictureCount entries); releases are decided in stream order.
  DecodedPicture** releaseQueue;
  uint32_t releaseHead;
  uint32_t releaseCount;
  int32_t releaseFloor;        // highest key released (or where output started)
  uint8_t releaseFloorSet;
  int32_t releasedKey;         // highest key release_first released (when releasedKeySet)
  uint32_t releasedEpoch;      // of the key epoch of the latest pictures released
  uint8_t releasedKeySet;
  uint8_t stallRounds;         // times parked slices were woken with nothing else running
  uint32_t setUpCount;         // pictures set up so far
  // Damage that reads as refused syntax: a slice header whose refused
  // syntax is read once among decodable slices is dropped as damaged; the
  // stream is refused only when the next slice header that parses reads
  // refused syntax too, or when nothing of the stream can be decoded.
  VideoRefusal suspect;        // the refused syntax of the last suspect slice (reason 0: none)
  VideoRefusal cleanSuspect;   // the first one read in a header that parsed cleanly otherwise
  uint8_t suspectChain;        // the last slice header read was a suspect one
  uint16_t declaredRefusal;    // refusal code of a parameter set no slice has used yet
  uint32_t slicesDropped;      // slices dropped as damaged
  VideoRefusal firstSuspect;   // the refused syntax the first suspect slice read as
  uint16_t refusedSetInUse;    // refusal code of the set that slices since the last decoded one use
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
  // The fields set up lately (a ring, sentFieldCount added in all) and the
  // frame_num of the last reference picture, for fields sent again.
  FieldIdentity sentFields[kFieldHistory];
  uint32_t sentFieldCount;
  uint32_t refFrameNum;
  uint8_t refFrameNumKnown;
  // The pictures' damage counted for AVCHDVideoDecoderGetDamageLib, under
  // the instance lock (its slicesDropped and suspect are the fields above).
  VideoDamage damage;
  StreamJoin join;  // under the instance lock
  ReferenceInDoubt doubt;  // under the instance lock
  uint8_t unitRetyped;     // the slice being read came typed IDR with a nal_ref_idc other than 0
  // The order of the reference field pairs since the last start or I
  // picture: 1 top field first, 2 bottom field first, 0 not yet known.
  uint8_t fieldOrder;
  // A reference field pair whose fields read as intra so far (its second
  // field, with its set-up rank): the pair's order is judged at the first
  // P or B slice of that field, if any comes.
  DecodedPicture* intraPair;
  uint32_t intraPairSetUp;
};

// Forgets every picture's progress (set-up ranks start again at reset), and
// frees what progressive filtering allocated (at close).
void reset_progress(VideoDecoder* dec);
void free_progress(VideoDecoder* dec);

// Records why a stream is refused (the first reason stays) and returns the
// unsupported-syntax result. `operation` is the memory management operation
// of kVideoRefusalMemoryManagement. `reason` may be a refusal code of a
// parameter set (sps_refusal), whose detail is then the operation.
int32_t refuse(DecoderState* ds, uint32_t reason, uint32_t operation = 0);

// Fills `r` with a refusal's reason, detail and words, as the instance names
// it; `reason` may be a parameter set's refusal code.
void describe_refusal(VideoRefusal* r, uint32_t reason, uint32_t operation);

// The same for syntax read in a slice header, which damage can fake. The
// stream is refused when the slice header read before this one read refused
// syntax too, or when this header parsed cleanly apart from it (`clean`) and
// an earlier one did as well: syntax the stream keeps using. Otherwise the
// slice is dropped as damaged (kStepUnsupported with no refusal).
int32_t refuse_slice(DecoderState* ds, uint32_t reason, uint32_t operation, bool clean);

// The same for syntax that the slice's parameter sets declare: the slice is
// dropped, and the stream is refused at the end of its input unless a slice
// decoded with other sets since (a damaged copy of a set was replaced).
// `code` is a refusal code (sps_refusal), or a bare reason.
int32_t refuse_set(DecoderState* ds, uint32_t code);

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
// Whether p's planes and kept motion are free: as picture_free, but a record
// kept only because other pictures' references name it counts as free.
bool contents_free(const DecoderState* ds, const DecodedPicture* p);
// 1 while the next access unit can have a picture record and a frame buffer;
// parsing waits otherwise, until output frees one.
bool pool_has_room(const DecoderState* ds);
// 1 while fewer pictures than the instance's limit are set up and not yet
// finished (the picture being parsed aside): parsing waits otherwise, so
// that a worker that could parse ahead finishes pictures first.
bool flight_has_room(const DecoderState* ds);
// Frames the decoded picture buffer of a level holds at a picture size (1 to
// kMaxDpbFrames).
constexpr uint32_t kMaxDpbFrames = 16;
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
// Fills the same macroblocks from the decoded ones above and below them,
// for a picture with nothing to conceal from; false when none was decoded.
bool conceal_spatially(DecodedPicture* p, const uint8_t* decoded, uint8_t* written);
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
// The picture refers to a picture the stream lost: counted once per picture
// (each field of a pair on its own), under the instance lock.
void note_missing_references(VideoDecoder* dec, DecodedPicture* p);

// Picture holds against recycling while slices read them.
void hold_slice_pictures(SliceDecodeContext* s);
void release_slice_pictures(SliceDecodeContext* s);
// Adds p to the records whose macroblocks' references `reader` follows.
void note_read(DecodedPicture* reader, DecodedPicture* p);
// Takes or gives back p's hold on the records its macroblocks refer to, as
// its state asks (under the instance lock, after any change of its users,
// co-located pins, set-up or finished state).
void settle_read_holds(DecodedPicture* p);

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
// The size picture p is written at, from its sequence parameter set: the
// output size the decoder was opened for, or a smaller picture's own cropped
// size.
void set_output_size(const DecoderState* ds, DecodedPicture* p);
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

// Row-wise deblocking entries of the decoder's own table, through the pass
// of the whole-picture filter. (The other entries are declared by their
// stages: slice_data.h and reconstruction.h.)
uint32_t deblock_rows(DecodedPicture* picture, DeblockPass* pass, uint32_t first, uint32_t end);
uint32_t deblock_rows_mbaff(DecodedPicture* picture, DeblockPass* pass, uint32_t first, uint32_t end);

// Zero-filled 16-byte-aligned block (free with std::free), or null.
void* aligned_zeroed(size_t bytes);

// Processor queries of the open call.
int32_t GetProcessorNumber();
uint32_t GetSSEAbility();
