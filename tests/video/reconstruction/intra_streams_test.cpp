// Whole intra-only streams through the decoder's public calls, picture by
// picture against the reference decoder's output: with the in-loop filter
// skipped (decode flag 4) and with it. The references are committed in
// tests/data/reconstruction (made by its make.sh).
// Streams with inter pictures are checked on their first output picture,
// which is an intra picture.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "AVCHDVideoDecoder.h"
#include "md5.h"
#include "testsupport.h"

namespace {

std::vector<std::string> reference_hashes(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    std::string h = line.substr(comma + 1);
    while (!h.empty() && (h[0] == ' ')) h.erase(h.begin());
    while (!h.empty() && (h.back() == '\r' || h.back() == ' ')) h.pop_back();
    out.push_back(h);
  }
  return out;
}

// Per-picture MD5s of the decoded output (planar 4:2:0, cropped); with
// `first`, the first picture's bytes and size are kept too.
struct FirstPicture {
  std::vector<uint8_t> bytes;
  int width = 0, height = 0;
};
std::vector<std::string> decode(const std::vector<uint8_t>& data, uint32_t decodeFlags, int threads,
                                size_t maxPictures = SIZE_MAX, FirstPicture* first = nullptr) {
  std::vector<std::string> out;
  VideoDecoderParams params;
  if (AVCHDGetVideoDecoderInfoLib(&params, data.data(), static_cast<int32_t>(data.size())) != 0) return out;
  params.outputFormat = 3;
  params.threads = static_cast<uint8_t>(threads);
  params.timeoutMs = 60000;
  params.flags = 0;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  if (!dec) return out;
  const int32_t frameBytes = AVCHDVideoDecoderGetFrameBufferSizeLib(&params);
  std::vector<uint8_t> picture(static_cast<size_t>(frameBytes) + 64);
  int32_t eos = 0;
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, picture.data(), data.data(), static_cast<uint32_t>(data.size()), 0,
                                          decodeFlags);
  for (;;) {
    if (st & kStatusPicture) {
      out.push_back(md5_hex(picture.data(), static_cast<size_t>(frameBytes)));
      if (first && out.size() == 1) {
        first->bytes.assign(picture.begin(), picture.begin() + frameBytes);
        first->width = params.outputWidth;
        first->height = params.outputHeight;
      }
    }
    if ((st & (kStatusError | kStatusEndOfStream)) || out.size() >= maxPictures) break;
    if (st & kStatusNeedInput) eos = 1;
    st = AVCHDDecodeVideoStreamLib(dec, picture.data(), nullptr, 0, eos, decodeFlags);
  }
  AVCHDCloseVideoDecoderLib(dec);
  return out;
}

void check_stream(const std::string& name, const std::vector<uint8_t>& data) {
  for (const bool deblock : {false, true}) {
    const std::string ref = testsupport::read_text(
        testsupport::local_data_file("reconstruction/" + name + (deblock ? ".framemd5" : ".nodeblock.framemd5")));
    const std::vector<std::string> want = reference_hashes(ref);
    for (int threads : {1, 0}) {
      const std::vector<std::string> got = decode(data, deblock ? 0u : 4u, threads);
      ASSERT_EQ(got.size(), want.size()) << name << (deblock ? "" : " without deblocking") << " threads " << threads;
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], want[i]) << name << (deblock ? "" : " without deblocking") << " picture " << i;
    }
  }
}

TEST(IntraStreams, ConformanceIntraOnlyStreams) {
  for (const char* name : {"BAMQ1_J_C", "CABA1_SVA_B", "CANL1_SVA_B", "CANL1_T_G", "CANL2_SVA_B", "NLMQ1_J_C",
                           "SVA_BA1_B", "SVA_NL1_B"}) {
    AVCHD_REQUIRE_TESTDATA(path, std::string("h264-conformance/") + name + ".264");
    check_stream(name, testsupport::read_file(path));
  }
}

TEST(IntraStreams, Intra1080) {
  check_stream("intra1080", testsupport::read_file(testsupport::local_data_file("reconstruction/intra1080.264")));
}

// MD5 of the even lines of every plane of a planar 4:2:0 picture.
std::string top_field_md5(const FirstPicture& p) {
  Md5 md5;
  const uint8_t* plane = p.bytes.data();
  for (int c = 0; c < 3; ++c) {
    const int w = c ? p.width / 2 : p.width, h = c ? p.height / 2 : p.height;
    for (int y = 0; y < h; y += 2) md5.update(plane + static_cast<size_t>(y) * w, static_cast<size_t>(w));
    plane += static_cast<size_t>(w) * h;
  }
  return md5.hex();
}

// Each line of the list: stream and the MD5 of its first picture (or of the
// top field of its first frame).
void check_first(const char* list, bool topField) {
  std::istringstream in(testsupport::read_text(testsupport::local_data_file(list)));
  std::string name, hash;
  int checked = 0;
  std::string missing;  // the first stream absent, for the skip message
  while (in >> name >> hash) {
    // A made feature clip is not the one whose first picture is listed.
    if (name.rfind("h264-features/", 0) == 0 && testsupport::made_material()) continue;
    const std::string path = testsupport::testdata_file(name + ".264");
    if (path.empty() && missing.empty()) missing = name + ".264";
    if (path.empty()) continue;
    FirstPicture first;
    const std::vector<std::string> got = decode(testsupport::read_file(path), 0, 1, 1, &first);
    ASSERT_FALSE(got.empty()) << name;
    EXPECT_EQ(topField ? top_field_md5(first) : got[0], hash) << name;
    ++checked;
  }
  if (checked > 0) return;
  if (missing.empty()) AVCHD_REQUIRE_SHARED_MATERIAL();  // every listed stream is a made clip
  GTEST_SKIP() << "test material missing: " << missing << " (set AVCHD_TESTDATA to the folder holding it)";
}

TEST(IntraStreams, FirstPictures) { check_first("reconstruction/first_pictures.txt", false); }

// Field pictures: the intra field of each stream's first frame.
TEST(IntraStreams, FirstIntraFields) { check_first("reconstruction/first_fields.txt", true); }

}  // namespace
