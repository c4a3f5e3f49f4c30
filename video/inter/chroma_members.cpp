// Chroma prediction of whole macroblocks in frame and field pictures (4:2:0):
// every member and partition worker is one instance of predict_block applied
// to the blocks its macroblock type cuts: one 8x8 block (16x16, P_Skip), two
// 8x4 or 4x8 partitions, or four 4x4 quadrants (B_Skip, B_Direct_16x16; 2x2
// blocks when direct motion is kept per 4x4 luma block). Cb is done before Cr.

#include <cstddef>
#include <cstring>


#include "chroma_dsp.h"
#include "inter_internal.h"
#include "inter_prediction.h"
#include "vpiInterpolate.h"

namespace {

// One chroma block of a macroblock: offset (bx, by) and size inside the
// macroblock's 8x8 chroma block, and the quadrant and 4x4 luma block whose
// reference index and motion vector it uses.
struct ChromaBlock {
  int bx, by, w, h;
  int quadrant;
  int lumaBlock;
};

struct ChromaCall {
  DecodedPicture* const* lists[2];
  int32_t x, y;  // chroma position of the block's first sample
  uint8_t* dst[2];
  MacroblockRecord* mb;
  int32_t pitch, width, height;
};

// Field macroblocks of MBAFF frames read reference fields and look explicit
// weights up with the halved reference index.
inline bool mbaff_field(const MacroblockRecord* mb) { return mb->slice->MbaffFrameFlag && mb->mb_structure != kFrame; }

// Where list `list` of the block reads: the reference (to *ref) and the
// block's position in both of its chroma planes. Waits until the rows the
// bilinear filter reads are decoded.
template <int Rows>
ChromaPairSource chroma_source(const ChromaCall& call, const ChromaBlock& blk, int list,
                               inter::PartitionReference* refOut) {
  const MacroblockRecord* mb = call.mb;
  const int8_t refIdx = list ? mb->ref_idx_l1[blk.quadrant] : mb->ref_idx_l0[blk.quadrant];
  const inter::PartitionReference ref = mb->slice->MbaffFrameFlag
                                            ? inter::reference_for<true>(call.lists[list], mb, list, refIdx)
                                            : inter::reference_for<false>(call.lists[list], mb, list, refIdx);
  const int16_t* mv = list ? mb->mv_l1[blk.lumaBlock] : mb->mv_l0[blk.lumaBlock];
  // A field predicting from the field of the other parity moves by a quarter
  // chroma sample.
  // (Field macroblocks, of field pictures or MBAFF frames, have the parity of
  // their field as structure.)
  const int refParity = ref.bottomField ? kBottomField : kTopField, curParity = mb->mb_structure;
  int dv = 0;
  if (curParity != kFrame && refParity == kTopField && curParity == kBottomField) dv = 2;
  if (curParity != kFrame && refParity == kBottomField && curParity == kTopField) dv = -2;
  const int32_t cvx = mv[0];
  const int32_t cvy = static_cast<int16_t>(mv[1] + dv);
  const ptrdiff_t field = ref.bottomField ? call.pitch / 2 : 0;
  // In luma lines: chroma line l lies on luma lines 2l and 2l + 1.
  await_reference_lines(mb->slice, ref.pic, mb->mb_structure != kFrame, ref.bottomField,
                        2 * (call.y + (cvy >> 3) + Rows + 1) + 1);
  *refOut = ref;
  return {frame_cb(ref.pic) + field, frame_cr(ref.pic) + field, call.x + (cvx >> 3), call.y + (cvy >> 3), cvx & 7,
          cvy & 7};
}

constexpr int kernel_of(int rows) { return rows == 2 ? 0 : rows == 4 ? 1 : 2; }

// Prediction of one list for both components into Rows rows of 8 (Cb, then
// Cr at rows + 8 * Rows), or, when `direct` is set and the reference is not
// the picture being decoded (a damaged stream's stand-in, whose samples must
// all be read before any is written), straight into the picture with the
// residual added; *stored tells which.
template <int Rows>
inter::PartitionReference predict_list(const ChromaCall& call, const ChromaBlock& blk, int list, int16_t* rows,
                                       const ChromaPutArgs* direct = nullptr, bool* stored = nullptr) {
  inter::PartitionReference ref;
  const ChromaPairSource s = chroma_source<Rows>(call, blk, list, &ref);
  if (direct && ref.pic != call.mb->slice->picture) {
    chroma_dsp().put_pair[kernel_of(Rows)](s.cb, s.cr, s.x, s.y, s.dx, s.dy, call.width, call.height, call.pitch,
                                           direct);
    *stored = true;
    return ref;
  }
  GetChromaPrediction(Rows, s.cb, s.cr, s.x, s.y, s.dx, s.dy, rows, call.width, call.height, call.pitch);
  return ref;
}

// Weights of the bi-prediction of component c from references ref0 and
// ref1 at (shifted) indices i0, i1: rule 0 averages, 1 explicit weights of
// the slice's table, 2 implicit weights from the picture order counts.
struct ChromaBiWeights {
  uint32_t rule;
  int32_t w0, w1, offset, logWD;
};

ChromaBiWeights chroma_bi_weights(const MacroblockRecord* mb, uint32_t mode, int i0, int i1, int c, bool fieldMb,
                                  const inter::PartitionReference& ref0, const inter::PartitionReference& ref1) {
  ChromaBiWeights w{mode, 0, 0, 0, 5};
  if (w.rule == 1 && (static_cast<uint32_t>(i0) >= 32 || static_cast<uint32_t>(i1) >= 32)) w.rule = 0;
  if (w.rule == 1) {
    const PredWeightTable* table = mb->slice->weightTable;
    w.logWD = table->chroma_log2_weight_denom;
    w.w0 = table->chroma_weight_l0[i0][c];
    w.w1 = table->chroma_weight_l1[i1][c];
    w.offset = (table->chroma_offset_l0[i0][c] + table->chroma_offset_l1[i1][c] + 1) >> 1;
  } else if (w.rule == 2) {
    int32_t cur, poc0, poc1;
    if (fieldMb)
      inter::implicit_counts<true>(mb, ref0, ref1, &cur, &poc0, &poc1);
    else
      inter::implicit_counts<false>(mb, ref0, ref1, &cur, &poc0, &poc1);
    inter::implicit_weights(cur, poc0, poc1, &w.w0, &w.w1);
  }
  return w;
}

// The weights of the bi-prediction of component c from references ref0 and
// ref1 at (shifted) indices i0, i1, as put_weighted and put_pair_bi take
// them: explicit weights of the slice's table (mode 1), implicit weights
// from the picture order counts (mode 2), else the default average
// (weights 1 and 1 at denominator 0).
ChromaWeights WeightedBiChroma(const MacroblockRecord* mb, uint32_t mode, int i0, int i1, int c, bool fieldMb,
                               const inter::PartitionReference& ref0, const inter::PartitionReference& ref1) {
  const ChromaBiWeights b = chroma_bi_weights(mb, mode, i0, i1, c, fieldMb, ref0, ref1);
  return b.rule == 0 ? ChromaWeights{ChromaWeights::kTwo, 1, 1, 0, 0}
                     : ChromaWeights{ChromaWeights::kTwo, b.w0, b.w1, b.offset, b.logWD};
}

// True when the explicit single-list weights of entry idx (0..31) of list
// `list` leave both components' samples as they are.
inline bool plain_chroma_weights(const PredWeightTable* t, int list, int idx) {
  const int32_t unit = 1 << t->chroma_log2_weight_denom;
  const int16_t* w = list ? t->chroma_weight_l1[idx] : t->chroma_weight_l0[idx];
  const int8_t* o = list ? t->chroma_offset_l1[idx] : t->chroma_offset_l0[idx];
  return w[0] == unit && w[1] == unit && o[0] == 0 && o[1] == 0;
}

// Predicts, weights, adds the residual (when kResidual) and stores one block
// of both components. lists: 1 list 0, 2 list 1, 3 both.
template <int Rows, bool kResidual>
void predict_block(const ChromaCall& call, const ChromaBlock& blk, int lists) {
  const MacroblockRecord* mb = call.mb;
  const SliceDecodeContext* s = mb->slice;
  const PredWeightTable* table = s->weightTable;
  // Explicit weighting needs the slice's table; implicit weights do not.
  const uint32_t mode = (s->weightingMode == 1 && !table) ? 0 : s->weightingMode;
  const int shift = mbaff_field(mb) ? 1 : 0;
  // Without coded chroma coefficients the residual is all zero: not read.
  const bool addResidual = kResidual && mb->cbp_chroma != 0;
  const ptrdiff_t at = blk.bx + static_cast<ptrdiff_t>(blk.by) * call.pitch;
  const ChromaPutArgs out{{call.dst[0] + at, call.dst[1] + at}, call.pitch, addResidual ? mb->chroma_coeff : nullptr,
                          blk.bx, blk.by, blk.w};
  const ChromaDsp& dsp = chroma_dsp();
  alignas(16) int16_t preds[2][2][8 * Rows];  // [list][component]
  ChromaWeights w[2];                          // [component]
  if (lists != 3) {
    // Without explicit weights, or with weights that change nothing (weight
    // 2^logWD and offset 0 for both components), the prediction goes
    // straight into the picture.
    const int list = lists == 2;
    const int idx = (list ? mb->ref_idx_l1[blk.quadrant] : mb->ref_idx_l0[blk.quadrant]) >> shift;
    const bool weighted = mode == 1 && static_cast<uint32_t>(idx) < 32;
    if (!weighted || plain_chroma_weights(table, list, idx)) {
      bool stored = false;
      predict_list<Rows>(call, blk, list, preds[0][0], &out, &stored);
      if (stored) return;
    } else {
      predict_list<Rows>(call, blk, list, preds[0][0]);
    }
    for (int c = 0; c < 2; ++c)
      w[c] = !weighted ? ChromaWeights{ChromaWeights::kCopy, 0, 0, 0, 0}
                       : ChromaWeights{ChromaWeights::kSingle,
                                       list ? table->chroma_weight_l1[idx][c] : table->chroma_weight_l0[idx][c], 0,
                                       list ? table->chroma_offset_l1[idx][c] : table->chroma_offset_l0[idx][c],
                                       table->chroma_log2_weight_denom};
  } else {
    // Both lists in one kernel, straight into the picture, unless a
    // reference is the picture being decoded. Both sources are located
    // before either is read: their rows are mostly cache misses, and
    // issued back to back the misses overlap.
    inter::PartitionReference ref0{}, ref1{};
    ChromaPairSource sources[2];
    sources[0] = chroma_source<Rows>(call, blk, 0, &ref0);
    sources[1] = chroma_source<Rows>(call, blk, 1, &ref1);
    const int i0 = mb->ref_idx_l0[blk.quadrant] >> shift, i1 = mb->ref_idx_l1[blk.quadrant] >> shift;
    for (int c = 0; c < 2; ++c) {
      // Explicit weights differ per component; averages and implicit
      // weights do not.
      if (c == 1 && mode != 1) {
        w[1] = w[0];
        break;
      }
      w[c] = WeightedBiChroma(mb, mode, i0, i1, c, shift != 0, ref0, ref1);
    }
    if (ref0.pic != s->picture && ref1.pic != s->picture)
      return dsp.put_pair_bi[kernel_of(Rows)](sources, w, call.width, call.height, call.pitch, &out);
    for (int list = 0; list < 2; ++list)
      GetChromaPrediction(Rows, sources[list].cb, sources[list].cr, sources[list].x, sources[list].y,
                          sources[list].dx, sources[list].dy, preds[list][0], call.width, call.height, call.pitch);
  }
  for (int c = 0; c < 2; ++c) {
    // The combination of the block's size; 2x2 blocks (direct motion per
    // 4x4 luma block) by the store kernel directly.
    const int16_t* residual = addResidual ? mb->chroma_coeff + 64 * c : nullptr;
    const int16_t* p0 = preds[0][c];
    const int16_t* p1 = preds[1][c];
    if (Rows == 8 && blk.w == 8)
      CombineChromaSamples_8x8(residual, p0, p1, &w[c], out.dst[c], call.pitch);
    else if (Rows == 8)
      CombineChromaSamples_4x8(residual, static_cast<uint8_t>(blk.bx / 4), p0, p1, &w[c], out.dst[c], call.pitch);
    else if (Rows == 4 && blk.w == 8)
      CombineChromaSamples_8x4(residual, static_cast<uint8_t>(blk.by / 2), p0, p1, &w[c], out.dst[c], call.pitch);
    else if (Rows == 4)
      CombineChromaSamples_4x4_Direct(residual, static_cast<uint8_t>(2 * (blk.by / 4) + blk.bx / 4), p0, p1, &w[c],
                                      out.dst[c], call.pitch);
    else
      dsp.put_weighted(out.dst[c], call.pitch, p0, p1, &w[c], residual, blk.bx, blk.by, blk.w, blk.h);
  }
}

ChromaCall make_call(DecodedPicture* const* l0, DecodedPicture* const* l1, int32_t x, int32_t y, uint8_t* dstCb,
                     uint8_t* dstCr, MacroblockRecord* mb, uint32_t pitch, uint32_t width, uint32_t height) {
  return ChromaCall{{l0, l1}, x, y, {dstCb, dstCr}, mb, static_cast<int32_t>(pitch), static_cast<int32_t>(width),
                    static_cast<int32_t>(height)};
}

// Partition p of a 16x8 (Shape 1) or 8x16 (Shape 2) macroblock, predicted
// from lists Pred (1 L0, 2 L1, 3 both); partX/partY include the partition's
// offset.
template <int Pred, int Shape>
void chroma_partition(DecodedPicture* const* l0, DecodedPicture* const* l1, uint16_t partX, uint16_t partY,
                      uint8_t* dstCb, uint8_t* dstCr, MacroblockRecord* mb, uint32_t pitch, uint32_t width,
                      uint32_t height, uint8_t p) {
  const ChromaCall call = make_call(l0, l1, partX, partY, dstCb, dstCr, mb, pitch, width, height);
  if constexpr (Shape == 1)
    predict_block<4, true>(call, ChromaBlock{0, 4 * p, 8, 4, 2 * p, 8 * p}, Pred);
  else
    predict_block<8, true>(call, ChromaBlock{4 * p, 0, 4, 8, p, 4 * p}, Pred);
}

// The partition worker of prediction Pred and shape Shape that the frame
// (Mbaff false) or MBAFF member calls.
template <int Pred, int Shape, bool Mbaff>
struct ChromaWorker;
#define INTER_WORKER_ONE(name, pred, shape, mbaff)                                                            \
  template <>                                                                                                 \
  struct ChromaWorker<pred, shape, mbaff> {                                                                          \
    static void call(DecodedPicture* const* l0, DecodedPicture* const* l1, uint16_t x, uint16_t y, uint8_t* cb, \
                     uint8_t* cr, MacroblockRecord* mb, uint32_t pitch, uint32_t w, uint32_t h, uint8_t p) {    \
      name(pred == 2 ? l1 : l0, x, y, cb, cr, mb, pitch, w, h, p);                                           \
    }                                                                                                         \
  };
#define INTER_WORKER_TWO(name, pred, shape, mbaff)                                                            \
  template <>                                                                                                 \
  struct ChromaWorker<pred, shape, mbaff> {                                                                          \
    static void call(DecodedPicture* const* l0, DecodedPicture* const* l1, uint16_t x, uint16_t y, uint8_t* cb, \
                     uint8_t* cr, MacroblockRecord* mb, uint32_t pitch, uint32_t w, uint32_t h, uint8_t p) {    \
      name(l0, l1, x, y, cb, cr, mb, pitch, w, h, p);                                                         \
    }                                                                                                         \
  };
#define INTER_WORKER_SPECIALISE(name, mbaffName, pred, shape, lists) \
  INTER_WORKER_##lists(name, pred, shape, false) INTER_WORKER_##lists(mbaffName, pred, shape, true)
INTER_CHROMA_WORKERS(INTER_WORKER_SPECIALISE)
#undef INTER_WORKER_SPECIALISE
#undef INTER_WORKER_ONE
#undef INTER_WORKER_TWO

// Lists quadrant q of a direct macroblock predicts from: 1 list 0, 2 list 1,
// 3 both.
inline int lists_of(const MacroblockRecord* mb, int q) {
  return mb->pred_flag_l0[q] ? (mb->pred_flag_l1[q] ? 3 : 1) : 2;
}

// True when every quadrant of a direct macroblock uses the lists, reference
// indices and vectors of quadrant 0 (of its corner block when perBlock is
// false, of all four blocks otherwise).
inline bool direct_motion_uniform(const MacroblockRecord* mb, int lists, bool perBlock) {
  for (int q = 1; q < 4; ++q)
    if (lists_of(mb, q) != lists) return false;
  for (int list = 0; list < 2; ++list) {
    if (!(lists & (1 << list))) continue;
    const int8_t* ref = list ? mb->ref_idx_l1 : mb->ref_idx_l0;
    if (ref[1] != ref[0] || ref[2] != ref[0] || ref[3] != ref[0]) return false;
    uint32_t first;
    std::memcpy(&first, list ? mb->mv_l1[0] : mb->mv_l0[0], 4);
    for (int b = perBlock ? 1 : 4; b < 16; b += perBlock ? 1 : 4) {
      uint32_t v;
      std::memcpy(&v, list ? mb->mv_l1[b] : mb->mv_l0[b], 4);
      if (v != first) return false;
    }
  }
  return true;
}

// The reconstruction drivers walk a slice's records (over a kilobyte each)
// in address order, long after entropy decoding wrote them, so they have
// left the near caches: each member asks for the lines the members read
// (the chroma residual, motion and the tail fields, and the first line) of
// the record two further on, so that they arrive while this one and the
// next are done. A prefetch never faults,
// so records past a slice's last one are harmless; the addresses are formed
// as integers, since no object lies there.
// (Forced inline: a separate function that only prefetches counts as one
// without effects, and the compiler drops its calls.)
__attribute__((always_inline)) inline void prefetch_for_chroma_walk(const MacroblockRecord* mb) {
  const uintptr_t ahead = reinterpret_cast<uintptr_t>(mb) + 2 * sizeof(MacroblockRecord);
  const auto line = [](uintptr_t a) { __builtin_prefetch(reinterpret_cast<const void*>(a), 0, 3); };
  line(ahead);
  for (size_t o = offsetof(MacroblockRecord, chroma_coeff); o < sizeof(MacroblockRecord); o += 64) line(ahead + o);
  line(ahead + sizeof(MacroblockRecord) - 1);
}

// Offset of the chroma 4x4 block of quadrant q in an 8x8 byte block of
// step 8.
constexpr uint8_t ChromaPosTable[4] = {0, 4, 32, 36};

// Byte blocks of step 8 of the direct chroma route: per component the
// result that the final combination reads and the list-0 prediction of
// bi-predicted blocks.
struct DirectChromaBlocks {
  alignas(16) uint8_t result[2][64];  // [component]
  alignas(16) uint8_t list0[2][64];
};

// Predicts the n x n block (n 4 or 8) of quadrant blk.quadrant of both
// components from list `list` into the byte blocks cb and cr (step 8), by the
// chroma interpolation primitive; the reference's row readiness is awaited
// first.
template <int N>
void interpolate_direct(const ChromaCall& call, const ChromaBlock& blk, int list, uint8_t* cb, uint8_t* cr,
                        inter::PartitionReference* ref) {
  const ChromaPairSource s = chroma_source<N>(call, blk, list, ref);
  InterpolateBlockParams p;
  p.pSrc[0] = s.cr;
  p.pSrc[1] = s.cb;
  p.srcStep = call.pitch;
  p.pDst[0] = cr;
  p.pDst[1] = cb;
  p.dstStep = 8;
  // The planes' margins (8 samples each side) lie outside the picture.
  p.frameWidth = call.width - 16;
  p.frameHeight = call.height;
  p.blockWidth = N;
  p.blockHeight = N;
  p.blockX = call.x;
  p.blockY = call.y;
  // The chroma vector, rebuilt from its integer and fractional parts.
  p.mvX = 8 * (s.x - call.x) + s.dx;
  p.mvY = 8 * (s.y - call.y) + s.dy;
  vpiInterpolateChromaBlock_H264_8u_P2R(&p);
}

// One block of the frame B_Direct_16x16 chroma: the n x n block (n 4 or 8)
// of quadrant q at byte offset `pos` of the blocks, predicted from its lists
// and weighted. A block of 8 serves all four quadrants when they move alike.
template <int N>
void direct_block(const ChromaCall& call, int q, uint32_t mode, DirectChromaBlocks* b) {
  const MacroblockRecord* mb = call.mb;
  const PredWeightTable* table = mb->slice->weightTable;
  const int bx = 4 * (q & 1), by = 4 * (q >> 1);
  const ChromaCall at{{call.lists[0], call.lists[1]}, call.x + bx, call.y + by, {call.dst[0], call.dst[1]},
                      call.mb, call.pitch, call.width, call.height};
  const ChromaBlock blk{bx, by, N, N, q, 4 * q};
  const int pos = ChromaPosTable[q];
  const int lists = lists_of(mb, q);
  inter::PartitionReference ref0{}, ref1{};
  if (lists != 3) {
    const int list = lists == 2;
    interpolate_direct<N>(at, blk, list, b->result[0] + pos, b->result[1] + pos, &ref0);
    const int idx = list ? mb->ref_idx_l1[q] : mb->ref_idx_l0[q];
    if (mode != 1 || static_cast<uint32_t>(idx) >= 32) return;
    for (int c = 0; c < 2; ++c)
      vpiUniDirWeightBlock_H264_8u_C1IR(b->result[c] + pos, 8, table->chroma_log2_weight_denom,
                                        list ? table->chroma_weight_l1[idx][c] : table->chroma_weight_l0[idx][c],
                                        list ? table->chroma_offset_l1[idx][c] : table->chroma_offset_l0[idx][c], N,
                                        N);
    return;
  }
  interpolate_direct<N>(at, blk, 0, b->list0[0] + pos, b->list0[1] + pos, &ref0);
  interpolate_direct<N>(at, blk, 1, b->result[0] + pos, b->result[1] + pos, &ref1);
  if (mode == 0) {
    for (int c = 0; c < 2; ++c)
      vpiInterpolateBlock_H264_8u_P3P1R(b->list0[c] + pos, b->result[c] + pos, b->result[c] + pos, N, N, 8, 8, 8);
    return;
  }
  // Weighted bi-prediction is done per 4x4 block, each with its quadrant's
  // weights.
  for (int k = N == 8 ? 0 : q; k < (N == 8 ? 4 : q + 1); ++k)
    for (uint8_t c = 0; c < 2; ++c)
      WeightedBiChroma(b->list0[c] + ChromaPosTable[k], b->result[c] + ChromaPosTable[k], call.mb,
                       static_cast<uint8_t>(k), c);
}

// Adds the component's residual (null: none) to the 8x8 byte prediction
// (step 8) in 16 bits, saturates and stores the rows at dst.
void combine_direct(const uint8_t* pred, const int16_t* residual, uint8_t* dst, ptrdiff_t pitch) {
  if (!residual) {
    for (int y = 0; y < 8; ++y) std::memcpy(dst + y * pitch, pred + 8 * y, 8);
    return;
  }
  for (int y = 0; y < 8; ++y) {
    // The row's two 4-sample halves lie in the two 4x4 blocks side by side.
    const int16_t* r = residual + 16 * (2 * (y >> 2)) + 4 * (y & 3);
    uint8_t* out = dst + y * pitch;
    for (int x = 0; x < 8; ++x) {
      const int16_t sum = static_cast<int16_t>(pred[8 * y + x] + r[x < 4 ? x : 12 + x]);  // wraps in 16 bits
      out[x] = static_cast<uint8_t>(sum < 0 ? 0 : sum > 255 ? 255 : sum);
    }
  }
}

// Chroma of a B_Direct_16x16 macroblock of a frame or field picture: each
// quadrant's block of both components predicted by the interpolation
// primitive, weighted by the weighting primitives, then the residual added
// to each whole component.
void direct_chroma(const ChromaCall& call) {
  const MacroblockRecord* mb = call.mb;
  const SliceDecodeContext* s = mb->slice;
  const uint32_t mode = (s->weightingMode == 1 && !s->weightTable) ? 0 : s->weightingMode;
  DirectChromaBlocks b;
  // When every quadrant moves alike one 8x8 block gives the samples of the
  // four.
  if (direct_motion_uniform(mb, lists_of(mb, 0), false)) {
    direct_block<8>(call, 0, mode, &b);
  } else {
    for (int q = 0; q < 4; ++q) direct_block<4>(call, q, mode, &b);
  }
  const bool residual = mb->cbp_chroma != 0;
  for (int c = 0; c < 2; ++c)
    combine_direct(b.result[c], residual ? mb->chroma_coeff + 64 * c : nullptr, call.dst[c], call.pitch);
}

// The member of MbTypeCode Code; an MBAFF member calls the MBAFF workers.
template <uint8_t Code, bool Mbaff>
void chroma_member(DecodedPicture* const* l0, DecodedPicture* const* l1, uint16_t chromaX, uint16_t chromaY,
                   uint8_t* dstCb, uint8_t* dstCr, MacroblockRecord* mb, uint32_t pitch, uint32_t width,
                   uint32_t height) {
  prefetch_for_chroma_walk(mb);
  constexpr int kShape = Code & 3;
  constexpr int kPred0 = (Code >> 4) & 3, kPred1 = (Code >> 2) & 3;
  if constexpr (Code == MbP_Skip) {
    predict_block<8, false>(make_call(l0, l1, chromaX, chromaY, dstCb, dstCr, mb, pitch, width, height),
                            ChromaBlock{0, 0, 8, 8, 0, 0}, 1);
  } else if constexpr (Code == MbB_Skip || Code == MbB_Direct_16x16) {
    constexpr bool kResidual = Code == MbB_Direct_16x16;
    // Without 8x8 inference direct motion may differ per 4x4 luma block:
    // each then predicts its own 2x2 chroma block.
    const bool perBlock = mb->slice->direct_8x8_inference_flag == 0;
    if (Code == MbB_Direct_16x16 && !Mbaff && !perBlock)
      return direct_chroma(make_call(l0, l1, chromaX, chromaY, dstCb, dstCr, mb, pitch, width, height));
    // Mostly every block moves alike: then one 8x8 block gives the same
    // samples as its four quadrants.
    const int lists0 = lists_of(mb, 0);
    if (direct_motion_uniform(mb, lists0, perBlock)) {
      predict_block<8, kResidual>(make_call(l0, l1, chromaX, chromaY, dstCb, dstCr, mb, pitch, width, height),
                                  ChromaBlock{0, 0, 8, 8, 0, 0}, lists0);
      return;
    }
    for (int q = 0; q < 4; ++q) {
      const int lists = lists_of(mb, q);
      const int bx = 4 * (q & 1), by = 4 * (q >> 1);
      if (!perBlock) {
        predict_block<4, kResidual>(
            make_call(l0, l1, chromaX + bx, chromaY + by, dstCb, dstCr, mb, pitch, width, height),
            ChromaBlock{bx, by, 4, 4, q, 4 * q}, lists);
        continue;
      }
      for (int k = 0; k < 4; ++k) {
        const int sx = bx + 2 * (k & 1), sy = by + 2 * (k >> 1);
        predict_block<2, kResidual>(
            make_call(l0, l1, chromaX + sx, chromaY + sy, dstCb, dstCr, mb, pitch, width, height),
            ChromaBlock{sx, sy, 2, 2, q, 4 * q + k}, lists);
      }
    }
  } else if constexpr (kShape == 0) {
    predict_block<8, true>(make_call(l0, l1, chromaX, chromaY, dstCb, dstCr, mb, pitch, width, height),
                           ChromaBlock{0, 0, 8, 8, 0, 0}, kPred0);
  } else {
    // Two partitions, each through its worker.
    const uint16_t x1 = kShape == 2 ? static_cast<uint16_t>(chromaX + 4) : chromaX;
    const uint16_t y1 = kShape == 1 ? static_cast<uint16_t>(chromaY + 4) : chromaY;
    ChromaWorker<kPred0, kShape, Mbaff>::call(l0, l1, chromaX, chromaY, dstCb, dstCr, mb, pitch, width, height, 0);
    ChromaWorker<kPred1, kShape, Mbaff>::call(l0, l1, x1, y1, dstCb, dstCr, mb, pitch, width, height, 1);
  }
}

}  // namespace

