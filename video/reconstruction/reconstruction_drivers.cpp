// Reconstruction drivers for frame and field pictures: walk the macroblocks
// of one slice in address order, reconstruct each into the picture and keep
// the left and right margins of completed macroblock rows filled.
#include <algorithm>
#include <cstring>

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
  uint32_t count;     // as the slice-data step recorded it (the driver's result)
  uint32_t walk;      // macroblocks that lie inside the picture
  uint32_t width;     // in macroblocks
  uint32_t column, row;
  ThreadBuffer* tb;  // for the engine's report of completed rows
};

ReconstructionUnit unit_of(ThreadBuffer* tb) {
  const SliceDecodeContext* s = tb->slice;
  ReconstructionUnit u{};
  u.tb = tb;
  u.pic = s->picture;
  u.first = s->firstMb;
  u.count = u.first ? u.first->slice_mb_count : 0;
  u.width = u.pic->widthInMbs;
  const uint32_t start = s->firstMbAddr;
  // A count that runs past the picture is cut at its end: nothing outside
  // the planes is ever written.
  u.walk = start < u.pic->mbCount ? std::min(u.count, u.pic->mbCount - start) : 0;
  if (u.width == 0) u.walk = 0;
  u.column = u.width ? start % u.width : 0;
  u.row = u.width ? start / u.width : 0;
  return u;
}

// Calls visit(mb, column, row) for every macroblock of the unit, then fills
// the margins of the rows it completes through margins(row, left, right).
template <class Visit, class Margins>
void walk_unit(const ReconstructionUnit& u, Visit visit, Margins margins) {
  MacroblockRecord* mb = u.first;
  uint32_t column = u.column, row = u.row;
  for (uint32_t i = 0; i < u.walk; ++i, ++mb) {
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
           static_cast<uint16_t>(16 * column), static_cast<uint16_t>(16 * row), dst, mb, pitch, frame_luma_pitch(pic),
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
           frame_chroma_pitch(pic), pic->chromaHeight);
  }
}

// One walk of a P or B unit: each macroblock's luma and then (when the
// picture has chroma) its chroma, so its record is read while it is still in
// the cache. I_PCM copies, intra macroblocks and the inter members of the
// slice type's tables.
uint32_t inter_unit(ThreadBuffer* tb, const InterLumaMember* luma, const InterChromaMember* chroma,
                    bool bothLists) {
  const ReconstructionUnit u = unit_of(tb);
  const SliceDecodeContext* s = tb->slice;
  const DecodedPicture* pic = u.pic;
  const bool hasChroma = pic->chroma_format_idc != 0;
  walk_unit(
      u,
      [&](MacroblockRecord* mb, uint32_t column, uint32_t row) {
        luma_of(u, s, luma, bothLists, mb, column, row);
        if (hasChroma) chroma_of(u, s, chroma, bothLists, mb, column, row);
      },
      [&](uint32_t row, bool left, bool right) {
        luma_margins(pic, row, left, right);
        if (hasChroma) chroma_margins(pic, row, left, right);
      });
  return u.count;
}

uint32_t inter_unit_chroma(ThreadBuffer* tb, const InterChromaMember* table, bool bothLists) {
  const ReconstructionUnit u = unit_of(tb);
  const SliceDecodeContext* s = tb->slice;
  walk_unit(
      u,
      [&](MacroblockRecord* mb, uint32_t column, uint32_t row) {
        chroma_of(u, s, table, bothLists, mb, column, row);
      },
      [&](uint32_t row, bool left, bool right) { chroma_margins(u.pic, row, left, right); });
  return u.count;
}

}  // namespace

// One walk: each macroblock's luma and then (when the picture has chroma) its
// chroma; each plane keeps its own left-column buffer.
uint32_t predict_and_combine_I_unit_8bit(ThreadBuffer* tb) {
  const ReconstructionUnit u = unit_of(tb);
  const DecodedPicture* pic = u.pic;
  const bool hasChroma = pic->chroma_format_idc != 0;
  // Column buffers: 32 aligned bytes with one corner slot in front.
  alignas(16) uint8_t lumaIn[48], lumaOut[48];
  alignas(16) uint8_t cbCol[32], crCol[32];
  std::memset(lumaIn, 128, sizeof lumaIn);
  std::memset(cbCol, 128, sizeof cbCol);
  std::memset(crCol, 128, sizeof crCol);
  const int pitch = pic->lumaPitch;
  const int cpitch = pic->chromaPitch;
  walk_unit(
      u,
      [&](MacroblockRecord* mb, uint32_t column, uint32_t row) {
        CreateIntraPredictionAndCombine_I_8bit(mb, lumaIn + 16, lumaOut + 16, luma_at(pic, column, row), pitch);
        std::memcpy(lumaIn + 16, lumaOut + 16, 32);
        if (hasChroma) {
          uint8_t* cb = chroma_at(picture_cb(pic), pic, column, row);
          uint8_t* cr = chroma_at(picture_cr(pic), pic, column, row);
          CreateIntraPredictionAndCombineChroma_I(mb, cb - cpitch, cr - cpitch, cbCol + 16, crCol + 16, cbCol + 16,
                                                  crCol + 16, cb, cr, cpitch);
        }
      },
      [&](uint32_t row, bool left, bool right) {
        luma_margins(pic, row, left, right);
        if (hasChroma) chroma_margins(pic, row, left, right);
      });
  return u.count;
}

uint32_t predict_and_combine_P_unit_8bit_chroma(ThreadBuffer* tb) {
  return inter_unit_chroma(tb, kChromaP, false);
}

uint32_t predict_and_combine_B_unit_8bit_chroma(ThreadBuffer* tb) {
  return inter_unit_chroma(tb, kChromaB, true);
}

uint32_t predict_and_combine_P_unit_8bit_luma(ThreadBuffer* tb) { return inter_unit(tb, kLumaP, kChromaP, false); }

uint32_t predict_and_combine_B_unit_8bit_luma(ThreadBuffer* tb) { return inter_unit(tb, kLumaB, kChromaB, true); }
