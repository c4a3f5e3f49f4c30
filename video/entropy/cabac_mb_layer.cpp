// CABAC macroblock layers of I, P and B slices: mb_type, intra modes or
// inter prediction (ref_idx, mvd, sub-macroblock types), coded_block_pattern,
// transform size, mb_qp_delta with the QP update, I_PCM samples and the
// residual call. Everything is decoded in place into the record.
#include "cabac_slice.h"

#include <cstdlib>
#include <cstring>

#include "cabac_residual.h"
#include "cabac_syntax.h"

namespace {

inline bool is_intra16x16(uint8_t t) { return t >= MbI_16x16_First && t <= MbI_16x16_Last; }

// ---------------------------------------------------------------------------
// Intra prediction modes.

__attribute__((always_inline)) inline uint8_t read_intra_mode(CabacLocal& e, CabacContext* ctx, const SliceDataState* s,
                                                              const MacroblockRecord* mb, int blk, bool eightByEight) {
  const int predicted = predicted_intra_mode(s, mb, blk, eightByEight);
  if (e.decision(ctx + kCtxPrevIntraMode)) return static_cast<uint8_t>(predicted);
  const int rem = static_cast<int>(cabac_rem_intra_mode_bins(e, ctx + kCtxRemIntraMode));
  return static_cast<uint8_t>(rem < predicted ? rem : rem + 1);
}

// The parsers below take the caller's engine and work on a copy of it: a
// copy whose address is not taken stays in registers, where the caller's
// object would be reloaded after every context store (a byte store may
// alias it).
void mb_pred_intra(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  CabacLocal e = engine;
  if (mb->mb_type == MbI_NxN) {
    if (mb->transform_size_8x8_flag) {
      for (int b8 = 0; b8 < 4; ++b8)
        std::memset(mb->intra_pred_mode + 4 * b8, read_intra_mode(e, ctx, s, mb, 4 * b8, true), 4);
    } else {
      for (int blk = 0; blk < 16; ++blk) mb->intra_pred_mode[blk] = read_intra_mode(e, ctx, s, mb, blk, false);
    }
  }
  if (s->chroma_format_idc != 0)
    mb->intra_chroma_pred_mode =
        static_cast<uint8_t>(cabac_intra_chroma_bins(e, ctx + kCtxIntraChroma, cabac_intra_chroma_inc(mb)));
  engine = e;
}

// I_PCM: the samples follow the terminate bin at the next byte boundary;
// the engine restarts after them.
void read_pcm(ThreadBuffer* tb, SliceDataState* s, MacroblockRecord* mb) {
  DecodeIPCMMacroBlock(&tb->reader, s, mb);
  cabac_initialize_engine(tb);
}

// ---------------------------------------------------------------------------
// Inter prediction.

constexpr uint8_t kNoRef = 0xFF;  // ref_idx -1

// Quadrant sets of the partitions of each shape, and the first quadrant
// and first 4x4 block of each partition.
struct Partition {
  uint8_t quadrants;  // bit q: quadrant q
  uint8_t quadrant;
  uint8_t block;
};
constexpr Partition kPartitions[3][2] = {
    {{0xF, 0, 0}, {0, 0, 0}},     // 16x16
    {{0x3, 0, 0}, {0xC, 2, 8}},   // 16x8
    {{0x5, 0, 0}, {0xA, 1, 4}},   // 8x16
};

bool ref_present(const SliceDataState* s, const MacroblockRecord* mb, int list) {
  const uint8_t active = list ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1;
  return active > 0 || mb->mb_field_decoding_flag;
}

// Whether a neighbour record carries decoded ref_idx and mvd values: not
// unavailable, skipped, intra or B_Direct_16x16 (whose contributions are 0).
inline bool carries_motion_syntax(const MacroblockRecord* n) {
  return n != nullptr && !mb_is_skipped(n->mb_type) && !mb_is_intra(n->mb_type) && n->mb_type != MbB_Direct_16x16;
}

// What the ref_idx and mvd contexts of one list read outside the current
// macroblock, gathered once per macroblock and list so that no neighbour
// derivation runs per partition. Coded inter macroblocks keep, for every
// list the slice reads, ref_idx -1 on the quadrants that do not use the
// list (0 on direct ones) and mvd 0 on their blocks: inside the current
// macroblock and in coded neighbours the stored values alone then give the
// conditions.
struct ListEdges {
  const int8_t* leftRef[2];                          // left of quadrants 0 and 2
  const int8_t* upRef[2];                            // above quadrants 0 and 1
  const int16_t* leftMvd[4];                         // mvd pair left of 4x4 rows 0..3
  const int16_t* upMvd[4];                           // above 4x4 columns 0..3
  int8_t leftThreshold, upThreshold;                 // 1 for a frame macroblock beside field ones
  uint8_t leftDouble, leftHalve, upDouble, upHalve;  // vertical mvd scaling
};

const int8_t kNoRefBeside = -1;
const int16_t kNoMvds[16][2] = {};

// The ref_idx of quadrant q of a record that carries motion syntax. A
// direct quadrant counts as 0: once its macroblock has been reconstructed
// (which may happen while this slice is still being parsed) it holds the
// derived index.
const int8_t* ref_at(const MacroblockRecord* n, const int8_t* refs, int q) {
  return (n->mb_type & 0xDC) == 0 && n->sub_mb_type[q] == SubMbB_Direct_8x8 ? &kNoRefBeside : refs + q;
}

__attribute__((always_inline)) inline void gather_edges(const MacroblockRecord* mb, int list, uint8_t mbaff,
                                                       ListEdges* g) {
  const bool curFrame = mb->mb_structure == 2;
  const MacroblockRecord *a = mb->neighbour_a, *b = mb->neighbour_b;
  g->leftThreshold = g->upThreshold = 0;
  g->leftDouble = g->leftHalve = g->upDouble = g->upHalve = 0;
  if (a == nullptr) {
    g->leftRef[0] = g->leftRef[1] = &kNoRefBeside;
    for (int y = 0; y < 4; ++y) g->leftMvd[y] = kNoMvds[0];
  } else {
    const bool aCarries = carries_motion_syntax(a);
    const int16_t(*aMvd)[2] = aCarries ? (list ? a->mvd_l1 : a->mvd_l0) : kNoMvds;
    const int8_t* aRef = list ? a->ref_idx_l1 : a->ref_idx_l0;
    const bool leftFrame = a->mb_structure == 2;
    if (!mbaff || curFrame == leftFrame) {
      g->leftRef[0] = aCarries ? ref_at(a, aRef, 1) : &kNoRefBeside;
      g->leftRef[1] = aCarries ? ref_at(a, aRef, 3) : &kNoRefBeside;
      g->leftMvd[0] = aMvd[5];
      g->leftMvd[1] = aMvd[7];
      g->leftMvd[2] = aMvd[13];
      g->leftMvd[3] = aMvd[15];
    } else if (curFrame) {
      // A frame macroblock beside a field pair: all four rows from one
      // 8x8 row of the left record.
      const int q = (mb->mb_addr & 1) ? 3 : 1;
      g->leftRef[0] = g->leftRef[1] = aCarries ? ref_at(a, aRef, q) : &kNoRefBeside;
      g->leftThreshold = 1;
      g->leftMvd[0] = g->leftMvd[1] = aMvd[4 * q + 1];
      g->leftMvd[2] = g->leftMvd[3] = aMvd[4 * q + 3];
      g->leftDouble = 1;
    } else {
      // A field macroblock beside a frame pair: the upper rows from the top
      // record, the lower ones from the bottom record.
      const MacroblockRecord* a1 = a + 1;
      const bool a1Carries = carries_motion_syntax(a1);
      const int16_t(*a1Mvd)[2] = a1Carries ? (list ? a1->mvd_l1 : a1->mvd_l0) : kNoMvds;
      g->leftRef[0] = aCarries ? ref_at(a, aRef, 1) : &kNoRefBeside;
      g->leftRef[1] = a1Carries ? ref_at(a1, list ? a1->ref_idx_l1 : a1->ref_idx_l0, 1) : &kNoRefBeside;
      g->leftMvd[0] = aMvd[5];
      g->leftMvd[1] = aMvd[13];
      g->leftMvd[2] = a1Mvd[5];
      g->leftMvd[3] = a1Mvd[13];
      g->leftHalve = 1;
    }
  }
  if (b == nullptr) {
    g->upRef[0] = g->upRef[1] = &kNoRefBeside;
    for (int x = 0; x < 4; ++x) g->upMvd[x] = kNoMvds[0];
  } else {
    const bool bCarries = carries_motion_syntax(b);
    const int16_t(*bMvd)[2] = bCarries ? (list ? b->mvd_l1 : b->mvd_l0) : kNoMvds;
    const int8_t* bRef = list ? b->ref_idx_l1 : b->ref_idx_l0;
    const bool upFrame = b->mb_structure == 2;
    g->upRef[0] = bCarries ? ref_at(b, bRef, 2) : &kNoRefBeside;
    g->upRef[1] = bCarries ? ref_at(b, bRef, 3) : &kNoRefBeside;
    g->upThreshold = curFrame && !upFrame ? 1 : 0;
    g->upMvd[0] = bMvd[10];
    g->upMvd[1] = bMvd[11];
    g->upMvd[2] = bMvd[14];
    g->upMvd[3] = bMvd[15];
    if (mbaff) {
      g->upDouble = curFrame && !upFrame;
      g->upHalve = !curFrame && upFrame;
    }
  }
}

// The decoded ref_idx of the partition whose first quadrant is q, bounded
// by the active list (twice it plus one for the field macroblocks of an
// MBAFF frame); a value beyond it marks the slice damaged.
__attribute__((always_inline)) inline uint8_t read_ref_idx(CabacLocal& e, CabacContext* ctx, const SliceDataState* s,
                                                           const MacroblockRecord* mb, const ListEdges& g,
                                                           const int8_t* ref, int list, uint32_t q) {
  const uint32_t condA = (q & 1) ? ref[q - 1] > 0 : *g.leftRef[q >> 1] > g.leftThreshold;
  const uint32_t condB = (q & 2) ? ref[q - 2] > 0 : *g.upRef[q] > g.upThreshold;
  const uint32_t v = cabac_ref_idx_bins(e, ctx + kCtxRefIdx, condA + 2 * condB);
  const uint32_t active = (list ? s->num_ref_idx_l1_active_minus1 : s->num_ref_idx_l0_active_minus1) + 1u;
  const uint32_t limit = mb->mb_field_decoding_flag ? 2 * active : active;
  if (v >= limit) {
    cabac_mark_damaged(e.r);
    return 0;
  }
  return static_cast<uint8_t>(v);
}

__attribute__((always_inline)) inline void store_ref(int8_t* refIdx, uint8_t quadrants, uint8_t value) {
  for (int q = 0; q < 4; ++q)
    if (quadrants & (1u << q)) refIdx[q] = static_cast<int8_t>(value);
}

// Position of each 4x4 block (luma4x4BlkIdx) in the macroblock.
struct BlockAt {
  uint8_t x, y;
};
constexpr BlockAt kBlockAt[16] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 0}, {3, 0}, {2, 1}, {3, 1},
                                  {0, 2}, {1, 2}, {0, 3}, {1, 3}, {2, 2}, {3, 2}, {2, 3}, {3, 3}};

