// Records of the decoding state that the syntax layer reads and writes: the
// decoder state with its Annex B parser fields and parameter-set lists, the
// picture (access-unit) record and the frame buffer. The decoder engine owns
// their pools and lifetimes; the stream inspection calls build minimal
// instances of their own.
#pragma once

#include <cstdint>

#include "AVCHDVideoDecoder.h"
#include "picture_structure.h"

struct MacroblockRecord;
struct DecodedPicture;
struct SeiRecord;
struct SequenceParameterSet;
struct PictureParameterSet;
struct SliceDecodeContext;

// Bits of DecodedPicture::mbFlags.
enum : uint8_t {
  kMbSliceStart = 1,  // a slice taken for the picture starts here
  kMbMayWrite = 2,    // inside the range a taken slice was allowed to write
  kMbDecoded = 4,     // entropy-decoded by a slice
};

struct FrameBuffer {
  uint8_t* Y;
  uint8_t* Cr;
  uint8_t* Cb;
  uint64_t key;           // output key of the picture held; decides reuse
  uint8_t structure;
  uint8_t outputTicks;    // 2 per frame; 4 or 6 for frame doubling or tripling
  uint32_t outputStatus;  // 0 not decoded, 1 decoded, 2 leading picture
  VideoUserData userData;
  // Whose planes hold the picture: the second field of a frame is written
  // into its first field's planes, so that the frame is one interleaved
  // picture that frames and fields alike can reference. Null: its own.
  FrameBuffer* storage;
  uint8_t used;  // has held a picture since the pools were last cleared
};

// What direct prediction reads of a macroblock of the first list-1
// reference (the co-located picture): a reference picture's motion, kept
// when it is finished, so that its MacroblockRecords can serve the next
// picture. Direct prediction reads one list per quadrant, list 0 where the
// quadrant predicts from it and list 1 otherwise: only that list is kept,
// and the summary spatial direct reads lies in the first bytes.
struct ColocatedMotion {
  uint16_t still;   // bit b: block b refers to index 0 with both vector components within -1..1
  uint16_t parity;  // bit b: the low bit of block b's reference identifier (its field's parity)
  uint8_t found;    // bit q: quadrant q has a prediction (inter, list 0 or 1 used)
  uint8_t mb_structure;
  int8_t ref_idx[4];           // of the list kept; -1 where the quadrant has no prediction
  int16_t mv[16][2];           // of the list kept; zero where the quadrant has no prediction
  DecodedPicture* ref_pic[4];  // of the list kept; null where the quadrant has no prediction
};

