#!/bin/sh
# Per-macroblock expectations of the CAVLC test streams: for every decoded
# picture (decode order), the reference decoder's macroblock type letter and
# QP of each macroblock, as printed by `ffmpeg -debug mb_type+qp`.
#
# Output per stream: NAME.mbinfo.gz (gzip -9n), one line per picture:
#   <picture type letter> <row>;<row>;...
# where a row is the picture's macroblock row (MBAFF: one of the two rows of
# a pair row) as comma-separated cells: QP, then the type letter (i I_NxN,
# I Intra16x16, S P_Skip, d B_Skip, D B_Direct_16x16, > list 0, < list 1,
# X both), the partition sign (+ 8x8, - 16x8, | 8x16) and = for a field
# macroblock, outer blanks removed.
#
# Streams: the CAVLC clips of h264-features and every conformance stream
# whose picture parameter sets all have entropy_coding_mode_flag 0.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
data=${AVCHD_TESTDATA:-$here/../../../../shared/testdata}

dump() {
  # $1 input, $2 output name. Stream probing decodes (and prints) a few
  # pictures first: only the last ones, one per decoded frame, are kept.
  frames=$(ffprobe -v error -threads 1 -count_frames -select_streams v:0 \
             -show_entries stream=nb_read_frames -of csv=p=0 "$1")
  ffmpeg -hide_banner -nostdin -threads 1 -debug mb_type+qp -i "$1" -f null - 2>&1 |
    python3 -c '
import re, sys
pics = []
cur = None
for line in sys.stdin:
    m = re.search(r"New frame, type: (\S)", line)
    if m:
        cur = [m.group(1), []]
        pics.append(cur)
        continue
    m = re.match(r"\[h264 @ 0x[0-9a-f]+\] ((?:[ 0-9][0-9]\S[ \S][ =])+)$", line.rstrip("\n"))
    if m and cur is not None:
        row = m.group(1)
        cells = [row[i:i + 5] for i in range(0, len(row) - 4, 5)]
        cur[1].append(",".join(c.strip() for c in cells))
for t, rows in pics:
    print(t + " " + ";".join(rows))
' | tail -n "$frames" | gzip -9n > "$here/$2.mbinfo.gz"
}

for s in 01_cavlc_main 04_cavlc_high_8x8 13_slice_max_mbs37_cavlc 22_ipcm_cavlc 25_noise_lowqp_cavlc 15_mbaff_bff_cavlc; do
  dump "$data/h264-features/$s.264" "$s"
done

for f in "$data"/h264-conformance/*.264 "$data"/h264-conformance/*.avc "$data"/h264-conformance/*.26l "$data"/h264-conformance/*.jsv; do
  [ -f "$f" ] || continue
  flags=$(ffmpeg -hide_banner -nostdin -i "$f" -c copy -bsf:v trace_headers -f null - 2>&1 |
          grep -o 'entropy_coding_mode_flag *[0-9]* *= *[01]' | awk '{print $NF}' | sort -u | tr -d '\n')
  if [ "$flags" = "0" ]; then
    name=$(basename "$f"); name=${name%.*}
    dump "$f" "$name"
  fi
done
