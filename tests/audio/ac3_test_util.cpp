#include "ac3_test_util.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "AC3DecState.h"
#include "TSDemuxer.h"

namespace ac3test {

void BitWriter::put(uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    if ((bits_ & 7) == 0) bytes_.push_back(0);
    if ((value >> i) & 1) bytes_.back() |= uint8_t(0x80 >> (bits_ & 7));
    ++bits_;
  }
}

void BitWriter::align() {
  while (bits_ & 7) put(0, 1);
}

namespace {

// Chooses crc1 (bytes 2 and 3 of the frame) so that the CRC over the first
// `len1` bytes after the sync word is zero. The CRC is linear in the message
// bits, so the 16 bits of crc1 follow from a 16 × 16 system over GF(2).
void FixCrc1(uint8_t* frame, int32_t len1) {
  uint8_t* part = frame + 2;
  part[0] = part[1] = 0;
  const uint32_t target = ac3dec::crc16Check(part, len1);
  std::vector<uint8_t> probe(size_t(len1), 0);
  uint32_t column[16];
  for (int i = 0; i < 16; ++i) {
    probe[0] = probe[1] = 0;
    probe[i >> 3] = uint8_t(0x80 >> (i & 7));
    column[i] = ac3dec::crc16Check(probe.data(), len1);
  }
  // Row r: bit i is bit r of column[i]; bit 16 is bit r of the target.
  uint32_t rows[16];
  for (int r = 0; r < 16; ++r) {
    uint32_t row = ((target >> r) & 1) << 16;
    for (int i = 0; i < 16; ++i) row |= ((column[i] >> r) & 1) << i;
    rows[r] = row;
  }
  int rank = 0;
  int pivotRow[16];
  for (int i = 0; i < 16; ++i) {
    pivotRow[i] = -1;
    for (int r = rank; r < 16; ++r) {
      if (!((rows[r] >> i) & 1)) continue;
      std::swap(rows[r], rows[rank]);
      for (int o = 0; o < 16; ++o)
        if (o != rank && ((rows[o] >> i) & 1)) rows[o] ^= rows[rank];
      pivotRow[i] = rank++;
      break;
    }
  }
  uint32_t crc1 = 0;
  for (int i = 0; i < 16; ++i)
    if (pivotRow[i] >= 0 && ((rows[pivotRow[i]] >> 16) & 1)) crc1 |= 0x8000u >> i;
  part[0] = uint8_t(crc1 >> 8);
  part[1] = uint8_t(crc1);
}

}  // namespace

void FixFrameCrcs(uint8_t* frame, int32_t words) {
  const int32_t len1 = 2 * (words / 2) + 2 * (words / 8) - 2;
  FixCrc1(frame, len1);
  // crc2 closes the frame: the CRC of the rest, most significant byte first.
  uint8_t* part = frame + 2 + len1;
  const int32_t len2 = 2 * words - len1 - 2;
  const uint32_t crc = ac3dec::crc16Check(part, len2 - 2);
  part[len2 - 2] = uint8_t(crc >> 8);
  part[len2 - 1] = uint8_t(crc);
}

int32_t FrameWords(const uint8_t* frame) {
  const int fscod = frame[4] >> 6;
  const int frmsizecod = frame[4] & 63;
  static const int kKbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                192, 224, 256, 320, 384, 448, 512, 576, 640};
  if (fscod == 3 || frmsizecod >= 38) return 0;
  const int kbps = kKbps[frmsizecod / 2];
  if (fscod == 0) return 2 * kbps;
  if (fscod == 2) return 3 * kbps;
  return kbps * 1536000 / (44100 * 16) + (frmsizecod & 1);
}

std::vector<std::vector<uint8_t>> SplitFrames(const std::vector<uint8_t>& stream) {
  std::vector<std::vector<uint8_t>> frames;
  size_t pos = 0;
  while (pos + 5 <= stream.size() && stream[pos] == 0x0B && stream[pos + 1] == 0x77) {
    const size_t bytes = size_t(2 * FrameWords(&stream[pos]));
    if (bytes == 0 || pos + bytes > stream.size()) break;
    frames.emplace_back(stream.begin() + long(pos), stream.begin() + long(pos + bytes));
    pos += bytes;
  }
  return frames;
}

