// Input side of h264dec: the stream is read a chunk at a time and fed to the
// decoder whenever it asks for more. The decoder copies every NAL unit it
// takes (a unit may span chunks), so one chunk buffer serves the whole
// stream and the input never has to be in memory at once: memory stays the
// same whatever its length, and a pipe serves as well as a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "AVCHDVideoDecoder.h"

namespace h264dec {

constexpr size_t kChunkBytes = size_t{1} << 20;

class ChunkedStream {
 public:
  explicit ChunkedStream(size_t chunkBytes = kChunkBytes) : chunk_(chunkBytes ? chunkBytes : 1) {}
  ~ChunkedStream();
  ChunkedStream(const ChunkedStream&) = delete;
  ChunkedStream& operator=(const ChunkedStream&) = delete;

  // Opens the input ("-": standard input) and reads its first chunk. False
  // with `problem` set ("no such file", "is a directory", "empty file",
  // "read error", ...).
  bool Open(const char* path, std::string* problem);

  // Reads on to the stream's first sequence parameter set and returns the
  // stream information call's result for it (0: `params` filled; 9 when the
  // stream has none or the decoder cannot use it). Of the bytes before the
  // set only the last kHeadBytes are kept for the decoder: they hold no
  // parameter set, so nothing before them could be decoded. False with
  // `problem` set when the input could not be read.
  bool ReadParameters(VideoDecoderParams* params, int32_t* result, std::string* problem);

  // What is held so far: after Open the stream's first chunk.
  const std::vector<uint8_t>& Head() const { return buffer_; }

  // Bytes before the stream's first start code that are not the zero bytes
  // a stream may begin with: junk the decoder skips. Known once
  // ReadParameters has returned.
  uint64_t LeadingJunk() const { return junk_ == kUnknown ? 0 : junk_; }
  // IDR pictures lost at the starts of larger pictures (a stream joined on
  // at an I picture without a recovery point, which a decoder opened anew
  // cannot tell from a stream that begins there).
  uint32_t IdrPicturesLost() const { return idrPicturesLost_; }

  // Decodes the whole stream through `dec`: the bytes held, then one chunk
  // at a time. `onPicture` is called for every picture written to
  // `picture`; when it returns false decoding stops there (the pictures
  // cannot be written). Returns the last status of the decoder (end of stream, or
  // with the error bit); false instead when the input could not be read.
  bool Decode(VideoDecoder* dec, uint8_t* picture, uint32_t decodeFlags, const std::function<bool()>& onPicture,
              uint32_t* status, std::string* problem);

  static constexpr size_t kHeadBytes = size_t{4} << 20;

  // A decoder holds pictures of the size it was opened for and smaller ones.
  // Once set, Decode looks at every sequence parameter set before handing it
  // over: where one is for larger pictures than `opened`, the decoder gets
  // the stream up to that set and its end (so every picture before it is
  // output at its own size), then `reopen` replaces `*dec` and `*picture` by
  // a decoder opened for `next` and its picture buffer, which goes on from
  // that set. `reopen` returns false (with `*problem` set) when it cannot.
  using Reopen = std::function<bool(const VideoDecoderParams& next, VideoDecoder** dec, uint8_t** picture,
                                    std::string* problem)>;
  void ReopenForLargerPictures(const VideoDecoderParams& opened, Reopen reopen) {
    opened_ = opened;
    reopen_ = std::move(reopen);
  }

 private:
  // Appends up to `bytes` from the input to buffer_; false on a read error.
  bool Append(size_t bytes);

  // End of the next piece to hand over from `from`: before the start code of
  // a unit that may not be complete yet, and before a sequence parameter set
  // for larger pictures (then `*next` holds its parameters and `*larger` is
  // set). False on a read error.
  bool NextPiece(size_t from, size_t* end, VideoDecoderParams* next, bool* larger);
  // Whether a stream starts with the set at `set`: the first slice after it
  // is an IDR slice or the first I slice of a picture (a stream that begins
  // at a recovery point or without an IDR picture), or, after P or B
  // pictures (a stream joined on without its IDR picture), the first I
  // picture that uses the set. Read on as far as a parameter set's length,
  // past such pictures as far as kHeadBytes, when needed. `*losesIdr`: it
  // starts at an I picture that no recovery point comes before.
  bool StartFollows(size_t set, bool* losesIdr);

  // Notes where the first start code is, once buffer_ holds it (searched
  // from `from` on: the bytes before hold none).
  void FindLeadingJunk(size_t from);

  static constexpr uint64_t kUnknown = ~uint64_t{0};
  uint64_t erased_ = 0;       // bytes of the stream dropped from the front of buffer_
  uint64_t junk_ = kUnknown;  // LeadingJunk, once known
  FILE* file_ = nullptr;
  bool ended_ = false;  // the input gave all it has
  std::vector<uint8_t> buffer_;
  size_t chunk_;
  VideoDecoderParams opened_{};
  Reopen reopen_;
  bool nextLosesIdr_ = false;  // of the larger pictures found last
  uint32_t idrPicturesLost_ = 0;
};

}  // namespace h264dec
