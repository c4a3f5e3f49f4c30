// Exponent decoding: grouped differential exponents to one absolute exponent
// per mantissa bin.
#include "AC3DecState.h"

namespace ac3dec {
namespace {

constexpr int32_t kMaxExponent = 24;

// Ungroups `ngrps` 7-bit groups into 3 × ngrps differentials, accumulates them
// from `ref` and writes each exponent to `g` consecutive bins from `out`.
// Returns false when an exponent of one of the first `used` bins leaves 0..24:
// such a stream is corrupt, and the mantissa scaling and the bit allocation
// are defined only there. Bins past `used` (the padding of the last group)
// are written but never read.
template <typename Group>
bool Expand(const Group* groups, int32_t ngrps, int32_t ref, int32_t g, int32_t used,
            int32_t* out) {
  int32_t diffs[3 * 84];
  for (int32_t i = 0; i < ngrps; ++i) {
    const int32_t v = groups[i];
    diffs[3 * i + 0] = v / 25 - 2;
    diffs[3 * i + 1] = (v % 25) / 5 - 2;
    diffs[3 * i + 2] = (v % 25) % 5 - 2;
  }
  int32_t e = ref;
  bool inRange = true;
  for (int32_t k = 0; k < 3 * ngrps; ++k) {
    e += diffs[k];
    if ((e < 0 || e > kMaxExponent) && k * g < used) inRange = false;
    for (int32_t j = 0; j < g; ++j) out[k * g + j] = e;
  }
  return inRange;
}

}  // namespace

int32_t DecodeExponents(AC3DecState* s) {
  AC3AudioBlock& a = s->audblk;
  const int32_t nfchans = int32_t(s->bsi.nfchans);
  bool ok = true;
  for (int ch = 0; ch < nfchans; ++ch) {
    if (!a.chexpstr[ch]) continue;
    int32_t* row = ExpRow(s, ch);
    const int32_t absexp = a.exps[ch][0];
    row[0] = absexp;
    ok &= absexp <= kMaxExponent;
    ok &= Expand(&a.exps[ch][1], a.nchgrps[ch], absexp, 1 << (a.chexpstr[ch] - 1),
                 a.endmant[ch] - 1, row + 1);
  }
  if (a.cplinu && a.cplexpstr) {
    ok &= Expand(a.cplexps, a.ncplgrps, 2 * a.cplabsexp, 1 << (a.cplexpstr - 1),
                 a.cplendmant - a.cplstrtmant, ExpRow(s, kCplSlot) + a.cplstrtmant);
  }
  if (s->bsi.lfeon && a.lfeexpstr) {
    int32_t* row = ExpRow(s, kLfeSlot);
    row[0] = a.lfeexps[0];
    ok &= a.lfeexps[0] <= kMaxExponent;
    ok &= Expand(&a.lfeexps[1], 2, a.lfeexps[0], 1, kLfeBins - 1, row + 1);
  }
  return ok ? kOk : kErrUnsupported;
}

}  // namespace ac3dec
