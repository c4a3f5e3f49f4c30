// TSDemuxerLib: demultiplexer of AVCHD transport streams (192-byte source
// packets: a 4-byte arrival time stamp, then a 188-byte transport packet).
//
// The video elementary stream is on PID 0x1011 and the audio stream on PID
// 0x1100; both are fixed, there is no selection through the program tables.
// TSDemuxStreamLib hands back at most one whole PES, audio or video, each
// time it is called, together with its time stamps. Beside it: a one-packet
// parser, the program-map stream
// information and the EP map of a clip-information file.
//
// The library keeps no global state, starts no threads and writes no
// messages: all a call reads or changes is what its caller passes in (a
// demultiplexer context, a table's records).
#pragma once

#include <cstdint>

// Fixed PIDs of an AVCHD recording.
constexpr uint32_t kTSVideoPID = 0x1011;
constexpr uint32_t kTSAudioPID = 0x1100;
constexpr uint32_t kTSProgramAssociationPID = 0x0000;
constexpr uint32_t kTSProgramMapPID = 0x0100;
constexpr uint32_t kTSClockPID = 0x1001;

// Size of a source packet and of the transport packet inside it.
constexpr int32_t kTSSourcePacketSize = 192;
constexpr int32_t kTSPacketSize = 188;
constexpr int32_t kTSPayloadAreaSize = 184;

// Buffer sizes of a demultiplexer context.
constexpr int32_t kTSInputWindowSize = 0x30000;   // 1,024 source packets
constexpr int32_t kTSVideoBufferSize = 0x200000;  // one video PES, 2 MiB
constexpr int32_t kTSAudioBufferSize = 5760;      // one audio PES, 30 source packets

// Status bits of TSDemuxStreamLib (returned and stored in TSDemuxOutput).
constexpr uint32_t kTSStatusConsumed = 0;       // the offered data were taken; no PES completed
constexpr uint32_t kTSStatusNeedInput = 2;      // nothing held and nothing offered: feed more input
constexpr uint32_t kTSStatusHeld = 8;           // data were still held: the offered data were not taken
constexpr uint32_t kTSStatusRefused = 0x10;     // the offered data were longer than the window: not taken
constexpr uint32_t kTSStatusNoOutput = 64;      // the output record pointer is NULL
constexpr uint32_t kTSStatusNoData = 128;       // the data pointer is NULL
constexpr uint32_t kTSStatusVideo = 0x100;      // a complete video PES is reported
constexpr uint32_t kTSStatusAudio = 0x200;      // a complete audio PES is reported
constexpr uint32_t kTSStatusTruncated = 0x400;  // the reported PES outgrew its buffer: its tail was dropped

// Input window at the head of a context: the source packets offered and not
// yet consumed are bytes [used, size) of pBuffer.
struct PESScanner {
  uint8_t* pBuffer;
  int32_t size;
  int32_t used;
};

// A demultiplexer instance; callers keep only the pointer.
struct TSDemuxContext;

// Result record of one TSDemuxStreamLib call. The caller owns it and sets
// status to kTSStatusNeedInput before the first call. pVideo and pAudio point
// into the context and stay valid until the next call on it. The time-stamp
// fields (bPTS, PTS, bDTS, DTS) change only on a call that reports a PES; any
// other call leaves the values of the last report in place.
struct TSDemuxOutput {
  uint8_t* pVideo;
  int32_t videoSize;  // complete PES with kTSStatusVideo, else the part assembled so far
  uint8_t* pAudio;
  int32_t audioSize;  // complete PES with kTSStatusAudio, else the part assembled so far
  uint16_t bPTS;
  int64_t PTS;  // 33-bit presentation time stamp, 90 kHz
  uint16_t bDTS;
  int64_t DTS;  // 33-bit decoding time stamp, 90 kHz
  uint32_t status;
};

