// Chroma kernels (the named ones, the plain reference and every vector
// variant the processor runs) against the bilinear interpolation with
// per-sample edge clamping, on a plane with filled margins and nothing
// readable beyond it, writing to a misaligned output between guard samples;
// and the chroma residual adders against their block arrangement and, at
// the 16-bit extremes, every variant against the reference.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "chroma_dsp.h"
#include "inter_prediction.h"
#include "checkasm.h"

namespace {

// A chroma plane of width x height samples with 8 margin samples left and
// right that repeat each row's edge samples; the plane ends the allocation.
struct Plane {
  int width, height, pitch;
  std::vector<uint8_t> storage;
  Plane(int w, int h, std::mt19937& rng) : width(w), height(h), pitch(w + 16), storage(static_cast<size_t>(pitch) * h) {
    std::uniform_int_distribution<int> v(0, 255);
    for (int y = 0; y < h; ++y) {
      uint8_t* row = origin() + y * pitch;
      for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(v(rng));
      for (int m = 1; m <= 8; ++m) {
        row[-m] = row[0];
        row[w - 1 + m] = row[w - 1];
      }
    }
  }
  uint8_t* origin() { return storage.data() + 8; }
  int at(int x, int y) const {
    x = x < 0 ? 0 : x >= width ? width - 1 : x;
    y = y < 0 ? 0 : y >= height ? height - 1 : y;
    return storage[8 + static_cast<size_t>(y) * pitch + x];
  }
  int model(int x, int y, int dx, int dy) const {
    return ((8 - dx) * (8 - dy) * at(x, y) + dx * (8 - dy) * at(x + 1, y) + (8 - dx) * dy * at(x, y + 1) +
            dx * dy * at(x + 1, y + 1) + 32) >>
           6;
  }
};

using Kernel = void (*)(const uint8_t*, int32_t, int32_t, int32_t, int32_t, int16_t*, int32_t, int32_t, int32_t);

// The tables to test: the reference and the variants the processor runs
// (only the forced one under VP_FORCE_VARIANT).
std::vector<const ChromaDsp*> tables() {
  std::vector<const ChromaDsp*> out = {&c_chroma_dsp};
  for (const ChromaDsp* t : checkasm::kernels(&sse2_chroma_dsp, &ssse3_chroma_dsp, &sse41_chroma_dsp)) out.push_back(t);
  return out;
}

void check_kernel(Kernel kernel, int rows, Plane& plane, int x, int y, int dx, int dy) {
  // Output one sample past an aligned start, 8 guard samples before.
  alignas(16) int16_t buf[8 + 8 * 8 + 8 + 1];
  std::fill(std::begin(buf), std::end(buf), int16_t{-1});
  int16_t* out = buf + 9;
  kernel(plane.origin(), x, y, dx, dy, out, plane.pitch, plane.height, plane.pitch);
  for (int r = 0; r < rows; ++r)
    for (int i = 0; i < 8; ++i)
      ASSERT_EQ(out[8 * r + i], plane.model(x + i, y + r, dx, dy))
          << rows << " rows at " << x << "," << y << " fraction " << dx << "," << dy << " sample " << i << "," << r;
  for (int16_t* p = buf; p < std::end(buf); ++p) {
    if (p < out || p >= out + 8 * rows) {
      ASSERT_EQ(*p, -1) << "sample outside the block written";
    }
  }
}

TEST(ChromaKernels, MatchBilinearWithEdgeClampEverywhere) {
  std::mt19937 rng(1207);
  Plane plane(40, 24, rng);  // a 80x48 picture's chroma
  struct Case {
    Kernel k;
    int rows;
  };
  std::vector<Case> kernels;
  for (const ChromaDsp* t : tables())
    for (int n = 0; n < 3; ++n) kernels.push_back({t->bilinear[n], 2 << n});
  std::uniform_int_distribution<int> pos(-40, 80), frac(0, 7);
  for (const auto& k : kernels) {
    for (int i = 0; i < 3000; ++i) check_kernel(k.k, k.rows, plane, pos(rng), pos(rng) / 2, frac(rng), frac(rng));
    // Corners and the clamp limits exactly.
    for (int x : {-20, -9, -8, -7, 0, 23, 24, 25, 31, 32, 39, 40, 100})
      for (int y : {-5, -1, 0, 15, 16, 20, 23, 30}) check_kernel(k.k, k.rows, plane, x, y, 3, 5);
  }
}

// The two-plane kernels of every variant and the decoder's named
// predictions (the current variant's) against the model of each plane: Cb
// rows first, then Cr rows, nothing written around them.
TEST(ChromaKernels, PairsMatchBilinearOfBothPlanes) {
  std::mt19937 rng(1208);
  Plane cb(40, 24, rng), cr(40, 24, rng);
  std::uniform_int_distribution<int> pos(-40, 80), frac(0, 7);
  std::vector<std::array<ChromaBilinearPairFn, 3>> sets = {
      {GetChromaPrediction_2Lines, GetChromaPrediction_4Lines, GetChromaPrediction_8Lines}};
  for (const ChromaDsp* t : tables()) sets.push_back({t->bilinear_pair[0], t->bilinear_pair[1], t->bilinear_pair[2]});
  for (const auto& set : sets)
    for (int n = 0; n < 3; ++n) {
      const int rows = 2 << n;
      for (int i = 0; i < 2000; ++i) {
        const int x = pos(rng), y = i & 1 ? pos(rng) / 2 : static_cast<int>(rng() % (24 - rows)), dx = frac(rng),
                  dy = i % 5 ? frac(rng) : 0;
        alignas(16) int16_t buf[8 + 2 * 64 + 9];
        std::fill(std::begin(buf), std::end(buf), int16_t{-1});
        int16_t* out = buf + 9;
        set[n](cb.origin(), cr.origin(), x, y, dx, dy, out, cb.pitch, cb.height, cb.pitch);
        for (int r = 0; r < rows; ++r)
          for (int k = 0; k < 8; ++k) {
            ASSERT_EQ(out[8 * r + k], cb.model(x + k, y + r, dx, dy)) << rows << " rows at " << x << "," << y;
            ASSERT_EQ(out[8 * (rows + r) + k], cr.model(x + k, y + r, dx, dy)) << rows << " rows at " << x << "," << y;
          }
        for (int16_t* p = buf; p < std::end(buf); ++p)
          if (p < out || p >= out + 16 * rows) {
            ASSERT_EQ(*p, -1) << "sample outside the blocks written";
          }
      }
    }
}

TEST(ChromaKernels, WholeSampleVectorCopies) {
  std::mt19937 rng(3);
  Plane plane(16, 16, rng);
  int16_t out[128];  // the plane as Cb and as Cr
  GetChromaPrediction_8Lines(plane.origin(), plane.origin(), 4, 2, 0, 0, out, plane.pitch, plane.height, plane.pitch);
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 8; ++i) {
      ASSERT_EQ(out[8 * r + i], plane.at(4 + i, 2 + r));
      ASSERT_EQ(out[64 + 8 * r + i], plane.at(4 + i, 2 + r));
    }
  // y = -5: rows -5..3 read rows 0, 0, 0, 0, 0, 0, 1, 2, 3.
  GetChromaPrediction_8Lines(plane.origin(), plane.origin(), 0, -5, 0, 4, out, plane.pitch, plane.height,
                             plane.pitch);
  EXPECT_EQ(out[0], plane.at(0, 0));
  EXPECT_EQ(out[8 * 5], (plane.at(0, 0) + plane.at(0, 1) + 1) >> 1);
}

