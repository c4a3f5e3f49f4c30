// Member lists of the whole-macroblock inter prediction families. Each list
// names every member once with the MbTypeCode it serves; it is expanded where
// the members are declared, defined (one line each, forwarding to the
// family's template), put into the reconstruction drivers' dispatch tables,
// and checked by the coverage test.
//
// Columns: member name, its twin for MBAFF frames, slice kind (P or B),
// MbTypeCode, number of reference
// lists the member takes (ONE: refList; TWO: refList0, refList1), and, for
// the partition families, the weighting routine of motion prediction.
#pragma once

// Luma members with one or two motion partitions (16x16, 16x8, 8x16).
#define INTER_LUMA_PARTITION_MEMBERS(X)                                                          \
  X(DecodeInterPredictionSamples_P_16x16, DecodeInterPredictionSamples_P_16x16_mbaff,            \
    P, 20, ONE, WeightedSamplePrediction_L0_16x16)                                               \
  X(DecodeInterPredictionSamples_B_L0_16x16, DecodeInterPredictionSamples_B_L0_16x16_mbaff,      \
    B, 20, ONE, WeightedSamplePrediction_L0_16x16)                                               \
  X(DecodeInterPredictionSamples_B_L1_16x16, DecodeInterPredictionSamples_B_L1_16x16_mbaff,      \
    B, 40, ONE, WeightedSamplePrediction_L1_16x16)                                               \
  X(DecodeInterPredictionSamples_Bi_16x16, DecodeInterPredictionSamples_Bi_16x16_mbaff,          \
    B, 60, TWO, WeightedSamplePrediction_Bi_16x16)                                               \
  X(DecodeInterPredictionSamples_P_16x8, DecodeInterPredictionSamples_P_16x8_mbaff,              \
    P, 21, ONE, WeightedSamplePrediction_L0_L0_16x8)                                             \
  X(DecodeInterPredictionSamples_B_L0_L0_16x8, DecodeInterPredictionSamples_B_L0_L0_16x8_mbaff,  \
    B, 21, ONE, WeightedSamplePrediction_L0_L0_16x8)                                             \
  X(DecodeInterPredictionSamples_B_L1_L1_16x8, DecodeInterPredictionSamples_B_L1_L1_16x8_mbaff,  \
    B, 41, ONE, WeightedSamplePrediction_L1_L1_16x8)                                             \
  X(DecodeInterPredictionSamples_B_L0_L1_16x8, DecodeInterPredictionSamples_B_L0_L1_16x8_mbaff,  \
    B, 25, TWO, WeightedSamplePrediction_L0_L1_16x8)                                             \
  X(DecodeInterPredictionSamples_B_L1_L0_16x8, DecodeInterPredictionSamples_B_L1_L0_16x8_mbaff,  \
    B, 37, TWO, WeightedSamplePrediction_L1_L0_16x8)                                             \
  X(DecodeInterPredictionSamples_B_L0_Bi_16x8, DecodeInterPredictionSamples_B_L0_Bi_16x8_mbaff,  \
    B, 29, TWO, WeightedSamplePrediction_L0_Bi_16x8)                                             \
  X(DecodeInterPredictionSamples_B_L1_Bi_16x8, DecodeInterPredictionSamples_B_L1_Bi_16x8_mbaff,  \
    B, 45, TWO, WeightedSamplePrediction_L1_Bi_16x8)                                             \
  X(DecodeInterPredictionSamples_B_Bi_L0_16x8, DecodeInterPredictionSamples_B_Bi_L0_16x8_mbaff,  \
    B, 53, TWO, WeightedSamplePrediction_Bi_L0_16x8)                                             \
  X(DecodeInterPredictionSamples_B_Bi_L1_16x8, DecodeInterPredictionSamples_B_Bi_L1_16x8_mbaff,  \
    B, 57, TWO, WeightedSamplePrediction_Bi_L1_16x8)                                             \
  X(DecodeInterPredictionSamples_B_Bi_Bi_16x8, DecodeInterPredictionSamples_B_Bi_Bi_16x8_mbaff,  \
    B, 61, TWO, WeightedSamplePrediction_Bi_Bi_16x8)                                             \
  X(DecodeInterPredictionSamples_P_8x16, DecodeInterPredictionSamples_P_8x16_mbaff,              \
    P, 22, ONE, WeightedSamplePrediction_L0_L0_8x16)                                             \
  X(DecodeInterPredictionSamples_B_L0_L0_8x16, DecodeInterPredictionSamples_B_L0_L0_8x16_mbaff,  \
    B, 22, ONE, WeightedSamplePrediction_L0_L0_8x16)                                             \
  X(DecodeInterPredictionSamples_B_L1_L1_8x16, DecodeInterPredictionSamples_B_L1_L1_8x16_mbaff,  \
    B, 42, ONE, WeightedSamplePrediction_L1_L1_8x16)                                             \
  X(DecodeInterPredictionSamples_B_L0_L1_8x16, DecodeInterPredictionSamples_B_L0_L1_8x16_mbaff,  \
    B, 26, TWO, WeightedSamplePrediction_L0_L1_8x16)                                             \
  X(DecodeInterPredictionSamples_B_L1_L0_8x16, DecodeInterPredictionSamples_B_L1_L0_8x16_mbaff,  \
    B, 38, TWO, WeightedSamplePrediction_L1_L0_8x16)                                             \
  X(DecodeInterPredictionSamples_B_L0_Bi_8x16, DecodeInterPredictionSamples_B_L0_Bi_8x16_mbaff,  \
    B, 30, TWO, WeightedSamplePrediction_L0_Bi_8x16)                                             \
  X(DecodeInterPredictionSamples_B_L1_Bi_8x16, DecodeInterPredictionSamples_B_L1_Bi_8x16_mbaff,  \
    B, 46, TWO, WeightedSamplePrediction_L1_Bi_8x16)                                             \
  X(DecodeInterPredictionSamples_B_Bi_L0_8x16, DecodeInterPredictionSamples_B_Bi_L0_8x16_mbaff,  \
    B, 54, TWO, WeightedSamplePrediction_Bi_L0_8x16)                                             \
  X(DecodeInterPredictionSamples_B_Bi_L1_8x16, DecodeInterPredictionSamples_B_Bi_L1_8x16_mbaff,  \
    B, 58, TWO, WeightedSamplePrediction_Bi_L1_8x16)                                             \
  X(DecodeInterPredictionSamples_B_Bi_Bi_8x16, DecodeInterPredictionSamples_B_Bi_Bi_8x16_mbaff,  \
    B, 62, TWO, WeightedSamplePrediction_Bi_Bi_8x16)

