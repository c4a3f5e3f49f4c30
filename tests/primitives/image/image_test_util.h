// What the interpolation tests share: the members of each primitive, a
// reference plane with its own clamped reader, and the standard's sample
// formulas written plainly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "checkasm.h"
#include "vpiInterpolate.h"

namespace imagetest {

inline std::mt19937& rng() { return checkasm::rng(); }

inline int randomIn(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng()); }

// A plane of width x height samples with `step` bytes per row, allocated to
// its exact size so that AddressSanitizer catches reads past its last row.
struct Plane {
  int width, height, step;
  std::vector<uint8_t> data;
  Plane(int w, int h, int s) : width(w), height(h), step(s), data(static_cast<size_t>(s) * (h - 1) + w) {
    for (auto& v : data) v = static_cast<uint8_t>(rng()());
  }
  const uint8_t* origin() const { return data.data(); }
  // The sample at (x, y), each coordinate clamped to the plane.
  int at(int x, int y) const {
    x = std::clamp(x, 0, width - 1);
    y = std::clamp(y, 0, height - 1);
    return data[static_cast<size_t>(y) * step + x];
  }
};

inline int clip1(int v) { return std::clamp(v, 0, 255); }
inline int tap6(int e, int f, int g, int h, int i, int j) { return e - 5 * f + 20 * g + 20 * h - 5 * i + j; }

// Luma prediction sample at quarter-sample position (xq, yq) with clamped
// reference coordinates.
inline int lumaSample(const Plane& p, int xq, int yq) {
  const int xi = xq >> 2, yi = yq >> 2, fx = xq & 3, fy = yq & 3;
  auto horz = [&](int y) { return tap6(p.at(xi - 2, y), p.at(xi - 1, y), p.at(xi, y), p.at(xi + 1, y), p.at(xi + 2, y), p.at(xi + 3, y)); };
  auto vert = [&](int x) { return tap6(p.at(x, yi - 2), p.at(x, yi - 1), p.at(x, yi), p.at(x, yi + 1), p.at(x, yi + 2), p.at(x, yi + 3)); };
  const int G = p.at(xi, yi), H = p.at(xi + 1, yi), M = p.at(xi, yi + 1);
  const int b = clip1((horz(yi) + 16) >> 5);
  const int s = clip1((horz(yi + 1) + 16) >> 5);
  const int h = clip1((vert(xi) + 16) >> 5);
  const int m = clip1((vert(xi + 1) + 16) >> 5);
  const int j1 = tap6(horz(yi - 2), horz(yi - 1), horz(yi), horz(yi + 1), horz(yi + 2), horz(yi + 3));
  const int j = clip1((j1 + 512) >> 10);
  auto avg = [](int u, int v) { return (u + v + 1) >> 1; };
  switch (fy * 4 + fx) {
    case 0: return G;
    case 1: return avg(G, b);
    case 2: return b;
    case 3: return avg(H, b);
    case 4: return avg(G, h);
    case 5: return avg(b, h);
    case 6: return avg(b, j);
    case 7: return avg(b, m);
    case 8: return h;
    case 9: return avg(h, j);
    case 10: return j;
    case 11: return avg(j, m);
    case 12: return avg(M, h);
    case 13: return avg(h, s);
    case 14: return avg(j, s);
    default: return avg(m, s);
  }
}

// Chroma prediction sample at eighth-sample position (xe, ye).
inline int chromaSample(const Plane& p, int xe, int ye) {
  const int xi = xe >> 3, yi = ye >> 3, dx = xe & 7, dy = ye & 7;
  return ((8 - dx) * (8 - dy) * p.at(xi, yi) + dx * (8 - dy) * p.at(xi + 1, yi) + (8 - dx) * dy * p.at(xi, yi + 1) +
          dx * dy * p.at(xi + 1, yi + 1) + 32) >> 6;
}

// A destination area with a guard band around the block.
struct GuardedBlock {
  static constexpr uint8_t kGuard = 0x5A;
  int step;
  int pad;
  std::vector<uint8_t> data;
  GuardedBlock(int width, int height, int stepBytes, int misalign)
      : step(stepBytes), pad(32 + misalign), data(static_cast<size_t>(stepBytes) * (height + 4) + 96, kGuard) {
    (void)width;
  }
  uint8_t* block() { return data.data() + 2 * step + pad; }
  // True when every byte outside the width x height block keeps the guard.
  bool guardsIntact(int width, int height) const {
    const uint8_t* base = data.data() + 2 * step + pad;
    for (size_t i = 0; i < data.size(); ++i) {
      const ptrdiff_t off = static_cast<ptrdiff_t>(i) - (base - data.data());
      const bool inside = off >= 0 && off / step < height && off % step < width;
      if (!inside && data[i] != kGuard) return false;
    }
    return true;
  }
};

}  // namespace imagetest