// The decoder's combinations: each block's prediction (plain, or averaged
// from two) plus the residual of the 4x4 blocks it covers, clipped and
// stored at its place, nothing else of the picture written.
TEST(ChromaAdders, BlocksLandWhereTheArrangementSays) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> v(-512, 512);
  alignas(16) int16_t res[64], pred[64], other[64];
  for (int i = 0; i < 64; ++i) {
    res[i] = static_cast<int16_t>(v(rng));
    pred[i] = static_cast<int16_t>(v(rng) & 255);
    other[i] = static_cast<int16_t>(v(rng) & 255);
  }
  const auto r_at = [&](int x, int y) { return res[16 * (2 * (y / 4) + x / 4) + 4 * (y % 4) + x % 4]; };
  const auto clip = [](int x) { return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x); };
  constexpr int kPitch = 24;
  const ChromaWeights copy{ChromaWeights::kCopy, 0, 0, 0, 0}, average{ChromaWeights::kTwo, 1, 1, 0, 0};
  // (x0, y0, w, h) of the block in the component, and the call.
  struct Block {
    int x0, y0, w, h;
    std::function<void(uint8_t*, const ChromaWeights*)> store;
  };
  const Block blocks[] = {
      {0, 0, 8, 8, [&](uint8_t* d, const ChromaWeights* w) { CombineChromaSamples_8x8(res, pred, other, w, d, kPitch); }},
      {0, 0, 8, 4, [&](uint8_t* d, const ChromaWeights* w) { CombineChromaSamples_8x4(res, 0, pred, other, w, d, kPitch); }},
      {0, 4, 8, 4, [&](uint8_t* d, const ChromaWeights* w) { CombineChromaSamples_8x4(res, 2, pred, other, w, d, kPitch); }},
      {0, 0, 4, 8, [&](uint8_t* d, const ChromaWeights* w) { CombineChromaSamples_4x8(res, 0, pred, other, w, d, kPitch); }},
      {4, 0, 4, 8, [&](uint8_t* d, const ChromaWeights* w) { CombineChromaSamples_4x8(res, 1, pred, other, w, d, kPitch); }},
      {4, 4, 4, 4, [&](uint8_t* d, const ChromaWeights* w) {
         CombineChromaSamples_4x4_Direct(res, 3, pred, other, w, d, kPitch);
       }}};
  for (const Block& b : blocks)
    for (const ChromaWeights* w : {&copy, &average}) {
      uint8_t picture[10 * kPitch];
      std::fill(std::begin(picture), std::end(picture), uint8_t{0xA5});
      uint8_t* origin = picture + kPitch + 4;  // the component's sample (0, 0)
      b.store(origin + b.y0 * kPitch + b.x0, w);
      for (int y = -1; y < 9; ++y)
        for (int x = -4; x < 20; ++x) {
          const bool inside = x >= b.x0 && x < b.x0 + b.w && y >= b.y0 && y < b.y0 + b.h;
          const int k = 8 * (y - b.y0) + (x - b.x0);
          const int p = !inside ? 0 : w->kind == ChromaWeights::kCopy ? pred[k] : (pred[k] + other[k] + 1) >> 1;
          ASSERT_EQ(origin[y * kPitch + x], inside ? clip(p + r_at(x, y)) : 0xA5)
              << b.w << "x" << b.h << " at " << b.x0 << "," << b.y0 << " sample " << x << "," << y;
        }
    }
}

