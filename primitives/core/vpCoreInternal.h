// Internals of the signal-processing core shared by its own sources and its
// tests: the CPUID source (replaceable so that processor detection can be
// tested with made-up processors), a count of cache-bypassing passes, and the
// join and conversion kernels that have no public entry.
#pragma once

#include <cstdint>

#include "vpCore.h"

// Where CPUID, the EFLAGS identification test and XGETBV come from.
struct VpCpuidSource {
  int32_t (*hasCpuid)();
  void (*cpuid)(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]);  // EAX, EBX, ECX, EDX
  uint64_t (*xgetbv)(uint32_t index);
};

// Replaces the processor (null restores the real one) and forgets the cached
// feature word, so the next detection reads the new source.
void vpSetCpuidSource(const VpCpuidSource* source);
// CPUID through the current source.
void vpCpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]);

// The variant forced by VP_FORCE_VARIANT (1, 2 or 3), or 0 when none. A forced
// variant that the processor lacks is not used.
uint32_t vpForcedVariant();
// Overrides the forced variant (0: none); for tests of the selection itself.
void vpSetForcedVariant(uint32_t variant);

// Number of copy, clear and store passes that bypassed the cache on this
// thread; the kernels count each such pass once.
extern thread_local uint32_t vpCacheBypassCount;

// Conversion kernels without a public entry, one member per variant. They
// check nothing: valid pointers and len >= 1 are expected.
#define VP_CORE_CONVERT_KERNELS(X)                                                                       \
  X(void, ownvpsCnvrt_32f8s_Sfs, (const float* pSrc, int8_t* pDst, int32_t len, int32_t rndMode, int32_t sf))        \
  X(void, ownvpsCnvrt_32f8u_Sfs, (const float* pSrc, uint8_t* pDst, int32_t len, int32_t rndMode, int32_t sf))       \
  X(void, ownvpsCnvrt_32f16s_Sfs, (const float* pSrc, int16_t* pDst, int32_t len, int32_t rndMode, int32_t sf))      \
  X(void, ownvpsCnvrt_32f16u_Sfs, (const float* pSrc, uint16_t* pDst, int32_t len, int32_t rndMode, int32_t sf))     \
  X(void, ownvpsCnvrt_32f32s_Sfs, (const float* pSrc, int32_t* pDst, int32_t len, int32_t rndMode, int32_t sf))      \
  X(void, ownvpsCnvrt_64f32s_Sfs, (const double* pSrc, int32_t* pDst, int32_t len, int32_t rndMode, int32_t sf))     \
  X(void, ownvpsCnvrtFin_32f8s_Sfs, (const float* pSrc, int8_t* pDst, int32_t len, int32_t sf))                      \
  X(void, ownvpsCnvrtFin_32f8u_Sfs, (const float* pSrc, uint8_t* pDst, int32_t len, int32_t sf))                     \
  X(void, ownvpsCnvrtFin_32f16s_Sfs, (const float* pSrc, int16_t* pDst, int32_t len, int32_t sf))                    \
  X(void, ownvpsCnvrtFin_32f16u_Sfs, (const float* pSrc, uint16_t* pDst, int32_t len, int32_t sf))                   \
  X(void, ownvpsCnvrtFin_32f32s_Sfs, (const float* pSrc, int32_t* pDst, int32_t len, int32_t sf))                    \
  X(void, ownvpsCnvrtFin_64f32s_Sfs, (const double* pSrc, int32_t* pDst, int32_t len, int32_t sf))                   \
  X(void, ownvpsCnvrt_8s32f, (const int8_t* pSrc, float* pDst, int32_t len))                                         \
  X(void, ownvpsCnvrt_8u32f, (const uint8_t* pSrc, float* pDst, int32_t len))                                        \
  X(void, ownvpsCnvrt_16s32f, (const int16_t* pSrc, float* pDst, int32_t len))                                       \
  X(void, ownvpsCnvrt_16u32f, (const uint16_t* pSrc, float* pDst, int32_t len))                                      \
  X(void, ownvpsCnvrt_32s32f, (const int32_t* pSrc, float* pDst, int32_t len))                                       \
  X(void, ownvpsCnvrt_32s64f, (const int32_t* pSrc, double* pDst, int32_t len))                                      \
  X(void, ownsConvert_64s32s_SfPosFin_W7, (const int64_t* pSrc, int32_t* pDst, int32_t len, int32_t sf))             \
  X(void, ownvpsCnvrt_16f32f, (const uint16_t* pSrc, float* pDst, int32_t len))                                      \
  X(void, ownvpsCnvrt_32f16f_Asm, (const float* pSrc, uint16_t* pDst, int32_t len, int32_t rndMode))                 \
  X(void, ownvpsCnvrt_16s16f, (const int16_t* pSrc, uint16_t* pDst, int32_t len, int32_t rndMode))                   \
  X(void, ownvpsCnvrt_16f16s_Asm, (const uint16_t* pSrc, int16_t* pDst, int32_t len, int32_t rndMode, int32_t sf))

#define VP_CORE_DECLARE_KERNEL(ret, name, params) VP_DECLARE_MEMBERS(ret, name, params);
VP_CORE_CONVERT_KERNELS(VP_CORE_DECLARE_KERNEL)

// Join kernels, one member per variant (see join.inc). The contiguous-block
// kernels (_W7) return 1 after the whole join, or 0 without writing anything
// when the layout does not suit them; the others take any layout. Two
// kernels have no caller in the entry (one channel goes to the conversion,
// two channels to the general kernel) and are reached only directly.
#define VP_CORE_JOIN_KERNELS(X)                                                                                   \
  X(void, ownsJoin_32f16s_C1, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                        \
  X(void, ownsJoin_32f16s_C2, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                        \
  X(void, ownsJoin_32f16s_C3, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                        \
  X(void, ownsJoin_32f16s_C4, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                        \
  X(void, ownsJoin_32f16s_C5, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                        \
  X(void, ownsJoin_32f16s_C6, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                        \
  X(void, ownsJoin_32f16s, (const float* const* ppSrc, int32_t nChannels, int32_t chanLen, int16_t* pDst))        \
  X(int32_t, ownsJoin_32f16s_C2_W7, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                  \
  X(int32_t, ownsJoin_32f16s_C3_W7, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                  \
  X(int32_t, ownsJoin_32f16s_C4_W7, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                  \
  X(int32_t, ownsJoin_32f16s_C5_W7, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                  \
  X(int32_t, ownsJoin_32f16s_C6_W7, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                  \
  X(int32_t, ownsJoin_32f16s_C7_W7, (const float* const* ppSrc, int32_t chanLen, int16_t* pDst))                  \
  X(int32_t, ownsJoin_32f16s_MoreC7_W7, (const float* const* ppSrc, int32_t nChannels, int32_t chanLen, int16_t* pDst))

VP_CORE_JOIN_KERNELS(VP_CORE_DECLARE_KERNEL)
#undef VP_CORE_DECLARE_KERNEL
