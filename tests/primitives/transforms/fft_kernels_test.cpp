// What lies beneath the FFT operations, each variant against the others and
// against plain references: table builders, bit-reversal permutations,
// fixed-size, radix-4 and four-way split kernels, and the gather and scatter
// of the blocked large transform (its factor step is covered by the large
// orders of the FFT operations).
#include "transforms_reference.h"
#include "transforms_test_util.h"

namespace {

using namespace transforms_test;

// A 32-byte-aligned table area with guard bytes behind it.
struct Table : Guarded {
  int32_t* words;
  explicit Table(size_t count) : Guarded(4 * count + 256), words(as<int32_t>()) {}
  float* floats() { return as<float>(); }
  std::vector<int32_t> first(size_t n) const { return std::vector<int32_t>(words, words + n); }
  bool guardFrom(size_t word) const { return unwrittenFrom(4 * word); }
};

// The stage and index tables of one order (from the fixed table up to order 10).
struct Tables {
  Table twd, rev, base;
  Tables(const Variant& v, int order) : twd(2 << order), rev((1 << order) / 4 + 8), base((1 << order) / 4 + 8) {
    if (order > 10) v.twdBase(order, base.floats());
    v.bitRevNorm(order, rev.words);
    v.twdStages(order, order > 10 ? base.floats() : fft_fix_twiddle_table_32f, std::max(order, 10), twd.floats());
  }
};

// Worked values. Index tables: word i = 2 rev_(order-2)(i), then a 0. Swap
// tables: pairs 4i, 4j, a 0, the fixed points descending, a 0. Block tables:
// rev_(order-12)(i) * 64, then the swap table of order 12.
TEST(FftTables, BitReverseTablesWithTheirWorkedValues) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    struct Worked {
      decltype(v.bitRevNorm) build;
      int order;
      std::vector<int32_t> words;
    };
    const Worked worked[] = {
        {v.bitRevNorm, 2, {0, 0}}, {v.bitRevNorm, 4, {0, 4, 2, 6, 0}}, {v.bitRevNorm, 5, {0, 8, 4, 12, 2, 10, 6, 14, 0}},
        {v.bitRevSwap, 2, {0, 0}}, {v.bitRevSwap, 3, {0, 4, 0}},       {v.bitRevSwap, 4, {4, 8, 0, 12, 0}},
        {v.bitRevSwap, 5, {4, 16, 12, 24, 0, 28, 20, 8, 0}},
        {v.bitRevSwap, 6, {4, 32, 8, 16, 12, 48, 20, 40, 28, 56, 44, 52, 0, 60, 36, 24, 0}}};
    Table t(2048), ref(2048), blk(2048);
    for (const Worked& w : worked) {
      EXPECT_EQ(w.build(w.order, t.words), alignUp(t.words + (1 << w.order) / 4 + 1)) << w.order;
      EXPECT_EQ(t.first(w.words.size()), w.words) << w.order;
    }
    EXPECT_EQ(v.bitRevNorm(1, t.words), t.words);
    v.bitRevSwap(12, ref.words);
    EXPECT_EQ(v.bitRevLarge(14, 6, blk.words), alignUp(blk.words + 4 + 1025));
    EXPECT_EQ(blk.first(4), (std::vector<int32_t>{0, 128, 64, 192}));
    EXPECT_TRUE(std::equal(ref.words, ref.words + 1025, blk.words + 4));
    v.bitRevLarge(12, 6, blk.words);
    EXPECT_TRUE(blk.words[0] == 0 && std::equal(ref.words, ref.words + 1025, blk.words + 1));
  }
}

TEST(FftTables, FixedAndBaseSineTables) {
  EXPECT_EQ(bits(fft_fix_twiddle_table_32f[128]), 0x3F3504F3u);
  for (int k = 0; k < 264; ++k)  // +0.0 past the quarter wave
    ASSERT_EQ(bits(fft_fix_twiddle_table_32f[k]), bits(k > 256 ? 0.0f : float(std::sin(2.0 * M_PI * k / 1024)))) << k;
  const double h = 6.283185307179586 / 2048;
  for (const Variant& v : variants()) {
    Table t(600);
    EXPECT_EQ(v.twdBase(11, t.floats()), alignUp(t.floats() + 513));
    EXPECT_TRUE(t.floats()[256] == float(std::sin(256 * h)) && t.floats()[257] == float(std::cos(255 * h)));
    EXPECT_TRUE(t.floats()[512] == 1.0f && t.guardFrom(513)) << v.name;
  }
}

