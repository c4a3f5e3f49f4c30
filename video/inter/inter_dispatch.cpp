// Dispatch tables of the P and B reconstruction drivers, generated from the
// member lists: entry MbTypeCode holds the member of that type.
#include "inter_dispatch.h"

#include <initializer_list>

namespace {

template <class Fn>
struct Table {
  Fn entries[256];
};

constexpr Table<InterLumaDispatch> luma_table(char slice, bool mbaff) {
  Table<InterLumaDispatch> t{};
#define INTER_LUMA_ENTRY(name, mbaffName, sl, code, ...) \
  if (slice == #sl[0]) t.entries[code] = mbaff ? &inter::luma_entry<&mbaffName> : &inter::luma_entry<&name>;
  INTER_LUMA_PARTITION_MEMBERS(INTER_LUMA_ENTRY)
  INTER_LUMA_SKIP_MEMBERS(INTER_LUMA_ENTRY)
#undef INTER_LUMA_ENTRY
#define INTER_SUBMB_LUMA_ENTRY(luma, chroma, sl, pic, lists, ...) \
  if (slice == #sl[0] && (#pic[0] == 'M') == mbaff)               \
    for (int code : {__VA_ARGS__}) t.entries[code] = &inter::luma_entry<&luma>;
  INTER_SUBMB_DRIVERS(INTER_SUBMB_LUMA_ENTRY)
#undef INTER_SUBMB_LUMA_ENTRY
  return t;
}

constexpr Table<InterChromaDispatch> chroma_table(char slice, bool mbaff) {
  Table<InterChromaDispatch> t{};
#define INTER_CHROMA_ENTRY(name, mbaffName, sl, code, lists) \
  if (slice == #sl[0]) t.entries[code] = mbaff ? &inter::chroma_entry<&mbaffName> : &inter::chroma_entry<&name>;
  INTER_CHROMA_MEMBERS(INTER_CHROMA_ENTRY)
#undef INTER_CHROMA_ENTRY
#define INTER_SUBMB_CHROMA_ENTRY(luma, chroma, sl, pic, lists, ...) \
  if (slice == #sl[0] && (#pic[0] == 'M') == mbaff)                 \
    for (int code : {__VA_ARGS__}) t.entries[code] = &inter::chroma_entry<&chroma>;
  INTER_SUBMB_DRIVERS(INTER_SUBMB_CHROMA_ENTRY)
#undef INTER_SUBMB_CHROMA_ENTRY
  return t;
}

constexpr Table<InterLumaDispatch> kLumaP = luma_table('P', false);
constexpr Table<InterLumaDispatch> kLumaB = luma_table('B', false);
constexpr Table<InterChromaDispatch> kChromaP = chroma_table('P', false);
constexpr Table<InterChromaDispatch> kChromaB = chroma_table('B', false);
constexpr Table<InterLumaDispatch> kLumaPMbaff = luma_table('P', true);
constexpr Table<InterLumaDispatch> kLumaBMbaff = luma_table('B', true);
constexpr Table<InterChromaDispatch> kChromaPMbaff = chroma_table('P', true);
constexpr Table<InterChromaDispatch> kChromaBMbaff = chroma_table('B', true);

}  // namespace

// The exported tables are plain constant arrays, filled at compile time.
#define INTER_E4(t, i) t.entries[i], t.entries[i + 1], t.entries[i + 2], t.entries[i + 3]
#define INTER_E16(t, i) INTER_E4(t, i), INTER_E4(t, i + 4), INTER_E4(t, i + 8), INTER_E4(t, i + 12)
#define INTER_E64(t, i) INTER_E16(t, i), INTER_E16(t, i + 16), INTER_E16(t, i + 32), INTER_E16(t, i + 48)
#define INTER_E256(t) INTER_E64(t, 0), INTER_E64(t, 64), INTER_E64(t, 128), INTER_E64(t, 192)
const InterLumaDispatch kInterLumaDispatchP[256] = {INTER_E256(kLumaP)};
const InterLumaDispatch kInterLumaDispatchB[256] = {INTER_E256(kLumaB)};
const InterChromaDispatch kInterChromaDispatchP[256] = {INTER_E256(kChromaP)};
const InterChromaDispatch kInterChromaDispatchB[256] = {INTER_E256(kChromaB)};
const InterLumaDispatch kInterLumaDispatchP_mbaff[256] = {INTER_E256(kLumaPMbaff)};
const InterLumaDispatch kInterLumaDispatchB_mbaff[256] = {INTER_E256(kLumaBMbaff)};
const InterChromaDispatch kInterChromaDispatchP_mbaff[256] = {INTER_E256(kChromaPMbaff)};
const InterChromaDispatch kInterChromaDispatchB_mbaff[256] = {INTER_E256(kChromaBMbaff)};
