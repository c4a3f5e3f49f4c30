// Neighbouring locations in MBAFF frames: for a sample position (xN, yN)
// relative to the upper-left sample of the current macroblock, the
// macroblock that covers it and the position (xW, yW) inside that
// macroblock, following the standard's table for macroblock pairs. Frame and
// field macroblocks differ in which macroblock of a neighbouring pair and
// which of its rows a position falls on; a frame pair beside a field pair is
// where the two disagree with plain geometry.
//
// Every MBAFF neighbour of motion-vector prediction, direct prediction and
// the per-block predictors is derived here; the named per-block routines are
// thin wrappers around it.
#pragma once

#include <cstdint>

#include "mb_record.h"

struct NeighbourLocation {
  MacroblockRecord* mb;  // null when the position is not available
  int x, y;              // position inside mb
};

// maxW, maxH: 16 for luma, 8 for 4:2:0 chroma. The pairs around the current
// one are read from the links of the pair's top macroblock (its A link is
// the left pair's top macroblock; its B, C and D links point into the
// pairs above); a null link marks a pair that is not available.
inline NeighbourLocation mbaff_neighbour_location(MacroblockRecord* cur, int xN, int yN, int maxW = 16, int maxH = 16);

// The same for the positions on the macroblock's edges that the 16x16
// predictors read, (-1, 0) and (xN, -1) with -1 <= xN <= 16, from the
// current macroblock's own links: slice-data decoding links each macroblock
// of a pair for its own field/frame kind, which places exactly these
// positions, so the pair logic reduces to the rows read. The row above is
// reported as 15 (the standard's row 14 of a frame pair above a top field
// macroblock lies in the same 4x4 block).
inline NeighbourLocation mbaff_edge_location(MacroblockRecord* cur, int xN, int yN);

// The same for pictures without MBAFF (frame or field pictures), from the
// current macroblock's A, B, C and D links.
inline NeighbourLocation frame_neighbour_location(MacroblockRecord* cur, int xN, int yN, int maxW = 16,
                                                  int maxH = 16);

// Asks for the record after mb, whose macroblock comes next: slice-data
// decoding filled it long before reconstruction reaches it, so its lines
// are cold, and the first routine to touch them (the motion derivation,
// then prediction and the residual) would wait for each. The address is formed
// as an integer: mb may be the last record of its picture.
inline void prefetch_next_record(const MacroblockRecord* mb) {
  const uintptr_t next = reinterpret_cast<uintptr_t>(mb) + sizeof(MacroblockRecord);
  // Unrolled: a counted loop costs three instructions per prefetch.
#pragma GCC unroll 32
  for (uintptr_t at = 0; at < sizeof(MacroblockRecord); at += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(next + at), 1);
}

// luma4x4BlkIdx of the 4x4 block that covers luma position (x, y) of a
// macroblock.
inline int luma4x4_block_at(int x, int y) { return 8 * (y >> 3) + 4 * (x >> 3) + 2 * ((y >> 2) & 1) + ((x >> 2) & 1); }

// The locations above are always inlined: motion-vector prediction asks for
// several per partition, mostly at constant positions that fold the branches
// away.
namespace mbaff_detail {

inline MacroblockRecord* pair_top(MacroblockRecord* r) { return r ? r - (r->mb_addr & 1) : nullptr; }
inline bool is_frame(const MacroblockRecord* r) { return r->mb_structure == kFrame; }

}  // namespace mbaff_detail

inline __attribute__((always_inline)) NeighbourLocation frame_neighbour_location(MacroblockRecord* cur, int xN,
                                                                                int yN, int maxW, int maxH) {
  MacroblockRecord* n = nullptr;
  if (yN > maxH - 1) return {nullptr, 0, 0};
  if (xN < 0)
    n = yN < 0 ? cur->neighbour_d : cur->neighbour_a;
  else if (xN < maxW)
    n = yN < 0 ? cur->neighbour_b : cur;
  else
    n = yN < 0 ? cur->neighbour_c : nullptr;
  if (n == nullptr) return {nullptr, 0, 0};
  return {n, (xN + maxW) % maxW, (yN + maxH) % maxH};
}

