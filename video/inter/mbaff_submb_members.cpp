// The sub-macroblock members of MBAFF frames: one line each, generated from
// the member lists' MBAFF rows, on the same templates as frame pictures. A
// field macroblock reads reference fields, weighs by the halved index and
// finds its neighbours by the macroblock-pair rules.
#include "mbaff_neighbours.h"
#include "submb_members.h"

namespace submb {

struct MbaffPicture {
  static constexpr bool kMbaff = true;
  using Neighbours = MbaffNeighbours;
};

}  // namespace submb

#define SUBMB_MBAFF_ONLY_FRAME(...)
#define SUBMB_MBAFF_ONLY_MBAFF(...) __VA_ARGS__

#define SUBMB_LUMA_ROW(name, pic, list, shape) \
  SUBMB_MBAFF_ONLY_##pic(SUBMB_DEFINE_LUMA(submb::MbaffPicture, name, list, shape))
#define SUBMB_CHROMA_ROW(name, pic, list, shape) \
  SUBMB_MBAFF_ONLY_##pic(SUBMB_DEFINE_CHROMA(submb::MbaffPicture, name, list, shape))
#define SUBMB_DIRECT_ROW(luma, chroma, pic) SUBMB_MBAFF_ONLY_##pic(SUBMB_DEFINE_DIRECT(submb::MbaffPicture, luma, chroma))
#define SUBMB_DRIVER_ROW(luma, chroma, slice, pic, lists, ...) \
  SUBMB_MBAFF_ONLY_##pic(SUBMB_DEFINE_DRIVER(submb::MbaffPicture, 'M', luma, chroma, slice, lists))

INTER_SUBMB_LUMA_MEMBERS(SUBMB_LUMA_ROW)
INTER_SUBMB_CHROMA_MEMBERS(SUBMB_CHROMA_ROW)
INTER_SUBMB_DIRECT_MEMBERS(SUBMB_DIRECT_ROW)
INTER_SUBMB_DRIVERS(SUBMB_DRIVER_ROW)
