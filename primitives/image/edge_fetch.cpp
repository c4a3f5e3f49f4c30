// Edge-replicating fetch of reference windows: copies a window of a plane
// into a scratch area, each sample beyond a handled side replaced by the
// nearest sample on that edge (the reference-coordinate clipping of H.264
// motion compensation). Plain code shared by every processor variant, in
// three sample formats, each a table of 16 routines indexed by side flags.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "interpolate_internal.h"

namespace {

struct BytePair {
  uint8_t b[2];
};

// Copies `count` positions of U, then repeats one position; memcpy keeps
// unaligned and odd addresses legal.
template <typename U>
inline void repeatUnit(uint8_t* out, const uint8_t* unit, int32_t count) {
  if (sizeof(U) == 1) {
    if (count > 0) std::memset(out, *unit, static_cast<size_t>(count));
    return;
  }
  for (int32_t i = 0; i < count; ++i) std::memcpy(out + i * sizeof(U), unit, sizeof(U));
}

// The fetch with a compile-time choice of handled sides. StepUnit is the
// size in bytes of one unit of srcStep and dstStep.
template <typename U, int StepUnit, bool Left, bool Right, bool Top, bool Bottom>
void fetchSides(InterpolateKernelParams* p) {
  const int32_t ww = p->windowWidth;
  const int32_t wh = p->windowHeight;
  const int32_t fw = p->frameWidth;
  const int32_t fh = p->frameHeight;
  int32_t wx = p->windowX;
  int32_t wy = p->windowY;
  // A window wholly beyond a side is moved next to it: same output, and a
  // second fetch with the record (the other chroma plane) gives it again.
  if (Left && wx + ww <= 0) wx = 1 - ww;
  if (Right && wx >= fw) wx = fw - 1;
  if (Top && wy + wh <= 0) wy = 1 - wh;
  if (Bottom && wy >= fh) wy = fh - 1;
  p->windowX = wx;
  p->windowY = wy;

  const ptrdiff_t srcStep = static_cast<ptrdiff_t>(p->srcStep) * StepUnit;
  const ptrdiff_t dstStep = static_cast<ptrdiff_t>(p->dstStep) * StepUnit;
  constexpr ptrdiff_t kUnit = sizeof(U);
  // Output columns [0, inStart) repeat column 0, [inStart, inEnd) are copied,
  // [inEnd, ww) repeat the last column.
  int32_t inStart = 0;
  if (Left && wx < 0) inStart = std::min(-wx, ww);
  int32_t inEnd = ww;
  if (Right && fw - wx < ww) inEnd = std::max(fw - wx, inStart);
  for (int32_t r = 0; r < wh; ++r) {
    int32_t y = wy + r;
    if (Top && y < 0) y = 0;
    if (Bottom && y >= fh) y = fh - 1;
    const uint8_t* row = p->pSrc + static_cast<ptrdiff_t>(y) * srcStep;
    uint8_t* out = p->pDst + static_cast<ptrdiff_t>(r) * dstStep;
    repeatUnit<U>(out, row, inStart);
    if (inEnd > inStart) {
      std::memcpy(out + inStart * kUnit, row + (static_cast<ptrdiff_t>(wx) + inStart) * kUnit,
                  static_cast<size_t>(inEnd - inStart) * kUnit);
    }
    repeatUnit<U>(out + inEnd * kUnit, row + (static_cast<ptrdiff_t>(fw) - 1) * kUnit, ww - inEnd);
  }
}

// The routine of one entry: the working routine of its sides, or, with two
// opposite sides flagged, the one the sign of the window origin picks.
template <typename Format, int Flags>
inline void fetchByFlags(InterpolateKernelParams* p) {
  using U = typename Format::Unit;
  constexpr int S = Format::kStepUnit;
  if constexpr (Flags == 0) {
    return;
  } else if constexpr ((Flags & 3) == 3) {
    if (p->windowX < 0) fetchByFlags<Format, Flags & ~2>(p);
    else fetchByFlags<Format, Flags & ~1>(p);
  } else if constexpr ((Flags & 12) == 12) {
    if (p->windowY < 0) fetchByFlags<Format, Flags & ~8>(p);
    else fetchByFlags<Format, Flags & ~4>(p);
  } else {
    fetchSides<U, S, (Flags & 1) != 0, (Flags & 2) != 0, (Flags & 4) != 0, (Flags & 8) != 0>(p);
  }
}

// Sample formats: the unit of one position and the size in bytes of one
// unit of srcStep and dstStep.
struct EdgeFormat8u {
  using Unit = uint8_t;
  static constexpr int kStepUnit = 1;
};
struct EdgeFormatNv12 {
  using Unit = BytePair;
  static constexpr int kStepUnit = 1;
};
struct EdgeFormat16u {
  using Unit = uint16_t;
  static constexpr int kStepUnit = 2;
};

}  // namespace

#define VPI_DEFINE_EDGE_FETCH(name, format, flags) \
  void name(InterpolateKernelParams* p) { fetchByFlags<format, flags>(p); }
VPI_EDGE_FETCH_ROUTINES(VPI_DEFINE_EDGE_FETCH)
#undef VPI_DEFINE_EDGE_FETCH

#define VPI_EDGE_FETCH_ENTRY(name, ...) name,
const VpEdgeFetchFn read_data_through_boundary_table_8u_pxmx[16] = {VPI_EDGE_FETCH_8U(VPI_EDGE_FETCH_ENTRY)};
const VpEdgeFetchFn read_data_through_boundary_table_nv12_8u_pxmx[16] = {VPI_EDGE_FETCH_NV12_8U(VPI_EDGE_FETCH_ENTRY)};
const VpEdgeFetchFn read_data_through_boundary_table_16u_pxmx[16] = {VPI_EDGE_FETCH_16U(VPI_EDGE_FETCH_ENTRY)};
#undef VPI_EDGE_FETCH_ENTRY

void c_read_data_through_all_boundaries_8u(InterpolateKernelParams* p) {
  fetchSides<uint8_t, 1, true, true, true, true>(p);
}
