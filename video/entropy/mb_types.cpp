// The standard's mb_type and sub_mb_type values mapped to the program's own
// codes (see mb_record.h).
#include "mb_record.h"

namespace {

// I mb_type v is code 64 + v, I_PCM (25) is 95.
constexpr uint8_t intra_code(int v) { return static_cast<uint8_t>(v == 25 ? int{MbI_PCM} : MbI_NxN + v); }

}  // namespace

const uint8_t kPMbTypeCodes[31] = {
    MbL0_16x16, MbL0_L0_16x8, MbL0_L0_8x16, Mb8x8, MbP_8x8ref0,
    intra_code(0), intra_code(1), intra_code(2), intra_code(3), intra_code(4), intra_code(5), intra_code(6),
    intra_code(7), intra_code(8), intra_code(9), intra_code(10), intra_code(11), intra_code(12), intra_code(13),
    intra_code(14), intra_code(15), intra_code(16), intra_code(17), intra_code(18), intra_code(19),
    intra_code(20), intra_code(21), intra_code(22), intra_code(23), intra_code(24), intra_code(25),
};

const uint8_t kBMbTypeCodes[49] = {
    MbB_Direct_16x16, 20, 40, 60, 21, 22, 41, 42, 25, 26, 37, 38, 29, 30, 45, 46, 53, 54, 57, 58, 61, 62, Mb8x8,
    intra_code(0), intra_code(1), intra_code(2), intra_code(3), intra_code(4), intra_code(5), intra_code(6),
    intra_code(7), intra_code(8), intra_code(9), intra_code(10), intra_code(11), intra_code(12), intra_code(13),
    intra_code(14), intra_code(15), intra_code(16), intra_code(17), intra_code(18), intra_code(19),
    intra_code(20), intra_code(21), intra_code(22), intra_code(23), intra_code(24), intra_code(25),
};

const uint8_t kPSubMbTypeCodes[4] = {9, 42, 74, 108};
const uint8_t kBSubMbTypeCodes[13] = {SubMbB_Direct_8x8, 9, 17, 25, 42, 74, 50, 82, 58, 90, 108, 116, 124};