TEST(ChromaAdders, EveryVariantMatchesTheReferenceAtTheExtremes) {
  std::mt19937 rng(5);
  int16_t res[64], pred[64];
  const int16_t extremes[] = {-32768, -32767, -256, -1, 0, 1, 255, 256, 32767};
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 64; ++i) {
      res[i] = round & 1 ? extremes[rng() % 9] : static_cast<int16_t>(rng());
      pred[i] = round & 2 ? extremes[rng() % 9] : static_cast<int16_t>(rng() & 255);
    }
    for (const ChromaDsp* t : tables()) {
      // Adders with the blocks each may be given: 8x4 the upper or lower
      // pair, 4x8 the left or right column.
      const struct {
        ChromaAddFn want, got;
        uint8_t blocks[2];
      } adders[] = {{c_chroma_dsp.add_8x8, t->add_8x8, {0, 0}},
                    {c_chroma_dsp.add_8x4, t->add_8x4, {0, 2}},
                    {c_chroma_dsp.add_4x8, t->add_4x8, {0, 1}},
                    {c_chroma_dsp.add_4x4, t->add_4x4, {0, 0}}};
      for (const auto& a : adders) {
        for (uint8_t block : a.blocks) {
          int16_t want[64] = {}, got[64] = {};
          a.want(res, block, pred, want);
          a.got(res, block, pred, got);
          ASSERT_EQ(0, std::memcmp(want, got, sizeof(want))) << "adder " << (&a - adders) << " block " << +block;
        }
      }
    }
  }
}

