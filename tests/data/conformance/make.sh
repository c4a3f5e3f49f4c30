#!/bin/sh
# Reference data for the conformance runner: decodes every stream listed in
# $AVCHD_TESTDATA/h264-conformance/expected.tsv once with ffmpeg (as a black
# box), checks the MD5 of its whole output against expected.tsv, and keeps
# one MD5 per picture (NAME.md5s) and the picture counts (counts.tsv), so the
# runner needs no ffmpeg. Streams whose whole-output MD5 does not match are
# listed with "mismatch" in counts.tsv and get no per-picture file.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
data=${AVCHD_TESTDATA:-$here/../../../../shared/testdata}
conf=$data/h264-conformance
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'name\tpictures\tverified\n' > "$here/counts.tsv"
tail -n +2 "$conf/expected.tsv" | while IFS="$(printf '\t')" read -r file name profile md5; do
  ffmpeg -nostdin -v error -fflags +bitexact -i "$conf/$file" -pix_fmt yuv420p -f rawvideo "$tmp/out.yuv" -y
  ffmpeg -nostdin -v error -fflags +bitexact -i "$conf/$file" -pix_fmt yuv420p -f framemd5 "$tmp/out.framemd5" -y
  whole=$(md5sum "$tmp/out.yuv" | cut -d' ' -f1)
  count=$(grep -vc '^#' "$tmp/out.framemd5" || true)
  if [ "$whole" = "$md5" ]; then
    grep -v '^#' "$tmp/out.framemd5" | awk -F', *' '{print $6}' > "$here/$name.md5s"
    printf '%s\t%s\tyes\n' "$name" "$count" >> "$here/counts.tsv"
  else
    rm -f "$here/$name.md5s"
    printf '%s\t%s\tmismatch\n' "$name" "$count" >> "$here/counts.tsv"
  fi
done