// Stage tables: the worked values of orders 4 and 5; orders 4 to 10 write
// all of the 8N bytes reserved but the last 32 or 64, W^0 = (1, +0) first,
// no -0.0; a stage of length 2^m reads the base table with stride 2^(b - m),
// so tables from the fixed table equal those from a base table of their own
// order, and the stages up to 64 points are the same in every order.
TEST(FftTables, StageTablesWorkedValuesLayoutAndBase) {
  const float c1 = 0.923879504f, c2 = 0.707106769f, c3 = 0.382683426f;
  const std::vector<float> order4 = {1, c1, c2, c3, 0, -c3, -c2, -c1, 1, c2, 0,   -c2,
                                     0, -c2, -1, -c2, 1, c3, -c2, -c1, 0, -c1, -c2, c3};
  const std::vector<float> order5Tail = {1, 0.980785251f, 0.923879504f, 0.831469595f,
                                         0, -0.195090324f, -0.382683426f, -0.555570245f};
  for (const Variant& v : variants()) {
    Table none(64), six(2 * 64);
    EXPECT_TRUE(v.twdStages(3, fft_fix_twiddle_table_32f, 10, none.floats()) == none.floats() && none.guardFrom(0));
    v.twdStages(6, fft_fix_twiddle_table_32f, 10, six.floats());
    for (int order = 4; order <= 10; ++order) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const int n = 1 << order;
      Table area(2 * n), base(n / 4 + 1), fromBase(2 * n);
      const float* p = area.floats();
      EXPECT_EQ(v.twdStages(order, fft_fix_twiddle_table_32f, 10, area.floats()), p + 2 * n);
      const bool radix8Start = order % 2 && v.radix8Plan;  // SSE2: W32^k first, k = 0..3
      EXPECT_TRUE(order > 5 || radix8Start || std::vector<float>(p, p + 24) == order4);
      EXPECT_TRUE(order != 5 || radix8Start || std::vector<float>(p + 24, p + 32) == order5Tail);
      for (int k = 0; k < 4 && radix8Start; ++k) EXPECT_EQ(p[k], float(std::cos(2 * M_PI * k / 32)));
      size_t written = 0;
      for (int m = radix8Start ? 5 : 4; m <= order; m += 2) written += 6 * (1 << m) / 4;
      if (order % 2 && !v.radix8Plan) written += n;
      EXPECT_TRUE((written == size_t(2 * n - 8) || written == size_t(2 * n - 16)) && area.guardFrom(written));
      EXPECT_TRUE(p[0] == 1.0f && bits(p[4]) == 0u);
      for (size_t i = 0; i < written; ++i) ASSERT_NE(bits(p[i]), 0x80000000u) << i;
      v.twdBase(order, base.floats());
      v.twdStages(order, base.floats(), order, fromBase.floats());
      EXPECT_TRUE(std::equal(p, p + 2 * n - 16, fromBase.floats()));
      EXPECT_TRUE(order < 6 || radix8Start || std::equal(six.floats(), six.floats() + 120, p));
    }
  }
}

// The level table of the SSE2 order-16 transform (16 blocks of 2^12, chunks
// of 32 columns), record by record from its definition: per chunk, the
// stage of 2^14-point transforms (W^k, W^2k, W^3k) and the last stage of
// 2^16 points (W^k and W^2k for the first half of its rows), four values of
// k a record, each value an entry of the base sine table S of order 16 read
// with stride 2^16/M, negated as 0 - S.
TEST(FftTables, LevelTableOfTheSse2OrderSixteenTransform) {
  const Variant& v = variants()[0];
  Fft f(v, 16, 8);
  Table sine((1 << 14) + 1);
  v.twdBase(16, sine.floats());
  const float* S = sine.floats();
  const auto value = [S](int x, int m) {  // W^x, W = e^(-2 pi i/M), M = 2^m
    const int M = 1 << m, q = 1 << (16 - m);
    if (x <= M / 4) return std::make_pair(S[(M / 4 - x) * q], 0.0f - S[x * q]);
    if (x <= M / 2) return std::make_pair(0.0f - S[(x - M / 4) * q], 0.0f - S[(M / 2 - x) * q]);
    return std::make_pair(0.0f - S[(3 * M / 4 - x) * q], S[(x - M / 2) * q]);
  };
  const float* start = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(f.p) + f.p->large[7]);
  const float* rec = start;
  for (int c0 = 0; c0 < 4096; c0 += 32)
    for (int s = 0; s < 2; ++s)
      for (int g = 0; g < (s == 0 ? 1 : 2); ++g)
        for (int u = 0; u < 8; ++u)
          for (int p = 1; p <= (s == 0 ? 3 : 2); ++p, rec += 8)
            for (int t = 0; t < 4; ++t) {
              const std::pair<float, float> w = value(p * (c0 + 4096 * g + 4 * u + t), 14 + 2 * s);
              ASSERT_TRUE(bits(rec[t]) == bits(w.first) && bits(rec[4 + t]) == bits(w.second))
                  << "chunk " << c0 << " stage " << s << " g " << g << " u " << u << " p " << p << " t " << t;
            }
  EXPECT_EQ((rec - start) * 4, 4 * 65536 - 8 * 4096);
}

