// Sample stage of the in-loop deblocking filter: the threshold tables, the
// edge filter kernels (one table per instruction set and a plain reference),
// and the filtering functions the edge logic calls. Every pointer addresses
// q0 of the first line of the segment; p samples lie before the edge (left
// of, or above it). offsets points to FilterOffsetA then FilterOffsetB
// (already doubled). bS is 1 to 4 where one strength covers the call;
// callers skip edges of strength 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video_dsp.h"

// alpha'(indexA) and beta'(indexB) for 8-bit samples.
extern const uint8_t AlphaTable[52];
extern const uint8_t BetaTable[52];
// tC0' by indexA and bS: ClipTable[5 * indexA + bS]; column 0 is 0 and
// column 4 repeats column 3.
extern const uint8_t ClipTable[52 * 5];

// The thresholds of one qPav under one pair of filter offsets, as the
// macroblock kernels load them (eight bytes, one load): alpha'(indexA),
// beta'(indexB), tC0' by bS 0..3 (bS 0: 0), whether the two let any line
// through (alpha and beta not 0), and (alpha >> 2) + 2, below which the
// bS 4 filter takes three samples on a side.
struct EdgeThresholds {
  uint8_t alpha, beta;
  uint8_t tc0[4];
  uint8_t filters;
  uint8_t strong;
};
static_assert(sizeof(EdgeThresholds) == 8, "one 64-bit load per entry");

// The thresholds of every qPav a record can hold (0..255; indexA and
// indexB clipped to 0..51 as for any qPav) under one pair of offsets.
struct ThresholdTable {
  alignas(64) EdgeThresholds byQp[256];
};
void build_threshold_table(const int8_t* offsets, ThresholdTable* table);
// One entry: the thresholds of qPav (0..255) under the offsets.
inline EdgeThresholds edge_thresholds(int qPav, const int8_t* offsets) {
  auto index = [](int v) { return v < 0 ? 0 : v > 51 ? 51 : v; };
  const int indexA = index(qPav + offsets[0]), indexB = index(qPav + offsets[1]);
  EdgeThresholds t;
  t.alpha = AlphaTable[indexA];
  t.beta = BetaTable[indexB];
  for (int bS = 0; bS < 4; ++bS) t.tc0[bS] = ClipTable[5 * indexA + bS];
  t.filters = t.alpha != 0 && t.beta != 0;
  t.strong = static_cast<uint8_t>((t.alpha >> 2) + 2);
  return t;
}

// The motion of a macroblock's 16 blocks in raster order (block 4y + x), as
// the strength kernels compare it: ids = first picture | second << 16 (the
// pictures a block predicts from; second kOneListPicture for a one-list
// block, both kNoListPicture for a block that predicts from neither list),
// mvA and mvB the vectors toward them (0 where there is none). Two blocks
// have the same motion when pictures and vectors match as they are or with
// the pairs swapped; which list a picture came from does not matter. A
// current block without a list has the motion of every other; a
// neighbouring one differs from every current block with a list.
constexpr uint32_t kOneListPicture = 0x100, kNoListPicture = 0x200;
struct BlockMotion {
  alignas(16) uint32_t ids[16];
  alignas(16) int16_t mvA[16][2];
  alignas(16) int16_t mvB[16][2];
};
// The last row of blocks of a macroblock, as the macroblock below compares it.
struct BlockRowMotion {
  alignas(16) uint32_t ids[4];
  alignas(16) int16_t mvA[4][2];
  alignas(16) int16_t mvB[4][2];
};

