// Spatial and temporal direct motion of B macroblocks.
#include "direct_motion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "decoder_records.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "mb_record.h"
#include "mbaff_neighbours.h"
#include "motion_vectors.h"
#include "weighted_sample_prediction.h"
#include "weighting.h"

namespace {

constexpr uint8_t Scan4x4LumaBlocksX[16] = {0, 4, 0, 4, 8, 12, 8, 12, 0, 4, 0, 4, 8, 12, 8, 12};
constexpr uint8_t Scan4x4LumaBlocksY[16] = {0, 0, 4, 4, 0, 0, 4, 4, 8, 8, 12, 12, 8, 8, 12, 12};
constexpr uint8_t SubMbPartIdxTable[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};

void setVector(int16_t (*mv)[2], int blk, int16_t x, int16_t y) {
  mv[blk][0] = x;
  mv[blk][1] = y;
}

}  // namespace

namespace {

// Parity of entry i of a field picture's list (kTopField when the lists carry
// none).
int entry_parity(const uint8_t* parities, int i) { return parities != nullptr ? parities[i] : int{kTopField}; }

// The field of a field pair nearer to the current picture in order count
// (the top one when both are as near).
DecodedPicture* nearer_field(DecodedPicture* pair, int32_t currentPoc) {
  DecodedPicture* other = pair->pairedField;
  if (other == nullptr) return pair;
  DecodedPicture* top = pair->structure == kTopField ? pair : other;
  DecodedPicture* bottom = pair->structure == kTopField ? other : pair;
  const int64_t topDiff = std::llabs(static_cast<int64_t>(currentPoc) - top->pictureOrderCount);
  const int64_t bottomDiff = std::llabs(static_cast<int64_t>(currentPoc) - bottom->pictureOrderCount);
  return topDiff < bottomDiff ? top : bottom;
}

// The field of the given parity of a field pair (a field's structure is its
// parity).
DecodedPicture* field_of_pair(DecodedPicture* pair, int parity) {
  if (pair->structure == parity || pair->pairedField == nullptr) return pair;
  return pair->pairedField;
}

}  // namespace

