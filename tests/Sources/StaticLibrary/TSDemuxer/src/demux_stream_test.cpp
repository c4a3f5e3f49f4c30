// The stream call: its protocol (input taken only when the context is empty,
// status bits, draining with length 0), PES assembly and time stamps, and
// what it does with damaged input.
#include "TSDemuxer.h"
#include "pes_collector.h"
#include "testsupport.h"
#include "ts_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

using namespace demuxtest;

const uint8_t kNone = 0;

struct Demux {
  TSDemuxContext* ctx = TSOpenDemuxLib();
  TSDemuxOutput out{};
  Demux() { out.status = kTSStatusNeedInput; }
  ~Demux() { EXPECT_EQ(TSCloseDemuxLib(ctx), 1); }
  uint32_t offer(const Bytes& b) { return TSDemuxStreamLib(b.data(), int32_t(b.size()), &out, ctx); }
  uint32_t drain() { return TSDemuxStreamLib(&kNone, 0, &out, ctx); }
  Bytes video() const { return Bytes(out.pVideo, out.pVideo + out.videoSize); }
  Bytes audio() const { return Bytes(out.pAudio, out.pAudio + out.audioSize); }
};

TEST(DemuxStream, OpenCloseAndNullArguments) {
  EXPECT_EQ(TSCloseDemuxLib(nullptr), 0);
  Demux d;
  ASSERT_NE(d.ctx, nullptr);
  TSDemuxOutput before;
  std::memset(&before, 0x5A, sizeof before);
  TSDemuxOutput out = before;
  const Bytes data = source_packet(kTSVideoPID, true, pes_header(0xE0, 900));
  EXPECT_EQ(TSDemuxStreamLib(nullptr, 192, &out, d.ctx), kTSStatusNoData);
  EXPECT_EQ(TSDemuxStreamLib(data.data(), 192, nullptr, d.ctx), kTSStatusNoOutput);
  EXPECT_EQ(TSDemuxStreamLib(data.data(), 192, &out, nullptr), kTSStatusNoOutput);
  EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
  // The context took nothing.
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
}

TEST(DemuxStream, EmptyContextAndOverlongOffer) {
  Demux d;
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
  EXPECT_EQ(d.out.status, kTSStatusNeedInput);
  EXPECT_EQ(d.out.videoSize, 0);
  // A window's worth or more is refused whole, and says so.
  Bytes big(kTSInputWindowSize, 0);
  EXPECT_EQ(d.offer(big), kTSStatusRefused);
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
  big.resize(kTSInputWindowSize - 1);
  EXPECT_EQ(d.offer(big), kTSStatusConsumed);  // taken (no sync bytes: skipped)
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
}

TEST(DemuxStream, VideoPesReportedAtNextUnitStart) {
  const Bytes first = pattern(1000, 1), second = pattern(300, 2);
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 93600, 90000), first);
  const size_t firstPackets = stream.size() / 192;
  append(stream, pes_packets(kTSVideoPID, pes_header(0xE0, 97200), second));
  Demux d;
  uint32_t s = d.offer(stream);
  EXPECT_EQ(s, kTSStatusVideo);
  EXPECT_EQ(d.video(), first);
  EXPECT_EQ(d.out.bPTS, 1);
  EXPECT_EQ(d.out.PTS, 93600);
  EXPECT_EQ(d.out.bDTS, 1);
  EXPECT_EQ(d.out.DTS, 90000);
  EXPECT_GT(firstPackets, 1u);
  uint8_t* const videoBuffer = d.out.pVideo;
  uint8_t* const audioBuffer = d.out.pAudio;

  // The packet that ended it is kept: the next call (flagged as working on
  // held data) starts the next PES there and runs out without reporting it.
  s = d.drain();
  EXPECT_EQ(s, kTSStatusHeld);
  EXPECT_EQ(d.out.videoSize, int32_t(second.size()));
  EXPECT_EQ(d.out.PTS, 93600) << "time stamps keep the last report";
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
  EXPECT_EQ(d.video(), second) << "drained: the part assembled so far";
  EXPECT_EQ(d.out.pVideo, videoBuffer);
  EXPECT_EQ(d.out.pAudio, audioBuffer);

  // A following unit start completes it; a PTS alone gives the DTS too.
  EXPECT_EQ(d.offer(source_packet(kTSVideoPID, true, pes_header(0xE0, 100800))), kTSStatusVideo);
  EXPECT_EQ(d.video(), second);
  EXPECT_EQ(d.out.PTS, 97200);
  EXPECT_EQ(d.out.bDTS, 1);
  EXPECT_EQ(d.out.DTS, 97200);
}

