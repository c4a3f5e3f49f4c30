// The deblocking threshold tables and the filtering functions of the edge
// logic: each picks its segment and calls the kernel table of the running
// variant.
#include "deblock_filters.h"

const uint8_t AlphaTable[52] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,   0,   0,   0,   0,   0,   4,   4,
    5,  6,  7,  8,  9,  10, 12, 13, 15, 17, 20,  22,  25,  28,  32,  36,  40,  45,
    50, 56, 63, 71, 80, 90, 101, 113, 127, 144, 162, 182, 203, 226, 255, 255};

const uint8_t BetaTable[52] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,
    6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18};

const uint8_t ClipTable[52 * 5] = {
    0, 0, 0, 0, 0,  // 0
    0, 0, 0, 0, 0,  // 1
    0, 0, 0, 0, 0,  // 2
    0, 0, 0, 0, 0,  // 3
    0, 0, 0, 0, 0,  // 4
    0, 0, 0, 0, 0,  // 5
    0, 0, 0, 0, 0,  // 6
    0, 0, 0, 0, 0,  // 7
    0, 0, 0, 0, 0,  // 8
    0, 0, 0, 0, 0,  // 9
    0, 0, 0, 0, 0,  // 10
    0, 0, 0, 0, 0,  // 11
    0, 0, 0, 0, 0,  // 12
    0, 0, 0, 0, 0,  // 13
    0, 0, 0, 0, 0,  // 14
    0, 0, 0, 0, 0,  // 15
    0, 0, 0, 0, 0,  // 16
    0, 0, 0, 1, 1,  // 17
    0, 0, 0, 1, 1,  // 18
    0, 0, 0, 1, 1,  // 19
    0, 0, 0, 1, 1,  // 20
    0, 0, 1, 1, 1,  // 21
    0, 0, 1, 1, 1,  // 22
    0, 1, 1, 1, 1,  // 23
    0, 1, 1, 1, 1,  // 24
    0, 1, 1, 1, 1,  // 25
    0, 1, 1, 1, 1,  // 26
    0, 1, 1, 2, 2,  // 27
    0, 1, 1, 2, 2,  // 28
    0, 1, 1, 2, 2,  // 29
    0, 1, 1, 2, 2,  // 30
    0, 1, 2, 3, 3,  // 31
    0, 1, 2, 3, 3,  // 32
    0, 2, 2, 3, 3,  // 33
    0, 2, 2, 4, 4,  // 34
    0, 2, 3, 4, 4,  // 35
    0, 2, 3, 4, 4,  // 36
    0, 3, 3, 5, 5,  // 37
    0, 3, 4, 6, 6,  // 38
    0, 3, 4, 6, 6,  // 39
    0, 4, 5, 7, 7,  // 40
    0, 4, 5, 8, 8,  // 41
    0, 4, 6, 9, 9,  // 42
    0, 5, 7, 10, 10,  // 43
    0, 6, 8, 11, 11,  // 44
    0, 6, 8, 13, 13,  // 45
    0, 7, 10, 14, 14,  // 46
    0, 8, 11, 16, 16,  // 47
    0, 9, 12, 18, 18,  // 48
    0, 10, 13, 20, 20,  // 49
    0, 11, 15, 23, 23,  // 50
    0, 13, 17, 25, 25,  // 51
};

VIDEO_DSP_DEFINE_SELECTION(DeblockDsp, deblock_dsp)

void build_threshold_table(const int8_t* offsets, ThresholdTable* table) {
  for (int qp = 0; qp < 256; ++qp) table->byQp[qp] = edge_thresholds(qp, offsets);
}

void FilteringProcessVerticalLuma8x8(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  deblock_dsp().luma_lines(q0, pitch, true, 8, bS, qPav, offsets);
}

void FilteringProcessVerticalLuma4x4(uint8_t* q0, int pitch, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  deblock_dsp().luma_lines(q0, pitch, true, 4, bS, qPav, offsets);
}

void FilteringProcessHorizontalLuma8x8(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch) {
  deblock_dsp().luma_lines(q0, pitch, false, 8, bS, qPav, offsets);
}

void FilteringProcessHorizontalLuma4x4(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets, int pitch) {
  deblock_dsp().luma_lines(q0, pitch, false, 4, bS, qPav, offsets);
}

void FilteringProcessVerticalLuma(uint8_t* q0, uint8_t bS, uint8_t qPav, const int8_t* offsets) {
  deblock_dsp().luma_row(q0, bS, qPav, offsets);
}

void FilteringProcessVerticalChroma4x4(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets) {
  deblock_dsp().chroma_lines(a, b, pitch, true, 4, bS, qPavA, qPavB, offsets);
}

void FilteringProcessVerticalChroma2x2(uint8_t* a, uint8_t* b, int pitch, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                       const int8_t* offsets) {
  deblock_dsp().chroma_lines(a, b, pitch, true, 2, bS, qPavA, qPavB, offsets);
}

void FilteringProcessHorizontalChroma4x4(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch) {
  deblock_dsp().chroma_lines(a, b, pitch, false, 4, bS, qPavA, qPavB, offsets);
}

void FilteringProcessHorizontalChroma2x2(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                         const int8_t* offsets, int pitch) {
  deblock_dsp().chroma_lines(a, b, pitch, false, 2, bS, qPavA, qPavB, offsets);
}

void FilteringProcessVerticalChroma(uint8_t* a, uint8_t* b, uint8_t bS, uint8_t qPavA, uint8_t qPavB,
                                    const int8_t* offsets) {
  deblock_dsp().chroma_row(a, b, bS, qPavA, qPavB, offsets);
}
