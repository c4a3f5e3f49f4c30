// Join of float channels into interleaved 16-bit samples: every member
// against the scalar rule, for every channel count and layout, at
// misaligned destinations, with guard bytes; edge values; statuses; the
// caller's MXCSR.
#include <cmath>
#include <functional>
#include <vector>

#include "checkasm.h"
#include "reference.h"

namespace {

using checkasm::Guarded;

const float kSpecials[] = {
    0.0f, -0.0f, 0.5f, -0.5f, 1.5f, -1.5f, 2.5f, -2.5f, 3.5f, -0.4f, 32766.5f, 32767.4f, 32767.5f, 40000.0f,
    -32767.5f, -32768.0f, -32768.5f, -40000.0f, 1e10f, -1e10f, INFINITY, -INFINITY, NAN, -NAN, 1e-40f, -1e-40f,
    2147483648.0f, -2147483904.0f,
};

float sample(size_t i) {
  if (checkasm::rng()() % 5 == 0) return kSpecials[i % (sizeof kSpecials / sizeof kSpecials[0])];
  return checkasm::randomFloat();
}

// Channel data in one 16-byte-aligned block (channel k at k * len), so that
// a contiguous layout and separate misaligned arrays can be compared.
struct Channels {
  std::vector<float> block;
  std::vector<std::vector<float>> separate;
  std::vector<const float*> contiguous, scattered;
  Channels(size_t nCh, size_t len, size_t misalign) {
    block.resize(nCh * len + 8);
    float* base = block.data() + ((16 - (reinterpret_cast<uintptr_t>(block.data()) & 15)) & 15) / 4;
    for (size_t i = 0; i < nCh * len; ++i) base[i] = sample(i);
    separate.resize(nCh);
    for (size_t c = 0; c < nCh; ++c) {
      contiguous.push_back(base + c * len);
      separate[c].assign(len + 4, 0.0f);
      const size_t shift = (c + misalign) % 4;
      std::memcpy(separate[c].data() + shift, base + c * len, len * 4);
      scattered.push_back(separate[c].data() + shift);
    }
  }
};

std::vector<int16_t> expected(const std::vector<const float*>& src, size_t len) {
  const size_t nCh = src.size();
  std::vector<int16_t> out(nCh * len);
  for (size_t i = 0; i < len; ++i) {
    for (size_t c = 0; c < nCh; ++c) {
      out[i * nCh + c] = nCh == 1 ? reference::convert16s(src[c][i], 1, 0) : reference::joinSample(src[c][i]);
    }
  }
  return out;
}

TEST(Join, EveryChannelCountLayoutAndMisalignment) {
  checkasm::MxcsrScope mxcsr;
  std::vector<int32_t> lengths = checkasm::sweepLengths(1027);
  lengths.push_back(256);
  for (const auto& m : CHECKASM_MEMBERS(vpsJoin_32f16s_D2L)) {
    for (int32_t nCh : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13}) {
      for (int32_t len : lengths) {
        Channels ch(static_cast<size_t>(nCh), static_cast<size_t>(len), static_cast<size_t>(len));
        const std::vector<int16_t> want = expected(ch.contiguous, static_cast<size_t>(len));
        const size_t bytes = want.size() * 2;
        for (size_t d = 0; d < 16; d += 2) {
          for (const auto* layout : {&ch.contiguous, &ch.scattered}) {
            Guarded dst(bytes, d);
            const uint32_t before = _mm_getcsr();
            ASSERT_EQ(StatusOk, m.fn(layout->data(), nCh, len, dst.as<int16_t>()));
            EXPECT_MXCSR_CONTROL_KEPT(before);
            ASSERT_EQ(0, std::memcmp(want.data(), dst.data(), bytes))
                << checkasm::where(m.name, static_cast<size_t>(len), static_cast<size_t>(nCh), d)
                << (layout == &ch.contiguous ? " contiguous" : " separate");
            ASSERT_TRUE(dst.guardsIntact()) << checkasm::where(m.name, static_cast<size_t>(len), d);
          }
        }
        if (len > 300 && nCh > 3) break;  // the large size once for the wider counts
      }
    }
  }
}

