// Mantissa decoding, dither and decoupling: the block's bits become 256
// transform coefficients per channel.
#include "AC3DecState.h"
#include "AC3Tables.h"
#include "vpCore.h"

namespace ac3dec {
namespace {

constexpr float kDitherGain = 0.707f;

// Two steps of the 16-bit multiplicative generator; returns the dither value
// before exponent scaling.
inline float NextDither(uint16_t* seed) {
  const int16_t r1 = int16_t(uint16_t(uint32_t(*seed) * 47989u));
  const int16_t r2 = int16_t(uint16_t(uint32_t(uint16_t(r1)) * 47989u));
  *seed = uint16_t(r2);
  return float((int32_t(r1) + int32_t(r2)) >> 1) * kDitherGain;
}

}  // namespace

float dither_gen(uint16_t* seed) { return seed ? NextDither(seed) : 0.0f; }

int32_t UnpackMantissas(const int32_t* bap, const int32_t* exp, float* out, int32_t count,
                        int32_t dithflag, uint16_t* seed, MantissaGroups* groups,
                        AC3BitReader* r) {
  const bool dither = dithflag != 0 && seed != nullptr;
  for (int32_t i = 0; i < count; ++i) {
    float v;
    const int32_t b = bap[i];
    switch (b) {
      case 0:
        v = dither ? NextDither(seed) : 0.0f;
        break;
      case 1:
        if (groups->pos1 > 2) {
          groups->group1 = bap1_mantissas[GetBits(r, 5)];
          groups->pos1 = 0;
        }
        v = groups->group1[groups->pos1++];
        break;
      case 2:
        if (groups->pos2 > 2) {
          groups->group2 = bap2_mantissas[GetBits(r, 7)];
          groups->pos2 = 0;
        }
        v = groups->group2[groups->pos2++];
        break;
      case 3:
        v = bap3_mantissas[GetBits(r, 3)];
        break;
      case 4:
        if (groups->pos4 > 1) {
          groups->group4 = bap4_mantissas[GetBits(r, 7)];
          groups->pos4 = 0;
        }
        v = groups->group4[groups->pos4++];
        break;
      case 5:
        v = bap5_mantissas[GetBits(r, 4)];
        break;
      default: {
        const int n = QNTZTAB[b & 15];
        const uint32_t raw = GetBits(r, n);
        v = float(int16_t(uint16_t(raw << (16 - n))));
        break;
      }
    }
    out[i] = v * scaleFactor[exp[i] & 31];
  }
  return kOk;
}

int32_t DecodeMantissas(AC3DecState* s, AC3BitReader* r) {
  const AC3AudioBlock& a = s->audblk;
  const int32_t nfchans = int32_t(s->bsi.nfchans);
  MantissaGroups groups = {3, 3, 3, nullptr, nullptr, nullptr};
  int firstCoupled = -1;
  const int32_t cplCount = a.cplendmant - a.cplstrtmant;
  const int32_t* cplBap = BapRow(s, kCplSlot);
  const int32_t* cplExp = ExpRow(s, kCplSlot);

  for (int ch = 0; ch < nfchans; ++ch) {
    float* coef = s->coeffs[ch];
    const int32_t endmant = a.endmant[ch];
    UnpackMantissas(BapRow(s, ch), ExpRow(s, ch), coef, endmant, a.dithflag[ch], &s->ditherSeed,
                    &groups, r);
    if (endmant < 256) vpsZero_32f(coef + endmant, 256 - endmant);
    if (!(a.cplinu && a.chincpl[ch])) continue;
    if (firstCoupled < 0) {
      firstCoupled = ch;
      UnpackMantissas(cplBap + a.cplstrtmant, cplExp + a.cplstrtmant, coef + a.cplstrtmant,
                      cplCount, a.dithflag[ch], &s->ditherSeed, &groups, r);
    } else {
      if (cplCount > 0)
        vpsCopy_32f(s->coeffs[firstCoupled] + a.cplstrtmant, coef + a.cplstrtmant, cplCount);
      for (int32_t bin = a.cplstrtmant; bin < a.cplendmant; ++bin) {
        if (cplBap[bin] != 0) continue;
        coef[bin] = a.dithflag[ch] ? NextDither(&s->ditherSeed) * scaleFactor[cplExp[bin] & 31]
                                   : 0.0f;
      }
    }
  }

  // Coupling coordinates, sub-band by sub-band, on every coupled channel.
  if (a.cplinu) {
    for (int ch = 0; ch < nfchans; ++ch) {
      if (!a.chincpl[ch]) continue;
      float* coef = s->coeffs[ch];
      int32_t bin = a.cplstrtmant;
      for (int k = 0; k < a.ncplsubnd; ++k) {
        const float co = a.cplco[ch][k];
        for (; bin < a.cplbndend[k]; ++bin) coef[bin] *= co;
      }
    }
  }

  if (s->bsi.lfeon)
    UnpackMantissas(BapRow(s, kLfeSlot), ExpRow(s, kLfeSlot), s->coeffs[kLfeRow], kLfeBins, 0,
                    nullptr, &groups, r);
  return kOk;
}

}  // namespace ac3dec