// The mvd pair of the (sub-)partition whose first block is blk, from the
// absolute components left of and above that block.
__attribute__((always_inline)) inline uint32_t read_mvd_pair(CabacLocal& e, CabacContext* ctx, const ListEdges& g,
                                                             const int16_t (*mvd)[2], uint32_t blk) {
  const BlockAt at = kBlockAt[blk];
  const int16_t* l = at.x ? mvd[LeftNeighbourIdxTable[blk]] : g.leftMvd[at.y];
  const int16_t* u = at.y ? mvd[UpNeighbourIdxTable[blk]] : g.upMvd[at.x];
  const uint32_t lx = static_cast<uint32_t>(std::abs(l[0])), ux = static_cast<uint32_t>(std::abs(u[0]));
  uint32_t ly = static_cast<uint32_t>(std::abs(l[1])), uy = static_cast<uint32_t>(std::abs(u[1]));
  if (!at.x) ly = (ly << g.leftDouble) >> g.leftHalve;
  if (!at.y) uy = (uy << g.upDouble) >> g.upHalve;
  const int32_t x = cabac_mvd_bins(e, ctx + kCtxMvdX, cabac_mvd_inc(lx + ux));
  const int32_t y = cabac_mvd_bins(e, ctx + kCtxMvdY, cabac_mvd_inc(ly + uy));
  return static_cast<uint16_t>(x) | static_cast<uint32_t>(y) << 16;
}

