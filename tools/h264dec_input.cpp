// h264dec's input: the stream read and fed to the decoder a chunk at a time.
#include "h264dec_input.h"

#include <algorithm>
#include <bitset>

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

// Bytes from a unit's start code on that hold the codes StartFollows reads
// (00 00 01, the header byte, then at most three short exp-Golomb codes, or
// a sequence parameter set's three bytes and its id) as long as they are
// the small values a stream's start has.
constexpr size_t kUnitStartBytes = 10;

// Exp-Golomb codes at the start of a NAL unit's payload. Codes of 16
// leading zero bits or more are refused: before them no emulation
// prevention byte can come, so the bytes are the payload's.
class LeadingCodes {
 public:
  LeadingCodes(const std::vector<uint8_t>& data, size_t from) : data_(data), from_(from) {}
  bool Skip(size_t bits) {
    bit_ += bits;
    return from_ + (bit_ + 7) / 8 <= data_.size();
  }
  bool Ue(uint32_t* v) {
    uint32_t zeros = 0;
    int b = 0;
    while ((b = Next()) == 0 && zeros < 15) ++zeros;
    if (b != 1) return false;
    uint32_t value = 0;
    for (uint32_t i = 0; i < zeros; ++i) {
      if ((b = Next()) < 0) return false;
      value = value << 1 | static_cast<uint32_t>(b);
    }
    *v = (1u << zeros) - 1 + value;
    return true;
  }

 private:
  int Next() {
    const size_t byte = from_ + bit_ / 8;
    if (byte >= data_.size()) return -1;
    return data_[byte] >> (7 - bit_++ % 8) & 1;
  }
  const std::vector<uint8_t>& data_;
  size_t from_;
  size_t bit_ = 0;
};

constexpr uint32_t kNoId = ~0u;

// The parameter set id of the sequence parameter set whose start code is
// at `at`, or the picture parameter set id (with its sequence parameter
// set's in `*spsId`); kNoId when it cannot be read.
uint32_t SetId(const std::vector<uint8_t>& data, size_t at, uint32_t* spsId) {
  LeadingCodes r(data, at + 4);
  uint32_t id = kNoId;
  if ((data[at + 3] & 0x1F) == 7) return r.Skip(24) && r.Ue(&id) ? id : kNoId;
  return r.Ue(&id) && r.Ue(spsId) ? id : kNoId;
}

// Whether the slice header at `from` begins an I picture: first_mb_in_slice
// 0, slice_type 2 or 7; its pic_parameter_set_id in `*ppsId`.
bool IntraPictureStart(const std::vector<uint8_t>& data, size_t from, uint32_t* ppsId) {
  LeadingCodes r(data, from);
  uint32_t firstMb = 0, sliceType = 0;
  if (!r.Ue(&firstMb) || firstMb != 0 || !r.Ue(&sliceType) || !r.Ue(ppsId)) return false;
  return sliceType == 2 || sliceType == 7;
}

