// Side information of one audio block (from blksw up to the skip field).
#include "AC3DecState.h"
#include "AC3Tables.h"
#include "vpCore.h"

namespace ac3dec {
namespace {

inline uint8_t Read(AC3BitReader* r, int n) { return uint8_t(GetBits(r, n)); }

// Groups per exponent strategy 1..3 (D15, D25, D45): 3, 6 or 12 bins each.
inline int32_t GroupBins(uint8_t strategy) { return 3 << (strategy - 1); }

// Reads the segments of one delta bit allocation record. The segments must
// stay inside the 50 bands of the channel's masking curve, counted from its
// first band; a record that leaves them is rejected.
int32_t ReadDeltaSegments(DeltaBitAlloc* d, int32_t firstBand, AC3BitReader* r) {
  d->deltnseg = Read(r, 3);
  int32_t band = firstBand;
  bool inside = true;
  for (int seg = 0; seg <= d->deltnseg; ++seg) {
    d->deltoffst[seg] = Read(r, 5);
    d->deltlen[seg] = Read(r, 4);
    d->deltba[seg] = Read(r, 3);
    band += d->deltoffst[seg] + d->deltlen[seg];
    if (band > 50) inside = false;
  }
  return inside ? kOk : kErrUnsupported;
}

float CouplingCoordinate(uint32_t cplcoexp, uint32_t cplcomant, uint32_t mstrcplco) {
  const int32_t m = cplcoexp < 15 ? int32_t((16 + cplcomant) << 13) : int32_t(cplcomant << 14);
  return float(m) * scaleFactor[3 * mstrcplco + cplcoexp];
}

}  // namespace

int32_t ParseAudblk(uint32_t blk, AC3DecState* s, AC3BitReader* r) {
  AC3AudioBlock& a = s->audblk;
  const int32_t nfchans = int32_t(s->bsi.nfchans);
  const uint8_t acmod = s->bsi.acmod;
  const uint8_t lfeon = s->bsi.lfeon;
  const bool first = blk == 0;

  uint8_t prevCplinu = 0, prevCplbegf = 0, prevCplendf = 0;
  if (first) {
    a.dynrng = 0;
    a.dynrng2 = 0;
    vpsZero_8u(reinterpret_cast<uint8_t*>(&a.cpldelt), sizeof(DeltaBitAlloc));
    a.cpldelt.deltbae = 2;
    for (int ch = 0; ch < nfchans; ++ch) {
      vpsZero_8u(reinterpret_cast<uint8_t*>(&a.chdelt[ch]), sizeof(DeltaBitAlloc));
      a.chdelt[ch].deltbae = 2;
    }
  } else {
    prevCplinu = a.cplinu;
    prevCplbegf = a.cplbegf;
    prevCplendf = a.cplendf;
  }
  for (int i = 0; i < 7; ++i) a.baRecompute[i] = 0;

  for (int ch = 0; ch < nfchans; ++ch) a.blksw[ch] = Read(r, 1);
  for (int ch = 0; ch < nfchans; ++ch) a.dithflag[ch] = Read(r, 1);
  a.dynrnge = Read(r, 1);
  if (a.dynrnge) a.dynrng = Read(r, 8);
  if (acmod == 0) {
    a.dynrng2e = Read(r, 1);
    if (a.dynrng2e) a.dynrng2 = Read(r, 8);
  }

  // Coupling strategy.
  a.cplstre = Read(r, 1);
  if (first && !a.cplstre) return kErrUnsupported;
  if (a.cplstre) {
    a.cplinu = Read(r, 1);
    if (!a.cplinu) {
      for (int ch = 0; ch < nfchans; ++ch) a.chincpl[ch] = 0;
      a.phsflginu = 0;
    } else {
      if (nfchans < 2 || nfchans > 5) return kErrUnsupported;
      int coupled = 0;
      for (int ch = 0; ch < nfchans; ++ch) {
        a.chincpl[ch] = Read(r, 1);
        coupled += a.chincpl[ch];
      }
      if (coupled < 2) return kErrUnsupported;
      a.phsflginu = acmod == 2 ? Read(r, 1) : 0;
      a.cplbegf = Read(r, 4);
      a.cplendf = Read(r, 4);
      if (a.cplendf + 2 < a.cplbegf) return kErrUnsupported;
      a.cplstrtmant = 12 * a.cplbegf + 37;
      a.cplendmant = 12 * a.cplendf + 73;
      a.ncplsubnd = uint8_t(a.cplendf - a.cplbegf + 3);
      a.cplbndstrc[0] = 0;
      a.cplbndend[0] = a.cplstrtmant + 12;
      for (int sbnd = 1; sbnd < a.ncplsubnd; ++sbnd) {
        a.cplbndstrc[sbnd] = Read(r, 1);
        a.cplbndend[sbnd] = a.cplbndend[sbnd - 1] + 12;
      }
    }
  }

  // Coupling coordinates and phase flags.
  if (a.cplinu) {
    for (int ch = 0; ch < nfchans; ++ch) {
      if (!a.chincpl[ch]) continue;
      a.cplcoe[ch] = Read(r, 1);
      if (first && !a.cplcoe[ch]) return kErrUnsupported;
      if (!a.cplcoe[ch]) continue;
      const uint32_t mstrcplco = Read(r, 2);
      for (int sbnd = 0; sbnd < a.ncplsubnd; ++sbnd) {
        if (a.cplbndstrc[sbnd]) {
          a.cplco[ch][sbnd] = a.cplco[ch][sbnd - 1];
        } else {
          const uint32_t cplcoexp = Read(r, 4);
          const uint32_t cplcomant = Read(r, 4);
          a.cplco[ch][sbnd] = CouplingCoordinate(cplcoexp, cplcomant, mstrcplco);
        }
      }
    }
    if (acmod == 2 && a.phsflginu && (a.cplcoe[0] || a.cplcoe[1])) {
      for (int sbnd = 0; sbnd < a.ncplsubnd; ++sbnd) {
        a.phsflg[sbnd] = a.cplbndstrc[sbnd] ? a.phsflg[sbnd - 1] : Read(r, 1);
        const float mag = a.cplco[1][sbnd] < 0.0f ? -a.cplco[1][sbnd] : a.cplco[1][sbnd];
        a.cplco[1][sbnd] = a.phsflg[sbnd] ? -mag : mag;
      }
    }
  }

  // Rematrixing.
  if (acmod == 2) {
    a.rematstr = Read(r, 1);
    if (first && !a.rematstr) return kErrUnsupported;
    if (a.rematstr) {
      if (!a.cplinu || a.cplbegf > 2)
        a.nrematbd = 4;
      else
        a.nrematbd = a.cplbegf == 0 ? 2 : 3;
      for (int rbnd = 0; rbnd < a.nrematbd; ++rbnd) a.rematflg[rbnd] = Read(r, 1);
    }
  }

  // Exponent strategies and bandwidths.
  if (a.cplinu) {
    a.cplexpstr = Read(r, 2);
    if (a.cplexpstr == 0) {
      if (first || !prevCplinu || prevCplbegf != a.cplbegf || prevCplendf != a.cplendf)
        return kErrUnsupported;
    } else {
      a.ncplgrps = (a.cplendmant - a.cplstrtmant) / GroupBins(a.cplexpstr);
    }
  }
  for (int ch = 0; ch < nfchans; ++ch) {
    a.chexpstr[ch] = Read(r, 2);
    if (first && !a.chexpstr[ch]) return kErrUnsupported;
  }
  if (lfeon) {
    a.lfeexpstr = Read(r, 1);
    if (first && !a.lfeexpstr) return kErrUnsupported;
  }
  for (int ch = 0; ch < nfchans; ++ch) {
    if (!a.chexpstr[ch]) continue;
    if (a.cplinu && a.chincpl[ch]) {
      a.endmant[ch] = a.cplstrtmant;
    } else {
      const uint8_t code = Read(r, 6);
      a.chbwcod[ch] = code > 60 ? 60 : code;
      a.endmant[ch] = 3 * a.chbwcod[ch] + 73;
    }
    const int32_t g = GroupBins(a.chexpstr[ch]);
    a.nchgrps[ch] = (a.endmant[ch] + g - 4) / g;
  }

  // Exponents.
  if (a.cplinu && a.cplexpstr) {
    a.baRecompute[kCplSlot] = 1;
    a.cplabsexp = Read(r, 4);
    for (int grp = 0; grp < a.ncplgrps; ++grp) a.cplexps[grp] = Read(r, 7);
  }
  for (int ch = 0; ch < nfchans; ++ch) {
    if (!a.chexpstr[ch]) continue;
    a.baRecompute[ch] = 1;
    a.exps[ch][0] = Read(r, 4);
    for (int grp = 1; grp <= a.nchgrps[ch]; ++grp) a.exps[ch][grp] = Read(r, 7);
    a.gainrng[ch] = Read(r, 2);
  }
  if (lfeon && a.lfeexpstr) {
    a.baRecompute[kLfeSlot] = 1;
    a.lfeexps[0] = Read(r, 4);
    a.lfeexps[1] = Read(r, 7);
    a.lfeexps[2] = Read(r, 7);
  }

  // Bit allocation parameters.
  bool changed = false;
  a.baie = Read(r, 1);
  if (first && !a.baie) return kErrUnsupported;
  if (a.baie) {
    a.sdcycod = Read(r, 2);
    a.fdcycod = Read(r, 2);
    a.sgaincod = Read(r, 2);
    a.dbpbcod = Read(r, 2);
    a.floorcod = Read(r, 3);
    changed = true;
  }
  a.snroffste = Read(r, 1);
  if (first && !a.snroffste) return kErrUnsupported;
  if (a.snroffste) {
    a.csnroffst = Read(r, 6);
    if (a.cplinu) {
      a.cplfsnroffst = Read(r, 4);
      a.cplfgaincod = Read(r, 3);
    }
    for (int ch = 0; ch < nfchans; ++ch) {
      a.fsnroffst[ch] = Read(r, 4);
      a.fgaincod[ch] = Read(r, 3);
    }
    if (lfeon) {
      a.lfefsnroffst = Read(r, 4);
      a.lfefgaincod = Read(r, 3);
    }
    changed = true;
  }
  if (a.cplinu) {
    a.cplleake = Read(r, 1);
    if (first && !a.cplleake) return kErrUnsupported;
    if (a.cplleake) {
      a.baRecompute[kCplSlot] = 1;
      a.cplfleak = Read(r, 3);
      a.cplsleak = Read(r, 3);
    }
  }

  // Delta bit allocation.
  a.deltbaie = Read(r, 1);
  if (a.deltbaie) {
    if (a.cplinu) {
      a.cpldelt.deltbae = Read(r, 2);
      if (a.cpldelt.deltbae == 3) return kErrReserved;
      if (first && a.cpldelt.deltbae == 0) return kErrUnsupported;
    }
    for (int ch = 0; ch < nfchans; ++ch) {
      a.chdelt[ch].deltbae = Read(r, 2);
      if (a.chdelt[ch].deltbae == 3) return kErrReserved;
    }
    if (a.cplinu && a.cpldelt.deltbae == 1) {
      const int32_t rc = ReadDeltaSegments(&a.cpldelt, MASKTAB[a.cplstrtmant], r);
      if (rc != kOk) return rc;
    }
    for (int ch = 0; ch < nfchans; ++ch) {
      if (a.chdelt[ch].deltbae != 1) continue;
      const int32_t rc = ReadDeltaSegments(&a.chdelt[ch], 0, r);
      if (rc != kOk) return rc;
    }
    changed = true;
  } else if (first) {
    a.cpldelt.deltbae = 2;
    for (int ch = 0; ch < kMaxFbwChannels; ++ch) a.chdelt[ch].deltbae = 2;
  }

  // Skip field.
  a.skiple = Read(r, 1);
  if (a.skiple) {
    a.skipl = uint16_t(GetBits(r, 9));
    SkipBits(r, int64_t(a.skipl) * 8);
  }

  if (changed)
    for (int i = 0; i < 7; ++i) a.baRecompute[i] = 1;
  return kOk;
}

}  // namespace ac3dec
