// Luma prediction of whole macroblocks in frame and field pictures. Two
// templates cover every member: luma_partition_member for the 16x16, 16x8
// and 8x16 types (shape and partition lists read from the MbTypeCode bits)
// and luma_skip_member for P_Skip, B_Skip and B_Direct_16x16.
//
// A member derives its motion vectors, interpolates each partition and list
// from the reference in 8-bit samples (a single-list partition straight into
// the picture), records the reference picture and its identifier for
// deblocking and later direct prediction, weights or averages, and adds the
// residual. Direct macroblocks with motion per 4x4 block are combined from
// 16-bit tiles.
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "inter_internal.h"
#include "direct_motion.h"
#include "luma_sample_interpolation.h"
#include "motion_vectors.h"
#include "skip_direct.h"
#include "weighted_sample_prediction.h"
#include "weighting.h"
#include "weighting_dsp.h"
#include "inter_prediction.h"
#include "luma_combine_dsp.h"
#include "vpiInterpolate.h"

namespace {

// Reference records of a list: the picture in the given quadrants and its
// identifier byte in the given 4x4 blocks.
void record_reference(MacroblockRecord* mb, int list, const inter::PartitionReference& ref, unsigned quadrantMask,
                      unsigned blockMask) {
  DecodedPicture** pics = list ? mb->ref_pic_l1 : mb->ref_pic_l0;
  uint8_t* ids = list ? mb->ref_id_l1 : mb->ref_id_l0;
  const uint8_t id = ref.id;
  for (unsigned m = quadrantMask & 15; m; m &= m - 1) pics[__builtin_ctz(m)] = ref.pic;
  if (blockMask == 0xFFFF) {
    std::memset(ids, id, 16);
    return;
  }
  for (unsigned m = blockMask & 0xFFFF; m; m &= m - 1) ids[__builtin_ctz(m)] = id;
}

// The residual the combination adds: none (null) when the macroblock coded
// no luma coefficients, whose residual is then all zero, so that its 512
// bytes are not read.
inline const int16_t* luma_residual(const MacroblockRecord* mb) {
  return (mb->cbp_luma | mb->luma_dc_nonzero) != 0 ? mb->luma_coeff : nullptr;
}

struct LumaCall {
  DecodedPicture* const* lists[2];
  uint16_t mbX, mbY;
  uint8_t* dst;
  MacroblockRecord* mb;
  uint32_t pitch, frameWidth, frameHeight;
};

// The weighting routines look explicit weights up with the reference index
// shifted by this: 1 for a field macroblock of an MBAFF frame.
template <bool Mbaff>
inline uint8_t weight_shift(const MacroblockRecord* mb) {
  return Mbaff && mb->mb_structure != kFrame ? 1 : 0;
}

// First luma sample of the reference a partition reads: the bottom field
// starts one frame line (half the field pitch) down.
inline const uint8_t* luma_source(const inter::PartitionReference& ref, uint32_t pitch) {
  return frame_luma(ref.pic) + (ref.bottomField ? pitch / 2 : 0);
}

// The reference of list `list` at the reference index of quadrant q,
// recorded for the given quadrants and 4x4 blocks.
template <bool Mbaff>
inter::PartitionReference partition_reference(const LumaCall& call, int list, int q, unsigned quadrantMask,
                                              unsigned blockMask) {
  MacroblockRecord* mb = call.mb;
  const int8_t refIdx = list ? mb->ref_idx_l1[q] : mb->ref_idx_l0[q];
  const inter::PartitionReference ref = inter::reference_for<Mbaff>(call.lists[list], mb, list, refIdx);
  record_reference(mb, list, ref, quadrantMask, blockMask);
  return ref;
}

// Interpolates the block (offset ox, oy; w x h) of list `list` from ref with
// the vector of 4x4 block b into the 8-bit block dst (row stride dstStride).
inline void interpolate_bytes(const LumaCall& call, const inter::PartitionReference& ref, int list, int b, int ox,
                              int oy, int w, int h, uint8_t* dst, int dstStride) {
  inter::interpolate_luma_bytes(call.mb, ref, list ? call.mb->mv_l1[b] : call.mb->mv_l0[b], call.mbX + ox,
                                call.mbY + oy, w, h, dst, dstStride, call.pitch, call.frameWidth, call.frameHeight);
}

// Geometry of partition p of a macroblock of shape 0 (16x16), 1 (16x8), 2
// (8x16) or 3 (four 8x8 quadrants): the quadrant whose reference indices
// and the 4x4 block whose vector it uses, its offset and size, and the
// quadrants and 4x4 blocks it covers.
struct Partition {
  int q, b, ox, oy, w, h;
  unsigned quadrants, blocks;
};

constexpr Partition partition_of(int shape, int p) {
  switch (shape) {
    case 0: return {0, 0, 0, 0, 16, 16, 0xFu, 0xFFFFu};
    case 1: return {2 * p, 8 * p, 0, 8 * p, 16, 8, 3u << (2 * p), 0xFFu << (8 * p)};
    case 2: return {p, 4 * p, 8 * p, 0, 8, 16, 5u << p, 0xF0Fu << (4 * p)};
    default: return {p, 4 * p, 8 * (p & 1), 8 * (p >> 1), 8, 8, 1u << p, 0xFu << (4 * p)};
  }
}

// Asks for the cache lines of both chroma planes that the chroma prediction
// of block g will read from ref with vector mv (rows clamped to the plane as
// the prediction clamps them; the vertical quarter-sample move between
// fields of opposite parity does not change the lines enough to matter). A
// prefetch never faults, and the addresses are formed as integers. (Forced
// inline: a separate function that only prefetches counts as one without
// effects, and the compiler drops its calls.)
__attribute__((always_inline)) inline void prefetch_chroma(const LumaCall& call, const inter::PartitionReference& ref, const int16_t* mv,
                     const Partition& g) {
  const DecodedPicture* pic = ref.pic;
  const uint32_t lumaFramePitch = frame_luma_pitch(pic), chromaFramePitch = frame_chroma_pitch(pic);
  if (lumaFramePitch == 0) return;
  // Field macroblocks and field pictures step over every other frame line.
  const uintptr_t step = chromaFramePitch * (call.pitch > lumaFramePitch ? 2u : 1u);
  const int32_t rows = static_cast<int32_t>(call.frameHeight / 2);
  const int32_t x = (call.mbX + g.ox) / 2 + (mv[0] >> 3);
  const int32_t y = (call.mbY + g.oy) / 2 + (mv[1] >> 3);
  const int32_t last = static_cast<int32_t>(chromaFramePitch) - 17;  // the prediction's start-column bounds
  const intptr_t column = x < -8 ? -8 : x > last ? last : x;
  // Rows y .. y + h/2, clamped only when they leave the plane.
  const int32_t firstRow = y < 0 ? 0 : y >= rows ? rows - 1 : y;
  const int32_t lastRow = y + g.h / 2 < 0 ? 0 : y + g.h / 2 >= rows ? rows - 1 : y + g.h / 2;
  const uintptr_t span = static_cast<uintptr_t>(g.w / 2);
  for (const uint8_t* plane : {frame_cb(pic), frame_cr(pic)}) {
    uintptr_t at = reinterpret_cast<uintptr_t>(plane) + (ref.bottomField ? chromaFramePitch : 0) + column +
                   static_cast<uintptr_t>(firstRow) * step;
    for (int32_t r = firstRow; r <= lastRow; ++r, at += step) {
      __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 3);
      __builtin_prefetch(reinterpret_cast<const void*>(at + span), 0, 3);
    }
  }
}

