// CAVLC primitives: table layout, every codeword of every code list through
// the built tables, block decoder statuses and edge cases, and all three
// variants against each other on random blocks.
#include <gtest/gtest.h>

#include <random>

#include "checkasm.h"

#include "cavlc_code_tables.h"
#include "cavlc_tables.h"
#include "cavlc_writer.h"
#include "vpImage.h"

using cavlctest::BitWriter;

namespace {

// The block primitives' multi-level tables, built from the code lists.
CavlcCodeTables& tables = cavlc_code_tables();

const int32_t kIdentity[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

class CavlcPrimitives : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cavlc_code_tables().built);
    ASSERT_EQ(AllocateCAVLCTables(), 0u);
  }
  void TearDown() override { FreeCAVLCTables(); }
};

// Walks a table as the decoders do: (result, bits consumed), result INT32_MIN
// for a bad code.
std::pair<int32_t, int> walk(const HuffmanTable_32s* table, uint64_t bits) {
  const int32_t* t = reinterpret_cast<const int32_t*>(table);
  int used = 0;
  auto take = [&](int n) {
    const uint32_t v = static_cast<uint32_t>((bits << used) >> (64 - n));
    used += n;
    return v;
  };
  int32_t e = t[1 + take(t[0])];
  while (e & 0x80) {
    const int32_t s = e >> 8;
    e = t[s + 1 + take(t[s])];
  }
  used -= e & 0xFF;
  if ((e >> 8) == 0xF0F1) return {INT32_MIN, used};
  return {e >> 8, used};
}

const HuffmanTable_32s* table_of_list(int i) { return *cavlc_code_tables().slot_of_list(i); }

TEST_F(CavlcPrimitives, EveryCodewordOfEveryTableDecodesToItsEntry) {
  std::mt19937_64 rng(7);
  int checked = 0;
  for (int i = 0; i < 30; ++i) {
    const CavlcCodeList& list = kCavlcCodeLists[i];
    const HuffmanTable_32s* table = table_of_list(i);
    ASSERT_NE(table, nullptr) << list.name;
    double kraft = 0;
    for (const cavlctest::ListCode& c : cavlctest::codes_of(list)) {
      kraft += 1.0 / double(uint64_t{1} << c.length);
      for (int trial = 0; trial < 4; ++trial) {
        const uint64_t tail = rng() >> c.length;
        const uint64_t bits = (uint64_t{c.code} << (64 - c.length)) | tail;
        const auto [value, used] = walk(table, bits);
        EXPECT_EQ(used, c.length) << list.name << " code " << c.code;
        const int32_t expect = list.entryWords == 3 ? ((c.b << 8) | c.a) : c.a;
        EXPECT_EQ(value, expect) << list.name << " code " << c.code;
        ++checked;
      }
    }
    EXPECT_LE(kraft, 1.0) << list.name;
    EXPECT_GT(kraft, 0.99) << list.name;  // every list is (all but) a complete prefix code
  }
  EXPECT_GT(checked, 4 * 300);
  for (int k = 8; k < 16; ++k) EXPECT_EQ(tables.RunBeforeTable[k], tables.RunBeforeTable[7]);
}

TEST_F(CavlcPrimitives, CodeListsMatchTheirDeclaredShapes) {
  // Longest code and level split as the list header states.
  for (const CavlcCodeList& list : kCavlcCodeLists) {
    int longest = 0;
    for (const auto& c : cavlctest::codes_of(list)) longest = std::max(longest, c.length);
    EXPECT_EQ(longest, list.words[0]) << list.name;
    int sum = 0;
    for (int k = 0; k < list.words[1]; ++k) sum += list.words[2 + k];
    EXPECT_EQ(sum, list.words[0]) << list.name;
  }
}

