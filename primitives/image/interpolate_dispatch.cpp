// Public names of the interpolation, averaging and weighting primitives:
// one jump through each four-slot table by the process-wide variant index.
#include "interpolate_internal.h"
#include "vpiInterpolate.h"

#define VPI_DISPATCH(ret, name, sse2Member, ssse3Member, sse41Member, params) VP_DISPATCH_TABLE(name);
VPI_INTERPOLATE_PRIMITIVES(VPI_DISPATCH)
#undef VPI_DISPATCH

const VpKernelFn* const h264_interpolate_luma_kernels_arraddr[4] = {
    sse2::h264_interpolate_luma_type_table_8u_w7m7, sse2::h264_interpolate_luma_type_table_8u_w7m7,
    ssse3::h264_interpolate_luma_type_table_8u_v8u8, sse41::h264_interpolate_luma_type_table_8u_v8u8};

VpStatus vpiInterpolateLumaBlock_H264_8u_P1R(const InterpolateBlockParams* pParams) {
  return vpSelect(vpiInterpolateLumaBlock_H264_8u_P1R_arraddr)(pParams);
}

VpStatus vpiInterpolateChromaBlock_H264_8u_P2R(const InterpolateBlockParams* pParams) {
  return vpSelect(vpiInterpolateChromaBlock_H264_8u_P2R_arraddr)(pParams);
}

VpStatus vpiInterpolateBlock_H264_8u_P3P1R(const uint8_t* pSrc1, const uint8_t* pSrc2, uint8_t* pDst, uint32_t width,
                                           uint32_t height, int32_t src1Step, int32_t src2Step, int32_t dstStep) {
  return vpSelect(vpiInterpolateBlock_H264_8u_P3P1R_arraddr)(pSrc1, pSrc2, pDst, width, height, src1Step, src2Step,
                                                             dstStep);
}

VpStatus vpiUniDirWeightBlock_H264_8u_C1IR(uint8_t* pSrcDst, uint32_t srcDstStep, uint32_t logWD, int32_t weight,
                                           int32_t offset, uint32_t roiWidth, uint32_t roiHeight) {
  return vpSelect(vpiUniDirWeightBlock_H264_8u_C1IR_arraddr)(pSrcDst, srcDstStep, logWD, weight, offset, roiWidth,
                                                             roiHeight);
}

VpStatus vpiWeightedAverage_H264_8u_C1IR(const uint8_t* pSrc1, uint8_t* pSrcDst, int32_t srcDstStep, int32_t weight1,
                                         int32_t weight2, int32_t shift, int32_t offset, int32_t roiWidth,
                                         int32_t roiHeight) {
  return vpSelect(vpiWeightedAverage_H264_8u_C1IR_arraddr)(pSrc1, pSrcDst, srcDstStep, weight1, weight2, shift,
                                                           offset, roiWidth, roiHeight);
}