// The macroblock decoded next mostly moves like this one: asks for the luma
// lines that a 16x16 block there would read with this block's reference and
// vector (a guess; a prefetch never faults, and the addresses are formed as
// integers). In MBAFF frames the next macroblock is the other one of the
// pair, or the top one of the next pair; a field one reads the field of the
// other parity. (Forced inline, as prefetch_chroma.)
template <bool Mbaff>
__attribute__((always_inline)) inline void prefetch_next_luma(const LumaCall& call,
                                                              const inter::PartitionReference& ref,
                                                              const int16_t* mv) {
  int32_t x = call.mbX + 16, y = call.mbY;
  bool bottom = ref.bottomField;
  if constexpr (Mbaff) {
    const bool field = call.mb->mb_structure != kFrame, top = (call.mb->mb_addr & 1) == 0;
    x = top ? call.mbX : call.mbX + 16;
    if (!field) y += top ? 16 : -16;
    bottom = field ? !bottom : bottom;
  }
  const int32_t width = static_cast<int32_t>(call.frameWidth > 64 ? call.frameWidth - 64 : call.frameWidth);
  const int32_t rows = static_cast<int32_t>(call.frameHeight);
  x += (mv[0] >> 2) - 2;
  y += (mv[1] >> 2) - 2;
  // The margins hold 32 columns on each side.
  x = x < -32 ? -32 : x > width + 8 ? width + 8 : x;
  const int32_t firstRow = y < 0 ? 0 : y >= rows ? rows - 1 : y;
  const int32_t lastRow = y + 20 < 0 ? 0 : y + 20 >= rows ? rows - 1 : y + 20;
  uintptr_t at = reinterpret_cast<uintptr_t>(frame_luma(ref.pic)) + (bottom ? call.pitch / 2 : 0) +
                 static_cast<uintptr_t>(static_cast<intptr_t>(x)) + static_cast<uintptr_t>(firstRow) * call.pitch;
  for (int32_t r = firstRow; r <= lastRow; ++r, at += call.pitch) {
    __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 3);
    __builtin_prefetch(reinterpret_cast<const void*>(at + 20), 0, 3);
  }
}

