// Recordings whose packet grid is lost somewhere: bytes in front of the first
// packet, a damaged stretch, a cut (part packet) followed by whole packets,
// two recordings joined. The PES that come out are those of the intact parts,
// whatever size the offers have, and a reader that restarts at the offset the
// importer records for a PES (the packet before it, or the packet itself when
// bytes were skipped before it) gets the same PES.
#include "TSDemuxer.h"
#include "pes_collector.h"
#include "testsupport.h"
#include "ts_builder.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace demuxtest;

const uint8_t kNone = 0;

struct Pes {
  char kind;
  Bytes bytes;
  int64_t PTS;
  int64_t restart;  // where a reader restarts for it (-1: the first of its kind)
  bool operator==(const Pes& o) const { return kind == o.kind && bytes == o.bytes && PTS == o.PTS; }
};

// Feeds `file` in offers of `chunk` bytes and keeps every reported PES with
// the restart offset of the PES that follows it in its stream.
std::vector<Pes> demux(const Bytes& file, size_t chunk, int64_t start = 0, size_t limit = SIZE_MAX,
                       char wanted = 0) {
  std::vector<Pes> got;
  TSDemuxContext* ctx = TSOpenDemuxLib();
  TSDemuxOutput out{};
  out.status = kTSStatusNeedInput;
  int64_t restart[2] = {-1, -1};
  size_t pos = size_t(start);
  while (got.size() < limit) {
    if (out.status & kTSStatusNeedInput) {
      const size_t n = std::min(chunk, file.size() - pos);
      if (n == 0) break;
      TSDemuxStreamLib(file.data() + pos, int32_t(n), &out, ctx);
      pos += n;
    } else {
      TSDemuxStreamLib(&kNone, 0, &out, ctx);
    }
    const bool video = (out.status & kTSStatusVideo) != 0;
    if (!video && !(out.status & kTSStatusAudio)) continue;
    const char kind = video ? 'v' : 'a';
    const uint8_t* data = video ? out.pVideo : out.pAudio;
    const int32_t size = video ? out.videoSize : out.audioSize;
    if (wanted == 0 || wanted == kind) got.push_back({kind, Bytes(data, data + size), out.PTS, restart[video]});
    TSDemuxPending pending{};
    EXPECT_EQ(TSDemuxGetPendingLib(ctx, &pending), 1);
    int64_t next = int64_t(pos) - pending.heldBytes - (pending.afterPacket ? 192 : 0);
    restart[video] = next > 0 ? next : 0;
  }
  TSCloseDemuxLib(ctx);
  return got;
}

// Byte patterns that are not packets.
Bytes noise(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& x : b) {
    seed = seed * 1103515245u + 12345u;
    x = uint8_t(seed >> 16);
  }
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

Bytes slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

struct Case {
  const char* name;
  std::function<Bytes(const Bytes&)> make;
  // Expected PES: those of the clean file `copies` times (0: not compared;
  // at least `minShare` times as many PES as the clean file).
  int copies;
  double minShare;
};

std::vector<Pes> of_kind(const std::vector<Pes>& all, char kind) {
  std::vector<Pes> out;
  for (const Pes& p : all)
    if (p.kind == kind) out.push_back(p);
  return out;
}

