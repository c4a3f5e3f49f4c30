// Parsing: the bit reader, sync search, sync information, CRC, bit-stream
// information, the frame tail, and the side information of audio blocks with
// their rules.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "AC3DecState.h"
#include "AC3Tables.h"
#include "ac3_block_writer.h"
#include "ac3_test_util.h"

using namespace ac3dec;
using ac3test::Instance;
using ac3test::BitWriter;
using ac3test::BlockFields;

namespace {

AC3BitReader ReaderOver(const std::vector<uint8_t>& bytes) {
  AC3BitReader r;
  InitBitReader(&r, bytes.data(), int32_t(bytes.size()));
  return r;
}

// --- Bit reader, sync, CRC ----------------------------------------------------

// The reader as a plain bit-by-bit loop: stuck on the last byte at the end.
struct PlainReader {
  const std::vector<uint8_t>& bytes;
  size_t byte = 0;
  int bit = 0;
  uint32_t Read(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      uint32_t b = 0;
      if (bit < 8) {
        b = (bytes[byte] >> (7 - bit)) & 1;
        if (++bit == 8 && byte + 1 < bytes.size()) byte++, bit = 0;
      }
      v = (v << 1) | b;
    }
    return v;
  }
};

TEST(BitReader, AgreesWithABitByBitReaderUpToAndPastTheEnd) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> bytes(1 + rng() % 40);
    for (auto& b : bytes) b = uint8_t(rng());
    AC3BitReader r = ReaderOver(bytes);
    PlainReader plain{bytes};
    for (int i = 0; i < 60; ++i) {
      const int n = int(rng() % 26);
      ASSERT_EQ(GetBits(&r, n), plain.Read(n)) << round << " " << i;
      ASSERT_EQ(size_t(r.cur - r.base), plain.byte);
      ASSERT_EQ(r.bitPos, plain.bit);
    }
  }
}

TEST(BitReader, SyncWordOnlyOnByteBoundaries) {
  // 0x0B77 shifted by four bits is not found.
  const std::vector<uint8_t> odd = {0x00, 0xB7, 0x70, 0x00};
  AC3BitReader r = ReaderOver(odd);
  EXPECT_EQ(GetSynch(&r), -3);
  const std::vector<uint8_t> exact = {0x0B, 0x77};
  r = ReaderOver(exact);
  EXPECT_EQ(GetSynch(&r), 0);
  EXPECT_EQ(r.syncStart, exact.data());
  const std::vector<uint8_t> late = {0x01, 0x0B, 0x0B, 0x77, 0x42};
  r = ReaderOver(late);
  EXPECT_EQ(GetSynch(&r), 0);
  EXPECT_EQ(r.syncStart, late.data() + 2);
  EXPECT_EQ(GetBits(&r, 8), 0x42u);
  const std::vector<uint8_t> one = {0x0B};
  r = ReaderOver(one);
  EXPECT_EQ(GetSynch(&r), -3);
}

TEST(Crc, EmptyRangeAndRangeFollowedByItsOwnCrc) {
  EXPECT_EQ(crc16Check(nullptr, 0), 0u);
  std::vector<uint8_t> data = {0x12, 0x34, 0x56, 0x78, 0x9A};
  const uint32_t crc = crc16Check(data.data(), int32_t(data.size()));
  data.push_back(uint8_t(crc >> 8));
  data.push_back(uint8_t(crc));
  EXPECT_EQ(crc16Check(data.data(), int32_t(data.size())), 0u);
  // A wrong polynomial keeps this property; the real streams' CRCs catch it.
}

// The four-bytes-a-step path against the register moved one byte at a time,
// at every length around the step and from every start alignment.
TEST(Crc, FourByteStepsEqualTheBytewiseRegister) {
  std::vector<uint8_t> data(300);
  uint32_t seed = 12345;
  for (uint8_t& b : data) b = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
  for (int32_t start = 0; start < 4; ++start)
    for (int32_t len = 0; len <= 70; ++len) {
      uint32_t reg = 0;
      for (int32_t i = 0; i < len; ++i)
        reg = ((reg << 8) ^ ac3dec::crcTable[((reg >> 8) ^ data[start + i]) & 0xFF]) & 0xFFFF;
      EXPECT_EQ(crc16Check(data.data() + start, len), reg) << start << " " << len;
    }
}

