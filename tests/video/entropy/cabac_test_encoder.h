// A CABAC encoder for tests: writes bins with the standard's encoding
// procedure so that the decoders can be checked on known bin sequences.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "cabac_engine.h"

// Stream bytes to the reader's layout: each group of four bytes reversed, so
// that a little-endian load gives the stream word.
inline std::vector<uint8_t> cabac_test_words(std::vector<uint8_t> bytes) {
  bytes.resize((bytes.size() + 3) / 4 * 4 + 8, 0);
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    std::swap(bytes[i], bytes[i + 3]);
    std::swap(bytes[i + 1], bytes[i + 2]);
  }
  return bytes;
}

class CabacTestEncoder {
 public:
  CabacTestEncoder() = default;

  void decision(CabacContext* ctx, uint32_t bin) {
    const uint32_t lps = rangeTabLPS[ctx->pStateIdx][(range_ >> 6) & 3];
    range_ -= lps;
    if (bin != ctx->valMPS) {
      low_ += range_;
      range_ = lps;
      if (ctx->pStateIdx == 0) ctx->valMPS = static_cast<uint8_t>(1 - ctx->valMPS);
      ctx->pStateIdx = transIdxLPS[ctx->pStateIdx];
    } else if (ctx->pStateIdx < 62) {
      ++ctx->pStateIdx;
    }
    renorm();
  }

  void bypass(uint32_t bin) {
    low_ <<= 1;
    if (bin) low_ += range_;
    if (low_ >= 1024) {
      put_bit(1);
      low_ -= 1024;
    } else if (low_ < 512) {
      put_bit(0);
    } else {
      low_ -= 512;
      ++outstanding_;
    }
  }

  // A terminate bin of 1 flushes the encoder; its last bit is the stop bit.
  void terminate(uint32_t bin) {
    range_ -= 2;
    if (bin) {
      low_ += range_;
      range_ = 2;
      renorm();
      put_bit((low_ >> 9) & 1);
      write_bit((low_ >> 8) & 1);
      write_bit(1);
    } else {
      renorm();
    }
  }

  // Plain bits, for the data ahead of the arithmetic-coded part.
  void raw_bit(uint32_t bit) { write_bit(bit); }

  size_t bit_count() const { return bits_.size(); }

  // The bits packed into bytes (zero-padded) in the reader's word order,
  // plus spare bytes the reader may load past the end.
  std::vector<uint8_t> bytes(size_t* payload = nullptr) const {
    const size_t n = (bits_.size() + 7) / 8;
    std::vector<uint8_t> out((n + 3) / 4 * 4 + 8, 0);
    for (size_t i = 0; i < bits_.size(); ++i)
      if (bits_[i]) out[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
    if (payload) *payload = n;
    return cabac_test_words(out);
  }

 private:
  void renorm() {
    while (range_ < 256) {
      if (low_ < 256) {
        put_bit(0);
      } else if (low_ >= 512) {
        low_ -= 512;
        put_bit(1);
      } else {
        low_ -= 256;
        ++outstanding_;
      }
      range_ <<= 1;
      low_ <<= 1;
    }
  }
  void put_bit(uint32_t b) {
    if (first_) {
      first_ = false;
    } else {
      write_bit(b);
    }
    for (; outstanding_ > 0; --outstanding_) write_bit(1 - b);
  }
  void write_bit(uint32_t b) { bits_.push_back(static_cast<uint8_t>(b)); }

  uint32_t low_ = 0;
  uint32_t range_ = 510;
  uint32_t outstanding_ = 0;
  bool first_ = true;
  std::vector<uint8_t> bits_;
};

// A ThreadBuffer reading `data`, engine started.
inline void cabac_test_start(ThreadBuffer* tb, const std::vector<uint8_t>& data, size_t payload) {
  *tb = ThreadBuffer{};
  bs_init(&tb->reader, data.data(), static_cast<uint32_t>(payload));
  cabac_initialize_engine(tb);
}

// f(engine) on the ThreadBuffer's engine, taken from its reader and stored
// back after: one element decoder called as the walk calls it.
template <typename F>
auto cabac_test_decode(ThreadBuffer* tb, F&& f) {
  CabacScope e(&tb->reader);
  return f(e);
}

// One terminate bin and one context-coded bin on the ThreadBuffer's engine.
inline uint32_t cabac_test_terminate(ThreadBuffer* tb) {
  return cabac_test_decode(tb, [](CabacLocal& e) { return cabac_DecodeTerminate(e); });
}
inline uint32_t cabac_test_decision(ThreadBuffer* tb, CabacContext* ctx) {
  return cabac_test_decode(tb, [ctx](CabacLocal& e) { return cabac_DecodeDecision(e, ctx); });
}

// Bits the reader has consumed.
inline size_t cabac_test_bits_read(const ThreadBuffer* tb, const std::vector<uint8_t>& data) {
  return static_cast<size_t>(tb->reader.pWord - data.data()) * 8 + static_cast<size_t>(31 - tb->reader.bitPos);
}

// Residual blocks: significance map, last flags, levels and signs of one
// block in the standard's binarisation, on the context sets of `s`
// (positions in the slice's context array; increments by scanning position).
struct BlockCtxSet {
  uint32_t sig, last, level;
  const uint8_t* sigInc;
  const uint8_t* lastInc;
};

inline const uint8_t kIdentity[64] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                      16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31,
                                      32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47,
                                      48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};

inline void encode_level(CabacTestEncoder* e, CabacContext* ctx, uint32_t levelBase, uint32_t abs, uint32_t gt1,
                         uint32_t eq1) {
  const uint32_t inc0 = gt1 ? 0 : (eq1 >= 3 ? 4 : 1 + eq1);
  const uint32_t m = abs - 1;
  e->decision(&ctx[levelBase + inc0], m > 0);
  if (m == 0) return;
  CabacContext* c = &ctx[levelBase + 5 + (gt1 > 4 ? 4 : gt1)];
  const uint32_t prefix = m < 14 ? m : 14;
  for (uint32_t i = 1; i < prefix; ++i) e->decision(c, 1);
  if (m < 14) {
    e->decision(c, 0);
    return;
  }
  uint32_t rest = m - 14, k = 0;
  while (rest >= (1u << k)) {
    e->bypass(1);
    rest -= 1u << k;
    ++k;
  }
  e->bypass(0);
  while (k--) e->bypass((rest >> k) & 1);
}

// Writes the coefficients (by scanning position, numCoeff of them) of one
// coded block (at least one coefficient not 0; an empty block writes
// nothing).
inline void encode_block(CabacTestEncoder* e, CabacContext* ctx, const BlockCtxSet& s, const int32_t* coeffs,
                         int numCoeff) {
  int last = -1;
  for (int i = 0; i < numCoeff; ++i)
    if (coeffs[i]) last = i;
  if (last < 0) return;
  for (int i = 0; i < numCoeff - 1; ++i) {
    e->decision(&ctx[s.sig + s.sigInc[i]], coeffs[i] != 0);
    if (coeffs[i]) {
      e->decision(&ctx[s.last + s.lastInc[i]], i == last);
      if (i == last) break;
    }
  }
  uint32_t gt1 = 0, eq1 = 0;
  for (int i = last; i >= 0; --i) {
    if (!coeffs[i]) continue;
    const uint32_t abs = static_cast<uint32_t>(coeffs[i] < 0 ? -coeffs[i] : coeffs[i]);
    encode_level(e, ctx, s.level, abs, gt1, eq1);
    if (abs == 1) {
      ++eq1;
    } else {
      ++gt1;
    }
    e->bypass(coeffs[i] < 0);
  }
}