// Every permutation, pair and tile schedule, in place and out of place, on
// elements of 4, 8 and 16 bytes and every order it serves, against the plain
// reversal; applied twice it restores its input. Where no table is read,
// none is passed. The index tables hold 2 rev_(order-2)(i), then a 0.
TEST(FftPermutations, EveryFormIsTheReversalAndUndoesItself) {
  const size_t elemBytes[4] = {4, 8, 8, 16};
  for (const Variant& v : availableVariants()) {
    for (int order = 0; order <= 18; ++order) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const int n = 1 << order;
      Table swapTab(n / 4 + 8), tileTab(n / 4 + 1);
      v.bitRevSwap(order, swapTab.words);
      EXPECT_EQ(v.bitRevNorm(order, tileTab.words), order < 2 ? tileTab.words : alignUp(tileTab.words + n / 4 + 1));
      for (int i = 0; i < n / 4; ++i) ASSERT_EQ(tileTab.words[i], int32_t(2 * reverseBits(i, order - 2))) << i;
      EXPECT_TRUE(order < 2 || (tileTab.words[n / 4] == 0 && tileTab.guardFrom(n / 4 + 1)));
      const int32_t* swap = order >= 2 ? swapTab.words : nullptr;
      const int32_t* tile = order >= 4 ? tileTab.words : nullptr;
      for (int e = 0; e < 4; ++e) {
        const size_t size = elemBytes[e];
        std::vector<uint8_t> x(n * size), want(n * size), a, b(x.size()), c(x.size());
        for (int i = 0; i < n; ++i)
          for (size_t j = 0; j < size; ++j) x[i * size + j] = static_cast<uint8_t>((i >> (8 * (j % 4))) + 31 * j);
        for (int i = 0; i < n; ++i) std::memcpy(&want[reverseBits(i, order) * size], &x[i * size], size);
        const auto inPlace = [&](Permute1 f, const int32_t* tab, const char* what) {
          f((a = x).data(), n, tab);
          ASSERT_EQ(a, want) << what << ", element " << size;
          f(a.data(), n, tab);
          ASSERT_EQ(a, x) << what << " twice, element " << size;
        };
        const auto outOfPlace = [&](Permute2 f, const int32_t* tab, const char* what) {
          f(x.data(), b.data(), n, tab);
          ASSERT_EQ(b, want) << what << ", element " << size;
          f(b.data(), c.data(), n, tab);
          ASSERT_EQ(c, x) << what << " twice, element " << size;
        };
        inPlace(v.blk[e], swap, "pair schedule (block form)");
        if (size <= 8) inPlace(v.swap1[size / 8], swap, "pair schedule");
        if (size <= 8) outOfPlace(v.swap2[size / 8], order >= 3 ? swap : nullptr, "pair schedule, out of place");
        if (order < 3) continue;
        inPlace(v.tile1[e], tile, "tile schedule");
        outOfPlace(v.tile2[e], tile, "tile schedule, out of place");
      }
    }
  }
}

// Exact cases of the fixed-size kernels: alternating signs give n at n/2, a
// constant n at 0, x[1] = 1 gives e^(-2 pi i k/n) (in the radix-4 kernel's
// closed form of 8 points: the constant island's bits); one point passes its
// bits unchanged, NaN payloads and -0 included. The scaled twins give the
// plain kernel's bits times the factor (the 16-point one scales inside, to
// within rounding). Paths and accuracy: through the FFT operations.
TEST(FftSmallKernels, ExactCasesAndScaledTwins) {
  const uint32_t pattern[2] = {0x7FC01234u, 0x80000000u};
  const uint32_t w8[8] = {0x3F800000u, 0, 0x3F3504F4u, 0xBF3504F4u, 0, 0xBF800000u, 0xBF3504F4u, 0xBF3504F4u};
  for (const Variant& v : availableVariants()) {
    vpComplex32f one, out;
    std::memcpy(&one, pattern, 8);
    v.small[0](&one, &out);
    EXPECT_EQ(std::memcmp(&one, &out, 8), 0) << v.name;
    for (int order = 0; order <= 5; ++order) {
      SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order));
      const int n = 1 << order;
      std::vector<float> alt(2 * n, 0.0f), ones(2 * n, 0.0f), imp1(2 * n, 0.0f), y(2 * n), ys(2 * n);
      for (int i = 0; i < n; ++i) alt[2 * i] = i % 2 ? -1.0f : 1.0f, ones[2 * i] = 1.0f;
      imp1[2 % (2 * n)] = 1.0f;
      const auto run = [&](const std::vector<float>& x) {
        v.small[order](reinterpret_cast<const vpComplex32f*>(x.data()), reinterpret_cast<vpComplex32f*>(y.data()));
      };
      run(alt);
      for (int k = 0; k < n; ++k) ASSERT_TRUE(y[2 * k] == (k == n / 2 ? n : 0) && y[2 * k + 1] == 0) << k;
      run(ones);
      for (int k = 0; k < n; ++k) ASSERT_TRUE(y[2 * k] == (k == 0 ? n : 0) && y[2 * k + 1] == 0) << k;
      run(imp1);
      for (int k = 0; k < n && n > 1; ++k) {
        EXPECT_NEAR(y[2 * k], std::cos(2 * M_PI * k / n), 1e-7) << k;
        EXPECT_NEAR(y[2 * k + 1], -std::sin(2 * M_PI * k / n), 1e-7) << k;
      }
      if (n == 8) v.norm[0](reinterpret_cast<vpComplex32f*>(imp1.data()), reinterpret_cast<vpComplex32f*>(y.data()), 8,
                           nullptr, nullptr, nullptr);
      for (int k = 0; k < 8 && n == 8; ++k) ASSERT_EQ(bits(y[k]), w8[k]) << k;
      for (int k = 0; k < 8 && n == 8; ++k) ASSERT_EQ(y[k + 8], -y[k]) << k;
      const std::vector<float> x = randomFloats(2 * n, order);
      run(x);
      for (float s : {1.0f, 0.125f, 0.3f}) {
        v.smallScaled[order](reinterpret_cast<const vpComplex32f*>(x.data()), reinterpret_cast<vpComplex32f*>(ys.data()),
                             s);
        const bool inside = order == 4 && s != 1.0f;
        for (int i = 0; i < 2 * n; ++i)
          ASSERT_NEAR(ys[i], y[i] * s, inside ? 1e-6f * (std::fabs(y[i] * s) + 1) : 0.0f) << i << " scale " << s;
      }
    }
  }
}

