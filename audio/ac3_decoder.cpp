// Public face of the AC-3 decoder: instance creation and release, the stream
// query and the frame driver.
#include <algorithm>
#include <cstddef>

#include "AC3DecState.h"
#include "AC3Tables.h"
#include "vpCore.h"
#include "vpTransforms.h"

using namespace ac3dec;

namespace {

constexpr size_t kAlign = 32;

size_t AlignUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// Clears the audio history: coefficients, overlap lines, exponent strategies
// and the dither generator.
void ClearHistory(AC3DecState* s) {
  vpsZero_32f(&s->coeffs[0][0], 6 * 256);
  vpsZero_32f(&s->overlap[0][0], 6 * 256);
  for (int ch = 0; ch < kMaxFbwChannels; ++ch) s->audblk.chexpstr[ch] = 0;
  s->ditherSeed = 1;
}

// Finds the first sync word of the caller's input and reads the sync
// information behind it. `minBits` is what must follow the sync word.
// E-AC-3 and the other bit-stream versions above 8 share the sync word but
// not the syntax after it; they are refused before their fields are taken
// for AC-3 sync information.
int32_t ReadSyncInfo(AC3DecState* s, const ac3decInfo* info, int64_t minBits, AC3BitReader* r) {
  InitBitReader(r, info->pInput, info->nInputBytes < 0 ? 0 : info->nInputBytes);
  const int32_t rc = GetSynch(r);
  if (rc != kOk) return rc;
  if (BitsRemaining(r) < minBits) return kErrShort;
  if (PeekBsid(r) > 8) return kErrReserved;
  return ParseSyncInfo(s, r);
}

int32_t ChannelCode(uint8_t acmod, uint8_t lfeon) {
  if (acmod == 0) return -1;
  if (!lfeon) return acmod - 1;
  return acmod == 7 ? AC3_CHANNELS_3_2_LFE : -1;
}

bool IsSwitch(int32_t v) { return v == 0 || v == 1; }

}  // namespace

AC3DecState* AC3DecInitLib() {
  vpStaticInit();
  vpSetNumThreads(1);

  int32_t specLong = 0, initLong = 0, workLong = 0;
  int32_t specShort = 0, initShort = 0, workShort = 0;
  if (vpsMDCTInvGetSize_32f(512, &specLong, &initLong, &workLong) != 0) return nullptr;
  if (vpsMDCTInvGetSize_32f(256, &specShort, &initShort, &workShort) != 0) return nullptr;
  auto clampSize = [](int32_t v) { return v < 0 ? size_t(0) : size_t(v); };
  const size_t fixed = AlignUp(sizeof(AC3DecState));
  const size_t longSpec = AlignUp(clampSize(specLong));
  const size_t shortSpec = AlignUp(clampSize(specShort));
  const size_t work = AlignUp(std::max(clampSize(workLong), clampSize(workShort)));
  const size_t init = AlignUp(std::max(clampSize(initLong), clampSize(initShort)));
  const size_t total = fixed + longSpec + shortSpec + work + init;
  if (total > 0x7FFFFFFF) return nullptr;

  uint8_t* block = vpsMalloc_8u(int32_t(total));
  if (!block) return nullptr;
  vpsZero_8u(block, int32_t(total));
  AC3DecState* s = reinterpret_cast<AC3DecState*>(block);
  s->halfBlock[0] = s->halfBlockMem[0];
  s->halfBlock[1] = s->halfBlockMem[1];
  s->specLong = nullptr;
  s->specShort = nullptr;
  s->workLong = nullptr;
  s->workShort = nullptr;

  uint8_t* memLong = block + fixed;
  uint8_t* memShort = memLong + longSpec;
  uint8_t* memWork = memShort + shortSpec;
  uint8_t* memInit = memWork + work;
  MDCTInvSpec_32f* spec = nullptr;
  if (vpsMDCTInvInit_32f(&spec, 512, memLong, memInit) != 0) {
    vpsFree(block);
    return nullptr;
  }
  s->specLong = spec;
  if (vpsMDCTInvInit_32f(&spec, 256, memShort, memInit) != 0) {
    vpsFree(block);
    return nullptr;
  }
  s->specShort = spec;
  s->workShort = memWork;
  s->workLong = memWork;
  ClearHistory(s);
  return s;
}

int32_t AC3DecCloseLib(AC3DecState* state) {
  vpsFree(state);
  return kOk;
}

int32_t AC3DecResetLib(AC3DecState* state) {
  if (!state) return kErrNull;
  ClearHistory(state);
  return kOk;
}