// Stores one mvd pair (x in the low half) in the blocks of `quadrants`.
__attribute__((always_inline)) inline void store_mvd(int16_t (*mvd)[2], uint8_t quadrants, uint32_t pair) {
  const uint64_t two = pair | static_cast<uint64_t>(pair) << 32;
  for (int q = 0; q < 4; ++q) {
    if (!(quadrants & (1u << q))) continue;
    std::memcpy(mvd[4 * q], &two, 8);
    std::memcpy(mvd[4 * q + 2], &two, 8);
  }
}

// ref_idx of one list for the partitions of one shape (pred: the lists of
// each partition), with the list's edges gathered for the mvds after them.
template <uint32_t Shape, int List>
__attribute__((always_inline)) inline void read_refs(CabacLocal& e, CabacContext* ctx, const SliceDataState* s,
                                                     MacroblockRecord* mb, const uint32_t (&pred)[2], ListEdges& g) {
  constexpr int parts = Shape == 0 ? 1 : 2;
  constexpr uint32_t bit = 1u << List;
  int8_t* ref = List ? mb->ref_idx_l1 : mb->ref_idx_l0;
  if (!((pred[0] | pred[1]) & bit)) {
    store_ref(ref, 0xF, kNoRef);
    return;
  }
  gather_edges(mb, List, s->MbaffFrameFlag, &g);
  const bool present = ref_present(s, mb, List);
#pragma GCC unroll 2
  for (int p = 0; p < parts; ++p) {
    const Partition part = kPartitions[Shape][p];
    const uint8_t v = !(pred[p] & bit) ? kNoRef
                      : present        ? read_ref_idx(e, ctx, s, mb, g, ref, List, part.quadrant)
                                       : 0;
    store_ref(ref, part.quadrants, v);
  }
}