// The complex values of x (interleaved) in bit-reversed order.
std::vector<float> bitReversedValues(const std::vector<float>& x, int order) {
  std::vector<float> rev(x.size());
  for (uint32_t i = 0; i < x.size() / 2; ++i)
    for (int part = 0; part < 2; ++part) rev[2 * reverseBits(i, order) + part] = x[2 * i + part];
  return rev;
}

// Both directions of every radix-4 kernel, orders 3 to the radix-4 limit.
// The natural-order kernel in place 8 bytes off a boundary, as the inverse
// MDCT calls it (the work area is then the buffer; 8 points need no table,
// up to 16 neither the index table nor the buffer), against the DFT. Its
// bits come back out of place from a source 4 bytes off, from the
// bit-reversed-input kernel (aligned or 8 bytes off; interleaved with form
// 1, split-4 with any other) and from the split kernels (natural order into
// misaligned arrays, bit-reversed in place); sources stay as they were. The
// inverse after the forward gives N x.
TEST(FftRadix4Kernels, EveryFormOfBothDirectionsGivesTheNaturalOrderBits) {
  for (const Variant& v : availableVariants()) {
    for (int order = 3; order <= v.radix4Limit; ++order) {
      const int n = 1 << order;
      const bool small = n <= 16;
      Tables t(v, order);
      const float* twd = n == 8 ? nullptr : t.twd.floats();
      const int32_t* rev = small ? nullptr : t.rev.words;
      const std::vector<float> x = randomFloats(2 * n, 31 * order), xr = bitReversedValues(x, order);
      std::vector<float> round;
      for (int inverse = 0; inverse < 2; ++inverse) {
        SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order) + (inverse ? " inverse" : " forward"));
        Guarded io(x, 8), src(x, 4), dst(8 * n, 8), buf(8 * n), dRe(4 * n, 4), dIm(4 * n, 8);
        v.norm[inverse](io.as<vpComplex32f>(), io.as<vpComplex32f>(), n, twd, rev, small ? nullptr : buf.as<float>());
        const float* w = io.as<float>();
        EXPECT_LE(relativeError(w, referenceDft(toComplex(x.data(), n), inverse)), 2e-7 * order);
        EXPECT_TRUE(io.guardsIntact() && buf.guardsIntact() && (!small || buf.untouched()));
        // Value k of d (interleaved, split-4, or split arrays re and im) has w's bits.
        const auto same = [&](const float* d, int layout, const char* what, const float* im = nullptr) {
          for (int k = 0; k < n; ++k)
            for (int part = 0; part < 2; ++part) {
              const float got = layout == 1 ? d[2 * k + part] : layout == 0 ? d[8 * (k / 4) + 4 * part + k % 4]
                                                                            : (part ? im : d)[k];
              ASSERT_EQ(bits(got), bits(w[2 * k + part])) << what << " " << k;
            }
        };
        v.norm[inverse](src.as<vpComplex32f>(), dst.as<vpComplex32f>(), n, twd, rev, buf.as<float>());
        same(dst.as<float>(), 1, "out of place");
        EXPECT_TRUE(std::equal(x.begin(), x.end(), src.as<float>()) && dst.guardsIntact());
        for (size_t offset : {0, 8})
          for (int form : {1, 0, 2}) {
            if (n < 32) break;
            Guarded data(xr, offset);
            v.bitReversed[inverse](data.as<vpComplex32f>(), n, t.twd.floats(), buf.as<float>(), form);
            same(data.as<float>(), form == 1, "bit-reversed input");
            EXPECT_TRUE(data.guardsIntact()) << offset << " " << form;
          }
        std::vector<float> re(n), im(n), bre(n), bim(n);
        for (int i = 0; i < n; ++i) re[i] = x[2 * i], im[i] = x[2 * i + 1], bre[i] = xr[2 * i], bim[i] = xr[2 * i + 1];
        v.crNorm[inverse](re.data(), im.data(), dRe.as<float>(), dIm.as<float>(), n, twd, rev, buf.as<float>());
        v.crBitReversed[inverse](bre.data(), bim.data(), n, twd, buf.as<float>());
        EXPECT_TRUE(dRe.guardsIntact() && dIm.guardsIntact() && buf.guardsIntact());
        same(dRe.as<float>(), 2, "split arrays", dIm.as<float>());
        same(bre.data(), 2, "split arrays, bit-reversed input", bim.data());
        for (int i = 0; i < n; ++i) ASSERT_TRUE(re[i] == x[2 * i] && im[i] == x[2 * i + 1]) << "split source changed";
        if (inverse) {
          auto* r = reinterpret_cast<vpComplex32f*>(round.data());
          v.norm[1](r, r, n, twd, rev, buf.as<float>());
          EXPECT_LE(relativeError(round.data(), toComplex(x.data(), n), double(n)), 4e-7 * order) << "round trip";
        }
        round.assign(w, w + 2 * n);
      }
    }
  }
}