// The edge filter kernels of one instruction set (or of the plain
// reference). vertical: the edge is a column, its lines are rows.
struct DeblockDsp {
  // One segment of `lines` lines with one bS: luma 8 or 4 lines, chroma 4 or
  // 2 lines of Cb (cb) and of Cr (cr), each plane with its own qPav.
  void (*luma_lines)(uint8_t* q0, ptrdiff_t pitch, bool vertical, int lines, uint8_t bS, uint8_t qPav,
                     const int8_t* offsets);
  void (*chroma_lines)(uint8_t* cb, uint8_t* cr, ptrdiff_t pitch, bool vertical, int lines, uint8_t bS,
                       uint8_t qPavCb, uint8_t qPavCr, const int8_t* offsets);
  // All luma edges of one macroblock from its top-left sample y: vbs[e] and
  // hbs[e] the four strengths of edge e (bS[k] for lines 4k..4k+3; either
  // pointer may be null: that direction is left alone), qp[0] the qPav of
  // edge 0 and qp[1] that of the inner edges. Vertical edges first, then
  // horizontal, each in order; segments of bS 0 stay as they are; bS 4 comes
  // on all four segments of an edge or none. Reads and writes whole rows of
  // 16 samples (and the four samples left of them, the four rows above).
  // thresholds: the table of the slice's filter offsets, indexed by qPav.
  void (*luma_macroblock)(uint8_t* y, ptrdiff_t pitch, const uint8_t (*vbs)[4], const uint8_t (*hbs)[4],
                          const uint8_t qpV[2], const uint8_t qpH[2], const ThresholdTable* thresholds);
  // The chroma edges of one macroblock (chroma samples 0 and 4, with the
  // strengths of luma edges 0 and 2, bS[k] for chroma lines 2k and 2k + 1);
  // qp[0] holds the Cb and Cr qPav of edge 0, qp[1] those of the inner edge.
  // Reads and writes rows of 16 bytes from two samples left of each row.
  void (*chroma_macroblock)(uint8_t* cb, uint8_t* cr, ptrdiff_t pitch, const uint8_t (*vbs)[4],
                            const uint8_t (*hbs)[4], const uint8_t (*qpV)[2], const uint8_t (*qpH)[2],
                            const ThresholdTable* thresholds);
  // One row across a vertical edge (mixed frame/field edges): luma, and Cb
  // then Cr.
  void (*luma_row)(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets);
  void (*chroma_row)(uint8_t* cb, uint8_t* cr, uint8_t bS, uint8_t qPavCb, uint8_t qPavCr, const int8_t* offsets);

  // Strength kernels. block_motion: the motion of a macroblock from its
  // per-quadrant prediction flags, per-block picture ids and vectors (block
  // order luma4x4BlkIdx).
  void (*block_motion)(const uint8_t predFlagL0[4], const uint8_t predFlagL1[4], const uint8_t refIdL0[16],
                       const uint8_t refIdL1[16], const int16_t (*mvL0)[2], const int16_t (*mvL1)[2],
                       BlockMotion* out);
  // bS from motion and coefficients for the four edges of each direction,
  // vertical[4 * edge + segment] and horizontal likewise: 2 where codedV /
  // codedH has bit 4 * edge + segment, else 1 where the blocks either side
  // differ in motion (vectors limitY or more apart vertically, 4
  // horizontally; the current macroblock's block as the q block), else 0.
  // Edge 0 compares with column 3 of `left` and with `above`. splitV /
  // splitH: whether the middle edge of that direction may separate motion
  // partitions (when not, it compares as the same motion).
  void (*motion_strengths)(const BlockMotion* cur, const BlockMotion* left, const BlockRowMotion* above,
                           unsigned codedV, unsigned codedH, int limitY, bool splitV, bool splitH, uint8_t* vertical,
                           uint8_t* horizontal);
};

// The plain reference (the standard's per-line formulas), the vector bodies
// compiled for SSE2, SSSE3 and SSE4.1 and deblock_dsp(), the current
// variant's.
VIDEO_DSP_DECLARE_TABLES(DeblockDsp, deblock_dsp)

// The reference's single-row kernels, which every table shares.
void c_deblock_luma_row(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets);
void c_deblock_chroma_row(uint8_t* cb, uint8_t* cr, uint8_t bS, uint8_t qPavCb, uint8_t qPavCr, const int8_t* offsets);
// The reference's filter of one line: q0 at `q0`, the line's next sample
// `step` further (p0 `step` before q0), with the thresholds of indexA and
// indexB; chroma filters only p0 and q0.
void c_deblock_line(uint8_t* q0, ptrdiff_t step, int bS, int indexA, int indexB, bool chroma);

// The segment filters, through the kernels of the running variant: the
// edges that the macroblock kernels leave to their own paths (MBAFF left
// edges toward a pair of the other kind, and top edges of frame
// macroblocks under a field pair) group their lines of equal strength into
// these calls. Luma: 8 or 4 lines, or one row (vertical edges only).
void FilteringProcessVerticalLuma8x8(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets);
void FilteringProcessVerticalLuma4x4(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets);
void FilteringProcessHorizontalLuma8x8(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch);
void FilteringProcessHorizontalLuma4x4(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch);
void FilteringProcessVerticalLuma(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets);

// Chroma: the same segment of Cb (a) and Cr (b), each with its own qPav.
void FilteringProcessVerticalChroma4x4(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets);
void FilteringProcessVerticalChroma2x2(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets);
void FilteringProcessHorizontalChroma4x4(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch);
void FilteringProcessHorizontalChroma2x2(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch);
void FilteringProcessVerticalChroma(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                    const int8_t* offsets);
