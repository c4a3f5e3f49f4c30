// Signal-processing core: processor-variant selection, aligned allocation,
// floating-point control, and the vector primitives (copy, fill, arithmetic,
// byte swapping, deinterleave, channel join, sample conversion).
//
// Every primitive exists as `sse2_`, `ssse3_` and `sse41_` members behind one
// public name (see vpDispatch.h); members of one name give bit-identical
// results and statuses. Pointer arguments are checked before lengths (null:
// StatusNullPointer, then a length below 1: StatusSizeError) and nothing is
// written when a call fails. Lengths are element counts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vpDispatch.h"

// Status of every primitive: 0 success, negative error, positive warning
// (the work was done).
using VpStatus = int32_t;
enum : int32_t {
  StatusOk = 0,
  StatusMisalignedBuffer = 2,   // a buffer is not 16-byte aligned; result complete
  StatusNonIntelCpu = 20,       // no CPUID or vendor not "GenuineIntel"; variant chosen anyway
  StatusUnknownCpuType = 21,    // processor-type code not in the table
  StatusCpuNotSupported = 36,   // no variant can run (or the processor lacks the one asked for)
  StatusSizeError = -6,         // a length or count below 1, or an unsupported length
  StatusNullPointer = -8,       // a required pointer is null
  StatusNoMemory = -9,          // no memory for a work buffer
  StatusFftOrderError = -15,    // FFT order out of range
  StatusFftFlagError = -16,     // FFT scaling flag not 1, 2, 4 or 8
  StatusContextMismatch = -17,  // a transform description whose tag does not match
  StatusChannelError = -53,     // channel count below 1
};

// Rounding modes of the float-to-integer conversions; any value other than
// 0 and 1 rounds to nearest with ties away from zero.
enum : int32_t {
  RndZero = 0,
  RndNear = 1,
  RndFinancial = 2,
};

// ---------------------------------------------------------------------------
// Processor features and variant selection.

// Feature word bits.
enum : uint64_t {
  VpCpuMmx = 0x1,
  VpCpuSse = 0x2,
  VpCpuSse2 = 0x4,
  VpCpuSse3 = 0x8,
  VpCpuSsse3 = 0x10,
  VpCpuMovbe = 0x20,
  VpCpuSse41 = 0x40,
  VpCpuSse42 = 0x80,
  VpCpuAvx = 0x100,
  VpCpuAvxUsable = 0x200,
  VpCpuAes = 0x400,
  VpCpuClmul = 0x800,
  VpCpuF11 = 0x1000,
};

// 1 when the SSSE3 variant was chosen on a processor that also has MOVBE.
extern std::atomic<uint32_t> vpVariantIndexLP;

// Selects the variant from the processor's features: 0, StatusNonIntelCpu or
// StatusCpuNotSupported. Every run on one processor writes the same values.
VpStatus vpStaticInit();
VpStatus vpInit();
// Selects the variant named by a processor-type code (-1: as vpStaticInit).
VpStatus vpStaticInitCpu(int32_t cpuCode);
VpStatus vpInitCpu(int32_t cpuCode);
// Feature word into *pFeatures; with pCpuidRegs (4 words) also a CPUID dump.
VpStatus vpGetCpuFeatures(uint64_t* pFeatures, uint32_t* pCpuidRegs);
VpStatus vpSetCpuFeaturesMask(uint64_t mask);
uint64_t vpGetEnabledCpuFeatures();

int32_t ownGetMaskFeatures(uint64_t* pFeatures);
int32_t ownGetFeature(uint64_t wanted);
int32_t ownSetFeatureMask(uint64_t mask);
void ownGetReg(uint32_t* pRegs, uint32_t leaf, uint32_t subleaf);

// Identification record filled by vp_get_pentium_ident.
struct CpuIdentRecord {
  uint32_t family, stepping, model, typeField;
  uint32_t featureEdx, leaf2Eax, leaf2Edx;
  uint32_t mmx, reserved, sse, sse2, htt, sse3, em64t, ssse3, coresOnDie;
  uint32_t sse41, sse42, extFamily, extModel, movbe, avx, osxsave;
};
static_assert(sizeof(CpuIdentRecord) == 23 * 4, "23 words");

