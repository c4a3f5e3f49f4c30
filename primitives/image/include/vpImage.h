// H.264 pixel and coefficient primitives.
//
// Every public name dispatches through its four-slot table (vpDispatch.h).
// Statuses are those of vpCore.h plus the ones listed per section.
#pragma once

#include <cstdint>

#include "vpCore.h"

enum : int32_t {
  StatusOutOfRange = -11,  // an argument (or a code list word) out of its range
  StatusVlcBadCode = -74,  // the bits read match no code of the VLC tables
};

// ---------------------------------------------------------------------------
// Multi-level VLC tables.
//
// A table is a flat array of 32-bit words: word 0 holds the index bits of the
// first level, the first level's entries follow, then every sub-table as a
// header word (its index bits) and its entries. An entry is a link
// ((word index of the sub-table header << 8) | 0x80), a terminal
// ((value << 8) | giveBack) of a value table, a terminal
// ((level << 16) | (run << 8) | giveBack) of a run-level table, or 0x00F0F101
// when no code starts with the bits read. giveBack is the number of bits read
// for the lookup that belong to the next code.
//
// Code list (read-only 32-bit words): longest code length, number N of
// levels, N index-bit counts, then for code lengths 1, 2, 3, ... in turn a
// count c followed by c entries of (code, value) or (code, run, level); a
// negative count ends the list. A code is given by its low `length` bits.

struct HuffmanTable_32s;

// Builds a value table. 0; StatusNullPointer; StatusNoMemory;
// StatusOutOfRange for a list that does not describe a prefix code within
// its levels (the out pointer is then not written).
VpStatus vpiHuffmanTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable);
// The same for (code, run, level) lists.
VpStatus vpiHuffmanRunLevelTableInitAlloc_32s(const int32_t* pCodeList, HuffmanTable_32s** ppTable);
// Frees a table of either builder. 0, or StatusNullPointer.
VpStatus vpiHuffmanTableFree_32s(HuffmanTable_32s* pTable);

// ---------------------------------------------------------------------------
// CAVLC coefficient decoding.
//
// The bit cursor is two things: a pointer to the current word of the slice
// data, which is kept as 32-bit words in host byte order (bit 31 first), and
// a bit offset 31..0 naming the next bit of that word. The decoders read ahead:
// the buffer must stay readable for one
// whole word beyond the word that holds the block's last bit.
//
// The block decoding itself is the template of cavlc_block.h, which the slice
// decoder instantiates with its own code tables and coefficient stores; the
// members here instantiate it with a walk of the caller's tables.

// One residual block of 16 (maxNumCoeff 16) or 15 (maxNumCoeff 15, scan
// position 0 left free) coefficients. ppTblCoeffToken holds the tables for
// nC 0..1, 2..3 and 4..7 (nC of 8 or more is a fixed 6-bit code);
// ppTblTotalZeros is indexed by TotalCoeff (1..15), ppTblRunBefore by
// zerosLeft (1..14, slots 7.. hold the same table). With TotalCoeff > 0 the
// 16 values at *ppPosCoefbuf are cleared, coefficient of scan position p is
// stored at index pScanMatrix[p] and *ppPosCoefbuf advances by 16.
// 0; StatusNullPointer; StatusOutOfRange (maxNumCoeff, negative nC);
// StatusVlcBadCode (no code matches, or the block would not fit its
// coefficients), with the cursor restored.
VP_DECLARE_VARIANTS(VpStatus, vpiDecodeCAVLCCoeffs_H264_1u16s,
                    (uint32_t * *ppBitStream, int32_t* pOffset, int16_t* pNumCoeff, int16_t** ppPosCoefbuf,
                     uint32_t uVLCSelect, int16_t uMaxNumCoeff, const HuffmanTable_32s* const* ppTblCoeffToken,
                     const HuffmanTable_32s* const* ppTblTotalZeros, const HuffmanTable_32s* const* ppTblRunBefore,
                     const int32_t* pScanMatrix));

// One 2x2 chroma DC block of 4:2:0 video (nC = -1): four values in raster
// order at *ppPosCoefbuf, which advances by 4 when TotalCoeff > 0.
// pTblTotalZerosCR is indexed by TotalCoeff (1..3).
VP_DECLARE_VARIANTS(VpStatus, vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s,
                    (uint32_t * *ppBitStream, int32_t* pOffset, int16_t* pNumCoeff, int16_t** ppPosCoefbuf,
                     const HuffmanTable_32s* pTblCoeffToken, const HuffmanTable_32s* const* ppTblTotalZerosCR,
                     const HuffmanTable_32s* const* ppTblRunBefore));

// The ten arguments of vpiDecodeCAVLCCoeffs_H264_1u16s in their order: the
// argument of its decoder, which each member calls after the argument
// checks (same statuses, from the coeff_token on).
struct CavlcCoeffsArgs {
  uint32_t** ppBitStream;
  int32_t* pOffset;
  int16_t* pNumCoeff;
  int16_t** ppPosCoefbuf;
  uint32_t uVLCSelect;
  int16_t uMaxNumCoeff;
  const HuffmanTable_32s* const* ppTblCoeffToken;
  const HuffmanTable_32s* const* ppTblTotalZeros;
  const HuffmanTable_32s* const* ppTblRunBefore;
  const int32_t* pScanMatrix;
};
VpStatus sse2_decode_coeffs_cavlc_h264_mmp(const CavlcCoeffsArgs* args);
VpStatus ssse3_decode_coeffs_cavlc_h264_mmp(const CavlcCoeffsArgs* args);
VpStatus sse41_decode_coeffs_cavlc_h264_mmp(const CavlcCoeffsArgs* args);

// Exp-Golomb readers on the same cursor: one code, stored as ue(v)
// (isSigned 0) or se(v). The 16-bit reader decodes codes of up to 16
// leading zeros (storing the low 16 bits), the 32-bit one up to 31; a longer
// code is consumed whole and gives 0. Only the words holding bits of the
// code are read. 0; StatusNullPointer; StatusOutOfRange (offset beyond 31).
VpStatus sse2_decode_exp_golomb_one_16s_mmp(uint32_t** ppBitStream, int32_t* pOffset, int16_t* pDst, int32_t isSigned);
VpStatus ssse3_decode_exp_golomb_one_16s_mmp(uint32_t** ppBitStream, int32_t* pOffset, int16_t* pDst, int32_t isSigned);
VpStatus sse41_decode_exp_golomb_one_16s_mmp(uint32_t** ppBitStream, int32_t* pOffset, int16_t* pDst, int32_t isSigned);
VpStatus sse2_decode_exp_golomb_one_32s_mmp(uint32_t** ppBitStream, int32_t* pOffset, int32_t* pDst, int32_t isSigned);
VpStatus ssse3_decode_exp_golomb_one_32s_mmp(uint32_t** ppBitStream, int32_t* pOffset, int32_t* pDst, int32_t isSigned);
VpStatus sse41_decode_exp_golomb_one_32s_mmp(uint32_t** ppBitStream, int32_t* pOffset, int32_t* pDst, int32_t isSigned);

// ---------------------------------------------------------------------------
// Interpolation, averaging, weighting and edge-replicating fetch.
#include "vpiInterpolate.h"
