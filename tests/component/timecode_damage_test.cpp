// Imports of damaged streams: a picture whose camera user data cannot be
// read keeps a time code that follows from its neighbours, and the import
// goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "importer_stream_kit.h"
#include "importer_test_util.h"

using namespace importer_test;

namespace {

constexpr int kPictures = 36;  // three groups of pictures

// Offset in `stream` of the camera user data's UUID of picture `picture`
// (decode order), or npos.
size_t CameraUuidOffset(const Bytes& stream, int picture) {
  static const uint8_t uuid[16] = {0x17, 0xEE, 0x8C, 0x60, 0xF8, 0x4D, 0x11, 0xD9,
                                   0x8C, 0xD6, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66};
  auto it = stream.begin();
  for (int k = 0;; ++k, ++it) {
    it = std::search(it, stream.end(), uuid, uuid + 16);
    if (it == stream.end()) return std::string::npos;
    if (k == picture) return size_t(it - stream.begin());
  }
}

}  // namespace

TEST(TimecodeDamage, PictureWithUnreadableCameraDataTakesItsNeighboursTimeCode) {
  struct Case {
    const char* what;
    std::vector<int> pictures;  // decode order
    int at;                     // byte to damage, from the UUID's start
    uint8_t value;              // written there
  };
  // The SEI payload: size byte, UUID (16), "MDPM", entry count, then the
  // time code entry 0x13 with frames, seconds, minutes, hours.
  const Case cases[] = {
      {"UUID of a P picture", {1}, 0, 0x18},
      {"UUID of a non-reference B picture", {2}, 15, 0x00},
      {"payload size of a B picture", {5}, -1, 0x02},
      {"UUID of a later I picture", {12}, 7, 0xFF},
      {"UUID of the last picture", {35}, 9, 0x00},
      {"time code out of range", {4}, 22, 0x39},
      {"time code of the first picture out of range", {0}, 22, 0x39},
      {"a run across a group boundary", {10, 11, 12, 13}, 3, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamOptions o;
    o.pictures = GopPattern(kPictures / 12);
    // 10:11:12:13: no two zero bytes in a row, so the SEI bytes stand
    // where they are written (no emulation prevention).
    o.timecodeStart = ((10 * 60 + 11) * 60 + 12) * 25 + 13;
    Bytes stream = MakeStream(o);
    for (int picture : c.pictures) {
      const size_t uuid = CameraUuidOffset(stream, picture);
      ASSERT_NE(uuid, std::string::npos);
      stream[size_t(long(uuid) + c.at)] = c.value;
    }
    ImportRun run;
    ImportFile(&run, WriteTempFile("damaged_sei.m2ts", stream));
    ASSERT_EQ(run.result, noErr);
    Track tc = FindTrack(run.movie, FOUR_CHAR_CODE("tmcd"));
    ASSERT_NE(tc, nullptr);
    std::vector<int64_t> expected(kPictures);
    std::iota(expected.begin(), expected.end(), int64_t(o.timecodeStart));
    EXPECT_EQ(TimecodeValues(run.store(), GetTrackMedia(tc)), expected);
    EXPECT_EQ(SampleReferences(GetTrackMedia(FindTrack(run.movie, FOUR_CHAR_CODE("vide")))).size(),
              size_t(kPictures));
  }
}