TEST(DemuxResync, DamagedRecordingsGiveTheIntactPesAndRestartsFindThem) {
  const Bytes clean = testsupport::read_file(testsupport::local_data_file("sample.m2ts"));
  ASSERT_FALSE(clean.empty());
  const auto whole = demux(clean, 0x2d000);
  ASSERT_GT(whole.size(), 100u);
  const size_t mid = 192 * 260 + 77;
  const Case cases[] = {
      {"prefix 1", [](const Bytes& c) { return cat({noise(1, 1), c}); }, 1, 0},
      {"prefix 4 of 0x47", [](const Bytes& c) { return cat({Bytes(4, 0x47), c}); }, 1, 0},
      {"prefix 5 of 0x47", [](const Bytes& c) { return cat({Bytes(5, 0x47), c}); }, 1, 0},
      {"prefix 100", [](const Bytes& c) { return cat({noise(100, 2), c}); }, 1, 0},
      {"prefix 191", [](const Bytes& c) { return cat({noise(191, 3), c}); }, 1, 0},
      {"prefix 1000", [](const Bytes& c) { return cat({noise(1000, 4), c}); }, 1, 0},
      {"joined", [](const Bytes& c) { return cat({c, c}); }, 2, 0},
      {"joined off the grid", [](const Bytes& c) { return cat({noise(33, 5), c, noise(7, 6), c}); }, 2, 0},
      {"cut, then joined", [=](const Bytes& c) { return cat({slice(c, 0, mid), c}); }, 0, 1.2},
      {"damaged stretch", [=](const Bytes& c) { return cat({slice(c, 0, mid), noise(500, 7), slice(c, mid + 500, c.size())}); }, 0, 0.95},
      {"bytes missing", [=](const Bytes& c) { return cat({slice(c, 0, mid), slice(c, mid + 100, c.size())}); }, 0, 0.95},
      {"bytes added", [=](const Bytes& c) { return cat({slice(c, 0, mid), noise(300, 8), slice(c, mid, c.size())}); }, 0, 0.95},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = c.make(clean);
    // As the importer offers it: one source packet's worth at a time.
    const auto got = demux(file, 192);
    // The same PES whatever the offers.
    const auto chunked = demux(file, 0x2d000);
    ASSERT_EQ(got.size(), chunked.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i] == chunked[i]) << i;
    if (c.copies > 0) {
      // Each copy's PES of each stream; a joined copy also completes the
      // last PES of the one before it.
      for (char kind : {'v', 'a'}) {
        const auto g = of_kind(got, kind), w = of_kind(whole, kind);
        ASSERT_GE(g.size(), w.size() * size_t(c.copies)) << kind;
        for (size_t i = 0; i < w.size(); ++i) {
          EXPECT_TRUE(g[i] == w[i]) << kind << i;
          EXPECT_TRUE(g[g.size() - w.size() + i] == w[i]) << kind << i;
        }
      }
    } else {
      EXPECT_GE(double(got.size()), c.minShare * double(whole.size()));
    }
    // Restarting where the importer records each PES gives that PES first.
    for (size_t i = 0; i < got.size(); ++i) {
      if (got[i].restart < 0) continue;
      const auto again = demux(file, 0x2d000, got[i].restart, 1, got[i].kind);
      ASSERT_EQ(again.size(), 1u) << i;
      EXPECT_TRUE(again[0] == got[i]) << i << " restarts at " << got[i].restart;
    }
  }
}

// Only the bytes of a packet that has arrived in full are used; a fresh
// context waits for a second header before it trusts the first of bytes that
// do not begin with a packet.
TEST(DemuxResync, PiecesWaitForTheRestOfTheirPacket) {
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 10), pattern(400, 30));
  append(stream, source_packet(kTSVideoPID, true, pes_header(0xE0, 20)));
  stream.insert(stream.begin(), 3, 0x00);
  for (size_t piece : {1u, 5u, 100u, 191u, 193u, 700u}) {
    SCOPED_TRACE(piece);
    TSDemuxContext* ctx = TSOpenDemuxLib();
    TSDemuxOutput out{};
    out.status = kTSStatusNeedInput;
    uint32_t seen = 0;
    for (size_t pos = 0; pos < stream.size();) {
      if (out.status & kTSStatusNeedInput) {
        const size_t n = std::min(piece, stream.size() - pos);
        TSDemuxStreamLib(stream.data() + pos, int32_t(n), &out, ctx);
        pos += n;
      } else {
        TSDemuxStreamLib(&kNone, 0, &out, ctx);
      }
      seen |= out.status;
      if (out.status & kTSStatusVideo) {
        EXPECT_EQ(Bytes(out.pVideo, out.pVideo + out.videoSize), pattern(400, 30));
      }
    }
    EXPECT_TRUE(seen & kTSStatusVideo);
    // The last packet's start is held; nothing more arrives.
    TSDemuxPending pending{};
    ASSERT_EQ(TSDemuxGetPendingLib(ctx, &pending), 1);
    EXPECT_EQ(TSDemuxGetPendingLib(nullptr, &pending), 0);
    TSCloseDemuxLib(ctx);
  }
}

}  // namespace