// The mvds of one list for the partitions of one shape.
template <uint32_t Shape, int List>
__attribute__((always_inline)) inline void read_mvds(CabacLocal& e, CabacContext* ctx, bool bSlice, MacroblockRecord* mb,
                                                     const uint32_t (&pred)[2], const ListEdges& g) {
  constexpr int parts = Shape == 0 ? 1 : 2;
  constexpr uint32_t bit = 1u << List;
  int16_t(*mvd)[2] = List ? mb->mvd_l1 : mb->mvd_l0;
  if (!((pred[0] | pred[1]) & bit)) {
    // P slices never read list 1.
    if (bSlice) std::memset(mvd, 0, sizeof(mb->mvd_l0));
    return;
  }
#pragma GCC unroll 2
  for (int p = 0; p < parts; ++p) {
    const Partition part = kPartitions[Shape][p];
    const uint32_t pair = (pred[p] & bit) ? read_mvd_pair(e, ctx, g, mvd, part.block) : 0;
    store_mvd(mvd, part.quadrants, pair);
  }
}

// mb_pred of one of the 16x16, 16x8 and 8x16 shapes: every ref_idx of list
// 0, then of list 1, then the mvds in the same order.
template <uint32_t Shape>
void mb_pred_shape(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  const uint8_t t = mb->mb_type;
  CabacLocal e = engine;
  const uint32_t pred[2] = {(t >> 4) & 3u, Shape == 0 ? (t >> 4) & 3u : (t >> 2) & 3u};
  const bool bSlice = s->sliceType == 1;
  ListEdges edges0{}, edges1{};
  read_refs<Shape, 0>(e, ctx, s, mb, pred, edges0);
  read_refs<Shape, 1>(e, ctx, s, mb, pred, edges1);
  read_mvds<Shape, 0>(e, ctx, bSlice, mb, pred, edges0);
  read_mvds<Shape, 1>(e, ctx, bSlice, mb, pred, edges1);
  engine = e;
}

// mb_pred of the 16x16, 16x8 and 8x16 inter codes of both slice types.
uint32_t mb_pred_inter(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  const uint8_t t = mb->mb_type;
  const uint32_t shape = t & 3;
  if (shape == 3 || ((t >> 4) & 3) == 0 || (shape != 0 && ((t >> 2) & 3) == 0)) return 17;
  if (shape == 0)
    mb_pred_shape<0>(engine, ctx, s, mb);
  else if (shape == 1)
    mb_pred_shape<1>(engine, ctx, s, mb);
  else
    mb_pred_shape<2>(engine, ctx, s, mb);
  return 0;
}