int32_t vp_has_cpuid();
uint32_t vp_max_cpuid_input();
int32_t vp_has_rdtsc();
int32_t vp_is_mmx_extension();
int32_t vp_is_ssx_extension();
int32_t vp_is_wni_extension();
int32_t vp_is_htt_extension();
int32_t vp_is_pni_extension();
int32_t vp_is_mni_extension();
int32_t vp_is_sse41_extension();
int32_t vp_is_sse42_extension();
int32_t vp_is_movbe();
int32_t vp_is_avx_extension();
int32_t vp_get_cores_on_die();
int32_t vp_is_em64t_extension();
void vp_get_pentium_ident(CpuIdentRecord* pRecord);
uint64_t vp_get_pentium_counter();
int32_t vp_is_GenuineIntel();

// ---------------------------------------------------------------------------
// Allocation, thread count, cache size, floating-point control.

// The system allocator, reached through these pointers.
extern void* (*i_malloc)(size_t);
extern void* (*i_calloc)(size_t, size_t);
extern void* (*i_realloc)(void*, size_t);
extern void (*i_free)(void*);

// 32-byte-aligned block of len bytes (null for len < 1 or no memory); the
// address of the underlying allocation is kept in the pointer-sized word
// just before the block.
void* vpMalloc(int32_t len);
void vpFree(void* ptr);  // null is ignored
int32_t vpSetNumThreads(int32_t n);
int32_t vpGetNumThreads(int32_t* pNum);  // 1, or StatusNullPointer

// {descriptor, size} pairs ended by a descriptor 0.
struct VpCacheSizeEntry {
  uint32_t descriptor;
  uint32_t size;
};
int32_t ownGetCacheSize(const VpCacheSizeEntry* pTable);
// Largest cache in bytes from the CPUID leaf-2 descriptors, or -1.
int32_t ownLargestCacheSize();

uint32_t vp_set_rc_ssx(uint32_t rc);
void vp_set_cw_ssx(uint32_t value);
uint32_t ps_set_ssx(uint32_t value, uint32_t mask);
uint32_t ps_get_ssx();
uint32_t vp_clear_ssx();
int32_t vp_tst_daz_ssx();
uint16_t ps_set_cw_fpu(uint32_t value, uint32_t mask);
uint16_t ps_get_cw_fpu();
uint16_t ps_get_sw_fpu();
uint16_t ps_clear_fpu();
uint16_t vp_set_rcpc_fpu(uint32_t value, uint32_t mask);
void vp_set_cw_fpu(uint16_t value);
uint32_t vp_control87(uint32_t newValue, uint32_t mask);
uint32_t vp_status87();
uint32_t vp_clear87();
int32_t vp_isnan(double x);
int32_t vp_finite(double x);

