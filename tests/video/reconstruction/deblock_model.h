// Plain model of the standard's deblocking sample filter for one line,
// shared by the edge-filter tests and the picture deblocking tests.
#pragma once

namespace deblock_model {

int clip3(int lo, int hi, int v);

// Filters one line in place: p[0..3] before the edge (p[0] nearest), q[0..3]
// after it, with the thresholds of indexA / indexB; chroma filters only p0
// and q0.
void model_line(int* p, int* q, int bS, int indexA, int indexB, bool chroma);

}  // namespace deblock_model
