// The multi-level code tables that the exported CAVLC block primitives walk,
// built once for the process from the decoder's code lists with the
// primitives' own builders: what a caller of those primitives holds (the
// slice decoder reads its single-lookup tables instead).
#pragma once

#include "cavlc_tables.h"
#include "vpImage.h"

struct CavlcCodeTables {
  // Slots as the block primitives take them: coeff_token by nC class (0 for
  // 0 <= nC < 2, 1 for 2..3, 2 for 4..7, 3 chroma DC, 4 nC = -2), total_zeros
  // by TotalCoeff 1..15, chroma DC total_zeros by TotalCoeff 1..3, run_before
  // by zerosLeft 1..15 (7 and above share one table).
  const HuffmanTable_32s* CoeffTokenTable[5] = {};
  const HuffmanTable_32s* TotalZerosTable[16] = {};
  const HuffmanTable_32s* TotalZerosCRTable[4] = {};
  const HuffmanTable_32s* RunBeforeTable[16] = {};
  bool built = true;  // every list built

  CavlcCodeTables() {
    for (int i = 0; i < 30; ++i) {
      const CavlcCodeList& list = kCavlcCodeLists[i];
      HuffmanTable_32s* t = nullptr;
      const VpStatus s = list.entryWords == 3 ? vpiHuffmanRunLevelTableInitAlloc_32s(list.words, &t)
                                              : vpiHuffmanTableInitAlloc_32s(list.words, &t);
      if (s != StatusOk) built = false;
      *slot_of_list(i) = t;
    }
    for (int k = 8; k < 16; ++k) RunBeforeTable[k] = RunBeforeTable[7];
  }
  ~CavlcCodeTables() {
    for (int i = 0; i < 30; ++i)
      if (*slot_of_list(i) != nullptr) vpiHuffmanTableFree_32s(const_cast<HuffmanTable_32s*>(*slot_of_list(i)));
  }
  CavlcCodeTables(const CavlcCodeTables&) = delete;
  CavlcCodeTables& operator=(const CavlcCodeTables&) = delete;

  // The slot that list i of kCavlcCodeLists fills.
  const HuffmanTable_32s** slot_of_list(int i) {
    if (i < 5) return &CoeffTokenTable[i];
    if (i < 8) return &TotalZerosCRTable[i - 4];
    if (i < 23) return &TotalZerosTable[i - 7];
    return &RunBeforeTable[i - 22];
  }
};

inline CavlcCodeTables& cavlc_code_tables() {
  static CavlcCodeTables tables;
  return tables;
}