// ---------------------------------------------------------------------------
// Primitives. The X-macro lists every dispatched public name:
// X(result, name, four-slot table, (parameters), (arguments)).
#define VP_CORE_PRIMITIVES(X)                                                                                              \
  X(uint8_t*, vpsMalloc_8u, vpsMalloc_8u_arraddr, (int32_t len), (len))                                                    \
  X(void, vpsFree, vpsFree_arraddr, (void* ptr), (ptr))                                                                    \
  X(VpStatus, vpsCopy_8u, vpsCopy_8u_arraddr, (const uint8_t* pSrc, uint8_t* pDst, int32_t len), (pSrc, pDst, len))        \
  X(VpStatus, vpsCopy_32f, vpsCopy_32f_arraddr, (const float* pSrc, float* pDst, int32_t len), (pSrc, pDst, len))          \
  X(VpStatus, vpsZero_8u, vpsZero_8u_arraddr, (uint8_t* pDst, int32_t len), (pDst, len))                                   \
  X(VpStatus, vpsZero_32f, vpsZero_32f_arraddr, (float* pDst, int32_t len), (pDst, len))                                   \
  X(VpStatus, vpsZero_32s, vpsZero_32s_arraddr, (int32_t* pDst, int32_t len), (pDst, len))                                 \
  X(VpStatus, vpsAdd_32f, vpsAdd_32f_arraddr, (const float* pSrc1, const float* pSrc2, float* pDst, int32_t len),          \
    (pSrc1, pSrc2, pDst, len))                                                                                             \
  X(VpStatus, vpsAdd_32f_I, vpsAdd_32f_I_arraddr, (const float* pSrc, float* pSrcDst, int32_t len), (pSrc, pSrcDst, len))  \
  X(VpStatus, vpsSub_32f_I, vpsSub_32f_I_arraddr, (const float* pSrc, float* pSrcDst, int32_t len), (pSrc, pSrcDst, len))  \
  X(VpStatus, vpsMulC_32f, vpsMulC_32f_arraddr, (const float* pSrc, float val, float* pDst, int32_t len),                  \
    (pSrc, val, pDst, len))                                                                                                \
  X(VpStatus, vpsMulC_32f_I, vpsMulC_32f_I_arraddr, (float val, float* pSrcDst, int32_t len), (val, pSrcDst, len))         \
  X(VpStatus, vpsAddProductC_32f, vpsAddProductC_32f_arraddr, (const float* pSrc, float val, float* pSrcDst, int32_t len), \
    (pSrc, val, pSrcDst, len))                                                                                             \
  X(VpStatus, vpsSwapBytes_16u_I, vpsSwapBytes_16u_I_arraddr, (uint16_t* pSrcDst, int32_t len), (pSrcDst, len))            \
  X(VpStatus, vpsSwapBytes_24u_I, vpsSwapBytes_24u_I_arraddr, (uint8_t* pSrcDst, int32_t len), (pSrcDst, len))             \
  X(VpStatus, vpsDeinterleave_32f, vpsDeinterleave_32f_arraddr,                                                            \
    (const float* pSrc, int32_t nChannels, int32_t len, float** ppDst),                                                    \
    (pSrc, nChannels, len, ppDst))                                                                                         \
  X(VpStatus, vpsJoin_32f16s_D2L, vpsJoin_32f16s_D2L_arraddr,                                                              \
    (const float* const* ppSrc, int32_t nChannels, int32_t chanLen, int16_t* pDst),                                        \
    (ppSrc, nChannels, chanLen, pDst))                                                                                     \
  X(VpStatus, vpsConvert_32f16s_Sfs, vpsConvert_32f16s_Sfs_arraddr,                                                        \
    (const float* pSrc, int16_t* pDst, int32_t len, int32_t rndMode, int32_t nScaleFactor),                                \
    (pSrc, pDst, len, rndMode, nScaleFactor))

#define VP_CORE_DECLARE(ret, name, table, params, args) VP_DECLARE_VARIANTS(ret, name, params);
VP_CORE_PRIMITIVES(VP_CORE_DECLARE)
#undef VP_CORE_DECLARE

// Summary of the public primitives (all return StatusOk on success):
//   vpsMalloc_8u(len)                 32-byte-aligned block, null for len < 1
//   vpsFree(ptr)                      releases a vpsMalloc_8u block
//   vpsCopy_8u / vpsCopy_32f          copy len elements (no overlap)
//   vpsZero_8u / _32f / _32s          clear len elements (+0.0 for floats)
//   vpsAdd_32f                        pDst = pSrc1 + pSrc2
//   vpsAdd_32f_I / vpsSub_32f_I       pSrcDst = pSrcDst +/- pSrc
//   vpsMulC_32f / vpsMulC_32f_I       times val (1.0 copies, 0.0 clears)
//   vpsAddProductC_32f                pSrcDst += pSrc * val (never fused)
//   vpsSwapBytes_16u_I                byte order of len 16-bit words
//   vpsSwapBytes_24u_I                bytes 0 and 2 of len 3-byte samples
//   vpsDeinterleave_32f               len frames of nChannels floats into
//                                     nChannels arrays; 2 when misaligned
//   vpsJoin_32f16s_D2L                nChannels float arrays into
//                                     interleaved 16-bit samples, nearest
//                                     even, saturated, NaN 32767
//   vpsConvert_32f16s_Sfs             x * 2^-nScaleFactor to 16 bits with
//                                     rndMode, saturated, NaN 0 (32767 in
//                                     the ties-away mode)