namespace {

// How a row of the current macroblock maps to a row of its co-located
// macroblock: the same row, a field row in a frame macroblock (lines of one
// parity spread over two macroblocks), or a frame row in a field macroblock
// (two frame rows on one field row).
enum class RowMap : uint8_t { Same, FieldInFrame, FrameInField };

// One copy of a picture's motion: the compact one or the macroblock records
// (the other null; both null when it has none).
struct MotionView {
  const ColocatedMotion* compact;
  const MacroblockRecord* records;
};

// Where the co-located blocks of one macroblock lie, resolved once for all
// its blocks: the picture (null when there is no co-located motion), the
// macroblock for each vertical half of the current one (yCol < 8, yCol >= 8),
// the row mapping and whether the co-located macroblock is a field one.
struct ColocatedSource {
  DecodedPicture* pic = nullptr;
  uint32_t addr[2] = {0, 0};
  RowMap rows = RowMap::Same;
  int rowBase = 0;  // FrameInField: 8 x the current macroblock's half of the field
  bool colField = false;
  ColocatedRelation rel = {0, -1};
  MotionView view = {nullptr, nullptr};  // of pic
};

// The copy of a reference's motion that a slice reads: its ColocatedMotion
// once it is finished, its macroblock records before that (and in pictures
// built by hand). A slice that started before the picture was finished
// reads its records throughout (the engine keeps them bound until the slice
// ends), never the compact copy, which finishing fills meanwhile.
MotionView motion_view(const SliceDecodeContext* s, const DecodedPicture* p) {
  if (s != nullptr && (p == s->colocatedLive[0] || p == s->colocatedLive[1])) return {nullptr, p->macroblocks};
  if (p->colocated != nullptr) return {p->colocated, nullptr};
  return {nullptr, p->macroblocks};
}

bool has_motion(const MotionView& v) { return v.compact != nullptr || v.records != nullptr; }

uint8_t structure_at(const MotionView& v, uint32_t addr) {
  return v.compact != nullptr ? v.compact[addr].mb_structure : v.records[addr].mb_structure;
}

// Inlined: spatial direct reads little of what it builds (the picture, the
// address, the row mapping), and the rest folds away.
inline __attribute__((always_inline)) ColocatedSource resolve_colocated(const DirectContext& ctx,
                                                                     const MacroblockRecord* mb) {
  ColocatedSource src;
  DecodedPicture* colPic = ctx.refPicList1[0];
  if (colPic == nullptr) return src;
  const uint32_t cur = mb->mb_addr;
  const uint32_t w = ctx.widthInMbs != 0 ? ctx.widthInMbs : 1;
  // The co-located macroblock lies at most a macroblock row below the
  // current one's last frame line; its record is final with its rows (a
  // field's with the whole field, and the other field of its frame).
  // (Only a slice that overlaps its references waits: the divisions are
  // left to it.)
  const SliceDecodeContext* s = mb->slice;
  if (s != nullptr && s->awaitRefs) {
    const uint32_t lastLine = ctx.mbaff ? 32 * (cur / (2 * w)) + 31 : ctx.fieldPicture ? 32 * (cur / w) + 31 : 16 * (cur / w) + 15;
    await_reference_rows(s, colPic, (lastLine + 16) / 16 + 1);
  }
  src.view = motion_view(mb->slice, colPic);
  if (!has_motion(src.view)) return src;
  src.addr[0] = src.addr[1] = cur;
  auto fieldInFrame = [&src](uint32_t upper, uint32_t step) {
    src.addr[0] = upper;
    src.addr[1] = upper + step;
    src.rows = RowMap::FieldInFrame;
    src.rel.verticalScale = -1;
  };
  auto frameInField = [&src](uint32_t addr, int half) {
    src.addr[0] = src.addr[1] = addr;
    src.rows = RowMap::FrameInField;
    src.rowBase = 8 * half;
    src.rel.verticalScale = 1;
  };
  if (ctx.fieldPicture) {
    if (colPic->structure != kFrame) {
      src.colField = true;  // a field: the same macroblock
    } else if (colPic->sps != nullptr && colPic->sps->mb_adaptive_frame_field_flag) {
      // A frame of macroblock pairs: the pair at the macroblock's place.
      const uint32_t pair = 2 * cur;
      if (pair + 1 >= colPic->mbCount) return src;
      if (structure_at(src.view, pair) != kFrame) {
        src.addr[0] = src.addr[1] =
            pair + (ctx.currentPicture != nullptr && ctx.currentPicture->structure == kBottomField ? 1u : 0u);
        src.colField = true;
      } else {
        fieldInFrame(pair, 1);
      }
    } else {
      // A frame: the frame macroblock covering the block's field lines.
      fieldInFrame(2 * w * (cur / w) + cur % w, w);
    }
  } else if (colPic->structure != kFrame) {
    // A frame referencing a frame coded as two fields: a frame macroblock
    // reads the field nearer in order count, a field macroblock of an MBAFF
    // frame the field of its own parity.
    src.colField = true;
    if (ctx.mbaff) {
      const bool curField = mb->mb_structure != kFrame;
      colPic = curField ? field_of_pair(colPic, static_cast<int>(cur & 1)) : nearer_field(colPic, ctx.currentPoc);
      src.addr[0] = src.addr[1] = cur / 2;
      if (!curField) frameInField(cur / 2, static_cast<int>(cur % 2));
    } else {
      colPic = nearer_field(colPic, ctx.currentPoc);
      frameInField(w * (cur / (2 * w)) + cur % w, static_cast<int>((cur / w) % 2));
    }
    src.view = motion_view(mb->slice, colPic);
    if (!has_motion(src.view)) return src;
  } else if (ctx.mbaff) {
    // The co-located pair is the current pair of the first list-1 frame;
    // kinds that differ select the macroblock and row as the standard's
    // table for MBAFF frames gives them.
    if (cur >= colPic->mbCount) return src;
    const bool curField = mb->mb_structure != kFrame;
    src.colField = structure_at(src.view, cur) != kFrame;
    if (!curField && src.colField) {
      // A frame macroblock reads the field nearer in display order.
      const int64_t curPoc = ctx.currentPoc;
      const int64_t topDiff = curPoc - colPic->topFieldOrderCnt, bottomDiff = curPoc - colPic->bottomFieldOrderCnt;
      const bool bottom = (topDiff < 0 ? -topDiff : topDiff) >= (bottomDiff < 0 ? -bottomDiff : bottomDiff);
      frameInField(2 * (cur / 2) + (bottom ? 1 : 0), static_cast<int>(cur % 2));
    } else if (curField && !src.colField) {
      fieldInFrame(2 * (cur / 2), 1);
    }
  }
  src.pic = colPic;
  return src;
}

// The co-located block of quadrant q, sub-block k (the quadrant's corner
// under 8x8 inference): whether it has a prediction, and then the motion of
// the list it gives: vector, reference index, identifier and picture.
struct ColocatedBlock {
  bool found;
  int16_t mv[2];
  int8_t refIdx;
  uint8_t refId;
  DecodedPicture* refPic;
};

ColocatedBlock block_motion_of(const MacroblockRecord* col, int quadrant, int block) {
  if (mb_is_intra(col->mb_type)) return {false, {0, 0}, -1, 0, nullptr};
  if (col->pred_flag_l0[quadrant])
    return {true, {col->mv_l0[block][0], col->mv_l0[block][1]}, col->ref_idx_l0[quadrant], col->ref_id_l0[block],
            col->ref_pic_l0[quadrant]};
  if (col->pred_flag_l1[quadrant])
    return {true, {col->mv_l1[block][0], col->mv_l1[block][1]}, col->ref_idx_l1[quadrant], col->ref_id_l1[block],
            col->ref_pic_l1[quadrant]};
  return {false, {0, 0}, -1, 0, nullptr};
}

ColocatedBlock block_motion_of(const ColocatedMotion* col, int quadrant, int block) {
  if (((col->found >> quadrant) & 1) == 0) return {false, {0, 0}, -1, 0, nullptr};
  return {true, {col->mv[block][0], col->mv[block][1]}, col->ref_idx[quadrant],
          static_cast<uint8_t>((col->parity >> block) & 1), col->ref_pic[quadrant]};
}

// Where the co-located block of quadrant q, sub-block k (the quadrant's
// corner under 8x8 inference) lies: its macroblock, quadrant and 4x4 block;
// valid false when the picture has no motion there.
struct ColocatedPosition {
  bool valid;
  uint32_t addr;
  int quadrant;
  int block;
};

ColocatedPosition colocated_position(const DirectContext& ctx, const ColocatedSource& src, int q, int k) {
  const int colIdx = ctx.inference8x8 ? 5 * q : 4 * q + k;
  const int xCol = Scan4x4LumaBlocksX[colIdx], yCol = Scan4x4LumaBlocksY[colIdx];
  if (src.pic == nullptr) return {false, 0, 0, 0};
  const int half = yCol >> 3;
  const uint32_t addr = src.addr[half];
  if (addr >= src.pic->mbCount) return {false, 0, 0, 0};
  const int yM = src.rows == RowMap::Same ? yCol : src.rows == RowMap::FieldInFrame ? (2 * yCol) & 15 : src.rowBase + 4 * half;
  return {true, addr, 2 * (yM / 8) + xCol / 8, SubMbPartIdxTable[4 * (yM / 4) + xCol / 4]};
}

ColocatedBlock find_colocated(const DirectContext& ctx, const ColocatedSource& src, int q, int k) {
  const ColocatedPosition at = colocated_position(ctx, src, q, k);
  if (!at.valid) return {false, {0, 0}, -1, 0, nullptr};
  if (src.view.compact != nullptr) return block_motion_of(src.view.compact + at.addr, at.quadrant, at.block);
  return block_motion_of(src.view.records + at.addr, at.quadrant, at.block);
}

// Its vector, reference index (-1 without prediction) and reference picture
// (null for none); the parity of the field it read when its macroblock is a
// field one.
inline __attribute__((always_inline)) DecodedPicture* colocated_of(const DirectContext& ctx, const ColocatedSource& src, int q, int k, int16_t mvCol[2],
                             int8_t* refIdxCol, ColocatedRelation* rel) {
  *rel = src.rel;
  const ColocatedBlock c = find_colocated(ctx, src, q, k);
  mvCol[0] = c.mv[0];
  mvCol[1] = c.mv[1];
  *refIdxCol = c.refIdx;
  if (!c.found) return nullptr;
  // A field macroblock's identifiers carry the parity of the field it read.
  if (src.colField) rel->refParity = c.refId & 1;
  return c.refPic;
}

// The co-located block of quadrant q, sub-block k of a macroblock whose
// co-located macroblock src resolved (frame and field pictures; MBAFF
// frames).
DecodedPicture* CoLocated4x4SubMacroblockPartition(const DirectContext& ctx, const ColocatedSource& src, int q, int k,
                                                   int16_t mvCol[2], int8_t* refIdxCol, ColocatedRelation* rel) {
  return colocated_of(ctx, src, q, k, mvCol, refIdxCol, rel);
}
DecodedPicture* CoLocated4x4SubMacroblockPartition_mbaff(const DirectContext& ctx, const ColocatedSource& src, int q,
                                                         int k, int16_t mvCol[2], int8_t* refIdxCol,
                                                         ColocatedRelation* rel) {
  return colocated_of(ctx, src, q, k, mvCol, refIdxCol, rel);
}

inline DecodedPicture* colocated_in(const DirectContext& ctx, const ColocatedSource& src, int q, int k,
                                    int16_t mvCol[2], int8_t* refIdxCol, ColocatedRelation* rel) {
  return (ctx.mbaff ? CoLocated4x4SubMacroblockPartition_mbaff : CoLocated4x4SubMacroblockPartition)(
      ctx, src, q, k, mvCol, refIdxCol, rel);
}

// Whether a co-located block is still for spatial direct: reference index 0
// and both vector components within one quarter sample (neither its picture
// nor its field is read).
bool is_still(const ColocatedBlock& c) {
  return c.found && c.refIdx == 0 && std::abs(c.mv[0]) <= 1 && std::abs(c.mv[1]) <= 1;
}

// Spreads bits 0, 5, 10 and 15 (the quadrants' corner blocks) over their
// quadrants: one multiply gathers the four bits (bit 5q lands on bit
// 15 + q, no two partial products on the same bit), a table spreads them.
struct QuadrantSpread {
  uint16_t masks[16];
};
constexpr QuadrantSpread quadrant_spread() {
  QuadrantSpread t{};
  for (unsigned i = 0; i < 16; ++i)
    for (unsigned q = 0; q < 4; ++q)
      if (i & (1u << q)) t.masks[i] = static_cast<uint16_t>(t.masks[i] | 0xFu << (4 * q));
  return t;
}
constexpr QuadrantSpread kQuadrantSpread = quadrant_spread();

unsigned corners_to_quadrants(unsigned m) { return kQuadrantSpread.masks[(((m & 0x8421u) * 0x8888u) >> 15) & 0xFu]; }

// Bit b: the co-located block of block b is still (under 8x8 inference
// every block of a quadrant as its corner), for the quadrants in the mask.
// The kept motion carries the test per block: where the co-located
// macroblock's blocks line up with the current ones, it is one load.
unsigned colocated_still_mask(const DirectContext& ctx, const ColocatedSource& src, unsigned quadrants) {
  if (src.pic == nullptr) return 0;
  if (src.view.compact != nullptr && src.rows == RowMap::Same) {
    if (src.addr[0] >= src.pic->mbCount) return 0;
    const unsigned still = src.view.compact[src.addr[0]].still;
    return ctx.inference8x8 ? corners_to_quadrants(still) : still;
  }
  unsigned mask = 0;
  const int blocks = ctx.inference8x8 ? 1 : 4;
  for (int q = 0; q < 4; ++q) {
    if ((quadrants & (1u << q)) == 0) continue;
    for (int k = 0; k < blocks; ++k) {
      const ColocatedPosition at = colocated_position(ctx, src, q, k);
      if (!at.valid) continue;
      const bool still = src.view.compact != nullptr
                             ? ((src.view.compact[at.addr].still >> at.block) & 1) != 0
                             : is_still(block_motion_of(src.view.records + at.addr, at.quadrant, at.block));
      if (still) mask |= (ctx.inference8x8 ? 0xFu : 1u << k) << (4 * q);
    }
  }
  return mask;
}

}  // namespace

