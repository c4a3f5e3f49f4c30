// CAVLC coefficient decoding: the multi-level VLC table builders and the
// decoders of 4x4 (and 15-coefficient AC) blocks and of 4:2:0 chroma DC
// blocks.
//
// The decoders are scalar code; one body is compiled into the sse2_, ssse3_
// and sse41_ members with each variant's instruction set, so that the
// variants cannot drift apart. The table builders have one body that fills
// all four dispatch slots.
#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "vpImage.h"

namespace {

constexpr int32_t kUnset = 0x00F0F101;  // entry of bits that start no code
constexpr int32_t kBadCode = 0xF0F1;    // kUnset >> 8
constexpr int kMaxLevels = 8;
constexpr int kMaxCodeLength = 31;
// level_prefix values above this do not occur in any stream we accept; the
// standard's level arithmetic holds up to it without overflow.
constexpr int kMaxLevelPrefix = 26;

// ---------------------------------------------------------------------------
// Table builders.

struct ParsedCode {
  uint32_t code;
  int32_t length;
  int32_t payload;  // terminal entry without its giveBack byte
};

// Reads a code list into codes; false when it is malformed.
bool parse_code_list(const int32_t* list, bool runLevel, int32_t* levels, int32_t* cum,
                     std::vector<ParsedCode>* codes) {
  *levels = list[1];
  if (*levels < 1 || *levels > kMaxLevels) return false;
  cum[0] = 0;
  for (int32_t k = 0; k < *levels; ++k) {
    const int32_t b = list[2 + k];
    if (b < 1 || b > 16) return false;
    cum[k + 1] = cum[k] + b;
    if (cum[k + 1] > kMaxCodeLength) return false;
  }
  const int32_t* p = list + 2 + *levels;
  for (int32_t length = 1;; ++length) {
    const int32_t count = *p++;
    if (count < 0) break;
    if (count > 0 && length > cum[*levels]) return false;
    for (int32_t n = 0; n < count; ++n) {
      ParsedCode c;
      c.length = length;
      c.code = static_cast<uint32_t>(p[0]) & ((1u << length) - 1u);
      if (runLevel) {
        const int32_t run = p[1], level = p[2];
        if (level < 0 || level > 127) return false;
        c.payload = (level << 8) | (run & 0xFF);
        p += 3;
      } else {
        const int32_t value = p[1];
        if (value < -(1 << 22) || value >= (1 << 22)) return false;
        c.payload = value;
        p += 2;
      }
      codes->push_back(c);
    }
    if (length > kMaxCodeLength) return false;
  }
  return true;
}

VpStatus build_table(const int32_t* list, HuffmanTable_32s** out, bool runLevel) {
  if (list == nullptr || out == nullptr) return StatusNullPointer;
  int32_t levels = 0;
  int32_t cum[kMaxLevels + 1];
  std::vector<ParsedCode> codes;
  if (!parse_code_list(list, runLevel, &levels, cum, &codes)) return StatusOutOfRange;
  const int32_t* bits = list + 2;

  // Size: the first level plus one sub-table per distinct prefix that longer
  // codes share at the end of each level.
  std::vector<uint64_t> prefixes;
  prefixes.reserve(codes.size());
  for (const ParsedCode& c : codes) {
    for (int32_t k = 0; k + 1 < levels && cum[k + 1] < c.length; ++k)
      prefixes.push_back((static_cast<uint64_t>(k) << 40) | (c.code >> (c.length - cum[k + 1])));
  }
  std::sort(prefixes.begin(), prefixes.end());
  prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
  int64_t words = (int64_t{1} << bits[0]) + 1;
  for (uint64_t key : prefixes) words += (int64_t{1} << bits[(key >> 40) + 1]) + 1;
  if (words * 4 > INT32_MAX) return StatusNoMemory;

  int32_t* t = reinterpret_cast<int32_t*>(vpsMalloc_8u(static_cast<int32_t>(words * 4)));
  if (t == nullptr) return StatusNoMemory;
  std::fill(t, t + words, kUnset);
  t[0] = bits[0];
  int32_t next = (1 << bits[0]) + 1;

  for (const ParsedCode& c : codes) {
    int32_t pos = 0;
    for (int32_t k = 0; k < levels; ++k) {
      if (cum[k + 1] >= c.length) {
        // Terminal: every index that begins with the code's last bits.
        const int32_t spare = cum[k + 1] - c.length;
        const uint32_t base = (c.code & ((1u << (c.length - cum[k])) - 1u)) << spare;
        const int32_t entry = static_cast<int32_t>(static_cast<uint32_t>(c.payload) << 8) | spare;
        for (uint32_t j = 0; j < (1u << spare); ++j) {
          int32_t& slot = t[pos + 1 + base + j];
          if (slot != kUnset) {  // two codes where one is the other's prefix
            vpsFree(t);
            return StatusOutOfRange;
          }
          slot = entry;
        }
        break;
      }
      int32_t& slot = t[pos + 1 + ((c.code >> (c.length - cum[k + 1])) & ((1u << bits[k]) - 1u))];
      if (slot == kUnset) {
        t[next] = bits[k + 1];
        slot = (next << 8) | 0x80;
        pos = next;
        next += (1 << bits[k + 1]) + 1;
      } else if ((slot & 0x80) == 0) {
        vpsFree(t);
        return StatusOutOfRange;
      } else {
        pos = slot >> 8;
      }
    }
  }
  *out = reinterpret_cast<HuffmanTable_32s*>(t);
  return StatusOk;
}

VpStatus c_vpiHuffmanTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable) {
  return build_table(pCodeList, ppTable, false);
}

VpStatus c_vpiHuffmanRunLevelTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable) {
  return build_table(pCodeList, ppTable, true);
}

VpStatus c_vpiHuffmanTableFree_32s(HuffmanTable_32s* pTable) {
  if (pTable == nullptr) return StatusNullPointer;
  vpsFree(pTable);
  return StatusOk;
}

// ---------------------------------------------------------------------------
// Bit cursor over host-order 32-bit words, read a whole word pair at a time
// (the chroma DC decoder's reader).

struct Cursor {
  const uint8_t* word;  // word holding the next bit
  int32_t offset;       // 31..0

  static uint32_t load(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
  }
  // The next n bits (1..32) without consuming them; reads the following word.
  uint32_t peek(int n) const {
    const uint64_t v = (static_cast<uint64_t>(load(word)) << 32) | load(word + 4);
    return static_cast<uint32_t>((v << (31 - offset)) >> (64 - n));
  }
  void skip(int n) {
    offset -= n;
    while (offset < 0) {
      offset += 32;
      word += 4;
    }
  }
  void give_back(int n) {
    offset += n;
    while (offset > 31) {
      offset -= 32;
      word -= 4;
    }
  }
  uint32_t read(int n) {
    const uint32_t v = peek(n);
    skip(n);
    return v;
  }
  void write_back(uint32_t** ppBitStream, int32_t* pOffset) const {
    *ppBitStream = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(word));
    *pOffset = offset;
  }
};

// The 4x4 decoder's reader: two consecutive stream words in a 64-bit
// register, `pos` bits of it consumed. refill() moves on by one word once
// the first is used up, so after it 33 to 64 bits are ready; the cursor is
// written back once, at the end of the block.
struct BitWindow {
  uint64_t bits;
  int pos;               // 0..63
  const uint8_t* next;   // the word after the window

  explicit BitWindow(const uint8_t* word, int32_t offset)
      : bits((static_cast<uint64_t>(Cursor::load(word)) << 32) | Cursor::load(word + 4)),
        pos(31 - offset),
        next(word + 8) {}
  void refill() {
    if (pos >= 32) {
      bits = (bits << 32) | Cursor::load(next);
      next += 4;
      pos -= 32;
    }
  }
  // The next n bits (1..32); pos + n stays within the window.
  uint32_t peek(int n) const { return static_cast<uint32_t>((bits << pos) >> (64 - n)); }
  uint32_t read(int n) {
    const uint32_t v = peek(n);
    pos += n;
    return v;
  }
  void write_back(uint32_t** ppBitStream, int32_t* pOffset) const {
    *ppBitStream = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(next - 8 + 4 * (pos >> 5)));
    *pOffset = 31 - (pos & 31);
  }
};

// One lookup; false on a bad code. The table was made by our builder, so
// every index it yields lies inside it; its codes are at most 31 bits long.
template <typename Reader>
inline bool lookup(const HuffmanTable_32s* table, Reader* c, int32_t* out) {
  const int32_t* t = reinterpret_cast<const int32_t*>(table);
  int32_t e = t[1 + c->read(t[0])];
  while (e & 0x80) {
    const int32_t s = e >> 8;
    e = t[s + 1 + c->read(t[s])];
  }
  if constexpr (std::is_same_v<Reader, BitWindow>) {
    c->pos -= e & 0xFF;
  } else {
    c->give_back(e & 0xFF);
  }
  if ((e >> 8) == kBadCode) return false;
  *out = e >> 8;
  return true;
}

