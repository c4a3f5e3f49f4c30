// CABAC arithmetic decoding engine and the slice's context variables.
//
// The engine state (codIRange, codIOffset) lives in the BitReaderCabac at the
// head of the ThreadBuffer and takes its bits from the same reader, so the
// reader's refill and overrun rules bound every read: past the payload the
// engine keeps decoding from the filler word and never touches memory beyond
// the buffer.
//
// A slice owns 436 context variables in this program's own index map (the
// kCtx* constants below give the first context of each syntax element); each
// element decoder is handed a pointer to its group and adds its increment.
#pragma once

#include <cstdint>
#include <cstring>

#include "bitstream.h"
#include "decoder_engine.h"  // CabacContext, kCabacContextCount

// First context of each group in the slice's array.
enum : uint32_t {
  kCtxMbSkip = 0,           // 3
  kCtxMbField = 3,          // 3
  kCtxMbType = 6,           // 9 (I 8, P 7, B 9)
  kCtxTransform8x8 = 15,    // 3
  kCtxCbpLuma = 18,         // 4
  kCtxCbpChroma = 22,       // 8
  kCtxMbQpDelta = 30,       // 4
  kCtxPrevIntraMode = 34,   // 1
  kCtxRemIntraMode = 35,    // 1
  kCtxIntraChroma = 36,     // 4
  kCtxSubMbType = 40,       // 4 (P 3, B 4)
  kCtxSig8x8Field = 44,     // 15
  kCtxLast8x8Field = 59,    // 9
  kCtxLevel8x8 = 68,        // 10
  kCtxSigField = 78,        // 61
  kCtxLastField = 139,      // 61
  kCtxSig8x8Frame = 200,    // 15
  kCtxLast8x8Frame = 215,   // 9
  kCtxCodedBlockFlag = 224, // 20
  kCtxSigFrame = 244,       // 61
  kCtxLastFrame = 305,      // 61
  kCtxLevel = 366,          // 49
  kCtxRefIdx = 415,         // 6
  kCtxUnused = 421,         // 1
  kCtxMvdX = 422,           // 7
  kCtxMvdY = 429,           // 7
};

extern const uint8_t rangeTabLPS[64][4];
extern const uint8_t transIdxLPS[64];
// A context read as one 16-bit key, pStateIdx | valMPS << 8 (the two bytes
// in memory order on this little-endian host), and the key that follows an
// MPS [key][0] or an LPS [key][1].
static_assert(sizeof(CabacContext) == 2, "a context is two bytes");
constexpr uint32_t kCabacKeyCount = 64 | 1 << 8;
struct CabacNextKeys {
  uint16_t v[kCabacKeyCount][2];
};
extern const CabacNextKeys kCabacNextKey;
// rangeTabLPS by key and codIRange >> 6 (4..7 for a range of 256..510).
struct CabacLpsRanges {
  uint8_t v[kCabacKeyCount][8];
};
extern const CabacLpsRanges kCabacLpsRange;
extern const uint8_t BinShiftTbl[256];

// Starts the engine: codIRange = 510, codIOffset = the next nine bits.
int32_t cabac_initialize_engine(ThreadBuffer* tb);
uint32_t cabac_DecodeDecision(ThreadBuffer* tb, CabacContext* ctx);
uint32_t cabac_DecodeTerminate(ThreadBuffer* tb);

// Context initialisation for one slice, from SliceQPY (clipped to 0..51).
void cabac_init_contexts_i_slice(int8_t SliceQPY, CabacContext* contexts);
void cabac_init_contexts_p_slice(int8_t SliceQPY, CabacContext* contexts, uint8_t cabac_init_idc);
void cabac_init_contexts_b_slice(int8_t SliceQPY, CabacContext* contexts, uint8_t cabac_init_idc);
// Initialises `count` consecutive contexts from `count` (m, n) pairs.
void cabac_initialize_context(int8_t SliceQPY, const int8_t (*mn)[2], CabacContext* first, int32_t count);

// The engine held in registers across a run of bins. `value` carries
// codIOffset in bits 62..54 (bit 63 spare, for the bypass doubling) followed
// by the unread bits of the reader's current word; `bits` counts those
// (1..32, the reader's bitPos + 1). Renormalisation shifts `value` and takes
// the next word when the current one runs out, exactly where the bit reader
// itself would advance, so the reader's refill and overrun rules hold bin for
// bin. store() puts range, offset and bit position back into the reader.
struct CabacLocal {
  uint64_t value;
  uint32_t range;
  int32_t bits;
  BitReaderCabac* r;

