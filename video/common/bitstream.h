// Bit reader for every syntax element above the entropy-coded macroblock
// layer. The payload holds the RBSP as 32-bit words already put in stream
// order (a little-endian load gives the big-endian stream word), so reads take
// bits from bit 31 downwards without byte swapping. The reader never fails:
// past the payload it raises the sticky `overrun` flag and keeps returning
// bits of the filler word 0x0000FFFF; callers test the flag after a structure.
#pragma once

#include <cstdint>
#include <cstring>

struct BitReaderCabac {
  uint32_t word;         // current 32-bit word
  int32_t bitPos;        // next bit of `word` to read, 31 down to 0
  uint16_t codIRange;    // CABAC engine range (the slice-data layer owns it)
  uint16_t codIOffset;   // CABAC engine offset
  const uint8_t* pWord;  // payload word now in `word`
  uint32_t bytesLeft;    // payload bytes from the start of `word` to the end
  uint32_t overrun;      // set once a read needed a word after the payload
};

struct DecoderState;
struct DecodeTask;
struct SliceDecodeContext;

// What every parsing and entropy-decoding function receives: the reader at
// its head, then the decoder state, the task and its slice context.
struct ReconstructionSteps;
struct ThreadBuffer {
  BitReaderCabac reader;
  DecoderState* decoderState;
  DecodeTask* task;
  SliceDecodeContext* slice;
  // The reconstruction walk that runs alongside the slice's entropy
  // decoding, while there is one (reconstruction.h).
  ReconstructionSteps* steps = nullptr;
};

constexpr uint32_t kBitReaderFiller = 0x0000FFFFu;

inline uint32_t bs_load_word(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);  // little-endian host: the stored order gives the stream word
  return w;
}

// Starts reading a payload of `length` bytes. At least 4 readable bytes must
// follow the last (rounded-up) word of the payload.
inline void bs_init(BitReaderCabac* r, const uint8_t* payload, uint32_t length) {
  r->pWord = payload;
  r->word = bs_load_word(payload);
  r->bitPos = 31;
  r->bytesLeft = length;
  r->overrun = 0;
}

// Moves to the next word. `bytesLeft` counts from the start of the current
// word, so with exactly 4 left the following word is still loaded and the
// overrun is raised one step later: a payload that ends on a word boundary
// can be consumed completely without a false overrun.
inline void bs_advance(BitReaderCabac* r) {
  r->bitPos = 31;
  if (r->bytesLeft >= 4) {
    r->bytesLeft -= 4;
    r->pWord += 4;
    r->word = bs_load_word(r->pWord);
  } else {
    r->bytesLeft = 0;
    r->overrun = 1;
    r->word = kBitReaderFiller;
  }
}

inline uint32_t ReadOneBit(BitReaderCabac* r) {
  uint32_t bit = (r->word >> r->bitPos) & 1u;
  if (--r->bitPos < 0) bs_advance(r);
  return bit;
}

// n from 1 to 32; a field spans at most two words.
inline uint32_t ReadNBits(BitReaderCabac* r, int n) {
  if (r->bitPos + 1 >= n) {
    uint32_t v = (n == 32) ? r->word : (r->word >> (r->bitPos - n + 1)) & ((1u << n) - 1u);
    r->bitPos -= n;
    if (r->bitPos < 0) bs_advance(r);
    return v;
  }
  const int m = n - r->bitPos - 1;  // bits taken from the next word, 1..31
  const uint32_t high = (r->word & ((1u << (r->bitPos + 1)) - 1u)) << m;
  bs_advance(r);
  const uint32_t low = r->word >> (32 - m);
  r->bitPos = 31 - m;
  return high | low;
}

inline uint32_t u_n(BitReaderCabac* r, int n) { return ReadNBits(r, n); }

inline int32_t i_n(BitReaderCabac* r, int n) {
  uint32_t v = ReadNBits(r, n);
  if (n < 32 && (v >> (n - 1)) != 0) v |= ~0u << n;  // sign-extend
  return static_cast<int32_t>(v);
}

// ue(v) of a code word that does not lie within the current word, or that
// has more than 15 leading zeros (out of line).
uint32_t ue_v_long(BitReaderCabac* r);

// ue(v). A code word with more than 31 leading zeros is corrupt: it yields
// 0xFFFFFFFF without reading its suffix. Words of up to 31 bits that lie in
// the current word are read with one bit scan and one shift.
inline uint32_t ue_v(BitReaderCabac* r) {
  const uint32_t rest = r->word << (31 - r->bitPos);  // unread bits, left-aligned
  if (rest >= 0x10000u) {
    const int zeros = __builtin_clz(rest);
    const int length = 2 * zeros + 1;
    if (length <= r->bitPos + 1) {
      r->bitPos -= length;
      if (r->bitPos < 0) bs_advance(r);
      return (rest >> (32 - length)) - 1u;
    }
  }
  return ue_v_long(r);
}

inline int32_t se_v(BitReaderCabac* r) {
  const uint32_t k = ue_v(r);
  if (k & 1u) return static_cast<int32_t>((k >> 1) + 1u);
  return -static_cast<int32_t>(k >> 1);
}

inline uint32_t te_v(BitReaderCabac* r, uint32_t range) {
  if (range >= 2) return ue_v(r);
  return 1u - ReadOneBit(r);
}

inline uint32_t byte_aligned(const BitReaderCabac* r) { return (r->bitPos & 7) == 7 ? 1u : 0u; }

// 1 while RBSP data remain (the reader is untouched); 0 at the trailing bits,
// which are then consumed up to the end of the payload.
uint32_t more_rbsp_data(BitReaderCabac* r);

// Reads up to the next byte boundary.
inline void bs_align(BitReaderCabac* r) {
  while (!byte_aligned(r)) ReadOneBit(r);
}

// Skips `bits` bits; a skip past the payload ends at the overrun.
void bs_skip_bits(BitReaderCabac* r, uint64_t bits);
