// h264dec's input: the stream read and fed to the decoder a chunk at a time.
#include "h264dec_input.h"

#include <algorithm>

#include "toolcli.h"

namespace h264dec {

namespace {

// A sequence parameter set is a few hundred bytes at most: one that runs
// on longer is handed over cut there.
constexpr size_t kLargestParameterSet = size_t{1} << 16;

constexpr size_t kNone = size_t(-1);

// Offset of the first start code (00 00 01) at or after `from` whose NAL unit
// header byte is held too and, with `type` set, is of that type; kNone when
// there is none.
size_t FindStartCode(const std::vector<uint8_t>& data, size_t from, int type) {
  for (size_t i = from; i + 3 < data.size(); ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (type < 0 || (data[i + 3] & 0x1F) == type))
      return i;
  return kNone;
}

}  // namespace

ChunkedStream::~ChunkedStream() {
  if (file_ && file_ != stdin) std::fclose(file_);
}

bool ChunkedStream::Open(const char* path, std::string* problem) {
  file_ = tools::OpenInput(path, problem);
  if (!file_) return false;
  if (!Append(chunk_)) *problem = "read error";
  else if (buffer_.empty()) *problem = "empty file";  // a pipe or device that gave nothing
  return problem->empty();
}

bool ChunkedStream::Append(size_t bytes) {
  if (ended_) return true;  // a terminal or a pipe is not asked again
  const size_t old = buffer_.size();
  buffer_.resize(old + bytes);
  const size_t n = std::fread(buffer_.data() + old, 1, bytes, file_);
  buffer_.resize(old + n);
  ended_ = n < bytes;
  return std::ferror(file_) == 0;
}

void ChunkedStream::FindLeadingJunk(size_t from) {
  if (junk_ != kUnknown) return;
  size_t start = FindStartCode(buffer_, from, -1);
  if (start == kNone) return;
  while (start > 0 && buffer_[start - 1] == 0) --start;  // leading zero bytes belong to the stream
  junk_ = erased_ + start;
}

bool ChunkedStream::ReadParameters(VideoDecoderParams* params, int32_t* result, std::string* problem) {
  size_t from = 0;  // the search for the set goes on here
  size_t start = kNone;
  while (FindLeadingJunk(from), (start = FindStartCode(buffer_, from, 7)) == kNone && !ended_) {
    from = buffer_.size() >= 3 ? buffer_.size() - 3 : 0;  // a start code may straddle the chunks
    if (from > kHeadBytes) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(from));
      erased_ += from;
      from = 0;
    }
    if (!Append(chunk_)) {
      *problem = "read error";
      return false;
    }
  }
  if (start == kNone) {  // none in the whole stream: the call says so
    *result = AVCHDGetVideoDecoderInfoLib(params, buffer_.data(), static_cast<int32_t>(buffer_.size()));
    return true;
  }
  // The set runs to the next start code, or to the end of the stream.
  size_t end = kNone;
  from = start + 3;
  while ((end = FindStartCode(buffer_, from, -1)) == kNone && !ended_ && buffer_.size() - start < kLargestParameterSet) {
    from = std::max(from, buffer_.size() - 3);
    if (!Append(chunk_)) {
      *problem = "read error";
      return false;
    }
  }
  // With the start code and header byte after it, so that the set ends
  // where it does within the whole stream (trailing zero bytes are not its).
  end = std::min({end == kNone ? end : end + 4, buffer_.size(), start + kLargestParameterSet});
  *result = AVCHDGetVideoDecoderInfoLib(params, buffer_.data() + start, static_cast<int32_t>(end - start));
  return true;
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