// ---------------------------------------------------------------------------
// Level tables of the 4x4 decoder, by suffixLength and level_prefix.

// suffixLength grows by one after a level whose magnitude exceeds the entry
// of the current suffixLength (while it is below 6).
const uint16_t h264_table_vlc_inc[6] = {0, 3, 6, 12, 24, 48};
// Signs of up to three trailing ones: row = the next three bits.
alignas(8) const int16_t h264_table_trailing_ones[8][4] = {
    {1, 1, 1, 0},  {1, 1, -1, 0},  {1, -1, 1, 0},  {1, -1, -1, 0},
    {-1, 1, 1, 0}, {-1, 1, -1, 0}, {-1, -1, 1, 0}, {-1, -1, -1, 0}};
// Bits of level_suffix for level_prefix 0..15.
const uint8_t h264_table_bits_to_get[7][16] = {
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 12},      {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 12},
    {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 12},      {3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 12},
    {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 12},      {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 12},
    {6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 12}};
// Magnitude before level_suffix >> 1: row 0 1 (8 for prefix 14, 16 for
// 15), row n 1 + (level_prefix << (n - 1)).
constexpr uint16_t addOffset(int suffixLength, int prefix) {
  if (suffixLength == 0) return prefix < 14 ? 1 : prefix == 14 ? 8 : 16;
  return static_cast<uint16_t>(1 + (prefix << (suffixLength - 1)));
}
#define CAVLC_OFFSET_ROW(n)                                                                                         \
  {addOffset(n, 0),  addOffset(n, 1),  addOffset(n, 2),  addOffset(n, 3),  addOffset(n, 4),  addOffset(n, 5),       \
   addOffset(n, 6),  addOffset(n, 7),  addOffset(n, 8),  addOffset(n, 9),  addOffset(n, 10), addOffset(n, 11),      \
   addOffset(n, 12), addOffset(n, 13), addOffset(n, 14), addOffset(n, 15)}
const uint16_t h264_table_add_offset[7][16] = {CAVLC_OFFSET_ROW(0), CAVLC_OFFSET_ROW(1), CAVLC_OFFSET_ROW(2),
                                               CAVLC_OFFSET_ROW(3), CAVLC_OFFSET_ROW(4), CAVLC_OFFSET_ROW(5),
                                               CAVLC_OFFSET_ROW(6)};
// 1 << k, the escape's (1 << (level_prefix - 3)).
const uint32_t h264_table_shifted_one[24] = {1u << 0,  1u << 1,  1u << 2,  1u << 3,  1u << 4,  1u << 5,
                                             1u << 6,  1u << 7,  1u << 8,  1u << 9,  1u << 10, 1u << 11,
                                             1u << 12, 1u << 13, 1u << 14, 1u << 15, 1u << 16, 1u << 17,
                                             1u << 18, 1u << 19, 1u << 20, 1u << 21, 1u << 22, 1u << 23};

// The same contents for the chroma DC level decoder, in its own widths.
#define CAVLC_BITS_ROW(n)                                                                                    \
  {h264_table_bits_to_get[n][0],  h264_table_bits_to_get[n][1],  h264_table_bits_to_get[n][2],              \
   h264_table_bits_to_get[n][3],  h264_table_bits_to_get[n][4],  h264_table_bits_to_get[n][5],              \
   h264_table_bits_to_get[n][6],  h264_table_bits_to_get[n][7],  h264_table_bits_to_get[n][8],              \
   h264_table_bits_to_get[n][9],  h264_table_bits_to_get[n][10], h264_table_bits_to_get[n][11],             \
   h264_table_bits_to_get[n][12], h264_table_bits_to_get[n][13], h264_table_bits_to_get[n][14],             \
   h264_table_bits_to_get[n][15]}
const int32_t bitsToGetTbl16s[7][16] = {CAVLC_BITS_ROW(0), CAVLC_BITS_ROW(1), CAVLC_BITS_ROW(2), CAVLC_BITS_ROW(3),
                                        CAVLC_BITS_ROW(4), CAVLC_BITS_ROW(5), CAVLC_BITS_ROW(6)};
const int32_t addOffsetTbl16s[7][16] = {CAVLC_OFFSET_ROW(0), CAVLC_OFFSET_ROW(1), CAVLC_OFFSET_ROW(2),
                                        CAVLC_OFFSET_ROW(3), CAVLC_OFFSET_ROW(4), CAVLC_OFFSET_ROW(5),
                                        CAVLC_OFFSET_ROW(6)};
