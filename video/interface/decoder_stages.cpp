// The table of stages the engine runs, and the table new instances take.
#include <atomic>

#include "decoder_engine.h"
#include "reconstruction.h"

namespace {

// Row-wise deblocking through the pass of the whole-picture filter. A row's
// margins are refreshed once the row below it is filtered (the filter of
// that row's top edge reaches into it); its lines are final once the row
// below is refreshed too (the refresh copies lines of the row above).
template <bool kMbaff>
uint32_t deblock_rows_of(DecodedPicture* p, DeblockPass* pass, uint32_t first, uint32_t end) {
  const uint32_t perRow = (kMbaff ? 2u : 1u) * p->widthInMbs;
  const uint32_t rows = perRow ? p->mbCount / perRow : 0;
  if (end > first) {
    if (first == 0) deblock_pass_start(pass, p, kMbaff);
    const uint32_t to = end >= rows ? p->mbCount : end * perRow;
    const uint32_t refreshFrom = first > 0 ? first - 1 : 0;
    const uint32_t refreshTo = end >= rows ? rows : end - 1;
    if (kMbaff) {
      deblock_pass_run_mbaff(p, pass, to);
      refresh_deblocked_rows_mbaff(p, refreshFrom, refreshTo);
    } else {
      deblock_pass_run(p, pass, to);
      refresh_deblocked_rows(p, refreshFrom, refreshTo);
    }
  }
  if (end >= rows) return rows;
  return end > 2 ? end - 2 : 0;
}

}  // namespace

uint32_t deblock_rows(DecodedPicture* p, DeblockPass* pass, uint32_t first, uint32_t end) {
  return deblock_rows_of<false>(p, pass, first, end);
}

uint32_t deblock_rows_mbaff(DecodedPicture* p, DeblockPass* pass, uint32_t first, uint32_t end) {
  return deblock_rows_of<true>(p, pass, first, end);
}

const DecoderStages kDecoderStages = {
    binari_decode_i_unit,
    binari_decode_p_unit,
    binari_decode_b_unit,
    predict_and_combine_I_unit_8bit,
    predict_and_combine_I_unit_8bit_luma_mbaff,
    predict_and_combine_P_unit_8bit_luma,
    predict_and_combine_P_unit_8bit_luma_mbaff,
    predict_and_combine_B_unit_8bit_luma,
    predict_and_combine_B_unit_8bit_luma_mbaff,
    DeblockingFilter,
    DeblockingFilter_mbaff,
    deblock_rows,
    deblock_rows_mbaff,
};

namespace {

std::atomic<const DecoderStages*> installed{&kDecoderStages};

}  // namespace

void set_decoder_stages(const DecoderStages* stages) {
  installed.store(stages ? stages : &kDecoderStages, std::memory_order_release);
}

const DecoderStages* decoder_stages() { return installed.load(std::memory_order_acquire); }