Decoded DecodeFrames(const std::vector<std::vector<uint8_t>>& frames) {
  Decoded d;
  AC3DecState* dec = AC3DecInitLib();
  if (!dec) {
    d.error = -100;
    return d;
  }
  std::vector<int16_t> out(131072 / 2);
  for (const auto& frame : frames) {
    ac3decInfo info = {};
    info.outFollowsStream = 1;
    info.pInput = frame.data();
    info.nInputBytes = int32_t(frame.size());
    int32_t rc = AC3DecGetInputInfoLib(dec, &info);
    if (rc == 0 || rc == -2) {
      d.sampleRate = info.sampleRate;
      info.pOutput = out.data();
      info.nOutputCapacity = 131072;
      rc = AC3DecodeAFrameLib(dec, &info);
    }
    if (rc != 0) {
      d.error = rc;
      break;
    }
    d.acmod = dec->bsi.acmod;
    d.lfeon = dec->bsi.lfeon;
    d.channels = int32_t(dec->bsi.nfchans) + dec->bsi.lfeon;
    d.frameBytes.push_back(info.nOutputBytes);
    d.pcm.insert(d.pcm.end(), out.begin(), out.begin() + info.nOutputBytes / 2);
  }
  AC3DecCloseLib(dec);
  return d;
}

Decoded DecodeStream(const std::vector<uint8_t>& stream) { return DecodeFrames(SplitFrames(stream)); }

std::vector<std::vector<uint8_t>> AudioPayloadsOfTransportStream(const std::vector<uint8_t>& ts) {
  std::vector<std::vector<uint8_t>> payloads;
  TSDemuxContext* ctx = TSOpenDemuxLib();
  if (!ctx) return payloads;
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  size_t position = 0;
  const uint8_t none = 0;
  const size_t chunk = 0x2d000;
  for (;;) {
    uint32_t status;
    if (out.status & kTSStatusNeedInput) {
      const size_t n = std::min(chunk, ts.size() - position);
      if (n == 0) break;
      status = TSDemuxStreamLib(ts.data() + position, int32_t(n), &out, ctx);
      position += n;
    } else {
      status = TSDemuxStreamLib(&none, 0, &out, ctx);
    }
    if (status & kTSStatusAudio) payloads.emplace_back(out.pAudio, out.pAudio + out.audioSize);
    if (status & ~(kTSStatusVideo | kTSStatusAudio | kTSStatusHeld | kTSStatusNeedInput)) break;
  }
  // The last PES is complete when the input ends.
  if (out.audioSize > 0) payloads.emplace_back(out.pAudio, out.pAudio + out.audioSize);
  TSCloseDemuxLib(ctx);
  return payloads;
}

std::vector<int> ReferenceToOurs(int acmod, int lfeon) {
  static const int kFront[8] = {2, 1, 2, 3, 2, 3, 2, 3};
  static const int kRear[8] = {0, 0, 0, 0, 1, 1, 2, 2};
  const int fronts = kFront[acmod & 7];
  const int rears = kRear[acmod & 7];
  std::vector<int> map;
  // Ours: fronts (L C R, L R or C), rears, LFE.
  const int ourL = 0;
  const int ourR = fronts == 3 ? 2 : 1;
  const int ourC = fronts == 3 ? 1 : 0;
  const int ourRear = fronts;
  const int ourLfe = fronts + rears;
  if (fronts == 1) {
    map.push_back(ourC);
  } else {
    map.push_back(ourL);
    map.push_back(ourR);
    if (fronts == 3) map.push_back(ourC);
  }
  if (lfeon) map.push_back(ourLfe);
  for (int i = 0; i < rears; ++i) map.push_back(ourRear + i);
  return map;
}

std::vector<ChannelDiff> CompareInterleaved(const std::vector<int16_t>& ours,
                                            const std::vector<int16_t>& ref,
                                            const std::vector<int>& refToOurs) {
  const size_t channels = refToOurs.size();
  std::vector<ChannelDiff> result(channels);
  if (channels == 0) return result;
  const size_t frames = std::min(ours.size(), ref.size()) / channels;
  for (size_t c = 0; c < channels; ++c) {
    double signal = 0, noise = 0;
    int maxAbs = 0;
    for (size_t i = 0; i < frames; ++i) {
      const int r = ref[i * channels + c];
      const int o = ours[i * channels + size_t(refToOurs[c])];
      const int d = o - r;
      maxAbs = std::max(maxAbs, d < 0 ? -d : d);
      signal += double(r) * r;
      noise += double(d) * d;
    }
    result[c].maxAbs = maxAbs;
    result[c].snrDb = noise == 0 ? std::numeric_limits<double>::infinity()
                                 : 10.0 * std::log10(signal / noise);
  }
  return result;
}

std::vector<int16_t> ReadS16(const std::string& path) {
  std::vector<int16_t> samples;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return samples;
  uint8_t b[2];
  while (std::fread(b, 1, 2, f) == 2) samples.push_back(int16_t(uint16_t(b[0] | (b[1] << 8))));
  std::fclose(f);
  return samples;
}

}  // namespace ac3test
