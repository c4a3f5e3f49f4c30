// Processor feature detection and the choice of the primitive variant.
//
// The feature word is computed once per process from CPUID leaf 1 (and XGETBV
// for usable AVX); vpStaticInit turns it into the variant index that every
// dispatch stub reads, the enabled-feature mask and the MOVBE flag of the
// SSSE3 choice. CPUID goes through a replaceable source so that detection can
// be tested with made-up processors.
#include <cpuid.h>
#include <x86intrin.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "vpCoreInternal.h"

std::atomic<uint32_t> vpVariantIndex{0};
std::atomic<uint32_t> vpVariantIndexLP{0};

namespace {

std::atomic<uint64_t> ownFeatures{0};
std::atomic<uint32_t> ownFeaturesAreValid{0};
std::atomic<uint64_t> ownFeaturesMask{3};  // MMX and SSE until a selection

int32_t processorHasCpuid() {
  // CPUID exists when bit 21 of EFLAGS (ID) can be flipped.
  uint64_t before = 0;
  uint64_t after = 0;
  __asm__ volatile(
      "pushfq\n\t"
      "popq %0\n\t"
      "movq %0, %1\n\t"
      "xorq $0x200000, %1\n\t"
      "pushq %1\n\t"
      "popfq\n\t"
      "pushfq\n\t"
      "popq %1\n\t"
      "pushq %0\n\t"
      "popfq"
      : "=&r"(before), "=&r"(after)
      :
      : "cc", "memory");
  return ((before ^ after) & 0x200000) != 0 ? 1 : 0;
}

void processorCpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
  uint32_t a = 0, b = 0, c = 0, d = 0;
  __cpuid_count(leaf, subleaf, a, b, c, d);
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
}

uint64_t processorXgetbv(uint32_t index) {
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(index));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

const VpCpuidSource kProcessor = {processorHasCpuid, processorCpuid, processorXgetbv};
std::atomic<const VpCpuidSource*> currentSource{&kProcessor};

const VpCpuidSource& source() { return *currentSource.load(std::memory_order_acquire); }

uint32_t leaf1(int reg) {
  uint32_t r[4];
  vpCpuid(1, 0, r);
  return r[reg];
}

enum { kEax = 0, kEbx = 1, kEcx = 2, kEdx = 3 };

inline int32_t bit(uint32_t word, int n) { return static_cast<int32_t>((word >> n) & 1u); }

// Instruction sets that the members of a variant may use.
constexpr uint64_t kNeedsSse2 = VpCpuSse2;
constexpr uint64_t kNeedsSsse3 = VpCpuSse2 | VpCpuSse3 | VpCpuSsse3;
constexpr uint64_t kNeedsSse41 = kNeedsSsse3 | VpCpuSse41;

uint64_t variantNeeds(uint32_t index) {
  return index == 3 ? kNeedsSse41 : index == 2 ? kNeedsSsse3 : kNeedsSse2;
}

// Forced variant: 0 none, 1..3 a slot; ~0u not read yet.
std::atomic<uint32_t> forcedVariant{~0u};

uint32_t readForcedVariant() {
  const char* text = std::getenv("VP_FORCE_VARIANT");
  if (text == nullptr) return 0;
  uint32_t wanted = 0;
  if (std::strcmp(text, "sse2") == 0) wanted = 1;
  if (std::strcmp(text, "ssse3") == 0) wanted = 2;
  if (std::strcmp(text, "sse41") == 0) wanted = 3;
  uint64_t features = 0;
  if (wanted == 0 || ownGetMaskFeatures(&features) == 0) return 0;
  return (features & variantNeeds(wanted)) == variantNeeds(wanted) ? wanted : 0;
}

void storeSelection(uint32_t index, uint32_t lp, uint64_t mask) {
  vpSetCpuFeaturesMask(mask);
  vpVariantIndexLP.store(lp, std::memory_order_relaxed);
  uint32_t forced = vpForcedVariant();
  vpVariantIndex.store(forced != 0 ? forced : index, std::memory_order_relaxed);
}

}  // namespace

void vpSetCpuidSource(const VpCpuidSource* replacement) {
  currentSource.store(replacement != nullptr ? replacement : &kProcessor, std::memory_order_release);
  ownFeaturesAreValid.store(0, std::memory_order_release);
}

void vpCpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) { source().cpuid(leaf, subleaf, regs); }

uint32_t vpForcedVariant() {
  uint32_t forced = forcedVariant.load(std::memory_order_acquire);
  if (forced == ~0u) {
    forced = readForcedVariant();
    forcedVariant.store(forced, std::memory_order_release);
  }
  return forced;
}

void vpSetForcedVariant(uint32_t variant) { forcedVariant.store(variant & 3u, std::memory_order_release); }

// ---------------------------------------------------------------------------
// CPUID probes.

int32_t vp_has_cpuid() { return source().hasCpuid(); }

uint32_t vp_max_cpuid_input() {
  uint32_t r[4];
  vpCpuid(0, 0, r);
  return r[kEax];
}

