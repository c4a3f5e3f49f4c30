// Out-of-line parts of the bit reader: long ue(v) codes, the trailing-bits
// test and long skips.
#include "bitstream.h"

namespace {

// Bytes of the current word already consumed, compared with bytesLeft to find
// the end of the payload.
inline uint32_t consumed_bytes(const BitReaderCabac* r) {
  return static_cast<uint32_t>(31 - r->bitPos) >> 3;
}

}  // namespace

uint32_t more_rbsp_data(BitReaderCabac* r) {
  // A 0 next, or two 1 bits in what follows within the payload: whichever
  // is the stop bit, data remain (the usual case between macroblocks). The
  // unread bits of the current word and the whole next word are looked at.
  const uint32_t rest = r->word << (31 - r->bitPos);  // unread bits, left-aligned
  if ((rest >> 31) == 0) return 1;
  if (r->bytesLeft >= 4 && (rest & (rest - 1)) != 0) return 1;
  if (r->bytesLeft >= 8 && bs_load_word(r->pWord + 4) != 0) return 1;
  BitReaderCabac probe = *r;
  if (ReadOneBit(&probe) == 0) return 1;
  while (!byte_aligned(&probe)) {
    if (ReadOneBit(&probe) != 0) return 1;
  }
  while (consumed_bytes(&probe) != probe.bytesLeft) {
    if (ReadNBits(&probe, 8) != 0) return 1;
  }
  // Only rbsp_trailing_bits remain: consume them on the real reader.
  ReadOneBit(r);
  bs_align(r);
  while (consumed_bytes(r) != r->bytesLeft) ReadNBits(r, 8);
  return 0;
}

uint32_t ue_v_long(BitReaderCabac* r) {
  uint32_t zeros = 0;
  for (;;) {
    const uint32_t rest = r->word << (31 - r->bitPos);  // unread bits, left-aligned
    if (rest != 0) {
      const int lz = __builtin_clz(rest);
      zeros += static_cast<uint32_t>(lz);
      r->bitPos -= lz + 1;
      if (r->bitPos < 0) bs_advance(r);
      break;
    }
    zeros += static_cast<uint32_t>(r->bitPos) + 1;
    bs_advance(r);
  }
  if (zeros == 0) return 0;
  if (zeros > 31) return 0xFFFFFFFFu;
  return ((1u << zeros) - 1u) + ReadNBits(r, static_cast<int>(zeros));
}

void bs_skip_bits(BitReaderCabac* r, uint64_t bits) {
  while (bits > 0 && !r->overrun) {
    const int n = bits >= 32 ? 32 : static_cast<int>(bits);
    ReadNBits(r, n);
    bits -= static_cast<uint64_t>(n);
  }
  // Past the payload every word is the filler: the rest need not be walked.
  if (bits > 0) {
    const uint64_t inWord = bits % 32;
    if (inWord > 0) ReadNBits(r, static_cast<int>(inWord));
  }
}