// The stores of every block shape a chroma member cuts (8x8, 8x4, 4x8, 4x4,
// 2x2 and the two-row halves at every block position), with and without a
// residual, into a misaligned destination whose every other byte must stay.
TEST(ChromaStores, EveryVariantMatchesTheReferenceWithGuardBytes) {
  std::mt19937 rng(11);
  const int16_t extremes[] = {-32768, -32767, -300, -1, 0, 1, 255, 256, 32767};
  alignas(16) int16_t res[128], pred[64];
  const int pitch = 13;
  for (int round = 0; round < 40; ++round) {
    for (auto& v : res) v = round & 1 ? extremes[rng() % 9] : static_cast<int16_t>(static_cast<int>(rng() % 601) - 300);
    for (auto& v : pred) v = round & 2 ? extremes[rng() % 9] : static_cast<int16_t>(rng() & 255);
    for (const ChromaDsp* t : tables()) {
      for (int w : {2, 4, 8})
        for (int h : {2, 4, 8})
          for (int bx = 0; bx + w <= 8; bx += w)
            for (int by = 0; by + h <= 8; by += h)
              for (const int16_t* r : {static_cast<const int16_t*>(res + 64), static_cast<const int16_t*>(nullptr)}) {
                uint8_t want[8 * pitch + 3], got[8 * pitch + 3];
                std::memset(want, 0x5A, sizeof want);
                std::memset(got, 0x5A, sizeof got);
                c_chroma_dsp.put_rows(want + 1, pitch, pred, r, bx, by, w, h);
                t->put_rows(got + 1, pitch, pred, r, bx, by, w, h);
                ASSERT_EQ(0, std::memcmp(want, got, sizeof want))
                    << w << "x" << h << " at " << bx << "," << by << (r ? "" : " without residual");
              }
      uint8_t want[8 * pitch + 3], got[8 * pitch + 3];
      std::memset(want, 0x5A, sizeof want);
      std::memset(got, 0x5A, sizeof got);
      c_chroma_dsp.put_blocks_8x8(want + 1, pitch, pred, res + 64);
      t->put_blocks_8x8(got + 1, pitch, pred, res + 64);
      ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << "blocks 8x8";
    }
  }
}

// The weighted stores: every kind, weights and offsets at their extremes,
// every block shape and position, with and without a residual, into a
// misaligned destination between guard bytes; the copy and the default
// average agree with the plain store of the prediction they form.
TEST(ChromaStores, WeightedEveryVariantMatchesTheReference) {
  std::mt19937 rng(12);
  alignas(16) int16_t res[64], p0[64], p1[64], avg[64];
  const int pitch = 13;
  const ChromaWeights weights[] = {{ChromaWeights::kCopy, 0, 0, 0, 0},       {ChromaWeights::kTwo, 1, 1, 0, 0},
                                   {ChromaWeights::kSingle, -128, 0, 127, 7}, {ChromaWeights::kSingle, 128, 0, -128, 7},
                                   {ChromaWeights::kSingle, 3, 0, 5, 0},     {ChromaWeights::kTwo, 21, 43, 0, 5},
                                   {ChromaWeights::kTwo, 128, -64, 0, 5},    {ChromaWeights::kTwo, -128, 127, -128, 7},
                                   {ChromaWeights::kTwo, 127, 127, 127, 0}};
  for (int round = 0; round < 8; ++round) {
    for (int i = 0; i < 64; ++i) {
      res[i] = static_cast<int16_t>(round & 1 ? (rng() & 1 ? 32767 : -32768) : static_cast<int>(rng() % 601) - 300);
      p0[i] = static_cast<int16_t>(round & 2 ? (rng() & 1) * 255 : rng() & 255);
      p1[i] = static_cast<int16_t>(rng() & 255);
      avg[i] = static_cast<int16_t>((p0[i] + p1[i] + 1) >> 1);
    }
    for (const ChromaDsp* t : tables())
      for (const ChromaWeights& w : weights)
        for (int wd : {2, 4, 8})
          for (int h : {2, 4, 8})
            for (int bx = 0; bx + wd <= 8; bx += wd)
              for (int by = 0; by + h <= 8; by += h)
                for (const int16_t* r : {static_cast<const int16_t*>(res), static_cast<const int16_t*>(nullptr)}) {
                  uint8_t want[8 * pitch + 3], got[8 * pitch + 3];
                  std::memset(want, 0x5A, sizeof want);
                  std::memset(got, 0x5A, sizeof got);
                  c_chroma_dsp.put_weighted(want + 1, pitch, p0, p1, &w, r, bx, by, wd, h);
                  t->put_weighted(got + 1, pitch, p0, p1, &w, r, bx, by, wd, h);
                  ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << "kind " << w.kind << " w " << w.w0 << ","
                                                                    << w.w1 << " " << wd << "x" << h;
                  if (w.kind == ChromaWeights::kSingle || (w.kind == ChromaWeights::kTwo && w.w0 != 1)) continue;
                  std::memset(want, 0x5A, sizeof want);
                  c_chroma_dsp.put_rows(want + 1, pitch, w.kind == ChromaWeights::kCopy ? p0 : avg, r, bx, by, wd, h);
                  ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << "kind " << w.kind << " against put_rows";
                }
  }
}