void prefetch_colocated(const SliceDecodeContext* s, const DecodedPicture* colPic, uint32_t addr) {
  if (colPic == nullptr || addr >= colPic->mbCount) return;
  const MotionView v = motion_view(s, colPic);
  if (v.compact != nullptr) {
    const ColocatedMotion* c = v.compact + addr;
    __builtin_prefetch(c);
    __builtin_prefetch(reinterpret_cast<const char*>(c) + sizeof(ColocatedMotion) - 1);
    return;
  }
  if (v.records == nullptr) return;
  const MacroblockRecord* m = v.records + addr;
  __builtin_prefetch(&m->mb_type);
  __builtin_prefetch(m->ref_idx_l0);
  __builtin_prefetch(m->pred_flag_l0);
  __builtin_prefetch(m->mv_l0[0]);
  __builtin_prefetch(m->mv_l0[15]);
  __builtin_prefetch(&m->mb_structure);
}

DecodedPicture* colocated_block(const DirectContext& ctx, MacroblockRecord* mb, int q, int k, int16_t mvCol[2],
                                int8_t* refIdxCol, ColocatedRelation* relation) {
  ColocatedRelation unused;
  return colocated_in(ctx, resolve_colocated(ctx, mb), q, k, mvCol, refIdxCol, relation ? relation : &unused);
}

