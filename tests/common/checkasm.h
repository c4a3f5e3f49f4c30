// What the checkasm-style tests share (core and image primitives, the
// decoder's sample kernels): the members to test (every variant the
// processor has, or only the one VP_FORCE_VARIANT names), seeded random
// data, buffers with guard bytes at any misalignment, and the MXCSR check.
#pragma once

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vpCoreInternal.h"

namespace checkasm {

// One member of a primitive: its variant slot and name.
template <typename Fn>
struct Member {
  uint32_t slot;  // 1 sse2, 2 ssse3, 3 sse41
  const char* name;
  Fn fn;
};

inline bool processorHas(uint32_t slot) {
  __builtin_cpu_init();
  if (slot == 3) return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
  if (slot == 2) return __builtin_cpu_supports("ssse3");
  return true;
}

// The members to test: all the processor has, or only the forced one.
template <typename Fn>
std::vector<Member<Fn>> members(Fn sse2, Fn ssse3, Fn sse41) {
  std::vector<Member<Fn>> all = {{1, "sse2", sse2}, {2, "ssse3", ssse3}, {3, "sse41", sse41}};
  std::vector<Member<Fn>> out;
  const uint32_t forced = vpForcedVariant();
  for (const auto& m : all) {
    if ((forced == 0 || forced == m.slot) && processorHas(m.slot)) out.push_back(m);
  }
  return out;
}

#define CHECKASM_MEMBERS(name) ::checkasm::members(&sse2_##name, &ssse3_##name, &sse41_##name)

// Just the functions, for kernels whose failures need no member name.
template <typename Fn>
std::vector<Fn> kernels(Fn sse2, Fn ssse3, Fn sse41) {
  std::vector<Fn> out;
  for (const auto& m : members(sse2, ssse3, sse41)) out.push_back(m.fn);
  return out;
}

#define CHECKASM_KERNELS(name) ::checkasm::kernels(&sse2_##name, &ssse3_##name, &sse41_##name)

// Lengths of the sweeps: 1 to 70 and one large size.
inline std::vector<int32_t> sweepLengths(int32_t large = 4099) {
  std::vector<int32_t> v;
  for (int32_t n = 1; n <= 70; ++n) v.push_back(n);
  v.push_back(large);
  return v;
}

inline std::mt19937& rng() {
  static std::mt19937 r(20261206u);
  return r;
}

inline void fillRandom(void* p, size_t bytes) {
  auto* b = static_cast<uint8_t*>(p);
  for (size_t i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(rng()());
}

// Floats spread over many magnitudes and signs, with the specials mixed in.
inline float randomFloat(float scale = 40000.0f) {
  std::uniform_real_distribution<float> u(-scale, scale);
  return u(rng());
}

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

// `bytes` usable bytes starting `misalign` bytes past a 64-byte boundary,
// surrounded by guard bytes that must stay untouched.
class Guarded {
 public:
  Guarded(size_t bytes, size_t misalign) : bytes_(bytes), misalign_(misalign), store_(bytes + misalign + 2 * kGuard + 64) {
    std::memset(store_.data(), kGuardByte, store_.size());
  }
  uint8_t* data() { return base() + kGuard + misalign_; }
  template <typename T>
  T* as() { return reinterpret_cast<T*>(data()); }
  size_t size() const { return bytes_; }
  bool guardsIntact() {
    const uint8_t* b = base();
    for (size_t i = 0; i < kGuard + misalign_; ++i) if (b[i] != kGuardByte) return false;
    const uint8_t* end = data() + bytes_;
    for (size_t i = 0; i < kGuard; ++i) if (end[i] != kGuardByte) return false;
    return true;
  }

 private:
  uint8_t* base() {
    const uintptr_t p = reinterpret_cast<uintptr_t>(store_.data());
    return store_.data() + ((64 - (p & 63)) & 63);
  }
  size_t bytes_, misalign_;
  std::vector<uint8_t> store_;
};

// The MXCSR control bits (masks, rounding, DAZ, FTZ) that every primitive
// must give back unchanged; the sticky flags (bits 0-5) may be raised.
constexpr uint32_t kMxcsrControl = 0xFFC0;

class MxcsrScope {
 public:
  explicit MxcsrScope(uint32_t value = 0x1F80) : saved_(_mm_getcsr()) { _mm_setcsr(value); }
  ~MxcsrScope() { _mm_setcsr(saved_); }

 private:
  uint32_t saved_;
};

#define EXPECT_MXCSR_CONTROL_KEPT(before) \
  EXPECT_EQ((before) & ::checkasm::kMxcsrControl, _mm_getcsr() & ::checkasm::kMxcsrControl)

inline std::string where(const char* member, size_t len, size_t a, size_t b = 0) {
  return std::string(member) + " len " + std::to_string(len) + " offsets " + std::to_string(a) + "/" + std::to_string(b);
}

// A kernel member against a plain per-element reference: lengths 0 (nothing
// written) to 65 and a large one, source and destination at offsets 0, one element and
// 16 - one element past a 64-byte boundary, guard bytes, under the given
// control word. `call(fn, src, dst, len)` runs the member; `input(i)` gives
// source element i (seeded random values mixed with extremes); `want(x)` the
// expected destination element.
template <typename S, typename D, typename Fn, typename Call, typename Input, typename Want>
void sweepKernel(const std::string& name, const std::vector<Fn>& fns, Call call, Input input, Want want,
                 uint32_t mxcsr = 0x1F80) {
  std::vector<int32_t> lengths;
  for (int32_t n = 0; n <= 65; ++n) lengths.push_back(n);
  lengths.push_back(4099);
  const size_t offsets[] = {0, sizeof(S) % 16, (16 - sizeof(S)) % 16}, dstOffsets[] = {0, sizeof(D) % 16, (16 - sizeof(D)) % 16};
  for (size_t k = 0; k < fns.size(); ++k) {
    for (int32_t len : lengths) {
      const size_t n = static_cast<size_t>(len);
      for (size_t so : offsets) {
        for (size_t d : dstOffsets) {
          Guarded src(n * sizeof(S), so), dst(n * sizeof(D), d);
          std::vector<D> expected(n);
          MxcsrScope scope(mxcsr);
          for (size_t i = 0; i < n; ++i) {
            const S x = input(i);
            std::memcpy(src.data() + i * sizeof(S), &x, sizeof(S));
            expected[i] = want(x);
          }
          call(fns[k], reinterpret_cast<const S*>(src.data()), reinterpret_cast<D*>(dst.data()), len);
          ASSERT_EQ(mxcsr & kMxcsrControl, _mm_getcsr() & kMxcsrControl) << name;
          for (size_t i = 0; i < n; ++i) {
            D got;
            std::memcpy(&got, dst.data() + i * sizeof(D), sizeof(D));
            ASSERT_EQ(0, std::memcmp(&expected[i], &got, sizeof(D)))  // bits: NaN results too
                << name << " member " << k << " len " << n << " offsets " << so << "/" << d << " element " << i
                << ": want " << +expected[i] << " got " << +got;
          }
          ASSERT_TRUE(src.guardsIntact() && dst.guardsIntact()) << name << " len " << n;
        }
      }
    }
  }
}
}  // namespace checkasm
