#!/usr/bin/env bash
# Makes the tiny H.264 streams of chroma formats, bit depths and coding the
# decoder and the importer refuse, with ffmpeg and x264 as black boxes: 4:4:4
# 8-bit (High 4:4:4 Predictive), 4:2:2 10-bit (High 4:2:2), 4:2:0 10-bit
# (High 10), 4:2:0 8-bit lossless (High 4:4:4 Predictive with transform
# bypass), and an AVCHD-style transport stream of 192-byte packets (video on
# PID 0x1011) holding the 4:4:4 stream, and one holding the lossless stream.
# Deterministic: one x264 thread, bit-exact muxing.
set -euo pipefail
cd "$(dirname "$0")"

# make NAME PIXEL_FORMAT [ENCODER OPTIONS...]
make() {
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 2 \
    -c:v libx264 -preset ultrafast -pix_fmt "$2" "${@:3}" -x264-params threads=1 -fflags +bitexact -f h264 "$1.264"
}
make yuv444_8bit yuv444p
make yuv422_10bit yuv422p10le
make yuv420_10bit yuv420p10le
make yuv420_lossless yuv420p -qp 0
ffmpeg -hide_banner -loglevel error -y -i yuv444_8bit.264 -c:v copy -f mpegts -mpegts_m2ts_mode 1 \
  -streamid 0:0x1011 -mpegts_pmt_start_pid 0x100 -fflags +bitexact yuv444_8bit.m2ts
ffmpeg -hide_banner -loglevel error -y -i yuv420_lossless.264 -c:v copy -f mpegts -mpegts_m2ts_mode 1 \
  -streamid 0:0x1011 -mpegts_pmt_start_pid 0x100 -fflags +bitexact yuv420_lossless.m2ts
# Not H.264: MPEG-2 video where a recording carries its H.264 video.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 2 -c:v mpeg2video \
  -fflags +bitexact -f mpegts -mpegts_m2ts_mode 1 -streamid 0:0x1011 -mpegts_pmt_start_pid 0x100 mpeg2_video.m2ts
