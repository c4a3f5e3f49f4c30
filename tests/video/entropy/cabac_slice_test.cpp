// CABAC slice walks on slices written by the test encoder: a whole slice
// ends exactly at its stop bit, data after it or past the picture refuse the
// slice, and damaged data always ends the walk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "cabac_slice.h"
#include "cabac_syntax.h"
#include "cabac_test_encoder.h"
#include "transforms.h"

namespace {

struct Picture {
  MacroblockRecord* records;
  uint32_t count;
  explicit Picture(uint32_t n) : count(n) {
    records = static_cast<MacroblockRecord*>(std::aligned_alloc(16, sizeof(MacroblockRecord) * n));
    std::memset(records, 0, sizeof(MacroblockRecord) * n);
  }
  ~Picture() { std::free(records); }
};

struct CabacSlice : ::testing::Test {
  int32_t ls4[6][6][16];
  int32_t ls8[2][6][64];
  CabacContext enc[kCabacContextCount], dec[kCabacContextCount];

  void SetUp() override {
    uint8_t w4[6][16], w8[2][64];
    std::memset(w4, 16, sizeof(w4));
    std::memset(w8, 16, sizeof(w8));
    build_level_scale(w4, w8, ls4, ls8);
  }

  SliceDataState state(Picture& p, uint32_t width, uint8_t sliceType) {
    SliceDataState s{};
    s.records = p.records;
    s.widthInMbs = width;
    s.mbCount = p.count;
    s.structure = 2;
    s.chroma_format_idc = 1;
    s.sliceType = sliceType;
    s.firstMb = s.currentMb = p.records;
    s.QPY = 26;
    s.ls4x4 = ls4;
    s.ls8x8 = ls8;
    return s;
  }

  // An Intra16x16 macroblock (prediction mode `mode`, no residual) of an I
  // slice at the left edge of a one-row picture; `left` says whether the
  // macroblock before it is available.
  void intra16x16(CabacTestEncoder* e, uint32_t mode, bool left) {
    // mb_type: bin 0 (left neighbour is not I_NxN), terminate 0, luma 0,
    // chroma 0, two mode bins.
    e->decision(&enc[kCtxMbType + (left ? 1 : 0)], 1);
    e->terminate(0);
    e->decision(&enc[kCtxMbType + 3], 0);
    e->decision(&enc[kCtxMbType + 4], 0);
    e->decision(&enc[kCtxMbType + 6], mode >> 1);
    e->decision(&enc[kCtxMbType + 7], mode & 1);
    e->decision(&enc[kCtxIntraChroma], 0);      // intra_chroma_pred_mode 0
    e->decision(&enc[kCtxMbQpDelta], 0);        // mb_qp_delta 0
    // DC coded_block_flag 0: an absent upper neighbour counts 1, the left
    // Intra16x16 neighbour without DC counts 0.
    e->decision(&enc[kCtxCodedBlockFlag + (left ? 0 : 1) + 2], 0);
  }

  // Three Intra16x16 macroblocks of modes 0, 1, 2 in a one-row I slice of
  // three; `lastEnds` says whether the third one's end_of_slice_flag is 1.
  std::vector<uint8_t> three_macroblocks(bool lastEnds, size_t* payload) {
    cabac_init_contexts_i_slice(30, enc);
    std::memcpy(dec, enc, sizeof enc);
    CabacTestEncoder e;
    for (uint32_t i = 0; i < 3; ++i) {
      intra16x16(&e, i, i > 0);
      e.terminate(lastEnds && i == 2);
    }
    if (!lastEnds) e.terminate(1);
    return e.bytes(payload);
  }
};

TEST_F(CabacSlice, IntraSliceEndsOnItsStopBit) {
  Picture p(3);
  SliceDataState s = state(p, 3, 2);
  size_t payload = 0;
  std::vector<uint8_t> data = three_macroblocks(true, &payload);
  ThreadBuffer tb{};
  bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
  EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceDone);
  EXPECT_EQ(p.records[0].slice_mb_count, 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(p.records[i].mb_type, 65 + i);
    EXPECT_EQ(p.records[i].qp_y, 26);  // the running QP of the state
    EXPECT_EQ(p.records[i].luma_dc_nonzero, 0);
  }
  EXPECT_EQ(0, std::memcmp(enc, dec, sizeof enc));