inline __attribute__((always_inline)) NeighbourLocation mbaff_neighbour_location(MacroblockRecord* cur, int xN,
                                                                                int yN, int maxW, int maxH) {
  if (xN >= 0 && xN < maxW && yN >= 0 && yN < maxH) return {cur, xN, yN};
  if (yN > maxH - 1 || (xN > maxW - 1 && yN >= 0)) return {nullptr, 0, 0};
  const bool curFrame = mbaff_detail::is_frame(cur);
  const bool top = (cur->mb_addr & 1) == 0;
  MacroblockRecord* pairTop = top ? cur : cur - 1;
  // The neighbouring pairs, each by its top macroblock.
  MacroblockRecord* pairA = pairTop->neighbour_a;
  MacroblockRecord* pairB = mbaff_detail::pair_top(pairTop->neighbour_b);
  MacroblockRecord* pairC = mbaff_detail::pair_top(pairTop->neighbour_c);
  MacroblockRecord* pairD = mbaff_detail::pair_top(pairTop->neighbour_d);

  MacroblockRecord* x = nullptr;  // the pair the position falls in (mbAddrX)
  bool lower = false;             // the bottom macroblock of that pair
  int yM = yN;
  if (xN < 0 && yN < 0) {
    if (curFrame && top) {
      x = pairD, lower = true;
    } else if (curFrame) {
      // Bottom frame macroblock: above-left lies in the left pair, beside a
      // field pair on row 7 of its bottom field macroblock.
      x = pairA;
      if (x && !mbaff_detail::is_frame(x)) lower = true, yM = (yN + maxH) >> 1;
    } else if (top) {
      x = pairD;
      if (x && mbaff_detail::is_frame(x)) lower = true, yM = 2 * yN;
    } else {
      x = pairD, lower = true;
    }
  } else if (xN < 0) {
    x = pairA;
    if (x) {
      const bool xFrame = mbaff_detail::is_frame(x);
      if (curFrame && xFrame) {
        lower = !top;
      } else if (curFrame) {
        // Frame rows alternate between the two field macroblocks.
        lower = (yN & 1) != 0;
        yM = top ? yN >> 1 : (yN + maxH) >> 1;
      } else if (xFrame) {
        // Field rows of either parity span both frame macroblocks.
        lower = yN >= maxH / 2;
        yM = (yN << 1) + (top ? 0 : 1) - (lower ? maxH : 0);
      } else {
        lower = !top;
      }
    }
  } else if (xN < maxW) {
    if (curFrame && !top) return {cur - 1, xN, (yN + maxH) % maxH};
    x = pairB;
    lower = true;
    if (x && !curFrame && top && !mbaff_detail::is_frame(x)) lower = false;
    else if (x && !curFrame && top) yM = 2 * yN;
  } else {
    if (curFrame && !top) return {nullptr, 0, 0};
    x = pairC;
    lower = true;
    if (x && !curFrame && top && !mbaff_detail::is_frame(x)) lower = false;
    else if (x && !curFrame && top) yM = 2 * yN;
  }
  if (x == nullptr) return {nullptr, 0, 0};
  return {lower ? x + 1 : x, (xN + maxW) % maxW, (yM + maxH) % maxH};
}

inline __attribute__((always_inline)) NeighbourLocation mbaff_edge_location(MacroblockRecord* cur, int xN, int yN) {
  MacroblockRecord* n = xN < 0 ? (yN < 0 ? cur->neighbour_d : cur->neighbour_a)
                               : (xN < 16 ? cur->neighbour_b : cur->neighbour_c);
  if (n == nullptr) return {nullptr, 0, 0};
  // A bottom frame macroblock beside a field pair: its first row is row 8
  // of the left pair's top field macroblock, the row above it row 7 of the
  // bottom one.
  int y = yN < 0 ? 15 : 0;
  if (xN < 0 && (cur->mb_addr & 1) != 0 && mbaff_detail::is_frame(cur) && !mbaff_detail::is_frame(n))
    y = yN < 0 ? 7 : 8;
  return {n, (xN + 16) % 16, y};
}

// What a neighbour's motion means to the current macroblock of an MBAFF
// frame: a frame macroblock sees a field neighbour's vertical vector doubled
// and its index halved (one frame for two fields), a field macroblock a
// frame neighbour's vertical vector halved toward zero and its index
// doubled. Neighbours of the same kind are read as they are.
inline void scale_between_kinds(const MacroblockRecord* cur, const MacroblockRecord* n, int16_t* mvY, int* ref) {
  const bool curField = cur->mb_structure != kFrame, nField = n->mb_structure != kFrame;
  if (!curField && nField) {
    *mvY = static_cast<int16_t>(*mvY * 2);
    *ref = *ref >> 1;
  } else if (curField && !nField) {
    *mvY = static_cast<int16_t>(*mvY / 2);
    *ref = *ref * 2;
  }
}

// The neighbour-locating policy of the sub-macroblock predictors in MBAFF
// frames: the record and 4x4 block covering luma position (xN, yN), and the
// scaling of what is read there.
struct MbaffNeighbours {
  static MacroblockRecord* locate(MacroblockRecord* cur, int xN, int yN, int* blk) {
    // The row above, and the left neighbour of the first row, come off the
    // macroblock's own links.
    const bool edge = (yN == -1 && xN >= -1 && xN <= 16) || (xN == -1 && yN == 0);
    const NeighbourLocation loc = edge ? mbaff_edge_location(cur, xN, yN) : mbaff_neighbour_location(cur, xN, yN);
    *blk = luma4x4_block_at(loc.x, loc.y);
    return loc.mb;
  }
  static void adjust(const MacroblockRecord* cur, const MacroblockRecord* n, int16_t* mv, int* ref) {
    if (*ref >= 0) scale_between_kinds(cur, n, &mv[1], ref);
  }
};
