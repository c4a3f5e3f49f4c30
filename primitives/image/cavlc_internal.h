// Parameter and argument lists of the CAVLC decoders, shared by their
// members (cavlc_body.inc) and their dispatch stubs (vpiCAVLC.cpp).
#pragma once

#include "vpImage.h"

#define CAVLC_COEFFS_PARAMS                                                                                       \
  (uint32_t * *ppBitStream, int32_t * pOffset, int16_t * pNumCoeff, int16_t * *ppPosCoefbuf, uint32_t uVLCSelect, \
   int16_t uMaxNumCoeff, const HuffmanTable_32s* const* ppTblCoeffToken,                                          \
   const HuffmanTable_32s* const* ppTblTotalZeros, const HuffmanTable_32s* const* ppTblRunBefore,                 \
   const int32_t* pScanMatrix)
#define CAVLC_COEFFS_ARGS                                                                                   \
  (ppBitStream, pOffset, pNumCoeff, ppPosCoefbuf, uVLCSelect, uMaxNumCoeff, ppTblCoeffToken, ppTblTotalZeros, \
   ppTblRunBefore, pScanMatrix)
#define CAVLC_CHROMA_PARAMS                                                                                    \
  (uint32_t * *ppBitStream, int32_t * pOffset, int16_t * pNumCoeff, int16_t * *ppPosCoefbuf,                     \
   const HuffmanTable_32s* pTblCoeffToken, const HuffmanTable_32s* const* ppTblTotalZerosCR,                    \
   const HuffmanTable_32s* const* ppTblRunBefore)
#define CAVLC_CHROMA_ARGS \
  (ppBitStream, pOffset, pNumCoeff, ppPosCoefbuf, pTblCoeffToken, ppTblTotalZerosCR, ppTblRunBefore)
