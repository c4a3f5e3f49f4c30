// The SSE2 members of the image primitives: interpolation, averaging,
// weighting and CAVLC decoding.
#define VP_ISA 2
#include "vpVariant.h"
#define VPI_LUMA_TABLE h264_interpolate_luma_type_table_8u_w7m7
#define VPI_CHROMA_TABLE h264_interpolate_chroma_type_table_8u_w7m7
#define VPI_COPY_LINE_SPLITS true
#include "interpolate_body.inc"
#include "cavlc_body.inc"
