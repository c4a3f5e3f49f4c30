// EP map of a clip-information file, on images built here in the file's
// layout (big-endian; CPI and extension data found through the header).
#include "TSDemuxer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Coarse {
  uint32_t refToFine, ptsCoarse, spnCoarse;
};
struct Fine {
  uint32_t ptsFine, spnFine;
};

void put32(Bytes& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4, 0);
  WriteLong(&b[at], v);
}

// A clip image: 60-byte header area, CPI at 100, EP map at CPI + 6 + 20,
// extension data (width code) after the EP map, or none when widthCode < 0.
struct ClipImage {
  static constexpr uint32_t kCPI = 100;
  Bytes bytes;
  uint32_t mapStart = 0, fineStart = 0, extStart = 0;

  ClipImage(const std::vector<Coarse>& coarse, const std::vector<Fine>& fine, int widthCode = 1,
            uint32_t sourcePackets = 4242) {
    bytes.assign(kCPI, 0);
    const char magic[] = "HDMV0200";
    for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(magic[i]);
    put32(bytes, 16, kCPI);
    put32(bytes, 56, sourcePackets);
    bytes.resize(kCPI + 26, 0);
    const uint32_t nc = uint32_t(coarse.size()), nf = uint32_t(fine.size());
    bytes[kCPI + 7] = 1;  // one stream PID
    bytes[kCPI + 8] = 0x10;
    bytes[kCPI + 9] = 0x11;
    bytes[kCPI + 11] = uint8_t((1 << 2) | (nc >> 14));  // EP_stream_type 1
    bytes[kCPI + 12] = uint8_t(nc >> 6);
    bytes[kCPI + 13] = uint8_t((nc & 0x3F) << 2 | (nf >> 16));
    bytes[kCPI + 14] = uint8_t(nf >> 8);
    bytes[kCPI + 15] = uint8_t(nf);
    put32(bytes, kCPI + 16, 20);
    mapStart = kCPI + 6 + 20;
    const uint32_t fineOffset = 4 + 8 * nc;
    put32(bytes, mapStart, fineOffset);
    for (uint32_t i = 0; i < nc; ++i) {
      put32(bytes, mapStart + 4 + 8 * i, coarse[i].refToFine << 14 | coarse[i].ptsCoarse);
      put32(bytes, mapStart + 8 + 8 * i, coarse[i].spnCoarse);
    }
    fineStart = mapStart + fineOffset;
    for (uint32_t j = 0; j < nf; ++j)
      put32(bytes, fineStart + 4 * j, 0x80000000u | 3u << 28 | fine[j].ptsFine << 17 | fine[j].spnFine);
    bytes.resize(fineStart + 4 * nf, 0);
    if (widthCode >= 0) {
      extStart = uint32_t(bytes.size());
      put32(bytes, 24, extStart);
      put32(bytes, extStart, 32);     // length
      put32(bytes, extStart + 4, 8);  // data block at ext + 8
      put32(bytes, extStart + 16, 4);  // its entry at block + 4
      bytes.resize(extStart + 8 + 4 + 12 + 1 + 3, 0);
      bytes[extStart + 8 + 4 + 12] = uint8_t(widthCode);
    }
  }

  int32_t parse(std::vector<EPMapEntry>& out, uint32_t* count, uint32_t* packets = nullptr,
                uint32_t* width = nullptr, int32_t size = -1) const {
    return TSDemuxParseCPILib(bytes.data(), size < 0 ? int32_t(bytes.size()) : size, int32_t(out.size()), out.data(),
                              count, packets, width);
  }
};

TEST(ClipInfo, FineEntriesPlacedFromTheirCoarseEntry) {
  // Two coarse entries: the first covers fine 0..2, the second fine 3..4.
  const std::vector<Coarse> coarse = {{0, 0x10, 1000}, {3, 0x13, 140000}};
  const std::vector<Fine> fine = {
      {5, 1000 & 0x1FFFF}, {100, 1200}, {200, 1400}, {7, 140000 & 0x1FFFF}, {300, (140000 + 90) & 0x1FFFF}};
  ClipImage clip(coarse, fine, 3, 777);
  std::vector<EPMapEntry> out(8, EPMapEntry{1, 2, 3});
  uint32_t count = 0, packets = 0, width = 99;
  ASSERT_EQ(clip.parse(out, &count, &packets, &width), kCPIOk);
  EXPECT_EQ(std::make_tuple(count, packets, width), std::make_tuple(5u, 777u, 1280u));
  const uint64_t high0 = uint64_t(0x10) << 19, high1 = uint64_t(0x12) << 19;  // bit 0 of the coarse PTS dropped
  const std::pair<uint64_t, uint64_t> want[5] = {{high0 | 5u << 9, 192u * 1000},       {high0 | 100u << 9, 192u * 1200},
                                                 {high0 | 200u << 9, 192u * 1400},     {high1 | 7u << 9, 192ull * 140000},
                                                 {high1 | 300u << 9, 192ull * 140090}};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(std::make_pair(uint64_t(out[i].PTS), uint64_t(out[i].byteOffset)), want[i]) << i;
  EXPECT_EQ(out[0].reserved, 3u) << "the third word is not written";
  EXPECT_EQ(out[5].PTS, 1u) << "nothing past the count";
}