#undef CAVLC_BITS_ROW
#undef CAVLC_OFFSET_ROW
const uint8_t vlc_inc[6] = {0, 3, 6, 12, 24, 48};
// Addend of the level escape by suffixLength.
const int32_t sadd[7] = {15, 0, 0, 0, 0, 0, 0};

// suffixLength after a level of magnitude m.
inline int next_suffix_length(int suffixLength, bool first, int32_t m, int initial) {
  if (first) return m > 3 ? 2 : initial + (m > h264_table_vlc_inc[initial] ? 1 : 0);
  return suffixLength + (suffixLength < 6 && m > h264_table_vlc_inc[suffixLength] ? 1 : 0);
}

// Levels after the trailing ones, into levels[trailingOnes .. totalCoeff-1];
// level_prefix found with one bit scan. False for a level_prefix beyond what
// any accepted stream holds.
inline bool decode_levels(BitWindow* w, int totalCoeff, int trailingOnes, int16_t* levels) {
  const int initial = (totalCoeff > 10 && trailingOnes < 3) ? 1 : 0;
  int suffixLength = initial;
  int32_t bump = trailingOnes < 3 ? 1 : 0;
  for (int i = trailingOnes; i < totalCoeff; ++i) {
    w->refill();
    const uint32_t peek = w->peek(32);
    if (peek == 0) return false;
    const int prefix = __builtin_clz(peek);
    if (prefix > kMaxLevelPrefix) return false;
    w->pos += prefix + 1;
    int32_t levelCode, m;
    if (prefix < 16) {
      const int n = h264_table_bits_to_get[suffixLength][prefix];
      levelCode = n > 0 ? static_cast<int32_t>(w->read(n)) : prefix;  // pos stays within the window
      m = h264_table_add_offset[suffixLength][prefix] + bump + (levelCode >> 1);
    } else {
      const int n = prefix - 3;
      if (w->pos + n > 64) w->refill();
      levelCode = static_cast<int32_t>(w->read(n) + h264_table_shifted_one[n]) - 4096 + (15 << suffixLength) +
                  (suffixLength == 0 ? 15 : 0);
      m = ((levelCode + 2) >> 1) + bump;
    }
    levels[i] = static_cast<int16_t>(static_cast<uint16_t>((levelCode & 1) ? -m : m));
    suffixLength = next_suffix_length(suffixLength, i == trailingOnes, m, initial);
    bump = 0;
  }
  return true;
}

// The 4x4 decoder after the argument checks: coeff_token, trailing-one
// signs, levels, total_zeros and runs, with the cursor kept in a register
// window and written back once. A bad code leaves the cursor as it was.
__attribute__((always_inline)) inline VpStatus decode_coeffs(const CavlcCoeffsArgs* a) {
  BitWindow w(reinterpret_cast<const uint8_t*>(*a->ppBitStream), *a->pOffset);
  const int32_t nC = static_cast<int32_t>(a->uVLCSelect);
  const int maxNum = a->uMaxNumCoeff;
  int totalCoeff, trailingOnes;
  if (nC < 8) {
    const HuffmanTable_32s* t = a->ppTblCoeffToken[nC < 2 ? 0 : nC < 4 ? 1 : 2];
    if (t == nullptr) return StatusNullPointer;
    int32_t token;
    if (!lookup(t, &w, &token)) return StatusVlcBadCode;
    trailingOnes = token & 0xFF;
    totalCoeff = (token >> 8) & 0xFF;
  } else {
    const uint32_t v = w.read(6);
    if (v == 3) {
      totalCoeff = trailingOnes = 0;
    } else {
      trailingOnes = static_cast<int>(v & 3);
      totalCoeff = static_cast<int>(v >> 2) + 1;
    }
  }
  if (trailingOnes > totalCoeff || trailingOnes > 3) return StatusVlcBadCode;
  *a->pNumCoeff = static_cast<int16_t>(totalCoeff);
  if (totalCoeff == 0) {
    w.write_back(a->ppBitStream, a->pOffset);
    return StatusOk;
  }
  if (totalCoeff > maxNum) return StatusVlcBadCode;

  // Trailing-one signs: one row of the sign table for the next three bits.
  alignas(8) int16_t levels[16];
  std::memcpy(levels, h264_table_trailing_ones[w.peek(3)], sizeof h264_table_trailing_ones[0]);
  w.pos += trailingOnes;
  int16_t* out = *a->ppPosCoefbuf;
  std::memset(out, 0, 16 * sizeof(int16_t));
  if (!decode_levels(&w, totalCoeff, trailingOnes, levels)) return StatusVlcBadCode;

  int32_t zerosLeft = 0;
  if (totalCoeff < maxNum) {
    const HuffmanTable_32s* t = a->ppTblTotalZeros[totalCoeff];
    if (t == nullptr) return StatusNullPointer;
    w.refill();
    if (!lookup(t, &w, &zerosLeft)) return StatusVlcBadCode;
    if (zerosLeft < 0 || zerosLeft > maxNum - totalCoeff) return StatusVlcBadCode;
  }
  const int32_t skipped = 16 - maxNum;
  const int32_t* scan = a->pScanMatrix;
  for (int k = 0; k < totalCoeff - 1; ++k) {
    const int i = totalCoeff - k;
    int32_t run = 0;
    if (zerosLeft > 0) {
      const HuffmanTable_32s* t = a->ppTblRunBefore[zerosLeft];
      if (t == nullptr) return StatusNullPointer;
      w.refill();
      if (!lookup(t, &w, &run)) return StatusVlcBadCode;
    }
    out[scan[(i - 1) + zerosLeft + skipped] & 15] = levels[k];
    zerosLeft = run > zerosLeft ? 0 : zerosLeft - run;
  }
  out[scan[zerosLeft + skipped] & 15] = levels[totalCoeff - 1];

  *a->ppPosCoefbuf = out + 16;
  w.write_back(a->ppBitStream, a->pOffset);
  return StatusOk;
}

