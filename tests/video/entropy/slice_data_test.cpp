// Slice-data walks of CAVLC slices written by the test writer: record
// fields, QPs, neighbour links (frame and MBAFF), skip runs, I_PCM, the
// inter prediction fields, and refusals of damaged data.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cavlc_tables.h"
#include "cavlc_writer.h"
#include "slice_data.h"
#include "transforms.h"

using cavlctest::BitWriter;

namespace {

struct Picture {
  MacroblockRecord* records;
  uint32_t count;
  Picture(uint32_t n) : count(n) {
    records = static_cast<MacroblockRecord*>(std::aligned_alloc(16, sizeof(MacroblockRecord) * n));
    std::memset(records, 0, sizeof(MacroblockRecord) * n);
  }
  ~Picture() { std::free(records); }
};

struct SliceFixture : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(AllocateCAVLCTables(), 0u);
    uint8_t w4[6][16], w8[2][64];
    std::memset(w4, 16, sizeof(w4));
    std::memset(w8, 16, sizeof(w8));
    build_level_scale(w4, w8, ls4, ls8);
  }
  void TearDown() override { FreeCAVLCTables(); }

  SliceDataState state(Picture& p, uint32_t width, uint8_t sliceType, uint32_t first = 0) {
    SliceDataState s{};
    s.records = p.records;
    s.widthInMbs = width;
    s.mbCount = p.count;
    s.structure = 2;
    s.chroma_format_idc = 1;
    s.sliceType = sliceType;
    s.firstMbAddr = first;
    s.CurrMbAddr = first;
    s.firstMb = s.currentMb = first < p.count ? p.records + first : nullptr;
    s.QPY = 26;
    s.ls4x4 = ls4;
    s.ls8x8 = ls8;
    return s;
  }

  // Runs a slice over the writer's bits followed by the RBSP trailing bits.
  uint32_t run(SliceDataState& s, BitWriter w) {
    w.put(1, 1);
    while (w.size() % 8) w.put(0, 1);
    words = w.words(4, 0);
    bs_init(&reader, reinterpret_cast<const uint8_t*>(words.data()), static_cast<uint32_t>(w.size() / 8));
    return decode_slice_data_cavlc(&reader, &s);
  }

  int32_t ls4[6][6][16];
  int32_t ls8[2][6][64];
  std::vector<uint32_t> words;
  BitReaderCabac reader;
};

// The neighbour links A, B, C, D of record i as indices into r (-1 none, 9
// not checked).
void expect_links(const MacroblockRecord* r, int i, std::array<int, 4> want) {
  const MacroblockRecord* got[4] = {r[i].neighbour_a, r[i].neighbour_b, r[i].neighbour_c, r[i].neighbour_d};
  for (int k = 0; k < 4; ++k)
    EXPECT_TRUE(want[k] == 9 || got[k] == (want[k] < 0 ? nullptr : r + want[k])) << "record " << i << " link " << k;
}