// Below the smallest size a kernel serves it does nothing: exactly sized
// arrays come back unchanged (and the sanitizer sees no access past them).
TEST(FftKernels, SizesBelowTheMinimumDoNothing) {
  for (const Variant& v : availableVariants()) {
    for (int n : {1, 2, 4, 8, 16}) {
      const std::vector<float> x = randomFloats(2 * n, n);
      std::vector<float> a(x), b(x);
      auto* za = reinterpret_cast<vpComplex32f*>(a.data());
      auto* zb = reinterpret_cast<vpComplex32f*>(b.data());
      for (int dir = 0; dir < 2; ++dir) {
        if (n < 8) {
          v.norm[dir](za, zb, n, nullptr, nullptr, nullptr);
          v.crNorm[dir](a.data(), b.data(), a.data(), b.data(), n, nullptr, nullptr, nullptr);
          v.crBitReversed[dir](a.data(), b.data(), n, nullptr, nullptr);
          v.tile1[dir](a.data(), n, nullptr);  // S and C forms
          v.tile2[dir](a.data(), b.data(), n, nullptr);
        }
        v.bitReversed[dir](za, n, nullptr, nullptr, dir);  // below 32
        if (v.core[dir] == nullptr) continue;              // below 32 again, and counts below 4
        v.core[dir](za, zb, n, nullptr, nullptr, b.data());
        v.crCore[dir](a.data(), a.data() + n, b.data(), n, nullptr, nullptr);
        v.last[dir](a.data(), b.data(), 4, 3, nullptr);
        v.crLast[dir](a.data(), b.data(), b.data(), 4, 3, nullptr);
      }
      EXPECT_TRUE(a == x && b == x) << v.name << " " << n;
    }
  }
}

