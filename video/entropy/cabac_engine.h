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
#include "decoder_records.h"  // CabacContext, kCabacContextCount

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
// in memory order on this little-endian host).
static_assert(sizeof(CabacContext) == 2, "a context is two bytes");
constexpr uint32_t kCabacKeyCount = 64 | 1 << 8;
// What a decision reads for one context key, in one 8-byte row loaded as
// soon as the key is known: the LPS ranges (rangeTabLPS) by qCodIRangeIdx in
// bytes 0..3 and the doublings that renormalise them (BinShiftTbl of the
// range) in bytes 4..7. The range then picks its byte by a shift in
// registers instead of a load that waits for it.
struct CabacLpsRow {
  uint8_t v[8];
};
// The tables of a decision in one object, so that one base register reaches
// both: the LPS rows by key, and the key that follows an MPS [key][0] or an
// LPS [key][1].
struct CabacEngineTables {
  CabacLpsRow row[kCabacKeyCount];
  uint16_t next[kCabacKeyCount][2];
};
extern const CabacEngineTables kCabacTables;
extern const uint8_t BinShiftTbl[256];

// Starts the engine: codIRange = 510, codIOffset = the next nine bits.
int32_t cabac_initialize_engine(ThreadBuffer* tb);

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

  // *diff = a - b, and all ones when that borrows (a < b): the subtraction's
  // carry turned into a mask without a branch.
  __attribute__((always_inline)) static uint64_t borrow_mask(uint64_t a, uint64_t b, uint64_t* diff) {
    return -static_cast<uint64_t>(__builtin_sub_overflow(a, b, diff));
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

  // A decision on a context held in a register as its 16-bit key (see
  // load_key), for runs of bins on one context: both following keys are
  // read with the row, so the next bin's row load waits only for the choice,
  // not for a table lookup behind it.
  __attribute__((always_inline)) uint32_t decision_held(uint32_t& key) { return step<true>(key, nullptr); }

  __attribute__((always_inline)) static uint32_t load_key(const CabacContext* ctx) {
    uint16_t key16;
    std::memcpy(&key16, ctx, 2);
    return key16;
  }
  __attribute__((always_inline)) static void store_key(CabacContext* ctx, uint32_t key) {
    const uint16_t key16 = static_cast<uint16_t>(key);
    std::memcpy(ctx, &key16, 2);
  }

  // One decision on context key `key`; returns the bin. Without branches on
  // the bin: the MPS case is the borrow of offset - range as a mask. Both
  // outcomes' shift counts are ready before the choice (the LPS one from the
  // table, the MPS one a doubling below 256), so the mask only selects and
  // no lookup waits for the new range; the context moves through one table
  // as a 16-bit key. kHeld: `key` is
  // replaced by its successor, taken from the pair read up front (a shorter
  // chain when the same key decides again next); otherwise the successor is
  // looked up after the choice (fewer instructions) and stored to `ctx`.
  template <bool kHeld>
  __attribute__((always_inline)) uint32_t step(uint32_t& key, CabacContext* ctx) {
    uint32_t pair = 0;
    if constexpr (kHeld) std::memcpy(&pair, kCabacTables.next[key], 4);  // MPS successor low, LPS successor high
    return step_on<kHeld>(key, row_of(key), pair, ctx);
  }

  // The range row of a context, to be read ahead of a branch: after a
  // mispredicted branch the decision behind it starts with its row at hand.
  __attribute__((always_inline)) static uint64_t row_of(uint32_t key) {
    uint64_t row;
    std::memcpy(&row, kCabacTables.row[key].v, 8);
    return row;
  }
  // A decision on `ctx` whose row was read ahead.
  __attribute__((always_inline)) uint32_t decision_row(CabacContext* ctx, uint64_t row) {
    uint32_t key = load_key(ctx);
    return step_on<false>(key, row, 0, ctx);
  }

  template <bool kHeld>
  __attribute__((always_inline)) uint32_t step_on(uint32_t& key, uint64_t row, uint32_t pair, CabacContext* ctx) {
    const CabacEngineTables& t = kCabacTables;
    const uint64_t picked = row >> ((range >> 3) & 24);       // qCodIRangeIdx selects a byte
    const uint32_t lps = static_cast<uint8_t>(picked);
    const uint32_t lpsShift = static_cast<uint8_t>(picked >> 32);
    const uint32_t mpsRange = range - lps;
    // The choice compares the offset alone (ready before the range): a
    // shorter chain than the borrow of the whole value, which would wait for
    // the scaled range. The new value is the difference with the scaled
    // range or the value itself.
    uint64_t unused;
    const uint64_t mps = borrow_mask(value >> 54, mpsRange, &unused);  // all ones: MPS
    const uint32_t mps32 = static_cast<uint32_t>(mps);
    const uint64_t scaled = static_cast<uint64_t>(mpsRange) << 54;
    const uint64_t diff = value - scaled;
    const uint32_t mpsShift = (mpsRange - 256u) >> 31;  // below 256: one doubling suffices after an MPS
    const int s = static_cast<int>(lpsShift ^ ((lpsShift ^ mpsShift) & mps32));
    range = (lps + ((mpsRange - lps) & mps32)) << s;
    value = diff + (scaled & mps);
    const uint32_t isLps = mps32 + 1u;
    const uint32_t mpsBit = key >> 8;
    if constexpr (kHeld) {
      const uint32_t nextMps = pair & 0xFFFFu, nextLps = pair >> 16;
      key = nextLps ^ ((nextLps ^ nextMps) & mps32);
    } else {
      std::memcpy(ctx, &t.next[key][isLps], 2);
    }
    renorm(s);
    return mpsBit ^ isLps;
  }

  __attribute__((always_inline)) uint32_t bypass() { return static_cast<uint32_t>(bypass_mask()) & 1u; }

  // A bypass bin as a mask, all ones for a 0 (the borrow of the difference
  // as in a decision).
  __attribute__((always_inline)) int32_t bypass_zero_mask() {
    renorm(1);
    const uint64_t scaled = static_cast<uint64_t>(range) << 54;
    const uint64_t zero = borrow_mask(value, scaled, &value);
    value += scaled & zero;
    return static_cast<int32_t>(zero);
  }

  // A bypass bin as a mask, all ones for a 1.
  __attribute__((always_inline)) int32_t bypass_mask() { return ~bypass_zero_mask(); }

  // `v` negated when the next bypass bin is 1, without a branch on the bin:
  // z - (v ^ z) is v for z all ones and -v for z zero.
  __attribute__((always_inline)) int32_t bypass_sign(int32_t v) {
    const int32_t z = bypass_zero_mask();
    return z - (v ^ z);
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

// One context-coded bin (DecodeDecision) on the engine `e`, which the
// ThreadBuffer's reader holds between syntax elements and the element
// decoders keep in registers while they decode. Every context-coded bin of
// the element decoders is this function, inlined.
__attribute__((always_inline)) inline uint32_t cabac_DecodeDecision(CabacLocal& e, CabacContext* ctx) {
  uint32_t key = CabacLocal::load_key(ctx);
  return e.step<false>(key, ctx);
}

// The terminate bin (DecodeTerminate): end_of_slice_flag, and the I_PCM bin
// of mb_type. A 1 leaves the range reduced and unnormalised and reads no
// bit.
__attribute__((always_inline)) inline uint32_t cabac_DecodeTerminate(CabacLocal& e) {
  e.range -= 2;
  const uint64_t scaled = static_cast<uint64_t>(e.range) << 54;
  if (e.value >= scaled) return 1;
  if (e.range < 256) {
    e.range <<= 1;
    e.renorm(1);
  }
  return 0;
}