// Argument checks of the 4x4 front end, in the order of the interface.
inline VpStatus check_coeffs_args(const CavlcCoeffsArgs& a) {
  if (a.ppBitStream == nullptr || a.pOffset == nullptr || a.ppPosCoefbuf == nullptr || a.pNumCoeff == nullptr ||
      a.ppTblCoeffToken == nullptr || a.ppTblTotalZeros == nullptr || a.ppTblRunBefore == nullptr ||
      a.pScanMatrix == nullptr || *a.ppBitStream == nullptr || *a.ppPosCoefbuf == nullptr)
    return StatusNullPointer;
  if (a.uMaxNumCoeff != 16 && a.uMaxNumCoeff != 15) return StatusOutOfRange;
  if (static_cast<int32_t>(a.uVLCSelect) < 0 || *a.pOffset < 0 || *a.pOffset > 31) return StatusOutOfRange;
  return StatusOk;
}

// The codes of the single +-1 block with total_zeros read from the three bits
// after the sign: (coefficient index, bits consumed with coeff_token and sign).
const int8_t ChromaDCRunTable[8][2] = {{3, 5}, {2, 5}, {1, 4}, {1, 4}, {0, 3}, {0, 3}, {0, 3}, {0, 3}};

// Levels of a chroma DC block after its trailing ones, level_prefix read one
// bit at a time (at most 26 zeros). False for a longer level_prefix.
__attribute__((always_inline)) inline bool _GetBlockCoeffs_CAVLC(Cursor* c, int totalCoeff, int trailingOnes,
                                                                 int16_t* levels) {
  const int initial = (totalCoeff > 10 && trailingOnes < 3) ? 1 : 0;
  int suffixLength = initial;
  int32_t bump = trailingOnes < 3 ? 1 : 0;
  for (int i = trailingOnes; i < totalCoeff; ++i) {
    int prefix = 0;
    while (c->read(1) == 0) {
      if (++prefix > kMaxLevelPrefix) return false;
    }
    int32_t levelCode, m;
    if (prefix < 16) {
      const int n = bitsToGetTbl16s[suffixLength][prefix];
      levelCode = n > 0 ? static_cast<int32_t>(c->read(n)) : prefix;
      m = addOffsetTbl16s[suffixLength][prefix] + bump + (levelCode >> 1);
    } else {
      // The escape with the bump inside levelCode.
      levelCode = sadd[suffixLength] + 2 * bump + (1 << (prefix - 3)) + (15 << suffixLength) +
                  static_cast<int32_t>(c->read(prefix - 3)) - 4096;
      m = (levelCode + 2) >> 1;
    }
    levels[i] = static_cast<int16_t>(static_cast<uint16_t>((levelCode & 1) ? -m : m));
    if (i == trailingOnes) {
      suffixLength = m > 3 ? 2 : initial + (m > vlc_inc[initial] ? 1 : 0);
    } else if (suffixLength < 6 && m > vlc_inc[suffixLength]) {
      ++suffixLength;
    }
    bump = 0;
  }
  return true;
}

