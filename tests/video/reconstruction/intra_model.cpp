#include "intra_model.h"

#include <cstring>

namespace intra_model {

std::vector<Availability> all_availabilities() {
  std::vector<Availability> out;
  for (int m = 0; m < 16; ++m) out.push_back({(m & 1) != 0, (m & 2) != 0, (m & 4) != 0, (m & 8) != 0});
  return out;
}


// ---- 4x4 model ----

// Which modes the standard allows for an availability (modes that need the
// corner need it available; diagonal down left and vertical left need only
// p[x, -1] with the upper-right substitute).
bool mode_allowed(int mode, const Availability& av) {
  switch (mode) {
    case 0: case 3: case 7: return av.top;
    case 1: case 8: return av.left;
    case 2: return true;
    default: return av.left && av.top && av.corner;
  }
}

// The nine 4x4 / 8x8 modes over P(x, y), the (possibly filtered) neighbour
// samples; dc is the DC value worked out by the caller.
template <class Sample>
void model_nxn(int n, int mode, Sample P, int dc, uint8_t* out) {
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      int v = 0;
      switch (mode) {
        case 0: v = P(x, -1); break;
        case 1: v = P(-1, y); break;
        case 2: v = dc; break;
        case 3:
          if (x == n - 1 && y == n - 1)
            v = (P(2 * n - 2, -1) + 3 * P(2 * n - 1, -1) + 2) >> 2;
          else
            v = (P(x + y, -1) + 2 * P(x + y + 1, -1) + P(x + y + 2, -1) + 2) >> 2;
          break;
        case 4:
          if (x > y)
            v = (P(x - y - 2, -1) + 2 * P(x - y - 1, -1) + P(x - y, -1) + 2) >> 2;
          else if (x < y)
            v = (P(-1, y - x - 2) + 2 * P(-1, y - x - 1) + P(-1, y - x) + 2) >> 2;
          else
            v = (P(0, -1) + 2 * P(-1, -1) + P(-1, 0) + 2) >> 2;
          break;
        case 5: {
          const int z = 2 * x - y;
          if (z >= 0 && z % 2 == 0)
            v = (P(x - (y >> 1) - 1, -1) + P(x - (y >> 1), -1) + 1) >> 1;
          else if (z >= 0)
            v = (P(x - (y >> 1) - 2, -1) + 2 * P(x - (y >> 1) - 1, -1) + P(x - (y >> 1), -1) + 2) >> 2;
          else if (z == -1)
            v = (P(-1, 0) + 2 * P(-1, -1) + P(0, -1) + 2) >> 2;
          else
            v = (P(-1, y - 2 * x - 1) + 2 * P(-1, y - 2 * x - 2) + P(-1, y - 2 * x - 3) + 2) >> 2;
          break;
        }
        case 6: {
          const int z = 2 * y - x;
          if (z >= 0 && z % 2 == 0)
            v = (P(-1, y - (x >> 1) - 1) + P(-1, y - (x >> 1)) + 1) >> 1;
          else if (z >= 0)
            v = (P(-1, y - (x >> 1) - 2) + 2 * P(-1, y - (x >> 1) - 1) + P(-1, y - (x >> 1)) + 2) >> 2;
          else if (z == -1)
            v = (P(-1, 0) + 2 * P(-1, -1) + P(0, -1) + 2) >> 2;
          else
            v = (P(x - 2 * y - 1, -1) + 2 * P(x - 2 * y - 2, -1) + P(x - 2 * y - 3, -1) + 2) >> 2;
          break;
        }
        case 7:
          if (y % 2 == 0)
            v = (P(x + (y >> 1), -1) + P(x + (y >> 1) + 1, -1) + 1) >> 1;
          else
            v = (P(x + (y >> 1), -1) + 2 * P(x + (y >> 1) + 1, -1) + P(x + (y >> 1) + 2, -1) + 2) >> 2;
          break;
        case 8: {
          const int z = x + 2 * y, last = 2 * n - 3;
          if (z < last && z % 2 == 0)
            v = (P(-1, y + (x >> 1)) + P(-1, y + (x >> 1) + 1) + 1) >> 1;
          else if (z < last)
            v = (P(-1, y + (x >> 1)) + 2 * P(-1, y + (x >> 1) + 1) + P(-1, y + (x >> 1) + 2) + 2) >> 2;
          else if (z == last)
            v = (P(-1, n - 2) + 3 * P(-1, n - 1) + 2) >> 2;
          else
            v = P(-1, n - 1);
          break;
        }
      }
      out[n * y + x] = static_cast<uint8_t>(v);
    }
}

