// libFuzzer target: the Annex B parser fed a buffer whole and in pieces whose
// sizes come from the input must deliver the same NAL units.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "annexb.h"
#include "decoder_state.h"

namespace {

struct Unit {
  uint32_t type;
  uint8_t refIdc;
  std::vector<uint8_t> bytes;
};

std::vector<Unit> parse(const uint8_t* data, size_t size, const uint8_t* cuts, size_t cutCount) {
  std::vector<Unit> units;
  const uint32_t bytes = nal_payload_allocation(static_cast<uint32_t>(size));
  uint8_t* payload = static_cast<uint8_t*>(std::calloc(1, bytes));
  NalUnit nal{};
  nal.payload = payload;
  nal.capacity = bytes - 4;
  DecoderState ds;
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  size_t pos = 0;
  size_t cut = 0;
  while (pos < size) {
    size_t n = cutCount ? 1u + cuts[cut++ % cutCount] % 16u : size;
    if (n > size - pos) n = size - pos;
    ds.parseReadPtr = data + pos;
    ds.parseBytesLeft = static_cast<int32_t>(n);
    pos += n;
    ds.wholeNalUnits = pos == size;
    while (ByteStreamParser_AnnexB(&ds, &nal) == kAnnexBUnitReady) {
      Unit u{nal.nal_unit_type, nal.nal_ref_idc, {}};
      for (uint32_t k = 0; k < nal.length; ++k) u.bytes.push_back(nal.payload[rbsp_byte_offset(k)]);
      units.push_back(std::move(u));
    }
  }
  std::free(payload);
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 16)) return 0;
  // The first byte says how many of the following bytes give piece sizes.
  const size_t cutCount = data[0] % 8u < size - 1 ? data[0] % 8u : size - 1;
  const uint8_t* cuts = data + 1;
  const uint8_t* stream = data + 1 + cutCount;
  const size_t streamSize = size - 1 - cutCount;
  const auto whole = parse(stream, streamSize, nullptr, 0);
  const auto pieces = parse(stream, streamSize, cuts, cutCount);
  if (whole.size() != pieces.size()) std::abort();
  for (size_t i = 0; i < whole.size(); ++i) {
    if (whole[i].type != pieces[i].type || whole[i].refIdc != pieces[i].refIdc || whole[i].bytes != pieces[i].bytes) {
      std::abort();
    }
  }
  return 0;
}