TEST(SyncInfo, RatesSizesAndReservedCodes) {
  Instance in;
  struct Case {
    uint8_t byte4;
    int32_t rc;
    uint32_t rate, words;
    uint16_t kbps;
  };
  const Case cases[] = {{0x00, 0, 48000, 64, 32},     {0x25, 0, 48000, 1280, 640},
                        {0x40 | 36, 0, 44100, 1393, 640}, {0x40 | 37, 0, 44100, 1394, 640},
                        {0x40 | 0, 0, 44100, 69, 32},  {0x40 | 1, 0, 44100, 70, 32},
                        {0x80 | 37, 0, 32000, 1920, 640}, {0x80 | 30, 0, 32000, 1344, 448}};
  for (const Case& c : cases) {
    const std::vector<uint8_t> b = {0x0B, 0x77, 0xAB, 0xCD, c.byte4};
    AC3BitReader r = ReaderOver(b);
    ASSERT_EQ(GetSynch(&r), 0);
    ASSERT_EQ(ParseSyncInfo(in.s, &r), c.rc);
    EXPECT_EQ(in.s->crc1, 0xABCD);
    EXPECT_EQ(in.s->sync.sampleRate, c.rate) << int(c.byte4);
    EXPECT_EQ(in.s->sync.frameWords, c.words) << int(c.byte4);
    EXPECT_EQ(in.s->sync.bitRate, c.kbps) << int(c.byte4);
  }
  // Reserved rates (-7) and sizes (-2); derived fields keep their values.
  for (auto [byte4, rc] : {std::pair(0xC0, -7), std::pair(0xC5, -7), std::pair(38, -2), std::pair(63, -2)}) {
    const std::vector<uint8_t> b = {0x0B, 0x77, 0, 0, uint8_t(byte4)};
    AC3BitReader r = ReaderOver(b);
    GetSynch(&r);
    EXPECT_EQ(ParseSyncInfo(in.s, &r), rc);
    if (rc == -7) {
      EXPECT_EQ(in.s->sync.sampleRate, 32000u);
    }
  }
}

// --- Bit-stream information ------------------------------------------------------

struct BsiFields {
  int bsid = 8, bsmod = 0, acmod = 2, cmixlev = 1, surmixlev = 2, dsurmod = 1, lfeon = 0, dialnorm = 27;
  int compre = 0, compr = 0, langcode = 0, langcod = 0, audprodie = 0, mixlevel = 0, roomtyp = 0;
  int timecod1e = 0, timecod1 = 0, timecod2e = 0, timecod2 = 0;
  int addbsie = 0, addbsil = 0;
};

std::vector<uint8_t> WriteBsi(const BsiFields& b) {
  BitWriter w;
  w.put(b.bsid, 5);
  w.put(b.bsmod, 3);
  w.put(b.acmod, 3);
  if ((b.acmod & 1) && b.acmod != 1) w.put(b.cmixlev, 2);
  if (b.acmod & 4) w.put(b.surmixlev, 2);
  if (b.acmod == 2) w.put(b.dsurmod, 2);
  w.put(b.lfeon, 1);
  w.put(b.dialnorm, 5);
  w.put(b.compre, 1);
  if (b.compre) w.put(b.compr, 8);
  w.put(b.langcode, 1);
  if (b.langcode) w.put(b.langcod, 8);
  w.put(b.audprodie, 1);
  if (b.audprodie) w.put(b.mixlevel, 5), w.put(b.roomtyp, 2);
  if (b.acmod == 0) {
    w.put(0, 5);  // dialnorm2 0 -> 31
    w.put(1, 1), w.put(0x44, 8);
    w.put(0, 1), w.put(0, 1);
  }
  w.put(1, 1);  // copyrightb
  w.put(0, 1);  // origbs
  w.put(b.timecod1e, 1);
  if (b.timecod1e) w.put(b.timecod1, 14);
  w.put(b.timecod2e, 1);
  if (b.timecod2e) w.put(b.timecod2, 14);
  w.put(b.addbsie, 1);
  if (b.addbsie) {
    w.put(b.addbsil, 6);
    for (int i = 0; i <= b.addbsil; ++i) w.put(uint32_t(i + 1), 8);
  }
  w.put(0x3C, 8);  // marker behind the information
  return w.bytes();
}

