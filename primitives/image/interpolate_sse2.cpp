// The SSE2 members of the interpolation, averaging and weighting primitives.
#define VP_FN(name) sse2_##name
#define VP_VARIANT sse2
#define VPI_LUMA_TABLE h264_interpolate_luma_type_table_8u_w7m7
#define VPI_CHROMA_TABLE h264_interpolate_chroma_type_table_8u_w7m7
#define VPI_COPY_LINE_SPLITS true
#include "interpolate_body.inc"
