// Reconstruction drivers for frame and field pictures: walk the macroblocks
// of one slice in address order, reconstruct each into the picture and keep
// the left and right margins of completed macroblock rows filled.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "reconstruction.h"

#include "inter_families.h"
#include "inter_prediction.h"

void fill_plane_margins(uint8_t* plane, int pitch, int width, int first, int count, int margin, bool left,
                        bool right) {
  for (int y = first; y < first + count; ++y) {
    uint8_t* line = plane + static_cast<ptrdiff_t>(y) * pitch;
    if (left) std::memset(line - margin, line[0], margin);
    if (right) std::memset(line + width, line[width - 1], margin);
  }
}

namespace {

constexpr uint8_t served_bit(char slice) { return slice == 'P' ? 1 : 2; }

// Bit 0: served in P slices, bit 1: in B slices; by MbTypeCode, as the
// member lists of the inter-prediction families give them.
struct ServedCodes {
  uint8_t bits[256];
  constexpr ServedCodes() : bits() {
#define SERVED_PARTITION(name, mbaff, slice, code, lists, weigh) bits[code] |= served_bit(#slice[0]);
#define SERVED_SKIP(name, mbaff, slice, code, lists) bits[code] |= served_bit(#slice[0]);
#define SERVED_SUBMB(luma, chroma, slice, kind, lists, ...) \
  for (uint8_t c : {__VA_ARGS__}) bits[c] |= served_bit(#slice[0]);
    INTER_LUMA_PARTITION_MEMBERS(SERVED_PARTITION)
    INTER_LUMA_SKIP_MEMBERS(SERVED_SKIP)
    INTER_SUBMB_DRIVERS(SERVED_SUBMB)
#undef SERVED_PARTITION
#undef SERVED_SKIP
#undef SERVED_SUBMB
  }
};
constexpr ServedCodes kServed;

const InterLumaMember* const kLumaP = kInterLumaDispatchP;
const InterLumaMember* const kLumaB = kInterLumaDispatchB;
const InterChromaMember* const kChromaP = kInterChromaDispatchP;
const InterChromaMember* const kChromaB = kInterChromaDispatchB;

}  // namespace

bool served_inter_code(bool bothLists, uint8_t code) { return (kServed.bits[code] >> (bothLists ? 1 : 0)) & 1; }

namespace {

// The slice's run of macroblocks and where its first one lies.
struct ReconstructionUnit {
  DecodedPicture* pic;
  MacroblockRecord* first;
  uint32_t count;  // macroblocks decoded (at the end: the driver's result)
  uint32_t walk;   // of them, those that lie inside the picture
  uint32_t width;  // in macroblocks
  uint32_t start;  // address of the first macroblock
  ThreadBuffer* tb;  // for the engine's report of completed rows
};

// The unit of the slice's first `count` macroblocks.
ReconstructionUnit unit_of(ThreadBuffer* tb, uint32_t count) {
  const SliceDecodeContext* s = tb->slice;
  ReconstructionUnit u{};
  u.tb = tb;
  u.pic = s->picture;
  u.first = s->firstMb;
  u.count = u.first ? count : 0;
  u.width = u.pic->widthInMbs;
  u.start = s->firstMbAddr;
  // A count that runs past the picture is cut at its end: nothing outside
  // the planes is ever written.
  u.walk = u.start < u.pic->mbCount ? std::min(u.count, u.pic->mbCount - u.start) : 0;
  if (u.width == 0) u.walk = 0;
  return u;
}

uint32_t recorded_count(const ThreadBuffer* tb) {
  const MacroblockRecord* first = tb->slice->firstMb;
  return first ? first->slice_mb_count : 0;
}

// Calls visit(mb, column, row) for macroblocks [from, u.walk) of the unit,
// then fills the margins of the rows it completes through
// margins(row, left, right).
template <class Visit, class Margins>
void walk_unit(const ReconstructionUnit& u, uint32_t from, Visit visit, Margins margins) {
  if (from >= u.walk) return;
  MacroblockRecord* mb = u.first + from;
  uint32_t column = (u.start + from) % u.width, row = (u.start + from) / u.width;
  for (uint32_t i = from; i < u.walk; ++i, ++mb) {
    visit(mb, column, row);
    if (column == 0) margins(row, true, false);
    if (column == u.width - 1) {
      margins(row, false, true);
      if (u.tb->slice->rowDone) u.tb->slice->rowDone(u.tb, row);
      column = 0;
      ++row;
    } else {
      ++column;
    }
  }
}

void luma_margins(const DecodedPicture* pic, uint32_t row, bool left, bool right) {
  fill_plane_margins(picture_luma(pic), pic->lumaPitch, static_cast<int>(16 * pic->widthInMbs),
                     static_cast<int>(16 * row), 16, 32, left, right);
}

void chroma_margins(const DecodedPicture* pic, uint32_t row, bool left, bool right) {
  for (uint8_t* plane : {picture_cb(pic), picture_cr(pic)})
    fill_plane_margins(plane, pic->chromaPitch, static_cast<int>(8 * pic->widthInMbs), static_cast<int>(8 * row), 8,
                       8, left, right);
}

uint8_t* luma_at(const DecodedPicture* pic, uint32_t column, uint32_t row) {
  return picture_luma(pic) + static_cast<ptrdiff_t>(16 * row) * pic->lumaPitch + 16 * column;
}

uint8_t* chroma_at(uint8_t* plane, const DecodedPicture* pic, uint32_t column, uint32_t row) {
  return plane + static_cast<ptrdiff_t>(8 * row) * pic->chromaPitch + 8 * column;
}

// Single-list B members take the list they use as their only list.
inline bool list1_only(bool bothLists, uint8_t code) { return bothLists && (code == 40 || code == 41 || code == 42); }

void luma_of(const ReconstructionUnit& u, const SliceDecodeContext* s, const InterLumaMember* table, bool bothLists,
             MacroblockRecord* mb, uint32_t column, uint32_t row) {
  const DecodedPicture* pic = u.pic;
  const int pitch = pic->lumaPitch;
  uint8_t* dst = luma_at(pic, column, row);
  const uint8_t code = mb->mb_type;
  if (code == MbI_PCM) {
    copy_pcm_luma(mb, dst, pitch);
  } else if (!served_inter_code(bothLists, code)) {
    DecodeIntraPrediction_for_P_B(dst, mb, pitch);
  } else if (InterLumaMember member = table[code]) {
    member(list1_only(bothLists, code) ? s->RefPicList1 : s->RefPicList0, bothLists ? s->RefPicList1 : nullptr,
           static_cast<uint16_t>(16 * column), static_cast<uint16_t>(16 * row), dst, mb, pitch, luma_width_with_margins(pic),
           pic->lumaHeight);
  }
}

void chroma_of(const ReconstructionUnit& u, const SliceDecodeContext* s, const InterChromaMember* table, bool bothLists,
               MacroblockRecord* mb, uint32_t column, uint32_t row) {
  const DecodedPicture* pic = u.pic;
  const int pitch = pic->chromaPitch;
  uint8_t* cb = chroma_at(picture_cb(pic), pic, column, row);
  uint8_t* cr = chroma_at(picture_cr(pic), pic, column, row);
  const uint8_t code = mb->mb_type;
  if (code == MbI_PCM) {
    copy_pcm_chroma(mb, cb, cr, pitch);
  } else if (!served_inter_code(bothLists, code)) {
    DecodeIntraPredictionChroma_for_P_B(cb, cr, mb, pitch);
  } else if (InterChromaMember member = table[code]) {
    member(list1_only(bothLists, code) ? s->RefPicList1 : s->RefPicList0, bothLists ? s->RefPicList1 : nullptr,
           static_cast<uint16_t>(8 * column), static_cast<uint16_t>(8 * row), cb, cr, mb, pitch,
           chroma_width_with_margins(pic), pic->chromaHeight);
  }
}

// The chroma step of a P (B) unit for one macroblock: the unit's walk takes
// it right after the macroblock's luma.
inline void predict_and_combine_P_unit_8bit_chroma(const ReconstructionUnit& u, MacroblockRecord* mb,
                                                   uint32_t column, uint32_t row) {
  chroma_of(u, u.tb->slice, kChromaP, false, mb, column, row);
}
inline void predict_and_combine_B_unit_8bit_chroma(const ReconstructionUnit& u, MacroblockRecord* mb,
                                                   uint32_t column, uint32_t row) {
  chroma_of(u, u.tb->slice, kChromaB, true, mb, column, row);
}
template <bool BothLists>
inline void chroma_step(const ReconstructionUnit& u, MacroblockRecord* mb, uint32_t column, uint32_t row) {
  if (BothLists)
    predict_and_combine_B_unit_8bit_chroma(u, mb, column, row);
  else
    predict_and_combine_P_unit_8bit_chroma(u, mb, column, row);
}

// Walk of a P or B unit: each macroblock's luma and then (when the picture
// has chroma) its chroma step, so its record is read once while it is in
// the cache. I_PCM copies, intra macroblocks and the inter members of the
// slice type's tables.
template <bool BothLists>
void inter_steps(ReconstructionSteps* steps) {
  const InterLumaMember* luma = BothLists ? kLumaB : kLumaP;
  const ReconstructionUnit u = unit_of(steps->tb, steps->count);
  const SliceDecodeContext* s = steps->tb->slice;
  const DecodedPicture* pic = u.pic;
  const bool hasChroma = pic->chroma_format_idc != 0;
  walk_unit(
      u, steps->done,
      [&](MacroblockRecord* mb, uint32_t column, uint32_t row) {
        luma_of(u, s, luma, BothLists, mb, column, row);
        if (hasChroma) chroma_step<BothLists>(u, mb, column, row);
      },
      [&](uint32_t row, bool left, bool right) {
        luma_margins(pic, row, left, right);
        if (hasChroma) chroma_margins(pic, row, left, right);
      });
  steps->done = std::max(steps->done, u.walk);
}

// Left-column buffers of the I walk, kept from macroblock to macroblock:
// 32 aligned bytes with one corner slot in front; each plane has its own.
struct IntraColumns {
  alignas(16) uint8_t lumaIn[48], lumaOut[48];
  alignas(16) uint8_t cbCol[32], crCol[32];
};
static_assert(sizeof(IntraColumns) <= sizeof(ReconstructionSteps::columns), "I walk columns");

// The I unit's walk: each macroblock's luma and then (when the picture has
// chroma) its chroma.
void intra_steps(ReconstructionSteps* steps) {
  const ReconstructionUnit u = unit_of(steps->tb, steps->count);
  const DecodedPicture* pic = u.pic;
  const bool hasChroma = pic->chroma_format_idc != 0;
  IntraColumns& c = *reinterpret_cast<IntraColumns*>(steps->columns);
  const int pitch = pic->lumaPitch;
  const int cpitch = pic->chromaPitch;
  walk_unit(
      u, steps->done,
      [&](MacroblockRecord* mb, uint32_t column, uint32_t row) {
        CreateIntraPredictionAndCombine_I_8bit(mb, c.lumaIn + 16, c.lumaOut + 16, luma_at(pic, column, row), pitch);
        std::memcpy(c.lumaIn + 16, c.lumaOut + 16, 32);
        if (hasChroma) {
          uint8_t* cb = chroma_at(picture_cb(pic), pic, column, row);
          uint8_t* cr = chroma_at(picture_cr(pic), pic, column, row);
          CreateIntraPredictionAndCombineChroma_I(mb, cb - cpitch, cr - cpitch, c.cbCol + 16, c.crCol + 16,
                                                  c.cbCol + 16, c.crCol + 16, cb, cr, cpitch);
        }
      },
      [&](uint32_t row, bool left, bool right) {
        luma_margins(pic, row, left, right);
        if (hasChroma) chroma_margins(pic, row, left, right);
      });
  steps->done = std::max(steps->done, u.walk);
}

void start_steps(ReconstructionSteps* steps, ThreadBuffer* tb, PredictAndCombineFn driver) {
  steps->tb = tb;
  steps->driver = driver;
  steps->done = 0;
  steps->count = 0;
  steps->last = false;
  std::memset(steps->columns, 128, sizeof steps->columns);
}

}  // namespace

bool reconstruction_steps_begin(ReconstructionSteps* steps, ThreadBuffer* tb, PredictAndCombineFn driver) {
  const PredictAndCombineFn known[] = {
      predict_and_combine_I_unit_8bit,       predict_and_combine_P_unit_8bit_luma,
      predict_and_combine_B_unit_8bit_luma,  predict_and_combine_I_unit_8bit_luma_mbaff,
      predict_and_combine_P_unit_8bit_luma_mbaff, predict_and_combine_B_unit_8bit_luma_mbaff};
  if (std::find(std::begin(known), std::end(known), driver) == std::end(known)) return false;
  start_steps(steps, tb, driver);
  tb->steps = steps;
  return true;
}

void reconstruction_steps_finish(ReconstructionSteps* steps) {
  steps->count = recorded_count(steps->tb);
  steps->last = true;
  steps->driver(steps->tb);
  reconstruction_steps_end(steps);
}

void reconstruction_steps_end(ReconstructionSteps* steps) { steps->tb->steps = nullptr; }

uint32_t drive_walk(ThreadBuffer* tb, ReconstructionWalk walk) {
  if (ReconstructionSteps* open = tb->steps) {
    walk(open);
    return recorded_count(tb);
  }
  ReconstructionSteps whole;
  start_steps(&whole, tb, nullptr);
  whole.count = recorded_count(tb);
  whole.last = true;
  walk(&whole);
  return recorded_count(tb);
}

uint32_t predict_and_combine_I_unit_8bit(ThreadBuffer* tb) { return drive_walk(tb, intra_steps); }

uint32_t predict_and_combine_P_unit_8bit_luma(ThreadBuffer* tb) { return drive_walk(tb, inter_steps<false>); }

uint32_t predict_and_combine_B_unit_8bit_luma(ThreadBuffer* tb) { return drive_walk(tb, inter_steps<true>); }
