// Left and upper neighbours of a macroblock's 4x4 luma and chroma blocks:
// the record that holds the neighbouring block (the current one for inner
// blocks, null when unavailable) and the block's index in it. In MBAFF
// frames the left neighbour of a left-column block follows the pair modes:
// a frame macroblock beside a field pair takes blocks 5/7 (top) or 13/15
// (bottom) of the left record; a field macroblock beside a frame pair takes
// its lower half from the bottom record of the left pair.
#pragma once

#include "mb_record.h"

namespace neighbour_blocks {

constexpr uint8_t LeftNeighbour4x4IdxTable[16] = {5, 0, 7, 2, 1, 4, 3, 6, 13, 8, 15, 10, 9, 12, 11, 14};
constexpr uint8_t UpNeighbour4x4IdxTable[16] = {10, 11, 0, 1, 14, 15, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13};
constexpr uint8_t LeftNeighbourChromaIdxTable[4] = {1, 0, 3, 2};
constexpr uint8_t UpNeighbourChromaIdxTable[4] = {2, 3, 0, 1};

inline const MacroblockRecord* left_luma(const MacroblockRecord* mb, int blk, bool mbaff, int* nblk) {
  const int b8 = blk >> 2, b4 = blk & 3;
  *nblk = LeftNeighbour4x4IdxTable[blk];
  if ((b8 & 1) != 0 || (b4 & 1) != 0) return mb;
  const MacroblockRecord* a = mb->neighbour_a;
  if (a == nullptr || !mbaff) return a;
  const bool curFrame = mb->mb_structure == kFrame, leftFrame = a->mb_structure == kFrame;
  if (curFrame && !leftFrame) {
    *nblk = ((mb->mb_addr & 1) ? 13 : 5) + (b8 & 2);
  } else if (!curFrame && leftFrame) {
    if (b8 >= 2) ++a;
    *nblk = 5 + 4 * (b4 & 2);
  }
  return a;
}

// Which 4x4 block of the left neighbour's 8x8 block an Intra 8x8 block takes
// its predicted mode from (as an offset inside that 8x8 block): the upper
// right one, except for the lower 8x8 blocks of a frame macroblock beside a
// field pair in an MBAFF frame, which take the lower right one.
inline int left_mode_offset_8x8(const MacroblockRecord* mb, const MacroblockRecord* a, int blk, bool mbaff) {
  return mbaff && blk == 8 && a != nullptr && mb->mb_structure == kFrame && a->mb_structure != kFrame ? 3 : 1;
}

inline const MacroblockRecord* up_luma(const MacroblockRecord* mb, int blk, int* nblk) {
  *nblk = UpNeighbour4x4IdxTable[blk];
  return ((blk >> 3) & 1) != 0 || (blk & 2) != 0 ? mb : mb->neighbour_b;
}

inline const MacroblockRecord* left_chroma(const MacroblockRecord* mb, int b4, bool mbaff, int* nblk) {
  *nblk = LeftNeighbourChromaIdxTable[b4];
  if (b4 & 1) return mb;
  const MacroblockRecord* a = mb->neighbour_a;
  if (a == nullptr || !mbaff) return a;
  const bool curFrame = mb->mb_structure == kFrame, leftFrame = a->mb_structure == kFrame;
  if (curFrame && !leftFrame) {
    *nblk = (mb->mb_addr & 1) ? 3 : 1;
  } else if (!curFrame && leftFrame) {
    if (b4 >= 2) ++a;
    *nblk = 1;
  }
  return a;
}

inline const MacroblockRecord* up_chroma(const MacroblockRecord* mb, int b4, int* nblk) {
  *nblk = UpNeighbourChromaIdxTable[b4];
  return (b4 & 2) ? mb : mb->neighbour_b;
}

}  // namespace neighbour_blocks