TEST_F(SliceFixture, IntraSliceWithPcmAndModePrediction) {
  Picture p(4);
  SliceDataState s = state(p, 2, 2);
  BitWriter w;
  // MB 0: Intra16x16 (I mb_type 1: prediction 0, no AC, no chroma).
  w.put_ue(1);
  w.put_ue(0);   // intra_chroma_pred_mode
  w.put_se(2);   // mb_qp_delta
  int dc[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  dc[0] = 64;
  cavlctest::put_block(w, dc, 16, 0);
  // MB 1: I_PCM.
  w.put_ue(25);
  while (w.size() % 8) w.put(0, 1);
  for (int i = 0; i < 384; ++i) w.put(static_cast<uint32_t>(i * 7 + 3) & 0xFF, 8);
  // MB 2: I_NxN, every mode predicted, coded_block_pattern 0 (codeNum 3).
  w.put_ue(0);
  for (int blk = 0; blk < 16; ++blk) w.put(1, 1);
  w.put_ue(1);
  w.put_ue(3);
  // MB 3: I_NxN, block 0 with rem 3 (predicted 2, so mode 4), others predicted.
  w.put_ue(0);
  w.put(0, 1);
  w.put(3, 3);
  for (int blk = 1; blk < 16; ++blk) w.put(1, 1);
  w.put_ue(0);
  w.put_ue(3);
  ASSERT_EQ(run(s, w), kSliceDone);
  MacroblockRecord* r = p.records;
  const uint8_t types[4] = {65, MbI_PCM, MbI_NxN, MbI_NxN}, qps[4] = {28, 0, 28, 28};  // QP of 2 from before the I_PCM
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(r[i].mb_type == types[i] && r[i].qp_y == qps[i]) << i;
  EXPECT_EQ(r[0].slice_mb_count, 4u);
  EXPECT_EQ(r[0].slice_first_flag, 1);
  EXPECT_EQ(r[3].slice_first_flag, 0);
  // DC-only Intra16x16: a flat residual in every block.
  EXPECT_EQ(r[0].luma_dc_nonzero, 1);
  const int16_t flat = r[0].luma_coeff[0];
  EXPECT_NE(flat, 0);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(r[0].luma_coeff[i], flat) << i;
  const uint8_t* pcm = reinterpret_cast<const uint8_t*>(r[1].luma_coeff);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(pcm[i], static_cast<uint8_t>(i * 7 + 3));
  const uint8_t* cr = reinterpret_cast<const uint8_t*>(r[1].chroma_coeff + 64);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(cr[i], static_cast<uint8_t>((320 + i) * 7 + 3));
  for (int blk = 0; blk < 16; ++blk) EXPECT_EQ(r[2].intra_pred_mode[blk], 2);
  EXPECT_EQ(r[2].intra_chroma_pred_mode, 1);
  EXPECT_EQ(r[3].intra_pred_mode[0], 4);
  EXPECT_EQ(r[3].intra_pred_mode[1], 2);  // min(4 left, 2 from the I_PCM above)
  expect_links(r, 0, {-1, 9, 9, 9});
  expect_links(r, 1, {0, 9, 9, 9});
  expect_links(r, 2, {-1, 0, 1, 9});
  expect_links(r, 3, {2, 1, -1, 0});
}

TEST_F(SliceFixture, PSliceSkipRunsAndPartitionFields) {
  Picture p(4);
  SliceDataState s = state(p, 4, 0);
  s.num_ref_idx_l0_active_minus1 = 1;
  BitWriter w;
  w.put_ue(2);  // MB 0, 1 skipped
  w.put_ue(0);  // MB 2: P_L0_16x16
  w.put(0, 1);  // te(v) of range 1: inverted bit, ref_idx 1
  w.put_se(3);
  w.put_se(-2);
  w.put_ue(0);  // coded_block_pattern 0
  w.put_ue(1);  // MB 3 skipped, ends the slice
  ASSERT_EQ(run(s, w), kSliceDone);
  MacroblockRecord* r = p.records;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r[i].mb_type, i == 2 ? MbL0_16x16 : MbP_Skip) << i;
  EXPECT_EQ(r[0].slice_mb_count, 4u);
  for (int q = 0; q < 4; ++q) {
    EXPECT_EQ(r[2].ref_idx_l0[q], 1);
    EXPECT_EQ(r[2].ref_idx_l1[q], -1);
    EXPECT_EQ(r[3].ref_idx_l0[q], 0);
  }
  for (int b = 0; b < 16; ++b) {
    EXPECT_EQ(r[2].mvd_l0[b][0], 3);
    EXPECT_EQ(r[2].mvd_l0[b][1], -2);
  }
  EXPECT_EQ(r[2].qp_y, 26);
  expect_links(r, 1, {0, 9, 9, 9});
  expect_links(r, 3, {2, 9, 9, 9});
}