AC3Bsi ParseBsiOf(const BsiFields& fields, int32_t* rc = nullptr, uint32_t* marker = nullptr) {
  Instance in;
  const std::vector<uint8_t> bytes = WriteBsi(fields);
  AC3BitReader r = ReaderOver(bytes);
  in.s->bsi = AC3Bsi();
  const int32_t result = ParseBsi(in.s, &r);
  if (rc) *rc = result;
  if (marker) *marker = GetBits(&r, 8);
  return in.s->bsi;
}

auto Mix(const AC3Bsi& b) { return std::make_tuple(b.cmixlev, b.surmixlev, b.dsurmod, b.lfeon, b.nfchans, b.dialnorm); }

// Optional fields by audio coding mode (the reader must stop right before
// the marker), dialnorm 0 read as 31, the service kind, and every optional
// field at once.
TEST(Bsi, FieldsByModeAndOptionalFields) {
  struct Case {
    int acmod, lfeon, dialnorm;
    std::tuple<uint8_t, uint8_t, uint8_t, uint8_t, uint32_t, uint8_t> want;
  };
  const Case cases[] = {{2, 0, 27, {0, 0, 1, 0, 2u, 27}}, {7, 1, 27, {1, 2, 0, 1, 5u, 27}},
                        {0, 0, 27, {0, 0, 0, 0, 2u, 27}}, {2, 0, 0, {0, 0, 1, 0, 2u, 31}},
                        {2, 0, 1, {0, 0, 1, 0, 2u, 1}}};
  for (const Case& c : cases) {
    BsiFields f;
    f.acmod = c.acmod, f.lfeon = c.lfeon, f.dialnorm = c.dialnorm;
    uint32_t marker = 0;
    const AC3Bsi b = ParseBsiOf(f, nullptr, &marker);
    EXPECT_EQ(marker, 0x3Cu) << c.acmod;
    EXPECT_EQ(Mix(b), c.want) << c.acmod << " " << c.dialnorm;
    if (c.acmod == 0) {
      EXPECT_EQ(std::make_tuple(b.dialnorm2, b.compr2e, b.compr2), std::make_tuple(31, 1, 0x44));
    }
  }
  for (auto [bsmod, acmod, kind] : {std::tuple(7, 1, 7), std::tuple(7, 2, 8), std::tuple(3, 2, 3)}) {
    BsiFields f;
    f.bsmod = bsmod, f.acmod = acmod;
    EXPECT_EQ(ParseBsiOf(f).serviceKind, kind);
  }
  BsiFields full;
  full.compre = 1, full.compr = 0xF0, full.langcode = 1, full.langcod = 9, full.audprodie = 1;
  full.mixlevel = 21, full.roomtyp = 2, full.timecod1e = 1, full.timecod1 = 0x2ABC;
  full.timecod2e = 1, full.timecod2 = 0x1234, full.addbsie = 1, full.addbsil = 63;
  uint32_t marker = 0;
  const AC3Bsi b = ParseBsiOf(full, nullptr, &marker);
  EXPECT_EQ(marker, 0x3Cu);
  EXPECT_EQ(std::make_tuple(b.compr, b.langcod, b.mixlevel, b.roomtyp, b.timecod1, b.timecod2, b.addbsil, b.addbsi[0],
                            b.addbsi[63]),
            std::make_tuple(0xF0, 9, 21, 2, 0x2ABC, 0x1234, 63, 1, 64));
}

TEST(Bsi, VersionsAboveEightAreReserved) {
  BsiFields s;
  int32_t rc = 0;
  for (int bsid = 0; bsid <= 8; ++bsid) {
    s.bsid = bsid;
    ParseBsiOf(s, &rc);
    EXPECT_EQ(rc, 0) << bsid;
  }
  for (int bsid : {9, 10, 16, 31}) {
    s.bsid = bsid;
    const AC3Bsi b = ParseBsiOf(s, &rc);
    EXPECT_EQ(rc, -7) << bsid;
    EXPECT_EQ(b.acmod, 0);  // nothing more is read
  }
}

