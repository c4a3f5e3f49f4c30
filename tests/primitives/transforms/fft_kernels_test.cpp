// What lies beneath the FFT operations: the twiddle and bit-reverse table
// builders (with their worked values), the bit-reversal permutations, the
// fixed-size kernels of 1 to 32 points and the radix-4 kernels, each variant
// against the others and against plain references.
#include <algorithm>
#include <numeric>

#include "transforms_test_util.h"

namespace {

using namespace transforms_test;

// ---------------------------------------------------------------- tables

struct Builders {
  const char* name;
  float* (*base)(int, float*);
  float* (*twd)(int, const float*, int, float*);
  int32_t* (*norm)(int, int32_t*);
  int32_t* (*swap)(int, int32_t*);
  int32_t* (*large)(int, int, int32_t*);
  bool radix8Plan;
};
const Builders kBuilders[3] = {
    {"sse2", sse2_vps_initTabTwdBase_32f, sse2_vps_initTabTwd_L1_32f, sse2_vps_initTabBitRevNorm,
     sse2_vps_initTabBitRev, sse2_vps_initTabBitRevLarge, true},
    {"ssse3", ssse3_vps_initTabTwdBase_32f, ssse3_vps_initTabTwd_L1_32f, ssse3_vps_initTabBitRevNorm,
     ssse3_vps_initTabBitRev, ssse3_vps_initTabBitRevLarge, false},
    {"sse41", sse41_vps_initTabTwdBase_32f, sse41_vps_initTabTwd_L1_32f, sse41_vps_initTabBitRevNorm,
     sse41_vps_initTabBitRev, sse41_vps_initTabBitRevLarge, false},
};

// A 32-byte-aligned table area with guard words behind it.
struct Table {
  std::vector<uint8_t> raw;
  int32_t* words;
  size_t count;
  explicit Table(size_t words_) : raw(4 * words_ + 64 + 256, 0xCD), count(words_) {
    words = reinterpret_cast<int32_t*>(alignUp(raw.data()));
  }
  float* floats() { return reinterpret_cast<float*>(words); }
  std::vector<int32_t> first(size_t n) const { return std::vector<int32_t>(words, words + n); }
  bool guardFrom(size_t word) const {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(words + word);
    return std::all_of(p, raw.data() + raw.size(), [](uint8_t b) { return b == 0xCD; });
  }
};

uint32_t reverseBits(uint32_t v, int bits) {
  uint32_t r = 0;
  for (int i = 0; i < bits; ++i) r |= ((v >> i) & 1u) << (bits - 1 - i);
  return r;
}

TEST(FftTables, BitReverseIndexTables) {
  for (const Builders& b : kBuilders) {
    SCOPED_TRACE(b.name);
    Table t(64);
    EXPECT_EQ(b.norm(1, t.words), t.words);
    EXPECT_EQ(b.norm(2, t.words), t.words + 8);
    EXPECT_EQ(t.first(2), (std::vector<int32_t>{0, 0}));
    b.norm(4, t.words);
    EXPECT_EQ(t.first(5), (std::vector<int32_t>{0, 4, 2, 6, 0}));
    b.norm(5, t.words);
    EXPECT_EQ(t.first(9), (std::vector<int32_t>{0, 8, 4, 12, 2, 10, 6, 14, 0}));
    for (int order = 6; order <= 17; ++order) {
      const int m = 1 << (order - 2);
      Table big(m + 1);
      int32_t* end = b.norm(order, big.words);
      EXPECT_EQ(end, reinterpret_cast<int32_t*>(alignUp(reinterpret_cast<uint8_t*>(big.words + m + 1))));
      for (int i = 0; i < m; ++i) ASSERT_EQ(big.words[i], int32_t(2 * reverseBits(i, order - 2))) << order;
      EXPECT_EQ(big.words[m], 0);
      EXPECT_TRUE(big.guardFrom(m + 1));
    }
  }
}

TEST(FftTables, SwapAndBlockTables) {
  for (const Builders& b : kBuilders) {
    SCOPED_TRACE(b.name);
    Table t(2048);
    b.swap(2, t.words);
    EXPECT_EQ(t.first(2), (std::vector<int32_t>{0, 0}));
    b.swap(3, t.words);
    EXPECT_EQ(t.first(3), (std::vector<int32_t>{0, 4, 0}));
    b.swap(4, t.words);
    EXPECT_EQ(t.first(5), (std::vector<int32_t>{4, 8, 0, 12, 0}));
    b.swap(5, t.words);
    EXPECT_EQ(t.first(9), (std::vector<int32_t>{4, 16, 12, 24, 0, 28, 20, 8, 0}));
    int32_t* end = b.swap(6, t.words);
    EXPECT_EQ(t.first(17), (std::vector<int32_t>{4, 32, 8, 16, 12, 48, 20, 40, 28, 56, 44, 52, 0, 60, 36, 24, 0}));
    EXPECT_EQ(end, t.words + 24);
    // Block table: rev_(order-12)(i) * 64, then the swap table of order 12.
    Table ref(2048);
    b.swap(12, ref.words);
    Table blk(2048);
    end = b.large(14, 6, blk.words);
    EXPECT_EQ(blk.first(4), (std::vector<int32_t>{0, 128, 64, 192}));
    EXPECT_TRUE(std::equal(ref.words, ref.words + 1025, blk.words + 4));
    EXPECT_EQ(end, reinterpret_cast<int32_t*>(alignUp(reinterpret_cast<uint8_t*>(blk.words + 4 + 1025))));
    b.large(12, 6, blk.words);
    EXPECT_EQ(blk.words[0], 0);
    EXPECT_TRUE(std::equal(ref.words, ref.words + 1025, blk.words + 1));
  }
}

TEST(FftTables, FixedAndBaseSineTables) {
  EXPECT_EQ(fft_fix_twiddle_table_32f[0], 0.0f);
  EXPECT_EQ(bits(fft_fix_twiddle_table_32f[128]), 0x3F3504F3u);
  EXPECT_EQ(fft_fix_twiddle_table_32f[256], 1.0f);
  for (int k = 0; k <= 256; ++k)
    ASSERT_EQ(fft_fix_twiddle_table_32f[k], static_cast<float>(std::sin(2.0 * M_PI * k / 1024))) << k;
  for (int k = 257; k < 264; ++k) EXPECT_EQ(bits(fft_fix_twiddle_table_32f[k]), 0u);
  for (const Builders& b : kBuilders) {
    SCOPED_TRACE(b.name);
    Table t(600);
    float* end = b.base(11, t.floats());
    EXPECT_EQ(end, reinterpret_cast<float*>(alignUp(reinterpret_cast<uint8_t*>(t.floats() + 513))));
    const double h = 6.283185307179586 / 2048;
    EXPECT_EQ(t.floats()[256], static_cast<float>(std::sin(256 * h)));
    EXPECT_EQ(t.floats()[257], static_cast<float>(std::cos(255 * h)));
    EXPECT_EQ(t.floats()[512], 1.0f);
    EXPECT_TRUE(t.guardFrom(513));
  }
}

TEST(FftTables, StageTablesWorkedValuesAndLayout) {
  const float c1 = 0.923879504f, c2 = 0.707106769f, c3 = 0.382683426f;
  const std::vector<float> order4 = {1,  c1,  c2,  c3,  0,  -c3, -c2, -c1, 1,  c2,  0,   -c2,
                                     0,  -c2, -1,  -c2, 1,  c3,  -c2, -c1, 0,  -c1, -c2, c3};
  for (const Builders& b : kBuilders) {
    SCOPED_TRACE(b.name);
    Table t(8 * 4096);
    EXPECT_EQ(b.twd(3, fft_fix_twiddle_table_32f, 10, t.floats()), t.floats());
    EXPECT_TRUE(t.guardFrom(0));
    b.twd(4, fft_fix_twiddle_table_32f, 10, t.floats());
    EXPECT_EQ(std::vector<float>(t.floats(), t.floats() + 24), order4);
    b.twd(5, fft_fix_twiddle_table_32f, 10, t.floats());
    const float* p = t.floats();
    if (b.radix8Plan) {
      // Odd orders start with the stage-32 table: W32^k for k = 0..3.
      for (int k = 0; k < 4; ++k) EXPECT_EQ(p[k], static_cast<float>(std::cos(2 * M_PI * k / 32)));
    } else {
      EXPECT_EQ(std::vector<float>(p, p + 24), order4);
      const std::vector<float> tail = {1, 0.980785251f, 0.923879504f, 0.831469595f,
                                       0, -0.195090324f, -0.382683426f, -0.555570245f};
      EXPECT_EQ(std::vector<float>(p + 24, p + 32), tail);
    }
    for (int order = 4; order <= 10; ++order) {
      SCOPED_TRACE(order);
      const int n = 1 << order;
      Table area(2 * n);
      float* end = b.twd(order, fft_fix_twiddle_table_32f, 10, area.floats());
      EXPECT_EQ(end, area.floats() + 2 * n);
      // Written: everything but the last 32 or 64 bytes of the 8N reserved.
      const bool oddStart = b.radix8Plan && order % 2;
      size_t written = 0;
      for (int m = oddStart ? 5 : 4; m <= order; m += 2) written += 6 * (1 << m) / 4;
      if (!b.radix8Plan && order % 2) written += n;
      EXPECT_TRUE(written == size_t(2 * n - 8) || written == size_t(2 * n - 16)) << written;
      EXPECT_TRUE(area.guardFrom(written));
      // Every entry for k = 0 is (1, +0): the first group of each stage.
      EXPECT_EQ(area.floats()[0], 1.0f);
      EXPECT_EQ(bits(area.floats()[4]), 0u);
      // Values agree with cos and -sin, and zeros are +0.0.
      for (size_t i = 0; i < written; ++i) ASSERT_NE(bits(area.floats()[i]), 0x80000000u) << i;
    }
  }
}

TEST(FftTables, BaseOrderDoesNotChangeTheTables) {
  // A stage of length 2^m reads the base table with stride 2^(b - m): tables
  // of order <= 10 built from the fixed table equal those from a base table
  // of their own order, and the stage-64 table is the same for orders 6 and 10.
  for (const Builders& b : kBuilders) {
    SCOPED_TRACE(b.name);
    for (int order = 4; order <= 10; ++order) {
      const int n = 1 << order;
      Table base(n / 4 + 1), fromFixed(2 * n), fromBase(2 * n);
      b.base(order, base.floats());
      b.twd(order, fft_fix_twiddle_table_32f, 10, fromFixed.floats());
      b.twd(order, base.floats(), order, fromBase.floats());
      EXPECT_TRUE(std::equal(fromFixed.floats(), fromFixed.floats() + 2 * n - 16, fromBase.floats())) << order;
    }
    Table six(2 * 64), ten(2 * 1024);
    b.twd(6, fft_fix_twiddle_table_32f, 10, six.floats());
    b.twd(10, fft_fix_twiddle_table_32f, 10, ten.floats());
    EXPECT_TRUE(std::equal(six.floats(), six.floats() + 120, ten.floats()));
  }
}

// ---------------------------------------------------------- permutations

struct Permutations {
  const char* name;
  void (*rev1_4)(void*, int, const int32_t*);
  void (*rev1_8)(void*, int, const int32_t*);
  void (*rev2_4)(const void*, void*, int, const int32_t*);
  void (*rev2_8)(const void*, void*, int, const int32_t*);
  void (*blk[4])(void*, int, const int32_t*);  // s, c, d, z
  void (*idx1[4])(void*, int, const int32_t*);  // S, C, D, Z
  void (*idx2[4])(const void*, void*, int, const int32_t*);
};
// The members of one variant, in the order of the fields.
#define VP_PERMUTATIONS(pfx)                                                                                   \
  {                                                                                                            \
#pfx, pfx##_vps_BitRev1_4, pfx##_vps_BitRev1_8, pfx##_vps_BitRev2_4, pfx##_vps_BitRev2_8,                  \
        {pfx##_vps_sBitRev1_Blk, pfx##_vps_cBitRev1_Blk, pfx##_vps_dBitRev1_Blk, pfx##_vps_zBitRev1_Blk},      \
        {pfx##_vps_BitRev1_S, pfx##_vps_BitRev1_C, pfx##_vps_BitRev1_D, pfx##_vps_BitRev1_Z},                  \
        {pfx##_vps_BitRev2_S, pfx##_vps_BitRev2_C, pfx##_vps_BitRev2_D, pfx##_vps_BitRev2_Z},                  \
  }
const Permutations kPerms[3] = {VP_PERMUTATIONS(sse2), VP_PERMUTATIONS(ssse3), VP_PERMUTATIONS(sse41)};
#undef VP_PERMUTATIONS
const size_t kElemBytes[4] = {4, 8, 8, 16};

// Elements numbered by index, each `size` bytes wide.
std::vector<uint8_t> numbered(int n, size_t size) {
  std::vector<uint8_t> v(n * size);
  for (int i = 0; i < n; ++i)
    for (size_t b = 0; b < size; ++b) v[i * size + b] = static_cast<uint8_t>((i >> (8 * (b % 4))) + 31 * b);
  return v;
}
std::vector<uint8_t> reversedRef(const std::vector<uint8_t>& v, int n, size_t size) {
  std::vector<uint8_t> out(v.size());
  const int bitsN = __builtin_ctz(n);
  for (int i = 0; i < n; ++i) std::memcpy(&out[reverseBits(i, bitsN) * size], &v[i * size], size);
  return out;
}

TEST(FftPermutations, WorkedOrders) {
  for (const Permutations& p : kPerms) {
    if (p.rev1_4 == sse41_vps_BitRev1_4 && !hasSse41()) continue;
    SCOPED_TRACE(p.name);
    Table t(8);
    sse2_vps_initTabBitRevNorm(4, t.words);
    std::vector<vpComplex32f> v(16);
    for (int i = 0; i < 16; ++i) v[i] = {float(i), -float(i)};
    p.idx1[1](v.data(), 16, t.words);
    const int want16[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(v[i].re, want16[i]);
    std::vector<vpComplex32f> w(8);
    for (int i = 0; i < 8; ++i) w[i] = {float(i), 0};
    p.idx1[1](w.data(), 8, nullptr);
    const int want8[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(w[i].re, want8[i]);
    // Out of place with fewer than 8 elements needs no table.
    const float src[4] = {1, 2, 3, 4};
    float dst[4] = {};
    p.rev2_4(src, dst, 2, nullptr);
    EXPECT_EQ(dst[0], 1);
    EXPECT_EQ(dst[1], 2);
    p.rev2_4(src, dst, 1, nullptr);
    EXPECT_EQ(dst[0], 1);
    p.rev2_4(src, dst, 4, nullptr);
    EXPECT_EQ(std::vector<float>(dst, dst + 4), (std::vector<float>{1, 3, 2, 4}));
  }
}

TEST(FftPermutations, EveryFormMatchesTheReversal) {
  for (const Permutations& p : kPerms) {
    if (p.rev1_4 == sse41_vps_BitRev1_4 && !hasSse41()) continue;
    SCOPED_TRACE(p.name);
    for (int order = 2; order <= 17; ++order) {
      const int n = 1 << order;
      SCOPED_TRACE(order);
      Table swapTab(n / 4 + 8), normTab(n / 4 + 8);
      sse2_vps_initTabBitRev(order, swapTab.words);
      sse2_vps_initTabBitRevNorm(order, normTab.words);
      for (int e = 0; e < 4; ++e) {
        const size_t size = kElemBytes[e];
        const std::vector<uint8_t> x = numbered(n, size), want = reversedRef(x, n, size);
        std::vector<uint8_t> a = x;
        p.blk[e](a.data(), n, swapTab.words);
        ASSERT_EQ(a, want) << "swap table in place, element " << size;
        p.blk[e](a.data(), n, swapTab.words);
        ASSERT_EQ(a, x) << "twice restores";
        if (size <= 8) {
          std::vector<uint8_t> b(x.size());
          (size == 4 ? p.rev2_4 : p.rev2_8)(x.data(), b.data(), n, swapTab.words);
          ASSERT_EQ(b, want) << "swap table out of place";
          std::vector<uint8_t> c = x;
          (size == 4 ? p.rev1_4 : p.rev1_8)(c.data(), n, swapTab.words);
          ASSERT_EQ(c, want);
        }
        if (order < 4 && order != 3) continue;
        std::vector<uint8_t> d = x, o(x.size());
        p.idx1[e](d.data(), n, normTab.words);
        ASSERT_EQ(d, want) << "index table in place, element " << size;
        p.idx2[e](x.data(), o.data(), n, normTab.words);
        ASSERT_EQ(o, want) << "index table out of place, element " << size;
      }
    }
  }
}

// ------------------------------------------------------- small kernels

struct SmallKernels {
  void (*plain[6])(const vpComplex32f*, vpComplex32f*);
  void (*scaled[6])(const vpComplex32f*, vpComplex32f*, float);
};
const SmallKernels kSmall[3] = {
    {{sse2_vps_cFFT_1_32fc, sse2_vps_cFFT_2_32fc, sse2_vps_cFFTfwd_4_32fc, sse2_vps_cFFTfwd_8_32fc,
      sse2_vps_cFFTfwd_16_32fc, sse2_vps_cFFTfwd_32_32fc},
     {sse2_vps_cFFT_1_scale_32fc, sse2_vps_cFFT_2_scale_32fc, sse2_vps_cFFTfwd_4_scale_32fc,
      sse2_vps_cFFTfwd_8_scale_32fc, sse2_vps_cFFTfwd_16_scale_32fc, sse2_vps_cFFTfwd_32_scale_32fc}},
    {{ssse3_vps_cFFT_1_32fc, ssse3_vps_cFFT_2_32fc, ssse3_vps_cFFTfwd_4_32fc, ssse3_vps_cFFTfwd_8_32fc,
      ssse3_vps_cFFTfwd_16_32fc, ssse3_vps_cFFTfwd_32_32fc},
     {ssse3_vps_cFFT_1_scale_32fc, ssse3_vps_cFFT_2_scale_32fc, ssse3_vps_cFFTfwd_4_scale_32fc,
      ssse3_vps_cFFTfwd_8_scale_32fc, ssse3_vps_cFFTfwd_16_scale_32fc, ssse3_vps_cFFTfwd_32_scale_32fc}},
    {{sse41_vps_cFFT_1_32fc, sse41_vps_cFFT_2_32fc, sse41_vps_cFFTfwd_4_32fc, sse41_vps_cFFTfwd_8_32fc,
      sse41_vps_cFFTfwd_16_32fc, sse41_vps_cFFTfwd_32_32fc},
     {sse41_vps_cFFT_1_scale_32fc, sse41_vps_cFFT_2_scale_32fc, sse41_vps_cFFTfwd_4_scale_32fc,
      sse41_vps_cFFTfwd_8_scale_32fc, sse41_vps_cFFTfwd_16_scale_32fc, sse41_vps_cFFTfwd_32_scale_32fc}},
};

std::vector<float> runSmall(void (*k)(const vpComplex32f*, vpComplex32f*), const std::vector<float>& x,
                            size_t srcOffset, size_t dstOffset, bool inPlace) {
  Guarded src(x.size() * 4, srcOffset), dst(x.size() * 4, dstOffset);
  std::copy(x.begin(), x.end(), src.as<float>());
  std::copy(x.begin(), x.end(), dst.as<float>());
  k(inPlace ? dst.as<vpComplex32f>() : src.as<vpComplex32f>(), dst.as<vpComplex32f>());
  EXPECT_TRUE(dst.guardsIntact());
  return std::vector<float>(dst.as<float>(), dst.as<float>() + x.size());
}

TEST(FftSmallKernels, AgreeEverywhereAndWithTheDft) {
  for (int order = 0; order <= 5; ++order) {
    SCOPED_TRACE(order);
    const int n = 1 << order;
    for (uint32_t seed = 0; seed < 20; ++seed) {
      const std::vector<float> x = randomFloats(2 * n, seed * 7 + order);
      const std::vector<float> ref = runSmall(kSmall[0].plain[order], x, 0, 0, false);
      EXPECT_LE(relativeError(ref.data(), referenceDft(toComplex(x.data(), n))), 2e-7 * std::max(order, 1));
      for (int v = 0; v < 3; ++v) {
        if (!variants()[v].available()) continue;
        SCOPED_TRACE(variants()[v].name);
        EXPECT_EQ(runSmall(kSmall[v].plain[order], x, 0, 0, false), ref);
        EXPECT_EQ(runSmall(kSmall[v].plain[order], x, 8, 4, false), ref) << "misaligned";
        EXPECT_EQ(runSmall(kSmall[v].plain[order], x, 0, 8, true), ref) << "in place";
        EXPECT_EQ(runSmall(kSmall[v].plain[order], x, 0, 4, true), ref) << "in place, 4 bytes off";
        // Scaled twins: 1.0 reproduces the plain kernel; any other factor
        // multiplies each output (the 16-point kernel scales inside, to
        // within rounding).
        for (float s : {1.0f, 0.125f, 0.3f}) {
          Guarded out(8 * n, 8);
          kSmall[v].scaled[order](reinterpret_cast<const vpComplex32f*>(x.data()), out.as<vpComplex32f>(), s);
          for (int i = 0; i < 2 * n; ++i) {
            if (order == 4 && s != 1.0f) {
              ASSERT_NEAR(out.as<float>()[i], ref[i] * s, 1e-6f * (std::fabs(ref[i] * s) + 1)) << i;
            } else {
              ASSERT_EQ(out.as<float>()[i], ref[i] * s) << i;
            }
          }
        }
      }
    }
  }
}

TEST(FftSmallKernels, ExactCases) {
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    SCOPED_TRACE(variants()[v].name);
    // One point: bits pass unchanged, NaN payloads and -0 included.
    const uint32_t pattern[2] = {0x7FC01234u, 0x80000000u};
    vpComplex32f one, out;
    std::memcpy(&one, pattern, 8);
    kSmall[v].plain[0](&one, &out);
    EXPECT_EQ(std::memcmp(&one, &out, 8), 0);
    for (int order = 1; order <= 5; ++order) {
      const int n = 1 << order;
      std::vector<float> alt(2 * n, 0.0f), ones(2 * n, 0.0f), imp1(2 * n, 0.0f);
      for (int i = 0; i < n; ++i) {
        alt[2 * i] = i % 2 ? -1.0f : 1.0f;
        ones[2 * i] = 1.0f;
      }
      imp1[2] = 1.0f;
      const std::vector<float> a = runSmall(kSmall[v].plain[order], alt, 0, 0, false);
      const std::vector<float> o = runSmall(kSmall[v].plain[order], ones, 0, 0, false);
      const std::vector<float> w = runSmall(kSmall[v].plain[order], imp1, 0, 0, false);
      for (int k = 0; k < n; ++k) {
        EXPECT_EQ(a[2 * k], k == n / 2 ? float(n) : 0.0f) << order << " " << k;
        EXPECT_EQ(a[2 * k + 1], 0.0f);
        EXPECT_EQ(o[2 * k], k == 0 ? float(n) : 0.0f);
        EXPECT_EQ(o[2 * k + 1], 0.0f);
        EXPECT_NEAR(w[2 * k], std::cos(2 * M_PI * k / n), 1e-7);
        EXPECT_NEAR(w[2 * k + 1], -std::sin(2 * M_PI * k / n), 1e-7);
      }
    }
  }
}

// ------------------------------------------------------ radix-4 kernels

struct Radix4 {
  decltype(&sse2_vps_cRadix4FwdNorm_32fc) norm;
  decltype(&sse2_vps_cRadix4Fwd_32fc) bitReversed;
  decltype(&sse2_vps_initTabTwd_L1_32f) twd;
  decltype(&sse2_vps_initTabBitRevNorm) rev;
  decltype(&sse2_vps_cRadix4InvNorm_32fc) invNorm;
  decltype(&sse2_vps_cRadix4Inv_32fc) inv;
};
const Radix4 kRadix4[3] = {
    {sse2_vps_cRadix4FwdNorm_32fc, sse2_vps_cRadix4Fwd_32fc, sse2_vps_initTabTwd_L1_32f, sse2_vps_initTabBitRevNorm, sse2_vps_cRadix4InvNorm_32fc, sse2_vps_cRadix4Inv_32fc},
    {ssse3_vps_cRadix4FwdNorm_32fc, ssse3_vps_cRadix4Fwd_32fc, ssse3_vps_initTabTwd_L1_32f,
     ssse3_vps_initTabBitRevNorm, ssse3_vps_cRadix4InvNorm_32fc, ssse3_vps_cRadix4Inv_32fc},
    {sse41_vps_cRadix4FwdNorm_32fc, sse41_vps_cRadix4Fwd_32fc, sse41_vps_initTabTwd_L1_32f,
     sse41_vps_initTabBitRevNorm, sse41_vps_cRadix4InvNorm_32fc, sse41_vps_cRadix4Inv_32fc},
};

// The complex values of x (interleaved) in bit-reversed order.
std::vector<float> bitReversedValues(const std::vector<float>& x, int order) {
  const int n = 1 << order;
  std::vector<float> rev(2 * n);
  for (int i = 0; i < n; ++i) {
    const uint32_t r = reverseBits(i, order);
    rev[2 * r] = x[2 * i];
    rev[2 * r + 1] = x[2 * i + 1];
  }
  return rev;
}

// Tables of one order for one variant (from the fixed table up to order 10).
struct Tables {
  Table twd, rev, base;
  Tables(const Radix4& r, int order, float* (*base_)(int, float*))
      : twd(2 << order), rev((1 << order) / 4 + 8), base((1 << order) / 4 + 8) {
    const float* sine = fft_fix_twiddle_table_32f;
    int baseOrder = 10;
    if (order > 10) {
      base_(order, base.floats());
      sine = base.floats();
      baseOrder = order;
    }
    r.rev(order, rev.words);
    r.twd(order, sine, baseOrder, twd.floats());
  }
};

TEST(FftRadix4Kernels, NaturalOrderKernelsAgainstTheDft) {
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    SCOPED_TRACE(variants()[v].name);
    for (int order : {3, 4, 5, 6, 7, 11, 12, 13}) {
      SCOPED_TRACE(order);
      const int n = 1 << order;
      Tables t(kRadix4[v], order, kBuilders[v].base);
      const std::vector<float> x = randomFloats(2 * n, 31 * order);
      Guarded dst(8 * n, 8), buf(8 * n);
      std::copy(x.begin(), x.end(), dst.as<float>());
      // In place, as the inverse MDCT calls it: the work area is the buffer.
      // 8 points need no table; up to 16 neither the index table nor the buffer.
      const bool small = n <= 16;
      kRadix4[v].norm(dst.as<vpComplex32f>(), dst.as<vpComplex32f>(), n, n == 8 ? nullptr : t.twd.floats(),
                      small ? nullptr : t.rev.words, small ? nullptr : buf.as<float>());
      EXPECT_LE(relativeError(dst.as<float>(), referenceDft(toComplex(x.data(), n))), 2e-7 * order);
      EXPECT_TRUE(dst.guardsIntact());
      EXPECT_TRUE(buf.guardsIntact());
      if (small) {
        EXPECT_TRUE(buf.untouched());
      }
    }
  }
}

TEST(FftRadix4Kernels, EightPointClosedForm) {
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    std::vector<float> x(16, 0.0f);
    x[2] = 1.0f;  // x[1] = 1
    kRadix4[v].norm(reinterpret_cast<vpComplex32f*>(x.data()), reinterpret_cast<vpComplex32f*>(x.data()), 8, nullptr,
                    nullptr, nullptr);
    const uint32_t re[4] = {0x3F800000u, 0x3F3504F4u, 0x00000000u, 0xBF3504F4u};
    const uint32_t im[4] = {0x00000000u, 0xBF3504F4u, 0xBF800000u, 0xBF3504F4u};
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(bits(x[2 * k]), re[k]) << k;
      EXPECT_EQ(bits(x[2 * k + 1]), im[k]) << k;
      EXPECT_EQ(x[2 * k + 8], -x[2 * k]) << k;
      EXPECT_EQ(x[2 * k + 9], -x[2 * k + 1]) << k;
    }
  }
}

TEST(FftRadix4Kernels, BitReversedInputKernelMatchesTheNaturalOrderOne) {
  // On bit-reversed data the kernel gives the natural-order kernel's bits
  // with interleave 1, and the same values in the split-4 layout otherwise.
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    SCOPED_TRACE(variants()[v].name);
    for (int order = 5; order <= variants()[v].radix4Limit; ++order) {
      SCOPED_TRACE(order);
      const int n = 1 << order;
      Tables t(kRadix4[v], order, kBuilders[v].base);
      const std::vector<float> x = randomFloats(2 * n, order);
      std::vector<float> want(2 * n + 8);
      float* w = reinterpret_cast<float*>(alignUp(reinterpret_cast<uint8_t*>(want.data())));
      Guarded buf(8 * n);
      kRadix4[v].norm(reinterpret_cast<const vpComplex32f*>(x.data()), reinterpret_cast<vpComplex32f*>(w), n,
                      t.twd.floats(), t.rev.words, buf.as<float>());
      const std::vector<float> rev = bitReversedValues(x, order);
      for (size_t offset : {0, 8}) {
        for (int interleave : {1, 0, 2}) {
          Guarded data(8 * n, offset);
          std::copy(rev.begin(), rev.end(), data.as<float>());
          kRadix4[v].bitReversed(data.as<vpComplex32f>(), n, t.twd.floats(), buf.as<float>(), interleave);
          const float* d = data.as<float>();
          for (int k = 0; k < n; ++k) {
            const bool inter = interleave == 1;
            const float re = inter ? d[2 * k] : d[8 * (k / 4) + k % 4];
            const float im = inter ? d[2 * k + 1] : d[8 * (k / 4) + 4 + k % 4];
            ASSERT_EQ(re, w[2 * k]) << k << " offset " << offset;
            ASSERT_EQ(im, w[2 * k + 1]) << k << " offset " << offset;
          }
          EXPECT_TRUE(data.guardsIntact());
        }
      }
    }
  }
}

TEST(FftRadix4Kernels, InverseKernels) {
  // The inverse DFT is conj(DFT(conj x)); inverse after forward gives N x;
  // the bit-reversed-input twin gives the natural-order twin's bits.
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    SCOPED_TRACE(variants()[v].name);
    for (int order : {3, 4, 5, 6, 7, 10, 11, 12}) {
      SCOPED_TRACE(order);
      const int n = 1 << order;
      Tables t(kRadix4[v], order, kBuilders[v].base);
      const std::vector<float> x = randomFloats(2 * n, 77 * order);
      std::vector<cd> conjX = toComplex(x.data(), n);
      for (cd& z : conjX) z = std::conj(z);
      std::vector<cd> want = referenceDft(conjX);
      for (cd& z : want) z = std::conj(z);
      Guarded src(8 * n, 4), dst(8 * n, 8), buf(8 * n);
      std::copy(x.begin(), x.end(), src.as<float>());
      kRadix4[v].invNorm(src.as<vpComplex32f>(), dst.as<vpComplex32f>(), n, t.twd.floats(), t.rev.words,
                         buf.as<float>());
      EXPECT_LE(relativeError(dst.as<float>(), want), 2e-7 * order);
      EXPECT_TRUE(std::equal(x.begin(), x.end(), src.as<float>())) << "source changed";
      EXPECT_TRUE(dst.guardsIntact());
      // Forward then inverse, in place.
      std::vector<float> round(x);
      auto* r = reinterpret_cast<vpComplex32f*>(round.data());
      kRadix4[v].norm(r, r, n, t.twd.floats(), t.rev.words, buf.as<float>());
      kRadix4[v].invNorm(r, r, n, t.twd.floats(), t.rev.words, buf.as<float>());
      std::vector<cd> scaled = toComplex(x.data(), n);
      EXPECT_LE(relativeError(round.data(), scaled, double(n)), 4e-7 * order);
      if (n < 32) continue;
      const std::vector<float> rev = bitReversedValues(x, order);
      for (int interleave : {1, 0}) {
        Guarded data(8 * n, 8);
        std::copy(rev.begin(), rev.end(), data.as<float>());
        kRadix4[v].inv(data.as<vpComplex32f>(), n, t.twd.floats(), buf.as<float>(), interleave);
        const float* d = data.as<float>();
        const float* w = dst.as<float>();
        for (int k = 0; k < n; ++k) {
          const float re = interleave ? d[2 * k] : d[8 * (k / 4) + k % 4];
          const float im = interleave ? d[2 * k + 1] : d[8 * (k / 4) + 4 + k % 4];
          ASSERT_EQ(bits(re), bits(w[2 * k])) << k;
          ASSERT_EQ(bits(im), bits(w[2 * k + 1])) << k;
        }
      }
    }
  }
}