  // The same slice with a non-zero byte after the stop bit is refused.
  std::vector<uint8_t> bytes = cabac_test_words(data);  // reversing the words twice restores stream order
  bytes.resize(payload + 1);
  bytes[payload] = 0x80;
  std::vector<uint8_t> longer = cabac_test_words(bytes);
  std::memset(p.records, 0, sizeof(MacroblockRecord) * 3);
  cabac_init_contexts_i_slice(30, dec);
  s = state(p, 3, 2);
  bs_init(&tb.reader, longer.data(), static_cast<uint32_t>(payload + 1));
  EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceFailed);

  // The same slice is refused under a slice QP outside 0..51.
  for (int32_t qp : {-1, 52}) {
    cabac_init_contexts_i_slice(30, dec);
    s = state(p, 3, 2);
    s.QPY = qp;
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
    EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceFailed) << "QP " << qp;
    EXPECT_EQ(p.records[0].slice_mb_count, 0u) << "QP " << qp;
  }
}

TEST_F(CabacSlice, EndOfSliceThatNeverComesFails) {
  // Three macroblocks whose end_of_slice_flag is always 0 in a picture of
  // three: the walk stops at the picture's end.
  Picture p(3);
  SliceDataState s = state(p, 3, 2);
  size_t payload = 0;
  std::vector<uint8_t> data = three_macroblocks(false, &payload);
  ThreadBuffer tb{};
  bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
  EXPECT_EQ(decode_slice_data_cabac(&tb, &s, dec), kSliceFailed);
  EXPECT_EQ(p.records[0].slice_mb_count, 0u);
  EXPECT_EQ(p.records[2].mb_type, 67);
}

TEST_F(CabacSlice, RandomDataAlwaysEnds) {
  // Random payloads for every slice type, frame and MBAFF: the walk ends
  // (done or failed) without touching memory outside the picture.
  std::mt19937 rng(77);
  for (int round = 0; round < 300; ++round) {
    const uint32_t width = 2 + rng() % 3, height = 2 * (1 + rng() % 2);
    Picture p(width * height);
    const uint8_t type = static_cast<uint8_t>(rng() % 3);
    SliceDataState s = state(p, width, type);
    s.MbaffFrameFlag = static_cast<uint8_t>(round & 1);
    s.transform_8x8_mode_flag = static_cast<uint8_t>((round >> 1) & 1);
    s.num_ref_idx_l0_active_minus1 = static_cast<uint8_t>(rng() % 4);
    s.num_ref_idx_l1_active_minus1 = static_cast<uint8_t>(rng() % 4);
    if (type == 2)
      cabac_init_contexts_i_slice(static_cast<int8_t>(rng() % 52), dec);
    else if (type == 0)
      cabac_init_contexts_p_slice(static_cast<int8_t>(rng() % 52), dec, static_cast<uint8_t>(rng() % 3));
    else
      cabac_init_contexts_b_slice(static_cast<int8_t>(rng() % 52), dec, static_cast<uint8_t>(rng() % 3));
    std::vector<uint8_t> bytes(1 + rng() % 400);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    const size_t payload = bytes.size();
    std::vector<uint8_t> data = cabac_test_words(bytes);
    ThreadBuffer tb{};
    bs_init(&tb.reader, data.data(), static_cast<uint32_t>(payload));
    const uint32_t result = decode_slice_data_cabac(&tb, &s, dec);
    EXPECT_TRUE(result == kSliceDone || result == kSliceFailed);
    EXPECT_LT(s.CurrMbAddr, p.count);
  }
}

}  // namespace