// An offer to an empty context is read where the caller has it; what the
// call leaves (the start of the next PES, a piece of a packet) must outlive
// the caller's buffer, which the caller is free to reuse.
TEST(DemuxStream, BytesLeftOfAnOfferOutliveTheCallersBuffer) {
  const Bytes first = pattern(700, 20), second = pattern(500, 21), third = pattern(300, 22);
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 3000), first);
  append(stream, pes_packets(kTSVideoPID, pes_header(0xE0, 6000), second));
  const size_t thirdAt = stream.size();
  append(stream, pes_packets(kTSVideoPID, pes_header(0xE0, 9000), third));
  for (const size_t cut : {thirdAt - 50, thirdAt + 100, thirdAt + 192}) {
    Demux d;
    std::vector<Bytes> got;
    Bytes offer(stream.begin(), stream.begin() + long(cut));
    for (int part = 0; part < 2; ++part) {
      uint32_t s = d.offer(offer);
      for (;;) {
        if (s & kTSStatusVideo) got.push_back(d.video());
        std::fill(offer.begin(), offer.end(), uint8_t(0x47));  // the caller reuses its buffer
        if (s & kTSStatusNeedInput) break;
        s = d.drain();
      }
      offer.assign(stream.begin() + long(cut), stream.end());
    }
    got.push_back(d.video());  // drained: the last PES
    EXPECT_EQ(got, (std::vector<Bytes>{first, second, third})) << cut - thirdAt;
  }
}

// A reset drops whatever the context held (input, PES parts, a half packet,
// a lost grid) and keeps its buffers: what follows comes out as from a new
// context.
TEST(DemuxStream, ResetStartsOverWithTheSameBuffers) {
  EXPECT_EQ(TSResetDemuxLib(nullptr), 0);
  const Bytes a = pattern(700, 6), b = pattern(900, 7);
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 3000), a);
  append(stream, pes_packets(kTSAudioPID, pes_header(0xBD, 3000), b));
  append(stream, source_packet(kTSVideoPID, true, pes_header(0xE0, 6000)));
  append(stream, source_packet(kTSAudioPID, true, pes_header(0xBD, 6000)));
  Demux d;
  // Held: part of a video PES, part of an audio PES, bytes off the grid.
  Bytes junk = pes_packets(kTSAudioPID, pes_header(0xBD, 10), pattern(300, 8));
  append(junk, pes_packets(kTSVideoPID, pes_header(0xE0, 10), pattern(300, 9)));
  junk.resize(junk.size() - 100);
  EXPECT_EQ(d.offer(junk), kTSStatusConsumed);
  uint8_t* const videoBuffer = d.out.pVideo;
  EXPECT_EQ(TSResetDemuxLib(d.ctx), 1);
  d.out.status = kTSStatusNeedInput;
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
  EXPECT_EQ(d.offer(stream), kTSStatusVideo);
  EXPECT_EQ(d.video(), a);
  EXPECT_EQ(d.out.pVideo, videoBuffer);
  EXPECT_EQ(d.out.PTS, 3000);
  EXPECT_EQ(d.drain() & ~kTSStatusHeld, kTSStatusAudio);
  EXPECT_EQ(d.audio(), b);
}

