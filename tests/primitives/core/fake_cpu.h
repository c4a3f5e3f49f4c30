// A made-up processor behind the CPUID source of the core, for tests of
// detection, variant selection and the cache-size rules.
#pragma once

#include <array>
#include <cstdint>

#include "vpCoreInternal.h"

namespace fakecpu {

struct Cpu {
  bool hasCpuid = true;
  bool intel = true;
  uint32_t maxLeaf = 0xB;
  std::array<uint32_t, 4> leaf1 = {0x000306A9u, 0x00100800u, 0, 0};  // EAX, EBX, ECX, EDX
  std::array<uint32_t, 4> leaf2 = {0x00000001u, 0, 0, 0};
  std::array<uint32_t, 4> leaf4sub0 = {0x1C004121u, 0, 0, 0};
  std::array<uint32_t, 4> leaf4sub1 = {0x1C004122u, 0x01C0003Fu, 0x3Fu, 0};
  std::array<uint32_t, 4> leaf20000001 = {0, 0, 0, 0};
  uint32_t maxExtended = 0x80000008u;
  uint32_t ext1Edx = 1u << 29;
  uint64_t xcr0 = 7;
};

inline Cpu& current() {
  static Cpu cpu;
  return cpu;
}

inline int32_t hasCpuid() { return current().hasCpuid ? 1 : 0; }

inline void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
  const Cpu& c = current();
  std::array<uint32_t, 4> r = {0, 0, 0, 0};
  if (leaf == 0) {
    r = c.intel ? std::array<uint32_t, 4>{c.maxLeaf, 0x756E6547u, 0x6C65746Eu, 0x49656E69u}
                : std::array<uint32_t, 4>{c.maxLeaf, 0x68747541u, 0x444D4163u, 0x69746E65u};  // AuthenticAMD
  } else if (leaf == 1) {
    r = c.leaf1;
  } else if (leaf == 2) {
    r = c.leaf2;
  } else if (leaf == 4) {
    r = subleaf == 0 ? c.leaf4sub0 : c.leaf4sub1;
  } else if (leaf == 0x20000001u) {
    r = c.leaf20000001;
  } else if (leaf == 0x80000000u) {
    r = {c.maxExtended, 0, 0, 0};
  } else if (leaf == 0x80000001u) {
    r = {0, 0, 0, c.ext1Edx};
  }
  for (int i = 0; i < 4; ++i) regs[i] = r[i];
}

inline uint64_t xgetbv(uint32_t) { return current().xcr0; }

inline void install(const Cpu& cpu) {
  static const VpCpuidSource source = {hasCpuid, cpuid, xgetbv};
  current() = cpu;
  vpSetCpuidSource(&source);
}

// Leaf-1 feature bits.
constexpr uint32_t kEdxMmx = 1u << 23, kEdxSse = 1u << 25, kEdxSse2 = 1u << 26;
constexpr uint32_t kEcxSse3 = 1u << 0, kEcxClmul = 1u << 1, kEcxSsse3 = 1u << 9, kEcxSse41 = 1u << 19,
                   kEcxSse42 = 1u << 20, kEcxMovbe = 1u << 22, kEcxAes = 1u << 25, kEcxOsxsave = 1u << 27,
                   kEcxAvx = 1u << 28;

inline Cpu withFeatures(uint32_t ecx, uint32_t edx) {
  Cpu c;
  c.leaf1[2] = ecx;
  c.leaf1[3] = edx;
  return c;
}

inline Cpu sse2Cpu() { return withFeatures(0, kEdxMmx | kEdxSse | kEdxSse2); }
inline Cpu ssse3Cpu() { return withFeatures(kEcxSse3 | kEcxSsse3, kEdxMmx | kEdxSse | kEdxSse2); }
inline Cpu sse41Cpu() {
  return withFeatures(kEcxSse3 | kEcxSsse3 | kEcxSse41 | kEcxSse42, kEdxMmx | kEdxSse | kEdxSse2);
}

}  // namespace fakecpu