// Bit 13 of the coarse PTS is bit 32 of the time stamp; byte offsets above
// 4 GiB are computed in 64 bits; the last coarse entry for a fine entry wins.
TEST(ClipInfo, HighBitsAndLastCoarseEntry) {
  std::vector<EPMapEntry> out(2);
  uint32_t count = 0;
  ASSERT_EQ(ClipImage({{0, 0x2001, 0}}, {{0, 0}}).parse(out, &count), kCPIOk);
  EXPECT_EQ(out[0].PTS, 0x100000000ull);
  ASSERT_EQ(ClipImage({{0, 0, 0x01000000}}, {{0, 0}}).parse(out, &count), kCPIOk);
  EXPECT_EQ(out[0].byteOffset, 192ull * 0x01000000);
  ASSERT_EQ(ClipImage({{0, 0x10, 500}, {0, 0x20, 900}}, {{1, 100}, {2, 150}}).parse(out, &count), kCPIOk);
  EXPECT_EQ(out[0].PTS, uint64_t(0x20) << 19 | 1u << 9);
  EXPECT_EQ(out[0].byteOffset, 192u * 900);
  EXPECT_EQ(out[1].byteOffset, 192u * 950);
}

TEST(ClipInfo, ArgumentsAndLimits) {
  ClipImage clip({{0, 0, 10}}, {{0, 10}, {1, 20}, {2, 30}});
  std::vector<EPMapEntry> two(2), three(3);
  uint32_t count = 12345;
  EXPECT_EQ(clip.parse(two, &count), kCPITooManyEntries);
  EXPECT_EQ(count, 12345u) << "count is left unset";
  EXPECT_EQ(clip.parse(three, &count), kCPIOk);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(TSDemuxParseCPILib(nullptr, 100, 3, three.data(), &count, nullptr, nullptr), kCPINoClip);
  EXPECT_EQ(TSDemuxParseCPILib(clip.bytes.data(), int32_t(clip.bytes.size()), 3, nullptr, &count, nullptr, nullptr),
            kCPINoOutput);
  EXPECT_EQ(TSDemuxParseCPILib(clip.bytes.data(), 0, 3, three.data(), &count, nullptr, nullptr), kCPIBadSize);
  EXPECT_EQ(TSDemuxParseCPILib(clip.bytes.data(), int32_t(clip.bytes.size()), 0, three.data(), &count, nullptr,
                               nullptr),
            kCPIBadMaxEntries);
  // No fine entries: success with a count of 0.
  ClipImage empty({}, {});
  EXPECT_EQ(empty.parse(three, &count), kCPIOk);
  EXPECT_EQ(count, 0u);
}

TEST(ClipInfo, OffsetsAndCountsOutsideTheFile) {
  ClipImage clip({{0, 0, 10}, {2, 4, 5000}}, {{0, 10}, {1, 20}, {2, 5000}}, -1);
  std::vector<EPMapEntry> out(4);
  uint32_t count = 0;
  ASSERT_EQ(clip.parse(out, &count), kCPIOk);
  // Cut into the fine table.
  EXPECT_EQ(clip.parse(out, &count, nullptr, nullptr, int32_t(clip.bytes.size()) - 1), kCPIOutsideFile);
  // Cut into the header.
  EXPECT_EQ(clip.parse(out, &count, nullptr, nullptr, 59), kCPIOutsideFile);
  struct Damage {
    size_t at;
    uint32_t value;
  };
  for (Damage d : {Damage{16, 0xFFFFFFF0u}, Damage{16, uint32_t(clip.bytes.size()) - 10},
                   Damage{ClipImage::kCPI + 16, 0x7FFFFFFFu}, Damage{clip.mapStart, 0xFFFFFFFFu},
                   Damage{clip.mapStart, 0x80000000u}}) {
    SCOPED_TRACE(d.at);
    ClipImage bad = clip;
    put32(bad.bytes, d.at, d.value);
    EXPECT_EQ(bad.parse(out, &count), kCPIOutsideFile);
  }
  // Counts larger than the tables present.
  ClipImage many = clip;
  many.bytes[ClipImage::kCPI + 12] = 0xFF;  // coarse count
  EXPECT_EQ(many.parse(out, &count), kCPIOutsideFile);
  ClipImage manyFine = clip;
  manyFine.bytes[ClipImage::kCPI + 13] |= 3;  // fine count far beyond the file
  std::vector<EPMapEntry> lots(1 << 18);
  EXPECT_EQ(manyFine.parse(lots, &count), kCPIOutsideFile);
}

TEST(ClipInfo, PictureWidthFromExtensionData) {
  const uint32_t widths[7] = {0, 1920, 1440, 1280, 720, 0, 0};
  std::vector<EPMapEntry> out(1);
  uint32_t count, width;
  for (int code = 0; code < 7; ++code) {
    ClipImage clip({{0, 0, 0}}, {{0, 0}}, code);
    width = 99;
    ASSERT_EQ(clip.parse(out, &count, nullptr, &width), kCPIOk);
    EXPECT_EQ(width, widths[code]) << code;
  }
  // No extension data (address 0, the header's "HDMV" read as a length), a
  // length of 0, or an extension pointing outside: width 0, the map still read.
  ClipImage none({{0, 0, 0}}, {{0, 0}}, -1);
  width = 99;
  EXPECT_EQ(none.parse(out, &count, nullptr, &width), kCPIOk);
  EXPECT_EQ(width, 0u);
  ClipImage zero({{0, 0, 0}}, {{0, 0}}, 1);
  put32(zero.bytes, zero.extStart, 0);
  EXPECT_EQ(zero.parse(out, &count, nullptr, &width), kCPIOk);
  EXPECT_EQ(width, 0u);
  for (size_t field : {size_t(0), size_t(4), size_t(16)}) {
    ClipImage outside({{0, 0, 0}}, {{0, 0}}, 1);
    put32(outside.bytes, field == 0 ? 24 : outside.extStart + field, 0xFFFFFF00u);
    width = 99;
    EXPECT_EQ(outside.parse(out, &count, nullptr, &width), kCPIOk);
    EXPECT_EQ(width, 0u);
  }
}

}  // namespace
