// Writes the side information of one synthetic audio block (blksw up to the
// skip field) from a plain description, for the block parser tests.
#pragma once

#include <cstdint>
#include <vector>

#include "ac3_test_util.h"

namespace ac3test {

struct DeltaFields {
  uint8_t deltbae = 2;
  std::vector<uint8_t> offst, len, ba;  // one entry per segment
};

struct BlockFields {
  int acmod = 2, lfeon = 0;
  uint8_t blksw[5] = {}, dithflag[5] = {};
  uint8_t dynrnge = 0, dynrng = 0;
  uint8_t cplstre = 1, cplinu = 0;
  uint8_t chincpl[5] = {};
  uint8_t phsflginu = 0, cplbegf = 0, cplendf = 0;
  uint8_t cplbndstrc[18] = {};
  uint8_t cplcoe[5] = {1, 1, 1, 1, 1};
  uint8_t mstrcplco[5] = {};
  uint8_t cplcoexp[5][18] = {}, cplcomant[5][18] = {};
  uint8_t phsflg[18] = {};
  uint8_t rematstr = 1, rematflg[4] = {};
  uint8_t cplexpstr = 1, chexpstr[5] = {1, 1, 1, 1, 1}, lfeexpstr = 1;
  uint8_t chbwcod[5] = {60, 60, 60, 60, 60};
  uint8_t cplabsexp = 0;
  uint8_t absexp[5] = {}, lfeabsexp = 0;
  uint8_t group = 62;  // every exponent group: three zero differentials
  uint8_t baie = 1, sdcycod = 2, fdcycod = 1, sgaincod = 1, dbpbcod = 2, floorcod = 7;
  uint8_t snroffste = 1, csnroffst = 15, cplfsnroffst = 0, cplfgaincod = 4, fsnroffst = 0, fgaincod = 4;
  uint8_t lfefsnroffst = 0, lfefgaincod = 4;
  uint8_t cplleake = 1, cplfleak = 0, cplsleak = 0;
  uint8_t deltbaie = 0;
  DeltaFields cpldelt, chdelt[5];
  uint8_t skiple = 0;
  uint16_t skipl = 0;
};

inline int NfChans(int acmod) {
  static const int k[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  return k[acmod & 7];
}

// Writes the block. Counts of coupling sub-bands and exponent groups follow
// from the fields as A/52 derives them; `prevCplinu` and the previous range
// only matter to the writer when cplstre is 0 (then the kept values apply).
inline void WriteBlock(BitWriter& w, const BlockFields& b) {
  const int n = NfChans(b.acmod);
  for (int ch = 0; ch < n; ++ch) w.put(b.blksw[ch], 1);
  for (int ch = 0; ch < n; ++ch) w.put(b.dithflag[ch], 1);
  w.put(b.dynrnge, 1);
  if (b.dynrnge) w.put(b.dynrng, 8);
  if (b.acmod == 0) w.put(0, 1);
  w.put(b.cplstre, 1);
  const int nsub = b.cplendf - b.cplbegf + 3;
  if (b.cplstre) {
    w.put(b.cplinu, 1);
    if (b.cplinu) {
      for (int ch = 0; ch < n; ++ch) w.put(b.chincpl[ch], 1);
      if (b.acmod == 2) w.put(b.phsflginu, 1);
      w.put(b.cplbegf, 4);
      w.put(b.cplendf, 4);
      for (int s = 1; s < nsub; ++s) w.put(b.cplbndstrc[s], 1);
    }
  }
  if (b.cplinu) {
    for (int ch = 0; ch < n; ++ch) {
      if (!b.chincpl[ch]) continue;
      w.put(b.cplcoe[ch], 1);
      if (!b.cplcoe[ch]) continue;
      w.put(b.mstrcplco[ch], 2);
      for (int s = 0; s < nsub; ++s) {
        if (b.cplbndstrc[s]) continue;
        w.put(b.cplcoexp[ch][s], 4);
        w.put(b.cplcomant[ch][s], 4);
      }
    }
    if (b.acmod == 2 && b.phsflginu && (b.cplcoe[0] || b.cplcoe[1]))
      for (int s = 0; s < nsub; ++s)
        if (!b.cplbndstrc[s]) w.put(b.phsflg[s], 1);
  }
  if (b.acmod == 2) {
    w.put(b.rematstr, 1);
    if (b.rematstr) {
      const int nb = (!b.cplinu || b.cplbegf > 2) ? 4 : (b.cplbegf == 0 ? 2 : 3);
      for (int i = 0; i < nb; ++i) w.put(b.rematflg[i], 1);
    }
  }
  if (b.cplinu) w.put(b.cplexpstr, 2);
  for (int ch = 0; ch < n; ++ch) w.put(b.chexpstr[ch], 2);
  if (b.lfeon) w.put(b.lfeexpstr, 1);
  int endmant[5] = {};
  for (int ch = 0; ch < n; ++ch) {
    if (!b.chexpstr[ch]) continue;
    if (b.cplinu && b.chincpl[ch]) {
      endmant[ch] = 12 * b.cplbegf + 37;
    } else {
      w.put(b.chbwcod[ch], 6);
      endmant[ch] = 3 * (b.chbwcod[ch] > 60 ? 60 : b.chbwcod[ch]) + 73;
    }
  }
  if (b.cplinu && b.cplexpstr) {
    const int groups = (12 * b.cplendf + 73 - (12 * b.cplbegf + 37)) / (3 << (b.cplexpstr - 1));
    w.put(b.cplabsexp, 4);
    for (int g = 0; g < groups; ++g) w.put(b.group, 7);
  }
  for (int ch = 0; ch < n; ++ch) {
    if (!b.chexpstr[ch]) continue;
    const int g = 3 << (b.chexpstr[ch] - 1);
    const int groups = (endmant[ch] + g - 4) / g;
    w.put(b.absexp[ch], 4);
    for (int i = 0; i < groups; ++i) w.put(b.group, 7);
    w.put(0, 2);  // gainrng
  }
  if (b.lfeon && b.lfeexpstr) {
    w.put(b.lfeabsexp, 4);
    w.put(b.group, 7);
    w.put(b.group, 7);
  }
  w.put(b.baie, 1);
  if (b.baie) {
    w.put(b.sdcycod, 2);
    w.put(b.fdcycod, 2);
    w.put(b.sgaincod, 2);
    w.put(b.dbpbcod, 2);
    w.put(b.floorcod, 3);
  }
  w.put(b.snroffste, 1);
  if (b.snroffste) {
    w.put(b.csnroffst, 6);
    if (b.cplinu) {
      w.put(b.cplfsnroffst, 4);
      w.put(b.cplfgaincod, 3);
    }
    for (int ch = 0; ch < n; ++ch) {
      w.put(b.fsnroffst, 4);
      w.put(b.fgaincod, 3);
    }
    if (b.lfeon) {
      w.put(b.lfefsnroffst, 4);
      w.put(b.lfefgaincod, 3);
    }
  }
  if (b.cplinu) {
    w.put(b.cplleake, 1);
    if (b.cplleake) {
      w.put(b.cplfleak, 3);
      w.put(b.cplsleak, 3);
    }
  }
  w.put(b.deltbaie, 1);
  if (b.deltbaie) {
    if (b.cplinu) w.put(b.cpldelt.deltbae, 2);
    for (int ch = 0; ch < n; ++ch) w.put(b.chdelt[ch].deltbae, 2);
    auto segments = [&](const DeltaFields& d) {
      w.put(uint32_t(d.offst.size() - 1), 3);
      for (size_t s = 0; s < d.offst.size(); ++s) {
        w.put(d.offst[s], 5);
        w.put(d.len[s], 4);
        w.put(d.ba[s], 3);
      }
    };
    if (b.cplinu && b.cpldelt.deltbae == 1) segments(b.cpldelt);
    for (int ch = 0; ch < n; ++ch)
      if (b.chdelt[ch].deltbae == 1) segments(b.chdelt[ch]);
  }
  w.put(b.skiple, 1);
  if (b.skiple) {
    w.put(b.skipl, 9);
    for (int i = 0; i < b.skipl; ++i) w.put(0xA5, 8);
  }
}

}  // namespace ac3test
