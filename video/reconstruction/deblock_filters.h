// Sample stage of the in-loop deblocking filter: the threshold tables and the
// luma and chroma edge filters. Every pointer addresses q0 of the first line
// of the segment; p samples lie before the edge (left of, or above it).
// offsets points to FilterOffsetA then FilterOffsetB (already doubled).
// bS is 1 to 4; callers skip edges of strength 0.
#pragma once

#include <cstdint>

// alpha'(indexA) and beta'(indexB) for 8-bit samples.
extern const uint8_t AlphaTable[52];
extern const uint8_t BetaTable[52];
// tC0' by indexA and bS: ClipTable[5 * indexA + bS]; column 0 is 0 and
// column 4 repeats column 3.
extern const uint8_t ClipTable[52 * 5];

// Luma: 8 or 4 lines, or one row (vertical edges only).
void FilteringProcessVerticalLuma8x8(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets);
void FilteringProcessVerticalLuma4x4(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets);
void FilteringProcessHorizontalLuma8x8(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch);
void FilteringProcessHorizontalLuma4x4(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch);
void FilteringProcessVerticalLuma(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets);

// Chroma: the same segment of Cb (a) and Cr (b), each with its own qPav.
void FilteringProcessVerticalChroma4x4(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets);
void FilteringProcessVerticalChroma2x2(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets);
void FilteringProcessHorizontalChroma4x4(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch);
void FilteringProcessHorizontalChroma2x2(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch);
void FilteringProcessVerticalChroma(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                    const int8_t* offsets);

// A whole macroblock edge in one call: 16 luma lines, or 8 lines of each
// chroma plane, with bS[k] for luma lines 4k..4k+3 (chroma lines 2k and
// 2k + 1). Segments of bS 0 stay as they are; bS 4 comes on all four
// segments or none. vertical: the edge is a column, its lines are rows.
void filter_luma_edge(uint8_t* q0, int pitch, bool vertical, const uint8_t bS[4], uint8_t qPav,
                      const int8_t* offsets);
void filter_chroma_edge(uint8_t* cb, uint8_t* cr, int pitch, bool vertical, const uint8_t bS[4], uint8_t qPavCb,
                        uint8_t qPavCr, const int8_t* offsets);

// All luma edges of one macroblock from its top-left sample y: vertical[e]
// and horizontal[e] the four strengths of edge e (either may be null: that
// direction is left alone), qp[0] the qPav of edge 0 and qp[1] that of the
// inner edges. Vertical edges first, then horizontal, each in order.
void filter_luma_macroblock(uint8_t* y, int pitch, const uint8_t (*vertical)[4], const uint8_t (*horizontal)[4],
                            const uint8_t qpVertical[2], const uint8_t qpHorizontal[2], const int8_t* offsets);
// The chroma edges of one macroblock (chroma samples 0 and 4, with the
// strengths of luma edges 0 and 2); qp[0] holds the Cb and Cr qPav of edge
// 0, qp[1] those of the inner edge.
void filter_chroma_macroblock(uint8_t* cb, uint8_t* cr, int pitch, const uint8_t (*vertical)[4],
                              const uint8_t (*horizontal)[4], const uint8_t (*qpVertical)[2],
                              const uint8_t (*qpHorizontal)[2], const int8_t* offsets);
