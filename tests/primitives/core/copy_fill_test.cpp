// Allocation, copy and clear: every member against memcpy/memset at every
// misalignment, guard bytes, statuses, and the cache-bypass size rules with
// a made-up processor.
#include <vector>

#include "checkasm.h"
#include "fake_cpu.h"

namespace {

using checkasm::Guarded;

// Every member at the given lengths and source/destination offsets (in
// bytes), against memcpy, with guard bytes.
template <typename Fn, typename T>
void sweepCopy(const std::vector<checkasm::Member<Fn>>& ms, const std::vector<int32_t>& lengths,
               const std::vector<size_t>& srcOffsets, const std::vector<size_t>& dstOffsets) {
  for (const auto& m : ms) {
    for (int32_t len : lengths) {
      const size_t bytes = static_cast<size_t>(len) * sizeof(T);
      Guarded pattern(bytes, 0);
      checkasm::fillRandom(pattern.data(), bytes);
      for (size_t so : srcOffsets) {
        Guarded src(bytes, so);
        std::memcpy(src.data(), pattern.data(), bytes);
        for (size_t d : dstOffsets) {
          Guarded dst(bytes, d);
          ASSERT_EQ(StatusOk, m.fn(src.as<T>(), dst.as<T>(), len)) << checkasm::where(m.name, len, so, d);
          ASSERT_EQ(0, std::memcmp(pattern.data(), dst.data(), bytes)) << checkasm::where(m.name, len, so, d);
          ASSERT_TRUE(dst.guardsIntact()) << checkasm::where(m.name, len, so, d);
        }
      }
    }
  }
}

std::vector<size_t> offsets(size_t step) {
  std::vector<size_t> v;
  for (size_t o = 0; o < 16; o += step) v.push_back(o);
  return v;
}

TEST(CopyFill, CopyEveryLengthAndMisalignment) {
  sweepCopy<decltype(&vpsCopy_8u), uint8_t>(CHECKASM_MEMBERS(vpsCopy_8u), checkasm::sweepLengths(), offsets(1), offsets(1));
  sweepCopy<decltype(&vpsCopy_32f), float>(CHECKASM_MEMBERS(vpsCopy_32f), checkasm::sweepLengths(), offsets(4), offsets(4));
  // Beyond the SSE2 large-copy limit at every pair of offsets.
  sweepCopy<decltype(&vpsCopy_8u), uint8_t>(CHECKASM_MEMBERS(vpsCopy_8u), {0x20001}, offsets(1), offsets(1));
}

// Sizes around the block thresholds and the large-copy candidates, and the
// page-offset distances that decide the copy direction of aligned blocks.
TEST(CopyFill, Copy8uLargeAndPageDistances) {
  sweepCopy<decltype(&vpsCopy_8u), uint8_t>(CHECKASM_MEMBERS(vpsCopy_8u), {64, 65, 127, 128, 0x20000, 0x100000 + 37},
                                            {0, 1, 4, 8, 12}, {0, 3, 12});
  for (const auto& m : CHECKASM_MEMBERS(vpsCopy_8u)) {
    // Aligned source and destination at page-offset distances 0, 160, 161,
    // -3936 and -3937 (both directions of the aligned copy).
    std::vector<uint8_t> area(3 * 8192 + 64);
    uint8_t* page = area.data() + ((4096 - (reinterpret_cast<uintptr_t>(area.data()) & 4095)) & 4095);
    const long dists[] = {0, 160, 176, -3936, -3952, 1024};
    for (long dist : dists) {
      const size_t n = 1000 + 3;
      uint8_t* dst = page + 4096;
      const uint8_t* src = page + 4096 * 2 + ((dist % 4096 + 4096) % 4096);
      checkasm::fillRandom(const_cast<uint8_t*>(src), n);
      std::memset(dst, 0, n + 16);
      ASSERT_EQ(StatusOk, m.fn(src, dst, static_cast<int32_t>(n)));
      ASSERT_EQ(0, std::memcmp(src, dst, n)) << m.name << " distance " << dist;
      ASSERT_EQ(0, dst[n]) << m.name;
    }
  }
}

template <typename Fn, typename T>
void sweepZero(const std::vector<checkasm::Member<Fn>>& ms, size_t step) {
  for (const auto& m : ms) {
    for (int32_t len : checkasm::sweepLengths()) {
      const size_t bytes = static_cast<size_t>(len) * sizeof(T);
      for (size_t d = 0; d < 16; d += step) {
        Guarded dst(bytes, d);
        std::memset(dst.data(), 0xFF, bytes);
        ASSERT_EQ(StatusOk, m.fn(dst.as<T>(), len)) << checkasm::where(m.name, len, d);
        for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(0, dst.data()[i]) << checkasm::where(m.name, len, d) << " byte " << i;
        ASSERT_TRUE(dst.guardsIntact()) << checkasm::where(m.name, len, d);
      }
    }
  }
}

// Every byte zero: a float clear gives +0.0.
TEST(CopyFill, ZeroEveryLengthAndMisalignment) {
  sweepZero<decltype(&vpsZero_8u), uint8_t>(CHECKASM_MEMBERS(vpsZero_8u), 1);
  sweepZero<decltype(&vpsZero_32f), float>(CHECKASM_MEMBERS(vpsZero_32f), 4);
  sweepZero<decltype(&vpsZero_32s), int32_t>(CHECKASM_MEMBERS(vpsZero_32s), 4);
}

TEST(CopyFill, StatusesPointersBeforeLengths) {
  uint8_t buf[16] = {1, 2, 3};
  uint8_t dst[16] = {};
  for (const auto& m : CHECKASM_MEMBERS(vpsCopy_8u)) {
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, dst, 0));
    EXPECT_EQ(StatusNullPointer, m.fn(buf, nullptr, 4));
    EXPECT_EQ(StatusSizeError, m.fn(buf, dst, 0));
    EXPECT_EQ(StatusSizeError, m.fn(buf, dst, -5));
    EXPECT_EQ(0, dst[0]) << "nothing written on an error";
  }
  float f[4] = {1, 2, 3, 4};
  for (const auto& m : CHECKASM_MEMBERS(vpsCopy_32f)) {
    EXPECT_EQ(StatusNullPointer, m.fn(f, nullptr, 0));
    EXPECT_EQ(StatusSizeError, m.fn(f, f + 2, 0));
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsZero_8u)) {
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 0));
    EXPECT_EQ(StatusSizeError, m.fn(buf, 0));
    EXPECT_EQ(1, buf[0]);
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsZero_32f)) EXPECT_EQ(StatusNullPointer, m.fn(nullptr, 3));
  for (const auto& m : CHECKASM_MEMBERS(vpsZero_32s)) EXPECT_EQ(StatusSizeError, m.fn(reinterpret_cast<int32_t*>(f), -1));
}