// A context that follows one stream drops the other's packets and reports
// the same PES of its own stream; bytes read straight into its window are
// taken as an offer of a copy would be, and only when it asks for input.
TEST(DemuxStream, FollowOneStreamAndReadInPlace) {
  const Bytes a = pattern(700, 10), b = pattern(900, 11), c = pattern(400, 12);
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 3000), a);
  append(stream, pes_packets(kTSAudioPID, pes_header(0xBD, 3000), b));
  append(stream, pes_packets(kTSVideoPID, pes_header(0xE0, 6000), c));
  append(stream, source_packet(kTSAudioPID, true, pes_header(0xBD, 6000)));
  Demux d;
  EXPECT_EQ(TSDemuxFollowLib(nullptr, kTSStatusAudio), 0);
  EXPECT_EQ(TSDemuxFollowLib(d.ctx, 0), 0);
  EXPECT_EQ(TSDemuxFollowLib(d.ctx, kTSStatusAudio), 1);
  int32_t room = -1;
  EXPECT_EQ(TSDemuxInputSpaceLib(nullptr, &room), nullptr);
  EXPECT_EQ(room, 0);
  uint8_t* space = TSDemuxInputSpaceLib(d.ctx, &room);
  ASSERT_NE(space, nullptr);
  ASSERT_GE(room, int32_t(stream.size()));
  std::memcpy(space, stream.data(), stream.size());
  EXPECT_EQ(TSDemuxStreamLib(space, int32_t(stream.size()), &d.out, d.ctx), kTSStatusAudio);
  EXPECT_EQ(d.audio(), b);
  EXPECT_EQ(d.out.videoSize, 0);  // the video was never assembled
  EXPECT_EQ(TSDemuxInputSpaceLib(d.ctx, &room), nullptr);  // holds the next PES's start
  EXPECT_EQ(room, 0);
  EXPECT_EQ(d.drain(), kTSStatusHeld);
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
  // Kept across a reset; both streams again when asked.
  EXPECT_EQ(TSResetDemuxLib(d.ctx), 1);
  d.out.status = kTSStatusNeedInput;
  EXPECT_EQ(d.offer(stream), kTSStatusAudio);
  EXPECT_EQ(d.out.videoSize, 0);
  EXPECT_EQ(TSResetDemuxLib(d.ctx), 1);
  EXPECT_EQ(TSDemuxFollowLib(d.ctx, kTSStatusVideo | kTSStatusAudio), 1);
  EXPECT_EQ(d.offer(stream), kTSStatusVideo);
  EXPECT_EQ(d.video(), a);
}

TEST(DemuxStream, OfferWhileHoldingIsIgnored) {
  Bytes stream = pes_packets(kTSAudioPID, pes_header(0xBD, 1000), pattern(500, 3));
  append(stream, pes_packets(kTSAudioPID, pes_header(0xBD, 1450), pattern(500, 4)));
  append(stream, pes_packets(kTSAudioPID, pes_header(0xBD, 1900), pattern(500, 5)));
  Demux d;
  EXPECT_EQ(d.offer(stream), kTSStatusAudio);
  EXPECT_EQ(d.out.bDTS, 0) << "audio with a PTS only has no DTS";
  // Offering again while packets are held: not taken, flagged, and the held
  // packets go on.
  const Bytes other = pes_packets(kTSVideoPID, pes_header(0xE0, 5), pattern(100, 6));
  EXPECT_EQ(d.offer(other), kTSStatusHeld | kTSStatusAudio);
  EXPECT_EQ(d.audio(), pattern(500, 4));
  EXPECT_EQ(d.out.PTS, 1450);
  EXPECT_EQ(d.offer(other), kTSStatusHeld);
  EXPECT_EQ(d.out.videoSize, 0) << "the video offered while holding was never taken";
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
  EXPECT_EQ(d.audio(), pattern(500, 5));
}

TEST(DemuxStream, ContinuationsBeforeFirstStartAreDropped) {
  Bytes stream;
  append(stream, source_packet(kTSAudioPID, false, pattern(184, 7)));
  append(stream, source_packet(kTSVideoPID, false, pattern(184, 8)));
  append(stream, pes_packets(kTSVideoPID, pes_header(0xE0, 10), pattern(200, 9)));
  append(stream, pes_packets(kTSAudioPID, pes_header(0xBD, 20), pattern(100, 10)));
  append(stream, source_packet(kTSVideoPID, true, pes_header(0xE0, 30)));
  Demux d;
  EXPECT_EQ(d.offer(stream), kTSStatusVideo);
  EXPECT_EQ(d.video(), pattern(200, 9));
  EXPECT_EQ(d.drain(), kTSStatusHeld);
  EXPECT_EQ(d.audio(), pattern(100, 10));
}

TEST(DemuxStream, OtherPidsLeaveTheStreamsAlone) {
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 10), pattern(100, 11));
  for (uint32_t pid : {0u, kTSProgramMapPID, kTSClockPID, 0x1200u, 0x1FFFu}) {
    append(stream, source_packet(pid, true, pattern(184, 12)));
    append(stream, source_packet(pid, false, pattern(184, 13)));
  }
  Demux d;
  EXPECT_EQ(d.offer(stream), kTSStatusConsumed);
  EXPECT_EQ(d.video(), pattern(100, 11));
  EXPECT_EQ(d.out.audioSize, 0);
}

