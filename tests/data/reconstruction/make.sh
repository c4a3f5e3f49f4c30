#!/bin/sh
# Makes the reconstruction test streams and their reference outputs with
# ffmpeg and x264 used as black boxes. Deterministic: one encoder thread,
# bit-exact flags.
#   intra1080.264: 1920x1080, every picture an IDR picture (CAVLC High, 8x8
#                  transform), for the intra decode benchmark.
#   *.framemd5:        reference pictures (in-loop filter on);
#   *.nodeblock.framemd5: the same decode with the in-loop filter skipped.
set -e
cd "$(dirname "$0")"
ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 8 -pix_fmt yuv420p -f rawvideo - |
  x264 --quiet --input-res 1920x1080 --fps 25 --keyint 1 --crf 24 --threads 1 --no-cabac \
       --profile high -o intra1080.264 -
for s in intra1080; do
  ffmpeg -v error -fflags +bitexact -threads 1 -i $s.264 -f framemd5 $s.framemd5
  ffmpeg -v error -fflags +bitexact -threads 1 -skip_loop_filter all -i $s.264 -f framemd5 $s.nodeblock.framemd5
done
# The intra-only conformance streams without the in-loop filter, for telling
# reconstruction faults from deblocking faults.
conf=../../../../shared/testdata/h264-conformance
for s in BAMQ1_J_C CABA1_SVA_B CANL1_SVA_B CANL1_T_G CANL2_SVA_B NLMQ1_J_C SVA_BA1_B SVA_NL1_B; do
  ffmpeg -v error -fflags +bitexact -threads 1 -skip_loop_filter all -i $conf/$s.264 -f framemd5 $s.nodeblock.framemd5
done
for s in BAMQ1_J_C CABA1_SVA_B CANL1_SVA_B CANL1_T_G CANL2_SVA_B NLMQ1_J_C SVA_BA1_B SVA_NL1_B; do
  ffmpeg -v error -fflags +bitexact -threads 1 -i $conf/$s.264 -f framemd5 $s.framemd5
done
