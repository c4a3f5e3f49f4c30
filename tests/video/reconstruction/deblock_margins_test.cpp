// The margin refresh routines of deblocking: each sets exactly the margins
// of the lines it names, to the picture sample next to them, and leaves
// every other byte alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "reconstruction.h"

namespace {

using Refresh = void (*)(uint8_t*, uint8_t*, uint8_t*, int, int);

struct Case {
  const char* name;
  Refresh refresh;
  bool right;
  std::vector<int> luma, chroma;  // lines set, relative to the pointers' line 0
};

std::vector<int> range(int first, int last) {
  std::vector<int> v;
  for (int l = first; l <= last; ++l) v.push_back(l);
  return v;
}

std::vector<int> join(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One plane: `width` picture samples per line with `margin` on each side,
// lines -8..39 around line 0 of the row under test.
struct Plane {
  static constexpr int kAbove = 8, kLines = 48;
  int width, margin, pitch;
  std::vector<uint8_t> data;
  Plane(int w, int m, std::mt19937& rng)
      : width(w), margin(m), pitch(w + 2 * m), data(static_cast<size_t>(pitch) * kLines) {
    for (auto& v : data) v = static_cast<uint8_t>(rng());
  }
  uint8_t* line0() { return data.data() + kAbove * pitch + margin; }
  uint8_t at(const std::vector<uint8_t>& d, int line, int col) const {
    return d[static_cast<size_t>((line + kAbove) * pitch + margin + col)];
  }
  // Every byte equals `before` except the margin of the listed lines, which
  // repeats the line's edge sample.
  void check(const std::vector<uint8_t>& before, const std::vector<int>& lines, bool right, const char* what) const {
    for (int line = -kAbove; line < kLines - kAbove; ++line) {
      const bool listed = std::find(lines.begin(), lines.end(), line) != lines.end();
      for (int col = -margin; col < width + margin; ++col) {
        const bool inMargin = right ? col >= width : col < 0;
        const uint8_t want = listed && inMargin ? at(before, line, right ? width - 1 : 0) : at(before, line, col);
        ASSERT_EQ(want, at(data, line, col)) << what << " line " << line << " column " << col;
      }
    }
  }
};

TEST(DeblockMargins, EachRoutineSetsItsLinesOnly) {
  const Case cases[] = {
      {"CopyRightEdge4x4ForTopRow", CopyRightEdge4x4ForTopRow, true, range(0, 14), range(0, 6)},
      {"CopyRightEdge8x8", CopyRightEdge8x8, true, join(range(-3, 2), range(5, 10)), {-1, 0, 3, 4}},
      {"CopyLeftEdgeForTopRow_mbaff", CopyLeftEdgeForTopRow_mbaff, false, range(0, 31), range(0, 15)},
      {"CopyRightEdgeForTopRow_mbaff", CopyRightEdgeForTopRow_mbaff, true, range(0, 31), range(0, 15)},
      {"CopyRightEdge_mbaff", CopyRightEdge_mbaff, true, range(-6, 31), range(-2, 15)},
  };
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    for (int widthMbs : {1, 3}) {
      Plane y(16 * widthMbs, 32, rng), cb(8 * widthMbs, 8, rng), cr(8 * widthMbs, 8, rng);
      const auto by = y.data, bcb = cb.data, bcr = cr.data;
      // Right margins: the pointers address the first sample past the picture.
      const int ly = c.right ? y.width : 0, lc = c.right ? cb.width : 0;
      c.refresh(y.line0() + ly, cb.line0() + lc, cr.line0() + lc, y.pitch, cb.pitch);
      y.check(by, c.luma, c.right, c.name);
      cb.check(bcb, c.chroma, c.right, c.name);
      cr.check(bcr, c.chroma, c.right, c.name);
    }
  }
}

}  // namespace
