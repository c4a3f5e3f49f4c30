// libFuzzer target over CAVLC slice data: the first bytes choose the
// slice's set-up (type, picture size, MBAFF, field picture, QP, transform
// and reference settings, where the slice starts), the rest is the slice
// data, decoded over a small picture with the residual decoders and
// transforms.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cavlc_tables.h"
#include "slice_data.h"
#include "slice_fuzz_setup.h"

namespace {

struct Setup : slicefuzz::LevelScales {
  Setup() { AllocateCAVLCTables(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  if (size < 6) return 0;
  slicefuzz::Slice slice(data, setup);
  const uint8_t f = data[5];
  data += 6;
  size -= 6;
  SliceDataState& s = slice.s;
  s.QPY = f % 52;
  uint32_t first = (f >> 6) % slice.count;
  if (slice.mbaff) first &= ~1u;
  slice.start_at(first);

  // The payload as the bit reader stores it (words in reading order) with
  // the readable word that follows it.
  std::vector<uint32_t> words((size + 3) / 4 + 2, 0);
  for (size_t i = 0; i < size; ++i) words[i / 4] |= uint32_t{data[i]} << (24 - 8 * (i % 4));
  BitReaderCabac r;
  bs_init(&r, reinterpret_cast<const uint8_t*>(words.data()), static_cast<uint32_t>(size));
  decode_slice_data_cavlc(&r, &s);
  return 0;
}
