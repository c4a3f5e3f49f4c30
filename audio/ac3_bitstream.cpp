// Front and tail of an AC-3 syncframe: sync search, sync information, CRC,
// bit-stream information and the skip over the auxiliary data.
#include <cstring>

#include "AC3DecState.h"
#include "AC3Tables.h"

namespace ac3dec {

void InitBitReader(AC3BitReader* r, const uint8_t* data, int32_t size) {
  r->base = data;
  r->size = size;
  r->bitPos = 0;
  r->cur = data;
  r->syncStart = data;
}

int32_t GetSynch(AC3BitReader* r) {
  if (BitsRemaining(r) < 16) return kErrShort;
  uint32_t window = GetBits(r, 16);
  while (window != 0x0B77) {
    if (BitsRemaining(r) < 8) return kErrShort;
    window = ((window << 8) | GetBits(r, 8)) & 0xFFFF;
  }
  // The reader starts on a byte boundary and moves in whole bytes.
  r->syncStart = r->base + ((BitsRead(r) - 16) >> 3);
  return kOk;
}

int32_t PeekBsid(const AC3BitReader* r) {
  // bsid sits 40 bits after the start of the sync word, in AC-3 and E-AC-3.
  AC3BitReader peek = *r;
  const int64_t at = int64_t(r->syncStart - r->base) * 8 + 40;
  if (at + 5 > int64_t(r->size) * 8) return -1;
  SeekBits(&peek, at);
  return int32_t(GetBits(&peek, 5));
}

int32_t ParseSyncInfo(AC3DecState* s, AC3BitReader* r) {
  s->crc1 = uint16_t(GetBits(r, 16));
  s->sync.fscod = uint8_t(GetBits(r, 2));
  if (s->sync.fscod == 3) return kErrReserved;
  s->sync.frmsizecod = uint8_t(GetBits(r, 6));
  if (s->sync.frmsizecod >= 38) return kErrUnsupported;
  const FrameSizeRow& row = FRAMESIZECODE[s->sync.frmsizecod];
  s->sync.sampleRate = SAMPLING_RATE[s->sync.fscod];
  s->sync.bitRate = row.kbps;
  s->sync.frameWords = row.words[s->sync.fscod];
  return kOk;
}

namespace {

// crcTable extended for four bytes at a time: sliceTable[k][v] is the
// register after byte v followed by k zero bytes, starting from zero. The CRC
// is linear, so four bytes fold in as four independent lookups.
struct CrcSlices {
  uint16_t t[4][256];
  CrcSlices() {
    for (int v = 0; v < 256; ++v) t[0][v] = crcTable[v];
    for (int k = 1; k < 4; ++k)
      for (int v = 0; v < 256; ++v) {
        const uint32_t prev = t[k - 1][v];
        t[k][v] = uint16_t(((prev << 8) ^ crcTable[prev >> 8]) & 0xFFFF);
      }
  }
};

const CrcSlices& crcSlices() {
  static const CrcSlices slices;
  return slices;
}

}  // namespace

uint32_t crc16Check(const uint8_t* bytes, int32_t length) {
  uint32_t reg = 0;
  int32_t i = 0;
  if (length >= 4) {
    const CrcSlices& c = crcSlices();
    for (; i + 4 <= length; i += 4) {
      reg = c.t[3][(reg >> 8) ^ bytes[i]] ^ c.t[2][(reg & 0xFF) ^ bytes[i + 1]] ^
            c.t[1][bytes[i + 2]] ^ c.t[0][bytes[i + 3]];
    }
  }
  for (; i < length; ++i)
    reg = ((reg << 8) ^ crcTable[((reg >> 8) ^ bytes[i]) & 0xFF]) & 0xFFFF;
  return reg;
}

namespace {

// Dialogue level, compression word, language and production information of
// one programme. A dialnorm of 0 is stored as 31.
void ParseProgramme(AC3BitReader* r, uint8_t* dialnorm, uint8_t* compre, uint8_t* compr,
                    uint8_t* langcode, uint8_t* langcod, uint8_t* audprodie, uint8_t* mixlevel,
                    uint8_t* roomtyp) {
  *dialnorm = uint8_t(GetBits(r, 5));
  if (*dialnorm == 0) *dialnorm = 31;
  *compre = uint8_t(GetBits(r, 1));
  if (*compre) *compr = uint8_t(GetBits(r, 8));
  *langcode = uint8_t(GetBits(r, 1));
  if (*langcode) *langcod = uint8_t(GetBits(r, 8));
  *audprodie = uint8_t(GetBits(r, 1));
  if (*audprodie) {
    *mixlevel = uint8_t(GetBits(r, 5));
    *roomtyp = uint8_t(GetBits(r, 2));
  }
}

}  // namespace

int32_t ParseBsi(AC3DecState* s, AC3BitReader* r) {
  AC3Bsi& b = s->bsi;
  b.bsid = uint8_t(GetBits(r, 5));
  if (b.bsid > 8) return kErrReserved;
  b.bsmod = uint8_t(GetBits(r, 3));
  b.acmod = uint8_t(GetBits(r, 3));
  b.serviceKind = (b.bsmod == 7 && b.acmod >= 2) ? 8 : b.bsmod;
  b.nfchans = NFCHANS[b.acmod];
  if ((b.acmod & 1) && b.acmod != 1) b.cmixlev = uint8_t(GetBits(r, 2));
  if (b.acmod & 4) b.surmixlev = uint8_t(GetBits(r, 2));
  if (b.acmod == 2) b.dsurmod = uint8_t(GetBits(r, 2));
  b.lfeon = uint8_t(GetBits(r, 1));
  ParseProgramme(r, &b.dialnorm, &b.compre, &b.compr, &b.langcode, &b.langcod, &b.audprodie,
                 &b.mixlevel, &b.roomtyp);
  if (b.acmod == 0)  // 1+1: the same fields for the second programme
    ParseProgramme(r, &b.dialnorm2, &b.compr2e, &b.compr2, &b.langcod2e, &b.langcod2,
                   &b.audprodi2e, &b.mixlevel2, &b.roomtyp2);
  b.copyrightb = uint8_t(GetBits(r, 1));
  b.origbs = uint8_t(GetBits(r, 1));
  b.timecod1e = uint8_t(GetBits(r, 1));
  if (b.timecod1e) b.timecod1 = uint16_t(GetBits(r, 14));
  b.timecod2e = uint8_t(GetBits(r, 1));
  if (b.timecod2e) b.timecod2 = uint16_t(GetBits(r, 14));
  b.addbsie = uint8_t(GetBits(r, 1));
  if (!b.addbsie) return kOk;
  b.addbsil = uint8_t(GetBits(r, 6));
  for (int i = 0; i <= b.addbsil; ++i) b.addbsi[i] = uint8_t(GetBits(r, 8));
  return kOk;
}

int32_t ParseAuxdataCrc2(AC3DecState* s, AC3BitReader* r) {
  const int64_t syncBit = int64_t(r->syncStart - r->base) * 8;
  const int64_t skip = 16 * int64_t(s->sync.frameWords) - 18 - (BitsRead(r) - syncBit);
  if (skip < 0) return kErrShort;
  // Auxiliary bits (and auxdatal when present), then auxdatae, crcrsv, crc2.
  SkipBits(r, skip + 18);
  return kOk;
}

}  // namespace ac3dec
