#!/usr/bin/env bash
# Makes mmco5_cavlc.264: 12 pictures of 96x64 from x264 (black box; Main
# profile, CAVLC, P pictures predicting from the one before, an IDR picture
# every 6), whose pictures 3 and 11 (decode order) are rewritten by
# add_mmco5.py to carry memory_management_control_operation 5, and its
# reference output mmco5_cavlc.framemd5 from ffmpeg (black box). The
# operation changes no sample: ffmpeg must give the same pictures as for the
# stream before the rewrite, which this script checks.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ffmpeg -v error -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v 12 -pix_fmt yuv420p "$tmp/in.y4m"
x264 --quiet --no-progress --threads 1 --profile main --no-cabac --bframes 0 --ref 1 --keyint 6 --min-keyint 6 --scenecut 0 \
  --weightp 0 --qp 26 -o "$tmp/plain.264" "$tmp/in.y4m" 2>/dev/null
python3 "$here/add_mmco5.py" "$tmp/plain.264" "$here/mmco5_cavlc.264" 3 11
md5s() { ffmpeg -v error -i "$1" -f framemd5 - | grep -v '^#' | awk -F', *' '{print $NF}'; }
ffmpeg -v error -y -i "$here/mmco5_cavlc.264" -f framemd5 "$here/mmco5_cavlc.framemd5"
[ "$(md5s "$tmp/plain.264")" = "$(md5s "$here/mmco5_cavlc.264")" ] || { echo "the rewrite changed the pictures"; exit 1; }
[ "$(md5s "$here/mmco5_cavlc.264" | wc -l)" = 12 ] || { echo "expected 12 pictures"; exit 1; }