TEST(CavlcBuilder, LayoutOfASmallTable) {
  // Codes 1 -> 5, 01 -> 6, 001 -> 7, 0001 -> 8 over two levels of 2 bits.
  const int32_t list[] = {4, 2, 2, 2, 1, 1, 5, 1, 1, 6, 1, 1, 7, 1, 1, 8, -1};
  HuffmanTable_32s* t = nullptr;
  ASSERT_EQ(vpiHuffmanTableInitAlloc_32s(list, &t), StatusOk);
  const int32_t* w = reinterpret_cast<const int32_t*>(t);
  const int32_t expect[10] = {2,          (5 << 8) | 0x80, 6 << 8,     (5 << 8) | 1, (5 << 8) | 1,
                              2,          0x00F0F101,      8 << 8,     (7 << 8) | 1, (7 << 8) | 1};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(w[i], expect[i]) << i;
  EXPECT_EQ(vpiHuffmanTableFree_32s(t), StatusOk);

  // Run-level entries: (level << 16) | (run << 8) | giveBack.
  const int32_t rl[] = {2, 1, 2, 1, 1, 3, 9, 1, 0, 2, 4, -1};
  ASSERT_EQ(vpiHuffmanRunLevelTableInitAlloc_32s(rl, &t), StatusOk);
  w = reinterpret_cast<const int32_t*>(t);
  EXPECT_EQ(w[3], (9 << 16) | (3 << 8) | 1);
  EXPECT_EQ(w[4], (9 << 16) | (3 << 8) | 1);
  EXPECT_EQ(w[1], (4 << 16) | (2 << 8));
  EXPECT_EQ(w[2], 0x00F0F101);
  vpiHuffmanTableFree_32s(t);
}

TEST(CavlcBuilder, RefusesNullAndMalformedLists) {
  HuffmanTable_32s* t = reinterpret_cast<HuffmanTable_32s*>(&t);
  HuffmanTable_32s* const untouched = t;
  const int32_t ok[] = {1, 1, 1, 2, 0, 0, 1, 1, -1};
  EXPECT_EQ(vpiHuffmanTableInitAlloc_32s(nullptr, &t), StatusNullPointer);
  EXPECT_EQ(vpiHuffmanTableInitAlloc_32s(ok, nullptr), StatusNullPointer);
  EXPECT_EQ(vpiHuffmanTableFree_32s(nullptr), StatusNullPointer);
  const int32_t prefixClash[] = {2, 1, 2, 1, 1, 0, 1, 3, 2, -1};  // "1" and "11"
  const int32_t tooLong[] = {3, 1, 2, 0, 0, 1, 1, 0, -1};           // a 3-bit code over 2 index bits
  const int32_t noLevels[] = {1, 0, 1, 1, 0, -1};
  const int32_t hugeLevel[] = {1, 1, 24, 1, 1, 0, -1};
  EXPECT_EQ(vpiHuffmanTableInitAlloc_32s(prefixClash, &t), StatusOutOfRange);
  EXPECT_EQ(vpiHuffmanTableInitAlloc_32s(tooLong, &t), StatusOutOfRange);
  EXPECT_EQ(vpiHuffmanTableInitAlloc_32s(noLevels, &t), StatusOutOfRange);
  EXPECT_EQ(vpiHuffmanTableInitAlloc_32s(hugeLevel, &t), StatusOutOfRange);
  EXPECT_EQ(t, untouched);
  ASSERT_EQ(vpiHuffmanTableInitAlloc_32s(ok, &t), StatusOk);
  vpiHuffmanTableFree_32s(t);
}

// Decodes one block from the writer's bits; returns the status.
VpStatus decode(const BitWriter& w, int nC, int maxNum, int16_t* out, int16_t* count, int* bitsUsed,
                const int32_t* scan = kIdentity) {
  std::vector<uint32_t> words = w.words(8, 0xFFFFFFFFu);
  uint32_t* wp = words.data();
  int32_t offset = 31;
  int16_t* pos = out;
  const VpStatus s = vpiDecodeCAVLCCoeffs_H264_1u16s(&wp, &offset, count, &pos, static_cast<uint32_t>(nC),
                                                     static_cast<int16_t>(maxNum), tables.CoeffTokenTable,
                                                     tables.TotalZerosTable, tables.RunBeforeTable, scan);
  *bitsUsed = static_cast<int>((wp - words.data()) * 32 + 31 - offset);
  return s;
}

