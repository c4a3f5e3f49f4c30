// CABAC residual of one macroblock: coded_block_flag, significance maps,
// levels and signs of every 4:2:0 block category, each coefficient
// dequantised as it is decoded and written into the record, the Intra16x16
// DC Hadamard and the chroma DC transform run as soon as their block is
// decoded, and the coded masks that later macroblocks read as neighbours.
#pragma once

#include <cstdint>

#include "cabac_engine.h"
#include "cavlc_residual.h"
#include "mb_record.h"

// Entry points by the macroblock's transform: 4x4 (not Intra16x16), 8x8,
// Intra16x16. Each decodes the luma quadrants its cbp_luma names and then
// the chroma residual when cbp_chroma is not 0. `contexts` is the slice's
// whole context array.
void cabac_residual_4x4(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q);
void cabac_residual_8x8(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q);
void cabac_residual_16x16(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q);
void cabac_residual_Chroma(ThreadBuffer* tb, MacroblockRecord* mb, CabacContext* contexts, const ResidualQuant& q);

// Absolute level (coeff_abs_level_minus1 + 1) with the category's level
// contexts; bounded to 16 bits (a longer suffix marks the slice damaged).
uint32_t cabac_coeff_abs_level_minus1(ThreadBuffer* tb, CabacContext* levelCtx, uint32_t numDecodAbsLevelGt1,
                                      uint32_t numDecodAbsLevelEq1);

extern const uint8_t FRAME_SCAN4x4[16];
extern const uint8_t FIELD_SCAN4x4[16];
extern const uint8_t MapScanPos_SigCoeff_i8x8_frame[64];
extern const uint8_t MapScanPos_SigCoeff_i8x8_field[64];
extern const uint8_t MapScanPos_LastCoeff_i8x8[64];
