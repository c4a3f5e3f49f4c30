// CAVLC residual of whole macroblocks: random coefficients written by the
// test writer with the nC the neighbours give, decoded and dequantised by the
// residual routines, compared with the standard's arithmetic. Covers 4x4,
// 8x8 (four interleaved reads), Intra16x16 DC and AC, chroma DC and AC,
// every nC range, frame and field scans; and damaged data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "cavlc_residual.h"
#include "cavlc_tables.h"
#include "cavlc_writer.h"
#include "parameter_sets.h"
#include "reference.h"
#include "transforms.h"
#include "vpCore.h"

using cavlctest::BitWriter;

namespace {

const uint8_t kLeft[16] = {5, 0, 7, 2, 1, 4, 3, 6, 13, 8, 15, 10, 9, 12, 11, 14};
const uint8_t kUp[16] = {10, 11, 0, 1, 14, 15, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13};

struct Fixture : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(AllocateCAVLCTables(), 0u);
    std::mt19937 rng(5);
    for (auto& m : w4)
      for (uint8_t& v : m) v = static_cast<uint8_t>(4 + rng() % 60);
    for (auto& m : w8)
      for (uint8_t& v : m) v = static_cast<uint8_t>(4 + rng() % 60);
    build_level_scale(w4, w8, ls4, ls8);
  }
  void TearDown() override { FreeCAVLCTables(); }

  uint8_t w4[6][16];
  uint8_t w8[2][64];
  int32_t ls4[6][6][16];
  int32_t ls8[2][6][64];
};

int count_of(const MacroblockRecord* n, const int16_t* counts, int blk) {
  if (mb_is_skipped(n->mb_type)) return 0;
  if (n->mb_type == MbI_PCM) return 16;
  return counts[blk];
}

int nc_of(bool haveA, int a, bool haveB, int b) {
  return haveA && haveB ? (a + b + 1) >> 1 : haveA ? a : haveB ? b : 0;
}

// nC of luma block blk for a frame or field picture (no MBAFF).
int luma_nc(const MacroblockRecord* mb, int blk) {
  const int x = ((blk >> 2) & 1) * 2 + (blk & 1), y = ((blk >> 2) >> 1) * 2 + ((blk & 3) >> 1);
  const MacroblockRecord* a = x > 0 ? mb : mb->neighbour_a;
  const MacroblockRecord* b = y > 0 ? mb : mb->neighbour_b;
  return nc_of(a != nullptr, a ? count_of(a, a->total_coeff_luma, kLeft[blk]) : 0, b != nullptr,
               b ? count_of(b, b->total_coeff_luma, kUp[blk]) : 0);
}

int chroma_nc(const MacroblockRecord* mb, int c, int b4) {
  static const uint8_t left[4] = {1, 0, 3, 2}, up[4] = {2, 3, 0, 1};
  const MacroblockRecord* a = (b4 & 1) ? mb : mb->neighbour_a;
  const MacroblockRecord* b = (b4 >> 1) ? mb : mb->neighbour_b;
  return nc_of(a != nullptr, a ? count_of(a, a->total_coeff_chroma + 4 * c, left[b4]) : 0, b != nullptr,
               b ? count_of(b, b->total_coeff_chroma + 4 * c, up[b4]) : 0);
}

// Largest magnitude of the rare large levels; above about 2060 they need the
// level_prefix escapes of 16 and more.
int g_largeLevel = 1500;

int random_level(std::mt19937& rng) {
  const int kind = static_cast<int>(rng() % 12);
  const int v =
      kind < 6 ? 1 : kind < 10 ? 2 + static_cast<int>(rng() % 10) : 1 + static_cast<int>(rng() % g_largeLevel);
  return (rng() & 1) ? -v : v;
}

// Random coefficients for n scan positions with a random density.
void random_block(std::mt19937& rng, int* coef, int n) {
  const int density = static_cast<int>(rng() % 17);
  for (int i = 0; i < n; ++i) coef[i] = static_cast<int>(rng() % 16) < density ? random_level(rng) : 0;
}