TEST_F(CavlcPrimitives, FixedLengthTokenAndArgumentChecks) {
  BitWriter w;
  w.put(3, 6);  // 000011: no coefficients
  int16_t out[16] = {7};
  int16_t count = -1;
  int used = 0;
  EXPECT_EQ(decode(w, 8, 16, out, &count, &used), StatusOk);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(used, 6);
  EXPECT_EQ(out[0], 7);  // untouched

  EXPECT_EQ(decode(w, -1, 16, out, &count, &used), StatusOutOfRange);
  EXPECT_EQ(decode(w, 0, 14, out, &count, &used), StatusOutOfRange);
  std::vector<uint32_t> words = w.words();
  uint32_t* wp = words.data();
  int32_t offset = 31;
  int16_t* pos = nullptr;
  EXPECT_EQ(vpiDecodeCAVLCCoeffs_H264_1u16s(&wp, &offset, &count, &pos, 0, 14, tables.CoeffTokenTable,
                                            tables.TotalZerosTable, tables.RunBeforeTable, kIdentity),
            StatusNullPointer);
}

TEST_F(CavlcPrimitives, BlockEdgeCases) {
  int16_t out[16];
  int16_t count;
  int used;
  // TotalCoeff 16: no total_zeros, every position filled in order.
  {
    int coef[16];
    for (int i = 0; i < 16; ++i) coef[i] = (i & 1) ? -(1 + i % 4) : 1 + i % 5;
    BitWriter w;
    cavlctest::put_block(w, coef, 16, 0);
    ASSERT_EQ(decode(w, 0, 16, out, &count, &used), StatusOk);
    EXPECT_EQ(count, 16);
    EXPECT_EQ(used, static_cast<int>(w.size()));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], coef[i]);
  }
  // maxNumCoeff 15, one coefficient, total_zeros 0: lands at scan position 1.
  {
    int coef[15] = {-3};
    BitWriter w;
    cavlctest::put_block(w, coef, 15, 2);
    ASSERT_EQ(decode(w, 2, 15, out, &count, &used), StatusOk);
    EXPECT_EQ(out[1], -3);
    EXPECT_EQ(out[0], 0);
  }
  // Three trailing ones with signs 1, 0, 1.
  {
    BitWriter w;
    cavlctest::put_token(w, "coeff_token_map_02", 3, 3);
    w.put(0b101, 3);
    cavlctest::put_value(w, "total_zeros_map_3", 0);
    ASSERT_EQ(decode(w, 0, 16, out, &count, &used), StatusOk);
    EXPECT_EQ(out[2], -1);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[0], -1);
    EXPECT_EQ(used, static_cast<int>(w.size()));
  }
  // Escapes: prefix 14 with a 4-bit suffix, 15 with 12 bits, 16 with 13 bits.
  for (int level : {9, 15, 16, 29, 30, 2000, 4125, 4126, 9000, -9000, 32767}) {
    int coef[16] = {level};
    BitWriter w;
    cavlctest::put_block(w, coef, 16, 0);
    ASSERT_EQ(decode(w, 0, 16, out, &count, &used), StatusOk) << level;
    EXPECT_EQ(out[0], level);
    EXPECT_EQ(used, static_cast<int>(w.size())) << level;
  }
  // A bad run_before in the middle: the cursor is restored.
  {
    BitWriter w;
    cavlctest::put_token(w, "coeff_token_map_02", 0, 3);
    w.put(1, 1);  // level 2 (first, bump)
    w.put(1, 1);
    w.put(1, 1);
    cavlctest::put_value(w, "total_zeros_map_3", 13);
    w.put(0, 11);  // run_before of zerosLeft 13: eleven zeros match no code
    std::vector<uint32_t> words = w.words(8, 0);
    uint32_t* wp = words.data();
    int32_t offset = 31;
    int16_t* pos = out;
    EXPECT_EQ(vpiDecodeCAVLCCoeffs_H264_1u16s(&wp, &offset, &count, &pos, 0, 16, tables.CoeffTokenTable,
                                              tables.TotalZerosTable, tables.RunBeforeTable, kIdentity),
              StatusVlcBadCode);
    EXPECT_EQ(wp, words.data());
    EXPECT_EQ(offset, 31);
    EXPECT_EQ(pos, out);
  }
  // More coefficients than a 15-coefficient block holds: refused.
  {
    BitWriter w;
    cavlctest::put_token(w, "coeff_token_map_02", 0, 16);
    for (int i = 0; i < 16; ++i) w.put(1, 3);
    EXPECT_EQ(decode(w, 0, 15, out, &count, &used), StatusVlcBadCode);
  }
  // total_zeros beyond the block: refused.
  {
    BitWriter w;
    cavlctest::put_token(w, "coeff_token_map_02", 1, 1);
    w.put(0, 1);
    cavlctest::put_value(w, "total_zeros_map_1", 15);
    EXPECT_EQ(decode(w, 0, 15, out, &count, &used), StatusVlcBadCode);
  }
  // A level_prefix of 32 zeros: refused.
  {
    BitWriter w;
    cavlctest::put_token(w, "coeff_token_map_02", 0, 1);
    w.put(0, 32);
    EXPECT_EQ(decode(w, 0, 16, out, &count, &used), StatusVlcBadCode);
  }
  // nC >= 8 code with more trailing ones than coefficients: refused.
  {
    BitWriter w;
    w.put(2, 6);
    EXPECT_EQ(decode(w, 9, 16, out, &count, &used), StatusVlcBadCode);
  }
}