// Two core calls (source at x[0] and x[2]) and the last factor give the
// 4M-point transform, whole or in two runs; the split forms give the
// interleaved bits. The last-factor records: W^j, W^2j, W^3j,
// W = e^(-2 pi i/(4M)).
TEST(FftFourWay, TwoCoreCallsAndTheLastFactorGiveTheTransform) {
  for (const Variant& v : variants()) {
    if (!v.available() || v.core[0] == nullptr) continue;
    for (int order : {5, 6, 7, 11, 12}) {
      const int m = 1 << order, n = 4 * m;
      Tables t(v, order);
      std::vector<float> rec(6 * m), re(n), im(n);
      for (int j = 0; j < m; ++j)
        for (int p = 1; p <= 3; ++p) {
          rec[24 * (j / 4) + 8 * (p - 1) + j % 4] = float(std::cos(2 * M_PI * p * j / n));
          rec[24 * (j / 4) + 8 * (p - 1) + 4 + j % 4] = float(-std::sin(2 * M_PI * p * j / n));
        }
      const std::vector<float> x = randomFloats(2 * n, 3 * order);
      for (int i = 0; i < n; ++i) re[i] = x[2 * i], im[i] = x[2 * i + 1];
      for (int inverse = 0; inverse < 2; ++inverse) {
        SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order) + (inverse ? " inverse" : " forward"));
        Guarded work(8 * n), buf(8 * n), crWork(8 * n), dst(8 * n, 8), first(8 * 2 * m, 8), io(x, 0), odd(x, 8);
        const auto* src = reinterpret_cast<const vpComplex32f*>(x.data());
        // Source and destination of the first call misaligned: the work area
        // is the buffer; in place (the same) too.
        v.core[inverse](odd.as<vpComplex32f>(), first.as<vpComplex32f>(), m, t.twd.floats(), t.rev.words, buf.as<float>());
        v.core[inverse](io.as<vpComplex32f>(), io.as<vpComplex32f>(), m, t.twd.floats(), t.rev.words, buf.as<float>());
        ASSERT_EQ(std::memcmp(io.data(), first.data(), 16 * m), 0) << "in place";
        std::memcpy(work.data(), first.data(), 16 * m);
        v.core[inverse](src + 2, work.as<vpComplex32f>() + 2 * m, m, t.twd.floats(), t.rev.words, buf.as<float>());
        EXPECT_TRUE(first.guardsIntact() && work.guardsIntact() && buf.guardsIntact() && io.guardsIntact());
        v.crCore[inverse](re.data(), im.data(), crWork.as<float>(), m, t.twd.floats(), t.rev.words);
        v.crCore[inverse](re.data() + 2, im.data() + 2, crWork.as<float>() + 4 * m, m, t.twd.floats(), t.rev.words);
        ASSERT_EQ(std::memcmp(work.data(), crWork.data(), 8 * n), 0) << "split source";
        // The last factor in two runs, into a misaligned destination: the
        // temporary stays out of the source, which is only read.
        const std::vector<float> partial(work.as<float>(), work.as<float>() + 2 * n);
        v.last[inverse](work.as<float>(), dst.as<float>(), m, m / 2, rec.data());
        v.last[inverse](work.as<float>() + m, dst.as<float>() + m, m, m / 2, rec.data() + 3 * m);
        EXPECT_TRUE(dst.guardsIntact() && std::equal(partial.begin(), partial.end(), work.as<float>()));
        EXPECT_LE(relativeError(dst.as<float>(), referenceDft(toComplex(x.data(), n), inverse)), 2e-7 * (order + 2));
        // One whole call in place gives the same bits; so do split arrays.
        std::vector<float> sRe(n), sIm(n);
        v.crLast[inverse](work.as<float>(), sRe.data(), sIm.data(), m, m, rec.data());
        v.last[inverse](work.as<float>(), work.as<float>(), m, m, rec.data());
        ASSERT_EQ(std::memcmp(work.data(), dst.data(), 8 * n), 0) << "in place";
        for (int i = 0; i < n; ++i)
          ASSERT_TRUE(bits(sRe[i]) == bits(dst.as<float>()[2 * i]) && bits(sIm[i]) == bits(dst.as<float>()[2 * i + 1]));
      }
    }
  }
}

// Gather and scatter of rows of cols values at a stride, any column count:
// groups of four move as split-4 groups (interleave 1 turns them into
// interleaved values), a tail of one to three values moves value by value
// (cr forms: its real parts, then its imaginary parts), and nothing past a
// row's cols values is touched.
TEST(FftLargeKernels, GatherAndScatterOfAnyColumnCount) {
  const int rows = 3, stride = 32;
  for (const Variant& v : availableVariants()) {
    for (int cols : {0, 1, 3, 5, 6, 7, 9, 24})
      for (int offset : {0, 1}) {
        SCOPED_TRACE(std::string(v.name) + " cols " + std::to_string(cols) + " offset " + std::to_string(offset));
        const std::vector<float> x = randomFloats(2 * stride * rows + 2, 40 + cols);
        const float *s = x.data() + 2 * offset, *re = s, *im = s + stride * rows;
        Guarded buf(8 * rows * cols), back(8 * stride * rows, 4), inter(8 * stride * rows, 8);
        Guarded crBuf(8 * rows * cols), outRe(4 * stride * rows), outIm(4 * stride * rows, 4);
        v.merge(reinterpret_cast<const vpComplex32f*>(s), buf.as<float>(), stride, rows, cols);
        v.split(back.as<vpComplex32f>(), buf.as<float>(), stride, rows, cols, 0);
        v.split(inter.as<vpComplex32f>(), buf.as<float>(), stride, rows, cols, 1);
        v.crMerge(re, im, crBuf.as<float>(), stride, rows, cols);  // strides in floats
        v.crSplit(outRe.as<float>(), outIm.as<float>(), crBuf.as<float>(), stride, rows, cols);
        for (const Guarded* g : {&buf, &back, &inter, &crBuf, &outRe, &outIm}) EXPECT_TRUE(g->guardsIntact());
        const int whole = cols / 4 * 4, tail = cols - whole;
        for (int r = 0; r < rows; ++r)
          for (int c = 0; c < cols; ++c) {
            for (int part = 0; part < 2; ++part) {
              const int o = 2 * (stride * r + c) + part;
              ASSERT_TRUE(buf.as<float>()[2 * (cols * r + c) + part] == s[o] && back.as<float>()[o] == s[o]);
              ASSERT_EQ(inter.as<float>()[o], c >= whole ? s[o] : s[2 * stride * r + c / 4 * 8 + 4 * part + c % 4]);
            }
            const float* row = crBuf.as<float>() + 2 * cols * r;
            const int at = c < whole ? c / 4 * 8 + c % 4 : 2 * whole + c - whole, k = stride * r + c;
            ASSERT_TRUE(row[at] == re[k] && row[at + (c < whole ? 4 : tail)] == im[k]);
            ASSERT_TRUE(outRe.as<float>()[k] == re[k] && outIm.as<float>()[k] == im[k]);
          }
      }
  }
}

