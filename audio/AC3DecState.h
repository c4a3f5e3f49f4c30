// Internals of the AC-3 decoder: the instance record, the bit reader and the
// stages of one syncframe. Field names are those of the A/52 syntax.
#pragma once

#include <cstdint>

#include "AC3Decoder.h"

struct MDCTInvSpec_32f;

namespace ac3dec {

constexpr int kBlockSamples = 256;   // sample frames per audio block
constexpr int kBlocksPerFrame = 6;
constexpr int kMaxFbwChannels = 5;
constexpr int kCplSlot = 5;          // exponent/bap slot of the coupling channel
constexpr int kLfeSlot = 6;          // exponent/bap slot of the LFE channel
constexpr int kLfeRow = 5;           // coefficient and time row of the LFE
constexpr int kSpareRow = 6;         // time row for roles the stream lacks
constexpr int kLfeBins = 7;

// Error codes of the library.
enum : int32_t {
  kOk = 0,
  kErrNull = -1,
  kErrUnsupported = -2,
  kErrShort = -3,
  kErrOutputFull = -4,
  kErrBeyondInput = -5,
  kErrNoLayout = -6,
  kErrReserved = -7,
  kErrCrc = -8,
};

// MSB-first reader over one input buffer. At the end of the data it sticks on
// the last byte with bitPos 8 and every further bit reads as 0.
struct AC3BitReader {
  const uint8_t* base;
  int32_t size;
  uint8_t bitPos;            // 0..8 within *cur
  const uint8_t* cur;
  const uint8_t* syncStart;  // first byte of the frame's sync word
};

void InitBitReader(AC3BitReader* r, const uint8_t* data, int32_t size);

inline int64_t BitsRead(const AC3BitReader* r) {
  return int64_t(r->cur - r->base) * 8 + r->bitPos;
}
inline int64_t BitsRemaining(const AC3BitReader* r) {
  return int64_t(r->size) * 8 - BitsRead(r);
}

// Moves the reader to absolute bit position pos (at most 8 × size).
inline void SeekBits(AC3BitReader* r, int64_t pos) {
  const int64_t end = int64_t(r->size) * 8;
  if (pos >= end && r->size > 0) {
    r->cur = r->base + r->size - 1;
    r->bitPos = 8;
  } else {
    r->cur = r->base + (pos >> 3);
    r->bitPos = uint8_t(pos & 7);
  }
}

// Reads n bits (0..25) near the end of the data; bits past the end are 0.
inline uint32_t GetBitsSlow(AC3BitReader* r, int n) {
  const int64_t pos = BitsRead(r);
  const int64_t avail = int64_t(r->size) * 8 - pos;
  if (avail <= 0 || n == 0) return 0;
  const int take = avail < n ? int(avail) : n;
  const int span = (r->bitPos + take + 7) >> 3;
  uint32_t acc = 0;
  for (int i = 0; i < span; ++i) acc = (acc << 8) | r->cur[i];
  const uint32_t v = (acc >> (span * 8 - r->bitPos - take)) & ((1u << take) - 1);
  SeekBits(r, pos + take);
  return v << (n - take);
}

// Reads n bits (0..25), most significant first; bits past the end are 0.
inline uint32_t GetBits(AC3BitReader* r, int n) {
  // Away from the end, four bytes hold any field: bitPos (0..7) + 25 <= 32,
  // and the reader cannot reach its sticky end state.
  if (n > 0 && r->size - (r->cur - r->base) >= 5) {
    const uint8_t* p = r->cur;
    const uint32_t w = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    const uint32_t v = (w << r->bitPos) >> (32 - n);
    const int bits = r->bitPos + n;
    r->cur += bits >> 3;
    r->bitPos = uint8_t(bits & 7);
    return v;
  }
  return GetBitsSlow(r, n);
}

inline void SkipBits(AC3BitReader* r, int64_t n) {
  const int64_t end = int64_t(r->size) * 8;
  int64_t pos = BitsRead(r) + n;
  if (pos > end) pos = end;
  if (BitsRemaining(r) > 0) SeekBits(r, pos);
}

struct AC3SyncInfo {
  uint32_t sampleRate;  // Hz
  uint32_t frameWords;  // frame size in 16-bit words
  uint16_t bitRate;     // kbit/s
  uint8_t fscod;
  uint8_t frmsizecod;
};

struct AC3Bsi {
  uint8_t bsid, bsmod, acmod, cmixlev, surmixlev, dsurmod, lfeon, dialnorm;
  uint8_t compre, compr, langcode, langcod, audprodie, mixlevel, roomtyp;
  uint8_t dialnorm2, compr2e, compr2, langcod2e, langcod2, audprodi2e, mixlevel2, roomtyp2;
  uint8_t copyrightb, origbs, timecod1e, timecod2e;
  uint16_t timecod1, timecod2;
  uint8_t addbsie, addbsil;
  uint8_t addbsi[64];
  uint8_t serviceKind;  // bsmod, or 8 for karaoke (bsmod 7 with acmod >= 2)
  uint32_t nfchans;
};

struct DeltaBitAlloc {
  uint8_t deltbae;  // 0 reuse, 1 new, 2 none, 3 reserved
  uint8_t deltba[9];
  uint8_t deltnseg;  // segments minus 1
  uint8_t deltoffst[9];
  uint8_t deltlen[9];
};

// Side information of the current audio block. Values the stream may reuse
// stay from the previous block (and the previous frame's last block).
struct AC3AudioBlock {
  uint8_t blksw[5];
  uint8_t dithflag[5];
  uint8_t dynrnge, dynrng;
  uint8_t dynrng2e, dynrng2;
  uint8_t cplstre, cplinu;
  uint8_t chincpl[5];
  uint8_t phsflginu;
  uint8_t cplbegf, cplendf;
  uint8_t cplbndstrc[18];
  int32_t cplbndend[18];
  uint8_t cplcoe[5];
  float cplco[5][18];
  uint8_t phsflg[18];
  uint8_t rematstr, rematflg[4], nrematbd;
  uint8_t cplexpstr, chexpstr[5];
  uint8_t lfeexpstr;
  uint8_t chbwcod[5];
  uint8_t cplabsexp;
  uint8_t cplexps[72];
  uint8_t exps[5][85];
  uint8_t gainrng[5];
  uint8_t lfeexps[3];
  uint8_t baie, sdcycod, fdcycod, sgaincod, dbpbcod, floorcod;
  uint8_t snroffste, csnroffst, cplfsnroffst, cplfgaincod;
  uint8_t fsnroffst[5], fgaincod[5];
  uint8_t lfefsnroffst, lfefgaincod;
  uint8_t cplleake, cplfleak, cplsleak;
  uint8_t deltbaie;
  DeltaBitAlloc cpldelt;     // coupling channel record
  DeltaBitAlloc chdelt[5];   // one per full-bandwidth channel
  uint8_t skiple;
  uint16_t skipl;
  uint8_t ncplsubnd;
  int32_t nchgrps[5];
  int32_t ncplgrps;
  int32_t endmant[5];
  int32_t cplstrtmant, cplendmant;
  uint8_t baRecompute[7];
};

// Output format, derived from the caller's record on every frame.
struct AC3OutFormat {
  int32_t acmod;  // 1..7, 0 before the first frame
  int32_t lfe;    // 0/1
  int32_t stereoMode;
  int32_t dynamicRange;
  int32_t heavyCompression;
  int32_t dialNorm;
};

}  // namespace ac3dec