struct DecodedPicture {
  // Bound from the decoder's pool while the picture is being decoded (null
  // before and after).
  MacroblockRecord* macroblocks;
  FrameBuffer* frameBuffer;
  SeiRecord* picTiming;
  DecodedPicture* prevInDecodeOrder;
  DecodedPicture* nextInDecodeOrder;
  DecodedPicture* prevInOutputOrder;
  DecodedPicture* nextInOutputOrder;
  uint8_t decoded;
  uint8_t hasPicTiming;
  uint32_t mbsLeft;
  uint32_t widthInMbs;
  uint32_t mbCount;
  uint8_t referenceMarking;
  int32_t releaseKey;
  SequenceParameterSet* sps;
  uint64_t frameNum;
  int32_t decodeKey;    // decode order in field units
  int32_t outputKey;    // output order in field units
  uint8_t outputTicks;
  int32_t pictureOrderCount;
  uint32_t picOrderCntLsb;
  int32_t picOrderCntMsb;
  uint8_t mmco5;
  uint8_t structure;    // kTopField, kBottomField or kFrame
  uint8_t lastNalType;  // 1, 5, 7 or 8: last such unit met while current
  uint16_t lumaPitch;
  uint16_t chromaPitch;
  uint16_t lumaHeight;
  uint16_t chromaHeight;
  uint16_t outputWidth;
  uint16_t outputHeight;
  uint32_t accessUnitIndex;
  uint8_t setUp;
  uint8_t chroma_format_idc;
  uint8_t sliceType;
  // Engine bookkeeping: both field counts of the picture, slices that still
  // read it (as their picture or a reference) and whether a stage failed on
  // it.
  int32_t topFieldOrderCnt;
  int32_t bottomFieldOrderCnt;
  uint32_t users;
  uint8_t damaged;
  uint8_t refsMissing;  // its lists named a picture the stream lost (counted once)
  uint8_t idr;
  DecodedPicture* pairedField;  // the other field of the same frame, once both are known
  uint8_t nalRefIdc;             // of the picture's slices
  uint32_t unmarkedBy;           // set-up rank of the picture whose marking unmarked it (0: none)
  uint8_t markingBefore;         // referenceMarking before that picture's marking changed it
  uint32_t slicesActive;         // slices between header and the end of reconstruction
  uint8_t outputDone;            // written out (or given up for output)
  uint8_t unpaired;              // a field whose second field never came
  uint8_t secondField;           // the second field of a pair (kept when the first field's record is reused)
  uint8_t outOfPlace;            // a non-reference picture whose frame_num does not follow the last reference
  uint8_t queued;                // handed to output (a field pair once, by either field)
  uint8_t released;              // released for output (see the decoder's release queue)
  uint32_t setUpOrder;           // rank of its set-up among all pictures (unique, unlike accessUnitIndex)
  uint8_t* mbWritten;            // per macroblock: 1 once reconstruction wrote it
  // Which slice may write which macroblocks, decided in stream order so that
  // a damaged stream decodes the same however the workers' timing goes: per
  // macroblock the kMb... bits below, and how many slices that have not yet
  // finished their entropy decoding may still write it.
  uint8_t* mbFlags;
  uint16_t* mbClaims;
  SliceDecodeContext* openSlice;  // the last slice taken, whose end is not yet bounded
  uint8_t closed;                 // no further slice can come: missing macroblocks stay missing
  uint8_t finishing;              // a task conceals, deblocks and finishes the picture
  uint8_t limitFixed;             // a slice's limit was fixed since the worker last looked
  uint8_t repeated;              // skipped: shows an earlier picture's planes
  // A reference picture's motion for direct prediction, from the decoder's
  // pool: bound when the picture is set up, filled when it is finished and
  // returned once the record is free (null otherwise).
  ColocatedMotion* colocated;
  // Rows of 16 lines (of the picture's own lines) from the top that are
  // final: reconstructed, filtered, concealed where needed and with their
  // margins filled, so that pictures predicting from it may read them. The
  // set-up rank of the use of the record they describe stands in the upper
  // 32 bits; read and written atomically.
  uint64_t readyRows;
  // Slices reconstructed from before it was finished that read its
  // macroblock records for direct prediction (under the instance lock):
  // the records stay bound, and the record in use, until the last ends.
  uint32_t colocatedPins;
  // The earlier picture whose samples stand in for the macroblocks no slice
  // brings (null: none), held against reuse until the picture is finished.
  DecodedPicture* concealFrom;
  // Order count of the first entry of list 0 of its first P or B slice
  // taken, while that reference is sure to be the one named (set once:
  // concealment of a later picture scales this picture's motion by it).
  int32_t firstRefOrderCount;
  uint8_t firstRefKnown;
  // Records its slices named as references (and the other fields of those
  // fields), one bit per record of the pool, by pool index: its co-located
  // motion refers to them. Null for records built outside a pool.
  uint64_t* refsRead;
  // Pictures that hold this record because it is in their refsRead set
  // (see settle_read_holds), and whether this picture holds its own set.
  uint32_t readBy;
  uint8_t holdsReads;
  uint32_t poolIndex;
  uint32_t poolSize;
  uint8_t outsideFilled;  // the planes beyond a picture smaller than the buffers are filled
  uint8_t predicted;      // a P or B slice of it was read
  uint32_t keyEpoch;      // the decoder's keyEpoch when its keys were given
  // A reference picture sent just before this non-reference picture that
  // follows it in the stream's own order (both with one frame_num): no
  // reference for it (null: none).
  const DecodedPicture* sentAhead;
  // An unpaired field whose frame's other field came right after it, of
  // the other kind (one a reference, one not): that field was not lost.
  // Set when it is marked unpaired, as the record after it may be reused.
  uint8_t partnerCame;
};

// Words of a picture's refsRead set.
inline uint32_t ref_set_words(uint32_t poolSize) { return (poolSize + 63) / 64; }

// Planes of a picture. Every picture lies in frame-sized planes; a field
// takes every other line of them (its lumaPitch and chromaPitch are twice the
// frame's) and a bottom field starts one frame line down.
inline const FrameBuffer* planes_of(const FrameBuffer* fb) { return fb->storage ? fb->storage : fb; }
inline uint8_t* frame_luma(const DecodedPicture* p) { return planes_of(p->frameBuffer)->Y; }
inline uint8_t* frame_cb(const DecodedPicture* p) { return planes_of(p->frameBuffer)->Cb; }
inline uint8_t* frame_cr(const DecodedPicture* p) { return planes_of(p->frameBuffer)->Cr; }
inline uint8_t* picture_luma(const DecodedPicture* p) {
  return frame_luma(p) + (p->structure == kBottomField ? p->lumaPitch / 2 : 0);
}
inline uint8_t* picture_cb(const DecodedPicture* p) {
  return frame_cb(p) + (p->structure == kBottomField ? p->chromaPitch / 2 : 0);
}
inline uint8_t* picture_cr(const DecodedPicture* p) {
  return frame_cr(p) + (p->structure == kBottomField ? p->chromaPitch / 2 : 0);
}
// Picture order counts of a reference: of its field of the given parity,
// kTopField or kBottomField (a field record, whose structure is its parity,
// stands for its frame's other field through its pair), and of the frame it
// belongs to (the lower of the two fields' counts).
inline int32_t field_order_count_of(const DecodedPicture* p, int parity) {
  if (p->structure == kFrame) return parity ? p->bottomFieldOrderCnt : p->topFieldOrderCnt;
  if (p->structure == parity || p->pairedField == nullptr) return p->pictureOrderCount;
  return p->pairedField->pictureOrderCount;
}
inline int32_t frame_order_count(const DecodedPicture* p) {
  if (p->structure == kFrame || p->pairedField == nullptr) return p->pictureOrderCount;
  const int32_t other = p->pairedField->pictureOrderCount;
  return other < p->pictureOrderCount ? other : p->pictureOrderCount;
}

