// The demultiplexer context and the stream call: source packets in, one
// complete video or audio PES out per call.
#include "TSDemuxer.h"
#include "TSPacketLayout.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

// What one stream's continuity counters and PES lengths tell about the PES
// being assembled: the damage seen so far (kTSDamage* bits) and the payload
// bytes its header announced (-1: none). Each packet with payload is checked
// against the counter of the one before it (`last`; `expect` is the counter
// the next packet carries when the counters are settled, see CounterState). A
// packet whose counter does not follow is held odd until the next one tells what
// happened: when that one follows the counter the odd packet should have
// carried (`oddExpected`), only the odd packet's counter was wrong and
// nothing was lost; otherwise packets were lost there or sent twice. A
// discontinuity_indicator allows a jump. `stuffedEnd` tells whether the last
// packet taken with payload carried stuffing: a PES ends inside its last
// packet, which the multiplexer fills with stuffing, so a PES whose last
// packet carries none was cut at a packet's end (unless its bytes fill their
// last packet exactly).
// Where a stream's counters stand: no packet seen yet, one (its counter not
// checked), settled (the last counter checked), or a packet held odd.
enum CounterState : uint32_t { kCounterFresh = 0, kCounterFirst = 1, kCounterSettled = 2, kCounterOdd = 3 };

// `expect` of a stream whose counters are not settled: no counter matches it.
constexpr uint32_t kNoExpect = 0x10;

struct StreamCheck {
  uint32_t expect;
  uint32_t last;
  uint32_t state;  // CounterState
  uint32_t oddExpected;
  uint32_t oddAtStart;  // the odd packet started the PES
  uint32_t damage;
  int32_t announced;
  uint32_t stuffedEnd;
  // Program tables (a PAT) came since the stream's last packet, and before
  // the first packet of the PES being assembled.
  uint32_t tablesSince;
  uint32_t afterTables;
  // Whether every PAT since the stream's last packet followed the counter of
  // the PAT before (the recording's own tables going on, not another's
  // beginning), and no other stream's counter broke after them; and that
  // for the PES being assembled.
  uint32_t tablesRunOnSince;
  uint32_t afterTablesRunOn;
  // How many PATs began a recording (their counter did not follow the PAT
  // before, or none came before, nor any packet of the streams) since the
  // stream's last packet, up to two; and whether two did so before the PES
  // being assembled: a recording between held none of the stream's packets.
  uint32_t recordingsSince;
  uint32_t afterEmptyRecording;
  // The counters broke at the packet that ends the PES assembled, which
  // starts the next one; and at the first packet of the PES assembled.
  uint32_t breakNext;
  uint32_t afterBreak;
  // Packets with payload met before the stream's first PES start: the input
  // begins inside a PES whose head is missing.
  int32_t headless;
};

struct TSDemuxContext {
  PESScanner scanner;
  uint8_t* pVideo;
  int32_t videoSize;
  uint8_t* pAudio;
  int32_t audioSize;
  uint16_t audioBPTS;
  int64_t audioPTS;
  uint16_t audioBDTS;
  int64_t audioDTS;
  uint32_t status;
  uint16_t videoBPTS;
  int64_t videoPTS;
  uint16_t videoBDTS;
  int64_t videoDTS;
  // Set when the current PES outgrew its buffer and bytes were dropped.
  uint16_t videoTruncated;
  uint16_t audioTruncated;
  // Where the packet grid stands (see GridState) and whether the bytes held
  // wait for more input before anything can be decided about them.
  uint16_t grid;
  uint16_t pending;
  // The packet at the front of the window directly follows a packet of
  // plausible header (no bytes were skipped in between).
  uint16_t afterPacket;
  // The streams assembled (kTSStatusVideo and/or kTSStatusAudio).
  uint32_t streams;
  // Continuity and damage per stream (see StreamCheck).
  StreamCheck videoCheck;
  StreamCheck audioCheck;
  // Damage of the PES reported by the last call, and how it starts.
  uint32_t reportedDamage;
  uint32_t reportedStart;
  // Bytes skipped before the first packet of the input, and whether that
  // packet was found.
  int64_t skippedBeforeFirst;
  uint16_t firstFound;
  // Whether the latest program tables began a recording.
  TSTablesJudge tables;
};

