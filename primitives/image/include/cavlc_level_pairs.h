// Short CAVLC levels two at a time: a constant table, built at compile time,
// of the levels that lie within the next 8 bits of the stream, for the level
// loop of the CAVLC block decoder (cavlc_block.h).
#pragma once

#include <cstdint>

namespace cavlc_levels {

constexpr int kLevelBits = 8;
// Rows 0..6: suffixLength 0..6. Rows kBumpRows and kBumpRows + 1:
// suffixLength 0 and 1 for the first level after fewer than three trailing
// ones, whose magnitude carries the bump of 1.
constexpr int kBumpRows = 7;

// Entry [row][next 8 bits]: the first level (bits 0..7, two's complement),
// the second (bits 8..15), their code lengths (bits 16..19; bits 20..23, 0
// when the second does not fit) and the suffixLength after each (bits
// 24..26 and 27..29). It is 0 when the first code is longer than 8 bits.
// Reading two short levels per lookup halves the chain of dependent steps
// through the stream.
struct LevelPairs {
  uint32_t e[9][1 << kLevelBits];
  // One code at the top of `width` bits: its length (0 when it does not
  // fit), level and the next suffixLength.
  struct One {
    int length, level, next;
  };
  static constexpr One one(int bits, int width, int suffixLength, bool bump) {
    int prefix = 0;
    while (prefix < width && (bits & (1 << (width - 1 - prefix))) == 0) ++prefix;
    const int length = prefix + 1 + suffixLength;
    if (length > width) return {0, 0, 0};
    const int suffix = (bits >> (width - length)) & ((1 << suffixLength) - 1);
    const int levelCode = (prefix << suffixLength) + suffix + (bump ? 2 : 0);
    const int m = (levelCode + 2) >> 1;
    // suffixLength grows past 0 after any level, and by one more above
    // 3 << (suffixLength - 1), up to 6.
    int next = suffixLength == 0 ? 1 : suffixLength;
    if (next < 6 && m > (3 << (next - 1))) ++next;
    return {length, (levelCode & 1) ? -m : m, next};
  }
  constexpr LevelPairs() : e() {
    for (int row = 0; row < 9; ++row)
      for (int bits = 0; bits < (1 << kLevelBits); ++bits) {
        const One a = one(bits, kLevelBits, row < kBumpRows ? row : row - kBumpRows, row >= kBumpRows);
        if (a.length == 0) continue;
        const int rest = kLevelBits - a.length;
        const One b = rest > 0 ? one(bits & ((1 << rest) - 1), rest, a.next, false) : One{0, 0, 0};
        e[row][bits] = static_cast<uint32_t>(a.level & 0xFF) | static_cast<uint32_t>(b.level & 0xFF) << 8 |
                       static_cast<uint32_t>(a.length) << 16 | static_cast<uint32_t>(b.length) << 20 |
                       static_cast<uint32_t>(a.next) << 24 | static_cast<uint32_t>(b.length ? b.next : 0) << 27;
      }
  }
};
inline constexpr LevelPairs kLevelPairs;

}  // namespace cavlc_levels