// Parse record of one transport packet, filled by DemuxParseATSPacket.
// Every field is 0 unless the packet sets it.
struct ATSPacketInfo {
  uint32_t pid;
  uint32_t streamId;  // stream_id of an audio PES start
  uint16_t bPTS;
  int64_t PTS;
  uint16_t bDTS;  // video: also set (equal to the PTS) when only a PTS is coded
  int64_t DTS;
  uint16_t bPMT;
  uint32_t pmtFrameRate;    // low nibble of byte 42 of a program-map packet
  uint32_t pmtVideoFormat;  // high nibble of byte 42 of a program-map packet
  uint16_t bPCR;
  int64_t pcrBase;  // 33 bits, 90 kHz
  int64_t pcr;      // 27 MHz: pcrBase * 300 + pcrExt
  int64_t pcrExt;   // 9 bits
  const uint8_t* pPacket;  // the 188-byte packet (the caller's memory)
  uint32_t areaSize;       // 184
  uint32_t payloadOffset;  // payload start within the 184-byte area
  uint32_t bPUSI;
  // Program map: the video entry, then the audio entry.
  uint16_t bLPCM;  // 1 for stream_type 0x80 (LPCM), 0 for 0x81 (AC-3)
  uint32_t videoDescTag, videoDescLength;
  uint32_t videoFormatId;
  uint32_t videoCodingType;
  uint32_t videoFormat, videoFrameRate, videoAspectRatio;
  uint32_t ac3DescTag, ac3DescLength;
  uint32_t sample_rate_code, bsid, bit_rate_code, surround_mode, bsmod, num_channels, full_svc,
      langcod, langcod2, mainid, priority, asvcflags, textlen, text_code, language_flag,
      language_flag_2;
  uint32_t lpcmDescTag, lpcmDescLength;
  uint32_t lpcmFormatId;
  uint32_t lpcmCodingType;
  uint32_t lpcmPresentationType, lpcmSamplingFrequency;
  uint32_t lpcmBitsPerSample;
};

// Flat record of one source packet, filled by TSDemuxPacketLib.
struct TSDemuxPacketInfo {
  uint16_t bAudio;
  uint16_t bVideo;
  uint16_t bPTS;
  int64_t PTS;
  uint16_t bDTS;
  int64_t DTS;
  const uint8_t* pPayload;  // into the caller's packet
  int32_t payloadSize;
  uint16_t bPMT;
  uint32_t pmtFrameRate;
  uint32_t pmtVideoFormat;
};

// One entry point of a clip's EP map.
struct EPMapEntry {
  uint64_t PTS;         // 90 kHz
  uint64_t byteOffset;  // source-packet number * 192
  uint64_t reserved;    // not written
};

// Words of the stream information filled by TSGetStreamInfoLib.
constexpr int32_t kStreamInfoIsLPCM = 0;
constexpr int32_t kStreamInfoLPCMSampleRate = 1;
constexpr int32_t kStreamInfoLPCMReserved = 2;
constexpr int32_t kStreamInfoLPCMBitsPerSample = 3;
constexpr int32_t kStreamInfoLPCMChannelCode = 4;
constexpr int32_t kStreamInfoAC3SampleRate = 5;
constexpr int32_t kStreamInfoAC3Reserved = 6;
constexpr int32_t kStreamInfoAC3BitRate = 7;
constexpr int32_t kStreamInfoAC3ChannelCode = 8;
constexpr int32_t kStreamInfoVideoFormat = 9;
constexpr int32_t kStreamInfoVideoFrameRate = 10;
constexpr int32_t kStreamInfoVideoAspectRatio = 11;
constexpr int32_t kStreamInfoWords = 12;

// Result codes of TSDemuxParseCPILib.
constexpr int32_t kCPIOk = 0;
constexpr int32_t kCPINoClip = 1;
constexpr int32_t kCPINoOutput = 2;
constexpr int32_t kCPIBadSize = 3;
constexpr int32_t kCPIBadMaxEntries = 4;
constexpr int32_t kCPITooManyEntries = 5;
constexpr int32_t kCPIOutsideFile = 6;  // an offset or count of the file points past its end
constexpr int32_t kCPINoMemory = 7;