namespace {

// One elementary stream's assembly state inside the context.
struct PESAssembly {
  uint8_t* buffer;
  int32_t* size;
  int32_t capacity;
  uint16_t* bPTS;
  int64_t* PTS;
  uint16_t* bDTS;
  int64_t* DTS;
  uint16_t* truncated;
  StreamCheck* check;
  uint32_t completeBit;
};

PESAssembly video_assembly(TSDemuxContext* c) {
  return {c->pVideo,   &c->videoSize, kTSVideoBufferSize, &c->videoBPTS,   &c->videoPTS,
          &c->videoBDTS, &c->videoDTS, &c->videoTruncated,  &c->videoCheck, kTSStatusVideo};
}

PESAssembly audio_assembly(TSDemuxContext* c) {
  return {c->pAudio,   &c->audioSize, kTSAudioBufferSize, &c->audioBPTS,   &c->audioPTS,
          &c->audioBDTS, &c->audioDTS, &c->audioTruncated,  &c->audioCheck, kTSStatusAudio};
}

// Appends what fits; the rest of an overlong PES is dropped and remembered.
void append(const PESAssembly& a, const uint8_t* area, uint32_t offset) {
  int32_t n = kTSPayloadAreaSize - int32_t(offset);
  int32_t room = a.capacity - *a.size;
  if (n > room) {
    n = room;
    *a.truncated = 1;
  }
  if (n <= 0) return;
  std::memcpy(a.buffer + *a.size, area + offset, size_t(n));
  *a.size += n;
}

// A discontinuity_indicator in the packet's adaptation field: its counter
// may jump.
inline bool flags_discontinuity(const uint8_t* packet) {
  return (packet[3] & 0x20) && packet[4] > 0 && (packet[5] & 0x80);
}

// Whether the packet's adaptation field holds stuffing bytes: it is longer
// than its flagged fields need. A field of length 0 (the length byte alone)
// does not count: multiplexers put it into packets inside a PES too.
bool carries_stuffing(const uint8_t* packet) {
  if (!(packet[3] & 0x20)) return false;
  // A field longer than the 183 bytes after its length byte is damage,
  // not stuffing, and its flagged lengths would point past the packet.
  const uint32_t length = packet[4];
  if (length == 0 || length > 183) return false;
  const uint32_t flags = packet[5];
  uint32_t need = 1 + ((flags & 0x10) ? 6 : 0) + ((flags & 0x08) ? 6 : 0) + ((flags & 0x04) ? 1 : 0);
  // Private data and the extension carry their own lengths.
  for (uint32_t bit : {0x02u, 0x01u}) {
    if (!(flags & bit)) continue;
    if (need >= length) return false;
    need += 1 + packet[5 + need];
  }
  return length > need;
}

// Payload bytes that the PES_packet_length of a PES start announces (the
// bytes after that field less the header before the payload), -1 when it
// leaves the length open (0, as video may).
int32_t announced_payload(const uint8_t* packet, const tsdemux::PacketLayout& layout) {
  const uint8_t* area = packet + 4;
  const uint32_t base = (packet[3] & 0x20) ? uint32_t(packet[4]) + 1 : 0;
  if (base + 6 > uint32_t(kTSPayloadAreaSize) || layout.payloadOffset < base) return -1;
  const int32_t length = (int32_t(area[base + 4]) << 8) | area[base + 5];
  if (length == 0) return -1;
  const int32_t payload = 6 + length - int32_t(layout.payloadOffset - base);
  return payload > 0 ? payload : 0;
}

// The counters settled at `cc`: the next packet is to carry the one after.
inline void settle(StreamCheck& c, uint32_t cc) {
  c.state = kCounterSettled;
  c.last = cc;
  c.expect = (cc + 1) & 0x0F;
}

// Checks the counter `cc` of a packet with payload of the PES being
// assembled (`start`: the packet that starts it) against the packets before:
// the cases other than the counter expected of settled counters, and every
// packet that starts a PES (kept off the path of the packets inside).
__attribute__((noinline)) void follow_counter_slowly(StreamCheck& c, uint32_t cc, bool start, bool discontinuity) {
  if (c.state == kCounterSettled && cc == c.expect) {
    settle(c, cc);
    return;
  }
  if (c.state == kCounterOdd) {
    c.state = kCounterSettled;
    if (cc == ((c.oddExpected + 1) & 0x0F)) {
      // Only the odd packet's counter was wrong. When it started the PES,
      // the break its counter made for the PES before is no break.
      if (c.oddAtStart) c.damage |= kTSDamageBreakRepaired;
      settle(c, cc);
      return;
    }
    // Packets lost or sent twice at the odd packet; at the start of the PES
    // that was noted for the PES before.
    if (!c.oddAtStart) c.damage |= kTSDamageInside;
  } else if (c.state == kCounterFresh) {
    // The stream's first counter has nothing to be checked against: a
    // packet after it that does not follow takes it for wrong.
    c.state = kCounterFirst;
    c.last = cc;
    c.expect = kNoExpect;
    return;
  } else if (c.state == kCounterFirst) {
    settle(c, cc);
    return;
  }
  if (cc != ((c.last + 1) & 0x0F) && !discontinuity) {
    c.state = kCounterOdd;
    c.oddExpected = (c.last + 1) & 0x0F;
    c.oddAtStart = start;
    c.last = cc;
    c.expect = kNoExpect;
    return;
  }
  settle(c, cc);
}

inline void follow_counter(StreamCheck& c, uint32_t cc, bool start, bool discontinuity) {
  if (cc == c.expect) {
    c.last = cc;  // the clean path
    c.expect = (cc + 1) & 0x0F;
    return;
  }
  follow_counter_slowly(c, cc, start, discontinuity);
}

// The packet that starts the next PES ends the one assembled: its counter
// tells whether the last packet's counter alone was wrong (held odd), and
// else whether the counters break there (the PES's tail may be lost, or
// another recording begins there).
__attribute__((noinline)) void end_counters(StreamCheck& c, uint32_t cc, bool discontinuity) {
  // A PES whose last packet carried stuffing ended there: what the break
  // lost, if anything, lies after it.
  const uint32_t broken = c.stuffedEnd ? 0 : kTSDamageEndBroken;
  if (c.state == kCounterOdd) {
    if (!discontinuity && cc == ((c.oddExpected + 1) & 0x0F)) {
      if (c.oddAtStart) c.damage |= kTSDamageBreakRepaired;
      settle(c, c.oddExpected);
      return;
    }
    if (!c.oddAtStart) c.damage |= kTSDamageInside;
    settle(c, c.last);
  }
  c.breakNext = c.state == kCounterSettled && !discontinuity && cc != c.expect;
  if (c.breakNext) c.damage |= broken;
}

// A payload packet without a PES start after the stuffed end of a PES that
// announces no length (see take_packet): left out, the PES it carried
// marked as one whose head was lost (true), unless it repeats the last
// packet taken (its counter and payload once more). Out of line and given
// plain values, so that the per-packet path keeps its registers.
__attribute__((noinline)) bool left_out_after_stuffed_end(StreamCheck* check, const uint8_t* assembled,
                                                          int32_t size, const uint8_t* packet,
                                                          uint32_t payloadOffset) {
  if (check->announced >= 0) return false;
  const int32_t n = kTSPayloadAreaSize - int32_t(payloadOffset);
  if (check->state == kCounterSettled && (packet[3] & 0x0F) == check->last && n > 0 && n <= size &&
      std::memcmp(assembled + size - n, packet + 4 + payloadOffset, size_t(n)) == 0)
    return false;
  check->damage |= kTSDamageHeadLostAfter;
  settle(*check, packet[3] & 0x0F);
  return true;
}

// Takes one packet of a stream. Returns false when the packet starts the next
// PES while one is assembled: the packet stays in the window and the
// assembled PES is complete.
bool take_packet(const PESAssembly& a, const uint8_t* packet, const tsdemux::PacketLayout& layout) {
  StreamCheck& check = *a.check;
  const uint32_t b3 = packet[3];
  if (layout.pusi) {
    if (*a.size != 0) {
      if (b3 & 0x10) end_counters(check, b3 & 0x0F, flags_discontinuity(packet));
      return false;
    }
    *a.bPTS = layout.bPTS;
    *a.PTS = layout.PTS;
    *a.bDTS = layout.bDTS;
    *a.DTS = layout.DTS;
    *a.truncated = 0;
    check.damage = 0;
    check.announced = announced_payload(packet, layout);
    check.stuffedEnd = carries_stuffing(packet);
    check.afterTables = check.tablesSince;
    check.afterTablesRunOn = check.tablesSince && check.tablesRunOnSince;
    check.afterEmptyRecording = check.tablesSince && check.recordingsSince >= 2;
    check.tablesSince = 0;
    check.recordingsSince = 0;
    check.afterBreak = check.breakNext;
    check.breakNext = 0;
    // The counters of the PES before were checked when this packet ended it.
    if (b3 & 0x10) follow_counter_slowly(check, b3 & 0x0F, true, flags_discontinuity(packet));
  } else if (*a.size == 0) {
    // Continuation of a PES whose start was not seen: dropped. Before any
    // packet of the stream was taken, its start lies before the input.
    if ((b3 & 0x10) && check.state == kCounterFresh) ++check.headless;
    return true;
  } else if (b3 & 0x10) {
    check.tablesSince = 0;
    check.recordingsSince = 0;
    // The PES ended in its stuffed packet, and payload goes on without a
    // PES start: the packets of a PES whose first packet was lost (a
    // recording cut inside it, its counters running on by chance). They
    // are not this PES's bytes, nor do their counters tell of its damage;
    // the PES they carried is lost. The next PES's start is checked
    // against them. The stuffed packet sent again (its counter and payload
    // once more) is left to the counters.
    if (__builtin_expect(check.stuffedEnd != 0, 0) && left_out_after_stuffed_end(a.check, a.buffer, *a.size, packet,
                                                                                  uint32_t(layout.payloadOffset)))
      return true;
    check.stuffedEnd = 0;
    bool discontinuity = false;
    if (b3 & 0x20) {
      check.stuffedEnd = carries_stuffing(packet);
      discontinuity = flags_discontinuity(packet);
    }
    follow_counter(check, b3 & 0x0F, false, discontinuity);
  }
  append(a, packet + 4, layout.payloadOffset);
  return true;
}

// How the PES assembled starts, as where a recording may begin (kTSStart*
// bits).
uint32_t start_marks(const StreamCheck& check) {
  return (check.afterTables ? kTSStartAfterTables : 0u) | (check.afterBreak ? kTSStartAtBreak : 0u) |
         (check.afterTables && check.afterTablesRunOn ? kTSStartTablesRunOn : 0u) |
         (check.afterTables && check.afterEmptyRecording ? kTSStartPastEmptyRecording : 0u);
}

// Damage of the PES assembled so far, as if it ended here.
uint32_t damage_of(const PESAssembly& a) {
  uint32_t damage = a.check->damage;
  // A last packet held odd: what was lost before it cannot be told apart
  // from a wrong counter, and counts as lost.
  if (a.check->state == kCounterOdd && !a.check->oddAtStart) damage |= kTSDamageInside;
  if (a.check->announced >= 0) {
    // The length tells whether anything is lost or repeated, wherever the
    // counters break.
    damage &= ~(kTSDamageEndBroken | kTSDamageInside);
    if (a.check->announced != *a.size) damage |= kTSDamageInside;
  }
  if (*a.truncated) damage |= kTSDamageInside;
  return damage;
}

// Moves the time stamps of a complete PES into the output record; returns
// the status bits it adds.
uint32_t report(const PESAssembly& a, TSDemuxOutput* out) {
  out->bPTS = *a.bPTS;
  out->PTS = *a.PTS;
  out->bDTS = *a.bDTS;
  out->DTS = *a.DTS;
  return *a.truncated ? kTSStatusTruncated : 0u;
}

// Clears a reported PES from the context.
void clear(const PESAssembly& a) {
  *a.size = 0;
  *a.truncated = 0;
  a.check->damage = 0;
  a.check->announced = -1;
}

// The packet grid of a context. A fresh context expects a packet at the
// front of its input. Once a packet has been taken the next one is expected
// 192 bytes further on, and only its sync byte is checked: the clean path
// costs one comparison per packet. When the sync byte is missing there, the
// grid is looked for again (see regain_grid).
enum GridState : uint16_t { kGridFresh = 0, kGridHeld = 1, kGridSearching = 2 };

constexpr int32_t kSyncOffset = 4;       // the sync byte within a source packet
constexpr int32_t kHeaderBytes = 8;      // arrival time stamp and transport header
constexpr int32_t kGridLookahead = 4;    // grid positions tried past a damaged packet

// A source packet header that can start the grid: the sync byte, and an
// adaptation_field_control other than the reserved 0.
inline bool plausible_header(const uint8_t* sourcePacket) {
  return sourcePacket[kSyncOffset] == 0x47 && (sourcePacket[kSyncOffset + 3] & 0x30) != 0;
}

enum class Regain { kFound, kWait };

// Finds where the grid goes on in the `held` bytes at `p`, the packet at p
// having no sync byte (kGridHeld) or the search having begun at p
// (kGridSearching); *skip receives the bytes to drop before the packet found,
// or before the bytes to keep when more input is needed to decide. Every
// decision depends only on the bytes from p on, never on how they were cut
// into offers, so that a reader that starts at a recorded packet meets the
// same packets as the import that recorded it.
// - Grid held: a damaged packet on the grid is dropped whole when one of the
//   next grid positions has a plausible header.
// - Otherwise the first position x with a plausible header that a second
//   plausible header follows 192 bytes on.
Regain regain_grid(const uint8_t* p, int32_t held, GridState* state, int32_t* skip) {
  if (*state == kGridHeld) {
    for (int32_t k = 1; k <= kGridLookahead; ++k) {
      const int32_t pos = k * kTSSourcePacketSize;
      if (pos + kHeaderBytes > held) {
        *skip = 0;
        return Regain::kWait;
      }
      if (plausible_header(p + pos)) {
        *skip = pos;
        return Regain::kFound;
      }
    }
    *state = kGridSearching;
    p += 1;  // the packet on the lost grid is not a candidate
    held -= 1;
    *skip = 1;
  } else {
    *skip = 0;
  }
  int32_t x = 0;
  for (;;) {
    if (x + kHeaderBytes > held) break;
    const void* hit = std::memchr(p + x + kSyncOffset, 0x47, size_t(held - x - kSyncOffset));
    if (hit == nullptr) {
      x = held - kSyncOffset;  // the bytes before can start no packet
      break;
    }
    x = int32_t(static_cast<const uint8_t*>(hit) - p) - kSyncOffset;
    if (x + kTSSourcePacketSize + kHeaderBytes > held) break;  // cannot confirm yet
    if (plausible_header(p + x) && plausible_header(p + x + kTSSourcePacketSize)) {
      *skip += x;
      return Regain::kFound;
    }
    ++x;
  }
  if (x < 0) x = 0;
  *skip += x;
  return Regain::kWait;
}

// Counts bytes skipped before the first packet of the input (`found`: the
// packet is found behind them). Kept apart from the scan, whose clean path
// it would slow.
__attribute__((noinline)) void note_skipped(TSDemuxContext* c, int32_t skipped, bool found) {
  c->skippedBeforeFirst += skipped;
  if (found) c->firstFound = 1;
}

// A PAT: program tables come before the streams' next packets. Whether its
// counter follows the PAT before tells the recording's own tables going on
// from another recording's beginning. A discontinuity_indicator announces a
// jump of the counter inside the recording: such a PAT tells nothing of
// another recording by its counter. The first PAT begins a recording only
// where it comes before every packet of the streams: after some, the input
// began inside a recording whose first tables were cut off, and this PAT
// may well be that recording's own, repeated.
void note_tables(TSDemuxContext* c, const uint8_t* packet) {
  if (!(packet[3] & 0x10)) return;
  auto met = [](const StreamCheck& check) { return check.state != kCounterFresh || check.headless > 0; };
  const bool seen = c->tables.seen != 0;
  const bool begins = TSJudgeProgramAssociation(&c->tables, packet, met(c->videoCheck) || met(c->audioCheck));
  const uint32_t runOn = seen && !begins;
  for (StreamCheck* check : {&c->videoCheck, &c->audioCheck}) {
    check->tablesRunOnSince = check->tablesSince ? (check->tablesRunOnSince & runOn) : runOn;
    if (!check->tablesSince) check->recordingsSince = 0;
    if (begins && check->recordingsSince < 2) ++check->recordingsSince;
    check->tablesSince = 1;
  }
}

// A program map that says otherwise than the one before it (other streams,
// kinds or descriptors) is another recording's, whatever the counter of the
// PAT it follows: that PAT begins a recording, had it not already.
__attribute__((noinline)) void note_program_map(TSDemuxContext* c, const uint8_t* packet) {
  if (!TSJudgeProgramMap(&c->tables, packet)) return;
  for (StreamCheck* check : {&c->videoCheck, &c->audioCheck}) {
    if (!check->tablesSince) continue;
    check->tablesRunOnSince = 0;
    if (check->recordingsSince < 2) ++check->recordingsSince;
  }
}

// Whether a packet of the sound breaks its settled counters.
bool sound_breaks(const StreamCheck& check, const uint8_t* packet) {
  return (packet[3] & 0x10) && check.state == kCounterSettled && (packet[3] & 0x0F) != check.expect &&
         !flags_discontinuity(packet);
}

// Bytes the scan runs over: the context's window, or an offer read where the
// caller holds it while the window is empty.
struct ScanBytes {
  const uint8_t* pBuffer;
  int32_t size;
  int32_t used;
};

// Runs packets from `s` until a PES is complete or the bytes held cannot be
// used without more input (then `pending` is set and they stay).
void scan(TSDemuxContext* c, ScanBytes& s) {
  tsdemux::PacketLayout layout;
  // Kept in locals: the payload copies may alias anything, and the clean
  // path should not reload them.
  GridState grid = static_cast<GridState>(c->grid);
  bool afterPacket = c->afterPacket != 0;
  bool pending = false;
  for (;;) {
    const int32_t held = s.size - s.used;
    const uint8_t* front = s.pBuffer + s.used;
    if (grid == kGridHeld && held >= kTSSourcePacketSize && front[kSyncOffset] == 0x47) {
      // On the grid: the clean path.
      const uint8_t* packet = front + kSyncOffset;
      tsdemux::read_packet_layout(packet, &layout);
      const bool isVideo = layout.pid == kTSVideoPID && (c->streams & kTSStatusVideo);
      const bool isAudio = layout.pid == kTSAudioPID && (c->streams & kTSStatusAudio);
      if (!isVideo && !isAudio) {
        if (layout.pid == kTSProgramAssociationPID) note_tables(c, packet);
        else if (layout.pid == kTSProgramMapPID) note_program_map(c, packet);
      } else {
        if (isAudio && c->audioCheck.tablesSince && sound_breaks(c->audioCheck, packet)) {
          // The sound's counter breaks after the tables: a seam of every
          // stream, as where another recording begins.
          c->videoCheck.tablesRunOnSince = c->videoCheck.afterTablesRunOn = 0;
        }
        // Made for the packet's own stream only: the scan runs once per
        // packet for callers that offer one packet at a time.
        const PESAssembly a = isVideo ? video_assembly(c) : audio_assembly(c);
        if (!take_packet(a, packet, layout)) {
          c->status |= a.completeBit;
          break;
        }
      }
      s.used += kTSSourcePacketSize;
      afterPacket = (packet[3] & 0x30) != 0;
      continue;
    }
    if (held <= 0) break;
    if (grid == kGridFresh) {
      if (held < kHeaderBytes) {
        pending = true;
        break;
      }
      afterPacket = false;
      grid = plausible_header(front) ? kGridHeld : kGridSearching;
      if (grid == kGridHeld) note_skipped(c, 0, true);
      continue;
    }
    // The rest of the packet (or its sync byte) is still to come.
    if (grid == kGridHeld && (held <= kSyncOffset || front[kSyncOffset] == 0x47)) {
      pending = true;
      break;
    }
    int32_t skip = 0;
    const Regain r = regain_grid(front, held, &grid, &skip);
    s.used += skip;
    if (!c->firstFound) note_skipped(c, skip, r == Regain::kFound);
    if (r == Regain::kWait) {
      pending = true;
      break;
    }
    grid = kGridHeld;
    afterPacket = false;
  }
  if (s.used >= s.size) s.used = s.size = 0;
  c->grid = grid;
  c->afterPacket = afterPacket ? 1 : 0;
  c->pending = pending ? 1 : 0;
}

// Runs packets from the context's window.
void scan_window(TSDemuxContext* c) {
  PESScanner& window = c->scanner;
  ScanBytes s{window.pBuffer, window.size, window.used};
  scan(c, s);
  window.size = s.size;
  window.used = s.used;
}

}  // namespace