TEST_F(CavlcPrimitives, ChromaDcFastPathsAndTables) {
  auto run = [](const BitWriter& w, int16_t* out, int16_t* count, const HuffmanTable_32s* token,
                const HuffmanTable_32s* const* tz, const HuffmanTable_32s* const* rb) {
    std::vector<uint32_t> words = w.words(8, 0);
    uint32_t* wp = words.data();
    int32_t offset = 31;
    int16_t* pos = out;
    const VpStatus s = vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s(&wp, &offset, count, &pos, token, tz, rb);
    return std::make_pair(s, static_cast<int>((wp - words.data()) * 32 + 31 - offset));
  };
  int16_t out[4];
  int16_t count;
  BitWriter a;
  a.put(0b10001, 5);
  auto r = run(a, out, &count, nullptr, nullptr, nullptr);
  EXPECT_EQ(r.first, StatusOk);
  EXPECT_EQ(r.second, 5);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(out[2], 1);
  EXPECT_EQ(out[0] | out[1] | out[3], 0);
  BitWriter b;
  b.put(0b01, 2);
  r = run(b, out, &count, nullptr, nullptr, nullptr);
  EXPECT_EQ(r.first, StatusOk);
  EXPECT_EQ(r.second, 2);
  EXPECT_EQ(count, 0);
  BitWriter c;
  cavlctest::put_token(c, "coeff_token_map_cr", 2, 2);
  r = run(c, out, &count, nullptr, nullptr, nullptr);
  EXPECT_EQ(r.first, StatusNullPointer);

  std::mt19937 rng(3);
  for (int trial = 0; trial < 2000; ++trial) {
    int coef[4];
    for (int& v : coef) v = (rng() % 3 == 0) ? 0 : static_cast<int>(rng() % 41) - 20;
    if (trial % 7 == 0) coef[rng() % 4] = static_cast<int>(rng() % 20000) - 10000;
    BitWriter w;
    cavlctest::put_block(w, coef, 4, -1);
    std::fill(out, out + 4, 0);
    r = run(w, out, &count, tables.CoeffTokenTable[3], tables.TotalZerosCRTable, tables.RunBeforeTable);
    ASSERT_EQ(r.first, StatusOk);
    ASSERT_EQ(r.second, static_cast<int>(w.size()));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(out[i], coef[i]) << trial;
  }
}

