// Per-macroblock record of a picture, written by the slice-data stage and
// read by reconstruction and deblocking. The engine only allocates one array
// per picture and points slices at their first record; the stages that fill
// it own its fields.
#pragma once

#include <cstdint>

struct MacroblockRecord {
  alignas(16) uint8_t fields[64];
};