  __attribute__((always_inline)) explicit CabacLocal(BitReaderCabac* reader) : r(reader) {
    range = reader->codIRange;
    bits = reader->bitPos + 1;
    const uint32_t unread = reader->word << (31 - reader->bitPos);  // left-aligned
    value = (static_cast<uint64_t>(reader->codIOffset) << 54) | (static_cast<uint64_t>(unread) << 22);
  }

  __attribute__((always_inline)) void store() const {
    r->codIRange = static_cast<uint16_t>(range);
    r->codIOffset = static_cast<uint16_t>(value >> 54);
    r->bitPos = bits - 1;
  }

  // Shifts in `s` bits (0..8).
  __attribute__((always_inline)) void renorm(int s) {
    if (__builtin_expect(s >= bits, 0)) {
      bs_advance(r);
      value |= static_cast<uint64_t>(r->word) << (22 - bits);
      bits += 32;
    }
    value <<= s;
    bits -= s;
  }

  // Without branches on the bin: the MPS case is a mask from the sign of
  // offset - range (bit 63 of `value` is spare, so the difference is
  // negative exactly when the offset is below the MPS range), and the
  // context moves through one table as a 16-bit key.
  __attribute__((always_inline)) uint32_t decision(CabacContext* ctx) {
    uint16_t key;
    std::memcpy(&key, ctx, 2);
    const uint32_t lps = kCabacLpsRange.v[key][range >> 6];
    const uint32_t mpsRange = range - lps;
    const uint64_t scaled = static_cast<uint64_t>(mpsRange) << 54;
    const uint64_t diff = value - scaled;
    const uint64_t mps = static_cast<uint64_t>(static_cast<int64_t>(diff) >> 63);  // all ones: MPS
    value = diff + (scaled & mps);
    range = lps + ((mpsRange - lps) & static_cast<uint32_t>(mps));
    const uint32_t isLps = static_cast<uint32_t>(mps) + 1u;
    std::memcpy(ctx, &kCabacNextKey.v[key][isLps], 2);
    const int s = __builtin_clz(range) - 23;  // doublings back to 256..510
    range <<= s;
    renorm(s);
    return (static_cast<uint32_t>(key) >> 8) ^ isLps;
  }

  __attribute__((always_inline)) uint32_t bypass() { return static_cast<uint32_t>(bypass_mask()) & 1u; }

  // A bypass bin as a mask, all ones for a 1 (the sign of the difference
  // as in decision()).
  __attribute__((always_inline)) int32_t bypass_mask() {
    renorm(1);
    const uint64_t scaled = static_cast<uint64_t>(range) << 54;
    const uint64_t diff = value - scaled;
    const uint64_t zero = static_cast<uint64_t>(static_cast<int64_t>(diff) >> 63);  // all ones: bin 0
    value = diff + (scaled & zero);
    return ~static_cast<int32_t>(zero);
  }

  // `v` negated when the next bypass bin is 1, without a branch on the bin.
  __attribute__((always_inline)) int32_t bypass_sign(int32_t v) {
    const int32_t m = bypass_mask();
    return (v ^ m) - m;
  }

  // The terminate bin; a 1 leaves the range reduced and unnormalised.
  __attribute__((always_inline)) uint32_t terminate() {
    range -= 2;
    const uint64_t scaled = static_cast<uint64_t>(range) << 54;
    if (value >= scaled) return 1;
    if (range < 256) {
      range <<= 1;
      renorm(1);
    }
    return 0;
  }
};

// An engine in registers for one syntax element's bins, stored back into the
// reader when it goes out of scope.
struct CabacScope : CabacLocal {
  using CabacLocal::CabacLocal;
  CabacScope(const CabacScope&) = delete;
  CabacScope& operator=(const CabacScope&) = delete;
  __attribute__((always_inline)) ~CabacScope() { store(); }
};

// Single bins straight on the reader.
__attribute__((always_inline)) inline uint32_t cabac_decision(BitReaderCabac* r, CabacContext* ctx) {
  CabacLocal e(r);
  const uint32_t bin = e.decision(ctx);
  e.store();
  return bin;
}

__attribute__((always_inline)) inline uint32_t cabac_bypass(BitReaderCabac* r) {
  CabacLocal e(r);
  const uint32_t bin = e.bypass();
  e.store();
  return bin;
}

__attribute__((always_inline)) inline uint32_t cabac_terminate(BitReaderCabac* r) {
  CabacLocal e(r);
  const uint32_t bin = e.terminate();
  e.store();
  return bin;
}
