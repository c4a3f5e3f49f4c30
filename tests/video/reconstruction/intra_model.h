// Plain models of the standard's intra prediction formulas, written over
// the neighbour sample array p[x, y] with explicit availability. Shared by
// the predictor tests and the macroblock reconstruction tests.
#pragma once

#include <cstdint>
#include <vector>

namespace intra_model {

struct Availability {
  bool left, top, topRight, corner;
};

// Neighbour samples of a block of size n: p[x, -1] for x = 0 .. 2n-1,
// p[-1, y] for y = 0 .. n-1 (16 for the larger blocks), and p[-1, -1].
struct Neighbours {
  int up[32];
  int left[16];
  int corner;
};

std::vector<Availability> all_availabilities();

// Whether the standard allows a mode with this availability.
bool mode_allowed(int mode, const Availability& av);  // 4x4 and 8x8
bool mode_allowed_16x16(int mode, const Availability& av);
bool mode_allowed_chroma(int mode, const Availability& av);

// Predictions: 4x4 (16 bytes), 8x8 (64), 16x16 (256) in raster order; chroma
// (64) in the four-block chroma layout. Unavailable upper-right samples of
// 4x4 and 8x8 blocks are substituted here as the standard says.
void model_4x4(int mode, const Neighbours& nb, const Availability& av, uint8_t* out);
void model_8x8(int mode, const Neighbours& nb, const Availability& av, uint8_t* out);
void model_16x16(int mode, const Neighbours& nb, const Availability& av, uint8_t* out);
void model_chroma(int mode, const Neighbours& nb, const Availability& av, uint8_t* out);

}  // namespace intra_model