// Luma members whose motion is derived, not coded as partitions.
#define INTER_LUMA_SKIP_MEMBERS(X)                                                                    \
  X(DecodeInterPredictionSamples_P_Skip, DecodeInterPredictionSamples_P_Skip_mbaff, P, 147, ONE)      \
  X(DecodeInterPredictionSamples_B_Skip, DecodeInterPredictionSamples_B_Skip_mbaff, B, 227, TWO)      \
  X(DecodeInterPredictionSamples_B_Direct, DecodeInterPredictionSamples_B_Direct_mbaff, B, 107, TWO)

// Chroma members: the same codes; they read the motion the luma members left.
#define INTER_CHROMA_MEMBERS(X)                                                                                      \
  X(DecodeInterPredictionSamplesChroma_P_16x16, DecodeInterPredictionSamplesChroma_P_16x16_mbaff, P, 20, ONE)        \
  X(DecodeInterPredictionSamplesChroma_B_L0_16x16, DecodeInterPredictionSamplesChroma_B_L0_16x16_mbaff, B, 20, ONE)  \
  X(DecodeInterPredictionSamplesChroma_B_L1_16x16, DecodeInterPredictionSamplesChroma_B_L1_16x16_mbaff, B, 40, ONE)  \
  X(DecodeInterPredictionSamplesChroma_Bi_16x16, DecodeInterPredictionSamplesChroma_Bi_16x16_mbaff, B, 60, TWO)      \
  X(DecodeInterPredictionSamplesChroma_P_16x8, DecodeInterPredictionSamplesChroma_P_16x8_mbaff, P, 21, ONE)          \
  X(DecodeInterPredictionSamplesChroma_B_L0_L0_16x8, DecodeInterPredictionSamplesChroma_B_L0_L0_16x8_mbaff,          \
    B, 21, ONE)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L1_L1_16x8, DecodeInterPredictionSamplesChroma_B_L1_L1_16x8_mbaff,          \
    B, 41, ONE)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L0_L1_16x8, DecodeInterPredictionSamplesChroma_B_L0_L1_16x8_mbaff,          \
    B, 25, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L1_L0_16x8, DecodeInterPredictionSamplesChroma_B_L1_L0_16x8_mbaff,          \
    B, 37, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L0_Bi_16x8, DecodeInterPredictionSamplesChroma_B_L0_Bi_16x8_mbaff,          \
    B, 29, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L1_Bi_16x8, DecodeInterPredictionSamplesChroma_B_L1_Bi_16x8_mbaff,          \
    B, 45, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_Bi_L0_16x8, DecodeInterPredictionSamplesChroma_B_Bi_L0_16x8_mbaff,          \
    B, 53, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_Bi_L1_16x8, DecodeInterPredictionSamplesChroma_B_Bi_L1_16x8_mbaff,          \
    B, 57, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_Bi_Bi_16x8, DecodeInterPredictionSamplesChroma_B_Bi_Bi_16x8_mbaff,          \
    B, 61, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_P_8x16, DecodeInterPredictionSamplesChroma_P_8x16_mbaff, P, 22, ONE)          \
  X(DecodeInterPredictionSamplesChroma_B_L0_L0_8x16, DecodeInterPredictionSamplesChroma_B_L0_L0_8x16_mbaff,          \
    B, 22, ONE)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L1_L1_8x16, DecodeInterPredictionSamplesChroma_B_L1_L1_8x16_mbaff,          \
    B, 42, ONE)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L0_L1_8x16, DecodeInterPredictionSamplesChroma_B_L0_L1_8x16_mbaff,          \
    B, 26, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L1_L0_8x16, DecodeInterPredictionSamplesChroma_B_L1_L0_8x16_mbaff,          \
    B, 38, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L0_Bi_8x16, DecodeInterPredictionSamplesChroma_B_L0_Bi_8x16_mbaff,          \
    B, 30, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_L1_Bi_8x16, DecodeInterPredictionSamplesChroma_B_L1_Bi_8x16_mbaff,          \
    B, 46, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_Bi_L0_8x16, DecodeInterPredictionSamplesChroma_B_Bi_L0_8x16_mbaff,          \
    B, 54, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_Bi_L1_8x16, DecodeInterPredictionSamplesChroma_B_Bi_L1_8x16_mbaff,          \
    B, 58, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_B_Bi_Bi_8x16, DecodeInterPredictionSamplesChroma_B_Bi_Bi_8x16_mbaff,          \
    B, 62, TWO)                                                                                                      \
  X(DecodeInterPredictionSamplesChroma_P_Skip, DecodeInterPredictionSamplesChroma_P_Skip_mbaff, P, 147, ONE)         \
  X(DecodeInterPredictionSamplesChroma_B_Skip, DecodeInterPredictionSamplesChroma_B_Skip_mbaff, B, 227, TWO)         \
  X(DecodeInterPredictionSamplesChroma_B_Direct_16x16, DecodeInterPredictionSamplesChroma_B_Direct_16x16_mbaff,      \
    B, 107, TWO)