// Decodes from the writer's bits with the bit reader the macroblock layer
// uses; returns the bits consumed.
struct Reader {
  std::vector<uint32_t> words;
  BitReaderCabac r;
  uint32_t length;
  Reader(const BitWriter& w, int pad = 16) {
    words = w.words(pad, 0);
    length = static_cast<uint32_t>((w.size() + 7) / 8);
    bs_init(&r, reinterpret_cast<const uint8_t*>(words.data()), length);
  }
  uint64_t used() const { return uint64_t{length - r.bytesLeft} * 8 + static_cast<uint32_t>(31 - r.bitPos); }
};

enum Kind { k4x4, k8x8, k16x16 };

// One random macroblock of the given kind; returns the bits written.
struct Expect {
  int16_t luma[256];
  int16_t chroma[128];
  int16_t counts[16];
  int16_t chromaCounts[8];
  uint16_t mask;
  uint32_t acMask;
  uint16_t dcNonzero;
};

void write_macroblock(std::mt19937& rng, MacroblockRecord* mb, Kind kind, BitWriter& w, Expect& e,
                      const Fixture& f, int qpY, int qpCb, int qpCr) {
  std::memset(&e, 0, sizeof(e));
  const bool frame = mb->mb_structure == 2;
  const int32_t* scan = frame ? FRAME_SCAN_CAVLC : FIELD_SCAN_CAVLC;
  const uint8_t* scan8 = frame ? FRAME_SCAN8x8 : FIELD_SCAN8x8;
  const bool intra = mb_is_intra(mb->mb_type);
  MacroblockRecord shadow = *mb;  // counts as the decoder will have them
  if (kind == k16x16) {
    int dc[16];
    random_block(rng, dc, 16);
    cavlctest::put_block(w, dc, 16, luma_nc(&shadow, 0));
    int16_t c[4][4] = {};
    int n = 0;
    for (int i = 0; i < 16; ++i) {
      const int s = scan[i];
      c[s & 3][s >> 2] = static_cast<int16_t>(dc[i]);
      n += dc[i] != 0;
    }
    e.dcNonzero = n != 0;
    int16_t out[4][4];
    reftest::luma_dc(c, f.ls4[0][qpY % 6][0], qpY, out);
    static const int kBlockAt[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) e.luma[16 * kBlockAt[i][j]] = n ? out[i][j] : 0;
  }
  for (int b8 = 0; b8 < 4; ++b8) {
    if (!(mb->cbp_luma & (1u << b8))) continue;
    if (kind == k8x8) e.mask = static_cast<uint16_t>(e.mask | (15u << (4 * b8)));
    int coef8[64];
    if (kind == k8x8) random_block(rng, coef8, 64);
    for (int b4 = 0; b4 < 4; ++b4) {
      const int blk = 4 * b8 + b4;
      const int nC = luma_nc(&shadow, blk);
      int coef[16];
      int n = 0;
      if (kind == k8x8) {
        for (int k = 0; k < 16; ++k) coef[k] = coef8[4 * k + b4];
        cavlctest::put_block(w, coef, 16, nC);
        for (int k = 0; k < 16; ++k) {
          n += coef[k] != 0;
          const int i = scan8[4 * k + b4];
          if (coef[k]) e.luma[64 * b8 + i] = reftest::dequant8(coef[k], f.ls8[intra ? 0 : 1][qpY % 6][i], qpY);
        }
      } else {
        const int maxNum = kind == k16x16 ? 15 : 16;
        random_block(rng, coef, maxNum);
        cavlctest::put_block(w, coef, maxNum, nC);
        for (int k = 0; k < maxNum; ++k) {
          n += coef[k] != 0;
          const int i = scan[k + 16 - maxNum];
          if (coef[k])
            e.luma[16 * blk + i] = reftest::dequant4(coef[k], f.ls4[intra ? 0 : 3][qpY % 6][i], qpY);
        }
        if (n) e.mask = static_cast<uint16_t>(e.mask | (1u << blk));
      }
      shadow.total_coeff_luma[blk] = static_cast<int16_t>(n);
      e.counts[blk] = static_cast<int16_t>(n);
    }
  }
  if (mb->cbp_chroma == 0) return;
  const int qPs[2] = {qpCb, qpCr};
  const int base = intra ? 1 : 4;
  for (int c = 0; c < 2; ++c) {
    int dc[4];
    random_block(rng, dc, 4);
    cavlctest::put_block(w, dc, 4, -1);
    const int f0 = dc[0] + dc[1] + dc[2] + dc[3], f1 = dc[0] - dc[1] + dc[2] - dc[3];
    const int f2 = dc[0] + dc[1] - dc[2] - dc[3], f3 = dc[0] - dc[1] - dc[2] + dc[3];
    // The 2x2 transform's sums are kept in 16 bits.
    const int fs[4] = {reftest::w16(f0), reftest::w16(f1), reftest::w16(f2), reftest::w16(f3)};
    for (int k = 0; k < 4; ++k)
      e.chroma[64 * c + 16 * k] =
          reftest::w16((int64_t{fs[k]} * f.ls4[base + c][qPs[c] % 6][0] * (int64_t{1} << (qPs[c] / 6))) >> 5);
  }
  if (!(mb->cbp_chroma & 2)) return;
  for (int c = 0; c < 2; ++c)
    for (int b4 = 0; b4 < 4; ++b4) {
      int coef[15];
      random_block(rng, coef, 15);
      cavlctest::put_block(w, coef, 15, chroma_nc(&shadow, c, b4));
      int n = 0;
      for (int k = 0; k < 15; ++k) {
        n += coef[k] != 0;
        const int i = scan[k + 1];
        if (coef[k])
          e.chroma[64 * c + 16 * b4 + i] = reftest::dequant4(coef[k], f.ls4[base + c][qPs[c] % 6][i], qPs[c]);
      }
      shadow.total_coeff_chroma[4 * c + b4] = static_cast<int16_t>(n);
      e.chromaCounts[4 * c + b4] = static_cast<int16_t>(n);
      if (n) e.acMask |= 1u << (b4 + 16 * c);
    }
}