// The record that stands for p's frame: a frame its own, a field of a field
// pair the first field in decode order.
inline DecodedPicture* frame_record(DecodedPicture* p) {
  DecodedPicture* q = p->structure == kFrame ? nullptr : p->pairedField;
  return q && q->accessUnitIndex < p->accessUnitIndex ? q : p;
}

// Line steps of the frame a picture belongs to.
inline uint32_t frame_luma_pitch(const DecodedPicture* p) {
  return p->structure == kFrame ? p->lumaPitch : p->lumaPitch / 2u;
}
inline uint32_t frame_chroma_pitch(const DecodedPicture* p) {
  return p->structure == kFrame ? p->chromaPitch : p->chromaPitch / 2u;
}

// The picture's own width with the margins on both sides, as inter
// prediction takes it: samples past the picture's right edge repeat the edge
// also when the picture is narrower than the buffers (a stream that changed
// size), never what lies beyond it.
inline uint32_t luma_width_with_margins(const DecodedPicture* p) { return 16u * p->widthInMbs + 64u; }
inline uint32_t chroma_width_with_margins(const DecodedPicture* p) { return 8u * p->widthInMbs + 16u; }

struct DecoderState {
  uint16_t lumaPitch;     // coded width + 64; 0 when no decoder is open
  uint16_t chromaPitch;
  uint16_t lumaHeight;    // coded height
  uint16_t chromaHeight;
  uint16_t outputWidth;
  uint16_t outputHeight;

  // Annex B input not yet parsed.
  const uint8_t* parseReadPtr;
  int32_t parseBytesLeft;

  DecodedPicture* startPicture;
  uint8_t outputStarted;
  uint8_t endOfStream;
  int16_t outputDelayCount;

  SequenceParameterSet* spsList;  // list heads; empty while their
  PictureParameterSet* ppsList;   // seq_parameter_set_id is 255

  FrameBuffer* frameBuffers;
  DecodedPicture* pictures;
  DecodedPicture* currentPicture;  // the access unit being assembled
  DecodedPicture* lastPicture;
  DecodedPicture* nextOutputPicture;
  uint32_t accessUnitCounter;
  int32_t outputPosition;
  int32_t seekStep;
  uint32_t pictureCount;
  uint32_t frameBufferCount;
  uint32_t sequenceBase;
  uint32_t leadingSkipCount;
  uint32_t outputFormat;

  // Annex B parser state, kept between calls.
  uint8_t zeroRun;        // zeros since the last non-zero byte; 0xFF: header byte next
  uint8_t copying;        // a wanted NAL unit's payload is being copied
  uint32_t wordFill;      // bytes in the current four-byte group of the payload
  uint8_t wholeNalUnits;  // every input buffer ends at the end of a NAL unit
  uint8_t decodeOrderOutput;
  uint8_t prevNalType;
  uint8_t prevNalRefIdc;

  // Timing SEI state: removal time of the last buffering-period picture and
  // whether a buffering period is waiting for its picture's timing.
  int32_t removalTimeBase;
  uint8_t bufferingPeriodSeen;

  VideoUserData lastUserData;
  uint16_t lastOutputWidth;  // size of the picture last written (the open output size before any)
  uint16_t lastOutputHeight;

  // Opens the next access unit when an access unit delimiter follows a slice;
  // null where no picture pool exists (the stream inspection calls).
  int32_t (*openAccessUnit)(DecoderState*);
  // Output keys of pictures opened since the last IDR picture or memory
  // management operation 5 are picture order counts plus this base, so keys
  // keep rising across such resets.
  int32_t keyBase;
  int32_t highestKey;
  uint32_t keyEpoch;  // times keyBase rose: keys compare in order within one epoch only
  uint8_t poolExhausted;  // no free picture record or frame buffer was left
  // Why the last parameter set was refused, 0 when it was not refused for its
  // syntax: a refusal code (kVideoRefusal... in bits 0..7, its detail in bits
  // 8..15; see sps_refusal).
  uint16_t paramSetRefusal;
  // A recovery point SEI came for the access unit being assembled (cleared
  // by its first slice).
  uint8_t recoveryPoint;
  uint32_t recoveryFrameCnt;  // of that recovery point
};
