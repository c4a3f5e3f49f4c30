#!/usr/bin/env bash
# Makes the small streams committed in tests/data, with Debian's ffmpeg and
# x264 used as black boxes. Run from anywhere; needs ffmpeg with libx264.
# The outputs are committed, so neither CI nor the tests need ffmpeg.
set -euo pipefail
cd "$(dirname "$0")"

# AVCHD-style transport stream: 192-byte source packets, video on PID 0x1011,
# audio on PID 0x1100, program map on PID 0x0100, one AC-3 frame per PES.
avchd_mux=(-f mpegts -mpegts_m2ts_mode 1 -streamid 0:0x1011 -streamid 1:0x1100
           -mpegts_pmt_start_pid 0x100 -pes_payload_size 0 -fflags +bitexact)

# sample.m2ts: the bundled sample for the README's first command.
# 352x288 25p, 2 s, High profile CABAC with B pictures, AC-3 2/0 192 kbit/s.
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i testsrc2=size=352x288:rate=25 \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 2 \
  -c:v libx264 -preset veryfast -profile:v high -g 12 -bf 2 -pix_fmt yuv420p \
  -x264-params threads=1 \
  -c:a ac3 -b:a 192k -ac 2 \
  "${avchd_mux[@]}" sample.m2ts
