// The SSE4.1 members of the interpolation, averaging and weighting primitives.
#define VP_FN(name) sse41_##name
#define VP_VARIANT sse41
#define VPI_LUMA_TABLE h264_interpolate_luma_type_table_8u_v8u8
#define VPI_CHROMA_TABLE h264_interpolate_chroma_type_table_8u_v8u8
#define VPI_COPY_LINE_SPLITS false
#include "interpolate_body.inc"
