// The deblocking sample filter of one line (the decoder's plain reference),
// in the forms the edge-filter tests and the picture deblocking tests use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deblock_model {

int clip3(int lo, int hi, int v);

// Filters one line in place: p[0..3] before the edge (p[0] nearest), q[0..3]
// after it, with the thresholds of indexA / indexB; chroma filters only p0
// and q0.
void model_line(int* p, int* q, int bS, int indexA, int indexB, bool chroma);

// The same on the samples of a plane: q0 at `q0`, the line's next sample
// `step` bytes further (p0 `step` bytes before q0).
void model_samples(uint8_t* q0, ptrdiff_t step, int bS, int indexA, int indexB, bool chroma);

}  // namespace deblock_model
