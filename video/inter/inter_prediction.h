// Inter prediction of whole macroblocks (16x16, 16x8, 8x16, P_Skip, B_Skip,
// B_Direct_16x16) in frame and field pictures: the luma and chroma members
// that the reconstruction drivers call per macroblock, the routines that
// combine 16-bit predictions with the residual into the picture, and the
// bilinear chroma kernels.
//
// Luma predictions are 16-bit samples 0..255 in one of three layouts: rows of
// 16 (a 16x16 buffer, or the two 16x8 planes), column planes of 16 rows of 8
// (left and right halves), or four 8x8 tiles (tile q at sample 64q, rows of 8).
// Residuals are the record's luma residual: sixteen row-major 4x4 blocks in
// luma4x4BlkIdx order, or four row-major 8x8 blocks when the macroblock uses
// the 8x8 transform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "inter_families.h"
#include "luma_combine_dsp.h"

struct DecodedPicture;
struct MacroblockRecord;

// ---- Luma combination: dst rows 0..15 (16 bytes each, pitch apart) get
// clip(prediction + residual); flag8x8 selects the residual layout. A null
// residual is all zero (a macroblock without coded luma coefficients).
//
// The whole-macroblock routines take each partition's 8-bit prediction from
// one list (LumaBlockBytes: first sample and row step: an interpolated
// block, the picture itself, or a reference block read in place), and
// average two where the name says Bi: (p0 + p1 + 1) >> 1. A prediction may
// be the destination block itself (each row is read before it is written).
struct LumaBlockBytes {
  const uint8_t* p;
  ptrdiff_t stride;
};
// The routines (defined below) by shape: 16x16 and 16x8 take the upper
// partition's rows 0..7 and the lower one's; 8x16 the left and right
// partitions' columns, the right one first in the single-list form. Without
// residual (skipped macroblocks) one 16x16 prediction (two to average):
// P_Skip stores nothing when the prediction is the destination block
// already (interpolated straight into the picture).
// 16-bit predictions: four 8x8 tiles (quadrant q at sample 64q, rows of 8).
void CombineSamplesLuma_P_Skip_8x8(const int16_t* tiles, uint8_t* dst, uint32_t pitch);
void CombineSamplesLuma_B_Skip_8x8(const int16_t* tiles0, const int16_t* tiles1, uint8_t* dst, uint32_t pitch);
void CombineSamplesLuma_LX_8x8(const int16_t* residual, const int16_t* tiles, uint8_t* dst, uint32_t pitch,
                               uint8_t flag8x8);
void CombineSamplesLuma_Bi_8x8(const int16_t* residual, const int16_t* tiles0, const int16_t* tiles1, uint8_t* dst,
                               uint32_t pitch, uint8_t flag8x8);

// Explicit or implicit bi-predictive weighting of the 4x4 chroma block of
// quadrant `quadrant`, component `component` (0 Cb, 1 Cr): pred1 (rows of 8
// bytes) becomes the weighted combination of pred0 and pred1, with the
// slice's weighting mode, reference lists and weight table; an explicit
// slice without a table averages. The weights are those the chroma members
// derive for their bi-predicted blocks (the same step). Returns the
// weighted-average primitive's status.
int32_t WeightedBiChroma(const uint8_t* pred0, uint8_t* pred1, MacroblockRecord* mb, uint8_t quadrant,
                         uint8_t component);

// ---- Members.
#define INTER_LUMA_ARGS_ONE                                                                                    \
  DecodedPicture *const *refList, uint16_t mbX, uint16_t mbY, uint8_t *dst, MacroblockRecord *mb, uint32_t pitch, \
      uint32_t frameWidth, uint32_t frameHeight
#define INTER_LUMA_ARGS_TWO DecodedPicture *const *refList0, DecodedPicture *const *refList1, uint16_t mbX,          \
                            uint16_t mbY, uint8_t *dst, MacroblockRecord *mb, uint32_t pitch, uint32_t frameWidth, \
                            uint32_t frameHeight