// Random blocks in every nC range and both sizes through every variant.
TEST_F(CavlcPrimitives, RandomBlocksRoundTripInEveryVariant) {
  std::mt19937 rng(11);
  const decltype(&sse2_vpiDecodeCAVLCCoeffs_H264_1u16s) members[3] = {
      sse2_vpiDecodeCAVLCCoeffs_H264_1u16s, ssse3_vpiDecodeCAVLCCoeffs_H264_1u16s,
      sse41_vpiDecodeCAVLCCoeffs_H264_1u16s};
  const int nCs[] = {0, 1, 2, 3, 4, 7, 8, 16};
  for (int trial = 0; trial < 6000; ++trial) {
    const int maxNum = trial % 3 == 0 ? 15 : 16;
    const int nC = nCs[trial % 8];
    const int density = 1 + static_cast<int>(rng() % 16);
    int coef[16] = {};
    for (int i = 0; i < maxNum; ++i) {
      if (static_cast<int>(rng() % 16) >= density) continue;
      const int kind = static_cast<int>(rng() % 10);
      int v = kind < 5 ? 1 : kind < 8 ? static_cast<int>(rng() % 8) + 1 : static_cast<int>(rng() % 3000) + 1;
      if (trial % 97 == 0) v = static_cast<int>(rng() % 30000) + 1;
      coef[i] = (rng() & 1) ? -v : v;
    }
    BitWriter w;
    cavlctest::put_block(w, coef, maxNum, nC);
    // Start at a random bit offset inside the first word.
    const int lead = static_cast<int>(rng() % 32);
    BitWriter full;
    full.put(0, lead);
    cavlctest::put_block(full, coef, maxNum, nC);
    std::vector<uint32_t> words = full.words(8, static_cast<uint32_t>(rng()));
    for (int m = 0; m < 3; ++m) {
      uint32_t* wp = words.data();
      int32_t offset = 31 - lead;
      int16_t buf[32];
      std::fill(buf, buf + 32, int16_t{0x5555});
      int16_t* pos = buf + 8;
      int16_t count = -1;
      ASSERT_EQ(members[m](&wp, &offset, &count, &pos, static_cast<uint32_t>(nC), static_cast<int16_t>(maxNum),
                           tables.CoeffTokenTable, tables.TotalZerosTable, tables.RunBeforeTable, kIdentity),
                StatusOk)
          << trial;
      const int used = static_cast<int>((wp - words.data()) * 32 + 31 - offset);
      ASSERT_EQ(used, static_cast<int>(full.size())) << trial;
      int total = 0;
      for (int i = 0; i < maxNum; ++i) total += coef[i] != 0;
      ASSERT_EQ(count, total);
      for (int i = 0; i < 8; ++i) ASSERT_EQ(buf[i], 0x5555);  // guard before
      if (total == 0) {
        ASSERT_EQ(pos, buf + 8);
        continue;
      }
      ASSERT_EQ(pos, buf + 24);
      for (int i = 24; i < 32; ++i) ASSERT_EQ(buf[i], 0x5555);  // guard after
      const int skipped = 16 - maxNum;
      for (int i = 0; i < skipped; ++i) ASSERT_EQ(buf[8 + i], 0);
      for (int i = 0; i < maxNum; ++i) ASSERT_EQ(buf[8 + skipped + i], coef[i]) << trial << " " << i;
    }
  }
}

