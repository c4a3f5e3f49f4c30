#!/bin/sh
# Makes the inter prediction test streams and their reference outputs with
# ffmpeg and x264 used as black boxes. Every stream codes its macroblocks as
# whole-macroblock partitions only (16x16, 16x8, 8x16, skip, direct), so the
# sub-macroblock paths are not needed. Deterministic: one encoder thread,
# bit-exact flags. 176x144, 12 pictures of a moving test pattern; the weighted
# ones fade in so that the encoder chooses explicit weights.
#   p_cavlc, p_cabac_ref4:          P pictures only (one and four references)
#   b_spatial_cavlc, b_temporal_cabac: three B pictures between references,
#                                   spatial and temporal direct prediction
#   weightp, weightb:               explicit weights in P, and in B pictures
#   *.framemd5:                     reference pictures
set -e
cd "$(dirname "$0")"
source_video() {
  ffmpeg -v error -f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 12 $1 -pix_fmt yuv420p -f rawvideo -
}
encode() {
  name=$1
  filter=$2
  shift 2
  source_video "$filter" | x264 --quiet --input-res 176x144 --fps 25 --threads 1 --partitions none --no-8x8dct \
    --crf 26 --keyint 12 "$@" -o $name.264 -
  ffmpeg -y -v error -fflags +bitexact -threads 1 -i $name.264 -f framemd5 $name.framemd5
}
encode p_cavlc "" --bframes 0 --no-cabac --ref 1
encode p_cabac_ref4 "" --bframes 0 --ref 4
encode b_spatial_cavlc "" --bframes 3 --b-adapt 0 --direct spatial --no-cabac --no-weightb
encode b_temporal_cabac "" --bframes 3 --b-adapt 0 --direct temporal --no-weightb
encode weightp "-vf fade=in:0:12" --bframes 0 --weightp 2
encode weightb "-vf fade=in:0:12" --bframes 3 --b-adapt 0 --weightb --direct spatial