int32_t vp_has_rdtsc() { return bit(leaf1(kEdx), 4); }
int32_t vp_is_mmx_extension() { return bit(leaf1(kEdx), 23); }
int32_t vp_is_ssx_extension() { return bit(leaf1(kEdx), 25); }
int32_t vp_is_wni_extension() { return bit(leaf1(kEdx), 26); }

int32_t vp_is_htt_extension() {
  uint32_t r[4];
  vpCpuid(1, 0, r);
  return (bit(r[kEdx], 28) != 0 && ((r[kEbx] >> 16) & 0xFF) > 1) ? 1 : 0;
}

int32_t vp_is_pni_extension() { return bit(leaf1(kEcx), 0); }
int32_t vp_is_mni_extension() { return bit(leaf1(kEcx), 9); }
int32_t vp_is_sse41_extension() { return bit(leaf1(kEcx), 19); }
int32_t vp_is_sse42_extension() { return bit(leaf1(kEcx), 20); }
int32_t vp_is_movbe() { return bit(leaf1(kEcx), 22); }

int32_t vp_is_avx_extension() {
  uint32_t ecx = leaf1(kEcx);
  if (bit(ecx, 27) == 0 || bit(ecx, 28) == 0) return 0;
  return (source().xgetbv(0) & 6u) == 6u ? 1 : 0;
}

int32_t vp_get_cores_on_die() {
  uint32_t r[4];
  vpCpuid(0, 0, r);
  if (static_cast<int32_t>(r[kEax]) < 4) return 1;
  vpCpuid(4, 0, r);
  return static_cast<int32_t>(r[kEax] >> 26) + 1;
}

int32_t vp_is_em64t_extension() {
  uint32_t r[4];
  vpCpuid(0x80000000u, 0, r);
  if (r[kEax] < 0x80000001u) return 0;
  vpCpuid(0x80000001u, 0, r);
  return bit(r[kEdx], 29);
}

int32_t vp_is_GenuineIntel() {
  uint32_t r[4];
  vpCpuid(0, 0, r);
  return (r[kEbx] == 0x756E6547u && r[kEdx] == 0x49656E69u && r[kEcx] == 0x6C65746Eu) ? 1 : 0;
}

uint64_t vp_get_pentium_counter() { return __rdtsc(); }

void vp_get_pentium_ident(CpuIdentRecord* rec) {
  if (rec == nullptr) return;
  uint32_t r1[4];
  uint32_t r2[4];
  vpCpuid(1, 0, r1);
  vpCpuid(2, 0, r2);
  const uint32_t eax = r1[kEax], ecx = r1[kEcx], edx = r1[kEdx];
  rec->family = (eax >> 8) & 0xF;
  rec->stepping = eax & 0xF;
  rec->model = (eax >> 4) & 0xF;
  rec->typeField = (eax >> 11) & 3;
  rec->featureEdx = edx;
  rec->leaf2Eax = r2[kEax];
  rec->leaf2Edx = r2[kEdx];
  rec->mmx = bit(edx, 23);
  rec->sse = bit(edx, 25);
  rec->sse2 = bit(edx, 26);
  rec->htt = vp_is_htt_extension();
  rec->sse3 = bit(ecx, 0);
  rec->em64t = vp_is_em64t_extension();
  rec->ssse3 = bit(ecx, 9);
  rec->coresOnDie = vp_get_cores_on_die();
  rec->sse41 = bit(ecx, 19);
  rec->sse42 = bit(ecx, 20);
  rec->extFamily = (eax >> 20) & 0xFF;
  rec->extModel = (eax >> 16) & 0xF;
  rec->movbe = bit(ecx, 22);
  rec->avx = bit(ecx, 28);
  rec->osxsave = bit(ecx, 27);
}

// ---------------------------------------------------------------------------
// Feature word and masks.

void ownGetReg(uint32_t* regs, uint32_t leaf, uint32_t subleaf) { vpCpuid(leaf, subleaf, regs); }

int32_t ownGetMaskFeatures(uint64_t* pFeatures) {
  if (ownFeaturesAreValid.load(std::memory_order_acquire) != 0) {
    *pFeatures = ownFeatures.load(std::memory_order_relaxed);
    return 1;
  }
  if (vp_has_cpuid() == 0) return 0;
  uint32_t r[4];
  ownGetReg(r, 1, 0);
  const uint32_t eax = r[kEax], ecx = r[kEcx], edx = r[kEdx];
  uint64_t w = 0;
  if (bit(edx, 23)) w |= VpCpuMmx;
  if (bit(edx, 25)) w |= VpCpuSse;
  if (bit(edx, 26)) w |= VpCpuSse2;
  if (bit(ecx, 0)) w |= VpCpuSse3;
  if (bit(ecx, 9)) w |= VpCpuSsse3;
  if (bit(ecx, 22)) w |= VpCpuMovbe;
  if (bit(ecx, 19)) w |= VpCpuSse41;
  if (bit(ecx, 20)) w |= VpCpuSse42;
  if (bit(ecx, 28)) w |= VpCpuAvx;
  if (bit(ecx, 27) && bit(ecx, 28) && vp_is_avx_extension()) w |= VpCpuAvxUsable;
  if (bit(ecx, 25)) w |= VpCpuAes;
  if (bit(ecx, 1)) w |= VpCpuClmul;
  if (((eax >> 8) & 0xF) == 11) {
    uint32_t f[4];
    ownGetReg(f, 0x20000001u, 0);
    if (bit(f[kEdx], 1)) w |= VpCpuF11;
  }
  ownFeatures.store(w, std::memory_order_relaxed);
  ownFeaturesAreValid.store(1, std::memory_order_release);
  *pFeatures = w;
  return 1;
}