// Chroma partition workers: one per list use and shape; code is the
// partition's prediction (1 L0, 2 L1, 3 Bi) and shape bits of MbTypeCode.
#define INTER_CHROMA_WORKERS(X)                                                                         \
  X(GetInterPredictionSamplesChroma_L0_16x8, GetInterPredictionSamplesChroma_L0_16x8_mbaff, 1, 1, ONE)  \
  X(GetInterPredictionSamplesChroma_L1_16x8, GetInterPredictionSamplesChroma_L1_16x8_mbaff, 2, 1, ONE)  \
  X(GetInterPredictionSamplesChroma_Bi_16x8, GetInterPredictionSamplesChroma_Bi_16x8_mbaff, 3, 1, TWO)  \
  X(GetInterPredictionSamplesChroma_L0_8x16, GetInterPredictionSamplesChroma_L0_8x16_mbaff, 1, 2, ONE)  \
  X(GetInterPredictionSamplesChroma_L1_8x16, GetInterPredictionSamplesChroma_L1_8x16_mbaff, 2, 2, ONE)  \
  X(GetInterPredictionSamplesChroma_Bi_8x16, GetInterPredictionSamplesChroma_Bi_8x16_mbaff, 3, 2, TWO)

// ---- Sub-macroblock share (P_8x8, P_8x8ref0, B_8x8). The picture column
// names the picture kind a member serves (FRAME: frame and field pictures;
// MBAFF rows are defined with the MBAFF members, from the same templates).
//
// Drivers: luma member, chroma member, slice kind, picture kind, lists taken,
// then the MbTypeCodes they serve.
#define INTER_SUBMB_DRIVERS(X)                                                                                     \
  X(DecodeInterPredictionSamples_P_8x8, DecodeInterPredictionSamplesChroma_P_8x8, P, FRAME, ONE, 3, 35)          \
  X(DecodeInterPredictionSamples_B_8x8, DecodeInterPredictionSamplesChroma_B_8x8, B, FRAME, TWO, 3)            \
  X(DecodeInterPredictionSamples_P_8x8_mbaff, DecodeInterPredictionSamplesChroma_P_8x8_mbaff, P, MBAFF, ONE, 3,  \
    35)                                                                                                          \
  X(DecodeInterPredictionSamples_B_8x8_mbaff, DecodeInterPredictionSamplesChroma_B_8x8_mbaff, B, MBAFF, TWO, 3)

