// Whole-macroblock deblocking: the boundary strengths of all eight edges of
// a macroblock at once, and the macroblock kernels that filter the edges
// with them (their stages are the edge functions, one per edge). The
// picture drivers use these.
#pragma once

#include <cstdint>
#include <vector>

#include "deblock_filters.h"
#include "mb_record.h"

// bS of every segment: [edge][segment], edges at 0, 4, 8, 12 samples from
// the macroblock's left (vertical) or top (horizontal) side, segments of
// four lines in order. Edges 1 and 3 of an 8x8-transform macroblock are 0.
struct MacroblockStrengths {
  alignas(16) uint8_t vertical[4][4];
  alignas(16) uint8_t horizontal[4][4];
};
static_assert(sizeof(MacroblockStrengths) == 32, "vertical then horizontal, 16 bytes each");

// Motion of a macroblock's blocks in raster order (BlockMotion), with the
// coded-block bits in raster order (bit 4y + x) and transposed (bit 4x + y).
struct MacroblockMotion {
  BlockMotion motion;
  uint16_t coded, codedT;
  const MacroblockRecord* mb;
};

// The motion of the last macroblocks worked out, kept for the macroblocks
// after them (the left neighbour, and the one above inside an MBAFF pair),
// and the last rows of the macroblocks above. One per picture pass.
// The last row of blocks of a macroblock, as the macroblock below compares it.
struct BottomRowMotion {
  BlockRowMotion row;
  const MacroblockRecord* mb;
  uint16_t coded;  // raster bits 12-15 are the last row
};

struct MotionCache {
  MacroblockMotion entries[3] = {};
  uint8_t next = 0;  // the entry to fill next, unless it holds a neighbour
  // By macroblock address modulo the size (a row of macroblocks, or of
  // pairs' macroblocks): the last row of the macroblocks above. Empty: none
  // kept.
  std::vector<BottomRowMotion> below;
};

// One pass of the filter over a picture in macroblock address order, which
// may stop after any macroblock (pair, in MBAFF frames) and go on later from
// there: the filter control of the slice being passed and the motion kept
// from the macroblocks before. Passing a picture in pieces filters it exactly
// as one walk would, provided every piece comes after the reconstruction of
// the macroblocks it filters and of the row below them (whose intra
// prediction reads the unfiltered samples).
struct DeblockPass {
  uint32_t next = 0;  // first macroblock address not passed yet
  uint8_t idc = 0;
  const int8_t* offsets = nullptr;
  bool filteredAny = false;
  MotionCache cache;
  // The thresholds of `offsets` by qPav, and the offsets they were built
  // for (slices mostly share them, so a new slice seldom rebuilds).
  ThresholdTable thresholds;
  int8_t builtFor[2] = {0, 0};
  bool built = false;
};

// Takes the filter offsets of a slice (FilterOffsetA then FilterOffsetB)
// and the thresholds that go with them.
void set_pass_offsets(DeblockPass* pass, const int8_t* offsets);

// left and above are the macroblocks across the left and top edges, null
// where that edge is not filtered (its strengths are then 0). Neither may be
// a pair of the other kind across a left edge, nor the field pair above a
// frame macroblock (those edges take their own paths:
// FilteringProcessForVerticalEdges0_mbaff, and
// FilteringProcessForHorizontalEdges0 below).
void macroblock_strengths(const MacroblockRecord* cur, const MacroblockRecord* left, const MacroblockRecord* above,
                          MacroblockStrengths* bs, MotionCache* cache);

// Filters the vertical edges (when `vertical`) then the horizontal edges
// (when `horizontal`) of one macroblock, each in order, passing over edges
// whose four strengths are 0; chroma at edges 0 and 2. left and above are
// the macroblocks across edge 0 (read only when that edge filters);
// thresholds those of the slice's filter offsets.
void filter_macroblock_edges(const MacroblockStrengths& bs, bool vertical, bool horizontal, uint8_t* luma,
                             uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur, const MacroblockRecord* left,
                             const MacroblockRecord* above, const ThresholdTable* thresholds, int lumaPitch,
                             int chromaPitch);

// The top macroblock edge of a frame macroblock under a field pair of an
// MBAFF frame, once per field (luma, cb and cr on the first line of the
// field's lines, pitches doubled): the one top edge that the macroblock
// kernels do not filter. Its strengths join a frame and a field macroblock,
// so they are never 0 and need no motion test; it filters them with the
// horizontal segment filters, one 8-column call where two segments agree.
void FilteringProcessForHorizontalEdges0(uint8_t* luma, uint8_t* cb, uint8_t* cr, const MacroblockRecord* cur,
                                         const MacroblockRecord* above, const int8_t* offsets, int lumaPitch,
                                         int chromaPitch);

// Starts loading what deblocking a macroblock reads: the fields of its
// record that the strengths use, and `lumaRows` rows of 16 luma samples (half
// as many of 8 chroma samples) from luma, cb and cr with the given pitches,
// the rows of the macroblock right of the one being filtered. Deblocking
// runs over a whole decoded picture, whose records and samples have mostly
// left the caches.
void prefetch_macroblock(const MacroblockRecord* mb, const uint8_t* luma, const uint8_t* cb, const uint8_t* cr,
                         int lumaPitch, int chromaPitch, int lumaRows);
// Starts loading the fields that deblocking reads of a macroblock above the
// one being filtered: its type, qPs and place. Its motion and coded blocks
// mostly come from the rows the pass keeps (MotionCache::below), and the
// rest of the record fetched for nothing took the place of lines in use.
void prefetch_neighbour(const MacroblockRecord* mb);