TEST(FrameTail, SkipEndsAtTheFrameEndOrReportsAnOverrun) {
  Instance in;
  in.s->sync.frameWords = 64;
  std::vector<uint8_t> buf(3 + 128 + 4, 0);
  buf[3] = 0x0B;
  buf[4] = 0x77;
  AC3BitReader r = ReaderOver(buf);
  ASSERT_EQ(GetSynch(&r), 0);
  SkipBits(&r, 300);
  EXPECT_EQ(ParseAuxdataCrc2(in.s, &r), 0);
  EXPECT_EQ(r.cur - r.base, 3 + 128);
  EXPECT_EQ(r.bitPos, 0);

  r = ReaderOver(buf);
  GetSynch(&r);
  SkipBits(&r, 16 * 64 - 18 - 16 + 1);  // one bit into the last 18
  const AC3BitReader before = r;
  EXPECT_EQ(ParseAuxdataCrc2(in.s, &r), -3);
  EXPECT_EQ(r.cur, before.cur);
  EXPECT_EQ(r.bitPos, before.bitPos);
}

// --- Audio blocks ------------------------------------------------------------------

struct BlockParse {
  Instance in;
  AC3AudioBlock& a() { return in.s->audblk; }
  void Frame(int acmod, int lfeon) {
    in.s->bsi = AC3Bsi();
    in.s->bsi.acmod = uint8_t(acmod);
    in.s->bsi.lfeon = uint8_t(lfeon);
    in.s->bsi.nfchans = NFCHANS[acmod];
  }
  // Parses the block; `consumedExactly` checks that the reader stops where the
  // writer's last field ended.
  int32_t Parse(uint32_t blk, const BlockFields& fields, bool consumedExactly = true) {
    BitWriter w;
    ac3test::WriteBlock(w, fields);
    const int64_t bits = w.bit_count();
    w.put(0xFFFFFFFF, 32);
    std::vector<uint8_t> bytes = w.bytes();
    AC3BitReader r = ReaderOver(bytes);
    const int32_t rc = ParseAudblk(blk, in.s, &r);
    if (rc == 0 && consumedExactly) {
      EXPECT_EQ(BitsRead(&r), bits);
    }
    return rc;
  }
};

BlockFields Coupled(int acmod, int begf, int endf) {
  BlockFields b;
  b.acmod = acmod;
  b.cplinu = 1;
  for (int ch = 0; ch < ac3test::NfChans(acmod); ++ch) b.chincpl[ch] = 1;
  b.cplbegf = uint8_t(begf);
  b.cplendf = uint8_t(endf);
  return b;
}

// A later block that sends nothing new: every strategy and parameter set is
// reused (coupling coordinates stay as the caller leaves them).
BlockFields Reusing(BlockFields b) {
  b.cplstre = b.rematstr = b.cplexpstr = b.lfeexpstr = 0;
  for (uint8_t& e : b.chexpstr) e = 0;
  b.baie = b.snroffste = b.cplleake = 0;
  return b;
}

TEST(AudioBlock, CouplingRangeAndSubBands) {
  BlockParse p;
  p.Frame(2, 0);
  BlockFields b = Coupled(2, 0, 15);
  for (uint8_t strategy = 1; strategy <= 3; ++strategy) {
    b.cplexpstr = strategy;
    b.chexpstr[0] = b.chexpstr[1] = strategy;
    ASSERT_EQ(p.Parse(0, b), 0);
    EXPECT_EQ(p.a().cplstrtmant, 37);
    EXPECT_EQ(p.a().cplendmant, 253);
    EXPECT_EQ(p.a().ncplsubnd, 18);
    EXPECT_EQ(p.a().ncplgrps, 72 >> (strategy - 1));
    EXPECT_EQ(p.a().endmant[0], 37);
    EXPECT_EQ(p.a().nchgrps[0], 12 >> (strategy - 1));
    EXPECT_EQ(p.a().cplbndend[17], 253);
    EXPECT_EQ(p.a().nrematbd, 2);
  }
  b = Coupled(2, 7, 5);  // cplbegf = cplendf + 2: one sub-band, no structure bits
  ASSERT_EQ(p.Parse(0, b), 0);
  EXPECT_EQ(p.a().ncplsubnd, 1);
  EXPECT_EQ(p.a().cplbndend[0], p.a().cplstrtmant + 12);
  b = Coupled(2, 8, 5);
  EXPECT_EQ(p.Parse(0, b), -2);
}

