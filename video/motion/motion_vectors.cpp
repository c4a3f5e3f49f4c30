// Motion-vector prediction of whole-macroblock partitions: one template over
// shape, list and frame/MBAFF kind, with thin named members.
#include "motion_vectors.h"

#include <algorithm>

#include "decoder_records.h"
#include "direct_motion.h"
#include "mb_record.h"
#include "mbaff_neighbours.h"
#include "submb_motion.h"

namespace {

enum class Part { Whole, Upper, Lower, Left, Right };

// Everything below runs several times per partition and wants its
// positions folded in as constants: the lookups are forced inline.
#define MV_INLINE inline __attribute__((always_inline))

// A neighbour's contribution for one list: its vector and reference index,
// (0, 0, -1) when unavailable, intra or not using the list. Plain ints, so
// that nothing is packed into a narrow record on the way.
struct Neighbour {
  int x = 0;
  int y = 0;
  int ref = -1;
};

template <int List>
struct Fields {
  static int8_t* refIdx(MacroblockRecord* m) { return List == 0 ? m->ref_idx_l0 : m->ref_idx_l1; }
  static uint8_t* predFlag(MacroblockRecord* m) { return List == 0 ? m->pred_flag_l0 : m->pred_flag_l1; }
  static int16_t (*mv(MacroblockRecord* m))[2] { return List == 0 ? m->mv_l0 : m->mv_l1; }
  static int16_t (*mvd(MacroblockRecord* m))[2] { return List == 0 ? m->mvd_l0 : m->mvd_l1; }
};

// Block `blk` (luma4x4BlkIdx) of record n; in MBAFF frames the triple is
// scaled between field and frame units of the current macroblock.
template <int List, bool Mbaff>
MV_INLINE Neighbour read(MacroblockRecord* cur, MacroblockRecord* n, int blk) {
  Neighbour out;
  if (n == nullptr || mb_is_intra(n->mb_type) || Fields<List>::predFlag(n)[blk >> 2] == 0) return out;
  int16_t y = Fields<List>::mv(n)[blk][1];
  int ref = Fields<List>::refIdx(n)[blk >> 2];
  if (Mbaff && n != cur) scale_between_kinds(cur, n, &y, &ref);
  out.x = Fields<List>::mv(n)[blk][0];
  out.y = y;
  out.ref = ref;
  return out;
}

template <bool Mbaff>
MV_INLINE NeighbourLocation locate(MacroblockRecord* cur, int xN, int yN) {
  if (!Mbaff) return frame_neighbour_location(cur, xN, yN);
  // The edge positions of the 16x16 predictors, constants here, come off
  // the macroblock's own links.
  if ((yN == -1 && xN >= -1 && xN <= 16) || (xN == -1 && yN == 0)) return mbaff_edge_location(cur, xN, yN);
  return mbaff_neighbour_location(cur, xN, yN);
}

// The neighbour covering position (xN, yN) relative to the macroblock's
// upper-left sample; *available tells whether that position exists at all
// (an intra neighbour or one without the list is available but gives -1).
template <int List, bool Mbaff>
MV_INLINE Neighbour at(MacroblockRecord* cur, int xN, int yN, int* available) {
  const NeighbourLocation loc = locate<Mbaff>(cur, xN, yN);
  *available = loc.mb != nullptr;
  return read<List, Mbaff>(cur, loc.mb, luma4x4_block_at(loc.x, loc.y));
}

// Position and width of each partition shape.
struct Geometry {
  int x, y, w;
};
constexpr Geometry geometryOf(Part p) {
  switch (p) {
    case Part::Lower: return {0, 8, 16};
    case Part::Left: return {0, 0, 8};
    case Part::Right: return {8, 0, 8};
    default: return {0, 0, 16};
  }
}

// Neighbours A, B and C of a partition (D standing in for an unavailable
// C); hasA and hasB tell whether A's and B's positions exist.
struct Around {
  Neighbour a, b, c;
  int hasA, hasB, hasC;  // ints: byte flags would be reloaded wider
};

template <int List, bool Mbaff, Part P>
MV_INLINE Around neighbours(MacroblockRecord* cur) {
  constexpr Geometry g = geometryOf(P);
  Around n;
  n.a = at<List, Mbaff>(cur, g.x - 1, g.y, &n.hasA);
  n.b = at<List, Mbaff>(cur, g.x, g.y - 1, &n.hasB);
  n.c = at<List, Mbaff>(cur, g.x + g.w, g.y - 1, &n.hasC);
  if (!n.hasC) n.c = at<List, Mbaff>(cur, g.x - 1, g.y - 1, &n.hasC);
  return n;
}

MV_INLINE int16_t median3(int a, int b, int c) {
  return static_cast<int16_t>(a + b + c - std::min({a, b, c}) - std::max({a, b, c}));
}

// The predictor of partition P with target reference index refIdx from its
// neighbours.
template <Part P>
MV_INLINE void predict_from(Around n, int refIdx, int16_t mvp[2]) {
  // Directional rules of the two-partition shapes.
  const Neighbour* direct = nullptr;
  if (P == Part::Upper && n.b.ref == refIdx) direct = &n.b;
  if ((P == Part::Lower || P == Part::Left) && n.a.ref == refIdx) direct = &n.a;
  if (P == Part::Right && n.c.ref == refIdx) direct = &n.c;
  if (direct != nullptr) {
    mvp[0] = static_cast<int16_t>(direct->x);
    mvp[1] = static_cast<int16_t>(direct->y);
    return;
  }
  // Only A available: it stands for B and C too.
  if (n.hasA && !n.hasB && !n.hasC) n.b = n.c = n.a;
  const int matches = (n.a.ref == refIdx) + (n.b.ref == refIdx) + (n.c.ref == refIdx);
  if (matches == 1) {
    const Neighbour& m = n.a.ref == refIdx ? n.a : (n.b.ref == refIdx ? n.b : n.c);
    mvp[0] = static_cast<int16_t>(m.x);
    mvp[1] = static_cast<int16_t>(m.y);
    return;
  }
  mvp[0] = median3(n.a.x, n.b.x, n.c.x);
  mvp[1] = median3(n.a.y, n.b.y, n.c.y);
}

template <int List, bool Mbaff, Part P>
void predictor(MacroblockRecord* cur, int refIdx, int16_t mvp[2]) {
  predict_from<P>(neighbours<List, Mbaff, P>(cur), refIdx, mvp);
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
  if constexpr (P == Part::Whole || P == Part::Upper || P == Part::Left) {
    // Once per macroblock and list: the next record, and in a B slice the
    // co-located record of the next macroblock, which may be direct.
    // (List 1 leaves both to list 0 when the first partition uses it.)
    if (List == 0 || ((mb->mb_type >> 4) & 1) == 0) {
      prefetch_next_record(mb);
      const SliceDecodeContext* s = mb->slice;
      if (s != nullptr && s->slice_type == kSliceTypeB) prefetch_colocated(s, s->RefPicList1[0], mb->mb_addr + 1);
    }
  }
  uint8_t* flags = Fields<List>::predFlag(mb);
  for (int q = 0; q < 4; ++q)
    if (layout.quadrants & (1 << q)) flags[q] = 1;
  int16_t mvp[2];
  if constexpr (P == Part::Whole) {
    // The 16x16 predictor under its own name (its target is ref_idx_lX[0]).
    if constexpr (Mbaff)
      (List == 0 ? LumaMotionVectorPrediction16x16_L0_mbaff : LumaMotionVectorPrediction16x16_L1_mbaff)(mb, mvp);
    else
      (List == 0 ? LumaMotionVectorPrediction16x16_L0 : LumaMotionVectorPrediction16x16_L1)(mb, mvp);
  } else {
    predictor<List, Mbaff, P>(mb, Fields<List>::refIdx(mb)[layout.firstQuadrant], mvp);
  }
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
  prefetch_next_record(mb);
  for (int q = 0; q < 4; ++q) {
    mb->pred_flag_l0[q] = 1;
    mb->pred_flag_l1[q] = 0;
  }
  // A and B of the zero test are those of the 16x16 predictor.
  const Around n = neighbours<0, Mbaff, Part::Whole>(mb);
  auto isZero = [](const Neighbour& v) { return v.ref == 0 && v.x == 0 && v.y == 0; };
  int16_t mvp[2] = {0, 0};
  if (n.hasA && n.hasB && !isZero(n.a) && !isZero(n.b)) predict_from<Part::Whole>(n, mb->ref_idx_l0[0], mvp);
  for (auto& v : mb->mv_l0) {
    v[0] = mvp[0];
    v[1] = mvp[1];
  }
  return 0;
}

MV_INLINE int min_positive(int x, int y) { return (x >= 0 && y >= 0) ? std::min(x, y) : std::max(x, y); }

MV_INLINE int median_of(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// One neighbour of spatial direct for both lists: its index (255 where it
// does not use the list, so that MinPositive becomes the unsigned minimum)
// and its vector (zero there). In pictures without MBAFF the choices are
// selects, not branches: which lists a B neighbour uses follows no pattern
// a branch predictor learns, and each miss cost more than the loads it
// saved.
template <int List, bool Mbaff>
MV_INLINE void direct_list(MacroblockRecord* mb, MacroblockRecord* n, int quadrant, int blk, unsigned* ref, int* x,
                           int* y) {
  const bool used = Fields<List>::predFlag(n)[quadrant] != 0;
  if (Mbaff && !used) return;
  int16_t vx = Fields<List>::mv(n)[blk][0];
  int16_t vy = Fields<List>::mv(n)[blk][1];
  int r = Fields<List>::refIdx(n)[quadrant];
  if (Mbaff && n != mb) scale_between_kinds(mb, n, &vy, &r);
  *ref = used ? static_cast<uint8_t>(r) : 255u;
  *x = used ? vx : 0;
  *y = used ? vy : 0;
}

template <bool Mbaff>
MV_INLINE void direct_neighbour(MacroblockRecord* mb, MacroblockRecord* n, int blk, unsigned ref[2], int x[2],
                                int y[2]) {
  ref[0] = ref[1] = 255;
  x[0] = x[1] = y[0] = y[1] = 0;
  if (n == nullptr || mb_is_intra(n->mb_type)) return;
  direct_list<0, Mbaff>(mb, n, blk >> 2, blk, &ref[0], &x[0], &y[0]);
  direct_list<1, Mbaff>(mb, n, blk >> 2, blk, &ref[1], &x[1], &y[1]);
}

// Both lists' spatial-direct index and predictor from the 16x16 neighbours
// A, B and C (or D), each record read once for both lists into plain
// integers: the shape-generic path packs its availability flags into bytes
// that are reloaded wider, which stalls on the stores.
//
// The macroblocks covering the 16x16 neighbour positions are the record's
// own links, in MBAFF frames too: slice-data decoding links each macroblock
// of a pair for its own field/frame kind, which places exactly these
// positions. What varies is the block read: A's block (15, 0) is block 5
// and B's and C's (0, 15) block 10 everywhere, and D's (15, 15) block 15;
// only a bottom frame macroblock beside a field pair reads the left pair's
// row 8 of its top field for A (block 13) and row 7 of its bottom field for
// D (block 7).
// The spatial-direct neighbours A, B and C (or D) of both lists: index
// (255 where unused) and vector.
struct DirectNeighbours {
  unsigned ref[3][2];
  int x[3][2], y[3][2];
  bool onlyA;  // A available, B and C not: A stands for both
};

template <bool Mbaff>
MV_INLINE void gather_direct_neighbours(MacroblockRecord* mb, DirectNeighbours* n) {
  MacroblockRecord* const a = mb->neighbour_a;
  MacroblockRecord* const b = mb->neighbour_b;
  MacroblockRecord* c = mb->neighbour_c;
  int blkA = 5, blkC = 10;
  if (c == nullptr) c = mb->neighbour_d, blkC = 15;
  if (Mbaff && a != nullptr && (mb->mb_addr & 1) != 0 && mb->mb_structure == kFrame && a->mb_structure != kFrame) {
    blkA = 13;
    if (blkC == 15) blkC = 7;
  }
  direct_neighbour<Mbaff>(mb, a, blkA, n->ref[0], n->x[0], n->y[0]);
  direct_neighbour<Mbaff>(mb, b, 10, n->ref[1], n->x[1], n->y[1]);
  direct_neighbour<Mbaff>(mb, c, blkC, n->ref[2], n->x[2], n->y[2]);
  n->onlyA = a != nullptr && b == nullptr && c == nullptr;
}

// MinPositive(refIdxA, MinPositive(refIdxB, refIdxC)) of one list: with the
// unused neighbours at 255, the unsigned minimum; -1 when none uses the
// list. (Negative indices, none in a valid record, count as unused.)
template <int List>
MV_INLINE int8_t spatial_ref_idx(const DirectNeighbours& n) {
  const unsigned least = std::min(n.ref[0][List], std::min(n.ref[1][List], n.ref[2][List]));
  return static_cast<int8_t>(least >= 128 ? -1 : static_cast<int>(least));
}
// The spatial-direct reference index of each list, on the neighbours
// gathered once for both lists and for the predictors (gathering them per
// list and per predictor read every neighbour record four times).
MV_INLINE int8_t SpatialRefIdxDerivationL0(const DirectNeighbours& n) { return spatial_ref_idx<0>(n); }
MV_INLINE int8_t SpatialRefIdxDerivationL1(const DirectNeighbours& n) { return spatial_ref_idx<1>(n); }

// The spatial-direct predictor of list List for target index `target` (not
// negative) from the gathered neighbours: the one neighbour with the
// target's index, else the median (A alone stands for B and C).
template <int List>
MV_INLINE void direct_predictor(const DirectNeighbours& n, int target, int16_t* mvp) {
  const unsigned t = static_cast<unsigned>(target);
  const unsigned r[3] = {n.ref[0][List], n.ref[1][List], n.ref[2][List]};
  int px, py;
  const int matches = (r[0] == t) + (r[1] == t) + (r[2] == t);
  if (n.onlyA) {
    px = n.x[0][List], py = n.y[0][List];
  } else if (matches == 1) {
    const int i = r[0] == t ? 0 : r[1] == t ? 1 : 2;
    px = n.x[i][List], py = n.y[i][List];
  } else {
    px = median_of(n.x[0][List], n.x[1][List], n.x[2][List]);
    py = median_of(n.y[0][List], n.y[1][List], n.y[2][List]);
  }
  mvp[0] = static_cast<int16_t>(px);
  mvp[1] = static_cast<int16_t>(py);
}

// The predictor step of a B_Direct_8x8 quadrant: the whole macroblock's
// neighbours, gathered by the frame or the MBAFF rules, compared against the
// target, the quadrant's refIdxLX.
MV_INLINE void LumaMotionVectorPrediction_B_Direct_8x8_L0(const DirectNeighbours& n, int target, int16_t* mvp) {
  direct_predictor<0>(n, target, mvp);
}
MV_INLINE void LumaMotionVectorPrediction_B_Direct_8x8_L1(const DirectNeighbours& n, int target, int16_t* mvp) {
  direct_predictor<1>(n, target, mvp);
}
MV_INLINE void LumaMotionVectorPrediction_B_Direct_8x8_L0_mbaff(const DirectNeighbours& n, int target, int16_t* mvp) {
  direct_predictor<0>(n, target, mvp);
}
MV_INLINE void LumaMotionVectorPrediction_B_Direct_8x8_L1_mbaff(const DirectNeighbours& n, int target, int16_t* mvp) {
  direct_predictor<1>(n, target, mvp);
}

// Both lists' spatial-direct indices and predictors, each neighbour read
// once for both lists; a B_Direct_8x8 quadrant (Quadrant) takes its
// predictors from the named quadrant step.
template <bool Mbaff, bool Quadrant>
void spatial_direct_both(MacroblockRecord* mb, int8_t refIdx[2], int16_t mvp[2][2]) {
  DirectNeighbours n;
  gather_direct_neighbours<Mbaff>(mb, &n);
  refIdx[0] = SpatialRefIdxDerivationL0(n);
  refIdx[1] = SpatialRefIdxDerivationL1(n);
  mvp[0][0] = mvp[0][1] = mvp[1][0] = mvp[1][1] = 0;
  if (refIdx[0] >= 0) {
    if (!Quadrant)
      direct_predictor<0>(n, refIdx[0], mvp[0]);
    else if (Mbaff)
      LumaMotionVectorPrediction_B_Direct_8x8_L0_mbaff(n, refIdx[0], mvp[0]);
    else
      LumaMotionVectorPrediction_B_Direct_8x8_L0(n, refIdx[0], mvp[0]);
  }
  if (refIdx[1] >= 0) {
    if (!Quadrant)
      direct_predictor<1>(n, refIdx[1], mvp[1]);
    else if (Mbaff)
      LumaMotionVectorPrediction_B_Direct_8x8_L1_mbaff(n, refIdx[1], mvp[1]);
    else
      LumaMotionVectorPrediction_B_Direct_8x8_L1(n, refIdx[1], mvp[1]);
  }
}

}  // namespace

int8_t spatial_direct_ref_idx_mbaff(MacroblockRecord* mb, int list) {
  const Around n = list == 0 ? neighbours<0, true, Part::Whole>(mb) : neighbours<1, true, Part::Whole>(mb);
  return static_cast<int8_t>(min_positive(n.a.ref, min_positive(n.b.ref, n.c.ref)));
}

void spatial_direct_neighbours(MacroblockRecord* mb, bool mbaff, bool quadrant, int8_t refIdx[2],
                               int16_t mvp[2][2]) {
  if (quadrant)
    (mbaff ? spatial_direct_both<true, true> : spatial_direct_both<false, true>)(mb, refIdx, mvp);
  else
    (mbaff ? spatial_direct_both<true, false> : spatial_direct_both<false, false>)(mb, refIdx, mvp);
}

#define MOTION_VECTOR_DEFINE(name, mbaffName, list, part)                                  \
  void name(MacroblockRecord* mb) { derive<list, false, Part::part>(mb); }                \
  void mbaffName(MacroblockRecord* mb) { derive<list, true, Part::part>(mb); }
MOTION_VECTOR_DERIVATIONS(MOTION_VECTOR_DEFINE)
#undef MOTION_VECTOR_DEFINE

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
