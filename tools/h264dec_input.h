// Input side of h264dec: the stream is read a chunk at a time and fed to the
// decoder whenever it asks for more. The decoder copies every NAL unit it
// takes (a unit may span chunks), so one chunk buffer serves the whole
// stream and the file never has to be in memory at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "AVCHDVideoDecoder.h"

namespace h264dec {

constexpr size_t kChunkBytes = size_t{1} << 20;

// The size of the packets (188, or 192 with an arrival time before each)
// when `data` starts as an MPEG transport stream, with the sync byte 0x47 at
// the start of each of its first packets (up to eight, at least two); else 0.
size_t TransportStreamPacketSize(const uint8_t* data, size_t size);

class ChunkedStream {
 public:
  explicit ChunkedStream(size_t chunkBytes = kChunkBytes) : chunk_(chunkBytes ? chunkBytes : 1) {}
  ~ChunkedStream();
  ChunkedStream(const ChunkedStream&) = delete;
  ChunkedStream& operator=(const ChunkedStream&) = delete;

  // False with `problem` set ("no such file", "is a directory", ...).
  bool Open(const char* path, std::string* problem);

  // Reads the start of the stream until it holds a sequence parameter set
  // the decoder can be opened for (doubling what is read each time) or the
  // stream ends; returns the stream information call's result (0: `params`
  // filled). False with `problem` set when the file could not be read or
  // is empty.
  bool ReadParameters(VideoDecoderParams* params, int32_t* result, std::string* problem);

  // What was read so far (after ReadParameters: the stream's start).
  const std::vector<uint8_t>& Head() const { return buffer_; }

  // Decodes the whole stream through `dec`: the bytes read so far, then
  // one chunk at a time. `onPicture` is called for every picture written to
  // `picture`; when it returns false decoding stops there (the pictures
  // cannot be written). Returns the last status of the decoder (end of stream, or
  // with the error bit); false instead when the file could not be read.
  bool Decode(VideoDecoder* dec, uint8_t* picture, uint32_t decodeFlags, const std::function<bool()>& onPicture,
              uint32_t* status, std::string* problem);

 private:
  // Appends up to `bytes` from the file to buffer_; false on a read error.
  bool Append(size_t bytes);

  FILE* file_ = nullptr;
  std::vector<uint8_t> buffer_;
  size_t chunk_;
};

}  // namespace h264dec
