// A small CAVLC writer for the tests: encodes coefficient blocks with the
// code lists the decoder's tables are built from, into host-order 32-bit
// words as the block decoders and the bit reader read them.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "cavlc_tables.h"

namespace cavlctest {

class BitWriter {
 public:
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) bits_.push_back(static_cast<uint8_t>((value >> i) & 1u));
  }
  void put_ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int len = 0;
    while ((x >> (len + 1)) != 0) ++len;
    put(0, len);
    put(static_cast<uint32_t>(x), len + 1);
  }
  void put_se(int32_t v) { put_ue(v > 0 ? static_cast<uint32_t>(2 * v - 1) : static_cast<uint32_t>(-2 * int64_t{v})); }
  size_t size() const { return bits_.size(); }
  // Stream bytes; `pad` bytes of filler follow (0xFF by default).
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out((bits_.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits_.size(); ++i)
      if (bits_[i]) out[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
    return out;
  }
  // Host-order words with `padWords` words of `fill` after the data.
  std::vector<uint32_t> words(size_t padWords = 4, uint32_t fill = 0) const {
    std::vector<uint8_t> b = bytes();
    while (b.size() % 4) b.push_back(0);
    std::vector<uint32_t> w(b.size() / 4 + padWords, fill);
    for (size_t i = 0; i < b.size() / 4; ++i)
      w[i] = (uint32_t{b[4 * i]} << 24) | (uint32_t{b[4 * i + 1]} << 16) | (uint32_t{b[4 * i + 2]} << 8) | b[4 * i + 3];
    return w;
  }

 private:
  std::vector<uint8_t> bits_;
};

struct ListCode {
  uint32_t code;
  int length;
  int a;  // value, or TrailingOnes
  int b;  // TotalCoeff
};

// The codes of one code list.
inline std::vector<ListCode> codes_of(const CavlcCodeList& list) {
  std::vector<ListCode> out;
  const int32_t* p = list.words;
  const int levels = p[1];
  p += 2 + levels;
  for (int length = 1;; ++length) {
    const int32_t count = *p++;
    if (count < 0) break;
    for (int i = 0; i < count; ++i) {
      ListCode c{static_cast<uint32_t>(p[0]), length, p[1], list.entryWords == 3 ? p[2] : 0};
      out.push_back(c);
      p += list.entryWords;
    }
  }
  return out;
}

inline const CavlcCodeList& list_named(const std::string& name) {
  for (const CavlcCodeList& l : kCavlcCodeLists)
    if (name == l.name) return l;
  throw std::runtime_error("no list " + name);
}

inline void put_value(BitWriter& w, const std::string& list, int value) {
  for (const ListCode& c : codes_of(list_named(list)))
    if (c.a == value) return w.put(c.code, c.length);
  throw std::runtime_error("no code for value");
}

inline void put_token(BitWriter& w, const std::string& list, int trailingOnes, int totalCoeff) {
  for (const ListCode& c : codes_of(list_named(list)))
    if (c.a == trailingOnes && c.b == totalCoeff) return w.put(c.code, c.length);
  throw std::runtime_error("no coeff_token");
}

// Writes residual_block_cavlc() for coefficients coef[0 .. maxNum-1] in scan
// order (coef[0] is the block's first coded scan position). nC -1 is 4:2:0
// chroma DC.
inline void put_block(BitWriter& w, const int* coef, int maxNum, int nC) {
  int levels[16] = {};
  int runs[16] = {};
  int totalCoeff = 0, totalZeros = 0;
  // Reverse scan order: highest frequency first.
  int last = -1;
  for (int i = maxNum - 1; i >= 0; --i)
    if (coef[i] != 0) {
      last = i;
      break;
    }
  for (int i = last; i >= 0; --i) {
    if (coef[i] == 0) continue;
    int run = 0;
    for (int j = i - 1; j >= 0 && coef[j] == 0; --j) ++run;
    levels[totalCoeff] = coef[i];
    runs[totalCoeff] = run;
    ++totalCoeff;
  }
  for (int i = 0; i < last; ++i) totalZeros += coef[i] == 0 ? 1 : 0;
  int trailingOnes = 0;
  while (trailingOnes < totalCoeff && trailingOnes < 3 && (levels[trailingOnes] == 1 || levels[trailingOnes] == -1))
    ++trailingOnes;

  if (nC == -1) {
    put_token(w, "coeff_token_map_cr", trailingOnes, totalCoeff);
  } else if (nC >= 8) {
    w.put(totalCoeff == 0 ? 3u : static_cast<uint32_t>(((totalCoeff - 1) << 2) | trailingOnes), 6);
  } else {
    put_token(w, nC < 2 ? "coeff_token_map_02" : nC < 4 ? "coeff_token_map_24" : "coeff_token_map_48", trailingOnes,
              totalCoeff);
  }
  if (totalCoeff == 0) return;
  for (int i = 0; i < trailingOnes; ++i) w.put(levels[i] < 0 ? 1 : 0, 1);
  int suffixLength = (totalCoeff > 10 && trailingOnes < 3) ? 1 : 0;
  for (int i = trailingOnes; i < totalCoeff; ++i) {
    const int level = levels[i];
    int levelCode = level > 0 ? 2 * level - 2 : -2 * level - 1;
    if (i == trailingOnes && trailingOnes < 3) levelCode -= 2;
    if (suffixLength == 0 && levelCode < 14) {
      w.put(1, levelCode + 1);
    } else if (suffixLength == 0 && levelCode < 30) {
      w.put(1, 15);
      w.put(static_cast<uint32_t>(levelCode - 14), 4);
    } else if (suffixLength > 0 && levelCode < (15 << suffixLength)) {
      w.put(1, (levelCode >> suffixLength) + 1);
      w.put(static_cast<uint32_t>(levelCode & ((1 << suffixLength) - 1)), suffixLength);
    } else {
      const int base = (15 << suffixLength) + (suffixLength == 0 ? 15 : 0);
      int prefix = 15;
      for (;; ++prefix) {
        const int escape = prefix >= 16 ? (1 << (prefix - 3)) - 4096 : 0;
        const int suffix = levelCode - base - escape;
        if (suffix >= 0 && suffix < (1 << (prefix - 3))) {
          w.put(1, prefix + 1);
          w.put(static_cast<uint32_t>(suffix), prefix - 3);
          break;
        }
      }
    }
    if (suffixLength == 0) suffixLength = 1;
    const int magnitude = level < 0 ? -level : level;
    if (magnitude > (3 << (suffixLength - 1)) && suffixLength < 6) ++suffixLength;
  }
  const int maxCoeff = nC == -1 ? 4 : maxNum;
  if (totalCoeff < maxCoeff)
    put_value(w, (nC == -1 ? "total_zeros_map_cr" : "total_zeros_map_") + std::to_string(totalCoeff), totalZeros);
  int zerosLeft = totalZeros;
  for (int i = 0; i < totalCoeff - 1 && zerosLeft > 0; ++i) {
    put_value(w, zerosLeft > 6 ? std::string("run_before_map_6p") : "run_before_map_" + std::to_string(zerosLeft),
              runs[i]);
    zerosLeft -= runs[i];
  }
}

}  // namespace cavlctest