TEST(AudioBlock, BandwidthCodesAboveSixtyActAsSixty) {
  BlockParse p;
  p.Frame(1, 0);
  BlockFields b;
  b.acmod = 1;
  b.chbwcod[0] = 63;
  for (uint8_t strategy = 1; strategy <= 3; ++strategy) {
    b.chexpstr[0] = strategy;
    ASSERT_EQ(p.Parse(0, b), 0);
    EXPECT_EQ(p.a().chbwcod[0], 60);
    EXPECT_EQ(p.a().endmant[0], 253);
    EXPECT_EQ(p.a().nchgrps[0], 84 >> (strategy - 1));
  }
}

TEST(AudioBlock, CouplingCoordinatesAndPhaseFlags) {
  BlockParse p;
  p.Frame(2, 0);
  BlockFields b = Coupled(2, 3, 4);  // four sub-bands
  b.cplbndstrc[2] = 1;             // sub-band 2 merged into 1
  b.phsflginu = 1;
  b.cplcoexp[0][0] = 15, b.cplcomant[0][0] = 0;   // exactly 0
  b.cplcoexp[0][1] = 0, b.cplcomant[0][1] = 15;   // 31/32 × 8 = 7.75
  b.cplcoexp[0][3] = 15, b.cplcomant[0][3] = 8;   // 8/16 × 8 × 2^-15
  b.mstrcplco[1] = 1;
  b.cplcoexp[1][0] = 2, b.cplcomant[1][0] = 0;    // 16/32 × 8 × 2^-5
  b.cplcoexp[1][1] = 0, b.cplcomant[1][1] = 0;
  b.cplcoexp[1][3] = 0, b.cplcomant[1][3] = 0;
  b.phsflg[0] = 1, b.phsflg[1] = 1, b.phsflg[3] = 0;
  ASSERT_EQ(p.Parse(0, b), 0);
  const AC3AudioBlock& a = p.a();
  EXPECT_EQ(a.cplco[0][0], 0.0f);
  EXPECT_EQ(a.cplco[0][1], 7.75f);
  EXPECT_EQ(a.cplco[0][2], 7.75f);
  EXPECT_EQ(a.cplco[0][3], 0.5f * 8.0f / 32768.0f);
  EXPECT_EQ(a.cplco[1][0], -0.125f);
  EXPECT_EQ(a.cplco[1][1], -0.5f);
  EXPECT_EQ(a.cplco[1][2], -0.5f);  // merged: copy and the merged band's flag
  EXPECT_EQ(a.cplco[1][3], 0.5f);
  EXPECT_EQ(a.phsflg[2], 1);

  // Block 1: no new coupling strategy, only channel 0 sends coordinates;
  // new phase flags still re-sign channel 1's kept coordinates.
  BlockFields next = Reusing(b);
  next.cplcoe[1] = 0;
  next.phsflg[0] = 0, next.phsflg[1] = 0, next.phsflg[3] = 1;
  ASSERT_EQ(p.Parse(1, next), 0);
  EXPECT_EQ(a.cplco[1][0], 0.125f);
  EXPECT_EQ(a.cplco[1][1], 0.5f);
  EXPECT_EQ(a.cplco[1][3], -0.5f);
  EXPECT_EQ(a.cplcoe[1], 0);
}

TEST(AudioBlock, RematrixBandCount) {
  BlockParse p;
  p.Frame(2, 0);
  BlockFields b;
  ASSERT_EQ(p.Parse(0, b), 0);
  EXPECT_EQ(p.a().nrematbd, 4);
  const int expect[16] = {2, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4};
  for (int begf = 0; begf < 16; ++begf) {
    b = Coupled(2, begf, begf < 13 ? begf + 2 : 15);
    ASSERT_EQ(p.Parse(0, b), 0) << begf;
    EXPECT_EQ(p.a().nrematbd, expect[begf]) << begf;
  }
}

