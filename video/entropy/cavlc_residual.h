// CAVLC residual of one macroblock, dequantised while it is parsed.
#pragma once

#include <cstdint>

#include "bitstream.h"
#include "mb_record.h"

// What the residual decoders take from the slice: the LevelScale tables
// (4x4: intra Y, Cb, Cr, inter Y, Cb, Cr; 8x8: intra Y, inter Y; rows by
// qP % 6, entries in the coefficients' column-major order), the running
// QP'Y, QP'Cb and QP'Cr, and whether the frame is MBAFF.
struct ResidualQuant {
  const int32_t (*ls4x4)[6][16];
  const int32_t (*ls8x8)[6][64];
  int32_t qpY;
  int32_t qpCb;
  int32_t qpCr;
  uint8_t mbaff;
};

// Reader state after a failed residual: a code that no table holds, a block
// that would not fit its coefficients, or data that ran past the payload.
// The slice that meets it is refused.
constexpr uint32_t kReaderDamaged = 2;

// Luma and chroma residual of a macroblock whose mb_type, cbp and
// transform_size_8x8_flag are in the record: 4x4 blocks, 8x8 blocks as four
// interleaved 4x4 reads, or Intra16x16 DC and AC. Each ends with the chroma
// residual (or clears the chroma counts when cbp_chroma is 0). The
// coefficient blocks must enter zero (clear_coefficients): only the coded
// coefficients are stored.
void cavlc_residual_4x4(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q);
void cavlc_residual_8x8(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q);
void cavlc_residual_16x16(BitReaderCabac* r, MacroblockRecord* mb, const ResidualQuant& q);

// Scans: storage index of each scan position.
extern const int32_t FRAME_SCAN_CAVLC[16];
extern const int32_t FIELD_SCAN_CAVLC[16];
extern const int32_t SCAN_CAVLC[16];
extern const uint8_t FRAME_SCAN8x8[64];
extern const uint8_t FIELD_SCAN8x8[64];