#define INTER_DEFINE_WORKER_ONE(name, pred, shape)                                                             \
  void name(INTER_WORKER_ARGS_ONE) {                                                                          \
    chroma_partition<pred, shape>(refList, refList, partX, partY, dstCb, dstCr, mb, chromaPitch, chromaWidth,   \
                                  chromaHeight, mbPartIdx);                                                   \
  }
#define INTER_DEFINE_WORKER_TWO(name, pred, shape)                                                             \
  void name(INTER_WORKER_ARGS_TWO) {                                                                          \
    chroma_partition<pred, shape>(refList0, refList1, partX, partY, dstCb, dstCr, mb, chromaPitch, chromaWidth, \
                                  chromaHeight, mbPartIdx);                                                     \
  }
// In MBAFF frames the same partition prediction serves: the MBAFF members
// pass a field macroblock on its field's lines, and the reference choice
// follows the slice's MbaffFrameFlag and the macroblock's kind.
#define INTER_DEFINE_WORKER(name, mbaffName, pred, shape, lists) \
  INTER_DEFINE_WORKER_##lists(name, pred, shape) INTER_DEFINE_WORKER_##lists(mbaffName, pred, shape)
INTER_CHROMA_WORKERS(INTER_DEFINE_WORKER)

#define INTER_DEFINE_CHROMA_ONE(name, code, mbaff)                                                                 \
  void name(INTER_CHROMA_ARGS_ONE) {                                                                               \
    chroma_member<code, mbaff>(refList, refList, chromaX, chromaY, dstCb, dstCr, mb, chromaPitch, chromaWidth,     \
                               chromaHeight);                                                                      \
  }