TEST(DemuxStream, StuffingAndUntimedStarts) {
  // 0xFF stuffing after the header is skipped; a start without time stamps
  // takes its header length from the PES header, and reports no time stamps.
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 500, -1, -1, 5), pattern(50, 14));
  Bytes untimed = pes_header(0xE0, -1);
  untimed.push_back(0xFF);
  untimed[8] = 1;
  append(stream, pes_packets(kTSVideoPID, untimed, pattern(60, 15)));
  append(stream, source_packet(kTSVideoPID, true, pes_header(0xE0, 700)));
  Demux d;
  EXPECT_EQ(d.offer(stream), kTSStatusVideo);
  EXPECT_EQ(d.video(), pattern(50, 14));
  EXPECT_EQ(d.drain(), kTSStatusHeld | kTSStatusVideo);
  EXPECT_EQ(d.video(), pattern(60, 15));
  EXPECT_EQ(d.out.bPTS, 0);
  EXPECT_EQ(d.out.bDTS, 0);
}

TEST(DemuxStream, LostSyncIsSkippedPacketByPacket) {
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 10), pattern(400, 16));
  Bytes garbage(192 * 3, 0x47);
  for (size_t i = 4; i < garbage.size(); i += 192) garbage[i] = 0x00;  // no sync where one belongs
  stream.insert(stream.begin() + 192, garbage.begin(), garbage.end());
  append(stream, source_packet(kTSVideoPID, true, pes_header(0xE0, 20)));
  Demux d;
  EXPECT_EQ(d.offer(stream), kTSStatusVideo);
  EXPECT_EQ(d.video(), pattern(400, 16));
  // Nothing but damaged packets: consumed, no loop.
  EXPECT_EQ(d.drain(), kTSStatusHeld);
  Bytes allBad(192 * 100, 0x00);
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
  EXPECT_EQ(d.offer(allBad), kTSStatusConsumed);
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
}

TEST(DemuxStream, AdaptationFieldClaimingMoreThanThePacket) {
  Bytes stream = pes_packets(kTSVideoPID, pes_header(0xE0, 10), pattern(100, 17));
  for (uint8_t length : {183, 184, 200, 255}) {
    for (bool pusi : {false, true}) {
      Bytes p = source_packet(kTSVideoPID, pusi, pattern(184, 18));
      p[7] = 0x30;  // adaptation field and payload
      p[8] = length;
      append(stream, p);
    }
  }
  Demux d;
  EXPECT_EQ(d.offer(stream), kTSStatusVideo);
  EXPECT_EQ(d.video(), pattern(100, 17));
  // The starts left no payload, so no PES is under way and the
  // continuations are dropped.
  EXPECT_EQ(d.drain(), kTSStatusHeld);
  EXPECT_EQ(d.out.videoSize, 0);
  EXPECT_EQ(d.drain(), kTSStatusNeedInput);
}

TEST(DemuxStream, PesLargerThanItsBufferIsCutAndFlagged) {
  // Video: 2 MiB + 1000 bytes; audio: 6000 bytes.
  const Bytes bigVideo = pattern(kTSVideoBufferSize + 1000, 19);
  const Bytes bigAudio = pattern(6000, 20);
  Bytes stream = pes_packets(kTSAudioPID, pes_header(0xBD, 1), bigAudio);
  append(stream, source_packet(kTSAudioPID, true, pes_header(0xBD, 2)));
  Bytes video = pes_packets(kTSVideoPID, pes_header(0xE0, 3), bigVideo);
  append(video, pes_packets(kTSVideoPID, pes_header(0xE0, 4), pattern(10, 21)));
  append(video, source_packet(kTSVideoPID, true, pes_header(0xE0, 5)));

  auto records = collect_pes(stream, 0x2d000);
  ASSERT_GE(records.size(), 1u);
  EXPECT_EQ(records[0].status, kTSStatusAudio | kTSStatusTruncated);
  EXPECT_EQ(records[0].size, kTSAudioBufferSize);

  Demux d;
  uint32_t s = 0;
  for (size_t pos = 0; pos < video.size() && !(s & kTSStatusVideo); pos += 0x2d000) {
    Bytes chunk(video.begin() + long(pos), video.begin() + long(std::min(video.size(), pos + 0x2d000)));
    s = d.offer(chunk);
    while (!(s & (kTSStatusNeedInput | kTSStatusVideo))) s = d.drain();
  }
  EXPECT_EQ(s & ~kTSStatusHeld, kTSStatusVideo | kTSStatusTruncated);
  ASSERT_EQ(d.out.videoSize, kTSVideoBufferSize);
  EXPECT_TRUE(std::equal(d.out.pVideo, d.out.pVideo + kTSVideoBufferSize, bigVideo.begin()));
  // The next PES is whole and unflagged.
  do s = d.drain();
  while (!(s & (kTSStatusNeedInput | kTSStatusVideo)));
  EXPECT_EQ(s & ~kTSStatusHeld, kTSStatusVideo);
  EXPECT_EQ(d.video(), pattern(10, 21));
}