// --- Context and stream call -----------------------------------------------

// New context (record cleared, buffers not: nothing in them is valid until a
// PES or an offer fills it; status kTSStatusNeedInput), or NULL when
// an allocation fails (nothing is left allocated then).
TSDemuxContext* TSOpenDemuxLib();

// Frees the buffers and the context and returns 1; returns 0 and frees
// nothing when a buffer pointer of the context is NULL (or ctx is NULL).
int32_t TSCloseDemuxLib(TSDemuxContext* ctx);

// Takes the context back to the state TSOpenDemuxLib leaves (nothing held,
// nothing assembled, status kTSStatusNeedInput) without reallocating or
// clearing its buffers: a caller that moves to another place in the stream
// starts over at no cost beyond the call. Returns 1, or 0 for NULL.
int32_t TSResetDemuxLib(TSDemuxContext* ctx);

// Chooses the streams a context assembles: kTSStatusVideo, kTSStatusAudio,
// or both (as a new context does). Packets of a stream left out are consumed
// and dropped, so a reader of one stream copies nothing of the other; which
// packets start and end the followed stream's PES does not change. Kept by
// TSResetDemuxLib. Returns 1, or 0 for NULL or no stream named.
int32_t TSDemuxFollowLib(TSDemuxContext* ctx, uint32_t streams);

// For a caller that reads its input straight into the context: compacts the
// input window and returns where the bytes of the next offer go, with the
// room there in *room. Offering that very pointer to TSDemuxStreamLib (at
// most *room bytes, filled in place) takes the bytes without copying them.
// NULL, with *room 0, for a NULL argument or while the context holds data it
// must work through first (the stream call would not take an offer then).
uint8_t* TSDemuxInputSpaceLib(TSDemuxContext* ctx, int32_t* room);

// Offers `length` bytes of source packets (taken only when the context holds
// nothing it can use) and runs until one PES is complete or the held data run
// out. Returns the status bits, also stored in out->status. Protocol: offer
// new data only after a status with kTSStatusNeedInput; otherwise call again
// with length 0 (and a data pointer that is not NULL) until nothing held is
// left. No call reports more than one PES.
//
// Input need not be cut at packet boundaries: the piece of a packet at the
// end of an offer waits for the rest, and a context asks for input while it
// holds only such bytes. The packet grid (a 0x47 sync byte 4 bytes into every
// 192-byte source packet) is found wherever it is lost: at the start (bytes
// in front of the first packet), after a damaged stretch and after a cut (a
// part packet followed by whole ones). A damaged packet on the grid is
// dropped whole. Which packets are taken depends only on the bytes, never on
// how they are cut into offers.
uint32_t TSDemuxStreamLib(const uint8_t* data, int32_t length, TSDemuxOutput* out,
                          TSDemuxContext* ctx);

// Damage the demultiplexer sees in a PES, from the continuity counters of its
// stream's packets (those with payload; a discontinuity_indicator allows a
// jump, and a single packet whose counter is wrong while the next packet
// follows the one before it lost nothing) and the length its header
// announces, which, where there is one, alone tells whether bytes are lost.
constexpr uint32_t kTSDamageInside = 1;     // packets lost inside it or sent twice, its bytes differ from
                                            // the length announced, or it outgrew its buffer
constexpr uint32_t kTSDamageEndBroken = 2;  // the packet that starts the next PES of the stream does not
                                            // continue the counter: packets at its end may be lost, or
                                            // another recording begins there (a join); only for a PES
                                            // that announces no length (else its length tells)
constexpr uint32_t kTSDamageBreakRepaired = 4;  // no damage: the break that the counter of this PES's first
                                                // packet made (kTSDamageEndBroken of the PES before) was
                                                // that counter alone, wrong; nothing was lost there
