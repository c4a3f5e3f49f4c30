// Neighbouring locations of frame, field and MBAFF pictures.
#include "mbaff_neighbours.h"

namespace {

inline MacroblockRecord* pair_top(MacroblockRecord* r) { return r ? r - (r->mb_addr & 1) : nullptr; }
inline bool is_frame(const MacroblockRecord* r) { return r->mb_structure == 2; }

}  // namespace

NeighbourLocation frame_neighbour_location(MacroblockRecord* cur, int xN, int yN, int maxW, int maxH) {
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

NeighbourLocation mbaff_neighbour_location(MacroblockRecord* cur, int xN, int yN, int maxW, int maxH) {
  if (xN >= 0 && xN < maxW && yN >= 0 && yN < maxH) return {cur, xN, yN};
  if (yN > maxH - 1 || (xN > maxW - 1 && yN >= 0)) return {nullptr, 0, 0};
  const bool curFrame = is_frame(cur);
  const bool top = (cur->mb_addr & 1) == 0;
  MacroblockRecord* pairTop = top ? cur : cur - 1;
  // The neighbouring pairs, each by its top macroblock.
  MacroblockRecord* pairA = pairTop->neighbour_a;
  MacroblockRecord* pairB = pair_top(pairTop->neighbour_b);
  MacroblockRecord* pairC = pair_top(pairTop->neighbour_c);
  MacroblockRecord* pairD = pair_top(pairTop->neighbour_d);

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
      if (x && !is_frame(x)) lower = true, yM = (yN + maxH) >> 1;
    } else if (top) {
      x = pairD;
      if (x && is_frame(x)) lower = true, yM = 2 * yN;
    } else {
      x = pairD, lower = true;
    }
  } else if (xN < 0) {
    x = pairA;
    if (x) {
      const bool xFrame = is_frame(x);
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
    if (x && !curFrame && top && !is_frame(x)) lower = false;
    else if (x && !curFrame && top) yM = 2 * yN;
  } else {
    if (curFrame && !top) return {nullptr, 0, 0};
    x = pairC;
    lower = true;
    if (x && !curFrame && top && !is_frame(x)) lower = false;
    else if (x && !curFrame && top) yM = 2 * yN;
  }
  if (x == nullptr) return {nullptr, 0, 0};
  return {lower ? x + 1 : x, (xN + maxW) % maxW, (yM + maxH) % maxH};
}
