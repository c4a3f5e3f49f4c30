// Rematrixing of 2/0 streams and the inverse transform of every channel into
// a 512-sample time block (long or block-switched alike).
#include "AC3DecState.h"
#include "AC3Tables.h"
#include "vpCore.h"
#include "vpTransforms.h"

namespace ac3dec {

void Rematrixing(AC3DecState* s) {
  const AC3AudioBlock& a = s->audblk;
  const int32_t last = (a.endmant[0] < a.endmant[1] ? a.endmant[0] : a.endmant[1]) - 1;
  float* left = s->coeffs[0];
  float* right = s->coeffs[1];
  for (int b = 0; b < a.nrematbd && b < 4; ++b) {
    if (!a.rematflg[b]) continue;
    const int32_t first = rematrixBandTable[b][0];
    int32_t end = rematrixBandTable[b][1];
    if (a.cplinu && ((a.cplbegf > 2 && b == 3) || (a.nrematbd == 3 && b == 2)))
      end = 36 + 12 * a.cplbegf;
    if (end > last) end = last;
    for (int32_t k = first; k <= end; ++k) {
      const float l = left[k];
      const float r = right[k];
      left[k] = l + r;
      right[k] = l - r;
    }
  }
}

namespace {

// Turns the two 256-sample short-transform outputs y1 (T[0..255]) and y2
// (T[256..511]) into the 512-sample block a long transform would give, halved:
// T = [-y1[192..255], y1[0..191], y2[64..255], -y2[0..63]] × 0.5.
void ArrangeShortBlocks(float* t) {
  float scratch[64];
  for (int j = 0; j < 64; ++j) scratch[j] = 0.5f * t[192 + j];
  for (int j = 127; j >= 0; --j) t[128 + j] = 0.5f * t[64 + j];
  for (int j = 0; j < 64; ++j) {
    t[64 + j] = 0.5f * t[j];
    t[j] = -scratch[j];
  }
  for (int j = 0; j < 64; ++j) scratch[j] = 0.5f * t[256 + j];
  for (int j = 0; j < 192; ++j) t[256 + j] = 0.5f * t[320 + j];
  for (int j = 0; j < 64; ++j) t[448 + j] = -scratch[j];
}

}  // namespace

int32_t InverseTransform(AC3DecState* s) {
  int32_t status = 0;
  if (s->bsi.lfeon && s->outFormat.lfe)
    status = vpsMDCTInv_32f(s->coeffs[kLfeRow], s->timeRows[kLfeRow], s->specLong, s->workLong);
  const int32_t nfchans = int32_t(s->bsi.nfchans);
  for (int ch = 0; ch < nfchans; ++ch) {
    float* t = s->timeRows[ch];
    if (!s->audblk.blksw[ch]) {
      status = vpsMDCTInv_32f(s->coeffs[ch], t, s->specLong, s->workLong);
      continue;
    }
    vpsDeinterleave_32f(s->coeffs[ch], 2, 128, s->halfBlock);
    vpsMDCTInv_32f(s->halfBlock[0], t, s->specShort, s->workShort);
    status = vpsMDCTInv_32f(s->halfBlock[1], t + 256, s->specShort, s->workShort);
    ArrangeShortBlocks(t);
  }
  return status;
}

}  // namespace ac3dec