// The vector permutations at every alignment of the data (4-byte steps off a
// 16-byte boundary), against the plain reversal, with guards around the
// destination: orders on both sides of the scatter/gather switch, and the
// smallest ones with their closed forms.
TEST(FftPermutations, EveryAlignmentGivesThePlainReversal) {
  const size_t elemBytes[4] = {4, 8, 8, 16};
  for (const Variant& v : availableVariants()) {
    for (int order : {2, 3, 4, 5, 6, 9, 12, 15, 16, 17}) {
      const int n = 1 << order;
      Table swapTab(n / 4 + 8), tileTab(n / 4 + 8);
      v.bitRevSwap(order, swapTab.words);
      v.bitRevNorm(order, tileTab.words);
      for (int e = 0; e < 4; ++e)
        for (size_t offset : {4, 8, 12, 0}) {
          SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order) + " element " +
                       std::to_string(elemBytes[e]) + " offset " + std::to_string(offset));
          const size_t bytes = n * elemBytes[e];
          const std::vector<float> x = randomFloats(bytes / 4, order * 7 + e);
          std::vector<float> want(x.size());
          transforms_ref::bitReverse(x.data(), want.data(), n, elemBytes[e]);
          const auto check = [&](Guarded& g, const char* what) {
            EXPECT_TRUE(g.guardsIntact()) << what;
            ASSERT_EQ(std::memcmp(g.data(), want.data(), bytes), 0) << what;
          };
          Guarded a(x, offset), src(x, 16 - offset), dst(bytes, offset);
          v.blk[e](a.data(), n, swapTab.words);
          check(a, "pair schedule, block form");
          if (elemBytes[e] <= 8) {
            Guarded b(x, offset), c(bytes, offset);
            v.swap1[e > 0](b.data(), n, swapTab.words);
            check(b, "pair schedule");
            v.swap2[e > 0](src.data(), c.data(), n, swapTab.words);
            check(c, "pair schedule, out of place");
          }
          if (order < 3) continue;
          Guarded t(x, offset);
          v.tile1[e](t.data(), n, tileTab.words);
          check(t, "tile schedule");
          v.tile2[e](src.data(), dst.data(), n, tileTab.words);
          check(dst, "tile schedule, out of place");
        }
    }
  }
}

// Seeded values with extremes among them: signed zeros, values near the
// largest that stay finite through the sums, and subnormals.
std::vector<float> valuesWithExtremes(size_t count, uint32_t seed) {
  std::vector<float> x = randomFloats(count, seed);
  const float extremes[] = {0.0f, -0.0f, 1e30f, -1e30f, 1e-40f, -1e-40f, 1.17549435e-38f, -3e-39f};
  for (size_t i = 0; i < count; i += 5) x[i] = extremes[(i / 5 + seed) % 8];
  return x;
}

