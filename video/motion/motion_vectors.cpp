// Motion-vector prediction of whole-macroblock partitions: one template over
// shape, list and frame/MBAFF kind, with thin named members.
#include "motion_vectors.h"

#include <algorithm>

#include "mb_record.h"

namespace {

enum class Part { Whole, Upper, Lower, Left, Right };

// A neighbour's contribution for one list: its vector and reference index,
// (0, 0, -1) when unavailable, intra or not using the list.
struct Neighbour {
  int16_t x = 0;
  int16_t y = 0;
  int8_t ref = -1;
};

template <int List>
struct Fields {
  static int8_t* refIdx(MacroblockRecord* m) { return List == 0 ? m->ref_idx_l0 : m->ref_idx_l1; }
  static uint8_t* predFlag(MacroblockRecord* m) { return List == 0 ? m->pred_flag_l0 : m->pred_flag_l1; }
  static int16_t (*mv(MacroblockRecord* m))[2] { return List == 0 ? m->mv_l0 : m->mv_l1; }
  static int16_t (*mvd(MacroblockRecord* m))[2] { return List == 0 ? m->mvd_l0 : m->mvd_l1; }
};

bool isFieldMb(const MacroblockRecord* m) { return m->mb_structure != 2; }

// Block `blk` (luma4x4BlkIdx) of record n; in MBAFF frames the triple is
// scaled between field and frame units of the current macroblock.
template <int List, bool Mbaff>
Neighbour read(MacroblockRecord* cur, MacroblockRecord* n, int blk) {
  Neighbour out;
  if (n == nullptr || mb_is_intra(n->mb_type) || Fields<List>::predFlag(n)[blk >> 2] == 0) return out;
  out.x = Fields<List>::mv(n)[blk][0];
  out.y = Fields<List>::mv(n)[blk][1];
  out.ref = Fields<List>::refIdx(n)[blk >> 2];
  if (Mbaff && n != cur) {
    if (!isFieldMb(cur) && isFieldMb(n)) {
      out.y = static_cast<int16_t>(out.y * 2);
      out.ref = static_cast<int8_t>(out.ref / 2);
    } else if (isFieldMb(cur) && !isFieldMb(n)) {
      out.y = static_cast<int16_t>(out.y / 2);
      out.ref = static_cast<int8_t>(out.ref * 2);
    }
  }
  return out;
}

bool isTopOfPair(const MacroblockRecord* m) { return (m->mb_addr & 1) == 0; }

// The left neighbour of the partition's first row: row 0, or row 8 for the
// lower 16x8 partition.
template <int List, bool Mbaff>
Neighbour readLeft(MacroblockRecord* cur, bool row8) {
  MacroblockRecord* a = cur->neighbour_a;
  if (!Mbaff || a == nullptr) return read<List, Mbaff>(cur, a, row8 ? 13 : 5);
  const bool curField = isFieldMb(cur), nbField = isFieldMb(a);
  if (!row8) {
    const int blk = (!curField && nbField) ? (isTopOfPair(cur) ? 5 : 13) : 5;
    return read<List, Mbaff>(cur, a, blk);
  }
  if (!curField && !nbField) return read<List, Mbaff>(cur, a, 13);
  if (!curField && nbField) return read<List, Mbaff>(cur, a, isTopOfPair(cur) ? 7 : 15);
  if (curField && !nbField) return read<List, Mbaff>(cur, a + 1, 5);
  return read<List, Mbaff>(cur, a, 13);
}

// The above-left neighbour of the macroblock's first row (link D).
template <int List, bool Mbaff>
Neighbour readAboveLeft(MacroblockRecord* cur) {
  MacroblockRecord* d = cur->neighbour_d;
  if (!Mbaff || d == nullptr) return read<List, Mbaff>(cur, d, 15);
  const int blk = (!isFieldMb(cur) && isFieldMb(d)) ? (isTopOfPair(cur) ? 15 : 7) : 15;
  return read<List, Mbaff>(cur, d, blk);
}

// The above-left neighbour of the lower 16x8 partition (row 7 of link A).
template <int List, bool Mbaff>
Neighbour readLowerAboveLeft(MacroblockRecord* cur) {
  MacroblockRecord* a = cur->neighbour_a;
  if (!Mbaff || a == nullptr) return read<List, Mbaff>(cur, a, 7);
  const bool curField = isFieldMb(cur), nbField = isFieldMb(a);
  if (!curField && nbField) return read<List, Mbaff>(cur, a + 1, isTopOfPair(cur) ? 5 : 13);
  if (curField && !nbField) return read<List, Mbaff>(cur, a, 15);
  return read<List, Mbaff>(cur, a, 7);
}

int16_t median3(int a, int b, int c) {
  return static_cast<int16_t>(a + b + c - std::min({a, b, c}) - std::max({a, b, c}));
}

// The predictor of partition P with target reference index refIdx.
template <int List, bool Mbaff, Part P>
void predictor(MacroblockRecord* cur, int refIdx, int16_t mvp[2]) {
  Neighbour a, b, c;
  bool substitute = false;
  if constexpr (P == Part::Whole || P == Part::Upper) {
    a = readLeft<List, Mbaff>(cur, false);
    b = read<List, Mbaff>(cur, cur->neighbour_b, 10);
    c = cur->neighbour_c != nullptr ? read<List, Mbaff>(cur, cur->neighbour_c, 10) : readAboveLeft<List, Mbaff>(cur);
    substitute = cur->neighbour_a != nullptr && cur->neighbour_b == nullptr && cur->neighbour_c == nullptr;
  } else if constexpr (P == Part::Lower) {
    a = readLeft<List, Mbaff>(cur, true);
    b = read<List, Mbaff>(cur, cur, 2);
    c = readLowerAboveLeft<List, Mbaff>(cur);  // C lies in the current macroblock, never available
  } else if constexpr (P == Part::Left) {
    a = readLeft<List, Mbaff>(cur, false);
    b = read<List, Mbaff>(cur, cur->neighbour_b, 10);
    c = read<List, Mbaff>(cur, cur->neighbour_b, 14);  // C lies in B; no D stands in
    substitute = cur->neighbour_a != nullptr && cur->neighbour_b == nullptr;
  } else {
    a = read<List, Mbaff>(cur, cur, 1);
    b = read<List, Mbaff>(cur, cur->neighbour_b, 14);
    c = cur->neighbour_c != nullptr ? read<List, Mbaff>(cur, cur->neighbour_c, 10)
                                    : read<List, Mbaff>(cur, cur->neighbour_b, 11);
    substitute = cur->neighbour_b == nullptr && cur->neighbour_c == nullptr;
  }
  // Directional rules of the two-partition shapes.
  const Neighbour* direct = nullptr;
  if (P == Part::Upper && b.ref == refIdx) direct = &b;
  if ((P == Part::Lower || P == Part::Left) && a.ref == refIdx) direct = &a;
  if (P == Part::Right && c.ref == refIdx) direct = &c;
  if (direct != nullptr) {
    mvp[0] = direct->x;
    mvp[1] = direct->y;
    return;
  }
  if (substitute) b = c = a;
  const int matches = (a.ref == refIdx) + (b.ref == refIdx) + (c.ref == refIdx);
  if (matches == 1) {
    const Neighbour& n = a.ref == refIdx ? a : (b.ref == refIdx ? b : c);
    mvp[0] = n.x;
    mvp[1] = n.y;
    return;
  }
  mvp[0] = median3(a.x, b.x, c.x);
  mvp[1] = median3(a.y, b.y, c.y);
}

// Quadrants and 4x4 blocks a partition covers, and the block whose mvd it
// carries.
struct PartLayout {
  uint8_t quadrants;  // bit q
  uint16_t blocks;    // bit b
  int firstQuadrant;
  int firstBlock;
};

constexpr PartLayout layoutOf(Part p) {
  switch (p) {
    case Part::Whole: return {0xF, 0xFFFF, 0, 0};
    case Part::Upper: return {0x3, 0x00FF, 0, 0};
    case Part::Lower: return {0xC, 0xFF00, 2, 8};
    case Part::Left: return {0x5, 0x0F0F, 0, 0};
    default: return {0xA, 0xF0F0, 1, 4};
  }
}

template <int List, bool Mbaff, Part P>
void derive(MacroblockRecord* mb) {
  constexpr PartLayout layout = layoutOf(P);
  uint8_t* flags = Fields<List>::predFlag(mb);
  for (int q = 0; q < 4; ++q)
    if (layout.quadrants & (1 << q)) flags[q] = 1;
  int16_t mvp[2];
  predictor<List, Mbaff, P>(mb, Fields<List>::refIdx(mb)[layout.firstQuadrant], mvp);
  const int16_t* mvd = Fields<List>::mvd(mb)[layout.firstBlock];
  // Components wrap modulo 2^16.
  const int16_t x = static_cast<int16_t>(static_cast<uint16_t>(mvd[0]) + static_cast<uint16_t>(mvp[0]));
  const int16_t y = static_cast<int16_t>(static_cast<uint16_t>(mvd[1]) + static_cast<uint16_t>(mvp[1]));
  int16_t(*mv)[2] = Fields<List>::mv(mb);
  for (int blk = 0; blk < 16; ++blk) {
    if (layout.blocks & (1 << blk)) {
      mv[blk][0] = x;
      mv[blk][1] = y;
    }
  }
}

template <bool Mbaff>
int32_t pSkip(MacroblockRecord* mb) {
  for (int q = 0; q < 4; ++q) {
    mb->pred_flag_l0[q] = 1;
    mb->pred_flag_l1[q] = 0;
  }
  const Neighbour a = readLeft<0, Mbaff>(mb, false);
  const Neighbour b = read<0, Mbaff>(mb, mb->neighbour_b, 10);
  auto isZero = [](const Neighbour& n) { return n.ref == 0 && n.x == 0 && n.y == 0; };
  int16_t mvp[2] = {0, 0};
  if (mb->neighbour_a != nullptr && mb->neighbour_b != nullptr && !isZero(a) && !isZero(b)) {
    predictor<0, Mbaff, Part::Whole>(mb, mb->ref_idx_l0[0], mvp);
  }
  for (auto& v : mb->mv_l0) {
    v[0] = mvp[0];
    v[1] = mvp[1];
  }
  return 0;
}

}  // namespace