TEST_F(SliceFixture, BSliceSubMacroblockTypes) {
  Picture p(1);
  SliceDataState s = state(p, 1, 1);
  BitWriter w;
  w.put_ue(0);   // no skip
  w.put_ue(22);  // B_8x8
  w.put_ue(0);   // B_Direct_8x8
  w.put_ue(1);   // B_L0_8x8
  w.put_ue(5);   // B_L0_4x8
  w.put_ue(12);  // B_Bi_4x4
  w.put_se(1);   // mvd_l0 q1
  w.put_se(2);
  w.put_se(3);   // q2 left
  w.put_se(4);
  w.put_se(5);   // q2 right
  w.put_se(6);
  for (int k = 0; k < 4; ++k) {  // q3 list 0
    w.put_se(10 + k);
    w.put_se(-10 - k);
  }
  for (int k = 0; k < 4; ++k) {  // q3 list 1
    w.put_se(20 + k);
    w.put_se(-20 - k);
  }
  w.put_ue(0);  // coded_block_pattern 0 (inter)
  ASSERT_EQ(run(s, w), kSliceDone);
  const MacroblockRecord& m = p.records[0];
  EXPECT_EQ(m.mb_type, Mb8x8);
  EXPECT_EQ(m.sub_mb_type[0], SubMbB_Direct_8x8);
  EXPECT_EQ(m.sub_mb_type[1], 9);
  EXPECT_EQ(m.sub_mb_type[2], 74);
  EXPECT_EQ(m.sub_mb_type[3], 124);
  const int8_t l0[4] = {0, 0, 0, 0}, l1[4] = {0, -1, -1, 0};
  for (int q = 0; q < 4; ++q) {
    EXPECT_EQ(m.ref_idx_l0[q], l0[q]);
    EXPECT_EQ(m.ref_idx_l1[q], l1[q]);
  }
  for (int b = 0; b < 4; ++b) EXPECT_EQ(m.mvd_l0[b][0] | m.mvd_l0[b][1], 0);
  for (int b = 4; b < 8; ++b) EXPECT_EQ(m.mvd_l0[b][0], 1);
  EXPECT_EQ(m.mvd_l0[8][0], 3);
  EXPECT_EQ(m.mvd_l0[10][0], 3);
  EXPECT_EQ(m.mvd_l0[9][1], 6);
  EXPECT_EQ(m.mvd_l0[11][1], 6);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(m.mvd_l0[12 + k][0], 10 + k);
    EXPECT_EQ(m.mvd_l1[12 + k][1], -20 - k);
  }
}

TEST_F(SliceFixture, DamagedSlicesAreRefused) {
  struct Case {
    const char* what;
    uint32_t count;
    uint8_t sliceType;
    std::vector<int> ue;  // ue(v) values, -1 for sixteen predicted-mode flags, 1000 + k for se(v) k
    int32_t sliceQp = 26;  // QP'Y at the slice start
    uint32_t before = 0;   // macroblocks decoded before the damage
  };
  const Case cases[] = {
      {"I mb_type beyond the table", 2, 2, {26}},
      {"I mb_type beyond the table after a macroblock", 2, 2, {0, -1, 0, 3, 26}, 26, 1},
      {"QP out of range", 2, 2, {1, 0, 1026}},
      {"intra_chroma_pred_mode beyond 3", 2, 2, {0, -1, 4}},
      {"skip run past the picture", 4, 0, {10}, 26, 3},
      {"coded_block_pattern beyond the table", 4, 0, {0, 0, 1001, 1001, 48}},
      {"coded_block_pattern beyond the table after a run", 4, 0, {2, 0, 1001, 1001, 48}, 26, 2},
      {"slice QP below 0", 2, 0, {2}, -1},
      {"slice QP above 51", 2, 0, {2}, 52},
  };
  for (const Case& c : cases) {
    Picture p(c.count);
    SliceDataState s = state(p, c.count, c.sliceType);
    s.QPY = c.sliceQp;
    BitWriter w;
    for (int v : c.ue) {
      if (v < 0)
        w.put(0xFFFF, 16);
      else if (v >= 1000)
        w.put_se(v - 1000);
      else
        w.put_ue(static_cast<uint32_t>(v));
    }
    EXPECT_EQ(run(s, w), kSliceFailed) << c.what;
    EXPECT_EQ(p.records[0].slice_mb_count, 0u) << c.what;
    EXPECT_EQ(s.mbsBeforeDamage, c.before) << c.what;
  }
  Picture p(2);
  p.records[1].mb_type = 0x5A;
  SliceDataState s = state(p, 2, 2, 5);  // starts beyond the picture
  s.firstMb = s.currentMb = p.records + 1;
  BitWriter w;
  w.put_ue(0);
  EXPECT_EQ(run(s, w), kSliceFailed);
  EXPECT_EQ(p.records[1].mb_type, 0x5A);
}

