#!/usr/bin/env bash
# Writes the PES expectations the demultiplexer tests compare against: for
# each AVCHD-style stream of $AVCHD_TESTDATA/avchd/ and each stream committed
# in tests/data, one line per packet as ffprobe (a black box) reports it:
#   v|a SIZE PTS DTS
# (video or audio, payload bytes, 90 kHz time stamps; ffprobe gives DTS = PTS
# where the PES has no DTS). Run by hand when a stream changes; the outputs in
# expect/ are committed, so the tests do not need ffprobe.
set -euo pipefail
cd "$(dirname "$0")"
testdata=${AVCHD_TESTDATA:-../../../../shared/testdata}

expect_one() {  # FILE NAME
  ffprobe -v error -show_entries packet=codec_type,size,pts,dts -of csv=p=0 "$1" |
    awk -F, 'NF >= 4 { print ($1 == "video" ? "v" : "a"), $4, $2, $3 }' > "expect/$2.pes"
  echo "expect/$2.pes: $(wc -l < "expect/$2.pes") packets"
}

mkdir -p expect
for f in "$testdata"/avchd/*.m2ts "$testdata"/avchd/*.mts; do
  expect_one "$f" "$(basename "$f")"
done
for f in ../*.m2ts ./*.m2ts; do
  if [ -e "$f" ]; then expect_one "$f" "$(basename "$f")"; fi
done
