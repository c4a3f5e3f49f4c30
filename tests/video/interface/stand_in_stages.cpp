// Stand-ins for the slice-data, reconstruction and deblocking stages, for
// tests of the engine alone: they let whole streams run (picture counts,
// output order, threading) without decoding a macroblock. Each
// picture is filled once with a pattern made of its own identity: luma holds
// the low byte of its picture order count, Cb the low byte of frame_num and
// Cr 128.
#include <cstring>

#include "stand_in_stages.h"

namespace {

void fill_picture(const DecodedPicture* p) {
  const size_t width = frame_luma_pitch(p) - 64u;
  uint8_t* const y = picture_luma(p);
  for (uint32_t j = 0; j < p->lumaHeight; ++j)
    std::memset(y + static_cast<size_t>(j) * p->lumaPitch - 32, p->pictureOrderCount & 0xFF, width + 64u);
  if (p->chroma_format_idc == 0) return;
  uint8_t* const cb = picture_cb(p);
  uint8_t* const cr = picture_cr(p);
  for (uint32_t j = 0; j < p->chromaHeight; ++j) {
    std::memset(cb + static_cast<size_t>(j) * p->chromaPitch - 8, static_cast<int>(p->frameNum & 0xFF), width / 2 + 16u);
    std::memset(cr + static_cast<size_t>(j) * p->chromaPitch - 8, 128, width / 2 + 16u);
  }
}

// The first slice of a picture to get here stands for all of them.
uint32_t reconstruct(ThreadBuffer* tb) {
  DecodedPicture* p = tb->slice->picture;
  if (__atomic_exchange_n(&p->reconstructedBy, 1u, __ATOMIC_ACQ_REL) != 0) return 0;
  fill_picture(p);
  return p->mbCount;
}

int32_t no_slice_data(ThreadBuffer*) { return 0; }
uint32_t no_deblocking(DecodedPicture*) { return 0; }

}  // namespace

const DecoderStages kStandInStages = {
    no_slice_data, no_slice_data, no_slice_data, reconstruct, reconstruct, reconstruct,
    reconstruct,   reconstruct,   reconstruct,   no_deblocking, no_deblocking,
};