// A recording cut inside its last packet: everything before the cut packet
// is as before. Broken sync bytes on every packet that is neither video nor
// audio: the elementary streams come out the same.
TEST(DemuxStream, TruncatedAndDamagedRealStream) {
  Bytes file = testsupport::read_file(testsupport::local_data_file("sample.m2ts"));
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(file.size() % 192, 0u);
  const auto whole = collect_pes(file, 0x2d000);
  auto expectSame = [&](const Bytes& damaged, size_t compared) {
    const auto got = collect_pes(damaged, 0x2d000);
    ASSERT_EQ(got.size(), whole.size());
    for (size_t i = 0; i < compared; ++i)
      EXPECT_EQ(std::make_tuple(got[i].kind, got[i].size, got[i].PTS),
                std::make_tuple(whole[i].kind, whole[i].size, whole[i].PTS)) << i;
  };
  for (size_t cut : {1, 4, 5, 100, 191}) {
    SCOPED_TRACE(cut);
    expectSame(Bytes(file.begin(), file.end() - long(cut)), whole.size() - 2);
  }
  Bytes damaged = file;
  for (size_t pos = 0; pos + 192 <= damaged.size(); pos += 192) {
    const uint32_t pid = (uint32_t(damaged[pos + 5] & 0x1F) << 8) | damaged[pos + 6];
    if (pid != kTSVideoPID && pid != kTSAudioPID) damaged[pos + 4] = 0x46;
  }
  expectSame(damaged, whole.size());
}

// The start marks of every video PES the stream call reports, fed a packet
// at a time.
std::vector<uint32_t> video_start_marks(const Bytes& file) {
  Demux d;
  std::vector<uint32_t> marks;
  uint32_t status = kTSStatusNeedInput;
  for (size_t at = 0;;) {
    if (status & kTSStatusNeedInput) {
      if (at + 192 > file.size()) break;
      status = d.offer(Bytes(file.begin() + long(at), file.begin() + long(at + 192)));
      at += 192;
    } else {
      status = d.drain();
    }
    if (status & kTSStatusVideo) marks.push_back(TSDemuxReportedStartLib(d.ctx));
  }
  return marks;
}

