#!/usr/bin/env bash
# Makes the importer's committed test streams: AVCHD-style transport streams
# whose every access unit carries the camcorder user-data SEI (time code,
# camera model code), with ffmpeg and x264 used as black boxes, and the
# reference outputs the tests compare with. Needs ffmpeg with libx264 and
# python3. Deterministic: bit-exact muxing, one x264 thread.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

avchd_mux=(-f mpegts -mpegts_m2ts_mode 1 -streamid 0:0x1011 -streamid 1:0x1100
           -mpegts_pmt_start_pid 0x100 -pes_payload_size 0 -fflags +bitexact)

# make NAME SIZE RATE DURATION X264PARAMS TIMECODE FPS DROP AUDIOARGS...
make() {
  local name=$1 size=$2 rate=$3 duration=$4 x264=$5 start=$6 fps=$7 drop=$8
  shift 8
  local v=$work/$name
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=$rate" -t "$duration" \
    -c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p \
    -x264-params "threads=1:aud=1:keyint=12:min-keyint=12:scenecut=0:bframes=2:b-pyramid=none:$x264" \
    -fflags +bitexact "$v.mp4"
  ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$v.mp4" | cut -d, -f1 | grep . > "$v.pts"
  local tb
  tb=$(ffprobe -v error -select_streams v:0 -show_entries stream=time_base -of csv=p=0 "$v.mp4")
  # The raw stream has no time stamps: they are restored from the encoder's,
  # in 90 kHz units, one frame of delay between decoding and display.
  local setts
  setts=$(python3 - "$v.pts" "$tb" "$rate" <<'PY'
import sys
from fractions import Fraction
pts = [int(x) for x in open(sys.argv[1]).read().split()]
tb = Fraction(sys.argv[2])
frame = Fraction(90000) / Fraction(sys.argv[3])
terms = "+".join("%d*eq(N\\,%d)" % (round(p * tb * 90000), i) for i, p in enumerate(pts))
print("setts=time_base=1/90000:pts=%s:dts=round((N-1)*%s)" % (terms, float(frame)))
PY
)
  ffmpeg -hide_banner -loglevel error -y -i "$v.mp4" -c:v copy -bsf:v h264_mp4toannexb -f h264 "$v.h264"
  if [ "$start" != none ]; then
    python3 inject_mdpm.py "$v.h264" "$v.sei.h264" "$v.pts" "$start" "$fps" "$drop"
  else
    cp "$v.h264" "$v.sei.h264"
  fi
  ffmpeg -hide_banner -loglevel error -y -framerate "$rate" -i "$v.sei.h264" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$duration" \
    -map 0:v -map 1:a -c:v copy -bsf:v "$setts" "$@" "${avchd_mux[@]}" "$name.m2ts"
  # The decode order of the muxed pictures must be the one the time codes
  # were assigned by.
  ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$name.m2ts" | cut -d, -f1 | grep . > "$v.muxed.pts"
  python3 - "$v.pts" "$v.muxed.pts" <<'PY'
import sys
a = [int(x) for x in open(sys.argv[1]).read().split()]
b = [int(x) for x in open(sys.argv[2]).read().split()]
rank = lambda v: [sorted(v).index(x) for x in v]
if rank(a) != rank(b):
    sys.exit("display order changed by muxing")
PY
  # References: decoded pictures and PCM, and the PES time stamps.
  ffmpeg -hide_banner -loglevel error -y -i "$name.m2ts" -map 0:v -f framemd5 "$name.video.framemd5"
  ffprobe -v error -show_entries packet=stream_index,pts,dts,size,flags -of csv=p=0 "$name.m2ts" | grep . > "$name.packets.csv"
}

# LPCM 2/0 16-bit, 25p, time codes from 10:00:00:00.
make importer_lpcm_20 352x288 25 1.2 "" 10:00:00:00 25 nodrop -c:a pcm_bluray -ac 2 -sample_fmt s16

# AC-3 3/2+LFE, 29.97i MBAFF with a 4:3 sample aspect, drop-frame time codes
# that cross a minute boundary.
make importer_ac3_51_i 352x240 30000/1001 1.0 "interlaced=1:tff=1:sar=4/3" 00:00:59:26 30 drop \
  -c:a ac3 -b:a 448k -ac 6

# LPCM mono 24-bit, 25p, without camera user data.
make importer_lpcm_mono24 176x144 25 0.64 "" none 25 nodrop -c:a pcm_bluray -ac 1 -sample_fmt s32

# A recording whose sound runs on 24 ms past its last picture, as a
# camcorder's does: 13 pictures (0.52 s) at 25p and 17 AC-3 frames (0.544 s)
# of sound, both starting together. Joined with itself, it shows whether the
# sound keeps to the pictures across every join.
v=$work/sound_longer
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=176x144:rate=25" -frames:v 13 \
  -c:v libx264 -preset veryfast -profile:v high -g 12 -bf 2 -pix_fmt yuv420p -x264-params threads=1 \
  -fflags +bitexact "$v.mp4"
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=0.544" \
  -c:a ac3 -b:a 96k -ac 2 -fflags +bitexact "$v.ac3"
ffmpeg -hide_banner -loglevel error -y -i "$v.mp4" -i "$v.ac3" -map 0:v -map 1:a -c copy "${avchd_mux[@]}" \
  importer_sound_longer.m2ts

# Field pictures sent one PES per field, as ffmpeg's muxer writes a field-
# coded recording it remultiplexes (a camera writes one PES per frame, both
# fields in it): the conformance stream CVFI1_SVA_C (7 frames of 720x480
# field pairs, I and P fields) with its timing put into the sequence
# parameter set (59.94 fields a second; the slices are untouched), and
# 0.25 s of AC-3 sound. Reference: ffmpeg's decoded pictures.
testdata=${AVCHD_TESTDATA:-../../../../shared/testdata}
ffmpeg -hide_banner -loglevel error -y -r 60000/1001 -i "$testdata/h264-conformance/CVFI1_SVA_C.264" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=0.25" -map 0:v -map 1:a \
  -c:v copy -bsf:v h264_metadata=tick_rate=60000/1001 -c:a ac3 -b:a 96k -ac 2 "${avchd_mux[@]}" \
  importer_paff_fields.m2ts
ffmpeg -hide_banner -loglevel error -y -i importer_paff_fields.m2ts -map 0:v -f framemd5 \
  importer_paff_fields.video.framemd5