// The sub-partitions of one quadrant for one list.
__attribute__((always_inline)) inline void read_sub_mvds(CabacLocal& e, CabacContext* ctx, const ListEdges& g,
                                                         int16_t (*mvd)[2], int q, uint8_t code) {
  const int b = 4 * q;
  const uint32_t shape = (code >> 5) & 3;
  static const uint8_t kFirst[4][4] = {{0}, {0, 2}, {0, 1}, {0, 1, 2, 3}};
  static const uint8_t kCount[4] = {1, 2, 2, 4};
  for (int sp = 0; sp < kCount[shape]; ++sp) {
    const int first = b + kFirst[shape][sp];
    const uint32_t pair = read_mvd_pair(e, ctx, g, mvd, static_cast<uint32_t>(first));
    // Blocks covered, from the first: 8x8 all four, 8x4 a row pair, 4x8 a
    // column pair, 4x4 one.
    const uint64_t two = pair | static_cast<uint64_t>(pair) << 32;
    if (shape == 0) {
      std::memcpy(mvd[first], &two, 8);
      std::memcpy(mvd[first + 2], &two, 8);
    } else if (shape == 1) {
      std::memcpy(mvd[first], &two, 8);
    } else {
      std::memcpy(mvd[first], &pair, 4);
      if (shape == 2) std::memcpy(mvd[first + 2], &pair, 4);
    }
  }
}

uint32_t sub_mb_pred(CabacLocal& engine, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb,
                     bool bSlice) {
  CabacLocal e = engine;
  for (int q = 0; q < 4; ++q)
    mb->sub_mb_type[q] =
        bSlice ? cabac_sub_mb_type_B_bins(e, ctx + kCtxSubMbType) : cabac_sub_mb_type_P_bins(e, ctx + kCtxSubMbType);
  const int lists = bSlice ? 2 : 1;
  ListEdges edges[2];
  for (int list = 0; list < lists; ++list) {
    int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
    gather_edges(mb, list, s->MbaffFrameFlag, &edges[list]);
    const bool present = ref_present(s, mb, list) && mb->mb_type != MbP_8x8ref0;
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8) {
        ref[q] = 0;
      } else if (!((code >> (3 + list)) & 1)) {
        ref[q] = static_cast<int8_t>(kNoRef);
      } else {
        ref[q] = static_cast<int8_t>(
            present ? read_ref_idx(e, ctx, s, mb, edges[list], ref, list, static_cast<uint32_t>(q)) : 0);
      }
    }
  }
  for (int list = 0; list < lists; ++list) {
    int16_t(*mvd)[2] = list ? mb->mvd_l1 : mb->mvd_l0;
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      // Direct quadrants and those without the list hold mvd 0.
      if (code != SubMbB_Direct_8x8 && ((code >> (3 + list)) & 1))
        read_sub_mvds(e, ctx, edges[list], mvd, q, code);
      else
        store_mvd(mvd, static_cast<uint8_t>(1u << q), 0);
    }
  }
  engine = e;
  return 0;
}

// The prediction parsers of each slice type: one body serves both.
inline uint32_t mb_pred_P_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(e, ctx, s, mb);
}
inline uint32_t mb_pred_B_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return mb_pred_inter(e, ctx, s, mb);
}
inline uint32_t sub_mb_pred_P_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return sub_mb_pred(e, ctx, s, mb, false);
}
inline uint32_t sub_mb_pred_B_slice(CabacLocal& e, CabacContext* ctx, const SliceDataState* s, MacroblockRecord* mb) {
  return sub_mb_pred(e, ctx, s, mb, true);
}

void derive_intra16x16_cbp(MacroblockRecord* mb) {
  const int t = mb->mb_type;
  mb->cbp_luma = t >= 77 ? 15 : 0;
  const int c = ((t - 65) >> 2) % 3;
  mb->cbp_chroma = static_cast<uint8_t>(c == 2 ? 3 : c);
}

}  // namespace

