// Intra prediction tables: the plain reference's, the four-slot choice among
// the vector variants, and the mode dispatchers the macroblock
// reconstruction calls.
#include "intra_prediction.h"

namespace {

constexpr IntraPredictionDsp reference_table() {
  IntraPredictionDsp t{};
#define INTRA_REFERENCE_ENTRY(name, table, mode) t.table[mode] = &c_##name;
  INTRA_PREDICTORS(INTRA_REFERENCE_ENTRY)
#undef INTRA_REFERENCE_ENTRY
#define INTRA_REFERENCE_ADDER(name, slot) t.slot = &c_##name;
  INTRA_ADDERS(INTRA_REFERENCE_ADDER)
#undef INTRA_REFERENCE_ADDER
  return t;
}

// Bit 0: the mode reads the left side; bit 1: it reads the upper side.
enum : uint8_t { kNone = 0, kLeft = 1, kTop = 2, kBoth = 3 };
const uint8_t kSides4x4And8x8[9] = {kTop, kLeft, kNone, kTop, kBoth, kBoth, kBoth, kTop, kLeft};
const uint8_t kSides16x16[4] = {kTop, kLeft, kNone, kBoth};
const uint8_t kSidesChroma[4] = {kNone, kLeft, kTop, kBoth};

// The table entry for mode, or the DC entry when the mode is out of range or
// needs a side that is absent.
IntraPredictor choose(const IntraPredictor* table, const uint8_t* sides, unsigned count, unsigned dcMode,
                      const uint8_t* left, const uint8_t* top, uint8_t mode) {
  if (mode >= count) return table[dcMode];
  const uint8_t need = sides[mode];
  if (((need & kLeft) && !left) || ((need & kTop) && !top)) return table[dcMode];
  return table[mode];
}

}  // namespace

const IntraPredictionDsp c_intra_prediction_dsp = reference_table();

VIDEO_DSP_DEFINE_SELECTION(IntraPredictionDsp, intra_prediction_dsp)

void create_prediction_4x4_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode) {
  choose(intra_prediction_dsp().fp_intra_prediction.size4x4, kSides4x4And8x8, 9, 2, left, top, mode)(pred, left, top);
}

void create_prediction_8x8_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode) {
  choose(intra_prediction_dsp().fp_intra_prediction.size8x8, kSides4x4And8x8, 9, 2, left, top, mode)(pred, left, top);
}

void create_prediction_16x16_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode) {
  choose(intra_prediction_dsp().fp_intra_prediction.size16x16, kSides16x16, 4, 2, left, top, mode)(pred, left, top);
}

void create_prediction_chroma_8bit(uint8_t* pred, const uint8_t* left, const uint8_t* top, uint8_t mode) {
  choose(intra_prediction_dsp().fp_intra_chroma_prediction, kSidesChroma, 4, 0, left, top, mode)(pred, left, top);
}