// DC of n samples per present side.
int model_dc(int n, int log2n, int sumTop, int sumLeft, const Availability& av) {
  if (av.left && av.top) return (sumTop + sumLeft + n) >> (log2n + 1);
  if (av.top) return (sumTop + n / 2) >> log2n;
  if (av.left) return (sumLeft + n / 2) >> log2n;
  return 128;
}

void model_4x4(int mode, const Neighbours& nb, const Availability& av, uint8_t* out) {
  int top[8];
  for (int x = 0; x < 8; ++x) top[x] = x < 4 || av.topRight ? nb.up[x] : nb.up[3];
  auto P = [&](int x, int y) {
    if (x == -1 && y == -1) return nb.corner;
    if (y == -1) return top[x];
    return nb.left[y];
  };
  int sumTop = 0, sumLeft = 0;
  for (int i = 0; i < 4; ++i) sumTop += top[i], sumLeft += nb.left[i];
  model_nxn(4, mode, P, model_dc(4, 2, sumTop, sumLeft, av), out);
}

// ---- 8x8 model: reference filtering with the availability cases ----

struct Filtered8 {
  int up[16];
  int left[8];
  int corner;
};

Filtered8 model_filter_8x8(const Neighbours& nb, const Availability& av) {
  int p[16];
  for (int x = 0; x < 16; ++x) p[x] = x < 8 || av.topRight ? nb.up[x] : nb.up[7];
  const int* l = nb.left;
  const int c = nb.corner;
  Filtered8 f{};
  if (av.top) {
    f.up[0] = av.corner ? (c + 2 * p[0] + p[1] + 2) >> 2 : (3 * p[0] + p[1] + 2) >> 2;
    for (int x = 1; x < 15; ++x) f.up[x] = (p[x - 1] + 2 * p[x] + p[x + 1] + 2) >> 2;
    f.up[15] = (p[14] + 3 * p[15] + 2) >> 2;
  }
  if (av.corner) {
    if (!av.top && av.left)
      f.corner = (3 * c + l[0] + 2) >> 2;
    else if (av.top && !av.left)
      f.corner = (3 * c + p[0] + 2) >> 2;
    else if (av.top && av.left)
      f.corner = (p[0] + 2 * c + l[0] + 2) >> 2;
    else
      f.corner = c;
  }
  if (av.left) {
    f.left[0] = av.corner ? (c + 2 * l[0] + l[1] + 2) >> 2 : (3 * l[0] + l[1] + 2) >> 2;
    for (int y = 1; y < 7; ++y) f.left[y] = (l[y - 1] + 2 * l[y] + l[y + 1] + 2) >> 2;
    f.left[7] = (l[6] + 3 * l[7] + 2) >> 2;
  }
  return f;
}

void model_8x8(int mode, const Neighbours& nb, const Availability& av, uint8_t* out) {
  const Filtered8 f = model_filter_8x8(nb, av);
  auto P = [&](int x, int y) {
    if (x == -1 && y == -1) return f.corner;
    if (y == -1) return f.up[x];
    return f.left[y];
  };
  int sumTop = 0, sumLeft = 0;
  for (int i = 0; i < 8; ++i) sumTop += f.up[i], sumLeft += f.left[i];
  model_nxn(8, mode, P, model_dc(8, 3, sumTop, sumLeft, av), out);
}