namespace {

// The predictors of the whole macroblock for the two target indices (the
// same for every quadrant).
void spatial_predictors(const DirectContext& ctx, MacroblockRecord* mb, const int8_t targets[2],
                        bool directZeroPrediction, int16_t mvp[2][2]) {
  mvp[0][0] = mvp[0][1] = mvp[1][0] = mvp[1][1] = 0;
  for (int list = 0; list < 2; ++list) {
    if (directZeroPrediction || targets[list] < 0) continue;
    int8_t* refs = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
    const int8_t saved = refs[0];
    refs[0] = targets[list];
    if (list == 0) {
      (ctx.mbaff ? LumaMotionVectorPrediction16x16_L0_mbaff : LumaMotionVectorPrediction16x16_L0)(mb, mvp[0]);
    } else {
      (ctx.mbaff ? LumaMotionVectorPrediction16x16_L1_mbaff : LumaMotionVectorPrediction16x16_L1)(mb, mvp[1]);
    }
    refs[0] = saved;
  }
}

// A vector as the record stores it (x in the lower half, y in the upper).
uint32_t packed_vector(const int16_t mv[2]) {
  uint32_t v;
  std::memcpy(&v, mv, sizeof v);
  return v;
}

// For a quadrant's four blocks with bit k set where block k gets a zero
// vector: the masks that keep the other blocks' vectors, two blocks each.
struct KeptBlocks {
  uint64_t masks[16][2];
};
constexpr KeptBlocks kept_blocks() {
  KeptBlocks t{};
  for (unsigned z = 0; z < 16; ++z)
    for (unsigned k = 0; k < 4; ++k)
      if ((z & (1u << k)) == 0) t.masks[z][k / 2] |= 0xFFFFFFFFull << (32 * (k % 2));
  return t;
}
constexpr KeptBlocks kKeptBlocksTable = kept_blocks();
constexpr const uint64_t (&kKeptBlocks)[16][2] = kKeptBlocksTable.masks;

// Spatial direct of the quadrants in the mask: the targets' indices, and
// per 4x4 block the predictor, or a zero vector where the target is 0 and
// the co-located block is still (under 8x8 inference the quadrant's corner
// block decides for all four). The co-located macroblock is looked at only
// when a list's vector can depend on it.
inline __attribute__((always_inline)) void spatial_quadrants(const DirectContext& ctx, MacroblockRecord* mb,
                                                             unsigned quadrants, const int8_t targets[2],
                                                             bool directZeroPrediction, const int16_t mvp[2][2]) {
  // A list's vector: zero without its target (or with the zero prediction),
  // else the predictor unless the target is 0 and the co-located block still.
  const bool use[2] = {!directZeroPrediction && targets[0] >= 0, !directZeroPrediction && targets[1] >= 0};
  const uint32_t vector[2] = {use[0] ? packed_vector(mvp[0]) : 0u, use[1] ? packed_vector(mvp[1]) : 0u};
  const bool zeroable[2] = {use[0] && targets[0] == 0, use[1] && targets[1] == 0};
  const unsigned still = zeroable[0] || zeroable[1] ? colocated_still_mask(ctx, resolve_colocated(ctx, mb), quadrants) : 0;
  const int8_t refs[2] = {std::max<int8_t>(targets[0], 0), std::max<int8_t>(targets[1], 0)};
  if (quadrants == 0xF && (still == 0 || (!zeroable[0] && !zeroable[1]))) {
    // The whole macroblock with one vector per list (B_Skip and
    // B_Direct_16x16 mostly): broadcast stores.
    const uint32_t bytes = 0x01010101u;
    const uint32_t fields[4] = {static_cast<uint8_t>(refs[0]) * bytes, static_cast<uint8_t>(refs[1]) * bytes,
                                (targets[0] >= 0 ? 1u : 0u) * bytes, (targets[1] >= 0 ? 1u : 0u) * bytes};
    std::memcpy(mb->ref_idx_l0, &fields[0], 4);
    std::memcpy(mb->ref_idx_l1, &fields[1], 4);
    std::memcpy(mb->pred_flag_l0, &fields[2], 4);
    std::memcpy(mb->pred_flag_l1, &fields[3], 4);
    uint32_t rows[2][16];
    for (int b = 0; b < 16; ++b) rows[0][b] = vector[0], rows[1][b] = vector[1];
    std::memcpy(mb->mv_l0, rows[0], sizeof rows[0]);
    std::memcpy(mb->mv_l1, rows[1], sizeof rows[1]);
    return;
  }
  for (int q = 0; q < 4; ++q) {
    if ((quadrants & (1u << q)) == 0) continue;
    mb->ref_idx_l0[q] = refs[0];
    mb->ref_idx_l1[q] = refs[1];
    mb->pred_flag_l0[q] = targets[0] >= 0;
    mb->pred_flag_l1[q] = targets[1] >= 0;
    // Two blocks per 8-byte store, built in registers (a reload of narrower
    // stores would wait on them).
    for (int list = 0; list < 2; ++list) {
      const uint64_t* keep = kKeptBlocks[zeroable[list] ? (still >> (4 * q)) & 0xFu : 0u];
      const uint64_t v = vector[list] * 0x100000001ull;
      const uint64_t pairs[2] = {v & keep[0], v & keep[1]};
      std::memcpy((list ? mb->mv_l1 : mb->mv_l0)[4 * q], pairs, sizeof pairs);
    }
  }
}

// Spatial direct of the quadrants in the mask (bit q) with the
// macroblock's target indices and predictors: the whole macroblock at once
// when all four are asked for.
void SpatialDirectDerivation(const DirectContext& ctx, MacroblockRecord* mb, unsigned quadrants,
                             const int8_t targets[2], bool directZeroPrediction, const int16_t mvp[2][2]) {
  spatial_quadrants(ctx, mb, quadrants, targets, directZeroPrediction, mvp);
}
void SpatialDirectDerivation_mbaff(const DirectContext& ctx, MacroblockRecord* mb, unsigned quadrants,
                                   const int8_t targets[2], bool directZeroPrediction, const int16_t mvp[2][2]) {
  spatial_quadrants(ctx, mb, quadrants, targets, directZeroPrediction, mvp);
}

inline void spatial_member(const DirectContext& ctx, MacroblockRecord* mb, unsigned quadrants, const int8_t targets[2],
                           bool directZeroPrediction, const int16_t mvp[2][2]) {
  (ctx.mbaff ? SpatialDirectDerivation_mbaff : SpatialDirectDerivation)(ctx, mb, quadrants, targets,
                                                                        directZeroPrediction, mvp);
}

}  // namespace

