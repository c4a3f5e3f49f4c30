// A small picture with its planes, margins and macroblock records, cut into
// slices, for the reconstruction and deblocking tests.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "reconstruction.h"

struct TestPicture {
  int widthMbs, heightMbs;
  int lumaPitch, chromaPitch;
  std::vector<uint8_t> y, cb, cr;  // each line: margin, samples, margin
  FrameBuffer fb{};
  DecodedPicture pic{};
  std::vector<MacroblockRecord> mbs;
  std::vector<std::unique_ptr<SliceDecodeContext>> slices;
  std::vector<int> sliceOf;  // slice index of each macroblock

  TestPicture(int w, int h);
  uint8_t* lumaOrigin() { return y.data() + 32; }
  uint8_t* cbOrigin() { return cb.data() + 8; }
  uint8_t* crOrigin() { return cr.data() + 8; }
  // Cuts the picture into slices starting at the given addresses (the first
  // is 0) and sets every record's links, slice fields and addresses.
  void set_slices(const std::vector<int>& starts, uint8_t sliceType, uint8_t constrainedIntra);
  void fill_random(std::mt19937& rng);
  int mb_at(int x, int y) const { return (y / 16) * widthMbs + x / 16; }
};
