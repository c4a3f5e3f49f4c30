// The stream call on arbitrary bytes, offered in pieces whose sizes the input
// chooses: no access outside the buffers, every call makes progress, and the
// PES that come out (bytes and time stamps) are the same as when the whole
// input is offered in one piece.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "TSDemuxer.h"

namespace {

struct Pes {
  uint32_t kind;
  std::vector<uint8_t> bytes;
  int64_t PTS, DTS;
  bool operator!=(const Pes& o) const { return kind != o.kind || bytes != o.bytes || PTS != o.PTS || DTS != o.DTS; }
};

// Offers `data` in pieces of the sizes `pieces` gives (cycled), each piece
// copied to a buffer of its own exact size.
std::vector<Pes> demux(const uint8_t* data, size_t size, const uint8_t* pieces, size_t pieceCount) {
  std::vector<Pes> got;
  TSDemuxContext* ctx = TSOpenDemuxLib();
  if (ctx == nullptr) std::abort();
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  const uint8_t none = 0;
  size_t pos = 0, piece = 0, idle = 0;
  for (;;) {
    uint32_t status;
    if (out.status & kTSStatusNeedInput) {
      if (pos == size) break;
      size_t n = size - pos < 0x2d000 ? size - pos : 0x2d000;  // the components' chunk at most
      if (pieceCount > 0) {
        const size_t want = 1 + size_t(pieces[piece++ % pieceCount]) * 3;
        if (want < n) n = want;
      }
      std::vector<uint8_t> copy(data + pos, data + pos + n);
      status = TSDemuxStreamLib(copy.data(), int32_t(n), &out, ctx);
      pos += n;
      idle = 0;
    } else {
      status = TSDemuxStreamLib(&none, 0, &out, ctx);
      if (++idle > size / 188 + 4) std::abort();  // draining must end
    }
    if (status & (kTSStatusVideo | kTSStatusAudio)) {
      const bool video = (status & kTSStatusVideo) != 0;
      const uint8_t* p = video ? out.pVideo : out.pAudio;
      const int32_t n = video ? out.videoSize : out.audioSize;
      if (n < 0 || n > (video ? kTSVideoBufferSize : kTSAudioBufferSize)) std::abort();
      got.push_back({status & (kTSStatusVideo | kTSStatusAudio), std::vector<uint8_t>(p, p + n), out.PTS, out.DTS});
    }
  }
  TSDemuxPending pending{};
  if (TSDemuxGetPendingLib(ctx, &pending) != 1 || pending.heldBytes < 0) std::abort();
  TSCloseDemuxLib(ctx);
  return got;
}

}  // namespace

// Input: one byte giving the number of piece sizes, those sizes, then the
// stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 19)) return 0;
  const size_t pieceCount = data[0] % 16;
  if (size < 1 + pieceCount) return 0;
  const uint8_t* pieces = data + 1;
  const uint8_t* stream = data + 1 + pieceCount;
  const size_t streamSize = size - 1 - pieceCount;
  const auto whole = demux(stream, streamSize, nullptr, 0);
  const auto cut = demux(stream, streamSize, pieces, pieceCount);
  if (whole.size() != cut.size()) std::abort();
  for (size_t i = 0; i < whole.size(); ++i)
    if (whole[i] != cut[i]) std::abort();
  return 0;
}