TEST_F(SliceFixture, MbaffPairsInferReadAndRewriteFieldFlags) {
  Picture p(8);  // two pairs wide, two pair rows
  SliceDataState s = state(p, 2, 0);
  s.MbaffFrameFlag = 1;
  BitWriter w;
  w.put_ue(1);  // MB 0 skipped
  w.put(1, 1);  // MB 1: field pair
  w.put_ue(0);  // P_L0_16x16
  w.put(1, 1);  // ref_idx 0 (field macroblock: read with range 1)
  w.put_se(1);
  w.put_se(1);
  w.put_ue(0);
  w.put_ue(2);  // MB 2, 3 skipped: field flag inferred from the left pair
  w.put(0, 1);  // MB 4: frame pair
  w.put_ue(0);
  w.put_se(2);  // frame macroblock, one reference: no ref_idx
  w.put_se(2);
  w.put_ue(0);
  w.put_ue(0);  // MB 5: coded, inherits the pair's flag
  w.put_ue(0);
  w.put_se(3);
  w.put_se(3);
  w.put_ue(0);
  w.put_ue(2);  // MB 6, 7 skipped, ends the slice
  ASSERT_EQ(run(s, w), kSliceDone);
  MacroblockRecord* r = p.records;
  EXPECT_EQ(r[0].mb_structure, 0);
  EXPECT_EQ(r[0].mb_field_decoding_flag, 1);
  EXPECT_EQ(r[1].mb_structure, 1);
  EXPECT_EQ(r[1].ref_idx_l0[0], 0);
  EXPECT_EQ(r[2].mb_field_decoding_flag, 1);
  EXPECT_EQ(r[3].mb_field_decoding_flag, 1);
  expect_links(r, 2, {0, 9, 9, 9});
  expect_links(r, 3, {1, 9, 9, 9});  // field pair beside a field pair
  EXPECT_EQ(r[4].mb_structure, 2);
  expect_links(r, 4, {-1, 1, 3, 9});
  expect_links(r, 5, {9, 4, -1, 9});
  EXPECT_EQ(r[5].mvd_l0[0][0], 3);
  EXPECT_EQ(r[6].mb_field_decoding_flag, 0);  // inferred from the frame pair on the left
  expect_links(r, 6, {4, 3, -1, 1});
  expect_links(r, 7, {5, 6, 9, 4});
  EXPECT_EQ(r[0].slice_mb_count, 8u);
}

// Links of coded MBAFF pairs in a slice that starts inside the first pair
// row (three pairs wide; pair 4 a frame pair, the others field pairs): the
// first pair of the second row has the slice's first pair above right, and
// a bottom record finds the pairs around it through its top.
TEST_F(SliceFixture, MbaffBottomRecordsLinkThroughTheirTop) {
  const uint8_t field[6] = {1, 1, 0, 1, 1, 1};
  const std::array<int, 4> want[12] = {
      {9, 9, 9, 9},     {9, 9, 9, 9},      {-1, -1, -1, -1}, {-1, -1, -1, -1}, {2, -1, -1, -1}, {2, 4, -1, 3},
      {-1, -1, 2, -1},  {-1, -1, 3, -1},   {6, 2, 5, -1},    {7, 3, 5, -1},    {8, 5, -1, 2},   {9, 5, -1, 3},
  };
  for (bool bottomCoded : {false, true}) {
    Picture p(12);
    SliceDataState s = state(p, 3, 0, 2);
    s.MbaffFrameFlag = 1;
    slice_start(&s);
    MacroblockRecord* r = p.records;
    for (uint32_t n = 2; n < 12; ++n) {
      s.CurrMbAddr = n;
      setup_record(&s, r + n, false);
      if ((n & 1) == 0 || bottomCoded) {
        SetNeighbourMacroblocks_coded_mbaff(&s, r + n, field[n / 2]);
      } else {
        // Under a coded top the pair's mode is inherited.
        SetNeighbourMacroblocks_mbaff_for_p_b(&s, r + n);
      }
      r[n].mb_type = MbL0_16x16;
    }
    for (int n = 2; n < 12; ++n) {
      SCOPED_TRACE(bottomCoded);
      EXPECT_EQ(r[n].mb_structure, field[n / 2] ? (n & 1) : 2) << n;
      expect_links(r, n, want[n]);
    }
  }
}

