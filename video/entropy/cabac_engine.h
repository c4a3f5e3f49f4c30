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

// The decision step, for the hot element decoders to use in line.
__attribute__((always_inline)) inline uint32_t cabac_decision(BitReaderCabac* r, CabacContext* ctx) {
  const uint32_t state = ctx->pStateIdx;
  const uint32_t lps = rangeTabLPS[state][(r->codIRange >> 6) & 3];
  uint32_t range = static_cast<uint32_t>(r->codIRange) - lps;
  uint32_t offset = r->codIOffset;
  uint32_t bin;
  if (offset >= range) {
    bin = ctx->valMPS ^ 1u;
    offset -= range;
    if (state == 0) ctx->valMPS = static_cast<uint8_t>(bin);
    ctx->pStateIdx = transIdxLPS[state];
    const int shift = BinShiftTbl[lps];
    range = lps << shift;
    offset = (offset << shift) + ReadNBits(r, shift);
  } else {
    bin = ctx->valMPS;
    if (state < 62) ctx->pStateIdx = static_cast<uint8_t>(state + 1);
    if (range < 256) {
      range <<= 1;
      offset = (offset << 1) + ReadOneBit(r);
    }
  }
  r->codIRange = static_cast<uint16_t>(range);
  r->codIOffset = static_cast<uint16_t>(offset);
  return bin;
}

// One bypass bin.
__attribute__((always_inline)) inline uint32_t cabac_bypass(BitReaderCabac* r) {
  uint32_t offset = (static_cast<uint32_t>(r->codIOffset) << 1) + ReadOneBit(r);
  uint32_t bin = 0;
  if (offset >= r->codIRange) {
    offset -= r->codIRange;
    bin = 1;
  }
  r->codIOffset = static_cast<uint16_t>(offset);
  return bin;
}

// The terminate bin; a 1 leaves the range reduced and unnormalised.
__attribute__((always_inline)) inline uint32_t cabac_terminate(BitReaderCabac* r) {
  uint32_t range = static_cast<uint32_t>(r->codIRange) - 2;
  if (r->codIOffset >= range) {
    r->codIRange = static_cast<uint16_t>(range);
    return 1;
  }
  if (range < 256) {
    range <<= 1;
    r->codIOffset = static_cast<uint16_t>((static_cast<uint32_t>(r->codIOffset) << 1) + ReadOneBit(r));
  }
  r->codIRange = static_cast<uint16_t>(range);
  return 0;
}