TEST(CopyFill, MallocAlignsAndFrees) {
  for (const auto& m : CHECKASM_MEMBERS(vpsMalloc_8u)) {
    EXPECT_EQ(nullptr, m.fn(0));
    EXPECT_EQ(nullptr, m.fn(-5));
    for (int32_t len : {1, 31, 32, 33, 1000, 65537}) {
      uint8_t* p = m.fn(len);
      ASSERT_NE(nullptr, p);
      EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) & 31) << m.name << " len " << len;
      std::memset(p, 0x5A, static_cast<size_t>(len));  // the whole block is usable
      sse2_vpsFree(p);
    }
  }
  vpsFree(nullptr);
  sse41_vpsFree(nullptr);
}

// A processor that reports "GenuineIntel" (or not) and the given leaf-2
// descriptor bytes, for the cache-bypass size rules.
class CacheBypass : public ::testing::Test {
 protected:
  void TearDown() override { vpSetCpuidSource(nullptr); }
  void useCache(uint8_t descriptor, bool intel = true) {
    fakecpu::Cpu cpu = fakecpu::sse41Cpu();
    cpu.intel = intel;
    cpu.leaf2 = {0x00000001u | (static_cast<uint32_t>(descriptor) << 8), 0, 0, 0};
    fakecpu::install(cpu);
  }
  template <typename Call>
  uint32_t bypasses(Call call) {
    const uint32_t before = vpCacheBypassCount;
    call();
    return vpCacheBypassCount - before;
  }
};

