// Aligned allocation through the allocator pointers, thread count, and the
// SSE and x87 control routines.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vpCoreInternal.h"

namespace {

std::vector<void*> mallocs, frees;
size_t lastRequest = 0;
bool failNext = false;

void* countingMalloc(size_t n) {
  lastRequest = n;
  if (failNext) return nullptr;
  void* p = std::malloc(n);
  mallocs.push_back(p);
  return p;
}
void countingFree(void* p) {
  frees.push_back(p);
  std::free(p);
}

class Allocator : public ::testing::Test {
 protected:
  void SetUp() override {
    mallocs.clear();
    frees.clear();
    failNext = false;
    i_malloc = countingMalloc;
    i_free = countingFree;
  }
  void TearDown() override {
    i_malloc = std::malloc;
    i_free = std::free;
  }
};

TEST_F(Allocator, BlockIsAlignedWithItsBackLink) {
  for (int32_t len : {1, 2, 31, 32, 100, 4096}) {
    uint8_t* p = static_cast<uint8_t*>(vpMalloc(len));
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(1u, mallocs.size());
    uint8_t* raw = static_cast<uint8_t*>(mallocs[0]);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) & 31);
    EXPECT_GE(p - raw, static_cast<ptrdiff_t>(sizeof(void*)));
    EXPECT_LE(p - raw, 39);
    EXPECT_LE(p + len, raw + lastRequest) << "the block ends inside the allocation";
    void* link = nullptr;
    std::memcpy(&link, p - sizeof(void*), sizeof link);
    EXPECT_EQ(raw, link);
    vpFree(p);
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(raw, frees[0]);
    mallocs.clear();
    frees.clear();
  }
}

TEST_F(Allocator, LargestLengthDoesNotWrap) {
  failNext = true;
  EXPECT_EQ(nullptr, vpMalloc(INT32_MAX));
  EXPECT_GT(lastRequest, static_cast<size_t>(INT32_MAX));
}

TEST_F(Allocator, BadLengthsAndNull) {
  EXPECT_EQ(nullptr, vpMalloc(0));
  EXPECT_EQ(nullptr, vpMalloc(-5));
  EXPECT_TRUE(mallocs.empty()) << "no allocation asked for";
  failNext = true;
  EXPECT_EQ(nullptr, vpMalloc(10));
  vpFree(nullptr);
  EXPECT_TRUE(frees.empty());
  EXPECT_EQ(nullptr, sse41_vpsMalloc_8u(0));
}

TEST(Threads, AlwaysOneAndNullArgumentsRefused) {
  int32_t n = 0;
  EXPECT_EQ(1, vpSetNumThreads(8));
  EXPECT_EQ(1, vpGetNumThreads(&n));
  EXPECT_EQ(1, n);
  EXPECT_EQ(StatusNullPointer, vpGetNumThreads(nullptr));
  EXPECT_EQ(-1, ownGetCacheSize(nullptr));
  vp_get_pentium_ident(nullptr);
}

class Mxcsr : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = _mm_getcsr(); }
  void TearDown() override { _mm_setcsr(saved_); }
  uint32_t saved_ = 0;
};

TEST_F(Mxcsr, SetRoundingControl) {
  _mm_setcsr(0x1F80);
  EXPECT_EQ(0x1F80u, vp_set_rc_ssx(0x6000));
  EXPECT_EQ(0x7F80u, _mm_getcsr());
  EXPECT_EQ(0x7F80u, vp_set_rc_ssx(0x1F80));
  EXPECT_EQ(0x1F80u, _mm_getcsr());
  _mm_setcsr(0x7F80);
  EXPECT_EQ(0x7F80u, vp_set_rc_ssx(0x6000));
  EXPECT_EQ(0x7F80u, _mm_getcsr());
}

TEST_F(Mxcsr, SetGetClear) {
  _mm_setcsr(0x1F80);
  EXPECT_EQ(0x1F80u, ps_set_ssx(0x8040, 0x8040));
  EXPECT_EQ(0x9FC0u, ps_get_ssx());
  EXPECT_EQ(0x9FC0u, vp_clear_ssx());
  EXPECT_EQ(0x1F80u, ps_get_ssx());
  vp_set_cw_ssx(0x3F80);
  EXPECT_EQ(0x3F80u, ps_get_ssx());
  EXPECT_EQ(1, vp_tst_daz_ssx()) << "every x86-64 processor has denormals-are-zero";
}

class X87 : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = ps_get_cw_fpu(); }
  void TearDown() override {
    vp_set_cw_fpu(saved_);
    ps_clear_fpu();
  }
  uint16_t saved_ = 0;
};

TEST_F(X87, ControlWordPortableEncoding) {
  vp_set_cw_fpu(0x037F);
  const uint32_t n = vp_control87(0x300, 0x300);
  EXPECT_EQ(0x300u, n & 0x300);
  EXPECT_EQ(0xC00, ps_get_cw_fpu() & 0xC00) << "round toward zero";
  EXPECT_EQ(0x8001Fu | 0x300u, n) << "all exceptions masked, 64-bit precision";
  EXPECT_EQ(0x8001Fu | 0x300u, vp_control87(0, 0));
  vp_control87(0x20000, 0x30000);
  EXPECT_EQ(0x000, ps_get_cw_fpu() & 0x300) << "24-bit mantissa";
  vp_control87(0x10000, 0x30000);
  EXPECT_EQ(0x200, ps_get_cw_fpu() & 0x300);
}

TEST_F(X87, SetControlBitsAndRoundingPrecision) {
  vp_set_cw_fpu(0x037F);
  EXPECT_EQ(0x037F, ps_set_cw_fpu(0x0C00, 0x0C00));
  EXPECT_EQ(0x0F7F, ps_get_cw_fpu());
  EXPECT_EQ(0x0F7F, vp_set_rcpc_fpu(0x0C00, 0x0C00));
  EXPECT_EQ(0x0F7F, ps_get_cw_fpu()) << "unchanged when the field already holds the value";
  EXPECT_EQ(0x0F7F, vp_set_rcpc_fpu(0x0400, 0x0C00));
  EXPECT_EQ(0x077F, ps_get_cw_fpu());
}

TEST_F(X87, StatusFlags) {
  ps_clear_fpu();
  volatile long double zero = 0.0L;
  volatile long double r = 1.0L / zero;  // raises zero-divide (masked)
  (void)r;
  EXPECT_EQ(0x8u, vp_status87() & 0x8u);
  EXPECT_EQ(0x8u, vp_clear87() & 0x8u);
  EXPECT_EQ(0u, vp_status87());
  EXPECT_EQ(0, ps_get_sw_fpu() & 0x3F);
}

TEST(FloatClass, NanAndFinite) {
  EXPECT_EQ(1, vp_isnan(NAN));
  uint64_t snan = 0x7FF0000000000001ull;
  double s;
  std::memcpy(&s, &snan, 8);
  EXPECT_EQ(1, vp_isnan(s));
  EXPECT_EQ(0, vp_isnan(INFINITY));
  EXPECT_EQ(0, vp_isnan(1.0));
  EXPECT_EQ(0, vp_finite(INFINITY));
  EXPECT_EQ(0, vp_finite(-NAN));
  EXPECT_EQ(1, vp_finite(4.9e-324));
  EXPECT_EQ(1, vp_finite(-0.0));
}

}  // namespace