void spatial_direct_quadrant(const DirectContext& ctx, MacroblockRecord* mb, int q, int8_t refIdxL0,
                             int8_t refIdxL1, bool directZeroPrediction) {
  const int8_t targets[2] = {refIdxL0, refIdxL1};
  int16_t mvp[2][2];
  spatial_predictors(ctx, mb, targets, directZeroPrediction, mvp);
  spatial_member(ctx, mb, 1u << q, targets, directZeroPrediction, mvp);
}

void spatial_direct_macroblock(const DirectContext& ctx, MacroblockRecord* mb, int8_t refIdxL0, int8_t refIdxL1,
                               bool directZeroPrediction) {
  const int8_t targets[2] = {refIdxL0, refIdxL1};
  int16_t mvp[2][2];
  spatial_predictors(ctx, mb, targets, directZeroPrediction, mvp);
  spatial_member(ctx, mb, 0xF, targets, directZeroPrediction, mvp);
}

void spatial_direct(const DirectContext& ctx, MacroblockRecord* mb, unsigned quadrants) {
  int8_t targets[2];
  int16_t mvp[2][2];
  spatial_direct_neighbours(mb, ctx.mbaff, quadrants != 0xF, targets, mvp);
  const bool zero = targets[0] < 0 && targets[1] < 0;
  if (zero) targets[0] = targets[1] = 0;
  spatial_member(ctx, mb, quadrants, targets, zero, mvp);
  prefetch_colocated(mb->slice, ctx.refPicList1[0], mb->mb_addr + 1);
  prefetch_next_record(mb);
}

