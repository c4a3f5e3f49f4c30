// CAVLC coefficient decoding: the multi-level VLC table builders and the
// decoders of 4x4 (and 15-coefficient AC) blocks and of 4:2:0 chroma DC
// blocks.
//
// The decoders are scalar code; one body is compiled into the sse2_, ssse3_
// and sse41_ members so that the variants cannot drift apart. The table
// builders have one body that fills all four dispatch slots.
#include <algorithm>
#include <cstring>
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
// Bit cursor over host-order 32-bit words.

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
};

// One lookup; false on a bad code. The table was made by our builder, so
// every index it yields lies inside it.
inline bool lookup(const HuffmanTable_32s* table, Cursor* c, int32_t* out) {
  const int32_t* t = reinterpret_cast<const int32_t*>(table);
  int32_t e = t[1 + c->read(t[0])];
  while (e & 0x80) {
    const int32_t s = e >> 8;
    e = t[s + 1 + c->read(t[s])];
  }
  c->give_back(e & 0xFF);
  if ((e >> 8) == kBadCode) return false;
  *out = e >> 8;
  return true;
}

// Levels after the trailing ones, into levels[trailingOnes .. totalCoeff-1];
// false for a level_prefix beyond what any accepted stream holds.
inline bool decode_levels(Cursor* c, int totalCoeff, int trailingOnes, int16_t* levels) {
  int suffixLength = (totalCoeff > 10 && trailingOnes < 3) ? 1 : 0;
  for (int i = trailingOnes; i < totalCoeff; ++i) {
    const uint32_t window = c->peek(32);
    if (window == 0) return false;
    const int prefix = __builtin_clz(window);
    if (prefix > kMaxLevelPrefix) return false;
    c->skip(prefix + 1);
    int32_t levelCode = std::min(15, prefix) << suffixLength;
    int suffixSize = suffixLength;
    if (prefix == 14 && suffixLength == 0) suffixSize = 4;
    if (prefix >= 15) suffixSize = prefix - 3;
    if (suffixSize > 0) levelCode += static_cast<int32_t>(c->read(suffixSize));
    if (prefix >= 15 && suffixLength == 0) levelCode += 15;
    if (prefix >= 16) levelCode += (1 << (prefix - 3)) - 4096;
    if (i == trailingOnes && trailingOnes < 3) levelCode += 2;
    const int32_t level = (levelCode & 1) == 0 ? (levelCode + 2) >> 1 : (-levelCode - 1) >> 1;
    if (suffixLength == 0) suffixLength = 1;
    const int32_t magnitude = level < 0 ? -level : level;
    if (magnitude > (3 << (suffixLength - 1)) && suffixLength < 6) ++suffixLength;
    levels[i] = static_cast<int16_t>(level);
  }
  return true;
}

inline void trailing_signs(Cursor* c, int trailingOnes, int16_t* levels) {
  for (int i = 0; i < trailingOnes; ++i) levels[i] = c->read(1) ? -1 : 1;
}