int32_t ac3dec::AC3DecSetOutFormat(AC3DecState* s, const ac3decInfo* info) {
  if (!s || !info) return kErrNull;
  AC3OutFormat& f = s->outFormat;
  if (info->outFollowsStream != 0) {
    f.acmod = s->bsi.acmod;
    f.lfe = s->bsi.lfeon;
  } else {
    const uint32_t code = uint32_t(info->outChannelConfig);
    if (code < 7) {
      f.acmod = int32_t(code) + 1;
      f.lfe = 0;
    } else if (code == 7) {
      f.acmod = 7;
      f.lfe = 1;
    }
  }
  f.stereoMode = info->stereoMode;
  f.dynamicRange = info->dynamicRange;
  f.heavyCompression = info->heavyCompression;
  f.dialNorm = info->dialogNormalization;
  if (f.acmod == 0) return kErrNoLayout;
  if (s->bsi.acmod == 0) return kErrUnsupported;
  return kOk;
}

int32_t AC3DecGetInputInfoLib(AC3DecState* state, ac3decInfo* info) {
  if (!state || !info || !info->pInput) return kErrNull;
  AC3BitReader r;
  int32_t rc = ReadSyncInfo(state, info, 240, &r);
  if (rc != kOk) return rc;
  state->bsi = AC3Bsi();
  rc = ParseBsi(state, &r);
  if (rc != kOk) return rc;

  info->sampleRate = int32_t(state->sync.sampleRate);
  info->nChannels = int32_t(state->bsi.nfchans) + state->bsi.lfeon;
  const int32_t code = ChannelCode(state->bsi.acmod, state->bsi.lfeon);
  if (code < 0) return kErrUnsupported;
  info->inChannelConfig = code;
  info->nAC3FrameByteSize = int32_t(2 * state->sync.frameWords);
  return kOk;
}

int32_t AC3DecodeAFrameLib(AC3DecState* state, ac3decInfo* info) {
  if (!state || !info || !info->pInput || !info->pOutput) return kErrNull;
  if (info->nInputBytes <= 0) return kErrShort;
  // Bytes written by this call; never the previous frame's count.
  info->nOutputBytes = 0;

  AC3BitReader r;
  int32_t rc = ReadSyncInfo(state, info, 24, &r);
  if (rc != kOk) return rc;
  const int32_t frameWords = int32_t(state->sync.frameWords);
  if (BitsRemaining(&r) < 16 * int64_t(frameWords) - 40) return kErrShort;

  // CRC over the first 5/8 of the frame (crc1), then over the rest (crc2).
  const uint8_t* afterSync = r.syncStart + 2;
  const int32_t len1 = 2 * (frameWords / 2) + 2 * (frameWords / 8) - 2;
  const int32_t len2 = 2 * frameWords - len1 - 2;
  if (crc16Check(afterSync, len1) != 0 || crc16Check(afterSync + len1, len2) != 0) return kErrCrc;

  state->bsi = AC3Bsi();
  rc = ParseBsi(state, &r);
  if (rc != kOk) return rc;
  rc = AC3DecSetOutFormat(state, info);
  if (rc != kOk) return rc;
  const AC3OutFormat& f = state->outFormat;
  if (!IsSwitch(info->outFollowsStream) || !IsSwitch(f.stereoMode) || !IsSwitch(f.dynamicRange) ||
      !IsSwitch(f.heavyCompression) || !IsSwitch(f.dialNorm) || f.acmod < 1 || f.acmod > 7 ||
      !IsSwitch(f.lfe))
    return kErrUnsupported;

  const int32_t blockBytes = 512 * (NFCHANS[f.acmod] + f.lfe);
  const int64_t capacity = info->nOutputCapacity;
  int16_t* out = info->pOutput;
  int64_t written = 0;
  for (uint32_t blk = 0; blk < kBlocksPerFrame; ++blk) {
    rc = ParseAudblk(blk, state, &r);
    if (rc == kOk) rc = DecodeExponents(state);
    if (rc == kOk) rc = BitAllocation(state);
    if (rc == kOk) rc = DecodeMantissas(state, &r);
    if (rc != kOk) return rc;
    if (state->bsi.acmod == 2) Rematrixing(state);
    InverseTransform(state);
    Downmixing(state);
    if (written + blockBytes > capacity) return kErrOutputFull;
    out += WindowOverlap(state, out);
    written += blockBytes;
    info->nOutputBytes = int32_t(written);
  }
  rc = ParseAuxdataCrc2(state, &r);

  info->nAC3FrameByteSize = 2 * frameWords;
  info->nInputBytesUsed = int32_t((r.cur - r.base) + (r.bitPos == 8 ? 1 : 0));
  info->nOutputBytes = int32_t(written);
  if (info->nInputBytesUsed > info->nInputBytes) return kErrBeyondInput;
  return rc;
}