#define INTER_DEFINE_CHROMA_TWO(name, code, mbaff)                                                                 \
  void name(INTER_CHROMA_ARGS_TWO) {                                                                               \
    chroma_member<code, mbaff>(refList0, refList1, chromaX, chromaY, dstCb, dstCr, mb, chromaPitch, chromaWidth,   \
                               chromaHeight);                                                                      \
  }
#define INTER_DEFINE_CHROMA(name, mbaffName, slice, code, lists) \
  INTER_DEFINE_CHROMA_##lists(name, code, false) INTER_DEFINE_CHROMA_##lists(mbaffName, code, true)
INTER_CHROMA_MEMBERS(INTER_DEFINE_CHROMA)

int32_t WeightedBiChroma(const uint8_t* pred0, uint8_t* pred1, MacroblockRecord* mb, uint8_t quadrant,
                         uint8_t component) {
  const SliceDecodeContext* s = mb->slice;
  const uint32_t mode = (s->weightingMode == 1 && !s->weightTable) ? 0 : s->weightingMode;
  const bool fieldMb = mbaff_field(mb);
  const int shift = fieldMb ? 1 : 0;
  const int8_t r0 = mb->ref_idx_l0[quadrant & 3], r1 = mb->ref_idx_l1[quadrant & 3];
  const inter::PartitionReference ref0 = fieldMb ? inter::reference_for<true>(s->RefPicList0, mb, 0, r0)
                                                 : inter::reference_for<false>(s->RefPicList0, mb, 0, r0);
  const inter::PartitionReference ref1 = fieldMb ? inter::reference_for<true>(s->RefPicList1, mb, 1, r1)
                                                 : inter::reference_for<false>(s->RefPicList1, mb, 1, r1);
  const ChromaWeights w = WeightedBiChroma(mb, mode, r0 >> shift, r1 >> shift, component & 1, fieldMb, ref0, ref1);
  return vpiWeightedAverage_H264_8u_C1IR(pred0, pred1, 8, w.w0, w.w1, w.logWD + 1, w.o, 4, 4);
}
