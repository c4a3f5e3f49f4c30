// H.264 inter-prediction primitives: sub-sample interpolation (quarter
// steps for luma, eighth steps for chroma), with samples outside the
// reference picture taken from its nearest edge, rounded averaging and
// explicit weighting of prediction blocks.
//
// Every public primitive has three members (sse2_, ssse3_, sse41_) behind a
// four-slot dispatch table (vpDispatch.h). The members share one kernel body
// compiled per instruction set, so their results are identical.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vpCore.h"
#include "vpDispatch.h"
#include "vpImage.h"

// Parameter block of the two interpolation entry points, filled by the
// decoder's inter-prediction layer. The luma entry point ignores pSrc[1] and
// pDst[1].
struct InterpolateBlockParams {
  const uint8_t* pSrc[2];  // reference plane origins (column 0, row 0): luma, or Cb and Cr
  int32_t srcStep;         // bytes between reference rows (both planes)
  uint8_t* pDst[2];        // top-left sample of the predicted block of each plane
  int32_t dstStep;         // bytes between destination rows (both planes)
  int32_t frameWidth;      // valid columns of the reference planes: the picture's own width
  int32_t frameHeight;     // valid rows of the reference planes
  int32_t blockWidth;      // in samples of the plane
  int32_t blockHeight;
  int32_t blockX;          // block position in the plane
  int32_t blockY;
  int32_t mvX;             // quarter samples (luma) or eighth samples (chroma)
  int32_t mvY;
};

// Working record of one interpolation, built by a front end and handed to
// its kernels and to the edge fetch.
struct InterpolateKernelParams {
  const uint8_t* pSrc;   // kernel: first source sample; fetch: plane origin
  int32_t srcStep;
  uint8_t* pDst;         // kernel: destination block; fetch: scratch area
  int32_t dstStep;
  int32_t dx;            // eighth-sample fractions (chroma only)
  int32_t dy;
  int32_t width;
  int32_t height;
  int32_t kernelIndex;
  int32_t windowX;       // plane position of the window's first sample
  int32_t windowY;
  int32_t windowWidth;
  int32_t windowHeight;
  int32_t frameWidth;
  int32_t frameHeight;
  const uint8_t* pSrc2;  // second chroma plane
  uint8_t* pDst2;
};

// A kernel of the interpolation front ends: reads and writes through the
// working record.
using VpKernelFn = void (*)(InterpolateKernelParams* params);

// The luma kernel tables of the front ends in the four dispatch slots
// (index ((width * 2) & 48) | dy << 2 | dx for widths 4, 8 and 16). A kernel
// reads only pSrc (the integer sample G of the block's first sample),
// srcStep, pDst, dstStep and height of the record.
extern const VpKernelFn* const h264_interpolate_luma_kernels_arraddr[4];

// The luma front end's inner path for callers that interpolate many blocks:
// when the filter window of the width x height block (width 4, 8 or 16,
// height 4..16 and a multiple of 4) at integer sample (x, y) with quarter
// fractions (dx, dy) lies inside the frameWidth x frameHeight plane at
// `plane`, runs the kernel of the current variant on it and returns true:
// the same samples as vpiInterpolateLumaBlock_H264_8u_P1R, without its
// checks and edge fetch. Returns false, having done nothing, otherwise.
inline bool vpiInterpolateLumaInside(const uint8_t* plane, int32_t step, int32_t frameWidth, int32_t frameHeight,
                                     int32_t x, int32_t y, int32_t dx, int32_t dy, int32_t width, int32_t height,
                                     uint8_t* dst, int32_t dstStep) {
  const int32_t left = dx != 0 ? x - 2 : x, right = dx != 0 ? x + width + 3 : x + width;
  const int32_t top = dy != 0 ? y - 2 : y, bottom = dy != 0 ? y + height + 3 : y + height;
  if (left < 0 || top < 0 || right > frameWidth || bottom > frameHeight) return false;
  InterpolateKernelParams k;
  k.pSrc = plane + static_cast<ptrdiff_t>(y) * step + x;
  k.srcStep = step;
  k.pDst = dst;
  k.dstStep = dstStep;
  k.height = height;
  vpSelect(h264_interpolate_luma_kernels_arraddr)[((width * 2) & 48) | (dy << 2) | dx](&k);
  return true;
}

// Statuses of these primitives beyond those of vpCore.h.
// A weighting shift beyond 31 bits gives StatusOutOfRange (vpImage.h).
enum : int32_t {
  StatusWidthAboveStep = -14,  // the block is wider than its row step
};

// Edge-replicating fetch of a reference window (side flags: left 1, right 2,
// top 4, bottom 8). Each table entry copies the window described by words
// 9..14 of the record from the plane at pSrc into the scratch area at pDst,
// every sample beyond a flagged side replaced by the nearest edge sample.
using VpEdgeFetchFn = void (*)(InterpolateKernelParams* params);
extern const VpEdgeFetchFn read_data_through_boundary_table_8u_pxmx[16];
// Interleaved (Cb, Cr) byte pairs: positions and widths in pairs, steps in bytes.
extern const VpEdgeFetchFn read_data_through_boundary_table_nv12_8u_pxmx[16];
// 16-bit samples: the pointers address uint16_t data, steps count samples.
extern const VpEdgeFetchFn read_data_through_boundary_table_16u_pxmx[16];

