// libFuzzer target over CABAC slice data: the first bytes choose the slice's
// set-up (type, picture size, MBAFF or field picture, QPs, cabac_init_idc,
// transform and reference settings, where the slice starts), the rest is
// the slice data, decoded over a small picture with the residual decoders
// and transforms.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cabac_slice.h"
#include "transforms.h"

namespace {

struct Setup {
  Setup() {
    uint8_t w4[6][16], w8[2][64];
    for (int t = 0; t < 6; ++t)
      for (int i = 0; i < 16; ++i) w4[t][i] = static_cast<uint8_t>(4 + (t * 37 + i * 11) % 250);
    for (int t = 0; t < 2; ++t)
      for (int i = 0; i < 64; ++i) w8[t][i] = static_cast<uint8_t>(4 + (t * 53 + i * 7) % 250);
    build_level_scale(w4, w8, ls4, ls8);
  }
  int32_t ls4[6][6][16];
  int32_t ls8[2][6][64];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  if (size < 6) return 0;
  const uint8_t a = data[0], b = data[1], c = data[2], d = data[3], e = data[4], f = data[5];
  data += 6;
  size -= 6;
  const uint32_t width = 1 + (a & 7);
  const bool mbaff = (a & 8) != 0;
  const uint32_t height = (1 + ((a >> 4) & 7)) * (mbaff ? 2 : 1);
  const uint32_t count = width * height;
  MacroblockRecord* records =
      static_cast<MacroblockRecord*>(std::aligned_alloc(16, sizeof(MacroblockRecord) * count));
  std::memset(records, 0, sizeof(MacroblockRecord) * count);

  SliceDataState s{};
  s.records = records;
  s.widthInMbs = width;
  s.mbCount = count;
  s.structure = mbaff ? 2 : static_cast<uint8_t>((a >> 7) ? 2 : (b & 1));
  s.chroma_format_idc = (b & 2) ? 0 : 1;
  s.sliceType = static_cast<uint8_t>(b >> 6) % 3;
  s.MbaffFrameFlag = mbaff;
  s.constrained_intra_pred_flag = (b >> 2) & 1;
  s.transform_8x8_mode_flag = (b >> 3) & 1;
  s.direct_8x8_inference_flag = (b >> 4) & 1;
  s.num_ref_idx_l0_active_minus1 = c & 15;
  s.num_ref_idx_l1_active_minus1 = c >> 4;
  s.chroma_qp_index_offset = static_cast<int8_t>(static_cast<int>(d % 25) - 12);
  s.second_chroma_qp_index_offset = static_cast<int8_t>(static_cast<int>(e % 25) - 12);
  const int8_t sliceQp = static_cast<int8_t>(f % 52);
  s.QPY = sliceQp;
  s.ls4x4 = setup.ls4;
  s.ls8x8 = setup.ls8;
  const uint32_t first = mbaff ? 2 * ((e >> 5) % ((count + 1) / 2)) : (e >> 5) % count;
  s.firstMbAddr = first;
  s.CurrMbAddr = first;
  s.firstMb = s.currentMb = records + first;

  CabacContext contexts[kCabacContextCount];
  const uint8_t idc = static_cast<uint8_t>((d >> 5) % 3);
  if (s.sliceType == 2)
    cabac_init_contexts_i_slice(sliceQp, contexts);
  else if (s.sliceType == 0)
    cabac_init_contexts_p_slice(sliceQp, contexts, idc);
  else
    cabac_init_contexts_b_slice(sliceQp, contexts, idc);

  // The payload in the reader's word order, with the spare words it may
  // load past the end.
  std::vector<uint8_t> words((size + 3) / 4 * 4 + 8, 0);
  for (size_t i = 0; i < size; ++i) words[(i & ~size_t{3}) + 3 - (i & 3)] = data[i];
  ThreadBuffer tb{};
  bs_init(&tb.reader, words.data(), static_cast<uint32_t>(size));
  decode_slice_data_cabac(&tb, &s, contexts);
  std::free(records);
  return 0;
}