// Program tables whose counter follows the tables before are the
// recording's own; another recording's (a join) begin anew, and so do
// tables after which the sound's counter breaks.
TEST(DemuxStream, TablesThatRunOnAreMarked) {
  const Bytes file = testsupport::read_file(testsupport::local_data_file("sample.m2ts"));
  ASSERT_EQ(file.size() % 192, 0u);
  const std::vector<uint32_t> one = video_start_marks(file);
  size_t afterTables = 0;
  for (size_t i = 1; i < one.size(); ++i) {
    if (!(one[i] & kTSStartAfterTables)) continue;
    ++afterTables;
    EXPECT_TRUE(one[i] & kTSStartTablesRunOn) << i;
  }
  EXPECT_GT(afterTables, 2u);
  Bytes joined = file;
  joined.insert(joined.end(), file.begin(), file.end());
  const std::vector<uint32_t> two = video_start_marks(joined);
  ASSERT_GT(two.size(), one.size());
  // The second recording's first picture: the first PES after the first's.
  EXPECT_EQ(two[one.size() + 1] & (kTSStartAfterTables | kTSStartTablesRunOn), kTSStartAfterTables);
  // The second recording's PATs renumbered to run on from the first's: they
  // read as the first's own, until its sound's counter breaks after them
  // (its first sound packet moved in front of its first picture's second).
  uint32_t last = 0;
  size_t firstSound = 0;
  for (size_t at = 0; at < file.size(); at += 192) {
    if (file[at + 5] == 0x40 && file[at + 6] == 0) last = file[at + 7] & 0x0F;
    if (firstSound == 0 && (file[at + 5] & 0x1F) == 0x11 && file[at + 6] == 0x00) firstSound = at;
  }
  ASSERT_GT(firstSound, 4 * 192u);
  for (size_t at = file.size(); at < joined.size(); at += 192)
    if (joined[at + 5] == 0x40 && joined[at + 6] == 0)
      joined[at + 7] = uint8_t((joined[at + 7] & 0xF0) | (++last & 0x0F));
  std::vector<uint32_t> renumbered = video_start_marks(joined);
  ASSERT_EQ(renumbered.size(), two.size());
  EXPECT_EQ(renumbered[one.size() + 1] & (kTSStartAfterTables | kTSStartTablesRunOn),
            kTSStartAfterTables | kTSStartTablesRunOn);
  const auto sound = joined.begin() + long(file.size() + firstSound);
  std::rotate(joined.begin() + long(file.size() + 4 * 192), sound, sound + 192);
  renumbered = video_start_marks(joined);
  ASSERT_EQ(renumbered.size(), two.size());
  EXPECT_EQ(renumbered[one.size() + 1] & (kTSStartAfterTables | kTSStartTablesRunOn), kTSStartAfterTables);
  // A PAT in the middle whose discontinuity_indicator announces that its
  // counter jumps (by 5, the PATs after it following it) is the recording's
  // own all the same.
  Bytes flagged = file;
  std::vector<size_t> pats;
  for (size_t at = 0; at < flagged.size(); at += 192)
    if (flagged[at + 5] == 0x40 && flagged[at + 6] == 0) pats.push_back(at);
  ASSERT_GT(pats.size(), 2u);
  const size_t mid = pats[pats.size() / 2];
  ASSERT_EQ(flagged[mid + 7] & 0x30, 0x10);
  std::copy_backward(flagged.begin() + long(mid + 8), flagged.begin() + long(mid + 190), flagged.begin() + long(mid + 192));
  flagged[mid + 7] |= 0x20;
  flagged[mid + 8] = 1;
  flagged[mid + 9] = 0x80;
  for (const size_t at : pats)
    if (at >= mid) flagged[at + 7] = uint8_t((flagged[at + 7] & 0xF0) | ((flagged[at + 7] + 5) & 0x0F));
  EXPECT_EQ(video_start_marks(flagged), one);
}

// Source packets of one PES with the stream's running continuity counter.
Bytes counted_pes(uint32_t pid, const Bytes& header, const Bytes& data, uint8_t* counter) {
  Bytes all = header, out;
  append(all, data);
  for (size_t pos = 0; pos < all.size(); pos += 184) {
    const Bytes piece(all.begin() + long(pos), all.begin() + long(std::min(all.size(), pos + 184)));
    append(out, source_packet(pid, pos == 0, piece, (*counter)++));
  }
  return out;
}

// Packet `index` of `stream` taken out (or sent twice).
Bytes without_packet(const Bytes& stream, size_t index) {
  Bytes out(stream.begin(), stream.begin() + long(index * 192));
  out.insert(out.end(), stream.begin() + long(index * 192 + 192), stream.end());
  return out;
}
Bytes with_packet_twice(const Bytes& stream, size_t index) {
  Bytes out(stream.begin(), stream.begin() + long(index * 192 + 192));
  out.insert(out.end(), stream.begin() + long(index * 192), stream.end());
  return out;
}

// Damage bits of every PES reported, in order, then those of the PES still
// being assembled at the end of the input (video, audio).
std::vector<uint32_t> damage_reports(const Bytes& stream, uint32_t* videoLeft = nullptr,
                                     uint32_t* audioLeft = nullptr) {
  Demux d;
  std::vector<uint32_t> got;
  uint32_t s = d.offer(stream);
  while (!(s & kTSStatusNeedInput)) {
    if (s & (kTSStatusVideo | kTSStatusAudio)) got.push_back(TSDemuxReportedDamageLib(d.ctx));
    s = d.drain();
  }
  EXPECT_EQ(TSDemuxReportedDamageLib(d.ctx), 0u);
  TSDemuxPending pending{};
  EXPECT_EQ(TSDemuxGetPendingLib(d.ctx, &pending), 1);
  if (videoLeft) *videoLeft = pending.videoDamage;
  if (audioLeft) *audioLeft = pending.audioDamage;
  return got;
}

