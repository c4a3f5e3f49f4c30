#!/bin/sh
# Makes the MBAFF test streams and their reference outputs with ffmpeg and
# x264 used as black boxes. The source is truly interlaced: a moving 50p test
# pattern woven into 25 frames per second, top field first, so that the
# encoder mixes frame and field macroblock pairs. Deterministic: one encoder
# thread, bit-exact flags. 192x128 (four pair rows), 16 frames.
#   tff_p_cavlc:           P pictures, whole-macroblock partitions, CAVLC
#   bff_spatial_cavlc:     B pictures, spatial direct, bottom field first
#   tff_temporal_cavlc:    B pictures, temporal direct, three references
#   bff_weightb_cavlc:     implicit bi-predictive weights
#   tff_slices3_cavlc:     three slices per picture
#   tff_temporal_cabac:    CABAC, temporal direct, three references
#   bff_all_cavlc:         every partition size and the 8x8 transform, CAVLC
#   tff_all_cabac:         every partition size, spatial direct, implicit weights, CABAC
#   tff_intra8x8_cavlc:    one I picture (a crop of a 1080i pattern at a constant
#                          quantiser) whose frame macroblocks use 8x8 intra modes
#                          beside field pairs
#   *.framemd5:            reference pictures
set -e
cd "$(dirname "$0")"
source_video() {
  ffmpeg -v error -f lavfi -i testsrc2=size=192x128:rate=50 -frames:v 16 -vf tinterlace=mode=interleave_top \
    -pix_fmt yuv420p -f rawvideo -
}
encode() {
  name=$1
  shift
  source_video | x264 --quiet --input-res 192x128 --fps 25 --threads 1 --crf 26 --keyint 16 "$@" -o $name.264 - 2>/dev/null
  ffmpeg -y -v error -fflags +bitexact -threads 1 -i $name.264 -f framemd5 $name.framemd5
}
whole="--partitions none --no-8x8dct"
encode tff_p_cavlc --tff $whole --bframes 0 --no-cabac
encode bff_spatial_cavlc --bff $whole --bframes 2 --b-adapt 0 --direct spatial --no-weightb --no-cabac
encode tff_temporal_cavlc --tff $whole --bframes 2 --b-adapt 0 --direct temporal --no-weightb --ref 3 --no-cabac
encode bff_weightb_cavlc --bff $whole --bframes 2 --b-adapt 0 --direct spatial --weightb --no-cabac
encode tff_slices3_cavlc --tff $whole --bframes 2 --b-adapt 0 --slices 3 --no-cabac
encode tff_temporal_cabac --tff $whole --bframes 2 --b-adapt 0 --direct temporal --no-weightb --ref 3
encode bff_all_cavlc --bff --partitions all --8x8dct --bframes 2 --b-adapt 0 --direct spatial --no-cabac
encode tff_all_cabac --tff --partitions all --8x8dct --bframes 2 --b-adapt 0 --direct spatial --weightb
ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=60000/1001:duration=1 \
  -vf "trim=start_frame=42:end_frame=44,setpts=PTS-STARTPTS,tinterlace=mode=interleave_top,crop=256:192:1120:672" \
  -frames:v 1 -pix_fmt yuv420p -f rawvideo - |
  x264 --quiet --input-res 256x192 --fps 30000/1001 --threads 1 --tff --no-cabac --8x8dct --keyint 1 --qp 26 \
    -o tff_intra8x8_cavlc.264 - 2>/dev/null
ffmpeg -y -v error -fflags +bitexact -threads 1 -i tff_intra8x8_cavlc.264 -f framemd5 tff_intra8x8_cavlc.framemd5