TEST(AudioBlock, ReusedCouplingExponentsNeedTheSameRange) {
  BlockParse p;
  p.Frame(2, 0);
  BlockFields b0 = Coupled(2, 2, 10);
  ASSERT_EQ(p.Parse(0, b0), 0);
  BlockFields b1 = Reusing(b0);
  b1.cplstre = b1.cplleake = 1;  // same range, new leak values
  ASSERT_EQ(p.Parse(1, b1), 0);  // same range: accepted, no exponents read
  EXPECT_EQ(p.a().baRecompute[kCplSlot], 1);  // through the new leak values
  EXPECT_EQ(p.a().baRecompute[0], 0);
  BlockFields b2 = b1;
  b2.cplendf = 11;
  EXPECT_EQ(p.Parse(2, b2), -2);
  // Reuse in a block whose previous block had no coupling.
  BlockParse q;
  q.Frame(2, 0);
  BlockFields plain;
  ASSERT_EQ(q.Parse(0, plain), 0);
  BlockFields late = Coupled(2, 2, 10);
  late.cplexpstr = 0;
  late.rematstr = 0;
  EXPECT_EQ(q.Parse(1, late), -2);
}

TEST(AudioBlock, BlockZeroRules) {
  struct Rule {
    const char* what;
    void (*breakIt)(BlockFields&);
    int32_t rc;
  };
  const Rule rules[] = {
      {"cplstre", [](BlockFields& b) { b.cplstre = 0; }, -2},
      {"coupled channels", [](BlockFields& b) { b.chincpl[1] = 0; }, -2},
      {"cplcoe", [](BlockFields& b) { b.cplcoe[1] = 0; }, -2},
      {"rematstr", [](BlockFields& b) { b.rematstr = 0; }, -2},
      {"cplexpstr", [](BlockFields& b) { b.cplexpstr = 0; }, -2},
      {"chexpstr", [](BlockFields& b) { b.chexpstr[1] = 0; }, -2},
      {"baie", [](BlockFields& b) { b.baie = 0; }, -2},
      {"snroffste", [](BlockFields& b) { b.snroffste = 0; }, -2},
      {"cplleake", [](BlockFields& b) { b.cplleake = 0; }, -2},
      {"coupling deltbae reuse", [](BlockFields& b) { b.deltbaie = 1, b.cpldelt.deltbae = 0; }, -2},
      {"coupling deltbae 3", [](BlockFields& b) { b.deltbaie = 1, b.cpldelt.deltbae = 3; }, -7},
      {"channel deltbae 3", [](BlockFields& b) { b.deltbaie = 1, b.chdelt[1].deltbae = 3; }, -7},
  };
  for (const Rule& rule : rules) {
    BlockParse p;
    p.Frame(2, 0);
    BlockFields b = Coupled(2, 4, 8);
    rule.breakIt(b);
    EXPECT_EQ(p.Parse(0, b, false), rule.rc) << rule.what;
  }
  BlockParse lfe;
  lfe.Frame(7, 1);
  BlockFields b;
  b.acmod = 7;
  b.lfeon = 1;
  b.lfeexpstr = 0;
  EXPECT_EQ(lfe.Parse(0, b, false), -2);
  BlockParse mono;
  mono.Frame(1, 0);
  BlockFields m = Coupled(1, 0, 2);  // coupling needs two channels at least
  m.chincpl[0] = 1;
  EXPECT_EQ(mono.Parse(0, m, false), -2);
  // Not errors in later blocks: cplcoe 0, cplleake 0, a channel deltbae 0.
  BlockParse later;
  later.Frame(2, 0);
  BlockFields first = Coupled(2, 4, 8);
  ASSERT_EQ(later.Parse(0, first), 0);
  BlockFields second = first;
  second.cplcoe[0] = second.cplcoe[1] = 0;
  second.cplleake = 0;
  second.deltbaie = 1;
  second.cpldelt.deltbae = 0;
  second.chdelt[0].deltbae = 0;
  second.chdelt[1].deltbae = 2;
  EXPECT_EQ(later.Parse(1, second), 0);
}