struct SplitKernels {
  decltype(&sse2_vps_crRadix4FwdNorm_32f) fwdNorm, invNorm;
  decltype(&sse2_vps_crRadix4Fwd_32f) fwd, inv;
};
const SplitKernels kSplit[3] = {
    {sse2_vps_crRadix4FwdNorm_32f, sse2_vps_crRadix4InvNorm_32f, sse2_vps_crRadix4Fwd_32f, sse2_vps_crRadix4Inv_32f},
    {ssse3_vps_crRadix4FwdNorm_32f, ssse3_vps_crRadix4InvNorm_32f, ssse3_vps_crRadix4Fwd_32f,
     ssse3_vps_crRadix4Inv_32f},
    {sse41_vps_crRadix4FwdNorm_32f, sse41_vps_crRadix4InvNorm_32f, sse41_vps_crRadix4Fwd_32f,
     sse41_vps_crRadix4Inv_32f},
};

TEST(FftSplitKernels, EqualTheInterleavedKernelsBitForBit) {
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    SCOPED_TRACE(variants()[v].name);
    for (int order : {3, 4, 5, 6, 7, 9, 12}) {
      SCOPED_TRACE(order);
      const int n = 1 << order;
      Tables t(kRadix4[v], order, kBuilders[v].base);
      const std::vector<float> x = randomFloats(2 * n, 5 * order);
      Guarded buf(8 * n), ref(8 * n);
      for (bool inverse : {false, true}) {
        SCOPED_TRACE(inverse ? "inverse" : "forward");
        std::copy(x.begin(), x.end(), ref.as<float>());
        auto* z = ref.as<vpComplex32f>();
        (inverse ? kRadix4[v].invNorm : kRadix4[v].norm)(z, z, n, t.twd.floats(), t.rev.words, buf.as<float>());
        // Split source, natural order; destination arrays misaligned.
        std::vector<float> re(n), im(n);
        for (int i = 0; i < n; ++i) {
          re[i] = x[2 * i];
          im[i] = x[2 * i + 1];
        }
        Guarded dRe(4 * n, 4), dIm(4 * n, 8);
        (inverse ? kSplit[v].invNorm : kSplit[v].fwdNorm)(re.data(), im.data(), dRe.as<float>(), dIm.as<float>(), n,
                                                         t.twd.floats(), n == 8 ? nullptr : t.rev.words,
                                                         buf.as<float>());
        EXPECT_TRUE(dRe.guardsIntact() && dIm.guardsIntact() && buf.guardsIntact());
        for (int k = 0; k < n; ++k) {
          ASSERT_EQ(bits(dRe.as<float>()[k]), bits(ref.as<float>()[2 * k])) << k;
          ASSERT_EQ(bits(dIm.as<float>()[k]), bits(ref.as<float>()[2 * k + 1])) << k;
        }
        for (int i = 0; i < n; ++i) ASSERT_EQ(re[i], x[2 * i]) << "source changed";
        // Bit-reversed input, in place.
        const std::vector<float> rev = bitReversedValues(x, order);
        for (int i = 0; i < n; ++i) {
          re[i] = rev[2 * i];
          im[i] = rev[2 * i + 1];
        }
        (inverse ? kSplit[v].inv : kSplit[v].fwd)(re.data(), im.data(), n, t.twd.floats(), buf.as<float>());
        for (int k = 0; k < n; ++k) {
          ASSERT_EQ(bits(re[k]), bits(ref.as<float>()[2 * k])) << k;
          ASSERT_EQ(bits(im[k]), bits(ref.as<float>()[2 * k + 1])) << k;
        }
      }
      // Below 8 points nothing is done.
      float one[4] = {1, 2, 3, 4};
      kSplit[v].fwd(one, one + 2, 2, nullptr, nullptr);
      EXPECT_EQ(one[1], 2.0f);
    }
  }
}

