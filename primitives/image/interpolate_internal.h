// Internals of the interpolation and averaging primitives: the kernel
// families with their names, the kernel tables of each variant and the edge
// fetch routines.
//
// Every kernel family is one X-macro list naming each member with its
// parameters. A variant file compiles the kernel bodies once per list row
// into its own namespace (sse2, ssse3, sse41), so the variants cannot drift
// apart; the tables of each namespace hold that variant's members in kernel
// index order. The member names are the SSE2 names: the SSSE3 and SSE4.1
// tables hold the same kernel bodies, built with their instruction sets
// (only the SSE2 luma kernels copy rows that straddle a 64-byte line first).
#pragma once

#include "vpiInterpolate.h"

// Filter kinds of the chroma kernels, in kernel-index order.
enum ChromaKind { kCopy, kHorz, kVert, kFull };

// Luma quarter-sample kernels: name, position dy * 4 + dx (0, a, b, c, d, e,
// f, g, h, i, j, k, n, p, q, r), width. Index ((width * 2) & 48) | position;
// widths 16 fill both upper groups.
#define VPI_LUMA_KERNELS_W4(X) \
  X(sse2_h264_interpolate_luma_type_0_width_4_sse2, 0, 4) \
  X(sse2_h264_interpolate_luma_type_a_width_4_sse2, 1, 4) \
  X(sse2_h264_interpolate_luma_type_b_width_4_sse2, 2, 4) \
  X(sse2_h264_interpolate_luma_type_c_width_4_sse2, 3, 4) \
  X(sse2_h264_interpolate_luma_type_d_width_4_sse2, 4, 4) \
  X(sse2_h264_interpolate_luma_type_e_width_4_sse2, 5, 4) \
  X(sse2_h264_interpolate_luma_type_f_width_4_sse2, 6, 4) \
  X(sse2_h264_interpolate_luma_type_g_width_4_sse2, 7, 4) \
  X(sse2_h264_interpolate_luma_type_h_width_4_sse2, 8, 4) \
  X(sse2_h264_interpolate_luma_type_i_width_4_sse2, 9, 4) \
  X(sse2_h264_interpolate_luma_type_j_width_4_sse2, 10, 4) \
  X(sse2_h264_interpolate_luma_type_k_width_4_sse2, 11, 4) \
  X(sse2_h264_interpolate_luma_type_n_width_4_sse2, 12, 4) \
  X(sse2_h264_interpolate_luma_type_p_width_4_sse2, 13, 4) \
  X(sse2_h264_interpolate_luma_type_q_width_4_sse2, 14, 4) \
  X(sse2_h264_interpolate_luma_type_r_width_4_sse2, 15, 4)
#define VPI_LUMA_KERNELS_W8(X) \
  X(sse2_h264_interpolate_luma_type_0_width_8_sse2, 0, 8) \
  X(sse2_h264_interpolate_luma_type_a_width_8_sse2, 1, 8) \
  X(sse2_h264_interpolate_luma_type_b_width_8_sse2, 2, 8) \
  X(sse2_h264_interpolate_luma_type_c_width_8_sse2, 3, 8) \
  X(sse2_h264_interpolate_luma_type_d_width_8_sse2, 4, 8) \
  X(sse2_h264_interpolate_luma_type_e_width_8_sse2, 5, 8) \
  X(sse2_h264_interpolate_luma_type_f_width_8_sse2, 6, 8) \
  X(sse2_h264_interpolate_luma_type_g_width_8_sse2, 7, 8) \
  X(sse2_h264_interpolate_luma_type_h_width_8_sse2, 8, 8) \
  X(sse2_h264_interpolate_luma_type_i_width_8_sse2, 9, 8) \
  X(sse2_h264_interpolate_luma_type_j_width_8_sse2, 10, 8) \
  X(sse2_h264_interpolate_luma_type_k_width_8_sse2, 11, 8) \
  X(sse2_h264_interpolate_luma_type_n_width_8_sse2, 12, 8) \
  X(sse2_h264_interpolate_luma_type_p_width_8_sse2, 13, 8) \
  X(sse2_h264_interpolate_luma_type_q_width_8_sse2, 14, 8) \
  X(sse2_h264_interpolate_luma_type_r_width_8_sse2, 15, 8)