// The reference block a full-sample vector of list `list` at 4x4 block b
// selects for the block (offset ox, oy; w x h), when it lies wholly inside
// the picture: its samples are then the prediction itself, read in place.
// Null for a fractional vector or a block that needs edge samples.
inline const uint8_t* full_sample_block(const LumaCall& call, const inter::PartitionReference& ref, int list, int b,
                                        int ox, int oy, int w, int h) {
  const int16_t* mv = list ? call.mb->mv_l1[b] : call.mb->mv_l0[b];
  if (((mv[0] | mv[1]) & 3) != 0) return nullptr;
  const int32_t width = static_cast<int32_t>(call.frameWidth > 64 ? call.frameWidth - 64 : call.frameWidth);
  const int32_t x = call.mbX + ox + (mv[0] >> 2), y = call.mbY + oy + (mv[1] >> 2);
  if (x < 0 || y < 0 || x + w > width || y + h > static_cast<int32_t>(call.frameHeight)) return nullptr;
  await_reference_lines(call.mb->slice, ref.pic, call.mb->mb_structure != kFrame, ref.bottomField, y + h + 3);
  return luma_source(ref, call.pitch) + static_cast<ptrdiff_t>(y) * call.pitch + x;
}

// The combination of the partitions' predictions (one block, or two to
// average) with the residual into the picture, by the routine of the shape
// and of the partitions still to average.
__attribute__((always_inline)) inline void combine_partitions(const LumaCall& call, int shape,
                                                              const LumaQuarterBytes* s, const int16_t* residual,
                                                              uint8_t flag8x8) {
  const auto one = [&](int p) { return LumaBlockBytes{s[p].a, s[p].stride}; };
  const auto two = [&](int p) { return LumaBlockBytes{s[p].b, s[p].bStride}; };
  uint8_t* const dst = call.dst;
  const uint32_t pitch = call.pitch;
  const int averaged = (s[0].b ? 1 : 0) | (shape != 0 && s[1].b ? 2 : 0);
  switch (shape) {
    case 0: {
      const LumaBlockBytes a = one(0), b = two(0);
      const LumaBlockBytes al{a.p + 8 * a.stride, a.stride}, bl{b.p ? b.p + 8 * b.stride : nullptr, b.stride};
      if (residual == nullptr)
        return averaged ? CombineSamplesLuma_B_Skip(a, b, dst, pitch) : CombineSamplesLuma_P_Skip(a, dst, pitch);
      if (averaged) return CombineSamplesLuma_Bi_16x16(residual, a, b, al, bl, dst, pitch, flag8x8);
      return CombineSamplesLuma_LX_16x16(residual, a, al, dst, pitch, flag8x8);
    }
    case 1:
      switch (averaged) {
        case 0: return CombineSamplesLuma_LX_16x16(residual, one(0), one(1), dst, pitch, flag8x8);
        case 1: return CombineSamplesLuma_Bi_LX_16x8(residual, one(0), two(0), one(1), dst, pitch, flag8x8);
        case 2: return CombineSamplesLuma_LX_Bi_16x8(residual, one(0), one(1), two(1), dst, pitch, flag8x8);
        default: return CombineSamplesLuma_Bi_16x16(residual, one(0), two(0), one(1), two(1), dst, pitch, flag8x8);
      }
    case 2:
      switch (averaged) {
        case 0: return CombineSamplesLuma_LX_8x16(residual, one(1), one(0), dst, pitch, flag8x8);
        case 1: return CombineSamplesLuma_Bi_LX_8x16(residual, one(0), two(0), one(1), dst, pitch, flag8x8);
        case 2: return CombineSamplesLuma_LX_Bi_8x16(residual, one(0), one(1), two(1), dst, pitch, flag8x8);
        default: return CombineSamplesLuma_Bi_8x16(residual, one(0), two(0), one(1), two(1), dst, pitch, flag8x8);
      }
    default: {
      // Four quadrants: each its own source, combined by the kernel.
      LumaQuarterBytes quarters[4] = {s[0], s[1], s[2], s[3]};
      luma_combine_dsp().combine_bytes_16x16(dst, pitch, quarters, residual, flag8x8);
    }
  }
}

