// Byte swaps and deinterleave: every member against a plain loop at every
// misalignment, with guard bytes; statuses in order.
#include <vector>

#include "checkasm.h"

namespace {

using checkasm::Guarded;

// Every length and byte offset (odd addresses too) of a swap of `unit`-byte
// samples: bytes i and unit-1-i trade places.
template <typename T>
VpStatus callSwap(VpStatus (*fn)(T*, int32_t), uint8_t* p, int32_t len) { return fn(reinterpret_cast<T*>(p), len); }

template <typename Fn>
void sweepSwap(const std::vector<checkasm::Member<Fn>>& members, size_t unit, const std::vector<int32_t>& lengths) {
  for (const auto& m : members) {
    for (int32_t len : lengths) {
      const size_t bytes = static_cast<size_t>(len) * unit;
      for (size_t off = 0; off < 16; ++off) {
        Guarded buf(bytes, off);
        checkasm::fillRandom(buf.data(), bytes);
        std::vector<uint8_t> want(buf.data(), buf.data() + bytes);
        for (size_t i = 0; i < bytes; i += unit) std::swap(want[i], want[i + unit - 1]);
        ASSERT_EQ(StatusOk, callSwap(m.fn, buf.data(), len));
        ASSERT_EQ(0, std::memcmp(want.data(), buf.data(), bytes)) << checkasm::where(m.name, len, off);
        ASSERT_TRUE(buf.guardsIntact()) << checkasm::where(m.name, len, off);
      }
    }
  }
}

TEST(SwapBytes, EveryLengthAndMisalignment) {
  std::vector<int32_t> lengths = checkasm::sweepLengths(4099);
  sweepSwap(CHECKASM_MEMBERS(vpsSwapBytes_24u_I), 3, lengths);
  for (int32_t extra : {23, 24, 39, 40, 1000}) lengths.push_back(extra);
  sweepSwap(CHECKASM_MEMBERS(vpsSwapBytes_16u_I), 2, lengths);
}

TEST(SwapBytes, Statuses) {
  uint16_t w[2] = {0x0102, 0x0304};
  for (const auto& m : CHECKASM_MEMBERS(vpsSwapBytes_16u_I)) {
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 0));
    EXPECT_EQ(StatusSizeError, m.fn(w, 0));
    EXPECT_EQ(StatusSizeError, m.fn(w, -2));
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsSwapBytes_24u_I)) {
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 3));
    EXPECT_EQ(StatusSizeError, m.fn(reinterpret_cast<uint8_t*>(w), 0));
  }
  EXPECT_EQ(0x0102, w[0]);
}

TEST(Deinterleave, EveryChannelCountLengthAndMisalignment) {
  for (const auto& m : CHECKASM_MEMBERS(vpsDeinterleave_32f)) {
    for (int32_t nCh : {1, 2, 3, 5, 6, 8}) {
      for (int32_t len : checkasm::sweepLengths(1031)) {
        const size_t n = static_cast<size_t>(len), total = n * static_cast<size_t>(nCh);
        for (size_t so = 0; so < 16; so += 4) {
          for (size_t d = 0; d < 16; d += 4) {
            Guarded src(total * 4, so);
            checkasm::fillRandom(src.data(), total * 4);  // any bit patterns, NaNs included
            std::vector<Guarded> dsts;
            std::vector<float*> ptrs;
            for (int32_t c = 0; c < nCh; ++c) dsts.emplace_back(n * 4, (d + 4 * static_cast<size_t>(c)) % 16);
            bool aligned = so == 0;
            for (auto& g : dsts) {
              ptrs.push_back(g.as<float>());
              aligned = aligned && (reinterpret_cast<uintptr_t>(g.data()) & 15) == 0;
            }
            const VpStatus st = m.fn(src.as<float>(), nCh, len, ptrs.data());
            ASSERT_EQ(aligned ? StatusOk : StatusMisalignedBuffer, st) << checkasm::where(m.name, n, so, d);
            for (int32_t c = 0; c < nCh; ++c) {
              for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(0, std::memcmp(src.data() + 4 * (i * static_cast<size_t>(nCh) + static_cast<size_t>(c)),
                                         dsts[static_cast<size_t>(c)].data() + 4 * i, 4))
                    << checkasm::where(m.name, n, so, d) << " channel " << c << " frame " << i;
              }
              ASSERT_TRUE(dsts[static_cast<size_t>(c)].guardsIntact());
            }
          }
        }
        if (len > 100 && nCh != 2) break;
      }
    }
  }
}

TEST(Deinterleave, StatusesInOrderAndNothingWritten) {
  float src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  float a[4] = {}, b[4] = {};
  float* both[] = {a, b};
  float* second[] = {a, nullptr};
  for (const auto& m : CHECKASM_MEMBERS(vpsDeinterleave_32f)) {
    EXPECT_EQ(StatusNullPointer, m.fn(src, 0, 0, nullptr));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 2, 4, both));
    EXPECT_EQ(StatusChannelError, m.fn(src, 0, 0, both));
    EXPECT_EQ(StatusSizeError, m.fn(src, 2, 0, both));
    EXPECT_EQ(StatusNullPointer, m.fn(src, 2, 4, second));
    EXPECT_EQ(0.0f, a[0]) << "nothing written before the last check";
  }
}

}  // namespace