#define VPI_LUMA_KERNELS_W16(X) \
  X(sse2_h264_interpolate_luma_type_0_width_16_sse2, 0, 16) \
  X(sse2_h264_interpolate_luma_type_a_width_16_sse2, 1, 16) \
  X(sse2_h264_interpolate_luma_type_b_width_16_sse2, 2, 16) \
  X(sse2_h264_interpolate_luma_type_c_width_16_sse2, 3, 16) \
  X(sse2_h264_interpolate_luma_type_d_width_16_sse2, 4, 16) \
  X(sse2_h264_interpolate_luma_type_e_width_16_sse2, 5, 16) \
  X(sse2_h264_interpolate_luma_type_f_width_16_sse2, 6, 16) \
  X(sse2_h264_interpolate_luma_type_g_width_16_sse2, 7, 16) \
  X(sse2_h264_interpolate_luma_type_h_width_16_sse2, 8, 16) \
  X(sse2_h264_interpolate_luma_type_i_width_16_sse2, 9, 16) \
  X(sse2_h264_interpolate_luma_type_j_width_16_sse2, 10, 16) \
  X(sse2_h264_interpolate_luma_type_k_width_16_sse2, 11, 16) \
  X(sse2_h264_interpolate_luma_type_n_width_16_sse2, 12, 16) \
  X(sse2_h264_interpolate_luma_type_p_width_16_sse2, 13, 16) \
  X(sse2_h264_interpolate_luma_type_q_width_16_sse2, 14, 16) \
  X(sse2_h264_interpolate_luma_type_r_width_16_sse2, 15, 16)
#define VPI_LUMA_KERNELS(X) VPI_LUMA_KERNELS_W4(X) VPI_LUMA_KERNELS_W8(X) VPI_LUMA_KERNELS_W16(X)

// Chroma eighth-sample kernels of planar sources: name, width, filter kind.
// Index (width & 12) | (2 when dy) | (1 when dx); entries 12..15 repeat
// width 8.
#define VPI_CHROMA_KERNELS_W2(X) \
  X(sse2_h264_interpolate_chroma_w2_copy_sse2, 2, kCopy) \
  X(sse2_h264_interpolate_chroma_w2_horz_sse2, 2, kHorz) \
  X(sse2_h264_interpolate_chroma_w2_vert_sse2, 2, kVert) \
  X(sse2_h264_interpolate_chroma_w2_full_sse2, 2, kFull)
#define VPI_CHROMA_KERNELS_W4(X) \
  X(sse2_h264_interpolate_chroma_w4_copy_sse2, 4, kCopy) \
  X(sse2_h264_interpolate_chroma_w4_horz_sse2, 4, kHorz) \
  X(sse2_h264_interpolate_chroma_w4_vert_sse2, 4, kVert) \
  X(sse2_h264_interpolate_chroma_w4_full_sse2, 4, kFull)
#define VPI_CHROMA_KERNELS_W8(X) \
  X(sse2_h264_interpolate_chroma_w8_copy_sse2, 8, kCopy) \
  X(sse2_h264_interpolate_chroma_w8_horz_sse2, 8, kHorz) \
  X(sse2_h264_interpolate_chroma_w8_vert_sse2, 8, kVert) \
  X(sse2_h264_interpolate_chroma_w8_full_sse2, 8, kFull)
#define VPI_CHROMA_KERNELS(X) VPI_CHROMA_KERNELS_W2(X) VPI_CHROMA_KERNELS_W4(X) VPI_CHROMA_KERNELS_W8(X)

