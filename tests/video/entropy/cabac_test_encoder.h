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

// Bits the reader has consumed.
inline size_t cabac_test_bits_read(const ThreadBuffer* tb, const std::vector<uint8_t>& data) {
  return static_cast<size_t>(tb->reader.pWord - data.data()) * 8 + static_cast<size_t>(31 - tb->reader.bitPos);
}