constexpr uint32_t kTSDamageHeadLostAfter = 8;  // only for a PES that announces no length: after its
                                                // last packet (which carried stuffing) came packets of
                                                // the stream without a PES start, left out: a PES
                                                // whose first packet was lost followed it

// Damage (kTSDamage* bits) of the PES reported by the last TSDemuxStreamLib
// call on the context; 0 when it reported none, or for NULL.
uint32_t TSDemuxReportedDamageLib(const TSDemuxContext* ctx);

// How the PES reported by the last TSDemuxStreamLib call starts, as where a
// recording begins (kTSStart* bits); 0 when it reported none, or for NULL.
constexpr uint32_t kTSStartAfterTables = 1;  // program tables (a PAT) came between the stream's packet
                                             // before this PES and its first
constexpr uint32_t kTSStartAtBreak = 2;      // the counter of its first packet does not follow the PES
                                             // before: packets lost between, or another recording
constexpr uint32_t kTSStartTablesRunOn = 4;  // with kTSStartAfterTables: the counters of those PATs
                                             // follow the PAT before and the sound's did not break
                                             // after them: the recording's own tables, no other's
constexpr uint32_t kTSStartPastEmptyRecording = 8;  // with kTSStartAfterTables: two of those PATs began a
                                                    // recording (a counter break, or the first PAT when no
                                                    // packet of the streams came before it): the recording
                                                    // between holds no packet of the stream
uint32_t TSDemuxReportedStartLib(const TSDemuxContext* ctx);

// What a context holds between calls.
struct TSDemuxPending {
  int32_t heldBytes;     // bytes offered and not yet consumed; after a report,
                         // the packet that starts the next PES is first among them
  uint16_t afterPacket;  // 1: the first packet held directly follows a packet
                         // (192 bytes before it), 0: bytes were skipped there
  uint16_t videoStarted; // a video PES is being assembled; its time stamps:
  uint16_t bPTS;
  int64_t PTS;
  uint16_t bDTS;
  int64_t DTS;
  // Damage (kTSDamage* bits) of the video and the audio PES being assembled,
  // were the input to end here. A PES that announces no length counts as cut
  // short when its last packet carries no stuffing bytes (a PES ends inside
  // its last packet, whose adaptation field the multiplexer fills with
  // stuffing; a PES that fills its last packet exactly counts as cut too) or
  // when the input ends inside a packet of its stream that would have
  // continued it.
  uint32_t videoDamage;
  uint32_t audioDamage;
  // 1 when the missing stuffing alone makes the PES count as cut short
  // (kTSDamageInside): it may as well have filled its last packet exactly,
  // which only its content can tell.
  uint16_t videoEndUnstuffed;
  uint16_t audioEndUnstuffed;
  // 1 when the input ends inside a packet of the stream that starts its next
  // PES (the packet's header is there, the rest of it is not): a PES begun
  // and cut short, whose bytes are not assembled.
  uint16_t videoBegunCut;
  uint16_t audioBegunCut;
  // Bytes of the input before its first packet (junk in front of a
  // recording), skipped.
  int64_t skippedBeforeFirstPacket;
  // Bytes of the packet the input ends inside (the rest of it missing), 0
  // when the input ends at a packet's end; also when too few are there to
  // tell the packet's stream.
  int32_t cutPacketBytes;
  // How the video PES being assembled starts (kTSStart* bits, as
  // TSDemuxReportedStartLib tells of a PES reported); 0 when none is.
  uint32_t videoStart;
  // Packets with payload of the video dropped before its first PES start:
  // the input begins inside a video PES, whose head (and time stamps) it
  // lacks.
  int32_t videoHeadless;
  // An audio PES is being assembled; its time stamp, and how it starts
  // (kTSStart* bits; 0 when none is).
  uint16_t audioStarted;
  uint16_t audioBPTS;
  int64_t audioPTS;
  uint32_t audioStart;
};

// Fills `out`; returns 1, or 0 for a NULL argument.
int32_t TSDemuxGetPendingLib(const TSDemuxContext* ctx, TSDemuxPending* out);

