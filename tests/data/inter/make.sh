#!/bin/sh
# Makes the inter prediction test streams and their reference outputs with
# ffmpeg and x264 used as black boxes. The first six code their macroblocks
# as whole-macroblock partitions only (16x16, 16x8, 8x16, skip, direct); the
# submb_* ones use every partition x264 offers. Deterministic: one encoder thread,
# bit-exact flags. 176x144, 12 pictures of a moving test pattern; the weighted
# ones fade in so that the encoder chooses explicit weights.
#   p_cavlc, p_cabac_ref4:          P pictures only (one and four references)
#   b_spatial_cavlc, b_temporal_cabac: three B pictures between references,
#                                   spatial and temporal direct prediction
#   weightp, weightb:               explicit weights in P, and in B pictures
#   submb_p_cavlc, submb_p_cabac:   P pictures in every sub-macroblock shape
#                                   (8x8 down to 4x4), two references
#   submb_b_spatial, submb_b_temporal: B_8x8 with direct and list quadrants,
#                                   spatial and temporal direct prediction
#   submb_weighted:                 explicit weights in P, implicit in B
#                                   pictures, with sub-macroblock partitions
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
  source_video "$filter" | x264 --quiet --input-res 176x144 --fps 25 --threads 1 --crf 26 --keyint 12 "$@" \
    -o $name.264 -
  ffmpeg -y -v error -fflags +bitexact -threads 1 -i $name.264 -f framemd5 $name.framemd5
}
whole="--partitions none --no-8x8dct"
encode p_cavlc "" $whole --bframes 0 --no-cabac --ref 1
encode p_cabac_ref4 "" $whole --bframes 0 --ref 4
encode b_spatial_cavlc "" $whole --bframes 3 --b-adapt 0 --direct spatial --no-cabac --no-weightb
encode b_temporal_cabac "" $whole --bframes 3 --b-adapt 0 --direct temporal --no-weightb
encode weightp "-vf fade=in:0:12" $whole --bframes 0 --weightp 2
encode weightb "-vf fade=in:0:12" $whole --bframes 3 --b-adapt 0 --weightb --direct spatial
sub="--partitions all --subme 9 --crf 30"
encode submb_p_cavlc "" $sub --bframes 0 --no-cabac --ref 2 --no-8x8dct
encode submb_p_cabac "" $sub --bframes 0 --ref 2 --8x8dct
encode submb_b_spatial "" $sub --bframes 3 --b-adapt 0 --direct spatial --no-weightb --ref 2
encode submb_b_temporal "" $sub --bframes 3 --b-adapt 0 --direct temporal --no-weightb --no-cabac --ref 2
encode submb_weighted "-vf fade=in:0:12" $sub --bframes 3 --b-adapt 0 --weightp 2 --weightb --direct spatial
# bench1080: the decode benchmark's stream, 1920x1080, 24 pictures of the
# test pattern with grain (so the bit rate is a camera's), x264's defaults
# (CABAC, three B pictures, sub-macroblock partitions, 8x8 transform).
ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 24 -vf "noise=alls=6:allf=t" -pix_fmt yuv420p \
  -f rawvideo - | x264 --quiet --input-res 1920x1080 --fps 25 --threads 1 --crf 24 --keyint 24 --bframes 3 --ref 3 \
  -o bench1080.264 -
ffmpeg -y -v error -fflags +bitexact -threads 1 -i bench1080.264 -f framemd5 bench1080.framemd5
