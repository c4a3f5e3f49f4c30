// CAVLC code lists (coeff_token, total_zeros, run_before) and the
// single-lookup tables the residual decoder reads, built from the lists
// while a decoder instance holds them.
#include "cavlc_tables.h"

#include <pthread.h>

#include <array>
#include <cstddef>

#include "vpCore.h"

namespace {

// One code of a list, written as its bits; `a` and `b` are the value
// (total_zeros, run_before) or TrailingOnes and TotalCoeff (coeff_token).
struct Code {
  const char* bits;
  int32_t a;
  int32_t b = 0;
};

constexpr int code_length(const char* s) {
  int n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

constexpr int32_t code_value(const char* s) {
  int32_t v = 0;
  for (int i = 0; s[i] != '\0'; ++i) v = (v << 1) | (s[i] == '1' ? 1 : 0);
  return v;
}

constexpr size_t list_words(size_t codes, int longest, int levels, int entryWords) {
  return 2 + static_cast<size_t>(levels) + static_cast<size_t>(longest) + codes * entryWords + 1;
}

// Lays a code list out as the table builders read it.
template <size_t W, size_t N>
constexpr std::array<int32_t, W> make_list(int longest, std::array<int32_t, 4> levelBits, int levels,
                                           const Code (&codes)[N], int entryWords) {
  std::array<int32_t, W> out{};
  size_t w = 0;
  out[w++] = longest;
  out[w++] = levels;
  for (int k = 0; k < levels; ++k) out[w++] = levelBits[k];
  for (int length = 1; length <= longest; ++length) {
    int32_t count = 0;
    for (size_t i = 0; i < N; ++i) count += code_length(codes[i].bits) == length ? 1 : 0;
    out[w++] = count;
    for (size_t i = 0; i < N; ++i) {
      if (code_length(codes[i].bits) != length) continue;
      out[w++] = code_value(codes[i].bits);
      if (entryWords == 3) {
        out[w++] = codes[i].a;  // TrailingOnes (run)
        out[w++] = codes[i].b;  // TotalCoeff (level)
      } else {
        out[w++] = codes[i].a;
      }
    }
  }
  out[w++] = -1;
  return out;
}

// coeff_token, 0 <= nC < 2: {bits, TrailingOnes, TotalCoeff}.
constexpr Code coeff_token_map_02_codes[] = {
    {"1", 0, 0},
    {"000101", 0, 1}, {"01", 1, 1},
    {"00000111", 0, 2}, {"000100", 1, 2}, {"001", 2, 2},
    {"000000111", 0, 3}, {"00000110", 1, 3}, {"0000101", 2, 3}, {"00011", 3, 3},
    {"0000000111", 0, 4}, {"000000110", 1, 4}, {"00000101", 2, 4}, {"000011", 3, 4},
    {"00000000111", 0, 5}, {"0000000110", 1, 5}, {"000000101", 2, 5}, {"0000100", 3, 5},
    {"0000000001111", 0, 6}, {"00000000110", 1, 6}, {"0000000101", 2, 6}, {"00000100", 3, 6},
    {"0000000001011", 0, 7}, {"0000000001110", 1, 7}, {"00000000101", 2, 7}, {"000000100", 3, 7},
    {"0000000001000", 0, 8}, {"0000000001010", 1, 8}, {"0000000001101", 2, 8}, {"0000000100", 3, 8},
    {"00000000001111", 0, 9}, {"00000000001110", 1, 9}, {"0000000001001", 2, 9}, {"00000000100", 3, 9},
    {"00000000001011", 0, 10}, {"00000000001010", 1, 10}, {"00000000001101", 2, 10}, {"0000000001100", 3, 10},
    {"000000000001111", 0, 11}, {"000000000001110", 1, 11}, {"00000000001001", 2, 11}, {"00000000001100", 3, 11},
    {"000000000001011", 0, 12}, {"000000000001010", 1, 12}, {"000000000001101", 2, 12}, {"00000000001000", 3, 12},
    {"0000000000001111", 0, 13}, {"000000000000001", 1, 13}, {"000000000001001", 2, 13}, {"000000000001100", 3, 13},
    {"0000000000001011", 0, 14}, {"0000000000001110", 1, 14}, {"0000000000001101", 2, 14}, {"000000000001000", 3, 14},
    {"0000000000000111", 0, 15}, {"0000000000001010", 1, 15}, {"0000000000001001", 2, 15}, {"0000000000001100", 3, 15},
    {"0000000000000100", 0, 16}, {"0000000000000110", 1, 16}, {"0000000000000101", 2, 16}, {"0000000000001000", 3, 16},
};

// coeff_token, 2 <= nC < 4.
constexpr Code coeff_token_map_24_codes[] = {
    {"11", 0, 0},
    {"001011", 0, 1}, {"10", 1, 1},
    {"000111", 0, 2}, {"00111", 1, 2}, {"011", 2, 2},
    {"0000111", 0, 3}, {"001010", 1, 3}, {"001001", 2, 3}, {"0101", 3, 3},
    {"00000111", 0, 4}, {"000110", 1, 4}, {"000101", 2, 4}, {"0100", 3, 4},
    {"00000100", 0, 5}, {"0000110", 1, 5}, {"0000101", 2, 5}, {"00110", 3, 5},
    {"000000111", 0, 6}, {"00000110", 1, 6}, {"00000101", 2, 6}, {"001000", 3, 6},
    {"00000001111", 0, 7}, {"000000110", 1, 7}, {"000000101", 2, 7}, {"000100", 3, 7},
    {"00000001011", 0, 8}, {"00000001110", 1, 8}, {"00000001101", 2, 8}, {"0000100", 3, 8},
    {"000000001111", 0, 9}, {"00000001010", 1, 9}, {"00000001001", 2, 9}, {"000000100", 3, 9},
    {"000000001011", 0, 10}, {"000000001110", 1, 10}, {"000000001101", 2, 10}, {"00000001100", 3, 10},
    {"000000001000", 0, 11}, {"000000001010", 1, 11}, {"000000001001", 2, 11}, {"00000001000", 3, 11},
    {"0000000001111", 0, 12}, {"0000000001110", 1, 12}, {"0000000001101", 2, 12}, {"000000001100", 3, 12},
    {"0000000001011", 0, 13}, {"0000000001010", 1, 13}, {"0000000001001", 2, 13}, {"0000000001100", 3, 13},
    {"0000000000111", 0, 14}, {"00000000001011", 1, 14}, {"0000000000110", 2, 14}, {"0000000001000", 3, 14},
    {"00000000001001", 0, 15}, {"00000000001000", 1, 15}, {"00000000001010", 2, 15}, {"0000000000001", 3, 15},
    {"00000000000111", 0, 16}, {"00000000000110", 1, 16}, {"00000000000101", 2, 16}, {"00000000000100", 3, 16},
};

// coeff_token, 4 <= nC < 8.
constexpr Code coeff_token_map_48_codes[] = {
    {"1111", 0, 0},
    {"001111", 0, 1}, {"1110", 1, 1},
    {"001011", 0, 2}, {"01111", 1, 2}, {"1101", 2, 2},
    {"001000", 0, 3}, {"01100", 1, 3}, {"01110", 2, 3}, {"1100", 3, 3},
    {"0001111", 0, 4}, {"01010", 1, 4}, {"01011", 2, 4}, {"1011", 3, 4},
    {"0001011", 0, 5}, {"01000", 1, 5}, {"01001", 2, 5}, {"1010", 3, 5},
    {"0001001", 0, 6}, {"001110", 1, 6}, {"001101", 2, 6}, {"1001", 3, 6},
    {"0001000", 0, 7}, {"001010", 1, 7}, {"001001", 2, 7}, {"1000", 3, 7},
    {"00001111", 0, 8}, {"0001110", 1, 8}, {"0001101", 2, 8}, {"01101", 3, 8},
    {"00001011", 0, 9}, {"00001110", 1, 9}, {"0001010", 2, 9}, {"001100", 3, 9},
    {"000001111", 0, 10}, {"00001010", 1, 10}, {"00001101", 2, 10}, {"0001100", 3, 10},
    {"000001011", 0, 11}, {"000001110", 1, 11}, {"00001001", 2, 11}, {"00001100", 3, 11},
    {"000001000", 0, 12}, {"000001010", 1, 12}, {"000001101", 2, 12}, {"00001000", 3, 12},
    {"0000001101", 0, 13}, {"000000111", 1, 13}, {"000001001", 2, 13}, {"000001100", 3, 13},
    {"0000001001", 0, 14}, {"0000001100", 1, 14}, {"0000001011", 2, 14}, {"0000001010", 3, 14},
    {"0000000101", 0, 15}, {"0000001000", 1, 15}, {"0000000111", 2, 15}, {"0000000110", 3, 15},
    {"0000000001", 0, 16}, {"0000000100", 1, 16}, {"0000000011", 2, 16}, {"0000000010", 3, 16},
};

// coeff_token, nC = -1 (4:2:0 chroma DC).
constexpr Code coeff_token_map_cr_codes[] = {
    {"01", 0, 0},
    {"000111", 0, 1}, {"1", 1, 1},
    {"000100", 0, 2}, {"000110", 1, 2}, {"001", 2, 2},
    {"000011", 0, 3}, {"0000011", 1, 3}, {"0000010", 2, 3}, {"000101", 3, 3},
    {"000010", 0, 4}, {"00000011", 1, 4}, {"00000010", 2, 4}, {"0000000", 3, 4},
};

// coeff_token, nC = -2 (4:2:2 chroma DC).
constexpr Code coeff_token_map_cr2_codes[] = {
    {"1", 0, 0},
    {"0001111", 0, 1}, {"01", 1, 1},
    {"0001110", 0, 2}, {"0001101", 1, 2}, {"001", 2, 2},
    {"000000111", 0, 3}, {"0001100", 1, 3}, {"0001011", 2, 3}, {"00001", 3, 3},
    {"000000110", 0, 4}, {"000000101", 1, 4}, {"0001010", 2, 4}, {"000001", 3, 4},
    {"0000000111", 0, 5}, {"0000000110", 1, 5}, {"000000100", 2, 5}, {"0001001", 3, 5},
    {"00000000111", 0, 6}, {"00000000110", 1, 6}, {"0000000101", 2, 6}, {"0001000", 3, 6},
    {"000000000111", 0, 7}, {"000000000110", 1, 7}, {"00000000101", 2, 7}, {"0000000100", 3, 7},
    {"0000000000111", 0, 8}, {"000000000101", 1, 8}, {"000000000100", 2, 8}, {"00000000100", 3, 8},
};

// total_zeros of 4x4 blocks by TotalCoeff: {bits, total_zeros}.
constexpr Code total_zeros_map_1_codes[] = {
    {"1", 0}, {"011", 1}, {"010", 2}, {"0011", 3}, {"0010", 4}, {"00011", 5}, {"00010", 6}, {"000011", 7},
    {"000010", 8}, {"0000011", 9}, {"0000010", 10}, {"00000011", 11}, {"00000010", 12}, {"000000011", 13},
    {"000000010", 14}, {"000000001", 15},
};
constexpr Code total_zeros_map_2_codes[] = {
    {"111", 0}, {"110", 1}, {"101", 2}, {"100", 3}, {"011", 4}, {"0101", 5}, {"0100", 6}, {"0011", 7},
    {"0010", 8}, {"00011", 9}, {"00010", 10}, {"000011", 11}, {"000010", 12}, {"000001", 13}, {"000000", 14},
};
constexpr Code total_zeros_map_3_codes[] = {
    {"0101", 0}, {"111", 1}, {"110", 2}, {"101", 3}, {"0100", 4}, {"0011", 5}, {"100", 6}, {"011", 7},
    {"0010", 8}, {"00011", 9}, {"00010", 10}, {"000001", 11}, {"00001", 12}, {"000000", 13},
};
constexpr Code total_zeros_map_4_codes[] = {
    {"00011", 0}, {"111", 1}, {"0101", 2}, {"0100", 3}, {"110", 4}, {"101", 5}, {"100", 6}, {"0011", 7},
    {"011", 8}, {"0010", 9}, {"00010", 10}, {"00001", 11}, {"00000", 12},
};
constexpr Code total_zeros_map_5_codes[] = {
    {"0101", 0}, {"0100", 1}, {"0011", 2}, {"111", 3}, {"110", 4}, {"101", 5}, {"100", 6}, {"011", 7},
    {"0010", 8}, {"00001", 9}, {"0001", 10}, {"00000", 11},
};
constexpr Code total_zeros_map_6_codes[] = {
    {"000001", 0}, {"00001", 1}, {"111", 2}, {"110", 3}, {"101", 4}, {"100", 5}, {"011", 6}, {"010", 7},
    {"0001", 8}, {"001", 9}, {"000000", 10},
};
constexpr Code total_zeros_map_7_codes[] = {
    {"000001", 0}, {"00001", 1}, {"101", 2}, {"100", 3}, {"011", 4}, {"11", 5}, {"010", 6}, {"0001", 7},
    {"001", 8}, {"000000", 9},
};
constexpr Code total_zeros_map_8_codes[] = {
    {"000001", 0}, {"0001", 1}, {"00001", 2}, {"011", 3}, {"11", 4}, {"10", 5}, {"010", 6}, {"001", 7},
    {"000000", 8},
};
constexpr Code total_zeros_map_9_codes[] = {
    {"000001", 0}, {"000000", 1}, {"0001", 2}, {"11", 3}, {"10", 4}, {"001", 5}, {"01", 6}, {"00001", 7},
};
constexpr Code total_zeros_map_10_codes[] = {
    {"00001", 0}, {"00000", 1}, {"001", 2}, {"11", 3}, {"10", 4}, {"01", 5}, {"0001", 6},
};
constexpr Code total_zeros_map_11_codes[] = {
    {"0000", 0}, {"0001", 1}, {"001", 2}, {"010", 3}, {"1", 4}, {"011", 5},
};
constexpr Code total_zeros_map_12_codes[] = {
    {"0000", 0}, {"0001", 1}, {"01", 2}, {"1", 3}, {"001", 4},
};
constexpr Code total_zeros_map_13_codes[] = {{"000", 0}, {"001", 1}, {"1", 2}, {"01", 3}};
constexpr Code total_zeros_map_14_codes[] = {{"00", 0}, {"01", 1}, {"1", 2}};
constexpr Code total_zeros_map_15_codes[] = {{"0", 0}, {"1", 1}};

// total_zeros of 2x2 chroma DC blocks by TotalCoeff.
constexpr Code total_zeros_map_cr1_codes[] = {{"1", 0}, {"01", 1}, {"001", 2}, {"000", 3}};
constexpr Code total_zeros_map_cr2_codes[] = {{"1", 0}, {"01", 1}, {"00", 2}};
constexpr Code total_zeros_map_cr3_codes[] = {{"1", 0}, {"0", 1}};

// run_before by zerosLeft.
constexpr Code run_before_map_1_codes[] = {{"1", 0}, {"0", 1}};
constexpr Code run_before_map_2_codes[] = {{"1", 0}, {"01", 1}, {"00", 2}};
constexpr Code run_before_map_3_codes[] = {{"11", 0}, {"10", 1}, {"01", 2}, {"00", 3}};
constexpr Code run_before_map_4_codes[] = {{"11", 0}, {"10", 1}, {"01", 2}, {"001", 3}, {"000", 4}};
constexpr Code run_before_map_5_codes[] = {{"11", 0}, {"10", 1}, {"011", 2}, {"010", 3}, {"001", 4}, {"000", 5}};
constexpr Code run_before_map_6_codes[] = {{"11", 0},  {"000", 1}, {"001", 2}, {"011", 3},
                                           {"010", 4}, {"101", 5}, {"100", 6}};
constexpr Code run_before_map_6p_codes[] = {
    {"111", 0},      {"110", 1},       {"101", 2},        {"100", 3},         {"011", 4},
    {"010", 5},      {"001", 6},       {"0001", 7},       {"00001", 8},       {"000001", 9},
    {"0000001", 10}, {"00000001", 11}, {"000000001", 12}, {"0000000001", 13}, {"00000000001", 14},
};

#define LIST(name, longest, levels, entryWords, ...)                                                          \
  constexpr auto name = make_list<list_words(sizeof(name##_codes) / sizeof(Code), longest, levels, entryWords)>( \
      longest, std::array<int32_t, 4>{__VA_ARGS__}, levels, name##_codes, entryWords)

LIST(coeff_token_map_02, 16, 4, 3, 3, 3, 3, 7);
LIST(coeff_token_map_24, 14, 3, 3, 3, 4, 7);
LIST(coeff_token_map_48, 10, 3, 3, 4, 3, 3);
LIST(coeff_token_map_cr, 8, 2, 3, 6, 2);
LIST(coeff_token_map_cr2, 13, 2, 3, 7, 6);
LIST(total_zeros_map_1, 9, 2, 2, 5, 4);
LIST(total_zeros_map_2, 6, 2, 2, 3, 3);
LIST(total_zeros_map_3, 6, 2, 2, 3, 3);
LIST(total_zeros_map_4, 5, 2, 2, 2, 3);
LIST(total_zeros_map_5, 5, 2, 2, 2, 3);
LIST(total_zeros_map_6, 6, 2, 2, 3, 3);
LIST(total_zeros_map_7, 6, 2, 2, 3, 3);
LIST(total_zeros_map_8, 6, 2, 2, 3, 3);
LIST(total_zeros_map_9, 6, 2, 2, 3, 3);
LIST(total_zeros_map_10, 5, 2, 2, 2, 3);
LIST(total_zeros_map_11, 4, 1, 2, 4);
LIST(total_zeros_map_12, 4, 1, 2, 4);
LIST(total_zeros_map_13, 3, 1, 2, 3);
LIST(total_zeros_map_14, 2, 1, 2, 2);
LIST(total_zeros_map_15, 1, 1, 2, 1);
LIST(total_zeros_map_cr1, 3, 1, 2, 3);
LIST(total_zeros_map_cr2, 2, 1, 2, 2);
LIST(total_zeros_map_cr3, 1, 1, 2, 1);
LIST(run_before_map_1, 1, 1, 2, 1);
LIST(run_before_map_2, 2, 1, 2, 2);
LIST(run_before_map_3, 2, 1, 2, 2);
LIST(run_before_map_4, 3, 1, 2, 3);
LIST(run_before_map_5, 3, 1, 2, 3);
LIST(run_before_map_6, 3, 1, 2, 3);
LIST(run_before_map_6p, 11, 2, 2, 6, 5);

// ---------------------------------------------------------------------------
// Single-lookup tables (see cavlc_tables.h), filled from the code lists.

// Calls f(length, codeword, a, b) for every code of a list (b 0 in lists of
// two-word entries).
template <class F>
constexpr void for_each_code(const int32_t* words, int entryWords, F f) {
  const int longest = words[0];
  const int32_t* w = words + 2 + words[1];
  for (int length = 1; length <= longest; ++length) {
    const int32_t count = *w++;
    for (int32_t i = 0; i < count; ++i, w += entryWords) f(length, w[0], w[1], entryWords == 3 ? w[2] : 0);
  }
}

constexpr int leading_zeros(int length, int32_t code) {
  int n = 0;
  while (n < length && ((code >> (length - 1 - n)) & 1) == 0) ++n;
  return n;
}

// A coeff_token column by leading zeros and the 3 bits after the first 1; a
// code of zeros only stands for every longer run of zeros.
constexpr void fill_coeff_token(uint16_t* row, const int32_t* list) {
  for_each_code(list, 3, [row](int length, int32_t code, int32_t trailingOnes, int32_t totalCoeff) {
    const int zeros = leading_zeros(length, code);
    const uint16_t entry = static_cast<uint16_t>(length | trailingOnes << 5 | totalCoeff << 7);
    if (zeros == length) {
      for (int z = zeros; z <= 32; ++z)
        for (int k = 0; k < 8; ++k) row[8 * z + k] = entry;
      return;
    }
    const int tail = length - zeros - 1;  // bits after the first 1, at most 3
    if (tail > 3) throw "coeff_token code with more than 3 bits after its first 1";
    const int first = (code & ((1 << tail) - 1)) << (3 - tail);
    for (int k = 0; k < (1 << (3 - tail)); ++k) row[8 * zeros + first + k] = entry;
  });
}

// A value table indexed by the next `bits` bits (at least the list's
// longest code).
constexpr void fill_direct(uint8_t* out, int bits, const int32_t* list) {
  for_each_code(list, 2, [out, bits](int length, int32_t code, int32_t value, int32_t) {
    const int first = code << (bits - length);
    for (int k = 0; k < (1 << (bits - length)); ++k) out[first + k] = static_cast<uint8_t>(value | length << 4);
  });
}

// total_zeros lists by table number (TotalCoeff of a 4x4 or AC block, 16 +
// TotalCoeff of a chroma DC block); null where there is none.
constexpr const int32_t* kTotalZerosLists[20] = {
    nullptr,
    total_zeros_map_1.data(),
    total_zeros_map_2.data(),
    total_zeros_map_3.data(),
    total_zeros_map_4.data(),
    total_zeros_map_5.data(),
    total_zeros_map_6.data(),
    total_zeros_map_7.data(),
    total_zeros_map_8.data(),
    total_zeros_map_9.data(),
    total_zeros_map_10.data(),
    total_zeros_map_11.data(),
    total_zeros_map_12.data(),
    total_zeros_map_13.data(),
    total_zeros_map_14.data(),
    total_zeros_map_15.data(),
    nullptr,
    total_zeros_map_cr1.data(),
    total_zeros_map_cr2.data(),
    total_zeros_map_cr3.data(),
};

// Fills t, which enters zeroed.
constexpr void build_flat_tables(CavlcFlatTables& t) {
  fill_coeff_token(t.coeffToken[0], coeff_token_map_02.data());
  fill_coeff_token(t.coeffToken[1], coeff_token_map_24.data());
  fill_coeff_token(t.coeffToken[2], coeff_token_map_48.data());
  fill_coeff_token(t.coeffToken[3], coeff_token_map_cr.data());
  int offset = 0;
  for (int k = 0; k < 20; ++k) {
    const int32_t* list = kTotalZerosLists[k];
    if (list == nullptr) continue;
    const int bits = list[0];  // the longest code
    t.totalZerosIndex[k] = {static_cast<uint16_t>(offset), static_cast<uint8_t>(bits)};
    fill_direct(t.totalZeros + offset, bits, list);
    offset += 1 << bits;
  }
  if (offset != kCavlcTotalZerosEntries) throw "total_zeros tables of unexpected size";
  const int32_t* runs[6] = {run_before_map_1.data(), run_before_map_2.data(), run_before_map_3.data(),
                            run_before_map_4.data(), run_before_map_5.data(), run_before_map_6.data()};
  for (int z = 1; z <= 6; ++z) fill_direct(t.runBefore[z], 3, runs[z - 1]);
  // zerosLeft > 6: the 3-bit codes here (the longer ones are told by their
  // zeros, and the 3 bits 000 of them stay 0).
  for (int z = 7; z < 16; ++z)
    for_each_code(run_before_map_6p.data(), 2, [&t, z](int length, int32_t code, int32_t value, int32_t) {
      if (length == 3) t.runBefore[z][code] = static_cast<uint8_t>(value | length << 4);
    });
  for (int z = 0; z < 16; ++z)
    for (uint8_t& e : t.runBefore[z]) e = z == 0 ? 0x80 : e != 0 ? static_cast<uint8_t>(e | 0x80) : 0;
}

// The lists are checked once, when the program is compiled: a build from
// them never meets a code its tables cannot hold.
constexpr bool lists_fit_their_tables() {
  CavlcFlatTables t{};
  build_flat_tables(t);
  return true;
}
static_assert(lists_fit_their_tables());

pthread_mutex_t g_tableLock = PTHREAD_MUTEX_INITIALIZER;
uint32_t g_tableUsers = 0;

}  // namespace

const CavlcFlatTables* CavlcTables = nullptr;

const CavlcCodeList kCavlcCodeLists[30] = {
    {"coeff_token_map_02", coeff_token_map_02.data(), 3},
    {"coeff_token_map_24", coeff_token_map_24.data(), 3},
    {"coeff_token_map_48", coeff_token_map_48.data(), 3},
    {"coeff_token_map_cr", coeff_token_map_cr.data(), 3},
    {"coeff_token_map_cr2", coeff_token_map_cr2.data(), 3},
    {"total_zeros_map_cr1", total_zeros_map_cr1.data(), 2},
    {"total_zeros_map_cr2", total_zeros_map_cr2.data(), 2},
    {"total_zeros_map_cr3", total_zeros_map_cr3.data(), 2},
    {"total_zeros_map_1", total_zeros_map_1.data(), 2},
    {"total_zeros_map_2", total_zeros_map_2.data(), 2},
    {"total_zeros_map_3", total_zeros_map_3.data(), 2},
    {"total_zeros_map_4", total_zeros_map_4.data(), 2},
    {"total_zeros_map_5", total_zeros_map_5.data(), 2},
    {"total_zeros_map_6", total_zeros_map_6.data(), 2},
    {"total_zeros_map_7", total_zeros_map_7.data(), 2},
    {"total_zeros_map_8", total_zeros_map_8.data(), 2},
    {"total_zeros_map_9", total_zeros_map_9.data(), 2},
    {"total_zeros_map_10", total_zeros_map_10.data(), 2},
    {"total_zeros_map_11", total_zeros_map_11.data(), 2},
    {"total_zeros_map_12", total_zeros_map_12.data(), 2},
    {"total_zeros_map_13", total_zeros_map_13.data(), 2},
    {"total_zeros_map_14", total_zeros_map_14.data(), 2},
    {"total_zeros_map_15", total_zeros_map_15.data(), 2},
    {"run_before_map_1", run_before_map_1.data(), 2},
    {"run_before_map_2", run_before_map_2.data(), 2},
    {"run_before_map_3", run_before_map_3.data(), 2},
    {"run_before_map_4", run_before_map_4.data(), 2},
    {"run_before_map_5", run_before_map_5.data(), 2},
    {"run_before_map_6", run_before_map_6.data(), 2},
    {"run_before_map_6p", run_before_map_6p.data(), 2},
};

// Decoder instances share one set: it lives from the first user's build to
// the last user's release.
uint32_t AllocateCAVLCTables() {
  pthread_mutex_lock(&g_tableLock);
  uint32_t result = 0;
  if (g_tableUsers == 0) {
    auto* t = static_cast<CavlcFlatTables*>(vpMalloc(static_cast<int>(sizeof(CavlcFlatTables))));
    if (t == nullptr) {
      result = 6;
    } else {
      *t = CavlcFlatTables{};
      build_flat_tables(*t);
      CavlcTables = t;
    }
  }
  if (result == 0) ++g_tableUsers;
  pthread_mutex_unlock(&g_tableLock);
  return result;
}

void FreeCAVLCTables() {
  pthread_mutex_lock(&g_tableLock);
  if (g_tableUsers > 0 && --g_tableUsers == 0) {
    vpFree(const_cast<CavlcFlatTables*>(CavlcTables));
    CavlcTables = nullptr;
  }
  pthread_mutex_unlock(&g_tableLock);
}
