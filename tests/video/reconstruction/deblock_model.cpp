#include "deblock_model.h"

#include "deblock_filters.h"

namespace deblock_model {

int clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }

// The decoder's plain reference on one line of samples p[0..3], q[0..3].
void model_line(int* p, int* q, int bS, int indexA, int indexB, bool chroma) {
  uint8_t line[8];
  for (int k = 0; k < 4; ++k) line[3 - k] = static_cast<uint8_t>(p[k]), line[4 + k] = static_cast<uint8_t>(q[k]);
  c_deblock_line(line + 4, 1, bS, indexA, indexB, chroma);
  for (int k = 0; k < 4; ++k) p[k] = line[3 - k], q[k] = line[4 + k];
}

void model_samples(uint8_t* q0, ptrdiff_t step, int bS, int indexA, int indexB, bool chroma) {
  c_deblock_line(q0, step, bS, indexA, indexB, chroma);
}

}  // namespace deblock_model
