// CABAC parsing alone (slice data of every picture, with dequantisation and
// the in-place inverse transforms, no prediction or deblocking), in pictures
// and macroblocks per second on one thread, beside ffmpeg's full decoding of
// the same stream (one thread) as a reference point: two CIF clips and the
// video of the 10-second 1080i AVCHD-style recording (MBAFF).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "cabac_residual.h"
#include "cabac_stream_parse.h"
#include "cabac_test_encoder.h"
#include "testsupport.h"

namespace {

const char kRecording[] = "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts";

// An Annex B stream, or for a .m2ts the payload of the video PES packets
// (PID 0x1011) of its 192-byte source packets.
std::vector<uint8_t> annexb_of(const std::string& path) {
  std::vector<uint8_t> file = testsupport::read_file(path);
  if (path.size() < 5 || path.compare(path.size() - 5, 5, ".m2ts") != 0) return file;
  std::vector<uint8_t> es;
  for (size_t at = 0; at + 192 <= file.size(); at += 192) {
    const uint8_t* p = file.data() + at + 4;
    if (p[0] != 0x47 || (((p[1] & 0x1F) << 8) | p[2]) != 0x1011 || !(p[3] & 0x10)) continue;
    size_t start = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
    if ((p[1] & 0x40) && start + 9 <= 188) start += 9 + p[start + 8];
    if (start < 188) es.insert(es.end(), p + start, p + 188);
  }
  return es;
}

void parse(benchmark::State& state, const char* rel) {
  const std::string path = testsupport::testdata_file(rel);
  if (path.empty()) {
    state.SkipWithError("test material missing");
    return;
  }
  const std::vector<uint8_t> file = annexb_of(path);
  size_t pictures = 0, macroblocks = 0;
  int failed = 0;
  for (auto _ : state) {
    failed = 0;
    const auto pics = cabacstream::parse_stream(file, &failed);
    pictures += pics.size();
    for (const auto& p : pics) macroblocks += p.qp.size();
    benchmark::DoNotOptimize(pics.data());
  }
  state.counters["pictures/s"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(macroblocks), benchmark::Counter::kIsRate);
  state.counters["failed slices"] = failed;
}

void ffmpeg_decode(benchmark::State& state, const char* rel, int picturesPerPass) {
  const std::string path = testsupport::testdata_file(rel);
  if (path.empty() || std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
    state.SkipWithError("ffmpeg or test material missing");
    return;
  }
  const std::string cmd = "ffmpeg -nostdin -loglevel error -threads 1 -i '" + path + "' -map 0:v -f null - ";
  size_t pictures = 0;
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    pictures += static_cast<size_t>(picturesPerPass);
  }
  state.counters["pictures/s"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}

// Residual decoding alone: inter frame macroblocks of sixteen coded 4x4 luma
// blocks, written by the test encoder with a dense mix of levels (position
// i is 0 with probability 6i%, else mostly 1, some larger, more so at low
// frequencies), decoded by cabac_residual_4x4:
// the cost of significance maps, levels and signs without the rest of the
// parse, in 4x4 blocks per second.
struct ResidualStream {
  std::vector<uint8_t> data;
  size_t payload = 0;
  CabacContext ctx[kCabacContextCount];
  int mbs = 0;
};

ResidualStream residual_stream(int mbs) {
  ResidualStream s;
  s.mbs = mbs;
  std::mt19937 rng(7);
  cabac_init_contexts_p_slice(26, s.ctx, 0);
  CabacContext enc[kCabacContextCount];
  std::memcpy(enc, s.ctx, sizeof enc);
  CabacTestEncoder e;
  const BlockCtxSet set = {kCtxSigFrame + 29, kCtxLastFrame + 29, kCtxLevel + 20, kIdentity, kIdentity};
  for (int m = 0; m < mbs; ++m) {
    for (uint32_t blk = 0; blk < 16; ++blk) {
      // Every block is coded: neighbours inside the macroblock count, the
      // absent ones outside do not (inter macroblock).
      const uint32_t condA = ((0x505u >> blk) & 1) ^ 1, condB = ((0x33u >> blk) & 1) ^ 1;
      e.decision(&enc[kCtxCodedBlockFlag + 8 + condA + 2 * condB], 1);
      // Low frequencies are more often coded and larger, as in real blocks.
      int32_t coeffs[16];
      for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t r = rng() % 100;
        coeffs[i] = r < 6 * i ? 0 : (r < 70 ? 1 : static_cast<int32_t>(rng() % (40 - 2 * i)) + 1) * ((rng() & 1) ? -1 : 1);
      }
      coeffs[rng() % 16] = 2;
      encode_block(&e, enc, set, coeffs, 16);
    }
  }
  e.terminate(1);
  s.data = e.bytes(&s.payload);
  return s;
}

void residual_4x4(benchmark::State& state) {
  static const ResidualStream s = residual_stream(2000);
  static int32_t ls4x4[6][6][16], ls8x8[2][6][64];
  for (auto& t : ls4x4)
    for (auto& row : t)
      for (int32_t& v : row) v = 16;
  const ResidualQuant q = {ls4x4, ls8x8, 26, 26, 26, 0};
  MacroblockRecord mb{};
  CabacContext ctx[kCabacContextCount];
  ThreadBuffer tb{};
  for (auto _ : state) {
    std::memcpy(ctx, s.ctx, sizeof ctx);
    cabac_test_start(&tb, s.data, s.payload);
    for (int m = 0; m < s.mbs; ++m) {
      mb.mb_type = 20;
      mb.mb_structure = 2;
      mb.cbp_luma = 15;
      mb.cbp_chroma = 0;
      mb.luma_nonzero_mask = 0;
      cabac_residual_4x4(&tb, &mb, ctx, q);
    }
    benchmark::DoNotOptimize(mb.luma_coeff);
  }
  if (cabac_test_terminate(&tb) != 1 || tb.reader.overrun) state.SkipWithError("stream not decoded to its end");
  state.counters["blocks/s"] =
      benchmark::Counter(16.0 * s.mbs * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(residual_4x4)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(parse, cif_cabac_main, "h264-features/02_cabac_main.264")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(parse, cif_cabac_high_8x8, "h264-features/03_cabac_high_8x8.264")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(parse, avchd_1080i_mbaff, kRecording)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ffmpeg_decode, cif_cabac_main, "h264-features/02_cabac_main.264", 50)
    ->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_CAPTURE(ffmpeg_decode, avchd_1080i_mbaff, kRecording, 300)
    ->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