// ------------------------------------------------- four-way split FFT

struct FourWay {
  decltype(&ssse3_vps_cFftFwd_CoreMT_32fc) core[2];
  decltype(&ssse3_vps_crFftFwd_CoreMT_32f) crCore[2];
  decltype(&ssse3_vps_cFftFwd_Fact4_Last_32fc) last[2];
  decltype(&ssse3_vps_crFftFwd_Fact4_Last_32f) crLast[2];
};
const FourWay kFourWay[2] = {
    {{ssse3_vps_cFftFwd_CoreMT_32fc, ssse3_vps_cFftInv_CoreMT_32fc},
     {ssse3_vps_crFftFwd_CoreMT_32f, ssse3_vps_crFftInv_CoreMT_32f},
     {ssse3_vps_cFftFwd_Fact4_Last_32fc, ssse3_vps_cFftInv_Fact4_Last_32fc},
     {ssse3_vps_crFftFwd_Fact4_Last_32f, ssse3_vps_crFftInv_Fact4_Last_32f}},
    {{sse41_vps_cFftFwd_CoreMT_32fc, sse41_vps_cFftInv_CoreMT_32fc},
     {sse41_vps_crFftFwd_CoreMT_32f, sse41_vps_crFftInv_CoreMT_32f},
     {sse41_vps_cFftFwd_Fact4_Last_32fc, sse41_vps_cFftInv_Fact4_Last_32fc},
     {sse41_vps_crFftFwd_Fact4_Last_32f, sse41_vps_crFftInv_Fact4_Last_32f}},
};