int32_t sse2_vpiReadDataBlockThroughBoundary_8u(uint32_t flags, InterpolateKernelParams* params);
int32_t ssse3_vpiReadDataBlockThroughBoundary_8u(uint32_t flags, InterpolateKernelParams* params);
int32_t sse41_vpiReadDataBlockThroughBoundary_8u(uint32_t flags, InterpolateKernelParams* params);

// The public primitives: public name, its SSE2, SSSE3 and SSE4.1 members,
// parameters.
#define VPI_INTERPOLATE_PRIMITIVES(X)                                                                 \
  X(VpStatus, vpiInterpolateLumaBlock_H264_8u_P1R,                                                    \
    sse2_vpiInterpolateLumaBlock_H264_8u_P1R, ssse3_vpiInterpolateLumaBlock_H264_8u_P1R,              \
    sse41_vpiInterpolateLumaBlock_H264_8u_P1R,                                                        \
    (const InterpolateBlockParams* pParams))                                                          \
  X(VpStatus, vpiInterpolateChromaBlock_H264_8u_P2R,                                                  \
    sse2_vpiInterpolateChromaBlock_H264_8u_P2R, ssse3_vpiInterpolateChromaBlock_H264_8u_P2R,          \
    sse41_vpiInterpolateChromaBlock_H264_8u_P2R,                                                      \
    (const InterpolateBlockParams* pParams))                                                          \
  X(VpStatus, vpiInterpolateBlock_H264_8u_P3P1R,                                                      \
    sse2_vpiInterpolateBlock_H264_8u_P3P1R, ssse3_vpiInterpolateBlock_H264_8u_P3P1R,                  \
    sse41_vpiInterpolateBlock_H264_8u_P3P1R,                                                          \
    (const uint8_t* pSrc1, const uint8_t* pSrc2, uint8_t* pDst, uint32_t width, uint32_t height,      \
     int32_t src1Step, int32_t src2Step, int32_t dstStep))                                            \
  X(VpStatus, vpiUniDirWeightBlock_H264_8u_C1IR,                                                      \
    sse2_vpiUniDirWeightBlock_H264_8u_C1IR, ssse3_vpiUniDirWeightBlock_H264_8u_C1IR,                  \
    sse41_vpiUniDirWeightBlock_H264_8u_C1IR,                                                          \
    (uint8_t* pSrcDst, uint32_t srcDstStep, uint32_t logWD, int32_t weight, int32_t offset,           \
     uint32_t roiWidth, uint32_t roiHeight))                                                                   \
  X(VpStatus, vpiWeightedAverage_H264_8u_C1IR,                                                        \
    sse2_vpiWeightedAverage_H264_8u_C1IR, ssse3_vpiWeightedAverage_H264_8u_C1IR,                      \
    sse41_vpiWeightedAverage_H264_8u_C1IR,                                                            \
    (const uint8_t* pSrc1, uint8_t* pSrcDst, int32_t srcDstStep, int32_t weight1, int32_t weight2,    \
     int32_t shift, int32_t offset, int32_t roiWidth, int32_t roiHeight))

#define VPI_DECLARE_PRIMITIVE(ret, name, sse2Member, ssse3Member, sse41Member, params) \
  ret sse2Member params;                                                               \
  ret ssse3Member params;                                                              \
  ret sse41Member params;                                                              \
  ret name params;
VPI_INTERPOLATE_PRIMITIVES(VPI_DECLARE_PRIMITIVE)
#undef VPI_DECLARE_PRIMITIVE

// In-place body of the single-list weighting (the C1IR members hand over to
// it), and the boundary paths of the interpolation front ends: the window of
// the record is fetched with replicated edges (side flags 1..15) and the
// record's kernel runs on the copy; they return 0.
#define VPI_VARIANT_INTERNALS(X)                                                                      \
  X(VpStatus, vpiUniDirWeightBlock_H264_8u_C1R,                                                       \
    sse2_vpiUniDirWeightBlock_H264_8u_C1R, ssse3_vpiUniDirWeightBlock_H264_8u_C1R,                    \
    sse41_vpiUniDirWeightBlock_H264_8u_C1R,                                                           \
    (uint8_t* pSrcDst, uint32_t srcDstStep, uint32_t logWD, int32_t weight, int32_t offset,           \
     uint32_t roiWidth, uint32_t roiHeight))                                                                   \
  X(int32_t, vpiInterpolateBoundaryLumaBlock_H264_8u,                                                 \
    sse2_vpiInterpolateBoundaryLumaBlock_H264_8u, ssse3_vpiInterpolateBoundaryLumaBlock_H264_8u,      \
    sse41_vpiInterpolateBoundaryLumaBlock_H264_8u,                                                    \
    (uint32_t flags, InterpolateKernelParams* pKernelParams))                                         \
  X(int32_t, vpiInterpolateBoundaryChromaBlock_H264_8u,                                               \
    sse2_vpiInterpolateBoundaryChromaBlock_H264_8u, ssse3_vpiInterpolateBoundaryChromaBlock_H264_8u,  \
    sse41_vpiInterpolateBoundaryChromaBlock_H264_8u,                                                  \
    (uint32_t flags, InterpolateKernelParams* pKernelParams))

#define VPI_DECLARE_INTERNAL(ret, name, sse2Member, ssse3Member, sse41Member, params) \
  ret sse2Member params;                                                              \
  ret ssse3Member params;                                                             \
  ret sse41Member params;
VPI_VARIANT_INTERNALS(VPI_DECLARE_INTERNAL)
#undef VPI_DECLARE_INTERNAL
