#!/bin/sh
# Per-macroblock expectations of CABAC streams, from ffmpeg used as a black
# box: for every output picture (display order) one line of QPs (one
# character each, '0' + QP, macroblocks in raster order) and one line of type
# classes ('I' Intra16x16, 'i' Intra 4x4 or 8x8, 'P' I_PCM, '.' any other).
# Usage: make.sh [testdata dir]; writes NAME.qp and NAME.types here.
set -e
here=$(dirname "$0")
data=${1:-$here/../../../../shared/testdata}
for name in 02_cabac_main 03_cabac_high_8x8 05_bpyramid_normal 09_direct_spatial 10_direct_temporal \
            11_multiref8 12_slices4 14_mbaff_tff_cabac 18_constrained_intra 21_ipcm_cabac; do
  in="$data/h264-features/$name.264"
  [ -f "$in" ] || continue
  ffmpeg -hide_banner -nostdin -threads 1 -debug qp -i "$in" -f null - 2>&1 |
    awk '/New frame/ { if (line != "") print line; line = ""; next }
         /^\[h264 @/ && line != "x" { sub(/^\[h264 @ [^]]*\] /, ""); if ($0 ~ /^[ 0-9]+$/) {
           for (i = 1; i <= length($0); i += 2) line = line sprintf("%c", 48 + substr($0, i, 2)) } }
         END { if (line != "") print line }' > "$here/$name.qp"
  ffmpeg -hide_banner -nostdin -threads 1 -debug mb_type -i "$in" -f null - 2>&1 |
    awk '/New frame/ { if (line != "") print line; line = ""; next }
         /^\[h264 @/ { sub(/^\[h264 @ [^]]*\] /, ""); if (length($0) % 3 == 0 && $0 ~ /^[^a-z]*[a-zA-Z<>|=+X. -]*$/ && $0 !~ /:/) {
           for (i = 1; i <= length($0); i += 3) { c = substr($0, i, 1);
             line = line (c == "I" ? "I" : (c == "i" || c == "A") ? "i" : c == "P" ? "P" : ".") } } }
         END { if (line != "") print line }' > "$here/$name.types"
done