// ---- 16x16 and chroma models ----

int clip1(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

void model_16x16(int mode, const Neighbours& nb, const Availability& av, uint8_t* out) {
  auto T = [&](int x) { return x < 0 ? nb.corner : nb.up[x]; };
  auto L = [&](int y) { return y < 0 ? nb.corner : nb.left[y]; };
  int h = 0, v = 0, st = 0, sl = 0;
  for (int i = 0; i < 8; ++i) h += (i + 1) * (T(8 + i) - T(6 - i)), v += (i + 1) * (L(8 + i) - L(6 - i));
  for (int i = 0; i < 16; ++i) st += T(i), sl += L(i);
  const int a = 16 * (L(15) + T(15)), b = (5 * h + 32) >> 6, c = (5 * v + 32) >> 6;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      int s = 0;
      switch (mode) {
        case 0: s = T(x); break;
        case 1: s = L(y); break;
        case 2: s = av.left && av.top ? (st + sl + 16) >> 5 : av.left ? (sl + 8) >> 4 : av.top ? (st + 8) >> 4 : 128; break;
        case 3: s = clip1((a + b * (x - 7) + c * (y - 7) + 16) >> 5); break;
      }
      out[16 * y + x] = static_cast<uint8_t>(s);
    }
}

void model_chroma(int mode, const Neighbours& nb, const Availability& av, uint8_t* out) {
  auto T = [&](int x) { return x < 0 ? nb.corner : nb.up[x]; };
  auto L = [&](int y) { return y < 0 ? nb.corner : nb.left[y]; };
  int raster[64];
  int h = 0, v = 0;
  for (int i = 0; i < 4; ++i) h += (i + 1) * (T(4 + i) - T(2 - i)), v += (i + 1) * (L(4 + i) - L(2 - i));
  const int a = 16 * (L(7) + T(7)), b = (34 * h + 32) >> 6, c = (34 * v + 32) >> 6;
  for (int blk = 0; blk < 4; ++blk) {
    const int xO = 4 * (blk & 1), yO = 4 * (blk >> 1);
    int sumT = 0, sumL = 0;
    for (int i = 0; i < 4; ++i) sumT += T(xO + i), sumL += L(yO + i);
    int dc;
    if ((xO == 0 && yO == 0) || (xO > 0 && yO > 0)) {
      dc = av.left && av.top ? (sumT + sumL + 4) >> 3 : av.left ? (sumL + 2) >> 2 : av.top ? (sumT + 2) >> 2 : 128;
    } else if (xO > 0) {
      dc = av.top ? (sumT + 2) >> 2 : av.left ? (sumL + 2) >> 2 : 128;
    } else {
      dc = av.left ? (sumL + 2) >> 2 : av.top ? (sumT + 2) >> 2 : 128;
    }
    for (int y = yO; y < yO + 4; ++y)
      for (int x = xO; x < xO + 4; ++x) {
        int s = 0;
        switch (mode) {
          case 0: s = dc; break;
          case 1: s = L(y); break;
          case 2: s = T(x); break;
          case 3: s = clip1((a + b * (x - 3) + c * (y - 3) + 16) >> 5); break;
        }
        raster[8 * y + x] = s;
      }
  }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      out[16 * ((x >> 2) + 2 * (y >> 2)) + 4 * (y & 3) + (x & 3)] = static_cast<uint8_t>(raster[8 * y + x]);
}

bool mode_allowed_16x16(int mode, const Availability& av) {
  return mode == 2 || (mode == 0 && av.top) || (mode == 1 && av.left) || (mode == 3 && av.top && av.left && av.corner);
}

bool mode_allowed_chroma(int mode, const Availability& av) {
  return mode == 0 || (mode == 1 && av.left) || (mode == 2 && av.top) || (mode == 3 && av.top && av.left && av.corner);
}


}  // namespace intra_model