// Compacts the window (drops the consumed bytes), then appends
// min(window room, length) bytes; returns that count (0 or less when nothing
// was appended).
int32_t PESScanner_Fill(const uint8_t* src, int32_t length, PESScanner* s);

// --- Packet parser ---------------------------------------------------------

// Parses one 188-byte packet (a source packet + 4). Returns 0 when length is
// below 188 or the sync byte is not 0x47 (nothing written), else 1 after
// filling info (cleared by the caller with DemuxInit); the payload goes to
// payloadOut, which must hold 184 bytes, and its size to payloadLength.
int32_t DemuxParseATSPacket(const uint8_t* packet, int32_t length, ATSPacketInfo* info,
                            uint8_t* payloadOut, int32_t* payloadLength);

// Sets every field of the record to 0; returns 0.
int32_t DemuxInit(ATSPacketInfo* info);

const uint8_t* Payload(const ATSPacketInfo* info);
int32_t PayloadLength(const ATSPacketInfo* info);

// 33-bit time stamp coded in 5 bytes the PES way (marker bits ignored).
int64_t GetClock(const uint8_t* p);

// A digest of the table section that starts in a 188-byte packet (as far as
// the packet holds it), never 0; 0 when no section starts there. Two
// recordings whose program maps differ give different digests.
uint64_t TSProgramSectionKey(const uint8_t* packet);

// Whether program tables begin another recording. A PAT whose counter does
// not follow the PAT before it (one whose discontinuity_indicator announces
// a jump excepted) begins one; so does the PAT before a program map unlike
// the map before it (other streams, kinds or descriptors). The demultiplexer
// keeps one; a caller that reads the packets itself keeps its own and asks
// the same questions.
struct TSTablesJudge {
  uint64_t programMapKey;  // digest of the last program map (0: none yet)
  uint8_t seen;            // a PAT was read
  uint8_t last;            // its continuity counter
  uint8_t began;           // it began a recording
};

// A 188-byte packet of PID 0. `streamsMet`: packets of the streams came
// before it; the first PAT then begins nothing (the input began inside a
// recording whose first tables were cut off). A packet without payload
// changes nothing. Returns whether the latest PAT began a recording.
bool TSJudgeProgramAssociation(TSTablesJudge* judge, const uint8_t* packet, bool streamsMet);

// A 188-byte packet of the program map's PID. Returns true where its map,
// unlike the one before, turns the PAT before it into a beginning.
bool TSJudgeProgramMap(TSTablesJudge* judge, const uint8_t* packet);

// --- Stand-alone services --------------------------------------------------

// Parses the source packet at sourcePacket; returns 1 after filling rec, 0
// for a NULL argument, a length below 188 (rec untouched) or a failed parse
// (then bAudio, bVideo and bPMT are 0).
int32_t TSDemuxPacketLib(const uint8_t* sourcePacket, int32_t length, TSDemuxPacketInfo* rec);

// Finds the program map in a buffer of source packets and fills the twelve
// words (see kStreamInfo*). Returns 0 on success; -1 if what follows the
// first 0x47 byte is shorter than one 188-byte packet; -2 if an argument is
// NULL; -3 if no program map turns up; -4 for an AC-3 bit rate code outside
// the rate table.
int32_t TSGetStreamInfoLib(int32_t info[kStreamInfoWords], const uint8_t* data, int32_t length);

// Reads the EP map of a clip-information file image into out (PTS and byte
// offset per fine entry). Returns a kCPI* code; count, sourcePackets and
// clipWidth may be NULL when not wanted.
int32_t TSDemuxParseCPILib(const uint8_t* clpi, int32_t size, int32_t maxEntries, EPMapEntry* out,
                           uint32_t* count, uint32_t* sourcePackets, uint32_t* clipWidth);

// Stores value big-endian at p and returns it.
uint32_t WriteLong(uint8_t* p, uint32_t value);