// A neighbour record of a random kind: skipped, I_PCM or coded with counts.
void random_neighbour(std::mt19937& rng, MacroblockRecord* n) {
  std::memset(n, 0, sizeof(*n));
  const int kind = static_cast<int>(rng() % 6);
  n->mb_type = kind == 0 ? MbP_Skip : kind == 1 ? MbI_PCM : kind == 2 ? MbI_NxN : MbL0_16x16;
  for (int16_t& v : n->total_coeff_luma) v = static_cast<int16_t>(rng() % 17);
  for (int16_t& v : n->total_coeff_chroma) v = static_cast<int16_t>(rng() % 16);
}

// Random macroblocks of every kind beside random neighbours, decoded and
// compared with the writer's coefficients put through the standard's
// arithmetic.
void round_trip(const Fixture& f, uint32_t seed, int trials) {
  std::mt19937 rng(seed);
  static MacroblockRecord left, up, mb;
  for (int trial = 0; trial < trials; ++trial) {
    random_neighbour(rng, &left);
    random_neighbour(rng, &up);
    std::memset(&mb, 0, sizeof(mb));
    mb.neighbour_a = (rng() % 4) ? &left : nullptr;
    mb.neighbour_b = (rng() % 4) ? &up : nullptr;
    mb.mb_structure = (trial % 5 == 0) ? 1 : 2;
    const Kind kind = static_cast<Kind>(trial % 3);
    if (kind == k16x16) {
      const int code = MbI_16x16_First + static_cast<int>(rng() % 24);
      mb.mb_type = static_cast<uint8_t>(code);
      mb.cbp_luma = code >= 77 ? 15 : 0;
      const int c = ((code - 65) >> 2) % 3;
      mb.cbp_chroma = static_cast<uint8_t>(c == 2 ? 3 : c);
    } else {
      mb.mb_type = (rng() & 1) ? MbI_NxN : MbL0_16x16;
      mb.transform_size_8x8_flag = kind == k8x8;
      mb.cbp_luma = static_cast<uint8_t>(rng() % 16);
      mb.cbp_chroma = static_cast<uint8_t>(rng() % 3);
    }
    const int qpY = static_cast<int>(rng() % 52), qpCb = static_cast<int>(rng() % 52),
              qpCr = static_cast<int>(rng() % 52);
    BitWriter w;
    Expect e;
    write_macroblock(rng, &mb, kind, w, e, f, qpY, qpCb, qpCr);
    w.put(1, 1);  // something after the residual
    Reader rd(w);
    const ResidualQuant q{f.ls4, f.ls8, qpY, qpCb, qpCr, 0};
    if (kind == k4x4)
      cavlc_residual_4x4(&rd.r, &mb, q);
    else if (kind == k8x8)
      cavlc_residual_8x8(&rd.r, &mb, q);
    else
      cavlc_residual_16x16(&rd.r, &mb, q);
    ASSERT_EQ(rd.r.overrun, 0u) << trial;
    ASSERT_EQ(rd.used(), w.size() - 1) << trial;
    ASSERT_EQ(ReadOneBit(&rd.r), 1u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(mb.luma_coeff[i], e.luma[i]) << trial << " luma " << i;
    for (int i = 0; i < 128; ++i) ASSERT_EQ(mb.chroma_coeff[i], e.chroma[i]) << trial << " chroma " << i;
    for (int i = 0; i < 16; ++i) ASSERT_EQ(mb.total_coeff_luma[i], e.counts[i]) << trial;
    for (int i = 0; i < 8; ++i) ASSERT_EQ(mb.total_coeff_chroma[i], e.chromaCounts[i]) << trial;
    ASSERT_EQ(mb.luma_nonzero_mask, e.mask) << trial;
    ASSERT_EQ(mb.chroma_ac_cbf_mask, e.acMask) << trial;
    if (kind == k16x16) {
      ASSERT_EQ(mb.luma_dc_nonzero, e.dcNonzero);
    }
  }
}

TEST_F(Fixture, RandomMacroblocksRoundTrip) { round_trip(*this, 9, 3000); }

// Levels up to the 16-bit limit: level_prefix 15 to 19 with every
// suffixLength.
TEST_F(Fixture, EscapeLevelsRoundTrip) {
  g_largeLevel = 32767;
  round_trip(*this, 21, 1500);
  g_largeLevel = 1500;
}

// The largest products the dequantisation meets: every scaling list entry
// 255 (LevelScale up to 255 x 58) with levels up to the 16-bit limit, at
// every QP.
TEST_F(Fixture, LargestScalesWithEscapeLevelsRoundTrip) {
  std::memset(w4, 255, sizeof(w4));
  std::memset(w8, 255, sizeof(w8));
  build_level_scale(w4, w8, ls4, ls8);
  g_largeLevel = 32767;
  round_trip(*this, 33, 900);
  g_largeLevel = 1500;
}

// Blocks of the coded quadrants, each written with the coeff_token table of
// the nC the decoder should derive for it (and one coefficient when `level`
// is not 0): the reader ends right after them only if every nC agrees.
struct NcBlock {
  int nC, level;
};
void expect_nc(const Fixture& f, MacroblockRecord* mb, std::initializer_list<NcBlock> blocks, uint8_t mbaff) {
  BitWriter w;
  for (const NcBlock& b : blocks) {
    const int coef[16] = {0, 0, b.level};
    cavlctest::put_block(w, coef, 16, b.nC);
  }
  Reader rd(w);
  cavlc_residual_4x4(&rd.r, mb, ResidualQuant{f.ls4, f.ls8, 28, 28, 28, mbaff});
  EXPECT_EQ(rd.r.overrun, 0u);
  EXPECT_EQ(rd.used(), w.size());
}

TEST_F(Fixture, NeighbourCountsOfSkippedPcmAndMbaffMacroblocks) {
  static MacroblockRecord left, up, mb;
  left.mb_type = MbP_Skip;
  left.total_coeff_luma[5] = 9;  // ignored: skipped counts 0
  up.mb_type = MbL0_16x16;
  up.total_coeff_luma[10] = 5;
  mb.neighbour_a = &left;
  mb.neighbour_b = &up;
  mb.mb_type = MbL0_16x16;
  mb.mb_structure = 2;
  mb.cbp_luma = 1;
  // Block 0: (0 + 5 + 1) >> 1; block 1: left block 0 (1), up 0.
  expect_nc(*this, &mb, {{3, 4}, {1, 0}, {1, 0}, {0, 0}}, 0);
  EXPECT_EQ(mb.total_coeff_luma[0], 1);
  // An I_PCM left neighbour alone counts 16; block 2: (16 + 1 + 1) >> 1.
  left.mb_type = MbI_PCM;
  mb.neighbour_b = nullptr;
  expect_nc(*this, &mb, {{16, 4}, {1, 0}, {9, 0}, {0, 0}}, 0);

  // MBAFF, quadrants 0 and 2 (the left column). The bottom frame macroblock
  // of its pair beside a field pair reads blocks 13 and 15 of the left top
  // record; a field macroblock beside a frame pair reads blocks 5 and 13 of
  // the top record for its upper half, of the bottom record for its lower.
  static MacroblockRecord pair[2], cur[2];
  pair[0].mb_type = pair[1].mb_type = MbL0_16x16;
  pair[0].mb_structure = 0;
  pair[1].mb_structure = 1;
  pair[0].total_coeff_luma[13] = 12;
  pair[0].total_coeff_luma[15] = 4;
  auto pairCase = [&](uint32_t addr, uint8_t structure, std::initializer_list<NcBlock> blocks) {
    MacroblockRecord& m = cur[addr & 1];
    m.mb_addr = addr;
    m.mb_structure = structure;
    m.mb_type = MbL0_16x16;
    m.neighbour_a = &pair[0];
    m.cbp_luma = 5;
    expect_nc(*this, &m, blocks, 1);
  };
  pairCase(3, 2, {{12, 0}, {0, 0}, {6, 0}, {0, 0}, {2, 0}, {0, 0}, {2, 0}, {0, 0}});
  std::memset(pair, 0, sizeof(pair));
  pair[0].mb_type = pair[1].mb_type = MbL0_16x16;
  pair[0].mb_structure = pair[1].mb_structure = 2;
  pair[0].total_coeff_luma[5] = 12;
  pair[0].total_coeff_luma[13] = 8;
  pair[1].total_coeff_luma[5] = 4;
  pair[1].total_coeff_luma[13] = 12;
  pairCase(2, 0, {{12, 0}, {0, 0}, {4, 0}, {0, 0}, {2, 0}, {0, 0}, {6, 0}, {0, 0}});
}

// Every level from -70 to 70 after levels that raise suffixLength to each
// of 0..6: codes of up to 8 bits come from a lookup, longer ones from the
// level arithmetic, and the two meet within this range at every
// suffixLength.
TEST_F(Fixture, LevelsAroundTheLookupLimitAtEverySuffixLength) {
  static MacroblockRecord mb;
  const int qp = 20;
  for (int raise = 0; raise <= 6; ++raise)
    for (int v = -70; v <= 70; ++v) {
      if (v == 0) continue;
      // Levels are read from the highest position down: 2 gives
      // suffixLength 1, each 200 one more from 2 on.
      int coef[16] = {v};
      if (raise == 1) coef[1] = 2;
      for (int k = 1; raise >= 2 && k <= raise - 1; ++k) coef[k] = 200;
      int n = 0;
      for (int c : coef) n += c != 0;
      BitWriter w;
      cavlctest::put_block(w, coef, 16, 0);
      const int empty[16] = {};
      cavlctest::put_block(w, empty, 16, n);
      cavlctest::put_block(w, empty, 16, n);
      cavlctest::put_block(w, empty, 16, 0);
      std::memset(&mb, 0, sizeof(mb));
      mb.mb_type = MbL0_16x16;
      mb.mb_structure = 2;
      mb.cbp_luma = 1;
      Reader rd(w);
      cavlc_residual_4x4(&rd.r, &mb, ResidualQuant{ls4, ls8, qp, qp, qp, 0});
      ASSERT_EQ(rd.r.overrun, 0u) << raise << " " << v;
      ASSERT_EQ(rd.used(), w.size()) << raise << " " << v;
      for (int k = 0; k < 16; ++k) {
        const int i = FRAME_SCAN_CAVLC[k];
        const int want = coef[k] ? reftest::dequant4(coef[k], ls4[3][qp % 6][i], qp) : 0;
        ASSERT_EQ(mb.luma_coeff[i], want) << raise << " " << v << " position " << k;
      }
    }
}

TEST_F(Fixture, DamagedDataMarksTheReader) {
  static MacroblockRecord mb;
  std::memset(&mb, 0, sizeof(mb));
  mb.mb_type = MbL0_16x16;
  mb.mb_structure = 2;
  mb.cbp_luma = 15;
  const ResidualQuant q{ls4, ls8, 30, 30, 30, 0};
  // A coeff_token that matches no code (fifteen zeros, then ones).
  BitWriter bad;
  bad.put(0, 15);
  bad.put(0xFFFF, 16);
  Reader rd(bad);
  cavlc_residual_4x4(&rd.r, &mb, q);
  EXPECT_EQ(rd.r.overrun, kReaderDamaged);

  // Data that ends in the middle of the macroblock: blocks that would read
  // past the payload are refused, and the reader never moves past it.
  std::mt19937 rng(1);
  int refused = 0;
  for (int trial = 0; trial < 300; ++trial) {
    static MacroblockRecord cut_mb;
    std::memset(&cut_mb, 0, sizeof(cut_mb));
    cut_mb.mb_type = MbL0_16x16;
    cut_mb.mb_structure = 2;
    cut_mb.cbp_luma = 15;
    cut_mb.cbp_chroma = 2;
    BitWriter w;
    Expect e;
    write_macroblock(rng, &cut_mb, k4x4, w, e, *this, 30, 30, 30);
    std::vector<uint8_t> bytes = w.bytes();
    const size_t cut = 1 + rng() % (bytes.size() - 1);
    BitWriter head;
    for (size_t i = 0; i < cut; ++i) head.put(bytes[i], 8);
    Reader r2(head, 2);
    cavlc_residual_4x4(&r2.r, &cut_mb, q);
    refused += r2.r.overrun != 0;
    EXPECT_LE(r2.used(), cut * 8) << trial;
    EXPECT_LE(r2.r.pWord, reinterpret_cast<const uint8_t*>(r2.words.data()) + ((r2.length + 3) & ~3u));
  }
  EXPECT_GT(refused, 290);
}

// Every code of the lists, followed by any bits, is found in the
// single-lookup tables with its value and length; the bits that begin no code
// give 0.
TEST(CavlcFlatTables, EveryCodeOfEveryList) {
  struct Case {
    const char* list;
    int table;  // coeff_token class, total_zeros table, or run_before row
    enum { kToken, kZeros, kRun } kind;
    int codes;  // codes in the list
  };
  const Case cases[] = {
      {"coeff_token_map_02", 0, Case::kToken, 62},  {"coeff_token_map_24", 1, Case::kToken, 62},
      {"coeff_token_map_48", 2, Case::kToken, 62},  {"coeff_token_map_cr", 3, Case::kToken, 14},
      {"total_zeros_map_1", 1, Case::kZeros, 16},   {"total_zeros_map_2", 2, Case::kZeros, 15},
      {"total_zeros_map_7", 7, Case::kZeros, 10},   {"total_zeros_map_10", 10, Case::kZeros, 7},
      {"total_zeros_map_15", 15, Case::kZeros, 2},  {"total_zeros_map_cr1", 17, Case::kZeros, 4},
      {"total_zeros_map_cr3", 19, Case::kZeros, 2}, {"run_before_map_1", 1, Case::kRun, 2},
      {"run_before_map_4", 4, Case::kRun, 5},       {"run_before_map_6", 6, Case::kRun, 7},
      {"run_before_map_6p", 7, Case::kRun, 15},     {"run_before_map_6p", 15, Case::kRun, 15},
  };
  ASSERT_EQ(AllocateCAVLCTables(), 0u);
  const CavlcFlatTables& flat = *CavlcTables;
  std::mt19937_64 rng(3);
  for (const Case& c : cases) {
    const CavlcCodeList* list = nullptr;
    for (const CavlcCodeList& l : kCavlcCodeLists)
      if (std::strcmp(l.name, c.list) == 0) list = &l;
    ASSERT_NE(list, nullptr) << c.list;
    const int32_t* p = list->words + 2 + list->words[1];
    int found = 0;
    for (int length = 1;; ++length) {
      const int32_t count = *p++;
      if (count < 0) break;
      for (int n = 0; n < count; ++n, p += list->entryWords, ++found) {
        for (int trial = 0; trial < 8; ++trial) {
          // The code left-aligned, then random bits.
          const uint64_t bits = (uint64_t{static_cast<uint32_t>(p[0])} << (64 - length)) | (rng() >> length);
          int value, consumed;
          if (c.kind == Case::kToken) {
            const int z = std::min(__builtin_clzll(bits | (uint64_t{1} << 31)), 32);
            const uint16_t e = flat.coeffToken[c.table][8 * z + ((bits << z << 1) >> 61)];
            consumed = e & 31;
            value = ((e >> 7) << 8) | ((e >> 5) & 3);
            EXPECT_EQ(value, (p[2] << 8) | p[1]) << c.list << " code " << found;
          } else if (c.kind == Case::kZeros) {
            const CavlcDirectIndex& t = flat.totalZerosIndex[c.table];
            const uint8_t e = flat.totalZeros[t.offset + (bits >> (64 - t.bits))];
            consumed = e >> 4;
            value = e & 15;
          } else {
            const uint8_t e = flat.runBefore[c.table][bits >> 61];
            const int z = __builtin_clzll(bits);
            consumed = e != 0 ? (e >> 4) & 7 : z + 1;
            value = e != 0 ? e & 15 : z + 4;
          }
          EXPECT_EQ(consumed, length) << c.list << " code " << found;
          if (c.kind != Case::kToken) {
            EXPECT_EQ(value, p[1]) << c.list << " code " << found;
          }
        }
      }
    }
    EXPECT_EQ(found, c.codes) << c.list;
  }
  // Sixteen zeros start no coeff_token of the 4x4 columns; 0000 0000 0 no
  // total_zeros of TotalCoeff 1.
  for (int cls = 0; cls < 3; ++cls) EXPECT_EQ(flat.coeffToken[cls][8 * 16], 0) << cls;
  // With no zeros left, run_before reads nothing.
  for (uint8_t e : flat.runBefore[0]) EXPECT_EQ(e, 0x80);
  EXPECT_EQ(flat.totalZeros[flat.totalZerosIndex[1].offset], 0);
  FreeCAVLCTables();
}

// One set serves every user: a second user gets the first one's, it
// outlives the first release, and the last release frees it. A build that
// finds no memory takes no hold and keeps nothing.
TEST(CavlcTableLifetime, SharedByUsersFreedByTheLast) {
  ASSERT_EQ(AllocateCAVLCTables(), 0u);
  const CavlcFlatTables* first = CavlcTables;
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(AllocateCAVLCTables(), 0u);
  EXPECT_EQ(CavlcTables, first);
  FreeCAVLCTables();
  EXPECT_EQ(CavlcTables, first);
  EXPECT_EQ(first->runBefore[0][0], 0x80);  // still readable
  FreeCAVLCTables();
  EXPECT_EQ(CavlcTables, nullptr);
  FreeCAVLCTables();  // an extra release is harmless
  EXPECT_EQ(CavlcTables, nullptr);

  i_malloc = [](size_t) -> void* { return nullptr; };
  EXPECT_EQ(AllocateCAVLCTables(), 6u);
  i_malloc = std::malloc;
  EXPECT_EQ(CavlcTables, nullptr);
  ASSERT_EQ(AllocateCAVLCTables(), 0u);
  ASSERT_NE(CavlcTables, nullptr);
  FreeCAVLCTables();
  EXPECT_EQ(CavlcTables, nullptr);  // the failed build held nothing
}

TEST(Scans, PermutationsAndTheFrameZigZag) {
  bool seen[64];
  for (const int32_t* s : {FRAME_SCAN_CAVLC, FIELD_SCAN_CAVLC}) {
    std::fill(seen, seen + 16, false);
    for (int i = 0; i < 16; ++i) seen[s[i]] = true;
    EXPECT_TRUE(std::all_of(seen, seen + 16, [](bool b) { return b; }));
  }
  for (const uint8_t* s : {FRAME_SCAN8x8, FIELD_SCAN8x8}) {
    std::fill(seen, seen + 64, false);
    for (int i = 0; i < 64; ++i) seen[s[i]] = true;
    EXPECT_TRUE(std::all_of(seen, seen + 64, [](bool b) { return b; }));
  }
  // The syntax layer's raster zig-zags, transposed to column-major.
  for (int i = 0; i < 16; ++i) EXPECT_EQ(FRAME_SCAN_CAVLC[i], 4 * (ZIGZAG_SCAN[i] % 4) + ZIGZAG_SCAN[i] / 4);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(FRAME_SCAN8x8[i], 8 * (ZIGZAG_SCAN8x8[i] % 8) + ZIGZAG_SCAN8x8[i] / 8);
  // Field scans move down a column before they move right.
  EXPECT_EQ(FIELD_SCAN8x8[1], 1);
  EXPECT_EQ(FIELD_SCAN8x8[2], 2);
  EXPECT_EQ(FIELD_SCAN8x8[3], 8);
  EXPECT_EQ(FIELD_SCAN8x8[63], 63);
}

}  // namespace