// Prediction of a macroblock of shape `shape` whose partitions predict
// from lists[p] (1 list 0, 2 list 1, 3 both) in 8-bit samples, weighted by
// the slice's rules when `weighted`, else averaged. A single-list partition
// is interpolated straight into the picture; a bi-predicted one is formed
// from its two blocks, weighted straight into the picture or averaged (and
// the residual added) by the final combination. A block at a full-sample
// position inside the picture is read in place from the reference, not
// copied. A macroblock that reads the picture being decoded (a damaged
// stream's stand-in reference) goes through scratch blocks for what would
// otherwise be written early, so that its samples are read before any is
// written, as before. The residual, when there is one, is added by the
// combination.
template <bool Mbaff, int Shape>
void predict_bytes(const LumaCall& call, const int* lists, bool weighted, const int16_t* residual, uint8_t flag8x8) {
  constexpr int shape = Shape;
  const DecodedPicture* current = call.mb->slice->picture;
  alignas(16) uint8_t scratch[2][256];  // rows of 16: list-0 (or single-list) and list-1 blocks
  const int parts = shape == 0 ? 1 : shape == 3 ? 4 : 2;
  LumaQuarterBytes sources[4];  // each partition's prediction: one block, or two to average
  bool combine = residual != nullptr;
  // Every reference first, and a prefetch of the chroma samples each block
  // will read, which the chroma member reads after this luma work.
  inter::PartitionReference refs[4][2];
  bool readsCurrent = false;
  for (int p = 0; p < parts; ++p) {
    const Partition g = partition_of(shape, p);
    for (int list = 0; list < 2; ++list) {
      if (!(lists[p] & (1 << list))) continue;
      refs[p][list] = partition_reference<Mbaff>(call, list, g.q, g.quadrants, g.blocks);
      readsCurrent |= refs[p][list].pic == current;
      prefetch_chroma(call, refs[p][list], list ? call.mb->mv_l1[g.b] : call.mb->mv_l0[g.b], g);
    }
  }
  {
    const int list = lists[0] == 2;
    prefetch_next_luma<Mbaff>(call, refs[0][list], list ? call.mb->mv_l1[0] : call.mb->mv_l0[0]);
  }
  // Explicit weights work on single-list samples in place: those are then
  // never read from the reference in place.
  const bool weighSingle = weighted && call.mb->slice->weightingMode == 1;
  LumaHalfBytes halves[4];
  for (int p = 0; p < parts; ++p) {
    const Partition g = partition_of(shape, p);
    const int offset = 16 * g.oy + g.ox;
    uint8_t* const picture = call.dst + static_cast<ptrdiff_t>(g.oy) * call.pitch + g.ox;
    if (lists[p] == 3) {
      const uint8_t* block[2];
      ptrdiff_t stride[2];
      for (int list = 0; list < 2; ++list) {
        const inter::PartitionReference& ref = refs[p][list];
        block[list] = ref.pic != current ? full_sample_block(call, ref, list, g.b, g.ox, g.oy, g.w, g.h) : nullptr;
        stride[list] = call.pitch;
        if (!block[list]) {
          interpolate_bytes(call, ref, list, g.b, g.ox, g.oy, g.w, g.h, scratch[list] + offset, 16);
          block[list] = scratch[list] + offset;
          stride[list] = 16;
        }
      }
      // Weighted into the picture, unless the combination comes after.
      const bool early = residual == nullptr && !readsCurrent;
      halves[p] = {block[0], stride[0], block[1], stride[1], early ? picture : scratch[0] + offset,
                   early ? static_cast<ptrdiff_t>(call.pitch) : 16, g.w, g.h};
      continue;
    }
    const int list = lists[p] == 2;
    const inter::PartitionReference& ref = refs[p][list];
    if (residual != nullptr && !weighSingle && ref.pic != current) {
      if (const uint8_t* block = full_sample_block(call, ref, list, g.b, g.ox, g.oy, g.w, g.h)) {
        halves[p] = {block, call.pitch, nullptr, 0, nullptr, 0, g.w, g.h};
        continue;
      }
    }
    uint8_t* at = picture;
    ptrdiff_t stride = call.pitch;
    if (ref.pic == current) {
      at = scratch[0] + offset;
      stride = 16;
    }
    interpolate_bytes(call, ref, list, g.b, g.ox, g.oy, g.w, g.h, at, static_cast<int>(stride));
    halves[p] = {at, stride, nullptr, 0, at, stride, g.w, g.h};
  }
  if (weighted) WeighLumaPartitions(call.mb, shape, lists, halves, weight_shift<Mbaff>(call.mb));
  // The combination follows for a residual, a half still to average, or
  // one formed outside the picture.
  for (int p = 0; p < parts; ++p) {
    const Partition g = partition_of(shape, p);
    const LumaHalfBytes& h = halves[p];
    sources[p] = {h.p0, h.p1, h.stride0, h.stride1};
    combine |= h.p1 != nullptr || h.p0 != call.dst + static_cast<ptrdiff_t>(g.oy) * call.pitch + g.ox;
  }
  // A 16x16 single-list prediction without residual is stored by
  // CombineSamplesLuma_P_Skip, which has nothing to do when it was formed in
  // the picture.
  if (combine || (shape == 0 && sources[0].b == nullptr)) combine_partitions(call, shape, sources, residual, flag8x8);
}

