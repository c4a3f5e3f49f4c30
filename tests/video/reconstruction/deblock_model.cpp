#include "deblock_model.h"

#include <cstdlib>
#include <cstring>

#include "deblock_filters.h"

namespace deblock_model {

int clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }

// The standard's filter for one line of samples p[0..3], q[0..3].
void model_line(int* p, int* q, int bS, int indexA, int indexB, bool chroma) {
  const int alpha = AlphaTable[indexA], beta = BetaTable[indexB];
  const bool filter = std::abs(p[0] - q[0]) < alpha && std::abs(p[1] - p[0]) < beta && std::abs(q[1] - q[0]) < beta;
  if (!filter) return;
  const int ap = std::abs(p[2] - p[0]), aq = std::abs(q[2] - q[0]);
  int P[4], Q[4];
  std::memcpy(P, p, sizeof P);
  std::memcpy(Q, q, sizeof Q);
  if (bS < 4) {
    const int tc0 = ClipTable[5 * indexA + bS];
    const int tc = chroma ? tc0 + 1 : tc0 + (ap < beta ? 1 : 0) + (aq < beta ? 1 : 0);
    const int delta = clip3(-tc, tc, (((Q[0] - P[0]) * 4) + (P[1] - Q[1]) + 4) >> 3);
    p[0] = clip3(0, 255, P[0] + delta);
    q[0] = clip3(0, 255, Q[0] - delta);
    if (!chroma && ap < beta) p[1] = P[1] + clip3(-tc0, tc0, (P[2] + ((P[0] + Q[0] + 1) >> 1) - (P[1] << 1)) >> 1);
    if (!chroma && aq < beta) q[1] = Q[1] + clip3(-tc0, tc0, (Q[2] + ((P[0] + Q[0] + 1) >> 1) - (Q[1] << 1)) >> 1);
    return;
  }
  const bool small = std::abs(P[0] - Q[0]) < ((alpha >> 2) + 2);
  if (!chroma && ap < beta && small) {
    p[0] = (P[2] + 2 * P[1] + 2 * P[0] + 2 * Q[0] + Q[1] + 4) >> 3;
    p[1] = (P[2] + P[1] + P[0] + Q[0] + 2) >> 2;
    p[2] = (2 * P[3] + 3 * P[2] + P[1] + P[0] + Q[0] + 4) >> 3;
  } else {
    p[0] = (2 * P[1] + P[0] + Q[1] + 2) >> 2;
  }
  if (!chroma && aq < beta && small) {
    q[0] = (P[1] + 2 * P[0] + 2 * Q[0] + 2 * Q[1] + Q[2] + 4) >> 3;
    q[1] = (P[0] + Q[0] + Q[1] + Q[2] + 2) >> 2;
    q[2] = (2 * Q[3] + 3 * Q[2] + Q[1] + Q[0] + P[0] + 4) >> 3;
  } else {
    q[0] = (2 * Q[1] + Q[0] + P[1] + 2) >> 2;
  }
}

void model_samples(uint8_t* q0, ptrdiff_t step, int bS, int indexA, int indexB, bool chroma) {
  int p[4] = {}, q[4] = {};
  const int n = chroma ? 2 : 4;
  for (int k = 0; k < n; ++k) p[k] = q0[-(k + 1) * step], q[k] = q0[k * step];
  model_line(p, q, bS, indexA, indexB, chroma);
  for (int k = 0; k < n; ++k)
    q0[-(k + 1) * step] = static_cast<uint8_t>(p[k]), q0[k * step] = static_cast<uint8_t>(q[k]);
}

}  // namespace deblock_model
