// Process-wide CAVLC code tables, shared read-only by every slice, thread
// and decoder instance between the first AllocateCAVLCTables and the last
// FreeCAVLCTables.
#pragma once

#include <cstdint>

#include "vpImage.h"

// coeff_token by nC class: 0 for 0 <= nC < 2, 1 for 2..3, 2 for 4..7,
// 3 for nC = -1 (4:2:0 chroma DC), 4 for nC = -2.
extern const HuffmanTable_32s* CoeffTokenTable[5];
// total_zeros of 4x4 and AC blocks by TotalCoeff (1..15).
extern const HuffmanTable_32s* TotalZerosTable[16];
// total_zeros of 2x2 chroma DC blocks by TotalCoeff (1..3).
extern const HuffmanTable_32s* TotalZerosCRTable[4];
// run_before by zerosLeft (1..15; 7 and above share one table).
extern const HuffmanTable_32s* RunBeforeTable[16];

// Builds the tables for one more user: 0, or 6 when memory ran out (nothing
// is then held for this caller). The first user builds them; later users
// share them.
uint32_t AllocateCAVLCTables();
// Releases one user's hold; the last release frees the tables.
void FreeCAVLCTables();

// The code lists the tables are built from (exposed for the tests): word 0
// the longest length, word 1 the level count, the index bits per level, then
// per code length a count and its entries, ended by -1.
struct CavlcCodeList {
  const char* name;
  const int32_t* words;
  int entryWords;  // 3 for coeff_token (code, TrailingOnes, TotalCoeff), else 2
};
extern const CavlcCodeList kCavlcCodeLists[30];

// The same codes as single-lookup tables for the residual decoder, built at
// compile time from the code lists (no allocation, valid for the whole
// process). Entries are 0 where no code begins.
//
// coeff_token by class (0..2 as CoeffTokenTable, 3 for 4:2:0 chroma DC):
// entry [8 x z + s], z the leading zero bits of the code (0..32, 32 also for
// 32 or more) and s the 3 bits after its first 1 bit; the entry is
// length | TrailingOnes << 5 | TotalCoeff << 7.
//
// total_zeros of table k (TotalCoeff k of a 4x4 or AC block, 16 + TotalCoeff
// of a chroma DC block): entries from totalZerosIndex[k].offset, indexed by
// the next totalZerosIndex[k].bits bits; the entry is value | length << 4.
//
// run_before by zerosLeft (0..15; 7 and above share their codes), indexed
// by the next 3 bits: 0x80 | value | length << 4. Row 0 reads nothing (run 0,
// length 0). Rows 7 and above hold 0 for the bits 000, whose codes are told
// by their leading zeros z (3..10): run_before 4 + z, length z + 1.
struct CavlcDirectIndex {
  uint16_t offset;
  uint8_t bits;
};
constexpr int kCavlcTotalZerosEntries = 1052;
struct CavlcFlatTables {
  uint16_t coeffToken[4][33 * 8];
  CavlcDirectIndex totalZerosIndex[20];
  uint8_t totalZeros[kCavlcTotalZerosEntries];
  uint8_t runBefore[16][8];
};
extern const CavlcFlatTables kCavlcFlat;