// Motion vector derivation of one partition and list.
#define INTER_DERIVE(name) (Mbaff ? MotionVectorDerivation_##name##_mbaff : MotionVectorDerivation_##name)
template <bool Mbaff>
void derive(int shape, int list, int part, MacroblockRecord* mb) {
  switch (shape * 4 + list * 2 + part) {
    case 0: INTER_DERIVE(16x16_L0)(mb); break;
    case 2: INTER_DERIVE(16x16_L1)(mb); break;
    case 4: INTER_DERIVE(16x8_L0_upper)(mb); break;
    case 5: INTER_DERIVE(16x8_L0_lower)(mb); break;
    case 6: INTER_DERIVE(16x8_L1_upper)(mb); break;
    case 7: INTER_DERIVE(16x8_L1_lower)(mb); break;
    case 8: INTER_DERIVE(8x16_L0_left)(mb); break;
    case 9: INTER_DERIVE(8x16_L0_right)(mb); break;
    case 10: INTER_DERIVE(8x16_L1_left)(mb); break;
    case 11: INTER_DERIVE(8x16_L1_right)(mb); break;
    default: break;
  }
}
#undef INTER_DERIVE

// 16x16, 16x8 and 8x16 macroblocks of MbTypeCode Code.
template <uint8_t Code, bool Mbaff>
void luma_partition_member(const LumaCall& call) {
  constexpr int kShape = Code & 3;  // 0 16x16, 1 16x8, 2 8x16
  constexpr int kParts = kShape ? 2 : 1;
  constexpr int kPred0 = (Code >> 4) & 3, kPred1 = kShape ? (Code >> 2) & 3 : 0;
  constexpr int kPred[2] = {kPred0, kPred1};
  MacroblockRecord* mb = call.mb;
  // Within a list the second partition's prediction reads the first's result.
  for (int list = 0; list < 2; ++list)
    for (int p = 0; p < kParts; ++p)
      if (kPred[p] & (1 << list)) derive<Mbaff>(kShape, list, p, mb);
  predict_bytes<Mbaff, kShape>(call, kPred, mb->slice->weightingMode != 0, luma_residual(mb),
                               mb->transform_size_8x8_flag);
}