// The Exp-Golomb readers of every variant: every code length up to well past
// the longest each decodes, from every bit offset, each code in a buffer
// that ends with the word holding its last bit (AddressSanitizer catches a
// read beyond it).
TEST(CavlcExpGolomb, EveryLengthFromEveryOffsetEndingAtTheBuffersLastByte) {
  const auto readers16 = CHECKASM_MEMBERS(decode_exp_golomb_one_16s_mmp);
  const auto readers32 = CHECKASM_MEMBERS(decode_exp_golomb_one_32s_mmp);
  std::mt19937_64 rng(5);
  for (int zeros = 0; zeros <= 70; ++zeros) {
    for (int lead = 0; lead < 32; ++lead) {
      for (int isSigned = 0; isSigned < 2; ++isSigned) {
        // The value bits after the leading 1: lowest, highest, random.
        const uint64_t valueBits = zeros == 0 ? 0 : (lead % 3 == 0 ? 0 : lead % 3 == 1 ? ~0ull : rng());
        BitWriter w;
        w.put(0, lead);
        for (int i = 0; i < zeros; ++i) w.put(0, 1);
        w.put(1, 1);
        for (int i = zeros - 1; i >= 0; --i) w.put(i < 64 ? static_cast<uint32_t>((valueBits >> i) & 1) : 0, 1);
        const int length = zeros <= 31 ? 2 * zeros + 1 : 32;  // a longer run: the 32 zeros counted
        std::vector<uint32_t> words = w.words(0);
        words.shrink_to_fit();
        // codeNum as each reader gives it: 0 beyond its longest code.
        const uint64_t codeNum = (uint64_t{1} << std::min(zeros, 63)) - 1 + (valueBits & ((uint64_t{1} << std::min(zeros, 63)) - 1));
        auto expect = [&](int maxZeros) -> int64_t {
          if (zeros > maxZeros) return 0;
          const uint32_t c = static_cast<uint32_t>(codeNum);
          if (!isSigned) return c;
          return (c & 1) ? int64_t{(c + 1) >> 1} : -int64_t{c >> 1};
        };
        const std::string what = "zeros " + std::to_string(zeros) + " lead " + std::to_string(lead);
        auto checkCursor = [&](uint32_t* wp, int32_t offset) {
          ASSERT_EQ((wp - words.data()) * 32 + 31 - offset, lead + length) << what;
        };
        for (const auto& m : readers16) {
          uint32_t* wp = words.data();
          int32_t offset = 31 - lead;
          int16_t v = 0x5555;
          ASSERT_EQ(StatusOk, m.fn(&wp, &offset, &v, isSigned)) << m.name << " " << what;
          ASSERT_EQ(static_cast<int16_t>(static_cast<uint16_t>(expect(16))), v) << m.name << " 16s " << what;
          checkCursor(wp, offset);
        }
        for (const auto& m : readers32) {
          uint32_t* wp = words.data();
          int32_t offset = 31 - lead;
          int32_t v = 0x5555;
          ASSERT_EQ(StatusOk, m.fn(&wp, &offset, &v, isSigned)) << m.name << " " << what;
          ASSERT_EQ(static_cast<int32_t>(static_cast<uint32_t>(expect(31))), v) << m.name << " 32s " << what;
          checkCursor(wp, offset);
        }
      }
    }
  }
}

// Zero words to the end of the buffer (damage, or a zero tail): the readers
// count no further than the longest code reaches, and run on past it.
TEST(CavlcExpGolomb, ZeroTailIsNotReadPastTheLongestCode) {
  const auto readers16 = CHECKASM_MEMBERS(decode_exp_golomb_one_16s_mmp);
  const auto readers32 = CHECKASM_MEMBERS(decode_exp_golomb_one_32s_mmp);
  for (int lead = 0; lead < 32; ++lead) {
    // Exactly the words that hold the cursor's next 32 bits.
    std::vector<uint32_t> words((lead + 32 + 31) / 32, 0u);
    words.shrink_to_fit();
    // Every member of one reader, its value type taken from `unused`.
    auto check = [&](const auto& readers, auto unused, int32_t isSigned) {
      for (const auto& m : readers) {
        uint32_t* wp = words.data();
        int32_t offset = 31 - lead;
        decltype(unused) v = 0x5555;
        ASSERT_EQ(StatusOk, m.fn(&wp, &offset, &v, isSigned)) << m.name;
        EXPECT_EQ(0, v) << m.name;
        EXPECT_EQ((wp - words.data()) * 32 + 31 - offset, lead + 32) << m.name << " lead " << lead;
      }
    };
    check(readers16, int16_t{0}, 1);
    check(readers32, int32_t{0}, 0);
  }
}

