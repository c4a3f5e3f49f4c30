// Public inverse-MDCT entry points: each calls the member of the variant that
// the process-wide variant index selects.
#include "vpTransforms.h"

VP_DISPATCH_TABLE(vpsMDCTInvGetSize_32f);
VP_DISPATCH_TABLE(vpsMDCTInvInit_32f);
VP_DISPATCH_TABLE(vpsMDCTInv_32f);

VpStatus vpsMDCTInvGetSize_32f(int32_t len, int32_t* pSpecSize, int32_t* pSpecBufferSize, int32_t* pBufSize) {
  return vpSelect(vpsMDCTInvGetSize_32f_arraddr)(len, pSpecSize, pSpecBufferSize, pBufSize);
}
VpStatus vpsMDCTInvInit_32f(MDCTInvSpec_32f** ppSpec, int32_t len, uint8_t* pMemSpec, uint8_t* pMemInit) {
  return vpSelect(vpsMDCTInvInit_32f_arraddr)(ppSpec, len, pMemSpec, pMemInit);
}
VpStatus vpsMDCTInv_32f(const float* pSrc, float* pDst, const MDCTInvSpec_32f* pSpec, uint8_t* pBuffer) {
  return vpSelect(vpsMDCTInv_32f_arraddr)(pSrc, pDst, pSpec, pBuffer);
}