// Whether the SEI unit whose start code is at `at` holds a recovery point.
// Payload types and sizes are read as the bytes come (the payloads skipped
// may hold emulation prevention bytes: the answer is then a guess, which
// only decides whether a joined stream's IDR picture is said to be lost).
bool HoldsRecoveryPoint(const std::vector<uint8_t>& data, size_t at) {
  const size_t next = FindStartCode(data, at + 3, -1);
  const size_t stop = next == kNone ? data.size() : next;
  size_t i = at + 4;
  const auto value = [&](uint32_t* v) {
    *v = 0;
    while (i < stop && data[i] == 0xFF) *v += data[i++];
    if (i >= stop) return false;
    *v += data[i++];
    return true;
  };
  uint32_t type = 0, size = 0;
  while (i < stop && data[i] != 0x80 && value(&type) && value(&size)) {
    if (type == 6) return true;
    i += size;
  }
  return false;
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
  for (;;) {
    FindLeadingJunk(from);
    start = FindStartCode(buffer_, from, 7);
    if (start != kNone || ended_) break;
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

bool ChunkedStream::NextPiece(size_t from, size_t* end, VideoDecoderParams* next, bool* larger) {
  *larger = false;
  *end = buffer_.size();
  if (!reopen_) return true;
  // Sets are looked at whole: a sequence parameter set that may not be
  // complete yet (the last unit held), or the bytes of a start code the
  // chunk's end may cut, wait for the next chunk.
  while (!ended_) {
    size_t last = buffer_.size() >= 4 ? buffer_.size() - 4 : 0;
    while (last > from && !(buffer_[last] == 0 && buffer_[last + 1] == 0 && buffer_[last + 2] == 1)) --last;
    const bool set = last > from && (buffer_[last + 3] & 0x1F) == 7;
    *end = set ? last : std::max(from, buffer_.size() >= 3 ? buffer_.size() - 3 : 0);
    if (*end > from) break;
    if (!Append(chunk_)) return false;
    *end = buffer_.size();
  }
  for (size_t set = FindStartCode(buffer_, from, 7); set != kNone && set < *end; set = FindStartCode(buffer_, set + 3, 7)) {
    // With the next start code and its header byte, as for the first set.
    const size_t stop = FindStartCode(buffer_, set + 3, -1);
    VideoDecoderParams p{};
    if (AVCHDGetVideoDecoderInfoLib(&p, buffer_.data() + set,
                                    static_cast<int32_t>((stop == kNone ? buffer_.size() : stop + 4) - set)) != 0)
      continue;
    const bool bigger = p.codedWidth > opened_.codedWidth || p.codedHeight > opened_.codedHeight ||
                        p.outputWidth > opened_.outputWidth || p.outputHeight > opened_.outputHeight;
    // A new size comes with a stream's start: a set that none follows (one
    // no slice uses, a damaged one, or one of a stream joined on without its
    // start) is left to the decoder, which leaves its pictures out.
    if (bigger && StartFollows(set, &nextLosesIdr_)) {
      *end = set;
      *next = p;
      *larger = true;
      break;
    }
  }
  return true;
}

bool ChunkedStream::StartFollows(size_t set, bool* losesIdr) {
  *losesIdr = false;
  bool recovery = false;  // a recovery point came before the I picture
  uint32_t unused = 0;
  const uint32_t spsId = SetId(buffer_, set, &unused);
  // The picture parameter sets sent after the set that name it.
  std::bitset<256> named;
  // A stream joined on without its IDR picture begins with P or B pictures
  // before its first I picture: that picture starts it, when it uses the
  // set. The search reads on as far as the bytes held before a stream's
  // first set.
  bool afterOthers = false;
  for (size_t at = set + 3;; at += 3) {
    const size_t reach = afterOthers ? kHeadBytes : kLargestParameterSet;
    size_t found = kNone;
    while (((found = FindStartCode(buffer_, at, -1)) == kNone || found + kUnitStartBytes > buffer_.size()) &&
           !ended_ && buffer_.size() - set < reach) {
      at = found != kNone ? found : std::max(set + 3, buffer_.size() - 3);
      if (!Append(chunk_)) return false;
    }
    at = found;
    if (at == kNone || (afterOthers && at - set >= reach)) return false;
    const int type = buffer_[at + 3] & 0x1F;
    uint32_t ppsId = kNoId, ppsSpsId = kNoId;
    if (type == 5) return true;
    if (type == 6 && HoldsRecoveryPoint(buffer_, at)) recovery = true;
    if (afterOthers && type == 7 && SetId(buffer_, at, &unused) == spsId) return false;  // a later copy decides
    if (type == 8 && (ppsId = SetId(buffer_, at, &ppsSpsId)) < named.size()) named[ppsId] = ppsSpsId == spsId;
    if (type != 1) continue;
    if (IntraPictureStart(buffer_, at + 4, &ppsId)) {
      *losesIdr = !recovery;
      return !afterOthers || (ppsId < named.size() && named[ppsId]);
    }
    afterOthers = true;
  }
}

bool ChunkedStream::Decode(VideoDecoder* dec, uint8_t* picture, uint32_t decodeFlags,
                           const std::function<bool()>& onPicture, uint32_t* status, std::string* problem) {
  size_t given = 0;     // bytes of buffer_ handed over
  bool larger = false;  // they end where a set for larger pictures begins
  VideoDecoderParams next{};
  bool last = false;    // the end of the stream was given
  uint32_t st = 0;
  if (!NextPiece(0, &given, &next, &larger)) {
    *problem = "read error";
    *status = st;
    return false;
  }
  last = larger && given == 0;
  // What is held back is short: a chunk and it fit without moving.
  if (reopen_ && buffer_.capacity() < chunk_ + kLargestParameterSet) buffer_.reserve(chunk_ + kLargestParameterSet);
  st = AVCHDDecodeVideoStreamLib(dec, picture, last ? nullptr : buffer_.data(), static_cast<uint32_t>(given), last,
                                 decodeFlags);
  for (;;) {
    if ((st & kStatusPicture) && !onPicture()) break;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if ((st & kStatusEndOfStream) && larger) {
      // Every picture before the larger ones is out: the rest goes to a
      // decoder opened for them.
      if (!reopen_(next, &dec, &picture, problem)) {
        *status = st;
        return false;
      }
      opened_ = next;
      if (nextLosesIdr_) ++idrPicturesLost_;
      larger = last = false;
      st = kStatusNeedInput;
    } else if (st & (kStatusError | kStatusEndOfStream)) {
      break;
    }
    // The decoder asks for more only once it has taken every byte given.
    if ((st & kStatusNeedInput) && !last) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(given));
      if (buffer_.capacity() > 2 * chunk_ + kLargestParameterSet && buffer_.size() < chunk_) {
        buffer_.shrink_to_fit();  // the search for the parameters read far
        buffer_.reserve(chunk_ + kLargestParameterSet);
      }
      if (!Append(chunk_) || !NextPiece(0, &given, &next, &larger)) {
        *problem = "read error";
        *status = st;
        return false;
      }
      // The end of the stream, or of the part before larger pictures.
      last = given == 0;
      data = last ? nullptr : buffer_.data();
      length = static_cast<uint32_t>(given);
    }
    st = AVCHDDecodeVideoStreamLib(dec, picture, data, length, last ? 1 : 0, decodeFlags);
  }
  *status = st;
  return true;
}

}  // namespace h264dec
