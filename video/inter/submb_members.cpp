// The sub-macroblock members of frame and field pictures: one line each,
// generated from the member lists' FRAME rows.
#include "submb_members.h"

#define SUBMB_FRAME_ONLY_FRAME(...) __VA_ARGS__
#define SUBMB_FRAME_ONLY_MBAFF(...)

#define SUBMB_LUMA_ROW(name, pic, list, shape) \
  SUBMB_FRAME_ONLY_##pic(SUBMB_DEFINE_LUMA(submb::FramePicture, name, list, shape))
#define SUBMB_CHROMA_ROW(name, pic, list, shape) \
  SUBMB_FRAME_ONLY_##pic(SUBMB_DEFINE_CHROMA(submb::FramePicture, name, list, shape))
#define SUBMB_DIRECT_ROW(luma, chroma, pic) SUBMB_FRAME_ONLY_##pic(SUBMB_DEFINE_DIRECT(submb::FramePicture, luma, chroma))
#define SUBMB_DRIVER_ROW(luma, chroma, slice, pic, lists, ...) \
  SUBMB_FRAME_ONLY_##pic(SUBMB_DEFINE_DRIVER(submb::FramePicture, 'F', luma, chroma, slice, lists))

INTER_SUBMB_LUMA_MEMBERS(SUBMB_LUMA_ROW)
INTER_SUBMB_CHROMA_MEMBERS(SUBMB_CHROMA_ROW)
INTER_SUBMB_DIRECT_MEMBERS(SUBMB_DIRECT_ROW)
INTER_SUBMB_DRIVERS(SUBMB_DRIVER_ROW)
