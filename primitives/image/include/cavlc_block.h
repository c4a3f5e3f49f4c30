// One residual_block_cavlc(): coeff_token, trailing-one signs, levels,
// total_zeros and run_before, decoded from a register window on the stream.
// Header-only so that each caller instantiates it with its own code tables
// and its own coefficient sink and gets it fully inlined: the exported
// primitives (cavlc_body.inc) walk the caller's HuffmanTable_32s tables and
// store packed blocks; the slice decoder uses its single-lookup tables and
// dequantises each coefficient as it stores it through the scan.
//
// A Tables policy provides, each returning a negative status for bits that
// no code of its table begins (or a table it lacks):
//   int coeff_token(Window&, int cls, int* totalCoeff, int* trailingOnes)
//       0 with the counts; cls 0..2 by nC as kFixedToken describes,
//       kChromaDcToken for 4:2:0 chroma DC;
//   int total_zeros(Window&, int totalCoeff, int maxNum)  total_zeros;
//   int run_before(Window&, int zerosLeft)  the run, at most zerosLeft (a
//       longer run of damaged data cut to it); 0 without reading for
//       zerosLeft 0.
// A Sink provides count(TotalCoeff) once coeff_token is known, begin()
// before the first coefficient of a block that has some, and
// operator()(p, level) for each coefficient at scan position p (0 .. maxNum-1,
// counted from the block's first coded position).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cavlc_level_pairs.h"
#include "vpImage.h"

namespace cavlc {
// Each source that includes this header (one per instruction set among
// them) keeps its own copies, so no code built for one set is reached from
// another.
namespace {

// ---------------------------------------------------------------------------
// Bit cursor: a bit count from the first bit of a host-order 32-bit word,
// read through unaligned 64-bit loads of two stream words. A peek never
// starts past word lastWord (the word after it must be readable), so a
// caller that knows where its data end can let damaged data run on over
// repeated words instead of memory beyond the buffer.
struct BitCursor {
  const uint8_t* base;
  uint32_t pos;       // bits consumed from bit 31 of the word at base
  uint32_t lastWord;  // highest word index a peek may start from

  // The next 33 to 64 bits, first bit at bit 63.
  uint64_t peek() const {
    const uint32_t word = std::min(pos >> 5, lastWord);
    uint64_t v;
    std::memcpy(&v, base + 4 * word, 8);
    v = (v << 32) | (v >> 32);  // two host-order words: the first is the high half
    return v << (pos & 31);
  }
};

inline int clz64(uint64_t v) { return __builtin_clzll(v); }

// n (0..32) bits of v after its first `skip` bits (skip + n <= 64).
inline uint32_t bits_after(uint64_t v, int skip, int n) {
  return static_cast<uint32_t>(((v << skip) >> 1) >> (63 - n));
}

// coeff_token table classes: 0 for 0 <= nC < 2, 1 for 2..3, 2 for 4..7,
// kChromaDcToken for 4:2:0 chroma DC (nC -1), kFixedToken for the 6-bit
// codes of nC >= 8, which need no table.
constexpr int kChromaDcToken = 3;
constexpr int kFixedToken = 4;

inline int16_t w16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// Signs of up to three trailing ones by the next three bits.
alignas(8) constexpr int16_t h264_table_trailing_ones[8][4] = {
    {1, 1, 1, 0},  {1, 1, -1, 0},  {1, -1, 1, 0},  {1, -1, -1, 0},
    {-1, 1, 1, 0}, {-1, 1, -1, 0}, {-1, -1, 1, 0}, {-1, -1, -1, 0}};

// level_prefix values above this do not occur in any stream we accept; the
// level arithmetic holds up to it without overflow.
constexpr int kMaxLevelPrefix = 26;

// A window on the stream for a chain of codes: v holds the next `left` bits
// (33 or more after a load) from bit 63 down, and `end` is the stream
// position just past them. Taking bits shifts the window, so one code's
// length feeds the next code's lookup through a shift rather than a fresh
// load; the window lives in registers and its position goes back to the
// cursor once per block.
struct Window {
  BitCursor at;  // at.pos: where the window was last loaded
  uint64_t v;
  int left;
  uint32_t end;

