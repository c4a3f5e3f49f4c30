// Sub-macroblock motion: the named predictors over one template, and the
// derivation of a B_Direct_8x8 quadrant from the slice's direct mode.
#include "submb_motion.h"

#include "decoder_records.h"
#include "direct_motion.h"
#include "mbaff_neighbours.h"
#include "motion_vectors.h"
#include "skip_direct.h"

// Frame and field pictures locate neighbours through the links as they are,
// MBAFF frames through the macroblock-pair rules.
#define SUBMB_MV_DEFINE_FOR(Neighbours, name, list, width, blk)                                       \
  void name(MacroblockRecord* mb, int16_t* mvp) {                                                     \
    submb::submb_mv_predictor<Neighbours>(mb, list, blk, width,                                       \
                                          list ? mb->ref_idx_l1[blk >> 2] : mb->ref_idx_l0[blk >> 2], mvp); \
  }
#define SUBMB_MV_DEFINE(name, mbaffName, list, width, blk)           \
  SUBMB_MV_DEFINE_FOR(submb::FrameNeighbours, name, list, width, blk) \
  SUBMB_MV_DEFINE_FOR(MbaffNeighbours, mbaffName, list, width, blk)
SUBMB_MV_PREDICTORS(SUBMB_MV_DEFINE)
#undef SUBMB_MV_DEFINE
#undef SUBMB_MV_DEFINE_FOR

namespace {

struct PredictorTable {
  SubMbMvPredictor entries[2][2][2][16];
};

constexpr PredictorTable predictor_table() {
  PredictorTable t{};
#define SUBMB_MV_ENTRY(name, mbaffName, list, width, blk) \
  t.entries[0][list][width == 8][blk] = name;             \
  t.entries[1][list][width == 8][blk] = mbaffName;
  SUBMB_MV_PREDICTORS(SUBMB_MV_ENTRY)
#undef SUBMB_MV_ENTRY
  return t;
}

constexpr PredictorTable kPredictorTable = predictor_table();

}  // namespace

#define SUBMB_MV_E4(m, l, w, b) \
  kPredictorTable.entries[m][l][w][b], kPredictorTable.entries[m][l][w][b + 1], \
      kPredictorTable.entries[m][l][w][b + 2], kPredictorTable.entries[m][l][w][b + 3]
#define SUBMB_MV_E16(m, l, w) \
  {SUBMB_MV_E4(m, l, w, 0), SUBMB_MV_E4(m, l, w, 4), SUBMB_MV_E4(m, l, w, 8), SUBMB_MV_E4(m, l, w, 12)}
#define SUBMB_MV_WIDTHS(m, l) {SUBMB_MV_E16(m, l, 0), SUBMB_MV_E16(m, l, 1)}
#define SUBMB_MV_LISTS(m) {SUBMB_MV_WIDTHS(m, 0), SUBMB_MV_WIDTHS(m, 1)}
const SubMbMvPredictor kSubMbMvPredictors[2][2][2][16] = {SUBMB_MV_LISTS(0), SUBMB_MV_LISTS(1)};
#undef SUBMB_MV_E4
#undef SUBMB_MV_E16
#undef SUBMB_MV_WIDTHS
#undef SUBMB_MV_LISTS


namespace {

// The quadrant's direct motion, spatial or temporal by the slice; spatial
// indices come from the whole macroblock's neighbours, so every direct
// quadrant of the macroblock gets the same ones.
template <bool Mbaff>
void direct_8x8(DecodedPicture** l0, DecodedPicture** l1, MacroblockRecord* mb, uint8_t q) {
  const SliceDecodeContext* s = mb->slice;
  const DirectContext ctx = direct_context(mb, l0, l1, Mbaff);
  if (s->direct_spatial_mv_pred_flag)
    spatial_direct(ctx, mb, 1u << (q & 3));
  else
    temporal_direct(ctx, mb, 1u << (q & 3));
}

}  // namespace

void MotionVectorDerivation_B_Direct_8x8(DecodedPicture** l0, DecodedPicture** l1, MacroblockRecord* mb, uint8_t q) {
  direct_8x8<false>(l0, l1, mb, q);
}
void MotionVectorDerivation_B_Direct_8x8_mbaff(DecodedPicture** l0, DecodedPicture** l1, MacroblockRecord* mb,
                                               uint8_t q) {
  direct_8x8<true>(l0, l1, mb, q);
}
