// Adapters that give every member the uniform signature of the dispatch
// tables: a one-list member receives the first list the driver passes (the
// driver passes RefPicList1 first for the list-1 types 40, 41 and 42).
#pragma once

#include "inter_prediction.h"

namespace inter {

using LumaOne = void (*)(INTER_LUMA_ARGS_ONE);
using LumaTwo = void (*)(INTER_LUMA_ARGS_TWO);
using ChromaOne = void (*)(INTER_CHROMA_ARGS_ONE);
using ChromaTwo = void (*)(INTER_CHROMA_ARGS_TWO);

template <LumaOne M>
void luma_entry(DecodedPicture* const* l0, DecodedPicture* const*, uint16_t x, uint16_t y, uint8_t* dst,
                MacroblockRecord* mb, int pitch, int width, int height) {
  M(l0, x, y, dst, mb, static_cast<uint32_t>(pitch), static_cast<uint32_t>(width), static_cast<uint32_t>(height));
}
template <LumaTwo M>
void luma_entry(DecodedPicture* const* l0, DecodedPicture* const* l1, uint16_t x, uint16_t y, uint8_t* dst,
                MacroblockRecord* mb, int pitch, int width, int height) {
  M(l0, l1, x, y, dst, mb, static_cast<uint32_t>(pitch), static_cast<uint32_t>(width),
    static_cast<uint32_t>(height));
}
template <ChromaOne M>
void chroma_entry(DecodedPicture* const* l0, DecodedPicture* const*, uint16_t x, uint16_t y, uint8_t* cb,
                  uint8_t* cr, MacroblockRecord* mb, int pitch, int width, int height) {
  M(l0, x, y, cb, cr, mb, static_cast<uint32_t>(pitch), static_cast<uint32_t>(width),
    static_cast<uint32_t>(height));
}
template <ChromaTwo M>
void chroma_entry(DecodedPicture* const* l0, DecodedPicture* const* l1, uint16_t x, uint16_t y, uint8_t* cb,
                  uint8_t* cr, MacroblockRecord* mb, int pitch, int width, int height) {
  M(l0, l1, x, y, cb, cr, mb, static_cast<uint32_t>(pitch), static_cast<uint32_t>(width),
    static_cast<uint32_t>(height));
}

}  // namespace inter