  explicit Window(const BitCursor& cursor) : at(cursor) { load(); }
  void load() {
    v = at.peek();
    end = (at.pos & ~31u) + 64;
    left = static_cast<int>(end - at.pos);
  }
  // At least n (up to 33) bits in v.
  void need(int n) {
    if (left < n) {
      at.pos = pos();
      load();
    }
  }
  void take(int n) {
    v <<= n;
    left -= n;
  }
  uint32_t pos() const { return end - static_cast<uint32_t>(left); }
};

using cavlc_levels::kBumpRows;
using cavlc_levels::kLevelBits;
using cavlc_levels::kLevelPairs;

// Levels after the trailing ones, into levels[trailingOnes .. totalCoeff-1]
// (levels[totalCoeff] may be written too): short codes two at a time from
// kLevelPairs, longer ones with level_prefix found by one bit scan. False
// for a level_prefix beyond what any accepted stream holds.
__attribute__((always_inline)) inline bool _GetBlockCoeffs_CAVLC(Window* w, int totalCoeff, int trailingOnes,
                                                                 int16_t* levels) {
  int suffixLength = (totalCoeff > 10 && trailingOnes < 3) ? 1 : 0;
  int row = trailingOnes < 3 ? kBumpRows + suffixLength : suffixLength;
  for (int i = trailingOnes; i < totalCoeff; ++i, row = suffixLength) {
    // 28 bits hold any level_prefix up to 15 with its suffix, and tell
    // whether a level_prefix is beyond 26 (a first 1 bit past them counts
    // as level_prefix 27).
    w->need(28);
    const uint32_t e = kLevelPairs.e[row][w->v >> (64 - kLevelBits)];
    if (__builtin_expect(e != 0, 1)) {
      levels[i] = static_cast<int8_t>(e & 0xFF);
      levels[i + 1] = static_cast<int8_t>((e >> 8) & 0xFF);
      // The second level counts when it fits and the block has it.
      const bool two = ((e >> 20) & 15) != 0 && i + 1 < totalCoeff;
      w->take(static_cast<int>(((e >> 16) & 15) + (two ? (e >> 20) & 15 : 0)));
      suffixLength = static_cast<int>(two ? (e >> 27) & 7 : (e >> 24) & 7);
      i += two ? 1 : 0;
      continue;
    }
    const int prefix = clz64(w->v | (uint64_t{1} << 36));
    if (__builtin_expect(prefix > kMaxLevelPrefix, 0)) return false;
    int32_t levelCode;
    if (prefix < 14 || (prefix == 14 && suffixLength > 0)) {
      // The code's bits, its first 1 bit included: 2^suffixLength + suffix.
      const int length = prefix + 1 + suffixLength;
      levelCode = (prefix << suffixLength) - (1 << suffixLength) + static_cast<int32_t>(w->v >> (64 - length));
      w->take(length);
    } else if (prefix == 14) {
      levelCode = 14 + static_cast<int32_t>(bits_after(w->v, 15, 4));
      w->take(19);
    } else {
      // level_prefix 15 and the escapes beyond it: a suffix of
      // level_prefix - 3 bits.
      w->take(prefix + 1);
      const int n = prefix - 3;
      w->need(n);
      levelCode = (15 << suffixLength) + cavlc_levels::sadd[suffixLength] +
                  static_cast<int32_t>(bits_after(w->v, 0, n));
      if (prefix >= 16) levelCode += static_cast<int32_t>(cavlc_levels::h264_table_shifted_one[n]) - 4096;
      w->take(n);
    }
    if (row >= kBumpRows) levelCode += 2;
    const int32_t m = (levelCode + 2) >> 1;
    levels[i] = w16((levelCode & 1) ? -m : m);
    suffixLength += suffixLength == 0 ? 1 : 0;
    suffixLength += (suffixLength < 6) & (m > cavlc_levels::h264_table_vlc_inc[suffixLength < 6 ? suffixLength : 5]);
  }
  return true;
}

// One residual block of up to maxNum coefficients (16, 15, or 4 for chroma
// DC) with coeff_token table class cls. Returns TotalCoeff, or a negative
// status for data no table holds or that would not fit the block; the window
// then stands somewhere inside the block.
template <typename Tables, typename Sink>
__attribute__((always_inline)) inline int vpiDecodeCAVLCCoeffs_H264_1u16s(Window& w, int cls, int maxNum,
                                                                         const Tables& tables, const Sink& sink) {
  int totalCoeff, trailingOnes;
  if (cls != kFixedToken) {
    const int status = tables.coeff_token(w, cls, &totalCoeff, &trailingOnes);
    if (__builtin_expect(status < 0, 0)) return status;
  } else {
    const int code = static_cast<int>(w.v >> 58);
    w.take(6);
    trailingOnes = code == 3 ? 0 : code & 3;
    totalCoeff = code == 3 ? 0 : (code >> 2) + 1;
    if (__builtin_expect(trailingOnes > totalCoeff, 0)) return StatusVlcBadCode;
  }
  sink.count(totalCoeff);
  if (totalCoeff == 0) return 0;
  if (__builtin_expect(totalCoeff > maxNum, 0)) return StatusVlcBadCode;
  sink.begin();

  // 17 or more bits are still in the window after the longest coeff_token.
  alignas(8) int16_t levels[17];
  std::memcpy(levels, h264_table_trailing_ones[w.v >> 61], sizeof h264_table_trailing_ones[0]);
  w.take(trailingOnes);
  if (totalCoeff > trailingOnes && !_GetBlockCoeffs_CAVLC(&w, totalCoeff, trailingOnes, levels))
    return StatusVlcBadCode;

  int zerosLeft = 0;
  if (totalCoeff < maxNum) {
    zerosLeft = tables.total_zeros(w, totalCoeff, maxNum);
    if (__builtin_expect(zerosLeft < 0, 0)) return zerosLeft;
    if (__builtin_expect(zerosLeft > maxNum - totalCoeff, 0)) return StatusVlcBadCode;
  }
  // Scan positions from the highest down: each coefficient moves one down
  // plus its run. Once no zeros are left the runs read nothing and the rest
  // take consecutive positions.
  ptrdiff_t pos = totalCoeff - 1 + zerosLeft;
  const int16_t* const last = levels + totalCoeff - 1;
  for (const int16_t* level = levels; level != last; ++level) {
    const int run = tables.run_before(w, zerosLeft);
    if (__builtin_expect(run < 0, 0)) return run;
    sink(pos, *level);
    zerosLeft -= run;
    pos -= run + 1;
  }
  sink(pos, *last);
  return totalCoeff;
}

// One 2x2 chroma DC block of 4:2:0 video: four coefficients in raster order.
template <typename Tables, typename Sink>
__attribute__((always_inline)) inline int vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s(Window& w, const Tables& tables,
                                                                                 const Sink& sink) {
  return vpiDecodeCAVLCCoeffs_H264_1u16s(w, kChromaDcToken, 4, tables, sink);
}

// A sink that only places coefficients (for buffers that enter zero and
// counts kept by the caller).
template <typename Place>
struct PlaceOnly {
  Place place;
  void count(int) const {}
  void begin() const {}
  void operator()(ptrdiff_t p, int16_t level) const { place(p, level); }
};
template <typename Place>
PlaceOnly<Place> place_only(const Place& place) {
  return PlaceOnly<Place>{place};
}

}  // namespace
}  // namespace cavlc
