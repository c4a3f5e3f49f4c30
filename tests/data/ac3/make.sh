#!/usr/bin/env bash
# Reference material for the AC-3 decoder tests, made with Debian's ffmpeg as
# a black box. CI has no ffmpeg: the tests read what this script commits.
#
# Usage: tests/data/ac3/make.sh [path/to/ac3_strip_dither]
# (default: build/release/tests/audio/ac3_strip_dither; build the release
# preset first). Needs $AVCHD_TESTDATA or ../shared/testdata.
#
# What it writes here:
# - NAME.s16: ffmpeg's decode (interleaved s16le, ffmpeg's channel order) of
#   every AC-3 stream of the external material: the 3-second streams of ac3/
#   and the audio of the AC-3 streams of avchd/. Each is checked against the
#   material's own MD5 before it is kept.
# - ac3_51_448k_60s.frames: frame count and bytes per frame of the 60-second
#   stream.
# - NAME.nodither.ac3 and NAME.nodither.s16: streams with every dithflag
#   cleared (and CRCs recomputed) with ffmpeg's decode. Each decoder has its
#   own dither, so only streams without it can be compared within rounding.
#   They cover the 3-second streams and streams of our own in every layout
#   class, at 32, 44.1 and 48 kHz, 64 to 640 kbit/s, with and without
#   coupling.
# - eac3_20_96k.eac3: a few E-AC-3 frames.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
strip="${1:-$root/build/release/tests/audio/ac3_strip_dither}"
material="${AVCHD_TESTDATA:-$root/../shared/testdata}"
cd "$here"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

ff=(ffmpeg -hide_banner -loglevel error -nostdin -y)

decode() {  # decode IN.ac3 OUT.s16
  "${ff[@]}" -i "$1" -f s16le -c:a pcm_s16le "$2"
}

check_md5() {  # check_md5 FILE EXPECTED_MD5_FILE
  local got want
  got="$(md5sum "$1" | cut -d' ' -f1)"
  want="$(cut -c1-32 "$2")"
  if [ "$got" != "$want" ]; then
    echo "make.sh: $1: MD5 $got, expected $want" >&2
    exit 1
  fi
}

# Streams of the external material.
for name in ac3_10_96k_3s ac3_20_256k_3s ac3_51_448k_3s; do
  decode "$material/ac3/$name.ac3" "$name.s16"
  check_md5 "$name.s16" "$material/ac3/$name.s16.md5"
  "$strip" "$material/ac3/$name.ac3" "$name.nodither.ac3"
  decode "$name.nodither.ac3" "$name.nodither.s16"
done
for name in small_ac3_20_avchd small_ac3_51_avchd small_mbaff_ac3_20_avchd \
            avchd_1080i_10s_ac3_20_avchd; do
  "${ff[@]}" -i "$material/avchd/$name.m2ts" -map 0:a -c copy -f ac3 "$tmp/$name.ac3"
  decode "$tmp/$name.ac3" "$name.s16"
  check_md5 "$name.s16" "$material/avchd/$name.audio.md5"
done
decode "$material/ac3/ac3_51_448k_60s.ac3" "$tmp/60s.s16"
check_md5 "$tmp/60s.s16" "$material/ac3/ac3_51_448k_60s.s16.md5"
bytes=$(stat -c %s "$tmp/60s.s16")
echo "$((bytes / 18432)) 18432" > ac3_51_448k_60s.frames

# Streams of our own: a different tone per channel plus a little noise, so
# that a channel in the wrong place or a wrong mix shows.
tones="0.25*sin(2*PI*330*t)+0.02*(random(0)-0.5)|0.25*sin(2*PI*550*t)+0.02*(random(1)-0.5)|\
0.25*sin(2*PI*770*t)+0.02*(random(2)-0.5)|0.25*sin(2*PI*90*t)|\
0.2*sin(2*PI*1250*t)+0.05*(random(3)-0.5)|0.2*sin(2*PI*2700*t)+0.05*(random(4)-0.5)"
own() {  # own NAME LAYOUT TONES RATE BITRATE COUPLING (TONES: fields of $tones)
  local expr
  expr="$(echo "$tones" | cut -d'|' -f"$3")"
  "${ff[@]}" -fflags +bitexact -f lavfi -i "aevalsrc=exprs=$expr:s=$4:c=$2" -t 0.5 \
    -c:a ac3 -b:a "$5" -channel_coupling "$6" -flags +bitexact -f ac3 "$tmp/$1.ac3"
  "$strip" "$tmp/$1.ac3" "$1.nodither.ac3"
  decode "$1.nodither.ac3" "$1.nodither.s16"
}
own own_10_32k_64k       mono         1-1   32000 64k  0
own own_20_44k_128k_cpl  stereo       1-2   44100 128k 1
own own_20_48k_640k      stereo       1-2   48000 640k 0
own own_21_48k_96k       2.1          1,2,4 48000 96k  0
own own_30_44k_192k      3.0          1-3   44100 192k 0
own own_2b1_32k_160k     "3.0(back)"  1-3   32000 160k 0
own own_31_48k_224k_cpl  4.0          1-4   48000 224k 1
own own_22_44k_320k_cpl  "quad(side)" 1-4   44100 320k 1
own own_32_32k_384k      "5.0(side)"  1-5   32000 384k 0
own own_51_48k_640k      "5.1(side)"  1-6   48000 640k 0
own own_51_44k_384k_cpl  "5.1(side)"  1-6   44100 384k 1

# A few E-AC-3 frames: same sync word, other syntax; the decoder refuses them.
"${ff[@]}" -fflags +bitexact -f lavfi -i "aevalsrc=exprs=0.2*sin(2*PI*440*t):s=48000:c=stereo" \
  -t 0.1 -c:a eac3 -b:a 96k -flags +bitexact -f eac3 eac3_20_96k.eac3
du -ch ./*.s16 ./*.ac3 ./*.eac3 | tail -1