// The continuity counters and announced lengths tell which PES lost packets
// or got one twice; a break at the packet that starts the next PES is noted
// apart (a join restarts the counters there too).
TEST(DemuxStream, DamageSeenInCountersAndLengths) {
  uint8_t counter = 5;
  Bytes stream;
  for (int i = 0; i < 4; ++i) append(stream, counted_pes(kTSVideoPID, pes_header(0xE0, 3000 * i), pattern(900, 30), &counter));
  // 900 + 14 header bytes: 5 packets per PES.
  uint32_t videoLeft = 9, audioLeft = 9;
  EXPECT_EQ(damage_reports(stream, &videoLeft), (std::vector<uint32_t>{0, 0, 0}));
  EXPECT_EQ(videoLeft, 0u);
  EXPECT_EQ(damage_reports(without_packet(stream, 7)), (std::vector<uint32_t>{0, kTSDamageInside, 0}));
  EXPECT_EQ(damage_reports(with_packet_twice(stream, 7)), (std::vector<uint32_t>{0, kTSDamageInside, 0}));
  EXPECT_EQ(damage_reports(without_packet(stream, 9)), (std::vector<uint32_t>{0, kTSDamageEndBroken, 0}));
  // A packet sent twice where a PES starts makes a PES of that one packet.
  EXPECT_EQ(damage_reports(with_packet_twice(stream, 10)), (std::vector<uint32_t>{0, 0, kTSDamageEndBroken, 0}));
  // The last PES: a packet lost inside it, or its last packet cut short.
  damage_reports(without_packet(stream, 17), &videoLeft);
  EXPECT_EQ(videoLeft, kTSDamageInside);
  damage_reports(Bytes(stream.begin(), stream.end() - 100), &videoLeft);
  EXPECT_EQ(videoLeft, kTSDamageInside);
  // A discontinuity_indicator allows the jump.
  Bytes flagged = without_packet(stream, 7);
  flagged[7 * 192 + 7] |= 0x20;  // the packet after the gap gets an adaptation field...
  flagged[7 * 192 + 8] = 1;
  flagged[7 * 192 + 9] = 0x80;   // ...with the indicator (its first payload byte given up)
  EXPECT_EQ(damage_reports(flagged), (std::vector<uint32_t>{0, 0, 0}));

  // Audio PES announce their length: one cut short at a packet boundary, or
  // one packet lost at its end, shows in the length.
  counter = 0;
  Bytes header = pes_header(0xBD, 100);
  const Bytes frame = pattern(400, 31);
  const size_t length = header.size() - 6 + frame.size();
  header[4] = uint8_t(length >> 8);
  header[5] = uint8_t(length);
  Bytes audio;
  for (int i = 0; i < 3; ++i) append(audio, counted_pes(kTSAudioPID, header, frame, &counter));
  EXPECT_EQ(damage_reports(audio, nullptr, &audioLeft), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(audioLeft, 0u);
  EXPECT_EQ(damage_reports(without_packet(audio, 2)), (std::vector<uint32_t>{kTSDamageInside, 0}));
  damage_reports(Bytes(audio.begin(), audio.end() - 192), nullptr, &audioLeft);
  EXPECT_EQ(audioLeft, kTSDamageInside);

  // A video PES announces no length: its last packet's stuffing tells that
  // it ended. Input cut inside a packet of another stream, or inside the
  // packet that starts the next video PES, leaves it whole; input cut at the
  // end of a packet inside it, or inside a packet that continues it, cut it
  // short.
  Bytes mixed = stream;
  mixed.insert(mixed.end(), audio.begin(), audio.begin() + 100);
  damage_reports(mixed, &videoLeft);
  EXPECT_EQ(videoLeft, 0u);
  damage_reports(Bytes(stream.begin(), stream.begin() + 15 * 192 + 100), &videoLeft);
  EXPECT_EQ(videoLeft, 0u);
  damage_reports(Bytes(stream.begin(), stream.begin() + 18 * 192), &videoLeft);
  EXPECT_EQ(videoLeft, kTSDamageInside);
  damage_reports(Bytes(stream.begin(), stream.begin() + 18 * 192 + 100), &videoLeft);
  EXPECT_EQ(videoLeft, kTSDamageInside);
}

// Input that ends inside the packet that starts a PES (its header there, the
// rest not) tells of a PES begun and cut short, of that packet's stream; a
// fragment of a packet without payload (its adaptation field alone) cuts
// nothing short.
TEST(DemuxStream, PesBegunInAPacketTheInputEndsInside) {
  uint8_t counter = 0;
  Bytes stream;
  for (int i = 0; i < 3; ++i) append(stream, counted_pes(kTSVideoPID, pes_header(0xE0, 3000 * i), pattern(900, 30), &counter));
  append(stream, counted_pes(kTSAudioPID, pes_header(0xBD, 100), pattern(100, 31), &counter));
  // Packets 0-14 video (5 per PES), 15 audio.
  auto pending = [](const Bytes& input) {
    Demux d;
    for (uint32_t s = d.offer(input); !(s & kTSStatusNeedInput);) s = d.drain();
    TSDemuxPending p{};
    EXPECT_EQ(TSDemuxGetPendingLib(d.ctx, &p), 1);
    return std::make_tuple(p.videoBegunCut, p.audioBegunCut, p.videoDamage);
  };
  const auto head = [&](size_t bytes) { return Bytes(stream.begin(), stream.begin() + long(bytes)); };
  using T = std::tuple<uint16_t, uint16_t, uint32_t>;
  EXPECT_EQ(pending(head(10 * 192 + 100)), T(1, 0, 0));
  EXPECT_EQ(pending(head(10 * 192 + 7)), T(1, 0, 0));
  EXPECT_EQ(pending(head(15 * 192 + 100)), T(0, 1, 0));
  EXPECT_EQ(pending(head(10 * 192)), T(0, 0, 0));
  EXPECT_EQ(pending(head(11 * 192)), T(0, 0, kTSDamageInside));
  Bytes noPayload = head(10 * 192);
  Bytes fragment = source_packet(kTSVideoPID, false, Bytes(), 10);
  fragment[7] = 0x20 | 10;  // adaptation field only
  noPayload.insert(noPayload.end(), fragment.begin(), fragment.begin() + 100);
  EXPECT_EQ(pending(noPayload), T(0, 0, 0));
}

TEST(DemuxStream, ScannerFillCompactsAndAppends) {
  Bytes window(kTSInputWindowSize, 0);
  PESScanner s{window.data(), 0, 0};
  const Bytes a = pattern(1000, 22);
  EXPECT_EQ(PESScanner_Fill(a.data(), 1000, &s), 1000);
  EXPECT_EQ(s.size, 1000);
  s.used = 600;
  EXPECT_EQ(PESScanner_Fill(a.data(), 1000, &s), 1000);
  EXPECT_EQ(s.size, 1400);
  EXPECT_EQ(s.used, 0);
  EXPECT_TRUE(std::equal(a.begin() + 600, a.end(), window.begin()));
  EXPECT_TRUE(std::equal(a.begin(), a.end(), window.begin() + 400));
  // Only what fits is appended; length 0 only compacts.
  const Bytes big(kTSInputWindowSize, 1);
  EXPECT_EQ(PESScanner_Fill(big.data(), int32_t(big.size()), &s), kTSInputWindowSize - 1400);
  EXPECT_EQ(s.size, kTSInputWindowSize);
  EXPECT_LE(PESScanner_Fill(big.data(), 10, &s), 0);
  s.used = kTSInputWindowSize - 8;
  EXPECT_EQ(PESScanner_Fill(big.data(), 0, &s), 0);
  EXPECT_EQ(s.size, 8);
  s.used = 20;  // more than held: counts as nothing held
  EXPECT_EQ(PESScanner_Fill(a.data(), 5, &s), 5);
  EXPECT_EQ(s.size, 5);
  EXPECT_EQ(PESScanner_Fill(nullptr, 10, &s), 0) << "no source: only compacts";
  EXPECT_EQ(s.size, 5);
}

}  // namespace