TEST(CavlcExpGolomb, ShortCodesAndStatuses) {
  // Bits 1: 0; 010: 1 or +1; 011: 2 or -1.
  const struct { uint32_t bits; int length, ue, se; } codes[] = {{1, 1, 0, 0}, {2, 3, 1, 1}, {3, 3, 2, -1}};
  for (const auto& m : CHECKASM_MEMBERS(decode_exp_golomb_one_32s_mmp)) {
    for (const auto& c : codes) {
      for (int isSigned = 0; isSigned < 2; ++isSigned) {
        uint32_t word = c.bits << (32 - c.length);
        uint32_t* wp = &word;
        int32_t offset = 31, v = 99;
        ASSERT_EQ(StatusOk, m.fn(&wp, &offset, &v, isSigned));
        EXPECT_EQ(isSigned ? c.se : c.ue, v) << m.name;
        EXPECT_EQ(31 - c.length, offset);
      }
    }
    uint32_t word = 0x80000000u;
    uint32_t* wp = &word;
    int32_t offset = 32, v = 0;
    EXPECT_EQ(StatusOutOfRange, m.fn(&wp, &offset, &v, 0));
    offset = 31;
    EXPECT_EQ(StatusNullPointer, m.fn(&wp, &offset, nullptr, 0));
    EXPECT_EQ(StatusNullPointer, m.fn(nullptr, &offset, &v, 0));
  }
}

// The named 4x4 decoder of each variant gives what its front end gives.
TEST_F(CavlcPrimitives, NamedDecoderRunsBehindEachFrontEnd) {
  const decltype(&sse2_decode_coeffs_cavlc_h264_mmp) decoders[3] = {
      sse2_decode_coeffs_cavlc_h264_mmp, ssse3_decode_coeffs_cavlc_h264_mmp, sse41_decode_coeffs_cavlc_h264_mmp};
  std::mt19937 rng(13);
  for (int trial = 0; trial < 500; ++trial) {
    int coef[16] = {};
    for (int i = 0; i < 16; ++i) coef[i] = rng() % 3 ? 0 : static_cast<int>(rng() % 200) - 100;
    BitWriter w;
    cavlctest::put_block(w, coef, 16, trial % 9);
    std::vector<uint32_t> words = w.words(2, 0);
    for (int m = 0; m < 3; ++m) {
      if (!checkasm::processorHas(static_cast<uint32_t>(m + 1))) continue;
      uint32_t* wp = words.data();
      int32_t offset = 31;
      int16_t out[16], count = -1;
      int16_t* pos = out;
      const CavlcCoeffsArgs args{&wp, &offset, &count, &pos, static_cast<uint32_t>(trial % 9), 16,
                                 tables.CoeffTokenTable, tables.TotalZerosTable, tables.RunBeforeTable, kIdentity};
      ASSERT_EQ(StatusOk, decoders[m](&args));
      ASSERT_EQ(static_cast<int>((wp - words.data()) * 32 + 31 - offset), static_cast<int>(w.size()));
      if (count == 0) continue;
      for (int i = 0; i < 16; ++i) ASSERT_EQ(coef[i], out[i]) << trial;
    }
  }
}

