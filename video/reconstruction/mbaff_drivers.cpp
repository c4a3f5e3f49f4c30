// Reconstruction drivers for MBAFF frames: walk the macroblock pairs of one
// slice, reconstruct the top and then the bottom macroblock of each pair on
// the lines of its kind (a frame macroblock on 16 consecutive lines, a field
// macroblock on every second line of the pair's 32) and keep the left and
// right margins of completed pair rows filled.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "inter_prediction.h"
#include "reconstruction.h"

namespace {

// The slice's run of pairs.
struct PairUnit {
  DecodedPicture* pic;
  MacroblockRecord* first;
  uint32_t walk;   // macroblocks that lie inside the picture
  uint32_t width;  // in macroblocks (= pairs per pair row)
  uint32_t firstPair;  // pair address of the first pair
  ThreadBuffer* tb;     // for the engine's report of completed pair rows
};

// The unit of the slice's first `count` macroblocks.
PairUnit pair_unit_of(ThreadBuffer* tb, uint32_t count) {
  const SliceDecodeContext* s = tb->slice;
  PairUnit u{};
  u.tb = tb;
  u.pic = s->picture;
  u.first = s->firstMb;
  u.width = u.pic->widthInMbs;
  const uint32_t start = s->firstMbAddr;
  // A count that runs past the picture is cut at its end; a slice always
  // starts with a top macroblock.
  u.walk = (u.first && start < u.pic->mbCount && (start & 1) == 0) ? std::min(count, u.pic->mbCount - start) : 0;
  if (u.width == 0) u.walk = 0;
  u.firstPair = start / 2;
  return u;
}

// Where one macroblock of a pair lies in a plane, and the vertical position,
// row spacing and height its members receive.
struct Place {
  uint8_t* origin;
  int spacing;
  uint16_t y;
  uint32_t height;
};

Place place_in(uint8_t* plane, int pitch, uint32_t planeHeight, int mbSize, uint32_t column, uint32_t row,
               bool bottom, bool field) {
  uint8_t* pair = plane + static_cast<ptrdiff_t>(2 * mbSize * row) * pitch + mbSize * column;
  if (field)
    return {pair + (bottom ? pitch : 0), 2 * pitch, static_cast<uint16_t>(mbSize * row), planeHeight / 2};
  return {pair + (bottom ? mbSize * pitch : 0), pitch, static_cast<uint16_t>(2 * mbSize * row + (bottom ? mbSize : 0)),
          planeHeight};
}

Place luma_place(const DecodedPicture* pic, uint32_t column, uint32_t row, bool bottom, bool field) {
  return place_in(picture_luma(pic), pic->lumaPitch, pic->lumaHeight, 16, column, row, bottom, field);
}

Place chroma_place(uint8_t* plane, const DecodedPicture* pic, uint32_t column, uint32_t row, bool bottom,
                   bool field) {
  return place_in(plane, pic->chromaPitch, pic->chromaHeight, 8, column, row, bottom, field);
}

inline bool is_field_pair(const MacroblockRecord* top) { return top->mb_structure != kFrame; }

// Calls visit(mb, column, row, bottom, field) for macroblocks [from, to) of
// the unit (from even), pair by pair, then fills the margins of the pair rows
// it completes through margins(row, left, right). A last top macroblock
// without its bottom is visited alone.
template <class Visit, class Margins>
void walk_pairs(const PairUnit& u, uint32_t from, uint32_t to, Visit visit, Margins margins) {
  for (uint32_t i = from; i < to; i += 2) {
    MacroblockRecord* top = u.first + i;
    const uint32_t pair = u.firstPair + i / 2;
    const uint32_t column = pair % u.width, row = pair / u.width;
    const bool field = is_field_pair(top);
    visit(top, column, row, false, field);
    if (i + 1 < to) visit(top + 1, column, row, true, field);
    // Margins of a pair row once its first and its last pair are done.
    if (column == 0 || column == u.width - 1) margins(row, column == 0, column == u.width - 1);
    if (column == u.width - 1 && i + 1 < to && u.tb->slice->rowDone) u.tb->slice->rowDone(u.tb, row);
  }
}

// Macroblocks a step reconstructs: [done, end), whole pairs unless it is the
// last step; done moves to end.
uint32_t step_end(const ReconstructionSteps* steps, const PairUnit& u, bool last) {
  const uint32_t end = last ? u.walk : u.walk & ~1u;
  return end > steps->done ? end : steps->done;
}

void luma_margins(const DecodedPicture* pic, uint32_t row, bool left, bool right) {
  fill_plane_margins(picture_luma(pic), pic->lumaPitch, static_cast<int>(16 * pic->widthInMbs),
                     static_cast<int>(32 * row), 32, 32, left, right);
}

void chroma_margins(const DecodedPicture* pic, uint32_t row, bool left, bool right) {
  for (uint8_t* plane : {picture_cb(pic), picture_cr(pic)})
    fill_plane_margins(plane, pic->chromaPitch, static_cast<int>(8 * pic->widthInMbs), static_cast<int>(16 * row),
                       16, 8, left, right);
}

// Single-list B members take the list they use as their only list.
inline bool list1_only(bool bothLists, uint8_t code) { return bothLists && (code == 40 || code == 41 || code == 42); }

// The chroma of one macroblock of a pair in a P (B) unit: I_PCM copy,
// intra prediction (intra: an intra code other than I_PCM) or the member of
// the slice type's table.
template <bool BothLists>
inline void pair_chroma(const SliceDecodeContext* s, const DecodedPicture* pic, MacroblockRecord* mb,
                        uint32_t column, uint32_t row, bool bottom, bool field, bool intra) {
  const uint8_t code = mb->mb_type;
  const bool pcm = code == MbI_PCM;
  const Place cb = chroma_place(picture_cb(pic), pic, column, row, bottom, field);
  uint8_t* cr = chroma_place(picture_cr(pic), pic, column, row, bottom, field).origin;
  const InterChromaDispatch member = (BothLists ? kInterChromaDispatchB_mbaff : kInterChromaDispatchP_mbaff)[code];
  if (pcm) copy_pcm_chroma(mb, cb.origin, cr, cb.spacing);
  if (intra) DecodeIntraPredictionChroma_for_P_B_mbaff(cb.origin, cr, mb, cb.spacing);
  if (!pcm && !intra && member)
    member(list1_only(BothLists, code) ? s->RefPicList1 : s->RefPicList0, BothLists ? s->RefPicList1 : nullptr,
           static_cast<uint16_t>(8 * column), cb.y, cb.origin, cr, mb, cb.spacing, chroma_width_with_margins(pic),
           static_cast<int>(cb.height));
}

// The chroma step of a P (B) unit for one macroblock: the unit's walk takes
// it right after the macroblock's luma.
inline void predict_and_combine_P_unit_8bit_chroma_mbaff(const SliceDecodeContext* s, const DecodedPicture* pic,
                                                         MacroblockRecord* mb, uint32_t column, uint32_t row,
                                                         bool bottom, bool field, bool intra) {
  pair_chroma<false>(s, pic, mb, column, row, bottom, field, intra);
}
inline void predict_and_combine_B_unit_8bit_chroma_mbaff(const SliceDecodeContext* s, const DecodedPicture* pic,
                                                         MacroblockRecord* mb, uint32_t column, uint32_t row,
                                                         bool bottom, bool field, bool intra) {
  pair_chroma<true>(s, pic, mb, column, row, bottom, field, intra);
}

// Walk of a P or B unit: each macroblock's luma and then, when the picture
// has chroma, its chroma, so the record is read once while it is in the
// cache. I_PCM copies, intra macroblocks and the members of the slice type's
// tables.
template <bool BothLists>
void inter_steps(ReconstructionSteps* steps) {
  constexpr bool bothLists = BothLists;
  const PairUnit u = pair_unit_of(steps->tb, steps->count);
  const uint32_t end = step_end(steps, u, steps->last);
  const SliceDecodeContext* s = steps->tb->slice;
  const DecodedPicture* pic = u.pic;
  const bool hasChroma = pic->chroma_format_idc != 0;
  const InterLumaDispatch* lumaTable = bothLists ? kInterLumaDispatchB_mbaff : kInterLumaDispatchP_mbaff;
  walk_pairs(
      u, steps->done, end,
      [&](MacroblockRecord* mb, uint32_t column, uint32_t row, bool bottom, bool field) {
        const uint8_t code = mb->mb_type;
        const bool pcm = code == MbI_PCM;
        const bool intra = !pcm && !served_inter_code(bothLists, code);
        DecodedPicture* const* first = list1_only(bothLists, code) ? s->RefPicList1 : s->RefPicList0;
        DecodedPicture* const* second = bothLists ? s->RefPicList1 : nullptr;
        const Place p = luma_place(pic, column, row, bottom, field);
        const InterLumaDispatch member = lumaTable[code];
        if (pcm) copy_pcm_luma(mb, p.origin, p.spacing);
        if (intra) DecodeIntraPrediction_for_P_B_mbaff(p.origin, mb, p.spacing);
        if (!pcm && !intra && member)
          member(first, second, static_cast<uint16_t>(16 * column), p.y, p.origin, mb, p.spacing,
                 luma_width_with_margins(pic), static_cast<int>(p.height));
        if (hasChroma) {
          if (bothLists)
            predict_and_combine_B_unit_8bit_chroma_mbaff(s, pic, mb, column, row, bottom, field, intra);
          else
            predict_and_combine_P_unit_8bit_chroma_mbaff(s, pic, mb, column, row, bottom, field, intra);
        }
      },
      [&](uint32_t row, bool left, bool right) {
        luma_margins(pic, row, left, right);
        if (hasChroma) chroma_margins(pic, row, left, right);
      });
  steps->done = end;
}

// Left-column buffers of the I unit: the pair's right-most column in frame
// order (2 x Half samples) feeds the next pair. A frame pair's macroblocks
// take the upper and lower halves, a field pair's the even and odd lines.
// Each half has one writable slot in front for the corner sample.
template <int Half>
struct PairColumns {
  alignas(16) uint8_t frameOrder[2 * Half];
  alignas(16) uint8_t in[2][Half + 16];
  alignas(16) uint8_t out[2][Half + 16];

