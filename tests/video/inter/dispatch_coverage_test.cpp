// Every MbTypeCode reaches the member named for it: the name each member list
// gives a code must be the one spelled from the code's bits (shape, the lists
// of each partition, skip, direct or sub-macroblock), every inter code that
// the macroblock layer produces has a member in its slice type's tables, the
// table entry forwards to exactly that member, and no other code has one.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "inter_dispatch.h"
#include "mb_record.h"

namespace {

struct Entry {
  const char* name;
  char slice;
  int code;
  bool twoLists;
  InterLumaDispatch luma;
  InterChromaDispatch chroma;
  bool mbaff;  // a member of the MBAFF tables
};

// Whole-macroblock rows give a member and its _mbaff twin.
#define LUMA_ROW(name, mbaffName, slice, code, lists, ...)                                        \
  {#name, #slice[0], code, #lists[0] == 'T', &inter::luma_entry<&name>, nullptr, false},          \
      {#mbaffName, #slice[0], code, #lists[0] == 'T', &inter::luma_entry<&mbaffName>, nullptr, true},
#define CHROMA_ROW(name, mbaffName, slice, code, lists)                                           \
  {#name, #slice[0], code, #lists[0] == 'T', nullptr, &inter::chroma_entry<&name>, false},        \
      {#mbaffName, #slice[0], code, #lists[0] == 'T', nullptr, &inter::chroma_entry<&mbaffName>, true},
// Sub-macroblock drivers: one row per code they serve.
#define SUBMB_ROWS(lumaName, chromaName, sl, pic, lists, ...)                                   \
  ([] {                                                                                         \
    const bool two = #lists[0] == 'T';                                                         \
    std::vector<Entry> rows;                                                                   \
    for (int code : {__VA_ARGS__}) {                                                           \
      rows.push_back({#lumaName, #sl[0], code, two, &inter::luma_entry<&lumaName>, nullptr, #pic[0] == 'M'}); \
      rows.push_back({#chromaName, #sl[0], code, two, nullptr, &inter::chroma_entry<&chromaName>, #pic[0] == 'M'}); \
    }                                                                                          \
    return rows;                                                                               \
  }()),
const Entry kWholeEntries[] = {INTER_LUMA_PARTITION_MEMBERS(LUMA_ROW) INTER_LUMA_SKIP_MEMBERS(LUMA_ROW)
                                   INTER_CHROMA_MEMBERS(CHROMA_ROW)};
const std::vector<Entry> kEntries = [] {
  std::vector<Entry> all(std::begin(kWholeEntries), std::end(kWholeEntries));
  for (const std::vector<Entry>& rows : {INTER_SUBMB_DRIVERS(SUBMB_ROWS)}) all.insert(all.end(), rows.begin(), rows.end());
  return all;
}();

const char* list_name(int pred) { return pred == 1 ? "L0" : pred == 2 ? "L1" : "Bi"; }

// The member suffix that the code's bits spell.
std::string suffix_of(char slice, int code, bool chroma) {
  if (code == MbP_Skip) return "P_Skip";
  if (code == MbB_Skip) return "B_Skip";
  if (code == MbB_Direct_16x16) return chroma ? "B_Direct_16x16" : "B_Direct";
  if ((code & 3) == 3) return slice == 'P' ? "P_8x8" : "B_8x8";
  const int shape = code & 3, p0 = (code >> 4) & 3, p1 = (code >> 2) & 3;
  const std::string size = shape == 0 ? "16x16" : shape == 1 ? "16x8" : "8x16";
  if (slice == 'P') return "P_" + size;
  if (shape == 0) return p0 == 3 ? "Bi_16x16" : std::string("B_") + list_name(p0) + "_16x16";
  return std::string("B_") + list_name(p0) + "_" + list_name(p1) + "_" + size;
}

// A member takes both lists unless every partition predicts from one list.
bool takes_two_lists(char slice, int code) {
  if (slice == 'P') return false;
  if (code == MbB_Skip || code == MbB_Direct_16x16 || code == Mb8x8) return true;
  const int p0 = (code >> 4) & 3, p1 = (code & 3) ? (code >> 2) & 3 : p0;
  return p0 == 3 || p0 != p1;
}

// Whole-macroblock inter codes of a slice type, from the macroblock layer's
// code tables.
std::set<int> inter_codes(char slice) {
  std::set<int> codes;
  const uint8_t* table = slice == 'P' ? kPMbTypeCodes : kBMbTypeCodes;
  const int count = slice == 'P' ? 31 : 49;
  for (int i = 0; i < count; ++i)
    if (!mb_is_intra(table[i])) codes.insert(table[i]);
  codes.insert(slice == 'P' ? MbP_Skip : MbB_Skip);
  if (slice == 'B') codes.insert(MbB_Direct_16x16);
  return codes;
}

TEST(InterDispatch, EveryCodeReachesTheMemberItsBitsName) {
  for (const Entry& e : kEntries) {
    const bool chroma = e.chroma != nullptr;
    const std::string want = std::string(chroma ? "DecodeInterPredictionSamplesChroma_" : "DecodeInterPredictionSamples_") +
                             suffix_of(e.slice, e.code, chroma) + (e.mbaff ? "_mbaff" : "");
    EXPECT_EQ(e.name, want) << "code " << e.code << " slice " << e.slice;
    EXPECT_EQ(e.twoLists, takes_two_lists(e.slice, e.code)) << e.name;
  }
  for (bool mbaff : {false, true}) {
    for (char slice : {'P', 'B'}) {
      const std::set<int> codes = inter_codes(slice);
      const InterLumaDispatch* luma = slice == 'P' ? (mbaff ? kInterLumaDispatchP_mbaff : kInterLumaDispatchP)
                                                   : (mbaff ? kInterLumaDispatchB_mbaff : kInterLumaDispatchB);
      const InterChromaDispatch* chroma = slice == 'P' ? (mbaff ? kInterChromaDispatchP_mbaff : kInterChromaDispatchP)
                                                       : (mbaff ? kInterChromaDispatchB_mbaff : kInterChromaDispatchB);
      for (int code = 0; code < 256; ++code) {
        InterLumaDispatch wantLuma = nullptr;
        InterChromaDispatch wantChroma = nullptr;
        for (const Entry& e : kEntries) {
          if (e.slice != slice || e.code != code || e.mbaff != mbaff) continue;
          if (e.luma) {
            EXPECT_EQ(wantLuma, nullptr) << "two luma members for code " << code;
            wantLuma = e.luma;
          } else {
            EXPECT_EQ(wantChroma, nullptr) << "two chroma members for code " << code;
            wantChroma = e.chroma;
          }
        }
        const bool inter = codes.count(code) != 0;
        EXPECT_EQ(wantLuma != nullptr, inter) << slice << " luma code " << code;
        EXPECT_EQ(wantChroma != nullptr, inter) << slice << " chroma code " << code;
        EXPECT_EQ(luma[code], wantLuma) << slice << " luma table at " << code;
        EXPECT_EQ(chroma[code], wantChroma) << slice << " chroma table at " << code;
      }
    }
  }
}

}  // namespace
