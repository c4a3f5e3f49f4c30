// Per-macroblock record, filled by slice-data decoding and read by motion
// derivation, reconstruction and deblocking; and the compact byte values
// this decoder stores in place of mb_type and sub_mb_type.
//
// Coefficients are column-major per block (row y, column x at 4x + y; an 8x8
// transform quadrant is one block of 64 at 8x + y); the inverse transforms
// then reuse the same storage for the residual, row by row.
#pragma once

#include <cstdint>

#include "picture_structure.h"

struct SliceDecodeContext;
struct DecodedPicture;

struct MacroblockRecord {
  MacroblockRecord* neighbour_a;  // left, or null when unavailable
  MacroblockRecord* neighbour_b;  // above
  MacroblockRecord* neighbour_c;  // above right
  MacroblockRecord* neighbour_d;  // above left
  uint8_t mb_field_decoding_flag;
  uint8_t mb_type;  // MbTypeCode
  uint8_t transform_size_8x8_flag;
  uint8_t qp_y;
  int8_t qp_cb;
  int8_t qp_cr;
  uint8_t intra_pred_mode[16];  // luma4x4BlkIdx order; an 8x8 mode fills its four slots
  uint8_t intra_chroma_pred_mode;
  uint8_t cbp_luma;    // bit q: quadrant q coded
  uint8_t cbp_chroma;  // 0 none, 1 DC, 2 or 3 DC and AC
  alignas(16) int16_t luma_coeff[16 * 16];
  uint16_t luma_nonzero_mask;  // bit k: 4x4 block k has coefficients
  uint16_t luma_dc_nonzero;    // Intra16x16 DC block had coefficients
  alignas(16) int16_t chroma_coeff[2 * 4 * 16];  // Cb blocks 0..3, then Cr
  uint8_t chroma_nonzero_mask;  // CABAC: bit 0 Cb DC, bit 1 Cr DC
  uint32_t chroma_ac_cbf_mask;  // bit b: Cb AC block b; bit 16 + b: Cr
  int8_t ref_idx_l0[4];         // per quadrant
  int8_t ref_idx_l1[4];
  DecodedPicture* ref_pic_l0[4];
  DecodedPicture* ref_pic_l1[4];
  uint8_t sub_mb_type[4];  // SubMbTypeCode
  uint8_t pred_flag_l0[4];
  uint8_t pred_flag_l1[4];
  int16_t mvd_l0[16][2];  // per 4x4 block, x then y
  int16_t mv_l0[16][2];
  int16_t mvd_l1[16][2];
  int16_t mv_l1[16][2];
  uint8_t ref_id_l0[16];
  uint8_t ref_id_l1[16];
  int16_t total_coeff_luma[16];   // CAVLC TotalCoeff per luma 4x4 block
  int16_t total_coeff_chroma[8];  // per chroma AC block, Cb then Cr
  uint8_t mb_structure;           // kTopField, kBottomField or kFrame
  uint32_t mb_addr;
  uint8_t slice_first_flag;
  uint8_t deblock_idc;
  int8_t filter_offset_a;
  int8_t filter_offset_b;
  uint32_t slice_mb_count;
  SliceDecodeContext* slice;
  // In memory only: the coefficient blocks that may hold non-zero values
  // (bit k: luma 4x4 block k, bit 16: the chroma blocks), so that a record
  // taken for a new macroblock clears just those. Zero in a zeroed record.
  uint32_t coeff_dirty;
};

// MbTypeCode: bit 7 skipped; (code & 0x60) == 0x40 intra; otherwise
// (pred0 << 4) | (pred1 << 2) | shape with pred 1 L0, 2 L1, 3 Bi and shape
// 0 16x16, 1 16x8, 2 8x16, 3 8x8.
enum : uint8_t {
  MbI_NxN = 64,
  MbI_16x16_First = 65,  // 65..88: I mb_type 1..24
  MbI_16x16_Last = 88,
  MbI_PCM = 95,
  MbL0_16x16 = 20,
  MbL0_L0_16x8 = 21,
  MbL0_L0_8x16 = 22,
  Mb8x8 = 3,
  MbP_8x8ref0 = 35,
  MbP_Skip = 147,
  MbB_Direct_16x16 = 107,
  MbB_Skip = 227,
};

// SubMbTypeCode: NumSubMbPart | pred << 3 | shape << 5; 252 is B_Direct_8x8.
enum : uint8_t {
  SubMbB_Direct_8x8 = 252,
};

inline bool mb_is_intra(uint8_t code) { return (code & 0x60) == 0x40; }
inline bool mb_is_skipped(uint8_t code) { return (code & 0x80) != 0; }

// Codes of the standard's mb_type values of each slice type (intra values
// included: P 5..30, B 23..48) and of sub_mb_type.
extern const uint8_t kPMbTypeCodes[31];
extern const uint8_t kBMbTypeCodes[49];
extern const uint8_t kPSubMbTypeCodes[4];
extern const uint8_t kBSubMbTypeCodes[13];