TSDemuxContext* TSOpenDemuxLib() {
  auto* c = static_cast<TSDemuxContext*>(std::calloc(1, sizeof(TSDemuxContext)));
  if (c == nullptr) return nullptr;
  // The buffers are not cleared: every byte is written before it is read
  // (sizes say what is held), and clearing 2 MiB costs a caller that moves
  // to another place in the stream more than the move itself.
  c->pAudio = static_cast<uint8_t*>(std::malloc(kTSAudioBufferSize));
  c->scanner.pBuffer = c->pAudio ? static_cast<uint8_t*>(std::malloc(kTSInputWindowSize)) : nullptr;
  c->pVideo = c->scanner.pBuffer ? static_cast<uint8_t*>(std::malloc(kTSVideoBufferSize)) : nullptr;
  if (c->pVideo == nullptr) {
    std::free(c->scanner.pBuffer);
    std::free(c->pAudio);
    std::free(c);
    return nullptr;
  }
  c->status = kTSStatusNeedInput;
  c->streams = kTSStatusVideo | kTSStatusAudio;
  c->videoCheck.announced = c->audioCheck.announced = -1;
  return c;
}

int32_t TSCloseDemuxLib(TSDemuxContext* ctx) {
  if (ctx == nullptr || ctx->pAudio == nullptr || ctx->scanner.pBuffer == nullptr || ctx->pVideo == nullptr)
    return 0;
  std::free(ctx->pAudio);
  std::free(ctx->scanner.pBuffer);
  std::free(ctx->pVideo);
  std::free(ctx);
  return 1;
}

