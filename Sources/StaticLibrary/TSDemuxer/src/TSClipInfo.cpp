// EP map (entry points) of a clip-information file image.
//
// Each fine entry holds the low bits of an entry point's PTS and source
// packet number; the coarse entry that refers to it supplies the high bits.
// Every offset and count read from the image is checked against its size.
#include "TSDemuxer.h"
#include "TSPacketLayout.h"

#include <cstdlib>

namespace {

using tsdemux::read_be32;

// True when [offset, offset + length) lies inside the image.
bool inside(uint64_t offset, uint64_t length, int32_t size) { return offset + length <= uint64_t(size); }

// Picture width from the extension data, or 0 when there is none or it lies
// outside the image.
uint32_t clip_width(const uint8_t* clpi, int32_t size) {
  uint64_t ext = read_be32(clpi + 24);
  if (!inside(ext, 8, size)) return 0;
  if (int32_t(read_be32(clpi + ext)) <= 0) return 0;
  uint64_t block = ext + read_be32(clpi + ext + 4);
  if (!inside(block, 12, size)) return 0;
  uint64_t where = block + read_be32(clpi + block + 8) + 12;
  if (!inside(where, 1, size)) return 0;
  static const uint32_t kWidths[5] = {0, 1920, 1440, 1280, 720};
  uint8_t code = clpi[where];
  return code < 5 ? kWidths[code] : 0;
}

}  // namespace

int32_t TSDemuxParseCPILib(const uint8_t* clpi, int32_t size, int32_t maxEntries, EPMapEntry* out,
                           uint32_t* count, uint32_t* sourcePackets, uint32_t* clipWidth) {
  if (clpi == nullptr) return kCPINoClip;
  if (out == nullptr) return kCPINoOutput;
  if (size < 1) return kCPIBadSize;
  if (maxEntries < 1) return kCPIBadMaxEntries;
  if (clipWidth != nullptr) *clipWidth = 0;
  if (!inside(0, 60, size)) return kCPIOutsideFile;
  if (clipWidth != nullptr) *clipWidth = clip_width(clpi, size);
  if (sourcePackets != nullptr) *sourcePackets = read_be32(clpi + 56);

  // EP map of the first stream PID.
  uint64_t cpi = read_be32(clpi + 16);
  if (!inside(cpi, 20, size)) return kCPIOutsideFile;
  const uint8_t* e = clpi + cpi;
  uint32_t coarseCount = (uint32_t(e[11] & 3) << 14) | (uint32_t(e[12]) << 6) | (e[13] >> 2);
  uint32_t fineCount = (uint32_t(e[13] & 3) << 16) | (uint32_t(e[14]) << 8) | e[15];
  uint64_t map = cpi + 6 + read_be32(e + 16);
  if (!inside(map, 4, size)) return kCPIOutsideFile;
  uint64_t coarse = map + 4;
  uint64_t fine = map + read_be32(clpi + map);
  if (!inside(coarse, 8ull * coarseCount, size) || !inside(fine, 4ull * fineCount, size))
    return kCPIOutsideFile;

  if (fineCount > uint32_t(maxEntries)) return kCPITooManyEntries;
  if (count != nullptr) *count = fineCount;
  if (fineCount == 0) return kCPIOk;

  // For each fine entry, the last coarse entry that refers to it (-1: none).
  auto* coarseOf = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * fineCount));
  if (coarseOf == nullptr) return kCPINoMemory;
  for (uint32_t j = 0; j < fineCount; ++j) coarseOf[j] = -1;
  for (uint32_t i = 0; i < coarseCount; ++i) {
    uint32_t ref = read_be32(clpi + coarse + 8ull * i) >> 14;
    if (ref < fineCount) coarseOf[ref] = int32_t(i);
  }

  uint64_t ptsHigh = 0;  // from the coarse entry in force
  int64_t spnBase = 0;   // coarse packet number less the fine part of its entry
  for (uint32_t j = 0; j < fineCount; ++j) {
    uint32_t f = read_be32(clpi + fine + 4ull * j);
    uint32_t ptsFine = (f >> 17) & 0x7FF;
    uint32_t spnFine = f & 0x1FFFF;
    if (coarseOf[j] >= 0) {
      const uint8_t* c = clpi + coarse + 8ull * uint32_t(coarseOf[j]);
      uint32_t ptsCoarse = read_be32(c) & 0x3FFF;
      ptsHigh = uint64_t(ptsCoarse & ~1u) << 19;
      spnBase = int64_t(read_be32(c + 4)) - int64_t(spnFine);
    }
    out[j].PTS = ptsHigh | (uint64_t(ptsFine) << 9);
    out[j].byteOffset = uint64_t(192 * (spnBase + int64_t(spnFine)));
  }
  std::free(coarseOf);
  return kCPIOk;
}