int8_t spatial_direct_ref_idx_mbaff(MacroblockRecord* mb, int list) {
  auto minPositive = [](int x, int y) { return (x >= 0 && y >= 0) ? std::min(x, y) : std::max(x, y); };
  Neighbour a, b, c;
  if (list == 0) {
    a = readLeft<0, true>(mb, false);
    b = read<0, true>(mb, mb->neighbour_b, 10);
    c = mb->neighbour_c != nullptr ? read<0, true>(mb, mb->neighbour_c, 10) : readAboveLeft<0, true>(mb);
  } else {
    a = readLeft<1, true>(mb, false);
    b = read<1, true>(mb, mb->neighbour_b, 10);
    c = mb->neighbour_c != nullptr ? read<1, true>(mb, mb->neighbour_c, 10) : readAboveLeft<1, true>(mb);
  }
  return static_cast<int8_t>(minPositive(a.ref, minPositive(b.ref, c.ref)));
}

#define MOTION_VECTOR_DEFINE(shapeList, list, part)                                                              \
  void MotionVectorDerivation_##shapeList(MacroblockRecord* mb) { derive<list, false, Part::part>(mb); }        \
  void MotionVectorDerivation_##shapeList##_mbaff(MacroblockRecord* mb) { derive<list, true, Part::part>(mb); }