// Records of W^j, W^2j, W^3j, W = e^(-2 pi i/(4L)), four butterflies each.
std::vector<float> lastFactorRecords(int quarter) {
  std::vector<float> t(6 * quarter);
  for (int j = 0; j < quarter; ++j)
    for (int p = 1; p <= 3; ++p) {
      const double a = 2 * M_PI * p * j / (4.0 * quarter);
      t[24 * (j / 4) + 8 * (p - 1) + j % 4] = static_cast<float>(std::cos(a));
      t[24 * (j / 4) + 8 * (p - 1) + 4 + j % 4] = static_cast<float>(-std::sin(a));
    }
  return t;
}

// Below the smallest size a kernel serves it does nothing: exactly sized
// arrays come back unchanged (and the sanitizer sees no access past them).
TEST(FftRadix4Kernels, SizesBelowTheMinimumDoNothing) {
  for (int v = 0; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    SCOPED_TRACE(variants()[v].name);
    for (int n : {1, 2, 4, 8, 16}) {
      const std::vector<float> x = randomFloats(2 * n, n);
      std::vector<float> a(x), b(x);
      auto* za = reinterpret_cast<vpComplex32f*>(a.data());
      if (n < 8) {
        kRadix4[v].norm(za, za, n, nullptr, nullptr, nullptr);
        kRadix4[v].invNorm(za, za, n, nullptr, nullptr, nullptr);
        kSplit[v].fwdNorm(a.data(), b.data(), a.data(), b.data(), n, nullptr, nullptr, nullptr);
        kSplit[v].inv(a.data(), b.data(), n, nullptr, nullptr);
      }
      kRadix4[v].bitReversed(za, n, nullptr, nullptr, 1);
      kRadix4[v].inv(za, n, nullptr, nullptr, 0);
      EXPECT_EQ(a, x) << n;
      EXPECT_EQ(b, x) << n;
    }
  }
}