// Kernels of interleaved (Cb, Cr) sources, same index: the copies
// de-interleave, pDst taking Cb and pDst2 Cr; the others split the source
// window into two planar windows at pDst (Cb) and pDst + 320 (Cr), rows 16
// bytes apart, for the planar kernels to filter.
#define VPI_NV12_CHROMA_KERNELS_W2(X) \
  X(sse2_h264_interpolate_chroma_w2_nv12touv_copy_sse2, 2, kCopy) \
  X(sse2_h264_splite_chroma_nv12_plane_w2_horz_sse2, 2, kHorz) \
  X(sse2_h264_splite_chroma_nv12_plane_w2_vert_sse2, 2, kVert) \
  X(sse2_h264_splite_chroma_nv12_plane_w2_full_sse2, 2, kFull)
#define VPI_NV12_CHROMA_KERNELS_W4(X) \
  X(sse2_h264_interpolate_chroma_w4_nv12touv_copy_sse2, 4, kCopy) \
  X(sse2_h264_splite_chroma_nv12_plane_w4_horz_sse2, 4, kHorz) \
  X(sse2_h264_splite_chroma_nv12_plane_w4_vert_sse2, 4, kVert) \
  X(sse2_h264_splite_chroma_nv12_plane_w4_full_sse2, 4, kFull)
#define VPI_NV12_CHROMA_KERNELS_W8(X) \
  X(sse2_h264_interpolate_chroma_w8_nv12touv_copy_sse2, 8, kCopy) \
  X(sse2_h264_splite_chroma_nv12_plane_w8_horz_sse2, 8, kHorz) \
  X(sse2_h264_splite_chroma_nv12_plane_w8_vert_sse2, 8, kVert) \
  X(sse2_h264_splite_chroma_nv12_plane_w8_full_sse2, 8, kFull)
#define VPI_NV12_CHROMA_KERNELS(X) \
  VPI_NV12_CHROMA_KERNELS_W2(X) VPI_NV12_CHROMA_KERNELS_W4(X) VPI_NV12_CHROMA_KERNELS_W8(X)

// Offset of the Cr window from the Cb window in the split scratch area.
constexpr int kSplitPlaneOffset = 320;
constexpr int kSplitRowStep = 16;

// The eight arguments of vpiInterpolateBlock_H264_8u_P3P1R in their order:
// the one argument of every averaging kernel.
struct AverageArgs {
  const uint8_t* pSrc1;
  const uint8_t* pSrc2;
  uint8_t* pDst;
  uint32_t width;
  uint32_t height;
  int32_t src1Step;
  int32_t src2Step;
  int32_t dstStep;
};
using VpAverageFn = void (*)(const AverageArgs* args);

// Averaging kernels: name, width, height (0 x 0: the generic kernel of any
// size). Index 5 * (width >> 2) + (height >> 2) for sides 2, 4, 8, 16.
#define VPI_AVERAGE_KERNELS(X)                  \
  X(sse2_interpolate_block_2x2_h264_mmp, 2, 2)   \
  X(sse2_interpolate_block_2x4_h264_mmp, 2, 4)   \
  X(sse2_interpolate_block_4x2_h264_mmp, 4, 2)   \
  X(sse2_interpolate_block_4x4_h264_mmp, 4, 4)   \
  X(sse2_interpolate_block_4x8_h264_mmp, 4, 8)   \
  X(sse2_interpolate_block_8x4_h264_mmp, 8, 4)   \
  X(sse2_interpolate_block_8x8_h264_mmp, 8, 8)   \
  X(sse2_interpolate_block_8x16_h264_mmp, 8, 16) \
  X(sse2_interpolate_block_16x8_h264_mmp, 16, 8) \
  X(sse2_interpolate_block_16x16_h264_mmp, 16, 16) \
  X(sse2_interpolate_block_h264_mmp, 0, 0)

