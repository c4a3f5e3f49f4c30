// CAVLC primitives per variant: 4x4 residual blocks and 2x2 chroma DC blocks
// decoded from one bit stream of random blocks (mostly small levels, every
// nC class), and Exp-Golomb codes of mixed lengths beside a plain reader
// that takes one bit at a time. Items are blocks or codes. And the decoder's
// residual routine on whole macroblocks.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench_variants.h"
#include "cavlc_residual.h"
#include "cavlc_code_tables.h"
#include "cavlc_writer.h"
#include "vpImage.h"

namespace {

// The block primitives' multi-level tables, built from the code lists.
CavlcCodeTables& tables = cavlc_code_tables();

constexpr int kBlocks = 4096;
const int32_t kScan[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};

struct Stream {
  std::vector<uint32_t> words;
  std::vector<int> nC;
};

// kBlocks random blocks (chroma DC when nC is -1), levels mostly +-1..3.
Stream blocks(bool chromaDc) {
  std::mt19937 rng(17);
  Stream s;
  cavlctest::BitWriter w;
  for (int b = 0; b < kBlocks; ++b) {
    const int nC = chromaDc ? -1 : static_cast<int>(rng() % 10);
    const int size = chromaDc ? 4 : 16;
    int coef[16] = {};
    for (int i = 0; i < size; ++i) {
      if (rng() % 100 < static_cast<unsigned>(chromaDc ? 40 : 20 + 6 * nC)) {
        const int v = rng() % 8 ? 1 + static_cast<int>(rng() % 3) : 1 + static_cast<int>(rng() % 60);
        coef[i] = rng() & 1 ? -v : v;
      }
    }
    cavlctest::put_block(w, coef, size, nC);
    s.nC.push_back(nC);
  }
  s.words = w.words(4, 0);
  return s;
}

using CoeffsFn = decltype(&sse2_vpiDecodeCAVLCCoeffs_H264_1u16s);
const CoeffsFn kCoeffs[] = {sse2_vpiDecodeCAVLCCoeffs_H264_1u16s, sse2_vpiDecodeCAVLCCoeffs_H264_1u16s,
                            ssse3_vpiDecodeCAVLCCoeffs_H264_1u16s, sse41_vpiDecodeCAVLCCoeffs_H264_1u16s};
using ChromaFn = decltype(&sse2_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s);
const ChromaFn kChroma[] = {sse2_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s, sse2_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s,
                            ssse3_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s,
                            sse41_vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s};

// Decodes the kernel's blocks of the stream once per iteration.
template <typename DecodeOne>
void decodeStream(benchmark::State& state, const Stream& s, DecodeOne decodeOne) {
  for (auto _ : state) {
    uint32_t* wp = const_cast<uint32_t*>(s.words.data());
    int32_t offset = 31;
    for (int b = 0; b < kBlocks; ++b) decodeOne(&wp, &offset, s.nC[b]);
  }
  state.SetItemsProcessed(state.iterations() * kBlocks);
}

void BM_Cavlc4x4(benchmark::State& state) {
  const int slot = static_cast<int>(state.range(0));
  if (!hasVariant(slot)) return state.SkipWithError("variant not supported by this processor");
  static const Stream s = blocks(false);
  alignas(16) int16_t out[16];
  decodeStream(state, s, [&](uint32_t** wp, int32_t* offset, int nC) {
    int16_t* pos = out;
    int16_t count;
    kCoeffs[slot](wp, offset, &count, &pos, static_cast<uint32_t>(nC), 16, tables.CoeffTokenTable,
                  tables.TotalZerosTable, tables.RunBeforeTable, kScan);
    benchmark::DoNotOptimize(out);
  });
}

void BM_CavlcChromaDc(benchmark::State& state) {
  const int slot = static_cast<int>(state.range(0));
  if (!hasVariant(slot)) return state.SkipWithError("variant not supported by this processor");
  static const Stream s = blocks(true);
  int16_t out[4];
  decodeStream(state, s, [&](uint32_t** wp, int32_t* offset, int) {
    int16_t* pos = out;
    int16_t count;
    kChroma[slot](wp, offset, &count, &pos, tables.CoeffTokenTable[3], tables.TotalZerosCRTable, tables.RunBeforeTable);
    benchmark::DoNotOptimize(out);
  });
}

// Codes of codeNum 0..~4000, most of them short, as slice headers hold.
const std::vector<uint32_t>& golombStream() {
  static const std::vector<uint32_t> words = [] {
    std::mt19937 rng(19);
    cavlctest::BitWriter w;
    for (int i = 0; i < kBlocks; ++i) w.put_ue(rng() % 4 ? rng() % 8 : rng() % 4000);
    return w.words(4, 0);
  }();
  return words;
}

// Plain reader: one bit at a time.
int32_t plainExpGolomb(uint32_t** wp, int32_t* offset) {
  auto bit = [&] {
    const uint32_t b = (**wp >> *offset) & 1u;
    if (--*offset < 0) {
      *offset = 31;
      ++*wp;
    }
    return b;
  };
  int zeros = 0;
  while (bit() == 0) ++zeros;
  uint32_t v = 1;
  for (int i = 0; i < zeros; ++i) v = (v << 1) | bit();
  return static_cast<int32_t>(v - 1);
}

using Golomb32Fn = decltype(&sse2_decode_exp_golomb_one_32s_mmp);
const Golomb32Fn kGolomb32[] = {nullptr, sse2_decode_exp_golomb_one_32s_mmp, ssse3_decode_exp_golomb_one_32s_mmp,
                                sse41_decode_exp_golomb_one_32s_mmp};

// Argument: variant slot 1..3, or 0 for the plain reader.
void BM_ExpGolomb32(benchmark::State& state) {
  const int slot = static_cast<int>(state.range(0));
  if (!hasVariant(slot)) return state.SkipWithError("variant not supported by this processor");
  const std::vector<uint32_t>& words = golombStream();
  int32_t v = 0;
  for (auto _ : state) {
    uint32_t* wp = const_cast<uint32_t*>(words.data());
    int32_t offset = 31;
    for (int i = 0; i < kBlocks; ++i) {
      if (slot == 0) {
        v += plainExpGolomb(&wp, &offset);
      } else {
        int32_t x;
        kGolomb32[slot](&wp, &offset, &x, 0);
        v += x;
      }
    }
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations() * kBlocks);
}

// Whole macroblocks through the residual routine: every luma quadrant and
// the chroma DC and AC coded, about 9 coefficients per 4x4 block, levels
// mostly +-1..3, as a 20 Mbit/s 1080p stream holds them. Items are
// macroblocks.
constexpr int kMacroblocks = 512;

// nC from the counts of the left and upper blocks, -1 where there is none.
int nc_of(int a, int b) { return a >= 0 && b >= 0 ? (a + b + 1) >> 1 : a >= 0 ? a : b >= 0 ? b : 0; }

void random_levels(std::mt19937& rng, int* coef, int n, int percent) {
  for (int i = 0; i < n; ++i) {
    coef[i] = 0;
    if (rng() % 100 < static_cast<unsigned>(percent)) {
      const int v = rng() % 8 ? 1 + static_cast<int>(rng() % 3) : 1 + static_cast<int>(rng() % 60);
      coef[i] = rng() & 1 ? -v : v;
    }
  }
}

// Blocks in the order the routine reads them, each with the nC that the
// counts before it give (the macroblock has no neighbours).
const std::vector<uint32_t>& macroblockStream() {
  static const std::vector<uint32_t> words = [] {
    std::mt19937 rng(23);
    cavlctest::BitWriter w;
    for (int m = 0; m < kMacroblocks; ++m) {
      int luma[4][4];
      for (int blk = 0; blk < 16; ++blk) {
        const int x = 2 * ((blk >> 2) & 1) + (blk & 1), y = 2 * (blk >> 3) + ((blk >> 1) & 1);
        int coef[16];
        random_levels(rng, coef, 16, 60);
        cavlctest::put_block(w, coef, 16, nc_of(x > 0 ? luma[y][x - 1] : -1, y > 0 ? luma[y - 1][x] : -1));
        luma[y][x] = 0;
        for (int c : coef) luma[y][x] += c != 0;
      }
      for (int c = 0; c < 2; ++c) {
        int dc[4];
        random_levels(rng, dc, 4, 60);
        cavlctest::put_block(w, dc, 4, -1);
      }
      for (int c = 0; c < 2; ++c) {
        int chroma[2][2];
        for (int b4 = 0; b4 < 4; ++b4) {
          const int x = b4 & 1, y = b4 >> 1;
          int coef[15];
          random_levels(rng, coef, 15, 25);
          cavlctest::put_block(w, coef, 15, nc_of(x > 0 ? chroma[y][x - 1] : -1, y > 0 ? chroma[y - 1][x] : -1));
          chroma[y][x] = 0;
          for (int v : coef) chroma[y][x] += v != 0;
        }
      }
    }
    return w.words(4, 0);
  }();
  return words;
}

void BM_CavlcResidualMacroblock(benchmark::State& state) {
  const std::vector<uint32_t>& words = macroblockStream();
  static int32_t ls4[6][6][16], ls8[2][6][64];
  for (auto& t : ls4)
    for (auto& row : t)
      for (int32_t& v : row) v = 16 * 13;
  const ResidualQuant q{ls4, ls8, 28, 28, 28, 0};
  static MacroblockRecord mb;
  if (AllocateCAVLCTables() != 0) return state.SkipWithError("no memory for the code tables");
  for (auto _ : state) {
    BitReaderCabac r;
    bs_init(&r, reinterpret_cast<const uint8_t*>(words.data()), static_cast<uint32_t>(4 * words.size() - 16));
    for (int m = 0; m < kMacroblocks; ++m) {
      std::memset(mb.luma_coeff, 0, sizeof(mb.luma_coeff));
      std::memset(mb.chroma_coeff, 0, sizeof(mb.chroma_coeff));
      mb.mb_type = MbL0_16x16;
      mb.mb_structure = 2;
      mb.cbp_luma = 15;
      mb.cbp_chroma = 2;
      cavlc_residual_4x4(&r, &mb, q);
    }
    if (r.overrun != 0) {
      FreeCAVLCTables();
      return state.SkipWithError("stream not decoded");
    }
    benchmark::DoNotOptimize(mb);
  }
  FreeCAVLCTables();
  state.SetItemsProcessed(state.iterations() * kMacroblocks);
}

}  // namespace

BENCHMARK(BM_CavlcResidualMacroblock);
BENCHMARK(BM_Cavlc4x4)->ArgName("variant")->DenseRange(1, 3);
BENCHMARK(BM_CavlcChromaDc)->ArgName("variant")->DenseRange(1, 3);
BENCHMARK(BM_ExpGolomb32)->ArgName("variant")->DenseRange(0, 3);
BENCHMARK_MAIN();