TEST(FftFourWay, SizesBelowTheMinimumDoNothing) {
  for (int v = 1; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    Guarded dst(8 * 32), buf(8 * 32);
    const std::vector<float> x = randomFloats(2 * 64, 1);
    kFourWay[v - 1].core[0](reinterpret_cast<const vpComplex32f*>(x.data()), dst.as<vpComplex32f>(), 16, nullptr,
                            nullptr, buf.as<float>());
    kFourWay[v - 1].crCore[1](x.data(), x.data() + 64, dst.as<float>(), 8, nullptr, nullptr);
    EXPECT_TRUE(dst.untouched() && buf.untouched());
  }
}

TEST(FftFourWay, TwoCoreCallsAndTheLastFactorGiveTheTransform) {
  for (int v = 1; v < 3; ++v) {
    if (!variants()[v].available()) continue;
    const FourWay& k = kFourWay[v - 1];
    for (int order : {5, 6, 7, 11, 12}) {
      const int m = 1 << order, n = 4 * m;
      Tables t(kRadix4[v], order, kBuilders[v].base);
      const std::vector<float> rec = lastFactorRecords(m);
      const std::vector<float> x = randomFloats(2 * n, 3 * order);
      std::vector<float> re(n), im(n);
      for (int i = 0; i < n; ++i) {
        re[i] = x[2 * i];
        im[i] = x[2 * i + 1];
      }
      for (int inverse = 0; inverse < 2; ++inverse) {
        SCOPED_TRACE(std::string(variants()[v].name) + " order " + std::to_string(order) + (inverse ? " inv" : " fwd"));
        std::vector<cd> in = toComplex(x.data(), n);
        if (inverse)
          for (cd& z : in) z = std::conj(z);
        std::vector<cd> want = referenceDft(in);
        if (inverse)
          for (cd& z : want) z = std::conj(z);
        Guarded work(8 * n), buf(8 * n), crWork(8 * n), dst(8 * n, 8);
        const auto* src = reinterpret_cast<const vpComplex32f*>(x.data());
        // Misaligned destination of the first call: the work area is the buffer.
        Guarded first(8 * 2 * m, 8);
        k.core[inverse](src, first.as<vpComplex32f>(), m, t.twd.floats(), t.rev.words, buf.as<float>());
        std::memcpy(work.data(), first.data(), 16 * m);
        k.core[inverse](src + 2, work.as<vpComplex32f>() + 2 * m, m, t.twd.floats(), t.rev.words, buf.as<float>());
        EXPECT_TRUE(first.guardsIntact() && work.guardsIntact() && buf.guardsIntact());
        k.crCore[inverse](re.data(), im.data(), crWork.as<float>(), m, t.twd.floats(), t.rev.words);
        k.crCore[inverse](re.data() + 2, im.data() + 2, crWork.as<float>() + 4 * m, m, t.twd.floats(), t.rev.words);
        ASSERT_EQ(std::memcmp(work.data(), crWork.data(), 8 * n), 0) << "split source";
        // The last factor in two runs, into a misaligned destination; the
        // source is only read.
        const std::vector<float> partial(work.as<float>(), work.as<float>() + 2 * n);
        k.last[inverse](work.as<float>(), dst.as<float>(), m, m / 2, rec.data());
        k.last[inverse](work.as<float>() + m, dst.as<float>() + m, m, m / 2, rec.data() + 3 * m);
        EXPECT_TRUE(dst.guardsIntact());
        EXPECT_TRUE(std::equal(partial.begin(), partial.end(), work.as<float>())) << "partial transforms changed";
        EXPECT_LE(relativeError(dst.as<float>(), want), 2e-7 * (order + 2));
        // One whole call in place gives the same bits; so do split arrays.
        std::vector<float> sRe(n), sIm(n);
        k.crLast[inverse](work.as<float>(), sRe.data(), sIm.data(), m, m, rec.data());
        k.last[inverse](work.as<float>(), work.as<float>(), m, m, rec.data());
        for (int i = 0; i < n; ++i) {
          ASSERT_EQ(bits(work.as<float>()[2 * i]), bits(dst.as<float>()[2 * i])) << i;
          ASSERT_EQ(bits(work.as<float>()[2 * i + 1]), bits(dst.as<float>()[2 * i + 1])) << i;
          ASSERT_EQ(bits(sRe[i]), bits(dst.as<float>()[2 * i])) << i;
          ASSERT_EQ(bits(sIm[i]), bits(dst.as<float>()[2 * i + 1])) << i;
        }
      }
    }
  }
}

}  // namespace
