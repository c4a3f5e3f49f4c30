// The SSE4.1 members of the image primitives: interpolation, averaging,
// weighting and CAVLC decoding.
#define VP_ISA 41
#include "vpVariant.h"
#define VPI_LUMA_TABLE h264_interpolate_luma_type_table_8u_v8u8
#define VPI_CHROMA_TABLE h264_interpolate_chroma_type_table_8u_v8u8
#define VPI_COPY_LINE_SPLITS false
#include "interpolate_body.inc"
#include "cavlc_body.inc"