#define INTER_CHROMA_ARGS_ONE                                                                                  \
  DecodedPicture *const *refList, uint16_t chromaX, uint16_t chromaY, uint8_t *dstCb, uint8_t *dstCr,          \
      MacroblockRecord *mb, uint32_t chromaPitch, uint32_t chromaWidth, uint32_t chromaHeight
#define INTER_CHROMA_ARGS_TWO                                                                                  \
  DecodedPicture *const *refList0, DecodedPicture *const *refList1, uint16_t chromaX, uint16_t chromaY,        \
      uint8_t *dstCb, uint8_t *dstCr, MacroblockRecord *mb, uint32_t chromaPitch, uint32_t chromaWidth,        \
      uint32_t chromaHeight
#define INTER_WORKER_ARGS_ONE                                                                                  \
  DecodedPicture *const *refList, uint16_t partX, uint16_t partY, uint8_t *dstCb, uint8_t *dstCr,              \
      MacroblockRecord *mb, uint32_t chromaPitch, uint32_t chromaWidth, uint32_t chromaHeight, uint8_t mbPartIdx
#define INTER_WORKER_ARGS_TWO                                                                                  \
  DecodedPicture *const *refList0, DecodedPicture *const *refList1, uint16_t partX, uint16_t partY,            \
      uint8_t *dstCb, uint8_t *dstCr, MacroblockRecord *mb, uint32_t chromaPitch, uint32_t chromaWidth,        \
      uint32_t chromaHeight, uint8_t mbPartIdx