int32_t TSResetDemuxLib(TSDemuxContext* ctx) {
  if (ctx == nullptr) return 0;
  TSDemuxContext fresh{};
  fresh.scanner.pBuffer = ctx->scanner.pBuffer;
  fresh.pVideo = ctx->pVideo;
  fresh.pAudio = ctx->pAudio;
  fresh.status = kTSStatusNeedInput;
  fresh.streams = ctx->streams;
  fresh.videoCheck.announced = fresh.audioCheck.announced = -1;
  *ctx = fresh;
  return 1;
}

int32_t TSDemuxFollowLib(TSDemuxContext* ctx, uint32_t streams) {
  streams &= kTSStatusVideo | kTSStatusAudio;
  if (ctx == nullptr || streams == 0) return 0;
  ctx->streams = streams;
  return 1;
}

uint8_t* TSDemuxInputSpaceLib(TSDemuxContext* ctx, int32_t* room) {
  if (room != nullptr) *room = 0;
  if (ctx == nullptr || room == nullptr) return nullptr;
  PESScanner& s = ctx->scanner;
  const int32_t held = s.size - s.used;
  if (held > 0 && !ctx->pending) return nullptr;
  PESScanner_Fill(nullptr, 0, &s);  // compacts
  *room = kTSInputWindowSize - 1 - s.size;
  return s.pBuffer + s.size;
}

