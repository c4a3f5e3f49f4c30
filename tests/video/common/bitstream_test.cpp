// Bit reader and Annex B parser: edge cases of the word layout, Exp-Golomb
// codes, trailing bits, start codes split across calls and emulation
// prevention.
#include <gtest/gtest.h>

#include "h264_test_util.h"

using h264test::BitWriter;
using h264test::RbspReader;

namespace {

std::vector<uint8_t> bytes_of(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(BitReader, FixedLengthFieldsAcrossWords) {
  RbspReader a(bytes_of({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}));
  EXPECT_EQ(ReadNBits(&a.r, 32), 0x12345678u);
  EXPECT_EQ(a.r.bitPos, 31);
  EXPECT_EQ(ReadNBits(&a.r, 4), 0x9u);

  RbspReader b(bytes_of({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}));
  ReadNBits(&b.r, 24);
  EXPECT_EQ(b.r.bitPos, 7);
  EXPECT_EQ(ReadNBits(&b.r, 16), 0x789Au);  // 8 bits from each word
  EXPECT_EQ(b.r.bitPos, 23);
  EXPECT_EQ(ReadNBits(&b.r, 32), 0xBCDEF000u);  // runs into the guard word
  EXPECT_EQ(b.r.overrun, 0u);

  RbspReader c(bytes_of({0xFF, 0x00, 0xAA, 0x55, 0xC3}));
  ReadNBits(&c.r, 5);
  EXPECT_EQ(ReadNBits(&c.r, 32), (0xFF00AA55u << 5) | (0xC3u >> 3));
  EXPECT_EQ(i_n(&c.r, 3), 3);
}

TEST(BitReader, OverrunIsStickyAndYieldsFiller) {
  RbspReader a(bytes_of({1, 2, 3, 4, 5}));
  ReadNBits(&a.r, 32);
  EXPECT_EQ(a.r.bytesLeft, 1u);  // second word read with one byte left
  EXPECT_EQ(a.r.overrun, 0u);
  EXPECT_EQ(ReadNBits(&a.r, 32), 0x05000000u);
  EXPECT_EQ(a.r.overrun, 1u);
  EXPECT_EQ(ReadNBits(&a.r, 32), kBitReaderFiller);
  EXPECT_EQ(ue_v(&a.r), 0xFFFFu + 0xFFFEu);  // 16 zeros, a 1, 15 ones and a 0
  EXPECT_EQ(a.r.overrun, 1u);
}

TEST(BitReader, ExpGolombCodes) {
  BitWriter w;
  w.bits(0b1, 1);      // ue 0
  w.bits(0b010, 3);    // ue 1
  w.bits(0b011, 3);    // ue 2
  w.bits(0b00111, 5);  // ue 6
  w.bits(0b010, 3);    // se 1
  w.bits(0b011, 3);    // se -1
  w.bits(0b00100, 5);  // se 2
  w.ue(0xFFFFFFFEull); // 31 leading zeros, crossing words
  w.se(-0x7FFFFFFF);
  w.bits(0b1111, 4);
  w.bits(0b0, 1);
  w.bits(0b1, 1);
  w.trailing();
  RbspReader r(w.bytes());
  EXPECT_EQ(ue_v(&r.r), 0u);
  EXPECT_EQ(ue_v(&r.r), 1u);
  EXPECT_EQ(ue_v(&r.r), 2u);
  EXPECT_EQ(ue_v(&r.r), 6u);
  EXPECT_EQ(se_v(&r.r), 1);
  EXPECT_EQ(se_v(&r.r), -1);
  EXPECT_EQ(se_v(&r.r), 2);
  EXPECT_EQ(ue_v(&r.r), 0xFFFFFFFEu);
  EXPECT_EQ(se_v(&r.r), -0x7FFFFFFF);
  EXPECT_EQ(i_n(&r.r, 4), -1);
  EXPECT_EQ(te_v(&r.r, 1), 1u);
  EXPECT_EQ(te_v(&r.r, 1), 0u);
  EXPECT_EQ(more_rbsp_data(&r.r), 0u);
  EXPECT_EQ(r.r.overrun, 0u);
}

TEST(BitReader, CorruptCodeWordTerminates) {
  std::vector<uint8_t> zeros(64, 0);
  RbspReader r(zeros);
  EXPECT_EQ(ue_v(&r.r), 0xFFFFFFFFu);
  EXPECT_EQ(r.r.overrun, 1u);
}

TEST(BitReader, MoreRbspData) {
  // Last byte 0x80: the stop bit; the reader ends at the payload's end.
  RbspReader a(bytes_of({0xAB, 0xCD, 0x80}));
  ReadNBits(&a.r, 16);
  EXPECT_EQ(more_rbsp_data(&a.r), 0u);
  EXPECT_EQ(a.r.bytesLeft, 3u);
  EXPECT_EQ((31 - a.r.bitPos) >> 3, 3);
  EXPECT_EQ(a.r.overrun, 0u);

  // 0x40 0x00: a 0 bit first means data.
  RbspReader b(bytes_of({0x40, 0x00}));
  EXPECT_EQ(more_rbsp_data(&b.r), 1u);
  EXPECT_EQ(b.r.bitPos, 31);
  // A later 1 bit in the same byte, or a non-zero later byte, is data too.
  RbspReader c(bytes_of({0xC0}));
  EXPECT_EQ(more_rbsp_data(&c.r), 1u);
  RbspReader d(bytes_of({0x80, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(more_rbsp_data(&d.r), 1u);
  // Trailing zero bytes (cabac_zero_words) after the stop bit, ending on a
  // word boundary: no data and no overrun.
  RbspReader e(bytes_of({0x55, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  ReadNBits(&e.r, 8);
  EXPECT_EQ(more_rbsp_data(&e.r), 0u);
  EXPECT_EQ(e.r.overrun, 0u);

  // A 1 as the last bit of a word, then what follows: (bytes, bits read
  // first, payload length, expected).
  struct Case {
    std::vector<uint8_t> bytes;
    int skip;
    uint32_t length;
    uint32_t expected;
  };
  const Case cases[] = {
      {{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02}, 31, 8, 1},  // a 1 in the next word
      {{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 31, 8, 0},  // zeros to the end
      {{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x40}, 31, 9, 1},
      // Bytes past the payload's end inside its last word are not data.
      {{0x80, 0xFF, 0xFF, 0xFF}, 0, 1, 0},
      {{0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF}, 31, 5, 0},
  };
  for (const Case& c : cases) {
    RbspReader f(c.bytes);
    bs_init(&f.r, f.buffer.nal.payload, c.length);
    if (c.skip > 0) ReadNBits(&f.r, c.skip);
    EXPECT_EQ(more_rbsp_data(&f.r), c.expected) << c.bytes.size() << " " << c.length;
    EXPECT_EQ(f.r.overrun, 0u);
  }
}

std::vector<uint8_t> run_parser(DecoderState& ds, h264test::PayloadBuffer& buf, const std::vector<uint8_t>& in,
                                int32_t* result) {
  ds.parseReadPtr = in.data();
  ds.parseBytesLeft = static_cast<int32_t>(in.size());
  *result = ByteStreamParser_AnnexB(&ds, &buf.nal);
  return h264test::rbsp_bytes(buf.nal.payload, buf.nal.length);
}

DecoderState cleared_state() {
  DecoderState ds;
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  return ds;
}

TEST(AnnexB, EmulationPreventionAndStartCodes) {
  h264test::PayloadBuffer buf(64);
  DecoderState ds = cleared_state();
  int32_t result = -1;
  // 00 00 03 yields 00 00; a 03 after one zero stays; 00 00 00 01 ends the
  // unit without its zeros.
  const auto in = bytes_of({0x00, 0x00, 0x01, 0x67, 0x11, 0x00, 0x00, 0x03, 0x01, 0x00, 0x03, 0x22, 0x00, 0x00,
                            0x00, 0x01, 0x68, 0xEE});
  EXPECT_EQ(run_parser(ds, buf, in, &result), bytes_of({0x11, 0x00, 0x00, 0x01, 0x00, 0x03, 0x22}));
  EXPECT_EQ(result, kAnnexBUnitReady);
  EXPECT_EQ(buf.nal.nal_unit_type, 7u);
  EXPECT_EQ(buf.nal.nal_ref_idc, 3u);
  // The next call starts at the next unit's start code.
  EXPECT_EQ(ds.parseBytesLeft, 3);
  ds.parseReadPtr = in.data() + in.size() - 3;
  EXPECT_EQ(ByteStreamParser_AnnexB(&ds, &buf.nal), kAnnexBPending);  // copying the PPS
  EXPECT_EQ(buf.nal.nal_unit_type, 8u);
  EXPECT_EQ(buf.nal.length, 1u);
  EXPECT_EQ(ds.copying, 1u);
}

TEST(AnnexB, StartCodeAtEndOfInput) {
  h264test::PayloadBuffer buf(64);
  DecoderState ds = cleared_state();
  int32_t result = -1;
  run_parser(ds, buf, bytes_of({0xAA, 0x00, 0x00, 0x01}), &result);
  EXPECT_EQ(result, kAnnexBPending);
  EXPECT_EQ(ds.zeroRun, 0xFF);
  // The first byte of the next input is the header.
  ds.wholeNalUnits = 1;
  const auto rbsp = run_parser(ds, buf, bytes_of({0x06, 0x05, 0x00, 0x00}), &result);
  EXPECT_EQ(result, kAnnexBUnitReady);
  EXPECT_EQ(buf.nal.nal_unit_type, 6u);
  EXPECT_EQ(rbsp, bytes_of({0x05, 0x00, 0x00}));  // zeros at the end of whole units are kept
  EXPECT_EQ(ByteStreamParser_AnnexB(&ds, &buf.nal), kAnnexBNeedInput);
}

TEST(AnnexB, UnitsWithoutPayloadAct) {
  h264test::PayloadBuffer buf(64);
  DecoderState ds = cleared_state();
  DecodedPicture pic;
  std::memset(static_cast<void*>(&pic), 0, sizeof(pic));
  pic.accessUnitIndex = 41;
  ds.currentPicture = &pic;
  int opened = 0;
  static int* counter;
  counter = &opened;
  ds.openAccessUnit = [](DecoderState*) -> int32_t {
    ++*counter;
    return 0;
  };
  ds.prevNalType = 1;
  int32_t result = -1;
  run_parser(ds, buf, bytes_of({0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x0A, 0, 0, 1, 0x0B, 0, 0, 1, 0x0C, 0xFF}), &result);
  EXPECT_EQ(result, kAnnexBNeedInput);
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(ds.prevNalType, 9u);
  EXPECT_EQ(ds.sequenceBase, 42u);
  // An end-of-stream unit does not end the input: another stream may follow.
  EXPECT_EQ(ds.endOfStream, 0u);
  EXPECT_EQ(buf.nal.nal_unit_type, 12u);
  // A slice header marks the current picture.
  run_parser(ds, buf, bytes_of({0, 0, 1, 0x41, 0x9A, 0, 0, 1}), &result);
  EXPECT_EQ(result, kAnnexBUnitReady);
  EXPECT_EQ(pic.lastNalType, 1u);
  EXPECT_EQ(buf.nal.nal_ref_idc, 2u);
}

TEST(AnnexB, UnitLongerThanBufferIsCut) {
  h264test::PayloadBuffer buf(8);
  ASSERT_EQ(buf.nal.capacity, 8u);
  // The guard word after the capacity must stay untouched.
  std::memset(buf.nal.payload + 8, 0x5A, 4);
  std::vector<uint8_t> in = {0, 0, 1, 0x65};
  for (int i = 0; i < 100; ++i) in.push_back(static_cast<uint8_t>(0x10 + i));
  in.insert(in.end(), {0, 0, 1, 0x41, 0x77});
  DecoderState ds = cleared_state();
  int32_t result = -1;
  const auto rbsp = run_parser(ds, buf, in, &result);
  EXPECT_EQ(result, kAnnexBUnitReady);
  EXPECT_EQ(rbsp, bytes_of({0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17}));
  EXPECT_EQ(std::memcmp(buf.nal.payload + 8, "\x5A\x5A\x5A\x5A", 4), 0);
}

TEST(AnnexB, PiecesOfEverySizeGiveTheSameUnits) {
  // Hand-made stream with every awkward spot: 3- and 4-byte start codes,
  // emulation prevention near group boundaries, trailing zeros, skipped
  // units, a unit of zeros.
  std::vector<uint8_t> s;
  for (int n = 0; n < 40; ++n) {
    std::vector<uint8_t> rbsp;
    for (int i = 0; i < n; ++i) rbsp.push_back(static_cast<uint8_t>((i * 37 + n) % 5 == 0 ? 0 : (i % 4)));
    h264test::append(s, h264test::annexb_unit(static_cast<uint8_t>(0x60 | (1 + n % 8)), rbsp, n % 2 == 0));
    if (n % 3 == 0) s.insert(s.end(), {0, 0});
  }
  const auto whole = h264test::parse_units(s.data(), s.size());
  EXPECT_GT(whole.size(), 20u);
  for (size_t piece = 1; piece <= 7; ++piece) {
    EXPECT_EQ(h264test::parse_units(s.data(), s.size(), piece), whole) << "piece " << piece;
  }
}

// Runs without zeros are copied many bytes at a time: every run length, every
// place in a group the run starts at, and capacities that cut the run.
TEST(AnnexB, LongRunsWithoutZerosAreCopiedWhole) {
  for (uint32_t lead = 0; lead < 4; ++lead) {
    for (uint32_t n = 0; n <= 70; ++n) {
      for (uint32_t capacity : {128u, 4 * ((lead + 2 + n) / 8), 4 * ((lead + 2 + n) / 4)}) {
        std::vector<uint8_t> rbsp;
        for (uint32_t i = 0; i < lead; ++i) rbsp.push_back(uint8_t(0x20 + i));
        rbsp.insert(rbsp.end(), {0x00, 0x05});  // a zero: the run starts after it
        for (uint32_t i = 0; i < n; ++i) rbsp.push_back(uint8_t(1 + (i * 7 + n) % 255));
        std::vector<uint8_t> in = h264test::annexb_unit(0x65, rbsp);
        in.insert(in.end(), {0, 0, 1, 0x41});
        h264test::PayloadBuffer buf(capacity < 4 ? 4 : capacity);
        DecoderState ds = cleared_state();
        int32_t result = -1;
        const auto got = run_parser(ds, buf, in, &result);
        EXPECT_EQ(result, kAnnexBUnitReady);
        rbsp.resize(std::min<size_t>(rbsp.size(), buf.nal.capacity));
        if (rbsp.back() == 0) continue;  // a cut unit loses its zeros at the end
        ASSERT_EQ(got, rbsp) << lead << " " << n << " " << capacity;
      }
    }
  }
}

TEST(AnnexB, GetParameterSetId) {
  // Codes within the first byte, into the following bytes, and across a group.
  for (uint32_t id : {0u, 14u, 15u, 31u, 200u, 255u, 4000u}) {
    BitWriter w;
    w.bits(0x64, 8);
    w.bits(0, 16);
    w.ue(id);
    w.trailing();
    RbspReader rr(w.bytes());
    EXPECT_EQ(GetParameterSetID(rr.buffer.nal.payload), id);  // SPS: RBSP byte 3 at offset 0
    BitWriter v;
    v.ue(id);
    v.trailing();
    RbspReader rp(v.bytes());
    EXPECT_EQ(GetParameterSetID(rp.buffer.nal.payload + 3), id);
  }
}

}  // namespace
