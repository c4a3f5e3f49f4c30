// Constant tables of the AC-3 decoder. The allocation tables hold exactly the
// values of the A/52 tables of the same lower-case name; the quantiser tables
// hold the A/52 mantissa levels times 32768.
#pragma once

#include <cstdint>

namespace ac3dec {

struct FrameSizeRow {
  uint16_t kbps;
  uint16_t words[3];  // 16-bit words per syncframe by fscod
};

extern const uint32_t SAMPLING_RATE[3];
extern const FrameSizeRow FRAMESIZECODE[38];
extern const uint8_t NFCHANS[8];
extern const uint16_t NFRONT[8];
extern const uint16_t NREAR[8];
extern const uint8_t bit_mask_table[9];
extern const uint16_t crcTable[256];

// Bit allocation.
extern const int16_t BNDTAB[50];
extern const uint8_t BNDSZ[50];
extern const int16_t MASKTAB[256];
extern const int16_t LATAB[256];
extern const int16_t HTH[3][50];
extern const uint8_t BAPTAB[64];
extern const uint8_t SLOWDEC[4];
extern const uint8_t FASTDEC[4];
extern const int16_t SLOWGAIN[4];
extern const int16_t DBPBTAB[4];
extern const int16_t FLOORTAB[8];
extern const int16_t FASTGAIN[8];

// Mantissas. Rows of the grouped tables past the last valid code are 0.0, as
// is bap 3 code 7 and bap 5 code 15 (codes without a quantiser level).
extern const uint8_t QNTZTAB[16];
extern const float (&bap1_mantissas)[32][3];
extern const float (&bap2_mantissas)[128][3];
extern const float bap3_mantissas[8];
extern const float (&bap4_mantissas)[128][2];
extern const float bap5_mantissas[16];
// Entry e is 2^-(15 + e) for e = 0..24, 0.0 for 25..31.
extern const float (&u32_scale_factors)[32];
extern const float* const scaleFactor;

// Synthesis.
extern const uint8_t rematrixBandTable[4][2];
extern const float TransformWindow[256];
extern const float DialnormTab[32];
extern const float Clev[4];
extern const float Slev[4];

}  // namespace ac3dec