// The direct luma prediction of one quadrant into its 8-bit block (rows of
// 8), one 4x4 kernel call per block (direct motion derived per 4x4 block).
template <bool Mbaff>
void predict_quadrant(const LumaCall& call, int list, int q, uint8_t* block) {
  MacroblockRecord* mb = call.mb;
  const int8_t refIdx = list ? mb->ref_idx_l1[q] : mb->ref_idx_l0[q];
  const inter::PartitionReference ref = inter::reference_for<Mbaff>(call.lists[list], mb, list, refIdx);
  record_reference(mb, list, ref, 1u << q, 0xFu << (4 * q));
  const int16_t(*mvs)[2] = list ? mb->mv_l1 : mb->mv_l0;
  const int qx = call.mbX + 8 * (q & 1), qy = call.mbY + 8 * (q >> 1);
  for (int k = 0; k < 4; ++k) {
    const int16_t* mv = mvs[4 * q + k];
    const int bx = 4 * (k & 1), by = 4 * (k >> 1);
    // The six-tap filter reads three lines below the block.
    await_reference_lines(mb->slice, ref.pic, mb->mb_structure != kFrame, ref.bottomField,
                          qy + by + (mv[1] >> 2) + 4 + 3);
    DecideLumaSampleInterpolation_4x4(mv)(block + 8 * by + bx, 8, luma_source(ref, call.pitch),
                                          qx + bx + (mv[0] >> 2), qy + by + (mv[1] >> 2), call.pitch,
                                          call.frameWidth, call.frameHeight);
  }
}

// True when every quadrant of list `list` uses one reference index and
// vector, so the macroblock can be predicted as one 16x16 block.
bool quadrants_agree(const MacroblockRecord* mb, int list, bool perBlock) {
  const int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
  const int16_t(*mv)[2] = list ? mb->mv_l1 : mb->mv_l0;
  if (ref[1] != ref[0] || ref[2] != ref[0] || ref[3] != ref[0]) return false;
  uint32_t first;
  std::memcpy(&first, mv[0], 4);
  for (int b = perBlock ? 1 : 4; b < 16; b += perBlock ? 1 : 4) {
    uint32_t v;
    std::memcpy(&v, mv[b], 4);
    if (v != first) return false;
  }
  return true;
}