// Prediction stored straight into the picture: every variant against the
// reference (the two-plane kernel and the plain store), every row count and
// block width and position, inside and across the plane's edges, with and
// without a residual; the bytes around both blocks must stay.
TEST(ChromaStores, PairsIntoThePictureMatchTheReference) {
  std::mt19937 rng(13);
  Plane cb(24, 20, rng), cr(24, 20, rng);
  alignas(16) int16_t res[128];
  const int pitch = 11;
  std::uniform_int_distribution<int> pos(-30, 40), frac(0, 7);
  for (int round = 0; round < 60; ++round) {
    for (auto& v : res) v = static_cast<int16_t>(round & 1 ? (rng() & 1 ? 32767 : -32768) : static_cast<int>(rng() % 601) - 300);
    const int x = pos(rng), y = round & 2 ? pos(rng) / 2 : static_cast<int>(rng() % 10), dx = frac(rng),
              dy = round % 5 ? frac(rng) : 0;
    for (const ChromaDsp* t : tables())
      for (int n = 0; n < 3; ++n)
        for (int w : {2, 4, 8})
          for (int bx = 0; bx + w <= 8; bx += w)
            for (const int16_t* r : {static_cast<const int16_t*>(res), static_cast<const int16_t*>(nullptr)}) {
              const int rows = 2 << n, by = rows == 8 ? 0 : 8 - rows;
              uint8_t want[2][8 * pitch + 3], got[2][8 * pitch + 3];
              std::memset(want, 0x5A, sizeof want);
              std::memset(got, 0x5A, sizeof got);
              const ChromaPutArgs wantArgs{{want[0] + 1, want[1] + 1}, pitch, r, bx, by, w};
              const ChromaPutArgs gotArgs{{got[0] + 1, got[1] + 1}, pitch, r, bx, by, w};
              c_chroma_dsp.put_pair[n](cb.origin(), cr.origin(), x, y, dx, dy, cb.pitch, cb.height, cb.pitch,
                                       &wantArgs);
              t->put_pair[n](cb.origin(), cr.origin(), x, y, dx, dy, cb.pitch, cb.height, cb.pitch, &gotArgs);
              ASSERT_EQ(0, std::memcmp(want, got, sizeof want))
                  << rows << " rows, width " << w << " at " << x << "," << y << (r ? "" : " without residual");
              for (int row = 0; row < rows; ++row)
                for (int c = 0; c < w; ++c) {
                  // The 16-bit sum wraps before the clip.
                  const int at = 16 * (2 * ((by + row) >> 2) + ((bx + c) >> 2)) + 4 * ((by + row) & 3) + ((bx + c) & 3);
                  const int sample = static_cast<int16_t>(cb.model(x + c, y + row, dx, dy) + (r ? r[at] : 0));
                  ASSERT_EQ(want[0][1 + row * pitch + c], sample < 0 ? 0 : sample > 255 ? 255 : sample);
                }
            }
  }
}

