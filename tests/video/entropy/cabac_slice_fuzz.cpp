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
#include "slice_fuzz_setup.h"
#include "transforms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const slicefuzz::LevelScales scales;
  if (size < 6) return 0;
  slicefuzz::Slice slice(data, scales);
  const uint8_t d = data[3], e = data[4], f = data[5];
  data += 6;
  size -= 6;
  SliceDataState& s = slice.s;
  const uint32_t count = slice.count;
  const int8_t sliceQp = static_cast<int8_t>(f % 52);
  s.QPY = sliceQp;
  slice.start_at(slice.mbaff ? 2 * ((e >> 5) % ((count + 1) / 2)) : (e >> 5) % count);

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
  return 0;
}
