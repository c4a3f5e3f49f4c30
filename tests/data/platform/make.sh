#!/usr/bin/env bash
# Makes the material of the platform tests with Debian's ffmpeg and x264 as
# black boxes; the outputs are committed, so the tests need neither.
#   clip.264       10 frames 176x144 at 30000/1001, H.264 High profile with
#                  B pictures, an IDR every 5 frames (Annex B byte stream)
#   clip.framemd5  ffmpeg's frame MD5s of its decoded pictures
#   clip.packets   its access units in decode order: byte position, size,
#                  display index (from ffprobe's packets and frames)
set -euo pipefail
cd "$(dirname "$0")"

ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=176x144:rate=30000/1001 -frames:v 10 \
  -pix_fmt yuv420p -fflags +bitexact -f yuv4mpegpipe clip.y4m
x264 --quiet --threads 1 --preset veryfast --profile high --keyint 5 --min-keyint 5 --no-scenecut \
  --bframes 2 --b-adapt 0 --fps 30000/1001 -o clip.264 clip.y4m 2>/dev/null
rm -f clip.y4m
ffmpeg -hide_banner -loglevel error -y -fflags +bitexact -i clip.264 -map 0:v -f framemd5 clip.framemd5

ffprobe -v error -select_streams v -show_entries frame=pkt_pos -of csv=p=0 clip.264 | grep -v '^$' | cut -d, -f1 \
  > clip.frames.tmp
ffprobe -v error -select_streams v -show_entries packet=pos,size -of csv=p=0 clip.264 |
  awk -F, 'NR == FNR { display[$1] = FNR - 1; next } { print $2, $1, display[$2] }' clip.frames.tmp - > clip.packets
rm -f clip.frames.tmp
