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

source ./recording.sh

# make NAME ...: make_recording, and the PES time stamps as a reference.
make() {
  make_recording "$@"
  ffprobe -v error -show_entries packet=stream_index,pts,dts,size,flags -of csv=p=0 "$1.m2ts" | grep . > "$1.packets.csv"
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

# Intra pictures without parameter sets: an open group of pictures every 12
# pictures, the sequence and picture parameter sets only before the first
# (IDR) picture; no camera user data.
make_recording importer_sets_once 176x144 25 1.2 "open-gop=1" none 25 nodrop -c:a ac3 -b:a 96k -ac 2

# One group of 80 pictures: its last picture lies further from the intra
# picture than the importer's end check decodes.
make_recording importer_long_gop 176x144 25 3.2 "keyint=100:min-keyint=100" none 25 nodrop -c:a ac3 -b:a 96k -ac 2
