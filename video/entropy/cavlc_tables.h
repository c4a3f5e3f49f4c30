// CAVLC code tables: the code lists of coeff_token, total_zeros and
// run_before, and the single-lookup tables the slice decoder's residual
// reads, built from the lists by AllocateCAVLCTables when a decoder opens
// and shared by every slice, thread and decoder instance until the last
// user releases them with FreeCAVLCTables.
#pragma once

#include <cstdint>

#include "cavlc_block.h"
#include "vpImage.h"

// The code lists: word 0 the longest length, word 1 the level count, the
// index bits per level, then per code length a count and its entries, ended
// by -1 (the layout the multi-level table builders of the CAVLC block
// primitives read; their callers build those tables from these lists).
struct CavlcCodeList {
  const char* name;
  const int32_t* words;
  int entryWords;  // 3 for coeff_token (code, TrailingOnes, TotalCoeff), else 2
};
extern const CavlcCodeList kCavlcCodeLists[30];

// The same codes as single-lookup tables for the residual decoder, built
// from the code lists. Entries are 0 where no code begins.
//
// coeff_token by class (0 for 0 <= nC < 2, 1 for 2..3, 2 for 4..7, 3 for
// 4:2:0 chroma DC):
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

// The tables the residual decoder reads: the set built by the first
// AllocateCAVLCTables that found none, held while any user holds it (null
// when none does). Hidden, so that the decoder reaches it straight from its
// own data with one load.
extern const CavlcFlatTables* CavlcTables __attribute__((visibility("hidden")));

// Takes a hold on the tables for one more user (a decoder instance),
// building them when no user holds them: 0, or 6 when memory ran out (no
// hold is then taken and nothing is kept). Thread-safe.
uint32_t AllocateCAVLCTables();
// Releases one user's hold; the last release frees the tables. A release
// without a hold does nothing.
void FreeCAVLCTables();

namespace cavlc {
namespace {

// CavlcTables as the code tables of the block decoder (cavlc_block.h): the
// ones the slice decoder's residual runs with, while a hold is taken.
struct FlatTables {
  // By leading zeros and the 3 bits after the first 1.
  static int coeff_token(Window& w, int cls, int* totalCoeff, int* trailingOnes) {
    const int zeros = clz64(w.v | (uint64_t{1} << 31));
    const uint16_t e = CavlcTables->coeffToken[cls][8 * zeros + bits_after(w.v, zeros + 1, 3)];
    if (__builtin_expect(e == 0, 0)) return StatusVlcBadCode;
    w.take(e & 31);
    *trailingOnes = (e >> 5) & 3;
    *totalCoeff = e >> 7;
    return 0;
  }
  static int total_zeros(Window& w, int totalCoeff, int maxNum) {
    const CavlcDirectIndex& t = CavlcTables->totalZerosIndex[maxNum == 4 ? 16 + totalCoeff : totalCoeff];
    w.need(9);
    const uint8_t e = CavlcTables->totalZeros[t.offset + (w.v >> (64 - t.bits))];
    if (__builtin_expect(e == 0, 0)) return StatusVlcBadCode;
    w.take(e >> 4);
    return e & 15;
  }
  // The table's runs never exceed their row's zerosLeft; only the codes told
  // by their leading zeros (zerosLeft 7 and above) can, and are cut to it.
  static int run_before(Window& w, int zerosLeft) {
    w.need(11);
    const uint8_t e = CavlcTables->runBefore[zerosLeft][w.v >> 61];
    if (__builtin_expect(e != 0, 1)) {
      w.take((e >> 4) & 7);
      return e & 15;
    }
    const int zeros = clz64(w.v | 1);  // zerosLeft above 6, bits 000
    if (zeros > 10) return StatusVlcBadCode;
    w.take(zeros + 1);
    return zeros + 4 < zerosLeft ? zeros + 4 : zerosLeft;
  }
};

}  // namespace
}  // namespace cavlc
