// The table of stages the engine runs, and the table new instances take.
#include <atomic>

#include "decoder_engine.h"

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
};

namespace {

std::atomic<const DecoderStages*> installed{&kDecoderStages};

}  // namespace

void set_decoder_stages(const DecoderStages* stages) {
  installed.store(stages ? stages : &kDecoderStages, std::memory_order_release);
}

const DecoderStages* decoder_stages() { return installed.load(std::memory_order_acquire); }
