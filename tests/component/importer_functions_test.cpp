// The importer's byte-level rules: the sample size of an access unit once
// its start codes become 4-byte lengths, the 'avcC' record, 33-bit time
// stamp unwrapping and LPCM frame sizes.
#include <gtest/gtest.h>

#include <vector>

#include "MTS_MovieImport.h"

namespace {

using Bytes = std::vector<uint8_t>;

int32_t Length(const Bytes& b) { return MTS_GetVideoLength(b.data(), int32_t(b.size())); }

Bytes AvcC(const Bytes& au) {
  Bytes out(au.size() + 8, 0xEE);
  int32_t n = -1;
  EXPECT_EQ(MTS_create_avcC_extension(au.data(), int32_t(au.size()), out.data(), &n), 0);
  out.resize(size_t(n));
  return out;
}

}  // namespace

TEST(ImporterVideoLength, KeptUnitsCountTheirBytesAndFour) {
  EXPECT_EQ(Length({}), 0);
  // One slice of 3 payload bytes after its header: 4 + 4.
  EXPECT_EQ(Length({0, 0, 1, 0x65, 1, 2, 3}), 8);
  // An access-unit delimiter with one payload byte, then a 4-byte start code:
  // the delimiter counts its header, its byte and the zero of the next code.
  EXPECT_EQ(Length({0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x65, 0xAA}), 7 + 6);
  // Units of types outside the kept set end the current unit and add nothing.
  EXPECT_EQ(Length({0, 0, 1, 0x65, 1, 0, 0, 1, 0x0C, 9, 9, 9}), 6);
  // A type-3 start code inside a kept unit adds its four bytes.
  EXPECT_EQ(Length({0, 0, 1, 0x67, 1, 0, 0, 1, 0x03, 2}), 4 + 2 + 4 + 1);
  // Bytes before the first start code are dropped.
  EXPECT_EQ(Length({7, 7, 0, 0, 1, 0x41, 5}), 6);
  EXPECT_EQ(Length({0, 0, 1}), 0);
}

TEST(ImporterAvcC, DelimiterSpsPpsSeiSlices) {
  const Bytes au = {0, 0, 0, 1, 0x09, 0xF0,                // AUD
                    0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1E,    // SPS
                    0, 0, 0, 1, 0x68, 0xEB, 0xE3,          // PPS
                    0, 0, 1, 0x06, 0x05, 0x01, 0x80,       // SEI
                    0, 0, 1, 0x65, 0x88, 0x84, 0, 0, 1, 0x65, 0x11};
  // The SPS ends with the zero that begins the 4-byte start code after it;
  // the PPS is followed by a 3-byte start code.
  const Bytes expected = {0x01, 0x64, 0x00, 0x29, 0xFF, 0xE1, 0x00, 0x05, 0x67, 0x64,
                          0x00, 0x1E, 0x00, 0x01, 0x00, 0x03, 0x68, 0xEB, 0xE3};
  EXPECT_EQ(AvcC(au), expected);
}

TEST(ImporterAvcC, NoParameterSetsAndLongRecords) {
  EXPECT_EQ(AvcC({0, 0, 1, 0x65, 1, 2, 3}), (Bytes{0x01, 0x64, 0x00, 0x29, 0xFF, 0xE0, 0x00}));
  // Only parameter sets with three-byte start codes: the record outgrows the
  // access unit (the scratch buffer must allow for it).
  const Bytes au = {0, 0, 1, 0x67, 0, 0, 1, 0x68};
  const Bytes record = AvcC(au);
  EXPECT_EQ(record, (Bytes{0x01, 0x64, 0x00, 0x29, 0xFF, 0xE1, 0x00, 0x01, 0x67, 0x01, 0x00, 0x01, 0x68}));
  EXPECT_GT(record.size(), au.size());
  // Only the first run of SPS is taken (the third SPS is not), a type-3 code
  // inside a parameter set is payload, and the PPS scan goes on after it.
  const Bytes twoRuns = {0, 0, 1, 0x67, 0xAA, 0, 0, 1, 0x03, 0, 0, 1, 0x67, 0xBB, 0, 0, 1, 0x65, 0,
                         0, 1, 0x67, 0xCC, 0, 0, 1, 0x68, 0xDD};
  EXPECT_EQ(AvcC(twoRuns), (Bytes{0x01, 0x64, 0x00, 0x29, 0xFF, 0xE2, 0x00, 0x06, 0x67, 0xAA, 0x00, 0x00,
                                  0x01, 0x03, 0x00, 0x02, 0x67, 0xBB, 0x01, 0x00, 0x02, 0x68, 0xDD}));
}

TEST(ImporterTimestamps, UnwrapNearestToReference) {
  const int64_t wrap = int64_t(1) << 33;
  EXPECT_EQ(mts_import::UnwrapTimestamp(-1, 5), 5);
  EXPECT_EQ(mts_import::UnwrapTimestamp(wrap - 100, 50), wrap + 50);
  EXPECT_EQ(mts_import::UnwrapTimestamp(50, wrap - 100), -100);
  EXPECT_EQ(mts_import::UnwrapTimestamp(1000, 4000), 4000);
  EXPECT_EQ(mts_import::RoundHalfAway(2.5), 3);
  EXPECT_EQ(mts_import::RoundHalfAway(-2.5), -3);
  EXPECT_EQ(mts_import::RoundHalfAway(-2.4), -2);
}

TEST(ImporterLpcm, FramesFromSampleSizeAndChannels) {
  LPCMStreamInfo stereo16{48000, 2, 16, 1}, mono24{48000, 2, 24, 0}, six20{48000, 6, 20, 7};
  EXPECT_EQ(mts_import::LPCMFramesOf(964, stereo16), 240);
  EXPECT_EQ(mts_import::LPCMFramesOf(4 + 240 * 6, mono24), 240);
  EXPECT_EQ(mts_import::LPCMFramesOf(4 + 240 * 18, six20), 240);
  EXPECT_EQ(mts_import::LPCMFramesOf(4, stereo16), 0);
  EXPECT_EQ(mts_import::LPCMFramesOf(2, stereo16), 0);
}