namespace {

// What the blocks of one macroblock's temporal direct share: the list-0
// index found for the last co-located reference (and the parity it was
// looked up with), and the scale factor of the last index; the blocks
// mostly repeat both, and the scale factor costs a division.
struct TemporalMemo {
  const DecodedPicture* refPic = nullptr;
  int refParity = -1;
  int index = 0;
  int scaledIndex = -1;  // the index dsf and td belong to (-1: none yet)
  int32_t dsf = 0;
  int32_t td = 0;
};

// The lowest list-0 index that holds the co-located reference: the field
// the co-located block read (a frame block's reference seen as its field of
// the current parity) in field pictures and field macroblocks, the frame
// holding it otherwise. A stream whose reference is missing from the list
// gets index 0 (never an index beyond the list).
int list0_index_of(const DirectContext& ctx, DecodedPicture* refPicCol, int refParity, TemporalMemo& memo) {
  if (refPicCol == memo.refPic && refParity == memo.refParity) return memo.index;
  const DecodedPicture* target = frame_record(refPicCol);
  int i = 0;
  for (uint32_t n = 0; n < ctx.refPicList0Length; ++n) {
    DecodedPicture* p = ctx.refPicList0[n];
    if (p == nullptr || frame_record(p) != target) continue;
    if (ctx.fieldPicture && entry_parity(ctx.refParity0, static_cast<int>(n)) != refParity) continue;
    i = static_cast<int>(n);
    break;
  }
  memo.refPic = refPicCol;
  memo.refParity = refParity;
  memo.index = i;
  return i;
}

inline __attribute__((always_inline)) void temporal_quadrant(const DirectContext& ctx, const ColocatedSource& src,
                                                             MacroblockRecord* mb, int q, TemporalMemo& memo) {
  const bool fieldMbInFrame = !ctx.fieldPicture && mb->mb_structure != kFrame;
  // The parity of the current field (kTopField or kBottomField): of the
  // picture, or of the macroblock (a pair's bottom one has the odd address).
  const int parity =
      ctx.fieldPicture ? (ctx.currentPicture != nullptr && ctx.currentPicture->structure == kBottomField ? 1 : 0)
                       : static_cast<int>(mb->mb_addr & 1);
  const int blocks = ctx.inference8x8 ? 1 : 4;
  int refIdxL0 = 0;
  for (int k = 0; k < blocks; ++k) {
    int16_t mvCol[2];
    int8_t refIdxCol;
    ColocatedRelation rel;
    DecodedPicture* refPicCol = colocated_in(ctx, src, q, k, mvCol, &refIdxCol, &rel);
    // A reference set up after the co-located picture is a record reused
    // since (its picture left the buffer long ago, as a field or access unit
    // sent again finds it): it names no picture of the list, whenever the
    // reuse happened.
    if (refPicCol != nullptr && src.pic != nullptr && refPicCol->setUpOrder > src.pic->setUpOrder) refPicCol = nullptr;
    const int refParity = rel.refParity >= 0 ? rel.refParity : parity;
    const int i = refIdxCol >= 0 && refPicCol != nullptr ? list0_index_of(ctx, refPicCol, refParity, memo) : 0;
    refIdxL0 = i;
    if (fieldMbInFrame) refIdxL0 = 2 * i + (refParity != parity ? 1 : 0);
    if (rel.verticalScale < 0) mvCol[1] = static_cast<int16_t>(mvCol[1] / 2);
    if (rel.verticalScale > 0) mvCol[1] = static_cast<int16_t>(mvCol[1] * 2);
    if (refIdxL0 != memo.scaledIndex) {
      const DecodedPicture* pic0 = ctx.refPicList0[fieldMbInFrame ? refIdxL0 / 2 : refIdxL0];
      const DecodedPicture* pic1 = ctx.refPicList1[0];
      memo.td = memo.dsf = 0;
      if (pic0 != nullptr && pic1 != nullptr) {
        if (fieldMbInFrame && ctx.currentPicture != nullptr) {
          memo.dsf = dist_scale_factor(field_order_count(ctx.currentPicture, parity),
                                       field_order_count(pic0, parity ^ (refIdxL0 & 1)),
                                       field_order_count(pic1, parity), &memo.td);
        } else if (ctx.fieldPicture) {
          memo.dsf = dist_scale_factor(ctx.currentPoc, field_order_count(pic0, entry_parity(ctx.refParity0, refIdxL0)),
                                       field_order_count(pic1, entry_parity(ctx.refParity1, 0)), &memo.td);
        } else {
          memo.dsf = dist_scale_factor(ctx.currentPoc, frame_order_count(pic0), frame_order_count(pic1), &memo.td);
        }
      }
      memo.scaledIndex = refIdxL0;
    }
    const int32_t td = memo.td, dsf = memo.dsf;
    int16_t l0[2], l1[2];
    for (int c = 0; c < 2; ++c) {
      if (td == 0) {
        l0[c] = mvCol[c];
        l1[c] = 0;
      } else {
        l0[c] = static_cast<int16_t>((dsf * mvCol[c] + 128) >> 8);
        l1[c] = static_cast<int16_t>(l0[c] - mvCol[c]);
      }
    }
    for (int b = ctx.inference8x8 ? 0 : k; b < (ctx.inference8x8 ? 4 : k + 1); ++b) {
      setVector(mb->mv_l0, 4 * q + b, l0[0], l0[1]);
      setVector(mb->mv_l1, 4 * q + b, l1[0], l1[1]);
    }
  }
  mb->ref_idx_l0[q] = static_cast<int8_t>(refIdxL0);
  mb->ref_idx_l1[q] = 0;
  mb->pred_flag_l0[q] = 1;
  mb->pred_flag_l1[q] = 1;
}

// Temporal direct of quadrant q (each 4x4 block takes its own co-located
// block, or under 8x8 inference the corner block serves them all), with the
// co-located macroblock src resolved once for the macroblock and the memo
// of its earlier quadrants.
#define TEMPORAL_DIRECT_MEMBER(name)                                                                     \
  void name(const DirectContext& ctx, const ColocatedSource& src, MacroblockRecord* mb, int q,           \
            TemporalMemo& memo) {                                                                        \
    temporal_quadrant(ctx, src, mb, q, memo);                                                            \
  }
TEMPORAL_DIRECT_MEMBER(TemporalDirectDerivation)
TEMPORAL_DIRECT_MEMBER(TemporalDirectDerivation_mbaff)
TEMPORAL_DIRECT_MEMBER(TemporalDirectDerivation_8x8_inference)
TEMPORAL_DIRECT_MEMBER(TemporalDirectDerivation_8x8_inference_mbaff)
#undef TEMPORAL_DIRECT_MEMBER

inline void temporal_member(const DirectContext& ctx, const ColocatedSource& src, MacroblockRecord* mb, int q,
                            TemporalMemo& memo) {
  if (ctx.inference8x8)
    (ctx.mbaff ? TemporalDirectDerivation_8x8_inference_mbaff : TemporalDirectDerivation_8x8_inference)(ctx, src, mb,
                                                                                                        q, memo);
  else
    (ctx.mbaff ? TemporalDirectDerivation_mbaff : TemporalDirectDerivation)(ctx, src, mb, q, memo);
}

}  // namespace

void temporal_direct_quadrant(const DirectContext& ctx, MacroblockRecord* mb, int q) {
  TemporalMemo memo;
  temporal_member(ctx, resolve_colocated(ctx, mb), mb, q, memo);
}

void temporal_direct(const DirectContext& ctx, MacroblockRecord* mb, unsigned quadrants) {
  const ColocatedSource src = resolve_colocated(ctx, mb);
  prefetch_colocated(mb->slice, ctx.refPicList1[0], mb->mb_addr + 1);
  prefetch_next_record(mb);
  TemporalMemo memo;
  for (int q = 0; q < 4; ++q)
    if (quadrants & (1u << q)) temporal_member(ctx, src, mb, q, memo);
}
