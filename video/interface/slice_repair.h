// Repairs of damaged slice headers, read beside the parser (slice_repair.cpp)
// and called by it (slice_header.cpp): a slice's NAL unit type read as the
// other one, a reference picture that may have been none, the first
// picture's order count read as an IDR picture's, and reference field pairs
// that came exchanged. Declared for those two files only.
#pragma once

#include <cstdint>

#include "decoder_engine.h"

// The fields of a slice header up to the picture order count, as compared
// between slices.
struct HeaderStart {
  uint32_t first_mb_in_slice;
  uint32_t slice_type;
  uint32_t pps_id;
  PictureParameterSet* pps;
  uint32_t frame_num;
  uint8_t field_pic_flag;
  uint8_t bottom_field_flag;
  uint32_t idr_pic_id;
  uint32_t poc_lsb;
  int32_t delta_bottom;
  int32_t delta[2];
};

// The parser's, which the repairs read headers with (slice_header.cpp).

// Reads the header up to the picture order count fields; false when no PPS
// fits (the PPS pointer then stays null).
bool read_header_start(BitReaderCabac* r, PictureParameterSet* ppsList, uint32_t accessUnit, uint32_t nalType,
                       HeaderStart* h);
// PicOrderCntMsb of a picture with pic_order_cnt_lsb `lsb` after a
// reference picture with (prevMsb, prevLsb).
int32_t order_count_msb(int32_t prevMsb, int32_t prevLsb, int32_t lsb, int32_t maxLsb);

// The repairs (slice_repair.cpp).

// Before the slice header is read: a slice typed IDR that cannot be one is
// read as type 1 (retype_idr_as_non_idr), the stream's first I slice typed
// 1 that reads whole only as IDR as type 5 (retype_non_idr_as_idr).
void retype_damaged_slice(ThreadBuffer* tb, NalUnit* nal);
// Type 5 to type 1 (or, for the stream's first picture, type 5 kept and
// made a reference).
void retype_idr_as_non_idr(ThreadBuffer* tb, NalUnit* nal);
// Type 1 to type 5, for the stream's first reference I slice.
void retype_non_idr_as_idr(ThreadBuffer* tb, NalUnit* nal);
// The stream's first picture, kept non-IDR, given the order count base of
// its IDR reading when the picture after it shows that it was IDR.
void reread_first_picture_as_idr(VideoDecoder* dec, const SliceDecodeContext* s, const SequenceParameterSet* sps,
                                 bool idr, DecodedPicture* p);
// A slice retyped from IDR with a nal_ref_idc other than 0, its header read
// up to the reference counts (reader `r` there): true when the header ends
// whole without dec_ref_pic_marking() and not with it. The damage that
// typed it IDR then set its nal_ref_idc too: it is a non-reference slice,
// and the bits where the marking would stand are the rest of its header.
// `absentIfWhole`: the header ending whole without the marking is enough
// (other evidence shows the slice is no reference).
bool marking_absent(BitReaderCabac r, const SliceDecodeContext* s, const PictureParameterSet* pps,
                    const SequenceParameterSet* sps, bool absentIfWhole);
// Whether the picture before p is the non-reference first field of the
// frame of p (header `h`): a reference field cannot pair with it.
bool follows_non_reference_first_field(const DecodedPicture* p, const HeaderStart& h);
// A reference picture, its marking just read: what the marking ended stays
// a reference until the next picture settles whether it was a reference.
void hold_marking_of_doubtful_reference(VideoDecoder* dec, DecodedPicture* p);
// At the next picture: the picture in doubt made a non-reference picture
// when that picture's frame_num shows it was one (a non-reference picture
// repeating it is reported), else its marking applied.
void demote_reference_in_doubt(VideoDecoder* dec, DecodedPicture* p, const HeaderStart& h, bool idr,
                               uint8_t nalRefIdc);
// A reference field pair exchanged in the stream, reported at the set-up of
// its second field, or at its first P or B slice when both fields read as
// intra until then.
void note_field_order(VideoDecoder* dec, DecodedPicture* p, bool restart);
// Every slice of a picture set up: the picture marked as one with P or B
// slices.
void note_predicted_slice(VideoDecoder* dec, DecodedPicture* p, uint32_t sliceType);
