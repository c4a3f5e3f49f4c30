// Structure of a picture, a frame buffer's content or a macroblock.
#pragma once

#include <cstdint>

// A field of either parity, or a frame. A picture (and the frame buffer it is
// decoded into) is a frame or a field; a macroblock is a frame macroblock, or
// a field macroblock of a field picture or of an MBAFF field pair (the pair's
// top one of the top field). A field's structure is its parity,
// bottom_field_flag: code that indexes by parity, compares a parity with a
// structure or computes the other field's parity relies on it.
enum : uint8_t {
  kTopField = 0,
  kBottomField = 1,
  kFrame = 2,
};
