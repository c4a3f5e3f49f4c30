// Short CAVLC levels two at a time: a constant table, built at compile time,
// of the levels that lie within the next 8 bits of the stream, for the level
// loop of the CAVLC block decoder (cavlc_block.h).
#pragma once

#include <cstdint>

namespace cavlc_levels {

// suffixLength grows by one after a level whose magnitude exceeds
// entry[suffixLength], while it is below 6.
inline constexpr uint16_t h264_table_vlc_inc[6] = {0, 3, 6, 12, 24, 48};

// For level_prefix 0..15 by [suffixLength][level_prefix]: how many bits of
// level_suffix follow the prefix, and the magnitude before half the suffix
// (and the bump of 1) is added to it.
struct LevelSuffixTables {
  uint8_t bits[7][16];
  uint16_t offset[7][16];
  constexpr LevelSuffixTables() : bits(), offset() {
    for (int n = 0; n < 7; ++n)
      for (int prefix = 0; prefix < 16; ++prefix) {
        if (n == 0) {
          bits[n][prefix] = static_cast<uint8_t>(prefix < 14 ? 0 : prefix == 14 ? 4 : 12);
          offset[n][prefix] = static_cast<uint16_t>(prefix < 14 ? 1 : prefix == 14 ? 8 : 16);
        } else {
          bits[n][prefix] = static_cast<uint8_t>(prefix < 15 ? n : 12);
          offset[n][prefix] = static_cast<uint16_t>(1 + (prefix << (n - 1)));
        }
      }
  }
};
inline constexpr LevelSuffixTables kLevelSuffix;
inline constexpr const uint8_t (&h264_table_bits_to_get)[7][16] = kLevelSuffix.bits;
inline constexpr const uint16_t (&h264_table_add_offset)[7][16] = kLevelSuffix.offset;

// The escape's addend by suffixLength: a level_prefix of 15 or more with
// suffixLength 0 counts 15 levels more (the ones level_prefix 14 holds).
inline constexpr int32_t sadd[7] = {15, 0, 0, 0, 0, 0, 0};

// Entry k: 1 << k, the escape's addend for a level_suffix of k bits.
struct ShiftedOne {
  uint32_t e[24];
  constexpr ShiftedOne() : e() {
    for (int k = 0; k < 24; ++k) e[k] = uint32_t{1} << k;
  }
};
inline constexpr ShiftedOne kShiftedOne;
inline constexpr const uint32_t (&h264_table_shifted_one)[24] = kShiftedOne.e;

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
    if (prefix >= width) return {0, 0, 0};
    const int n = h264_table_bits_to_get[suffixLength][prefix];
    const int length = prefix + 1 + n;
    if (length > width) return {0, 0, 0};
    // Without suffix bits the prefix itself carries the sign.
    const int s = n ? (bits >> (width - length)) & ((1 << n) - 1) : prefix;
    const int m = h264_table_add_offset[suffixLength][prefix] + (bump ? 1 : 0) + (s >> 1);
    // suffixLength grows past 0 after any level, and by one more above the
    // threshold of the length it has then, up to 6.
    int next = suffixLength == 0 ? 1 : suffixLength;
    if (next < 6 && m > h264_table_vlc_inc[next]) ++next;
    return {length, (s & 1) ? -m : m, next};
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