// Two-list prediction into the picture: every variant against the
// reference, for weights of every kind of use (average, implicit, explicit
// extremes, one per plane), every row count, width and position, sources
// inside and across the plane's edges, with and without a residual.
TEST(ChromaStores, TwoListPairsIntoThePictureMatchTheReference) {
  std::mt19937 rng(14);
  Plane cb(24, 20, rng), cr(24, 20, rng);
  alignas(16) int16_t res[128];
  const int pitch = 11;
  const ChromaWeights weights[][2] = {
      {{ChromaWeights::kTwo, 1, 1, 0, 0}, {ChromaWeights::kTwo, 1, 1, 0, 0}},
      // The average in one plane only: the other keeps its weights.
      {{ChromaWeights::kTwo, 1, 1, 0, 0}, {ChromaWeights::kTwo, 1, 1, 5, 0}},
      {{ChromaWeights::kTwo, 21, 43, 0, 5}, {ChromaWeights::kTwo, 1, 1, 0, 0}},
      // Equal weights 2^logWD: an average without offset, not with one.
      {{ChromaWeights::kTwo, 32, 32, 0, 5}, {ChromaWeights::kTwo, 128, 128, 0, 7}},
      {{ChromaWeights::kTwo, 32, 32, 0, 5}, {ChromaWeights::kTwo, 32, 32, -1, 5}},
      {{ChromaWeights::kTwo, 2, 2, 0, 1}, {ChromaWeights::kTwo, 4, 4, 0, 1}},
      {{ChromaWeights::kTwo, 21, 43, 0, 5}, {ChromaWeights::kTwo, 21, 43, 0, 5}},
      {{ChromaWeights::kTwo, 128, -64, 0, 5}, {ChromaWeights::kTwo, -64, 128, 0, 5}},
      {{ChromaWeights::kTwo, -128, 127, -128, 7}, {ChromaWeights::kTwo, 127, 127, 127, 0}}};
  std::uniform_int_distribution<int> pos(-30, 40), frac(0, 7);
  for (int round = 0; round < 40; ++round) {
    for (auto& v : res) v = static_cast<int16_t>(round & 1 ? (rng() & 1 ? 32767 : -32768) : static_cast<int>(rng() % 601) - 300);
    ChromaPairSource s[2];
    for (int k = 0; k < 2; ++k)
      s[k] = {k ? cr.origin() : cb.origin(), k ? cb.origin() : cr.origin(), pos(rng),
              round & 2 ? pos(rng) / 2 : static_cast<int>(rng() % 10), frac(rng), round % 5 ? frac(rng) : 0};
    for (const ChromaDsp* t : tables())
      for (const auto& w : weights)
        for (int n = 0; n < 3; ++n)
          for (int width : {2, 4, 8})
            for (const int16_t* r : {static_cast<const int16_t*>(res), static_cast<const int16_t*>(nullptr)}) {
              const int rows = 2 << n, bx = 8 - width, by = rows == 8 ? 0 : 8 - rows;
              uint8_t want[2][8 * pitch + 3], got[2][8 * pitch + 3];
              std::memset(want, 0x5A, sizeof want);
              std::memset(got, 0x5A, sizeof got);
              const ChromaPutArgs wantArgs{{want[0] + 1, want[1] + 1}, pitch, r, bx, by, width};
              const ChromaPutArgs gotArgs{{got[0] + 1, got[1] + 1}, pitch, r, bx, by, width};
              c_chroma_dsp.put_pair_bi[n](s, w, cb.pitch, cb.height, cb.pitch, &wantArgs);
              t->put_pair_bi[n](s, w, cb.pitch, cb.height, cb.pitch, &gotArgs);
              ASSERT_EQ(0, std::memcmp(want, got, sizeof want))
                  << rows << " rows, width " << width << " weights " << w[0].w0 << "," << w[0].w1
                  << (r ? "" : " without residual");
              if (w[0].w0 != 1 || r) continue;
              // The average of the two sources' bilinear samples.
              for (int row = 0; row < rows; ++row)
                for (int c = 0; c < width; ++c)
                  ASSERT_EQ(want[0][1 + row * pitch + c],
                            (cb.model(s[0].x + c, s[0].y + row, s[0].dx, s[0].dy) +
                             cr.model(s[1].x + c, s[1].y + row, s[1].dx, s[1].dy) + 1) >> 1);
            }
  }
}

}  // namespace