int32_t PESScanner_Fill(const uint8_t* src, int32_t length, PESScanner* s) {
  int32_t held = s->size - s->used;
  if (held < 0) held = 0;
  if (held > 0 && s->used > 0) std::memmove(s->pBuffer, s->pBuffer + s->used, size_t(held));
  s->size = held;
  s->used = 0;
  int32_t n = kTSInputWindowSize - s->size;
  if (length < n) n = length;
  if (src == nullptr && n > 0) n = 0;
  if (n > 0) {
    // Bytes read in place (TSDemuxInputSpaceLib) are there already.
    if (src != s->pBuffer + s->size) std::memcpy(s->pBuffer + s->size, src, size_t(n));
    s->size += n;
  }
  return n;
}

uint32_t TSDemuxStreamLib(const uint8_t* data, int32_t length, TSDemuxOutput* out, TSDemuxContext* ctx) {
  if (data == nullptr) return kTSStatusNoData;
  if (out == nullptr || ctx == nullptr) return kTSStatusNoOutput;

  PESScanner& s = ctx->scanner;
  // Bytes that wait for the rest of a packet do not hold the input back:
  // the next offer is appended to them.
  const int32_t held = s.size - s.used;
  if (held > 0 && !ctx->pending) {
    ctx->status = kTSStatusHeld;
    scan_window(ctx);
  } else if (length <= 0) {
    ctx->status = kTSStatusNeedInput;
  } else if (length > kTSInputWindowSize - 1 - (held > 0 ? held : 0)) {
    ctx->status = kTSStatusRefused;
  } else if (held > 0 || data == s.pBuffer) {
    ctx->status = kTSStatusConsumed;
    PESScanner_Fill(data, length, &s);
    scan_window(ctx);
  } else {
    // Nothing held: the packets are read where the caller has them, and only
    // the bytes that stay (a packet that starts the next PES, a piece of a
    // packet) are copied into the window, as if all had gone through it.
    ctx->status = kTSStatusConsumed;
    ScanBytes offer{data, length, 0};
    scan(ctx, offer);
    s.size = s.used = 0;
    if (offer.used < offer.size) PESScanner_Fill(data + offer.used, offer.size - offer.used, &s);
  }

  uint32_t status = ctx->status;
  out->pVideo = ctx->pVideo;
  out->videoSize = ctx->videoSize;
  out->pAudio = ctx->pAudio;
  out->audioSize = ctx->audioSize;
  ctx->reportedDamage = 0;
  ctx->reportedStart = 0;
  if (status & (kTSStatusVideo | kTSStatusAudio)) {
    const PESAssembly a = (status & kTSStatusVideo) ? video_assembly(ctx) : audio_assembly(ctx);
    status |= report(a, out);
    ctx->reportedDamage = damage_of(a);
    ctx->reportedStart = start_marks(*a.check);
    clear(a);
  }
  ctx->status = status;
  out->status = status;
  return status;
}