  uint8_t* left(int half) { return in[half] + 16; }
  uint8_t* right(int half) { return out[half] + 16; }

  void split(bool field) {
    for (int i = 0; i < 2 * Half; ++i) {
      const int half = field ? (i & 1) : i / Half;
      const int at = field ? i >> 1 : i % Half;
      left(half)[at] = frameOrder[i];
    }
  }
  void merge(bool field) {
    for (int i = 0; i < 2 * Half; ++i) {
      const int half = field ? (i & 1) : i / Half;
      const int at = field ? i >> 1 : i % Half;
      frameOrder[i] = right(half)[at];
    }
  }
};

// The buffers of every plane, kept from pair to pair.
struct IntraPairColumns {
  PairColumns<16> luma;
  PairColumns<8> chroma[2];
};
static_assert(sizeof(IntraPairColumns) <= sizeof(ReconstructionSteps::columns), "I walk columns");

// The chroma step of an I unit for one macroblock of a pair, both planes:
// the luma walk takes it right after the macroblock's luma, so that the
// record is read once while it is in the cache. The top macroblock splits
// the pair's left
// columns into halves, the last macroblock of the pair (pairEnds) merges
// its right columns back in frame order.
inline void predict_and_combine_I_unit_8bit_chroma_mbaff(const DecodedPicture* pic, PairColumns<8>* chroma,
                                                         MacroblockRecord* mb, uint32_t column, uint32_t row,
                                                         bool bottom, bool field, bool pairEnds) {
  const int half = bottom ? 1 : 0;
  if (!bottom)
    for (int c = 0; c < 2; ++c) chroma[c].split(field);
  const Place cb = chroma_place(picture_cb(pic), pic, column, row, bottom, field);
  const Place cr = chroma_place(picture_cr(pic), pic, column, row, bottom, field);
  CreateIntraPredictionAndCombineChroma_I(mb, cb.origin - cb.spacing, cr.origin - cr.spacing, chroma[0].left(half),
                                          chroma[1].left(half), chroma[0].right(half), chroma[1].right(half),
                                          cb.origin, cr.origin, cb.spacing);
  if (pairEnds)
    for (int c = 0; c < 2; ++c) chroma[c].merge(field);
}

// Whether mb ends its pair in a step that ends at `end`: the bottom
// macroblock, or a last top macroblock without its bottom.
inline bool ends_pair(const PairUnit& u, const MacroblockRecord* mb, bool bottom, uint32_t end) {
  return bottom || mb + 1 == u.first + end;
}

// The I unit's walk: each macroblock's luma and then, when the picture has
// chroma, its chroma step. Each plane keeps its own left-column buffer.
// The above-right samples of a bottom frame macroblock are never usable (its
// C link is null), so the intra code substitutes them in a local buffer:
// nothing is written outside the unit's own macroblocks.
void intra_pair_steps(ReconstructionSteps* steps) {
  const PairUnit u = pair_unit_of(steps->tb, steps->count);
  const uint32_t end = step_end(steps, u, steps->last);
  const DecodedPicture* pic = u.pic;
  const bool hasChroma = pic->chroma_format_idc != 0;
  IntraPairColumns& columns = *reinterpret_cast<IntraPairColumns*>(steps->columns);
  PairColumns<16>& luma = columns.luma;
  walk_pairs(
      u, steps->done, end,
      [&](MacroblockRecord* mb, uint32_t column, uint32_t row, bool bottom, bool field) {
        const int half = bottom ? 1 : 0;
        const bool pairEnds = ends_pair(u, mb, bottom, end);
        if (!bottom) luma.split(field);
        const Place p = luma_place(pic, column, row, bottom, field);
        CreateIntraPredictionAndCombine_I_8bit(mb, luma.left(half), luma.right(half), p.origin, p.spacing);
        if (pairEnds) luma.merge(field);
        if (hasChroma)
          predict_and_combine_I_unit_8bit_chroma_mbaff(pic, columns.chroma, mb, column, row, bottom, field, pairEnds);
      },
      [&](uint32_t row, bool left, bool right) {
        luma_margins(pic, row, left, right);
        if (hasChroma) chroma_margins(pic, row, left, right);
      });
  steps->done = end;
}

}  // namespace

uint32_t predict_and_combine_I_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return drive_walk(tb, intra_pair_steps); }
uint32_t predict_and_combine_P_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return drive_walk(tb, inter_steps<false>); }
uint32_t predict_and_combine_B_unit_8bit_luma_mbaff(ThreadBuffer* tb) { return drive_walk(tb, inter_steps<true>); }
