#!/bin/sh
# Per-macroblock expectations of CABAC streams, from ffmpeg used as a black
# box: for every output picture (display order) one line of QPs (one
# character each, '0' + QP, macroblocks in raster order) and one line of type
# classes ('I' Intra16x16, 'i' Intra 4x4 or 8x8, 'P' I_PCM, 'S' P_Skip or
# B_Skip, '.' any other; a field macroblock of an MBAFF picture has 'J', 'j',
# 'Q', 's' or ':').
# Only the decoder that decodes the whole stream is listed (ffmpeg's stream
# probe decodes the first pictures in a decoder of its own first).
# mbaff_luma.264, made here by x264 (black box): MBAFF, CABAC, 8x8 transforms,
# P and B pictures, from an interlaced test pattern with flat chroma.
# Usage: make.sh [testdata dir] [extra.264 ...]; writes NAME.qp and NAME.types here.
set -e
here=$(dirname "$0")
data=${1:-$here/../../../../shared/testdata}
[ $# -gt 0 ] && shift
ffmpeg -hide_banner -loglevel error -nostdin -fflags +bitexact -f lavfi -i testsrc2=size=176x288:rate=50 \
  -vf "tinterlace=mode=interleave_top,scale=176:144:interl=1,lutyuv=u=128:v=128" -t 0.8 -pix_fmt yuv420p \
  -f yuv4mpegpipe -y "$here/mbaff_luma.y4m"
x264 --quiet --threads 1 --tff --8x8dct --bframes 2 --qp 22 -o "$here/mbaff_luma.264" "$here/mbaff_luma.y4m"
rm -f "$here/mbaff_luma.y4m"
dump() {  # dump FILE qp|mb_type CELLWIDTH
  ffmpeg -hide_banner -nostdin -threads 1 -debug "$2" -i "$1" -f null - 2>&1 |
    awk -v w="$3" '
      /^\[h264 @/ { ctx = $3 }
      /New frame/ { n[ctx]++; last = ctx; next }
      /^\[h264 @/ && n[ctx] > 0 { sub(/^\[h264 @ [^]]*\] /, "")
        if (w == 2 && $0 ~ /^[ 0-9]+$/) for (i = 1; i <= length($0); i += 2) pic[ctx, n[ctx]] = pic[ctx, n[ctx]] sprintf("%c", 48 + substr($0, i, 2))
        if (w == 3 && length($0) % 3 == 0 && $0 ~ /^[a-zA-Z<>|=+X. -]*$/) for (i = 1; i <= length($0); i += 3) {
          c = substr($0, i, 1); f = substr($0, i + 2, 1) == "="
          k = c == "I" ? 1 : (c == "i" || c == "A") ? 2 : c == "P" ? 3 : (c == "S" || c == "d") ? 5 : 4
          pic[ctx, n[ctx]] = pic[ctx, n[ctx]] substr(f ? "JjQ:s" : "IiP.S", k, 1) } }
      END { for (i = 1; i <= n[last]; i++) print pic[last, i] }'
}
conf="$data"/h264-conformance
for in in "$data"/h264-features/02_cabac_main.264 "$data"/h264-features/03_cabac_high_8x8.264 \
          "$data"/h264-features/05_bpyramid_normal.264 "$data"/h264-features/09_direct_spatial.264 \
          "$data"/h264-features/10_direct_temporal.264 "$data"/h264-features/11_multiref8.264 \
          "$data"/h264-features/12_slices4.264 "$data"/h264-features/18_constrained_intra.264 \
          "$data"/h264-features/21_ipcm_cabac.264 \
          "$data"/h264-features/06_bpyramid_strict.264 "$data"/h264-features/07_weightp.264 \
          "$data"/h264-features/08_weightp_weightb_impl.264 "$data"/h264-features/17_fake_interlaced.264 \
          "$data"/h264-features/19_cqm_jvt.264 "$data"/h264-features/20_cqm_custom.264 \
          "$data"/h264-features/24_noise_lowqp_cabac.264 "$data"/h264-features/26_mandelbrot_320x240.264 \
          "$data"/h264-features/27_crop_320x180.264 "$data"/h264-features/28_deblock_offsets.264 \
          "$data"/h264-features/29_no_deblock.264 "$data"/h264-features/31_p_ref3_nommco.264 \
          "$data"/h264-features/40_explicit_b_cabac.264 "$data"/h264-features/41_explicit_b_pyramid.264 \
          "$conf"/CABA1_SVA_B.264 "$conf"/CABA2_SVA_B.264 \
          "$conf"/CABA3_SVA_B.264 "$conf"/CANL1_SVA_B.264 "$conf"/CANL2_SVA_B.264 "$conf"/CANL3_SVA_B.264 \
          "$conf"/CANL4_SVA_B.264 "$conf"/HCAFR1_HHI.264 "$conf"/HCAFR2_HHI.264 "$conf"/HCAFR3_HHI.264 \
          "$conf"/HCAFR4_HHI.264 "$conf"/FRExt3_P.avc "$here"/mbaff_luma.264 "$@"; do
  [ -f "$in" ] || continue
  name=$(basename "$in"); name=${name%.*}
  dump "$in" qp 2 > "$here/$name.qp"
  dump "$in" mb_type 3 > "$here/$name.types"
done