__attribute__((always_inline)) inline VpStatus decode_chroma_dc(uint32_t** ppBitStream, int32_t* pOffset,
                                                                 int16_t* pNumCoeff, int16_t** ppPosCoefbuf,
                                                                 const HuffmanTable_32s* pTblCoeffToken,
                                                                 const HuffmanTable_32s* const* ppTblTotalZerosCR,
                                                                 const HuffmanTable_32s* const* ppTblRunBefore) {
  if (ppBitStream == nullptr || pOffset == nullptr || pNumCoeff == nullptr || *ppBitStream == nullptr)
    return StatusNullPointer;
  if (*pOffset < 0 || *pOffset > 31) return StatusOutOfRange;
  Cursor c{reinterpret_cast<const uint8_t*>(*ppBitStream), *pOffset};
  const uint32_t head = c.peek(5);
  if (head & 0x10) {  // coeff_token "1": one trailing one
    if (ppPosCoefbuf == nullptr || *ppPosCoefbuf == nullptr) return StatusNullPointer;
    int16_t* out = *ppPosCoefbuf;
    std::memset(out, 0, 4 * sizeof(int16_t));
    const int8_t* r = ChromaDCRunTable[head & 7];
    out[r[0]] = (head & 8) ? -1 : 1;
    *ppPosCoefbuf = out + 4;
    c.skip(r[1]);
    *pNumCoeff = 1;
    c.write_back(ppBitStream, pOffset);
    return StatusOk;
  }
  if ((head >> 3) == 1) {  // coeff_token "01": no coefficient
    *pNumCoeff = 0;
    c.skip(2);
    c.write_back(ppBitStream, pOffset);
    return StatusOk;
  }
  if (ppPosCoefbuf == nullptr || *ppPosCoefbuf == nullptr || pTblCoeffToken == nullptr ||
      ppTblTotalZerosCR == nullptr || ppTblRunBefore == nullptr)
    return StatusNullPointer;
  int32_t token;
  if (!lookup(pTblCoeffToken, &c, &token)) return StatusVlcBadCode;
  const int trailingOnes = token & 0xFF;
  const int totalCoeff = (token >> 8) & 0xFF;
  if (totalCoeff > 4 || trailingOnes > totalCoeff || trailingOnes > 3) return StatusVlcBadCode;
  *pNumCoeff = static_cast<int16_t>(totalCoeff);
  int16_t levels[4];
  for (int i = 0; i < trailingOnes; ++i) levels[i] = c.read(1) ? -1 : 1;
  if (totalCoeff == 0) {
    c.write_back(ppBitStream, pOffset);
    return StatusOk;
  }
  int16_t* out = *ppPosCoefbuf;
  std::memset(out, 0, 4 * sizeof(int16_t));
  if (totalCoeff > trailingOnes && !_GetBlockCoeffs_CAVLC(&c, totalCoeff, trailingOnes, levels))
    return StatusVlcBadCode;
  int32_t zerosLeft = 0;
  if (totalCoeff < 4) {
    const HuffmanTable_32s* t = ppTblTotalZerosCR[totalCoeff];
    if (t == nullptr) return StatusNullPointer;
    if (!lookup(t, &c, &zerosLeft)) return StatusVlcBadCode;
    if (zerosLeft < 0 || zerosLeft > 4 - totalCoeff) return StatusVlcBadCode;
  }
  for (int k = 0; k < totalCoeff; ++k) {
    const int i = totalCoeff - k;
    int32_t run = zerosLeft;
    if (i >= 2 && zerosLeft >= 1) {
      const HuffmanTable_32s* t = ppTblRunBefore[zerosLeft];
      if (t == nullptr) return StatusNullPointer;
      if (!lookup(t, &c, &run)) return StatusVlcBadCode;
    }
    out[(i - 1) + zerosLeft] = levels[k];
    zerosLeft = run > zerosLeft ? 0 : zerosLeft - run;
  }
  *ppPosCoefbuf = out + 4;
  c.write_back(ppBitStream, pOffset);
  return StatusOk;
}

// ---------------------------------------------------------------------------
// Exp-Golomb readers. They touch only the words that hold bits of the code,
// so a code may end at the last byte of its buffer.

// The n bits (1..32) that start `at` bits after the cursor.
inline uint32_t bits_at(const uint32_t* word, int32_t offset, uint64_t at, int n) {
  const uint64_t first = static_cast<uint64_t>(31 - offset) + at;
  const uint32_t* w = word + (first >> 5);
  const int shift = static_cast<int>(first & 31);
  uint64_t v = static_cast<uint64_t>(w[0]) << 32;
  if (shift + n > 32) v |= w[1];
  return static_cast<uint32_t>((v << shift) >> (64 - n));
}

