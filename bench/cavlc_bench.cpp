// CAVLC primitives per variant: 4x4 residual blocks and 2x2 chroma DC blocks
// decoded from one bit stream of random blocks (mostly small levels, every
// nC class), and Exp-Golomb codes of mixed lengths beside a plain reader
// that takes one bit at a time. Items are blocks or codes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench_variants.h"
#include "cavlc_tables.h"
#include "cavlc_writer.h"
#include "vpImage.h"

namespace {

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
  AllocateCAVLCTables();
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
    kCoeffs[slot](wp, offset, &count, &pos, static_cast<uint32_t>(nC), 16, CoeffTokenTable, TotalZerosTable,
                  RunBeforeTable, kScan);
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
    kChroma[slot](wp, offset, &count, &pos, CoeffTokenTable[3], TotalZerosCRTable, RunBeforeTable);
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

}  // namespace

BENCHMARK(BM_Cavlc4x4)->ArgName("variant")->DenseRange(1, 3);
BENCHMARK(BM_CavlcChromaDc)->ArgName("variant")->DenseRange(1, 3);
BENCHMARK(BM_ExpGolomb32)->ArgName("variant")->DenseRange(0, 3);
BENCHMARK_MAIN();