// The decoder instance: one 32-byte-aligned block obtained at creation. The
// transform specs, work buffer and initialisation buffer follow the fixed
// part in the same block.
struct AC3DecState {
  ac3dec::AC3SyncInfo sync;
  ac3dec::AC3Bsi bsi;
  ac3dec::AC3AudioBlock audblk;

  const MDCTInvSpec_32f* specLong;   // 512-point inverse MDCT
  const MDCTInvSpec_32f* specShort;  // 256-point inverse MDCT
  uint8_t* workShort;                // work buffer used with the short spec
  uint8_t* workLong;                 // the same buffer, used with the long spec
  float* halfBlock[2];               // the two half-block arrays below

  uint16_t crc1;

  // Exponents and baps by slot: 0..4 full-bandwidth, 5 coupling (256 bins
  // each), 6 LFE (7 bins). Row of slot s starts at s × 256.
  alignas(32) int32_t exp[5 * 256 + 256 + 7];
  alignas(32) int32_t bap[5 * 256 + 256 + 7];

  alignas(32) float coeffs[6][256];   // rows 0..4 full-bandwidth, 5 LFE
  alignas(32) float overlap[6][256];  // per output position
  alignas(32) float timeRows[7][512]; // 0..4 full-bandwidth, 5 LFE, 6 spare
  float* outChannels[6];              // time rows in output order

  uint16_t ditherSeed;
  ac3dec::AC3OutFormat outFormat;

  alignas(32) float halfBlockMem[2][128];
};

namespace ac3dec {

inline int32_t* ExpRow(AC3DecState* s, int slot) { return s->exp + slot * 256; }
inline int32_t* BapRow(AC3DecState* s, int slot) { return s->bap + slot * 256; }

// Sync, CRC, bit-stream information and frame tail.
int32_t GetSynch(AC3BitReader* r);
int32_t ParseSyncInfo(AC3DecState* s, AC3BitReader* r);
uint32_t crc16Check(const uint8_t* bytes, int32_t length);
int32_t ParseBsi(AC3DecState* s, AC3BitReader* r);
int32_t ParseAuxdataCrc2(AC3DecState* s, AC3BitReader* r);
// bsid of the frame whose sync word the reader has just passed, without
// moving the reader; -1 when the input ends before it.
int32_t PeekBsid(const AC3BitReader* r);

// Audio blocks.
int32_t ParseAudblk(uint32_t blk, AC3DecState* s, AC3BitReader* r);
int32_t DecodeExponents(AC3DecState* s);
int32_t BitAllocation(AC3DecState* s);
void computeBap(int32_t start, int32_t end, int32_t fgain, int32_t snroffset, int32_t fastleak,
                int32_t slowleak, int32_t fscod, const int32_t* exp, const DeltaBitAlloc* dba,
                int32_t* bap, const AC3DecState* s);
int32_t logadd(int32_t a, int32_t b);
int32_t calc_lowcomp(int32_t a, int32_t b0, int32_t b1, int32_t bin);

struct MantissaGroups {
  uint8_t pos1, pos2, pos4;  // 3 (or 2 for bap 4) = no group held
  const float* group1;
  const float* group2;
  const float* group4;
};
int32_t DecodeMantissas(AC3DecState* s, AC3BitReader* r);
int32_t UnpackMantissas(const int32_t* bap, const int32_t* exp, float* out, int32_t count,
                        int32_t dithflag, uint16_t* seed, MantissaGroups* groups, AC3BitReader* r);
float dither_gen(uint16_t* seed);

// Synthesis.
void Rematrixing(AC3DecState* s);
int32_t InverseTransform(AC3DecState* s);
void Downmixing(AC3DecState* s);
float dynamicRange(uint8_t compre, uint8_t compr, uint8_t dynrng, uint8_t dialnorm,
                   const AC3DecState* s);
int32_t WindowOverlap(AC3DecState* s, int16_t* out);

int32_t AC3DecSetOutFormat(AC3DecState* s, const ac3decInfo* info);

}  // namespace ac3dec