// QP_Y wraps around its range for every predictor and every delta the
// parsers accept, at bit depths 8, 9 and 10; an absent delta keeps QP'Y.
TEST(QpUpdate, WrapsForEveryDeltaAndBitDepth) {
  static MacroblockRecord mb;
  for (int off : {0, 6, 12}) {
    for (int pred = 0; pred < 52 + off; ++pred) {
      for (int delta = -(26 + off / 2); delta <= 25 + off / 2; ++delta) {
        SliceDataState s{};
        s.QpBdOffsetY = static_cast<uint8_t>(off);
        s.QpBdOffsetC = static_cast<uint8_t>(off);
        s.QPY = pred;
        update_qp(&s, &mb, delta, true);
        const int qp = (pred - off + delta + 52 + 2 * off) % (52 + off) - off;
        ASSERT_EQ(static_cast<int8_t>(mb.qp_y), static_cast<int8_t>(qp)) << off << " " << pred << " " << delta;
        ASSERT_EQ(s.QPY, qp + off);
        const int qPI = std::clamp(qp, -off, 51);
        ASSERT_EQ(mb.qp_cb, qPI < 0 ? qPI : QPcTable[qPI]);
      }
      SliceDataState s{};
      s.QpBdOffsetY = static_cast<uint8_t>(off);
      s.QPY = pred;
      update_qp(&s, &mb, 0, false);
      ASSERT_EQ(s.QPY, pred);
    }
  }
}

// A macroblock whose QP equals the one before it takes that one's chroma
// QPs, but only inside the slice: the record before the slice's first may
// carry another picture parameter set's chroma offsets.
TEST(QpUpdate, ChromaQpsReusedOnlyWithinTheSlice) {
  struct Case {
    int8_t cbOffset, crOffset;
    int qp;
  };
  for (const Case& c : {Case{0, 0, 26}, Case{-12, 12, 40}, Case{5, -3, 51}, Case{12, 12, 0}}) {
    static MacroblockRecord r[3];
    // Before the slice: same QP, chroma QPs that the slice's offsets do
    // not give.
    r[0].qp_y = static_cast<uint8_t>(c.qp);
    r[0].qp_cb = r[0].qp_cr = 99;
    SliceDataState s{};
    s.firstMb = &r[1];
    s.chroma_qp_index_offset = c.cbOffset;
    s.second_chroma_qp_index_offset = c.crOffset;
    s.QPY = c.qp;
    const int cb = QPcTable[std::clamp(c.qp + c.cbOffset, 0, 51)];
    const int cr = QPcTable[std::clamp(c.qp + c.crOffset, 0, 51)];
    for (MacroblockRecord* mb : {&r[1], &r[2]}) {
      update_qp(&s, mb, 0, false);
      EXPECT_EQ(mb->qp_cb, cb) << c.qp;
      EXPECT_EQ(mb->qp_cr, cr) << c.qp;
      EXPECT_EQ(s.QPCb, cb);
      EXPECT_EQ(s.QPCr, cr);
    }
    // A changed QP inside the slice is computed anew.
    update_qp(&s, &r[2], 1, true);
    EXPECT_EQ(r[2].qp_cb, QPcTable[std::clamp(c.qp + 1 - 52 * (c.qp == 51) + c.cbOffset, 0, 51)]);
  }
}

TEST(CbpTables, EveryCodeOnce) {
  for (const uint8_t* t : {CBP_Map_intra, CBP_Map_inter}) {
    bool seen[48] = {};
    for (int i = 0; i < 48; ++i) seen[(t[i] >> 4) * 16 + (t[i] & 15) - 0] = true;
    int n = 0;
    for (int v = 0; v < 48; ++v) n += seen[v];
    EXPECT_EQ(n, 48);
  }
  for (const uint8_t* t : {CBP_Map_intra_mono, CBP_Map_inter_mono}) {
    bool seen[16] = {};
    for (int i = 0; i < 16; ++i) seen[t[i]] = true;
    EXPECT_TRUE(std::all_of(seen, seen + 16, [](bool b) { return b; }));
  }
  EXPECT_EQ(CBP_Map_intra[0], 47);
  EXPECT_EQ(CBP_Map_inter[0], 0);
  EXPECT_EQ(CBP_Map_inter_mono[1], 1);
  EXPECT_EQ(QPcTable[29], 29);
  EXPECT_EQ(QPcTable[30], 29);
  EXPECT_EQ(QPcTable[51], 39);
}

}  // namespace