// A direct macroblock with motion per 4x4 block (no 8x8 inference): each
// quadrant's 8-bit prediction from four 4x4 predictions, weighted by the
// quadrant members, then widened into the 16-bit tiles of the 8x8
// combinations. Out of line: the common skip and direct paths keep their
// frame small.
template <bool Mbaff, bool Residual>
__attribute__((noinline)) void predict_per_block(const LumaCall& call, int lists, const int16_t* res, uint8_t flag) {
  MacroblockRecord* mb = call.mb;
  const uint32_t mode = mb->slice->weightingMode;
  alignas(16) uint8_t bytes[2][256];  // per list, quadrant q at 64 q, rows of 8
  LumaHalfBytes halves[4];
  for (uint8_t q = 0; q < 4; ++q) {
    for (int list = 0; list < 2; ++list)
      if (lists & (1 << list)) predict_quadrant<Mbaff>(call, list, q, bytes[list] + 64 * q);
    uint8_t* p0 = bytes[lists == 2 ? 1 : 0] + 64 * q;
    halves[q] = {p0, 8, lists == 3 ? bytes[1] + 64 * q : nullptr, 8, p0, 8, 8, 8};
  }
  if (mode != 0) {
    const int each[4] = {lists, lists, lists, lists};
    WeighLumaPartitions(mb, 3, each, halves, weight_shift<Mbaff>(mb));
  }
  // A bi-predicted quadrant whose weights change nothing still holds both
  // lists: the combination averages them when every quadrant does, else
  // they are averaged here.
  const WeightingDsp& dsp = weighting_dsp();
  alignas(16) InterPredictionBuffer tiles[2];
  unsigned pairs = 0;
  for (int q = 0; q < 4; ++q) {
    dsp.widen(halves[q].p0, 8, tiles[0] + 64 * q, 8, 8, 8);
    if (halves[q].p1 == nullptr) continue;
    dsp.widen(halves[q].p1, 8, tiles[1] + 64 * q, 8, 8, 8);
    pairs |= 1u << q;
  }
  if (pairs != 0 && pairs != 0xF) {
    for (int q = 0; q < 4; ++q) {
      if ((pairs & (1u << q)) == 0) continue;
      uint16_t* t0 = reinterpret_cast<uint16_t*>(tiles[0] + 64 * q);
      dsp.average(t0, 8, reinterpret_cast<const uint16_t*>(tiles[1] + 64 * q), 8, t0, 8, 8, 8);
    }
    pairs = 0;
  }
  if (pairs != 0) {
    if (Residual) return CombineSamplesLuma_Bi_8x8(res, tiles[0], tiles[1], call.dst, call.pitch, flag);
    return CombineSamplesLuma_B_Skip_8x8(tiles[0], tiles[1], call.dst, call.pitch);
  }
  if (Residual) return CombineSamplesLuma_LX_8x8(res, tiles[0], call.dst, call.pitch, flag);
  CombineSamplesLuma_P_Skip_8x8(tiles[0], call.dst, call.pitch);
}

// P_Skip (147), B_Skip (227) and B_Direct_16x16 (107).
template <uint8_t Code, bool Mbaff>
void luma_skip_member(const LumaCall& call) {
  constexpr bool kResidual = Code == MbB_Direct_16x16;
  MacroblockRecord* mb = call.mb;
  const SliceDecodeContext* s = mb->slice;
  const uint32_t mode = s->weightingMode;
  const uint8_t flag = mb->transform_size_8x8_flag;
  const int16_t* res = luma_residual(mb);
  if constexpr (Code == MbP_Skip) {
    (Mbaff ? MotionVectorDerivation_P_Skip_mbaff : MotionVectorDerivation_P_Skip)(mb);
    const int lists[1] = {1};
    return predict_bytes<Mbaff, 0>(call, lists, mode != 0, nullptr, 0);
  }
  // The derivation may take its lists as plain arrays of pointers; it only
  // reads them.
  (Mbaff ? MotionVectorDerivation_B_Skip_Direct_mbaff : MotionVectorDerivation_B_Skip_Direct)(const_cast<DecodedPicture**>(call.lists[0]),
                                       const_cast<DecodedPicture**>(call.lists[1]), mb);
  const int lists = mb->pred_flag_l0[0] != 1 ? 2 : mb->pred_flag_l1[0] != 1 ? 1 : 3;
  const bool perBlock = s->direct_8x8_inference_flag == 0;
  const bool agree = (!(lists & 1) || quadrants_agree(mb, 0, perBlock)) && (!(lists & 2) || quadrants_agree(mb, 1, perBlock));
  if (agree || !perBlock) {
    // One 16x16 block, or the four quadrants.
    const int each[4] = {lists, lists, lists, lists};
    if (agree) return predict_bytes<Mbaff, 0>(call, each, mode != 0, kResidual ? res : nullptr, flag);
    return predict_bytes<Mbaff, 3>(call, each, mode != 0, kResidual ? res : nullptr, flag);
  }
  predict_per_block<Mbaff, kResidual>(call, lists, res, flag);
}

}  // namespace