// Quadrant members of one list: name, picture kind, list (0, 1) and
// sub-macroblock shape (0 8x8, 1 8x4, 2 4x8, 3 4x4: bits 5-6 of the
// SubMbTypeCode). The P_L0 members serve list 0 of P and B slices.
#define INTER_SUBMB_LUMA_MEMBERS(X)                                                                         \
  X(CreateInterPrediction_P_L0_8x8, FRAME, 0, 0) X(CreateInterPrediction_P_L0_8x4, FRAME, 0, 1)             \
  X(CreateInterPrediction_P_L0_4x8, FRAME, 0, 2) X(CreateInterPrediction_P_L0_4x4, FRAME, 0, 3)             \
  X(CreateInterPrediction_B_L1_8x8, FRAME, 1, 0) X(CreateInterPrediction_B_L1_8x4, FRAME, 1, 1)             \
  X(CreateInterPrediction_B_L1_4x8, FRAME, 1, 2) X(CreateInterPrediction_B_L1_4x4, FRAME, 1, 3)             \
  X(CreateInterPrediction_P_L0_8x8_mbaff, MBAFF, 0, 0) X(CreateInterPrediction_P_L0_8x4_mbaff, MBAFF, 0, 1) \
  X(CreateInterPrediction_P_L0_4x8_mbaff, MBAFF, 0, 2) X(CreateInterPrediction_P_L0_4x4_mbaff, MBAFF, 0, 3) \
  X(CreateInterPrediction_B_L1_8x8_mbaff, MBAFF, 1, 0) X(CreateInterPrediction_B_L1_8x4_mbaff, MBAFF, 1, 1) \
  X(CreateInterPrediction_B_L1_4x8_mbaff, MBAFF, 1, 2) X(CreateInterPrediction_B_L1_4x4_mbaff, MBAFF, 1, 3)
#define INTER_SUBMB_CHROMA_MEMBERS(X)                                                                       \
  X(CreateInterPredictionChroma_P_L0_8x8, FRAME, 0, 0) X(CreateInterPredictionChroma_P_L0_8x4, FRAME, 0, 1) \
  X(CreateInterPredictionChroma_P_L0_4x8, FRAME, 0, 2) X(CreateInterPredictionChroma_P_L0_4x4, FRAME, 0, 3) \
  X(CreateInterPredictionChroma_B_L1_8x8, FRAME, 1, 0) X(CreateInterPredictionChroma_B_L1_8x4, FRAME, 1, 1) \
  X(CreateInterPredictionChroma_B_L1_4x8, FRAME, 1, 2) X(CreateInterPredictionChroma_B_L1_4x4, FRAME, 1, 3) \
  X(CreateInterPredictionChroma_P_L0_8x8_mbaff, MBAFF, 0, 0)                                                  \
  X(CreateInterPredictionChroma_P_L0_8x4_mbaff, MBAFF, 0, 1)                                                  \
  X(CreateInterPredictionChroma_P_L0_4x8_mbaff, MBAFF, 0, 2)                                                  \
  X(CreateInterPredictionChroma_P_L0_4x4_mbaff, MBAFF, 0, 3)                                                  \
  X(CreateInterPredictionChroma_B_L1_8x8_mbaff, MBAFF, 1, 0)                                                  \
  X(CreateInterPredictionChroma_B_L1_8x4_mbaff, MBAFF, 1, 1)                                                  \
  X(CreateInterPredictionChroma_B_L1_4x8_mbaff, MBAFF, 1, 2)                                                  \
  X(CreateInterPredictionChroma_B_L1_4x4_mbaff, MBAFF, 1, 3)
// B_Direct_8x8 quadrants (SubMbTypeCode 252): luma member, chroma member,
// picture kind.
#define INTER_SUBMB_DIRECT_MEMBERS(X) \
  X(CreateInterPrediction_B_Direct_8x8, CreateInterPredictionChroma_B_Direct_8x8, FRAME) \
  X(CreateInterPrediction_B_Direct_8x8_mbaff, CreateInterPredictionChroma_B_Direct_8x8_mbaff, MBAFF)
