// Weighting kernels of every variant the processor runs against the plain
// reference, checkasm style: every denominator, the extreme weights (-128,
// 127, the inferred 128) and offsets, samples at 0 and 255, widths 8 and 16
// with odd row counts, strides wider than the block (the gaps must stay
// untouched), misaligned rows, results written over a source, and guard
// bytes around every output.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "checkasm.h"
#include "weighting_dsp.h"

namespace {

using checkasm::Guarded;

const int kWeights[] = {-128, -127, -64, -1, 0, 1, 2, 32, 64, 96, 127, 128};
const int kOffsets[] = {-128, -127, -10, 0, 1, 127};

struct Shape {
  int width, rows, stride;
  size_t misalign;  // bytes past a 64-byte boundary
};
const Shape kShapes[] = {{8, 2, 8, 0}, {8, 4, 8, 2}, {8, 8, 11, 6}, {16, 16, 16, 0}, {16, 8, 21, 14}, {8, 3, 9, 10},
                         {16, 1, 16, 2}};

// A block of `rows` rows `stride` samples apart, with guard bytes around.
struct Block {
  Guarded mem;
  explicit Block(const Shape& s) : mem(sizeof(uint16_t) * s.stride * s.rows, s.misalign) {}
  uint16_t* p() { return mem.as<uint16_t>(); }
  size_t count() const { return mem.size() / sizeof(uint16_t); }
};

// Samples 0..255, a third of them at an extreme; the gap samples between
// rows get values a kernel would never write.
void fill(Block& b, const Shape& s) {
  for (size_t i = 0; i < b.count(); ++i) {
    const uint32_t v = checkasm::rng()();
    b.p()[i] = static_cast<uint16_t>(static_cast<int>(i % s.stride) >= s.width ? 0xBEEF
                                     : v % 3 == 0                           ? (v & 8 ? 255 : 0)
                                                                            : (v >> 8) & 255);
  }
}

std::vector<checkasm::Member<const WeightingDsp*>> variants() {
  return checkasm::members(&sse2_weighting_dsp, &ssse3_weighting_dsp, &sse41_weighting_dsp);
}

std::string where(const char* variant, const Shape& s, int logWD, int w0, int w1, int o) {
  return std::string(variant) + " " + std::to_string(s.width) + "x" + std::to_string(s.rows) + " stride " +
         std::to_string(s.stride) + " +" + std::to_string(s.misalign) + " logWD " + std::to_string(logWD) + " w " +
         std::to_string(w0) + "," + std::to_string(w1) + " o " + std::to_string(o);
}

void expect_same(Block& want, Block& got, const std::string& at) {
  ASSERT_EQ(0, std::memcmp(want.p(), got.p(), want.mem.size())) << at;
  ASSERT_TRUE(got.mem.guardsIntact()) << at;
}

TEST(WeightingDsp, SingleListEveryDenominatorWeightAndOffset) {
  for (const auto& v : variants()) {
    for (const Shape& s : kShapes) {
      for (int logWD = 0; logWD <= 7; ++logWD) {
        for (int w : kWeights) {
          for (int o : kOffsets) {
            Block want(s), got(s);
            fill(want, s);
            std::memcpy(got.p(), want.p(), want.mem.size());
            c_weighting_dsp.weight_single(want.p(), s.stride, s.width, s.rows, w, o, logWD);
            v.fn->weight_single(got.p(), s.stride, s.width, s.rows, w, o, logWD);
            expect_same(want, got, where(v.name, s, logWD, w, 0, o));
          }
        }
      }
    }
  }
}

// Two lists into a third block and over list 0; the default average too.
TEST(WeightingDsp, TwoListsAndAverageIntoSeparateAndSourceBlocks) {
  for (const auto& v : variants()) {
    for (const Shape& s : kShapes) {
      for (int logWD = 0; logWD <= 7; ++logWD) {
        for (int w0 : kWeights) {
          for (int w1 : kWeights) {
            const int o = kOffsets[checkasm::rng()() % 6];
            Block a(s), b(s), want(s), got(s);
            fill(a, s);
            fill(b, s);
            fill(want, s);
            std::memcpy(got.p(), want.p(), want.mem.size());
            const std::string at = where(v.name, s, logWD, w0, w1, o);
            c_weighting_dsp.weight_bi(a.p(), s.stride, b.p(), s.stride, want.p(), s.stride, s.width, s.rows, w0, w1,
                                      logWD, o);
            v.fn->weight_bi(a.p(), s.stride, b.p(), s.stride, got.p(), s.stride, s.width, s.rows, w0, w1, logWD, o);
            expect_same(want, got, at);
            v.fn->weight_bi(a.p(), s.stride, b.p(), s.stride, a.p(), s.stride, s.width, s.rows, w0, w1, logWD, o);
            expect_same(want, a, at + " in place");
          }
        }
      }
      Block a(s), b(s), want(s), got(s);
      fill(a, s);
      fill(b, s);
      fill(want, s);
      std::memcpy(got.p(), want.p(), want.mem.size());
      c_weighting_dsp.average(a.p(), s.stride, b.p(), s.stride, want.p(), s.stride, s.width, s.rows);
      v.fn->average(a.p(), s.stride, b.p(), s.stride, got.p(), s.stride, s.width, s.rows);
      expect_same(want, got, where(v.name, s, 0, 1, 1, 0) + " average");
      v.fn->average(a.p(), s.stride, b.p(), s.stride, b.p(), s.stride, s.width, s.rows);
      expect_same(want, b, where(v.name, s, 0, 1, 1, 0) + " average in place");
    }
  }
}

// The byte forms, every pair of weights and denominator (the pairs that fit
// 16-bit lanes, implicit weights among them, and those that do not), into a
// third block and over list 0; gap bytes and guards must stay.
TEST(WeightingDsp, ByteFormsMatchTheReference) {
  const int weights[] = {-128, -64, -32, -1, 0, 1, 21, 32, 43, 64, 96, 127, 128};
  for (const auto& v : variants()) {
    for (const Shape& s : kShapes) {
      const auto block = [&] {
        Guarded g(static_cast<size_t>(s.stride * s.rows), s.misalign);
        for (size_t i = 0; i < g.size(); ++i) {
          const uint32_t r = checkasm::rng()();
          g.data()[i] = static_cast<uint8_t>(r % 3 == 0 ? (r & 8 ? 255 : 0) : (r >> 8) & 255);
        }
        return g;
      };
      // A copy at the same misalignment (a copied Guarded may move its data).
      const auto copy = [&](Guarded& from) {
        Guarded g(from.size(), s.misalign);
        std::memcpy(g.data(), from.data(), from.size());
        return g;
      };
      for (int logWD = 0; logWD <= 7; ++logWD) {
        for (int w0 : weights) {
          const int o = kOffsets[checkasm::rng()() % 6];
          Guarded a = block(), want = block(), got = copy(want);
          c_weighting_dsp.weight_single_bytes(want.data(), s.stride, s.width, s.rows, w0, o, logWD);
          v.fn->weight_single_bytes(got.data(), s.stride, s.width, s.rows, w0, o, logWD);
          const std::string single = where(v.name, s, logWD, w0, 0, o) + " bytes";
          ASSERT_EQ(0, std::memcmp(want.data(), got.data(), want.size())) << single;
          ASSERT_TRUE(got.guardsIntact()) << single;
          for (int w1 : weights) {
            Guarded b = block(), want2 = block(), got2 = copy(want2);
            const std::string at = where(v.name, s, logWD, w0, w1, o) + " bytes";
            c_weighting_dsp.weight_bi_bytes(a.data(), s.stride, b.data(), s.stride, want2.data(), s.stride, s.width,
                                            s.rows, w0, w1, logWD, o);
            v.fn->weight_bi_bytes(a.data(), s.stride, b.data(), s.stride, got2.data(), s.stride, s.width, s.rows, w0,
                                  w1, logWD, o);
            ASSERT_EQ(0, std::memcmp(want2.data(), got2.data(), want2.size())) << at;
            ASSERT_TRUE(got2.guardsIntact()) << at;
            Guarded inPlace = copy(a);
            v.fn->weight_bi_bytes(inPlace.data(), s.stride, b.data(), s.stride, inPlace.data(), s.stride, s.width,
                                  s.rows, w0, w1, logWD, o);
            for (int r = 0; r < s.rows; ++r)
              ASSERT_EQ(0, std::memcmp(want2.data() + r * s.stride, inPlace.data() + r * s.stride, s.width))
                  << at << " in place";
          }
        }
      }
    }
  }
}

// Widening of interpolated bytes, 4- and 8-wide blocks and the contiguous
// 16-wide ones, into rows of 8 or 16 samples whose remainder must stay.
TEST(WeightingDsp, WidenEveryBlockShape) {
  const struct {
    int width, rows, srcStride, dstStride;
  } shapes[] = {{4, 4, 8, 8}, {4, 8, 8, 8}, {8, 4, 8, 8}, {8, 8, 8, 8}, {8, 16, 8, 8}, {16, 8, 16, 16},
                {16, 16, 16, 16}, {8, 8, 8, 16}, {4, 3, 5, 9}, {12, 5, 12, 13}};
  for (const auto& v : variants()) {
    for (const auto& s : shapes) {
      for (size_t misalign : {0, 2, 6}) {
        Guarded src(static_cast<size_t>(s.srcStride * s.rows), misalign + 1);
        checkasm::fillRandom(src.data(), src.size());
        src.data()[0] = 255;
        src.data()[1] = 0;
        Guarded want(sizeof(int16_t) * s.dstStride * s.rows, misalign), got(want.size(), misalign);
        checkasm::fillRandom(want.data(), want.size());
        std::memcpy(got.data(), want.data(), want.size());
        c_weighting_dsp.widen(src.data(), s.srcStride, want.as<int16_t>(), s.dstStride, s.width, s.rows);
        v.fn->widen(src.data(), s.srcStride, got.as<int16_t>(), s.dstStride, s.width, s.rows);
        ASSERT_EQ(0, std::memcmp(want.data(), got.data(), want.size()))
            << v.name << " " << s.width << "x" << s.rows << " +" << misalign;
        ASSERT_TRUE(got.guardsIntact() && src.guardsIntact()) << v.name << " " << s.width << "x" << s.rows;
      }
    }
  }
}

}  // namespace
