// CABAC residual of one macroblock: coded_block_flag, significance maps,
// levels and signs of every 4:2:0 block category, each coefficient
// dequantised as it is decoded and written into the record, the Intra16x16
// DC Hadamard and the chroma DC transform run as soon as their block is
// decoded, and the coded masks that later macroblocks read as neighbours.
#pragma once

#include <cstdint>

#include "cabac_engine.h"
#include "cabac_syntax.h"
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

// The rare tail of coeff_abs_level_minus1: the Exp-Golomb suffix of order 0
// in bypass bins after 14 prefix ones, on the engine stored in the reader.
// Returns the absolute level, bounded to 16 bits (a longer suffix marks the
// slice damaged). Out of line, so that the block loops hold the engine in
// registers; of internal linkage (static, as the level decoder that calls
// it), so that the compiler knows which registers the call leaves alone.
static inline __attribute__((noinline, cold)) uint32_t cabac_coeff_abs_level_suffix(BitReaderCabac* r) {
  constexpr uint32_t kMaxAbs = 32767;
  CabacScope e(r);
  uint32_t v = 14;
  uint32_t k = 0;
  while (e.bypass()) {
    v += 1u << k;
    if (++k >= 15) {
      cabac_mark_damaged(r);
      return kMaxAbs;
    }
  }
  uint32_t suffix = 0;
  while (k--) suffix = (suffix << 1) | e.bypass();
  v += suffix + 1;
  if (v > kMaxAbs) {
    cabac_mark_damaged(r);
    v = kMaxAbs;
  }
  return v;
}

// coeff_abs_level_minus1 + 1 once its first prefix bin was 1: the further
// prefix bins, which share the context `rest` (held in a register while
// they last), and the suffix after fourteen.
static __attribute__((always_inline)) inline uint32_t cabac_coeff_abs_level_above_1(CabacLocal& e, CabacContext* rest) {
  uint32_t key = CabacLocal::load_key(rest);
  uint32_t v = 1;
  while (v < 14 && e.decision_held(key)) ++v;
  CabacLocal::store_key(rest, key);
  if (__builtin_expect(v < 14, 1)) return v + 1;
  e.store();
  v = cabac_coeff_abs_level_suffix(e.r);
  e = CabacLocal(e.r);
  return v;
}

// Absolute level (coeff_abs_level_minus1 + 1). The block loops keep the
// level contexts that the counts of the levels decoded so far select
// (numDecodAbsLevelEq1, numDecodAbsLevelGt1): the first prefix bin decides
// on `firstKey`, the context of that bin held in a register as its key
// (CabacLocal::load_key), the others on `rest`. (The loop over the levels
// up to the first above 1 takes its first bin itself, as what follows it
// differs by the bin, and then the rest of the level from
// cabac_coeff_abs_level_above_1.)
static __attribute__((always_inline)) inline uint32_t cabac_coeff_abs_level_minus1(CabacLocal& e, uint32_t& firstKey,
                                                                                   CabacContext* rest) {
  if (!e.decision_held(firstKey)) return 1;
  return cabac_coeff_abs_level_above_1(e, rest);
}

extern const uint8_t FRAME_SCAN4x4[16];
extern const uint8_t FIELD_SCAN4x4[16];
extern const uint8_t MapScanPos_SigCoeff_i8x8_frame[64];
extern const uint8_t MapScanPos_SigCoeff_i8x8_field[64];
extern const uint8_t MapScanPos_LastCoeff_i8x8[64];