TEST_F(CacheBypass, CopyFromHalfTheCacheClearFromTheWholeCache) {
  const size_t n = 2048 * 1024;
  Guarded src(n, 0), dst(n + 16, 0);
  checkasm::fillRandom(src.data(), n);
  useCache(0x49);  // 4096 KiB
  EXPECT_EQ(4 * 1024 * 1024, ownLargestCacheSize());
  for (const auto& m : CHECKASM_MEMBERS(vpsCopy_8u)) {
    std::memset(dst.data(), 0, n);
    EXPECT_EQ(1u, bypasses([&] { m.fn(src.data(), dst.data(), static_cast<int32_t>(n)); })) << m.name;
    EXPECT_EQ(0, std::memcmp(src.data(), dst.data(), n));
    EXPECT_TRUE(dst.guardsIntact());
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsZero_8u)) {
    EXPECT_EQ(0u, bypasses([&] { m.fn(dst.data(), static_cast<int32_t>(n)); })) << m.name;
  }
  useCache(0x7D);  // 2048 KiB: now the clear streams as well
  for (const auto& m : CHECKASM_MEMBERS(vpsZero_8u)) {
    // 13 head bytes bring the destination to a 16-byte boundary; the n
    // bytes after them reach the cache size.
    std::memset(dst.data(), 1, n + 16);
    EXPECT_EQ(1u, bypasses([&] { m.fn(dst.data() + 3, static_cast<int32_t>(n + 13)); })) << m.name;
    EXPECT_EQ(1, dst.data()[2]);
    for (size_t i = 3; i < n + 16; ++i) ASSERT_EQ(0, dst.data()[i]);
    EXPECT_TRUE(dst.guardsIntact());
  }
}

TEST_F(CacheBypass, OnlyTheSse2CopyConsidersQuarterMegabyteBlocks) {
  const size_t n = 256 * 1024;
  Guarded src(n, 0), dst(n, 0);
  checkasm::fillRandom(src.data(), n);
  useCache(0x43);  // 512 KiB
  for (const auto& m : CHECKASM_MEMBERS(vpsCopy_8u)) {
    EXPECT_EQ(m.slot == 1 ? 1u : 0u, bypasses([&] { m.fn(src.data(), dst.data(), static_cast<int32_t>(n)); })) << m.name;
    EXPECT_EQ(0, std::memcmp(src.data(), dst.data(), n));
  }
}

TEST_F(CacheBypass, MegabyteCopyAndHalfMegabyteClearThresholds) {
  const size_t n = 0x100000;
  Guarded src(n + 16, 0), dst(n + 16, 0);
  checkasm::fillRandom(src.data(), n + 16);
  for (const auto& m : CHECKASM_MEMBERS(vpsCopy_8u)) {
    useCache(0x7D);  // 2 MiB: a 1 MiB copy reaches half of it
    EXPECT_EQ(1u, bypasses([&] { m.fn(src.data(), dst.data(), static_cast<int32_t>(n)); })) << m.name;
    useCache(0x49);  // 4 MiB
    EXPECT_EQ(0u, bypasses([&] { m.fn(src.data(), dst.data(), static_cast<int32_t>(n)); })) << m.name;
    if (m.slot != 1) {
      // Misaligned by the same offset: aligned together, never streamed.
      useCache(0x7D);
      EXPECT_EQ(0u, bypasses([&] { m.fn(src.data() + 5, dst.data() + 5, static_cast<int32_t>(n + 11)); })) << m.name;
    }
    EXPECT_EQ(0, std::memcmp(src.data(), dst.data(), n)) << m.name;
  }
  for (const auto& m : CHECKASM_MEMBERS(vpsZero_8u)) {
    useCache(0x43);  // 512 KiB
    EXPECT_EQ(0u, bypasses([&] { m.fn(dst.data(), 0x80000); })) << m.name;
    EXPECT_EQ(1u, bypasses([&] { m.fn(dst.data(), 0x80001); })) << m.name;
    useCache(0x44);  // 1 MiB
    EXPECT_EQ(0u, bypasses([&] { m.fn(dst.data(), 0x80001); })) << m.name;
  }
}

TEST_F(CacheBypass, NoBypassWithoutAKnownCache) {
  const size_t n = 0x100000 + 5;
  Guarded src(n, 0), dst(n, 1);
  checkasm::fillRandom(src.data(), n);
  for (bool intel : {false, true}) {
    useCache(intel ? 0x2C : 0x43, intel);  // an unlisted descriptor, or another vendor
    EXPECT_EQ(-1, ownLargestCacheSize());
    for (const auto& m : CHECKASM_MEMBERS(vpsCopy_8u)) {
      EXPECT_EQ(0u, bypasses([&] { m.fn(src.data(), dst.data(), static_cast<int32_t>(n)); })) << m.name;
      EXPECT_EQ(0, std::memcmp(src.data(), dst.data(), n));
      EXPECT_TRUE(dst.guardsIntact());
    }
  }
}

}  // namespace