MOTION_VECTOR_DEFINE(16x16_L0, 0, Whole)
MOTION_VECTOR_DEFINE(16x16_L1, 1, Whole)
MOTION_VECTOR_DEFINE(16x8_L0_upper, 0, Upper)
MOTION_VECTOR_DEFINE(16x8_L1_upper, 1, Upper)
MOTION_VECTOR_DEFINE(16x8_L0_lower, 0, Lower)
MOTION_VECTOR_DEFINE(16x8_L1_lower, 1, Lower)
MOTION_VECTOR_DEFINE(8x16_L0_left, 0, Left)
MOTION_VECTOR_DEFINE(8x16_L1_left, 1, Left)
MOTION_VECTOR_DEFINE(8x16_L0_right, 0, Right)
MOTION_VECTOR_DEFINE(8x16_L1_right, 1, Right)

int32_t MotionVectorDerivation_P_Skip(MacroblockRecord* mb) { return pSkip<false>(mb); }
int32_t MotionVectorDerivation_P_Skip_mbaff(MacroblockRecord* mb) { return pSkip<true>(mb); }

void LumaMotionVectorPrediction16x16_L0(MacroblockRecord* mb, int16_t* mvp) {
  predictor<0, false, Part::Whole>(mb, mb->ref_idx_l0[0], mvp);
}
void LumaMotionVectorPrediction16x16_L1(MacroblockRecord* mb, int16_t* mvp) {
  predictor<1, false, Part::Whole>(mb, mb->ref_idx_l1[0], mvp);
}
void LumaMotionVectorPrediction16x16_L0_mbaff(MacroblockRecord* mb, int16_t* mvp) {
  predictor<0, true, Part::Whole>(mb, mb->ref_idx_l0[0], mvp);
}
void LumaMotionVectorPrediction16x16_L1_mbaff(MacroblockRecord* mb, int16_t* mvp) {
  predictor<1, true, Part::Whole>(mb, mb->ref_idx_l1[0], mvp);
}