// codeNum of the code at the cursor (0 for codes longer than maxZeros
// leading zeros), the cursor moved past the code.
__attribute__((always_inline)) inline uint32_t read_exp_golomb(uint32_t** ppBitStream, int32_t* pOffset,
                                                                int maxZeros) {
  const uint32_t* word = *ppBitStream;
  const int32_t offset = *pOffset;
  const uint32_t head = word[0] << (31 - offset);  // the word's unread bits, left-aligned
  uint64_t zeros;
  if (head != 0) {
    zeros = static_cast<uint64_t>(__builtin_clz(head));
  } else {
    zeros = static_cast<uint64_t>(offset) + 1;
    const uint32_t* w = word + 1;
    while (*w == 0) {
      zeros += 32;
      ++w;
    }
    zeros += static_cast<uint64_t>(__builtin_clz(*w));
  }
  const uint32_t codeNum =
      zeros <= static_cast<uint64_t>(maxZeros) ? bits_at(word, offset, zeros, static_cast<int>(zeros) + 1) - 1u : 0u;
  // Consume 2 * zeros + 1 bits.
  const uint64_t consumed = 2 * zeros + 1 + static_cast<uint64_t>(31 - offset);
  *ppBitStream = const_cast<uint32_t*>(word) + (consumed >> 5);
  *pOffset = 31 - static_cast<int32_t>(consumed & 31);
  return codeNum;
}

inline uint32_t mapped(uint32_t codeNum, int32_t isSigned) {
  if (isSigned == 0) return codeNum;
  return (codeNum & 1) ? (codeNum + 1) >> 1 : 0u - (codeNum >> 1);
}

__attribute__((always_inline)) inline VpStatus exp_golomb_16s(uint32_t** ppBitStream, int32_t* pOffset, int16_t* pDst,
                                                               int32_t isSigned) {
  if (ppBitStream == nullptr || pOffset == nullptr || pDst == nullptr || *ppBitStream == nullptr)
    return StatusNullPointer;
  if (*pOffset < 0 || *pOffset > 31) return StatusOutOfRange;
  *pDst = static_cast<int16_t>(static_cast<uint16_t>(mapped(read_exp_golomb(ppBitStream, pOffset, 16), isSigned)));
  return StatusOk;
}

__attribute__((always_inline)) inline VpStatus exp_golomb_32s(uint32_t** ppBitStream, int32_t* pOffset, int32_t* pDst,
                                                               int32_t isSigned) {
  if (ppBitStream == nullptr || pOffset == nullptr || pDst == nullptr || *ppBitStream == nullptr)
    return StatusNullPointer;
  if (*pOffset < 0 || *pOffset > 31) return StatusOutOfRange;
  *pDst = static_cast<int32_t>(mapped(read_exp_golomb(ppBitStream, pOffset, 31), isSigned));
  return StatusOk;
}

}  // namespace

// ---------------------------------------------------------------------------
// Members and dispatch.

#define CAVLC_COEFFS_PARAMS                                                                                       \
  (uint32_t * *ppBitStream, int32_t * pOffset, int16_t * pNumCoeff, int16_t * *ppPosCoefbuf, uint32_t uVLCSelect, \
   int16_t uMaxNumCoeff, const HuffmanTable_32s* const* ppTblCoeffToken,                                          \
   const HuffmanTable_32s* const* ppTblTotalZeros, const HuffmanTable_32s* const* ppTblRunBefore,                 \
   const int32_t* pScanMatrix)
#define CAVLC_COEFFS_ARGS                                                                                   \
  (ppBitStream, pOffset, pNumCoeff, ppPosCoefbuf, uVLCSelect, uMaxNumCoeff, ppTblCoeffToken, ppTblTotalZeros, \
   ppTblRunBefore, pScanMatrix)
#define CAVLC_CHROMA_PARAMS                                                                                    \
  (uint32_t * *ppBitStream, int32_t * pOffset, int16_t * pNumCoeff, int16_t * *ppPosCoefbuf,                     \
   const HuffmanTable_32s* pTblCoeffToken, const HuffmanTable_32s* const* ppTblTotalZerosCR,                    \
   const HuffmanTable_32s* const* ppTblRunBefore)
#define CAVLC_CHROMA_ARGS \
  (ppBitStream, pOffset, pNumCoeff, ppPosCoefbuf, pTblCoeffToken, ppTblTotalZerosCR, ppTblRunBefore)

