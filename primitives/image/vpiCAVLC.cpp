// CAVLC coefficient decoding: the multi-level VLC table builders and the
// decoders of 4x4 (and 15-coefficient AC) blocks and of 4:2:0 chroma DC
// blocks.
//
// The decoders' members (cavlc_body.inc, compiled into the sse2_, ssse3_
// and sse41_ members by the image variant sources) run the block decoder of
// cavlc_block.h, the one the slice decoder runs. The table builders
// here have one body that fills all four dispatch slots.
#include <algorithm>
#include <vector>

#include "cavlc_internal.h"

namespace {

constexpr int32_t kUnset = 0x00F0F101;  // entry of bits that start no code
constexpr int kMaxLevels = 8;
constexpr int kMaxCodeLength = 31;

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

}  // namespace

// ---------------------------------------------------------------------------
// Dispatch.

VP_DISPATCH_TABLE(vpiDecodeCAVLCCoeffs_H264_1u16s);
VP_DISPATCH_TABLE(vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s);

VpStatus vpiDecodeCAVLCCoeffs_H264_1u16s CAVLC_COEFFS_PARAMS {
  return vpSelect(vpiDecodeCAVLCCoeffs_H264_1u16s_arraddr) CAVLC_COEFFS_ARGS;
}
VpStatus vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s CAVLC_CHROMA_PARAMS {
  return vpSelect(vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s_arraddr) CAVLC_CHROMA_ARGS;
}

// The builders have one body in every slot.
#define CAVLC_BUILDER_TABLE(name) VP_DISPATCH_TABLE_OF(name, c_##name, c_##name, c_##name)
CAVLC_BUILDER_TABLE(vpiHuffmanTableInitAlloc_32s);
CAVLC_BUILDER_TABLE(vpiHuffmanRunLevelTableInitAlloc_32s);
CAVLC_BUILDER_TABLE(vpiHuffmanTableFree_32s);
#undef CAVLC_BUILDER_TABLE

VpStatus vpiHuffmanTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable) {
  return vpSelect(vpiHuffmanTableInitAlloc_32s_arraddr)(pCodeList, ppTable);
}
VpStatus vpiHuffmanRunLevelTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable) {
  return vpSelect(vpiHuffmanRunLevelTableInitAlloc_32s_arraddr)(pCodeList, ppTable);
}
VpStatus vpiHuffmanTableFree_32s(HuffmanTable_32s* pTable) {
  return vpSelect(vpiHuffmanTableFree_32s_arraddr)(pTable);
}
