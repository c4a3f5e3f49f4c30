// h264dec's input: the stream read and fed to the decoder a chunk at a time.
#include "h264dec_input.h"

#include <cerrno>
#include <cstring>

#include "toolcli.h"

namespace h264dec {

namespace {

// The decoder's length arguments are 32-bit: the search for the parameters
// stops growing its buffer here.
constexpr size_t kLargestHead = size_t{1} << 30;

}  // namespace

size_t TransportStreamPacketSize(const uint8_t* data, size_t size) {
  for (const size_t packet : {size_t{188}, size_t{192}}) {
    const size_t sync = packet - 188;  // the sync byte follows the arrival time
    size_t seen = 0;
    while (seen < 8 && (seen + 1) * packet <= size && data[seen * packet + sync] == 0x47) ++seen;
    if (seen >= 2 && (seen == 8 || (seen + 1) * packet > size)) return packet;
  }
  return 0;
}

ChunkedStream::~ChunkedStream() {
  if (file_) std::fclose(file_);
}

bool ChunkedStream::Open(const char* path, std::string* problem) {
  *problem = tools::InputProblem(path);
  if (!problem->empty()) return false;
  file_ = std::fopen(path, "rb");
  if (!file_) *problem = std::strerror(errno);
  return file_ != nullptr;
}

bool ChunkedStream::Append(size_t bytes) {
  const size_t old = buffer_.size();
  buffer_.resize(old + bytes);
  const size_t n = std::fread(buffer_.data() + old, 1, bytes, file_);
  buffer_.resize(old + n);
  return std::ferror(file_) == 0;
}

bool ChunkedStream::ReadParameters(VideoDecoderParams* params, int32_t* result, std::string* problem) {
  size_t want = chunk_;
  for (;;) {
    if (!Append(want - buffer_.size())) {
      *problem = "read error";
      return false;
    }
    if (buffer_.empty()) {
      *problem = "empty file";  // a pipe or device that gave nothing
      return false;
    }
    *result = AVCHDGetVideoDecoderInfoLib(params, buffer_.data(), static_cast<int32_t>(buffer_.size()));
    if (*result == 0 || buffer_.size() < want || want >= kLargestHead) return true;
    want *= 2;
  }
}

bool ChunkedStream::Decode(VideoDecoder* dec, uint8_t* picture, uint32_t decodeFlags,
                           const std::function<bool()>& onPicture, uint32_t* status, std::string* problem) {
  bool end = false;
  uint32_t st = AVCHDDecodeVideoStreamLib(dec, picture, buffer_.data(), static_cast<uint32_t>(buffer_.size()), 0,
                                          decodeFlags);
  for (;;) {
    if ((st & kStatusPicture) && !onPicture()) break;
    if (st & (kStatusError | kStatusEndOfStream)) break;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    // The decoder asks for more only once it has taken every byte given.
    if ((st & kStatusNeedInput) && !end) {
      buffer_.clear();
      if (buffer_.capacity() > 2 * chunk_) buffer_.shrink_to_fit();  // the search for the parameters read far
      if (!Append(chunk_)) {
        *problem = "read error";
        *status = st;
        return false;
      }
      end = buffer_.empty();
      data = end ? nullptr : buffer_.data();
      length = static_cast<uint32_t>(buffer_.size());
    }
    st = AVCHDDecodeVideoStreamLib(dec, picture, data, length, end ? 1 : 0, decodeFlags);
  }
  *status = st;
  return true;
}

}  // namespace h264dec
