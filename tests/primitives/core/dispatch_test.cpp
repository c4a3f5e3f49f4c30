// Four-slot dispatch: the tables, the index before selection, and the stubs
// passing their arguments and results through unchanged.
#include "checkasm.h"

#define DECLARE_TABLE(ret, name, table, params, args) extern decltype(&sse2_##name) const table[4];
VP_CORE_PRIMITIVES(DECLARE_TABLE)
#undef DECLARE_TABLE

namespace {

// Runs before any test of this program selects a variant (this file is the
// first of the program).
TEST(Dispatch, IndexIsSse2UntilSelectionUnlessForced) {
  EXPECT_EQ(vpForcedVariant(), vpVariantIndex.load());
  uint8_t a[100] = {}, b[100] = {};
  vpsCopy_8u(a, b, 100);
  vpsZero_8u(a, 100);
  EXPECT_EQ(vpForcedVariant(), vpVariantIndex.load()) << "primitives never select a variant";
}

TEST(Dispatch, TablesHoldSse2TwiceThenSsse3AndSse41) {
#define CHECK_TABLE(ret, name, table, params, args)                   \
  EXPECT_EQ(&sse2_##name, table[0]) << #name;                         \
  EXPECT_EQ(&sse2_##name, table[1]) << #name;                         \
  EXPECT_EQ(&ssse3_##name, table[2]) << #name;                        \
  EXPECT_EQ(&sse41_##name, table[3]) << #name;
  VP_CORE_PRIMITIVES(CHECK_TABLE)
#undef CHECK_TABLE
}

// Restores the process's index after a test that moves it.
class IndexScope {
 public:
  IndexScope() : saved_(vpVariantIndex.load()) {}
  ~IndexScope() { vpVariantIndex.store(saved_); }

 private:
  uint32_t saved_;
};

TEST(Dispatch, StubsPassArgumentsAndResultsThrough) {
  IndexScope keep;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!checkasm::processorHas(slot == 0 ? 1 : slot)) continue;
    vpVariantIndex.store(slot);
    EXPECT_EQ(vpSelect(vpsJoin_32f16s_D2L_arraddr), vpsJoin_32f16s_D2L_arraddr[slot]);
    uint16_t words[5] = {0x0102, 0x0304, 0x0506, 0x0708, 0x090A};
    EXPECT_EQ(StatusOk, vpsSwapBytes_16u_I(words, 5));
    EXPECT_EQ(0x0201, words[0]);
    EXPECT_EQ(0x0A09, words[4]);
    EXPECT_EQ(StatusNullPointer, vpsSwapBytes_16u_I(nullptr, 5));
    EXPECT_EQ(StatusSizeError, vpsSwapBytes_16u_I(words, 0));
    float src[3] = {1.0f, 2.0f, 3.0f};
    float* dst[3] = {src, src, nullptr};
    EXPECT_EQ(StatusChannelError, vpsDeinterleave_32f(src, 0, 0, dst));
    const float x[5] = {1.5f, -2.25f, 3.0f, 40000.0f, -0.5f};
    const float y[5] = {0.5f, 0.25f, -3.0f, 1.0f, 2.5f};
    float sum[5] = {};
    EXPECT_EQ(StatusOk, vpsAdd_32f(x, y, sum, 5));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(x[i] + y[i], sum[i]) << i;
    EXPECT_EQ(StatusNullPointer, vpsAdd_32f(x, nullptr, sum, 5));
    int16_t pcm[5] = {};
    EXPECT_EQ(StatusOk, vpsConvert_32f16s_Sfs(sum, pcm, 5, RndNear, 1));  // halved, ties to even
    const int16_t halved[5] = {1, -1, 0, 20000, 1};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(halved[i], pcm[i]) << i;
    EXPECT_EQ(StatusOk, vpsConvert_32f16s_Sfs(x, pcm, 5, RndNear, 0));
    EXPECT_EQ(32767, pcm[3]) << "saturated";
    EXPECT_EQ(StatusSizeError, vpsConvert_32f16s_Sfs(x, pcm, 0, RndNear, 0));
    uint8_t triples[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(StatusOk, vpsSwapBytes_24u_I(triples, 2));
    const uint8_t swapped[7] = {3, 2, 1, 6, 5, 4, 7};
    EXPECT_EQ(0, std::memcmp(triples, swapped, 7));
    EXPECT_EQ(StatusNullPointer, vpsSwapBytes_24u_I(nullptr, 2));
    uint8_t* p = vpsMalloc_8u(10);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) & 31);
    vpsFree(p);
  }
}

}  // namespace