__attribute__((always_inline)) inline VpStatus decode_block(uint32_t** ppBitStream, int32_t* pOffset,
                                                             int16_t* pNumCoeff, int16_t** ppPosCoefbuf,
                                                             uint32_t uVLCSelect, int16_t uMaxNumCoeff,
                                                             const HuffmanTable_32s* const* ppTblCoeffToken,
                                                             const HuffmanTable_32s* const* ppTblTotalZeros,
                                                             const HuffmanTable_32s* const* ppTblRunBefore,
                                                             const int32_t* pScanMatrix) {
  if (ppBitStream == nullptr || pOffset == nullptr || ppPosCoefbuf == nullptr || pNumCoeff == nullptr ||
      ppTblCoeffToken == nullptr || ppTblTotalZeros == nullptr || ppTblRunBefore == nullptr ||
      pScanMatrix == nullptr || *ppBitStream == nullptr || *ppPosCoefbuf == nullptr)
    return StatusNullPointer;
  if (uMaxNumCoeff != 16 && uMaxNumCoeff != 15) return StatusOutOfRange;
  const int32_t nC = static_cast<int32_t>(uVLCSelect);
  if (nC < 0 || *pOffset < 0 || *pOffset > 31) return StatusOutOfRange;

  Cursor c{reinterpret_cast<const uint8_t*>(*ppBitStream), *pOffset};
  int totalCoeff, trailingOnes;
  if (nC < 8) {
    const HuffmanTable_32s* t = ppTblCoeffToken[nC < 2 ? 0 : nC < 4 ? 1 : 2];
    if (t == nullptr) return StatusNullPointer;
    int32_t token;
    if (!lookup(t, &c, &token)) return StatusVlcBadCode;
    trailingOnes = token & 0xFF;
    totalCoeff = (token >> 8) & 0xFF;
  } else {
    const uint32_t v = c.read(6);
    if (v == 3) {
      totalCoeff = trailingOnes = 0;
    } else {
      trailingOnes = static_cast<int>(v & 3);
      totalCoeff = static_cast<int>(v >> 2) + 1;
    }
  }
  if (trailingOnes > totalCoeff || trailingOnes > 3) return StatusVlcBadCode;
  *pNumCoeff = static_cast<int16_t>(totalCoeff);
  if (totalCoeff == 0) {
    *ppBitStream = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(c.word));
    *pOffset = c.offset;
    return StatusOk;
  }
  if (totalCoeff > uMaxNumCoeff) return StatusVlcBadCode;

  int16_t levels[16];
  trailing_signs(&c, trailingOnes, levels);
  int16_t* out = *ppPosCoefbuf;
  std::memset(out, 0, 16 * sizeof(int16_t));
  if (!decode_levels(&c, totalCoeff, trailingOnes, levels)) return StatusVlcBadCode;

  int32_t zerosLeft = 0;
  if (totalCoeff < uMaxNumCoeff) {
    const HuffmanTable_32s* t = ppTblTotalZeros[totalCoeff];
    if (t == nullptr) return StatusNullPointer;
    if (!lookup(t, &c, &zerosLeft)) return StatusVlcBadCode;
    if (zerosLeft < 0 || zerosLeft > uMaxNumCoeff - totalCoeff) return StatusVlcBadCode;
  }
  const int32_t skipped = 16 - uMaxNumCoeff;
  for (int k = 0; k < totalCoeff - 1; ++k) {
    const int i = totalCoeff - k;
    int32_t run = 0;
    if (zerosLeft > 0) {
      const HuffmanTable_32s* t = ppTblRunBefore[zerosLeft];
      if (t == nullptr) return StatusNullPointer;
      if (!lookup(t, &c, &run)) return StatusVlcBadCode;
    }
    out[pScanMatrix[(i - 1) + zerosLeft + skipped] & 15] = levels[k];
    zerosLeft = run > zerosLeft ? 0 : zerosLeft - run;
  }
  out[pScanMatrix[zerosLeft + skipped] & 15] = levels[totalCoeff - 1];

  *ppPosCoefbuf = out + 16;
  *ppBitStream = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(c.word));
  *pOffset = c.offset;
  return StatusOk;
}

// The codes of the single +-1 block with total_zeros read from the three bits
// after the sign: (coefficient index, bits consumed with coeff_token and sign).
const int8_t ChromaDCRunTable[8][2] = {{3, 5}, {2, 5}, {1, 4}, {1, 4}, {0, 3}, {0, 3}, {0, 3}, {0, 3}};

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
  auto write_back = [&]() {
    *ppBitStream = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(c.word));
    *pOffset = c.offset;
  };
  if (head & 0x10) {  // coeff_token "1": one trailing one
    if (ppPosCoefbuf == nullptr || *ppPosCoefbuf == nullptr) return StatusNullPointer;
    int16_t* out = *ppPosCoefbuf;
    std::memset(out, 0, 4 * sizeof(int16_t));
    const int8_t* r = ChromaDCRunTable[head & 7];
    out[r[0]] = (head & 8) ? -1 : 1;
    *ppPosCoefbuf = out + 4;
    c.skip(r[1]);
    *pNumCoeff = 1;
    write_back();
    return StatusOk;
  }
  if ((head >> 3) == 1) {  // coeff_token "01": no coefficient
    *pNumCoeff = 0;
    c.skip(2);
    write_back();
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
  trailing_signs(&c, trailingOnes, levels);
  if (totalCoeff == 0) {
    write_back();
    return StatusOk;
  }
  int16_t* out = *ppPosCoefbuf;
  std::memset(out, 0, 4 * sizeof(int16_t));
  if (!decode_levels(&c, totalCoeff, trailingOnes, levels)) return StatusVlcBadCode;
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
  write_back();
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

#define CAVLC_MEMBERS(prefix, target)                                                                              \
  target VpStatus prefix##vpiDecodeCAVLCCoeffs_H264_1u16s CAVLC_COEFFS_PARAMS { return decode_block CAVLC_COEFFS_ARGS; } \
  target VpStatus prefix##vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s CAVLC_CHROMA_PARAMS {                         \
    return decode_chroma_dc CAVLC_CHROMA_ARGS;                                                                     \
  }

CAVLC_MEMBERS(sse2_, )
CAVLC_MEMBERS(ssse3_, __attribute__((target("ssse3"))))
CAVLC_MEMBERS(sse41_, __attribute__((target("sse4.1"))))

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