// The members of each variant, compiled from the one body with the
// variant's instruction set: target, 4x4 front end, 4x4 decoder, chroma DC
// decoder and the two Exp-Golomb readers.
#define CAVLC_VARIANTS(X)                                                                                        \
  X(, sse2_vpiDecodeCAVLCCoeffs_H264_1u16s, sse2_decode_coeffs_cavlc_h264_mmp,                                   \
    sse2_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s, sse2_decode_exp_golomb_one_16s_mmp,                            \
    sse2_decode_exp_golomb_one_32s_mmp)                                                                          \
  X(__attribute__((target("ssse3"))), ssse3_vpiDecodeCAVLCCoeffs_H264_1u16s, ssse3_decode_coeffs_cavlc_h264_mmp, \
    ssse3_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s, ssse3_decode_exp_golomb_one_16s_mmp,                          \
    ssse3_decode_exp_golomb_one_32s_mmp)                                                                         \
  X(__attribute__((target("sse4.1"))), sse41_vpiDecodeCAVLCCoeffs_H264_1u16s, sse41_decode_coeffs_cavlc_h264_mmp, \
    sse41_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s, sse41_decode_exp_golomb_one_16s_mmp,                          \
    sse41_decode_exp_golomb_one_32s_mmp)

#define CAVLC_DEFINE_VARIANT(target, front, decoder, chromaDc, expGolomb16, expGolomb32)                          \
  target VpStatus decoder(const CavlcCoeffsArgs* args) { return decode_coeffs(args); }                            \
  target VpStatus front CAVLC_COEFFS_PARAMS {                                                                      \
    const CavlcCoeffsArgs args{ppBitStream,  pOffset,         pNumCoeff,       ppPosCoefbuf,   uVLCSelect,         \
                               uMaxNumCoeff, ppTblCoeffToken, ppTblTotalZeros, ppTblRunBefore, pScanMatrix};       \
    const VpStatus status = check_coeffs_args(args);                                                               \
    return status != StatusOk ? status : decoder(&args);                                                           \
  }                                                                                                                \
  target VpStatus chromaDc CAVLC_CHROMA_PARAMS { return decode_chroma_dc CAVLC_CHROMA_ARGS; }                      \
  target VpStatus expGolomb16(uint32_t** ppBitStream, int32_t* pOffset, int16_t* pDst, int32_t isSigned) {         \
    return exp_golomb_16s(ppBitStream, pOffset, pDst, isSigned);                                                   \
  }                                                                                                                \
  target VpStatus expGolomb32(uint32_t** ppBitStream, int32_t* pOffset, int32_t* pDst, int32_t isSigned) {         \
    return exp_golomb_32s(ppBitStream, pOffset, pDst, isSigned);                                                   \
  }

CAVLC_VARIANTS(CAVLC_DEFINE_VARIANT)
#undef CAVLC_DEFINE_VARIANT

VP_DISPATCH_TABLE(vpiDecodeCAVLCCoeffs_H264_1u16s);
VP_DISPATCH_TABLE(vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s);

VpStatus vpiDecodeCAVLCCoeffs_H264_1u16s CAVLC_COEFFS_PARAMS {
  return vpSelect(vpiDecodeCAVLCCoeffs_H264_1u16s_arraddr) CAVLC_COEFFS_ARGS;
}
VpStatus vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s CAVLC_CHROMA_PARAMS {
  return vpSelect(vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s_arraddr) CAVLC_CHROMA_ARGS;
}

// The builders have one body in every slot.
#define ONE_BODY_TABLE(name) \
  extern decltype(&c_##name) const name##_arraddr[4]; \
  decltype(&c_##name) const name##_arraddr[4] = {&c_##name, &c_##name, &c_##name, &c_##name}

ONE_BODY_TABLE(vpiHuffmanTableInitAlloc_32s);
ONE_BODY_TABLE(vpiHuffmanRunLevelTableInitAlloc_32s);
ONE_BODY_TABLE(vpiHuffmanTableFree_32s);

VpStatus vpiHuffmanTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable) {
  return vpSelect(vpiHuffmanTableInitAlloc_32s_arraddr)(pCodeList, ppTable);
}
VpStatus vpiHuffmanRunLevelTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable) {
  return vpSelect(vpiHuffmanRunLevelTableInitAlloc_32s_arraddr)(pCodeList, ppTable);
}
VpStatus vpiHuffmanTableFree_32s(HuffmanTable_32s* pTable) {
  return vpSelect(vpiHuffmanTableFree_32s_arraddr)(pTable);
}
