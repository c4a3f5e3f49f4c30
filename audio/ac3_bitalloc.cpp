// Parametric bit allocation: exponents to bit allocation pointers (baps), in
// exact integer arithmetic so that the decoder reproduces the encoder's
// allocation.
#include "AC3DecState.h"
#include "AC3Tables.h"
#include "vpCore.h"

namespace ac3dec {
namespace {

constexpr int32_t kBands = 50;

inline int32_t Max(int32_t a, int32_t b) { return a > b ? a : b; }
inline int32_t Min(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t Psd(int32_t exp) { return 3072 - exp * 128; }

inline int32_t SnrOffset(uint8_t csnroffst, uint8_t fsnroffst) {
  return ((int32_t(csnroffst) - 15) * 16 + fsnroffst) * 4;
}

}  // namespace

int32_t logadd(int32_t a, int32_t b) {
  const int32_t d = a > b ? a - b : b - a;
  return Max(a, b) + LATAB[Min(d >> 1, 255)];
}

int32_t calc_lowcomp(int32_t a, int32_t b0, int32_t b1, int32_t bin) {
  if (bin < 7) {
    if (b1 == b0 + 256) return 384;
    if (b0 > b1) return Max(a - 64, 0);
    return a;
  }
  if (bin < 20) {
    if (b1 == b0 + 256) return 320;
    if (b0 > b1) return Max(a - 64, 0);
    return a;
  }
  return Max(a - 128, 0);
}

void computeBap(int32_t start, int32_t end, int32_t fgain, int32_t snroffset, int32_t fastleak,
                int32_t slowleak, int32_t fscod, const int32_t* exp, const DeltaBitAlloc* dba,
                int32_t* bap, const AC3DecState* s) {
  if (start >= end) return;
  const AC3AudioBlock& a = s->audblk;
  const int32_t sdecay = SLOWDEC[a.sdcycod];
  const int32_t fdecay = FASTDEC[a.fdcycod];
  const int32_t sgain = SLOWGAIN[a.sgaincod];
  const int32_t dbknee = DBPBTAB[a.dbpbcod];
  const int32_t floor = FLOORTAB[a.floorcod];

  // One entry past the last band, so that the look-ahead at bndpsd[bin + 1]
  // always reads a defined value.
  int32_t bndpsd[kBands + 1] = {};
  int32_t excite[kBands];

  // Integrate the PSD of the bins of each band.
  const int32_t bndstrt = MASKTAB[start];
  int32_t j = start;
  int32_t k = bndstrt;
  int32_t lastbin;
  do {
    lastbin = Min(BNDTAB[k] + BNDSZ[k], end);
    int32_t sum = Psd(exp[j]);
    for (++j; j < lastbin; ++j) sum = logadd(sum, Psd(exp[j]));
    bndpsd[k] = sum;
    ++k;
  } while (lastbin < end);
  const int32_t bndend = MASKTAB[end - 1] + 1;

  // Excitation.
  int32_t begin;
  if (bndstrt == 0) {
    const bool lfe = bndend == 7;
    int32_t lowcomp = calc_lowcomp(0, bndpsd[0], bndpsd[1], 0);
    excite[0] = bndpsd[0] - fgain - lowcomp;
    lowcomp = calc_lowcomp(lowcomp, bndpsd[1], bndpsd[2], 1);
    excite[1] = bndpsd[1] - fgain - lowcomp;
    begin = 7;
    for (int32_t bin = 2; bin < 7; ++bin) {
      const bool skip = lfe && bin == 6;
      if (!skip) lowcomp = calc_lowcomp(lowcomp, bndpsd[bin], bndpsd[bin + 1], bin);
      fastleak = bndpsd[bin] - fgain;
      slowleak = bndpsd[bin] - sgain;
      excite[bin] = fastleak - lowcomp;
      if (!skip && bndpsd[bin] <= bndpsd[bin + 1]) {
        begin = bin + 1;
        break;
      }
    }
    const int32_t stop = Min(bndend, 22);
    for (int32_t bin = begin; bin < stop; ++bin) {
      if (!(lfe && bin == 6)) lowcomp = calc_lowcomp(lowcomp, bndpsd[bin], bndpsd[bin + 1], bin);
      fastleak = Max(fastleak - fdecay, bndpsd[bin] - fgain);
      slowleak = Max(slowleak - sdecay, bndpsd[bin] - sgain);
      excite[bin] = Max(fastleak - lowcomp, slowleak);
    }
    begin = 22;
  } else {
    begin = bndstrt;
  }
  for (int32_t bin = begin; bin < bndend; ++bin) {
    fastleak = Max(fastleak - fdecay, bndpsd[bin] - fgain);
    slowleak = Max(slowleak - sdecay, bndpsd[bin] - sgain);
    excite[bin] = Max(fastleak, slowleak);
  }

  // Masking curve (in place of the excitation).
  int32_t* mask = excite;
  const int16_t* hth = HTH[fscod];
  for (int32_t bin = bndstrt; bin < bndend; ++bin) {
    if (bndpsd[bin] < dbknee) excite[bin] += (dbknee - bndpsd[bin]) >> 2;
    mask[bin] = Max(excite[bin], hth[bin]);
  }

  // Delta bit allocation. Segments that reach past the last band are cut
  // there (the parser rejects new ones; a reused record can still reach it
  // when the coupling range moved).
  if (dba && (dba->deltbae == 0 || dba->deltbae == 1)) {
    int32_t band = bndstrt;
    for (int seg = 0; seg <= dba->deltnseg && seg < 8; ++seg) {
      band += dba->deltoffst[seg];
      const int32_t code = dba->deltba[seg];
      const int32_t delta = code >= 4 ? (code - 3) << 7 : (code - 4) * 128;
      for (int32_t n = 0; n < dba->deltlen[seg]; ++n, ++band)
        if (band < kBands) mask[band] += delta;
    }
  }

  // Baps.
  int32_t i = start;
  j = bndstrt;
  do {
    lastbin = Min(BNDTAB[j] + BNDSZ[j], end);
    int32_t m = mask[j] - snroffset - floor;
    m = m < 0 ? 0 : (m & 0x1FE0);
    m += floor;
    for (; i < lastbin; ++i) {
      int32_t address = (Psd(exp[i]) - m) >> 5;
      address = address < 0 ? 0 : (address > 63 ? 63 : address);
      bap[i] = BAPTAB[address];
    }
    ++j;
  } while (lastbin < end);
}

int32_t BitAllocation(AC3DecState* s) {
  const AC3AudioBlock& a = s->audblk;
  const int32_t nfchans = int32_t(s->bsi.nfchans);
  const uint8_t lfeon = s->bsi.lfeon;

  bool zeroSnr = a.csnroffst == 0;
  for (int ch = 0; ch < nfchans && zeroSnr; ++ch) zeroSnr = a.fsnroffst[ch] == 0;
  if (zeroSnr && a.cplinu && a.cplfsnroffst != 0) zeroSnr = false;
  if (zeroSnr && lfeon && a.lfefsnroffst != 0) zeroSnr = false;
  if (zeroSnr) {
    vpsZero_32s(s->bap, 5 * 256 + 256 + kLfeBins);
    return kOk;
  }

  const int32_t fscod = s->sync.fscod;
  for (int ch = 0; ch < nfchans; ++ch) {
    if (!a.baRecompute[ch]) continue;
    computeBap(0, a.endmant[ch], FASTGAIN[a.fgaincod[ch]], SnrOffset(a.csnroffst, a.fsnroffst[ch]),
               0, 0, fscod, ExpRow(s, ch), &a.chdelt[ch], BapRow(s, ch), s);
  }
  if (a.cplinu && a.baRecompute[kCplSlot]) {
    computeBap(a.cplstrtmant, a.cplendmant, FASTGAIN[a.cplfgaincod],
               SnrOffset(a.csnroffst, a.cplfsnroffst), (int32_t(a.cplfleak) << 8) + 768,
               (int32_t(a.cplsleak) << 8) + 768, fscod, ExpRow(s, kCplSlot), &a.cpldelt,
               BapRow(s, kCplSlot), s);
  }
  if (lfeon && a.baRecompute[kLfeSlot]) {
    computeBap(0, kLfeBins, FASTGAIN[a.lfefgaincod], SnrOffset(a.csnroffst, a.lfefsnroffst), 0,
               0, fscod, ExpRow(s, kLfeSlot), nullptr, BapRow(s, kLfeSlot), s);
  }
  return kOk;
}

}  // namespace ac3dec
