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
    uint8_t* p = vpsMalloc_8u(10);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) & 31);
    vpsFree(p);
  }
}

}  // namespace