TEST(Join, EdgeValues) {
  checkasm::MxcsrScope mxcsr;
  const float a[] = {1.5f, -1.5f, 32767.5f, 1e10f};
  const float b[] = {2.5f, -2.5f, -32768.5f, NAN};
  const float* two[] = {a, b};
  for (const auto& m : CHECKASM_MEMBERS(vpsJoin_32f16s_D2L)) {
    int16_t out[8];
    ASSERT_EQ(StatusOk, m.fn(two, 2, 4, out));
    const int16_t want[] = {2, 2, -2, -2, 32767, -32768, 32767, 32767};
    EXPECT_EQ(0, std::memcmp(want, out, sizeof want)) << m.name;
    // One channel converts: NaN gives 0 there.
    const float* one[] = {b};
    ASSERT_EQ(StatusOk, m.fn(one, 1, 4, out));
    const int16_t wantOne[] = {2, -2, -32768, 0};
    EXPECT_EQ(0, std::memcmp(wantOne, out, sizeof wantOne)) << m.name;
    // The value list of the SSE4.1 join, over 2 to 7 channels.
    const float values[] = {2.5f, 3.5f, -2.5f, -0.4f, 32766.5f, 32767.4f, 40000.0f,
                            -32768.5f, -40000.0f, INFINITY, -INFINITY, NAN};
    const int16_t wantValues[] = {2, 4, -2, 0, 32766, 32767, 32767, -32768, -32768, 32767, -32768, 32767};
    const float* same[7] = {values, values, values, values, values, values, values};
    for (int32_t nCh = 2; nCh <= 7; ++nCh) {
      int16_t joined[7 * 12];
      ASSERT_EQ(StatusOk, m.fn(same, nCh, 12, joined));
      for (int i = 0; i < 12 * nCh; ++i) EXPECT_EQ(wantValues[i / nCh], joined[i]) << m.name << " " << nCh;
    }
  }
}

TEST(Join, CallerRoundingTowardZeroIsOverriddenAndRestored) {
  const float a[] = {2.5f, 2.7f, -2.5f, 3.5f, 0.5f, -0.5f, 7.5f, 1.0f};
  const float* src[] = {a, a, a};
  for (uint32_t word : {0x7F80u, 0x3FC0u | 0x8000u, 0x5F80u}) {  // toward zero; down + DAZ + FTZ; up
    for (const auto& m : CHECKASM_MEMBERS(vpsJoin_32f16s_D2L)) {
      checkasm::MxcsrScope mxcsr(word);
      int16_t out[24];
      ASSERT_EQ(StatusOk, m.fn(src, 3, 8, out));
      EXPECT_EQ(word & checkasm::kMxcsrControl, _mm_getcsr() & checkasm::kMxcsrControl) << m.name;
      const int16_t want[] = {2, 3, -2, 4, 0, 0, 8, 1};
      for (int i = 0; i < 8; ++i) EXPECT_EQ(want[i], out[3 * i + 1]) << m.name << " sample " << i;
    }
  }
}

TEST(Join, StatusesInOrderAndNothingWritten) {
  float a[4] = {1, 2, 3, 4};
  const float* five[] = {a, a, a, nullptr, a};
  int16_t out[20];
  std::memset(out, 0x7B, sizeof out);
  for (const auto& m : CHECKASM_MEMBERS(vpsJoin_32f16s_D2L)) {
    EXPECT_EQ(StatusNullPointer, m.fn(five, 0, 4, nullptr));  // destination first
    EXPECT_EQ(StatusSizeError, m.fn(nullptr, 0, 4, out));      // then the channel count
    EXPECT_EQ(StatusSizeError, m.fn(five, 2, 0, out));
    EXPECT_EQ(StatusSizeError, m.fn(five, 2, -1, out));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 2, 4, out));
    EXPECT_EQ(StatusNullPointer, m.fn(five, 5, 4, out));
    for (int16_t v : out) EXPECT_EQ(0x7B7B, static_cast<uint16_t>(v));
  }
}

// The kernels by themselves, every member: the general kernels (and the
// one-channel kernel the entry never calls) on separate and contiguous arrays
// at every destination offset; the contiguous-block kernels taking exactly the
// layouts their conditions allow and otherwise declining with nothing written
// and the control word untouched.
struct Kernel {
  const char* name;
  int32_t minChannels, maxChannels;
  int32_t lenStep;  // 0: a general kernel, which never declines
  bool alignedDst;
  std::vector<std::function<int32_t(const float* const*, int32_t, int32_t, int16_t*)>> members;
};

template <typename Fn>
Kernel kernel(const char* name, int32_t lo, int32_t hi, int32_t step, bool aligned, std::vector<Fn> fns) {
  Kernel k{name, lo, hi, step, aligned, {}};
  for (Fn fn : fns) {
    k.members.push_back([fn](const float* const* s, int32_t nCh, int32_t len, int16_t* d) -> int32_t {
      if constexpr (std::is_invocable_v<Fn, const float* const*, int32_t, int32_t, int16_t*>) {
        if constexpr (std::is_void_v<std::invoke_result_t<Fn, const float* const*, int32_t, int32_t, int16_t*>>) {
          fn(s, nCh, len, d);
          return 1;
        } else {
          return fn(s, nCh, len, d);
        }
      } else if constexpr (std::is_void_v<std::invoke_result_t<Fn, const float* const*, int32_t, int16_t*>>) {
        fn(s, len, d);
        return 1;
      } else {
        return fn(s, len, d);
      }
    });
  }
  return k;
}

