// Four-slot dispatch shared by every primitive library (core, transforms,
// image).
//
// Each public primitive `name` exists three times, as `sse2_name`,
// `ssse3_name` and `sse41_name`, with one signature (the three members come
// from one body compiled per instruction set: vpVariant.h). Its table
// `name_arraddr` holds four member addresses, indexed by the process-wide
// variant index:
//
//   slot 0: sse2_   (before any selection; also chosen when SSE2 is missing)
//   slot 1: sse2_   (processor with SSE2 only)
//   slot 2: ssse3_
//   slot 3: sse41_
//
// The public name is a one-line stub that reads the index and calls the
// member of that slot with its arguments unchanged (a tail call):
//
//   VP_DISPATCH_TABLE(vpsFoo_32f);
//   VpStatus vpsFoo_32f(const float* pSrc, float* pDst, int32_t len) {
//     return vpSelect(vpsFoo_32f_arraddr)(pSrc, pDst, len);
//   }
//
// The tables are constant; the index is only written by the variant
// selection (vpStaticInit, vpStaticInitCpu) and read with a relaxed load, as
// every write on one processor stores the same value.
#pragma once

#include <atomic>
#include <cstdint>

// Variant index 0..3; 0 from load until the first selection, which takes
// the variant VP_FORCE_VARIANT=sse2|ssse3|sse41 names, if any.
extern std::atomic<uint32_t> vpVariantIndex;

// Slot numbers of the dispatch tables.
enum : uint32_t {
  VpVariantSse2Default = 0,
  VpVariantSse2 = 1,
  VpVariantSsse3 = 2,
  VpVariantSse41 = 3,
};

// The member that the current variant index selects.
template <typename Fn>
inline Fn vpSelect(Fn const (&table)[4]) {
  return table[vpVariantIndex.load(std::memory_order_relaxed) & 3u];
}

// Defines the constant four-slot table `name_arraddr` of a public name from
// the members of its slots: the SSE2 member fills slots 0 and 1. Every table
// of the primitives is defined by this one macro, directly when the slots
// hold other functions (one plain body in every slot, say), or through
// VP_DISPATCH_TABLE for the usual sse2_, ssse3_ and sse41_ members.
#define VP_DISPATCH_TABLE_OF(name, sse2Member, ssse3Member, sse41Member) \
  extern decltype(&sse2Member) const name##_arraddr[4];                   \
  decltype(&sse2Member) const name##_arraddr[4] = {&sse2Member, &sse2Member, &ssse3Member, &sse41Member}

// The table of a public name whose three members are declared.
#define VP_DISPATCH_TABLE(name) VP_DISPATCH_TABLE_OF(name, sse2_##name, ssse3_##name, sse41_##name)

// Declares the three members of an operation (kernels and operations
// reached by their variant names only).
#define VP_DECLARE_MEMBERS(ret, name, params) \
  ret sse2_##name params;                      \
  ret ssse3_##name params;                     \
  ret sse41_##name params

// Declares the three members and the public name of a primitive.
#define VP_DECLARE_VARIANTS(ret, name, params) \
  VP_DECLARE_MEMBERS(ret, name, params);       \
  ret name params