#define INTER_DECLARE_LUMA(name, mbaffName, slice, code, lists, ...) \
  void name(INTER_LUMA_ARGS_##lists);                                  \
  void mbaffName(INTER_LUMA_ARGS_##lists);
#define INTER_DECLARE_CHROMA(name, mbaffName, slice, code, lists) \
  void name(INTER_CHROMA_ARGS_##lists);                            \
  void mbaffName(INTER_CHROMA_ARGS_##lists);
#define INTER_DECLARE_WORKER(name, mbaffName, pred, shape, lists) \
  void name(INTER_WORKER_ARGS_##lists);                            \
  void mbaffName(INTER_WORKER_ARGS_##lists);
INTER_LUMA_PARTITION_MEMBERS(INTER_DECLARE_LUMA)
INTER_LUMA_SKIP_MEMBERS(INTER_DECLARE_LUMA)
INTER_CHROMA_MEMBERS(INTER_DECLARE_CHROMA)
INTER_CHROMA_WORKERS(INTER_DECLARE_WORKER)
#undef INTER_DECLARE_LUMA
#undef INTER_DECLARE_CHROMA
#undef INTER_DECLARE_WORKER
// A member's MBAFF twin takes the same arguments. A field macroblock is
// passed on its field's lines (doubled pitch, field row, half height); it
// predicts from reference fields.

// ---- Dispatch tables of the reconstruction drivers, indexed by MbTypeCode:
// one uniform signature (both lists; a one-list member receives the first);
// null where the code has no whole-macroblock inter member.
using InterLumaDispatch = void (*)(DecodedPicture* const* list0, DecodedPicture* const* list1, uint16_t x,
                                   uint16_t y, uint8_t* dst, MacroblockRecord* mb, int pitch, int width, int height);
using InterChromaDispatch = void (*)(DecodedPicture* const* list0, DecodedPicture* const* list1, uint16_t x,
                                     uint16_t y, uint8_t* dstCb, uint8_t* dstCr, MacroblockRecord* mb, int pitch,
                                     int width, int height);
extern const InterLumaDispatch kInterLumaDispatchP[256];
extern const InterLumaDispatch kInterLumaDispatchB[256];
extern const InterChromaDispatch kInterChromaDispatchP[256];
extern const InterChromaDispatch kInterChromaDispatchB[256];
extern const InterLumaDispatch kInterLumaDispatchP_mbaff[256];
extern const InterLumaDispatch kInterLumaDispatchB_mbaff[256];
extern const InterChromaDispatch kInterChromaDispatchP_mbaff[256];
extern const InterChromaDispatch kInterChromaDispatchB_mbaff[256];

// ---- Sub-macroblock share. Quadrant q's luma: its 8x8 samples in 8-bit
// form at block (the quadrant's first sample inside a 16x16 block of rows of
// 16 bytes); its chroma slots: 16 int16 samples each (4x4, row-major). x, y
// are the macroblock's first luma (chroma) sample position.
#define INTER_SUBMB_LUMA_ARGS                                                                                 \
  DecodedPicture *const *refList, MacroblockRecord *mb, uint8_t q, uint16_t mbX, uint16_t mbY, uint8_t *block, \
      uint32_t pitch, uint32_t frameWidth, uint32_t frameHeight
#define INTER_SUBMB_CHROMA_ARGS                                                                               \
  DecodedPicture *const *refList, MacroblockRecord *mb, uint8_t q, uint16_t chromaX, uint16_t chromaY,          \
      int16_t *cbSlot, int16_t *crSlot, uint32_t chromaPitch, uint32_t chromaWidth, uint32_t chromaHeight
// A direct quadrant: a single list into block0, both lists into block0
// (list 0) and block1 (list 1).
#define INTER_SUBMB_DIRECT_LUMA_ARGS                                                                          \
  DecodedPicture *const *refList0, DecodedPicture *const *refList1, MacroblockRecord *mb, uint8_t q,           \
      uint16_t mbX, uint16_t mbY, uint8_t *block0, uint8_t *block1, uint32_t pitch, uint32_t frameWidth,       \
      uint32_t frameHeight
#define INTER_SUBMB_DIRECT_CHROMA_ARGS                                                                        \
  DecodedPicture *const *refList0, DecodedPicture *const *refList1, MacroblockRecord *mb, uint8_t q,           \
      uint16_t chromaX, uint16_t chromaY, int16_t *cbSlot, int16_t *crSlot, uint32_t chromaPitch,              \
      uint32_t chromaWidth, uint32_t chromaHeight

#define INTER_DECLARE_SUBMB_DRIVER(luma, chroma, slice, pic, lists, ...) \
  void luma(INTER_LUMA_ARGS_##lists);                                   \
  void chroma(INTER_CHROMA_ARGS_##lists);
#define INTER_DECLARE_SUBMB_LUMA(name, pic, list, shape) void name(INTER_SUBMB_LUMA_ARGS);
#define INTER_DECLARE_SUBMB_CHROMA(name, pic, list, shape) void name(INTER_SUBMB_CHROMA_ARGS);
#define INTER_DECLARE_SUBMB_DIRECT(luma, chroma, pic) \
  void luma(INTER_SUBMB_DIRECT_LUMA_ARGS);            \
  void chroma(INTER_SUBMB_DIRECT_CHROMA_ARGS);
INTER_SUBMB_DRIVERS(INTER_DECLARE_SUBMB_DRIVER)
INTER_SUBMB_LUMA_MEMBERS(INTER_DECLARE_SUBMB_LUMA)
INTER_SUBMB_CHROMA_MEMBERS(INTER_DECLARE_SUBMB_CHROMA)
INTER_SUBMB_DIRECT_MEMBERS(INTER_DECLARE_SUBMB_DIRECT)
#undef INTER_DECLARE_SUBMB_DRIVER
#undef INTER_DECLARE_SUBMB_LUMA
#undef INTER_DECLARE_SUBMB_CHROMA
#undef INTER_DECLARE_SUBMB_DIRECT

// ---- The whole-macroblock luma combination routines: each lays out the
// quarter sources of its partitions' blocks and calls the combination
// kernel of the current variant.
using LumaByteQuarters = std::array<LumaQuarterBytes, 4>;

inline LumaQuarterBytes luma_quarter_at(LumaBlockBytes a, LumaBlockBytes b, ptrdiff_t x, ptrdiff_t y) {
  return {a.p + y * a.stride + x, b.p ? b.p + y * b.stride + x : nullptr, a.stride, b.stride};
}

// Two 16-wide partitions (each from a, averaged with b when set): rows
// 0..7 from the upper one, 8..15 from the lower one.
inline LumaByteQuarters luma_rows16(LumaBlockBytes ua, LumaBlockBytes ub, LumaBlockBytes la, LumaBlockBytes lb) {
  return {luma_quarter_at(ua, ub, 0, 0), luma_quarter_at(ua, ub, 8, 0), luma_quarter_at(la, lb, 0, 0),
          luma_quarter_at(la, lb, 8, 0)};
}

// Two 8-wide partitions of 16 rows: columns 0..7 from the left one.
inline LumaByteQuarters luma_columns8(LumaBlockBytes la, LumaBlockBytes lb, LumaBlockBytes ra, LumaBlockBytes rb) {
  return {luma_quarter_at(la, lb, 0, 0), luma_quarter_at(ra, rb, 0, 0), luma_quarter_at(la, lb, 0, 8),
          luma_quarter_at(ra, rb, 0, 8)};
}

inline LumaBlockBytes luma_lower_half(LumaBlockBytes b) { return {b.p ? b.p + 8 * b.stride : nullptr, b.stride}; }

inline void luma_combine_quarters(const LumaByteQuarters& q, const int16_t* residual, uint8_t* dst, uint32_t pitch,
                                  uint8_t flag8x8) {
  luma_combine_dsp().combine_bytes_16x16(dst, pitch, q.data(), residual, flag8x8);
}

constexpr LumaBlockBytes kNoLumaBlock{nullptr, 0};

inline void CombineSamplesLuma_LX_16x16(const int16_t* residual, LumaBlockBytes upper, LumaBlockBytes lower,
                                        uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_quarters(luma_rows16(upper, kNoLumaBlock, lower, kNoLumaBlock), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_Bi_16x16(const int16_t* residual, LumaBlockBytes upper0, LumaBlockBytes upper1,
                                        LumaBlockBytes lower0, LumaBlockBytes lower1, uint8_t* dst, uint32_t pitch,
                                        uint8_t flag8x8) {
  luma_combine_quarters(luma_rows16(upper0, upper1, lower0, lower1), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_LX_Bi_16x8(const int16_t* residual, LumaBlockBytes upper, LumaBlockBytes lower0,
                                          LumaBlockBytes lower1, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_quarters(luma_rows16(upper, kNoLumaBlock, lower0, lower1), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_Bi_LX_16x8(const int16_t* residual, LumaBlockBytes upper0, LumaBlockBytes upper1,
                                          LumaBlockBytes lower, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_quarters(luma_rows16(upper0, upper1, lower, kNoLumaBlock), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_LX_8x16(const int16_t* residual, LumaBlockBytes right, LumaBlockBytes left,
                                       uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_quarters(luma_columns8(left, kNoLumaBlock, right, kNoLumaBlock), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_LX_Bi_8x16(const int16_t* residual, LumaBlockBytes left, LumaBlockBytes right0,
                                          LumaBlockBytes right1, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_quarters(luma_columns8(left, kNoLumaBlock, right0, right1), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_Bi_LX_8x16(const int16_t* residual, LumaBlockBytes left0, LumaBlockBytes left1,
                                          LumaBlockBytes right, uint8_t* dst, uint32_t pitch, uint8_t flag8x8) {
  luma_combine_quarters(luma_columns8(left0, left1, right, kNoLumaBlock), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_Bi_8x16(const int16_t* residual, LumaBlockBytes left0, LumaBlockBytes left1,
                                       LumaBlockBytes right0, LumaBlockBytes right1, uint8_t* dst, uint32_t pitch,
                                       uint8_t flag8x8) {
  luma_combine_quarters(luma_columns8(left0, left1, right0, right1), residual, dst, pitch, flag8x8);
}

inline void CombineSamplesLuma_P_Skip(LumaBlockBytes pred, uint8_t* dst, uint32_t pitch) {
  if (pred.p == dst && pred.stride == static_cast<ptrdiff_t>(pitch)) return;
  luma_combine_quarters(luma_rows16(pred, kNoLumaBlock, luma_lower_half(pred), kNoLumaBlock), nullptr, dst, pitch, 0);
}

inline void CombineSamplesLuma_B_Skip(LumaBlockBytes pred0, LumaBlockBytes pred1, uint8_t* dst, uint32_t pitch) {
  luma_combine_quarters(luma_rows16(pred0, pred1, luma_lower_half(pred0), luma_lower_half(pred1)), nullptr, dst,
                        pitch, 0);
}