TEST(JoinKernels, EachAgainstTheRuleAndItsConditions) {
  const Kernel kernels[] = {
      kernel("C1", 1, 1, 0, false, CHECKASM_KERNELS(ownsJoin_32f16s_C1)),
      kernel("C2", 2, 2, 0, false, CHECKASM_KERNELS(ownsJoin_32f16s_C2)),
      kernel("C3", 3, 3, 0, false, CHECKASM_KERNELS(ownsJoin_32f16s_C3)),
      kernel("C4", 4, 4, 0, false, CHECKASM_KERNELS(ownsJoin_32f16s_C4)),
      kernel("C5", 5, 5, 0, false, CHECKASM_KERNELS(ownsJoin_32f16s_C5)),
      kernel("C6", 6, 6, 0, false, CHECKASM_KERNELS(ownsJoin_32f16s_C6)),
      kernel("any", 2, 9, 0, false, CHECKASM_KERNELS(ownsJoin_32f16s)),
      kernel("C2_W7", 2, 2, 4, true, CHECKASM_KERNELS(ownsJoin_32f16s_C2_W7)),
      kernel("C3_W7", 3, 3, 8, true, CHECKASM_KERNELS(ownsJoin_32f16s_C3_W7)),
      kernel("C4_W7", 4, 4, 4, true, CHECKASM_KERNELS(ownsJoin_32f16s_C4_W7)),
      kernel("C5_W7", 5, 5, 4, false, CHECKASM_KERNELS(ownsJoin_32f16s_C5_W7)),
      kernel("C6_W7", 6, 6, 4, true, CHECKASM_KERNELS(ownsJoin_32f16s_C6_W7)),
      kernel("C7_W7", 7, 7, 4, false, CHECKASM_KERNELS(ownsJoin_32f16s_C7_W7)),
      kernel("MoreC7_W7", 8, 11, 4, false, CHECKASM_KERNELS(ownsJoin_32f16s_MoreC7_W7)),
  };
  std::vector<int32_t> lengths;
  for (int32_t n = 1; n <= 65; ++n) lengths.push_back(n);
  lengths.push_back(256);
  lengths.push_back(1028);
  for (const Kernel& k : kernels) {
    for (const auto& fn : k.members) {
      for (int32_t nCh = k.minChannels; nCh <= k.maxChannels; ++nCh) {
        for (int32_t len : lengths) {
          const size_t n = static_cast<size_t>(len), bytes = 2 * n * static_cast<size_t>(nCh);
          Channels ch(static_cast<size_t>(nCh), n, n);
          std::vector<int16_t> want(n * static_cast<size_t>(nCh));
          for (size_t i = 0; i < want.size(); ++i) want[i] = reference::joinSample(ch.contiguous[i % nCh][i / nCh]);
          std::vector<const float*> shifted;  // contiguous, but not from a 16-byte boundary
          for (int32_t c = 0; c < nCh; ++c) shifted.push_back(ch.contiguous[0] + 1 + c * len);
          for (size_t d = 0; d < 16; d += 2) {
            for (const auto* layout : {&ch.contiguous, &ch.scattered, &shifted}) {
              if (k.lenStep == 0 && layout == &shifted) continue;  // other data; any layout is taken anyway
              const bool takes = k.lenStep == 0 || (layout == &ch.contiguous && len % k.lenStep == 0 &&
                                                    (!k.alignedDst || d == 0));
              Guarded dst(bytes, d);
              checkasm::MxcsrScope mxcsr(0x7F80);  // toward zero: nearest is the kernels' own
              const int32_t result = fn(layout->data(), nCh, len, dst.as<int16_t>());
              const std::string at = checkasm::where(k.name, n, static_cast<size_t>(nCh), d) +
                                     (layout == &ch.scattered ? " separate" : layout == &shifted ? " shifted" : "");
              ASSERT_TRUE(dst.guardsIntact()) << at;
              if (!takes) {
                ASSERT_EQ(0, result) << at;
                ASSERT_EQ(0x7F80u, _mm_getcsr()) << at << ": a kernel that declines leaves the register alone";
                for (size_t b = 0; b < bytes; ++b) ASSERT_EQ(checkasm::kGuardByte, dst.data()[b]) << at;
                continue;
              }
              ASSERT_NE(0, result) << at;
              EXPECT_EQ(0x7F80u, _mm_getcsr() & checkasm::kMxcsrControl) << at;
              ASSERT_EQ(0, std::memcmp(want.data(), dst.data(), bytes)) << at;
            }
          }
        }
      }
    }
  }
}

}  // namespace
