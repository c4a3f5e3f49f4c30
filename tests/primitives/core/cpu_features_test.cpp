// Processor detection and variant selection with made-up processors: the
// feature word, the index, the MOVBE flag, the enabled mask and the status.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fake_cpu.h"

namespace {

using namespace fakecpu;

class Selection : public ::testing::Test {
 protected:
  void SetUp() override {
    forced_ = vpForcedVariant();
    vpSetForcedVariant(0);
  }
  void TearDown() override {
    vpSetCpuidSource(nullptr);
    vpSetForcedVariant(forced_);
    vpStaticInit();
  }
  // Selects on `cpu`; returns the status.
  VpStatus select(const Cpu& cpu) {
    install(cpu);
    return vpStaticInit();
  }
  uint64_t features() {
    uint64_t f = 0;
    EXPECT_EQ(1, ownGetMaskFeatures(&f));
    return f;
  }

 private:
  uint32_t forced_ = 0;
};

Cpu with(Cpu cpu, uint32_t ecx, bool intel = true, bool hasCpuid = true) {
  cpu.leaf1[2] |= ecx;
  cpu.intel = intel;
  cpu.hasCpuid = hasCpuid;
  return cpu;
}

// Status, index, low-power index and enabled mask (-1: not looked at) of each
// processor. MOVBE and AVX never enter the mask; the SSE4.1 members also use
// SSSE3; another vendor or no CPUID keeps the choice with a warning (the
// vendor test comes last).
TEST_F(Selection, VariantByProcessor) {
  const Cpu noSse2 = withFeatures(0, kEdxMmx | kEdxSse);
  struct Case {
    const char* what;
    Cpu cpu;
    VpStatus status;
    int64_t index, indexLP, mask;
  };
  const Case cases[] = {
      {"sse4.1", with(sse41Cpu(), kEcxMovbe | kEcxAes | kEcxClmul | kEcxAvx | kEcxOsxsave), StatusOk, 3, 0, 0xCDF},
      {"ssse3 movbe", with(ssse3Cpu(), kEcxMovbe), StatusOk, 2, 1, 0x1F},
      {"ssse3", ssse3Cpu(), StatusOk, 2, 0, -1},
      {"sse2", sse2Cpu(), StatusOk, 1, -1, 0x7},
      {"sse3 without ssse3", withFeatures(kEcxSse3, kEdxMmx | kEdxSse | kEdxSse2), StatusOk, 1, -1, 0x7},
      {"sse4.1 without ssse3", withFeatures(kEcxSse3 | kEcxSse41, kEdxMmx | kEdxSse | kEdxSse2), StatusOk, 1, -1, -1},
      {"no sse2", noSse2, StatusCpuNotSupported, 0, -1, 0x3},
      {"other vendor", with(sse41Cpu(), 0, false), StatusNonIntelCpu, 3, -1, -1},
      {"other vendor, no sse2", with(noSse2, 0, false), StatusNonIntelCpu, 0, -1, -1},
      {"no cpuid", with(sse41Cpu(), 0, true, false), StatusNonIntelCpu, 0, -1, 0x3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, select(c.cpu)) << c.what;
    EXPECT_EQ(c.index, vpVariantIndex.load()) << c.what;
    if (c.indexLP >= 0) {
      EXPECT_EQ(c.indexLP, vpVariantIndexLP.load()) << c.what;
    }
    if (c.mask >= 0) {
      EXPECT_EQ(uint64_t(c.mask), vpGetEnabledCpuFeatures()) << c.what;
    }
  }
  select(cases[0].cpu);
  EXPECT_EQ(0xFFFu, features()) << "every bit but the family-11 one";
  select(sse2Cpu());
  EXPECT_EQ(1, ownGetFeature(0x7));
  EXPECT_EQ(0, ownGetFeature(0x8));
  select(cases[4].cpu);
  EXPECT_EQ(0, ownGetFeature(VpCpuSse3));
  select(cases[9].cpu);
  uint64_t f = 0;
  EXPECT_EQ(StatusCpuNotSupported, vpGetCpuFeatures(nullptr, nullptr)) << "36 before the pointer test";
  EXPECT_EQ(0, ownGetMaskFeatures(&f));
}

TEST_F(Selection, AvxUsableOnlyWhenTheSystemSavesTheRegisters) {
  Cpu cpu = sse41Cpu();
  cpu.leaf1[2] |= kEcxAvx | kEcxOsxsave;
  cpu.xcr0 = 3;  // YMM state not enabled
  select(cpu);
  EXPECT_EQ(VpCpuAvx, features() & (VpCpuAvx | VpCpuAvxUsable));
  cpu.leaf1[2] &= ~kEcxOsxsave;
  cpu.xcr0 = 7;
  select(cpu);
  EXPECT_EQ(VpCpuAvx, features() & (VpCpuAvx | VpCpuAvxUsable));
}

TEST_F(Selection, FamilyElevenExtensionBit) {
  Cpu cpu = sse2Cpu();
  cpu.leaf1[0] = 0x00000B10u;
  cpu.leaf20000001 = {0, 0, 0, 2};
  select(cpu);
  EXPECT_EQ(VpCpuF11, features() & VpCpuF11);
  EXPECT_EQ(0x7u, vpGetEnabledCpuFeatures());
}

TEST_F(Selection, ByProcessorCode) {
  install(sse41Cpu());
  EXPECT_EQ(StatusOk, vpStaticInitCpu(0x24));
  EXPECT_EQ(2u, vpVariantIndex.load());
  EXPECT_EQ(1u, vpVariantIndexLP.load());
  EXPECT_EQ(StatusOk, vpInitCpu(0x20));
  EXPECT_EQ(0u, vpVariantIndex.load()) << "the SSE2 codes write slot 0";
  EXPECT_EQ(0x7u, vpGetEnabledCpuFeatures());
  EXPECT_EQ(StatusOk, vpStaticInitCpu(0x26));
  EXPECT_EQ(3u, vpVariantIndex.load());
  EXPECT_EQ(0xCDFu, vpGetEnabledCpuFeatures());
  EXPECT_EQ(StatusUnknownCpuType, vpStaticInitCpu(0x46));
  EXPECT_EQ(StatusUnknownCpuType, vpStaticInitCpu(0x1000));
  EXPECT_EQ(StatusCpuNotSupported, vpStaticInitCpu(0x10));
  EXPECT_EQ(3u, vpVariantIndex.load()) << "refused codes change nothing";
  EXPECT_EQ(0xCDFu, vpGetEnabledCpuFeatures());
  EXPECT_EQ(StatusOk, vpStaticInitCpu(-1));
  EXPECT_EQ(3u, vpVariantIndex.load());
}

TEST_F(Selection, ProcessorCodeNeverSelectsMissingInstructions) {
  install(ssse3Cpu());
  ASSERT_EQ(StatusOk, vpStaticInitCpu(0x22));
  EXPECT_EQ(StatusCpuNotSupported, vpStaticInitCpu(0x26));
  EXPECT_EQ(2u, vpVariantIndex.load());
  install(sse2Cpu());
  EXPECT_EQ(StatusCpuNotSupported, vpStaticInitCpu(0x43));
  EXPECT_EQ(2u, vpVariantIndex.load());
}

TEST_F(Selection, ForcedVariantOverridesTheChoice) {
  install(sse41Cpu());
  vpSetForcedVariant(2);
  EXPECT_EQ(StatusOk, vpStaticInit());
  EXPECT_EQ(2u, vpVariantIndex.load());
  vpSetForcedVariant(0);
}

TEST_F(Selection, CpuFeaturesRegisterDump) {
  install(sse41Cpu());
  uint64_t f = 0x616F666E69746567ull;  // "getinfoa"
  uint32_t regs[4] = {4, 0, 1, 0};
  EXPECT_EQ(StatusOk, vpGetCpuFeatures(&f, regs));
  EXPECT_EQ(features(), f);
  EXPECT_EQ(current().leaf4sub1[0], regs[0]);
  EXPECT_EQ(current().leaf4sub1[1], regs[1]);
  f = 0;
  regs[0] = 4;
  regs[2] = 1;
  EXPECT_EQ(StatusOk, vpGetCpuFeatures(&f, regs));
  EXPECT_EQ(current().leaf1[2], regs[2]) << "leaf 1 without the request word";
  EXPECT_EQ(StatusNullPointer, vpGetCpuFeatures(nullptr, regs));
}

TEST_F(Selection, Probes) {
  Cpu cpu = sse41Cpu();
  cpu.leaf1[3] |= (1u << 28) | (1u << 4);
  cpu.leaf1[1] = 0x00020800u;
  cpu.leaf1[2] |= kEcxMovbe;
  install(cpu);
  EXPECT_EQ(1, vp_has_cpuid());
  EXPECT_EQ(1, vp_is_GenuineIntel());
  EXPECT_EQ(0xBu, vp_max_cpuid_input());
  EXPECT_EQ(1, vp_has_rdtsc());
  EXPECT_EQ(1, vp_is_htt_extension());
  EXPECT_EQ(1, vp_is_sse41_extension());
  EXPECT_EQ(1, vp_is_sse42_extension());
  EXPECT_EQ(1, vp_is_movbe());
  EXPECT_EQ(1, vp_is_mni_extension());
  EXPECT_EQ(0, vp_is_avx_extension());
  EXPECT_EQ(8, vp_get_cores_on_die());  // leaf 4 EAX bits 26-31 (7) + 1
  EXPECT_EQ(1, vp_is_em64t_extension());
  EXPECT_EQ(1, vp_is_mmx_extension());
  EXPECT_EQ(1, vp_is_ssx_extension());
  EXPECT_EQ(1, vp_is_wni_extension());
  EXPECT_EQ(1, vp_is_pni_extension());
  CpuIdentRecord rec;
  vp_get_pentium_ident(&rec);
  EXPECT_EQ(6u, rec.family);
  EXPECT_EQ(10u, rec.model);
  EXPECT_EQ(9u, rec.stepping);
  EXPECT_EQ(3u, rec.extModel);
  EXPECT_EQ(1u, rec.sse41);
  EXPECT_EQ(8u, rec.coresOnDie);
  cpu.maxLeaf = 2;
  cpu.maxExtended = 0x80000000u;
  install(cpu);
  EXPECT_EQ(1, vp_get_cores_on_die());
  EXPECT_EQ(0, vp_is_em64t_extension());
  // Each probe reads its own bit: MMX, SSE and SSE2 in EDX, SSE3 in ECX.
  const std::pair<int32_t (*)(), uint32_t> edx[] = {
      {vp_is_mmx_extension, 23}, {vp_is_ssx_extension, 25}, {vp_is_wni_extension, 26}};
  for (const auto& probe : edx) {
    Cpu without = cpu;
    without.leaf1[3] &= ~(1u << probe.second);
    install(without);
    EXPECT_EQ(0, probe.first()) << "EDX bit " << probe.second;
    for (const auto& other : edx) {
      if (other.second != probe.second) {
        EXPECT_EQ(1, other.first()) << "EDX bit " << other.second;
      }
    }
  }
  Cpu noSse3 = cpu;
  noSse3.leaf1[2] &= ~1u;
  install(noSse3);
  EXPECT_EQ(0, vp_is_pni_extension());
  EXPECT_EQ(1, vp_is_mni_extension());
}

// The time-stamp counter runs forward.
TEST(Counter, RunsForward) {
  const uint64_t first = vp_get_pentium_counter();
  volatile uint64_t spin = 0;
  for (int i = 0; i < 100000; ++i) spin = spin + 1;
  EXPECT_GT(vp_get_pentium_counter(), first);
}

// Leaf-2 descriptors and the largest listed cache.
TEST_F(Selection, LargestCacheFromDescriptors) {
  Cpu cpu = sse41Cpu();
  cpu.leaf2 = {0x2C000001u, 0x0000497Du, 0, 0};
  install(cpu);
  EXPECT_EQ(4 * 1024 * 1024, ownLargestCacheSize()) << "0x49 stands before 0x7D";
  cpu.leaf2 = {0x2C000001u, 0x8000497Du, 0x0000007Du, 0};  // EBX holds no descriptors
  install(cpu);
  EXPECT_EQ(2 * 1024 * 1024, ownLargestCacheSize());
  cpu.leaf2 = {0x2C000001u, 0x00000002u, 0, 0};
  install(cpu);
  EXPECT_EQ(-1, ownLargestCacheSize());
  cpu.leaf2 = {0x49000002u, 0, 0, 0};  // must be queried twice
  install(cpu);
  EXPECT_EQ(-1, ownLargestCacheSize());
  cpu.leaf2 = {0x2C000001u, 0x0000497Du, 0, 0};
  cpu.intel = false;
  install(cpu);
  EXPECT_EQ(-1, ownLargestCacheSize());
  const VpCacheSizeEntry table[] = {{0x7D, 111}, {0x49, 222}, {0, 0}};
  EXPECT_EQ(111, ownGetCacheSize(table)) << "own tables ignore the vendor";
  cpu.leaf2 = {0x2C000001u, 0, 0, 0};
  install(cpu);
  EXPECT_EQ(-1, ownGetCacheSize(table));
  const std::pair<uint8_t, int32_t> sizes[] = {{0xEC, 24 << 20}, {0xEB, 18 << 20}, {0x48, 3 << 20}, {0x43, 512 << 10}};
  for (const auto& s : sizes) {
    cpu.intel = true;
    cpu.leaf2 = {0x00000001u | (static_cast<uint32_t>(s.first) << 8), 0, 0, 0};
    install(cpu);
    EXPECT_EQ(s.second, ownLargestCacheSize()) << std::hex << int(s.first);
  }
}

// Decoders created on several threads select at once while primitives run:
// every selection stores the same values and every call completes.
TEST(SelectionThreads, ConcurrentSelectionAndCalls) {
  const uint32_t forced = vpForcedVariant();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      std::vector<uint8_t> a(5000, 7), b(5000, 0);
      for (int i = 0; i < 200; ++i) {
        vpStaticInit();
        ASSERT_EQ(StatusOk, vpsCopy_8u(a.data(), b.data(), 5000));
        ASSERT_EQ(b, a);
      }
    });
  }
  for (auto& t : threads) t.join();
  const uint32_t index = vpVariantIndex.load();
  vpStaticInit();
  EXPECT_EQ(index, vpVariantIndex.load());
  if (forced != 0) {
    EXPECT_EQ(forced, index);
  }
}

}  // namespace