TEST(AudioBlock, DeltaRecordsResetAndKeep) {
  BlockParse p;
  p.Frame(2, 0);
  BlockFields b = Coupled(2, 4, 8);
  b.deltbaie = 1;
  b.cpldelt = {1, {2, 1}, {4, 1}, {7, 0}};  // bands 43..46 and 48
  b.chdelt[1] = {1, {0}, {5}, {3}};
  ASSERT_EQ(p.Parse(0, b), 0);
  EXPECT_EQ(p.a().cpldelt.deltnseg, 1);
  EXPECT_EQ(p.a().cpldelt.deltoffst[1], 1);
  EXPECT_EQ(p.a().cpldelt.deltba[0], 7);
  EXPECT_EQ(p.a().chdelt[0].deltbae, 2);
  EXPECT_EQ(p.a().chdelt[1].deltlen[0], 5);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(p.a().baRecompute[i], 1);

  BlockFields keep = Reusing(b);  // block 2 without delta information: records stay
  keep.deltbaie = 0;
  keep.cplcoe[0] = keep.cplcoe[1] = 0;
  ASSERT_EQ(p.Parse(2, keep), 0);
  EXPECT_EQ(p.a().cpldelt.deltbae, 1);
  EXPECT_EQ(p.a().chdelt[1].deltlen[0], 5);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(p.a().baRecompute[i], 0);

  BlockFields next = b;  // block 0 of the next frame without delta information
  next.deltbaie = 0;
  ASSERT_EQ(p.Parse(0, next), 0);
  EXPECT_EQ(p.a().cpldelt.deltbae, 2);
  EXPECT_EQ(p.a().chdelt[1].deltbae, 2);
  EXPECT_EQ(p.a().chdelt[1].deltlen[0], 0);
}

TEST(AudioBlock, DeltaSegmentsPastTheLastBandAreRefused) {
  BlockParse p;
  p.Frame(2, 0);
  BlockFields b;
  b.deltbaie = 1;
  b.chdelt[0] = {1, {31, 10, 5}, {15, 0, 4}, {4, 4, 4}};  // bands 31..45, then 56..59
  EXPECT_EQ(p.Parse(0, b, false), -2);
  b.chdelt[0] = {1, {31, 0}, {15, 4}, {4, 4}};  // ends at band 49
  EXPECT_EQ(p.Parse(0, b), 0);
  // The coupling record counts from the coupling channel's first band.
  BlockFields c = Coupled(2, 15, 15);  // first band: that of bin 217 (band 48)
  c.deltbaie = 1;
  c.cpldelt = {1, {0}, {2}, {5}};
  EXPECT_EQ(p.Parse(0, c), 0);
  c.cpldelt = {1, {1}, {2}, {5}};
  EXPECT_EQ(p.Parse(0, c, false), -2);
}

TEST(AudioBlock, RecomputeFlagsFollowWhatIsNew) {
  BlockParse p;
  p.Frame(7, 1);
  BlockFields b = Coupled(7, 3, 9);
  b.lfeon = 1;
  ASSERT_EQ(p.Parse(0, b), 0);
  BlockFields only1 = Reusing(b);
  for (uint8_t& e : only1.cplcoe) e = 0;
  only1.chexpstr[1] = 2;
  ASSERT_EQ(p.Parse(1, only1), 0);
  const uint8_t expect[7] = {0, 1, 0, 0, 0, 0, 0};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(p.a().baRecompute[i], expect[i]) << i;
  only1.snroffste = 1;
  ASSERT_EQ(p.Parse(2, only1), 0);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(p.a().baRecompute[i], 1) << i;
  only1.snroffste = 0;
  only1.chexpstr[1] = 0;
  only1.lfeexpstr = 1;
  ASSERT_EQ(p.Parse(3, only1), 0);
  EXPECT_EQ(p.a().baRecompute[kLfeSlot], 1);
  EXPECT_EQ(p.a().baRecompute[1], 0);
}

TEST(AudioBlock, DynamicRangeSkipFieldAndReaderPosition) {
  BlockParse p;
  p.Frame(2, 0);
  BlockFields b;
  b.dynrnge = 1;
  b.dynrng = 0x9C;
  ASSERT_EQ(p.Parse(0, b), 0);
  EXPECT_EQ(p.a().dynrng, 0x9C);
  BlockFields keep = Reusing(b);
  keep.dynrnge = 0;
  keep.skiple = 1;
  keep.skipl = 511;
  ASSERT_EQ(p.Parse(3, keep), 0);  // reader stops right after the 511 bytes
  EXPECT_EQ(p.a().dynrng, 0x9C);
  EXPECT_EQ(p.a().skipl, 511);
  BlockFields reset = b;
  reset.dynrnge = 0;
  ASSERT_EQ(p.Parse(0, reset), 0);
  EXPECT_EQ(p.a().dynrng, 0);
}

}  // namespace