#define INTER_LUMA_CALL_ONE LumaCall{{refList, refList}, mbX, mbY, dst, mb, pitch, frameWidth, frameHeight}
#define INTER_LUMA_CALL_TWO LumaCall{{refList0, refList1}, mbX, mbY, dst, mb, pitch, frameWidth, frameHeight}

#define INTER_DEFINE_PARTITION_MEMBER(name, mbaffName, slice, code, lists, weighting)                          \
  void name(INTER_LUMA_ARGS_##lists) {                                                                         \
    luma_partition_member<code, false>(INTER_LUMA_CALL_##lists);                                             \
  }                                                                                                            \
  void mbaffName(INTER_LUMA_ARGS_##lists) {                                                                 \
    luma_partition_member<code, true>(INTER_LUMA_CALL_##lists);                                              \
  }
INTER_LUMA_PARTITION_MEMBERS(INTER_DEFINE_PARTITION_MEMBER)

#define INTER_DEFINE_SKIP_MEMBER(name, mbaffName, slice, code, lists)                               \
  void name(INTER_LUMA_ARGS_##lists) { luma_skip_member<code, false>(INTER_LUMA_CALL_##lists); } \
  void mbaffName(INTER_LUMA_ARGS_##lists) { luma_skip_member<code, true>(INTER_LUMA_CALL_##lists); }
INTER_LUMA_SKIP_MEMBERS(INTER_DEFINE_SKIP_MEMBER)

void inter::interpolate_luma_bytes(const MacroblockRecord* mb, const PartitionReference& ref, const int16_t* mv,
                                   int32_t x, int32_t y, int w, int h, uint8_t* dst, int dstStride, uint32_t pitch,
                                   uint32_t frameWidth, uint32_t frameHeight) {
  // The six-tap filter reads three lines below the block.
  await_reference_lines(mb->slice, ref.pic, mb->mb_structure != kFrame, ref.bottomField, y + (mv[1] >> 2) + h + 3);
  // The primitive clamps to the picture itself (the pitch less both
  // margins), so vectors far past the right edge replicate the edge sample.
  const int32_t width = static_cast<int32_t>(frameWidth > 64 ? frameWidth - 64 : frameWidth);
  const uint8_t* source = frame_luma(ref.pic) + (ref.bottomField ? pitch / 2 : 0);
  // Mostly the block's window lies inside the picture: its kernel directly.
  if (vpiInterpolateLumaInside(source, static_cast<int32_t>(pitch), width, static_cast<int32_t>(frameHeight),
                               x + (mv[0] >> 2), y + (mv[1] >> 2), mv[0] & 3, mv[1] & 3, w, h, dst, dstStride))
    return;
  InterpolateBlockParams params{};
  params.pSrc[0] = source;
  params.srcStep = static_cast<int32_t>(pitch);
  params.pDst[0] = dst;
  params.dstStep = dstStride;
  params.frameWidth = width;
  params.frameHeight = static_cast<int32_t>(frameHeight);
  params.blockWidth = w;
  params.blockHeight = h;
  params.blockX = static_cast<uint16_t>(x);
  params.blockY = static_cast<uint16_t>(y);
  params.mvX = mv[0];
  params.mvY = mv[1];
  vpiInterpolateLumaBlock_H264_8u_P1R(&params);
}
