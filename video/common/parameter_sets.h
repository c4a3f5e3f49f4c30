// Sequence and picture parameter sets: records, version lists and parsers.
// Each id keeps a chain of versions stamped with the access-unit counter from
// which they are valid, so pictures already queued keep the set they were
// parsed with while a new one arrives.
#pragma once

#include <cstdint>

#include "AVCHDVideoDecoder.h"
#include "bitstream.h"

// One version of a sequence parameter set: the coded fields, then the values
// derived from them and the list links.
struct SequenceParameterSet : SequenceParameterSetFields {
  uint32_t MaxFrameNum;
  uint32_t MaxPicOrderCntLsb;
  uint32_t PicWidthInMbs;
  uint32_t FrameHeightInMbs;
  uint32_t validFrom;                 // access-unit counter when parsed
  SequenceParameterSet* nextVersion;  // next version of the same id
  SequenceParameterSet* nextId;       // first version of the next id
};

struct PictureParameterSetLinks {
  SequenceParameterSet* sps;          // the SPS version it refers to
  uint32_t validFrom;
  struct PictureParameterSet* nextVersion;
  struct PictureParameterSet* nextId;
};

// One version of a picture parameter set: its links, then the coded fields.
struct PictureParameterSet : PictureParameterSetLinks, PictureParameterSetFields {};

// Result codes of the parameter-set parsers.
enum : int32_t {
  kParamSetOk = 0,
  kParamSetNoMemory = 1,
  kParamSetNoSps = 2,
  kParamSetUnsupported = 12,
};

// Parses the SPS RBSP at the reader into the decoder state's SPS list (the
// ThreadBuffer's decoderState gives it where the list starts, which access
// unit number is current, and the access unit under construction). 0, 12 (also
// for a set that ran past
// its NAL unit, which never enters the list), or 1 when no memory was left.
int32_t DecodeSequenceParameterSet(ThreadBuffer* tb);

// Parses a PPS RBSP into the PPS list: 0, 2 (no SPS with its id), 12 or 1. With
// `inspect` set it parses into the list head itself, without SPS lookup or
// versioning, and stops after redundant_pic_cnt_present_flag.
int32_t DecodePictureParameterSet(ThreadBuffer* tb, uint32_t inspect);

// The refusal code of a sequence parameter set the decoding pipeline does
// not support, kVideoRefusalNone (0) for one it does: the reason
// (kVideoRefusal...) in bits 0..7, and in bits 8..15 the chroma_format_idc
// of a chroma-format refusal or the bits per sample of a bit-depth one.
uint32_t sps_refusal(const SequenceParameterSetFields& f);

// Scaling matrices of a set (part of the two parsers).
void seq_param_scaling_list(BitReaderCabac* r, SequenceParameterSet* sps);
void pic_param_scaling_list(BitReaderCabac* r, PictureParameterSet* pps);

// Marks a record as an empty list head.
void InitSequenceParameterSetHead(SequenceParameterSet* head);
void InitPictureParameterSetHead(PictureParameterSet* head);

// Frees every record behind a list head (every id and every version) and
// empties the head; the head itself stays.
void FreeSequenceParameterSets(SequenceParameterSet* head);
void FreePictureParameterSets(PictureParameterSet* head);

// Newest version of an id, or null.
SequenceParameterSet* FindSequenceParameterSet(SequenceParameterSet* head, uint32_t id);
PictureParameterSet* FindPictureParameterSet(PictureParameterSet* head, uint32_t id);

// Frame scans of 4x4 and 8x8 blocks (scan index to raster index) and the
// default scaling lists (intra then inter), in raster order.
extern const uint8_t ZIGZAG_SCAN[16];
extern const uint8_t ZIGZAG_SCAN8x8[64];
extern const uint8_t default_quant_4x4[2][16];
extern const uint8_t default_quant_8x8[2][64];