int32_t ownGetFeature(uint64_t wanted) {
  const uint64_t mask = ownFeaturesMask.load(std::memory_order_relaxed);
  const uint32_t lo = static_cast<uint32_t>(wanted), hi = static_cast<uint32_t>(wanted >> 32);
  const bool ok = (static_cast<uint32_t>(mask) & lo) == lo && (static_cast<uint32_t>(mask >> 32) & hi) == hi;
  return ok ? 1 : 0;
}

int32_t ownSetFeatureMask(uint64_t mask) {
  ownFeaturesMask.store(mask, std::memory_order_relaxed);
  return 1;
}

VpStatus vpSetCpuFeaturesMask(uint64_t mask) {
  ownSetFeatureMask(mask);
  return StatusOk;
}

uint64_t vpGetEnabledCpuFeatures() { return ownFeaturesMask.load(std::memory_order_relaxed); }

VpStatus vpGetCpuFeatures(uint64_t* pFeatures, uint32_t* pCpuidRegs) {
  uint64_t word = 0;
  if (ownGetMaskFeatures(&word) == 0) return StatusCpuNotSupported;
  if (pFeatures == nullptr) return StatusNullPointer;
  // The caller may ask for any CPUID leaf by storing "getinfoa" at
  // pFeatures and the leaf and subleaf in elements 0 and 2 of the dump.
  const uint64_t previous = *pFeatures;
  *pFeatures = word;
  if (pCpuidRegs == nullptr) return StatusOk;
  if (previous == 0x616F666E69746567ull) {
    vpCpuid(pCpuidRegs[0], pCpuidRegs[2], pCpuidRegs);
  } else {
    vpCpuid(1, 0, pCpuidRegs);
  }
  return StatusOk;
}

// ---------------------------------------------------------------------------
// Variant selection.

VpStatus vpStaticInit() {
  uint64_t features = 0;
  uint32_t dump[4] = {0, 0, 0, 0};
  VpStatus status = vpGetCpuFeatures(&features, dump);
  uint32_t index = 0, lp = 0;
  uint64_t mask = 3;
  if (status == StatusOk) {
    // A variant is chosen only when the processor has every instruction set
    // its members use (the SSE4.1 members also use SSSE3).
    const uint64_t f = features & 0xFFFFFFFFu;
    if ((f & kNeedsSse41) == kNeedsSse41) {
      index = 3;
      mask = f & 0xCDF;
    } else if ((f & kNeedsSsse3) == kNeedsSsse3) {
      index = 2;
      mask = f & 0x1F;
      lp = (f & VpCpuMovbe) != 0 ? 1 : 0;
    } else if ((f & kNeedsSse2) == kNeedsSse2) {
      index = 1;
      mask = f & 0x7;
    } else {
      index = 0;
      mask = f & 0x3;
      status = StatusCpuNotSupported;
    }
  }
  if (vp_has_cpuid() == 0 || vp_is_GenuineIntel() == 0) status = StatusNonIntelCpu;
  storeSelection(index, lp, mask);
  return status;
}

VpStatus vpInit() { return vpStaticInit(); }

VpStatus vpStaticInitCpu(int32_t cpuCode) {
  if (cpuCode == -1) return vpInit();
  uint32_t index = 0, lp = 0;
  uint64_t mask = 0;
  switch (cpuCode) {
    case 0x00: case 0x06: case 0x07: case 0x08: case 0x09: case 0x0A: case 0x0B:
    case 0x11: case 0x20: case 0x41: case 0x42:
      index = 0; mask = 0x7; break;
    case 0x21: case 0x22: case 0x43:
      index = 2; mask = 0x1F; break;
    case 0x24:
      index = 2; mask = 0x1F; lp = 1; break;
    case 0x23: case 0x44:
      index = 3; mask = 0x5F; break;
    case 0x25: case 0x45:
      index = 3; mask = 0xDF; break;
    case 0x26: case 0x47:
      index = 3; mask = 0xCDF; break;
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x10: case 0x40: case 0x60:
      return StatusCpuNotSupported;
    default:
      return StatusUnknownCpuType;
  }
  // Never select members that would execute instructions the processor
  // lacks: such a code is refused like an unsupported processor.
  uint64_t features = 0;
  if (ownGetMaskFeatures(&features) == 0 || (features & variantNeeds(index)) != variantNeeds(index)) {
    return StatusCpuNotSupported;
  }
  storeSelection(index, lp, mask);
  return StatusOk;
}

VpStatus vpInitCpu(int32_t cpuCode) { return vpStaticInitCpu(cpuCode); }
