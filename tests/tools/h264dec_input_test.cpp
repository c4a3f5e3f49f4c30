// h264dec's chunked input: whatever the chunk size, the pictures are those
// of the reference decoder, also when the first sequence parameter set lies
// beyond the first chunk.
#include "h264dec_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "md5.h"
#include "testsupport.h"

namespace {

std::vector<std::string> reference_md5s(const std::string& framemd5) {
  std::vector<std::string> out;
  std::istringstream in(testsupport::read_text(framemd5));
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') out.push_back(line.substr(line.rfind(' ') + 1));
  return out;
}

// Per-picture MD5s of `path` decoded through the chunked input.
std::vector<std::string> decode_in_chunks(const std::string& path, size_t chunk, uint8_t threads) {
  h264dec::ChunkedStream stream(chunk);
  std::string problem;
  VideoDecoderParams params{};
  int32_t info = -1;
  EXPECT_TRUE(stream.Open(path.c_str(), &problem) && stream.ReadParameters(&params, &info, &problem)) << problem;
  EXPECT_EQ(0, info);
  params.outputFormat = 3;
  params.threads = threads;
  params.timeoutMs = 20000;
  VideoDecoder* dec = AVCHDOpenVideoDecoderLib(&params);
  EXPECT_NE(nullptr, dec);
  if (!dec) return {};
  const size_t bytes = static_cast<size_t>(AVCHDVideoDecoderGetFrameBufferSizeLib(&params));
  std::vector<uint8_t> picture(bytes);
  std::vector<std::string> md5s;
  uint32_t status = 0;
  // As the tool reads: each parameter set looked at whole, in any chunks (the
  // stream keeps its size, so no decoder is opened anew).
  stream.ReopenForLargerPictures(params, [](const VideoDecoderParams&, VideoDecoder**, uint8_t**, std::string*) {
    return false;
  });
  EXPECT_TRUE(stream.Decode(dec, picture.data(), 0, [&] {
    md5s.push_back(md5_hex(picture.data(), bytes));
    return true;
  }, &status,
                            &problem));
  EXPECT_EQ(kStatusEndOfStream, status & (kStatusEndOfStream | kStatusError));
  AVCHDCloseVideoDecoderLib(dec);
  return md5s;
}

TEST(H264decInput, AnyChunkSizeGivesTheReferencePictures) {
  struct Case {
    const char* stream;
    std::vector<size_t> chunks;
  };
  const Case cases[] = {
      {"inter/b_temporal_cabac", {1, 7, 4096, h264dec::kChunkBytes}},
      {"inter/bench1080", {4093, 65536, h264dec::kChunkBytes}},
  };
  for (const Case& c : cases) {
    const std::string base = testsupport::local_data_file(c.stream);
    const std::vector<std::string> expected = reference_md5s(base + ".framemd5");
    ASSERT_FALSE(expected.empty()) << c.stream;
    for (size_t chunk : c.chunks)
      for (uint8_t threads : {1, 4})
        EXPECT_EQ(expected, decode_in_chunks(base + ".264", chunk, threads))
            << c.stream << ", chunks of " << chunk << ", " << int{threads} << " workers";
  }
}

TEST(H264decInput, ParametersAreFoundBeyondTheFirstChunk) {
  const std::string base = testsupport::local_data_file("inter/b_temporal_cabac");
  std::vector<uint8_t> bytes(10000, 0xA5);  // no start code in it
  const std::vector<uint8_t> stream = testsupport::read_file(base + ".264");
  bytes.insert(bytes.end(), stream.begin(), stream.end());
  const std::string path = ::testing::TempDir() + "h264dec_input_" + std::to_string(getpid()) + ".264";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
  EXPECT_EQ(reference_md5s(base + ".framemd5"), decode_in_chunks(path, 4096, 1));
  std::remove(path.c_str());
}

// An AVCHD recording whose pictures are written in decode order (picture
// timing) behind the picture still being parsed: one worker decodes it to
// the end, as several do (the cap on pictures in flight never stalls it).
TEST(H264decInput, RecordingDecodesToTheEndWithOneWorker) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_ac3_20_avchd.m2ts");
  const std::vector<std::string> several = decode_in_chunks(path, h264dec::kChunkBytes, 4);
  ASSERT_FALSE(several.empty());
  EXPECT_EQ(several, decode_in_chunks(path, h264dec::kChunkBytes, 1));
}

}  // namespace