// The layer after mb_type, shared by I, P and B macroblocks: every element
// up to mb_qp_delta on the caller's engine, which is stored back into the
// reader before the residual (or the I_PCM samples).
void cabac_layer_after_type(CabacLocal& engine, ThreadBuffer* tb, CabacContext* ctx, SliceDataState* s,
                            MacroblockRecord* mb, bool bSlice) {
  const uint8_t t = mb->mb_type;
  if (t == MbI_PCM) {
    engine.store();
    read_pcm(tb, s, mb);
    return;
  }
  bool noSub8x8 = true;
  if ((t & 0xDC) == 0) {  // P_8x8, B_8x8
    if (bSlice)
      sub_mb_pred_B_slice(engine, ctx, s, mb);
    else
      sub_mb_pred_P_slice(engine, ctx, s, mb);
    for (int q = 0; q < 4; ++q) {
      const uint8_t code = mb->sub_mb_type[q];
      if (code == SubMbB_Direct_8x8 ? !s->direct_8x8_inference_flag : (code & 7) > 1) noSub8x8 = false;
    }
  } else if (mb_is_intra(t)) {
    mb->transform_size_8x8_flag =
        (s->transform_8x8_mode_flag && t == MbI_NxN)
            ? static_cast<uint8_t>(engine.decision(ctx + kCtxTransform8x8 + cabac_transform_8x8_inc(mb)))
            : 0;
    mb_pred_intra(engine, ctx, s, mb);
  } else if (t == MbB_Direct_16x16) {
    std::memset(mb->ref_idx_l0, 0, 4);
    std::memset(mb->ref_idx_l1, 0, 4);
  } else if (bSlice) {
    mb_pred_B_slice(engine, ctx, s, mb);
  } else {
    mb_pred_P_slice(engine, ctx, s, mb);
  }
  const bool intra16x16 = is_intra16x16(t);
  bool coded = true;
  int8_t delta = 0;
  CabacLocal e = engine;
  if (intra16x16) {
    derive_intra16x16_cbp(mb);
  } else {
    mb->cbp_luma =
        static_cast<uint8_t>(cabac_cbp_luma_bins(e, ctx + kCtxCbpLuma, cabac_cbp_luma_beside(mb, s->MbaffFrameFlag)));
    mb->cbp_chroma =
        s->chroma_format_idc != 0
            ? static_cast<uint8_t>(cabac_cbp_chroma_bins(e, ctx + kCtxCbpChroma, cabac_cbp_chroma_seen(mb->neighbour_a),
                                                         cabac_cbp_chroma_seen(mb->neighbour_b)))
            : 0;
    if (mb->cbp_luma != 0 && s->transform_8x8_mode_flag && t != MbI_NxN && noSub8x8 &&
        (t != MbB_Direct_16x16 || s->direct_8x8_inference_flag))
      mb->transform_size_8x8_flag =
          static_cast<uint8_t>(e.decision(ctx + kCtxTransform8x8 + cabac_transform_8x8_inc(mb)));
    coded = mb->cbp_luma != 0 || mb->cbp_chroma != 0;
  }
  if (coded) delta = cabac_mb_qp_delta_bins(e, ctx + kCtxMbQpDelta, s->lastMbQpDelta);
  e.store();
  if (!coded) {
    s->lastMbQpDelta = 0;
    update_qp(s, mb, 0, false);
    return;
  }
  s->lastMbQpDelta = delta;
  update_qp(s, mb, delta, true);
  const ResidualQuant q{s->ls4x4, s->ls8x8, s->QPY, s->QPCb, s->QPCr, s->MbaffFrameFlag};
  if (mb->transform_size_8x8_flag)
    cabac_residual_8x8(tb, mb, ctx, q);
  else if (intra16x16)
    cabac_residual_16x16(tb, mb, ctx, q);
  else
    cabac_residual_4x4(tb, mb, ctx, q);
}

uint32_t decode_macroblock_layer_I_slice_cabac(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                               MacroblockRecord* mb) {
  mb->mb_type = cabac_mb_type_I_slice(tb, ctx + kCtxMbType, mb);
  CabacLocal e(&tb->reader);
  cabac_layer_after_type(e, tb, ctx, s, mb, false);
  return 0;
}

uint32_t decode_macroblock_layer_P_slice(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                         MacroblockRecord* mb) {
  CabacLocal e(&tb->reader);
  mb->mb_type = cabac_mb_type_P_bins(e, ctx + kCtxMbType);
  CabacLocal engine = e;
  cabac_layer_after_type(engine, tb, ctx, s, mb, false);
  return 0;
}

uint32_t decode_macroblock_layer_B_slice(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                         MacroblockRecord* mb) {
  CabacLocal e(&tb->reader);
  mb->mb_type = cabac_mb_type_B_bins(e, ctx + kCtxMbType, cabac_mb_type_B_inc(mb));
  CabacLocal engine = e;
  cabac_layer_after_type(engine, tb, ctx, s, mb, true);
  return 0;
}