// The members and tables of one variant.
#define VPI_DECLARE_KERNEL(name, ...) void name(InterpolateKernelParams* params);
#define VPI_DECLARE_AVERAGE_KERNEL(name, ...) void name(const AverageArgs* args);
#define VPI_DECLARE_VARIANT_KERNELS(lumaTable, chromaTable)                    \
  VPI_LUMA_KERNELS(VPI_DECLARE_KERNEL)                                         \
  VPI_CHROMA_KERNELS(VPI_DECLARE_KERNEL)                                       \
  VPI_NV12_CHROMA_KERNELS(VPI_DECLARE_KERNEL)                                  \
  VPI_AVERAGE_KERNELS(VPI_DECLARE_AVERAGE_KERNEL)                              \
  extern const VpKernelFn lumaTable[64];                                       \
  extern const VpKernelFn chromaTable[16];                                     \
  extern const VpKernelFn h264_interpolate_chroma_type_table_nv12touv_8u_w7m7[16]; \
  extern const VpAverageFn interpolate_block_h264_function_table[25];

namespace sse2 {
VPI_DECLARE_VARIANT_KERNELS(h264_interpolate_luma_type_table_8u_w7m7, h264_interpolate_chroma_type_table_8u_w7m7)
}
namespace ssse3 {
VPI_DECLARE_VARIANT_KERNELS(h264_interpolate_luma_type_table_8u_v8u8, h264_interpolate_chroma_type_table_8u_v8u8)
}
namespace sse41 {
VPI_DECLARE_VARIANT_KERNELS(h264_interpolate_luma_type_table_8u_v8u8, h264_interpolate_chroma_type_table_8u_v8u8)
}

// Edge-fetch routines of the three sample formats: name, format, index (the
// side flags it serves: left 1, right 2, top 4, bottom 8). Entries with two
// opposite sides choose one by the sign of the window origin.
#define VPI_EDGE_FETCH_8U(X) \
  X(c_read_data_through_boundary_none_8u, EdgeFormat8u, 0) \
  X(c_read_data_through_boundary_left_8u_c, EdgeFormat8u, 1) \
  X(c_read_data_through_boundary_right_8u_c, EdgeFormat8u, 2) \
  X(c_read_data_through_boundary_left_right_8u_c, EdgeFormat8u, 3) \
  X(c_read_data_through_boundary_top_8u_c, EdgeFormat8u, 4) \
  X(c_read_data_through_boundary_top_left_8u_c, EdgeFormat8u, 5) \
  X(c_read_data_through_boundary_top_right_8u_c, EdgeFormat8u, 6) \
  X(c_read_data_through_boundary_top_left_right_8u_c, EdgeFormat8u, 7) \
  X(c_read_data_through_boundary_bottom_8u_c, EdgeFormat8u, 8) \
  X(c_read_data_through_boundary_bottom_left_8u_c, EdgeFormat8u, 9) \
  X(c_read_data_through_boundary_bottom_right_8u_c, EdgeFormat8u, 10) \
  X(c_read_data_through_boundary_bottom_left_right_8u_c, EdgeFormat8u, 11) \
  X(c_read_data_through_boundary_top_bottom_8u_c, EdgeFormat8u, 12) \
  X(c_read_data_through_boundary_top_bottom_left_8u_c, EdgeFormat8u, 13) \
  X(c_read_data_through_boundary_top_bottom_right_8u_c, EdgeFormat8u, 14) \
  X(c_read_data_through_boundary_top_bottom_left_right_8u_c, EdgeFormat8u, 15)