// Every radix-4 kernel form of both directions against the plain reference
// of its variant's plan, bit for bit: natural order out of place into a
// destination 8 bytes off (work area: the buffer) and aligned (the
// destination), in place; bit-reversed input, interleaved and split-4
// results; split arrays 4 bytes off; the two core calls of the four-way
// split, each half the reference transform of its residue class. The
// variants' results agree where their plans do.
TEST(FftRadix4Kernels, EveryFormGivesThePlainReferenceBits) {
  using transforms_ref::C;
  std::vector<std::vector<C>> firstOfPlan(4 * 18);  // by order, direction and plan
  for (const Variant& v : availableVariants()) {
    for (int order = 3; order <= std::min(v.radix4Limit, 14); ++order) {
      const int n = 1 << order;
      Tables t(v, order);
      const float* twd = t.twd.floats();
      const std::vector<float> x = valuesWithExtremes(2 * n, 17 * order), xr = bitReversedValues(x, order);
      const C* xc = reinterpret_cast<const C*>(x.data());
      for (int inverse = 0; inverse < 2; ++inverse) {
        SCOPED_TRACE(std::string(v.name) + " order " + std::to_string(order) + (inverse ? " inverse" : " forward"));
        const std::vector<C> want = inverse ? transforms_ref::radix4Inverse(xc, n, twd, v.radix8Plan)
                                            : transforms_ref::radix4Forward(xc, n, twd, v.radix8Plan);
        const auto same = [&](const float* re, const float* im, size_t step, int layout, const char* what) {
          for (int k = 0; k < n; ++k) {
            const size_t at = layout == 0 ? 8 * (k / 4) + k % 4 : step * k;
            ASSERT_EQ(bits(re[at]), bits(want[k].re)) << what << " " << k;
            ASSERT_EQ(bits(im[at]), bits(want[k].im)) << what << " " << k;
          }
        };
        Guarded buf(8 * n), odd(8 * n, 8), even(8 * n), io(x, 4);
        const auto* src = reinterpret_cast<const vpComplex32f*>(x.data());
        v.norm[inverse](src, odd.as<vpComplex32f>(), n, twd, t.rev.words, buf.as<float>());
        same(odd.as<float>(), odd.as<float>() + 1, 2, 1, "natural order, destination off");
        v.norm[inverse](src, even.as<vpComplex32f>(), n, twd, t.rev.words, buf.as<float>());
        same(even.as<float>(), even.as<float>() + 1, 2, 1, "natural order, aligned destination");
        v.norm[inverse](io.as<vpComplex32f>(), io.as<vpComplex32f>(), n, twd, t.rev.words, buf.as<float>());
        same(io.as<float>(), io.as<float>() + 1, 2, 1, "natural order, in place");
        EXPECT_TRUE(odd.guardsIntact() && even.guardsIntact() && io.guardsIntact() && buf.guardsIntact());
        if (n >= 32)
          for (int form : {1, 0}) {
            Guarded data(xr, 8);
            v.bitReversed[inverse](data.as<vpComplex32f>(), n, twd, buf.as<float>(), form);
            same(data.as<float>(), data.as<float>() + (form ? 1 : 4), 2, form, "bit-reversed input");
            EXPECT_TRUE(data.guardsIntact());
          }
        Guarded re(4 * n, 4), im(4 * n, 4), bre(4 * n, 8), bim(4 * n, 12);
        for (int i = 0; i < n; ++i) {
          re.as<float>()[i] = x[2 * i], im.as<float>()[i] = x[2 * i + 1];
          bre.as<float>()[i] = xr[2 * i], bim.as<float>()[i] = xr[2 * i + 1];
        }
        v.crNorm[inverse](re.as<float>(), im.as<float>(), re.as<float>(), im.as<float>(), n, twd, t.rev.words,
                          buf.as<float>());
        same(re.as<float>(), im.as<float>(), 1, 2, "split arrays, in place");
        if (n >= 32) {
          v.crBitReversed[inverse](bre.as<float>(), bim.as<float>(), n, twd, buf.as<float>());
          same(bre.as<float>(), bim.as<float>(), 1, 2, "split arrays, bit-reversed input");
        }
        EXPECT_TRUE(re.guardsIntact() && im.guardsIntact() && bre.guardsIntact() && bim.guardsIntact());
        std::vector<C>& first = firstOfPlan[4 * order + 2 * inverse + (v.radix8Plan && order % 2 == 1)];
        if (first.empty()) first = want;
        EXPECT_EQ(std::memcmp(first.data(), want.data(), 8 * n), 0) << "the variants of one plan agree";
        if (v.core[0] == nullptr || n < 32) continue;
        // The core: source 4n values of which classes 0 and 1 (2 and 3 with
        // the source two values on) are this order's x.
        std::vector<float> wide(8 * n);
        for (int j = 0; j < n; ++j)
          for (int e = 0; e < 4; ++e)
            for (int part = 0; part < 2; ++part) wide[2 * (4 * j + e) + part] = x[2 * j + part] * (e + 1);
        std::vector<float> wre(4 * n), wim(4 * n);
        for (int i = 0; i < 4 * n; ++i) wre[i] = wide[2 * i], wim[i] = wide[2 * i + 1];
        Guarded core(16 * n, 8), crCore(16 * n), coreBuf(16 * n);
        const auto* ws = reinterpret_cast<const vpComplex32f*>(wide.data());
        v.core[inverse](ws + 2, core.as<vpComplex32f>(), n, twd, t.rev.words, coreBuf.as<float>());
        v.crCore[inverse](wre.data() + 2, wim.data() + 2, crCore.as<float>(), n, twd, t.rev.words);
        EXPECT_TRUE(core.guardsIntact() && crCore.guardsIntact() && coreBuf.guardsIntact());
        for (int e = 0; e < 2; ++e) {
          std::vector<C> cls(n);
          for (int j = 0; j < n; ++j) cls[j] = {x[2 * j] * (e + 3), x[2 * j + 1] * (e + 3)};
          const std::vector<C> w = inverse ? transforms_ref::radix4Inverse(cls.data(), n, twd, false)
                                           : transforms_ref::radix4Forward(cls.data(), n, twd, false);
          for (int k = 0; k < n; ++k)
            for (const float* d : {core.as<float>(), crCore.as<float>()}) {
              const float* g = d + 2 * n * e + 8 * (k / 4) + k % 4;
              ASSERT_TRUE(bits(g[0]) == bits(w[k].re) && bits(g[4]) == bits(w[k].im)) << "core class " << e << " " << k;
            }
        }
      }
    }
  }
}

}  // namespace
