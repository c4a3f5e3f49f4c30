// ac3_strip_dither IN.ac3 OUT.ac3: rewrites an AC-3 elementary stream with
// every dithflag cleared and both CRCs recomputed.
//
// Test tooling for tests/data/ac3/make.sh. Dither fills zero-bit mantissas
// with each decoder's own random sequence, so two correct decoders differ
// wherever the encoder left bins without bits. With the flags cleared those
// bins decode to zero in every decoder, and the reference decoder's output
// can be compared with ours within rounding.
#include <cstdio>
#include <vector>

#include "AC3DecState.h"
#include "ac3_test_util.h"

using namespace ac3dec;

namespace {

void ClearBit(uint8_t* frame, int64_t bit) { frame[bit >> 3] &= uint8_t(~(0x80 >> (bit & 7))); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ac3_strip_dither IN.ac3 OUT.ac3\n");
    return 2;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (!in) return 1;
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(in);

  AC3DecState* s = AC3DecInitLib();
  size_t pos = 0;
  int frames = 0;
  while (pos < data.size()) {
    AC3BitReader r;
    InitBitReader(&r, data.data() + pos, int32_t(data.size() - pos));
    if (GetSynch(&r) != kOk || r.syncStart != r.base) break;  // frames must be contiguous
    if (ParseSyncInfo(s, &r) != kOk) break;
    const int32_t words = int32_t(s->sync.frameWords);
    if (int64_t(words) * 2 > int64_t(data.size() - pos)) break;
    s->bsi = AC3Bsi();
    if (ParseBsi(s, &r) != kOk) break;
    s->outFormat.acmod = s->bsi.acmod;
    s->outFormat.lfe = s->bsi.lfeon;
    std::vector<int64_t> dithBits;
    bool ok = true;
    for (uint32_t blk = 0; blk < kBlocksPerFrame && ok; ++blk) {
      const int64_t start = BitsRead(&r);
      for (uint32_t ch = 0; ch < s->bsi.nfchans; ++ch) dithBits.push_back(start + s->bsi.nfchans + ch);
      ok = ParseAudblk(blk, s, &r) == kOk && DecodeExponents(s) == kOk && BitAllocation(s) == kOk &&
           DecodeMantissas(s, &r) == kOk;
    }
    if (!ok) break;
    uint8_t* frame = data.data() + pos;
    for (int64_t bit : dithBits) ClearBit(frame, bit);
    ac3test::FixFrameCrcs(frame, words);
    pos += size_t(2 * words);
    ++frames;
  }
  AC3DecCloseLib(s);
  if (pos != data.size()) {
    std::fprintf(stderr, "ac3_strip_dither: stopped at byte %zu of %zu\n", pos, data.size());
    return 1;
  }
  FILE* out = std::fopen(argv[2], "wb");
  if (!out || std::fwrite(data.data(), 1, data.size(), out) != data.size()) return 1;
  std::fclose(out);
  std::fprintf(stderr, "ac3_strip_dither: %d frames\n", frames);
  return 0;
}