#define VPI_EDGE_FETCH_NV12_8U(X) \
  X(c_read_data_through_boundary_none_nv12_8u, EdgeFormatNv12, 0) \
  X(c_read_data_through_boundary_left_nv12_8u_c, EdgeFormatNv12, 1) \
  X(c_read_data_through_boundary_right_nv12_8u_c, EdgeFormatNv12, 2) \
  X(c_read_data_through_boundary_left_right_nv12_8u_c, EdgeFormatNv12, 3) \
  X(c_read_data_through_boundary_top_nv12_8u_c, EdgeFormatNv12, 4) \
  X(c_read_data_through_boundary_top_left_nv12_8u_c, EdgeFormatNv12, 5) \
  X(c_read_data_through_boundary_top_right_nv12_8u_c, EdgeFormatNv12, 6) \
  X(c_read_data_through_boundary_top_left_right_nv12_8u_c, EdgeFormatNv12, 7) \
  X(c_read_data_through_boundary_bottom_nv12_8u_c, EdgeFormatNv12, 8) \
  X(c_read_data_through_boundary_bottom_left_nv12_8u_c, EdgeFormatNv12, 9) \
  X(c_read_data_through_boundary_bottom_right_nv12_8u_c, EdgeFormatNv12, 10) \
  X(c_read_data_through_boundary_bottom_left_right_nv12_8u_c, EdgeFormatNv12, 11) \
  X(c_read_data_through_boundary_top_bottom_nv12_8u_c, EdgeFormatNv12, 12) \
  X(c_read_data_through_boundary_top_bottom_left_nv12_8u_c, EdgeFormatNv12, 13) \
  X(c_read_data_through_boundary_top_bottom_right_nv12_8u_c, EdgeFormatNv12, 14) \
  X(c_read_data_through_boundary_top_bottom_left_right_nv12_8u_c, EdgeFormatNv12, 15)
#define VPI_EDGE_FETCH_16U(X) \
  X(c_read_data_through_boundary_none_16u, EdgeFormat16u, 0) \
  X(c_read_data_through_boundary_left_16u_c, EdgeFormat16u, 1) \
  X(c_read_data_through_boundary_right_16u_c, EdgeFormat16u, 2) \
  X(c_read_data_through_boundary_left_right_16u_c, EdgeFormat16u, 3) \
  X(c_read_data_through_boundary_top_16u_c, EdgeFormat16u, 4) \
  X(c_read_data_through_boundary_top_left_16u_c, EdgeFormat16u, 5) \
  X(c_read_data_through_boundary_top_right_16u_c, EdgeFormat16u, 6) \
  X(c_read_data_through_boundary_top_left_right_16u_c, EdgeFormat16u, 7) \
  X(c_read_data_through_boundary_bottom_16u_c, EdgeFormat16u, 8) \
  X(c_read_data_through_boundary_bottom_left_16u_c, EdgeFormat16u, 9) \
  X(c_read_data_through_boundary_bottom_right_16u_c, EdgeFormat16u, 10) \
  X(c_read_data_through_boundary_bottom_left_right_16u_c, EdgeFormat16u, 11) \
  X(c_read_data_through_boundary_top_bottom_16u_c, EdgeFormat16u, 12) \
  X(c_read_data_through_boundary_top_bottom_left_16u_c, EdgeFormat16u, 13) \
  X(c_read_data_through_boundary_top_bottom_right_16u_c, EdgeFormat16u, 14) \
  X(c_read_data_through_boundary_top_bottom_left_right_16u_c, EdgeFormat16u, 15)
#define VPI_EDGE_FETCH_ROUTINES(X) VPI_EDGE_FETCH_8U(X) VPI_EDGE_FETCH_NV12_8U(X) VPI_EDGE_FETCH_16U(X)
#define VPI_DECLARE_EDGE_FETCH(name, ...) void name(InterpolateKernelParams* params);
VPI_EDGE_FETCH_ROUTINES(VPI_DECLARE_EDGE_FETCH)
#undef VPI_DECLARE_EDGE_FETCH

// Edge fetch that clamps all four sides at once, for windows wider or taller
// than the plane itself (the side tables pick one of two opposite sides).
void c_read_data_through_all_boundaries_8u(InterpolateKernelParams* params);
