#!/usr/bin/env bash
# Makes lead_before_idr.264: 12 pictures of 96x64 from x264 (black box, run
# through ffmpeg's libx264; Main profile, CAVLC, an IDR picture every 6, two
# B pictures between references, picture timing with HRD delays), in which
# lead_before_idr.py moves the B pictures that follow each IDR picture's
# first P picture before the IDR picture in output order; and its reference
# output lead_before_idr.framemd5 from ffmpeg (black box). The rewrite
# changes no sample: ffmpeg must give the same pictures as for the stream
# before it, in the new order, and the stream joined to itself must give its
# pictures twice, which this script checks.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ffmpeg -v error -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v 12 -pix_fmt yuv420p "$tmp/in.y4m"
ffmpeg -v error -i "$tmp/in.y4m" -c:v libx264 -profile:v main -x264-params \
  threads=1:cabac=0:bframes=2:b-adapt=0:b-pyramid=none:ref=1:keyint=6:min-keyint=6:scenecut=0:direct=spatial:weightb=0:weightp=0:crf=26:nal-hrd=vbr:vbv-maxrate=800:vbv-bufsize=800:pic-struct=1 \
  -f h264 "$tmp/plain.264"
python3 "$here/lead_before_idr.py" "$tmp/plain.264" "$here/lead_before_idr.264"
md5s() { ffmpeg -v error -i "$1" -f framemd5 - | grep -v '^#' | awk -F', *' '{print $NF}'; }
ffmpeg -v error -y -i "$here/lead_before_idr.264" -f framemd5 "$here/lead_before_idr.framemd5"
[ "$(md5s "$tmp/plain.264" | sort)" = "$(md5s "$here/lead_before_idr.264" | sort)" ] || { echo "the rewrite changed the pictures"; exit 1; }
[ "$(md5s "$tmp/plain.264")" != "$(md5s "$here/lead_before_idr.264")" ] || { echo "the output order did not change"; exit 1; }
[ "$(md5s "$here/lead_before_idr.264" | wc -l)" = 12 ] || { echo "expected 12 pictures"; exit 1; }
cat "$here/lead_before_idr.264" "$here/lead_before_idr.264" > "$tmp/twice.264"
[ "$(md5s "$tmp/twice.264")" = "$(md5s "$here/lead_before_idr.264"; md5s "$here/lead_before_idr.264")" ] ||
  { echo "ffmpeg does not give the pictures twice for the stream joined to itself"; exit 1; }