int32_t TSDemuxGetPendingLib(const TSDemuxContext* ctx, TSDemuxPending* out) {
  if (ctx == nullptr || out == nullptr) return 0;
  const int32_t held = ctx->scanner.size - ctx->scanner.used;
  out->heldBytes = held > 0 ? held : 0;
  out->afterPacket = ctx->afterPacket;
  out->videoStarted = ctx->videoSize > 0 ? 1 : 0;
  out->bPTS = ctx->videoBPTS;
  out->PTS = ctx->videoPTS;
  out->bDTS = ctx->videoBDTS;
  out->DTS = ctx->videoDTS;
  // Input that ends here cuts short a PES that announces no length unless
  // its last packet carries the stuffing that ends a PES; a packet cut in the
  // middle that would have continued the PES (not started the next one)
  // tells so too. A PES that announced its length tells by that.
  TSDemuxContext* c = const_cast<TSDemuxContext*>(ctx);
  const uint8_t* front = ctx->scanner.pBuffer + ctx->scanner.used;
  const bool cut = ctx->pending && held > kSyncOffset + 2 && held < kTSSourcePacketSize && front[kSyncOffset] == 0x47;
  const uint32_t cutPid = cut ? (uint32_t(front[kSyncOffset + 1] & 0x1F) << 8) | front[kSyncOffset + 2] : 0;
  // A packet without payload (its adaptation field alone) continues nothing.
  const bool cutCarriesPayload = held <= kSyncOffset + 3 || (front[kSyncOffset + 3] & 0x10);
  const bool cutContinues = cut && !(front[kSyncOffset + 1] & 0x40) && cutCarriesPayload;
  const bool cutBegins = cut && (front[kSyncOffset + 1] & 0x40);
  out->videoBegunCut = cutBegins && cutPid == kTSVideoPID && (ctx->streams & kTSStatusVideo) ? 1 : 0;
  out->audioBegunCut = cutBegins && cutPid == kTSAudioPID && (ctx->streams & kTSStatusAudio) ? 1 : 0;
  auto damage = [&](const PESAssembly& a, uint32_t pid, uint16_t* unstuffed) -> uint32_t {
    *unstuffed = 0;
    if (*a.size <= 0) return 0;
    const uint32_t seen = damage_of(a);
    if (a.check->announced >= 0) return seen;
    if (cutContinues && cutPid == pid) return seen | kTSDamageInside;
    if (a.check->stuffedEnd) return seen;
    *unstuffed = (seen & kTSDamageInside) == 0;
    return seen | kTSDamageInside;
  };
  out->videoDamage = damage(video_assembly(c), kTSVideoPID, &out->videoEndUnstuffed);
  out->audioDamage = damage(audio_assembly(c), kTSAudioPID, &out->audioEndUnstuffed);
  out->skippedBeforeFirstPacket = ctx->skippedBeforeFirst;
  // Bytes on the grid that wait for the rest of their packet: the arrival
  // time stamp alone, or a header with its sync byte; not a packet whose
  // header shows no payload (it carries nothing that could be lost).
  const bool partPacket = ctx->pending && ctx->grid == kGridHeld && held > 0 && held < kTSSourcePacketSize &&
                          (held <= kSyncOffset || front[kSyncOffset] == 0x47) && cutCarriesPayload;
  out->cutPacketBytes = partPacket ? held : 0;
  out->videoStart = ctx->videoSize > 0 ? start_marks(ctx->videoCheck) : 0u;
  out->videoHeadless = ctx->videoCheck.headless;
  out->audioStarted = ctx->audioSize > 0 ? 1 : 0;
  out->audioBPTS = ctx->audioBPTS;
  out->audioPTS = ctx->audioPTS;
  out->audioStart = ctx->audioSize > 0 ? start_marks(ctx->audioCheck) : 0u;
  return 1;
}

uint32_t TSDemuxReportedDamageLib(const TSDemuxContext* ctx) { return ctx != nullptr ? ctx->reportedDamage : 0; }

uint32_t TSDemuxReportedStartLib(const TSDemuxContext* ctx) { return ctx != nullptr ? ctx->reportedStart : 0; }