// The one block decoder under both sets of code tables: the slice decoder's
// single-lookup tables and the multi-level tables built for the primitives.
// On random bits (most of them no valid block, many with long runs of zeros)
// both accept or refuse alike, and an accepted block has the same count,
// coefficients and length.
TEST_F(CavlcPrimitives, SingleLookupAndBuiltTablesAgreeOnAnyBits) {
  std::mt19937_64 rng(29);
  const int nCs[] = {0, 2, 4, 8, -1};
  int accepted = 0, refused = 0;
  for (int trial = 0; trial < 100000; ++trial) {
    std::vector<uint32_t> words(40);
    const int sparse = trial % 4;  // 0: even bits; 1..3: ever fewer ones
    for (uint32_t& w : words) {
      uint64_t v = rng();
      for (int k = 0; k < sparse; ++k) v &= rng();
      w = static_cast<uint32_t>(v);
    }
    const int nC = nCs[trial % 5];
    const int maxNum = nC < 0 ? 4 : trial % 3 == 0 ? 15 : 16;
    const int lead = static_cast<int>(rng() % 32);

    uint32_t* wp = words.data();
    int32_t offset = 31 - lead;
    int16_t packed[16] = {}, count = -1;
    int16_t* pos = packed;
    const VpStatus status =
        nC < 0 ? vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s(&wp, &offset, &count, &pos, tables.CoeffTokenTable[3],
                                                         tables.TotalZerosCRTable, tables.RunBeforeTable)
               : vpiDecodeCAVLCCoeffs_H264_1u16s(&wp, &offset, &count, &pos, static_cast<uint32_t>(nC),
                                                 static_cast<int16_t>(maxNum), tables.CoeffTokenTable,
                                                 tables.TotalZerosTable, tables.RunBeforeTable, kIdentity);

    cavlc::Window w(cavlc::BitCursor{reinterpret_cast<const uint8_t*>(words.data()), static_cast<uint32_t>(lead),
                                     UINT32_MAX});
    int16_t flat[16] = {};
    const int first = nC < 0 ? 0 : 16 - maxNum;
    const auto sink = cavlc::place_only([&](ptrdiff_t p, int16_t level) { flat[first + p] = level; });
    const int cls = nC < 2 ? 0 : nC < 4 ? 1 : nC < 8 ? 2 : cavlc::kFixedToken;
    const int totalCoeff = nC < 0 ? cavlc::vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s(w, cavlc::FlatTables{}, sink)
                                  : cavlc::vpiDecodeCAVLCCoeffs_H264_1u16s(w, cls, maxNum, cavlc::FlatTables{}, sink);

    ASSERT_EQ(status == StatusOk, totalCoeff >= 0) << trial << " status " << status;
    if (totalCoeff < 0) {
      ASSERT_EQ(status, totalCoeff) << trial;
      ++refused;
      continue;
    }
    ++accepted;
    ASSERT_EQ(count, totalCoeff) << trial;
    ASSERT_EQ(static_cast<uint32_t>((wp - words.data()) * 32 + 31 - offset), w.pos()) << trial;
    for (int i = 0; i < 16; ++i) ASSERT_EQ(packed[i], flat[i]) << trial << " " << i;
  }
  EXPECT_GT(accepted, 10000);
  EXPECT_GT(refused, 10000);
}

// A chroma DC level_prefix longer than any stream holds is refused with the
// cursor kept.
TEST_F(CavlcPrimitives, ChromaDcLevelPrefixBeyondTheLimit) {
  BitWriter w;
  cavlctest::put_token(w, "coeff_token_map_cr", 0, 1);
  w.put(0, 27);
  w.put(1, 1);
  std::vector<uint32_t> words = w.words(4, 0);
  uint32_t* wp = words.data();
  int32_t offset = 31;
  int16_t out[4], count;
  int16_t* pos = out;
  EXPECT_EQ(StatusVlcBadCode, vpiDecodeCAVLCChromaDcCoeffs_H264_1u16s(&wp, &offset, &count, &pos,
                                                                      tables.CoeffTokenTable[3],
                                                                      tables.TotalZerosCRTable, tables.RunBeforeTable));
  EXPECT_EQ(wp, words.data());
  EXPECT_EQ(offset, 31);
}

}  // namespace
